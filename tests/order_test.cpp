// Order statistics through their table rows: statuses and marks, the fuzz of the percentile
// position on both sides of its band, ties between zeros of both signs (which of equal entries
// is returned decides the sign), missing bit patterns, and scratch memory at the edges of the
// local buffers.
#include "qvtest.hpp"

namespace {

// The reference's examples first. Positions that are integral in exact arithmetic (7% and 57%
// of 100) are fuzzed onto the integer. The band is n * 1.1368683772161608e-13 wide: for n = 4 a
// fraction of 4e-13 is in it and one of 4.8e-13 is not; so is PCTL2's tie band around a half
// (6.8e-13 for n = 6). -nan is a NaN that is not missing; #FFFF... are missing patterns outside
// the listed kinds, which order with . and come back with their own bits.
INSTANTIATE_TEST_SUITE_P(Examples, Rows, testing::Values(
    "PCTL1 30 1 2 3 4 = 1.2", "PCTL1 50 1 2 3 4 = 2", "PCTL3 60 1 2 3 4 = 3", "PCTL4 25 1 2 3 4 = 1.25",
    "PCTL4 50 1 2 3 4 = 2.5", "PCTL4 23 1 2 3 4 = 1.1500000000000001", "PCTL5 25 1 2 3 4 = 1.5", "PCTL 25 1 2 . 4 = 1",
    "MEDIAN 3 1 . 2 = 2", "MEDIAN 4 1 3 2 = 2.5", "IQR 1 . 2 3 . 4 = 2", "IQR 7 = 0", "MAD 1 2 3 4 100 = 1",
    "LARGEST 1 5 . 3 1 = 5", "SMALLEST 2 5 . 3 1 = 3", "ORDINAL 2 3 . 1 = 1",
    "PCTL2 25 1..6 = 2", "PCTL2 75 1..6 = 4", "MEDIAN = .", "PCTL 50 = .", "PCTL 50 . .A = .", "IQR . . = .",
    "MAD . = .", "PCTL . 1 2 = . !1", "PCTL -0.5 1 2 = . !1", "PCTL3 100.5 1 2 = . !1", "PCTL = . !",
    "MEDIAN 1.7976931348623157e308 1.7976931348623157e308 = inf", "PCTL3 7 1..100 = 7", "PCTL1 57 1..100 = 57",
    "PCTL 7 1..100 = 7.5", "PCTL 57 1..100 = 57.5",
    "PCTL3 50.00000000001 1 2 3 4 = 2", "PCTL3 50.000000000012 1 2 3 4 = 3", "PCTL2 75.000000000001 1..6 = 4",
    "PCTL2 75.00000000002 1..6 = 5", "SMALLEST 3 5 . 3 1 = 5", "LARGEST 3 5 . 3 1 = 1",
    "SMALLEST 4 5 . 3 1 = . ?", "LARGEST 4 5 . 3 1 = . ?", "SMALLEST 5 1 2 3 4 = . !1", "SMALLEST 0 1 2 = . !1",
    "LARGEST 1.5 1 2 = . !1", "SMALLEST . 1 2 = . !1", "LARGEST -nan 1 2 = . !1", "SMALLEST 1 = . !1",
    "ORDINAL 1 3 . 1 = .", "ORDINAL 2 . . = .", "ORDINAL 1 .Z ._ .A 5 = ._", "ORDINAL 3 .Z ._ .A 5 = .Z",
    "ORDINAL 3 1 2 = . !1", "ORDINAL 1.5 1 2 = . !1", "ORDINAL . 1 2 = . !1", "ORDINAL 1 = . !1",
    "ORDINAL 2 #FFFF123456789ABC . = #FFFF123456789ABC", "ORDINAL 1 #FFFF123456789ABC . = .",
    "ORDINAL 1 .Z #FFFF000000000000 = #FFFF000000000000"));

// Heaps keep the first of equal values and move the right one of equal children up; partitioning
// splits equal entries by index parity; a minimum takes the lowest index, a maximum the highest;
// an averaged rank takes neighbours, and IQR takes the lower quartile first on one array.
INSTANTIATE_TEST_SUITE_P(SignedZeroTies, Rows, testing::Values(
    "SMALLEST 1 -0 0 = -0", "SMALLEST 1 0 -0 = 0", "SMALLEST 2 0 -0 1 1 = 0", "SMALLEST 2 -0 0 1 1 = -0",
    "LARGEST 3 0 -0 1 1 = 0", "LARGEST 3 -0 0 1 1 = -0", "SMALLEST 3 -1 0 -0 5 5 = -0", "SMALLEST 3 -1 -0 0 5 5 = 0",
    "LARGEST 3 1 0 -0 -5 -5 = -0", "LARGEST 3 1 -0 0 -5 -5 = 0", "ORDINAL 1 0 0 -0 = -0", "ORDINAL 1 -0 -0 0 = 0",
    "ORDINAL 2 . 0 0 -0 = -0", "ORDINAL 2 -0 0 0 0 0 = -0", "PCTL3 30 -0 0 0 0 0 = -0", "PCTL3 30 0 -0 -0 -0 -0 = 0",
    "MEDIAN 0 -0 0 = -0", "MEDIAN -0 0 -0 = 0", "PCTL3 50 0 -0 = 0", "PCTL3 50 -0 0 = -0", "PCTL3 100 0 -0 = -0",
    "PCTL3 100 -0 0 = 0", "IQR 0 -0 = -0", "IQR -0 0 = 0", "PCTL 25 -0 -0 0 1 = 0", "PCTL 25 0 -0 -0 1 = -0",
    "PCTL 60 -0 -0 0 -1 -0 = 0", "IQR -0 -0 0 -1 0 1 = 0", "PCTL1 40 0 -0 -0 = -0", "PCTL1 40 -0 -0 0 = 0"));

// The local buffers hold a heap of 127 ranks, 256 pointers, and 128 values for MAD; past them one
// block of exactly the bytes needed is requested. SMALLEST(128) of 200 is answered as the 73rd
// largest, LARGEST(800) of 1000 as the 201st smallest.
INSTANTIATE_TEST_SUITE_P(LocalBufferEdges, Rows, testing::Values(
    "SMALLEST 127 1..250 = 127", "SMALLEST 128 1..250 = 128 @1032", "LARGEST 128 1..250 = 123 @1032",
    "SMALLEST 128 1..200 = 128", "LARGEST 800 1..1000 = 201 @1616", "SMALLEST 128 1..100 150*. = . ? @1032",
    "ORDINAL 256 1..256 = 256", "ORDINAL 3 1..255 2*. = 1 @2056", "PCTL 50 1..256 = 128.5",
    "PCTL2 50 1..257 = 128 @2056", "PCTL 50 257*. = . @2056", "MEDIAN 1..256 = 128.5",
    "MEDIAN 1..257 = 129 @2056", "IQR 1..256 = 128", "IQR 1..257 = 128 @2056", "MAD 1..128 = 32",
    "MAD 1..129 = 32 @2064"));

}  // namespace

// The k-th smallest and k-th largest present value of a run of argument slots, as SMALLEST and
// LARGEST find them. Declared here for the white-box test, which compares the sampled selection
// with the bounded heap alone (KthPath::Heap).
#pragma once

#include <cstdint>

#include "qvfnc.h"

namespace qv {

enum class KthPath { Sampled, Heap };

// The k-th smallest (largest) present value of the m slots into *result, in a work area of
// k + 1 doubles: a local one up to k = 127, else one block of that size from pool. Returns
// STATUS_OK, STATUS_MISSING_ARG (fewer than k present values, or k outside 1..m, with *result
// untouched) or STATUS_NO_SCRATCH.
QvStatus kth_smallest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k,
                      KthPath path);
QvStatus kth_largest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k,
                     KthPath path);

enum class Sampled { Found, TooFew, Undecided };

// The sampled selection alone, in work[0..capacity): Found with the value in *out, TooFew when
// fewer than k values are present, Undecided when the list holds a NaN or zeros of both signs
// (where the heap's shape decides the bits) or the samples missed the rank.
Sampled sampled_kth(const FuncArg *slots, std::int64_t m, std::int64_t k, bool largest, double *work,
                    std::int64_t capacity, double *out);

}  // namespace qv

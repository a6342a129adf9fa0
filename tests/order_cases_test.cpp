// Order statistics through their table rows: statuses and marks, the fuzz, ties between zeros of
// both signs (which of equal entries is returned decides the sign), missing bit patterns, and
// scratch memory at the edges of the local buffers.
#include <sstream>

#include "qvtest.hpp"

namespace {

// Appends what a token stands for: a number, a missing value (".", "._", ".A"), a bit pattern
// ("#FFFF000000000000"), a run of integers ("1..250") or of dots ("257*.").
void append(const std::string &t, std::vector<double> &v) {
    const std::size_t run = t.find(".."), dots = t.find("*.");
    if (t[0] == '.') return v.push_back(qvt::miss(t.size() > 1 ? t[1] : '.'));
    if (t[0] == '#') return v.push_back(qvt::from_bits(std::stoull(t.substr(1), nullptr, 16)));
    if (dots != std::string::npos) return v.resize(v.size() + std::stoul(t), qvt::DOT);
    if (run == std::string::npos) return v.push_back(std::strtod(t.c_str(), nullptr));
    for (int i = std::stoi(t); i <= std::stoi(t.substr(run + 2)); ++i) v.push_back(i);
}

// "NAME args = expected [status [block]]": the result is compared bit for bit; status "?" is a
// missing argument, "!" an invalid one and "!1" an invalid one with argument 1 marked. `block` is
// the one scratch block the call must request, with no flags; a refusing pool then fails the call.
class Row : public testing::TestWithParam<const char *> {};

TEST_P(Row, ResultStatusMarkAndScratch) {
    std::istringstream in(GetParam());
    std::string name, t, st = "ok";
    std::vector<double> args, expected;
    std::uint64_t block = 0;
    for (in >> name; in >> t && t != "=";) append(t, args);
    in >> t >> st >> block;
    append(t, expected);
    qvhost::CountingPool pool;
    const qvt::Result r = qvt::call(name, qvt::nums(args), &pool);
    EXPECT_SAME(r.value, expected[0]) << GetParam();
    const QvStatus status = st[0] == '?' ? STATUS_MISSING_ARG : st[0] == '!' ? STATUS_INVALID_ARG : STATUS_OK;
    EXPECT_EQ(r.status, status) << GetParam();
    EXPECT_EQ(r.marked, st == "!1" ? std::vector<int>{1} : std::vector<int>{}) << GetParam();
    ASSERT_EQ(pool.requests().size(), block ? 1u : 0u) << GetParam();
    for (const qvhost::PoolRequest &q : pool.requests()) EXPECT_TRUE(q.size == block && q.flags == 0) << GetParam();
    pool.refuse_all(true);
    const qvt::Result refused = qvt::call(name, qvt::nums(args), &pool);
    EXPECT_EQ(refused.status, block ? STATUS_NO_SCRATCH : r.status) << GetParam();
    EXPECT_SAME(refused.value, block ? qvt::DOT : r.value) << GetParam();
}

// Positions that are integral in exact arithmetic (7% and 57% of 100) are fuzzed onto the integer.
// -nan is a NaN that is not missing; #FFFF... are missing patterns outside the listed kinds, which
// order with . and come back with their own bits.
INSTANTIATE_TEST_SUITE_P(Examples, Row, testing::Values(
    "PCTL2 25 1..6 = 2", "PCTL2 75 1..6 = 4", "MEDIAN = .", "PCTL 50 = .", "PCTL 50 . .A = .", "IQR . . = .",
    "MAD . = .", "PCTL . 1 2 = . !1", "PCTL -0.5 1 2 = . !1", "PCTL3 100.5 1 2 = . !1", "PCTL = . !",
    "MEDIAN 1.7976931348623157e308 1.7976931348623157e308 = inf", "PCTL3 7 1..100 = 7", "PCTL1 57 1..100 = 57",
    "PCTL 7 1..100 = 7.5", "PCTL 57 1..100 = 57.5", "SMALLEST 3 5 . 3 1 = 5", "LARGEST 3 5 . 3 1 = 1",
    "SMALLEST 4 5 . 3 1 = . ?", "LARGEST 4 5 . 3 1 = . ?", "SMALLEST 5 1 2 3 4 = . !1", "SMALLEST 0 1 2 = . !1",
    "LARGEST 1.5 1 2 = . !1", "SMALLEST . 1 2 = . !1", "LARGEST -nan 1 2 = . !1", "SMALLEST 1 = . !1",
    "ORDINAL 1 3 . 1 = .", "ORDINAL 2 . . = .", "ORDINAL 1 .Z ._ .A 5 = ._", "ORDINAL 3 .Z ._ .A 5 = .Z",
    "ORDINAL 3 1 2 = . !1", "ORDINAL 1.5 1 2 = . !1", "ORDINAL . 1 2 = . !1", "ORDINAL 1 = . !1",
    "ORDINAL 2 #FFFF123456789ABC . = #FFFF123456789ABC", "ORDINAL 1 #FFFF123456789ABC . = .",
    "ORDINAL 1 .Z #FFFF000000000000 = #FFFF000000000000"));

// Heaps keep the first of equal values and move the right one of equal children up; partitioning
// splits equal entries by index parity; a minimum takes the lowest index, a maximum the highest;
// an averaged rank takes neighbours, and IQR takes the lower quartile first on one array.
INSTANTIATE_TEST_SUITE_P(SignedZeroTies, Row, testing::Values(
    "SMALLEST 1 -0 0 = -0", "SMALLEST 1 0 -0 = 0", "SMALLEST 2 0 -0 1 1 = 0", "SMALLEST 2 -0 0 1 1 = -0",
    "LARGEST 3 0 -0 1 1 = 0", "LARGEST 3 -0 0 1 1 = -0", "SMALLEST 3 -1 0 -0 5 5 = -0", "SMALLEST 3 -1 -0 0 5 5 = 0",
    "LARGEST 3 1 0 -0 -5 -5 = -0", "LARGEST 3 1 -0 0 -5 -5 = 0", "ORDINAL 1 0 0 -0 = -0", "ORDINAL 1 -0 -0 0 = 0",
    "ORDINAL 2 . 0 0 -0 = -0", "ORDINAL 2 -0 0 0 0 0 = -0", "PCTL3 30 -0 0 0 0 0 = -0", "PCTL3 30 0 -0 -0 -0 -0 = 0",
    "MEDIAN 0 -0 0 = -0", "MEDIAN -0 0 -0 = 0", "PCTL3 50 0 -0 = 0", "PCTL3 50 -0 0 = -0", "PCTL3 100 0 -0 = -0",
    "PCTL3 100 -0 0 = 0", "IQR 0 -0 = -0", "IQR -0 0 = 0", "PCTL 25 -0 -0 0 1 = 0", "PCTL 25 0 -0 -0 1 = -0",
    "PCTL 60 -0 -0 0 -1 -0 = 0", "IQR -0 -0 0 -1 0 1 = 0"));

// The local buffers hold a heap of 127 ranks, 256 pointers, and 128 values for MAD; past them one
// block of exactly the bytes needed is requested. SMALLEST(128) of 200 is answered as the 73rd
// largest, LARGEST(800) of 1000 as the 201st smallest.
INSTANTIATE_TEST_SUITE_P(LocalBufferEdges, Row, testing::Values(
    "SMALLEST 127 1..250 = 127", "SMALLEST 128 1..250 = 128 ok 1032", "LARGEST 128 1..250 = 123 ok 1032",
    "SMALLEST 128 1..200 = 128", "LARGEST 800 1..1000 = 201 ok 1616", "SMALLEST 128 1..100 150*. = . ? 1032",
    "ORDINAL 256 1..256 = 256", "ORDINAL 3 1..255 2*. = 1 ok 2056", "PCTL 50 1..256 = 128.5",
    "PCTL2 50 1..257 = 128 ok 2056", "PCTL 50 257*. = . ok 2056", "MEDIAN 1..256 = 128.5",
    "MEDIAN 1..257 = 129 ok 2056", "IQR 1..256 = 128", "IQR 1..257 = 128 ok 2056", "MAD 1..128 = 32",
    "MAD 1..129 = 32 ok 2064"));

}  // namespace

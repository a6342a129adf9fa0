// Order statistics through their table rows: statuses and marks, the fuzz, ties between zeros of
// both signs (which of equal entries is returned decides the sign), missing bit patterns, and
// scratch memory at the edges of the local buffers.
#include <cmath>
#include <limits>

#include "qvtest.hpp"

namespace {

using qvt::DOT;

constexpr QvStatus OK = STATUS_OK, INV = STATUS_INVALID_ARG, MIS = STATUS_MISSING_ARG;
const double M = qvt::miss('.'), Z = -0.0, NaN = qvt::from_bits(0xFFF8000000000000ull);  // NaN is not missing
const double ODD = qvt::from_bits(0xFFFF123456789ABCull), BARE = qvt::from_bits(0xFFFF000000000000ull);

std::vector<double> one_to_100(double pct) {
    std::vector<double> v{pct};
    for (int i = 1; i <= 100; ++i) v.push_back(i);
    return v;
}

// `expected` is compared bit for bit; `marked` asks for FUNCARG_INVALID on argument 1 alone.
struct R { const char *name; std::vector<double> args; double expected; QvStatus status = OK; bool marked = false; };

class OrderCase : public testing::TestWithParam<R> {};

TEST_P(OrderCase, ResultStatusAndMark) {
    const R &c = GetParam();
    const qvt::Result r = qvt::call(c.name, qvt::nums(c.args));
    EXPECT_EQ(r.status, c.status);
    EXPECT_SAME(r.value, c.expected);
    EXPECT_EQ(r.marked, c.marked ? std::vector<int>{1} : std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(
    Examples, OrderCase,
    testing::Values(
        R{"PCTL2", {25, 1, 2, 3, 4, 5, 6}, 2}, R{"PCTL2", {75, 1, 2, 3, 4, 5, 6}, 4}, R{"MEDIAN", {}, DOT},
        R{"PCTL", {50}, DOT}, R{"PCTL", {50, M, qvt::miss('A')}, DOT}, R{"IQR", {M, M}, DOT}, R{"MAD", {M}, DOT},
        R{"PCTL", {M, 1, 2}, DOT, INV, true}, R{"PCTL", {-0.5, 1, 2}, DOT, INV, true},
        R{"PCTL3", {100.5, 1, 2}, DOT, INV, true}, R{"PCTL", {}, DOT, INV},
        R{"MEDIAN", {qv::DBL_MAX_VALUE, qv::DBL_MAX_VALUE}, std::numeric_limits<double>::infinity()},
        // Positions that are integral in exact arithmetic are fuzzed back onto the integer.
        R{"PCTL3", one_to_100(7), 7}, R{"PCTL1", one_to_100(57), 57}, R{"PCTL", one_to_100(7), 7.5},
        R{"PCTL", one_to_100(57), 57.5},
        R{"SMALLEST", {3, 5, M, 3, 1}, 5}, R{"LARGEST", {3, 5, M, 3, 1}, 1}, R{"SMALLEST", {4, 5, M, 3, 1}, DOT, MIS},
        R{"LARGEST", {4, 5, M, 3, 1}, DOT, MIS}, R{"SMALLEST", {5, 1, 2, 3, 4}, DOT, INV, true},
        R{"SMALLEST", {0, 1, 2}, DOT, INV, true}, R{"LARGEST", {1.5, 1, 2}, DOT, INV, true},
        R{"SMALLEST", {M, 1, 2}, DOT, INV, true}, R{"LARGEST", {NaN, 1, 2}, DOT, INV, true},
        R{"SMALLEST", {1}, DOT, INV, true}, R{"ORDINAL", {1, 3, M, 1}, DOT}, R{"ORDINAL", {2, M, M}, DOT},
        R{"ORDINAL", {1, qvt::miss('Z'), qvt::miss('_'), qvt::miss('A'), 5}, qvt::miss('_')},
        R{"ORDINAL", {3, qvt::miss('Z'), qvt::miss('_'), qvt::miss('A'), 5}, qvt::miss('Z')},
        R{"ORDINAL", {3, 1, 2}, DOT, INV, true}, R{"ORDINAL", {1.5, 1, 2}, DOT, INV, true},
        R{"ORDINAL", {M, 1, 2}, DOT, INV, true}, R{"ORDINAL", {1}, DOT, INV, true},
        // Unlisted missing patterns order with . and come back with their own bits.
        R{"ORDINAL", {2, ODD, M}, ODD}, R{"ORDINAL", {1, ODD, M}, DOT}, R{"ORDINAL", {1, qvt::miss('Z'), BARE}, BARE}));

INSTANTIATE_TEST_SUITE_P(
    SignedZeroTies, OrderCase,
    testing::Values(
        R{"SMALLEST", {1, Z, 0}, Z}, R{"SMALLEST", {1, 0, Z}, 0}, R{"SMALLEST", {2, 0, Z, 1, 1}, 0},
        R{"SMALLEST", {2, Z, 0, 1, 1}, Z}, R{"LARGEST", {3, 0, Z, 1, 1}, 0}, R{"LARGEST", {3, Z, 0, 1, 1}, Z},
        // Equal children: the right one moves up.
        R{"SMALLEST", {3, -1, 0, Z, 5, 5}, Z}, R{"SMALLEST", {3, -1, Z, 0, 5, 5}, 0},
        R{"LARGEST", {3, 1, 0, Z, -5, -5}, Z}, R{"LARGEST", {3, 1, Z, 0, -5, -5}, 0},
        // Equal entries split by index parity during partitioning.
        R{"ORDINAL", {1, 0, 0, Z}, Z}, R{"ORDINAL", {1, Z, Z, 0}, 0}, R{"ORDINAL", {2, M, 0, 0, Z}, Z},
        R{"ORDINAL", {2, Z, 0, 0, 0, 0}, Z}, R{"PCTL3", {30, Z, 0, 0, 0, 0}, Z}, R{"PCTL3", {30, 0, Z, Z, Z, Z}, 0},
        R{"MEDIAN", {0, Z, 0}, Z}, R{"MEDIAN", {Z, 0, Z}, 0},
        // Minimum: lowest index wins; maximum: highest index wins.
        R{"PCTL3", {50, 0, Z}, 0}, R{"PCTL3", {50, Z, 0}, Z}, R{"PCTL3", {100, 0, Z}, Z}, R{"PCTL3", {100, Z, 0}, 0},
        R{"IQR", {0, Z}, Z}, R{"IQR", {Z, 0}, 0},
        // Neighbours of an averaged rank, and the quartiles taken lower first on one array.
        R{"PCTL", {25, Z, Z, 0, 1}, 0}, R{"PCTL", {25, 0, Z, Z, 1}, Z}, R{"PCTL", {60, Z, Z, 0, -1, Z}, 0},
        R{"IQR", {Z, Z, 0, -1, 0, 1}, 0}));

// Values 1..data after the rank or percentile (if any), missing after the first `present`;
// `block` is the scratch size requested, 0 for none.
struct S { const char *name; double first; int data, present; std::uint64_t block; double expected; QvStatus st = OK; };

class ScratchCase : public testing::TestWithParam<S> {};

TEST_P(ScratchCase, ExactBlockFreedAndRefusal) {
    const S &c = GetParam();
    std::vector<double> args = std::isnan(c.first) ? std::vector<double>{} : std::vector<double>{c.first};
    for (int i = 1; i <= c.data; ++i) args.push_back(i <= c.present ? i : M);
    qvhost::CountingPool pool;
    const qvt::Result r = qvt::call(c.name, qvt::nums(args), &pool);
    EXPECT_EQ(r.status, c.st);
    EXPECT_SAME(r.value, c.expected);
    ASSERT_EQ(pool.requests().size(), c.block ? 1u : 0u);
    for (const qvhost::PoolRequest &q : pool.requests()) EXPECT_TRUE(q.size == c.block && q.flags == 0);
    pool.refuse_all(true);
    const qvt::Result refused = qvt::call(c.name, qvt::nums(args), &pool);
    EXPECT_EQ(refused.status, c.block ? STATUS_NO_SCRATCH : c.st);
    EXPECT_SAME(refused.value, c.block ? DOT : c.expected);
}

const double NONE = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    LocalBufferEdges, ScratchCase,
    testing::Values(S{"SMALLEST", 127, 250, 250, 0, 127}, S{"SMALLEST", 128, 250, 250, 1032, 128},
                    S{"LARGEST", 128, 250, 250, 1032, 123}, S{"SMALLEST", 128, 200, 200, 0, 128},
                    S{"LARGEST", 800, 1000, 1000, 1616, 201}, S{"SMALLEST", 128, 250, 100, 1032, DOT, MIS},
                    S{"ORDINAL", 256, 256, 256, 0, 256}, S{"ORDINAL", 3, 257, 255, 2056, 1},
                    S{"PCTL", 50, 256, 256, 0, 128.5}, S{"PCTL2", 50, 257, 257, 2056, 128},
                    S{"PCTL", 50, 257, 0, 2056, DOT}, S{"MEDIAN", NONE, 256, 256, 0, 128.5},
                    S{"MEDIAN", NONE, 257, 257, 2056, 129}, S{"IQR", NONE, 256, 256, 0, 128},
                    S{"IQR", NONE, 257, 257, 2056, 128}, S{"MAD", NONE, 128, 128, 0, 32},
                    S{"MAD", NONE, 129, 129, 2064, 32}));

}  // namespace

// Order statistics through their table rows: examples, ties between zeros of both signs (which
// of equal entries is returned decides the sign), missing bit patterns, and scratch memory at
// the edges of the local buffers.
#include <cmath>
#include <limits>

#include "qvtest.hpp"

namespace {

using qvt::DOT;
using qvt::from_bits;
using qvt::miss;

constexpr QvStatus OK = STATUS_OK, INV = STATUS_INVALID_ARG, MIS = STATUS_MISSING_ARG;
const double M = miss('.'), Z = -0.0, NAN_NEG = from_bits(0xFFF8000000000000ull);
const double NONE = std::numeric_limits<double>::quiet_NaN();
const double ODD_MISSING = from_bits(0xFFFF123456789ABCull), BARE_MISSING = from_bits(0xFFFF000000000000ull);

std::vector<double> one_to(int n, std::vector<double> head = {}) {
    for (int i = 1; i <= n; ++i) head.push_back(i);
    return head;
}

struct Row {
    const char *name;
    std::vector<double> args;
    double expected;  // compared bit for bit
    QvStatus status = OK;
    bool marked = false;
};

class OrderCase : public testing::TestWithParam<Row> {};

TEST_P(OrderCase, ResultStatusAndMark) {
    const Row &c = GetParam();
    const qvt::Result r = qvt::call(c.name, qvt::nums(c.args));
    EXPECT_EQ(r.status, c.status);
    EXPECT_SAME(r.value, c.expected);
    EXPECT_EQ(r.marked, c.marked ? std::vector<int>{1} : std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(
    Examples, OrderCase,
    testing::Values(
        Row{"PCTL", {50, 1, 2, 3, 4}, 2.5}, Row{"PCTL1", {50, 1, 2, 3, 4}, 2}, Row{"PCTL2", {50, 1, 2, 3, 4}, 2},
        Row{"PCTL3", {50, 1, 2, 3, 4}, 2}, Row{"PCTL4", {50, 1, 2, 3, 4}, 2.5}, Row{"PCTL5", {50, 1, 2, 3, 4}, 2.5},
        Row{"PCTL2", {25, 1, 2, 3, 4, 5, 6}, 2}, Row{"PCTL2", {75, 1, 2, 3, 4, 5, 6}, 4},
        Row{"PCTL4", {0, 3, 1, 2}, 1}, Row{"PCTL1", {100, 3, 1, 2}, 3}, Row{"PCTL2", {0, 3, 1, 2}, 1},
        Row{"MEDIAN", {3, 1, M, 2}, 2}, Row{"MEDIAN", {4, 1, 3, 2}, 2.5}, Row{"MEDIAN", {M, M}, DOT},
        Row{"MEDIAN", {}, DOT},
        Row{"MEDIAN", {qv::DBL_MAX_VALUE, qv::DBL_MAX_VALUE}, std::numeric_limits<double>::infinity()}, Row{"PCTL", {50}, DOT}, Row{"PCTL", {50, M, miss('A')}, DOT},
        Row{"PCTL", {M, 1, 2}, DOT, INV, true}, Row{"PCTL", {-0.5, 1, 2}, DOT, INV, true},
        Row{"PCTL3", {100.5, 1, 2}, DOT, INV, true}, Row{"PCTL", {}, DOT, INV},
        // Positions that are integral in exact arithmetic are fuzzed back onto the integer.
        Row{"PCTL3", one_to(100, {7}), 7}, Row{"PCTL1", one_to(100, {57}), 57}, Row{"PCTL", one_to(100, {7}), 7.5},
        Row{"PCTL", one_to(100, {57}), 57.5},
        Row{"IQR", {1, 2, 3, 4}, 2}, Row{"IQR", {1, 2, 3, 4, 5}, 2}, Row{"IQR", {7}, 0}, Row{"IQR", {M, M}, DOT},
        Row{"IQR", {1, M, 2, 3, M, 4}, 2}, Row{"MAD", {1, 2, 3, 4, 100}, 1}, Row{"MAD", {1, 2, 3, 4}, 1},
        Row{"MAD", {5}, 0}, Row{"MAD", {M}, DOT},
        Row{"SMALLEST", {2, 5, M, 3, 1}, 3}, Row{"SMALLEST", {3, 5, M, 3, 1}, 5}, Row{"LARGEST", {1, 5, M, 3, 1}, 5},
        Row{"LARGEST", {3, 5, M, 3, 1}, 1}, Row{"SMALLEST", {4, 5, M, 3, 1}, DOT, MIS},
        Row{"LARGEST", {4, 5, M, 3, 1}, DOT, MIS}, Row{"SMALLEST", {2, 7, 7, 7}, 7},
        Row{"SMALLEST", {5, 1, 2, 3, 4}, DOT, INV, true}, Row{"SMALLEST", {0, 1, 2}, DOT, INV, true},
        Row{"LARGEST", {1.5, 1, 2}, DOT, INV, true}, Row{"SMALLEST", {M, 1, 2}, DOT, INV, true},
        Row{"LARGEST", {NAN_NEG, 1, 2}, DOT, INV, true}, Row{"SMALLEST", {1}, DOT, INV, true},
        Row{"ORDINAL", {1, 3, M, 1}, DOT}, Row{"ORDINAL", {2, 3, M, 1}, 1}, Row{"ORDINAL", {3, 3, M, 1}, 3},
        Row{"ORDINAL", {1, miss('Z'), miss('_'), miss('A'), 5}, miss('_')},
        Row{"ORDINAL", {2, miss('Z'), miss('_'), miss('A'), 5}, miss('A')},
        Row{"ORDINAL", {3, miss('Z'), miss('_'), miss('A'), 5}, miss('Z')},
        Row{"ORDINAL", {4, miss('Z'), miss('_'), miss('A'), 5}, 5}, Row{"ORDINAL", {2, M, M}, DOT},
        Row{"ORDINAL", {0, 1, 2}, DOT, INV, true}, Row{"ORDINAL", {3, 1, 2}, DOT, INV, true},
        Row{"ORDINAL", {1.5, 1, 2}, DOT, INV, true}, Row{"ORDINAL", {M, 1, 2}, DOT, INV, true},
        Row{"ORDINAL", {1}, DOT, INV, true},
        // Unlisted missing patterns order with . and come back with their own bits.
        Row{"ORDINAL", {2, ODD_MISSING, M}, ODD_MISSING}, Row{"ORDINAL", {1, ODD_MISSING, M}, DOT},
        Row{"ORDINAL", {1, miss('Z'), BARE_MISSING}, BARE_MISSING}));

INSTANTIATE_TEST_SUITE_P(
    SignedZeroTies, OrderCase,
    testing::Values(
        Row{"SMALLEST", {1, Z, 0}, Z}, Row{"SMALLEST", {1, 0, Z}, 0}, Row{"SMALLEST", {2, 0, Z, 1, 1}, 0},
        Row{"SMALLEST", {2, Z, 0, 1, 1}, Z}, Row{"LARGEST", {3, 0, Z, 1, 1}, 0}, Row{"LARGEST", {3, Z, 0, 1, 1}, Z},
        // Equal children: the right one moves up.
        Row{"SMALLEST", {3, -1, 0, Z, 5, 5}, Z}, Row{"SMALLEST", {3, -1, Z, 0, 5, 5}, 0},
        Row{"LARGEST", {3, 1, 0, Z, -5, -5}, Z}, Row{"LARGEST", {3, 1, Z, 0, -5, -5}, 0},
        // Equal entries split by index parity during partitioning.
        Row{"ORDINAL", {1, 0, 0, Z}, Z}, Row{"ORDINAL", {1, Z, Z, 0}, 0}, Row{"ORDINAL", {2, M, 0, 0, Z}, Z},
        Row{"ORDINAL", {2, Z, 0, 0, 0, 0}, Z}, Row{"PCTL3", {30, Z, 0, 0, 0, 0}, Z},
        Row{"PCTL3", {30, 0, Z, Z, Z, Z}, 0}, Row{"MEDIAN", {0, Z, 0}, Z}, Row{"MEDIAN", {Z, 0, Z}, 0},
        // Minimum: lowest index wins; maximum: highest index wins.
        Row{"PCTL3", {50, 0, Z}, 0}, Row{"PCTL3", {50, Z, 0}, Z}, Row{"PCTL3", {100, 0, Z}, Z},
        Row{"PCTL3", {100, Z, 0}, 0}, Row{"IQR", {0, Z}, Z}, Row{"IQR", {Z, 0}, 0},
        // Neighbours of an averaged rank, and the quartiles taken lower first on one array.
        Row{"PCTL", {25, Z, Z, 0, 1}, 0}, Row{"PCTL", {25, 0, Z, Z, 1}, Z},
        Row{"PCTL", {60, Z, Z, 0, -1, Z}, 0}, Row{"IQR", {Z, Z, 0, -1, 0, 1}, 0}));

// Scratch memory: the block size requested (0 for none) at the edges of the local buffers, and
// a refusing pool on every path that asks for one.
struct ScratchRow {
    const char *name;
    double first;  // the rank or percentile; NONE for functions without one
    int data;      // values 1..data follow
    int present;   // the values after the first `present` are missing
    std::uint64_t block;
    double expected;
    QvStatus status = OK;
};

class ScratchCase : public testing::TestWithParam<ScratchRow> {};

TEST_P(ScratchCase, ExactBlockFreedAndRefusal) {
    const ScratchRow &c = GetParam();
    std::vector<double> args = std::isnan(c.first) ? std::vector<double>{} : std::vector<double>{c.first};
    for (int i = 1; i <= c.data; ++i) args.push_back(i <= c.present ? i : M);
    qvhost::CountingPool pool;
    const qvt::Result r = qvt::call(c.name, qvt::nums(args), &pool);
    EXPECT_EQ(r.status, c.status);
    EXPECT_SAME(r.value, c.expected);
    ASSERT_EQ(pool.requests().size(), c.block ? 1u : 0u);
    if (c.block) {
        EXPECT_EQ(pool.requests()[0].size, c.block);
        EXPECT_EQ(pool.requests()[0].flags, 0u);
    }
    pool.refuse_all(true);
    const qvt::Result refused = qvt::call(c.name, qvt::nums(args), &pool);
    EXPECT_EQ(refused.status, c.block ? STATUS_NO_SCRATCH : c.status);
    EXPECT_SAME(refused.value, c.block ? DOT : c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    LocalBufferEdges, ScratchCase,
    testing::Values(
        ScratchRow{"SMALLEST", 127, 250, 250, 0, 127}, ScratchRow{"SMALLEST", 128, 250, 250, 1032, 128},
        ScratchRow{"LARGEST", 128, 250, 250, 1032, 123}, ScratchRow{"SMALLEST", 128, 200, 200, 0, 128},
        ScratchRow{"LARGEST", 800, 1000, 1000, 1616, 201}, ScratchRow{"SMALLEST", 128, 250, 100, 1032, DOT, MIS},
        ScratchRow{"ORDINAL", 256, 256, 256, 0, 256}, ScratchRow{"ORDINAL", 3, 257, 255, 2056, 1},
        ScratchRow{"PCTL", 50, 256, 256, 0, 128.5}, ScratchRow{"PCTL2", 50, 257, 257, 2056, 128},
        ScratchRow{"PCTL", 50, 257, 0, 2056, DOT}, ScratchRow{"MEDIAN", NONE, 256, 256, 0, 128.5},
        ScratchRow{"MEDIAN", NONE, 257, 257, 2056, 129}, ScratchRow{"IQR", NONE, 256, 256, 0, 128},
        ScratchRow{"IQR", NONE, 257, 257, 2056, 128}, ScratchRow{"MAD", NONE, 128, 128, 0, 32},
        ScratchRow{"MAD", NONE, 129, 129, 2064, 32}));

}  // namespace

// SMALLEST and LARGEST answer large ranks by sampling and counting instead of the bounded heap.
// Where the list holds no NaN and not both zeros, that must give the heap's bits, the same
// status and the same scratch request; elsewhere the heap must decide. The orders are the ones
// a heap and a sample find hardest: sorted either way, runs of equal values, and a period that
// puts large values at every 10th slot.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "qv/kth.hpp"
#include "qv/values.hpp"
#include "standin.hpp"

namespace {

enum Order { Random, Up, Down, FewDistinct, AllEqual, Periodic, Infinities, NegativeZeros, WithNaN, BothZeros };

struct Row {
    const char *name;
    Order order;
    qv::Sampled sampled;  // what the sampled selection alone reports at every rank
};

const Row ROWS[] = {
    {"random", Random, qv::Sampled::Found},
    {"ascending", Up, qv::Sampled::Found},
    {"descending", Down, qv::Sampled::Found},
    {"ten distinct values", FewDistinct, qv::Sampled::Found},
    {"all equal", AllEqual, qv::Sampled::Found},
    {"large values every 10th slot", Periodic, qv::Sampled::Found},
    {"infinities of both signs among them", Infinities, qv::Sampled::Found},
    {"zeros, all negative", NegativeZeros, qv::Sampled::Found},
    {"one NaN", WithNaN, qv::Sampled::Undecided},
    {"zeros of both signs", BothZeros, qv::Sampled::Undecided},
};

// Every 7th slot missing; present values in the given order.
std::vector<double> build(Order order, int m, std::mt19937_64 &rng) {
    std::vector<double> v;
    for (int i = 0; i < m; ++i) {
        double x = 0;
        switch (order) {
        case Random: x = std::uniform_real_distribution<double>(-1e6, 1e6)(rng); break;
        case Up: x = i; break;
        case Down: x = m - i; break;
        case FewDistinct: x = static_cast<double>(rng() % 10); break;
        case AllEqual: x = 2.5; break;
        case Periodic: x = i % 10 == 0 ? 1e9 + i : i; break;
        case Infinities: x = i % 5 == 0 ? (i % 10 ? INFINITY : -INFINITY) : static_cast<double>(rng() % 1000); break;
        case NegativeZeros: x = i % 3 ? -0.0 : static_cast<double>(rng() % 100) - 49.5; break;
        case WithNaN: x = i == m / 3 ? std::nan("") : static_cast<double>(rng() % 1000); break;
        case BothZeros: x = i % 4 == 0 ? 0.0 : i % 4 == 1 ? -0.0 : static_cast<double>(rng() % 100) - 50; break;
        }
        v.push_back(i % 7 == 6 ? qv::MISSING_DOT : x);
    }
    return v;
}

std::string bits(double x) { return std::to_string(std::bit_cast<std::uint64_t>(x)); }

struct Outcome {
    QvStatus status;
    std::string value;
    std::vector<qvhost::PoolRequest> requests;
};

Outcome run(const std::vector<FuncArg> &slots, std::int64_t k, bool largest, qv::KthPath path) {
    qvhost::CountingPool pool;
    double result = -1.0;
    const auto m = static_cast<std::int64_t>(slots.size());
    const QvStatus s = largest ? qv::kth_largest(slots.data(), pool.host(), &result, m, k, path)
                               : qv::kth_smallest(slots.data(), pool.host(), &result, m, k, path);
    return {s, bits(result), pool.requests()};
}

TEST(Kth, SampledSelectionGivesTheHeapsBitsStatusAndScratch) {
    std::mt19937_64 rng(17);
    for (const Row &row : ROWS) {
        for (int m : {5000, 40000}) {
            std::vector<double> values = build(row.order, m, rng);
            std::vector<FuncArg> slots;
            for (double &x : values) slots.push_back({FUNCARG_NUMERIC, &x});
            const int present = m - m / 7;
            for (std::int64_t k : {128, m / 10, present / 2, present, present + 1}) {
                for (bool largest : {false, true}) {
                    const std::string what = std::string(row.name) + ", m " + std::to_string(m) + ", k " +
                                             std::to_string(k) + (largest ? ", largest" : ", smallest");
                    const Outcome heap = run(slots, k, largest, qv::KthPath::Heap);
                    const Outcome sampled = run(slots, k, largest, qv::KthPath::Sampled);
                    EXPECT_EQ(sampled.status, heap.status) << what;
                    EXPECT_EQ(sampled.value, heap.value) << what;
                    ASSERT_EQ(sampled.requests.size(), heap.requests.size()) << what;
                    for (std::size_t r = 0; r < heap.requests.size(); ++r) {
                        EXPECT_EQ(sampled.requests[r].size, heap.requests[r].size) << what;
                        EXPECT_EQ(sampled.requests[r].flags, heap.requests[r].flags) << what;
                    }

                    // The sampled selection alone: found wherever the bits are the heap's to
                    // decide by value, never where they are the heap's shape's.
                    std::vector<double> work(static_cast<std::size_t>(k + 1));
                    double out = -1.0;
                    const qv::Sampled alone = qv::sampled_kth(slots.data(), m, k, largest, work.data(), k + 1, &out);
                    if (k > present) {
                        EXPECT_EQ(alone, qv::Sampled::TooFew) << what;
                    } else {
                        EXPECT_EQ(alone, row.sampled) << what;
                        if (alone == qv::Sampled::Found) {
                            EXPECT_EQ(bits(out), heap.value) << what;
                        }
                    }
                }
            }
        }
    }
}

// With a work area far too small for the rank, the samples are too coarse to close in on it
// within a few rounds; the selection must then report the rank undecided, never a wrong value.
TEST(Kth, SmallWorkAreasFindTheRankOrLeaveIt) {
    std::mt19937_64 rng(3);
    int found = 0, undecided = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int m = static_cast<int>(1000 + rng() % 3000);
        std::vector<double> values = build(static_cast<Order>(trial % 7), m, rng);
        std::vector<FuncArg> slots;
        for (double &x : values) slots.push_back({FUNCARG_NUMERIC, &x});
        const std::int64_t k = 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(m - m / 7));
        const bool largest = (trial & 1) != 0;
        std::vector<double> work(64);
        double out = -1.0;
        const qv::Sampled alone = qv::sampled_kth(slots.data(), m, k, largest, work.data(), 8 + trial % 57, &out);
        ASSERT_NE(alone, qv::Sampled::TooFew);
        if (alone == qv::Sampled::Undecided) {
            ++undecided;
            continue;
        }
        ++found;
        EXPECT_EQ(bits(out), run(slots, k, largest, qv::KthPath::Heap).value) << "trial " << trial;
    }
    EXPECT_GT(found, 0);
    EXPECT_GT(undecided, 0);
}

}  // namespace

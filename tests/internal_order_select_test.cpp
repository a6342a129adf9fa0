// The partitioning step classifies long ranges in blocks; the arrangement it leaves must be the
// one that examining and swapping one entry at a time leaves, since which of several equal
// entries (zeros of both signs, say) ends up at the selected rank decides the result's bits.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "qv/select.hpp"

namespace {

using Ptrs = std::vector<const double *>;

void one_at_a_time(Ptrs &e, std::int64_t t) {
    std::int64_t lo = 0, hi = static_cast<std::int64_t>(e.size()) - 1;
    while (lo < hi) {
        std::swap(e[lo], e[(lo + hi) / 2]);
        const double v = *e[lo];
        std::int64_t last = lo;
        for (std::int64_t i = lo + 1; i <= hi; ++i) {
            if (*e[i] < v || (*e[i] == v && i % 2 == 0)) std::swap(e[++last], e[i]);
        }
        std::swap(e[lo], e[last]);
        if (t == last) return;
        (t > last ? lo : hi) = t > last ? last + 1 : last - 1;
    }
}

TEST(PartitionSelect, BlocksLeaveTheArrangementOfOneEntryAtATime) {
    std::mt19937_64 rng(7);
    const double pool[] = {-0.0, 0.0, -1.0, 1.0, 2.0, std::numeric_limits<double>::quiet_NaN()};
    for (int trial = 0; trial < 60; ++trial) {
        const auto n = std::uniform_int_distribution<std::int64_t>(1, 6000)(rng);
        const int kinds = trial % 3 == 0 ? 2 : 6;  // zeros only, or mixed values with a NaN
        std::vector<double> values;
        for (std::int64_t i = 0; i < n; ++i) values.push_back(pool[rng() % kinds]);
        Ptrs expected, actual;
        for (const double &x : values) expected.push_back(&x);
        actual = expected;
        const auto t = std::uniform_int_distribution<std::int64_t>(0, n - 1)(rng);
        one_at_a_time(expected, t);
        qv::partition_select(actual.data(), n, t, [](const double *p) { return *p; });
        ASSERT_EQ(actual, expected) << "n " << n << ", rank " << t + 1;
    }
}

}  // namespace

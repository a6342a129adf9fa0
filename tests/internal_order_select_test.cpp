// Long ranges are partitioned in blocks; the arrangement must be the one that examining and
// swapping one entry at a time leaves, since which of several equal entries (zeros of both
// signs, say) ends up at the selected rank decides the bits of the result.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "qv/select.hpp"

namespace {

using Entries = std::vector<const double *>;

// One entry at a time: even indices go below a pivot they equal, odd ones stay above.
void one_at_a_time(Entries &e, std::int64_t n, std::int64_t t) {
    for (std::int64_t lo = 0, hi = n - 1, last = -1; lo < hi && last != t;) {
        std::swap(e[lo], e[(lo + hi) / 2]);
        last = lo;
        for (std::int64_t i = lo + 1; i <= hi; ++i)
            if (*e[i] < *e[lo] || (*e[i] == *e[lo] && i % 2 == 0)) std::swap(e[++last], e[i]);
        std::swap(e[lo], e[last]);
        (t > last ? lo : hi) = t > last ? last + 1 : last - 1;
    }
}

TEST(PartitionSelect, BlocksLeaveTheArrangementOfOneEntryAtATime) {
    std::mt19937_64 rng(7);
    const double kinds[] = {-0.0, 0.0, -1.0, 1.0, 2.0, std::numeric_limits<double>::quiet_NaN()};
    for (int trial = 0; trial < 60; ++trial) {
        const auto n = static_cast<std::int64_t>(1 + rng() % 6000);
        const auto t = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n));  // a rank inside the range
        std::vector<double> values;  // zeros only, or mixed values with NaN
        for (std::int64_t i = 0; i < n; ++i) values.push_back(kinds[rng() % (trial % 3 ? 6 : 2)]);
        Entries e, actual;
        for (const double &x : values) e.push_back(&x);
        actual = e;
        qv::partition_select(actual.data(), n, t, [](const double *p) { return *p; }, false);
        one_at_a_time(e, n, t);
        ASSERT_EQ(actual, e) << "n " << n << ", rank " << t + 1;
    }
}

// Data that makes every middle-pivot pass remove only a few entries (organ pipe, a V) is
// finished by a bounded selection; with no NaN and zeros of one sign only, the selected entry
// has the same bits as the passes would give, and the range stays split around it. Zeros of
// both signs keep the passes, since they alone decide which zero is selected.
TEST(PartitionSelect, DegenerateDataGivesTheSameEntry) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        const auto n = static_cast<std::int64_t>(200 + rng() % 3000);
        const bool mixed = trial % 3 == 0;  // then aim at the zeros, the smallest values
        const auto t = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(mixed ? n / 89 : n));
        std::vector<double> values;
        for (std::int64_t i = 0; i < n; ++i) {
            const double v = trial % 2 ? static_cast<double>(i < n / 2 ? 1 + i : n - i) : 1 + std::abs(n / 2.0 - i);
            const double zero = (mixed ? i / 89 % 2 : trial % 4 < 2) ? 0.0 : -0.0;
            values.push_back(i % 89 == 0 ? zero : v);
        }
        Entries e, actual;
        for (const double &x : values) e.push_back(&x);
        actual = e;
        qv::partition_select(actual.data(), n, t, [](const double *p) { return *p; }, true);
        one_at_a_time(e, n, t);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*actual[t]), std::bit_cast<std::uint64_t>(*e[t])) << "n " << n;
        for (std::int64_t i = 0; i < n; ++i) ASSERT_TRUE(i < t ? *actual[i] <= *actual[t] : *actual[i] >= *actual[t]);
    }
}

}  // namespace

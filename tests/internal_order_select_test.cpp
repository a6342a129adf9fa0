// Long ranges are partitioned in blocks; the arrangement must be the one that examining and
// swapping one entry at a time leaves, since which of several equal entries (zeros of both
// signs, say) ends up at the selected rank decides the bits of the result.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "qv/select.hpp"

namespace {

TEST(PartitionSelect, BlocksLeaveTheArrangementOfOneEntryAtATime) {
    std::mt19937_64 rng(7);
    const double kinds[] = {-0.0, 0.0, -1.0, 1.0, 2.0, std::numeric_limits<double>::quiet_NaN()};
    for (int trial = 0; trial < 60; ++trial) {
        const auto n = static_cast<std::int64_t>(1 + rng() % 6000);
        const auto t = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n));  // a rank inside the range
        std::vector<double> values;  // zeros only, or mixed values with NaN
        for (std::int64_t i = 0; i < n; ++i) values.push_back(kinds[rng() % (trial % 3 ? 6 : 2)]);
        std::vector<const double *> e, actual;
        for (const double &x : values) e.push_back(&x);
        actual = e;
        qv::partition_select(actual.data(), n, t, [](const double *p) { return *p; });
        // One entry at a time: even indices go below a pivot they equal, odd ones stay above.
        for (std::int64_t lo = 0, hi = n - 1, last = -1; lo < hi && last != t;) {
            std::swap(e[lo], e[(lo + hi) / 2]);
            last = lo;
            for (std::int64_t i = lo + 1; i <= hi; ++i)
                if (*e[i] < *e[lo] || (*e[i] == *e[lo] && i % 2 == 0)) std::swap(e[++last], e[i]);
            std::swap(e[lo], e[last]);
            (t > last ? lo : hi) = t > last ? last + 1 : last - 1;
        }
        ASSERT_EQ(actual, e) << "n " << n << ", rank " << t + 1;
    }
}

}  // namespace

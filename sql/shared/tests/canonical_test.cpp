// The canonical order: both sorts (in place and radix) give the IEEE total order of the bits,
// whatever order the same values come in.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "canonical.hpp"
#include "qvhost.h"

namespace {

std::vector<std::uint64_t> bits_of(const std::vector<double> &xs) {
    std::vector<std::uint64_t> out;
    for (double x : xs) out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// The total order written out: missing values (negative NaN patterns) first by descending bits,
// then negative numbers by descending bits, then positive ones by ascending bits.
bool before(std::uint64_t a, std::uint64_t b) {
    const bool na = a >> 63, nb = b >> 63;
    if (na != nb) return na;
    return na ? a > b : a < b;
}

TEST(Canonical, EveryOrderOfTheSameValuesSortsAlike) {
    double dot = 0, a = 0, z = 0;
    qvh_missing('.', &dot);
    qvh_missing('A', &a);
    qvh_missing('Z', &z);
    const double specials[] = {0.0, -0.0, 1.0, -1.0, 5e-324, -5e-324, INFINITY, -INFINITY, 1e308, dot, a, z};
    std::mt19937_64 rng(7);
    // Sizes on both sides of the radix threshold, already sorted too.
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{17}, qvsql::RADIX_FROM - 1,
                                qvsql::RADIX_FROM, std::size_t{50000}}) {
        std::vector<double> xs(n);
        for (auto &x : xs) x = rng() % 3 == 0 ? specials[rng() % std::size(specials)] : std::ldexp(double(rng() % 2001) - 1000, int(rng() % 9) - 4);
        std::vector<std::uint64_t> want = bits_of(xs);
        std::stable_sort(want.begin(), want.end(), before);
        for (int round = 0; round < 2; ++round) {
            std::shuffle(xs.begin(), xs.end(), rng);
            std::vector<double> in_place = xs, radix = xs;
            std::vector<std::uint64_t> scratch(n);
            qvsql::canonical_sort(in_place.data(), n);
            qvsql::canonical_sort(radix.data(), n, scratch.data());
            EXPECT_EQ(bits_of(in_place), want) << n;
            EXPECT_EQ(bits_of(radix), want) << n;
            qvsql::canonical_sort(radix.data(), n, scratch.data());  // sorted already: unchanged
            EXPECT_EQ(bits_of(radix), want) << n;
        }
    }
}

TEST(Canonical, OrderFreeOnlyWithoutSignedZerosOrMissingValues) {
    double dot = 0;
    qvh_missing('.', &dot);
    const std::pair<std::vector<double>, bool> cases[] = {
        {{}, true}, {{1, 2, 2, -3}, true}, {{0.0, 0.0, 5}, true}, {{-0.0, -0.0}, true},
        {{0.0, 1, -0.0}, false}, {{-0.0, 0.0}, false}, {{1, dot}, false},
    };
    for (const auto &[xs, want] : cases) EXPECT_EQ(qvsql::order_free(xs.data(), xs.size()), want) << xs.size();
}

}  // namespace

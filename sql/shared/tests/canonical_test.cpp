// The canonical order: both sorts (in place and radix) give the IEEE total order of the bits,
// whatever order the same values come in.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
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
    // Sizes on both sides of the radix thresholds, already sorted too.
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{17}, qvsql::SMALL_RADIX_FROM - 1,
                                qvsql::SMALL_RADIX_FROM, qvsql::RADIX_FROM - 1, qvsql::RADIX_FROM, std::size_t{50000}}) {
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
        // Runs already in order joined end to end (partial states ordered where they were made):
        // merged, or sorted past the runs a merge takes, to the same order.
        for (const std::size_t runs : {std::size_t{2}, std::size_t{3}, qvsql::MERGED_RUNS - 1, qvsql::MERGED_RUNS}) {
            if (n < qvsql::RADIX_FROM) continue;
            std::vector<double> joined = xs;
            for (std::size_t r = 0; r < runs; ++r)
                qvsql::canonical_sort(joined.data() + n * r / runs, n * (r + 1) / runs - n * r / runs);
            std::vector<std::uint64_t> scratch(n);
            qvsql::canonical_sort(joined.data(), n, scratch.data());
            EXPECT_EQ(bits_of(joined), want) << n << " in " << runs << " runs";
        }
    }
}

// The radix sort of keys against std::sort, on keys that differ only across a digit boundary
// (bits 10/11, 21/22, ... 54/55, the sign), on every missing kind, NaNs with payloads, both zeros
// and infinities, subnormals, duplicates, on 0, 1 and 2 keys, where the lowest bit alone, one, two
// or every digit moves, and on runs that share all but the lowest two digits; in several orders of
// each, as keys and as the double bit patterns they stand for.
TEST(Canonical, RadixOrderIsTheSortedOrderOfTheKeys) {
    auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    std::vector<std::uint64_t> missing;
    for (const char c : std::string("._ABCDEFGHIJKLMNOPQRSTUVWXYZ")) {
        double m = 0;
        qvh_missing(c, &m);
        missing.push_back(bits(m));
    }
    const std::uint64_t nan = bits(NAN), sign = std::uint64_t{1} << 63;
    std::mt19937_64 rng(11);
    std::vector<std::uint64_t> random_words(300), runs;
    for (auto &u : random_words) u = rng();
    // Runs that share all but their lowest 22 bits: short ones, and one long enough for a radix sort.
    for (std::uint64_t base : {bits(1.5), bits(-3.0), bits(1e-300)})
        for (int k = 0; k < 40; ++k) runs.push_back(base + rng() % (std::uint64_t{1} << 22));
    for (std::size_t k = 0; k < qvsql::RADIX_FROM + 100; ++k) runs.push_back(bits(7.0) + rng() % (std::uint64_t{1} << 22));
    std::vector<std::uint64_t> boundaries;
    for (int b : {10, 11, 21, 22, 32, 33, 43, 44, 54, 55, 62, 63})
        for (std::uint64_t base : {std::uint64_t{0}, bits(1.0), bits(-1.0)})
            boundaries.insert(boundaries.end(), {base ^ (std::uint64_t{1} << b), base | ((std::uint64_t{1} << b) - 1)});
    const std::vector<std::vector<std::uint64_t>> cases = {
        {},
        {bits(-0.0)},
        {bits(0.0), bits(-0.0)},
        {bits(INFINITY), bits(-INFINITY), bits(0.0), bits(-0.0), bits(5e-324), bits(-5e-324), bits(2.2250738585072009e-308)},
        {nan, nan | 1, nan | 0x7FF, sign | nan, sign | nan | 0x1234, missing[0], missing[1], missing[27], bits(1.0), bits(1.0)},
        missing,
        boundaries,
        {7, 7, 7, 7, sign | 7, sign | 7, 0, sign},
        {bits(1.0) + 2000, bits(1.0), bits(1.0) + 1, bits(1.0) + 2000, bits(1.0) + 3},  // one digit moves
        {bits(-2.0) + 2047, bits(-2.0) + 2048, bits(-2.0), bits(-2.0) + 1},              // the lowest two move
        {bits(2.5) + 1, bits(2.5), bits(2.5) + 1, bits(2.5), bits(2.5) + 1},              // the lowest bit alone
        random_words,                                                                   // every digit moves
        runs,
    };
    auto key_of = [](std::uint64_t u) { return qvsql::canonical_key(u); };
    for (std::size_t c = 0; c < std::size(cases); ++c)
        for (int round = 0; round < 3; ++round) {
            std::vector<std::uint64_t> keys;
            for (std::uint64_t u : cases[c]) keys.push_back(key_of(u));
            std::shuffle(keys.begin(), keys.end(), rng);
            std::vector<std::uint64_t> want = keys, scratch(keys.size()), patterns, want_patterns;
            std::sort(want.begin(), want.end());
            for (std::uint64_t k : keys) patterns.push_back(qvsql::canonical_bits(k));
            for (std::uint64_t k : want) want_patterns.push_back(qvsql::canonical_bits(k));
            if (!keys.empty()) qvsql::radix_sort_keys(keys.data(), scratch.data(), keys.size());
            EXPECT_EQ(keys, want) << "case " << c;
            // The patterns themselves, keyed as they are read and put back as they are written, in
            // digits of 11 and of 8 bits, and with the lowest digits left to the runs.
            std::vector<std::uint64_t> patterns8 = patterns, patterns_runs = patterns;
            qvsql::radix::sort_words<true>(patterns.data(), scratch.data(), patterns.size());
            EXPECT_EQ(patterns, want_patterns) << "case " << c;
            qvsql::radix::sort_words<true, 8, std::uint32_t>(patterns8.data(), scratch.data(), patterns8.size());
            EXPECT_EQ(patterns8, want_patterns) << "case " << c;
            std::vector<std::uint64_t> patterns8_runs = patterns_runs;
            qvsql::radix::sort_words<true, 11, std::size_t, 2>(patterns_runs.data(), scratch.data(), patterns_runs.size());
            EXPECT_EQ(patterns_runs, want_patterns) << "case " << c;
            qvsql::radix::sort_words<true, 8, std::uint32_t, 4>(patterns8_runs.data(), scratch.data(), patterns8_runs.size());
            EXPECT_EQ(patterns8_runs, want_patterns) << "case " << c;
        }
}

// Sorts long enough that their passes write whole lines: arrays starting at every word of a line,
// with every digit's words spread thin, most words under one digit, and few digits moving.
TEST(Canonical, LongSortsAtEveryAlignment) {
    std::mt19937_64 rng(13);
    const std::size_t n = (std::size_t{1} << 16) + 11;
    auto aligned = [](std::vector<std::uint64_t> &room, std::size_t off) {
        return reinterpret_cast<std::uint64_t *>((reinterpret_cast<std::uintptr_t>(room.data()) + 63) & ~std::uintptr_t{63}) + off;
    };
    for (int shape = 0; shape < 3; ++shape)
        for (const std::size_t off : {0, 1, 3, 7}) {
            // Room around the arrays holds a mark that no sort may write over.
            const std::uint64_t mark = 0x5A5A5A5A5A5A5A5Aull;
            std::vector<std::uint64_t> room(n + 32, mark), scratch_room(n + 32, mark);
            std::uint64_t *words = aligned(room, off + 8), *scratch = aligned(scratch_room, 15 - off);
            for (std::size_t i = 0; i < n; ++i)
                words[i] = shape == 0 ? rng() : shape == 1 ? (rng() % 5 == 0 ? rng() : 42 + i % 3) : rng() % 100000;
            std::vector<std::uint64_t> want(words, words + n), patterns(n), want_patterns;
            std::sort(want.begin(), want.end());
            for (std::size_t i = 0; i < n; ++i) patterns[i] = qvsql::canonical_bits(words[i]);
            for (const std::uint64_t k : want) want_patterns.push_back(qvsql::canonical_bits(k));
            qvsql::radix_sort_keys(words, scratch, n);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), words)) << "shape " << shape << " at word " << off;
            std::copy(patterns.begin(), patterns.end(), words);
            qvsql::radix::sort_words<true, 11, std::size_t, 2>(words, scratch, n);
            EXPECT_TRUE(std::equal(want_patterns.begin(), want_patterns.end(), words)) << "shape " << shape << " at word " << off;
            for (auto [r, at] : {std::pair{&room, words}, std::pair{&scratch_room, scratch}}) {
                const auto before = static_cast<std::size_t>(at - r->data());
                EXPECT_TRUE(std::all_of(r->begin(), r->begin() + static_cast<std::ptrdiff_t>(before), [&](std::uint64_t u) { return u == mark; }));
                EXPECT_TRUE(std::all_of(r->begin() + static_cast<std::ptrdiff_t>(before + n), r->end(), [&](std::uint64_t u) { return u == mark; }));
            }
        }
}

// A sum is left unsorted only where every order gives exact sums; where it is, SUM and MEAN over
// the canonical order and over the values reversed give the same bits.
TEST(Canonical, SumOrderFreeOnlyWhereEverySumIsExact) {
    double dot = 0, a = 0;
    qvh_missing('.', &dot);
    qvh_missing('A', &a);
    const double p53 = 9007199254740992.0;  // 2^53
    const std::pair<std::vector<double>, bool> cases[] = {
        {{}, true},
        {{3, -7, 12, 1e6, -0.0}, true},
        {{dot, 2, a, 5}, true},
        {{0.5, 0.25, -1.75}, true},                 // multiples of 2^-2
        {{0.1, 0.2, 0.3}, false},                   // 0.1 + 0.2 rounds
        {{p53 - 1, 1}, false},                      // the sum of magnitudes reaches 2^53
        {{p53 / 2 - 1, p53 / 2 - 1, 1}, true},      // below it
        {{p53, 1}, false},
        {{1e300, 1e300}, true},                     // doubling is exact
        {{1e300, 1}, false},                        // far above the room of the smallest value
        {{5e-324, 5e-324, -1e-323}, true},          // subnormal multiples
        {{1, INFINITY}, false},
        {{1, NAN}, false},
        {{0.0, -0.0}, false},                       // the mean of equal values is the first
        {{0.0, -0.0, 2}, false},
        {{-0.0, -0.0}, true},
    };
    qvh_package *pkg = nullptr;
    ASSERT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
    for (const char *name : {"SUM", "MEAN"}) {
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(pkg, name, &call), QVH_OK);
        for (std::size_t c = 0; c < std::size(cases); ++c) {
            const auto &[xs, want] = cases[c];
            EXPECT_EQ(qvsql::needs_order(*qvh_function_find(name), xs.data(), xs.size()), !want) << name << " case " << c;
            if (!want) continue;
            std::vector<double> sorted = xs, reversed = xs;
            qvsql::canonical_sort(sorted.data(), sorted.size());
            std::reverse(reversed.begin(), reversed.end());
            double r[2];
            std::int32_t st[2];
            ASSERT_EQ(qvh_call_over(call, nullptr, 0, sorted.data(), sorted.size(), sizeof(double), &r[0], &st[0], nullptr), QVH_OK);
            ASSERT_EQ(qvh_call_over(call, nullptr, 0, reversed.data(), reversed.size(), sizeof(double), &r[1], &st[1], nullptr), QVH_OK);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(r[0]), std::bit_cast<std::uint64_t>(r[1])) << name << " case " << c;
        }
        qvh_call_free(call);
    }
    qvh_close(pkg);
}

TEST(Canonical, OrderFreeOnlyWithoutSignedZerosOrTwoMissingValues) {
    double dot = 0, a = 0;
    qvh_missing('.', &dot);
    qvh_missing('A', &a);
    const std::pair<std::vector<double>, bool> cases[] = {
        {{}, true}, {{1, 2, 2, -3}, true}, {{0.0, 0.0, 5}, true}, {{-0.0, -0.0}, true},
        {{0.0, 1, -0.0}, false}, {{-0.0, 0.0}, false}, {{1, dot}, true},
        {{dot, 2, dot, dot}, true}, {{dot, 1, a}, false}, {{a, a, 0.0}, true}, {{dot, -0.0, 0.0}, false},
    };
    for (const auto &[xs, want] : cases) EXPECT_EQ(qvsql::order_free(xs.data(), xs.size()), want) << xs.size();
}

// Every order statistic of the catalogue gives the same bits and status over its values in any
// order as over the canonical order, wherever order_free says so: with the engine's NULL ('.')
// among the values, which the package sets aside whatever its place, and without two zeros of
// different sign.
TEST(Canonical, OrderFreeValuesGiveEveryOrderStatisticItsBitsInAnyOrder) {
    qvh_package *pkg = nullptr;
    ASSERT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
    double dot = 0;
    qvh_missing('.', &dot);
    std::mt19937_64 rng(11);
    int checked = 0;
    for (std::size_t k = 0; k < qvh_function_count(); ++k) {
        const qvh_info &f = *qvh_function_at(k);
        if (f.aggregate == QVH_AGG_NONE || !qvsql::order_statistic(f)) continue;
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(pkg, f.name, &call), QVH_OK) << f.name;
        for (int trial = 0; trial < 60; ++trial) {
            // Few distinct values, so that ties are many; +0 or -0 but never both; NULLs at random places.
            const std::size_t n = 1 + rng() % (trial < 30 ? 12 : 3000);
            const double zero = trial % 2 ? 0.0 : -0.0;
            std::vector<double> xs(n);
            for (auto &x : xs) x = rng() % 4 == 0 ? dot : rng() % 5 == 0 ? zero : double(1 + rng() % 4) * (rng() % 2 ? 1 : -1);
            if (trial % 10 == 9) std::fill(xs.begin(), xs.end(), dot);
            ASSERT_TRUE(qvsql::order_free(xs.data(), n));
            const double lead = double(rng() % 101);  // a percentile or a rank
            const std::size_t nlead = f.leading_param ? 1 : 0;
            std::vector<double> sorted = xs;
            qvsql::canonical_sort(sorted.data(), n);
            double want = 0, got = 0;
            std::int32_t want_status = 0, got_status = 0;
            ASSERT_EQ(qvh_call_over(call, &lead, nlead, sorted.data(), n, sizeof(double), &want, &want_status, nullptr), QVH_OK);
            ASSERT_EQ(qvh_call_over(call, &lead, nlead, xs.data(), n, sizeof(double), &got, &got_status, nullptr), QVH_OK);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << f.name << " over " << n;
            EXPECT_EQ(got_status, want_status) << f.name << " over " << n;
            ++checked;
        }
        qvh_call_free(call);
    }
    EXPECT_GE(checked, 600);  // the medians, percentiles, ranks, extremes and their kin
    qvh_close(pkg);
}

}  // namespace

// The quantile engine may leave middle-pivot passes that stop making progress to a bounded
// selection. Lists holding NaNs that are not missing values, or zeros of both signs, are where
// two correct selections can differ in their bits, so every finished selection must give the
// bits of the passes run to their end. The shapes make the passes degenerate (organ pipe, V, the
// deviations of a ramp); the extras place NaNs and zeros where they do and do not matter.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "qv/quantile.hpp"

namespace {

enum Shape { Ramp, Down, Pipe, Vee, Noise };

// Pipe and vee values are distinct, so that a selection one rank off shows in the bits.
struct Row {
    const char *name;
    Shape shape;
    std::vector<std::pair<double, double>> extras;  // (position as a fraction of n, value); 1.0 = appended
    int nans_after = 0;                              // a block of NaNs after the extras
    double zero_at = -1;                             // the shape is shifted to put 0 at this fraction
    int zero_pairs = 0;                              // +0 and -0 inserted this many times each
    int n = 0;                                       // the shape's length, when one matters
};

constexpr double NaN1 = std::bit_cast<double>(0x7FF8000000000001ull);
constexpr double NaN2 = std::bit_cast<double>(0xFFF8000000000002ull);
constexpr double INF = std::numeric_limits<double>::infinity();

const Row ROWS[] = {
    {"ramp, NaN after", Ramp, {{1.0, NaN1}}},
    {"ramp, NaN first", Ramp, {{0.0, NaN1}}},
    {"ramp, NaN in the middle", Ramp, {{0.5, NaN1}}},
    {"pipe, NaN after", Pipe, {{1.0, NaN1}}},
    {"pipe, NaN first", Pipe, {{0.0, NaN2}}},
    {"pipe, two NaNs after", Pipe, {{1.0, NaN1}, {1.0, NaN2}}},
    {"pipe, NaNs spread", Pipe, {{0.1, NaN1}, {0.7, NaN2}, {0.9, NaN1}}},
    {"vee, NaN after", Vee, {{1.0, NaN1}}},
    {"vee, NaN at the bottom", Vee, {{0.5, NaN2}}},
    {"down, NaN after", Down, {{1.0, NaN2}}},
    {"pipe, zeros at the ends", Pipe, {{0.0, 0.0}, {1.0, -0.0}}},
    {"pipe, zeros of both signs near the median", Pipe, {{0.3, -0.0}, {0.6, 0.0}, {0.2, -0.0}}},
    {"vee, zeros of both signs at the bottom", Vee, {{0.5, 0.0}, {0.51, -0.0}}},
    {"ramp, zeros and a NaN", Ramp, {{0.0, -0.0}, {0.4, 0.0}, {1.0, NaN1}}},
    {"pipe, infinities and a NaN", Pipe, {{0.2, INF}, {0.8, -INF}, {1.0, NaN1}}},
    {"noise, NaN after", Noise, {{1.0, NaN1}}},
    {"noise, zeros of both signs", Noise, {{0.3, 0.0}, {0.5, -0.0}}},
    {"pipe, block of NaNs after", Pipe, {}, 120},
    {"ramp, block of NaNs after", Ramp, {}, 90},
    {"vee, block of NaNs after", Vee, {}, 40},
    {"vee, long block of NaNs after", Vee, {}, 300},
    // The lower quartile's arrangement decides where the upper one meets the NaNs.
    {"vee, NaNs spread", Vee, {{0.578, NaN1}, {0.955, NaN2}, {0.741, NaN1}, {0.442, NaN2}}, 0, -1, 0, 1389},
    {"pipe, zeros of both signs at the median", Pipe, {}, 0, 0.5, 4},
    {"vee, zeros of both signs at the median", Vee, {}, 0, 0.5, 3},
    {"pipe, zeros of both signs at the upper quartile", Pipe, {}, 0, 0.75, 5},
    {"pipe, zeros of both signs at 0.37, NaN after", Pipe, {{1.0, NaN1}}, 0, 0.37, 2},
};

std::vector<double> build(const Row &row, int n, std::mt19937_64 &rng) {
    std::vector<double> v;
    for (int i = 0; i < n; ++i) {
        switch (row.shape) {
        case Ramp: v.push_back(i); break;
        case Down: v.push_back(n - i); break;
        case Pipe: v.push_back(i < n / 2 ? 2 * i + 2 : 2 * (n - i) + 1); break;
        case Vee: v.push_back(i < n / 2 ? 2 * (n / 2 - i) + 3 : 2 * (i - n / 2) + 2); break;
        case Noise: v.push_back(static_cast<double>(rng() % 64) - 20); break;
        }
    }
    if (row.zero_at >= 0) {
        std::vector<double> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        const double shift = sorted[static_cast<std::size_t>(row.zero_at * n)];
        for (double &x : v) x = x == shift ? 1e-3 : x - shift;  // the natural zero becomes the inserted ones
        for (int z = 0; z < row.zero_pairs; ++z) {
            v.insert(v.begin() + static_cast<long>(rng() % v.size()), 0.0);
            v.insert(v.begin() + static_cast<long>(rng() % v.size()), -0.0);
        }
    }
    for (const auto &[at, x] : row.extras) v.insert(v.begin() + static_cast<long>(at * static_cast<double>(v.size())), x);
    v.insert(v.end(), row.nans_after, NaN2);
    return v;
}

std::string bits(double x) { return std::to_string(std::bit_cast<std::uint64_t>(x)); }

// Runs f over a fresh pointer array (and fresh copies, for MAD) once for each kind of passes.
template <class F>
void compare(const std::string &what, const std::vector<double> &data, F f) {
    std::vector<double> copies[2] = {data, data};
    double got[2];
    for (int w = 0; w < 2; ++w) {
        std::vector<const double *> values;
        for (const double &x : copies[w]) values.push_back(&x);
        got[w] = f(copies[w].data(), values.data(), static_cast<std::int64_t>(values.size()),
                   w == 0 ? qv::Passes::MayFinish : qv::Passes::Written);
    }
    ASSERT_EQ(bits(got[0]), bits(got[1])) << what;
}

// IQR and MAD of the same list, each against its passes run to their end.
void compare_spreads(const std::string &what, const std::vector<double> &data) {
    compare(what + ", IQR", data, [](double *, qv::ValuePtr *values, std::int64_t m, qv::Passes passes) {
        return qv::interquartile_range(values, m, passes);
    });
    compare(what + ", MAD", data, [](double *copies, qv::ValuePtr *values, std::int64_t m, qv::Passes passes) {
        return qv::median_deviation(copies, values, m, passes);
    });
}

TEST(Quantile, FinishedSelectionsGiveTheBitsOfThePassesRunToTheirEnd) {
    std::mt19937_64 rng(5);
    for (const Row &row : ROWS) {
        for (int n : {999, 1500, 2000}) {
            if (row.n != 0 && n != 999) continue;
            const std::vector<double> data = build(row, row.n != 0 ? row.n : n, rng);
            const std::string what = std::string(row.name) + ", n " + std::to_string(data.size());
            for (int definition = 1; definition <= 5; ++definition) {
                for (double p : {0.5, 0.37, 0.9, 0.97, row.zero_at}) {
                    if (p < 0) continue;
                    compare(what + ", definition " + std::to_string(definition) + " at " + std::to_string(p), data,
                            [&](double *, qv::ValuePtr *values, std::int64_t m, qv::Passes passes) {
                                return qv::quantile(definition, values, m, p, passes);
                            });
                }
            }
            compare_spreads(what, data);
        }
    }
}

// Random lists of the same shapes with NaNs and zeros of both signs anywhere.
TEST(Quantile, RandomPlacementsGiveTheBitsOfThePassesRunToTheirEnd) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 400; ++trial) {
        Row row{"random", static_cast<Shape>(trial % 5), {}};
        const double specials[] = {NaN1, NaN2, 0.0, -0.0, INF};
        for (int e = static_cast<int>(rng() % 4); e >= 0; --e)
            row.extras.push_back({static_cast<double>(rng() % 1001) / 1000.0, specials[rng() % (trial % 2 ? 5 : 2)]});
        const std::vector<double> data = build(row, static_cast<int>(200 + rng() % 1300), rng);
        const double p = static_cast<double>(rng() % 1001) / 1000.0;
        const std::string what = "trial " + std::to_string(trial);
        compare(what + ", PCTL", data, [&](double *, qv::ValuePtr *values, std::int64_t m, qv::Passes passes) {
            return qv::quantile(5, values, m, p, passes);
        });
        compare_spreads(what, data);
    }
}

// Lists that are mostly zeros, of both signs laid out in four ways, or mostly +inf, over the
// same shapes: the median of MAD's deviations then falls on a zero whose sign, or among NaNs
// (inf - inf) whose places, the first median's arrangement decides.
TEST(Quantile, ZeroHeavyListsGiveTheBitsOfThePassesRunToTheirEnd) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = static_cast<int>(100 + rng() % 400);
        const auto shape = static_cast<int>(rng() % 3);
        const double zeros = 0.3 + static_cast<double>(rng() % 50) / 100.0;
        std::vector<double> data;
        for (int i = 0; i < n; ++i) {
            double x = shape == 0 ? (i < n / 2 ? 2 * i + 2 : 2 * (n - i) + 1)
                       : shape == 1 ? (i < n / 2 ? 2 * (n / 2 - i) + 3 : 2 * (i - n / 2) + 2) : i;
            if (static_cast<double>(rng() % 1000) / 1000.0 < zeros) {
                const bool negative[] = {(rng() & 1) != 0, i < n / 3, i % 2 != 0, i > 2 * n / 3};
                x = trial % 7 == 0 ? INF : negative[trial % 4] ? -0.0 : 0.0;
            } else if (trial % 3 == 0) {
                x = -x;
            }
            data.push_back(x);
        }
        const std::string what = "trial " + std::to_string(trial);
        compare_spreads(what, data);
    }
}

}  // namespace

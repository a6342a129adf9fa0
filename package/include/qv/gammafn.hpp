// Pieces shared by the special-function routines: polynomial evaluation over a coefficient
// table and the constants of Stirling's series.
#pragma once

#include <bit>
#include <cstddef>
#include <span>
#include <utility>

namespace qv {

constexpr double PI = std::bit_cast<double>(0x400921FB54442D18ull);
constexpr double LN_SQRT_2PI = std::bit_cast<double>(0x3FED67F1C864BEB5ull);  // ln sqrt(2 pi)

// Horner's rule from the first coefficient (highest power) to the last (constant term):
// ((c0 * z + c1) * z + c2) ... A denominator written "... + 1" carries 1.0 as its last entry.
inline double horner(std::span<const double> c, double z) {
    double r = c[0];
    for (std::size_t i = 1; i < c.size(); ++i) r = r * z + c[i];
    return r;
}

// The same over a table of fixed length, written out step by step: no loop to run, and the
// steps of two tables can interleave.
template <std::size_t N>
inline double horner(const double (&c)[N], double z) {
    double r = c[0];
    [&]<std::size_t... I>(std::index_sequence<I...>) { ((r = r * z + c[I + 1]), ...); }(std::make_index_sequence<N - 1>{});
    return r;
}

// Two doubles operated on lane by lane: each lane is the same rounded IEEE operation as the
// scalar one, so two independent divisions of a recurrence share one pass through the divider.
using Pair = double __attribute__((vector_size(16)));

// B2k / (2k (2k - 1)), highest order first: -691/360360, 1/1188, -1/1680, 1/1260, -1/360, 1/12.
// The gamma routine uses the last four, the log-gamma routines all six.
inline constexpr double STIRLING[] = {
    -0.0019175269175269176, 0.0008417508417508417, -0.0005952380952380953,
    0.0007936507936507937,  -0.002777777777777778, 0.08333333333333333,
};

// Gamma and log-gamma move y into [1, 2] by Gamma(y + 1) = y Gamma(y): the factor f collects
// 1 / y for each step up from below 1 and y - 1 for each step down from above 2.
inline double reduce_to_one_two(double &y) {
    double f = 1.0;
    while (y < 1.0) {
        f = f / y;
        y = y + 1.0;
    }
    while (y > 2.0) {
        y = y + (-1.0);
        f = f * y;
    }
    return f;
}

// The rational approximations of gamma and log-gamma on [1, 2]: z P(z) / Q(z), with z = y - 1
// and the low pair on [1, 1.5), z = y - 2 and the high pair on [1.5, 2].
struct Rational {
    std::span<const double> low_p, low_q, high_p, high_q;
    double operator()(double y) const {
        if (y + (-1.5) < 0.0) {
            const double z = y + (-1.0);
            return z * (horner(low_p, z) / horner(low_q, z));
        }
        const double z = y + (-2.0);
        return z * (horner(high_p, z) / horner(high_q, z));
    }
};

}  // namespace qv

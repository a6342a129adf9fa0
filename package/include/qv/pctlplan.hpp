// Which ranks a percentile reads: the one rule that the package's quantile engine and the host's
// window engine both follow, so that a window reads the very ranks a call over its values would.
#pragma once

#include <cstdint>

#include "qv/fuzz.hpp"
#include "qv/intconv.hpp"
#include "qv/values.hpp"

namespace qv {

// How the values at the plan's ranks give the quantile.
enum class Combine {
    None,         // x(rank) alone
    Interpolate,  // (1 - g) * x(rank) + g * x(rank + 1)
    Average,      // (x(rank) + x(rank + 1)) * 0.5
};

// The order statistics a quantile reads: x(rank) alone, or x(rank) and x(rank + 1) combined
// with the weight g. 1 <= rank <= n, and rank < n when two are read.
struct Plan {
    std::int64_t rank;
    Combine how;
    double g;
};

// The definition of MEDIAN, IQR and MAD, of PCTL and of any number other than 1 to 4.
constexpr int PCTL_AVERAGED = 5;

// The plan of the quantile at fraction p (0 <= p <= 1) of n > 0 values under definition 1, 2,
// 3 or 4; any other number selects definition 5. The fraction of the position is fuzzed by a
// width that grows with n, so that positions which are integral in exact arithmetic count as
// integral.
constexpr Plan percentile_plan(int definition, std::int64_t n, double p) {
    const std::int64_t m = definition == 4 ? n + 1 : n;
    const double t = static_cast<double>(m) * p;
    std::int64_t j = to_i32(t);
    double g = t - static_cast<double>(j);

    double eps = static_cast<double>(n) * RELATIVE_FUZZ;
    if (eps > FUZZ_CAP) eps = FUZZ_CAP;
    if (eps > g) {
        g = 0.0;
    } else if (g > 1.0 - eps) {
        j = j + 1;
        g = 0.0;
    }

    auto one = [](std::int64_t rank) { return Plan{rank, Combine::None, 0.0}; };
    switch (definition) {
    case 1:
    case 4:
        if (j < 1) return one(1);
        if (j >= n) return one(n);
        if (g == 0.0) return one(j);
        return {j, Combine::Interpolate, g};
    case 2:
        if (g > 0.5 + eps) return one(j + 1);
        // A position half-way between two ranks goes to the even one.
        if (0.5 - eps < g && g <= 0.5 + eps && (j & 1) != 0) return one(j + 1);
        return one(j < 1 ? 1 : j);
    case 3:
        if (j < 1) return one(1);
        if (j >= n) return one(n);
        if (g == 0.0) return one(j);
        return one(j + 1);
    default:
        if (j >= n) return one(n);
        if (g != 0.0) return one(j + 1);
        if (j < 1) return one(1);
        return {j, Combine::Average, g};
    }
}

// The median's plan: definition 5 at one half.
constexpr Plan median_plan(std::int64_t n) { return percentile_plan(PCTL_AVERAGED, n, 0.5); }

// The quartiles' plans, lower and upper, whose difference is IQR: definition 5 at 1/4 and 3/4.
constexpr Plan lower_quartile_plan(std::int64_t n) { return percentile_plan(PCTL_AVERAGED, n, 0.25); }
constexpr Plan upper_quartile_plan(std::int64_t n) { return percentile_plan(PCTL_AVERAGED, n, 0.75); }

// A percentile argument: a number from 0 to 100.
constexpr bool valid_percentile(double p) { return !is_missing(p) && !(0.0 > p) && !(p > 100.0); }

// The rank argument of SMALLEST, LARGEST and ORDINAL: an integer from 1 to m, the number of data
// arguments, missing data counted. A NaN rank fails the integer test, since its conversion gives
// the integer-indefinite value.
constexpr bool valid_rank(double k, std::int64_t m) {
    return !is_missing(k) && !(1.0 > k) && !(k > static_cast<double>(m)) && k == static_cast<double>(to_i32(k));
}

}  // namespace qv

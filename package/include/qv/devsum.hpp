// The two-pass deviation sum behind CSS, VAR, STD, STDERR, CV, SKEWNESS and KURTOSIS: the forward
// sum (qv/listsum.hpp) gives the mean, then the squared deviations from it are summed forward in
// slot order, starting at the first present value's. What the forward sum alone decides, and how
// each statistic finishes from the count, the mean and the sum of squares, is written here once
// for one list and for many lists at once (qv/lanes.hpp).
#pragma once

#include <cmath>

#include "qv/listsum.hpp"
#include "qv/status.hpp"

namespace qv {

// What a list whose present values all equal the first one gives.
enum class AllEqual {
    Zero,     // 0.0 once the minimum count is reached
    Invalid,  // zero variance: invalid once the minimum count is reached
    Compute,  // no shortcut
};

struct DeviationRule {
    std::int32_t min_n;  // present values the statistic needs
    AllEqual all_equal;
};

// The outcome the forward sum p of a list with a present value decides on its own (the list's
// values all equal, or too few): true when *result and status hold it.
inline bool decided_by_sum(const ListSum &p, DeviationRule rule, double *result, QvStatus &status) {
    if (!p.differs && rule.all_equal == AllEqual::Zero && p.n >= rule.min_n) {
        *result = 0.0;
        status = STATUS_OK;
        return true;
    }
    if (!p.differs && rule.all_equal == AllEqual::Invalid && p.n >= rule.min_n) {
        status = fail(result, STATUS_INVALID_ARG);
        return true;
    }
    if (p.n < rule.min_n) {
        status = fail(result, STATUS_MISSING_ARG);
        return true;
    }
    return false;
}

// The mean the deviations are taken from: the forward sum s over the count n (one list's, or
// many lists' in lanes).
template <class T>
[[gnu::always_inline]] constexpr T deviation_mean_from(T s, T n) {
    return s / n;
}
inline double deviation_mean(const ListSum &p) { return deviation_mean_from(p.s, static_cast<double>(p.n)); }

// A present value's squared deviation added to the sum of squares. The sum starts at 0.0 + the
// first value's, which is that square itself (a square is never -0.0); where a walk over many
// lists adds a missing value's all the same, it adds +0.0, which leaves such a sum as it was.
template <class T>
[[gnu::always_inline]] constexpr T deviation_square(T x, T mean) {
    const T e = x - mean;
    return e * e;
}
template <class T>
[[gnu::always_inline]] constexpr T deviation_add(T css, T x, T mean) {
    return css + deviation_square(x, mean);
}

struct DeviationSum {
    std::int32_t n;
    double mean;
    double css;
    double nd() const { return static_cast<double>(n); }
};

inline QvStatus finish_ok(double *result, double value) {
    *result = value;
    return STATUS_OK;
}

// CSS, VAR, STD and STDERR from the sum of squares css of n values, given n - 1 and n: the quotient
// (T: double for one list, or a vector of many lists' lanes), whose square root STD and STDERR
// are. STDERR's divisor (n - 1) n is formed before the one division; STD / sqrt(n) can differ in
// the last bit.
enum class Spread { Css, Var, Std, Stderr };
template <Spread K, class T>
[[gnu::always_inline]] inline T spread_quotient(T css, T n_less_1, T n) {
    if constexpr (K == Spread::Css) return css;
    else if constexpr (K == Spread::Var || K == Spread::Std) return css / n_less_1;
    else return css / (n_less_1 * n);
}
constexpr bool spread_rooted(Spread k) { return k == Spread::Std || k == Spread::Stderr; }

template <Spread K>
inline QvStatus finish_spread(const DeviationSum &d, double *r) {
    const double q = spread_quotient<K>(d.css, static_cast<double>(d.n - 1), d.nd());
    return finish_ok(r, spread_rooted(K) ? std::sqrt(q) : q);
}
inline QvStatus finish_css(const DeviationSum &d, double *r) { return finish_spread<Spread::Css>(d, r); }
inline QvStatus finish_var(const DeviationSum &d, double *r) { return finish_spread<Spread::Var>(d, r); }
inline QvStatus finish_std(const DeviationSum &d, double *r) { return finish_spread<Spread::Std>(d, r); }
inline QvStatus finish_stderr(const DeviationSum &d, double *r) { return finish_spread<Spread::Stderr>(d, r); }

// Relative fuzz of CV up to 1024 values; two units above 2^-46.
constexpr double CV_FUZZ_SMALL = std::bit_cast<double>(0x3D10000000000002ull);
// Per square root of n beyond 1024 values (and SKEWNESS's snap); two units above 2^-51.
constexpr double CV_FUZZ_UNIT = std::bit_cast<double>(0x3CC0000000000002ull);

// Coefficient of variation in percent. A mean within the fuzz of zero next to the spread is
// invalid; a spread within the fuzz of zero next to the mean (the rounding noise of identical
// values) gives 0.
inline QvStatus finish_cv(const DeviationSum &d, double *r) {
    const double sd = std::sqrt(spread_quotient<Spread::Std>(d.css, static_cast<double>(d.n - 1), d.nd()));
    const double a = clear_sign(d.mean);
    const double f = d.n <= 1024 ? CV_FUZZ_SMALL : std::sqrt(d.nd()) * CV_FUZZ_UNIT;
    if (sd * f >= a) return fail(r, STATUS_INVALID_ARG);
    if (a * f >= sd) return finish_ok(r, 0.0);
    return finish_ok(r, (sd / d.mean) * 100.0);
}

// The deviation sum of a list (View as for sum_from_first): the outcome the forward sum decides,
// or finish(d, first, result) over the count, mean and sum of squares d, first being the slot of
// the first present value.
template <class View, class Finish>
QvStatus deviation_list(const View &v, DeviationRule rule, double *result, Finish &&finish) {
    ListSum p;
    if (!sum_from_first(v, p)) return fail(result, STATUS_MISSING_ARG);
    QvStatus status = STATUS_OK;
    if (decided_by_sum(p, rule, result, status)) return status;
    const double mean = deviation_mean(p);
    double css = deviation_add(0.0, p.x1, mean);
    v.forward(p.first + 1, v.count64(), [&](double x, std::int64_t) { css = deviation_add(css, x, mean); });
    return finish(DeviationSum{p.n, mean, css}, p.first, result);
}

constexpr DeviationRule CSS_RULE{1, AllEqual::Zero};
constexpr DeviationRule SPREAD_RULE{2, AllEqual::Zero};  // VAR, STD, STDERR
constexpr DeviationRule CV_RULE{2, AllEqual::Compute};
constexpr DeviationRule SHAPE_RULES[2] = {{3, AllEqual::Invalid}, {4, AllEqual::Invalid}};  // SKEWNESS, KURTOSIS

}  // namespace qv

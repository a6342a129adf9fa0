// The forward sum that MEAN and the deviation sums start from: the first present value x1,
// the sum of the present values added in slot order starting from x1, their number, and
// whether any later value differs from x1 (a NaN differs; -0.0 equals 0.0).
//
// The steps here are the only arithmetic of the sums: one list walks them over its slots, and
// many lists at once (qv/lanes.hpp) walk them in vector lanes, each lane in slot order. SUM, MEAN,
// USS, MIN, MAX and RANGE of one list are written here whole, over a view of the list (ArgView, or
// a host's view of values in place), so the package and a host run the same code.
#pragma once

#include <bit>

#include "qv/args.hpp"
#include "qv/status.hpp"

namespace qv {

// A present value added to a sum. A missing value adds nothing: where a walk over many lists
// adds one all the same, it adds summand(x) = -0.0, which leaves every sum as it was (-0.0 + x
// is x itself, x = +0.0 and -0.0 included), so a sum started at -0.0 equals one started at x1.
template <class T>
[[gnu::always_inline]] constexpr T sum_add(T s, T x) {
    return s + x;
}
constexpr double summand(double x) { return is_missing(x) ? -0.0 : x; }

// A present value's square added to a sum of squares (USS).
template <class T>
[[gnu::always_inline]] constexpr T square_add(T s, T x) {
    return s + x * x;
}

struct ListSum {
    std::int64_t first = 0;  // slot of x1
    double x1 = 0.0;
    double s = 0.0;
    std::int32_t n = 0;
    bool differs = false;
};

// False when the list holds no present value. View is ArgView, or a host's view of values in
// place with the same members (count32, count64, num, forward, backward).
template <class View>
bool sum_from_first(const View &v, ListSum &p) {
    const std::int64_t count = v.count64();
    std::int64_t i = 0;
    while (i < count && is_missing(v.num(i))) ++i;
    if (i == count) return false;
    // The sum is kept in locals, which the reads of the values cannot be taken to change.
    const std::int64_t first = i;
    const double x1 = v.num(i);
    double s = x1;
    std::int32_t n = 1;
    bool differs = false;
    // Compare only until the first difference, then keep to the plain sum.
    for (++i; i < count && !differs; ++i) {
        const double x = v.num(i);
        if (is_missing(x)) continue;
        ++n;
        s = sum_add(s, x);
        differs = x != x1;
    }
    v.forward(i, count, [&](double x, std::int64_t) {
        ++n;
        s = sum_add(s, x);
    });
    p = ListSum{first, x1, s, n, differs};
    return true;
}

// MEAN from the forward sum s of n values whose first is x1. The mean of values that all equal the
// first is that first value itself: exact, and free of the overflow the sum could meet. differs is
// a bool for one list, a lane mask (all ones: differs) for many.
template <class T, class M>
[[gnu::always_inline]] constexpr T mean_from(M differs, T s, T n, T x1) {
    return differs ? s / n : x1;
}
inline double mean_of(const ListSum &p) { return mean_from(p.differs, p.s, static_cast<double>(p.n), p.x1); }

// The present values added from 0.0 by add, first slot first or (Backward) last slot first: the
// total, or the missing result where there is none.
template <bool Backward, class View, class Add>
QvStatus plain_total(const View &v, double *result, Add add) {
    double s = 0.0;
    std::int32_t n = 0;
    auto step = [&](double x, std::int64_t) {
        s = add(s, x);
        ++n;
    };
    if constexpr (Backward) v.backward(0, v.count32(), step);
    else v.forward(0, v.count32(), step);
    if (n == 0) return fail(result, STATUS_MISSING_ARG);
    *result = s;
    return STATUS_OK;
}

// SUM, MEAN and USS of a list, whole: the result and the status. USS adds its squares last slot
// first.
template <class View>
QvStatus sum_list(const View &v, double *result) {
    return plain_total<false>(v, result, [](double s, double x) { return sum_add(s, x); });
}

template <class View>
QvStatus mean_list(const View &v, double *result) {
    ListSum p;
    if (!sum_from_first(v, p)) return fail(result, STATUS_MISSING_ARG);
    *result = mean_of(p);
    return STATUS_OK;
}

template <class View>
QvStatus uss_list(const View &v, double *result) {
    return plain_total<true>(v, result, [](double s, double x) { return square_add(s, x); });
}

// The extreme of the present values, last slot first, so that among equal values (0.0 and
// -0.0) the one nearest the front wins. A result equal to the start value counts as none.
constexpr double DBL_MAX_NEG = std::bit_cast<double>(0xFFEFFFFFFFFFFFFFull);
template <class View, class Keep>
QvStatus extreme_list(const View &v, double *result, double start, Keep keep) {
    double m = start;
    v.backward(0, v.count64(), [&](double x, std::int64_t) {
        if (!keep(m, x)) m = x;
    });
    if (m == start) return fail(result, STATUS_MISSING_ARG);
    *result = m;
    return STATUS_OK;
}

template <class View>
QvStatus min_list(const View &v, double *result) {
    return extreme_list(v, result, DBL_MAX_VALUE, [](double m, double x) { return m < x; });
}

template <class View>
QvStatus max_list(const View &v, double *result) {
    return extreme_list(v, result, DBL_MAX_NEG, [](double m, double x) { return m > x; });
}

// RANGE keeps a flag of a present value rather than comparing with the start values.
template <class View>
QvStatus range_list(const View &v, double *result) {
    double lo = DBL_MAX_VALUE, hi = DBL_MAX_NEG;
    bool seen = false;
    v.forward(0, v.count64(), [&](double x, std::int64_t) {
        if (!(lo < x)) lo = x;
        if (!(hi > x)) hi = x;
        seen = true;
    });
    if (!seen) return fail(result, STATUS_MISSING_ARG);
    *result = hi - lo;
    return STATUS_OK;
}

}  // namespace qv

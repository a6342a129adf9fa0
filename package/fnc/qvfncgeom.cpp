// Geometric and harmonic means of non-negative values. A zero among the values makes the mean
// 0; a negative value makes the call invalid and every such argument is marked. GEOMEAN and
// HARMEAN screen the whole list first and treat values within a relative tolerance of zero as
// zero; their Z twins decide value by value in one pass and stop at the first zero.
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/fuzz.hpp"
#include "qv/status.hpp"

namespace {

using qv::ArgView;
using qv::fail;

// One unit above the smallest normal double; count x MEAN_ZERO_UNIT is the absolute zero floor.
constexpr double MEAN_ZERO_UNIT = std::bit_cast<double>(0x0010000000000001ull);
// The mean logarithm must lie between these for exp to give a normal, finite double.
constexpr double EXP_ARG_LIMIT = std::bit_cast<double>(0x40862E42FEFA39EFull);
constexpr double EXP_ARG_FLOOR = std::bit_cast<double>(0xC086232BDD76683Cull);

// Marks every present argument below -t, writes the missing result and reports it invalid.
inline QvStatus invalid(const ArgView &v, double *result, double t) {
    v.forward(0, v.count32(), [&](double x, std::int64_t i) {
        if (-t > x) v.mark_invalid(i);
    });
    return fail(result, STATUS_INVALID_ARG);
}

inline QvStatus ok(double *result, double value) {
    *result = value;
    return STATUS_OK;
}

// exp of the mean logarithm, or invalid (marking below -t) when it would leave the normal range.
inline QvStatus exp_of_mean(const ArgView &v, double *result, double sum, std::int32_t j, double t) {
    const double m = sum / static_cast<double>(j);
    if (m > EXP_ARG_LIMIT || EXP_ARG_FLOOR > m) return invalid(v, result, t);
    return ok(result, std::exp(m));
}

// The tolerance family: one screening pass over the whole list decides the missing, invalid
// and zero outcomes; only a list whose present values all exceed t = hi x RELATIVE_FUZZ > 0 goes
// on to mean(view, result, t, n).
template <class Mean>
inline QvStatus screened(FuncArgList *args, double *result, Mean mean) {
    const ArgView v(args);
    double lo = 0.0, hi = 0.0;
    std::int32_t n = 0;
    v.forward(0, v.count32(), [&](double x, std::int64_t) {
        if (n == 0 || x < lo) lo = x;
        if (n == 0 || x > hi) hi = x;
        ++n;
    });
    if (n == 0) return fail(result, STATUS_MISSING_ARG);
    if (hi < 0.0) return invalid(v, result, 0.0);
    if (hi <= static_cast<double>(v.count32()) * MEAN_ZERO_UNIT)
        return lo < 0.0 ? invalid(v, result, 0.0) : ok(result, 0.0);
    const double t = hi * qv::RELATIVE_FUZZ;
    if (-t > lo) return invalid(v, result, t);
    if (t >= lo) return ok(result, 0.0);
    return mean(v, result, t, n);
}

// The exact twins: one forward pass in which a negative value makes the call invalid (marking
// every negative argument of the list), zero(x, floor) ends it with 0.0 at once, and every
// other value goes to add(x); finish(view, result, j) sees the j values added.
template <class Zero, class Add, class Finish>
inline QvStatus exact(FuncArgList *args, double *result, Zero zero, Add add, Finish finish) {
    const ArgView v(args);
    const std::int32_t count = v.count32();
    if (count == 0) return fail(result, STATUS_MISSING_ARG);
    const double floor = MEAN_ZERO_UNIT * static_cast<double>(count);
    std::int32_t j = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const double x = v.num(i);
        if (qv::is_missing(x)) continue;
        if (x < 0.0) return invalid(v, result, 0.0);
        if (zero(x, floor)) return ok(result, 0.0);
        add(x);
        ++j;
    }
    if (j == 0) return fail(result, STATUS_MISSING_ARG);
    return finish(v, result, j);
}

}  // namespace

QV_EXPORT QvStatus qvfncgeom(FuncArgList *args, double *result) {
    return screened(args, result, [](const ArgView &v, double *r, double t, std::int32_t) {
        double sum = 0.0;
        std::int32_t j = 0;
        v.forward(0, v.count32(), [&](double x, std::int64_t) {
            sum = std::log(x) + sum;
            ++j;
        });
        return exp_of_mean(v, r, sum, j, t);
    });
}

QV_EXPORT QvStatus qvfncharm(FuncArgList *args, double *result) {
    return screened(args, result, [](const ArgView &v, double *r, double, std::int32_t n) {
        double sum = 0.0;
        v.forward(0, v.count32(), [&](double x, std::int64_t) { sum = sum + 1.0 / x; });
        return ok(r, static_cast<double>(n) / sum);
    });
}

// Values after the first zero are never looked at: GEOMEANZ(0, -1) is 0.
QV_EXPORT QvStatus qvfncgeoz(FuncArgList *args, double *result) {
    double sum = 0.0;
    return exact(
        args, result, [](double x, double) { return x == 0.0; }, [&](double x) { sum = std::log(x) + sum; },
        [&](const ArgView &v, double *r, std::int32_t j) { return exp_of_mean(v, r, sum, j, 0.0); });
}

// Values below count x MEAN_ZERO_UNIT count as zero: their reciprocals would overflow the sum.
QV_EXPORT QvStatus qvfncharz(FuncArgList *args, double *result) {
    double sum = 0.0;
    return exact(
        args, result, [](double x, double floor) { return floor > x; }, [&](double x) { sum = sum + 1.0 / x; },
        [&](const ArgView &, double *r, std::int32_t j) { return ok(r, static_cast<double>(j) / sum); });
}

// Geometric and harmonic means of non-negative values. A zero among the values makes the mean
// 0; a negative value makes the call invalid and every such argument is marked. GEOMEAN and
// HARMEAN screen the whole list first and treat values within a relative tolerance of zero as
// zero; their Z twins decide value by value in one pass and stop at the first zero.
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/status.hpp"

namespace {

using qv::ArgView;
using qv::fail;

// One unit above the smallest normal double; count x MEAN_ZERO_UNIT is the absolute zero floor.
constexpr double MEAN_ZERO_UNIT = std::bit_cast<double>(0x0010000000000001ull);
// Relative tolerance of GEOMEAN and HARMEAN; two units above 2^-43.
constexpr double MEAN_FUZZ = std::bit_cast<double>(0x3D40000000000002ull);
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

// The tolerance family's screening pass. Returns true with t set when the mean proper is to be
// computed (every present value then exceeds t > 0); otherwise the result is decided.
inline bool screen(const ArgView &v, double *result, QvStatus &status, double &t, std::int32_t &n) {
    double lo = 0.0, hi = 0.0;
    n = 0;
    v.forward(0, v.count32(), [&](double x, std::int64_t) {
        if (n == 0 || x < lo) lo = x;
        if (n == 0 || x > hi) hi = x;
        ++n;
    });
    t = 0.0;
    if (n == 0) {
        status = fail(result, STATUS_MISSING_ARG);
    } else if (hi < 0.0) {
        status = invalid(v, result, 0.0);
    } else if (hi <= static_cast<double>(v.count32()) * MEAN_ZERO_UNIT) {
        status = lo < 0.0 ? invalid(v, result, 0.0) : ok(result, 0.0);
    } else {
        t = hi * MEAN_FUZZ;
        if (-t > lo) status = invalid(v, result, t);
        else if (t >= lo) status = ok(result, 0.0);
        else return true;
    }
    return false;
}

}  // namespace

QV_EXPORT QvStatus qvfncgeom(FuncArgList *args, double *result) {
    const ArgView v(args);
    QvStatus status;
    double t;
    std::int32_t n;
    if (!screen(v, result, status, t, n)) return status;
    double sum = 0.0;
    std::int32_t j = 0;
    v.forward(0, v.count32(), [&](double x, std::int64_t) {
        sum = std::log(x) + sum;
        ++j;
    });
    return exp_of_mean(v, result, sum, j, t);
}

QV_EXPORT QvStatus qvfncharm(FuncArgList *args, double *result) {
    const ArgView v(args);
    QvStatus status;
    double t;
    std::int32_t n;
    if (!screen(v, result, status, t, n)) return status;
    double sum = 0.0;
    v.forward(0, v.count32(), [&](double x, std::int64_t) { sum = sum + 1.0 / x; });
    return ok(result, static_cast<double>(n) / sum);
}

// A negative value is invalid wherever it stands, but values after the first zero are never
// looked at: GEOMEANZ(0, -1) is 0.
QV_EXPORT QvStatus qvfncgeoz(FuncArgList *args, double *result) {
    const ArgView v(args);
    const std::int32_t count = v.count32();
    if (count == 0) return fail(result, STATUS_MISSING_ARG);
    double sum = 0.0;
    std::int32_t j = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const double x = v.num(i);
        if (qv::is_missing(x)) continue;
        if (x < 0.0) return invalid(v, result, 0.0);
        if (x == 0.0) return ok(result, 0.0);
        sum = std::log(x) + sum;
        ++j;
    }
    if (j == 0) return fail(result, STATUS_MISSING_ARG);
    return exp_of_mean(v, result, sum, j, 0.0);
}

// Values below count x MEAN_ZERO_UNIT count as zero: their reciprocals would overflow the sum.
QV_EXPORT QvStatus qvfncharz(FuncArgList *args, double *result) {
    const ArgView v(args);
    const std::int32_t count = v.count32();
    if (count == 0) return fail(result, STATUS_MISSING_ARG);
    const double z = MEAN_ZERO_UNIT * static_cast<double>(count);
    double sum = 0.0;
    std::int32_t j = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const double x = v.num(i);
        if (qv::is_missing(x)) continue;
        if (x < 0.0) return invalid(v, result, 0.0);
        if (z > x) return ok(result, 0.0);
        sum = sum + 1.0 / x;
        ++j;
    }
    if (j == 0) return fail(result, STATUS_MISSING_ARG);
    return ok(result, static_cast<double>(j) / sum);
}

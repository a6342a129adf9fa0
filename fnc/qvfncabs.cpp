// Elementary functions: one C mathematics library call guarded by the missing test and a
// domain test. A NaN that is not missing passes every domain test except EXP's.
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/log2.hpp"
#include "qv/status.hpp"

namespace {

using qv::fail;

constexpr double TRIG_ARG_LIMIT = std::bit_cast<double>(0x42B9BC65B68B71B8ull);
constexpr double EXP_ARG_LIMIT = std::bit_cast<double>(0x40862E42FEFA39EFull);
constexpr double PI = std::bit_cast<double>(0x400921FB54442D18ull);
constexpr double TAN_POLE_EPS = std::bit_cast<double>(0x3DDB7CDFD9D7BDBBull);

template <class Invalid, class Compute>
inline QvStatus guarded(double *result, double x, Invalid invalid, Compute compute) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (invalid(x)) return fail(result, STATUS_INVALID_ARG);
    *result = compute(x);
    return STATUS_OK;
}

constexpr auto never = [](double) { return false; };
constexpr auto outside_unit = [](double x) { return -1.0 > x || x > 1.0; };
constexpr auto beyond_trig = [](double x) { return std::fabs(x) > TRIG_ARG_LIMIT; };
constexpr auto beyond_exp = [](double x) { return std::fabs(x) > EXP_ARG_LIMIT; };
constexpr auto not_positive = [](double x) { return x <= 0.0; };

// LOG and LOG10 write the logarithm even when it tests missing (only a signalling NaN
// argument can quiet into one), and report it as invalid.
template <class Log>
inline QvStatus checked_log(double *result, double x, Log log) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x <= 0.0) return fail(result, STATUS_INVALID_ARG);
    const double r = log(x);
    *result = r;
    return qv::is_missing(r) ? STATUS_INVALID_ARG : STATUS_OK;
}

}  // namespace

QV_EXPORT QvStatus qvfncabs(double *result, double x) {
    return guarded(result, x, never, [](double v) { return qv::clear_sign(v); });
}

QV_EXPORT QvStatus qvfncacos(double *result, double x) {
    return guarded(result, x, outside_unit, [](double v) { return std::acos(v); });
}

QV_EXPORT QvStatus qvfncasin(double *result, double x) {
    return guarded(result, x, outside_unit, [](double v) { return std::asin(v); });
}

QV_EXPORT QvStatus qvfncatan(double *result, double x) {
    return guarded(result, x, never, [](double v) { return std::atan(v); });
}

QV_EXPORT QvStatus qvfnccos(double *result, double x) {
    return guarded(result, x, beyond_trig, [](double v) { return std::cos(v); });
}

QV_EXPORT QvStatus qvfncsin(double *result, double x) {
    return guarded(result, x, beyond_trig, [](double v) { return std::sin(v); });
}

// Rejected also where x / pi lies within 1e-10 of a half-integer, measured on the fraction of
// the quotient (the band does not grow with x).
QV_EXPORT QvStatus qvfnctan(double *result, double x) {
    auto at_pole = [](double v) {
        double whole;
        const double f = std::modf(v / PI, &whole);
        if (std::fabs(v) > TRIG_ARG_LIMIT) return true;
        return TAN_POLE_EPS > std::fabs(std::fabs(f) + (-0.5));
    };
    return guarded(result, x, at_pole, [](double v) { return std::tan(v); });
}

QV_EXPORT QvStatus qvfnccosh(double *result, double x) {
    return guarded(result, x, beyond_exp, [](double v) { return std::cosh(v); });
}

QV_EXPORT QvStatus qvfncsinh(double *result, double x) {
    return guarded(result, x, beyond_exp, [](double v) { return std::sinh(v); });
}

QV_EXPORT QvStatus qvfnctanh(double *result, double x) {
    return guarded(result, x, never, [](double v) { return std::tanh(v); });
}

// Accepts only x <= limit, so +inf and a NaN are rejected and every result is finite.
QV_EXPORT QvStatus qvfncexp(double *result, double x) {
    return guarded(result, x, [](double v) { return !(v <= EXP_ARG_LIMIT); }, [](double v) { return std::exp(v); });
}

QV_EXPORT QvStatus qvfnclg(double *result, double x) {
    return checked_log(result, x, [](double v) { return std::log(v); });
}

QV_EXPORT QvStatus qvfnclg10(double *result, double x) {
    return checked_log(result, x, [](double v) { return std::log10(v); });
}

QV_EXPORT QvStatus qvfnclg2(double *result, double x) {
    return guarded(result, x, not_positive, [](double v) { return qv::exact_log2(v); });
}

QV_EXPORT QvStatus qvfncrcp(double *result, double x) {
    return guarded(result, x, [](double v) { return v == 0.0; }, [](double v) { return 1.0 / v; });
}

QV_EXPORT QvStatus qvfncsign(double *result, double x) {
    return guarded(result, x, never, [](double v) { return v > 0.0 ? 1.0 : (0.0 > v ? -1.0 : 0.0); });
}

// -0.0 is accepted and gives -0.0; the square root is the processor's correctly rounded one.
QV_EXPORT QvStatus qvfncsqrt(double *result, double x) {
    return guarded(result, x, [](double v) { return v < 0.0; }, [](double v) { return std::sqrt(v); });
}

QV_EXPORT QvStatus qvfncata2(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const double y = a.num(0);
    const double x = a.num(1);
    if (qv::is_missing(y) || qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x == 0.0 && y == 0.0) return fail(result, STATUS_INVALID_ARG);
    *result = std::atan2(y, x);
    return STATUS_OK;
}

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

// The common path comes first: accept(x) is an ordered test that holds exactly for the numbers
// in the domain, so every NaN, the missing values among them, fails it and takes the path that
// tests in the stated order. A NaN that is not missing passes every domain test (nan_accepted)
// except EXP's.
template <class Accept, class Compute>
inline QvStatus guarded(double *result, double x, Accept accept, Compute compute, bool nan_accepted = true) {
    if (accept(x)) {
        *result = compute(x);
        return STATUS_OK;
    }
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x == x || !nan_accepted) return fail(result, STATUS_INVALID_ARG);
    *result = compute(x);
    return STATUS_OK;
}

constexpr auto any_number = [](double x) { return x == x; };
constexpr auto within_unit = [](double x) { return -1.0 <= x && x <= 1.0; };
constexpr auto within_trig = [](double x) { return std::fabs(x) <= TRIG_ARG_LIMIT; };
constexpr auto within_exp = [](double x) { return std::fabs(x) <= EXP_ARG_LIMIT; };
constexpr auto positive = [](double x) { return x > 0.0; };

// LOG and LOG10 write the logarithm even when it tests missing (only a signalling NaN
// argument can quiet into one), and report it as invalid. The logarithm of a positive number
// is never a NaN, so only a NaN argument needs the test.
template <class Log>
inline QvStatus checked_log(double *result, double x, Log log) {
    if (x > 0.0) {
        *result = log(x);
        return STATUS_OK;
    }
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x == x) return fail(result, STATUS_INVALID_ARG);
    const double r = log(x);
    *result = r;
    return qv::is_missing(r) ? STATUS_INVALID_ARG : STATUS_OK;
}

}  // namespace

// fabs clears the sign bit and nothing else, a NaN's included.
QV_EXPORT QvStatus qvfncabs(double *result, double x) {
    return guarded(result, x, any_number, [](double v) { return std::fabs(v); });
}

QV_EXPORT QvStatus qvfncacos(double *result, double x) {
    return guarded(result, x, within_unit, [](double v) { return std::acos(v); });
}

QV_EXPORT QvStatus qvfncasin(double *result, double x) {
    return guarded(result, x, within_unit, [](double v) { return std::asin(v); });
}

QV_EXPORT QvStatus qvfncatan(double *result, double x) {
    return guarded(result, x, any_number, [](double v) { return std::atan(v); });
}

QV_EXPORT QvStatus qvfnccos(double *result, double x) {
    return guarded(result, x, within_trig, [](double v) { return std::cos(v); });
}

QV_EXPORT QvStatus qvfncsin(double *result, double x) {
    return guarded(result, x, within_trig, [](double v) { return std::sin(v); });
}

// Rejected also where x / pi lies within 1e-10 of a half-integer, measured on the fraction of
// the quotient (the band does not grow with x).
QV_EXPORT QvStatus qvfnctan(double *result, double x) {
    auto off_pole = [](double v) {
        double whole;
        const double f = std::modf(v / PI, &whole);
        return std::fabs(v) <= TRIG_ARG_LIMIT && !(TAN_POLE_EPS > std::fabs(std::fabs(f) + (-0.5)));
    };
    return guarded(result, x, off_pole, [](double v) { return std::tan(v); });
}

QV_EXPORT QvStatus qvfnccosh(double *result, double x) {
    return guarded(result, x, within_exp, [](double v) { return std::cosh(v); });
}

QV_EXPORT QvStatus qvfncsinh(double *result, double x) {
    return guarded(result, x, within_exp, [](double v) { return std::sinh(v); });
}

QV_EXPORT QvStatus qvfnctanh(double *result, double x) {
    return guarded(result, x, any_number, [](double v) { return std::tanh(v); });
}

// Accepts only x <= limit, so +inf and a NaN are rejected and every result is finite.
QV_EXPORT QvStatus qvfncexp(double *result, double x) {
    return guarded(result, x, [](double v) { return v <= EXP_ARG_LIMIT; }, [](double v) { return std::exp(v); }, false);
}

QV_EXPORT QvStatus qvfnclg(double *result, double x) {
    return checked_log(result, x, [](double v) { return std::log(v); });
}

QV_EXPORT QvStatus qvfnclg10(double *result, double x) {
    return checked_log(result, x, [](double v) { return std::log10(v); });
}

QV_EXPORT QvStatus qvfnclg2(double *result, double x) {
    return guarded(result, x, positive, [](double v) { return qv::exact_log2(v); });
}

QV_EXPORT QvStatus qvfncrcp(double *result, double x) {
    return guarded(result, x, [](double v) { return v < 0.0 || v > 0.0; }, [](double v) { return 1.0 / v; });
}

QV_EXPORT QvStatus qvfncsign(double *result, double x) {
    return guarded(result, x, any_number, [](double v) { return v > 0.0 ? 1.0 : (0.0 > v ? -1.0 : 0.0); });
}

// -0.0 is accepted and gives -0.0; the square root is the processor's correctly rounded one.
QV_EXPORT QvStatus qvfncsqrt(double *result, double x) {
    return guarded(result, x, [](double v) { return v >= 0.0; }, [](double v) { return std::sqrt(v); });
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

// Elementary functions: one C mathematics library call guarded by the missing test and a
// domain test (qv/elementary.hpp), and ATAN2.
#include <cmath>

#include "qv/args.hpp"
#include "qv/elementary.hpp"
#include "qv/export.hpp"
#include "qv/status.hpp"

using qv::fail;

QV_EXPORT QvStatus qvfncabs(double *result, double x) { return qv::scalar::abs(result, x); }
QV_EXPORT QvStatus qvfncacos(double *result, double x) { return qv::scalar::acos(result, x); }
QV_EXPORT QvStatus qvfncasin(double *result, double x) { return qv::scalar::asin(result, x); }
QV_EXPORT QvStatus qvfncatan(double *result, double x) { return qv::scalar::atan(result, x); }
QV_EXPORT QvStatus qvfnccos(double *result, double x) { return qv::scalar::cos(result, x); }
QV_EXPORT QvStatus qvfncsin(double *result, double x) { return qv::scalar::sin(result, x); }
QV_EXPORT QvStatus qvfnctan(double *result, double x) { return qv::scalar::tan(result, x); }
QV_EXPORT QvStatus qvfnccosh(double *result, double x) { return qv::scalar::cosh(result, x); }
QV_EXPORT QvStatus qvfncsinh(double *result, double x) { return qv::scalar::sinh(result, x); }
QV_EXPORT QvStatus qvfnctanh(double *result, double x) { return qv::scalar::tanh(result, x); }
QV_EXPORT QvStatus qvfncexp(double *result, double x) { return qv::scalar::exp(result, x); }
QV_EXPORT QvStatus qvfnclg(double *result, double x) { return qv::scalar::log(result, x); }
QV_EXPORT QvStatus qvfnclg10(double *result, double x) { return qv::scalar::log10(result, x); }
QV_EXPORT QvStatus qvfnclg2(double *result, double x) { return qv::scalar::log2(result, x); }
QV_EXPORT QvStatus qvfncrcp(double *result, double x) { return qv::scalar::recip(result, x); }
QV_EXPORT QvStatus qvfncsign(double *result, double x) { return qv::scalar::sign(result, x); }
QV_EXPORT QvStatus qvfncsqrt(double *result, double x) { return qv::scalar::sqrt(result, x); }

QV_EXPORT QvStatus qvfncata2(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const double y = a.num(0);
    const double x = a.num(1);
    if (qv::is_missing(y) || qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x == 0.0 && y == 0.0) return fail(result, STATUS_INVALID_ARG);
    *result = std::atan2(y, x);
    return STATUS_OK;
}

// GAMMA, LGAMMA, DIGAMMA and TRIGAMMA: the special-function routines behind the missing-value
// and status conventions of the table.
#include <cstdint>

#include "qv/export.hpp"
#include "qv/status.hpp"

using qv::fail;

namespace {

// A routine that returns non-zero on failure and its value through the result pointer.
QvStatus checked(double *result, double x, int (*routine)(double *, double)) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (routine(result, x) != 0) return fail(result, STATUS_INVALID_ARG);
    return STATUS_OK;
}

}  // namespace

QV_EXPORT QvStatus qvfncgam(double *result, double x) { return checked(result, x, zgamma); }

// A NaN that is not missing passes the sign test and gives zlgamma's NaN; a result that
// tests missing (a quieted signalling NaN) is reported as invalid.
QV_EXPORT QvStatus qvfnclgam(double *result, double x) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x <= 0.0) return fail(result, STATUS_INVALID_ARG);
    *result = zlgamma(x);
    return qv::is_missing(*result) ? STATUS_INVALID_ARG : STATUS_OK;
}

QV_EXPORT QvStatus qvfncdgam(double *result, double x) { return checked(result, x, zdigama); }

QV_EXPORT QvStatus qvfnctgam(double *result, double x) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    std::int32_t status = 0;
    const double v = ztigama(&status, x);
    if (status != 0) return fail(result, STATUS_INVALID_ARG);
    *result = v;
    return STATUS_OK;
}

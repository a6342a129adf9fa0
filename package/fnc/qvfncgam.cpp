// GAMMA, LGAMMA, DIGAMMA and TRIGAMMA: the special-function routines behind the missing-value
// and status conventions of the table. Log-gamma, digamma and trigamma are evaluated in line.
#include <cstdint>

#include "qv/export.hpp"
#include "qv/specialfn.hpp"
#include "qv/status.hpp"

using qv::fail;

QV_EXPORT QvStatus qvfncgam(double *result, double x) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (zgamma(result, x) != 0) return fail(result, STATUS_INVALID_ARG);
    return STATUS_OK;
}

// A NaN that is not missing passes the sign test and gives log-gamma's NaN; a result that
// tests missing (a quieted signalling NaN) is reported as invalid.
QV_EXPORT QvStatus qvfnclgam(double *result, double x) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x <= 0.0) return fail(result, STATUS_INVALID_ARG);
    *result = qv::ln_gamma(x);
    return qv::is_missing(*result) ? STATUS_INVALID_ARG : STATUS_OK;
}

QV_EXPORT QvStatus qvfncdgam(double *result, double x) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    double value;
    if (!qv::digamma(x, value)) return fail(result, STATUS_INVALID_ARG);
    *result = value;
    return STATUS_OK;
}

QV_EXPORT QvStatus qvfnctgam(double *result, double x) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    std::int32_t status = 0;
    const double v = qv::trigamma(x, status);
    if (status != 0) return fail(result, STATUS_INVALID_ARG);
    *result = v;
    return STATUS_OK;
}

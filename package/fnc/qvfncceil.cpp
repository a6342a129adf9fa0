// Integer parts with and without fuzz, FUZZ, and TRUNC. A value within FUZZ_EPS of an integer
// counts as that integer for CEIL, FLOOR and INT; the Z twins take the exact integer part.
// Infinities and NaNs that are not missing pass through the rounding unchanged.
#include <bit>

#include "qv/args.hpp"
#include "qv/elementary.hpp"
#include "qv/export.hpp"
#include "qv/rounding.hpp"
#include "qv/status.hpp"

namespace {

using qv::fail;

constexpr double TRUNC_MAX_LENGTH = 8.0;
constexpr std::int32_t TRUNC_MIN_LENGTH = 3;

}  // namespace

QV_EXPORT QvStatus qvfncceil(double *result, double x) { return qv::scalar::ceil(result, x); }
QV_EXPORT QvStatus qvfncceilz(double *result, double x) { return qv::scalar::ceilz(result, x); }
QV_EXPORT QvStatus qvfncflr(double *result, double x) { return qv::scalar::floor(result, x); }
QV_EXPORT QvStatus qvfncflrz(double *result, double x) { return qv::scalar::floorz(result, x); }
QV_EXPORT QvStatus qvfncint(double *result, double x) { return qv::scalar::int_part(result, x); }
QV_EXPORT QvStatus qvfncintz(double *result, double x) { return qv::scalar::int_partz(result, x); }
QV_EXPORT QvStatus qvfncfuzz(double *result, double x) { return qv::scalar::fuzz(result, x); }

// x with its low 8 - length bytes cleared: the value a numeric field of that many bytes holds.
QV_EXPORT QvStatus qvfnctrnc(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const double x = a.num(0);
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    const double length = a.num(1);
    // A NaN length converts to the integer indefinite, which is below the minimum.
    if (qv::is_missing(length) || qv::clear_sign(length) > TRUNC_MAX_LENGTH || qv::to_i32(length) < TRUNC_MIN_LENGTH) {
        a.mark_invalid(1);
        return fail(result, STATUS_INVALID_ARG);
    }
    const auto len = static_cast<std::uint64_t>(qv::to_i32(length));
    std::uint8_t buffer[8];
    qvzcftrc(buffer, len, x);
    qvzrftrc(buffer, len, result);
    return STATUS_OK;
}

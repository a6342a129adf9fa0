// Integer parts with and without fuzz, FUZZ, and TRUNC. A value within FUZZ_EPS of an integer
// counts as that integer for CEIL, FLOOR and INT; the Z twins take the exact integer part.
// Infinities and NaNs that are not missing pass through the rounding unchanged.
#include <bit>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/rounding.hpp"
#include "qv/status.hpp"

namespace {

using qv::ceil_of;
using qv::fail;
using qv::floor_of;

constexpr double FUZZ_EPS = std::bit_cast<double>(0x3D719799812DFD69ull);
constexpr double FUZZ_WIDTH = std::bit_cast<double>(0x3D819799812DFD69ull);
constexpr double TRUNC_MAX_LENGTH = 8.0;
constexpr std::int32_t TRUNC_MIN_LENGTH = 3;

template <class Round>
inline QvStatus rounded(double *result, double x, Round round) {
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    *result = round(x);
    return STATUS_OK;
}

}  // namespace

QV_EXPORT QvStatus qvfncceil(double *result, double x) {
    return rounded(result, x, [](double v) { return ceil_of(v + (-FUZZ_EPS)); });
}

QV_EXPORT QvStatus qvfncceilz(double *result, double x) {
    return rounded(result, x, [](double v) { return ceil_of(v); });
}

QV_EXPORT QvStatus qvfncflr(double *result, double x) {
    return rounded(result, x, [](double v) { return floor_of(v + FUZZ_EPS); });
}

QV_EXPORT QvStatus qvfncflrz(double *result, double x) {
    return rounded(result, x, [](double v) { return floor_of(v); });
}

// The branch is chosen on the unshifted value; zero, -0.0 and NaN take the ceiling branch, so
// INT(0) is ceil(-FUZZ_EPS) = -0.0.
QV_EXPORT QvStatus qvfncint(double *result, double x) {
    return rounded(result, x, [](double v) { return v > 0.0 ? floor_of(v + FUZZ_EPS) : ceil_of(v + (-FUZZ_EPS)); });
}

QV_EXPORT QvStatus qvfncintz(double *result, double x) {
    return rounded(result, x, [](double v) { return v > 0.0 ? floor_of(v) : ceil_of(v); });
}

// Snaps x to the integer n when x lies within about FUZZ_EPS of it on either side. An infinite
// x gives a NaN distance, which does not exceed the width, so the infinity comes back.
QV_EXPORT QvStatus qvfncfuzz(double *result, double x) {
    return rounded(result, x, [](double v) {
        const double y = v + FUZZ_EPS;
        const double n = floor_of(y);
        const double d = y + qv::flip_sign(n);
        return d > FUZZ_WIDTH ? v : n;
    });
}

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

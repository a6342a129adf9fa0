// The functions of one number (ABS to TANH, and the integer parts CEIL to FUZZ): each the missing
// test, a domain test and one C mathematics library call or rounding, written once here as an
// inline function. The package exports each; a host compiles the same code into its loops over
// many values, which then give the package's bits without a call per value.
#pragma once

#include <bit>
#include <cmath>

#include "qv/log2.hpp"
#include "qv/rounding.hpp"
#include "qv/status.hpp"

namespace qv::scalar {

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
    if (is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x == x || !nan_accepted) return fail(result, STATUS_INVALID_ARG);
    *result = compute(x);
    return STATUS_OK;
}

// The rules a host may also run over vectors of numbers (ABS, SQRT, RECIP and the integer parts):
// their tests and computations are written over any operand type N (qv::Prim, rounding.hpp).
// Each is always inlined, so a host's kernel for a wider instruction set takes the rule into
// itself.
constexpr auto any_number = [](auto x) __attribute__((always_inline)) { return x == x; };
constexpr auto within_unit = [](double x) { return -1.0 <= x && x <= 1.0; };
constexpr auto within_trig = [](double x) { return std::fabs(x) <= TRIG_ARG_LIMIT; };
constexpr auto within_exp = [](double x) { return std::fabs(x) <= EXP_ARG_LIMIT; };
constexpr auto positive = [](double x) { return x > 0.0; };
constexpr auto not_negative = [](auto x) __attribute__((always_inline)) { return x >= 0.0; };
constexpr auto not_zero = [](auto x) __attribute__((always_inline)) { return x < 0.0 || x > 0.0; };

// LOG and LOG10 write the logarithm even when it tests missing (only a signalling NaN
// argument can quiet into one), and report it as invalid. The logarithm of a positive number
// is never a NaN, so only a NaN argument needs the test.
template <class Log>
inline QvStatus checked_log(double *result, double x, Log log) {
    if (x > 0.0) {
        *result = log(x);
        return STATUS_OK;
    }
    if (is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    if (x == x) return fail(result, STATUS_INVALID_ARG);
    const double r = log(x);
    *result = r;
    return is_missing(r) ? STATUS_INVALID_ARG : STATUS_OK;
}

// A value within FUZZ_EPS of an integer counts as that integer for CEIL, FLOOR and INT.
constexpr double FUZZ_EPS = std::bit_cast<double>(0x3D719799812DFD69ull);
constexpr double FUZZ_WIDTH = std::bit_cast<double>(0x3D819799812DFD69ull);

template <class Round>
inline QvStatus rounded(double *result, double x, Round round) {
    if (is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    *result = round(x);
    return STATUS_OK;
}

// fabs clears the sign bit and nothing else, a NaN's included.
constexpr auto abs_of = [](auto v) __attribute__((always_inline)) { return Prim<decltype(v)>::abs(v); };
inline QvStatus abs(double *result, double x) { return guarded(result, x, any_number, abs_of); }

inline QvStatus acos(double *result, double x) {
    return guarded(result, x, within_unit, [](double v) { return std::acos(v); });
}

inline QvStatus asin(double *result, double x) {
    return guarded(result, x, within_unit, [](double v) { return std::asin(v); });
}

inline QvStatus atan(double *result, double x) {
    return guarded(result, x, any_number, [](double v) { return std::atan(v); });
}

inline QvStatus cos(double *result, double x) {
    return guarded(result, x, within_trig, [](double v) { return std::cos(v); });
}

inline QvStatus sin(double *result, double x) {
    return guarded(result, x, within_trig, [](double v) { return std::sin(v); });
}

// Rejected also where x / pi lies within 1e-10 of a half-integer, measured on the fraction of
// the quotient (the band does not grow with x).
inline QvStatus tan(double *result, double x) {
    auto off_pole = [](double v) {
        double whole;
        const double f = std::modf(v / PI, &whole);
        return std::fabs(v) <= TRIG_ARG_LIMIT && !(TAN_POLE_EPS > std::fabs(std::fabs(f) + (-0.5)));
    };
    return guarded(result, x, off_pole, [](double v) { return std::tan(v); });
}

inline QvStatus cosh(double *result, double x) {
    return guarded(result, x, within_exp, [](double v) { return std::cosh(v); });
}

inline QvStatus sinh(double *result, double x) {
    return guarded(result, x, within_exp, [](double v) { return std::sinh(v); });
}

inline QvStatus tanh(double *result, double x) {
    return guarded(result, x, any_number, [](double v) { return std::tanh(v); });
}

// Accepts only x <= limit, so +inf and a NaN are rejected and every result is finite.
inline QvStatus exp(double *result, double x) {
    return guarded(result, x, [](double v) { return v <= EXP_ARG_LIMIT; }, [](double v) { return std::exp(v); }, false);
}

inline QvStatus log(double *result, double x) {
    return checked_log(result, x, [](double v) { return std::log(v); });
}

inline QvStatus log10(double *result, double x) {
    return checked_log(result, x, [](double v) { return std::log10(v); });
}

inline QvStatus log2(double *result, double x) {
    return guarded(result, x, positive, [](double v) { return qv::exact_log2(v); });
}

constexpr auto recip_of = [](auto v) __attribute__((always_inline)) { return 1.0 / v; };
inline QvStatus recip(double *result, double x) { return guarded(result, x, not_zero, recip_of); }

inline QvStatus sign(double *result, double x) {
    return guarded(result, x, any_number, [](double v) { return v > 0.0 ? 1.0 : (0.0 > v ? -1.0 : 0.0); });
}

// -0.0 is accepted and gives -0.0; the square root is the processor's correctly rounded one.
constexpr auto sqrt_of = [](auto v) __attribute__((always_inline)) { return Prim<decltype(v)>::sqrt(v); };
inline QvStatus sqrt(double *result, double x) { return guarded(result, x, not_negative, sqrt_of); }

// The integer parts of a number that is not missing: CEIL, CEILZ, FLOOR, FLOORZ, INT, INTZ.
constexpr auto ceil_fuzzed = [](auto v) __attribute__((always_inline)) { return Prim<decltype(v)>::ceil(v + (-FUZZ_EPS)); };
constexpr auto ceil_exact = [](auto v) __attribute__((always_inline)) { return Prim<decltype(v)>::ceil(v); };
constexpr auto floor_fuzzed = [](auto v) __attribute__((always_inline)) { return Prim<decltype(v)>::floor(v + FUZZ_EPS); };
constexpr auto floor_exact = [](auto v) __attribute__((always_inline)) { return Prim<decltype(v)>::floor(v); };
// The branch is chosen on the unshifted value; zero, -0.0 and NaN take the ceiling branch, so
// INT(0) is ceil(-FUZZ_EPS) = -0.0.
constexpr auto int_fuzzed = [](auto v) __attribute__((always_inline)) {
    return v > 0.0 ? floor_fuzzed(v) : ceil_fuzzed(v);
};
constexpr auto int_exact = [](auto v) __attribute__((always_inline)) { return v > 0.0 ? floor_exact(v) : ceil_exact(v); };

inline QvStatus ceil(double *result, double x) { return rounded(result, x, ceil_fuzzed); }
inline QvStatus ceilz(double *result, double x) { return rounded(result, x, ceil_exact); }
inline QvStatus floor(double *result, double x) { return rounded(result, x, floor_fuzzed); }
inline QvStatus floorz(double *result, double x) { return rounded(result, x, floor_exact); }
inline QvStatus int_part(double *result, double x) { return rounded(result, x, int_fuzzed); }
inline QvStatus int_partz(double *result, double x) { return rounded(result, x, int_exact); }

// Snaps x to the integer n when x lies within about FUZZ_EPS of it on either side. An infinite
// x gives a NaN distance, which does not exceed the width, so the infinity comes back.
inline QvStatus fuzz(double *result, double x) {
    return rounded(result, x, [](double v) {
        const double y = v + FUZZ_EPS;
        const double n = floor_of(y);
        const double d = y + qv::flip_sign(n);
        return d > FUZZ_WIDTH ? v : n;
    });
}

}  // namespace qv::scalar

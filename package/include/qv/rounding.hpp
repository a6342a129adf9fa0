// Integer parts and snaps shared by the rounding and modulo families. Every step is one double
// operation in the written order; integer conversions go through qv::to_i32 / qv::to_i64.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "qv/intconv.hpp"
#include "qv/values.hpp"

namespace qv {

constexpr double TWO_52 = 4503599627370496.0;
constexpr double TWO_53 = 9007199254740992.0;
constexpr double INT32_LIMIT = 2147483647.0;
// About 2^-53: turns a fuzz given as 1 or more into units of the last place.
constexpr double FUZZ_SCALE = std::bit_cast<double>(0x3CA0000000000002ull);
// Above this a remainder or rounded value is snapped to an integer, not to four decimals.
constexpr double SNAP_LIMIT = std::bit_cast<double>(0x7F1A36E2EB1C432Cull);

namespace detail {

// |y| >= 2^52, an infinity or a NaN: the biased exponent is 1075 or more.
constexpr bool is_integral_magnitude(double y) { return ((bits_of(y) >> 52) & 0x7FFu) >= 1075u; }

// The sign bit of y OR-ed into r, so a zero result keeps the sign of its operand.
constexpr double with_sign_of(double r, double y) {
    return from_bits(bits_of(r) | (bits_of(y) & 0x8000000000000000ull));
}

}  // namespace detail

// Rounding towards minus infinity. Below 2^52 the truncated integer is at most one step off,
// and the comparison moves it down for negative fractions.
constexpr double floor_of(double y) {
    if (detail::is_integral_magnitude(y)) return y;
    const double n = static_cast<double>(to_i64(y));
    return detail::with_sign_of(y < n ? n - 1.0 : n, y);
}

// Rounding towards plus infinity: the negation of y <= n decides the step up.
constexpr double ceil_of(double y) {
    if (detail::is_integral_magnitude(y)) return y;
    const double n = static_cast<double>(to_i64(y));
    return detail::with_sign_of(!(y <= n) ? n + 1.0 : n, y);
}

// The primitives of the rules written over any operand type N: a double, or a GCC vector of
// doubles whose Prim a host gives (each primitive lane by lane as here). A rule written over N
// uses them, its own arithmetic and comparisons, and c ? a : b, which for vectors takes every
// lane's side: so a rule's steps must be such that taking both sides changes nothing.
template <class N>
struct Prim;

template <>
struct Prim<double> {
    static double abs(double v) { return std::fabs(v); }
    static double sqrt(double v) { return std::sqrt(v); }
    static constexpr double floor(double y) { return floor_of(y); }
    static constexpr double ceil(double y) { return ceil_of(y); }
    // Truncation towards zero to a 32-bit integer and back (the integer indefinite value, the
    // most negative integer, for a NaN or a value out of range).
    static constexpr double trunc32(double v) { return static_cast<double>(to_i32(v)); }
};

// Integer part of v >= 0: 32-bit truncation up to the integer limit, the floor above it (and for
// a NaN, which the floor returns as it is).
template <class N>
constexpr N int_part(N v) {
    return v <= INT32_LIMIT ? Prim<N>::trunc32(v) : Prim<N>::floor(v);
}

// a when a < b, otherwise b (so a NaN first argument yields b).
template <class A, class B>
constexpr auto min_of(A a, B b) {
    return a < b ? a : b;
}

// Whether v lies within e of the integer k = IP(v + e), judged as e + k >= v.
template <class N, class E>
constexpr auto near_integer(N v, E e, N &k) {
    k = int_part(v + e);
    return e + k >= v;
}

}  // namespace qv

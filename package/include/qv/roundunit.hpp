// ROUND's steps for a number that needs neither of its special paths: the quotient of its
// magnitude by the unit, at most 2^49, counted to a whole number of units with the half fuzz,
// scaled back and cleaned, and given the number's sign. Written over any operand type (qv::Prim),
// so a host's loop over many values with one unit takes them in vector lanes; ROUND (qvfncrnd.cpp)
// takes the same steps for one value.
#pragma once

#include <bit>

#include "qv/fuzz.hpp"
#include "qv/intconv.hpp"
#include "qv/rounding.hpp"

namespace qv::unit_round {

constexpr double SMALLEST_UNIT = std::bit_cast<double>(0x0010000000000001ull);
// A unit below this share of |x| is beneath the precision of x, which comes back unchanged.
constexpr double NEGLIGIBLE_UNIT_RATIO = std::bit_cast<double>(0x3CA0000000000002ull);
constexpr double HALF_FUZZ = std::bit_cast<double>(0x3D719799812DEA11ull);
constexpr double SNAP_FUZZ = std::bit_cast<double>(0x3CE0000000000002ull);
constexpr double SNAP_FUZZ_CAP = 0.5;
constexpr double TWO_49 = 562949953421312.0;
constexpr double HUNDREDTH = std::bit_cast<double>(0x3F847AE147AE147Bull);

// Whether v >= 0 lies within the relative snap fuzz of the integer k.
template <class N>
inline auto snaps(N v, N &k) {
    return near_integer(v, min_of(v * SNAP_FUZZ, SNAP_FUZZ_CAP), k);
}

// r itself, or the integer it lies within the snap fuzz of.
template <class N>
inline N snap_integer(N r) {
    N k;
    return snaps(r, k) ? k : r;
}

// r itself, or the four-decimal value it lies within the snap fuzz of (measured in 1e-4 units).
template <class N>
inline N snap_four_decimals(N r) {
    N k;
    return snaps(N(r * 10000.0), k) ? N(k / 10000.0) : r;
}

// The cleaning of a scaled value; also a NaN takes the four-decimal snap.
template <class N>
inline N finish(N r) {
    return r > SNAP_LIMIT ? snap_integer(r) : snap_four_decimals(r);
}

// Whether a unit below 1 is the reciprocal of an integer k; dividing by k then is exact where
// multiplying by the unit is not.
inline bool reciprocal_of_integer(double unit, double &k) { return snaps(1.0 / unit, k); }

// ROUND's count of units for a quotient q of at most 2^49: halves away from zero, a quotient whose
// fraction is within the half fuzz below 0.5 counting as a half.
template <class N>
inline N count_away_within(N q) {
    const N e = min_of(FUZZ_CAP, q * HALF_FUZZ);
    return int_part(N((0.5 + q) + e));
}

// n units scaled back, with the cleaning that gives decimal units the double nearest the decimal
// answer. The unit is one for every value.
template <class N>
inline N scale_back_cleaned(N n, double unit) {
    if (unit == 1.0) return n;
    if (unit == HUNDREDTH) return snap_integer(N(n / 100.0));
    if (unit > 1.0) {
        const N r = n * unit;
        // A whole-number unit gives an exact multiple; anything else may carry a decimal tail.
        if (unit <= INT32_LIMIT && unit == static_cast<double>(to_i32(unit))) return r;
        return finish(r);
    }
    double k;
    if (reciprocal_of_integer(unit, k)) return snap_integer(N(n / k));
    return finish(N(n * unit));
}

// ROUND of x whose quotient q = |x| / unit (|x| without a unit) is at most 2^49 and whose unit is
// not negligible against it. A negative x that rounds to zero gives +0.0.
template <class N>
inline N round_within(N x, N q, double unit) {
    const N r = scale_back_cleaned(count_away_within(q), unit);
    return x < 0.0 ? N(0.0 - r) : r;
}

}  // namespace qv::unit_round

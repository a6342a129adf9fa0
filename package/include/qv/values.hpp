// Values in the missing-value model: a double whose top 16 bits are all ones is missing.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "qvfnc.h"

namespace qv {

constexpr std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }
constexpr double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

// The one missing test: the 16-bit word at byte 6 of the stored image, no floating point.
constexpr bool is_missing(double x) { return (bits_of(x) >> 48) == 0xFFFFu; }

// The value at index i (0 = ._, 1 = ., 2 = .A ... 27 = .Z).
constexpr double missing_value(int index) {
    return from_bits(0xFFFFFF0000000000ull - static_cast<std::uint64_t>(index) * 0x0000010000000000ull);
}

constexpr double MISSING_DOT = from_bits(QV_MISSING_DOT_BITS);
constexpr double DBL_MAX_VALUE = from_bits(0x7FEFFFFFFFFFFFFFull);

// Kind of a missing value: (256 - byte 5) mod 256; 1 is ._, 2 is ., 3..28 are .A...Z. Any
// other byte counts as . (2). Not-missing values have kind 0.
constexpr int missing_kind(double x) {
    if (!is_missing(x)) return 0;
    const int b = static_cast<int>((bits_of(x) >> 40) & 0xFFu);
    const int k = (256 - b) & 0xFF;
    return (k == 0 || k > 28) ? 2 : k;
}

// Absolute value by clearing the sign bit.
constexpr double clear_sign(double x) { return from_bits(bits_of(x) & 0x7FFFFFFFFFFFFFFFull); }
constexpr double flip_sign(double x) { return from_bits(bits_of(x) ^ 0x8000000000000000ull); }

}  // namespace qv

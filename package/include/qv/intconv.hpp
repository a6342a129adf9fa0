// Double-to-integer conversions with the processor's semantics: truncation towards zero, and
// the "integer indefinite" value (the most negative integer) for NaN and out-of-range values.
// A plain cast of such a value is undefined behaviour, so every conversion that may meet one
// goes through these.
#pragma once

#include <cstdint>

namespace qv {

constexpr std::int32_t to_i32(double x) {
    if (x > -2147483649.0 && x < 2147483648.0) return static_cast<std::int32_t>(x);
    return INT32_MIN;
}

constexpr std::int64_t to_i64(double x) {
    if (x >= -9223372036854775808.0 && x < 9223372036854775808.0) return static_cast<std::int64_t>(x);
    return INT64_MIN;
}

}  // namespace qv

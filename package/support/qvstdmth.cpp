// Base-2 logarithm that is exact on powers of two, and the integer division wrappers.
#include <cmath>
#include <cstdlib>

#include "qv/export.hpp"
#include "qv/log2.hpp"

namespace qv {

double exact_log2(double x) {
    constexpr double HALF = std::bit_cast<double>(0x3FE0000000000000ull);
    constexpr double MINUS_ONE = std::bit_cast<double>(0xBFF0000000000000ull);
    constexpr double INV_LN2 = std::bit_cast<double>(0x3FF71547652B82FEull);
    int e = 0;
    const double m = std::frexp(x, &e);
    if (m == HALF) return static_cast<double>(e) + MINUS_ONE;
    return std::log(x) * INV_LN2;
}

}  // namespace qv

// Exported under the C library's name; the package's own callers use qv::exact_log2 so that
// they never reach another library's routine of that name.
QV_EXPORT double log2(double x) noexcept { return qv::exact_log2(x); }

// Integer division wrappers with the C library's pair layouts: the quotient truncated towards
// zero, the remainder with the sign of the numerator. A zero denominator is the caller's to avoid.
QV_EXPORT div_t i32div(int32_t numerator, int32_t denominator) { return std::div(numerator, denominator); }

QV_EXPORT ldiv_t intmdiv(int64_t numerator, int64_t denominator) { return std::ldiv(numerator, denominator); }

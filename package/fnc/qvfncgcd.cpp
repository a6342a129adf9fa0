// Greatest common divisor and least common multiple of two or more integer-valued arguments,
// computed on their 32-bit magnitudes. A missing, fractional, NaN or out-of-range argument is
// rejected and marked; the scan stops at the first one from the left.
#include <cstdint>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/intconv.hpp"
#include "qv/status.hpp"

namespace {

using qv::fail;

constexpr double LCM_LIMIT = 2147483647.0;

// Euclid's algorithm on 32-bit integers; gcd(0, b) = b. The remainder is taken in 64 bits so
// that the magnitude of -2147483648, which stays negative, cannot overflow the division.
std::int32_t KnuthEuclidAlgorithm(std::int32_t a, std::int32_t b) {
    if (b == 0) return a;
    do {
        std::int32_t r = a;
        a = b;
        if (r < 0 || r >= a) r = static_cast<std::int32_t>(static_cast<std::int64_t>(r) % a);
        b = r;
    } while (b != 0);
    return a;
}

// Dividing the larger operand by the gcd first keeps the intermediate within 32 bits; a
// product at the limit or above is an overflow, reported as -1.
std::int32_t LeastCommonMultiplier(std::int32_t a, std::int32_t b) {
    const std::int32_t g = KnuthEuclidAlgorithm(a, b);
    if (g == 0) return 0;
    const std::int32_t hi = ::max(a, b);
    const std::int32_t lo = ::min(a, b);
    const std::int64_t q = static_cast<std::int64_t>(hi) / g;
    const double p = static_cast<double>(q) * static_cast<double>(lo);
    if (p >= LCM_LIMIT) return -1;
    return qv::to_i32(p);
}

// An acceptable argument is present, at most the integer limit and equal to its own 32-bit
// truncation (which a fraction, a NaN or a value below -2^31 is not).
bool magnitude_of(double v, std::int32_t &m) {
    if (qv::is_missing(v) || v > LCM_LIMIT) return false;
    const std::int32_t i = qv::to_i32(v);
    if (static_cast<double>(i) != v) return false;
    // Unsigned negation: -2147483648 keeps its pattern instead of overflowing.
    m = i < 0 ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(i)) : i;
    return true;
}

QvStatus reject(const qv::ArgView &a, std::int32_t slot, double *result) {
    a.mark_invalid(slot);
    return fail(result, STATUS_INVALID_ARG);
}

}  // namespace

QV_EXPORT QvStatus qvfncgcd(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const std::int32_t count = a.count32();
    if (count < 2) return fail(result, STATUS_INVALID_ARG);
    std::int32_t g;
    if (!magnitude_of(a.num(0), g)) return reject(a, 0, result);
    for (std::int32_t k = 1; k < count; ++k) {
        std::int32_t m;
        if (!magnitude_of(a.num(k), m)) return reject(a, k, result);
        if (m != 0) g = KnuthEuclidAlgorithm(g, m);
    }
    *result = static_cast<double>(g);
    return STATUS_OK;
}

QV_EXPORT QvStatus qvfnclcm(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const std::int32_t count = a.count32();
    if (count < 2) return fail(result, STATUS_INVALID_ARG);
    std::int32_t l = 1;
    for (std::int32_t k = 0; k < count; ++k) {
        std::int32_t m;
        if (!magnitude_of(a.num(k), m) || m == 0) return reject(a, k, result);
        l = LeastCommonMultiplier(m, l);
        // An overflow gives a missing result that is not an error.
        if (l < 0) {
            *result = qv::MISSING_DOT;
            return STATUS_OK;
        }
        if (l == 0) break;
    }
    *result = static_cast<double>(l);
    return STATUS_OK;
}

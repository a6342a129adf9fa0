// Percentiles, median, interquartile range and median absolute deviation: one quantile engine
// (zqntl) over an array of pointers to the present values, which it reorders with a selection
// (zordern). The host's values are never written; MAD works on copies of its own.
#include <algorithm>
#include <bit>
#include <cstdint>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/intconv.hpp"
#include "qv/scratch.hpp"
#include "qv/select.hpp"
#include "qv/status.hpp"

namespace {

using qv::MISSING_DOT;
using qv::ValuePtr;

// The local pointer array: 256 entries.
constexpr std::size_t LOCAL_BYTES = 2048;

// Fuzz width per value (two units in the last place above 2^-43) and its cap (1e-6).
constexpr double FUZZ_FACTOR = std::bit_cast<double>(0x3D40000000000002ull);
constexpr double FUZZ_CAP = std::bit_cast<double>(0x3EB0C6F7A0B5ED8Dull);

// The k-th smallest (1-based) of the n values, MISSING_DOT for a rank outside 1..n. On return
// entry k - 1 designates it, entries before it designate values not above it and entries after
// it values not below it.
double zordern(std::int64_t n, std::int64_t k, ValuePtr *values) {
    if (k - 1 < 0 || k - 1 >= n) return MISSING_DOT;
    if (k == 1) {
        // Minimum: the lowest index wins among equal minima.
        std::int64_t best = 0;
        for (std::int64_t i = 1; i < n; ++i) {
            if (*values[best] > *values[i]) best = i;
        }
        std::swap(values[0], values[best]);
        return *values[0];
    }
    if (k == n) {
        // Maximum: the highest index wins among equal maxima.
        std::int64_t best = n - 1;
        for (std::int64_t i = n - 2; i >= 0; --i) {
            if (*values[i] > *values[best]) best = i;
        }
        std::swap(values[n - 1], values[best]);
        return *values[n - 1];
    }
    qv::partition_select(values, n, k - 1, [](ValuePtr p) { return *p; });
    return *values[k - 1];
}

enum class Combine { Interpolate, Average };

// x(j) and x(j + 1) for 1 <= j < n, combined. One selection places the rank on the shorter
// side's boundary, and a scan of the shorter side gives its neighbour.
double combine(ValuePtr *values, std::int64_t n, std::int64_t j, double g, Combine how) {
    double lower;
    double upper;
    if (j <= n / 2) {
        upper = zordern(n, j + 1, values);
        // The first j entries now designate values not above x(j + 1): x(j) is their maximum.
        lower = zordern(j, j, values);
    } else {
        lower = zordern(n, j, values);
        // x(j + 1) is the minimum of the entries after position j; the first one in index
        // order wins, and it is moved to index j.
        std::int64_t best = j;
        for (std::int64_t i = j + 1; i < n; ++i) {
            if (*values[i] < *values[best]) best = i;
        }
        std::swap(values[j], values[best]);
        upper = *values[j];
    }
    if (how == Combine::Interpolate) return ((1.0 - g) * lower) + (g * upper);
    return (lower + upper) * 0.5;
}

// The quantile at fraction p of the n values under definition 1, 2, 3 or 4; any other number
// selects definition 5. The fraction of the position is fuzzed by a width that grows with n,
// so that positions which are integral in exact arithmetic count as integral.
double zqntl(int definition, ValuePtr *values, std::int64_t n, double p) {
    if (n == 0 || 0.0 > p || p > 1.0) return MISSING_DOT;
    const std::int64_t m = definition == 4 ? n + 1 : n;
    const double t = static_cast<double>(m) * p;
    std::int64_t j = qv::to_i32(t);
    double g = t - static_cast<double>(j);

    double eps = static_cast<double>(n) * FUZZ_FACTOR;
    if (eps > FUZZ_CAP) eps = FUZZ_CAP;
    if (eps > g) {
        g = 0.0;
    } else if (g > 1.0 - eps) {
        j = j + 1;
        g = 0.0;
    }

    switch (definition) {
    case 1:
    case 4:
        if (j < 1) return zordern(n, 1, values);
        if (j >= n) return zordern(n, n, values);
        if (g == 0.0) return zordern(n, j, values);
        return combine(values, n, j, g, Combine::Interpolate);
    case 2:
        if (g > 0.5 + eps) return zordern(n, j + 1, values);
        // A position half-way between two ranks goes to the even one.
        if (0.5 - eps < g && g <= 0.5 + eps && (j & 1) != 0) return zordern(n, j + 1, values);
        return zordern(n, std::max<std::int64_t>(j, 1), values);
    case 3:
        if (j < 1) return zordern(n, 1, values);
        if (j >= n) return zordern(n, n, values);
        if (g == 0.0) return zordern(n, j, values);
        return zordern(n, j + 1, values);
    default:
        if (j >= n) return zordern(n, n, values);
        if (g != 0.0) return zordern(n, j + 1, values);
        if (j < 1) return zordern(n, 1, values);
        return combine(values, n, j, g, Combine::Average);
    }
}

// Appends pointers to the present values of slots [first, end) in argument order; returns
// their number.
std::int64_t gather(const qv::ArgView &a, std::int64_t first, std::int64_t end, ValuePtr *out) {
    std::int64_t n = 0;
    for (std::int64_t i = first; i < end; ++i) {
        const double *p = a.num_ptr(i);
        if (!qv::is_missing(*p)) out[n++] = p;
    }
    return n;
}

QvStatus percentile(FuncArgList *args, double *result, int definition) {
    *result = MISSING_DOT;
    const qv::ArgView a(args);
    const std::int32_t count = a.count32();
    // Without a first slot there is no percentile to read or mark.
    if (count < 1) return STATUS_INVALID_ARG;
    const double p = a.num(0);
    if (qv::is_missing(p) || 0.0 > p || p > 100.0) {
        a.mark_invalid(0);
        return STATUS_INVALID_ARG;
    }
    const std::int64_t m = count - 1;
    qv::Scratch<LOCAL_BYTES> scratch(a.pool(), static_cast<std::uint64_t>(m) * sizeof(ValuePtr));
    if (!scratch.ok()) return STATUS_NO_SCRATCH;
    ValuePtr *values = scratch.as<ValuePtr>();
    const std::int64_t n = gather(a, 1, count, values);
    *result = zqntl(definition, values, n, p / 100.0);
    return STATUS_OK;
}

// MEDIAN and IQR: every argument is data; the pointer array is sized by the argument count.
template <class Compute>
QvStatus over_all_values(FuncArgList *args, double *result, Compute compute) {
    *result = MISSING_DOT;
    const qv::ArgView a(args);
    const std::int32_t count = a.count32();
    qv::Scratch<LOCAL_BYTES> scratch(a.pool(), static_cast<std::uint64_t>(count) * sizeof(ValuePtr));
    if (!scratch.ok()) return STATUS_NO_SCRATCH;
    ValuePtr *values = scratch.as<ValuePtr>();
    const std::int64_t n = gather(a, 0, count, values);
    if (n > 0) *result = compute(values, n);
    return STATUS_OK;
}

}  // namespace

QV_EXPORT QvStatus qvfncpctl(FuncArgList *args, double *result) { return percentile(args, result, 5); }
QV_EXPORT QvStatus qvfncpctl1(FuncArgList *args, double *result) { return percentile(args, result, 1); }
QV_EXPORT QvStatus qvfncpctl2(FuncArgList *args, double *result) { return percentile(args, result, 2); }
QV_EXPORT QvStatus qvfncpctl3(FuncArgList *args, double *result) { return percentile(args, result, 3); }
QV_EXPORT QvStatus qvfncpctl4(FuncArgList *args, double *result) { return percentile(args, result, 4); }

QV_EXPORT QvStatus qvfncmed(FuncArgList *args, double *result) {
    return over_all_values(args, result, [](ValuePtr *values, std::int64_t n) { return zqntl(0, values, n, 0.5); });
}

// Both quartiles on the same array, the lower one first.
QV_EXPORT QvStatus qvfnciqr(FuncArgList *args, double *result) {
    return over_all_values(args, result, [](ValuePtr *values, std::int64_t n) {
        const double q1 = zqntl(0, values, n, 0.25);
        const double q3 = zqntl(0, values, n, 0.75);
        return q3 - q1;
    });
}

// The working area holds count copies, then count pointers to them; the copies are replaced
// by their absolute deviations from the median, and the median of those is the result.
QV_EXPORT QvStatus qvfncmad(FuncArgList *args, double *result) {
    *result = MISSING_DOT;
    const qv::ArgView a(args);
    const std::int32_t count = a.count32();
    const std::uint64_t copy_bytes = static_cast<std::uint64_t>(count) * sizeof(double);
    qv::Scratch<LOCAL_BYTES> scratch(a.pool(), 2 * copy_bytes);
    if (!scratch.ok()) return STATUS_NO_SCRATCH;
    unsigned char *area = scratch.as<unsigned char>();
    double *copies = reinterpret_cast<double *>(area);
    ValuePtr *values = reinterpret_cast<ValuePtr *>(area + copy_bytes);

    std::int64_t n = 0;
    a.forward(0, count, [&](double x, std::int64_t) {
        copies[n] = x;
        values[n] = &copies[n];
        ++n;
    });
    const double med = zqntl(0, values, n, 0.5);
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = copies[i];
        const double larger = med > v ? med : v;
        const double smaller = v < med ? v : med;
        copies[i] = larger - smaller;
    }
    *result = zqntl(0, values, n, 0.5);
    return STATUS_OK;
}

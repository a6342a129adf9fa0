// Percentiles, median, interquartile range and median absolute deviation: one quantile engine
// (zqntl) over an array of pointers to the present values, which it reorders with a selection
// (zordern). The host's values are never written; MAD works on copies of its own.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/pctlplan.hpp"
#include "qv/quantile.hpp"
#include "qv/scratch.hpp"
#include "qv/select.hpp"
#include "qv/status.hpp"

namespace {

using qv::MISSING_DOT;
using qv::ValuePtr;

// The local pointer array: 256 entries.
constexpr std::size_t LOCAL_BYTES = 2048;

// The k-th smallest (1-based) of the n values, MISSING_DOT for a rank outside 1..n. On return
// entry k - 1 designates it, entries before it designate values not above it and entries after
// it values not below it. may_finish: no later selection depends on the arrangement.
double zordern(std::int64_t n, std::int64_t k, ValuePtr *values, bool may_finish) {
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
    qv::partition_select(values, n, k - 1, [](ValuePtr p) { return *p; }, may_finish);
    return *values[k - 1];
}

using qv::Combine;
using qv::Plan;

// x(j) and x(j + 1) for 1 <= j < n, combined. One selection places the rank on the shorter
// side's boundary, and a scan of the shorter side gives its neighbour.
double combine(ValuePtr *values, std::int64_t n, std::int64_t j, double g, Combine how, bool may_finish) {
    double lower;
    double upper;
    if (j <= n / 2) {
        upper = zordern(n, j + 1, values, may_finish);
        // The first j entries now designate values not above x(j + 1): x(j) is their maximum.
        lower = zordern(j, j, values, may_finish);
    } else {
        lower = zordern(n, j, values, may_finish);
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

// The quantile that plan q of the n values reads; MISSING_DOT when there are none.
double read_plan(ValuePtr *values, std::int64_t n, const Plan &q, bool may_finish) {
    if (n == 0) return MISSING_DOT;
    if (q.how == Combine::None) return zordern(n, q.rank, values, may_finish);
    return combine(values, n, q.rank, q.g, q.how, may_finish);
}

double zqntl(int definition, ValuePtr *values, std::int64_t n, double p, bool may_finish) {
    if (n == 0 || 0.0 > p || p > 1.0) return MISSING_DOT;
    return read_plan(values, n, qv::percentile_plan(definition, n, p), may_finish);
}

// Whether a later quantile with plan q over these n entries reads the same bits however they
// are arranged, so that a selection before it may finish in any order. It does when every NaN
// sits in a block at the top of the array at least twice its length above the ranks read (the
// passes then never move one or take one as pivot), and no rank read holds a zero while zeros
// of both signs occur. Deviations from a median read that way keep the NaNs where their values
// were, unless the median is infinite and equals a value, and their zeros have one sign, since
// the median is not a zero; so for deviations to come, no value may be infinite.
bool arrangement_free(const ValuePtr *e, std::int64_t n, const Plan &q, bool for_deviations) {
    std::int64_t top = n - 1;
    while (top >= 0 && std::isnan(*e[top])) --top;
    const std::int64_t highest = q.rank + (q.how == Combine::None ? 0 : 1);
    if (highest > n - 2 * (n - 1 - top)) return false;
    std::int64_t negative = 0, zeros = 0;
    bool pos_zero = false, neg_zero = false;
    for (std::int64_t i = 0; i <= top; ++i) {
        const double v = *e[i];
        if (std::isnan(v) || (for_deviations && std::isinf(v))) return false;
        if (v < 0.0) ++negative;
        if (v == 0.0) {
            ++zeros;
            (std::signbit(v) ? neg_zero : pos_zero) = true;
        }
    }
    if (!(pos_zero && neg_zero)) return true;
    // Zeros take the ranks negative + 1 .. negative + zeros.
    return negative + zeros < q.rank || negative + 1 > highest;
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
    if (!qv::valid_percentile(p)) {
        a.mark_invalid(0);
        return STATUS_INVALID_ARG;
    }
    const std::int64_t m = count - 1;
    qv::Scratch<LOCAL_BYTES> scratch(a.pool(), static_cast<std::uint64_t>(m) * sizeof(ValuePtr));
    if (!scratch.ok()) return STATUS_NO_SCRATCH;
    ValuePtr *values = scratch.as<ValuePtr>();
    const std::int64_t n = gather(a, 1, count, values);
    *result = qv::quantile(definition, values, n, p / 100.0, qv::Passes::MayFinish);
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

namespace qv {

double quantile(int definition, ValuePtr *values, std::int64_t n, double p, Passes passes) {
    return zqntl(definition, values, n, p, passes == Passes::MayFinish);
}

// The upper quartile reads the arrangement the lower one leaves, so the lower selection may
// finish early only where the upper one cannot tell.
double interquartile_range(ValuePtr *values, std::int64_t n, Passes passes) {
    const bool may = passes == Passes::MayFinish;
    const Plan lower = qv::lower_quartile_plan(n), upper = qv::upper_quartile_plan(n);
    const bool lower_may = may && arrangement_free(values, n, upper, false);
    const double q1 = read_plan(values, n, lower, lower_may);
    const double q3 = read_plan(values, n, upper, may);
    return q3 - q1;
}

// The median of the deviations reads the arrangement the first median leaves, so the first
// selection may finish early only where the second one cannot tell.
double median_deviation(double *copies, ValuePtr *values, std::int64_t n, Passes passes) {
    const bool may = passes == Passes::MayFinish;
    const Plan middle = qv::median_plan(n);
    const bool first_may = may && n > 0 && arrangement_free(values, n, middle, true);
    const double med = read_plan(values, n, middle, first_may);
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = copies[i];
        const double larger = med > v ? med : v;
        const double smaller = v < med ? v : med;
        copies[i] = larger - smaller;
    }
    return read_plan(values, n, middle, may);
}

}  // namespace qv

QV_EXPORT QvStatus qvfncpctl(FuncArgList *args, double *result) { return percentile(args, result, 5); }
QV_EXPORT QvStatus qvfncpctl1(FuncArgList *args, double *result) { return percentile(args, result, 1); }
QV_EXPORT QvStatus qvfncpctl2(FuncArgList *args, double *result) { return percentile(args, result, 2); }
QV_EXPORT QvStatus qvfncpctl3(FuncArgList *args, double *result) { return percentile(args, result, 3); }
QV_EXPORT QvStatus qvfncpctl4(FuncArgList *args, double *result) { return percentile(args, result, 4); }

QV_EXPORT QvStatus qvfncmed(FuncArgList *args, double *result) {
    return over_all_values(args, result, [](ValuePtr *values, std::int64_t n) {
        return read_plan(values, n, qv::median_plan(n), true);
    });
}

QV_EXPORT QvStatus qvfnciqr(FuncArgList *args, double *result) {
    return over_all_values(args, result, [](ValuePtr *values, std::int64_t n) {
        return qv::interquartile_range(values, n, qv::Passes::MayFinish);
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
    *result = qv::median_deviation(copies, values, n, qv::Passes::MayFinish);
    return STATUS_OK;
}

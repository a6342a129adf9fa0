// ORDINAL: the k-th smallest of all data arguments, missing values included. Missing values
// order first (._, ., .A ... .Z), then the present values by number. The pointers are split
// into two runs, present values from the front and missing ones from the back, and only the
// run that holds rank k is searched.
#include <cstdint>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/rank.hpp"
#include "qv/scratch.hpp"
#include "qv/select.hpp"
#include "qv/status.hpp"

namespace {

using qv::MISSING_DOT;
using qv::ValuePtr;

// The local pointer array: 256 entries.
constexpr std::size_t LOCAL_BYTES = 2048;

template <class Key>
double select(std::int64_t n, std::int64_t k, ValuePtr *values, Key key) {
    if (k - 1 < 0 || k - 1 >= n) return MISSING_DOT;
    if (n - 1 < 1) return *values[k - 1];
    qv::partition_select(values, n, k - 1, key, true);
    return *values[k - 1];
}

// The k-th smallest of the n values by number.
double zordern(std::int64_t n, std::int64_t k, ValuePtr *values) {
    return select(n, k, values, [](ValuePtr p) { return *p; });
}

// The k-th smallest of the n missing values by their order key; the value itself, with its
// own bit pattern, is returned.
double zorderm(std::int64_t n, std::int64_t k, ValuePtr *values) {
    return select(n, k, values, [](ValuePtr p) { return qv::missing_kind(*p); });
}

}  // namespace

QV_EXPORT QvStatus qvfncord(FuncArgList *args, double *result) {
    *result = MISSING_DOT;
    const qv::ArgView a(args);
    std::int64_t m = 0;
    std::int64_t k = 0;
    if (!qv::read_rank(a, m, k)) return STATUS_INVALID_ARG;

    qv::Scratch<LOCAL_BYTES> scratch(a.pool(), static_cast<std::uint64_t>(m) * sizeof(ValuePtr));
    if (!scratch.ok()) return STATUS_NO_SCRATCH;
    ValuePtr *values = scratch.as<ValuePtr>();
    std::int64_t present = 0;
    std::int64_t back = m;
    for (std::int64_t i = 1; i <= m; ++i) {
        const double *p = a.num_ptr(i);
        if (qv::is_missing(*p)) values[--back] = p;
        else values[present++] = p;
    }
    const std::int64_t missing = m - present;
    *result = k <= missing ? zorderm(missing, k, values + present) : zordern(present, k - missing, values);
    return STATUS_OK;
}

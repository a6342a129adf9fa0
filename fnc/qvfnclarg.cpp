// SMALLEST and LARGEST: the k-th smallest or largest present value, kept in a bounded heap of
// k copies (1-based, index 0 unused). A rank past three fifths of the data is answered from the
// other end, so the heap stays small for ranks near either end.
#include <cstdint>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/rank.hpp"
#include "qv/scratch.hpp"
#include "qv/status.hpp"

namespace {

using qv::MISSING_DOT;

// The local heap: 128 doubles, room for k up to 127.
constexpr std::size_t LOCAL_HEAP_BYTES = 1024;

// Restores the heap order of heap[1..n] below index i by moving heap[i] down; above(a, b) tells
// whether a may sit above b. On equal children the right one is taken.
template <class Above>
void sift(double *heap, std::int64_t n, std::int64_t i, Above above) {
    const double v = heap[i];
    std::int64_t child = 2 * i;
    while (child <= n) {
        double w = heap[child];
        if (child < n && above(heap[child + 1], w)) {
            child = child + 1;
            w = heap[child];
        }
        if (above(v, w)) break;
        heap[i] = w;
        i = child;
        child = 2 * child;
    }
    heap[i] = v;
}

// Max-heap: the root is the largest entry.
void siftup(double *heap, std::int64_t n, std::int64_t i) {
    sift(heap, n, i, [](double a, double b) { return a >= b; });
}

// Min-heap: the root is the smallest entry.
void siftdown(double *heap, std::int64_t n, std::int64_t i) {
    sift(heap, n, i, [](double a, double b) { return b >= a; });
}

// The k-th smallest (max-heap, Largest false) or k-th largest (min-heap, Largest true) present
// value of the m slots. The result is written only on success.
template <bool Largest>
QvStatus heap_select(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k) {
    if (k <= 0 || k > m) return STATUS_MISSING_ARG;
    qv::Scratch<LOCAL_HEAP_BYTES> scratch(pool, static_cast<std::uint64_t>(k + 1) * sizeof(double));
    if (!scratch.ok()) return STATUS_NO_SCRATCH;
    double *heap = scratch.as<double>();

    // The first k present values fill the heap.
    std::int64_t filled = 0;
    std::int64_t next = 0;
    while (next < m && filled < k) {
        const double x = qv::slot_value(slots[next++]);
        if (!qv::is_missing(x)) heap[++filled] = x;
    }
    if (filled < k) return STATUS_MISSING_ARG;

    for (std::int64_t i = k / 2; i >= 1; --i) {
        if (Largest) siftdown(heap, k, i);
        else siftup(heap, k, i);
    }
    // The root is the k-th best seen so far; only a strictly better value replaces it.
    for (; next < m; ++next) {
        const double x = qv::slot_value(slots[next]);
        if (qv::is_missing(x)) continue;
        if (Largest ? x > heap[1] : x < heap[1]) {
            heap[1] = x;
            if (Largest) siftdown(heap, k, 1);
            else siftup(heap, k, 1);
        }
    }
    *result = heap[1];
    return STATUS_OK;
}

QvStatus smallest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k) {
    return heap_select<false>(slots, pool, result, m, k);
}

QvStatus largest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k) {
    return heap_select<true>(slots, pool, result, m, k);
}

using Select = QvStatus (*)(const FuncArg *, HostPool *, double *, std::int64_t, std::int64_t);

// Validates k, then asks `near` for rank k while k lies in the first three fifths of the data,
// else `far` for the mirrored rank n - k + 1 among the n present values.
QvStatus kth(FuncArgList *args, double *result, Select near, Select far) {
    *result = MISSING_DOT;
    const qv::ArgView a(args);
    std::int64_t m = 0;
    std::int64_t k = 0;
    if (!qv::read_rank(a, m, k)) return STATUS_INVALID_ARG;
    if (k <= (3 * m) / 5) return near(a.slots(1), a.pool(), result, m, k);
    std::int64_t n = 0;
    a.forward(1, m + 1, [&](double, std::int64_t) { ++n; });
    return far(a.slots(1), a.pool(), result, m, n - k + 1);
}

}  // namespace

QV_EXPORT QvStatus qvfncsmal(FuncArgList *args, double *result) { return kth(args, result, smallest, largest); }

QV_EXPORT QvStatus qvfnclarg(FuncArgList *args, double *result) { return kth(args, result, largest, smallest); }

// SMALLEST and LARGEST: the k-th smallest or largest present value, kept in a bounded heap of
// k copies (1-based, index 0 unused). A rank past three fifths of the data is answered from the
// other end, so the heap stays small for ranks near either end. When too many values enter a
// large heap, the rank is found instead by sampling and counting in the heap's work area, where
// that cannot change the bits.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/kth.hpp"
#include "qv/rank.hpp"
#include "qv/scratch.hpp"
#include "qv/status.hpp"

namespace {

using qv::MISSING_DOT;

// The local heap: 128 doubles, room for k up to 127.
constexpr std::int64_t LOCAL_HEAP_DOUBLES = 128;
constexpr std::size_t LOCAL_HEAP_BYTES = LOCAL_HEAP_DOUBLES * sizeof(double);

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

// The written heap over the m slots: the first k present values fill it, then each value that
// is strictly better than the root replaces it. Once more than `budget` values have entered,
// it gives up and returns false; otherwise it stores the status in *status and returns true.
// The result is written only on success.
template <bool Largest>
bool heap_select(const FuncArg *slots, double *heap, double *result, std::int64_t m, std::int64_t k,
                 std::int64_t budget, QvStatus *status) {
    // The first k present values fill the heap.
    std::int64_t filled = 0;
    std::int64_t next = 0;
    while (next < m && filled < k) {
        const double x = qv::slot_value(slots[next++]);
        if (!qv::is_missing(x)) heap[++filled] = x;
    }
    if (filled < k) {
        *status = STATUS_MISSING_ARG;
        return true;
    }

    for (std::int64_t i = k / 2; i >= 1; --i) {
        if (Largest) siftdown(heap, k, i);
        else siftup(heap, k, i);
    }
    // The root is the k-th best seen so far; only a strictly better value replaces it.
    for (; next < m; ++next) {
        const double x = qv::slot_value(slots[next]);
        if (qv::is_missing(x)) continue;
        if (Largest ? x > heap[1] : x < heap[1]) {
            if (--budget < 0) return false;
            heap[1] = x;
            if (Largest) siftdown(heap, k, 1);
            else siftup(heap, k, 1);
        }
    }
    *result = heap[1];
    *status = STATUS_OK;
    return true;
}

// Systematic sampling with a random offset in each block of `stride` positions, so that no
// period in the data lines up with the sample. Positions are offered in increasing order, each
// once; the generator is fixed, so a list is always sampled alike.
class Sampler {
public:
    explicit Sampler(std::int64_t stride) : stride_(stride), end_(stride), next_(offset()) {}

    bool take(std::int64_t i) {
        const bool hit = i == next_;
        if (i + 1 == end_) {
            next_ = end_ + offset();
            end_ += stride_;
        }
        return hit;
    }

private:
    std::int64_t offset() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::int64_t>((state_ >> 33) % static_cast<std::uint64_t>(stride_));
    }

    std::int64_t stride_;
    std::int64_t end_;
    std::uint64_t state_ = 0x853C49E6748FEA9Bull;
    std::int64_t next_;
};

// The sampled selection. Where the list holds no NaN and not both +0 and -0 (the only doubles
// that compare equal with different bits), the k-th best value has one bit pattern, whatever
// finds it. Values are taken as keys, negated for the k-th largest, so that the k-th smallest
// key is wanted. A systematic sample of the slots gives two pivots a few standard deviations
// either side of the rank; one pass counts the keys below the lower pivot and equal to either,
// and keeps the keys between them in the work area; if the rank falls between the pivots and
// they fit, std::nth_element finds it there. When they do not fit, one in s of them is kept
// instead and serves as the sample of the next, narrower round.
constexpr std::int64_t FIRST_SAMPLE = 16384;  // keys sampled before the first round, at most
constexpr double MARGIN_SIGMAS = 4.0;          // pivots this many standard deviations out, plus 2
constexpr int MAX_ROUNDS = 8;

template <bool Largest>
qv::Sampled window_select(const FuncArg *slots, std::int64_t m, std::int64_t k, double *w, std::int64_t capacity,
                          double *out) {
    auto key = [](double x) { return Largest ? qv::flip_sign(x) : x; };
    constexpr std::uint64_t SIGN = 0x8000000000000000ull;

    // Count the present values, look for NaNs and zeros, take one slot's key in each stride.
    const std::int64_t first_sample = std::min(capacity, FIRST_SAMPLE);
    Sampler sample((m + first_sample - 1) / first_sample);
    std::int64_t present = 0;
    std::int64_t taken = 0;
    bool nan = false, pos_zero = false, neg_zero = false;
    for (std::int64_t i = 0; i < m; ++i) {
        const double x = qv::slot_value(slots[i]);
        const bool sampled = sample.take(i);
        if (qv::is_missing(x)) continue;
        ++present;
        nan |= x != x;
        pos_zero |= qv::bits_of(x) == 0;
        neg_zero |= qv::bits_of(x) == SIGN;
        if (sampled && taken < capacity) w[taken++] = key(x);
    }
    if (present < k) return qv::Sampled::TooFew;
    if (nan || (pos_zero && neg_zero)) return qv::Sampled::Undecided;

    // The window: keys strictly between lo and hi (all keys in the first round), `candidates`
    // of them, the wanted one of rank `rank` among them.
    constexpr double INF = std::numeric_limits<double>::infinity();
    double lo = -INF, hi = INF;
    bool bounded = false;
    std::int64_t candidates = present;
    std::int64_t rank = k;
    for (int round = 0; round < MAX_ROUNDS && taken > 0; ++round) {
        // Pivots at sample positions around the rank's expected position; where a position
        // falls outside the sample, the window's own bound stands for the pivot.
        const double share = static_cast<double>(rank) / static_cast<double>(candidates);
        const double at = share * static_cast<double>(taken);
        const double margin = MARGIN_SIGMAS * std::sqrt(at * (1.0 - share)) + 2.0;
        // Both positions round away from the rank, which only widens the window; a low
        // position below 0 means no lower pivot.
        const std::int64_t low_at = at - margin < 0.0 ? -1 : static_cast<std::int64_t>(at - margin);
        const std::int64_t high_at = static_cast<std::int64_t>(at + margin) + 1;
        double p1 = lo, p2 = hi;
        std::int64_t rest = 0;
        if (low_at >= 0) {
            std::nth_element(w, w + low_at, w + taken);
            p1 = w[low_at];
            rest = low_at + 1;
        }
        if (high_at < taken) {
            std::nth_element(w + rest, w + high_at, w + taken);
            p2 = w[high_at];
        }
        // Keep one in s keys between the pivots, s chosen to fill half the work area.
        const double expected = static_cast<double>(candidates) *
                                static_cast<double>(std::min(high_at, taken) - std::max<std::int64_t>(low_at, -1)) /
                                static_cast<double>(taken);
        const std::int64_t every = static_cast<std::int64_t>(2.0 * expected / static_cast<double>(capacity)) + 1;
        std::int64_t below = 0, at_p1 = 0, inner = 0, at_p2 = 0;
        Sampler keep(every);
        taken = 0;
        for (std::int64_t i = 0; i < m; ++i) {
            const double x = qv::slot_value(slots[i]);
            if (qv::is_missing(x)) continue;
            const double v = key(x);
            if (bounded && !(v > lo && v < hi)) continue;
            if (v < p1) {
                ++below;
            } else if (v == p1) {
                ++at_p1;
            } else if (v < p2) {
                if (keep.take(inner++) && taken < capacity) w[taken++] = v;
            } else if (v == p2) {
                ++at_p2;
            }
        }
        if (rank <= below) return qv::Sampled::Undecided;
        rank -= below;
        if (rank <= at_p1) {
            *out = key(p1);
            return qv::Sampled::Found;
        }
        rank -= at_p1;
        if (rank <= inner) {
            if (every == 1 && inner <= capacity) {
                std::nth_element(w, w + rank - 1, w + inner);
                *out = key(w[rank - 1]);
                return qv::Sampled::Found;
            }
            if (inner == candidates) return qv::Sampled::Undecided;
            lo = p1;
            hi = p2;
            bounded = true;
            candidates = inner;
            continue;
        }
        rank -= inner;
        if (rank <= at_p2) {
            *out = key(p2);
            return qv::Sampled::Found;
        }
        return qv::Sampled::Undecided;
    }
    return qv::Sampled::Undecided;
}

// Ranks above the local heap, among 4096 slots or more, may be sampled. The heap goes first and
// gives way once more values have entered it than a random order would bring in (about
// k ln(m / k)), or than a 256th of the slots: a large heap costs a sift through log2 k levels,
// most of them out of the cache, for every value that enters, while the sampled selection
// costs two or three passes whatever the order. Data that leave the first k values in place
// (ascending for SMALLEST) keep the single pass of the heap.
constexpr std::int64_t SAMPLED_FROM_SLOTS = 4096;
constexpr std::int64_t ENTRIES_PER_SLOT_SHARE = 256;

template <bool Largest>
QvStatus kth(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k, qv::KthPath path) {
    if (k <= 0 || k > m) return STATUS_MISSING_ARG;
    qv::Scratch<LOCAL_HEAP_BYTES> scratch(pool, static_cast<std::uint64_t>(k + 1) * sizeof(double));
    if (!scratch.ok()) return STATUS_NO_SCRATCH;
    double *heap = scratch.as<double>();

    QvStatus status = STATUS_OK;
    const bool sampled = path == qv::KthPath::Sampled && k + 1 > LOCAL_HEAP_DOUBLES && m >= SAMPLED_FROM_SLOTS;
    auto try_sampled = [&] {
        switch (window_select<Largest>(slots, m, k, heap, k + 1, result)) {
        case qv::Sampled::Found: status = STATUS_OK; return true;
        case qv::Sampled::TooFew: status = STATUS_MISSING_ARG; return true;
        case qv::Sampled::Undecided: return false;
        }
        return false;
    };
    if (sampled) {
        const std::int64_t random_order = 4 * k * std::bit_width(static_cast<std::uint64_t>(m / k));
        const std::int64_t budget = std::min(random_order, m / ENTRIES_PER_SLOT_SHARE) + 1024;
        if (heap_select<Largest>(slots, heap, result, m, k, budget, &status)) return status;
        if (try_sampled()) return status;
    }
    heap_select<Largest>(slots, heap, result, m, k, INT64_MAX, &status);
    return status;
}

QvStatus smallest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k) {
    return kth<false>(slots, pool, result, m, k, qv::KthPath::Sampled);
}

QvStatus largest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k) {
    return kth<true>(slots, pool, result, m, k, qv::KthPath::Sampled);
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

namespace qv {

QvStatus kth_smallest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k,
                      KthPath path) {
    return kth<false>(slots, pool, result, m, k, path);
}

QvStatus kth_largest(const FuncArg *slots, HostPool *pool, double *result, std::int64_t m, std::int64_t k,
                     KthPath path) {
    return kth<true>(slots, pool, result, m, k, path);
}

Sampled sampled_kth(const FuncArg *slots, std::int64_t m, std::int64_t k, bool largest, double *work,
                    std::int64_t capacity, double *out) {
    return largest ? window_select<true>(slots, m, k, work, capacity, out)
                   : window_select<false>(slots, m, k, work, capacity, out);
}

}  // namespace qv

QV_EXPORT QvStatus qvfncsmal(FuncArgList *args, double *result) { return kth(args, result, smallest, largest); }

QV_EXPORT QvStatus qvfnclarg(FuncArgList *args, double *result) { return kth(args, result, largest, smallest); }

// Selection by partitioning over an array of pointers to doubles: only the pointers move, the
// values they designate are never written.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace qv {

using ValuePtr = const double *;

// Ranges at least this long are classified in blocks; shorter ones one entry at a time, which
// is faster while the values stay in the first-level cache.
constexpr std::int64_t BLOCK_FROM = 1024;

// Entries examined per entry of the array before the middle-pivot passes count as degenerate
// (organ-pipe data, or the V of deviations around a median, make every pass remove only a few).
constexpr std::int64_t WORK_PER_ENTRY = 4;

// Where the middle-pivot passes over e[lo..hi], aiming at entry t, may be left to a bounded
// selection without changing what is read afterwards. A NaN compares neither less nor equal, so
// it stays above every pivot, and one that becomes the pivot stays at the bottom of the range:
// the passes return the value of rank t - lo + 1 among the range's other entries, or of a rank
// below it for each NaN pivot, or a NaN. When the range's NaNs fill a block at its top and t lies
// at least twice the block's length below hi, no middle entry is a NaN and no swap reaches the
// block, so the passes end with the value of that rank among the entries below the block, and
// any selection of those entries finds it. Its bits, and those of the ranks next to it (which
// the quantile engine reads afterwards by a scan), follow from the value unless it is a zero
// while zeros of both signs occur. Returns the last entry below the block, or -1 when the passes
// must go on.
inline std::int64_t settled_top(const ValuePtr *e, std::int64_t lo, std::int64_t hi, std::int64_t t) {
    std::int64_t top = hi;
    while (top >= lo && std::isnan(*e[top])) --top;
    if (t > hi - 2 * (hi - top)) return -1;
    std::int64_t negative = 0, zeros = 0;
    bool pos_zero = false, neg_zero = false;
    for (std::int64_t i = lo; i <= top; ++i) {
        const double v = *e[i];
        if (std::isnan(v)) return -1;
        if (v < 0.0) ++negative;
        if (v == 0.0) {
            ++zeros;
            (std::signbit(v) ? neg_zero : pos_zero) = true;
        }
    }
    // Zeros of both signs take the ranks negative + 1 .. negative + zeros.
    const std::int64_t rank = t - lo + 1;
    if (pos_zero && neg_zero && negative + zeros >= rank - 1 && negative + 1 <= rank + 1) return -1;
    return top;
}

// Rearranges e[0..n) so that entry t holds the element of rank t + 1 under the ordering that
// key() gives, every entry before it is not greater and every entry after it not smaller.
// Each pass takes the middle entry as pivot; entries equal to the pivot go to its lower side
// at even indices and stay above it at odd ones, so long runs of equal keys still split the
// range in two. Keys that compare neither less, equal nor greater (NaN) stay above the pivot.
// With may_finish, numeric passes that stop making progress are left to std::nth_element where
// settled_top allows; the caller passes it only when no later selection over the same entries
// depends on their arrangement. Order keys of missing values never finish early (one key covers
// several bit patterns).
template <class Key>
inline void partition_select(ValuePtr *e, std::int64_t n, std::int64_t t, Key key, bool may_finish) {
    constexpr bool numeric = std::is_same_v<decltype(key(e[0])), double>;
    std::int64_t lo = 0;
    std::int64_t hi = n - 1;
    // Entries examined before the passes count as degenerate (organ-pipe data, or the V of
    // deviations around a median, make every pass remove only a few), and again after as many
    // for the range that is left.
    std::int64_t budget = numeric && may_finish ? WORK_PER_ENTRY * n : INT64_MAX;
    while (lo < hi) {
        budget -= hi - lo;
        if constexpr (numeric) {
            if (budget < 0) {
                const std::int64_t top = settled_top(e, lo, hi, t);
                if (top >= 0) {
                    std::nth_element(e + lo, e + t, e + top + 1, [&](ValuePtr a, ValuePtr b) { return key(a) < key(b); });
                    return;
                }
                budget = WORK_PER_ENTRY * (hi - lo + 1);
            }
        }
        const std::int64_t mid = (lo + hi) / 2;
        std::swap(e[lo], e[mid]);
        const auto v = key(e[lo]);
        if constexpr (numeric) {
            // No entry goes below a NaN pivot: it stays at lo, and the scan would move nothing.
            if (v != v) {
                if (t == lo) return;
                lo = lo + 1;
                continue;
            }
        }
        // An entry at an even index goes below the pivot when it is not greater, one at an odd
        // index only when it is smaller (a NaN on either side stays above).
        auto block_of = [&](std::int64_t first, auto first_is_even) {
            std::uint64_t below = 0;
            for (int b = 0; b < 64; b += 2) {
                const auto w0 = key(e[first + b]);
                const auto w1 = key(e[first + b + 1]);
                const bool l0 = first_is_even ? w0 <= v : w0 < v;
                const bool l1 = first_is_even ? w1 < v : w1 <= v;
                below |= (static_cast<std::uint64_t>(l0) << b) | (static_cast<std::uint64_t>(l1) << (b + 1));
            }
            return below;
        };
        std::int64_t last = lo;
        std::int64_t i = lo + 1;
        // Over long ranges the entries of a block of 64 are classified first, without
        // branches, then swapped in index order: an entry is never moved before it is
        // examined, so the arrangement is the same as one entry at a time.
        for (; hi - i >= BLOCK_FROM; i += 64) {
            std::uint64_t below = (i & 1) == 0 ? block_of(i, std::true_type{}) : block_of(i, std::false_type{});
            for (; below != 0; below &= below - 1) std::swap(e[++last], e[i + std::countr_zero(below)]);
        }
        for (; i <= hi; ++i) {
            const auto w = key(e[i]);
            if ((i & 1) == 0 ? w <= v : w < v) std::swap(e[++last], e[i]);
        }
        std::swap(e[lo], e[last]);
        if (t > last) {
            lo = last + 1;
        } else if (t < last) {
            hi = last - 1;
        } else {
            return;
        }
    }
}

}  // namespace qv

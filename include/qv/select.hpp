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

// Whether any correct selection over e[0..n) must give the same bits as the passes below: true
// when no value is a NaN and +0 and -0 do not both occur, since those are the only doubles
// that compare equal with different bits. Every later step that reads the arrangement (the
// neighbour scan, a second quantile, MAD's second median) then sees the same values too.
template <class Key>
inline bool order_decides_bits(const ValuePtr *e, std::int64_t n, Key key) {
    bool pos_zero = false, neg_zero = false;
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = key(e[i]);
        if (std::isnan(v)) return false;
        if (v == 0.0) (std::signbit(v) ? neg_zero : pos_zero) = true;
    }
    return !(pos_zero && neg_zero);
}

// Rearranges e[0..n) so that entry t holds the element of rank t + 1 under the ordering that
// key() gives, every entry before it is not greater and every entry after it not smaller.
// Each pass takes the middle entry as pivot; entries equal to the pivot go to its lower side
// at even indices and stay above it at odd ones, so long runs of equal keys still split the
// range in two. Keys that compare neither less, equal nor greater (NaN) stay above the pivot.
template <class Key>
inline void partition_select(ValuePtr *e, std::int64_t n, std::int64_t t, Key key) {
    std::int64_t lo = 0;
    std::int64_t hi = n - 1;
    // Numeric keys may leave degenerate passes for a bounded selection of the remaining range
    // when that cannot change a result; order keys of missing values never do (one key covers
    // several bit patterns).
    std::int64_t budget = std::is_same_v<decltype(key(e[0])), double> ? WORK_PER_ENTRY * n : INT64_MAX;
    while (lo < hi) {
        budget -= hi - lo;
        if (budget < 0) {
            if (order_decides_bits(e, n, key)) {
                std::nth_element(e + lo, e + t, e + hi + 1, [&](ValuePtr a, ValuePtr b) { return key(a) < key(b); });
                return;
            }
            budget = INT64_MAX;
        }
        const std::int64_t mid = (lo + hi) / 2;
        std::swap(e[lo], e[mid]);
        const auto v = key(e[lo]);
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

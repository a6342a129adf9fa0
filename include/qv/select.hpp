// Selection by partitioning over an array of pointers to doubles: only the pointers move, the
// values they designate are never written.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace qv {

using ValuePtr = const double *;

// Ranges at least this long are classified in blocks; shorter ones one entry at a time, which
// is faster while the values stay in the first-level cache.
constexpr std::int64_t BLOCK_FROM = 1024;

// Rearranges e[0..n) so that entry t holds the element of rank t + 1 under the ordering that
// key() gives, every entry before it is not greater and every entry after it not smaller.
// Each pass takes the middle entry as pivot; entries equal to the pivot go to its lower side
// at even indices and stay above it at odd ones, so long runs of equal keys still split the
// range in two. Keys that compare neither less, equal nor greater (NaN) stay above the pivot.
template <class Key>
inline void partition_select(ValuePtr *e, std::int64_t n, std::int64_t t, Key key) {
    std::int64_t lo = 0;
    std::int64_t hi = n - 1;
    while (lo < hi) {
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

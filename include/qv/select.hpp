// Selection by partitioning over an array of pointers to doubles: only the pointers move, the
// values they designate are never written.
#pragma once

#include <cstdint>
#include <utility>

namespace qv {

using ValuePtr = const double *;

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
        std::int64_t last = lo;
        for (std::int64_t i = lo + 1; i <= hi; ++i) {
            const auto w = key(e[i]);
            if (w < v || (w == v && (i & 1) == 0)) {
                ++last;
                std::swap(e[last], e[i]);
            }
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

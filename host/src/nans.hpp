// Finding the NaNs of an array of doubles at the speed of memory, copying it on the way when asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qvhost {

// Counts the NaNs among xs[0..n) and calls nan(i) for each, in order; each value is also copied to
// to[i] first when Copy. Eight values a test, in four pairs (the vectors every x86-64 and ARM64
// has): only the eights that hold a NaN are looked at one value at a time.
template <bool Copy, class OnNan>
std::size_t find_nans(const double *xs, std::size_t n, double *to, OnNan &&nan) noexcept {
    using Pair = double __attribute__((vector_size(16)));
    using Tests = std::int64_t __attribute__((vector_size(16)));
    std::size_t nans = 0, i = 0;
    auto one = [&](std::size_t k) {
        if constexpr (Copy) to[k] = xs[k];
        if (xs[k] != xs[k]) {
            ++nans;
            nan(k);
        }
    };
    for (; i + 8 <= n; i += 8) {
        Pair p, q, r, t;
        std::memcpy(&p, xs + i, sizeof p);
        std::memcpy(&q, xs + i + 2, sizeof q);
        std::memcpy(&r, xs + i + 4, sizeof r);
        std::memcpy(&t, xs + i + 6, sizeof t);
        if constexpr (Copy) {
            std::memcpy(to + i, &p, sizeof p);
            std::memcpy(to + i + 2, &q, sizeof q);
            std::memcpy(to + i + 4, &r, sizeof r);
            std::memcpy(to + i + 6, &t, sizeof t);
        }
        const Tests any = (p != p) | (q != q) | (r != r) | (t != t);
        if ((any[0] | any[1]) != 0) [[unlikely]]
            for (std::size_t k = i; k < i + 8; ++k) one(k);
    }
    for (; i < n; ++i) one(i);
    return nans;
}

}  // namespace qvhost

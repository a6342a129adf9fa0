// Finding the NaNs of an array of doubles at the speed of memory, copying it on the way when asked,
// and narrowing it to the values an extreme can be.
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

// Copies to to[] in order, from xs[0..n), only the values equal to its smallest or its largest
// number and its NaNs, calling nan(k) for each NaN copied to to[k]; returns how many were copied.
// A smallest or largest value of the list, whichever of equal values a rule picks, is among them,
// and so are the values such a rule skips. to may be xs (the copies trail the reads).
//
// One pass finds the bounds of each block of 64 values (a NaN compares false, so no bound ever
// takes one) and whether it holds a NaN; a second looks one value at a time only at the blocks
// that reach a bound of the whole or hold a NaN, which for most data is one or two. Made for a
// fold's chunk of 4096 values: values past 64 blocks are read one at a time in both passes.
template <class OnNan>
std::size_t copy_extremes(const double *xs, std::size_t n, double *to, OnNan &&nan) noexcept {
    using Pair = double __attribute__((vector_size(16)));
    using Tests = std::int64_t __attribute__((vector_size(16)));
    constexpr double inf = __builtin_inf();
    constexpr std::size_t BLOCK = 64, MOST_BLOCKS = 64;
    struct Bounds {
        double lo, hi;
        bool nan;
    };
    auto load = [xs](std::size_t i) {
        Pair p;
        std::memcpy(&p, xs + i, sizeof p);
        return p;
    };
    // The bounds of two lanes; a NaN compares false, so neither bound ever takes one.
    struct Lanes {
        Pair lo = {inf, inf}, hi = {-inf, -inf};
        void take(Pair v) { take(v, v); }
        void take(const Lanes &o) { take(o.lo, o.hi); }
        void take(Pair l, Pair h) {
            lo = l < lo ? l : lo;
            hi = h > hi ? h : hi;
        }
    };
    Bounds blocks[MOST_BLOCKS];
    const std::size_t nb = n / BLOCK < MOST_BLOCKS ? n / BLOCK : MOST_BLOCKS;
    double least = inf, most = -inf;
    for (std::size_t b = 0; b < nb; ++b) {
        Lanes l0, l1, l2, l3;  // four apart, to keep both comparers busy through their latency
        Tests nans = {0, 0};
        for (std::size_t i = b * BLOCK; i < (b + 1) * BLOCK; i += 8) {
            const Pair w = load(i), x = load(i + 2), y = load(i + 4), z = load(i + 6);
            l0.take(w);
            l1.take(x);
            l2.take(y);
            l3.take(z);
            nans |= (w != w) | (x != x) | (y != y) | (z != z);
        }
        l0.take(l1);
        l2.take(l3);
        l0.take(l2);
        Bounds &k = blocks[b];
        k.lo = l0.lo[1] < l0.lo[0] ? l0.lo[1] : l0.lo[0];
        k.hi = l0.hi[1] > l0.hi[0] ? l0.hi[1] : l0.hi[0];
        k.nan = (nans[0] | nans[1]) != 0;
        least = k.lo < least ? k.lo : least;
        most = k.hi > most ? k.hi : most;
    }
    for (std::size_t i = nb * BLOCK; i < n; ++i) {
        least = xs[i] < least ? xs[i] : least;
        most = xs[i] > most ? xs[i] : most;
    }
    std::size_t kept = 0;
    auto keep = [&](std::size_t from, std::size_t end) {
        for (std::size_t i = from; i < end; ++i) {
            const double x = xs[i];
            if (x > least && x < most) continue;
            to[kept] = x;
            if (x != x) nan(kept);
            ++kept;
        }
    };
    // A block looked at again is tested eight values at a time (a NaN is never inside the
    // bounds), so that one missing value among its 64 sends only its eight the slow way.
    const Pair l = {least, least}, h = {most, most};
    auto keep_block = [&](std::size_t from) {
        for (std::size_t i = from; i < from + BLOCK; i += 8) {
            const Pair w = load(i), x = load(i + 2), y = load(i + 4), z = load(i + 6);
            const Tests inside = (w > l) & (w < h) & (x > l) & (x < h) & (y > l) & (y < h) & (z > l) & (z < h);
            if ((inside[0] & inside[1]) == 0) keep(i, i + 8);
        }
    };
    for (std::size_t b = 0; b < nb; ++b)
        if (blocks[b].nan || !(blocks[b].lo > least && blocks[b].hi < most)) keep_block(b * BLOCK);
    keep(nb * BLOCK, n);
    return kept;
}

}  // namespace qvhost

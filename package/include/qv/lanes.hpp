// The sums of qv/listsum.hpp and qv/devsum.hpp over many lists at once: lane j sums the list of
// len values x[j], x[j + 1], ..., x[j + len - 1] (the windows of consecutive rows over one
// column), every lane in slot order with the very steps one list takes, so each lane's sum has
// the bits of that list's: an IEEE add or multiply in a vector lane rounds as a scalar one does.
// Missing values are handed over as summand(x) = -0.0 for the plain sums and masked to +0.0 for
// the deviations (present[k] all ones for a present value, else 0).
//
// V is double (one lane) or a GCC vector of doubles; a kernel keeps R of them, L = R x width
// lanes, in registers, so that R independent chains of adds hide the add's latency. Every step a
// kernel takes is always inlined: a kernel compiled for a wider instruction set than the default
// must not call a default one with vector arguments, whose passing differs between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "qv/devsum.hpp"

namespace qv {

template <class V>
constexpr int lane_width = static_cast<int>(sizeof(V) / sizeof(double));

template <class V>
[[gnu::always_inline]] inline V splat(double x) {
    if constexpr (lane_width<V> == 1) {
        return x;
    } else {
        V v;
        for (int i = 0; i < lane_width<V>; ++i) v[i] = x;
        return v;
    }
}

template <class T>
[[gnu::always_inline]] inline T load_lanes(const void *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The bits of x as a To of the same size (std::bit_cast, always inlined).
template <class To, class From>
[[gnu::always_inline]] inline To bits_as(From x) {
    return load_lanes<To>(&x);
}

// Where lane j's k-th value lies: x[j + k] of a column in place ...
struct Consecutive {
    const double *x;
    template <class V>
    [[gnu::always_inline]] V at(std::size_t k, int lane) const {
        return load_lanes<V>(x + k + lane);
    }
};

// ... or in eight copies of the column, copy[d][i] = x[i + d], each 64-byte aligned, read from
// row a on: the k-th values of 8 lanes from lane 8i on are one aligned 64-byte load, where from the
// column in place 7 loads in 8 would cross a cache line.
struct Shifted {
    const double *const *copy;
    std::size_t a;
    template <class V>
    [[gnu::always_inline]] V at(std::size_t k, int lane) const {
        const std::size_t q = a + k;
        return load_lanes<V>(copy[q & 7] + (q & ~std::size_t{7}) + lane);
    }
};

// ... or in W columns side by side, t[i * W + c] = x[c * part + i], read from row i on: lane r * W + c
// sums the list from row i + r of column c, and the k-th values of lanes r * W .. r * W + W - 1
// are one aligned load, at the cost of one copy of the values.
template <int W>
struct Transposed {
    const double *t;
    template <class V>
    [[gnu::always_inline]] V at(std::size_t k, int lane) const {
        return load_lanes<V>(t + (k + static_cast<std::size_t>(lane / W)) * W);
    }
};

// Forward sums started at start: -0.0 for the forward sum of MEAN (which then starts at x1), 0.0
// for SUM.
template <class V, int R, class Src>
[[gnu::always_inline]] inline void sum_lanes(Src x, std::size_t len, double start, double *s) {
    constexpr int W = lane_width<V>;
    V acc[R];
    for (int r = 0; r < R; ++r) acc[r] = splat<V>(start);
    for (std::size_t k = 0; k < len; ++k)
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) acc[r] = sum_add(acc[r], x.template at<V>(k, r * W));
    std::memcpy(s, acc, sizeof acc);
}

// Sums of squares, last slot first (USS).
template <class V, int R, class Src>
[[gnu::always_inline]] inline void square_lanes(Src x, std::size_t len, double *s) {
    constexpr int W = lane_width<V>;
    V acc[R];
    for (int r = 0; r < R; ++r) acc[r] = splat<V>(0.0);
    for (std::size_t k = len; k-- > 0;)
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) acc[r] = square_add(acc[r], x.template at<V>(k, r * W));
    std::memcpy(s, acc, sizeof acc);
}

// Where lane j's k-th presence mask lies (all ones for a present value, else 0), beside the
// values: present[j + k] beside a column (Consecutive, Shifted) ...
struct ConsecutiveMasks {
    const std::uint64_t *present;
    template <class U>
    [[gnu::always_inline]] U at(std::size_t k, int lane) const {
        return load_lanes<U>(present + k + lane);
    }
};

// ... or in columns beside Transposed values, the masks' bits laid out as the values are.
template <int W>
struct TransposedMasks {
    const double *t;
    template <class U>
    [[gnu::always_inline]] U at(std::size_t k, int lane) const {
        return load_lanes<U>(t + (k + static_cast<std::size_t>(lane / W)) * W);
    }
};

// ... or none: every value is present.
struct AllPresent {};

// Sums of squared deviations from each lane's mean, started at 0.0, a missing value's square
// masked to +0.0. U is the unsigned integer vector of V's shape.
template <class V, class U, int R, class Src, class Masks>
[[gnu::always_inline]] inline void masked_deviation_lanes(Src x, Masks present, std::size_t len, const double *mean,
                                                          double *css) {
    constexpr int W = lane_width<V>;
    V acc[R], m[R];
    for (int r = 0; r < R; ++r) {
        acc[r] = splat<V>(0.0);
        m[r] = load_lanes<V>(mean + r * W);
    }
    for (std::size_t k = 0; k < len; ++k)
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
            if constexpr (std::is_same_v<Masks, AllPresent>) {
                acc[r] = deviation_add(acc[r], x.template at<V>(k, r * W), m[r]);
            } else {
                const U sq = bits_as<U>(deviation_square(x.template at<V>(k, r * W), m[r]));
                acc[r] = sum_add(acc[r], bits_as<V>(sq & present.template at<U>(k, r * W)));
            }
        }
    std::memcpy(css, acc, sizeof acc);
}

// The same beside a column: present null where every value is present.
template <class V, class U, int R, class Src>
[[gnu::always_inline]] inline void deviation_lanes(Src x, const std::uint64_t *present, std::size_t len,
                                                   const double *mean, double *css) {
    if (present == nullptr) masked_deviation_lanes<V, U, R>(x, AllPresent{}, len, mean, css);
    else masked_deviation_lanes<V, U, R>(x, ConsecutiveMasks{present}, len, mean, css);
}

// MEAN of L = R x width lists from their forward sums s, count n (the same for all), first values
// x1 and masks differs (all ones where a later value differs from x1), into r.
template <class V, class M, int R>
[[gnu::always_inline]] inline void mean_lanes(const double *s, double n, const double *x1, const std::int64_t *differs,
                                              double *r) {
    constexpr int W = lane_width<V>;
    const V nv = splat<V>(n);
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) {
        const V m = mean_from(load_lanes<M>(differs + i * W), load_lanes<V>(s + i * W), nv, load_lanes<V>(x1 + i * W));
        std::memcpy(r + i * W, &m, sizeof m);
    }
}

// A count in lanes: n the same for all, or lane j's at n[j].
template <class V>
[[gnu::always_inline]] inline V count_lanes(double n, int) {
    return splat<V>(n);
}
template <class V>
[[gnu::always_inline]] inline V count_lanes(const double *n, int lane) {
    return load_lanes<V>(n + lane);
}

// The means the deviations of L lists are taken from, their sums s over the count n (N: double,
// the same for all, or const double *, each lane's).
template <class V, int R, class N>
[[gnu::always_inline]] inline void deviation_mean_lanes(const double *s, N n, double *mean) {
    constexpr int W = lane_width<V>;
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) {
        const V m = deviation_mean_from(load_lanes<V>(s + i * W), count_lanes<V>(n, i * W));
        std::memcpy(mean + i * W, &m, sizeof m);
    }
}

// The quotients of CSS, VAR, STD or STDERR of L lists from their sums of squares css and count n
// (as above), into r: STD and STDERR are their square roots, lane by lane.
template <Spread K, class V, int R, class N>
[[gnu::always_inline]] inline void spread_lanes(const double *css, N n, double *r) {
    constexpr int W = lane_width<V>;
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) {
        const V nv = count_lanes<V>(n, i * W);
        const V v = spread_quotient<K>(load_lanes<V>(css + i * W), nv - splat<V>(1.0), nv);
        std::memcpy(r + i * W, &v, sizeof v);
    }
}

}  // namespace qv

// The moving sums' lane kernels. Each is compiled whole for each instruction set the machine may
// have; each inlines the package's steps, whose vector forms pass vectors by value only inside a
// kernel, so the ABI GCC warns about (-Wpsabi) for the wider vectors is never used across a call:
// the build turns that warning off for this file. QV_SUM_LANES_NARROW (and any processor other
// than x86-64) keeps to the 16-byte kernel, which every compiler and processor takes without that
// warning.
//
// Eight vectors of sums at once keep both adders busy through the add's latency; the deviation
// pass of SSE2 runs four at a time, since its sixteen registers also hold the means. AVX-512
// reads a stretch's shifted copies (aligned loads) where it has them. A finisher checks its
// results for NaNs by their sum, which is a NaN where one is (or where infinities of both signs
// meet, which only sends the block the slow way).
#include "sumlanes.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace qvhost {

std::atomic<int> sum_windows_limit{3};

namespace {

typedef double v2d __attribute__((vector_size(16)));
typedef std::uint64_t v2u __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef std::uint64_t v4u __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef std::uint64_t v8u __attribute__((vector_size(64)));

template <class V>
using MaskOf = decltype(V{} != V{});

// The finishers' bodies for V vectors of doubles, R of them a block. AVX-512F compares into mask
// registers, from which it makes no vector of all ones: its "all" tests take the mask registers
// (below); the others' take the vector masks here.
template <class V>
[[gnu::always_inline]] inline bool none_set(MaskOf<V> m) {
    bool any = false;
    for (int i = 0; i < qv::lane_width<V>; ++i) any = any || m[i] != 0;
    return !any;
}
template <class V>
[[gnu::always_inline]] inline bool all_set(MaskOf<V> m) {
    return none_set<V>(~m);
}

template <class V>
[[gnu::always_inline]] inline void store(double *p, V v) {
    std::memcpy(p, &v, sizeof v);
}

template <class V>
[[gnu::always_inline]] inline bool numbers_in(const double *x, std::size_t n) {
    constexpr std::size_t W = qv::lane_width<V>, STEP = 4 * W;
    MaskOf<V> nan = {};
    std::size_t i = 0;
    for (; i + STEP <= n; i += STEP) {
#pragma GCC unroll 4
        for (std::size_t r = 0; r < STEP; r += W) {
            const V v = qv::load_lanes<V>(x + i + r);
            nan |= v != v;
        }
        if (i % 256 == 0 && !none_set<V>(nan)) return false;  // a NaN met early ends the look
    }
    for (; i < n; ++i)
        if (const double v = qv::load_lanes<double>(x + i); v != v) return false;
    return none_set<V>(nan);
}

// Whether every lane of v is 0, or a number. A block's tests gather in a vector and are read
// lane by lane once: AVX-512F compares into mask registers, from which its vectors of all ones
// are not made, so a compare's outcome is taken as 0.0 or 1.0.
template <class V>
[[gnu::always_inline]] inline bool all_zero(V v) {
    bool zero = true;
    for (int i = 0; i < qv::lane_width<V>; ++i) zero = zero && v[i] == 0.0;
    return zero;
}
template <class V>
[[gnu::always_inline]] inline bool all_numbers(V v) {
    bool numbers = true;
    for (int i = 0; i < qv::lane_width<V>; ++i) numbers = numbers && v[i] == v[i];
    return numbers;
}
template <class V>
[[gnu::always_inline]] inline V same(V a, V b) {
    return a != b ? V{} : qv::splat<V>(1.0);
}

template <class V, int R>
[[gnu::always_inline]] inline bool next_differ_in(const double *x1, std::size_t next) {
    constexpr int W = qv::lane_width<V>;
    V sames = {};
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) sames += same(qv::load_lanes<V>(x1 + i * W), qv::load_lanes<V>(x1 + i * W + next));
    return all_zero(sames);
}

template <class V, int R>
[[gnu::always_inline]] inline int means_next_in(const double *s, double n, const double *x1, std::size_t next,
                                                double *r) {
    constexpr int W = qv::lane_width<V>;
    const V nv = qv::splat<V>(n);
    V sum = {}, sames = {};
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) {
        const V a = qv::load_lanes<V>(x1 + i * W), b = qv::load_lanes<V>(x1 + i * W + next);
        sames += same(a, b);
        const V m = qv::mean_from(a != b, qv::load_lanes<V>(s + i * W), nv, a);
        sum += m;
        store(r + i * W, m);
    }
    return (all_zero(sames) ? ALL_DIFFER : 0) | (all_numbers(sum) ? ALL_NUMBERS : 0);
}

// W 32-bit integers, one for each lane of W doubles.
template <int W>
struct Int32Lanes;
template <>
struct Int32Lanes<2> {
    typedef std::int32_t type __attribute__((vector_size(8)));
};
template <>
struct Int32Lanes<4> {
    typedef std::int32_t type __attribute__((vector_size(16)));
};
template <>
struct Int32Lanes<8> {
    typedef std::int32_t type __attribute__((vector_size(32)));
};

template <class I>
[[gnu::always_inline]] inline bool none_set_i(I m) {
    constexpr int W = sizeof(I) / sizeof(std::int32_t);
    std::int32_t any = 0;
    for (int i = 0; i < W; ++i) any |= m[i];
    return any == 0;
}

// The present values of the windows from lane `at` on, one a lane, and their "differs": all ones
// where a change follows the window's first present value (Kernels::counts).
template <class I>
struct WindowCounts {
    I n, differ;
};
template <class I>
[[gnu::always_inline]] inline WindowCounts<I> window_counts(const std::int32_t *count, const std::int32_t *changes,
                                                            const std::int32_t *upto, std::size_t len, int at) {
    return {qv::load_lanes<I>(count + len + at) - qv::load_lanes<I>(count + at),
            qv::load_lanes<I>(changes + len + at) > qv::load_lanes<I>(upto + at)};
}

// The counts of windows with missing values (Kernels::counts). Each test is a compare and a
// select of 1.0 or 0.0 (as the finishers' tests), which every instruction set takes as such.
template <class V, int R>
[[gnu::always_inline]] inline int counts_in(const std::int32_t *count, const std::int32_t *changes,
                                            const std::int32_t *upto, std::size_t len, double need, double *n,
                                            double *differs) {
    constexpr int W = qv::lane_width<V>;
    using I = typename Int32Lanes<W>::type;
    const I needs = I{} + static_cast<std::int32_t>(need < INT32_MAX ? need : INT32_MAX);
    I same = {}, short_of = {};
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) {
        const auto [c, differ] = window_counts<I>(count, changes, upto, len, i * W);
        store(n + i * W, __builtin_convertvector(c, V));
        store(differs + i * W, __builtin_convertvector(differ & 1, V));
        same |= ~differ;
        short_of |= c < needs;
    }
    return (none_set_i(same) ? ALL_DIFFER : 0) | (none_set_i(short_of) ? ENOUGH : 0);
}

// The changes among eight rows before each of them and itself: prefix[m][i] the bits of m at i
// and below.
struct ChangePrefixes {
    std::uint8_t at[256][8];
    constexpr ChangePrefixes() : at{} {
        for (int m = 0; m < 256; ++m)
            for (int i = 0, n = 0; i < 8; ++i) at[m][i] = static_cast<std::uint8_t>(n += (m >> i) & 1);
    }
};
constexpr ChangePrefixes CHANGE_PREFIXES{};

// Layout::present_blocks over the blocks whose rows are all present (the row before them is):
// row t + i is the (present + i)-th present value; with changes, the test gives the rows of the
// block that differ from the row before (bit i: row t + i), else -1 where a row is missing.
template <class Test>
[[gnu::always_inline]] inline std::uint32_t present_blocks_in(const double *x, std::uint32_t t, std::uint32_t end,
                                                               Layout &l, Test each) {
    using Octet = std::uint32_t __attribute__((vector_size(32)));
    using Bytes = std::uint8_t __attribute__((vector_size(8)));
    const Octet on = {1, 2, 3, 4, 5, 6, 7, 8};
    const bool changes = l.changes != nullptr;
    // Kept in registers: the stores below may alias l's fields for all the compiler knows.
    std::uint32_t present = l.present, changed = l.changed;
    for (; t + 8 <= end; t += 8) {
        const int m = each(x + t, changes);
        if (m < 0) break;
        std::memcpy(l.summand + t, x + t, 8 * sizeof(double));
        if (l.masks != nullptr) std::memset(l.masks + t, 0xFF, 8 * sizeof(std::uint64_t));
        const Octet counts = on + present;
        std::memcpy(l.count + t + 1, &counts, sizeof counts);
        present += 8;
        if (changes) {
            const Octet c = (m == 0xFF ? on : __builtin_convertvector(qv::load_lanes<Bytes>(CHANGE_PREFIXES.at[m]), Octet)) +
                            changed;
            std::memcpy(l.changes + t + 1, &c, sizeof c);
            std::memcpy(l.upto + t, &c, sizeof c);
            changed = c[7];
        }
    }
    l.present = present;
    l.changed = changed;
    return t;
}

// The test of eight rows in pairs: -1 where one is a NaN, else (changes) the rows that differ
// from the row before.
[[gnu::always_inline]] inline int each_in_pairs(const double *x, bool changes) {
    typedef std::int64_t v2i __attribute__((vector_size(16)));
    v2i nan = {};
    int m = 0;
#pragma GCC unroll 4
    for (int i = 0; i < 8; i += 2) {
        const v2d p = qv::load_lanes<v2d>(x + i), q = qv::load_lanes<v2d>(x + i - 1);
        nan |= p != p;
        const v2i d = p != q;
        m |= static_cast<int>((d[0] & 1) | (d[1] & 2)) << i;
    }
    return (nan[0] | nan[1]) != 0 ? -1 : changes ? m : 0;
}

// MEAN of windows with missing values at consecutive rows from their counts as Kernels::counts
// takes them, each over its own count, x1 each window's first row's value.
template <class V, int R>
[[gnu::always_inline]] inline int means_of_counts_in(const double *s, const std::int32_t *count,
                                                     const std::int32_t *changes, const std::int32_t *upto,
                                                     std::size_t len, const double *x1, double *r) {
    constexpr int W = qv::lane_width<V>;
    using I = typename Int32Lanes<W>::type;
    I same = {};
    V sum = {};
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) {
        const auto [c, differ] = window_counts<I>(count, changes, upto, len, i * W);
        const V m = qv::mean_from(__builtin_convertvector(differ, MaskOf<V>), qv::load_lanes<V>(s + i * W),
                                  __builtin_convertvector(c, V), qv::load_lanes<V>(x1 + i * W));
        same |= ~differ;
        sum += m;
        store(r + i * W, m);
    }
    return (none_set_i(same) ? ALL_DIFFER : 0) | (all_numbers(sum) ? ALL_NUMBERS : 0);
}

// The sum of R vectors at r: a NaN in a lane where one of them is.
template <class V, int R>
[[gnu::always_inline]] inline int numbers_of(const double *r) {
    constexpr int W = qv::lane_width<V>;
    V sum = {};
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) sum += qv::load_lanes<V>(r + i * W);
    return all_numbers(sum) ? ALL_NUMBERS : 0;
}

template <class V, int R>
[[gnu::always_inline]] inline int means_in(const double *s, double n, const double *x1, const std::int64_t *differs,
                                           double *r) {
    qv::mean_lanes<V, MaskOf<V>, R>(s, n, x1, differs, r);
    return numbers_of<V, R>(r);
}

// A W x W block of doubles transposed in W vectors, in log2(W) rounds: round B pairs vector i with
// vector i + B (i without bit B) and swaps the B x B blocks off their diagonal. Lane P of the pair's
// low result takes lane P of a where bit B of P is clear and lane P - B of b where it is set; the
// high result, lane P + B of a and lane P of b.
template <class V, int W, int B, bool HI, std::size_t... P>
[[gnu::always_inline]] inline V swap_lanes(V a, V b, std::index_sequence<P...>) {
    return __builtin_shufflevector(a, b, (HI ? ((P & B) ? W + P : P + B) : ((P & B) ? W + P - B : P))...);
}
template <class V, int B>
[[gnu::always_inline]] inline void swap_round(V *m) {
    constexpr int W = qv::lane_width<V>;
#pragma GCC unroll 8
    for (int i = 0; i < W; ++i)
        if ((i & B) == 0) {
            const V a = m[i], b = m[i + B];
            m[i] = swap_lanes<V, W, B, false>(a, b, std::make_index_sequence<W>{});
            m[i + B] = swap_lanes<V, W, B, true>(a, b, std::make_index_sequence<W>{});
        }
}
template <class V>
[[gnu::always_inline]] inline void transpose(V *m) {
    constexpr int W = qv::lane_width<V>;
    swap_round<V, 1>(m);
    if constexpr (W >= 4) swap_round<V, 2>(m);
    if constexpr (W >= 8) swap_round<V, 4>(m);
}

// Rows [c * part, c * part + rows) of x as column c of t, W columns side by side.
template <class V>
[[gnu::always_inline]] inline void to_columns_in(const double *x, std::size_t part, std::size_t rows, double *t) {
    constexpr int W = qv::lane_width<V>;
    std::size_t i = 0;
    for (; i + W <= rows; i += W) {
        V m[W];
#pragma GCC unroll 8
        for (int c = 0; c < W; ++c) m[c] = qv::load_lanes<V>(x + c * part + i);
        transpose(m);
#pragma GCC unroll 8
        for (int c = 0; c < W; ++c) store(t + (i + c) * W, m[c]);
    }
    for (; i < rows; ++i)
        for (int c = 0; c < W; ++c) t[i * W + c] = x[c * part + i];
}

// A block's results r in columns (lane q * W + c the q-th of column c) to out + c * part + q.
template <class V, int R>
[[gnu::always_inline]] inline void from_columns_in(const double *r, double *out, std::size_t part) {
    constexpr int W = qv::lane_width<V>;
#pragma GCC unroll 8
    for (int g = 0; g < R; g += W) {
        V m[W];
#pragma GCC unroll 8
        for (int q = 0; q < W; ++q) m[q] = qv::load_lanes<V>(r + (g + q) * W);
        transpose(m);
#pragma GCC unroll 8
        for (int c = 0; c < W; ++c) store(out + c * part + g, m[c]);
    }
}

// The spreads' quotients in lanes; a kernel takes the square roots of STD's and STDERR's with
// its own instruction (correctly rounded, as the scalar one is) and then looks for NaNs. The
// vectors are moved with memcpy, not the inline helpers: clang refuses a vector passed to or from
// a function without the kernel's instruction set, even one that is always inlined.
#define QV_SPREADS(V, R, root)                                                                  \
    qv::spread_lanes<K, V, R>(css, n, r);                                                       \
    if constexpr (qv::spread_rooted(K)) {                                                       \
        for (int i = 0; i < R * qv::lane_width<V>; i += qv::lane_width<V>) {                    \
            V x;                                                                                \
            std::memcpy(&x, r + i, sizeof x);                                                   \
            x = root;                                                                           \
            std::memcpy(r + i, &x, sizeof x);                                                   \
        }                                                                                       \
    }                                                                                           \
    return numbers_of<V, R>(r)

// The kernels every instruction set takes alike, eight vectors V (of W doubles) a block, each with
// the function attribute ATTR.
#define QV_FINISHERS(isa, ATTR, V, W)                                                                       \
    ATTR void transposed_sums_##isa(const double *t, std::size_t len, double start, double *s) {          \
        qv::sum_lanes<V, 8>(qv::Transposed<W>{t}, len, start, s);                                          \
    }                                                                                                     \
    ATTR void transposed_squares_##isa(const double *t, std::size_t len, double *s) {                     \
        qv::square_lanes<V, 8>(qv::Transposed<W>{t}, len, s);                                             \
    }                                                                                                     \
    ATTR void to_columns_##isa(const double *x, std::size_t part, std::size_t rows, double *t) {          \
        to_columns_in<V>(x, part, rows, t);                                                                \
    }                                                                                                     \
    ATTR void from_columns_##isa(const double *r, double *out, std::size_t part) {                         \
        from_columns_in<V, 8>(r, out, part);                                                               \
    }                                                                                                     \
    ATTR bool next_differ_##isa(const double *x1, std::size_t next) { return next_differ_in<V, 8>(x1, next); } \
    ATTR int means_next_##isa(const double *s, double n, const double *x1, std::size_t next, double *r) { \
        return means_next_in<V, 8>(s, n, x1, next, r);                                                     \
    }                                                                                                     \
    ATTR int means_##isa(const double *s, double n, const double *x1, const std::int64_t *differs, double *r) { \
        return means_in<V, 8>(s, n, x1, differs, r);                                                       \
    }                                                                                                     \
    ATTR int means_of_counts_##isa(const double *s, const std::int32_t *count, const std::int32_t *changes,     \
                                   const std::int32_t *upto, std::size_t len, const double *x1, double *r) {  \
        return means_of_counts_in<V, 8>(s, count, changes, upto, len, x1, r);                              \
    }                                                                                                     \
    ATTR void deviation_means_##isa(const double *s, double n, double *mean) {                             \
        qv::deviation_mean_lanes<V, 8>(s, n, mean);                                                        \
    }                                                                                                     \
    ATTR void deviation_means_counted_##isa(const double *s, const double *n, double *mean) {              \
        qv::deviation_mean_lanes<V, 8>(s, n, mean);                                                        \
    }                                                                                                     \
    ATTR int counts_##isa(const std::int32_t *count, const std::int32_t *changes, const std::int32_t *upto,   \
                          std::size_t len, double need, double *n, double *differs) {                     \
        return counts_in<V, 8>(count, changes, upto, len, need, n, differs);                               \
    }

void sums_sse2(qv::Consecutive x, std::size_t len, double start, double *s) { qv::sum_lanes<v2d, 8>(x, len, start, s); }
void squares_sse2(qv::Consecutive x, std::size_t len, double *s) { qv::square_lanes<v2d, 8>(x, len, s); }
void deviations_sse2(qv::Consecutive x, const std::uint64_t *present, std::size_t len, const double *mean, double *css) {
    qv::deviation_lanes<v2d, v2u, 4>(x, present, len, mean, css);
    qv::deviation_lanes<v2d, v2u, 4>(qv::Consecutive{x.x + 8}, present == nullptr ? nullptr : present + 8, len, mean + 8,
                                     css + 8);
}
bool numbers_sse2(const double *x, std::size_t n) { return numbers_in<v2d>(x, n); }
std::uint32_t present_blocks_sse2(const double *x, std::uint32_t t, std::uint32_t end, Layout &l) {
    return present_blocks_in(x, t, end, l, each_in_pairs);
}
void transposed_deviations_sse2(const double *t, std::size_t len, const double *mean, double *css) {
    qv::deviation_lanes<v2d, v2u, 4>(qv::Transposed<2>{t}, nullptr, len, mean, css);
    qv::deviation_lanes<v2d, v2u, 4>(qv::Transposed<2>{t + 8}, nullptr, len, mean + 8, css + 8);
}
void transposed_masked_deviations_sse2(const double *t, const double *m, std::size_t len, const double *mean,
                                       double *css) {
    qv::masked_deviation_lanes<v2d, v2u, 4>(qv::Transposed<2>{t}, qv::TransposedMasks<2>{m}, len, mean, css);
    qv::masked_deviation_lanes<v2d, v2u, 4>(qv::Transposed<2>{t + 8}, qv::TransposedMasks<2>{m + 8}, len, mean + 8,
                                            css + 8);
}
QV_FINISHERS(sse2, , v2d, 2)
#ifdef __x86_64__
#define QV_ROOT128 _mm_sqrt_pd(x)
#else
#define QV_ROOT128 (v2d{std::sqrt(x[0]), std::sqrt(x[1])})
#endif
template <qv::Spread K, class N>
int spreads_sse2(const double *css, N n, double *r) {
    QV_SPREADS(v2d, 8, QV_ROOT128);
}

#if defined(__x86_64__) && !defined(QV_SUM_LANES_NARROW)
#define QV_SUM_LANES_WIDE 1

#define AVX2 [[gnu::target("avx2")]]
AVX2 void sums_avx2(qv::Consecutive x, std::size_t len, double start, double *s) { qv::sum_lanes<v4d, 8>(x, len, start, s); }
AVX2 void squares_avx2(qv::Consecutive x, std::size_t len, double *s) { qv::square_lanes<v4d, 8>(x, len, s); }
AVX2 void deviations_avx2(qv::Consecutive x, const std::uint64_t *present, std::size_t len, const double *mean,
                          double *css) {
    qv::deviation_lanes<v4d, v4u, 8>(x, present, len, mean, css);
}
AVX2 bool numbers_avx2(const double *x, std::size_t n) { return numbers_in<v4d>(x, n); }
AVX2 [[gnu::always_inline]] inline int each_in_quads(const double *y, bool changes) {
    const __m256d a = _mm256_loadu_pd(y), b = _mm256_loadu_pd(y + 4);
    if (_mm256_movemask_pd(_mm256_or_pd(_mm256_cmp_pd(a, a, _CMP_UNORD_Q), _mm256_cmp_pd(b, b, _CMP_UNORD_Q))) != 0)
        return -1;
    if (!changes) return 0;
    return _mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_loadu_pd(y - 1), _CMP_NEQ_OQ)) |
           _mm256_movemask_pd(_mm256_cmp_pd(b, _mm256_loadu_pd(y + 3), _CMP_NEQ_OQ)) << 4;
}
AVX2 std::uint32_t present_blocks_avx2(const double *x, std::uint32_t t, std::uint32_t end, Layout &l) {
    return present_blocks_in(x, t, end, l, each_in_quads);
}
AVX2 void transposed_deviations_avx2(const double *t, std::size_t len, const double *mean, double *css) {
    qv::deviation_lanes<v4d, v4u, 8>(qv::Transposed<4>{t}, nullptr, len, mean, css);
}
AVX2 void transposed_masked_deviations_avx2(const double *t, const double *m, std::size_t len, const double *mean,
                                            double *css) {
    qv::masked_deviation_lanes<v4d, v4u, 8>(qv::Transposed<4>{t}, qv::TransposedMasks<4>{m}, len, mean, css);
}
QV_FINISHERS(avx2, AVX2, v4d, 4)
template <qv::Spread K, class N>
AVX2 int spreads_avx2(const double *css, N n, double *r) {
    QV_SPREADS(v4d, 8, _mm256_sqrt_pd(x));
}

#define AVX512 [[gnu::target("avx512f")]]
template <class Src>
AVX512 void sums_avx512(Src x, std::size_t len, double start, double *s) {
    qv::sum_lanes<v8d, 8>(x, len, start, s);
}
AVX512 void squares_avx512(qv::Consecutive x, std::size_t len, double *s) { qv::square_lanes<v8d, 8>(x, len, s); }
template <class Src>
AVX512 void deviations_avx512(Src x, const std::uint64_t *present, std::size_t len, const double *mean, double *css) {
    qv::deviation_lanes<v8d, v8u, 8>(x, present, len, mean, css);
}
AVX512 void transposed_deviations_avx512(const double *t, std::size_t len, const double *mean, double *css) {
    qv::deviation_lanes<v8d, v8u, 8>(qv::Transposed<8>{t}, nullptr, len, mean, css);
}
AVX512 void transposed_masked_deviations_avx512(const double *t, const double *m, std::size_t len, const double *mean,
                                                double *css) {
    qv::masked_deviation_lanes<v8d, v8u, 8>(qv::Transposed<8>{t}, qv::TransposedMasks<8>{m}, len, mean, css);
}
QV_FINISHERS(avx512, AVX512, v8d, 8)
AVX512 [[gnu::always_inline]] inline int each_in_octets(const double *y, bool changes) {
    const __m512d v = _mm512_loadu_pd(y);
    if (_mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q) != 0) return -1;
    return changes ? _mm512_cmp_pd_mask(v, _mm512_loadu_pd(y - 1), _CMP_NEQ_OQ) : 0;
}
AVX512 std::uint32_t present_blocks_avx512(const double *x, std::uint32_t t, std::uint32_t end, Layout &l) {
    return present_blocks_in(x, t, end, l, each_in_octets);
}
// The masked form, whose other lanes come from x: the plain one starts from an undefined vector,
// which GCC 12 warns of.
template <qv::Spread K, class N>
AVX512 int spreads_avx512(const double *css, N n, double *r) {
    QV_SPREADS(v8d, 8, _mm512_mask_sqrt_pd(x, 0xFF, x));
}

#endif

#define SPREADS(isa, N)                                                                                          \
    spreads_##isa<qv::Spread::Css, N>, spreads_##isa<qv::Spread::Var, N>, spreads_##isa<qv::Spread::Std, N>, \
        spreads_##isa<qv::Spread::Stderr, N>
#define COUNTED(isa) counts_##isa, deviation_means_counted_##isa, { SPREADS(isa, const double *) }
#define TRANSPOSED(isa)                                                                          \
    transposed_sums_##isa, transposed_squares_##isa, transposed_deviations_##isa,                  \
        transposed_masked_deviations_##isa, to_columns_##isa,                                       \
        from_columns_##isa
constexpr Kernels KERNELS[] = {
    {16, 2, sums_sse2, squares_sse2, deviations_sse2, nullptr, nullptr, TRANSPOSED(sse2), present_blocks_sse2, numbers_sse2,
     next_differ_sse2, means_next_sse2, means_sse2, means_of_counts_sse2, deviation_means_sse2, {SPREADS(sse2, double)}, COUNTED(sse2)},
#ifdef QV_SUM_LANES_WIDE
    {32, 4, sums_avx2, squares_avx2, deviations_avx2, nullptr, nullptr, TRANSPOSED(avx2), present_blocks_avx2, numbers_avx2,
     next_differ_avx2, means_next_avx2, means_avx2, means_of_counts_avx2, deviation_means_avx2, {SPREADS(avx2, double)}, COUNTED(avx2)},
    {64, 8, sums_avx512<qv::Consecutive>, squares_avx512, deviations_avx512<qv::Consecutive>, sums_avx512<qv::Shifted>,
     deviations_avx512<qv::Shifted>, TRANSPOSED(avx512), present_blocks_avx512, numbers_avx2, next_differ_avx512, means_next_avx512, means_avx512,
     means_of_counts_avx512, deviation_means_avx512, {SPREADS(avx512, double)}, COUNTED(avx512)},
#endif
};

}  // namespace

const Kernels &kernels() noexcept {
    static const int widest = [] {
#ifdef QV_SUM_LANES_WIDE
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") ? 2 : __builtin_cpu_supports("avx2") ? 1 : 0;
#else
        return 0;
#endif
    }();
    const int limit = sum_windows_limit.load(std::memory_order_relaxed) - 1;
    return KERNELS[limit < widest ? (limit < 0 ? 0 : limit) : widest];
}

}  // namespace qvhost

// The lane kernels of rowlanes.hpp. Each kernel inlines the package's rule (always inlined there),
// whose primitives over vectors are given here for each instruction set; a vector passes by value
// only inside a kernel (see sumlanes.cpp for the warning the build turns off for such files).
#include "rowlanes.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "qv/devsum.hpp"
#include "qv/elementary.hpp"
#include "qv/listsum.hpp"
#include "qv/roundunit.hpp"

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace qvhost {

std::atomic<int> row_lanes_limit{2};

}  // namespace qvhost

#ifdef __x86_64__

// The AVX2 kernels pass 32-byte vectors between the rule's functions, compiled for the default
// instruction set and always inlined, and the primitives, compiled for AVX2: GCC accepts the calls
// (the build turns its warning off for this file), clang refuses them, and R's build allows no
// flag to turn the warning off (QV_SUM_LANES_NARROW, as for the moving sums). Those builds keep
// to SSE4.1, whose 16-byte vectors pass alike for every instruction set.
#if !defined(QV_SUM_LANES_NARROW) && !defined(__clang__)
#define QV_ROW_LANES_WIDE 1
#endif

typedef double qv_row_v2d __attribute__((vector_size(16)));
typedef double qv_row_v4d __attribute__((vector_size(32)));
typedef std::uint64_t qv_row_v2u __attribute__((vector_size(16)));
typedef std::uint64_t qv_row_v4u __attribute__((vector_size(32)));

#define QV_SSE41 [[gnu::target("sse4.1")]]
#define QV_AVX2 [[gnu::target("avx2")]]

namespace qv {

// The processor's IEEE floor and ceiling (rounding to integral towards minus and plus infinity),
// which give floor_of's and ceil_of's results on every number; the absolute value clears the sign
// bit as fabs does; the truncation to a 32-bit integer gives the integer indefinite value (the
// most negative integer) for a NaN or a value out of range, as qv::to_i32 does.
constexpr std::uint64_t MAGNITUDE = 0x7FFFFFFFFFFFFFFFull;
constexpr int DOWN = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
constexpr int UP = _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC;

template <>
struct Prim<qv_row_v2d> {
    using V = qv_row_v2d;
    QV_SSE41 static V abs(V v) { return (V)((qv_row_v2u)v & MAGNITUDE); }
    QV_SSE41 static V sqrt(V v) { return _mm_sqrt_pd(v); }
    QV_SSE41 static V floor(V y) { return _mm_round_pd(y, DOWN); }
    QV_SSE41 static V ceil(V y) { return _mm_round_pd(y, UP); }
    QV_SSE41 static V trunc32(V v) { return _mm_cvtepi32_pd(_mm_cvttpd_epi32(v)); }
};

#ifdef QV_ROW_LANES_WIDE
template <>
struct Prim<qv_row_v4d> {
    using V = qv_row_v4d;
    QV_AVX2 static V abs(V v) { return (V)((qv_row_v4u)v & MAGNITUDE); }
    QV_AVX2 static V sqrt(V v) { return _mm256_sqrt_pd(v); }
    QV_AVX2 static V floor(V y) { return _mm256_round_pd(y, DOWN); }
    QV_AVX2 static V ceil(V y) { return _mm256_round_pd(y, UP); }
    QV_AVX2 static V trunc32(V v) { return _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(v)); }
};
#endif

}  // namespace qv

namespace qvhost {

namespace {

// Whether every lane of a mask is set, and whether every lane of a vector is a number (not a NaN),
// the latter by the processor's ordered compare: GCC would take a vector's x == x lane by
// lane.
QV_SSE41 bool all_set(decltype(qv_row_v2d{} == qv_row_v2d{}) m) { return _mm_movemask_pd((__m128d)m) == 0x3; }
QV_SSE41 bool all_numbers(qv_row_v2d a) { return _mm_movemask_pd(_mm_cmpunord_pd(a, a)) == 0; }
#ifdef QV_ROW_LANES_WIDE
QV_AVX2 bool all_set(decltype(qv_row_v4d{} == qv_row_v4d{}) m) { return _mm256_movemask_pd((__m256d)m) == 0xF; }
QV_AVX2 bool all_numbers(qv_row_v4d a) { return _mm256_movemask_pd(_mm256_cmp_pd(a, a, _CMP_UNORD_Q)) == 0; }
#endif

template <class F>
using Rule = std::remove_cvref_t<F>;

// A vector of x in every lane (V{} + x would turn -0.0 into +0.0).
template <class V>
[[gnu::always_inline]] inline V filled(double x) {
    V v;
    for (std::size_t j = 0; j < sizeof(V) / sizeof(double); ++j) v[j] = x;
    return v;
}

// Two vectors a step, each tested on its own: the second's loads and tests overlap the first's, and
// where the second stops the lanes the first's results are kept. The loop is written into each
// instruction set's function itself: the rule's compares, taken in a function of the default set
// and inlined, would be taken lane by lane. The rule is computed also where its test fails, which
// costs nothing but the lanes' time, since nothing of those lanes is kept.
#define QV_LANES_LOOP(V, ok_of, result_of)                                                               \
    constexpr std::size_t W = sizeof(V) / sizeof(double), B = 2 * W;                                     \
    std::size_t i = 0;                                                                                   \
    for (; i + B <= m; i += B) {                                                                         \
        V a, b;                                                                                          \
        std::memcpy(&a, in + i, sizeof a);                                                               \
        std::memcpy(&b, in + i + W, sizeof b);                                                           \
        const V ra = result_of(a), rb = result_of(b);                                                    \
        const bool ok_a = ok_of(a) && all_numbers(ra), ok_b = ok_of(b) && all_numbers(rb);               \
        if (!ok_a) break;                                                                                \
        std::memcpy(out + i, &ra, sizeof ra);                                                            \
        if (!ok_b) return i + W;                                                                         \
        std::memcpy(out + i + W, &rb, sizeof rb);                                                        \
    }                                                                                                    \
    return i;

// any_number accepts every number (and GCC would take its x == x lane by lane).
#define QV_ROW_LANES(isa, ATTR, V)                                                                       \
    template <class Accept, class Compute>                                                               \
    ATTR std::size_t lanes_##isa(const double *in, double *out, std::size_t m) noexcept {                \
        constexpr bool every = std::is_same_v<Accept, Rule<decltype(qv::scalar::any_number)>>;           \
        const Accept accept{};                                                                           \
        const Compute compute{};                                                                         \
        const auto ok_of = [&](V v) __attribute__((always_inline)) {                                    \
            return all_numbers(v) && (every || all_set(accept(v)));                                      \
        };                                                                                               \
        QV_LANES_LOOP(V, ok_of, compute)                                                                 \
    }                                                                                                    \
    const LaneRows LANES_##isa[] = {                                                                     \
        lanes_##isa<Rule<decltype(qv::scalar::any_number)>, Rule<decltype(qv::scalar::abs_of)>>,         \
        lanes_##isa<Rule<decltype(qv::scalar::not_negative)>, Rule<decltype(qv::scalar::sqrt_of)>>,      \
        lanes_##isa<Rule<decltype(qv::scalar::not_zero)>, Rule<decltype(qv::scalar::recip_of)>>,         \
        lanes_##isa<Rule<decltype(qv::scalar::any_number)>, Rule<decltype(qv::scalar::ceil_fuzzed)>>,    \
        lanes_##isa<Rule<decltype(qv::scalar::any_number)>, Rule<decltype(qv::scalar::ceil_exact)>>,     \
        lanes_##isa<Rule<decltype(qv::scalar::any_number)>, Rule<decltype(qv::scalar::floor_fuzzed)>>,   \
        lanes_##isa<Rule<decltype(qv::scalar::any_number)>, Rule<decltype(qv::scalar::floor_exact)>>,    \
        lanes_##isa<Rule<decltype(qv::scalar::any_number)>, Rule<decltype(qv::scalar::int_fuzzed)>>,     \
        lanes_##isa<Rule<decltype(qv::scalar::any_number)>, Rule<decltype(qv::scalar::int_exact)>>,      \
    };                                                                                                   \
    static_assert(std::size(LANES_##isa) == static_cast<std::size_t>(LaneFn::Count));

// ROUND by one unit: a vector goes on in lanes where every value's quotient by the unit is at most
// 2^49 and the unit is not negligible against it (tested only where a unit is given: divide).
#define QV_ROUND_LANES(isa, ATTR, V)                                                                     \
    ATTR [[gnu::flatten]] std::size_t round_lanes_##isa(const double *in, double *out, std::size_t m,      \
                                                        double unit, bool divide) noexcept {              \
        using namespace qv::unit_round;                                                                  \
        const auto quotient = [&](V v) __attribute__((always_inline)) {                                 \
            const V q = qv::Prim<V>::abs(v);                                                             \
            return divide ? V(q / unit) : q;                                                             \
        };                                                                                               \
        const auto ok_of = [&](V v) __attribute__((always_inline)) {                                    \
            const V q = qv::Prim<V>::abs(v);                                                             \
            return all_numbers(v) && (!divide || all_set(NEGLIGIBLE_UNIT_RATIO * q <= unit)) &&          \
                   all_set(quotient(v) <= TWO_49);                                                       \
        };                                                                                               \
        const auto result_of = [&](V v) __attribute__((always_inline)) {                                \
            return round_within(v, quotient(v), unit);                                                   \
        };                                                                                               \
        QV_LANES_LOOP(V, ok_of, result_of)                                                               \
    }

// Two vectors of rows a step, their sums' chains side by side. A row's k-th value is loaded on its
// own into its lane; a present value is a number (a NaN, missing or not, is '.'), a missing one
// adds -0.0 to the forward sum (+0.0 to a sum from 0.0) and +0.0 to a sum of squares, which leaves
// each as it was. The deviation sums go on only where every row's values differ and are enough.
#define QV_SUM_ROWS(isa, ATTR, V)                                                                        \
    template <SumStat S>                                                                                 \
    ATTR std::size_t sum_rows_##isa(const char *first, std::ptrdiff_t stride, std::size_t n, std::size_t m, \
                                    double *r) noexcept {                                                \
        using M = decltype(V{} == V{});                                                                  \
        constexpr std::size_t W = sizeof(V) / sizeof(double);                                            \
        constexpr bool spread = S == SumStat::Css || S == SumStat::Var || S == SumStat::Std ||           \
                                S == SumStat::Stderr;                                                    \
        constexpr qv::Spread K = S == SumStat::Css   ? qv::Spread::Css                                   \
                                 : S == SumStat::Var ? qv::Spread::Var                                   \
                                 : S == SumStat::Std ? qv::Spread::Std                                   \
                                                     : qv::Spread::Stderr;                               \
        const double need = spread ? (S == SumStat::Css ? qv::CSS_RULE : qv::SPREAD_RULE).min_n : 1;   \
        std::size_t i = 0;                                                                               \
        for (; i + 2 * W <= m; i += 2 * W) {                                                             \
            const double *row[2 * W];                                                                    \
            for (std::size_t j = 0; j < 2 * W; ++j)                                                      \
                row[j] = reinterpret_cast<const double *>(first + static_cast<std::ptrdiff_t>(i + j) * stride); \
            V x[2] = {}, s[2], cnt[2], x1[2];                                                            \
            M have[2], differs[2];                                                                       \
            _Pragma("GCC unroll 2") for (int h = 0; h < 2; ++h) {                                                                \
                s[h] = filled<V>(S == SumStat::Mean || spread ? -0.0 : 0.0);                             \
                cnt[h] = filled<V>(0.0);                                                                 \
                x1[h] = cnt[h];                                                                          \
                have[h] = differs[h] = M{};                                                              \
            }                                                                                            \
            for (std::size_t t = 0; t < n; ++t) {                                                        \
                /* USS adds its squares last value first */                                             \
                const std::size_t k = S == SumStat::Uss ? n - 1 - t : t;                                 \
                _Pragma("GCC unroll 2") for (int h = 0; h < 2; ++h) {                                                            \
                    _Pragma("GCC unroll 4") for (std::size_t j = 0; j < W; ++j) x[h][j] = row[h * W + j][k];                     \
                    const M present = x[h] == x[h];                                                      \
                    cnt[h] = cnt[h] + (present ? filled<V>(1.0) : filled<V>(0.0));                       \
                    if constexpr (S == SumStat::Uss) {                                                   \
                        s[h] = qv::square_add(s[h], present ? x[h] : filled<V>(0.0));                    \
                    } else {                                                                             \
                        s[h] = qv::sum_add(s[h], present ? x[h] : filled<V>(-0.0));                      \
                        differs[h] = differs[h] | (present & have[h] & (x[h] != x1[h]));                 \
                        x1[h] = have[h] ? x1[h] : x[h];                                                  \
                        have[h] = have[h] | present;                                                     \
                    }                                                                                    \
                }                                                                                        \
            }                                                                                            \
            V res[2], mean[2], css[2];                                                                   \
            bool ok[2];                                                                                  \
            _Pragma("GCC unroll 2") for (int h = 0; h < 2; ++h) {                                                                \
                ok[h] = all_set(cnt[h] >= need) && (!spread || all_set(differs[h]));                     \
                if constexpr (S == SumStat::Mean) res[h] = qv::mean_from(differs[h], s[h], cnt[h], x1[h]); \
                else res[h] = s[h];                                                                      \
                mean[h] = qv::deviation_mean_from(s[h], cnt[h]);                                         \
                css[h] = filled<V>(0.0);                                                                 \
            }                                                                                            \
            if constexpr (spread) {                                                                      \
                for (std::size_t k = 0; k < n; ++k)                                                      \
                    _Pragma("GCC unroll 2") for (int h = 0; h < 2; ++h) {                                                        \
                        _Pragma("GCC unroll 4") for (std::size_t j = 0; j < W; ++j) x[h][j] = row[h * W + j][k];                 \
                        const V sq = qv::deviation_square(x[h], mean[h]);                                \
                        css[h] = qv::sum_add(css[h], x[h] == x[h] ? sq : filled<V>(0.0));                \
                    }                                                                                    \
                _Pragma("GCC unroll 2") for (int h = 0; h < 2; ++h) {                                                            \
                    res[h] = qv::spread_quotient<K>(css[h], cnt[h] - 1.0, cnt[h]);                       \
                    if constexpr (qv::spread_rooted(K)) res[h] = qv::Prim<V>::sqrt(res[h]);              \
                }                                                                                        \
            }                                                                                            \
            _Pragma("GCC unroll 2") for (int h = 0; h < 2; ++h) ok[h] = ok[h] && all_numbers(res[h]);                            \
            if (!ok[0]) break;                                                                           \
            std::memcpy(r + i, &res[0], sizeof res[0]);                                                  \
            if (!ok[1]) return i + W;                                                                    \
            std::memcpy(r + i + W, &res[1], sizeof res[1]);                                              \
        }                                                                                                \
        return i;                                                                                        \
    }                                                                                                    \
    const SumRowLanes SUM_ROWS_##isa[] = {sum_rows_##isa<SumStat::Sum>, sum_rows_##isa<SumStat::Mean>,   \
                                          sum_rows_##isa<SumStat::Uss>, sum_rows_##isa<SumStat::Css>,    \
                                          sum_rows_##isa<SumStat::Var>, sum_rows_##isa<SumStat::Std>,    \
                                          sum_rows_##isa<SumStat::Stderr>};

QV_ROW_LANES(sse41, QV_SSE41, qv_row_v2d)
QV_ROUND_LANES(sse41, QV_SSE41, qv_row_v2d)
QV_SUM_ROWS(sse41, QV_SSE41, qv_row_v2d)
#ifdef QV_ROW_LANES_WIDE
QV_ROW_LANES(avx2, QV_AVX2, qv_row_v4d)
QV_ROUND_LANES(avx2, QV_AVX2, qv_row_v4d)
QV_SUM_ROWS(avx2, QV_AVX2, qv_row_v4d)
#endif

// The instruction set's level the kernels take: the machine's widest, as far as the limit lets.
int lanes_level() noexcept {
    static const int widest = [] {
        __builtin_cpu_init();
#ifdef QV_ROW_LANES_WIDE
        if (__builtin_cpu_supports("avx2")) return 2;
#endif
        return __builtin_cpu_supports("sse4.1") ? 1 : 0;
    }();
    const int limit = row_lanes_limit.load(std::memory_order_relaxed);
    return limit < widest ? limit : widest;
}

}  // namespace

LaneRows row_lanes(LaneFn f) noexcept {
    const auto k = static_cast<std::size_t>(f);
    switch (lanes_level()) {
    case 1: return LANES_sse41[k];
#ifdef QV_ROW_LANES_WIDE
    case 2: return LANES_avx2[k];
#endif
    default: return nullptr;
    }
}

RoundLanes round_lanes() noexcept {
    switch (lanes_level()) {
    case 1: return round_lanes_sse41;
#ifdef QV_ROW_LANES_WIDE
    case 2: return round_lanes_avx2;
#endif
    default: return nullptr;
    }
}

SumRowLanes sum_row_lanes(SumStat s) noexcept {
    if (s == SumStat::None || s == SumStat::Cv) return nullptr;
    const auto k = static_cast<std::size_t>(s) - static_cast<std::size_t>(SumStat::Sum);
    switch (lanes_level()) {
    case 1: return SUM_ROWS_sse41[k];
#ifdef QV_ROW_LANES_WIDE
    case 2: return SUM_ROWS_avx2[k];
#endif
    default: return nullptr;
    }
}

}  // namespace qvhost

#else

namespace qvhost {

LaneRows row_lanes(LaneFn) noexcept { return nullptr; }
RoundLanes round_lanes() noexcept { return nullptr; }
SumRowLanes sum_row_lanes(SumStat) noexcept { return nullptr; }

}  // namespace qvhost

#endif

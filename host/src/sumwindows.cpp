// Moving sums in vector lanes. The kernels below are compiled whole for each instruction set the
// machine may have, and picked once at run time; each inlines the package's steps, whose vector
// forms pass vectors by value only inside a kernel, so the ABI GCC warns about (-Wpsabi) for the
// wider vectors is never used across a call: the build turns that warning off for this file.
// QV_SUM_LANES_NARROW (and any processor other than x86-64) keeps to the 16-byte kernel, which
// every compiler and processor takes without that warning.

#include "sumwindows.hpp"

#include <cmath>
#include <cstring>

#include "internal.hpp"
#include "qv/lanes.hpp"

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace qvhost {

std::atomic<int> sum_windows_limit{3};

// The lane kernels of one instruction set, `lanes` windows a call. Eight vectors of sums at once
// keep both adders busy through the add's latency; the deviation pass of SSE2 runs four at a
// time, since its sixteen registers also hold the means. AVX-512 reads a stretch's shifted copies
// (aligned loads) where it has them. The finishers of a lane block take its sums in lanes too.
struct Kernels {
    std::size_t lanes;
    void (*sums)(qv::Consecutive x, std::size_t len, double start, double *s);
    void (*squares)(qv::Consecutive x, std::size_t len, double *s);
    void (*deviations)(qv::Consecutive x, const std::uint64_t *present, std::size_t len, const double *mean, double *css);
    void (*shifted_sums)(qv::Shifted x, std::size_t len, double start, double *s);
    void (*shifted_deviations)(qv::Shifted x, const std::uint64_t *present, std::size_t len, const double *mean,
                               double *css);
    // True when none of the n values at x is a NaN.
    bool (*numbers)(const double *x, std::size_t n);
    // differs[j] all ones where x[j + 1] differs from x[j] (j < lanes); true when it does for all.
    bool (*next_differs)(const double *x, std::int64_t *differs);
    void (*means)(const double *s, double n, const double *x1, const std::int64_t *differs, double *r);
    void (*deviation_means)(const double *s, double n, double *mean);
    // CSS, VAR, STD, STDERR (by qv::Spread) from the sums of squares css of n values each.
    void (*spreads[4])(const double *css, double n, double *r);
};

namespace {

typedef double v2d __attribute__((vector_size(16)));
typedef std::uint64_t v2u __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef std::uint64_t v4u __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef std::uint64_t v8u __attribute__((vector_size(64)));

constexpr std::size_t MAX_LANES = 64;
// Rows a stretch copies shifted at most (8 copies, 64 bytes a row), and the rows windows must
// span at least besides the stretch's own.
constexpr std::size_t SHIFTED_MOST = std::size_t{1} << 17, SHIFTED_LEAST = 256;

// The finishing kernels' bodies, for V vectors of doubles, R of them a lane block.
template <class V>
using MaskOf = decltype(V{} != V{});

template <class V>
[[gnu::always_inline]] inline bool none_set(MaskOf<V> m) {
    bool any = false;
    for (int i = 0; i < qv::lane_width<V>; ++i) any = any || m[i] != 0;
    return !any;
}

template <class V>
[[gnu::always_inline]] inline bool numbers_in(const double *x, std::size_t n) {
    constexpr std::size_t W = qv::lane_width<V>, STEP = 4 * W;
    MaskOf<V> nan = {};
    std::size_t i = 0;
    for (; i + STEP <= n; i += STEP)
#pragma GCC unroll 4
        for (std::size_t r = 0; r < STEP; r += W) {
            const V v = qv::load_lanes<V>(x + i + r);
            nan |= v != v;
        }
    for (; i < n; ++i)
        if (const double v = qv::load_lanes<double>(x + i); v != v) return false;
    return none_set<V>(nan);
}

template <class V, int R>
[[gnu::always_inline]] inline bool next_differs_in(const double *x, std::int64_t *differs) {
    constexpr int W = qv::lane_width<V>;
    MaskOf<V> same = {};
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
        const MaskOf<V> d = qv::load_lanes<V>(x + r * W) != qv::load_lanes<V>(x + r * W + 1);
        std::memcpy(differs + r * W, &d, sizeof d);
        same |= ~d;
    }
    return none_set<V>(same);
}

// The spreads' quotients in lanes and, for STD and STDERR, their square roots, correctly rounded
// as the scalar one is.
template <qv::Spread K>
void spreads_sse2(const double *css, double n, double *r) {
    qv::spread_lanes<K, v2d, 8>(css, n, r);
    if constexpr (qv::spread_rooted(K)) {
        for (int i = 0; i < 16; i += 2) {
#ifdef __x86_64__
            const v2d root = _mm_sqrt_pd(qv::load_lanes<v2d>(r + i));
            std::memcpy(r + i, &root, sizeof root);
#else
            r[i] = std::sqrt(r[i]);
            r[i + 1] = std::sqrt(r[i + 1]);
#endif
        }
    }
}

bool numbers_sse2(const double *x, std::size_t n) { return numbers_in<v2d>(x, n); }
bool next_differs_sse2(const double *x, std::int64_t *differs) { return next_differs_in<v2d, 8>(x, differs); }
void means_sse2(const double *s, double n, const double *x1, const std::int64_t *differs, double *r) {
    qv::mean_lanes<v2d, MaskOf<v2d>, 8>(s, n, x1, differs, r);
}
void deviation_means_sse2(const double *s, double n, double *mean) { qv::deviation_mean_lanes<v2d, 8>(s, n, mean); }

void sums_sse2(qv::Consecutive x, std::size_t len, double start, double *s) { qv::sum_lanes<v2d, 8>(x, len, start, s); }
void squares_sse2(qv::Consecutive x, std::size_t len, double *s) { qv::square_lanes<v2d, 8>(x, len, s); }
void deviations_sse2(qv::Consecutive x, const std::uint64_t *present, std::size_t len, const double *mean, double *css) {
    qv::deviation_lanes<v2d, v2u, 4>(x, present, len, mean, css);
    qv::deviation_lanes<v2d, v2u, 4>(qv::Consecutive{x.x + 8}, present == nullptr ? nullptr : present + 8, len, mean + 8,
                                     css + 8);
}

#if defined(__x86_64__) && !defined(QV_SUM_LANES_NARROW)
#define QV_SUM_LANES_WIDE 1

[[gnu::target("avx2")]] void sums_avx2(qv::Consecutive x, std::size_t len, double start, double *s) {
    qv::sum_lanes<v4d, 8>(x, len, start, s);
}
[[gnu::target("avx2")]] void squares_avx2(qv::Consecutive x, std::size_t len, double *s) {
    qv::square_lanes<v4d, 8>(x, len, s);
}
[[gnu::target("avx2")]] void deviations_avx2(qv::Consecutive x, const std::uint64_t *present, std::size_t len,
                                             const double *mean, double *css) {
    qv::deviation_lanes<v4d, v4u, 8>(x, present, len, mean, css);
}

[[gnu::target("avx2")]] bool numbers_avx2(const double *x, std::size_t n) { return numbers_in<v4d>(x, n); }
[[gnu::target("avx2")]] bool next_differs_avx2(const double *x, std::int64_t *differs) {
    return next_differs_in<v4d, 8>(x, differs);
}
[[gnu::target("avx2")]] void means_avx2(const double *s, double n, const double *x1, const std::int64_t *differs,
                                        double *r) {
    qv::mean_lanes<v4d, MaskOf<v4d>, 8>(s, n, x1, differs, r);
}
[[gnu::target("avx2")]] void deviation_means_avx2(const double *s, double n, double *mean) {
    qv::deviation_mean_lanes<v4d, 8>(s, n, mean);
}

// AVX-512F compares into mask registers, which its vectors of all ones are not made from: the
// comparisons take AVX2's vectors.
[[gnu::target("avx2")]] bool next_differs_avx512(const double *x, std::int64_t *differs) {
    return next_differs_in<v4d, 16>(x, differs);
}
template <qv::Spread K>
[[gnu::target("avx2")]] void spreads_avx2(const double *css, double n, double *r) {
    qv::spread_lanes<K, v4d, 8>(css, n, r);
    if constexpr (qv::spread_rooted(K)) {
        for (int i = 0; i < 32; i += 4) {
            const v4d root = _mm256_sqrt_pd(qv::load_lanes<v4d>(r + i));
            std::memcpy(r + i, &root, sizeof root);
        }
    }
}

template <qv::Spread K>
[[gnu::target("avx512f")]] void spreads_avx512(const double *css, double n, double *r) {
    qv::spread_lanes<K, v8d, 8>(css, n, r);
    if constexpr (qv::spread_rooted(K)) {
        for (int i = 0; i < 64; i += 8) {
            const v8d x = qv::load_lanes<v8d>(r + i), root = _mm512_mask_sqrt_pd(x, 0xFF, x);
            std::memcpy(r + i, &root, sizeof root);
        }
    }
}

[[gnu::target("avx512f")]] void means_avx512(const double *s, double n, const double *x1, const std::int64_t *differs,
                                             double *r) {
    qv::mean_lanes<v8d, MaskOf<v8d>, 8>(s, n, x1, differs, r);
}
[[gnu::target("avx512f")]] void deviation_means_avx512(const double *s, double n, double *mean) {
    qv::deviation_mean_lanes<v8d, 8>(s, n, mean);
}

template <class Src>
[[gnu::target("avx512f")]] void sums_avx512(Src x, std::size_t len, double start, double *s) {
    qv::sum_lanes<v8d, 8>(x, len, start, s);
}
[[gnu::target("avx512f")]] void squares_avx512(qv::Consecutive x, std::size_t len, double *s) {
    qv::square_lanes<v8d, 8>(x, len, s);
}
template <class Src>
[[gnu::target("avx512f")]] void deviations_avx512(Src x, const std::uint64_t *present, std::size_t len,
                                                  const double *mean, double *css) {
    qv::deviation_lanes<v8d, v8u, 8>(x, present, len, mean, css);
}

#endif

#define SPREADS(isa) \
    spreads_##isa<qv::Spread::Css>, spreads_##isa<qv::Spread::Var>, spreads_##isa<qv::Spread::Std>, \
        spreads_##isa<qv::Spread::Stderr>
constexpr Kernels KERNELS[] = {
    {16, sums_sse2, squares_sse2, deviations_sse2, nullptr, nullptr, numbers_sse2, next_differs_sse2, means_sse2,
     deviation_means_sse2, {SPREADS(sse2)}},
#ifdef QV_SUM_LANES_WIDE
    {32, sums_avx2, squares_avx2, deviations_avx2, nullptr, nullptr, numbers_avx2, next_differs_avx2, means_avx2,
     deviation_means_avx2, {SPREADS(avx2)}},
    {64, sums_avx512<qv::Consecutive>, squares_avx512, deviations_avx512<qv::Consecutive>, sums_avx512<qv::Shifted>,
     deviations_avx512<qv::Shifted>, numbers_avx2, next_differs_avx512, means_avx512, deviation_means_avx512,
     {SPREADS(avx512)}},
#endif
};

// The widest kernels the machine has, within the limit.
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

inline double load(const char *p) {
    double x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

std::size_t round_up(std::size_t n) { return (n + 63) & ~std::size_t{63}; }

template <SumStat S>
constexpr qv::DeviationRule rule_of() {
    return S == SumStat::Css ? qv::CSS_RULE : S == SumStat::Cv ? qv::CV_RULE : qv::SPREAD_RULE;
}

}  // namespace

bool SumWindows::reserve(WarmBlock &warm, std::size_t rows, std::size_t span) noexcept {
    // Copies pay where a window is long enough for its loads to outweigh them.
    shifted_ = kernels().shifted_sums != nullptr && span <= SHIFTED_MOST && span >= rows + SHIFTED_LEAST;
    const std::size_t copy = shifted_ ? span * sizeof(double) : 0;
    const std::size_t sizes[] = {rows * sizeof(Run), span * sizeof(double), span * sizeof(std::uint64_t),
                                 (span + 1) * 4, (span + 1) * 4, (span + 1) * 4,
                                 copy, copy, copy, copy, copy, copy, copy, copy};
    constexpr int PARTS = static_cast<int>(std::size(sizes));
    std::size_t total = 64;
    for (const std::size_t s : sizes) total += round_up(s);
    auto *p = static_cast<char *>(warm.reserve(total));
    if (p == nullptr) return false;
    p += (64 - reinterpret_cast<std::uintptr_t>(p) % 64) % 64;
    void *parts[PARTS];
    for (int i = 0; i < PARTS; ++i) {
        parts[i] = p;
        p += round_up(sizes[i]);
    }
    runs_ = static_cast<Run *>(parts[0]);
    runs_count_ = 0;
    copied_ = static_cast<double *>(parts[1]);
    present_ = static_cast<std::uint64_t *>(parts[2]);
    count_ = static_cast<std::uint32_t *>(parts[3]);
    first_ = static_cast<std::uint32_t *>(parts[4]);
    differ_ = static_cast<std::uint32_t *>(parts[5]);
    for (int d = 0; d < 8; ++d) copy_[d] = static_cast<double *>(parts[6 + d]);
    return true;
}

// The column's rows [base_, base_ + span_) as summands; unless dense, also as masks and counts,
// and for each present row the next present one that differs from it (by ==, which is transitive
// on the values a window holds: NaNs read as '.'), so a window's "differs from the first" is one
// comparison.
void SumWindows::prepare(const char *xs, std::ptrdiff_t stride) noexcept {
    const auto span = static_cast<std::uint32_t>(span_);
    const bool column = stride == static_cast<std::ptrdiff_t>(sizeof(double));
    dense_ = column && kernels_->numbers(reinterpret_cast<const double *>(xs), span);
    if (dense_ && reinterpret_cast<std::uintptr_t>(xs) % alignof(double) == 0) {
        summand_ = reinterpret_cast<const double *>(xs);
    } else if (dense_) {
        std::memcpy(copied_, xs, span * sizeof(double));
        summand_ = copied_;
    } else {
        double *const summand = copied_;
        std::uint32_t *const count = count_;
        std::uint32_t present = 0;
        count[0] = 0;
        for (std::uint32_t t = 0; t < span; ++t) {
            const double x = edge_value(load(xs + static_cast<std::ptrdiff_t>(t) * stride));
            summand[t] = qv::summand(x);
            present += qv::is_missing(x) ? 0 : 1;
            count[t + 1] = present;
        }
        summand_ = summand;
    }
    if (shifted_) {
        for (std::uint32_t d = 0; d < 8 && d < span; ++d) std::memcpy(copy_[d], summand_ + d, (span - d) * sizeof(double));
    }
    // Dense stretches need no counts; SUM and USS need no first value.
    if (dense_ || stat_ == SumStat::Sum || stat_ == SumStat::Uss) return;
    const std::uint32_t *const count = count_;
    if (stat_ != SumStat::Mean)
        for (std::uint32_t t = 0; t < span; ++t) present_[t] = count[t + 1] != count[t] ? ~std::uint64_t{0} : 0;
    // Backwards, the last present row seen and its next different one kept at hand.
    const double *const summand = summand_;
    std::uint32_t *const first = first_, *const differ = differ_;
    std::uint32_t next = span, next_differ = span;
    first[span] = span;
    for (std::uint32_t t = span; t-- > 0;) {
        if (count[t + 1] != count[t]) {
            next_differ = next == span || summand[next] != summand[t] ? next : next_differ;
            next = t;
            differ[t] = next_differ;
        }
        first[t] = next;
    }
}

bool SumWindows::differs_within(std::size_t f, std::size_t b) const noexcept {
    if (!dense_) return differ_[f] < b;
    for (std::size_t u = f + 1; u < b; ++u)
        if (summand_[u] != summand_[f]) return true;
    return false;
}

// Backwards from the last lane, whose window is scanned for its first different row: a lane whose
// next row holds its own value has the next lane's first different row.
void SumWindows::block_differs(std::size_t a, std::size_t len, std::int64_t *differs) const noexcept {
    const double *const x = summand_;
    const std::size_t lanes = kernels_->lanes, last = a + lanes - 1, end = last + len;
    std::size_t next = last + 1;
    while (next < end && x[next] == x[last]) ++next;
    for (std::size_t j = lanes; j-- > 0;) {
        const std::size_t t = a + j;
        if (j + 1 < lanes && x[t + 1] != x[t]) next = t + 1;
        differs[j] = next < t + len ? -1 : 0;
    }
}

void SumWindows::run(const char *xs, std::ptrdiff_t stride, std::size_t min_present, SumOut &out) noexcept {
    if (runs_count_ == 0) return;
    const Run &last = runs_[runs_count_ - 1];
    base_ = runs_[0].lo;
    span_ = last.hi + last.count - 1 - base_;
    min_present_ = min_present;
    kernels_ = &kernels();
    out_ = &out;
    last_a_ = SIZE_MAX;
    prepare(xs + static_cast<std::ptrdiff_t>(base_) * stride, stride);
    switch (stat_) {
    case SumStat::Sum: windows<SumStat::Sum>(); break;
    case SumStat::Mean: windows<SumStat::Mean>(); break;
    case SumStat::Uss: windows<SumStat::Uss>(); break;
    case SumStat::Css: windows<SumStat::Css>(); break;
    case SumStat::Var: windows<SumStat::Var>(); break;
    case SumStat::Std: windows<SumStat::Std>(); break;
    case SumStat::Stderr: windows<SumStat::Stderr>(); break;
    default: windows<SumStat::Cv>(); break;
    }
    runs_count_ = 0;
}

void SumWindows::put(std::size_t k, double r, QvStatus st) noexcept {
    deliver(r, st);
    std::memcpy(out_->values + static_cast<std::ptrdiff_t>(k) * out_->stride, &r, sizeof r);
    if (out_->statuses != nullptr) out_->statuses[k] = st;
    tally_add(out_->tally, st, false);
}

void SumWindows::put_lanes(std::size_t k, const double *r) noexcept {
    const std::size_t lanes = kernels_->lanes;
    bool numbers = true;
    for (std::size_t j = 0; j < lanes; ++j) numbers = numbers && r[j] == r[j];
    if (!numbers) {
        for (std::size_t j = 0; j < lanes; ++j) put(k + j, r[j], STATUS_OK);
        return;
    }
    char *const values = out_->values + static_cast<std::ptrdiff_t>(k) * out_->stride;
    if (out_->stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        std::memcpy(values, r, lanes * sizeof(double));
    } else {
        for (std::size_t j = 0; j < lanes; ++j)
            std::memcpy(values + static_cast<std::ptrdiff_t>(j) * out_->stride, &r[j], sizeof(double));
    }
    if (out_->statuses != nullptr)
        for (std::size_t j = 0; j < lanes; ++j) out_->statuses[k + j] = STATUS_OK;
    out_->tally.rows += lanes;
}

// Each run's windows a lane block at a time, the rest one by one.
template <SumStat S>
void SumWindows::windows() noexcept {
    const std::size_t lanes = kernels_->lanes;
    std::size_t k = 0;
    for (std::size_t r = 0; r < runs_count_; ++r) {
        const Run run = runs_[r];
        const std::size_t a = run.lo - base_, len = run.hi - run.lo;
        std::size_t j = 0;
        for (; j + lanes <= run.count; j += lanes) lane_block<S>(k + j, a + j, len);
        for (; j < run.count; ++j) single<S>(k + j, a + j, a + j + len);
        k += run.count;
    }
}

// Windows k .. k + lanes - 1, rows [a + j, a + j + len) of the stretch.
template <SumStat S>
void SumWindows::lane_block(std::size_t k, std::size_t a, std::size_t len) noexcept {
    const Kernels &kern = *kernels_;
    const std::size_t lanes = kern.lanes;
    double s[MAX_LANES], mean[MAX_LANES], css[MAX_LANES];
    constexpr double start = S == SumStat::Sum ? 0.0 : -0.0;
    if constexpr (S == SumStat::Uss) kern.squares({summand_ + a}, len, s);
    else if (shifted_) kern.shifted_sums({copy_, a}, len, start, s);
    else kern.sums({summand_ + a}, len, start, s);
    std::size_t wanted = 0;
    bool wants[MAX_LANES];
    const std::size_t rows = len + lanes - 1;
    const bool all_present = dense_ || count_[a + rows] - count_[a] == rows;
    if (all_present && len >= min_present_) {
        wanted = from_present_sums<S>(k, a, len, s, mean, wants);
    } else {
        for (std::size_t j = 0; j < lanes; ++j) {
            wants[j] = from_sum<S>(k + j, a + j, a + j + len, s[j], mean[j]);
            wanted += wants[j] ? 1 : 0;
            if (!wants[j]) mean[j] = 0.0;
        }
    }
    if (wanted == 0) return;
    const std::uint64_t *const present = all_present ? nullptr : present_ + a;
    if (shifted_) kern.shifted_deviations({copy_, a}, present, len, mean, css);
    else kern.deviations({summand_ + a}, present, len, mean, css);
    if (S != SumStat::Cv && all_present && wanted == lanes) {
        // All of one count: finished in lanes.
        constexpr qv::Spread K = S == SumStat::Css   ? qv::Spread::Css
                                 : S == SumStat::Var ? qv::Spread::Var
                                 : S == SumStat::Std ? qv::Spread::Std
                                                     : qv::Spread::Stderr;
        double r[MAX_LANES];
        kern.spreads[static_cast<int>(K)](css, static_cast<double>(len), r);
        put_lanes(k, r);
        return;
    }
    for (std::size_t j = 0; j < lanes; ++j)
        if (wants[j]) from_deviations<S>(k + j, a + j, a + j + len, mean[j], css[j]);
}

// One window alone, with the one-lane forms of the same steps.
template <SumStat S>
void SumWindows::single(std::size_t k, std::size_t a, std::size_t b) noexcept {
    const std::size_t len = b - a;
    double s = 0.0, mean = 0.0, css = 0.0;
    // A forward sum over the last window and one row more is the last sum and one add more.
    const bool grown = S != SumStat::Uss && a == last_a_ && b == last_b_ + 1;
    if (grown) s = qv::sum_add(last_sum_, summand_[b - 1]);
    else if constexpr (S == SumStat::Uss) qv::square_lanes<double, 1>(qv::Consecutive{summand_ + a}, len, &s);
    else qv::sum_lanes<double, 1>(qv::Consecutive{summand_ + a}, len, S == SumStat::Sum ? 0.0 : -0.0, &s);
    last_a_ = a;
    last_b_ = b;
    last_sum_ = s;
    if (!from_sum<S>(k, a, b, s, mean)) return;
    const std::uint64_t *const present = dense_ ? nullptr : present_ + a;
    qv::deviation_lanes<double, std::uint64_t, 1>(qv::Consecutive{summand_ + a}, present, len, &mean, &css);
    from_deviations<S>(k, a, b, mean, css);
}

// Windows k .. k + lanes - 1 of a lane block whose values are all present (and enough of them):
// window j's first value is its first row's, the count its length, and the division that
// finishes MEAN or gives the deviations' means is taken in lanes. Returns how many need their
// deviation sums (wants[j]: from mean[j]).
template <SumStat S>
std::size_t SumWindows::from_present_sums(std::size_t k, std::size_t a, std::size_t len, const double *s, double *mean,
                                          bool *wants) noexcept {
    const Kernels &kern = *kernels_;
    const std::size_t lanes = kern.lanes;
    if constexpr (S == SumStat::Sum || S == SumStat::Uss) {
        put_lanes(k, s);
        return 0;
    } else {
        const double *const x1 = summand_ + a;
        std::int64_t differs[MAX_LANES];
        // A window whose second value differs from its first differs; the others are looked at.
        bool all = len >= 2 && kern.next_differs(x1, differs);
        if (!all) {
            if (dense_) block_differs(a, len, differs);
            else
                for (std::size_t j = 0; j < lanes; ++j) differs[j] = differ_[a + j] < a + j + len ? -1 : 0;
        }
        const auto n = static_cast<double>(len);
        if constexpr (S == SumStat::Mean) {
            double r[MAX_LANES];
            kern.means(s, n, x1, differs, r);
            put_lanes(k, r);
            return 0;
        } else {
            kern.deviation_means(s, n, mean);
            // The outcome the sum decides rests on the count and "differs" alone: one look serves
            // a block whose windows all differ.
            std::size_t wanted = 0;
            for (std::size_t j = 0; j < lanes; ++j) {
                const qv::ListSum p{static_cast<std::int64_t>(a + j), x1[j], s[j], static_cast<std::int32_t>(len),
                                    differs[j] != 0};
                double r = 0.0;
                QvStatus st = STATUS_OK;
                wants[j] = !qv::decided_by_sum(p, rule_of<S>(), &r, st);
                if (wants[j] && all) {
                    for (std::size_t i = 0; i < lanes; ++i) wants[i] = true;
                    return lanes;
                }
                if (!wants[j]) {
                    put(k + j, r, st);
                    mean[j] = 0.0;
                }
                wanted += wants[j] ? 1 : 0;
            }
            return wanted;
        }
    }
}

template <SumStat S>
bool SumWindows::from_sum(std::size_t k, std::size_t a, std::size_t b, double s, double &mean) noexcept {
    const std::uint32_t n = present_before(b) - present_before(a);
    if (n < min_present_ || n == 0) {
        double r = 0.0;
        const QvStatus st = qv::fail(&r, STATUS_MISSING_ARG);
        put(k, r, st);
        return false;
    }
    if constexpr (S == SumStat::Sum || S == SumStat::Uss) {
        put(k, s, STATUS_OK);
        return false;
    } else {
        const std::uint32_t f = first_present(a);
        const qv::ListSum p{f, summand_[f], s, static_cast<std::int32_t>(n), differs_within(f, b)};
        if constexpr (S == SumStat::Mean) {
            put(k, qv::mean_of(p), STATUS_OK);
            return false;
        } else {
            double r = 0.0;
            QvStatus st = STATUS_OK;
            if (qv::decided_by_sum(p, rule_of<S>(), &r, st)) {
                put(k, r, st);
                return false;
            }
            mean = qv::deviation_mean(p);
            return true;
        }
    }
}

template <SumStat S>
void SumWindows::from_deviations(std::size_t k, std::size_t a, std::size_t b, double mean, double css) noexcept {
    const std::size_t n = present_before(b) - present_before(a);
    const qv::DeviationSum d{static_cast<std::int32_t>(n), mean, css};
    double r = 0.0;
    QvStatus st;
    if constexpr (S == SumStat::Css) st = qv::finish_css(d, &r);
    else if constexpr (S == SumStat::Var) st = qv::finish_var(d, &r);
    else if constexpr (S == SumStat::Std) st = qv::finish_std(d, &r);
    else if constexpr (S == SumStat::Stderr) st = qv::finish_stderr(d, &r);
    else st = qv::finish_cv(d, &r);
    put(k, r, st);
}

}  // namespace qvhost

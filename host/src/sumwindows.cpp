// Moving sums in vector lanes. The kernels below are compiled whole for each instruction set the
// machine may have, and picked once at run time; each inlines the package's steps, whose vector
// forms pass vectors by value only inside a kernel, so the ABI GCC warns about (-Wpsabi) for the
// wider vectors is never used across a call: the build turns that warning off for this file.
// QV_SUM_LANES_NARROW (and any processor other than x86-64) keeps to the 16-byte kernel, which
// every compiler and processor takes without that warning.

#include "sumwindows.hpp"

#include <cstring>

#include "internal.hpp"
#include "qv/lanes.hpp"

namespace qvhost {

std::atomic<int> sum_windows_limit{3};

// The lane kernels of one instruction set, `lanes` windows a call. Eight vectors of sums at once
// keep both adders busy through the add's latency; the deviation pass of SSE2 runs four at a
// time, since its sixteen registers also hold the means. AVX-512 reads a stretch's shifted copies
// (aligned loads) where it has them.
struct Kernels {
    std::size_t lanes;
    void (*sums)(qv::Consecutive x, std::size_t len, double start, double *s);
    void (*squares)(qv::Consecutive x, std::size_t len, double *s);
    void (*deviations)(qv::Consecutive x, const std::uint64_t *present, std::size_t len, const double *mean, double *css);
    void (*shifted_sums)(qv::Shifted x, std::size_t len, double start, double *s);
    void (*shifted_deviations)(qv::Shifted x, const std::uint64_t *present, std::size_t len, const double *mean,
                               double *css);
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

constexpr Kernels KERNELS[] = {
    {16, sums_sse2, squares_sse2, deviations_sse2, nullptr, nullptr},
#ifdef QV_SUM_LANES_WIDE
    {32, sums_avx2, squares_avx2, deviations_avx2, nullptr, nullptr},
    {64, sums_avx512<qv::Consecutive>, squares_avx512, deviations_avx512<qv::Consecutive>, sums_avx512<qv::Shifted>,
     deviations_avx512<qv::Shifted>},
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
    const std::size_t sizes[] = {rows * sizeof(std::size_t), rows * sizeof(std::size_t), rows * sizeof(double),
                                 rows * sizeof(QvStatus),    span * sizeof(double),      span * sizeof(std::uint64_t),
                                 (span + 1) * 4,             (span + 1) * 4,             (span + 1) * 4,
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
    lo = static_cast<std::size_t *>(parts[0]);
    hi = static_cast<std::size_t *>(parts[1]);
    result = static_cast<double *>(parts[2]);
    status = static_cast<QvStatus *>(parts[3]);
    summand_ = static_cast<double *>(parts[4]);
    present_ = static_cast<std::uint64_t *>(parts[5]);
    count_ = static_cast<std::uint32_t *>(parts[6]);
    first_ = static_cast<std::uint32_t *>(parts[7]);
    differ_ = static_cast<std::uint32_t *>(parts[8]);
    for (int d = 0; d < 8; ++d) copy_[d] = static_cast<double *>(parts[9 + d]);
    return true;
}

// The column's rows [base_, base_ + span_) as summands, masks and counts, and for each present row
// the next present one that differs from it (by ==, which is transitive on the values a window
// holds: NaNs read as '.'), so a window's "differs from the first" is one comparison.
void SumWindows::prepare(const char *xs, std::ptrdiff_t stride) noexcept {
    const auto span = static_cast<std::uint32_t>(span_);
    double *const summand = summand_;
    std::uint32_t *const count = count_;
    std::uint32_t present = 0;
    count[0] = 0;
    for (std::uint32_t t = 0; t < span; ++t) {
        const double x = edge_value(load(xs + static_cast<std::ptrdiff_t>(t) * stride));
        summand[t] = qv::summand(x);
        present += qv::is_missing(x) ? 0 : 1;
        count[t + 1] = present;
    }
    if (shifted_) {
        for (std::uint32_t d = 0; d < 8 && d < span; ++d) std::memcpy(copy_[d], summand + d, (span - d) * sizeof(double));
    }
    if (stat_ == SumStat::Sum || stat_ == SumStat::Uss) return;  // their results need no first value
    if (stat_ != SumStat::Mean)
        for (std::uint32_t t = 0; t < span; ++t) present_[t] = count[t + 1] != count[t] ? ~std::uint64_t{0} : 0;
    // Backwards, the last present row seen and its next different one kept at hand.
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

void SumWindows::run(const char *xs, std::ptrdiff_t stride, std::size_t count, std::size_t min_present) noexcept {
    if (count == 0) return;
    base_ = lo[0];
    span_ = hi[count - 1] - base_;
    min_present_ = min_present;
    kernels_ = &kernels();
    last_ = SIZE_MAX;
    prepare(xs + static_cast<std::ptrdiff_t>(base_) * stride, stride);
    switch (stat_) {
    case SumStat::Sum: return windows<SumStat::Sum>(count);
    case SumStat::Mean: return windows<SumStat::Mean>(count);
    case SumStat::Uss: return windows<SumStat::Uss>(count);
    case SumStat::Css: return windows<SumStat::Css>(count);
    case SumStat::Var: return windows<SumStat::Var>(count);
    case SumStat::Std: return windows<SumStat::Std>(count);
    case SumStat::Stderr: return windows<SumStat::Stderr>(count);
    default: return windows<SumStat::Cv>(count);
    }
}

template <SumStat S>
void SumWindows::windows(std::size_t count) noexcept {
    const std::size_t lanes = kernels_->lanes;
    for (std::size_t k = 0; k < count;) {
        bool even = k + lanes <= count;
        for (std::size_t j = 1; even && j < lanes; ++j) even = lo[k + j] == lo[k] + j && hi[k + j] == hi[k] + j;
        if (even) {
            lane_block<S>(k);
            k += lanes;
        } else {
            single<S>(k++);
        }
    }
}

// Windows k .. k + lanes - 1, each one row on from the last and all of one length.
template <SumStat S>
void SumWindows::lane_block(std::size_t k) noexcept {
    const Kernels &kern = *kernels_;
    const std::size_t a = lo[k] - base_, len = hi[k] - lo[k], lanes = kern.lanes;
    double s[MAX_LANES], mean[MAX_LANES], css[MAX_LANES];
    constexpr double start = S == SumStat::Sum ? 0.0 : -0.0;
    if constexpr (S == SumStat::Uss) kern.squares({summand_ + a}, len, s);
    else if (shifted_) kern.shifted_sums({copy_, a}, len, start, s);
    else kern.sums({summand_ + a}, len, start, s);
    bool deviations = false;
    bool wants[MAX_LANES];
    const std::size_t rows = len + lanes - 1;
    const bool all_present = count_[a + rows] - count_[a] == rows;
    if (all_present && len >= min_present_) {
        deviations = from_present_sums<S>(k, s, mean, wants);
    } else {
        for (std::size_t j = 0; j < lanes; ++j) {
            wants[j] = from_sum<S>(k + j, s[j], mean[j]);
            deviations = deviations || wants[j];
            if (!wants[j]) mean[j] = 0.0;
        }
    }
    if (!deviations) return;
    const std::uint64_t *const present = all_present ? nullptr : present_ + a;
    if (shifted_) kern.shifted_deviations({copy_, a}, present, len, mean, css);
    else kern.deviations({summand_ + a}, present, len, mean, css);
    for (std::size_t j = 0; j < lanes; ++j)
        if (wants[j]) from_deviations<S>(k + j, mean[j], css[j]);
}

// One window alone, with the one-lane forms of the same steps.
template <SumStat S>
void SumWindows::single(std::size_t k) noexcept {
    const std::size_t a = lo[k] - base_, len = hi[k] - lo[k];
    double s = 0.0, mean = 0.0, css = 0.0;
    // A forward sum over the last window and one row more is the last sum and one add more.
    const bool grown = S != SumStat::Uss && k > 0 && last_ == k - 1 && lo[k] == lo[k - 1] && hi[k] == hi[k - 1] + 1;
    if (grown) s = qv::sum_add(last_sum_, summand_[a + len - 1]);
    else if constexpr (S == SumStat::Uss) qv::square_lanes<double, 1>(qv::Consecutive{summand_ + a}, len, &s);
    else qv::sum_lanes<double, 1>(qv::Consecutive{summand_ + a}, len, S == SumStat::Sum ? 0.0 : -0.0, &s);
    last_ = k;
    last_sum_ = s;
    if (!from_sum<S>(k, s, mean)) return;
    qv::deviation_lanes<double, std::uint64_t, 1>(qv::Consecutive{summand_ + a}, present_ + a, len, &mean, &css);
    from_deviations<S>(k, mean, css);
}

// Windows k .. k + lanes - 1 of a lane block whose values are all present (and enough of them):
// window j's first value is its first row's, and it differs from a later one when the next
// different row falls inside it. True when some need their deviation sums (wants[j]: from mean[j]).
template <SumStat S>
bool SumWindows::from_present_sums(std::size_t k, const double *s, double *mean, bool *wants) noexcept {
    const std::size_t lanes = kernels_->lanes, a = lo[k] - base_, len = hi[k] - lo[k];
    double *const r = result + k;
    QvStatus *const st = status + k;
    for (std::size_t j = 0; j < lanes; ++j) st[j] = STATUS_OK;
    if constexpr (S == SumStat::Sum || S == SumStat::Uss) {
        for (std::size_t j = 0; j < lanes; ++j) r[j] = s[j];
        return false;
    } else {
        const double *const x1 = summand_ + a;
        const std::uint32_t *const differ = differ_ + a;
        const auto n = static_cast<std::int32_t>(len);
        bool deviations = false;
        for (std::size_t j = 0; j < lanes; ++j) {
            const auto f = static_cast<std::int64_t>(a + j);
            const qv::ListSum p{f, x1[j], s[j], n, differ[j] < a + len + j};
            if constexpr (S == SumStat::Mean) {
                r[j] = qv::mean_of(p);
            } else {
                mean[j] = qv::deviation_mean(p);
                wants[j] = !qv::decided_by_sum(p, rule_of<S>(), &r[j], st[j]);
                if (!wants[j]) mean[j] = 0.0;
                deviations = deviations || wants[j];
            }
        }
        return deviations;
    }
}

template <SumStat S>
bool SumWindows::from_sum(std::size_t k, double s, double &mean) noexcept {
    const std::size_t a = lo[k] - base_, b = hi[k] - base_;
    const std::uint32_t n = count_[b] - count_[a];
    double &r = result[k];
    QvStatus &st = status[k];
    if (n < min_present_ || n == 0) {
        st = qv::fail(&r, STATUS_MISSING_ARG);
        return false;
    }
    st = STATUS_OK;
    if constexpr (S == SumStat::Sum || S == SumStat::Uss) {
        r = s;
        return false;
    } else {
        const std::uint32_t f = first_[a];
        const qv::ListSum p{f, summand_[f], s, static_cast<std::int32_t>(n), differ_[f] < b};
        if constexpr (S == SumStat::Mean) {
            r = qv::mean_of(p);
            return false;
        } else {
            if (qv::decided_by_sum(p, rule_of<S>(), &r, st)) return false;
            mean = qv::deviation_mean(p);
            return true;
        }
    }
}

template <SumStat S>
void SumWindows::from_deviations(std::size_t k, double mean, double css) noexcept {
    const std::size_t n = count_[hi[k] - base_] - count_[lo[k] - base_];
    const qv::DeviationSum d{static_cast<std::int32_t>(n), mean, css};
    double &r = result[k];
    if constexpr (S == SumStat::Css) status[k] = qv::finish_css(d, &r);
    else if constexpr (S == SumStat::Var) status[k] = qv::finish_var(d, &r);
    else if constexpr (S == SumStat::Std) status[k] = qv::finish_std(d, &r);
    else if constexpr (S == SumStat::Stderr) status[k] = qv::finish_stderr(d, &r);
    else status[k] = qv::finish_cv(d, &r);
}

}  // namespace qvhost

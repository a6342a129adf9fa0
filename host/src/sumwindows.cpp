// Moving sums: a stretch's windows in runs, each run's a lane block at a time (sumlanes.hpp) and
// the rest one by one.
#include "sumwindows.hpp"

#include <algorithm>
#include <cstring>

#include "internal.hpp"

namespace qvhost {

namespace {

// The shortest windows that are summed in columns: shorter ones gain less from the aligned loads
// than the copy into columns and the results' way back cost.
constexpr std::size_t COLUMNS_LEAST = 48;

// The statistics whose lane blocks with missing values are finished in lanes.
template <SumStat S>
constexpr bool counted() {
    return S == SumStat::Sum || S == SumStat::Mean;
}

template <SumStat S>
constexpr qv::DeviationRule rule_of() {
    return S == SumStat::Css ? qv::CSS_RULE : S == SumStat::Cv ? qv::CV_RULE : qv::SPREAD_RULE;
}

// Whether any of the eight windows from row 0 of count (the present values before each row) holds
// fewer than need present values: four windows a test.
bool short_in_eight(const std::uint32_t *count, std::size_t len, std::uint32_t need) {
    using Quad = std::uint32_t __attribute__((vector_size(16)));
    Quad q[4];
    std::memcpy(&q[0], count, sizeof(Quad) * 2);
    std::memcpy(&q[2], count + len, sizeof(Quad) * 2);
    const auto few = (q[2] - q[0] < need) | (q[3] - q[1] < need);
    return (few[0] | few[1] | few[2] | few[3]) != 0;
}

}  // namespace

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

// Each run's windows a lane block at a time, the rest one by one. Where windows hold fewer present
// values than asked for, long stretches of them are '.' with nothing summed: where a full window is
// asked for (pandas' default), one missing value empties every window over it. SUM's and MEAN's
// lane blocks therefore hold no window short of values.
template <SumStat S>
void SumWindows::windows() noexcept {
    const std::size_t lanes = kernels_->lanes;
    // The shortest stretch of such windows left out: SUM's and MEAN's lane blocks with missing
    // values are finished in lanes, the deviation sums' window by window.
    const std::size_t least = counted<S>() ? 1 : lanes;
    const auto need = static_cast<std::uint32_t>(std::clamp<std::size_t>(min_present_, 1, UINT32_MAX));
    std::size_t k = 0;
    for (std::size_t r = 0; r < runs_count_; ++r) {
        const Run run = runs_[r];
        const std::size_t a = run.lo - base_, len = run.hi - run.lo;
        auto short_of = [&](std::size_t j) { return count_[a + j + len] - count_[a + j] < need; };
        if (dense_ && len < need) {  // asked for more values than a window holds
            put_missing(k, run.count);
            k += run.count;
            continue;
        }
        // Where one present value is enough, only a window within a run of missing values is short.
        const bool may_be_short = !dense_ && (need > 1 || longest_missing_ >= len);
        std::size_t done = 0;
        for (std::size_t j = 0; may_be_short && j < run.count;) {
            if (j + 8 <= run.count && !short_in_eight(count_ + a + j, len, need)) {
                j += 8;
                continue;
            }
            if (!short_of(j)) {
                ++j;
                continue;
            }
            std::size_t e = j + 1;
            while (e < run.count && short_of(e)) ++e;
            if (e - j >= least) {
                run_windows<S>(k + done, a + done, len, j - done);
                put_missing(k + j, e - j);
                done = e;
            }
            j = e;
        }
        run_windows<S>(k + done, a + done, len, run.count - done);
        k += run.count;
    }
}

// Windows [a + j, a + j + len) of the stretch, j < count, from window k on.
template <SumStat S>
void SumWindows::run_windows(std::size_t k, std::size_t a, std::size_t len, std::size_t count) noexcept {
    const std::size_t lanes = kernels_->lanes;
    // Columns hold summands, and with missing values their masks and counts too.
    const bool columns = columns_ != nullptr && (dense_ ? len >= min_present_ : S != SumStat::Uss);
    std::size_t j = columns ? in_columns<S>(k, a, len, count) : 0;
    for (; j + lanes <= count; j += lanes) lane_block<S>(Block{k + j, a + j, len, 0, summand_ + a + j, 1});
    for (; j < count; ++j) single<S>(k + j, a + j, a + j + len);
}

// The columns hold `part` rows of windows each: lane block i takes rows i .. i + R - 1 of every
// column, R = lanes / width.
template <SumStat S>
std::size_t SumWindows::in_columns(std::size_t k, std::size_t a, std::size_t len, std::size_t count) noexcept {
    const Kernels &kern = *kernels_;
    const std::size_t width = kern.width, lanes = kern.lanes, blocks = lanes / width;
    // An odd number of blocks a column, so that the columns' rows, part apart, fall in different
    // sets of the cache (a power of two apart, they would evict each other).
    const std::size_t per_column = count / lanes;
    if (len < COLUMNS_LEAST || per_column == 0) return 0;
    const std::size_t part = (per_column - (per_column % 2 == 0 ? 1 : 0)) * blocks;
    kern.to_columns(summand_ + a, part, part + len - 1, columns_);
    const double *const t = columns_;
    if (S == SumStat::Mean && !dense_) {
        // MEAN with missing values: the sums back in the windows' order, then finished as windows
        // at consecutive rows are, each over its own count.
        double *const sums = window_counts_[0];
        for (std::size_t i = 0; i < part; i += blocks) {
            double s[MAX_LANES];
            kern.transposed_sums(t + i * width, len, -0.0, s);
            kern.from_columns(s, sums + i, part);
        }
        for (std::size_t q = 0; q < width * part; q += lanes)
            from_counted_sums<S>(Block{k + q, a + q, len, 0, summand_ + a + q, 1}, sums + q);
        return width * part;
    }
    if (!dense_ && S != SumStat::Sum) counts_in_columns<S>(a, len, part, width * part);
    for (std::size_t i = 0; i < part; i += blocks)
        lane_block<S>(Block{k + i, a + i, len, part, t + i * width, width, i * width});
    return width * part;
}

template <SumStat S>
void SumWindows::counts_in_columns(std::size_t a, std::size_t len, std::size_t part, std::size_t windows) noexcept {
    const Kernels &kern = *kernels_;
    if constexpr (!counted<S>())
        kern.to_columns(reinterpret_cast<const double *>(present_ + a), part, part + len - 1, mask_columns_);
    const std::size_t need = std::max<std::size_t>(min_present_, counted<S>() ? 1 : rule_of<S>().min_n);
    double *const n = window_counts_[0], *const differs = window_counts_[1];
    columns_found_ = ALL_DIFFER | ENOUGH;
    for (std::size_t q = 0; q < windows; q += kern.lanes)  // windows is a multiple of lanes
        columns_found_ &= kern.counts(reinterpret_cast<const std::int32_t *>(count_ + a + q),
                                      reinterpret_cast<const std::int32_t *>(changes_ + a + q),
                                      reinterpret_cast<const std::int32_t *>(upto_ + a + q), len,
                                      static_cast<double>(need), n + q, differs + q);
    for (int i = 0; i < 2; ++i) kern.to_columns(window_counts_[i], part, part, column_counts_[i]);
}

// A lane block's windows.
template <SumStat S>
void SumWindows::lane_block(const Block &b) noexcept {
    const Kernels &kern = *kernels_;
    const std::size_t lanes = kern.lanes, k = b.k, a = b.a, len = b.len;
    double s[MAX_LANES], mean[MAX_LANES], css[MAX_LANES];
    constexpr double start = S == SumStat::Sum ? 0.0 : -0.0;
    if (b.part != 0) {
        if constexpr (S == SumStat::Uss) kern.transposed_squares(b.x1, len, s);
        else kern.transposed_sums(b.x1, len, start, s);
    } else if constexpr (S == SumStat::Uss) {
        kern.squares({summand_ + a}, len, s);
    } else if (shifted_) {
        kern.shifted_sums({copy_, a}, len, start, s);
    } else {
        kern.sums({summand_ + a}, len, start, s);
    }
    std::size_t wanted = 0;
    bool wants[MAX_LANES];
    const double *counts = nullptr;  // each window's own count, where the block is finished over them
    const std::size_t rows = len + lanes - 1;
    const bool all_present = dense_ || (b.part == 0 && count_[a + rows] - count_[a] == rows);
    if (all_present && len >= min_present_) {
        wanted = from_present_sums<S>(b, s, mean, wants);
    } else if constexpr (counted<S>()) {
        return from_counted_sums<S>(b, s);
    } else if (const Counts c = S == SumStat::Uss ? Counts{} : lane_counts(b, std::max<std::size_t>(min_present_, rule_of<S>().min_n));
               c.found == (ALL_DIFFER | ENOUGH)) {
        // Every window differs and holds enough values: each is its sum over its own count.
        kern.deviation_means_counted(s, c.n, mean);
        std::fill_n(wants, lanes, true);
        wanted = lanes;
        counts = c.n;
    } else {
        for (std::size_t j = 0; j < lanes; ++j) {
            const std::size_t on = lane_on(b, j);
            wants[j] = from_sum<S>(k + on, a + on, a + on + len, s[j], mean[j]);
            wanted += wants[j] ? 1 : 0;
            if (!wants[j]) mean[j] = 0.0;
        }
    }
    if (wanted == 0) return;
    const std::uint64_t *const present = all_present ? nullptr : present_ + a;
    if (b.part != 0 && !dense_) kern.transposed_masked_deviations(b.x1, mask_columns_ + b.at, len, mean, css);
    else if (b.part != 0) kern.transposed_deviations(b.x1, len, mean, css);
    else if (shifted_) kern.shifted_deviations({copy_, a}, present, len, mean, css);
    else kern.deviations({summand_ + a}, present, len, mean, css);
    if (S != SumStat::Cv && (all_present || counts != nullptr) && wanted == lanes) {
        // All finished in lanes, of one count or each of its own.
        constexpr int K = static_cast<int>(S == SumStat::Css   ? qv::Spread::Css
                                           : S == SumStat::Var ? qv::Spread::Var
                                           : S == SumStat::Std ? qv::Spread::Std
                                                               : qv::Spread::Stderr);
        double elsewhere[MAX_LANES];
        double *const r = lane_results(b, elsewhere);
        const int found = counts != nullptr ? kern.spreads_counted[K](css, counts, r)
                                            : kern.spreads[K](css, static_cast<double>(len), r);
        put_lanes(b, r, found != 0);
        return;
    }
    for (std::size_t j = 0; j < lanes; ++j) {
        const std::size_t on = lane_on(b, j);
        if (wants[j]) from_deviations<S>(k + on, a + on, a + on + len, mean[j], css[j]);
    }
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
std::size_t SumWindows::from_present_sums(const Block &b, const double *s, double *mean, bool *wants) noexcept {
    const Kernels &kern = *kernels_;
    const std::size_t lanes = kern.lanes, len = b.len;
    if constexpr (S == SumStat::Sum || S == SumStat::Uss) {
        put_lanes(b, s, kern.numbers(s, lanes));
        return 0;
    } else {
        const double *const x1 = b.x1;
        const auto n = static_cast<double>(len);
        std::int64_t differs[MAX_LANES];
        // A window whose second value differs from its first differs; where some do not, each
        // window is looked at.
        const auto look = [&] {
            if (b.part == 0 && dense_) {
                block_differs(b.a, len, differs);
            } else {
                for (std::size_t j = 0; j < lanes; ++j) {
                    const std::size_t f = b.a + lane_on(b, j);
                    differs[j] = differs_within(f, f + len) ? -1 : 0;
                }
            }
        };
        if constexpr (S == SumStat::Mean) {
            double elsewhere[MAX_LANES];
            double *const r = lane_results(b, elsewhere);
            int found = len >= 2 ? kern.means_next(s, n, x1, b.next, r) : 0;
            if ((found & ALL_DIFFER) == 0) {
                look();
                found = kern.means(s, n, x1, differs, r);
            }
            put_lanes(b, r, (found & ALL_NUMBERS) != 0);
            return 0;
        } else {
            const bool all = len >= 2 && kern.next_differ(x1, b.next);
            if (!all) look();
            kern.deviation_means(s, n, mean);
            // The outcome the sum decides rests on the count and "differs" alone: one look serves
            // a block whose windows all differ.
            std::size_t wanted = 0;
            for (std::size_t j = 0; j < lanes; ++j) {
                const std::size_t on = lane_on(b, j);
                const qv::ListSum p{static_cast<std::int64_t>(b.a + on), x1[j], s[j], static_cast<std::int32_t>(len),
                                    all || differs[j] != 0};
                double r = 0.0;
                QvStatus st = STATUS_OK;
                wants[j] = !qv::decided_by_sum(p, rule_of<S>(), &r, st);
                if (wants[j] && all) {
                    for (std::size_t i = 0; i < lanes; ++i) wants[i] = true;
                    return lanes;
                }
                if (!wants[j]) {
                    put(b.k + on, r, st);
                    mean[j] = 0.0;
                }
                wanted += wants[j] ? 1 : 0;
            }
            return wanted;
        }
    }
}

// A lane block's windows with missing values: consecutive windows take the kernel; windows in
// columns take what counts_in_columns laid out, and look at their own lanes where some window of
// the columns is short or does not differ.
SumWindows::Counts SumWindows::lane_counts(const Block &b, std::size_t need) noexcept {
    const std::size_t lanes = kernels_->lanes;
    if (b.part == 0) {
        const int found = kernels_->counts(reinterpret_cast<const std::int32_t *>(count_ + b.a),
                                           reinterpret_cast<const std::int32_t *>(changes_ + b.a),
                                           reinterpret_cast<const std::int32_t *>(upto_ + b.a), b.len,
                                           static_cast<double>(need), n_, differs_);
        return Counts{n_, differs_, found};
    }
    const Counts c{column_counts_[0] + b.at, column_counts_[1] + b.at, columns_found_};
    if (c.found == (ALL_DIFFER | ENOUGH)) return c;
    bool all_differ = true, enough = true;
    for (std::size_t j = 0; j < lanes; ++j) {
        all_differ = all_differ && c.differs[j] != 0.0;
        enough = enough && c.n[j] >= static_cast<double>(need);
    }
    return Counts{c.n, c.differs, (all_differ ? ALL_DIFFER : 0) | (enough ? ENOUGH : 0)};
}

// A lane block of SUM or MEAN with missing values among its windows, none of them short of values
// (windows()), MEAN's counts and division in lanes.
template <SumStat S>
void SumWindows::from_counted_sums(const Block &b, const double *s) noexcept {
    const Kernels &kern = *kernels_;
    if constexpr (S == SumStat::Sum) {
        put_lanes(b, s, kern.numbers(s, kern.lanes));
    } else {
        // Windows at consecutive rows (in_columns lays MEAN's sums out so): each took its first
        // row's value for x1, which is its first present value unless that row is missing, and is
        // x1 where its values do not differ.
        double elsewhere[MAX_LANES];
        double *const r = lane_results(b, elsewhere);
        const int found = kern.means_of_counts(s, reinterpret_cast<const std::int32_t *>(count_ + b.a),
                                               reinterpret_cast<const std::int32_t *>(changes_ + b.a),
                                               reinterpret_cast<const std::int32_t *>(upto_ + b.a), b.len, b.x1, r);
        const std::size_t lanes = kern.lanes;
        if ((found & ALL_DIFFER) == 0 && count_[b.a + lanes] - count_[b.a] != lanes)
            for (std::size_t j = 0; j < lanes; ++j)
                if (count_[b.a + j + 1] == count_[b.a + j] && !differs_within(b.a + j, b.a + j + b.len))
                    r[j] = first_value(b.a + j);
        put_lanes(b, r, (found & ALL_NUMBERS) != 0);
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

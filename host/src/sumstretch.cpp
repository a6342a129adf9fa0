// Moving sums: a stretch's values laid out for the lanes, and its windows' results delivered.
#include <algorithm>
#include <cstring>

#include "internal.hpp"
#include "sumwindows.hpp"

namespace qvhost {

namespace {

// Rows a stretch copies shifted at most (8 copies, 64 bytes a row), and the rows windows must
// span at least besides the stretch's own.
constexpr std::size_t SHIFTED_MOST = std::size_t{1} << 17, SHIFTED_LEAST = 256;

std::size_t round_up(std::size_t n) { return (n + 63) & ~std::size_t{63}; }

}  // namespace

bool SumWindows::reserve(WarmBlock &warm, std::size_t rows, std::size_t span) noexcept {
    // Copies pay where a window is long enough for its loads to outweigh them.
    shifted_ = kernels().shifted_sums != nullptr && span <= SHIFTED_MOST && span >= rows + SHIFTED_LEAST;
    const std::size_t copy = shifted_ ? span * sizeof(double) : 0;
    // A run of count windows of len rows takes count + width (len - 1) values in columns.
    const std::size_t columns = span <= SHIFTED_MOST ? (rows + 8 * span) * sizeof(double) : 0;
    // With missing values, columns take their masks and their windows' counts (in windows' order,
    // then in columns) too.
    const std::size_t counts = columns > 0 ? rows * sizeof(double) : 0;
    const std::size_t sizes[] = {rows * sizeof(Run), span * sizeof(double), span * sizeof(std::uint64_t),
                                 (span + 1) * 4, (span + 1) * 4, (span + 1) * 4, (span + 1) * 4, columns,
                                 copy, copy, copy, copy, copy, copy, copy, copy,
                                 columns, counts, counts, counts, counts};
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
    changes_ = static_cast<std::uint32_t *>(parts[5]);
    upto_ = static_cast<std::uint32_t *>(parts[6]);
    columns_ = columns > 0 ? static_cast<double *>(parts[7]) : nullptr;
    for (int d = 0; d < 8; ++d) copy_[d] = static_cast<double *>(parts[8 + d]);
    mask_columns_ = static_cast<double *>(parts[16]);
    for (int i = 0; i < 2; ++i) {
        window_counts_[i] = static_cast<double *>(parts[17 + i]);
        column_counts_[i] = static_cast<double *>(parts[19 + i]);
    }
    return true;
}

// The column's rows [base_, base_ + span_) as summands; unless dense, also as masks and counts of
// the present values before each row, and (but for SUM and USS) the changes before each row: a
// change is a present value that differs from the present value before it (by ==, which is
// transitive on the values a window holds: NaNs read as '.'). A window's values differ from its
// first present one exactly where a change lies after that one within the window, so its
// "differs" is one subtraction: changes_[b] - upto_[a], upto_[t] the changes up to and including
// the first present row from t on.
void SumWindows::prepare(const char *xs, std::ptrdiff_t stride) noexcept {
    const auto span = static_cast<std::uint32_t>(span_);
    const bool column = stride == static_cast<std::ptrdiff_t>(sizeof(double));
    dense_ = column && kernels_->numbers(reinterpret_cast<const double *>(xs), span);
    longest_missing_ = 0;
    if (dense_ && reinterpret_cast<std::uintptr_t>(xs) % alignof(double) == 0) {
        summand_ = reinterpret_cast<const double *>(xs);
    } else if (dense_) {
        std::memcpy(copied_, xs, span * sizeof(double));
        summand_ = copied_;
    }
    // A dense stretch's runs are summed in columns, and so are the plain sums' of any stretch.
    shifted_ = shifted_ && !dense_ && stat_ != SumStat::Sum && stat_ != SumStat::Mean;
    if (!dense_) lay_out(xs, stride, column);
    if (shifted_) {
        for (std::uint32_t d = 0; d < 8 && d < span; ++d) std::memcpy(copy_[d], summand_ + d, (span - d) * sizeof(double));
    }
}

void SumWindows::ended(std::uint32_t a, std::uint32_t b, std::uint32_t f, std::uint32_t upto) noexcept {
    std::fill(first_ + a, first_ + b, f);
    std::fill(upto_ + a, upto_ + b, upto);
}

void SumWindows::lay_out(const char *xs, std::ptrdiff_t stride, bool column) noexcept {
    const auto span = static_cast<std::uint32_t>(span_);
    // The deviation sums mask each row's square: all ones where the row is present. SUM and USS
    // need no first values.
    const bool masked = stat_ != SumStat::Sum && stat_ != SumStat::Mean && stat_ != SumStat::Uss;
    const bool firsts = stat_ != SumStat::Sum && stat_ != SumStat::Uss;
    Layout l{copied_, masked ? present_ : nullptr, count_, firsts ? changes_ : nullptr, upto_, 0, 0};
    std::uint32_t present = 0, changed = 0, t = 0, run = 0, longest = 0;  // the run of missing values, the longest
    double last = 0.0;                                                   // the last present value
    count_[0] = 0;
    changes_[0] = 0;
    // Every NaN reads as '.' (edge_value), whose summand is -0.0.
    const auto row = [&](double x) __attribute__((always_inline)) {
        if (x != x) {
            l.summand[t] = -0.0;
            if (masked) l.masks[t] = 0;
            ++run;
            longest = run > longest ? run : longest;
        } else {
            l.summand[t] = x;
            if (masked) l.masks[t] = ~std::uint64_t{0};
            changed += present > 0 && x != last ? 1 : 0;
            last = x;
            ++present;
            // The run of missing values before this row: its first present row is this one.
            if (run > 0) ended(t - run, t, t, changed);
            upto_[t] = changed;
            run = 0;
        }
        ++t;
        count_[t] = present;
        changes_[t] = changed;
    };
    // Eight rows at a time in the kernel while they are present; from the block with a NaN that
    // stops it, one by one up to the next present row after the NaN, where the kernel takes over
    // again.
    const auto *const x = reinterpret_cast<const double *>(xs);
    if (column && span > 0) row(load(x));
    while (column && t + 8 <= span) {
        // Where the kernel takes no block, eight rows at least go one by one (missing values every
        // other row would otherwise call it for every other row).
        std::uint32_t least = t + 8;
        if (run == 0) {
            l.present = present;
            l.changed = changed;
            const std::uint32_t stop = kernels_->present_blocks(x, t, span, l);
            if (stop != t) {
                least = t = stop;
                present = l.present;
                changed = l.changed;
                last = load(x + t - 1);
            }
        }
        for (bool met = false; t < span && (!met || run > 0 || t < least);) {
            const double v = load(x + t);
            met = met || v != v;
            row(v);
        }
    }
    while (t < span) row(load(xs + static_cast<std::ptrdiff_t>(t) * stride));
    // Missing values to the end: no present row follows.
    ended(span - run, span, span, changed);
    summand_ = l.summand;
    longest_missing_ = longest;
}

bool SumWindows::differs_within(std::size_t f, std::size_t b) const noexcept {
    if (!dense_) return changes_[b] > upto_[f];
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

void SumWindows::put(std::size_t k, double r, QvStatus st) noexcept {
    deliver(r, st);
    std::memcpy(out_->values + static_cast<std::ptrdiff_t>(k) * out_->stride, &r, sizeof r);
    if (out_->statuses != nullptr) out_->statuses[k] = st;
    tally_add(out_->tally, st, false);
}

void SumWindows::put_missing(std::size_t k, std::size_t count) noexcept {
    double r = qv::MISSING_DOT;
    QvStatus st = STATUS_MISSING_ARG;
    deliver(r, st);
    for (std::size_t i = 0; i < count; ++i) std::memcpy(out_->values + static_cast<std::ptrdiff_t>(k + i) * out_->stride, &r, sizeof r);
    if (out_->statuses != nullptr) std::fill_n(out_->statuses + k, count, st);
    tally_add_rows(out_->tally, st, count);
}

void SumWindows::put_lanes(const Block &b, const double *r, bool numbers) noexcept {
    const std::size_t lanes = kernels_->lanes;
    if (!numbers) {
        for (std::size_t j = 0; j < lanes; ++j) put(b.k + lane_on(b, j), r[j], STATUS_OK);
        return;
    }
    // Lane r * width + c is the (c * step + r)-th window on.
    const std::size_t width = b.part == 0 ? lanes : kernels_->width, step = b.part == 0 ? 0 : b.part;
    if (b.part != 0 && out_->stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
        reinterpret_cast<std::uintptr_t>(out_->values) % alignof(double) == 0) {
        kernels_->from_columns(r, reinterpret_cast<double *>(out_->values) + b.k, b.part);
    } else if (r != lane_results(b, nullptr)) {
        const std::ptrdiff_t stride = out_->stride;
        for (std::size_t i = 0; i < lanes; i += width) {
            char *const values = out_->values + static_cast<std::ptrdiff_t>(b.k + i / width) * stride;
            for (std::size_t c = 0; c < width; ++c)
                std::memcpy(values + static_cast<std::ptrdiff_t>(c * step + (b.part == 0 ? c : 0)) * stride, &r[i + c],
                            sizeof(double));
        }
    }
    if (out_->statuses != nullptr)
        for (std::size_t i = 0; i < lanes; i += width)
            for (std::size_t c = 0; c < width; ++c) out_->statuses[b.k + i / width + c * step + (b.part == 0 ? c : 0)] = STATUS_OK;
    out_->tally.rows += lanes;
}

}  // namespace qvhost

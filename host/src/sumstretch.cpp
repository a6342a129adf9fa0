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
                                 (span + 1) * 4, (span + 1) * 4, (span + 1) * 4, columns,
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
    differ_ = static_cast<std::uint32_t *>(parts[5]);
    columns_ = columns > 0 ? static_cast<double *>(parts[6]) : nullptr;
    for (int d = 0; d < 8; ++d) copy_[d] = static_cast<double *>(parts[7 + d]);
    mask_columns_ = static_cast<double *>(parts[15]);
    for (int i = 0; i < 2; ++i) {
        window_counts_[i] = static_cast<double *>(parts[16 + i]);
        column_counts_[i] = static_cast<double *>(parts[18 + i]);
    }
    return true;
}

// Rows a block of prepare's passes takes at once: a block with no NaN (forward), or whose values
// are all present and each differs from the next (backward), is written without a test per row.
// Its tests take the values in pairs, the vectors every x86-64 and ARM64 has.
constexpr std::uint32_t BLOCK = 8;
using Pair = double __attribute__((vector_size(16)));
using Tests = std::int64_t __attribute__((vector_size(16)));

Pair pair_at(const void *x) {
    Pair p;
    std::memcpy(&p, x, sizeof p);
    return p;
}

bool any_of(Tests t) { return (t[0] | t[1]) != 0; }

// to[i] = from + step * i for i < BLOCK, four a store.
void numbers_on(std::uint32_t *to, std::uint32_t from, std::uint32_t step) {
    using Quad = std::uint32_t __attribute__((vector_size(16)));
    const Quad q = Quad{0, 1, 2, 3} * step + from, r = q + 4 * step;
    std::memcpy(to, &q, sizeof q);
    std::memcpy(to + 4, &r, sizeof r);
}

// Whether the BLOCK doubles at x hold a NaN.
bool nan_in_block(const char *x) {
    constexpr std::size_t D = sizeof(double);
    const Pair p = pair_at(x), q = pair_at(x + 2 * D), r = pair_at(x + 4 * D), t = pair_at(x + 6 * D);
    return any_of((p != p) | (q != q) | (r != r) | (t != t));
}

// Whether x[i] != x[i + 1] for every i < BLOCK - 1 (the last pair is tested twice).
bool each_differs_in_block(const double *x) {
    return !any_of((pair_at(x) == pair_at(x + 1)) | (pair_at(x + 2) == pair_at(x + 3)) |
                   (pair_at(x + 4) == pair_at(x + 5)) | (pair_at(x + 5) == pair_at(x + 6)));
}

// The column's rows [base_, base_ + span_) as summands; unless dense, also as masks and counts,
// and for each row how many rows on lies the first present row that differs from the row's first
// present one (by ==, which is transitive on the values a window holds: NaNs read as '.'), so a
// window's "differs from the first" is one comparison.
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
    } else {
        double *const summand = copied_;
        std::uint32_t *const count = count_;
        // The deviation sums mask each row's square: all ones where the row is present.
        std::uint64_t *const masks = stat_ != SumStat::Sum && stat_ != SumStat::Mean && stat_ != SumStat::Uss ? present_ : nullptr;
        std::uint32_t present = 0, t = 0, run = 0, longest = 0;  // the run of missing values, the longest
        count[0] = 0;
        // Every NaN reads as '.' (edge_value), whose summand is -0.0: one comparison, no branch.
        const auto row = [&](double x) {
            const bool missing = x != x;
            summand[t] = missing ? -0.0 : x;
            if (masks != nullptr) masks[t] = missing ? 0 : ~std::uint64_t{0};
            present += missing ? 0 : 1;
            count[++t] = present;
            run = missing ? run + 1 : 0;
            longest = run > longest ? run : longest;
        };
        for (; column && t + BLOCK <= span;) {
            const char *const x = xs + static_cast<std::ptrdiff_t>(t) * stride;
            if (nan_in_block(x)) {
                for (std::uint32_t i = 0; i < BLOCK; ++i) row(load(x + i * sizeof(double)));
                continue;
            }
            std::memcpy(summand + t, x, BLOCK * sizeof(double));
            if (masks != nullptr) std::memset(masks + t, 0xFF, BLOCK * sizeof *masks);
            numbers_on(count + t + 1, present + 1, 1);
            present += BLOCK;
            t += BLOCK;
            run = 0;
        }
        while (t < span) row(load(xs + static_cast<std::ptrdiff_t>(t) * stride));
        summand_ = summand;
        longest_missing_ = longest;
    }
    // A dense stretch's runs are summed in columns, and so are the plain sums' of any stretch.
    shifted_ = shifted_ && !dense_ && stat_ != SumStat::Sum && stat_ != SumStat::Mean;
    if (shifted_) {
        for (std::uint32_t d = 0; d < 8 && d < span; ++d) std::memcpy(copy_[d], summand_ + d, (span - d) * sizeof(double));
    }
    // Dense stretches need no counts; SUM and USS need no first value.
    if (dense_ || stat_ == SumStat::Sum || stat_ == SumStat::Uss) return;
    const std::uint32_t *const count = count_;
    // Backwards, the last present row seen and its next different one kept at hand.
    const double *const summand = summand_;
    std::uint32_t *const first = first_, *const differ = differ_;
    std::uint32_t next = span, next_differ = span;
    first[span] = span;
    const auto row = [&](std::uint32_t t) {
        if (count[t + 1] != count[t]) {
            next_differ = next == span || summand[next] != summand[t] ? next : next_differ;
            next = t;
        }
        differ[t] = next_differ - t;
        first[t] = next;
    };
    std::uint32_t t = span;
    for (; t % BLOCK != 0;) row(--t);
    while (t > 0) {
        const std::uint32_t b = t - BLOCK;
        if (count[t] - count[b] != BLOCK || !each_differs_in_block(summand + b)) {
            while (t > b) row(--t);
            continue;
        }
        // Each row is its own first, and the next row differs from it; the last row's next
        // different row lies beyond the block.
        numbers_on(first + b, b, 1);
        numbers_on(differ + b, 1, 0);
        row(t - 1);
        next = b;
        next_differ = b + 1;
        t = b;
    }
}

bool SumWindows::differs_within(std::size_t f, std::size_t b) const noexcept {
    if (!dense_) return f + differ_[f] < b;
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

// Moving sums, many windows at once. The statistics whose result is a sum over the window's values
// in slot order (SUM, MEAN, USS and the deviation sums CSS, VAR, STD, STDERR, CV) take their
// windows' sums in vector lanes with the package's own steps (qv/lanes.hpp), one lane a window,
// and finish each window with the package's own code (qv/listsum.hpp, qv/devsum.hpp), in lanes
// too where it is one division: the bits of one call per window, at a few adds per vector
// instead of a call per window.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "catalogue.hpp"
#include "memory.hpp"
#include "qvfnc.h"
#include "qvhost.h"
#include "sumlanes.hpp"

namespace qvhost {

// Where a stretch's results go, as the host delivers them: window k's result at values + k *
// stride, its status at statuses[k] (when statuses is given), each counted in tally.
struct SumOut {
    char *values;
    std::ptrdiff_t stride;
    std::int32_t *statuses;
    qvh_tally tally;
};

// The windows of a stretch over one column, laid out in the call's warm block:
//   runs of windows | summands | presence masks | present counts | first present | changes
//   | changes up to the first present | columns | eight shifted copies of the summands (for the kernels that read them)
// A stretch without NaNs is dense: all its values are present, its summands are its values (read
// in place where the column is one of aligned doubles), no counts are kept, and its runs of
// windows are summed in columns (qv::Transposed), where every load of the lanes is aligned.
class SumWindows {
public:
    explicit SumWindows(SumStat stat) noexcept : stat_(stat) {}
    SumStat stat() const { return stat_; }

    // Room for `rows` windows over `span` rows of values; false when the memory is refused.
    bool reserve(WarmBlock &warm, std::size_t rows, std::size_t span) noexcept;

    // Windows [lo + j, hi + j) of the column's rows, j < count: a run of windows each one row on
    // from the last (count 1: any window).
    struct Run {
        std::size_t lo, hi, count;
    };
    // Appends a window (next after the last), as one more of the last run where it slides on from it.
    void add(std::size_t lo, std::size_t hi, std::size_t count) noexcept {
        Run &last = runs_[runs_count_ - (runs_count_ > 0 ? 1 : 0)];
        if (runs_count_ > 0 && last.lo + last.count == lo && last.hi + last.count == hi) {
            last.count += count;
        } else {
            runs_[runs_count_++] = Run{lo, hi, count};
        }
    }

    // Delivers the results of the windows added since the last run, over the column xs (rows
    // stride bytes apart, NaNs read as '.'), to out, as the package's call over each gives them; a
    // window with fewer than min_present present values gets '.' and STATUS_MISSING_ARG. Their
    // lo and hi do not decrease from window to window.
    void run(const char *xs, std::ptrdiff_t stride, std::size_t min_present, SumOut &out) noexcept;

private:
    void prepare(const char *xs, std::ptrdiff_t stride) noexcept;
    // A stretch with missing values read into summands, masks and counts.
    void lay_out(const char *xs, std::ptrdiff_t stride, bool column) noexcept;
    // Missing rows [a, b) learn their first present row f and the changes up to it (out of line:
    // the one-by-one rows that call it stay small).
    [[gnu::noinline]] void ended(std::uint32_t a, std::uint32_t b, std::uint32_t f, std::uint32_t upto) noexcept;
    // A lane block of windows of len rows: lane 0 is window k, at row a of the stretch; with part
    // 0, lane j is the j-th window on, else lane r * width + c the (c * part + r)-th (the stretch
    // in columns, qv::Transposed, at x1). Lane j's first value is x1[j], its second x1[j + next].
    struct Block {
        std::size_t k, a, len, part;
        const double *x1;
        std::size_t next;
        std::size_t at = 0;  // in columns: where the block's lanes start in a column layout (x1 - columns_)
    };
    // A lane block's windows with missing values: each one's count and "differs" (1.0 or 0.0), and
    // what Kernels::counts finds of them.
    struct Counts {
        const double *n, *differs;
        int found;
    };
    std::size_t lane_on(const Block &b, std::size_t j) const noexcept {
        const std::size_t width = kernels_->width;  // a power of two
        return b.part == 0 ? j : (j & (width - 1)) * b.part + (j >> __builtin_ctzll(width));
    }

    template <SumStat S>
    void windows() noexcept;
    template <SumStat S>
    void run_windows(std::size_t k, std::size_t a, std::size_t len, std::size_t count) noexcept;
    // The first windows of a run of count from window k (rows [a, a + len) of the stretch) in
    // columns; how many.
    template <SumStat S>
    std::size_t in_columns(std::size_t k, std::size_t a, std::size_t len, std::size_t count) noexcept;
    // Window k is rows [a, b) of the stretch.
    template <SumStat S>
    void lane_block(const Block &b) noexcept;
    template <SumStat S>
    void single(std::size_t k, std::size_t a, std::size_t b) noexcept;
    template <SumStat S>
    std::size_t from_present_sums(const Block &b, const double *s, double *mean, bool *wants) noexcept;
    Counts lane_counts(const Block &b, std::size_t need) noexcept;
    // For the columns from row a: the counts of windows [0, windows) in columns, and for the
    // deviation sums the presence masks too.
    template <SumStat S>
    void counts_in_columns(std::size_t a, std::size_t len, std::size_t part, std::size_t windows) noexcept;
    template <SumStat S>
    void from_counted_sums(const Block &b, const double *s) noexcept;
    // Window k's outcome from its sum s; true when it needs its deviation sum from mean.
    template <SumStat S>
    bool from_sum(std::size_t k, std::size_t a, std::size_t b, double s, double &mean) noexcept;
    template <SumStat S>
    void from_deviations(std::size_t k, std::size_t a, std::size_t b, double mean, double css) noexcept;
    // Window k's outcome delivered. A lane block's results r, STATUS_OK but for NaNs (none where
    // numbers), r being where lane_results(b) pointed or elsewhere.
    void put(std::size_t k, double r, QvStatus st) noexcept;
    // Windows k .. k + count - 1 delivered as '.' for want of present values.
    void put_missing(std::size_t k, std::size_t count) noexcept;
    void put_lanes(const Block &b, const double *r, bool numbers) noexcept;
    // Where a lane block's results may be written: in place where they are consecutive doubles.
    double *lane_results(const Block &b, double *elsewhere) const noexcept {
        const bool consecutive = b.part == 0 && out_->stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
                                 reinterpret_cast<std::uintptr_t>(out_->values) % alignof(double) == 0;
        return consecutive ? reinterpret_cast<double *>(out_->values) + b.k : elsewhere;
    }

    // Present values before row t of the stretch; the first present row from t on.
    std::uint32_t present_before(std::size_t t) const { return dense_ ? static_cast<std::uint32_t>(t) : count_[t]; }
    std::uint32_t first_present(std::size_t t) const {
        return dense_ || count_[t + 1] != count_[t] ? static_cast<std::uint32_t>(t) : first_[t];
    }
    // The value of the first present row from t on (0.0: none).
    double first_value(std::size_t t) const {
        const std::uint32_t f = first_present(t);
        return f < span_ ? summand_[f] : 0.0;
    }
    // Whether a present row of (f, b) differs from the present row f.
    bool differs_within(std::size_t f, std::size_t b) const noexcept;
    // For the all-present windows of rows [a + j, a + j + len) of a lane block: all ones where a
    // later value differs from the first.
    void block_differs(std::size_t a, std::size_t len, std::int64_t *differs) const noexcept;

    SumStat stat_;
    const Kernels *kernels_ = nullptr;
    SumOut *out_ = nullptr;
    std::size_t base_ = 0, span_ = 0, min_present_ = 0;
    std::size_t longest_missing_ = 0;  // the longest run of missing values in the stretch
    Run *runs_ = nullptr;
    std::size_t runs_count_ = 0;
    std::size_t last_a_ = SIZE_MAX, last_b_ = 0;  // the window last summed alone (SIZE_MAX: none)
    double last_sum_ = 0.0;                        // and its forward sum
    bool dense_ = false;
    const double *summand_ = nullptr;    // a row's value, -0.0 when missing (in place or in copied_)
    double *copied_ = nullptr;
    std::uint64_t *present_ = nullptr;   // all ones for a present value, else 0 (deviations only)
    std::uint32_t *count_ = nullptr;     // present values before a row
    // But for SUM and USS: the changes before a row; the changes up to and including the first
    // present row from a row on; and for a missing row, that first present row (span_: none).
    std::uint32_t *changes_ = nullptr, *upto_ = nullptr, *first_ = nullptr;
    alignas(64) double n_[MAX_LANES] = {}, differs_[MAX_LANES] = {};  // a lane block's Counts
    double *columns_ = nullptr;
    // Where the stretch with missing values is in columns: its presence masks, and its windows'
    // counts and "differs" (in window order, then in columns), and what Kernels::counts found of
    // them all (the deviation sums); MEAN's sums back in window order (window_counts_[0]).
    double *mask_columns_ = nullptr, *window_counts_[2] = {}, *column_counts_[2] = {};
    int columns_found_ = 0;          // the stretch in columns (qv::Transposed), where there is room
    bool shifted_ = false;               // the kernels read copy_
    double *copy_[8] = {};               // copy_[d][t] = summand_[t + d], each 64-byte aligned
};

}  // namespace qvhost

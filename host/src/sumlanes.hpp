// The lane kernels of the moving sums (sumwindows.hpp): the package's steps over many windows at
// once (qv/lanes.hpp), compiled for each instruction set the machine may have and picked once at
// run time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qv/lanes.hpp"

namespace qvhost {

// The widest kernels the sums may use, as far as the machine has them: 0 none (one call per
// window), 1 SSE2, 2 AVX2, 3 AVX-512. The engine's tests and benchmark lower it to try each.
extern std::atomic<int> sum_windows_limit;

// The most windows a kernel takes at once.
constexpr std::size_t MAX_LANES = 64;

// What a lane block's finisher found: every window's second value differs from its first, every
// result is a number (not a NaN), or
// every window holds as many present values as asked for (counts).
enum : int { ALL_DIFFER = 1, ALL_NUMBERS = 2, ENOUGH = 4 };

// A stretch with missing values as its windows read it (SumWindows): each row's summand and
// presence mask (masks: none), the present values before each row, and where first values are
// wanted (changes not null), the changes before each row and up to each row's first present one.
// present and changed: before the next row.
struct Layout {
    double *summand;
    std::uint64_t *masks;
    std::uint32_t *count, *changes, *upto;
    std::uint32_t present, changed;
};

// The kernels of one instruction set, `lanes` windows a call; window j of a block starts at row
// j. The finishers take a block of one count n and write its results to r.
struct Kernels {
    std::size_t lanes, width;  // windows a call, doubles a vector
    void (*sums)(qv::Consecutive x, std::size_t len, double start, double *s);
    void (*squares)(qv::Consecutive x, std::size_t len, double *s);
    void (*deviations)(qv::Consecutive x, const std::uint64_t *present, std::size_t len, const double *mean, double *css);
    void (*shifted_sums)(qv::Shifted x, std::size_t len, double start, double *s);
    void (*shifted_deviations)(qv::Shifted x, const std::uint64_t *present, std::size_t len, const double *mean,
                               double *css);
    // The same over a stretch's values in `width` columns (qv::Transposed), every value present.
    void (*transposed_sums)(const double *t, std::size_t len, double start, double *s);
    void (*transposed_squares)(const double *t, std::size_t len, double *s);
    void (*transposed_deviations)(const double *t, std::size_t len, const double *mean, double *css);
    // ... with missing values, their presence masks in columns alike at m.
    void (*transposed_masked_deviations)(const double *t, const double *m, std::size_t len, const double *mean,
                                         double *css);
    // Rows [c * part, c * part + rows) of x as column c of t; a block's results r (lane q * width
    // + c the q-th of column c) to out + c * part + q.
    void (*to_columns)(const double *x, std::size_t part, std::size_t rows, double *t);
    void (*from_columns)(const double *r, double *out, std::size_t part);
    // Rows t, t + 8, ... of x (t > 0) laid out eight at a time, up to end or the first block with
    // a NaN or, with changes, a row whose value does not differ from the row before: where that is.
    std::uint32_t (*present_blocks)(const double *x, std::uint32_t t, std::uint32_t end, Layout &l);
    // True when none of the n values at x is a NaN.
    bool (*numbers)(const double *x, std::size_t n);
    // True when x1[j + next] (lane j's second value) differs from x1[j] for every lane j.
    bool (*next_differ)(const double *x1, std::size_t next);
    // MEAN from the sums s and first values x1, with a window's "differs" taken as its second
    // value differing from its first (ALL_DIFFER: right for all, else r is not to be used) ...
    int (*means_next)(const double *s, double n, const double *x1, std::size_t next, double *r);
    // ... or given (all ones: differs); ALL_NUMBERS or 0.
    int (*means)(const double *s, double n, const double *x1, const std::int64_t *differs, double *r);
    // ... or the windows at consecutive rows with missing values, each over its own count, from the
    // counts as `counts` takes them: ALL_DIFFER where every window differs (else a window that does
    // not is its first row's value), ALL_NUMBERS.
    int (*means_of_counts)(const double *s, const std::int32_t *count, const std::int32_t *changes,
                           const std::int32_t *upto, std::size_t len, const double *x1, double *r);
    void (*deviation_means)(const double *s, double n, double *mean);
    // CSS, VAR, STD, STDERR (by qv::Spread) from the sums of squares css; ALL_NUMBERS or 0.
    int (*spreads[4])(const double *css, double n, double *r);
    // Windows with missing values, lane j's count n[j] its own: n[j] = count[j + len] - count[j]
    // (the present values before a row), differs[j] 1.0 where changes[j + len] > upto[j] (the
    // changes before a row, and up to the first present row from a row on: a change after the
    // window's first present value), else 0.0. ALL_DIFFER where every lane differs, ENOUGH where
    // every n[j] >= need.
    int (*counts)(const std::int32_t *count, const std::int32_t *changes, const std::int32_t *upto, std::size_t len,
                  double need, double *n, double *differs);
    // deviation_means and spreads with each lane's count.
    void (*deviation_means_counted)(const double *s, const double *n, double *mean);
    int (*spreads_counted[4])(const double *css, const double *n, double *r);
};

// The widest kernels the machine has, within sum_windows_limit.
const Kernels &kernels() noexcept;

}  // namespace qvhost

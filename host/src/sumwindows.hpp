// Moving sums, many windows at once. The statistics whose result is a sum over the window's values
// in slot order (SUM, MEAN, USS and the deviation sums CSS, VAR, STD, STDERR, CV) take their
// windows' sums in vector lanes with the package's own steps (qv/lanes.hpp), one lane a window,
// and finish each window with the package's own code (qv/listsum.hpp, qv/devsum.hpp): the bits of
// one call per window, at a few adds per vector instead of a call per window.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "catalogue.hpp"
#include "memory.hpp"
#include "qvfnc.h"

namespace qvhost {


// The widest kernels the sums may use, as far as the machine has them: 0 none (one call per
// window), 1 SSE2, 2 AVX2, 3 AVX-512. The engine's tests and benchmark lower it to try each.
extern std::atomic<int> sum_windows_limit;

struct Kernels;  // the lane kernels of one instruction set

// The results of a stretch of windows over one column, laid out in the call's warm block:
//   bounds | results | statuses | summands | presence masks | present counts | first present | next different
//   | eight shifted copies of the summands (for the kernels that read them)
class SumWindows {
public:
    explicit SumWindows(SumStat stat) noexcept : stat_(stat) {}
    SumStat stat() const { return stat_; }

    // Room for `rows` windows over `span` rows of values; false when the memory is refused.
    bool reserve(WarmBlock &warm, std::size_t rows, std::size_t span) noexcept;
    // Window k holds rows [lo[k], hi[k]) of the column; lo and hi do not decrease with k.
    std::size_t *lo = nullptr, *hi = nullptr;
    // Window k's result and status as the package's call over it gives them.
    double *result = nullptr;
    QvStatus *status = nullptr;

    // Fills result and status of windows [0, count) over the column xs (rows stride bytes apart,
    // NaNs read as '.'); a window with fewer than min_present present values gets '.' and
    // STATUS_MISSING_ARG.
    void run(const char *xs, std::ptrdiff_t stride, std::size_t count, std::size_t min_present) noexcept;

private:
    void prepare(const char *xs, std::ptrdiff_t stride) noexcept;
    template <SumStat S>
    void windows(std::size_t count) noexcept;
    template <SumStat S>
    void lane_block(std::size_t k) noexcept;
    template <SumStat S>
    void single(std::size_t k) noexcept;
    template <SumStat S>
    bool from_present_sums(std::size_t k, const double *s, double *mean, bool *wants) noexcept;
    // Window k's outcome from its sum s; true when it needs its deviation sum from mean.
    template <SumStat S>
    bool from_sum(std::size_t k, double s, double &mean) noexcept;
    template <SumStat S>
    void from_deviations(std::size_t k, double mean, double css) noexcept;

    SumStat stat_;
    const Kernels *kernels_ = nullptr;
    std::size_t base_ = 0, span_ = 0, min_present_ = 0;
    std::size_t last_ = 0;   // the window last summed alone (SIZE_MAX: none in this stretch)
    double last_sum_ = 0.0;  // and its forward sum
    double *summand_ = nullptr;          // a row's value, -0.0 when missing
    std::uint64_t *present_ = nullptr;   // all ones for a present value, else 0 (deviations only)
    std::uint32_t *count_ = nullptr;     // present values before a row
    std::uint32_t *first_ = nullptr;     // the first present row from a row on (span_: none; not for SUM, USS)
    std::uint32_t *differ_ = nullptr;    // the first present row after a present row whose value differs
    bool shifted_ = false;               // the kernels read copy_
    double *copy_[8] = {};               // copy_[d][t] = summand_[t + d], each 64-byte aligned
};

}  // namespace qvhost

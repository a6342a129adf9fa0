// Rows of a function of one number in vector lanes: the package's own rule for ABS, SQRT, RECIP
// and the integer parts (qv/elementary.hpp), and ROUND's common steps (qv/roundunit.hpp), compiled
// over vectors of doubles for each instruction set the machine may have.
#pragma once

#include <atomic>
#include <cstddef>

#include "catalogue.hpp"

namespace qvhost {

// The functions with a lane form, in the order row_lanes takes them.
enum class LaneFn : int { Abs, Sqrt, Recip, Ceil, Ceilz, Floor, Floorz, Int, Intz, Count };

// Runs the function over in[0, m) into out[0, m), both contiguous, in blocks of a few vectors,
// and returns how many rows it did: it stops before the first block holding a NaN (a missing
// value among them), a number the function does not accept, or a result that is a NaN, and before
// a last block shorter than the others. Every row it did is one the function accepts with status
// OK and a number as result, which the block writes all at once after reading it, so out may be in.
using LaneRows = std::size_t (*)(const double *in, double *out, std::size_t m) noexcept;

// The widest lanes to use, as far as the machine has them: 0 none, 1 SSE4.1, 2 AVX2. Tests lower
// it to try each. (AVX-512 would take the rule's tests lane by lane: GCC makes no vector of them in
// the mask registers; these functions read and write memory at about the rate AVX2 computes them.)
extern std::atomic<int> row_lanes_limit;

// The kernel of f for this machine and the limit, or null (none under the limit, or on a
// processor other than x86-64).
LaneRows row_lanes(LaneFn f) noexcept;

// ROUND of in[0, m) into out[0, m) by one unit, as LaneRows: with divide, the unit given (a
// number of at least ROUND's smallest unit), without, none (unit 1.0). Stops also before a block
// with a value whose quotient by the unit exceeds 2^49 or against which the unit is negligible.
using RoundLanes = std::size_t (*)(const double *in, double *out, std::size_t m, double unit, bool divide) noexcept;
RoundLanes round_lanes() noexcept;

// A summed statistic (SUM, MEAN, USS, CSS, VAR, STD, STDERR) of m rows, row i's n values side by
// side at first + i * stride bytes (aligned), each row in a lane with the steps one list takes
// (qv/listsum.hpp, qv/devsum.hpp), into r[0, m): the rows done. Stops before the first lane block
// with a row the sums alone do not settle: one with too few present values, or (the deviation
// sums) whose values all equal its first, or whose result is a NaN. Null for CV, or with no lanes.
using SumRowLanes = std::size_t (*)(const char *first, std::ptrdiff_t stride, std::size_t n, std::size_t m,
                                    double *r) noexcept;
SumRowLanes sum_row_lanes(SumStat s) noexcept;

}  // namespace qvhost

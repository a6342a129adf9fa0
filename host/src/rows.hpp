// The inner loops of qvh_call_rows: a block of rows called one after another with nothing done per
// row but the package's call, the NaN rule on the way in and out, the stores and the tally.
#pragma once

#include <cstddef>
#include <cstdint>

#include "internal.hpp"
#include "rowlanes.hpp"

namespace qvhost {

// Rows of one argument: row i reads in + i * in_stride bytes and writes its result to out + i *
// out_stride bytes and, when statuses is not NULL, its status to statuses[i].
struct ScalarRows {
    const char *in;
    std::ptrdiff_t in_stride;
    char *out;
    std::ptrdiff_t out_stride;
    std::int32_t *statuses;
};

// What a block of rows ended with: the rows called, and the last row's result and status.
struct RowsEnd {
    std::size_t rows;
    double result;
    QvStatus status;
};

// Calls fn over rows [0, m) of rows, counting each into t. Stops after a row whose status is a
// memory status, without writing that row or counting it (the RowsEnd gives its result and status).
RowsEnd scalar_rows(QvScalarFn fn, const ScalarRows &rows, std::size_t m, qvh_tally &t) noexcept;

// The same loop for a function of one number whose code the host compiles in (qv/elementary.hpp:
// ABS to TANH but LOG2, CEIL to FUZZ), inlined into it: the package's bits with no call per row. Null for
// any other function.
using InlinedRows = RowsEnd (*)(const ScalarRows &, std::size_t, qvh_tally &) noexcept;
InlinedRows inlined_rows_of(const qvh_info &f) noexcept;

// Rows of nargs arguments through an argument list of nargs numeric slots: row i reads argument j
// at args[j] + i * strides[j] bytes into in[j] (the list's numbers) and writes as ScalarRows does,
// and when marks is not NULL, the marks of its arguments to marks[i * nargs ..]. Arguments from
// run on lie side by side in each row (the rows of a matrix laid out by row), so a row reads them
// as one block (contiguous_from).
struct ListRows {
    const double *const *args;
    const std::ptrdiff_t *strides;
    std::size_t nargs;
    std::size_t run;
    FuncArgList *list;
    double *in;
    char *out;
    std::ptrdiff_t out_stride;
    std::int32_t *statuses;
    unsigned char *marks;
};

// The first argument from which every argument of a row follows the one before it in memory, at
// the same stride from row to row: nargs when the last two arguments do not, or when the block
// they make would be read unaligned.
std::size_t contiguous_from(const double *const *args, const std::ptrdiff_t *strides, std::size_t nargs) noexcept;

// Row i's arguments into the list's numbers (in), those from run on as one block.
void lay_row(const ListRows &rows, std::size_t i) noexcept;

// Calls fn over rows [from, to) of rows as scalar_rows does. A row that marks an argument has its
// marks cleared after it unless it is row keep, whose marks stay for the call to report.
RowsEnd list_rows(QvListFn fn, const ListRows &rows, std::size_t from, std::size_t to, std::size_t keep, qvh_tally &t) noexcept;

// The same for a summed statistic (not SumStat::None), each row's outcome made by the package's
// own code for one list over its values in place (inplace.hpp): a row laid out as one block is
// read where it lies, any other copied into the list's numbers first. No argument is marked.
RowsEnd sum_rows(SumStat stat, const ListRows &rows, std::size_t from, std::size_t to, qvh_tally &t) noexcept;

// ROUND's rows by one unit in vector lanes (rowlanes.hpp), where the values and results lie side by
// side and the unit is one for every one of the rows (or none is given): the kernel, the unit (1.0
// where none is given) and whether it was given; no kernel otherwise.
struct UnitRows {
    RoundLanes lanes;
    double unit;
    bool given;
};
UnitRows unit_rows_of(const qvh_info &f, std::size_t rows, std::size_t nargs, const double *const *args,
                      const std::ptrdiff_t *strides, std::ptrdiff_t out_stride) noexcept;

// Rows [from, to) of ROUND as list_rows makes them, those the lanes take in lanes, the blocks they
// stop at by fn, the package's entry.
RowsEnd unit_rows(const UnitRows &u, QvListFn fn, const ListRows &rows, std::size_t from, std::size_t to, std::size_t keep,
                  qvh_tally &t) noexcept;

}  // namespace qvhost

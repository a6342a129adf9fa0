// The inner loop of qvh_call_rows for a function of one number: a block of rows called one after
// another with nothing done per row but the package's call, the NaN rule on the way in and out, the
// stores and the tally.
#pragma once

#include <cstddef>
#include <cstdint>

#include "internal.hpp"

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

}  // namespace qvhost

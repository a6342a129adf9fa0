// The rank argument of SMALLEST, LARGEST and ORDINAL: an integer from 1 to the number of data
// arguments, missing data counted.
#pragma once

#include <cstdint>

#include "qv/args.hpp"
#include "qv/intconv.hpp"
#include "qv/pctlplan.hpp"
#include "qv/values.hpp"

namespace qv {

// Reads k from the first slot and m, the number of data arguments after it. An invalid k gets
// FUNCARG_INVALID on its slot; without a first slot there is no rank to read or mark.
inline bool read_rank(const ArgView &a, std::int64_t &m, std::int64_t &k) {
    const std::int32_t count = a.count32();
    if (count < 1) return false;
    m = count - 1;
    const double x = a.num(0);
    if (!valid_rank(x, m)) {
        a.mark_invalid(0);
        return false;
    }
    k = to_i32(x);
    return true;
}

}  // namespace qv

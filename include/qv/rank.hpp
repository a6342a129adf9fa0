// The rank argument of SMALLEST, LARGEST and ORDINAL: an integer from 1 to the number of data
// arguments, missing data counted.
#pragma once

#include <cstdint>

#include "qv/intconv.hpp"
#include "qv/values.hpp"

namespace qv {

// A NaN rank fails the integer test, since its conversion gives the integer-indefinite value.
inline bool valid_rank(double k, std::int32_t m) {
    return !is_missing(k) && !(1.0 > k) && !(k > static_cast<double>(m)) &&
           k == static_cast<double>(to_i32(k));
}

}  // namespace qv

// The values at several ranks of the present values of a caller's array (those that are not NaN),
// found without sorting: what several percentiles of one list read.
#pragma once

#include <cstddef>
#include <vector>

#include "internal.hpp"

namespace qvhost {

// out[i] gets the ranks[i]-th smallest (from 1) of the present values of xs (n values, stride bytes
// apart), for ranks sorted, distinct and at most present, the number of present values. A value
// at a rank is the one any selection gives there, but for the sign of a zero. QVH_OK, or
// QVH_E_INTERRUPTED when the call's interrupt check asked to stop; std::bad_alloc when memory is
// refused.
int values_at_ranks(qvh_call *call, const double *xs, std::size_t n, std::ptrdiff_t stride, std::size_t present,
                    const std::vector<std::size_t> &ranks, std::vector<double> &out);

}  // namespace qvhost

// The values at several ranks of the present values of a caller's array (those that are not NaN),
// found without sorting: what several percentiles of one list read.
#pragma once

#include "catalogue.hpp"

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

// qvh_call_over of MEDIAN, or of a percentile (lead: the percentile), as qvh_call_percentiles takes
// its percentiles: the values at the ranks the package's plan reads, found together, then the call
// over those one or two; the list is called whole where those cannot give its bits. QVH_OK,
// QVH_E_INTERRUPTED or QVH_E_NOMEM.
int over_by_ranks(qvh_call *call, OrderStat stat, int definition, const double *lead, const double *xs, std::size_t n,
                  std::ptrdiff_t stride, double *result, std::int32_t *status) noexcept;

// qvh_call_over once its arguments are checked: the list laid out (or the last one used again)
// and the package called over it.
int call_over_whole(qvh_call *call, const double *lead, std::size_t nlead, const double *xs, std::size_t n,
                    std::ptrdiff_t stride, double *result, std::int32_t *status, unsigned char *marked) noexcept;

}  // namespace qvhost

// The quantile engine behind PCTL, PCTL1 to PCTL4, MEDIAN, IQR and MAD, over an array of
// pointers to the present values, which it reorders. The table functions run it with
// Passes::MayFinish; Passes::Written runs every middle-pivot pass to its end, which is what the
// white-box test compares the table functions' engine with.
#pragma once

#include <cstdint>

#include "qv/select.hpp"

namespace qv {

enum class Passes { MayFinish, Written };

// The quantile at fraction p of the n values under definition 1 to 4; any other number selects
// definition 5. MISSING_DOT when n is 0 or p lies outside [0, 1].
double quantile(int definition, ValuePtr *values, std::int64_t n, double p, Passes passes);

// Upper minus lower quartile, both under definition 5, the lower one first, on the same array.
double interquartile_range(ValuePtr *values, std::int64_t n, Passes passes);

// The median of the absolute deviations from the median; values[i] points into copies, whose
// first n entries are overwritten with the deviations.
double median_deviation(double *copies, ValuePtr *values, std::int64_t n, Passes passes);

}  // namespace qv

// A percentile at which the package reads a list of two values as a longer list reads two
// neighbouring ranks under definition 1 or 4: the one piece of a short call of a percentile that
// the package's plan (qv/pctlplan.hpp) does not give directly.
#pragma once

namespace qvhost {

// A percentile lead at which the plan of two values under definition (1 or 4) reads rank 1 and 2
// with weight g on the second, g as the plan of the longer list gave it (a multiple of 2^-52, so
// the position 1 + g of the pair is exact); the percentiles around (1 + g) / m * 100 are tried in
// turn. false when none of them gives g's bits: the list is then called whole.
bool pair_percentile(int definition, double g, double &lead) noexcept;

}  // namespace qvhost

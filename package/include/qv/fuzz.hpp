// Fuzz widths that several functions share, each named once by its bits.
#pragma once

#include <bit>

namespace qv {

// Two units in the last place above 2^-43: the relative width within which a number counts as
// another (a percentile's position per value, the spread of GEOMEAN's and HARMEAN's values, a
// MOD divisor against its dividend).
constexpr double RELATIVE_FUZZ = std::bit_cast<double>(0x3D40000000000002ull);
// 1e-6: the most a fuzz that grows with the values (a percentile's position, a half in ROUND)
// reaches.
constexpr double FUZZ_CAP = std::bit_cast<double>(0x3EB0C6F7A0B5ED8Dull);

}  // namespace qv

#pragma once

#include <bit>

namespace qv {

// log2 of x: e - 1 when x = 0.5 * 2^e exactly, otherwise log(x) * (1 / ln 2).
double exact_log2(double x);

}  // namespace qv

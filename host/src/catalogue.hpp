// The catalogue as the host library's own code sees it.
#pragma once

#include <span>
#include <string_view>

#include "qvhost.h"

namespace qvhost {

std::span<const qvh_info> functions();
std::span<const qvh_routine_info> routines();
// The names of the function families, in the order of the reference.
std::span<const char *const> families();

// "qv_pctl3": the name of the function at index in SQL and the language bindings.
const char *sql_name(std::size_t index);

// How the window engine reads a statistic off a few ranks of a window's ordered values: the
// order statistics, each as the function of that name computes it. None: by a call over the
// whole window.
enum class OrderStat { None, Median, Pctl, Iqr, Ordinal, Smallest, Largest, Min, Max, Range };

// The order statistic that a function of the catalogue is and, for a percentile, its definition
// (1 to 5; 0 for the others).
OrderStat order_stat_of(const qvh_info &info, int &definition) noexcept;

// How the window engine sums a statistic's windows many at once: the statistics whose result is a
// sum over the present values in slot order (SUM, USS) or is finished from one (MEAN and the
// deviation sums). None: by a call over the whole window.
enum class SumStat { None, Sum, Mean, Uss, Css, Var, Std, Stderr, Cv };

// The summed statistic that a function of the catalogue is, or None.
SumStat sum_stat_of(const qvh_info &info) noexcept;

// A function by its name in any case, or null.
const qvh_info *find_function(std::string_view name);

// The position of an entry in functions(), which is also its row in the package's table.
inline std::size_t index_of(const qvh_info &info) { return static_cast<std::size_t>(&info - functions().data()); }

}  // namespace qvhost

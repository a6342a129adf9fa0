// Trigamma, the exported routine. Its evaluation is qv::trigamma in qv/specialfn.hpp
// (reflection below 0.5, 1/x beyond 1e35, the asymptotic series above 25, and otherwise the
// recurrence into [5, 6) with a rational approximation there), not this file: the table function
// TRIGAMMA (fnc/qvfncgam.cpp) expands the same evaluation in line rather than calling through
// here, so both give the same bits from one copy of the code. This file only exports it.
#include <cstdint>

#include "qv/export.hpp"
#include "qv/specialfn.hpp"

QV_EXPORT double ztigama(std::int32_t *status, double x) { return qv::trigamma(x, *status); }

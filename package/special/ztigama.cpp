// Trigamma: reflection below 0.5, 1/x beyond 1e35, the asymptotic series above 25, and
// otherwise the recurrence into [5, 6) with a rational approximation there.
#include <cstdint>

#include "qv/export.hpp"
#include "qv/specialfn.hpp"

QV_EXPORT double ztigama(std::int32_t *status, double x) { return qv::trigamma(x, *status); }

// Integer maximum; a tie returns b, which has the same value.
#include "qv/export.hpp"
#include "qvfnc.h"

QV_EXPORT int32_t max(int32_t a, int32_t b) { return b < a ? a : b; }

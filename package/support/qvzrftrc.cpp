// Rebuilds a double from its high-order n bytes; the low 8 - n bytes become zero.
#include <cstring>

#include "qv/export.hpp"
#include "qvfnc.h"

// n is the caller's to keep between 1 and 8. All 8 bytes of *x are written.
QV_EXPORT int32_t qvzrftrc(const uint8_t *source, uint64_t n, double *x) {
    unsigned char image[8] = {};
    std::memcpy(image + (8 - n), source, n);
    std::memcpy(x, image, sizeof image);
    return 0;
}

// Copies the high-order n bytes of a double's little-endian image out to a byte buffer.
#include <cstring>

#include "qv/export.hpp"
#include "qvfnc.h"

// n is the caller's to keep between 1 and 8.
QV_EXPORT int32_t qvzcftrc(uint8_t *destination, uint64_t n, double x) {
    unsigned char image[8];
    std::memcpy(image, &x, sizeof image);
    std::memcpy(destination, image + (8 - n), n);
    return 0;
}

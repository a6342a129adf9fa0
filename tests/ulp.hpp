// Distance for comparing special-function results with references.
#pragma once

#include <cmath>
#include <cstdint>

#include "qv/values.hpp"

namespace spt {

// Units in the last place between two doubles; a NaN is 0 from the same bit pattern only.
inline std::int64_t ulps(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return qv::bits_of(a) == qv::bits_of(b) ? 0 : INT64_MAX;
    auto key = [](double x) {
        const auto i = static_cast<std::int64_t>(qv::bits_of(x));
        return i < 0 ? INT64_MIN - i : i;
    };
    const std::int64_t ka = key(a), kb = key(b);
    return ka > kb ? ka - kb : kb - ka;
}

}  // namespace spt

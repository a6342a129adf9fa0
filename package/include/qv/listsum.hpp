// The forward sum that MEAN and the deviation sums start from: the first present value x1,
// the sum of the present values added in slot order starting from x1, their number, and
// whether any later value differs from x1 (a NaN differs; -0.0 equals 0.0).
#pragma once

#include "qv/args.hpp"

namespace qv {

struct ListSum {
    std::int64_t first = 0;  // slot of x1
    double x1 = 0.0;
    double s = 0.0;
    std::int32_t n = 0;
    bool differs = false;
};

// False when the list holds no present value.
inline bool sum_from_first(const ArgView &v, ListSum &p) {
    const std::int64_t count = v.count64();
    std::int64_t i = 0;
    while (i < count && is_missing(v.num(i))) ++i;
    if (i == count) return false;
    p.first = i;
    p.x1 = v.num(i);
    p.s = p.x1;
    p.n = 1;
    // Compare only until the first difference, then keep to the plain sum.
    for (++i; i < count && !p.differs; ++i) {
        const double x = v.num(i);
        if (is_missing(x)) continue;
        ++p.n;
        p.s = p.s + x;
        p.differs = x != p.x1;
    }
    v.forward(i, count, [&p](double x, std::int64_t) {
        ++p.n;
        p.s = p.s + x;
    });
    return true;
}

}  // namespace qv

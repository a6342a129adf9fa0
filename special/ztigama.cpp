// Trigamma: reflection below 0.5, 1/x beyond 1e35, the asymptotic series above 25, and
// otherwise the recurrence into [5, 6) with a rational approximation there.
#include <cmath>
#include <cstdint>

#include "qv/export.hpp"
#include "qv/gammafn.hpp"

namespace {

constexpr double POLE_EPS = std::bit_cast<double>(0x3D719799812DEA11ull);
constexpr double POLE_VALUE = std::bit_cast<double>(0xC733426172C74D82ull);  // -1e35
constexpr double HUGE_ARG = std::bit_cast<double>(0x4733426172C74D82ull);    // 1e35
constexpr double SERIES_ABOVE = 25.0;
constexpr double CENTRE = 6.5;

// psi1(y) = horner(NUM, z) / horner(DEN, z) on [5, 6) with z = y - 6.5.
constexpr double NUM[] = {-1.3926211662443963e-15, 8.552400851648394e-05, 0.002253271559834363,
                          0.0223858766303939,      0.0993741848240434,    0.16628453574995825};
constexpr double DEN[] = {8.552400846207363e-05, 0.002766415611841837, 0.035912632976248214,
                          0.23383445541222814,   0.7635231680342955,   1.0};
// -691/2730, 5/66, -1/30, 1/42, -1/30: the odd terms from 1/t^5 on.
constexpr double TAIL[] = {-0.2531135531135531, 0.07575757575757576, -0.03333333333333333,
                           0.023809523809523808, -0.03333333333333333};

// psi1(t) ~ 1/t + 1/(2t^2) + 1/(6t^3) - 1/(30t^5) + ... at v = 1/t.
double asymptotic(double v) {
    const double w = v * v;
    const double t = qv::horner(TAIL, w);
    return v * (((w * t + 0.16666666666666666) * v + 0.5) * v + 1.0);
}

}  // namespace

QV_EXPORT double ztigama(std::int32_t *status, double x) {
    *status = 0;
    double y = x;
    double p2 = 0.0;
    const bool reflect = x < 0.5;
    if (!reflect) {
        if (x > HUGE_ARG) return 1.0 / x;
        if (x > SERIES_ABOVE) return asymptotic(1.0 / x);
    } else {
        // psi1(x) = pi^2 / sin^2(pi x) - psi1(1 - x)
        const double s = std::sin(x * qv::PI);
        if (std::fabs(s) < POLE_EPS) {
            *status = 1;
            return POLE_VALUE;
        }
        y = 1.0 - x;
        if (y > HUGE_ARG) return 1.0 / y;
        const double p = qv::PI / s;
        p2 = p * p;
        if (y > SERIES_ABOVE) return p2 - asymptotic(1.0 / y);
    }
    double acc = 0.0;
    while (y < 6.0) {
        acc = acc + 1.0 / (y * y);
        y = y + 1.0;
    }
    // Down into [5, 6). Written as "while y >= 6" so that a NaN leaves after one pass.
    do {
        y = y - 1.0;
        acc = acc - 1.0 / (y * y);
    } while (y >= 6.0);
    acc = acc + qv::horner(NUM, y + (-CENTRE)) / qv::horner(DEN, y + (-CENTRE));
    return reflect ? p2 - acc : acc;
}

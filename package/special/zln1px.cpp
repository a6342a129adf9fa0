// ln(1 + x) and ln(e^a + e^b) with full relative accuracy: near 0 the logarithm comes from a
// short series instead of log(1 + x), whose argument has already lost the low bits of x.
#include <bit>
#include <cmath>

#include "qv/export.hpp"

namespace {

constexpr double SERIES_LIMIT = 0.03125;
constexpr double C1 = -0.0023812878804825234;
constexpr double C2 = std::bit_cast<double>(0x3FB5555555555599ull);  // a few ulps above 1/12
constexpr double C3 = -0.17857545435136499;
constexpr double LN2 = std::bit_cast<double>(0x3FE62E42FEFA39EFull);

// ln(1 + x) = 2 artanh(x / (2 + x)) for |x| <= 1/32, in u = 2x / (2 + x) with a rational
// correction for the higher terms.
double series(double x) {
    const double u = x / (0.5 * x + 1.0);
    const double u2 = u * u;
    const double u3 = u * u2;
    const double r = (C1 * u2 + C2) / (u2 * C3 + 1.0);
    return r * u3 + u;
}

}  // namespace

QV_EXPORT double zln1px(double x) {
    if (std::fabs(x) > SERIES_LIMIT) return std::log(x + 1.0);
    return series(x);
}

// The larger argument is factored out, so e^(smaller - larger) lies in (0, 1].
QV_EXPORT double zlnSumOfExp(double a, double b) {
    if (a > b) return zln1px(std::exp(b - a)) + a;
    if (a == b) return a + LN2;
    return zln1px(std::exp(a - b)) + b;
}

// Digamma: reflection below 0.5, the recurrence into [1, 2] with a rational approximation
// about the positive zero for arguments below 20, and the asymptotic series above. The
// digamma difference uses the same evaluation, and for large close arguments the difference
// of the two asymptotic series taken term by term.
#include <algorithm>
#include <cmath>

#include "qv/export.hpp"
#include "qv/gammafn.hpp"
#include "qv/values.hpp"

namespace {

constexpr double POLE_EPS = std::bit_cast<double>(0x3D719799812DEA11ull);
constexpr double MOST_NEGATIVE = 9007199254740992.0;  // 2^53: below -2^53 every double is a pole
constexpr double SERIES_FROM = 20.0;
constexpr double CLOSE_LIMIT = 1000.0;
constexpr double MINUS_ROOT = std::bit_cast<double>(0xBFF762D86356BE3Full);  // -(positive zero of psi)

// psi(y) = N(z) / D(z) on [1, 2] with z = y - root, N(z) = z * horner(NUM, z).
constexpr double NUM[] = {4.6358835743887255e-07, 0.0002457423193842438, 0.008905175232167111,
                          0.10584618401804752,    0.5378360457327382,    1.204498326430075,
                          0.9676722454476212};
constexpr double DEN[] = {5.07487259536148e-05, 0.002693446899164847, 0.04399281485507783,
                          0.31252643484142645,  1.067560678680108,    1.7022927992025696,
                          1.0};
// B2k / 2k, innermost first: psi(y) ~ ln y - 1 / (2y) - w * horner(ASYMPTOTIC, w), w = 1 / y^2.
constexpr double ASYMPTOTIC[] = {-0.443259803921569,    0.08333333333333333,  -0.0210927960927961,
                                 0.007575757575757576,  -0.004166666666666666, 0.003968253968253968,
                                 -0.008333333333333333, 0.08333333333333333};

// psi(x) into value; false at a pole (within 1e-12 * max(1, |x|) of 0 or a negative
// integer) or below -2^53, with value left alone.
bool digamma(double x, double &value) {
    double acc = 0.0;
    double y = x;
    if (x < 0.5) {
        // psi(x) = psi(1 - x) - pi cot(pi x), measured against the nearest integer.
        const double nearest = std::floor(0.5 - x);
        if (-x > MOST_NEGATIVE) return false;
        const double d = std::fabs(nearest + x);
        if (std::max(1.0, -x) * POLE_EPS > d) return false;
        const double a = x * qv::PI;
        acc = -((qv::PI * std::cos(a)) / std::sin(a));
        y = 1.0 - x;
    }
    if (y < SERIES_FROM) {
        while (y > 2.0) {
            y = y + (-1.0);
            acc = acc + 1.0 / y;
        }
        while (y < 1.0) {
            acc = acc - 1.0 / y;
            y = y + 1.0;
        }
        const double z = y + MINUS_ROOT;
        value = (z * qv::horner(NUM, z)) / qv::horner(DEN, z) + acc;
        return true;
    }
    // Also reached by a NaN.
    const double r = 1.0 / y;
    const double w = r * r;
    value = ((std::log(y) - 0.5 / y) + acc) - w * qv::horner(ASYMPTOTIC, w);
    return true;
}

}  // namespace

QV_EXPORT int zdigama(double *result, double x) {
    *result = 0.0;
    double value;
    if (!digamma(x, value)) {
        *result = qv::MISSING_DOT;
        return 1;
    }
    *result = value;
    return 0;
}

// psi(a) - psi(b). When the larger argument is above 20 and the two are less than 1000 apart,
// the smaller is first raised by the recurrence to within 1 of the larger and the asymptotic
// series are subtracted term by term, the logarithms as ln(1 + (lo - hi) / hi), so nothing
// cancels; otherwise the two digamma values are subtracted.
QV_EXPORT int zdigamadiff(double *result, double a, double b) {
    const bool swapped = a > b;
    double lo = swapped ? b : a;
    const double hi = swapped ? a : b;
    double value;
    if (hi > SERIES_FROM && hi - lo < CLOSE_LIMIT) {
        double acc = 0.0;
        double d = hi - lo;
        // From 2^53 on lo + 1 may round back to lo; the series needs no further step there.
        while (d > 1.0 && lo + 1.0 != lo) {
            acc = acc - 1.0 / lo;
            lo = lo + 1.0;
            d = hi - lo;
        }
        const double rlo = 1.0 / lo;
        const double w1 = rlo * rlo;
        const double rhi = 1.0 / hi;
        const double w2 = rhi * rhi;
        const double ln_ratio = zln1px((lo - hi) / hi);
        const double halves = ((d * 0.5) / lo) / hi;
        value = w2 * qv::horner(ASYMPTOTIC, w2) +
                ((acc + (ln_ratio - halves)) - w1 * qv::horner(ASYMPTOTIC, w1));
    } else {
        *result = 0.0;
        double psi_lo;
        double psi_hi;
        if (!digamma(lo, psi_lo) || !digamma(hi, psi_hi)) return 1;
        value = psi_lo - psi_hi;
    }
    if (swapped) value = value * (-1.0);
    *result = value;
    return 0;
}

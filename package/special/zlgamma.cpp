// Log-gamma for positive arguments, the Stirling correction series on its own, and the
// multivariate log-gamma built on them. Log-gamma itself and the Stirling correction are
// evaluated by qv::ln_gamma and qv::stirling_correction in qv/specialfn.hpp, which the table
// function LGAMMA (fnc/qvfncgam.cpp) expands in line as well, so the routine and the table
// function give the same bits from one copy of the code; zlgbern and zlgamma only export them.
// The multivariate log-gamma below is this file's own.
#include <cmath>
#include <cstdint>

#include "qv/export.hpp"
#include "qv/specialfn.hpp"
#include "qv/values.hpp"

namespace {

constexpr double LN_PI = 1.1447298858494002;

}  // namespace

QV_EXPORT double zlgbern(double x) { return qv::stirling_correction(x); }

QV_EXPORT double zlgamma(double x) { return qv::ln_gamma(x); }

// ln Gamma_p(a) = p (p - 1) / 4 ln pi + sum over j = 1..p of ln Gamma(a + (1 - j) / 2). The
// terms come from ln Gamma at the two smallest arguments b and b + 0.5, each raised by one
// per step with ln Gamma(z + 1) = ln Gamma(z) + ln z.
QV_EXPORT int zlgammaMV(std::int32_t p, double *result, double a) {
    *result = qv::MISSING_DOT;
    const double b = a - static_cast<double>(static_cast<std::int64_t>(p) - 1) * 0.5;
    double v = b;
    if (b <= 0.0 || p <= 0) return 1;
    const double low = zlgamma(b);
    if (low == qv::LGAMMA_FAILED) return 1;
    const double pd = static_cast<double>(p);
    const double k = ((pd + (-1.0)) * LN_PI) * (0.25 * pd);
    if (p == 1) {
        *result = k + low;
        return 0;
    }
    const double high = zlgamma(0.5 + b);
    if (high == qv::LGAMMA_FAILED) return 1;
    double s = (k + low) + high;
    double term[2] = {high, low};
    int i = 1;
    for (std::int32_t n = 0; n < p - 2; ++n) {
        term[i] = term[i] + std::log(v);
        s = term[i] + s;
        v = 0.5 + v;
        i = 1 - i;
    }
    *result = s;
    return 0;
}

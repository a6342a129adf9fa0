// Log-gamma for positive arguments, the Stirling correction series on its own, and the
// multivariate log-gamma built on them.
#include <cmath>
#include <cstdint>

#include "qv/export.hpp"
#include "qv/intconv.hpp"
#include "qv/gammafn.hpp"
#include "qv/values.hpp"

namespace {

// One step above 2^-53: differences below it count as equality.
constexpr double UNIT_EPS = std::bit_cast<double>(0x3CA0000000000002ull);
// One step above the smallest normal double; at or below it the result is FAILED.
constexpr double SMALLEST_ARG = std::bit_cast<double>(0x0010000000000001ull);
constexpr double FAILED = -99.0;
constexpr double LN_GAMMA_1_5 = -0.12078223763524522;
constexpr double LN_PI = 1.1447298858494002;

// ln Gamma(y) = z P(z) / Q(z) on [1, 1.5) with z = y - 1 ...
constexpr double LOW_P[] = {0.002126546376940967, 0.05692342633165193,  0.36252537533106266,
                            0.7494577256954738,   0.2079812846119617,   -0.8017986934675778,
                            -0.5772156649015329};
constexpr double LOW_Q[] = {0.0005124543681927987, 0.026724016735058816, 0.31469269123782706,
                            1.4276752135116328,    2.9550965510668346,   2.8139668163177345,
                            1.0};
// ... and on [1.5, 2] with z = y - 2.
constexpr double HIGH_P[] = {9.627912858833401e-05, 0.004410493669232917, 0.05678875296955259,
                             0.3098673634213962,    0.8058203645027399,   0.9712118746069075,
                             0.42278433509846713};
constexpr double HIGH_Q[] = {2.1326962979603636e-05, 0.0016767266689027731, 0.03194668377437606,
                             0.24611091348667924,    0.8949255863507323,    1.5344580849517535,
                             1.0};

constexpr qv::Rational NEAR_ONE{LOW_P, LOW_Q, HIGH_P, HIGH_Q};

}  // namespace

QV_EXPORT double zlgbern(double x) {
    const double v = 1.0 / x;
    const double w = v * v;
    return v * qv::horner(qv::STIRLING, w);
}

QV_EXPORT double zlgamma(double x) {
    if (x <= SMALLEST_ARG) return FAILED;
    if (std::fabs(x + (-1.0)) < UNIT_EPS || std::fabs(x + (-2.0)) < UNIT_EPS) return 0.0;
    if (!(x < 15.0)) return ((qv::LN_SQRT_2PI - x) + zlgbern(x)) + std::log(x) * (x + (-0.5));

    double y = x;
    const double f = qv::reduce_to_one_two(y);
    // Half-integers reduce to ln Gamma(1.5) exactly.
    const double t = std::fabs((x + (-0.5)) - static_cast<double>(qv::to_i32(x)));
    if (t < UNIT_EPS) return std::log(f) + LN_GAMMA_1_5;
    return std::log(f) + NEAR_ONE(y);
}

// ln Gamma_p(a) = p (p - 1) / 4 ln pi + sum over j = 1..p of ln Gamma(a + (1 - j) / 2). The
// terms come from ln Gamma at the two smallest arguments b and b + 0.5, each raised by one
// per step with ln Gamma(z + 1) = ln Gamma(z) + ln z.
QV_EXPORT int zlgammaMV(std::int32_t p, double *result, double a) {
    *result = qv::MISSING_DOT;
    const double b = a - static_cast<double>(static_cast<std::int64_t>(p) - 1) * 0.5;
    double v = b;
    if (b <= 0.0 || p <= 0) return 1;
    const double low = zlgamma(b);
    if (low == FAILED) return 1;
    const double pd = static_cast<double>(p);
    const double k = ((pd + (-1.0)) * LN_PI) * (0.25 * pd);
    if (p == 1) {
        *result = k + low;
        return 0;
    }
    const double high = zlgamma(0.5 + b);
    if (high == FAILED) return 1;
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

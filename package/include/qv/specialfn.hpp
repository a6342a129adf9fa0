// Log-gamma, digamma and trigamma, shared by the exported routines (zlgamma, zdigama,
// zdigamadiff, ztigama) and the table functions LGAMMA, DIGAMMA and TRIGAMMA, which evaluate
// them in line instead of calling through to the routines.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "qv/gammafn.hpp"
#include "qv/intconv.hpp"

namespace qv {

// ---- log-gamma ----------------------------------------------------------------------------

// One step above 2^-53: differences below it count as equality.
inline constexpr double LGAMMA_UNIT_EPS = std::bit_cast<double>(0x3CA0000000000002ull);
// One step above the smallest normal double; at or below it the result is LGAMMA_FAILED.
inline constexpr double LGAMMA_SMALLEST_ARG = std::bit_cast<double>(0x0010000000000001ull);
inline constexpr double LGAMMA_FAILED = -99.0;
inline constexpr double LN_GAMMA_1_5 = -0.12078223763524522;

// ln Gamma(y) = z P(z) / Q(z) on [1, 1.5) with z = y - 1 ...
inline constexpr double LGAMMA_LOW_P[] = {0.002126546376940967, 0.05692342633165193, 0.36252537533106266,
                                          0.7494577256954738,   0.2079812846119617,  -0.8017986934675778,
                                          -0.5772156649015329};
inline constexpr double LGAMMA_LOW_Q[] = {0.0005124543681927987, 0.026724016735058816, 0.31469269123782706,
                                          1.4276752135116328,    2.9550965510668346,   2.8139668163177345,
                                          1.0};
// ... and on [1.5, 2] with z = y - 2.
inline constexpr double LGAMMA_HIGH_P[] = {9.627912858833401e-05, 0.004410493669232917, 0.05678875296955259,
                                           0.3098673634213962,    0.8058203645027399,   0.9712118746069075,
                                           0.42278433509846713};
inline constexpr double LGAMMA_HIGH_Q[] = {2.1326962979603636e-05, 0.0016767266689027731, 0.03194668377437606,
                                           0.24611091348667924,    0.8949255863507323,    1.5344580849517535,
                                           1.0};

// Horner's rule over two tables of one length at once, one in each lane, each lane taking the
// same steps as horner().
template <std::size_t N>
inline Pair horner_pair(const double (&a)[N], const double (&b)[N], double z) {
    const Pair zz{z, z};
    Pair r{a[0], b[0]};
    [&]<std::size_t... I>(std::index_sequence<I...>) { ((r = r * zz + Pair{a[I + 1], b[I + 1]}), ...); }(std::make_index_sequence<N - 1>{});
    return r;
}

// The Stirling correction series at x.
inline double stirling_correction(double x) {
    const double v = 1.0 / x;
    const double w = v * v;
    return v * horner(STIRLING, w);
}

// ln Gamma(x) for x > 0; LGAMMA_FAILED at or below the smallest valid argument.
[[gnu::always_inline]] inline double ln_gamma(double x) {
    if (x <= LGAMMA_SMALLEST_ARG) return LGAMMA_FAILED;
    if (std::fabs(x + (-1.0)) < LGAMMA_UNIT_EPS || std::fabs(x + (-2.0)) < LGAMMA_UNIT_EPS) return 0.0;
    if (!(x < 15.0)) return ((LN_SQRT_2PI - x) + stirling_correction(x)) + std::log(x) * (x + (-0.5));

    // Into [1, 2]: from below 1 one step up, f = 1 / x; from above 2, n steps down, each exact,
    // so y = x - n at once, and f = (x - 1)(x - 2)...(x - n) multiplied in that order. The
    // approximation at y does not wait for the product.
    double y = x;
    double f = 1.0;
    std::int32_t steps = 0;
    if (x < 1.0) {
        f = f / y;
        y = y + 1.0;
    } else if (x > 2.0) {
        const auto whole = static_cast<std::int32_t>(x);
        steps = static_cast<double>(whole) == x ? whole - 2 : whole - 1;
        y = x - static_cast<double>(steps);
    }
    double r;
    if (y + (-1.5) < 0.0) {
        const double z = y + (-1.0);
        const Pair pq = horner_pair(LGAMMA_LOW_P, LGAMMA_LOW_Q, z);
        r = z * (pq[0] / pq[1]);
    } else {
        const double z = y + (-2.0);
        const Pair pq = horner_pair(LGAMMA_HIGH_P, LGAMMA_HIGH_Q, z);
        r = z * (pq[0] / pq[1]);
    }
    for (double d = x; steps > 0; --steps) {
        d = d + (-1.0);
        f = f * d;
    }
    // log(1) is +0: no call for arguments in [1, 2].
    const double ln_f = f == 1.0 ? 0.0 : std::log(f);
    // Half-integers reduce to ln Gamma(1.5) exactly.
    const double t = std::fabs((x + (-0.5)) - static_cast<double>(to_i32(x)));
    if (t < LGAMMA_UNIT_EPS) return ln_f + LN_GAMMA_1_5;
    return ln_f + r;
}

// ---- digamma ------------------------------------------------------------------------------

inline constexpr double PSI_POLE_EPS = std::bit_cast<double>(0x3D719799812DEA11ull);
inline constexpr double PSI_MOST_NEGATIVE = 9007199254740992.0;  // 2^53: below -2^53 every double is a pole
inline constexpr double PSI_SERIES_FROM = 20.0;
inline constexpr double PSI_MINUS_ROOT = std::bit_cast<double>(0xBFF762D86356BE3Full);  // -(positive zero of psi)

// psi(y) = N(z) / D(z) on [1, 2] with z = y - root, N(z) = z * horner(PSI_NUM, z).
inline constexpr double PSI_NUM[] = {4.6358835743887255e-07, 0.0002457423193842438, 0.008905175232167111,
                                     0.10584618401804752,    0.5378360457327382,    1.204498326430075,
                                     0.9676722454476212};
inline constexpr double PSI_DEN[] = {5.07487259536148e-05, 0.002693446899164847, 0.04399281485507783,
                                     0.31252643484142645,  1.067560678680108,    1.7022927992025696,
                                     1.0};
// B2k / 2k, innermost first: psi(y) ~ ln y - 1 / (2y) - w * horner(PSI_ASYMPTOTIC, w), w = 1 / y^2.
inline constexpr double PSI_ASYMPTOTIC[] = {-0.443259803921569,    0.08333333333333333,  -0.0210927960927961,
                                            0.007575757575757576,  -0.004166666666666666, 0.003968253968253968,
                                            -0.008333333333333333, 0.08333333333333333};

// psi(x) into value; false at a pole (within 1e-12 * max(1, |x|) of 0 or a negative integer)
// or below -2^53, with value left alone.
[[gnu::always_inline]] inline bool digamma(double x, double &value) {
    double acc = 0.0;
    double y = x;
    if (x < 0.5) {
        // psi(x) = psi(1 - x) - pi cot(pi x), measured against the nearest integer.
        const double nearest = std::floor(0.5 - x);
        if (-x > PSI_MOST_NEGATIVE) return false;
        const double d = std::fabs(nearest + x);
        if (std::max(1.0, -x) * PSI_POLE_EPS > d) return false;
        const double a = x * PI;
        acc = -((PI * std::cos(a)) / std::sin(a));
        y = 1.0 - x;
    }
    if (y < PSI_SERIES_FROM) {
        // Down into [1, 2]: each step is exact, so the arguments are y - 1, y - 2, ..., y - n;
        // their reciprocals are taken two at a time and added in that order.
        if (y > 2.0) {
            const auto whole = static_cast<std::int32_t>(y);
            std::int32_t steps = static_cast<double>(whole) == y ? whole - 2 : whole - 1;
            for (; steps >= 2; steps -= 2) {
                const Pair r = Pair{1.0, 1.0} / Pair{y + (-1.0), y + (-2.0)};
                acc = acc + r[0];
                acc = acc + r[1];
                y = y + (-2.0);
            }
            if (steps == 1) {
                y = y + (-1.0);
                acc = acc + 1.0 / y;
            }
        }
        while (y < 1.0) {
            acc = acc - 1.0 / y;
            y = y + 1.0;
        }
        const double z = y + PSI_MINUS_ROOT;
        const Pair nd = horner_pair(PSI_NUM, PSI_DEN, z);
        value = (z * nd[0]) / nd[1] + acc;
        return true;
    }
    // Also reached by a NaN.
    const double r = 1.0 / y;
    const double w = r * r;
    value = ((std::log(y) - 0.5 / y) + acc) - w * horner(PSI_ASYMPTOTIC, w);
    return true;
}

// ---- trigamma -----------------------------------------------------------------------------

inline constexpr double PSI1_POLE_VALUE = std::bit_cast<double>(0xC733426172C74D82ull);  // -1e35
inline constexpr double PSI1_HUGE_ARG = std::bit_cast<double>(0x4733426172C74D82ull);    // 1e35
inline constexpr double PSI1_SERIES_ABOVE = 25.0;
inline constexpr double PSI1_CENTRE = 6.5;

// psi1(y) = horner(PSI1_NUM, z) / horner(PSI1_DEN, z) on [5, 6) with z = y - 6.5.
inline constexpr double PSI1_NUM[] = {-1.3926211662443963e-15, 8.552400851648394e-05, 0.002253271559834363,
                                      0.0223858766303939,      0.0993741848240434,    0.16628453574995825};
inline constexpr double PSI1_DEN[] = {8.552400846207363e-05, 0.002766415611841837, 0.035912632976248214,
                                      0.23383445541222814,   0.7635231680342955,   1.0};
// -691/2730, 5/66, -1/30, 1/42, -1/30: the odd terms from 1/t^5 on.
inline constexpr double PSI1_TAIL[] = {-0.2531135531135531, 0.07575757575757576, -0.03333333333333333,
                                       0.023809523809523808, -0.03333333333333333};

// psi1(t) ~ 1/t + 1/(2t^2) + 1/(6t^3) - 1/(30t^5) + ... at v = 1/t.
inline double trigamma_asymptotic(double v) {
    const double w = v * v;
    const double t = horner(PSI1_TAIL, w);
    return v * (((w * t + 0.16666666666666666) * v + 0.5) * v + 1.0);
}

// psi1(x); status 1 with PSI1_POLE_VALUE where |sin(pi x)| < 1e-12 below 0.5, else 0.
[[gnu::always_inline]] inline double trigamma(double x, std::int32_t &status) {
    status = 0;
    double y = x;
    double p2 = 0.0;
    const bool reflect = x < 0.5;
    if (!reflect) {
        if (x > PSI1_HUGE_ARG) return 1.0 / x;
        if (x > PSI1_SERIES_ABOVE) return trigamma_asymptotic(1.0 / x);
    } else {
        // psi1(x) = pi^2 / sin^2(pi x) - psi1(1 - x)
        const double s = std::sin(x * PI);
        if (std::fabs(s) < PSI_POLE_EPS) {
            status = 1;
            return PSI1_POLE_VALUE;
        }
        y = 1.0 - x;
        if (y > PSI1_HUGE_ARG) return 1.0 / y;
        const double p = PI / s;
        p2 = p * p;
        if (y > PSI1_SERIES_ABOVE) return p2 - trigamma_asymptotic(1.0 / y);
    }
    // Up to 6 by steps of one, each sum rounded in turn, the reciprocal squares taken two at a
    // time and added in order. The last y below 6 lies in [5, 6), so the one step down from
    // above 6 lands on it again exactly and takes off the same reciprocal.
    double acc = 0.0;
    std::int32_t steps = 1;
    if (y < 6.0) {
        double last;
        while (true) {
            const double next = y + 1.0;
            if (!(next < 6.0)) {
                last = 1.0 / (y * y);
                acc = acc + last;
                break;
            }
            const Pair v{y, next};
            const Pair r = Pair{1.0, 1.0} / (v * v);
            acc = acc + r[0];
            acc = acc + r[1];
            last = r[1];
            y = next + 1.0;
            if (!(y < 6.0)) {
                y = next;
                break;
            }
        }
        acc = acc - last;
        steps = 0;
    } else if (y < 26.0) {
        // At least one step, each exact; a NaN takes one.
        steps = static_cast<std::int32_t>(y) - 5;
    }
    for (; steps >= 2; steps -= 2) {
        const Pair v{y - 1.0, y - 2.0};
        const Pair r = Pair{1.0, 1.0} / (v * v);
        acc = acc - r[0];
        acc = acc - r[1];
        y = y - 2.0;
    }
    if (steps == 1) {
        y = y - 1.0;
        acc = acc - 1.0 / (y * y);
    }
    const Pair nd = horner_pair(PSI1_NUM, PSI1_DEN, y + (-PSI1_CENTRE));
    acc = acc + nd[0] / nd[1];
    return reflect ? p2 - acc : acc;
}

}  // namespace qv

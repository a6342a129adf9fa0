// The gamma function: reflection below 0.5, the recurrence into [1, 2] with a rational
// approximation there for arguments below 20, and Stirling's series above. The algorithm is
// here; Horner's rule, Stirling's coefficients and the reduction to [1, 2] come from
// qv/gammafn.hpp, shared with the log-gamma family. The table function GAMMA calls this routine.
#include <cmath>

#include "qv/export.hpp"
#include "qv/gammafn.hpp"
#include "qv/values.hpp"

namespace {

// ln of the largest double: at or above it exp overflows.
constexpr double OVERFLOW_LIMIT = std::bit_cast<double>(0x40862E42FEFA39EFull);
// sin(x pi) at or below this is taken as a pole of the reflection.
constexpr double POLE_EPS = std::bit_cast<double>(0x3D719799812DEA11ull);

// Gamma(y) = 1 + z P(z) / Q(z) on [1, 1.5) with z = y - 1 ...
constexpr double LOW_P[] = {0.002625070040437531, -0.007510271533842285, 0.017528892500123194,
                            0.3098460568601646,   0.25472591714733017,   -0.5772156649015329};
constexpr double LOW_Q[] = {6.856025300447944e-05, -0.0019925700585908582, 0.012161691626495507,
                            0.007359937308245615,  -0.20811952170101305,   0.07093636364673782,
                            1.2721936060171066,    1.0};
// ... and on [1.5, 2] with z = y - 2.
constexpr double HIGH_P[] = {0.0021469534024007183, 0.004928316425130836, 0.019387015799639237,
                             0.24766843010599837,   0.6538471125765124,   0.42278433509846713};
constexpr double HIGH_Q[] = {8.768061728710059e-05, -0.001184778421571799, 0.002705006167117301,
                             0.021218073289239688,  -0.0797327318216399,   -0.16474307835695642,
                             0.5724118943378274,    1.0};

constexpr qv::Rational NEAR_ONE{LOW_P, LOW_Q, HIGH_P, HIGH_Q};

}  // namespace

QV_EXPORT int zgamma(double *result, double x) {
    double y = x < 0.5 ? 1.0 - x : x;
    if (y < 20.0) {
        const double f = qv::reduce_to_one_two(y);
        *result = (NEAR_ONE(y) + 1.0) * f;
    } else {
        // Also reached by a NaN, which fails the overflow test below.
        const double w = 1.0 / (y * y);
        const double s = qv::horner(std::span(qv::STIRLING).last(4), w) / y;
        const double g = ((qv::LN_SQRT_2PI - y) + s) + std::log(y) * (y + (-0.5));
        if (!(g < OVERFLOW_LIMIT)) {
            *result = qv::MISSING_DOT;
            return 1;
        }
        *result = std::exp(g);
    }
    if (x < 0.5) {
        const double s = std::sin(x * qv::PI);
        if (std::fabs(s) > POLE_EPS) {
            *result = qv::PI / (s * *result);
            return 0;
        }
        *result = qv::MISSING_DOT;
        return 1;
    }
    return 0;
}

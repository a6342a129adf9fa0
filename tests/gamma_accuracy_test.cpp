// The special functions on random arguments against independent references: the C library's
// tgamma, lgamma and log1p, and for digamma and trigamma the recurrence up to 40 followed by the
// asymptotic series, written here without rational approximations. A wrong coefficient, interval
// choice or recurrence step shows up as an error far above the tolerances.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "qvtest.hpp"

namespace {

double psi_ref(double x) {
    if (x < 0.5) return psi_ref(1.0 - x) - M_PI / std::tan(M_PI * x);
    double s = 0.0;
    for (; x < 40.0; x += 1.0) s -= 1.0 / x;
    const double w = 1.0 / (x * x);
    return s + std::log(x) - 0.5 / x - w * (1 / 12.0 - w * (1 / 120.0 - w * (1 / 252.0 - w * (1 / 240.0 - w / 132.0))));
}

double psi1_ref(double x) {
    if (x < 0.5) {
        const double s = std::sin(M_PI * x);
        return M_PI * M_PI / (s * s) - psi1_ref(1.0 - x);
    }
    double s = 0.0;
    for (; x < 40.0; x += 1.0) s += 1.0 / (x * x);
    const double v = 1.0 / x, w = v * v;
    return s + v + w / 2 + v * w / 6 - v * w * w / 30 + v * w * w * w / 42;
}

double tgamma(double x) { return std::tgamma(x); }
double lgamma(double x) { return std::lgamma(x); }

struct Range {
    const char *name;
    double lo, hi;  // sampled log-uniformly when lo > 0
    double (*reference)(double);
    double tolerance;  // relative, against max(1, |reference|)
};

const Range RANGES[] = {
    {"GAMMA", 0.5, 20.0, tgamma, 4e-15},       {"GAMMA", 20.0, 171.6, tgamma, 8e-13},
    {"GAMMA", -170.0, 0.5, tgamma, 6e-14},     {"LGAMMA", 1e-300, 15.0, lgamma, 1e-15},
    {"LGAMMA", 15.0, 1e300, lgamma, 1e-15},    {"DIGAMMA", 1e-6, 20.0, psi_ref, 1.5e-14},
    {"DIGAMMA", 20.0, 1e15, psi_ref, 1e-15},   {"DIGAMMA", -60.0, 0.5, psi_ref, 1.5e-14},
    {"TRIGAMMA", 1e-6, 25.0, psi1_ref, 4e-15}, {"TRIGAMMA", 25.0, 1e15, psi1_ref, 1e-15},
    {"TRIGAMMA", -60.0, 0.5, psi1_ref, 3e-15},
};

TEST(Accuracy, WithinToleranceOfReference) {
    for (const Range &c : RANGES) {
        std::mt19937_64 rng(7);
        const bool log = c.lo > 0;
        std::uniform_real_distribution<double> u(log ? std::log(c.lo) : c.lo, log ? std::log(c.hi) : c.hi);
        double worst = 0.0, at = 0.0;
        for (int i = 0; i < 4000; ++i) {
            const double x = log ? std::exp(u(rng)) : u(rng);
            if (x < 0.5 && std::fabs(x - std::nearbyint(x)) < 0.01) continue;  // cot and 1/sin blow up
            const qvt::Result r = qvt::call1(c.name, x);
            ASSERT_EQ(r.status, STATUS_OK) << c.name << "(" << qvt::show(x) << ")";
            const double err = std::fabs(r.value - c.reference(x)) / std::max(1.0, std::fabs(c.reference(x)));
            if (err > worst) worst = err, at = x;
        }
        EXPECT_LT(worst, c.tolerance) << c.name << " on [" << c.lo << ", " << c.hi << "), worst at " << qvt::show(at);
    }
}

#define ROUTINE(name) qvt::package().fn<decltype(&name)>(#name)

// Against p (p - 1) / 4 ln pi + the sum of ln Gamma(a + (1 - j) / 2): catches a wrong term order
// or a missed term.
TEST(MultivariateLogGamma, MatchesDefinition) {
    std::mt19937_64 rng(6);
    std::uniform_real_distribution<double> u(0.01, 1.0);
    for (int i = 0; i < 2000; ++i) {
        const auto p = static_cast<std::int32_t>(1 + rng() % 12);
        const double a = (p - 1) * 0.5 + std::ldexp(u(rng), static_cast<int>(rng() % 12) - 4);
        double sum = p * (p - 1) / 4.0 * std::log(M_PI), r;
        for (int j = 1; j <= p; ++j) sum += std::lgamma(a + (1 - j) / 2.0);
        ASSERT_EQ(ROUTINE(zlgammaMV)(p, &r, a), 0);
        EXPECT_NEAR(r, sum, 1e-12 * (std::fabs(sum) + p)) << "p " << p << " a " << a;
    }
}

// Large, close arguments keep about 15 digits where subtracting two digamma values keeps few. The
// reference is the Taylor series in d = b - a with the asymptotic derivatives of psi, whose
// truncation error is below 1e-16 relative for a >= 1e5 and d <= 1.
TEST(DigammaDifference, RelativeAccuracyForCloseArguments) {
    std::mt19937_64 rng(66);
    std::uniform_real_distribution<double> mantissa(1.0, 2.0), step(1e-6, 1.0);
    double worst = 0.0, worst_plain = 0.0;
    for (int i = 0; i < 5000; ++i) {
        const double a = std::ldexp(mantissa(rng), 17 + static_cast<int>(rng() % 14)), b = a + step(rng), d = b - a;
        const double ref = -d * (1 / a + 1 / (2 * a * a) + 1 / (6 * a * a * a)) + d * d * (1 + 1 / a) / (2 * a * a) -
                           d * d * d / (3 * a * a * a);
        double r, pa, pb;
        ASSERT_EQ(ROUTINE(zdigamadiff)(&r, a, b), 0);
        ROUTINE(zdigama)(&pa, a), ROUTINE(zdigama)(&pb, b);
        worst = std::max(worst, std::fabs((r - ref) / ref));
        worst_plain = std::max(worst_plain, std::fabs((pa - pb - ref) / ref));
    }
    EXPECT_LT(worst, 1e-14);
    EXPECT_GT(worst_plain, 1e-9);
}

// The series branch of zln1px over its whole interval, down to tiny arguments.
TEST(LogHelper, SeriesMatchesLog1p) {
    std::mt19937_64 rng(6666);
    std::uniform_real_distribution<double> u(-0.03125, 0.03125);
    for (int i = 0; i < 20000; ++i) {
        const double x = std::ldexp(u(rng), -static_cast<int>(rng() % 60));
        const double ref = std::log1p(x);
        EXPECT_LE(std::fabs(ROUTINE(zln1px)(x) - ref), 0x1p-51 * std::fabs(ref)) << qvt::show(x);
    }
}

}  // namespace

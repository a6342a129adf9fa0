// GAMMA, LGAMMA, DIGAMMA and TRIGAMMA on random arguments against independent references: the
// C library's tgamma and lgamma, and for digamma and trigamma the recurrence up to 40 followed
// by the asymptotic series, written here without rational approximations. A wrong coefficient,
// interval choice or recurrence step shows up as an error far above the tolerances.
#include <cmath>
#include <functional>
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

struct Range {
    const char *name;
    double lo, hi;
    bool log_uniform;
    std::function<double(double)> reference;
    double tolerance;  // relative, against max(1, |reference|)
};

void PrintTo(const Range &r, std::ostream *os) { *os << r.name << " on [" << r.lo << ", " << r.hi << ")"; }

class Accuracy : public testing::TestWithParam<Range> {};

TEST_P(Accuracy, WithinToleranceOfReference) {
    const Range &c = GetParam();
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(c.log_uniform ? std::log(c.lo) : c.lo, c.log_uniform ? std::log(c.hi) : c.hi);
    double worst = 0.0, at = 0.0;
    for (int i = 0; i < 4000; ++i) {
        const double x = c.log_uniform ? std::exp(u(rng)) : u(rng);
        if (x < 0.5 && std::fabs(x - std::nearbyint(x)) < 0.01) continue;  // cot and 1/sin blow up
        const qvt::Result r = qvt::call1(c.name, x);
        ASSERT_EQ(r.status, STATUS_OK) << c.name << "(" << qvt::show(x) << ")";
        const double ref = c.reference(x);
        const double err = std::fabs(r.value - ref) / std::max(1.0, std::fabs(ref));
        if (err > worst) worst = err, at = x;
    }
    EXPECT_LT(worst, c.tolerance) << c.name << " worst at " << qvt::show(at);
}

double tgamma(double x) { return std::tgamma(x); }
double lgamma(double x) { return std::lgamma(x); }

INSTANTIATE_TEST_SUITE_P(
    Ranges, Accuracy,
    testing::Values(Range{"GAMMA", 0.5, 20.0, false, tgamma, 4e-15},
                    Range{"GAMMA", 20.0, 171.6, false, tgamma, 8e-13},
                    Range{"GAMMA", -170.0, 0.5, false, tgamma, 6e-14},
                    Range{"LGAMMA", 1e-300, 15.0, true, lgamma, 1e-15},
                    Range{"LGAMMA", 15.0, 1e300, true, lgamma, 1e-15},
                    Range{"DIGAMMA", 1e-6, 20.0, true, psi_ref, 1.5e-14},
                    Range{"DIGAMMA", 20.0, 1e15, true, psi_ref, 1e-15},
                    Range{"DIGAMMA", -60.0, 0.5, false, psi_ref, 1.5e-14},
                    Range{"TRIGAMMA", 1e-6, 25.0, true, psi1_ref, 4e-15},
                    Range{"TRIGAMMA", 25.0, 1e15, true, psi1_ref, 1e-15},
                    Range{"TRIGAMMA", -60.0, 0.5, false, psi1_ref, 3e-15}));

}  // namespace

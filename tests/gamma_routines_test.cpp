// The exported special-function routines called directly: multivariate log-gamma, digamma
// difference, ln(1 + x), ln(e^a + e^b) and trigamma's pole report.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "qvtest.hpp"
#include "ulp.hpp"

namespace {

using qvt::DOT;
constexpr double INF = std::numeric_limits<double>::infinity();

template <class T>
T routine(const char *name) {
    T f = qvt::package().fn<T>(name);
    if (f == nullptr) ADD_FAILURE() << name << " is not exported";
    return f;
}
#define ROUTINE(name) routine<decltype(&name)>(#name)

enum Fn { MV, DIFF, LN1PX, LNSUM, TRI };

struct Row {
    Fn fn;
    double a, b;  // zlgammaMV takes p = (int32) b; zln1px and ztigama take a
    int ret;      // returned int, or the status of ztigama
    double expected;
    int ulps;
};

void PrintTo(const Row &r, std::ostream *os) { *os << "routine " << r.fn << " (" << r.a << ", " << r.b << ")"; }

class Routine : public testing::TestWithParam<Row> {};

TEST_P(Routine, Value) {
    const Row &c = GetParam();
    double r = 12345.0;
    int ret = 0;
    if (c.fn == MV) ret = ROUTINE(zlgammaMV)(static_cast<std::int32_t>(c.b), &r, c.a);
    if (c.fn == DIFF) ret = ROUTINE(zdigamadiff)(&r, c.a, c.b);
    if (c.fn == LN1PX) r = ROUTINE(zln1px)(c.a);
    if (c.fn == LNSUM) r = ROUTINE(zlnSumOfExp)(c.a, c.b);
    std::int32_t status = 7;
    if (c.fn == TRI) r = ROUTINE(ztigama)(&status, c.a), ret = status;
    EXPECT_EQ(ret, c.ret);
    EXPECT_LE(spt::ulps(r, c.expected), c.ulps) << "gave " << qvt::show(r);
}

INSTANTIATE_TEST_SUITE_P(
    MultivariateLogGamma, Routine,
    testing::Values(Row{MV, 1.0, 1, 0, 0.0, 0}, Row{MV, 3.0, 3, 0, 2.694924879806965, 4}, Row{MV, 1.0, 3, 1, DOT, 0},
                    Row{MV, 0.5 + 0x1p-1060, 2, 1, DOT, 0},  // ln Gamma of the smallest argument fails
                    Row{MV, 5.0, 0, 1, DOT, 0}, Row{MV, 5.0, -1, 1, DOT, 0}, Row{MV, 5.0, INT32_MIN, 1, DOT, 0}));

INSTANTIATE_TEST_SUITE_P(
    DigammaDifference, Routine,
    testing::Values(Row{DIFF, 1, 2, 0, -1.0, 0}, Row{DIFF, 2, 1, 0, 1.0, 0}, Row{DIFF, 0.5, 1.5, 0, -2.0, 0},
                    Row{DIFF, 50, 50, 0, 0.0, 0}, Row{DIFF, 25.5, 25, 0, 0.020199960031945758, 2},
                    Row{DIFF, 25, 25.5, 0, -0.020199960031945758, 2},
                    Row{DIFF, 1e6, 1e6 + 0.001, 0, -1.0000005469976413e-09, 2},
                    Row{DIFF, 21, 1021, 0, -3.9075240300172074, 2}, Row{DIFF, 21, 1020.5, 0, -3.907033954084857, 2},
                    Row{DIFF, 0, 5, 1, 0.0, 0}, Row{DIFF, 5, 0, 1, 0.0, 0}, Row{DIFF, -3, 5, 1, 0.0, 0},
                    Row{DIFF, 25, -3, 0, INF, 0},  // no pole test when the larger is above 20
                    Row{DIFF, -4.5, 25, 0, -1.5876493642702234, 2},
                    // a step of 1 no longer moves the smaller argument; the series alone answers
                    Row{DIFF, 0x1p60, 0x1p60 + 512, 0, -512 * 0x1p-60, 2}));

INSTANTIATE_TEST_SUITE_P(
    Logarithms, Routine,
    testing::Values(Row{LN1PX, 1e-10, 0, 0, 9.999999999500001e-11, 0}, Row{LN1PX, 1e-300, 0, 0, 1e-300, 0},
                    Row{LN1PX, 0.03125, 0, 0, 0.03077165866675369, 0}, Row{LN1PX, 0.5, 0, 0, std::log(1.5), 0},
                    Row{LN1PX, -1, 0, 0, -INF, 0}, Row{LN1PX, -0.0, 0, 0, -0.0, 0},
                    Row{LNSUM, 0, 0, 0, 0.6931471805599453, 0}, Row{LNSUM, 1000, 1000, 0, 1000.6931471805599, 0},
                    Row{LNSUM, 1000, 0, 0, 1000.0, 0}, Row{LNSUM, 0, 1000, 0, 1000.0, 0},
                    Row{LNSUM, 1, 2, 0, 2.313261687518223, 2}, Row{LNSUM, 2, 1, 0, 2.313261687518223, 2},
                    Row{LNSUM, 0, -10, 0, 4.539889921686465e-05, 2}, Row{LNSUM, -1e308, 1e308, 0, 1e308, 0}));

INSTANTIATE_TEST_SUITE_P(TrigammaPole, Routine,
                         testing::Values(Row{TRI, 0.0, 0, 1, -1e35, 0}, Row{TRI, -4.0, 0, 1, -1e35, 0},
                                         Row{TRI, -170.0, 0, 1, -1e35, 0}, Row{TRI, 0x1p60, 0, 0, 0x1p-60, 0}));

// Against p (p - 1) / 4 ln pi + sum of ln Gamma(a + (1 - j) / 2) with the C library's lgamma:
// catches a wrong term order or a missed term.
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

// psi(a) - psi(a + d) for large a from the Taylor series in d with the asymptotic derivatives
// of psi; its truncation error is below 1e-16 relative for a >= 1e5 and d <= 1.
double close_difference(double a, double d) {
    const double psi1 = 1 / a + 1 / (2 * a * a) + 1 / (6 * a * a * a);
    const double psi2 = -1 / (a * a) - 1 / (a * a * a);
    return -(d * psi1 + d * d / 2 * psi2 + d * d * d / 6 * (2 / (a * a * a)));
}

// Large, close arguments keep about 15 digits where subtracting two digamma values keeps few.
TEST(DigammaDifference, RelativeAccuracyForCloseArguments) {
    std::mt19937_64 rng(66);
    std::uniform_real_distribution<double> mantissa(1.0, 2.0), step(1e-6, 1.0);
    double worst = 0.0, worst_plain = 0.0;
    for (int i = 0; i < 5000; ++i) {
        const double a = std::ldexp(mantissa(rng), 17 + static_cast<int>(rng() % 14)), b = a + step(rng);
        const double ref = close_difference(a, b - a);
        double r, pa, pb;
        ASSERT_EQ(ROUTINE(zdigamadiff)(&r, a, b), 0);
        ROUTINE(zdigama)(&pa, a), ROUTINE(zdigama)(&pb, b);
        worst = std::max(worst, std::fabs((r - ref) / ref));
        worst_plain = std::max(worst_plain, std::fabs((pa - pb - ref) / ref));
    }
    EXPECT_LT(worst, 1e-14);
    EXPECT_GT(worst_plain, 1e-9);
}

// The series branch of zln1px against the C library's log1p over the whole series interval.
TEST(LogHelper, SeriesMatchesLog1p) {
    std::mt19937_64 rng(6666);
    std::uniform_real_distribution<double> x(-0.03125, 0.03125);
    for (int i = 0; i < 20000; ++i) {
        const double v = i % 2 ? x(rng) : std::ldexp(x(rng), -static_cast<int>(rng() % 60));
        EXPECT_LE(spt::ulps(ROUTINE(zln1px)(v), std::log1p(v)), 2) << qvt::show(v);
    }
}

}  // namespace

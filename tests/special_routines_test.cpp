// The exported special-function routines called directly: multivariate log-gamma, digamma
// difference, ln(1 + x), ln(e^a + e^b) and trigamma's pole report.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "qvtest.hpp"
#include "special_util.hpp"

namespace {

using qvt::DOT;

// The package's own routines, looked up once on first use.
struct Routines {
    template <class T>
    static T get(const char *name) {
        T f = qvt::package().fn<T>(name);
        if (f == nullptr) ADD_FAILURE() << name << " is not exported";
        return f;
    }
    decltype(&zlgammaMV) lgammaMV = get<decltype(&zlgammaMV)>("zlgammaMV");
    decltype(&zlgamma) lgamma1 = get<decltype(&zlgamma)>("zlgamma");
    decltype(&zdigama) digamma = get<decltype(&zdigama)>("zdigama");
    decltype(&ztigama) trigamma = get<decltype(&ztigama)>("ztigama");
    decltype(&zdigamadiff) digammadiff = get<decltype(&zdigamadiff)>("zdigamadiff");
    decltype(&zln1px) ln1px = get<decltype(&zln1px)>("zln1px");
    decltype(&zlnSumOfExp) lnSumOfExp = get<decltype(&zlnSumOfExp)>("zlnSumOfExp");
};
const Routines &rt() {
    static const Routines r;
    return r;
}

constexpr double INF = std::numeric_limits<double>::infinity();

struct MvRow {
    std::int32_t p;
    double a;
    int ret;
    double expected;
    int ulps;
};

class MultivariateLogGamma : public testing::TestWithParam<MvRow> {};

TEST_P(MultivariateLogGamma, Value) {
    const MvRow &c = GetParam();
    double r = 12345.0;
    EXPECT_EQ(rt().lgammaMV(c.p, &r, c.a), c.ret) << c.p << ", " << c.a;
    EXPECT_LE(spt::ulps(r, c.expected), c.ulps) << c.p << ", " << c.a << " gave " << qvt::show(r);
    if (c.ret != 0) {
        EXPECT_SAME(r, DOT);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MultivariateLogGamma,
    testing::Values(MvRow{1, 1.0, 0, 0.0, 0},
                    MvRow{3, 3.0, 0, 2.694924879806965, 4}, MvRow{3, 1.0, 1, DOT, 0},
                    MvRow{2, 0.5 + 0x1p-1060, 1, DOT, 0},  // ln Gamma of the smallest argument fails
                    MvRow{0, 5.0, 1, DOT, 0}, MvRow{-1, 5.0, 1, DOT, 0}, MvRow{INT32_MIN, 5.0, 1, DOT, 0}));

TEST(MultivariateLogGamma, DimensionOneIsLogGamma) {
    for (double a : {1e-300, 0.5, 1.0, 3.7, 14.5, 15.0, 1e10}) {
        double r;
        EXPECT_EQ(rt().lgammaMV(1, &r, a), 0);
        EXPECT_SAME(r, rt().lgamma1(a));
    }
}

// Against the definition p (p - 1) / 4 ln pi + sum of ln Gamma(a + (1 - j) / 2), with the C
// library's log-gamma for each term: catches a wrong term order or a missed term.
TEST(MultivariateLogGamma, MatchesDefinition) {
    std::mt19937_64 rng(6);
    for (int i = 0; i < 2000; ++i) {
        const auto p = static_cast<std::int32_t>(1 + rng() % 12);
        const double a = (p - 1) * 0.5 + std::ldexp(1.0, static_cast<int>(rng() % 12) - 4) *
                                              std::uniform_real_distribution<double>(0.01, 1.0)(rng);
        double sum = p * (p - 1) / 4.0 * std::log(M_PI);
        for (int j = 1; j <= p; ++j) sum += std::lgamma(a + (1 - j) / 2.0);
        double r;
        ASSERT_EQ(rt().lgammaMV(p, &r, a), 0);
        EXPECT_NEAR(r, sum, 1e-12 * (std::fabs(sum) + p)) << "p " << p << " a " << a;
    }
}

struct DiffRow {
    double a, b;
    int ret;
    double expected;
    int ulps;
};

class DigammaDifference : public testing::TestWithParam<DiffRow> {};

TEST_P(DigammaDifference, Value) {
    const DiffRow &c = GetParam();
    double r = 12345.0;
    EXPECT_EQ(rt().digammadiff(&r, c.a, c.b), c.ret) << c.a << ", " << c.b;
    EXPECT_LE(spt::ulps(r, c.expected), c.ulps) << c.a << ", " << c.b << " gave " << qvt::show(r);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DigammaDifference,
    testing::Values(DiffRow{1, 2, 0, -1.0, 0}, DiffRow{2, 1, 0, 1.0, 0}, DiffRow{0.5, 1.5, 0, -2.0, 0},
                    DiffRow{50, 50, 0, 0.0, 0}, DiffRow{25.5, 25, 0, 0.020199960031945758, 2},
                    DiffRow{25, 25.5, 0, -0.020199960031945758, 2},
                    DiffRow{1e6, 1e6 + 0.001, 0, -1.0000005469976413e-09, 2},
                    DiffRow{21, 1021, 0, -3.9075240300172074, 2}, DiffRow{21, 1020.5, 0, -3.907033954084857, 2},
                    DiffRow{0, 5, 1, 0.0, 0}, DiffRow{5, 0, 1, 0.0, 0}, DiffRow{-3, 5, 1, 0.0, 0},
                    DiffRow{25, -3, 0, INF, 0},  // no pole test when the larger is above 20
                    DiffRow{-4.5, 25, 0, -1.5876493642702234, 2},
                    // a step of 1 no longer moves the smaller argument; the series alone answers
                    DiffRow{0x1p60, 0x1p60 + 512, 0, -512 * 0x1p-60, 2}));

// psi(a) - psi(a + d) for large a from the Taylor series in d with the asymptotic derivatives
// of psi; its truncation error is below 1e-16 relative for a >= 1e5 and d <= 1.
double close_difference(double a, double d) {
    const double psi1 = 1 / a + 1 / (2 * a * a) + 1 / (6 * a * a * a);
    const double psi2 = -1 / (a * a) - 1 / (a * a * a);
    const double psi3 = 2 / (a * a * a);
    return -(d * psi1 + d * d / 2 * psi2 + d * d * d / 6 * psi3);
}

// Large, close arguments keep about 15 digits where subtracting two digamma values keeps few.
TEST(DigammaDifference, RelativeAccuracyForCloseArguments) {
    std::mt19937_64 rng(66);
    double worst = 0.0, worst_plain = 0.0;
    for (int i = 0; i < 5000; ++i) {
        const double a = std::ldexp(std::uniform_real_distribution<double>(1.0, 2.0)(rng), 17 + static_cast<int>(rng() % 14));
        const double b = a + std::uniform_real_distribution<double>(1e-6, 1.0)(rng);
        const double ref = close_difference(a, b - a);
        double r, pa, pb;
        ASSERT_EQ(rt().digammadiff(&r, a, b), 0);
        rt().digamma(&pa, a);
        rt().digamma(&pb, b);
        worst = std::max(worst, std::fabs((r - ref) / ref));
        worst_plain = std::max(worst_plain, std::fabs((pa - pb - ref) / ref));
    }
    EXPECT_LT(worst, 1e-14);
    EXPECT_GT(worst_plain, 1e-9);
}

// Away from the close, large case the difference is exactly that of two digamma values.
TEST(DigammaDifference, PlainDifferenceElsewhere) {
    std::mt19937_64 rng(666);
    std::uniform_real_distribution<double> arg(-30.0, 20.0);
    for (int i = 0; i < 5000; ++i) {
        const double a = arg(rng), b = i % 2 ? arg(rng) : a + 1000.0 + arg(rng) * 100.0;
        double r, pa, pb;
        const int fa = rt().digamma(&pa, a), fb = rt().digamma(&pb, b);
        const int ret = rt().digammadiff(&r, a, b);
        if (b > 20.0 && a < b && b - a < 1000.0) continue;
        ASSERT_EQ(ret, fa | fb) << a << ", " << b;
        EXPECT_SAME(r, ret ? 0.0 : (a > b ? (pb - pa) * -1.0 : pa - pb)) << a << ", " << b;
    }
}

struct LogRow {
    double a, b;  // zln1px takes a; zlnSumOfExp takes both
    bool sum;
    double expected;
    int ulps;
};

class LogHelper : public testing::TestWithParam<LogRow> {};

TEST_P(LogHelper, Value) {
    const LogRow &c = GetParam();
    const double r = c.sum ? rt().lnSumOfExp(c.a, c.b) : rt().ln1px(c.a);
    EXPECT_LE(spt::ulps(r, c.expected), c.ulps) << c.a << ", " << c.b << " gave " << qvt::show(r);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LogHelper,
    testing::Values(LogRow{1e-10, 0, false, 9.999999999500001e-11, 0}, LogRow{1e-300, 0, false, 1e-300, 0},
                    LogRow{0.03125, 0, false, 0.03077165866675369, 0}, LogRow{0.5, 0, false, std::log(1.5), 0},
                    LogRow{-1, 0, false, -INF, 0}, LogRow{-0.0, 0, false, -0.0, 0},
                    LogRow{0, 0, true, 0.6931471805599453, 0}, LogRow{1000, 1000, true, 1000.6931471805599, 0},
                    LogRow{1000, 0, true, 1000.0, 0}, LogRow{0, 1000, true, 1000.0, 0},
                    LogRow{1, 2, true, 2.313261687518223, 2}, LogRow{2, 1, true, 2.313261687518223, 2},
                    LogRow{0, -10, true, 4.539889921686465e-05, 2}, LogRow{-1e308, 1e308, true, 1e308, 0}));

// The series branch against the C library's log1p over the whole series interval.
TEST(LogHelper, SeriesMatchesLog1p) {
    std::mt19937_64 rng(6666);
    std::uniform_real_distribution<double> x(-0.03125, 0.03125);
    for (int i = 0; i < 20000; ++i) {
        const double v = i % 2 ? x(rng) : std::ldexp(x(rng), -static_cast<int>(rng() % 60));
        EXPECT_LE(spt::ulps(rt().ln1px(v), std::log1p(v)), 2) << qvt::show(v);
    }
}

TEST(Trigamma, PoleReportsStatusAndValue) {
    for (double x : {0.0, -4.0, -170.0}) {
        std::int32_t status = 7;
        EXPECT_SAME(rt().trigamma(&status, x), -1e35);
        EXPECT_EQ(status, 1);
    }
    std::int32_t status = 7;
    EXPECT_SAME(rt().trigamma(&status, 0x1p60), 1.0 / 0x1p60);
    EXPECT_EQ(status, 0);
}

}  // namespace

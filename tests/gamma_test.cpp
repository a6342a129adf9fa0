// GAMMA, LGAMMA, DIGAMMA and TRIGAMMA: known values, poles and thresholds on both sides, failure
// results and missing arguments through the table rows, and the exported routines beside them;
// then random arguments against independent references: the C library's tgamma and lgamma, and
// for digamma and trigamma the recurrence up to 40 followed by the asymptotic series,
// written here without rational approximations. A wrong coefficient, interval choice or
// recurrence step shows up as an error far above the tolerances.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "qvtest.hpp"

namespace {

// Values written without a tolerance are what the functions give, bit for bit. Poles are
// |sin(pi x)| <= 1e-12 for GAMMA and TRIGAMMA, and within 1e-12 * max(1, |x|) of a non-positive
// integer for DIGAMMA, so its band grows with |x|: 1e-12 * 1000 around -1000. LGAMMA treats
// arguments within one step above 2^-53 of 1 or 2 as 1 or 2; half-integers take ln Gamma(1.5)
// plus the log of the recurrence product; at or below the smallest normal double it gives -99.
INSTANTIATE_TEST_SUITE_P(KnownValues, Rows, testing::Values(
    "GAMMA 5 = 24", "GAMMA 1 = 1", "GAMMA 2 = 1", "GAMMA 0.5 = 1.772453850905516",
    "GAMMA -0.5 = -3.5449077018110318", "GAMMA -1.5 = 2.363271801207355", "GAMMA 0 = . !", "GAMMA -1 = . !",
    "GAMMA -3 = . !", "GAMMA -2.99999999999999 = . !", "GAMMA 3e-13 = . !", "GAMMA 1e-12 = 999999999999.42278~4",
    "GAMMA 171.62 = 1.7576826789978123e+308~500", "GAMMA 171.63 = . !", "GAMMA 172 = . !",
    "GAMMA -170.5 = -3.312739521538607e-308~100", "GAMMA -170.7 = . !", "GAMMA 19.999 = 1.2128428999668373e+17~8",
    "GAMMA 20 = 121645100408832000~8", "GAMMA inf = . !", "GAMMA -nan = . !", "GAMMA . = . ?",
    "LGAMMA 1 = 0", "LGAMMA 2 = 0", "LGAMMA 0.9999999999999999 = 0", "LGAMMA 1.0000000000000002 = -1.2816762426960013e-16~4",
    "LGAMMA 1.5 = -0.12078223763524522", "LGAMMA 0.5 = 0.5723649429247001", "LGAMMA 7.5 = 7.534364236758734",
    "LGAMMA 0 = . !", "LGAMMA -2 = . !", "LGAMMA #0010000000000001 = -99", "LGAMMA #0010000000000002 = 708.39641853226408",
    "LGAMMA 1e-300 = 690.7755278982137", "LGAMMA 14.999 = 25.18854687054693", "LGAMMA 15 = 25.191221182738683~4",
    "LGAMMA inf = -nan", "LGAMMA -nan = -nan", "LGAMMA #FFFF000000000001 = . ?",
    "DIGAMMA 1 = -0.5772156649015328", "DIGAMMA 2 = 0.42278433509846725", "DIGAMMA 1.4616321449683622 = 0",
    "DIGAMMA 0.5 = -1.9635100260214233", "DIGAMMA -0.5 = 0.03648997397857681", "DIGAMMA -1.5 = 0.7031566406452439",
    "DIGAMMA 19.999 = 2.9704727201051084", "DIGAMMA 20 = 2.970523992242149", "DIGAMMA 0 = . !", "DIGAMMA -1 = . !",
    "DIGAMMA 1e-13 = . !", "DIGAMMA 1e-12 = -1000000000000.5772~2", "DIGAMMA -2.0000000000001 = . !",
    "DIGAMMA -2.00001 = 100000.9227565674", "DIGAMMA -999.9999999995 = . !", "DIGAMMA -999.999999998 = *",
    "DIGAMMA -3e15 = . !", "DIGAMMA -inf = . !", "DIGAMMA inf = inf", "DIGAMMA -nan = -nan", "DIGAMMA ._ = . ?",
    "TRIGAMMA 1 = 1.6449340668482266", "TRIGAMMA 0.5 = 4.93480220054468", "TRIGAMMA -0.5 = 8.934802200544679",
    "TRIGAMMA -2.5 = 9.539246644989124", "TRIGAMMA 0 = . !", "TRIGAMMA -4 = . !", "TRIGAMMA -3.9999999999997 = . !",
    "TRIGAMMA -3.999999999999 = *", "TRIGAMMA -30.5 = 9.837349132820684", "TRIGAMMA 25 = 0.04081066325722563",
    "TRIGAMMA 25.5 = 0.03999466964956293", "TRIGAMMA 1e36 = 1e-36", "TRIGAMMA -1e36 = 1e-36", "TRIGAMMA inf = 0",
    "TRIGAMMA .Z = . ?", "TRIGAMMA -nan = -nan",
    // The true value is 10.87173089089975; the reflection takes sin of the rounded product x * pi,
    // which puts the result about 12 ulps away. The algorithm is kept, hence the tolerance.
    "TRIGAMMA -24.6 = 10.87173089089975~24"));

using qvt::DOT;
constexpr double INF = std::numeric_limits<double>::infinity();

struct Row {
    double a, b;      // zlgammaMV takes p = (int32) b, the one-argument routines b = 0
    int ret;          // the returned int, or ztigama's status word
    double expected;
    unsigned ulps;    // 0: bit for bit
};

#define ROUTINE(name) qvt::package().fn<decltype(&name)>(#name)

// The returned int (ztigama's status word, 0 where there is none) and the value.
std::pair<int, double> run(std::string_view fn, const Row &c) {
    double r = 12345.0;
    std::int32_t status = 7;
    if (fn == "zlgammaMV") return {ROUTINE(zlgammaMV)(static_cast<std::int32_t>(c.b), &r, c.a), r};
    if (fn == "zdigamadiff") return {ROUTINE(zdigamadiff)(&r, c.a, c.b), r};
    if (fn == "zln1px") return {0, ROUTINE(zln1px)(c.a)};
    if (fn == "zlnSumOfExp") return {0, ROUTINE(zlnSumOfExp)(c.a, c.b)};
    r = ROUTINE(ztigama)(&status, c.a);
    return {status, r};
}

const std::pair<const char *, std::vector<Row>> ROUTINES[] = {
    {"ztigama", {{0.0, 0, 1, -1e35, 0}, {-4.0, 0, 1, -1e35, 0}, {0x1p60, 0, 0, 0x1p-60, 0}}},
    {"zlgammaMV",
     {{1.0, 1, 0, 0.0, 0}, {3.0, 3, 0, 2.694924879806965, 4}, {1.0, 3, 1, DOT, 0}, {5.0, 0, 1, DOT, 0},
      {5.0, -1, 1, DOT, 0}, {0x1p-1060, 1, 1, DOT, 0},  // ln Gamma of a subnormal argument fails
      // p (p - 1) / 4 ln pi + the sum of ln Gamma(a + (1 - j) / 2) for j = 1..p
      {4.0, 5, 0, 9.694212551854994, 4}, {7.25, 12, 0, 71.95321462571461, 8}}},
    // (25, -3): no pole test when the larger is above 20. From 2^53 on a step of 1 no longer moves
    // the smaller argument; the series alone answers.
    {"zdigamadiff",
     {{1, 2, 0, -1.0, 0}, {2, 1, 0, 1.0, 0}, {0.5, 1.5, 0, -2.0, 0}, {50, 50, 0, 0.0, 0},
      {25.5, 25, 0, 0.020199960031945758, 2}, {25, 25.5, 0, -0.020199960031945758, 2},
      {1e6, 1e6 + 0.001, 0, -1.0000005469976413e-09, 2}, {21, 1021, 0, -3.9075240300172074, 2},
      {21, 1020.5, 0, -3.907033954084857, 2}, {0, 5, 1, 0.0, 0}, {5, 0, 1, 0.0, 0}, {25, -3, 0, INF, 0},
      {-4.5, 25, 0, -1.5876493642702234, 2}, {0x1p60, 0x1p60 + 512, 0, -512 * 0x1p-60, 2}}},
    {"zln1px",  // the series up to 1/32, log(1 + x) beyond
     {{1e-10, 0, 0, 9.999999999500001e-11, 0}, {1e-300, 0, 0, 1e-300, 0}, {0.03125, 0, 0, 0.03077165866675369, 0},
      {0.05, 0, 0, std::log(1.05), 0}, {-1, 0, 0, -INF, 0}}},
    {"zlnSumOfExp",
     {{0, 0, 0, 0.6931471805599453, 0}, {1000, 1000, 0, 1000.6931471805599, 0}, {1000, 0, 0, 1000.0, 0},
      {1, 2, 0, 2.313261687518223, 2}, {2, 1, 0, 2.313261687518223, 2}, {0, -10, 0, 4.539889921686465e-05, 2}}},
};

TEST(Routines, KnownValues) {
    for (const auto &[fn, rows] : ROUTINES) {
        for (const Row &c : rows) {
            SCOPED_TRACE(std::string(fn) + "(" + qvt::show(c.a) + ", " + std::to_string(c.b) + ")");
            const auto [ret, value] = run(fn, c);
            EXPECT_EQ(ret, c.ret);
            if (c.ulps == 0) {
                EXPECT_SAME(value, c.expected);
            } else {
                EXPECT_NEAR(value, c.expected, c.ulps * (std::nextafter(std::fabs(c.expected), INF) - std::fabs(c.expected)));
            }
        }
    }
}

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
            const qvt::Result r = qvt::call(c.name, {x});
            ASSERT_EQ(r.status, STATUS_OK) << c.name << "(" << qvt::show(x) << ")";
            const double err = std::fabs(r.value - c.reference(x)) / std::max(1.0, std::fabs(c.reference(x)));
            if (err > worst) worst = err, at = x;
        }
        EXPECT_LT(worst, c.tolerance) << c.name << " on [" << c.lo << ", " << c.hi << "), worst at " << qvt::show(at);
    }
}

}  // namespace

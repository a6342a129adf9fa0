// Log-gamma, digamma and trigamma are evaluated with their reductions rearranged (arguments
// taken at once where each step is exact, reciprocals two at a time, polynomials written out)
// and in line in the table functions. Every result must keep the bits of the evaluation step by
// step, which is written out again below as the reference, on millions of arguments: random
// over each branch's range, random bit patterns (NaNs, infinities, subnormals), and integers,
// half-integers and thresholds with their neighbours.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>

#include "qv/specialfn.hpp"
#include "qv/values.hpp"

extern "C" {
QvStatus qvfnclgam(double *result, double x);
QvStatus qvfncdgam(double *result, double x);
QvStatus qvfnctgam(double *result, double x);
}

namespace written {

double horner(std::span<const double> c, double z) {
    double r = c[0];
    for (std::size_t i = 1; i < c.size(); ++i) r = r * z + c[i];
    return r;
}

double lgamma(double x) {
    if (x <= qv::LGAMMA_SMALLEST_ARG) return qv::LGAMMA_FAILED;
    if (std::fabs(x + (-1.0)) < qv::LGAMMA_UNIT_EPS || std::fabs(x + (-2.0)) < qv::LGAMMA_UNIT_EPS) return 0.0;
    if (!(x < 15.0)) {
        const double v = 1.0 / x;
        const double w = v * v;
        return ((qv::LN_SQRT_2PI - x) + v * horner(qv::STIRLING, w)) + std::log(x) * (x + (-0.5));
    }
    double y = x, f = 1.0;
    while (y < 1.0) {
        f = f / y;
        y = y + 1.0;
    }
    while (y > 2.0) {
        y = y + (-1.0);
        f = f * y;
    }
    const double t = std::fabs((x + (-0.5)) - static_cast<double>(qv::to_i32(x)));
    if (t < qv::LGAMMA_UNIT_EPS) return std::log(f) + qv::LN_GAMMA_1_5;
    const bool low = y + (-1.5) < 0.0;
    const double z = low ? y + (-1.0) : y + (-2.0);
    const double r = low ? z * (horner(qv::LGAMMA_LOW_P, z) / horner(qv::LGAMMA_LOW_Q, z))
                         : z * (horner(qv::LGAMMA_HIGH_P, z) / horner(qv::LGAMMA_HIGH_Q, z));
    return std::log(f) + r;
}

bool digamma(double x, double &value) {
    double acc = 0.0, y = x;
    if (x < 0.5) {
        const double nearest = std::floor(0.5 - x);
        if (-x > qv::PSI_MOST_NEGATIVE) return false;
        if (std::max(1.0, -x) * qv::PSI_POLE_EPS > std::fabs(nearest + x)) return false;
        const double a = x * qv::PI;
        acc = -((qv::PI * std::cos(a)) / std::sin(a));
        y = 1.0 - x;
    }
    if (y < qv::PSI_SERIES_FROM) {
        while (y > 2.0) {
            y = y + (-1.0);
            acc = acc + 1.0 / y;
        }
        while (y < 1.0) {
            acc = acc - 1.0 / y;
            y = y + 1.0;
        }
        const double z = y + qv::PSI_MINUS_ROOT;
        value = (z * horner(qv::PSI_NUM, z)) / horner(qv::PSI_DEN, z) + acc;
        return true;
    }
    const double r = 1.0 / y;
    const double w = r * r;
    value = ((std::log(y) - 0.5 / y) + acc) - w * horner(qv::PSI_ASYMPTOTIC, w);
    return true;
}

double asymptotic(double v) {
    const double w = v * v;
    return v * (((w * horner(qv::PSI1_TAIL, w) + 0.16666666666666666) * v + 0.5) * v + 1.0);
}

double trigamma(double x, std::int32_t &status) {
    status = 0;
    double y = x, p2 = 0.0;
    const bool reflect = x < 0.5;
    if (!reflect) {
        if (x > qv::PSI1_HUGE_ARG) return 1.0 / x;
        if (x > qv::PSI1_SERIES_ABOVE) return asymptotic(1.0 / x);
    } else {
        const double s = std::sin(x * qv::PI);
        if (std::fabs(s) < qv::PSI_POLE_EPS) {
            status = 1;
            return qv::PSI1_POLE_VALUE;
        }
        y = 1.0 - x;
        if (y > qv::PSI1_HUGE_ARG) return 1.0 / y;
        const double p = qv::PI / s;
        p2 = p * p;
        if (y > qv::PSI1_SERIES_ABOVE) return p2 - asymptotic(1.0 / y);
    }
    double acc = 0.0;
    while (y < 6.0) {
        acc = acc + 1.0 / (y * y);
        y = y + 1.0;
    }
    do {
        y = y - 1.0;
        acc = acc - 1.0 / (y * y);
    } while (y >= 6.0);
    acc = acc + horner(qv::PSI1_NUM, y + (-qv::PSI1_CENTRE)) / horner(qv::PSI1_DEN, y + (-qv::PSI1_CENTRE));
    return reflect ? p2 - acc : acc;
}

}  // namespace written

namespace {

std::string bits(double x) { return std::to_string(std::bit_cast<std::uint64_t>(x)); }

// The four evaluations and the three table functions at x, against the reference.
void expect_same(double x) {
    ASSERT_EQ(bits(qv::ln_gamma(x)), bits(written::lgamma(x))) << "ln_gamma " << bits(x);
    double got = 0.0, want = 0.0;
    const bool ok = qv::digamma(x, got);
    ASSERT_EQ(ok, written::digamma(x, want)) << "digamma " << bits(x);
    if (ok) {
        ASSERT_EQ(bits(got), bits(want)) << "digamma " << bits(x);
    }
    std::int32_t s1 = 0, s2 = 0;
    ASSERT_EQ(bits(qv::trigamma(x, s1)), bits(written::trigamma(x, s2))) << "trigamma " << bits(x);
    ASSERT_EQ(s1, s2) << "trigamma " << bits(x);

    double r = 0.0;
    const bool missing = qv::is_missing(x);
    QvStatus st = qvfnclgam(&r, x);
    const double lg = written::lgamma(x);
    const bool lg_bad = !missing && (x <= 0.0 || qv::is_missing(lg));
    ASSERT_EQ(st, missing ? STATUS_MISSING_ARG : lg_bad ? STATUS_INVALID_ARG : STATUS_OK) << "LGAMMA " << bits(x);
    ASSERT_EQ(bits(r), bits(missing || x <= 0.0 ? qv::MISSING_DOT : lg)) << "LGAMMA " << bits(x);
    st = qvfncdgam(&r, x);
    ASSERT_EQ(st, missing ? STATUS_MISSING_ARG : ok ? STATUS_OK : STATUS_INVALID_ARG) << "DIGAMMA " << bits(x);
    ASSERT_EQ(bits(r), bits(!missing && ok ? want : qv::MISSING_DOT)) << "DIGAMMA " << bits(x);
    st = qvfnctgam(&r, x);
    const double tg = written::trigamma(x, s2);
    ASSERT_EQ(st, missing ? STATUS_MISSING_ARG : s2 ? STATUS_INVALID_ARG : STATUS_OK) << "TRIGAMMA " << bits(x);
    ASSERT_EQ(bits(r), bits(!missing && !s2 ? tg : qv::MISSING_DOT)) << "TRIGAMMA " << bits(x);
}

struct Range {
    double lo, hi;  // uniform, or log-uniform over |x| when log
    bool log;
};

// Each branch: below 0.5 (reflection), [0.5, 1), [1, 2], the recurrences up to 15, 20 and 25,
// the series beyond, and the whole line.
const Range RANGES[] = {
    {-60.0, 0.5, false}, {0.0, 1.0, false},  {1.0, 2.0, false},   {2.0, 15.0, false}, {15.0, 26.0, false},
    {-30.0, -20.0, false}, {1e-310, 1e300, true}, {-1e300, -1e-310, true}, {-1e16, 1e16, false},
};

TEST(SpecialFunctions, KeepTheBitsOfTheStepByStepEvaluation) {
    std::mt19937_64 rng(2026);
    for (const Range &r : RANGES) {
        std::uniform_real_distribution<double> u(r.log ? std::log(std::fabs(r.lo)) : r.lo,
                                                 r.log ? std::log(std::fabs(r.hi)) : r.hi);
        for (int i = 0; i < 300000; ++i) {
            const double x = r.log ? std::copysign(std::exp(u(rng)), r.lo) : u(rng);
            expect_same(x);
            if (HasFatalFailure()) return;
        }
    }
    for (int i = 0; i < 1000000; ++i) {
        expect_same(std::bit_cast<double>(rng()));
        if (HasFatalFailure()) return;
    }
}

TEST(SpecialFunctions, KeepTheBitsAtIntegersHalvesAndThresholds) {
    std::vector<double> centres = {0.0, 0.5, 1e35, 4503599627370496.0, 9007199254740992.0, 1e300,
                                   qv::LGAMMA_SMALLEST_ARG, 1.4616321449683622};
    for (int k = -40; k <= 40; ++k) {
        centres.push_back(k);
        centres.push_back(k + 0.5);
    }
    for (double c : centres) {
        for (double x : {c, -c}) {
            double up = x, down = x;
            for (int step = 0; step < 64; ++step) {
                expect_same(up);
                expect_same(down);
                if (HasFatalFailure()) return;
                up = std::nextafter(up, std::numeric_limits<double>::infinity());
                down = std::nextafter(down, -std::numeric_limits<double>::infinity());
            }
        }
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (double x : {inf, -inf, std::nan(""), -std::nan(""), qv::MISSING_DOT, 5e-324, -5e-324}) expect_same(x);
}

}  // namespace

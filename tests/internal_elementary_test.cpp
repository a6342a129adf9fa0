// The one-argument elementary functions take the numbers of their domain first and test the
// rest in the written order (missing value, domain test, a NaN that is not missing passing
// on). Every result and status must be the written guards' own, on random bit patterns and on
// the edges of every domain.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "qv/log2.hpp"
#include "qv/values.hpp"

namespace {

constexpr double TRIG_LIMIT = std::bit_cast<double>(0x42B9BC65B68B71B8ull);
constexpr double EXP_LIMIT = std::bit_cast<double>(0x40862E42FEFA39EFull);
constexpr double PI = std::bit_cast<double>(0x400921FB54442D18ull);
constexpr double POLE_EPS = std::bit_cast<double>(0x3DDB7CDFD9D7BDBBull);

struct Row {
    const char *name;
    QvStatus (*fn)(double *, double);
    bool (*invalid)(double);  // the written domain test
    double (*compute)(double);
    bool checks_result;       // LOG and LOG10 report a result that tests missing
};

bool never(double) { return false; }

const Row ROWS[] = {
    {"ABS", qvfncabs, never, qv::clear_sign, false},
    {"ARCOS", qvfncacos, [](double x) { return -1.0 > x || x > 1.0; }, [](double x) { return std::acos(x); }, false},
    {"ARSIN", qvfncasin, [](double x) { return -1.0 > x || x > 1.0; }, [](double x) { return std::asin(x); }, false},
    {"ATAN", qvfncatan, never, [](double x) { return std::atan(x); }, false},
    {"COS", qvfnccos, [](double x) { return std::fabs(x) > TRIG_LIMIT; }, [](double x) { return std::cos(x); }, false},
    {"SIN", qvfncsin, [](double x) { return std::fabs(x) > TRIG_LIMIT; }, [](double x) { return std::sin(x); }, false},
    {"TAN", qvfnctan,
     [](double x) {
         double whole;
         const double f = std::modf(x / PI, &whole);
         return std::fabs(x) > TRIG_LIMIT || POLE_EPS > std::fabs(std::fabs(f) + (-0.5));
     },
     [](double x) { return std::tan(x); }, false},
    {"COSH", qvfnccosh, [](double x) { return std::fabs(x) > EXP_LIMIT; }, [](double x) { return std::cosh(x); }, false},
    {"SINH", qvfncsinh, [](double x) { return std::fabs(x) > EXP_LIMIT; }, [](double x) { return std::sinh(x); }, false},
    {"TANH", qvfnctanh, never, [](double x) { return std::tanh(x); }, false},
    {"EXP", qvfncexp, [](double x) { return !(x <= EXP_LIMIT); }, [](double x) { return std::exp(x); }, false},
    {"LOG", qvfnclg, [](double x) { return x <= 0.0; }, [](double x) { return std::log(x); }, true},
    {"LOG10", qvfnclg10, [](double x) { return x <= 0.0; }, [](double x) { return std::log10(x); }, true},
    {"LOG2", qvfnclg2, [](double x) { return x <= 0.0; }, qv::exact_log2, false},
    {"RECIP", qvfncrcp, [](double x) { return x == 0.0; }, [](double x) { return 1.0 / x; }, false},
    {"SIGN", qvfncsign, never, [](double x) { return x > 0.0 ? 1.0 : (0.0 > x ? -1.0 : 0.0); }, false},
    {"SQRT", qvfncsqrt, [](double x) { return x < 0.0; }, [](double x) { return std::sqrt(x); }, false},
};

std::string bits(double x) { return std::to_string(std::bit_cast<std::uint64_t>(x)); }

void expect_written(const Row &row, double x) {
    double want = qv::MISSING_DOT;
    QvStatus status = STATUS_MISSING_ARG;
    if (!qv::is_missing(x)) {
        status = STATUS_INVALID_ARG;
        if (!row.invalid(x)) {
            want = row.compute(x);
            status = row.checks_result && qv::is_missing(want) ? STATUS_INVALID_ARG : STATUS_OK;
        }
    }
    double got = 0.0;
    ASSERT_EQ(row.fn(&got, x), status) << row.name << " " << bits(x);
    ASSERT_EQ(bits(got), bits(want)) << row.name << " " << bits(x);
}

TEST(Elementary, GuardsGiveTheWrittenResultsAndStatuses) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> edges = {0.0, -0.0, inf, -inf, std::nan(""), -std::nan(""), qv::MISSING_DOT,
                                 qv::missing_value(27), std::bit_cast<double>(0xFFF4000000000001ull),
                                 std::bit_cast<double>(0x7FF4000000000001ull), PI / 2, -PI / 2, 5e-324};
    for (double limit : {1.0, TRIG_LIMIT, EXP_LIMIT}) {
        for (double x : {limit, -limit}) {
            edges.push_back(x);
            edges.push_back(std::nextafter(x, inf));
            edges.push_back(std::nextafter(x, -inf));
        }
    }
    std::mt19937_64 rng(9);
    for (const Row &row : ROWS) {
        for (double x : edges) expect_written(row, x);
        for (int i = 0; i < 100000; ++i) {
            expect_written(row, std::bit_cast<double>(rng()));
            expect_written(row, std::uniform_real_distribution<double>(-800.0, 800.0)(rng));
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace

// GAMMA, LGAMMA, DIGAMMA and TRIGAMMA through their table rows: known values, poles and
// thresholds on both sides, failure results and missing arguments.
#include <cmath>
#include <cstdint>
#include <limits>

#include "qvtest.hpp"
#include "ulp.hpp"

namespace {

using qvt::DOT;
using qvt::from_bits;
using qvt::miss;

constexpr QvStatus OK = STATUS_OK, INV = STATUS_INVALID_ARG, MIS = STATUS_MISSING_ARG;
constexpr double INF = std::numeric_limits<double>::infinity();
const double NAN_NEG = from_bits(0xFFF8000000000000ull);  // the processor's NaN, not missing
const double ANY = from_bits(0x7FF4000000000123ull);      // status-only row
constexpr double GAMMA_CONST = 0.5772156649015329;

struct Row {
    const char *name;
    double x;
    QvStatus status;
    double expected;  // ANY: status only
    int ulps;         // 0: bit for bit
};

Row G(double x, QvStatus s, double e, int u) { return Row{"GAMMA", x, s, e, u}; }
Row LG(double x, QvStatus s, double e, int u) { return Row{"LGAMMA", x, s, e, u}; }
Row DG(double x, QvStatus s, double e, int u) { return Row{"DIGAMMA", x, s, e, u}; }
Row TG(double x, QvStatus s, double e, int u) { return Row{"TRIGAMMA", x, s, e, u}; }

void PrintTo(const Row &r, std::ostream *os) { *os << r.name << "(" << qvt::show(r.x) << ")"; }

class TableValue : public testing::TestWithParam<Row> {};

TEST_P(TableValue, ResultAndStatus) {
    const Row &c = GetParam();
    const qvt::Result r = qvt::call1(c.name, c.x);
    EXPECT_EQ(r.status, c.status);
    if (qvt::bits_of(c.expected) == qvt::bits_of(ANY)) return;
    EXPECT_LE(spt::ulps(r.value, c.expected), c.ulps) << qvt::show(r.value);
}

INSTANTIATE_TEST_SUITE_P(
    Gamma, TableValue,
    testing::Values(
        G(5.0, OK, 24.0, 0), G(1.0, OK, 1.0, 0), G(2.0, OK, 1.0, 0), G(0.5, OK, 1.772453850905516, 4),
        G(-0.5, OK, -3.5449077018110318, 4), G(-1.5, OK, 2.363271801207355, 4), G(0.0, INV, DOT, 0),
        G(-1.0, INV, DOT, 0), G(-3.0, INV, DOT, 0), G(-3.0 + 1e-14, INV, DOT, 0), G(-3.0 + 1e-11, OK, ANY, 0),
        G(171.62, OK, std::tgamma(171.62), 500), G(171.63, INV, DOT, 0), G(172.0, INV, DOT, 0),
        G(-170.5, OK, std::tgamma(-170.5), 100), G(-170.7, INV, DOT, 0), G(19.999, OK, std::tgamma(19.999), 8),
        G(20.0, OK, 121645100408832000.0, 8), G(3e-13, INV, DOT, 0), G(1e-12, OK, 999999999999.42278, 4),
        G(INF, INV, DOT, 0), G(-INF, INV, DOT, 0), G(NAN_NEG, INV, DOT, 0)));

INSTANTIATE_TEST_SUITE_P(
    LogGamma, TableValue,
    testing::Values(
        LG(1.0, OK, 0.0, 0), LG(2.0, OK, 0.0, 0),
        // within one step above 2^-53 of 1 counts as 1; one ulp above 1 does not
        LG(1.0 - 0x1p-53, OK, 0.0, 0), LG(1.0 + 0x1p-52, OK, -GAMMA_CONST * 0x1p-52, 4),
        LG(1.5, OK, -0.12078223763524522, 0), LG(0.5, OK, 0.5723649429247001, 4),
        // half-integers take ln Gamma(1.5) plus the log of the recurrence product
        LG(7.5, OK, std::log(2111.484375) + -0.12078223763524522, 0), LG(0.0, INV, DOT, 0), LG(-0.0, INV, DOT, 0),
        LG(-2.0, INV, DOT, 0), LG(-2.5, INV, DOT, 0), LG(from_bits(1), OK, -99.0, 0),
        LG(from_bits(0x0010000000000001ull), OK, -99.0, 0),
        LG(from_bits(0x0010000000000002ull), OK, 708.39641853226408, 4), LG(1e-300, OK, 690.7755278982137, 4),
        LG(14.999, OK, std::lgamma(14.999), 4), LG(15.0, OK, std::lgamma(15.0), 4), LG(INF, OK, NAN_NEG, 0),
        LG(NAN_NEG, OK, NAN_NEG, 0)));

INSTANTIATE_TEST_SUITE_P(
    Digamma, TableValue,
    testing::Values(
        DG(1.0, OK, -0.5772156649015328, 1), DG(2.0, OK, 0.42278433509846725, 2), DG(1.4616321449683622, OK, 0.0, 0),
        DG(0.5, OK, -1.9635100260214233, 4), DG(-0.5, OK, 0.03648997397857681, 4),
        DG(-1.5, OK, 0.7031566406452439, 4), DG(19.999, OK, 2.9704727201051084, 4),
        DG(20.0, OK, 2.970523992242149, 4), DG(0.0, INV, DOT, 0), DG(-1.0, INV, DOT, 0), DG(1e-13, INV, DOT, 0),
        DG(1e-12, OK, -1000000000000.5772, 2), DG(-2.0000000000001, INV, DOT, 0),
        DG(-2.00001, OK, 100000.9227565674, 4),
        // the pole band grows with |x|: 1e-12 * 1000 around -1000
        DG(-1000.0 + 5e-10, INV, DOT, 0), DG(-1000.0 + 2e-9, OK, ANY, 0), DG(-3e15, INV, DOT, 0),
        DG(-0x1p53 - 2.0, INV, DOT, 0), DG(-INF, INV, DOT, 0), DG(INF, OK, INF, 0), DG(NAN_NEG, OK, NAN_NEG, 0)));

INSTANTIATE_TEST_SUITE_P(
    Trigamma, TableValue,
    testing::Values(
        TG(1.0, OK, 1.6449340668482266, 4), TG(0.5, OK, 4.93480220054468, 4), TG(-0.5, OK, 8.934802200544679, 4),
        TG(-2.5, OK, 9.539246644989124, 4), TG(0.0, INV, DOT, 0), TG(-4.0, INV, DOT, 0),
        // |sin(x pi)| below 1e-12 is a pole
        TG(-4.0 + 3e-13, INV, DOT, 0), TG(-4.0 + 1e-12, OK, ANY, 0), TG(-30.5, OK, 9.837349132820684, 4),
        // 10.87173089089975 is the true value; the reflection takes sin of the rounded product
        // x * pi, which puts the result about 12 ulps away. The algorithm is kept, hence the tolerance.
        TG(-24.6, OK, 10.87173089089975, 24), TG(25.0, OK, 0.04081066325722563, 4),
        TG(25.5, OK, 0.03999466964956293, 4), TG(1e36, OK, 1e-36, 1), TG(INF, OK, 0.0, 0),
        // passes every threshold and must leave the downward recurrence
        TG(NAN_NEG, OK, NAN_NEG, 0)));

// Any missing value, also a bit pattern beyond the 28 named ones, gives the plain missing value.
INSTANTIATE_TEST_SUITE_P(
    MissingArgument, TableValue,
    testing::Values(G(miss('.'), MIS, DOT, 0), G(miss('Z'), MIS, DOT, 0), LG(miss('_'), MIS, DOT, 0),
                    LG(from_bits(0xFFFF000000000001ull), MIS, DOT, 0), DG(miss('A'), MIS, DOT, 0),
                    DG(miss('.'), MIS, DOT, 0), TG(miss('.'), MIS, DOT, 0), TG(miss('Z'), MIS, DOT, 0)));

}  // namespace

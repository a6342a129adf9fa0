// Rounding and integer arithmetic: table rows pin results, statuses and marks, with every fuzz
// band and range bound met just inside and just outside; random decimals are checked against
// exact integer arithmetic.
#include <cmath>
#include <random>
#include <sstream>

#include "qvtest.hpp"

namespace {

using qvt::call;
using qvt::from_bits;
using qvt::value;

// The fuzz of CEIL, FLOOR, INT and FUZZ is 1.000000000001e-12 and FUZZ's width twice that: the
// rows at that distance from an integer, and one double beyond, pin both. CEIL(1e-12) is -0.
INSTANTIATE_TEST_SUITE_P(IntegerParts, Rows, testing::Values(
    "CEIL 3.0000000000005 = 3", "FLOOR 2.9999999999995 = 3", "CEIL 0 = -0", "INT 0 = -0", "CEILZ 0 = 0", "INTZ -0 = -0",
    "FLOOR -0 = 0", "FLOORZ -0 = -0", "CEILZ -0.5 = -0", "CEIL 1e-12 = -0", "CEIL 1.000000000001e-12 = 0",
    "CEIL 1.000000000001e-12> = 1", "FLOOR -1.000000000001e-12 = 0", "FLOOR -1.000000000001e-12< = -1",
    "INT 2.999999999999 = 3", "INT 2.999999999999< = 2", "INT -2.999999999999 = -3", "INT -2.999999999999> = -2",
    "INT -2.9999999999995 = -3", "FUZZ 5.0000000000004 = 5", "FUZZ 4.9999999999996 = 5", "FUZZ -inf = -inf",
    "FUZZ 1.000000000001e-12 = 0", "FUZZ 1.000000000001e-12> = 1.000000000001e-12>",
    "FUZZ 5.0000000000015 = 5.0000000000015", "FUZZ 4.9999999999985 = 4.9999999999985",
    "CEILZ 4503599627370495.5 = 4503599627370496", "FLOORZ -4503599627370495.5 = -4503599627370496",
    "CEIL 4503599627370497 = 4503599627370497", "FLOOR -9007199254740994 = -9007199254740994",
    "FUZZ 4503599627370497 = 4503599627370497", "INTZ #FFFF123456789ABC = . ?"));

INSTANTIATE_TEST_SUITE_P(Trunc, Rows, testing::Values(
    "TRUNC 0x1.5555555555555p-2 8 = 0x1.5555555555555p-2", "TRUNC 0x1.5555555555555p-2 4 = 0x1.55555p-2",
    "TRUNC -0x1.5555555555555p-2 3.7 = -0x1.555p-2", "TRUNC 1 8.9 = . !2", "TRUNC 1 2.99 = . !2", "TRUNC 1 . = . !2",
    "TRUNC 1 nan = . !2", "TRUNC .B . = . ?"));

// A quotient counts as a half within min(1e-6, q * 1e-12) of it: 2.4999999999 and 3.4999999999
// are outside that band, 24999.49999998 inside and 24999.49999996 outside (2.5e-8), and
// 100000000.49999 outside the cap. ROUNDZ takes no fuzz. Units below the
// smallest normal double above 2.2250738585072014e-308 are refused; whole units give exact
// multiples.
INSTANTIATE_TEST_SUITE_P(RoundToUnit, Rows, testing::Values(
    "ROUND 2.5 = 3", "ROUND -2.5 = -3", "ROUND 2.4999999999999 = 3", "ROUND 2.4999999999 = 2", "ROUND 2.4999999 = 2",
    "ROUND 24999.49999998 = 25000", "ROUND 24999.49999996 = 24999",
    "ROUNDE 2.5 = 2", "ROUNDE 3.5 = 4", "ROUNDE 3.4999999999999 = 4", "ROUNDE 3.4999999999 = 3", "ROUNDZ 2.5 = 2",
    "ROUNDZ 3.5 = 4", "ROUNDZ 3.4999999999999 = 3", "ROUND -0.3 = 0", "ROUND 100000000.49999 = 1e8",
    "ROUND 1.15 0.1 = 1.2", "ROUNDE 1.15 0.1 = 1.2", "ROUNDZ 1.15 0.1 = 1.1", "ROUND 1.005 0.01 = 1.01",
    "ROUNDE 1.005 0.01 = 1", "ROUNDZ 1.005 0.01 = 1", "ROUND 7.5 3 = 9", "ROUNDE 7.5 3 = 6", "ROUNDZ -7.5 3 = -6",
    "ROUND 968900900950899 3 = 968900900950899", "ROUND 0.30000000000000004 0.1 = 0.3",
    "ROUNDZ 0.30000000000000004 0.1 = 0.3", "ROUND 1234.5678 0.001 = 1234.568", "ROUND 123.456 0.3 = 123.6",
    "ROUND 0.9 0.3 = 0.9", "ROUNDZ 0.9 0.3 = 0.8999999999999999", "ROUNDZ 0.35 0.01 = 0.35",
    "ROUND 562949953421312.5 = 562949953421313", "ROUND -562949953421312.375 = -562949953421312",
    "ROUND 4503599627370495.5 = 4503599627370496", "ROUND 4503599627370497 = 4503599627370497",
    "ROUNDE 4503599627370495.5 = 4503599627370496", "ROUNDZ 4503599627370494.5 = 4503599627370494",
    "ROUND -1e17 = -1e17", "ROUNDE 1e17 = 1e17", "ROUNDZ -1e300 1e-300 = -1e300", "ROUND -inf = -inf",
    "ROUND 0 2.225073858507202e-308 = 0", "ROUND 0 2.225073858507202e-308< = . !2", "ROUND 5 0 = . !2",
    "ROUNDE 5 -1 = . !2", "ROUNDZ 5 1e-320 = . !2", "ROUND 5 . = . ?", "ROUNDE .R 0 = . ?"));

// Off the exact branch a divisor of at most 1.1368683772161608e-13 |x| is refused: the product
// for x = 2^44 + 0.5 and the double above it. A zero dividend over a NaN gives `.`.
INSTANTIATE_TEST_SUITE_P(Modulo, Rows, testing::Values(
    "MOD -10 3 = -1", "MOD 10 -3 = 1", "MODZ 10 -3 = 1", "MODZ -5.5 2 = -1.5", "MODZ -6 3 = 0", "MOD 0.3 0.1 = 0",
    "MODZ 0.3 0.1 = 0.09999999999999998", "MOD 0.3 0.1 0 = 0.09999999999999998", "MOD 2.25 0.1 = 0.05",
    "MODZ 2.25 0.1 = 0.04999999999999982", "MOD 2.25 0.1 1 = 0.05", "MOD 2.25 0.1 0.99 = 0", "MOD 10.3 1 1e-5 = 0.3",
    "MOD -1e-14 1 = 0", "MOD 0.99999999999999 1 = 0", "MOD 0.99999999999999 1 . = 0",
    "MOD 0.99999999999999 1 5 = 0.99999999999999", "MODZ 17592186044416.5 2.0000000000000577 = . !",
    "MOD 17592186044416.5 2.0000000000000577 = . !", "MODZ 17592186044416.5 2.0000000000000577> = 1.98828125",
    "MOD 5 0 = . !2", "MOD 5.5 0 = . !2", "MODZ 5 -0 = . !2", "MOD nan 0 = . !2", "MOD 1e15 1 = 0",
    "MODZ 1e15 1 = . !", "MOD 1e20 3 = . !", "MOD 9007199254740992 3 = 2", "MOD 9007199254740994 3 = . !",
    "MOD . 0 = . ?", "MODZ 3 .Z = . ?", "DIVIDE 1e308 0.5 = .I", "DIVIDE -1e308 0.5 = .M", "DIVIDE inf 2 = inf",
    "DIVIDE 1e-300 1e-10 = 9.999999999999999e-291", "DIVIDE nan 0 = nan", "DIVIDE 1 nan = nan", "DIVIDE 0 nan = ."));

INSTANTIATE_TEST_SUITE_P(GcdLcm, Rows, testing::Values(
    "GCD -12 18 = 6", "GCD 0 5 = 5", "GCD 7 0 = 7", "GCD 0 0 = 0", "GCD 12 18 8 = 2", "GCD 4 -2147483647 = 1",
    "GCD 2147483647 7 = 1", "LCM -4 6 = 12", "LCM 3 5 7 = 105", "LCM 46341 46340 = 2147441940",
    "LCM 2147483646 1 = 2147483646", "LCM 65536 65537 = .", "LCM 2147483647 1 = .", "LCM 65536 65537 2.5 = .",
    "LCM 0 5 = . !1", "LCM 4 6 0 = . !3", "GCD 12 2.5 = . !2", "GCD 12 . = . !2", "GCD 12 3e9 = . !2",
    "GCD 12 2147483648 = . !2", "GCD 12 -2147483649 = . !2", "GCD 2.5 . = . !1", "GCD 6 4 .A 0.5 = . !3",
    "GCD 5 = . !", "LCM 5 = . !"));

// DIVIDE never fails. Each row is a dividend and its quotients by 4, -4, 0, -0, ._, ., .I, .M, .C.
TEST(Divide, EveryPairingOfSpecialValues) {
    for (const char *row : {"2 0.5 -0.5 .I .I ._ . 0 0 .C", "-2 -0.5 0.5 .M .M ._ . 0 0 .C", "0 0 -0 . . ._ . 0 0 .C",
                            "._ ._ ._ ._ ._ ._ ._ ._ ._ ._", ". . . . . ._ . . . .", ".I .I .M .I .I ._ . . . .C",
                            ".M .M .I .M .M ._ . . . .C", ".B .B .B .B .B ._ .B .B .B .B"}) {
        std::istringstream in(row);
        std::string x, q;
        in >> x;
        for (const char *y : {"4", "-4", "0", "-0", "._", ".", ".I", ".M", ".C"}) {
            in >> q;
            EXPECT_SAME(call("DIVIDE", {value(x), value(y)}).value, value(q)) << "DIVIDE(" << x << ", " << y << ")";
        }
    }
}

std::mt19937_64 rng(20261205);
std::int64_t uniform(std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
}
double signed_as(double x, double r) { return x < 0.0 ? 0.0 - r : r; }

// x = m / 1000 and unit = p / q: x / unit = n / d with n = |m| q and d = 1000 p. ROUND gives the
// double nearest to the rounded count times p / q and MOD the one nearest to (n mod d) / (1000 q),
// as decimal arithmetic gives them; MODZ is exact on integers.
TEST(Random, RoundAndModGiveTheNearestDecimal) {
    struct Unit { double unit; std::int64_t p, q; bool exact_path; };
    for (const Unit u : {Unit{0.01, 1, 100, true}, {0.1, 1, 10, true}, {0.001, 1, 1000, true}, {1, 1, 1, true},
                         {5, 5, 1, true}, {0.3, 3, 10, false}, {2.5, 5, 2, false}})
        for (int i = 0; i < 1500; ++i) {
            const std::int64_t m = uniform(-1000000000, 1000000000), n = std::abs(m) * u.q, d = 1000 * u.p;
            const std::int64_t fl = n / d, twice_rest = 2 * (n % d);
            const bool half = twice_rest == d, up = twice_rest > d;
            const double x = static_cast<double>(m) / 1000.0;
            auto expect = [&](const char *name, std::int64_t count) {
                EXPECT_SAME(call(name, {x, u.unit}).value, signed_as(x, static_cast<double>(count * u.p) / u.q))
                    << name << "(" << x << ", " << u.unit << ")";
            };
            expect("ROUND", fl + (up || half));
            expect("ROUNDE", fl + (up || (half && fl % 2 == 1)));
            if (u.exact_path && !half) expect("ROUNDZ", fl + up);
            const double rest = static_cast<double>(n % d) / static_cast<double>(1000 * u.q);
            EXPECT_SAME(call("MOD", {x, u.unit}).value, signed_as(x, rest)) << "MOD(" << x << ", " << u.unit << ")";
            const double xi = static_cast<double>(m), di = static_cast<double>(d);
            EXPECT_SAME(call("MODZ", {xi, di}).value, signed_as(xi, static_cast<double>(std::abs(m) % d)));
        }
}

}  // namespace

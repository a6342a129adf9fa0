// Rounding and integer arithmetic on random inputs against independent references: the C
// library's rounding, exact decimal arithmetic on integers, std::gcd and std::lcm. Then every
// function of the family meets NaN, infinite and huge arguments in every position.
#include <cmath>
#include <numeric>
#include <random>
#include <tuple>

#include "qvtest.hpp"

namespace {

using qvt::call;
using qvt::from_bits;

std::mt19937_64 rng(20261205);
std::int64_t uniform(std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng); }
double signed_as(double x, double r) { return x < 0.0 ? 0.0 - r : r; }

TEST(RandomIntegerParts, MatchTheCLibrary) {
    for (int i = 0; i < 20000; ++i) {
        // Every sign and magnitudes from 2^-53 to 2^76; never missing.
        const double x = from_bits((rng() & 0x800FFFFFFFFFFFFFull) | static_cast<std::uint64_t>(uniform(970, 1100)) << 52);
        const std::int64_t len = uniform(3, 8), cut = 64 - 8 * len;
        EXPECT_SAME(qvt::call1("CEILZ", x).value, std::ceil(x));
        EXPECT_SAME(qvt::call1("FLOORZ", x).value, std::floor(x));
        EXPECT_SAME(qvt::call1("INTZ", x).value, std::trunc(x));
        EXPECT_SAME(call("TRUNC", {x, static_cast<double>(len)}).value, from_bits(qvt::bits_of(x) >> cut << cut));
        // Without a unit the even twins are the C library's ties-to-even; ROUND differs only at halves.
        const double ax = std::fabs(x), frac = ax - std::floor(ax);
        EXPECT_SAME(call("ROUNDZ", {x}).value, signed_as(x, std::nearbyint(ax)));
        if (std::fabs(frac - 0.5) < 1e-6) continue;
        EXPECT_SAME(call("ROUNDE", {x}).value, signed_as(x, std::nearbyint(ax)));
        EXPECT_SAME(call("ROUND", {x}).value, signed_as(x, std::round(ax)));
    }
}

// x = m / 1000 rounded to unit = p / q: the count of units is |m| q / (1000 p) rounded, and the
// result is the double nearest to count * p / q, as a decimal calculation gives it.
TEST(RandomDecimals, RoundGivesTheNearestDecimal) {
    struct Unit { double unit; std::int64_t p, q; bool exact_path; };
    for (const Unit u : {Unit{0.01, 1, 100, true}, {0.1, 1, 10, true}, {0.001, 1, 1000, true}, {1, 1, 1, true},
                         {5, 5, 1, true}, {0.3, 3, 10, false}, {2.5, 5, 2, false}})
        for (int i = 0; i < 3000; ++i) {
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
        }
}

// Remainders of hundredths: MOD gives the decimal remainder; on integers MODZ is exact too.
TEST(RandomDecimals, ModGivesTheDecimalRemainder) {
    for (int i = 0; i < 20000; ++i) {
        const std::int64_t a = uniform(-100000000, 100000000), b = uniform(1, 100000) * (i % 2 ? 1 : -1);
        const double x = static_cast<double>(a) / 100.0, y = static_cast<double>(b) / 100.0;
        EXPECT_SAME(call("MOD", {x, y}).value, signed_as(x, static_cast<double>(std::abs(a) % std::abs(b)) / 100.0))
            << "MOD(" << x << ", " << y << ")";
        const double xi = static_cast<double>(a * 1000), yi = static_cast<double>(b);
        EXPECT_SAME(call("MODZ", {xi, yi}).value, signed_as(xi, static_cast<double>(std::abs(a * 1000) % std::abs(b))));
    }
}

TEST(RandomIntegers, GcdAndLcmMatchTheStandardLibrary) {
    for (int i = 0; i < 5000; ++i) {
        std::vector<double> args;
        std::int64_t g = 0, l = 1;
        for (std::int64_t k = uniform(2, 8); k > 0; --k) {
            const std::int64_t v = uniform(-3000, 3000) * uniform(1, 3) | 1;  // odd keeps LCM from 0
            args.push_back(static_cast<double>(v));
            g = std::gcd(g, v);
            if (l < 2147483647) l = std::lcm(l, v);
        }
        EXPECT_SAME(call("GCD", qvt::nums(args)).value, static_cast<double>(g));
        EXPECT_SAME(call("LCM", qvt::nums(args)).value, l >= 2147483647 ? qvt::DOT : static_cast<double>(l));
    }
}

// NaN, infinite and huge values in every argument position: no undefined behaviour, a result on
// every path, never a missing-argument status, and an invalid status only with the result `.`.
TEST(SpecialArguments, EveryPositionOfEveryFunction) {
    const double specials[] = {from_bits(0x7FF8000000000000ull), from_bits(0xFFF8000000000000ull), INFINITY, -INFINITY, 1e300, -1e300};
    for (const char *name : {"CEIL", "CEILZ", "FLOOR", "FLOORZ", "INT", "INTZ", "FUZZ"})
        for (double s : specials) EXPECT_EQ(qvt::call1(name, s).status, STATUS_OK) << name;
    for (auto [name, arity] : {std::pair{"TRUNC", 2}, {"ROUND", 2}, {"ROUNDE", 2}, {"ROUNDZ", 2}, {"MOD", 3}, {"MODZ", 2},
                               {"DIVIDE", 2}, {"GCD", 3}, {"LCM", 3}, {"ROUND", 1}, {"ROUNDZ", 1}, {"ROUNDE", 1}})
        for (int pos = 0; pos < arity; ++pos)
            for (double s : specials) {
                std::vector<double> args(arity, 4.0);
                args[pos] = s;
                const qvt::Result r = call(name, qvt::nums(args));
                EXPECT_TRUE(r.status == STATUS_OK || (r.status == STATUS_INVALID_ARG && qv::is_missing(r.value))) << name << pos;
            }
    EXPECT_TRUE(std::isnan(call("DIVIDE", {NAN, 0.0}).value) && !qv::is_missing(call("DIVIDE", {1.0, NAN}).value));
}

// The exported helpers, called directly as other host components do.
TEST(ExportedHelpers, DivisionPairsExtremesAndByteImages) {
    const qvhost::Package &p = qvt::package();
    const div_t d = p.fn<div_t (*)(std::int32_t, std::int32_t)>("i32div")(-7, 2);
    auto intmdiv = p.fn<ldiv_t (*)(std::int64_t, std::int64_t)>("intmdiv");
    const ldiv_t l = intmdiv(7, -2), big = intmdiv(INT64_MAX, 3);
    EXPECT_EQ(std::tuple(d.quot, d.rem, l.quot, l.rem, big.quot, big.rem), std::tuple(-3, -1, -3L, 1L, INT64_MAX / 3, 1L));
    auto max = p.fn<std::int32_t (*)(std::int32_t, std::int32_t)>("max");
    auto min = p.fn<std::int32_t (*)(std::int32_t, std::int32_t)>("min");
    EXPECT_EQ(std::tuple(max(-1, -5), min(-1, -5), max(7, 7), max(3, 9), min(3, 9)), std::tuple(-1, -5, 7, 9, 3));
    std::uint8_t bytes[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    double back = from_bits(0xABABABABABABABABull);  // every byte must be written
    p.fn<std::int32_t (*)(std::uint8_t *, std::uint64_t, double)>("qvzcftrc")(bytes, 3, 1.0);
    p.fn<std::int32_t (*)(const std::uint8_t *, std::uint64_t, double *)>("qvzrftrc")(bytes, 3, &back);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 4), (std::vector<int>{0x00, 0xF0, 0x3F, 9}));
    EXPECT_SAME(back, 1.0);
}

}  // namespace

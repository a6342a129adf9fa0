// Rounding and integer arithmetic through their table rows: decimal results users rely on,
// signed zeros, the 2^52 and 2^53 thresholds, statuses and marks.
#include <cstdlib>
#include <limits>
#include <tuple>

#include "qvtest.hpp"

namespace {

using qvt::DOT;
using qvt::from_bits;
using qvt::miss;

constexpr QvStatus OK = STATUS_OK, INV = STATUS_INVALID_ARG, MIS = STATUS_MISSING_ARG;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double P52 = 4503599627370496.0, P53 = 9007199254740992.0;

// A scalar function when args has one value and scalar is set, else the list form.
struct Case {
    const char *name;
    std::vector<double> args;
    double expected;  // compared bit for bit
    QvStatus status = OK;
    std::vector<int> marked = {};
    bool scalar = false;
};
Case S(const char *name, double x, double expected, QvStatus status = OK) { return {name, {x}, expected, status, {}, true}; }
Case C(const char *name, std::vector<double> args, double expected, QvStatus status = OK, std::vector<int> marked = {}) {
    return {name, std::move(args), expected, status, std::move(marked)};
}

class Rounding : public testing::TestWithParam<Case> {};

TEST_P(Rounding, ResultStatusAndMarks) {
    const Case &c = GetParam();
    const qvt::Result r = c.scalar ? qvt::call1(c.name, c.args[0]) : qvt::call(c.name, qvt::nums(c.args));
    std::string call = c.name;
    for (double a : c.args) call += " " + qvt::show(a);
    EXPECT_SAME(r.value, c.expected) << call;
    EXPECT_EQ(r.status, c.status) << call;
    EXPECT_EQ(r.marked, c.marked) << call;
}

INSTANTIATE_TEST_SUITE_P(IntegerParts, Rounding, testing::Values(
    S("CEIL", 3.0000000000005, 3), S("CEILZ", 3.0000000000005, 4), S("FLOOR", 2.9999999999995, 3),
    S("FLOORZ", 2.9999999999995, 2), S("CEIL", 0.0, -0.0), S("INT", 0.0, -0.0), S("CEILZ", 0.0, 0.0),
    S("INTZ", -0.0, -0.0), S("FLOOR", -0.0, 0.0), S("FLOORZ", -0.0, -0.0), S("CEILZ", -0.5, -0.0),
    S("FLOORZ", -0.5, -1), S("CEIL", from_bits(0x3D719799812DEA11ull), -0.0), S("INT", -2.9999999999995, -3),
    S("INT", 2.9999999999995, 3), S("INTZ", -2.9999999999995, -2), S("INTZ", 2.9999999999995, 2),
    S("INT", -0.5, -0.0), S("FUZZ", 5.0000000000004, 5), S("FUZZ", 4.9999999999996, 5), S("FUZZ", 5.01, 5.01),
    S("FUZZ", -2.0000000000001, -2), S("FUZZ", -INF, -INF), S("FUZZ", 2.0000000001, 2.0000000001),
    S("FUZZ", 5.0000000000015, 5.0000000000015), S("FUZZ", 4.9999999999985, 4.9999999999985),
    S("CEILZ", P52 - 0.5, P52), S("FLOORZ", -(P52 - 0.5), -P52), S("INTZ", -(P52 - 0.5), -(P52 - 1)),
    S("CEIL", P52 + 1, P52 + 1), S("FLOOR", -(P53 + 2), -(P53 + 2)), S("FUZZ", P52 + 1, P52 + 1), S("INT", INF, INF),
    S("CEIL", -INF, -INF), S("CEIL", 16384.5, 16385), S("FLOOR", -1e300, -1e300), S("FLOOR", miss('A'), DOT, MIS),
    S("FUZZ", miss('_'), DOT, MIS), S("INTZ", from_bits(0xFFFF123456789ABCull), DOT, MIS)));

constexpr double THIRD = 1.0 / 3.0;
INSTANTIATE_TEST_SUITE_P(Trunc, Rounding, testing::Values(
    C("TRUNC", {THIRD, 8}, THIRD), C("TRUNC", {THIRD, 4}, from_bits(0x3FD5555500000000ull)),
    C("TRUNC", {-THIRD, 3.7}, from_bits(0xBFD5550000000000ull)),
    C("TRUNC", {0.1, 3}, from_bits(0x3FB9990000000000ull)), C("TRUNC", {THIRD, 8.9}, DOT, INV, {2}),
    C("TRUNC", {THIRD, 2.99}, DOT, INV, {2}), C("TRUNC", {THIRD, -5}, DOT, INV, {2}),
    C("TRUNC", {THIRD, -8}, DOT, INV, {2}), C("TRUNC", {THIRD, DOT}, DOT, INV, {2}),
    C("TRUNC", {THIRD, from_bits(0x7FF8000000000000ull)}, DOT, INV, {2}), C("TRUNC", {DOT, 4}, DOT, MIS),
    C("TRUNC", {miss('B'), DOT}, DOT, MIS), C("TRUNC", {INF, 3}, INF)));

INSTANTIATE_TEST_SUITE_P(RoundToUnit, Rounding, testing::Values(
    C("ROUND", {2.5}, 3), C("ROUND", {-2.5}, -3), C("ROUND", {2.4999999999999}, 3), C("ROUND", {2.4999999}, 2),
    C("ROUNDE", {2.5}, 2), C("ROUNDE", {3.5}, 4), C("ROUNDE", {0.5}, 0), C("ROUNDE", {2.4999999999999}, 2),
    C("ROUNDZ", {2.5}, 2), C("ROUNDZ", {2.4999999999999}, 2), C("ROUND", {-0.3}, 0.0), C("ROUNDZ", {-0.5}, 0.0),
    C("ROUND", {100000000.49999}, 1e8), C("ROUNDE", {100000000.49999}, 1e8), C("ROUND", {1.15, 0.1}, 1.2),
    C("ROUNDE", {1.15, 0.1}, 1.2), C("ROUNDZ", {1.15, 0.1}, 1.1), C("ROUND", {1.005, 0.01}, 1.01),
    C("ROUNDE", {1.005, 0.01}, 1.0), C("ROUNDZ", {1.005, 0.01}, 1.0), C("ROUND", {7.5, 3}, 9),
    C("ROUNDE", {7.5, 3}, 6), C("ROUNDZ", {-7.5, 3}, -6), C("ROUND", {0.30000000000000004, 0.1}, 0.3),
    C("ROUNDE", {0.30000000000000004, 0.1}, 0.3), C("ROUNDZ", {0.30000000000000004, 0.1}, 0.3),
    C("ROUND", {1234.5678, 0.001}, 1234.568), C("ROUND", {123.456, 0.3}, 123.6),
    C("ROUND", {1.23456789, 0.0001}, 1.2346), C("ROUND", {17, 5}, 15), C("ROUND", {0.9, 0.3}, 0.9),
    C("ROUNDZ", {0.9, 0.3}, 0.8999999999999999), C("ROUNDZ", {0.35, 0.01}, 0.35), C("ROUNDZ", {0.7, 0.1}, 0.7),
    C("ROUND", {-1.25, 2.5}, -2.5), C("ROUND", {562949953421312.5}, 562949953421313.0),
    C("ROUND", {-562949953421312.375}, -562949953421312.0), C("ROUND", {P52 - 0.5}, P52),
    C("ROUNDE", {P52 - 0.5}, P52), C("ROUNDZ", {P52 - 1.5}, P52 - 2), C("ROUND", {-1e17}, -1e17),
    C("ROUNDE", {1e17}, 1e17), C("ROUNDZ", {1e17}, 1e17), C("ROUND", {1e300, 1e-300}, 1e300),
    C("ROUNDE", {1e300, 1e-300}, 1e300), C("ROUNDZ", {-1e300, 1e-300}, -1e300), C("ROUND", {1.234567, 1e-5}, 1.23457),
    C("ROUND", {-INF}, -INF), C("ROUND", {5, 0}, DOT, INV, {2}), C("ROUNDE", {5, -1}, DOT, INV, {2}),
    C("ROUNDZ", {5, 1e-320}, DOT, INV, {2}), C("ROUND", {5, DOT}, DOT, MIS), C("ROUNDE", {miss('R'), 0}, DOT, MIS)));

INSTANTIATE_TEST_SUITE_P(Modulo, Rounding, testing::Values(
    C("MOD", {10, 3}, 1), C("MOD", {-10, 3}, -1), C("MOD", {10, -3}, 1), C("MOD", {-10, -3}, -1),
    C("MOD", {-5.5, 2}, -1.5), C("MODZ", {-10, 3}, -1), C("MODZ", {10, -3}, 1), C("MODZ", {-5.5, 2}, -1.5),
    C("MOD", {-6, 3}, 0.0), C("MODZ", {-6, 3}, 0.0), C("MOD", {0.3, 0.1}, 0.0),
    C("MODZ", {0.3, 0.1}, 0.09999999999999998), C("MOD", {0.3, 0.1, 0}, 0.09999999999999998),
    C("MOD", {2.25, 0.1}, 0.05), C("MODZ", {2.25, 0.1}, 0.04999999999999982), C("MOD", {2.25, 0.1, 1}, 0.05),
    C("MOD", {2.25, 0.1, 0.99}, 0.0), C("MOD", {5.5, 2, 0}, 1.5), C("MOD", {-1e-14, 1}, 0.0),
    C("MOD", {0.99999999999999, 1}, 0.0), C("MOD", {0.99999999999999, 1, DOT}, 0.0),
    C("MOD", {0.99999999999999, 1, 5}, 0.99999999999999), C("MOD", {0.99999999999999, 1, 1e-17}, 0.99999999999999),
    C("MOD", {5, 0}, DOT, INV, {2}), C("MOD", {5.5, 0}, DOT, INV, {2}), C("MODZ", {5, -0.0}, DOT, INV, {2}),
    C("MOD", {1e15, 1}, 0.0), C("MODZ", {1e15, 1}, DOT, INV), C("MOD", {1e20, 3}, DOT, INV), C("MOD", {P53, 3}, 2),
    C("MOD", {P53 + 2, 3}, DOT, INV), C("MOD", {DOT, 0}, DOT, MIS), C("MODZ", {3, miss('Z')}, DOT, MIS),
    C("MOD", {from_bits(0x7FF8000000000000ull), 0}, DOT, INV, {2}),
    C("MODZ", {from_bits(0xFFF8000000000000ull), 0}, DOT, INV, {2})));

INSTANTIATE_TEST_SUITE_P(GcdLcm, Rounding, testing::Values(
    C("GCD", {12, 18}, 6), C("GCD", {-12, 18}, 6), C("GCD", {0, 5}, 5), C("GCD", {7, 0}, 7), C("GCD", {0, 0}, 0),
    C("GCD", {12, 18, 8}, 2), C("GCD", {4.0, -2147483647}, 1), C("LCM", {4, 6}, 12), C("LCM", {-4, 6}, 12),
    C("LCM", {3, 5, 7}, 105), C("LCM", {65536, 32768}, 65536), C("LCM", {46341, 46340}, 2147441940),
    C("LCM", {2147483646, 1}, 2147483646), C("LCM", {65536, 65537}, DOT), C("LCM", {2147483647, 1}, DOT),
    C("LCM", {65536, 65537, 2.5}, DOT), C("LCM", {0, 5}, DOT, INV, {1}), C("LCM", {4, 6, 0}, DOT, INV, {3}),
    C("LCM", {0, 2.5}, DOT, INV, {1}), C("GCD", {12, 2.5}, DOT, INV, {2}), C("GCD", {12, DOT}, DOT, INV, {2}),
    C("GCD", {12, 3e9}, DOT, INV, {2}), C("GCD", {12, 2147483647.5}, DOT, INV, {2}),
    C("GCD", {12, -2147483649.0}, DOT, INV, {2}), C("GCD", {2.5, DOT}, DOT, INV, {1}),
    C("GCD", {6, 4, miss('A'), 0.5}, DOT, INV, {3}), C("GCD", {5}, DOT, INV), C("LCM", {5}, DOT, INV)));

// DIVIDE never fails: every pairing of present values and special missing values, one row of
// expected results per dividend, against the divisors below.
TEST(Divide, EveryPairingOfSpecialValues) {
    const std::vector<const char *> ys = {"4", "-4", "0", "-0", "._", ".", ".I", ".M", ".C"};
    const std::vector<std::vector<const char *>> table = {
        {"2", "0.5", "-0.5", ".I", ".I", "._", ".", "0", "0", ".C"},
        {"-2", "-0.5", "0.5", ".M", ".M", "._", ".", "0", "0", ".C"},
        {"0", "0", "-0", ".", ".", "._", ".", "0", "0", ".C"},
        {"._", "._", "._", "._", "._", "._", "._", "._", "._", "._"},
        {".", ".", ".", ".", ".", "._", ".", ".", ".", "."},
        {".I", ".I", ".M", ".I", ".I", "._", ".", ".", ".", ".C"},
        {".M", ".M", ".I", ".M", ".M", "._", ".", ".", ".", ".C"},
        {".B", ".B", ".B", ".B", ".B", "._", ".B", ".B", ".B", ".B"}};
    auto value = [](const char *t) { return t[0] == '.' ? miss(t[1] ? t[1] : '.') : std::strtod(t, nullptr); };
    for (const auto &row : table)
        for (std::size_t j = 0; j < ys.size(); ++j) {
            const qvt::Result r = qvt::call("DIVIDE", {value(row[0]), value(ys[j])});
            EXPECT_SAME(r.value, value(row[j + 1])) << "DIVIDE(" << row[0] << ", " << ys[j] << ")";
            EXPECT_EQ(r.status, OK);
        }
    for (auto [x, y, q] : {std::tuple{1e308, 0.5, miss('I')}, {-1e308, 0.5, miss('M')}, {6.0, 3.0, 2.0}, {1e-300, 1e-10, 1e-300 / 1e-10}})
        EXPECT_SAME(qvt::call("DIVIDE", {x, y}).value, q);
}

}  // namespace

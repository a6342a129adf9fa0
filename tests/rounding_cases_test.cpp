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
    S("FLOORZ", -0.5, -1), S("CEIL", from_bits(0x3D719799812DEA11ull), -0.0),  // 1e-12 lies inside the fuzz
    S("INT", -2.9999999999995, -3), S("INT", 2.9999999999995, 3), S("INTZ", -2.9999999999995, -2),
    S("INTZ", 2.9999999999995, 2), S("INT", -0.5, -0.0), S("FUZZ", 5.0000000000004, 5), S("FUZZ", 4.9999999999996, 5),
    S("FUZZ", 5.01, 5.01), S("FUZZ", -2.0000000000001, -2), S("FUZZ", -INF, -INF), S("FUZZ", 2.0000000001, 2.0000000001),
    S("CEILZ", P52 - 0.5, P52), S("FLOORZ", -(P52 - 0.5), -P52), S("INTZ", -(P52 - 0.5), -(P52 - 1)),
    S("CEIL", P52 + 1, P52 + 1), S("FLOOR", -(P53 + 2), -(P53 + 2)), S("FUZZ", P52 + 1, P52 + 1),
    S("INT", INF, INF), S("CEIL", -INF, -INF), S("CEIL", 16384.5, 16385), S("FLOOR", -1e300, -1e300),
    S("FLOOR", miss('A'), DOT, MIS), S("FUZZ", miss('_'), DOT, MIS), S("INTZ", from_bits(0xFFFF123456789ABCull), DOT, MIS)));

constexpr double THIRD = 1.0 / 3.0;
INSTANTIATE_TEST_SUITE_P(Trunc, Rounding, testing::Values(
    Case{"TRUNC", {THIRD, 8}, THIRD}, Case{"TRUNC", {THIRD, 4}, from_bits(0x3FD5555500000000ull)},
    Case{"TRUNC", {-THIRD, 3.7}, from_bits(0xBFD5550000000000ull)}, Case{"TRUNC", {0.1, 3}, from_bits(0x3FB9990000000000ull)},
    Case{"TRUNC", {THIRD, 8.9}, DOT, INV, {2}}, Case{"TRUNC", {THIRD, 2.99}, DOT, INV, {2}},
    Case{"TRUNC", {THIRD, -5}, DOT, INV, {2}}, Case{"TRUNC", {THIRD, -8}, DOT, INV, {2}},
    Case{"TRUNC", {THIRD, DOT}, DOT, INV, {2}}, Case{"TRUNC", {THIRD, from_bits(0x7FF8000000000000ull)}, DOT, INV, {2}},
    Case{"TRUNC", {DOT, 4}, DOT, MIS}, Case{"TRUNC", {miss('B'), DOT}, DOT, MIS}, Case{"TRUNC", {INF, 3}, INF}));

INSTANTIATE_TEST_SUITE_P(RoundToUnit, Rounding, testing::Values(
    Case{"ROUND", {2.5}, 3}, Case{"ROUND", {-2.5}, -3}, Case{"ROUND", {2.4999999999999}, 3}, Case{"ROUND", {2.4999999}, 2},
    Case{"ROUNDE", {2.5}, 2}, Case{"ROUNDE", {3.5}, 4}, Case{"ROUNDE", {0.5}, 0}, Case{"ROUNDE", {2.4999999999999}, 2},
    Case{"ROUNDZ", {2.5}, 2}, Case{"ROUNDZ", {2.4999999999999}, 2}, Case{"ROUND", {-0.3}, 0.0}, Case{"ROUNDZ", {-0.5}, 0.0},
    Case{"ROUND", {100000000.49999}, 1e8}, Case{"ROUNDE", {100000000.49999}, 1e8},  // the half fuzz is capped at 1e-6
    Case{"ROUND", {1.15, 0.1}, 1.2}, Case{"ROUNDE", {1.15, 0.1}, 1.2}, Case{"ROUNDZ", {1.15, 0.1}, 1.1},
    Case{"ROUND", {1.005, 0.01}, 1.01}, Case{"ROUNDE", {1.005, 0.01}, 1.0}, Case{"ROUNDZ", {1.005, 0.01}, 1.0},
    Case{"ROUND", {7.5, 3}, 9}, Case{"ROUNDE", {7.5, 3}, 6}, Case{"ROUNDZ", {-7.5, 3}, -6},
    Case{"ROUND", {0.30000000000000004, 0.1}, 0.3}, Case{"ROUNDE", {0.30000000000000004, 0.1}, 0.3},
    Case{"ROUNDZ", {0.30000000000000004, 0.1}, 0.3}, Case{"ROUND", {1234.5678, 0.001}, 1234.568},
    Case{"ROUND", {123.456, 0.3}, 123.6}, Case{"ROUND", {1.23456789, 0.0001}, 1.2346}, Case{"ROUND", {17, 5}, 15},
    Case{"ROUND", {0.9, 0.3}, 0.9}, Case{"ROUNDZ", {0.9, 0.3}, 0.8999999999999999}, Case{"ROUNDZ", {0.35, 0.01}, 0.35},
    Case{"ROUNDZ", {0.7, 0.1}, 0.7}, Case{"ROUND", {-1.25, 2.5}, -2.5},
    Case{"ROUND", {562949953421312.5}, 562949953421313.0}, Case{"ROUND", {-562949953421312.375}, -562949953421312.0},
    Case{"ROUND", {P52 - 0.5}, P52}, Case{"ROUNDE", {P52 - 0.5}, P52}, Case{"ROUNDZ", {P52 - 1.5}, P52 - 2},
    Case{"ROUND", {-1e17}, -1e17}, Case{"ROUNDE", {1e17}, 1e17},
    Case{"ROUNDZ", {1e17}, 1e17}, Case{"ROUND", {1e300, 1e-300}, 1e300}, Case{"ROUND", {-INF}, -INF},
    Case{"ROUND", {5, 0}, DOT, INV, {2}}, Case{"ROUNDE", {5, -1}, DOT, INV, {2}}, Case{"ROUNDZ", {5, 1e-320}, DOT, INV, {2}},
    Case{"ROUND", {5, DOT}, DOT, MIS}, Case{"ROUNDE", {miss('R'), 0}, DOT, MIS}));

INSTANTIATE_TEST_SUITE_P(Modulo, Rounding, testing::Values(
    Case{"MOD", {10, 3}, 1}, Case{"MOD", {-10, 3}, -1}, Case{"MOD", {10, -3}, 1}, Case{"MOD", {-10, -3}, -1},
    Case{"MOD", {-5.5, 2}, -1.5}, Case{"MODZ", {-10, 3}, -1}, Case{"MODZ", {10, -3}, 1}, Case{"MODZ", {-5.5, 2}, -1.5},
    Case{"MOD", {-6, 3}, 0.0}, Case{"MODZ", {-6, 3}, 0.0}, Case{"MOD", {0.3, 0.1}, 0.0},
    Case{"MODZ", {0.3, 0.1}, 0.09999999999999998}, Case{"MOD", {0.3, 0.1, 0}, 0.09999999999999998},
    Case{"MOD", {2.25, 0.1}, 0.05}, Case{"MODZ", {2.25, 0.1}, 0.04999999999999982},
    Case{"MOD", {2.25, 0.1, 1}, 0.05}, Case{"MOD", {2.25, 0.1, 0.99}, 0.0}, Case{"MOD", {5.5, 2, 0}, 1.5},
    Case{"MOD", {0.99999999999999, 1}, 0.0}, Case{"MOD", {0.99999999999999, 1, DOT}, 0.0},
    Case{"MOD", {0.99999999999999, 1, 5}, 0.99999999999999}, Case{"MOD", {0.99999999999999, 1, 1e-17}, 0.99999999999999},
    Case{"MOD", {5, 0}, DOT, INV, {2}}, Case{"MOD", {5.5, 0}, DOT, INV, {2}}, Case{"MODZ", {5, -0.0}, DOT, INV, {2}},
    Case{"MOD", {1e15, 1}, 0.0}, Case{"MODZ", {1e15, 1}, DOT, INV}, Case{"MOD", {1e20, 3}, DOT, INV},
    Case{"MOD", {P53, 3}, 2}, Case{"MOD", {P53 + 2, 3}, DOT, INV}, Case{"MOD", {DOT, 0}, DOT, MIS},
    Case{"MODZ", {3, miss('Z')}, DOT, MIS}, Case{"MOD", {from_bits(0x7FF8000000000000ull), 0}, DOT, INV, {2}},
    Case{"MODZ", {from_bits(0xFFF8000000000000ull), 0}, DOT, INV, {2}}));

INSTANTIATE_TEST_SUITE_P(GcdLcm, Rounding, testing::Values(
    Case{"GCD", {12, 18}, 6}, Case{"GCD", {-12, 18}, 6}, Case{"GCD", {0, 5}, 5}, Case{"GCD", {7, 0}, 7},
    Case{"GCD", {0, 0}, 0}, Case{"GCD", {12, 18, 8}, 2}, Case{"GCD", {4.0, -2147483647}, 1},
    Case{"LCM", {4, 6}, 12}, Case{"LCM", {-4, 6}, 12}, Case{"LCM", {3, 5, 7}, 105}, Case{"LCM", {65536, 32768}, 65536},
    Case{"LCM", {46341, 46340}, 2147441940}, Case{"LCM", {2147483646, 1}, 2147483646},
    Case{"LCM", {65536, 65537}, DOT}, Case{"LCM", {2147483647, 1}, DOT}, Case{"LCM", {65536, 65537, 2.5}, DOT},
    Case{"LCM", {0, 5}, DOT, INV, {1}}, Case{"LCM", {4, 6, 0}, DOT, INV, {3}}, Case{"LCM", {0, 2.5}, DOT, INV, {1}},
    Case{"GCD", {12, 2.5}, DOT, INV, {2}}, Case{"GCD", {12, DOT}, DOT, INV, {2}}, Case{"GCD", {12, 3e9}, DOT, INV, {2}},
    Case{"GCD", {12, 2147483647.5}, DOT, INV, {2}}, Case{"GCD", {12, -2147483649.0}, DOT, INV, {2}},
    Case{"GCD", {2.5, DOT}, DOT, INV, {1}}, Case{"GCD", {6, 4, miss('A'), 0.5}, DOT, INV, {3}},
    Case{"GCD", {5}, DOT, INV}, Case{"LCM", {5}, DOT, INV}));

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

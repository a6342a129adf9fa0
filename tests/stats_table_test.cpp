// Statistics over argument lists through their table rows: one row per case, results by bit
// pattern, statuses by value, marks by argument.
#include <limits>
#include <tuple>

#include "qvtest.hpp"

namespace {

using qvt::Arg;
using qvt::DOT;
using qvt::miss;

constexpr QvStatus OK = STATUS_OK, MIS = STATUS_MISSING_ARG, INV = STATUS_INVALID_ARG;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double BIG = 1.7976931348623157e308;
constexpr double E27 = 0x1p-27;
const double QNAN = qvt::from_bits(0x7FF8000000000000ull);
// The zero tolerance of GEOMEAN and HARMEAN relative to the largest value, and one unit above it.
const double FUZZ = qvt::from_bits(0x3D40000000000002ull), ABOVE_FUZZ = qvt::from_bits(0x3D40000000000003ull);

struct Row {
    const char *name;
    std::vector<Arg> args;
    QvStatus status;
    double expected;
    std::vector<int> marked = {};
};

const std::vector<Row> &rows() {
    static const std::vector<Row> r = {
        // walk order, equal values, ties and start values
        {"SUM", {miss('.'), miss('A')}, MIS, DOT}, {"SUM", {1, DOT, 2}, OK, 3},
        {"SUM", {0.1, 0.2, 0.3}, OK, 0.6000000000000001}, {"MEAN", {DOT}, MIS, DOT}, {"MEAN", {1, DOT, 2}, OK, 1.5},
        {"MEAN", {0.1, 0.1, 0.1}, OK, 0.1}, {"MEAN", {BIG, BIG}, OK, BIG}, {"MEAN", {miss('Z'), -0.0, 0.0}, OK, -0.0},
        {"MEAN", {1, QNAN}, OK, QNAN}, {"MAX", {0.0, -0.0}, OK, 0.0}, {"MAX", {-0.0, 0.0}, OK, -0.0},
        {"MIN", {-0.0, DOT, 0.0}, OK, -0.0}, {"MAX", {-BIG}, MIS, DOT}, {"MIN", {BIG}, MIS, DOT},
        {"MAX", {3, miss('_'), 7, -2}, OK, 7}, {"MIN", {3, 7, -2, DOT}, OK, -2}, {"RANGE", {-BIG}, OK, 0},
        {"RANGE", {1, DOT, -2}, OK, 3}, {"RANGE", {DOT}, MIS, DOT}, {"USS", {}, MIS, DOT},
        {"USS", {1, E27, E27, E27}, OK, 1.0000000000000002}, {"USS", {E27, E27, E27, 1}, OK, 1},
        // RMS: plain, scaled for large values (stopping mid-list), scaled for tiny sums
        {"RMS", {3, 4}, OK, 3.5355339059327378}, {"RMS", {1e200, 1e200}, OK, 1e200}, {"RMS", {0, 0}, OK, 0},
        {"RMS", {1e-200, 1e-200}, OK, 1e-200}, {"RMS", {-1e200, 1}, OK, 7.071067811865476e199},
        {"RMS", {BIG}, OK, INF}, {"RMS", {BIG, DOT}, OK, BIG}, {"RMS", {DOT, DOT}, MIS, DOT},
        // dispersion and the equal-values rule
        {"CSS", {DOT, DOT}, MIS, DOT}, {"CSS", {5}, OK, 0}, {"CSS", {0.1, 0.1, 0.1}, OK, 0}, {"VAR", {5}, MIS, DOT},
        {"VAR", {5, DOT, 5}, OK, 0}, {"STD", {7}, MIS, DOT}, {"STD", {1, 2, 3, 4}, OK, 1.2909944487358056},
        {"STDERR", {1, 2, 3}, OK, 0.5773502691896257}, {"CV", {1, 2, 3}, OK, 50}, {"CV", {-1, -2, -3}, OK, -50},
        {"CV", {0.1, 0.1, 0.1}, OK, 0}, {"CV", {0, 0}, INV, DOT}, {"CV", {-1, 1}, INV, DOT}, {"CV", {7, DOT}, MIS, DOT},
        // shape: too few values, equal values, the snap of rounding noise to zero
        {"SKEWNESS", {5, 5}, MIS, DOT}, {"SKEWNESS", {0.1, 0.1, 0.1}, INV, DOT},
        {"SKEWNESS", {1.1, 2.2, 3.3, 4.4, 5.5}, OK, 0}, {"SKEWNESS", {0.1, 0.2, 0.3}, OK, -3.9968028886505635e-15},
        {"SKEWNESS", {1, DOT, 2, 10}, OK, 1.6523167403329904}, {"KURTOSIS", {5, 5, 5}, MIS, DOT},
        {"KURTOSIS", {0, 0, 0, 0}, INV, DOT}, {"KURTOSIS", {1, 2, 3, 4}, OK, -1.2000000000000028},
        // geometric and harmonic means: missing lists, zeros, the tolerance on both sides, marks
        {"GEOMEAN", {DOT}, MIS, DOT}, {"GEOMEANZ", {}, MIS, DOT}, {"HARMEANZ", {DOT, DOT}, MIS, DOT},
        {"GEOMEAN", {4, 0, 9}, OK, 0}, {"GEOMEANZ", {4, 0, 9}, OK, 0}, {"HARMEANZ", {4, 0, 9}, OK, 0},
        {"GEOMEAN", {1, -1e-14}, OK, 0}, {"GEOMEANZ", {1, -1e-14}, INV, DOT, {2}},
        {"HARMEANZ", {1, -1e-14}, INV, DOT, {2}}, {"HARMEANZ", {1e-13, 1}, OK, 1.9999999999998e-13},
        {"HARMEAN", {FUZZ, 1}, OK, 0}, {"HARMEAN", {ABOVE_FUZZ, 1}, OK, 0x1.ffffffffffc06p-43},
        {"GEOMEAN", {1, -FUZZ}, OK, 0}, {"GEOMEAN", {1, -ABOVE_FUZZ}, INV, DOT, {2}},
        {"GEOMEAN", {-2, DOT, -8}, INV, DOT, {1, 3}}, {"HARMEAN", {-2, -0.0, 5, -1e-300}, INV, DOT, {1}},
        {"HARMEAN", {-1e-310, 1e-310}, INV, DOT, {1}}, {"GEOMEANZ", {-1, 0, -2}, INV, DOT, {1, 3}},
        {"HARMEANZ", {2, -0.0, -3}, OK, 0}, {"GEOMEANZ", {5, -0.0, -3}, OK, 0}, {"GEOMEAN", {3e-308, 3e-308}, OK, 0},
        {"HARMEANZ", {1e-310, 5}, OK, 0}, {"GEOMEANZ", {1e-310, 1e-310}, INV, DOT},
        {"GEOMEAN", {BIG, BIG}, OK, 0x1.fffffffffff2ap+1023}, {"GEOMEANZ", {INF}, INV, DOT},
        // counting and lookup, numeric and character
        {"N", {1, DOT, miss('A')}, OK, 1}, {"NMISS", {qvt::from_bits(0xFFFF123456789ABCull), -INF, DOT}, OK, 2},
        {"MISSING", {miss('Z')}, OK, 1}, {"MISSING", {0}, OK, 0}, {"MISSING", {U"   "}, OK, 1},
        {"MISSING", {U" a"}, OK, 0}, {"MISSING", {}, OK, 1}, {"COALESCE", {DOT, miss('B'), 3, 4}, OK, 3},
        {"COALESCE", {DOT, DOT}, OK, DOT}, {"COALESCE", {miss('_'), -0.0, 1}, OK, -0.0},
        {"WHICHN", {0, -0.0}, OK, 1}, {"WHICHN", {1, DOT, 1}, OK, 2}, {"WHICHN", {3, 1, 2}, OK, 0},
        {"WHICHN", {DOT, 1, DOT}, OK, DOT}, {"WHICHN", {}, OK, DOT}, {"WHICHN", {QNAN, QNAN}, OK, 0},
        {"WHICHC", {U"ab", U"ab  ", U"ab"}, OK, 1}, {"WHICHC", {U"ab ", U"ab"}, OK, 1},
        {"WHICHC", {U" ab", U"ab"}, OK, 0}, {"WHICHC", {U"  ", U""}, OK, 1}, {"WHICHC", {U"", U""}, OK, DOT},
        {"WHICHC", {U"ab", U"abx", U"a", U"ab c", U"ab\t"}, OK, 0}, {"WHICHC", {U"a  ", U"a b", U"a"}, OK, 2},
    };
    return r;
}

TEST(StatsTable, ResultStatusAndMarks) {
    for (const Row &c : rows()) {
        SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(c.args.size()) + " arguments, expecting " +
                     qvt::show(c.expected));
        const qvt::Result r = qvt::call(c.name, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_SAME(r.value, c.expected);
        EXPECT_EQ(r.marked, c.marked);
    }
}

TEST(StatsTable, CoalescecCopiesFirstNonBlankCutAtCapacity) {
    const std::vector<std::tuple<std::vector<Arg>, std::uint16_t, std::u32string>> cases = {
        {{U"", U"  ", U" x ", U"y"}, 10, U" x "}, {{U"", U"  ", U" x ", U"y"}, 2, U" x"}, {{U"", U" "}, 5, U""},
        {{U"ab"}, 0, U""}, {{U"   \t"}, 8, U"   \t"}, {{U"    ", U"é "}, 8, U"é "},
    };
    for (const auto &[args, capacity, expected] : cases) {
        const qvt::Result r = qvt::callc("COALESCEC", args, capacity);
        EXPECT_EQ(r.status, OK);
        EXPECT_EQ(r.text, expected) << "capacity " << capacity;
        EXPECT_TRUE(r.marked.empty());
    }
}

}  // namespace

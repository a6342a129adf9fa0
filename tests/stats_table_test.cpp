// Statistics over argument lists through their table rows: one row per case, results by bit
// pattern, statuses by value, marks by argument.
#include <cmath>
#include <limits>

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
        // the walk: order of the additions, equal values, ties, start values
        {"SUM", {}, MIS, DOT}, {"SUM", {miss('.'), miss('A')}, MIS, DOT}, {"SUM", {1, DOT, 2}, OK, 3},
        {"SUM", {0.1, 0.2, 0.3}, OK, 0.6000000000000001}, {"SUM", {1e308, 1e308, -1e308}, OK, INF},
        {"MEAN", {DOT}, MIS, DOT}, {"MEAN", {0.1, 0.1, 0.1}, OK, 0.1}, {"MEAN", {BIG, BIG}, OK, BIG},
        {"MEAN", {1, DOT, 2}, OK, 1.5}, {"MEAN", {0.0, -0.0}, OK, 0.0}, {"MEAN", {miss('Z'), -0.0, 0.0}, OK, -0.0},
        {"MEAN", {BIG, BIG, 1.0}, OK, INF}, {"MEAN", {1, QNAN}, OK, QNAN}, {"VAR", {1, QNAN}, OK, QNAN},
        {"MAX", {0.0, -0.0}, OK, 0.0}, {"MAX", {-0.0, 0.0}, OK, -0.0}, {"MIN", {0.0, -0.0}, OK, 0.0},
        {"MIN", {-0.0, DOT, 0.0}, OK, -0.0}, {"MAX", {-BIG}, MIS, DOT}, {"MIN", {BIG}, MIS, DOT},
        {"MIN", {}, MIS, DOT}, {"MAX", {3, miss('_'), 7, -2}, OK, 7}, {"MIN", {3, 7, -2, DOT}, OK, -2},
        {"RANGE", {-BIG}, OK, 0}, {"RANGE", {BIG}, OK, 0}, {"RANGE", {5}, OK, 0}, {"RANGE", {1, DOT, -2}, OK, 3},
        {"RANGE", {DOT}, MIS, DOT}, {"USS", {3, 4}, OK, 25}, {"USS", {1e200, 1e200}, OK, INF}, {"USS", {}, MIS, DOT},
        {"USS", {1, E27, E27, E27}, OK, 1.0000000000000002}, {"USS", {E27, E27, E27, 1}, OK, 1},
        // RMS: plain, scaled for large values (stopping mid-list), scaled for tiny sums
        {"RMS", {3, 4}, OK, 3.5355339059327378}, {"RMS", {2}, OK, 2}, {"RMS", {1e200, 1e200}, OK, 1e200},
        {"RMS", {1e-200, 1e-200}, OK, 1e-200}, {"RMS", {0, 0}, OK, 0}, {"RMS", {1e200, 1}, OK, 7.071067811865476e199},
        {"RMS", {BIG}, OK, INF}, {"RMS", {BIG, DOT}, OK, BIG}, {"RMS", {DOT, DOT}, MIS, DOT}, {"RMS", {}, MIS, DOT},
        // dispersion and the equal-values rule
        {"CSS", {}, MIS, DOT}, {"CSS", {DOT, DOT}, MIS, DOT}, {"CSS", {5}, OK, 0}, {"CSS", {1, 2, 3}, OK, 2},
        {"CSS", {0.1, 0.1, 0.1}, OK, 0}, {"VAR", {5}, MIS, DOT}, {"VAR", {5, 5}, OK, 0}, {"VAR", {5, DOT, 5}, OK, 0},
        {"VAR", {1, 2, 3}, OK, 1}, {"VAR", {1, 2, 3, 4}, OK, 1.6666666666666667}, {"VAR", {0.1, 0.1, 0.1}, OK, 0},
        {"STD", {1, 2, 3}, OK, 1}, {"STD", {1, 2, 3, 4}, OK, 1.2909944487358056}, {"STD", {7}, MIS, DOT},
        {"STDERR", {1, 2, 3}, OK, 0.5773502691896257}, {"STDERR", {1, 2, 3, 4}, OK, 0.6454972243679028},
        {"STDERR", {-0.0, 0.0}, OK, 0}, {"CV", {1, 2, 3}, OK, 50}, {"CV", {-1, -2, -3}, OK, -50},
        {"CV", {1, 2, 3, 4}, OK, 51.63977794943222}, {"CV", {5, 5}, OK, 0}, {"CV", {0.1, 0.1, 0.1}, OK, 0},
        {"CV", {0, 0}, INV, DOT}, {"CV", {-1, 1}, INV, DOT}, {"CV", {7}, MIS, DOT}, {"CV", {7, DOT}, MIS, DOT},
        // shape
        {"SKEWNESS", {1, 2}, MIS, DOT}, {"SKEWNESS", {5, 5}, MIS, DOT}, {"SKEWNESS", {5, 5, 5}, INV, DOT},
        {"SKEWNESS", {1, 2, 3}, OK, 0}, {"SKEWNESS", {2, 4, 6, 8, 10}, OK, 0},
        {"SKEWNESS", {1.1, 2.2, 3.3, 4.4, 5.5}, OK, 0}, {"SKEWNESS", {0.1, 0.2, 0.3}, OK, -3.9968028886505635e-15},
        {"SKEWNESS", {1, 2, 10}, OK, 1.6523167403329904}, {"SKEWNESS", {1, 2, 3, 10}, OK, 1.7636326148038883},
        {"SKEWNESS", {1, DOT, 2, 10}, OK, 1.6523167403329904}, {"KURTOSIS", {1, 2, 3}, MIS, DOT},
        {"KURTOSIS", {5, 5, 5}, MIS, DOT}, {"KURTOSIS", {0, 0, 0, 0}, INV, DOT},
        {"KURTOSIS", {1, 2, 3, 4}, OK, -1.2000000000000028}, {"KURTOSIS", {1, 2, 3, 10}, OK, 3.2280000000000015},
        {"KURTOSIS", {1, 2, 3, 4, 100}, OK, 4.986865957200655},
        {"KURTOSIS", {2, 4, 6, 8, 10}, OK, -1.1999999999999984},
        // geometric and harmonic means: zeros, tolerance, marks
        {"GEOMEAN", {}, MIS, DOT}, {"GEOMEAN", {DOT}, MIS, DOT}, {"HARMEANZ", {DOT, DOT}, MIS, DOT},
        {"GEOMEANZ", {DOT}, MIS, DOT}, {"HARMEAN", {}, MIS, DOT},
        {"GEOMEAN", {2, 8}, OK, std::exp((std::log(2.0) + std::log(8.0)) / 2)},
        {"GEOMEAN", {3, DOT, 3}, OK, std::exp((std::log(3.0) + std::log(3.0)) / 2)},
        {"HARMEAN", {1, 2, 4}, OK, 1.7142857142857142}, {"HARMEAN", {2, 8}, OK, 3.2}, {"HARMEAN", {3, DOT, 3}, OK, 3},
        {"GEOMEAN", {4, 0, 9}, OK, 0}, {"HARMEAN", {4, 0, 9}, OK, 0}, {"GEOMEANZ", {4, 0, 9}, OK, 0},
        {"HARMEANZ", {4, 0, 9}, OK, 0}, {"GEOMEAN", {1, -1e-14}, OK, 0}, {"HARMEAN", {1, -1e-14}, OK, 0},
        {"GEOMEANZ", {1, -1e-14}, INV, DOT, {2}}, {"HARMEANZ", {1, -1e-14}, INV, DOT, {2}},
        {"GEOMEAN", {1e-13, 1}, OK, 0}, {"HARMEAN", {1e-13, 1}, OK, 0},
        {"HARMEANZ", {1e-13, 1}, OK, 1.9999999999998e-13},
        {"GEOMEANZ", {1e-13, 1}, OK, std::exp(std::log(1e-13) / 2)}, {"HARMEAN", {2e-13, 1}, OK, 3.9999999999992e-13},
        {"HARMEANZ", {2e-13, 1}, OK, 3.9999999999992e-13}, {"GEOMEAN", {2e-13, 1}, OK, std::exp(std::log(2e-13) / 2)},
        {"GEOMEAN", {4, -1}, INV, DOT, {2}}, {"GEOMEAN", {-2, DOT, -8}, INV, DOT, {1, 3}},
        {"HARMEAN", {-2, -0.0, 5, -1e-300}, INV, DOT, {1}}, {"HARMEAN", {-1, 0}, INV, DOT, {1}},
        {"HARMEAN", {-1e-310, 1e-310}, INV, DOT, {1}}, {"GEOMEANZ", {0, -1}, OK, 0},
        {"GEOMEANZ", {-1, 0, -2}, INV, DOT, {1, 3}}, {"HARMEANZ", {2, -0.0, -3}, OK, 0},
        {"GEOMEANZ", {5, -0.0, -3}, OK, 0}, {"GEOMEAN", {1e-310, 1e-310}, OK, 0},
        {"HARMEAN", {1e-310, 1e-310}, OK, 0}, {"HARMEANZ", {1e-310, 5}, OK, 0},
        {"GEOMEANZ", {1e-310, 1e-310}, INV, DOT},
        {"HARMEAN", {FUZZ, 1}, OK, 0}, {"GEOMEAN", {1, -FUZZ}, OK, 0}, {"GEOMEAN", {1, -ABOVE_FUZZ}, INV, DOT, {2}},
        {"HARMEAN", {ABOVE_FUZZ, 1}, OK, 2 / (1 / ABOVE_FUZZ + 1)},
        {"GEOMEANZ", {1e300, 1e300, 1e300}, OK, std::exp((std::log(1e300) * 3) / 3)},
        {"GEOMEAN", {BIG, BIG}, OK, std::exp((std::log(BIG) + std::log(BIG)) / 2)}, {"GEOMEANZ", {INF}, INV, DOT},
        // counting and lookup, numeric and character
        {"N", {}, OK, 0}, {"NMISS", {}, OK, 0}, {"N", {1, DOT, miss('A')}, OK, 1},
        {"NMISS", {1, DOT, miss('A')}, OK, 2}, {"NMISS", {qvt::from_bits(0xFFFF123456789ABCull), -INF}, OK, 1},
        {"MISSING", {miss('Z')}, OK, 1}, {"MISSING", {0}, OK, 0}, {"MISSING", {U""}, OK, 1},
        {"MISSING", {U"   "}, OK, 1}, {"MISSING", {U" a"}, OK, 0}, {"MISSING", {}, OK, 1},
        {"COALESCE", {DOT, miss('B'), 3, 4}, OK, 3}, {"COALESCE", {DOT, DOT}, OK, DOT}, {"COALESCE", {}, OK, DOT},
        {"COALESCE", {miss('_'), -0.0, 1}, OK, -0.0}, {"WHICHN", {2, 1, 2, 2}, OK, 2}, {"WHICHN", {0, -0.0}, OK, 1},
        {"WHICHN", {1, DOT, 1}, OK, 2}, {"WHICHN", {3, 1, 2}, OK, 0}, {"WHICHN", {5}, OK, 0},
        {"WHICHN", {DOT, 1, DOT}, OK, DOT}, {"WHICHN", {}, OK, DOT},
        {"WHICHN", {qvt::from_bits(0x7FF8000000000000ull), qvt::from_bits(0x7FF8000000000000ull)}, OK, 0},
        {"WHICHC", {U"ab", U"ab  ", U"ab"}, OK, 1}, {"WHICHC", {U"ab ", U"ab"}, OK, 1},
        {"WHICHC", {U" ab", U"ab"}, OK, 0}, {"WHICHC", {U"AB", U"ab"}, OK, 0}, {"WHICHC", {U"  ", U""}, OK, 1},
        {"WHICHC", {U"", U""}, OK, DOT}, {"WHICHC", {U"ab", U"x", U"ab"}, OK, 2},
        {"WHICHC", {U"ab", U"abx", U"a", U"ab\tc"}, OK, 0}, {"WHICHC", {U"a  ", U"a b", U"a"}, OK, 2},
        {"WHICHC", {U"x"}, OK, 0}, {"WHICHC", {}, OK, DOT},
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

struct CharRow {
    std::vector<Arg> args;
    std::uint16_t capacity;
    std::u32string expected;
};

TEST(StatsTable, CoalescecCopiesFirstNonBlankCutAtCapacity) {
    const std::vector<CharRow> cases = {
        {{U"", U"  ", U" x ", U"y"}, 10, U" x "}, {{U"", U"  ", U" x ", U"y"}, 2, U" x"},
        {{U"", U" "}, 5, U""}, {{}, 5, U""}, {{U"abcde"}, 3, U"abc"}, {{U"ab"}, 3, U"ab"},
        {{U"ab"}, 0, U""}, {{U"   \t"}, 8, U"   \t"}, {{U"    ", U"é "}, 8, U"é "},
    };
    for (const CharRow &c : cases) {
        const qvt::Result r = qvt::callc("COALESCEC", c.args, c.capacity);
        EXPECT_EQ(r.status, OK);
        EXPECT_EQ(r.text, c.expected) << "capacity " << c.capacity;
        EXPECT_TRUE(r.marked.empty());
    }
}

}  // namespace

// Statistics over argument lists: table rows for walk orders, equal values, start values, the
// scaling of RMS, the zero tolerance of the means and CV's fuzz, each on both sides of its
// bound; character functions; and no function without a scratch-memory failure asks the pool
// for memory.
#include <tuple>

#include "qvtest.hpp"

namespace {

using qvt::Arg;

// Sums run from the first argument to the last: in the other order the GEOMEAN, HARMEAN and CSS
// rows with a dot among them come out one bit off. GEOMEAN and HARMEAN count a value within
// 1.1368683772161608e-13 of the largest as zero. RMS
// redoes a sum of squares of at most count * 2.0041683600089723e-292 scaled up (the three-value
// row lies just below). CV's fuzz grows as sqrt(n) past 1024 values.
INSTANTIATE_TEST_SUITE_P(Statistics, Rows, testing::Values(
    "SUM . .A = . ?", "SUM 1 . 2 = 3", "SUM 0.1 0.2 0.3 = 0.6000000000000001", "MEAN . = . ?", "MEAN 1 . 2 = 1.5",
    "MEAN 0.1 0.1 0.1 = 0.1", "MEAN 2*1.7976931348623157e308 = 1.7976931348623157e308", "MEAN .Z -0 0 = -0",
    "MEAN 1 nan = nan", "GEOMEAN 12.6 . 15 16 = 14.46085358505138", "HARMEAN 5.9 . 18.4 15.4 = 10.388731927586063",
    "CSS 3.2 1.5 . 6.5 0.7 = 19.827499999999997", "MAX 0 -0 = 0", "MAX -0 0 = -0", "MIN -0 . 0 = -0", "MAX -1.7976931348623157e308 = . ?",
    "MIN 1.7976931348623157e308 = . ?", "MAX 3 ._ 7 -2 = 7", "MIN 3 7 -2 . = -2",
    "RANGE -1.7976931348623157e308 = 0", "RANGE 1 . -2 = 3", "RANGE . = . ?", "USS = . ?",
    "USS 1 0x1p-27 0x1p-27 0x1p-27 = 1.0000000000000002", "USS 0x1p-27 0x1p-27 0x1p-27 1 = 1",
    "RMS 3 4 = 3.5355339059327378", "RMS 1e200 1e200 = 1e200", "RMS 0 0 = 0", "RMS 1e-200 1e-200 = 1e-200",
    "RMS -1e200 1 = 7.071067811865476e199", "RMS 1.7976931348623157e308 = inf",
    "RMS 1.7976931348623157e308 . = 1.7976931348623157e308", "RMS . . = . ?",
    "RMS 3.4e-155 2.45e-146 3.35e-160 = 1.414508159514583e-146",
    "CSS . . = . ?", "CSS 5 = 0", "CSS 0.1 0.1 0.1 = 0", "VAR 5 = . ?", "VAR 5 . 5 = 0", "STD 7 = . ?",
    "STD 1 2 3 4 = 1.2909944487358056", "STDERR 1 2 3 = 0.5773502691896257", "CV 1 2 3 = 50", "CV -1 -2 -3 = -50",
    "CV 0.1 0.1 0.1 = 0", "CV 0 0 = . !", "CV -1 1 = . !", "CV 7 . = . ?", "CV 1000*1 1000*1.0000000000000222 = 0",
    "SKEWNESS 5 5 = . ?", "SKEWNESS 0.1 0.1 0.1 = . !", "SKEWNESS 1.1 2.2 3.3 4.4 5.5 = 0",
    "SKEWNESS 0.1 0.2 0.3 = -3.9968028886505635e-15", "SKEWNESS 1 . 2 10 = 1.6523167403329904",
    "KURTOSIS 5 5 5 = . ?", "KURTOSIS 0 0 0 0 = . !", "KURTOSIS 1 2 3 4 = -1.2000000000000028",
    "GEOMEAN . = . ?", "GEOMEANZ = . ?", "HARMEANZ . . = . ?", "GEOMEAN 4 0 9 = 0", "GEOMEANZ 4 0 9 = 0",
    "HARMEANZ 4 0 9 = 0", "GEOMEAN 1 -1e-14 = 0", "GEOMEANZ 1 -1e-14 = . !2", "HARMEANZ 1 -1e-14 = . !2",
    "HARMEANZ 1e-13 1 = 1.9999999999998e-13", "HARMEAN 1.1368683772161608e-13 1 = 0",
    "HARMEAN 1.1368683772161608e-13> 1 = 2.2737367544320636e-13", "GEOMEAN 1 -1.1368683772161608e-13 = 0",
    "GEOMEAN 1 -1.1368683772161608e-13< = . !2", "GEOMEAN -2 . -8 = . !1,3", "HARMEAN -2 -0 5 -1e-300 = . !1",
    "HARMEAN -1e-310 1e-310 = . !1", "GEOMEANZ -1 0 -2 = . !1,3", "HARMEANZ 2 -0 -3 = 0", "GEOMEANZ 5 -0 -3 = 0",
    "GEOMEAN 3e-308 3e-308 = 0", "HARMEANZ 1e-310 5 = 0", "GEOMEANZ 1e-310 1e-310 = . !",
    "GEOMEAN 2*1.7976931348623157e308 = 1.7976931348622732e+308", "GEOMEANZ inf = . !",
    "N 1 . .A = 1", "NMISS #FFFF123456789ABC -inf . = 2", "MISSING .Z = 1", "MISSING 0 = 0", "MISSING = 1",
    "COALESCE . .B 3 4 = 3", "COALESCE . . = .", "COALESCE ._ -0 1 = -0", "WHICHN 0 -0 = 1", "WHICHN 1 . 1 = 2",
    "WHICHN 3 1 2 = 0", "WHICHN . 1 . = .", "WHICHN = .", "WHICHN nan nan = 0"));

// Character arguments: blank strings are missing, comparisons pad with blanks on the right.
TEST(Characters, MissingWhichcAndCoalescec) {
    const std::vector<std::tuple<const char *, std::vector<Arg>, double>> rows = {
        {"MISSING", {U"   "}, 1}, {"MISSING", {U" a"}, 0}, {"WHICHC", {U"ab", U"ab  ", U"ab"}, 1},
        {"WHICHC", {U"ab ", U"ab"}, 1}, {"WHICHC", {U" ab", U"ab"}, 0}, {"WHICHC", {U"  ", U""}, 1},
        {"WHICHC", {U"", U""}, qvt::DOT}, {"WHICHC", {U"ab", U"abx", U"a", U"ab c", U"ab\t"}, 0},
        {"WHICHC", {U"a  ", U"a b", U"a"}, 2},
    };
    for (const auto &[name, args, expected] : rows) EXPECT_SAME(qvt::call(name, args).value, expected) << name;
    const std::vector<std::tuple<std::vector<Arg>, std::uint16_t, std::u32string>> copies = {
        {{U"", U"  ", U" x ", U"y"}, 10, U" x "}, {{U"", U"  ", U" x ", U"y"}, 2, U" x"}, {{U"", U" "}, 5, U""},
        {{U"ab"}, 0, U""}, {{U"   \t"}, 8, U"   \t"}, {{U"    ", U"é "}, 8, U"é "},
    };
    for (const auto &[args, capacity, expected] : copies) {
        const qvt::Result r = qvt::callc(args, capacity);
        EXPECT_EQ(r.status, STATUS_OK);
        EXPECT_EQ(r.text, expected) << "capacity " << capacity;
    }
}

// A function whose catalogue entry lists no scratch-memory failure asks the pool for nothing,
// however long its list.
TEST(EveryFunction, WithoutScratchFailureAsksNoMemory) {
    for (const qvh_info &f : qvhost::functions()) {
        if ((f.statuses & QVH_MAY_NO_SCRATCH) || f.max_args != QVH_ANY_COUNT || f.form == QVH_FORM_CHAR_LIST ||
            !qvt::package().find(f.name)->entry.scalar)
            continue;
        qvhost::CountingPool pool;
        pool.refuse_all(true);
        qvt::call(f.name, std::vector<Arg>(3000, f.first_kind == QVH_KIND_CHR ? Arg(U"  x ") : Arg(2.5)), &pool);
        EXPECT_TRUE(pool.requests().empty()) << f.name;
    }
}

}  // namespace

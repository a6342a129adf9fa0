// Elementary functions through their table rows: each domain bound with the doubles just inside
// and just outside it ('>' and '<' step one double up and down), NaNs that are not missing
// values, and every missing bit pattern for every one-argument function of the catalogue.
#include <algorithm>
#include <cmath>

#include "qvtest.hpp"

namespace {

INSTANTIATE_TEST_SUITE_P(DomainEdges, Rows, testing::Values(
    "ARCOS 1 = 0", "ARCOS 1> = . !", "ARCOS -1 = 3.141592653589793", "ARCOS -1< = . !", "ARCOS -nan = -nan",
    "ARSIN -1 = -1.5707963267948966", "ARSIN 1> = . !", "ARSIN -1< = . !", "ATAN inf = 1.5707963267948966",
    "COS 28296951008113.72 = -0.9977236971786095", "COS 28296951008113.72> = . !", "COS inf = . !",
    "SIN -28296951008113.72 = -0.06743459118468975", "SIN -28296951008113.72< = . !", "SIN -inf = . !",
    // The pole band of TAN is 1e-10 wide on the fraction of x / pi, at every multiple.
    "TAN 1.5707963264807372 = 3183097229.936138", "TAN 1.5707963264807372> = . !",
    "TAN 1.5707963271090557 = -3183100720.5452385", "TAN 1.5707963271090557< = . !",
    "TAN 3143.1634499162737> = . !", "TAN -4.71238898038469 = . !", "TAN 1.5707963 = 37320539.634354815",
    "TAN 0 = 0", "TAN 28296951008113.72> = . !", "TAN nan = nan",
    "COSH -709.782712893384 = 8.988465674311366e+307", "COSH -709.782712893384< = . !", "COSH inf = . !",
    "SINH 709.782712893384 = 8.988465674311366e+307", "SINH 709.782712893384> = . !", "SINH -710 = . !",
    "SINH nan = nan", "TANH -inf = -1", "EXP 709.782712893384 = 1.7976931348622732e+308",
    "EXP 709.782712893384> = . !", "EXP -1000 = 0", "EXP -inf = 0", "EXP inf = . !", "EXP -nan = . !",
    "LOG 5e-324 = -744.4400719213812", "LOG 0 = . !", "LOG -0 = . !", "LOG -1 = . !", "LOG inf = inf",
    "LOG -nan = -nan", "LOG10 1000 = 3", "LOG10 0.001 = -3", "LOG10 0 = . !", "LOG10 -5e-324 = . !",
    // A signalling NaN quiets into a missing pattern: LOG and LOG10 write it and call it invalid.
    "LOG #FFF7000000000001 = #FFFF000000000001 !", "LOG10 #FFF7000000000001 = #FFFF000000000001 !",
    "LOG2 #FFF7000000000001 = #FFFF000000000001", "LOG2 0 = . !", "LOG2 -8 = . !", "LOG2 inf = inf",
    "LOG2 8 = 3", "LOG2 0.5 = -1", "LOG2 5e-324 = -1074", "LOG2 0x1p-1020 = -1020", "LOG2 1024 = 10",
    "LOG2 3 = 1.5849625007211563", "LOG2 10 = 3.3219280948873626", "SQRT -0 = -0", "SQRT -5e-324 = . !",
    "SQRT 2 = 1.4142135623730951", "SQRT inf = inf", "RECIP 0 = . !", "RECIP -0 = . !", "RECIP inf = 0",
    "RECIP -inf = -0", "RECIP 4 = 0.25", "SIGN -0 = 0", "SIGN -3 = -1", "SIGN 5e-324 = 1", "SIGN -nan = 0",
    "SIGN -inf = -1", "ABS -0 = 0", "ABS -nan = nan", "ABS -inf = inf",
    "ATAN2 0 0 = . !", "ATAN2 -0 0 = . !", "ATAN2 0 -0 = . !", "ATAN2 0 -1 = 3.141592653589793",
    "ATAN2 5e-324 0 = 1.5707963267948966", "ATAN2 1 .A = . ?", "ATAN2 .Z 1 = . ?", "ATAN2 nan 0 = nan",
    "ATAN2 -inf inf = -0.7853981633974483"));

// Any of the 28 missing values, and missing bit patterns beyond them, gives `.` with a missing
// argument status from every one-argument function.
TEST(MissingArgument, EveryScalarFunctionGivesDot) {
    for (const qvh_info &f : qvhost::functions()) {
        if (f.form != QVH_FORM_SCALAR) continue;
        for (double m : {qvt::miss('.'), qvt::miss('_'), qvt::miss('A'), qvt::miss('Z'),
                         qvt::from_bits(0xFFFF123456789ABCull), qvt::from_bits(0xFFFF000000000000ull)}) {
            const qvt::Result r = qvt::call(f.name, {m});
            EXPECT_EQ(r.status, STATUS_MISSING_ARG) << f.name;
            EXPECT_SAME(r.value, qvt::DOT) << f.name;
        }
    }
}

// NaN, infinite and huge values in every argument position of every numeric function, at its
// fewest and its most (or three) arguments: no undefined behaviour, a result on every path, a
// status the catalogue lists, and an invalid status only with the result `.`.
TEST(EveryFunction, SpecialValuesInEveryPosition) {
    const double specials[] = {NAN, -NAN, INFINITY, -INFINITY, 1e300, -1e300, -2147483648.0, 4.5};
    for (const qvh_info &f : qvhost::functions()) {
        if (f.first_kind == QVH_KIND_CHR || f.result_kind == QVH_KIND_CHR || !qvt::package().find(f.name)->entry.scalar) continue;
        for (const int arity : {std::max(f.min_args, 1), f.max_args == QVH_ANY_COUNT ? 3 : f.max_args})
            for (int pos = 0; pos < arity; ++pos)
                for (double s : specials) {
                    std::vector<double> args(arity, 4.0);
                    args[pos] = s;
                    const qvt::Result r = qvt::call(f.name, qvt::nums(args));
                    EXPECT_TRUE(r.status == STATUS_OK || qvt::bits_of(r.value) == qvt::bits_of(qvt::DOT)) << f.name << " " << pos;
                }
    }
}

// The exported log2 is the exact one LOG2 uses, without the domain guard.
TEST(Log2, ExportedRoutineIsTheExactOne) {
    auto log2_fn = qvt::package().fn<double (*)(double)>("log2");
    ASSERT_NE(log2_fn, nullptr);
    EXPECT_SAME(log2_fn(0x1p-1074), -1074.0);
    EXPECT_SAME(log2_fn(0x1p-1020), -1020.0);
    EXPECT_SAME(log2_fn(0.0), -INFINITY);
    EXPECT_SAME(log2_fn(3.0), 1.5849625007211563);
}

}  // namespace

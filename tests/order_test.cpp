// Order statistics through their table rows: statuses and marks, the fuzz of the percentile
// position on both sides of its band, ties between zeros of both signs (which of equal entries
// is returned decides the sign), missing bit patterns, and scratch memory at the edges of the
// local buffers; then random lists against a sorted copy.
#include <algorithm>
#include <cmath>
#include <random>

#include "qvtest.hpp"

namespace {

using qvt::DOT;

// Positions that are integral in exact arithmetic (7% and 57% of 100) are fuzzed onto the integer.
// The band is n * 1.1368683772161608e-13 wide: for n = 4 a fraction of 4e-13 is in it and one of
// 4.8e-13 is not; so is PCTL2's tie band around a half (6.8e-13 for n = 6). -nan is a NaN that is not missing; #FFFF... are missing patterns outside the listed kinds, which
// order with . and come back with their own bits.
INSTANTIATE_TEST_SUITE_P(Examples, Rows, testing::Values(
    "PCTL2 25 1..6 = 2", "PCTL2 75 1..6 = 4", "MEDIAN = .", "PCTL 50 = .", "PCTL 50 . .A = .", "IQR . . = .",
    "MAD . = .", "PCTL . 1 2 = . !1", "PCTL -0.5 1 2 = . !1", "PCTL3 100.5 1 2 = . !1", "PCTL = . !",
    "MEDIAN 1.7976931348623157e308 1.7976931348623157e308 = inf", "PCTL3 7 1..100 = 7", "PCTL1 57 1..100 = 57",
    "PCTL 7 1..100 = 7.5", "PCTL 57 1..100 = 57.5",
    "PCTL3 50.00000000001 1 2 3 4 = 2", "PCTL3 50.000000000012 1 2 3 4 = 3", "PCTL2 75.000000000001 1..6 = 4",
    "PCTL2 75.00000000002 1..6 = 5", "SMALLEST 3 5 . 3 1 = 5", "LARGEST 3 5 . 3 1 = 1",
    "SMALLEST 4 5 . 3 1 = . ?", "LARGEST 4 5 . 3 1 = . ?", "SMALLEST 5 1 2 3 4 = . !1", "SMALLEST 0 1 2 = . !1",
    "LARGEST 1.5 1 2 = . !1", "SMALLEST . 1 2 = . !1", "LARGEST -nan 1 2 = . !1", "SMALLEST 1 = . !1",
    "ORDINAL 1 3 . 1 = .", "ORDINAL 2 . . = .", "ORDINAL 1 .Z ._ .A 5 = ._", "ORDINAL 3 .Z ._ .A 5 = .Z",
    "ORDINAL 3 1 2 = . !1", "ORDINAL 1.5 1 2 = . !1", "ORDINAL . 1 2 = . !1", "ORDINAL 1 = . !1",
    "ORDINAL 2 #FFFF123456789ABC . = #FFFF123456789ABC", "ORDINAL 1 #FFFF123456789ABC . = .",
    "ORDINAL 1 .Z #FFFF000000000000 = #FFFF000000000000"));

// Heaps keep the first of equal values and move the right one of equal children up; partitioning
// splits equal entries by index parity; a minimum takes the lowest index, a maximum the highest;
// an averaged rank takes neighbours, and IQR takes the lower quartile first on one array.
INSTANTIATE_TEST_SUITE_P(SignedZeroTies, Rows, testing::Values(
    "SMALLEST 1 -0 0 = -0", "SMALLEST 1 0 -0 = 0", "SMALLEST 2 0 -0 1 1 = 0", "SMALLEST 2 -0 0 1 1 = -0",
    "LARGEST 3 0 -0 1 1 = 0", "LARGEST 3 -0 0 1 1 = -0", "SMALLEST 3 -1 0 -0 5 5 = -0", "SMALLEST 3 -1 -0 0 5 5 = 0",
    "LARGEST 3 1 0 -0 -5 -5 = -0", "LARGEST 3 1 -0 0 -5 -5 = 0", "ORDINAL 1 0 0 -0 = -0", "ORDINAL 1 -0 -0 0 = 0",
    "ORDINAL 2 . 0 0 -0 = -0", "ORDINAL 2 -0 0 0 0 0 = -0", "PCTL3 30 -0 0 0 0 0 = -0", "PCTL3 30 0 -0 -0 -0 -0 = 0",
    "MEDIAN 0 -0 0 = -0", "MEDIAN -0 0 -0 = 0", "PCTL3 50 0 -0 = 0", "PCTL3 50 -0 0 = -0", "PCTL3 100 0 -0 = -0",
    "PCTL3 100 -0 0 = 0", "IQR 0 -0 = -0", "IQR -0 0 = 0", "PCTL 25 -0 -0 0 1 = 0", "PCTL 25 0 -0 -0 1 = -0",
    "PCTL 60 -0 -0 0 -1 -0 = 0", "IQR -0 -0 0 -1 0 1 = 0", "PCTL1 40 0 -0 -0 = -0", "PCTL1 40 -0 -0 0 = 0"));

// The local buffers hold a heap of 127 ranks, 256 pointers, and 128 values for MAD; past them one
// block of exactly the bytes needed is requested. SMALLEST(128) of 200 is answered as the 73rd
// largest, LARGEST(800) of 1000 as the 201st smallest.
INSTANTIATE_TEST_SUITE_P(LocalBufferEdges, Rows, testing::Values(
    "SMALLEST 127 1..250 = 127", "SMALLEST 128 1..250 = 128 @1032", "LARGEST 128 1..250 = 123 @1032",
    "SMALLEST 128 1..200 = 128", "LARGEST 800 1..1000 = 201 @1616", "SMALLEST 128 1..100 150*. = . ? @1032",
    "ORDINAL 256 1..256 = 256", "ORDINAL 3 1..255 2*. = 1 @2056", "PCTL 50 1..256 = 128.5",
    "PCTL2 50 1..257 = 128 @2056", "PCTL 50 257*. = . @2056", "MEDIAN 1..256 = 128.5",
    "MEDIAN 1..257 = 129 @2056", "IQR 1..256 = 128", "IQR 1..257 = 128 @2056", "MAD 1..128 = 32",
    "MAD 1..129 = 32 @2064"));

// The quantile of the ascending present values x under definitions 1 to 5, read off the copy.
double ref_quantile(int def, const std::vector<double> &x, double p) {
    const auto n = static_cast<std::int64_t>(x.size());
    if (n == 0) return DOT;
    auto at = [&](std::int64_t r) { return x[std::clamp<std::int64_t>(r, 1, n) - 1]; };
    const double t = static_cast<double>(def == 4 ? n + 1 : n) * p;
    const auto j = static_cast<std::int64_t>(t);
    const double g = t - static_cast<double>(j);
    if (def == 2) return g > 0.5 || (g == 0.5 && j % 2 == 1) ? at(j + 1) : at(j);
    if (j < 1 || j >= n || (g == 0 && def != 5)) return at(j);
    if (def == 3 || (def == 5 && g != 0)) return at(j + 1);
    return def == 5 ? (at(j) + at(j + 1)) * 0.5 : ((1 - g) * at(j)) + (g * at(j + 1));
}

void expect(const char *name, std::vector<double> args, double expected, QvStatus status = STATUS_OK) {
    const qvt::Result r = qvt::call(name, qvt::nums(args));
    EXPECT_EQ(r.status, status) << name << " over " << args.size() << " arguments";
    EXPECT_SAME(r.value, expected) << name << " over " << args.size() << " arguments, first " << args[0];
}

TEST(OrderRandom, AgreesWithSortedCopy) {
    std::mt19937_64 rng(20261205);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    for (int trial = 0; trial < 300; ++trial) {
        const int m = trial < 20 ? trial : static_cast<int>(uniform(1, trial % 3 ? 300 : 1200));
        // Few distinct values, many, or any double; 15% missing values of every kind. args[0] takes
        // the percentile or rank.
        std::vector<double> args{0.0}, x, missing;
        for (int i = 0; i < m; ++i) {
            const double v = uniform(0, 1) < 0.15 ? qv::missing_value(static_cast<int>(uniform(0, 28)))
                             : trial % 3 == 0   ? std::floor(uniform(-5, 5))
                             : trial % 3 == 1   ? std::floor(uniform(-1e6, 1e6)) : uniform(-1e6, 1e6);
            args.push_back(v);
            (qv::is_missing(v) ? missing : x).push_back(v);
        }
        std::sort(x.begin(), x.end());
        auto by_kind = [](double a, double b) { return qv::missing_kind(a) < qv::missing_kind(b); };
        std::sort(missing.begin(), missing.end(), by_kind);
        const auto n = static_cast<std::int64_t>(x.size());
        const double pct = trial % 2 ? uniform(0, 100) : 12.5 * std::floor(uniform(0, 9));
        const std::vector<double> data(args.begin() + 1, args.end());
        const char *const pctl[] = {"PCTL5", "PCTL1", "PCTL2", "PCTL3", "PCTL4", "PCTL"};
        args[0] = pct;
        for (int def = 0; def <= 5; ++def) expect(pctl[def], args, ref_quantile(def ? def : 5, x, pct / 100.0));
        expect("MEDIAN", data, ref_quantile(5, x, 0.5));
        expect("IQR", data, n ? ref_quantile(5, x, 0.75) - ref_quantile(5, x, 0.25) : DOT);
        std::vector<double> dev;
        for (double v : x) dev.push_back(std::fabs(v - ref_quantile(5, x, 0.5)));
        std::sort(dev.begin(), dev.end());
        expect("MAD", data, ref_quantile(5, dev, 0.5));
        if (m == 0) continue;
        const int k = static_cast<int>(uniform(1, m + 1));
        args[0] = k;
        expect("SMALLEST", args, k <= n ? x[k - 1] : DOT, k <= n ? STATUS_OK : STATUS_MISSING_ARG);
        expect("LARGEST", args, k <= n ? x[n - k] : DOT, k <= n ? STATUS_OK : STATUS_MISSING_ARG);
        missing.insert(missing.end(), x.begin(), x.end());
        expect("ORDINAL", args, missing[k - 1]);
    }
}

}  // namespace

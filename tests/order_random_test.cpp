// Order statistics against a sorted copy on random lists: ties between equal values, missing
// values of every kind, and list lengths on both sides of the local buffers. The percentiles are
// random or multiples of 12.5, whose positions are exact, so the fuzz never applies here.
#include <algorithm>
#include <cmath>
#include <random>

#include "qvtest.hpp"

namespace {

using qvt::DOT;

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

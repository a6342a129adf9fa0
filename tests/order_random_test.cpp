// Order statistics against a sorted copy on random lists: ties between equal values, missing
// values of several kinds, and list lengths on both sides of the local buffers.
#include <algorithm>
#include <random>

#include "qvtest.hpp"

namespace {

using qvt::DOT;
using qvt::from_bits;

const double FUZZ = from_bits(0x3D40000000000002ull), FUZZ_CAP = from_bits(0x3EB0C6F7A0B5ED8Dull);

// The quantile of the present values x (ascending) under definitions 1 to 5, read off the
// sorted copy.
double ref_quantile(int def, const std::vector<double> &x, double p) {
    const auto n = static_cast<std::int64_t>(x.size());
    if (n == 0) return DOT;
    auto at = [&](std::int64_t r) { return x[std::clamp<std::int64_t>(r, 1, n) - 1]; };
    const double t = static_cast<double>(def == 4 ? n + 1 : n) * p;
    auto j = static_cast<std::int64_t>(t);
    double g = t - static_cast<double>(j);
    const double eps = std::min(static_cast<double>(n) * FUZZ, FUZZ_CAP);
    if (g < eps) g = 0;
    if (g > 1 - eps) j += 1, g = 0;
    if (def == 2) return (g > 0.5 + eps || (g > 0.5 - eps && j % 2 == 1)) ? at(j + 1) : at(j);
    if (j < 1 || j >= n) return at(j);
    if (g == 0 && def != 5) return at(j);
    if (def == 3 || (def == 5 && g != 0)) return at(j + 1);
    if (def == 5) return (at(j) + at(j + 1)) * 0.5;
    return ((1 - g) * at(j)) + (g * at(j + 1));
}

struct Sample {
    std::vector<double> args;     // in argument order
    std::vector<double> present;  // ascending
    std::vector<double> ordinal;  // every value, missing ones first in their order
};

Sample draw(std::mt19937_64 &rng, int m) {
    const int spread = std::uniform_int_distribution<int>(0, 2)(rng);  // few values, many, any double
    std::uniform_int_distribution<int> small(-5, 5), wide(-1000000, 1000000), kind(0, 27);
    std::uniform_real_distribution<double> real(-1e6, 1e6), u(0, 1);
    Sample s;
    for (int i = 0; i < m; ++i) {
        const double x = u(rng) < 0.15 ? qv::missing_value(kind(rng))
                         : spread == 0 ? small(rng) : spread == 1 ? wide(rng) : real(rng);
        s.args.push_back(x);
        if (!qv::is_missing(x)) s.present.push_back(x);
    }
    std::sort(s.present.begin(), s.present.end());
    for (double x : s.args) {
        if (qv::is_missing(x)) s.ordinal.push_back(x);
    }
    std::sort(s.ordinal.begin(), s.ordinal.end(), [](double a, double b) { return qv::missing_kind(a) < qv::missing_kind(b); });
    s.ordinal.insert(s.ordinal.end(), s.present.begin(), s.present.end());
    return s;
}

std::vector<double> with_first(double first, const std::vector<double> &rest) {
    std::vector<double> v{first};
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

void expect(const char *name, const std::vector<double> &args, double expected, QvStatus status = STATUS_OK) {
    const qvt::Result r = qvt::call(name, qvt::nums(args));
    EXPECT_EQ(r.status, status) << name << " over " << args.size() << " arguments";
    EXPECT_SAME(r.value, expected) << name << " over " << args.size() << " arguments, first " << args[0];
}

TEST(OrderRandom, AgreesWithSortedCopy) {
    std::mt19937_64 rng(20261205);
    for (int trial = 0; trial < 300; ++trial) {
        const int m = trial < 20 ? trial : std::uniform_int_distribution<int>(1, trial % 3 ? 300 : 1200)(rng);
        const Sample s = draw(rng, m);
        const std::vector<double> &x = s.present;
        const auto n = static_cast<std::int64_t>(x.size());
        // Random percentiles, and ones that put the position on an integer in exact arithmetic.
        const double pct = trial % 2 ? std::uniform_real_distribution<double>(0, 100)(rng)
                                     : 100.0 * std::uniform_int_distribution<int>(0, 40)(rng) / 40;
        static const char *const PCTL[] = {"PCTL5", "PCTL1", "PCTL2", "PCTL3", "PCTL4", "PCTL"};
        for (int def = 0; def <= 5; ++def) expect(PCTL[def], with_first(pct, s.args), ref_quantile(def ? def : 5, x, pct / 100.0));
        expect("MEDIAN", s.args, ref_quantile(5, x, 0.5));
        expect("IQR", s.args, n ? ref_quantile(5, x, 0.75) - ref_quantile(5, x, 0.25) : DOT);
        std::vector<double> dev;
        const double med = ref_quantile(5, x, 0.5);
        for (double v : x) dev.push_back(med > v ? med - v : v - med);
        std::sort(dev.begin(), dev.end());
        expect("MAD", s.args, ref_quantile(5, dev, 0.5));
        if (m == 0) continue;
        const int k = std::uniform_int_distribution<int>(1, m)(rng);
        expect("SMALLEST", with_first(k, s.args), k <= n ? x[k - 1] : DOT, k <= n ? STATUS_OK : STATUS_MISSING_ARG);
        expect("LARGEST", with_first(k, s.args), k <= n ? x[n - k] : DOT, k <= n ? STATUS_OK : STATUS_MISSING_ARG);
        expect("ORDINAL", with_first(k, s.args), s.ordinal[k - 1]);
    }
}

}  // namespace

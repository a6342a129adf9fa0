// Statistics on random lists against straightforward references over the present values, and
// the promise that none of these functions asks the pool for memory.
#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "qvtest.hpp"

namespace {

using qvt::Arg;

// Random lists: magnitudes spread over many binades (so the order of additions shows in the
// last bits), signed zeros, missing values of several kinds, and now and then a list whose
// present values are all equal.
struct Lists {
    std::mt19937_64 rng{20261205};
    int lo_exp = -30, hi_exp = 30;
    bool positive = false;

    double value() {
        if (rng() % 25 == 0) return rng() % 2 ? 0.0 : -0.0;
        const double m = 1.0 + static_cast<double>(rng() >> 12) * 0x1p-52;
        const int e = lo_exp + static_cast<int>(rng() % static_cast<unsigned>(hi_exp - lo_exp + 1));
        const double x = std::ldexp(m, e);
        return positive || rng() % 2 ? x : -x;
    }
    // The arguments and the present values among them, in slot order.
    std::pair<std::vector<Arg>, std::vector<double>> next() {
        std::vector<Arg> args;
        std::vector<double> present;
        const std::size_t size = 1 + rng() % 40;
        const bool constant = rng() % 10 == 0;
        const double c = value();
        for (std::size_t i = 0; i < size; ++i) {
            if (rng() % 5 == 0) {
                args.push_back(qv::missing_value(static_cast<int>(rng() % 28)));
                continue;
            }
            const double x = constant ? c : value();
            args.push_back(x);
            present.push_back(x);
        }
        return {args, present};
    }
};

using Reference = std::function<double(const std::vector<double> &)>;

double sum_forward(const std::vector<double> &p) {
    double s = 0.0;
    for (double x : p) s += x;
    return s;
}
double css(const std::vector<double> &p) {
    const double mean = sum_forward(p) / static_cast<double>(p.size());
    double s = 0.0;
    for (double x : p) s += (x - mean) * (x - mean);
    return s;
}
bool all_equal(const std::vector<double> &p) {
    for (double x : p)
        if (x != p[0]) return false;
    return true;
}
double var(const std::vector<double> &p) { return all_equal(p) ? 0.0 : css(p) / static_cast<double>(p.size() - 1); }

// References for lists with at least two present values.
const std::vector<std::pair<const char *, Reference>> &references() {
    static const std::vector<std::pair<const char *, Reference>> r = {
        {"SUM", sum_forward},
        {"USS",
         [](const std::vector<double> &p) {
             double s = 0.0;
             for (auto it = p.rbegin(); it != p.rend(); ++it) s += *it * *it;
             return s;
         }},
        {"MEAN", [](const std::vector<double> &p) { return all_equal(p) ? p[0] : sum_forward(p) / static_cast<double>(p.size()); }},
        {"MIN",
         [](const std::vector<double> &p) {
             double m = p[0];
             for (double x : p) m = x < m ? x : m;
             return m;
         }},
        {"MAX",
         [](const std::vector<double> &p) {
             double m = p[0];
             for (double x : p) m = x > m ? x : m;
             return m;
         }},
        {"RANGE",
         [](const std::vector<double> &p) {
             const auto [lo, hi] = std::minmax_element(p.begin(), p.end());
             return *hi - *lo;
         }},
        {"CSS", [](const std::vector<double> &p) { return all_equal(p) ? 0.0 : css(p); }},
        {"VAR", var},
        {"STD", [](const std::vector<double> &p) { return std::sqrt(var(p)); }},
        {"STDERR",
         [](const std::vector<double> &p) {
             const double n = static_cast<double>(p.size());
             return all_equal(p) ? 0.0 : std::sqrt(css(p) / ((n - 1) * n));
         }},
        {"HARMEAN",
         [](const std::vector<double> &p) {
             double s = 0.0;
             for (double x : p) s += 1.0 / x;
             return static_cast<double>(p.size()) / s;
         }},
        {"GEOMEAN",
         [](const std::vector<double> &p) {
             double s = 0.0;
             for (double x : p) s += std::log(x);
             return std::exp(s / static_cast<double>(p.size()));
         }},
    };
    return r;
}

TEST(StatsRandom, MatchReferencesBitForBit) {
    Lists mixed, positive;
    positive.positive = true;  // within 2^-10 to 2^10 no value falls inside the zero tolerance
    positive.lo_exp = -10, positive.hi_exp = 10;
    for (int round = 0; round < 400; ++round) {
        for (const auto &[name, reference] : references()) {
            const bool means = name[0] == 'G' || name[0] == 'H';
            auto [args, present] = (means ? positive : mixed).next();
            if (present.size() < 2 || (means && std::count(present.begin(), present.end(), 0.0) > 0)) continue;
            const qvt::Result r = qvt::call(name, args);
            EXPECT_EQ(r.status, STATUS_OK) << name;
            EXPECT_SAME(r.value, reference(present)) << name << " of " << args.size() << " arguments, round " << round;
        }
    }
}

// RMS across the whole double range, with lists that stop the first pass at a large value
// and lists whose squares underflow: within a few units of a reference scaled by powers of two.
TEST(StatsRandom, RmsOverTheDoubleRange) {
    Lists lists;
    for (const auto &[lo, hi] : {std::pair{-1070, -500}, std::pair{400, 1023}, std::pair{-1000, 1000}}) {
        lists.lo_exp = lo, lists.hi_exp = hi;
        for (int round = 0; round < 300; ++round) {
            auto [args, present] = lists.next();
            if (present.empty()) continue;
            int k = -1074;
            for (double x : present)
                if (x != 0.0) k = std::max(k, std::ilogb(x));
            double s = 0.0;
            for (double x : present) s += std::ldexp(x, -k) * std::ldexp(x, -k);
            const double want = std::ldexp(std::sqrt(s / static_cast<double>(present.size())), k);
            const qvt::Result r = qvt::call("RMS", args);
            EXPECT_EQ(r.status, STATUS_OK);
            EXPECT_NEAR(r.value, want, want * 1e-14) << "RMS of " << args.size() << " arguments, max binade " << k;
        }
    }
}

TEST(StatsRandom, NoFunctionAsksThePool) {
    std::vector<Arg> numbers, texts;
    for (int i = 0; i < 3000; ++i) {
        numbers.push_back(1.0 + i % 7);
        texts.push_back(U"  x ");
    }
    qvhost::CountingPool pool;
    pool.refuse_all(true);
    for (const char *name : {"SUM", "MEAN", "MIN", "MAX", "RANGE", "USS", "RMS", "CSS", "VAR", "STD", "STDERR", "CV",
                             "SKEWNESS", "KURTOSIS", "GEOMEAN", "GEOMEANZ", "HARMEAN", "HARMEANZ", "N", "NMISS",
                             "MISSING", "COALESCE", "WHICHN"})
        EXPECT_EQ(qvt::call(name, numbers, &pool).status, STATUS_OK) << name;
    EXPECT_EQ(qvt::call("WHICHC", texts, &pool).value, 1.0);
    EXPECT_EQ(qvt::call("MISSING", texts, &pool).value, 0.0);

    qvhost::ArgList list(pool.host());
    for (int i = 0; i < 3000; ++i) list.chr(U"  x ");
    std::u32string buffer(8, U'#');
    CharValue out{8, 0, {}, reinterpret_cast<std::uint32_t *>(buffer.data())};
    EXPECT_EQ(qvt::row("COALESCEC").entry.charList(list.get(), &out), STATUS_OK);
    EXPECT_EQ(buffer, U"  x ####");
    EXPECT_TRUE(pool.requests().empty());
}

}  // namespace

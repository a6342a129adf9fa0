// Statistics on random lists against straightforward references over the present values, and
// the promise that none of these functions asks the pool for memory.
#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <tuple>

#include "qvtest.hpp"

namespace {

using qvt::Arg;
using Values = std::vector<double>;

// Up to 40 slots, a fifth of them missing values of every kind; magnitudes over binades lo..hi
// (so the order of additions shows in the last bits), signed zeros unless positive, and one
// list in ten whose present values are all equal. Returns the arguments and the present values.
std::pair<std::vector<Arg>, Values> random_list(std::mt19937_64 &rng, int lo, int hi, bool positive) {
    auto value = [&] {
        if (!positive && rng() % 25 == 0) return rng() % 2 ? 0.0 : -0.0;
        const double x = std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52, lo + int(rng() % (hi - lo + 1)));
        return positive || rng() % 2 ? x : -x;
    };
    std::pair<std::vector<Arg>, Values> list;
    const bool constant = rng() % 10 == 0;
    const double c = value();
    for (std::size_t i = 0, size = 1 + rng() % 40; i < size; ++i) {
        const double x = rng() % 5 == 0 ? qv::missing_value(static_cast<int>(rng() % 28)) : constant ? c : value();
        list.first.push_back(x);
        if (!qv::is_missing(x)) list.second.push_back(x);
    }
    return list;
}

double n_of(const Values &p) { return static_cast<double>(p.size()); }
bool same(const Values &p) { return std::all_of(p.begin(), p.end(), [&](double x) { return x == p[0]; }); }
// Adds term(x) over the values one at a time, first to last or last to first.
double sum_of(const Values &p, const std::function<double(double)> &term, bool backward = false) {
    double s = 0.0;
    for (std::size_t i = 0; i < p.size(); ++i) s += term(p[backward ? p.size() - 1 - i : i]);
    return s;
}
double sum(const Values &p) { return sum_of(p, [](double x) { return x; }); }

TEST(StatsRandom, MatchReferencesBitForBit) {
    // The means get positive values from 2^-10 to 2^10, none within their zero tolerance.
    const std::vector<std::tuple<const char *, bool, std::function<double(const Values &)>>> references = {
        {"SUM", false, sum},
        {"USS", false, [](const Values &p) { return sum_of(p, [](double x) { return x * x; }, true); }},
        {"MEAN", false, [](const Values &p) { return same(p) ? p[0] : sum(p) / n_of(p); }},
        {"CSS", false,
         [](const Values &p) {
             const double m = sum(p) / n_of(p);
             return same(p) ? 0.0 : sum_of(p, [m](double x) { return (x - m) * (x - m); });
         }},
        {"HARMEAN", true, [](const Values &p) { return n_of(p) / sum_of(p, [](double x) { return 1.0 / x; }); }},
        {"GEOMEAN", true,
         [](const Values &p) { return std::exp(sum_of(p, [](double x) { return std::log(x); }) / n_of(p)); }},
    };
    std::mt19937_64 rng(20261205);
    for (int round = 0; round < 500; ++round) {
        for (const auto &[name, positive, reference] : references) {
            const auto [args, present] = positive ? random_list(rng, -10, 10, true) : random_list(rng, -30, 30, false);
            if (present.size() < 2) continue;
            EXPECT_SAME(qvt::call(name, args).value, reference(present)) << name << ", round " << round;
        }
    }
}

// RMS across the double range, including lists that stop the first pass at a large value and
// lists whose squares underflow: within a few dozen units of a running hypot.
TEST(StatsRandom, RmsOverTheDoubleRange) {
    std::mt19937_64 rng(7);
    for (const auto &[lo, hi] : {std::pair{-1070, -500}, std::pair{400, 1023}, std::pair{-1000, 1000}}) {
        for (int round = 0; round < 300; ++round) {
            const auto [args, present] = random_list(rng, lo, hi, false);
            if (present.empty()) continue;
            double h = 0.0;  // hypot neither overflows nor underflows on the way
            for (double x : present) h = std::hypot(h, x);
            const double want = h / std::sqrt(n_of(present));
            EXPECT_NEAR(qvt::call("RMS", args).value, want, want * 1e-13) << "round " << round;
        }
    }
}

TEST(StatsRandom, NoFunctionAsksThePool) {
    std::vector<Arg> numbers(3000, Arg(2.5)), texts(3000, Arg(U"  x "));
    qvhost::CountingPool pool;
    pool.refuse_all(true);
    for (const char *name : {"SUM", "MEAN", "MIN", "MAX", "RANGE", "USS", "RMS", "CSS", "VAR", "STD", "STDERR", "CV",
                             "SKEWNESS", "KURTOSIS", "GEOMEAN", "GEOMEANZ", "HARMEAN", "HARMEANZ", "N", "NMISS",
                             "MISSING", "COALESCE", "WHICHN"})
        EXPECT_NE(qvt::call(name, numbers, &pool).status, STATUS_NO_SCRATCH) << name;
    EXPECT_EQ(qvt::call("WHICHC", texts, &pool).value, 1.0);
    qvhost::ArgList list(pool.host());
    for (const Arg &a : texts) list.chr(a.s);
    std::u32string buffer(8, U'#');
    CharValue out{8, 0, {}, reinterpret_cast<std::uint32_t *>(buffer.data())};
    EXPECT_EQ(qvt::row("COALESCEC").entry.charList(list.get(), &out), STATUS_OK);
    EXPECT_EQ(buffer, U"  x ####");
    EXPECT_TRUE(pool.requests().empty());
}

}  // namespace

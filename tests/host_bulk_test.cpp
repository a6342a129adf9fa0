// The bulk paths against one call over the whole list, bit for bit: fold statistics over chunks
// (qvh_call_fold) and several percentiles from one ordering (qvh_call_percentiles), on lists built
// to trip them: both zeros, every kind of missing value, NaNs, infinities, values across 600 binades,
// ties, and lengths at the chunks' edges.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host_package.hpp"
#include "qvhost.h"

namespace {

const double INF = std::numeric_limits<double>::infinity();
const double BIG = 1.7976931348623157e308;

struct Outcome {
    std::uint64_t bits;
    std::int32_t status;
    bool operator==(const Outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    return os << std::hex << o.bits << std::dec << " (" << std::bit_cast<double>(o.bits) << ") " << qvh_status_name(o.status);
}

qvh_call *make(const char *name) {
    qvh_call *call = nullptr;
    EXPECT_EQ(qvh_call_new(qvt::host_package(), name, &call), QVH_OK) << qvh_errmsg();
    return call;
}

// The package's call over the whole list: asking for the marks lays every value out.
Outcome whole(qvh_call *call, const double *lead, std::size_t nlead, const double *xs, std::size_t n, std::ptrdiff_t stride) {
    double r = 0;
    std::int32_t st = -1;
    std::vector<unsigned char> marked(nlead + n);
    EXPECT_EQ(qvh_call_over(call, lead, nlead, xs, n, stride, &r, &st, marked.data()), QVH_OK) << qvh_errmsg();
    return {std::bit_cast<std::uint64_t>(r), st};
}

double missing(char c) {
    double x = 0;
    qvh_missing(c, &x);
    return x;
}

// Every missing value, both zeros, infinities, a NaN that is none, the ends of the range and values
// across 600 binades, in random order.
std::vector<double> adversarial(std::mt19937_64 &rng, std::size_t n) {
    std::vector<double> special = {0.0, -0.0, INF, -INF, std::nan(""), BIG, -BIG, 5e-324, -5e-324, 1.0, 1.0, 3.0};
    for (const char c : std::string("._ABCDEFGHIJKLMNOPQRSTUVWXYZ")) special.push_back(missing(c));
    std::uniform_int_distribution<int> binade(-300, 300), pick(0, 9);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> xs(n);
    for (double &x : xs) x = pick(rng) < 2 ? special[rng() % special.size()] : std::ldexp(u(rng), binade(rng));
    return xs;
}

std::vector<double> filled(std::size_t n, double x, std::size_t at = SIZE_MAX, double y = 0) {
    std::vector<double> v(n, x);
    if (at < n) v[at] = y;
    return v;
}

// Values drawn from (from, from + 1), with one missing value and both zeros apart, +0 first: the
// extreme of the list when from is above zero (the least) or below -1 (the largest).
std::vector<double> zeros_apart(std::mt19937_64 &rng, std::size_t n, double from) {
    std::uniform_real_distribution<double> u(from, from + 1);
    std::vector<double> xs(n);
    for (double &x : xs) x = u(rng);
    if (n > 4) {
        xs[n / 5] = 0.0;
        xs[n / 4] = missing('.');
        xs[n / 2] = -0.0;
    }
    return xs;
}

// A list of a kind, made at any length.
struct Case {
    const char *what;
    std::vector<double> (*make)(std::mt19937_64 &, std::size_t);
};

// The statistics qvh_call_fold reads without a list of the whole: the folds, and the deviation
// sums in two passes.
const char *const FOLDS[] = {"N", "NMISS", "SUM", "MEAN", "MIN", "MAX", "RANGE", "CSS", "VAR", "STD", "STDERR", "CV"};
// Lengths at the edges of the chunks of 4096 values.
const std::size_t LENGTHS[] = {0, 1, 2, 4095, 4096, 4097, 8191, 8192, 8193, 3 * 4096 + 5};

TEST(Fold, EqualsOneCallOnAdversarialLists) {
    std::mt19937_64 rng(36);
    const Case cases[] = {
        {"adversarial", adversarial},
        {"equal values, one differs last", [](std::mt19937_64 &, std::size_t n) { return filled(n, 0.1, n - 1, 0.2); }},
        {"all missing but the last", [](std::mt19937_64 &, std::size_t n) { return filled(n, missing('Q'), n - 1, -0.0); }},
        {"infinities of both signs apart", [](std::mt19937_64 &, std::size_t n) { return filled(n, 1.0, n / 2, INF); }},
        {"DBL_MAX then -DBL_MAX", [](std::mt19937_64 &, std::size_t n) { return filled(n, BIG, n - 1, -BIG); }},
        {"negative zeros and a positive one", [](std::mt19937_64 &, std::size_t n) { return filled(n, -0.0, n / 3, 0.0); }},
        {"zeros apart, the least", [](std::mt19937_64 &r, std::size_t n) { return zeros_apart(r, n, 1.0); }},
        {"zeros apart, the largest", [](std::mt19937_64 &r, std::size_t n) { return zeros_apart(r, n, -2.0); }},
    };
    for (const char *name : FOLDS) {
        qvh_call *call = make(name);
        for (const Case &c : cases) {
            for (const std::size_t n : LENGTHS) {
                std::vector<double> xs = c.make(rng, n);
                if (std::string(c.what) == "infinities of both signs apart" && n > 4) xs[n - 2] = -INF;
                for (const std::ptrdiff_t step : {1, 2, -1}) {
                    const std::size_t m = step == 2 ? n / 2 : n;
                    const double *first = step < 0 && n > 0 ? xs.data() + n - 1 : xs.data();
                    const std::ptrdiff_t stride = step * static_cast<std::ptrdiff_t>(sizeof(double));
                    double r = 0;
                    std::int32_t st = -1;
                    ASSERT_EQ(qvh_call_fold(call, first, m, stride, &r, &st), QVH_OK) << qvh_errmsg();
                    EXPECT_EQ((Outcome{std::bit_cast<std::uint64_t>(r), st}), whole(call, nullptr, 0, first, m, stride))
                        << name << " on " << c.what << ", n=" << m << " step " << step;
                }
            }
        }
        qvh_call_free(call);
    }
}

TEST(Fold, ReadsUnalignedValuesAndStopsWhenInterrupted) {
    std::mt19937_64 rng(1);
    const std::vector<double> xs = adversarial(rng, 9000);
    std::vector<unsigned char> bytes(xs.size() * sizeof(double) + 1);
    std::memcpy(bytes.data() + 1, xs.data(), xs.size() * sizeof(double));
    const auto *odd = reinterpret_cast<const double *>(bytes.data() + 1);
    std::vector<double> many(3u << 20, 1.0);
    many.back() = 2.0;  // the deviations' pass too
    for (const char *name : {"SUM", "STD"}) {
        qvh_call *call = make(name);
        double r = 0;
        std::int32_t st = -1;
        ASSERT_EQ(qvh_call_fold(call, odd, xs.size(), sizeof(double), &r, &st), QVH_OK);
        EXPECT_EQ((Outcome{std::bit_cast<std::uint64_t>(r), st}), whole(call, nullptr, 0, xs.data(), xs.size(), sizeof(double)))
            << name;
        int checks = 0;
        qvh_call_set_interrupt(call, [](void *c) { return ++*static_cast<int *>(c) > 1 ? 1 : 0; }, &checks);
        EXPECT_EQ(qvh_call_fold(call, many.data(), many.size(), sizeof(double), &r, &st), QVH_E_INTERRUPTED) << name;
        EXPECT_EQ(checks, 2) << name;
        qvh_call_free(call);
    }
    // Which functions qvh_call_fold reads in place: surfaces choose it by this.
    const struct {
        const char *name;
        int in_place;
    } kinds[] = {{"N", 1}, {"RANGE", 1}, {"CV", 1}, {"STDERR", 1}, {"MEDIAN", 0}, {"PCTL", 0}, {"USS", 0}, {"ABS", 0}};
    for (const auto &k : kinds) {
        qvh_call *call = make(k.name);
        EXPECT_EQ(qvh_fold_in_place(qvh_call_info(call)), k.in_place) << k.name;
        qvh_call_free(call);
    }
    EXPECT_EQ(qvh_fold_in_place(nullptr), 0);
}

// Percentiles at the ends, at exact positions (12.5 of 8 values, 25 of 4), between ranks, and
// invalid or missing ones.
const double PERCENTS[] = {0, 100, 50, 25, 75, 12.5, 10, 90, 100.0 / 3, 200.0 / 3, 99.9, 0.1, 37.5, 62.5,
                           -1, 101, std::nan(""), missing('.'), missing('Z'), INF};

std::vector<double> with_zeros(std::mt19937_64 &rng, std::size_t n) {
    std::vector<double> xs(n);
    for (std::size_t i = 0; i < n; ++i) xs[i] = i % 3 == 0 ? (rng() % 2 ? 0.0 : -0.0) : static_cast<double>(rng() % 5) - 2.0;
    return xs;
}

TEST(Percentiles, EqualOneCallEach) {
    std::mt19937_64 rng(5);
    const Case cases[] = {
        {"adversarial", adversarial},
        {"ties and both zeros", with_zeros},
        {"only zeros of both signs", [](std::mt19937_64 &r, std::size_t n) {
             std::vector<double> v(n);
             for (double &x : v) x = r() % 2 ? 0.0 : -0.0;
             return v;
         }},
        {"all missing", [](std::mt19937_64 &, std::size_t n) { return filled(n, missing('_')); }},
        {"ascending with NaNs", [](std::mt19937_64 &, std::size_t n) {
             std::vector<double> v(n);
             for (std::size_t i = 0; i < n; ++i) v[i] = i % 7 == 3 ? std::nan("") : 0.1 * static_cast<double>(i);
             return v;
         }},
    };
    for (const char *name : {"PCTL", "PCTL1", "PCTL2", "PCTL3", "PCTL4", "PCTL5"}) {
        qvh_call *call = make(name);
        for (const Case &c : cases) {
            for (const std::size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 100, 1001}) {
                const std::vector<double> xs = c.make(rng, n);
                const std::size_t np = std::size(PERCENTS);
                std::vector<double> rs(np);
                std::vector<std::int32_t> sts(np);
                std::vector<unsigned char> marks(np);
                ASSERT_EQ(qvh_call_percentiles(call, PERCENTS, np, xs.data(), n, sizeof(double), rs.data(), sts.data(), marks.data()),
                          QVH_OK) << qvh_errmsg();
                for (std::size_t k = 0; k < np; ++k) {
                    std::vector<unsigned char> marked(n + 1);
                    double r = 0;
                    std::int32_t st = -1;
                    ASSERT_EQ(qvh_call_over(call, &PERCENTS[k], 1, xs.data(), n, sizeof(double), &r, &st, marked.data()), QVH_OK);
                    EXPECT_EQ((Outcome{std::bit_cast<std::uint64_t>(rs[k]), sts[k]}), (Outcome{std::bit_cast<std::uint64_t>(r), st}))
                        << name << "(" << PERCENTS[k] << ") on " << c.what << ", n=" << n;
                    EXPECT_EQ(marks[k], marked[0]) << name << "(" << PERCENTS[k] << ")";
                }
            }
        }
        qvh_call_free(call);
    }
}

// Long lists, where a sample brackets the ranks and one pass keeps the values inside the brackets.
TEST(Percentiles, EqualOneCallEachOnLongLists) {
    std::mt19937_64 rng(9);
    const double ps[] = {0, 0.5, 10, 25, 50, 50.00001, 99, 100, 33.3};
    const std::size_t np = std::size(ps);
    for (const auto &xs : {adversarial(rng, 700000), with_zeros(rng, 600000), filled(600000, 2.0, 300000, -1.0)}) {
        for (const char *name : {"PCTL", "PCTL1", "PCTL4"}) {
            qvh_call *call = make(name);
            std::vector<double> rs(np);
            std::vector<std::int32_t> sts(np);
            ASSERT_EQ(qvh_call_percentiles(call, ps, np, xs.data(), xs.size(), sizeof(double), rs.data(), sts.data(), nullptr), QVH_OK);
            for (std::size_t k = 0; k < np; ++k)
                EXPECT_EQ((Outcome{std::bit_cast<std::uint64_t>(rs[k]), sts[k]}), whole(call, &ps[k], 1, xs.data(), xs.size(), sizeof(double)))
                    << name << "(" << ps[k] << ") of " << xs.size();
            qvh_call_free(call);
        }
    }
}

// Positive values across 600 binades, one in twenty missing or a NaN: no zero at any rank.
std::vector<double> spread(std::mt19937_64 &rng, std::size_t n) {
    std::vector<double> xs = adversarial(rng, n);
    for (std::size_t i = 0; i < n; ++i)
        xs[i] = i % 20 == 0 ? (i % 40 == 0 ? std::nan("") : missing('.')) : std::ldexp(1.0 + static_cast<double>(rng() % 1000) / 1000.0, static_cast<int>(rng() % 600) - 300);
    return xs;
}

// -1 below, 1 above, and between them a thousand zeros of one sign and then a thousand of the
// other, where the middle ranks fall.
std::vector<double> zeros_between(std::size_t n, double first, double second) {
    std::vector<double> xs(n);
    const std::size_t half = n / 2;
    for (std::size_t i = 0; i < n; ++i)
        xs[i] = i < half - 1000 ? -1.0 : i < half ? first : i < half + 1000 ? second : 1.0;
    return xs;
}

// qvh_call_over of MEDIAN and of one percentile over a long list reads the ranks their plans read,
// as qvh_call_percentiles does; among the rows: both zeros at the middle (which a selection may
// leave there in either order), nothing present, a shade shorter than the bracketed lists.
TEST(Percentiles, LongListsOverTheirRanks) {
    std::mt19937_64 rng(11);
    const struct {
        const char *name;
        double p;
        std::vector<double> xs;
    } rows[] = {
        {"MEDIAN", 0, adversarial(rng, 700001)},
        {"MEDIAN", 0, adversarial(rng, 700000)},
        {"MEDIAN", 0, with_zeros(rng, 600000)},
        {"MEDIAN", 0, filled(600000, 2.0, 300000, -1.0)},
        {"MEDIAN", 0, filled(600000, missing('A'))},
        {"MEDIAN", 0, adversarial(rng, (1u << 19) - 1)},
        {"MEDIAN", 0, spread(rng, 700000)},
        {"MEDIAN", 0, spread(rng, 700001)},
        {"MEDIAN", 0, zeros_between(600003, 0.0, -0.0)},
        {"MEDIAN", 0, zeros_between(600003, -0.0, 0.0)},
        {"PCTL5", 50, zeros_between(600000, -0.0, 0.0)},
        {"PCTL", 25, spread(rng, 700000)},
        {"PCTL", 90, adversarial(rng, 700000)},
        {"PCTL1", 33.3, adversarial(rng, 700000)},
        {"PCTL4", 0.5, with_zeros(rng, 600000)},
        {"PCTL", std::nan(""), adversarial(rng, 600000)},
    };
    for (const auto &r : rows) {
        qvh_call *call = make(r.name);
        const std::size_t nlead = std::string_view(r.name) == "MEDIAN" ? 0 : 1;
        double got = 0;
        std::int32_t st = -1;
        ASSERT_EQ(qvh_call_over(call, &r.p, nlead, r.xs.data(), r.xs.size(), sizeof(double), &got, &st, nullptr), QVH_OK);
        EXPECT_EQ((Outcome{std::bit_cast<std::uint64_t>(got), st}), whole(call, &r.p, nlead, r.xs.data(), r.xs.size(), sizeof(double)))
            << r.name << "(" << r.p << ") of " << r.xs.size();
        qvh_call_free(call);
    }
}

TEST(Percentiles, RefuseOtherFunctionsAndStopWhenInterrupted) {
    qvh_call *median = make("MEDIAN");
    const double p = 50, x = 1;
    double r = 0;
    EXPECT_EQ(qvh_call_percentiles(median, &p, 1, &x, 1, sizeof(double), &r, nullptr, nullptr), QVH_E_KIND);
    qvh_call_free(median);

    qvh_call *pctl = make("PCTL");
    int checks = 0;
    qvh_call_set_interrupt(pctl, [](void *c) { return ++*static_cast<int *>(c) > 0 ? 1 : 0; }, &checks);
    std::vector<double> xs(1u << 20);
    for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = static_cast<double>((i * 7919) % xs.size());
    EXPECT_EQ(qvh_call_percentiles(pctl, &p, 1, xs.data(), xs.size(), sizeof(double), &r, nullptr, nullptr), QVH_E_INTERRUPTED);
    EXPECT_GE(checks, 1);
    qvh_call_free(pctl);
}

}  // namespace

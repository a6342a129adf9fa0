// The window engine against one call per window over the window's values: order statistics answered
// from a few ranks must give the very bits of the call over the whole window, over random and
// adversarial windows; interrupts stop a batch where they say.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <set>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host_package.hpp"
#include "ordered.hpp"
#include "sumwindows.hpp"
#include "qvhost.h"
#include "sanitized.hpp"

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
const double DOT = std::bit_cast<double>(0xFFFFFE0000000000ull);

double missing(char c) {
    double x = 0;
    qvh_missing(c, &x);
    return x;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Case {
    const char *fn;
    std::vector<double> lead;
    qvh_window frame;
    std::vector<size_t> starts;
};

// The rows whose bits are checked against a whole call: all of them in the plain build. A sanitized
// build looks for memory errors, which the engine's work on every row shows; there the whole
// calls over each checked row's window are most of the time, so it checks every 16th row.
constexpr size_t CHECKED_EVERY = qvt::SANITIZED ? 16 : 1;

// Runs qvh_moving and compares every checked row and the last with qvh_call_over over the row's
// window; returns the number of rows. step > 1 reads and writes every step-th double.
size_t compare(const Case &c, const std::vector<double> &xs, size_t step = 1) {
    qvh_call *engine = nullptr, *whole = nullptr;
    EXPECT_EQ(qvh_call_new(qvt::host_package(), c.fn, &engine), QVH_OK);
    EXPECT_EQ(qvh_call_new(qvt::host_package(), c.fn, &whole), QVH_OK);
    const size_t n = xs.size();
    std::vector<double> spaced(n * step), spaced_out(n * step), out(n);
    for (size_t i = 0; i < n; ++i) spaced[i * step] = xs[i];
    std::vector<int32_t> st(n, -1);  // a status the engine never writes
    qvh_tally tally{};
    const int rc = qvh_moving(engine, c.lead.data(), c.lead.size(), spaced.data(), n, ptrdiff_t(8 * step), &c.frame,
                              c.starts.data(), c.starts.size(), spaced_out.data(), ptrdiff_t(8 * step), st.data(), &tally);
    for (size_t i = 0; i < n; ++i) out[i] = spaced_out[i * step];
    EXPECT_EQ(rc, QVH_OK) << qvh_errmsg();
    EXPECT_EQ(tally.rows, n);
    size_t g = 0, e = 0, k = 0;
    for (size_t i = 0; i < n; ++i) {
        while (i >= e) {
            g = k < c.starts.size() ? c.starts[k] : 0;
            e = k + 1 < c.starts.size() ? c.starts[k + 1] : n;
            ++k;
        }
        if (i % CHECKED_EVERY != 0 && i + 1 != n) continue;
        const size_t w = c.frame.size;
        size_t lo = g, hi = i + 1;
        if (c.frame.kind == QVH_WINDOW_TRAILING) lo = i - g + 1 > w ? i + 1 - w : g;
        if (c.frame.kind == QVH_WINDOW_CENTRED || c.frame.kind == QVH_WINDOW_CENTRED_AFTER) {
            const size_t before = c.frame.kind == QVH_WINDOW_CENTRED ? w / 2 : (w - 1) / 2, after = w - 1 - before;
            lo = i - g > before ? i - before : g;
            hi = e - i - 1 > after ? i + after + 1 : e;
        }
        size_t present = 0;
        for (size_t j = lo; j < hi; ++j) present += qvh_is_missing(xs[j]) || xs[j] != xs[j] ? 0 : 1;
        double r = DOT;
        int32_t s = QVH_STATUS_MISSING_ARG;
        if (present >= c.frame.min_present) {
            EXPECT_EQ(qvh_call_over(whole, c.lead.data(), c.lead.size(), xs.data() + lo, hi - lo, 8, &r, &s, nullptr), QVH_OK);
        }
        if (bits(r) != bits(out[i]) || s != st[i]) {
            ADD_FAILURE() << c.fn << " lead " << (c.lead.empty() ? 0.0 : c.lead[0]) << " kind " << c.frame.kind << " size "
                          << w << " row " << i << " window [" << lo << ", " << hi << "): engine " << out[i] << " "
                          << qvh_status_name(st[i]) << ", whole call " << r << " " << qvh_status_name(s);
            break;
        }
    }
    qvh_call_free(engine);
    qvh_call_free(whole);
    return n;
}

const char *const ORDER[] = {"MEDIAN", "PCTL", "PCTL1", "PCTL2", "PCTL3", "PCTL4", "PCTL5", "IQR",
                             "ORDINAL", "SMALLEST", "LARGEST", "MIN", "MAX", "RANGE"};

// Values that make order statistics hard: ties, both zeros, infinities, every missing kind, a NaN
// that is no missing value, a missing value in an unusual bit pattern, the ends of the range.
double adversarial(std::mt19937_64 &rng, int mix) {
    const double specials[] = {0.0, -0.0, INF, -INF, 1.0, -1.0, 2.0, DOT, missing('_'), missing('A'), missing('Z'),
                               std::numeric_limits<double>::quiet_NaN(), std::bit_cast<double>(0xFFFFFE0000001234ull),
                               std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 5e-324};
    const unsigned r = rng() % 100;
    switch (mix) {
    case 0: return static_cast<double>(static_cast<int>(rng() % 2001) - 1000) / 8.0;  // ties
    case 1: return r < 30 ? specials[rng() % std::size(specials)] : std::ldexp(double(rng() % 1000), int(rng() % 8) - 4);
    case 2: return r < 50 ? missing("._ABCDEFGHIJKLMNOPQRSTUVWXYZ"[rng() % 28]) : double(rng() % 7) - 3;  // missing kinds
    case 3: return r < 20 ? (rng() % 2 ? 0.0 : -0.0) : double(rng() % 5);                                  // zeros
    default: return std::bit_cast<double>((rng() % 0x7FE0000000000000ull) | (rng() % 2) << 63);          // any double
    }
}

// Percentiles near positions that are integral, which the package's fuzz decides, and ranks at
// and past the window's edges.
double lead_for(const char *fn, std::mt19937_64 &rng, size_t w) {
    const std::string f = fn;
    if (f.rfind("PCTL", 0) == 0) {
        const double edge[] = {0.0, 100.0, 50.0, 25.0, 75.0, -1.0, 101.0, DOT, 100.0 / 3};
        if (rng() % 4 == 0) return edge[rng() % std::size(edge)];
        const double m = double(1 + rng() % (w + 1));
        double p = 100.0 * double(rng() % (size_t(m) + 1)) / m;
        for (int u = int(rng() % 7) - 3; u != 0; u += u > 0 ? -1 : 1) p = std::nextafter(p, u > 0 ? INF : -INF);
        return p;
    }
    const double odd[] = {0.0, 1.5, DOT, -1.0};
    return rng() % 8 == 0 ? odd[rng() % std::size(odd)] : double(1 + rng() % (w + 2));
}

TEST(HostWindow, OrderStatisticsGiveTheBitsOfTheWholeWindow) {
    std::mt19937_64 rng(20261206);
    size_t windows = 0;
    for (int round = 0; windows < 100000; ++round) {
        const char *fn = ORDER[round % std::size(ORDER)];
        const int mix = round / int(std::size(ORDER)) % 5;
        const size_t sizes[] = {1, 2, 3, 4, 5, 8, 101, 1001, size_t(1 + rng() % 40)};
        const size_t w = sizes[rng() % std::size(sizes)];
        const size_t n = w > 100 ? 1500 + rng() % 500 : 50 + rng() % 300;
        std::vector<double> xs(n);
        for (double &x : xs) x = adversarial(rng, mix);
        Case c{fn, {}, {int(1 + rng() % 3), w, size_t(rng() % 3)}, {}};
        if (qvh_function_find(fn)->leading_param) c.lead.push_back(lead_for(fn, rng, w));
        if (rng() % 2) {
            for (size_t s = 0; s < n; s += 1 + rng() % (2 * w + 20)) c.starts.push_back(s);
        }
        windows += compare(c, xs);
        if (HasFailure()) return;
    }
}

// The ordered set against a sorted multiset: in one sorted run (20, 100), in parts (300: a few;
// 1001: sixteen; FLAT: as many as there are), in the tree (FLAT + 1), through growth and shrinking
// that add, empty and fill parts, and through replacements. Zeros of both signs make equal values
// that differ in bits: each value taken out must be the one of its bits. A middle rank is read at
// every step, so its part stays in order while others do not; a stretch of rising values fills
// and empties parts often enough that every part is kept in order, and the next one ends that.
// The stretches repeat every 60,000 steps; a sanitized build, which looks for memory errors along
// the paths taken, runs that one period (growing and shrinking, with and without rising values).
TEST(HostWindow, OrderSetKeepsItsValuesInOrder) {
    const uint64_t steps = qvt::SANITIZED ? 60000 : 300000;
    for (const size_t most : {size_t{20}, size_t{100}, size_t{300}, size_t{1001}, qvhost::OrderSet::FLAT, qvhost::OrderSet::FLAT + 1}) {
        std::mt19937_64 rng(3);
        qvhost::OrderSet set{qvhost::Memory()};
        std::multiset<double> ref;
        size_t negative_zeros = 0;
        std::deque<std::pair<double, uint64_t>> fifo;
        ASSERT_TRUE(set.reserve(most));
        auto take = [&] {
            ref.erase(ref.find(fifo.front().first));
            negative_zeros -= bits(fifo.front().first) == bits(-0.0);
            fifo.pop_front();
        };
        for (uint64_t seq = 0; seq < steps; ++seq) {
            const bool grow = (seq / 10000) % 2 == 0 ? rng() % 4 != 0 : rng() % 4 == 0;
            double x = (seq / 10000) % 3 == 2 ? double(seq % 10000) / 8 - 625 + double(rng() % 16) : double(rng() % 5000) / 4 - 625;
            if (std::fabs(x) < 25) x = rng() % 2 == 0 ? -0.0 : 0.0;
            if (set.size() > 0) (void)set.kth((set.size() + 1) / 2);
            if (!fifo.empty() && rng() % 3 == 0) {
                set.replace(fifo.front().first, fifo.front().second, x, seq);
                take();
            } else if ((grow && ref.size() < most) || fifo.empty()) {
                set.insert(x, seq);
            } else {
                set.erase(fifo.front().first, fifo.front().second);
                take();
                continue;
            }
            ref.insert(x);
            negative_zeros += bits(x) == bits(-0.0);
            fifo.emplace_back(x, seq);
            ASSERT_EQ(set.size(), ref.size());
            if (seq % 997 == 0) {
                ASSERT_STREQ(set.check(), nullptr) << "step " << seq << ", room " << most;
                size_t k = 1, zeros = 0, near = seq % (qvhost::OrderSet::PARTS + 2);  // a hint out of date
                for (const double v : ref) {
                    ASSERT_EQ(bits(set.kth_near(k, near)), bits(set.kth(k))) << "step " << seq << ", room " << most;
                    ASSERT_EQ(set.kth(k), v) << "step " << seq << ", room " << most;
                    zeros += bits(set.kth(k++)) == bits(-0.0);
                }
                ASSERT_EQ(zeros, negative_zeros) << "step " << seq << ", room " << most;
            }
        }
    }
}

// The window's counts against what it holds: missing values by kind, those in unusual bits among
// them, zeros by sign (check() counts the zeros the set holds again); one row per window, values
// added, then some taken out again.
TEST(HostWindow, OrderedWindowCountsWhatItHolds) {
    const double odd_dot = std::bit_cast<double>(bits(DOT) + 1);  // '.' in unusual bits
    struct Row {
        std::vector<double> in, out;
        size_t present, missing;
        bool mixed, odd;
        double first_missing;
    };
    const Row rows[] = {
        {{1, missing('Z'), missing('_'), 2}, {}, 2, 2, false, false, missing('_')},
        {{1, missing('Z'), missing('_'), 2}, {missing('_')}, 2, 1, false, false, missing('Z')},
        {{0.0, -0.0, 3}, {}, 3, 0, true, false, 0},
        {{0.0, -0.0, 3, -0.0}, {-0.0, -0.0}, 2, 0, false, false, 0},
        {{odd_dot, missing('A'), 5}, {}, 1, 2, false, true, DOT},
        {{odd_dot, missing('A'), 5}, {odd_dot}, 1, 1, false, false, missing('A')},
    };
    for (size_t r = 0; r < std::size(rows); ++r) {
        const Row &row = rows[r];
        qvhost::OrderedWindow w{qvhost::Memory()};
        ASSERT_TRUE(w.reserve(row.in.size()));
        std::vector<bool> gone(row.in.size());
        for (size_t i = 0; i < row.in.size(); ++i) w.add(row.in[i], i);
        for (const double x : row.out)
            for (size_t i = 0; i < row.in.size(); ++i)
                if (!gone[i] && bits(row.in[i]) == bits(x)) {
                    w.remove(x, i);
                    gone[i] = true;
                    break;
                }
        const std::string name = "row " + std::to_string(r + 1);
        EXPECT_STREQ(w.check(), nullptr) << name;
        EXPECT_EQ(w.present(), row.present) << name;
        EXPECT_EQ(w.missing(), row.missing) << name;
        EXPECT_EQ(w.mixed_zeros(), row.mixed) << name;
        EXPECT_EQ(w.odd_missing(), row.odd) << name;
        if (row.missing > 0) {
            EXPECT_EQ(bits(w.kth_missing(1)), bits(row.first_missing)) << name;
        }
    }
}

// Long runs of wide windows, in the array's parts (1001, 2500) and in the tree (5000), and a growing
// frame that turns from the one run into parts and into the tree.
TEST(HostWindow, LongRunsOfWideWindows) {
    std::mt19937_64 rng(5);
    std::vector<double> xs(40000);
    for (double &x : xs) x = adversarial(rng, rng() % 2 == 0 ? 0 : 4);
    compare(Case{"MEDIAN", {}, {QVH_WINDOW_TRAILING, 1001, 0}, {}}, xs);
    xs.resize(15000);
    compare(Case{"PCTL", {30}, {QVH_WINDOW_TRAILING, 5000, 0}, {}}, xs);
    compare(Case{"IQR", {}, {QVH_WINDOW_CENTRED, 2500, 0}, {}}, xs);
    qvh_agg *agg = nullptr;
    qvh_call *whole = nullptr;
    ASSERT_EQ(qvh_agg_new(qvt::host_package(), "MEDIAN", 0, &agg), QVH_OK);
    ASSERT_EQ(qvh_call_new(qvt::host_package(), "MEDIAN", &whole), QVH_OK);
    for (size_t i = 0; i < 4300; ++i) {
        double got = 0, want = 0;
        ASSERT_EQ(qvh_agg_add(agg, xs[i]), QVH_OK);
        ASSERT_EQ(qvh_agg_result(agg, &got, nullptr), QVH_OK);
        if (i % CHECKED_EVERY != 0) continue;
        ASSERT_EQ(qvh_call_over(whole, nullptr, 0, xs.data(), i + 1, 8, &want, nullptr, nullptr), QVH_OK);
        ASSERT_EQ(bits(got), bits(want)) << "growing frame, row " << i;
    }
    qvh_agg_free(agg);
    qvh_call_free(whole);
}

// Series built to catch a short call that differs from the whole one: a rank among missing values
// of one kind in two bit patterns, zeros of both signs at the rank read, infinities meeting, and
// values at the ends of the double range that MIN and MAX read as none.
TEST(HostWindow, AdversarialSeries) {
    const double odd_dot = std::bit_cast<double>(0xFFFFFE0000001234ull), big = std::numeric_limits<double>::max();
    const struct Row {
        const char *fn;
        double lead;
        size_t size;
        std::vector<double> pattern;
    } rows[] = {
        {"ORDINAL", 1, 3, {odd_dot, DOT, 4, DOT, odd_dot, odd_dot, 1}},
        {"ORDINAL", 2, 4, {missing('B'), DOT, missing('_'), 3, missing('B'), 0.5}},
        {"MEDIAN", 0, 4, {0.0, -0.0, 1, -1, -0.0, 0.0, 0.0}},
        {"MIN", 0, 3, {0.0, 5, -0.0, 0.0, 7}},
        {"RANGE", 0, 2, {0.0, -0.0, -0.0, 3}},
        {"MEDIAN", 0, 2, {INF, -INF, INF, 1, -INF}},
        {"PCTL1", 50, 6, {-INF, INF, 2, INF, -INF, 0.0}},
        {"IQR", 0, 8, {INF, 1, 2, -INF, 3, INF, DOT, 4}},
        {"MIN", 0, 3, {big, DOT, big, -big}},
        {"MAX", 0, 3, {-big, DOT, -big, big}},
        {"SMALLEST", 3, 5, {DOT, 2, DOT, 1, 1, DOT, DOT, 0.0}},
        {"LARGEST", 2, 4, {1, -0.0, 0.0, DOT, 5}},
        {"PCTL2", 50, 4, {1, 2, 3, 4, 5, DOT, 6, 7}},
    };
    for (const Row &r : rows) {
        std::vector<double> xs;
        for (int k = 0; k < 40; ++k) xs.insert(xs.end(), r.pattern.begin() + k % r.pattern.size(), r.pattern.end());
        for (const int kind : {QVH_WINDOW_TRAILING, QVH_WINDOW_CENTRED, QVH_WINDOW_CENTRED_AFTER}) {
            Case c{r.fn, {}, {kind, r.size, 0}, {}};
            if (qvh_function_find(r.fn)->leading_param) c.lead.push_back(r.lead);
            compare(c, xs);
        }
    }
}

// An aggregate of an order statistic as an SQL window frame moves (values added, the first removed,
// a result each row) or grows, against the call over the frame's values.
TEST(HostWindow, AggregateFramesGiveTheBitsOfTheWholeFrame) {
    std::mt19937_64 rng(99);
    qvh_call *whole = nullptr;
    for (const char *fn : ORDER) {
        ASSERT_EQ(qvh_call_new(qvt::host_package(), fn, &whole), QVH_OK);
        for (const size_t w : {1, 2, 5, 64, 100000}) {
            for (const unsigned flags : {0u, QVH_AGG_KEEP_VALUES}) {
                qvh_agg *agg = nullptr;
                ASSERT_EQ(qvh_agg_new(qvt::host_package(), fn, flags, &agg), QVH_OK);
                const double lead = lead_for(fn, rng, w < 100 ? w : 100);
                if (qvh_agg_info(agg)->leading_param) qvh_agg_param(agg, lead);
                std::vector<double> xs;
                // Both zeros (mixes 1 and 3) come last, since a frame holding them is called whole;
                // a growing frame passes the size where its values go from an array to a tree (512).
                const int rows = 840;
                for (int i = 0; i < rows; ++i) {
                    xs.push_back(adversarial(rng, i >= rows - 240 ? 1 + 2 * (i / 120 % 2) : "024"[i / 120 % 3] - '0'));
                    ASSERT_EQ(qvh_agg_add(agg, xs.back()), QVH_OK);
                    const size_t lo = xs.size() > w ? xs.size() - w : 0;
                    if (xs.size() > w && qvh_agg_remove_first(agg) != QVH_OK) break;  // a folded state refuses
                    double got = 0, want = 0;
                    int32_t gs = 0, ws = 0;
                    const size_t nlead = qvh_agg_info(agg)->leading_param ? 1 : 0;
                    ASSERT_EQ(qvh_agg_result(agg, &got, &gs), QVH_OK);
                    if (size_t(i) % CHECKED_EVERY != 0) continue;
                    ASSERT_EQ(qvh_call_over(whole, &lead, nlead, xs.data() + lo, xs.size() - lo, 8, &want, &ws, nullptr), QVH_OK);
                    ASSERT_EQ(bits(got), bits(want)) << fn << " frame " << w << " row " << i << ": " << got << " vs " << want;
                    ASSERT_EQ(gs, ws) << fn << " frame " << w << " row " << i;
                }
                qvh_agg_free(agg);
            }
        }
        qvh_call_free(whole);
    }
}

size_t allocations = 0;
void *counting_alloc(void *, size_t n) {
    ++allocations;
    return std::malloc(n);
}
void counting_release(void *, void *p, size_t) { std::free(p); }

// Once a frame has moved, a result of every order statistic the catalogue names is read off the
// values in order: no argument list over the frame is made for it.
TEST(HostWindow, MovingFrameResultsMakeNoList) {
    const qvh_allocator counting{counting_alloc, nullptr, counting_release, nullptr};
    for (const char *fn : ORDER) {
        qvh_agg *agg = nullptr;
        ASSERT_EQ(qvh_agg_new_in(qvt::host_package(), fn, QVH_AGG_KEEP_VALUES, &counting, &agg), QVH_OK);
        qvh_agg_param(agg, 30);
        double r = 0;
        for (int i = 0; i < 3000; ++i) qvh_agg_add(agg, i % 17);
        qvh_agg_result(agg, &r, nullptr);
        qvh_agg_result(agg, &r, nullptr);
        qvh_agg_add(agg, 1);
        qvh_agg_remove_first(agg);
        allocations = 0;
        for (int i = 0; i < 100; ++i) EXPECT_EQ(qvh_agg_result(agg, &r, nullptr), QVH_OK);
        EXPECT_EQ(allocations, 0u) << fn;
        qvh_agg_free(agg);
    }
}

// Series for sums: adversarial() (mix 0-4), values across 600 binades, long runs of one value
// (the first value's sign and the all-equal shortcut) among missing values or none, huge values
// that cancel among small ones, and infinities of both signs among present values (NaN results).
double summed_value(std::mt19937_64 &rng, int mix, double &run) {
    if (mix < 5) return adversarial(rng, mix);
    if (mix == 5) return std::ldexp(double(int(rng() % 2001) - 1000), int(rng() % 600) - 300);
    const double runs[] = {1.5, -0.0, 0.0, -2.5};
    if (mix == 6) return rng() % 50 == 0 ? (run = runs[rng() % 4]) : rng() % 5 == 0 ? DOT : run;
    const double inexact[] = {0.1, -0.0, 1e308, -1.0 / 3};  // sums that round or overflow
    if (mix == 8) return rng() % 30 == 0 ? (run = inexact[rng() % 4]) : run;
    if (mix == 9) return rng() % 200 == 0 ? (rng() % 2 ? INF : -INF) : double(rng() % 9) - 4;
    if (mix == 10) return rng() % 100 == 0 ? DOT : std::ldexp(double(int(rng() % 2001) - 1000), int(rng() % 60) - 30);
    const double rounding[] = {0.1, 0.7, -1.0 / 3, 2.2, 1e308};  // means of equal values that round
    if (mix == 11) return rng() % 100 == 0 ? DOT : rng() % 8 != 0 ? (run = rounding[rng() % 5]) : run;
    if (mix == 12) {  // stretches of missing values, forty rows long on average, between stretches of numbers
        if (rng() % 40 == 0) run = -run;
        return run < 0 ? DOT : std::ldexp(double(int(rng() % 2001) - 1000), int(rng() % 60) - 30);
    }
    return rng() % 40 == 0 ? 1e300 * double(int(rng() % 3) - 1) : rng() % 3 == 0 ? missing('Q') : 0.1;
}
constexpr int SUMMED_MIXES = 10;  // mixes 10 to 12, only where a row asks for them

// Sums taken many windows at once (16, 32 or 64 a step: each kernel the machine has) against one
// call per window: window sizes around the lane counts, windows past the group, groups of one and
// two rows, and series where the first value's sign, the run of equal values or a cancellation
// decides.
TEST(HostWindow, SumsInLanesGiveTheBitsOfEachWindow) {
    const char *const SUMS[] = {"SUM", "MEAN", "USS", "CSS", "VAR", "STD", "STDERR", "CV"};
    const struct Row {
        int kind;
        size_t size, min_present, n, group;  // group: rows a group holds (0: one group)
        int mix = -1;  // each mix in turn, or one missing value in a hundred (10: among random values, 11: in
                       // runs), or stretches of them (12)
    } rows[] = {
        {QVH_WINDOW_TRAILING, 1, 0, 300, 0},     {QVH_WINDOW_TRAILING, 2, 1, 300, 0},
        {QVH_WINDOW_TRAILING, 11, 0, 700, 0},    {QVH_WINDOW_TRAILING, 33, 5, 700, 0},
        {QVH_WINDOW_TRAILING, 64, 0, 500, 97},   {QVH_WINDOW_TRAILING, 101, 2, 1200, 0},
        {QVH_WINDOW_TRAILING, 500, 0, 500, 0},   {QVH_WINDOW_TRAILING, 900, 0, 300, 0},
        {QVH_WINDOW_TRAILING, 7, 0, 400, 1},     {QVH_WINDOW_TRAILING, 7, 0, 400, 2},
        {QVH_WINDOW_CENTRED, 10, 0, 600, 0},     {QVH_WINDOW_CENTRED, 65, 3, 900, 211},
        {QVH_WINDOW_CENTRED, 1000, 0, 300, 0},   {QVH_WINDOW_CENTRED, 4, 0, 5000, 0},
        {QVH_WINDOW_CENTRED, 41, 0, 212, 0},  // a step of lanes from row 20 meets the shrinking windows
        {QVH_WINDOW_EXPANDING, 0, 0, 5000, 0},   {QVH_WINDOW_EXPANDING, 0, 2, 900, 300},
        {QVH_WINDOW_TRAILING, 1500, 0, 4000, 0},  // a second stretch of long windows: aligned copies
        // Full windows asked for, as pandas asks: a missing value empties every window over it.
        {QVH_WINDOW_TRAILING, 11, 11, 1500, 0, 10}, {QVH_WINDOW_TRAILING, 48, 48, 1500, 700, 10},
        {QVH_WINDOW_CENTRED, 101, 101, 1500, 0, 10},
        // A few missing values, most lane blocks holding one: each window its own count and first value.
        {QVH_WINDOW_TRAILING, 11, 1, 1500, 0, 10}, {QVH_WINDOW_TRAILING, 11, 0, 1500, 0, 11},
        {QVH_WINDOW_TRAILING, 3, 2, 1500, 0, 11},  {QVH_WINDOW_TRAILING, 101, 0, 1500, 0, 11},
        {QVH_WINDOW_CENTRED, 60, 1, 1500, 0, 10},  {QVH_WINDOW_TRAILING, 50, 0, 2000, 0, 12},
        {QVH_WINDOW_TRAILING, 9, 2, 1500, 0, 12},
        {QVH_WINDOW_TRAILING, 5, 20, 600, 0},  // more present values asked for than a window holds
    };
    std::mt19937_64 rng(36);
    size_t runs = 0;
    for (const int limit : {1, 2, 3}) {  // the last is the default
        qvhost::sum_windows_limit = limit;
        for (const Row &r : rows) {
            for (const char *fn : SUMS) {
                // Every mix for every function; one run in three reads and writes a strided column.
                const int mix = r.mix >= 0 ? r.mix : int((runs + runs / std::size(SUMS)) % SUMMED_MIXES);
                const size_t step = runs++ % 3 == 0 ? 2 : 1;
                std::vector<double> xs(r.n);
                double run = 1.5;
                for (double &x : xs) x = summed_value(rng, mix, run);
                Case c{fn, {}, {r.kind, r.size, r.min_present}, {}};
                for (size_t s = 0; r.group > 0 && s < r.n; s += r.group) c.starts.push_back(s);
                compare(c, xs, step);
                if (HasFailure()) return;
            }
        }
    }
}

// Functions called whole, and the unusual shapes of a call, row by row against the whole call.
TEST(HostWindow, WholeWindowCallsMatch) {
    std::mt19937_64 rng(7);
    std::vector<double> xs(3000);
    for (double &x : xs) x = adversarial(rng, 1);
    const Case cases[] = {
        {"SUM", {}, {QVH_WINDOW_TRAILING, 101, 0}, {}},
        {"MEAN", {}, {QVH_WINDOW_CENTRED, 10, 3}, {0, 7, 8, 2000}},
        {"VAR", {}, {QVH_WINDOW_EXPANDING, 0, 2}, {0, 1500}},
        {"N", {}, {QVH_WINDOW_TRAILING, 1, 0}, {}},
        {"MAD", {}, {QVH_WINDOW_TRAILING, 33, 1}, {}},
        {"MEDIAN", {}, {QVH_WINDOW_EXPANDING, 0, 0}, {}},                // grows past a layout's stretch
        {"SUM", {1.0, 2.0}, {QVH_WINDOW_TRAILING, 5, 0}, {}},             // lead values before each window
        {"PCTL", {90.0, 3.0}, {QVH_WINDOW_TRAILING, 7, 0}, {}},           // two leads: called whole
        {"ORDINAL", {1e10}, {QVH_WINDOW_CENTRED, 3, 0}, {}},              // an invalid rank marks it
    };
    for (const Case &c : cases) compare(c, xs);
}

TEST(HostWindow, RefusesBadShapes) {
    qvh_call *call = nullptr, *chars = nullptr;
    ASSERT_EQ(qvh_call_new(qvt::host_package(), "MEDIAN", &call), QVH_OK);
    ASSERT_EQ(qvh_call_new(qvt::host_package(), "LOG", &chars), QVH_OK);
    const double xs[4] = {1, 2, 3, 4};
    double out[4];
    const size_t bad_starts[] = {0, 2, 2}, late_start[] = {1}, past[] = {0, 4};
    const qvh_window ok{QVH_WINDOW_TRAILING, 2, 0}, empty{QVH_WINDOW_CENTRED, 0, 0}, odd{7, 2, 0};
    struct Row {
        qvh_call *call;
        const qvh_window *frame;
        const size_t *starts;
        size_t ngroups;
        int rc;
    } rows[] = {
        {nullptr, &ok, nullptr, 0, QVH_E_NULL},       {call, nullptr, nullptr, 0, QVH_E_NULL},
        {chars, &ok, nullptr, 0, QVH_E_KIND},         {call, &empty, nullptr, 0, QVH_E_RANGE},
        {call, &odd, nullptr, 0, QVH_E_RANGE},        {call, &ok, bad_starts, 3, QVH_E_RANGE},
        {call, &ok, late_start, 1, QVH_E_RANGE},      {call, &ok, past, 2, QVH_E_RANGE},
        {call, &ok, nullptr, 2, QVH_E_NULL},
    };
    for (const Row &r : rows)
        EXPECT_EQ(qvh_moving(r.call, nullptr, 0, xs, 4, 8, r.frame, r.starts, r.ngroups, out, 8, nullptr, nullptr), r.rc)
            << qvh_errmsg();
    qvh_call_free(call);
    qvh_call_free(chars);
}

// Every long piece of work consults its check about once per QVH_CHECK_EVERY values and stops when
// the check says so, keeping what it wrote before.
TEST(HostWindow, InterruptsStopLongWork) {
    const size_t n = 3u << 20;
    std::vector<double> xs(n, 1.0), out(n, -7.0);
    qvh_call *mean = nullptr, *log = nullptr;
    qvh_agg *agg = nullptr;
    ASSERT_EQ(qvh_call_new(qvt::host_package(), "MEAN", &mean), QVH_OK);
    ASSERT_EQ(qvh_call_new(qvt::host_package(), "LOG", &log), QVH_OK);
    ASSERT_EQ(qvh_agg_new(qvt::host_package(), "MEDIAN", 0, &agg), QVH_OK);
    int checks = 0;  // the first check lets the work go on, every later one stops it
    const qvh_interrupt_fn stop = [](void *c) { return ++*static_cast<int *>(c) > 1 ? 1 : 0; };
    qvh_call_set_interrupt(mean, stop, &checks);
    qvh_call_set_interrupt(log, stop, &checks);
    qvh_agg_set_interrupt(agg, stop, &checks);
    const qvh_window frame{QVH_WINDOW_TRAILING, 50, 0};
    qvh_tally t{};
    EXPECT_EQ(qvh_moving(mean, nullptr, 0, xs.data(), n, 8, &frame, nullptr, 0, out.data(), 8, nullptr, &t), QVH_E_INTERRUPTED);
    EXPECT_NE(std::string(qvh_errmsg()).find("interrupted"), std::string::npos) << qvh_errmsg();
    EXPECT_TRUE(t.rows > 0 && t.rows < n && out[t.rows - 1] == 1.0 && out[t.rows] == -7.0) << t.rows;
    const double *args[1] = {xs.data()};
    const ptrdiff_t strides[1] = {8};
    EXPECT_EQ(qvh_call_rows(log, n, 1, args, strides, out.data(), 8, nullptr, nullptr, &t), QVH_E_INTERRUPTED);
    EXPECT_LT(t.rows, n);
    double r = 0;
    EXPECT_EQ(qvh_call_over(mean, nullptr, 0, xs.data(), n, 8, &r, nullptr, nullptr), QVH_E_INTERRUPTED);
    EXPECT_EQ(qvh_agg_add_n(agg, xs.data(), n), QVH_E_INTERRUPTED);
    EXPECT_LT(qvh_agg_rows(agg), n);
    qvh_call_set_interrupt(mean, nullptr, nullptr);
    EXPECT_EQ(qvh_call_over(mean, nullptr, 0, xs.data(), n, 8, &r, nullptr, nullptr), QVH_OK);
    EXPECT_EQ(r, 1.0);
    EXPECT_STREQ(qvh_rc_name(QVH_E_INTERRUPTED), "QVH_E_INTERRUPTED");
    qvh_call_free(mean);
    qvh_call_free(log);
    qvh_agg_free(agg);
}

}  // namespace

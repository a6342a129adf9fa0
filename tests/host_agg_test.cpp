// Aggregates against one call over the same values: every statistic of the catalogue, fed in
// blocks across the fixed state's folding point, merged, slid as a window and saved and loaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "qvhost.h"
#include "host_package.hpp"
#include "sanitized.hpp"

namespace {

qvh_package *package() { return qvt::host_package(); }

struct Outcome {
    std::uint64_t bits;
    std::int32_t status;
    bool operator==(const Outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "0x%016llX (%.17g) %s", static_cast<unsigned long long>(o.bits),
                  std::bit_cast<double>(o.bits), qvh_status_name(o.status));
    return os << buf;
}

// One call of the function over the parameter (if any) and the values.
Outcome direct(const qvh_info &f, double param, const std::vector<double> &xs, std::size_t begin, std::size_t end) {
    qvh_call *call = nullptr;
    EXPECT_EQ(qvh_call_new(package(), f.name, &call), QVH_OK) << qvh_errmsg();
    if (f.leading_param) qvh_call_add_num(call, param);
    qvh_call_add_nums(call, xs.data() + begin, end - begin);
    EXPECT_EQ(qvh_call_invoke(call), QVH_OK) << qvh_errmsg();
    const Outcome o{std::bit_cast<std::uint64_t>(qvh_call_result(call)), qvh_call_status(call)};
    qvh_call_free(call);
    return o;
}

Outcome result(qvh_agg *agg) {
    double r = 0;
    std::int32_t st = -1;
    EXPECT_EQ(qvh_agg_result(agg, &r, &st), QVH_OK) << qvh_errmsg();
    return {std::bit_cast<std::uint64_t>(r), st};
}

qvh_agg *make(const qvh_info &f, unsigned flags, double param) {
    qvh_agg *agg = nullptr;
    EXPECT_EQ(qvh_agg_new(package(), f.name, flags, &agg), QVH_OK) << qvh_errmsg();
    if (f.leading_param) {
        EXPECT_EQ(qvh_agg_param(agg, param), QVH_OK);
    }
    return agg;
}

// Values with ties, both zeros, infinities, the ends of the double range, subnormals and
// missing values of several kinds; NaNs that are not missing values never reach an aggregate.
std::vector<double> sample(std::mt19937_64 &rng, std::size_t n) {
    const double special[] = {0.0, -0.0, 1.0, -1.0, 0.1, 3.0, std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), 1.7976931348623157e308,
                              -1.7976931348623157e308, 5e-324, 1e300};
    double dot = 0, a = 0, under = 0;
    qvh_missing('.', &dot);
    qvh_missing('A', &a);
    qvh_missing('_', &under);
    std::vector<double> xs;
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_real_distribution<double> u(-1000, 1000);
    for (std::size_t i = 0; i < n; ++i) {
        const int k = pick(rng);
        xs.push_back(k < 60 ? u(rng) : k < 75 ? std::floor(u(rng) / 100) : k < 85 ? (k % 3 == 0 ? dot : k % 3 == 1 ? a : under)
                                                                            : special[k % std::size(special)]);
    }
    return xs;
}

// Parameters a statistic may be given: ordinary, at the edges, invalid, missing.
double param_for(const qvh_info &f, std::mt19937_64 &rng, std::size_t n) {
    std::uniform_int_distribution<int> pick(0, 9);
    const int k = pick(rng);
    if (std::string(f.usage).find("(p,") != std::string::npos) return k == 0 ? 0 : k == 1 ? 100 : k == 2 ? 101 : 10.0 * k - 2.5;
    return k == 0 ? 0 : k == 1 ? static_cast<double>(n) : k == 2 ? static_cast<double>(n + 1) : 1 + static_cast<double>(rng() % (n + 1));
}

std::vector<const qvh_info *> statistics() {
    std::vector<const qvh_info *> out;
    for (std::size_t i = 0; i < qvh_function_count(); ++i)
        if (qvh_function_at(i)->aggregate != QVH_AGG_NONE) out.push_back(qvh_function_at(i));
    return out;
}

const std::size_t SIZES[] = {0, 1, 2, 3, 7, 300, 4095, 4096, 4097, 9000};

TEST(Aggregate, EveryStatisticEqualsOneCall) {
    std::mt19937_64 rng(7);
    for (const qvh_info *f : statistics()) {
        for (std::size_t n : SIZES) {
            for (unsigned flags : {0u, QVH_AGG_KEEP_VALUES}) {
                const std::vector<double> xs = sample(rng, n);
                const double p = param_for(*f, rng, n);
                qvh_agg *agg = make(*f, flags, p);
                // Fed in uneven blocks, the way a host hands rows over.
                for (std::size_t i = 0; i < n;) {
                    const std::size_t step = std::min<std::size_t>(n - i, 1 + rng() % 700);
                    ASSERT_EQ(qvh_agg_add_n(agg, xs.data() + i, step), QVH_OK);
                    i += step;
                }
                EXPECT_EQ(qvh_agg_rows(agg), n);
                EXPECT_EQ(result(agg), direct(*f, p, xs, 0, n)) << f->name << " n=" << n << " flags=" << flags;
                qvh_agg_free(agg);
            }
        }
    }
}

// Lists that reach the edge cases of the fixed states across a fold.
TEST(Aggregate, FixedStatesAtTheirEdges) {
    const double big = 1.7976931348623157e308, inf = std::numeric_limits<double>::infinity();
    double dot = 0;
    qvh_missing('.', &dot);
    const std::vector<std::vector<double>> lists = {
        std::vector<double>(5000, 0.1),                      // equal values: the mean is the value
        std::vector<double>(5000, big),                      // MIN of DBL_MAX reads as missing, RANGE is 0
        std::vector<double>(5000, -big),
        std::vector<double>(5000, dot),                      // nothing present
        [] { std::vector<double> v(5000, -0.0); v[4500] = 0.0; return v; }(),
        [&] { std::vector<double> v(5000, 1.0); v[10] = inf; v[4999] = -inf; return v; }(),
        [&] { std::vector<double> v(4097, big); v[4096] = -big; return v; }(),
    };
    for (const qvh_info *f : statistics()) {
        if (f->aggregate != QVH_AGG_FIXED) continue;
        for (const auto &xs : lists) {
            qvh_agg *agg = make(*f, 0, 0);
            ASSERT_EQ(qvh_agg_add_n(agg, xs.data(), xs.size()), QVH_OK);
            EXPECT_EQ(result(agg), direct(*f, 0, xs, 0, xs.size())) << f->name << " first " << xs[0];
            qvh_agg_free(agg);
        }
    }
}

TEST(Aggregate, MergedPartsEqualOneCallInOrder) {
    std::mt19937_64 rng(11);
    for (const qvh_info *f : statistics()) {
        const bool exact = std::string("N NMISS MIN MAX RANGE").find(f->name) != std::string::npos &&
                           f->aggregate == QVH_AGG_FIXED;
        for (std::size_t n : {0u, 5u, 6000u, 13000u}) {
            const std::vector<double> xs = sample(rng, n);
            const double p = param_for(*f, rng, n);
            const std::size_t cut = n / 3, cut2 = 2 * n / 3;
            // Partial states keep their values, or fold them where the fold is exact.
            const unsigned partial = exact ? 0u : QVH_AGG_KEEP_VALUES;
            qvh_agg *whole = make(*f, 0, p), *a = make(*f, partial, p), *b = make(*f, partial, p);
            qvh_agg_add_n(whole, xs.data(), cut);
            qvh_agg_add_n(a, xs.data() + cut, cut2 - cut);
            qvh_agg_add_n(b, xs.data() + cut2, n - cut2);
            ASSERT_EQ(qvh_agg_merge(whole, a), QVH_OK) << qvh_errmsg();
            ASSERT_EQ(qvh_agg_merge(whole, b), QVH_OK) << qvh_errmsg();
            EXPECT_EQ(result(whole), direct(*f, p, xs, 0, n)) << f->name << " n=" << n;
            qvh_agg_free(whole);
            qvh_agg_free(a);
            qvh_agg_free(b);
        }
    }
}

// A partial state with its parameter merges into an aggregate that has none yet (a combine that
// starts from an empty state), and gives the parameter on.
TEST(Aggregate, MergeIntoAFreshAggregateTakesTheParameter) {
    std::mt19937_64 rng(29);
    const std::vector<double> xs = sample(rng, 500);
    for (const qvh_info *f : statistics()) {
        if (!f->leading_param) continue;
        qvh_agg *fresh = nullptr, *part = make(*f, QVH_AGG_KEEP_VALUES, 3);
        ASSERT_EQ(qvh_agg_new(package(), f->name, 0, &fresh), QVH_OK);
        qvh_agg_add_n(part, xs.data(), xs.size());
        ASSERT_EQ(qvh_agg_merge(fresh, part), QVH_OK) << f->name << ": " << qvh_errmsg();
        EXPECT_EQ(result(fresh), direct(*f, 3, xs, 0, xs.size())) << f->name;
        EXPECT_EQ(qvh_agg_param(fresh, 4), QVH_E_STATE) << f->name;
        qvh_agg_free(fresh);
        qvh_agg_free(part);
    }
}

// An aggregate with its own allocator takes every byte it keeps from it, under 9 a value, and
// gives every byte back.
TEST(Aggregate, OwnAllocatorHoldsEverything) {
    struct Account {
        long long bytes = 0, peak = 0;
    } account;
    const qvh_allocator counting = {
        [](void *ctx, size_t n) {
            auto *a = static_cast<Account *>(ctx);
            a->peak = std::max(a->peak, a->bytes += static_cast<long long>(n));
            return std::malloc(n);
        },
        nullptr, [](void *ctx, void *p, size_t n) { static_cast<Account *>(ctx)->bytes -= static_cast<long long>(n); std::free(p); },
        &account};
    std::mt19937_64 rng(31);
    const std::vector<double> xs = sample(rng, 200000);
    qvh_agg *agg = nullptr;
    ASSERT_EQ(qvh_agg_new_in(package(), "MAD", 0, &counting, &agg), QVH_OK);
    qvh_agg_add_n(agg, xs.data(), xs.size());
    const long long kept = account.bytes;
    EXPECT_LT(kept, 8.8 * xs.size()) << kept;
    EXPECT_EQ(result(agg), direct(*qvh_function_find("MAD"), 0, xs, 0, xs.size()));
    EXPECT_GT(account.peak, kept + 16 * static_cast<long long>(xs.size()));  // the argument list came from it too
    qvh_agg_free(agg);
    EXPECT_EQ(account.bytes, 0);
}

// The values ascending by the total order of their bits: missing values (negative NaNs) first,
// in descending bit patterns, -0 before +0.
std::vector<double> canonical(std::vector<double> v) {
    auto key = [](double x) {
        const auto u = std::bit_cast<std::uint64_t>(x);
        return (u >> 63) != 0 ? ~u : u | (std::uint64_t{1} << 63);
    };
    std::stable_sort(v.begin(), v.end(), [&](double a, double b) { return key(a) < key(b); });
    return v;
}

// Sliding and running frames (width 400 never slides): the call over the frame's values in the
// order added, or with QVH_AGG_CANONICAL in the canonical order.
TEST(Aggregate, SlidingWindowEqualsCallOverTheFrame) {
    std::mt19937_64 rng(13);
    // Frames of one row, a few, many, and the whole run; a sanitized build (whose reference sorts
    // are unoptimised) takes the same paths over half the rows.
    const std::size_t rows = qvt::SANITIZED ? 200 : 400;
    const std::vector<double> xs = sample(rng, rows);
    for (const qvh_info *f : statistics()) {
        const double p = param_for(*f, rng, 5);
        for (const unsigned flags : {QVH_AGG_KEEP_VALUES, QVH_AGG_CANONICAL})
            for (std::size_t width : {std::size_t{1}, std::size_t{7}, std::size_t{60}, rows}) {
                qvh_agg *agg = make(*f, flags, p);
                for (std::size_t i = 0; i < xs.size(); ++i) {
                    qvh_agg_add(agg, xs[i]);
                    if (i >= width) {
                        ASSERT_EQ(qvh_agg_remove_first(agg), QVH_OK) << qvh_errmsg();
                    }
                    const std::size_t begin = i >= width ? i - width + 1 : 0;
                    std::vector<double> frame(xs.begin() + static_cast<std::ptrdiff_t>(begin), xs.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                    if (flags == QVH_AGG_CANONICAL) frame = canonical(frame);
                    ASSERT_EQ(result(agg), direct(*f, p, frame, 0, frame.size()))
                        << f->name << " flags " << flags << " width " << width << " row " << i;
                }
                qvh_agg_free(agg);
            }
    }
}

// A fixed state told late to keep its values slides once the folded ones are gone from the
// frame's start; before that it says it cannot.
TEST(Aggregate, FixedStateKeepsValuesFromWhenItIsTold) {
    std::mt19937_64 rng(19);
    const std::vector<double> xs = sample(rng, 5000);
    qvh_agg *sum = make(*qvh_function_find("SUM"), 0, 0), *kept = make(*qvh_function_find("SUM"), 0, 0);
    qvh_agg_add_n(sum, xs.data(), 4500);  // folded at 4096
    qvh_agg_add_n(kept, xs.data(), 100);
    EXPECT_EQ(qvh_agg_canonical_order(sum), QVH_E_STATE);  // the folded values have no order left
    ASSERT_EQ(qvh_agg_keep_values(sum), QVH_OK);
    ASSERT_EQ(qvh_agg_keep_values(kept), QVH_OK);
    qvh_agg_add_n(sum, xs.data() + 4500, 500);
    qvh_agg_add_n(kept, xs.data() + 100, 4900);
    EXPECT_EQ(qvh_agg_remove_first(sum), QVH_E_STATE);
    EXPECT_EQ(result(sum), direct(*qvh_function_find("SUM"), 0, xs, 0, 5000));
    ASSERT_EQ(qvh_agg_remove_first(kept), QVH_OK);
    EXPECT_EQ(result(kept), direct(*qvh_function_find("SUM"), 0, xs, 1, 5000));
    qvh_agg_free(sum);
    qvh_agg_free(kept);
}

// Results asked for row after row, as a window asks, across the fold point and with rows leaving;
// then reset, loaded over and merged into after a result: each equals one call over the values.
TEST(Aggregate, ResultsRowAfterRowEqualOneCall) {
    std::mt19937_64 rng(23);
    const std::vector<double> xs = sample(rng, 9000);
    for (const qvh_info *f : statistics()) {
        if (f->aggregate != QVH_AGG_FIXED) continue;
        for (unsigned flags : {0u, QVH_AGG_KEEP_VALUES}) {
            qvh_agg *agg = make(*f, flags, 0);
            std::size_t first = 0;
            for (std::size_t i = 0; i < xs.size(); ++i) {
                qvh_agg_add(agg, xs[i]);
                if (flags != 0 && i >= 6000) {
                    ASSERT_EQ(qvh_agg_remove_first(agg), QVH_OK);
                    ++first;
                }
                if (i < 40 || (i > 4080 && i < 4110) || i % 251 == 0 || i > 8990) {
                    ASSERT_EQ(result(agg), direct(*f, 0, xs, first, i + 1)) << f->name << " flags " << flags << " row " << i;
                }
            }
            qvh_agg *other = make(*f, QVH_AGG_KEEP_VALUES, 0);
            qvh_agg_add_n(other, xs.data() + 10, 30);
            std::vector<unsigned char> bytes(qvh_agg_save(other, nullptr, 0));
            qvh_agg_save(other, bytes.data(), bytes.size());
            qvh_agg_reset(agg);
            qvh_agg_add_n(agg, xs.data(), 10);
            EXPECT_EQ(result(agg), direct(*f, 0, xs, 0, 10)) << f->name << " reset";
            ASSERT_EQ(qvh_agg_merge(agg, other), QVH_OK) << qvh_errmsg();
            EXPECT_EQ(result(agg), direct(*f, 0, xs, 0, 40)) << f->name << " merged";
            ASSERT_EQ(qvh_agg_load(agg, bytes.data(), bytes.size()), QVH_OK);
            EXPECT_EQ(result(agg), direct(*f, 0, xs, 10, 40)) << f->name << " loaded";
            qvh_agg_free(other);
            qvh_agg_free(agg);
        }
    }
}

TEST(Aggregate, SavedStateGoesOnWhereItStopped) {
    std::mt19937_64 rng(17);
    for (const qvh_info *f : statistics()) {
        const std::vector<double> xs = sample(rng, 9000);
        const double p = param_for(*f, rng, xs.size());
        qvh_agg *a = make(*f, 0, p), *b = make(*f, 0, 0);
        qvh_agg_add_n(a, xs.data(), 5000);
        std::vector<unsigned char> bytes(qvh_agg_save(a, nullptr, 0));
        ASSERT_EQ(qvh_agg_save(a, bytes.data(), bytes.size()), bytes.size());
        ASSERT_EQ(qvh_agg_load(b, bytes.data(), bytes.size()), QVH_OK) << qvh_errmsg();
        // Every field lands where it was read from: saved again, the bytes are the same.
        std::vector<unsigned char> again(bytes.size());
        qvh_agg_save(b, again.data(), again.size());
        EXPECT_EQ(again, bytes) << f->name;
        qvh_agg_add_n(b, xs.data() + 5000, 4000);
        EXPECT_EQ(result(b), direct(*f, p, xs, 0, xs.size())) << f->name;
        // A cut state is refused, not half loaded.
        EXPECT_EQ(qvh_agg_load(b, bytes.data(), bytes.size() - 3), QVH_E_RANGE) << f->name;
        EXPECT_EQ(qvh_agg_rows(b), 9000u);
        qvh_agg_free(a);
        qvh_agg_free(b);
    }
}

}  // namespace

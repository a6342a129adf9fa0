// The package and the host library under threads: every function called from 8 threads at once
// on one package, and from 8 packages opened and used in 8 threads; every thread's results
// (value bits, status, marks, character result, aggregate result) must be those of a run in one
// thread. Built with -DQV_TSAN=ON, the same test lets ThreadSanitizer look for data races.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "qvhost.h"

namespace {

constexpr int THREADS = 8;
constexpr int PASSES = 20;  // each thread goes through the work this many times

struct Case {
    const qvh_info *info;
    std::vector<double> nums;       // the arguments of a numeric function
    std::vector<std::string> texts; // the arguments of a character function
    bool aggregate = false;         // through qvh_agg, with nums[0] as the parameter where one is taken
};

struct Outcome {
    int rc = 0;
    std::uint64_t value = 0;
    std::int32_t status = 0;
    std::string text;
    std::vector<int> marked;
    bool operator==(const Outcome &) const = default;
};

double missing(char c) {
    double x = 0;
    qvh_missing(c, &x);
    return x;
}

// Values that reach every branch a list can take: missing values, signed zeros, infinities,
// integers, fractions and ties, ranks and percentages in and out of range.
std::vector<double> values(std::size_t n, unsigned seed) {
    const double pool[] = {3.0, -0.0, 0.0, 2.5, -7.25, 1e300, -1e-300, 100.0, 50.0, 1.0, 0.5,
                           1.0 / 0.0, -1.0 / 0.0, missing('.'), missing('A'), missing('_'), 12.0, 4.0};
    std::vector<double> out;
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        out.push_back(pool[(seed >> 8) % std::size(pool)]);
    }
    return out;
}

std::vector<Case> work() {
    std::vector<Case> cases;
    const std::size_t sizes[] = {1, 2, 3, 5, 40, 300};
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        {
            for (unsigned s = 0; s < std::size(sizes); ++s) {
                const std::size_t n = sizes[s];
                if (n < static_cast<std::size_t>(f->min_args) || (f->max_args >= 0 && n > static_cast<std::size_t>(f->max_args)))
                    continue;
                Case c{f, values(n, static_cast<unsigned>(i * 31 + s)), {}, false};
                if (f->first_kind == QVH_KIND_CHR || f->form == QVH_FORM_CHAR_LIST) {
                    c.nums.clear();
                    for (std::size_t k = 0; k < n; ++k) c.texts.push_back(k % 3 == 0 ? "  " : std::string(k % 4, 'a' + k % 2));
                }
                cases.push_back(c);
                if (f->aggregate != QVH_AGG_NONE && n >= 2) {
                    c.aggregate = true;
                    cases.push_back(c);
                }
            }
        }
    }
    return cases;
}

Outcome run(qvh_package *pkg, const Case &c) {
    Outcome o;
    if (c.aggregate) {
        qvh_agg *agg = nullptr;
        if ((o.rc = qvh_agg_new(pkg, c.info->name, 0, &agg)) != QVH_OK) return o;
        std::size_t first = 0;
        if (c.info->leading_param) qvh_agg_param(agg, c.nums[first++]);
        qvh_agg_add_n(agg, c.nums.data() + first, c.nums.size() - first);
        double r = 0;
        o.rc = qvh_agg_result(agg, &r, &o.status);
        o.value = std::bit_cast<std::uint64_t>(r);
        qvh_agg_free(agg);
        return o;
    }
    qvh_call *call = nullptr;
    if ((o.rc = qvh_call_new(pkg, c.info->name, &call)) != QVH_OK) return o;
    qvh_call_add_nums(call, c.nums.data(), c.nums.size());
    for (const std::string &t : c.texts) qvh_call_add_str(call, t.data(), t.size());
    o.rc = qvh_call_invoke(call);
    o.value = std::bit_cast<std::uint64_t>(qvh_call_result(call));
    o.status = qvh_call_status(call);
    std::size_t len = 0;
    if (const char *s = qvh_call_result_str(call, &len)) o.text.assign(s, len);
    for (std::size_t k = 0; k < qvh_call_count(call); ++k)
        if (qvh_call_marked(call, k)) o.marked.push_back(static_cast<int>(k));
    qvh_call_free(call);
    return o;
}

// What one thread saw: the outcome of case k on pass p at results[p * cases + k].
struct Seen {
    std::vector<Outcome> results;
    std::string error;  // a package that did not open
};

// Each thread starts at its own place in the work, so that different functions overlap.
void go(qvh_package *shared, const std::vector<Case> &cases, int t, Seen &seen, std::latch &ready) {
    ready.arrive_and_wait();  // every thread starts at once
    qvh_package *pkg = shared;
    if (pkg == nullptr && qvh_open(nullptr, &pkg) != QVH_OK) {
        seen.error = qvh_errmsg();
        return;
    }
    seen.results.resize(PASSES * cases.size());
    const std::size_t start = t * cases.size() / THREADS;
    for (int p = 0; p < PASSES; ++p)
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const std::size_t k = (start + i) % cases.size();
            seen.results[p * cases.size() + k] = run(pkg, cases[k]);
        }
    if (shared == nullptr) qvh_close(pkg);
}

class Threads : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cases_ = new std::vector<Case>(work());
        reference_ = new std::vector<Outcome>;
        qvh_package *pkg = nullptr;
        ASSERT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
        for (const Case &c : *cases_) reference_->push_back(run(pkg, c));
        qvh_close(pkg);
    }
    static void TearDownTestSuite() {
        delete cases_;
        delete reference_;
    }

    // Runs the work in THREADS threads on shared (or, when null, on a package per thread) and
    // compares every outcome with the one-thread run.
    static void check(qvh_package *shared) {
        std::vector<Seen> seen(THREADS);
        std::vector<std::thread> threads;
        std::latch ready(THREADS);
        for (int t = 0; t < THREADS; ++t)
            threads.emplace_back(go, shared, std::cref(*cases_), t, std::ref(seen[t]), std::ref(ready));
        for (std::thread &th : threads) th.join();
        std::size_t calls = 0;
        for (int t = 0; t < THREADS; ++t) {
            ASSERT_EQ(seen[t].error, "") << "thread " << t;
            for (std::size_t r = 0; r < seen[t].results.size(); ++r) {
                const std::size_t k = r % cases_->size();
                EXPECT_EQ(seen[t].results[r], (*reference_)[k])
                    << "thread " << t << ", " << (*cases_)[k].info->name << " over " << (*cases_)[k].nums.size() +
                           (*cases_)[k].texts.size() << " arguments" << ((*cases_)[k].aggregate ? " (aggregate)" : "");
            }
            calls += seen[t].results.size();
        }
        std::printf("%d threads, %zu calls and aggregates in all, each compared with the one-thread run\n", THREADS, calls);
    }

    static std::vector<Case> *cases_;
    static std::vector<Outcome> *reference_;
};

std::vector<Case> *Threads::cases_ = nullptr;
std::vector<Outcome> *Threads::reference_ = nullptr;

TEST_F(Threads, OnePackageManyThreads) {
    qvh_package *pkg = nullptr;
    ASSERT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
    check(pkg);
    qvh_close(pkg);
}

TEST_F(Threads, OnePackagePerThread) { check(nullptr); }

TEST_F(Threads, WorkReachesEveryFunction) {
    // A function the work left out would be called by no thread.
    qvh_package *pkg = nullptr;
    ASSERT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        if (!qvh_package_has(pkg, f)) continue;  // no entry point: nothing to call
        bool reached = false;
        for (std::size_t k = 0; k < cases_->size(); ++k)
            reached = reached || ((*cases_)[k].info == f && (*reference_)[k].rc == QVH_OK);
        EXPECT_TRUE(reached) << f->name;
    }
    qvh_close(pkg);
}

}  // namespace

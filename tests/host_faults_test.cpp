// Refused memory in every entry of the host library: the program's operator new and the
// allocator the package hands out both refuse the Nth request, for every N the entry reaches.
// Each time the entry returns QVH_E_NOMEM (or, where the package itself was refused scratch
// memory, a memory status), leaves a message, lets no exception out, leaks nothing (the
// sanitized build checks leaks), and the objects it worked on give the right answer afterwards.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "memory.hpp"
#include "qvhost.h"

namespace {

// Requests left before one is refused; negative: none is.
long budget = -1;
bool refused = false;

bool grant() {
    if (budget < 0) return true;
    if (budget == 0) {
        refused = true;
        return false;
    }
    --budget;
    return true;
}

void *counted(std::size_t n) { return grant() ? std::malloc(n == 0 ? 1 : n) : nullptr; }

void *hook_alloc(void *, size_t n) { return counted(n); }
void hook_release(void *, void *p, size_t) { std::free(p); }
const qvh_allocator HOOK = {hook_alloc, nullptr, hook_release, nullptr};

}  // namespace

// This program's operator new takes its memory from malloc, so its delete gives it back with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(std::size_t n) {
    if (void *p = counted(n)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return counted(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return counted(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The objects an entry works on, made afresh for every attempt with nothing refused.
struct World {
    qvh_package *pkg = nullptr;
    qvh_call *median = nullptr, *coalescec = nullptr, *log = nullptr, *mean = nullptr;
    qvh_agg *pctl = nullptr, *sum = nullptr, *sum2 = nullptr, *range = nullptr, *range2 = nullptr, *kept = nullptr;
    std::vector<double> xs;
    std::vector<unsigned char> saved;
    World() {
        EXPECT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
        qvh_set_allocator(pkg, &HOOK);
        for (int i = 0; i < 9000; ++i) xs.push_back((i * 7919) % 1000 - 400.5);
        qvh_call_new(pkg, "MEDIAN", &median);
        qvh_call_add_nums(median, xs.data(), 3000);  // big enough for scratch memory
        qvh_call_new(pkg, "COALESCEC", &coalescec);
        qvh_call_add_str(coalescec, "  ", 2);
        qvh_call_add_str(coalescec, "caf\xC3\xA9", 5);
        qvh_call_new(pkg, "LOG", &log);
        qvh_call_new(pkg, "MEAN", &mean);
        qvh_call_add_num(log, 1);
        qvh_agg_new(pkg, "PCTL", 0, &pctl);
        qvh_agg_param(pctl, 90);
        qvh_agg_add_n(pctl, xs.data(), 3000);
        qvh_agg_new(pkg, "SUM", 0, &sum);
        qvh_agg_add_n(sum, xs.data(), 100);
        qvh_agg_new(pkg, "RANGE", 0, &range);
        qvh_agg_add_n(range, xs.data(), 5000);  // folded
        qvh_agg_new(pkg, "RANGE", 0, &range2);
        qvh_agg_add_n(range2, xs.data() + 4000, 5000);  // folded
        qvh_agg_new(pkg, "SUM", 0, &sum2);
        qvh_agg_add_n(sum2, xs.data() + 100, 4000);
        qvh_agg_new(pkg, "PCTL", QVH_AGG_KEEP_VALUES, &kept);
        qvh_agg_param(kept, 90);
        qvh_agg_add_n(kept, xs.data() + 3000, 2000);
        saved.resize(qvh_agg_save(range, nullptr, 0));
        qvh_agg_save(range, saved.data(), saved.size());
    }
    ~World() {
        for (qvh_call *c : {median, coalescec, log, mean}) qvh_call_free(c);
        for (qvh_agg *a : {pctl, sum, sum2, range, range2, kept}) qvh_agg_free(a);
        qvh_close(pkg);
    }
};

// An entry: what it does, and the answer it gives with nothing refused, read off the world.
struct Entry {
    const char *name;
    std::function<int(World &)> act;
    std::function<std::string(World &)> answer;
};

std::string agg_answer(qvh_agg *agg) {
    double r = 0;
    std::int32_t st = 0;
    const int rc = qvh_agg_result(agg, &r, &st);
    return std::to_string(rc) + " " + std::to_string(bits(r)) + " " + std::to_string(st) + " " +
           std::to_string(qvh_agg_rows(agg));
}

int add_rest(qvh_agg *agg, const std::vector<double> &xs) {
    const std::uint64_t done = qvh_agg_rows(agg);
    return qvh_agg_add_n(agg, xs.data() + done, xs.size() - done);
}

// A moving statistic of the first 2000 values, summed up by the bits of its results.
int moving(qvh_call *call, size_t size, std::string *answer) {
    static double out[2000];
    static std::int32_t st[2000];
    const qvh_window frame{QVH_WINDOW_TRAILING, size, 1};
    static std::vector<double> xs;
    for (int i = static_cast<int>(xs.size()); i < 2000; ++i) xs.push_back((i * 7919) % 1000 - 400.5);
    const int rc = qvh_moving(call, nullptr, 0, xs.data(), 2000, 8, &frame, nullptr, 0, out, 8, st, nullptr);
    std::uint64_t h = 0;
    for (int i = 0; i < 2000; ++i) h = h * 31 + bits(out[i]) + static_cast<std::uint32_t>(st[i]);
    if (answer != nullptr) *answer = std::to_string(rc) + " " + std::to_string(h);
    return rc;
}

std::string moving_answer(qvh_call *call, size_t size) {
    std::string s;
    moving(call, size, &s);
    return s;
}

std::string call_answer(qvh_call *call) {
    const int rc = qvh_call_invoke(call);
    size_t len = 0;
    const char *s = qvh_call_result_str(call, &len);
    return std::to_string(rc) + " " + std::to_string(bits(qvh_call_result(call))) + " " +
           std::to_string(qvh_call_status(call)) + " " + std::string(s == nullptr ? "" : s, len);
}

TEST(HostFaults, EveryEntrySurvivesRefusedMemory) {
    static double out[64];
    static const double *cols[2];
    static const ptrdiff_t strides[2] = {8, 0};
    const std::string wide(300, 'w');
    const Entry entries[] = {
        {"qvh_open", [](World &) { qvh_package *p = nullptr; const int rc = qvh_open(nullptr, &p); qvh_close(p); return rc; },
         [](World &) { return std::string(); }},
        {"qvh_call_new", [](World &w) { qvh_call *c = nullptr; const int rc = qvh_call_new(w.pkg, "PCTL", &c); qvh_call_free(c); return rc; },
         [](World &) { return std::string(); }},
        {"qvh_call_add_nums", [](World &w) { return qvh_call_add_nums(w.median, w.xs.data() + 3000, 3000); },
         [](World &w) { return call_answer(w.median); }},
        {"qvh_call_add_str", [&](World &w) { return qvh_call_add_str(w.coalescec, wide.data(), wide.size()); },
         [](World &w) { return call_answer(w.coalescec); }},
        {"qvh_call_set_str", [&](World &w) { return qvh_call_set_str(w.log, 0, "x", 1); },
         [](World &w) { return std::to_string(qvh_call_count(w.log)); }},
        {"qvh_call_invoke", [](World &w) { return qvh_call_invoke(w.median); }, [](World &w) { return call_answer(w.median); }},
        {"qvh_call_invoke (characters)", [](World &w) { return qvh_call_invoke(w.coalescec); },
         [](World &w) { return call_answer(w.coalescec); }},
        {"qvh_call_rows", [](World &w) {
             cols[0] = w.xs.data();
             cols[1] = w.xs.data();
             return qvh_call_rows(w.log, 64, 1, cols, strides, out, 8, nullptr, nullptr, nullptr); },
         [](World &w) { return call_answer(w.log); }},
        {"qvh_call_over", [](World &w) { double r; return qvh_call_over(w.median, nullptr, 0, w.xs.data(), 3000, 8, &r, nullptr, nullptr); },
         [](World &w) { return call_answer(w.median); }},
        {"qvh_moving (ordered)", [](World &w) { return moving(w.median, 101, nullptr); },
         [](World &w) { return moving_answer(w.median, 101); }},
        {"qvh_moving (whole windows)", [](World &w) { return moving(w.mean, 101, nullptr); },
         [](World &w) { return moving_answer(w.mean, 101); }},
        {"qvh_eval", [](World &w) { double r; return qvh_eval(w.pkg, "IQR", w.xs.data(), 3000, &r, nullptr); },
         [](World &) { return std::string(); }},
        {"qvh_agg_new", [](World &w) { qvh_agg *a = nullptr; const int rc = qvh_agg_new(w.pkg, "MAD", 0, &a); qvh_agg_free(a); return rc; },
         [](World &) { return std::string(); }},
        // Values added before a refusal stay added: a second try adds the rest.
        {"qvh_agg_add_n (values)", [](World &w) { return add_rest(w.pctl, w.xs); }, [](World &w) { return agg_answer(w.pctl); }},
        {"qvh_agg_add_n (fold)", [](World &w) { return add_rest(w.sum, w.xs); }, [](World &w) { return agg_answer(w.sum); }},
        {"qvh_agg_result", [](World &w) { double r; return qvh_agg_result(w.pctl, &r, nullptr); },
         [](World &w) { return agg_answer(w.pctl); }},
        {"qvh_agg_merge", [](World &w) { return qvh_agg_merge(w.pctl, w.kept); }, [](World &w) { return agg_answer(w.pctl); }},
        // A fixed state folds the values it is given after its own: all of them, or none.
        {"qvh_agg_merge (into a fold)", [](World &w) { return qvh_agg_merge(w.sum, w.sum2); },
         [](World &w) { return agg_answer(w.sum); }},
        {"qvh_agg_merge (folded)", [](World &w) { return qvh_agg_merge(w.range, w.range2); },
         [](World &w) { return agg_answer(w.range); }},
        {"qvh_agg_load", [](World &w) { return qvh_agg_load(w.range2, w.saved.data(), w.saved.size()); },
         [](World &w) { return agg_answer(w.range2); }},
        {"qvh_agg_remove_first", [](World &w) { return qvh_agg_remove_first(w.kept); }, [](World &w) { return agg_answer(w.kept); }},
    };
    for (const Entry &e : entries) {
        World reference;
        const int normal = e.act(reference);
        ASSERT_TRUE(normal == QVH_OK || normal == QVH_E_STATE) << e.name << ": " << qvh_errmsg();
        const std::string expected = e.answer(reference);
        for (long n = 0;; ++n) {
            World w;
            refused = false;
            budget = n;
            const int rc = e.act(w);
            budget = -1;
            if (!refused) {
                EXPECT_EQ(rc, normal) << e.name << " with nothing refused";
                break;
            }
            EXPECT_TRUE(rc == QVH_E_NOMEM || rc == normal) << e.name << " refused at request " << n << ": " << rc;
            if (rc == QVH_E_NOMEM) {
                EXPECT_NE(std::string(qvh_errmsg()).find("memory"), std::string::npos) << e.name << ": " << qvh_errmsg();
                // Nothing half done: doing it again with memory gives the answer of one clean run.
                ASSERT_EQ(e.act(w), normal) << e.name << " again after request " << n << ": " << qvh_errmsg();
                EXPECT_EQ(e.answer(w), expected) << e.name << " after request " << n << " was refused";
            }
        }
    }
}

// The package refused scratch memory inside a call, a batch and an aggregate result: a memory
// status, never a value.
TEST(HostFaults, RefusedScratchIsAMemoryStatus) {
    World w;
    double r = 0;
    std::int32_t st = 0;
    budget = 0;
    EXPECT_EQ(qvh_call_invoke(w.median), QVH_OK);
    EXPECT_EQ(qvh_agg_result(w.pctl, &r, &st), QVH_E_NOMEM);  // the argument list itself is refused
    budget = -1;
    char said[128];
    qvh_nomem_message("PCTL", 0, 0, qvh_agg_asked(w.pctl), said, sizeof said);
    EXPECT_STREQ(qvh_errmsg(), said);
    EXPECT_GE(qvh_agg_asked(w.pctl), 3001 * sizeof(double));  // a slot for each value and the parameter
    EXPECT_TRUE(qvh_status_is_memory(qvh_call_status(w.median))) << qvh_status_name(qvh_call_status(w.median));
    EXPECT_EQ(bits(qvh_call_result(w.median)), bits(qvh_dot()));
    // Rows of 3000 arguments: the second row's scratch memory is refused.
    const double one = 1.0;
    std::vector<const double *> args(3000, &one);
    std::vector<ptrdiff_t> steps(3000, 0);
    qvh_call *wide = nullptr;
    ASSERT_EQ(qvh_call_new(w.pkg, "MEDIAN", &wide), QVH_OK);
    ASSERT_EQ(qvh_call_rows(wide, 1, args.size(), args.data(), steps.data(), &r, 0, &st, nullptr, nullptr), QVH_OK);
    qvh_call_trim(wide);  // else the first row's scratch block serves the second
    budget = 0;
    const int rc = qvh_call_rows(wide, 2, args.size(), args.data(), steps.data(), &r, 0, &st, nullptr, nullptr);
    budget = -1;
    EXPECT_EQ(rc, QVH_E_NOMEM);
    // The message names the row and the scratch memory the package asked for: 3000 values at least.
    char expected[128];
    qvh_nomem_message("MEDIAN", 1, 2, qvh_call_asked(wide), expected, sizeof expected);
    EXPECT_STREQ(qvh_errmsg(), expected);
    EXPECT_GE(qvh_call_asked(wide), 3000 * sizeof(double));
    qvh_call_free(wide);
}

// A block grown or shrunk through each kind of allocator keeps its contents, and every block goes
// back to the allocator with the size it was taken with: an engine's heap (a SQLite heap, a
// caller's counting allocator) books blocks by that size.
TEST(HostFaults, ResizeGivesEachBlockBackWithItsOwnSize) {
    struct Ledger {
        std::map<void *, std::size_t> blocks;  // what the allocator handed out, by its size
        int wrong_sizes = 0;
        static void *alloc(void *ctx, size_t n) {
            void *p = std::malloc(n);
            static_cast<Ledger *>(ctx)->blocks[p] = n;
            return p;
        }
        static void *resize(void *ctx, void *p, size_t old_n, size_t n) {
            auto &l = *static_cast<Ledger *>(ctx);
            l.wrong_sizes += l.blocks.at(p) != old_n;
            l.blocks.erase(p);
            void *q = std::realloc(p, n);
            l.blocks[q] = n;
            return q;
        }
        static void release(void *ctx, void *p, size_t n) {
            auto &l = *static_cast<Ledger *>(ctx);
            l.wrong_sizes += l.blocks.at(p) != n;
            l.blocks.erase(p);
            std::free(p);
        }
    };
    const struct {
        const char *allocator;
        bool resize_hook;
        std::size_t sizes[3];  // taken with the first, resized to the second, then to the third
    } cases[] = {
        {"no resize hook, grown", false, {64, 4096, 65536}},
        {"no resize hook, shrunk", false, {4096, 64, 8}},
        {"no resize hook, grown and shrunk", false, {24, 1000, 40}},
        {"resize hook, grown", true, {64, 4096, 65536}},
        {"resize hook, shrunk", true, {4096, 64, 8}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.allocator);
        Ledger ledger;
        const qvh_allocator a = {Ledger::alloc, c.resize_hook ? Ledger::resize : nullptr, Ledger::release, &ledger};
        const qvhost::Memory mem(&a);
        std::size_t size = c.sizes[0], kept = size;
        auto *p = static_cast<unsigned char *>(mem.alloc(size));
        ASSERT_NE(p, nullptr);
        for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<unsigned char>(i * 37 + 1);
        for (std::size_t to : {c.sizes[1], c.sizes[2]}) {
            p = static_cast<unsigned char *>(mem.resize(p, size, to));
            ASSERT_NE(p, nullptr);
            size = to;
            kept = std::min(kept, to);
            for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(p[i], static_cast<unsigned char>(i * 37 + 1)) << i;
        }
        mem.release(p, size);
        EXPECT_EQ(ledger.wrong_sizes, 0);
        EXPECT_TRUE(ledger.blocks.empty()) << ledger.blocks.size() << " blocks not given back";
    }
}

}  // namespace

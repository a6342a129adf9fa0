// Warm memory: a call over the same values again finds its list laid out and its scratch kept, and
// still sees every change to the values; trimming gives the memory back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host_package.hpp"
#include "qvhost.h"

namespace {

size_t allocations = 0;
void *counting_alloc(void *, size_t n) {
    ++allocations;
    return std::malloc(n);
}
void counting_release(void *, void *p, size_t) { std::free(p); }

// A list laid out for values is used again for the same values, changed in place between calls.
TEST(HostWarm, ValuesChangedInPlaceAreSeen) {
    const double nan = std::nan(""), dot = qvh_dot();
    const struct Row {
        const char *fn;
        std::vector<double> before, after;
        double result;
        unsigned char second_marked;
    } rows[] = {
        {"N", {1, 2, 3}, {1, nan, 3}, 2, 0},       // a NaN is '.' on the second call too
        {"N", {1, nan, 3}, {1, 2, 3}, 3, 0},       // and stops being it
        {"SUM", {1, 2, 3}, {1, dot, 5}, 6, 0},
        {"GCD", {4, 2.5}, {4, 2}, 2, 0},           // marks of the first call are gone
        {"GCD", {4, 2}, {4, 2.5}, dot, 1},
    };
    for (const Row &r : rows) {
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(qvt::host_package(), r.fn, &call), QVH_OK);
        std::vector<double> xs = r.before;
        double out = 0;
        unsigned char marked[3] = {9, 9, 9};
        ASSERT_EQ(qvh_call_over(call, nullptr, 0, xs.data(), xs.size(), 8, &out, nullptr, nullptr), QVH_OK);
        xs = r.after;
        ASSERT_EQ(qvh_call_over(call, nullptr, 0, xs.data(), xs.size(), 8, &out, nullptr, marked), QVH_OK);
        EXPECT_EQ(std::memcmp(&out, &r.result, 8), 0) << r.fn << ": " << out;
        EXPECT_EQ(marked[1], r.second_marked) << r.fn;
        qvh_call_free(call);
    }
    // A NaN put at any place of a longer list is seen, whichever lane of the pass reads it.
    qvh_call *call = nullptr;
    ASSERT_EQ(qvh_call_new(qvt::host_package(), "N", &call), QVH_OK);
    std::vector<double> xs(17);
    for (size_t at = 0; at < xs.size(); ++at) {
        std::fill(xs.begin(), xs.end(), 1.0);
        double out = 0;
        ASSERT_EQ(qvh_call_over(call, nullptr, 0, xs.data(), xs.size(), 8, &out, nullptr, nullptr), QVH_OK);
        xs[at] = nan;
        ASSERT_EQ(qvh_call_over(call, nullptr, 0, xs.data(), xs.size(), 8, &out, nullptr, nullptr), QVH_OK);
        EXPECT_EQ(out, 16.0) << "NaN at " << at;
    }
    qvh_call_free(call);
}

// A call repeated over as many values takes no memory; after qvh_call_trim it takes it again.
TEST(HostWarm, RepeatedCallsTakeNoMemory) {
    const qvh_allocator counting{counting_alloc, nullptr, counting_release, nullptr};
    qvh_package *pkg = nullptr;
    ASSERT_EQ(qvh_open(nullptr, &pkg), QVH_OK);
    ASSERT_EQ(qvh_set_allocator(pkg, &counting), QVH_OK);
    std::vector<double> xs(100000), ys(100000);
    for (size_t i = 0; i < xs.size(); ++i) xs[i] = ys[i] = double((i * 7919) % 1000);
    for (const char *fn : {"MEDIAN", "MAD", "IQR"}) {
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(pkg, fn, &call), QVH_OK);
        double r1 = 0, r2 = 0;
        ASSERT_EQ(qvh_call_over(call, nullptr, 0, xs.data(), xs.size(), 8, &r1, nullptr, nullptr), QVH_OK);
        allocations = 0;
        ASSERT_EQ(qvh_call_over(call, nullptr, 0, ys.data(), ys.size(), 8, &r2, nullptr, nullptr), QVH_OK);
        EXPECT_EQ(allocations, 0u) << fn;
        EXPECT_EQ(r1, r2) << fn;
        qvh_call_trim(call);
        ASSERT_EQ(qvh_call_over(call, nullptr, 0, ys.data(), ys.size(), 8, &r2, nullptr, nullptr), QVH_OK);
        EXPECT_GE(allocations, 2u) << fn;  // the list and the package's scratch
        qvh_call_free(call);
    }
    qvh_close(pkg);
}

}  // namespace

// The exported memory and string routines, called through the loaded package: every length
// from 0 to 70, overlapping and apart, against plain reference loops written here.
#include <cstring>

#include "qvtest.hpp"

namespace {

using Copy = void (*)(const void *, void *, std::uint64_t);
using InPlace = void (*)(char *, std::uint64_t);
using Fill = void (*)(void *, std::int32_t, std::uint64_t);
using TFill = void (*)(std::uint32_t *, std::uint32_t, std::uint64_t);
using Scan = std::uint64_t (*)(const void *, std::uint64_t, std::int32_t);
using TScan = std::uint64_t (*)(const std::uint32_t *, std::uint64_t, std::uint32_t);
using Not = std::int32_t (*)(std::int32_t, const void *, std::uint64_t);
using TNot = std::int32_t (*)(std::uint32_t, const std::uint32_t *, std::uint64_t);
using Cmp = std::int32_t (*)(const void *, const void *, std::uint64_t);
using WCmp = std::int32_t (*)(const std::uint32_t *, const std::uint32_t *, std::uint64_t);

template <class T>
T fn(const char *name) {
    T f = qvt::package().fn<T>(name);
    EXPECT_NE(f, nullptr) << name << " is not exported";
    return f;
}

constexpr std::uint64_t NOT_FOUND = ~std::uint64_t{0};
constexpr int MAX_N = 70;

std::vector<unsigned char> arena(std::size_t size, int seed) {
    std::vector<unsigned char> a(size);
    for (std::size_t i = 0; i < size; ++i) a[i] = static_cast<unsigned char>(i * 37 + seed * 11 + 3);
    return a;
}

// Source at a varying alignment; targets from just below to just above it, exactly n apart
// (the edge of the wide path) and far away on both sides.
TEST(MemStr, CopiesMatchPlainLoopsOnEveryOverlap) {
    const Copy cpy = fn<Copy>("pqMemCpy"), scpy = fn<Copy>("pqMemSCpy");
    ASSERT_TRUE(cpy && scpy);
    for (int n = 0; n <= MAX_N; ++n) {
        const std::ptrdiff_t base = 160 + n % 16;
        std::vector<std::ptrdiff_t> shifts = {-150, 150};
        for (std::ptrdiff_t d = -(n + 2); d <= n + 2; ++d) shifts.push_back(d);
        for (std::ptrdiff_t d : shifts) {
            SCOPED_TRACE("n " + std::to_string(n) + ", dst - src " + std::to_string(d));
            const std::vector<unsigned char> before = arena(400, n);
            std::vector<unsigned char> forward = before, safe = before;
            for (int i = 0; i < n; ++i) forward[base + d + i] = forward[base + i];
            std::memmove(safe.data() + base + d, before.data() + base, n);

            std::vector<unsigned char> got = before;
            cpy(got.data() + base, got.data() + base + d, n);
            EXPECT_EQ(got, forward) << "pqMemCpy";
            got = before;
            scpy(got.data() + base, got.data() + base + d, n);
            EXPECT_EQ(got, safe) << "pqMemSCpy";
        }
    }
}

TEST(MemStr, InPlaceRoutinesMatchPlainLoops) {
    auto up = [](unsigned char b) { return b >= 'a' && b <= 'z' ? b - 32 : b; };
    auto low = [](unsigned char b) { return b >= 'A' && b <= 'Z' ? b + 32 : b; };
    const InPlace strup = fn<InPlace>("pqStrUp"), strlow = fn<InPlace>("pqStrLow");
    const Fill set = fn<Fill>("pqMemSet");
    const TFill tset = fn<TFill>("pqMemTSet");
    ASSERT_TRUE(strup && strlow && set && tset);
    for (int n = 0; n <= MAX_N; ++n) {
        for (int offset = 0; offset < 4; ++offset) {
            SCOPED_TRACE("n " + std::to_string(n) + ", offset " + std::to_string(offset));
            const std::vector<unsigned char> before = arena(300, n + offset);
            std::vector<unsigned char> want_up = before, want_low = before, want_set = before, got = before;
            for (int i = offset; i < offset + n; ++i) {
                want_up[i] = static_cast<unsigned char>(up(before[i]));
                want_low[i] = static_cast<unsigned char>(low(before[i]));
                want_set[i] = 0xA5;
            }
            strup(reinterpret_cast<char *>(got.data() + offset), n);
            EXPECT_EQ(got, want_up) << "pqStrUp";
            got = before;
            strlow(reinterpret_cast<char *>(got.data() + offset), n);
            EXPECT_EQ(got, want_low) << "pqStrLow";
            got = before;
            set(got.data() + offset, 0x7A5, n);  // only the low 8 bits count
            EXPECT_EQ(got, want_set) << "pqMemSet";

            std::vector<std::uint32_t> units(MAX_N + 8, 7u), want_units = units;
            std::fill_n(want_units.begin() + offset, n, 0xFFFFFF20u);
            tset(units.data() + offset, 0xFFFFFF20u, n);
            EXPECT_EQ(units, want_units) << "pqMemTSet";
        }
    }
}

// n units of one value, with the unit at position k (k < n) changed; k = n changes none.
TEST(MemStr, ScansAndComparisonsFindTheFirstDifference) {
    const Scan scan = fn<Scan>("pqMemScan"), nscan = fn<Scan>("pqMemNScan");
    const TScan tnscan = fn<TScan>("pqMemTNScan");
    const Not mnot = fn<Not>("pqMemNot");
    const TNot tnot = fn<TNot>("pqMemTNot");
    const Cmp cmp = fn<Cmp>("pqMemCmp");
    const WCmp wcmp = fn<WCmp>("pqWMemCmp");
    ASSERT_TRUE(scan && nscan && tnscan && mnot && tnot && cmp && wcmp);
    for (int n = 0; n <= MAX_N; ++n) {
        for (int k = 0; k <= n; ++k) {
            SCOPED_TRACE("n " + std::to_string(n) + ", difference at " + std::to_string(k));
            std::vector<unsigned char> same(n + 1, 0x01), bytes = same;
            std::vector<std::uint32_t> blanks(n + 1, 32u), units = blanks;
            if (k < n) bytes[k] = 0x80, units[k] = 0x80000041u;
            const std::uint64_t at = k < n ? static_cast<std::uint64_t>(k) : NOT_FOUND;
            const int sign = k < n ? 1 : 0;
            EXPECT_EQ(scan(bytes.data(), n, 0x180), at) << "pqMemScan";
            EXPECT_EQ(nscan(bytes.data(), n, 0x101), at) << "pqMemNScan";
            EXPECT_EQ(tnscan(units.data(), n, 32u), at) << "pqMemTNScan";
            EXPECT_EQ(mnot(0x201, bytes.data(), n), k == n) << "pqMemNot";
            EXPECT_EQ(tnot(32u, units.data(), n), k == n) << "pqMemTNot";
            EXPECT_EQ(cmp(bytes.data(), same.data(), n), sign) << "pqMemCmp";
            EXPECT_EQ(cmp(same.data(), bytes.data(), n), -sign) << "pqMemCmp";
            // 0x80000041 - 32 wraps to a negative 32-bit difference
            EXPECT_EQ(wcmp(units.data(), blanks.data(), n), -sign) << "pqWMemCmp";
            EXPECT_EQ(wcmp(blanks.data(), units.data(), n), sign) << "pqWMemCmp";
        }
    }
}

TEST(MemStr, StringsNullsAndDuplicates) {
    EXPECT_EQ(fn<QvStatus (*)()>("pqUnsup")(), STATUS_UNSUPPORTED);
    const auto len = fn<std::uint64_t (*)(const char *)>("pqStrLen");
    const auto tlen = fn<std::uint64_t (*)(const std::uint32_t *)>("pqStrTLen");
    const auto cpy = fn<void (*)(const char *, char *)>("pqStrCpy");
    const auto tcpy = fn<void (*)(const std::uint32_t *, std::uint32_t *)>("pqStrTCpy");
    const auto dup = fn<void *(*)(const void *, std::uint64_t, HostPool *)>("pqMemDup");
    ASSERT_TRUE(len && tlen && cpy && tcpy && dup);
    EXPECT_EQ(len(nullptr), 0u);
    EXPECT_EQ(len(""), 0u);
    EXPECT_EQ(len("ab\0cd"), 2u);
    const std::uint32_t wide[] = {0x100, 0x20, 0x41000000, 0, 5};
    EXPECT_EQ(tlen(nullptr), 0u);
    EXPECT_EQ(tlen(wide), 3u);

    char dst[8] = "xxxxxxx";
    cpy(nullptr, dst);
    EXPECT_EQ(std::string(dst, 8), std::string("\0xxxxxx\0", 8));
    cpy("ab\0c", dst);
    EXPECT_EQ(std::string(dst, 8), std::string("ab\0xxxx\0", 8));
    cpy("ab", nullptr);  // writes nothing, does not crash
    std::uint32_t wdst[6] = {9, 9, 9, 9, 9, 9};
    tcpy(wide, wdst);
    EXPECT_EQ(std::vector<std::uint32_t>(wdst, wdst + 6), (std::vector<std::uint32_t>{0x100, 0x20, 0x41000000, 0, 9, 9}));
    tcpy(nullptr, wdst);
    EXPECT_EQ(wdst[0], 0u);

    qvhost::CountingPool pool;
    const char text[] = "duplicate me";
    void *copy = dup(text, sizeof text, pool.host());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, text, sizeof text), 0);
    ASSERT_EQ(pool.requests().size(), 1u);
    EXPECT_EQ(pool.requests()[0].size, sizeof text);
    EXPECT_EQ(pool.requests()[0].flags, 0u);
    pool.host()->free(pool.host(), copy);
    pool.refuse_all(true);
    EXPECT_EQ(dup(text, sizeof text, pool.host()), nullptr);
    EXPECT_EQ(dup(nullptr, 4, pool.host()), nullptr);
    EXPECT_EQ(dup(text, 4, nullptr), nullptr);
    EXPECT_EQ(pool.requests().size(), 2u);
    EXPECT_EQ(pool.outstanding(), 0u);
}

}  // namespace

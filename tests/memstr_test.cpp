// The exported memory and string routines, called through the loaded package: every length
// from 0 to 70, overlapping and apart, against plain loops written here.
#include <cstring>

#include "qvtest.hpp"

namespace {

// The routine the package exports under the name of a prototype in qvfnc.h.
#define EXPORTED(name) qvt::package().fn<decltype(&name)>(#name)

constexpr int MAX_N = 70;

// The routines that write a buffer, at every length and a varying alignment. The copies move n
// bytes from base to targets from just below to just above it, exactly n apart (the edge of the
// wide path) and far away on both sides; the forward copy reads back what it has written, the
// safe one sees the bytes as they were.
TEST(MemStr, WritersMatchPlainLoops) {
    for (int n = 0; n <= MAX_N; ++n) {
        const std::ptrdiff_t base = 160 + n % 16;
        std::vector<unsigned char> before(400);  // every byte value
        for (std::size_t i = 0; i < before.size(); ++i) before[i] = static_cast<unsigned char>(i * 37 + n * 11 + 3);
        std::vector<std::ptrdiff_t> shifts = {-150, 150};
        for (std::ptrdiff_t d = -(n + 2); d <= n + 2; ++d) shifts.push_back(d);
        for (std::ptrdiff_t d : shifts) {
            std::vector<unsigned char> forward = before, safe = before, got = before, got_safe = before;
            for (int i = 0; i < n; ++i) forward[base + d + i] = forward[base + i];
            for (int i = 0; i < n; ++i) safe[base + d + i] = before[base + i];
            EXPORTED(pqMemCpy)(got.data() + base, got.data() + base + d, n);
            EXPORTED(pqMemSCpy)(got_safe.data() + base, got_safe.data() + base + d, n);
            EXPECT_EQ(got, forward) << "pqMemCpy of " << n << " bytes, dst - src " << d;
            EXPECT_EQ(got_safe, safe) << "pqMemSCpy of " << n << " bytes, dst - src " << d;
        }
        std::vector<std::vector<unsigned char>> want(3, before), got(3, before);
        for (std::ptrdiff_t i = base; i < base + n; ++i) {
            const int b = before[i];
            want[0][i] = static_cast<unsigned char>(b >= 'a' && b <= 'z' ? b - 32 : b);
            want[1][i] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
            want[2][i] = 0xA5;
        }
        EXPORTED(pqStrUp)(reinterpret_cast<char *>(got[0].data() + base), n);
        EXPORTED(pqStrLow)(reinterpret_cast<char *>(got[1].data() + base), n);
        EXPORTED(pqMemSet)(got[2].data() + base, 0x7A5, n);  // the low 8 bits only
        EXPECT_EQ(got, want) << "pqStrUp, pqStrLow, pqMemSet on " << n << " bytes";
        std::vector<std::uint32_t> units(MAX_N + 20, 7u), want_units = units;
        std::fill_n(want_units.begin() + n % 16, n, 0xFFFFFF20u);
        EXPORTED(pqMemTSet)(units.data() + n % 16, 0xFFFFFF20u, n);
        EXPECT_EQ(units, want_units) << "pqMemTSet on " << n << " units";
    }
}

// n units of one value, with the unit at position k (k < n) changed; k = n changes none. The
// changed unit 0x80000041 minus a blank wraps to a negative 32-bit difference.
TEST(MemStr, ScansAndComparisonsFindTheFirstDifference) {
    for (int n = 0; n <= MAX_N; ++n) {
        for (int k = 0; k <= n; ++k) {
            SCOPED_TRACE("n " + std::to_string(n) + ", difference at " + std::to_string(k));
            std::vector<unsigned char> same(n + 1, 0x01), bytes = same;
            std::vector<std::uint32_t> blanks(n + 1, 32u), units = blanks;
            if (k < n) bytes[k] = 0x80, units[k] = 0x80000041u;
            const std::uint64_t at = k < n ? static_cast<std::uint64_t>(k) : QV_NOT_FOUND;
            const int sign = k < n ? 1 : 0;
            EXPECT_EQ(EXPORTED(pqMemScan)(bytes.data(), n, 0x180), at);
            EXPECT_EQ(EXPORTED(pqMemNScan)(bytes.data(), n, 0x101), at);
            EXPECT_EQ(EXPORTED(pqMemTNScan)(units.data(), n, 32u), at);
            EXPECT_EQ(EXPORTED(pqMemNot)(0x201, bytes.data(), n), k == n);
            EXPECT_EQ(EXPORTED(pqMemTNot)(32u, units.data(), n), k == n);
            EXPECT_EQ(std::pair(EXPORTED(pqMemCmp)(bytes.data(), same.data(), n), EXPORTED(pqMemCmp)(same.data(), bytes.data(), n)),
                      std::pair(sign, -sign));
            EXPECT_EQ(std::pair(EXPORTED(pqWMemCmp)(units.data(), blanks.data(), n), EXPORTED(pqWMemCmp)(blanks.data(), units.data(), n)),
                      std::pair(-sign, sign));
        }
    }
}

// A copy stops after the terminating zero; a null source leaves an empty string; a null target
// is left alone. pqMemDup asks for exactly the bytes, plain, and gives null when refused.
TEST(MemStr, StringsNullsAndDuplicates) {
    EXPECT_EQ(EXPORTED(pqUnsup)(), STATUS_UNSUPPORTED);
    const std::uint32_t wide[] = {0x100, 0x20, 0x41000000, 0, 5};
    const auto len = EXPORTED(pqStrLen);
    const auto tlen = EXPORTED(pqStrTLen);
    EXPECT_EQ((std::vector<std::uint64_t>{len(nullptr), len(""), len("ab\0cd"), tlen(nullptr), tlen(wide)}),
              (std::vector<std::uint64_t>{0, 0, 2, 0, 3}));
    char dst[5] = "xxxx";
    std::vector<std::uint32_t> wdst(6, 9);
    EXPORTED(pqStrCpy)("ab\0c", dst);
    EXPORTED(pqStrCpy)(nullptr, dst + 1);
    EXPORTED(pqStrCpy)("ab", nullptr);
    EXPORTED(pqStrTCpy)(wide, wdst.data());
    EXPORTED(pqStrTCpy)(nullptr, wdst.data() + 1);
    EXPECT_EQ(std::string(dst, 4), std::string("a\0\0x", 4));
    EXPECT_EQ(wdst, (std::vector<std::uint32_t>{0x100, 0, 0x41000000, 0, 9, 9}));

    qvhost::CountingPool pool;
    const char text[] = "duplicate me";
    void *copy = EXPORTED(pqMemDup)(text, sizeof text, pool.host());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, text, sizeof text), 0);
    pool.host()->free(pool.host(), copy);
    pool.refuse_all(true);
    EXPECT_EQ(EXPORTED(pqMemDup)(text, sizeof text, pool.host()), nullptr);
    EXPECT_EQ(EXPORTED(pqMemDup)(nullptr, 4, pool.host()), nullptr);
    EXPECT_EQ(EXPORTED(pqMemDup)(text, 4, nullptr), nullptr);
    ASSERT_EQ(pool.requests().size(), 2u);
    for (const auto &q : pool.requests()) EXPECT_TRUE(q.size == sizeof text && q.flags == 0);
}

}  // namespace

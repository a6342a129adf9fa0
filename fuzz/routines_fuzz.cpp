// Fuzz target: the package's exported routines, reached by name in the loaded package as a
// program reaches them through qvh_symbol. The first byte picks the routine, the rest its
// arguments. Every buffer handed to a routine is a block of exactly the size the routine may
// touch, so a read or write outside it is an AddressSanitizer report; on top of that each
// routine is held to what it promises: the memory and string utilities against the plain loop
// they are defined by, the byte-image helpers to the bytes they name, the integer helpers to the
// C operators, and the special functions to their return codes and failure results.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "call_input.hpp"
#include "check.hpp"
#include "standin.hpp"

namespace {

using qvfuzz::fail;

constexpr std::uint64_t DOT_BITS = QV_MISSING_DOT_BITS;
constexpr std::size_t MAX_UNITS = 4096;
// zlgammaMV sums p terms, so its time grows with p: dimensions stay below this.
constexpr std::int32_t MAX_DIMENSION = 4096;

template <class T>
T sym(const char *name) {
    void *p = qvfuzz::package().symbol(name);
    if (p == nullptr) fail("the package exports no %s", name);
    return reinterpret_cast<T>(p);
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// A heap block of exactly n units; n = 0 is a valid block that holds nothing.
template <class T>
std::unique_ptr<T[]> block(qvfuzz::Reader &r, std::size_t n) {
    std::unique_ptr<T[]> p(new T[n]);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<T>(r.le(sizeof(T)));
    return p;
}

// Units are drawn from a small alphabet often, so that equal runs and matches occur.
template <class T>
std::unique_ptr<T[]> text(qvfuzz::Reader &r, std::size_t n, bool alphabet) {
    std::unique_ptr<T[]> p(new T[n]);
    for (std::size_t i = 0; i < n; ++i) p[i] = alphabet ? static_cast<T>('a' + r.u8() % 3) : static_cast<T>(r.le(sizeof(T)));
    return p;
}

int sign(int v) { return (v > 0) - (v < 0); }

// memcmp and memcpy for n that may be 0 with an empty vector's null data.
bool same(const void *a, const void *b, std::size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }
void copy_bytes(void *to, const void *from, std::size_t n) {
    if (n > 0) std::memcpy(to, from, n);
}

void strings(std::uint8_t which, qvfuzz::Reader &r) {
    const std::size_t n = r.le(2) % (MAX_UNITS + 1);
    const bool small = (r.u8() & 1) != 0;
    switch (which) {
        case 0: {  // pqStrLen, pqStrCpy: a string with its zero byte as the last byte of its block
            auto s = text<char>(r, n + 1, small);
            s[n] = 0;
            const std::size_t len = std::strlen(s.get());
            if (sym<std::uint64_t (*)(const char *)>("pqStrLen")(s.get()) != len) fail("pqStrLen miscounts");
            std::unique_ptr<char[]> dst(new char[len + 1]);
            sym<void (*)(const char *, char *)>("pqStrCpy")(s.get(), dst.get());
            if (!same(dst.get(), s.get(), len + 1)) fail("pqStrCpy copied other bytes");
            break;
        }
        case 1: {  // pqStrTLen, pqStrTCpy
            auto s = text<std::uint32_t>(r, n + 1, small);
            s[n] = 0;
            std::size_t len = 0;
            while (s[len] != 0) ++len;
            if (sym<std::uint64_t (*)(const std::uint32_t *)>("pqStrTLen")(s.get()) != len) fail("pqStrTLen miscounts");
            std::unique_ptr<std::uint32_t[]> dst(new std::uint32_t[len + 1]);
            sym<void (*)(const std::uint32_t *, std::uint32_t *)>("pqStrTCpy")(s.get(), dst.get());
            if (!same(dst.get(), s.get(), (len + 1) * 4)) fail("pqStrTCpy copied other units");
            break;
        }
        case 2: {  // pqStrUp, pqStrLow: only the 26 letters of the other case change
            auto s = block<unsigned char>(r, n);
            std::vector<unsigned char> was(s.get(), s.get() + n);
            const bool up = small;
            sym<void (*)(char *, std::uint64_t)>(up ? "pqStrUp" : "pqStrLow")(reinterpret_cast<char *>(s.get()), n);
            for (std::size_t i = 0; i < n; ++i) {
                const unsigned char c = was[i];
                const unsigned char want = up ? (c >= 'a' && c <= 'z' ? c - 32 : c) : (c >= 'A' && c <= 'Z' ? c + 32 : c);
                if (s[i] != want) fail("%s turned byte 0x%02X into 0x%02X", up ? "pqStrUp" : "pqStrLow", c, s[i]);
            }
            break;
        }
        case 3: {  // pqMemNot, pqMemTNot: 1 when every unit equals c
            const std::uint32_t c = static_cast<std::uint32_t>(r.le(4));
            auto p = block<unsigned char>(r, n);
            auto q = block<std::uint32_t>(r, n);
            for (std::size_t i = 0; i < n && small; ++i) p[i] = static_cast<unsigned char>(c), q[i] = c;
            if (n > 0 && r.u8() % 2) p[r.le(2) % n] ^= 1, q[r.le(2) % n] ^= 1;
            bool all = true, allt = true;
            for (std::size_t i = 0; i < n; ++i) all = all && p[i] == (c & 0xFF), allt = allt && q[i] == c;
            if (sym<std::int32_t (*)(std::int32_t, const void *, std::uint64_t)>("pqMemNot")(static_cast<std::int32_t>(c), p.get(), n) != all)
                fail("pqMemNot answers wrongly");
            if (sym<std::int32_t (*)(std::uint32_t, const std::uint32_t *, std::uint64_t)>("pqMemTNot")(c, q.get(), n) != allt)
                fail("pqMemTNot answers wrongly");
            break;
        }
        case 4: {  // pqMemSet, pqMemTSet
            const std::uint32_t c = static_cast<std::uint32_t>(r.le(4));
            auto p = block<unsigned char>(r, n);
            auto q = block<std::uint32_t>(r, n);
            sym<void (*)(void *, std::int32_t, std::uint64_t)>("pqMemSet")(p.get(), static_cast<std::int32_t>(c), n);
            sym<void (*)(std::uint32_t *, std::uint32_t, std::uint64_t)>("pqMemTSet")(q.get(), c, n);
            for (std::size_t i = 0; i < n; ++i)
                if (p[i] != (c & 0xFF) || q[i] != c) fail("pqMemSet or pqMemTSet left unit %zu", i);
            break;
        }
        case 5: {  // pqMemCmp, pqWMemCmp: the sign at the first difference
            auto a = block<unsigned char>(r, n);
            auto w = block<std::uint32_t>(r, n);
            std::unique_ptr<unsigned char[]> b(new unsigned char[n]);
            std::unique_ptr<std::uint32_t[]> v(new std::uint32_t[n]);
            copy_bytes(b.get(), a.get(), n);
            copy_bytes(v.get(), w.get(), n * 4);
            if (n > 0 && !small) b[r.le(2) % n] = r.u8(), v[r.le(2) % n] = static_cast<std::uint32_t>(r.le(4));
            const int want = n == 0 ? 0 : sign(std::memcmp(a.get(), b.get(), n));
            int wantw = 0;
            for (std::size_t i = 0; i < n && wantw == 0; ++i)
                if (w[i] != v[i]) wantw = static_cast<std::int32_t>(w[i] - v[i]) < 0 ? -1 : 1;
            if (sym<std::int32_t (*)(const void *, const void *, std::uint64_t)>("pqMemCmp")(a.get(), b.get(), n) != want)
                fail("pqMemCmp answers wrongly");
            if (sym<std::int32_t (*)(const std::uint32_t *, const std::uint32_t *, std::uint64_t)>("pqWMemCmp")(w.get(), v.get(), n) != wantw)
                fail("pqWMemCmp answers wrongly");
            break;
        }
        case 6: {  // pqMemCpy (forward, rereading what it wrote) and pqMemSCpy (as memmove), overlapping or not
            auto buf = block<unsigned char>(r, n);
            const std::size_t src = n ? r.le(2) % n : 0, dst = n ? r.le(2) % n : 0;
            const std::size_t len = n - std::max(src, dst) > 0 ? r.le(2) % (n - std::max(src, dst) + 1) : 0;
            std::vector<unsigned char> want(buf.get(), buf.get() + n), want_s(want);
            for (std::size_t i = 0; i < len; ++i) want[dst + i] = want[src + i];
            if (len > 0) std::memmove(want_s.data() + dst, want_s.data() + src, len);
            std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
            copy_bytes(copy.get(), buf.get(), n);
            sym<void (*)(const void *, void *, std::uint64_t)>("pqMemCpy")(buf.get() + src, buf.get() + dst, len);
            sym<void (*)(const void *, void *, std::uint64_t)>("pqMemSCpy")(copy.get() + src, copy.get() + dst, len);
            if (!same(buf.get(), want.data(), n)) fail("pqMemCpy from %zu to %zu of %zu bytes differs", src, dst, len);
            if (!same(copy.get(), want_s.data(), n)) fail("pqMemSCpy from %zu to %zu of %zu bytes differs", src, dst, len);
            break;
        }
        case 7: {  // pqMemDup: the pool's block, or null when it refuses
            auto src = block<unsigned char>(r, n);
            qvhost::CountingPool pool("fuzz pool");
            pool.refuse_nth(small ? 1 : 0);
            void *dup = sym<void *(*)(const void *, std::uint64_t, HostPool *)>("pqMemDup")(src.get(), n, pool.host());
            if (pool.requests().size() != 1 || pool.requests()[0].size != n || pool.requests()[0].flags != 0)
                fail("pqMemDup asked the pool for other than one block of %zu bytes", n);
            if ((dup == nullptr) != small) fail("pqMemDup answered %p with the pool %s", dup, small ? "refusing" : "serving");
            if (dup != nullptr && !same(dup, src.get(), n)) fail("pqMemDup copied other bytes");
            if (dup != nullptr) pool.host()->free(pool.host(), dup);
            break;
        }
        default: {  // pqMemScan, pqMemNScan, pqMemTNScan: the first (non-)match, or all ones
            const std::uint32_t c = small ? 'a' : static_cast<std::uint32_t>(r.le(4));
            auto p = text<unsigned char>(r, n, true);
            auto q = text<std::uint32_t>(r, n, true);
            std::uint64_t scan = QV_NOT_FOUND, nscan = QV_NOT_FOUND, tnscan = QV_NOT_FOUND;
            for (std::size_t i = n; i-- > 0;) {
                if (p[i] == (c & 0xFF)) scan = i;
                else nscan = i;
                if (q[i] != c) tnscan = i;
            }
            if (sym<std::uint64_t (*)(const void *, std::uint64_t, std::int32_t)>("pqMemScan")(p.get(), n, static_cast<std::int32_t>(c)) != scan)
                fail("pqMemScan answers wrongly");
            if (sym<std::uint64_t (*)(const void *, std::uint64_t, std::int32_t)>("pqMemNScan")(p.get(), n, static_cast<std::int32_t>(c)) != nscan)
                fail("pqMemNScan answers wrongly");
            if (sym<std::uint64_t (*)(const std::uint32_t *, std::uint64_t, std::uint32_t)>("pqMemTNScan")(q.get(), n, c) != tnscan)
                fail("pqMemTNScan answers wrongly");
            break;
        }
    }
}

double number(qvfuzz::Reader &r) {
    const std::uint8_t tag = r.u8();
    switch (tag & 3) {
        case 0: return std::bit_cast<double>(r.le(8));
        case 1: return qvfuzz::small_number(tag, static_cast<std::int8_t>(r.u8()));
        case 2: return std::bit_cast<double>(qvfuzz::SPECIALS[r.u8() % qvfuzz::SPECIAL_COUNT]);
        default: return qvfuzz::missing_at(r.u8() % 28);
    }
}

void numbers(std::uint8_t which, qvfuzz::Reader &r) {
    const double x = number(r), y = number(r);
    switch (which) {
        case 0: {  // the missing values
            const std::int32_t c = static_cast<std::int32_t>(r.le(4));
            const std::uint64_t m = bits(sym<double (*)(std::int32_t)>("pqMissVal")(c));
            if ((m & 0xFFFF00FFFFFFFFFFull) != 0xFFFF000000000000ull || ((m >> 40) & 0xFF) < 0xE4)
                fail("pqMissVal(%d) is none of the 28 missing values", c);
            const std::size_t n = r.le(2) % (MAX_UNITS + 1);
            std::unique_ptr<double[]> v(new double[n]);
            bool any = false;
            for (std::size_t i = 0; i < n; ++i) any = (bits(v[i] = i % 2 ? x : y) >> 48) == 0xFFFF || any;
            if (sym<std::int32_t (*)(const double *, std::uint64_t)>("pqMissArray")(v.get(), n) != any)
                fail("pqMissArray answers wrongly over %zu values", n);
            break;
        }
        case 1: {  // the byte images: exactly n bytes out and in, the low 8 - n bytes of the image cleared
            const std::uint64_t n = 1 + r.u8() % 8;
            std::unique_ptr<std::uint8_t[]> img(new std::uint8_t[n]);
            if (sym<std::int32_t (*)(std::uint8_t *, std::uint64_t, double)>("qvzcftrc")(img.get(), n, x) != 0)
                fail("qvzcftrc did not return 0");
            double back = y;
            if (sym<std::int32_t (*)(const std::uint8_t *, std::uint64_t, double *)>("qvzrftrc")(img.get(), n, &back) != 0)
                fail("qvzrftrc did not return 0");
            const std::uint64_t keep = n == 8 ? ~0ull : ~((1ull << (8 * (8 - n))) - 1);
            if (bits(back) != (bits(x) & keep)) fail("the image of 0x%016llX through %llu bytes came back as 0x%016llX",
                                                     static_cast<unsigned long long>(bits(x)), static_cast<unsigned long long>(n),
                                                     static_cast<unsigned long long>(bits(back)));
            break;
        }
        case 2: {  // integer helpers: the C operators (a zero divisor and the one overflowing quotient are the caller's)
            const std::int64_t a = static_cast<std::int64_t>(r.le(8)), b = static_cast<std::int64_t>(r.le(8));
            const std::int32_t a32 = static_cast<std::int32_t>(a), b32 = static_cast<std::int32_t>(b);
            if (b32 != 0 && !(a32 == INT32_MIN && b32 == -1)) {
                const div_t d = sym<div_t (*)(std::int32_t, std::int32_t)>("i32div")(a32, b32);
                if (d.quot != a32 / b32 || d.rem != a32 % b32) fail("i32div(%d, %d) is wrong", a32, b32);
            }
            if (b != 0 && !(a == INT64_MIN && b == -1)) {
                const ldiv_t d = sym<ldiv_t (*)(std::int64_t, std::int64_t)>("intmdiv")(a, b);
                if (d.quot != a / b || d.rem != a % b) fail("intmdiv(%lld, %lld) is wrong", static_cast<long long>(a), static_cast<long long>(b));
            }
            if (sym<std::int32_t (*)(std::int32_t, std::int32_t)>("max")(a32, b32) != std::max(a32, b32) ||
                sym<std::int32_t (*)(std::int32_t, std::int32_t)>("min")(a32, b32) != std::min(a32, b32))
                fail("max or min of %d and %d is wrong", a32, b32);
            break;
        }
        case 3: {  // log2: exact on every power of two, subnormal ones included
            const int e = static_cast<int>(r.le(2) % 2098) - 1074;
            const double got = sym<double (*)(double)>("log2")(std::ldexp(1.0, e));
            if (got != e) fail("log2(2^%d) gave %.17g", e, got);
            sym<double (*)(double)>("log2")(x);
            break;
        }
        case 4: {  // gamma, digamma and their failure results
            double out = y;
            const int g = sym<int (*)(double *, double)>("zgamma")(&out, x);
            if (g != 0 && !(g == 1 && bits(out) == DOT_BITS)) fail("zgamma returned %d with 0x%016llX", g, static_cast<unsigned long long>(bits(out)));
            out = y;
            const int d = sym<int (*)(double *, double)>("zdigama")(&out, x);
            if (d != 0 && !(d == 1 && bits(out) == DOT_BITS)) fail("zdigama returned %d with 0x%016llX", d, static_cast<unsigned long long>(bits(out)));
            out = x;
            const int dd = sym<int (*)(double *, double, double)>("zdigamadiff")(&out, x, y);
            if (dd != 0 && !(dd == 1 && bits(out) == 0)) fail("zdigamadiff returned %d with 0x%016llX", dd, static_cast<unsigned long long>(bits(out)));
            std::int32_t status = -7;
            const double t = sym<double (*)(std::int32_t *, double)>("ztigama")(&status, x);
            if (status != 0 && !(status == 1 && t == -1e35)) fail("ztigama set status %d with %.17g", status, t);
            break;
        }
        default: {  // log-gamma and the logarithm helpers
            const std::int32_t p = static_cast<std::int32_t>(r.le(2) % (MAX_DIMENSION + 8)) - 4;
            double out = y;
            const int mv = sym<int (*)(std::int32_t, double *, double)>("zlgammaMV")(p, &out, x);
            if (mv != 0 && !(mv == 1 && bits(out) == DOT_BITS)) fail("zlgammaMV(%d) returned %d with 0x%016llX", p, mv, static_cast<unsigned long long>(bits(out)));
            if (mv == 0 && p <= 0) fail("zlgammaMV succeeded with dimension %d", p);
            const double l = sym<double (*)(double)>("zlgamma")(x);
            if (x <= 2.2250738585072019e-308 && l != -99.0) fail("zlgamma(%.17g) gave %.17g, not -99", x, l);
            sym<double (*)(double)>("zlgbern")(x);
            sym<double (*)(double)>("zln1px")(x);
            sym<double (*)(double, double)>("zlnSumOfExp")(x, y);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qvfuzz::package();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    qvfuzz::Reader r(data, size);
    const std::uint8_t which = r.u8() % 15;
    if (which < 9) strings(which, r);
    else numbers(static_cast<std::uint8_t>(which - 9), r);
    return 0;
}

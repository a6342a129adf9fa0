// Memory and string routines for counted memory and for strings of 1-byte and 4-byte
// characters. Lengths and indexes count units (bytes, or 4-byte characters for the T and W
// routines); zero units end a string only in the four Str length and copy routines.
#include <cstdint>
#include <cstring>

#include "qv/export.hpp"
#include "qvfnc.h"

namespace {

using Byte = unsigned char;
constexpr std::uint64_t STEP = 16;

inline Byte low_byte(std::int32_t c) { return static_cast<Byte>(static_cast<std::uint32_t>(c) & 0xFFu); }

// Applies f to each of the n bytes at s in place, 16 bytes per step once n reaches MinWide
// (the fixed-size inner loop lets the compiler use vector registers). Each byte is handled on
// its own, so the result is that of the plain loop.
template <std::uint64_t MinWide, class F>
inline void each_byte(Byte *s, std::uint64_t n, F f) {
    std::uint64_t i = 0;
    if (n >= MinWide) {
        for (; n - i >= STEP; i += STEP) {
            Byte block[STEP];
            std::memcpy(block, s + i, STEP);
            for (std::uint64_t k = 0; k < STEP; ++k) block[k] = f(block[k]);
            std::memcpy(s + i, block, STEP);
        }
    }
    for (; i < n; ++i) s[i] = f(s[i]);
}

// Index of the first unit u of p[0..n) for which stop(u) holds, or QV_NOT_FOUND.
template <class Unit, class Stop>
inline std::uint64_t scan(const Unit *p, std::uint64_t n, Stop stop) {
    if (p == nullptr) return QV_NOT_FOUND;
    for (std::uint64_t i = 0; i < n; ++i)
        if (stop(p[i])) return i;
    return QV_NOT_FOUND;
}

template <class Unit>
inline std::uint64_t str_len(const Unit *s) {
    if (s == nullptr) return 0;
    std::uint64_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

template <class Unit>
inline void str_cpy(const Unit *src, Unit *dst) {
    if (dst == nullptr) return;
    if (src == nullptr) {
        dst[0] = 0;
        return;
    }
    for (std::uint64_t i = 0;; ++i) {
        dst[i] = src[i];
        if (src[i] == 0) return;
    }
}

// Plain forward copy, one byte per step; on an overlap with dst above src it reads back what
// it has just written.
inline void forward_bytes(const Byte *src, Byte *dst, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) dst[i] = src[i];
}

}  // namespace

QV_EXPORT QvStatus pqUnsup(void) { return STATUS_UNSUPPORTED; }

QV_EXPORT std::uint64_t pqStrLen(const char *s) { return str_len(s); }

QV_EXPORT std::uint64_t pqStrTLen(const std::uint32_t *s) { return str_len(s); }

QV_EXPORT void pqStrCpy(const char *src, char *dst) { str_cpy(src, dst); }

QV_EXPORT void pqStrTCpy(const std::uint32_t *src, std::uint32_t *dst) { str_cpy(src, dst); }

// Only the 26 ASCII letters change; one unsigned range test per byte.
QV_EXPORT void pqStrUp(char *s, std::uint64_t n) {
    each_byte<5>(reinterpret_cast<Byte *>(s), n,
                 [](Byte b) { return static_cast<Byte>(static_cast<Byte>(b - 'a') < 26 ? b - 32 : b); });
}

QV_EXPORT void pqStrLow(char *s, std::uint64_t n) {
    each_byte<5>(reinterpret_cast<Byte *>(s), n,
                 [](Byte b) { return static_cast<Byte>(static_cast<Byte>(b - 'A') < 26 ? b + 32 : b); });
}

QV_EXPORT std::int32_t pqMemNot(std::int32_t c, const void *p, std::uint64_t n) {
    const Byte u = low_byte(c);
    return scan(static_cast<const Byte *>(p), n, [u](Byte b) { return b != u; }) == QV_NOT_FOUND ? 1 : 0;
}

// 1 when all n characters equal c (and for n = 0). With c the blank this is the package's test
// for a blank or empty character value.
QV_EXPORT std::int32_t pqMemTNot(std::uint32_t c, const std::uint32_t *p, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i)
        if (p[i] != c) return 0;
    return 1;
}

QV_EXPORT void pqMemSet(void *p, std::int32_t c, std::uint64_t n) {
    const Byte u = low_byte(c);
    each_byte<5>(static_cast<Byte *>(p), n, [u](Byte) { return u; });
}

QV_EXPORT void pqMemTSet(std::uint32_t *p, std::uint32_t c, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) p[i] = c;
}

QV_EXPORT std::int32_t pqMemCmp(const void *a, const void *b, std::uint64_t n) {
    const Byte *x = static_cast<const Byte *>(a);
    const Byte *y = static_cast<const Byte *>(b);
    for (std::uint64_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

// The order is the sign of the wrapped 32-bit difference, which is numeric order for units
// below 2^31.
QV_EXPORT std::int32_t pqWMemCmp(const std::uint32_t *a, const std::uint32_t *b, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return static_cast<std::int32_t>(a[i] - b[i]) < 0 ? -1 : 1;
    return 0;
}

// Forward copy. Ranges at least n bytes apart cannot interfere, so they move 16 bytes per
// step; any closer pair takes the byte loop, which repeats the first dst - src bytes through
// the target when dst lies just above src.
QV_EXPORT void pqMemCpy(const void *src, void *dst, std::uint64_t n) {
    const Byte *s = static_cast<const Byte *>(src);
    Byte *d = static_cast<Byte *>(dst);
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(s);
    const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(d);
    const std::uint64_t gap = a < b ? b - a : a - b;
    if (n < 7 || gap < n) {
        forward_bytes(s, d, n);
        return;
    }
    std::uint64_t i = 0;
    for (; n - i >= STEP; i += STEP) std::memcpy(d + i, s + i, STEP);
    std::memcpy(d + i, s + i, n - i);
}

// Overlap-safe copy. Only a target that starts inside the source needs care: its tail is
// moved out first, so every later read still sees the source's original bytes.
QV_EXPORT void pqMemSCpy(const void *src, void *dst, std::uint64_t n) {
    const Byte *s = static_cast<const Byte *>(src);
    Byte *d = static_cast<Byte *>(dst);
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(s);
    const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(d);
    if (!(a < b && b - a < n)) {
        forward_bytes(s, d, n);
        return;
    }
    const std::uint64_t gap = b - a;
    const std::uint64_t tail = n - gap;
    if (gap >= tail) {
        std::memcpy(d + gap, d, tail);
    } else {
        std::memcpy(d + (n - gap), s + (n - gap), gap);
        for (std::uint64_t i = n - gap; i-- > gap;) d[i] = s[i];
    }
    std::memcpy(d, s, gap);
}

QV_EXPORT void *pqMemDup(const void *src, std::uint64_t n, HostPool *pool) {
    if (pool == nullptr || src == nullptr) return nullptr;
    void *block = pool->allocate(pool, n, 0);
    if (block != nullptr) std::memcpy(block, src, n);
    return block;
}

QV_EXPORT std::uint64_t pqMemScan(const void *p, std::uint64_t n, std::int32_t c) {
    const Byte u = low_byte(c);
    return scan(static_cast<const Byte *>(p), n, [u](Byte b) { return b == u; });
}

QV_EXPORT std::uint64_t pqMemNScan(const void *p, std::uint64_t n, std::int32_t c) {
    const Byte u = low_byte(c);
    return scan(static_cast<const Byte *>(p), n, [u](Byte b) { return b != u; });
}

QV_EXPORT std::uint64_t pqMemTNScan(const std::uint32_t *p, std::uint64_t n, std::uint32_t c) {
    return scan(p, n, [c](std::uint32_t u) { return u != c; });
}

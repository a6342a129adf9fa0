// The canonical order of an aggregate's kept values. SQL gives the rows of a group no order unless
// the query asks for one, and an engine hands them to an aggregate in whatever order its threads,
// workers and plan produce. A statistic whose bits depend on the order of its values (a sum
// rounds at every step) is therefore computed over its values in one fixed order when the query
// gives none: ascending by the IEEE total order of their bit patterns, so -0 comes before +0, and
// the missing values (whose top 16 bits are all ones, negative NaNs) come first, in one fixed order
// (descending bit patterns). The same rows then give the same bits under every plan and thread count.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qvhost.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace qvsql {

// The host library's key of the canonical order, and the pattern back from it.
inline std::uint64_t canonical_key(std::uint64_t bits) noexcept { return qvh_canonical_key(bits); }
inline std::uint64_t canonical_bits(std::uint64_t key) noexcept { return qvh_canonical_bits(key); }

// Whether the order of xs[0..n) cannot change an order statistic's bits: no two values that
// compare equal with different bits (+0 and -0 are the only such numbers), and no two different
// missing values. An order statistic (a median, a percentile, a rank) sets the missing values
// aside wherever they stand, and is then a function of the values alone, since every value it may
// read is the same bits in every order; when this is so the sort is skipped. The engines' NULL is
// one missing value ('.'), so NULLs never call for the sort.
inline bool order_free(const double *xs, std::size_t n) noexcept {
    bool plus_zero = false, minus_zero = false;
    std::uint64_t missing = 0;  // the bits of the missing values seen (0: none yet)
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t u;
        std::memcpy(&u, xs + i, sizeof u);
        if ((u >> 48) == 0xFFFF) {
            if (missing != 0 && u != missing) return false;
            missing = u;
        }
        plus_zero |= u == 0;
        minus_zero |= u == std::uint64_t{1} << 63;
    }
    return !(plus_zero && minus_zero);
}

// A median, a percentile, a rank or an extreme: its bits depend on the order of its values only
// where values that compare equal differ in their bits (order_free).
inline bool order_statistic(const qvh_info &f) noexcept {
    return std::strcmp(f.family, "Order statistics") == 0 || f.fold == QVH_FOLD_EXTREME || f.fold == QVH_FOLD_RANGE;
}

// Whether every sum of xs[0..n) in any order is exact, so that SUM and MEAN (a sum from the first
// present value, over the count) give the same bits in every order: the present values are finite
// multiples of one power of two 2^g (integers, for one) whose magnitudes add up to less than
// 2^(53+g), so that every partial sum is a multiple of 2^g with at most 53 significant bits. The
// sum of the magnitudes, added in this order, is itself exact while it stays below that bound, and
// once it reaches it (rounded or not) it stays there. Zeros of both signs are left to the sort: the
// mean of equal values is the first one. Missing values add nothing.
inline bool sum_order_free(const double *xs, std::size_t n) noexcept {
    int g = 1024;  // the exponent of the largest power of two every present value is a multiple of
    double bound = HUGE_VAL, total = 0.0;
    bool plus_zero = false, minus_zero = false;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t u;
        std::memcpy(&u, xs + i, sizeof u);
        if ((u >> 48) == 0xFFFF) continue;  // a missing value
        const int e = static_cast<int>((u >> 52) & 0x7FF);
        const std::uint64_t m = u & ((std::uint64_t{1} << 52) - 1);
        if (e == 0x7FF) return false;  // an infinity or a NaN
        if (e == 0 && m == 0) {
            (u >> 63 ? minus_zero : plus_zero) = true;
            continue;
        }
        const std::uint64_t sig = e == 0 ? m : m | (std::uint64_t{1} << 52);
        const int low = (e == 0 ? -1074 : e - 1075) + std::countr_zero(sig);
        if (low < g) {
            g = low;
            bound = std::ldexp(1.0, 53 + g);
        }
        total += std::fabs(xs[i]);
        if (!(total < bound)) return false;
    }
    return !(plus_zero && minus_zero);
}

// Whether f's result over xs[0..n) needs the values in the canonical order: unless f is an order
// statistic whose values could not tell, or a sum or mean whose every sum is exact.
inline bool needs_order(const qvh_info &f, const double *xs, std::size_t n) noexcept {
    if (f.fold == QVH_FOLD_SUM || f.fold == QVH_FOLD_MEAN) return !sum_order_free(xs, n);
    return !order_statistic(f) || !order_free(xs, n);
}

// The values from which a radix sort of 11-bit digits pays for its counting tables (96 KiB), and
// from which one of 8-bit digits (8 KiB) is faster than a comparison sort.
constexpr std::size_t RADIX_FROM = 4096;
constexpr std::size_t SMALL_RADIX_FROM = 192;

namespace radix {

// This thread's T, found by a call the compiler cannot see into: in a library loaded at run time
// each look at a thread-local object is a call of the C library, which GCC would otherwise repeat
// inside a loop rather than keep the address in a register.
template <class T>
[[gnu::noinline]] T &thread_own() noexcept {
    alignas(64) static thread_local T t;
    return t;
}

// One pass: from[0..n) to `to` by the digit at shift, at[] holding where each digit's words go.
// The first pass over double bit patterns reads them as keys (KEY_IN) and the last writes the
// patterns back (BITS_OUT), so that no pass of its own turns them into keys and back.
template <int BITS, bool KEY_IN, bool BITS_OUT, class Count>
inline void scatter(const std::uint64_t *from, std::uint64_t *to, std::size_t n, int shift, Count *at) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t key = KEY_IN ? canonical_key(from[k]) : from[k];
        to[at[(key >> shift) & ((1u << BITS) - 1)]++] = BITS_OUT ? canonical_bits(key) : key;
    }
}

// The same pass over words far more than the caches hold, on x86-64: each digit's words gather in a
// 64-byte buffer laid out as the line of `to` they go to, and a full line goes out in one
// non-temporal store, which writes it without reading it first and keeps the digits' thousands of
// lines from evicting one another (about 40% off a pass over 10^7 words). A line that a digit
// shares with its neighbour is written word by word.
#if defined(__x86_64__)
constexpr std::size_t LINES_FROM = std::size_t{1} << 16;
template <int BITS, bool KEY_IN, bool BITS_OUT, class Count>
inline void scatter_lines(const std::uint64_t *from, std::uint64_t *to, std::size_t n, int shift, Count *at) noexcept {
    constexpr int DIGITS = 1 << BITS;
    struct Buffers {
        std::uint64_t line[DIGITS][8];
        Count start[DIGITS];
    };
    Buffers &b = thread_own<Buffers>();
    auto &line = b.line;
    auto &start = b.start;
    std::memcpy(start, at, sizeof start);
    // Where to[p] falls in its line: slot (p + off) & 7.
    const auto off = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(to) / sizeof *to);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t key = KEY_IN ? canonical_key(from[k]) : from[k];
        const auto d = static_cast<std::size_t>((key >> shift) & (DIGITS - 1));
        const std::size_t p = at[d]++, slot = (p + off) & 7;
        line[d][slot] = BITS_OUT ? canonical_bits(key) : key;
        if (slot != 7) continue;
        if (p - 7 >= start[d] && p >= 7) {
            auto *dst = reinterpret_cast<__m128i *>(to + p - 7);
            const auto *src = reinterpret_cast<const __m128i *>(line[d]);
            for (int q = 0; q < 4; ++q) _mm_stream_si128(dst + q, _mm_load_si128(src + q));
        } else {
            for (std::size_t q = start[d]; q <= p; ++q) to[q] = line[d][(q + off) & 7];
        }
    }
    for (std::size_t d = 0; d < DIGITS; ++d) {
        const std::size_t end = at[d], first = end - ((end + off) & 7);  // the start of the last line
        for (std::size_t q = first > start[d] && end >= ((end + off) & 7) ? first : start[d]; q < end; ++q)
            to[q] = line[d][(q + off) & 7];
    }
    _mm_sfence();
}
#endif

template <bool PATTERNS, int BITS = 11, class Count = std::size_t, int DROP = 0>
void sort_words(std::uint64_t *words, std::uint64_t *scratch, std::size_t n) noexcept;

// Finishes the sort of keys[0..n), in order by their bits from bit low up: each run of keys that
// share those bits is sorted by the bits below, a long one by a radix sort in scratch (room for n
// keys), and (PATTERNS) the keys become the double bit patterns they stand for, in one pass.
template <bool PATTERNS>
inline void finish_runs(std::uint64_t *keys, std::uint64_t *scratch, std::size_t n, int low) noexcept {
    for (std::size_t i = 0; i < n;) {
        const std::uint64_t high = keys[i] >> low;
        std::size_t j = i + 1;
        while (j < n && keys[j] >> low == high) ++j;
        if (j - i >= RADIX_FROM) sort_words<false>(keys + i, scratch, j - i);
        else if (j - i > 1) std::sort(keys + i, keys + j);
        if (PATTERNS)
            for (std::size_t k = i; k < j; ++k) keys[k] = canonical_bits(keys[k]);
        i = j;
    }
}

// Sorts words[0..n), keys or (PATTERNS) double bit patterns by their keys, by a
// least-significant-digit radix sort of BITS-bit digits, using scratch (room for n words); Count
// holds n. The words are counted for every digit that may get a pass in one read, which also finds
// the bits in which any word differs from the first; a digit that every word shares (the top ones,
// for values of one sign and a few binades) moves nothing, and its pass is skipped. With
// DROP, the lowest DROP digits get no pass of their own where a higher digit moves: the words are
// sorted by the higher digits, and the runs that share them (few and short where the values spread
// over a wider range than the dropped bits span) are finished by finish_runs, one pass that reads
// the words in order instead of DROP passes that scatter them.
template <bool PATTERNS, int BITS, class Count, int DROP>
inline void sort_words(std::uint64_t *words, std::uint64_t *scratch, std::size_t n) noexcept {
    constexpr int DIGITS = 1 << BITS, PASSES = (64 + BITS - 1) / BITS;
    if (n == 0) return;
    using Tables = Count[PASSES][DIGITS];
    Tables &counts = thread_own<Tables>();
    const std::uint64_t first = PATTERNS ? canonical_key(words[0]) : words[0];
    // The digits from DROP up are counted in the one read; below, only whether any word differs
    // from the first there (diff), and they are counted by a read of their own only where no higher
    // digit moves a word (the words then get a pass for each of them).
    std::uint64_t diff = 0;
    std::memset(counts[DROP], 0, sizeof(Count) * DIGITS * (PASSES - DROP));
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t key = PATTERNS ? canonical_key(words[k]) : words[k];
        diff |= key ^ first;
#pragma GCC unroll 8
        for (int p = DROP; p < PASSES; ++p) ++counts[p][(key >> (p * BITS)) & (DIGITS - 1)];
    }
    auto moves = [&](int p) { return ((diff >> (p * BITS)) & (DIGITS - 1)) != 0; };
    int last = -1, low = 0;  // the last pass that moves a word; the first pass made
    for (int p = 0; p < PASSES; ++p)
        if (moves(p)) last = p;
    if (last >= DROP) {
        for (int p = 0; p < DROP; ++p)
            if (moves(p)) low = DROP;
    } else if (last >= 0) {
        std::memset(counts, 0, sizeof(Count) * DIGITS * DROP);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint64_t key = PATTERNS ? canonical_key(words[k]) : words[k];
#pragma GCC unroll 8
            for (int p = 0; p < DROP; ++p) ++counts[p][(key >> (p * BITS)) & (DIGITS - 1)];
        }
    }
    std::uint64_t *from = words, *to = scratch;
    bool keys = !PATTERNS;  // whether from holds keys rather than patterns
    for (int p = low; p <= last; ++p) {
        Count *at = counts[p];
        if (!moves(p)) continue;
        Count sum = 0;
        for (int d = 0; d < DIGITS; ++d) {
            const Count c = at[d];
            at[d] = sum;
            sum += c;
        }
        const bool out = PATTERNS && p == last && low == 0;
        const int shift = p * BITS;
#if defined(__x86_64__)
        if (n >= LINES_FROM) {
            if (!keys) out ? scatter_lines<BITS, true, true>(from, to, n, shift, at) : scatter_lines<BITS, true, false>(from, to, n, shift, at);
            else out ? scatter_lines<BITS, false, true>(from, to, n, shift, at) : scatter_lines<BITS, false, false>(from, to, n, shift, at);
            keys = !out;
            std::swap(from, to);
            continue;
        }
#endif
        if (!keys) out ? scatter<BITS, true, true>(from, to, n, shift, at) : scatter<BITS, true, false>(from, to, n, shift, at);
        else out ? scatter<BITS, false, true>(from, to, n, shift, at) : scatter<BITS, false, false>(from, to, n, shift, at);
        keys = !out;
        std::swap(from, to);
    }
    if (from != words) std::memcpy(words, from, n * sizeof *words);
    if (low > 0) finish_runs<PATTERNS>(words, scratch, n, low * BITS);
}

}  // namespace radix

// Sorts keys[0..n) ascending (radix::sort_words), using scratch (room for n keys).
inline void radix_sort_keys(std::uint64_t *keys, std::uint64_t *scratch, std::size_t n) noexcept {
    radix::sort_words<false>(keys, scratch, n);
}

// The values as at most MERGED_RUNS runs already in the canonical order (partial states each put
// in order where they were made, a parallel worker's, joined end to end) are merged rather than
// sorted: a pass that finds the runs, one that turns the patterns into keys, a merge pass per
// halving of the runs (ping-ponging with scratch), one back. False, with nothing changed, for
// more runs. first: where the first run ends.
constexpr std::size_t MERGED_RUNS = 8;
inline bool merge_runs(std::uint64_t *words, std::uint64_t *scratch, std::size_t n, std::size_t first) noexcept {
    std::size_t ends[MERGED_RUNS];
    std::size_t runs = 0;
    ends[runs++] = first;
    std::uint64_t last = canonical_key(words[first]);
    for (std::size_t i = first + 1; i < n; ++i) {
        const std::uint64_t k = canonical_key(words[i]);
        if (k < last) {
            if (runs == MERGED_RUNS) return false;
            ends[runs++] = i;
        }
        last = k;
    }
    if (runs == MERGED_RUNS) return false;
    ends[runs++] = n;
    for (std::size_t i = 0; i < n; ++i) words[i] = canonical_key(words[i]);
    std::uint64_t *from = words, *to = scratch;
    while (runs > 1) {
        std::size_t begin = 0, kept = 0;
        for (std::size_t r = 0; r < runs; r += 2) {
            const std::size_t mid = ends[r], end = r + 1 < runs ? ends[r + 1] : mid;
            std::merge(from + begin, from + mid, from + mid, from + end, to + begin);
            ends[kept++] = end;
            begin = end;
        }
        runs = kept;
        std::swap(from, to);
    }
    for (std::size_t i = 0; i < n; ++i) words[i] = canonical_bits(from[i]);
    return true;
}

// Sorts xs[0..n) into the canonical order. With scratch (room for n keys) and at least RADIX_FROM
// values it is a radix sort of their bit patterns by their keys in 11-bit digits, the lowest two
// left to finish_runs; from SMALL_RADIX_FROM to RADIX_FROM values, one in 8-bit digits with the
// thread's own scratch, the lowest four left to finish_runs; fewer values, or many without
// scratch, are sorted in place by their keys.
// No memory is asked for but scratch. Values already in the canonical order are left as they are.
inline void canonical_sort(double *xs, std::size_t n, std::uint64_t *scratch = nullptr) noexcept {
    static_assert(sizeof(double) == sizeof(std::uint64_t));
    auto key = [&](std::size_t i) {
        std::uint64_t u;
        std::memcpy(&u, xs + i, sizeof u);
        return canonical_key(u);
    };
    std::size_t i = 1;
    while (i < n && key(i - 1) <= key(i)) ++i;
    if (i >= n) return;
    // The same storage holds the patterns and keys while they are sorted: doubles and 64-bit
    // integers share size and alignment.
    auto *words = static_cast<std::uint64_t *>(static_cast<void *>(xs));
    if (scratch != nullptr && n >= RADIX_FROM && merge_runs(words, scratch, n, i)) return;
    if (scratch != nullptr && n >= RADIX_FROM) {
        radix::sort_words<true, 11, std::size_t, 2>(words, scratch, n);
        return;
    }
    if (n >= SMALL_RADIX_FROM && n < RADIX_FROM) {
        static thread_local std::uint64_t room[RADIX_FROM];
        radix::sort_words<true, 8, std::uint32_t, 4>(words, room, n);
        return;
    }
    for (std::size_t k = 0; k < n; ++k) words[k] = key(k);
    std::sort(words, words + n);
    for (std::size_t k = 0; k < n; ++k) words[k] = canonical_bits(words[k]);
}

}  // namespace qvsql

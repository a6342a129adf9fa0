// The canonical order of an aggregate's kept values. SQL gives the rows of a group no order unless
// the query asks for one, and an engine hands them to an aggregate in whatever order its threads,
// workers and plan produce. A statistic whose bits depend on the order of its values (a sum
// rounds at every step) is therefore computed over its values in one fixed order when the query
// gives none: ascending by the IEEE total order of their bit patterns, so -0 comes before +0, and
// the missing values (whose top 16 bits are all ones, negative NaNs) come first, in the order of
// their codes. The same rows then give the same bits under every plan and thread count.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qvsql {

// A key whose unsigned order is the total order of the doubles: a negative pattern has every bit
// flipped, a positive one its sign bit set.
constexpr std::uint64_t canonical_key(std::uint64_t bits) noexcept {
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}
constexpr std::uint64_t canonical_bits(std::uint64_t key) noexcept {
    return (key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key;
}

// Sorts xs[0..n) into the canonical order, in place and without asking for memory: the values
// become their keys, the keys are sorted as integers, and turned back.
inline void canonical_sort(double *xs, std::size_t n) noexcept {
    static_assert(sizeof(double) == sizeof(std::uint64_t));
    auto *keys = reinterpret_cast<unsigned char *>(xs);
    auto at = [&](std::size_t i) {
        std::uint64_t u;
        std::memcpy(&u, keys + i * sizeof u, sizeof u);
        return u;
    };
    auto put = [&](std::size_t i, std::uint64_t u) { std::memcpy(keys + i * sizeof u, &u, sizeof u); };
    for (std::size_t i = 0; i < n; ++i) put(i, canonical_key(at(i)));
    // The same storage, now read as integers: doubles and 64-bit integers share size and alignment.
    auto *ints = static_cast<std::uint64_t *>(static_cast<void *>(xs));
    std::sort(ints, ints + n);
    for (std::size_t i = 0; i < n; ++i) put(i, canonical_bits(at(i)));
}

}  // namespace qvsql

// The aggregate states this extension set up and has not destroyed, by the address DuckDB gave
// each when it set it up.
//
// DuckDB's constant-state paths (ORDER BY inside an aggregate's call, OVER ()) hand update one
// state for many rows, with whatever lies past it in DuckDB's vector as the states of the others.
// Update finds each state's group here by its address alone and never reads DuckDB's memory at an
// address it did not find: an address that is no state is refused, and one that happens to be a
// state this extension set up leads to that state's group on this extension's heap, never to
// freed memory. The table is spread over shards so that threads rarely wait for one another, and
// each shard is an open-addressing table of group pointers, up to 7/8 full: 9 to 18 bytes a state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <tuple>
#include <vector>

#include "qvhost.h"

namespace qvduck {

struct Function;

// What every group on this extension's heap begins with; DuckDB's state holds only the pointer to
// it. What follows depends on the statistic (groups.hpp): a count, two extremes, or the values.
struct Group {
    std::uintptr_t home;   // the state's address when it was set up: its key in the table
    std::uint32_t count;   // the values kept, or the letter of a missing value (groups.hpp)
    std::uint16_t number;  // the function's number, for destroy, which DuckDB calls without it
    std::uint8_t room;     // the size of the block, as groups.cpp measures it
    std::uint8_t flags;
};
static_assert(sizeof(Group) == 16);

// The groups by the address their state had when set up (Group::home): an open-addressing table
// with linear probing, 8 bytes a slot. A slot holds the group's pointer (aligned to 16 by the
// allocator) with 4 bits of the address's hash in its low bits, so a probe reads a group only when
// those bits match; 0 is an empty slot and 1 a slot whose group was erased.
class AddressMap {
public:
    Group *find(std::uintptr_t p) const {
        if (slots_.empty()) return nullptr;
        const std::uintptr_t t = tag(p);
        for (std::size_t i = slot(p);; i = next(i)) {
            const std::uintptr_t v = slots_[i];
            if (v == EMPTY) return nullptr;
            if ((v & TAG) == t && v != GONE && group(v)->home == p) return group(v);
        }
    }
    // Puts g at its address, in place of a group left there (one DuckDB never destroyed).
    void insert(Group *g) {
        if ((used_ + 1) * 8 > slots_.size() * 7) rehash();
        const std::uintptr_t t = tag(g->home), v = reinterpret_cast<std::uintptr_t>(g) | t;
        std::size_t free = slots_.size();
        for (std::size_t i = slot(g->home);; i = next(i)) {
            const std::uintptr_t s = slots_[i];
            if (s == GONE && free == slots_.size()) free = i;
            if ((s & TAG) == t && s != GONE && s != EMPTY && group(s)->home == g->home) {
                slots_[i] = v;
                return;
            }
            if (s != EMPTY) continue;
            if (free == slots_.size()) {
                free = i;
                ++used_;
            }
            slots_[free] = v;
            ++size_;
            return;
        }
    }
    // Erases the group at p when it is g (any group when g is null).
    void erase(std::uintptr_t p, const Group *g) noexcept {
        if (slots_.empty()) return;
        const std::uintptr_t t = tag(p);
        for (std::size_t i = slot(p);; i = next(i)) {
            const std::uintptr_t v = slots_[i];
            if (v == EMPTY) return;
            if ((v & TAG) == t && v != GONE && group(v)->home == p) {
                if (g == nullptr || group(v) == g) {
                    slots_[i] = GONE;
                    --size_;
                }
                return;
            }
        }
    }
    // The group at p moved from old to now (its block grew): the slot is found by the pointer
    // alone, since old is no longer there to be read.
    void replace(std::uintptr_t p, const Group *old, Group *now) noexcept {
        if (slots_.empty()) return;
        for (std::size_t i = slot(p);; i = next(i)) {
            const std::uintptr_t v = slots_[i];
            if (v == EMPTY) return;
            if (v != GONE && group(v) == old) {
                slots_[i] = reinterpret_cast<std::uintptr_t>(now) | tag(p);
                return;
            }
        }
    }
    void clear() noexcept {
        std::vector<std::uintptr_t>().swap(slots_);
        used_ = size_ = 0;
        shift_ = 64;
    }

private:
    static constexpr std::uintptr_t EMPTY = 0, GONE = 1, TAG = 15;
    static Group *group(std::uintptr_t v) { return reinterpret_cast<Group *>(v & ~TAG); }
    static std::uint64_t hash(std::uintptr_t p) { return (static_cast<std::uint64_t>(p) >> 3) * 0x9E3779B97F4A7C15ULL; }
    // 4 bits of the hash below the ones that choose the slot (never all of them: see slot()).
    std::uintptr_t tag(std::uintptr_t p) const { return (hash(p) >> 20) & TAG; }
    std::size_t next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }
    // Fibonacci hashing: the top bits of the address times 2^64 / phi, which spreads aligned
    // addresses that share their low bits (as the addresses of one shard do).
    std::size_t slot(std::uintptr_t p) const { return static_cast<std::size_t>(hash(p) >> shift_); }
    // Twice the room when the table is more than 5/8 full, else the same room without the gone.
    void rehash() {
        const std::size_t room = slots_.empty() ? 16 : size_ * 8 >= slots_.size() * 5 ? slots_.size() * 2 : slots_.size();
        std::vector<std::uintptr_t> old(room, EMPTY);
        old.swap(slots_);
        shift_ = 64;
        for (std::size_t n = room; n > 1; n >>= 1) --shift_;
        used_ = size_ = 0;
        for (std::uintptr_t v : old)
            if (v != EMPTY && v != GONE) insert(group(v));
    }
    std::vector<std::uintptr_t> slots_;
    unsigned shift_ = 64;   // 64 - log2 of the number of slots
    std::size_t used_ = 0;  // slots not empty
    std::size_t size_ = 0;  // groups held
};

struct StateTable {
    std::uint16_t number = 0;  // the function's number in the groups (groups.cpp)
    struct Shard {
        std::mutex mutex;
        AddressMap map;
    };
    std::array<Shard, 64> shards;

    static std::size_t shard_of(std::uintptr_t p) { return (p >> 4) % std::tuple_size_v<decltype(shards)>; }
    Shard &shard(std::uintptr_t p) { return shards[shard_of(p)]; }
    void add(Group *g) {
        Shard &s = shard(g->home);
        std::lock_guard lock(s.mutex);
        s.map.insert(g);
    }
    Group *find(std::uintptr_t p) {
        Shard &s = shard(p);
        std::lock_guard lock(s.mutex);
        return s.map.find(p);
    }
    // find of keys[0..n) into groups[0..n), each shard locked once: the states of a chunk's rows.
    void find_all(const std::uintptr_t *keys, std::size_t n, Group **groups) {
        std::array<std::uint32_t, std::tuple_size_v<decltype(shards)> + 1> at{};
        for (std::size_t i = 0; i < n; ++i) ++at[shard_of(keys[i]) + 1];
        for (std::size_t k = 1; k < at.size(); ++k) at[k] += at[k - 1];
        std::vector<std::uint32_t> order(n);
        for (std::size_t i = 0; i < n; ++i) order[at[shard_of(keys[i])]++] = static_cast<std::uint32_t>(i);
        for (std::size_t k = 0, i = 0; k < shards.size(); ++k) {
            if (i == at[k]) continue;
            std::lock_guard lock(shards[k].mutex);
            for (; i < at[k]; ++i) groups[order[i]] = shards[k].map.find(keys[order[i]]);
        }
    }
    void remove(std::uintptr_t p, const Group *g) noexcept {
        Shard &s = shard(p);
        std::lock_guard lock(s.mutex);
        s.map.erase(p, g);
    }
    // Moves the group at p from old to the block resize() gives (null: it stays at old).
    template <class Resize>
    Group *move(std::uintptr_t p, const Group *old, Resize &&resize) {
        Shard &s = shard(p);
        std::lock_guard lock(s.mutex);
        Group *now = resize();
        if (now != nullptr && now != old) s.map.replace(p, old, now);
        return now;
    }
    // Forgets every state. After DuckDB handed rows without states, the statement ends with an
    // error, and DuckDB does not destroy every state of it; their groups are left to it (it may
    // still destroy them) but are no longer found. A statement running at the same time with
    // this function then stops with the same error.
    void forget_all() noexcept {
        for (Shard &s : shards) {
            std::lock_guard lock(s.mutex);
            s.map.clear();
        }
    }
};

}  // namespace qvduck

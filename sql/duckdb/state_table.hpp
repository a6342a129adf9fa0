// The aggregate states this extension set up and has not destroyed, by the address DuckDB gave
// each when it set it up.
//
// DuckDB's constant-state paths (ORDER BY inside an aggregate's call, OVER ()) hand update one
// state for many rows, with whatever lies past it in DuckDB's vector as the states of the others.
// Update finds each state's group here by its address alone and never reads DuckDB's memory at an
// address it did not find: an address that is no state is refused, and one that happens to be a
// state this extension set up leads to that state's group on this extension's heap, never to
// freed memory. The table is spread over shards so that threads rarely wait for one another, and
// each shard is an open-addressing table of group pointers: about 16 bytes a state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "qvhost.h"

namespace qvduck {

struct Function;

// Values a group holds inside itself (the allocator's block for the group has room for two).
constexpr std::uint32_t INSIDE = 2;

// A group's values, on this extension's heap; DuckDB's state holds only the pointer to it.
struct Group {
    Function *owner;  // for destroy, which DuckDB calls without the function
    std::uintptr_t home;  // the state's address when it was set up: its key in the table
    union {
        double *values;          // count values, when capacity > 0
        double inside[INSIDE];  // the values while there are at most INSIDE (capacity 0)
    };
    std::uint32_t count;
    std::uint32_t capacity;
    union {
        qvh_agg *folded;  // a fixed-state statistic: the values folded so far, or null
        double param;     // a statistic with a percentile or rank: it, when has_param
    };
    bool has_param;
};

// The groups by the address their state had when set up (Group::home; never 0 or 1, since states
// are aligned): an open-addressing table of group pointers with linear probing, 8 bytes a slot.
class AddressMap {
public:
    Group *find(std::uintptr_t p) const {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = slot(p);; i = next(i)) {
            if (slots_[i] == nullptr) return nullptr;
            if (slots_[i] != gone() && slots_[i]->home == p) return slots_[i];
        }
    }
    void insert(Group *g) {
        erase(g->home, nullptr);
        if ((used_ + 1) * 4 > slots_.size() * 3) rehash();
        std::size_t i = slot(g->home);
        while (slots_[i] != nullptr && slots_[i] != gone()) i = next(i);
        used_ += slots_[i] == nullptr;
        slots_[i] = g;
        ++size_;
    }
    // Erases the group at p when it is g (any group when g is null).
    void erase(std::uintptr_t p, const Group *g) noexcept {
        if (slots_.empty()) return;
        for (std::size_t i = slot(p);; i = next(i)) {
            if (slots_[i] == nullptr) return;
            if (slots_[i] != gone() && slots_[i]->home == p) {
                if (g == nullptr || slots_[i] == g) {
                    slots_[i] = gone();
                    --size_;
                }
                return;
            }
        }
    }
    void clear() noexcept {
        std::vector<Group *>().swap(slots_);
        used_ = size_ = 0;
    }

private:
    static Group *gone() { return reinterpret_cast<Group *>(std::uintptr_t{1}); }
    std::size_t next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }
    std::size_t slot(std::uintptr_t p) const {
        std::uint64_t h = p;
        h ^= h >> 31;
        h *= 0x9E3779B97F4A7C15ULL;
        h ^= h >> 29;
        return static_cast<std::size_t>(h) & (slots_.size() - 1);
    }
    // Twice the room when the table is more than half full, else the same room without the gone.
    void rehash() {
        const std::size_t room = slots_.empty() ? 16 : size_ * 2 >= slots_.size() ? slots_.size() * 2 : slots_.size();
        std::vector<Group *> old(room, nullptr);
        old.swap(slots_);
        used_ = size_ = 0;
        for (Group *g : old)
            if (g != nullptr && g != gone()) insert(g);
    }
    std::vector<Group *> slots_;
    std::size_t used_ = 0;  // slots not empty
    std::size_t size_ = 0;  // groups held
};

struct StateTable {
    struct Shard {
        std::mutex mutex;
        AddressMap map;
    };
    std::array<Shard, 64> shards;

    Shard &shard(std::uintptr_t p) { return shards[(p >> 4) % shards.size()]; }
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
    void remove(std::uintptr_t p, const Group *g) noexcept {
        Shard &s = shard(p);
        std::lock_guard lock(s.mutex);
        s.map.erase(p, g);
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

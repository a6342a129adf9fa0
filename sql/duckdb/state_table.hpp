// The aggregate states this extension set up and has not destroyed, by the address DuckDB gave
// each when it set it up.
//
// DuckDB's constant-state paths (ORDER BY inside an aggregate's call, OVER ()) hand update one
// state for many rows, with whatever lies past it in DuckDB's vector as the states of the others.
// Update finds each state's group here by its address alone and never reads DuckDB's memory at an
// address it did not find: an address that is no state is refused, and one that happens to be a
// state this extension set up leads to that state's group on this extension's heap, never to
// freed memory. The table is spread over shards so that threads rarely wait for one another, and
// each shard is an open-addressing map: about 32 bytes a state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qvduck {

struct Group;

// A map from addresses (never 0 or 1: states are aligned) to groups, with linear probing.
class AddressMap {
public:
    Group *find(std::uintptr_t p) const {
        if (keys_.empty()) return nullptr;
        for (std::size_t i = slot(p);; i = (i + 1) & (keys_.size() - 1)) {
            if (keys_[i] == p) return values_[i];
            if (keys_[i] == EMPTY) return nullptr;
        }
    }
    void insert(std::uintptr_t p, Group *g) {
        erase(p, nullptr);
        if ((used_ + 1) * 4 > keys_.size() * 3) rehash();
        std::size_t i = slot(p);
        while (keys_[i] != EMPTY && keys_[i] != GONE) i = (i + 1) & (keys_.size() - 1);
        used_ += keys_[i] == EMPTY;
        keys_[i] = p;
        values_[i] = g;
        ++size_;
    }
    // Erases p when it maps to g (any group when g is null).
    void erase(std::uintptr_t p, const Group *g) noexcept {
        if (keys_.empty()) return;
        for (std::size_t i = slot(p);; i = (i + 1) & (keys_.size() - 1)) {
            if (keys_[i] == EMPTY) return;
            if (keys_[i] == p) {
                if (g == nullptr || values_[i] == g) {
                    keys_[i] = GONE;
                    --size_;
                }
                return;
            }
        }
    }
    void clear() noexcept {
        std::vector<std::uintptr_t>().swap(keys_);
        std::vector<Group *>().swap(values_);
        used_ = size_ = 0;
    }

private:
    static constexpr std::uintptr_t EMPTY = 0, GONE = 1;
    std::size_t slot(std::uintptr_t p) const {
        std::uint64_t h = p;
        h ^= h >> 31;
        h *= 0x9E3779B97F4A7C15ULL;
        h ^= h >> 29;
        return static_cast<std::size_t>(h) & (keys_.size() - 1);
    }
    // Twice the room when the map is more than half full, else the same room without the gone.
    void rehash() {
        const std::size_t room = keys_.empty() ? 16 : size_ * 2 >= keys_.size() ? keys_.size() * 2 : keys_.size();
        std::vector<std::uintptr_t> keys(room, EMPTY);
        std::vector<Group *> values(room, nullptr);
        keys.swap(keys_);
        values.swap(values_);
        used_ = size_ = 0;
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys[i] != EMPTY && keys[i] != GONE) insert(keys[i], values[i]);
    }
    std::vector<std::uintptr_t> keys_;
    std::vector<Group *> values_;
    std::size_t used_ = 0;  // slots not EMPTY
    std::size_t size_ = 0;  // addresses held
};

struct StateTable {
    struct Shard {
        std::mutex mutex;
        AddressMap map;
    };
    std::array<Shard, 64> shards;

    Shard &shard(std::uintptr_t p) { return shards[(p >> 4) % shards.size()]; }
    void add(std::uintptr_t p, Group *g) {
        Shard &s = shard(p);
        std::lock_guard lock(s.mutex);
        s.map.insert(p, g);
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

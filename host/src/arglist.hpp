// Builds a FuncArgList the way the host does: a 40-byte header, 16-byte slots whose value
// pointers address doubles or CharValues, and the pool that serves scratch memory. The record
// is kept built; changing a value in place costs nothing more.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "memory.hpp"
#include "qvfnc.h"

namespace qvhost {

// Host-owned descriptor bits the package must never touch; set on every slot so that a stray
// write shows.
constexpr std::uint64_t HOST_FLAG_BITS = 0x5A5A000000000000ull;

class ArgList {
public:
    // The numbers and slots come from mem (the package's allocator, for a call).
    explicit ArgList(HostPool *pool = nullptr, const Memory &mem = Memory())
        : pool_(pool), numbers_(MemoryAllocator<double>(mem)), raw_(sizeof(FuncArgList) / 8, 0, MemoryAllocator<std::uint64_t>(mem)) {}
    ArgList(const ArgList &) = delete;
    ArgList &operator=(const ArgList &) = delete;

    ArgList &num(double x);
    // Appends n numbers at once, each made a legal value first by edge (a NaN that is no missing
    // value becomes '.'); all or nothing.
    template <class Edge>
    void nums(const double *xs, std::size_t n, Edge edge);
    ArgList &chr(std::u32string_view s);
    void reserve(std::size_t slots);
    // Replace the value of a slot, with a value of either kind.
    void set_num(std::size_t slot, double x) {
        numbers_[slot] = x;
        if (!(record()->args[slot].flags & FUNCARG_NUMERIC)) make_numeric(slot);
    }
    void set_chr(std::size_t slot, std::u32string_view s);
    void clear();
    void clear_marks();

    std::size_t size() const { return numbers_.size(); }
    FuncArgList *get();  // valid until the next num(), chr() or clear()

    bool numeric(std::size_t slot) const { return (flags(slot) & FUNCARG_NUMERIC) != 0; }
    double value(std::size_t slot) const { return numbers_[slot]; }
    // The numbers of the slots, where a numeric slot's value is stored.
    double *numbers() { return numbers_.data(); }
    const CharValue &char_value(std::size_t slot) const;
    std::uint64_t flags(std::size_t slot) const { return record()->args[slot].flags; }
    bool marked(std::size_t slot) const { return (flags(slot) & FUNCARG_INVALID) != 0; }

private:
    FuncArgList *record() { return reinterpret_cast<FuncArgList *>(raw_.data()); }
    const FuncArgList *record() const { return reinterpret_cast<const FuncArgList *>(raw_.data()); }
    void grow();
    void make_numeric(std::size_t slot);
    std::size_t store_chr(std::size_t slot, std::u32string_view s);

    HostPool *pool_;
    std::vector<double, MemoryAllocator<double>> numbers_;  // one per slot; a character slot's entry is unused
    std::deque<std::u32string> texts_;
    std::deque<CharValue> chars_;     // addressed by character slots; stable addresses
    std::unordered_map<std::size_t, std::size_t> char_of_;  // slot -> its entry in texts_, chars_
    std::vector<std::uint64_t, MemoryAllocator<std::uint64_t>> raw_;
    bool stale_ = false;              // numbers_ moved: the numeric value pointers need renewing
};

template <class Edge>
void ArgList::nums(const double *xs, std::size_t n, Edge edge) {
    const std::size_t old = numbers_.size();
    reserve(old + n);
    raw_.resize(sizeof(FuncArgList) / 8 + (old + n) * (sizeof(FuncArg) / 8));  // within the room reserved
    numbers_.resize(old + n);
    if (stale_) get();  // earlier slots point at the numbers' new place
    double *to = numbers_.data() + old;
    FuncArg *slot = record()->args + old;
    for (std::size_t i = 0; i < n; ++i) {
        to[i] = edge(xs[i]);
        slot[i].flags = HOST_FLAG_BITS | FUNCARG_NUMERIC;
        slot[i].value = &to[i];
    }
}

}  // namespace qvhost

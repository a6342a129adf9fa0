// Builds a FuncArgList the way the host does: a 40-byte header, 16-byte slots whose value
// pointers address doubles or CharValues, and the pool that serves scratch memory.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "qvfnc.h"

namespace qvhost {

// Host-owned descriptor bits the package must never touch; set on every slot so that a stray
// write shows.
constexpr std::uint64_t HOST_FLAG_BITS = 0x5A5A000000000000ull;

class ArgList {
public:
    explicit ArgList(HostPool *pool = nullptr) : pool_(pool) {}
    ArgList(const ArgList &) = delete;
    ArgList &operator=(const ArgList &) = delete;

    ArgList &num(double x);
    ArgList &chr(std::u32string_view s);
    void clear();

    std::size_t size() const { return kinds_.size(); }
    FuncArgList *get();  // valid until the next num(), chr() or clear()

    double value(std::size_t slot) const;
    const CharValue &char_value(std::size_t slot) const;
    std::uint64_t flags(std::size_t slot) const;
    bool marked(std::size_t slot) const { return (flags(slot) & FUNCARG_INVALID) != 0; }

private:
    HostPool *pool_;
    std::vector<bool> kinds_;  // true for numeric
    std::deque<double> numbers_;
    std::deque<std::u32string> texts_;
    std::deque<CharValue> chars_;
    std::vector<void *> values_;
    std::vector<std::uint64_t> raw_;  // the record itself
};

}  // namespace qvhost

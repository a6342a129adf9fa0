#include "arglist.hpp"

#include <algorithm>
#include <cstring>

namespace qvhost {

namespace {

constexpr std::size_t HEADER_WORDS = sizeof(FuncArgList) / 8;
constexpr std::size_t SLOT_WORDS = sizeof(FuncArg) / 8;

}  // namespace

void ArgList::reserve(std::size_t slots) {
    if (slots <= numbers_.capacity()) return;
    // At least doubling: arguments added one at a time move each value a bounded number of times.
    slots = std::max(slots, 2 * numbers_.capacity());
    stale_ = true;
    numbers_.reserve(slots);
    raw_.reserve(HEADER_WORDS + slots * SLOT_WORDS);
}

// Adds one slot to the record; the header is written when the first slot goes in. Room is made
// first, so a refused allocation leaves the list as it was.
void ArgList::grow() {
    if (numbers_.size() == numbers_.capacity()) reserve(numbers_.size() + 1);
    raw_.reserve(HEADER_WORDS + (numbers_.size() + 1) * SLOT_WORDS);
    numbers_.push_back(0.0);
    raw_.resize(HEADER_WORDS + numbers_.size() * SLOT_WORDS, 0);
}

// Keeps a copy of s for slot; all or nothing.
std::size_t ArgList::store_chr(std::size_t slot, std::u32string_view s) {
    texts_.emplace_back(s);
    try {
        CharValue cv{};
        cv.capacity = static_cast<std::uint16_t>(s.size());
        cv.length = static_cast<std::uint16_t>(s.size());
        std::memset(cv.host4, 0xA5, sizeof cv.host4);
        cv.chars = reinterpret_cast<std::uint32_t *>(texts_.back().data());
        chars_.push_back(cv);
        try {
            char_of_.emplace(slot, chars_.size() - 1);
        } catch (...) {
            chars_.pop_back();
            throw;
        }
    } catch (...) {
        texts_.pop_back();
        throw;
    }
    return chars_.size() - 1;
}

ArgList &ArgList::num(double x) {
    grow();
    const std::size_t slot = numbers_.size() - 1;
    numbers_[slot] = x;
    FuncArg &a = record()->args[slot];
    a.flags = HOST_FLAG_BITS | FUNCARG_NUMERIC;
    a.value = &numbers_[slot];
    return *this;
}

ArgList &ArgList::chr(std::u32string_view s) {
    const std::size_t slot = numbers_.size();
    const std::size_t k = store_chr(slot, s);
    try {
        grow();
    } catch (...) {
        char_of_.erase(slot);
        chars_.pop_back();
        texts_.pop_back();
        throw;
    }
    FuncArg &a = record()->args[slot];
    a.flags = HOST_FLAG_BITS;
    a.value = &chars_[k];
    return *this;
}

void ArgList::make_numeric(std::size_t slot) {
    FuncArg &a = record()->args[slot];
    a.flags |= FUNCARG_NUMERIC;
    a.value = &numbers_[slot];
}

void ArgList::set_chr(std::size_t slot, std::u32string_view s) {
    FuncArg &a = record()->args[slot];
    auto it = char_of_.find(slot);
    if (it == char_of_.end()) {
        const std::size_t k = store_chr(slot, s);
        a.flags &= ~FUNCARG_NUMERIC;
        a.value = &chars_[k];
        return;
    }
    // The slot keeps its own storage: a value changed on every row costs no memory.
    std::u32string &text = texts_[it->second];
    text.assign(s);
    a.flags &= ~FUNCARG_NUMERIC;
    CharValue &cv = chars_[it->second];
    cv.capacity = cv.length = static_cast<std::uint16_t>(s.size());
    cv.chars = reinterpret_cast<std::uint32_t *>(text.data());
    a.value = &cv;
}

void ArgList::clear() {
    numbers_.clear();
    texts_.clear();
    chars_.clear();
    char_of_.clear();
    raw_.assign(HEADER_WORDS, 0);
    stale_ = false;
}

void ArgList::clear_marks() {
    FuncArgList *list = record();
    for (std::size_t i = 0; i < numbers_.size(); ++i) list->args[i].flags &= ~FUNCARG_INVALID;
}

FuncArgList *ArgList::get() {
    FuncArgList *list = record();
    if (stale_) {
        for (std::size_t i = 0; i < numbers_.size(); ++i)
            if (list->args[i].flags & FUNCARG_NUMERIC) list->args[i].value = &numbers_[i];
        stale_ = false;
    }
    std::memset(list->host0, 0xC3, sizeof list->host0);
    std::memset(list->host24, 0x3C, sizeof list->host24);
    list->pool = pool_;
    list->count = static_cast<std::int64_t>(numbers_.size());
    return list;
}

const CharValue &ArgList::char_value(std::size_t slot) const {
    return *static_cast<const CharValue *>(record()->args[slot].value);
}

}  // namespace qvhost

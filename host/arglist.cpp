#include "arglist.hpp"

#include <cstring>

namespace qvhost {

ArgList &ArgList::num(double x) {
    numbers_.push_back(x);
    values_.push_back(&numbers_.back());
    kinds_.push_back(true);
    raw_.clear();
    return *this;
}

ArgList &ArgList::chr(std::u32string_view s) {
    texts_.emplace_back(s);
    CharValue cv{};
    cv.capacity = static_cast<std::uint16_t>(s.size());
    cv.length = static_cast<std::uint16_t>(s.size());
    std::memset(cv.host4, 0xA5, sizeof cv.host4);
    cv.chars = reinterpret_cast<std::uint32_t *>(texts_.back().data());
    chars_.push_back(cv);
    values_.push_back(&chars_.back());
    kinds_.push_back(false);
    raw_.clear();
    return *this;
}

void ArgList::clear() {
    kinds_.clear();
    numbers_.clear();
    texts_.clear();
    chars_.clear();
    values_.clear();
    raw_.clear();
}

FuncArgList *ArgList::get() {
    if (raw_.empty()) {
        const std::size_t n = kinds_.size();
        raw_.assign((sizeof(FuncArgList) + n * sizeof(FuncArg)) / sizeof(std::uint64_t), 0);
        auto *list = reinterpret_cast<FuncArgList *>(raw_.data());
        std::memset(list->host0, 0xC3, sizeof list->host0);
        std::memset(list->host24, 0x3C, sizeof list->host24);
        list->pool = pool_;
        list->count = static_cast<std::int64_t>(n);
        for (std::size_t i = 0; i < n; ++i) {
            list->args[i].flags = HOST_FLAG_BITS | (kinds_[i] ? FUNCARG_NUMERIC : 0);
            list->args[i].value = values_[i];
        }
    }
    return reinterpret_cast<FuncArgList *>(raw_.data());
}

double ArgList::value(std::size_t slot) const { return *static_cast<const double *>(values_[slot]); }

const CharValue &ArgList::char_value(std::size_t slot) const {
    return *static_cast<const CharValue *>(values_[slot]);
}

std::uint64_t ArgList::flags(std::size_t slot) const {
    const auto *list = reinterpret_cast<const FuncArgList *>(raw_.data());
    return raw_.empty() ? 0 : list->args[slot].flags;
}

}  // namespace qvhost

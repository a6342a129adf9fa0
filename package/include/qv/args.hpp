// A small view over FuncArgList: every list-form function reads its arguments through it and
// none does arithmetic on the raw record.
#pragma once

#include <cstdint>

#include "qv/values.hpp"

namespace qv {

class ArgView {
public:
    explicit ArgView(FuncArgList *list) : list_(list) {}

    // The count as the low 32 bits read as a signed integer, or as all 8 bytes.
    std::int32_t count32() const { return static_cast<std::int32_t>(static_cast<std::uint64_t>(list_->count)); }
    std::int64_t count64() const { return list_->count; }

    HostPool *pool() const { return list_->pool; }

    // Slot i (0-based) holds argument i + 1.
    double num(std::int64_t slot) const { return *static_cast<const double *>(list_->args[slot].value); }
    const double *num_ptr(std::int64_t slot) const { return static_cast<const double *>(list_->args[slot].value); }
    const CharValue &chr(std::int64_t slot) const { return *static_cast<const CharValue *>(list_->args[slot].value); }
    bool is_numeric(std::int64_t slot) const { return (list_->args[slot].flags & FUNCARG_NUMERIC) != 0; }
    const FuncArg *slots(std::int64_t first = 0) const { return list_->args + first; }

    // Sets FUNCARG_INVALID on the slot and nothing else.
    void mark_invalid(std::int64_t slot) const { list_->args[slot].flags |= FUNCARG_INVALID; }

    // Calls f(x, slot) for every present value of slots [first, end), first slot first.
    template <class F>
    void forward(std::int64_t first, std::int64_t end, F &&f) const {
        for (std::int64_t i = first; i < end; ++i) {
            const double x = num(i);
            if (!is_missing(x)) f(x, i);
        }
    }

    // Calls f(x, slot) for every present value of slots [first, end), last slot first.
    template <class F>
    void backward(std::int64_t first, std::int64_t end, F &&f) const {
        for (std::int64_t i = end - 1; i >= first; --i) {
            const double x = num(i);
            if (!is_missing(x)) f(x, i);
        }
    }

private:
    FuncArgList *list_;
};

// N (Missing false) and NMISS (true) of a list: the number of slots whose value is not, or is, a
// missing value. View is ArgView or a host's view of values in place with the same members.
template <bool Missing, class View>
std::int32_t count_missing(const View &v) {
    std::int32_t n = 0;
    for (std::int32_t i = 0; i < v.count32(); ++i) n += is_missing(v.num(i)) == Missing;
    return n;
}

// The value a slot's pointer designates, for code that walks FuncArg records directly.
inline double slot_value(const FuncArg &slot) { return *static_cast<const double *>(slot.value); }

}  // namespace qv

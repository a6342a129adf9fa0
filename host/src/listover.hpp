// An argument list over numbers kept elsewhere (an aggregate's values, a caller's array): only
// the record is made, in a block of the call's memory, and its slots address the numbers in
// place, so a call over millions of values copies none of them.
#pragma once

#include <cstring>

#include "arglist.hpp"
#include "memory.hpp"

namespace qvhost {

class ListOver {
public:
    // Room for n slots, and extra bytes after them (for copies of values); std::bad_alloc when
    // the memory is refused.
    ListOver(const Memory &m, HostPool *pool, std::size_t n, std::size_t extra = 0)
        : block_(m, bytes(n) + extra), list_(static_cast<FuncArgList *>(block_.get())) {
        std::memset(list_, 0, sizeof(FuncArgList));
        list_->pool = pool;
        list_->count = static_cast<std::int64_t>(n);
    }
    static constexpr std::size_t bytes(std::size_t n) { return sizeof(FuncArgList) + n * sizeof(FuncArg); }

    // The next slot addresses x, which must stay where it is until the call is made.
    void add(const double *x) { list_->args[next_++] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, const_cast<double *>(x)}; }
    // The extra bytes, aligned for doubles.
    double *extra() {
        return reinterpret_cast<double *>(static_cast<char *>(block_.get()) + bytes(static_cast<std::size_t>(list_->count)));
    }
    FuncArgList *get() { return list_; }
    bool marked(std::size_t slot) const { return (list_->args[slot].flags & FUNCARG_INVALID) != 0; }

private:
    Block block_;
    FuncArgList *list_;
    std::size_t next_ = 0;
};

}  // namespace qvhost

// Scratch memory: a fixed local buffer, or one block of exactly the bytes needed from the
// list's pool when the local buffer is too small. The destructor gives the block back, so no
// path leaks it; a refused block shows as ok() == false before any work starts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qvfnc.h"

namespace qv {

template <std::size_t LocalBytes>
class Scratch {
public:
    Scratch(HostPool *pool, std::uint64_t bytes) : pool_(pool) {
        if (bytes > LocalBytes) {
            block_ = pool->allocate(pool, bytes, 0);
            data_ = block_;
        } else {
            data_ = local_;
        }
    }
    ~Scratch() {
        if (block_ != nullptr) pool_->free(pool_, block_);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    bool ok() const { return data_ != nullptr; }
    template <class T>
    T *as() const { return static_cast<T *>(data_); }

private:
    HostPool *pool_;
    void *block_ = nullptr;
    void *data_ = nullptr;
    alignas(16) unsigned char local_[LocalBytes];
};

}  // namespace qv

// Memory of calls and aggregates: an allocator the host program may supply (a database's heap,
// an SQL aggregate's memory context), the package's scratch pool on top of it, and the values
// an aggregate keeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qvfnc.h"
#include "qvhost.h"

namespace qvhost {

// The size of the last request for memory this thread's Memory refused, kept so that an
// out-of-memory message can say how much was asked for: take_refused() returns it (0: none since
// the last take) and forgets it.
void note_refused(std::size_t n) noexcept;
std::size_t take_refused() noexcept;

// A qvh_allocator with the C library's malloc, realloc and free where none is given.
class Memory {
public:
    Memory() = default;
    explicit Memory(const qvh_allocator *a) {
        if (a != nullptr && a->alloc != nullptr && a->release != nullptr) a_ = *a;
    }
    void *alloc(std::size_t n) const noexcept;
    // The block grown or shrunk with its contents, or null with the block unchanged.
    void *resize(void *p, std::size_t old_n, std::size_t n) const noexcept;
    void release(void *p, std::size_t n) const noexcept;
    // alloc, or std::bad_alloc.
    void *take(std::size_t n) const;

private:
    qvh_allocator a_{};  // alloc null: the C library's
};

// A block of n bytes from a Memory, given back when it goes.
class Block {
public:
    Block(const Memory &m, std::size_t n) : mem_(m), n_(n), p_(m.take(n)) {}
    ~Block() { mem_.release(p_, n_); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    void *get() const { return p_; }

private:
    const Memory &mem_;
    std::size_t n_;
    void *p_;
};

// The HostPool a call hands the package for scratch memory. Blocks come from a Memory; blocks the
// package has not given back are given back when the pool goes.
//
// Blocks the package gives back are kept (at most KEPT of them) and handed out again for a request
// they can hold, so a call repeated over the same number of values touches no fresh page; trim()
// gives them back to the Memory.
class MemoryPool {
public:
    explicit MemoryPool(const Memory &m);
    ~MemoryPool();
    MemoryPool(const MemoryPool &) = delete;
    MemoryPool &operator=(const MemoryPool &) = delete;
    HostPool *host() { return &base_; }
    void trim() noexcept;

private:
    static constexpr int KEPT = 4;
    struct Head {
        Head *prev, *next;
        std::uint64_t size;  // what the package asked for
        std::uint64_t room;  // what the block holds; also keeps the block behind the head aligned to 16 bytes
    };
    static MemoryPool *of(HostPool *pool);
    static void do_destroy(HostPool *pool);
    static void *do_allocate(HostPool *pool, std::uint64_t size, std::uint32_t flags);
    static void do_free(HostPool *pool, void *block);
    Head *take_kept(std::uint64_t size) noexcept;
    void release_all();

    HostPool base_{};
    Memory mem_;
    Head list_{&list_, &list_, 0, 0};
    Head *kept_[KEPT] = {};
};

// Bytes kept from one call to the next (an argument list laid out again and again): grown when a
// call needs more, given back by release().
class WarmBlock {
public:
    explicit WarmBlock(const Memory &m) : mem_(m) {}
    ~WarmBlock() { release(); }
    WarmBlock(const WarmBlock &) = delete;
    WarmBlock &operator=(const WarmBlock &) = delete;
    // At least n bytes, their contents undefined; null when the memory is refused (the block kept
    // so far stays).
    void *reserve(std::size_t n) noexcept;
    void release() noexcept;
    void *get() const { return p_; }

private:
    Memory mem_;
    void *p_ = nullptr;
    std::size_t n_ = 0;
};

// The values an aggregate keeps, in the order added, 8 bytes each: chunks from a Memory whose size
// follows the number of values held, so a window of three values holds one small chunk and ten
// million values about 140 chunks. Values leave at the front only.
class ValueStore {
public:
    explicit ValueStore(const Memory &m) : mem_(m) {}
    ~ValueStore() { clear(); }
    ValueStore(const ValueStore &) = delete;
    ValueStore &operator=(const ValueStore &) = delete;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Makes room for n more values, so that the next n push_backs cannot fail. False when the
    // memory is refused (nothing changes).
    bool reserve(std::size_t n) noexcept;
    // False when the memory is refused (nothing changes).
    bool push_back(double x) noexcept;
    void pop_front() noexcept;
    void clear() noexcept;
    void swap(ValueStore &other) noexcept;

    // Calls f(const double &) for the values [begin, end), in order.
    template <class F>
    void each(std::size_t begin, std::size_t end, F &&f) const {
        std::size_t at = 0;
        for (const Chunk *c = head_; c != nullptr && at < end; c = c->next) {
            const std::size_t n = c->end - c->begin;
            if (at + n > begin) {
                const std::size_t from = begin > at ? begin - at : 0;
                const std::size_t to = end - at < n ? end - at : n;
                for (std::size_t i = from; i < to; ++i) f(c->values()[c->begin + i]);
            }
            at += n;
        }
    }

private:
    struct Chunk {
        Chunk *next;
        std::uint32_t begin, end, room;  // values [begin, end) of room are held
        std::uint32_t unused;
        double *values() { return reinterpret_cast<double *>(this + 1); }
        const double *values() const { return reinterpret_cast<const double *>(this + 1); }
    };
    static std::size_t bytes(std::uint32_t room) { return sizeof(Chunk) + room * sizeof(double); }
    // A new empty chunk for a store holding about held values, or null.
    Chunk *new_chunk(std::size_t held) const noexcept;

    Memory mem_;
    // Chunks in order: head_ holds the first value, tail_ takes the next one, and the chunks after
    // tail_ up to last_ are empty room made by reserve.
    Chunk *head_ = nullptr, *tail_ = nullptr, *last_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace qvhost

#include "memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace qvhost {

// ---- Memory ----------------------------------------------------------------------------------

namespace {
thread_local std::size_t refused = 0;
}  // namespace

void note_refused(std::size_t n) noexcept { refused = n; }

std::size_t take_refused() noexcept {
    const std::size_t n = refused;
    refused = 0;
    return n;
}

namespace {

// Large blocks (an argument list of millions of values, the package's copy of them) are written
// through once right after they are taken: where the system allows, huge pages back them, which
// saves most of the page faults of a first call (on a virtual machine a first touch of a page costs
// more than selecting the median on it). Only the whole huge pages inside the block are advised;
// the advice is a hint, so a system without huge pages or a block that is not anonymous memory
// simply ignores it.
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t ADVISED = std::size_t{4} << 20;

void *advised(void *p, std::size_t n) noexcept {
    qvh_advise_large(p, n);
    return p;
}

}  // namespace

void *Memory::alloc(std::size_t n) const noexcept {
    void *p = a_.alloc != nullptr ? a_.alloc(a_.ctx, n) : std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) note_refused(n);
    return advised(p, n);
}

void *Memory::resize(void *p, std::size_t old_n, std::size_t n) const noexcept {
    void *q = nullptr;
    if (a_.alloc == nullptr) {
        q = std::realloc(p, n == 0 ? 1 : n);
    } else if (a_.resize != nullptr) {
        q = a_.resize(a_.ctx, p, old_n, n);
    } else {
        q = a_.alloc(a_.ctx, n);
        if (q != nullptr) {
            std::memcpy(q, p, std::min(old_n, n));
            a_.release(a_.ctx, p, old_n);
        }
    }
    if (q == nullptr) note_refused(n);
    return advised(q, n);
}

void Memory::release(void *p, std::size_t n) const noexcept {
    if (p == nullptr) return;
    if (a_.alloc != nullptr) a_.release(a_.ctx, p, n);
    else std::free(p);
}

void *Memory::take(std::size_t n) const {
    void *p = alloc(n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// ---- MemoryPool ------------------------------------------------------------------------------

MemoryPool::MemoryPool(const Memory &m) : mem_(m) {
    MemoryPool *self = this;
    std::memcpy(base_.host0, &self, sizeof self);
    base_.destroy = do_destroy;
    base_.allocate = do_allocate;
    base_.free = do_free;
}

MemoryPool::~MemoryPool() {
    release_all();
    trim();
}

MemoryPool *MemoryPool::of(HostPool *pool) {
    MemoryPool *self;
    std::memcpy(&self, pool->host0, sizeof self);
    return self;
}

void MemoryPool::release_all() {
    while (list_.next != &list_) do_free(&base_, list_.next + 1);
}

void MemoryPool::trim() noexcept {
    for (Head *&h : kept_) {
        if (h != nullptr) mem_.release(h, sizeof(Head) + h->room);
        h = nullptr;
    }
}

void MemoryPool::do_destroy(HostPool *pool) { of(pool)->release_all(); }

// The smallest kept block that holds size bytes, taken out of the keep.
MemoryPool::Head *MemoryPool::take_kept(std::uint64_t size) noexcept {
    Head **best = nullptr;
    for (Head *&h : kept_)
        if (h != nullptr && h->room >= size && (best == nullptr || h->room < (*best)->room)) best = &h;
    if (best == nullptr) return nullptr;
    Head *h = *best;
    *best = nullptr;
    return h;
}

void *MemoryPool::do_allocate(HostPool *pool, std::uint64_t size, std::uint32_t flags) {
    MemoryPool *self = of(pool);
    if (size > SIZE_MAX - sizeof(Head)) {
        note_refused(SIZE_MAX);
        return nullptr;
    }
    Head *h = self->take_kept(size);
    if (h == nullptr) {
        h = static_cast<Head *>(self->mem_.alloc(sizeof(Head) + size));
        if (h == nullptr) return nullptr;
        h->room = size;
    }
    h->size = size;
    h->prev = &self->list_;
    h->next = self->list_.next;
    h->next->prev = h;
    self->list_.next = h;
    if ((flags & QV_POOL_ZERO_FILL) != 0) std::memset(h + 1, 0, size);
    return h + 1;
}

// A block given back is kept in place of the smallest kept one; what is not kept is released.
void MemoryPool::do_free(HostPool *pool, void *block) {
    if (block == nullptr) return;
    MemoryPool *self = of(pool);
    Head *h = static_cast<Head *>(block) - 1;
    h->prev->next = h->next;
    h->next->prev = h->prev;
    Head **slot = &self->kept_[0];
    for (Head *&k : self->kept_)
        if (k == nullptr || (*slot != nullptr && k->room < (*slot)->room)) slot = &k;
    if (*slot != nullptr && (*slot)->room >= h->room) {
        self->mem_.release(h, sizeof(Head) + h->room);
        return;
    }
    if (*slot != nullptr) self->mem_.release(*slot, sizeof(Head) + (*slot)->room);
    *slot = h;
}

// ---- WarmBlock -------------------------------------------------------------------------------

void *WarmBlock::reserve(std::size_t n) noexcept {
    if (n <= n_ && p_ != nullptr) return p_;
    // Room for a little more than asked, so a list that grows row by row is laid out again rarely.
    const std::size_t want = n > SIZE_MAX / 2 ? n : n + n / 4;
    void *p = mem_.alloc(want);
    if (p == nullptr) return nullptr;
    release();
    p_ = p;
    n_ = want;
    return p_;
}

void WarmBlock::release() noexcept {
    mem_.release(p_, n_);
    p_ = nullptr;
    n_ = 0;
}

// ---- ValueStore ------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t SMALLEST_CHUNK = 29;        // with its head, 256 bytes
constexpr std::uint32_t LARGEST_CHUNK = 1u << 20;   // 8 MiB

}  // namespace

ValueStore::Chunk *ValueStore::new_chunk(std::size_t held) const noexcept {
    // A sixteenth of what is held: a sliding window stays small, a growing store wastes at most
    // an eighth of its values' room (about 9 bytes a value), in chunks of at most 8 MiB.
    std::uint32_t room = SMALLEST_CHUNK;
    while (room < LARGEST_CHUNK && room < held / 16) room = room * 2 + 3;  // twice the bytes
    auto *c = static_cast<Chunk *>(mem_.alloc(bytes(room)));
    if (c != nullptr) *c = Chunk{nullptr, 0, 0, room, 0};
    return c;
}

bool ValueStore::reserve(std::size_t n) noexcept {
    std::size_t room = 0;
    for (const Chunk *c = tail_; c != nullptr; c = c->next) room += c->room - c->end;
    Chunk *first = nullptr, *last = nullptr;
    while (room < n) {
        Chunk *c = new_chunk(size_ + room);
        if (c == nullptr) {
            while (first != nullptr) {
                Chunk *next = first->next;
                mem_.release(first, bytes(first->room));
                first = next;
            }
            return false;
        }
        if (last == nullptr) first = c;
        else last->next = c;
        last = c;
        room += c->room;
    }
    if (first == nullptr) return true;
    if (last_ == nullptr) head_ = tail_ = first;
    else last_->next = first;
    last_ = last;
    return true;
}

bool ValueStore::push_back(double x) noexcept {
    if (tail_ != nullptr && tail_->end == tail_->room && tail_->next != nullptr) tail_ = tail_->next;
    if (tail_ == nullptr || tail_->end == tail_->room) {
        Chunk *c = new_chunk(size_);
        if (c == nullptr) return false;
        if (last_ == nullptr) head_ = c;
        else last_->next = c;
        tail_ = last_ = c;
    }
    tail_->values()[tail_->end++] = x;
    ++size_;
    return true;
}

void ValueStore::pop_front() noexcept {
    if (size_ == 0) return;
    ++head_->begin;
    --size_;
    if (size_ == 0 && head_ == tail_ && head_->end < head_->room) {
        head_->begin = head_->end = 0;  // an emptied last chunk is used again
        return;
    }
    if (head_->begin == head_->end) {
        Chunk *next = head_->next;
        if (tail_ == head_) tail_ = next;
        if (last_ == head_) last_ = nullptr;
        mem_.release(head_, bytes(head_->room));
        head_ = next;
    }
}

void ValueStore::clear() noexcept {
    for (Chunk *c = head_; c != nullptr;) {
        Chunk *next = c->next;
        mem_.release(c, bytes(c->room));
        c = next;
    }
    head_ = tail_ = last_ = nullptr;
    size_ = 0;
}

void ValueStore::swap(ValueStore &other) noexcept {
    std::swap(mem_, other.mem_);
    std::swap(head_, other.head_);
    std::swap(tail_, other.tail_);
    std::swap(last_, other.last_);
    std::swap(size_, other.size_);
}

}  // namespace qvhost

extern "C" void qvh_advise_large(void *block, size_t size) noexcept {
#ifdef MADV_HUGEPAGE
    using namespace qvhost;
    if (block != nullptr && size >= ADVISED) {
        const auto begin = (reinterpret_cast<std::uintptr_t>(block) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(HUGE_PAGE - 1);
        if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)block;
    (void)size;
#endif
}

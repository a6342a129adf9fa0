#include "standin.hpp"

#include <cstdlib>
#include <cstring>

namespace qvhost {

namespace {

// Each host object keeps a pointer to its owner in its own leading bytes, which the package
// never reads.
template <class Owner, class Record>
void attach(Record &record, Owner *owner) {
    std::memcpy(record.host0, &owner, sizeof owner);
}

template <class Owner, class Record>
Owner *owner_of(Record *record) {
    Owner *owner;
    std::memcpy(&owner, record->host0, sizeof owner);
    return owner;
}

}  // namespace

// ---- CountingPool ----------------------------------------------------------------------------

CountingPool::CountingPool(std::string name) : name_(std::move(name)) {
    attach(base_, this);
    base_.destroy = do_destroy;
    base_.allocate = do_allocate;
    base_.free = do_free;
}

CountingPool::~CountingPool() { release_all(); }

CountingPool *CountingPool::of(HostPool *pool) { return owner_of<CountingPool>(pool); }

void CountingPool::reset_counts() {
    requests_.clear();
    frees_ = 0;
}

void CountingPool::release_all() {
    for (auto &[block, size] : blocks_) std::free(block);
    blocks_.clear();
}

// The package calls these from C: nothing may be thrown back into it. What cannot be recorded for
// want of memory is refused (an allocation) or left unrecorded.

void CountingPool::do_destroy(HostPool *pool) {
    CountingPool *self = of(pool);
    ++self->destroys_;
    self->release_all();
}

void *CountingPool::do_allocate(HostPool *pool, std::uint64_t size, std::uint32_t flags) {
    CountingPool *self = of(pool);
    try {
        self->requests_.push_back({size, flags});
        if (self->refuse_all_ || static_cast<int>(self->requests_.size()) == self->refuse_nth_) return nullptr;
        void *block = (flags & QV_POOL_ZERO_FILL) != 0 ? std::calloc(1, size ? size : 1) : std::malloc(size ? size : 1);
        if (block == nullptr) return nullptr;
        try {
            self->blocks_.emplace(block, size);
        } catch (...) {
            std::free(block);
            return nullptr;
        }
        return block;
    } catch (...) {
        return nullptr;
    }
}

void CountingPool::do_free(HostPool *pool, void *block) {
    CountingPool *self = of(pool);
    ++self->frees_;
    auto it = self->blocks_.find(block);
    // A block this pool never gave out: the heap would be corrupted by freeing it, so stop here
    // (a trap instruction: nothing of the C library's process exit runs).
    if (it == self->blocks_.end()) __builtin_trap();
    std::free(block);
    self->blocks_.erase(it);
}

// ---- Journal ---------------------------------------------------------------------------------

Journal::Journal(std::u32string name, std::uint32_t mode) : name_(std::move(name)), mode_(mode) {
    attach(base_, this);
    base_.destroy = do_destroy;
    base_.close = do_close;
}

Journal *Journal::of(HostJournal *journal) { return owner_of<Journal>(journal); }

void Journal::do_destroy(HostJournal *journal) {
    Journal *self = of(journal);
    ++self->destroys;
    try {
        self->events.push_back('d');
    } catch (...) {
    }
}

void Journal::do_close(HostJournal *journal) {
    Journal *self = of(journal);
    ++self->closes;
    try {
        self->events.push_back('c');
    } catch (...) {
    }
}

// ---- MessageService ------------------------------------------------------------------------

MessageService::MessageService() {
    attach(base_, this);
    base_.messageToBuf = message_to_buf;
    base_.messageToJnl = message_to_jnl;
    base_.statusToBuf = status_to_buf;
    base_.statusToJnl = status_to_jnl;
    base_.getLocale = get_locale;
}

MessageService *MessageService::of(HostLocale *locale) { return owner_of<MessageService>(locale); }

std::int64_t MessageService::record(int offset, std::vector<std::int64_t> fixed, va_list *ap) {
    try {
        MessageCall call{offset, std::move(fixed), ap, {}};
        for (int i = 0; i < varargs_to_read; ++i) call.varargs.push_back(va_arg(*ap, std::int64_t));
        calls.push_back(std::move(call));
    } catch (...) {
    }
    return answer;
}

std::int64_t MessageService::message_to_buf(HostLocale *l, std::int64_t a1, std::int64_t a2, std::int64_t a3,
                                            std::int64_t a4, std::int64_t a5, va_list *ap) {
    return of(l)->record(32, {a1, a2, a3, a4, a5}, ap);
}

std::int64_t MessageService::message_to_jnl(HostLocale *l, std::int64_t code, std::int64_t a1, std::int64_t a2,
                                            va_list *ap) {
    return of(l)->record(40, {code, a1, a2}, ap);
}

std::int64_t MessageService::status_to_buf(HostLocale *l, std::int64_t code, std::int64_t a1, std::int64_t a2,
                                           std::int64_t a3, va_list *ap) {
    return of(l)->record(48, {code, a1, a2, a3}, ap);
}

std::int64_t MessageService::status_to_jnl(HostLocale *l, std::int64_t code, std::int64_t status, va_list *ap) {
    return of(l)->record(56, {code, status}, ap);
}

// Reached by a tail jump: its arguments are the caller's own, read here as integers.
std::int64_t MessageService::get_locale(HostLocale *l, ...) {
    MessageService *self = of(l);
    va_list ap;
    va_start(ap, l);
    try {
        MessageCall call{96, {}, nullptr, {}};
        for (int i = 0; i < self->varargs_to_read; ++i) call.varargs.push_back(va_arg(ap, std::int64_t));
        self->calls.push_back(std::move(call));
    } catch (...) {
    }
    va_end(ap);
    return self->answer;
}

// ---- Kernel ----------------------------------------------------------------------------------

Kernel::Kernel() {
    attach(base_, this);
    base_.openJournal = open_journal;
    base_.createPool = create_pool;
}

Kernel *Kernel::of(HostKernel *kernel) { return owner_of<Kernel>(kernel); }

HostJournal *Kernel::open_journal(HostKernel *k, JournalOpenParms *parms, void *reserved, const std::uint32_t *name) {
    Kernel *self = of(k);
    ++self->open_journal_calls;
    try {
        const auto *bytes = reinterpret_cast<const unsigned char *>(parms);
        self->journal_parms.emplace_back(bytes, bytes + sizeof(JournalOpenParms));
        self->journal_reserved.push_back(reserved);
        if (self->fail_open_journal) return nullptr;
        std::u32string text;
        for (const std::uint32_t *c = name; *c != 0; ++c) text.push_back(static_cast<char32_t>(*c));
        self->journals.push_back(std::make_unique<Journal>(std::move(text), parms->mode));
        return self->journals.back()->host();
    } catch (...) {
        return nullptr;
    }
}

HostPool *Kernel::create_pool(HostKernel *k, PoolCreateParms *parms, HostLocale *locale, const char *name) {
    Kernel *self = of(k);
    ++self->create_pool_calls;
    try {
        self->pool_names.emplace_back(name);
        self->pool_parms.emplace_back(parms->bytes, parms->bytes + sizeof(PoolCreateParms));
        self->pool_locales.push_back(locale);
        if (self->fail_create_pool) return nullptr;
        self->pools.push_back(std::make_unique<CountingPool>(name));
        self->pools.back()->refuse_nth(self->pool_refuse_nth);
        return self->pools.back()->host();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace qvhost

// The extension entry point and the instance lifecycle.
#include <cstring>

#include "qv/export.hpp"
#include "qvfnc.h"

namespace {

constexpr char POOL_NAME[] = "qvewumth pool";
constexpr char32_t JOURNAL_NAME[] = U"qvfncwumth Jnl";
constexpr uint32_t JOURNAL_MODE = 0x40000000u;
constexpr uint32_t INSTANCE_BYTES = 128;

// Creation failed before a journal was opened: tell the host once, through its message service.
void report_no_memory(HostLocale *locale) {
    if (locale != nullptr) qvlStatusToJnl(locale, 4, STATUS_NO_MEMORY);
}

// The instance owns its journal: closed first when the host marked it open, then destroyed.
void release_journal(ExtInstance *instance) {
    if (HostJournal *journal = instance->journal; journal != nullptr) {
        if (instance->journalOpen != 0) journal->close(journal);
        journal->destroy(journal);
    }
}

}  // namespace

QV_EXPORT QvStatus qvewumthReqVersion(ExtInstance *, int64_t *a, int64_t *b, int64_t *c) {
    *a = 4;
    *b = 1;
    *c = 1;
    return STATUS_OK;
}

QV_EXPORT QvStatus qvewumthVersion(ExtInstance *, int64_t *a, int64_t *b, int64_t *c) {
    *a = 4;
    *b = 0;
    *c = 0;
    return STATUS_OK;
}

QV_EXPORT QvStatus qvewumthDestroy(ExtInstance *instance) {
    if (instance == nullptr) return STATUS_OK;  // nothing to release
    release_journal(instance);
    // The pool owns the instance record and the table copy: nothing of the instance is
    // touched after this.
    HostPool *pool = instance->pool;
    pool->destroy(pool);
    return STATUS_OK;
}

QV_EXPORT ExtInstance *qvewumth(HostKernel *kernel, HostLocale *locale) {
    // Without a kernel no pool can be made: the same failure as a refused pool.
    if (kernel == nullptr) {
        report_no_memory(locale);
        return nullptr;
    }
    PoolCreateParms poolParms;
    std::memset(&poolParms, 0, sizeof poolParms);
    HostPool *pool = kernel->createPool(kernel, &poolParms, locale, POOL_NAME);
    if (pool == nullptr) {
        report_no_memory(locale);
        return nullptr;
    }

    auto *instance = static_cast<ExtInstance *>(pool->allocate(pool, INSTANCE_BYTES, QV_POOL_ZERO_FILL));
    if (instance == nullptr) {
        report_no_memory(locale);
        pool->destroy(pool);
        return nullptr;
    }
    instance->pool = pool;
    instance->kernel = kernel;
    instance->reqVersion = qvewumthReqVersion;
    instance->version = qvewumthVersion;
    instance->destroy = qvewumthDestroy;

    auto *table = static_cast<FuncTableRow *>(pool->allocate(pool, sizeof funclist, 0));
    instance->funcTable = table;
    if (table == nullptr) {
        report_no_memory(locale);
        release_journal(instance);  // still null here: the instance started zero-filled
        pool->destroy(pool);
        return nullptr;
    }
    std::memcpy(table, funclist, sizeof funclist);

    JournalOpenParms journalParms;
    std::memset(&journalParms, 0, sizeof journalParms);
    journalParms.mode = JOURNAL_MODE;
    instance->journalOpen = 0;
    instance->journal = kernel->openJournal(kernel, &journalParms, nullptr,
                                            reinterpret_cast<const uint32_t *>(JOURNAL_NAME));
    return instance;
}

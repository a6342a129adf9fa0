// A connection's state and SQLite's error path for the qv_ functions.
#include "extension.hpp"

#include <algorithm>
#include <cstring>

#include "shared_package.hpp"

namespace qvsqlite {

extern qvsql::SharedPackage shared_package;

Connection::~Connection() { shared_package.release(); }

namespace {

// The statement the connection runs, as a number that changes when one ends and another begins:
// the statements being stepped, each with how often it has run (SQLite counts a run from its first
// step to its reset), so that a statement run again is another statement, and the start of its SQL,
// so that one prepared where a finished one was is another too unless its SQL begins alike.
std::uint64_t running_statement(sqlite3 *db) noexcept {
    std::uint64_t key = 0;
    for (sqlite3_stmt *s = sqlite3_next_stmt(db, nullptr); s != nullptr; s = sqlite3_next_stmt(db, s)) {
        if (!sqlite3_stmt_busy(s)) continue;
        std::uint64_t h = reinterpret_cast<std::uintptr_t>(s) ^ static_cast<std::uint64_t>(sqlite3_stmt_status(s, SQLITE_STMTSTATUS_RUN, 0)) << 48;
        const char *sql = sqlite3_sql(s);
        const std::size_t n = sql != nullptr ? std::min<std::size_t>(std::strlen(sql), 256) : 0;
        h ^= n;
        for (std::size_t i = 0; i < n; i += 8) {  // eight bytes at a time, the last word zero-filled
            std::uint64_t w = 0;
            std::memcpy(&w, sql + i, std::min<std::size_t>(8, n - i));
            h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        }
        key = (key ^ h) * 0x9E3779B97F4A7C15ull;
    }
    return key;
}

}  // namespace

void note(const Function &f, std::int32_t status, const qvh_call *call) noexcept {
    f.conn->status.result(f.name, status, call, running_statement(f.conn->db));
}

#if SQLITE_VERSION_NUMBER >= 3041000
namespace {
int interrupted(void *db) { return sqlite3_is_interrupted(static_cast<sqlite3 *>(db)); }
}  // namespace

void watch_interrupts(const Function &f, qvh_call *call, qvh_agg *agg) {
    if (call != nullptr) qvh_call_set_interrupt(call, interrupted, f.conn->db);
    if (agg != nullptr) qvh_agg_set_interrupt(agg, interrupted, f.conn->db);
}
#else
void watch_interrupts(const Function &, qvh_call *, qvh_agg *) {}
#endif

void stop_statement(sqlite3_context *ctx, Function &f, const qvsql::Failure &e) noexcept {
    switch (e.kind()) {
        case qvsql::Stop::NoMemory:
            sqlite3_result_error_nomem(ctx);
            break;
        case qvsql::Stop::Interrupted:
            sqlite3_result_error(ctx, e.message(), -1);
            sqlite3_result_error_code(ctx, SQLITE_INTERRUPT);
            break;
        case qvsql::Stop::Error:
            sqlite3_result_error(ctx, e.message(), -1);
            break;
    }
    f.conn->status.error(e.message());
    ++f.conn->errors;
}


}  // namespace qvsqlite

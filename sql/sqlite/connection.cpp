// A connection's state and SQLite's error path for the qv_ functions.
#include "extension.hpp"

#include "shared_package.hpp"

namespace qvsqlite {

extern qvsql::SharedPackage shared_package;

Connection::~Connection() { shared_package.release(); }

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
    report(*f.conn, "error: %s", e.message());
    ++f.conn->errors;
}


}  // namespace qvsqlite

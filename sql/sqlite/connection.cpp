// A connection's state and SQLite's error path for the qv_ functions.
#include "extension.hpp"

#include "shared_package.hpp"

namespace qvsqlite {

extern qvsql::SharedPackage shared_package;

Connection::~Connection() { shared_package.release(); }

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

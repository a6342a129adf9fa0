// The SQLite extension's pieces: a connection's state, one registration's user data, reading
// SQLite's values, and the callbacks SQLite calls (row-wise, qv_status, aggregate and window).
#pragma once

#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "failure.hpp"
#include "report.hpp"
#include "qvhost.h"

namespace qvsqlite {

// A connection's record: its package, and what qv_status() reports (report.hpp), of the statements
// this connection runs.
struct Connection {
    sqlite3 *db = nullptr;
    qvh_package *pkg = nullptr;
    std::size_t refs = 1;      // the registrations using it, and the loader while it registers
    qvsql::Report status;      // what qv_status() reports
    std::uint64_t errors = 0;  // errors raised by qv_ functions on this connection so far

    ~Connection();
};

// The user data of one registration.
struct Function {
    Connection *conn;
    const qvh_info *info;      // null for qv_status
    const char *name;          // qv_pctl
    qvh_call *call = nullptr;  // the row-wise call, made on first use and reused for every row
};

// Makes a call or an aggregate stop between rows and blocks of its work when the connection is
// interrupted (sqlite3_interrupt), so that a long call ends with SQLITE_INTERRUPT. SQLite reports an
// interrupt to a function from 3.41 on; before, SQLite itself stops the statement at its next row.
void watch_interrupts(const Function &f, qvh_call *call, qvh_agg *agg);

// Notes a result of f for qv_status(): its status, and the row-wise call that gave it (or null).
void note(const Function &f, std::int32_t status, const qvh_call *call) noexcept;

// The statement's error for a failure of f's callback; qv_status() reports it.
void stop_statement(sqlite3_context *ctx, Function &f, const qvsql::Failure &e) noexcept;

// Runs a callback body: every failure becomes SQLite's error path.
template <class Body>
void guarded(sqlite3_context *ctx, Body &&body) noexcept {
    auto *f = static_cast<Function *>(sqlite3_user_data(ctx));
    qvsql::guarded(f->name, [&] { body(*f); }, [&](const qvsql::Failure &e) { stop_statement(ctx, *f, e); });
}

// ---- values (values.cpp) ----
// Argument index of f as the call takes it (a number or text), by the host library's edge rules.
qvh_value edge_arg(const Function &f, int index, sqlite3_value *v);
void put_arg(const Function &f, qvh_call *call, bool replace, int index, sqlite3_value *v);
void give_number(sqlite3_context *ctx, double x);

// ---- callbacks (rowwise.cpp, aggregate.cpp) ----
void row_wise(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void status_function(sqlite3_context *ctx, int, sqlite3_value **);
void aggregate_step(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void aggregate_inverse(sqlite3_context *ctx, int, sqlite3_value **);
void aggregate_value(sqlite3_context *ctx);
void aggregate_final(sqlite3_context *ctx);

}  // namespace qvsqlite

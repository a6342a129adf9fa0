// qvsqlite: the package's functions inside SQLite, as a loadable extension.
//
// Every function X of the catalogue is qv_x: row-wise as the package defines it, and for the
// list-form statistics also an aggregate and window function of one column (SQLite's min()/max()
// convention). Every number is computed by the package, through the host library. The package's
// scratch memory and every value an aggregate keeps come from SQLite's heap, so the engine's heap
// limits govern them and running out of memory is SQLite's own out-of-memory error.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "qvhost.h"
#include "shared_package.hpp"

namespace {

// ---- SQLite's heap, for the host library ------------------------------------------------------

// SQLite aligns its blocks to 8 bytes and the host library wants 16: each block is asked for 16
// bytes more and handed out from the first 16-byte boundary at least 8 bytes in, with the address
// SQLite gave kept in the 8 bytes before it. The host library never resizes a block in place, so
// it copies into a new one where it needs to grow.
constexpr std::size_t ALIGN = 16;

void *heap_alloc(void *, std::size_t size) noexcept {
    if (size > SIZE_MAX - ALIGN) return nullptr;
    auto *raw = static_cast<unsigned char *>(sqlite3_malloc64(size + ALIGN));
    if (raw == nullptr) return nullptr;
    unsigned char *block = raw + (ALIGN - reinterpret_cast<std::uintptr_t>(raw) % ALIGN);
    std::memcpy(block - sizeof raw, &raw, sizeof raw);
    return block;
}

void heap_release(void *, void *block, std::size_t) noexcept {
    unsigned char *raw = nullptr;
    std::memcpy(&raw, static_cast<unsigned char *>(block) - sizeof raw, sizeof raw);
    sqlite3_free(raw);
}

constexpr qvh_allocator SQLITE_HEAP{heap_alloc, nullptr, heap_release, nullptr};

// ---- the package: opened once per process, kept while a connection uses it ----------------

qvsql::SharedPackage shared_package(&SQLITE_HEAP);

// ---- per connection and per registration ---------------------------------------------------

// What qv_status() reports for a connection: the status of its last qv_ result, or the last error
// a qv_ function raised. It is written without allocating, so running out of memory is reported
// too.
struct Connection {
    qvh_package *pkg = nullptr;
    std::size_t refs = 1;            // the registrations using it, and the loader while it registers
    const qvh_call *call = nullptr;  // the report is this row-wise call's status, described when asked
    char report[1024] = "";          // else the report itself; "" before any qv_ result (NULL)
    std::uint64_t errors = 0;        // errors raised by qv_ functions on this connection so far

    ~Connection() { shared_package.release(); }
};

template <class... Args>
void report(Connection &conn, const char *format, Args... args) noexcept {
    conn.call = nullptr;
    std::snprintf(conn.report, sizeof conn.report, format, args...);
}

void unref(Connection *conn) noexcept {
    if (--conn->refs == 0) delete conn;
}

// The user data of one registration.
struct Function {
    Connection *conn;
    const qvh_info *info;      // null for qv_status
    const char *name;          // qv_pctl
    qvh_call *call = nullptr;  // the row-wise call, made on first use and reused for every row
};

void destroy_function(void *p) noexcept {
    auto *f = static_cast<Function *>(p);
    Connection *conn = f->conn;
    if (conn->call != nullptr && conn->call == f->call) {
        // The status outlives the call that made it.
        qvh_call_describe(f->call, conn->report, sizeof conn->report);
        conn->call = nullptr;
    }
    qvh_call_free(f->call);
    delete f;
    unref(conn);
}

// An SQL error raised by a function: thrown inside, reported at the callback's edge.
struct SqlError {
    std::string message;
};
// SQLite's out-of-memory error; the report already says where.
struct NoMemory {};

[[noreturn]] void fail(const Function &f, std::string_view what) {
    throw SqlError{std::string(f.name) + ": " + std::string(what)};
}

[[noreturn]] void out_of_memory(const Function &f, const char *why) {
    report(*f.conn, "error: %s", why);
    throw NoMemory{};
}

// A memory status of the package: there is no result.
[[noreturn]] void memory_status(const Function &f, std::int32_t status) {
    report(*f.conn, "error: %s: %s", f.name, qvh_status_name(status));
    throw NoMemory{};
}

// A failing host library call: its message, which names the function as SQL does, is the error.
void check(const Function &f, int rc) {
    if (rc == QVH_OK) return;
    if (rc == QVH_E_NOMEM) out_of_memory(f, qvh_errmsg());
    throw SqlError{qvh_errmsg()};
}

// Runs a callback body: SQL errors and every exception become SQLite's error path.
template <class Body>
void guarded(sqlite3_context *ctx, Body &&body) noexcept {
    auto *f = static_cast<Function *>(sqlite3_user_data(ctx));
    try {
        body(*f);
        return;
    } catch (const SqlError &e) {
        sqlite3_result_error(ctx, e.message.c_str(), -1);
        report(*f->conn, "error: %s", e.message.c_str());
    } catch (const NoMemory &) {
        sqlite3_result_error_nomem(ctx);
    } catch (const std::bad_alloc &) {
        sqlite3_result_error_nomem(ctx);
        report(*f->conn, "error: %s: out of memory", f->name);
    } catch (...) {
        sqlite3_result_error(ctx, "qvsqlite: unexpected failure", -1);
        report(*f->conn, "%s", "error: qvsqlite: unexpected failure");
    }
    ++f->conn->errors;
}

// ---- values --------------------------------------------------------------------------------

std::string argument(int index) { return "argument " + std::to_string(index + 1); }

std::string_view text_of(sqlite3_value *v) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(v));
    if (text == nullptr) throw std::bad_alloc();
    return {text, static_cast<std::size_t>(sqlite3_value_bytes(v))};
}

// A numeric argument: NULL and the empty TEXT (an empty field of an imported file) are '.', a
// missing literal is its missing value, and TEXT that SQLite reads as a number is that number.
double number_arg(const Function &f, int index, sqlite3_value *v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_NULL:
            return qvh_dot();
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            return sqlite3_value_double(v);
        case SQLITE_TEXT: {
            std::string_view text = text_of(v);
            double x = 0;
            if (text.empty()) return qvh_dot();
            if (qvh_parse_missing(text.data(), text.size(), &x)) return x;
            const int type = sqlite3_value_numeric_type(v);
            if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) return sqlite3_value_double(v);
            text = text_of(v);
            char shown[256];  // at most 40 bytes of it, each written in at most 4
            qvh_escape(text.data(), text.size(), 40, shown, sizeof shown);
            fail(f, argument(index) + " is not a number: '" + shown + "'");
        }
        default:
            fail(f, argument(index) + " is a BLOB, not a number");
    }
}

// A character argument: TEXT as it is, a number as SQLite writes it, NULL as the blank string.
std::string_view text_arg(const Function &f, int index, sqlite3_value *v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_NULL:
            return {};
        case SQLITE_BLOB:
            fail(f, argument(index) + " is a BLOB, not text");
        default:
            return text_of(v);
    }
}

void give_number(sqlite3_context *ctx, double x) {
    if (qvh_is_missing(x))
        sqlite3_result_null(ctx);
    else
        sqlite3_result_double(ctx, x);
}

// ---- row-wise ------------------------------------------------------------------------------

// Puts argument index into the call: added when the list is being rebuilt, else replaced.
void put_arg(const Function &f, qvh_call *call, bool replace, int index, sqlite3_value *v) {
    const int kind = index == 0 ? f.info->first_kind : f.info->rest_kind;
    bool numeric = kind == QVH_KIND_NUM;
    if (kind == QVH_KIND_ANY) {
        // A number, NULL or a missing literal is numeric; other TEXT is character data.
        const int type = sqlite3_value_type(v);
        numeric = type != SQLITE_TEXT && type != SQLITE_BLOB;
        if (type == SQLITE_TEXT) {
            const std::string_view text = text_of(v);
            double x = 0;
            numeric = qvh_parse_missing(text.data(), text.size(), &x) != 0;
        }
    }
    const auto at = static_cast<std::size_t>(index);
    if (numeric) {
        const double x = number_arg(f, index, v);
        check(f, replace ? qvh_call_set_num(call, at, x) : qvh_call_add_num(call, x));
    } else {
        const std::string_view s = text_arg(f, index, v);
        check(f, replace ? qvh_call_set_str(call, at, s.data(), s.size()) : qvh_call_add_str(call, s.data(), s.size()));
    }
}

void row_wise(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    guarded(ctx, [&](Function &f) {
        // Too few arguments for a list (SQLite counts the others): the host library says so.
        if (argc < f.info->min_args) check(f, qvh_check_args(f.info, f.name, static_cast<std::size_t>(argc), nullptr));
        if (f.call == nullptr) {
            check(f, qvh_call_new(f.conn->pkg, f.info->name, &f.call));
            check(f, qvh_call_set_label(f.call, f.name));
        }
        // The same number of arguments as the last row: replace the values in place.
        const bool replace = qvh_call_count(f.call) == static_cast<std::size_t>(argc);
        if (!replace) qvh_call_clear(f.call);
        for (int i = 0; i < argc; ++i) put_arg(f, f.call, replace, i, argv[i]);
        check(f, qvh_call_invoke(f.call));
        if (const std::int32_t status = qvh_call_status(f.call); qvh_status_is_memory(status)) memory_status(f, status);
        f.conn->call = f.call;
        if (f.info->result_kind == QVH_KIND_CHR) {
            std::size_t len = 0;
            const char *s = qvh_call_result_str(f.call, &len);
            sqlite3_result_text(ctx, s, static_cast<int>(len), SQLITE_TRANSIENT);
        } else {
            give_number(ctx, qvh_call_result(f.call));
        }
    });
}

void status_function(sqlite3_context *ctx, int, sqlite3_value **) {
    const Connection &conn = *static_cast<Function *>(sqlite3_user_data(ctx))->conn;
    char described[1024];  // 127 arguments marked fit
    const char *text = conn.report;
    if (conn.call != nullptr) {
        qvh_call_describe(conn.call, described, sizeof described);
        text = described;
    }
    if (*text == '\0')
        sqlite3_result_null(ctx);
    else
        sqlite3_result_text(ctx, text, -1, SQLITE_TRANSIENT);
}

// ---- aggregates and window functions ------------------------------------------------------

// Rows a fixed state takes in before it folds them; a frame that reached this many rows before
// its first result cannot let rows leave.
constexpr int FOLD_BLOCK = 4096;

// Lives in sqlite3_aggregate_context: all-zero bytes are the empty state.
struct Accumulator {
    qvh_agg *agg;         // the group's or frame's values
    bool begun;           // epoch is set
    bool window;          // xValue or xInverse has been called: from then on the values are kept
    bool fresh;           // result and status are those of the current values
    bool failed;          // a callback raised an error: the statement stops, xFinal only frees
    std::uint64_t epoch;  // the connection's count of errors when the group began
    double result;
    std::int32_t status;
};

Accumulator &accumulator(sqlite3_context *ctx, const Function &f) {
    auto *acc = static_cast<Accumulator *>(sqlite3_aggregate_context(ctx, sizeof(Accumulator)));
    if (acc == nullptr) throw std::bad_alloc();
    if (!acc->begun) {
        acc->begun = true;
        acc->epoch = f.conn->errors;
    }
    return *acc;
}

// Runs the body of xStep, xInverse or xValue; a failure marks the accumulator, so that the xFinal
// SQLite calls while it abandons the statement neither computes nor replaces the error.
template <class Body>
void group_guarded(sqlite3_context *ctx, Body &&body) {
    guarded(ctx, [&](Function &f) {
        Accumulator &acc = accumulator(ctx, f);
        try {
            body(f, acc);
        } catch (...) {
            acc.failed = true;
            throw;
        }
    });
}

qvh_agg *new_agg(const Function &f, unsigned flags) {
    qvh_agg *agg = nullptr;
    check(f, qvh_agg_new(f.conn->pkg, f.info->name, flags, &agg));
    qvh_agg_set_label(agg, f.name);
    return agg;
}

void aggregate_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    group_guarded(ctx, [&](Function &f, Accumulator &acc) {
        if (acc.agg == nullptr) acc.agg = new_agg(f, acc.window ? QVH_AGG_KEEP_VALUES : 0);
        if (f.info->leading_param) check(f, qvh_agg_param(acc.agg, number_arg(f, 0, argv[0])));
        check(f, qvh_agg_add(acc.agg, number_arg(f, argc - 1, argv[argc - 1])));
        acc.fresh = false;
    });
}

// The first xValue or xInverse: this is a window, whose rows may leave again, so a fixed-state
// statistic keeps its values from now on (those folded already stay folded).
void enter_window(Accumulator &acc) {
    if (acc.window) return;
    acc.window = true;
    if (acc.agg != nullptr) qvh_agg_keep_values(acc.agg);
}

void aggregate_inverse(sqlite3_context *ctx, int, sqlite3_value **) {
    group_guarded(ctx, [&](Function &f, Accumulator &acc) {
        enter_window(acc);
        if (acc.agg == nullptr) return;
        const int rc = qvh_agg_remove_first(acc.agg);
        if (rc == QVH_E_STATE && f.info->aggregate == QVH_AGG_FIXED)
            fail(f, "this window frame took in " + std::to_string(FOLD_BLOCK) +
                        " rows or more before its first result, so rows cannot leave it (fixed-state "
                        "statistics keep no values before that); use a frame with fewer following rows");
        check(f, rc);
        acc.fresh = false;
    });
}

// Gives the result over the values held and, when told to, reports its status for qv_status().
void give_aggregate(sqlite3_context *ctx, const Function &f, Accumulator &acc, bool reported) {
    if (!acc.fresh) {
        if (f.info->leading_param && qvh_agg_rows(acc.agg) == 0) {
            // No row (a group of none, an empty window frame): no parameter to call the function with.
            sqlite3_result_null(ctx);
            if (reported) report(*f.conn, "%s", "no rows");
            return;
        }
        // No row otherwise: the function over no values.
        qvh_agg *empty = acc.agg == nullptr ? new_agg(f, 0) : nullptr;
        const int rc = qvh_agg_result(empty != nullptr ? empty : acc.agg, &acc.result, &acc.status);
        qvh_agg_free(empty);
        check(f, rc);
        if (qvh_status_is_memory(acc.status)) memory_status(f, acc.status);
        acc.fresh = true;
    }
    if (reported) report(*f.conn, "%s", qvh_status_name(acc.status));
    give_number(ctx, acc.result);
}

void aggregate_value(sqlite3_context *ctx) {
    group_guarded(ctx, [&](Function &f, Accumulator &acc) {
        enter_window(acc);
        give_aggregate(ctx, f, acc, true);
    });
}

void aggregate_final(sqlite3_context *ctx) {
    guarded(ctx, [&](Function &f) {
        Accumulator none{};
        auto *held = static_cast<Accumulator *>(sqlite3_aggregate_context(ctx, 0));
        Accumulator &acc = held != nullptr ? *held : none;
        struct Free {
            Accumulator &acc;
            ~Free() {
                qvh_agg_free(acc.agg);
                acc.agg = nullptr;
            }
        } free_on_exit{acc};
        // A group begun before the connection's latest error belongs to the statement that error
        // stopped (SQLite finishes its groups while abandoning it) or to one running beside it:
        // its result is given, but the error stays what qv_status() reports.
        if (!acc.failed) give_aggregate(ctx, f, acc, !acc.begun || acc.epoch == f.conn->errors);
    });
}

// ---- registration --------------------------------------------------------------------------

constexpr int FLAGS = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;

enum class Kind { RowWise, Aggregate, Status };

// Registers one form; the registration owns its Function, which holds a reference on conn.
int register_one(sqlite3 *db, Connection *conn, const qvh_info *info, int n_arg, Kind kind, std::string &why) {
    auto *f = new Function{conn, info, info != nullptr ? qvh_sql_name(info) : "qv_status"};
    ++conn->refs;
    int rc = SQLITE_OK;
    switch (kind) {
        case Kind::RowWise:
            rc = sqlite3_create_function_v2(db, f->name, n_arg, FLAGS, f, row_wise, nullptr, nullptr, destroy_function);
            break;
        case Kind::Aggregate:
            rc = sqlite3_create_window_function(db, f->name, n_arg, FLAGS, f, aggregate_step, aggregate_final,
                                                aggregate_value, aggregate_inverse, destroy_function);
            break;
        case Kind::Status:
            rc = sqlite3_create_function_v2(db, f->name, 0, SQLITE_UTF8, f, status_function, nullptr, nullptr,
                                            destroy_function);
            break;
    }
    if (rc != SQLITE_OK) why = std::string("cannot register ") + f->name + ": " + sqlite3_errmsg(db);
    return rc;
}

int register_all(sqlite3 *db, Connection *conn, std::string &why) {
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *info = qvh_function_at(i);
        if (!qvh_package_has(conn->pkg, info)) continue;  // a name the package gives no entry point
        int rc = SQLITE_OK;
        if (info->max_args != QVH_ANY_COUNT) {
            for (int n = info->min_args; n <= info->max_args && rc == SQLITE_OK; ++n)
                rc = register_one(db, conn, info, n, Kind::RowWise, why);
        } else {
            rc = register_one(db, conn, info, -1, Kind::RowWise, why);
            if (rc == SQLITE_OK && info->aggregate != QVH_AGG_NONE)
                rc = register_one(db, conn, info, 1 + info->leading_param, Kind::Aggregate, why);
        }
        if (rc != SQLITE_OK) return rc;
    }
    return register_one(db, conn, nullptr, 0, Kind::Status, why);
}

void set_message(char **out, const std::string &message) {
    if (out != nullptr) *out = sqlite3_mprintf("qvsqlite: %s", message.c_str());
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_qvsqlite_init(sqlite3 *db, char **pzErrMsg,
                                                                             const sqlite3_api_routines *pApi) {
    SQLITE_EXTENSION_INIT2(pApi);
    std::string why;
    try {
        qvh_package *pkg = shared_package.acquire(why);
        if (pkg == nullptr) {
            set_message(pzErrMsg, why);
            return SQLITE_ERROR;
        }
        Connection *conn = new (std::nothrow) Connection;
        if (conn == nullptr) {
            shared_package.release();
            return SQLITE_NOMEM;
        }
        conn->pkg = pkg;
        int rc = SQLITE_NOMEM;
        try {
            rc = register_all(db, conn, why);
        } catch (const std::bad_alloc &) {
        }
        unref(conn);
        if (rc != SQLITE_OK && !why.empty()) set_message(pzErrMsg, why);
        return rc;
    } catch (...) {
        return SQLITE_NOMEM;
    }
}

// qvsqlite: the package's functions inside SQLite, as a loadable extension.
//
// Every function X of the catalogue is qv_x: row-wise as the package defines it, and for the
// list-form statistics also an aggregate and window function of one column (SQLite's min()/max()
// convention). Every number is computed by the package, through the host library.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "qvhost.h"

namespace {

// ---- the package: opened once per process, kept while a connection uses it ----------------

std::mutex package_mutex;
qvh_package *package = nullptr;
std::size_t package_users = 0;

qvh_package *acquire_package(std::string &why) {
    std::lock_guard lock(package_mutex);
    if (package == nullptr && qvh_open(nullptr, &package) != QVH_OK) {
        why = qvh_errmsg();
        return nullptr;
    }
    ++package_users;
    return package;
}

void release_package() noexcept {
    std::lock_guard lock(package_mutex);
    if (--package_users == 0) {
        qvh_close(package);
        package = nullptr;
    }
}

// ---- per connection and per registration ---------------------------------------------------

// What qv_status() reports: the last event of this connection.
enum class Last { None, Call, Status, Text };

struct Connection {
    qvh_package *pkg = nullptr;
    std::size_t refs = 1;  // the registrations using it, and the loader while it registers
    Last last = Last::None;
    const qvh_call *call = nullptr;  // Last::Call: described when asked
    std::int32_t status = QVH_STATUS_OK;
    std::string text;

    ~Connection() { release_package(); }
};

void unref(Connection *conn) noexcept {
    if (--conn->refs == 0) delete conn;
}

// The user data of one registration.
struct Function {
    Connection *conn;
    const qvh_info *info;  // null for qv_status
    std::string name;      // qv_pctl
    qvh_call *call = nullptr;  // the row-wise call, made on first use and reused for every row
};

// "invalid argument; argument 2 marked": the status of a call and the arguments it marked.
std::string describe(const qvh_call *call) {
    std::string text(qvh_call_describe(call, nullptr, 0), '\0');
    qvh_call_describe(call, text.data(), text.size() + 1);
    return text;
}

void destroy_function(void *p) noexcept {
    auto *f = static_cast<Function *>(p);
    Connection *conn = f->conn;
    if (conn->last == Last::Call && conn->call == f->call) {
        // The status outlives the call that made it.
        try {
            conn->text = describe(f->call);
            conn->last = Last::Text;
        } catch (...) {
            conn->last = Last::None;
        }
    }
    qvh_call_free(f->call);
    delete f;
    unref(conn);
}

// An SQL error raised by a function: thrown inside, reported at the callback's edge.
struct SqlError {
    std::string message;
};

[[noreturn]] void fail(const Function &f, const std::string &what) { throw SqlError{f.name + ": " + what}; }

// Turns a failing host library call into the SQL error, named after the SQL function.
[[noreturn]] void host_failure(const Function &f, int rc, const std::string &context = {}) {
    if (rc == QVH_E_NOMEM) throw std::bad_alloc();
    std::string message = qvh_errmsg();
    const std::string host_name = std::string(f.info->name) + ": ";
    if (message.compare(0, host_name.size(), host_name) == 0) message.erase(0, host_name.size());
    fail(f, context.empty() ? message : context + ": " + message);
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
        try {
            f->conn->text = "error: " + e.message;
            f->conn->last = Last::Text;
        } catch (...) {
            f->conn->last = Last::None;
        }
        return;
    } catch (const std::bad_alloc &) {
    } catch (...) {
        sqlite3_result_error(ctx, "qvsqlite: unexpected failure", -1);
        return;
    }
    f->conn->last = Last::Status;
    f->conn->status = QVH_STATUS_NO_MEMORY;
    sqlite3_result_error_nomem(ctx);
}

// ---- values --------------------------------------------------------------------------------

std::string argument(int index) { return "argument " + std::to_string(index + 1); }

// The text of a value in an error message: quoted, one line, at most 40 bytes of it.
std::string quoted(std::string_view text) {
    constexpr std::size_t SHOWN = 40;
    std::string out = "'";
    std::size_t n = std::min(text.size(), SHOWN);
    while (n < text.size() && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    for (char c : text.substr(0, n)) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    return out + (n < text.size() ? "...'" : "'");
}

std::string_view text_of(sqlite3_value *v) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(v));
    if (text == nullptr) throw std::bad_alloc();
    return {text, static_cast<std::size_t>(sqlite3_value_bytes(v))};
}

// The ordinary missing value '.'.
double dot() {
    static const double value = [] {
        double x = 0;
        qvh_missing('.', &x);
        return x;
    }();
    return value;
}

// A numeric argument: NULL is '.', a missing literal is its missing value, and TEXT that SQLite
// reads as a number is that number.
double number_arg(const Function &f, int index, sqlite3_value *v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_NULL:
            return dot();
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            return sqlite3_value_double(v);
        case SQLITE_TEXT: {
            const std::string_view text = text_of(v);
            double x = 0;
            if (qvh_parse_missing(text.data(), text.size(), &x)) return x;
            const int type = sqlite3_value_numeric_type(v);
            if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) return sqlite3_value_double(v);
            fail(f, argument(index) + " is not a number: " + quoted(text_of(v)));
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

std::string sql_usage(const Function &f) {
    const std::string_view usage = f.info->usage;
    return f.name + std::string(usage.substr(std::strlen(f.info->name)));
}

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
    int rc = QVH_OK;
    if (numeric) {
        const double x = number_arg(f, index, v);
        rc = replace ? qvh_call_set_num(call, static_cast<std::size_t>(index), x) : qvh_call_add_num(call, x);
    } else {
        const std::string_view s = text_arg(f, index, v);
        rc = replace ? qvh_call_set_str(call, static_cast<std::size_t>(index), s.data(), s.size())
                     : qvh_call_add_str(call, s.data(), s.size());
    }
    if (rc != QVH_OK) host_failure(f, rc, argument(index));
}

void row_wise(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    guarded(ctx, [&](Function &f) {
        const qvh_info &info = *f.info;
        if (argc < info.min_args)
            fail(f, "takes at least " + std::to_string(info.min_args) + (info.min_args == 1 ? " argument" : " arguments") +
                        ", got " + std::to_string(argc) + ": " + sql_usage(f));
        if (f.call == nullptr)
            if (const int rc = qvh_call_new(f.conn->pkg, info.name, &f.call); rc != QVH_OK) host_failure(f, rc);
        // The same number of arguments as the last row: replace the values in place.
        const bool replace = qvh_call_count(f.call) == static_cast<std::size_t>(argc);
        if (!replace) qvh_call_clear(f.call);
        for (int i = 0; i < argc; ++i) put_arg(f, f.call, replace, i, argv[i]);
        if (const int rc = qvh_call_invoke(f.call); rc != QVH_OK) host_failure(f, rc);
        f.conn->last = Last::Call;
        f.conn->call = f.call;
        if (info.result_kind == QVH_KIND_CHR) {
            std::size_t len = 0;
            const char *s = qvh_call_result_str(f.call, &len);
            sqlite3_result_text(ctx, s, static_cast<int>(len), SQLITE_TRANSIENT);
        } else {
            give_number(ctx, qvh_call_result(f.call));
        }
    });
}

void status_function(sqlite3_context *ctx, int, sqlite3_value **) {
    guarded(ctx, [&](Function &f) {
        const Connection &conn = *f.conn;
        switch (conn.last) {
            case Last::None:
                sqlite3_result_null(ctx);
                break;
            case Last::Call: {
                const std::string text = describe(conn.call);
                sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
                break;
            }
            case Last::Status:
                sqlite3_result_text(ctx, qvh_status_name(conn.status), -1, SQLITE_TRANSIENT);
                break;
            case Last::Text:
                sqlite3_result_text(ctx, conn.text.data(), static_cast<int>(conn.text.size()), SQLITE_TRANSIENT);
                break;
        }
    });
}

// ---- aggregates and window functions ------------------------------------------------------

// Rows a fixed state takes in before it folds them; a frame that reached this many rows before
// its first result cannot let rows leave.
constexpr int FOLD_BLOCK = 4096;

// Lives in sqlite3_aggregate_context: all-zero bytes are the empty state.
struct Accumulator {
    qvh_agg *agg;     // the group's or frame's values
    bool window;      // xValue or xInverse has been called: from then on the values are kept
    bool fresh;       // result and status are those of the current values
    bool failed;      // a row raised an error: the statement stops, xFinal only frees
    double result;
    std::int32_t status;
};

Accumulator *accumulator(sqlite3_context *ctx) {
    auto *acc = static_cast<Accumulator *>(sqlite3_aggregate_context(ctx, sizeof(Accumulator)));
    if (acc == nullptr) throw std::bad_alloc();
    return acc;
}

// Runs the body of xStep or xInverse; a failure marks the accumulator, so that the xFinal SQLite
// calls while it abandons the statement neither computes nor replaces the error in qv_status().
template <class Body>
void step_guarded(sqlite3_context *ctx, Body &&body) {
    guarded(ctx, [&](Function &f) {
        Accumulator &acc = *accumulator(ctx);
        try {
            body(f, acc);
        } catch (...) {
            acc.failed = true;
            throw;
        }
    });
}

void aggregate_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    step_guarded(ctx, [&](Function &f, Accumulator &acc) {
        if (acc.agg == nullptr) {
            const unsigned flags = acc.window ? QVH_AGG_KEEP_VALUES : 0;
            if (const int rc = qvh_agg_new(f.conn->pkg, f.info->name, flags, &acc.agg); rc != QVH_OK) host_failure(f, rc);
        }
        if (f.info->leading_param)
            if (const int rc = qvh_agg_param(acc.agg, number_arg(f, 0, argv[0])); rc != QVH_OK) host_failure(f, rc);
        if (const int rc = qvh_agg_add(acc.agg, number_arg(f, argc - 1, argv[argc - 1])); rc != QVH_OK) host_failure(f, rc);
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
    step_guarded(ctx, [&](Function &f, Accumulator &acc) {
        enter_window(acc);
        if (acc.agg == nullptr) return;
        const int rc = qvh_agg_remove_first(acc.agg);
        if (rc == QVH_E_STATE && f.info->aggregate == QVH_AGG_FIXED)
            fail(f, "this window frame took in " + std::to_string(FOLD_BLOCK) +
                        " rows or more before its first result, so rows cannot leave it (fixed-state "
                        "statistics keep no values before that); use a frame with fewer following rows");
        if (rc != QVH_OK) host_failure(f, rc);
        acc.fresh = false;
    });
}

// Gives the result over the values held, and records its status for qv_status().
void give_aggregate(sqlite3_context *ctx, Function &f, Accumulator &acc) {
    if (!acc.fresh) {
        qvh_agg *agg = acc.agg;
        qvh_agg *empty = nullptr;
        if (agg == nullptr) {
            // No row: the function over no values, unless the parameter was never seen.
            if (f.info->leading_param) {
                sqlite3_result_null(ctx);
                f.conn->text = "no rows";
                f.conn->last = Last::Text;
                return;
            }
            if (const int rc = qvh_agg_new(f.conn->pkg, f.info->name, 0, &empty); rc != QVH_OK) host_failure(f, rc);
            agg = empty;
        }
        const int rc = qvh_agg_result(agg, &acc.result, &acc.status);
        qvh_agg_free(empty);
        if (rc != QVH_OK) host_failure(f, rc);
        acc.fresh = true;
    }
    f.conn->last = Last::Status;
    f.conn->status = acc.status;
    give_number(ctx, acc.result);
}

void aggregate_value(sqlite3_context *ctx) {
    guarded(ctx, [&](Function &f) {
        Accumulator &acc = *accumulator(ctx);
        enter_window(acc);
        give_aggregate(ctx, f, acc);
    });
}

void aggregate_final(sqlite3_context *ctx) {
    guarded(ctx, [&](Function &f) {
        Accumulator empty{};
        auto *held = static_cast<Accumulator *>(sqlite3_aggregate_context(ctx, 0));
        Accumulator &acc = held != nullptr ? *held : empty;
        struct Free {
            Accumulator &acc;
            ~Free() {
                qvh_agg_free(acc.agg);
                acc.agg = nullptr;
            }
        } free_on_exit{acc};
        if (!acc.failed) give_aggregate(ctx, f, acc);
    });
}

// ---- registration --------------------------------------------------------------------------

std::string sql_name(const qvh_info &info) {
    std::string name = "qv_";
    for (const char *c = info.name; *c != '\0'; ++c) name += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    return name;
}

constexpr int FLAGS = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;

enum class Kind { RowWise, Aggregate, Status };

// Registers one form; the registration owns its Function, which holds a reference on conn.
int register_one(sqlite3 *db, Connection *conn, const qvh_info *info, int n_arg, Kind kind, std::string &why) {
    auto *f = new Function{conn, info, info != nullptr ? sql_name(*info) : "qv_status"};
    ++conn->refs;
    int rc = SQLITE_OK;
    switch (kind) {
        case Kind::RowWise:
            rc = sqlite3_create_function_v2(db, f->name.c_str(), n_arg, FLAGS, f, row_wise, nullptr, nullptr,
                                            destroy_function);
            break;
        case Kind::Aggregate:
            rc = sqlite3_create_window_function(db, f->name.c_str(), n_arg, FLAGS, f, aggregate_step, aggregate_final,
                                                aggregate_value, aggregate_inverse, destroy_function);
            break;
        case Kind::Status:
            rc = sqlite3_create_function_v2(db, f->name.c_str(), 0, SQLITE_UTF8, f, status_function, nullptr, nullptr,
                                            destroy_function);
            break;
    }
    if (rc != SQLITE_OK) why = "cannot register " + (info != nullptr ? sql_name(*info) : "qv_status") + ": " + sqlite3_errmsg(db);
    return rc;
}

int register_all(sqlite3 *db, Connection *conn, std::string &why) {
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *info = qvh_function_at(i);
        qvh_call *probe = nullptr;
        const int found = qvh_call_new(conn->pkg, info->name, &probe);
        qvh_call_free(probe);
        if (found == QVH_E_UNAVAILABLE) continue;  // a name the package gives no entry point
        if (found == QVH_E_NOMEM) return SQLITE_NOMEM;
        if (found != QVH_OK) {
            why = qvh_errmsg();
            return SQLITE_ERROR;
        }
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
        qvh_package *pkg = acquire_package(why);
        if (pkg == nullptr) {
            set_message(pzErrMsg, why);
            return SQLITE_ERROR;
        }
        Connection *conn = new (std::nothrow) Connection;
        if (conn == nullptr) {
            release_package();
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

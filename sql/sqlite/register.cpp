// qvsqlite: the package's functions inside SQLite, as a loadable extension.
//
// Every function X of the catalogue is qv_x: row-wise as the package defines it, and for the
// list-form statistics also an aggregate and window function of one column (SQLite's min()/max()
// convention). Every number is computed by the package, through the host library. The package's
// scratch memory and every value an aggregate keeps come from SQLite's heap, so the engine's heap
// limits govern them and running out of memory is SQLite's own out-of-memory error.
#include "extension.hpp"
SQLITE_EXTENSION_INIT1

#include <cstring>
#include <new>
#include <string>

#include "shared_package.hpp"

namespace qvsqlite {

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

void unref(Connection *conn) noexcept {
    if (--conn->refs == 0) delete conn;
}

void destroy_function(void *p) noexcept {
    auto *f = static_cast<Function *>(p);
    Connection *conn = f->conn;
    conn->status.forget(f->call);  // the status outlives the call that made it
    qvh_call_free(f->call);
    delete f;
    unref(conn);
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

// The package: opened once per process, kept while a connection uses it.
qvsql::SharedPackage shared_package(&SQLITE_HEAP);

}  // namespace qvsqlite

extern "C" __attribute__((visibility("default"))) int sqlite3_qvsqlite_init(sqlite3 *db, char **pzErrMsg,
                                                                             const sqlite3_api_routines *pApi) {
    using namespace qvsqlite;
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
        conn->db = db;
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

// The row-wise functions and qv_status().
#include "extension.hpp"

namespace qvsqlite {

void row_wise(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    guarded(ctx, [&](Function &f) {
        // Too few arguments for a list (SQLite counts the others): the host library says so.
        if (argc < f.info->min_args) qvsql::check(qvh_check_args(f.info, f.name, static_cast<std::size_t>(argc), nullptr));
        if (f.call == nullptr) {
            const int rc = qvh_call_new(f.conn->pkg, f.info->name, &f.call);
            if (rc == QVH_E_NOMEM) qvsql::no_memory(f.name, 0);  // before it could carry the SQL name
            qvsql::check(rc);
            qvsql::check(qvh_call_set_label(f.call, f.name));
            watch_interrupts(f, f.call, nullptr);
        }
        // The same number of arguments as the last row: replace the values in place.
        const bool replace = qvh_call_count(f.call) == static_cast<std::size_t>(argc);
        if (!replace) qvh_call_clear(f.call);
        for (int i = 0; i < argc; ++i) put_arg(f, f.call, replace, i, argv[i]);
        qvsql::check(qvh_call_invoke(f.call));
        const std::int32_t status = qvh_call_status(f.call);
        if (qvh_status_is_memory(status)) qvsql::no_memory(f.name, qvh_call_asked(f.call));
        note(f, status, f.call);
        if (f.info->result_kind == QVH_KIND_CHR) {
            std::size_t len = 0;
            const char *s = qvh_call_result_str(f.call, &len);
            sqlite3_result_text(ctx, s, static_cast<int>(len), SQLITE_TRANSIENT);
        } else {
            give_number(ctx, qvh_call_result(f.call));
        }
    });
}

// Reading the report ends it: the next result begins another.
void status_function(sqlite3_context *ctx, int, sqlite3_value **) {
    Connection &conn = *static_cast<Function *>(sqlite3_user_data(ctx))->conn;
    char described[1024];  // 127 arguments marked fit
    if (const char *text = conn.status.text(described, sizeof described))
        sqlite3_result_text(ctx, text, -1, SQLITE_TRANSIENT);
    else
        sqlite3_result_null(ctx);
    conn.status.end();
}

}  // namespace qvsqlite

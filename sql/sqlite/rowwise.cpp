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
        if (const std::int32_t status = qvh_call_status(f.call); qvh_status_is_memory(status))
            qvsql::no_memory(f.name, qvh_call_asked(f.call));
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

}  // namespace qvsqlite

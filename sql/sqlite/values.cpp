// SQLite's values as the package's arguments, and results as SQLite's values.
#include <string>

#include "extension.hpp"

namespace qvsqlite {

namespace {

std::string_view text_of(sqlite3_value *v) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(v));
    if (text == nullptr) throw std::bad_alloc();
    return {text, static_cast<std::size_t>(sqlite3_value_bytes(v))};
}

// SQLite's value as the host library's edge takes it, converted first by SQLite's own casting
// rules where the argument takes one kind only: TEXT that SQLite reads as a number (' 12 ', '1e3')
// is that number where numbers are taken, and a number is the text SQLite writes for it where text
// is. A BLOB is no kind the edge knows and is refused here.
qvh_value engine_value(const Function &f, int index, int kind, sqlite3_value *v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_NULL:
            return {QVH_VALUE_NULL, 0.0, nullptr, 0};
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            if (kind != QVH_KIND_CHR) return {QVH_VALUE_NUM, sqlite3_value_double(v), nullptr, 0};
            [[fallthrough]];  // where only text is taken, the number as SQLite writes it
        case SQLITE_TEXT: {
            if (text_of(v).empty()) return {QVH_VALUE_TEXT, 0.0, "", 0};
            if (kind == QVH_KIND_NUM) {
                const int type = sqlite3_value_numeric_type(v);
                if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) return {QVH_VALUE_NUM, sqlite3_value_double(v), nullptr, 0};
            }
            const std::string_view text = text_of(v);
            return {QVH_VALUE_TEXT, 0.0, text.data(), text.size()};
        }
        default:
            qvsql::fail(f.name, "argument " + std::to_string(index + 1) + " is a BLOB, not " +
                                    (kind == QVH_KIND_CHR ? "text" : "a number"));
    }
}

}  // namespace

qvh_value edge_arg(const Function &f, int index, sqlite3_value *v) {
    const int kind = index == 0 ? f.info->first_kind : f.info->rest_kind;
    const qvh_value in = engine_value(f, index, kind, v);
    qvh_value out{};
    qvsql::check(qvh_edge_arg(f.info, f.name, static_cast<std::size_t>(index), &in, &out));
    return out;
}

// Puts argument index into the call: added when the list is being rebuilt, else replaced.
void put_arg(const Function &f, qvh_call *call, bool replace, int index, sqlite3_value *v) {
    const qvh_value a = edge_arg(f, index, v);
    const auto at = static_cast<std::size_t>(index);
    if (a.kind == QVH_VALUE_NUM)
        qvsql::check(replace ? qvh_call_set_num(call, at, a.num) : qvh_call_add_num(call, a.num));
    else
        qvsql::check(replace ? qvh_call_set_str(call, at, a.text, a.len) : qvh_call_add_str(call, a.text, a.len));
}

void give_number(sqlite3_context *ctx, double x) {
    if (qvh_is_missing(x))
        sqlite3_result_null(ctx);
    else
        sqlite3_result_double(ctx, x);
}

}  // namespace qvsqlite

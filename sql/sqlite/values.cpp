// SQLite's values as the package's arguments, and results as SQLite's values.
#include <string>

#include "extension.hpp"

namespace qvsqlite {

namespace {

std::string argument(int index) { return "argument " + std::to_string(index + 1); }

std::string_view text_of(sqlite3_value *v) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(v));
    if (text == nullptr) throw std::bad_alloc();
    return {text, static_cast<std::size_t>(sqlite3_value_bytes(v))};
}

// A character argument: TEXT as it is, a number as SQLite writes it, NULL as the blank string.
std::string_view text_arg(const Function &f, int index, sqlite3_value *v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_NULL:
            return {};
        case SQLITE_BLOB:
            qvsql::fail(f.name, argument(index) + " is a BLOB, not text");
        default:
            return text_of(v);
    }
}

}  // namespace

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
            qvsql::fail(f.name, argument(index) + " is not a number: '" + shown + "'");
        }
        default:
            qvsql::fail(f.name, argument(index) + " is a BLOB, not a number");
    }
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
    const auto at = static_cast<std::size_t>(index);
    if (numeric) {
        const double x = number_arg(f, index, v);
        qvsql::check(replace ? qvh_call_set_num(call, at, x) : qvh_call_add_num(call, x));
    } else {
        const std::string_view s = text_arg(f, index, v);
        qvsql::check(replace ? qvh_call_set_str(call, at, s.data(), s.size()) : qvh_call_add_str(call, s.data(), s.size()));
    }
}

void give_number(sqlite3_context *ctx, double x) {
    if (qvh_is_missing(x))
        sqlite3_result_null(ctx);
    else
        sqlite3_result_double(ctx, x);
}

}  // namespace qvsqlite

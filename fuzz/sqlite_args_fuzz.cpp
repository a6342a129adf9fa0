// Fuzz target: the SQLite extension's conversion of SQL values into calls of the package. The
// extension is loaded as SQLite users load it (sqlite3_load_extension of libqvsqlite.so, beside
// the package this build made), into an in-memory database; the input picks a function and its
// arguments, bound as SQL values:
//
//   byte 0      the function: an index into the functions the package provides, modulo
//   byte 1      the argument count: within the arity, or 0 to 23 for a list of any length
//   byte 2      options: bit 2 a window function too, its frame the current row and the
//               (bits 0-1) rows before it; bit 3 the percentile or rank of an aggregate changes
//               from row to row
//   then one record per argument, a tag byte (modulo 9) and its payload:
//     0 NULL; 1 INTEGER (8 bytes); 2 REAL (8 bytes, any bits); 3 TEXT, a missing literal
//     (1 byte); 4 TEXT, a number written in one of eight ways (1 byte, 8 bytes); 5 TEXT, any
//     bytes (1 byte length, bytes); 6 BLOB (1 byte length, bytes); 7 INTEGER from -128 to 127
//     (1 byte); 8 TEXT of one- or two-byte characters (1 byte b: 4b characters, or 65530 to
//     65541 for the last twelve values of b)
//
// The function is called row-wise over the arguments and, when it is a statistic, as an
// aggregate over a table with one argument a row (and as a window function). What SQLite hands
// the extension is seen through a function of this target's own, bound the same way.
//
// Checked: no sanitizer report; the SQL result is the host library's qvh_call over the values the
// conversion rules give (NULL for a missing value or a NaN, else the same bits; the same text), an
// aggregate's that of one call over the rows' values and each window row's over its frame's in the
// canonical order; a value that does not convert is an error naming the function and the argument;
// every error is one line starting with the function's SQL name; qv_status() reports the call's
// status and marks, or the error.
#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "check.hpp"
#include "qvhost.h"

namespace {

using qvfuzz::fail;

constexpr int ANY_COUNT_MAX = 24;

struct Target {
    sqlite3 *db = nullptr;
    qvh_package *pkg = nullptr;
    std::vector<const qvh_info *> functions;
    std::unordered_map<std::string, sqlite3_stmt *> statements;  // prepared once, by their text
};

// What SQLite hands a function for one bound value.
struct Seen {
    int type = SQLITE_NULL;
    double num = 0.0;          // INTEGER, REAL; TEXT that reads as a number
    int numeric_type = 0;      // TEXT: the type SQLite reads it as
    std::string text;          // TEXT as it is, INTEGER and REAL as SQLite writes them
};
std::vector<Seen> seen;

void capture(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    seen.assign(static_cast<std::size_t>(argc), Seen{});
    for (int i = 0; i < argc; ++i) {
        Seen &s = seen[static_cast<std::size_t>(i)];
        s.type = sqlite3_value_type(argv[i]);
        if (s.type == SQLITE_NULL || s.type == SQLITE_BLOB) continue;
        sqlite3_value *copy = sqlite3_value_dup(argv[i]);
        const auto *t = reinterpret_cast<const char *>(sqlite3_value_text(copy));
        s.text.assign(t != nullptr ? t : "", static_cast<std::size_t>(sqlite3_value_bytes(copy)));
        sqlite3_value_free(copy);
        copy = sqlite3_value_dup(argv[i]);
        s.numeric_type = sqlite3_value_numeric_type(copy);
        s.num = sqlite3_value_double(copy);
        sqlite3_value_free(copy);
    }
    sqlite3_result_null(ctx);
}

Target &target() {
    static Target *t = [] {
        auto *t = new Target;
        if (qvh_open(nullptr, &t->pkg) != QVH_OK) fail("%s", qvh_errmsg());
        for (std::size_t i = 0; i < qvh_function_count(); ++i)
            if (qvh_package_has(t->pkg, qvh_function_at(i))) t->functions.push_back(qvh_function_at(i));
        if (sqlite3_open(":memory:", &t->db) != SQLITE_OK) fail("cannot open a database");
        sqlite3_db_config(t->db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
        std::string path = qvh_package_path(t->pkg);
        path = path.substr(0, path.rfind('/') + 1) + "libqvsqlite";
        char *error = nullptr;
        if (sqlite3_load_extension(t->db, path.c_str(), nullptr, &error) != SQLITE_OK)
            fail("cannot load %s: %s", path.c_str(), error != nullptr ? error : "?");
        sqlite3_create_function_v2(t->db, "fz_capture", -1, SQLITE_UTF8, nullptr, capture, nullptr, nullptr, nullptr);
        if (sqlite3_exec(t->db, "CREATE TABLE t(p, x)", nullptr, nullptr, nullptr) != SQLITE_OK) fail("cannot make the table");
        return t;
    }();
    return *t;
}

// ---- the input ---------------------------------------------------------------------------

struct Bound {
    int type = SQLITE_NULL;
    std::int64_t i = 0;
    double x = 0.0;
    std::string bytes;
};

class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : p_(data), end_(data + size) {}
    std::uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    std::uint64_t word() {
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k) w |= std::uint64_t{byte()} << (8 * k);
        return w;
    }
    std::string bytes(std::size_t n) {
        std::string s;
        while (n-- > 0 && p_ < end_) s.push_back(static_cast<char>(*p_++));
        return s;
    }

private:
    const std::uint8_t *p_, *end_;
};

Bound read_value(Reader &in) {
    Bound v;
    switch (in.byte() % 9) {
        case 0: break;
        case 1: v.type = SQLITE_INTEGER, v.i = static_cast<std::int64_t>(in.word()); break;
        case 2: v.type = SQLITE_FLOAT, v.x = std::bit_cast<double>(in.word()); break;
        case 3: {
            const unsigned b = in.byte() % 54;
            v.type = SQLITE_TEXT;
            v.bytes = b == 0 ? "." : b == 1 ? "._" : std::string(".") + static_cast<char>(b < 28 ? 'A' + b - 2 : 'a' + b - 28);
            break;
        }
        case 4: {
            const unsigned how = in.byte() % 8;
            const std::uint64_t w = in.word();
            const double x = std::bit_cast<double>(w);
            char buf[64];
            switch (how) {
                case 0: std::snprintf(buf, sizeof buf, "%.17g", x); break;
                case 1: std::snprintf(buf, sizeof buf, " %.17g ", x); break;
                case 2: std::snprintf(buf, sizeof buf, "%" PRId64, static_cast<std::int64_t>(w)); break;
                case 3: std::snprintf(buf, sizeof buf, "+%g", x); break;
                case 4: std::snprintf(buf, sizeof buf, "%.3e", x); break;
                case 5: std::snprintf(buf, sizeof buf, "0x%" PRIx64, w); break;
                case 6: std::snprintf(buf, sizeof buf, "%d.", static_cast<int>(w % 2000) - 1000); break;
                default: std::snprintf(buf, sizeof buf, "%.1f%c", x, static_cast<char>(w >> 56)); break;
            }
            v.type = SQLITE_TEXT;
            v.bytes = buf;
            break;
        }
        case 5: v.type = SQLITE_TEXT, v.bytes = in.bytes(in.byte()); break;
        case 6: v.type = SQLITE_BLOB, v.bytes = in.bytes(in.byte()); break;
        case 7: v.type = SQLITE_INTEGER, v.i = static_cast<std::int8_t>(in.byte()); break;
        default: {
            // Long values are slow to convert, so those at the limit of 65535 characters come seldom.
            const unsigned b = in.byte();
            const std::size_t chars = b >= 0xF4 ? 65530 + (b - 0xF4) : 4 * b;
            v.type = SQLITE_TEXT;
            v.bytes.reserve(2 * chars);
            for (std::size_t k = 0; k < chars; ++k) v.bytes += b & 1 ? "\xC3\xA9" : "x";
            break;
        }
    }
    return v;
}

void bind(sqlite3_stmt *st, int index, const Bound &v) {
    int rc = SQLITE_OK;
    switch (v.type) {
        case SQLITE_INTEGER: rc = sqlite3_bind_int64(st, index, v.i); break;
        case SQLITE_FLOAT: rc = sqlite3_bind_double(st, index, v.x); break;
        case SQLITE_TEXT: rc = sqlite3_bind_text(st, index, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT); break;
        case SQLITE_BLOB: rc = sqlite3_bind_blob(st, index, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT); break;
        default: rc = sqlite3_bind_null(st, index); break;
    }
    if (rc != SQLITE_OK) fail("cannot bind parameter %d", index);
}

// ---- running SQL ---------------------------------------------------------------------------

struct Answer {
    bool error = false;
    std::string message;
    std::vector<int> types;  // one value a row
    std::vector<double> nums;
    std::vector<std::string> texts;
};

Answer query(const std::string &sql, const std::vector<Bound> &params) {
    Target &t = target();
    sqlite3_stmt *&st = t.statements[sql];
    if (st == nullptr && sqlite3_prepare_v2(t.db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        fail("cannot prepare %s: %s", sql.c_str(), sqlite3_errmsg(t.db));
    for (std::size_t i = 0; i < params.size(); ++i) bind(st, static_cast<int>(i + 1), params[i]);
    Answer a;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        a.types.push_back(sqlite3_column_type(st, 0));
        a.nums.push_back(sqlite3_column_double(st, 0));
        const auto *s = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        a.texts.emplace_back(s != nullptr ? s : "", static_cast<std::size_t>(sqlite3_column_bytes(st, 0)));
    }
    if (rc != SQLITE_DONE) {
        a.error = true;
        a.message = sqlite3_errmsg(t.db);
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return a;
}

std::string placeholders(std::size_t n) {
    std::string s;
    for (std::size_t i = 1; i <= n; ++i) s += (i > 1 ? ", ?" : "?") + std::to_string(i);
    return s;
}

std::string sql_name(const qvh_info &f) { return qvh_sql_name(&f); }

std::string status_text() { return query("SELECT qv_status()", {}).texts.at(0); }

// ---- what the conversion rules give --------------------------------------------------------

// One argument as the extension should read it: a number, a character value, or an error that
// starts so. SQLite's own casts where the argument takes one kind (TEXT that reads as a number, a
// number written as text), then the host library's edge; a BLOB is the extension's own error.
struct Converted {
    bool numeric = true;
    double num = 0.0;
    std::string text;
    std::string error;  // the start of the message
};

Converted convert(const Seen &s, const qvh_info &f, int index, const std::string &name) {
    Converted c;
    const int kind = index == 0 ? f.first_kind : f.rest_kind;
    if (s.type == SQLITE_BLOB) {
        c.error = name + ": argument " + std::to_string(index + 1) + " is a BLOB, not " + (kind == QVH_KIND_CHR ? "text" : "a number");
        return c;
    }
    const bool number = s.type == SQLITE_INTEGER || s.type == SQLITE_FLOAT ||
                        (s.type == SQLITE_TEXT && kind == QVH_KIND_NUM && !s.text.empty() &&
                         (s.numeric_type == SQLITE_INTEGER || s.numeric_type == SQLITE_FLOAT));
    qvh_value in{QVH_VALUE_NULL, 0.0, nullptr, 0}, out{};
    if (number && kind != QVH_KIND_CHR) in = {QVH_VALUE_NUM, s.num, nullptr, 0};
    else if (s.type != SQLITE_NULL) in = {QVH_VALUE_TEXT, 0.0, s.text.data(), s.text.size()};
    if (qvh_edge_arg(&f, name.c_str(), static_cast<std::size_t>(index), &in, &out) != QVH_OK) {
        c.error = qvh_errmsg();
        return c;
    }
    c.numeric = out.kind == QVH_VALUE_NUM;
    c.num = out.num;
    if (!c.numeric) c.text.assign(out.text, out.len);
    return c;
}

void check_error(const Answer &a, const std::string &start, const std::string &name, const char *what) {
    if (!a.error) fail("%s: %s gave no error; expected '%s...'", name.c_str(), what, start.c_str());
    if (a.message.compare(0, start.size(), start) != 0)
        fail("%s: %s gave the error '%s'; expected '%s...'", name.c_str(), what, a.message.c_str(), start.c_str());
    if (a.message.find_first_of("\r\n") != std::string::npos) fail("%s: an error of more than one line: %s", name.c_str(), a.message.c_str());
}

// A numeric SQL value against the host's: NULL for a missing value and for a NaN (SQLite holds
// none), else the same bits.
void check_number(int type, double got, double want, const std::string &name, const char *what) {
    if (std::isnan(want) ? type == SQLITE_NULL
                             : type == SQLITE_FLOAT && std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want))
        return;
    fail("%s: %s gave %s 0x%016llX, the host library 0x%016llX", name.c_str(), what,
         type == SQLITE_NULL ? "NULL" : type == SQLITE_FLOAT ? "REAL" : "another type",
         static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(got)),
         static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(want)));
}

std::string describe(const qvh_call *call) {
    std::string text(qvh_call_describe(call, nullptr, 0), '\0');
    qvh_call_describe(call, text.data(), text.size() + 1);
    return text;
}

void row_wise(const qvh_info &f, const std::vector<Bound> &args) {
    const std::string name = sql_name(f), list = placeholders(args.size());
    const Answer got = query("SELECT " + name + "(" + list + ")", args);
    if (static_cast<int>(args.size()) < f.min_args) {
        check_error(got, name + " takes at least ", name, "a call with too few arguments");
        if (status_text() != "error: " + got.message) fail("%s: qv_status() after an error: %s", name.c_str(), status_text().c_str());
        return;
    }
    qvh_call *call = nullptr;
    if (qvh_call_new(target().pkg, f.name, &call) != QVH_OK) fail("%s: %s", f.name, qvh_errmsg());
    std::string expected_error;
    for (std::size_t i = 0; i < args.size() && expected_error.empty(); ++i) {
        const Converted c = convert(seen[i], f, static_cast<int>(i), name);
        if (!c.error.empty()) {
            expected_error = c.error;
            break;
        }
        const int rc = c.numeric ? qvh_call_add_num(call, c.num) : qvh_call_add_str(call, c.text.data(), c.text.size());
        if (rc != QVH_OK) expected_error = name + ": argument " + std::to_string(i + 1) + " ";
    }
    if (expected_error.empty() && qvh_call_invoke(call) != QVH_OK) expected_error = name + ": ";
    if (!expected_error.empty()) {
        check_error(got, expected_error, name, "the call");
    } else if (got.error) {
        fail("%s: the call failed: %s", name.c_str(), got.message.c_str());
    } else if (f.result_kind == QVH_KIND_CHR) {
        std::size_t len = 0;
        const char *s = qvh_call_result_str(call, &len);
        if (got.types.at(0) != SQLITE_TEXT || got.texts[0] != std::string_view(s, len))
            fail("%s: the call gave '%s', the host library '%.*s'", name.c_str(), got.texts[0].c_str(), static_cast<int>(len), s);
    } else {
        check_number(got.types.at(0), got.nums[0], qvh_call_result(call), name, "the call");
    }
    // With as many arguments as its aggregate takes, a statistic is that aggregate over one row
    // (SQLite's min() and max() rule), whose status has no marks.
    const bool one_row = f.aggregate != QVH_AGG_NONE && args.size() == 1 + static_cast<std::size_t>(f.leading_param);
    const std::string status = status_text(),
                      want = got.error ? "error: " + got.message
                             : one_row ? qvh_status_name(qvh_call_status(call))
                                       : describe(call);
    if (status != want) fail("%s: qv_status() says '%s', not '%s'", name.c_str(), status.c_str(), want.c_str());
    qvh_call_free(call);
}

// The host library's answer over values in order, after the parameter when there is one.
bool host_result(const qvh_info &f, const double *param, const std::vector<double> &xs, double &result, std::int32_t &status) {
    if (xs.empty()) {
        // No rows: the statistic over no values, which a call with no argument may not be.
        qvh_agg *agg = nullptr;
        if (qvh_agg_new(target().pkg, f.name, 0, &agg) != QVH_OK) fail("%s: %s", f.name, qvh_errmsg());
        const int rc = qvh_agg_result(agg, &result, &status);
        qvh_agg_free(agg);
        return rc == QVH_OK;
    }
    qvh_call *call = nullptr;
    if (qvh_call_new(target().pkg, f.name, &call) != QVH_OK) fail("%s: %s", f.name, qvh_errmsg());
    if (param != nullptr) qvh_call_add_num(call, *param);
    qvh_call_add_nums(call, xs.data(), xs.size());
    const bool ok = qvh_call_invoke(call) == QVH_OK;
    if (ok) result = qvh_call_result(call), status = qvh_call_status(call);
    qvh_call_free(call);
    return ok;
}

void aggregate(const qvh_info &f, const std::vector<Bound> &args, std::uint8_t options) {
    const std::string name = sql_name(f);
    const bool lead = f.leading_param;
    const std::size_t first = lead && !args.empty() ? 1 : 0;
    // Row r holds x = args[first + r] and, for a statistic with a parameter, p = args[0], or
    // args[r % 2] when it changes.
    std::vector<Bound> ps, xs;
    std::vector<std::size_t> p_of;  // the argument p is, row by row
    for (std::size_t r = 0; first + r < args.size(); ++r) {
        p_of.push_back((options & 8) && args.size() > 1 ? r % 2 : 0);
        ps.push_back(lead ? args[p_of[r]] : Bound{});
        xs.push_back(args[first + r]);
    }
    if (sqlite3_exec(target().db, "DELETE FROM t", nullptr, nullptr, nullptr) != SQLITE_OK) fail("cannot empty the table");
    for (std::size_t r = 0; r < xs.size(); ++r)
        if (query("INSERT INTO t(p, x) VALUES(?1, ?2)", {ps[r], xs[r]}).error) fail("cannot insert a row");
    const std::string call = lead ? name + "(p, x)" : name + "(x)";
    const Answer got = query("SELECT " + call + " FROM t", {});

    // What each row hands the statistic.
    std::string expected_error;
    std::vector<double> values;
    double param = 0.0;
    for (std::size_t r = 0; r < xs.size() && expected_error.empty(); ++r) {
        if (lead) {
            const Converted p = convert(seen[p_of[r]], f, 0, name);
            if (!p.error.empty()) {
                expected_error = p.error;
                break;
            }
            // The host library holds every NaN that is no missing value as '.'.
            const double pv = std::isnan(p.num) && !qvh_is_missing(p.num) ? qvh_dot() : p.num;
            if (r > 0 && std::bit_cast<std::uint64_t>(pv) != std::bit_cast<std::uint64_t>(param)) {
                expected_error = name + ": ";
                break;
            }
            param = pv;
        }
        const Converted x = convert(seen[first + r], f, lead ? 1 : 0, name);
        if (!x.error.empty()) expected_error = x.error;
        values.push_back(x.num);
    }
    if (!expected_error.empty()) {
        check_error(got, expected_error, name, "the aggregate");
        return;
    }
    if (got.error) fail("%s: the aggregate failed: %s", name.c_str(), got.message.c_str());
    double want = 0.0;
    std::int32_t status = QVH_STATUS_OK;
    if (lead && values.empty()) {
        if (got.types.at(0) != SQLITE_NULL || status_text() != "no rows") fail("%s: the aggregate of no rows", name.c_str());
        return;
    }
    if (!host_result(f, lead ? &param : nullptr, values, want, status)) fail("%s: %s", f.name, qvh_errmsg());
    check_number(got.types.at(0), got.nums.at(0), want, name, "the aggregate");
    if (status_text() != qvh_status_name(status)) fail("%s: qv_status() after the aggregate: %s", name.c_str(), status_text().c_str());

    if (!(options & 4)) return;
    const std::size_t before = options & 3;
    const Answer window = query("SELECT " + call + " OVER (ORDER BY rowid ROWS BETWEEN " + std::to_string(before) +
                                    " PRECEDING AND CURRENT ROW) FROM t ORDER BY rowid",
                                {});
    if (window.error) fail("%s: the window failed: %s", name.c_str(), window.message.c_str());
    if (window.types.size() != values.size()) fail("%s: %zu window rows for %zu rows", name.c_str(), window.types.size(), values.size());
    for (std::size_t r = 0; r < values.size(); ++r) {
        const std::size_t from = r > before ? r - before : 0;
        // A window's result is the call over its frame's values in the canonical order.
        std::vector<double> frame(values.begin() + static_cast<std::ptrdiff_t>(from), values.begin() + static_cast<std::ptrdiff_t>(r + 1));
        std::stable_sort(frame.begin(), frame.end(), [](double a, double b) {
            return qvh_canonical_key(std::bit_cast<std::uint64_t>(a)) < qvh_canonical_key(std::bit_cast<std::uint64_t>(b));
        });
        if (!host_result(f, lead ? &param : nullptr, frame, want, status)) fail("%s: %s", f.name, qvh_errmsg());
        check_number(window.types[r], window.nums[r], want, name, "a window row");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    target();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Target &t = target();
    Reader in(data, size);
    const qvh_info &f = *t.functions[in.byte() % t.functions.size()];
    const unsigned count_sel = in.byte();
    const std::uint8_t options = in.byte();
    const int count = f.max_args == QVH_ANY_COUNT ? static_cast<int>(count_sel % ANY_COUNT_MAX)
                                                  : f.min_args + static_cast<int>(count_sel % (f.max_args - f.min_args + 1));
    std::vector<Bound> args;
    for (int i = 0; i < count; ++i) args.push_back(read_value(in));
    query("SELECT fz_capture(" + placeholders(args.size()) + ")", args);
    row_wise(f, args);
    if (f.aggregate != QVH_AGG_NONE) aggregate(f, args, options);
    return 0;
}

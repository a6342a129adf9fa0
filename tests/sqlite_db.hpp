// What the SQLite extension tests share: a connection with the extension loaded, SQL values
// that are bound as they are and converted the way the value rules say, and the host library's
// answer for the same call.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "qvhost.h"

namespace sqltest {

inline qvh_package *package() {
    static qvh_package *p = [] {
        qvh_package *pkg = nullptr;
        EXPECT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
        return pkg;
    }();
    return p;
}

inline std::string extension() { return std::string(std::getenv("QV_BUILD_DIR")) + "/libqvsqlite"; }

// A connection (in memory unless a file is named) with the extension loaded.
struct Db {
    sqlite3 *db = nullptr;
    explicit Db(const char *file = ":memory:") {
        EXPECT_EQ(sqlite3_open(file, &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
        load();
    }
    ~Db() { EXPECT_EQ(sqlite3_close(db), SQLITE_OK) << sqlite3_errmsg(db); }
    void load() {
        char *err = nullptr;
        EXPECT_EQ(sqlite3_load_extension(db, extension().c_str(), nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
    }
    void exec(const std::string &sql) {
        char *err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << sql << ": " << (err ? err : "");
        sqlite3_free(err);
    }
    sqlite3_stmt *prepare(const std::string &sql) {
        sqlite3_stmt *st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db);
        return st;
    }
};

// One SQL value: NULL, an INTEGER, a REAL or TEXT.
struct Value {
    int type = SQLITE_NULL;
    double num = 0;
    std::string text;

    Value(int t = SQLITE_NULL, double x = 0, std::string s = {}) : type(t), num(x), text(std::move(s)) {}

    void bind(sqlite3_stmt *st, int index) const {
        switch (type) {
            case SQLITE_INTEGER: sqlite3_bind_int64(st, index, static_cast<sqlite3_int64>(num)); break;
            case SQLITE_FLOAT: sqlite3_bind_double(st, index, num); break;
            case SQLITE_TEXT: sqlite3_bind_text(st, index, text.c_str(), -1, SQLITE_TRANSIENT); break;
            default: sqlite3_bind_null(st, index);
        }
    }
    bool missing_literal() const {
        double x;
        return type == SQLITE_TEXT && qvh_parse_missing(text.data(), text.size(), &x);
    }
    // The value rules: NULL is '.', a missing literal its value, numeric TEXT its number.
    double number() const {
        double x = 0;
        if (type == SQLITE_NULL) qvh_missing('.', &x);
        else if (type == SQLITE_TEXT) x = missing_literal() ? (qvh_parse_missing(text.data(), text.size(), &x), x)
                                                            : std::strtod(text.c_str(), nullptr);
        else x = num;
        return x;
    }
    std::string chars() const {
        return type == SQLITE_TEXT ? text : type == SQLITE_INTEGER ? std::to_string(static_cast<long long>(num)) : "";
    }
    // Adds the value to a host call as an argument of the given kind.
    void add_to(qvh_call *call, int kind) const {
        const bool numeric = kind == QVH_KIND_NUM || (kind == QVH_KIND_ANY && (type != SQLITE_TEXT || missing_literal()));
        if (numeric) qvh_call_add_num(call, number());
        else qvh_call_add_str(call, chars().data(), chars().size());
    }
};

// A result as bits (REAL), text (TEXT) or neither (NULL), with the status text.
struct Outcome {
    int type = SQLITE_NULL;
    std::uint64_t bits = 0;
    std::string text, status;
    bool operator==(const Outcome &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    os << (o.type == SQLITE_NULL ? "NULL" : o.type == SQLITE_TEXT ? "'" + o.text + "'" : "");
    if (o.type == SQLITE_FLOAT) os << std::bit_cast<double>(o.bits) << " [" << std::hex << o.bits << std::dec << "]";
    return os << " (" << o.status << ")";
}

// Column col of the current row, and the status text in column status_col.
inline Outcome read(sqlite3_stmt *st, int col, int status_col) {
    Outcome o;
    o.type = sqlite3_column_type(st, col);
    if (o.type == SQLITE_FLOAT) o.bits = std::bit_cast<std::uint64_t>(sqlite3_column_double(st, col));
    if (o.type == SQLITE_TEXT) o.text = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    if (const unsigned char *s = sqlite3_column_text(st, status_col)) o.status = reinterpret_cast<const char *>(s);
    return o;
}

// The host library's answer for f over the arguments; with_marks: the status as a row-wise call
// describes it, else its name only (as an aggregate reports it).
inline Outcome host_call(const qvh_info &f, const std::vector<Value> &args, bool with_marks) {
    qvh_call *call = nullptr;
    EXPECT_EQ(qvh_call_new(package(), f.name, &call), QVH_OK) << qvh_errmsg();
    for (std::size_t i = 0; i < args.size(); ++i) args[i].add_to(call, i == 0 ? f.first_kind : f.rest_kind);
    EXPECT_EQ(qvh_call_invoke(call), QVH_OK) << f.name << ": " << qvh_errmsg();
    Outcome o;
    if (f.result_kind == QVH_KIND_CHR) {
        o.type = SQLITE_TEXT;
        o.text = qvh_call_result_str(call, nullptr);
    } else if (const double r = qvh_call_result(call); !qvh_is_missing(r) && !std::isnan(r)) {  // SQLite holds no NaN
        o.type = SQLITE_FLOAT;
        o.bits = std::bit_cast<std::uint64_t>(r);
    }
    char buf[256];
    qvh_call_describe(call, buf, sizeof buf);
    o.status = with_marks ? buf : qvh_status_name(qvh_call_status(call));
    qvh_call_free(call);
    return o;
}

// A random SQL value for an argument of the given kind; lead: a percentile or rank.
inline Value random_value(std::mt19937_64 &rng, int kind, bool lead) {
    std::uniform_int_distribution<int> pick(0, 99);
    const int r = pick(rng);
    if (kind == QVH_KIND_CHR || (kind == QVH_KIND_ANY && r < 40)) {
        static const char *const texts[] = {"", " ", "a", "b", "ab", "\xC3\xA9t\xC3\xA9", "7", ".", ".q"};
        if (r % 10 == 9) return {SQLITE_NULL};
        if (r % 10 == 8) return {SQLITE_INTEGER, 7};
        return {SQLITE_TEXT, 0, texts[static_cast<std::size_t>(r) % std::size(texts)]};
    }
    if (lead && r < 70) return {SQLITE_INTEGER, static_cast<double>(pick(rng) + 1)};
    static const double special[] = {0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e300, -1e-300, 5e-324, 1e308 * 10, 1.7976931348623157e308};
    static const char *const literals[] = {".", "._", ".a", ".Z", ".m"};
    static const char *const numeric[] = {"2.5", " 12 ", "-0.0", "1e3", "0.1"};
    if (r < 10) return {SQLITE_NULL};
    if (r < 20) return {SQLITE_TEXT, 0, literals[static_cast<std::size_t>(r) % std::size(literals)]};
    if (r < 30) return {SQLITE_INTEGER, static_cast<double>(pick(rng) - 3)};
    if (r < 37) return {SQLITE_TEXT, 0, numeric[static_cast<std::size_t>(r) % std::size(numeric)]};
    if (r < 60) return {SQLITE_FLOAT, special[static_cast<std::size_t>(r) % std::size(special)]};
    return {SQLITE_FLOAT, std::uniform_real_distribution<double>(-100, 100)(rng)};
}

inline std::string sql_name(const qvh_info &f) {
    std::string name = "qv_";
    for (const char *c = f.name; *c; ++c) name += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    return name;
}

inline bool registered(const qvh_info &f) {
    qvh_call *call = nullptr;
    const bool ok = qvh_call_new(package(), f.name, &call) == QVH_OK;
    qvh_call_free(call);
    return ok;
}

}  // namespace sqltest

// What the SQLite extension tests share: a connection with the extension loaded, SQL values bound
// as they are and converted as the value rules say, and the host library's answer for a call.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "qvhost.h"

namespace sqltest {

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
        const std::string path = std::string(std::getenv("QV_BUILD_DIR")) + "/libqvsqlite";
        EXPECT_EQ(sqlite3_load_extension(db, path.c_str(), nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
    }
    void exec(const std::string &sql) { EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql; }
    sqlite3_stmt *prepare(const std::string &sql) {
        sqlite3_stmt *st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db);
        return st;
    }
};

// One SQL value: NULL, an INTEGER, a REAL or TEXT.
struct Value {
    int type;
    double num;
    std::string text;

    Value(int t = SQLITE_NULL, double x = 0, std::string s = {}) : type(t), num(x), text(std::move(s)) {}
    void bind(sqlite3_stmt *st, int index) const {
        if (type == SQLITE_INTEGER) sqlite3_bind_int64(st, index, static_cast<sqlite3_int64>(num));
        if (type == SQLITE_FLOAT) sqlite3_bind_double(st, index, num);
        if (type == SQLITE_TEXT) sqlite3_bind_text(st, index, text.c_str(), -1, SQLITE_TRANSIENT);
        if (type == SQLITE_NULL) sqlite3_bind_null(st, index);
    }
    // Adds the value to a host call as the value rules read an argument of the given kind.
    void add_to(qvh_call *call, int kind) const {
        double x = num;
        const bool literal = type == SQLITE_TEXT && qvh_parse_missing(text.data(), text.size(), &x);
        if (kind == QVH_KIND_CHR || (kind == QVH_KIND_ANY && type == SQLITE_TEXT && !literal)) {
            const std::string s = type == SQLITE_INTEGER ? std::to_string(static_cast<long long>(num)) : text;
            qvh_call_add_str(call, s.data(), s.size());
            return;
        }
        if (type == SQLITE_NULL) qvh_missing('.', &x);
        if (type == SQLITE_TEXT && !literal) x = std::strtod(text.c_str(), nullptr);
        qvh_call_add_num(call, x);
    }
};

// A random value for an argument of the given kind; lead: a percentile or rank.
inline Value random_value(std::mt19937_64 &rng, int kind, bool lead) {
    static const char *const texts[] = {"", " ", "a", "ab", "\xC3\xA9t\xC3\xA9", "7", ".", ".q", "b"};
    static const char *const numeric_texts[] = {".", "._", ".a", ".Z", "2.5", " 12 ", "-0.0", "1e3"};
    static const double special[] = {0.0, -0.0, 1.0, -1.0, 0.5, 1e300, 5e-324, INFINITY, -1.7976931348623157e308};
    const int r = static_cast<int>(rng() % 100);
    if (r < 10) return {r < 5 ? SQLITE_NULL : SQLITE_INTEGER, 7};
    if (kind == QVH_KIND_CHR || (kind == QVH_KIND_ANY && r < 40)) return {SQLITE_TEXT, 0, texts[r % 9]};
    if (lead && r < 70) return {SQLITE_INTEGER, static_cast<double>(rng() % 101)};
    if (r < 20) return {SQLITE_INTEGER, static_cast<double>(rng() % 1000) - 3};
    if (r < 35) return {SQLITE_TEXT, 0, numeric_texts[r % 8]};
    if (r < 55) return {SQLITE_FLOAT, special[r % 9]};
    return {SQLITE_FLOAT, std::uniform_real_distribution<double>(-100, 100)(rng)};
}

// A result as REAL bits, TEXT or NULL, with the status text.
struct Outcome {
    int type;
    std::uint64_t bits;
    std::string text, status;

    Outcome(int t = SQLITE_NULL, std::uint64_t b = 0, std::string s = {}) : type(t), bits(b), text(std::move(s)) {}
    bool operator==(const Outcome &) const = default;
    friend std::ostream &operator<<(std::ostream &os, const Outcome &o) {
        return os << o.type << " " << std::bit_cast<double>(o.bits) << " '" << o.text << "' (" << o.status << ")";
    }
};

inline Outcome read(sqlite3_stmt *st, int col, int status_col) {
    Outcome o{sqlite3_column_type(st, col)};
    if (o.type == SQLITE_FLOAT) o.bits = std::bit_cast<std::uint64_t>(sqlite3_column_double(st, col));
    if (o.type == SQLITE_TEXT) o.text = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    if (const unsigned char *s = sqlite3_column_text(st, status_col)) o.status = reinterpret_cast<const char *>(s);
    return o;
}

// The host library's answer; the status as a row-wise call describes it, or only its name.
inline Outcome host_call(const qvh_info &f, const std::vector<Value> &args, bool with_marks) {
    static qvh_package *pkg = [] {
        qvh_package *p = nullptr;
        EXPECT_EQ(qvh_open(nullptr, &p), QVH_OK) << qvh_errmsg();
        return p;
    }();
    qvh_call *call = nullptr;
    EXPECT_EQ(qvh_call_new(pkg, f.name, &call), QVH_OK) << qvh_errmsg();
    for (std::size_t i = 0; i < args.size(); ++i) args[i].add_to(call, i == 0 ? f.first_kind : f.rest_kind);
    EXPECT_EQ(qvh_call_invoke(call), QVH_OK) << f.name << ": " << qvh_errmsg();
    Outcome o;
    const double r = qvh_call_result(call);
    if (f.result_kind == QVH_KIND_CHR) o = {SQLITE_TEXT, 0, qvh_call_result_str(call, nullptr)};
    else if (!qvh_is_missing(r) && !std::isnan(r)) o = {SQLITE_FLOAT, std::bit_cast<std::uint64_t>(r)};  // SQLite holds no NaN
    char buf[1024];
    qvh_call_describe(call, buf, sizeof buf);
    o.status = with_marks ? buf : qvh_status_name(qvh_call_status(call));
    qvh_call_free(call);
    return o;
}

inline std::string sql_name(const qvh_info &f) {
    std::string name = "qv_";
    for (const char *c = f.name; *c; ++c) name += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    return name;
}

// The catalogue's functions the package provides, optionally only the statistics over rows.
inline std::vector<const qvh_info *> functions(bool statistics_only) {
    std::vector<const qvh_info *> out;
    for (std::size_t i = 0; i < qvh_function_count(); ++i)
        if (const qvh_info *f = qvh_function_at(i); f->statuses != 0 && (!statistics_only || f->aggregate != QVH_AGG_NONE))
            out.push_back(f);
    return out;
}

}  // namespace sqltest

// The SQLite extension in a real SQLite: row-wise calls, GROUP BY groups and window frames against
// the host library's answer; value rules, messages and qv_status() as a table; connections and
// threads; and its memory, SQLite's: a refused allocation anywhere is SQLite's out-of-memory error.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "canonical.hpp"
#include "qvhost.h"
#include "sanitized.hpp"

namespace {

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
    // Adds the value to a host call as the extension should: SQLite's own casts where the argument
    // takes one kind (TEXT that reads as a number, a number written as text), then the host's edge.
    void add_to(qvh_call *call, const qvh_info &f, std::size_t index) const {
        std::string written;
        const qvh_value out = edge(f, index, written);
        if (out.kind == QVH_VALUE_NUM) qvh_call_add_num(call, out.num);
        else qvh_call_add_str(call, out.text, out.len);
    }
    // The value as the host's edge gives it to argument index of f (text in written, or in the
    // host's buffer).
    qvh_value edge(const qvh_info &f, std::size_t index, std::string &written) const {
        const int kind = index == 0 ? f.first_kind : f.rest_kind;
        char *end = nullptr;
        const double parsed = type == SQLITE_TEXT ? std::strtod(text.c_str(), &end) : num;
        while (end != nullptr && *end == ' ') ++end;
        const bool numeric_text = type == SQLITE_TEXT && end != text.c_str() && *end == '\0' &&
                                  text.find_first_of("iInNxX") == text.npos;  // SQLite reads no inf, nan or hex
        written = type == SQLITE_INTEGER ? std::to_string(static_cast<long long>(num)) : text;
        qvh_value in{QVH_VALUE_NULL, 0, nullptr, 0}, out{};
        if ((type == SQLITE_INTEGER || type == SQLITE_FLOAT) && kind != QVH_KIND_CHR) in = {QVH_VALUE_NUM, num, nullptr, 0};
        else if (numeric_text && kind == QVH_KIND_NUM) in = {QVH_VALUE_NUM, parsed, nullptr, 0};
        else if (type != SQLITE_NULL) in = {QVH_VALUE_TEXT, 0, written.data(), written.size()};
        EXPECT_EQ(qvh_edge_arg(&f, nullptr, index, &in, &out), QVH_OK) << qvh_errmsg();
        return out;
    }
};

// A column as text; NULL is "".
std::string text(sqlite3_stmt *st, int col) {
    const auto *s = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    return s != nullptr ? s : "";
}

struct Db {
    sqlite3 *db = nullptr;
    explicit Db(const char *file = ":memory:", const std::string &load_error = "") {
        EXPECT_EQ(sqlite3_open(file, &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
        EXPECT_EQ(load(), load_error);
    }
    ~Db() { EXPECT_EQ(sqlite3_close(db), SQLITE_OK) << sqlite3_errmsg(db); }
    std::string load() {
        char *err = nullptr;
        const std::string path = std::string(std::getenv("QV_BUILD_DIR")) + "/libqvsqlite";
        sqlite3_load_extension(db, path.c_str(), nullptr, &err);
        const std::string message = err ? err : "";
        sqlite3_free(err);
        return message;
    }
    void exec(const std::string &sql) { EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql; }
    // Runs a statement to its end with the values bound, handing each row over: "" when it ran
    // through, else the error.
    std::string run(const std::string &sql, const std::function<void(sqlite3_stmt *)> &each_row = {},
                    const std::vector<Value> &binds = {}) {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
        for (std::size_t k = 0; k < binds.size(); ++k) binds[k].bind(st, static_cast<int>(k + 1));
        while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
            if (each_row) each_row(st);
            rc = SQLITE_OK;
        }
        sqlite3_finalize(st);
        return rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
    }
};

// A random value for an argument of the given kind; lead: a percentile or rank.
Value random_value(std::mt19937_64 &rng, int kind, bool lead) {
    static const char *const texts[] = {"", " ", "a", "ab", "\xC3\xA9t\xC3\xA9", "7", ".", ".q", "b"};
    static const char *const numeric_texts[] = {".", "", ".a", ".Z", "2.5", " 12 ", "-0.0", "1e3"};
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

// A result as text: NULL, REAL and its bits, or TEXT and the text; then the status.
std::string outcome(int type, double x, const std::string &s, const std::string &status) {
    return (type == SQLITE_FLOAT ? "REAL " + std::to_string(std::bit_cast<std::uint64_t>(x)) : type == SQLITE_TEXT ? "TEXT " + s : "NULL") +
           " (" + status + ")";
}
std::string read(sqlite3_stmt *st, int col, int status_col) {
    return outcome(sqlite3_column_type(st, col), sqlite3_column_double(st, col), text(st, col), text(st, status_col));
}

// The host library's answer; the status as a row-wise call describes it, or only its name.
std::string host_call(const qvh_info &f, const std::vector<Value> &args, bool with_marks) {
    static qvh_package *pkg = [] {
        qvh_package *p = nullptr;
        EXPECT_EQ(qvh_open(nullptr, &p), QVH_OK) << qvh_errmsg();
        return p;
    }();
    qvh_call *call = nullptr;
    EXPECT_EQ(qvh_call_new(pkg, f.name, &call), QVH_OK) << qvh_errmsg();
    for (std::size_t i = 0; i < args.size(); ++i) args[i].add_to(call, f, i);
    EXPECT_EQ(qvh_call_invoke(call), QVH_OK) << f.name << ": " << qvh_errmsg();
    const double r = qvh_call_result(call);
    char described[1024];
    qvh_call_describe(call, described, sizeof described);
    const int type = f.result_kind == QVH_KIND_CHR ? SQLITE_TEXT : qvh_is_missing(r) ? SQLITE_NULL : SQLITE_FLOAT;
    const std::string o = outcome(type, r, type == SQLITE_TEXT ? qvh_call_result_str(call, nullptr) : "",
                                  with_marks ? described : qvh_status_name(qvh_call_status(call)));
    qvh_call_free(call);
    return o;
}

std::string sql_name(const qvh_info &f) { return qvh_sql_name(&f); }

// The catalogue's functions the package provides, optionally only the statistics over rows.
std::vector<const qvh_info *> functions(bool statistics_only) {
    std::vector<const qvh_info *> out;
    for (std::size_t i = 0; i < qvh_function_count(); ++i)
        if (const qvh_info *f = qvh_function_at(i); f->statuses != 0 && (!statistics_only || f->aggregate != QVH_AGG_NONE))
            out.push_back(f);
    return out;
}

// SQLite's own allocator, refusing the allocation numbered `refuse` (from 0) once.
sqlite3_mem_methods heap;
std::atomic<long> refuse{-1};
void *refusing_malloc(int n) { return refuse >= 0 && refuse-- == 0 ? nullptr : heap.xMalloc(n); }
void *refusing_realloc(void *p, int n) { return refuse >= 0 && refuse-- == 0 ? nullptr : heap.xRealloc(p, n); }
[[maybe_unused]] const bool installed = [] {
    static sqlite3_mem_methods m;
    sqlite3_config(SQLITE_CONFIG_GETMALLOC, &heap);
    m = heap;
    m.xMalloc = refusing_malloc;
    m.xRealloc = refusing_realloc;
    return sqlite3_config(SQLITE_CONFIG_MALLOC, &m) == SQLITE_OK;
}();

// Every row of a statement, REAL as its bits, and the error or "".
std::string rows(Db &db, const std::string &sql) {
    std::string out;
    const std::string error = db.run(sql, [&](sqlite3_stmt *st) {
        for (int c = 0; c < sqlite3_column_count(st); ++c)
            out += (sqlite3_column_type(st, c) == SQLITE_FLOAT ? std::to_string(std::bit_cast<std::uint64_t>(sqlite3_column_double(st, c)))
                                                                 : text(st, c)) + "|";
    });
    return out + error;
}

using Parts = std::map<int, std::vector<Value>>;

TEST(Sqlite, EveryFunctionRowWiseAgainstTheHostCall) {
    Db db;
    std::mt19937_64 rng(20261207);
    for (const qvh_info *f : functions(false)) {
        const int most = f->max_args == QVH_ANY_COUNT ? f->min_args + 7 : f->max_args;
        for (int trial = 0; trial < 60; ++trial) {
            const int argc = f->min_args + static_cast<int>(rng() % static_cast<unsigned>(most - f->min_args + 1));
            std::vector<Value> args;
            std::string sql = "SELECT " + sql_name(*f) + "(";
            for (int k = 0; k < argc; ++k) {
                args.push_back(random_value(rng, k == 0 ? f->first_kind : f->rest_kind, k == 0 && f->leading_param));
                sql += (k ? ", ?" : "?") + std::to_string(k + 1);
            }
            // One data argument of a statistic is its aggregate over one row, whose status has no marks.
            const bool aggregate = f->aggregate != QVH_AGG_NONE && argc == 1 + f->leading_param;
            const std::string want = host_call(*f, args, !aggregate);
            EXPECT_EQ(db.run(sql + "), qv_status()", [&](sqlite3_stmt *st) { EXPECT_EQ(read(st, 0, 1), want) << sql; }, args), "") << sql;
        }
    }
}

// Each statement runs on one connection in turn; then qv_status() must say the given status, or
// after a statement a qv_ function stopped, "error: " and its message (the statuses of the groups
// SQLite finishes while abandoning it must not replace it).
TEST(Sqlite, RegistrationsValueRulesErrorsAndStatus) {
    int forms = 1;  // qv_status
    for (const qvh_info *f : functions(false))
        forms += (f->max_args == QVH_ANY_COUNT ? 1 : f->max_args - f->min_args + 1) + (f->aggregate != QVH_AGG_NONE);
    std::string many = "qv_geomean(-1", marks = "invalid argument; arguments 1";
    for (int k = 2; k <= 100; ++k) {
        many += ", -" + std::to_string(k);
        marks += ", " + std::to_string(k);
    }
    const std::string to9000 = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 9000) ";
    struct Case { std::string sql, want, status; };  // the last column as text or the error; qv_status() afterwards
    const Case cases[] = {
        {"SELECT count(*) FROM pragma_function_list WHERE name LIKE 'qv!_%' ESCAPE '!'", std::to_string(forms), ""},
        {"SELECT count(*) FROM pragma_function_list WHERE name LIKE 'qv!_%' ESCAPE '!' AND flags != " +
             std::to_string(SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS) + " AND NOT (name = 'qv_status' AND flags = 0)", "0", ""},
        {"SELECT group_concat(t) FROM (SELECT type || narg t FROM pragma_function_list WHERE name = 'qv_pctl' ORDER BY 1)", "s-1,w2", ""},
        {"SELECT " + many + ")", "", marks + " marked"},
        {"SELECT qv_mean(x) FROM (SELECT '' x UNION ALL SELECT NULL)", "", "missing argument"},
        // '' is the missing value to qv_ functions and a value to SQLite's own (0 to avg).
        {"SELECT qv_n(DISTINCT x) || ' ' || count(DISTINCT x) || ' ' || qv_n(x) || ' ' || count(x) || ' ' || avg(x) FROM "
         "(SELECT 1 x UNION ALL SELECT 2 UNION ALL SELECT '' UNION ALL SELECT NULL UNION ALL SELECT 2)", "2.0 3 3.0 4 1.25", "ok"},
        // NaN results: sums of powers that overflow above about 1e154, infinities in the data.
        {"SELECT qv_kurtosis(1, 2, 3, 1e155)", "", "not a number"},
        {"SELECT qv_std(x) FROM (SELECT 1 x UNION ALL SELECT 9e999)", "", "not a number"},
        {"SELECT qv_css(x) OVER () FROM (SELECT 9e999 x UNION ALL SELECT 2)", "", "not a number"},
        {"SELECT qv_pctl(50, x) FROM (SELECT 1 x) WHERE 0", "", "no rows"},
        {"SELECT qv_n(x) FROM (SELECT 1 x) WHERE 0", "0.0", "ok"},
        // The statement's results: one is described, several summed up by function and status.
        {"SELECT qv_std(v), qv_max(v) FROM (SELECT 9e999 v UNION ALL SELECT 1 UNION ALL SELECT 2)", "Inf", "qv_std: not a number"},
        {"SELECT qv_sqrt(x) FROM (SELECT -1 x UNION ALL SELECT 4)", "2.0", "qv_sqrt: invalid argument"},
        {"SELECT qv_pctl(150, 1, 2), qv_abs(-1)", "1.0", "qv_pctl: invalid argument"},
        {"SELECT qv_abs(-1), qv_abs(-2)", "2.0", "ok"},
        {"SELECT qv_mean(1, '12abc')", "qv_mean: argument 2 must be a number, not a character value ('12abc')", ""},
        {"SELECT qv_median(x) OVER () FROM (SELECT 'A' x)", "qv_median: argument 1 must be a number, not a character value ('A')", ""},
        {"SELECT qv_median(x'01')", "qv_median: argument 1 is a BLOB, not a number", ""},
        {"SELECT qv_whichc(x'01', 'a')", "qv_whichc: argument 1 is a BLOB, not text", ""},
        {"SELECT qv_pctl()", "qv_pctl takes at least 1 argument, got 0: qv_pctl(p, x1, ...)", ""},
        {"SELECT qv_atan2(1)", "wrong number of arguments to function qv_atan2()", "error: qv_pctl takes at least 1 argument, got 0: qv_pctl(p, x1, ...)"},
        {"SELECT qv_ordinal2(1, 2)", "no such function: qv_ordinal2", "error: qv_pctl takes at least 1 argument, got 0: qv_pctl(p, x1, ...)"},
        {"SELECT qv_pctl(x, x) FROM (SELECT 1 x UNION ALL SELECT 2)", "qv_pctl: the percentile must be the same for every row of a group", ""},
        // Sliding frames: a fixed state folds every 4096 values, so a frame that took in that many
        // before its first result cannot let rows leave; frames that grow one result at a time can,
        // and so can statistics that keep their values.
        {to9000 + "SELECT qv_sum(x) OVER (ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING) FROM c", "9000.0", "ok"},
        {to9000 + "SELECT min(m = (x + 5000) / 2.0) FROM (SELECT x, qv_median(x) OVER (ORDER BY x ROWS BETWEEN CURRENT ROW AND "
                  "UNBOUNDED FOLLOWING) m FROM c WHERE x <= 5000)", "1", "ok"},
        {to9000 + "SELECT min(a = b) FROM (SELECT qv_sum(x) OVER w a, sum(x) OVER w b FROM c WINDOW w AS (ORDER BY x ROWS 5000 PRECEDING))", "1", "ok"},
        {to9000 + "SELECT min(a = b) FROM (SELECT qv_mean(x) OVER w a, avg(x) OVER w b FROM c WINDOW w AS (ORDER BY x))", "1", "ok"},
        // Two and three aggregates and a row-wise call, one of them stopping the statement.
        {"SELECT qv_n(a), qv_mean(b) FROM (SELECT 1 a, 2 b UNION ALL SELECT 'bad', 3)", "qv_n: argument 1 must be a number, not a character value ('bad')", ""},
        {"SELECT qv_n(a), qv_mean(b) FROM (SELECT 1 a, 2 b UNION ALL SELECT 3, 'bad')", "qv_mean: argument 1 must be a number, not a character value ('bad')", ""},
        {"SELECT qv_sum(a), qv_median(b), qv_max(c) FROM (SELECT 0 g, 1 a, 2 b, 3 c UNION ALL SELECT 1, 4, 5, 6 UNION ALL SELECT 1, 4, x'01', 6) GROUP BY g",
         "qv_median: argument 1 is a BLOB, not a number", ""},
        {"SELECT qv_mean(a), qv_abs(max(b)), qv_n(c) FROM (SELECT 1 a, 'bad' b, 3 c)", "qv_abs: argument 1 must be a number, not a character value ('bad')", ""},
        {"SELECT qv_n(a), qv_mean(b) FROM (SELECT 1 a, 2 b)", "2.0", "ok"},
    };
    Db db;
    for (const auto &[sql, want, status] : cases) {
        std::string got;  // of the last row
        const std::string error = db.run(sql, [&](sqlite3_stmt *st) { got = text(st, sqlite3_column_count(st) - 1); });
        EXPECT_EQ(error.empty() ? got : error, want) << sql.substr(0, 100);
        EXPECT_EQ(db.run("SELECT qv_status()", [&](sqlite3_stmt *st) { got = text(st, 0); }), "");
        EXPECT_EQ(got, !status.empty() || error.empty() ? status : "error: " + error) << sql.substr(0, 100);
    }
}

// qv_status() tells the last statement's results, not those of the statements before it: another
// statement (prepared where the last one was), or the same one run again.
TEST(Sqlite, StatusOfTheLastStatement) {
    Db db;
    std::string got;
    auto status = [&] {
        EXPECT_EQ(db.run("SELECT qv_status()", [&](sqlite3_stmt *st) { got = text(st, 0); }), "");
        return got;
    };
    EXPECT_EQ(db.run("SELECT qv_sqrt(-1)"), "");
    EXPECT_EQ(db.run("SELECT qv_abs(-2)"), "");
    EXPECT_EQ(status(), "ok");
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db.db, "SELECT qv_sqrt(?1)", -1, &st, nullptr), SQLITE_OK);
    for (const double x : {-1.0, 4.0}) {
        sqlite3_bind_double(st, 1, x);
        EXPECT_EQ(sqlite3_step(st), SQLITE_ROW);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    EXPECT_EQ(status(), "ok");
    EXPECT_EQ(db.run("SELECT qv_pctl(150, 1, 2)"), "");
    EXPECT_EQ(status(), "invalid argument; argument 1 marked");
    EXPECT_EQ(status(), "invalid argument; argument 1 marked");  // reading it again changes nothing
}

// A statistic over column x with the same percentile or rank on every row, and its arguments.
std::string call(const qvh_info &f) { return sql_name(f) + (f.leading_param ? "(37.5, x)" : "(x)"); }
std::vector<Value> args(const qvh_info &f, std::vector<Value> xs) {
    if (f.leading_param) xs.insert(xs.begin(), Value{SQLITE_FLOAT, 37.5});
    return xs;
}

// Parts of the given sizes, kept in (part, seq) order in an untyped column, so values stay as bound.
Parts fill(Db &db, const char *table, const std::vector<int> &sizes) {
    std::mt19937_64 rng(sizes.size());
    Parts parts;
    db.exec(std::string("CREATE TABLE ") + table + "(part INTEGER, seq INTEGER, x, PRIMARY KEY (part, seq)) WITHOUT ROWID; BEGIN");
    for (std::size_t p = 0; p < sizes.size(); ++p)
        for (int i = 0; i < sizes[p]; ++i) {
            const Value x = parts[static_cast<int>(p)].emplace_back(random_value(rng, QVH_KIND_NUM, false));
            EXPECT_EQ(db.run(std::string("INSERT INTO ") + table + " VALUES (?1, ?2, ?3)", {}, {{SQLITE_INTEGER, 1.0 * p}, {SQLITE_INTEGER, 1.0 * i}, x}), "");
        }
    db.exec("COMMIT");
    return parts;
}

TEST(Sqlite, GroupsAgainstTheHostCall) {
    Db db;
    std::vector<int> sizes = {1, 4200};
    for (int i = 0; i < 30; ++i) sizes.push_back(2 + i * 3);
    const Parts parts = fill(db, "t", sizes);
    for (const qvh_info *f : functions(true)) {
        auto part = parts.begin();
        EXPECT_EQ(db.run("SELECT " + call(*f) + ", qv_status() FROM t GROUP BY part ORDER BY part", [&](sqlite3_stmt *st) {
            const std::vector<Value> xs = args(*f, (part++)->second);
            EXPECT_EQ(read(st, 0, 1), host_call(*f, xs, false)) << f->name << " over " << xs.size();
        }), "");
        EXPECT_EQ(part, parts.end());
    }
}

// Puts a frame's values into the canonical order of the numbers the host takes them as.
void canonical_order(const qvh_info &f, std::vector<Value> &xs) {
    const std::size_t index = f.leading_param ? 1 : 0;
    auto key = [&](const Value &x) {
        std::string written;
        const qvh_value v = x.edge(f, index, written);
        return qvsql::canonical_key(std::bit_cast<std::uint64_t>(v.kind == QVH_VALUE_NUM ? v.num : 0.0));
    };
    std::stable_sort(xs.begin(), xs.end(), [&](const Value &a, const Value &b) { return key(a) < key(b); });
}

// Each frame's result is the host call over its rows' values in the canonical order (but for EXCLUDE).
TEST(Sqlite, WindowFramesAgainstTheFramesRows) {
    const std::pair<const char *, std::function<bool(int i, int j)>> frames[] = {  // row j of a partition is in the frame of row i
        {"ORDER BY seq ROWS BETWEEN 2 PRECEDING AND 3 FOLLOWING", [](int i, int j) { return j >= i - 2 && j <= i + 3; }},
        {"ORDER BY seq", [](int i, int j) { return j <= i; }},
        {"ORDER BY seq ROWS 10 PRECEDING", [](int i, int j) { return j >= i - 10 && j <= i; }},
        {"ORDER BY seq ROWS 100 PRECEDING", [](int i, int j) { return j >= i - 100 && j <= i; }},
        {"ORDER BY seq ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", [](int i, int j) { return j >= i; }},
        {"ORDER BY seq ROWS BETWEEN 1 FOLLOWING AND 3 FOLLOWING", [](int i, int j) { return j > i && j <= i + 3; }},
        {"ORDER BY seq ROWS BETWEEN 2 PRECEDING AND 2 FOLLOWING EXCLUDE CURRENT ROW", [](int i, int j) { return j != i && std::abs(j - i) <= 2; }},
        {"ORDER BY seq / 3 RANGE 1 PRECEDING", [](int i, int j) { return j / 3 >= i / 3 - 1 && j / 3 <= i / 3; }},
        {"ORDER BY seq ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING", [](int, int) { return true; }},
    };
    Db db;
    const Parts parts = fill(db, "w", {0, 1, 2, 7, 12, 25, 40, 150});
    // A sanitized build looks for memory errors, which follow the aggregate's path (its state, its
    // merge, its percentile) rather than the function: there it takes the first function of each
    // such kind; the plain build checks every function's bits.
    std::set<std::tuple<int, int, int, int>> kinds;
    for (const qvh_info *f : functions(true)) {
        if (!kinds.insert({f->aggregate, f->fold, f->merge, f->leading_param}).second && qvt::SANITIZED) continue;
        for (const auto &frame : frames) {
            const char *over = frame.first;
            const auto &in_frame = frame.second;
            EXPECT_EQ(db.run("SELECT part, seq, " + call(*f) + " OVER (PARTITION BY part " + over + "), qv_status() FROM w ORDER BY part, seq",
                             [&](sqlite3_stmt *st) {
                                 const int i = sqlite3_column_int(st, 1);
                                 std::vector<Value> in;
                                 for (int j = 0; const Value &x : parts.at(sqlite3_column_int(st, 0)))
                                     if (in_frame(i, j++)) in.push_back(x);
                                 // SQLite finishes a frame with EXCLUDE as a group of its own: in frame order.
                                 if (std::string(over).find("EXCLUDE") == std::string::npos) canonical_order(*f, in);
                                 const std::string want = in.empty() && f->leading_param ? "NULL (no rows)" : host_call(*f, args(*f, in), false);
                                 EXPECT_EQ(read(st, 2, 3), want) << f->name << " OVER " << over << " row " << i;
                             }),
                      "") << f->name << " OVER " << over;
        }
    }
}

TEST(Sqlite, ConnectionsAndThreads) {
    const char *summary = "SELECT qv_median(x), qv_sum(x), qv_round(qv_sum(x), 0.01) FROM t GROUP BY part";
    const std::string file = std::string(std::getenv("QV_BUILD_DIR")) + "/tests/sqlite_extension_test.db";
    std::remove(file.c_str());
    std::string expected, results[2];
    {
        Db first(file.c_str());
        fill(first, "t", {3000, 10, 20000, 1, 700});
        EXPECT_EQ(first.load(), "");  // loaded twice: the second registrations replace the first
        expected = rows(first, summary);
    }  // the last connection closed the package; the threads open it again, and share it
    std::thread threads[2];
    for (int k = 0; k < 2; ++k)
        threads[k] = std::thread([&, k] {
            Db db(file.c_str());
            for (int i = 0; i < 3; ++i) results[k] = rows(db, summary);
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(results[0], expected);
    EXPECT_EQ(results[1], expected);
    // No package to open: the load fails in one line.
    const std::string package = std::getenv("QV_LIB");
    setenv("QV_LIB", "/nonexistent/\xFF/libqvewumth.so", 1);
    Db(":memory:", "error during initialization: qvsqlite: cannot load /nonexistent/\\xFF/libqvewumth.so: No such file or directory");
    setenv("QV_LIB", package.c_str(), 1);
    std::remove(file.c_str());
}

// A connection closed (sqlite3_close_v2) while a statement still holds aggregate and window states:
// the statement finalized afterwards frees them, and every byte of SQLite's heap the connection
// took is back; the sanitizer build sees the rest.
TEST(Sqlite, ConnectionClosedWithLiveAggregates) {
    const char *const statements[] = {
        "SELECT part, qv_median(x), qv_sum(x), qv_pctl(90, x) FROM t GROUP BY part",
        "SELECT qv_median(x) OVER (ORDER BY seq ROWS 3 PRECEDING), qv_n(x) OVER (ORDER BY seq ROWS 3 PRECEDING) FROM t",
        "SELECT qv_mean(x) OVER (PARTITION BY part), qv_max(x) OVER (PARTITION BY part) FROM t",
    };
    for (const char *sql : statements) {
        const sqlite3_int64 before = sqlite3_memory_used();
        sqlite3 *db = nullptr;
        sqlite3_stmt *st = nullptr;
        {
            Db open;  // the connection is handed over, not closed by Db
            fill(open, "t", {300, 2000, 5});
            ASSERT_EQ(sqlite3_prepare_v2(open.db, sql, -1, &st, nullptr), SQLITE_OK) << sql;
            std::swap(db, open.db);
            ASSERT_TRUE(sqlite3_open(":memory:", &open.db) == SQLITE_OK);
        }
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW) << sql;
        EXPECT_EQ(sqlite3_close_v2(db), SQLITE_OK) << sql;
        EXPECT_EQ(sqlite3_step(st), SQLITE_ROW) << sql;  // the statement goes on after the close
        EXPECT_EQ(sqlite3_finalize(st), SQLITE_OK) << sql;
        EXPECT_EQ(sqlite3_memory_used(), before) << sql;
    }
}

// A long statement interrupted from another thread (sqlite3_interrupt) ends with SQLite's
// interrupt error, and the connection goes on: aggregates, windows and row-wise calls.
TEST(Sqlite, InterruptedFromAnotherThread) {
    const std::string rows3m = "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 3000000) ";
    const std::string statements[] = {
        rows3m + "SELECT max(m) FROM (SELECT qv_median(i % 977) OVER (ORDER BY i ROWS 1000 PRECEDING) m FROM c)",
        rows3m + "SELECT i % 7, qv_median(i), qv_mean(i) FROM c GROUP BY 1",
        rows3m + "SELECT max(qv_pctl(90, i, i + 1, i * 2)) FROM c",
    };
    Db db;
    for (const std::string &sql : statements) {
        std::thread interrupt([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            sqlite3_interrupt(db.db);
        });
        const std::string error = db.run(sql);
        interrupt.join();
        EXPECT_EQ(error, "interrupted") << sql;
        EXPECT_EQ(rows(db, "SELECT qv_abs(-2)"), std::to_string(std::bit_cast<std::uint64_t>(2.0)) + "|") << sql;
    }
}

TEST(Sqlite, RefusedAtEveryPoint) {
    // SQL, and what qv_status() must have said after one of its refusals or another: the values
    // kept, the package's argument list and its scratch memory past 256 values are SQLite's, and
    // every message names the SQL function.
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        {"SELECT qv_pctl(50, x, 2 * x, 7), qv_coalescec('a', x), qv_status() FROM t WHERE x < 9", {"error: qv_coalescec: out of memory"}},
        {"SELECT qv_median(x), qv_sum(x), qv_status() FROM t GROUP BY x < 290",
         {"error: qv_median: out of memory asking for ", "error: qv_sum: out of memory asking for "}},
        {"SELECT qv_median(x) OVER w, qv_mean(x) OVER w, qv_status() FROM t WINDOW w AS (ORDER BY x ROWS 270 PRECEDING)",
         {"error: qv_median: out of memory asking for ", "error: qv_mean: out of memory asking for "}},
    };
    Db db;
    db.exec("CREATE TABLE t(x); WITH RECURSIVE c(v) AS (SELECT 1 UNION ALL SELECT v + 1 FROM c WHERE v < 300) INSERT INTO t SELECT v FROM c");
    for (const auto &[sql, must_meet] : cases) {
        const std::string want = rows(db, sql);
        std::string met;  // what qv_status() said after each out-of-memory error
        for (long k = 0;; ++k) {
            refuse = k;
            const std::string got = rows(db, sql);
            if (refuse.exchange(-1) >= 0) break;  // no allocation left to refuse
            if (got.ends_with("out of memory")) met += rows(db, "SELECT qv_status()");
            else EXPECT_EQ(got, want) << sql << ": allocation " << k << " refused";
        }
        for (const std::string &m : must_meet) EXPECT_NE(met.find(m), met.npos) << sql << ": " << m;
        for (std::size_t at = met.find("error: "); at != met.npos; at = met.find("error: ", at + 1))
            EXPECT_EQ(met.compare(at, 10, "error: qv_"), 0) << sql << ": " << met.substr(at, 60);
    }
}

// A median of 10^5 values needs about 3.2 MB at its peak: it fails under a heap limit 1 MB above
// what SQLite uses, and is what it is without a limit under one 8 MB above.
TEST(Sqlite, HeapLimitBelowAMediansNeed) {
    Db db;
    db.exec("CREATE TABLE big(x REAL); WITH RECURSIVE c(v) AS (SELECT 1 UNION ALL SELECT v + 1 FROM c WHERE v < 100000) "
            "INSERT INTO big SELECT v * 0.7 FROM c");
    const std::string median = rows(db, "SELECT qv_median(x) FROM big");
    for (const auto &[room, want] : {std::pair{1 << 20, std::string("out of memory")}, {8 << 20, median}}) {
        sqlite3_hard_heap_limit64(sqlite3_memory_used() + room);
        const std::string got = rows(db, "SELECT qv_median(x) FROM big");
        sqlite3_hard_heap_limit64(0);
        EXPECT_EQ(got, want) << room;
    }
}

}  // namespace

// The extension's row-wise functions against the host library's answer for the same call, the
// registrations against the catalogue, and the value rules and error messages as a table.
#include <set>

#include "sqlite_db.hpp"

namespace {

using sqltest::Db;
using sqltest::Outcome;
using sqltest::Value;

TEST(SqliteFunctions, EveryFunctionRowWiseAgainstTheHostCall) {
    Db db;
    std::mt19937_64 rng(20261207);
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info &f = *qvh_function_at(i);
        if (!sqltest::registered(f)) continue;
        const int most = f.max_args == QVH_ANY_COUNT ? f.min_args + 7 : f.max_args;
        for (int trial = 0; trial < 60; ++trial) {
            const int argc = std::uniform_int_distribution<int>(f.min_args, most)(rng);
            std::vector<Value> args;
            std::string sql = "SELECT " + sqltest::sql_name(f) + "(";
            for (int k = 0; k < argc; ++k) {
                args.push_back(sqltest::random_value(rng, k == 0 ? f.first_kind : f.rest_kind, k == 0 && f.leading_param));
                sql += (k ? ", ?" : "?") + std::to_string(k + 1);
            }
            sqlite3_stmt *st = db.prepare(sql + "), qv_status()");
            for (int k = 0; k < argc; ++k) args[static_cast<std::size_t>(k)].bind(st, k + 1);
            ASSERT_EQ(sqlite3_step(st), SQLITE_ROW) << sql << ": " << sqlite3_errmsg(db.db);
            // One data argument of a statistic is its aggregate over one row: the status has no marks.
            const bool aggregate = f.aggregate != QVH_AGG_NONE && argc == 1 + f.leading_param;
            EXPECT_EQ(sqltest::read(st, 0, 1), sqltest::host_call(f, args, !aggregate)) << sql << " trial " << trial;
            sqlite3_finalize(st);
        }
    }
}

// The extension adds exactly the catalogue's forms, under qv_ names, and changes nothing else.
TEST(SqliteFunctions, RegisteredFromTheCatalogueOnly) {
    auto rows = [](sqlite3 *db) {
        std::set<std::string> out;
        sqlite3_stmt *st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT name, type, narg, flags FROM pragma_function_list", -1, &st, nullptr), SQLITE_OK);
        while (sqlite3_step(st) == SQLITE_ROW)
            out.insert(std::string(reinterpret_cast<const char *>(sqlite3_column_text(st, 0))) + " " +
                       reinterpret_cast<const char *>(sqlite3_column_text(st, 1)) + " " +
                       std::to_string(sqlite3_column_int(st, 2)) + " " + std::to_string(sqlite3_column_int(st, 3)));
        sqlite3_finalize(st);
        return out;
    };
    sqlite3 *plain = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &plain), SQLITE_OK);
    std::set<std::string> expected = rows(plain);
    sqlite3_close(plain);
    const std::string flags = " " + std::to_string(SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS);
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info &f = *qvh_function_at(i);
        if (!sqltest::registered(f)) continue;
        const std::string name = sqltest::sql_name(f);
        if (f.max_args == QVH_ANY_COUNT) expected.insert(name + " s -1" + flags);
        for (int n = f.min_args; n <= f.max_args; ++n) expected.insert(name + " s " + std::to_string(n) + flags);
        if (f.aggregate != QVH_AGG_NONE) expected.insert(name + " w " + std::to_string(1 + f.leading_param) + flags);
    }
    expected.insert("qv_status s 0 0");
    Db db;
    EXPECT_EQ(rows(db.db), expected);
}

struct Case {
    const char *sql;
    const char *result;  // the last column as text, or the error message
};

TEST(SqliteFunctions, ValueRulesAndErrors) {
    const std::string long_text(70000, 'x');
    const Case cases[] = {
        {"SELECT qv_sum('12', ' 1.5e1 ', 3)", "30.0"},
        {"SELECT qv_sum('-0', -0.0) = 0 AND qv_sign('-0.0') = 0", "1"},
        {"SELECT qv_nmiss('.a', '._', '.', NULL, 3, '.Z')", "5.0"},
        {"SELECT qv_coalesce('.b', NULL, '4')", "4.0"},
        {"SELECT typeof(qv_n(1, 2)) || typeof(qv_divide(1, 0)) || typeof(qv_coalescec('a'))", "realnulltext"},
        {"SELECT qv_coalescec(NULL, '', ' ', 'x', 'y')", "x"},
        {"SELECT '[' || qv_coalescec(NULL, '') || ']'", "[]"},
        {"SELECT qv_whichc(12, 'a', '12') || '/' || qv_whichn(3, '.a', '3')", "2.0/2.0"},
        {"SELECT qv_missing('.z') + qv_missing('') + qv_missing(NULL) + qv_missing('a') + qv_missing(0)", "3.0"},
        {"SELECT qv_sqrt(-4), qv_status()", "invalid argument"},
        {"SELECT qv_pctl(150, 1, 2), qv_status()", "invalid argument; argument 1 marked"},
        {"SELECT qv_mean(x), qv_status() FROM (SELECT NULL x)", "missing argument"},
        {"SELECT abs(-2) || max(1, 3)", "23"},
        {"SELECT qv_mean(1, '12abc')", "qv_mean: argument 2 is not a number: '12abc'"},
        {"SELECT qv_mean(1, 2, 'inf')", "qv_mean: argument 3 is not a number: 'inf'"},
        {"SELECT qv_mean(1, 'a\nb')", "qv_mean: argument 2 is not a number: 'a b'"},
        {"SELECT qv_round(x'01', 1)", "qv_round: argument 1 is a BLOB, not a number"},
        {"SELECT qv_median(x'01')", "qv_median: argument 1 is a BLOB, not a number"},
        {"SELECT qv_whichc(x'01', 'a')", "qv_whichc: argument 1 is a BLOB, not text"},
        {"SELECT qv_pctl()", "qv_pctl: takes at least 1 argument, got 0: qv_pctl(p, x1, ...)"},
        {"SELECT qv_atan2(1)", "wrong number of arguments to function qv_atan2()"},
        {"SELECT qv_ordinal2(1, 2)", "no such function: qv_ordinal2"},
        {"SELECT qv_pctl(x, x) FROM (SELECT 1 x UNION ALL SELECT 2)", "qv_pctl: the percentile must be the same for every row of a group"},
        {"SELECT qv_mean(1, '.x1')", "qv_mean: argument 2 is not a number: '.x1'"},
    };
    Db db;
    for (const Case &c : cases) {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db.db, c.sql, -1, &st, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(st);
        const char *got = rc == SQLITE_ROW ? reinterpret_cast<const char *>(sqlite3_column_text(st, sqlite3_column_count(st) - 1))
                                           : sqlite3_errmsg(db.db);
        EXPECT_STREQ(got ? got : "", c.result) << c.sql;
        sqlite3_finalize(st);
    }
    // Every marked argument is named, however many.
    std::string many = "SELECT qv_geomean(-1", named = "invalid argument; arguments 1";
    for (int k = 2; k <= 100; ++k) {
        many += ", -" + std::to_string(k);
        named += ", " + std::to_string(k);
    }
    sqlite3_stmt *st = db.prepare(many + "), qv_status()");
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 1)), named + " marked");
    sqlite3_finalize(st);
    st = db.prepare("SELECT qv_coalescec('a', ?1)");
    sqlite3_bind_text(st, 1, long_text.c_str(), -1, SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(st), SQLITE_ERROR);
    EXPECT_STREQ(sqlite3_errmsg(db.db),
                 "qv_coalescec: argument 2: a character value holds at most 65535 characters; this one has 70000");
    sqlite3_finalize(st);
    st = db.prepare("SELECT qv_status()");
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)),
                 "error: qv_coalescec: argument 2: a character value holds at most 65535 characters; this one has 70000");
    sqlite3_finalize(st);
}

}  // namespace

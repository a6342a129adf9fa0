// The extension's row-wise functions against the host library's answer for the same call; its
// registrations, value rules and error messages as a table.
#include "sqlite_db.hpp"

namespace {

using namespace sqltest;

TEST(SqliteFunctions, EveryFunctionRowWiseAgainstTheHostCall) {
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
            sqlite3_stmt *st = db.prepare(sql + "), qv_status()");
            for (int k = 0; k < argc; ++k) args[static_cast<std::size_t>(k)].bind(st, k + 1);
            ASSERT_EQ(sqlite3_step(st), SQLITE_ROW) << sql << ": " << sqlite3_errmsg(db.db);
            // One data argument of a statistic is its aggregate over one row, whose status has no marks.
            const bool aggregate = f->aggregate != QVH_AGG_NONE && argc == 1 + f->leading_param;
            EXPECT_EQ(read(st, 0, 1), host_call(*f, args, !aggregate)) << sql << " trial " << trial;
            sqlite3_finalize(st);
        }
    }
}

TEST(SqliteFunctions, RegistrationsValueRulesAndErrors) {
    int forms = 1;  // qv_status
    for (const qvh_info *f : functions(false))
        forms += (f->max_args == QVH_ANY_COUNT ? 1 : f->max_args - f->min_args + 1) + (f->aggregate != QVH_AGG_NONE);
    std::string many = "qv_geomean(-1", marks = "invalid argument; arguments 1";
    for (int k = 2; k <= 100; ++k) {
        many += ", -" + std::to_string(k);
        marks += ", " + std::to_string(k);
    }
    const std::string too_long = "qv_coalescec: argument 2: argument 2 holds 70000 characters; a character value holds at most 65535";
    const std::pair<std::string, std::string> cases[] = {  // SQL, and its last column as text or its error
        {"SELECT count(*) FROM pragma_function_list WHERE name LIKE 'qv!_%' ESCAPE '!'", std::to_string(forms)},
        {"SELECT count(*) FROM pragma_function_list WHERE name LIKE 'qv!_%' ESCAPE '!' AND flags != " +
             std::to_string(SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS) + " AND NOT (name = 'qv_status' AND flags = 0)", "0"},
        {"SELECT group_concat(t) FROM (SELECT type || narg t FROM pragma_function_list WHERE name = 'qv_pctl' ORDER BY 1)", "s-1,w2"},
        {"SELECT qv_sum('12', ' 1.5e1 ', 3)", "30.0"},
        {"SELECT qv_sum('-0', -0.0) = 0 AND qv_sign('-0.0') = 0", "1"},
        {"SELECT qv_nmiss('.a', '._', '.', NULL, 3, '.Z')", "5.0"},
        {"SELECT typeof(qv_n(1, 2)) || typeof(qv_divide(1, 0)) || typeof(qv_coalescec('a'))", "realnulltext"},
        {"SELECT qv_coalescec(NULL, '', ' ', 'x', 'y') || '[' || qv_coalescec(NULL, '') || ']'", "x[]"},
        {"SELECT qv_whichc(12, 'a', '12') || '/' || qv_whichn(3, '.a', '3')", "2.0/2.0"},
        {"SELECT qv_missing('.z') + qv_missing('') + qv_missing(NULL) + qv_missing('a') + qv_missing(0)", "3.0"},
        {"SELECT qv_sqrt(-4), qv_status()", "invalid argument"},
        {"SELECT qv_pctl(150, 1, 2), qv_status()", "invalid argument; argument 1 marked"},
        {"SELECT " + many + "), qv_status()", marks + " marked"},
        {"SELECT qv_mean(x), qv_status() FROM (SELECT NULL x)", "missing argument"},
        {"SELECT qv_pctl(50, x), qv_status() FROM (SELECT 1 x) WHERE 0", "no rows"},
        {"SELECT qv_n(x) FROM (SELECT 1 x) WHERE 0", "0.0"},
        {"SELECT qv_mean(1, '12abc')", "qv_mean: argument 2 is not a number: '12abc'"},
        {"SELECT qv_mean(1, 2, 'inf')", "qv_mean: argument 3 is not a number: 'inf'"},
        {"SELECT qv_mean(1, 'a\nb" + std::string(50, 'c') + "')", "qv_mean: argument 2 is not a number: 'a b" + std::string(37, 'c') + "...'"},
        {"SELECT qv_median(x'01')", "qv_median: argument 1 is a BLOB, not a number"},
        {"SELECT qv_whichc(x'01', 'a')", "qv_whichc: argument 1 is a BLOB, not text"},
        {"SELECT qv_pctl()", "qv_pctl: takes at least 1 argument, got 0: qv_pctl(p, x1, ...)"},
        {"SELECT qv_atan2(1)", "wrong number of arguments to function qv_atan2()"},
        {"SELECT qv_ordinal2(1, 2)", "no such function: qv_ordinal2"},
        {"SELECT qv_pctl(x, x) FROM (SELECT 1 x UNION ALL SELECT 2)", "qv_pctl: the percentile must be the same for every row of a group"},
        {"SELECT qv_coalescec('a', '" + std::string(70000, 'x') + "')", too_long},
        {"SELECT qv_status()", "error: " + too_long},
    };
    Db db;
    for (const auto &[sql, want] : cases) {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db.db, sql.c_str(), -1, &st, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(st);
        const auto *got = rc == SQLITE_ROW ? reinterpret_cast<const char *>(sqlite3_column_text(st, sqlite3_column_count(st) - 1))
                                           : sqlite3_errmsg(db.db);
        EXPECT_EQ(got ? got : "", want) << sql.substr(0, 100);
        sqlite3_finalize(st);
    }
}

}  // namespace

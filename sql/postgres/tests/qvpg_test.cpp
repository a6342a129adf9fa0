// The extension on a real server (started by throwaway.sh): every function row-wise against the
// host library, every aggregate against the row-wise call over the rows as the server delivered
// them, in parallel plans and in window frames, errors, NULL and missing literals.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "qvhost.h"
#include "host_package.hpp"

namespace {

using Cell = std::optional<std::string>;
using Row = std::vector<Cell>;

struct Answer {
    std::string error;  // the primary message; empty when the statement succeeded
    std::string sqlstate, hint;
    std::vector<Row> rows;
};

class Conn {
  public:
    explicit Conn(const char *info = "") : c_(PQconnectdb(info)) {
        if (PQstatus(c_) != CONNECTION_OK) ADD_FAILURE() << PQerrorMessage(c_);
        run("SET extra_float_digits = 3; SET max_parallel_workers_per_gather = 0");
    }
    ~Conn() { PQfinish(c_); }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    // Without parameters, one string may hold several statements.
    Answer run(const std::string &sql, const std::vector<Cell> &params = {}) {
        std::vector<const char *> values;
        for (const auto &p : params) values.push_back(p ? p->c_str() : nullptr);
        PGresult *r = values.empty() ? PQexec(c_, sql.c_str())
                                     : PQexecParams(c_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                                    values.data(), nullptr, nullptr, 0);
        Answer a;
        if (const auto st = PQresultStatus(r); st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
            const char *msg = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
            a.error = msg ? msg : PQerrorMessage(c_);
            a.sqlstate = PQresultErrorField(r, PG_DIAG_SQLSTATE) ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : "";
            a.hint = PQresultErrorField(r, PG_DIAG_MESSAGE_HINT) ? PQresultErrorField(r, PG_DIAG_MESSAGE_HINT) : "";
        }
        for (int i = 0; i < PQntuples(r); ++i) {
            a.rows.emplace_back();
            for (int j = 0; j < PQnfields(r); ++j)
                a.rows.back().push_back(PQgetisnull(r, i, j) ? Cell{} : Cell{PQgetvalue(r, i, j)});
        }
        PQclear(r);
        return a;
    }
    Answer ok(const std::string &sql) {
        Answer a = run(sql);
        EXPECT_EQ(a.error, "") << sql;
        return a;
    }

  private:
    PGconn *c_;
};

// An argument: NULL, a float8 or a text, as the server reads it.
struct Arg {
    Cell value;
    bool is_text = false;
};

// What the extension must answer: one host-library call over the arguments as the host's edge
// takes them, the result (NULL for a missing value) and the status with its marks.
struct Expected {
    std::string error, status;
    Cell value;
};

Expected host_call(const qvh_info &f, const std::vector<Arg> &args) {
    qvh_call *call = nullptr;
    Expected e;
    int rc = qvh_call_new(qvt::host_package(), f.name, &call);
    for (std::size_t i = 0; i < args.size() && rc == QVH_OK; ++i) {
        const Arg &a = args[i];
        qvh_value in{QVH_VALUE_NULL, 0, nullptr, 0}, out{};
        if (a.value && a.is_text) in = {QVH_VALUE_TEXT, 0, a.value->data(), a.value->size()};
        else if (a.value) in = {QVH_VALUE_NUM, std::strtod(a.value->c_str(), nullptr), nullptr, 0};
        rc = qvh_edge_arg(&f, qvh_sql_name(&f), i, &in, &out);
        if (rc == QVH_OK) rc = out.kind == QVH_VALUE_NUM ? qvh_call_add_num(call, out.num) : qvh_call_add_str(call, out.text, out.len);
    }
    if (rc == QVH_OK) rc = qvh_call_invoke(call);
    char status[256], number[40];
    qvh_call_describe(call, status, sizeof status);
    std::snprintf(number, sizeof number, "%.17g", qvh_call_result(call));
    if (rc != QVH_OK) e.error = qvh_errmsg();
    else if (f.result_kind == QVH_KIND_CHR) e = {"", status, qvh_call_result_str(call, nullptr)};
    else e = {"", status, qvh_is_missing(qvh_call_result(call)) ? Cell{} : Cell{number}};
    qvh_call_free(call);
    return e;
}

// Two numbers in the server's text, or two texts, are the same bits.
bool same(const Cell &a, const Cell &b, bool numeric) {
    if (!a || !b) return !a && !b;
    if (!numeric) return *a == *b;
    return std::bit_cast<std::uint64_t>(std::strtod(a->c_str(), nullptr)) == std::bit_cast<std::uint64_t>(std::strtod(b->c_str(), nullptr));
}

std::string show(const Cell &c) { return c ? "'" + *c + "'" : "NULL"; }

// A fresh database with the extension in it, once for the whole run.
class Server : public ::testing::Environment {
  public:
    void SetUp() override {
        Conn c;
        ASSERT_EQ(c.run("DROP TABLE IF EXISTS data, big; DROP EXTENSION IF EXISTS qvewumth").error, "");
        ASSERT_EQ(c.run("CREATE EXTENSION qvewumth").error, "");
        // Groups of rows: ten with NULL, NaN and ties; 5000 (past the block a fixed state folds);
        // one NULL; one value; extremes and infinities. i is the order of insertion.
        c.ok("CREATE TABLE data AS SELECT g, row_number() OVER (ORDER BY g, k)::int AS i, x FROM ("
             " SELECT 1 AS g, k, (ARRAY[3, NULL, 1.5, 'NaN', 3, -2, 7.25, 0.1, NULL, 10])[k]::float8 AS x"
             "  FROM generate_series(1, 10) k"
             " UNION ALL SELECT 2, k, CASE WHEN k % 97 = 0 THEN NULL ELSE sin(k) * 1000 END FROM generate_series(1, 5000) k"
             " UNION ALL SELECT 3, 1, NULL UNION ALL SELECT 4, 1, 42"
             " UNION ALL SELECT 5, k, (ARRAY['Infinity', -1e308, 1e308, '-Infinity', 5e-324, 0])[k]::float8"
             "  FROM generate_series(1, 6) k) s ORDER BY i");
        // For parallel plans: x random, z zeros of both signs.
        c.ok("CREATE TABLE big AS SELECT i, i % 3 AS g, CASE WHEN i % 101 = 0 THEN NULL ELSE random() * 100 END AS x,"
             " (CASE WHEN random() < 0.4 THEN '-0' ELSE '0' END)::float8 AS z FROM generate_series(1, 60000) i");
        c.ok("ANALYZE data; ANALYZE big");
    }
};
const auto *const server = ::testing::AddGlobalTestEnvironment(new Server);

std::vector<const qvh_info *> aggregates() {
    std::vector<const qvh_info *> out;
    for (std::size_t i = 0; qvh_function_at(i); ++i) out.push_back(qvh_function_at(i));
    std::erase_if(out, [](const qvh_info *f) { return f->aggregate == QVH_AGG_NONE; });
    return out;
}

// ---- row-wise --------------------------------------------------------------------------------

TEST(RowWise, EveryFunctionAgainstTheHostLibrary) {
    const char *numbers[] = {nullptr, "NaN", "0", "-0", "1", "-1", "0.5", "2.5", "-2.5", "3", "10", "90", "1e-310",
                             "1e300", "-1e300", "Infinity", "-Infinity", "0.1", "7.25", "100", "25", "-3.75e-5",
                             "1e155", "3e160"};
    const char *texts[] = {nullptr, "", "  ", "a", "ab", "ab  ", " ab", "AB", ".A", ".", "._", ".z", "é✓", "x"};
    std::mt19937 rng(20261205);
    auto pick = [&](bool text) {
        std::uniform_int_distribution<std::size_t> draw(0, (text ? std::size(texts) : std::size(numbers)) - 1);
        const std::size_t i = draw(rng);
        const char *v = text ? texts[i] : numbers[i];
        return Arg{v ? Cell{v} : Cell{}, text};
    };
    Conn c;
    for (std::size_t fi = 0; fi < qvh_function_count(); ++fi) {
        const qvh_info &f = *qvh_function_at(fi);
        if (!qvh_package_has(qvt::host_package(), &f)) continue;  // not registered
        const bool list = f.max_args == QVH_ANY_COUNT;
        const std::string name = qvh_sql_name(&f);
        // Argument lists of each fixed length, or of lengths 0 to 9; where a position takes either
        // kind, lists of numbers and lists of texts.
        std::vector<std::vector<Arg>> rows(40);
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const bool text = f.first_kind == QVH_KIND_CHR || (f.first_kind == QVH_KIND_ANY && r % 2);
            const std::size_t n = list ? r % 10 : f.min_args + r % (f.max_args - f.min_args + 1);
            while (rows[r].size() < n) rows[r].push_back(pick(text));
        }
        for (const auto &args : rows) {
            // A list is one array of the arguments, each bound as its own parameter.
            std::string list_sql;
            std::vector<Cell> params;
            for (std::size_t k = 0; k < args.size(); ++k) {
                list_sql += (k ? ", $" : "$") + std::to_string(k + 1) + (args[k].is_text ? "::text" : "::float8");
                params.push_back(args[k].value);
            }
            const std::string type = f.first_kind == QVH_KIND_CHR ? "text" : "float8";
            const std::string sql = "SELECT " + name + "(" +
                                    (list ? "VARIADIC ARRAY[" + list_sql + "]::" + type + "[]" : list_sql) + "), qv_status()";
            const Answer a = c.run(sql, params);
            const Expected e = host_call(f, args);
            const std::string where = sql + " with " + (params.empty() ? "" : show(params[0])) + "...";
            if (!e.error.empty()) {
                EXPECT_EQ(a.error.substr(0, name.size()), name) << where << ": " << e.error;
                continue;
            }
            ASSERT_EQ(a.error, "") << where;
            EXPECT_TRUE(same(a.rows[0][0], e.value, f.result_kind == QVH_KIND_NUM))
                << where << ": " << show(a.rows[0][0]) << " expected " << show(e.value);
            EXPECT_EQ(a.rows[0][1].value_or("NULL"), e.status) << where;
        }
    }
}

// ---- aggregates ------------------------------------------------------------------------------

// "qv_pctl(2, x)" or "qv_median(x)", and the row-wise call over the same rows.
std::string agg_call(const qvh_info &f, const std::string &x) {
    return std::string(qvh_sql_name(&f)) + "(" + (f.leading_param ? "2, " : "") + x + ")";
}
std::string row_wise_over(const qvh_info &f, const std::string &array) {
    return std::string(qvh_sql_name(&f)) + "(VARIADIC " + (f.leading_param ? "ARRAY[2]::float8[] || " : "") + "coalesce(" + array +
           ", '{}'::float8[]))";
}

// The canonical order of values x in SQL: missing values (NULL, NaN) first, then ascending, -0
// before +0.
std::string canonical(const std::string &x) {
    return "ORDER BY (" + x + " IS NULL OR " + x + " = 'NaN') DESC, " + x + ", " + x + "::text <> '-0'";
}
const std::string CANONICAL = canonical("x");

TEST(Aggregate, EveryStatisticAgainstTheRowWiseCall) {
    Conn c;
    for (const qvh_info *f : aggregates()) {
        // Without ORDER BY the values in the canonical order; with one, in the order given.
        const Answer a = c.ok("SELECT g, " + agg_call(*f, "x") + ", " + row_wise_over(*f, "array_agg(x " + CANONICAL + ")") +
                              ", " + agg_call(*f, "x ORDER BY i DESC") + ", " +
                              row_wise_over(*f, "array_agg(x ORDER BY i DESC)") + " FROM data GROUP BY g ORDER BY g");
        ASSERT_EQ(a.rows.size(), 5u);
        for (const Row &r : a.rows) {
            EXPECT_TRUE(same(r[1], r[2], true)) << f->name << " group " << *r[0] << ": " << show(r[1]) << " against " << show(r[2]);
            EXPECT_TRUE(same(r[3], r[4], true)) << f->name << " ORDER BY, group " << *r[0] << ": " << show(r[3]) << " against " << show(r[4]);
        }
        // No row: the function over no values (no value for a statistic with a parameter).
        const Answer none = c.ok("SELECT " + agg_call(*f, "x") + ", qv_status() FROM data WHERE false");
        const Answer want = c.ok("SELECT " + row_wise_over(*f, "NULL") + ", qv_status()");
        EXPECT_TRUE(same(none.rows[0][0], f->leading_param ? Cell{} : want.rows[0][0], true)) << f->name << " over no row";
        EXPECT_EQ(none.rows[0][1], f->leading_param ? Cell{"no rows"} : want.rows[0][1]) << f->name << " over no row";
        // The status of the aggregate is that of the row-wise call, without its marks.
        const Cell st = c.ok("SELECT " + agg_call(*f, "x") + ", qv_status() FROM data WHERE g = 1").rows[0][1];
        const Cell rw = c.ok("SELECT " + row_wise_over(*f, "(SELECT array_agg(x) FROM data WHERE g = 1)") + ", qv_status()").rows[0][1];
        EXPECT_EQ(show(st), show(Cell{rw->substr(0, rw->find(';'))})) << f->name;
    }
}

// Every statistic gives the same bits with 0, 1, 2 and 4 parallel workers, grouped or not, on data
// whose sums depend on the order of the rows; and in a window over the whole partition.
TEST(Aggregate, ResultsDoNotDependOnWorkersOrPlan) {
    Conn c;
    // The data exposes the order: summed in two orders it gives two results.
    const Row sums = c.ok("SELECT qv_sum(VARIADIC array_agg(x ORDER BY i)), qv_sum(VARIADIC array_agg(x ORDER BY i DESC)) FROM big").rows[0];
    ASSERT_NE(sums[0], sums[1]);
    std::string list, windows;
    for (const qvh_info *f : aggregates()) {
        list += (list.empty() ? "" : ", ") + agg_call(*f, "x") + ", " + agg_call(*f, "z");
        windows += ", " + agg_call(*f, "x") + " OVER (PARTITION BY g), " + agg_call(*f, "z") + " OVER (PARTITION BY g)";
    }
    const std::string queries[] = {"SELECT 0, " + list + " FROM big", "SELECT g, " + list + " FROM big GROUP BY g ORDER BY g"};
    std::vector<Answer> serial;
    for (const auto &sql : queries) serial.push_back(c.ok(sql));
    c.ok("SET parallel_setup_cost = 0; SET parallel_tuple_cost = 0; SET min_parallel_table_scan_size = 0; SET synchronize_seqscans = off");
    // One worker alone (planned for two, one allowed, the leader idle) reads the whole table in a
    // partial state that crosses the process edge; two and four share it with the leader.
    const std::pair<int, bool> plans[] = {{1, false}, {2, true}, {4, true}};  // workers, leader participating
    for (const auto &[workers, leader] : plans) {
        c.ok("SET max_parallel_workers_per_gather = " + std::to_string(std::max(workers, 2)) + "; SET max_parallel_workers = " +
             std::to_string(workers) + "; SET parallel_leader_participation = " + (leader ? "on" : "off"));
        for (std::size_t q = 0; q < serial.size(); ++q) {
            std::string plan;
            for (const Row &r : c.ok("EXPLAIN (ANALYZE, COSTS OFF) " + queries[q]).rows) plan += *r[0] + "\n";
            EXPECT_NE(plan.find("Launched: " + std::to_string(workers)), plan.npos) << workers << " workers:\n" << plan;
            const Answer parallel = c.ok(queries[q]);
            ASSERT_EQ(parallel.rows.size(), serial[q].rows.size());
            for (std::size_t r = 0; r < parallel.rows.size(); ++r)
                for (std::size_t k = 1; k < parallel.rows[r].size(); ++k)
                    EXPECT_TRUE(same(parallel.rows[r][k], serial[q].rows[r][k], true))
                        << aggregates()[(k - 1) / 2]->name << (k % 2 ? "(x)" : "(z)") << " with " << workers << " workers, group " << *parallel.rows[r][0]
                        << ": " << show(parallel.rows[r][k]) << " against " << show(serial[q].rows[r][k]);
        }
    }
    c.ok("RESET ALL; SET extra_float_digits = 3; SET max_parallel_workers_per_gather = 0");
    // A window over the whole partition (rows read in another order) gives the group's bits too.
    const Answer w = c.ok("SELECT DISTINCT g" + windows + " FROM (SELECT * FROM big ORDER BY i DESC) b ORDER BY g");
    EXPECT_EQ(w.rows, serial[1].rows);
}

// The form over an array of percentiles gives, element by element, what one aggregate per
// percentile gives: grouped or not, with ORDER BY, with workers, at missing and invalid
// percentiles; and it refuses an array that changes from row to row.
TEST(Aggregate, ArrayOfPercentilesEqualsOneAggregateEach) {
    Conn c;
    const std::string ps[] = {"0", "10", "12.5", "50", "90", "100", "NULL", "-1", "'NaN'"};
    std::string array = "ARRAY[", each;
    for (const std::string &p : ps) array += (array.size() > 6 ? ", " : "") + p + "::float8";
    array += "]";
    const struct Case {
        const char *fn, *table, *group, *order;
        int workers;
    } cases[] = {
        {"qv_pctl", "data", "g", "", 0},  {"qv_pctl1", "data", "g", "", 0},  {"qv_pctl2", "data", "g", " ORDER BY i DESC", 0},
        {"qv_pctl3", "data", "0", "", 0}, {"qv_pctl4", "big", "0", "", 0},   {"qv_pctl5", "big", "g", "", 2},
    };
    for (const Case &k : cases) {
        std::string one;
        for (const std::string &p : ps) one += std::string(one.empty() ? "" : ", ") + k.fn + "(" + p + ", x" + k.order + ")";
        if (k.workers > 0)
            c.ok("SET parallel_setup_cost = 0; SET parallel_tuple_cost = 0; SET min_parallel_table_scan_size = 0; "
                 "SET max_parallel_workers_per_gather = " + std::to_string(k.workers));
        const std::string sql = "SELECT " + std::string(k.group) + ", " + k.fn + "(" + array + ", x" + k.order + "), ARRAY[" + one +
                                "] FROM " + k.table + " GROUP BY 1 ORDER BY 1";
        const Answer a = c.ok(sql);
        ASSERT_FALSE(a.rows.empty()) << sql;
        for (const Row &r : a.rows) EXPECT_EQ(show(r[1]), show(r[2])) << sql << ", group " << *r[0];
        if (k.workers > 0) {
            std::string plan;
            for (const Row &r : c.ok("EXPLAIN (ANALYZE, COSTS OFF) " + sql).rows) plan += *r[0] + "\n";
            EXPECT_NE(plan.find("Launched: "), plan.npos) << plan;
            c.ok("SET max_parallel_workers_per_gather = 0");
        }
    }
    const struct {
        const char *sql;
        Cell want;
    } edges[] = {
        {"SELECT qv_pctl(ARRAY[]::float8[], x) FROM data", Cell{"{}"}},
        {"SELECT qv_pctl(NULL::float8[], x) FROM data", Cell{}},
        {"SELECT qv_pctl(ARRAY[50, 100], x) FROM data WHERE false", Cell{}},
        {"SELECT qv_pctl(ARRAY[50, 100], x) FROM data WHERE g = 4", Cell{"{42,42}"}},
        {"SELECT qv_pctl(ARRAY[50, 100], x) FROM data WHERE g = 3", Cell{"{NULL,NULL}"}},
    };
    for (const auto &e : edges) EXPECT_EQ(show(c.ok(e.sql).rows[0][0]), show(e.want)) << e.sql;
    // In a window, sliding and running frames alike (each computed afresh).
    for (const char *frame : {"ROWS BETWEEN 3 PRECEDING AND CURRENT ROW", "ROWS UNBOUNDED PRECEDING"})
        for (const Row &r : c.ok(std::string("SELECT qv_pctl(ARRAY[50, 90], x) OVER w, ARRAY[qv_pctl(50, x) OVER w, "
                                             "qv_pctl(90, x) OVER w] FROM data WINDOW w AS (ORDER BY i ") + frame + ")").rows)
            EXPECT_EQ(show(r[0]), show(r[1])) << frame;
    const Answer varying = c.run("SELECT qv_pctl(ARRAY[g::float8], x) FROM data");
    EXPECT_EQ(varying.error, "qv_pctl: the percentiles must be the same array for every row of a group");
    EXPECT_EQ(c.run("SELECT qv_pctl(ARRAY[[1, 2], [3, 4]]::float8[], x) FROM data").error,
              "qv_pctl: the percentiles must be a one-dimensional array");
}

// A window frame's result is the row-wise call over the frame's values in the canonical order:
// frames that slide (rows leave), grow, run past the end into empty frames; ROWS 10, 100 and
// running over values with NULL, -0 and +0 and ties.
TEST(Aggregate, WindowFramesAgainstTheRowWiseCall) {
    Conn c;
    c.ok("CREATE TEMP TABLE mixed AS SELECT i, 1 AS g, CASE WHEN i % 5 = 0 THEN z WHEN i % 3 = 0 THEN floor(x / 7) ELSE x / 7 END AS x FROM big WHERE i <= 1500");
    struct Frame { const char *over, *rows, *table, *where; std::size_t n; };
    const Frame frames[] = {
        {"ROWS BETWEEN 2 PRECEDING AND 1 FOLLOWING", "d.i BETWEEN o.i - 2 AND o.i + 1", "data", "o.g IN (1, 5)", 16},
        {"ROWS UNBOUNDED PRECEDING", "d.i <= o.i", "data", "o.g IN (1, 5)", 16},
        {"ROWS BETWEEN 1 FOLLOWING AND 3 FOLLOWING", "d.i BETWEEN o.i + 1 AND o.i + 3", "data", "o.g IN (1, 5)", 16},
        {"ROWS 10 PRECEDING", "d.i BETWEEN o.i - 10 AND o.i", "mixed", "true", 1500},
        {"ROWS 100 PRECEDING", "d.i BETWEEN o.i - 100 AND o.i", "mixed", "true", 1500},
        {"ROWS UNBOUNDED PRECEDING", "d.i <= o.i", "mixed", "true", 1500}};
    for (const qvh_info *f : aggregates()) {
        for (const Frame &w : frames) {
            const std::string table = w.table;
            if (table == "mixed" && !(f->fold == QVH_FOLD_MEAN || f->fold == QVH_FOLD_SUM || std::string(f->name) == "STD" ||
                                      std::string(f->name) == "MEDIAN" || f->fold == QVH_FOLD_EXTREME))
                continue;  // the wide frames for the sums and a few order statistics
            const Answer a = c.ok("SELECT o.i, " + agg_call(*f, "o.x") + " OVER (PARTITION BY o.g ORDER BY o.i " + w.over +
                                  "), (SELECT " + row_wise_over(*f, "array_agg(d.x " + canonical("d.x") + ")") + " FROM " + table +
                                  " d WHERE d.g = o.g AND " + w.rows + ") FROM " + table + " o WHERE " + w.where + " ORDER BY o.i");
            ASSERT_EQ(a.rows.size(), w.n);
            for (const Row &r : a.rows)
                EXPECT_TRUE(same(r[1], r[2], true)) << f->name << " " << w.over << " over " << table << " row " << *r[0] << ": "
                                                    << show(r[1]) << " against " << show(r[2]);
        }
    }
}

// ---- the SQL edge --------------------------------------------------------------------------

// One table: the rows a statement gives (one value each, joined by '|'), or its error and SQLSTATE;
// after an error of a qv_ function qv_status() tells it, and the session goes on.
TEST(Edge, LiteralsOverloadsAndErrors) {
    const std::pair<const char *, const char *> cases[] = {
        // An unknown literal and NULL find their overload; a NULL array is no list, a 2-D one its elements.
        {"SELECT qv_missing('.A')", "1"}, {"SELECT qv_missing(NULL)", "1"}, {"SELECT qv_mean(VARIADIC NULL::float8[])", "NULL"},
        {"SELECT qv_mean(VARIADIC '{{1,2},{3,4}}'::float8[])", "2.5"},
        // One float8 argument is the aggregate; more are the variadic function.
        {"SELECT qv_median(x) FROM (VALUES (1), (2), (10)) v(x)", "2"},
        {"SELECT qv_median(1, 2, 10) FROM (VALUES (1), (2)) v(x)", "2|2"},
        {"SELECT qv_pctl(50, x) FROM (VALUES (1), (3)) v(x)", "2"},
        // percentile_cont interpolates at 1 + (n - 1)p, and between a and b takes a + (b - a) * 0.5.
        {"SELECT percentile_cont(0.25) WITHIN GROUP (ORDER BY x), qv_pctl(25, x), qv_pctl4(25, x), qv_pctl1(25, x) "
         "FROM generate_series(1, 8) x", "2.75,2.5,2.25,2"},
        {"SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY x), qv_median(x) FROM (VALUES (0.02), (7.62)) v(x)",
         "3.8200000000000003,3.82"},
        {"SELECT qv_median(1.5)", "1.5"}, {"SELECT qv_median('1.5')", "1.5"}, {"SELECT qv_median(2)", "2"},
        {"SELECT qv_median(VARIADIC ARRAY[x]) FROM (VALUES (1), (3)) v(x)", "1|3"},
        {"SELECT qv_ordinal2(1, 2)", "function qv_ordinal2(integer, integer) does not exist [42883]"},
        {"SET statement_timeout = '300ms'; SELECT qv_median(b.x) FROM big b, generate_series(1, 1000)",
         "canceling statement due to statement timeout [57014]"},
        // A statement that fails part-way changes nothing.
        {"CREATE TEMP TABLE kept(p float8, x float8); INSERT INTO kept VALUES (50, 1), (25, 2); SELECT 1", "1"},
        {"INSERT INTO kept SELECT 1, qv_pctl(p, x) FROM kept",
         "qv_pctl: the percentile must be the same for every row of a group [22023]"},
        {"SELECT count(*) || ' ' || sum(x) FROM kept", "2 3"},
        // A NaN that is not a missing value: NULL, and the status says so, aggregate and window.
        {"SELECT qv_kurtosis(x), qv_status() FROM (VALUES (1), (2), (3), (1e155)) v(x)", "NULL,not a number"},
        {"SELECT qv_std(x) OVER (ORDER BY x ROWS 1 PRECEDING), qv_status() FROM (VALUES (1), ('Infinity'::float8)) v(x)",
         "NULL,missing argument|NULL,not a number"},
        // qv_status() tells every result of the row since it was last read, and of one statement.
        {"SELECT qv_pctl(150, x), qv_kurtosis(x), qv_n(x), qv_status() FROM (VALUES (1), (2), (3), (1e155)) v(x)",
         "NULL,NULL,4,qv_pctl: invalid argument; qv_kurtosis: not a number"},
        {"SELECT g, qv_pctl(p, x), qv_sqrt(g - 2), qv_status() FROM (VALUES (1, 50, 1), (2, 150, 2), (3, 50, 3)) v(g, p, x)"
         " GROUP BY g ORDER BY g", "1,1,NULL,qv_sqrt: invalid argument|2,NULL,0,qv_pctl: invalid argument|3,3,1,ok"},
        {"SELECT qv_sqrt(-1); SELECT qv_abs(-2); SELECT qv_status()", "ok"},
        {"SELECT qv_n(x), qv_pctl(p, x), qv_mean(x) FROM (VALUES (50, 1), (25, 2)) v(p, x)",
         "qv_pctl: the percentile must be the same for every row of a group [22023]"},
        // The partial states of one result row, counted together against the limit (lowered here).
        {"SET qvewumth.row_state_limit = '700kB'; SET parallel_setup_cost = 0; SET min_parallel_table_scan_size = 0;"
         "SET max_parallel_workers_per_gather = 2; SET max_parallel_workers = 1; SET parallel_leader_participation = off;"
         "SELECT count(*) FROM big", "60000"},
        {"SELECT qv_median(x) IS NOT NULL FROM big", "t"},
        {"SELECT qv_median(x), qv_mad(x) FROM big", "qv_mad: the partial states of one result row of this parallel plan "
         "take more than 716800 bytes [54000] Run the query without parallel workers: SET max_parallel_workers_per_gather = 0."},
        {"RESET ALL; RESET qvewumth.row_state_limit; SET extra_float_digits = 3; SET max_parallel_workers_per_gather = 0;"
         "SELECT 1", "1"},
    };
    Conn c;
    for (const auto &[sql, want] : cases) {
        const Answer a = c.run(sql);
        std::string got = a.error.empty() ? "" : a.error + " [" + a.sqlstate + "]" + (a.error.starts_with("qv_") && !a.hint.empty() ? " " + a.hint : "");
        for (const Row &r : a.rows) {
            if (!got.empty()) got += '|';
            for (std::size_t k = 0; k < r.size(); ++k) got += (k ? "," : "") + r[k].value_or("NULL");
        }
        EXPECT_EQ(got, want) << sql;
        if (a.error.starts_with("qv_")) {
            EXPECT_EQ(c.ok("SELECT qv_status()").rows[0][0], Cell{"error: " + a.error}) << sql;
        }
        EXPECT_EQ(c.ok("RESET statement_timeout; SELECT qv_abs(-1)").rows[0][0], Cell{"1"}) << "after " << sql;
    }
}

// Every memory request of a call, of an aggregate (serial, and in parallel workers: serialized,
// read back and combined) and of a window refused in turn: the out-of-memory error naming the
// function, never another value; the refused request past the last gives the very result.
TEST(Edge, EveryRefusedMemoryRequestIsAnOutOfMemoryError) {
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"qv_median", "", "SELECT qv_median(VARIADIC array_agg(x)) FROM big WHERE i < 5000"},
        {"qv_median", "", "SELECT qv_median(x), qv_status() FROM big"},
        {"qv_pctl", "SET parallel_setup_cost = 0; SET min_parallel_table_scan_size = 0; SET max_parallel_workers_per_gather = 2",
         "SELECT g, qv_pctl(90, x), qv_status() FROM big WHERE i % 100 = 0 GROUP BY g ORDER BY g"},
        {"qv_mad", "", "SELECT qv_mad(x) OVER (ORDER BY i ROWS 3 PRECEDING) FROM big WHERE i < 40"},
    };
    for (const auto &[name, setup, sql] : cases) {
        Conn c;
        c.ok(setup);
        const Answer want = c.ok(sql);
        int refused = 0;
        bool past_the_last = false;
        for (int n = 1; n < 400 && !past_the_last; ++n) {
            const Answer a = c.run("SET qvewumth.refuse_request = " + std::to_string(n) + "; " + sql);
            if ((past_the_last = a.error.empty())) {
                EXPECT_EQ(a.rows, want.rows) << sql << " with request " << n << " refused";
                continue;
            }
            ++refused;
            EXPECT_EQ(a.sqlstate + " " + a.error.substr(0, std::strlen(name) + 15), std::string("53200 ") + name + ": out of memory")
                << sql << " with request " << n << " refused: " << a.error;
        }
        EXPECT_TRUE(past_the_last && refused >= 2) << sql << ": " << refused << " requests refused";
    }
}

// A backend cancelled or terminated from another session in the middle of an aggregate (serial,
// parallel, a window): the statement ends with the server's error, promptly; a cancelled session
// goes on, and a session opened before stays usable (a crashed backend would reset every one).
TEST(Edge, CancelAndTerminateMidAggregate) {
    const std::pair<const char *, const char *> setups[] = {
        {"SET max_parallel_workers_per_gather = 0", "SELECT qv_median(b.x), qv_mean(b.x) FROM big b, generate_series(1, 2000)"},
        {"SET parallel_setup_cost = 0; SET min_parallel_table_scan_size = 0; SET max_parallel_workers_per_gather = 2",
         "SELECT qv_pctl(90, b.x), qv_sum(b.x) FROM big b, generate_series(1, 2000)"},
        {"SET max_parallel_workers_per_gather = 0",
         "SELECT max(m) FROM (SELECT qv_median(x) OVER (ORDER BY i ROWS 5000 PRECEDING) m FROM big, generate_series(1, 50)) s"},
    };
    Conn bystander, killer;
    for (const bool terminate : {false, true}) {
        for (const auto &[setup, sql] : setups) {
            Conn victim;
            victim.ok(setup);
            const std::string pid = *victim.ok("SELECT pg_backend_pid()").rows[0][0];
            const char *held = "SELECT sum(total_bytes) FROM pg_backend_memory_contexts";
            victim.ok("SELECT qv_median(x) FROM big");
            const double before = std::stod(*victim.ok(held).rows[0][0]);
            const auto started = std::chrono::steady_clock::now();
            std::thread cancel([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                killer.ok(std::string(terminate ? "SELECT pg_terminate_backend(" : "SELECT pg_cancel_backend(") + pid + ")");
            });
            const Answer a = victim.run(sql);
            cancel.join();
            const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (terminate) {
                EXPECT_NE(a.error.find("terminating connection due to administrator command"), a.error.npos) << sql << ": " << a.error;
            } else {
                EXPECT_EQ(a.sqlstate + " " + a.error, "57014 canceling statement due to user request") << sql;
                EXPECT_EQ(victim.ok("SELECT qv_median(x) IS NOT NULL FROM big").rows[0][0], Cell{"t"}) << sql;
                // Nothing the cancelled statement took is still held (its 60 million rows would be 480 MB).
                EXPECT_LT(std::stod(*victim.ok(held).rows[0][0]), before + (1 << 20)) << sql;
            }
            EXPECT_LT(seconds, 30) << sql;
            EXPECT_EQ(bystander.ok("SELECT qv_abs(-3)").rows[0][0], Cell{"3"}) << sql;
        }
    }
}

// ALTER EXTENSION UPDATE runs the generated update script (here to the tests' later version): the
// view, the expression index and the materialized view built on qv_ functions stay and give the
// same rows, and the functions stay members of the extension.
TEST(Update, KeepsViewsAndIndexes) {
    Conn admin;
    admin.run("DROP DATABASE IF EXISTS qvupdate");
    admin.ok("CREATE DATABASE qvupdate");
    {
        Conn c("dbname=qvupdate");
        const std::string version = *c.ok("SELECT default_version FROM pg_available_extensions WHERE name = 'qvewumth'").rows[0][0];
        c.ok("CREATE EXTENSION qvewumth");
        c.ok("CREATE TABLE t AS SELECT i, i * 0.37 AS x FROM generate_series(1, 2000) i");
        c.ok("CREATE VIEW v AS SELECT i % 7 AS g, qv_mean(x) m, qv_median(x) med FROM t GROUP BY i % 7");
        c.ok("CREATE MATERIALIZED VIEW mv AS SELECT i, qv_round(x, 0.1) r, qv_mean(x) OVER (ORDER BY i ROWS 10 PRECEDING) w FROM t");
        c.ok("CREATE INDEX t_round ON t (qv_round(x, 0.5))");
        const char *probes[] = {"SELECT * FROM v ORDER BY g", "SELECT count(*), sum(r), sum(w) FROM mv",
                                "SELECT i FROM t WHERE qv_round(x, 0.5) = 370 ORDER BY i"};
        std::vector<std::vector<Row>> before;
        for (const char *q : probes) before.push_back(c.ok(q).rows);
        const auto members = [&] {
            return *c.ok("SELECT count(*) FROM pg_depend WHERE refobjid = (SELECT oid FROM pg_extension WHERE extname = 'qvewumth') AND deptype = 'e'").rows[0][0];
        };
        const std::string before_members = members();
        const Answer update = c.run("ALTER EXTENSION qvewumth UPDATE TO '" + version + "-update-test'");
        ASSERT_EQ(update.error, "");
        EXPECT_EQ(*c.ok("SELECT extversion FROM pg_extension WHERE extname = 'qvewumth'").rows[0][0], version + "-update-test");
        c.ok("REFRESH MATERIALIZED VIEW mv");
        c.ok("SET enable_seqscan = off");
        for (std::size_t k = 0; k < std::size(probes); ++k) EXPECT_EQ(c.ok(probes[k]).rows, before[k]) << probes[k];
        EXPECT_EQ(members(), before_members);
        std::string plan;
        for (const Row &r : c.ok("EXPLAIN SELECT i FROM t WHERE qv_round(x, 0.5) = 370").rows) plan += *r[0] + "\n";
        EXPECT_NE(plan.find("t_round"), std::string::npos) << plan;  // the index is used still
    }
    admin.ok("DROP DATABASE qvupdate");
}

TEST(Edge, APackageThatCannotBeOpenedIsAnErrorUntilOneCan) {
    Conn c;
    EXPECT_EQ(c.ok("SELECT qv_status()").rows[0][0], Cell{}) << "no call yet";
    c.ok("SET qvewumth.package = '/nonexistent/libqvewumth.so'");
    const Answer a = c.run("SELECT qv_abs(-1)");
    EXPECT_EQ(a.error, "qvewumth: cannot load /nonexistent/libqvewumth.so: No such file or directory");
    EXPECT_EQ(a.sqlstate, "58P01");
    c.ok("RESET qvewumth.package");
    EXPECT_EQ(c.ok("SELECT qv_abs(-1)").rows[0][0], Cell{"1"});
    // Once open, the package stays the session's (its parallel workers read the setting).
    const Answer changed = c.run("SET qvewumth.package = '/nonexistent/libqvewumth.so'");
    EXPECT_EQ(changed.error, "qvewumth.package cannot change once this session has opened the package");
    c.ok("SET qvewumth.package = ''");
}

}  // namespace

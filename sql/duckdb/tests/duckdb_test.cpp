// The DuckDB extension loaded into DuckDB's own libduckdb.so: every function against the host
// library's call, bit for bit; aggregates against the call over the same values with 1 and 4
// threads, over many groups and in window frames; counts and extremes, which keep no values;
// conversions, errors, qv_status(), loading twice, and a whole-partition window frame in a child
// process.
#include <duckdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "host_package.hpp"
#include "sanitized.hpp"

namespace {

using Cell = std::optional<double>;  // nullopt: SQL NULL
using Rows = std::vector<std::vector<Cell>>;

bool same(const Cell &a, const Cell &b) {
    return a.has_value() == b.has_value() && (!a || std::memcmp(&*a, &*b, sizeof(double)) == 0);
}

struct Db {
    duckdb_database db = nullptr;
    duckdb_connection con = nullptr;
    explicit Db(int threads = 4, const char *memory_limit = nullptr) {
        duckdb_config config;
        duckdb_create_config(&config);
        duckdb_set_config(config, "allow_unsigned_extensions", "true");
        duckdb_set_config(config, "threads", std::to_string(threads).c_str());
        if (memory_limit) duckdb_set_config(config, "memory_limit", memory_limit);
        char *err = nullptr;
        EXPECT_EQ(duckdb_open_ext(nullptr, &db, config, &err), DuckDBSuccess) << (err ? err : "");
        duckdb_destroy_config(&config);
        duckdb_connect(db, &con);
        EXPECT_EQ(run(std::string("LOAD '") + std::getenv("QV_DUCKDB_EXTENSION") + "'"), "");
    }
    ~Db() {
        duckdb_disconnect(&con);
        duckdb_close(&db);
    }
    // Runs sql: "" with the rows of the first column in out (text in texts), or the error.
    std::string run(const std::string &sql, Rows *out = nullptr, std::vector<std::string> *texts = nullptr) {
        duckdb_result r;
        const bool ok = duckdb_query(con, sql.c_str(), &r) == DuckDBSuccess;
        std::string error = ok ? "" : duckdb_result_error(&r);
        for (idx_t i = 0; ok && i < duckdb_row_count(&r); ++i) {
            if (out) out->emplace_back();
            for (idx_t c = 0; out && c < duckdb_column_count(&r); ++c)
                out->back().push_back(duckdb_value_is_null(&r, c, i) ? Cell{} : Cell{duckdb_value_double(&r, c, i)});
            if (char *s = texts ? duckdb_value_varchar(&r, 0, i) : nullptr) texts->push_back(s), duckdb_free(s);
        }
        duckdb_destroy_result(&r);
        return error;
    }
};

// A table of rows (id, a, b, c, d) of values of every kind a function meets: NULL, NaN,
// infinities, zeros of both signs, values near integers, percentiles, numbers small and large.
std::string table(const char *name, std::size_t rows) {
    std::string sql = std::string("CREATE TABLE ") + name + " AS SELECT i AS id";
    for (char c = 'a'; c <= 'd'; ++c) {
        // Six independent hashes of the row for column c.
        auto h = [&](int k) { return "hash(i * 32 + " + std::to_string((c - 'a') * 6 + k) + ")"; };
        sql += ", CASE " + h(0) + " % 8 WHEN 0 THEN (['-0', '0', '1', '-1', '0.5', '2', '3.0000000000001', '1e-300', "
               "'1e300', 'inf', '-inf', 'nan', '50', '100', NULL, NULL])[(" + h(1) + " % 16 + 1)::BIGINT]::DOUBLE " +
               "WHEN 1 THEN " + h(2) + " / 2e19 - 0.5 WHEN 2 THEN " + h(3) + " / 1.8e17 WHEN 3 THEN " + h(4) +
               " % 30 - 5.0 ELSE exp(" + h(5) + " / 4.6e17 - 20) * (" + h(5) + " % 2 * 2 - 1.0) END AS " + c;
    }
    return sql + " FROM range(" + std::to_string(rows) + ") r(i)";
}

// The host library's call of f over xs: NULL for a missing result.
Cell host(const qvh_info &f, const std::vector<double> &xs) {
    double r = 0;
    std::int32_t status = 0;
    EXPECT_EQ(qvh_eval(qvt::host_package(), f.name, xs.data(), xs.size(), &r, &status), QVH_OK) << qvh_errmsg();
    return qvh_is_missing(r) ? Cell{} : Cell{r};
}

double value(const Cell &c) { return c.value_or(qvh_dot()); }

// The order an aggregate hands its values to the package whatever order DuckDB delivered them in:
// the missing values (negative NaNs) by their codes, then the numbers ascending with -0 before +0.
std::vector<double> canonical(std::vector<double> v) {
    auto key = [](double x) {
        std::uint64_t u;
        std::memcpy(&u, &x, sizeof u);
        const bool nan = std::isnan(x);
        return std::make_tuple(!nan, nan ? ~u : 0, nan ? 0.0 : x, !std::signbit(x));
    };
    std::stable_sort(v.begin(), v.end(), [&](double a, double b) { return key(a) < key(b); });
    return v;
}

// The row-wise form of a statistic is qv_p<name>; its aggregate, and every other function, qv_<name>.
std::string sql_name(const qvh_info &f, bool row_wise) {
    const std::string name = qvh_sql_name(&f);
    return row_wise && f.aggregate != QVH_AGG_NONE ? "qv_p" + name.substr(3) : name;
}

bool provided(const qvh_info &f) { return qvh_package_has(qvt::host_package(), &f); }

TEST(DuckDb, EveryFunctionRowWiseAgainstTheHost) {
    Db db;
    // A sanitized build takes every function's path over a tenth of the rows.
    ASSERT_EQ(db.run(table("v", qvt::sweep(3000))), "");
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info &f = *qvh_function_at(i);
        if (f.first_kind != QVH_KIND_NUM || f.rest_kind != QVH_KIND_NUM || !provided(f)) continue;
        const int hi = f.max_args == QVH_ANY_COUNT ? 4 : f.max_args;
        for (int n = f.min_args; n <= hi; ++n) {
            std::string args;
            for (int c = 0; c < n; ++c) args += std::string(c ? ", " : "") + char('a' + c);
            const std::string sql = "SELECT " + sql_name(f, true) + "(" + args + "), a, b, c, d FROM v";
            Rows got;
            ASSERT_EQ(db.run(sql, &got), "") << sql;
            for (const auto &row : got) {
                std::vector<double> xs;
                for (int c = 1; c <= n; ++c) xs.push_back(value(row[c]));
                ASSERT_TRUE(same(row[0], host(f, xs))) << sql;
            }
        }
    }
}

TEST(DuckDb, ValuesConvertAsDuckDbCastsThem) {
    Db db;
    // Numbers against DuckDB's own CAST to DOUBLE, through a function that returns its argument;
    // missing literals, NULL and text through the counts and the character functions.
    std::vector<std::pair<std::string, std::string>> cases = {
        {"qv_missing('.A') + qv_missing('.z') + qv_missing(NULL) + qv_missing('') + qv_missing('x') + qv_missing(1)", "4"},
        {"qv_pn(NULL, '.B', '', 4) * 10 + qv_pnmiss(NULL, '.B', '', 4)", "13"},
        {"qv_whichc('b', 'a', NULL, 'b') + (qv_coalescec(NULL, 'b', 'c') = 'b')::INT", "4"},
        // Counts over no rows are 0, other statistics no value; counts are BIGINT.
        {"(SELECT qv_n(x) * 10 + qv_nmiss(x) FROM range(3) r(x) WHERE x > 5)", "0"},
        {"(SELECT qv_mean(x) FROM range(3) r(x) WHERE x > 5)", "NULL"},
        {"(SELECT qv_n(x) FROM (VALUES (1), (NULL), (3)) v(x))", "2"},
        {"(typeof(qv_n(1)) || typeof(qv_nmiss(1)) || typeof(qv_mean(1)) = 'BIGINTBIGINTDOUBLE')::INT", "1"}};
    for (const char *e : {"7::TINYINT", "-123456789012345678::BIGINT", "18446744073709551615::UBIGINT",
                          "170141183460469231731687303715884105727::HUGEINT", "1.1::FLOAT", "0.1",
                          "12345678901234567.1::DECIMAL(18,1)", "0.1234567890123456789012345678901234567::DECIMAL(38,37)",
                          "' 12.5e3'", "'-inf'"})
        cases.push_back({std::string("qv_coalesce(") + e + ")", std::string("CAST(") + e + " AS DOUBLE)"});
    for (const auto &[expr, want] : cases) {
        Rows got;
        ASSERT_EQ(db.run("SELECT (" + expr + ")::DOUBLE, (" + want + ")::DOUBLE", &got), "") << expr;
        EXPECT_TRUE(same(got[0][0], got[0][1])) << expr;
    }
}

struct Aggregates : ::testing::Test {
    // Rows in two or more of DuckDB's row groups (122880 rows), so that several threads scan them.
    const std::size_t N = std::getenv("QV_DUCKDB_ROWS") ? std::stoul(std::getenv("QV_DUCKDB_ROWS")) : 250000;
    std::vector<double> xs;  // column a in table order
    void fill(Db &db) {
        Rows got;
        ASSERT_EQ(db.run(table("t", N)), "");
        ASSERT_EQ(db.run("SELECT a FROM t ORDER BY id", &got), "");
        xs.clear();
        for (const auto &r : got) xs.push_back(value(r[0]));
    }
    static std::vector<double> with_param(const qvh_info &f, std::vector<double> v) {
        if (f.leading_param) v.insert(v.begin(), 37.5);
        return v;
    }
    static std::string call(const qvh_info &f) { return sql_name(f, false) + (f.leading_param ? "(37.5, a)" : "(a)"); }
    // f over the groups id % groups: each result against the host's call over the group's values
    // (as list() sees them in the same query) in their canonical order. Returns the values in the
    // order DuckDB delivered them and the results.
    static std::pair<std::vector<std::vector<double>>, std::vector<Cell>> check(Db &db, const qvh_info &f, std::size_t groups) {
        Rows got;
        EXPECT_EQ(db.run("WITH q AS MATERIALIZED (SELECT id % " + std::to_string(groups) + " AS g, " + call(f) +
                             " AS m, list(a) AS l FROM t GROUP BY g) SELECT g, m, generate_subscripts(l, 1), unnest(l) FROM q",
                         &got), "") << call(f);
        std::vector<std::vector<double>> parts(groups);
        std::vector<Cell> results(groups);
        for (const auto &r : got) {
            auto &part = parts.at(static_cast<std::size_t>(*r[0]));
            part.resize(std::max(part.size(), static_cast<std::size_t>(*r[2])));
            part[static_cast<std::size_t>(*r[2]) - 1] = value(r[3]);
            results[static_cast<std::size_t>(*r[0])] = r[1];
        }
        for (std::size_t g = 0; g < groups; ++g)
            EXPECT_TRUE(same(results[g], host(f, with_param(f, canonical(parts[g]))))) << call(f) << " group " << g;
        return {parts, results};
    }
};

TEST_F(Aggregates, TheSameBitsWithOneToEightThreads) {
    // The table mixes magnitudes from 1e-300 to 1e300, so a sum in another order gives other bits.
    Db one(1);
    fill(one);
    const std::vector<double> ordered = canonical(xs);  // the whole table's values
    std::vector<std::unique_ptr<Db>> more;
    for (int threads : {2, 4, 8}) {
        more.push_back(std::make_unique<Db>(threads));
        ASSERT_EQ(more.back()->run(table("t", N)), "");
    }
    // A sanitized build looks for memory errors, which follow the aggregate's path (its state, its
    // merge, whether it orders its values) rather than the function: there it runs the first
    // function of each such kind; the plain build compares every function's bits.
    std::set<std::tuple<int, int, int, int>> kinds;
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info &f = *qvh_function_at(i);
        if (f.aggregate == QVH_AGG_NONE || !provided(f)) continue;
        if (!kinds.insert({f.aggregate, f.fold, f.merge, f.leading_param}).second && qvt::SANITIZED) continue;
        for (const char *groups : {"", " GROUP BY id % 7 ORDER BY id % 7"}) {
            Rows a;
            const std::string sql = "SELECT " + call(f) + " FROM t" + groups;
            ASSERT_EQ(one.run(sql, &a), "") << sql;
            // The whole table: the host's call over its values in the canonical order.
            if (*groups == '\0') {
                EXPECT_TRUE(same(a.at(0)[0], host(f, with_param(f, ordered)))) << call(f);
            }
            for (std::size_t k = 0; k < more.size(); ++k) {
                Rows b;
                ASSERT_EQ(more[k]->run(sql, &b), "") << sql;
                for (std::size_t r = 0; r < a.size(); ++r)
                    EXPECT_TRUE(same(a[r][0], b.at(r)[0])) << sql << " threads " << (2 << k) << " row " << r;
            }
        }
    }
}

TEST_F(Aggregates, ManyGroupsAndWindowFrames) {
    Db db;
    fill(db);
    for (const char *name : {"MEDIAN", "MEAN", "N", "PCTL", "STD"}) {
        const qvh_info &f = *qvh_function_find(name);
        // Groups of about 12 values (sorted in place) and of about 2500 (radix sorted in 8-bit digits).
        for (std::size_t groups : {20011, 101}) check(db, f, groups);

        // Frames over the first rows in three partitions: sliding, running, and one that shrinks;
        // each the call over the frame's values in the canonical order, as in SQLite and
        // PostgreSQL. A sanitized build takes the same paths (frames past 100 rows included) over
        // fewer rows.
        const long rows = qvt::SANITIZED ? 1500 : 5000;
        const struct { const char *frame; long before, after; } frames[] = {
            {"ROWS BETWEEN 5 PRECEDING AND 2 FOLLOWING", 5, 2},
            {"ROWS 10 PRECEDING", 10, 0},
            {"ROWS 100 PRECEDING", 100, 0},
            {"ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW", 1L << 40, 0},
            {"ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", 0, 1L << 40}};
        for (const auto &w : frames) {
            Rows win;
            ASSERT_EQ(db.run("SELECT " + call(f) + " OVER (PARTITION BY id % 3 ORDER BY id " + w.frame +
                                 ") FROM t WHERE id < " + std::to_string(rows) + " ORDER BY id", &win), "") << w.frame;
            for (long i = 0; i < rows; i += 7) {
                std::vector<double> frame;
                for (long j = i - 3 * std::min(w.before, i / 3); j <= i + 3 * w.after && j < rows; j += 3) frame.push_back(xs[j]);
                ASSERT_TRUE(same(win[i][0], host(f, with_param(f, canonical(frame))))) << name << " " << w.frame << " row " << i;
            }
        }
    }
}

TEST(DuckDb, CountsAndExtremesKeepWhatTheirResultDependsOn) {
    // N, NMISS, MIN, MAX and RANGE keep a count or a few values, not the values: each group's
    // result against the call over all its values in the canonical order. The zeros of both signs
    // (which of them an extreme gives depends on their order), missing values of several codes,
    // NaN (the package's '.'), and the extremes of the double range, which the package reads as
    // no value; 200000 rows, so that at 4 threads DuckDB combines partial states of each group.
    const std::vector<std::vector<const char *>> cases = {
        {"0", "-0"}, {"-0", "0", "5"}, {"-5", "0", "-0"}, {"3", ".A", ".B", "-2", "."}, {".", ".Z", "._"},
        {"nan", "1"}, {"nan"}, {"1.7976931348623157e308"}, {"-inf", "-inf"}, {"-1.7976931348623157e308", "2"},
        {"7"}, {"2", "-0", "1e-300", "-1e-300", "inf", "0"}};
    std::string list;
    for (const auto &c : cases) {
        list += list.empty() ? "[[" : ", [";
        for (std::size_t k = 0; k < c.size(); ++k) list += std::string(k ? ", '" : "'") + c[k] + "'";
        list += "]";
    }
    const long rows = 200000, K = static_cast<long>(cases.size());
    for (int threads : {1, 4}) {
        Db db(threads);
        ASSERT_EQ(db.run("CREATE TABLE e AS SELECT i % " + std::to_string(K) + " AS c, (" + list + "])[i % " + std::to_string(K) +
                         " + 1][(i // " + std::to_string(K) + ") % len((" + list + "])[i % " + std::to_string(K) +
                         " + 1]) + 1] AS x FROM range(" + std::to_string(rows) + ") r(i)"), "");
        // x as text keeps the missing values' codes; as DOUBLE they are NULL, and NaN is a number.
        for (const bool text : {true, false}) {
            for (const char *name : {"N", "NMISS", "MIN", "MAX", "RANGE"}) {
                const qvh_info &f = *qvh_function_find(name);
                Rows got;
                ASSERT_EQ(db.run("SELECT " + sql_name(f, false) + (text ? "(x)" : "(TRY_CAST(x AS DOUBLE))") +
                                 " FROM e GROUP BY c ORDER BY c", &got), "") << name;
                for (long c = 0; c < K; ++c) {
                    std::vector<double> xs;
                    for (long i = c; i < rows; i += K) {
                        const char *s = cases[c][(i / K) % static_cast<long>(cases[c].size())];
                        double x = 0;
                        if (!text && qvh_parse_missing(s, std::strlen(s), &x)) x = qvh_dot();
                        else ASSERT_TRUE(qvh_parse_number(s, std::strlen(s), &x)) << s;
                        xs.push_back(x);
                    }
                    EXPECT_TRUE(same(got.at(c)[0], host(f, canonical(xs)))) << name << " case " << c << " threads " << threads;
                }
            }
        }
    }
}

// The database's memory_limit as its settings write it.
std::string memory_limit(Db &db) {
    std::vector<std::string> text;
    EXPECT_EQ(db.run("SELECT current_setting('memory_limit')", nullptr, &text), "");
    return text.empty() ? "" : text[0];
}

TEST(DuckDb, ErrorsAndStatuses) {
    Db db(2, "8MB");  // the aggregates keep their values within the database's memory_limit
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SELECT qv_abs('abc')", "qv_abs: argument 1 must be a number, not a character value ('abc')"},
        {"SELECT qv_abs(DATE '2020-01-01')", "qv_abs: argument 1 is DATE, not a number"},
        {"SELECT qv_whichn()", "qv_whichn takes at least 1 argument, got 0: qv_whichn(v, x1, ...)"},
        {"SELECT qv_coalescec('a', 1)", "qv_coalescec: argument 2 must be a character value, not a number"},
        {"SELECT qv_atan2(1, 2, 3)", "qv_atan2(ANY, ANY)"},
        {"SELECT qv_pctl(p, x) FROM (VALUES (50, 1), (25, 2)) v(p, x)", "qv_pctl: the percentile or rank must be one value for the whole query"},
        {"SELECT qv_status()", "error: qv_pctl: the percentile or rank must be one value for the whole query"},
        // The column in the percentile's place, in one-row groups: refused, not 90 per group.
        {"SELECT qv_pctl(x, 90) FROM range(5) r(x) GROUP BY x", "qv_pctl: the percentile or rank must be one value"},
        {"SELECT qv_ppctl(150, 1, 2)", "invalid argument; argument 1 marked"},
        {"SELECT qv_pgeomean(2, -1, 3, -4)", "invalid argument; arguments 2, 4 marked"},
        {"SELECT qv_log(x) FROM (VALUES (1.0), (-1.0), (NULL), (0.0)) v(x)", "1 of 4 rows gave missing argument, 2 invalid argument"},
        {"SELECT qv_pctl(50, x) FROM range(3) r(x) WHERE x > 5", "no rows"},
        {"SELECT qv_pctl(150, x) FROM range(3) r(x)", "invalid argument"},
        {"SELECT qv_pkurtosis(1, 2, 3, 1e155)", "not a number"},
        {"SELECT qv_std(x) FROM (VALUES (1.0), ('inf'::DOUBLE)) v(x)", "not a number"},
        {"SELECT qv_median(i) FROM range(2000000) r(i)", "Invalid Input Error: qv_median: out of memory"},
        {"SELECT qv_status()", "error: qv_median: out of memory"},
        {"SELECT qv_mean(i) FROM range(2000000) r(i)", "(past the database's memory_limit, " + memory_limit(db) + " when qvewumth was loaded)"},
        {"SELECT qv_pctl(50, i) FROM range(2000000) r(i) GROUP BY i % 2", "Invalid Input Error: qv_pctl: out of memory"},
        {"SELECT qv_median(i) FROM range(100000) r(i)", "ok"},  // what the failed statements kept was given back
    };
    for (const auto &[sql, want] : cases) {
        std::vector<std::string> status;
        std::string got = db.run(sql);
        if (got.empty()) db.run("SELECT qv_status()", nullptr, &status), got = status.at(0);
        EXPECT_NE(got.find(want), std::string::npos) << sql << "\n got: " << got;
    }
}

// DuckDB's own percentiles beside the package's: quantile_cont interpolates at 1 + (n - 1)p (no
// PCTL definition does), and its median of two values is the package's.
TEST(DuckDb, PercentilesBesideDuckDbsOwn) {
    Db db;
    const struct {
        const char *sql;
        double duckdb, package;
    } cases[] = {
        {"SELECT quantile_cont(x, 0.25), qv_pctl(25, x) FROM range(1, 9) r(x)", 2.75, 2.5},
        {"SELECT quantile_cont(x, 0.25), qv_pctl4(25, x) FROM range(1, 9) r(x)", 2.75, 2.25},
        {"SELECT quantile_cont(x, 0.25), qv_pctl1(25, x) FROM range(1, 9) r(x)", 2.75, 2},
        {"SELECT quantile_cont(x, 0.5), qv_median(x) FROM (VALUES (0.02::DOUBLE), (7.62)) v(x)", 3.82, 3.82},
    };
    for (const auto &c : cases) {
        Rows got;
        ASSERT_EQ(db.run(c.sql, &got), "") << c.sql;
        EXPECT_TRUE(same(got.at(0)[0], c.duckdb)) << c.sql;
        EXPECT_TRUE(same(got.at(0)[1], c.package)) << c.sql;
    }
}

// A percentile over a list of percentiles gives, element by element, what one aggregate per
// percentile gives, whole table or grouped, at any thread count; a NULL or invalid percentile a
// NULL element; a list that changes from row to row is refused.
TEST(DuckDb, ListOfPercentilesEqualsOneAggregateEach) {
    const std::string ps[] = {"0", "12.5", "37.5", "50", "90", "100", "NULL", "-1"};
    std::string list = "[";
    for (const std::string &p : ps) list += (list.size() > 1 ? ", " : "") + p;
    list += "]";
    const struct {
        const char *fn, *groups;
        int threads;
    } cases[] = {{"qv_pctl", "", 1}, {"qv_pctl1", " GROUP BY g", 1}, {"qv_pctl4", "", 4}, {"qv_pctl5", " GROUP BY g", 4}};
    std::map<int, std::unique_ptr<Db>> dbs;
    for (const auto &c : cases) {
        if (!dbs.count(c.threads)) {
            dbs[c.threads] = std::make_unique<Db>(c.threads);
            ASSERT_EQ(dbs[c.threads]->run(table("t", 5000)), "");
        }
        Db &db = *dbs[c.threads];
        std::string one = "[";
        for (const std::string &p : ps) one += std::string(one.size() > 1 ? ", " : "") + c.fn + "(" + p + ", a)";
        one += "]";
        const std::string sql = std::string("WITH q AS (SELECT ") + (*c.groups ? "id % 5 AS g, " : "") + c.fn + "(" + list + ", a) AS l, " + one +
                                " AS s FROM t" + c.groups + ") SELECT len(l), unnest(l), unnest(s) FROM q";
        Rows got;
        ASSERT_EQ(db.run(sql, &got), "") << sql;
        ASSERT_EQ(got.size(), (*c.groups ? 5 : 1) * std::size(ps)) << sql;
        for (const auto &r : got) {
            EXPECT_TRUE(same(r[0], Cell{double(std::size(ps))})) << sql;
            EXPECT_TRUE(same(r[1], r[2])) << sql;
        }
    }
    Db db;
    const struct {
        const char *sql;
        Cell want;
    } edges[] = {
        {"SELECT len(qv_pctl([], x)) FROM range(5) r(x)", 0.0},
        {"SELECT qv_pctl(NULL::DOUBLE[], x) IS NULL FROM range(5) r(x)", 1.0},
        {"SELECT qv_pctl([50], x) IS NULL FROM range(5) r(x) WHERE x > 9", 1.0},
        {"SELECT qv_pctl([50, 100], x)[2] FROM range(5) r(x)", 4.0},
        // Two lists in one query, each its own.
        {"SELECT qv_pctl([100], x)[1] - qv_pctl([0, 50], x)[2] FROM range(3000) r(x)", 1499.5},
    };
    for (const auto &e : edges) {
        Rows got;
        ASSERT_EQ(db.run(e.sql, &got), "") << e.sql;
        EXPECT_TRUE(same(got.at(0)[0], e.want)) << e.sql;
    }
    EXPECT_NE(db.run("SELECT qv_pctl([x], x) FROM range(3000) r(x)").find("qv_pctl: the percentiles must be one list for the whole query"),
              std::string::npos);
}

TEST(DuckDb, LoadingTwiceAndInTwoDatabases) {
    auto first = std::make_unique<Db>();
    Db second;
    first.reset();  // the first database closes; the package stays open for the second
    Rows got;
    EXPECT_EQ(second.run(std::string("LOAD '") + std::getenv("QV_DUCKDB_EXTENSION") + "'"), "");
    EXPECT_EQ(second.run("SELECT qv_median(x) = 2 FROM range(5) r(x)", &got), "");
    EXPECT_TRUE(same(got.at(0)[0], 1.0));
}

TEST(DuckDb, WholePartitionWindowsGiveDuckDbsValueOrTheRefusal) {
    // These take DuckDB's constant-state path too: each gives median's own value, or the refusal.
    Db db;
    ASSERT_EQ(db.run("CREATE TABLE w AS SELECT i, (i * 7919 % 1000)::DOUBLE AS x FROM range(3000) r(i)"), "");
    for (const char *over : {"()", "(PARTITION BY i % 7)", "(PARTITION BY i % 100)",
                             "(PARTITION BY i % 3 ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING)"}) {
        Rows got;
        const std::string sql = std::string("SELECT count(*) FILTER (WHERE a IS DISTINCT FROM b) FROM (SELECT qv_median(x) OVER ") +
                                over + " AS a, median(x) OVER " + over + " AS b FROM w)";
        const std::string error = db.run(sql, &got);
        if (error.empty())
            EXPECT_TRUE(same(got.at(0)[0], 0.0)) << over;
        else
            EXPECT_NE(error.find("rows without their states"), std::string::npos) << over << ": " << error;
    }
}

TEST(DuckDb, StatesTheEngineNeverSetUpAreRefusedNeverRead) {
    // ORDER BY inside the call and OVER () hand update one state for many rows. Before the extension kept a table of its states, alternating these with another query
    // at one thread crashed the engine within a few dozen rounds; so 200 rounds, in a child whose
    // death by a signal is a failure.
    const char *error = "DuckDB handed this aggregate rows without their states";
    const pid_t pid = fork();
    if (pid == 0) {
        Db db(1);
        bool ok = db.run("CREATE TABLE t AS SELECT i, i * 1.5::DOUBLE AS x FROM range(20) r(i)").empty();
        for (int round = 0; ok && round < 200; ++round) {
            Rows got;
            ok = db.run("SELECT qv_median(x), median(x) FROM t", &got).empty() && same(got.at(0)[0], got.at(0)[1]);
            for (const char *sql : {"SELECT qv_mean(x ORDER BY i DESC) FROM t", "SELECT qv_mean(x) OVER () FROM t"})
                ok = ok && db.run(sql).find(error) != std::string::npos;
        }
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_FALSE(WIFSIGNALED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a value or another error instead of the refusal";
}

}  // namespace

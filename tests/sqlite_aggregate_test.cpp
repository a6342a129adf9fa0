// The extension's aggregates over GROUP BY groups against the row-wise call over the same values,
// window frames against the host library over the frame's rows, the fixed state's fold limit,
// and the extension in several connections and threads at once.
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "sqlite_db.hpp"

namespace {

using sqltest::Db;
using sqltest::Outcome;
using sqltest::Value;

// Steps to the end of a statement: "" when it ran through, else the error.
std::string error_at_end(Db &db, sqlite3_stmt *st, const std::function<void()> &each_row = [] {}) {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) each_row();
    return rc == SQLITE_DONE ? "" : sqlite3_errmsg(db.db);
}

std::vector<const qvh_info *> aggregates() {
    std::vector<const qvh_info *> out;
    for (std::size_t i = 0; i < qvh_function_count(); ++i)
        if (const qvh_info *f = qvh_function_at(i); f->aggregate != QVH_AGG_NONE && sqltest::registered(*f)) out.push_back(f);
    return out;
}

// The percentile or rank every row of a query gives.
Value parameter(const qvh_info &f) { return {SQLITE_FLOAT, f.usage[std::strlen(f.name) + 1] == 'p' ? 37.5 : 2.0}; }

std::string call(const qvh_info &f, const std::string &x) { return sqltest::sql_name(f) + (f.leading_param ? "(?1, " : "(") + x + ")"; }

// Parts (groups or partitions) of random sizes, stored in key order in an untyped column.
using Parts = std::map<int, std::vector<Value>>;

Parts fill(Db &db, const char *table, std::vector<int> sizes, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Parts parts;
    db.exec(std::string("CREATE TABLE ") + table + "(part INTEGER, seq INTEGER, x, PRIMARY KEY (part, seq)) WITHOUT ROWID");
    db.exec("BEGIN");
    sqlite3_stmt *st = db.prepare(std::string("INSERT INTO ") + table + " VALUES (?1, ?2, ?3)");
    for (int p = 0; p < static_cast<int>(sizes.size()); ++p)
        for (int i = 0; i < sizes[static_cast<std::size_t>(p)]; ++i) {
            parts[p].push_back(sqltest::random_value(rng, QVH_KIND_NUM, false));
            sqlite3_bind_int(st, 1, p);
            sqlite3_bind_int(st, 2, i);
            parts[p].back().bind(st, 3);
            EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
            sqlite3_reset(st);
        }
    sqlite3_finalize(st);
    db.exec("COMMIT");
    return parts;
}

std::vector<Value> with_param(const qvh_info &f, std::vector<Value> values) {
    if (f.leading_param) values.insert(values.begin(), parameter(f));
    return values;
}

TEST(SqliteAggregates, GroupsAgainstTheRowWiseCall) {
    Db db;
    std::vector<int> sizes = {1, 2, 3, 5000};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 30; ++i) sizes.push_back(std::uniform_int_distribution<int>(1, 90)(rng));
    const Parts parts = fill(db, "t", sizes, 11);
    for (const qvh_info *f : aggregates()) {
        sqlite3_stmt *st = db.prepare("SELECT part, " + call(*f, "x") + ", qv_status() FROM t GROUP BY part ORDER BY part");
        parameter(*f).bind(st, 1);
        for (const auto &[part, values] : parts) {
            ASSERT_EQ(sqlite3_step(st), SQLITE_ROW) << f->name << ": " << sqlite3_errmsg(db.db);
            const std::vector<Value> args = with_param(*f, values);
            const Outcome got = sqltest::read(st, 1, 2);
            EXPECT_EQ(got, sqltest::host_call(*f, args, false)) << f->name << " group " << part;
            if (values.size() < 2 || args.size() > 100) continue;
            // The row-wise form over the same values, bound as they were stored.
            std::string sql = "SELECT " + sqltest::sql_name(*f) + "(";
            for (std::size_t k = 0; k < args.size(); ++k) sql += (k ? ", ?" : "?") + std::to_string(k + 1);
            sqlite3_stmt *row = db.prepare(sql + "), NULL");
            for (std::size_t k = 0; k < args.size(); ++k) args[k].bind(row, static_cast<int>(k + 1));
            ASSERT_EQ(sqlite3_step(row), SQLITE_ROW);
            Outcome one = sqltest::read(row, 0, 1);
            one.status = got.status;
            EXPECT_EQ(got, one) << f->name << " group " << part << " row-wise";
            sqlite3_finalize(row);
        }
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
    }
}

struct Frame {
    const char *over;
    std::function<bool(int i, int j)> in;  // row j of the partition is in the frame of row i
};

TEST(SqliteAggregates, WindowFramesAgainstTheFramesRows) {
    const Frame frames[] = {
        {"ROWS BETWEEN 6 PRECEDING AND CURRENT ROW", [](int i, int j) { return j >= i - 6 && j <= i; }},
        {"ROWS BETWEEN 2 PRECEDING AND 3 FOLLOWING", [](int i, int j) { return j >= i - 2 && j <= i + 3; }},
        {"ROWS UNBOUNDED PRECEDING", [](int i, int j) { return j <= i; }},
        {"ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", [](int i, int j) { return j >= i; }},
        {"ROWS BETWEEN 1 FOLLOWING AND 3 FOLLOWING", [](int i, int j) { return j >= i + 1 && j <= i + 3; }},
        {"ROWS BETWEEN 2 PRECEDING AND 2 FOLLOWING EXCLUDE CURRENT ROW", [](int i, int j) { return j != i && j >= i - 2 && j <= i + 2; }},
        {"ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING", [](int, int) { return true; }},
        {"RANGE BETWEEN 1 PRECEDING AND CURRENT ROW", [](int i, int j) { return j / 3 >= i / 3 - 1 && j / 3 <= i / 3; }},
    };
    Db db;
    const Parts parts = fill(db, "w", {0, 1, 2, 7, 12, 25, 40}, 13);
    for (const qvh_info *f : aggregates())
        for (const Frame &frame : frames) {
            const std::string order = std::strncmp(frame.over, "RANGE", 5) == 0 ? "seq / 3" : "seq";
            sqlite3_stmt *st = db.prepare("SELECT part, seq, " + call(*f, "x") + " OVER (PARTITION BY part ORDER BY " + order +
                                          " " + frame.over + ") FROM w ORDER BY part, seq");
            parameter(*f).bind(st, 1);
            const std::string error = error_at_end(db, st, [&] {
                const std::vector<Value> &values = parts.at(sqlite3_column_int(st, 0));
                const int i = sqlite3_column_int(st, 1);
                std::vector<Value> in;
                for (int j = 0; j < static_cast<int>(values.size()); ++j)
                    if (frame.in(i, j)) in.push_back(values[static_cast<std::size_t>(j)]);
                Outcome got = sqltest::read(st, 2, 2), want = sqltest::host_call(*f, with_param(*f, in), false);
                got.status = want.status = "";
                EXPECT_EQ(got, want) << f->name << " OVER " << frame.over << ", part " << sqlite3_column_int(st, 0) << " row " << i;
            });
            EXPECT_EQ(error, "") << f->name << " OVER " << frame.over;
            sqlite3_finalize(st);
        }
}

// A fixed-state statistic folds its values every 4096 rows: a frame that took in that many before
// its first result cannot let rows leave; one that took them in one result at a time can.
TEST(SqliteAggregates, FoldLimitOfSlidingFrames) {
    struct Row {
        const char *call;
        int rows;
        const char *frame;
        int check_row;         // whose frame is compared: the rows from first to this one
        int first;
        const char *error;     // or the expected failure
    };
    const char *const beyond = "qv_sum: this window frame took in 4096 rows or more before its first result, so rows "
                               "cannot leave it (fixed-state statistics keep no values before that); use a frame with "
                               "fewer following rows";
    const Row rows[] = {
        {"qv_sum", 4000, "ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", 0, 0, nullptr},
        {"qv_sum", 5000, "ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", 0, 0, beyond},
        {"qv_median", 5000, "ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", 1, 1, nullptr},
        {"qv_sum", 6000, "ROWS BETWEEN 5000 PRECEDING AND CURRENT ROW", 5999, 999, nullptr},
        {"qv_mean", 9000, "ROWS UNBOUNDED PRECEDING", 8999, 0, nullptr},
    };
    Db db;
    const Parts parts = fill(db, "big", {9000}, 17);
    const std::vector<Value> &values = parts.at(0);
    for (const Row &r : rows) {
        sqlite3_stmt *st = db.prepare(std::string("SELECT seq, ") + r.call + "(x) OVER (ORDER BY seq " + r.frame +
                                      ") FROM big WHERE seq < " + std::to_string(r.rows));
        const std::string error = error_at_end(db, st, [&] {
            if (sqlite3_column_int(st, 0) != r.check_row) return;
            const int last = std::strstr(r.frame, "FOLLOWING") ? r.rows : r.check_row + 1;
            Outcome got = sqltest::read(st, 1, 1);
            got.status = "";
            Outcome want = sqltest::host_call(*qvh_function_find(r.call + 3), std::vector<Value>(values.begin() + r.first, values.begin() + last), false);
            want.status = "";
            EXPECT_EQ(got, want) << r.call << " " << r.frame;
        });
        EXPECT_EQ(error, r.error ? r.error : "") << r.call << " " << r.frame;
        sqlite3_finalize(st);
    }
}

// Median and sum per group of one table, as text.
std::string summary(Db &db) {
    std::string out;
    sqlite3_stmt *st = db.prepare("SELECT qv_median(x), qv_sum(x), qv_round(qv_sum(x), 0.01) FROM t GROUP BY part");
    EXPECT_EQ(error_at_end(db, st, [&] {
                  char buf[128];
                  std::snprintf(buf, sizeof buf, "%a %a %s\n", sqlite3_column_double(st, 0), sqlite3_column_double(st, 1),
                                sqlite3_column_text(st, 2) ? reinterpret_cast<const char *>(sqlite3_column_text(st, 2)) : "-");
                  out += buf;
              }),
              "");
    sqlite3_finalize(st);
    return out;
}

TEST(SqliteAggregates, ConnectionsThreadsAndEarlyEnds) {
    const std::string file = std::string(std::getenv("QV_BUILD_DIR")) + "/tests/sqlite_aggregate_test.db";
    std::remove(file.c_str());
    auto first = std::make_unique<Db>(file.c_str());
    first->exec("PRAGMA journal_mode = WAL");
    fill(*first, "t", {3000, 10, 20000, 1, 700}, 19);
    first->load();  // loaded twice: the second registrations replace the first
    const std::string expected = summary(*first);
    {
        Db second(file.c_str());
        EXPECT_EQ(summary(second), expected);
        first.reset();  // the package stays open for the other connection
        EXPECT_EQ(summary(second), expected);
    }
    std::string results[2];
    std::thread threads[2];
    for (int k = 0; k < 2; ++k)
        threads[k] = std::thread([&, k] {
            Db db(file.c_str());
            for (int i = 0; i < 3; ++i) results[k] = summary(db);
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(results[0], expected);
    EXPECT_EQ(results[1], expected);

    // Statements left before their groups end, or failing in the middle of one, free their state.
    Db db(file.c_str());
    sqlite3_stmt *st = db.prepare("SELECT qv_median(x), qv_sum(x) FROM t GROUP BY part");
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    sqlite3_reset(st);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    sqlite3_finalize(st);
    st = db.prepare("SELECT qv_median(x) OVER (ORDER BY seq ROWS 3 PRECEDING), qv_sum(x) OVER (PARTITION BY part) FROM t");
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    sqlite3_finalize(st);
    st = db.prepare("SELECT qv_median(CASE WHEN seq = 2000 THEN 'bad' ELSE x END) FROM t GROUP BY part");
    EXPECT_EQ(error_at_end(db, st), "qv_median: argument 1 is not a number: 'bad'");
    sqlite3_finalize(st);
    st = db.prepare("SELECT qv_status()");
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "error: qv_median: argument 1 is not a number: 'bad'");
    sqlite3_finalize(st);
    std::remove(file.c_str());
    std::remove((file + "-wal").c_str());
    std::remove((file + "-shm").c_str());
}

}  // namespace

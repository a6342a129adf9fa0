// The extension's aggregates over GROUP BY groups against the row-wise call over the same values,
// window frames against the host library over the frame's rows, the fold limit of sliding frames,
// and the extension in several connections and threads at once.
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "sqlite_db.hpp"

namespace {

using namespace sqltest;
using Parts = std::map<int, std::vector<Value>>;

// Runs a statement to its end, handing each row over: "" when it ran through, else the error.
std::string run(Db &db, const std::string &sql, const std::function<void(sqlite3_stmt *)> &each_row = {}) {
    sqlite3_stmt *st = db.prepare(sql);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        if (each_row) each_row(st);
    sqlite3_finalize(st);
    return rc == SQLITE_DONE ? "" : sqlite3_errmsg(db.db);
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
    sqlite3_stmt *st = db.prepare(std::string("INSERT INTO ") + table + " VALUES (?1, ?2, ?3)");
    for (int p = 0; p < static_cast<int>(sizes.size()); ++p)
        for (int i = 0; i < sizes[static_cast<std::size_t>(p)]; ++i) {
            parts[p].push_back(random_value(rng, QVH_KIND_NUM, false));
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

TEST(SqliteAggregates, GroupsAgainstTheRowWiseCall) {
    Db db;
    std::vector<int> sizes = {1, 4200};
    for (int i = 0; i < 30; ++i) sizes.push_back(2 + i * 3);
    const Parts parts = fill(db, "t", sizes);
    for (const qvh_info *f : functions(true)) {
        auto part = parts.begin();
        EXPECT_EQ(run(db, "SELECT " + call(*f) + ", qv_status() FROM t GROUP BY part ORDER BY part", [&](sqlite3_stmt *st) {
            const std::vector<Value> xs = args(*f, (part++)->second);
            const Outcome got = read(st, 0, 1);
            EXPECT_EQ(got, host_call(*f, xs, false)) << f->name << " over " << xs.size();
            if (xs.size() < 3 || xs.size() > 100) return;
            std::string sql = "SELECT " + sql_name(*f) + "(?1";  // the row-wise form over the same values
            for (std::size_t k = 2; k <= xs.size(); ++k) sql += ", ?" + std::to_string(k);
            sqlite3_stmt *row = db.prepare(sql + "), NULL");
            for (std::size_t k = 0; k < xs.size(); ++k) xs[k].bind(row, static_cast<int>(k + 1));
            EXPECT_EQ(sqlite3_step(row), SQLITE_ROW);
            EXPECT_EQ(read(row, 0, 1), (Outcome{got.type, got.bits, got.text})) << f->name << " row-wise";
            sqlite3_finalize(row);
        }), "");
        EXPECT_EQ(part, parts.end());
    }
}

struct Frame {
    const char *over;
    std::function<bool(int i, int j)> in;  // row j of the partition is in the frame of row i
};

TEST(SqliteAggregates, WindowFramesAgainstTheFramesRows) {
    const Frame frames[] = {
        {"ORDER BY seq ROWS 6 PRECEDING", [](int i, int j) { return j >= i - 6 && j <= i; }},
        {"ORDER BY seq ROWS BETWEEN 2 PRECEDING AND 3 FOLLOWING", [](int i, int j) { return j >= i - 2 && j <= i + 3; }},
        {"ORDER BY seq", [](int i, int j) { return j <= i; }},
        {"ORDER BY seq ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", [](int i, int j) { return j >= i; }},
        {"ORDER BY seq ROWS BETWEEN 1 FOLLOWING AND 3 FOLLOWING", [](int i, int j) { return j > i && j <= i + 3; }},
        {"ORDER BY seq ROWS BETWEEN 2 PRECEDING AND 2 FOLLOWING EXCLUDE CURRENT ROW", [](int i, int j) { return j != i && std::abs(j - i) <= 2; }},
        {"ORDER BY seq / 3 RANGE 1 PRECEDING", [](int i, int j) { return j / 3 >= i / 3 - 1 && j / 3 <= i / 3; }},
        {"ORDER BY seq ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING", [](int, int) { return true; }},
    };
    Db db;
    const Parts parts = fill(db, "w", {0, 1, 2, 7, 12, 25, 40});
    for (const qvh_info *f : functions(true))
        for (const Frame &frame : frames)
            EXPECT_EQ(run(db, "SELECT part, seq, " + call(*f) + " OVER (PARTITION BY part " + frame.over + ") FROM w ORDER BY part, seq",
                          [&](sqlite3_stmt *st) {
                              const int i = sqlite3_column_int(st, 1);
                              std::vector<Value> in;
                              for (int j = 0; const Value &x : parts.at(sqlite3_column_int(st, 0)))
                                  if (frame.in(i, j++)) in.push_back(x);
                              Outcome got = read(st, 2, 2), want = host_call(*f, args(*f, in), false);
                              want.status = got.status;
                              EXPECT_EQ(got, want) << f->name << " OVER " << frame.over << " row " << i;
                          }),
                      "") << f->name << " OVER " << frame.over;
}

// A fixed state folds every 4096 values: a frame that took in that many before its first result
// cannot let rows leave; frames that grow one result at a time can, and so can the others.
TEST(SqliteAggregates, FoldLimitOfSlidingFrames) {
    const std::string beyond = "qv_sum: this window frame took in 4096 rows or more before its first result, so rows "
                               "cannot leave it (fixed-state statistics keep no values before that); use a frame with "
                               "fewer following rows";
    struct Row {
        const char *name, *frame;
        int rows, check_row, first, last;  // the frame of check_row is values [first, last)
        std::string error;
    };
    const Row rows[] = {
        {"SUM", "ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", 5000, 1, 1, 5000, beyond},
        {"MEDIAN", "ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING", 5000, 1, 1, 5000, ""},
        {"SUM", "ROWS 5000 PRECEDING", 6000, 5999, 999, 6000, ""},
        {"MEAN", "ROWS UNBOUNDED PRECEDING", 9000, 8999, 0, 9000, ""},
    };
    Db db;
    const Parts parts = fill(db, "big", {9000});
    const std::vector<Value> &values = parts.at(0);
    for (const Row &r : rows) {
        const qvh_info &f = *qvh_function_find(r.name);
        // Stepped up to the row compared, and left there.
        sqlite3_stmt *st = db.prepare("SELECT seq, " + call(f) + " OVER (ORDER BY seq " + r.frame + ") FROM big WHERE seq < " +
                                      std::to_string(r.rows));
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW && sqlite3_column_int(st, 0) != r.check_row) {
        }
        if (rc == SQLITE_ROW) {
            Outcome got = read(st, 1, 1), want = host_call(f, {values.begin() + r.first, values.begin() + r.last}, false);
            want.status = got.status;
            EXPECT_EQ(got, want) << r.name << " " << r.frame;
        }
        EXPECT_EQ(rc == SQLITE_ROW ? "" : sqlite3_errmsg(db.db), r.error) << r.name << " " << r.frame;
        sqlite3_finalize(st);
    }
}

// Medians and sums per group, as text.
std::string summary(Db &db) {
    std::string out;
    EXPECT_EQ(run(db, "SELECT qv_median(x), qv_sum(x), qv_round(qv_sum(x), 0.01) FROM t GROUP BY part",
                  [&](sqlite3_stmt *st) {
                      for (int c = 0; c < 3; ++c) out += std::to_string(sqlite3_column_double(st, c)) + " ";
                  }),
              "");
    return out;
}

TEST(SqliteAggregates, ConnectionsThreadsAndEarlyEnds) {
    const std::string file = std::string(std::getenv("QV_BUILD_DIR")) + "/tests/sqlite_aggregate_test.db";
    std::remove(file.c_str());
    auto first = std::make_unique<Db>(file.c_str());
    fill(*first, "t", {3000, 10, 20000, 1, 700});
    first->load();  // loaded twice: the second registrations replace the first
    const std::string expected = summary(*first);
    auto second_db = std::make_unique<Db>(file.c_str());
    Db &second = *second_db;
    first.reset();  // the package stays open for the other connection
    EXPECT_EQ(summary(second), expected);
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
    // Statements left before their groups end, or failing in one, free their state (see the
    // sanitizer build) and leave the error for qv_status().
    for (const char *sql : {"SELECT qv_median(x), qv_sum(x) FROM t GROUP BY part",
                            "SELECT qv_median(x) OVER (ORDER BY seq ROWS 3 PRECEDING), qv_sum(x) OVER (PARTITION BY part) FROM t"}) {
        sqlite3_stmt *st = second.prepare(sql);
        EXPECT_EQ(sqlite3_step(st), SQLITE_ROW);
        sqlite3_finalize(st);
    }
    EXPECT_EQ(run(second, "SELECT qv_median(CASE WHEN seq = 2000 THEN 'bad' ELSE x END) FROM t GROUP BY part"),
              "qv_median: argument 1 is not a number: 'bad'");
    EXPECT_EQ(run(second, "SELECT qv_status()", [](sqlite3_stmt *st) {
                  EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "error: qv_median: argument 1 is not a number: 'bad'");
              }),
              "");
    // A statement that fails part-way changes nothing in the database.
    EXPECT_EQ(run(second, "UPDATE t SET x = qv_mean(x, CASE WHEN seq = 2500 THEN 'bad' ELSE 1 END)"),
              "qv_mean: argument 2 is not a number: 'bad'");
    EXPECT_EQ(run(second, "INSERT INTO t SELECT seq + 100000, part, qv_pctl(seq, x) FROM t GROUP BY part"),
              "qv_pctl: the percentile must be the same for every row of a group");
    EXPECT_EQ(summary(second), expected);
    // The last connection closed the package: a load now opens it again, or fails in one line.
    second_db.reset();
    const std::string package = std::getenv("QV_LIB");
    setenv("QV_LIB", "/nonexistent/libqvewumth.so", 1);
    sqlite3 *db = nullptr;
    char *err = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
    EXPECT_EQ(sqlite3_load_extension(db, (std::string(std::getenv("QV_BUILD_DIR")) + "/libqvsqlite").c_str(), nullptr, &err), SQLITE_ERROR);
    EXPECT_STREQ(err, "error during initialization: qvsqlite: cannot load /nonexistent/libqvewumth.so: No such file or directory");
    sqlite3_free(err);
    sqlite3_close(db);
    setenv("QV_LIB", package.c_str(), 1);
    EXPECT_EQ(summary(*std::make_unique<Db>(file.c_str())), expected);
    std::remove(file.c_str());
}

}  // namespace

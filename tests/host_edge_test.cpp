// The rules of the edge every surface takes from the host library: values by kind, results, the
// merge kind and source of each statistic, the tally and its wording, out of memory, group order.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <tuple>
#include <sstream>
#include <string>
#include <vector>

#include "host_package.hpp"

namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
double missing(char c) {
    double x = 0;
    qvh_missing(c, &x);
    return x;
}
const double NaN = std::numeric_limits<double>::quiet_NaN();

qvh_value null() { return {QVH_VALUE_NULL, 0, nullptr, 0}; }
qvh_value num(double x) { return {QVH_VALUE_NUM, x, nullptr, 0}; }
qvh_value text(const char *s) { return {QVH_VALUE_TEXT, 0, s, std::strlen(s)}; }

TEST(HostEdge, ArgumentByKind) {
    // want: QVH_VALUE_NUM with the number's bits, QVH_VALUE_TEXT with the text, or rc.
    struct Row {
        const char *fn;
        size_t index;
        qvh_value in;
        int rc, kind;
        double x;
        const char *s;
    };
    const Row rows[] = {
        {"ABS", 0, null(), QVH_OK, QVH_VALUE_NUM, missing('.'), nullptr},
        {"ABS", 0, num(-2.5), QVH_OK, QVH_VALUE_NUM, -2.5, nullptr},
        {"ABS", 0, num(NaN), QVH_OK, QVH_VALUE_NUM, missing('.'), nullptr},
        {"ABS", 0, num(missing('Q')), QVH_OK, QVH_VALUE_NUM, missing('Q'), nullptr},
        {"ABS", 0, text(".a"), QVH_OK, QVH_VALUE_NUM, missing('A'), nullptr},
        {"ABS", 0, text("._"), QVH_OK, QVH_VALUE_NUM, missing('_'), nullptr},
        {"ABS", 0, text("."), QVH_OK, QVH_VALUE_NUM, missing('.'), nullptr},
        {"ABS", 0, text(""), QVH_OK, QVH_VALUE_NUM, missing('.'), nullptr},
        {"ABS", 0, text("2.5"), QVH_E_KIND, 0, 0, nullptr},
        {"ABS", 0, text(" .A"), QVH_E_KIND, 0, 0, nullptr},
        {"ABS", 0, text(".AB"), QVH_E_KIND, 0, 0, nullptr},
        {"MEAN", 3, text(".b"), QVH_OK, QVH_VALUE_NUM, missing('B'), nullptr},
        {"MISSING", 0, text(".A"), QVH_OK, QVH_VALUE_NUM, missing('A'), nullptr},
        {"MISSING", 0, text("abc"), QVH_OK, QVH_VALUE_TEXT, 0, "abc"},
        {"MISSING", 0, text(""), QVH_OK, QVH_VALUE_TEXT, 0, ""},
        {"MISSING", 0, null(), QVH_OK, QVH_VALUE_NUM, missing('.'), nullptr},
        {"COALESCEC", 1, null(), QVH_OK, QVH_VALUE_TEXT, 0, ""},
        {"COALESCEC", 1, text(".A"), QVH_OK, QVH_VALUE_TEXT, 0, ".A"},
        {"COALESCEC", 0, num(1), QVH_E_KIND, 0, 0, nullptr},
        {"WHICHC", 1, text(".C"), QVH_OK, QVH_VALUE_TEXT, 0, ".C"},
    };
    for (const Row &r : rows) {
        const std::string what = std::string(r.fn) + " argument " + std::to_string(r.index + 1);
        qvh_value out{-1, 0, nullptr, 0};
        ASSERT_EQ(qvh_edge_arg(qvh_function_find(r.fn), nullptr, r.index, &r.in, &out), r.rc) << what << qvh_errmsg();
        if (r.rc != QVH_OK) continue;
        ASSERT_EQ(out.kind, r.kind) << what;
        if (r.kind == QVH_VALUE_NUM) EXPECT_EQ(bits(out.num), bits(r.x)) << what;
        else EXPECT_EQ(std::string(out.text, out.len), r.s) << what;
    }
    const qvh_value abc = text("abc\n");
    qvh_value out;
    EXPECT_EQ(qvh_edge_arg(qvh_function_find("ABS"), "qv_abs", 0, &abc, &out), QVH_E_KIND);
    EXPECT_STREQ(qvh_errmsg(), "qv_abs: argument 1 must be a number, not a character value ('abc\\n')");
}

TEST(HostEdge, Result) {
    const std::tuple<double, int32_t, int32_t, double> rows[] = {
        {NaN, QVH_STATUS_OK, QVH_STATUS_NOT_A_NUMBER, missing('.')},
        {-NaN, QVH_STATUS_INVALID_ARG, QVH_STATUS_INVALID_ARG, missing('.')},
        {missing('A'), QVH_STATUS_OK, QVH_STATUS_OK, missing('A')},
    };
    for (auto [x, st, want_st, want] : rows) {
        EXPECT_EQ(bits(qvh_edge_result(x, &st)), bits(want)) << x;
        EXPECT_EQ(st, want_st) << x;
    }
    EXPECT_EQ(bits(qvh_edge_result(NaN, nullptr)), bits(missing('.')));
}

// The merge kind is what merging does: partial states made with the flags it asks for merge to
// the result of one aggregate over every value; a fixed state of a VALUES statistic is refused.
TEST(HostEdge, MergeKindIsHowPartialStatesMerge) {
    std::vector<double> xs;
    for (int i = 0; i < 3 * QVH_FOLD_BLOCK; ++i) xs.push_back(std::ldexp((i * 7919) % 1009 - 500.25, i % 40 - 20));
    const size_t half = xs.size() / 2 + 17;
    for (size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        if (f->aggregate == QVH_AGG_NONE) {
            EXPECT_EQ(f->merge, QVH_MERGE_NONE) << f->name;
            continue;
        }
        auto make = [&](unsigned flags, size_t from, size_t to) {
            qvh_agg *a = nullptr;
            EXPECT_EQ(qvh_agg_new(qvt::host_package(), f->name, flags, &a), QVH_OK);
            if (f->leading_param) qvh_agg_param(a, 30);
            qvh_agg_add_n(a, xs.data() + from, to - from);
            return a;
        };
        const unsigned flags = f->merge == QVH_MERGE_VALUES ? QVH_AGG_KEEP_VALUES : 0;
        qvh_agg *whole = make(0, 0, xs.size()), *left = make(flags, 0, half), *right = make(flags, half, xs.size());
        ASSERT_EQ(qvh_agg_merge(left, right), QVH_OK) << f->name << ": " << qvh_errmsg();
        double a = 0, b = 0;
        qvh_agg_result(whole, &a, nullptr);
        qvh_agg_result(left, &b, nullptr);
        EXPECT_EQ(bits(a), bits(b)) << f->name;
        if (f->merge == QVH_MERGE_VALUES && f->aggregate == QVH_AGG_FIXED) {
            qvh_agg *folded = make(0, half, xs.size());
            EXPECT_EQ(qvh_agg_merge(whole, folded), QVH_E_STATE) << f->name;
            qvh_agg_free(folded);
        }
        for (qvh_agg *p : {whole, left, right}) qvh_agg_free(p);
    }
}

// Each function's source is the file that defines the entry point the package's table names.
TEST(HostEdge, SourceDefinesTheEntryPoint) {
    const char *root = std::getenv("QV_SOURCE_DIR");
    if (root == nullptr) GTEST_SKIP() << "QV_SOURCE_DIR is not set";
    auto read = [&](const std::string &path) {
        std::ifstream in(std::string(root) + "/" + path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    const std::string table = read("package/src/funclist.cpp");
    std::map<std::string, std::string> entry;  // row("NAME", L(entry)); rows with NONE have none
    for (size_t at = table.find("row(\""); at != std::string::npos; at = table.find("row(\"", at + 1)) {
        const size_t name_end = table.find('"', at + 5), open = name_end + 4;
        if (table[open] == '(') entry[table.substr(at + 5, name_end - at - 5)] = table.substr(open + 1, table.find(')', open) - open - 1);
    }
    ASSERT_GT(entry.size(), 70u);
    for (size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        if (entry.count(f->name) == 0) {
            EXPECT_STREQ(f->source, "") << f->name;
            continue;
        }
        EXPECT_NE(read(f->source).find(" " + entry[f->name] + "("), std::string::npos) << f->name << " in '" << f->source << "'";
    }
}

int32_t code(char c) {
    switch (c) {
        case 'm': return QVH_STATUS_MISSING_ARG;
        case 'i': return QVH_STATUS_INVALID_ARG;
        case 'n': return QVH_STATUS_NOT_A_NUMBER;
        case 'x': return 0x1234;
        default: return QVH_STATUS_OK;
    }
}

// Rows as letters (o ok, m missing, i invalid, n not a number, x another status; upper case: an
// argument marked), counted whole and as two merged halves: one wording.
TEST(HostEdge, TallyWording) {
    struct Row {
        const char *label, *rows, *want;
    };
    const Row rows[] = {
        {"qv_mean", "", "qv_mean: no rows"},
        {"qv_mean", "oo", "qv_mean: ok"},
        {"qv_mean", "m", "qv_mean: missing argument"},
        {"qv_log", "I", "qv_log: invalid argument; an argument marked invalid"},
        {"qv_mean", "ommoooonoo", "qv_mean: 2 of 10 rows gave missing argument, 1 not a number"},
        {"qv_pctl", "IxI", "qv_pctl: 2 of 3 rows gave invalid argument, 1 other status; 2 rows marked an argument invalid"},
        {"qv_pctl", "xxmo", "qv_pctl: 1 of 4 rows gave missing argument, 2 other statuses"},
        {nullptr, "oiI", "2 of 3 rows gave invalid argument; 1 row marked an argument invalid"},
    };
    for (const Row &r : rows) {
        const std::string all = r.rows;
        qvh_tally whole{}, first{}, second{};
        for (size_t i = 0; i < all.size(); ++i) {
            const char c = static_cast<char>(std::tolower(all[i]));
            qvh_tally_add(&whole, code(c), c != all[i]);
            qvh_tally_add(i < all.size() / 2 ? &first : &second, code(c), c != all[i]);
        }
        qvh_tally_merge(&first, &second);
        char buf[256], merged[256];
        EXPECT_EQ(qvh_tally_describe(&whole, r.label, buf, sizeof buf), std::strlen(r.want)) << r.rows;
        EXPECT_STREQ(buf, r.want) << r.rows;
        qvh_tally_describe(&first, r.label, merged, sizeof merged);
        EXPECT_STREQ(merged, r.want) << r.rows << " merged";
    }
    qvh_tally t{};
    qvh_tally_add(&t, QVH_STATUS_MISSING_ARG, 0);
    char small[8];
    EXPECT_EQ(qvh_tally_describe(&t, "qv_mean", small, sizeof small), std::strlen("qv_mean: missing argument"));
    EXPECT_STREQ(small, "qv_mean");
}

std::string status_text(int32_t status, const char *label) {
    char buf[128];
    qvh_status_message(status, label, buf, sizeof buf);
    return buf;
}
std::string nomem_text(const char *label, uint64_t row, uint64_t rows, size_t bytes) {
    char buf[128];
    EXPECT_LT(qvh_nomem_message(label, row, rows, bytes, buf, sizeof buf), sizeof buf);
    return buf;
}

TEST(HostEdge, StatusAndMemoryWording) {
    const std::pair<std::string, const char *> rows[] = {
        {status_text(QVH_STATUS_INVALID_ARG, "qv_log"), "qv_log: invalid argument"},
        {status_text(QVH_STATUS_NO_SCRATCH, "qv_median"), "qv_median: out of memory"},
        {status_text(QVH_STATUS_NO_MEMORY, nullptr), "out of memory"},
        {status_text(QVH_STATUS_MISSING_ARG, nullptr), "missing argument"},
        {nomem_text("qv_median", 3, 10, 80000), "qv_median: out of memory asking for 80000 bytes in row 3 of 10"},
        {nomem_text("qv_median", 0, 0, 0), "qv_median: out of memory"},
        {nomem_text("qv_median", 0, 0, 1), "qv_median: out of memory asking for 1 byte"},
        {nomem_text("qv_median", 2, 0, 0), "qv_median: out of memory in row 2"},
        {nomem_text(nullptr, 0, 5, 16), "out of memory asking for 16 bytes"},
    };
    for (const auto &[got, want] : rows) EXPECT_EQ(got, want);
}

TEST(HostEdge, GroupOrder) {
    struct Row {
        std::vector<int64_t> codes;
        size_t ngroups;
        std::vector<size_t> order, starts;
    };
    const Row rows[] = {
        {{}, 0, {}, {0}},
        {{}, 2, {}, {0, 0, 0}},
        {{-1, -5}, 1, {}, {0, 0}},
        {{1, 0, 1, 0, 2}, 3, {1, 3, 0, 2, 4}, {0, 2, 4, 5}},
        {{2, -1, 2, 0}, 4, {3, 0, 2}, {0, 1, 1, 3, 3}},
        {{0, 0, 0}, 1, {0, 1, 2}, {0, 3}},
    };
    for (const Row &r : rows) {
        std::vector<size_t> order(r.codes.size(), 99), starts(r.ngroups + 1, 99);
        ASSERT_EQ(qvh_group_order(r.codes.data(), r.codes.size(), r.ngroups, order.data(), starts.data()), QVH_OK);
        order.resize(starts.back());
        EXPECT_EQ(order, r.order);
        EXPECT_EQ(starts, r.starts);
    }
    const int64_t bad[] = {0, 2};
    size_t order[2] = {7, 7}, starts[3] = {7, 7, 7};
    EXPECT_EQ(qvh_group_order(bad, 2, 2, order, starts), QVH_E_RANGE);
    EXPECT_EQ(order[0], 7u);  // nothing placed
    // The values placed by group are the values of the rows in that order, read every second one.
    for (const Row &r : rows) {
        std::vector<double> xs(2 * r.codes.size() + 1, -1.0), values(r.codes.size(), 99.0);
        for (size_t i = 0; i < r.codes.size(); ++i) xs[2 * i] = 10.0 * static_cast<double>(i) + 0.5;
        std::vector<size_t> starts(r.ngroups + 1, 99);
        ASSERT_EQ(qvh_group_values(r.codes.data(), r.codes.size(), r.ngroups, xs.data(), 16, values.data(), starts.data()),
                  QVH_OK);
        EXPECT_EQ(starts, r.starts);
        for (size_t k = 0; k < r.order.size(); ++k) EXPECT_EQ(values[k], xs[2 * r.order[k]]) << k;
    }
    double placed[2] = {7, 7};
    const double two[2] = {1, 2};
    EXPECT_EQ(qvh_group_values(bad, 2, 2, two, 8, placed, starts), QVH_E_RANGE);
    EXPECT_EQ(placed[0], 7.0);
    std::vector<int64_t> late(5000, 1);  // out of range past the first block the codes are checked in
    late[4500] = 2;
    std::vector<double> many(late.size(), 1.0), out(late.size(), 7.0);
    std::vector<size_t> room(3);
    EXPECT_EQ(qvh_group_values(late.data(), late.size(), 2, many.data(), 8, out.data(), room.data()), QVH_E_RANGE);
    EXPECT_EQ(out[0], 7.0);
}

// The values of the rows in the group order: each group's in the rows' own order, the same order
// that qvh_group_order gives, for 32-bit codes whose missing value is negative.
TEST(HostEdge, GroupValues32) {
    struct Row {
        std::vector<int32_t> codes;
        size_t ngroups;
        std::vector<double> out;
        std::vector<size_t> starts;
    };
    const Row rows[] = {
        {{}, 1, {}, {0, 0}},
        {{INT32_MIN, -1}, 2, {}, {0, 0, 0}},
        {{1, 0, 1, 0, 2}, 3, {11, 13, 10, 12, 14}, {0, 2, 4, 5}},
        {{2, INT32_MIN, 2, 0}, 4, {13, 10, 12}, {0, 1, 1, 3, 3}},
    };
    for (const Row &r : rows) {
        std::vector<double> values(r.codes.size()), out(r.codes.size(), -1);
        for (size_t i = 0; i < values.size(); ++i) values[i] = 10.0 + static_cast<double>(i);
        std::vector<size_t> starts(r.ngroups + 1, 99);
        ASSERT_EQ(qvh_group_values32(r.codes.data(), r.codes.size(), r.ngroups, values.data(), 8, out.data(), starts.data()),
                  QVH_OK);
        out.resize(starts.back());
        EXPECT_EQ(out, r.out);
        EXPECT_EQ(starts, r.starts);
    }
    const int32_t bad[] = {0, 2};
    const double values[] = {1, 2};
    double out[2] = {7, 7};
    size_t starts[3] = {7, 7, 7};
    EXPECT_EQ(qvh_group_values32(bad, 2, 2, values, 8, out, starts), QVH_E_RANGE);
    EXPECT_EQ(out[0], 7);  // nothing placed
}

}  // namespace

// The host library's C interface: every misuse gives its code and a message and changes
// nothing; calls give the package's results; values read and print the way the project does.
#include <dlfcn.h>
#include <elf.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "qvhost.h"
#include "host_package.hpp"
#include "rowlanes.hpp"

namespace {

namespace fs = std::filesystem;

qvh_package *package() { return qvt::host_package(); }

double missing(char c) {
    double x = 0;
    EXPECT_EQ(qvh_missing(c, &x), QVH_OK);
    return x;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Where the last loadable segment of a shared library's image ends: cut before it, the copy
// cannot be mapped whole.
std::size_t loaded_end(const std::string &image) {
    Elf64_Ehdr eh;
    std::memcpy(&eh, image.data(), sizeof eh);
    std::size_t end = 0;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        std::memcpy(&ph, image.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
        if (ph.p_type == PT_LOAD) end = std::max<std::size_t>(end, ph.p_offset + ph.p_filesz);
    }
    return end;
}

// A scratch folder with copies of the package cut short, an empty file and a text file.
struct Files {
    fs::path dir = fs::temp_directory_path() / ("qvhost_api_" + std::to_string(getpid()));
    Files() {
        fs::create_directories(dir);
        std::ifstream in(qvh_package_path(package()), std::ios::binary);
        const std::string image((std::istreambuf_iterator<char>(in)), {});
        const std::size_t end = loaded_end(image);
        for (std::size_t size : {std::size_t{0}, std::size_t{3}, std::size_t{64}, std::size_t{1000}, end / 2, end - 1}) {
            std::ofstream(dir / ("cut" + std::to_string(size) + ".so"), std::ios::binary).write(image.data(), static_cast<std::streamsize>(size));
        }
        std::ofstream(dir / "text.so") << "not a library\n";
    }
    ~Files() { fs::remove_all(dir); }
};

TEST(HostApi, BadPackagesAreRefusedWithAMessage) {
    Files files;
    std::vector<std::string> paths = {"/no/such/libqvewumth.so", files.dir.string(), (files.dir / "text.so").string()};
    for (const auto &entry : fs::directory_iterator(files.dir))
        if (entry.path().filename().string().starts_with("cut")) paths.push_back(entry.path().string());
    Dl_info libm{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(static_cast<double (*)(double)>(std::cos)), &libm), 0);
    paths.push_back(libm.dli_fname);  // a library, but not the package
    for (const std::string &path : paths) {
        qvh_package *pkg = reinterpret_cast<qvh_package *>(0x1);
        EXPECT_EQ(qvh_open(path.c_str(), &pkg), QVH_E_OPEN) << path;
        EXPECT_EQ(pkg, nullptr) << path;
        EXPECT_NE(std::string(qvh_errmsg()).find(path), std::string::npos) << qvh_errmsg();
    }
    EXPECT_EQ(qvh_open(nullptr, nullptr), QVH_E_NULL);
}

// Each misuse: what it returns and a piece of the message it leaves.
struct Misuse {
    const char *what;
    std::function<int()> act;
    int rc;
    const char *message;
};

TEST(HostApi, MisuseGivesACodeAndAMessage) {
    qvh_call *atan2 = nullptr, *abs = nullptr, *whichc = nullptr;
    ASSERT_EQ(qvh_call_new(package(), "atan2", &atan2), QVH_OK);
    ASSERT_EQ(qvh_call_new(package(), "ABS", &abs), QVH_OK);
    ASSERT_EQ(qvh_call_new(package(), "WhichC", &whichc), QVH_OK);
    qvh_call_add_num(atan2, 1);
    qvh_call_add_str(abs, "x", 1);
    qvh_call_add_num(whichc, 1);
    qvh_agg *pctl = nullptr, *median = nullptr;
    ASSERT_EQ(qvh_agg_new(package(), "PCTL", 0, &pctl), QVH_OK);
    ASSERT_EQ(qvh_agg_new(package(), "MEDIAN", 0, &median), QVH_OK);
    qvh_agg_param(pctl, 90);
    qvh_call *out = nullptr;
    qvh_agg *agg_out = nullptr;
    double r = 0;
    const std::string long_text(65536, 'x');
    const qvh_allocator half = {[](void *, size_t n) { return std::malloc(n); }, nullptr, nullptr, nullptr};
    const int text_kind[] = {QVH_KIND_CHR};
    const double one = 1;
    const double *cols[] = {&one, &one};
    const ptrdiff_t steps[] = {0, 0};
    const Misuse rows[] = {
        {"unknown name", [&] { return qvh_call_new(package(), "NOSUCH", &out); }, QVH_E_UNKNOWN, "unknown function NOSUCH"},
        {"no entry point", [&] { return qvh_call_new(package(), "ORDINAL2", &out); }, QVH_E_UNAVAILABLE, "ORDINAL2 is not available"},
        {"null package", [&] { return qvh_call_new(nullptr, "ABS", &out); }, QVH_E_NULL, "the package is NULL"},
        {"null name", [&] { return qvh_call_new(package(), nullptr, &out); }, QVH_E_NULL, "the function name is NULL"},
        {"null out", [&] { return qvh_call_new(package(), "ABS", nullptr); }, QVH_E_NULL, "out is NULL"},
        {"too few", [&] { return qvh_call_invoke(atan2); }, QVH_E_ARITY, "ATAN2 takes 2 arguments, got 1"},
        {"text for a number", [&] { return qvh_call_invoke(abs); }, QVH_E_KIND, "ABS: argument 1 must be a number"},
        {"number for a text", [&] { return qvh_call_invoke(whichc); }, QVH_E_KIND, "WHICHC: argument 1 must be a character value"},
        {"index past the end", [&] { return qvh_call_set_num(atan2, 1, 2.0); }, QVH_E_RANGE, "argument 2 does not exist"},
        {"text too long", [&] { return qvh_call_add_str(whichc, long_text.data(), long_text.size()); }, QVH_E_LIMIT, "at most 65535"},
        {"null text", [&] { return qvh_call_add_str(whichc, nullptr, 3); }, QVH_E_NULL, "NULL"},
        {"null call", [&] { return qvh_call_invoke(nullptr); }, QVH_E_NULL, "the call is NULL"},
        {"not a statistic", [&] { return qvh_agg_new(package(), "GCD", 0, &agg_out); }, QVH_E_STATE, "GCD is not a statistic"},
        {"percentile changes", [&] { return qvh_agg_param(pctl, 50); }, QVH_E_STATE, "the percentile must be the same"},
        {"parameter not taken", [&] { return qvh_agg_param(median, 50); }, QVH_E_STATE, "MEDIAN takes no parameter"},
        {"nothing to remove", [&] { return qvh_agg_remove_first(median); }, QVH_E_STATE, "no value to remove"},
        {"merge other function", [&] { return qvh_agg_merge(median, pctl); }, QVH_E_STATE, "cannot merge"},
        {"merge into itself", [&] { return qvh_agg_merge(median, median); }, QVH_E_STATE, "into itself"},
        {"load garbage", [&] { return qvh_agg_load(median, "QVA1", 4); }, QVH_E_RANGE, "not a saved aggregate state"},
        {"null aggregate", [&] { return qvh_agg_result(nullptr, &r, nullptr); }, QVH_E_NULL, "the aggregate is NULL"},
        {"bad missing letter", [&] { return qvh_missing('!', &r); }, QVH_E_RANGE, "no missing value is named '!'"},
        {"allocator without release", [&] { return qvh_set_allocator(package(), &half); }, QVH_E_NULL, "alloc and release"},
        {"aggregate allocator without release", [&] { return qvh_agg_new_in(package(), "N", 0, &half, &agg_out); },
         QVH_E_NULL, "alloc and release"},
        {"rows of text", [&] { return qvh_call_rows(whichc, 1, 2, cols, steps, &r, 0, nullptr, nullptr, nullptr); },
         QVH_E_KIND, "WHICHC: argument 1 must be a character value"},
        {"rows of too few", [&] { return qvh_call_rows(atan2, 1, 1, cols, steps, &r, 0, nullptr, nullptr, nullptr); },
         QVH_E_ARITY, "ATAN2 takes 2 arguments, got 1: ATAN2(y, x)"},
        {"rows without results", [&] { return qvh_call_rows(atan2, 1, 2, cols, steps, nullptr, 0, nullptr, nullptr, nullptr); },
         QVH_E_NULL, "needs the arguments"},
        {"over a scalar function", [&] { return qvh_call_over(abs, nullptr, 0, &one, 1, 8, &r, nullptr, nullptr); },
         QVH_E_KIND, "ABS is not a list-form function of numbers"},
        {"over too few", [&] { return qvh_call_over(atan2, nullptr, 0, &one, 1, 8, &r, nullptr, nullptr); },
         QVH_E_ARITY, "ATAN2 takes 2 arguments, got 1"},
        {"labelled arity", [&] { return qvh_check_args(qvh_function_find("PCTL"), "qv_pctl", 0, nullptr); },
         QVH_E_ARITY, "qv_pctl takes at least 1 argument, got 0: qv_pctl(p, x1, ...)"},
        {"labelled kind", [&] { return qvh_check_args(qvh_function_find("LOG"), "qv.log", 1, text_kind); },
         QVH_E_KIND, "qv.log: argument 1 must be a number, not a character value"},
        {"labelled aggregate", [&] { qvh_agg_set_label(pctl, "qv_pctl"); return qvh_agg_param(pctl, 50); },
         QVH_E_STATE, "qv_pctl: the percentile must be the same for every row of a group"},
        {"labelled call", [&] { qvh_call_set_label(whichc, "qv_whichc"); return qvh_call_add_str(whichc, long_text.data(), long_text.size()); },
         QVH_E_LIMIT, "qv_whichc: argument 2 holds 65536 characters"},
    };
    for (const Misuse &m : rows) {
        EXPECT_EQ(m.act(), m.rc) << m.what;
        EXPECT_NE(std::string(qvh_errmsg()).find(m.message), std::string::npos) << m.what << ": " << qvh_errmsg();
    }
    // Nothing changed: the lists and the aggregates are as they were.
    EXPECT_EQ(qvh_call_count(atan2), 1u);
    EXPECT_EQ(qvh_call_count(whichc), 1u);
    EXPECT_EQ(qvh_agg_rows(median), 0u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(agg_out, nullptr);
    qvh_call_add_num(atan2, 2);
    EXPECT_EQ(qvh_call_invoke(atan2), QVH_OK);
    EXPECT_EQ(qvh_call_result(atan2), std::atan2(1.0, 2.0));
    qvh_call_free(atan2);
    qvh_call_free(abs);
    qvh_call_free(whichc);
    qvh_agg_free(pctl);
    qvh_agg_free(median);
    // NULL handles are harmless everywhere else too.
    qvh_call_free(nullptr);
    qvh_agg_free(nullptr);
    qvh_close(nullptr);
    EXPECT_EQ(qvh_call_count(nullptr), 0u);
    EXPECT_EQ(qvh_agg_rows(nullptr), 0u);
}

TEST(HostApi, CallsGiveThePackagesResultsStatusesAndMarks) {
    struct Row {
        const char *name;
        std::vector<double> args;
        std::uint64_t result;
        std::int32_t status;
        const char *describe;
    };
    const double nan = std::nan(""), inf = HUGE_VAL;
    const Row rows[] = {
        {"MEDIAN", {1, 2, missing('.'), 4}, bits(2.0), QVH_STATUS_OK, "ok"},
        {"GEOMEAN", {4, -1}, bits(missing('.')), QVH_STATUS_INVALID_ARG, "invalid argument; argument 2 marked"},
        {"MOD", {5, 0}, bits(missing('.')), QVH_STATUS_INVALID_ARG, "invalid argument; argument 2 marked"},
        {"DIVIDE", {1, 0}, bits(missing('I')), QVH_STATUS_OK, "ok"},
        {"SUM", {nan, missing('A')}, bits(missing('.')), QVH_STATUS_MISSING_ARG, "missing argument"},  // NaN is .
        {"SQRT", {nan}, bits(missing('.')), QVH_STATUS_MISSING_ARG, "missing argument"},
        // NaN results that are no missing value leave as . with a status of their own.
        {"KURTOSIS", {1, 2, 3, 1e155}, bits(missing('.')), QVH_STATUS_NOT_A_NUMBER, "not a number"},
        {"STD", {1, inf}, bits(missing('.')), QVH_STATUS_NOT_A_NUMBER, "not a number"},
        {"MEDIAN", {-inf, inf}, bits(missing('.')), QVH_STATUS_NOT_A_NUMBER, "not a number"},
        {"PCTL", {150, 1, 2}, bits(missing('.')), QVH_STATUS_INVALID_ARG, "invalid argument; argument 1 marked"},
        {"SKEWNESS", {1, 2, 3e160}, bits(0.0), QVH_STATUS_OK, "ok"},  // wrong, but a number: it stays
    };
    for (const Row &row : rows) {
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(package(), row.name, &call), QVH_OK);
        ASSERT_EQ(qvh_call_add_nums(call, row.args.data(), row.args.size()), QVH_OK);
        ASSERT_EQ(qvh_call_invoke(call), QVH_OK);
        EXPECT_EQ(bits(qvh_call_result(call)), row.result) << row.name;
        EXPECT_EQ(qvh_call_status(call), row.status) << row.name;
        char text[80];
        qvh_call_describe(call, text, sizeof text);
        EXPECT_STREQ(text, row.describe) << row.name;
        if (std::string(row.name) == "PCTL") {  // the marks of a call are cleared when it is made again
            ASSERT_EQ(qvh_call_set_num(call, 0, 50), QVH_OK);
            ASSERT_EQ(qvh_call_invoke(call), QVH_OK);
            EXPECT_EQ(qvh_call_marked(call, 0), 0);
        }
        qvh_call_free(call);
    }
    double r = 0;
    std::int32_t st = -1;
    const double xs[] = {3, 1, 2};
    EXPECT_EQ(qvh_eval(package(), "median", xs, 3, &r, &st), QVH_OK);
    EXPECT_EQ(r, 2.0);
    EXPECT_EQ(st, QVH_STATUS_OK);
}

TEST(HostApi, CharacterValuesSurviveTheRoundTrip) {
    // UTF-8 of every width, blanks kept, bytes that are not UTF-8 given back unchanged.
    const std::string texts[] = {"", " x ", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xFF\xFE raw \xC3", "a\0b"};
    for (const std::string &t : texts) {
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(package(), "COALESCEC", &call), QVH_OK);
        qvh_call_add_str(call, "   ", 3);
        qvh_call_add_str(call, t.data(), t.size());
        ASSERT_EQ(qvh_call_invoke(call), QVH_OK);
        size_t len = 0;
        const char *out = qvh_call_result_str(call, &len);
        EXPECT_EQ(std::string(out, len), t.find_first_not_of(' ') == std::string::npos ? "" : t);
        qvh_call_free(call);
    }
    qvh_call *call = nullptr;
    ASSERT_EQ(qvh_call_new(package(), "MISSING", &call), QVH_OK);  // either kind
    qvh_call_add_str(call, "  ", 2);
    ASSERT_EQ(qvh_call_invoke(call), QVH_OK);
    EXPECT_EQ(qvh_call_result(call), 1.0);
    ASSERT_EQ(qvh_call_set_num(call, 0, 5.0), QVH_OK);
    ASSERT_EQ(qvh_call_invoke(call), QVH_OK);
    EXPECT_EQ(qvh_call_result(call), 0.0);
    const std::string longest(65535, 'y');
    EXPECT_EQ(qvh_call_set_str(call, 0, longest.data(), longest.size()), QVH_OK);
    qvh_call_free(call);
}

TEST(HostApi, ValuesReadAndPrint) {
    const std::pair<const char *, const char *> rows[] = {
        {"0.1", "0.1"}, {"-2.5e-300", "-2.5e-300"}, {"1e999", "inf"}, {"-INF", "-inf"}, {"Infinity", "inf"},
        {"nan", "nan"}, {".", "."}, {"._", "._"}, {".z", ".Z"}, {"-0", "-0"}, {"+7", "7"}, {"1e-400", "0"}};
    for (const auto &[text, printed] : rows) {
        double x = 0;
        ASSERT_EQ(qvh_parse_number(text, std::strlen(text), &x), 1) << text;
        char buf[QVH_FORMAT_MAX];
        EXPECT_EQ(qvh_format(x, buf, sizeof buf), std::strlen(printed));
        EXPECT_STREQ(buf, printed) << text;
    }
    for (const char *bad : {"", "1e", "--1", ".AB", "0x10", "1 5", "abc"}) {
        double x = 0;
        EXPECT_EQ(qvh_parse_number(bad, std::strlen(bad), &x), 0) << bad;
    }
    EXPECT_EQ(qvh_missing_letter(missing('q')), 'Q');
    EXPECT_EQ(qvh_missing_letter(1.0), '\0');
    char cut[4];
    EXPECT_EQ(qvh_format(0.125, cut, sizeof cut), 5u);  // the full length, the text cut to fit
    EXPECT_STREQ(cut, "0.1");
}

// A batch gives, row by row, what one call per row gives: results, statuses, marks, the tally;
// arguments read through strides of any sign, unaligned or broadcast, and aligned rows read as
// one block (a NaN that is not missing in the block's eights and in its tail).
TEST(HostApi, RowsEqualOneCallPerRow) {
    struct Batch {
        const char *name;
        std::vector<double> data;  // rows x nargs, row-major, read backwards when reversed
        std::size_t nargs;
        bool broadcast_first;      // argument 1 is the same every row (a parameter)
        bool reversed;
        bool aligned;
    };
    const double inf = HUGE_VAL, nan = std::nan("");
    const Batch batches[] = {
        {"LOG", {1, 0, -1, missing('A'), inf, 2.5}, 1, false, false, false},
        {"ATAN2", {0, 0, 1, -0.0, missing('.'), 2, 3, 4}, 2, false, true, false},
        {"PCTL", {150, 1, 2, 3, 50, 4, 5, 6}, 4, true, false, false},
        {"PCTL", {150, 1, 2, 3, 50, nan, 5, 6}, 4, true, false, true},
        {"KURTOSIS", {1, 2, 3, 1e155, 1, 2, 3, 4}, 4, false, false, false},
        {"MEAN", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, nan, 3, 4, 5, 6, 7, 8, 9, missing('A'),
                  1, 2, 3, 4, 5, 6, 7, 8, -0.0, nan, 1, 2, 3, 4, 5, 6, 7, 8, inf, -inf},
         10, false, true, true},
        // A row that marks its unit, then one that is missing and marks nothing: no mark carries over.
        {"ROUND", {2.4999999999, 1, 0.125, 0.01, -7.5, 1, 1, -1, missing('.'), 1}, 2, false, false, false},
    };
    // The summed statistics are made in place: rows of signed zeros, NaNs first, every value
    // missing, one value, overflow, infinities, values across 600 binades; read as one block and
    // not (unaligned).
    const std::vector<double> summed = {1, 2, 3, 4, 5, nan, 0.1, 0.1, 0.1, missing('A'), -0.0, -0.0, missing('.'), nan, -0.0,
                                        1e308, 1e308, -1e308, 1e308, 3, missing('Z'), missing('.'), nan, nan, missing('A'),
                                        inf, 1, 2, 3, -inf, 2.5, missing('.'), nan, missing('.'), missing('.'),
                                        1e-310, 3e-310, 1e-300, 5, 1e200};
    std::vector<Batch> all(std::begin(batches), std::end(batches));
    for (const char *name : {"SUM", "MEAN", "USS", "CSS", "VAR", "STD", "STDERR", "CV"})
        for (const bool aligned : {true, false}) all.push_back({name, summed, 5, false, !aligned, aligned});
    for (const Batch &b : all) {
        const std::size_t rows = b.data.size() / b.nargs, off = b.aligned ? 0 : 1;  // one byte off: every value unaligned
        std::vector<char> raw(b.data.size() * 8 + 1);
        std::memcpy(raw.data() + off, b.data.data(), b.data.size() * 8);
        std::vector<const double *> cols;
        std::vector<ptrdiff_t> strides;
        for (std::size_t j = 0; j < b.nargs; ++j) {
            const std::size_t first_row = b.reversed ? rows - 1 : 0;
            cols.push_back(reinterpret_cast<const double *>(raw.data() + off + (first_row * b.nargs + j) * 8));
            strides.push_back(j == 0 && b.broadcast_first ? 0 : static_cast<ptrdiff_t>(b.nargs * 8) * (b.reversed ? -1 : 1));
        }
        std::vector<double> out(rows);
        std::vector<std::int32_t> st(rows);
        std::vector<unsigned char> marks(rows * b.nargs);
        qvh_tally tally{};
        qvh_call *batch = nullptr, *one = nullptr;
        ASSERT_EQ(qvh_call_new(package(), b.name, &batch), QVH_OK);
        ASSERT_EQ(qvh_call_rows(batch, rows, b.nargs, cols.data(), strides.data(), out.data(), 8, st.data(), marks.data(), &tally),
                  QVH_OK) << qvh_errmsg();
        ASSERT_EQ(qvh_call_new(package(), b.name, &one), QVH_OK);
        qvh_tally expected{};
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t r = b.reversed ? rows - 1 - i : i;
            qvh_call_clear(one);
            for (std::size_t j = 0; j < b.nargs; ++j) qvh_call_add_num(one, b.data[(j == 0 && b.broadcast_first ? 0 : r) * b.nargs + j]);
            ASSERT_EQ(qvh_call_invoke(one), QVH_OK);
            EXPECT_EQ(bits(out[i]), bits(qvh_call_result(one))) << b.name << " row " << i;
            EXPECT_EQ(st[i], qvh_call_status(one)) << b.name << " row " << i;
            bool marked = false;
            for (std::size_t j = 0; j < b.nargs; ++j) {
                EXPECT_EQ(marks[i * b.nargs + j], qvh_call_marked(one, j)) << b.name << " row " << i << " argument " << j;
                marked = marked || qvh_call_marked(one, j);
            }
            ++expected.rows;
            expected.marked += marked;
            switch (qvh_call_status(one)) {
                case QVH_STATUS_OK: break;
                case QVH_STATUS_MISSING_ARG: ++expected.missing_arg; break;
                case QVH_STATUS_INVALID_ARG: ++expected.invalid_arg; break;
                case QVH_STATUS_NOT_A_NUMBER: ++expected.not_a_number; break;
                default: ++expected.other;
            }
        }
        EXPECT_EQ(std::memcmp(&tally, &expected, sizeof tally), 0) << b.name;
        // The call keeps the last row's values, as one call per row leaves them.
        ASSERT_EQ(qvh_call_invoke(batch), QVH_OK);
        EXPECT_EQ(bits(qvh_call_result(batch)), bits(qvh_call_result(one))) << b.name;
        qvh_call_free(batch);
        qvh_call_free(one);
    }
    for (const char *name : {"SUM", "STD"}) {  // rows of no argument: nothing to read
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(package(), name, &call), QVH_OK);
        double out[2] = {1, 1};
        std::int32_t st[2] = {0, 0};
        ASSERT_EQ(qvh_call_rows(call, 2, 0, nullptr, nullptr, out, 8, st, nullptr, nullptr), QVH_OK) << name;
        EXPECT_EQ(bits(out[1]), bits(missing('.'))) << name;
        EXPECT_EQ(st[1], QVH_STATUS_MISSING_ARG) << name;
        qvh_call_free(call);
    }
}

// A batch of a function of one number longer than the blocks it is called in gives each row what
// one call gives and counts every status, with the statuses asked for or not and the results
// written in place or not (unaligned); the call keeps the last row's value and result. Every
// function of one number, most of them made by the package's code compiled into the host, on
// values at the edges of their domains and within the fuzz of integers.
TEST(HostApi, ScalarRowsInBlocks) {
    const double kinds[] = {2.5, 0.0, -0.0, -1.0, missing('A'), missing('.'), std::nan(""), -std::nan(""), HUGE_VAL, -HUGE_VAL,
                            1e-310, -2.5, 1.0, 0.5, -0.5, 3.0 - 1e-13, -3.0 + 1e-13, 7.0 + 4e-12, 4503599627370497.0,
                            1e17, 709.782712893384, 709.8, -745.2, 1e300, 1e10, 1.5707963267948966};
    const std::size_t rows = 2 * 4096 + 5, nkinds = std::size(kinds);
    std::vector<double> xs(rows);
    for (std::size_t i = 0; i < rows; ++i) xs[i] = kinds[(i * 5) % nkinds];
    std::vector<const char *> names;
    for (std::size_t f = 0; f < qvh_function_count(); ++f)
        if (qvh_function_at(f)->form == QVH_FORM_SCALAR && qvh_function_at(f)->result_kind == QVH_KIND_NUM)
            names.push_back(qvh_function_at(f)->name);
    ASSERT_GE(names.size(), 28u);
    for (const char *name : names) {
        qvh_call *batch = nullptr, *one = nullptr;
        ASSERT_EQ(qvh_call_new(package(), name, &batch), QVH_OK);
        ASSERT_EQ(qvh_call_new(package(), name, &one), QVH_OK);
        std::vector<double> want(nkinds);
        std::vector<std::int32_t> want_st(nkinds);
        for (std::size_t k = 0; k < nkinds; ++k) {
            ASSERT_EQ(qvh_eval(package(), name, &kinds[k], 1, &want[k], &want_st[k]), QVH_OK);
        }
        const double *cols[] = {xs.data()};
        const ptrdiff_t steps[] = {8};
        std::vector<double> out(rows);
        std::vector<std::int32_t> st(rows);
        std::vector<unsigned char> marks(rows, 9);
        std::vector<char> raw(rows * 8 + 1);  // unaligned results, no statuses
        qvh_tally with{}, without{};
        ASSERT_EQ(qvh_call_rows(batch, rows, 1, cols, steps, out.data(), 8, st.data(), marks.data(), &with), QVH_OK);
        ASSERT_EQ(qvh_call_rows(one, rows, 1, cols, steps, reinterpret_cast<double *>(raw.data() + 1), 8, nullptr, nullptr,
                                &without), QVH_OK);
        qvh_tally expected{};
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t k = (i * 5) % nkinds;
            double unaligned;
            std::memcpy(&unaligned, raw.data() + 1 + i * 8, 8);
            ASSERT_EQ(bits(out[i]), bits(want[k])) << name << " row " << i;
            ASSERT_EQ(bits(unaligned), bits(want[k])) << name << " row " << i;
            ASSERT_EQ(st[i], want_st[k]) << name << " row " << i;
            ASSERT_EQ(marks[i], 0) << name << " row " << i;
            qvh_tally_add(&expected, want_st[k], 0);
        }
        EXPECT_EQ(std::memcmp(&with, &expected, sizeof with), 0) << name;
        EXPECT_EQ(std::memcmp(&without, &expected, sizeof without), 0) << name;
        const std::size_t last = (rows - 1) * 5 % nkinds;
        EXPECT_EQ(bits(qvh_call_result(batch)), bits(want[last])) << name;
        EXPECT_EQ(qvh_call_status(batch), want_st[last]) << name;
        ASSERT_EQ(qvh_call_invoke(batch), QVH_OK);  // again over the value the batch left
        EXPECT_EQ(bits(qvh_call_result(batch)), bits(want[last])) << name;
        qvh_call_free(batch);
        qvh_call_free(one);
    }
}

// The functions with a lane form give, at every instruction set the machine has and with none,
// what one call per row gives: over runs of numbers the lanes take (signed zeros, infinities,
// subnormals, values within the fuzz of integers and at 2^52, decimal halves) broken by values
// they must leave to the package's code (missing values, NaNs, a negative square root, a zero
// reciprocal, quotients past 2^49 and 2^53) at each place in a block of lanes, the results written
// in place, unaligned, or beside the values. ROUND by each kind of unit its cleaning tells apart,
// and by none.
TEST(HostApi, RowsInLanesEqualOneCallPerRow) {
    const double numbers[] = {2.5, 0.0, -0.0, -1.0, HUGE_VAL, -HUGE_VAL, 1e-310, -1e-310, -2.5, 0.5, -0.5, 3.0 - 1e-13,
                              -3.0 + 1e-13, 7.0 + 4e-12, 7.0 - 4e-12, 4503599627370495.5, -4503599627370495.5,
                              4503599627370497.0, 1e17, -1e300, 1e-12, -1e-12, 0.9999999999995, 12345.678, 1.005,
                              -1.115, 2.675, 0.125, 1234.5678, -7.5, 1.15, 562949953421311.5, 3e9};
    const double breakers[] = {missing('A'), missing('.'), std::nan(""), -std::nan(""), -1.0, 0.0, -0.0};
    const std::size_t rows = 1000, nnum = std::size(numbers);
    std::vector<double> xs(rows);
    for (std::size_t i = 0; i < rows; ++i) xs[i] = numbers[(i * 7) % nnum];
    // One breaker at each place of a block of 16 rows, then two side by side, then none in the tail.
    for (std::size_t k = 0; k < 16; ++k) xs[40 + 33 * k] = breakers[k % std::size(breakers)];
    xs[700] = xs[701] = missing('.');
    // A tail every lane takes, so the list's last row is one the lanes made.
    for (std::size_t i = rows - 16; i < rows; ++i) xs[i] = 1.15 + static_cast<double>(i % 4);
    const double none = std::nan("");
    // The unit one value for every row, or a column of it (as an engine hands a constant over), or
    // a column with one other unit among them.
    enum Units { ONE, COLUMN, ODD };
    const struct {
        const char *name;
        double unit;  // NaN: none given
        Units units = ONE;
    } cases[] = {{"ABS", none},        {"SQRT", none},          {"RECIP", none},      {"CEIL", none},
                 {"CEILZ", none},      {"FLOOR", none},         {"FLOORZ", none},     {"INT", none},
                 {"INTZ", none},       {"ROUND", none},         {"ROUND", 0.01},      {"ROUND", 0.1},
                 {"ROUND", 0.3},       {"ROUND", 1e-4},         {"ROUND", 3.0},       {"ROUND", 2.5},
                 {"ROUND", 1.0},       {"ROUND", 1e-300},       {"ROUND", 0.01, COLUMN}, {"ROUND", 0.01, ODD}};
    const auto old_limit = qvhost::row_lanes_limit.load();
    for (const auto &c : cases) {
        const std::size_t nargs = c.unit == c.unit ? 2 : 1;
        std::vector<double> units(rows, c.unit);
        if (c.units == ODD) units[990] = 0.1;  // in the plain tail: 3.15 gives 3.2, not 3.15
        std::vector<double> want(rows);
        std::vector<std::int32_t> want_st(rows);
        qvh_tally expected{};
        for (std::size_t i = 0; i < rows; ++i) {
            const double args[] = {xs[i], units[i]};
            ASSERT_EQ(qvh_eval(package(), c.name, args, nargs, &want[i], &want_st[i]), QVH_OK);
            qvh_tally_add(&expected, want_st[i], 0);
        }
        for (const int limit : {0, 1, 2}) {
            qvhost::row_lanes_limit = limit;
            for (const int place : {0, 1, 2}) {  // beside, in place, unaligned
                qvh_call *call = nullptr;
                ASSERT_EQ(qvh_call_new(package(), c.name, &call), QVH_OK);
                std::vector<char> raw(rows * 8 + 1);
                std::vector<double> in = xs;
                double *out = place == 1 ? in.data() : place == 2 ? reinterpret_cast<double *>(raw.data() + 1)
                                                                   : reinterpret_cast<double *>(raw.data());
                std::vector<std::int32_t> st(rows, -1);
                const double *cols[] = {in.data(), c.units == ONE ? &c.unit : units.data()};
                const ptrdiff_t steps[] = {8, c.units == ONE ? 0 : 8};
                qvh_tally t{};
                ASSERT_EQ(qvh_call_rows(call, rows, nargs, cols, steps, out, 8, place == 2 ? nullptr : st.data(), nullptr, &t),
                          QVH_OK);
                const auto at = [&](std::size_t i) {
                    return testing::Message() << c.name << " unit " << c.unit << " units " << c.units << " lanes " << limit
                                              << " place " << place << " row " << i;
                };
                for (std::size_t i = 0; i < rows; ++i) {
                    double r;
                    std::memcpy(&r, reinterpret_cast<const char *>(out) + i * 8, 8);
                    ASSERT_EQ(bits(r), bits(want[i])) << at(i);
                    if (place != 2) {
                        ASSERT_EQ(st[i], want_st[i]) << at(i);
                    }
                }
                EXPECT_EQ(std::memcmp(&t, &expected, sizeof t), 0) << at(rows);
                EXPECT_EQ(bits(qvh_call_result(call)), bits(want[rows - 1])) << at(rows);
                ASSERT_EQ(qvh_call_invoke(call), QVH_OK);  // the list holds the last row's values
                EXPECT_EQ(bits(qvh_call_result(call)), bits(want[rows - 1])) << at(rows);
                qvh_call_free(call);
            }
        }
    }
    qvhost::row_lanes_limit = old_limit;
}

// The summed statistics over rows laid out by row give, at every instruction set and with none,
// what one call per row gives: rows of 1 to 10 values, most of them plain numbers the lanes take,
// among them rows the sums alone do not settle (all values equal, too few present, every value
// missing) and rows of signed zeros, infinities, overflow and values across 600 binades, at every
// place in a block of lanes.
TEST(HostApi, SummedRowsInLanesEqualOneCallPerRow) {
    const double inf = HUGE_VAL;
    std::uint64_t seed = 12345;
    auto next = [&] {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    const auto old_limit = qvhost::row_lanes_limit.load();
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{10}}) {
        const std::size_t rows = 600;  // the last 400 plain: more than a chunk of lanes
        std::vector<double> xs(rows * n);
        for (std::size_t i = 0; i < rows; ++i) {
            double *row = &xs[i * n];
            for (std::size_t k = 0; k < n; ++k) row[k] = 200.0 * next() - 100.0;
            switch (i < 200 ? i % 23 : 0) {
                case 3: std::fill(row, row + n, 0.1); break;                     // all equal
                case 5: std::fill(row, row + n, -0.0); break;
                case 9: std::fill(row, row + n, 0.1); row[n / 2] = missing('B'); break;
                case 7: row[n - 1] = missing('A'); break;                        // a missing value last
                case 8: row[0] = std::nan(""); break;                            // a NaN first
                case 11: std::fill(row, row + n, missing('.')); break;           // none present
                case 13: row[0] = -0.0; row[n - 1] = 0.0; break;                 // signed zeros
                case 17: row[0] = 1e-300; row[n - 1] = 1e300; break;             // across 600 binades
                case 19: row[0] = inf; break;
                case 21: row[0] = 1e308; row[n - 1] = 1e308; break;              // overflow
                default: break;
            }
        }
        for (const char *name : {"SUM", "MEAN", "USS", "CSS", "VAR", "STD", "STDERR", "CV"}) {
            std::vector<double> want(rows);
            std::vector<std::int32_t> want_st(rows);
            qvh_tally expected{};
            for (std::size_t i = 0; i < rows; ++i) {
                ASSERT_EQ(qvh_eval(package(), name, &xs[i * n], n, &want[i], &want_st[i]), QVH_OK);
                qvh_tally_add(&expected, want_st[i], 0);
            }
            std::vector<const double *> cols(n);
            std::vector<ptrdiff_t> steps(n, static_cast<ptrdiff_t>(n * 8));
            for (std::size_t k = 0; k < n; ++k) cols[k] = &xs[k];
            for (const int limit : {0, 1, 2}) {
                qvhost::row_lanes_limit = limit;
                qvh_call *call = nullptr;
                ASSERT_EQ(qvh_call_new(package(), name, &call), QVH_OK);
                std::vector<double> out(rows);
                std::vector<std::int32_t> st(rows, -1);
                qvh_tally t{};
                ASSERT_EQ(qvh_call_rows(call, rows, n, cols.data(), steps.data(), out.data(), 8, st.data(), nullptr, &t), QVH_OK);
                for (std::size_t i = 0; i < rows; ++i) {
                    ASSERT_EQ(bits(out[i]), bits(want[i])) << name << " n " << n << " lanes " << limit << " row " << i;
                    ASSERT_EQ(st[i], want_st[i]) << name << " n " << n << " lanes " << limit << " row " << i;
                }
                EXPECT_EQ(std::memcmp(&t, &expected, sizeof t), 0) << name << " n " << n << " lanes " << limit;
                EXPECT_EQ(bits(qvh_call_result(call)), bits(want[rows - 1])) << name << " n " << n << " lanes " << limit;
                qvh_call_free(call);
            }
        }
    }
    qvhost::row_lanes_limit = old_limit;
}

// A long batch stops between blocks of rows when its interrupt check asks: the rows before are
// written and counted, the rest untouched, and the message names the row it stopped at.
TEST(HostApi, RowsStopWhenInterrupted) {
    const std::vector<double> xs(1u << 20, 0.5);
    for (const std::size_t nargs : {std::size_t{1}, std::size_t{2}}) {
        const char *name = nargs == 1 ? "EXP" : "ATAN2";
        qvh_call *call = nullptr;
        ASSERT_EQ(qvh_call_new(package(), name, &call), QVH_OK);
        int checks = 0;
        qvh_call_set_interrupt(call, [](void *c) { return ++*static_cast<int *>(c) > 1 ? 1 : 0; }, &checks);
        const double *cols[] = {xs.data(), xs.data()};
        const ptrdiff_t steps[] = {8, 0};
        std::vector<double> out(xs.size(), -7.0);
        qvh_tally tally{};
        ASSERT_EQ(qvh_call_rows(call, xs.size(), nargs, cols, steps, out.data(), 8, nullptr, nullptr, &tally), QVH_E_INTERRUPTED)
            << name;
        const std::string message = qvh_errmsg();
        EXPECT_EQ(checks, 2) << name;
        const std::size_t done = tally.rows;
        ASSERT_GT(done, 0u) << name;
        ASSERT_LT(done, xs.size()) << name;
        double want = 0.0;
        ASSERT_EQ(qvh_eval(package(), name, cols[0], nargs, &want, nullptr), QVH_OK);
        EXPECT_EQ(bits(out[done - 1]), bits(want)) << name;
        EXPECT_EQ(out[done], -7.0) << name;
        EXPECT_NE(message.find("interrupted in row " + std::to_string(done + 1) + " of"), std::string::npos) << message;
        qvh_call_free(call);
    }
}

// A call over values read in place gives what a call over copies of them gives, every second
// value of a column, aligned or not, with a NaN, a parameter that is marked invalid, and a rank
// that picks a missing value by its letter (43 .B after 12 '.').
TEST(HostApi, CallOverValuesInPlace) {
    std::vector<double> column;
    for (int i = 0; i < 600; ++i) column.push_back(i % 7 == 0 ? missing('B') : i % 11 == 0 ? std::nan("") : (i * 37) % 101 - 50.5);
    std::vector<char> raw(column.size() * 8 + 1);
    std::memcpy(raw.data() + 1, column.data(), column.size() * 8);
    const std::pair<const char *, double> rows[] = {{"PCTL", 90.0}, {"PCTL", 150.0}, {"ORDINAL", 40.0}};
    for (const auto &[name, p] : rows) {
        qvh_call *over = nullptr, *one = nullptr;
        ASSERT_EQ(qvh_call_new(package(), name, &over), QVH_OK);
        ASSERT_EQ(qvh_call_new(package(), name, &one), QVH_OK);
        qvh_call_add_num(one, p);
        for (std::size_t i = 0; i < column.size(); i += 2) qvh_call_add_num(one, column[i]);
        ASSERT_EQ(qvh_call_invoke(one), QVH_OK);
        for (const char *base : {reinterpret_cast<const char *>(column.data()), static_cast<const char *>(raw.data() + 1)}) {
            double r = 0;
            std::int32_t st = -1;
            std::vector<unsigned char> marked(1 + column.size() / 2, 9);
            ASSERT_EQ(qvh_call_over(over, &p, 1, reinterpret_cast<const double *>(base), column.size() / 2, 16, &r, &st, marked.data()),
                      QVH_OK) << qvh_errmsg();
            EXPECT_EQ(bits(r), bits(qvh_call_result(one))) << p;
            EXPECT_EQ(st, qvh_call_status(one)) << p;
            for (std::size_t k = 0; k < marked.size(); ++k) EXPECT_EQ(marked[k], qvh_call_marked(one, k)) << p << " argument " << k;
        }
        qvh_call_free(over);
        qvh_call_free(one);
    }
}

// What every surface takes from the catalogue instead of writing it again.
TEST(HostApi, NamesUsagesAndMessageText) {
    char buf[64];
    EXPECT_STREQ(qvh_sql_name(qvh_function_find("pctl3")), "qv_pctl3");
    EXPECT_STREQ(qvh_sql_name(qvh_function_find("COALESCEC")), "qv_coalescec");
    EXPECT_STREQ(qvh_sql_name(nullptr), "");
    EXPECT_EQ(qvh_usage(qvh_function_find("MOD"), "qv_mod", buf, sizeof buf), std::strlen("qv_mod(x, y [, fuzz])"));
    EXPECT_STREQ(buf, "qv_mod(x, y [, fuzz])");
    EXPECT_EQ(qvh_package_has(package(), qvh_function_find("ORDINAL2")), 0);
    EXPECT_EQ(qvh_package_has(package(), qvh_function_find("WHICHN")), 1);
    EXPECT_EQ(qvh_package_has(nullptr, qvh_function_find("ABS")), 0);
    const int kinds[] = {QVH_KIND_NUM, QVH_KIND_CHR};
    EXPECT_EQ(qvh_check_args(qvh_function_find("MISSING"), nullptr, 1, kinds + 1), QVH_OK);  // either kind
    EXPECT_EQ(qvh_check_args(qvh_function_find("MOD"), nullptr, 3, nullptr), QVH_OK);
    EXPECT_EQ(qvh_status_is_memory(QVH_STATUS_NO_SCRATCH) + qvh_status_is_memory(QVH_STATUS_NO_MEMORY), 2);
    EXPECT_EQ(qvh_status_is_memory(QVH_STATUS_INVALID_ARG) + qvh_status_is_memory(QVH_STATUS_NOT_A_NUMBER), 0);
    EXPECT_EQ(bits(qvh_dot()), 0xFFFFFE0000000000ull);
    // User text in a message: valid UTF-8 on one line, cut on a character.
    const std::tuple<std::string, std::size_t, const char *> texts[] = {
        {"caf\xC3\xA9", 0, "caf\xC3\xA9"}, {"\xFF\x80" "a\xC0", 0, "\\xFF\\x80a\\xC0"}, {"a\nb\r\t\x01", 0, "a\\nb\\r\\t\\x01"},
        {"caf\xC3\xA9s", 4, "caf..."}, {"abc", 3, "abc"}, {"\xE2\x82", 0, "\\xE2\\x82"}};
    for (const auto &[text, max, expected] : texts) {
        EXPECT_EQ(qvh_escape(text.data(), text.size(), max, buf, sizeof buf), std::strlen(expected)) << expected;
        EXPECT_STREQ(buf, expected);
    }
}

// The package's own names (log2 among them) never reach the program: it keeps the C library's.
TEST(HostApi, ThePackageStaysPrivate) {
    ASSERT_NE(package(), nullptr);
    void *libm = dlopen("libm.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libm, nullptr);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "log2"), dlsym(libm, "log2"));
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "qvewumth"), nullptr);
    EXPECT_NE(qvh_symbol(package(), "zgamma"), nullptr);
    dlclose(libm);
}

}  // namespace

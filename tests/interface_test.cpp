// The package's interface through the loaded library: instance creation and every failure path
// by fault injection, Destroy, the version callbacks, the function table, the message stubs,
// qvextent, the missing-value records, the build record, the dynamic interface (exactly the
// interface names exported, nothing needed at run time beyond libc and libm), and the exported
// helpers and memory and string routines.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <tuple>

#include "qvtest.hpp"
#include "sanitized.hpp"
#include "standin.hpp"

namespace {

using qvhost::Kernel;
using qvhost::MessageService;

constexpr std::int64_t NO_MEMORY_WIDENED = static_cast<std::int64_t>(0xFFFFFFFF803FC002ull);
// The routine the package exports under the name of a prototype in qvfnc.h.
#define EXPORTED(name) qvt::package().fn<decltype(&name)>(#name)

bool all_zero(const void *p, std::size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

TEST(Instance, CreatedWithPoolTableAndJournal) {
    Kernel kernel;
    MessageService messages;
    ExtInstance *inst = EXPORTED(qvewumth)(kernel.host(), messages.host());
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(kernel.pools.size(), 1u);
    qvhost::CountingPool &pool = *kernel.pools[0];
    EXPECT_EQ(kernel.pool_names[0], "qvewumth pool");
    EXPECT_EQ(kernel.pool_locales[0], messages.host());
    // The parameter block is zero but for the word at byte 24, which the extension leaves unset.
    EXPECT_TRUE(all_zero(kernel.pool_parms[0].data(), 24) && all_zero(kernel.pool_parms[0].data() + 32, 56));
    std::vector<std::pair<std::uint64_t, std::uint32_t>> requests;
    for (const auto &r : pool.requests()) requests.emplace_back(r.size, r.flags);
    EXPECT_EQ(requests, (decltype(requests){{128, 0x80000000u}, {6776, 0}}));  // the instance, then the table

    EXPECT_TRUE(inst->pool == pool.host() && inst->kernel == kernel.host() && inst->journalOpen == 0);
    EXPECT_TRUE(all_zero(inst->zero0, 24) && all_zero(inst->zero56, 32) && all_zero(inst->zero112, 8));
    EXPECT_EQ(reinterpret_cast<void *>(inst->destroy), qvt::package().symbol("qvewumthDestroy"));
    EXPECT_EQ(reinterpret_cast<void *>(inst->reqVersion), qvt::package().symbol("qvewumthReqVersion"));
    EXPECT_EQ(reinterpret_cast<void *>(inst->version), qvt::package().symbol("qvewumthVersion"));
    const void *table = qvt::package().symbol("funclist");
    EXPECT_TRUE(inst->funcTable != table && std::memcmp(inst->funcTable, table, 6776) == 0);  // a copy

    ASSERT_EQ(kernel.journals.size(), 1u);
    EXPECT_EQ(inst->journal, kernel.journals[0]->host());
    EXPECT_EQ(kernel.journals[0]->name(), U"qvfncwumth Jnl");
    EXPECT_EQ(kernel.journal_reserved[0], nullptr);
    const unsigned char *jp = kernel.journal_parms[0].data();
    std::uint32_t mode;
    std::memcpy(&mode, jp + 16, 4);
    EXPECT_TRUE(all_zero(jp, 16) && mode == 0x40000000u && all_zero(jp + 20, 36));
    EXPECT_TRUE(messages.calls.empty());

    EXPECT_EQ(inst->destroy(inst), STATUS_OK);
    EXPECT_TRUE(pool.destroys() == 1 && pool.outstanding() == 0u);
    EXPECT_EQ(kernel.journals[0]->events, (std::vector<char>{'d'}));
}

// Each way creation can fail: reported once through the locale when there is one, everything
// released, no journal opened.
TEST(Instance, CreationFailures) {
    const struct {
        const char *what;
        bool fail_pool, no_kernel;
        int refuse_nth;  // allocation request of the new pool to refuse
    } rows[] = {{"pool refused", true, false, 0}, {"no kernel", false, true, 0}, {"instance refused", false, false, 1},
                {"table refused", false, false, 2}};
    for (const auto &row : rows) {
        for (const bool with_locale : {false, true}) {
            SCOPED_TRACE(std::string(row.what) + (with_locale ? ", locale" : ", no locale"));
            Kernel kernel;
            kernel.fail_create_pool = row.fail_pool;
            kernel.pool_refuse_nth = row.refuse_nth;
            MessageService messages;
            EXPECT_EQ(EXPORTED(qvewumth)(row.no_kernel ? nullptr : kernel.host(), with_locale ? messages.host() : nullptr),
                      nullptr);
            EXPECT_EQ(kernel.create_pool_calls, row.no_kernel ? 0 : 1);
            EXPECT_EQ(kernel.open_journal_calls, 0);
            ASSERT_EQ(messages.calls.size(), with_locale ? 1u : 0u);
            if (with_locale) {
                EXPECT_TRUE(messages.calls[0].offset == 56 && messages.calls[0].ap != nullptr);
                EXPECT_EQ(messages.calls[0].fixed, (std::vector<std::int64_t>{4, NO_MEMORY_WIDENED}));
            }
            for (const auto &pool : kernel.pools) {
                EXPECT_TRUE(pool->destroys() == 1 && pool->outstanding() == 0u);
                EXPECT_EQ(static_cast<int>(pool->requests().size()), row.refuse_nth);
            }
        }
    }
    EXPECT_EQ(EXPORTED(qvewumthDestroy)(nullptr), STATUS_OK);
}

// Destroy skips a journal that could not be opened, and closes one only when the host marked it
// open, always before destroying it; the pool goes last. The version callbacks answer alike.
TEST(Instance, DestroyAndVersions) {
    const struct {
        bool refuse_journal;
        std::int64_t open;
        std::vector<char> events;
    } rows[] = {{true, 0, {}}, {false, 0, {'d'}}, {false, 1, {'c', 'd'}}, {false, -5, {'c', 'd'}}};
    for (const auto &row : rows) {
        Kernel kernel;
        kernel.fail_open_journal = row.refuse_journal;
        ExtInstance *inst = EXPORTED(qvewumth)(kernel.host(), nullptr);
        ASSERT_NE(inst, nullptr);
        EXPECT_EQ(inst->journal == nullptr, row.refuse_journal);
        std::int64_t v[6] = {-1, -1, -1, -1, -1, -1};
        EXPECT_EQ(inst->reqVersion(nullptr, v, v + 1, v + 2), STATUS_OK);
        EXPECT_EQ(inst->version(nullptr, v + 3, v + 4, v + 5), STATUS_OK);
        EXPECT_EQ(std::vector<std::int64_t>(v, v + 6), (std::vector<std::int64_t>{4, 1, 1, 4, 0, 0}));
        inst->journalOpen = row.open;
        EXPECT_EQ(inst->destroy(inst), STATUS_OK);
        EXPECT_EQ(kernel.journals.empty() ? std::vector<char>{} : kernel.journals[0]->events, row.events);
        EXPECT_TRUE(kernel.pools[0]->destroys() == 1 && kernel.pools[0]->outstanding() == 0u);
    }
}

// 77 rows in name order: ORDINAL2 (row 47) and the blank end row have no entry point, PCTL and
// PCTL5 share one.
TEST(FunctionTable, RowsAreOrderedAndWellFormed) {
    const auto *table = static_cast<const FuncTableRow *>(qvt::package().symbol("funclist"));
    ASSERT_NE(table, nullptr);
    for (int i = 0; i < QV_TABLE_ROWS; ++i) {
        const FuncTableRow &r = table[i];
        EXPECT_TRUE(r.nameEnd == 0 && all_zero(r.zero40, 32) && all_zero(r.zero80, 8)) << i;
        EXPECT_EQ(r.entry.scalar == nullptr, i == 46 || i == QV_TABLE_ROWS - 1) << "row " << i + 1;
        if (i > 0 && i < QV_TABLE_ROWS - 1) {
            EXPECT_TRUE(std::lexicographical_compare(table[i - 1].name, table[i - 1].name + 9, r.name, r.name + 9)) << i;
        }
    }
    EXPECT_EQ(std::tuple(qvhost::row_name(table[0]), qvhost::row_name(table[46]), qvhost::row_name(table[47]),
                         qvhost::row_name(table[52]), qvhost::row_name(table[75]), qvhost::row_name(table[76])),
              std::tuple("ABS", "ORDINAL2", "PCTL", "PCTL5", "WHICHN", ""));
    EXPECT_EQ(table[47].entry.list, table[52].entry.list);
    EXPECT_EQ(reinterpret_cast<void *>(table[0].entry.scalar), qvt::package().symbol("qvfncabs"));
}

// Each stub calls its operation of the message service with the fixed arguments widened to 64
// bits and a pointer to its own va_list; qvlGetLocale jumps on with the caller's arguments.
TEST(MessageStubs, ForwardFixedArgumentsWidenedAndTheVaList) {
    MessageService m;
    m.varargs_to_read = 2;
    m.answer = -77;
    const std::int64_t big = 0x123456789ABCDEF0;
    EXPECT_EQ(EXPORTED(qvlMessageToBuf)(m.host(), 1, 2, 3, 4, big, std::int64_t{11}, std::int64_t{12}), -77);
    EXPECT_EQ(EXPORTED(qvlMessageToJnl)(m.host(), -3, 5, 6, std::int64_t{21}, std::int64_t{22}), -77);
    EXPECT_EQ(EXPORTED(qvlStatusToBuf)(m.host(), 4, 7, 8, 9, std::int64_t{31}, std::int64_t{32}), -77);
    EXPECT_EQ(EXPORTED(qvlStatusToJnl)(m.host(), 4, STATUS_NO_MEMORY, std::int64_t{41}, std::int64_t{42}), -77);
    m.varargs_to_read = 3;
    EXPECT_EQ(EXPORTED(qvlGetLocale)(m.host(), std::int64_t{-1}, std::int64_t{2}, std::int64_t{0x7FFFFFFFFFFF}), -77);
    using Seen = std::tuple<int, std::vector<std::int64_t>, std::vector<std::int64_t>>;
    std::vector<Seen> seen;
    for (const auto &c : m.calls) {
        seen.emplace_back(c.offset, c.fixed, c.varargs);
        EXPECT_EQ(c.ap != nullptr, c.offset != 96);
    }
    const std::vector<Seen> want = {{32, {1, 2, 3, 4, big}, {11, 12}}, {40, {-3, 5, 6}, {21, 22}},
                                    {48, {4, 7, 8, 9}, {31, 32}}, {56, {4, NO_MEMORY_WIDENED}, {41, 42}},
                                    {96, {}, {-1, 2, 0x7FFFFFFFFFFF}}};
    EXPECT_EQ(seen, want);
}

TEST(Exported, QvextentRecordsTheHandleAndLibVersionIsOne) {
    auto **handle = static_cast<void **>(qvt::package().symbol("Exported_QVHandle"));
    auto *lib_version = static_cast<int *>(qvt::package().symbol("_lib_version"));
    ASSERT_TRUE(handle && lib_version);
    int token;
    EXPECT_EQ(EXPORTED(qvextent)(&token), STATUS_OK);
    EXPECT_EQ(*handle, &token);
    EXPECT_EQ(EXPORTED(qvextent)(nullptr), STATUS_OK);
    EXPECT_EQ(*handle, nullptr);
    EXPECT_EQ(*lib_version, 1);
}

TEST(MissingValues, LookupRecordAndArrayScan) {
    const std::pair<std::int32_t, std::uint64_t> rows[] = {
        {'.', 0xFFFFFE0000000000}, {'?', 0xFFFFFE0000000000}, {'_', 0xFFFFFF0000000000}, {'-', 0xFFFFFF0000000000},
        {'A', 0xFFFFFD0000000000}, {'a', 0xFFFFFD0000000000}, {'B', 0xFFFFFC0000000000}, {'I', 0xFFFFF50000000000},
        {'m', 0xFFFFF10000000000}, {'Z', 0xFFFFE40000000000}, {'z', 0xFFFFE40000000000}, {'@', 0xFFFFFE0000000000},
        {'[', 0xFFFFFE0000000000}, {'{', 0xFFFFFE0000000000}, {'`', 0xFFFFFE0000000000}, {0, 0xFFFFFE0000000000},
        {-1, 0xFFFFFE0000000000},  {'A' + 256, 0xFFFFFE0000000000}, {INT32_MIN, 0xFFFFFE0000000000}};
    for (const auto &[c, bits] : rows) EXPECT_EQ(qvt::bits_of(EXPORTED(pqMissVal)(c)), bits) << "character " << c;

    const auto *rec = static_cast<const unsigned char *>(qvt::package().symbol("pqmissv_struct"));
    const auto *table = static_cast<const double *const *>(qvt::package().symbol("qvmissv_table"));
    ASSERT_TRUE(rec && table);
    EXPECT_TRUE(all_zero(rec, 8) && static_cast<const void *>(*table) == rec + 8);
    for (int i = 0; i < 28; ++i) EXPECT_EQ(qvt::bits_of((*table)[i]), 0xFFFFFF0000000000ull - i * 0x10000000000ull) << i;

    const auto any = EXPORTED(pqMissArray);
    const double odd_missing = qvt::from_bits(0xFFFF000000000000ull);
    const double none[] = {1.0, qvt::from_bits(0xFFF8000000000000ull), -0.0}, last[] = {1.0, 2.0, odd_missing};
    EXPECT_EQ(std::tuple(any(nullptr, 0), any(&odd_missing, 1), any(none, 3), any(last, 3), any(last, 2)),
              std::tuple(0, 1, 0, 1, 0));  // the count bounds the scan
}

// qvvercn1 copies the 208-byte record exactly, between guard bytes that must stay.
const std::string HOTFIX = "KYR_VERSION_HOTFIX_NUMBER=" + std::string(39, ' ');
const std::string DESCRIPTION = "VERCON_IMAGE_DESCRIPTION=" + std::string(40, ' ');

TEST(BuildInfo, CopyOfTheRecord) {
    const auto *record = qvt::package().fn<const BuildInfo *>("qvvercon");
    ASSERT_NE(record, nullptr);
    struct {
        unsigned char before[16];
        BuildInfo info;
        unsigned char after[16];
    } g;
    std::memset(&g, 0xA5, sizeof g);
    EXPORTED(qvvercn1)(&g.info);
    EXPECT_EQ(std::memcmp(&g.info, record, 208), 0);
    EXPECT_EQ(std::count(g.before, g.before + 16, 0xA5) + std::count(g.after, g.after + 16, 0xA5), 32);
    EXPECT_TRUE(all_zero(g.info.zero128, 80));
    const BuildInfo &info = g.info;
    for (const char *s : {info.productVersion, info.track, info.build, info.box}) EXPECT_TRUE(s != nullptr && *s);
    const std::pair<const char *, const char *> fields[] = {
        {info.setting16, ""}, {info.prodName, "qvfnc"}, {info.name, "qvewumth"}, {info.dvd, "qvext"},
        {info.setting64, ""}, {info.version, "version"}, {info.setting80, "::"}, {info.setting88, ""},
        {info.hotfixMarker, HOTFIX.c_str()}, {info.setting104, ""}, {info.descriptionMarker, DESCRIPTION.c_str()}};
    for (const auto &[value, expected] : fields) EXPECT_STREQ(value ? value : "(null)", expected);
    EXPECT_TRUE(info.utime > 1600000000 && info.utime <= static_cast<std::int64_t>(std::time(nullptr)));
}

// Each marker is in the image file as a whole string: 65 characters between zero bytes.
TEST(BuildInfo, MarkersInTheImage) {
    std::ifstream file(qvt::package().path(), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const std::string &marker : {HOTFIX, DESCRIPTION}) EXPECT_NE(image.find('\0' + marker + '\0'), std::string::npos);
}

// ---- the dynamic interface ----------------------------------------------------------------------

const std::set<std::string> INTERFACE = {
    "qvewumth", "qvewumthReqVersion", "qvewumthVersion", "qvewumthDestroy", "qvextent", "Exported_QVHandle",
    "funclist", "_lib_version", "qvlMessageToBuf", "qvlMessageToJnl", "qvlStatusToBuf", "qvlStatusToJnl",
    "qvlGetLocale", "qvvercn1", "qvvercon", "pqMissVal", "pqMissArray", "pqmissv_struct", "qvmissv_table", "pqUnsup",
    "pqStrLen", "pqStrTLen", "pqStrCpy", "pqStrTCpy", "pqStrUp", "pqStrLow", "pqMemNot", "pqMemTNot", "pqMemSet",
    "pqMemTSet", "pqMemCmp", "pqWMemCmp", "pqMemCpy", "pqMemSCpy", "pqMemDup", "pqMemScan", "pqMemNScan",
    "pqMemTNScan", "qvzcftrc", "qvzrftrc", "i32div", "intmdiv", "max", "min", "log2", "zgamma", "zlgamma", "zlgbern",
    "zlgammaMV", "zdigama", "ztigama", "zdigamadiff", "zln1px", "zlnSumOfExp", "qvfncabs", "qvfncacos", "qvfncasin",
    "qvfncatan", "qvfncata2", "qvfncceil", "qvfncceilz", "qvfnccoal", "qvfnccoac", "qvfnccos", "qvfnccosh",
    "qvfnccss", "qvfnccv", "qvfncdgam", "qvfncdiv", "qvfncexp", "qvfncflr", "qvfncflrz", "qvfncfuzz", "qvfncgam",
    "qvfncgcd", "qvfncgeom", "qvfncgeoz", "qvfncharm", "qvfncharz", "qvfncint", "qvfncintz", "qvfnciqr", "qvfnckurt",
    "qvfnclarg", "qvfnclcm", "qvfnclgam", "qvfnclg", "qvfnclg10", "qvfnclg2", "qvfncmad", "qvfncmax", "qvfncmean",
    "qvfncmed", "qvfncmin", "qvfncmis", "qvfncmod", "qvfncmodz", "qvfncn", "qvfncnmis", "qvfncord", "qvfncpctl",
    "qvfncpctl1", "qvfncpctl2", "qvfncpctl3", "qvfncpctl4", "qvfncrang", "qvfncrcp", "qvfncrms", "qvfncrnd",
    "qvfncrnde", "qvfncrndz", "qvfncsign", "qvfncsin", "qvfncsinh", "qvfncskew", "qvfncsmal", "qvfncsqrt", "qvfncstd",
    "qvfncstde", "qvfncsum", "qvfnctan", "qvfnctanh", "qvfnctgam", "qvfnctrnc", "qvfncuss", "qvfncvar", "qvfncwhich",
    "qvfncwhin"};

std::set<std::string> lines_of(const std::string &command) {
    std::set<std::string> out;
    FILE *p = popen(command.c_str(), "r");
    char buf[512];
    while (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr) out.insert(std::string(buf, std::strcspn(buf, "\r\n")));
    if (p != nullptr) pclose(p);
    out.erase("");
    return out;
}

// A sanitized build links the sanitizer runtimes and exports their markers beside the package's
// own names, so the symbol set and the dependencies are checked on plain builds only.
TEST(Exports, ExactlyTheInterfaceNamesAndOnlyLibcAndLibm) {
    if (qvt::SANITIZED) GTEST_SKIP() << "sanitized build";
    const std::string lib = qvt::package().path();
    EXPECT_EQ(lines_of("nm -D --defined-only " + lib + " | awk '{print $3}'"), INTERFACE);
    const std::set<std::string> needed = lines_of("readelf -d " + lib + " | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'");
    const std::set<std::string> allowed = {"libc.so.6", "libm.so.6"};
    EXPECT_TRUE(!needed.empty() && std::includes(allowed.begin(), allowed.end(), needed.begin(), needed.end()));
}

// The arithmetic and byte-image helpers, called directly as other host components do.
TEST(ExportedHelpers, DivisionPairsExtremesAndByteImages) {
    const div_t d = EXPORTED(i32div)(-7, 2);
    const ldiv_t l = EXPORTED(intmdiv)(INT64_MAX, -3);
    const auto max = qvt::package().fn<decltype(&::max)>("max"), min = qvt::package().fn<decltype(&::min)>("min");
    EXPECT_EQ(std::tuple(d.quot, d.rem, l.quot, l.rem, max(-1, -5), min(-1, -5), max(3, 9), min(3, 9)),
              std::tuple(-3, -1, -(INT64_MAX / 3), 1L, -1, -5, 9, 3));
    std::uint8_t bytes[4] = {9, 9, 9, 9};
    double back = qvt::from_bits(0xABABABABABABABABull);  // every byte must be written
    EXPORTED(qvzcftrc)(bytes, 3, 1.0);
    EXPORTED(qvzrftrc)(bytes, 3, &back);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 4), (std::vector<int>{0x00, 0xF0, 0x3F, 9}));
    EXPECT_SAME(back, 1.0);
}

// ---- memory and string routines: every length from 0 to 70, overlapping and apart, against
// plain loops written here ------------------------------------------------------------------

constexpr int MAX_N = 70;

// The routines that write a buffer, at every length and a varying alignment. The copies move n
// bytes from base to targets from just below to just above it, exactly n apart (the edge of the
// wide path) and far away on both sides; the forward copy reads back what it has written, the
// safe one sees the bytes as they were.
TEST(MemStr, WritersMatchPlainLoops) {
    for (int n = 0; n <= MAX_N; ++n) {
        const std::ptrdiff_t base = 160 + n % 16;
        std::vector<unsigned char> before(400);  // every byte value
        for (std::size_t i = 0; i < before.size(); ++i) before[i] = static_cast<unsigned char>(i * 37 + n * 11 + 3);
        std::vector<std::ptrdiff_t> shifts = {-150, 150};
        for (std::ptrdiff_t d = -(n + 2); d <= n + 2; ++d) shifts.push_back(d);
        for (std::ptrdiff_t d : shifts) {
            std::vector<unsigned char> forward = before, safe = before, got = before, got_safe = before;
            for (int i = 0; i < n; ++i) forward[base + d + i] = forward[base + i];
            for (int i = 0; i < n; ++i) safe[base + d + i] = before[base + i];
            EXPORTED(pqMemCpy)(got.data() + base, got.data() + base + d, n);
            EXPORTED(pqMemSCpy)(got_safe.data() + base, got_safe.data() + base + d, n);
            EXPECT_EQ(got, forward) << "pqMemCpy of " << n << " bytes, dst - src " << d;
            EXPECT_EQ(got_safe, safe) << "pqMemSCpy of " << n << " bytes, dst - src " << d;
        }
        std::vector<std::vector<unsigned char>> want(3, before), got(3, before);
        for (std::ptrdiff_t i = base; i < base + n; ++i) {
            const int b = before[i];
            want[0][i] = static_cast<unsigned char>(b >= 'a' && b <= 'z' ? b - 32 : b);
            want[1][i] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
            want[2][i] = 0xA5;
        }
        EXPORTED(pqStrUp)(reinterpret_cast<char *>(got[0].data() + base), n);
        EXPORTED(pqStrLow)(reinterpret_cast<char *>(got[1].data() + base), n);
        EXPORTED(pqMemSet)(got[2].data() + base, 0x7A5, n);  // the low 8 bits only
        EXPECT_EQ(got, want) << "pqStrUp, pqStrLow, pqMemSet on " << n << " bytes";
        std::vector<std::uint32_t> units(MAX_N + 20, 7u), want_units = units;
        std::fill_n(want_units.begin() + n % 16, n, 0xFFFFFF20u);
        EXPORTED(pqMemTSet)(units.data() + n % 16, 0xFFFFFF20u, n);
        EXPECT_EQ(units, want_units) << "pqMemTSet on " << n << " units";
    }
}

// n units of one value, with the unit at position k (k < n) changed; k = n changes none. The
// changed unit 0x80000041 minus a blank wraps to a negative 32-bit difference.
TEST(MemStr, ScansAndComparisonsFindTheFirstDifference) {
    for (int n = 0; n <= MAX_N; ++n) {
        for (int k = 0; k <= n; ++k) {
            SCOPED_TRACE("n " + std::to_string(n) + ", difference at " + std::to_string(k));
            std::vector<unsigned char> same(n + 1, 0x01), bytes = same;
            std::vector<std::uint32_t> blanks(n + 1, 32u), units = blanks;
            if (k < n) bytes[k] = 0x80, units[k] = 0x80000041u;
            const std::uint64_t at = k < n ? static_cast<std::uint64_t>(k) : QV_NOT_FOUND;
            const int sign = k < n ? 1 : 0;
            EXPECT_EQ(EXPORTED(pqMemScan)(bytes.data(), n, 0x180), at);
            EXPECT_EQ(EXPORTED(pqMemNScan)(bytes.data(), n, 0x101), at);
            EXPECT_EQ(EXPORTED(pqMemTNScan)(units.data(), n, 32u), at);
            EXPECT_EQ(EXPORTED(pqMemNot)(0x201, bytes.data(), n), k == n);
            EXPECT_EQ(EXPORTED(pqMemTNot)(32u, units.data(), n), k == n);
            EXPECT_EQ(std::pair(EXPORTED(pqMemCmp)(bytes.data(), same.data(), n), EXPORTED(pqMemCmp)(same.data(), bytes.data(), n)),
                      std::pair(sign, -sign));
            EXPECT_EQ(std::pair(EXPORTED(pqWMemCmp)(units.data(), blanks.data(), n), EXPORTED(pqWMemCmp)(blanks.data(), units.data(), n)),
                      std::pair(-sign, sign));
        }
    }
}

// A copy stops after the terminating zero; a null source leaves an empty string; a null target
// is left alone. pqMemDup asks for exactly the bytes, plain, and gives null when refused.
TEST(MemStr, StringsNullsAndDuplicates) {
    EXPECT_EQ(EXPORTED(pqUnsup)(), STATUS_UNSUPPORTED);
    const std::uint32_t wide[] = {0x100, 0x20, 0x41000000, 0, 5};
    const auto len = EXPORTED(pqStrLen);
    const auto tlen = EXPORTED(pqStrTLen);
    EXPECT_EQ((std::vector<std::uint64_t>{len(nullptr), len(""), len("ab\0cd"), tlen(nullptr), tlen(wide)}),
              (std::vector<std::uint64_t>{0, 0, 2, 0, 3}));
    char dst[5] = "xxxx";
    std::vector<std::uint32_t> wdst(6, 9);
    EXPORTED(pqStrCpy)("ab\0c", dst);
    EXPORTED(pqStrCpy)(nullptr, dst + 1);
    EXPORTED(pqStrCpy)("ab", nullptr);
    EXPORTED(pqStrTCpy)(wide, wdst.data());
    EXPORTED(pqStrTCpy)(nullptr, wdst.data() + 1);
    EXPECT_EQ(std::string(dst, 4), std::string("a\0\0x", 4));
    EXPECT_EQ(wdst, (std::vector<std::uint32_t>{0x100, 0, 0x41000000, 0, 9, 9}));

    qvhost::CountingPool pool;
    const char text[] = "duplicate me";
    void *copy = EXPORTED(pqMemDup)(text, sizeof text, pool.host());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, text, sizeof text), 0);
    pool.host()->free(pool.host(), copy);
    pool.refuse_all(true);
    EXPECT_EQ(EXPORTED(pqMemDup)(text, sizeof text, pool.host()), nullptr);
    EXPECT_EQ(EXPORTED(pqMemDup)(nullptr, 4, pool.host()), nullptr);
    EXPECT_EQ(EXPORTED(pqMemDup)(text, 4, nullptr), nullptr);
    ASSERT_EQ(pool.requests().size(), 2u);
    for (const auto &q : pool.requests()) EXPECT_TRUE(q.size == sizeof text && q.flags == 0);
}

}  // namespace

// The extension frame through the loaded package: instance creation and every failure path by
// fault injection, the version callbacks, Destroy, the message stubs, qvextent and the
// missing-value records.
#include <cstring>
#include <memory>
#include <tuple>

#include "qvtest.hpp"
#include "standin.hpp"

namespace {

using qvhost::CountingPool;
using qvhost::Kernel;
using qvhost::MessageService;

constexpr std::int64_t NO_MEMORY_WIDENED = static_cast<std::int64_t>(0xFFFFFFFF803FC002ull);

auto entry() { return qvt::package().fn<ExtInstance *(*)(HostKernel *, HostLocale *)>("qvewumth"); }

bool all_zero(const unsigned char *p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

TEST(Instance, CreatedWithPoolTableAndJournal) {
    Kernel kernel;
    MessageService messages;
    ExtInstance *inst = entry()(kernel.host(), messages.host());
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(kernel.pools.size(), 1u);
    CountingPool &pool = *kernel.pools[0];
    EXPECT_EQ(kernel.pool_names[0], "qvewumth pool");
    EXPECT_EQ(kernel.pool_locales[0], messages.host());
    // The parameter block is zero but for the two words the extension leaves unset.
    EXPECT_TRUE(all_zero(kernel.pool_parms[0].data(), 24));
    EXPECT_TRUE(all_zero(kernel.pool_parms[0].data() + 32, 56));

    std::vector<std::pair<std::uint64_t, std::uint32_t>> requests;
    for (const auto &r : pool.requests()) requests.emplace_back(r.size, r.flags);
    EXPECT_EQ(requests, (decltype(requests){{128, 0x80000000u}, {6776, 0}}));

    EXPECT_EQ(inst->pool, pool.host());
    EXPECT_EQ(inst->kernel, kernel.host());
    EXPECT_EQ(inst->journalOpen, 0);
    EXPECT_TRUE(all_zero(inst->zero0, sizeof inst->zero0));
    EXPECT_TRUE(all_zero(inst->zero56, sizeof inst->zero56));
    EXPECT_TRUE(all_zero(inst->zero112, sizeof inst->zero112));
    EXPECT_EQ(reinterpret_cast<void *>(inst->destroy), qvt::package().symbol("qvewumthDestroy"));
    EXPECT_EQ(reinterpret_cast<void *>(inst->reqVersion), qvt::package().symbol("qvewumthReqVersion"));
    EXPECT_EQ(reinterpret_cast<void *>(inst->version), qvt::package().symbol("qvewumthVersion"));

    const auto *table = static_cast<const FuncTableRow *>(qvt::package().symbol("funclist"));
    ASSERT_NE(table, nullptr);
    EXPECT_NE(inst->funcTable, table);
    EXPECT_EQ(std::memcmp(inst->funcTable, table, 6776), 0);

    ASSERT_EQ(kernel.journals.size(), 1u);
    EXPECT_EQ(inst->journal, kernel.journals[0]->host());
    EXPECT_EQ(kernel.journals[0]->name(), U"qvfncwumth Jnl");
    EXPECT_EQ(kernel.journal_reserved[0], nullptr);
    const unsigned char *jp = kernel.journal_parms[0].data();
    EXPECT_TRUE(all_zero(jp, 16));
    std::uint32_t mode;
    std::memcpy(&mode, jp + 16, 4);
    EXPECT_EQ(mode, 0x40000000u);
    EXPECT_TRUE(all_zero(jp + 20, 36));
    EXPECT_TRUE(messages.calls.empty());

    EXPECT_EQ(inst->destroy(inst), STATUS_OK);
    EXPECT_EQ(pool.destroys(), 1);
    EXPECT_EQ(pool.outstanding(), 0u);
    EXPECT_EQ(kernel.journals[0]->events, (std::vector<char>{'d'}));
}

// Each way creation can fail: what is reported, what is released, what is never called.
struct FailureRow {
    const char *what;
    bool fail_pool;
    int refuse_nth;       // allocation request of the new pool to refuse
    bool with_locale;
    int reports;          // statusToJnl calls
    int pool_destroys;
};

class CreationFailure : public testing::TestWithParam<FailureRow> {};

TEST_P(CreationFailure, ReportsOnceAndReleasesEverything) {
    const FailureRow &c = GetParam();
    Kernel kernel;
    kernel.fail_create_pool = c.fail_pool;
    kernel.pool_refuse_nth = c.refuse_nth;
    MessageService messages;
    messages.answer = 99;
    EXPECT_EQ(entry()(kernel.host(), c.with_locale ? messages.host() : nullptr), nullptr) << c.what;
    EXPECT_EQ(kernel.create_pool_calls, 1) << c.what;
    EXPECT_EQ(kernel.open_journal_calls, 0) << c.what;
    ASSERT_EQ(static_cast<int>(messages.calls.size()), c.reports) << c.what;
    if (c.reports == 1) {
        EXPECT_EQ(messages.calls[0].offset, 56);
        EXPECT_EQ(messages.calls[0].fixed, (std::vector<std::int64_t>{4, NO_MEMORY_WIDENED}));
        EXPECT_NE(messages.calls[0].ap, nullptr);
    }
    if (!kernel.pools.empty()) {
        EXPECT_EQ(kernel.pools[0]->destroys(), c.pool_destroys) << c.what;
        EXPECT_EQ(kernel.pools[0]->outstanding(), 0u) << c.what;
        EXPECT_EQ(static_cast<int>(kernel.pools[0]->requests().size()), c.refuse_nth) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, CreationFailure,
    testing::Values(FailureRow{"pool refused, locale", true, 0, true, 1, 0},
                    FailureRow{"pool refused, no locale", true, 0, false, 0, 0},
                    FailureRow{"instance refused", false, 1, true, 1, 1},
                    FailureRow{"instance refused, no locale", false, 1, false, 0, 1},
                    FailureRow{"table refused", false, 2, true, 1, 1},
                    FailureRow{"table refused, no locale", false, 2, false, 0, 1}));

// Without a kernel no pool can be made: the entry point fails as for a refused pool, reporting
// through the locale when there is one, and Destroy of no instance releases nothing.
TEST(Instance, NoKernel) {
    for (const bool with_locale : {false, true}) {
        MessageService messages;
        EXPECT_EQ(entry()(nullptr, with_locale ? messages.host() : nullptr), nullptr);
        ASSERT_EQ(messages.calls.size(), with_locale ? 1u : 0u);
        if (with_locale) {
            EXPECT_EQ(messages.calls[0].fixed, (std::vector<std::int64_t>{4, NO_MEMORY_WIDENED}));
        }
    }
    auto destroy = qvt::package().fn<QvStatus (*)(ExtInstance *)>("qvewumthDestroy");
    EXPECT_EQ(destroy(nullptr), STATUS_OK);
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
        ExtInstance *inst = entry()(kernel.host(), nullptr);
        ASSERT_NE(inst, nullptr);
        EXPECT_EQ(inst->journal == nullptr, row.refuse_journal);
        std::int64_t v[6] = {-1, -1, -1, -1, -1, -1};
        EXPECT_EQ(inst->reqVersion(nullptr, v, v + 1, v + 2), STATUS_OK);
        EXPECT_EQ(inst->version(nullptr, v + 3, v + 4, v + 5), STATUS_OK);
        EXPECT_EQ(std::vector<std::int64_t>(v, v + 6), (std::vector<std::int64_t>{4, 1, 1, 4, 0, 0}));
        inst->journalOpen = row.open;
        EXPECT_EQ(inst->destroy(inst), STATUS_OK);
        EXPECT_EQ(kernel.journals.empty() ? std::vector<char>{} : kernel.journals[0]->events, row.events);
        EXPECT_EQ(kernel.pools[0]->destroys(), 1);
        EXPECT_EQ(kernel.pools[0]->outstanding(), 0u);
    }
}

// ---- the function table ---------------------------------------------------------------------

TEST(FunctionTable, RowsAreOrderedAndWellFormed) {
    const auto *table = static_cast<const FuncTableRow *>(qvt::package().symbol("funclist"));
    ASSERT_NE(table, nullptr);
    for (int i = 0; i < QV_TABLE_ROWS; ++i) {
        const FuncTableRow &r = table[i];
        EXPECT_EQ(r.nameEnd, 0u) << i;
        EXPECT_TRUE(all_zero(r.zero40, sizeof r.zero40)) << i;
        EXPECT_TRUE(all_zero(r.zero80, sizeof r.zero80)) << i;
        if (i != 46 && i != QV_TABLE_ROWS - 1) {
            EXPECT_NE(r.entry.scalar, nullptr) << "row " << i + 1 << " has no entry point";
        }
        if (i > 0 && i < QV_TABLE_ROWS - 1) {
            EXPECT_TRUE(std::lexicographical_compare(table[i - 1].name, table[i - 1].name + 9, r.name, r.name + 9))
                << "row " << i + 1 << " is out of order";
        }
    }
    EXPECT_EQ(qvhost::row_name(table[0]), "ABS");
    EXPECT_EQ(qvhost::row_name(table[75]), "WHICHN");
    EXPECT_EQ(qvhost::row_name(table[76]), "");
    EXPECT_EQ(table[76].entry.scalar, nullptr);
    EXPECT_EQ(qvhost::row_name(table[46]), "ORDINAL2");
    EXPECT_EQ(table[46].entry.scalar, nullptr);
    EXPECT_EQ(qvhost::row_name(table[47]), "PCTL");
    EXPECT_EQ(qvhost::row_name(table[52]), "PCTL5");
    EXPECT_EQ(table[47].entry.list, table[52].entry.list);
    EXPECT_EQ(reinterpret_cast<void *>(table[0].entry.scalar), qvt::package().symbol("qvfncabs"));
}

// ---- message stubs -------------------------------------------------------------------------

TEST(MessageStubs, ForwardFixedArgumentsWidenedAndTheVaList) {
    auto to_buf = qvt::package().fn<decltype(&qvlMessageToBuf)>("qvlMessageToBuf");
    auto msg_jnl = qvt::package().fn<decltype(&qvlMessageToJnl)>("qvlMessageToJnl");
    auto st_buf = qvt::package().fn<decltype(&qvlStatusToBuf)>("qvlStatusToBuf");
    auto st_jnl = qvt::package().fn<decltype(&qvlStatusToJnl)>("qvlStatusToJnl");
    ASSERT_TRUE(to_buf && msg_jnl && st_buf && st_jnl);
    MessageService m;
    m.varargs_to_read = 2;
    m.answer = -77;
    const std::int64_t big = 0x123456789ABCDEF0;
    EXPECT_EQ(to_buf(m.host(), 1, 2, 3, 4, big, std::int64_t{11}, std::int64_t{12}), -77);
    EXPECT_EQ(msg_jnl(m.host(), -3, 5, 6, std::int64_t{21}, std::int64_t{22}), -77);
    EXPECT_EQ(st_buf(m.host(), 4, 7, 8, 9, std::int64_t{31}, std::int64_t{32}), -77);
    EXPECT_EQ(st_jnl(m.host(), 4, STATUS_NO_MEMORY, std::int64_t{41}, std::int64_t{42}), -77);
    using Seen = std::tuple<int, std::vector<std::int64_t>, std::vector<std::int64_t>, bool>;
    std::vector<Seen> seen;
    for (const auto &c : m.calls) seen.emplace_back(c.offset, c.fixed, c.varargs, c.ap != nullptr);
    const std::vector<Seen> want = {{32, {1, 2, 3, 4, big}, {11, 12}, true},
                                    {40, {-3, 5, 6}, {21, 22}, true},
                                    {48, {4, 7, 8, 9}, {31, 32}, true},
                                    {56, {4, NO_MEMORY_WIDENED}, {41, 42}, true}};
    EXPECT_EQ(seen, want);
}

TEST(MessageStubs, GetLocaleJumpsWithTheCallersArguments) {
    auto get = qvt::package().fn<std::int64_t (*)(HostLocale *, ...)>("qvlGetLocale");
    ASSERT_NE(get, nullptr);
    MessageService m;
    m.varargs_to_read = 3;
    m.answer = 0x5151;
    EXPECT_EQ(get(m.host(), std::int64_t{-1}, std::int64_t{2}, std::int64_t{0x7FFFFFFFFFFF}), 0x5151);
    ASSERT_EQ(m.calls.size(), 1u);
    EXPECT_EQ(m.calls[0].offset, 96);
    EXPECT_EQ(m.calls[0].varargs, (std::vector<std::int64_t>{-1, 2, 0x7FFFFFFFFFFF}));
}

TEST(Exported, QvextentRecordsTheHandleAndLibVersionIsOne) {
    auto extent = qvt::package().fn<QvStatus (*)(void *)>("qvextent");
    auto **handle = static_cast<void **>(qvt::package().symbol("Exported_QVHandle"));
    auto *lib_version = static_cast<int *>(qvt::package().symbol("_lib_version"));
    ASSERT_TRUE(extent && handle && lib_version);
    int token;
    EXPECT_EQ(extent(&token), STATUS_OK);
    EXPECT_EQ(*handle, &token);
    EXPECT_EQ(extent(nullptr), STATUS_OK);
    EXPECT_EQ(*handle, nullptr);
    EXPECT_EQ(*lib_version, 1);
}

// ---- missing values ----------------------------------------------------------------------

TEST(MissingValues, LookupByCharacter) {
    auto val = qvt::package().fn<double (*)(std::int32_t)>("pqMissVal");
    ASSERT_NE(val, nullptr);
    const struct {
        std::int32_t c;
        std::uint64_t bits;
    } rows[] = {{'.', 0xFFFFFE0000000000}, {'?', 0xFFFFFE0000000000}, {'_', 0xFFFFFF0000000000},
                {'-', 0xFFFFFF0000000000}, {'A', 0xFFFFFD0000000000}, {'a', 0xFFFFFD0000000000},
                {'B', 0xFFFFFC0000000000}, {'I', 0xFFFFF50000000000}, {'m', 0xFFFFF10000000000},
                {'Z', 0xFFFFE40000000000}, {'z', 0xFFFFE40000000000}, {'@', 0xFFFFFE0000000000},
                {'[', 0xFFFFFE0000000000}, {'{', 0xFFFFFE0000000000}, {'`', 0xFFFFFE0000000000},
                {0, 0xFFFFFE0000000000},   {-1, 0xFFFFFE0000000000}, {'A' + 256, 0xFFFFFE0000000000},
                {INT32_MIN, 0xFFFFFE0000000000}};
    for (const auto &r : rows) EXPECT_EQ(qvt::bits_of(val(r.c)), r.bits) << "character " << r.c;
}

TEST(MissingValues, RecordAndTable) {
    const auto *rec = static_cast<const unsigned char *>(qvt::package().symbol("pqmissv_struct"));
    const auto *table = static_cast<const double *const *>(qvt::package().symbol("qvmissv_table"));
    ASSERT_TRUE(rec && table);
    EXPECT_TRUE(all_zero(rec, 8));
    EXPECT_EQ(static_cast<const void *>(*table), rec + 8);
    for (int i = 0; i < 28; ++i) {
        std::uint64_t b;
        std::memcpy(&b, rec + 8 + 8 * i, 8);
        EXPECT_EQ(b, 0xFFFFFF0000000000ull - static_cast<std::uint64_t>(i) * 0x10000000000ull) << i;
    }
}

TEST(MissingValues, ArrayScan) {
    auto any = qvt::package().fn<std::int32_t (*)(const double *, std::uint64_t)>("pqMissArray");
    ASSERT_NE(any, nullptr);
    const double nan_neg = qvt::from_bits(0xFFF8000000000000ull);
    const double odd_missing = qvt::from_bits(0xFFFF000000000000ull);
    const double none[] = {1.0, nan_neg, -0.0};
    const double last[] = {1.0, 2.0, odd_missing};
    EXPECT_EQ(any(nullptr, 0), 0);
    EXPECT_EQ(any(&odd_missing, 1), 1);
    EXPECT_EQ(any(none, 3), 0);
    EXPECT_EQ(any(last, 3), 1);
    EXPECT_EQ(any(last, 2), 0);  // the count bounds the scan
}

}  // namespace

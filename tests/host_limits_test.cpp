// Ten million values through the host library: every function that takes a list of any length,
// as one call (qvh_call) and as an aggregate (qvh_agg), works and stays within a memory bound
// proportional to the values; what is beyond a limit is refused with a one-line message naming
// it. Sanitizers change both time and memory, so their builds run a tenth of the values and
// leave the memory bound to the plain build.
//
// The full count goes through one function of each kind: each way a statistic folds its rows
// and merges its states, kept values, character values, the order statistics with and without a
// leading parameter, each family of the catalogue. The functions of a kind hold and hand over
// their values with the same code (the host's list, the aggregate's state and its memory) and
// ask for scratch alike, so where one stays in its bound at ten million values the others do
// too; they take a tenth of the values, a list still far past the blocks the host advises as
// huge pages (4 MiB), which shows each works over a long list.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "qvhost.h"
#include "host_package.hpp"
#include "sanitized.hpp"

namespace {

using qvt::SANITIZED;

constexpr std::size_t VALUES = SANITIZED ? 1'000'000 : 10'000'000;
// The host's argument list takes 24 bytes a value, an aggregate 8 to keep it and 16 for the list
// it calls with; the function's scratch takes at most 16 more.
constexpr double BYTES_PER_VALUE = 64.0;
constexpr double BYTES_PER_CHAR_VALUE = 256.0;  // a character value also has its own record and text
constexpr double SLACK_BYTES = 32.0 * 1024 * 1024;

qvh_package *package() { return qvt::host_package(); }

// Kibibytes of a "Vm...:" line of /proc/self/status.
long status_kb(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
    return -1;
}

// Measures how far the resident memory peaks above where it stands now (the peak is reset
// through /proc/self/clear_refs); unknown (-1) where the system does not allow that.
class Peak {
public:
    Peak() {
        malloc_trim(0);  // memory freed by an earlier test goes back, so that it shows when used again
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";
        reset.flush();
        ok_ = static_cast<bool>(reset);
        base_ = status_kb("VmRSS:");
    }
    double growth_bytes() const { return ok_ ? (status_kb("VmHWM:") - base_) * 1024.0 : -1; }

private:
    bool ok_ = false;
    long base_ = 0;
};

// Ten million values with a missing value every 97th and a run of equal values every so often.
const std::vector<double> &data() {
    static const std::vector<double> v = [] {
        std::vector<double> out(VALUES);
        double missing = 0;
        qvh_missing('.', &missing);
        std::uint64_t s = 12345;
        for (std::size_t i = 0; i < VALUES; ++i) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            out[i] = i % 97 == 0 ? missing : (i / 1000) % 7 == 0 ? 42.0 : static_cast<double>(s >> 40) / 1024.0;
        }
        return out;
    }();
    return v;
}

void expect_proportional(const Peak &peak, double per_value, std::size_t n, const char *name, const char *how) {
    if (SANITIZED) return;
    const double grew = peak.growth_bytes();
    if (grew < 0) GTEST_SKIP() << "the peak resident memory cannot be reset here";
    std::printf("%s %s: %zu values, peak memory +%.0f MiB (%.1f bytes a value)\n", name, how, n, grew / 1048576,
                grew / static_cast<double>(n));
    EXPECT_LE(grew, per_value * static_cast<double>(n) + SLACK_BYTES)
        << name << " " << how << ": the memory grew by " << grew / 1048576 << " MiB for " << n << " values";
}

// A function of the catalogue and the number of values it takes.
struct List {
    std::size_t function;
    std::size_t values;
};

class EveryList : public ::testing::TestWithParam<List> {};

TEST_P(EveryList, TenMillionValuesInOneCall) {
    const qvh_info *f = qvh_function_at(GetParam().function);
    const std::size_t n = GetParam().values;
    data();
    Peak peak;
    qvh_call *call = nullptr;
    ASSERT_EQ(qvh_call_new(package(), f->name, &call), QVH_OK) << qvh_errmsg();
    if (f->rest_kind == QVH_KIND_CHR) {
        for (std::size_t i = 0; i < n; ++i) {
            const char *text = i % 5 == 0 ? " " : i % 3 == 0 ? "ab" : "x";
            ASSERT_EQ(qvh_call_add_str(call, text, std::char_traits<char>::length(text)), QVH_OK) << qvh_errmsg();
        }
    } else {
        if (f->leading_param) {
            ASSERT_EQ(qvh_call_add_num(call, 25), QVH_OK);
        }
        ASSERT_EQ(qvh_call_add_nums(call, data().data(), n), QVH_OK) << qvh_errmsg();
    }
    ASSERT_EQ(qvh_call_invoke(call), QVH_OK) << f->name << ": " << qvh_errmsg();
    EXPECT_NE(qvh_call_status(call), QVH_STATUS_NO_SCRATCH) << f->name;
    qvh_call_free(call);
    expect_proportional(peak, f->rest_kind == QVH_KIND_CHR ? BYTES_PER_CHAR_VALUE : BYTES_PER_VALUE, n, f->name, "in one call");
}

TEST_P(EveryList, TenMillionValuesInAnAggregate) {
    const qvh_info *f = qvh_function_at(GetParam().function);
    const std::size_t n = GetParam().values;
    if (f->aggregate == QVH_AGG_NONE) GTEST_SKIP() << f->name << " is no statistic over rows";
    data();
    Peak peak;
    qvh_agg *agg = nullptr;
    ASSERT_EQ(qvh_agg_new(package(), f->name, 0, &agg), QVH_OK) << qvh_errmsg();
    if (f->leading_param) {
        ASSERT_EQ(qvh_agg_param(agg, 25), QVH_OK);
    }
    ASSERT_EQ(qvh_agg_add_n(agg, data().data(), n), QVH_OK) << qvh_errmsg();
    double r = 0;
    std::int32_t status = -1;
    ASSERT_EQ(qvh_agg_result(agg, &r, &status), QVH_OK) << f->name << ": " << qvh_errmsg();
    EXPECT_NE(status, QVH_STATUS_NO_SCRATCH) << f->name;
    EXPECT_EQ(qvh_agg_rows(agg), n);
    qvh_agg_free(agg);
    expect_proportional(peak, BYTES_PER_VALUE, n, f->name, "as an aggregate");
}

// Every function of a list of any length that the package provides: the first of each kind with
// all the values, the others with a tenth of them.
std::vector<List> list_functions() {
    std::vector<List> out;
    std::set<std::tuple<int, int, int, int, std::string>> kinds;
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        qvh_call *call = nullptr;
        if (f->max_args != QVH_ANY_COUNT || qvh_call_new(package(), f->name, &call) != QVH_OK) continue;
        qvh_call_free(call);
        const bool first = kinds.insert({f->fold, f->merge, f->rest_kind, f->leading_param, f->family}).second;
        out.push_back({i, first ? VALUES : VALUES / 10});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Host, EveryList, ::testing::ValuesIn(list_functions()),
                         [](const auto &p) { return std::string(qvh_function_at(p.param.function)->name); });

// Past a limit: a one-line message that names it, and the call unchanged.
TEST(Limits, RefusedWithTheLimitNamed) {
    qvh_call *call = nullptr;
    ASSERT_EQ(qvh_call_new(package(), "COALESCEC", &call), QVH_OK);
    const std::string long_text(65536, 'x');
    EXPECT_EQ(qvh_call_add_str(call, long_text.data(), long_text.size()), QVH_E_LIMIT);
    const std::string message = qvh_errmsg();
    EXPECT_NE(message.find("65535"), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_EQ(qvh_call_count(call), 0u);
    EXPECT_EQ(qvh_call_add_str(call, long_text.data(), 65535), QVH_OK) << qvh_errmsg();
    qvh_call_free(call);
}

}  // namespace

// Test support: calls table functions the way the host does (loaded package, row by name, real
// FuncArgList) and checks on every call what must hold for every function: the result was
// written, the status is one the catalogue lists for the function and marks appear only where
// it says the function may mark, the argument values and every descriptor bit but
// FUNCARG_INVALID are unchanged, and every scratch block went back to the pool.
//
// Cases are rows of text, "NAME args = result [status] [@bytes]", checked by check_row.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "arglist.hpp"
#include "catalogue.hpp"
#include "loader.hpp"
#include "qv/values.hpp"

namespace qvt {

using qv::bits_of;
using qv::from_bits;

inline qvhost::Package &package() {
    static qvhost::Package p;
    return p;
}

// The missing value a character selects: '.', '_', 'A' to 'Z'.
constexpr double miss(char c) {
    if (c == '_') return qv::missing_value(0);
    if (c >= 'A' && c <= 'Z') return qv::missing_value(2 + (c - 'A'));
    return qv::missing_value(1);
}
constexpr double DOT = qv::MISSING_DOT;

// "0x3FF0000000000000 (1)": a bit pattern with the value it reads as.
inline std::string show(double x) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "0x%016llX (%.17g)", static_cast<unsigned long long>(bits_of(x)), x);
    return buf;
}
#define EXPECT_SAME(actual, expected) EXPECT_EQ(::qvt::show(actual), ::qvt::show(expected))

struct Arg {
    Arg(double v) : numeric(true), x(v) {}
    Arg(const char32_t *t) : numeric(false), s(t) {}
    bool numeric;
    double x = 0.0;
    std::u32string s;
};

inline std::vector<Arg> nums(const std::vector<double> &values) { return {values.begin(), values.end()}; }

struct Result {
    QvStatus status = 0;
    double value = 0.0;
    std::u32string text;      // COALESCEC's result
    std::vector<int> marked;  // 1-based arguments with FUNCARG_INVALID set
};

constexpr std::uint64_t UNWRITTEN = 0x7FF4DEADBEEF0001ull;

// Calls a function returning a double, in the form its row has. Pass a pool to inspect or
// refuse scratch memory; otherwise a fresh counting pool serves the call.
inline Result call(std::string_view name, const std::vector<Arg> &args, qvhost::CountingPool *pool = nullptr) {
    Result r;
    const FuncTableRow *fr = package().find(name);
    const qvh_info *info = qvhost::find_function(name);
    if (fr == nullptr || fr->entry.scalar == nullptr || info == nullptr || info->form == QVH_FORM_CHAR_LIST) {
        ADD_FAILURE() << name << " is no function of the package returning a number";
        return r;
    }
    qvhost::CountingPool own;
    qvhost::CountingPool &p = pool ? *pool : own;
    qvhost::ArgList list(p.host());
    for (const Arg &a : args) a.numeric ? list.num(a.x) : list.chr(a.s);
    std::vector<std::uint64_t> before;
    for (std::size_t i = 0; i < args.size(); ++i) before.push_back(list.flags(i));
    double out = from_bits(UNWRITTEN);
    if (info->form == QVH_FORM_SCALAR) {
        EXPECT_EQ(args.size(), 1u) << name << " takes one number";
        r.status = fr->entry.scalar(&out, args.at(0).x);
    } else {
        r.status = fr->entry.list(list.get(), &out);
    }
    EXPECT_NE(bits_of(out), UNWRITTEN) << name << " wrote no result";
    r.value = out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const CharValue *cv = args[i].numeric ? nullptr : &list.char_value(i);
        EXPECT_TRUE(cv ? std::u32string(reinterpret_cast<const char32_t *>(cv->chars), cv->length) == args[i].s
                       : bits_of(list.value(i)) == bits_of(args[i].x)) << name << " changed argument " << i + 1;
        EXPECT_EQ(list.flags(i) & ~FUNCARG_INVALID, before[i] & ~FUNCARG_INVALID)
            << name << " changed descriptor bits of argument " << i + 1;
        if (list.marked(i)) r.marked.push_back(static_cast<int>(i + 1));
    }
    EXPECT_EQ(p.outstanding(), 0u) << name << " kept a scratch block";
    // What the catalogue promises about every call of the function.
    const unsigned may = r.status == STATUS_OK           ? unsigned{QVH_MAY_OK}
                       : r.status == STATUS_MISSING_ARG  ? unsigned{QVH_MAY_MISSING_ARG}
                       : r.status == STATUS_INVALID_ARG  ? unsigned{QVH_MAY_INVALID_ARG}
                       : r.status == STATUS_NO_SCRATCH   ? unsigned{QVH_MAY_NO_SCRATCH} : 0u;
    EXPECT_NE(info->statuses & may, 0u) << name << " gave status " << std::hex << r.status;
    EXPECT_TRUE(info->marks != 0 || r.marked.empty()) << name << " marked an argument";
    return r;
}

// COALESCEC into a result of the given capacity; the guard characters past it must stay.
inline Result callc(const std::vector<Arg> &args, std::uint16_t capacity) {
    Result r;
    qvhost::CountingPool pool;
    qvhost::ArgList list(pool.host());
    for (const Arg &a : args) list.chr(a.s);
    std::u32string buffer(capacity + 4u, U'#');
    CharValue out{capacity, 0xBEEF, {}, reinterpret_cast<std::uint32_t *>(buffer.data())};
    r.status = package().find("COALESCEC")->entry.charList(list.get(), &out);
    EXPECT_TRUE(out.capacity == capacity && reinterpret_cast<char32_t *>(out.chars) == buffer.data());
    EXPECT_LE(out.length, capacity);
    EXPECT_EQ(buffer.substr(capacity), U"####") << "COALESCEC wrote past the capacity";
    r.text = buffer.substr(0, std::min<std::size_t>(out.length, capacity));
    return r;
}

// Appends what a token stands for: a number (decimal, hexadecimal, inf, nan), each trailing '>'
// or '<' one double up or down from it; a missing value (".", "._", ".A"); a bit pattern
// ("#FFFF000000000000"); n copies of a value ("257*.", "1000*1.5"); a run of integers ("1..250").
inline void append(const std::string &t, std::vector<double> &v) {
    const std::size_t run = t.find(".."), copies = t.find('*');
    if (copies != std::string::npos) {
        std::vector<double> one;
        append(t.substr(copies + 1), one);
        return v.resize(v.size() + std::stoul(t), one.at(0));
    }
    if (t[0] == '.') return v.push_back(miss(t.size() > 1 ? t[1] : '.'));
    if (t[0] == '#') return v.push_back(from_bits(std::stoull(t.substr(1), nullptr, 16)));
    if (run != std::string::npos) {
        for (int i = std::stoi(t); i <= std::stoi(t.substr(run + 2)); ++i) v.push_back(i);
        return;
    }
    char *end = nullptr;
    double x = std::strtod(t.c_str(), &end);
    for (; *end == '>' || *end == '<'; ++end) x = std::nextafter(x, *end == '>' ? INFINITY : -INFINITY);
    v.push_back(x);
}

inline double value(const std::string &token) {
    std::vector<double> v;
    append(token, v);
    return v.at(0);
}

// "NAME args = result [status] [@bytes]". The result is compared bit for bit, or within n units
// in the last place when written "value~n"; "*" takes any value that is not missing. Status:
// none is ok, "?" a missing argument, "!" an invalid one, "!2" or "!1,3" invalid with those
// arguments marked. "@bytes": the call asks the
// pool for exactly one plain block of that size, and fails with `.` and no scratch memory when
// it is refused; without it, the call asks for nothing.
inline void check_row(const std::string &text) {
    SCOPED_TRACE(text);
    std::istringstream in(text);
    std::string name, t, want, st = "ok", at = "@0";
    std::vector<double> args, expected;
    for (in >> name; in >> t && t != "=";) append(t, args);
    in >> want;
    for (std::string tok; in >> tok;) (tok[0] == '@' ? at : st) = tok;
    const std::size_t tilde = want.find('~');
    append(want == "*" ? "0" : want.substr(0, tilde), expected);
    std::vector<int> marks;
    for (std::size_t i = 1; st[0] == '!' && i < st.size(); i += 2) marks.push_back(st[i] - '0');
    qvhost::CountingPool pool;
    const Result r = call(name, nums(args), &pool);
    if (want == "*") {
        EXPECT_FALSE(qv::is_missing(r.value)) << show(r.value);
    } else if (tilde == std::string::npos) {
        EXPECT_SAME(r.value, expected[0]);
    } else {
        const double ulp = std::nextafter(std::fabs(expected[0]), INFINITY) - std::fabs(expected[0]);
        EXPECT_NEAR(r.value, expected[0], std::stod(want.substr(tilde + 1)) * ulp);
    }
    EXPECT_EQ(r.status, st[0] == '?' ? STATUS_MISSING_ARG : st[0] == '!' ? STATUS_INVALID_ARG : STATUS_OK);
    EXPECT_EQ(r.marked, marks);
    const std::uint64_t block = std::stoull(at.substr(1));
    ASSERT_EQ(pool.requests().size(), block ? 1u : 0u);
    if (block == 0) return;
    EXPECT_TRUE(pool.requests()[0].size == block && pool.requests()[0].flags == 0);
    pool.refuse_all(true);
    const Result refused = call(name, nums(args), &pool);
    EXPECT_EQ(refused.status, STATUS_NO_SCRATCH);
    EXPECT_SAME(refused.value, DOT);
}

// One test per row: INSTANTIATE_TEST_SUITE_P(Family, Rows, testing::Values("...", ...)).
class Rows : public testing::TestWithParam<const char *> {};
TEST_P(Rows, ResultStatusMarksAndScratch) { check_row(GetParam()); }
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Rows);  // programs without rows include this too

}  // namespace qvt

using qvt::Rows;

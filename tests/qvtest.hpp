// Test support: calls table functions the way the host does (loaded package, row by name, real
// FuncArgList) and checks on every call what must hold for every function: the result was
// written, the argument values and every descriptor bit but FUNCARG_INVALID are unchanged, no
// mark was cleared, and every scratch block went back to the pool.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arglist.hpp"
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
    Arg(int v) : numeric(true), x(v) {}
    Arg(const char32_t *t) : numeric(false), s(t) {}
    Arg(std::u32string t) : numeric(false), s(std::move(t)) {}
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

inline const FuncTableRow &row(std::string_view name) {
    const FuncTableRow *r = package().find(name);
    if (r == nullptr || r->entry.scalar == nullptr) {
        ADD_FAILURE() << name << " has no entry point";
        static const FuncTableRow none{};
        return none;
    }
    return *r;
}

inline Result call1(std::string_view name, double x) {
    Result r;
    const FuncTableRow &fr = row(name);
    if (fr.entry.scalar == nullptr) return r;
    double out = from_bits(UNWRITTEN);
    r.status = fr.entry.scalar(&out, x);
    EXPECT_NE(bits_of(out), UNWRITTEN) << name << " wrote no result";
    r.value = out;
    return r;
}

namespace detail {

inline void fill(qvhost::ArgList &list, const std::vector<Arg> &args) {
    for (const Arg &a : args) {
        if (a.numeric) list.num(a.x);
        else list.chr(a.s);
    }
}

// Compares everything the call must not have changed and collects the marks.
inline void check_after(std::string_view name, qvhost::ArgList &list, const std::vector<Arg> &args,
                        const std::vector<std::uint64_t> &flags_before, Result &r) {
    FuncArgList *raw = list.get();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].numeric) {
            EXPECT_EQ(bits_of(list.value(i)), bits_of(args[i].x)) << name << " changed argument " << i + 1;
        } else {
            const CharValue &cv = list.char_value(i);
            EXPECT_EQ(std::u32string(reinterpret_cast<const char32_t *>(cv.chars), cv.length), args[i].s)
                << name << " changed argument " << i + 1;
        }
        const std::uint64_t after = raw->args[i].flags;
        EXPECT_EQ(after & ~FUNCARG_INVALID, flags_before[i] & ~FUNCARG_INVALID)
            << name << " changed descriptor bits of argument " << i + 1;
        if (after & FUNCARG_INVALID) r.marked.push_back(static_cast<int>(i + 1));
    }
}

}  // namespace detail

// A list built for one call, with the descriptors as they were before it.
struct Prepared {
    explicit Prepared(qvhost::CountingPool &pool, const std::vector<Arg> &args) : list(pool.host()) {
        detail::fill(list, args);
        for (std::size_t i = 0; i < args.size(); ++i) before.push_back(list.get()->args[i].flags);
    }
    qvhost::ArgList list;
    std::vector<std::uint64_t> before;
};

// Calls a list-form function returning a double. Pass a pool to inspect or refuse scratch
// memory; otherwise a fresh counting pool serves the call.
inline Result call(std::string_view name, const std::vector<Arg> &args, qvhost::CountingPool *pool = nullptr) {
    Result r;
    const FuncTableRow &fr = row(name);
    if (fr.entry.list == nullptr) return r;
    qvhost::CountingPool own;
    qvhost::CountingPool &p = pool ? *pool : own;
    Prepared prep(p, args);
    double out = from_bits(UNWRITTEN);
    r.status = fr.entry.list(prep.list.get(), &out);
    EXPECT_NE(bits_of(out), UNWRITTEN) << name << " wrote no result";
    r.value = out;
    detail::check_after(name, prep.list, args, prep.before, r);
    EXPECT_EQ(p.outstanding(), 0u) << name << " kept a scratch block";
    return r;
}

// Calls COALESCEC-style functions whose result is a CharValue of the given capacity; the
// guard characters past the capacity must stay as they are.
inline Result callc(std::string_view name, const std::vector<Arg> &args, std::uint16_t capacity) {
    Result r;
    const FuncTableRow &fr = row(name);
    if (fr.entry.charList == nullptr) return r;
    qvhost::CountingPool pool;
    Prepared prep(pool, args);
    std::u32string buffer(capacity + 4u, U'#');
    CharValue out{};
    out.capacity = capacity;
    out.length = 0xBEEF;
    out.chars = reinterpret_cast<std::uint32_t *>(buffer.data());
    r.status = fr.entry.charList(prep.list.get(), &out);
    EXPECT_EQ(out.capacity, capacity) << name << " changed the result capacity";
    EXPECT_EQ(reinterpret_cast<char32_t *>(out.chars), buffer.data()) << name << " moved the result buffer";
    EXPECT_LE(out.length, capacity) << name << " wrote past the capacity";
    EXPECT_EQ(buffer.substr(capacity), U"####") << name << " wrote past the capacity";
    r.text = buffer.substr(0, std::min<std::size_t>(out.length, capacity));
    detail::check_after(name, prep.list, args, prep.before, r);
    return r;
}

}  // namespace qvt

// Test support: calls table functions the way the host does (loaded package, row by name, real
// FuncArgList) and checks on every call what must hold for every function: the result was
// written, the status is one the catalogue lists for the function and marks appear only where
// it says the function may mark, the argument values and every descriptor bit but
// FUNCARG_INVALID are unchanged, and every scratch block went back to the pool.
//
// Cases are rows of text, "NAME args = result [status] [@bytes]", checked by check_row.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arglist.hpp"
#include "catalogue.hpp"
#include "loader.hpp"
#include "qv/values.hpp"

// The definitions are in qvtest.cpp, compiled once for every test program: instrumented, they
// would cost each including file several seconds of compile time.
namespace qvt {

using qv::bits_of;
using qv::from_bits;

// The package every row test calls, loaded once per program.
qvhost::Package &package();

// The missing value a character selects: '.', '_', 'A' to 'Z'.
constexpr double miss(char c) {
    if (c == '_') return qv::missing_value(0);
    if (c >= 'A' && c <= 'Z') return qv::missing_value(2 + (c - 'A'));
    return qv::missing_value(1);
}
constexpr double DOT = qv::MISSING_DOT;

// "0x3FF0000000000000 (1)": a bit pattern with the value it reads as.
std::string show(double x);
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
Result call(std::string_view name, const std::vector<Arg> &args, qvhost::CountingPool *pool = nullptr);

// COALESCEC into a result of the given capacity; the guard characters past it must stay.
Result callc(const std::vector<Arg> &args, std::uint16_t capacity);

// Appends what a token stands for: a number (decimal, hexadecimal, inf, nan), each trailing '>'
// or '<' one double up or down from it; a missing value (".", "._", ".A"); a bit pattern
// ("#FFFF000000000000"); n copies of a value ("257*.", "1000*1.5"); a run of integers ("1..250").
void append(const std::string &t, std::vector<double> &v);

double value(const std::string &token);

// "NAME args = result [status] [@bytes]". The result is compared bit for bit, or within n units
// in the last place when written "value~n"; "*" takes any value that is not missing. Status:
// none is ok, "?" a missing argument, "!" an invalid one, "!2" or "!1,3" invalid with those
// arguments marked. "@bytes": the call asks the
// pool for exactly one plain block of that size, and fails with `.` and no scratch memory when
// it is refused; without it, the call asks for nothing.
void check_row(const std::string &text);

// One test per row: INSTANTIATE_TEST_SUITE_P(Family, Rows, testing::Values("...", ...)).
class Rows : public testing::TestWithParam<const char *> {};

}  // namespace qvt

using qvt::Rows;

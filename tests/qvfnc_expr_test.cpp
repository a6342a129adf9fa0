// The qvfnc expression language: parsing, reading numbers and missing values, checking calls
// before they are made, and the text of results and errors.
#include <gtest/gtest.h>

#include <random>

#include "qvfnc_fakes.hpp"

namespace {

using qv::bits_of;

// A parsed expression written back in one canonical form: calls upper case, $ before names.
std::string render(const qvhost::Node &n) {
    switch (n.type) {
        case qvhost::Node::Type::Number: return qvhost::format_number(n.num);
        case qvhost::Node::Type::Text: return qvhost::format_text(n.text);
        case qvhost::Node::Type::Name: return "$" + n.name;
        case qvhost::Node::Type::Call: break;
    }
    std::string s = n.name + "(";
    for (std::size_t i = 0; i < n.args.size(); ++i) s += (i ? "," : "") + render(*n.args[i]);
    return s + ")";
}

struct TextRow {
    const char *text;
    const char *expected;  // the canonical form or result line, or the error message
    bool no_columns = false;  // line mode: no table, so no names
};

class Parse : public testing::TestWithParam<TextRow> {};

TEST_P(Parse, CanonicalFormOrError) {
    const auto r = qvhost::parse_expression(GetParam().text);
    EXPECT_EQ(r.error ? r.error->message : render(*r.node), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Parse,
    testing::Values(
        TextRow{"round(Mean(1.1, 2.2, 3.3), 0.1)", "ROUND(MEAN(1.1,2.2,3.3),0.1)"},
        TextRow{" F( -1.5e-3 , +.5,5., 1E+2 ) ", "F(-0.0015,0.5,5,100)"},
        TextRow{"F(1e400, -1e-400)", "F(inf,-0)"}, TextRow{"F(., ._, .a, .Z)", "F(.,._,.A,.Z)"},
        TextRow{"F('it''s', '', '#')", "F('it''s','','#')"}, TextRow{"F(x_1, \"a \"\"b\"\"\")", "F($x_1,$a \"b\")"},
        TextRow{"g(h(k()))", "G(H(K()))"}, TextRow{"", "empty expression"},
        TextRow{"ABS(", "syntax error at column 5: expression expected, found end of input"},
        TextRow{"ABS(1", "syntax error at column 6: ')' expected, found end of input"},
        TextRow{"ABS(1 2)", "syntax error at column 7: ',' or ')' expected"},
        TextRow{"ABS(1,)", "syntax error at column 7: unexpected ')'"},
        TextRow{"ABS(1))", "syntax error at column 7: unexpected ')'"},
        TextRow{"ABS(1x)", "syntax error at column 6: unexpected 'x' after a number"},
        TextRow{"ABS(1.5e)", "syntax error at column 9: exponent digits expected"},
        TextRow{"ABS(-)", "syntax error at column 5: number expected"},
        TextRow{"ABS(.AB)", "syntax error at column 5: bad missing value '.AB'"},
        TextRow{"F('ab", "unterminated string starting at column 3"},
        TextRow{"F(\"ab)", "unterminated name starting at column 3"}));

// Cells of a table: numbers, missing literals and blanks; anything else is refused.
constexpr std::uint64_t REFUSED = 1;  // a bit pattern no row below reads to

TEST(Cell, ReadsOrRefuses) {
    const std::pair<const char *, std::uint64_t> rows[] = {
        {" 12.5\t", 0x4029000000000000}, {"  ", 0xFFFFFE0000000000},    {".", 0xFFFFFE0000000000},
        {"._", 0xFFFFFF0000000000},      {".b", 0xFFFFFC0000000000},    {"-0", 0x8000000000000000},
        {"1e-400", 0},                   {"-1e999", 0xFFF0000000000000}, {"abc", REFUSED},
        {"1 5", REFUSED},                {"inf", 0x7FF0000000000000},   {"1e", REFUSED},
        {"--1", REFUSED},                {".AB", REFUSED},               {"0x10", REFUSED}};
    for (const auto &[cell, bits] : rows) {
        double v = 0.0;
        EXPECT_EQ(qvhost::read_cell(cell, v) ? bits_of(v) : REFUSED, bits) << cell;
    }
}

// Every printed number reads back to the same double; every missing value to itself.
TEST(Format, ReadsBack) {
    std::mt19937_64 gen(7);
    for (int i = 0; i < 20000; ++i) {
        const double x = qv::from_bits(gen());
        if (!std::isfinite(x)) continue;
        double back = 0.0;
        const std::string text = qvhost::format_number(x);
        ASSERT_TRUE(qvhost::read_number(text, back) && bits_of(back) == bits_of(x)) << text;
    }
    for (int k = 0; k < QV_MISSING_COUNT; ++k)
        EXPECT_EQ(qvhost::missing_literal(qvhost::format_number(qv::missing_value(k))), k);
}

class Eval : public testing::TestWithParam<TextRow> {};

// Evaluates with the variables a = 4, b = -1, s = 'xy', or with none.
TEST_P(Eval, ResultOrError) {
    const std::vector<std::string> names{"a", "b", "s"}, none;
    const std::u32string s = U"xy";
    const qvhost::VarValue vars[] = {{4.0, nullptr, 0}, {-1.0, nullptr, 0}, {0.0, s.data(), s.size()}};
    qvhost::Program program;
    qvhost::Error error;
    const auto parsed = qvhost::parse_expression(GetParam().text);
    if (program.compile(*parsed.node, fakes::lookup, GetParam().no_columns ? none : names, nullptr, error)) {
        program.run(vars);
        error.message = qvhost::describe_result(program);
    }
    EXPECT_EQ(error.message, GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Eval,
    testing::Values(
        TextRow{"sum(1, 2, 3.5)", "6.5"},
        TextRow{"SUM(a, A, B)", ".  (invalid argument; argument 3 of SUM marked invalid)"},
        TextRow{"SUM(-1, 2, -3)", ".  (invalid argument; arguments 1, 3 of SUM marked invalid)"},
        TextRow{"SQRT(SUM(b))", ".  (invalid argument; argument 1 of SUM marked invalid; missing argument in SQRT)"},
        TextRow{"SQRT(-4)", ".  (invalid argument in SQRT)"}, TextRow{"SQRT(SQRT(a))", "1.4142135623730951"},
        TextRow{"COALESCEC('', s, 'abc')", "'xy'"}, TextRow{"COALESCEC(COALESCEC('', 'b'), 'a')", "'b'"},
        TextRow{"._", "._"}, TextRow{"a", "4"}, TextRow{"'t'", "'t'"},
        TextRow{"SUMMM(1)", "unknown function SUMMM at column 1 (did you mean SUM?)"},
        TextRow{"QQQQQ(1)", "unknown function QQQQQ at column 1"},
        TextRow{"SQRT(1, 2)", "SQRT takes 1 argument, got 2 (column 1): SQRT(x): square root, x >= 0"},
        TextRow{"MOD(1)", "MOD takes 2 to 3 arguments, got 1 (column 1): MOD(x, y [, fuzz]): remainder of x / y with the sign of x, with fuzz"},
        TextRow{"SUM(1, 'x')", "SUM: argument 2 (column 8) must be numeric, not a character value"},
        TextRow{"SUM(COALESCEC('x'))", "SUM: argument 1 (column 5) must be numeric, not a character value"},
        TextRow{"COALESCEC('a', 1)", "COALESCEC: argument 2 (column 16) must be a character value, not a number"},
        TextRow{"COALESCEC(SUM(1), 'a')", "COALESCEC: argument 1 (column 11) must be a character value, not a number"},
        TextRow{"MEAN(1)", "MEAN is not available in this package"},
        TextRow{"SUM(c)", "unknown column name c at column 5 (did you mean a?)"},
        TextRow{"SUM(x)", "unknown name x at column 5 (names stand for the columns of a --csv table)", true},
        TextRow{"sqrt", "unknown name sqrt at column 1 (a call needs parentheses: SQRT(...))", true}));

}  // namespace

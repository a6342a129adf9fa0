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

struct ParseRow {
    const char *text;
    const char *expected;  // the canonical form, or the error message
};

class Parse : public testing::TestWithParam<ParseRow> {};

TEST_P(Parse, CanonicalFormOrError) {
    const auto r = qvhost::parse_expression(GetParam().text);
    EXPECT_EQ(r.error ? r.error->message : render(*r.node), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Parse,
    testing::Values(
        ParseRow{"round(Mean(1.1, 2.2, 3.3), 0.1)", "ROUND(MEAN(1.1,2.2,3.3),0.1)"},
        ParseRow{" F( -1.5e-3 , +.5,5., 1E+2 ) ", "F(-0.0015,0.5,5,100)"},
        ParseRow{"F(1e400, -1e-400)", "F(inf,-0)"}, ParseRow{"F(., ._, .a, .Z)", "F(.,._,.A,.Z)"},
        ParseRow{"F('it''s', '', '#')", "F('it''s','','#')"}, ParseRow{"F(x_1, \"a \"\"b\"\"\")", "F($x_1,$a \"b\")"},
        ParseRow{"f()", "F()"}, ParseRow{"g(h(k()))", "G(H(K()))"}, ParseRow{"", "empty expression"},
        ParseRow{"ABS(", "syntax error at column 5: expression expected, found end of input"},
        ParseRow{"ABS(1 2)", "syntax error at column 7: ',' or ')' expected"},
        ParseRow{"ABS(1,)", "syntax error at column 7: unexpected ')'"},
        ParseRow{"ABS(1))", "syntax error at column 7: unexpected ')'"},
        ParseRow{"ABS(1x)", "syntax error at column 6: unexpected 'x' after a number"},
        ParseRow{"ABS(1.5e)", "syntax error at column 9: exponent digits expected"},
        ParseRow{"ABS(-)", "syntax error at column 5: number expected"},
        ParseRow{"ABS(.AB)", "syntax error at column 5: bad missing value '.AB'"},
        ParseRow{"ABS(; 1)", "syntax error at column 5: unexpected ';'"},
        ParseRow{"F('ab", "unterminated string starting at column 3"},
        ParseRow{"F(\"ab)", "unterminated name starting at column 3"}));

// Cells of a table: numbers, missing literals and blanks; anything else is refused.
struct CellRow {
    const char *cell;
    bool ok;
    std::uint64_t bits;
};

class Cell : public testing::TestWithParam<CellRow> {};

TEST_P(Cell, ReadsOrRefuses) {
    double v = 0.0;
    ASSERT_EQ(qvhost::read_cell(GetParam().cell, v), GetParam().ok) << GetParam().cell;
    if (GetParam().ok) {
        EXPECT_EQ(bits_of(v), GetParam().bits) << GetParam().cell;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Cell,
    testing::Values(CellRow{" 12.5\t", true, 0x4029000000000000}, CellRow{"", true, 0xFFFFFE0000000000},
                    CellRow{"  ", true, 0xFFFFFE0000000000}, CellRow{".", true, 0xFFFFFE0000000000},
                    CellRow{"._", true, 0xFFFFFF0000000000}, CellRow{".b", true, 0xFFFFFC0000000000},
                    CellRow{".Z", true, 0xFFFFE40000000000}, CellRow{"-0", true, 0x8000000000000000},
                    CellRow{"1e-400", true, 0}, CellRow{"-1e999", true, 0xFFF0000000000000},
                    CellRow{"0.1", true, 0x3FB999999999999A}, CellRow{"abc", false, 0}, CellRow{"1 5", false, 0},
                    CellRow{"nan", false, 0}, CellRow{"inf", false, 0}, CellRow{"1e", false, 0},
                    CellRow{"--1", false, 0}, CellRow{".AB", false, 0}, CellRow{".5.", false, 0},
                    CellRow{"0x10", false, 0}));

// Every printed number reads back to the same double; every missing value to itself.
TEST(Format, ReadsBack) {
    std::mt19937_64 gen(7);
    for (int i = 0; i < 20000; ++i) {
        const double x = qv::from_bits(gen());
        if (!std::isfinite(x) || qv::is_missing(x)) continue;
        double back = 0.0;
        const std::string text = qvhost::format_number(x);
        ASSERT_TRUE(qvhost::read_number(text, back)) << text;
        ASSERT_EQ(bits_of(back), bits_of(x)) << text;
    }
    for (int k = 0; k < QV_MISSING_COUNT; ++k)
        EXPECT_EQ(qvhost::missing_literal(qvhost::format_number(qv::missing_value(k))), k);
}

struct EvalRow {
    const char *text;
    const char *expected;  // the result line, or the error message
};

class Eval : public testing::TestWithParam<EvalRow> {};

// Evaluates with the variables a = 4, b = -1, s = 'xy'.
std::string evaluate(const char *text) {
    const std::vector<std::string> names{"a", "b", "s"};
    const std::u32string s = U"xy";
    const qvhost::VarValue vars[] = {{4.0, nullptr, 0}, {-1.0, nullptr, 0}, {0.0, s.data(), s.size()}};
    const auto parsed = qvhost::parse_expression(text);
    qvhost::Program program;
    qvhost::Error error;
    if (!program.compile(*parsed.node, fakes::lookup, names, nullptr, error)) return error.message;
    program.run(vars);
    return qvhost::describe_result(program);
}

TEST_P(Eval, ResultOrError) { EXPECT_EQ(evaluate(GetParam().text), GetParam().expected) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(
    Rows, Eval,
    testing::Values(
        EvalRow{"sum(1, 2, 3.5)", "6.5"}, EvalRow{"SUM(a, A, B)", ".  (invalid argument; argument 3 of SUM marked invalid)"},
        EvalRow{"SUM(-1, 2, -3)", ".  (invalid argument; arguments 1, 3 of SUM marked invalid)"},
        EvalRow{"SQRT(SUM(b))", ".  (invalid argument; argument 1 of SUM marked invalid; missing argument in SQRT)"},
        EvalRow{"SQRT(-4)", ".  (invalid argument in SQRT)"}, EvalRow{"SQRT(SQRT(a))", "1.4142135623730951"},
        EvalRow{"MOD(1, 2)", "2"}, EvalRow{"MOD(1, 2, 3)", "3"}, EvalRow{"COALESCEC('', s, 'abc')", "'xy'"},
        EvalRow{"COALESCEC('', 'it''s')", "'it''s'"}, EvalRow{"WHICHC(COALESCEC('', 'b'), 'a', 'b')", "2"},
        EvalRow{"WHICHC(s, 'x', 'xy')", "2"}, EvalRow{"._", "._"}, EvalRow{"a", "4"}, EvalRow{"'t'", "'t'"},
        EvalRow{"SUMM(1)", "unknown function SUMM at column 1 (did you mean SUM?)"},
        EvalRow{"QQQQQ(1)", "unknown function QQQQQ at column 1"},
        EvalRow{"SQRT(1, 2)", "SQRT takes 1 argument, got 2 (column 1): SQRT(x): square root, x >= 0"},
        EvalRow{"MOD(1)", "MOD takes 2 to 3 arguments, got 1 (column 1): MOD(x, y [, fuzz]): remainder with fuzz"},
        EvalRow{"SUM(1, 'x')", "SUM: argument 2 (column 8) must be numeric, not a character value"},
        EvalRow{"SUM(COALESCEC('x'))", "SUM: argument 1 (column 5) must be numeric, not a character value"},
        EvalRow{"WHICHC('a', 1)", "WHICHC: argument 2 (column 13) must be a character value, not a number"},
        EvalRow{"WHICHC(SUM(1), 'a')", "WHICHC: argument 1 (column 8) must be a character value, not a number"},
        EvalRow{"MEAN(1)", "MEAN is not available in this package"},
        EvalRow{"SUM(c)", "unknown column name c at column 5 (did you mean a?)"}));

// Names in line mode, where there are no columns.
TEST(Eval, NamesWithoutTable) {
    struct Row {
        const char *text, *expected;
    } rows[] = {{"SUM(x)", "unknown name x at column 5 (names stand for the columns of a --csv table)"},
                {"sqrt", "unknown name sqrt at column 1 (a call needs parentheses: SQRT(...))"}};
    for (const Row &r : rows) {
        qvhost::Program program;
        qvhost::Error error;
        EXPECT_FALSE(program.compile(*qvhost::parse_expression(r.text).node, fakes::lookup, {}, nullptr, error));
        EXPECT_EQ(error.message, r.expected);
    }
}

// A compiled program runs again and again: marks from one run must not leak into the next.
TEST(Eval, RunsAgainWithNewValues) {
    const std::vector<std::string> names{"a"};
    qvhost::Program program;
    qvhost::Error error;
    ASSERT_TRUE(program.compile(*qvhost::parse_expression("SUM(a, 1)").node, fakes::lookup, names, nullptr, error));
    const double inputs[] = {-2.0, 3.0, qv::missing_value(5), 0.5};
    const char *expected[] = {".  (invalid argument; argument 1 of SUM marked invalid)", "4",
                              ".  (missing argument in SUM)", "1.5"};
    for (int i = 0; i < 4; ++i) {
        const qvhost::VarValue v{inputs[i], nullptr, 0};
        program.run(&v);
        EXPECT_EQ(qvhost::describe_result(program), expected[i]) << i;
    }
}

}  // namespace

// The qvfnc expression language through the real package: parsing, operators, checks before a
// call is made, results and notes, the limits of one expression.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expr.hpp"
#include "host_package.hpp"
#include "lines.hpp"
#include "names.hpp"

namespace {

// A parsed expression written back with every operator in parentheses, calls upper case and $
// before column names.
std::string render(const qvcli::Expr &e, std::uint32_t i) {
    const qvcli::Node &n = e.nodes[i];
    switch (n.type) {
        case qvcli::NodeType::Number: {
            char buf[QVH_FORMAT_MAX];
            qvh_format(n.num, buf, sizeof buf);
            return buf;
        }
        case qvcli::NodeType::Text: return "'" + e.text_of(n) + "'";
        case qvcli::NodeType::Column: return "$" + e.text_of(n);
        case qvcli::NodeType::Unary: return std::string("(") + qvcli::op_text(n.op) + " " + render(e, e.kid(n, 0)) + ")";
        case qvcli::NodeType::Binary:
            return "(" + render(e, e.kid(n, 0)) + " " + qvcli::op_text(n.op) + " " + render(e, e.kid(n, 1)) + ")";
        case qvcli::NodeType::Call: break;
    }
    std::string s = e.text_of(n) + "(";
    for (std::uint32_t k = 0; k < n.nkids; ++k) s += (k ? "," : "") + render(e, e.kid(n, k));
    return s + ")";
}

std::string parse(const std::string &text) {
    qvcli::Expr e;
    qvcli::SyntaxError error;
    if (!qvcli::parse_expression(text, 0, e, error))
        return "error at " + std::to_string(qvcli::character_at(text, error.pos)) + ": " + error.message;
    return render(e, e.root());
}

TEST(Parse, CanonicalFormOrError) {
    const std::pair<const char *, const char *> rows[] = {
        {"round(Mean(1.1, 2.2, 3.3), 0.1)", "ROUND(MEAN(1.1,2.2,3.3),0.1)"},
        {" F( -1.5e-3 , +.5,5., 1E+2, -0 ) ", "F(-0.0015,0.5,5,100,-0)"},
        {"F(1e400, -1e-400, ., ._, .a, .Z)", "F(inf,-0,.,._,.A,.Z)"},
        {"F(inf, -INF, Inf(1), infinity)", "F(inf,-inf,INF(1),$infinity)"},
        {"F('it''s', '', x_1, \"a \"\"b\"\"\")", "F('it's','',$x_1,$a \"b\")"},
        {"1 + 2 * 3 - 4 / 5", "((1 + (2 * 3)) - (4 / 5))"},
        {"-2 ** 2 ** 3", "(- (2 ** (2 ** 3)))"},
        {"2 ** -x * 3", "((2 ** (- $x)) * 3)"},
        {"-.", "(- .)"},
        {"a < b = c", "(($a < $b) = $c)"},
        {"not a = 1 and b or c", "(((not ($a = 1)) and $b) or $c)"},
        {"a == b != c ~= d ^= e", "(((($a = $b) ^= $c) ^= $d) ^= $e)"},
        {"a<=b>=c>d", "((($a <= $b) >= $c) > $d)"},
        {"IFN(x AND y, 'p', s)", "IFN(($x and $y),'p',$s)"},
        {"", "error at 1: empty expression"},
        {"ABS(", "error at 5: expression expected, found end of input"},
        {"ABS(1", "error at 6: ')' expected, found end of input"},
        {"ABS(1 2)", "error at 7: operator, ',' or ')' expected"},
        {"(1 2)", "error at 4: operator or ')' expected"},
        {"ABS(1,)", "error at 7: unexpected ')'"},
        {"ABS(1))", "error at 7: unexpected ')'"},
        {"(1, 2)", "error at 3: unexpected ','"},
        {"1 +* 2", "error at 4: unexpected '*'"},
        {"a and or b", "error at 7: unexpected 'or'"},
        {"1 ! 2", "error at 3: operator expected, found '!'"},
        {"ABS(1x)", "error at 6: unexpected 'x' after a number"},
        {"ABS(1.5e)", "error at 9: exponent digits expected"},
        {"ABS(.AB)", "error at 5: bad missing value '.AB'"},
        {"F('ab", "error at 3: unterminated character value"},
        {"F(\"ab)", "error at 3: unterminated column name"},
        {"'é' + x y", "error at 9: operator expected, found 'y'"}};
    for (const auto &[text, expected] : rows) EXPECT_EQ(parse(text), expected) << text;
}

// One expression in line mode: the result line, or the error line.
std::string eval(const std::string &text, int digits = 0, const char *missing = nullptr) {
    qvcli::NumberFormat format;
    format.digits = digits;
    format.missing_set = missing != nullptr;
    format.missing_token = missing != nullptr ? missing : "";
    qvcli::LineRunner lines(qvt::host_package(), format);
    char *out_text = nullptr, *err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE *out = open_memstream(&out_text, &out_size), *err = open_memstream(&err_text, &err_size);
    lines.run(text, "expression 1", out, err);
    std::fclose(out);
    std::fclose(err);
    std::string result = std::string(out_text) + std::string(err_text);
    std::free(out_text);
    std::free(err_text);
    if (!result.empty() && result.back() == '\n') result.pop_back();
    if (result.rfind("qvfnc: ", 0) == 0) result.erase(0, 7);
    return result;
}

std::string repeat(const std::string &open, const std::string &inner, const std::string &close, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += open;
    s += inner;
    for (std::size_t i = 0; i < n; ++i) s += close;
    return s;
}

// The nesting limit holds whatever the construct, every depth up to it evaluates, and long flat
// chains have no limit; beyond the length and the calls of one expression, one line names the limit.
TEST(Eval, Limits) {
    const std::string deep = "syntax error at character ";
    const std::pair<std::string, std::string> rows[] = {
        {repeat("ABS(", "1", ")", 10000), "1"},
        {repeat("-(", "1", ")", 5000), "1"},
        {repeat("", "0", " + 1", 99999), "99999"},
        {repeat("ABS(", "1", ")", 10001), deep + "40001 of expression 1: expression nested deeper than 10000 levels"},
        {repeat("(", "1", ")", 500000), deep + "10001 of expression 1: expression nested deeper than 10000 levels"},
        {repeat("- ", "x", "", 20000), deep + "20001 of expression 1: expression nested deeper than 10000 levels"},
        {repeat("2 ** ", "2", "", 10001), deep + "50003 of expression 1: expression nested deeper than 10000 levels"},
        {repeat("", "0", "+ABS(1)", 50001),
         "the expression makes more than 50000 calls of the package (character 350003 of expression 1)"},
        {std::string(1048575, ' ') + "1", "1"},
        {std::string(1048577, ' ') + "1", deep + "1 of expression 1: the expression has 1048578 bytes; one holds at most 1048576"}};
    for (const auto &[text, expected] : rows) EXPECT_EQ(eval(text), expected) << text.substr(0, 40);
}

struct EvalRow {
    const char *text;
    const char *expected;  // the result line, or the error message
    int digits = 0;
    const char *missing = nullptr;
};

TEST(Eval, ResultsNotesAndErrors) {
    const EvalRow rows[] = {
        {"sum(1, 2, 3.5)", "6.5"},
        {"SQRT(-4)", ".  (invalid argument in SQRT)"},
        {"ROUND(1.25, -1)", ".  (invalid argument; argument 2 of ROUND marked invalid)"},
        {"SQRT(ROUND(1, -1))", ".  (invalid argument; argument 2 of ROUND marked invalid; missing argument in SQRT)"},
        {"COALESCEC('', '  ', 'it''s')", "'it''s'"},
        {"COALESCEC(COALESCEC('', 'b'), 'a')", "'b'"},
        {"ORDINAL(2, .Z, ._, .A, 5)", ".A"},
        {"2 ** 10 - 1", "1023"},
        {"0 ** 0", "1"},
        {"1 / 0", ".  (division by zero in /)"},
        {"0 ** -1", ".  (division by zero in **)"},
        {"(-8) ** (1 / 3)", ".  (invalid operation in **)"},
        {"inf - inf", ".  (invalid operation in -)"},
        {"1e308 * 10 = inf and -inf < -1e308", "1"},
        {". + 1", ".  (missing operand in +)"},
        {"-.A", ".  (missing operand in -)"},
        {"SQRT(. * 2)", ".  (missing operand in *; missing argument in SQRT)"},
        {"._ < . and . < .A and .A < .Z and .Z < -inf", "1"},
        {". = .", "1"},
        {". = .A", "0"},
        {"SUM(inf, -inf) = . and SUM(inf, -inf) > ._", "1  (not a number in SUM; not a number in SUM)"},
        {"0 = -0", "1"},
        {"'ab' = 'ab  '", "1"},
        {"'ab' < 'b'", "1"},
        {"'' ^= ' '", "0"},
        {"(not 0) + (not .) + (not 2)", "2"},
        {"not 0 + not 2", "1"},
        {"1 or 0 and 0", "1"},
        {"1 and . or 0", "0"},
        {"IFN(1 > 0, 'yes', 'no')", "'yes'"},
        {"IFN(., 1, 2)", "2"},
        {"IFN(0, LOG(-1), 7)", "7"},
        {"IFN(1, 7, LOG(-1))", "7"},
        {"IFN(IFN(0, 1, 0), 1, IFN(1, 2, 3)) * 10", "20"},
        {"2 / 3", "0.667", 3},
        {"1e300 * 1e10", "inf", 3},
        {".A", ".A", 3},
        {"SQRT(-1)", "NA  (invalid argument in SQRT)", 0, "NA"},
        {"2 / 3", "0.6666666666666666", 0, "NA"},
        {"IFN(1, 2)", "IFN takes 3 arguments, got 2 (character 1 of expression 1): IFN(condition, then, else)"},
        {"IFN(1, 'a', 2)", "IFN at character 1 of expression 1 gives a character value when true and a number when false; both must be of one kind"},
        {"IFN('a', 1, 2)", "the condition of IFN must be a number, not a character value (character 5 of expression 1)"},
        {"1 < 'a'", "'<' at character 3 of expression 1 compares a number with a character value"},
        {"'a' + 1", "'+' needs numbers, not a character value (character 1 of expression 1)"},
        {"SUMMM(1)", "unknown function SUMMM at character 1 of expression 1 (did you mean SUM?)"},
        {"QQQQQ(1)", "unknown function QQQQQ at character 1 of expression 1"},
        {"1 + avg(1)", "unknown function AVG at character 5 of expression 1 (did you mean MEAN?)"},
        {"SQRT(1, 2)", "SQRT takes 1 argument, got 2: SQRT(x) (character 1 of expression 1)"},
        {"MOD(1)", "MOD takes 2 to 3 arguments, got 1: MOD(x, y [, fuzz]) (character 1 of expression 1)"},
        {"SUM(1, 'x')", "SUM: argument 2 must be a number, not a character value (character 8 of expression 1)"},
        {"COALESCEC('a', 1)", "COALESCEC: argument 2 must be a character value, not a number (character 16 of expression 1)"},
        {"ORDINAL2(1, 2)", "ORDINAL2 is not available in this package (character 1 of expression 1)"},
        {"x", "unknown name x at character 1 of expression 1 (names stand for the columns of a --csv table)"},
        {"sqrt", "unknown name sqrt at character 1 of expression 1 (a call needs parentheses: SQRT(...))"},
        {"\"a\nb\r\" + 1", "unknown name a\\nb\\r at character 1 of expression 1 (names stand for the columns of a --csv table)"},
        {"SUM(1,2) # a comment 'with quote", "3"},
        {"'#' # a comment", "'#'"}};
    for (const EvalRow &r : rows) EXPECT_EQ(eval(r.text, r.digits, r.missing), r.expected) << r.text;
}

// The name suggested for a misspelt one: one slip for short names, two for longer ones, or a
// longer name it starts; letters in any case; slips anywhere in names of any length.
TEST(Names, Nearest) {
    const std::string a(1000, 'a'), acd = a + "cd";
    const std::vector<std::string_view> weather = {"station", "date", "t06", "rain_mm"}, cd = {acd}, plain = {a};
    const std::tuple<std::string, const std::vector<std::string_view> *, std::string> rows[] = {
        {"rain", &weather, "rain_mm"}, {"STATOIN", &weather, "station"}, {"dat", &weather, "date"},
        {"t6", &weather, "t06"},       {"t07", &weather, "t06"},         {"t1x", &weather, ""},
        {"xyz", &weather, ""},         {a + "b", &cd, acd},              {a + "bxy", &cd, ""},
        {"x" + a + "y", &plain, a},    {"xz" + a, &plain, a},            {"xzw" + a, &plain, ""},
        {a.substr(0, 500) + "Q" + a.substr(500) + "Q", &plain, a},       {std::string(100000, 'b'), &plain, ""}};
    for (const auto &[name, candidates, expected] : rows)
        EXPECT_EQ(qvcli::nearest_name(name, *candidates), expected) << name.substr(0, 40);
    EXPECT_EQ(qvcli::suggest_function("pctl9"), "PCTL");
    EXPECT_EQ(qvcli::suggest_function(std::string(100000, 'S') + "UM"), "");
}

// The longest character value the package holds passes whole, counted in characters, not bytes
// (one longer is an error row of the table job).
TEST(Eval, LongCharacterValues) {
    const std::string fits(65535, 'x');
    EXPECT_EQ(eval("COALESCEC('" + fits + "')"), "'" + fits + "'");
    std::string wide;
    for (int i = 0; i < 65535; ++i) wide += "\xC3\xA9";
    EXPECT_EQ(eval("COALESCEC('" + wide + "')").size(), wide.size() + 2);
}

}  // namespace

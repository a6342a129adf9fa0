// Expressions of qvfnc: numbers, missing literals (., ._, .A to .Z), character values in single
// quotes, column names, calls of the package's functions, IFN and the command line's own
// operators. The parser works without recursion and keeps the tree flat, in post-order: every
// node comes after its children and a node's subtree is the contiguous range [start, node], so
// every later walk is a loop and no nesting depth can exhaust the stack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvcli {

// Pending operators, open calls and parentheses the parser may hold at once: the nesting limit.
constexpr std::size_t MAX_NESTING = 10000;
// The longest expression: 1 MiB.
constexpr std::size_t MAX_EXPRESSION = std::size_t{1} << 20;

enum class NodeType : std::uint8_t { Number, Text, Column, Call, Unary, Binary };

enum class Op : std::uint8_t {
    None,
    Neg, Plus, Not,                  // unary
    Add, Sub, Mul, Div, Pow,         // arithmetic
    Eq, Ne, Lt, Le, Gt, Ge,          // comparisons
    And, Or                          // logic
};

bool is_comparison(Op op);
bool is_arithmetic(Op op);
// The operator as written: "**", "^=", "and".
const char *op_text(Op op);

struct Node {
    NodeType type = NodeType::Number;
    Op op = Op::None;
    std::uint32_t pos = 0;    // byte offset of the node's token in the source text
    std::uint32_t start = 0;  // first node of the subtree
    std::uint32_t first_kid = 0, nkids = 0;  // children: kids[first_kid, first_kid + nkids)
    std::uint32_t text = 0;   // Text: the value; Column: the name; Call: the name in upper case
    double num = 0.0;         // Number
};

struct Expr {
    std::string source;  // the text the positions count in
    std::vector<Node> nodes;
    std::vector<std::uint32_t> kids;
    std::vector<std::string> texts;

    std::uint32_t root() const { return static_cast<std::uint32_t>(nodes.size() - 1); }
    std::uint32_t kid(const Node &n, std::uint32_t i) const { return kids[n.first_kid + i]; }
    const std::string &text_of(const Node &n) const { return texts[n.text]; }
};

struct SyntaxError {
    std::size_t pos = 0;  // byte offset in the source
    std::string message;
};

// Parses text[from, end): positions stay offsets into the whole text, so that an assignment's
// expression reports positions as the user typed them. Returns false with the error.
bool parse_expression(std::string_view text, std::size_t from, Expr &out, SyntaxError &error);

// "character N": the character (not byte) a position falls on, from 1.
std::size_t character_at(std::string_view text, std::size_t pos);

// A character of a name written without quotes: a letter, a digit or '_'; the first is no digit.
bool is_name_char(char c);
bool is_name_start(char c);
// word, in any case, is lower: same_word("AND", "and").
bool same_word(std::string_view word, const char *lower);
// Words that are operators or numbers wherever a name could stand: and, or, not, inf.
bool is_keyword(std::string_view word);
// name is read as a name when written without quotes: a letter or '_' first, then name
// characters, and none of the words and, or, not, inf in any case.
bool is_plain_name(std::string_view name);

}  // namespace qvcli

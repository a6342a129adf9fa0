// Expressions of the qvfnc host: function calls, possibly nested, over numbers, missing
// literals (., ._, .A to .Z) and quoted character literals. Each call is checked against the
// host's signature table and made through the loaded package with a real FuncArgList.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arglist.hpp"
#include "loader.hpp"
#include "signatures.hpp"

namespace qvhost {

struct Value {
    bool is_char = false;
    double num = 0.0;
    std::u32string text;
};

struct Node {
    enum class Type { Number, Text, Call } type = Type::Number;
    double num = 0.0;
    std::u32string text;
    std::string name;  // upper case, for calls
    std::size_t column = 0;
    std::vector<std::unique_ptr<Node>> args;
};

// A parse or evaluation error: one line of text, with a 1-based column where it has one.
struct Error {
    std::string message;
};

struct ParseResult {
    std::unique_ptr<Node> node;
    std::optional<Error> error;
};

ParseResult parse_expression(std::string_view text);

struct Outcome {
    Value value;
    QvStatus status = STATUS_OK;
    std::string function;        // the call whose status is reported
    std::vector<int> marked;     // 1-based arguments it marked invalid
};

class Evaluator {
public:
    explicit Evaluator(Package &package) : package_(package) {}

    // Evaluates a parsed expression; on error returns false and sets error.
    bool evaluate(const Node &node, Outcome &out, Error &error);

private:
    bool call(const Node &node, Outcome &out, Error &error);
    Package &package_;
    CountingPool pool_{"qvfnc call pool"};
};

// Text forms of results.
std::string format_number(double x);  // shortest form that reads back, missing as . or .A
std::string format_text(const std::u32string &s);  // quoted, quotes doubled
std::string status_name(QvStatus status);
std::string format_outcome(const Outcome &out);

// The nearest known function name, for "did you mean" hints; empty when nothing is close.
std::string nearest_name(std::string_view upper_name);

std::u32string to_u32(std::string_view utf8);
std::string to_utf8(const std::u32string &s);

}  // namespace qvhost

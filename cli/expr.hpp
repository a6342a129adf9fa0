// Expressions of the qvfnc host: function calls, possibly nested, over numbers, missing literals
// (., ._, .A to .Z), quoted character literals and variable names. This file holds the parser
// and the text forms of values; program.hpp turns a parsed expression into calls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qvfnc.h"
#include "text.hpp"

namespace qvhost {

struct Node {
    enum class Type { Number, Text, Name, Call } type = Type::Number;
    double num = 0.0;
    std::u32string text;
    std::string name;  // a call's name in upper case; a variable's name as written
    std::size_t column = 0;  // 1-based position in the expression text
    std::vector<std::unique_ptr<Node>> args;
};

// A parse, compile or data error: one line of text without the program name.
struct Error {
    std::string message;
};

struct ParseResult {
    std::unique_ptr<Node> node;
    std::optional<Error> error;
};

// Names are letters, digits and '_', starting with a letter or '_'; a name followed by '(' is a
// call, any other name a variable. "any text" in double quotes is a variable with that name.
ParseResult parse_expression(std::string_view text);

// Reads a table cell as a number: empty or blank is ., the missing literals are themselves, anything
// else must be a number. Blanks around the cell are ignored.
bool read_cell(std::string_view cell, double &value);

// Text forms of values.
std::string format_number(double x);               // shortest form that reads back; . or .A
std::string format_text(const std::u32string &s);  // quoted, quotes doubled
std::string status_name(QvStatus status);

// The candidate nearest to name (letters compared in any case) within two edits, or one that
// starts with it; empty when none is that close.
std::string nearest_name(std::string_view name, const std::vector<std::string_view> &candidates);

// s without the blanks and tabs around it.
std::string_view trim_blanks(std::string_view s);

std::u32string to_u32(std::string_view utf8);
void append_u32(std::u32string &out, std::string_view utf8);
std::string to_utf8(std::u32string_view s);

}  // namespace qvhost

// The names an expression may use: the columns of the table and the columns computed before it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qvcli {

enum class Kind : std::uint8_t { Flexible = 0, Num = 1, Chr = 2 };

// A name an expression may use.
struct Variable {
    std::string name;
    Kind kind = Kind::Flexible;  // a cell of the table is read as whichever kind is wanted
    bool per_row = true;         // a column of the table
    bool per_group = false;      // in a summary: may stand outside a statistic
    std::size_t column = 0;      // its column in the header, from 1; 0 for a computed column
};

class Scope {
public:
    void add(Variable v);
    std::size_t size() const { return vars_.size(); }
    bool has(std::string_view name) const { return exact_.count(name) > 0; }
    const Variable &var(std::size_t i) const { return vars_[i]; }
    Variable &var(std::size_t i) { return vars_[i]; }

    // The variable a name means: the exact spelling first, then the one name with the same
    // letters in any case. -1 with a one-line problem (unknown, ambiguous, twice in the header).
    long find(std::string_view name, std::string &problem) const;

    // For an error at byte pos of an expression: when a name that is not a plain word (Solar.R,
    // temp C) stands there unquoted, and so reads as something else, how to write it:
    // 'write it as "Solar.R"'. Empty otherwise.
    std::string quoting_hint(std::string_view text, std::size_t pos) const;

    bool summary = false;      // statistics over columns aggregate over the rows of a group
    bool line_mode = false;    // no table: names are errors
    std::string unknown_hint;  // added to the message for an unknown column

private:
    std::deque<Variable> vars_;  // names stay where they are: the index below points into them
    std::unordered_map<std::string_view, long> exact_;
    std::unordered_map<std::string_view, std::vector<std::size_t>> twice_;  // name -> its columns
};

}  // namespace qvcli

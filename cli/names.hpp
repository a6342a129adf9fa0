// Names: matching column names, suggesting the nearest known name for a misspelt one, and the
// command line's own operators, which --list and --help show apart from the package's functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvcli {

// text for a message that stays on one line: carriage returns and line feeds, which names and
// cells may hold in quotes, written as \r and \n.
std::string one_line(std::string_view text);

// a and b spell the same letters in any case.
bool same_letters(std::string_view a, std::string_view b);
std::string upper(std::string_view s);

// The candidate nearest to name (letters compared in any case): one edit away for short names,
// two for longer ones, or a longer name that starts with it; empty when none is that close.
std::string nearest_name(std::string_view name, const std::vector<std::string_view> &candidates);

// What to suggest for an unknown function name: a common synonym first ("MEAN" for AVG, "the **
// operator" for POW), then the nearest name of the catalogue; empty when nothing is close.
std::string suggest_function(std::string_view name);

// The command line's own operators and IFN: evaluated by qvfnc itself, never by the package.
struct OwnOperator {
    const char *name;     // what --help takes: "IFN", "**", "and"
    const char *usage;    // "x ** y"
    const char *summary;  // one line
    const char *reference;
};
const std::vector<OwnOperator> &own_operators();
const OwnOperator *find_own_operator(std::string_view name);

}  // namespace qvcli

#include "scope.hpp"

#include "expr.hpp"
#include "names.hpp"

namespace qvcli {

void Scope::add(Variable v) {
    vars_.push_back(std::move(v));
    const long index = static_cast<long>(vars_.size() - 1);
    const std::string_view name = vars_.back().name;
    const auto [it, fresh] = exact_.emplace(name, index);
    if (!fresh) {
        auto &columns = twice_[name];
        if (columns.empty()) columns.push_back(vars_[static_cast<std::size_t>(it->second)].column);
        columns.push_back(vars_.back().column);
    }
}

long Scope::find(std::string_view name, std::string &problem) const {
    problem.clear();
    long index = -1;
    if (const auto it = exact_.find(name); it != exact_.end()) {
        index = it->second;
    } else {
        // A name written in other cases: rare, so a scan rather than a second index.
        for (std::size_t i = 0; i < vars_.size(); ++i) {
            if (!same_letters(vars_[i].name, name)) continue;
            if (index >= 0 && vars_[static_cast<std::size_t>(index)].name != vars_[i].name) {
                problem = "the name " + std::string(name) + " matches several columns written in other cases; write it exactly";
                return -1;
            }
            if (index < 0) index = static_cast<long>(i);
        }
    }
    if (index < 0) return -1;
    const std::string &real = vars_[static_cast<std::size_t>(index)].name;
    if (const auto tw = twice_.find(real); tw != twice_.end()) {
        problem = "the header has the column name " + real + " " + std::to_string(tw->second.size()) + " times (columns ";
        for (std::size_t i = 0; i < tw->second.size(); ++i) problem += (i ? ", " : "") + std::to_string(tw->second[i]);
        problem += "); rename them apart to use it";
        return -1;
    }
    return index;
}

std::string Scope::quoting_hint(std::string_view text, std::size_t pos) const {
    if (pos > text.size()) return "";
    // The name starts at the error (mean-temp read as mean - temp: the unknown name mean) or at
    // the word that ends just before it (Solar.R: the error is at the point after Solar).
    std::size_t word = pos;
    while (word > 0 && (text[word - 1] == ' ' || text[word - 1] == '\t')) --word;
    while (word > 0 && is_name_char(text[word - 1])) --word;
    for (const Variable &v : vars_) {
        if (v.name.empty() || is_plain_name(v.name)) continue;
        for (const std::size_t start : {word, pos}) {
            if (text.size() - start < v.name.size() || start + v.name.size() < pos) continue;
            if (!same_letters(text.substr(start, v.name.size()), v.name)) continue;
            std::string quoted = "write it as \"";
            for (char c : v.name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            return quoted + "\"";
        }
    }
    return "";
}

}  // namespace qvcli

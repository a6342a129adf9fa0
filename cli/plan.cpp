// Planning a table job: the header read, each NAME=EXPRESSION split and compiled against the
// columns before it, the cells the expressions read, and the output columns chosen.
#include "plan.hpp"

#include <algorithm>

#include "csv.hpp"
#include "names.hpp"

namespace qvcli {

namespace {

// The most columns a table may have.
constexpr std::size_t MAX_COLUMNS = std::size_t{1} << 21;

std::string shown(std::string_view name) {
    std::string out;
    for (char c : excerpt(name)) out += c == '\t' ? std::string("\\t") : std::string(1, c);
    return out;
}

class Planner {
public:
    Planner(const TableJob &job, qvh_package *pkg, TablePlan &plan, Reporter &report)
        : job_(job), pkg_(pkg), p_(plan), report_(report) {}

    bool run(const std::vector<std::string_view> &first) {
        if (first.size() > MAX_COLUMNS) {
            report_.fail(job_.input_name + ": the first line has " + std::to_string(first.size()) +
                         " fields; qvfnc reads at most " + std::to_string(MAX_COLUMNS) + " columns");
            return false;
        }
        p_.summary = job_.summary || !job_.by.empty();
        if (job_.header) {
            // Names are matched without the blanks that often follow the separators of a header.
            for (std::string_view f : first) p_.header.emplace_back(trim_blanks(f));
        } else {
            for (std::size_t i = 1; i <= first.size(); ++i) p_.header.push_back('c' + std::to_string(i));
        }
        if (!columns() || !by()) return false;
        for (std::size_t k = 0; k < job_.assignments.size(); ++k)
            if (!assignment(k)) return false;
        gather_uses();
        return choose_columns();
    }

private:
    std::string header_hint() const {
        const std::vector<std::string> &h = p_.header;
        std::string list;
        for (std::size_t i = 0; i < h.size() && i < 8; ++i) list += (i ? ", " : "") + shown(h[i]);
        if (h.size() > 8) list += ", ...";
        const std::string hint = "; the header read has " + std::to_string(h.size()) + " column" +
                                 (h.size() == 1 ? "" : "s") + ": " + list;
        const std::pair<char, const char *> usual[] = {{'\t', "tabs: try --tsv"}, {',', "commas: try --sep ','"},
                                                       {';', "semicolons: try --sep ';'"}, {'|', "bars: try --sep '|'"}};
        for (const auto &[c, what] : usual) {
            if (c == job_.sep) continue;
            for (const std::string &name : h)
                if (name.find(c) != std::string::npos) return hint + " (it holds " + what + ")";
        }
        return hint;
    }

    bool columns() {
        p_.scope.summary = p_.summary;
        p_.scope.unknown_hint = header_hint();
        for (std::size_t i = 0; i < p_.header.size(); ++i) p_.scope.add({p_.header[i], Kind::Flexible, true, false, i + 1});
        return true;
    }

    bool by() {
        for (const std::string &name : job_.by) {
            std::string problem;
            const long v = p_.scope.find(name, problem);
            if (v < 0) {
                report_.fail("--by " + name + ": " + (problem.empty() ? "no such column" + header_hint() : problem));
                return false;
            }
            p_.scope.var(static_cast<std::size_t>(v)).per_group = true;
            p_.by.push_back(static_cast<std::size_t>(v));
        }
        return true;
    }

    // Splits NAME=EXPRESSION; the name may be written in double quotes.
    bool split(const std::string &a, const std::string &label, std::string &name, std::size_t &from) {
        std::size_t i = 0;
        while (i < a.size() && (a[i] == ' ' || a[i] == '\t')) ++i;
        if (i < a.size() && a[i] == '"') {
            for (++i; i < a.size(); ++i) {
                if (a[i] == '"' && (i + 1 >= a.size() || a[i + 1] != '"')) break;
                if (a[i] == '"') ++i;
                name.push_back(a[i]);
            }
            ++i;
            while (i < a.size() && (a[i] == ' ' || a[i] == '\t')) ++i;
            from = i + 1;
            if (i < a.size() && a[i] == '=' && !name.empty()) return true;
        } else if (const auto eq = a.find('='); eq != std::string::npos) {
            name = std::string(trim_blanks(std::string_view(a).substr(0, eq)));
            from = eq + 1;
            if (!name.empty()) return true;
        }
        report_.fail(label + ", '" + excerpt(a) + "', is not of the form NAME=EXPRESSION");
        return false;
    }

    bool assignment(std::size_t k) {
        const std::string &a = job_.assignments[k];
        const std::string label =
            k < job_.labels.size() && !job_.labels[k].empty() ? job_.labels[k] : "expression " + std::to_string(k + 1);
        std::string name, error;
        std::size_t from = 0;
        if (!split(a, label, name, from)) return false;
        if (p_.scope.has(name)) {
            report_.fail(label + ": the table already has a column " + name);
            return false;
        }
        Expr expr;
        SyntaxError syntax;
        if (!parse_expression(a, from, expr, syntax)) {
            const std::string quote = p_.scope.quoting_hint(a, syntax.pos);
            report_.fail("syntax error at character " + std::to_string(character_at(a, syntax.pos)) + " of " + label +
                         ": " + syntax.message + (quote.empty() ? "" : " (" + quote + ")"));
            return false;
        }
        Compiled c;
        if (!compile(expr, p_.scope, pkg_, label, c, error)) {
            report_.fail(error);
            return false;
        }
        p_.names.push_back(name);
        p_.labels.push_back(label);
        p_.scope.add({name, c.program.kind(), !p_.summary, p_.summary, 0});
        p_.compiled.push_back(std::move(c));
        return true;
    }

    // The cells to read: on every row those the row programs use; per group the --by cells the
    // summary's own programs use.
    void gather_uses() {
        const std::size_t h = p_.header.size();
        std::vector<unsigned> row(h, 0), group(h, 0);
        auto gather = [&](std::vector<unsigned> &into, const Program &p) {
            for (std::size_t i = 0; i < h; ++i) into[i] |= p.uses()[i];
        };
        for (const Compiled &c : p_.compiled) {
            gather(p_.summary ? group : row, c.program);
            for (const Aggregate &a : c.aggregates)
                for (const Program &p : a.args) gather(row, p);
        }
        for (std::size_t i = 0; i < h; ++i) {
            if (row[i] & 1u) p_.num_cols.push_back(i);
            if (row[i] & 2u) p_.chr_cols.push_back(i);
        }
        for (std::size_t i : p_.by) {
            if (group[i] & 1u) p_.group_num.push_back(i);
            if (group[i] & 2u) p_.group_chr.push_back(i);
        }
    }

    bool choose_columns() {
        std::vector<std::string_view> names;
        std::vector<OutColumn> all;
        if (p_.summary) {
            for (std::size_t i : p_.by) names.push_back(p_.header[i]), all.push_back({false, i});
        } else {
            for (std::size_t i = 0; i < p_.header.size(); ++i) names.push_back(p_.header[i]), all.push_back({false, i});
        }
        for (std::size_t j = 0; j < p_.names.size(); ++j) names.push_back(p_.names[j]), all.push_back({true, j});
        if (!job_.keep.empty() && !job_.drop.empty()) {
            report_.fail("--keep and --drop do not go together");
            return false;
        }
        const bool keeping = !job_.keep.empty();
        const std::vector<std::string> &listed = keeping ? job_.keep : job_.drop;
        std::vector<bool> chosen(all.size(), false);
        for (const std::string &name : listed) {
            auto it = std::find(names.begin(), names.end(), name);
            if (it == names.end())
                it = std::find_if(names.begin(), names.end(), [&](std::string_view n) { return same_letters(n, name); });
            if (it == names.end()) {
                const std::string hint = nearest_name(name, names);
                report_.fail(std::string(keeping ? "--keep " : "--drop ") + name + ": the output has no such column" +
                             (hint.empty() ? "" : " (did you mean " + hint + "?)"));
                return false;
            }
            chosen[static_cast<std::size_t>(it - names.begin())] = true;
        }
        for (std::size_t i = 0; i < all.size(); ++i)
            if (listed.empty() || chosen[i] == keeping) p_.out_cols.push_back(all[i]), p_.out_names.emplace_back(names[i]);
        p_.fast = !p_.summary && (job_.ofs == 0 || job_.ofs == job_.sep) && listed.empty();
        return true;
    }

    const TableJob &job_;
    qvh_package *pkg_;
    TablePlan &p_;
    Reporter &report_;
};

}  // namespace

bool make_plan(const TableJob &job, qvh_package *pkg, const std::vector<std::string_view> &first, TablePlan &plan,
               Reporter &report) {
    return Planner(job, pkg, plan, report).run(first);
}

}  // namespace qvcli

// The checking passes of the compiler: every name resolved, every call's arguments counted and
// their kinds settled, and in a summary the statistics found, before any code is written.
#include <cstring>

#include "compiler.hpp"
#include "names.hpp"

namespace qvcli {

namespace {

const char *kind_text(Kind k) { return k == Kind::Chr ? "a character value" : "a number"; }

}  // namespace

bool Compiler::run(Compiled &out, std::string &error) {
    link();
    if (!resolve() || !kinds() || !classify()) {
        error = error_;
        return false;
    }
    mark_presets();
    out.aggregates.clear();
    for (std::uint32_t i = 0; i < n_; ++i)
        if (agg_[i] != NONE && !aggregate(i, out.aggregates)) {
            error = error_;
            return false;
        }
    if (!emit(0, e_.root(), out.program)) {
        error = error_;
        return false;
    }
    return true;
}

std::string Compiler::where(std::uint32_t pos) const {
    return "character " + std::to_string(character_at(e_.source, pos)) + " of " + label_;
}

bool Compiler::fail(const std::string &message) {
    error_ = one_line(message);
    return false;
}

// Sizes every table to the tree and notes each node's parent and place among its siblings.
void Compiler::link() {
    var_.assign(n_, -1);
    fn_.assign(n_, nullptr);
    ifn_.assign(n_, false);
    nat_.assign(n_, Kind::Flexible);
    fin_.assign(n_, Kind::Num);
    want_.assign(n_, WANT_ANY);
    parent_.assign(n_, NONE);
    arg_.assign(n_, 0);
    has_col_.assign(n_, false);
    inside_.assign(n_, false);
    agg_.assign(n_, NONE);
    agg_at_start_.assign(n_, NONE);
    preset_.assign(n_, false);
    direct_.assign(n_, false);
    jump_.assign(n_, 0);
    for (std::uint32_t i = 0; i < n_; ++i) {
        const Node &n = e_.nodes[i];
        for (std::uint32_t k = 0; k < n.nkids; ++k) {
            parent_[e_.kid(n, k)] = i;
            arg_[e_.kid(n, k)] = k;
        }
    }
}

// Names: columns and functions.
bool Compiler::resolve() {
    std::size_t calls = 0;
    for (std::uint32_t i = 0; i < n_; ++i) {
        const Node &n = e_.nodes[i];
        if (n.type == NodeType::Column && !column(i)) return false;
        if (n.type != NodeType::Call) continue;
        if (!function(i)) return false;
        if (!ifn_[i] && ++calls > MAX_CALLS)
            return fail("the expression makes more than " + std::to_string(MAX_CALLS) + " calls of the package (" +
                        where(n.pos) + ")");
    }
    return true;
}

bool Compiler::function(std::uint32_t i) {
    const Node &n = e_.nodes[i];
    const std::string &name = e_.text_of(n);
    if (name == "IFN") {
        ifn_[i] = true;
        if (n.nkids == 3) return true;
        return fail("IFN takes 3 arguments, got " + std::to_string(n.nkids) + " (" + where(n.pos) +
                    "): IFN(condition, then, else)");
    }
    const qvh_info *f = qvh_function_find(name.c_str());
    if (f == nullptr) {
        const std::string hint = suggest_function(name);
        return fail("unknown function " + name + " at " + where(n.pos) + (hint.empty() ? "" : " (did you mean " + hint + "?)"));
    }
    if (qvh_check_args(f, nullptr, n.nkids, nullptr) != QVH_OK) return fail(std::string(qvh_errmsg()) + " (" + where(n.pos) + ")");
    if (!qvh_package_has(pkg_, f)) return fail(name + " is not available in this package (" + where(n.pos) + ")");
    fn_[i] = f;
    return true;
}

bool Compiler::column(std::uint32_t i) {
    const Node &n = e_.nodes[i];
    const std::string &name = e_.text_of(n);
    std::string problem;
    const long v = scope_.line_mode ? -1 : scope_.find(name, problem);
    if (v >= 0) {
        var_[i] = v;
        nat_[i] = scope_.var(static_cast<std::size_t>(v)).kind;
        has_col_[i] = true;
        return true;
    }
    if (!problem.empty()) return fail(problem + " (" + where(n.pos) + ")");
    if (scope_.line_mode) {
        const bool is_function = qvh_function_find(upper(name).c_str()) != nullptr;
        return fail("unknown name " + name + " at " + where(n.pos) +
                    (is_function ? " (a call needs parentheses: " + upper(name) + "(...))"
                                 : " (names stand for the columns of a --csv table)"));
    }
    const std::string unknown = "unknown column " + name + " at " + where(n.pos);
    if (const std::string quote = scope_.quoting_hint(e_.source, n.pos); !quote.empty())
        return fail(unknown + " (" + quote + ")");
    std::vector<std::string_view> names;
    for (std::size_t k = 0; k < scope_.size(); ++k) names.push_back(scope_.var(k).name);
    const std::string hint = nearest_name(name, names);
    return fail(unknown + (hint.empty() ? "" : " (did you mean " + hint + "?)") + scope_.unknown_hint);
}

// Kinds: what each node gives by itself (bottom up), then what its parent wants (top down).
bool Compiler::kinds() {
    for (std::uint32_t i = 0; i < n_; ++i) {
        natural_kind(i);
        if (!ifn_[i]) continue;
        const Node &n = e_.nodes[i];
        const Kind a = nat_[e_.kid(n, 1)], b = nat_[e_.kid(n, 2)];
        if (a != Kind::Flexible && b != Kind::Flexible && a != b)
            return fail("IFN at " + where(n.pos) + " gives " + kind_text(a) + " when true and " + kind_text(b) +
                        " when false; both must be of one kind");
        nat_[i] = a != Kind::Flexible ? a : b;
    }
    for (std::uint32_t i = n_; i-- > 0;) {
        fin_[i] = nat_[i] != Kind::Flexible ? nat_[i] : want_[i] == WANT_CHR ? Kind::Chr : Kind::Num;
        if (want_[i] != WANT_ANY && static_cast<std::uint8_t>(fin_[i]) != want_[i]) return mismatch(i);
        if (!wanted_kinds(i)) return false;
    }
    return true;
}

void Compiler::natural_kind(std::uint32_t i) {
    switch (e_.nodes[i].type) {
        case NodeType::Number: nat_[i] = Kind::Num; break;
        case NodeType::Text: nat_[i] = Kind::Chr; break;
        case NodeType::Column: break;  // set by column()
        case NodeType::Unary:
        case NodeType::Binary: nat_[i] = Kind::Num; break;
        case NodeType::Call:
            if (!ifn_[i]) nat_[i] = fn_[i]->result_kind == QVH_KIND_CHR ? Kind::Chr : Kind::Num;
            break;
    }
}

// What node i wants of each of its children.
bool Compiler::wanted_kinds(std::uint32_t i) {
    const Node &n = e_.nodes[i];
    for (std::uint32_t k = 0; k < n.nkids; ++k) {
        const std::uint32_t kid = e_.kid(n, k);
        if (n.type == NodeType::Call && !ifn_[i]) {
            const int kind = k == 0 ? fn_[i]->first_kind : fn_[i]->rest_kind;
            want_[kid] = kind == QVH_KIND_NUM ? WANT_NUM : kind == QVH_KIND_CHR ? WANT_CHR : WANT_ANY;
        } else if (n.type == NodeType::Call) {
            want_[kid] = k == 0 ? std::uint8_t{WANT_NUM} : static_cast<std::uint8_t>(fin_[i]);
        } else if (n.type == NodeType::Binary && is_comparison(n.op)) {
            const Kind a = nat_[e_.kid(n, 0)], b = nat_[e_.kid(n, 1)];
            if (a != Kind::Flexible && b != Kind::Flexible && a != b)
                return fail(std::string("'").append(op_text(n.op)) + "' at " + where(n.pos) + " compares " + kind_text(a) +
                            " with " + kind_text(b));
            want_[kid] = a == Kind::Chr || b == Kind::Chr ? WANT_CHR : WANT_NUM;
        } else {
            want_[kid] = WANT_NUM;
        }
    }
    return true;
}

bool Compiler::mismatch(std::uint32_t i) {
    const std::uint32_t parent = parent_[i];
    const Node &p = e_.nodes[parent];
    const std::string at = " (" + where(e_.nodes[i].pos) + ")";
    if (e_.nodes[i].type == NodeType::Column)
        return fail("column " + scope_.var(static_cast<std::size_t>(var_[i])).name + " holds " +
                    (fin_[i] == Kind::Num ? "numbers, not character values" : "character values, not numbers") + at);
    if (p.type == NodeType::Call && ifn_[parent])
        return fail(std::string("the condition of IFN must be a number, not ") + kind_text(fin_[i]) + at);
    if (p.type == NodeType::Call) {
        // The catalogue's own message: every other argument as wanted, this one as it is.
        std::vector<int> kinds(p.nkids, 0);
        for (std::uint32_t k = 0; k < p.nkids; ++k) kinds[k] = k == 0 ? fn_[parent]->first_kind : fn_[parent]->rest_kind;
        kinds[arg_[i]] = fin_[i] == Kind::Chr ? QVH_KIND_CHR : QVH_KIND_NUM;
        qvh_check_args(fn_[parent], nullptr, p.nkids, kinds.data());
        return fail(std::string(qvh_errmsg()) + at);
    }
    return fail(std::string("'").append(op_text(p.op)) + "' needs numbers, not " + kind_text(fin_[i]) + at);
}

// In a summary: which calls aggregate over rows, and which names may stand where.
bool Compiler::classify() {
    for (std::uint32_t i = 0; i < n_; ++i) {
        const Node &n = e_.nodes[i];
        for (std::uint32_t k = 0; k < n.nkids; ++k) has_col_[i] = has_col_[i] || has_col_[e_.kid(n, k)];
    }
    if (!scope_.summary) return true;
    if (!find_statistics()) return false;
    for (std::uint32_t i = 0; i < n_; ++i) {
        if (e_.nodes[i].type != NodeType::Column) continue;
        const Variable &var = scope_.var(static_cast<std::size_t>(var_[i]));
        if (inside_[i] && !var.per_row)
            return fail("column " + var.name + " is a result of the summary, not a column of the table; it cannot be "
                        "inside a statistic (" + where(e_.nodes[i].pos) + ")");
        if (!inside_[i] && !var.per_group)
            return fail("column " + var.name + " must be inside a statistic such as MEAN(" + var.name + ") (" +
                        where(e_.nodes[i].pos) + "); only the --by columns stand alone in a summary");
    }
    return true;
}

// The outermost calls of statistics whose data use a column: each becomes an aggregate, and
// everything below it is inside.
bool Compiler::find_statistics() {
    for (std::uint32_t i = n_; i-- > 0;) {
        const Node &n = e_.nodes[i];
        bool inside = inside_[i];
        const qvh_info *f = fn_[i];
        if (!inside && n.type == NodeType::Call && f != nullptr && f->aggregate != QVH_AGG_NONE) {
            bool data = false;
            for (std::uint32_t k = f->leading_param ? 1 : 0; k < n.nkids; ++k) data = data || has_col_[e_.kid(n, k)];
            if (data) {
                agg_[i] = 0;  // numbered in aggregate()
                agg_at_start_[n.start] = i;
                inside = true;
                if (f->leading_param && has_col_[e_.kid(n, 0)])
                    return fail(std::string("the ") +
                                (std::strncmp(f->usage + std::strlen(f->name), "(p", 2) == 0 ? "percentile" : "rank") +
                                " of " + f->name + " must be the same for every row; it cannot use a column (" +
                                where(e_.nodes[e_.kid(n, 0)].pos) + ")");
            }
        }
        for (std::uint32_t k = 0; k < n.nkids; ++k) inside_[e_.kid(n, k)] = inside;
    }
    return true;
}

}  // namespace qvcli

#include "program.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "names.hpp"

namespace qvcli {

double dot() {
    static const double value = [] {
        double x = 0.0;
        qvh_missing('.', &x);
        return x;
    }();
    return value;
}

const char *status_text(std::int32_t status) {
    switch (status) {
        case NOTE_MISSING_OPERAND: return "missing operand";
        case NOTE_DIVISION_BY_ZERO: return "division by zero";
        case NOTE_INVALID_OPERATION: return "invalid operation";
        default: return qvh_status_name(status);
    }
}

// ---- the package -------------------------------------------------------------------------------

Package::~Package() { qvh_close(pkg_); }

bool Package::open(const std::string &path, std::string &error) {
    if (qvh_open(path.empty() ? nullptr : path.c_str(), &pkg_) == QVH_OK) return true;
    error = qvh_errmsg();
    return false;
}

// ---- names -------------------------------------------------------------------------------------

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

// ---- running -----------------------------------------------------------------------------------

namespace {

enum class Code : std::uint8_t { Num, Str, Var, Agg, Call, Neg, Not, Arith, CmpNum, CmpStr, And, Or, JumpIfFalse, Jump };

struct Ins {
    Code code;
    Op op = Op::None;
    std::uint32_t a = 0;  // Str: string; Var: variable; Agg: statistic; Call, Neg, Arith: site; jumps: target
    double num = 0.0;
};

struct CallSite {
    qvh_call *call = nullptr;
    const qvh_info *info = nullptr;
    // The arguments set on every run: from a variable, or else the next value of the stack.
    struct Live {
        std::uint32_t index;
        Kind kind;
        long var;  // -1: the stack
    };
    std::vector<Live> live;
    std::size_t from_stack = 0;
    Kind result = Kind::Num;
};

constexpr std::uint32_t OP_SITE = 0x80000000u;

// Values are true when they are numbers other than zero; missing values are false.
bool truth(double x) { return !std::isnan(x) && x != 0.0; }

// Missing values first (._, ., .A to .Z), then the numbers. A NaN that is no missing value ranks
// as ., as it reads in a cell.
int missing_rank(double x) {
    const char c = qvh_missing_letter(x);
    return c == '_' ? 0 : c == '.' || c == 0 ? 1 : 2 + (c - 'A');
}

bool holds(Op op, int order) {
    switch (op) {
        case Op::Eq: return order == 0;
        case Op::Ne: return order != 0;
        case Op::Lt: return order < 0;
        case Op::Le: return order <= 0;
        case Op::Gt: return order > 0;
        case Op::Ge: return order >= 0;
        default: return false;
    }
}

int order_num(double a, double b) {
    // Cells and arguments reach a program with every NaN turned into .; a function of the package
    // may still give a NaN (a sum of infinities of both signs), which compares as . does.
    const bool ma = std::isnan(a), mb = std::isnan(b);
    if (!ma && !mb) return a < b ? -1 : a > b ? 1 : 0;
    if (ma != mb) return ma ? -1 : 1;
    const int ra = missing_rank(a), rb = missing_rank(b);
    return ra < rb ? -1 : ra > rb ? 1 : 0;
}

int order_str(const Value &a, const Value &b) {
    std::string_view x(a.str, a.len), y(b.str, b.len);
    while (!x.empty() && x.back() == ' ') x.remove_suffix(1);
    while (!y.empty() && y.back() == ' ') y.remove_suffix(1);
    const int c = x.compare(y);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

struct Program::Impl {
    std::vector<Ins> code;
    std::vector<CallSite> calls;
    std::vector<Op> ops;  // operator sites
    std::vector<std::string> strings;
    std::vector<Value> stack;
    std::size_t stack_size = 0;

    ~Impl() {
        for (CallSite &c : calls) qvh_call_free(c.call);
    }
};

Program::Program() : impl_(std::make_unique<Impl>()) {}
Program::~Program() = default;
Program::Program(Program &&) noexcept = default;
Program &Program::operator=(Program &&) noexcept = default;

bool Program::run(const Value *vars, const Value *aggs) {
    Impl &m = *impl_;
    notes_.clear();
    Value *sp = m.stack.data();
    const Ins *code = m.code.data();
    const std::size_t size = m.code.size();
    for (std::size_t pc = 0; pc < size; ++pc) {
        const Ins &in = code[pc];
        switch (in.code) {
            case Code::Num:
                sp->num = in.num;
                ++sp;
                break;
            case Code::Str: {
                const std::string &s = m.strings[in.a];
                sp->str = s.data();
                sp->len = s.size();
                ++sp;
                break;
            }
            case Code::Var:
                *sp++ = vars[in.a];
                break;
            case Code::Agg:
                *sp++ = aggs[in.a];
                break;
            case Code::Call: {
                CallSite &c = m.calls[in.a];
                Value *args = sp - c.from_stack;
                const Value *next = args;
                for (const CallSite::Live &a : c.live) {
                    const Value &v = a.var >= 0 ? vars[a.var] : *next++;
                    if (a.kind != Kind::Chr) {
                        qvh_call_set_num(c.call, a.index, v.num);
                    } else if (qvh_call_set_str(c.call, a.index, v.str, v.len) != QVH_OK) {
                        error_ = "argument " + std::to_string(a.index + 1) + " of " + c.info->name + ": " + qvh_errmsg();
                        return false;
                    }
                }
                if (qvh_call_invoke(c.call) != QVH_OK) {
                    error_ = qvh_errmsg();
                    return false;
                }
                sp = args;
                if (const std::int32_t status = qvh_call_status(c.call); status != QVH_STATUS_OK)
                    notes_.push_back({in.a, status});
                if (c.result == Kind::Chr) {
                    const char *s = qvh_call_result_str(c.call, &sp->len);
                    sp->str = s != nullptr ? s : "";
                } else {
                    sp->num = qvh_call_result(c.call);
                }
                ++sp;
                break;
            }
            case Code::Neg: {
                double &x = sp[-1].num;
                if (std::isnan(x)) {
                    x = dot();
                    notes_.push_back({OP_SITE | in.a, NOTE_MISSING_OPERAND});
                } else {
                    x = -x;
                }
                break;
            }
            case Code::Not:
                sp[-1].num = truth(sp[-1].num) ? 0.0 : 1.0;
                break;
            case Code::Arith: {
                --sp;
                double &a = sp[-1].num;
                const double b = sp->num;
                std::int32_t note = 0;
                double r = 0.0;
                if (std::isnan(a) || std::isnan(b)) {
                    note = NOTE_MISSING_OPERAND;
                } else {
                    switch (in.op) {
                        case Op::Add: r = a + b; break;
                        case Op::Sub: r = a - b; break;
                        case Op::Mul: r = a * b; break;
                        case Op::Div:
                            if (b == 0.0) note = NOTE_DIVISION_BY_ZERO;
                            else r = a / b;
                            break;
                        default:
                            if (a == 0.0 && b < 0.0) note = NOTE_DIVISION_BY_ZERO;
                            else r = std::pow(a, b);
                            break;
                    }
                    if (note == 0 && std::isnan(r)) note = NOTE_INVALID_OPERATION;
                }
                if (note != 0) {
                    r = dot();
                    notes_.push_back({OP_SITE | in.a, note});
                }
                a = r;
                break;
            }
            case Code::CmpNum:
                --sp;
                sp[-1].num = holds(in.op, order_num(sp[-1].num, sp->num)) ? 1.0 : 0.0;
                break;
            case Code::CmpStr:
                --sp;
                sp[-1].num = holds(in.op, order_str(sp[-1], *sp)) ? 1.0 : 0.0;
                break;
            case Code::And:
                --sp;
                sp[-1].num = truth(sp[-1].num) && truth(sp->num) ? 1.0 : 0.0;
                break;
            case Code::Or:
                --sp;
                sp[-1].num = truth(sp[-1].num) || truth(sp->num) ? 1.0 : 0.0;
                break;
            case Code::JumpIfFalse:
                --sp;
                if (!truth(sp->num)) pc = in.a - 1;
                break;
            case Code::Jump:
                pc = in.a - 1;
                break;
        }
    }
    result_ = m.stack[0];
    return true;
}

std::string Program::site_name(std::uint32_t site) const {
    if (site & OP_SITE) return op_text(impl_->ops[site & ~OP_SITE]);
    return impl_->calls[site].info->name;
}

std::string Program::describe_notes() const {
    std::string line;
    for (std::size_t k = 0; k < notes_.size(); ++k) {
        const Note &note = notes_[k];
        line += k == 0 ? "  (" : "; ";
        line += status_text(note.status);
        std::vector<std::size_t> marked;
        if (!(note.site & OP_SITE)) {
            const qvh_call *call = impl_->calls[note.site].call;
            for (std::size_t i = 0; i < qvh_call_count(call); ++i)
                if (qvh_call_marked(call, i)) marked.push_back(i + 1);
        }
        if (marked.empty()) {
            line += " in " + site_name(note.site);
            continue;
        }
        line += marked.size() == 1 ? "; argument " : "; arguments ";
        for (std::size_t i = 0; i < marked.size(); ++i) line += (i ? ", " : "") + std::to_string(marked[i]);
        line += " of " + site_name(note.site) + " marked invalid";
    }
    if (!notes_.empty()) line += ")";
    return line;
}

// ---- compiling ---------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t NONE = 0xFFFFFFFFu;
enum Want : std::uint8_t { WANT_ANY = 0, WANT_NUM = 1, WANT_CHR = 2 };

const char *kind_text(Kind k) { return k == Kind::Chr ? "a character value" : "a number"; }

std::string arity_text(int min, int max) {
    if (max < 0) return "at least " + std::to_string(min) + " argument" + (min == 1 ? "" : "s");
    const std::string n = min == max ? std::to_string(min) : std::to_string(min) + " to " + std::to_string(max);
    return n + (n == "1" ? " argument" : " arguments");
}

}  // namespace

class Compiler {
public:
    Compiler(const Expr &e, const Scope &scope, qvh_package *pkg, const std::string &label)
        : e_(e), scope_(scope), pkg_(pkg), label_(label), n_(e.nodes.size()) {}

    bool run(Compiled &out, std::string &error) {
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
        if (!resolve() || !kinds() || !classify()) {
            error = error_;
            return false;
        }
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

private:
    std::string where(std::uint32_t pos) const {
        return "character " + std::to_string(character_at(e_.source, pos)) + " of " + label_;
    }
    bool fail(const std::string &message) {
        error_ = one_line(message);
        return false;
    }

    // Names: columns and functions.
    bool resolve() {
        std::size_t calls = 0;
        for (std::uint32_t i = 0; i < n_; ++i) {
            const Node &n = e_.nodes[i];
            if (n.type == NodeType::Column && !column(i)) return false;
            if (n.type != NodeType::Call) continue;
            const std::string &name = e_.text_of(n);
            if (name == "IFN") {
                ifn_[i] = true;
                if (n.nkids != 3)
                    return fail("IFN takes 3 arguments, got " + std::to_string(n.nkids) + " (" + where(n.pos) +
                                "): IFN(condition, then, else)");
                continue;
            }
            const qvh_info *f = qvh_function_find(name.c_str());
            if (f == nullptr) {
                const std::string hint = suggest_function(name);
                return fail("unknown function " + name + " at " + where(n.pos) +
                            (hint.empty() ? "" : " (did you mean " + hint + "?)"));
            }
            const int count = static_cast<int>(n.nkids);
            if (count < f->min_args || (f->max_args >= 0 && count > f->max_args))
                return fail(name + " takes " + arity_text(f->min_args, f->max_args) + ", got " + std::to_string(count) +
                            " (" + where(n.pos) + "): " + f->usage + ": " + f->summary);
            fn_[i] = f;
            if (++calls > MAX_CALLS)
                return fail("the expression makes more than " + std::to_string(MAX_CALLS) + " calls of the package (" +
                            where(n.pos) + ")");
        }
        return true;
    }

    bool column(std::uint32_t i) {
        const Node &n = e_.nodes[i];
        const std::string &name = e_.text_of(n);
        std::string problem;
        const long v = scope_.line_mode ? -1 : scope_.find(name, problem);
        if (v >= 0) {
            var_[i] = v;
            const Variable &var = scope_.var(static_cast<std::size_t>(v));
            nat_[i] = var.kind;
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
        std::vector<std::string_view> names;
        for (std::size_t v = 0; v < scope_.size(); ++v) names.push_back(scope_.var(v).name);
        const std::string hint = nearest_name(name, names);
        return fail("unknown column " + name + " at " + where(n.pos) + (hint.empty() ? "" : " (did you mean " + hint + "?)") +
                    scope_.unknown_hint);
    }

    // Kinds: what each node gives by itself (bottom up), then what its parent wants (top down).
    bool kinds() {
        for (std::uint32_t i = 0; i < n_; ++i) {
            const Node &n = e_.nodes[i];
            switch (n.type) {
                case NodeType::Number: nat_[i] = Kind::Num; break;
                case NodeType::Text: nat_[i] = Kind::Chr; break;
                case NodeType::Column: break;
                case NodeType::Unary:
                case NodeType::Binary: nat_[i] = Kind::Num; break;
                case NodeType::Call:
                    if (!ifn_[i]) {
                        nat_[i] = fn_[i]->result_kind == QVH_KIND_CHR ? Kind::Chr : Kind::Num;
                        break;
                    }
                    {
                        const Kind a = nat_[e_.kid(n, 1)], b = nat_[e_.kid(n, 2)];
                        if (a != Kind::Flexible && b != Kind::Flexible && a != b)
                            return fail("IFN at " + where(n.pos) + " gives " + kind_text(a) + " when true and " +
                                        kind_text(b) + " when false; both must be of one kind");
                        nat_[i] = a != Kind::Flexible ? a : b;
                    }
                    break;
            }
        }
        for (std::uint32_t i = n_; i-- > 0;) {
            const Node &n = e_.nodes[i];
            fin_[i] = nat_[i] != Kind::Flexible ? nat_[i] : want_[i] == WANT_CHR ? Kind::Chr : Kind::Num;
            if (want_[i] != WANT_ANY && static_cast<std::uint8_t>(fin_[i]) != want_[i]) return mismatch(i);
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
                        return fail("'" + std::string(op_text(n.op)) + "' at " + where(n.pos) + " compares " + kind_text(a) +
                                    " with " + kind_text(b));
                    want_[kid] = a == Kind::Chr || b == Kind::Chr ? WANT_CHR : WANT_NUM;
                } else {
                    want_[kid] = WANT_NUM;
                }
            }
        }
        return true;
    }

    bool mismatch(std::uint32_t i) {
        const Node &p = e_.nodes[parent_[i]];
        const std::string at = " (" + where(e_.nodes[i].pos) + ")";
        if (e_.nodes[i].type == NodeType::Column)
            return fail("column " + scope_.var(static_cast<std::size_t>(var_[i])).name + " holds " +
                        (fin_[i] == Kind::Num ? "numbers, not character values" : "character values, not numbers") + at);
        const std::string got = std::string(kind_text(Kind(want_[i]))) + ", not " + kind_text(fin_[i]);
        if (p.type == NodeType::Call && ifn_[parent_[i]]) return fail("the condition of IFN must be " + got + at);
        if (p.type == NodeType::Call)
            return fail("argument " + std::to_string(arg_[i] + 1) + " of " + e_.text_of(p) + " must be " + got + at);
        return fail("'" + std::string(op_text(p.op)) + "' needs numbers, not " + kind_text(fin_[i]) + at);
    }

    // In a summary: which calls aggregate over rows, and which names may stand where.
    bool classify() {
        for (std::uint32_t i = 0; i < n_; ++i) {
            const Node &n = e_.nodes[i];
            for (std::uint32_t k = 0; k < n.nkids; ++k) has_col_[i] = has_col_[i] || has_col_[e_.kid(n, k)];
        }
        if (scope_.summary) {
            for (std::uint32_t i = n_; i-- > 0;) {
                const Node &n = e_.nodes[i];
                bool inside = inside_[i];
                if (!inside && n.type == NodeType::Call && fn_[i] != nullptr && fn_[i]->aggregate != QVH_AGG_NONE) {
                    bool data = false;
                    for (std::uint32_t k = fn_[i]->leading_param ? 1 : 0; k < n.nkids; ++k) data = data || has_col_[e_.kid(n, k)];
                    if (data) {
                        agg_[i] = 0;  // numbered in aggregate()
                        agg_at_start_[n.start] = i;
                        inside = true;
                        if (fn_[i]->leading_param && has_col_[e_.kid(n, 0)])
                            return fail(std::string("the ") + (std::strncmp(fn_[i]->usage + std::strlen(fn_[i]->name), "(p", 2) == 0 ? "percentile" : "rank") +
                                        " of " + fn_[i]->name + " must be the same for every row; it cannot use a column (" +
                                        where(e_.nodes[e_.kid(n, 0)].pos) + ")");
                    }
                }
                for (std::uint32_t k = 0; k < n.nkids; ++k) inside_[e_.kid(n, k)] = inside;
            }
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
        }
        // Constant arguments of a call are set once, when the call is prepared; a column is read
        // straight into its argument.
        for (std::uint32_t i = 0; i < n_; ++i) {
            const Node &n = e_.nodes[i];
            if (n.type != NodeType::Call || ifn_[i] || agg_[i] != NONE) continue;
            for (std::uint32_t k = 0; k < n.nkids; ++k) {
                const NodeType t = e_.nodes[e_.kid(n, k)].type;
                preset_[e_.kid(n, k)] = t == NodeType::Number || t == NodeType::Text;
                direct_[e_.kid(n, k)] = t == NodeType::Column;
            }
        }
        return true;
    }

    // The program of the subtree whose root is the given node.
    bool emit_subtree(std::uint32_t root, Program &out) { return emit(e_.nodes[root].start, root, out); }

    bool aggregate(std::uint32_t i, std::vector<Aggregate> &list) {
        const Node &n = e_.nodes[i];
        Aggregate a;
        a.info = fn_[i];
        std::uint32_t first = 0;
        if (a.info->leading_param) {
            Program param;
            if (!emit_subtree(e_.kid(n, 0), param)) return false;
            if (!param.run(nullptr)) return fail(param.error());
            a.has_param = true;
            a.param = param.result().num;
            first = 1;
        }
        for (std::uint32_t k = first; k < n.nkids; ++k) {
            const std::uint32_t kid = e_.kid(n, k);
            a.args.emplace_back();
            if (!emit_subtree(kid, a.args.back())) return false;
            // The key: every node of the argument, names resolved, so that spelling does not matter.
            for (std::uint32_t j = e_.nodes[kid].start; j <= kid; ++j) {
                const Node &m = e_.nodes[j];
                a.input_key += std::to_string(static_cast<int>(m.type)) + ":" + std::to_string(static_cast<int>(m.op)) + ":" +
                               std::to_string(m.nkids) + ":";
                if (m.type == NodeType::Number) a.input_key += std::to_string(std::bit_cast<std::uint64_t>(m.num));
                if (m.type == NodeType::Column) a.input_key += "v" + std::to_string(var_[j]);
                if (m.type == NodeType::Text || m.type == NodeType::Call) a.input_key += std::to_string(e_.text_of(m).size()) + e_.text_of(m);
                a.input_key += ";";
            }
            a.input_key += "|";
        }
        agg_[i] = static_cast<std::uint32_t>(list.size());
        list.push_back(std::move(a));
        return true;
    }

    // Code for the nodes [first, last], a whole subtree; in the expression's own program the
    // subtrees of statistics become reads of their results.
    bool emit(std::uint32_t first, std::uint32_t last, Program &out) {
        Program::Impl &m = *out.impl_;
        out.uses_.assign(scope_.size(), 0);
        std::size_t height = 0;
        auto push = [&](Ins in, long delta) {
            m.code.push_back(in);
            height = static_cast<std::size_t>(static_cast<long>(height) + delta);
            m.stack_size = std::max(m.stack_size, height);
        };
        const bool whole = first == 0 && last == e_.root();
        for (std::uint32_t i = first; i <= last; ++i) {
            if (whole && agg_at_start_[i] != NONE) {
                i = agg_at_start_[i];
                push({Code::Agg, Op::None, agg_[i], 0.0}, 1);
                after(i, m, height);
                continue;
            }
            const Node &n = e_.nodes[i];
            if (preset_[i] && i != last) continue;
            if (direct_[i] && i != last) {
                out.uses_[static_cast<std::size_t>(var_[i])] |= fin_[i] == Kind::Chr ? 2u : 1u;
                continue;
            }
            switch (n.type) {
                case NodeType::Number: push({Code::Num, Op::None, 0, n.num}, 1); break;
                case NodeType::Text:
                    m.strings.push_back(e_.text_of(n));
                    push({Code::Str, Op::None, static_cast<std::uint32_t>(m.strings.size() - 1), 0.0}, 1);
                    break;
                case NodeType::Column:
                    out.uses_[static_cast<std::size_t>(var_[i])] |= fin_[i] == Kind::Chr ? 2u : 1u;
                    push({Code::Var, Op::None, static_cast<std::uint32_t>(var_[i]), 0.0}, 1);
                    break;
                case NodeType::Unary:
                    if (n.op == Op::Neg) {
                        m.ops.push_back(n.op);
                        push({Code::Neg, n.op, static_cast<std::uint32_t>(m.ops.size() - 1), 0.0}, 0);
                    } else if (n.op == Op::Not) {
                        push({Code::Not, n.op, 0, 0.0}, 0);
                    }
                    break;
                case NodeType::Binary: {
                    Code code = Code::Arith;
                    if (is_comparison(n.op)) code = fin_[e_.kid(n, 0)] == Kind::Chr ? Code::CmpStr : Code::CmpNum;
                    if (n.op == Op::And) code = Code::And;
                    if (n.op == Op::Or) code = Code::Or;
                    std::uint32_t site = 0;
                    if (code == Code::Arith) {
                        m.ops.push_back(n.op);
                        site = static_cast<std::uint32_t>(m.ops.size() - 1);
                    }
                    push({code, n.op, site, 0.0}, -1);
                    break;
                }
                case NodeType::Call:
                    if (ifn_[i]) {
                        m.code[jump_[i]].a = static_cast<std::uint32_t>(m.code.size());
                        break;
                    }
                    if (!call(i, m)) return false;
                    push({Code::Call, Op::None, static_cast<std::uint32_t>(m.calls.size() - 1), 0.0},
                         1 - static_cast<long>(m.calls.back().from_stack));
                    break;
            }
            after(i, m, height);
        }
        out.kind_ = fin_[last];
        m.stack.assign(std::max<std::size_t>(m.stack_size, 1), Value{});
        return true;
    }

    // The jumps of IFN: after its condition, and after the value for true.
    void after(std::uint32_t i, Program::Impl &m, std::size_t &height) {
        const std::uint32_t p = parent_[i];
        if (p == NONE || !ifn_[p]) return;
        if (arg_[i] == 0) {
            jump_[p] = static_cast<std::uint32_t>(m.code.size());
            m.code.push_back({Code::JumpIfFalse, Op::None, 0, 0.0});
            --height;
        } else if (arg_[i] == 1) {
            const std::uint32_t jf = jump_[p];
            jump_[p] = static_cast<std::uint32_t>(m.code.size());
            m.code.push_back({Code::Jump, Op::None, 0, 0.0});
            m.code[jf].a = static_cast<std::uint32_t>(m.code.size());
            --height;  // the value for false starts where the condition was
        }
    }

    bool call(std::uint32_t i, Program::Impl &m) {
        const Node &n = e_.nodes[i];
        CallSite site;
        site.info = fn_[i];
        site.result = nat_[i];
        if (qvh_call_new(pkg_, fn_[i]->name, &site.call) != QVH_OK)
            return fail(std::string(qvh_errmsg()) + " (" + where(n.pos) + ")");
        m.calls.push_back(site);  // freed with the program from here on
        CallSite &c = m.calls.back();
        for (std::uint32_t k = 0; k < n.nkids; ++k) {
            const std::uint32_t kid = e_.kid(n, k);
            const Node &arg = e_.nodes[kid];
            int rc = QVH_OK;
            if (preset_[kid] && arg.type == NodeType::Number) {
                rc = qvh_call_add_num(c.call, arg.num);
            } else if (preset_[kid]) {
                rc = qvh_call_add_str(c.call, e_.text_of(arg).data(), e_.text_of(arg).size());
            } else {
                c.live.push_back({k, fin_[kid], direct_[kid] ? var_[kid] : -1});
                c.from_stack += direct_[kid] ? 0 : 1;
                rc = fin_[kid] == Kind::Chr ? qvh_call_add_str(c.call, "", 0) : qvh_call_add_num(c.call, 0.0);
            }
            if (rc != QVH_OK)
                return fail("argument " + std::to_string(k + 1) + " of " + fn_[i]->name + " (" + where(arg.pos) +
                            "): " + qvh_errmsg());
        }
        return true;
    }

    const Expr &e_;
    const Scope &scope_;
    qvh_package *pkg_;
    const std::string &label_;
    const std::uint32_t n_;
    std::string error_;
    std::vector<long> var_;
    std::vector<const qvh_info *> fn_;
    std::vector<bool> ifn_;
    std::vector<Kind> nat_, fin_;
    std::vector<std::uint8_t> want_;
    std::vector<std::uint32_t> parent_, arg_;
    std::vector<bool> has_col_, inside_;
    std::vector<std::uint32_t> agg_, agg_at_start_;
    std::vector<bool> preset_, direct_;
    std::vector<std::uint32_t> jump_;
};

bool compile(const Expr &expr, const Scope &scope, qvh_package *pkg, const std::string &label, Compiled &out,
             std::string &error) {
    out.program = Program();
    return Compiler(expr, scope, pkg, label).run(out, error);
}

}  // namespace qvcli

// Running a compiled program: one pass over its instructions, values on a fixed stack.
#include <cmath>

#include "code.hpp"

namespace qvcli {

const char *status_text(std::int32_t status) {
    switch (status) {
        case NOTE_MISSING_OPERAND: return "missing operand";
        case NOTE_DIVISION_BY_ZERO: return "division by zero";
        case NOTE_INVALID_OPERATION: return "invalid operation";
        default: return qvh_status_name(status);
    }
}

Package::~Package() { qvh_close(pkg_); }

bool Package::open(const std::string &path, std::string &error) {
    if (qvh_open(path.empty() ? nullptr : path.c_str(), &pkg_) == QVH_OK) return true;
    error = qvh_errmsg();
    return false;
}

namespace {

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

double flag(bool b) { return b ? 1.0 : 0.0; }

}  // namespace

Program::Program() : impl_(std::make_unique<Impl>()) {}
Program::~Program() = default;
Program::Program(Program &&) noexcept = default;
Program &Program::operator=(Program &&) noexcept = default;

bool Program::fail(std::string message) {
    error_ = std::move(message);
    return false;
}

// Sets the call's arguments from the variables and the stack, calls it, and leaves its result on
// the stack in place of the arguments taken from it.
inline bool Program::invoke(std::uint32_t site, const Value *vars, Value *&sp) {
    CallSite &c = impl_->calls[site];
    Value *args = sp - c.from_stack;
    const Value *next = args;
    for (const CallSite::Live &a : c.live) {
        const Value &v = a.var >= 0 ? vars[a.var] : *next++;
        const int rc = a.kind == Kind::Chr ? qvh_call_set_str(c.call, a.index, v.str, v.len)
                                           : qvh_call_set_num(c.call, a.index, v.num);
        if (rc != QVH_OK) return fail(qvh_errmsg());
    }
    if (qvh_call_invoke(c.call) != QVH_OK) return fail(qvh_errmsg());
    const std::int32_t status = qvh_call_status(c.call);
    // Running out of memory leaves no result to show: the job stops.
    if (qvh_status_is_memory(status)) {
        char message[256];
        qvh_nomem_message(c.info->name, 0, 0, qvh_call_asked(c.call), message, sizeof message);
        return fail(message);
    }
    if (status != QVH_STATUS_OK) notes_.push_back({site, status});
    sp = args;
    if (c.result == Kind::Chr) {
        const char *s = qvh_call_result_str(c.call, &sp->len);
        sp->str = s != nullptr ? s : "";
    } else {
        sp->num = qvh_call_result(c.call);
    }
    ++sp;
    return true;
}

// a = a op b. A missing operand, a division by zero or a result that is no number gives . and a
// note.
inline void Program::arithmetic(Op op, std::uint32_t site, double &a, double b) {
    std::int32_t note = 0;
    double r = 0.0;
    if (std::isnan(a) || std::isnan(b)) {
        note = NOTE_MISSING_OPERAND;
    } else {
        switch (op) {
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
        r = qvh_dot();
        notes_.push_back({OP_SITE | site, note});
    }
    a = r;
}

bool Program::run(const Value *vars, const Value *aggs) {
    Impl &m = *impl_;
    notes_.clear();
    Value *sp = m.stack.data();
    const Ins *code = m.code.data();
    const std::size_t size = m.code.size();
    for (std::size_t pc = 0; pc < size; ++pc) {
        const Ins &in = code[pc];
        switch (in.code) {
            case Code::Num: (sp++)->num = in.num; break;
            case Code::Str:
                sp->str = m.strings[in.a].data();
                sp->len = m.strings[in.a].size();
                ++sp;
                break;
            case Code::Var: *sp++ = vars[in.a]; break;
            case Code::Agg: *sp++ = aggs[in.a]; break;
            case Code::Call:
                if (!invoke(in.a, vars, sp)) return false;
                break;
            case Code::Neg:
                if (std::isnan(sp[-1].num)) {
                    sp[-1].num = qvh_dot();
                    notes_.push_back({OP_SITE | in.a, NOTE_MISSING_OPERAND});
                } else {
                    sp[-1].num = -sp[-1].num;
                }
                break;
            case Code::Not: sp[-1].num = flag(!truth(sp[-1].num)); break;
            case Code::Arith:
                --sp;
                arithmetic(in.op, in.a, sp[-1].num, sp->num);
                break;
            case Code::CmpNum:
                --sp;
                sp[-1].num = flag(holds(in.op, order_num(sp[-1].num, sp->num)));
                break;
            case Code::CmpStr:
                --sp;
                sp[-1].num = flag(holds(in.op, order_str(sp[-1], *sp)));
                break;
            case Code::And:
                --sp;
                sp[-1].num = flag(truth(sp[-1].num) && truth(sp->num));
                break;
            case Code::Or:
                --sp;
                sp[-1].num = flag(truth(sp[-1].num) || truth(sp->num));
                break;
            case Code::JumpIfFalse:
                --sp;
                if (!truth(sp->num)) pc = in.a - 1;
                break;
            case Code::Jump: pc = in.a - 1; break;
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

}  // namespace qvcli

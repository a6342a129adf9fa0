// The code of a checked expression: instructions in the order of the flat tree, prepared calls
// of the package with their constant arguments set once, and in a summary one program per
// argument of each statistic.
#include <algorithm>
#include <bit>

#include "compiler.hpp"

namespace qvcli {

// Constant arguments of a call are set once, when the call is prepared; a column is read
// straight into its argument.
void Compiler::mark_presets() {
    for (std::uint32_t i = 0; i < n_; ++i) {
        const Node &n = e_.nodes[i];
        if (n.type != NodeType::Call || ifn_[i] || agg_[i] != NONE) continue;
        for (std::uint32_t k = 0; k < n.nkids; ++k) {
            const NodeType t = e_.nodes[e_.kid(n, k)].type;
            preset_[e_.kid(n, k)] = t == NodeType::Number || t == NodeType::Text;
            direct_[e_.kid(n, k)] = t == NodeType::Column;
        }
    }
}

bool Compiler::aggregate(std::uint32_t i, std::vector<Aggregate> &list) {
    const Node &n = e_.nodes[i];
    Aggregate a;
    a.info = fn_[i];
    std::uint32_t first = 0;
    if (a.info->leading_param) {
        const std::uint32_t root = e_.kid(n, 0);
        Program param;
        if (!emit(e_.nodes[root].start, root, param)) return false;
        if (!param.run(nullptr)) return fail(param.error());
        a.has_param = true;
        a.param = param.result().num;
        first = 1;
    }
    for (std::uint32_t k = first; k < n.nkids; ++k) {
        const std::uint32_t kid = e_.kid(n, k);
        a.args.emplace_back();
        if (!emit(e_.nodes[kid].start, kid, a.args.back())) return false;
        // The key: every node of the argument, names resolved, so that spelling does not matter.
        for (std::uint32_t j = e_.nodes[kid].start; j <= kid; ++j) {
            const Node &m = e_.nodes[j];
            a.input_key += std::to_string(static_cast<int>(m.type)) + ":" + std::to_string(static_cast<int>(m.op)) + ":" +
                           std::to_string(m.nkids) + ":";
            if (m.type == NodeType::Number) a.input_key += std::to_string(std::bit_cast<std::uint64_t>(m.num));
            if (m.type == NodeType::Column) a.input_key.append("v").append(std::to_string(var_[j]));
            if (m.type == NodeType::Text || m.type == NodeType::Call)
                a.input_key += std::to_string(e_.text_of(m).size()) + e_.text_of(m);
            a.input_key += ";";
        }
        a.input_key += "|";
    }
    agg_[i] = static_cast<std::uint32_t>(list.size());
    list.push_back(std::move(a));
    return true;
}

void Compiler::push(Program::Impl &m, Ins in, long delta, std::size_t &height) {
    m.code.push_back(in);
    height = static_cast<std::size_t>(static_cast<long>(height) + delta);
    m.stack_size = std::max(m.stack_size, height);
}

// Code for the nodes [first, last], a whole subtree; in the expression's own program the
// subtrees of statistics become reads of their results.
bool Compiler::emit(std::uint32_t first, std::uint32_t last, Program &out) {
    Program::Impl &m = *out.impl_;
    out.uses_.assign(scope_.size(), 0);
    std::size_t height = 0;
    const bool whole = first == 0 && last == e_.root();
    for (std::uint32_t i = first; i <= last; ++i) {
        if (whole && agg_at_start_[i] != NONE) {
            i = agg_at_start_[i];
            push(m, {Code::Agg, Op::None, agg_[i], 0.0}, 1, height);
        } else if (preset_[i] && i != last) {
            continue;
        } else if (direct_[i] && i != last) {
            out.uses_[static_cast<std::size_t>(var_[i])] |= fin_[i] == Kind::Chr ? 2u : 1u;
            continue;
        } else if (!emit_node(i, out, height)) {
            return false;
        }
        after(i, m, height);
    }
    out.kind_ = fin_[last];
    m.stack.assign(std::max<std::size_t>(m.stack_size, 1), Value{});
    return true;
}

bool Compiler::emit_node(std::uint32_t i, Program &out, std::size_t &height) {
    Program::Impl &m = *out.impl_;
    const Node &n = e_.nodes[i];
    switch (n.type) {
        case NodeType::Number: push(m, {Code::Num, Op::None, 0, n.num}, 1, height); break;
        case NodeType::Text:
            m.strings.push_back(e_.text_of(n));
            push(m, {Code::Str, Op::None, static_cast<std::uint32_t>(m.strings.size() - 1), 0.0}, 1, height);
            break;
        case NodeType::Column:
            out.uses_[static_cast<std::size_t>(var_[i])] |= fin_[i] == Kind::Chr ? 2u : 1u;
            push(m, {Code::Var, Op::None, static_cast<std::uint32_t>(var_[i]), 0.0}, 1, height);
            break;
        case NodeType::Unary:
            if (n.op == Op::Neg) {
                m.ops.push_back(n.op);
                push(m, {Code::Neg, n.op, static_cast<std::uint32_t>(m.ops.size() - 1), 0.0}, 0, height);
            } else if (n.op == Op::Not) {
                push(m, {Code::Not, n.op, 0, 0.0}, 0, height);
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
            push(m, {code, n.op, site, 0.0}, -1, height);
            break;
        }
        case NodeType::Call:
            if (ifn_[i]) {
                m.code[jump_[i]].a = static_cast<std::uint32_t>(m.code.size());
                break;
            }
            if (!call(i, m)) return false;
            push(m, {Code::Call, Op::None, static_cast<std::uint32_t>(m.calls.size() - 1), 0.0},
                 1 - static_cast<long>(m.calls.back().from_stack), height);
            break;
    }
    return true;
}

// The jumps of IFN: after its condition, and after the value for true.
void Compiler::after(std::uint32_t i, Program::Impl &m, std::size_t &height) {
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

bool Compiler::call(std::uint32_t i, Program::Impl &m) {
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
        if (rc != QVH_OK) return fail(std::string(qvh_errmsg()) + " (" + where(arg.pos) + ")");
    }
    return true;
}

bool compile(const Expr &expr, const Scope &scope, qvh_package *pkg, const std::string &label, Compiled &out,
             std::string &error) {
    out.program = Program();
    return Compiler(expr, scope, pkg, label).run(out, error);
}

}  // namespace qvcli

// The inside of a compiled program, shared by the compiler that writes it and the evaluator that
// runs it: instructions over a value stack, and the prepared calls of the package.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "program.hpp"

namespace qvcli {

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

// Notes of operators carry this bit in their site; the rest is the index into Impl::ops.
constexpr std::uint32_t OP_SITE = 0x80000000u;

struct Program::Impl {
    std::vector<Ins> code;
    std::vector<CallSite> calls;
    std::vector<Op> ops;  // operator sites
    std::vector<std::string> strings;
    std::vector<Value> stack;
    std::size_t stack_size = 0;

    Impl() = default;
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;
    ~Impl() {
        for (CallSite &c : calls) qvh_call_free(c.call);
    }
};

}  // namespace qvcli

#include "program.hpp"

#include <algorithm>
#include <cctype>

namespace qvhost {

namespace {

constexpr std::size_t MAX_CHARS = 0xFFFF;  // a CharValue counts characters in 16 bits

bool same_letters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::string arity_text(const qvh_info &sig) {
    if (sig.max_args < 0) return "at least " + std::to_string(sig.min_args) + " argument" + (sig.min_args == 1 ? "" : "s");
    std::string n = sig.min_args == sig.max_args ? std::to_string(sig.min_args)
                                                 : std::to_string(sig.min_args) + " to " + std::to_string(sig.max_args);
    return n + (n == "1" ? " argument" : " arguments");
}

std::string to_upper(std::string_view s) {
    std::string out;
    for (char c : s) out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return out;
}

}  // namespace

const std::vector<std::string_view> &function_names() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> v;
        for (std::size_t i = 0; i < qvh_function_count(); ++i) v.push_back(qvh_function_at(i)->name);
        return v;
    }();
    return names;
}

struct Program::Operand {
    enum class Source { Literal, Variable, Call } source = Source::Literal;
    bool chr = false;
    double num = 0.0;     // a numeric literal
    std::u32string text;  // a character literal
    int var = -1;
    Step *call = nullptr;
};

struct Program::Step {
    const qvh_info *sig = nullptr;
    QvEntry entry{};
    std::vector<Operand> operands;
    std::vector<double> nums;        // the value of each numeric slot
    std::vector<CharValue> chars;    // the value of each character slot
    std::vector<std::uint64_t> raw;  // the FuncArgList record
    FuncArgList *list = nullptr;
    double result = 0.0;
    std::u32string buffer;  // a character result's characters
    CharValue char_result{};
    QvStatus status = STATUS_OK;
};

Program::Program() = default;
Program::~Program() = default;
Program::Program(Program &&) noexcept = default;
Program &Program::operator=(Program &&) noexcept = default;

bool Program::compile(const Node &root, const Lookup &lookup, const std::vector<std::string> &variables,
                      HostPool *pool, Error &error) {
    lookup_ = &lookup;
    variables_ = &variables;
    pool_ = pool;
    steps_.clear();
    uses_.assign(variables.size(), 0);
    root_ = std::make_unique<Operand>();
    const bool ok = bind(root, Kind::Any, *root_, error);
    lookup_ = nullptr;
    variables_ = nullptr;
    if (!ok) {
        root_.reset();
        steps_.clear();
    }
    return ok;
}

bool Program::bind(const Node &node, Kind want, Operand &out, Error &error) {
    switch (node.type) {
        case Node::Type::Number:
            out.num = node.num;
            return true;
        case Node::Type::Text:
            out.chr = true;
            out.text = node.text;
            return true;
        case Node::Type::Name: {
            const auto &vars = *variables_;
            auto it = std::find(vars.begin(), vars.end(), node.name);
            if (it == vars.end())
                it = std::find_if(vars.begin(), vars.end(), [&](const std::string &v) { return same_letters(v, node.name); });
            if (it == vars.end()) {
                const std::string where = " at column " + std::to_string(node.column);
                if (vars.empty()) {
                    const bool is_function = qvh_function_find(to_upper(node.name).c_str()) != nullptr;
                    error.message = "unknown name " + node.name + where +
                                    (is_function ? " (a call needs parentheses: " + to_upper(node.name) + "(...))"
                                                 : " (names stand for the columns of a --csv table)");
                } else {
                    const std::vector<std::string_view> candidates(vars.begin(), vars.end());
                    const std::string hint = nearest_name(node.name, candidates);
                    error.message = "unknown column name " + node.name + where + (hint.empty() ? "" : " (did you mean " + hint + "?)");
                }
                return false;
            }
            out.source = Operand::Source::Variable;
            out.var = static_cast<int>(it - vars.begin());
            out.chr = want == Kind::Chr;  // where either kind will do, a variable is a number
            uses_[static_cast<std::size_t>(out.var)] |= out.chr ? USE_CHR : USE_NUM;
            return true;
        }
        case Node::Type::Call:
            break;
    }

    const qvh_info *sig = qvh_function_find(node.name.c_str());
    if (sig == nullptr) {
        const std::string hint = nearest_name(node.name, function_names());
        error.message = "unknown function " + node.name + " at column " + std::to_string(node.column) +
                        (hint.empty() ? "" : " (did you mean " + hint + "?)");
        return false;
    }
    const int n = static_cast<int>(node.args.size());
    if (n < sig->min_args || (sig->max_args >= 0 && n > sig->max_args)) {
        error.message = node.name + " takes " + arity_text(*sig) + ", got " + std::to_string(n) + " (column " +
                        std::to_string(node.column) + "): " + std::string(sig->usage) + ": " + sig->summary;
        return false;
    }
    auto step = std::make_unique<Step>();
    step->sig = sig;
    step->operands.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const Node &arg = *node.args[static_cast<std::size_t>(i)];
        const Kind kind = static_cast<Kind>(i == 0 ? sig->first_kind : sig->rest_kind);
        Operand &op = step->operands[static_cast<std::size_t>(i)];
        if (!bind(arg, kind, op, error)) return false;
        if (kind == Kind::Num && op.chr) {
            error.message = node.name + ": argument " + std::to_string(i + 1) + " (column " + std::to_string(arg.column) +
                            ") must be numeric, not a character value";
            return false;
        }
        if (kind == Kind::Chr && !op.chr) {
            error.message = node.name + ": argument " + std::to_string(i + 1) + " (column " + std::to_string(arg.column) +
                            ") must be a character value, not a number";
            return false;
        }
    }
    const FuncTableRow *row = (*lookup_)(node.name);
    if (row == nullptr || row->entry.scalar == nullptr) {
        error.message = node.name + " is not available in this package";
        return false;
    }
    step->entry = row->entry;

    // The list record and the values its slots address stay where they are for every run.
    step->nums.assign(static_cast<std::size_t>(n), 0.0);
    step->chars.assign(static_cast<std::size_t>(n), CharValue{});
    step->raw.assign((sizeof(FuncArgList) + static_cast<std::size_t>(n) * sizeof(FuncArg)) / sizeof(std::uint64_t), 0);
    step->list = reinterpret_cast<FuncArgList *>(step->raw.data());
    step->list->pool = pool_;
    step->list->count = n;
    for (std::size_t i = 0; i < step->operands.size(); ++i) {
        Operand &op = step->operands[i];
        FuncArg &slot = step->list->args[i];
        slot.flags = op.chr ? 0 : FUNCARG_NUMERIC;
        slot.value = op.chr ? static_cast<void *>(&step->chars[i]) : static_cast<void *>(&step->nums[i]);
        step->nums[i] = op.num;
    }
    out.source = Operand::Source::Call;
    out.chr = sig->form == QVH_FORM_CHAR_LIST;
    out.call = step.get();
    steps_.push_back(std::move(step));
    return true;
}

void Program::evaluate(Operand &operand, const VarValue *vars) {
    if (operand.source != Operand::Source::Call) return;
    Step &step = *operand.call;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < step.operands.size(); ++i) {
        Operand &op = step.operands[i];
        evaluate(op, vars);
        step.list->args[i].flags &= ~FUNCARG_INVALID;
        if (!op.chr) {
            if (op.source == Operand::Source::Variable) step.nums[i] = vars[op.var].num;
            if (op.source == Operand::Source::Call) step.nums[i] = op.call->result;
            continue;
        }
        const char32_t *chars = op.text.data();
        std::size_t length = op.text.size();
        if (op.source == Operand::Source::Variable) {
            chars = vars[op.var].chars;
            length = vars[op.var].length;
        } else if (op.source == Operand::Source::Call) {
            chars = op.call->buffer.data();
            length = op.call->char_result.length;
        }
        length = std::min(length, MAX_CHARS);
        longest = std::max(longest, length);
        CharValue &cv = step.chars[i];
        cv.capacity = cv.length = static_cast<std::uint16_t>(length);
        cv.chars = reinterpret_cast<std::uint32_t *>(const_cast<char32_t *>(chars));
    }
    switch (step.sig->form) {
        case QVH_FORM_SCALAR:
            step.status = step.entry.scalar(&step.result, step.nums[0]);
            break;
        case QVH_FORM_LIST:
            step.status = step.entry.list(step.list, &step.result);
            break;
        default:
            // Room for the longest argument: the result is always a copy of one of them.
            step.buffer.assign(longest, U' ');
            step.char_result.capacity = static_cast<std::uint16_t>(longest);
            step.char_result.length = 0;
            step.char_result.chars = reinterpret_cast<std::uint32_t *>(step.buffer.data());
            step.status = step.entry.charList(step.list, &step.char_result);
            break;
    }
}

void Program::run(const VarValue *vars) {
    Operand &root = *root_;
    evaluate(root, vars);
    switch (root.source) {
        case Operand::Source::Literal:
            result_num_ = root.num;
            result_text_ = root.text;
            break;
        case Operand::Source::Variable:
            result_num_ = vars[root.var].num;
            result_text_ = {vars[root.var].chars, vars[root.var].length};
            break;
        case Operand::Source::Call:
            result_num_ = root.call->result;
            result_text_ = {root.call->buffer.data(), root.call->char_result.length};
            break;
    }
}

bool Program::is_char() const { return root_->chr; }

std::vector<Note> Program::notes() const {
    std::vector<Note> out;
    for (const auto &step : steps_) {
        Note note;
        for (std::size_t i = 0; i < step->operands.size(); ++i)
            if (step->list->args[i].flags & FUNCARG_INVALID) note.marked.push_back(static_cast<int>(i + 1));
        if (step->status == STATUS_OK && note.marked.empty()) continue;
        note.function = std::string(step->sig->name);
        note.status = step->status;
        out.push_back(std::move(note));
    }
    return out;
}

std::string describe_result(const Program &program) {
    std::string line = program.is_char() ? format_text(std::u32string(program.text())) : format_number(program.number());
    const std::vector<Note> notes = program.notes();
    for (std::size_t k = 0; k < notes.size(); ++k) {
        const Note &note = notes[k];
        line += k == 0 ? "  (" : "; ";
        line += status_name(note.status);
        if (note.marked.empty()) {
            line += " in " + note.function;
            continue;
        }
        line += note.marked.size() == 1 ? "; argument " : "; arguments ";
        for (std::size_t i = 0; i < note.marked.size(); ++i) {
            if (i > 0) line += ", ";
            line += std::to_string(note.marked[i]);
        }
        line += " of " + note.function + " marked invalid";
    }
    if (!notes.empty()) line += ")";
    return line;
}

}  // namespace qvhost

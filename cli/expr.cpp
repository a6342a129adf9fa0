// The parser of expressions: operators and operands read left to right onto two stacks, with no
// recursion, into the flat tree of expr.hpp.
#include "expr.hpp"

#include <cctype>
#include <cmath>

#include "qvhost.h"

namespace qvcli {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Binding strength: the higher, the tighter.
int precedence(Op op) {
    switch (op) {
        case Op::Or: return 1;
        case Op::And: return 2;
        case Op::Not: return 3;
        case Op::Eq: case Op::Ne: case Op::Lt: case Op::Le: case Op::Gt: case Op::Ge: return 4;
        case Op::Add: case Op::Sub: return 5;
        case Op::Mul: case Op::Div: return 6;
        case Op::Neg: case Op::Plus: return 7;
        case Op::Pow: return 8;
        case Op::None: break;
    }
    return 0;
}

class Parser {
public:
    Parser(std::string_view text, std::size_t from, Expr &out) : s_(text), i_(from), out_(out) {}

    bool run(SyntaxError &error) {
        out_ = Expr{};
        out_.source = std::string(s_);
        if (s_.size() > MAX_EXPRESSION)
            return fail(error, 0, "the expression has " + std::to_string(s_.size()) + " bytes; one holds at most " +
                                      std::to_string(MAX_EXPRESSION));
        bool operand = true;  // an operand is expected next
        for (;;) {
            skip();
            const std::size_t token = i_;
            if (operand) {
                if (at_end()) {
                    if (out_.nodes.empty() && pending_.empty()) return fail(error, i_, "empty expression");
                    return fail(error, i_, "expression expected, found end of input");
                }
                operand = !read_operand();
            } else {
                if (at_end()) break;
                operand = read_operator();
            }
            if (!failed_ && pending_.size() > MAX_NESTING)
                set_error(token, "expression nested deeper than " + std::to_string(MAX_NESTING) + " levels");
            if (failed_) break;
        }
        if (!failed_) {
            reduce(0, false);
            if (!pending_.empty()) set_error(s_.size(), "')' expected, found end of input");
        }
        if (failed_) {
            error = error_;
            return false;
        }
        return true;
    }

private:
    struct Pending {
        enum Kind : std::uint8_t { Paren, Call, Unary, Binary } kind;
        Op op;
        std::uint32_t pos;
        std::uint32_t name;       // Call: its upper-case name
        std::size_t base;         // Call: operands below its arguments
    };

    bool at_end() const { return i_ >= s_.size(); }
    void skip() {
        while (!at_end() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    bool fail(SyntaxError &error, std::size_t at, std::string message) {
        error = {at, std::move(message)};
        return false;
    }
    void set_error(std::size_t at, std::string message) {
        if (failed_) return;
        failed_ = true;
        error_ = {at, std::move(message)};
    }
    void unexpected() { set_error(i_, "unexpected '" + std::string(1, s_[i_]) + "'"); }

    std::uint32_t add_text(std::string text) {
        out_.texts.push_back(std::move(text));
        return static_cast<std::uint32_t>(out_.texts.size() - 1);
    }
    std::uint32_t leaf(NodeType type, std::size_t pos) {
        Node n;
        n.type = type;
        n.pos = static_cast<std::uint32_t>(pos);
        n.start = static_cast<std::uint32_t>(out_.nodes.size());
        out_.nodes.push_back(n);
        operands_.push_back(n.start);
        return n.start;
    }
    // A node over the top nkids operands, which it replaces.
    void inner(NodeType type, Op op, std::uint32_t pos, std::size_t nkids, std::uint32_t text = 0) {
        Node n;
        n.type = type;
        n.op = op;
        n.pos = pos;
        n.text = text;
        const auto self = static_cast<std::uint32_t>(out_.nodes.size());
        n.first_kid = static_cast<std::uint32_t>(out_.kids.size());
        n.nkids = static_cast<std::uint32_t>(nkids);
        const std::size_t base = operands_.size() - nkids;
        n.start = nkids > 0 ? out_.nodes[operands_[base]].start : self;
        out_.kids.insert(out_.kids.end(), operands_.begin() + static_cast<std::ptrdiff_t>(base), operands_.end());
        operands_.resize(base);
        out_.nodes.push_back(n);
        operands_.push_back(self);
    }

    void apply(const Pending &p) {
        if (p.kind == Pending::Binary) {
            inner(NodeType::Binary, p.op, p.pos, 2);
            return;
        }
        // A sign written before a number is part of the number: -0 is negative zero, -2 a literal.
        Node &top = out_.nodes[operands_.back()];
        if (p.op != Op::Not && top.type == NodeType::Number && !qvh_is_missing(top.num)) {
            if (p.op == Op::Neg) top.num = -top.num;
            top.pos = p.pos;
            return;
        }
        inner(NodeType::Unary, p.op, p.pos, 1);
    }

    // Applies the pending operators that bind at least as tightly as an operator of strength prec.
    void reduce(int prec, bool right_assoc) {
        while (!pending_.empty()) {
            const Pending &top = pending_.back();
            if (top.kind != Pending::Unary && top.kind != Pending::Binary) return;
            const int p = precedence(top.op);
            if (p < prec || (p == prec && right_assoc)) return;
            const Pending done = top;
            pending_.pop_back();
            apply(done);
        }
    }

    // Returns true when an operand was completed (an operator is expected next).
    bool read_operand() {
        const std::size_t start = i_;
        const char c = s_[i_];
        if (c == '(') {
            ++i_;
            pending_.push_back({Pending::Paren, Op::None, static_cast<std::uint32_t>(start), 0, 0});
            return false;
        }
        if (c == '-' || c == '+') {
            ++i_;
            pending_.push_back({Pending::Unary, c == '-' ? Op::Neg : Op::Plus, static_cast<std::uint32_t>(start), 0, 0});
            return false;
        }
        if (c == ')' && !pending_.empty() && pending_.back().kind == Pending::Call &&
            operands_.size() == pending_.back().base) {
            ++i_;
            const Pending call = pending_.back();
            pending_.pop_back();
            inner(NodeType::Call, Op::None, call.pos, 0, call.name);
            return true;
        }
        if (c == '\'') return text();
        if (c == '"') return quoted_name();
        if (is_name_start(c)) return name_or_call();
        if (is_digit(c) || (c == '.' && i_ + 1 < s_.size() && is_digit(s_[i_ + 1]))) return number();
        if (c == '.') return missing();
        unexpected();
        return false;
    }

    // Returns true when an operand is expected next.
    bool read_operator() {
        const std::size_t start = i_;
        const char c = s_[i_];
        const char d = i_ + 1 < s_.size() ? s_[i_ + 1] : '\0';
        Op op = Op::None;
        std::size_t len = 1;
        switch (c) {
            case '+': op = Op::Add; break;
            case '-': op = Op::Sub; break;
            case '*': op = d == '*' ? Op::Pow : Op::Mul, len = d == '*' ? 2 : 1; break;
            case '/': op = Op::Div; break;
            case '=': op = Op::Eq, len = d == '=' ? 2 : 1; break;
            case '^': case '!': case '~':
                if (d == '=') op = Op::Ne, len = 2;
                break;
            case '<': op = d == '=' ? Op::Le : Op::Lt, len = d == '=' ? 2 : 1; break;
            case '>': op = d == '=' ? Op::Ge : Op::Gt, len = d == '=' ? 2 : 1; break;
            default:
                if (is_name_start(c)) {
                    std::size_t j = i_;
                    while (j < s_.size() && is_name_char(s_[j])) ++j;
                    const std::string_view word = s_.substr(i_, j - i_);
                    if (same_word(word, "and")) op = Op::And, len = j - i_;
                    if (same_word(word, "or")) op = Op::Or, len = j - i_;
                }
                break;
        }
        if (op != Op::None) {
            i_ += len;
            reduce(precedence(op), op == Op::Pow);
            pending_.push_back({Pending::Binary, op, static_cast<std::uint32_t>(start), 0, 0});
            return true;
        }
        if (c == ',' || c == ')') {
            reduce(0, false);
            if (pending_.empty() || (c == ',' && pending_.back().kind != Pending::Call)) {
                unexpected();
                return false;
            }
            ++i_;
            if (c == ',') return true;
            const Pending open = pending_.back();
            pending_.pop_back();
            if (open.kind == Pending::Call) inner(NodeType::Call, Op::None, open.pos, operands_.size() - open.base, open.name);
            return false;
        }
        const bool in_call = !pending_.empty() && innermost_open() == Pending::Call;
        const bool in_paren = !pending_.empty() && innermost_open() == Pending::Paren;
        set_error(i_, in_call    ? "operator, ',' or ')' expected"
                      : in_paren ? "operator or ')' expected"
                                 : "operator expected, found '" + std::string(1, c) + "'");
        return false;
    }

    Pending::Kind innermost_open() const {
        for (auto it = pending_.rbegin(); it != pending_.rend(); ++it)
            if (it->kind == Pending::Call || it->kind == Pending::Paren) return it->kind;
        return Pending::Binary;
    }

    bool number() {
        const std::size_t start = i_;
        std::size_t j = i_;
        while (j < s_.size() && is_digit(s_[j])) ++j;
        if (j < s_.size() && s_[j] == '.') {
            ++j;
            while (j < s_.size() && is_digit(s_[j])) ++j;
        }
        if (j < s_.size() && (s_[j] == 'e' || s_[j] == 'E')) {
            std::size_t k = j + 1;
            if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
            if (k >= s_.size() || !is_digit(s_[k])) {
                set_error(k, "exponent digits expected");
                return false;
            }
            while (k < s_.size() && is_digit(s_[k])) ++k;
            j = k;
        }
        if (j < s_.size() && is_name_char(s_[j])) {
            set_error(j, "unexpected '" + std::string(1, s_[j]) + "' after a number");
            return false;
        }
        double value = 0.0;
        qvh_parse_number(s_.data() + start, j - start, &value);
        out_.nodes[leaf(NodeType::Number, start)].num = value;
        i_ = j;
        return true;
    }

    bool missing() {
        const std::size_t start = i_;
        std::size_t end = start + 1;
        while (end < s_.size() && is_name_char(s_[end])) ++end;
        double value = 0.0;
        if (!qvh_parse_missing(s_.data() + start, end - start, &value)) {
            set_error(start, "bad missing value '" + std::string(s_.substr(start, end - start)) + "'");
            return false;
        }
        out_.nodes[leaf(NodeType::Number, start)].num = value;
        i_ = end;
        return true;
    }

    // Text between quote characters, a doubled quote standing for one; false when unterminated.
    bool quoted(char quote, std::string &raw) {
        for (++i_;;) {
            if (at_end()) return false;
            const char c = s_[i_++];
            if (c == quote) {
                if (at_end() || s_[i_] != quote) return true;
                ++i_;
            }
            raw.push_back(c);
        }
    }

    bool text() {
        const std::size_t start = i_;
        std::string raw;
        if (!quoted('\'', raw)) {
            set_error(start, "unterminated character value");
            return false;
        }
        out_.nodes[leaf(NodeType::Text, start)].text = add_text(std::move(raw));
        return true;
    }

    bool quoted_name() {
        const std::size_t start = i_;
        std::string raw;
        if (!quoted('"', raw)) {
            set_error(start, "unterminated column name");
            return false;
        }
        out_.nodes[leaf(NodeType::Column, start)].text = add_text(std::move(raw));
        return true;
    }

    bool name_or_call() {
        const std::size_t start = i_;
        while (!at_end() && is_name_char(s_[i_])) ++i_;
        const std::string_view word = s_.substr(start, i_ - start);
        if (same_word(word, "not")) {
            pending_.push_back({Pending::Unary, Op::Not, static_cast<std::uint32_t>(start), 0, 0});
            return false;
        }
        if (same_word(word, "and") || same_word(word, "or")) {
            set_error(start, "unexpected '" + std::string(word) + "'");
            return false;
        }
        const std::size_t after = i_;
        skip();
        if (at_end() || s_[i_] != '(') {
            i_ = after;
            // inf is the number, as in a cell; a column named inf is written "inf".
            if (same_word(word, "inf")) out_.nodes[leaf(NodeType::Number, start)].num = HUGE_VAL;
            else out_.nodes[leaf(NodeType::Column, start)].text = add_text(std::string(word));
            return true;
        }
        ++i_;
        std::string upper;
        for (char c : word) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        pending_.push_back({Pending::Call, Op::None, static_cast<std::uint32_t>(start), add_text(std::move(upper)),
                            operands_.size()});
        return false;
    }

    std::string_view s_;
    std::size_t i_;
    Expr &out_;
    std::vector<Pending> pending_;
    std::vector<std::uint32_t> operands_;
    bool failed_ = false;
    SyntaxError error_;
};

}  // namespace

bool parse_expression(std::string_view text, std::size_t from, Expr &out, SyntaxError &error) {
    return Parser(text, from, out).run(error);
}

}  // namespace qvcli

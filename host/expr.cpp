#include "expr.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include "qv/values.hpp"

namespace qvhost {

// ---- text helpers ------------------------------------------------------------------------

std::u32string to_u32(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        ++i;
        for (; extra > 0 && i < s.size(); --extra, ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
        out.push_back(cp);
    }
    return out;
}

std::string to_utf8(const std::u32string &s) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string format_number(double x) {
    if (qv::is_missing(x)) {
        const int kind = qv::missing_kind(x);
        if (kind == 1) return "._";
        if (kind >= 3) return std::string(".") + static_cast<char>('A' + kind - 3);
        return ".";
    }
    if (std::isnan(x)) return std::signbit(x) ? "-nan" : "nan";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, r.ptr);
}

std::string format_text(const std::u32string &s) {
    std::string out = "'";
    for (char c : to_utf8(s)) {
        out.push_back(c);
        if (c == '\'') out.push_back('\'');
    }
    out.push_back('\'');
    return out;
}

std::string status_name(QvStatus status) {
    switch (status) {
        case STATUS_OK: return "ok";
        case STATUS_MISSING_ARG: return "missing argument";
        case STATUS_INVALID_ARG: return "invalid argument";
        case STATUS_NO_SCRATCH: return "no scratch memory";
        case STATUS_NO_MEMORY: return "no memory";
        case STATUS_UNSUPPORTED: return "unsupported";
        default: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "status 0x%08X", static_cast<unsigned>(status));
            return buf;
        }
    }
}

std::string format_outcome(const Outcome &out) {
    std::string line = out.value.is_char ? format_text(out.value.text) : format_number(out.value.num);
    if (out.status != STATUS_OK) {
        line += "  (" + status_name(out.status);
        if (!out.marked.empty()) {
            line += out.marked.size() == 1 ? "; argument " : "; arguments ";
            for (std::size_t i = 0; i < out.marked.size(); ++i) {
                if (i > 0) line += ", ";
                line += std::to_string(out.marked[i]);
            }
            line += " of " + out.function + " marked invalid";
        } else if (!out.function.empty()) {
            line += " in " + out.function;
        }
        line += ")";
    }
    return line;
}

std::string nearest_name(std::string_view name) {
    auto distance = [](std::string_view a, std::string_view b) {
        std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            cur[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j)
                cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            std::swap(prev, cur);
        }
        return prev[b.size()];
    };
    std::string best;
    std::size_t best_d = 3;  // farther than two edits is no suggestion
    for (const Signature *s = signatures_begin(); s != signatures_end(); ++s) {
        const std::size_t d = distance(name, s->name);
        if (d < best_d) {
            best_d = d;
            best = std::string(s->name);
        }
    }
    return best;
}

// ---- parser ----------------------------------------------------------------------------------

namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    ParseResult run() {
        ParseResult r;
        skip();
        if (at_end()) return fail("empty expression");
        r.node = expression();
        if (error_) {
            r.node.reset();
            r.error = error_;
            return r;
        }
        skip();
        if (!at_end()) {
            r.node.reset();
            r.error = Error{"syntax error at column " + col() + ": unexpected '" + std::string(1, s_[i_]) + "'"};
        }
        return r;
    }

private:
    ParseResult fail(std::string message) {
        ParseResult r;
        r.error = Error{std::move(message)};
        return r;
    }
    bool at_end() const { return i_ >= s_.size(); }
    std::string col() const { return std::to_string(i_ + 1); }
    void skip() {
        while (!at_end() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    std::unique_ptr<Node> error(std::string message) {
        if (!error_) error_ = Error{std::move(message)};
        return nullptr;
    }

    std::unique_ptr<Node> expression() {
        skip();
        if (at_end()) return error("syntax error at column " + col() + ": expression expected, found end of input");
        const char c = s_[i_];
        if (c == '\'') return text();
        if (std::isalpha(static_cast<unsigned char>(c))) return call();
        if (c == '.' && i_ + 1 < s_.size() && !std::isdigit(static_cast<unsigned char>(s_[i_ + 1]))) return missing();
        if (c == '.' && i_ + 1 == s_.size()) return missing();
        if (c == '+' || c == '-' || c == '.' || std::isdigit(static_cast<unsigned char>(c))) return number();
        return error("syntax error at column " + col() + ": unexpected '" + std::string(1, c) + "'");
    }

    std::unique_ptr<Node> number() {
        const std::size_t start = i_;
        std::size_t j = i_;
        if (s_[j] == '+' || s_[j] == '-') ++j;
        const std::size_t digits_start = j;
        while (j < s_.size() && std::isdigit(static_cast<unsigned char>(s_[j]))) ++j;
        if (j < s_.size() && s_[j] == '.') {
            ++j;
            while (j < s_.size() && std::isdigit(static_cast<unsigned char>(s_[j]))) ++j;
        }
        if (j == digits_start || (j == digits_start + 1 && s_[digits_start] == '.'))
            return error("syntax error at column " + std::to_string(start + 1) + ": number expected");
        if (j < s_.size() && (s_[j] == 'e' || s_[j] == 'E')) {
            std::size_t k = j + 1;
            if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
            if (k < s_.size() && std::isdigit(static_cast<unsigned char>(s_[k]))) {
                while (k < s_.size() && std::isdigit(static_cast<unsigned char>(s_[k]))) ++k;
                j = k;
            } else {
                return error("syntax error at column " + std::to_string(k + 1) + ": exponent digits expected");
            }
        }
        std::string literal(s_.substr(start, j - start));
        const char *first = literal.c_str() + (literal[0] == '+' ? 1 : 0);
        double v = 0.0;
        const auto r = std::from_chars(first, literal.c_str() + literal.size(), v);
        if (r.ec == std::errc::result_out_of_range) {
            // Overflow reads as an infinity, underflow as a signed zero, as strtod does.
            v = std::strtod(literal.c_str(), nullptr);
        } else if (r.ec != std::errc() || r.ptr != literal.c_str() + literal.size()) {
            return error("syntax error at column " + std::to_string(start + 1) + ": bad number '" + literal + "'");
        }
        i_ = j;
        auto n = std::make_unique<Node>();
        n->type = Node::Type::Number;
        n->num = v;
        n->column = start + 1;
        return n;
    }

    std::unique_ptr<Node> missing() {
        const std::size_t start = i_++;
        int index = 1;  // .
        if (!at_end() && (s_[i_] == '_' || std::isalpha(static_cast<unsigned char>(s_[i_])))) {
            const char c = s_[i_];
            if (i_ + 1 < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_ + 1])) || s_[i_ + 1] == '_'))
                return error("syntax error at column " + std::to_string(start + 1) + ": bad missing value");
            index = c == '_' ? 0 : 2 + (std::toupper(static_cast<unsigned char>(c)) - 'A');
            ++i_;
        }
        auto n = std::make_unique<Node>();
        n->type = Node::Type::Number;
        n->num = qv::missing_value(index);
        n->column = start + 1;
        return n;
    }

    std::unique_ptr<Node> text() {
        const std::size_t start = i_++;
        std::string raw;
        for (;;) {
            if (at_end()) return error("unterminated string starting at column " + std::to_string(start + 1));
            const char c = s_[i_++];
            if (c == '\'') {
                if (!at_end() && s_[i_] == '\'') {
                    raw.push_back('\'');
                    ++i_;
                    continue;
                }
                break;
            }
            raw.push_back(c);
        }
        auto n = std::make_unique<Node>();
        n->type = Node::Type::Text;
        n->text = to_u32(raw);
        n->column = start + 1;
        return n;
    }

    std::unique_ptr<Node> call() {
        const std::size_t start = i_;
        while (!at_end() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) ++i_;
        auto n = std::make_unique<Node>();
        n->type = Node::Type::Call;
        n->column = start + 1;
        for (char c : s_.substr(start, i_ - start)) n->name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        skip();
        if (at_end() || s_[i_] != '(')
            return error("syntax error at column " + col() + ": '(' expected after " + n->name);
        ++i_;
        skip();
        if (!at_end() && s_[i_] == ')') {
            ++i_;
            return n;
        }
        for (;;) {
            auto arg = expression();
            if (!arg) return nullptr;
            n->args.push_back(std::move(arg));
            skip();
            if (at_end()) return error("syntax error at column " + col() + ": ')' expected, found end of input");
            if (s_[i_] == ',') {
                ++i_;
                continue;
            }
            if (s_[i_] == ')') {
                ++i_;
                return n;
            }
            return error("syntax error at column " + col() + ": ',' or ')' expected");
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::optional<Error> error_;
};

}  // namespace

ParseResult parse_expression(std::string_view text) { return Parser(text).run(); }

// ---- evaluator -------------------------------------------------------------------------------

bool Evaluator::evaluate(const Node &node, Outcome &out, Error &error) {
    switch (node.type) {
        case Node::Type::Number:
            out = Outcome{};
            out.value.num = node.num;
            return true;
        case Node::Type::Text:
            out = Outcome{};
            out.value.is_char = true;
            out.value.text = node.text;
            return true;
        case Node::Type::Call:
            return call(node, out, error);
    }
    return false;
}

bool Evaluator::call(const Node &node, Outcome &out, Error &error) {
    const Signature *sig = find_signature(node.name);
    if (sig == nullptr) {
        const std::string hint = nearest_name(node.name);
        error.message = "unknown function " + node.name + " at column " + std::to_string(node.column) +
                        (hint.empty() ? "" : " (did you mean " + hint + "?)");
        return false;
    }
    const int n = static_cast<int>(node.args.size());
    if (n < sig->min_args || (sig->max_args >= 0 && n > sig->max_args)) {
        std::string want = sig->max_args < 0      ? "at least " + std::to_string(sig->min_args)
                           : sig->min_args == sig->max_args ? std::to_string(sig->min_args)
                                                            : std::to_string(sig->min_args) + " to " + std::to_string(sig->max_args);
        error.message = node.name + " takes " + want + " argument" + (want == "1" ? "" : "s") + ", got " +
                        std::to_string(n) + " (" + std::string(sig->usage) + ")";
        return false;
    }
    std::vector<Value> values(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        Outcome inner;
        if (!evaluate(*node.args[static_cast<std::size_t>(i)], inner, error)) return false;
        const Kind want = i == 0 ? sig->first : sig->rest;
        if (want == Kind::Num && inner.value.is_char) {
            error.message = node.name + ": argument " + std::to_string(i + 1) + " must be numeric, not a character value";
            return false;
        }
        if (want == Kind::Chr && !inner.value.is_char) {
            error.message = node.name + ": argument " + std::to_string(i + 1) + " must be a character value, not a number";
            return false;
        }
        values[static_cast<std::size_t>(i)] = std::move(inner.value);
    }
    const FuncTableRow *row = package_.find(node.name);
    if (row == nullptr || row->entry.scalar == nullptr) {
        error.message = node.name + " is not available in this package";
        return false;
    }

    out = Outcome{};
    out.function = node.name;
    if (sig->form == Form::Scalar) {
        out.status = row->entry.scalar(&out.value.num, values[0].num);
        return true;
    }
    ArgList list(pool_.host());
    std::size_t longest = 0;
    for (const Value &v : values) {
        if (v.is_char) {
            list.chr(v.text);
            longest = std::max(longest, v.text.size());
        } else {
            list.num(v.num);
        }
    }
    if (sig->form == Form::CharResult) {
        std::u32string buffer(longest, U' ');
        CharValue result{};
        result.capacity = static_cast<std::uint16_t>(longest);
        result.chars = reinterpret_cast<std::uint32_t *>(buffer.data());
        out.status = row->entry.charList(list.get(), &result);
        out.value.is_char = true;
        out.value.text.assign(buffer.data(), result.length);
    } else {
        out.status = row->entry.list(list.get(), &out.value.num);
    }
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list.marked(i)) out.marked.push_back(static_cast<int>(i + 1));
    return true;
}

}  // namespace qvhost

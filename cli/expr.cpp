#include "expr.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "qv/values.hpp"
#include "text.hpp"

namespace qvhost {

// ---- text helpers ------------------------------------------------------------------------

void append_u32(std::u32string &out, std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        ++i;
        for (; extra > 0 && i < s.size(); --extra, ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
        out.push_back(cp);
    }
}

std::u32string to_u32(std::string_view s) {
    std::u32string out;
    append_u32(out, s);
    return out;
}

std::string to_utf8(std::u32string_view s) {
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
    std::string out;
    append_number(out, x);
    return out;
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

std::string nearest_name(std::string_view name, const std::vector<std::string_view> &candidates) {
    auto same = [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
    };
    auto distance = [&](std::string_view a, std::string_view b) {
        std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            cur[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j)
                cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            std::swap(prev, cur);
        }
        return prev[b.size()];
    };
    std::string best;
    std::size_t best_d = 3;  // farther than two edits is no suggestion
    for (std::string_view c : candidates) {
        std::size_t d = distance(name, c);
        // A name cut short is as good as a typing slip: "rain" for "rain_mm".
        if (name.size() >= 3 && name.size() < c.size() && distance(name, c.substr(0, name.size())) == 0) d = std::min<std::size_t>(d, 2);
        if (d < best_d) {
            best_d = d;
            best = std::string(c);
        }
    }
    return best;
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// ---- numbers and missing literals ------------------------------------------------------------

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The extent of a number at the start of s. Returns its length; 0 when s does not start with
// digits (after an optional sign and point). When an exponent marker has no digits after it,
// sets bad_exponent to the offset where they were expected.
std::size_t scan_number(std::string_view s, std::size_t &bad_exponent) {
    std::size_t j = 0;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    std::size_t digits = 0;
    while (j < s.size() && is_digit(s[j])) ++j, ++digits;
    if (j < s.size() && s[j] == '.') {
        ++j;
        while (j < s.size() && is_digit(s[j])) ++j, ++digits;
    }
    if (digits == 0) return 0;
    if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        std::size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        if (k >= s.size() || !is_digit(s[k])) {
            bad_exponent = k;
            return 0;
        }
        while (k < s.size() && is_digit(s[k])) ++k;
        j = k;
    }
    return j;
}

}  // namespace

bool read_cell(std::string_view cell, double &value) {
    cell = trim_blanks(cell);
    if (cell.empty()) {
        value = qv::MISSING_DOT;
        return true;
    }
    if (const int index = missing_literal(cell); index >= 0) {
        value = qv::missing_value(index);
        return true;
    }
    return read_number(cell, value);
}

// ---- parser ----------------------------------------------------------------------------------

namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    ParseResult run() {
        ParseResult r;
        skip();
        if (at_end()) {
            r.error = Error{"empty expression"};
            return r;
        }
        r.node = expression();
        if (!error_) {
            skip();
            if (!at_end()) unexpected();
        }
        if (error_) {
            r.node.reset();
            r.error = error_;
        }
        return r;
    }

private:
    bool at_end() const { return i_ >= s_.size(); }
    void skip() {
        while (!at_end() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    std::unique_ptr<Node> error(std::size_t at, const std::string &what) {
        if (!error_) error_ = Error{"syntax error at column " + std::to_string(at + 1) + ": " + what};
        return nullptr;
    }
    std::unique_ptr<Node> unexpected() { return error(i_, "unexpected '" + std::string(1, s_[i_]) + "'"); }
    std::unique_ptr<Node> make(Node::Type type, std::size_t start) {
        auto n = std::make_unique<Node>();
        n->type = type;
        n->column = start + 1;
        return n;
    }

    std::unique_ptr<Node> expression() {
        skip();
        if (at_end()) return error(i_, "expression expected, found end of input");
        const char c = s_[i_];
        if (c == '\'') return text();
        if (c == '"') return quoted_name();
        if (is_name_start(c)) return name_or_call();
        if (c == '.' && (i_ + 1 == s_.size() || !is_digit(s_[i_ + 1]))) return missing();
        if (c == '+' || c == '-' || c == '.' || is_digit(c)) return number();
        return unexpected();
    }

    std::unique_ptr<Node> number() {
        const std::size_t start = i_;
        std::size_t bad = 0;
        const std::size_t length = scan_number(s_.substr(start), bad);
        if (length == 0) {
            if (bad != 0) return error(start + bad, "exponent digits expected");
            return error(start, "number expected");
        }
        if (start + length < s_.size() && is_name_char(s_[start + length]))
            return error(start + length, "unexpected '" + std::string(1, s_[start + length]) + "' after a number");
        auto n = make(Node::Type::Number, start);
        read_number(s_.substr(start, length), n->num);
        i_ = start + length;
        return n;
    }

    std::unique_ptr<Node> missing() {
        const std::size_t start = i_;
        std::size_t end = start + 1;
        while (end < s_.size() && is_name_char(s_[end])) ++end;
        const int index = missing_literal(s_.substr(start, end - start));
        if (index < 0) return error(start, "bad missing value '" + std::string(s_.substr(start, end - start)) + "'");
        auto n = make(Node::Type::Number, start);
        n->num = qv::missing_value(index);
        i_ = end;
        return n;
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

    std::unique_ptr<Node> text() {
        const std::size_t start = i_;
        std::string raw;
        if (!quoted('\'', raw)) {
            if (!error_) error_ = Error{"unterminated string starting at column " + std::to_string(start + 1)};
            return nullptr;
        }
        auto n = make(Node::Type::Text, start);
        n->text = to_u32(raw);
        return n;
    }

    std::unique_ptr<Node> quoted_name() {
        const std::size_t start = i_;
        auto n = make(Node::Type::Name, start);
        if (!quoted('"', n->name)) {
            if (!error_) error_ = Error{"unterminated name starting at column " + std::to_string(start + 1)};
            return nullptr;
        }
        return n;
    }

    std::unique_ptr<Node> name_or_call() {
        const std::size_t start = i_;
        while (!at_end() && is_name_char(s_[i_])) ++i_;
        const std::string_view word = s_.substr(start, i_ - start);
        skip();
        if (at_end() || s_[i_] != '(') {
            auto n = make(Node::Type::Name, start);
            n->name = std::string(word);
            return n;
        }
        auto n = make(Node::Type::Call, start);
        for (char c : word) n->name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
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
            if (at_end()) return error(i_, "')' expected, found end of input");
            if (s_[i_] == ',') {
                ++i_;
                continue;
            }
            if (s_[i_] == ')') {
                ++i_;
                return n;
            }
            return error(i_, "',' or ')' expected");
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::optional<Error> error_;
};

}  // namespace

ParseResult parse_expression(std::string_view text) { return Parser(text).run(); }

}  // namespace qvhost

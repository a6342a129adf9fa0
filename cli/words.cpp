// The words and symbols of the expression language: operators as written, what a plain name is,
// and positions counted in characters.
#include <cctype>

#include "expr.hpp"

namespace qvcli {

bool is_comparison(Op op) { return op >= Op::Eq && op <= Op::Ge; }
bool is_arithmetic(Op op) { return op >= Op::Add && op <= Op::Pow; }

const char *op_text(Op op) {
    switch (op) {
        case Op::Neg: return "-";
        case Op::Plus: return "+";
        case Op::Not: return "not";
        case Op::Add: return "+";
        case Op::Sub: return "-";
        case Op::Mul: return "*";
        case Op::Div: return "/";
        case Op::Pow: return "**";
        case Op::Eq: return "=";
        case Op::Ne: return "^=";
        case Op::Lt: return "<";
        case Op::Le: return "<=";
        case Op::Gt: return ">";
        case Op::Ge: return ">=";
        case Op::And: return "and";
        case Op::Or: return "or";
        case Op::None: break;
    }
    return "?";
}

std::size_t character_at(std::string_view text, std::size_t pos) {
    std::size_t n = 1;
    for (std::size_t i = 0; i < pos && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
    // A position inside a multi-byte character counts as that character.
    if (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) --n;
    return n;
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool is_name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }

bool same_word(std::string_view word, const char *lower) {
    std::size_t i = 0;
    for (; i < word.size() && lower[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(word[i])) != lower[i]) return false;
    return i == word.size() && lower[i] == '\0';
}

bool is_keyword(std::string_view word) {
    return same_word(word, "and") || same_word(word, "or") || same_word(word, "not") || same_word(word, "inf");
}

bool is_plain_name(std::string_view name) {
    if (name.empty() || !is_name_start(name[0]) || is_keyword(name)) return false;
    for (char c : name)
        if (!is_name_char(c)) return false;
    return true;
}

}  // namespace qvcli

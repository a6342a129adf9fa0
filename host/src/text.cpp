#include "text.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "qv/values.hpp"

namespace qvhost {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool same_word(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    return true;
}

// The length of the number at the start of s: sign, digits with an optional point, optional
// exponent; 0 when s does not start with one.
std::size_t number_length(std::string_view s) {
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
        if (k >= s.size() || !is_digit(s[k])) return 0;
        while (k < s.size() && is_digit(s[k])) ++k;
        j = k;
    }
    return j;
}

}  // namespace

int missing_literal(std::string_view text) {
    if (text.empty() || text[0] != '.' || text.size() > 2) return -1;
    if (text.size() == 1) return 1;
    if (text[1] == '_') return 0;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    if (c < 'A' || c > 'Z') return -1;
    return 2 + (c - 'A');
}

bool read_number(std::string_view text, double &value) {
    if (text.empty()) return false;
    if (number_length(text) == text.size()) {
        const char *first = text.data() + (text[0] == '+' ? 1 : 0);
        const auto r = std::from_chars(first, text.data() + text.size(), value);
        // Overflow reads as an infinity, underflow as a signed zero, as strtod has it.
        if (r.ec == std::errc::result_out_of_range) value = std::strtod(std::string(text).c_str(), nullptr);
        return true;
    }
    const bool negative = text[0] == '-';
    std::string_view body = text;
    if (text[0] == '+' || text[0] == '-') body.remove_prefix(1);
    if (same_word(body, "inf") || same_word(body, "infinity")) {
        value = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    if (same_word(body, "nan")) {
        value = std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
        return true;
    }
    return false;
}

std::size_t format_number(double x, char *out) {
    auto put = [&](const char *text) {
        const std::size_t n = std::strlen(text);
        std::memcpy(out, text, n);
        return n;
    };
    if (qv::is_missing(x)) {
        const int kind = qv::missing_kind(x);
        out[0] = '.';
        if (kind == 1) out[1] = '_';
        if (kind >= 3) out[1] = static_cast<char>('A' + kind - 3);
        return kind == 2 ? 1 : 2;
    }
    if (std::isnan(x)) return put(std::signbit(x) ? "-nan" : "nan");
    if (std::isinf(x)) return put(x < 0 ? "-inf" : "inf");
    return static_cast<std::size_t>(std::to_chars(out, out + 32, x).ptr - out);
}

void append_number(std::string &out, double x) {
    char buf[32];
    out.append(buf, format_number(x, buf));
}

namespace {

constexpr char32_t RAW_BYTE_BASE = 0xDC80;  // U+DC80..U+DCFF stand for bytes that are not UTF-8

}  // namespace

std::size_t utf8_decode(std::string_view in, std::size_t i, char32_t &cp) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) len = 2, cp = b0 & 0x1F, min = 0x80;
    else if ((b0 & 0xF0) == 0xE0) len = 3, cp = b0 & 0x0F, min = 0x800;
    else if ((b0 & 0xF8) == 0xF0) len = 4, cp = b0 & 0x07, min = 0x10000;
    else return 0;
    if (i + len > in.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(in[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void utf8_to_u32(std::string_view in, std::u32string &out) {
    for (std::size_t i = 0; i < in.size();) {
        char32_t cp;
        const std::size_t n = utf8_decode(in, i, cp);
        if (n == 0) {
            out.push_back(RAW_BYTE_BASE + (static_cast<unsigned char>(in[i]) & 0x7F));
            ++i;
        } else {
            out.push_back(cp);
            i += n;
        }
    }
}

std::size_t utf8_length(std::string_view in) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < in.size(); ++count) {
        char32_t cp;
        const std::size_t n = utf8_decode(in, i, cp);
        i += n == 0 ? 1 : n;
    }
    return count;
}

void u32_to_utf8(std::u32string_view in, std::string &out) {
    for (char32_t c : in) {
        if (c >= RAW_BYTE_BASE && c <= RAW_BYTE_BASE + 0x7F) {
            out.push_back(static_cast<char>(0x80 + (c - RAW_BYTE_BASE)));
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            // Characters beyond U+10FFFF cannot come from UTF-8; written as U+FFFD.
            if (c > 0x10FFFF) c = 0xFFFD;
            out.push_back(static_cast<char>(c > 0xFFFF ? 0xF0 | (c >> 18) : 0xE0 | (c >> 12)));
            if (c > 0xFFFF) out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

}  // namespace qvhost

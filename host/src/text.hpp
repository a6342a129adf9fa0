// Text forms of values: numbers, missing literals and character values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvhost {

// Missing literals: ".", "._", ".A" to ".Z" in either case. Returns the index of the value
// (0 is ._, 1 is ., 2 is .A ... 27 is .Z), or -1 when text is no missing literal.
int missing_literal(std::string_view text);

// A number as written in a table or an expression: an optional sign, digits with an optional
// point and an optional exponent; "inf", "infinity" and "nan" in any case, optionally signed.
// Too large a magnitude reads as an infinity, too small as a signed zero.
bool read_number(std::string_view text, double &value);

// The shortest text that reads back to x; missing values as their literal; "inf", "-inf",
// "nan" and "-nan" for the others.
void append_number(std::string &out, double x);
// The same into out (room for 32 characters); returns the length, no terminator.
std::size_t format_number(double x, char *out);

// UTF-8 to 4-byte characters and back. A byte that does not start a valid UTF-8 sequence
// becomes the character U+DC80 + byte, which converts back to that byte, so any text survives
// the round trip unchanged. Characters are appended to out.
void utf8_to_u32(std::string_view in, std::u32string &out);
void u32_to_utf8(std::u32string_view in, std::string &out);
// Decodes the character at in[i]: its length in bytes, or 0 when the bytes there are no valid
// UTF-8 sequence (overlong forms and surrogates included).
std::size_t utf8_decode(std::string_view in, std::size_t i, char32_t &cp);
// The number of characters utf8_to_u32 makes of in.
std::size_t utf8_length(std::string_view in);

}  // namespace qvhost

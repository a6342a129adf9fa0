// The byte form of one table-function call, shared by the function fuzz target (which reads it)
// and the seed writer (which writes it). Every byte string reads as some call: what is missing
// reads as zero, and argument slots beyond the bytes given are filled from the values already
// read, so a short input can make a list of thousands of arguments.
//
//   byte 0      the function: an index into the callable functions of the catalogue, modulo
//   byte 1      options: bits 0-1 the pool request to refuse (0 none, 1 to 3); bit 2 marks
//               every third slot invalid before the call (a mark must never be cleared)
//   bytes 2-3   the argument count, little-endian: bits 14 and 15 set, a long list of
//               (bits 0-11) arguments shifted right by (bits 12-13), so that shorter long
//               lists come more often; else a short one of (bits 0-4); a count above the
//               arity's maximum is taken modulo its range, one below its minimum raised to it
//   bytes 4-5   the room of a character result, little-endian, modulo 4097
//   then one record per argument, a tag byte and its payload:
//     tag & 7 == 0  a double: 8 bytes of its image, little-endian
//                1  a missing value: 1 byte, the index modulo 28; with tag bit 3 set, 6 more
//                   bytes give the low 48 bits under a top word of 0xFFFF (a missing value
//                   that is none of the 28)
//                2  a small number: 1 signed byte v, giving v / 2^(tag bits 3-4), then moved
//                   by tag bits 5-7: 0 not, 1 +1e-13, 2 -1e-13, 3 +4e-12, 4 -4e-12, 5 one
//                   step up, 6 one step down, 7 times 2^40
//                3  a special double: 1 byte, an index into SPECIALS modulo its size
//                4  a character value: 2 bytes of length (modulo 4097), then by tag bits 3-4:
//                   0 one byte per character, 1 four bytes per character, 2 blanks only,
//                   3 one byte per character with blanks after (half the length)
//                5  fill: the rest of the list repeats the values read so far in a pattern
//                   (1 byte: 0 cycle, 1 ascending, 2 descending, 3 organ pipe, 4 shuffled,
//                   5 the V of distances from the middle), and reading stops
//                6, 7  repeat the previous argument (1 byte) more times
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace qvfuzz {

constexpr std::size_t LONG_LIST_MAX = 4095;
constexpr std::size_t CHAR_MAX_LENGTH = 4096;

enum Tag : std::uint8_t { T_DOUBLE = 0, T_MISSING = 1, T_SMALL = 2, T_SPECIAL = 3, T_CHARS = 4, T_FILL = 5, T_REPEAT = 6 };
enum Fill : std::uint8_t { F_CYCLE = 0, F_ASCENDING, F_DESCENDING, F_ORGAN, F_SHUFFLED, F_VEE, F_COUNT };

inline constexpr std::uint64_t SPECIALS[] = {
    0x0000000000000000ull, 0x8000000000000000ull,  // +0, -0
    0x7FF0000000000000ull, 0xFFF0000000000000ull,  // +inf, -inf
    0x7FF8000000000000ull, 0xFFF8000000000000ull,  // quiet NaNs
    0x7FF0000000000001ull, 0xFFF4DEADBEEF0001ull,  // signalling NaNs with payloads
    0xFFFE123456789ABCull, 0x7FFFFFFFFFFFFFFFull,  // NaNs just short of missing
    0x0000000000000001ull, 0x800FFFFFFFFFFFFFull,  // subnormals
    0x0010000000000000ull, 0x0010000000000001ull,  // the smallest normals
    0x7FEFFFFFFFFFFFFFull, 0xFFEFFFFFFFFFFFFFull,  // +-DBL_MAX
    0x4330000000000000ull, 0x4340000000000000ull,  // 2^52, 2^53
    0x43E0000000000000ull, 0xC3E0000000000000ull,  // +-2^63
    0x41E0000000000000ull, 0xC1E0000000000000ull,  // +-2^31
    0x3D719799812DEA11ull, 0x3D719799812DFD69ull,  // 1e-12 and the rounding fuzz
    0x3FE0000000000000ull, 0xBFE0000000000000ull,  // +-0.5
    0x40D0000000000000ull, 0x40862E42FEFA39EFull,  // 16384, ln DBL_MAX
    0x4065800000000000ull, 0xC065400000000000ull,  // 172, -170
    0x3FF762D86356BE3Full, 0x3CA0000000000002ull,  // the zero of digamma, one step above 2^-53
    0x4059000000000000ull, 0x3FEFFFFFFFFFFFFFull,  // 100, the double below 1
    0x7E37E43C8800759Cull, 0x2B2BFF2EE48E0530ull,  // 1e300, 1e-100
};
constexpr std::size_t SPECIAL_COUNT = sizeof SPECIALS / sizeof SPECIALS[0];

struct Value {
    bool numeric = true;
    double x = 0.0;
    std::u32string s;
};

struct Call {
    std::uint8_t function = 0;
    int refuse = 0;
    bool premark = false;
    std::uint16_t count_sel = 0;
    std::uint16_t room = 0;
    std::vector<Value> args;  // as read; the target fits them to the count and the kinds
    Fill fill = F_CYCLE;
    std::uint32_t shuffle_seed = 0;
};

class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ >= end_; }
    std::uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    std::uint64_t le(int bytes) {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(u8()) << (8 * i);
        return v;
    }

private:
    const std::uint8_t *p_;
    const std::uint8_t *end_;
};

inline double missing_at(int index) {
    return std::bit_cast<double>(0xFFFFFF0000000000ull - static_cast<std::uint64_t>(index) * 0x0000010000000000ull);
}

inline double small_number(std::uint8_t tag, std::int8_t v) {
    double x = std::ldexp(static_cast<double>(v), -((tag >> 3) & 3));
    switch (tag >> 5) {
        case 1: return x + 1e-13;
        case 2: return x - 1e-13;
        case 3: return x + 4e-12;
        case 4: return x - 4e-12;
        case 5: return std::nextafter(x, std::numeric_limits<double>::infinity());
        case 6: return std::nextafter(x, -std::numeric_limits<double>::infinity());
        case 7: return std::ldexp(x, 40);
        default: return x;
    }
}

// Reads a call; at most `limit` argument records.
inline Call read_call(const std::uint8_t *data, std::size_t size, std::size_t limit) {
    Reader r(data, size);
    Call c;
    c.function = r.u8();
    const std::uint8_t options = r.u8();
    c.refuse = options & 3;
    c.premark = (options & 4) != 0;
    c.count_sel = static_cast<std::uint16_t>(r.le(2));
    c.room = static_cast<std::uint16_t>(r.le(2) % (CHAR_MAX_LENGTH + 1));
    while (!r.done() && c.args.size() < limit) {
        const std::uint8_t tag = r.u8();
        Value v;
        switch (tag & 7) {
            case T_DOUBLE: v.x = std::bit_cast<double>(r.le(8)); break;
            case T_MISSING: {
                const int index = r.u8() % 28;
                v.x = (tag & 8) ? std::bit_cast<double>(0xFFFF000000000000ull | r.le(6)) : missing_at(index);
                break;
            }
            case T_SMALL: v.x = small_number(tag, static_cast<std::int8_t>(r.u8())); break;
            case T_SPECIAL: v.x = std::bit_cast<double>(SPECIALS[r.u8() % SPECIAL_COUNT]); break;
            case T_CHARS: {
                v.numeric = false;
                const std::size_t n = r.le(2) % (CHAR_MAX_LENGTH + 1);
                const int mode = (tag >> 3) & 3;
                v.s.reserve(n);
                for (std::size_t i = 0; i < n; ++i) {
                    if (mode == 0) v.s.push_back(static_cast<char32_t>(r.u8()));
                    else if (mode == 1) v.s.push_back(static_cast<char32_t>(r.le(4)));
                    else if (mode == 2) v.s.push_back(U' ');
                    else v.s.push_back(i < n / 2 ? static_cast<char32_t>(r.u8()) : U' ');
                }
                break;
            }
            case T_FILL:
                c.fill = static_cast<Fill>(r.u8() % F_COUNT);
                c.shuffle_seed = static_cast<std::uint32_t>(r.le(4));
                return c;
            default: {
                const std::size_t times = r.u8();
                const Value last = c.args.empty() ? Value{} : c.args.back();
                for (std::size_t i = 0; i < times && c.args.size() < limit; ++i) c.args.push_back(last);
                continue;
            }
        }
        c.args.push_back(std::move(v));
    }
    return c;
}

// The argument count a call asks for, kept within min..max (max < 0: no upper bound).
inline std::size_t fit_count(std::uint16_t sel, int min, int max) {
    std::size_t n = (sel & 0xC000) == 0xC000 ? (sel & 0x0FFFu) >> ((sel >> 12) & 3) : (sel & 0x1F);
    if (max >= 0 && n > static_cast<std::size_t>(max))
        n = static_cast<std::size_t>(min) + n % static_cast<std::size_t>(max - min + 1);
    return std::max(n, static_cast<std::size_t>(min));
}

// Which of the values read stands at position i of a list of n filled by the pattern.
inline std::size_t fill_source(Fill fill, std::size_t i, std::size_t n, std::size_t have, std::uint32_t &state) {
    if (have == 0) return 0;
    switch (fill) {
        case F_ASCENDING: return i * have / n;
        case F_DESCENDING: return (n - 1 - i) * have / n;
        case F_ORGAN: return (i < n / 2 ? i : n - 1 - i) * have / (n / 2 + 1);
        case F_VEE: {
            const std::size_t mid = n / 2, d = i < mid ? mid - i : i - mid;
            return d * have / (mid + 1);
        }
        case F_SHUFFLED:
            state = state * 1664525u + 1013904223u;
            return (state >> 8) % have;
        default: return i % have;
    }
}

// ---- writing calls (seeds) ------------------------------------------------------------------

class Writer {
public:
    Writer(std::uint8_t function, int refuse, std::size_t count, std::uint16_t room = 64) {
        bytes_.push_back(function);
        bytes_.push_back(static_cast<std::uint8_t>(refuse & 3));
        const std::uint16_t sel = count < 32 ? static_cast<std::uint16_t>(count) : static_cast<std::uint16_t>(0xC000 | count);
        le(sel, 2);
        le(room, 2);
    }
    Writer &num(double x) {
        bytes_.push_back(T_DOUBLE);
        le(std::bit_cast<std::uint64_t>(x), 8);
        return *this;
    }
    Writer &chars(const std::u32string &s) {
        const bool wide = std::any_of(s.begin(), s.end(), [](char32_t c) { return c > 0xFF; });
        bytes_.push_back(static_cast<std::uint8_t>(T_CHARS | (wide ? 8 : 0)));
        le(s.size(), 2);
        for (char32_t c : s) le(c, wide ? 4 : 1);
        return *this;
    }
    Writer &fill(Fill how, std::uint32_t seed = 0) {
        bytes_.push_back(T_FILL);
        bytes_.push_back(how);
        le(seed, 4);
        return *this;
    }
    const std::vector<std::uint8_t> &bytes() const { return bytes_; }

private:
    void le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    std::vector<std::uint8_t> bytes_;
};

}  // namespace qvfuzz

// Counting, coalescing and lookup. These functions inspect the list rather than compute with
// it: every outcome, "nothing found" included, is expressed in the result and the status is
// always STATUS_OK. A character value is blank when it is empty or holds only blanks.
#include <algorithm>
#include <cstring>

#include "qv/args.hpp"
#include "qv/export.hpp"

namespace {

using qv::ArgView;

constexpr std::uint32_t BLANK = 32;

inline bool blank(const std::uint32_t *chars, std::uint64_t length) { return pqMemTNot(BLANK, chars, length) == 1; }

inline QvStatus answer(double *result, double value) {
    *result = value;
    return STATUS_OK;
}

// Equal once the shorter value is extended with blanks: the common prefix matches and the
// longer value's excess is all blanks. Compared in place as 32-bit code units.
inline bool padded_equal(const CharValue &a, const CharValue &b) {
    const CharValue &shorter = a.length <= b.length ? a : b;
    const CharValue &longer = a.length <= b.length ? b : a;
    const std::uint64_t common = shorter.length;
    if (common != 0 && std::memcmp(a.chars, b.chars, common * sizeof(std::uint32_t)) != 0) return false;
    return longer.length == common || blank(longer.chars + common, longer.length - common);
}

template <bool Missing>
inline QvStatus count_if_missing(FuncArgList *args, double *result) {
    return answer(result, static_cast<double>(qv::count_missing<Missing>(ArgView(args))));
}

}  // namespace

QV_EXPORT QvStatus qvfncn(FuncArgList *args, double *result) { return count_if_missing<false>(args, result); }

QV_EXPORT QvStatus qvfncnmis(FuncArgList *args, double *result) { return count_if_missing<true>(args, result); }

// Looks only at the first argument; its descriptor says whether it is numeric or character.
// An empty list answers as a missing argument.
QV_EXPORT QvStatus qvfncmis(FuncArgList *args, double *result) {
    const ArgView v(args);
    if (v.count64() < 1) return answer(result, 1.0);
    if (v.is_numeric(0)) return answer(result, qv::is_missing(v.num(0)) ? 1.0 : 0.0);
    const CharValue &s = v.chr(0);
    return answer(result, blank(s.chars, s.length) ? 1.0 : 0.0);
}

QV_EXPORT QvStatus qvfnccoal(FuncArgList *args, double *result) {
    *result = qv::MISSING_DOT;
    const ArgView v(args);
    for (std::int32_t i = 0; i < v.count32(); ++i) {
        const double x = v.num(i);
        if (!qv::is_missing(x)) return answer(result, x);
    }
    return STATUS_OK;
}

// Copies the first non-blank argument, cut at the result's capacity; leaves the result empty
// when there is none. Capacity, buffer and the characters past the copy stay as they were.
QV_EXPORT QvStatus qvfnccoac(FuncArgList *args, CharValue *result) {
    result->length = 0;
    const ArgView v(args);
    for (std::int32_t i = 0; i < v.count32(); ++i) {
        const CharValue &s = v.chr(i);
        if (blank(s.chars, s.length)) continue;
        const std::uint16_t m = std::min(s.length, result->capacity);
        if (m != 0) std::memcpy(result->chars, s.chars, m * sizeof(std::uint32_t));
        result->length = m;
        return STATUS_OK;
    }
    return STATUS_OK;
}

// Position among the later arguments of the first one equal to the first argument; missing
// candidates never match, and 0.0 equals -0.0.
QV_EXPORT QvStatus qvfncwhin(FuncArgList *args, double *result) {
    const ArgView v(args);
    if (v.count64() < 1 || qv::is_missing(v.num(0))) return answer(result, qv::MISSING_DOT);
    const double key = v.num(0);
    for (std::int64_t i = 1; i < v.count64(); ++i) {
        const double x = v.num(i);
        if (!qv::is_missing(x) && x == key) return answer(result, static_cast<double>(i));
    }
    return answer(result, 0.0);
}

// As WHICHN for character values compared with blank padding; an empty first argument has
// nothing to look for, while a value of blanks is searched like any other.
QV_EXPORT QvStatus qvfncwhich(FuncArgList *args, double *result) {
    const ArgView v(args);
    if (v.count64() < 1 || v.chr(0).length == 0) return answer(result, qv::MISSING_DOT);
    const CharValue &key = v.chr(0);
    for (std::int64_t i = 1; i < v.count64(); ++i)
        if (padded_equal(key, v.chr(i))) return answer(result, static_cast<double>(i));
    return answer(result, 0.0);
}

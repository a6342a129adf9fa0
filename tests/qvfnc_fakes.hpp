// Stand-in table functions for testing the qvfnc host on its own: the host's parsing, checking,
// list building and reporting must not depend on which families the package has yet.
#pragma once

#include <cmath>
#include <string_view>

#include "program.hpp"
#include "qv/values.hpp"

namespace fakes {

// SUM: the sum; a missing value gives ., a negative one is marked invalid.
inline QvStatus sum(FuncArgList *list, double *result) {
    *result = qv::MISSING_DOT;
    double s = 0.0;
    bool invalid = false;
    for (std::int64_t i = 0; i < list->count; ++i) {
        const double x = *static_cast<const double *>(list->args[i].value);
        if (qv::is_missing(x)) return STATUS_MISSING_ARG;
        if (x < 0) {
            list->args[i].flags |= FUNCARG_INVALID;
            invalid = true;
        }
        s += x;
    }
    if (invalid) return STATUS_INVALID_ARG;
    *result = s;
    return STATUS_OK;
}

// MOD: the number of arguments it was given.
inline QvStatus mod(FuncArgList *list, double *result) {
    *result = static_cast<double>(list->count);
    return STATUS_OK;
}

inline QvStatus root(double *result, double x) {
    *result = qv::MISSING_DOT;
    if (qv::is_missing(x)) return STATUS_MISSING_ARG;
    if (x < 0) return STATUS_INVALID_ARG;
    *result = std::sqrt(x);
    return STATUS_OK;
}

inline std::u32string_view text(const FuncArgList *list, std::int64_t i) {
    const auto *cv = static_cast<const CharValue *>(list->args[i].value);
    return {reinterpret_cast<const char32_t *>(cv->chars), cv->length};
}

// COALESCEC: the first non-empty argument, cut to the result's capacity.
inline QvStatus coalescec(FuncArgList *list, CharValue *result) {
    result->length = 0;
    for (std::int64_t i = 0; i < list->count; ++i) {
        const std::u32string_view s = text(list, i);
        if (s.empty()) continue;
        const std::size_t n = std::min<std::size_t>(s.size(), result->capacity);
        std::copy_n(s.data(), n, reinterpret_cast<char32_t *>(result->chars));
        result->length = static_cast<std::uint16_t>(n);
        break;
    }
    return STATUS_OK;
}

// WHICHC: the position of the first later argument equal to the first, else 0.
inline QvStatus whichc(FuncArgList *list, double *result) {
    *result = 0;
    for (std::int64_t i = 1; i < list->count; ++i)
        if (text(list, i) == text(list, 0)) {
            *result = static_cast<double>(i);
            break;
        }
    return STATUS_OK;
}

inline FuncTableRow row(QvEntry entry) {
    FuncTableRow r{};
    r.entry = entry;
    return r;
}

inline const FuncTableRow *find(std::string_view name) {
    static const FuncTableRow SUM = row({.list = sum}), MOD = row({.list = mod}), SQRT = row({.scalar = root}),
                              COAL = row({.charList = coalescec}), WHICH = row({.list = whichc});
    if (name == "SUM") return &SUM;
    if (name == "MOD") return &MOD;
    if (name == "SQRT") return &SQRT;
    if (name == "COALESCEC") return &COAL;
    if (name == "WHICHC") return &WHICH;
    return nullptr;
}

inline const qvhost::Lookup lookup = find;

}  // namespace fakes

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

inline QvStatus root(double *result, double x) {
    *result = qv::MISSING_DOT;
    if (qv::is_missing(x)) return STATUS_MISSING_ARG;
    if (x < 0) return STATUS_INVALID_ARG;
    *result = std::sqrt(x);
    return STATUS_OK;
}

// COALESCEC: the first non-empty argument, cut to the result's capacity.
inline QvStatus coalescec(FuncArgList *list, CharValue *result) {
    result->length = 0;
    for (std::int64_t i = 0; i < list->count; ++i) {
        const auto *s = static_cast<const CharValue *>(list->args[i].value);
        if (s->length == 0) continue;
        const std::size_t n = std::min(s->length, result->capacity);
        std::copy_n(s->chars, n, result->chars);
        result->length = static_cast<std::uint16_t>(n);
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
    static const std::pair<std::string_view, FuncTableRow> rows[] = {{"SUM", row({.list = sum})},
                                                                      {"SQRT", row({.scalar = root})},
                                                                      {"COALESCEC", row({.charList = coalescec})}};
    for (const auto &[n, row] : rows)
        if (n == name) return &row;
    return nullptr;
}

inline const qvhost::Lookup lookup = find;

}  // namespace fakes

// The host library's handles, shared by its C entry points.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arglist.hpp"
#include "catalogue.hpp"
#include "engine.hpp"
#include "loader.hpp"
#include "memory.hpp"
#include "message.hpp"
#include "ordered.hpp"
#include "short_call.hpp"
#include "qv/values.hpp"
#include "qvhost.h"
#include "standin.hpp"

namespace qvhost {

// The name an object's messages give its function: the catalogue's, or what its caller set.
struct Label {
    char text[64] = "";
    void set(const char *name) noexcept;
    std::string_view view() const { return text; }
};

}  // namespace qvhost

struct qvh_package {
    std::unique_ptr<qvhost::Package> package;
    std::vector<QvEntry> entries;  // by catalogue position; null where the package has none
    qvhost::Memory memory;         // for the calls and aggregates made from now on
};

struct qvh_call {
    explicit qvh_call(const qvhost::Memory &m) : mem(m), pool(m) {}
    qvhost::Memory mem;
    qvh_package *pkg = nullptr;  // the package it was made from
    const qvh_info *info = nullptr;
    QvEntry entry{};
    qvhost::Label label;
    qvhost::MemoryPool pool;
    qvhost::ArgList args{pool.host(), mem};
    double result = 0.0;
    std::u32string char_buffer;  // a character result's room
    CharValue char_result{};
    std::string text;            // the character result as UTF-8
    QvStatus status = STATUS_OK;
    bool invoked = false;
    bool shape_checked = false;  // the count and kinds passed the catalogue's check since the last change
    std::u32string scratch;      // a character argument on its way in
    std::size_t asked = 0;       // bytes of the last request for memory refused (0: none or unknown)
    qvhost::Interrupt interrupt;
    qvhost::WarmBlock warm{mem};  // the argument list of qvh_call_over and qvh_moving, kept
    qvhost::OrderedWindow ordered{mem};  // qvh_moving's window of an order statistic, kept
    qvhost::OverKey over;                // what the warm block's list was laid out for
};

namespace qvhost {

// The package entry of a function by name, with the checks every constructor needs.
int resolve(qvh_package *pkg, const char *name, const char *what, const qvh_info *&info, QvEntry &entry) noexcept;

// Loads a double from a place that may not be aligned.
inline double load(const void *p) noexcept {
    double x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// A NaN that is not a missing value becomes the missing value '.'.
inline double edge_value(double x) noexcept { return x != x && !qv::is_missing(x) ? qv::MISSING_DOT : x; }

// What a function gave, as the host delivers it: a NaN that is not a missing value becomes '.',
// and an OK status becomes QVH_STATUS_NOT_A_NUMBER.
inline void deliver(double &result, QvStatus &status) noexcept {
    if (result != result && !qv::is_missing(result)) {
        result = qv::MISSING_DOT;
        if (status == STATUS_OK) status = QVH_STATUS_NOT_A_NUMBER;
    }
}

// The package was refused memory (qvh_status_is_memory).
inline bool memory_status(std::int32_t status) noexcept { return status == STATUS_NO_SCRATCH || status == STATUS_NO_MEMORY; }

// Counts a row's status and mark (qvh_tally_add).
inline void tally_add_rows(qvh_tally &t, std::int32_t status, std::uint64_t rows) noexcept {
    t.rows += rows;
    switch (status) {
        case STATUS_OK: break;
        case STATUS_MISSING_ARG: t.missing_arg += rows; break;
        case STATUS_INVALID_ARG: t.invalid_arg += rows; break;
        case QVH_STATUS_NOT_A_NUMBER: t.not_a_number += rows; break;
        default: t.other += rows; break;
    }
}
inline void tally_add(qvh_tally &t, std::int32_t status, bool marked) noexcept {
    tally_add_rows(t, status, 1);
    t.marked += marked ? 1 : 0;
}

// "2 arguments", "at least 1 argument", "1 to 3 arguments".
void put_arity(Msg &m, const qvh_info &f);
// The usage with the function called label.
void put_usage(Msg &m, const qvh_info &f, std::string_view label);
// The catalogue's check of a number of arguments and, when kind_of is given, of their kinds
// (kind_of(i) is QVH_KIND_NUM or QVH_KIND_CHR).
int check_count(const qvh_info &f, std::string_view label, std::size_t n) noexcept;
// text, when given, is the character value that came where a number is wanted, shown in the message.
int kind_mismatch(const qvh_info &f, std::string_view label, std::size_t i, int want,
                  std::string_view text = {}) noexcept;
// Out of memory in the one wording of qvh_nomem_message, for qvh_errmsg: label, the row of a batch
// (0: none) of rows (0: unknown), the bytes asked for (0: unknown).
int no_memory(std::string_view label, std::uint64_t row, std::uint64_t rows, std::size_t bytes) noexcept;
void put_nomem(Msg &m, std::string_view label, std::uint64_t row, std::uint64_t rows, std::size_t bytes);
// Copies text into buf (at most size - 1 bytes and a terminating zero); returns the full length, as
// every entry that writes text into a caller's buffer does.
std::size_t copy_out(std::string_view text, char *buf, std::size_t size) noexcept;
template <class KindOf>
int check_shape(const qvh_info &f, std::string_view label, std::size_t n, KindOf kind_of) noexcept {
    if (const int rc = check_count(f, label, n); rc != QVH_OK) return rc;
    for (std::size_t i = 0; i < n; ++i) {
        const int want = i == 0 ? f.first_kind : f.rest_kind;
        if ((want & kind_of(i)) == 0) return kind_mismatch(f, label, i, want);
    }
    return QVH_OK;
}

}  // namespace qvhost

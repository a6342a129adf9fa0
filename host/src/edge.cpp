// The rules of the edge that every surface applies: values by kind in, results out, statuses
// counted and worded, out of memory worded, and rows ordered by group.
#include <algorithm>
#include <cstring>
#include <limits>

#include "internal.hpp"
#include "text.hpp"

namespace qvhost {

namespace {

void put_label(Msg &m, const char *label) {
    if (label != nullptr && *label != '\0') m << label << ": ";
}

// The not-ok counts of a tally in the order they are worded.
struct Count {
    std::uint64_t n;
    const char *what;
};

}  // namespace

void put_nomem(Msg &m, std::string_view label, std::uint64_t row, std::uint64_t rows, std::size_t bytes) {
    if (!label.empty()) m << label << ": ";
    m << "out of memory";
    if (bytes > 0) m << " asking for " << static_cast<unsigned long long>(bytes) << (bytes == 1 ? " byte" : " bytes");
    if (row > 0) {
        m << " in row " << static_cast<unsigned long long>(row);
        if (rows > 0) m << " of " << static_cast<unsigned long long>(rows);
    }
}

int no_memory(std::string_view label, std::uint64_t row, std::uint64_t rows, std::size_t bytes) noexcept {
    Msg m;
    put_nomem(m, label, row, rows, bytes);
    return fail(QVH_E_NOMEM, m);
}

// The rows go to as many places as there are groups, each filled a line at a time, which is more
// streams than the processor follows: a row asks for the line after the one it fills (LINE_AHEAD
// entries on), so that the line is in the cache when its group gets there. This halves the time
// of placing 10^6 rows in 1000 groups.
constexpr std::size_t LINE_AHEAD = 8;

// The one group order: a stable counting sort of rows by their group code (negative: no group).
// Counts each group's rows into starts[g + 1], checking the codes as it goes (a code out of range
// is QVH_E_RANGE naming its row, before anything is placed), sums them into beginnings, and places
// what row i gives (its number, or its value) at its group's next place, using starts[g] as that
// place and shifting the beginnings back at the end.
template <typename Code, typename Out, typename Row>
int group_rows(const char *who, const Code *codes, size_t n, size_t ngroups, size_t *starts, Out *out,
               Row row) noexcept {
    if ((n > 0 && (codes == nullptr || out == nullptr)) || starts == nullptr)
        return fail(QVH_E_NULL, Msg() << who << ": the codes, the output or starts are NULL");
    if (ngroups >= SIZE_MAX / sizeof *starts) return fail(QVH_E_RANGE, Msg() << who << ": too many groups");
    std::memset(starts, 0, (ngroups + 1) * sizeof *starts);
    bool bad = false;
    for (size_t i = 0; i < n; ++i) {
        const Code c = codes[i];
        if (c >= 0 && static_cast<std::uint64_t>(c) < ngroups)
            ++starts[c + 1];
        else
            bad = bad || c >= 0;
    }
    for (size_t i = 0; bad && i < n; ++i)
        if (codes[i] >= 0 && static_cast<std::uint64_t>(codes[i]) >= ngroups)
            return fail(QVH_E_RANGE, Msg() << who << ": row " << static_cast<unsigned long long>(i + 1)
                                           << " has group " << static_cast<long long>(codes[i]) << " of "
                                           << static_cast<unsigned long long>(ngroups));
    for (size_t g = 0; g < ngroups; ++g) starts[g + 1] += starts[g];
    for (size_t i = 0; i < n; ++i) {
        if (codes[i] < 0) continue;
        const size_t at = starts[codes[i]]++;
        __builtin_prefetch(out + std::min(at + LINE_AHEAD, n - 1), 1);
        out[at] = row(i);
    }
    for (size_t g = ngroups; g > 0; --g) starts[g] = starts[g - 1];
    starts[0] = 0;
    return ok();
}

// The values of a strided column, as they are.
inline auto strided(const double *xs, ptrdiff_t stride) {
    return [base = reinterpret_cast<const char *>(xs), stride](size_t i) {
        double x;
        std::memcpy(&x, base + static_cast<ptrdiff_t>(i) * stride, sizeof x);
        return x;
    };
}

}  // namespace qvhost

using namespace qvhost;

extern "C" {

int qvh_edge_arg(const qvh_info *f, const char *label, size_t index, const qvh_value *v, qvh_value *out) noexcept {
    if (f == nullptr || v == nullptr || out == nullptr) return fail(QVH_E_NULL, "qvh_edge_arg: the function, value or out is NULL");
    const int want = index == 0 ? f->first_kind : f->rest_kind;
    const std::string_view name = label != nullptr ? label : f->name;
    qvh_value r{QVH_VALUE_NUM, qv::MISSING_DOT, "", 0};
    switch (v->kind) {
        case QVH_VALUE_NULL:
            if (want == QVH_KIND_CHR) r.kind = QVH_VALUE_TEXT;
            break;
        case QVH_VALUE_NUM:
            if (want == QVH_KIND_CHR) return kind_mismatch(*f, name, index, want);
            r.num = edge_value(v->num);
            break;
        case QVH_VALUE_TEXT: {
            if (v->text == nullptr && v->len > 0) return fail(QVH_E_NULL, "qvh_edge_arg: the text is NULL");
            const std::string_view text(v->text == nullptr ? "" : v->text, v->len);
            const int missing = want == QVH_KIND_CHR ? -1 : missing_literal(text);
            if (missing >= 0) {
                r.num = qv::missing_value(missing);
            } else if (want == QVH_KIND_NUM) {
                if (!text.empty()) return kind_mismatch(*f, name, index, want, text);
            } else {
                r = {QVH_VALUE_TEXT, 0.0, text.data(), text.size()};
            }
            break;
        }
        default:
            return fail(QVH_E_RANGE, Msg() << "qvh_edge_arg: no value kind " << v->kind);
    }
    *out = r;
    return ok();
}

double qvh_edge_result(double x, int32_t *status) noexcept {
    QvStatus st = status != nullptr ? *status : STATUS_MISSING_ARG;
    deliver(x, st);
    if (status != nullptr) *status = st;
    return x;
}

void qvh_tally_add(qvh_tally *t, int32_t status, int marked) noexcept {
    if (t != nullptr) tally_add(*t, status, marked != 0);
}

void qvh_tally_merge(qvh_tally *into, const qvh_tally *from) noexcept {
    if (into == nullptr || from == nullptr) return;
    into->rows += from->rows;
    into->missing_arg += from->missing_arg;
    into->invalid_arg += from->invalid_arg;
    into->not_a_number += from->not_a_number;
    into->other += from->other;
    into->marked += from->marked;
}

size_t qvh_tally_describe(const qvh_tally *t, const char *label, char *buf, size_t size) noexcept {
    Msg m;
    put_label(m, label);
    const qvh_tally z{};
    if (t == nullptr) t = &z;
    const Count counts[] = {{t->missing_arg, "missing argument"},
                            {t->invalid_arg, "invalid argument"},
                            {t->not_a_number, "not a number"},
                            {t->other, t->other == 1 ? "other status" : "other statuses"}};
    bool all_ok = true;
    for (const Count &c : counts) all_ok = all_ok && c.n == 0;
    if (t->rows == 0) {
        m << "no rows";
    } else if (all_ok) {
        m << "ok";
    } else {
        // The first count says of how many rows: "2 of 10 rows gave missing argument, 1 not a number".
        bool first = true;
        for (const Count &c : counts) {
            if (c.n == 0) continue;
            if (!first) m << ", ";
            if (t->rows > 1) m << static_cast<unsigned long long>(c.n) << ' ';
            if (t->rows > 1 && first) m << "of " << static_cast<unsigned long long>(t->rows) << " rows gave ";
            m << c.what;
            first = false;
        }
    }
    if (t->rows == 1 && t->marked > 0) m << "; an argument marked invalid";
    else if (t->marked > 0)
        m << "; " << static_cast<unsigned long long>(t->marked) << (t->marked == 1 ? " row" : " rows")
          << " marked an argument invalid";
    return copy_out(m.view(), buf, size);
}

size_t qvh_status_message(int32_t status, const char *label, char *buf, size_t size) noexcept {
    Msg m;
    if (qvh_status_is_memory(status)) put_nomem(m, label != nullptr ? label : "", 0, 0, 0);
    else put_label(m, label), m << qvh_status_name(status);
    return copy_out(m.view(), buf, size);
}

size_t qvh_nomem_message(const char *label, uint64_t row, uint64_t rows, size_t bytes_asked, char *buf,
                         size_t size) noexcept {
    Msg m;
    put_nomem(m, label != nullptr ? label : "", row, rows, bytes_asked);
    return copy_out(m.view(), buf, size);
}

int qvh_group_order(const int64_t *codes, size_t n, size_t ngroups, size_t *order, size_t *starts) noexcept {
    return group_rows("qvh_group_order", codes, n, ngroups, starts, order, [](size_t i) { return i; });
}

int qvh_group_values(const int64_t *codes, size_t n, size_t ngroups, const double *xs, ptrdiff_t stride, double *values,
                     size_t *starts) noexcept {
    if (n > 0 && xs == nullptr) return fail(QVH_E_NULL, "qvh_group_values: the column is NULL");
    return group_rows("qvh_group_values", codes, n, ngroups, starts, values, strided(xs, stride));
}

int qvh_group_values32(const int32_t *codes, size_t n, size_t ngroups, const double *xs, ptrdiff_t stride,
                       double *values, size_t *starts) noexcept {
    if (n > 0 && xs == nullptr) return fail(QVH_E_NULL, "qvh_group_values32: the column is NULL");
    return group_rows("qvh_group_values32", codes, n, ngroups, starts, values, strided(xs, stride));
}

}  // extern "C"

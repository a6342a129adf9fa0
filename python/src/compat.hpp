// Temporary: the calls of host library 1.1 that the module uses, made of 1.0 calls. Goes away
// when the module is built against 1.1.
#pragma once

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#define QVH_STATUS_NOT_A_NUMBER ((int32_t)0x0001D8F1)

typedef struct qvh_tally {
    uint64_t rows, missing_arg, invalid_arg, not_a_number, other, marked;
} qvh_tally;

inline int qvh_status_is_memory(int32_t s) { return s == QVH_STATUS_NO_SCRATCH || s == QVH_STATUS_NO_MEMORY; }
inline double qvh_dot(void) {
    double d = 0;
    qvh_missing('.', &d);
    return d;
}
inline int qvh_call_set_label(qvh_call *, const char *) { return QVH_OK; }
inline int qvh_agg_set_label(qvh_agg *, const char *) { return QVH_OK; }
inline int qvh_package_has(const qvh_package *pkg, const qvh_info *f) {
    qvh_call *c = nullptr;
    const int rc = qvh_call_new(const_cast<qvh_package *>(pkg), f->name, &c);
    qvh_call_free(c);
    return rc == QVH_OK;
}
inline int qvh_call_rows(qvh_call *call, size_t rows, size_t nargs, const double *const *args, const ptrdiff_t *strides,
                         double *out, ptrdiff_t out_stride, int32_t *statuses, unsigned char *marks, qvh_tally *tally) {
    qvh_call_clear(call);
    for (size_t j = 0; j < nargs; ++j)
        if (int rc = qvh_call_add_num(call, rows ? args[j][0] : 0.0); rc != QVH_OK) return rc;
    for (size_t i = 0; i < rows; ++i) {
        for (size_t j = 0; j < nargs; ++j)
            qvh_call_set_num(call, j, *reinterpret_cast<const double *>(reinterpret_cast<const char *>(args[j]) + i * strides[j]));
        if (int rc = qvh_call_invoke(call); rc != QVH_OK) return rc;
        int32_t st = qvh_call_status(call);
        double r = qvh_call_result(call);
        if (st == QVH_STATUS_OK && std::isnan(r) && !qvh_is_missing(r)) {
            st = QVH_STATUS_NOT_A_NUMBER;
            r = qvh_dot();
        }
        if (qvh_status_is_memory(st)) return QVH_E_NOMEM;
        *reinterpret_cast<double *>(reinterpret_cast<char *>(out) + i * out_stride) = r;
        if (statuses) statuses[i] = st;
        bool any = false;
        for (size_t j = 0; j < nargs; ++j) {
            const bool m = st != QVH_STATUS_OK && qvh_call_marked(call, j);
            any = any || m;
            if (marks) marks[i * nargs + j] = m;
        }
        if (tally) {
            ++tally->rows;
            tally->missing_arg += st == QVH_STATUS_MISSING_ARG;
            tally->invalid_arg += st == QVH_STATUS_INVALID_ARG;
            tally->not_a_number += st == QVH_STATUS_NOT_A_NUMBER;
            tally->other += st != QVH_STATUS_OK && st != QVH_STATUS_MISSING_ARG && st != QVH_STATUS_INVALID_ARG &&
                            st != QVH_STATUS_NOT_A_NUMBER;
            tally->marked += any;
        }
    }
    return QVH_OK;
}
inline int qvh_check_args(const qvh_info *f, const char *label, size_t n, const int *kinds) {
    (void)label;
    if (n < static_cast<size_t>(f->min_args) || (f->max_args >= 0 && n > static_cast<size_t>(f->max_args))) return QVH_E_ARITY;
    for (size_t i = 0; kinds && i < n; ++i)
        if (((i == 0 ? f->first_kind : f->rest_kind) & kinds[i]) == 0) return QVH_E_KIND;
    return QVH_OK;
}
inline size_t qvh_usage(const qvh_info *f, const char *label, char *buf, size_t size) {
    std::string u = f->usage;
    if (label) u = label + u.substr(std::strlen(f->name));
    if (buf && size) {
        size_t k = u.size() < size - 1 ? u.size() : size - 1;
        std::memcpy(buf, u.data(), k);
        buf[k] = 0;
    }
    return u.size();
}
inline size_t qvh_escape(const char *text, size_t len, size_t max, char *buf, size_t size) {
    std::string u(text, max && len > max ? max : len);
    if (max && len > max) u += "...";
    if (buf && size) {
        size_t k = u.size() < size - 1 ? u.size() : size - 1;
        std::memcpy(buf, u.data(), k);
        buf[k] = 0;
    }
    return u.size();
}

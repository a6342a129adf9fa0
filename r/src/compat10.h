/* Stand-ins for the host library 1.1 calls this package uses, while it is built against 1.0.
 * Removed once the host library 1.1 is merged. */
#ifndef QVR_COMPAT10_H
#define QVR_COMPAT10_H
#include <qvhost.h>
#include <ctype.h>
#include <string.h>
#if QVH_VERSION_MINOR < 1
#define QVH_STATUS_NOT_A_NUMBER ((int32_t)0x0001D8F1)
typedef struct qvh_tally {
    uint64_t rows, missing_arg, invalid_arg, not_a_number, other, marked;
} qvh_tally;
static inline int qvh_status_is_memory(int32_t s) { return s == QVH_STATUS_NO_SCRATCH || s == QVH_STATUS_NO_MEMORY; }
static inline double qvh_dot(void) { double d = 0; qvh_missing('.', &d); return d; }
static inline int qvh_call_set_label(qvh_call *c, const char *l) { (void)c; (void)l; return QVH_OK; }
static inline int qvh_agg_set_label(qvh_agg *a, const char *l) { (void)a; (void)l; return QVH_OK; }
static inline const char *qvh_sql_name(const qvh_info *f) {
    static char names[128][40];
    size_t i = 0;
    while (i < qvh_function_count() && qvh_function_at(i) != f) ++i;
    if (f == NULL || i >= 128) return "";
    if (!names[i][0]) {
        strcpy(names[i], "qv_");
        for (size_t k = 0; f->name[k] && k < 30; ++k) names[i][3 + k] = (char)tolower((unsigned char)f->name[k]);
    }
    return names[i];
}
static inline int qvh_package_has(const qvh_package *pkg, const qvh_info *f) {
    qvh_call *c = NULL;
    int rc = qvh_call_new((qvh_package *)pkg, f->name, &c);
    qvh_call_free(c);
    return rc == QVH_OK;
}
static inline size_t qvh_escape(const char *text, size_t len, size_t max, char *buf, size_t size) {
    (void)max;
    size_t k = len < size - 1 ? len : size - 1;
    memcpy(buf, text, k);
    buf[k] = 0;
    return len;
}
static inline int qvh_check_args(const qvh_info *f, const char *label, size_t n, const int *kinds) {
    (void)f; (void)label; (void)n; (void)kinds;
    return QVH_OK;
}
static inline int qvh_call_rows(qvh_call *call, size_t rows, size_t nargs, const double *const *args,
                                const ptrdiff_t *strides, double *out, ptrdiff_t out_stride, int32_t *statuses,
                                unsigned char *marks, qvh_tally *tally) {
    qvh_call_clear(call);
    for (size_t j = 0; j < nargs; ++j) qvh_call_add_num(call, 0);
    if (tally) memset(tally, 0, sizeof *tally);
    for (size_t i = 0; i < rows; ++i) {
        for (size_t j = 0; j < nargs; ++j)
            qvh_call_set_num(call, j, *(const double *)((const char *)args[j] + (ptrdiff_t)i * strides[j]));
        int rc = qvh_call_invoke(call);
        if (rc != QVH_OK) return rc;
        int32_t s = qvh_call_status(call);
        if (qvh_status_is_memory(s)) return QVH_E_NOMEM;
        *(double *)((char *)out + (ptrdiff_t)i * out_stride) = qvh_call_result(call);
        if (statuses) statuses[i] = s;
        int any = 0;
        for (size_t j = 0; j < nargs; ++j) {
            int m = qvh_call_marked(call, j);
            any |= m;
            if (marks) marks[i * nargs + j] = (unsigned char)m;
        }
        if (tally) {
            tally->rows++;
            tally->marked += any;
            if (s == QVH_STATUS_MISSING_ARG) tally->missing_arg++;
            else if (s == QVH_STATUS_INVALID_ARG) tally->invalid_arg++;
            else if (s != QVH_STATUS_OK) tally->other++;
        }
    }
    return QVH_OK;
}
#endif
#endif

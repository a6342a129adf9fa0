/*
 * One statistic over a vector: qv_median(x), qv_pctl(x, p).
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* qv_median(x), qv_pctl(x, p): one call over every value of x, once for each value of the
 * parameter when the function takes one (params: list() or list(p = ...)). */
SEXP qvr_reduce(SEXP fname, SEXP label_, SEXP x, SEXP params) {
    const qvh_info *info = qvr_lookup(fname);
    const char *label = qvr_label_of(label_);
    const R_xlen_t nlead = XLENGTH(params);
    SEXP pnames = Rf_getAttrib(params, R_NamesSymbol);
    const int xkind = nlead > 0 ? info->rest_kind : info->first_kind;
    const int data_chr = xkind == QVH_KIND_CHR;
    if (data_chr ? TYPEOF(x) != STRSXP : !qvr_is_numeric(x))
        Rf_error("%s: argument x must be %s, not %s", label, data_chr ? "character" : "numeric", qvr_type_words(x));
    SEXP p = nlead > 0 ? VECTOR_ELT(params, 0) : R_NilValue;
    const int param_chr = info->first_kind == QVH_KIND_CHR;
    const char *pname = nlead > 0 ? CHAR(STRING_ELT(pnames, 0)) : "";
    if (nlead > 0 && (param_chr ? TYPEOF(p) != STRSXP : !qvr_is_numeric(p)))
        Rf_error("%s: argument %s must be %s, not %s", label, pname, param_chr ? "character" : "numeric",
                 qvr_type_words(p));
    const R_xlen_t n = XLENGTH(x), m = nlead > 0 ? XLENGTH(p) : 1;
    if ((double)n + (double)nlead < (double)info->min_args)
        Rf_error("%s: x holds %ld value%s; it needs at least %ld", label, (long)n, n == 1 ? "" : "s",
                 (long)(info->min_args - nlead));

    SEXP out = PROTECT(Rf_allocVector(info->result_kind == QVH_KIND_CHR ? STRSXP : REALSXP, m));
    const double *xd = data_chr ? NULL : qvr_doubles(x, 0, n);
    const char **xs = NULL;
    if (data_chr) {
        xs = (const char **)R_alloc(n > 0 ? (size_t)n : 1, sizeof(char *));
        for (R_xlen_t i = 0; i < n; ++i) xs[i] = qvr_utf8_of(STRING_ELT(x, i));
    }
    int32_t *status = qvr_status_room((size_t)m);
    SEXP guard;
    qvh_call *call = qvr_new_call(info, label, &guard);
    int m_done = 0;
    int rc = QVH_OK;
    if (!data_chr && !param_chr && info->form == QVH_FORM_LIST) {
        /* Numbers: each result is one call over x read in place, with no copy of it. */
        unsigned char *marked = info->marks ? (unsigned char *)R_alloc((size_t)(n + nlead) + 1, 1) : NULL;
        for (R_xlen_t k = 0; k < m; ++k) {
            const double lead = nlead > 0 ? qvr_number_at(p, k) : 0;
            double r = 0;
            int32_t st = QVH_STATUS_OK;
            rc = qvh_call_over(call, &lead, (size_t)nlead, xd, (size_t)n, sizeof(double), &r, &st, marked);
            if (rc == QVH_E_NOMEM)
                qvr_fail_memory(guard, label, qvh_status_is_memory(st) ? st : QVH_STATUS_NO_MEMORY, (size_t)k,
                            (size_t)m, "result");
            if (rc != QVH_OK) qvr_fail(guard, qvh_errmsg());
            status[k] = st;
            REAL(out)[k] = r;
            if (marked != NULL && st != QVH_STATUS_OK)
                for (size_t j = 0; j < (size_t)(n + nlead); ++j)
                    if (marked[j]) qvr_add_mark((size_t)k, j);
        }
        m_done = 1;
    }
    if (!m_done && nlead > 0) rc = param_chr ? qvh_call_add_str(call, "", 0) : qvh_call_add_num(call, 0);
    if (!m_done && rc == QVH_OK && !data_chr) rc = qvh_call_add_nums(call, xd, (size_t)n);
    for (R_xlen_t i = 0; rc == QVH_OK && data_chr && i < n; ++i) rc = qvh_call_add_str(call, xs[i], strlen(xs[i]));
    if (rc != QVH_OK) qvr_fail(guard, qvh_errmsg());
    for (R_xlen_t k = 0; !m_done && k < m; ++k) {
        if (nlead > 0) {
            const char *s = param_chr ? qvr_utf8_of(STRING_ELT(p, k)) : NULL;
            rc = param_chr ? qvh_call_set_str(call, 0, s, strlen(s)) : qvh_call_set_num(call, 0, qvr_number_at(p, k));
            if (rc != QVH_OK) qvr_fail(guard, qvh_errmsg());
        }
        if (qvh_call_invoke(call) != QVH_OK) qvr_fail(guard, qvh_errmsg());
        int32_t st = qvh_call_status(call);
        if (qvh_status_is_memory(st)) qvr_fail_memory(guard, label, st, (size_t)k, (size_t)m, "result");
        status[k] = st;
        if (TYPEOF(out) == REALSXP) {
            REAL(out)[k] = qvh_call_result(call);
        } else {
            size_t len = 0;
            const char *s = qvh_call_result_str(call, &len);
            SET_STRING_ELT(out, k, Rf_mkCharLenCE(s, (int)len, CE_UTF8));
        }
        if (info->marks && st != QVH_STATUS_OK)
            for (size_t j = 0; j < (size_t)(n + nlead); ++j)
                if (qvh_call_marked(call, j)) qvr_add_mark((size_t)k, j);
    }
    qvr_release(guard);
    if (TYPEOF(out) == REALSXP) qvr_dot_to_na(REAL(out), m);
    qvr_keep_statuses(status, (size_t)m);
    if (qvr_nmarks() > 0) qvr_keep_names(pnames, (size_t)nlead, "x");
    qvr_warn_statuses(label, "results");
    UNPROTECT(2);
    return out;
}

/*
 * One statistic over a vector: qv_median(x), qv_pctl(x, p).
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* One statistic's .Call in the making: m results over the n values of x, one for each value of
 * the parameter p (one result when there is no parameter). */
typedef struct {
    const qvh_info *info;
    const char *label;
    SEXP x, p, out, guard;
    R_xlen_t n, m, nlead;
    int data_chr, param_chr;
    int32_t *status;
    qvh_call *call;
} reduce_call;

/* Checks the kinds of x and of the parameter and that x holds enough values. */
static void check_reduce(reduce_call *rc, SEXP params) {
    const qvh_info *info = rc->info;
    rc->data_chr = (rc->nlead > 0 ? info->rest_kind : info->first_kind) == QVH_KIND_CHR;
    rc->param_chr = info->first_kind == QVH_KIND_CHR;
    SEXP x = rc->x, p = rc->p;
    if (rc->data_chr ? TYPEOF(x) != STRSXP : !qvr_is_numeric(x))
        qvr_error("%s: argument x must be %s, not %s", rc->label, rc->data_chr ? "character" : "numeric",
                 qvr_type_words(x));
    if (rc->nlead > 0 && (rc->param_chr ? TYPEOF(p) != STRSXP : !qvr_is_numeric(p)))
        qvr_error("%s: argument %s must be %s, not %s", rc->label,
                 CHAR(STRING_ELT(Rf_getAttrib(params, R_NamesSymbol), 0)),
                 rc->param_chr ? "character" : "numeric", qvr_type_words(p));
    if ((double)rc->n + (double)rc->nlead < (double)info->min_args)
        qvr_error("%s: argument x holds %ld value%s; it needs at least %ld", rc->label, (long)rc->n,
                 rc->n == 1 ? "" : "s", (long)(info->min_args - rc->nlead));
}

static void mark_result(R_xlen_t k, size_t nargs, const unsigned char *marked) {
    for (size_t j = 0; j < nargs; ++j)
        if (marked[j]) qvr_add_mark((size_t)k, j);
}

/* Numbers: each result is one call over x read in place, with no copy of it. */
static void reduce_numbers(reduce_call *rc) {
    const double *xd = qvr_doubles(rc->x, 0, rc->n);
    const size_t nargs = (size_t)(rc->n + rc->nlead);
    unsigned char *marked = rc->info->marks ? (unsigned char *)R_alloc(nargs + 1, 1) : NULL;
    for (R_xlen_t k = 0; k < rc->m; ++k) {
        const double lead = rc->nlead > 0 ? qvr_number_at(rc->p, k) : 0;
        int32_t st = QVH_STATUS_OK;
        int r = qvh_call_over(rc->call, &lead, (size_t)rc->nlead, xd, (size_t)rc->n, sizeof(double),
                              REAL(rc->out) + k, &st, marked);
        if (r == QVH_E_NOMEM)
            qvr_fail_memory(rc->guard, rc->label, (size_t)k, (size_t)rc->m);
        if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
        rc->status[k] = st;
        if (marked != NULL && st != QVH_STATUS_OK) mark_result(k, nargs, marked);
    }
}

/* Text: the values go into the call once; each result sets the parameter and invokes it. */
static void reduce_text(reduce_call *rc) {
    qvh_call *call = rc->call;
    int r = QVH_OK;
    if (rc->nlead > 0) r = rc->param_chr ? qvh_call_add_str(call, "", 0) : qvh_call_add_num(call, 0);
    if (r == QVH_OK && !rc->data_chr) r = qvh_call_add_nums(call, qvr_doubles(rc->x, 0, rc->n), (size_t)rc->n);
    for (R_xlen_t i = 0; r == QVH_OK && rc->data_chr && i < rc->n; ++i) {
        const char *s = qvr_utf8_of(STRING_ELT(rc->x, i));
        r = qvh_call_add_str(call, s, strlen(s));
    }
    if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
    for (R_xlen_t k = 0; k < rc->m; ++k) {
        if (rc->nlead > 0) {
            const char *s = rc->param_chr ? qvr_utf8_of(STRING_ELT(rc->p, k)) : NULL;
            r = s ? qvh_call_set_str(call, 0, s, strlen(s)) : qvh_call_set_num(call, 0, qvr_number_at(rc->p, k));
            if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
        }
        if (qvh_call_invoke(call) != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
        int32_t st = qvh_call_status(call);
        if (qvh_status_is_memory(st)) qvr_fail_memory(rc->guard, rc->label, (size_t)k, (size_t)rc->m);
        rc->status[k] = st;
        if (TYPEOF(rc->out) == REALSXP) {
            REAL(rc->out)[k] = qvh_call_result(call);
        } else {
            size_t len = 0;
            const char *s = qvh_call_result_str(call, &len);
            SET_STRING_ELT(rc->out, k, Rf_mkCharLenCE(s, (int)len, CE_UTF8));
        }
        for (size_t j = 0; rc->info->marks && st != QVH_STATUS_OK && j < (size_t)(rc->n + rc->nlead); ++j)
            if (qvh_call_marked(call, j)) qvr_add_mark((size_t)k, j);
    }
}

/* Whether x holds a missing value (NA, NaN, a special missing value, NA_character_). Doubles are
 * read in place a block at a time, four independent tests a step, so the pass runs at the speed of
 * memory and stops at the block of the first missing value. */
static int any_na(SEXP x, R_xlen_t n) {
    if (TYPEOF(x) == REALSXP) {
        const double *d = REAL(x);
        for (R_xlen_t b = 0; b < n; b += 4096) {
            const R_xlen_t e = n - b < 4096 ? n : b + 4096;
            int a0 = 0, a1 = 0, a2 = 0, a3 = 0;
            R_xlen_t i = b;
            for (; i + 4 <= e; i += 4) {
                a0 |= d[i] != d[i];
                a1 |= d[i + 1] != d[i + 1];
                a2 |= d[i + 2] != d[i + 2];
                a3 |= d[i + 3] != d[i + 3];
            }
            for (; i < e; ++i) a0 |= d[i] != d[i];
            if (a0 | a1 | a2 | a3) return 1;
        }
        return 0;
    }
    for (R_xlen_t i = 0; i < n; ++i)
        if (TYPEOF(x) == STRSXP ? STRING_ELT(x, i) == NA_STRING : ISNAN(qvr_number_at(x, i))) return 1;
    return 0;
}

/* na.rm = FALSE over data with a missing value: every result is NA with the status missing
 * argument, as median(x, na.rm = FALSE) is NA; the package is not called. */
static void all_na(reduce_call *rc) {
    for (R_xlen_t k = 0; k < rc->m; ++k) {
        rc->status[k] = QVH_STATUS_MISSING_ARG;
        if (TYPEOF(rc->out) == REALSXP) REAL(rc->out)[k] = NA_REAL;
        else SET_STRING_ELT(rc->out, k, NA_STRING);
    }
}

/* qv_median(x), qv_pctl(x, p): one call over every value of x, once for each value of the
 * parameter when the function takes one (params: list() or list(p = ...)). With na_rm FALSE, a
 * missing value in x makes every result NA. */
SEXP qvr_reduce(SEXP fname, SEXP label_, SEXP x, SEXP params, SEXP na_rm) {
    reduce_call rc = {0};
    rc.info = qvr_lookup(fname);
    rc.label = qvr_label_of(label_);
    rc.x = x;
    rc.nlead = XLENGTH(params);
    rc.p = rc.nlead > 0 ? VECTOR_ELT(params, 0) : R_NilValue;
    rc.n = Rf_xlength(x); /* 0 for NULL, which check_reduce names */
    rc.m = rc.nlead > 0 ? XLENGTH(rc.p) : 1;
    check_reduce(&rc, params);
    rc.out = PROTECT(Rf_allocVector(rc.info->result_kind == QVH_KIND_CHR ? STRSXP : REALSXP, rc.m));
    rc.status = qvr_status_room(rc.label, (size_t)rc.m);
    if (!Rf_asLogical(na_rm) && any_na(x, rc.n)) {
        all_na(&rc);
        qvr_keep_statuses(rc.status, (size_t)rc.m);
        UNPROTECT(1);
        return rc.out;
    }
    rc.call = qvr_warm_call(rc.info, rc.label, &rc.guard);
    if (!rc.data_chr && !rc.param_chr && rc.info->form == QVH_FORM_LIST) reduce_numbers(&rc);
    else reduce_text(&rc);
    qvr_keep_warm(rc.guard, (size_t)rc.n, qvr_busy_values());
    if (TYPEOF(rc.out) == REALSXP) qvr_dot_to_na(REAL(rc.out), rc.m);
    qvr_keep_statuses(rc.status, (size_t)rc.m);
    if (qvr_nmarks() > 0) qvr_keep_names(Rf_getAttrib(params, R_NamesSymbol), (size_t)rc.nlead, "x");
    qvr_warn_statuses(rc.label);
    UNPROTECT(2);
    return rc.out;
}

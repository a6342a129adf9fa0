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
    if ((double)rc->n + (double)rc->nlead > (double)QVH_MAX_ARGS)
        qvr_error("%s: argument x holds %.0f values; a statistic takes at most %.0f", rc->label, (double)rc->n,
                  (double)QVH_MAX_ARGS - (double)rc->nlead);
    if ((double)rc->n + (double)rc->nlead < (double)info->min_args)
        qvr_error("%s: argument x holds %ld value%s; it needs at least %ld", rc->label, (long)rc->n,
                 rc->n == 1 ? "" : "s", (long)(info->min_args - rc->nlead));
}

static void mark_result(R_xlen_t k, size_t nargs, const unsigned char *marked) {
    for (size_t j = 0; j < nargs; ++j)
        if (marked[j]) qvr_add_mark((size_t)k, j);
}

/* A statistic whose result is assembled from calls over blocks of values (n, nmiss, sum, mean,
 * min, max, range). */
static int folds(const qvh_info *info) { return info->fold >= QVH_FOLD_COUNT && info->fold <= QVH_FOLD_RANGE; }

/* A folding statistic over a vector with no pointer to its doubles (an integer or logical vector,
 * an ALTREP sequence): its values are read a block at a time into an aggregate, bit for bit the
 * one call over them, so 1:3e9 costs 32 KB rather than a copy of 3e9 values. */
static void fold_regions(reduce_call *rc) {
    SEXP guard;
    qvh_agg *agg = qvr_new_agg(rc->info, rc->label, &guard);
    double block[QVH_FOLD_BLOCK];
    for (R_xlen_t i = 0; i < rc->n; i += QVH_FOLD_BLOCK) {
        const R_xlen_t len = rc->n - i < QVH_FOLD_BLOCK ? rc->n - i : QVH_FOLD_BLOCK;
        qvr_doubles_region(rc->x, i, len, block);
        if (qvh_agg_add_n(agg, block, (size_t)len) != QVH_OK) qvr_fail(guard, qvh_errmsg());
        if ((i / QVH_FOLD_BLOCK) % 256 == 255 && qvr_interrupted()) qvr_stop(guard);
    }
    int32_t st = QVH_STATUS_OK;
    if (qvh_agg_result(agg, REAL(rc->out), &st) != QVH_OK) qvr_fail(guard, qvh_errmsg());
    if (qvh_status_is_memory(st)) qvr_fail(guard, qvh_errmsg());
    rc->status[0] = st;
    qvr_release(guard);
    UNPROTECT(1);
}

/* A folding statistic: one pass over x's doubles in place (a 4096-value argument list at a time). */
static void reduce_fold(reduce_call *rc) {
    const double *xd = TYPEOF(rc->x) == REALSXP ? (const double *)DATAPTR_OR_NULL(rc->x) : NULL;
    if (xd == NULL && rc->n > 0) {
        fold_regions(rc);
        return;
    }
    int32_t st = QVH_STATUS_OK;
    int r = qvh_call_fold(rc->call, xd, (size_t)rc->n, sizeof(double), REAL(rc->out), &st);
    if (r == QVH_E_NOMEM) qvr_fail_memory(rc->guard, rc->label, 0, 1);
    if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
    rc->status[0] = st;
}

/* Several percentiles of x: its values ordered once for all of them. 0 when the statistic is no
 * percentile (the caller then calls it once for each value of the parameter). */
static int reduce_percentiles(reduce_call *rc, const double *xd) {
    double *ps = (double *)R_alloc((size_t)rc->m, sizeof(double));
    unsigned char *marked = (unsigned char *)R_alloc((size_t)rc->m, 1);
    for (R_xlen_t k = 0; k < rc->m; ++k) ps[k] = qvr_number_at(rc->p, k);
    int r = qvh_call_percentiles(rc->call, ps, (size_t)rc->m, xd, (size_t)rc->n, sizeof(double), REAL(rc->out),
                                 rc->status, marked);
    if (r == QVH_E_KIND) return 0;
    if (r == QVH_E_NOMEM) qvr_fail_memory(rc->guard, rc->label, 0, 1);
    if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
    for (R_xlen_t k = 0; k < rc->m; ++k)
        if (marked[k]) qvr_add_mark((size_t)k, 0);
    return 1;
}

/* Numbers: each result is one call over x read in place, with no copy of it; a folding statistic
 * folds, and several percentiles share one ordering. */
static void reduce_numbers(reduce_call *rc) {
    if (rc->nlead == 0 && folds(rc->info)) {
        reduce_fold(rc);
        return;
    }
    const double *xd = qvr_doubles(rc->x, 0, rc->n);
    if (rc->nlead == 1 && rc->m > 1 && reduce_percentiles(rc, xd)) return;
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
        if (k + 1 < rc->m && qvr_interrupted()) qvr_stop(rc->guard);
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

/* Whether x holds a missing value (NA, NaN, a special missing value, NA_character_). Numbers are
 * read a block at a time (doubles in place, others and ALTREP vectors by region), four independent
 * tests a step, so the pass runs at the speed of memory and stops at the block of the first missing
 * value. */
static int any_na(SEXP x, R_xlen_t n) {
    if (TYPEOF(x) == STRSXP) {
        for (R_xlen_t i = 0; i < n; ++i)
            if (STRING_ELT(x, i) == NA_STRING) return 1;
        return 0;
    }
    if (TYPEOF(x) == REALSXP ? REAL_NO_NA(x) : TYPEOF(x) == INTSXP ? INTEGER_NO_NA(x) : LOGICAL_NO_NA(x)) return 0;
    const double *d = TYPEOF(x) == REALSXP ? (const double *)DATAPTR_OR_NULL(x) : NULL;
    double block[4096];
    for (R_xlen_t b = 0; b < n; b += 4096) {
        const R_xlen_t e = n - b < 4096 ? n : b + 4096;
        const double *v = d != NULL ? d + b : block;
        if (d == NULL) qvr_doubles_region(x, b, e - b, block); /* an ALTREP vector stays compact */
        int a0 = 0, a1 = 0, a2 = 0, a3 = 0;
        R_xlen_t i = 0;
        for (; i + 4 <= e - b; i += 4) {
            a0 |= v[i] != v[i];
            a1 |= v[i + 1] != v[i + 1];
            a2 |= v[i + 2] != v[i + 2];
            a3 |= v[i + 3] != v[i + 3];
        }
        for (; i < e - b; ++i) a0 |= v[i] != v[i];
        if (a0 | a1 | a2 | a3) return 1;
    }
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

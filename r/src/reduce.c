/*
 * One statistic over a vector, qv_median(x), qv_pctl(x, p), and over each column of a matrix or
 * data frame, qv_colmedian(m), qv_colpctl(df, p).
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* One statistic's .Call in the making: m results over the n values x[off .. off + n), one for each
 * value of the parameter p (one result when there is no parameter), written to out and status from
 * position at on (a column's results follow the column before). */
typedef struct {
    const qvh_info *info;
    const char *label;
    SEXP x, p, out, guard;
    R_xlen_t off, n, at, m, nlead;
    int data_chr, param_chr;
    int present_only; /* the missing values left out before the call (qvr_ranks_missing) */
    int32_t *status;
    qvh_call *call;
} reduce_call;

/* The kinds the statistic takes, and the kind of the parameter. */
static void check_kinds(reduce_call *rc, SEXP params) {
    const qvh_info *info = rc->info;
    rc->data_chr = (rc->nlead > 0 ? info->rest_kind : info->first_kind) == QVH_KIND_CHR;
    rc->param_chr = info->first_kind == QVH_KIND_CHR;
    if (rc->nlead > 0 && (rc->param_chr ? TYPEOF(rc->p) != STRSXP : !qvr_is_numeric(rc->p)))
        qvr_error("%s: argument %s must be %s, not %s", rc->label,
                 CHAR(STRING_ELT(Rf_getAttrib(params, R_NamesSymbol), 0)),
                 rc->param_chr ? "character" : "numeric", qvr_type_words(rc->p));
}

/* Checks that the values v (named what: "argument x") are of the kind taken and that their n
 * values are enough for one call and not too many. */
static void check_values(const reduce_call *rc, SEXP v, R_xlen_t n, const char *what) {
    if (rc->data_chr ? TYPEOF(v) != STRSXP : !qvr_is_numeric(v))
        qvr_error("%s: %s must be %s, not %s", rc->label, what, rc->data_chr ? "character" : "numeric",
                 qvr_type_words(v));
    if ((double)n + (double)rc->nlead > (double)QVH_MAX_ARGS)
        qvr_error("%s: %s holds %.0f values; a statistic takes at most %.0f", rc->label, what, (double)n,
                  (double)QVH_MAX_ARGS - (double)rc->nlead);
    if ((double)n + (double)rc->nlead < (double)rc->info->min_args)
        qvr_error("%s: %s holds %ld value%s; it needs at least %ld", rc->label, what, (long)n, n == 1 ? "" : "s",
                 (long)(rc->info->min_args - rc->nlead));
}

static void mark_result(R_xlen_t row, size_t nargs, const unsigned char *marked) {
    for (size_t j = 0; j < nargs; ++j)
        if (marked[j]) qvr_add_mark((size_t)row, j);
}

/* A folding statistic, or one of the deviation sums, over a vector with no pointer to its doubles (an integer or logical vector,
 * an ALTREP sequence): its values are read a block at a time into an aggregate, bit for bit the
 * one call over them, so 1:2e9 costs 32 KB rather than a copy of 2e9 values. */
static void fold_regions(reduce_call *rc) {
    SEXP guard;
    qvh_agg *agg = qvr_new_agg(rc->info, rc->label, &guard);
    double block[QVH_FOLD_BLOCK];
    for (R_xlen_t i = 0; i < rc->n; i += QVH_FOLD_BLOCK) {
        const R_xlen_t len = rc->n - i < QVH_FOLD_BLOCK ? rc->n - i : QVH_FOLD_BLOCK;
        qvr_doubles_region(rc->x, rc->off + i, len, block);
        if (qvh_agg_add_n(agg, block, (size_t)len) != QVH_OK) qvr_fail(guard, qvh_errmsg());
        if ((i / QVH_FOLD_BLOCK) % 256 == 255 && qvr_interrupted()) qvr_stop(guard);
    }
    int32_t st = QVH_STATUS_OK;
    if (qvh_agg_result(agg, REAL(rc->out) + rc->at, &st) != QVH_OK) qvr_fail(guard, qvh_errmsg());
    if (qvh_status_is_memory(st)) qvr_fail(guard, qvh_errmsg());
    rc->status[rc->at] = st;
    qvr_release(guard);
    UNPROTECT(1);
}

/* A statistic the host reads in place (qvh_fold_in_place): n, nmiss, sum, mean, min, max and range
 * in one pass over x's doubles (a 4096-value argument list at a time), css, var, std, stderr and
 * cv in two, with no argument list. */
static void reduce_fold(reduce_call *rc) {
    const double *xd = TYPEOF(rc->x) == REALSXP ? (const double *)DATAPTR_OR_NULL(rc->x) : NULL;
    if (xd != NULL) xd += rc->off;
    if (xd == NULL && rc->n > 0) {
        fold_regions(rc);
        return;
    }
    int32_t st = QVH_STATUS_OK;
    int r = qvh_call_fold(rc->call, xd, (size_t)rc->n, sizeof(double), REAL(rc->out) + rc->at, &st);
    if (r == QVH_E_NOMEM) qvr_fail_memory(rc->guard, rc->label, 0, 1);
    if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
    rc->status[rc->at] = st;
}

/* Several percentiles of x: its values ordered once for all of them. 0 when the statistic is no
 * percentile (the caller then calls it once for each value of the parameter). */
static int reduce_percentiles(reduce_call *rc, const double *xd, R_xlen_t n) {
    double *ps = (double *)R_alloc((size_t)rc->m, sizeof(double));
    unsigned char *marked = (unsigned char *)R_alloc((size_t)rc->m, 1);
    for (R_xlen_t k = 0; k < rc->m; ++k) ps[k] = qvr_number_at(rc->p, k);
    int r = qvh_call_percentiles(rc->call, ps, (size_t)rc->m, xd, (size_t)n, sizeof(double),
                                 REAL(rc->out) + rc->at, rc->status + rc->at, marked);
    if (r == QVH_E_KIND) return 0;
    if (r == QVH_E_NOMEM) qvr_fail_memory(rc->guard, rc->label, 0, 1);
    if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
    for (R_xlen_t k = 0; k < rc->m; ++k)
        if (marked[k]) qvr_add_mark((size_t)(rc->at + k), 0);
    return 1;
}

/* Numbers: each result is one call over x read in place, with no copy of it (but for the values
 * present, when only they are wanted); a folding statistic folds, and several percentiles share
 * one ordering. */
static void reduce_numbers(reduce_call *rc) {
    if (rc->nlead == 0 && qvh_fold_in_place(rc->info)) {
        reduce_fold(rc);
        return;
    }
    R_xlen_t n = rc->n;
    const double *xd = qvr_doubles(rc->x, rc->off, n);
    if (rc->present_only) xd = qvr_present(xd, &n);
    if (rc->nlead == 1 && rc->m > 1 && reduce_percentiles(rc, xd, n)) return;
    const size_t nargs = (size_t)(n + rc->nlead);
    unsigned char *marked = rc->info->marks ? (unsigned char *)R_alloc(nargs + 1, 1) : NULL;
    for (R_xlen_t k = 0; k < rc->m; ++k) {
        const double lead = rc->nlead > 0 ? qvr_number_at(rc->p, k) : 0;
        int32_t st = QVH_STATUS_OK;
        int r = qvh_call_over(rc->call, &lead, (size_t)rc->nlead, xd, (size_t)n, sizeof(double),
                              REAL(rc->out) + rc->at + k, &st, marked);
        if (r == QVH_E_NOMEM)
            qvr_fail_memory(rc->guard, rc->label, (size_t)k, (size_t)rc->m);
        if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
        rc->status[rc->at + k] = st;
        if (marked != NULL && st != QVH_STATUS_OK) mark_result(rc->at + k, nargs, marked);
        if (k + 1 < rc->m && qvr_interrupted()) qvr_stop(rc->guard);
    }
}

/* Text: the values go into the call once; each result sets the parameter and invokes it. */
static void reduce_text(reduce_call *rc) {
    qvh_call *call = rc->call;
    qvh_call_clear(call); /* a kept call, or the column before, left its values in the list */
    int r = QVH_OK;
    if (rc->nlead > 0) r = rc->param_chr ? qvh_call_add_str(call, "", 0) : qvh_call_add_num(call, 0);
    if (r == QVH_OK && !rc->data_chr) r = qvh_call_add_nums(call, qvr_doubles(rc->x, rc->off, rc->n), (size_t)rc->n);
    for (R_xlen_t i = 0; r == QVH_OK && rc->data_chr && i < rc->n; ++i) {
        const char *s = qvr_utf8_of(STRING_ELT(rc->x, rc->off + i));
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
        rc->status[rc->at + k] = st;
        if (TYPEOF(rc->out) == REALSXP) {
            REAL(rc->out)[rc->at + k] = qvh_call_result(call);
        } else {
            size_t len = 0;
            const char *s = qvh_call_result_str(call, &len);
            SET_STRING_ELT(rc->out, rc->at + k, Rf_mkCharLenCE(s, (int)len, CE_UTF8));
        }
        for (size_t j = 0; rc->info->marks && st != QVH_STATUS_OK && j < (size_t)(rc->n + rc->nlead); ++j)
            if (qvh_call_marked(call, j)) qvr_add_mark((size_t)(rc->at + k), j);
    }
}

/* Whether x holds a missing value (NA, NaN, a special missing value, NA_character_). Numbers are
 * read a block at a time (doubles in place, others and ALTREP vectors by region), four independent
 * tests a step, so the pass runs at the speed of memory and stops at the block of the first missing
 * value. */
static int any_na(SEXP x, R_xlen_t off, R_xlen_t n) {
    if (TYPEOF(x) == STRSXP) {
        for (R_xlen_t i = 0; i < n; ++i)
            if (STRING_ELT(x, off + i) == NA_STRING) return 1;
        return 0;
    }
    if (TYPEOF(x) == REALSXP ? REAL_NO_NA(x) : TYPEOF(x) == INTSXP ? INTEGER_NO_NA(x) : LOGICAL_NO_NA(x)) return 0;
    const double *d = TYPEOF(x) == REALSXP ? (const double *)DATAPTR_OR_NULL(x) : NULL;
    if (d != NULL) d += off;
    double block[4096];
    for (R_xlen_t b = 0; b < n; b += 4096) {
        const R_xlen_t e = n - b < 4096 ? n : b + 4096;
        const double *v = d != NULL ? d + b : block;
        if (d == NULL) qvr_doubles_region(x, off + b, e - b, block); /* an ALTREP vector stays compact */
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

/* The results over one vector or column: with na_rm FALSE and a missing value among the values,
 * every result is NA with the status missing argument, as median(x, na.rm = FALSE) is NA, and the
 * package is not called. */
static void reduce_values(reduce_call *rc, int na_rm) {
    rc->present_only = na_rm && qvr_ranks_missing(rc->info);
    if (!na_rm && any_na(rc->x, rc->off, rc->n)) {
        for (R_xlen_t k = rc->at; k < rc->at + rc->m; ++k) {
            rc->status[k] = QVH_STATUS_MISSING_ARG;
            if (TYPEOF(rc->out) == REALSXP) REAL(rc->out)[k] = NA_REAL;
            else SET_STRING_ELT(rc->out, k, NA_STRING);
        }
    } else if (!rc->data_chr && !rc->param_chr && rc->info->form == QVH_FORM_LIST) {
        reduce_numbers(rc);
    } else {
        reduce_text(rc);
    }
}

/* A statistic's .Call set up for nresults results and its parameter checked; the call is made
 * once the values are checked (make_call). */
static void start(reduce_call *rc, SEXP fname, SEXP label, SEXP params, R_xlen_t nresults) {
    rc->info = qvr_lookup(fname);
    rc->label = qvr_label_of(label);
    rc->nlead = XLENGTH(params);
    rc->p = rc->nlead > 0 ? VECTOR_ELT(params, 0) : R_NilValue;
    rc->m = rc->nlead > 0 ? XLENGTH(rc->p) : 1;
    check_kinds(rc, params);
    rc->out = PROTECT(Rf_allocVector(rc->info->result_kind == QVH_KIND_CHR ? STRSXP : REALSXP, rc->m * nresults));
    rc->status = qvr_status_room(rc->label, (size_t)(rc->m * nresults));
}

static void make_call(reduce_call *rc) { rc->call = qvr_warm_call(rc->info, rc->label, &rc->guard); }

/* The call kept warm for the next .Call (it held rows values), the statuses kept and summed up. */
static SEXP finish(reduce_call *rc, SEXP params, R_xlen_t rows) {
    const R_xlen_t nout = XLENGTH(rc->out);
    qvr_keep_warm(rc->guard, (size_t)rows, qvr_busy_values());
    if (TYPEOF(rc->out) == REALSXP) qvr_dot_to_na(REAL(rc->out), nout);
    qvr_keep_statuses(rc->status, (size_t)nout);
    if (qvr_nmarks() > 0) qvr_keep_names(Rf_getAttrib(params, R_NamesSymbol), (size_t)rc->nlead, "x");
    qvr_warn_statuses(rc->label);
    UNPROTECT(2);
    return rc->out;
}

/* qv_median(x), qv_pctl(x, p): one call over every value of x, once for each value of the
 * parameter when the function takes one (params: list() or list(p = ...)). With na_rm FALSE, a
 * missing value in x makes every result NA. */
SEXP qvr_reduce(SEXP fname, SEXP label, SEXP x, SEXP params, SEXP na_rm) {
    reduce_call rc = {0};
    start(&rc, fname, label, params, 1);
    rc.x = x;
    rc.n = Rf_xlength(x); /* 0 for NULL, which check_values names */
    check_values(&rc, x, rc.n, "argument x");
    make_call(&rc);
    reduce_values(&rc, Rf_asLogical(na_rm));
    return finish(&rc, params, rc.n);
}

/* qv_colmedian(x), qv_colpctl(x, p): the results of qvr_reduce over each column of a matrix x or
 * each element of a list x (a data frame's columns), column after column: the m results of column
 * j at j * m. */
SEXP qvr_cols(SEXP fname, SEXP label, SEXP x, SEXP params, SEXP na_rm) {
    reduce_call rc = {0};
    const int list = TYPEOF(x) == VECSXP;
    const R_xlen_t ncol = list ? XLENGTH(x) : Rf_ncols(x), nrow = list ? 0 : Rf_nrows(x);
    start(&rc, fname, label, params, ncol);
    SEXP names = Rf_getAttrib(x, R_NamesSymbol);
    if (!list) check_values(&rc, x, nrow, "argument x");
    for (R_xlen_t j = 0; list && j < ncol; ++j) {
        char what[160];
        const char *name = names != R_NilValue ? qvr_utf8_of(STRING_ELT(names, j)) : "";
        if (*name) snprintf(what, sizeof what, "column '%.100s' of argument x", name);
        else snprintf(what, sizeof what, "column %ld of argument x", (long)j + 1);
        check_values(&rc, VECTOR_ELT(x, j), Rf_xlength(VECTOR_ELT(x, j)), what);
    }
    make_call(&rc);
    R_xlen_t rows = 0, unchecked = 0;
    for (R_xlen_t j = 0; j < ncol; ++j) {
        rc.x = list ? VECTOR_ELT(x, j) : x;
        rc.n = list ? Rf_xlength(rc.x) : nrow;
        rc.off = list ? 0 : j * nrow;
        rc.at = j * rc.m;
        reduce_values(&rc, Rf_asLogical(na_rm));
        if (rc.n > rows) rows = rc.n;
        unchecked += rc.n + 1;
        if (unchecked >= 65536 && j + 1 < ncol) { /* many short columns: a check every 2^16 values */
            unchecked = 0;
            if (qvr_interrupted()) qvr_stop(rc.guard);
        }
    }
    return finish(&rc, params, rows);
}

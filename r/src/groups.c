/*
 * Statistics of groups and of moving windows: qv_by and qv_moving, entry points over the warm
 * memory, the guards, the interrupts, the statuses and the values below them.
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <limits.h>
#include <string.h>

/* The statistic fun of qv_by and qv_moving, with its parameter when it takes one. */
static const qvh_info *statistic(SEXP fun, SEXP params, const char *caller, const char *form, double *param) {
    const qvh_info *info = qvh_function_find(Rf_translateCharUTF8(STRING_ELT(fun, 0)));
    if (info == NULL) qvr_error("%s: argument fun: %s", caller, qvh_errmsg());
    const char *name = qvh_sql_name(info);
    if (info->aggregate == QVH_AGG_NONE)
        qvr_error("%s: argument fun: %s is not a statistic of a list of values", caller, name);
    if (info->leading_param && XLENGTH(params) == 0)
        qvr_error("%s: argument param is missing: %s takes one, as in %s(%s, \"%s\", 90)", caller, name, caller, form,
                 name + 3);
    if (!info->leading_param && XLENGTH(params) > 0)
        qvr_error("%s: argument param must be NULL: %s takes no parameter", caller, name);
    if (XLENGTH(params) > 0) {
        SEXP p = VECTOR_ELT(params, 0);
        if (!qvr_is_numeric(p) || XLENGTH(p) != 1)
            qvr_error("%s: argument param must be one number, the parameter of %s", caller, name);
        *param = qvr_number_at(p, 0);
    }
    return info;
}

/* The values of x set out group by group in the host library's group order, each group's in the
 * data's order; group k is grouped[start[k + 1] .. start[k + 2]). g holds group numbers 1..ng or NA
 * (left out), which the group order reads as they are: groups 0..ng, of which 0 holds no row. */
static const double *group_values(const int *g, const double *x, size_t n, size_t ng, size_t **start) {
    double *grouped = qvr_by_room("qv_by", n);
    *start = (size_t *)R_alloc(ng + 2, sizeof(size_t));
    if (qvh_group_values32(g, n, ng + 1, x, sizeof(double), grouped, *start) != QVH_OK) qvr_error("qv_by: %s", qvh_errmsg());
    return grouped;
}

/* The group numbers of an integer key that spans at most limit values (max - min + 1): 1, 2, ... in
 * the order of its distinct values, NA where it is NA, and those values, as list(code, values); NULL
 * when it spans more (the caller groups it another way). */
SEXP qvr_int_codes(SEXP key, SEXP limit_) {
    if (TYPEOF(key) != INTSXP) qvr_error("qv_by: a key for int_codes must be an integer vector");
    const R_xlen_t n = XLENGTH(key);
    const int *k = INTEGER(key);
    int lo = INT_MAX, hi = INT_MIN;
    for (R_xlen_t i = 0; i < n; ++i) {
        if (k[i] == NA_INTEGER) continue;
        if (k[i] < lo) lo = k[i];
        if (k[i] > hi) hi = k[i];
    }
    const double span = hi >= lo ? (double)hi - (double)lo + 1 : 0;
    if (span > Rf_asReal(limit_)) return R_NilValue;
    int *number = (int *)R_alloc(span > 0 ? (size_t)span : 1, sizeof(int));
    memset(number, 0, (span > 0 ? (size_t)span : 1) * sizeof(int));
    for (R_xlen_t i = 0; i < n; ++i)
        if (k[i] != NA_INTEGER) number[k[i] - lo] = 1;
    int count = 0;
    for (size_t j = 0; j < (size_t)span; ++j)
        if (number[j]) number[j] = ++count;
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 2));
    SEXP code = Rf_allocVector(INTSXP, n);
    SET_VECTOR_ELT(out, 0, code);
    SEXP values = Rf_allocVector(INTSXP, count);
    SET_VECTOR_ELT(out, 1, values);
    for (size_t j = 0; j < (size_t)span; ++j)
        if (number[j]) INTEGER(values)[number[j] - 1] = lo + (int)j;
    int *c = INTEGER(code);
    for (R_xlen_t i = 0; i < n; ++i) c[i] = k[i] == NA_INTEGER ? NA_INTEGER : number[k[i] - lo];
    UNPROTECT(1);
    return out;
}

/* qv_by(x, g, fun): the statistic of every group in one pass: the values are set out group by
 * group in the data's order, then one call reads each group's values in place. g holds group numbers
 * 1..ngroups or NA (left out). */
SEXP qvr_by(SEXP fun, SEXP x, SEXP g, SEXP ngroups_, SEXP params) {
    double param = 0;
    const qvh_info *info = statistic(fun, params, "qv_by", "x, g", &param);
    const char *label = qvh_sql_name(info);
    if (!qvr_is_numeric(x)) qvr_error("qv_by: argument x must be numeric, not %s", qvr_type_words(x));
    const R_xlen_t n = XLENGTH(x);
    if (TYPEOF(g) != INTSXP || XLENGTH(g) != n) qvr_error("qv_by: argument g must be as long as x");
    const int ng = Rf_asInteger(ngroups_);
    const double *xd = qvr_doubles(x, 0, n);
    size_t *start = NULL;
    const int *gd = INTEGER(g);
    if (qvr_ranks_missing(info)) { /* its missing values left out of their group, as qv_ordinal leaves them */
        int *present = (int *)R_alloc(n > 0 ? (size_t)n : 1, sizeof(int));
        for (R_xlen_t i = 0; i < n; ++i) present[i] = ISNAN(xd[i]) ? NA_INTEGER : gd[i];
        gd = present;
    }
    const double *grouped = group_values(gd, xd, (size_t)n, (size_t)ng, &start);
    ++start; /* group k is grouped[start[k] .. start[k + 1]) */
    SEXP out = PROTECT(Rf_allocVector(REALSXP, ng));
    int32_t *status = qvr_status_room(label, (size_t)ng);
    SEXP guard;
    qvh_call *call = qvr_warm_call(info, label, &guard);
    const size_t nlead = info->leading_param ? 1 : 0;
    /* The statistics the host reads in place (sums, counts, extremes, deviation sums) lay out no
     * list of a group's values. */
    const int in_place = nlead == 0 && qvh_fold_in_place(info);
    for (int k = 0; k < ng; ++k) {
        if ((k & 255) == 255 && qvr_interrupted()) qvr_stop(guard);
        status[k] = QVH_STATUS_OK;
        const size_t len = start[k + 1] - start[k];
        int rc = in_place ? qvh_call_fold(call, grouped + start[k], len, sizeof(double), REAL(out) + k, &status[k])
                          : qvh_call_over(call, &param, nlead, grouped + start[k], len, sizeof(double), REAL(out) + k,
                                          &status[k], NULL);
        if (rc == QVH_E_NOMEM)
            qvr_fail_memory(guard, label, (size_t)k, (size_t)ng);
        if (rc != QVH_OK) qvr_fail(guard, qvh_errmsg());
    }
    qvr_keep_warm(guard, start[ng], qvr_busy_values());
    qvr_dot_to_na(REAL(out), ng);
    qvr_keep_statuses(status, (size_t)ng);
    qvr_warn_group_statuses(label + 3); /* "cv" of "qv_cv" */
    UNPROTECT(2);
    return out;
}

/* qv_moving(x, k, fun, param, align): the statistic of the window of the k values that end at
 * each element (align "right"; fewer at the start) or that are centred on it ("center", an even
 * window one more after it, as filter(sides = 2) and zoo have it; fewer at both ends), from the
 * host library's window engine: order statistics from an ordered window, every other statistic
 * one call per window. */
SEXP qvr_moving(SEXP fun, SEXP x, SEXP k_, SEXP params, SEXP align) {
    double param = 0;
    const qvh_info *info = statistic(fun, params, "qv_moving", "x, k", &param);
    const char *label = qvh_sql_name(info);
    if (!qvr_is_numeric(x)) qvr_error("qv_moving: argument x must be numeric, not %s", qvr_type_words(x));
    double kd = qvr_is_numeric(k_) && XLENGTH(k_) == 1 ? qvr_number_at(k_, 0) : -1;
    if (!(kd >= 1 && kd <= 4503599627370496.0 && kd == (double)(uint64_t)kd))
        qvr_error("qv_moving: argument k, the window, must be one whole number of at least 1");
    const char *a = Rf_isString(align) && XLENGTH(align) == 1 ? CHAR(STRING_ELT(align, 0)) : "";
    if (strcmp(a, "right") != 0 && strcmp(a, "center") != 0)
        qvr_error("qv_moving: argument align must be \"right\" or \"center\"");
    const qvh_window frame = {a[0] == 'r' ? QVH_WINDOW_TRAILING : QVH_WINDOW_CENTRED_AFTER, (size_t)kd, 0};
    const R_xlen_t n = XLENGTH(x);
    const double *xd = qvr_doubles(x, 0, n);
    SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
    int32_t *status = qvr_status_room(label, (size_t)n);
    SEXP guard;
    qvh_call *call = qvr_warm_call(info, label, &guard);
    qvh_tally tally = {0};
    int rc = n == 0 ? QVH_OK
                    : qvh_moving(call, &param, info->leading_param ? 1 : 0, xd, (size_t)n, sizeof(double), &frame,
                                 NULL, 0, REAL(out), sizeof(double), status, &tally);
    if (rc != QVH_OK) qvr_fail(guard, qvh_errmsg());
    qvr_keep_warm(guard, (size_t)n, qvr_busy_values());
    qvr_dot_to_na(REAL(out), n);
    qvr_keep_tallied(status, (size_t)n, &tally);
    qvr_warn_statuses(label);
    UNPROTECT(2);
    return out;
}

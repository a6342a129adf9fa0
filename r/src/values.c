/*
 * R values as the package sees them, and the package's missing values as R sees them.
 * A leaf: it calls only the host library and R.
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t bits_of(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

/* A '.' result is R's NA_real_; the other missing values keep their payloads. */
void qvr_dot_to_na(double *x, R_xlen_t n) {
    const uint64_t dot = bits_of(qvh_dot());
    const double na = NA_REAL;
    R_xlen_t i = 0;
    /* Four values a test, with no branch inside: a '.' is rare among results. */
    for (; i + 4 <= n; i += 4) {
        const int any = (bits_of(x[i]) == dot) | (bits_of(x[i + 1]) == dot) | (bits_of(x[i + 2]) == dot) |
                        (bits_of(x[i + 3]) == dot);
        if (any)
            for (int k = 0; k < 4; ++k)
                if (bits_of(x[i + k]) == dot) x[i + k] = na;
    }
    for (; i < n; ++i)
        if (bits_of(x[i]) == dot) x[i] = na;
}

int qvr_is_numeric(SEXP x) {
    return (TYPEOF(x) == REALSXP || TYPEOF(x) == INTSXP || TYPEOF(x) == LGLSXP) && !Rf_isFactor(x);
}

const char *qvr_type_words(SEXP x) {
    if (Rf_isFactor(x)) return "a factor";
    if (Rf_isFrame(x)) return "a data frame";
    switch (TYPEOF(x)) {
    case NILSXP: return "NULL";
    case STRSXP: return "character";
    case VECSXP: return "a list";
    case LGLSXP: return "logical";
    case REALSXP: case INTSXP: return "numeric";
    default: return Rf_type2char(TYPEOF(x));
    }
}

/* Element i of a numeric vector as a double: integer and logical NA are NA_real_. */
double qvr_number_at(SEXP x, R_xlen_t i) {
    switch (TYPEOF(x)) {
    case REALSXP: return REAL(x)[i];
    case INTSXP: return INTEGER(x)[i] == NA_INTEGER ? NA_REAL : (double)INTEGER(x)[i];
    default: return LOGICAL(x)[i] == NA_LOGICAL ? NA_REAL : (double)LOGICAL(x)[i];
    }
}

/* len numbers of x from off on, as doubles (a copy only for integer and logical vectors). */
const double *qvr_doubles(SEXP x, R_xlen_t off, R_xlen_t len) {
    if (TYPEOF(x) == REALSXP) return REAL(x) + off;
    double *d = (double *)R_alloc(len > 0 ? (size_t)len : 1, sizeof(double));
    for (R_xlen_t i = 0; i < len; ++i) d[i] = qvr_number_at(x, off + i);
    return d;
}

/* len numbers of x from off on, as doubles, into buf: read by region, so that an ALTREP vector (a
 * compact sequence such as 1:3e9) is never expanded in memory. */
void qvr_doubles_region(SEXP x, R_xlen_t off, R_xlen_t len, double *buf) {
    if (TYPEOF(x) == REALSXP) {
        REAL_GET_REGION(x, off, len, buf);
        return;
    }
    int ints[1024];
    for (R_xlen_t b = 0; b < len; b += 1024) {
        const R_xlen_t m = len - b < 1024 ? len - b : 1024;
        if (TYPEOF(x) == INTSXP) INTEGER_GET_REGION(x, off + b, m, ints);
        else LOGICAL_GET_REGION(x, off + b, m, ints);
        for (R_xlen_t i = 0; i < m; ++i) buf[b + i] = ints[i] == NA_INTEGER ? NA_REAL : (double)ints[i];
    }
}

/* Whether the statistic ranks missing values among the others (ORDINAL puts them first) where
 * every other one leaves them out: R's na.rm = TRUE leaves them out of its values before the call,
 * as sort() does. */
int qvr_ranks_missing(const qvh_info *info) { return strcmp(info->name, "ORDINAL") == 0; }

/* The n values of xs that are no missing value, in their order (xs itself when all are); *n becomes
 * their count. */
const double *qvr_present(const double *xs, R_xlen_t *n) {
    R_xlen_t i = 0;
    while (i < *n && !ISNAN(xs[i])) ++i;
    if (i == *n) return xs;
    double *kept = (double *)R_alloc((size_t)*n, sizeof(double));
    R_xlen_t m = 0;
    for (R_xlen_t j = 0; j < *n; ++j)
        if (!ISNAN(xs[j])) kept[m++] = xs[j];
    *n = m;
    return kept;
}

/* An R string as UTF-8; NA_character_ is the blank string, the package's missing text. */
const char *qvr_utf8_of(SEXP s) { return s == NA_STRING ? "" : Rf_translateCharUTF8(s); }

/* qv_missing(c("A", "_", ".")): the missing values named by letters ("A" or ".A"); "." is NA_real_. */
SEXP qvr_missing(SEXP letters) {
    if (TYPEOF(letters) != STRSXP)
        qvr_error("qv_missing: argument letter must be character, not %s", qvr_type_words(letters));
    const R_xlen_t n = XLENGTH(letters);
    SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
    for (R_xlen_t i = 0; i < n; ++i) {
        SEXP s = STRING_ELT(letters, i);
        const char *t = s == NA_STRING ? "." : Rf_translateCharUTF8(s);
        size_t len = strlen(t);
        double v;
        int ok = len == 1 ? qvh_missing(t[0], &v) == QVH_OK : qvh_parse_missing(t, len, &v);
        if (!ok) {
            char esc[80];
            qvh_escape(t, len, 40, esc, sizeof esc);
            qvr_error("qv_missing: argument letter: \"%s\" (element %ld) names no missing value: "
                     "give \".\", \"_\" or a letter A to Z", esc, (long)i + 1);
        }
        REAL(out)[i] = v;
    }
    qvr_dot_to_na(REAL(out), n);
    UNPROTECT(1);
    return out;
}

/* qv_missing_letter(x): "." for NA and NaN (they are '.' to the package), "_" or "A".."Z" for the
 * special missing values, NA_character_ for numbers. */
SEXP qvr_missing_letter(SEXP x) {
    if (!qvr_is_numeric(x)) qvr_error("qv_missing_letter: argument x must be numeric, not %s", qvr_type_words(x));
    const R_xlen_t n = XLENGTH(x);
    SEXP out = PROTECT(Rf_allocVector(STRSXP, n));
    for (R_xlen_t i = 0; i < n; ++i) {
        char c = qvh_missing_letter(qvh_edge_result(qvr_number_at(x, i), NULL));
        char text[2] = {c, 0};
        SET_STRING_ELT(out, i, c ? Rf_mkChar(text) : NA_STRING);
    }
    UNPROTECT(1);
    return out;
}

/* qv_as_number(text): numbers and missing literals (".", ".A") read as the command line reads
 * them; an empty cell is NA. */
SEXP qvr_as_number(SEXP text) {
    if (TYPEOF(text) != STRSXP) qvr_error("qv_as_number: argument x must be character, not %s", qvr_type_words(text));
    const R_xlen_t n = XLENGTH(text);
    SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
    for (R_xlen_t i = 0; i < n; ++i) {
        SEXP s = STRING_ELT(text, i);
        const char *t = s == NA_STRING ? "" : Rf_translateCharUTF8(s);
        size_t len = strlen(t);
        double v = NA_REAL;
        if (len > 0 && !qvh_parse_number(t, len, &v)) {
            char esc[120];
            qvh_escape(t, len, 60, esc, sizeof esc);
            qvr_error("qv_as_number: argument x: \"%s\" (element %ld) is neither a number nor a missing value", esc,
                     (long)i + 1);
        }
        REAL(out)[i] = qvh_edge_result(v, NULL);
    }
    qvr_dot_to_na(REAL(out), n);
    UNPROTECT(1);
    return out;
}

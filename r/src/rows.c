/*
 * Elementwise and row-wise calls: qv_round(x, unit) recycled like atan2, qv_pmean(a, b, c) row by row.
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* One column of a row-wise call: a whole vector, a column of a matrix or of a data frame. */
typedef struct {
    SEXP vec;
    R_xlen_t off, len;
    R_xlen_t arg; /* the R argument it comes from */
    R_xlen_t sub; /* its column in a matrix or data frame argument; -1 for a vector */
} column;

/* "argument x", "argument 2", "column 'station' of argument 1" for messages. */
static void column_name(SEXP args, R_xlen_t nlead, const column *c, char *buf, size_t size) {
    SEXP names = Rf_getAttrib(args, R_NamesSymbol);
    char base[200];
    const char *nm = names == R_NilValue ? "" : Rf_translateCharUTF8(STRING_ELT(names, c->arg));
    char esc[160];
    if (*nm) {
        qvh_escape(nm, strlen(nm), 100, esc, sizeof esc);
        snprintf(base, sizeof base, "argument %s", esc);
    } else {
        snprintf(base, sizeof base, "argument %ld", (long)(c->arg - nlead + 1));
    }
    if (c->sub < 0) {
        snprintf(buf, size, "%s", base);
        return;
    }
    SEXP x = VECTOR_ELT(args, c->arg);
    SEXP cn = Rf_isFrame(x) ? Rf_getAttrib(x, R_NamesSymbol) : R_NilValue;
    if (cn != R_NilValue) {
        const char *s = Rf_translateCharUTF8(STRING_ELT(cn, c->sub));
        qvh_escape(s, strlen(s), 100, esc, sizeof esc);
        snprintf(buf, size, "column '%s' of %s", esc, base);
    } else {
        snprintf(buf, size, "column %ld of %s", (long)(c->sub + 1), base);
    }
}

static int kind_at(const qvh_info *info, size_t j) { return j == 0 ? info->first_kind : info->rest_kind; }

/* Checks that column j holds what the function takes there; QVH_KIND_NUM or QVH_KIND_CHR. */
static int check_kind(const qvh_info *info, const char *label, SEXP args, R_xlen_t nlead, const column *c,
                      size_t j) {
    int want = kind_at(info, j);
    SEXP x = c->vec;
    int num = qvr_is_numeric(x), chr = TYPEOF(x) == STRSXP;
    if ((want == QVH_KIND_NUM && num) || (want == QVH_KIND_CHR && chr) || (want == QVH_KIND_ANY && (num || chr)))
        return num ? QVH_KIND_NUM : QVH_KIND_CHR;
    char name[512];
    column_name(args, nlead, c, name, sizeof name);
    qvr_error("%s: %s must be %s, not %s", label, name,
             want == QVH_KIND_NUM ? "numeric" : want == QVH_KIND_CHR ? "character" : "numeric or character",
             qvr_type_words(x));
}

/* The columns of args: each argument is one column; in a row-wise form (nlead >= 0) the
 * arguments after the nlead parameters may also be matrices or data frames, one column each. An
 * elementwise form leaves out its optional arguments left NULL (past the first needed ones, so a
 * needed argument given as NULL is named as such). */
static column *columns_of(SEXP args, int rowwise, R_xlen_t nlead, R_xlen_t needed, size_t *ncol) {
    R_xlen_t nargs = XLENGTH(args);
    if (!rowwise)
        while (nargs > needed && VECTOR_ELT(args, nargs - 1) == R_NilValue) --nargs;
    size_t k = 0;
    for (R_xlen_t i = 0; i < nargs; ++i) {
        SEXP x = VECTOR_ELT(args, i);
        if (rowwise && i >= nlead && Rf_isFrame(x)) k += (size_t)XLENGTH(x);
        else if (rowwise && i >= nlead && Rf_isMatrix(x)) k += (size_t)Rf_ncols(x);
        else k += 1;
    }
    column *cols = (column *)R_alloc(k > 0 ? k : 1, sizeof(column));
    k = 0;
    for (R_xlen_t i = 0; i < nargs; ++i) {
        SEXP x = VECTOR_ELT(args, i);
        if (rowwise && i >= nlead && Rf_isFrame(x)) {
            for (R_xlen_t j = 0; j < XLENGTH(x); ++j)
                cols[k++] = (column){VECTOR_ELT(x, j), 0, Rf_xlength(VECTOR_ELT(x, j)), i, j};
        } else if (rowwise && i >= nlead && Rf_isMatrix(x)) {
            R_xlen_t nr = Rf_nrows(x);
            for (R_xlen_t j = 0; j < Rf_ncols(x); ++j) cols[k++] = (column){x, j * nr, nr, i, j};
        } else {
            if (Rf_isFrame(x) || (TYPEOF(x) != STRSXP && !qvr_is_numeric(x)))
                cols[k] = (column){x, 0, 0, i, -1}; /* reported by check_kind */
            else
                cols[k] = (column){x, 0, Rf_xlength(x), i, -1};
            ++k;
        }
    }
    *ncol = k;
    return cols;
}

/* The names of the columns, for qv_status(). */
static SEXP column_names(SEXP args, R_xlen_t nlead, const column *cols, size_t ncol) {
    SEXP names = PROTECT(Rf_allocVector(STRSXP, (R_xlen_t)ncol));
    for (size_t j = 0; j < ncol; ++j) {
        char buf[512];
        column_name(args, nlead, &cols[j], buf, sizeof buf);
        /* "unit" rather than "argument unit"; "argument 2" stays as it is */
        const char *b = strncmp(buf, "argument ", 9) == 0 && !(buf[9] >= '0' && buf[9] <= '9') ? buf + 9 : buf;
        SET_STRING_ELT(names, (R_xlen_t)j, Rf_mkCharCE(b, CE_UTF8));
    }
    UNPROTECT(1);
    return names;
}

/* One elementwise or row-wise .Call in the making. */
typedef struct {
    const qvh_info *info;
    const char *label;
    column *cols;
    int *kinds;
    size_t ncol;
    R_xlen_t n, nlead;
    int rowwise, all_numbers, uneven;
    int present_only; /* row by row, the missing data values left out (qvr_ranks_missing) */
    SEXP out, guard;
    int32_t *status; /* NULL: rows of numbers, whose statuses are kept chunk by chunk */
    qvh_call *call;
} rows_call;

/* Checks the kind of every column and finds the number of rows: the longest column, none when a
 * column is empty. */
static void size_rows(rows_call *rc, SEXP args) {
    rc->kinds = (int *)R_alloc(rc->ncol > 0 ? rc->ncol : 1, sizeof(int));
    rc->all_numbers = rc->info->result_kind == QVH_KIND_NUM;
    rc->n = 0;
    for (size_t j = 0; j < rc->ncol; ++j) {
        rc->kinds[j] = check_kind(rc->info, rc->label, args, rc->nlead, &rc->cols[j], j);
        rc->all_numbers &= rc->kinds[j] == QVH_KIND_NUM;
        if (rc->cols[j].len > rc->n) rc->n = rc->cols[j].len;
    }
    rc->uneven = 0;
    for (size_t j = 0; j < rc->ncol; ++j) {
        if (rc->cols[j].len == 0) rc->n = 0;
        else if (rc->n % rc->cols[j].len != 0) rc->uneven = 1;
    }
    if (qvh_check_args(rc->info, rc->label, rc->ncol, rc->kinds) != QVH_OK) qvr_error("%s", qvh_errmsg());
}

/* Numbers only: the rows in host calls over the columns read in place (recycled columns copied
 * out to full length), a chunk of rows at a time, so that each chunk's results become R's NA and
 * its statuses are kept while they are still in cache. */
static void rows_of_numbers(rows_call *rc) {
    enum { CHUNK = 8192 };
    const size_t ncol = rc->ncol, one = ncol > 0 ? ncol : 1;
    const R_xlen_t n = rc->n;
    const double **ptrs = (const double **)R_alloc(one, sizeof(double *));
    const double **at = (const double **)R_alloc(one, sizeof(double *));
    ptrdiff_t *strides = (ptrdiff_t *)R_alloc(one, sizeof(ptrdiff_t));
    for (size_t j = 0; j < ncol; ++j) {
        const column *c = &rc->cols[j];
        const double *d = qvr_doubles(c->vec, c->off, c->len);
        if (c->len != 1 && c->len != n) {
            double *r = (double *)R_alloc((size_t)n, sizeof(double));
            for (R_xlen_t i = 0; i < n; ++i) r[i] = d[i % c->len];
            d = r;
        }
        ptrs[j] = d;
        strides[j] = c->len == 1 ? 0 : (ptrdiff_t)sizeof(double);
    }
    unsigned char *marks = rc->info->marks ? (unsigned char *)R_alloc((size_t)n * one, 1) : NULL;
    int32_t chunk_status[CHUNK];
    uint64_t marked = 0;
    for (size_t from = 0; from < (size_t)n; from += CHUNK) {
        const size_t m = (size_t)n - from < CHUNK ? (size_t)n - from : CHUNK;
        for (size_t j = 0; j < ncol; ++j) at[j] = (const double *)((const char *)ptrs[j] + (ptrdiff_t)from * strides[j]);
        int32_t *status = rc->status != NULL ? rc->status + from : chunk_status;
        qvh_tally tally;
        if (qvh_call_rows(rc->call, m, ncol, at, strides, REAL(rc->out) + from, sizeof(double), status,
                          marks != NULL ? marks + from * ncol : NULL, &tally) != QVH_OK)
            qvr_fail(rc->guard, qvh_errmsg());
        qvr_dot_to_na(REAL(rc->out) + from, (R_xlen_t)m);
        if (rc->status == NULL) qvr_keep_chunk(status, from, m, &tally);
        marked += tally.marked;
    }
    for (size_t i = 0; marks != NULL && marked > 0 && i < (size_t)n; ++i)
        for (size_t j = 0; j < ncol; ++j)
            if (marks[i * ncol + j]) qvr_add_mark(i, j);
}

/* Text among the arguments or the result: one call per row, its arguments added one by one. */
static void row_by_row(rows_call *rc, R_xlen_t i) {
    qvh_call *call = rc->call;
    qvh_call_clear(call);
    for (size_t j = 0; j < rc->ncol; ++j) {
        const column *c = &rc->cols[j];
        R_xlen_t at = c->off + i % c->len;
        int r;
        if (rc->kinds[j] == QVH_KIND_NUM) {
            const double v = qvr_number_at(c->vec, at);
            if (rc->present_only && c->arg >= rc->nlead && ISNAN(v)) continue;
            r = qvh_call_add_num(call, v);
        } else {
            const char *s = qvr_utf8_of(STRING_ELT(c->vec, at));
            r = qvh_call_add_str(call, s, strlen(s));
        }
        if (r != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
    }
    if (qvh_call_invoke(call) != QVH_OK) qvr_fail(rc->guard, qvh_errmsg());
    int32_t st = qvh_call_status(call);
    if (qvh_status_is_memory(st))
        qvr_fail_memory(rc->guard, rc->label, (size_t)i, (size_t)rc->n);
    rc->status[i] = st;
    if (TYPEOF(rc->out) == REALSXP) {
        REAL(rc->out)[i] = qvh_call_result(call);
    } else {
        size_t len = 0;
        const char *s = qvh_call_result_str(call, &len);
        SET_STRING_ELT(rc->out, i, Rf_mkCharLenCE(s, (int)len, CE_UTF8));
    }
    if (rc->info->marks && st != QVH_STATUS_OK)
        for (size_t j = 0; j < rc->ncol; ++j)
            if (qvh_call_marked(call, j)) qvr_add_mark((size_t)i, j);
}

/* Whether row i holds a missing value in a data column (a parameter's missing value is the
 * package's to judge). */
static int row_has_na(const rows_call *rc, R_xlen_t i) {
    for (size_t j = 0; j < rc->ncol; ++j) {
        const column *c = &rc->cols[j];
        if (c->arg < rc->nlead) continue;
        R_xlen_t at = c->off + i % c->len;
        if (rc->kinds[j] == QVH_KIND_NUM ? ISNAN(qvr_number_at(c->vec, at)) : STRING_ELT(c->vec, at) == NA_STRING)
            return 1;
    }
    return 0;
}

/* na.rm = FALSE: a row with a missing value is NA with the status missing argument, as
 * pmax(..., na.rm = FALSE) gives NA, whatever the call made of it. */
static void na_rows(rows_call *rc) {
    for (R_xlen_t i = 0; i < rc->n; ++i) {
        if (!row_has_na(rc, i)) continue;
        rc->status[i] = QVH_STATUS_MISSING_ARG;
        if (TYPEOF(rc->out) == REALSXP) REAL(rc->out)[i] = NA_REAL;
        else SET_STRING_ELT(rc->out, i, NA_STRING);
    }
}

/* An elementwise result takes the names, dimensions and time series attributes of the longest
 * argument, as arithmetic keeps them. */
static void keep_shape(const rows_call *rc) {
    for (size_t j = 0; j < rc->ncol; ++j) {
        if (rc->cols[j].len != rc->n || rc->n == 0) continue;
        SEXP src = rc->cols[j].vec, out = rc->out;
        Rf_setAttrib(out, R_NamesSymbol, Rf_getAttrib(src, R_NamesSymbol));
        Rf_setAttrib(out, R_DimSymbol, Rf_getAttrib(src, R_DimSymbol));
        Rf_setAttrib(out, R_DimNamesSymbol, Rf_getAttrib(src, R_DimNamesSymbol));
        if (TYPEOF(out) == REALSXP && Rf_inherits(src, "ts")) {
            Rf_setAttrib(out, R_TspSymbol, Rf_getAttrib(src, R_TspSymbol));
            Rf_setAttrib(out, R_ClassSymbol, Rf_getAttrib(src, R_ClassSymbol));
        }
        return;
    }
}

/* Elementwise (mode -1): qv_round(x, unit), recycling like atan2. Row-wise (mode k >= 0): one call
 * per row of the columns of args after its k parameters: qv_pmean(a, b, c), qv_ppctl(df, p = 90);
 * with na_rm FALSE a row with a missing value is NA. */
SEXP qvr_rows(SEXP fname, SEXP label_, SEXP args, SEXP mode_, SEXP na_rm) {
    rows_call rc = {0};
    rc.info = qvr_lookup(fname);
    rc.label = qvr_label_of(label_);
    const int mode = Rf_asInteger(mode_);
    rc.rowwise = mode >= 0;
    rc.nlead = rc.rowwise ? mode : 0;
    rc.cols = columns_of(args, rc.rowwise, rc.nlead, (R_xlen_t)rc.info->min_args, &rc.ncol);
    size_rows(&rc, args);
    const int keep_na = rc.rowwise && !Rf_asLogical(na_rm);
    rc.present_only = rc.rowwise && !keep_na && qvr_ranks_missing(rc.info);
    if (rc.present_only) rc.all_numbers = 0;
    const int result_num = rc.all_numbers || rc.info->result_kind == QVH_KIND_NUM;
    rc.out = PROTECT(Rf_allocVector(result_num ? REALSXP : STRSXP, rc.n));
    /* rows of numbers keep their statuses as they go, but for na_rows to change */
    const int chunked = rc.all_numbers && !keep_na;
    if (chunked) qvr_status_begin(rc.label, (size_t)rc.n);
    else rc.status = qvr_status_room(rc.label, (size_t)rc.n);
    rc.call = qvr_new_call(rc.info, rc.label, &rc.guard);
    if (rc.all_numbers && rc.n > 0) rows_of_numbers(&rc);
    for (R_xlen_t i = 0; !rc.all_numbers && i < rc.n; ++i) {
        if ((i & 4095) == 4095 && qvr_interrupted()) qvr_stop(rc.guard);
        const void *vmax = vmaxget();
        row_by_row(&rc, i);
        vmaxset(vmax);
    }
    qvr_release(rc.guard);
    if (TYPEOF(rc.out) == REALSXP && !rc.all_numbers) qvr_dot_to_na(REAL(rc.out), rc.n);
    if (keep_na) na_rows(&rc);
    if (chunked) qvr_keep_end((size_t)rc.n);
    else qvr_keep_statuses(rc.status, (size_t)rc.n);
    if (qvr_nmarks() > 0) qvr_keep_names(column_names(args, rc.nlead, rc.cols, rc.ncol), (size_t)-1, "");
    if (!rc.rowwise) keep_shape(&rc);
    if (rc.uneven) Rf_warningcall(R_NilValue, "%s: longer argument not a multiple of length of shorter", rc.label);
    qvr_warn_statuses(rc.label);
    UNPROTECT(2);
    return rc.out;
}

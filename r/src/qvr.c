/*
 * The R functions of qvewumth: .Call entry points that hand R vectors to the host library and bring
 * its results back as R values.
 *
 * Missing values: NA_real_ and NaN reach the package as '.' (the host library makes every NaN that
 * is not a missing value '.'); a '.' result comes back as NA_real_, and ._ and .A to .Z stay the
 * NaN payloads the package gives them, so is.na() is TRUE for every missing value.
 *
 * Every host object made for one .Call (a call, an aggregate) is owned by a guard with a finalizer,
 * so an R error between its making and its freeing leaks nothing; the normal path frees it at once,
 * before any warning is raised, and unloading frees whatever is left.
 */
#include <qvhost.h>
#if QVH_VERSION_MAJOR != 1 || QVH_VERSION_MINOR < 1
#error "the R package needs the host library 1.1 or later"
#endif

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define R_NO_REMAP
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

static qvh_package *pkg;

/* ---- the package -------------------------------------------------------------------------- */

static SEXP qv_open(SEXP path) {
    if (pkg != NULL) return R_NilValue;
    const char *p = Rf_isString(path) && Rf_length(path) == 1 ? Rf_translateCharUTF8(STRING_ELT(path, 0)) : NULL;
    if (qvh_open(p, &pkg) != QVH_OK) Rf_error("qvewumth: %s", qvh_errmsg());
    return R_NilValue;
}

static SEXP qv_close(void) {
    qvh_close(pkg);
    pkg = NULL;
    return R_NilValue;
}

static qvh_package *package(void) {
    if (pkg == NULL) Rf_error("qvewumth: the function package is not open");
    return pkg;
}

static const qvh_info *lookup(SEXP name) {
    if (!Rf_isString(name) || Rf_length(name) != 1 || STRING_ELT(name, 0) == NA_STRING)
        Rf_error("qvewumth: a function name must be one string");
    const qvh_info *info = qvh_function_find(Rf_translateCharUTF8(STRING_ELT(name, 0)));
    if (info == NULL) Rf_error("qvewumth: %s", qvh_errmsg());
    return info;
}

static const char *label_of(SEXP label) { return CHAR(STRING_ELT(label, 0)); }

/* ---- host objects owned by R -------------------------------------------------------------- */

/* Every host object made for one .Call (a call, an aggregate) is the address of an external
 * pointer, the key of a weak reference whose C finalizer frees it, so an R error between its
 * making and its freeing leaks nothing. The weak references of live objects are listed here: the
 * unload hook runs the finalizer of each one still listed, which frees the object and takes the
 * finalizer off, so no finalizer of this library is left for R to run once it is unloaded. */
static SEXP live; /* a preserved pairlist of weak references; NULL before the first object */

static void free_call(SEXP key) {
    qvh_call *c = (qvh_call *)R_ExternalPtrAddr(key);
    R_ClearExternalPtr(key);
    if (c != NULL) qvh_call_free(c);
}

static void free_agg(SEXP key) {
    qvh_agg *a = (qvh_agg *)R_ExternalPtrAddr(key);
    R_ClearExternalPtr(key);
    if (a != NULL) qvh_agg_free(a);
}

/* Drops the weak references whose finalizer has run (their key is gone). */
static void prune_live(void) {
    SEXP prev = live;
    for (SEXP cell = CDR(live); cell != R_NilValue; cell = CDR(cell)) {
        if (R_WeakRefKey(CAR(cell)) == R_NilValue) SETCDR(prev, CDR(cell));
        else prev = cell;
    }
}

/* A guard (protected: the caller unprotects it) whose finalizer is release. */
static SEXP new_guard(R_CFinalizer_t release) {
    if (live == NULL) {
        live = Rf_cons(R_NilValue, R_NilValue);
        R_PreserveObject(live);
    }
    prune_live();
    SEXP key = PROTECT(R_MakeExternalPtr(NULL, R_NilValue, R_NilValue));
    SEXP ref = PROTECT(R_MakeWeakRefC(key, R_NilValue, release, TRUE));
    R_SetExternalPtrProtected(key, ref);
    SETCDR(live, Rf_cons(ref, CDR(live)));
    UNPROTECT(1);
    return key;
}

/* Frees the object of guard now; its finalizer never runs again. */
static void release(SEXP guard) { R_RunWeakRefFinalizer(R_ExternalPtrProtected(guard)); }

/* Frees every host object still alive: for the unload hook. */
static void release_all(void) {
    if (live == NULL) return;
    for (SEXP cell = CDR(live); cell != R_NilValue; cell = CDR(cell)) R_RunWeakRefFinalizer(CAR(cell));
    R_ReleaseObject(live);
    live = NULL;
}

/* A call of info named label, owned by *guard (protected: the caller unprotects it). */
static qvh_call *new_call(const qvh_info *info, const char *label, SEXP *guard) {
    *guard = new_guard(free_call);
    qvh_call *c = NULL;
    if (qvh_call_new(package(), info->name, &c) != QVH_OK) Rf_error("%s", qvh_errmsg());
    R_SetExternalPtrAddr(*guard, c);
    if (label != NULL && qvh_call_set_label(c, label) != QVH_OK) Rf_error("%s", qvh_errmsg());
    return c;
}

static qvh_agg *new_agg(const qvh_info *info, const char *label, unsigned flags, SEXP *guard) {
    *guard = new_guard(free_agg);
    qvh_agg *a = NULL;
    if (qvh_agg_new(package(), info->name, flags, &a) != QVH_OK) Rf_error("%s", qvh_errmsg());
    R_SetExternalPtrAddr(*guard, a);
    if (qvh_agg_set_label(a, label) != QVH_OK) Rf_error("%s", qvh_errmsg());
    return a;
}

/* Frees the object of guard, then raises msg (copied first: it may live in the object). */
static void NORET fail(SEXP guard, const char *msg) {
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", msg);
    if (guard != NULL) release(guard);
    Rf_error("%s", copy);
}

/* A memory status is an error: there is no result. */
static void NORET fail_memory(SEXP guard, const char *label, int32_t status, size_t row,
                              size_t rows, const char *unit) {
    char msg[256];
    int len = snprintf(msg, sizeof msg, "%s: out of memory (%s)", label, qvh_status_name(status));
    if (rows > 1) snprintf(msg + len, sizeof msg - (size_t)len, " in %s %zu of %zu", unit, row + 1, rows);
    fail(guard, msg);
}

/* ---- values ------------------------------------------------------------------------------- */

static uint64_t bits_of(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

/* A '.' result is R's NA_real_; the other missing values keep their payloads. */
static void dot_to_na(double *x, R_xlen_t n) {
    const uint64_t dot = bits_of(qvh_dot());
    for (R_xlen_t i = 0; i < n; ++i)
        if (bits_of(x[i]) == dot) x[i] = NA_REAL;
}

static int is_numeric(SEXP x) {
    return (TYPEOF(x) == REALSXP || TYPEOF(x) == INTSXP || TYPEOF(x) == LGLSXP) && !Rf_isFactor(x);
}

static const char *type_words(SEXP x) {
    if (Rf_isFactor(x)) return "a factor";
    if (Rf_isFrame(x)) return "a data frame";
    switch (TYPEOF(x)) {
    case NILSXP: return "NULL";
    case STRSXP: return "character";
    case VECSXP: return "a list";
    case REALSXP: case INTSXP: case LGLSXP: return "numeric";
    default: return Rf_type2char(TYPEOF(x));
    }
}

/* Element i of a numeric vector as a double: integer and logical NA are NA_real_. */
static double number_at(SEXP x, R_xlen_t i) {
    switch (TYPEOF(x)) {
    case REALSXP: return REAL(x)[i];
    case INTSXP: return INTEGER(x)[i] == NA_INTEGER ? NA_REAL : (double)INTEGER(x)[i];
    default: return LOGICAL(x)[i] == NA_LOGICAL ? NA_REAL : (double)LOGICAL(x)[i];
    }
}

/* len numbers of x from off on, as doubles (a copy only for integer and logical vectors). */
static const double *doubles(SEXP x, R_xlen_t off, R_xlen_t len) {
    if (TYPEOF(x) == REALSXP) return REAL(x) + off;
    double *d = (double *)R_alloc(len > 0 ? (size_t)len : 1, sizeof(double));
    for (R_xlen_t i = 0; i < len; ++i) d[i] = number_at(x, off + i);
    return d;
}

/* An R string as UTF-8; NA_character_ is the blank string, the package's missing text. */
static const char *utf8_of(SEXP s) { return s == NA_STRING ? "" : Rf_translateCharUTF8(s); }

/* ---- the statuses of the last call -------------------------------------------------------- */

/* The record of the last call for qv_status(): one byte per result, indexing a table of the
 * distinct statuses, and nothing per result when every status was ok. */
static struct {
    unsigned char *code;
    size_t n, cap;
    int all_ok;
    int32_t table[256];
    size_t ntable;
    size_t *mark_row; /* pairs (result, argument position) for every argument marked invalid */
    size_t *mark_arg;
    size_t nmarks, mcap;
    SEXP argnames;    /* names of argument positions, preserved; NULL when none */
    size_t data_from; /* positions from here on are elements of the data vector named dataname */
    char dataname[64];
} last = {NULL, 0, 0, 1, {0}, 0, NULL, NULL, 0, 0, NULL, (size_t)-1, ""};

/* Drops the record of the previous call and returns room for the statuses of n results (freed
 * when the .Call returns). The record's own room is made first, so keeping it cannot fail later. */
static int32_t *status_room(size_t n) {
    last.n = 0;
    last.all_ok = 1;
    last.nmarks = 0;
    last.data_from = (size_t)-1;
    if (last.argnames != NULL) R_ReleaseObject(last.argnames);
    last.argnames = NULL;
    if (n > last.cap) {
        free(last.code);
        last.code = (unsigned char *)malloc(n);
        last.cap = last.code == NULL ? 0 : n;
        if (last.code == NULL) Rf_error("qvewumth: out of memory for the statuses of %zu results", n);
    }
    return (int32_t *)R_alloc(n > 0 ? n : 1, sizeof(int32_t));
}

/* Keeps the statuses of the n results of the call just made. */
static void keep_statuses(const int32_t *status, size_t n) {
    last.n = n;
    last.ntable = 1;
    last.table[0] = QVH_STATUS_OK;
    for (size_t i = 0; i < n; ++i) {
        size_t k = 0;
        while (k < last.ntable && last.table[k] != status[i]) ++k;
        if (k == last.ntable && k < 256) last.table[last.ntable++] = status[i];
        if (k > 0) last.all_ok = 0;
        last.code[i] = (unsigned char)(k < 256 ? k : 255);
    }
    if (last.all_ok && last.cap > (1u << 16)) { /* nothing to keep: give the room back */
        free(last.code);
        last.code = NULL;
        last.cap = 0;
    }
}

static int32_t status_at(size_t i) { return last.all_ok ? QVH_STATUS_OK : last.table[last.code[i]]; }

static void add_mark(size_t row, size_t arg) {
    if (last.nmarks == last.mcap) {
        size_t cap = last.mcap ? 2 * last.mcap : 64;
        size_t *r = (size_t *)realloc(last.mark_row, cap * sizeof(size_t));
        if (r != NULL) last.mark_row = r;
        size_t *a = r == NULL ? NULL : (size_t *)realloc(last.mark_arg, cap * sizeof(size_t));
        if (a == NULL) return; /* the marks are kept as far as memory allows */
        last.mark_arg = a;
        last.mcap = cap;
    }
    last.mark_row[last.nmarks] = row;
    last.mark_arg[last.nmarks] = arg;
    ++last.nmarks;
}

static void keep_names(SEXP names) {
    if (names == R_NilValue) return;
    R_PreserveObject(names);
    last.argnames = names;
}

/* One warning summing up the statuses of the last call's results, other than ok and missing
 * argument (a missing value in gives a missing value out, as in R): "invalid argument in qv_log
 * for 3 of 1000 elements". */
static void warn_statuses(const char *label, const char *unit) {
    if (last.all_ok) return;
    size_t count[256] = {0};
    for (size_t i = 0; i < last.n; ++i) ++count[last.code[i]];
    char msg[1024];
    size_t len = 0, shown = 0;
    for (size_t k = 1; k < last.ntable && len < sizeof msg; ++k) {
        int32_t s = last.table[k];
        if (s == QVH_STATUS_MISSING_ARG || count[k] == 0) continue;
        if (last.n == 1)
            len += (size_t)snprintf(msg + len, sizeof msg - len, "%s%s", shown ? " and " : "", qvh_status_name(s));
        else if (shown == 0)
            len += (size_t)snprintf(msg + len, sizeof msg - len, "%s in %s for %zu", qvh_status_name(s), label,
                                    count[k]);
        else
            len += (size_t)snprintf(msg + len, sizeof msg - len, ", %s for %zu", qvh_status_name(s), count[k]);
        ++shown;
    }
    if (shown == 0) return;
    if (len < sizeof msg) {
        if (last.n == 1) snprintf(msg + len, sizeof msg - len, " in %s", label);
        else snprintf(msg + len, sizeof msg - len, " of %zu %s", last.n, unit);
    }
    Rf_warningcall(R_NilValue, "%s", msg);
}

/* qv_status(): the status and the arguments marked invalid of every result of the last call. */
static SEXP qv_last_status(void) {
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 2));
    SEXP status = SET_VECTOR_ELT(out, 0, Rf_allocVector(STRSXP, (R_xlen_t)last.n));
    SEXP marked = SET_VECTOR_ELT(out, 1, Rf_allocVector(STRSXP, (R_xlen_t)last.n));
    SEXP ok = PROTECT(Rf_mkChar(qvh_status_name(QVH_STATUS_OK)));
    SEXP none = PROTECT(Rf_mkChar(""));
    for (size_t i = 0; i < last.n; ++i) {
        SET_STRING_ELT(status, (R_xlen_t)i, status_at(i) == QVH_STATUS_OK ? ok : Rf_mkChar(qvh_status_name(status_at(i))));
        SET_STRING_ELT(marked, (R_xlen_t)i, none);
    }
    size_t nnames = last.argnames == NULL ? 0 : (size_t)XLENGTH(last.argnames);
    for (size_t m = 0; m < last.nmarks;) {
        size_t row = last.mark_row[m];
        char text[1024];
        size_t len = 0;
        for (; m < last.nmarks && last.mark_row[m] == row; ++m) {
            size_t a = last.mark_arg[m];
            const char *sep = len ? ", " : "";
            if (len >= sizeof text) continue;
            if (a < nnames)
                len += (size_t)snprintf(text + len, sizeof text - len, "%s%s", sep,
                                        CHAR(STRING_ELT(last.argnames, (R_xlen_t)a)));
            else if (a >= last.data_from)
                len += (size_t)snprintf(text + len, sizeof text - len, "%s%s[%zu]", sep, last.dataname,
                                        a - last.data_from + 1);
            else
                len += (size_t)snprintf(text + len, sizeof text - len, "%sargument %zu", sep, a + 1);
        }
        if (row < last.n) SET_STRING_ELT(marked, (R_xlen_t)row, Rf_mkCharCE(text, CE_UTF8));
    }
    UNPROTECT(3);
    return out;
}

/* ---- arguments ---------------------------------------------------------------------------- */

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
    int num = is_numeric(x), chr = TYPEOF(x) == STRSXP;
    if ((want == QVH_KIND_NUM && num) || (want == QVH_KIND_CHR && chr) || (want == QVH_KIND_ANY && (num || chr)))
        return num ? QVH_KIND_NUM : QVH_KIND_CHR;
    char name[512];
    column_name(args, nlead, c, name, sizeof name);
    Rf_error("%s: %s must be %s, not %s", label, name,
             want == QVH_KIND_NUM ? "numeric" : want == QVH_KIND_CHR ? "character" : "numeric or character",
             type_words(x));
}

/* The columns of args: each argument is one column; in a row-wise form (nlead >= 0) the
 * arguments after the nlead parameters may also be matrices or data frames, one column each. */
static column *columns_of(SEXP args, int rowwise, R_xlen_t nlead, size_t *ncol) {
    R_xlen_t nargs = XLENGTH(args);
    if (!rowwise)
        while (nargs > 0 && VECTOR_ELT(args, nargs - 1) == R_NilValue) --nargs;
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
            if (Rf_isFrame(x) || (TYPEOF(x) != STRSXP && !is_numeric(x)))
                cols[k] = (column){x, 0, 0, i, -1}; /* reported by check_kind */
            else
                cols[k] = (column){x, 0, Rf_xlength(x), i, -1};
            ++k;
        }
    }
    *ncol = k;
    return cols;
}

/* ---- one call per row --------------------------------------------------------------------- */

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

/* Elementwise (mode -1): qv_round(x, unit), recycling like atan2. Row-wise (mode k >= 0): one call
 * per row of the columns of args after its k parameters: qv_pmean(a, b, c), qv_ppctl(df, p = 90). */
static SEXP qv_rows(SEXP fname, SEXP label_, SEXP args, SEXP mode_) {
    const qvh_info *info = lookup(fname);
    const char *label = label_of(label_);
    const int mode = Rf_asInteger(mode_), rowwise = mode >= 0;
    const R_xlen_t nlead = rowwise ? mode : 0;
    const char *unit = rowwise ? "rows" : "elements";
    size_t ncol = 0;
    column *cols = columns_of(args, rowwise, nlead, &ncol);
    int *kinds = (int *)R_alloc(ncol > 0 ? ncol : 1, sizeof(int));
    int all_numbers = info->result_kind == QVH_KIND_NUM;
    R_xlen_t n = 0;
    for (size_t j = 0; j < ncol; ++j) {
        kinds[j] = check_kind(info, label, args, nlead, &cols[j], j);
        all_numbers &= kinds[j] == QVH_KIND_NUM;
        if (cols[j].len > n) n = cols[j].len;
    }
    int uneven = 0;
    for (size_t j = 0; j < ncol; ++j) {
        if (cols[j].len == 0) n = 0;
        else if (n % cols[j].len != 0) uneven = 1;
    }
    if (qvh_check_args(info, label, ncol, kinds) != QVH_OK) Rf_error("%s", qvh_errmsg());

    SEXP out = PROTECT(Rf_allocVector(all_numbers || info->result_kind == QVH_KIND_NUM ? REALSXP : STRSXP, n));
    int32_t *status = status_room((size_t)n);
    unsigned char *marks = NULL;
    size_t marked_rows = 0;
    SEXP guard;
    qvh_call *call = new_call(info, label, &guard);
    if (all_numbers) {
        const double **ptrs = (const double **)R_alloc(ncol > 0 ? ncol : 1, sizeof(double *));
        ptrdiff_t *strides = (ptrdiff_t *)R_alloc(ncol > 0 ? ncol : 1, sizeof(ptrdiff_t));
        for (size_t j = 0; j < ncol && n > 0; ++j) {
            const column *c = &cols[j];
            const double *d = doubles(c->vec, c->off, c->len);
            if (c->len != 1 && c->len != n) { /* recycled into a full column */
                double *r = (double *)R_alloc((size_t)n, sizeof(double));
                for (R_xlen_t i = 0; i < n; ++i) r[i] = d[i % c->len];
                d = r;
            }
            ptrs[j] = d;
            strides[j] = c->len == 1 ? 0 : (ptrdiff_t)sizeof(double);
        }
        if (info->marks && n > 0) marks = (unsigned char *)R_alloc((size_t)n * (ncol > 0 ? ncol : 1), 1);
        qvh_tally tally;
        if (n > 0 && qvh_call_rows(call, (size_t)n, ncol, ptrs, strides, REAL(out), sizeof(double), status, marks,
                                   &tally) != QVH_OK)
            fail(guard, qvh_errmsg());
        marked_rows = n > 0 && marks != NULL ? (size_t)tally.marked : 0;
        dot_to_na(REAL(out), n);
    } else {
        for (R_xlen_t i = 0; i < n; ++i) {
            const void *vmax = vmaxget();
            qvh_call_clear(call);
            for (size_t j = 0; j < ncol; ++j) {
                const column *c = &cols[j];
                R_xlen_t at = c->off + i % c->len;
                int rc;
                if (kinds[j] == QVH_KIND_NUM) {
                    rc = qvh_call_add_num(call, number_at(c->vec, at));
                } else {
                    const char *s = utf8_of(STRING_ELT(c->vec, at));
                    rc = qvh_call_add_str(call, s, strlen(s));
                }
                if (rc != QVH_OK) fail(guard, qvh_errmsg());
            }
            if (qvh_call_invoke(call) != QVH_OK) fail(guard, qvh_errmsg());
            int32_t st = qvh_call_status(call);
            if (qvh_status_is_memory(st)) fail_memory(guard, label, st, (size_t)i, (size_t)n, rowwise ? "row" : "element");
            status[i] = st;
            if (TYPEOF(out) == REALSXP) {
                REAL(out)[i] = qvh_call_result(call);
            } else {
                size_t len = 0;
                const char *s = qvh_call_result_str(call, &len);
                SET_STRING_ELT(out, i, Rf_mkCharLenCE(s, (int)len, CE_UTF8));
            }
            if (info->marks && st != QVH_STATUS_OK)
                for (size_t j = 0; j < ncol; ++j)
                    if (qvh_call_marked(call, j)) add_mark((size_t)i, j);
            vmaxset(vmax);
        }
        if (TYPEOF(out) == REALSXP) dot_to_na(REAL(out), n);
    }
    release(guard);
    for (size_t i = 0; marked_rows > 0 && i < (size_t)n; ++i)
        for (size_t j = 0; j < ncol; ++j)
            if (marks[i * ncol + j]) add_mark(i, j);
    keep_statuses(status, (size_t)n);
    if (last.nmarks > 0) keep_names(column_names(args, nlead, cols, ncol));

    if (!rowwise) { /* the shape and names of the longest argument, as arithmetic keeps them */
        for (size_t j = 0; j < ncol; ++j) {
            if (cols[j].len != n || n == 0) continue;
            SEXP src = cols[j].vec;
            Rf_setAttrib(out, R_NamesSymbol, Rf_getAttrib(src, R_NamesSymbol));
            Rf_setAttrib(out, R_DimSymbol, Rf_getAttrib(src, R_DimSymbol));
            Rf_setAttrib(out, R_DimNamesSymbol, Rf_getAttrib(src, R_DimNamesSymbol));
            break;
        }
    }
    if (uneven) Rf_warningcall(R_NilValue, "%s: longer argument not a multiple of length of shorter", label);
    warn_statuses(label, unit);
    UNPROTECT(2);
    return out;
}

/* ---- one call over a vector --------------------------------------------------------------- */

/* qv_median(x), qv_pctl(x, p): one call over every value of x, once for each value of the
 * parameter when the function takes one (params: list() or list(p = ...)). */
static SEXP qv_reduce(SEXP fname, SEXP label_, SEXP x, SEXP params) {
    const qvh_info *info = lookup(fname);
    const char *label = label_of(label_);
    const R_xlen_t nlead = XLENGTH(params);
    SEXP pnames = Rf_getAttrib(params, R_NamesSymbol);
    const int xkind = nlead > 0 ? info->rest_kind : info->first_kind;
    const int data_chr = xkind == QVH_KIND_CHR;
    if (data_chr ? TYPEOF(x) != STRSXP : !is_numeric(x))
        Rf_error("%s: argument x must be %s, not %s", label, data_chr ? "character" : "numeric", type_words(x));
    SEXP p = nlead > 0 ? VECTOR_ELT(params, 0) : R_NilValue;
    const int param_chr = info->first_kind == QVH_KIND_CHR;
    const char *pname = nlead > 0 ? CHAR(STRING_ELT(pnames, 0)) : "";
    if (nlead > 0 && (param_chr ? TYPEOF(p) != STRSXP : !is_numeric(p)))
        Rf_error("%s: argument %s must be %s, not %s", label, pname, param_chr ? "character" : "numeric",
                 type_words(p));
    const R_xlen_t n = XLENGTH(x), m = nlead > 0 ? XLENGTH(p) : 1;
    if ((double)n + (double)nlead < (double)info->min_args)
        Rf_error("%s: x holds %ld value%s; it needs at least %ld", label, (long)n, n == 1 ? "" : "s",
                 (long)(info->min_args - nlead));

    SEXP out = PROTECT(Rf_allocVector(info->result_kind == QVH_KIND_CHR ? STRSXP : REALSXP, m));
    const double *xd = data_chr ? NULL : doubles(x, 0, n);
    const char **xs = NULL;
    if (data_chr) {
        xs = (const char **)R_alloc(n > 0 ? (size_t)n : 1, sizeof(char *));
        for (R_xlen_t i = 0; i < n; ++i) xs[i] = utf8_of(STRING_ELT(x, i));
    }
    int32_t *status = status_room((size_t)m);
    SEXP guard;
    qvh_call *call = new_call(info, label, &guard);
    int m_done = 0;
    int rc = QVH_OK;
    if (!data_chr && !param_chr && info->form == QVH_FORM_LIST) {
        /* Numbers: each result is one call over x read in place, with no copy of it. */
        unsigned char *marked = info->marks ? (unsigned char *)R_alloc((size_t)(n + nlead) + 1, 1) : NULL;
        for (R_xlen_t k = 0; k < m; ++k) {
            const double lead = nlead > 0 ? number_at(p, k) : 0;
            double r = 0;
            int32_t st = QVH_STATUS_OK;
            rc = qvh_call_over(call, &lead, (size_t)nlead, xd, (size_t)n, sizeof(double), &r, &st, marked);
            if (rc == QVH_E_NOMEM)
                fail_memory(guard, label, qvh_status_is_memory(st) ? st : QVH_STATUS_NO_MEMORY, (size_t)k,
                            (size_t)m, "result");
            if (rc != QVH_OK) fail(guard, qvh_errmsg());
            status[k] = st;
            REAL(out)[k] = r;
            if (marked != NULL && st != QVH_STATUS_OK)
                for (size_t j = 0; j < (size_t)(n + nlead); ++j)
                    if (marked[j]) add_mark((size_t)k, j);
        }
        m_done = 1;
    }
    if (!m_done && nlead > 0) rc = param_chr ? qvh_call_add_str(call, "", 0) : qvh_call_add_num(call, 0);
    if (!m_done && rc == QVH_OK && !data_chr) rc = qvh_call_add_nums(call, xd, (size_t)n);
    for (R_xlen_t i = 0; rc == QVH_OK && data_chr && i < n; ++i) rc = qvh_call_add_str(call, xs[i], strlen(xs[i]));
    if (rc != QVH_OK) fail(guard, qvh_errmsg());
    for (R_xlen_t k = 0; !m_done && k < m; ++k) {
        if (nlead > 0) {
            const char *s = param_chr ? utf8_of(STRING_ELT(p, k)) : NULL;
            rc = param_chr ? qvh_call_set_str(call, 0, s, strlen(s)) : qvh_call_set_num(call, 0, number_at(p, k));
            if (rc != QVH_OK) fail(guard, qvh_errmsg());
        }
        if (qvh_call_invoke(call) != QVH_OK) fail(guard, qvh_errmsg());
        int32_t st = qvh_call_status(call);
        if (qvh_status_is_memory(st)) fail_memory(guard, label, st, (size_t)k, (size_t)m, "result");
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
                if (qvh_call_marked(call, j)) add_mark((size_t)k, j);
    }
    release(guard);
    if (TYPEOF(out) == REALSXP) dot_to_na(REAL(out), m);
    keep_statuses(status, (size_t)m);
    if (last.nmarks > 0) {
        keep_names(pnames);
        last.data_from = (size_t)nlead;
        snprintf(last.dataname, sizeof last.dataname, "x");
    }
    warn_statuses(label, "results");
    UNPROTECT(2);
    return out;
}

/* ---- groups and windows ------------------------------------------------------------------- */

/* The statistic fun of qv_by and qv_moving, with its parameter when it takes one. */
static const qvh_info *statistic(SEXP fun, SEXP params, const char *caller, const char *form, double *param) {
    const qvh_info *info = qvh_function_find(Rf_translateCharUTF8(STRING_ELT(fun, 0)));
    if (info == NULL) Rf_error("%s: %s", caller, qvh_errmsg());
    const char *name = qvh_sql_name(info);
    if (info->aggregate == QVH_AGG_NONE)
        Rf_error("%s: %s is not a statistic of a list of values", caller, name);
    if (info->leading_param && XLENGTH(params) == 0)
        Rf_error("%s: %s takes a parameter: %s(%s, \"%s\", 90)", caller, name, caller, form, name + 3);
    if (!info->leading_param && XLENGTH(params) > 0) Rf_error("%s: %s takes no parameter", caller, name);
    if (XLENGTH(params) > 0) {
        SEXP p = VECTOR_ELT(params, 0);
        if (!is_numeric(p) || XLENGTH(p) != 1) Rf_error("%s: the parameter of %s must be one number", caller, name);
        *param = number_at(p, 0);
    }
    return info;
}

/* qv_by(x, g, fun): the statistic of every group in one pass: the values are set out group by
 * group in the data's order, then one aggregate takes each group in turn. g holds group numbers
 * 1..ngroups or NA (left out). */
static SEXP qv_by(SEXP fun, SEXP x, SEXP g, SEXP ngroups_, SEXP params) {
    double param = 0;
    const qvh_info *info = statistic(fun, params, "qv_by", "x, g", &param);
    const char *label = qvh_sql_name(info);
    if (!is_numeric(x)) Rf_error("qv_by: argument x must be numeric, not %s", type_words(x));
    const R_xlen_t n = XLENGTH(x);
    if (TYPEOF(g) != INTSXP || XLENGTH(g) != n) Rf_error("qv_by: the groups must be as long as x");
    const int ng = Rf_asInteger(ngroups_);
    const int *gi = INTEGER(g);
    const double *xd = doubles(x, 0, n);
    size_t *start = (size_t *)R_alloc((size_t)ng + 1, sizeof(size_t));
    memset(start, 0, ((size_t)ng + 1) * sizeof(size_t));
    for (R_xlen_t i = 0; i < n; ++i)
        if (gi[i] != NA_INTEGER) {
            if (gi[i] < 1 || gi[i] > ng) Rf_error("qv_by: group number %d out of range", gi[i]);
            ++start[gi[i]];
        }
    for (int k = 1; k <= ng; ++k) start[k] += start[k - 1];
    size_t *fill = (size_t *)R_alloc((size_t)ng + 1, sizeof(size_t));
    memcpy(fill, start, ((size_t)ng + 1) * sizeof(size_t));
    double *grouped = (double *)R_alloc(start[ng] > 0 ? start[ng] : 1, sizeof(double));
    for (R_xlen_t i = 0; i < n; ++i)
        if (gi[i] != NA_INTEGER) grouped[fill[gi[i] - 1]++] = xd[i];

    SEXP out = PROTECT(Rf_allocVector(REALSXP, ng));
    int32_t *status = status_room((size_t)ng);
    SEXP guard;
    qvh_agg *agg = new_agg(info, label, 0, &guard);
    for (int k = 0; k < ng; ++k) {
        qvh_agg_reset(agg);
        int rc = info->leading_param ? qvh_agg_param(agg, param) : QVH_OK;
        if (rc == QVH_OK) rc = qvh_agg_add_n(agg, grouped + start[k], start[k + 1] - start[k]);
        if (rc == QVH_OK) rc = qvh_agg_result(agg, REAL(out) + k, &status[k]);
        if (rc != QVH_OK) fail(guard, qvh_errmsg());
        if (qvh_status_is_memory(status[k])) fail_memory(guard, label, status[k], (size_t)k, (size_t)ng, "group");
    }
    release(guard);
    dot_to_na(REAL(out), ng);
    keep_statuses(status, (size_t)ng);
    warn_statuses(label, "groups");
    UNPROTECT(2);
    return out;
}

/* qv_moving(x, k, fun): the statistic of the window of the k values up to each element (fewer at
 * the start), with one aggregate that takes the next value in and lets the oldest go. */
static SEXP qv_moving(SEXP fun, SEXP x, SEXP k_, SEXP params) {
    double param = 0;
    const qvh_info *info = statistic(fun, params, "qv_moving", "x, k", &param);
    const char *label = qvh_sql_name(info);
    if (!is_numeric(x)) Rf_error("qv_moving: argument x must be numeric, not %s", type_words(x));
    double kd = is_numeric(k_) && XLENGTH(k_) == 1 ? number_at(k_, 0) : -1;
    if (!(kd >= 1 && kd <= 4503599627370496.0 && kd == (double)(uint64_t)kd))
        Rf_error("qv_moving: the window k must be one whole number of at least 1");
    const uint64_t k = (uint64_t)kd;
    const R_xlen_t n = XLENGTH(x);
    const double *xd = doubles(x, 0, n);
    SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
    int32_t *status = status_room((size_t)n);
    SEXP guard;
    qvh_agg *agg = new_agg(info, label, QVH_AGG_KEEP_VALUES, &guard);
    int rc = info->leading_param ? qvh_agg_param(agg, param) : QVH_OK;
    for (R_xlen_t i = 0; rc == QVH_OK && i < n; ++i) {
        rc = qvh_agg_add(agg, xd[i]);
        if (rc == QVH_OK && qvh_agg_rows(agg) > k) rc = qvh_agg_remove_first(agg);
        if (rc == QVH_OK) rc = qvh_agg_result(agg, REAL(out) + i, &status[i]);
        if (rc == QVH_OK && qvh_status_is_memory(status[i]))
            fail_memory(guard, label, status[i], (size_t)i, (size_t)n, "window");
    }
    if (rc != QVH_OK) fail(guard, qvh_errmsg());
    release(guard);
    dot_to_na(REAL(out), n);
    keep_statuses(status, (size_t)n);
    warn_statuses(label, "windows");
    UNPROTECT(2);
    return out;
}

/* ---- missing values ----------------------------------------------------------------------- */

/* qv_missing(c("A", "_", ".")): the missing values named by letters ("A" or ".A"); "." is NA_real_. */
static SEXP qv_missing(SEXP letters) {
    if (TYPEOF(letters) != STRSXP) Rf_error("qv_missing: the letters must be character, not %s", type_words(letters));
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
            Rf_error("qv_missing: \"%s\" (element %ld) names no missing value: give \".\", \"_\" or a letter A to Z",
                     esc, (long)i + 1);
        }
        REAL(out)[i] = v;
    }
    dot_to_na(REAL(out), n);
    UNPROTECT(1);
    return out;
}

/* qv_missing_letter(x): "." for NA and NaN (they are '.' to the package), "_" or "A".."Z" for the
 * special missing values, NA_character_ for numbers. */
static SEXP qv_missing_letter(SEXP x) {
    if (!is_numeric(x)) Rf_error("qv_missing_letter: argument x must be numeric, not %s", type_words(x));
    const R_xlen_t n = XLENGTH(x);
    SEXP out = PROTECT(Rf_allocVector(STRSXP, n));
    for (R_xlen_t i = 0; i < n; ++i) {
        double v = number_at(x, i);
        char c = qvh_missing_letter(v);
        if (c == 0 && ISNAN(v)) c = '.';
        char text[2] = {c, 0};
        SET_STRING_ELT(out, i, c ? Rf_mkChar(text) : NA_STRING);
    }
    UNPROTECT(1);
    return out;
}

/* qv_as_number(text): numbers and missing literals (".", ".A") read as the command line reads
 * them; an empty cell is NA. */
static SEXP qv_as_number(SEXP text) {
    if (TYPEOF(text) != STRSXP) Rf_error("qv_as_number: argument x must be character, not %s", type_words(text));
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
            Rf_error("qv_as_number: \"%s\" (element %ld) is neither a number nor a missing value", esc, (long)i + 1);
        }
        REAL(out)[i] = ISNAN(v) && !qvh_is_missing(v) ? NA_REAL : v;
    }
    dot_to_na(REAL(out), n);
    UNPROTECT(1);
    return out;
}

/* ---- for the tests ------------------------------------------------------------------------ */

/* The host library's own answer for one call, made the plainest way: a list of single numbers or
 * strings is one qvh_call, a numeric vector one qvh_eval. Returns list(result, status, marked): the
 * result as the package gave it ('.' included), the status's name and the positions (from 1) of
 * the arguments marked invalid. */
static SEXP qv_reference(SEXP fname, SEXP args) {
    const qvh_info *info = lookup(fname);
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
    int32_t status = 0;
    if (TYPEOF(args) == REALSXP) {
        double r;
        if (qvh_eval(package(), info->name, REAL(args), (size_t)XLENGTH(args), &r, &status) != QVH_OK)
            Rf_error("%s", qvh_errmsg());
        SET_VECTOR_ELT(out, 0, Rf_ScalarReal(r));
        SET_VECTOR_ELT(out, 2, Rf_allocVector(INTSXP, 0));
    } else {
        SEXP guard;
        qvh_call *call = new_call(info, NULL, &guard);
        const R_xlen_t n = XLENGTH(args);
        for (R_xlen_t j = 0; j < n; ++j) {
            SEXP a = VECTOR_ELT(args, j);
            const char *s = TYPEOF(a) == STRSXP ? utf8_of(STRING_ELT(a, 0)) : NULL;
            int rc = s ? qvh_call_add_str(call, s, strlen(s)) : qvh_call_add_num(call, number_at(a, 0));
            if (rc != QVH_OK) fail(guard, qvh_errmsg());
        }
        if (qvh_call_invoke(call) != QVH_OK) fail(guard, qvh_errmsg());
        status = qvh_call_status(call);
        size_t len = 0;
        const char *s = info->result_kind == QVH_KIND_CHR ? qvh_call_result_str(call, &len) : NULL;
        SET_VECTOR_ELT(out, 0, s ? Rf_ScalarString(Rf_mkCharLenCE(s, (int)len, CE_UTF8))
                                 : Rf_ScalarReal(qvh_call_result(call)));
        R_xlen_t nmarked = 0;
        for (R_xlen_t j = 0; j < n; ++j) nmarked += qvh_call_marked(call, (size_t)j);
        SEXP marked = SET_VECTOR_ELT(out, 2, Rf_allocVector(INTSXP, nmarked));
        for (R_xlen_t j = 0, k = 0; j < n; ++j)
            if (qvh_call_marked(call, (size_t)j)) INTEGER(marked)[k++] = (int)j + 1;
        release(guard);
        UNPROTECT(1);
    }
    SET_VECTOR_ELT(out, 1, Rf_mkString(qvh_status_name(status)));
    UNPROTECT(1);
    return out;
}

/* .qv_refuse_memory(bytes): from now on the package's scratch memory and what aggregates keep come
 * from an allocator that refuses every block of at least that many bytes; 0 goes back to the C
 * library's. For the tests of out-of-memory errors. */
static size_t refuse_from;

static void *refusing_alloc(void *ctx, size_t size) {
    (void)ctx;
    return size >= refuse_from ? NULL : malloc(size);
}

static void refusing_release(void *ctx, void *block, size_t size) {
    (void)ctx;
    (void)size;
    free(block);
}

static SEXP qv_refuse_memory(SEXP bytes) {
    double b = Rf_asReal(bytes);
    static const qvh_allocator refusing = {refusing_alloc, NULL, refusing_release, NULL};
    refuse_from = b > 0 ? (size_t)b : 0;
    if (qvh_set_allocator(package(), refuse_from > 0 ? &refusing : NULL) != QVH_OK) Rf_error("%s", qvh_errmsg());
    return R_NilValue;
}

/* ---- registration ------------------------------------------------------------------------- */

static const R_CallMethodDef methods[] = {
    {"qv_open", (DL_FUNC)&qv_open, 1},
    {"qv_close", (DL_FUNC)&qv_close, 0},
    {"qv_rows", (DL_FUNC)&qv_rows, 4},
    {"qv_reduce", (DL_FUNC)&qv_reduce, 4},
    {"qv_by", (DL_FUNC)&qv_by, 5},
    {"qv_moving", (DL_FUNC)&qv_moving, 4},
    {"qv_last_status", (DL_FUNC)&qv_last_status, 0},
    {"qv_missing", (DL_FUNC)&qv_missing, 1},
    {"qv_missing_letter", (DL_FUNC)&qv_missing_letter, 1},
    {"qv_as_number", (DL_FUNC)&qv_as_number, 1},
    {"qv_reference", (DL_FUNC)&qv_reference, 2},
    {"qv_refuse_memory", (DL_FUNC)&qv_refuse_memory, 1},
    {NULL, NULL, 0}};

void R_init_qvewumth(DllInfo *dll) {
    R_registerRoutines(dll, NULL, methods, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}

void R_unload_qvewumth(DllInfo *dll) {
    (void)dll;
    release_all();
    if (last.argnames != NULL) R_ReleaseObject(last.argnames);
    last.argnames = NULL;
    qv_close();
    free(last.code);
    free(last.mark_row);
    free(last.mark_arg);
}

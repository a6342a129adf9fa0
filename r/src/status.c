/*
 * The statuses of the last call: kept for qv_status() and summed up in one warning. A leaf: it calls
 * only the host library (for its wording) and R.
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The record of the last call for qv_status(): one byte per result, indexing a table of the
 * distinct statuses, and nothing per result when every status was ok. */
static struct {
    unsigned char *code;
    size_t n, cap;
    int all_ok;
    int32_t table[256];
    size_t ntable;
    qvh_tally tally;  /* the results counted by status (marks apart) */
    /* While statuses are being kept: codes written so far, the status of the current run of
     * equal statuses, its code and first result, and the results of each code before it. */
    size_t written, run;
    int32_t prev;
    unsigned char run_code;
    uint64_t count[256];
    size_t *mark_row; /* pairs (result, argument position) for every argument marked invalid */
    size_t *mark_arg;
    size_t nmarks, mcap;
    SEXP argnames;    /* names of argument positions, preserved; NULL when none */
    size_t data_from; /* positions from here on are elements of the data vector named dataname */
    char dataname[64];
} last = {NULL, 0, 0, 1, {0}, 0, {0}, 0, 0, 0, 0, {0}, NULL, NULL, 0, 0, NULL, (size_t)-1, ""};

/* Raises out of memory in the host library's wording: "qv_median: out of memory asking for 80
 * bytes". */
void NORET qvr_no_memory(const char *label, size_t bytes) {
    char msg[256];
    qvh_nomem_message(label, 0, 0, bytes, msg, sizeof msg);
    qvr_error("%s", msg);
}

/* Drops the record of the previous call and makes room for the codes of n results of the call
 * named label, to be kept chunk by chunk (qvr_keep_chunk, then qvr_keep_end). The record's own
 * room is made first, so keeping it cannot fail later. */
void qvr_status_begin(const char *label, size_t n) {
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
        if (last.code == NULL) qvr_no_memory(label, n);
    }
    last.ntable = 1;
    last.table[0] = QVH_STATUS_OK;
    last.written = last.run = 0;
    last.prev = QVH_STATUS_OK;
    last.run_code = 0;
    memset(last.count, 0, sizeof last.count);
}

/* The same, and room for the statuses of the n results (freed when the .Call returns). */
int32_t *qvr_status_room(const char *label, size_t n) {
    qvr_status_begin(label, n);
    return (int32_t *)R_alloc(n > 0 ? n : 1, sizeof(int32_t));
}

/* Keeps the statuses of results from .. from + m - 1, the chunks in order. given, when not NULL, is
 * their tally: a chunk of none but ok results, after ok ones, writes no code (a record of every
 * result ok needs none, and the codes left out are written as soon as one is needed). A run of one
 * status looks up the table once. */
void qvr_keep_chunk(const int32_t *status, size_t from, size_t m, const qvh_tally *given) {
    if (given != NULL && last.prev == QVH_STATUS_OK && given->rows == m && !given->missing_arg &&
        !given->invalid_arg && !given->not_a_number && !given->other)
        return;
    unsigned char *const codes = last.code;
    if (last.written < from) memset(codes + last.written, 0, from - last.written);
    int32_t prev = last.prev;
    unsigned char code = last.run_code;
    size_t run = last.run;
    for (size_t i = from; i < from + m; ++i) {
        const int32_t s = status[i - from];
        if (s != prev) {
            last.count[code] += i - run;
            run = i;
            size_t k = 0;
            while (k < last.ntable && last.table[k] != s) ++k;
            if (k == last.ntable && k < 256) last.table[last.ntable++] = s;
            prev = s;
            code = (unsigned char)(k < 256 ? k : 255);
        }
        codes[i] = code;
    }
    last.prev = prev;
    last.run_code = code;
    last.run = run;
    last.written = from + m;
}

/* Adds count results of status s to t. */
static void tally_add_times(qvh_tally *t, int32_t s, uint64_t count) {
    qvh_tally one = {0};
    qvh_tally_add(&one, s, 0);
    t->missing_arg += one.missing_arg * count;
    t->invalid_arg += one.invalid_arg * count;
    t->not_a_number += one.not_a_number * count;
    t->other += one.other * count;
}

/* Ends keeping the n results' statuses: their tally, from the codes' counts. */
void qvr_keep_end(size_t n) {
    last.count[last.run_code] += n - last.run;
    last.n = n;
    memset(&last.tally, 0, sizeof last.tally);
    last.tally.rows = n;
    for (size_t k = 1; k < last.ntable; ++k) tally_add_times(&last.tally, last.table[k], last.count[k]);
    last.all_ok = last.ntable == 1;
    if (!last.all_ok && last.written < n) memset(last.code + last.written, 0, n - last.written);
    if (last.all_ok && last.cap > (1u << 16)) { /* nothing to keep: give the room back */
        free(last.code);
        last.code = NULL;
        last.cap = 0;
    }
}

/* Keeps the statuses of all n results of the call just made. */
void qvr_keep_statuses(const int32_t *status, size_t n) {
    qvr_keep_chunk(status, 0, n, NULL);
    qvr_keep_end(n);
}

/* The same, when the call's tally is at hand: a tally of none but ok rows needs no pass over them. */
void qvr_keep_tallied(const int32_t *status, size_t n, const qvh_tally *t) {
    qvr_keep_chunk(status, 0, n, t);
    qvr_keep_end(n);
}

static int32_t status_at(size_t i) { return last.all_ok ? QVH_STATUS_OK : last.table[last.code[i]]; }

void qvr_add_mark(size_t row, size_t arg) {
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

size_t qvr_nmarks(void) { return last.nmarks; }


void qvr_keep_names(SEXP names, size_t data_from, const char *dataname) {
    last.data_from = data_from;
    snprintf(last.dataname, sizeof last.dataname, "%s", dataname);
    if (names == R_NilValue) return;
    R_PreserveObject(names);
    last.argnames = names;
}

void qvr_status_free(void) {
    if (last.argnames != NULL) R_ReleaseObject(last.argnames);
    last.argnames = NULL;
    free(last.code);
    free(last.mark_row);
    free(last.mark_arg);
    last.code = NULL;
    last.mark_row = last.mark_arg = NULL;
    last.n = last.cap = last.nmarks = last.mcap = 0;
    last.all_ok = 1;
}

/* One warning summing up the statuses of the last call's results, in the host library's wording,
 * when a result has a status other than ok and missing argument (a missing value in gives a
 * missing value out silently, as in R) or marked an argument invalid:
 * "qv_log: 2 of 4 rows gave invalid argument" for qv_log(c(1, 0, -1, NA)). */
static void warn_statuses(const char *label, const char *rows_are);

void qvr_warn_statuses(const char *label) { warn_statuses(label, NULL); }

/* rows_are: what the results are when not rows ("groups"). */
static void warn_statuses(const char *label, const char *rows_are) {
    if (last.all_ok) return;
    qvh_tally t = last.tally;
    for (size_t m = 0; m < last.nmarks; ++m) /* the rows that marked an argument, each once */
        t.marked += m == 0 || last.mark_row[m] != last.mark_row[m - 1];
    const int worth = t.marked || t.invalid_arg || t.not_a_number || t.other;
    if (!worth) return;
    /* A missing value in gives a missing value out silently, as in R, so the warning about the
     * other statuses leaves those rows out of its counts (not out of its number of rows). */
    if (t.invalid_arg || t.not_a_number || t.other) t.missing_arg = 0;
    char msg[1024];
    qvh_tally_describe(&t, label, msg, sizeof msg);
    if (rows_are != NULL) {
        char *at = strstr(msg, " rows gave ");
        if (at != NULL) {
            char rest[1024];
            snprintf(rest, sizeof rest, "%s", at + 5);
            snprintf(at, sizeof msg - (size_t)(at - msg), " %s%s", rows_are, rest);
        }
    }
    Rf_warningcall(R_NilValue, "%s", msg);
}

/* The same for qv_by(x, g, fun), whose results are the groups': "qv_by(\"cv\"): 1 of 2 groups gave
 * not a number". */
void qvr_warn_group_statuses(const char *fun) {
    char label[128];
    snprintf(label, sizeof label, "qv_by(\"%s\")", fun);
    warn_statuses(label, "groups");
}

/* qv_status(): the status and the arguments marked invalid of every result of the last call. */
SEXP qvr_last_status(void) {
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 2));
    SEXP status = SET_VECTOR_ELT(out, 0, Rf_allocVector(STRSXP, (R_xlen_t)last.n));
    SEXP marked = SET_VECTOR_ELT(out, 1, Rf_allocVector(STRSXP, (R_xlen_t)last.n));
    SEXP ok = PROTECT(Rf_mkChar(qvh_status_name(QVH_STATUS_OK)));
    SEXP none = PROTECT(Rf_mkChar(""));
    for (size_t i = 0; i < last.n; ++i) {
        int32_t s = status_at(i);
        SET_STRING_ELT(status, (R_xlen_t)i, s == QVH_STATUS_OK ? ok : Rf_mkChar(qvh_status_name(s)));
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

/*
 * The R functions of qvewumth: .Call entry points that hand R vectors to the host library and bring
 * its results back as R values. What the files of this folder share.
 *
 * Missing values: NA_real_ and NaN reach the package as '.' (the host library makes every NaN that
 * is not a missing value '.'); a '.' result comes back as NA_real_, and ._ and .A to .Z stay the
 * NaN payloads the package gives them, so is.na() is TRUE for every missing value.
 *
 * Every host call made for one .Call is owned by a guard with a finalizer, so an R error between
 * its making and its freeing leaks nothing; the normal path frees it (or keeps it warm for the next
 * .Call of its function) before any warning is raised, and unloading frees whatever is left.
 */
#ifndef QVR_H
#define QVR_H

#include <qvhost.h>
#if QVH_VERSION_MAJOR != 1 || QVH_VERSION_MINOR < 4
#error "the R package needs the host library 1.4 or later (the group order of values, R's centred windows)"
#endif

#include <stddef.h>
#include <stdint.h>

#define R_NO_REMAP
#include <R.h>
#include <Rinternals.h>

/* The files are layers: each calls only the host library, R, and the files of the layers below
 * it, never one above or beside it, so no two files call each other.
 *   6  init.c                              the .Call entry points registered, the unload hook
 *   5  reduce.c rows.c groups.c testing.c  the entry points: the statistics, the tests' calls
 *   4  warm.c                              the memory kept between .Calls: calls, qv_by's room
 *   3  guard.c                             host objects owned by R; errors that free them first
 *   2  interrupt.c                         Ctrl-C and time limits: detected, and raised again
 *   1  values.c status.c package.c         R values, the last call's statuses, the package
 *   0  errors.c                            errors raised from the user's call
 * r/tools/layers.R checks it (r/check.sh runs it).
 */

/* errors.c: an error raised from the call of the package's function the user called */
void NORET qvr_error(const char *fmt, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/* package.c: the package and its catalogue */
SEXP qvr_open(SEXP path);
SEXP qvr_close(void);
SEXP qvr_carries_package(void);
qvh_package *qvr_package(void);
const qvh_info *qvr_lookup(SEXP name);
const char *qvr_label_of(SEXP label);

/* values.c: R values as the package sees them */
void qvr_dot_to_na(double *x, R_xlen_t n);
int qvr_is_numeric(SEXP x);
const char *qvr_type_words(SEXP x);
double qvr_number_at(SEXP x, R_xlen_t i);
const double *qvr_doubles(SEXP x, R_xlen_t off, R_xlen_t len);
void qvr_doubles_region(SEXP x, R_xlen_t off, R_xlen_t len, double *buf);
int qvr_ranks_missing(const qvh_info *info);
const double *qvr_present(const double *xs, R_xlen_t *n);
const char *qvr_utf8_of(SEXP s);
SEXP qvr_missing(SEXP letters);
SEXP qvr_missing_letter(SEXP x);
SEXP qvr_as_number(SEXP text);

/* status.c: the record of the last call for qv_status(), and out of memory in the host's wording */
void NORET qvr_no_memory(const char *label, size_t bytes);
int32_t *qvr_status_room(const char *label, size_t n);
void qvr_status_begin(const char *label, size_t n);
void qvr_keep_chunk(const int32_t *status, size_t from, size_t m, const qvh_tally *given);
void qvr_keep_end(size_t n);
void qvr_keep_statuses(const int32_t *status, size_t n);
void qvr_keep_tallied(const int32_t *status, size_t n, const qvh_tally *t);
void qvr_add_mark(size_t row, size_t arg);
size_t qvr_nmarks(void);
void qvr_keep_names(SEXP names, size_t data_from, const char *dataname);
void qvr_warn_statuses(const char *label);
void qvr_warn_group_statuses(const char *fun);
void qvr_status_free(void);
SEXP qvr_last_status(void);

/* interrupt.c: Ctrl-C and time limits; qvr_interrupted() is cheap enough for every ~1000 rows */
int qvr_interrupted(void);
int qvr_interrupt_check(void *ctx); /* the check every host object is given */
int qvr_interrupt_seen(void);
void NORET qvr_raise_interrupt(void); /* the interrupt seen, raised once everything is freed */

/* guard.c: host objects owned by R, and errors that free them before they are raised */
qvh_call *qvr_new_call(const qvh_info *info, const char *label, SEXP *guard);
qvh_agg *qvr_new_agg(const qvh_info *info, const char *label, SEXP *guard);
SEXP qvr_guard_call(qvh_call *c);
qvh_call *qvr_disown(SEXP guard);
void qvr_release(SEXP guard);
void qvr_release_all(void);
void NORET qvr_stop(SEXP guard); /* frees guard's object and raises the interrupt */
void NORET qvr_fail(SEXP guard, const char *msg);
void NORET qvr_fail_memory(SEXP guard, const char *label, size_t row, size_t rows);

/* warm.c: the calls kept warm between .Calls, and the room qv_by keeps */
qvh_call *qvr_warm_call(const qvh_info *info, const char *label, SEXP *guard);
void qvr_keep_warm(SEXP guard, size_t values, size_t limit);
size_t qvr_busy_values(void);
/* What the kept calls may hold together (about 24 bytes a value) while R evaluates a top-level call,
 * when options(qvewumth.busy_values) is not set: 2^24 values, a repeated statistic of 10^7 values;
 * and once R is back at the prompt, when options(qvewumth.warm_values) is not set: 2^20 values. */
#define QVR_BUSY_VALUES ((size_t)1 << 24)
#define QVR_WARM_VALUES ((size_t)1 << 20)
double *qvr_by_room(const char *label, size_t n);
void qvr_drop_warm(void);
SEXP qvr_idle(void);
SEXP qvr_release_memory(void);

/* The entry points of the statistics (rows.c, reduce.c, groups.c) and of the tests (testing.c) */
SEXP qvr_rows(SEXP fname, SEXP label, SEXP args, SEXP mode, SEXP na_rm);
SEXP qvr_reduce(SEXP fname, SEXP label, SEXP x, SEXP params, SEXP na_rm);
SEXP qvr_cols(SEXP fname, SEXP label, SEXP x, SEXP params, SEXP na_rm);
SEXP qvr_by(SEXP fun, SEXP x, SEXP g, SEXP ngroups, SEXP params);
SEXP qvr_int_codes(SEXP key, SEXP limit);
SEXP qvr_moving(SEXP fun, SEXP x, SEXP k, SEXP params, SEXP align);
SEXP qvr_reference(SEXP fname, SEXP args);
SEXP qvr_refuse_memory(SEXP bytes);

#endif

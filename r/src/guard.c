/*
 * Host objects owned by R for the length of one .Call, and the errors (and interrupts) that free
 * them first. Calls the package, the interrupts and errors.c below it.
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
void qvr_release(SEXP guard) { R_RunWeakRefFinalizer(R_ExternalPtrProtected(guard)); }

/* A guard that owns c from now on (protected: the caller unprotects it). */
SEXP qvr_guard_call(qvh_call *c) {
    SEXP guard = new_guard(free_call);
    R_SetExternalPtrAddr(guard, c);
    return guard;
}

/* Takes the call out of guard, which is released owning nothing; the caller owns the call. */
qvh_call *qvr_disown(SEXP guard) {
    qvh_call *c = (qvh_call *)R_ExternalPtrAddr(guard);
    R_ClearExternalPtr(guard);
    qvr_release(guard); /* its finalizer finds nothing to free */
    return c;
}

/* Frees every host object still alive: for the unload hook. */
void qvr_release_all(void) {
    if (live == NULL) return;
    for (SEXP cell = CDR(live); cell != R_NilValue; cell = CDR(cell)) R_RunWeakRefFinalizer(CAR(cell));
    R_ReleaseObject(live);
    live = NULL;
}

/* A call of info named label, owned by *guard (protected: the caller unprotects it). */
qvh_call *qvr_new_call(const qvh_info *info, const char *label, SEXP *guard) {
    *guard = new_guard(free_call);
    qvh_call *c = NULL;
    if (qvh_call_new(qvr_package(), info->name, &c) != QVH_OK) qvr_error("%s", qvh_errmsg());
    R_SetExternalPtrAddr(*guard, c);
    if (label != NULL && qvh_call_set_label(c, label) != QVH_OK) qvr_error("%s", qvh_errmsg());
    qvh_call_set_interrupt(c, qvr_interrupt_check, NULL);
    return c;
}

/* An aggregate of info named label, owned by *guard (protected: the caller unprotects it). */
qvh_agg *qvr_new_agg(const qvh_info *info, const char *label, SEXP *guard) {
    *guard = new_guard(free_agg);
    qvh_agg *a = NULL;
    if (qvh_agg_new(qvr_package(), info->name, 0, &a) != QVH_OK) qvr_error("%s", qvh_errmsg());
    R_SetExternalPtrAddr(*guard, a);
    if (label != NULL && qvh_agg_set_label(a, label) != QVH_OK) qvr_error("%s", qvh_errmsg());
    qvh_agg_set_interrupt(a, qvr_interrupt_check, NULL);
    return a;
}

/* Frees the object of guard, then raises the interrupt a check has seen. */
void NORET qvr_stop(SEXP guard) {
    if (guard != NULL) qvr_release(guard);
    qvr_raise_interrupt();
}

/* Frees the object of guard, then raises msg (copied first: it may live in the object). */
void NORET qvr_fail(SEXP guard, const char *msg) {
    if (qvr_interrupt_seen()) qvr_stop(guard); /* the host library stopped on an interrupt */
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", msg);
    if (guard != NULL) qvr_release(guard);
    qvr_error("%s", copy);
}

/* A memory status is an error: there is no result. */
void NORET qvr_fail_memory(SEXP guard, const char *label, size_t row, size_t rows) {
    const qvh_call *c = (const qvh_call *)R_ExternalPtrAddr(guard);
    char msg[256];
    qvh_nomem_message(label, rows > 1 ? row + 1 : 0, rows > 1 ? rows : 0, c != NULL ? qvh_call_asked(c) : 0, msg,
                      sizeof msg);
    qvr_fail(guard, msg);
}

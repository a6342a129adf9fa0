/*
 * Host objects owned by R for the length of one .Call, and the errors that free them first.
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

/* Every host object made for one .Call (a call) is the address of an external
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

/* Warm calls: the last call of each function, kept between .Calls with its argument list and the
 * scratch blocks the package asked for, so that a repeated statistic over a long vector touches no
 * fresh page (on a virtual machine the first touch of a page costs more than the work done on it).
 * What the kept calls hold together is bounded by a budget of values (about 24 bytes a value): a
 * call over more values than the budget gives its memory back before it is kept, and keeping one
 * that would take the total over the budget first empties the calls used longest ago. The budget is
 * large while R evaluates a top-level call (a loop, a summary over many columns) and small once it
 * has returned to the prompt: qvr_idle() then empties the calls over the small one. */
static qvh_call **warm;
static size_t *held;       /* the values each kept call holds memory for (0: trimmed) */
static uint64_t *last_use; /* when each was kept, in keeps counted from the first */
static size_t nwarm, total_held;
static uint64_t keeps;

/* A call of info for one .Call: the kept one when there is one, else a new one. */
qvh_call *qvr_warm_call(const qvh_info *info, const char *label, SEXP *guard) {
    size_t i = (size_t)(info - qvh_function_at(0));
    if (warm == NULL || i >= nwarm || warm[i] == NULL) return qvr_new_call(info, label, guard);
    *guard = new_guard(free_call);
    qvh_call *c = warm[i];
    warm[i] = NULL;
    total_held -= held[i];
    held[i] = 0;
    R_SetExternalPtrAddr(*guard, c);
    if (qvh_call_set_label(c, label) != QVH_OK) Rf_error("%s", qvh_errmsg());
    return c;
}

/* A budget in values from option name (a number of at least 0), else fallback. */
static size_t budget(const char *name, size_t fallback) {
    SEXP o = Rf_GetOption1(Rf_install(name));
    double v = qvr_is_numeric(o) && XLENGTH(o) == 1 ? qvr_number_at(o, 0) : (double)fallback;
    return v >= 0 && v < 1e18 ? (size_t)v : 0;
}

/* The budgets of the kept calls while a top-level call runs, options(qvewumth.busy_values), and
 * between top-level calls, options(qvewumth.warm_values); 0 keeps nothing. */
size_t qvr_busy_values(void) { return budget("qvewumth.busy_values", QVR_BUSY_VALUES); }
static size_t warm_values(void) { return budget("qvewumth.warm_values", QVR_WARM_VALUES); }

/* Empties kept call i: it stays kept, holding nothing. */
static void trim_kept(size_t i) {
    qvh_call_trim(warm[i]);
    total_held -= held[i];
    held[i] = 0;
}

/* Empties the kept calls used longest ago until they hold at most limit values together. */
static void trim_to(size_t limit) {
    while (total_held > limit) {
        size_t oldest = nwarm;
        for (size_t j = 0; j < nwarm; ++j)
            if (held[j] > 0 && (oldest == nwarm || last_use[j] < last_use[oldest])) oldest = j;
        trim_kept(oldest);
    }
}

/* Keeps the call of guard, which last ran over values values, for the next .Call of its function
 * within the budget of limit values, or frees it. */
void qvr_keep_warm(SEXP guard, size_t values, size_t limit) {
    qvh_call *c = (qvh_call *)R_ExternalPtrAddr(guard);
    if (warm == NULL) {
        nwarm = qvh_function_count();
        warm = (qvh_call **)calloc(nwarm, sizeof(qvh_call *));
        held = (size_t *)calloc(nwarm, sizeof(size_t));
        last_use = (uint64_t *)calloc(nwarm, sizeof(uint64_t));
        if (warm == NULL || held == NULL || last_use == NULL) qvr_drop_warm();
        total_held = 0;
    }
    size_t i = c == NULL ? nwarm : (size_t)(qvh_call_info(c) - qvh_function_at(0));
    if (warm == NULL || i >= nwarm || warm[i] != NULL) {
        qvr_release(guard);
        return;
    }
    R_ClearExternalPtr(guard);
    qvr_release(guard); /* its finalizer finds nothing to free */
    if (values > limit) {
        qvh_call_trim(c);
        values = 0;
    }
    if (values > 0) trim_to(limit - values);
    warm[i] = c;
    held[i] = values;
    last_use[i] = ++keeps;
    total_held += values;
}

/* Frees the kept calls (qv_release_memory(), before the package's allocator changes, and when
 * unloading). */
void qvr_drop_warm(void) {
    for (size_t i = 0; warm != NULL && i < nwarm; ++i) qvh_call_free(warm[i]);
    free(warm);
    free(held);
    free(last_use);
    qvr_by_room_free(0);
    warm = NULL;
    held = NULL;
    last_use = NULL;
    total_held = 0;
}

/* R's callback after each top-level call: the kept calls down to the budget between calls. */
SEXP qvr_idle(void) {
    if (warm != NULL) trim_to(warm_values());
    qvr_by_room_free(warm_values());
    return R_NilValue;
}

/* qv_release_memory(): the values the kept calls held, given back. */
SEXP qvr_release_memory(void) {
    const double was = (double)total_held;
    qvr_drop_warm();
#ifdef __GLIBC__
    malloc_trim(0); /* the C library keeps freed blocks below its mapping threshold otherwise */
#endif
    return Rf_ScalarReal(was);
}

/* Frees every host object still alive: for the unload hook. */
void qvr_release_all(void) {
    qvr_drop_warm();
    if (live == NULL) return;
    for (SEXP cell = CDR(live); cell != R_NilValue; cell = CDR(cell)) R_RunWeakRefFinalizer(CAR(cell));
    R_ReleaseObject(live);
    live = NULL;
}

/* A call of info named label, owned by *guard (protected: the caller unprotects it). */
qvh_call *qvr_new_call(const qvh_info *info, const char *label, SEXP *guard) {
    *guard = new_guard(free_call);
    qvh_call *c = NULL;
    if (qvh_call_new(qvr_package(), info->name, &c) != QVH_OK) Rf_error("%s", qvh_errmsg());
    R_SetExternalPtrAddr(*guard, c);
    if (label != NULL && qvh_call_set_label(c, label) != QVH_OK) Rf_error("%s", qvh_errmsg());
    qvh_call_set_interrupt(c, qvr_interrupt_check, NULL);
    return c;
}

/* Frees the object of guard, then raises msg (copied first: it may live in the object). */
void NORET qvr_fail(SEXP guard, const char *msg) {
    if (qvr_interrupt_seen()) qvr_stop(guard); /* the host library stopped on an interrupt */
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", msg);
    if (guard != NULL) qvr_release(guard);
    Rf_error("%s", copy);
}

/* A memory status is an error: there is no result. */
void NORET qvr_fail_memory(SEXP guard, const char *label, size_t row, size_t rows) {
    const qvh_call *c = (const qvh_call *)R_ExternalPtrAddr(guard);
    char msg[256];
    qvh_nomem_message(label, rows > 1 ? row + 1 : 0, rows > 1 ? rows : 0, c != NULL ? qvh_call_asked(c) : 0, msg,
                      sizeof msg);
    qvr_fail(guard, msg);
}

/*
 * Ctrl-C and setTimeLimit() during a long call. R's own check runs inside R_ToplevelExec, where an
 * interrupt or a time limit cannot jump out: the check only reports it, the loop or the host library
 * stops (the host library consults the check of every call between rows, windows and
 * blocks of values, and returns QVH_E_INTERRUPTED), everything made for the call is freed (the
 * guards' layer does that before it calls qvr_raise_interrupt), and then the interrupt is raised
 * again from the .Call's own frame. A leaf: it calls only R.
 */
#include "qvr.h"

static SEXP caught; /* the error a check caught (a time limit passed), preserved until raised again */

static SEXP check_body(void *unused) {
    (void)unused;
    R_CheckUserInterrupt();
    return R_NilValue;
}

static SEXP keep_error(SEXP condition, void *unused) {
    (void)unused;
    R_PreserveObject(condition);
    caught = condition;
    return R_NilValue;
}

static void check(void *unused) {
    (void)unused;
    R_tryCatchError(check_body, NULL, keep_error, NULL);
}

static int seen; /* a check found an interrupt that has not been raised yet */

int qvr_interrupted(void) {
    if (!R_ToplevelExec(check, NULL) || caught != NULL) seen = 1;
    return seen;
}

int qvr_interrupt_check(void *ctx) {
    (void)ctx;
    return qvr_interrupted();
}

int qvr_interrupt_seen(void) { return seen; }

void NORET qvr_raise_interrupt(void) {
    seen = 0;
    if (caught != NULL) { /* the time limit's error, as R raised it */
        SEXP condition = PROTECT(caught);
        R_ReleaseObject(condition);
        caught = NULL;
        Rf_eval(PROTECT(Rf_lang2(Rf_install("stop"), condition)), R_BaseEnv);
    }
    SEXP ns = PROTECT(R_FindNamespace(PROTECT(Rf_mkString("qvewumth"))));
    SEXP call = PROTECT(Rf_lang1(Rf_install(".qv_interrupted")));
    Rf_eval(call, ns); /* signals R's interrupt condition and returns to the top level */
    Rf_error("interrupted");
}

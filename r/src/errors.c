/*
 * Errors raised from the user's call: "Error in qv_pmean(a, "b") : qv_pmean: argument 2 must be
 * numeric, not character", whichever of the package's internal R functions made the .Call. A leaf:
 * it calls only R.
 */
#include "qvr.h"

#include <stdarg.h>
#include <stdio.h>

/* The innermost call of one of the package's qv_ functions on R's stack (R_NilValue when there is
 * none), found by .qv_user_call() only when an error is raised. */
static SEXP user_call(void) {
    SEXP ns = PROTECT(R_FindNamespace(PROTECT(Rf_mkString("qvewumth"))));
    SEXP expr = PROTECT(Rf_lang1(Rf_install(".qv_user_call")));
    int failed = 0;
    SEXP call = R_tryEvalSilent(expr, ns, &failed);
    UNPROTECT(3);
    return failed ? R_NilValue : call;
}

void NORET qvr_error(const char *fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    SEXP call = PROTECT(user_call());
    if (call == R_NilValue) Rf_error("%s", msg);
    Rf_errorcall(call, "%s", msg);
}

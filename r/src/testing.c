/*
 * For the tests: the host library's own answer to one call, and an allocator that refuses memory.
 */
#include "qvr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The host library's own answer for one call, made the plainest way: a list of single numbers or
 * strings is one qvh_call, a numeric vector one qvh_eval. Returns list(result, status, marked): the
 * result as the package gave it ('.' included), the status's name and the positions (from 1) of
 * the arguments marked invalid. */
SEXP qvr_reference(SEXP fname, SEXP args) {
    const qvh_info *info = qvr_lookup(fname);
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
    int32_t status = 0;
    if (TYPEOF(args) == REALSXP) {
        double r;
        if (qvh_eval(qvr_package(), info->name, REAL(args), (size_t)XLENGTH(args), &r, &status) != QVH_OK)
            qvr_error("%s", qvh_errmsg());
        SET_VECTOR_ELT(out, 0, Rf_ScalarReal(r));
        SET_VECTOR_ELT(out, 2, Rf_allocVector(INTSXP, 0));
    } else {
        SEXP guard;
        qvh_call *call = qvr_new_call(info, NULL, &guard);
        const R_xlen_t n = XLENGTH(args);
        for (R_xlen_t j = 0; j < n; ++j) {
            SEXP a = VECTOR_ELT(args, j);
            const char *s = TYPEOF(a) == STRSXP ? qvr_utf8_of(STRING_ELT(a, 0)) : NULL;
            int rc = s ? qvh_call_add_str(call, s, strlen(s)) : qvh_call_add_num(call, qvr_number_at(a, 0));
            if (rc != QVH_OK) qvr_fail(guard, qvh_errmsg());
        }
        if (qvh_call_invoke(call) != QVH_OK) qvr_fail(guard, qvh_errmsg());
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
        qvr_release(guard);
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

SEXP qvr_refuse_memory(SEXP bytes) {
    double b = Rf_asReal(bytes);
    static const qvh_allocator refusing = {refusing_alloc, NULL, refusing_release, NULL};
    refuse_from = b > 0 ? (size_t)b : 0;
    qvr_drop_warm(); /* their blocks came from the allocator being replaced */
    if (qvh_set_allocator(qvr_package(), refuse_from > 0 ? &refusing : NULL) != QVH_OK) qvr_error("%s", qvh_errmsg());
    return R_NilValue;
}

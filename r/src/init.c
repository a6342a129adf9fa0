/*
 * The package: opened when R loads it, closed when R unloads it, and the .Call entry points.
 */
#include "qvr.h"

#include <R_ext/Rdynload.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static qvh_package *pkg;

/* Opens the function package at path (NULL: where the host library finds it). Returns NULL, or
 * the host library's reason when it cannot (it names the file it tried), for .onLoad to explain. */
SEXP qvr_open(SEXP path) {
    if (pkg != NULL) return R_NilValue;
    const char *p = Rf_isString(path) && Rf_length(path) == 1 ? Rf_translateChar(STRING_ELT(path, 0)) : NULL;
    if (qvh_open(p, &pkg) != QVH_OK) return Rf_mkString(qvh_errmsg());
    return R_NilValue;
}

/* Whether this build carries the function package in its own lib/ folder (built from the sources
 * of the source package) rather than using an installed host library's. */
SEXP qvr_carries_package(void) {
#ifdef QVR_CARRIES_PACKAGE
    return Rf_ScalarLogical(TRUE);
#else
    return Rf_ScalarLogical(FALSE);
#endif
}

SEXP qvr_close(void) {
    qvh_close(pkg);
    pkg = NULL;
    return R_NilValue;
}

qvh_package *qvr_package(void) {
    if (pkg == NULL) Rf_error("qvewumth: the function package is not open");
    return pkg;
}

const qvh_info *qvr_lookup(SEXP name) {
    if (!Rf_isString(name) || Rf_length(name) != 1 || STRING_ELT(name, 0) == NA_STRING)
        Rf_error("qvewumth: a function name must be one string");
    const qvh_info *info = qvh_function_find(Rf_translateCharUTF8(STRING_ELT(name, 0)));
    if (info == NULL) Rf_error("qvewumth: %s", qvh_errmsg());
    return info;
}

const char *qvr_label_of(SEXP label) { return CHAR(STRING_ELT(label, 0)); }

static const R_CallMethodDef methods[] = {
    {"qv_open", (DL_FUNC)&qvr_open, 1},
    {"qv_close", (DL_FUNC)&qvr_close, 0},
    {"qv_carries_package", (DL_FUNC)&qvr_carries_package, 0},
    {"qv_rows", (DL_FUNC)&qvr_rows, 5},
    {"qv_reduce", (DL_FUNC)&qvr_reduce, 5},
    {"qv_by", (DL_FUNC)&qvr_by, 5},
    {"qv_int_codes", (DL_FUNC)&qvr_int_codes, 2},
    {"qv_moving", (DL_FUNC)&qvr_moving, 5},
    {"qv_last_status", (DL_FUNC)&qvr_last_status, 0},
    {"qv_missing", (DL_FUNC)&qvr_missing, 1},
    {"qv_missing_letter", (DL_FUNC)&qvr_missing_letter, 1},
    {"qv_as_number", (DL_FUNC)&qvr_as_number, 1},
    {"qv_reference", (DL_FUNC)&qvr_reference, 2},
    {"qv_refuse_memory", (DL_FUNC)&qvr_refuse_memory, 1},
    {"qv_release_memory", (DL_FUNC)&qvr_release_memory, 0},
    {"qv_idle", (DL_FUNC)&qvr_idle, 0},
    {NULL, NULL, 0}};

void R_init_qvewumth(DllInfo *dll) {
    R_registerRoutines(dll, NULL, methods, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}

void R_unload_qvewumth(DllInfo *dll) {
    (void)dll;
    qvr_release_all();
    qvr_status_free();
    qvr_close();
}

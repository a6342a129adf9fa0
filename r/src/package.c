/*
 * The function package: opened when R loads the library, closed when R unloads it, and its
 * catalogue's entries looked up by name. A leaf: it calls only the host library.
 */
#include "qvr.h"

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
    if (pkg == NULL) qvr_error("qvewumth: the function package is not open");
    return pkg;
}

const qvh_info *qvr_lookup(SEXP name) {
    if (!Rf_isString(name) || Rf_length(name) != 1 || STRING_ELT(name, 0) == NA_STRING)
        qvr_error("qvewumth: a function name must be one string");
    const qvh_info *info = qvh_function_find(Rf_translateCharUTF8(STRING_ELT(name, 0)));
    if (info == NULL) qvr_error("qvewumth: %s", qvh_errmsg());
    return info;
}

const char *qvr_label_of(SEXP label) { return CHAR(STRING_ELT(label, 0)); }

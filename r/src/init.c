/*
 * The top layer: the .Call entry points registered with R, and the unload hook that frees what
 * every layer below still holds.
 */
#include "qvr.h"

#include <R_ext/Rdynload.h>

static const R_CallMethodDef methods[] = {
    {"qv_open", (DL_FUNC)&qvr_open, 1},
    {"qv_close", (DL_FUNC)&qvr_close, 0},
    {"qv_carries_package", (DL_FUNC)&qvr_carries_package, 0},
    {"qv_rows", (DL_FUNC)&qvr_rows, 5},
    {"qv_reduce", (DL_FUNC)&qvr_reduce, 5},
    {"qv_cols", (DL_FUNC)&qvr_cols, 5},
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
    qvr_drop_warm();
    qvr_release_all();
    qvr_status_free();
    qvr_close();
}

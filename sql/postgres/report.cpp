// What qv_status() reports, and the SQL errors the module raises.
#include "module.hpp"

#include <cstdio>

namespace qvpg {

// ---- what qv_status() reports ------------------------------------------------------------------

qvsql::Report report;

void note_result(int index, int32 status, const qvh_call *call) { report.result(label_of(index), status, call, 0); }

void note_error(const char *message) { report.error(message); }

const char *report_text(char *text) { return report.text(text, REPORT_TEXT); }

// ---- errors ------------------------------------------------------------------------------------

int sqlstate_of(int rc) {
    switch (rc) {
        case QVH_E_OPEN: return ERRCODE_UNDEFINED_FILE;
        case QVH_E_NOMEM: return ERRCODE_OUT_OF_MEMORY;
        case QVH_E_LIMIT: return ERRCODE_PROGRAM_LIMIT_EXCEEDED;
        case QVH_E_UNAVAILABLE: return ERRCODE_FEATURE_NOT_SUPPORTED;
        case QVH_E_RANGE: return ERRCODE_INVALID_BINARY_REPRESENTATION;
        case QVH_E_ARITY:
        case QVH_E_KIND:
        case QVH_E_STATE: return ERRCODE_INVALID_PARAMETER_VALUE;
        case QVH_E_INTERRUPTED: return ERRCODE_QUERY_CANCELED;
        default: return ERRCODE_EXTERNAL_ROUTINE_EXCEPTION;
    }
}

// Raises an SQL error, which qv_status() then reports.
[[noreturn]] void raise(int sqlstate, const char *msg, const char *hint) {
    note_error(msg);
    ereport(ERROR, (errcode(sqlstate), errmsg("%s", msg), hint ? errhint("%s", hint) : 0));
    pg_unreachable();
}

// Raises the failure of the last host-library call, whose message names the function already.
// An interrupt is the server's own cancel or termination, acted on here, outside the host library.
[[noreturn]] void fail(int rc) {
    if (rc == QVH_E_INTERRUPTED) CHECK_FOR_INTERRUPTS();
    raise(sqlstate_of(rc), qvh_errmsg());
}

const char *label_of(int index) { return qvh_sql_name(qvh_function_at(static_cast<std::size_t>(index))); }

// The function at index could not have the memory it asked for (0: not known).
[[noreturn]] void out_of_memory(int index, std::size_t asked) {
    char msg[256];
    qvh_nomem_message(label_of(index), 0, 0, asked, msg, sizeof msg);
    raise(ERRCODE_OUT_OF_MEMORY, msg);
}

// The constructor of a call or an aggregate failed, before the object could carry the SQL name.
[[noreturn]] void fail_new(int rc, int index) {
    if (rc == QVH_E_NOMEM) out_of_memory(index, 0);
    fail(rc);
}

// A result's status: a memory status is an error, never a value.
void check_status(int index, int32 status, std::size_t asked) {
    if (qvh_status_is_memory(status)) out_of_memory(index, asked);
}

}  // namespace qvpg

// What qv_status() reports, and the SQL errors the module raises.
#include "module.hpp"

#include <cstdio>

namespace qvpg {

// ---- what qv_status() reports ------------------------------------------------------------------

Report report;

const char *status_text(int32 status) { return status == NO_ROWS ? "no rows" : qvh_status_name(status); }

void note_result(int index, int32 status, const qvh_call *call) {
    Report &r = report;
    if (r.fresh || r.error) {
        r.fresh = r.error = false;
        r.results = 0;
        r.nkinds = 0;
        r.more_kinds = false;
    }
    ++r.results;
    r.call = call;
    r.status = status;
    if (status == QVH_STATUS_OK) return;
    for (int k = 0; k < r.nkinds; ++k)
        if (r.kinds[k].index == index && r.kinds[k].status == status) return;
    if (r.nkinds < MAX_KINDS) r.kinds[r.nkinds++] = {index, status};
    else r.more_kinds = true;
}

void note_error(const char *message) {
    snprintf(report.text, sizeof report.text, "error: %s", message);
    report.error = true;
    report.fresh = true;
}

// The report as text, in text (sizeof Report::text bytes); NULL when nothing was reported yet.
const char *report_text(char *text) {
    const Report &r = report;
    if (r.error) return r.text;
    if (r.results == 0) return nullptr;
    if (r.results == 1 && r.call != nullptr) {
        qvh_call_describe(r.call, text, sizeof r.text);
        return text;
    }
    if (r.results == 1) return status_text(r.status);
    if (r.nkinds == 0) return "ok";
    std::size_t n = 0;
    for (int k = 0; k < r.nkinds && n < sizeof r.text; ++k)
        n += static_cast<std::size_t>(snprintf(text + n, sizeof r.text - n, "%s%s: %s", k ? "; " : "",
                                               qvh_sql_name(qvh_function_at(static_cast<std::size_t>(r.kinds[k].index))),
                                               status_text(r.kinds[k].status)));
    if (r.more_kinds && n < sizeof r.text) snprintf(text + n, sizeof r.text - n, "; ...");
    return text;
}

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
[[noreturn]] void fail(int rc) { raise(sqlstate_of(rc), qvh_errmsg()); }

const char *label_of(int index) { return qvh_sql_name(qvh_function_at(static_cast<std::size_t>(index))); }

// The function at index could not have the memory it needed for what.
[[noreturn]] void out_of_memory(int index, const char *what) {
    char msg[256];
    snprintf(msg, sizeof msg, "%s: out of memory for %s", label_of(index), what);
    raise(ERRCODE_OUT_OF_MEMORY, msg);
}

// The constructor of a call or an aggregate failed, before the object could carry the SQL name.
[[noreturn]] void fail_new(int rc, int index, const char *what) {
    if (rc == QVH_E_NOMEM) out_of_memory(index, what);
    fail(rc);
}

// A result's status: a memory status is an error, never a value.
void check_status(int index, int32 status) {
    if (!qvh_status_is_memory(status)) return;
    char msg[256];
    snprintf(msg, sizeof msg, "%s: out of memory (%s)", label_of(index), qvh_status_name(status));
    raise(ERRCODE_OUT_OF_MEMORY, msg);
}


}  // namespace qvpg

// The PostgreSQL module's pieces: its settings and memory, what qv_status() reports and the
// errors it raises, the package and the call sites, shared by the row-wise functions and the
// aggregates.
#pragma once

extern "C" {
#include "postgres.h"

#include "catalog/pg_type.h"
#include "executor/executor.h"
#include "fmgr.h"
#include "mb/pg_wchar.h"
#include "miscadmin.h"
#include "nodes/plannodes.h"
#include "nodes/primnodes.h"
#include "storage/ipc.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/guc.h"
#include "utils/lsyscache.h"
#include "utils/memutils.h"

}

#include <cstddef>
#include <string_view>

#include "qvhost.h"
#include "report.hpp"

namespace qvpg {

// ---- settings and memory (memory.cpp) ----
extern char *package_setting;
extern int refuse_request;
extern int64 requests;
extern int row_state_limit;
void count_requests_afresh(int, void *);

constexpr std::size_t LARGE_BLOCK = std::size_t{1} << 20;
extern std::size_t large_taken, held, most_held;
void *take(MemoryContext cxt, std::size_t size);
qvh_allocator allocator_in(MemoryContext cxt);

// ---- what qv_status() reports, and errors (report.cpp) ----
// The report of the qv_ functions' results (report.hpp): it ends when qv_status() reads it and
// when a top-level statement ends.
constexpr int32 NO_ROWS = qvsql::Report::NO_ROWS;  // a statistic with a parameter over no rows
constexpr std::size_t REPORT_TEXT = 1024;           // room for the report's text

extern qvsql::Report report;
void note_result(int index, int32 status, const qvh_call *call);
void note_error(const char *message);
// The report's text in text (REPORT_TEXT bytes) or its own; NULL before any result.
const char *report_text(char *text);
int sqlstate_of(int rc);
[[noreturn]] void raise(int sqlstate, const char *msg, const char *hint = nullptr);
[[noreturn]] void fail(int rc);
const char *label_of(int index);
[[noreturn]] void out_of_memory(int index, std::size_t asked);
[[noreturn]] void fail_new(int rc, int index);
void check_status(int index, int32 status, std::size_t asked);

// ---- the package and the call sites (package.cpp) ----
struct Site {
    int index;
    const qvh_info *info;
    qvh_call *call;        // row-wise functions
    bool text_args;        // some argument is text
    Oid argtypes[FUNC_MAX_ARGS];
    double *values;        // a float8 list with its NULLs made '.'
    std::size_t room;
};

qvh_package *get_package();
// Whether this backend has opened the package.
bool package_open();
// The host library's interrupt check: a cancel or termination the server has pending and may act
// on now. It only reads the server's flags; the module acts on them (CHECK_FOR_INTERRUPTS) once the
// host call has returned QVH_E_INTERRUPTED, so no error is raised across the host library.
int interrupt_pending(void *);
void trim_calls();
qvh_call *call_of(int index);  // the function's row-wise call, made on first use
Site *site_of(FunctionCallInfo fcinfo, std::string_view suffix, bool row_wise);
qvh_value edge_arg(int index, int position, const qvh_value &in);
// A float8 argument as the edge takes it: NULL or the number.
inline qvh_value float8_value(bool isnull, double x) {
    return isnull ? qvh_value{QVH_VALUE_NULL, 0.0, nullptr, 0} : qvh_value{QVH_VALUE_NUM, x, nullptr, 0};
}

}  // namespace qvpg

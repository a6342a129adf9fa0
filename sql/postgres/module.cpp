// qvewumth_pg: the package's functions as PostgreSQL functions, aggregates and window functions.
//
// Every entry point the server calls is a plain C-style frame that holds no C++ object, so the
// server's error path (ereport longjmps) never skips a destructor; everything else is the host
// library's C interface, which never throws. The host library takes its memory from the server:
// an aggregate's values, its object and the package's scratch memory while it computes come from
// the aggregate's memory context, a row-wise call's scratch memory from a context of the module.
// The allocation hooks never raise an error (no longjmp may cross the host library's frames):
// they return NULL, the host call fails or reports a memory status, and the module raises the
// out-of-memory error once the host call has returned.
//
// One C entry point serves many SQL functions: it learns which catalogue function it works for
// from the name of the SQL function the server called (qv_median, qv_median_trans, ...), once per
// call site, and keeps the answer in fn_extra.
#include "module.hpp"

extern "C" {
PG_MODULE_MAGIC;

void _PG_init(void);
}

#include <malloc.h>

#include <cstring>

namespace qvpg {

// ---- statements --------------------------------------------------------------------------------

// A report ends with the top-level statement that made it; statements run by functions inside it
// (depth > 0) do not end it. An error raised by a parallel worker reaches this process only as the
// error it reports, so that is where qv_status() learns of it.
int depth = 0;
ExecutorRun_hook_type previous_run = nullptr;
ExecutorFinish_hook_type previous_finish = nullptr;
ExecutorEnd_hook_type previous_end = nullptr;
emit_log_hook_type previous_log = nullptr;

void on_run(QueryDesc *q, ScanDirection direction, uint64 count, bool execute_once) {
    ++depth;
    PG_TRY();
    {
        if (previous_run) previous_run(q, direction, count, execute_once);
        else standard_ExecutorRun(q, direction, count, execute_once);
    }
    PG_FINALLY();
    {
        --depth;
    }
    PG_END_TRY();
}

void on_finish(QueryDesc *q) {
    ++depth;
    PG_TRY();
    {
        if (previous_finish) previous_finish(q);
        else standard_ExecutorFinish(q);
    }
    PG_FINALLY();
    {
        --depth;
    }
    PG_END_TRY();
}

// The C library keeps freed blocks of up to 32 MB for the process instead of giving them back,
// and after a parallel aggregate the leader would keep hundreds of megabytes resident for the rest
// of the session: once the statement's memory is gone, the free pages go back to the system.
constexpr std::size_t TRIM_AFTER = std::size_t{64} << 20;

void on_end(QueryDesc *q) {
    if (previous_end) previous_end(q);
    else standard_ExecutorEnd(q);
    if (depth > 0) return;
    report.end();
    trim_calls();
    if (most_held >= LARGE_BLOCK) elog(DEBUG1, "qvewumth: qv_ functions held at most %zu bytes", most_held);
    most_held = held;
#ifdef __GLIBC__
    if (large_taken >= TRIM_AFTER) malloc_trim(0);
#endif
    large_taken = 0;
}

void on_log(ErrorData *e) {
    if (e->elevel >= ERROR && e->message != nullptr &&
        (std::strncmp(e->message, "qv_", 3) == 0 || std::strncmp(e->message, "qvewumth:", 9) == 0))
        note_error(e->message);
    if (previous_log) previous_log(e);
}

// The package a session has opened stays its package: its parallel workers open the file the
// setting names when they start, so a change after the opening would give them another package
// (or none) than the session's own.
bool check_package_setting(char **value, void **, GucSource) {
    const char *now = package_setting != nullptr ? package_setting : "";
    if (!package_open() || std::strcmp(*value != nullptr ? *value : "", now) == 0) return true;
    GUC_check_errmsg("qvewumth.package cannot change once this session has opened the package");
    GUC_check_errhint("Set it before the session's first qv_ call, or in a new session.");
    return false;
}

}  // namespace qvpg

using namespace qvpg;

extern "C" {

void _PG_init(void) {
    DefineCustomStringVariable("qvewumth.package", "The function package file that qv_ functions call.",
                               "Empty: the libqvewumth.so installed beside the extension's module. A session "
                               "opens the package when it first calls a qv_ function; from then on the setting "
                               "cannot change in that session.",
                               &package_setting, "", PGC_SUSET, 0, check_package_setting, nullptr, nullptr);
    constexpr int hidden = GUC_NO_SHOW_ALL | GUC_NO_RESET_ALL | GUC_NOT_IN_SAMPLE | GUC_DISALLOW_IN_FILE;
    DefineCustomIntVariable("qvewumth.refuse_request", "Testing: the memory request of qv_ functions to refuse.",
                            "Counted in each process from when it is set; 0 refuses none.", &refuse_request, 0, 0,
                            INT_MAX, PGC_SUSET, hidden, nullptr, count_requests_afresh, nullptr);
    DefineCustomIntVariable("qvewumth.row_state_limit", "Testing: the bytes of partial states one result row may carry.",
                            "0: what the server can carry.", &row_state_limit, 0, 0, INT_MAX, PGC_SUSET,
                            hidden | GUC_UNIT_BYTE, nullptr, nullptr, nullptr);
    MarkGUCPrefixReserved("qvewumth");
    previous_run = ExecutorRun_hook;
    ExecutorRun_hook = on_run;
    previous_finish = ExecutorFinish_hook;
    ExecutorFinish_hook = on_finish;
    previous_end = ExecutorEnd_hook;
    ExecutorEnd_hook = on_end;
    previous_log = emit_log_hook;
    emit_log_hook = on_log;
}


}  // extern "C"

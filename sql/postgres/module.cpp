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
extern "C" {
#include "postgres.h"

#include "catalog/pg_type.h"
#include "executor/executor.h"
#include "fmgr.h"
#include "mb/pg_wchar.h"
#include "nodes/primnodes.h"
#include "storage/ipc.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/guc.h"
#include "utils/lsyscache.h"
#include "utils/memutils.h"

PG_MODULE_MAGIC;

void _PG_init(void);
}

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "names.hpp"
#include "qvhost.h"

namespace {

// ---- settings ----------------------------------------------------------------------------------

char *package_setting = nullptr;  // qvewumth.package: the package file; empty for the default one
// Hidden, for tests: the allocation request (counted from when it is set, in each process) that
// is refused; 0 refuses none.
int refuse_request = 0;
int64 requests = 0;
// Hidden, for tests: the bytes the partial states of one result row may take; 0 is what the server
// can carry.
int row_state_limit = 0;

void count_requests_afresh(int, void *) { requests = 0; }

// ---- memory ------------------------------------------------------------------------------------

// Blocks of many megabytes (the values of a large group, the argument list of its result, the
// package's copy of them) are written through once, right after they are taken, and given back
// soon after: where the system allows, huge pages back them, which saves most of the page faults
// (on a virtual machine those cost about as much as selecting the median itself). Large blocks
// taken in a statement are given back to the system when it ends (see on_end).
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t LARGE_BLOCK = std::size_t{1} << 20;
std::size_t large_taken = 0;  // bytes in large blocks taken since the last top-level statement ended

void advise(void *block, std::size_t size) {
    large_taken += size;
#ifdef MADV_HUGEPAGE
    const auto begin = (reinterpret_cast<std::uintptr_t>(block) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(HUGE_PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// A block of memory from cxt, or NULL when it cannot be had; never raises an error.
void *take(MemoryContext cxt, std::size_t size) {
    if (refuse_request > 0 && ++requests == refuse_request) return nullptr;
    if (!AllocHugeSizeIsValid(size)) return nullptr;
    void *block = MemoryContextAllocExtended(cxt, size, MCXT_ALLOC_HUGE | MCXT_ALLOC_NO_OOM);
    if (block != nullptr && size >= LARGE_BLOCK) advise(block, size);
    return block;
}

// The host library's memory: what it holds now and at most in this statement (reported at DEBUG1
// when a statement ends, to see what a kept value costs).
std::size_t held = 0, most_held = 0;

void *hook_alloc(void *cxt, std::size_t size) {
    void *block = take(static_cast<MemoryContext>(cxt), size);
    if (block != nullptr && (held += size) > most_held) most_held = held;
    return block;
}

void hook_release(void *, void *block, std::size_t size) {
    held -= size;
    pfree(block);
}

qvh_allocator allocator_in(MemoryContext cxt) { return {hook_alloc, nullptr, hook_release, cxt}; }

// ---- what qv_status() reports ------------------------------------------------------------------

// The results of the qv_ functions since the report began: a report begins with the first result
// after qv_status() was read, after a top-level statement ended, or after an error. One result is
// described fully ("invalid argument; argument 1 marked"); several are "ok" when all were, or
// else name each function and status that was not ("qv_pctl: invalid argument; qv_std: not a
// number"). An error replaces the report with "error: ..." and its message.
constexpr int32 NO_ROWS = -1;  // a statistic with a parameter over no rows: no status of its own
constexpr int MAX_KINDS = 8;

struct Report {
    bool fresh = true;
    uint64 results = 0;
    const qvh_call *call = nullptr;  // the only result, when it was a row-wise call
    int32 status = QVH_STATUS_OK;    // the only result's status
    struct Kind {
        int index;
        int32 status;
    } kinds[MAX_KINDS];  // the distinct statuses other than OK, in the order first seen
    int nkinds = 0;
    bool more_kinds = false;
    bool error = false;
    char text[1024] = "";
};
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
[[noreturn]] void raise(int sqlstate, const char *msg, const char *hint = nullptr) {
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

// ---- the package, once per backend -------------------------------------------------------------

qvh_package *package = nullptr;
qvh_call **calls = nullptr;             // one reusable call per function, made on first use
MemoryContext call_memory = nullptr;    // the scratch memory of the row-wise calls
bool exit_hook = false;

void close_package(int, Datum) {
    for (std::size_t i = 0; calls != nullptr && i < qvh_function_count(); ++i) {
        qvh_call_free(calls[i]);
        calls[i] = nullptr;
    }
    report = Report{};
    qvh_close(package);
    package = nullptr;
}

qvh_package *get_package() {
    if (package != nullptr) return package;
    if (calls == nullptr) {
        calls = static_cast<qvh_call **>(MemoryContextAllocZero(TopMemoryContext, qvh_function_count() * sizeof *calls));
        call_memory = AllocSetContextCreate(TopMemoryContext, "qvewumth calls", ALLOCSET_DEFAULT_SIZES);
    }
    const int rc = qvh_open(package_setting != nullptr && *package_setting ? package_setting : nullptr, &package);
    if (rc != QVH_OK) {
        char msg[1024];
        snprintf(msg, sizeof msg, "qvewumth: %s", qvh_errmsg());
        raise(sqlstate_of(rc), msg);
    }
    const qvh_allocator a = allocator_in(call_memory);
    qvh_set_allocator(package, &a);
    if (!exit_hook) {
        on_proc_exit(close_package, 0);
        exit_hook = true;
    }
    return package;
}

qvh_call *call_of(int index) {
    qvh_package *pkg = get_package();
    if (calls[index] == nullptr) {
        const int rc = qvh_call_new(pkg, qvh_function_at(static_cast<std::size_t>(index))->name, &calls[index]);
        if (rc != QVH_OK) fail_new(rc, index, "the call");
        qvh_call_set_label(calls[index], label_of(index));
    }
    return calls[index];
}

// ---- which function a call site serves ---------------------------------------------------------

struct Site {
    int index;
    const qvh_info *info;
    qvh_call *call;        // row-wise functions
    bool text_args;        // some argument is text
    Oid argtypes[FUNC_MAX_ARGS];
    double *values;        // a float8 list with its NULLs made '.'
    std::size_t room;
};

Site *site_of(FunctionCallInfo fcinfo, std::string_view suffix, bool row_wise) {
    FmgrInfo *fl = fcinfo->flinfo;
    if (fl->fn_extra != nullptr) return static_cast<Site *>(fl->fn_extra);
    char *name = get_func_name(fl->fn_oid);
    const qvh_info *f = name == nullptr ? nullptr : qvpg::from_sql_name(name, suffix);
    if (f == nullptr) {
        char msg[256];
        snprintf(msg, sizeof msg, "qvewumth: %s is not a function of this extension", name ? name : "(unknown)");
        raise(ERRCODE_UNDEFINED_FUNCTION, msg);
    }
    Site *site = static_cast<Site *>(MemoryContextAllocZero(fl->fn_mcxt, sizeof(Site)));
    site->index = static_cast<int>(f - qvh_function_at(0));
    site->info = f;
    if (row_wise) {
        Oid *types = nullptr;
        int nargs = 0;
        get_func_signature(fl->fn_oid, &types, &nargs);
        for (int i = 0; i < nargs && i < FUNC_MAX_ARGS; ++i) {
            site->argtypes[i] = types[i];
            site->text_args = site->text_args || types[i] == TEXTOID;
        }
        site->call = call_of(site->index);
    }
    fl->fn_extra = site;
    return site;
}

// ---- row-wise functions ------------------------------------------------------------------------

// Puts n numbers into the call: in place when it already has n arguments, as on every row but the
// first of a query.
void put_numbers(const Site *site, const double *xs, std::size_t n) {
    int rc = QVH_OK;
    if (qvh_call_count(site->call) == n) {
        for (std::size_t i = 0; i < n && rc == QVH_OK; ++i) rc = qvh_call_set_num(site->call, i, xs[i]);
    } else {
        qvh_call_clear(site->call);
        rc = qvh_call_add_nums(site->call, xs, n);
    }
    if (rc != QVH_OK) fail(rc);
}

// A text argument: NULL is the blank string where the function takes text, the missing value '.'
// where it takes a number or text; there a missing literal ('.A') is that missing value too.
void add_text(const Site *site, int position, Datum d, bool isnull) {
    const int kind = position == 0 ? site->info->first_kind : site->info->rest_kind;
    int rc;
    if (isnull) {
        rc = kind == QVH_KIND_CHR ? qvh_call_add_str(site->call, "", 0) : qvh_call_add_num(site->call, qvh_dot());
    } else {
        text *t = DatumGetTextPP(d);
        const char *s = VARDATA_ANY(t);
        const int len = static_cast<int>(VARSIZE_ANY_EXHDR(t));
        const char *utf8 = pg_server_to_any(s, len, PG_UTF8);
        const std::size_t n = utf8 == s ? static_cast<std::size_t>(len) : std::strlen(utf8);
        double missing = 0.0;
        if (kind == QVH_KIND_ANY && qvh_parse_missing(utf8, n, &missing))
            rc = qvh_call_add_num(site->call, missing);
        else
            rc = qvh_call_add_str(site->call, utf8, n);
    }
    if (rc != QVH_OK) fail(rc);
}

Datum finish_call(FunctionCallInfo fcinfo, const Site *site) {
    const int rc = qvh_call_invoke(site->call);
    if (rc != QVH_OK) fail(rc);
    check_status(site->index, qvh_call_status(site->call));
    note_result(site->index, qvh_call_status(site->call), site->call);
    if (site->info->result_kind == QVH_KIND_CHR) {
        std::size_t len = 0;
        const char *utf8 = qvh_call_result_str(site->call, &len);
        const char *s = pg_any_to_server(utf8, static_cast<int>(len), PG_UTF8);
        PG_RETURN_TEXT_P(cstring_to_text_with_len(s, s == utf8 ? static_cast<int>(len) : static_cast<int>(std::strlen(s))));
    }
    const double r = qvh_call_result(site->call);
    if (qvh_is_missing(r)) PG_RETURN_NULL();
    PG_RETURN_FLOAT8(r);
}

// The float8 elements of a, NULLs as '.': the array's own data when it has no NULL.
const double *numbers_of(FunctionCallInfo fcinfo, Site *site, ArrayType *a, std::size_t n) {
    const double *data = reinterpret_cast<const double *>(ARR_DATA_PTR(a));
    if (!ARR_HASNULL(a)) return data;
    if (site->room < n) {
        if (site->values != nullptr) pfree(site->values);
        site->room = 0;
        site->values = static_cast<double *>(take(fcinfo->flinfo->fn_mcxt, n * sizeof(double)));
        if (site->values == nullptr) out_of_memory(site->index, "the arguments");
        site->room = n;
    }
    const bits8 *nulls = ARR_NULLBITMAP(a);
    for (std::size_t i = 0; i < n; ++i) site->values[i] = (nulls[i / 8] >> (i % 8)) & 1 ? *data++ : qvh_dot();
    return site->values;
}

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
    report.fresh = true;
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

}  // namespace

extern "C" {

void _PG_init(void) {
    DefineCustomStringVariable("qvewumth.package", "The function package file that qv_ functions call.",
                               "Empty: the libqvewumth.so installed beside the extension's module. A session "
                               "opens the package when it first calls a qv_ function.",
                               &package_setting, "", PGC_SUSET, 0, nullptr, nullptr, nullptr);
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

// A function of a fixed number of float8 or text arguments.
PG_FUNCTION_INFO_V1(qvpg_call);
Datum qvpg_call(PG_FUNCTION_ARGS) {
    Site *site = site_of(fcinfo, "", true);
    const int nargs = PG_NARGS();
    if (!site->text_args) {
        double xs[FUNC_MAX_ARGS];
        for (int i = 0; i < nargs; ++i) xs[i] = PG_ARGISNULL(i) ? qvh_dot() : PG_GETARG_FLOAT8(i);
        put_numbers(site, xs, static_cast<std::size_t>(nargs));
    } else {
        qvh_call_clear(site->call);
        for (int i = 0; i < nargs; ++i) {
            if (site->argtypes[i] == TEXTOID) {
                add_text(site, i, PG_GETARG_DATUM(i), PG_ARGISNULL(i));
                continue;
            }
            const int rc = qvh_call_add_num(site->call, PG_ARGISNULL(i) ? qvh_dot() : PG_GETARG_FLOAT8(i));
            if (rc != QVH_OK) fail(rc);
        }
    }
    return finish_call(fcinfo, site);
}

// A function of a list of any length: VARIADIC float8[] or text[]. A NULL list gives NULL.
PG_FUNCTION_INFO_V1(qvpg_call_list);
Datum qvpg_call_list(PG_FUNCTION_ARGS) {
    Site *site = site_of(fcinfo, "", true);
    if (PG_ARGISNULL(0)) PG_RETURN_NULL();
    ArrayType *a = PG_GETARG_ARRAYTYPE_P(0);
    const std::size_t n = static_cast<std::size_t>(ArrayGetNItems(ARR_NDIM(a), ARR_DIMS(a)));
    if (ARR_ELEMTYPE(a) == FLOAT8OID) {
        put_numbers(site, numbers_of(fcinfo, site, a, n), n);
    } else if (ARR_ELEMTYPE(a) == TEXTOID) {
        qvh_call_clear(site->call);
        Datum *elems = nullptr;
        bool *nulls = nullptr;
        int count = 0;
        deconstruct_array(a, TEXTOID, -1, false, TYPALIGN_INT, &elems, &nulls, &count);
        for (int i = 0; i < count; ++i) add_text(site, i, elems[i], nulls[i]);
        pfree(elems);
        pfree(nulls);
    } else {
        char msg[256];
        snprintf(msg, sizeof msg, "%s: the list must be float8[] or text[]", label_of(site->index));
        raise(ERRCODE_DATATYPE_MISMATCH, msg);
    }
    return finish_call(fcinfo, site);
}

// What the qv_ functions reported since the report began, NULL before the first.
PG_FUNCTION_INFO_V1(qvpg_status);
Datum qvpg_status(PG_FUNCTION_ARGS) {
    char text[sizeof report.text];
    const char *s = report_text(text);
    report.fresh = true;
    if (s == nullptr) PG_RETURN_NULL();
    PG_RETURN_TEXT_P(cstring_to_text(s));
}

}  // extern "C"

// ---- aggregates --------------------------------------------------------------------------------

namespace {

// The transition state of an aggregate: a host-library aggregate whose memory comes from cxt, the
// aggregate's memory context, and is given back when that context is reset or deleted.
struct State {
    MemoryContextCallback freer;
    qvh_agg *agg;
    MemoryContext cxt;
    int index;
    bool transient;  // read from another process's bytes and not yet combined
};

void free_state(void *arg) {
    State *s = static_cast<State *>(arg);
    qvh_agg_free(s->agg);
    s->agg = nullptr;
}

State *new_state(MemoryContext cxt, int index, bool keep, bool transient) {
    qvh_package *pkg = get_package();
    State *s = static_cast<State *>(take(cxt, sizeof(State)));
    if (s == nullptr) out_of_memory(index, "the aggregate");
    *s = State{{free_state, s, nullptr}, nullptr, cxt, index, transient};
    const qvh_allocator a = allocator_in(cxt);
    const int rc = qvh_agg_new_in(pkg, qvh_function_at(static_cast<std::size_t>(index))->name,
                                  keep ? QVH_AGG_KEEP_VALUES : 0u, &a, &s->agg);
    if (rc != QVH_OK) fail_new(rc, index, "the aggregate");
    qvh_agg_set_label(s->agg, label_of(index));
    MemoryContextRegisterResetCallback(cxt, &s->freer);
    return s;
}

MemoryContext aggregate_context(FunctionCallInfo fcinfo) {
    MemoryContext cxt = nullptr;
    if (!AggCheckCallContext(fcinfo, &cxt)) {
        char msg[256];
        snprintf(msg, sizeof msg, "%s may only be called by an aggregate", get_func_name(fcinfo->flinfo->fn_oid));
        raise(ERRCODE_FEATURE_NOT_SUPPORTED, msg);
    }
    return cxt;
}

// Whether partial states of the statistic must keep their values to be combined: a folded fixed
// state combines exactly for counts and extremes, but a folded sum is already rounded and cannot
// be added to in the order of the rows.
bool combines_only_values(int index) {
    const int fold = qvh_function_at(static_cast<std::size_t>(index))->fold;
    return fold == QVH_FOLD_SUM || fold == QVH_FOLD_MEAN;
}

// Whether the state being built will be combined with others instead of giving a result itself.
bool partial(FunctionCallInfo fcinfo) {
    const Aggref *a = AggGetAggref(fcinfo);
    return a != nullptr && DO_AGGSPLIT_SKIPFINAL(a->aggsplit);
}

State *state_arg(FunctionCallInfo fcinfo, int i) {
    return PG_ARGISNULL(i) ? nullptr : reinterpret_cast<State *>(PG_GETARG_POINTER(i));
}

// A row joins the group: (state, x) or (state, p, x) with p the percentile or rank.
Datum transition(FunctionCallInfo fcinfo, bool moving) {
    State *s = state_arg(fcinfo, 0);
    if (s == nullptr) {
        MemoryContext cxt = aggregate_context(fcinfo);
        const Site *site = site_of(fcinfo, moving ? qvpg::MTRANS : qvpg::TRANS, false);
        const bool keep = moving || (partial(fcinfo) && combines_only_values(site->index));
        s = new_state(cxt, site->index, keep, false);
    }
    // Only an aggregate can pass a state, so the context is checked once, with the first row.
    const int last = PG_NARGS() - 1;
    int rc = QVH_OK;
    if (last == 2) rc = qvh_agg_param(s->agg, PG_ARGISNULL(1) ? qvh_dot() : PG_GETARG_FLOAT8(1));
    if (rc == QVH_OK) rc = qvh_agg_add(s->agg, PG_ARGISNULL(last) ? qvh_dot() : PG_GETARG_FLOAT8(last));
    if (rc != QVH_OK) fail(rc);
    PG_RETURN_POINTER(s);
}

// The saved form of a partial state: this header, then the host library's bytes.
struct SavedHeader {
    uint32 index;
    uint32 keep;
};

// The partial states of one result row travel in one tuple, which the server cannot make larger
// than 1 GB: the row's states are counted as they are saved, and the count starts again with the
// next row (the server resets the memory the row is made in).
constexpr std::size_t ROW_ROOM = std::size_t{1} << 20;  // for the row's other columns
std::size_t row_bytes = 0;
MemoryContext row_cxt = nullptr;

void next_row(void *) {
    row_bytes = 0;
    row_cxt = nullptr;
}

void count_row_bytes(const State *s, std::size_t bytes) {
    if (row_cxt != CurrentMemoryContext) {
        auto *cb = static_cast<MemoryContextCallback *>(take(CurrentMemoryContext, sizeof(MemoryContextCallback)));
        if (cb == nullptr) out_of_memory(s->index, "the partial state");
        *cb = {next_row, nullptr, nullptr};
        MemoryContextRegisterResetCallback(CurrentMemoryContext, cb);
        row_cxt = CurrentMemoryContext;
        row_bytes = 0;
    }
    row_bytes += MAXALIGN(bytes);
    const std::size_t limit = row_state_limit > 0 ? static_cast<std::size_t>(row_state_limit) : MaxAllocSize - ROW_ROOM;
    if (row_bytes <= limit) return;
    char msg[256];
    snprintf(msg, sizeof msg, "%s: the partial states of one result row of this parallel plan take more than %zu bytes",
             label_of(s->index), limit);
    raise(ERRCODE_PROGRAM_LIMIT_EXCEEDED, msg, "Run the query without parallel workers: SET max_parallel_workers_per_gather = 0.");
}

}  // namespace

extern "C" {

PG_FUNCTION_INFO_V1(qvpg_agg_trans);
Datum qvpg_agg_trans(PG_FUNCTION_ARGS) { return transition(fcinfo, false); }

// Moving window frames keep their values, so that rows leaving the frame can be taken out.
PG_FUNCTION_INFO_V1(qvpg_agg_mtrans);
Datum qvpg_agg_mtrans(PG_FUNCTION_ARGS) { return transition(fcinfo, true); }

// The first row of a moving window frame leaves it.
PG_FUNCTION_INFO_V1(qvpg_agg_minv);
Datum qvpg_agg_minv(PG_FUNCTION_ARGS) {
    aggregate_context(fcinfo);
    State *s = state_arg(fcinfo, 0);
    if (s == nullptr) PG_RETURN_NULL();  // nothing to take out: the server starts the frame afresh
    const int rc = qvh_agg_remove_first(s->agg);
    if (rc != QVH_OK) fail(rc);
    PG_RETURN_POINTER(s);
}

// The statistic over the rows of the group, NULL when it is missing. No row: the function over no
// values, or NULL ("no rows") for a statistic with a leading parameter, which was never seen.
PG_FUNCTION_INFO_V1(qvpg_agg_final);
Datum qvpg_agg_final(PG_FUNCTION_ARGS) {
    State *s = state_arg(fcinfo, 0);
    double r = 0.0;
    int32 status = QVH_STATUS_OK;
    int index;
    if (s == nullptr) {
        const Site *site = site_of(fcinfo, qvpg::FINAL, false);
        index = site->index;
        if (site->info->leading_param) {
            note_result(index, NO_ROWS, nullptr);
            PG_RETURN_NULL();
        }
        const int rc = qvh_eval(get_package(), site->info->name, nullptr, 0, &r, &status);
        if (rc != QVH_OK) fail(rc);
    } else {
        index = s->index;
        const int rc = qvh_agg_result(s->agg, &r, &status);
        if (rc != QVH_OK) fail(rc);
    }
    check_status(index, status);
    note_result(index, status, nullptr);
    if (qvh_is_missing(r)) PG_RETURN_NULL();
    PG_RETURN_FLOAT8(r);
}

// Two partial states of the same group: the rows of the second follow those of the first.
PG_FUNCTION_INFO_V1(qvpg_agg_combine);
Datum qvpg_agg_combine(PG_FUNCTION_ARGS) {
    MemoryContext cxt = aggregate_context(fcinfo);
    State *into = state_arg(fcinfo, 0);
    State *from = state_arg(fcinfo, 1);
    if (from == nullptr || from->agg == nullptr) {
        if (into == nullptr) PG_RETURN_NULL();
        PG_RETURN_POINTER(into);
    }
    if (into == nullptr && from->transient && from->cxt == cxt) {
        // A state just read from a worker, in the memory of this group: it becomes the group's.
        from->transient = false;
        PG_RETURN_POINTER(from);
    }
    if (into == nullptr) into = new_state(cxt, from->index, partial(fcinfo) && combines_only_values(from->index), false);
    const int rc = qvh_agg_merge(into->agg, from->agg);
    if (from->transient) free_state(from);  // its values are into's now
    if (rc != QVH_OK) fail(rc);
    PG_RETURN_POINTER(into);
}

PG_FUNCTION_INFO_V1(qvpg_agg_serialize);
Datum qvpg_agg_serialize(PG_FUNCTION_ARGS) {
    State *s = state_arg(fcinfo, 0);
    const std::size_t size = qvh_agg_save(s->agg, nullptr, 0);
    const std::size_t total = VARHDRSZ + sizeof(SavedHeader) + size;
    count_row_bytes(s, total);
    bytea *out = static_cast<bytea *>(take(CurrentMemoryContext, total));
    if (out == nullptr) out_of_memory(s->index, "the partial state");
    SET_VARSIZE(out, total);
    const SavedHeader head{static_cast<uint32>(s->index), combines_only_values(s->index) ? 1u : 0u};
    std::memcpy(VARDATA(out), &head, sizeof head);
    qvh_agg_save(s->agg, VARDATA(out) + sizeof head, size);
    PG_RETURN_BYTEA_P(out);
}

// A partial state from another process, made in the aggregate's memory so that the combine
// function can adopt it.
PG_FUNCTION_INFO_V1(qvpg_agg_deserialize);
Datum qvpg_agg_deserialize(PG_FUNCTION_ARGS) {
    MemoryContext cxt = aggregate_context(fcinfo);
    bytea *in = PG_GETARG_BYTEA_PP(0);
    const char *data = VARDATA_ANY(in);
    const std::size_t size = VARSIZE_ANY_EXHDR(in);
    SavedHeader head{};
    if (size >= sizeof head) std::memcpy(&head, data, sizeof head);
    if (size < sizeof head || head.index >= qvh_function_count() ||
        qvh_function_at(head.index)->aggregate == QVH_AGG_NONE)
        raise(ERRCODE_INVALID_BINARY_REPRESENTATION, "qvewumth: not a saved aggregate state");
    State *s = new_state(cxt, static_cast<int>(head.index), head.keep != 0, true);
    const int rc = qvh_agg_load(s->agg, data + sizeof head, size - sizeof head);
    if (rc != QVH_OK) fail(rc);
    PG_RETURN_POINTER(s);
}

}  // extern "C"

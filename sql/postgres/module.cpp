// qvewumth_pg: the package's functions as PostgreSQL functions, aggregates and window functions.
//
// Every entry point the server calls is a plain C-style frame that holds no C++ object, so the
// server's error path (ereport longjmps) never skips a destructor. Code that may throw lives behind
// the noexcept functions of bridge.hpp; the rest is the host library's C interface, which never
// throws. Memory the host library takes for an aggregate is tied to the aggregate's memory context
// by a reset callback, so an error or a cancelled query frees it with the context.
//
// One C entry point serves many SQL functions: it learns which catalogue function it works for
// from the name of the SQL function the server called (qv_median, qv_median_trans, ...), once per
// call site, and keeps the answer in fn_extra.
extern "C" {
#include "postgres.h"

#include "catalog/pg_type.h"
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

#include <cstring>

#include "bridge.hpp"
#include "names.hpp"
#include "qvhost.h"

namespace {

// ---- the package, once per backend -------------------------------------------------------------

char *package_setting = nullptr;  // qvewumth.package: the package file; empty for the default one
qvh_package *package = nullptr;
qvh_call **calls = nullptr;       // one reusable call per function, made on first use
bool exit_hook = false;
double dot = 0.0;                 // the missing value '.'

// What qv_status() reports: nothing before the first call, the last row-wise call (its status and
// marks), the status of the last aggregate result, or a text ("no rows", "error: ...").
enum class Last { None, Call, Status, Text };
Last last = Last::None;
const qvh_call *last_call = nullptr;
int32 last_status = QVH_STATUS_OK;
char last_text[1024];

void note_text(const char *text) {
    strlcpy(last_text, text, sizeof last_text);
    last = Last::Text;
}

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
    char text[sizeof last_text];
    snprintf(text, sizeof text, "error: %s", msg);
    note_text(text);
    ereport(ERROR, (errcode(sqlstate), errmsg("%s", msg), hint ? errhint("%s", hint) : 0));
    pg_unreachable();
}

// Raises the failure of the last host-library call on function index (-1: the package itself),
// about the argument or step that context names, if any.
[[noreturn]] void fail(int rc, int index, const char *context = nullptr) {
    char msg[1024];
    qvpg::message(index, context, qvh_errmsg(), msg, sizeof msg);
    raise(sqlstate_of(rc), msg);
}

void close_package(int, Datum) {
    for (std::size_t i = 0; calls != nullptr && i < qvh_function_count(); ++i) {
        qvh_call_free(calls[i]);
        calls[i] = nullptr;
    }
    last = Last::None;
    last_call = nullptr;
    qvh_close(package);
    package = nullptr;
}

qvh_package *get_package() {
    if (package != nullptr) return package;
    if (calls == nullptr)
        calls = static_cast<qvh_call **>(MemoryContextAllocZero(TopMemoryContext, qvh_function_count() * sizeof *calls));
    const int rc = qvh_open(package_setting != nullptr && *package_setting ? package_setting : nullptr, &package);
    if (rc != QVH_OK) fail(rc, -1);
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
        if (rc != QVH_OK) fail(rc, index);
    }
    return calls[index];
}

void note_status(int32 status) {
    last_status = status;
    last = Last::Status;
}

// ---- which function a call site serves -------------------------------------------------------

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
    const int index = name == nullptr ? -1 : qvpg::resolve(name, suffix.data());
    if (index < 0) {
        char msg[256];
        snprintf(msg, sizeof msg, "qvewumth: %s is not a function of this extension", name ? name : "(unknown)");
        raise(ERRCODE_UNDEFINED_FUNCTION, msg);
    }
    Site *site = static_cast<Site *>(MemoryContextAllocZero(fl->fn_mcxt, sizeof(Site)));
    site->index = index;
    site->info = qvh_function_at(static_cast<std::size_t>(index));
    if (row_wise) {
        Oid *types = nullptr;
        int nargs = 0;
        get_func_signature(fl->fn_oid, &types, &nargs);
        for (int i = 0; i < nargs && i < FUNC_MAX_ARGS; ++i) {
            site->argtypes[i] = types[i];
            site->text_args = site->text_args || types[i] == TEXTOID;
        }
        site->call = call_of(index);
    }
    fl->fn_extra = site;
    return site;
}

// ---- row-wise functions ----------------------------------------------------------------------

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
    if (rc != QVH_OK) fail(rc, site->index);
}

// A text argument: NULL is the blank string where the function takes text, the missing value '.'
// where it takes a number or text; there a missing literal ('.A') is that missing value too.
void add_text(const Site *site, int position, Datum d, bool isnull) {
    const int kind = position == 0 ? site->info->first_kind : site->info->rest_kind;
    int rc;
    if (isnull) {
        rc = kind == QVH_KIND_CHR ? qvh_call_add_str(site->call, "", 0) : qvh_call_add_num(site->call, dot);
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
    if (rc != QVH_OK) {
        char context[32];
        snprintf(context, sizeof context, "argument %d", position + 1);
        fail(rc, site->index, context);
    }
}

Datum finish_call(FunctionCallInfo fcinfo, const Site *site) {
    const int rc = qvh_call_invoke(site->call);
    if (rc != QVH_OK) fail(rc, site->index);
    last_call = site->call;
    last = Last::Call;
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
        site->values = static_cast<double *>(MemoryContextAllocHuge(fcinfo->flinfo->fn_mcxt, n * sizeof(double)));
        site->room = n;
    }
    const bits8 *nulls = ARR_NULLBITMAP(a);
    for (std::size_t i = 0; i < n; ++i) site->values[i] = (nulls[i / 8] >> (i % 8)) & 1 ? *data++ : dot;
    return site->values;
}

}  // namespace

extern "C" {

void _PG_init(void) {
    DefineCustomStringVariable("qvewumth.package", "The function package file that qv_ functions call.",
                               "Empty: the libqvewumth.so installed beside the extension's module. A session "
                               "opens the package when it first calls a qv_ function.",
                               &package_setting, "", PGC_SUSET, 0, nullptr, nullptr, nullptr);
    MarkGUCPrefixReserved("qvewumth");
    qvh_missing('.', &dot);
}

// A function of a fixed number of float8 or text arguments.
PG_FUNCTION_INFO_V1(qvpg_call);
Datum qvpg_call(PG_FUNCTION_ARGS) {
    Site *site = site_of(fcinfo, "", true);
    const int nargs = PG_NARGS();
    if (!site->text_args) {
        double xs[FUNC_MAX_ARGS];
        for (int i = 0; i < nargs; ++i) xs[i] = PG_ARGISNULL(i) ? dot : PG_GETARG_FLOAT8(i);
        put_numbers(site, xs, static_cast<std::size_t>(nargs));
    } else {
        qvh_call_clear(site->call);
        for (int i = 0; i < nargs; ++i) {
            if (site->argtypes[i] == TEXTOID) {
                add_text(site, i, PG_GETARG_DATUM(i), PG_ARGISNULL(i));
                continue;
            }
            const int rc = qvh_call_add_num(site->call, PG_ARGISNULL(i) ? dot : PG_GETARG_FLOAT8(i));
            if (rc != QVH_OK) fail(rc, site->index);
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
        snprintf(msg, sizeof msg, "%s: the list must be float8[] or text[]", get_func_name(fcinfo->flinfo->fn_oid));
        raise(ERRCODE_DATATYPE_MISMATCH, msg);
    }
    return finish_call(fcinfo, site);
}

// The status of the last qv_ call in this session, NULL before the first.
PG_FUNCTION_INFO_V1(qvpg_status);
Datum qvpg_status(PG_FUNCTION_ARGS) {
    switch (last) {
        case Last::None: PG_RETURN_NULL();
        case Last::Text: PG_RETURN_TEXT_P(cstring_to_text(last_text));
        case Last::Status: PG_RETURN_TEXT_P(cstring_to_text(qvh_status_name(last_status)));
        case Last::Call: break;
    }
    char buf[256];
    qvh_call_describe(last_call, buf, sizeof buf);
    PG_RETURN_TEXT_P(cstring_to_text(buf));
}

}  // extern "C"

// ---- aggregates --------------------------------------------------------------------------------

namespace {

// The transition state of an aggregate: a host-library aggregate whose memory is freed when the
// memory context holding this record is reset or deleted.
struct State {
    MemoryContextCallback freer;
    qvh_agg *agg;
    int index;
    bool transient;  // made by deserialization in a short-lived context; a combine may adopt it
};

void free_state(void *arg) {
    State *s = static_cast<State *>(arg);
    qvh_agg_free(s->agg);
    s->agg = nullptr;
}

void attach(MemoryContext cxt, State *s) {
    s->freer.func = free_state;
    s->freer.arg = s;
    MemoryContextRegisterResetCallback(cxt, &s->freer);
}

State *new_state(MemoryContext cxt, int index, bool keep, bool transient) {
    qvh_package *pkg = get_package();
    State *s = static_cast<State *>(MemoryContextAllocZero(cxt, sizeof(State)));
    const int rc = qvh_agg_new(pkg, qvh_function_at(static_cast<std::size_t>(index))->name,
                               keep ? QVH_AGG_KEEP_VALUES : 0u, &s->agg);
    if (rc != QVH_OK) fail(rc, index);
    s->index = index;
    s->transient = transient;
    attach(cxt, s);
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
    MemoryContext cxt = aggregate_context(fcinfo);
    State *s = state_arg(fcinfo, 0);
    if (s == nullptr) {
        const Site *site = site_of(fcinfo, moving ? qvpg::MTRANS : qvpg::TRANS, false);
        const bool keep = moving || (partial(fcinfo) && qvpg::combines_only_values(site->index));
        s = new_state(cxt, site->index, keep, false);
    }
    const int last = PG_NARGS() - 1;
    int rc = QVH_OK;
    if (last == 2) rc = qvh_agg_param(s->agg, PG_ARGISNULL(1) ? dot : PG_GETARG_FLOAT8(1));
    if (rc == QVH_OK) rc = qvh_agg_add(s->agg, PG_ARGISNULL(last) ? dot : PG_GETARG_FLOAT8(last));
    if (rc != QVH_OK) fail(rc, s->index);
    PG_RETURN_POINTER(s);
}

// The saved form of a partial state: this header, then the host library's bytes.
struct SavedHeader {
    uint32 index;
    uint32 keep;
};

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
    if (rc != QVH_OK) fail(rc, s->index);
    PG_RETURN_POINTER(s);
}

// The statistic over the rows of the group, NULL when it is missing. No row: the function over no
// values, or NULL ("no rows") for a statistic with a leading parameter, which was never seen.
PG_FUNCTION_INFO_V1(qvpg_agg_final);
Datum qvpg_agg_final(PG_FUNCTION_ARGS) {
    State *s = state_arg(fcinfo, 0);
    double r = 0.0;
    int32 status = QVH_STATUS_OK;
    if (s == nullptr) {
        const Site *site = site_of(fcinfo, qvpg::FINAL, false);
        if (site->info->leading_param) {
            note_text("no rows");
            PG_RETURN_NULL();
        }
        const int rc = qvh_eval(get_package(), site->info->name, nullptr, 0, &r, &status);
        if (rc != QVH_OK) fail(rc, site->index);
    } else {
        const int rc = qvh_agg_result(s->agg, &r, &status);
        if (rc != QVH_OK) fail(rc, s->index);
    }
    note_status(status);
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
    if (into == nullptr && from->transient) {
        // A state just read from a worker: take it over instead of copying its values.
        into = static_cast<State *>(MemoryContextAllocZero(cxt, sizeof(State)));
        into->index = from->index;
        into->agg = from->agg;
        from->agg = nullptr;
        attach(cxt, into);
        PG_RETURN_POINTER(into);
    }
    if (into == nullptr)
        into = new_state(cxt, from->index, partial(fcinfo) && qvpg::combines_only_values(from->index), false);
    const int rc = qvh_agg_merge(into->agg, from->agg);
    if (rc != QVH_OK) fail(rc, into->index);
    PG_RETURN_POINTER(into);
}

PG_FUNCTION_INFO_V1(qvpg_agg_serialize);
Datum qvpg_agg_serialize(PG_FUNCTION_ARGS) {
    State *s = state_arg(fcinfo, 0);
    const std::size_t size = qvh_agg_save(s->agg, nullptr, 0);
    if (size == 0) fail(QVH_E_NOMEM, s->index);
    if (size > MaxAllocSize - VARHDRSZ - sizeof(SavedHeader)) {
        char what[128], msg[256];
        snprintf(what, sizeof what, "the partial state of %llu rows is larger than 1 GB",
                 static_cast<unsigned long long>(qvh_agg_rows(s->agg)));
        qvpg::message(s->index, nullptr, what, msg, sizeof msg);
        raise(ERRCODE_PROGRAM_LIMIT_EXCEEDED, msg,
              "Run this query without parallel workers (max_parallel_workers_per_gather = 0).");
    }
    bytea *out = static_cast<bytea *>(palloc(VARHDRSZ + sizeof(SavedHeader) + size));
    SET_VARSIZE(out, VARHDRSZ + sizeof(SavedHeader) + size);
    const SavedHeader head{static_cast<uint32>(s->index), qvpg::combines_only_values(s->index) ? 1u : 0u};
    std::memcpy(VARDATA(out), &head, sizeof head);
    if (qvh_agg_save(s->agg, VARDATA(out) + sizeof head, size) != size) fail(QVH_E_NOMEM, s->index);
    PG_RETURN_BYTEA_P(out);
}

// Partial states arrive in the per-row context of the combining process and are adopted or merged
// by the combine function at once.
PG_FUNCTION_INFO_V1(qvpg_agg_deserialize);
Datum qvpg_agg_deserialize(PG_FUNCTION_ARGS) {
    aggregate_context(fcinfo);
    bytea *in = PG_GETARG_BYTEA_PP(0);
    const char *data = VARDATA_ANY(in);
    const std::size_t size = VARSIZE_ANY_EXHDR(in);
    SavedHeader head{};
    if (size >= sizeof head) std::memcpy(&head, data, sizeof head);
    if (size < sizeof head || head.index >= qvh_function_count() ||
        qvh_function_at(head.index)->aggregate == QVH_AGG_NONE)
        raise(ERRCODE_INVALID_BINARY_REPRESENTATION, "qvewumth: not a saved aggregate state");
    State *s = new_state(CurrentMemoryContext, static_cast<int>(head.index), head.keep != 0, true);
    const int rc = qvh_agg_load(s->agg, data + sizeof head, size - sizeof head);
    if (rc != QVH_OK) fail(rc, s->index);
    PG_RETURN_POINTER(s);
}

}  // extern "C"

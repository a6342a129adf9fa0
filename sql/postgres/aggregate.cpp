// The aggregates: transition, moving-frame, final, combine and the saved form of partial states.
#include "module.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "canonical.hpp"
#include "names.hpp"

// ---- aggregates --------------------------------------------------------------------------------

namespace qvpg {

// The transition state of an aggregate, in cxt, the aggregate's memory context, and given back
// when that context is reset or deleted. A group whose statistic merges by values and whose query
// gives its rows no order keeps them in xs, and they are put into the canonical order for the
// result (canonical.hpp): the same rows give the same bits however many workers read them and in
// whatever order. Otherwise the host-library aggregate takes the rows in the order given.
struct State {
    MemoryContextCallback freer;
    qvh_agg *agg;  // the rows, or (canonical) only the percentile or rank, which it checks
    MemoryContext cxt;
    int index;
    bool transient;  // read from another process's bytes and not yet combined
    bool canonical;
    bool has_param;  // canonical: param is the percentile or rank of every row so far
    double param;
    double *xs;  // canonical: the values, room for room of them
    std::size_t n, room;
    std::size_t done;  // canonical: result and status are those of the first done values (0: none)
    double result;
    int32 status;
    // The form over an array of percentiles (canonical, and keeping the rows' order under ORDER
    // BY): the percentiles as the first row gave them, their array's bytes to check the later
    // rows' against, and whether it was NULL.
    bool percentiles;
    bool in_order;
    bool has_ps;
    bool null_ps;
    double *ps;
    std::size_t np;
    char *ps_bytes;
    std::size_t ps_size;
};

void free_state(void *arg) {
    State *s = static_cast<State *>(arg);
    qvh_agg_free(s->agg);
    s->agg = nullptr;
}

State *new_state(MemoryContext cxt, int index, unsigned flags, bool transient, bool canonical) {
    qvh_package *pkg = get_package();
    State *s = static_cast<State *>(take(cxt, sizeof(State)));
    if (s == nullptr) out_of_memory(index, sizeof(State));
    *s = State{{free_state, s, nullptr}, nullptr, cxt, index, transient, canonical, false, 0.0, nullptr, 0, 0, 0, 0.0, 0,
               false, false, false, false, nullptr, 0, nullptr, 0};
    const qvh_allocator a = allocator_in(cxt);
    const int rc = qvh_agg_new_in(pkg, qvh_function_at(static_cast<std::size_t>(index))->name,
                                  flags, &a, &s->agg);
    if (rc != QVH_OK) fail_new(rc, index);
    qvh_agg_set_label(s->agg, label_of(index));
    qvh_agg_set_interrupt(s->agg, interrupt_pending, nullptr);
    MemoryContextRegisterResetCallback(cxt, &s->freer);
    return s;
}

// Appends n values to a canonical state's own.
void keep_values(State *s, const void *xs, std::size_t n) {
    if (s->room - s->n < n) {
        const std::size_t room = std::max({s->room * 2, s->n + n, std::size_t{64}});
        auto *grown = static_cast<double *>(take(s->cxt, room * sizeof(double)));
        if (grown == nullptr) out_of_memory(s->index, room * sizeof(double));
        if (s->n > 0) std::memcpy(grown, s->xs, s->n * sizeof(double));
        if (s->xs != nullptr) pfree(s->xs);
        s->xs = grown;
        s->room = room;
    }
    std::memcpy(s->xs + s->n, xs, n * sizeof(double));
    s->n += n;
}

// The percentile or rank of a canonical state's row: the host-library aggregate checks that it is
// the same for every row.
void keep_param(State *s, double p) {
    const int rc = qvh_agg_param(s->agg, p);
    if (rc != QVH_OK) fail(rc);
    s->has_param = true;
    s->param = p;
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

// Whether the statistic's bits can depend on the order of its values: every statistic whose
// partial states merge by values (sums are rounded at every step), and the extremes, whose fixed
// states merge exactly except that MIN, MAX and RANGE of +0 and -0 keep the zero seen first. Only
// the counts (N, NMISS) never do.
bool order_sensitive(int index) {
    const qvh_info *f = qvh_function_at(static_cast<std::size_t>(index));
    return f->merge == QVH_MERGE_VALUES || f->fold == QVH_FOLD_EXTREME || f->fold == QVH_FOLD_RANGE;
}

// Whether the rows reach the aggregate in no order the query asked for: an aggregate without
// ORDER BY, or a window function whose window has no ORDER BY (its frame is the partition).
bool unordered(FunctionCallInfo fcinfo) {
    if (const Aggref *a = AggGetAggref(fcinfo)) return a->aggorder == NIL;
    if (fcinfo->context != nullptr && IsA(fcinfo->context, WindowAggState)) {
        const auto *w = reinterpret_cast<const WindowAggState *>(fcinfo->context);
        return reinterpret_cast<const WindowAgg *>(w->ss.ps.plan)->ordNumCols == 0;
    }
    return false;
}

// How the host-library aggregate of a state keeps its rows: a window frame's result is over its
// values in the canonical order, the order every engine can keep; a frame that moves keeps its
// values to let rows leave; a group with ORDER BY takes its rows in that order.
unsigned host_flags(FunctionCallInfo fcinfo, bool moving) {
    if (fcinfo->context != nullptr && IsA(fcinfo->context, WindowAggState)) return QVH_AGG_CANONICAL;
    return moving ? QVH_AGG_KEEP_VALUES : 0u;
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
        const bool canonical = !moving && order_sensitive(site->index) && unordered(fcinfo);
        s = new_state(cxt, site->index, canonical ? 0u : host_flags(fcinfo, moving), false, canonical);
    }
    // Only an aggregate can pass a state, so the context is checked once, with the first row.
    const int last = PG_NARGS() - 1;
    // A number is itself at the edge; what NULL and NaN become is the edge's to say.
    double x = PG_ARGISNULL(last) ? std::nan("") : PG_GETARG_FLOAT8(last);
    if (std::isnan(x)) x = edge_arg(s->index, last - 1, float8_value(PG_ARGISNULL(last), x)).num;
    const double p = last < 2 ? 0.0 : edge_arg(s->index, 0, float8_value(PG_ARGISNULL(1), PG_ARGISNULL(1) ? 0.0 : PG_GETARG_FLOAT8(1))).num;
    if (s->canonical) {
        if (last == 2) keep_param(s, p);
        keep_values(s, &x, 1);
        PG_RETURN_POINTER(s);
    }
    int rc = last == 2 ? qvh_agg_param(s->agg, p) : QVH_OK;
    if (rc == QVH_OK) rc = qvh_agg_add(s->agg, x);
    if (rc != QVH_OK) fail(rc);
    PG_RETURN_POINTER(s);
}

// Puts a canonical state's values into the canonical order, where the function's bits could
// depend on it. A large group is radix sorted in scratch memory given back at once; without it
// (or for a small group) the sort works in place. The scratch is no request of the function's own.
void sort_values(State *s) {
    if (!qvsql::needs_order(*qvh_function_at(static_cast<std::size_t>(s->index)), s->xs, s->n)) return;
    std::uint64_t *scratch = nullptr;
    if (s->n >= qvsql::RADIX_FROM && AllocHugeSizeIsValid(s->n * sizeof *scratch))
        scratch = static_cast<std::uint64_t *>(
            MemoryContextAllocExtended(CurrentMemoryContext, s->n * sizeof *scratch, MCXT_ALLOC_HUGE | MCXT_ALLOC_NO_OOM));
    qvh_advise_large(scratch, s->n * sizeof *scratch);
    qvsql::canonical_sort(s->xs, s->n, scratch);
    if (scratch != nullptr) pfree(scratch);
}

// The result over a group's rows: the host-library aggregate's, or one call over the percentile
// or rank and the kept values in their canonical order. Returns the bytes a memory status asked for.
std::size_t result_of(State *s, double *r, int32 *status) {
    if (!s->canonical) {
        const int rc = qvh_agg_result(s->agg, r, status);
        if (rc != QVH_OK) fail(rc);
        return qvh_agg_asked(s->agg);
    }
    // The same values as the last result (a window over the whole partition asks once a row).
    if (s->done == s->n && s->n > 0) {
        *r = s->result;
        *status = s->status;
        return 0;
    }
    sort_values(s);
    qvh_call *call = call_of(s->index);
    // Without a percentile or rank, qvh_call_fold: a sum or mean folded over cache-sized chunks of
    // the values, the same bits as one call without an argument list for all of them; any other
    // statistic is one call over them.
    const int rc = s->has_param ? qvh_call_over(call, &s->param, 1, s->xs, s->n, sizeof(double), r, status, nullptr)
                                : qvh_call_fold(call, s->xs, s->n, sizeof(double), r, status);
    if (rc != QVH_OK) fail(rc);
    if (!qvh_status_is_memory(*status)) {
        s->done = s->n;
        s->result = *r;
        s->status = *status;
    }
    return qvh_call_asked(call);
}

// The percentiles of an array-form state, from the bytes of their array (the elements' NULLs and
// NaNs read as the scalar form reads its percentile).
void keep_percentiles(State *s, const char *bytes, std::size_t size, bool null) {
    s->has_ps = true;
    s->null_ps = null;
    if (null) return;
    s->ps_bytes = static_cast<char *>(take(s->cxt, size > 0 ? size : 1));
    if (s->ps_bytes == nullptr) out_of_memory(s->index, size);
    std::memcpy(s->ps_bytes, bytes, size);
    s->ps_size = size;
    // A header-less copy is not an array the server can read: the array is read from the Datum.
    auto *a = reinterpret_cast<ArrayType *>(s->ps_bytes);
    if (ARR_NDIM(a) > 1)
        raise(ERRCODE_ARRAY_SUBSCRIPT_ERROR, (std::string(label_of(s->index)) + ": the percentiles must be a one-dimensional array").c_str());
    Datum *elems = nullptr;
    bool *nulls = nullptr;
    int count = 0;
    deconstruct_array(a, FLOAT8OID, sizeof(float8), FLOAT8PASSBYVAL, TYPALIGN_DOUBLE, &elems, &nulls, &count);
    s->np = static_cast<std::size_t>(count);
    s->ps = static_cast<double *>(take(s->cxt, (s->np > 0 ? s->np : 1) * sizeof(double)));
    if (s->ps == nullptr) out_of_memory(s->index, s->np * sizeof(double));
    for (int k = 0; k < count; ++k) {
        const double p = nulls[k] ? 0.0 : DatumGetFloat8(elems[k]);
        s->ps[k] = edge_arg(s->index, 0, float8_value(nulls[k], p)).num;
    }
}

// A row's array of percentiles: the first row's is kept, every later row's must be the same.
void check_percentiles(State *s, FunctionCallInfo fcinfo) {
    const bool null = PG_ARGISNULL(1);
    ArrayType *a = null ? nullptr : PG_GETARG_ARRAYTYPE_P(1);
    const char *bytes = null ? nullptr : reinterpret_cast<const char *>(a);
    const std::size_t size = null ? 0 : VARSIZE(a);
    if (!s->has_ps) return keep_percentiles(s, bytes, size, null);
    if (null == s->null_ps && (null || (size == s->ps_size && std::memcmp(bytes, s->ps_bytes, size) == 0))) return;
    raise(ERRCODE_INVALID_PARAMETER_VALUE,
          (std::string(label_of(s->index)) + ": the percentiles must be the same array for every row of a group").c_str(),
          "Give a constant array, such as ARRAY[10, 50, 90].");
}

// The results of an array-form state: the values put into the canonical order (unless the query
// ordered them), ordered once more for all the percentiles together.
ArrayType *percentile_results(State *s) {
    if (!s->in_order) sort_values(s);
    qvh_call *call = call_of(s->index);
    const std::size_t np = s->np;
    auto *r = static_cast<double *>(palloc((np > 0 ? np : 1) * sizeof(double)));
    auto *st = static_cast<int32_t *>(palloc((np > 0 ? np : 1) * sizeof(int32_t)));
    const int rc = qvh_call_percentiles(call, s->ps, np, s->xs, s->n, sizeof(double), r, st, nullptr);
    if (rc != QVH_OK) fail(rc);
    auto *elems = static_cast<Datum *>(palloc((np > 0 ? np : 1) * sizeof(Datum)));
    auto *nulls = static_cast<bool *>(palloc((np > 0 ? np : 1) * sizeof(bool)));
    for (std::size_t k = 0; k < np; ++k) {
        check_status(s->index, st[k], qvh_call_asked(call));
        note_result(s->index, st[k], nullptr);
        nulls[k] = qvh_is_missing(r[k]);
        elems[k] = Float8GetDatum(nulls[k] ? 0.0 : r[k]);
    }
    int dims[1] = {static_cast<int>(np)}, lbs[1] = {1};
    return construct_md_array(elems, nulls, 1, dims, lbs, FLOAT8OID, sizeof(float8), FLOAT8PASSBYVAL, TYPALIGN_DOUBLE);
}

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
        if (cb == nullptr) out_of_memory(s->index, sizeof(MemoryContextCallback));
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

}  // namespace qvpg

using namespace qvpg;

extern "C" {

PG_FUNCTION_INFO_V1(qvpg_agg_trans);
Datum qvpg_agg_trans(PG_FUNCTION_ARGS) { return transition(fcinfo, false); }

// A row joins a group of the form over an array of percentiles: (state, percentiles, x).
PG_FUNCTION_INFO_V1(qvpg_agg_atrans);
Datum qvpg_agg_atrans(PG_FUNCTION_ARGS) {
    State *s = state_arg(fcinfo, 0);
    if (s == nullptr) {
        MemoryContext cxt = aggregate_context(fcinfo);
        const Site *site = site_of(fcinfo, qvpg::ATRANS, false);
        s = new_state(cxt, site->index, 0u, false, true);
        s->percentiles = true;
        s->in_order = !unordered(fcinfo);
    }
    check_percentiles(s, fcinfo);
    double x = PG_ARGISNULL(2) ? std::nan("") : PG_GETARG_FLOAT8(2);
    if (std::isnan(x)) x = edge_arg(s->index, 1, float8_value(PG_ARGISNULL(2), x)).num;
    keep_values(s, &x, 1);
    PG_RETURN_POINTER(s);
}

// The results of a group of the form over an array of percentiles, in the array's order: NULL for
// a NULL array, and for no rows (no percentiles were seen).
PG_FUNCTION_INFO_V1(qvpg_agg_afinal);
Datum qvpg_agg_afinal(PG_FUNCTION_ARGS) {
    State *s = state_arg(fcinfo, 0);
    if (s == nullptr || !s->has_ps) {
        note_result(s != nullptr ? s->index : site_of(fcinfo, qvpg::AFINAL, false)->index, NO_ROWS, nullptr);
        PG_RETURN_NULL();
    }
    if (s->null_ps) {
        note_result(s->index, QVH_STATUS_MISSING_ARG, nullptr);
        PG_RETURN_NULL();
    }
    PG_RETURN_ARRAYTYPE_P(percentile_results(s));
}

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
    std::size_t asked = 0;
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
        asked = result_of(s, &r, &status);
    }
    check_status(index, status, asked);
    note_result(index, status, nullptr);
    if (qvh_is_missing(r)) PG_RETURN_NULL();
    PG_RETURN_FLOAT8(r);
}

// Two partial states of the same group: the rows of the second follow those of the first (in a
// canonical state their order does not matter).
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
    if (into == nullptr) {
        into = new_state(cxt, from->index, 0u, false, from->canonical);
        into->percentiles = from->percentiles;
        into->in_order = from->in_order;
    }
    const int rc = qvh_agg_merge(into->agg, from->agg);
    if (rc == QVH_OK && into->canonical) {
        if (from->has_param && !into->has_param) keep_param(into, from->param);
        if (from->has_ps && !into->has_ps) keep_percentiles(into, from->ps_bytes, from->ps_size, from->null_ps);
        else if (from->has_ps && (from->null_ps != into->null_ps || from->ps_size != into->ps_size ||
                                  (from->ps_size > 0 && std::memcmp(from->ps_bytes, into->ps_bytes, from->ps_size) != 0)))
            raise(ERRCODE_INVALID_PARAMETER_VALUE,
                  (std::string(label_of(into->index)) + ": the percentiles must be the same array for every row of a group").c_str());
        keep_values(into, from->xs, from->n);
    }
    if (from->transient) {  // its values are into's now
        free_state(from);
        if (from->xs != nullptr) pfree(from->xs);
        from->xs = nullptr;
    }
    if (rc != QVH_OK) fail(rc);
    PG_RETURN_POINTER(into);
}

// The saved form of a partial state: the header, then for a canonical state (its percentile or
// rank in the header) the array of percentiles of the array form and the values, else the host
// library's bytes.
struct SavedHeader {
    uint32 index;
    uint32 canonical;
    uint64 has_param;
    double param;
    uint32 percentiles;  // the array form, and whether its rows keep their order
    uint32 in_order;
    uint32 has_ps;  // the array's bytes follow: ps_size of them, unless the array was NULL
    uint32 null_ps;
    uint64 ps_size;
};

PG_FUNCTION_INFO_V1(qvpg_agg_serialize);
Datum qvpg_agg_serialize(PG_FUNCTION_ARGS) {
    State *s = state_arg(fcinfo, 0);
    const std::size_t ps = MAXALIGN(s->ps_size);
    const std::size_t size = s->canonical ? ps + s->n * sizeof(double) : qvh_agg_save(s->agg, nullptr, 0);
    const std::size_t total = VARHDRSZ + sizeof(SavedHeader) + size;
    count_row_bytes(s, total);
    bytea *out = static_cast<bytea *>(take(CurrentMemoryContext, total));
    if (out == nullptr) out_of_memory(s->index, total);
    SET_VARSIZE(out, total);
    const SavedHeader head{static_cast<uint32>(s->index), s->canonical, s->has_param, s->param, s->percentiles, s->in_order,
                           s->has_ps, s->null_ps, s->ps_size};
    std::memcpy(VARDATA(out), &head, sizeof head);
    if (!s->canonical) {
        qvh_agg_save(s->agg, VARDATA(out) + sizeof head, size);
    } else {
        std::memset(VARDATA(out) + sizeof head, 0, ps);
        if (s->ps_size > 0) std::memcpy(VARDATA(out) + sizeof head, s->ps_bytes, s->ps_size);
        if (s->n > 0) std::memcpy(VARDATA(out) + sizeof head + ps, s->xs, s->n * sizeof(double));
    }
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
    const std::size_t ps = size >= sizeof head ? MAXALIGN(head.ps_size) : 0;
    if (size < sizeof head || head.index >= qvh_function_count() ||
        qvh_function_at(head.index)->aggregate == QVH_AGG_NONE || head.ps_size > size ||
        (head.canonical && (size - sizeof head < ps || (size - sizeof head - ps) % sizeof(double))))
        raise(ERRCODE_INVALID_BINARY_REPRESENTATION, "qvewumth: not a saved aggregate state");
    State *s = new_state(cxt, static_cast<int>(head.index), 0u, true, head.canonical != 0);
    if (s->canonical) {
        if (head.has_param) keep_param(s, head.param);
        s->percentiles = head.percentiles != 0;
        s->in_order = head.in_order != 0;
        if (head.has_ps) keep_percentiles(s, data + sizeof head, head.ps_size, head.null_ps != 0);
        const std::size_t n = (size - sizeof head - ps) / sizeof(double);
        if (n > 0) keep_values(s, data + sizeof head + ps, n);
        PG_RETURN_POINTER(s);
    }
    const int rc = qvh_agg_load(s->agg, data + sizeof head, size - sizeof head);
    if (rc != QVH_OK) fail(rc);
    PG_RETURN_POINTER(s);
}

}  // extern "C"

// The aggregates: transition, moving-frame, final, combine and the saved form of partial states.
#include "module.hpp"

#include <cstring>

#include "names.hpp"

// ---- aggregates --------------------------------------------------------------------------------

namespace qvpg {

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

}  // namespace qvpg

using namespace qvpg;

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

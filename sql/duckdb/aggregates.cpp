// The aggregates qv_x(x) and qv_x(p, x): DuckDB's states, the table of states this extension set
// up, and the canonical order of the values a result is computed over.
//
// A state lives in DuckDB's memory and holds only the values of its group: one inline, more in a
// block of its own, and for a statistic with a fixed state (N, NMISS, MIN, MAX, RANGE) the host
// library's aggregate once the group outgrows a small block. DuckDB may copy a state's bytes to
// another place (when it spreads a hash table over partitions), so nothing in it points into itself.
//
// The result does not depend on how many threads read the rows or in which order DuckDB combined
// partial states: the values of a group go to the package in the canonical order of the SQL
// extensions (canonical.hpp): the missing values first, then the numbers ascending from -inf to
// +inf with -0 before +0.
#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>

#include "canonical.hpp"
#include "extension.hpp"

namespace qvduck {

namespace {

// Values a fixed-state statistic keeps before it folds them into the host's aggregate.
constexpr std::uint32_t FOLD_AT = 256;
// Values one group may keep (DuckDB's own list is limited likewise).
constexpr std::uint32_t MAX_KEPT = 0x7FFFFFFFu;

struct State {
    Function *owner;   // for destroy, which DuckDB calls without the function
    double *values;    // count values when count > 1; null otherwise
    double one;        // the value when count == 1
    std::uint32_t count;
    std::uint32_t capacity;  // of values
    qvh_agg *folded;   // a fixed-state statistic's values folded so far; null before
    double param;      // the percentile or rank, when has_param
    bool has_param;
};

bool fixed_state(const qvh_info &info) { return info.merge == QVH_MERGE_FIXED; }

}  // namespace

// The addresses of the states this extension set up and DuckDB has not destroyed. DuckDB's
// constant-state paths (ORDER BY inside the call, a window over a whole partition) hand update one
// state for many rows, with whatever lies past it as the others; update accepts only states in
// this table and never reads a state it did not set up. Spread over shards so threads rarely wait.
struct StateTable {
    struct Shard {
        std::mutex mutex;
        std::unordered_set<std::uintptr_t> set;
    };
    std::array<Shard, 64> shards;
    // States set up and not destroyed. DuckDB destroys a state where it last put it, so when none
    // is left the table is emptied of the addresses states were copied away from.
    std::atomic<std::int64_t> live{0};

    Shard &shard(std::uintptr_t p) { return shards[(p >> 4) % shards.size()]; }
    void add(std::uintptr_t p) {
        ++live;  // before the insert: a concurrent emptying sees this state as live
        Shard &s = shard(p);
        std::lock_guard lock(s.mutex);
        s.set.insert(p);
    }
    bool has(std::uintptr_t p) {
        Shard &s = shard(p);
        std::lock_guard lock(s.mutex);
        return s.set.count(p) != 0;
    }
    // A state destroyed, or given up by update (below); the same state may come twice.
    void remove(std::uintptr_t p) noexcept {
        {
            Shard &s = shard(p);
            std::lock_guard lock(s.mutex);
            if (s.set.erase(p) == 0) return;
        }
        if (--live != 0) return;
        for (Shard &s : shards) s.mutex.lock();
        if (live == 0)
            for (Shard &s : shards) s.set.clear();
        for (Shard &s : shards) s.mutex.unlock();
    }
};

void delete_state_table(StateTable *t) noexcept { delete t; }

namespace {

Function &function_of(duckdb_function_info info) {
    return *static_cast<Function *>(duckdb_aggregate_function_get_extra_info(info));
}

// ---- a state's values ---------------------------------------------------------------------------

void free_values(const Function &f, State &st) noexcept {
    if (st.values != nullptr) f.reg->allocator.release(f.reg->allocator.ctx, st.values, st.capacity * sizeof(double));
    st.values = nullptr;
    st.capacity = 0;
    st.count = 0;
}

// Room for n more values in the state's block.
void reserve(const Function &f, State &st, std::size_t n) {
    if (n > MAX_KEPT - st.count) fail(f, "more than 2^31 values in one group");
    const std::uint32_t need = st.count + static_cast<std::uint32_t>(n);
    if (need <= 1 || need <= st.capacity) return;
    std::uint32_t cap = std::max<std::uint32_t>(st.capacity, 2);
    while (cap < need) cap = cap > MAX_KEPT / 2 ? MAX_KEPT : cap * 2;
    const qvh_allocator &a = f.reg->allocator;
    void *p = st.values == nullptr ? a.alloc(a.ctx, cap * sizeof(double))
                                   : a.resize(a.ctx, st.values, st.capacity * sizeof(double), cap * sizeof(double));
    if (p == nullptr) no_memory(f, (cap - st.capacity) * sizeof(double));
    st.values = static_cast<double *>(p);
    if (st.capacity == 0 && st.count == 1) st.values[0] = st.one;
    st.capacity = cap;
}

const double *values_of(const State &st) { return st.count == 1 && st.values == nullptr ? &st.one : st.values; }

unsigned agg_flags(const qvh_info &info) {
    // A statistic that merges by values keeps them, so that the result is one call over them in
    // the canonical order.
    return info.merge == QVH_MERGE_VALUES ? QVH_AGG_KEEP_VALUES : 0u;
}

qvh_agg *new_agg(const Function &f) {
    qvh_agg *agg = nullptr;
    int rc = qvh_agg_new_in(f.reg->pkg, f.info->name, agg_flags(*f.info), &f.reg->allocator, &agg);
    if (rc == QVH_OK) rc = qvh_agg_set_label(agg, f.label.c_str());
    if (rc != QVH_OK) {
        qvh_agg_free(agg);
        host_failure(f, rc);
    }
    return agg;
}

// A fixed-state statistic's kept values go into its host aggregate (their order does not matter
// to a count or an extreme).
void fold(const Function &f, State &st) {
    if (st.folded == nullptr) st.folded = new_agg(f);
    if (const int rc = qvh_agg_add_n(st.folded, values_of(st), st.count); rc != QVH_OK) host_failure(f, rc);
    free_values(f, st);
}

void add_values(const Function &f, State &st, const double *xs, std::size_t n) {
    if (n == 0) return;
    if (st.count == 0 && n == 1 && st.values == nullptr) {
        st.one = xs[0];
        st.count = 1;
        return;
    }
    reserve(f, st, n);
    std::memcpy(st.values + st.count, xs, n * sizeof(double));
    st.count += static_cast<std::uint32_t>(n);
    if (fixed_state(*f.info) && st.count >= FOLD_AT) fold(f, st);
}

void set_param(const Function &f, State &st, double p) {
    if (!st.has_param) {
        st.param = p;
        st.has_param = true;
    } else if (std::memcmp(&st.param, &p, sizeof p) != 0) {
        fail(f, "the percentile or rank must be one value for the whole query, such as 90 in " + f.label + "(90, x)");
    }
}

// ---- the callbacks ------------------------------------------------------------------------------

idx_t state_size(duckdb_function_info) { return sizeof(State); }

void state_init(duckdb_function_info info, duckdb_aggregate_state s) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        f.states->add(reinterpret_cast<std::uintptr_t>(s));
        *reinterpret_cast<State *>(s) = State{&f, nullptr, 0.0, 0, 0, nullptr, 0.0, false};
    });
}

// The state DuckDB handed with rows it gave no state for is given up at once: on this path DuckDB
// does not destroy it after the error, and its address must not stay in the table.
[[noreturn]] void refuse_unknown_state(const Function &f, duckdb_aggregate_state known) {
    if (known != nullptr) {
        State &st = *reinterpret_cast<State *>(known);
        free_values(f, st);
        qvh_agg_free(st.folded);
        st.folded = nullptr;
        f.states->remove(reinterpret_cast<std::uintptr_t>(known));
    }
    fail(f, "DuckDB handed this aggregate rows without their states, which it does for ORDER BY inside the "
            "call and for a window over a whole partition (OVER (), OVER (PARTITION BY ...) without ORDER BY, "
            "a frame UNBOUNDED PRECEDING to UNBOUNDED FOLLOWING); a qv_ aggregate supports neither: "
            "aggregate with GROUP BY and join the result, or give the window an ORDER BY");
}

// The percentile or rank: one value for every row (checked across the vector, so that a column
// given in its place is refused rather than read as a percentile per group).
void params(const Function &f, duckdb_data_chunk input, idx_t rows, std::vector<double> &ps) {
    ps.resize(rows);
    numbers_arg(f, 0, Column(duckdb_data_chunk_get_vector(input, 0)), rows, ps.data());
    for (idx_t i = 1; i < rows; ++i)
        if (std::memcmp(&ps[i], &ps[0], sizeof(double)) != 0)
            fail(f, "the percentile or rank must be one value for the whole query, such as 90 in " + f.label + "(90, x)");
}

void agg_update(duckdb_function_info info, duckdb_data_chunk input, duckdb_aggregate_state *states) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        const idx_t rows = duckdb_data_chunk_get_size(input);
        const std::size_t xcol = f.info->leading_param ? 1 : 0;
        std::vector<double> xs(rows), ps;
        numbers_arg(f, xcol, Column(duckdb_data_chunk_get_vector(input, xcol)), rows, xs.data());
        if (xcol == 1 && rows > 0) params(f, input, rows, ps);
        // Consecutive rows of one state (all of them, without GROUP BY) are added at once.
        for (idx_t i = 0; i < rows;) {
            idx_t end = i + 1;
            while (end < rows && states[end] == states[i]) ++end;
            if (!f.states->has(reinterpret_cast<std::uintptr_t>(states[i]))) refuse_unknown_state(f, i > 0 ? states[0] : nullptr);
            State &st = *reinterpret_cast<State *>(states[i]);
            if (xcol == 1) set_param(f, st, ps[0]);
            add_values(f, st, xs.data() + i, end - i);
            i = end;
        }
    });
}

// DuckDB combines partial states of one group: target takes source's values (source is left as
// it was; DuckDB destroys it afterwards).
void agg_combine(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_aggregate_state *target, idx_t count) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        for (idx_t i = 0; i < count; ++i) {
            const State &from = *reinterpret_cast<const State *>(source[i]);
            State &into = *reinterpret_cast<State *>(target[i]);
            if (from.has_param) set_param(f, into, from.param);
            if (from.folded != nullptr) {
                if (into.folded == nullptr) into.folded = new_agg(f);
                if (const int rc = qvh_agg_merge(into.folded, from.folded); rc != QVH_OK) host_failure(f, rc);
            }
            add_values(f, into, values_of(from), from.count);
        }
    });
}

void canonical_order(State &st) {
    if (st.count >= 2) qvsql::canonical_sort(st.values, st.count);
}

// The result of one group, from the state's own host aggregate or from scratch (reset here).
double result_of(const Function &f, State &st, qvh_agg *scratch, std::int32_t &status) {
    qvh_agg *agg = st.folded;
    if (agg == nullptr) {
        agg = scratch;
        qvh_agg_reset(agg);
        if (st.has_param)
            if (const int rc = qvh_agg_param(agg, st.param); rc != QVH_OK) host_failure(f, rc);
    }
    canonical_order(st);
    if (const int rc = qvh_agg_add_n(agg, values_of(st), st.count); rc != QVH_OK) host_failure(f, rc, qvh_agg_asked(agg));
    if (agg == st.folded) free_values(f, st);
    double r = qvh_dot();
    if (const int rc = qvh_agg_result(agg, &r, &status); rc != QVH_OK) host_failure(f, rc, qvh_agg_asked(agg));
    if (qvh_status_is_memory(status)) no_memory(f, qvh_agg_asked(agg));
    return r;
}

void agg_finalize(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_vector result, idx_t count,
                  idx_t offset) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        qvh_agg *scratch = new_agg(f);
        struct Free {
            qvh_agg *a;
            ~Free() { qvh_agg_free(a); }
        } free_scratch{scratch};
        const bool counts = f.info->fold == QVH_FOLD_COUNT;
        void *out = duckdb_vector_get_data(result);
        qvh_tally tally{};
        for (idx_t i = 0; i < count; ++i) {
            State &st = *reinterpret_cast<State *>(source[i]);
            const idx_t row = offset + i;
            if (f.info->leading_param && !st.has_param) {
                // No row, so no percentile or rank: there is nothing to compute.
                set_null(result, row);
                continue;
            }
            std::int32_t status = QVH_STATUS_OK;
            const double r = result_of(f, st, scratch, status);
            qvh_tally_add(&tally, status, 0);
            if (qvh_is_missing(r))
                set_null(result, row);
            else if (counts)
                static_cast<std::int64_t *>(out)[row] = static_cast<std::int64_t>(r);
            else
                static_cast<double *>(out)[row] = r;
        }
        char text[256];
        qvh_tally_describe(&tally, nullptr, text, sizeof text);
        const bool ok = tally.missing_arg + tally.invalid_arg + tally.not_a_number + tally.other == 0;
        f.reg->note(text, ok ? OK : NOT_OK);
    });
}

void state_destroy(duckdb_aggregate_state *states, idx_t count) {
    for (idx_t i = 0; i < count; ++i) {
        auto &st = *reinterpret_cast<State *>(states[i]);
        free_values(*st.owner, st);
        qvh_agg_free(st.folded);
        st.folded = nullptr;
        st.owner->states->remove(reinterpret_cast<std::uintptr_t>(states[i]));
    }
}

}  // namespace

bool register_aggregate(duckdb_connection con, Registry *reg, const qvh_info *info, const std::string &name) {
    duckdb_logical_type any = duckdb_create_logical_type(DUCKDB_TYPE_ANY);
    // Counts are whole numbers; every other statistic is a DOUBLE.
    duckdb_logical_type type = duckdb_create_logical_type(info->fold == QVH_FOLD_COUNT ? DUCKDB_TYPE_BIGINT : DUCKDB_TYPE_DOUBLE);
    duckdb_aggregate_function fn = duckdb_create_aggregate_function();
    duckdb_aggregate_function_set_name(fn, name.c_str());
    for (int k = 0; k < 1 + info->leading_param; ++k) duckdb_aggregate_function_add_parameter(fn, any);
    duckdb_aggregate_function_set_return_type(fn, type);
    duckdb_aggregate_function_set_special_handling(fn);
    duckdb_aggregate_function_set_functions(fn, state_size, state_init, agg_update, agg_combine, agg_finalize);
    duckdb_aggregate_function_set_destructor(fn, state_destroy);
    auto *f = new Function(reg, info, name);
    f->states = new StateTable;
    duckdb_aggregate_function_set_extra_info(fn, f, delete_function);
    const bool ok = duckdb_register_aggregate_function(con, fn) == DuckDBSuccess;
    duckdb_destroy_aggregate_function(&fn);
    duckdb_destroy_logical_type(&any);
    duckdb_destroy_logical_type(&type);
    return ok;
}

}  // namespace qvduck

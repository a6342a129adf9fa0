// The aggregates qv_x(x) and qv_x(p, x): DuckDB's states, the table of states this extension set
// up, and the canonical order of the values a result is computed over.
//
// A state in DuckDB's memory points to its group on this extension's heap, which holds the values:
// two inside it, more in a block of its own, and for a statistic with a fixed state (N, NMISS, MIN,
// MAX, RANGE) the host library's aggregate once the group outgrows a small block.
//
// The result does not depend on how many threads read the rows or in which order DuckDB combined
// partial states: the values of a group go to the package in the canonical order of the SQL
// extensions (canonical.hpp): the missing values first, then the numbers ascending from -inf to
// +inf with -0 before +0.
#include <algorithm>
#include <array>
#include <cstring>

#include "canonical.hpp"
#include "extension.hpp"
#include "state_table.hpp"

namespace qvduck {

namespace {

// Values a fixed-state statistic keeps before it folds them into the host's aggregate.
constexpr std::uint32_t FOLD_AT = 256;
// Values one group may keep (DuckDB's own list is limited likewise).
constexpr std::uint32_t MAX_KEPT = 0x7FFFFFFFu;

// DuckDB's state: 8 bytes in its memory. DuckDB may copy them elsewhere (when it spreads a hash
// table over partitions); the group stays where it is.
struct State {
    Group *group;
};

bool fixed_state(const qvh_info &info) { return info.merge == QVH_MERGE_FIXED; }

// The host's aggregate of a fixed-state statistic, or null (no values folded, or not one).
qvh_agg *folded_of(const Function &f, const Group &st) { return fixed_state(*f.info) ? st.folded : nullptr; }

}  // namespace

void delete_state_table(StateTable *t) noexcept { delete t; }

namespace {

Function &function_of(duckdb_function_info info) {
    return *static_cast<Function *>(duckdb_aggregate_function_get_extra_info(info));
}

// ---- a state's values ---------------------------------------------------------------------------

void free_values(const Function &f, Group &st) noexcept {
    if (st.capacity > 0) f.reg->allocator.release(f.reg->allocator.ctx, st.values, st.capacity * sizeof(double));
    st.capacity = 0;
    st.count = 0;
}

// Room for n more values: two stay inside the group, more go to a block of their own that grows
// by half.
void reserve(const Function &f, Group &st, std::size_t n) {
    if (n > MAX_KEPT - st.count) fail(f, "more than 2^31 values in one group");
    const std::uint32_t need = st.count + static_cast<std::uint32_t>(n);
    if (need <= (st.capacity == 0 ? INSIDE : st.capacity)) return;
    std::uint32_t cap = std::max<std::uint32_t>(st.capacity, 4);
    while (cap < need) cap = cap > MAX_KEPT / 3 * 2 ? MAX_KEPT : cap + cap / 2;
    const qvh_allocator &a = f.reg->allocator;
    void *p = st.capacity == 0 ? a.alloc(a.ctx, cap * sizeof(double))
                               : a.resize(a.ctx, st.values, st.capacity * sizeof(double), cap * sizeof(double));
    if (p == nullptr) no_memory(f, (cap - st.capacity) * sizeof(double));
    if (st.capacity == 0) std::memcpy(p, st.inside, st.count * sizeof(double));
    st.values = static_cast<double *>(p);
    st.capacity = cap;
}

const double *values_of(const Group &st) { return st.capacity == 0 ? st.inside : st.values; }
double *values_of(Group &st) { return st.capacity == 0 ? st.inside : st.values; }

qvh_agg *new_agg(const Function &f) {
    qvh_agg *agg = nullptr;
    int rc = qvh_agg_new_in(f.reg->pkg, f.info->name, 0, &f.reg->allocator, &agg);
    if (rc == QVH_OK) rc = qvh_agg_set_label(agg, f.label.c_str());
    if (rc != QVH_OK) {
        qvh_agg_free(agg);
        host_failure(f, rc);
    }
    return agg;
}

// A fixed-state statistic's kept values go into its host aggregate (their order does not matter
// to a count or an extreme).
void fold(const Function &f, Group &st) {
    if (st.folded == nullptr) st.folded = new_agg(f);
    if (const int rc = qvh_agg_add_n(st.folded, values_of(st), st.count); rc != QVH_OK) host_failure(f, rc);
    free_values(f, st);
}

void add_values(const Function &f, Group &st, const double *xs, std::size_t n) {
    if (n == 0) return;
    reserve(f, st, n);
    std::memcpy(values_of(st) + st.count, xs, n * sizeof(double));
    st.count += static_cast<std::uint32_t>(n);
    if (fixed_state(*f.info) && st.count >= FOLD_AT) fold(f, st);
}

void set_param(const Function &f, Group &st, double p) {
    if (!st.has_param) {
        st.param = p;
        st.has_param = true;
    } else if (std::memcmp(&st.param, &p, sizeof p) != 0) {
        fail(f, "the percentile or rank must be one value for the whole query, such as 90 in " + f.label + "(90, x)");
    }
}

// ---- the callbacks ------------------------------------------------------------------------------

idx_t state_size(duckdb_function_info) { return sizeof(State); }

Group &group_of(duckdb_aggregate_state s) { return *reinterpret_cast<State *>(s)->group; }

void state_init(duckdb_function_info info, duckdb_aggregate_state s) {
    Function &f = function_of(info);
    reinterpret_cast<State *>(s)->group = nullptr;
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        const auto home = reinterpret_cast<std::uintptr_t>(s);
        auto *g = new Group{&f, home, {nullptr}, 0, 0, {nullptr}, false};
        try {
            f.states->add(g);
        } catch (...) {
            delete g;
            throw;
        }
        reinterpret_cast<State *>(s)->group = g;
    });
}

// The state DuckDB handed with rows it gave no state for is given up at once (DuckDB does not
// destroy it after the error), and the table forgets every state.
[[noreturn]] void refuse_unknown_state(const Function &f, Group *known) {
    if (known != nullptr) {
        Group &st = *known;
        free_values(f, st);
        qvh_agg_free(folded_of(f, st));
        if (fixed_state(*f.info)) st.folded = nullptr;
    }
    f.states->forget_all();
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
            Group *g = f.states->find(reinterpret_cast<std::uintptr_t>(states[i]));
            if (g == nullptr) refuse_unknown_state(f, i > 0 ? f.states->find(reinterpret_cast<std::uintptr_t>(states[0])) : nullptr);
            Group &st = *g;
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
            const Group &from = group_of(source[i]);
            Group &into = group_of(target[i]);
            if (from.has_param) set_param(f, into, from.param);
            if (folded_of(f, from) != nullptr) {
                if (into.folded == nullptr) into.folded = new_agg(f);
                if (const int rc = qvh_agg_merge(into.folded, from.folded); rc != QVH_OK) host_failure(f, rc);
            }
            add_values(f, into, values_of(from), from.count);
        }
    });
}

// The result of one group: one call over its values in the canonical order, or the host's
// aggregate of a fixed-state statistic that has folded values.
double result_of(const Function &f, Group &st, qvh_call *call, std::int32_t &status) {
    double r = qvh_dot();
    if (qvh_agg *agg = folded_of(f, st); agg != nullptr) {
        if (const int rc = qvh_agg_add_n(agg, values_of(st), st.count); rc != QVH_OK) host_failure(f, rc, qvh_agg_asked(agg));
        free_values(f, st);
        if (const int rc = qvh_agg_result(agg, &r, &status); rc != QVH_OK) host_failure(f, rc, qvh_agg_asked(agg));
        if (qvh_status_is_memory(status)) no_memory(f, qvh_agg_asked(agg));
        return r;
    }
    qvsql::canonical_sort(values_of(st), st.count);
    const double *lead = st.has_param ? &st.param : nullptr;
    if (const int rc = qvh_call_over(call, lead, lead ? 1 : 0, values_of(st), st.count, sizeof(double), &r, &status, nullptr);
        rc != QVH_OK)
        host_failure(f, rc, qvh_call_asked(call));
    return r;
}

void agg_finalize(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_vector result, idx_t count,
                  idx_t offset) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        qvh_call *call = nullptr;
        if (const int rc = qvh_call_new(f.reg->pkg, f.info->name, &call); rc != QVH_OK) host_failure(f, rc);
        struct Free {
            qvh_call *c;
            ~Free() { qvh_call_free(c); }
        } free_call{call};
        if (const int rc = qvh_call_set_label(call, f.label.c_str()); rc != QVH_OK) host_failure(f, rc);
        const bool counts = f.info->fold == QVH_FOLD_COUNT;
        void *out = duckdb_vector_get_data(result);
        qvh_tally tally{};
        for (idx_t i = 0; i < count; ++i) {
            Group &st = group_of(source[i]);
            const idx_t row = offset + i;
            if (f.info->leading_param && !st.has_param) {
                // No row, so no percentile or rank: there is nothing to compute.
                set_null(result, row);
                continue;
            }
            std::int32_t status = QVH_STATUS_OK;
            const double r = result_of(f, st, call, status);
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
        Group *g = reinterpret_cast<State *>(states[i])->group;
        if (g == nullptr) continue;  // its set-up failed
        free_values(*g->owner, *g);
        qvh_agg_free(folded_of(*g->owner, *g));
        g->owner->states->remove(g->home, g);
        delete g;
        reinterpret_cast<State *>(states[i])->group = nullptr;
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

// The aggregates qv_x(x) and qv_x(p, x): DuckDB's callbacks over the groups of groups.hpp, and
// their registration.
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "groups.hpp"

namespace qvduck {

namespace {

Function &function_of(duckdb_function_info info) {
    return *static_cast<Function *>(duckdb_aggregate_function_get_extra_info(info));
}

idx_t state_size(duckdb_function_info) { return sizeof(State); }

void state_init(duckdb_function_info info, duckdb_aggregate_state s) {
    Function &f = function_of(info);
    reinterpret_cast<State *>(s)->group = nullptr;
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        Group *g = new_group(f, reinterpret_cast<std::uintptr_t>(s));
        try {
            f.states->add(g);
        } catch (...) {
            free_group(f, g);
            throw;
        }
        reinterpret_cast<State *>(s)->group = g;
    });
}

// The state DuckDB handed with rows it gave no state for keeps nothing more (DuckDB does not
// destroy it after the error), and the table forgets every state.
[[noreturn]] void refuse_unknown_state(const Function &f, duckdb_aggregate_state known) {
    f.states->forget_all();
    if (known != nullptr) empty_group(f, known);
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

// The list of percentiles of the form qv_pctl([10, 50, 90], x): one list for every row (checked
// across the vector), each percentile NULL as '.'; its number in the function's lists, 0 for a
// NULL list.
void percentile_list(Function &f, duckdb_data_chunk input, idx_t rows, std::vector<double> &ps) {
    duckdb_vector lists = duckdb_data_chunk_get_vector(input, 0);
    const auto *entries = static_cast<const duckdb_list_entry *>(duckdb_vector_get_data(lists));
    const std::uint64_t *valid = duckdb_vector_get_validity(lists);
    duckdb_vector child = duckdb_list_vector_get_child(lists);
    const auto *values = static_cast<const double *>(duckdb_vector_get_data(child));
    const std::uint64_t *child_valid = duckdb_vector_get_validity(child);
    auto null_at = [](const std::uint64_t *mask, idx_t i) { return mask != nullptr && !duckdb_validity_row_is_valid(const_cast<std::uint64_t *>(mask), i); };
    auto list_at = [&](idx_t row, std::vector<double> &out) {
        out.clear();
        if (null_at(valid, row)) return false;
        for (idx_t k = 0; k < entries[row].length; ++k) {
            const idx_t at = entries[row].offset + k;
            out.push_back(null_at(child_valid, at) ? qvh_dot() : values[at]);
        }
        return true;
    };
    std::vector<double> first, other;
    const bool present = list_at(0, first);
    for (idx_t i = 1; i < rows; ++i) {
        const bool same = list_at(i, other) == present && other.size() == first.size() &&
                          (first.empty() || std::memcmp(other.data(), first.data(), first.size() * sizeof(double)) == 0);
        if (!same)
            fail(f, "the percentiles must be one list for the whole query, such as [10, 50, 90] in " + f.label + "([10, 50, 90], x)");
    }
    ps.assign(rows, std::bit_cast<double>(present ? f.list_number(first) : std::uint64_t{0}));
}

// The rows of a chunk by state: the states in the order of their first rows, and the values of
// each state's rows gathered in the order of the rows.
struct ChunkGroups {
    std::vector<idx_t> first;        // the first row of each state
    std::vector<std::size_t> start;  // where each state's values begin in values, and their end
    std::unique_ptr<double[]> values;

    ChunkGroups(const duckdb_aggregate_state *states, const double *xs, idx_t rows) : values(new double[rows]) {
        // An open-addressing table of the states seen: each slot's state, and its number plus one
        // (0: empty; only these are cleared). States lie at least 8 bytes apart; the top bits of
        // their address times 2^64 / phi choose the slot.
        const std::size_t room = std::bit_ceil(static_cast<std::size_t>(2 * rows));
        const int shift = 64 - std::countr_zero(room);
        std::unique_ptr<std::uintptr_t[]> keys(new std::uintptr_t[room]);
        std::unique_ptr<std::uint32_t[]> slots(new std::uint32_t[room]()), which(new std::uint32_t[rows]);
        std::vector<std::size_t> count;
        first.reserve(rows);
        count.reserve(rows);
        for (idx_t i = 0; i < rows; ++i) {
            const auto key = reinterpret_cast<std::uintptr_t>(states[i]);
            std::size_t at = static_cast<std::size_t>(((key >> 3) * 0x9E3779B97F4A7C15ULL) >> shift);
            while (slots[at] != 0 && keys[at] != key) at = (at + 1) & (room - 1);
            if (slots[at] == 0) {
                first.push_back(i);
                count.push_back(0);
                keys[at] = key;
                slots[at] = static_cast<std::uint32_t>(first.size());
            }
            which[i] = slots[at] - 1;
            ++count[which[i]];
        }
        start.resize(first.size() + 1);
        for (std::size_t d = 0; d < first.size(); ++d) start[d + 1] = start[d] + count[d];
        for (std::size_t d = 0; d < first.size(); ++d) count[d] = start[d];
        for (idx_t i = 0; i < rows; ++i) values[count[which[i]]++] = xs[i];
    }
};

void agg_update(duckdb_function_info info, duckdb_data_chunk input, duckdb_aggregate_state *states) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        const idx_t rows = duckdb_data_chunk_get_size(input);
        const std::size_t xcol = f.info->leading_param ? 1 : 0;
        std::vector<double> xs(rows), ps;
        numbers_arg(f, xcol, Column(duckdb_data_chunk_get_vector(input, xcol)), rows, xs.data());
        if (xcol == 1 && rows > 0) {
            if (f.percentile_list) percentile_list(f, input, rows, ps);
            else params(f, input, rows, ps);
        }
        // Each state is found once and takes its rows' values at once, in the order of the rows:
        // consecutive rows of one state (all of them, without GROUP BY) as they stand, the rows of
        // many groups scattered over the chunk once gathered by state.
        auto add = [&](duckdb_aggregate_state state, idx_t first_row, Group *g, const double *values, std::size_t n) {
            if (g == nullptr)
                refuse_unknown_state(f, first_row > 0 && f.states->find(reinterpret_cast<std::uintptr_t>(states[0])) ? states[0] : nullptr);
            if (xcol == 1) set_param(f, *g, ps[0]);
            add_values(f, state, *g, values, n);
        };
        idx_t runs = 0;
        for (idx_t i = 0; i < rows; ++i) runs += i == 0 || states[i] != states[i - 1] ? 1 : 0;
        if (runs * 8 <= rows) {
            for (idx_t i = 0; i < rows;) {
                idx_t end = i + 1;
                while (end < rows && states[end] == states[i]) ++end;
                add(states[i], i, f.states->find(reinterpret_cast<std::uintptr_t>(states[i])), xs.data() + i, end - i);
                i = end;
            }
            return;
        }
        ChunkGroups by(states, xs.data(), rows);
        const std::size_t distinct = by.first.size();
        std::vector<std::uintptr_t> keys(distinct);
        std::vector<Group *> groups(distinct);
        for (std::size_t d = 0; d < distinct; ++d) keys[d] = reinterpret_cast<std::uintptr_t>(states[by.first[d]]);
        f.states->find_all(keys.data(), distinct, groups.data());
        for (std::size_t d = 0; d < distinct; ++d)
            add(states[by.first[d]], by.first[d], groups[d], by.values.get() + by.start[d], by.start[d + 1] - by.start[d]);
    });
}

// DuckDB combines partial states of one group: target takes source's values (source is left as
// it was; DuckDB destroys it afterwards).
void agg_combine(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_aggregate_state *target, idx_t count) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        for (idx_t i = 0; i < count; ++i) add_group(f, target[i], group_of(source[i]));
    });
}

// A finalize's frame: the function's call, labelled, for the groups body(f, call, tally) finishes,
// their statuses tallied into the report once all are done.
template <class Body>
void finalizing(duckdb_function_info info, Body &&body) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        qvh_call *call = nullptr;
        if (const int rc = qvh_call_new(f.reg->pkg, f.info->name, &call); rc != QVH_OK) host_failure(f, rc);
        struct Free {
            qvh_call *c;
            ~Free() { qvh_call_free(c); }
        } free_call{call};
        if (const int rc = qvh_call_set_label(call, f.label.c_str()); rc != QVH_OK) host_failure(f, rc);
        qvh_tally tally{};
        body(f, call, tally);
        char text[256];
        qvh_tally_describe(&tally, nullptr, text, sizeof text);
        const bool ok = tally.missing_arg + tally.invalid_arg + tally.not_a_number + tally.other == 0;
        f.reg->note(text, ok ? OK : NOT_OK);
    });
}

void agg_finalize(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_vector result, idx_t count,
                  idx_t offset) {
    finalizing(info, [&](Function &f, qvh_call *call, qvh_tally &tally) {
        const bool counts = f.info->fold == QVH_FOLD_COUNT;
        void *out = duckdb_vector_get_data(result);
        for (idx_t i = 0; i < count; ++i) {
            Group &g = group_of(source[i]);
            const idx_t row = offset + i;
            if (f.info->leading_param && !has_param(f, g)) {
                // No row, so no percentile or rank: there is nothing to compute.
                set_null(result, row);
                continue;
            }
            std::int32_t status = QVH_STATUS_OK;
            const double r = result_of(f, g, call, status);
            qvh_tally_add(&tally, status, 0);
            if (qvh_is_missing(r))
                set_null(result, row);
            else if (counts)
                static_cast<std::int64_t *>(out)[row] = static_cast<std::int64_t>(r);
            else
                static_cast<double *>(out)[row] = r;
        }
    });
}

// The form over a list of percentiles: each group's values ordered once for all of its list
// (qvh_call_percentiles), a list of results in the list's order; NULL for a NULL list and for no
// rows.
void agg_finalize_list(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_vector result, idx_t count,
                       idx_t offset) {
    finalizing(info, [&](Function &f, qvh_call *call, qvh_tally &tally) {
        duckdb_vector child = duckdb_list_vector_get_child(result);
        for (idx_t i = 0; i < count; ++i) {
            Group &g = group_of(source[i]);
            const idx_t row = offset + i;
            const std::uint64_t number = has_param(f, g) ? std::bit_cast<std::uint64_t>(param_of(static_cast<Values &>(g))) : 0;
            if (number == 0) {
                set_null(result, row);
                continue;
            }
            const std::vector<double> ps = f.list_of(number);
            std::size_t n = 0;
            const double *xs = ordered_values(f, g, n);
            std::vector<double> r(ps.size());
            std::vector<std::int32_t> st(ps.size());
            if (const int rc = qvh_call_percentiles(call, ps.data(), ps.size(), xs, n, sizeof(double), r.data(), st.data(), nullptr);
                rc != QVH_OK)
                host_failure(f, rc, qvh_call_asked(call));
            const idx_t at = duckdb_list_vector_get_size(result);
            if (duckdb_list_vector_reserve(result, at + ps.size()) != DuckDBSuccess ||
                duckdb_list_vector_set_size(result, at + ps.size()) != DuckDBSuccess)
                qvsql::no_memory(f.label.c_str(), ps.size() * sizeof(double));
            auto *out = static_cast<double *>(duckdb_vector_get_data(child));
            for (std::size_t k = 0; k < ps.size(); ++k) {
                qvh_tally_add(&tally, st[k], 0);
                if (qvh_is_missing(r[k])) set_null(child, at + k);
                else out[at + k] = r[k];
            }
            static_cast<duckdb_list_entry *>(duckdb_vector_get_data(result))[row] = duckdb_list_entry{at, ps.size()};
        }
    });
}

void state_destroy(duckdb_aggregate_state *states, idx_t count) {
    for (idx_t i = 0; i < count; ++i) {
        Group *g = reinterpret_cast<State *>(states[i])->group;
        if (g == nullptr) continue;  // its set-up failed
        const Function &f = numbered_function(g->number);
        f.states->remove(g->home, g);
        free_group(f, g);
        reinterpret_cast<State *>(states[i])->group = nullptr;
    }
}

// Whether the host library takes several percentiles of the function at once (PCTL, PCTL1 to PCTL5).
bool takes_percentiles(Registry *reg, const qvh_info *info) {
    qvh_call *call = nullptr;
    if (qvh_call_new(reg->pkg, info->name, &call) != QVH_OK) return false;
    const bool takes = qvh_call_percentiles(call, nullptr, 0, nullptr, 0, sizeof(double), nullptr, nullptr, nullptr) == QVH_OK;
    qvh_call_free(call);
    return takes;
}

// One overload of the aggregate: (x), (p, x) or, for the list form, (list, x).
duckdb_aggregate_function make_aggregate(Registry *reg, const qvh_info *info, const std::string &name, bool list, Function *&f) {
    f = make<Function>(reg, info, name);
    f->percentile_list = list;
    f->states = new (std::nothrow) StateTable;
    if (f->states == nullptr) {
        delete f;
        qvsql::no_memory(LOADER, sizeof(StateTable));
    }
    duckdb_logical_type any = duckdb_create_logical_type(DUCKDB_TYPE_ANY);
    duckdb_logical_type dbl = duckdb_create_logical_type(DUCKDB_TYPE_DOUBLE);
    duckdb_logical_type dbl_list = duckdb_create_list_type(dbl);
    // Counts are whole numbers; every other statistic is a DOUBLE, the list form a list of them.
    duckdb_logical_type count = duckdb_create_logical_type(DUCKDB_TYPE_BIGINT);
    duckdb_aggregate_function fn = duckdb_create_aggregate_function();
    duckdb_aggregate_function_set_name(fn, name.c_str());
    // A percentile that also has the list form takes a DOUBLE: a parameter of type ANY would be
    // chosen for a list too.
    if (info->leading_param) duckdb_aggregate_function_add_parameter(fn, list ? dbl_list : takes_percentiles(reg, info) ? dbl : any);
    duckdb_aggregate_function_add_parameter(fn, any);
    duckdb_aggregate_function_set_return_type(fn, list ? dbl_list : info->fold == QVH_FOLD_COUNT ? count : dbl);
    duckdb_aggregate_function_set_special_handling(fn);
    duckdb_aggregate_function_set_functions(fn, state_size, state_init, agg_update, agg_combine, list ? agg_finalize_list : agg_finalize);
    duckdb_aggregate_function_set_destructor(fn, state_destroy);
    f->states->number = number(f);
    if (kind_of(*info) == Kind::Count) {
        // Whether the count is of the missing values or of the others, as the package counts one '.'.
        const double dot = qvh_dot();
        double r = 0;
        std::int32_t status = 0;
        f->counts_missing = qvh_eval(reg->pkg, info->name, &dot, 1, &r, &status) == QVH_OK && r == 1;
    }
    duckdb_aggregate_function_set_extra_info(fn, f, delete_function);
    duckdb_destroy_logical_type(&any);
    duckdb_destroy_logical_type(&dbl_list);
    duckdb_destroy_logical_type(&dbl);
    duckdb_destroy_logical_type(&count);
    return fn;
}

}  // namespace

// The aggregate, and for a percentile its form over a list of percentiles beside it.
bool register_aggregate(duckdb_connection con, Registry *reg, const qvh_info *info, const std::string &name) {
    duckdb_aggregate_function_set set = duckdb_create_aggregate_function_set(name.c_str());
    bool ok = set != nullptr;
    for (const bool list : {false, true}) {
        if (!ok || (list && !(info->leading_param && takes_percentiles(reg, info)))) continue;
        Function *f = nullptr;
        duckdb_aggregate_function fn = make_aggregate(reg, info, name, list, f);
        // (more than 65535 aggregates registered at once in the process: the last are refused)
        ok = f->states->number != 0 && duckdb_add_aggregate_function_to_set(set, fn) == DuckDBSuccess;
        duckdb_destroy_aggregate_function(&fn);
    }
    ok = ok && duckdb_register_aggregate_function_set(con, set) == DuckDBSuccess;
    duckdb_destroy_aggregate_function_set(&set);
    return ok;
}

}  // namespace qvduck

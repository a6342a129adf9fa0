// The aggregates qv_x(x) and qv_x(p, x): DuckDB's states, the table of states this extension set
// up, and the canonical order of the values a result is computed over.
//
// A state in DuckDB's memory points to its group on this extension's heap: one block holding what
// the statistic needs. A count (N, NMISS) keeps its count; an extreme (MIN, MAX, RANGE) the few
// values its result can depend on; every other statistic its values, in a block that grows by two
// values at a time while the group is small.
//
// The result does not depend on how many threads read the rows or in which order DuckDB combined
// partial states: the values of a group go to the package in the canonical order of the SQL
// extensions (canonical.hpp): the missing values first, then the numbers ascending from -inf to
// +inf with -0 before +0.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "canonical.hpp"
#include "extension.hpp"
#include "state_table.hpp"

namespace qvduck {

namespace {

// Values one group may keep (DuckDB's own list is limited likewise).
constexpr std::uint32_t MAX_KEPT = 0x7FFFFFFFu;
// Below this many values a group's block grows by two values at a time, beyond it by half.
constexpr std::uint32_t SMALL = 32;

// DuckDB's state: 8 bytes in its memory. DuckDB may copy them elsewhere (when it spreads a hash
// table over partitions); the group stays where it is.
struct State {
    Group *group;
};

// N and NMISS: how many values the statistic counts.
struct Count : Group {
    std::uint64_t n;
};

// MIN, MAX and RANGE over values in the canonical order depend only on the first and the last
// number, and on which zeros are there (+0 and -0 compare equal, and which of them the package
// keeps depends on their order); a NaN is the missing value '.' to the package. These few values
// in the canonical order give the package's result over all of them.
struct Extremes : Group {
    double lo, hi;          // the first and the last number in the canonical order
    std::uint8_t seen;      // NUMBER, MINUS_ZERO, PLUS_ZERO
    char missing;           // the letter of the first missing value in the canonical order, or 0
};
enum : std::uint8_t { NUMBER = 1, MINUS_ZERO = 2, PLUS_ZERO = 4 };

// Every other statistic: count values (and, first, the percentile or rank of a statistic that
// takes one) in the block after the header.
struct Values : Group {
    std::uint32_t count;
    std::uint32_t capacity : 31;
    std::uint32_t has_param : 1;
};
static_assert(sizeof(Count) == 24 && sizeof(Extremes) == 40 && sizeof(Values) == 24);

enum class Kind { Count, Extremes, Values };

Kind kind_of(const qvh_info &info) {
    if (info.merge != QVH_MERGE_FIXED || info.leading_param) return Kind::Values;
    return info.fold == QVH_FOLD_COUNT ? Kind::Count : info.fold == QVH_FOLD_EXTREME || info.fold == QVH_FOLD_RANGE ? Kind::Extremes : Kind::Values;
}

// A value as the package reads it: a NaN that is no missing value is '.'.
bool missing(double x) { return x != x || qvh_is_missing(x); }

}  // namespace

void delete_state_table(StateTable *t) noexcept { delete t; }

namespace {

Function &function_of(duckdb_function_info info) {
    return *static_cast<Function *>(duckdb_aggregate_function_get_extra_info(info));
}

// ---- a group's block ----------------------------------------------------------------------------

std::size_t lead(const Function &f) { return f.info->leading_param ? 1 : 0; }
double *slots(Values &v) { return reinterpret_cast<double *>(&v + 1); }
double &param_of(Values &v) { return slots(v)[0]; }
double *values_of(const Function &f, Values &v) { return slots(v) + lead(f); }
std::size_t values_bytes(const Function &f, std::size_t capacity) { return sizeof(Values) + (lead(f) + capacity) * sizeof(double); }

// The room for at least need values that fills the heap's block: its blocks come in steps of 16
// bytes with 8 of them the heap's own.
std::uint32_t room_for(const Function &f, std::uint32_t need) {
    std::uint32_t cap = std::max<std::uint32_t>(need, 1);
    if ((values_bytes(f, cap) + 8) % 16 != 0 && cap < MAX_KEPT) ++cap;
    return cap;
}

std::size_t bytes_of(const Function &f, Group &g) {
    switch (kind_of(*f.info)) {
        case Kind::Count: return sizeof(Count);
        case Kind::Extremes: return sizeof(Extremes);
        default: return values_bytes(f, static_cast<Values &>(g).capacity);
    }
}

void free_group(const Function &f, Group *g) noexcept { f.reg->allocator.release(f.reg->allocator.ctx, g, bytes_of(f, *g)); }

// Room for n more values in the group of state s, whose block may move (DuckDB's state and the
// table then point to the new one).
Values &reserve(const Function &f, duckdb_aggregate_state s, Values &v, std::size_t n) {
    if (n > MAX_KEPT - v.count) fail(f, "more than 2^31 values in one group");
    const std::uint32_t need = v.count + static_cast<std::uint32_t>(n);
    if (need <= v.capacity) return v;
    std::uint32_t cap = v.capacity;
    while (cap < need) cap = cap > MAX_KEPT / 3 * 2 ? MAX_KEPT : cap < SMALL ? cap + 2 : cap + cap / 2;
    cap = room_for(f, cap);
    const qvh_allocator &a = f.reg->allocator;
    void *p = a.resize(a.ctx, &v, values_bytes(f, v.capacity), values_bytes(f, cap));
    if (p == nullptr) no_memory(f, (cap - v.capacity) * sizeof(double));
    auto *now = static_cast<Values *>(p);
    now->capacity = cap;
    if (now != &v) {
        f.states->replace(now->home, &v, now);
        reinterpret_cast<State *>(s)->group = now;
    }
    return *now;
}

void add_values(const Function &f, duckdb_aggregate_state s, Group &g, const double *xs, std::size_t n) {
    if (n == 0) return;
    switch (kind_of(*f.info)) {
        case Kind::Count: {
            auto &c = static_cast<Count &>(g);
            for (std::size_t i = 0; i < n; ++i) c.n += missing(xs[i]) == f.counts_missing;
            return;
        }
        case Kind::Extremes: {
            auto &e = static_cast<Extremes &>(g);
            for (std::size_t i = 0; i < n; ++i) {
                const double x = xs[i];
                if (missing(x)) {
                    double first = 0;
                    const double m = x != x && !qvh_is_missing(x) ? qvh_dot() : x;
                    if (e.missing == 0 || (qvh_missing(e.missing, &first) == QVH_OK &&
                                           qvsql::canonical_key(std::bit_cast<std::uint64_t>(m)) <
                                               qvsql::canonical_key(std::bit_cast<std::uint64_t>(first))))
                        e.missing = qvh_missing_letter(m);
                    continue;
                }
                const std::uint64_t k = qvsql::canonical_key(std::bit_cast<std::uint64_t>(x));
                if (!(e.seen & NUMBER)) {
                    e.lo = e.hi = x;
                } else {
                    if (k < qvsql::canonical_key(std::bit_cast<std::uint64_t>(e.lo))) e.lo = x;
                    if (k > qvsql::canonical_key(std::bit_cast<std::uint64_t>(e.hi))) e.hi = x;
                }
                e.seen |= NUMBER | (x == 0 ? (std::signbit(x) ? MINUS_ZERO : PLUS_ZERO) : 0);
            }
            return;
        }
        case Kind::Values: {
            Values &v = reserve(f, s, static_cast<Values &>(g), n);
            std::memcpy(values_of(f, v) + v.count, xs, n * sizeof(double));
            v.count += static_cast<std::uint32_t>(n);
            return;
        }
    }
}

void set_param(const Function &f, Group &g, double p) {
    auto &v = static_cast<Values &>(g);
    if (!v.has_param) {
        param_of(v) = p;
        v.has_param = 1;
    } else if (std::memcmp(&param_of(v), &p, sizeof p) != 0) {
        fail(f, "the percentile or rank must be one value for the whole query, such as 90 in " + f.label + "(90, x)");
    }
}

bool has_param(const Function &f, Group &g) { return f.info->leading_param && static_cast<Values &>(g).has_param; }

// ---- the callbacks ------------------------------------------------------------------------------

idx_t state_size(duckdb_function_info) { return sizeof(State); }

Group &group_of(duckdb_aggregate_state s) { return *reinterpret_cast<State *>(s)->group; }

void state_init(duckdb_function_info info, duckdb_aggregate_state s) {
    Function &f = function_of(info);
    reinterpret_cast<State *>(s)->group = nullptr;
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        const Kind kind = kind_of(*f.info);
        const std::uint32_t cap = kind == Kind::Values ? room_for(f, 1) : 0;
        const std::size_t bytes = kind == Kind::Count ? sizeof(Count) : kind == Kind::Extremes ? sizeof(Extremes) : values_bytes(f, cap);
        void *p = f.reg->allocator.alloc(f.reg->allocator.ctx, bytes);
        if (p == nullptr) no_memory(f, bytes);
        std::memset(p, 0, bytes);
        auto *g = static_cast<Group *>(p);
        g->owner = &f;
        g->home = reinterpret_cast<std::uintptr_t>(s);
        if (kind == Kind::Values) static_cast<Values *>(g)->capacity = cap;
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
    if (known != nullptr && kind_of(*f.info) == Kind::Values) {
        auto &v = static_cast<Values &>(group_of(known));
        const std::uint32_t cap = room_for(f, 1);
        if (v.capacity > cap) {
            const qvh_allocator &a = f.reg->allocator;
            if (void *p = a.resize(a.ctx, &v, values_bytes(f, v.capacity), values_bytes(f, cap))) {
                reinterpret_cast<State *>(known)->group = static_cast<Group *>(p);
                static_cast<Values *>(p)->capacity = cap;
            }
        }
        static_cast<Values &>(group_of(known)).count = 0;
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
            if (g == nullptr) refuse_unknown_state(f, i > 0 && f.states->find(reinterpret_cast<std::uintptr_t>(states[0])) ? states[0] : nullptr);
            if (xcol == 1) set_param(f, *g, ps[0]);
            add_values(f, states[i], *g, xs.data() + i, end - i);
            i = end;
        }
    });
}

// DuckDB combines partial states of one group: target takes source's values (source is left as
// it was; DuckDB destroys it afterwards).
void agg_combine(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_aggregate_state *target, idx_t count) {
    Function &f = function_of(info);
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        const Kind kind = kind_of(*f.info);
        for (idx_t i = 0; i < count; ++i) {
            Group &from = group_of(source[i]);
            Group &into = group_of(target[i]);
            if (kind == Kind::Count) {
                static_cast<Count &>(into).n += static_cast<Count &>(from).n;
            } else if (kind == Kind::Extremes) {
                auto &e = static_cast<Extremes &>(from);
                double reps[3] = {0, 0, 0};
                std::size_t n = 0;
                if (e.missing != 0) qvh_missing(e.missing, &reps[n++]);
                if (e.seen & NUMBER) reps[n++] = e.lo, reps[n++] = e.hi;
                add_values(f, target[i], into, reps, n);
                static_cast<Extremes &>(into).seen |= e.seen;
            } else {
                if (has_param(f, from)) set_param(f, into, param_of(static_cast<Values &>(from)));
                auto &v = static_cast<Values &>(from);
                add_values(f, target[i], into, values_of(f, v), v.count);
            }
        }
    });
}

// The result of one group: one call over its values in the canonical order, a count, or one call
// over the values an extreme depends on.
double result_of(const Function &f, Group &g, qvh_call *call, std::int32_t &status) {
    double r = qvh_dot();
    const double *xs = nullptr;
    std::size_t n = 0;
    double reps[5];
    const double *lead = nullptr;
    switch (kind_of(*f.info)) {
        case Kind::Count:
            status = QVH_STATUS_OK;
            return static_cast<double>(static_cast<Count &>(g).n);
        case Kind::Extremes: {
            auto &e = static_cast<Extremes &>(g);
            if (e.missing != 0) qvh_missing(e.missing, &reps[n++]);
            if (e.seen & NUMBER) reps[n++] = e.lo, reps[n++] = e.hi;
            if (e.seen & MINUS_ZERO) reps[n++] = -0.0;
            if (e.seen & PLUS_ZERO) reps[n++] = 0.0;
            qvsql::canonical_sort(reps, n);
            xs = reps;
            break;
        }
        case Kind::Values: {
            auto &v = static_cast<Values &>(g);
            qvsql::canonical_sort(values_of(f, v), v.count);
            xs = values_of(f, v);
            n = v.count;
            if (v.has_param) lead = &param_of(v);
            break;
        }
    }
    if (const int rc = qvh_call_over(call, lead, lead ? 1 : 0, xs, n, sizeof(double), &r, &status, nullptr); rc != QVH_OK)
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
        const Function &f = *g->owner;
        f.states->remove(g->home, g);
        free_group(f, g);
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
    if (kind_of(*info) == Kind::Count) {
        // Whether the count is of the missing values or of the others, as the package counts one '.'.
        const double dot = qvh_dot();
        double r = 0;
        std::int32_t status = 0;
        f->counts_missing = qvh_eval(reg->pkg, info->name, &dot, 1, &r, &status) == QVH_OK && r == 1;
    }
    duckdb_aggregate_function_set_extra_info(fn, f, delete_function);
    const bool ok = duckdb_register_aggregate_function(con, fn) == DuckDBSuccess;
    duckdb_destroy_aggregate_function(&fn);
    duckdb_destroy_logical_type(&any);
    duckdb_destroy_logical_type(&type);
    return ok;
}

}  // namespace qvduck

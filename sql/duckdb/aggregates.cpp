// The aggregates qv_x(x) and qv_x(p, x): DuckDB's states, the table of states this extension set
// up, and the canonical order of the values a result is computed over.
//
// A state in DuckDB's memory points to its group on this extension's heap: one block holding what
// the statistic needs. A count (N, NMISS) keeps its count; an extreme (MIN, MAX, RANGE) the few
// values its result can depend on; every other statistic its values, in a block that starts with
// room for one and grows by two values at a time while the group is small, so that the many
// one-row partial states DuckDB makes when groups overflow its threads' hash tables stay small.
//
// The result does not depend on how many threads read the rows or in which order DuckDB combined
// partial states: the values of a group go to the package in the canonical order of the SQL
// extensions (canonical.hpp): the missing values first, then the numbers ascending from -inf to
// +inf with -0 before +0.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

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
// in the canonical order give the package's result over all of them. The block has room for the
// first number only (room 1) until a second one comes (room 2); count holds the letter of the
// first missing value in the canonical order (0: none).
struct Extremes : Group {
    double x[2];  // the first and the last number in the canonical order
};
enum : std::uint8_t { NUMBER = 1, MINUS_ZERO = 2, PLUS_ZERO = 4, HAS_PARAM = 8 };

// Every other statistic: count values (and, first, the percentile or rank of a statistic that
// takes one) in the block after the header; room numbers the block's size (capacity()).
struct Values : Group {};

static_assert(sizeof(Count) == 24 && sizeof(Extremes) == 32 && sizeof(Values) == 16);

enum class Kind { Count, Extremes, Values };

Kind kind_of(const qvh_info &info) {
    if (info.merge != QVH_MERGE_FIXED || info.leading_param) return Kind::Values;
    return info.fold == QVH_FOLD_COUNT ? Kind::Count : info.fold == QVH_FOLD_EXTREME || info.fold == QVH_FOLD_RANGE ? Kind::Extremes : Kind::Values;
}

// A value as the package reads it: a NaN that is no missing value is '.'.
bool missing(double x) { return x != x || qvh_is_missing(x); }

std::uint64_t key(double x) { return qvsql::canonical_key(std::bit_cast<std::uint64_t>(x)); }

// The aggregates by number, so that a group names its function in 2 bytes.
std::mutex numbers_mutex;
std::array<std::atomic<Function *>, 65536> numbered{};
std::vector<std::uint16_t> free_numbers;
std::uint32_t next_number = 1;

std::uint16_t number(Function *f) {
    std::lock_guard lock(numbers_mutex);
    std::uint16_t n = 0;
    if (!free_numbers.empty()) {
        n = free_numbers.back();
        free_numbers.pop_back();
    } else if (next_number < numbered.size()) {
        n = static_cast<std::uint16_t>(next_number++);
    } else {
        return 0;
    }
    numbered[n] = f;
    return n;
}

}  // namespace

void delete_state_table(StateTable *t) noexcept {
    if (t != nullptr && t->number != 0) {
        std::lock_guard lock(numbers_mutex);
        numbered[t->number] = nullptr;
        try {
            free_numbers.push_back(t->number);
        } catch (...) {
        }
    }
    delete t;
}

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

// The heap's blocks come in steps of 16 bytes with 8 of them its own, so asking for 8 bytes less
// than a multiple of 16 wastes none: the capacities of room 0, 1, 2, ... are the smallest that fill such a block,
// then two values more each while small, then half as many more.
struct Rooms {
    std::array<std::uint32_t, 256> cap{};
    explicit Rooms(std::size_t lead) {
        auto fill = [&](std::uint32_t c) { return (sizeof(Values) + (lead + c) * sizeof(double) + 8) % 16 == 0 || c == MAX_KEPT ? c : c + 1; };
        cap[0] = fill(0);
        for (std::size_t r = 1; r < cap.size(); ++r) {
            const std::uint32_t c = cap[r - 1];
            cap[r] = c > MAX_KEPT / 3 * 2 ? MAX_KEPT : fill(c < SMALL ? c + 2 : c + c / 2);
        }
    }
};
const Rooms rooms[2] = {Rooms(0), Rooms(1)};

std::uint32_t capacity(const Function &f, const Group &g) { return rooms[lead(f)].cap[g.room]; }

std::size_t extremes_bytes(const Group &g) { return sizeof(Group) + g.room * sizeof(double); }

std::size_t bytes_of(const Function &f, const Group &g) {
    switch (kind_of(*f.info)) {
        case Kind::Count: return sizeof(Count);
        case Kind::Extremes: return extremes_bytes(g);
        default: return values_bytes(f, capacity(f, g));
    }
}

void free_group(const Function &f, Group *g) noexcept { f.reg->allocator.release(f.reg->allocator.ctx, g, bytes_of(f, *g)); }

// Gives the group of state s the block size of room, which may move it (DuckDB's state and the
// table then point to the new block).
Group &resize(const Function &f, duckdb_aggregate_state s, Group &g, std::uint8_t room) {
    const std::size_t from = bytes_of(f, g);
    Group probe = g;
    probe.room = room;
    const std::size_t to = bytes_of(f, probe);
    const qvh_allocator &a = f.reg->allocator;
    // Under the lock of the group's shard, so that no other thread's probe reads the old block.
    Group *now = f.states->move(g.home, &g, [&] { return static_cast<Group *>(a.resize(a.ctx, &g, from, to)); });
    if (now == nullptr) no_memory(f, to - from);
    now->room = room;
    reinterpret_cast<State *>(s)->group = now;
    return *now;
}

// Room for n more values.
Values &reserve(const Function &f, duckdb_aggregate_state s, Values &v, std::size_t n) {
    if (n > MAX_KEPT - v.count) fail(f, "more than 2^31 values in one group");
    const std::uint32_t need = v.count + static_cast<std::uint32_t>(n);
    if (need <= capacity(f, v)) return v;
    std::uint8_t room = v.room;
    while (rooms[lead(f)].cap[room] < need) ++room;
    return static_cast<Values &>(resize(f, s, v, room));
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
            auto *e = &static_cast<Extremes &>(g);
            for (std::size_t i = 0; i < n; ++i) {
                const double x = xs[i];
                if (missing(x)) {
                    const double m = qvh_is_missing(x) ? x : qvh_dot();
                    double first = 0;
                    if (e->count == 0 || (qvh_missing(static_cast<char>(e->count), &first) == QVH_OK && key(m) < key(first)))
                        e->count = static_cast<unsigned char>(qvh_missing_letter(m));
                    continue;
                }
                if (!(e->flags & NUMBER)) {
                    e->x[0] = x;
                } else if (key(x) != key(e->x[0]) && (e->room < 2 || key(x) != key(e->x[1]))) {
                    if (e->room < 2) {
                        e = &static_cast<Extremes &>(resize(f, s, *e, 2));
                        e->x[1] = e->x[0];
                    }
                    if (key(x) < key(e->x[0])) e->x[0] = x;
                    if (key(x) > key(e->x[1])) e->x[1] = x;
                }
                e->flags |= NUMBER | (x == 0 ? (std::signbit(x) ? MINUS_ZERO : PLUS_ZERO) : 0);
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
    if (!(v.flags & HAS_PARAM)) {
        param_of(v) = p;
        v.flags |= HAS_PARAM;
    } else if (std::memcmp(&param_of(v), &p, sizeof p) != 0) {
        fail(f, "the percentile or rank must be one value for the whole query, such as 90 in " + f.label + "(90, x)");
    }
}

bool has_param(const Function &f, Group &g) { return f.info->leading_param && (g.flags & HAS_PARAM); }

// ---- the callbacks ------------------------------------------------------------------------------

idx_t state_size(duckdb_function_info) { return sizeof(State); }

Group &group_of(duckdb_aggregate_state s) { return *reinterpret_cast<State *>(s)->group; }

void state_init(duckdb_function_info info, duckdb_aggregate_state s) {
    Function &f = function_of(info);
    reinterpret_cast<State *>(s)->group = nullptr;
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        const Kind kind = kind_of(*f.info);
        Group head{reinterpret_cast<std::uintptr_t>(s), 0, f.states->number, kind == Kind::Extremes ? std::uint8_t{1} : std::uint8_t{0}, 0};
        const std::size_t bytes = bytes_of(f, head);
        void *p = f.reg->allocator.alloc(f.reg->allocator.ctx, bytes);
        if (p == nullptr) no_memory(f, bytes);
        std::memset(p, 0, bytes);
        auto *g = static_cast<Group *>(p);
        *g = head;
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
    if (known != nullptr && kind_of(*f.info) == Kind::Values) {
        Group &g = group_of(known);
        g.count = 0;
        if (g.room > 0) {
            const std::size_t from = bytes_of(f, g);
            Group empty = g;
            empty.room = 0;
            const qvh_allocator &a = f.reg->allocator;
            if (void *p = a.resize(a.ctx, &g, from, bytes_of(f, empty))) {
                static_cast<Group *>(p)->room = 0;
                reinterpret_cast<State *>(known)->group = static_cast<Group *>(p);
            }
        }
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
        if (xcol == 1 && rows > 0) params(f, input, rows, ps);
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
                if (e.count != 0) qvh_missing(static_cast<char>(e.count), &reps[n++]);
                if (e.flags & NUMBER) reps[n++] = e.x[0], reps[n++] = e.x[e.room - 1];
                add_values(f, target[i], into, reps, n);
                group_of(target[i]).flags |= e.flags;
            } else {
                if (has_param(f, from)) set_param(f, into, param_of(static_cast<Values &>(from)));
                auto &v = static_cast<Values &>(from);
                add_values(f, target[i], into, values_of(f, v), v.count);
            }
        }
    });
}

// Puts a group's values into the canonical order: a large group is radix sorted in scratch memory
// given back at once, or sorted in place where that memory cannot be had.
void sort_values(double *xs, std::size_t n) {
    std::uint64_t *scratch = nullptr;
    if (n >= qvsql::RADIX_FROM && n <= SIZE_MAX / sizeof *scratch)
        scratch = static_cast<std::uint64_t *>(std::malloc(n * sizeof *scratch));
    qvh_advise_large(scratch, n * sizeof *scratch);
    qvsql::canonical_sort(xs, n, scratch);
    std::free(scratch);
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
            if (e.count != 0) qvh_missing(static_cast<char>(e.count), &reps[n++]);
            if (e.flags & NUMBER) reps[n++] = e.x[0], reps[n++] = e.x[e.room - 1];
            if (e.flags & MINUS_ZERO) reps[n++] = -0.0;
            if (e.flags & PLUS_ZERO) reps[n++] = 0.0;
            qvsql::canonical_sort(reps, n);
            xs = reps;
            break;
        }
        case Kind::Values: {
            auto &v = static_cast<Values &>(g);
            if (qvsql::needs_order(*f.info, values_of(f, v), v.count)) sort_values(values_of(f, v), v.count);
            xs = values_of(f, v);
            n = v.count;
            if (v.flags & HAS_PARAM) lead = &param_of(v);
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
        const Function &f = *numbered[g->number];
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
    f->states->number = number(f);
    if (kind_of(*info) == Kind::Count) {
        // Whether the count is of the missing values or of the others, as the package counts one '.'.
        const double dot = qvh_dot();
        double r = 0;
        std::int32_t status = 0;
        f->counts_missing = qvh_eval(reg->pkg, info->name, &dot, 1, &r, &status) == QVH_OK && r == 1;
    }
    duckdb_aggregate_function_set_extra_info(fn, f, delete_function);
    // (more than 65535 aggregates registered at once in the process: the last are refused)
    const bool ok = f->states->number != 0 && duckdb_register_aggregate_function(con, fn) == DuckDBSuccess;
    duckdb_destroy_aggregate_function(&fn);
    duckdb_destroy_logical_type(&any);
    duckdb_destroy_logical_type(&type);
    return ok;
}

}  // namespace qvduck

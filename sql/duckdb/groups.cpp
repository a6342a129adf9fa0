// The blocks of the aggregates' groups (groups.hpp): their sizes, their growth, the values they
// take, and the result of each.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "canonical.hpp"
#include "groups.hpp"

namespace qvduck {

namespace {

// Values one group may keep (DuckDB's own list is limited likewise).
constexpr std::uint32_t MAX_KEPT = 0x7FFFFFFFu;
// Below this many values a group's block grows by two values at a time, beyond it by half.
constexpr std::uint32_t SMALL = 32;

// A value as the package reads it: a NaN that is no missing value is '.'. (Every missing value is
// a NaN.)
bool missing(double x) { return x != x; }

std::uint64_t key(double x) { return qvsql::canonical_key(std::bit_cast<std::uint64_t>(x)); }

std::mutex numbers_mutex;
std::array<std::atomic<Function *>, 65536> numbered{};
std::vector<std::uint16_t> free_numbers;
std::uint32_t next_number = 1;

}  // namespace

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

const Function &numbered_function(std::uint16_t n) noexcept { return *numbered[n]; }

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

void add_extremes(const Function &f, duckdb_aggregate_state s, Extremes *e, const double *xs, std::size_t n) {
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

}  // namespace

Group *new_group(const Function &f, std::uintptr_t home) {
    const Kind kind = kind_of(*f.info);
    Group head{home, 0, f.states->number, kind == Kind::Extremes ? std::uint8_t{1} : std::uint8_t{0}, 0};
    const std::size_t bytes = bytes_of(f, head);
    void *p = f.reg->allocator.alloc(f.reg->allocator.ctx, bytes);
    if (p == nullptr) no_memory(f, bytes);
    std::memset(p, 0, bytes);
    auto *g = static_cast<Group *>(p);
    *g = head;
    return g;
}

void free_group(const Function &f, Group *g) noexcept { f.reg->allocator.release(f.reg->allocator.ctx, g, bytes_of(f, *g)); }

void empty_group(const Function &f, duckdb_aggregate_state s) noexcept {
    if (kind_of(*f.info) != Kind::Values) return;
    Group &g = group_of(s);
    g.count = 0;
    if (g.room == 0) return;
    const std::size_t from = bytes_of(f, g);
    Group empty = g;
    empty.room = 0;
    const qvh_allocator &a = f.reg->allocator;
    if (void *p = a.resize(a.ctx, &g, from, bytes_of(f, empty))) {
        static_cast<Group *>(p)->room = 0;
        reinterpret_cast<State *>(s)->group = static_cast<Group *>(p);
    }
}

void add_values(const Function &f, duckdb_aggregate_state s, Group &g, const double *xs, std::size_t n) {
    if (n == 0) return;
    switch (kind_of(*f.info)) {
        case Kind::Count: {
            auto &c = static_cast<Count &>(g);
            for (std::size_t i = 0; i < n; ++i) c.n += missing(xs[i]) == f.counts_missing;
            return;
        }
        case Kind::Extremes: add_extremes(f, s, &static_cast<Extremes &>(g), xs, n); return;
        case Kind::Values: {
            Values &v = reserve(f, s, static_cast<Values &>(g), n);
            std::memcpy(values_of(f, v) + v.count, xs, n * sizeof(double));
            v.count += static_cast<std::uint32_t>(n);
            return;
        }
    }
}

void add_group(const Function &f, duckdb_aggregate_state into, Group &from) {
    switch (kind_of(*f.info)) {
        case Kind::Count: static_cast<Count &>(group_of(into)).n += static_cast<Count &>(from).n; return;
        case Kind::Extremes: {
            auto &e = static_cast<Extremes &>(from);
            double reps[3] = {0, 0, 0};
            std::size_t n = 0;
            if (e.count != 0) qvh_missing(static_cast<char>(e.count), &reps[n++]);
            if (e.flags & NUMBER) reps[n++] = e.x[0], reps[n++] = e.x[e.room - 1];
            add_values(f, into, group_of(into), reps, n);
            group_of(into).flags |= e.flags;
            return;
        }
        case Kind::Values: {
            auto &v = static_cast<Values &>(from);
            if (has_param(f, from)) set_param(f, group_of(into), param_of(v));
            add_values(f, into, group_of(into), values_of(f, v), v.count);
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

const double *ordered_values(const Function &f, Group &g, std::size_t &n) {
    auto &v = static_cast<Values &>(g);
    if (qvsql::needs_order(*f.info, values_of(f, v), v.count)) sort_values(values_of(f, v), v.count);
    n = v.count;
    return values_of(f, v);
}

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
            xs = ordered_values(f, g, n);
            if (v.flags & HAS_PARAM) lead = &param_of(v);
            break;
        }
    }
    // Without a lead, qvh_call_fold: a sum or mean folded over cache-sized chunks of the values,
    // the same bits as one call without laying out an argument list for all of them; any other
    // statistic is one call over them.
    const int rc = lead ? qvh_call_over(call, lead, 1, xs, n, sizeof(double), &r, &status, nullptr)
                        : qvh_call_fold(call, xs, n, sizeof(double), &r, &status);
    if (rc != QVH_OK) host_failure(f, rc, qvh_call_asked(call));
    return r;
}

}  // namespace qvduck

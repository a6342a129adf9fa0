#include "ordered.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "arglist.hpp"

namespace qvhost {

// ---- OrderTree -------------------------------------------------------------------------------

bool OrderTree::reserve(std::size_t n) noexcept {
    if (n < room_) return true;
    if (n >= UINT32_MAX / 2) return false;
    std::uint32_t room = room_ < 64 ? 64 : room_;
    while (room <= n) room *= 2;
    void *p = nodes_ == nullptr ? mem_.alloc(room * sizeof(Node))
                                : mem_.resize(nodes_, room_ * sizeof(Node), room * sizeof(Node));
    if (p == nullptr) return false;
    nodes_ = static_cast<Node *>(p);
    if (room_ == 0) {
        nodes_[0] = Node{0.0, 0, 0, 0, 0, 0};
        used_ = 1;
    }
    room_ = room;
    return true;
}

void OrderTree::split(std::uint32_t t, double v, std::uint64_t seq, std::uint32_t &l, std::uint32_t &r) {
    if (t == 0) {
        l = r = 0;
        return;
    }
    if (before(t, v, seq)) {
        split(nodes_[t].r, v, seq, nodes_[t].r, r);
        l = t;
    } else {
        split(nodes_[t].l, v, seq, l, nodes_[t].l);
        r = t;
    }
    update(t);
}

std::uint32_t OrderTree::merge(std::uint32_t a, std::uint32_t b) {
    if (a == 0) return b;
    if (b == 0) return a;
    if (nodes_[a].prio > nodes_[b].prio) {
        nodes_[a].r = merge(nodes_[a].r, b);
        update(a);
        return a;
    }
    nodes_[b].l = merge(a, nodes_[b].l);
    update(b);
    return b;
}

// Goes down from the root while the nodes outrank n, each gaining n in its subtree, and splits
// the subtree found between n's two sides.
void OrderTree::insert_node(std::uint32_t n) {
    const double v = nodes_[n].v;
    const std::uint64_t seq = nodes_[n].seq;
    std::uint32_t *link = &root_;
    while (*link != 0 && nodes_[*link].prio >= nodes_[n].prio) {
        Node &t = nodes_[*link];
        ++t.size;
        link = before(n, t.v, t.seq) ? &t.l : &t.r;
    }
    split(*link, v, seq, nodes_[n].l, nodes_[n].r);
    update(n);
    *link = n;
}

// Goes down to the pair, each node on the way losing one from its subtree, and puts the merge of
// the pair's two sides in its place.
void OrderTree::erase_node(double v, std::uint64_t seq) {
    std::uint32_t *link = &root_;
    while (*link != 0) {
        Node &t = nodes_[*link];
        if (t.seq == seq && !(t.v < v) && !(v < t.v)) break;
        --t.size;
        link = before(*link, v, seq) ? &t.r : &t.l;
    }
    const std::uint32_t x = *link;
    if (x == 0) return;
    *link = merge(nodes_[x].l, nodes_[x].r);
    nodes_[x].l = free_;  // the free list runs through l
    free_ = x;
}

void OrderTree::insert(double v, std::uint64_t seq) noexcept {
    std::uint32_t n = free_;
    if (n != 0) free_ = nodes_[n].l;
    else n = used_++;
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    nodes_[n] = Node{v, seq, 0, 0, 1, rng_};
    insert_node(n);
}

void OrderTree::erase(double v, std::uint64_t seq) noexcept { erase_node(v, seq); }

double OrderTree::kth(std::size_t k) const noexcept {
    std::uint32_t t = root_;
    while (t != 0) {
        const std::size_t left = nodes_[nodes_[t].l].size;
        if (k <= left) {
            t = nodes_[t].l;
        } else if (k == left + 1) {
            return nodes_[t].v;
        } else {
            k -= left + 1;
            t = nodes_[t].r;
        }
    }
    return qv::MISSING_DOT;
}

void OrderTree::clear() noexcept {
    root_ = free_ = 0;
    used_ = room_ > 0 ? 1 : 0;
}

void OrderTree::release() noexcept {
    mem_.release(nodes_, room_ * sizeof(Node));
    nodes_ = nullptr;
    room_ = used_ = free_ = root_ = 0;
}

// ---- OrderSet --------------------------------------------------------------------------------

namespace {

// The values of values[0, 16) below each of N values, added to below: a run counted in pairs,
// with no branch on the data, its loads shared by the N counts.
template <int N>
inline void count_below(const double *values, const double (&v)[N], std::size_t (&below)[N]) {
    typedef double pair __attribute__((vector_size(16)));
    typedef long long mask __attribute__((vector_size(16)));
    mask counts[N];
    for (int i = 0; i < N; ++i) counts[i] = mask{0, 0};
#pragma GCC unroll 8
    for (int k = 0; k < 16; k += 2) {
        pair x;
        std::memcpy(&x, values + k, sizeof x);
        for (int i = 0; i < N; ++i) counts[i] -= x < pair{v[i], v[i]};  // a comparison gives -1 where it holds
    }
    for (int i = 0; i < N; ++i) below[i] += static_cast<std::size_t>(counts[i][0] + counts[i][1]);
}

inline std::size_t below_in_run(const double *values, double v) {
    std::size_t below[1] = {0};
    count_below(values, {v}, below);
    return below[0];
}

// The first value not below v in a room of 16, 32, 64 or 128 values with infinities past the
// values it holds: the runs of 16 whose last value is below v, then the values below v in the
// next run. Two levels of independent loads, and no branch on the number of values.
inline std::size_t in_part(const double *values, std::size_t room, double v) {
    std::size_t runs = 0;
#pragma GCC unroll 8
    for (std::size_t j = 15; j < 2 * OrderSet::PART; j += 16)
        if (j < room) runs += values[j] < v;
    const std::size_t last = room / 16 - 1;
    const std::size_t base = 16 * (runs < last ? runs : last);
    return base + below_in_run(values + base, v);
}

}  // namespace

bool OrderSet::reserve(std::size_t n) noexcept {
    if (size() == 0) {  // an empty set takes the form that suits n
        clear();
        flat_ = n <= FLAT;
    }
    if (flat_) return n <= FLAT && reserve_flat(n);
    return tree_.reserve(n);
}

// The array grows at least twice over, so a growing frame lays it out again a few times only. Past
// 2 * PART values it has twice the room it is asked for, the parts' room to spare.
bool OrderSet::reserve_flat(std::size_t n) noexcept {
    if (n <= flat_room_ && (n <= 2 * PART || 2 * n <= flat_room_)) return true;
    std::size_t room = flat_room_ < 16 ? 16 : 2 * flat_room_;
    const std::size_t want = n <= 2 * PART ? std::bit_ceil(n) : (2 * n + 2 * PART - 1) / (2 * PART) * (2 * PART);
    if (room < want) room = want;
    if (room > 2 * FLAT) room = 2 * FLAT;
    if (room > 2 * PART) room = room / (2 * PART) * (2 * PART);  // whole parts
    auto *p = static_cast<double *>(mem_.alloc(flat_bytes(room)));
    if (p == nullptr) return false;
    sort_parts();
    std::size_t at = 0;  // the parts one after another: one sorted run (which keeps no numbers)
    for (std::size_t k = 0; count_ > 0 && k < parts_; ++k) {
        std::memcpy(p + at, part(k), part_count_[k] * sizeof(double));
        at += part_count_[k];
    }
    mem_.release(flat_values_, flat_bytes(flat_room_));
    flat_values_ = p;
    flat_room_ = room;
    seqs_ = reinterpret_cast<std::uint32_t *>(p + room);
    where_ = reinterpret_cast<std::uint16_t *>(seqs_ + room);
    where_mask_ = std::bit_ceil(room) - 1;
    std::fill(seqs_, seqs_ + room, UNKNOWN);
    std::fill(where_, where_ + where_mask_ + 1, UINT16_MAX);  // no room: nothing put anywhere yet
    parts_ = 1;
    part_count_[0] = static_cast<std::uint32_t>(count_);
    part_room_ = room;
    if (parts_for(count_) > 1) relayout();
    else pad_run();
    return true;
}

std::size_t OrderSet::parts_for(std::size_t count) const noexcept {
    std::size_t parts = count / PART;
    if (parts > flat_room_ / (2 * PART)) parts = flat_room_ / (2 * PART);
    if (parts > PARTS) parts = PARTS;
    return parts < 1 ? 1 : parts;
}

// The parts gathered into one sorted run at the start (each moves down or stays), then spread
// evenly from the last (each moves up or stays: a part's room is at least its share). A part's
// room past its values holds infinities, so that a search reads the whole room and never
// branches on the part's count.
void OrderSet::relayout(bool fix) noexcept {
    sort_parts();
    // Bags pay for themselves only while a part seldom fills or empties: each such layout puts
    // every part in order first. A window whose values drift (a trend, a random walk) fills and
    // empties parts every hundred rows or so; it keeps every part in order instead, until a
    // stretch of twice its count of changes passes with no part filled or emptied (allow_bags).
    // The numbers go with the values while there may be bags; the one run keeps none.
    const bool numbered = bags_ && parts_ > 1;
    if (fix) {
        bags_ = changes_ - last_fix_ >= 2 * count_;
        last_fix_ = changes_;
    }
    std::size_t at = 0;
    for (std::size_t k = 0; k < parts_; ++k) {
        std::memmove(flat_values_ + at, part(k), part_count_[k] * sizeof(double));
        if (numbered && bags_) std::memmove(seqs_ + at, seqs_of(k), part_count_[k] * sizeof(std::uint32_t));
        at += part_count_[k];
    }
    if (!numbered && bags_) std::fill(seqs_, seqs_ + count_, UNKNOWN);
    parts_ = parts_for(count_);
    part_room_ = parts_ == 1 ? flat_room_ : 2 * PART;
    for (std::size_t k = parts_; k-- > 0;) {
        const std::size_t lo = k * count_ / parts_, hi = (k + 1) * count_ / parts_;
        std::memmove(part(k), flat_values_ + lo, (hi - lo) * sizeof(double));
        if (bags_) std::memmove(seqs_of(k), seqs_ + lo, (hi - lo) * sizeof(std::uint32_t));
        part_count_[k] = static_cast<std::uint32_t>(hi - lo);
        if (parts_ > 1) std::fill(part(k) + (hi - lo), part(k) + part_room_, HUGE_VAL);
    }
    pad_run();
    count_parts();
    sorted_ = ~std::uint64_t{0};
}

// The values of a part in order, each with its number (a part holds 2 * PART at most).
void OrderSet::sort_part(std::size_t p) const noexcept {
    struct Numbered {
        double v;
        std::uint32_t seq;
    } pairs[2 * PART];
    double *values = part(p);
    std::uint32_t *seqs = seqs_of(p);
    const std::size_t n = part_count_[p];
    for (std::size_t k = 0; k < n; ++k) pairs[k] = {values[k], seqs[k]};
    std::sort(pairs, pairs + n, [](const Numbered &a, const Numbered &b) { return a.v < b.v; });
    for (std::size_t k = 0; k < n; ++k) {
        values[k] = pairs[k].v;
        seqs[k] = pairs[k].seq;
    }
    sorted_ |= std::uint64_t{1} << p;
}

// Part p left a bag: each value's place by its number, as far as it is known.
void OrderSet::unsort(std::size_t p) noexcept {
    sorted_ &= ~(std::uint64_t{1} << p);
    const std::uint32_t *seqs = seqs_of(p);
    for (std::size_t k = 0; k < part_count_[p]; ++k)
        if (seqs[k] != UNKNOWN) where_[seqs[k] & where_mask_] = static_cast<std::uint16_t>(p << 7 | k);
}

void OrderSet::sort_parts() const noexcept {
    for (std::size_t p = 0; p < parts_; ++p)
        if (!in_order(p)) sort_part(p);
}

void OrderSet::pad_run() noexcept {
    if (parts_ == 1 && count_ < run_room()) std::fill(flat_values_ + count_, flat_values_ + run_room(), HUGE_VAL);
}

void OrderSet::count_parts() noexcept {
    std::size_t end = 0;
    for (std::size_t k = 0; k < PARTS; ++k) {
        if (k < parts_) {
            end += part_count_[k];
            part_ends_[k] = static_cast<std::uint32_t>(end);
            part_last_[k] = part_count_[k] > 0 ? part(k)[part_count_[k] - 1] : -HUGE_VAL;
        } else {
            part_count_[k] = 0;
            part_ends_[k] = UINT32_MAX / 2;
            part_last_[k] = HUGE_VAL;
        }
    }
}

std::size_t OrderSet::part_of(double v) const noexcept {
    static_assert(PARTS % 16 == 0);
    std::size_t p = 0;
    for (std::size_t g = 0; g < lanes(); g += 16) p += below_in_run(part_last_ + g, v);
    return p < parts_ ? p : parts_ - 1;
}

std::size_t OrderSet::find_from(const double *values, std::size_t n, double v, std::size_t at) noexcept {
    while (at < n && !(v < values[at]) && qv::bits_of(values[at]) != qv::bits_of(v)) ++at;
    return at < n && qv::bits_of(values[at]) == qv::bits_of(v) ? at : n;
}

namespace {

// Where values[0, n) holds a value of v's bits; n if nowhere.
inline std::size_t find_bits(const double *values, std::size_t n, double v) {
    const std::uint64_t b = qv::bits_of(v);
    std::size_t at = 0;
    while (at < n && qv::bits_of(values[at]) != b) ++at;
    return at;
}

}  // namespace

// Where the value of v's bits numbered seq is, looking from part first on (equal values may run
// on into the parts after it): where it was put in a bag, if it is still there; else searched
// in the parts in order, then looked for in the bags.
[[gnu::always_inline]] inline bool OrderSet::find(double v, std::uint64_t seq, std::size_t first, std::size_t &p, std::size_t &at) const noexcept {
    if (bags_ && parts_ > 1) {
        const std::uint16_t w = where_[seq & where_mask_];
        p = w >> 7;
        at = w & 127u;
        if (p < parts_ && !in_order(p) && at < part_count_[p] && seqs_of(p)[at] == static_cast<std::uint32_t>(seq) &&
            qv::bits_of(part(p)[at]) == qv::bits_of(v))
            return true;
    }
    std::size_t last = first;
    while (last + 1 < parts_ && !(v < part_last_[last])) ++last;
    for (p = first; p <= last; ++p) {
        if (!in_order(p)) continue;
        at = find_from(part(p), part_count_[p], v, in_part(part(p), search_room(), v));
        if (at < part_count_[p]) return true;
    }
    for (p = first; p <= last; ++p) {
        if (in_order(p)) continue;
        at = find_bits(part(p), part_count_[p], v);
        if (at < part_count_[p]) return true;
    }
    return false;
}

// The value at place at of part p taken out: the values after it move down one in a part kept
// in order; else the last value takes its place.
[[gnu::always_inline]] inline void OrderSet::remove_at(std::size_t p, std::size_t at, bool keep) noexcept {
    double *values = part(p);
    const std::size_t n = part_count_[p];
    std::uint32_t *seqs = seqs_of(p);
    if (keep) {
        std::memmove(values + at, values + at + 1, (n - at - 1) * sizeof(double));
        if (parts_ > 1 && bags_) std::memmove(seqs + at, seqs + at + 1, (n - at - 1) * sizeof(std::uint32_t));
        values[n - 1] = HUGE_VAL;
        part_count_[p] = static_cast<std::uint32_t>(n - 1);
        if (n > 1) part_last_[p] = values[n - 2];
        return;
    }
    if (in_order(p)) unsort(p);
    values[at] = values[n - 1];
    place(p, at, seqs[n - 1]);
    values[n - 1] = HUGE_VAL;
    part_count_[p] = static_cast<std::uint32_t>(n - 1);  // the part's bound stays: no value above it came
}

// v numbered seq put in part p: at place at (the first value not below v, NOWHERE to search for
// it) in a part kept in order, else after its values.
[[gnu::always_inline]] inline void OrderSet::insert_at(std::size_t p, std::size_t at, double v, std::uint64_t seq, bool keep) noexcept {
    double *values = part(p);
    const std::size_t n = part_count_[p];
    if (keep) {
        if (at == NOWHERE) at = in_part(values, search_room(), v);
        std::memmove(values + at + 1, values + at, (n - at) * sizeof(double));
        values[at] = v;
        if (parts_ > 1 && bags_) {
            std::uint32_t *seqs = seqs_of(p);
            std::memmove(seqs + at + 1, seqs + at, (n - at) * sizeof(std::uint32_t));
            seqs[at] = static_cast<std::uint32_t>(seq);
        }
        part_count_[p] = static_cast<std::uint32_t>(n + 1);
        part_last_[p] = values[n];
        return;
    }
    if (in_order(p)) unsort(p);
    values[n] = v;
    place(p, n, static_cast<std::uint32_t>(seq));
    part_count_[p] = static_cast<std::uint32_t>(n + 1);
    if (n == 0 || part_last_[p] < v) part_last_[p] = v;
}

void OrderSet::insert_flat(double v, std::uint64_t seq) noexcept {
    ++changes_;
    const std::size_t p = part_of(v);
    insert_at(p, NOWHERE, v, seq, keeps_order(p));
    ++count_;
    if (parts_ > 1)
        for (std::size_t k = p; k < lanes(); ++k) ++part_ends_[k];
    // A full part, or values enough for twice the parts (or for the most the room allows): laid out again.
    const std::size_t parts = parts_for(count_);
    const bool full = parts_ > 1 && part_count_[p] == part_room_;
    if (full || parts >= 2 * parts_ || (parts > parts_ && parts == parts_for(flat_room_))) relayout(full);
}

void OrderSet::erase_flat(double v, std::uint64_t seq) noexcept {
    ++changes_;
    std::size_t p = 0, at = 0;
    if (!find(v, seq, part_of(v), p, at)) return;  // not held
    remove_at(p, at, keeps_order(p));
    --count_;
    if (parts_ == 1) return;
    for (std::size_t k = p; k < lanes(); ++k) --part_ends_[k];
    if (part_count_[p] == 0 || 2 * parts_for(count_) <= parts_) relayout(part_count_[p] == 0);  // no part is left empty
}

void OrderSet::insert(double v, std::uint64_t seq) noexcept {
    if (flat_) insert_flat(v, seq);
    else tree_.insert(v, seq);
}

void OrderSet::erase(double v, std::uint64_t seq) noexcept {
    if (flat_) erase_flat(v, seq);
    else tree_.erase(v, seq);
}

namespace {

// values[from] goes and in comes to the place to (the first value not below it): only the values
// between the two places move, by one. The values' numbers move alike.
template <typename T>
inline void move_between(T *values, std::size_t from, std::size_t to, T in) {
    if (to > from) {  // the values in (from, to) are below in
        std::memmove(values + from, values + from + 1, (to - from - 1) * sizeof(T));
        values[to - 1] = in;
    } else {  // the values in [to, from) are not below in
        std::memmove(values + to + 1, values + to, (from - to) * sizeof(T));
        values[to] = in;
    }
}

}  // namespace

void OrderSet::replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
    if (!flat_) {
        erase(out, out_seq);
        insert(in, in_seq);
        return;
    }
    if (parts_ > 1) return replace_parts(out, out_seq, in, in_seq);
    double *values = flat_values_;
    const std::size_t from = find_from(values, count_, out, in_part(values, search_room(), out));
    const std::size_t to = in_part(values, search_room(), in);
    if (from == count_) {
        insert(in, in_seq);
        return;
    }
    move_between(values, from, to, in);
}

// A value left part pa and one joined part pc.
[[gnu::always_inline]] inline void OrderSet::moved(std::size_t pa, std::size_t pc) noexcept {
    for (std::size_t g = 0; g < lanes(); g += 16) {
#pragma GCC unroll 16
        for (std::size_t k = g; k < g + 16; ++k) part_ends_[k] += static_cast<std::uint32_t>(k >= pc) - static_cast<std::uint32_t>(k >= pa);
    }
    if (part_count_[pa] == 0 || part_count_[pc] == part_room_) relayout(true);
}

// Within one part in order as in the one run; else a value leaves one part and one joins
// another (or the same, a bag), and the counts of the parts between them change by one.
void OrderSet::replace_parts(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
    ++changes_;
    if (!bags_ && changes_ - last_fix_ >= 2 * count_) allow_bags();
    std::size_t at[2] = {0, 0};  // the parts of out and in
    for (std::size_t g = 0; g < lanes(); g += 16) count_below(part_last_ + g, {out, in}, at);
    std::size_t pa = at[0] < parts_ ? at[0] : parts_ - 1, pc = at[1] < parts_ ? at[1] : parts_ - 1;
    // A value equal to a part's last may as well go first in the next part: the fuller of the two
    // would fill up under a run of equal values.
    if (!(part_last_[pc] < in) && !(in < part_last_[pc]) && pc + 1 < parts_ && part_count_[pc + 1] < part_count_[pc]) ++pc;
    if (pa == pc && keeps_order(pa)) {
        double *a = part(pa);
        const std::size_t na = part_count_[pa];
        const std::size_t from = find_from(a, na, out, in_part(a, search_room(), out));
        if (from != na) {
            const std::size_t to = in_part(a, search_room(), in);
            move_between(a, from, to, in);
            if (bags_) move_between(seqs_of(pa), from, to, static_cast<std::uint32_t>(in_seq));
            part_last_[pa] = a[na - 1];
            return;
        }
    }
    // Both places found before either part changes, so that the two searches overlap.
    bool keep_a = keeps_order(pa);
    const bool keep_c = keeps_order(pc);
    std::size_t from = keep_a ? find_from(part(pa), part_count_[pa], out, in_part(part(pa), search_room(), out)) : NOWHERE;
    const std::size_t to = pc != pa && keep_c ? in_part(part(pc), search_room(), in) : NOWHERE;
    if (from == NOWHERE || from == part_count_[pa]) {
        if (!find(out, out_seq, pa, pa, from)) return insert_flat(in, in_seq);  // out is not held
        keep_a = keeps_order(pa);  // perhaps a later part, among equal values
    }
    remove_at(pa, from, keep_a);
    const bool same = pc == pa;  // then the places moved, and the part may be a bag now
    insert_at(pc, same ? NOWHERE : to, in, in_seq, same ? keeps_order(pc) : keep_c);
    moved(pa, pc);
}

// No part filled or emptied for a while: parts may be bags again, their values' numbers unknown.
void OrderSet::allow_bags() noexcept {
    bags_ = true;
    for (std::size_t p = 0; p < parts_; ++p) std::fill(seqs_of(p), seqs_of(p) + part_count_[p], UNKNOWN);
}

void OrderSet::clear() noexcept {
    tree_.clear();
    parts_ = 1;
    part_room_ = flat_room_;
    part_count_[0] = 0;
    count_ = 0;
    sorted_ = ~std::uint64_t{0};
    bags_ = true;
    last_fix_ = changes_;
    if (flat_values_ != nullptr) pad_run();
    flat_ = false;
}

void OrderSet::release() noexcept {
    tree_.release();
    mem_.release(flat_values_, flat_bytes(flat_room_));
    flat_values_ = nullptr;
    seqs_ = nullptr;
    where_ = nullptr;
    flat_room_ = part_room_ = count_ = 0;
    flat_ = false;
    parts_ = 1;
    part_count_[0] = 0;
    sorted_ = ~std::uint64_t{0};
}

// ---- OrderedWindow ---------------------------------------------------------------------------

void OrderedWindow::count(double x, bool in) noexcept {
    auto step = [in](std::size_t &c) { in ? ++c : --c; };
    const int kind = qv::missing_kind(x);
    if (kind > 0) {
        step(kinds_[kind]);
        step(missing_);
        if (qv::bits_of(x) != qv::bits_of(qv::missing_value(kind - 1))) step(odd_);
    } else if (x == 0.0) {
        step(std::signbit(x) ? neg_zero_ : pos_zero_);
    }
}

void OrderedWindow::add(double x, std::uint64_t seq) noexcept {
    count(x, true);
    if (!qv::is_missing(x)) tree_.insert(x, seq);
}

void OrderedWindow::remove(double x, std::uint64_t seq) noexcept {
    count(x, false);
    if (!qv::is_missing(x)) tree_.erase(x, seq);
}

void OrderedWindow::replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
    count(out, false);
    count(in, true);
    const bool going = !qv::is_missing(out), coming = !qv::is_missing(in);
    if (going && coming) {
        tree_.replace(out, out_seq, in, in_seq);
        return;
    }
    if (going) tree_.erase(out, out_seq);
    if (coming) tree_.insert(in, in_seq);
}

void OrderedWindow::clear() noexcept {
    tree_.clear();
    std::memset(kinds_, 0, sizeof kinds_);
    missing_ = pos_zero_ = neg_zero_ = odd_ = 0;
}

double OrderedWindow::kth_missing(std::size_t k) const {
    for (int kind = 1; kind <= 28; ++kind) {
        if (k <= kinds_[kind]) return qv::missing_value(kind - 1);
        k -= kinds_[kind];
    }
    return qv::MISSING_DOT;
}

// ---- short calls -----------------------------------------------------------------------------

namespace {

struct Named {
    const char *name;
    OrderStat stat;
    int definition;
};

constexpr Named ORDER_STATS[] = {
    {"MEDIAN", OrderStat::Median, 0},     {"PCTL", OrderStat::Pctl, 5},       {"PCTL1", OrderStat::Pctl, 1},
    {"PCTL2", OrderStat::Pctl, 2},        {"PCTL3", OrderStat::Pctl, 3},      {"PCTL4", OrderStat::Pctl, 4},     {"PCTL5", OrderStat::Pctl, 5},
    {"IQR", OrderStat::Iqr, 0},           {"ORDINAL", OrderStat::Ordinal, 0}, {"SMALLEST", OrderStat::Smallest, 0},
    {"LARGEST", OrderStat::Largest, 0},   {"MIN", OrderStat::Min, 0},         {"MAX", OrderStat::Max, 0},
    {"RANGE", OrderStat::Range, 0},
};

// The package's fuzz of a percentile's position: two units in the last place per value above
// 2^-43, at most 1e-6.
constexpr double FUZZ_FACTOR = std::bit_cast<double>(0x3D40000000000002ull);
constexpr double FUZZ_CAP = std::bit_cast<double>(0x3EB0C6F7A0B5ED8Dull);

std::int64_t to_i32(double x) {
    if (x > -2147483649.0 && x < 2147483648.0) return static_cast<std::int32_t>(x);
    return INT32_MIN;
}

enum class Read { One, Average, Between };

// The ranks a percentile reads among n present values under a definition (1 to 5), at fraction
// p of 1: the package's own rule, position fuzz included. Read::One reads rank; Average and
// Between read rank and rank + 1, Between with the weight weight on rank + 1.
Read plan(int definition, std::int64_t n, double p, std::int64_t &rank, double &weight) {
    const std::int64_t m = definition == 4 ? n + 1 : n;
    const double t = static_cast<double>(m) * p;
    std::int64_t j = to_i32(t);
    double g = t - static_cast<double>(j);
    double eps = static_cast<double>(n) * FUZZ_FACTOR;
    if (eps > FUZZ_CAP) eps = FUZZ_CAP;
    if (eps > g) {
        g = 0.0;
    } else if (g > 1.0 - eps) {
        j = j + 1;
        g = 0.0;
    }
    auto one = [&](std::int64_t r) {
        rank = r;
        return Read::One;
    };
    switch (definition) {
    case 1:
    case 4:
        if (j < 1) return one(1);
        if (j >= n) return one(n);
        if (g == 0.0) return one(j);
        rank = j;
        weight = g;
        return Read::Between;
    case 2:
        if (g > 0.5 + eps) return one(j + 1);
        if (0.5 - eps < g && g <= 0.5 + eps && (j & 1) != 0) return one(j + 1);
        return one(j < 1 ? 1 : j);
    case 3:
        if (j < 1) return one(1);
        if (j >= n) return one(n);
        if (g == 0.0) return one(j);
        return one(j + 1);
    default:
        if (j >= n) return one(n);
        if (g != 0.0) return one(j + 1);
        if (j < 1) return one(1);
        rank = j;
        return Read::Average;
    }
}

// A rank of SMALLEST, LARGEST and ORDINAL: an integer from 1 to the rows of the window.
bool valid_rank(double k, std::size_t rows) {
    return !qv::is_missing(k) && !(1.0 > k) && !(k > static_cast<double>(rows)) && k == static_cast<double>(to_i32(k));
}

ShortCall with_lead(double lead) {
    ShortCall c;
    c.nlead = 1;
    c.lead = lead;
    return c;
}

void put(ShortCall &c, double x) {
    c.ranks[c.nvalues] = 0;
    c.values[c.nvalues++] = x;
}

// The value at a rank of the window's present values.
void put_rank(ShortCall &c, const OrderedWindow &w, std::size_t rank) {
    c.ranks[c.nvalues] = rank;
    c.values[c.nvalues++] = w.kth(rank);
}

// A percentile at which a list of two values is read as the window reads x(rank) and x(rank + 1)
// under definition 1 or 4: the same weight on the second, found with the package's own rule. The
// weight g is a multiple of 2^-52 (the fraction of a position of at least 1), so the position
// 1 + g of the pair is exact; the percentiles around (1 + g) / m * 100 are tried in turn.
bool pair_percentile(int definition, double g, double &lead) {
    const double m = definition == 4 ? 3.0 : 2.0;
    const double at = (1.0 + g) / m * 100.0;
    double up = at, down = at;
    for (int k = 0; k < 9; ++k) {
        const double candidate = k % 2 == 0 ? up : down;
        std::int64_t rank = 0;
        double weight = -1.0;
        if (plan(definition, 2, candidate / 100.0, rank, weight) == Read::Between && rank == 1 &&
            qv::bits_of(weight) == qv::bits_of(g)) {
            lead = candidate;
            return true;
        }
        if (k % 2 == 0) up = std::nextafter(up, 200.0);
        else down = std::nextafter(down, -100.0);
    }
    return false;
}

// PCTL family: one rank is passed alone (one value reads as itself under every definition), an
// average of two as the 50th percentile of the pair under definition 5 (its own rule), a point
// between two as the pair at a percentile that weighs them alike.
ShortCall percentile(int definition, double p, const OrderedWindow &w) {
    ShortCall c = with_lead(p);
    if (qv::is_missing(p) || 0.0 > p || p > 100.0 || w.present() == 0) return c;  // invalid, or '.'
    std::int64_t rank = 0;
    double weight = 0.0;
    switch (plan(definition, static_cast<std::int64_t>(w.present()), p / 100.0, rank, weight)) {
    case Read::One:
        put_rank(c, w, static_cast<std::size_t>(rank));
        return c;
    case Read::Average:
        c.lead = 50.0;
        put_rank(c, w, static_cast<std::size_t>(rank));
        put_rank(c, w, static_cast<std::size_t>(rank) + 1);
        return c;
    case Read::Between:
        if (!pair_percentile(definition, weight, c.lead)) break;
        put_rank(c, w, static_cast<std::size_t>(rank));
        put_rank(c, w, static_cast<std::size_t>(rank) + 1);
        return c;
    }
    c.whole = true;
    return c;
}

// Quartiles at positions n/4 and 3n/4: both averages when 4 divides n (the four values are the
// quartile ranks of a list of four), else both single ranks (those of a list of two).
ShortCall iqr(const OrderedWindow &w) {
    ShortCall c;
    const std::size_t n = w.present();
    if (n == 0) {
        put(c, qv::MISSING_DOT);
    } else if (n % 4 == 0) {
        for (const std::size_t r : {n / 4, n / 4 + 1, 3 * n / 4, 3 * n / 4 + 1}) put_rank(c, w, r);
    } else {
        put_rank(c, w, n / 4 + 1);
        put_rank(c, w, 3 * n / 4 + 1);
    }
    return c;
}

// SMALLEST, LARGEST, ORDINAL: the value at the rank, passed alone with rank 1; a rank past the
// present values reads as a missing argument, as with a missing value alone.
ShortCall ranked(OrderStat stat, double k, const OrderedWindow &w) {
    if (!valid_rank(k, w.rows())) return with_lead(k);  // invalid whatever the values
    const std::size_t r = static_cast<std::size_t>(to_i32(k));
    const std::size_t n = w.present();
    ShortCall c = with_lead(1.0);
    if (stat == OrderStat::Ordinal) {
        if (r <= w.missing()) {
            if (w.odd_missing()) c.whole = true;
            put(c, w.kth_missing(r));
        } else {
            put_rank(c, w, r - w.missing());
        }
    } else if (r > n) {
        put(c, qv::MISSING_DOT);
    } else {
        put_rank(c, w, stat == OrderStat::Smallest ? r : n - r + 1);
    }
    return c;
}

}  // namespace

OrderStat order_stat_of(const char *name, int &definition) noexcept {
    for (const Named &s : ORDER_STATS) {
        if (std::strcmp(s.name, name) == 0) {
            definition = s.definition;
            return s.stat;
        }
    }
    definition = 0;
    return OrderStat::None;
}

ShortCall short_call(OrderStat stat, int definition, double lead, const OrderedWindow &w) noexcept {
    ShortCall c;
    if (w.mixed_zeros() || stat == OrderStat::None) {
        c.whole = true;
        return c;
    }
    const std::size_t n = w.present();
    switch (stat) {
    case OrderStat::Pctl:
        return percentile(definition, lead, w);
    case OrderStat::Iqr:
        return iqr(w);
    case OrderStat::Ordinal:
    case OrderStat::Smallest:
    case OrderStat::Largest:
        return ranked(stat, lead, w);
    default:
        break;
    }
    if (stat == OrderStat::Median) {
        median_call(w, c);
    } else if (n == 0) {
        put(c, qv::MISSING_DOT);  // no present value: a missing argument
    } else {
        if (stat != OrderStat::Max) put_rank(c, w, 1);
        if (stat != OrderStat::Min) put_rank(c, w, n);
    }
    return c;
}

FuncArgList *SmallList::build(const ShortCall &c, HostPool *pool) noexcept {
    auto *list = reinterpret_cast<FuncArgList *>(bytes);
    std::memset(list, 0, sizeof(FuncArgList));
    list->pool = pool;
    list->count = c.nlead + c.nvalues;
    FuncArg *slot = reinterpret_cast<FuncArg *>(bytes + sizeof(FuncArgList));
    int k = 0;
    if (c.nlead == 1) cells[k++] = c.lead;
    for (int i = 0; i < c.nvalues; ++i) cells[k++] = c.values[i];
    for (int i = 0; i < k; ++i) slot[i] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, &cells[i]};
    return list;
}

}  // namespace qvhost

// The part array's changes: a value found, taken out, put in, or one replaced by another.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "audit.hpp"
#include "parts.hpp"
#include "qv/values.hpp"

namespace qvhost {

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
    for (std::size_t j = 15; j < 2 * PartArray::PART; j += 16)
        if (j < room) runs += values[j] < v;
    const std::size_t last = room / 16 - 1;
    const std::size_t base = 16 * (runs < last ? runs : last);
    return base + below_in_run(values + base, v);
}

// Where values[0, n) holds a value of v's bits; n if nowhere.
inline std::size_t find_bits(const double *values, std::size_t n, double v) {
    const std::uint64_t b = qv::bits_of(v);
    std::size_t at = 0;
    while (at < n && qv::bits_of(values[at]) != b) ++at;
    return at;
}

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

std::size_t PartArray::part_of(double v) const noexcept {
    std::size_t p = 0;
    for (std::size_t g = 0; g < lanes(); g += 16) p += below_in_run(part_last_ + g, v);
    return p < parts_ ? p : parts_ - 1;
}

std::size_t PartArray::find_from(const double *values, std::size_t n, double v, std::size_t at) noexcept {
    while (at < n && !(v < values[at]) && qv::bits_of(values[at]) != qv::bits_of(v)) ++at;
    return at < n && qv::bits_of(values[at]) == qv::bits_of(v) ? at : n;
}

// Part p left a bag: each value's place by its number, as far as it is known.
void PartArray::unsort(std::size_t p) noexcept {
    sorted_ &= ~(PartMask{1} << p);
    const std::uint32_t *seqs = seqs_of(p);
    for (std::size_t k = 0; k < part_count_[p]; ++k)
        if (seqs[k] != UNKNOWN) where_[seqs[k] & where_mask_] = static_cast<std::uint16_t>(p << 7 | k);
}

// Where the value of v's bits numbered seq is, looking from part first on (equal values may run
// on into the parts after it): where it was put in a bag, if it is still there; else searched
// in the parts in order, then looked for in the bags.
[[gnu::always_inline]] inline bool PartArray::find(double v, std::uint64_t seq, std::size_t first, std::size_t &p, std::size_t &at) const noexcept {
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
[[gnu::always_inline]] inline void PartArray::remove_at(std::size_t p, std::size_t at, bool keep) noexcept {
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
[[gnu::always_inline]] inline void PartArray::insert_at(std::size_t p, std::size_t at, double v, std::uint64_t seq, bool keep) noexcept {
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

void PartArray::insert(double v, std::uint64_t seq) noexcept {
    const AuditOnExit<PartArray> audited(*this, audits_, "part array");
    ++changes_;
    const std::size_t p = part_of(v);
    insert_at(p, NOWHERE, v, seq, keeps_order(p));
    ++count_;
    if (parts_ > 1)
        for (std::size_t k = p; k < lanes(); ++k) ++part_ends_[k];
    // A full part, or values enough for twice the parts (or for the most the room allows): laid out again.
    const std::size_t parts = parts_for(count_);
    const bool full = parts_ > 1 && part_count_[p] == part_room_;
    if (full || parts >= 2 * parts_ || (parts > parts_ && parts == parts_for(room_))) relayout(full);
}

void PartArray::erase(double v, std::uint64_t seq) noexcept {
    const AuditOnExit<PartArray> audited(*this, audits_, "part array");
    ++changes_;
    std::size_t p = 0, at = 0;
    if (!find(v, seq, part_of(v), p, at)) return;  // not held
    remove_at(p, at, keeps_order(p));
    --count_;
    if (parts_ == 1) return;
    for (std::size_t k = p; k < lanes(); ++k) --part_ends_[k];
    if (part_count_[p] == 0 || 2 * parts_for(count_) <= parts_) relayout(part_count_[p] == 0);  // no part is left empty
}

void PartArray::replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
    const AuditOnExit<PartArray> audited(*this, audits_, "part array");
    if (parts_ > 1) return replace_parts(out, out_seq, in, in_seq);
    double *values = values_;
    const std::size_t from = find_from(values, count_, out, in_part(values, search_room(), out));
    const std::size_t to = in_part(values, search_room(), in);
    if (from == count_) {
        insert(in, in_seq);
        return;
    }
    move_between(values, from, to, in);
}

// A value left part pa and one joined part pc.
[[gnu::always_inline]] inline void PartArray::moved(std::size_t pa, std::size_t pc) noexcept {
    for (std::size_t g = 0; g < lanes(); g += 16) {
#pragma GCC unroll 16
        for (std::size_t k = g; k < g + 16; ++k) part_ends_[k] += static_cast<std::uint32_t>(k >= pc) - static_cast<std::uint32_t>(k >= pa);
    }
    if (part_count_[pa] == 0 || part_count_[pc] == part_room_) relayout(true);
}

// Within one part in order as in the one run; else a value leaves one part and one joins
// another (or the same, a bag), and the counts of the parts between them change by one.
void PartArray::replace_parts(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
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
        if (!find(out, out_seq, pa, pa, from)) return insert(in, in_seq);  // out is not held
        keep_a = keeps_order(pa);  // perhaps a later part, among equal values
    }
    remove_at(pa, from, keep_a);
    const bool same = pc == pa;  // then the places moved, and the part may be a bag now
    insert_at(pc, same ? NOWHERE : to, in, in_seq, same ? keeps_order(pc) : keep_c);
    moved(pa, pc);
}

}  // namespace qvhost

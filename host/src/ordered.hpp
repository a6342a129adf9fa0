// The ordered view of a window of values that the order statistics answer from: the present values
// in a tree ordered by number (O(log n) to add, remove or find the k-th), the missing values counted
// by kind, and what decides whether a short call reads the same bits as the call over all values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "memory.hpp"
#include "qv/values.hpp"
#include "qvfnc.h"

namespace qvhost {

// A treap of (value, sequence number) pairs: ordered by value, equal values (0.0 and -0.0
// included) by their sequence number, which every pair has its own. Nodes come from a Memory and
// are kept until release().
class OrderTree {
public:
    explicit OrderTree(const Memory &m) : mem_(m) {}
    ~OrderTree() { release(); }
    OrderTree(const OrderTree &) = delete;
    OrderTree &operator=(const OrderTree &) = delete;

    // Room for n values in all, so that insert cannot fail; false when the memory is refused.
    bool reserve(std::size_t n) noexcept;
    void insert(double v, std::uint64_t seq) noexcept;  // after reserve
    void erase(double v, std::uint64_t seq) noexcept;   // a pair inserted and not yet erased (else the sizes break)
    // The k-th smallest value, 1 <= k <= size().
    double kth(std::size_t k) const noexcept;
    std::size_t size() const { return root_ == 0 ? 0 : nodes_[root_].size; }
    void clear() noexcept;
    void release() noexcept;

private:
    struct Node {
        double v;
        std::uint64_t seq;
        std::uint32_t l, r, size, prio;
    };
    bool before(std::uint32_t a, double v, std::uint64_t seq) const {
        return nodes_[a].v < v || (!(v < nodes_[a].v) && nodes_[a].seq < seq);
    }
    void update(std::uint32_t t) { nodes_[t].size = 1 + nodes_[nodes_[t].l].size + nodes_[nodes_[t].r].size; }
    void split(std::uint32_t t, double v, std::uint64_t seq, std::uint32_t &l, std::uint32_t &r);
    std::uint32_t merge(std::uint32_t a, std::uint32_t b);
    void insert_node(std::uint32_t n);
    void erase_node(double v, std::uint64_t seq);

    Memory mem_;
    Node *nodes_ = nullptr;  // nodes_[0] is the empty tree
    std::uint32_t room_ = 0, used_ = 0, free_ = 0, root_ = 0;
    std::uint32_t rng_ = 0x9E3779B9u;
};

// The same set in the form that suits the number of values it is to hold (what reserve asks for
// while it is empty):
// - up to FLAT values, one array, within the cache: up to 2 * PART values one sorted run, where a
//   change is a search and a move of the values between two places and a rank is read off
//   directly; with more, up to PARTS parts of about PART values at fixed places, each in room
//   for 2 * PART, so that a change moves the values of a part or two rather than of a third of
//   the window (the move is most of a change's cost in a wide window), and a rank is found from
//   the parts' counts. The parts hold the values in order from one to the next, and each part
//   holds its own in order only while ranks are read from it: elsewhere a change appends a value
//   or fills a gap with the part's last, found by the value's number, with no search and no move;
//   a part is put in order when a rank is next read from it;
// - from then on, a tree, O(log n) a change.
class OrderSet {
public:
    static constexpr std::size_t FLAT = 4096;
    static constexpr std::size_t PART = 64, PARTS = 64;
    explicit OrderSet(const Memory &m) : mem_(m), tree_(m) {}
    ~OrderSet() { release(); }
    OrderSet(const OrderSet &) = delete;
    OrderSet &operator=(const OrderSet &) = delete;

    // Room for n values in all; inserts need it, after clear() too. False when the memory is refused,
    // or when the set would have to change its form while it holds values (the array does not keep
    // the values' numbers): the owner then clears it and adds them again.
    bool reserve(std::size_t n) noexcept;
    void insert(double v, std::uint64_t seq) noexcept;
    // Takes out a value of the same bits (in the array, equal values are alike but for the zeros).
    void erase(double v, std::uint64_t seq) noexcept;
    // erase(out, out_seq) and insert(in, in_seq) in one step: a window that slides on by a row.
    void replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept;
    double kth(std::size_t k) const noexcept {
        if (!flat_) return tree_.kth(k);
        if (parts_ == 1) return flat_values_[k - 1];
        std::size_t p = 0;  // the parts whose values all rank below k, sixteen at a time
        for (std::size_t g = 0; g < lanes(); g += 16) {
#pragma GCC unroll 16
            for (std::size_t t = g; t < g + 16; ++t) p += part_ends_[t] < k;
        }
        return at_rank(p, k);
    }
    // kth(k) found from the part where the rank was found before (at, which it updates): while a
    // window slides, the part of a rank seldom changes, and then by one, so no count is scanned.
    double kth_near(std::size_t k, std::size_t &at) const noexcept {
        if (!flat_) return tree_.kth(k);
        if (parts_ == 1) return flat_values_[k - 1];
        std::size_t p = at < parts_ ? at : parts_ - 1;
        while (part_ends_[p] < k) ++p;  // the ends past parts_ are above any rank
        while (p > 0 && part_ends_[p - 1] >= k) --p;
        at = p;
        return at_rank(p, k);
    }
    std::size_t size() const { return flat_ ? count_ : tree_.size(); }
    void clear() noexcept;
    void release() noexcept;

private:
    bool reserve_flat(std::size_t n) noexcept;
    double *part(std::size_t p) const { return flat_values_ + p * part_room_; }
    std::uint32_t *seqs_of(std::size_t p) const { return seqs_ + p * part_room_; }  // the numbers of part p's places
    // Rank k, which part p holds: the part put in order first if it was not.
    double at_rank(std::size_t p, std::size_t k) const {
        if (((sorted_ >> p) & 1) == 0) sort_part(p);
        read_at_[p] = changes_;
        return part(p)[k - 1 - (p > 0 ? part_ends_[p - 1] : 0)];
    }
    // A part may be a bag, its values in any order (the one run never is): most changes of a wide
    // window land in parts that no rank is read from. A part is put in order when a rank is read
    // from it and kept so while ranks are; a change to a part in order that no rank was read from
    // within the last LATELY changes leaves it a bag.
    static constexpr std::uint32_t LATELY = 8;
    bool in_order(std::size_t p) const { return parts_ == 1 || ((sorted_ >> p) & 1) != 0; }
    bool keeps_order(std::size_t p) const { return parts_ == 1 || (in_order(p) && (!bags_ || changes_ - read_at_[p] < LATELY)); }
    void sort_part(std::size_t p) const noexcept;
    void sort_parts() const noexcept;  // every part in order
    void unsort(std::size_t p) noexcept;  // part p a bag, its values' places by number noted
    static constexpr std::size_t NOWHERE = SIZE_MAX;
    bool find(double v, std::uint64_t seq, std::size_t first, std::size_t &p, std::size_t &at) const noexcept;
    // keep: keeps_order(p), which the caller knows
    void remove_at(std::size_t p, std::size_t at, bool keep) noexcept;
    void insert_at(std::size_t p, std::size_t at, double v, std::uint64_t seq, bool keep) noexcept;
    // A value in a bag is found by its number where it was put (or moved to by a
    // removal); one that was moved since in another way is looked for. The numbers are kept while
    // there may be bags; a value that came from the one run has none (UNKNOWN).
    static constexpr std::uint32_t UNKNOWN = UINT32_MAX;
    static_assert(2 * PART <= 128 && PARTS <= 512, "a place and a part in 16 bits");
    void place(std::size_t p, std::size_t at, std::uint32_t seq) noexcept {
        seqs_of(p)[at] = seq;
        if (seq != UNKNOWN) where_[seq & where_mask_] = static_cast<std::uint16_t>(p << 7 | at);
    }
    void moved(std::size_t pa, std::size_t pc) noexcept;  // the counts after a value left pa and one joined pc
    void allow_bags() noexcept;
    // The array's block: the values, the number of each, and the places by number.
    static std::size_t flat_bytes(std::size_t room) {
        return room == 0 ? 0 : room * (sizeof(double) + sizeof(std::uint32_t)) + std::bit_ceil(room) * sizeof(std::uint16_t);
    }
    std::size_t lanes() const { return (parts_ + 15) & ~std::size_t{15}; }  // parts_ in sixteens
    // The part a value of v belongs in: the first whose last value is not below v, or the last part.
    std::size_t part_of(double v) const noexcept;
    // Where values[0, n) holds a value of v's bits, looking from at, the first value not below v; n
    // if it holds none.
    static std::size_t find_from(const double *values, std::size_t n, double v, std::size_t at) noexcept;
    void insert_flat(double v, std::uint64_t seq) noexcept;
    void erase_flat(double v, std::uint64_t seq) noexcept;
    void replace_parts(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept;
    // The parts that suit count_ values; the array laid out again in that many, evenly.
    std::size_t parts_for(std::size_t count) const noexcept;
    void relayout(bool fix = false) noexcept;  // fix: a part filled or emptied
    void count_parts() noexcept;  // part_ends_ and part_last_ from part_count_
    // The room a search of the one run reads (it holds fewer values than that, or as many), and
    // the infinities past its values.
    std::size_t run_room() const { return flat_room_ < 2 * PART ? flat_room_ : 2 * PART; }
    std::size_t search_room() const { return parts_ == 1 ? run_room() : 2 * PART; }  // of a part
    void pad_run() noexcept;

    Memory mem_;
    OrderTree tree_;
    double *flat_values_ = nullptr;  // the array, room for flat_room_ values
    std::size_t flat_room_ = 0;
    bool flat_ = false;
    std::size_t parts_ = 1, part_room_ = 0;  // parts in use, room of each
    std::uint32_t part_count_[PARTS] = {};   // the values of each part
    std::uint32_t part_ends_[PARTS] = {};    // the values of the parts up to each; past parts_, more than any rank
    // The last value of each part, or for a bag a bound at least its largest and at
    // most the next part's least (what a value taken out leaves); past parts_, infinity (unused
    // with one part).
    double part_last_[PARTS] = {};
    std::size_t count_ = 0;
    mutable std::uint64_t sorted_ = ~std::uint64_t{0};  // the parts in order, a bit each
    mutable std::uint32_t read_at_[PARTS] = {};         // changes_ when a rank was last read from each part
    std::uint32_t changes_ = 0;
    std::uint32_t last_fix_ = 0;  // changes_ when a part last filled or emptied
    bool bags_ = true;            // parts may be bags (else the numbers below are not kept)
    std::uint32_t *seqs_ = nullptr;  // the number of the value at each place of the parts (its low bits), or UNKNOWN
    std::uint16_t *where_ = nullptr;  // by number: the part (times 128) and place where it was put
    std::size_t where_mask_ = 0;
};

// A window of values as the order statistics see it.
class OrderedWindow {
public:
    explicit OrderedWindow(const Memory &m) : tree_(m) {}
    bool reserve(std::size_t n) noexcept { return tree_.reserve(n); }
    // x is a value as the host passes it (no NaN but the missing values); seq numbers the value.
    void add(double x, std::uint64_t seq) noexcept;
    void remove(double x, std::uint64_t seq) noexcept;
    // remove(out, out_seq) and add(in, in_seq) in one step.
    void replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept;
    void clear() noexcept;
    void release() noexcept { tree_.release(); }
    // A value that comes or goes without changing the counts: neither missing nor a zero.
    static bool ordinary(double x) { return x == x && x != 0.0; }
    // replace() of two ordinary values.
    void slide(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
        tree_.replace(out, out_seq, in, in_seq);
    }

    std::size_t present() const { return tree_.size(); }
    std::size_t rows() const { return tree_.size() + missing_; }
    // The k-th smallest present value (1-based).
    double kth(std::size_t k) const { return tree_.kth(k); }
    double kth_near(std::size_t k, std::size_t &at) const { return tree_.kth_near(k, at); }
    // The k-th smallest missing value in the package's order (._, ., .A to .Z), 1 <= k <= missing.
    double kth_missing(std::size_t k) const;
    std::size_t missing() const { return missing_; }
    // Both zeros are present: the bits at a rank holding a zero depend on the values' order.
    bool mixed_zeros() const { return pos_zero_ > 0 && neg_zero_ > 0; }
    // A missing value in a bit pattern other than its kind's usual one is present.
    bool odd_missing() const { return odd_ > 0; }

private:
    void count(double x, bool in) noexcept;

    OrderSet tree_;
    std::size_t kinds_[29] = {};  // missing values by kind (1 ._, 2 ., 3 .A ... 28 .Z)
    std::size_t missing_ = 0, pos_zero_ = 0, neg_zero_ = 0, odd_ = 0;
};

// The order statistics whose result is read off a few ranks of the window.
enum class OrderStat { None, Median, Pctl, Iqr, Ordinal, Smallest, Largest, Min, Max, Range };

// The order statistic of a function name and, for PCTL, PCTL1..PCTL4, its definition (5 for PCTL).
OrderStat order_stat_of(const char *name, int &definition) noexcept;

// What to pass the package for one window: a lead argument (when nlead is 1) and one to four
// values; or whole: call it over the whole window. A value read off the window's present values
// keeps its rank (0 for one that is not): while the window's counts hold, so do the call's shape
// and ranks, and only the values at the ranks are to be read again.
struct ShortCall {
    bool whole = false;
    int nlead = 0;
    double lead = 0.0;
    int nvalues = 0;
    double values[4] = {};
    std::size_t ranks[4] = {};
    std::size_t parts[4] = {};  // where reread() last found each rank
};

// The short call that gives the same bits as the call of the statistic over lead (the percentile or
// rank, when it takes one) and every value of the window.
ShortCall short_call(OrderStat stat, int definition, double lead, const OrderedWindow &w) noexcept;

// The median's short call, made in place (a moving median makes one a row): the middle value, or
// the two middle values of an even count; '.' with no present value. Both zeros present read as
// a whole call.
inline void median_call(const OrderedWindow &w, ShortCall &c) noexcept {
    c.nlead = 0;
    c.whole = w.mixed_zeros();
    const std::size_t n = w.present();
    c.nvalues = 1;
    if (n == 0) {
        c.values[0] = qv::MISSING_DOT;
        c.ranks[0] = 0;
        return;
    }
    c.ranks[0] = (n + 1) / 2;
    c.values[0] = w.kth(c.ranks[0]);
    if (n % 2 == 0) {
        c.ranks[1] = n / 2 + 1;
        c.values[c.nvalues++] = w.kth(c.ranks[1]);
    }
}

// c's values read again at their ranks, after the window's values changed but not its counts.
inline void reread(const OrderedWindow &w, ShortCall &c) noexcept {
    for (int k = 0; k < c.nvalues; ++k)
        if (c.ranks[k] != 0) c.values[k] = w.kth_near(c.ranks[k], c.parts[k]);
}

// A list of at most one lead and four values, laid out on the stack.
struct SmallList {
    alignas(16) unsigned char bytes[sizeof(FuncArgList) + 5 * sizeof(FuncArg)];
    double cells[5];
    // Lays out c's arguments with scratch memory from pool.
    FuncArgList *build(const ShortCall &c, HostPool *pool) noexcept;
};

}  // namespace qvhost

// The part array: the ordered set of a window of up to MOST values, in one block that stays
// within the cache.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "memory.hpp"

namespace qvhost {

// Up to 2 * PART values are one sorted run, where a change is a search and a move of the values
// between two places and a rank is read off directly. With more, up to PARTS parts of about PART
// values at fixed places, each in room for 2 * PART, so that a change moves the values of a part
// or two rather than of a third of the window (the move is most of a change's cost in a wide
// window), and a rank is found from the parts' counts. The parts hold the values in order from
// one to the next, and each part holds its own in order only while ranks are read from it:
// elsewhere a part is a bag, where a change appends a value or fills a gap with the part's last,
// found by the value's number, with no search and no move; a part is put in order when a rank is
// next read from it. Values are numbers (no NaN); equal values are alike but for the zeros, so a
// value is taken out by its bits.
//
// Invariants (check()):
// - room_ is 0, or a power of two up to 2 * PART, or whole parts up to 2 * MOST; count_ <= room_;
// - 1 <= parts_ <= PARTS; one part has the whole room, more have 2 * PART each within it;
// - part_count_ holds each part's values, which add up to count_; more than one part: none is
//   empty, part_ends_ holds their running sums and, past parts_, more than any rank, and
//   part_last_ is infinity past parts_;
// - a part's room past its values holds infinities (the one run: up to run_room()), so that a
//   search reads the whole room and never branches on the count;
// - every value of a part is at most part_last_ of it, which is at most every value of the next;
// - the one run, and every part whose bit is set in sorted_, holds its values in order.
// The numbers kept with the values (seqs_, where_) are hints that find() confirms on use.
class PartArray {
public:
    static constexpr std::size_t MOST = 4096;
    static constexpr std::size_t PART = 64, PARTS = 64;
    explicit PartArray(const Memory &m) : mem_(m) {}
    ~PartArray() { release(); }
    PartArray(const PartArray &) = delete;
    PartArray &operator=(const PartArray &) = delete;

    // Room for n <= MOST values in all; false when the memory is refused.
    bool reserve(std::size_t n) noexcept;
    void insert(double v, std::uint64_t seq) noexcept;
    // Takes out a value of v's bits, by preference the one numbered seq.
    void erase(double v, std::uint64_t seq) noexcept;
    // erase(out, out_seq) and insert(in, in_seq) in one step: a window that slides on by a row.
    void replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept;
    // The k-th smallest value, 1 <= k <= size().
    double kth(std::size_t k) const noexcept {
        if (parts_ == 1) return values_[k - 1];
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
        if (parts_ == 1) return values_[k - 1];
        std::size_t p = at < parts_ ? at : parts_ - 1;
        while (part_ends_[p] < k) ++p;  // the ends past parts_ are above any rank
        while (p > 0 && part_ends_[p - 1] >= k) --p;
        at = p;
        return at_rank(p, k);
    }
    std::size_t size() const { return count_; }
    void clear() noexcept;
    void release() noexcept;
    // The first invariant above that does not hold, or null. O(room).
    const char *check() const noexcept;

private:
    // A bit for each part: set while the part holds its values in order.
    using PartMask = std::uint64_t;
    static constexpr PartMask ALL_PARTS = ~PartMask{0};
    static_assert(PARTS <= 8 * sizeof(PartMask), "a bit of sorted_ for each part");
    static_assert(PARTS % 16 == 0, "the parts' counts are scanned sixteen at a time");

    double *part(std::size_t p) const { return values_ + p * part_room_; }
    std::uint32_t *seqs_of(std::size_t p) const { return seqs_ + p * part_room_; }  // the numbers of part p's places
    // Rank k, which part p holds: the part put in order first if it was not.
    double at_rank(std::size_t p, std::size_t k) const {
        if (((sorted_ >> p) & 1) == 0) sort_part(p);
        read_at_[p] = changes_;
        return part(p)[k - 1 - (p > 0 ? part_ends_[p - 1] : 0)];
    }
    // Most changes of a wide window land in parts that no rank is read from, so a part may be a
    // bag (the one run never is). A part is put in order when a rank is read from it and kept so
    // while ranks are; a change to a part in order that no rank was read from within the last
    // LATELY changes leaves it a bag.
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
    // A value in a bag is found by its number where it was put (or moved to by a removal); one
    // that was moved since in another way is looked for. The numbers are kept while there may be
    // bags; a value that came from the one run has none (UNKNOWN).
    static constexpr std::uint32_t UNKNOWN = UINT32_MAX;
    static_assert(2 * PART <= 128 && PARTS <= 512, "a place and a part in 16 bits");
    void place(std::size_t p, std::size_t at, std::uint32_t seq) noexcept {
        seqs_of(p)[at] = seq;
        if (seq != UNKNOWN) where_[seq & where_mask_] = static_cast<std::uint16_t>(p << 7 | at);
    }
    void moved(std::size_t pa, std::size_t pc) noexcept;  // the counts after a value left pa and one joined pc
    void allow_bags() noexcept;
    // The block: the values, the number of each, and the places by number.
    static std::size_t block_bytes(std::size_t room) {
        return room == 0 ? 0 : room * (sizeof(double) + sizeof(std::uint32_t)) + std::bit_ceil(room) * sizeof(std::uint16_t);
    }
    std::size_t lanes() const { return (parts_ + 15) & ~std::size_t{15}; }  // parts_ in sixteens
    // The part a value of v belongs in: the first whose last value is not below v, or the last part.
    std::size_t part_of(double v) const noexcept;
    // Where values[0, n) holds a value of v's bits, looking from at, the first value not below v; n
    // if it holds none.
    static std::size_t find_from(const double *values, std::size_t n, double v, std::size_t at) noexcept;
    void replace_parts(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept;
    // The parts that suit count_ values; the array laid out again in that many, evenly.
    std::size_t parts_for(std::size_t count) const noexcept;
    void relayout(bool fix = false) noexcept;  // fix: a part filled or emptied
    void count_parts() noexcept;  // part_ends_ and part_last_ from part_count_
    // The room a search of the one run reads (it holds fewer values than that, or as many), and
    // the infinities past its values.
    std::size_t run_room() const { return room_ < 2 * PART ? room_ : 2 * PART; }
    std::size_t search_room() const { return parts_ == 1 ? run_room() : 2 * PART; }  // of a part
    void pad_run() noexcept;
    const char *check_part(std::size_t p) const noexcept;

    Memory mem_;
    double *values_ = nullptr;  // the block, room for room_ values
    std::size_t room_ = 0;
    std::size_t parts_ = 1, part_room_ = 0;  // parts in use, room of each
    std::uint32_t part_count_[PARTS] = {};   // the values of each part
    std::uint32_t part_ends_[PARTS] = {};    // the values of the parts up to each; past parts_, more than any rank
    // The last value of each part, or for a bag a bound at least its largest and at most the next
    // part's least (what a value taken out leaves); past parts_, infinity (unused with one part).
    double part_last_[PARTS] = {};
    std::size_t count_ = 0;
    // Reading a rank puts its part in order, so these two change under const reads.
    mutable PartMask sorted_ = ALL_PARTS;        // the parts in order, a bit each
    mutable std::uint32_t read_at_[PARTS] = {};  // changes_ when a rank was last read from each part
    std::uint32_t changes_ = 0;
    std::uint32_t last_fix_ = 0;  // changes_ when a part last filled or emptied
    bool bags_ = true;            // parts may be bags (else the numbers below are not kept)
    std::uint32_t *seqs_ = nullptr;  // the number of the value at each place of the parts (its low bits), or UNKNOWN
    std::uint16_t *where_ = nullptr;  // by number: the part (times 128) and place where it was put
    std::size_t where_mask_ = 0;
    std::uint32_t audits_ = 0;  // changes since the last audit, in a debug build
};

}  // namespace qvhost

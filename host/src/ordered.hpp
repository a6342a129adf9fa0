// The ordered view of a window of values that the order statistics answer from: the present
// values in an ordered set (a search and a move within the cache, or O(log n), to add, remove or
// find the k-th), the missing values counted by kind, and what decides whether a short call reads
// the same bits as the call over all values.
//
// The files of the ordered window: treap.* (the set of a wide window), parts.hpp, parts.cpp and
// parts_change.cpp (the set of up to PartArray::MOST values, in one block), this file (the set
// that takes the form which suits its size, and the window's counts), short_call.* (what a row
// passes the package: the ranks a statistic reads, and the results of recent calls).
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory.hpp"
#include "parts.hpp"
#include "treap.hpp"

namespace qvhost {

// A set of (value, number) pairs in the form that suits the number of values it is to hold
// (what reserve asks for while it is empty): up to FLAT values, a part array; from then on, a
// treap. Invariants: the form's own (check()), and the other form is empty.
class OrderSet {
public:
    static constexpr std::size_t FLAT = PartArray::MOST;
    static constexpr std::size_t PART = PartArray::PART, PARTS = PartArray::PARTS;
    explicit OrderSet(const Memory &m) : array_(m), treap_(m) {}

    // Room for n values in all; inserts need it, after clear() too. False when the memory is refused,
    // or when the set would have to change its form while it holds values (the array does not keep
    // the values' numbers): the owner then clears it and adds them again.
    bool reserve(std::size_t n) noexcept {
        if (size() == 0) {  // an empty set takes the form that suits n
            clear();
            in_array_ = n <= FLAT;
        }
        if (in_array_) return n <= FLAT && array_.reserve(n);
        return treap_.reserve(n);
    }
    void insert(double v, std::uint64_t seq) noexcept {
        if (in_array_) array_.insert(v, seq);
        else treap_.insert(v, seq);
    }
    // Takes out a value of the same bits (in the array, equal values are alike but for the zeros).
    void erase(double v, std::uint64_t seq) noexcept {
        if (in_array_) array_.erase(v, seq);
        else treap_.erase(v, seq);
    }
    // erase(out, out_seq) and insert(in, in_seq) in one step: a window that slides on by a row.
    void replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
        if (in_array_) return array_.replace(out, out_seq, in, in_seq);
        treap_.erase(out, out_seq);
        treap_.insert(in, in_seq);
    }
    // The k-th smallest value, 1 <= k <= size().
    double kth(std::size_t k) const noexcept { return in_array_ ? array_.kth(k) : treap_.kth(k); }
    // kth(k) with a hint of where the rank was found before, which it updates.
    double kth_near(std::size_t k, std::size_t &at) const noexcept {
        return in_array_ ? array_.kth_near(k, at) : treap_.kth(k);
    }
    std::size_t size() const { return in_array_ ? array_.size() : treap_.size(); }
    void clear() noexcept {
        treap_.clear();
        array_.clear();
        in_array_ = false;
    }
    void release() noexcept {
        treap_.release();
        array_.release();
        in_array_ = false;
    }
    // The first invariant of the set that does not hold, or null.
    const char *check() const noexcept;

private:
    PartArray array_;
    Treap treap_;
    bool in_array_ = false;  // the form in use: the array, else the treap
};

// A window of values as the order statistics see it.
//
// Invariants (check()): the set holds the present values; missing_ counts the missing values,
// kinds_ them by kind, odd_ those of unusual bits among them; pos_zero_ and neg_zero_ count the
// present zeros of each sign.
class OrderedWindow {
public:
    explicit OrderedWindow(const Memory &m) : set_(m) {}
    bool reserve(std::size_t n) noexcept { return set_.reserve(n); }
    // x is a value as the host passes it (no NaN but the missing values); seq numbers the value.
    void add(double x, std::uint64_t seq) noexcept;
    void remove(double x, std::uint64_t seq) noexcept;
    // remove(out, out_seq) and add(in, in_seq) in one step.
    void replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept;
    void clear() noexcept;
    void release() noexcept { set_.release(); }
    // A value that comes or goes without changing the counts: neither missing nor a zero.
    static bool ordinary(double x) { return x == x && x != 0.0; }
    // replace() of two ordinary values.
    void slide(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
        set_.replace(out, out_seq, in, in_seq);
    }

    std::size_t present() const { return set_.size(); }
    std::size_t rows() const { return set_.size() + missing_; }
    // The k-th smallest present value (1-based).
    double kth(std::size_t k) const { return set_.kth(k); }
    double kth_near(std::size_t k, std::size_t &at) const { return set_.kth_near(k, at); }
    // The k-th smallest missing value in the package's order (._, ., .A to .Z), 1 <= k <= missing.
    double kth_missing(std::size_t k) const;
    std::size_t missing() const { return missing_; }
    // Both zeros are present: the bits at a rank holding a zero depend on the values' order.
    bool mixed_zeros() const { return pos_zero_ > 0 && neg_zero_ > 0; }
    // A missing value in a bit pattern other than its kind's usual one is present.
    bool odd_missing() const { return odd_ > 0; }
    // The first invariant above that does not hold, or null. O(n log n) in the treap.
    const char *check() const noexcept;

private:
    void count(double x, bool in) noexcept;

    OrderSet set_;
    std::size_t kinds_[29] = {};  // missing values by kind (1 ._, 2 ., 3 .A ... 28 .Z)
    std::size_t missing_ = 0, pos_zero_ = 0, neg_zero_ = 0, odd_ = 0;
};

}  // namespace qvhost

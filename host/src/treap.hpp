// A treap of (value, number) pairs: the ordered set of a window too wide for the part array.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory.hpp"

namespace qvhost {

// The pairs ordered by value, equal values (0.0 and -0.0 included) by their number, which every
// pair has its own: O(log n) to add, remove or find the k-th. Nodes come from a Memory, in one
// block that grows, and are kept until release().
//
// Invariants (check()):
// - nodes_[0] is the empty tree: size 0;
// - every node reached from root_ lies in [1, used_), and its size is 1 + its children's sizes;
// - in order of the links, the pairs rise: by value, then by number;
// - a node's priority is at least its children's (a heap), which keeps the depth O(log n) for
//   the random priorities;
// - the free list (through l) and the nodes reached from root_ together are nodes 1 to used_ - 1,
//   each once.
class Treap {
public:
    explicit Treap(const Memory &m) : mem_(m) {}
    ~Treap() { release(); }
    Treap(const Treap &) = delete;
    Treap &operator=(const Treap &) = delete;

    // Room for n values in all, so that insert cannot fail; false when the memory is refused.
    bool reserve(std::size_t n) noexcept;
    void insert(double v, std::uint64_t seq) noexcept;  // after reserve
    void erase(double v, std::uint64_t seq) noexcept;   // a pair inserted and not yet erased (else the sizes break)
    // The k-th smallest value, 1 <= k <= size().
    double kth(std::size_t k) const noexcept;
    std::size_t size() const { return root_ == 0 ? 0 : nodes_[root_].size; }
    void clear() noexcept;
    void release() noexcept;
    // The first invariant above that does not hold, or null. O(n).
    const char *check() const noexcept;

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
    // The subtree at t checked: its pairs within (lo, hi) (0: no bound), sizes and heap; counts
    // its nodes into seen.
    const char *check_subtree(std::uint32_t t, std::uint32_t lo, std::uint32_t hi, std::size_t &seen) const noexcept;

    Memory mem_;
    Node *nodes_ = nullptr;  // nodes_[0] is the empty tree
    std::uint32_t room_ = 0, used_ = 0, free_ = 0, root_ = 0;
    std::uint32_t rng_ = 0x9E3779B9u;
    std::uint32_t audits_ = 0;  // changes since the last audit, in a debug build
};

}  // namespace qvhost

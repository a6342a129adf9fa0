#include "treap.hpp"

#include "audit.hpp"
#include "qv/values.hpp"

namespace qvhost {

bool Treap::reserve(std::size_t n) noexcept {
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

void Treap::split(std::uint32_t t, double v, std::uint64_t seq, std::uint32_t &l, std::uint32_t &r) {
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

std::uint32_t Treap::merge(std::uint32_t a, std::uint32_t b) {
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
void Treap::insert_node(std::uint32_t n) {
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
void Treap::erase_node(double v, std::uint64_t seq) {
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

void Treap::insert(double v, std::uint64_t seq) noexcept {
    std::uint32_t n = free_;
    if (n != 0) free_ = nodes_[n].l;
    else n = used_++;
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    nodes_[n] = Node{v, seq, 0, 0, 1, rng_};
    insert_node(n);
    audit(*this, audits_, "treap");
}

void Treap::erase(double v, std::uint64_t seq) noexcept {
    erase_node(v, seq);
    audit(*this, audits_, "treap");
}

double Treap::kth(std::size_t k) const noexcept {
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

void Treap::clear() noexcept {
    root_ = free_ = 0;
    used_ = room_ > 0 ? 1 : 0;
}

void Treap::release() noexcept {
    mem_.release(nodes_, room_ * sizeof(Node));
    nodes_ = nullptr;
    room_ = used_ = free_ = root_ = 0;
}

const char *Treap::check_subtree(std::uint32_t t, std::uint32_t lo, std::uint32_t hi, std::size_t &seen) const noexcept {
    if (t == 0) return nullptr;
    if (t >= used_) return "a link leads past the nodes in use";
    if (++seen >= used_) return "a node is reached twice";
    const Node &n = nodes_[t];
    if (lo != 0 && !before(lo, n.v, n.seq)) return "a pair is not above the pairs before it";
    if (hi != 0 && !before(t, nodes_[hi].v, nodes_[hi].seq)) return "a pair is not below the pairs after it";
    if (n.size != 1 + nodes_[n.l].size + nodes_[n.r].size) return "a node's size is not its subtree's";
    if ((n.l != 0 && nodes_[n.l].prio > n.prio) || (n.r != 0 && nodes_[n.r].prio > n.prio))
        return "a node's priority is below its child's";
    if (const char *fault = check_subtree(n.l, lo, t, seen)) return fault;
    return check_subtree(n.r, t, hi, seen);
}

const char *Treap::check() const noexcept {
    if (room_ == 0) return root_ == 0 && used_ == 0 && free_ == 0 ? nullptr : "nodes in use without a block";
    if (used_ < 1 || used_ > room_) return "the nodes in use exceed the block";
    if (nodes_[0].size != 0) return "the empty tree has a size";
    std::size_t seen = 0;
    if (const char *fault = check_subtree(root_, 0, 0, seen)) return fault;
    for (std::uint32_t f = free_; f != 0; f = nodes_[f].l)
        if (f >= used_ || ++seen >= used_) return "the free list leads past the nodes in use, or into the tree";
    return seen + 1 == used_ ? nullptr : "a node is neither in the tree nor free";
}

}  // namespace qvhost

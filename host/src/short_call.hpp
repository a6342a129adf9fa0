// Short calls: what to pass the package so that a call over a few values read off the ordered
// window gives the bits of the call over every value of the window, and the results of recent
// short calls, which a moving statistic reuses when a row passes the bits of one of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "catalogue.hpp"
#include "ordered.hpp"
#include "qv/pctlplan.hpp"
#include "qv/values.hpp"
#include "qvfnc.h"

namespace qvhost {

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

// A value passed that is read at no rank.
inline void put(ShortCall &c, double x) noexcept {
    c.ranks[c.nvalues] = 0;
    c.values[c.nvalues++] = x;
}

// The value at a rank of the window's present values.
inline void put_rank(ShortCall &c, const OrderedWindow &w, std::size_t rank) noexcept {
    c.ranks[c.nvalues] = rank;
    c.values[c.nvalues++] = w.kth(rank);
}

// The values a plan reads: x(rank), and x(rank + 1) when it combines two.
inline void put_plan(ShortCall &c, const OrderedWindow &w, const qv::Plan &q) noexcept {
    put_rank(c, w, static_cast<std::size_t>(q.rank));
    if (q.how != qv::Combine::None) put_rank(c, w, static_cast<std::size_t>(q.rank) + 1);
}

// The median's short call, made in place (a moving median makes one a row): the values its plan
// reads, which MEDIAN of one value or of two gives again; '.' with no present value. Both zeros
// present read as a whole call.
inline void median_call(const OrderedWindow &w, ShortCall &c) noexcept {
    c.nlead = 0;
    c.whole = w.mixed_zeros();
    c.nvalues = 0;
    const std::size_t n = w.present();
    if (n == 0) put(c, qv::MISSING_DOT);
    else put_plan(c, w, qv::median_plan(static_cast<std::int64_t>(n)));
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

// The results of recent short calls by the bits they passed: a row whose short call passes bits
// passed before (a median that did not move, or moved back to a value it had) takes that call's
// result. One slot a call, found by a hash of its bits; a later call of the same slot takes its
// place. (A call refused memory ends the batch, so its result is never read.)
class RecentCalls {
public:
    struct Result {
        double r = 0.0;
        QvStatus st = STATUS_OK;
        bool marked = false;
    };
    // Whether c passes the bits of the call in its slot, whose result is then result(); else
    // store() puts c's result there.
    bool seen(const ShortCall &c) noexcept {
        // Unrolled, each step taken or not by the count (the same row after row): no loop to leave.
        count_ = 0;
        if (c.nlead == 1) bits_[count_++] = qv::bits_of(c.lead);
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k)
            if (k < c.nvalues) bits_[count_++] = qv::bits_of(c.values[k]);
        std::uint64_t hash = static_cast<std::uint64_t>(count_);
#pragma GCC unroll 5
        for (int k = 0; k < 5; ++k)
            if (k < count_) hash = (hash ^ bits_[k]) * 0x9E3779B97F4A7C15ull;
        slot_ = &slots_[hash >> (64 - SLOT_BITS)];
        std::uint64_t differ = static_cast<std::uint64_t>(slot_->count ^ count_);
#pragma GCC unroll 5
        for (int k = 0; k < 5; ++k)
            if (k < count_) differ |= slot_->bits[k] ^ bits_[k];
        return differ == 0;
    }
    const Result &result() const { return slot_->result; }
    // The result of the call seen() last looked for.
    void store(const Result &r) noexcept {
        slot_->count = count_;
        for (int k = 0; k < count_; ++k) slot_->bits[k] = bits_[k];
        slot_->result = r;
    }

private:
    struct Slot {
        int count = -1;  // the arguments passed; -1: the slot holds none
        std::uint64_t bits[5] = {};
        Result result;
    };
    static constexpr int SLOT_BITS = 6;
    Slot slots_[1 << SLOT_BITS];
    Slot *slot_ = slots_;
    std::uint64_t bits_[5] = {};  // the bits seen() last looked for, count_ of them
    int count_ = 0;
};

}  // namespace qvhost

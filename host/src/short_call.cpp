#include "short_call.hpp"

#include <cmath>
#include <cstring>

#include "arglist.hpp"
#include "pctlpair.hpp"

namespace qvhost {

namespace {

ShortCall with_lead(double lead) {
    ShortCall c;
    c.nlead = 1;
    c.lead = lead;
    return c;
}

// PCTL family: one rank is passed alone (one value reads as itself under every definition), an
// average of two as the 50th percentile of the pair under definition 5 (its own rule), a point
// between two as the pair at a percentile that weighs them alike.
ShortCall percentile(int definition, double p, const OrderedWindow &w) {
    ShortCall c = with_lead(p);
    if (!qv::valid_percentile(p) || w.present() == 0) return c;  // invalid, or '.'
    const qv::Plan q = qv::percentile_plan(definition, static_cast<std::int64_t>(w.present()), p / 100.0);
    if (q.how == qv::Combine::Average) c.lead = 50.0;
    if (q.how == qv::Combine::Interpolate && !pair_percentile(definition, q.g, c.lead)) {
        c.whole = true;
        return c;
    }
    put_plan(c, w, q);
    return c;
}

// IQR: the values its quartiles' plans read. Two single ranks are passed as a list of two, whose
// quartiles are its first and second values; two averages as a list of four, whose quartiles
// average its first two and its last two.
ShortCall iqr(const OrderedWindow &w) {
    ShortCall c;
    const auto n = static_cast<std::int64_t>(w.present());
    if (n == 0) {
        put(c, qv::MISSING_DOT);
        return c;
    }
    const qv::Plan lower = qv::lower_quartile_plan(n), upper = qv::upper_quartile_plan(n);
    if (lower.how != upper.how || lower.how == qv::Combine::Interpolate) {
        c.whole = true;
        return c;
    }
    put_plan(c, w, lower);
    put_plan(c, w, upper);
    return c;
}

// SMALLEST, LARGEST, ORDINAL: the value at the rank, passed alone with rank 1; a rank past the
// present values reads as a missing argument, as with a missing value alone.
ShortCall ranked(OrderStat stat, double k, const OrderedWindow &w) {
    if (!qv::valid_rank(k, static_cast<std::int64_t>(w.rows()))) return with_lead(k);  // invalid whatever the values
    const auto r = static_cast<std::size_t>(qv::to_i32(k));
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

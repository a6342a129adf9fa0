// qvh_call_percentiles: several percentiles of one list from one ordering of its values. The
// ranks the percentiles read (the package's own plan, qv/pctlplan.hpp) are found together
// (multiselect.hpp); then each percentile is one call of the package over the one or two values it
// reads, as the window engine's short calls are.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "fold.hpp"
#include "internal.hpp"
#include "multiselect.hpp"
#include "pctlpair.hpp"
#include "qv/pctlplan.hpp"

namespace qvhost {

bool pair_percentile(int definition, double g, double &lead) noexcept {
    const double m = definition == 4 ? 3.0 : 2.0;
    const double at = (1.0 + g) / m * 100.0;
    double up = at, down = at;
    for (int k = 0; k < 9; ++k) {
        const double candidate = k % 2 == 0 ? up : down;
        const qv::Plan q = qv::percentile_plan(definition, 2, candidate / 100.0);
        if (q.how == qv::Combine::Interpolate && q.rank == 1 && qv::bits_of(q.g) == qv::bits_of(g)) {
            lead = candidate;
            return true;
        }
        if (k % 2 == 0) up = std::nextafter(up, 200.0);
        else down = std::nextafter(down, -100.0);
    }
    return false;
}

namespace {

// The present values of the list: how many, what decides whether a rank's bits are known, and the
// values at the ranks the percentiles read.
struct Present {
    std::size_t n = 0;
    std::vector<std::size_t> ranks;  // sorted, distinct
    std::vector<double> values;      // by rank
    std::size_t negative = 0, pos_zero = 0, neg_zero = 0;
    // Ranks (from 1) that hold a zero while both zeros are present: a selection may leave either there.
    bool zero_rank(std::int64_t r) const {
        const auto at = static_cast<std::size_t>(r);
        return pos_zero > 0 && neg_zero > 0 && at > negative && at <= negative + pos_zero + neg_zero;
    }
};

double at_rank(const Present &a, std::size_t rank) {
    return a.values[static_cast<std::size_t>(std::lower_bound(a.ranks.begin(), a.ranks.end(), rank) - a.ranks.begin())];
}

// What one percentile calls: the short call, or the whole list.
struct Job {
    ShortCall c;
    std::int64_t ranks[2] = {0, 0};
};

Job plan_job(int definition, double p, const Present &a) {
    Job j;
    j.c.nlead = 1;
    j.c.lead = p;
    if (!qv::valid_percentile(p) || a.n == 0) return j;  // invalid whatever the values, or '.'
    const qv::Plan q = qv::percentile_plan(definition, static_cast<std::int64_t>(a.n), p / 100.0);
    const bool two = q.how != qv::Combine::None;
    if (a.zero_rank(q.rank) || (two && a.zero_rank(q.rank + 1))) {
        j.c.whole = true;
        return j;
    }
    if (q.how == qv::Combine::Average) j.c.lead = 50.0;  // the average of a pair under its own definition
    if (q.how == qv::Combine::Interpolate && !pair_percentile(definition, q.g, j.c.lead)) {
        j.c.whole = true;
        return j;
    }
    j.c.nvalues = two ? 2 : 1;
    j.ranks[0] = q.rank;
    j.ranks[1] = q.rank + 1;
    return j;
}

// MEDIAN's: the one or two values its plan reads, which MEDIAN of one value or of two gives again
// (the window engine's short call); the whole list where none is present.
Job median_job(const Present &a) {
    Job j;
    if (a.n == 0) {
        j.c.whole = true;
        return j;
    }
    const qv::Plan q = qv::median_plan(static_cast<std::int64_t>(a.n));
    const bool two = q.how != qv::Combine::None;
    j.c.whole = a.zero_rank(q.rank) || (two && a.zero_rank(q.rank + 1));
    j.c.nvalues = j.c.whole ? 0 : two ? 2 : 1;
    j.ranks[0] = q.rank;
    j.ranks[1] = q.rank + 1;
    return j;
}

// Counts the present values (a NaN that is not a missing value is '.', so not present), the
// negative ones and the zeros of each sign. A column of doubles is read in pairs, each count kept
// as a sum of tests (-1 where true), without a branch a value.
int count(qvh_call *call, const double *xs, std::size_t n, std::ptrdiff_t stride, Present &a) {
    using Pair = double __attribute__((vector_size(16)));
    using Tests = std::int64_t __attribute__((vector_size(16)));
    const char *at = reinterpret_cast<const char *>(xs);
    std::size_t i = 0;
    if (stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        Tests present = {}, negative = {}, zero = {}, neg_zero = {};
        for (; i + 2 <= n; i += 2, at += 2 * sizeof(double)) {
            if ((i & 0xFFFF) == 0 && i > 0 && call->interrupt.due(0x10000))
                return fail(QVH_E_INTERRUPTED, Msg() << call->label.view() << ": interrupted");
            Pair x;
            std::memcpy(&x, at, sizeof x);
            Tests bits;
            std::memcpy(&bits, &x, sizeof bits);
            const Tests z = x == Pair{};
            present += x == x;
            negative += x < Pair{};
            zero += z;
            neg_zero += z & (bits < Tests{});
        }
        a.n = static_cast<std::size_t>(-(present[0] + present[1]));
        a.negative = static_cast<std::size_t>(-(negative[0] + negative[1]));
        a.neg_zero = static_cast<std::size_t>(-(neg_zero[0] + neg_zero[1]));
        a.pos_zero = static_cast<std::size_t>(-(zero[0] + zero[1])) - a.neg_zero;
    }
    for (; i < n; ++i, at += stride) {
        if ((i & 0xFFFF) == 0xFFFF && call->interrupt.due(0x10000))
            return fail(QVH_E_INTERRUPTED, Msg() << call->label.view() << ": interrupted");
        double x;
        std::memcpy(&x, at, sizeof x);
        a.n += x == x ? 1 : 0;
        a.negative += x < 0.0 ? 1 : 0;
        if (x == 0.0) ++(std::signbit(x) ? a.neg_zero : a.pos_zero);
    }
    return QVH_OK;
}

// The percentile of job j: the short call over the values at its ranks, or the call over the list.
int answer(qvh_call *call, const Job &j, const Present &a, const double *xs, std::size_t n, std::ptrdiff_t stride,
           Outcome &r, bool &marked) {
    if (j.c.whole) {
        // A call over the whole list, which the interrupt check cannot cut: it is consulted first.
        if (call->interrupt.due(n)) return fail(QVH_E_INTERRUPTED, Msg() << call->label.view() << ": interrupted");
        marked = false;
        return call_over_whole(call, j.c.nlead == 1 ? &j.c.lead : nullptr, static_cast<std::size_t>(j.c.nlead), xs, n,
                               stride, &r.value, &r.status, nullptr);
    }
    ShortCall c = j.c;
    for (int k = 0; k < c.nvalues; ++k) c.values[k] = at_rank(a, static_cast<std::size_t>(j.ranks[k]));
    SmallList small;
    FuncArgList *list = small.build(c, call->pool.host());
    r.status = call->entry.list(list, &r.value);
    marked = (list->args[0].flags & FUNCARG_INVALID) != 0;
    deliver(r.value, r.status);
    return memory_status(r.status) ? no_memory(call->label.view(), 0, 0, take_refused()) : QVH_OK;
}

// MEDIAN (ps null) or the percentiles ps of one list.
int by_ranks(qvh_call *call, int definition, const double *ps, std::size_t np, const double *xs, std::size_t n,
             std::ptrdiff_t stride, double *results, std::int32_t *statuses, unsigned char *marked) {
    Present a;
    if (const int rc = count(call, xs, n, stride, a); rc != QVH_OK) return rc;
    std::vector<Job> jobs(np);
    for (std::size_t k = 0; k < np; ++k) {
        jobs[k] = ps == nullptr ? median_job(a) : plan_job(definition, edge_value(ps[k]), a);
        for (int i = 0; i < jobs[k].c.nvalues; ++i) a.ranks.push_back(static_cast<std::size_t>(jobs[k].ranks[i]));
    }
    std::sort(a.ranks.begin(), a.ranks.end());
    a.ranks.erase(std::unique(a.ranks.begin(), a.ranks.end()), a.ranks.end());
    if (const int rc = values_at_ranks(call, xs, n, stride, a.n, a.ranks, a.values); rc != QVH_OK) return rc;
    for (std::size_t k = 0; k < np; ++k) {
        Outcome r{qv::MISSING_DOT, STATUS_OK};
        bool m = false;
        if (const int rc = answer(call, jobs[k], a, xs, n, stride, r, m); rc != QVH_OK) return rc;
        results[k] = r.value;
        if (statuses != nullptr) statuses[k] = r.status;
        if (marked != nullptr) marked[k] = m ? 1 : 0;
    }
    return QVH_OK;
}

}  // namespace

int over_by_ranks(qvh_call *call, OrderStat stat, int definition, const double *lead, const double *xs, std::size_t n,
                  std::ptrdiff_t stride, double *result, std::int32_t *status) noexcept {
    try {
        return by_ranks(call, definition, stat == OrderStat::Median ? nullptr : lead, 1, xs, n, stride, result, status,
                        nullptr);
    } catch (...) {
        const std::size_t refused = take_refused();
        return no_memory(call->label.view(), 0, 0, refused != 0 ? refused : n * sizeof(double));
    }
}

}  // namespace qvhost

using namespace qvhost;

extern "C" {

int qvh_call_percentiles(qvh_call *call, const double *ps, size_t np, const double *xs, size_t n, ptrdiff_t stride,
                         double *results, int32_t *statuses, unsigned char *marked) noexcept {
    if (call == nullptr) return fail(QVH_E_NULL, "the call is NULL");
    if ((np > 0 && (ps == nullptr || results == nullptr)) || (n > 0 && xs == nullptr))
        return fail(QVH_E_NULL, Msg() << call->label.view() << ": qvh_call_percentiles needs the percentiles, the values and the results");
    int definition = 0;
    if (order_stat_of(*call->info, definition) != OrderStat::Pctl)
        return fail(QVH_E_KIND, Msg() << call->label.view() << " is not a percentile (PCTL, PCTL1 to PCTL5)");
    if (n >= QVH_MAX_ARGS) return check_count(*call->info, call->label.view(), n + 1);
    take_refused();
    try {
        const int rc = by_ranks(call, definition, ps, np, xs, n, stride, results, statuses, marked);
        return rc == QVH_OK ? ok() : rc;
    } catch (...) {
        const std::size_t refused = take_refused();
        return no_memory(call->label.view(), 0, 0, refused != 0 ? refused : n * sizeof(double));
    }
}

}  // extern "C"

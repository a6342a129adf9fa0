// Values at several ranks of a long array. A sample of the values brackets each rank between two
// values; one pass over the array counts the values below each bracket and keeps those inside, and
// a selection within the kept values gives each rank. A bracket that misses its rank (a sample far
// from the values' distribution) sends the work to the plain way: a copy of the present values,
// ordered by selections that narrow on the ranks.
#include "multiselect.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace qvhost {

namespace {

using Values = std::vector<double, MemoryAllocator<double>>;

// Below LONG present values, or with fewer than a quarter of the sample drawn, the plain way. The
// sample is a 64th of the list, within [SAMPLE_LEAST, SAMPLE_MOST]: its brackets keep about
// 4 / sqrt(sample size) of the list each, so that the pass over the list outweighs the sample's
// own cost and the selection among the kept values.
constexpr std::size_t SAMPLE_LEAST = std::size_t{1} << 12, SAMPLE_MOST = std::size_t{1} << 16;
constexpr std::size_t LONG = std::size_t{1} << 19;

int interrupted(qvh_call *call) { return fail(QVH_E_INTERRUPTED, Msg() << call->label.view() << ": interrupted"); }

// Places the value of every rank in ranks[0, nr) (sorted, from 1, within (lo, hi]) at index rank - 1
// of v: the middle rank by a selection, then the ranks on each side within that side.
int select_ranks(qvh_call *call, double *v, std::size_t lo, std::size_t hi, const std::size_t *ranks, std::size_t nr) {
    while (nr > 0) {
        const std::size_t mid = nr / 2, k = ranks[mid] - 1;
        if (call->interrupt.due(hi - lo)) return interrupted(call);
        if (k == lo) std::iter_swap(v + lo, std::min_element(v + lo, v + hi));
        else if (k + 1 == hi) std::iter_swap(v + k, std::max_element(v + lo, v + hi));
        else std::nth_element(v + lo, v + k, v + hi);
        if (const int rc = select_ranks(call, v, lo, k, ranks, mid); rc != QVH_OK) return rc;
        lo = k + 1;
        ranks += mid + 1;
        nr -= mid + 1;
    }
    return QVH_OK;
}

// The plain way: every present value copied, then the selections.
int by_copy(qvh_call *call, const char *at, std::size_t n, std::ptrdiff_t stride, const std::vector<std::size_t> &ranks,
            std::vector<double> &out) {
    Values v{MemoryAllocator<double>(call->mem)};
    v.reserve(n);
    for (std::size_t i = 0; i < n; ++i, at += stride) {
        if ((i & 0xFFFF) == 0xFFFF && call->interrupt.due(0x10000)) return interrupted(call);
        const double x = load(at);
        if (x == x) v.push_back(x);
    }
    if (const int rc = select_ranks(call, v.data(), 0, v.size(), ranks.data(), ranks.size()); rc != QVH_OK) return rc;
    for (std::size_t i = 0; i < ranks.size(); ++i) out[i] = v[ranks[i] - 1];
    return QVH_OK;
}

// Brackets [lo[j], hi[j]], sorted and apart (hi[j] < lo[j + 1]), the bracket of each rank, and
// the share of the sample inside them (what the pass is expected to keep).
struct Brackets {
    std::vector<double> lo, hi;
    std::vector<std::size_t> of_rank;
    std::vector<double> share;
};

// Past this share of the list inside the brackets (many percentiles), copying it all costs less.
constexpr double MOST_KEPT = 0.25;

// A bracket for each rank about four standard deviations of the sample's position wide on each
// side; brackets that meet are one.
Brackets bracket(const std::vector<double> &sample, std::size_t present, const std::vector<std::size_t> &ranks) {
    Brackets b;
    const double ns = static_cast<double>(sample.size());
    for (const std::size_t r : ranks) {
        const double f = (static_cast<double>(r) - 0.5) / static_cast<double>(present);
        const double width = 4.0 * std::sqrt(ns * f * (1.0 - f)) + 8.0;
        const double first = std::floor(f * ns - width), last = std::ceil(f * ns + width);
        const double lo = first <= 0.0 ? -HUGE_VAL : sample[static_cast<std::size_t>(first)];
        const double hi = last >= ns - 1.0 ? HUGE_VAL : sample[static_cast<std::size_t>(last)];
        const double share = (std::min(last, ns - 1.0) - std::max(first, 0.0) + 1.0) / ns;
        if (!b.lo.empty() && lo <= b.hi.back()) {
            b.hi.back() = std::max(b.hi.back(), hi);
            b.share.back() += share;  // at most: the two overlap
        } else {
            b.lo.push_back(lo);
            b.hi.push_back(hi);
            b.share.push_back(share);
        }
        b.of_rank.push_back(b.lo.size() - 1);
    }
    return b;
}

// Present values drawn at random places (the same places every time), sorted; empty when too
// few are present to draw enough.
std::vector<double> draw(const char *at, std::size_t n, std::ptrdiff_t stride) {
    const std::size_t size = std::clamp(n / 64, SAMPLE_LEAST, SAMPLE_MOST);
    std::vector<double> sample;
    sample.reserve(size);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::size_t tries = 0; tries < 4 * size && sample.size() < size; ++tries) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double x = load(at + static_cast<std::ptrdiff_t>((state >> 11) % n) * stride);
        if (x == x) sample.push_back(x);
    }
    if (sample.size() < size / 4) sample.clear();
    std::sort(sample.begin(), sample.end());
    return sample;
}

// The pass over the values: counts below each bracket (below[j]: between bracket j - 1 and j) and
// the values inside each. With few brackets, each value is compared with every bracket's start,
// and only a value inside a bracket (a few in a hundred) takes a branch of its own: which side of
// a bracket a value falls is as likely one as the other, and a branch on it would be mispredicted
// every other value.
constexpr std::size_t FEW_BRACKETS = 16;
int sort_out(qvh_call *call, const char *at, std::size_t n, std::ptrdiff_t stride, const Brackets &b, std::vector<std::size_t> &below, std::vector<Values> &inside) {
    const std::size_t m = b.lo.size();
    const double *lo = b.lo.data();
    if (m <= FEW_BRACKETS) {
        // with[c][t]: the values with t starts at or below them, in four tables taken in turn, so
        // that an increment does not wait for the one before.
        std::size_t with[4][FEW_BRACKETS + 1] = {};
        double hi[FEW_BRACKETS + 1];  // hi[t]: the end of the bracket of a value with t starts at or below it
        hi[0] = std::numeric_limits<double>::quiet_NaN();
        std::copy(b.hi.begin(), b.hi.end(), hi + 1);
        // The starts in pairs, the pairs every x86-64 and ARM64 compares at once (+inf past m).
        using Pair = double __attribute__((vector_size(16)));
        using Tests = std::int64_t __attribute__((vector_size(16)));
        Pair starts[FEW_BRACKETS / 2];
        for (std::size_t j = 0; j < FEW_BRACKETS; ++j) starts[j / 2][j % 2] = j < m ? lo[j] : HUGE_VAL;
        const std::size_t pairs = (m + 1) / 2;
        for (std::size_t i = 0; i < n; ++i, at += stride) {
            if ((i & 0xFFFF) == 0xFFFF && call->interrupt.due(0x10000)) return interrupted(call);
            const double x = load(at);
            if (x != x) continue;
            const Pair xx = {x, x};
            Tests below_x = {};  // -1 for each start at or below x
            for (std::size_t k = 0; k < pairs; ++k) below_x += starts[k] <= xx;
            const auto t = static_cast<std::size_t>(-(below_x[0] + below_x[1]));
            ++with[i & 3][t];
            if (x <= hi[t]) inside[t - 1].push_back(x);
        }
        for (std::size_t t = 0; t <= m; ++t)
            below[t] = with[0][t] + with[1][t] + with[2][t] + with[3][t] - (t > 0 ? inside[t - 1].size() : 0);
        return QVH_OK;
    }
    for (std::size_t i = 0; i < n; ++i, at += stride) {
        if ((i & 0xFFFF) == 0xFFFF && call->interrupt.due(0x10000)) return interrupted(call);
        const double x = load(at);
        if (x != x) continue;
        const auto t = static_cast<std::size_t>(std::upper_bound(lo, lo + m, x) - lo);  // the brackets that start at or below x
        if (t > 0 && x <= b.hi[t - 1]) inside[t - 1].push_back(x);
        else ++below[t];
    }
    return QVH_OK;
}

// The bracketed way; ok false when a bracket missed its rank.
int by_brackets(qvh_call *call, const char *at, std::size_t n, std::ptrdiff_t stride, std::size_t present,
                const std::vector<std::size_t> &ranks, std::vector<double> &out, bool &ok) {
    ok = false;
    const std::vector<double> sample = draw(at, n, stride);
    if (sample.empty()) return QVH_OK;
    const Brackets b = bracket(sample, present, ranks);
    double kept = 0.0;
    for (const double share : b.share) kept += share;
    if (kept > MOST_KEPT) return QVH_OK;
    std::vector<std::size_t> below(b.lo.size() + 1, 0);
    std::vector<Values> inside(b.lo.size(), Values{MemoryAllocator<double>(call->mem)});
    for (std::size_t j = 0; j < inside.size(); ++j)
        inside[j].reserve(static_cast<std::size_t>(b.share[j] * 1.25 * static_cast<double>(present)) + 1024);
    if (const int rc = sort_out(call, at, n, stride, b, below, inside); rc != QVH_OK) return rc;
    std::size_t less = 0;  // the values below bracket j
    for (std::size_t j = 0, i = 0; j < b.lo.size(); ++j) {
        less += below[j];
        std::vector<std::size_t> local;
        for (; i < ranks.size() && b.of_rank[i] == j; ++i) {
            if (ranks[i] <= less || ranks[i] > less + inside[j].size()) return QVH_OK;
            local.push_back(ranks[i] - less);
        }
        double *v = inside[j].data();
        if (const int rc = select_ranks(call, v, 0, inside[j].size(), local.data(), local.size()); rc != QVH_OK) return rc;
        for (std::size_t k = 0; k < local.size(); ++k) out[i - local.size() + k] = v[local[k] - 1];
        less += inside[j].size();
    }
    ok = true;
    return QVH_OK;
}

}  // namespace

int values_at_ranks(qvh_call *call, const double *xs, std::size_t n, std::ptrdiff_t stride, std::size_t present,
                    const std::vector<std::size_t> &ranks, std::vector<double> &out) {
    out.assign(ranks.size(), 0.0);
    if (ranks.empty()) return QVH_OK;
    const char *at = reinterpret_cast<const char *>(xs);
    if (present >= LONG) {
        bool ok = false;
        if (const int rc = by_brackets(call, at, n, stride, present, ranks, out, ok); rc != QVH_OK || ok) return rc;
    }
    return by_copy(call, at, n, stride, ranks, out);
}

}  // namespace qvhost

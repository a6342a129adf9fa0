// Aggregates: a list-form statistic fed one value at a time, with the result of one call over
// every value in the order added. A statistic whose result can be assembled from calls over
// blocks of values (N, NMISS, SUM, MEAN, MIN, MAX, RANGE) keeps a fixed-size state: a block of
// pending values and what the calls over earlier blocks gave. Every other statistic keeps its
// values. Every number is computed by the package, through its function table.
#include <cmath>
#include <cstring>
#include <deque>
#include <new>

#include "internal.hpp"
#include "qv/values.hpp"

namespace qvhost {

namespace {

// Pending values a fixed state holds before it folds them: 32 KiB.
constexpr std::size_t BLOCK = 4096;
constexpr std::uint64_t MAX_ARGS = 0x7FFFFFFF;
constexpr char SAVE_MAGIC[4] = {'Q', 'V', 'A', '1'};

enum class Fold { None, N, NMiss, Sum, Mean, Min, Max, Range };

Fold fold_of(const qvh_info &f) {
    const std::string_view name = f.name;
    if (f.aggregate != QVH_AGG_FIXED) return Fold::None;
    if (name == "N") return Fold::N;
    if (name == "NMISS") return Fold::NMiss;
    if (name == "SUM") return Fold::Sum;
    if (name == "MEAN") return Fold::Mean;
    if (name == "MIN") return Fold::Min;
    if (name == "MAX") return Fold::Max;
    return Fold::Range;
}

// What the calls over the folded values gave.
struct FixedState {
    double lo = 0.0, hi = 0.0;   // SUM: the sum; MIN, MAX: the extreme; RANGE: both extremes
    bool has_lo = false, has_hi = false;
    bool seen = false;           // a non-missing value was folded
    std::uint64_t count = 0;     // N, NMISS, MEAN: values counted
    double first = 0.0;          // MEAN: the first non-missing value
    bool differ = false;         // MEAN: a later value differs from it
};

struct Outcome {
    double value;
    QvStatus status;
};

}  // namespace

}  // namespace qvhost

struct qvh_agg {
    qvh_package *pkg = nullptr;
    const qvh_info *info = nullptr;
    QvEntry entry{};
    qvhost::Fold fold = qvhost::Fold::None;
    bool keep = false;
    bool has_param = false;
    double param = 0.0;
    std::deque<double> values;  // every value kept, or a fixed state's pending ones
    std::uint64_t folded = 0;   // values folded into the fixed state
    qvhost::FixedState state;
    // The fold of the last result: state with values[0, preview_end) folded in (0: none), so
    // that results asked for row after row fold only the values added since.
    qvhost::FixedState preview;
    std::size_t preview_end = 0;
    qvhost::CountingPool pool{"qvh aggregate pool"};
    std::vector<std::uint64_t> record;  // the FuncArgList of the last call
};

namespace qvhost {

namespace {

QvEntry entry_of(const qvh_agg &agg, std::string_view name) { return agg.pkg->entries[index_of(*find_function(name))]; }

// Calls a list-form function over lead[0..nlead) followed by values[begin, end).
Outcome call_over(qvh_agg &agg, QvEntry entry, const double *lead, std::size_t nlead,
                  const std::deque<double> &values, std::size_t begin, std::size_t end) {
    const std::size_t n = nlead + (end - begin);
    agg.record.assign((sizeof(FuncArgList) + n * sizeof(FuncArg)) / 8, 0);
    auto *list = reinterpret_cast<FuncArgList *>(agg.record.data());
    list->pool = agg.pool.host();
    list->count = static_cast<std::int64_t>(n);
    std::size_t k = 0;
    for (std::size_t i = 0; i < nlead; ++i, ++k) list->args[k] = {FUNCARG_NUMERIC, const_cast<double *>(&lead[i])};
    for (std::size_t i = begin; i < end; ++i, ++k) list->args[k] = {FUNCARG_NUMERIC, const_cast<double *>(&values[i])};
    Outcome out{qv::MISSING_DOT, STATUS_OK};
    out.status = entry.list(list, &out.value);
    return out;
}

Outcome call_values(qvh_agg &agg, QvEntry entry, std::initializer_list<double> lead) {
    static const std::deque<double> none;
    return call_over(agg, entry, lead.begin(), lead.size(), none, 0, 0);
}

// Folds values[begin, end) into s: the calls over a block given what earlier blocks gave.
void fold_block(qvh_agg &agg, FixedState &s, std::size_t begin, std::size_t end) {
    const auto &v = agg.values;
    auto extreme = [&](const char *name, double &acc, bool &has) {
        const double lead[1] = {acc};
        const Outcome r = call_over(agg, entry_of(agg, name), lead, has ? 1 : 0, v, begin, end);
        has = r.status == STATUS_OK;
        acc = r.value;
    };
    switch (agg.fold) {
        case Fold::N:
        case Fold::NMiss: {
            const Outcome r = call_over(agg, agg.entry, nullptr, 0, v, begin, end);
            s.count += static_cast<std::uint64_t>(r.value);
            break;
        }
        case Fold::Mean:
            for (std::size_t i = begin; i < end; ++i) {
                if (qv::is_missing(v[i])) continue;
                if (s.count == 0) s.first = v[i];
                else if (!(v[i] == s.first)) s.differ = true;
                ++s.count;
            }
            extreme("SUM", s.lo, s.has_lo);
            break;
        case Fold::Sum:
            extreme("SUM", s.lo, s.has_lo);
            break;
        case Fold::Min:
            extreme("MIN", s.lo, s.has_lo);
            break;
        case Fold::Max:
            extreme("MAX", s.lo, s.has_lo);
            break;
        case Fold::Range:
            for (std::size_t i = begin; i < end && !s.seen; ++i) s.seen = !qv::is_missing(v[i]);
            extreme("MIN", s.lo, s.has_lo);
            extreme("MAX", s.hi, s.has_hi);
            break;
        case Fold::None:
            break;
    }
}

// The result of a fixed state whose every value has been folded.
Outcome finish(qvh_agg &agg, const FixedState &s) {
    switch (agg.fold) {
        case Fold::N:
        case Fold::NMiss:
            return {static_cast<double>(s.count), STATUS_OK};
        case Fold::Sum:
        case Fold::Min:
        case Fold::Max:
            return s.has_lo ? Outcome{s.lo, STATUS_OK} : call_values(agg, agg.entry, {});
        case Fold::Mean:
            // The mean of equal values is the value itself; otherwise the sum over the count.
            if (s.count == 0) return call_values(agg, agg.entry, {});
            if (!s.differ) return call_values(agg, agg.entry, {s.first});
            return call_values(agg, entry_of(agg, "DIVIDE"), {s.lo, static_cast<double>(s.count)});
        case Fold::Range:
            // An extreme at the very end of the double range reads as missing from MIN and MAX.
            if (!s.seen) return call_values(agg, agg.entry, {});
            return call_values(agg, agg.entry, {s.has_lo ? s.lo : qv::DBL_MAX_VALUE, s.has_hi ? s.hi : -qv::DBL_MAX_VALUE});
        case Fold::None:
            break;
    }
    return {qv::MISSING_DOT, STATUS_OK};
}

void compact(qvh_agg &agg) {
    agg.preview_end = 0;
    fold_block(agg, agg.state, 0, agg.values.size());
    agg.folded += agg.values.size();
    agg.values.clear();
}

int check(const qvh_agg *agg) { return agg == nullptr ? fail(QVH_E_NULL, "the aggregate is NULL") : QVH_OK; }

bool same_bits(double a, double b) { return qv::bits_of(a) == qv::bits_of(b); }

int add_one(qvh_agg *agg, double x) {
    if (agg->folded + agg->values.size() + (agg->info->leading_param ? 1 : 0) >= MAX_ARGS)
        return fail(QVH_E_LIMIT, std::string(agg->info->name) + ": an aggregate takes at most 2147483647 values");
    agg->values.push_back(edge_value(x));
    if (agg->fold != Fold::None && !agg->keep && agg->values.size() >= BLOCK) compact(*agg);
    return QVH_OK;
}

template <class T>
unsigned char *put(unsigned char *p, const T &v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
}

template <class T>
bool take(const unsigned char *&p, const unsigned char *end, T &v) {
    if (static_cast<std::size_t>(end - p) < sizeof v) return false;
    std::memcpy(&v, p, sizeof v);
    p += sizeof v;
    return true;
}

// The saved form: magic, function, flags, parameter, fixed state, then the values kept.
constexpr std::size_t SAVE_HEAD = 4 + 4 + 1 + 8 + 8 + 8 + 8 + 8 + 8 + 8;

std::size_t saved_size(const qvh_agg &agg) { return SAVE_HEAD + 8 * agg.values.size(); }

void save_into(const qvh_agg &agg, unsigned char *p) {
    std::memcpy(p, SAVE_MAGIC, 4);
    p = put(p + 4, static_cast<std::uint32_t>(index_of(*agg.info)));
    const std::uint8_t bits = (agg.has_param ? 1 : 0) | (agg.state.has_lo ? 2 : 0) | (agg.state.has_hi ? 4 : 0) |
                              (agg.state.seen ? 8 : 0) | (agg.state.differ ? 16 : 0);
    p = put(p, bits);
    p = put(p, agg.param);
    p = put(p, agg.state.lo);
    p = put(p, agg.state.hi);
    p = put(p, agg.state.count);
    p = put(p, agg.state.first);
    p = put(p, agg.folded);
    p = put(p, static_cast<std::uint64_t>(agg.values.size()));
    for (double x : agg.values) p = put(p, x);
}

}  // namespace

}  // namespace qvhost

using namespace qvhost;

extern "C" {

int qvh_agg_new(qvh_package *pkg, const char *name, unsigned flags, qvh_agg **out) {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_agg_new: out is NULL");
    *out = nullptr;
    const qvh_info *info = nullptr;
    QvEntry entry{};
    if (const int rc = resolve(pkg, name, "qvh_agg_new", info, entry); rc != QVH_OK) return rc;
    if (info->aggregate == QVH_AGG_NONE) return fail(QVH_E_STATE, std::string(info->name) + " is not a statistic over rows");
    auto *agg = new (std::nothrow) qvh_agg;
    if (agg == nullptr) return fail(QVH_E_NOMEM, "qvh_agg_new: out of memory");
    agg->pkg = pkg;
    agg->info = info;
    agg->entry = entry;
    agg->fold = fold_of(*info);
    agg->keep = (flags & QVH_AGG_KEEP_VALUES) != 0;
    *out = agg;
    return ok();
}

void qvh_agg_free(qvh_agg *agg) { delete agg; }

const qvh_info *qvh_agg_info(const qvh_agg *agg) { return agg == nullptr ? nullptr : agg->info; }

int qvh_agg_param(qvh_agg *agg, double p) {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (!agg->info->leading_param) return fail(QVH_E_STATE, std::string(agg->info->name) + " takes no parameter");
    p = edge_value(p);
    if (agg->has_param && !same_bits(agg->param, p))
        return fail(QVH_E_STATE, std::string(agg->info->name) + ": the " +
                                     (agg->info->usage[std::strlen(agg->info->name) + 1] == 'p' ? "percentile" : "rank") +
                                     " must be the same for every row of a group");
    agg->param = p;
    agg->has_param = true;
    return QVH_OK;
}

int qvh_agg_add(qvh_agg *agg, double x) {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    try {
        return add_one(agg, x);
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, std::string(agg->info->name) + ": out of memory for the values");
    }
}

int qvh_agg_add_n(qvh_agg *agg, const double *xs, size_t n) {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (xs == nullptr && n > 0) return fail(QVH_E_NULL, "qvh_agg_add_n: the values are NULL");
    try {
        for (size_t i = 0; i < n; ++i)
            if (const int rc = add_one(agg, xs[i]); rc != QVH_OK) return rc;
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, std::string(agg->info->name) + ": out of memory for the values");
    }
    return QVH_OK;
}

int qvh_agg_remove_first(qvh_agg *agg) {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (agg->folded > 0)
        return fail(QVH_E_STATE, std::string(agg->info->name) +
                                     ": values folded into a fixed state cannot be taken out again (keep the values)");
    if (agg->values.empty()) return fail(QVH_E_STATE, std::string(agg->info->name) + ": there is no value to remove");
    agg->values.pop_front();
    agg->preview_end = 0;
    return QVH_OK;
}

int qvh_agg_keep_values(qvh_agg *agg) {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    agg->keep = true;
    return QVH_OK;
}

int qvh_agg_merge(qvh_agg *into, const qvh_agg *from) {
    if (const int rc = check(into); rc != QVH_OK) return rc;
    if (const int rc = check(from); rc != QVH_OK) return rc;
    if (into == from) return fail(QVH_E_STATE, "an aggregate cannot be merged into itself");
    if (into->info != from->info)
        return fail(QVH_E_STATE, std::string("cannot merge an aggregate of ") + from->info->name + " into one of " + into->info->name);
    if (from->has_param && into->has_param && !same_bits(from->param, into->param))
        return fail(QVH_E_STATE, std::string(into->info->name) + ": the parameters of the two aggregates differ");
    const bool exact_fold = into->fold == Fold::N || into->fold == Fold::NMiss || into->fold == Fold::Min ||
                            into->fold == Fold::Max || into->fold == Fold::Range;
    if (from->folded > 0 && (!exact_fold || into->keep))
        return fail(QVH_E_STATE, std::string(into->info->name) +
                                     ": this partial state has folded its values, so it cannot be appended in order");
    try {
        if (from->has_param) {
            into->param = from->param;
            into->has_param = true;
        }
        if (from->folded == 0) {
            for (double x : from->values)
                if (const int rc = add_one(into, x); rc != QVH_OK) return rc;
            return QVH_OK;
        }
        // Both fold exactly: the values of into come first, then those of from.
        auto *other = const_cast<qvh_agg *>(from);
        FixedState theirs = other->state;
        fold_block(*other, theirs, 0, other->values.size());
        compact(*into);
        FixedState &mine = into->state;
        const std::deque<double> pair_lo = {mine.lo, theirs.lo}, pair_hi = {mine.hi, theirs.hi};
        auto join = [&](const char *name, const std::deque<double> &pair, bool &has_mine, bool has_theirs, double &acc) {
            if (!has_theirs) return;
            const std::size_t begin = has_mine ? 0 : 1;
            const Outcome r = call_over(*into, entry_of(*into, name), nullptr, 0, pair, begin, 2);
            has_mine = r.status == STATUS_OK;
            acc = r.value;
        };
        switch (into->fold) {
            case Fold::N:
            case Fold::NMiss:
                mine.count += theirs.count;
                break;
            case Fold::Min:
            case Fold::Max:
                join(into->fold == Fold::Min ? "MIN" : "MAX", pair_lo, mine.has_lo, theirs.has_lo, mine.lo);
                break;
            default:
                join("MIN", pair_lo, mine.has_lo, theirs.has_lo, mine.lo);
                join("MAX", pair_hi, mine.has_hi, theirs.has_hi, mine.hi);
                mine.seen = mine.seen || theirs.seen;
                break;
        }
        into->folded += from->folded + from->values.size();
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, std::string(into->info->name) + ": out of memory for the values");
    }
    return QVH_OK;
}

uint64_t qvh_agg_rows(const qvh_agg *agg) { return agg == nullptr ? 0 : agg->folded + agg->values.size(); }

int qvh_agg_result(qvh_agg *agg, double *result, int32_t *status) {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (result == nullptr) return fail(QVH_E_NULL, "qvh_agg_result: result is NULL");
    try {
        Outcome r{};
        if (agg->fold != Fold::None) {
            // Folding is exact at any block boundary, so the last result's fold goes on.
            const std::size_t begin = agg->preview_end;
            FixedState s = begin == 0 ? agg->state : agg->preview;
            if (begin == 0 || begin < agg->values.size()) fold_block(*agg, s, begin, agg->values.size());
            agg->preview = s;
            agg->preview_end = agg->values.size();
            r = finish(*agg, s);
        } else if (agg->info->leading_param) {
            if (!agg->has_param)
                return fail(QVH_E_STATE, std::string(agg->info->name) + ": the parameter was never given");
            const double lead[1] = {agg->param};
            r = call_over(*agg, agg->entry, lead, 1, agg->values, 0, agg->values.size());
        } else {
            r = call_over(*agg, agg->entry, nullptr, 0, agg->values, 0, agg->values.size());
        }
        agg->record.clear();
        agg->record.shrink_to_fit();
        *result = r.value;
        if (status != nullptr) *status = r.status;
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, std::string(agg->info->name) + ": out of memory for the argument list");
    }
    return QVH_OK;
}

void qvh_agg_reset(qvh_agg *agg) {
    if (agg == nullptr) return;
    agg->values.clear();
    agg->folded = 0;
    agg->state = FixedState{};
    agg->preview_end = 0;
    agg->has_param = false;
    agg->param = 0.0;
}

size_t qvh_agg_save(const qvh_agg *agg, void *buf, size_t size) {
    if (agg == nullptr) return 0;
    const std::size_t n = saved_size(*agg);
    if (buf != nullptr && size >= n) save_into(*agg, static_cast<unsigned char *>(buf));
    return n;
}

int qvh_agg_load(qvh_agg *agg, const void *buf, size_t size) {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (buf == nullptr) return fail(QVH_E_NULL, "qvh_agg_load: the bytes are NULL");
    const auto *p = static_cast<const unsigned char *>(buf);
    const unsigned char *end = p + size;
    char magic[4];
    std::uint32_t index = 0;
    std::uint8_t bits = 0;
    std::uint64_t n = 0;
    qvh_agg loaded;
    const bool head = take(p, end, magic) && std::memcmp(magic, SAVE_MAGIC, 4) == 0 && take(p, end, index) &&
                      take(p, end, bits) && take(p, end, loaded.param) && take(p, end, loaded.state.lo) &&
                      take(p, end, loaded.state.hi) && take(p, end, loaded.state.count) &&
                      take(p, end, loaded.state.first) && take(p, end, loaded.folded) && take(p, end, n);
    if (!head || static_cast<std::size_t>(end - p) / 8 != n || static_cast<std::size_t>(end - p) % 8 != 0)
        return fail(QVH_E_RANGE, "qvh_agg_load: not a saved aggregate state");
    if (index != index_of(*agg->info))
        return fail(QVH_E_STATE, std::string("qvh_agg_load: the saved state is not one of ") + agg->info->name);
    agg->preview_end = 0;
    try {
        agg->values.clear();
        for (std::uint64_t i = 0; i < n; ++i, p += 8) {
            double x = 0.0;
            std::memcpy(&x, p, 8);
            agg->values.push_back(x);
        }
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, "qvh_agg_load: out of memory");
    }
    agg->has_param = (bits & 1) != 0;
    agg->param = loaded.param;
    agg->state = loaded.state;
    agg->state.has_lo = (bits & 2) != 0;
    agg->state.has_hi = (bits & 4) != 0;
    agg->state.seen = (bits & 8) != 0;
    agg->state.differ = (bits & 16) != 0;
    agg->folded = loaded.folded;
    return ok();
}

}  // extern "C"

// Aggregates: a list-form statistic fed one value at a time, with the result of one call over
// every value in the order added. A statistic whose result can be assembled from calls over
// blocks of values (N, NMISS, SUM, MEAN, MIN, MAX, RANGE) keeps a fixed-size state: a block of
// pending values and what the calls over earlier blocks gave. Every other statistic keeps its
// values. Every number is computed by the package, through its function table. The aggregate, its
// values and the package's scratch memory come from the aggregate's allocator.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "canonical.hpp"
#include "fold.hpp"
#include "internal.hpp"
#include "listover.hpp"

namespace qvhost {

namespace {

constexpr std::size_t BLOCK = QVH_FOLD_BLOCK;
constexpr std::uint64_t MAX_ARGS = QVH_MAX_ARGS;
constexpr char SAVE_MAGIC[4] = {'Q', 'V', 'A', '1'};

}  // namespace

}  // namespace qvhost

struct qvh_agg {
    qvh_agg(qvh_package *p, const qvhost::Memory &m) : pkg(p), mem(m), values(mem), pool(mem) {}
    qvh_package *pkg;
    qvhost::Memory mem;
    const qvh_info *info = nullptr;
    QvEntry entry{};
    qvhost::FoldEntries folds;  // what a fixed state calls
    qvhost::Label label;
    bool keep = false;
    bool has_param = false;
    double param = 0.0;
    qvhost::ValueStore values;  // every value kept, or a fixed state's pending ones
    std::uint64_t folded = 0;   // values folded into the fixed state
    qvhost::FixedState state;
    // The fold of the last result: state with values[0, preview_end) folded in (0: none), so
    // that results asked for row after row fold only the values added since.
    qvhost::FixedState preview;
    std::size_t preview_end = 0;
    qvhost::MemoryPool pool;
    std::size_t asked = 0;  // bytes of the last request for memory refused (0: none or unknown)
    qvhost::Interrupt interrupt;
    // An order statistic whose frame moves (a value removed, or a second result asked) keeps its
    // values in order as well, and answers each result from the few values it reads.
    qvhost::OrderStat stat = qvhost::OrderStat::None;
    int definition = 0;
    bool ordered_on = false;
    qvhost::OrderedWindow ordered{mem};
    std::uint64_t first_seq = 0, next_seq = 0;  // numbers of the first value kept and of the next one
    bool result_asked = false;  // a result was asked since the last reset
    // Results over the values in the canonical order (a window frame in SQL), which sorted keeps
    // from the first result on.
    bool canonical = false;
    qvhost::CanonicalFrame sorted{mem};
};

namespace qvhost {

namespace {

// Calls a list-form function over lead[0..nlead) followed by values[begin, end) of the store.
Outcome call_over(qvh_agg &agg, QvEntry entry, const double *lead, std::size_t nlead, std::size_t begin = 0,
                  std::size_t end = 0) {
    ListOver list(agg.mem, agg.pool.host(), nlead + (end - begin));
    for (std::size_t i = 0; i < nlead; ++i) list.add(&lead[i]);
    agg.values.each(begin, end, [&](const double &x) { list.add(&x); });
    Outcome out{qv::MISSING_DOT, STATUS_OK};
    out.status = entry.list(list.get(), &out.value);
    return out;
}

// The values [begin, end) of an aggregate's store as a block of a fold.
struct StoreBlock {
    qvh_agg &agg;
    std::size_t begin, end;
    Outcome call(QvEntry entry, const double *lead, std::size_t nlead) { return call_over(agg, entry, lead, nlead, begin, end); }
    template <class F>
    void each(F &&f) {
        bool go = true;
        agg.values.each(begin, end, [&](double x) { go = go && f(x); });
    }
    std::size_t present() {
        std::size_t n = 0;
        agg.values.each(begin, end, [&](double x) { n += qv::is_missing(x) ? 0 : 1; });
        return n;
    }
};

// Folds values[begin, end) of the store into s.
void fold_block(qvh_agg &agg, FixedState &s, std::size_t begin, std::size_t end) {
    StoreBlock block{agg, begin, end};
    qvhost::fold_block(agg.folds, s, block);
}

// The result of a fixed state whose every value has been folded.
Outcome finish(qvh_agg &agg, const FixedState &s) {
    return fold_finish(agg.folds, s, [&](QvEntry e, const double *lead, std::size_t n) { return call_over(agg, e, lead, n); });
}

bool fixed(const qvh_agg &agg) { return agg.info->fold != QVH_FOLD_VALUES; }

// Folds the pending values into the state. Nothing changes when a call cannot be made.
void compact(qvh_agg &agg) {
    FixedState s = agg.state;
    fold_block(agg, s, 0, agg.values.size());
    agg.state = s;
    agg.preview_end = 0;
    agg.folded += agg.values.size();
    agg.values.clear();
}

int check(const qvh_agg *agg) noexcept { return agg == nullptr ? fail(QVH_E_NULL, "the aggregate is NULL") : QVH_OK; }

// Out of memory: the bytes refused, else the bytes the failing step needed as far as known (guess).
int no_memory(qvh_agg *agg, std::size_t guess) noexcept {
    const std::size_t refused = take_refused();
    agg->asked = refused != 0 ? refused : guess;
    return qvhost::no_memory(agg->label.view(), 0, 0, agg->asked);
}

bool same_bits(double a, double b) { return qv::bits_of(a) == qv::bits_of(b); }

int too_many(const qvh_agg *agg, std::uint64_t n) {
    if (n < MAX_ARGS && agg->folded + agg->values.size() + (agg->info->leading_param ? 1 : 0) + n <= MAX_ARGS - 1) return QVH_OK;
    return fail(QVH_E_LIMIT, Msg() << agg->label.view() << ": an aggregate takes at most 2147483647 values");
}

// Lays the values in order out again (the order set turning into a tree), with room for one more;
// where the memory is refused, results go back to calls over every value.
void reorder(qvh_agg *agg) noexcept {
    agg->ordered.clear();
    if (!agg->ordered.reserve(agg->values.size() + 1)) {
        agg->ordered_on = false;
        return;
    }
    std::uint64_t seq = agg->first_seq;
    agg->values.each(0, agg->values.size(), [&](double x) { agg->ordered.add(x, seq++); });
}

// Adds a value; a fixed state folds every block of values. Where memory is refused the value is
// not added (QVH_E_NOMEM); where only the fold is refused, it is added and the fold waits.
int add_one(qvh_agg *agg, double x) {
    x = edge_value(x);
    if (agg->ordered_on && !agg->ordered.reserve(agg->values.size() + 1)) reorder(agg);
    if (!agg->values.push_back(x)) return no_memory(agg, sizeof(double));
    if (agg->ordered_on) agg->ordered.add(x, agg->next_seq++);
    if (agg->sorted.on()) agg->sorted.insert(x);
    if (fixed(*agg) && !agg->keep && agg->values.size() % BLOCK == 0) {
        try {
            compact(*agg);
        } catch (...) {
        }
    }
    return QVH_OK;
}

// Starts keeping the values in order, when the statistic reads ranks and keeps every value. Where
// the memory is refused, results go on being calls over every value.
void start_ordered(qvh_agg *agg) noexcept {
    if (agg->ordered_on || agg->stat == OrderStat::None || agg->folded > 0 || (fixed(*agg) && !agg->keep)) return;
    agg->ordered.clear();
    if (!agg->ordered.reserve(agg->values.size() + 1)) return;
    agg->first_seq = agg->next_seq = 0;
    agg->values.each(0, agg->values.size(), [&](double x) { agg->ordered.add(x, agg->next_seq++); });
    agg->ordered_on = true;
}

void stop_ordered(qvh_agg *agg) noexcept {
    agg->ordered_on = false;
    agg->ordered.clear();
    agg->result_asked = false;
}

// The result from the values in order: a call over the few values it reads, when that gives the
// bits of the call over all of them.
bool ordered_result(qvh_agg *agg, Outcome &r) noexcept {
    if (!agg->ordered_on || (agg->info->leading_param && !agg->has_param)) return false;
    const ShortCall c = short_call(agg->stat, agg->definition, agg->param, agg->ordered);
    if (c.whole) return false;
    SmallList small;
    r.status = agg->entry.list(small.build(c, agg->pool.host()), &r.value);
    return true;
}

// The result of one call over the parameter (when the function takes one) and the values in the
// canonical order.
Outcome canonical_result(qvh_agg &agg) {
    if (!agg.sorted.on() && !agg.sorted.start(agg.values)) throw std::bad_alloc();
    ListOver list(agg.mem, agg.pool.host(), agg.sorted.size() + (agg.info->leading_param ? 1 : 0));
    if (agg.info->leading_param) list.add(&agg.param);
    for (std::size_t i = 0; i < agg.sorted.size(); ++i) list.add(agg.sorted.data() + i);
    Outcome out{qv::MISSING_DOT, STATUS_OK};
    out.status = agg.entry.list(list.get(), &out.value);
    // An order statistic answers from its ordered values wherever their order cannot tell, so the
    // few results that need every value sort them again rather than keep them in order each row.
    if (agg.stat != OrderStat::None) agg.sorted.stop();
    return out;
}

// The result over every value: a fixed state's fold, or a call over the values kept.
Outcome whole_result(qvh_agg &agg) {
    if (agg.canonical) return canonical_result(agg);
    if (fixed(agg)) {
        // Folding is exact at any block boundary, so the last result's fold goes on.
        const std::size_t begin = agg.preview_end;
        FixedState s = begin == 0 ? agg.state : agg.preview;
        if (begin == 0 || begin < agg.values.size()) fold_block(agg, s, begin, agg.values.size());
        agg.preview = s;
        agg.preview_end = agg.values.size();
        return finish(agg, s);
    }
    if (agg.info->leading_param) return call_over(agg, agg.entry, &agg.param, 1, 0, agg.values.size());
    return call_over(agg, agg.entry, nullptr, 0, 0, agg.values.size());
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
    agg.values.each(0, agg.values.size(), [&](double x) { p = put(p, x); });
}

// Both states fold exactly (counts and extremes): into's values come first, then from's.
void merge_folded(qvh_agg *into, const qvh_agg *from) {
    auto *other = const_cast<qvh_agg *>(from);
    FixedState theirs = other->state;
    fold_block(*other, theirs, 0, other->values.size());
    compact(*into);
    FixedState mine = into->state;
    auto join = [&](QvEntry entry, double &acc, bool &has_mine, double their, bool has_theirs) {
        if (!has_theirs) return;
        const double pair[2] = {acc, their};
        const Outcome r = call_over(*into, entry, pair + (has_mine ? 0 : 1), has_mine ? 2 : 1);
        has_mine = r.status == STATUS_OK;
        acc = r.value;
    };
    switch (into->info->fold) {
        case QVH_FOLD_COUNT:
            mine.count += theirs.count;
            break;
        case QVH_FOLD_EXTREME:
            join(into->entry, mine.lo, mine.has_lo, theirs.lo, theirs.has_lo);
            break;
        default:
            join(into->folds.min, mine.lo, mine.has_lo, theirs.lo, theirs.has_lo);
            join(into->folds.max, mine.hi, mine.has_hi, theirs.hi, theirs.has_hi);
            mine.seen = mine.seen || theirs.seen;
            break;
    }
    into->state = mine;
    into->folded += from->folded + from->values.size();
}

// A fixed state takes from's values after its own, folded a block at a time into a copy of the
// state; into changes only once every call is made, so a refused call leaves it as it was.
void fold_after(qvh_agg *into, const qvh_agg *from) {
    auto *other = const_cast<qvh_agg *>(from);
    FixedState s = into->state;
    fold_block(*into, s, 0, into->values.size());
    for (std::size_t at = 0; at < other->values.size(); at += BLOCK)
        fold_block(*other, s, at, std::min(at + BLOCK, other->values.size()));
    into->state = s;
    into->preview_end = 0;
    into->folded += into->values.size() + other->values.size();
    into->values.clear();
}

int take_param(qvh_agg *into, const qvh_agg *from) {
    if (from->has_param) {
        into->param = from->param;
        into->has_param = true;
    }
    return QVH_OK;
}

}  // namespace

}  // namespace qvhost

using namespace qvhost;

extern "C" {

int qvh_agg_new_in(qvh_package *pkg, const char *name, unsigned flags, const qvh_allocator *a, qvh_agg **out) noexcept {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_agg_new: out is NULL");
    *out = nullptr;
    const qvh_info *info = nullptr;
    QvEntry entry{};
    if (const int rc = resolve(pkg, name, "qvh_agg_new", info, entry); rc != QVH_OK) return rc;
    if (info->aggregate == QVH_AGG_NONE) return fail(QVH_E_STATE, Msg() << info->name << " is not a statistic over rows");
    if (a != nullptr && (a->alloc == nullptr || a->release == nullptr))
        return fail(QVH_E_NULL, "qvh_agg_new: an allocator needs alloc and release");
    const Memory mem = a != nullptr ? Memory(a) : pkg->memory;
    void *room = mem.alloc(sizeof(qvh_agg));
    if (room == nullptr) return no_memory(info->name, 0, 0, sizeof(qvh_agg));
    auto *agg = new (room) qvh_agg(pkg, mem);
    agg->info = info;
    agg->entry = entry;
    agg->folds = fold_entries(*pkg, *info, entry);
    agg->label.set(info->name);
    agg->canonical = (flags & QVH_AGG_CANONICAL) != 0;
    agg->keep = agg->canonical || (flags & QVH_AGG_KEEP_VALUES) != 0;
    agg->stat = order_stat_of(*info, agg->definition);
    *out = agg;
    return ok();
}

int qvh_agg_new(qvh_package *pkg, const char *name, unsigned flags, qvh_agg **out) noexcept {
    return qvh_agg_new_in(pkg, name, flags, nullptr, out);
}

void qvh_agg_free(qvh_agg *agg) noexcept {
    if (agg == nullptr) return;
    const Memory mem = agg->mem;
    agg->~qvh_agg();
    mem.release(agg, sizeof(qvh_agg));
}

const qvh_info *qvh_agg_info(const qvh_agg *agg) noexcept { return agg == nullptr ? nullptr : agg->info; }

int qvh_agg_set_label(qvh_agg *agg, const char *label) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    agg->label.set(label != nullptr ? label : agg->info->name);
    return ok();
}

int qvh_agg_param(qvh_agg *agg, double p) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (!agg->info->leading_param) return fail(QVH_E_STATE, Msg() << agg->label.view() << " takes no parameter");
    p = edge_value(p);
    if (agg->has_param && !same_bits(agg->param, p))
        return fail(QVH_E_STATE, Msg() << agg->label.view() << ": the "
                                       << (agg->info->usage[std::strlen(agg->info->name) + 1] == 'p' ? "percentile" : "rank")
                                       << " must be the same for every row of a group");
    agg->param = p;
    agg->has_param = true;
    return QVH_OK;
}

int qvh_agg_add(qvh_agg *agg, double x) noexcept { return qvh_agg_add_n(agg, &x, 1); }

int qvh_agg_add_n(qvh_agg *agg, const double *xs, size_t n) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (xs == nullptr && n > 0) return fail(QVH_E_NULL, Msg() << agg->label.view() << ": the values are NULL");
    if (const int rc = too_many(agg, n); rc != QVH_OK) return rc;
    take_refused();
    for (size_t i = 0; i < n; ++i) {
        if (agg->interrupt.due(1))
            return fail(QVH_E_INTERRUPTED, Msg() << agg->label.view() << ": interrupted after "
                                                 << static_cast<unsigned long long>(i) << " of "
                                                 << static_cast<unsigned long long>(n) << " values");
        if (const int rc = add_one(agg, xs[i]); rc != QVH_OK) return rc;
    }
    return QVH_OK;
}

int qvh_agg_remove_first(qvh_agg *agg) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (agg->folded > 0)
        return fail(QVH_E_STATE, Msg() << agg->label.view()
                                       << ": values folded into a fixed state cannot be taken out again (keep the values)");
    if (agg->values.empty()) return fail(QVH_E_STATE, Msg() << agg->label.view() << ": there is no value to remove");
    start_ordered(agg);
    agg->values.each(0, 1, [&](double x) {
        if (agg->ordered_on) agg->ordered.remove(x, agg->first_seq++);
        if (agg->sorted.on()) agg->sorted.erase(x);
    });
    agg->values.pop_front();
    agg->preview_end = 0;
    return QVH_OK;
}

int qvh_agg_set_interrupt(qvh_agg *agg, qvh_interrupt_fn fn, void *ctx) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    agg->interrupt.set(fn, ctx);
    return QVH_OK;
}

int qvh_agg_keep_values(qvh_agg *agg) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    agg->keep = true;
    return QVH_OK;
}

int qvh_agg_canonical_order(qvh_agg *agg) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (agg->folded > 0)
        return fail(QVH_E_STATE, Msg() << agg->label.view()
                                       << ": values folded into a fixed state cannot be put in the canonical order (keep the values)");
    agg->canonical = agg->keep = true;
    agg->preview_end = 0;
    return QVH_OK;
}

int qvh_agg_merge(qvh_agg *into, const qvh_agg *from) noexcept {
    if (const int rc = check(into); rc != QVH_OK) return rc;
    if (const int rc = check(from); rc != QVH_OK) return rc;
    if (into == from) return fail(QVH_E_STATE, Msg() << into->label.view() << ": an aggregate cannot be merged into itself");
    if (into->info != from->info)
        return fail(QVH_E_STATE, Msg() << "cannot merge an aggregate of " << from->info->name << " into one of " << into->info->name);
    if (from->has_param && into->has_param && !same_bits(from->param, into->param))
        return fail(QVH_E_STATE, Msg() << into->label.view() << ": the parameters of the two aggregates differ");
    const int fold = into->info->fold;
    const bool exact_fold = fold == QVH_FOLD_COUNT || fold == QVH_FOLD_EXTREME || fold == QVH_FOLD_RANGE;
    if (from->folded > 0 && (!exact_fold || into->keep))
        return fail(QVH_E_STATE, Msg() << into->label.view()
                                       << ": this partial state has folded its values, so it cannot be appended in order");
    try {
        if (from->folded == 0) {
            if (const int rc = too_many(into, from->values.size()); rc != QVH_OK) return rc;
            if (fixed(*into) && !into->keep) {
                fold_after(into, from);
                return take_param(into, from);
            }
            // A store that keeps its values makes room for all of them first: they all join, or none.
            if (!into->values.reserve(from->values.size()))
                return no_memory(into, from->values.size() * sizeof(double));
            int rc = QVH_OK;
            from->values.each(0, from->values.size(), [&](double x) {
                if (rc == QVH_OK) rc = add_one(into, x);
            });
            if (rc != QVH_OK) return rc;
        } else {
            merge_folded(into, from);
        }
    } catch (...) {
        return no_memory(into, 0);
    }
    return take_param(into, from);
}

size_t qvh_agg_asked(const qvh_agg *agg) noexcept { return agg == nullptr ? 0 : agg->asked; }

uint64_t qvh_agg_rows(const qvh_agg *agg) noexcept { return agg == nullptr ? 0 : agg->folded + agg->values.size(); }

int qvh_agg_result(qvh_agg *agg, double *result, int32_t *status) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (result == nullptr) return fail(QVH_E_NULL, "qvh_agg_result: result is NULL");
    take_refused();
    try {
        Outcome r{};
        if (agg->result_asked) start_ordered(agg);
        agg->result_asked = true;
        if (!ordered_result(agg, r)) {
            if (agg->info->leading_param && !fixed(*agg) && !agg->has_param)
                return fail(QVH_E_STATE, Msg() << agg->label.view() << ": the parameter was never given");
            r = whole_result(*agg);
        }
        deliver(r.value, r.status);
        agg->asked = memory_status(r.status) ? take_refused() : 0;
        *result = r.value;
        if (status != nullptr) *status = r.status;
    } catch (...) {
        return no_memory(agg, sizeof(FuncArgList) + (agg->values.size() + 1) * sizeof(FuncArg));
    }
    return QVH_OK;
}

void qvh_agg_reset(qvh_agg *agg) noexcept {
    if (agg == nullptr) return;
    agg->values.clear();
    stop_ordered(agg);
    agg->sorted.stop();
    agg->folded = 0;
    agg->state = FixedState{};
    agg->preview_end = 0;
    agg->has_param = false;
    agg->param = 0.0;
}

size_t qvh_agg_save(const qvh_agg *agg, void *buf, size_t size) noexcept {
    if (agg == nullptr) return 0;
    const std::size_t n = SAVE_HEAD + 8 * agg->values.size();
    if (buf != nullptr && size >= n) save_into(*agg, static_cast<unsigned char *>(buf));
    return n;
}

int qvh_agg_load(qvh_agg *agg, const void *buf, size_t size) noexcept {
    if (const int rc = check(agg); rc != QVH_OK) return rc;
    if (buf == nullptr) return fail(QVH_E_NULL, "qvh_agg_load: the bytes are NULL");
    const auto *p = static_cast<const unsigned char *>(buf);
    const unsigned char *end = p + size;
    char magic[4];
    std::uint32_t index = 0;
    std::uint8_t bits = 0;
    std::uint64_t n = 0, folded = 0;
    double param = 0.0;
    FixedState state;
    const bool head = take(p, end, magic) && std::memcmp(magic, SAVE_MAGIC, 4) == 0 && take(p, end, index) &&
                      take(p, end, bits) && take(p, end, param) && take(p, end, state.lo) && take(p, end, state.hi) &&
                      take(p, end, state.count) && take(p, end, state.first) && take(p, end, folded) && take(p, end, n);
    if (!head || static_cast<std::size_t>(end - p) / 8 != n || static_cast<std::size_t>(end - p) % 8 != 0)
        return fail(QVH_E_RANGE, "qvh_agg_load: not a saved aggregate state");
    if (index != index_of(*agg->info))
        return fail(QVH_E_STATE, Msg() << "qvh_agg_load: the saved state is not one of " << agg->info->name);
    ValueStore values(agg->mem);
    if (!values.reserve(n)) return no_memory(agg, n * sizeof(double));
    for (std::uint64_t i = 0; i < n; ++i, p += 8) {
        double x = 0.0;
        std::memcpy(&x, p, 8);
        values.push_back(edge_value(x));
    }
    agg->values.swap(values);
    stop_ordered(agg);
    agg->sorted.stop();
    agg->preview_end = 0;
    agg->has_param = (bits & 1) != 0;
    agg->param = param;
    agg->state = state;
    agg->state.has_lo = (bits & 2) != 0;
    agg->state.has_hi = (bits & 4) != 0;
    agg->state.seen = (bits & 8) != 0;
    agg->state.differ = (bits & 16) != 0;
    agg->folded = folded;
    return ok();
}

}  // extern "C"

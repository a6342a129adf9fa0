// qvh_call_fold: a fold statistic over a caller's array, called over chunks of it that stay in the
// cache, each chunk's call carrying what the calls before it gave (the rule of fold.hpp). Only the
// argument list of one chunk is laid out, so a sum over 10^8 values needs 100 KB, not 2.4 GB.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "catalogue.hpp"
#include "fold.hpp"
#include "inplace.hpp"
#include "listover.hpp"
#include "nans.hpp"
#include "qv/devsum.hpp"

namespace qvhost {

namespace {

// Values a chunk holds: 32 KiB of them, and 64 KiB of their argument slots.
constexpr std::size_t CHUNK = 4096;

// One header and the slots of a lead and a chunk of values. The slots stay where they are; the
// header is written before them for each call, just before the lead's slot when the call has a
// lead and one slot later, just before the first value's, when it has none (a record's slots follow
// its header directly), so both lists share the values' slots.
static_assert(offsetof(FuncArgList, args) == sizeof(FuncArgList) && sizeof(FuncArg) % alignof(FuncArgList) == 0);

class ArrayChunk {
public:
    // The value slots point at the chunk's copies of the values for good: a chunk is laid out by
    // copying its values, which costs less than pointing every slot anew.
    ArrayChunk(const Memory &m, HostPool *pool, std::size_t room)
        : block_(m, bytes(room)), pool_(pool), base_(static_cast<char *>(block_.get())) {
        FuncArg *slots = slot_area();
        copies_ = reinterpret_cast<double *>(slots + room + 1);
        slots[0] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, nullptr};
        for (std::size_t k = 0; k < room; ++k) slots[k + 1] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, &copies_[k]};
    }
    static std::size_t bytes(std::size_t room) {
        return sizeof(FuncArgList) + (room + 1) * sizeof(FuncArg) + room * sizeof(double);
    }

    // Copies the m values from at, stride bytes apart, into the chunk, a NaN that is not a missing
    // value as '.'. With extremes, only the values that MIN or MAX can give or skip are kept (the
    // chunk's smallest and largest numbers and its missing values), in their order.
    void lay(const char *at, std::size_t m, std::ptrdiff_t stride, bool extremes) {
        double *const to = copies_;
        std::size_t nans = 0;
        auto dot = [to, &nans](std::size_t i) {
            ++nans;
            if (!qv::is_missing(to[i])) to[i] = DOT;
        };
        m_ = m;
        if (stride == sizeof(double) && reinterpret_cast<std::uintptr_t>(at) % alignof(double) == 0) {
            const auto *xs = reinterpret_cast<const double *>(at);
            if (extremes) m_ = copy_extremes(xs, m, to, dot);
            else find_nans<true>(xs, m, to, dot);
        } else {
            for (std::size_t i = 0; i < m; ++i, at += stride) std::memcpy(&to[i], at, sizeof(double));
            if (extremes) m_ = copy_extremes(to, m, to, dot);
            else find_nans<false>(to, m, nullptr, dot);
        }
        present_ = m - nans;  // every NaN is a missing value, or '.'
    }
    // entry over lead[0..nlead) (nlead 0 or 1) and the chunk's values.
    Outcome call(QvEntry entry, const double *lead, std::size_t nlead) {
        FuncArgList *list = header(nlead);
        if (nlead == 1) {
            lead_ = *lead;
            list->args[0] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, &lead_};  // a header before it wrote over it
        }
        Outcome r{qv::MISSING_DOT, STATUS_OK};
        r.status = entry.list(list, &r.value);
        return r;
    }
    template <class F>
    void each(F &&f) {
        const FuncArg *values = slot_area() + 1;
        for (std::size_t i = 0; i < m_ && f(*static_cast<const double *>(values[i].value)); ++i) {
        }
    }
    std::size_t present() const { return present_; }

private:
    FuncArg *slot_area() { return reinterpret_cast<FuncArg *>(base_ + sizeof(FuncArgList)); }
    FuncArgList *header(std::size_t nlead) {
        auto *list = reinterpret_cast<FuncArgList *>(base_ + (nlead == 1 ? 0 : sizeof(FuncArg)));
        std::memset(list, 0, sizeof(FuncArgList));
        list->pool = pool_;
        list->count = static_cast<std::int64_t>(nlead + m_);
        return list;
    }

    static constexpr double DOT = qv::MISSING_DOT;
    Block block_;
    HostPool *pool_;
    char *base_;
    double *copies_ = nullptr;
    double lead_ = 0.0;
    std::size_t m_ = 0, present_ = 0;
};

// A chunk of the array read where it lies (aligned doubles, one after another), for the folds of
// N, NMISS, SUM and MEAN: the calls fold_block makes of the package (N or NMISS over the chunk,
// SUM over the running sum and the chunk) are made by the package's own code for one list over the
// values in place (inplace.hpp), as the package makes them over the list an ArrayChunk lays out.
class InPlaceChunk {
public:
    explicit InPlaceChunk(const qvh_info &info) : info_(info) {}

    void lay(const char *at, std::size_t m, std::ptrdiff_t, bool) {
        values_ = InPlaceView{reinterpret_cast<const double *>(at), static_cast<std::int64_t>(m)};
        counted_ = false;
    }
    Outcome call(QvEntry, const double *lead, std::size_t nlead) {
        Outcome r{0.0, STATUS_OK};
        if (info_.fold == QVH_FOLD_COUNT) {
            r.value = count_over(info_, values_);
            return r;
        }
        if (info_.fold == QVH_FOLD_SUM) {
            r.status = nlead == 1 ? qv::sum_list(LeadView{*lead, values_}, &r.value) : qv::sum_list(values_, &r.value);
            return r;
        }
        // MEAN's sum counts the chunk's present values on the way, for present().
        std::size_t seen = 0;
        if (nlead == 1) r.status = qv::sum_list(Counting<LeadView>{{*lead, values_}, &seen, 1}, &r.value);
        else r.status = qv::sum_list(Counting<InPlaceView>{values_, &seen, 0}, &r.value);
        present_ = seen;
        counted_ = true;
        return r;
    }
    template <class F>
    void each(F &&f) {
        for (std::int64_t i = 0; i < values_.n && f(values_.num(i)); ++i) {
        }
    }
    // Every NaN is a missing value, or one the list would carry as '.'.
    std::size_t present() const {
        const auto m = static_cast<std::size_t>(values_.n);
        return counted_ ? present_ : m - find_nans<false>(values_.xs, m, nullptr, [](std::size_t) {});
    }

private:
    // A view whose forward walk counts the present values it visits from slot from on.
    template <class View>
    struct Counting : View {
        std::size_t *visited;
        std::int64_t from;
        template <class F>
        void forward(std::int64_t first, std::int64_t end, F &&f) const {
            View::forward(first, end, [&](double x, std::int64_t i) {
                *visited += i >= from ? 1 : 0;
                f(x, i);
            });
        }
    };

    const qvh_info &info_;
    InPlaceView values_{nullptr, 0};
    std::size_t present_ = 0;
    bool counted_ = false;
};

// A call over a few arguments of the fold's finish (no values).
Outcome call_lead(qvh_call *call, QvEntry entry, const double *lead, std::size_t nlead) {
    ListOver list(call->mem, call->pool.host(), nlead);
    for (std::size_t i = 0; i < nlead; ++i) list.add(&lead[i]);
    Outcome r{qv::MISSING_DOT, STATUS_OK};
    r.status = entry.list(list.get(), &r.value);
    return r;
}

int interrupted(qvh_call *call, std::size_t at, std::size_t n) {
    return fail(QVH_E_INTERRUPTED, Msg() << call->label.view() << ": interrupted after " << static_cast<unsigned long long>(at)
                                         << " of " << static_cast<unsigned long long>(n) << " values");
}

// The fold over every chunk (of a list longer than one): N, NMISS, SUM and MEAN over aligned
// doubles one after another in place, the others through an argument list.
template <class Chunk>
int fold_chunks(qvh_call *call, Chunk &chunk, const char *xs, std::size_t n, std::ptrdiff_t stride, Outcome &r);

int fold_array(qvh_call *call, const char *xs, std::size_t n, std::ptrdiff_t stride, Outcome &r) {
    const int fold = call->info->fold;
    const bool in_place = (fold == QVH_FOLD_COUNT || fold == QVH_FOLD_SUM || fold == QVH_FOLD_MEAN) &&
                          stride == sizeof(double) && reinterpret_cast<std::uintptr_t>(xs) % alignof(double) == 0;
    if (in_place) {
        InPlaceChunk chunk(*call->info);
        return fold_chunks(call, chunk, xs, n, stride, r);
    }
    ArrayChunk chunk(call->mem, call->pool.host(), CHUNK);
    return fold_chunks(call, chunk, xs, n, stride, r);
}

template <class Chunk>
int fold_chunks(qvh_call *call, Chunk &chunk, const char *xs, std::size_t n, std::ptrdiff_t stride, Outcome &r) {
    const FoldEntries e = fold_entries(*call->pkg, *call->info, call->entry);
    FixedState s;
    // MIN and MAX give one of the values (RANGE their difference) and skip the missing ones, so a
    // value between the smallest and the largest of its chunk changes no call over the chunk.
    const bool extremes = e.fold == QVH_FOLD_EXTREME || e.fold == QVH_FOLD_RANGE;
    for (std::size_t at = 0; at < n; at += CHUNK) {
        const std::size_t m = n - at < CHUNK ? n - at : CHUNK;
        if (call->interrupt.due(m)) return interrupted(call, at, n);
        chunk.lay(xs + static_cast<std::ptrdiff_t>(at) * stride, m, stride, extremes);
        fold_block(e, s, chunk);
    }
    r = fold_finish(e, s, [&](QvEntry f, const double *lead, std::size_t k) { return call_lead(call, f, lead, k); });
    return QVH_OK;
}

// The statistics of the package's two-pass deviation sum that qvh_call_fold reads in place.
bool deviation_stat(SumStat s) {
    return s == SumStat::Css || s == SumStat::Var || s == SumStat::Std || s == SumStat::Stderr || s == SumStat::Cv;
}

// CSS, VAR, STD, STDERR or CV over the array as the package's deviation sum makes them over its
// list (qv/devsum.hpp), two passes over the values in place and no list: the forward sum from the
// first present value gives the mean (or decides the outcome alone), then the squared deviations
// from it are summed in slot order. A NaN is not present: a missing value, or a NaN the list
// would carry as '.'.
int deviation_array(qvh_call *call, SumStat stat, const char *xs, std::size_t n, std::ptrdiff_t stride, Outcome &r) {
    auto value = [&](std::size_t i) { return load(xs + static_cast<std::ptrdiff_t>(i) * stride); };
    qv::ListSum p;
    bool any = false;
    for (std::size_t at = 0; at < n; at += CHUNK) {
        const std::size_t end = n - at < CHUNK ? n : at + CHUNK;
        if (call->interrupt.due(end - at)) return interrupted(call, at, n);
        for (std::size_t i = at; i < end; ++i) {
            const double x = value(i);
            if (x != x) continue;
            if (!any) {
                any = true;
                p = qv::ListSum{static_cast<std::int64_t>(i), x, x, 1, false};
                continue;
            }
            ++p.n;
            p.s = qv::sum_add(p.s, x);
            p.differs = p.differs || x != p.x1;
        }
    }
    double v = 0.0;
    QvStatus st = STATUS_OK;
    const qv::DeviationRule rule = stat == SumStat::Css ? qv::CSS_RULE : stat == SumStat::Cv ? qv::CV_RULE : qv::SPREAD_RULE;
    if (!any) {
        st = qv::fail(&v, STATUS_MISSING_ARG);
    } else if (!qv::decided_by_sum(p, rule, &v, st)) {
        const double mean = qv::deviation_mean(p);
        double css = qv::deviation_add(0.0, p.x1, mean);
        for (std::size_t at = static_cast<std::size_t>(p.first) + 1; at < n; at += CHUNK) {
            const std::size_t end = n - at < CHUNK ? n : at + CHUNK;
            if (call->interrupt.due(end - at)) return interrupted(call, at, n);
            for (std::size_t i = at; i < end; ++i) {
                const double x = value(i);
                if (x == x) css = qv::deviation_add(css, x, mean);
            }
        }
        const qv::DeviationSum d{p.n, mean, css};
        switch (stat) {
        case SumStat::Css: st = qv::finish_css(d, &v); break;
        case SumStat::Var: st = qv::finish_var(d, &v); break;
        case SumStat::Std: st = qv::finish_std(d, &v); break;
        case SumStat::Stderr: st = qv::finish_stderr(d, &v); break;
        default: st = qv::finish_cv(d, &v); break;
        }
    }
    r = Outcome{v, st};
    return QVH_OK;
}

}  // namespace

Outcome fold_stat_over(const qvh_info &info, const InPlaceView &v) {
    Outcome r{0.0, STATUS_OK};
    const SumStat stat = sum_stat_of(info);
    if (stat != SumStat::None) return for_sum_stat(stat, [&](auto s) { return sum_stat_over<s()>(v); });
    if (info.fold == QVH_FOLD_COUNT) r.value = count_over(info, v);
    else if (info.fold == QVH_FOLD_RANGE) r.status = qv::range_list(v, &r.value);
    else if (std::strcmp(info.name, "MIN") == 0) r.status = qv::min_list(v, &r.value);
    else r.status = qv::max_list(v, &r.value);
    return r;
}

}  // namespace qvhost

using namespace qvhost;

extern "C" {

int qvh_call_fold(qvh_call *call, const double *xs, size_t n, ptrdiff_t stride, double *result, int32_t *status) noexcept {
    if (call == nullptr) return fail(QVH_E_NULL, "the call is NULL");
    const SumStat stat = sum_stat_of(*call->info);
    // A list of one chunk or less of aligned doubles one after another (a statistic per group
    // makes many such calls) is read in place whole, by the statistic's own code; any other is one
    // call in the call's warm list, and so is a list the package could not take (2^31 values or
    // more).
    if (n <= CHUNK && qvh_fold_in_place(call->info) && result != nullptr && (n == 0 || xs != nullptr) &&
        stride == sizeof(double) && reinterpret_cast<std::uintptr_t>(xs) % alignof(double) == 0) {
        if (const int rc = check_count(*call->info, call->label.view(), n); rc != QVH_OK) return rc;
        Outcome r = fold_stat_over(*call->info, InPlaceView{xs, static_cast<std::int64_t>(n)});
        deliver(r.value, r.status);
        *result = r.value;
        if (status != nullptr) *status = r.status;
        return ok();
    }
    if (!qvh_fold_in_place(call->info) || n <= CHUNK || n >= (std::size_t{1} << 31))
        return qvh_call_over(call, nullptr, 0, xs, n, stride, result, status, nullptr);
    if ((n > 0 && xs == nullptr) || result == nullptr)
        return fail(QVH_E_NULL, Msg() << call->label.view() << ": qvh_call_fold needs the values and the result");
    if (const int rc = check_count(*call->info, call->label.view(), n); rc != QVH_OK) return rc;
    take_refused();
    Outcome r{qv::MISSING_DOT, STATUS_OK};
    try {
        const char *values = reinterpret_cast<const char *>(xs);
        const int rc = deviation_stat(stat) ? deviation_array(call, stat, values, n, stride, r) : fold_array(call, values, n, stride, r);
        if (rc != QVH_OK) return rc;
    } catch (...) {
        return no_memory(call->label.view(), 0, 0, take_refused());
    }
    deliver(r.value, r.status);
    *result = r.value;
    if (status != nullptr) *status = r.status;
    if (memory_status(r.status)) return no_memory(call->label.view(), 0, 0, take_refused());
    return ok();
}

int qvh_fold_in_place(const qvh_info *f) noexcept {
    return f != nullptr && f->form == QVH_FORM_LIST && !f->leading_param &&
           (is_fold(f->fold) || deviation_stat(sum_stat_of(*f)));
}

}  // extern "C"

// Moving windows: one result per row, each the package's result over the row's window. Order
// statistics answer from the window kept in order, through a call over the few values the result
// reads; sums over sliding windows are taken many windows at once (sumwindows.hpp); every other
// function is called over the window's values in place.
#include <cstring>

#include "internal.hpp"
#include "sumwindows.hpp"

namespace qvhost {

namespace {

constexpr std::size_t MAX_ARGS = QVH_MAX_ARGS;

struct Rows {
    std::size_t lo, hi;  // the window is rows [lo, hi)
};

// The rows a window of a trailing or centred frame reaches before and after its row.
struct Reach {
    std::size_t before, after;
};
Reach reach_of(const qvh_window &w) {
    if (w.kind == QVH_WINDOW_TRAILING) return {w.size - 1, 0};
    // An even window has one row more before the row (pandas) or after it (R's filter, zoo).
    const std::size_t more = w.size / 2, fewer = (w.size - 1) / 2;
    return w.kind == QVH_WINDOW_CENTRED ? Reach{more, fewer} : Reach{fewer, more};
}

Rows window_of(const qvh_window &w, std::size_t g, std::size_t e, std::size_t i) {
    if (w.kind != QVH_WINDOW_TRAILING && w.kind != QVH_WINDOW_CENTRED && w.kind != QVH_WINDOW_CENTRED_AFTER)
        return {g, i + 1};
    const Reach r = reach_of(w);
    return {i - g > r.before ? i - r.before : g, e - i - 1 > r.after ? i + r.after + 1 : e};
}

// The rows of group [g, e) whose windows hold the frame's full reach, each window one row on from
// the last (none for an expanding frame).
Rows full_rows(const qvh_window &w, std::size_t g, std::size_t e) {
    if (w.kind == QVH_WINDOW_EXPANDING) return {e, e};
    const Reach r = reach_of(w);
    const std::size_t lo = g + r.before, hi = e > r.after ? e - r.after : 0;
    return lo < hi ? Rows{lo, hi} : Rows{e, e};
}

// The rows of a group as the slots of one argument list. A window's list is the run of its rows'
// slots with the header and the lead written over the bytes just before it: those hold the slots of
// rows before the window, which no later window of the group reads, since windows only move on.
// So a window costs the call and nothing in proportion to its length. The slots of a stretch of
// rows are laid out at once, in the call's warm block:
//   lead values | header and lead slots of the stretch's first row | slots | copied values
class Layout {
public:
    Layout(qvh_call *call, const double *lead, std::size_t nlead, const double *xs, std::ptrdiff_t stride)
        : call_(call), lead_(lead), nlead_(nlead), xs_(reinterpret_cast<const char *>(xs)), stride_(stride),
          pad_(sizeof(FuncArgList) + nlead * sizeof(FuncArg)),
          copy_(reinterpret_cast<std::uintptr_t>(xs) % alignof(double) != 0 || stride % alignof(double) != 0) {}

    // Rows [lo, hi) of the group ending at row e laid out; false when memory is refused.
    bool cover(std::size_t lo, std::size_t hi, std::size_t e) noexcept;
    // The call over lead and rows [lo, hi), which cover() laid out.
    QvStatus call(std::size_t lo, std::size_t hi, double &r, bool &marked) noexcept;

private:
    char *slots() const { return static_cast<char *>(call_->warm.get()) + nlead_ * sizeof(double) + pad_; }

    qvh_call *call_;
    const double *lead_;
    std::size_t nlead_;
    const char *xs_;
    std::ptrdiff_t stride_;
    std::size_t pad_;
    bool copy_;
    std::size_t base_ = 0, filled_ = 0, room_ = 0;
};

bool Layout::cover(std::size_t lo, std::size_t hi, std::size_t e) noexcept {
    if (filled_ > 0 && lo >= base_ && hi <= base_ + filled_) return true;
    call_->over.valid = false;  // the warm block is laid out for windows now
    // Four windows' worth at least, so a sliding window lays out each row about once and a
    // growing one a bounded number of times.
    const std::size_t len = hi - lo;
    std::size_t want = len > SIZE_MAX / 8 ? len : 4 * len;
    if (want < 16384) want = 16384;
    if (want > e - lo) want = e - lo;
    if (want > room_) {
        const std::size_t per_row = sizeof(FuncArg) + (copy_ ? sizeof(double) : 0);
        if (want > (SIZE_MAX - pad_ - nlead_ * sizeof(double)) / per_row) return false;
        if (call_->warm.reserve(nlead_ * sizeof(double) + pad_ + want * per_row) == nullptr) return false;
        room_ = want;
    }
    auto *leads = static_cast<double *>(call_->warm.get());
    for (std::size_t k = 0; k < nlead_; ++k) leads[k] = edge_value(load(lead_ + k));
    static const double dot = qv::MISSING_DOT;
    auto *slot = reinterpret_cast<FuncArg *>(slots());
    auto *copies = reinterpret_cast<double *>(slots() + room_ * sizeof(FuncArg));
    for (std::size_t i = 0; i < want; ++i) {
        const char *p = xs_ + static_cast<std::ptrdiff_t>(lo + i) * stride_;
        const double x = load(p);
        const double *at = x != x && !qv::is_missing(x) ? &dot : reinterpret_cast<const double *>(p);
        if (copy_) {
            copies[i] = load(at);
            at = &copies[i];
        }
        slot[i] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, const_cast<double *>(at)};
    }
    base_ = lo;
    filled_ = want;
    return true;
}

QvStatus Layout::call(std::size_t lo, std::size_t hi, double &r, bool &marked) noexcept {
    char *first = slots() + (lo - base_) * sizeof(FuncArg);
    auto *list = reinterpret_cast<FuncArgList *>(first - pad_);
    std::memset(list, 0, sizeof(FuncArgList));
    list->pool = call_->pool.host();
    const std::size_t count = nlead_ + (hi - lo);
    list->count = static_cast<std::int64_t>(count);
    auto *leads = static_cast<double *>(call_->warm.get());
    for (std::size_t k = 0; k < nlead_; ++k) list->args[k] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, &leads[k]};
    r = qv::MISSING_DOT;
    QvStatus st = call_->entry.list(list, &r);
    marked = false;
    if (st != STATUS_OK) {
        // Marks are cleared, so the next window starts unmarked.
        for (std::size_t k = 0; k < count; ++k) {
            marked = marked || (list->args[k].flags & FUNCARG_INVALID) != 0;
            list->args[k].flags &= ~FUNCARG_INVALID;
        }
    }
    deliver(r, st);
    return st;
}

int check_moving(qvh_call *call, const double *lead, std::size_t nlead, const double *xs, std::size_t n,
                 const qvh_window *frame, const std::size_t *starts, std::size_t ngroups, const double *out) {
    if (call == nullptr) return fail(QVH_E_NULL, "the call is NULL");
    const std::string_view label = call->label.view();
    if (frame == nullptr || (nlead > 0 && lead == nullptr) || (n > 0 && (xs == nullptr || out == nullptr)) ||
        (n > 0 && ngroups > 0 && starts == nullptr))
        return fail(QVH_E_NULL, Msg() << label << ": qvh_moving needs the window, the values and the results");
    if (call->info->form != QVH_FORM_LIST || call->info->result_kind != QVH_KIND_NUM)
        return fail(QVH_E_KIND, Msg() << label << " is not a list-form function of numbers");
    if (frame->kind < QVH_WINDOW_TRAILING || frame->kind > QVH_WINDOW_CENTRED_AFTER)
        return fail(QVH_E_RANGE, Msg() << label << ": unknown window kind " << frame->kind);
    if (frame->kind != QVH_WINDOW_EXPANDING && frame->size == 0)
        return fail(QVH_E_RANGE, Msg() << label << ": a window holds at least 1 row");
    if (nlead >= MAX_ARGS) return fail(QVH_E_LIMIT, Msg() << label << ": a call takes at most 2147483647 arguments");
    for (std::size_t k = 0; n > 0 && k < ngroups; ++k)
        if ((k == 0 && starts[0] != 0) || (k > 0 && starts[k] <= starts[k - 1]) || starts[k] >= n)
            return fail(QVH_E_RANGE, Msg() << label << ": group start " << static_cast<unsigned long long>(k + 1)
                                           << " is out of order or out of range");
    return check_shape(*call->info, label, nlead + 1, [](std::size_t) { return QVH_KIND_NUM; });
}

// One qvh_moving: the groups, their windows and the calls.
class Moving {
public:
    Moving(qvh_call *call, const double *lead, std::size_t nlead, const double *xs, std::size_t n, std::ptrdiff_t stride,
           const qvh_window &frame, double *out, std::ptrdiff_t out_stride, std::int32_t *statuses)
        : call_(call), xs_(reinterpret_cast<const char *>(xs)), n_(n), stride_(stride), frame_(frame), out_(reinterpret_cast<char *>(out)),
          out_stride_(out_stride), statuses_(statuses), layout_(call, lead, nlead, xs, stride),
          sums_(nlead == 0 && sum_windows_limit > 0 ? sum_stat_of(*call->info) : SumStat::None) {
        stat_ = order_stat_of(*call->info, definition_);
        const std::size_t wants = call->info->leading_param ? 1 : 0;
        if (nlead != wants) stat_ = OrderStat::None;
        if (nlead == 1) param_ = edge_value(load(lead));
        window_bound_ = MAX_ARGS - nlead;
    }
    int group(std::size_t g, std::size_t e) noexcept;
    qvh_tally tally{};

private:
    double value(std::size_t i) const { return edge_value(load(xs_ + static_cast<std::ptrdiff_t>(i) * stride_)); }
    int row(std::size_t i, Rows w, std::size_t e) noexcept;
    int summed(std::size_t g, std::size_t e) noexcept;
    int slid_row(std::size_t i) noexcept;
    int short_row(std::size_t i, const ShortCall &c) noexcept;
    // Row i's result delivered and counted; work is what the row cost, for the interrupt check.
    int finish(std::size_t i, double r, QvStatus st, bool marked, std::size_t work) noexcept;
    // The interrupt seen after `rows` rows.
    int interrupted(std::size_t rows) const noexcept {
        return fail(QVH_E_INTERRUPTED, Msg() << call_->label.view() << ": interrupted after row "
                                             << static_cast<unsigned long long>(rows) << " of " << static_cast<unsigned long long>(n_));
    }
    // Out of memory in row i: the bytes refused, as far as known.
    int no_memory(std::size_t i) const noexcept {
        call_->asked = take_refused();
        return qvhost::no_memory(call_->label.view(), i + 1, n_, call_->asked);
    }

    qvh_call *call_;
    const char *xs_;
    std::size_t n_;
    std::ptrdiff_t stride_;
    qvh_window frame_;
    char *out_;
    std::ptrdiff_t out_stride_;
    std::int32_t *statuses_;
    Layout layout_;
    SumWindows sums_;
    OrderStat stat_;
    int definition_ = 0;
    double param_ = 0.0;
    std::size_t window_bound_;
    std::size_t present_ = 0;  // present values in the window
    // The row's short call, made in plan_. While the window slides on by ordinary values, the
    // counts hold, and so does the call but for the values it reads at its ranks.
    ShortCall plan_;
    bool planned_ = false;
    RecentCalls recent_;  // the results of recent short calls by the bits they passed
};

int Moving::row(std::size_t i, Rows w, std::size_t e) noexcept {
    planned_ = false;
    if (present_ < frame_.min_present) return finish(i, qv::MISSING_DOT, STATUS_MISSING_ARG, false, 16);
    ShortCall &c = plan_;
    if (stat_ == OrderStat::Median) median_call(call_->ordered, c);
    else if (stat_ != OrderStat::None) c = short_call(stat_, definition_, param_, call_->ordered);
    else c.whole = true;
    if (!c.whole) {
        planned_ = true;
        return short_row(i, c);
    }
    if (w.hi - w.lo > window_bound_)
        return fail(QVH_E_LIMIT, Msg() << call_->label.view() << ": a call takes at most 2147483647 arguments");
    if (!layout_.cover(w.lo, w.hi, e)) return no_memory(i);
    double r = qv::MISSING_DOT;
    bool marked = false;
    const QvStatus st = layout_.call(w.lo, w.hi, r, marked);
    return finish(i, r, st, marked, 16 + (w.hi - w.lo));
}

// A row that slid on by one ordinary value: the plan's call, its values read again.
int Moving::slid_row(std::size_t i) noexcept {
    reread(call_->ordered, plan_);
    return short_row(i, plan_);
}

int Moving::short_row(std::size_t i, const ShortCall &c) noexcept {
    if (recent_.seen(c)) {
        const RecentCalls::Result &was = recent_.result();
        return finish(i, was.r, was.st, was.marked, 16);
    }
    SmallList small;
    FuncArgList *list = small.build(c, call_->pool.host());
    double r = qv::MISSING_DOT;
    QvStatus st = call_->entry.list(list, &r);
    deliver(r, st);
    bool marked = false;
    for (std::int64_t k = 0; k < list->count; ++k) marked = marked || (list->args[k].flags & FUNCARG_INVALID) != 0;
    recent_.store({r, st, marked});
    return finish(i, r, st, marked, 16);
}

int Moving::finish(std::size_t i, double r, QvStatus st, bool marked, std::size_t work) noexcept {
    if (memory_status(st)) return no_memory(i);
    std::memcpy(out_ + static_cast<std::ptrdiff_t>(i) * out_stride_, &r, sizeof r);
    if (statuses_ != nullptr) statuses_[i] = st;
    tally_add(tally, st, marked);
    if (call_->interrupt.due(work)) return interrupted(i + 1);
    return QVH_OK;
}

// A group's rows in stretches, the sums of a stretch's windows taken at once, and the interrupt
// consulted after each: a stretch is at most about 2^22 values of work. Flattened, so that the
// window rule is inlined into the loop over a stretch's rows.
[[gnu::flatten]] int Moving::summed(std::size_t g, std::size_t e) noexcept {
    // Short windows take short stretches, whose layout (about 20 bytes a row) stays in the first
    // level cache for the kernels that read it back.
    const std::size_t most = frame_.size > 1024 ? 64 + (std::size_t{1} << 22) / frame_.size : frame_.size < 48 ? 1024 : 4096;
    const Rows full = full_rows(frame_, g, e);
    for (std::size_t i = g; i < e;) {
        const std::size_t count = e - i < most ? e - i : most;
        const std::size_t span = window_of(frame_, g, e, i + count - 1).hi - window_of(frame_, g, e, i).lo;
        if (!sums_.reserve(call_->warm, count, span)) return no_memory(i);
        call_->over.valid = false;  // the warm block holds the sums' values now
        for (std::size_t k = i; k < i + count;) {
            if (k >= full.lo && k < full.hi) {  // the rows whose windows slide: one run
                const std::size_t rows = (full.hi < i + count ? full.hi : i + count) - k;
                const Rows w = window_of(frame_, g, e, k);
                sums_.add(w.lo, w.hi, rows);
                k += rows;
            } else {
                const Rows w = window_of(frame_, g, e, k++);
                sums_.add(w.lo, w.hi, 1);
            }
        }
        SumOut out{out_ + static_cast<std::ptrdiff_t>(i) * out_stride_, out_stride_,
                   statuses_ == nullptr ? nullptr : statuses_ + i, tally};
        sums_.run(xs_, stride_, frame_.min_present, out);
        tally = out.tally;
        i += count;
        if (call_->interrupt.due(count * 16 + span)) return interrupted(i);
    }
    return QVH_OK;
}

int Moving::group(std::size_t g, std::size_t e) noexcept {
    // An expanding window's forward sum is carried from row to row, which serves SUM and MEAN; the
    // others would sum the whole window again on every row.
    const bool expanding = frame_.kind == QVH_WINDOW_EXPANDING;
    const bool carried = sums_.stat() == SumStat::Sum || sums_.stat() == SumStat::Mean;
    const std::size_t longest = expanding || frame_.size > e - g ? e - g : frame_.size;
    if (sums_.stat() != SumStat::None && longest <= window_bound_ && (carried || !expanding)) return summed(g, e);
    const bool ordered = stat_ != OrderStat::None;
    if (ordered) {
        call_->ordered.clear();
        const std::size_t most = frame_.kind == QVH_WINDOW_EXPANDING || frame_.size >= e - g ? e - g : frame_.size + 1;
        if (!call_->ordered.reserve(most)) return no_memory(g);
    }
    present_ = 0;
    planned_ = false;
    std::size_t lo = g, hi = g;
    for (std::size_t i = g; i < e; ++i) {
        const Rows w = window_of(frame_, g, e, i);
        // The common row of a long window: an ordinary value comes and another goes, so the counts
        // hold and the last row's plan is this row's.
        if (planned_ && w.hi == hi + 1 && w.lo == lo + 1) {
            const double in = load(xs_ + static_cast<std::ptrdiff_t>(hi) * stride_);
            const double out = load(xs_ + static_cast<std::ptrdiff_t>(lo) * stride_);
            if (OrderedWindow::ordinary(in) && OrderedWindow::ordinary(out)) {
                call_->ordered.slide(out, lo, in, hi);
                ++lo;
                ++hi;
                if (const int rc = slid_row(i); rc != QVH_OK) return rc;
                continue;
            }
        }
        // A row that comes as another goes: one change of the ordered window.
        for (; ordered && hi < w.hi && lo < w.lo && lo < hi; ++hi, ++lo) {
            const double in = value(hi), out = value(lo);
            present_ += qv::is_missing(in) ? 0 : 1;
            present_ -= qv::is_missing(out) ? 0 : 1;
            call_->ordered.replace(out, lo, in, hi);
        }
        for (; hi < w.hi; ++hi) {
            const double x = value(hi);
            present_ += qv::is_missing(x) ? 0 : 1;
            if (ordered) call_->ordered.add(x, hi);
        }
        for (; lo < w.lo; ++lo) {
            const double x = value(lo);
            present_ -= qv::is_missing(x) ? 0 : 1;
            if (ordered) call_->ordered.remove(x, lo);
        }
        if (const int rc = row(i, w, e); rc != QVH_OK) return rc;
    }
    return QVH_OK;
}

}  // namespace

}  // namespace qvhost

using namespace qvhost;

extern "C" {

int qvh_moving(qvh_call *call, const double *lead, size_t nlead, const double *xs, size_t n, ptrdiff_t stride,
               const qvh_window *frame, const size_t *group_starts, size_t ngroups, double *out, ptrdiff_t out_stride,
               int32_t *statuses, qvh_tally *tally) noexcept {
    if (const int rc = check_moving(call, lead, nlead, xs, n, frame, group_starts, ngroups, out); rc != QVH_OK) {
        if (tally != nullptr) *tally = qvh_tally{};
        return rc;
    }
    take_refused();
    Moving m(call, lead, nlead, xs, n, stride, *frame, out, out_stride, statuses);
    int rc = QVH_OK;
    const std::size_t groups = n == 0 ? 0 : ngroups == 0 ? 1 : ngroups;
    for (std::size_t k = 0; rc == QVH_OK && k < groups; ++k) {
        const std::size_t g = ngroups == 0 ? 0 : group_starts[k];
        const std::size_t e = k + 1 < groups ? group_starts[k + 1] : n;
        rc = m.group(g, e);
    }
    if (tally != nullptr) *tally = m.tally;
    return rc == QVH_OK ? ok() : rc;
}

}  // extern "C"

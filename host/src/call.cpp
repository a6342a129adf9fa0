// Calls: one function with an argument list built once and made again with changed values, one
// call or a batch of calls at a time.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.hpp"
#include "listover.hpp"
#include "multiselect.hpp"
#include "nans.hpp"
#include "rows.hpp"
#include "text.hpp"

namespace qvhost {

namespace {

constexpr std::size_t MAX_CHARS = QVH_MAX_CHARS;
constexpr std::size_t MAX_ARGS = QVH_MAX_ARGS;

int check_call(const qvh_call *call) noexcept {
    return call == nullptr ? fail(QVH_E_NULL, "the call is NULL") : QVH_OK;
}

// Out of memory in row (0: not a batch) of rows: the bytes refused, else the bytes the failing step
// needed as far as known (guess).
int no_memory(qvh_call *call, std::size_t guess, std::uint64_t row = 0, std::uint64_t rows = 0) noexcept {
    const std::size_t refused = take_refused();
    call->asked = refused != 0 ? refused : guess;
    return qvhost::no_memory(call->label.view(), row, rows, call->asked);
}

// The bytes an argument list of n slots takes: the record's slot and the number it addresses.
constexpr std::size_t list_bytes(std::size_t n) { return sizeof(FuncArgList) + n * (sizeof(FuncArg) + sizeof(double)); }

int too_many(const qvh_call *call) noexcept {
    return fail(QVH_E_LIMIT, Msg() << call->label.view() << ": a call takes at most 2147483647 arguments");
}

int no_such_argument(const qvh_call *call, std::size_t index) noexcept {
    return fail(QVH_E_RANGE, Msg() << call->label.view() << ": argument " << static_cast<unsigned long long>(index + 1)
                                   << " does not exist (the call has " << static_cast<unsigned long long>(call->args.size())
                                   << ")");
}

// Converts argument index's UTF-8 to the 4-byte characters of a CharValue in call->scratch,
// refusing what a CharValue cannot hold.
int to_chars(qvh_call *call, std::size_t index, const char *utf8, std::size_t len) noexcept {
    if (utf8 == nullptr && len > 0) return fail(QVH_E_NULL, Msg() << call->label.view() << ": a character value is NULL");
    const std::string_view text(utf8 == nullptr ? "" : utf8, len);
    const std::size_t n = utf8_length(text);
    if (n > MAX_CHARS)
        return fail(QVH_E_LIMIT, Msg() << call->label.view() << ": argument " << static_cast<unsigned long long>(index + 1)
                                       << " holds " << static_cast<unsigned long long>(n)
                                       << " characters; a character value holds at most 65535");
    try {
        call->scratch.clear();
        utf8_to_u32(text, call->scratch);
    } catch (...) {
        return no_memory(call, n * sizeof(char32_t));
    }
    return QVH_OK;
}

int check_shape_of(qvh_call *call) noexcept {
    if (call->shape_checked) return QVH_OK;
    const int rc = check_shape(*call->info, call->label.view(), call->args.size(),
                               [&](std::size_t i) { return call->args.numeric(i) ? QVH_KIND_NUM : QVH_KIND_CHR; });
    call->shape_checked = rc == QVH_OK;
    return rc;
}

// Calls the package over the argument list as it stands; numeric results follow the NaN rule.
void call_package(qvh_call *call, FuncArgList *list) {
    switch (call->info->form) {
        case QVH_FORM_SCALAR:
            call->status = call->entry.scalar(&call->result, call->args.value(0));
            break;
        case QVH_FORM_LIST:
            call->status = call->entry.list(list, &call->result);
            break;
        default:
            return;
    }
    deliver(call->result, call->status);
}

// A character function: room for the longest argument, since the result is always a copy of one.
int call_chars(qvh_call *call, FuncArgList *list) noexcept {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < call->args.size(); ++i)
        longest = std::max<std::size_t>(longest, call->args.char_value(i).length);
    try {
        call->char_buffer.assign(longest, U' ');
        call->char_result.capacity = static_cast<std::uint16_t>(longest);
        call->char_result.length = 0;
        call->char_result.chars = reinterpret_cast<std::uint32_t *>(call->char_buffer.data());
        call->status = call->entry.charList(list, &call->char_result);
        call->text.clear();
        u32_to_utf8(std::u32string_view(call->char_buffer.data(), call->char_result.length), call->text);
    } catch (...) {
        return no_memory(call, 2 * longest * sizeof(char32_t));
    }
    call->result = qv::MISSING_DOT;
    return QVH_OK;
}

const double DOT = qv::MISSING_DOT;

// The catalogue's check of count arguments that are all numbers: the count, and the kinds of the
// first argument and of the rest (every later one is alike), so the check costs nothing per value.
int check_numbers(const qvh_call *call, std::size_t count) noexcept {
    if (const int rc = check_count(*call->info, call->label.view(), count); rc != QVH_OK) return rc;
    for (std::size_t i = 0; i < count && i < 2; ++i) {
        const int want = i == 0 ? call->info->first_kind : call->info->rest_kind;
        if ((want & QVH_KIND_NUM) == 0) return kind_mismatch(*call->info, call->label.view(), i, want);
    }
    return QVH_OK;
}

// Where a slot points for the value at p: at the value, or at '.' for a NaN that is no missing value.
const double *slot_of(const double *p) {
    const double x = load(p);
    return x != x && !qv::is_missing(x) ? &DOT : p;
}

// Lays out the list of qvh_call_over in the call's warm block: the header is written, every slot is
// overwritten, nothing else is cleared. The slots point at the caller's values, where they are
// aligned for the package to read, else at copies. Remembers the layout, when it points at the
// caller's values only, for the next call over the same values.
int lay_out_over(qvh_call *call, const double *lead, std::size_t nlead, const double *xs, std::size_t n,
                 std::ptrdiff_t stride, bool copy) noexcept {
    const std::size_t count = nlead + n;
    const std::size_t record_bytes = sizeof(FuncArgList) + count * sizeof(FuncArg);
    const std::size_t bytes = record_bytes + (copy ? count * sizeof(double) : 0);
    if (count > (SIZE_MAX - sizeof(FuncArgList)) / (sizeof(FuncArg) + sizeof(double)) || call->warm.reserve(bytes) == nullptr)
        return no_memory(call, bytes);
    auto *list = static_cast<FuncArgList *>(call->warm.get());
    auto *copies = reinterpret_cast<double *>(static_cast<char *>(call->warm.get()) + record_bytes);
    bool dots = false;
    auto put = [&](std::size_t k, const double *p) {
        const double *at = slot_of(p);
        dots = dots || at == &DOT;
        if (copy) {
            copies[k] = load(at);
            at = &copies[k];
        }
        list->args[k] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, const_cast<double *>(at)};
    };
    for (std::size_t k = 0; k < nlead; ++k) put(k, lead + k);
    const char *base = reinterpret_cast<const char *>(xs);
    for (std::size_t i = 0; i < n; ++i) {
        if ((i & 0xFFFF) == 0xFFFF && call->interrupt.due(0x10000))
            return fail(QVH_E_INTERRUPTED, Msg() << call->label.view() << ": interrupted while laying out "
                                                 << static_cast<unsigned long long>(n) << " values");
        put(nlead + i, reinterpret_cast<const double *>(base + static_cast<ptrdiff_t>(i) * stride));
    }
    call->over = OverKey{xs, n, stride, nlead, !copy && !dots};
    return QVH_OK;
}

// Whether the values hold no NaN that is no missing value, so the list remembered for them, which
// points at each, still holds: reading them costs less than laying the list out again.
bool no_nan(const double *xs, std::size_t n, std::ptrdiff_t stride) {
    // Missing values are NaNs too: only a NaN that is none needs a slot of its own.
    bool other = false;
    if (stride == sizeof(double)) {
        find_nans<false>(xs, n, nullptr, [&](std::size_t i) { other = other || !qv::is_missing(xs[i]); });
        return !other;
    }
    const char *base = reinterpret_cast<const char *>(xs);
    for (std::size_t i = 0; i < n && !other; ++i) {
        const double x = load(base + static_cast<ptrdiff_t>(i) * stride);
        other = x != x && !qv::is_missing(x);
    }
    return !other;
}

// Rows between two interrupt checks of a function of one number (of n numbers: a (n + 1)th).
constexpr std::size_t ROWS_BLOCK = 4096;

// The shortest list whose median or percentile qvh_call_over finds by its ranks, where a sample
// brackets them (multiselect.cpp): a shorter one is laid out and called whole, and kept warm, so
// that a call repeated over it takes no memory.
constexpr std::size_t BY_RANKS_FROM = std::size_t{1} << 19;

// The rows of a batch in blocks of block rows through run(first, m, tally), which gives the
// RowsEnd of its block, the interrupt consulted before each block (units of work a row). The
// call keeps the result and status of the last row called, and last(row) is told that row.
template <class Run, class Last>
int rows_in_blocks(qvh_call *call, std::size_t rows, std::size_t block, std::size_t units, qvh_tally *tally, Run run,
                   Last last) noexcept {
    qvh_tally t{};
    RowsEnd end{0, 0.0, STATUS_OK};
    auto keep = [&](std::size_t row) {
        last(row);
        call->result = end.result;
        call->status = end.status;
        call->invoked = true;
        if (tally != nullptr) *tally = t;
    };
    for (std::size_t i = 0; i < rows; i += block) {
        const std::size_t m = std::min(block, rows - i);
        if (call->interrupt.due(m * units)) {
            if (tally != nullptr) *tally = t;
            return fail(QVH_E_INTERRUPTED, Msg() << call->label.view() << ": interrupted in row "
                                                 << static_cast<unsigned long long>(i + 1) << " of "
                                                 << static_cast<unsigned long long>(rows));
        }
        end = run(i, m, t);
        if (end.rows < m) {
            keep(i + end.rows);
            return no_memory(call, 0, i + end.rows + 1, rows);
        }
    }
    if (rows > 0) keep(rows - 1);
    if (tally != nullptr) *tally = t;
    return ok();
}

// qvh_call_rows of a function of one number, which never marks its argument. The list keeps the
// value of the last row called, as a call of one row at a time leaves it.
int call_scalar_rows(qvh_call *call, std::size_t rows, const double *arg, std::ptrdiff_t stride, double *out,
                     std::ptrdiff_t out_stride, std::int32_t *statuses, unsigned char *marks, qvh_tally *tally) noexcept {
    const char *in = reinterpret_cast<const char *>(arg);
    const InlinedRows inlined = inlined_rows_of(*call->info);
    auto run = [&](std::size_t i, std::size_t m, qvh_tally &t) {
        const ScalarRows block{in + static_cast<std::ptrdiff_t>(i) * stride, stride,
                               reinterpret_cast<char *>(out) + static_cast<std::ptrdiff_t>(i) * out_stride, out_stride,
                               statuses != nullptr ? statuses + i : nullptr};
        const RowsEnd end = inlined != nullptr ? inlined(block, m, t) : scalar_rows(call->entry.scalar, block, m, t);
        if (marks != nullptr) std::memset(marks + i, 0, end.rows);
        return end;
    };
    // The last row's value is read before the rows run: results written over the values would
    // otherwise leave the list its result.
    const double last_value = rows > 0 ? load(in + static_cast<std::ptrdiff_t>(rows - 1) * stride) : 0.0;
    auto last = [&](std::size_t row) {
        call->args.numbers()[0] = edge_value(row + 1 == rows ? last_value : load(in + static_cast<std::ptrdiff_t>(row) * stride));
    };
    return rows_in_blocks(call, rows, ROWS_BLOCK, 5, tally, run, last);
}

}  // namespace

int call_over_whole(qvh_call *call, const double *lead, size_t nlead, const double *xs, size_t n, ptrdiff_t stride,
                    double *result, int32_t *status, unsigned char *marked) noexcept {
    const std::size_t count = nlead + n;
    const bool copy = reinterpret_cast<std::uintptr_t>(xs) % alignof(double) != 0 || stride % alignof(double) != 0 ||
                      reinterpret_cast<std::uintptr_t>(lead) % alignof(double) != 0;
    const OverKey key{xs, n, stride, nlead, true};
    const bool again = !copy && call->over == key;
    if (!again || !no_nan(xs, n, stride)) {
        call->over.valid = false;
        if (const int rc = lay_out_over(call, lead, nlead, xs, n, stride, copy); rc != QVH_OK) return rc;
    }
    auto *list = static_cast<FuncArgList *>(call->warm.get());
    std::memset(list, 0, sizeof(FuncArgList));
    list->pool = call->pool.host();
    list->count = static_cast<std::int64_t>(count);
    if (again) {
        for (std::size_t k = 0; k < nlead; ++k)
            list->args[k] = FuncArg{HOST_FLAG_BITS | FUNCARG_NUMERIC, const_cast<double *>(slot_of(lead + k))};
    }
    double r = qv::MISSING_DOT;
    QvStatus st = call->entry.list(list, &r);
    deliver(r, st);
    if (marked != nullptr)
        for (std::size_t k = 0; k < count; ++k) marked[k] = (list->args[k].flags & FUNCARG_INVALID) != 0 ? 1 : 0;
    if (st != STATUS_OK)  // a list used again starts unmarked
        for (std::size_t k = 0; k < count; ++k) list->args[k].flags &= ~FUNCARG_INVALID;
    *result = r;
    if (status != nullptr) *status = st;
    if (memory_status(st)) return no_memory(call, 0);
    return ok();
}

}  // namespace qvhost

using namespace qvhost;

extern "C" {

int qvh_call_new(qvh_package *pkg, const char *name, qvh_call **out) noexcept {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_call_new: out is NULL");
    *out = nullptr;
    const qvh_info *info = nullptr;
    QvEntry entry{};
    if (const int rc = resolve(pkg, name, "qvh_call_new", info, entry); rc != QVH_OK) return rc;
    qvh_call *call = nullptr;
    take_refused();
    try {
        call = new qvh_call(pkg->memory);
    } catch (...) {
        // The call itself, or the first room of its argument list from the package's allocator.
        const std::size_t refused = take_refused();
        return no_memory(info->name, 0, 0, refused != 0 ? refused : sizeof(qvh_call));
    }
    call->pkg = pkg;
    call->info = info;
    call->entry = entry;
    call->label.set(info->name);
    *out = call;
    return ok();
}

void qvh_call_free(qvh_call *call) noexcept { delete call; }

const qvh_info *qvh_call_info(const qvh_call *call) noexcept { return call == nullptr ? nullptr : call->info; }

int qvh_call_set_label(qvh_call *call, const char *label) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    call->label.set(label != nullptr ? label : call->info->name);
    return ok();
}

void qvh_call_clear(qvh_call *call) noexcept {
    if (call == nullptr) return;
    call->args.clear();
    call->invoked = false;
    call->shape_checked = false;
}

int qvh_call_add_num(qvh_call *call, double x) noexcept { return qvh_call_add_nums(call, &x, 1); }

int qvh_call_add_nums(qvh_call *call, const double *xs, size_t n) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (xs == nullptr && n > 0) return fail(QVH_E_NULL, Msg() << call->label.view() << ": the values are NULL");
    if (n > MAX_ARGS - call->args.size()) return too_many(call);
    try {
        call->args.nums(xs, n, [](double x) { return edge_value(x); });
        call->shape_checked = false;
    } catch (...) {
        return no_memory(call, list_bytes(call->args.size() + n));
    }
    return ok();
}

int qvh_call_add_str(qvh_call *call, const char *utf8, size_t len) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (call->args.size() >= MAX_ARGS) return too_many(call);
    if (const int rc = to_chars(call, call->args.size(), utf8, len); rc != QVH_OK) return rc;
    try {
        call->args.chr(call->scratch);
        call->shape_checked = false;
    } catch (...) {
        return no_memory(call, list_bytes(call->args.size() + 1) + call->scratch.size() * sizeof(char32_t));
    }
    return ok();
}

int qvh_call_set_num(qvh_call *call, size_t index, double x) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (index >= call->args.size()) return no_such_argument(call, index);
    if (!call->args.numeric(index)) call->shape_checked = false;
    call->args.set_num(index, edge_value(x));
    return QVH_OK;
}

int qvh_call_set_str(qvh_call *call, size_t index, const char *utf8, size_t len) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (index >= call->args.size()) return no_such_argument(call, index);
    if (const int rc = to_chars(call, index, utf8, len); rc != QVH_OK) return rc;
    try {
        if (call->args.numeric(index)) call->shape_checked = false;
        call->args.set_chr(index, call->scratch);
    } catch (...) {
        return no_memory(call, call->scratch.size() * sizeof(char32_t));
    }
    return ok();
}

size_t qvh_call_count(const qvh_call *call) noexcept { return call == nullptr ? 0 : call->args.size(); }

int qvh_call_invoke(qvh_call *call) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (const int rc = check_shape_of(call); rc != QVH_OK) return rc;
    // The package marks arguments only when it reports an invalid one.
    if (call->invoked && call->status != STATUS_OK) call->args.clear_marks();
    FuncArgList *list = call->args.get();
    call->invoked = false;
    take_refused();
    if (call->info->form == QVH_FORM_CHAR_LIST) {
        if (const int rc = call_chars(call, list); rc != QVH_OK) return rc;
    } else {
        call_package(call, list);
    }
    call->asked = memory_status(call->status) ? take_refused() : 0;
    call->invoked = true;
    return QVH_OK;
}

int qvh_call_rows(qvh_call *call, size_t rows, size_t nargs, const double *const *args, const ptrdiff_t *strides,
                  double *out, ptrdiff_t out_stride, int32_t *statuses, unsigned char *marks, qvh_tally *tally) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if ((nargs > 0 && (args == nullptr || strides == nullptr)) || (rows > 0 && out == nullptr))
        return fail(QVH_E_NULL, Msg() << call->label.view() << ": qvh_call_rows needs the arguments, strides and results");
    if (const int rc = check_shape(*call->info, call->label.view(), nargs, [](std::size_t) { return QVH_KIND_NUM; });
        rc != QVH_OK)
        return rc;
    if (call->info->form == QVH_FORM_CHAR_LIST || call->info->result_kind != QVH_KIND_NUM)
        return fail(QVH_E_KIND, Msg() << call->label.view() << " works on character values, which qvh_call_rows cannot pass");
    for (size_t j = 0; j < nargs; ++j)
        if (args[j] == nullptr && rows > 0) return fail(QVH_E_NULL, Msg() << call->label.view() << ": argument " << j + 1 << " is NULL");
    // The list keeps nargs numeric slots; each row stores its values into them.
    bool numeric = call->args.size() == nargs;
    for (size_t j = 0; numeric && j < nargs; ++j) numeric = call->args.numeric(j);
    if (!numeric) {
        qvh_call_clear(call);
        try {
            call->args.reserve(nargs);
            for (size_t j = 0; j < nargs; ++j) call->args.num(0.0);
        } catch (...) {
            return no_memory(call, list_bytes(nargs));
        }
    }
    call->shape_checked = true;
    if (call->invoked && call->status != STATUS_OK) call->args.clear_marks();
    const bool scalar = call->info->form == QVH_FORM_SCALAR;
    take_refused();
    if (scalar) return call_scalar_rows(call, rows, args[0], strides[0], out, out_stride, statuses, marks, tally);
    // Each row's values go straight into the list's numbers; the marks are cleared after a row
    // that made any, so the last row's stay for qvh_call_marked.
    const ListRows list{args, strides, nargs, contiguous_from(args, strides, nargs), call->args.get(),
                        call->args.numbers(), reinterpret_cast<char *>(out), out_stride, statuses, marks};
    const SumStat stat = sum_stat_of(*call->info);
    const UnitRows unit = unit_rows_of(*call->info, rows, nargs, args, strides, out_stride);
    // The list keeps the last row's values, as a call of one row at a time leaves it: the paths
    // that do not lay rows out in the list leave it the last row, called through the list before
    // its result is written (results may be written over the values).
    auto run = [&](std::size_t i, std::size_t m, qvh_tally &t) {
        if (stat == SumStat::None && unit.lanes == nullptr) return list_rows(call->entry.list, list, i, i + m, rows - 1, t);
        const std::size_t to = i + m == rows ? rows - 1 : i + m;
        const RowsEnd before = stat != SumStat::None ? sum_rows(stat, list, i, to, t)
                                                     : unit_rows(unit, call->entry.list, list, i, to, rows - 1, t);
        if (to == i + m || before.rows < to - i) return before;
        const RowsEnd end = list_rows(call->entry.list, list, to, rows, rows - 1, t);
        return RowsEnd{before.rows + end.rows, end.result, end.status};
    };
    return rows_in_blocks(call, rows, std::max<std::size_t>(1, ROWS_BLOCK / (nargs + 1)), nargs + 4, tally, run,
                          [](std::size_t) {});
}

int qvh_call_over(qvh_call *call, const double *lead, size_t nlead, const double *xs, size_t n, ptrdiff_t stride,
                  double *result, int32_t *status, unsigned char *marked) noexcept {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if ((nlead > 0 && lead == nullptr) || (n > 0 && xs == nullptr) || result == nullptr)
        return fail(QVH_E_NULL, Msg() << call->label.view() << ": qvh_call_over needs the values and the result");
    if (call->info->form != QVH_FORM_LIST || call->info->result_kind != QVH_KIND_NUM)
        return fail(QVH_E_KIND, Msg() << call->label.view() << " is not a list-form function of numbers");
    if (n > MAX_ARGS || nlead > MAX_ARGS - n) return too_many(call);
    const std::size_t count = nlead + n;
    if (const int rc = check_numbers(call, count); rc != QVH_OK) return rc;
    take_refused();
    // A long list's median or percentile reads one or two of its values: found without laying the
    // list out.
    int definition = 0;
    const OrderStat stat = order_stat_of(*call->info, definition);
    if (marked == nullptr && n >= BY_RANKS_FROM &&
        ((stat == OrderStat::Median && nlead == 0) || (stat == OrderStat::Pctl && nlead == 1))) {
        const int rc = over_by_ranks(call, stat, definition, lead, xs, n, stride, result, status);
        return rc == QVH_OK ? ok() : rc;
    }
    return call_over_whole(call, lead, nlead, xs, n, stride, result, status, marked);
}

double qvh_call_result(const qvh_call *call) noexcept {
    return call == nullptr || !call->invoked ? qv::MISSING_DOT : call->result;
}

const char *qvh_call_result_str(const qvh_call *call, size_t *len) noexcept {
    const bool has = call != nullptr && call->invoked && call->info->result_kind == QVH_KIND_CHR;
    if (len != nullptr) *len = has ? call->text.size() : 0;
    return has ? call->text.c_str() : nullptr;
}

size_t qvh_call_asked(const qvh_call *call) noexcept { return call == nullptr ? 0 : call->asked; }

int32_t qvh_call_status(const qvh_call *call) noexcept {
    return call == nullptr || !call->invoked ? STATUS_OK : call->status;
}

int qvh_call_marked(const qvh_call *call, size_t index) noexcept {
    return call != nullptr && call->invoked && index < call->args.size() && call->args.marked(index) ? 1 : 0;
}

size_t qvh_call_describe(const qvh_call *call, char *buf, size_t size) noexcept {
    Msg m;
    if (call == nullptr || !call->invoked) {
        m << "not called";
    } else {
        m << qvh_status_name(call->status);
        std::size_t count = 0;
        for (std::size_t i = 0; i < call->args.size(); ++i) count += call->args.marked(i) ? 1 : 0;
        for (std::size_t i = 0, k = 0; i < call->args.size(); ++i) {
            if (!call->args.marked(i)) continue;
            m << (k++ == 0 ? (count == 1 ? "; argument " : "; arguments ") : ", ") << static_cast<unsigned long long>(i + 1);
        }
        if (count > 0) m << " marked";
    }
    return copy_out(m.view(), buf, size);
}

int qvh_eval(qvh_package *pkg, const char *name, const double *xs, size_t n, double *result, int32_t *status) noexcept {
    if (result == nullptr) return fail(QVH_E_NULL, "qvh_eval: result is NULL");
    qvh_call *call = nullptr;
    int rc = qvh_call_new(pkg, name, &call);
    if (rc == QVH_OK) rc = qvh_call_add_nums(call, xs, n);
    if (rc == QVH_OK) rc = qvh_call_invoke(call);
    if (rc == QVH_OK) {
        *result = call->result;
        if (status != nullptr) *status = call->status;
    }
    qvh_call_free(call);
    return rc;
}

}  // extern "C"

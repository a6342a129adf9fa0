// Fuzz target: every table function, called the way a host calls it, through the row of the
// instance's function table, with a FuncArgList whose every part (the record, each number, each
// character buffer) is a block of exactly its own size, so that a read or write past any of them
// is an AddressSanitizer report. The input picks the function, the argument count within its
// arity, each slot's kind and bits, and which scratch request the pool refuses (call_input.hpp).
//
// Checked on every call: the result was written; the status is one the catalogue says the
// function may return, and a status other than ok comes with the result '.'; marks appear only
// where the catalogue allows them, only with the status "invalid argument", and a mark already
// set is never cleared; the record's header, every descriptor bit but FUNCARG_INVALID, every value
// and every character are unchanged; every scratch block went back to the pool, asked for with
// flags 0, at most two per call; a character result stays inside its room; and the processor time
// of the call stays under a bound proportional to the argument count. When the pool is told to
// refuse a request the call made, the same call again ends with "no scratch memory", '.', no
// new mark.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "call_input.hpp"
#include "catalogue.hpp"
#include "check.hpp"
#include "qvhost.h"
#include "standin.hpp"

namespace {

using qvfuzz::fail;

constexpr std::uint64_t DOT_BITS = QV_MISSING_DOT_BITS;
constexpr std::uint64_t HOST_BITS = 0x5A5A000000000000ull;  // host-owned descriptor bits
constexpr std::size_t GUARD = 8;                            // characters past a result's room
constexpr std::uint32_t GUARD_CHAR = 0xFEEDFACEu;
constexpr std::size_t MAX_TOTAL_CHARS = std::size_t{1} << 16;  // per call; later values come empty

// A call slower than this, in processor time, is a finding: some forty times what the slowest
// call needs sanitized (ORDINAL over 3687 values, 10 ms), so load never trips it and a hang does.
constexpr long long BOUND_BASE_NS = 200'000'000;
constexpr long long BOUND_PER_ARG_NS = 50'000;

struct Callable {
    const qvh_info *info;
    QvEntry entry;
};

std::vector<Callable> &callables() {
    static std::vector<Callable> list = [] {
        std::vector<Callable> out;
        for (const qvh_info &f : qvhost::functions()) {
            const FuncTableRow *row = qvfuzz::package().find(f.name);
            if (row != nullptr && row->entry.scalar != nullptr) out.push_back({&f, row->entry});
        }
        return out;
    }();
    return list;
}

unsigned may_bit(QvStatus status) {
    switch (status) {
        case STATUS_OK: return QVH_MAY_OK;
        case STATUS_MISSING_ARG: return QVH_MAY_MISSING_ARG;
        case STATUS_INVALID_ARG: return QVH_MAY_INVALID_ARG;
        case STATUS_NO_SCRATCH: return QVH_MAY_NO_SCRATCH;
        default: return 0;
    }
}

// A FuncArgList built by a host that allocates each part to its exact size.
class HostList {
public:
    HostList(const std::vector<const qvfuzz::Value *> &values, bool premark) : values_(values), n_(values.size()) {
        raw_.reset(new std::uint64_t[WORDS + 2 * n_]);
        numbers_.reset(new double[n_]);
        chars_.reset(new CharValue[n_]);
        texts_.resize(n_);
        FuncArgList *list = get();
        std::memset(list->host0, 0xC3, sizeof list->host0);
        std::memset(list->host24, 0x3C, sizeof list->host24);
        list->pool = nullptr;
        list->count = static_cast<std::int64_t>(n_);
        for (std::size_t i = 0; i < n_; ++i) {
            const qvfuzz::Value &v = *values[i];
            FuncArg &a = list->args[i];
            a.flags = HOST_BITS | (v.numeric ? FUNCARG_NUMERIC : 0) | (premark && i % 3 == 0 ? FUNCARG_INVALID : 0);
            numbers_[i] = v.x;
            CharValue &cv = chars_[i];
            std::memset(&cv, 0, sizeof cv);
            std::memset(cv.host4, 0xA5, sizeof cv.host4);
            if (v.numeric) {
                a.value = &numbers_[i];
                continue;
            }
            texts_[i].reset(new std::uint32_t[v.s.size()]);
            std::memcpy(texts_[i].get(), v.s.data(), v.s.size() * sizeof(std::uint32_t));
            cv.capacity = cv.length = static_cast<std::uint16_t>(v.s.size());
            cv.chars = texts_[i].get();
            a.value = &cv;
        }
        before_raw_.assign(raw_.get(), raw_.get() + WORDS + 2 * n_);
        before_numbers_.assign(numbers_.get(), numbers_.get() + n_);
        before_chars_.assign(chars_.get(), chars_.get() + n_);
    }

    FuncArgList *get() { return reinterpret_cast<FuncArgList *>(raw_.get()); }
    std::size_t size() const { return n_; }
    double number(std::size_t i) const { return before_numbers_[i]; }

    // Puts the descriptors back as they were, for a second call.
    void restore() { std::memcpy(raw_.get(), before_raw_.data(), before_raw_.size() * 8); }

    void set_pool(HostPool *pool) {
        get()->pool = pool;
        before_raw_[offsetof(FuncArgList, pool) / 8] = reinterpret_cast<std::uintptr_t>(pool);
    }

    // Checks what the call must not have changed; returns the slots it newly marked.
    std::vector<std::size_t> check_after(const char *name) {
        FuncArgList *list = get();
        if (std::memcmp(raw_.get(), before_raw_.data(), WORDS * 8) != 0)
            fail("%s changed the argument list's header", name);
        std::vector<std::size_t> marked;
        for (std::size_t i = 0; i < n_; ++i) {
            const std::uint64_t now = list->args[i].flags, was = before_raw_[WORDS + 2 * i];
            if ((now & ~FUNCARG_INVALID) != (was & ~FUNCARG_INVALID))
                fail("%s changed descriptor bits of argument %zu: 0x%016llX -> 0x%016llX", name, i + 1,
                     static_cast<unsigned long long>(was), static_cast<unsigned long long>(now));
            if ((was & FUNCARG_INVALID) && !(now & FUNCARG_INVALID)) fail("%s cleared the mark of argument %zu", name, i + 1);
            if (!(was & FUNCARG_INVALID) && (now & FUNCARG_INVALID)) marked.push_back(i + 1);
            if (list->args[i].value != reinterpret_cast<void *>(before_raw_[WORDS + 2 * i + 1]))
                fail("%s changed the value pointer of argument %zu", name, i + 1);
            if (std::bit_cast<std::uint64_t>(numbers_[i]) != std::bit_cast<std::uint64_t>(before_numbers_[i]))
                fail("%s changed the number of argument %zu", name, i + 1);
            if (std::memcmp(&chars_[i], &before_chars_[i], sizeof(CharValue)) != 0)
                fail("%s changed the character value record of argument %zu", name, i + 1);
            if (texts_[i] && std::memcmp(texts_[i].get(), values_[i]->s.data(), values_[i]->s.size() * 4) != 0)
                fail("%s changed the characters of argument %zu", name, i + 1);
        }
        return marked;
    }

private:
    static constexpr std::size_t WORDS = sizeof(FuncArgList) / 8;
    const std::vector<const qvfuzz::Value *> &values_;
    std::size_t n_;
    std::unique_ptr<std::uint64_t[]> raw_;
    std::unique_ptr<double[]> numbers_;
    std::unique_ptr<CharValue[]> chars_;
    std::vector<std::unique_ptr<std::uint32_t[]>> texts_;
    std::vector<std::uint64_t> before_raw_;
    std::vector<double> before_numbers_;
    std::vector<CharValue> before_chars_;
};

struct Outcome {
    QvStatus status = STATUS_OK;
    std::uint64_t result = 0;
    std::vector<std::size_t> marked;
    std::size_t requests = 0;
};

// One call of f over list with the pool refusing its nth request (0: none), and every check.
Outcome call(const Callable &f, HostList &list, int refuse, std::uint16_t room) {
    const char *name = f.info->name;
    qvhost::CountingPool pool("fuzz pool");
    pool.refuse_nth(refuse);
    list.set_pool(pool.host());

    // An unwritten result keeps a signalling NaN that no argument holds with either sign:
    // arithmetic never makes one, so only a function that wrote nothing leaves it.
    std::uint64_t unwritten = 0x7FF4DEADBEEF0001ull;
    for (std::size_t i = 0; i < list.size(); ++i)
        if ((std::bit_cast<std::uint64_t>(list.number(i)) & ~(1ull << 63)) == unwritten) unwritten ^= 0x10;

    Outcome out;
    const long long start = qvfuzz::thread_cpu_ns();
    if (f.info->form == QVH_FORM_CHAR_LIST) {
        std::unique_ptr<std::uint32_t[]> buffer(new std::uint32_t[room + GUARD]);
        for (std::size_t i = 0; i < room + GUARD; ++i) buffer[i] = GUARD_CHAR;
        CharValue result{};
        result.capacity = room;
        result.length = 0xBEEF;
        std::memset(result.host4, 0x96, sizeof result.host4);
        result.chars = buffer.get();
        out.status = f.entry.charList(list.get(), &result);
        if (result.capacity != room || result.chars != buffer.get() ||
            std::memcmp(result.host4, "\x96\x96\x96\x96", 4) != 0)
            fail("%s changed the capacity, buffer or host bytes of its result", name);
        if (result.length > room) fail("%s set a result length %u beyond the room %u", name, result.length, room);
        for (std::size_t i = result.length; i < room + GUARD; ++i)
            if (buffer[i] != GUARD_CHAR) fail("%s wrote character %zu of a result of length %u", name, i, result.length);
        out.result = result.length;
    } else {
        double result = std::bit_cast<double>(unwritten);
        if (f.info->form == QVH_FORM_SCALAR) out.status = f.entry.scalar(&result, list.number(0));
        else out.status = f.entry.list(list.get(), &result);
        out.result = std::bit_cast<std::uint64_t>(result);
        if (out.result == unwritten) fail("%s wrote no result", name);
    }
    const long long spent = qvfuzz::thread_cpu_ns() - start;
    const long long bound = BOUND_BASE_NS + BOUND_PER_ARG_NS * static_cast<long long>(list.size());
    if (spent > bound)
        fail("%s over %zu arguments took %.3f s of processor time (bound %.3f s)", name, list.size(), spent / 1e9, bound / 1e9);

    if ((may_bit(out.status) & f.info->statuses) == 0)
        fail("%s returned status 0x%08X, which the catalogue does not list for it", name, static_cast<unsigned>(out.status));
    // LOG, LOG10 and LGAMMA keep a result that tests missing (a signalling NaN argument, quieted
    // on its way through the logarithm) as it is, with the status invalid argument.
    const bool keeps_result = std::strcmp(name, "LOG") == 0 || std::strcmp(name, "LOG10") == 0 ||
                              std::strcmp(name, "LGAMMA") == 0;
    const bool dot = out.result == DOT_BITS || (keeps_result && (out.result >> 48) == 0xFFFF);
    if (out.status != STATUS_OK && f.info->form != QVH_FORM_CHAR_LIST && !dot)
        fail("%s returned status 0x%08X with the result 0x%016llX instead of .", name, static_cast<unsigned>(out.status),
             static_cast<unsigned long long>(out.result));

    if (f.info->form != QVH_FORM_SCALAR) {
        out.marked = list.check_after(name);
        if (!out.marked.empty() && !f.info->marks)
            fail("%s marked argument %zu, which the catalogue says it never does", name, out.marked[0]);
        if (!out.marked.empty() && out.status != STATUS_INVALID_ARG)
            fail("%s marked argument %zu with status 0x%08X", name, out.marked[0], static_cast<unsigned>(out.status));
    }
    if (pool.outstanding() != 0) fail("%s kept %zu scratch block(s)", name, pool.outstanding());
    out.requests = pool.requests().size();
    if (out.requests > 2) fail("%s asked for %zu scratch blocks", name, out.requests);
    for (const qvhost::PoolRequest &r : pool.requests())
        if (r.flags != 0) fail("%s asked for scratch with flags 0x%08X", name, r.flags);
    return out;
}

// The value of a slot as the function reads it there: v itself, or v turned into the other kind
// (kept in made, whose entries never move).
const qvfuzz::Value *fit_kind(const qvfuzz::Value &v, int kind, std::deque<qvfuzz::Value> &made) {
    if (kind == QVH_KIND_NUM && !v.numeric) {
        made.push_back({true, static_cast<double>(v.s.size()), {}});
        return &made.back();
    }
    if (kind == QVH_KIND_CHR && v.numeric) {
        const std::uint64_t b = std::bit_cast<std::uint64_t>(v.x);
        made.push_back({false, 0.0, std::u32string(static_cast<std::size_t>(b % 5), static_cast<char32_t>(b >> 32))});
        return &made.back();
    }
    return &v;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    callables();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const qvfuzz::Call c = qvfuzz::read_call(data, size, qvfuzz::LONG_LIST_MAX + 1);
    const Callable &f = callables()[c.function % callables().size()];
    const std::size_t n = f.info->form == QVH_FORM_SCALAR ? 1 : qvfuzz::fit_count(c.count_sel, f.info->min_args, f.info->max_args);

    static const qvfuzz::Value zero{}, empty{false, 0.0, {}};
    std::vector<const qvfuzz::Value *> values;
    values.reserve(n);
    std::deque<qvfuzz::Value> made;
    std::uint32_t state = c.shuffle_seed;
    std::size_t total_chars = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const qvfuzz::Value &v = i < c.args.size() ? c.args[i]
                                 : c.args.empty()   ? zero
                                                    : c.args[qvfuzz::fill_source(c.fill, i, n, c.args.size(), state)];
        const qvfuzz::Value *fit = fit_kind(v, i == 0 ? f.info->first_kind : f.info->rest_kind, made);
        total_chars += fit->s.size();
        values.push_back(total_chars > MAX_TOTAL_CHARS && !fit->numeric ? &empty : fit);
    }

    HostList list(values, c.premark);
    const Outcome first = call(f, list, 0, c.room);
    if (c.refuse > 0 && first.requests >= static_cast<std::size_t>(c.refuse)) {
        list.restore();
        const Outcome refused = call(f, list, c.refuse, c.room);
        if (refused.status != STATUS_NO_SCRATCH || !refused.marked.empty())
            fail("%s with scratch request %d refused returned status 0x%08X and marked %zu argument(s)", f.info->name,
                 c.refuse, static_cast<unsigned>(refused.status), refused.marked.size());
    }
    return 0;
}

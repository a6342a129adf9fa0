// The inner loops of qvh_call_rows (see rows.hpp).
#include "rows.hpp"

#include <algorithm>
#include <cstring>

#include "inplace.hpp"
#include "nans.hpp"
#include "qv/elementary.hpp"
#include "qv/roundunit.hpp"

namespace qvhost {

namespace {

// The loop, with the results written straight into place when they are aligned (Direct) and the
// statuses written or not, so that each row does only what is asked of it. fn(&r, x) is the
// package's entry or, inlined, its own code for the function (qv/elementary.hpp).
template <bool Direct, bool Statuses, class Fn>
RowsEnd run(Fn fn, const ScalarRows &rows, std::size_t m, qvh_tally &t) noexcept {
    const char *in = rows.in;
    char *out = rows.out;
    const std::ptrdiff_t in_stride = rows.in_stride, out_stride = rows.out_stride;
    std::int32_t *const statuses = rows.statuses;
    std::size_t ok = 0;
    double r = 0.0;
    QvStatus st = STATUS_OK;
    for (std::size_t i = 0; i < m; ++i, in += in_stride, out += out_stride) {
        double x;
        std::memcpy(&x, in, sizeof x);
        double *to = Direct ? reinterpret_cast<double *>(out) : &r;
        *to = 0.0;
        st = fn(to, edge_value(x));
        r = *to;
        // Almost every row is OK with a number: one test keeps the rest out of the loop.
        if (st == STATUS_OK && r == r) [[likely]] {
            ++ok;
        } else {
            deliver(r, st);
            if (memory_status(st)) {
                t.rows += ok;
                return RowsEnd{i, r, st};
            }
            tally_add(t, st, false);
            *to = r;
        }
        if (!Direct) std::memcpy(out, &r, sizeof r);
        if (Statuses) statuses[i] = st;
    }
    t.rows += ok;
    return RowsEnd{m, r, st};
}

template <class Fn>
RowsEnd rows_of(Fn fn, const ScalarRows &rows, std::size_t m, qvh_tally &t) noexcept {
    const bool direct = reinterpret_cast<std::uintptr_t>(rows.out) % alignof(double) == 0 &&
                        rows.out_stride % static_cast<std::ptrdiff_t>(alignof(double)) == 0;
    if (rows.statuses != nullptr) return direct ? run<true, true>(fn, rows, m, t) : run<false, true>(fn, rows, m, t);
    return direct ? run<true, false>(fn, rows, m, t) : run<false, false>(fn, rows, m, t);
}

// Rows [from, to) in vector lanes as far as they go, at most chunk a call (lanes(i, m, last) does
// rows [i, i + m) and gives how many, and the last one's result), and where they stop the next
// STEP rows one by one (one_by_one(a, b), as each_row ends): the rows the lanes did are OK, their
// statuses written and counted.
template <class Lanes, class OneByOne>
RowsEnd lanes_first(std::size_t from, std::size_t to, std::size_t chunk, std::int32_t *statuses, qvh_tally &t,
                    Lanes &&lanes, OneByOne &&one_by_one) noexcept {
    constexpr std::size_t STEP = 4;  // a vector of AVX2 (two of SSE4.1)
    RowsEnd end{0, 0.0, STATUS_OK};
    for (std::size_t i = from; i < to;) {
        const std::size_t m = std::min(chunk, to - i);
        double last = 0.0;
        const std::size_t done = lanes(i, m, last);
        if (done > 0) {
            if (statuses != nullptr) std::fill_n(statuses + i, done, STATUS_OK);
            t.rows += done;
            end = RowsEnd{0, last, STATUS_OK};
            i += done;
        }
        if (done == m) continue;
        const std::size_t k = std::min(STEP, to - i);
        end = one_by_one(i, i + k);
        if (end.rows < k) return RowsEnd{i - from + end.rows, end.result, end.status};
        i += k;
    }
    end.rows = to - from;
    return end;
}

// The rows of a function of one number whose code is F, inlined into the loop, and where it has
// a lane form L and the rows lie side by side, in vector lanes.
template <QvStatus (*F)(double *, double), int L = -1>
RowsEnd inlined_rows(const ScalarRows &rows, std::size_t m, qvh_tally &t) noexcept {
    const auto fn = [](double *r, double x) { return F(r, x); };
    if constexpr (L >= 0) {
        if (rows.in_stride == sizeof(double) && rows.out_stride == sizeof(double) &&
            reinterpret_cast<std::uintptr_t>(rows.in) % alignof(double) == 0)
            if (const LaneRows lanes = row_lanes(static_cast<LaneFn>(L)); lanes != nullptr) {
                const auto *in = reinterpret_cast<const double *>(rows.in);
                auto *out = reinterpret_cast<double *>(rows.out);  // read and written as bytes
                return lanes_first(
                    0, m, SIZE_MAX, rows.statuses, t,
                    [&](std::size_t i, std::size_t k, double &last) {
                        const std::size_t done = lanes(in + i, out + i, k);
                        if (done > 0) std::memcpy(&last, rows.out + (i + done - 1) * sizeof(double), sizeof last);
                        return done;
                    },
                    [&](std::size_t a, std::size_t b) {
                        const ScalarRows part{rows.in + a * sizeof(double), rows.in_stride, rows.out + a * sizeof(double),
                                              rows.out_stride, rows.statuses != nullptr ? rows.statuses + a : nullptr};
                        return rows_of(fn, part, b - a, t);
                    });
            }
    }
    return rows_of(fn, rows, m, t);
}

template <QvStatus (*F)(double *, double), LaneFn L>
constexpr InlinedRows laned = inlined_rows<F, static_cast<int>(L)>;

struct Inlined {
    const char *name;
    InlinedRows rows;
};
// LOG2's exact logarithm is the package's own, out of line: LOG2 is called.
const Inlined INLINED[] = {
    {"ABS", laned<qv::scalar::abs, LaneFn::Abs>},          {"ARCOS", inlined_rows<qv::scalar::acos>},
    {"ARSIN", inlined_rows<qv::scalar::asin>},             {"ATAN", inlined_rows<qv::scalar::atan>},
    {"CEIL", laned<qv::scalar::ceil, LaneFn::Ceil>},        {"CEILZ", laned<qv::scalar::ceilz, LaneFn::Ceilz>},
    {"COS", inlined_rows<qv::scalar::cos>},                {"COSH", inlined_rows<qv::scalar::cosh>},
    {"EXP", inlined_rows<qv::scalar::exp>},                {"FLOOR", laned<qv::scalar::floor, LaneFn::Floor>},
    {"FLOORZ", laned<qv::scalar::floorz, LaneFn::Floorz>}, {"FUZZ", inlined_rows<qv::scalar::fuzz>},
    {"INT", laned<qv::scalar::int_part, LaneFn::Int>},      {"INTZ", laned<qv::scalar::int_partz, LaneFn::Intz>},
    {"LOG", inlined_rows<qv::scalar::log>},                {"LOG10", inlined_rows<qv::scalar::log10>},
    {"RECIP", laned<qv::scalar::recip, LaneFn::Recip>},     {"SIGN", inlined_rows<qv::scalar::sign>},
    {"SIN", inlined_rows<qv::scalar::sin>},                {"SINH", inlined_rows<qv::scalar::sinh>},
    {"SQRT", laned<qv::scalar::sqrt, LaneFn::Sqrt>},        {"TAN", inlined_rows<qv::scalar::tan>},
    {"TANH", inlined_rows<qv::scalar::tanh>},
};

}  // namespace

RowsEnd scalar_rows(QvScalarFn fn, const ScalarRows &rows, std::size_t m, qvh_tally &t) noexcept {
    return rows_of(fn, rows, m, t);
}

InlinedRows inlined_rows_of(const qvh_info &f) noexcept {
    for (const Inlined &k : INLINED)
        if (std::strcmp(k.name, f.name) == 0) return k.rows;
    return nullptr;
}

std::size_t contiguous_from(const double *const *args, const std::ptrdiff_t *strides, std::size_t nargs) noexcept {
    auto at = [&](std::size_t j) { return reinterpret_cast<std::uintptr_t>(args[j]); };
    std::size_t j = nargs == 0 ? 0 : nargs - 1;
    while (j > 0 && at(j - 1) + sizeof(double) == at(j) && strides[j - 1] == strides[j]) --j;
    // The block is read as doubles in place, so it and every row's start must be aligned.
    const bool aligned = j < nargs && at(j) % alignof(double) == 0 &&
                         strides[j] % static_cast<std::ptrdiff_t>(alignof(double)) == 0;
    return nargs - j >= 2 && aligned ? j : nargs;
}

namespace {

// Rows [from, to) of rows, row i's outcome made by row(i) (its list's marks set where it marked any,
// with Marks), counted into t, delivered and stored as scalar_rows does.
template <bool Marks, class Row>
RowsEnd each_row(const ListRows &rows, std::size_t from, std::size_t to, std::size_t keep, qvh_tally &t, Row &&row) noexcept {
    // Locals, which the stores of a row cannot be taken to change.
    const std::size_t nargs = rows.nargs;
    FuncArgList *const list = rows.list;
    char *const out = rows.out;
    const std::ptrdiff_t out_stride = rows.out_stride;
    std::int32_t *const statuses = rows.statuses;
    unsigned char *const all_marks = rows.marks;
    std::size_t ok = 0;
    double r = 0.0;
    QvStatus st = STATUS_OK;
    for (std::size_t i = from; i < to; ++i) {
        const Outcome o = row(i);
        r = o.value;
        st = o.status;
        unsigned char *marks = all_marks != nullptr ? all_marks + i * nargs : nullptr;
        if (st == STATUS_OK && r == r) [[likely]] {
            ++ok;
            if (marks != nullptr) std::memset(marks, 0, nargs);
        } else if (deliver(r, st), st == STATUS_OK) {  // a missing value
            ++ok;
            if (marks != nullptr) std::memset(marks, 0, nargs);
        } else {
            if (memory_status(st)) {
                t.rows += ok;
                return RowsEnd{i - from, r, st};
            }
            bool marked = false;
            for (std::size_t j = 0; j < nargs; ++j) {
                const bool m = Marks && (list->args[j].flags & FUNCARG_INVALID) != 0;
                marked = marked || m;
                if (marks != nullptr) marks[j] = m ? 1 : 0;
            }
            tally_add(t, st, marked);
            if (marked && i != keep)
                for (std::size_t j = 0; j < nargs; ++j) list->args[j].flags &= ~FUNCARG_INVALID;
        }
        std::memcpy(out + static_cast<std::ptrdiff_t>(i) * out_stride, &r, sizeof r);
        if (statuses != nullptr) statuses[i] = st;
    }
    t.rows += ok;
    return RowsEnd{to - from, r, st};
}

}  // namespace

void lay_row(const ListRows &rows, std::size_t i) noexcept {
    const double *const *const args = rows.args;
    const std::ptrdiff_t *const strides = rows.strides;
    const std::size_t nargs = rows.nargs, run = rows.run;
    double *const in = rows.in;
    for (std::size_t j = 0; j < run; ++j) {
        double x;
        std::memcpy(&x, reinterpret_cast<const char *>(args[j]) + static_cast<std::ptrdiff_t>(i) * strides[j], sizeof x);
        in[j] = edge_value(x);
    }
    if (run < nargs) {
        const auto *block = reinterpret_cast<const double *>(reinterpret_cast<const char *>(args[run]) +
                                                             static_cast<std::ptrdiff_t>(i) * strides[run]);
        find_nans<true>(block, nargs - run, in + run, [&](std::size_t k) { in[run + k] = edge_value(block[k]); });
    }
}

RowsEnd list_rows(QvListFn fn, const ListRows &rows, std::size_t from, std::size_t to, std::size_t keep, qvh_tally &t) noexcept {
    FuncArgList *const list = rows.list;
    return each_row<true>(rows, from, to, keep, t, [&](std::size_t i) {
        lay_row(rows, i);
        Outcome o{0.0, STATUS_OK};
        o.status = fn(list, &o.value);
        return o;
    });
}

RowsEnd sum_rows(SumStat stat, const ListRows &rows, std::size_t from, std::size_t to, qvh_tally &t) noexcept {
    const std::int64_t nargs = static_cast<std::int64_t>(rows.nargs);
    return for_sum_stat(stat, [&](auto s) {
        if (rows.run == 0 && nargs > 0) {  // every row one aligned block, read where it lies
            const char *const first = reinterpret_cast<const char *>(rows.args[0]);
            const std::ptrdiff_t stride = rows.strides[0];
            auto one_by_one = [&](std::size_t a, std::size_t b) {
                return each_row<false>(rows, a, b, SIZE_MAX, t, [&](std::size_t i) {
                    const auto *xs = reinterpret_cast<const double *>(first + static_cast<std::ptrdiff_t>(i) * stride);
                    return sum_stat_over<s()>(InPlaceView{xs, nargs});
                });
            };
            const SumRowLanes lanes = sum_row_lanes(stat);
            if (lanes == nullptr) return one_by_one(from, to);
            // In lanes a chunk at a time, the results written out from the chunk's.
            constexpr std::size_t CHUNK = 256;
            double r[CHUNK];
            return lanes_first(from, to, CHUNK, rows.statuses, t, [&](std::size_t i, std::size_t m, double &last) {
                const std::size_t done = lanes(first + static_cast<std::ptrdiff_t>(i) * stride, stride, rows.nargs, m, r);
                for (std::size_t k = 0; k < done; ++k)
                    std::memcpy(rows.out + static_cast<std::ptrdiff_t>(i + k) * rows.out_stride, &r[k], sizeof r[k]);
                if (done > 0) last = r[done - 1];
                return done;
            }, one_by_one);
        }
        return each_row<false>(rows, from, to, SIZE_MAX, t, [&](std::size_t i) {
            lay_row(rows, i);
            return sum_stat_over<s()>(InPlaceView{rows.in, nargs});
        });
    });
}

UnitRows unit_rows_of(const qvh_info &f, std::size_t rows, std::size_t nargs, const double *const *args,
                      const std::ptrdiff_t *strides, std::ptrdiff_t out_stride) noexcept {
    const UnitRows none{nullptr, 1.0, false};
    if (std::strcmp(f.name, "ROUND") != 0 || nargs < 1 || nargs > 2 || strides[0] != sizeof(double) ||
        out_stride != sizeof(double) || reinterpret_cast<std::uintptr_t>(args[0]) % alignof(double) != 0)
        return none;
    double unit = 1.0;
    if (nargs == 2) {
        std::memcpy(&unit, args[1], sizeof unit);
        // A unit an engine repeats on every row (a constant it hands over as a column) is one unit.
        const auto *units = reinterpret_cast<const char *>(args[1]);
        for (std::size_t i = 1; strides[1] != 0 && i < rows; ++i)
            if (std::memcmp(units + static_cast<std::ptrdiff_t>(i) * strides[1], &unit, sizeof unit) != 0) return none;
        // A missing, NaN or too small unit fails or makes NaNs on every row: the package's code says so.
        if (!(unit >= qv::unit_round::SMALLEST_UNIT)) return none;
    }
    return UnitRows{round_lanes(), unit, nargs == 2};
}

RowsEnd unit_rows(const UnitRows &u, QvListFn fn, const ListRows &rows, std::size_t from, std::size_t to, std::size_t keep,
                  qvh_tally &t) noexcept {
    const double *const in = rows.args[0];
    double *const out = reinterpret_cast<double *>(rows.out);
    return lanes_first(
        from, to, SIZE_MAX, rows.statuses, t,
        [&](std::size_t i, std::size_t m, double &last) {
            const std::size_t done = u.lanes(in + i, out + i, m, u.unit, u.given);
            if (done > 0) {
                if (rows.marks != nullptr) std::memset(rows.marks + i * rows.nargs, 0, done * rows.nargs);
                std::memcpy(&last, rows.out + (i + done - 1) * sizeof(double), sizeof last);
            }
            return done;
        },
        [&](std::size_t a, std::size_t b) { return list_rows(fn, rows, a, b, keep, t); });
}

}  // namespace qvhost

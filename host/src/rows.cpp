// The inner loop of qvh_call_rows for a function of one number (see rows.hpp).
#include "rows.hpp"

#include <cstring>

namespace qvhost {

namespace {

// The loop, with the results written straight into place when they are aligned (Direct) and the
// statuses written or not, so that each row does only what is asked of it.
template <bool Direct, bool Statuses>
RowsEnd run(QvScalarFn fn, const ScalarRows &rows, std::size_t m, qvh_tally &t) noexcept {
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

}  // namespace

RowsEnd scalar_rows(QvScalarFn fn, const ScalarRows &rows, std::size_t m, qvh_tally &t) noexcept {
    const bool direct = reinterpret_cast<std::uintptr_t>(rows.out) % alignof(double) == 0 &&
                        rows.out_stride % static_cast<std::ptrdiff_t>(alignof(double)) == 0;
    if (rows.statuses != nullptr) return direct ? run<true, true>(fn, rows, m, t) : run<false, true>(fn, rows, m, t);
    return direct ? run<true, false>(fn, rows, m, t) : run<false, false>(fn, rows, m, t);
}

}  // namespace qvhost

// Statistics over moving windows of a series, per group: each window's result is that of one
// call over its values in order, through an aggregate that adds the rows entering the window and
// drops those leaving it.
#include "batch.hpp"

#include <algorithm>
#include <cstring>

namespace qvpy {

namespace {

// The windows of one group: position t of the group's rows gets the statistic over the rows from
// t + offset - window + 1 to t + offset (cut to the group), when at least min_periods of them hold
// a value that is present (not one of the missing values). offset is 0 for a trailing window,
// (window - 1) / 2 for a centred one, as pandas centres them.
struct Windows {
    npy_intp window, min_periods, offset;
};

bool moving_group(qvh_agg *agg, const Windows &w, const std::size_t *order, npy_intp m, const char *base, npy_intp step,
                  double *res, int32_t *sts, qvh_tally &tally, Outcome &o) {
    auto value = [&](npy_intp at) {
        double x;
        std::memcpy(&x, base + static_cast<npy_intp>(order[at]) * step, sizeof x);
        return x;
    };
    npy_intp first = 0, end = 0, present = 0;
    for (npy_intp t = 0; t < m; ++t) {
        const npy_intp want_end = std::min(t + w.offset + 1, m);
        const npy_intp want_first = std::max<npy_intp>(t + w.offset + 1 - w.window, 0);
        for (; end < want_end; ++end) {
            const double x = value(end);
            present += x == x;
            if ((o.rc = qvh_agg_add(agg, x)) != QVH_OK) return false;
        }
        for (; first < want_first; ++first) {
            const double x = value(first);
            present -= x == x;
            if ((o.rc = qvh_agg_remove_first(agg)) != QVH_OK) return false;
        }
        if (present < w.min_periods) continue;
        if (!o.go_on(static_cast<std::size_t>(end - first))) return false;
        const std::size_t r = order[t];
        if (!agg_result(agg, res[r], sts != nullptr ? &sts[r] : nullptr, tally, o)) return false;
    }
    return true;
}

}  // namespace

// moving(index, values, codes, ngroups, window, min_periods, center, param, want_status): for each
// row, the statistic over its group's window (codes None: one group). Rows whose window holds
// fewer than min_periods present values, and rows of no group, give '.'. Returns (results, tally,
// statuses or None). The Python layer has checked window >= 1 and 0 <= min_periods <= window.
PyObject *py_moving(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0, ngroups = 0;
        Windows w{};
        PyObject *values_obj = nullptr, *codes_obj = nullptr, *param_obj = nullptr;
        int center = 0, want_status = 0;
        if (!PyArg_ParseTuple(args, "nOOnnnpOp", &index, &values_obj, &codes_obj, &ngroups, &w.window, &w.min_periods,
                              &center, &param_obj, &want_status))
            throw PyFail{};
        const std::size_t fi = function_index(index);
        if (w.window < 1 || w.min_periods < 0 || w.min_periods > w.window)
            raise(PyExc_ValueError, function(fi).label + ": a window holds at least 1 row and min_periods at most that");
        w.offset = center ? (w.window - 1) / 2 : 0;
        PyArrayObject *values = column(function(fi), values_obj, -1);
        const npy_intp n = PyArray_DIM(values, 0);
        const Groups g = codes_obj == Py_None ? one_group(n) : group_rows(function(fi), codes_obj, n, ngroups);
        bool has_param = false;
        const double p = optional_param(param_obj, has_param);
        Agg agg(fi, QVH_AGG_KEEP_VALUES);
        const Results results(n, want_status);
        qvh_tally tally{};
        Outcome o;
        {
            double *res = results.values();
            int32_t *sts = results.status();
            NoGil nogil;
            std::fill(res, res + n, qvh_dot());
            for (std::size_t k = 0; k + 1 < g.start.size() && !o.failed(); ++k) {
                qvh_agg_reset(agg.get());
                if (has_param && (o.rc = qvh_agg_param(agg.get(), p)) != QVH_OK) break;
                moving_group(agg.get(), w, g.order.data() + g.start[k], static_cast<npy_intp>(g.start[k + 1] - g.start[k]),
                             PyArray_BYTES(values), PyArray_STRIDE(values, 0), res, sts, tally, o);
            }
        }
        o.raise_if_failed(fi);
        return results.tuple(tally);
    });
}

}  // namespace qvpy

// Statistics over moving windows of a series, per group, through the host library's window
// engine: order statistics from an ordered window (O(log w) a row), every other statistic one
// call per window over its values in place; every result the package's own.
#include "batch.hpp"

#include <algorithm>
#include <cstring>

namespace qvpy {

namespace {

// The values of the groups side by side in group order (each group's rows in row order), where the
// window engine reads them, and where each group starts.
struct Gathered {
    std::vector<double> values;
    std::vector<std::size_t> starts;
};

Gathered gather(PyArrayObject *values, const Groups &g) {
    Gathered out;
    note_request(g.order.size() * 2 * sizeof(double));
    out.values.resize(g.order.size());
    note_request(0);
    const char *base = PyArray_BYTES(values);
    const npy_intp step = PyArray_STRIDE(values, 0);
    for (std::size_t k = 0; k < g.order.size(); ++k)
        std::memcpy(&out.values[k], base + static_cast<npy_intp>(g.order[k]) * step, sizeof(double));
    for (std::size_t k = 0; k + 1 < g.start.size(); ++k)
        if (g.start[k] < g.start[k + 1]) out.starts.push_back(g.start[k]);
    return out;
}

// The engine over n values at xs (stride bytes apart) cut into groups at starts; results and
// statuses to out, res_status (n each, in the same order).
void run_windows(qvh_call *call, const double *lead, std::size_t nlead, const double *xs, std::size_t n, npy_intp stride,
                 const qvh_window &frame, const std::vector<std::size_t> &starts, double *out, int32_t *res_status,
                 qvh_tally &tally, Outcome &o) {
    o.rc = qvh_moving(call, lead, nlead, xs, n, stride, &frame, starts.empty() ? nullptr : starts.data(), starts.size(), out,
                      sizeof(double), res_status, &tally);
    if (o.rc == QVH_E_NOMEM) o.asked = qvh_call_asked(call);
}

}  // namespace

// moving(index, values, codes, ngroups, window, min_periods, center, param, want_status): for each
// row, the statistic over its group's window (codes None: one group): the rows from
// window - 1 before it to it, or centred on it as pandas centres (one more before for an even
// window). Rows whose window holds fewer than min_periods present values give '.' with the status
// missing argument; rows of no group give '.' (status ok). Returns (results, tally, statuses or
// None). The Python layer has checked window >= 1 and 0 <= min_periods <= window.
PyObject *py_moving(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0, ngroups = 0, window = 0, min_periods = 0;
        PyObject *values_obj = nullptr, *codes_obj = nullptr, *param_obj = nullptr;
        int center = 0, want_status = 0;
        if (!PyArg_ParseTuple(args, "nOOnnnpOp", &index, &values_obj, &codes_obj, &ngroups, &window, &min_periods,
                              &center, &param_obj, &want_status))
            throw PyFail{};
        const std::size_t fi = function_index(index);
        if (window < 1 || min_periods < 0 || min_periods > window)
            raise(PyExc_ValueError, function(fi).label + ": a window holds at least 1 row and min_periods at most that");
        const qvh_window frame{center ? QVH_WINDOW_CENTRED : QVH_WINDOW_TRAILING, static_cast<std::size_t>(window),
                              static_cast<std::size_t>(min_periods)};
        PyArrayObject *values = column(function(fi), values_obj, -1);
        const npy_intp n = PyArray_DIM(values, 0);
        bool has_param = false;
        const double p = optional_param(param_obj, has_param);
        const Results results(n, want_status);
        qvh_call *call = thread_call(fi);
        const KeepWarm warm{call};
        qvh_tally tally{};
        Outcome o;
        if (codes_obj == Py_None) {
            NoGil nogil;
            run_windows(call, &p, has_param ? 1 : 0, static_cast<const double *>(PyArray_DATA(values)),
                        static_cast<std::size_t>(n), PyArray_STRIDE(values, 0), frame, {}, results.values(),
                        results.status(), tally, o);
        } else {
            const Groups g = group_rows(function(fi), codes_obj, n, ngroups);
            const bool statuses = want_status != 0;
            std::vector<double> res;
            std::vector<int32_t> sts;
            {
                NoGil nogil;
                const Gathered in = gather(values, g);
                res.resize(in.values.size());
                sts.resize(statuses ? in.values.size() : 0);
                run_windows(call, &p, has_param ? 1 : 0, in.values.data(), in.values.size(), sizeof(double), frame,
                            in.starts, res.data(), statuses ? sts.data() : nullptr, tally, o);
                // Back to the rows: rows of no group are '.'.
                std::fill(results.values(), results.values() + n, qvh_dot());
                for (std::size_t k = 0; k < g.order.size(); ++k) {
                    results.values()[g.order[k]] = res[k];
                    if (statuses) results.status()[g.order[k]] = sts[k];
                }
            }
        }
        o.raise_if_failed(fi);
        return results.tuple(tally);
    });
}

}  // namespace qvpy

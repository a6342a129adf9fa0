// Statistics along an axis: one call per row over the last axis of a float64 array, read in place
// (any strides, no copy). Short rows go through the host library's batch call, long ones one call
// at a time over their values in place.
#include "batch.hpp"

#include <algorithm>

namespace qvpy {

namespace {

// Rows with at most this many values go through the host library's batch call; longer ones are
// called one at a time from their values in place.
constexpr npy_intp BATCH_MAX_ARGS = 64;

// The rows of a batch: m rows, rs bytes apart, of n values sn bytes apart, after the parameter.
struct Batch {
    qvh_call *call;
    bool has_param;
    double p;
    npy_intp m, rs, n, sn;
};

// Rows first .. first + m of the results from the rows that start at base.
void run_batch(const Batch &b, const char *base, npy_intp first, double *res, int32_t *sts, npy_bool *mks,
               qvh_tally &tally, Outcome &o) {
    const std::size_t nargs = static_cast<std::size_t>(b.n) + (b.has_param ? 1 : 0);
    if (b.m > 1 && b.n <= BATCH_MAX_ARGS) {
        thread_local std::vector<const double *> ptrs;
        thread_local std::vector<ptrdiff_t> steps;
        ptrs.assign(nargs, nullptr);
        steps.assign(nargs, b.rs);
        std::size_t j = 0;
        if (b.has_param) {
            ptrs[j] = &b.p;
            steps[j++] = 0;
        }
        for (npy_intp c = 0; c < b.n; ++c, ++j) ptrs[j] = reinterpret_cast<const double *>(base + c * b.sn);
        qvh_tally t{};
        o.rc = qvh_call_rows(b.call, static_cast<std::size_t>(b.m), nargs, ptrs.data(), steps.data(), res + first,
                             sizeof(double), sts != nullptr ? sts + first : nullptr,
                             mks != nullptr ? reinterpret_cast<unsigned char *>(mks) + first * nargs : nullptr, &t);
        qvh_tally_merge(&tally, &t);
        if (o.rc == QVH_E_NOMEM) o.asked = qvh_call_asked(b.call);
        return;
    }
    for (npy_intp i = 0; i < b.m; ++i) {
        const double *xs = reinterpret_cast<const double *>(base + i * b.rs);
        const npy_intp r = first + i;
        if (!call_one(b.call, b.has_param, b.p, xs, static_cast<std::size_t>(b.n), b.sn, res + r,
                      sts != nullptr ? sts + r : nullptr, mks != nullptr ? mks + r * nargs : nullptr, tally, o)) {
            o.row = static_cast<uint64_t>(r) + 1;
            return;
        }
    }
}

// Every row of a: batches along the second-to-last axis, the axes before it walked one index at
// a time.
void run_rows(PyArrayObject *a, const Batch &b, double *res, int32_t *sts, npy_bool *mks, qvh_tally &tally, Outcome &o) {
    const int nd = PyArray_NDIM(a);
    const npy_intp *dims = PyArray_DIMS(a), *strides = PyArray_STRIDES(a);
    const int outer_nd = std::max(nd - 2, 0);
    npy_intp total = 1;
    for (int k = 0; k < nd - 1; ++k) total *= dims[k];
    o.rows = static_cast<uint64_t>(total);
    std::vector<npy_intp> idx(static_cast<std::size_t>(outer_nd), 0);
    for (npy_intp batch = 0; batch < total / b.m && !o.failed(); ++batch) {
        const char *base = PyArray_BYTES(a);
        for (int k = 0; k < outer_nd; ++k) base += idx[static_cast<std::size_t>(k)] * strides[k];
        if (!o.go_on(static_cast<std::size_t>(b.m * (b.n + 1)))) break;
        run_batch(b, base, batch * b.m, res, sts, mks, tally, o);
        for (int k = outer_nd - 1; k >= 0; --k) {
            if (++idx[static_cast<std::size_t>(k)] < dims[k]) break;
            idx[static_cast<std::size_t>(k)] = 0;
        }
    }
}

}  // namespace

// reduce(index, a, param, want_status): one call per row over the last axis of the float64 array a
// (any strides; no copy), after the parameter when given. Returns (results of shape a.shape[:-1],
// tally, statuses, marks of shape a.shape[:-1] + (arguments,)), the last two None unless asked for.
PyObject *py_reduce(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0;
        PyObject *arr = nullptr, *param_obj = nullptr;
        int want_status = 0;
        if (!PyArg_ParseTuple(args, "nOOp", &index, &arr, &param_obj, &want_status)) throw PyFail{};
        const std::size_t fi = function_index(index);
        PyArrayObject *a = as_array(arr, NPY_DOUBLE, function(fi).label.c_str());
        const int nd = PyArray_NDIM(a);
        if (nd < 1) raise(PyExc_ValueError, function(fi).label + ": the data needs at least one axis");
        Batch b{thread_call(fi), false, 0.0, 1, 0, PyArray_DIM(a, nd - 1), PyArray_STRIDE(a, nd - 1)};
        const KeepWarm warm{b.call};
        b.p = optional_param(param_obj, b.has_param);
        if (nd >= 2) {
            b.m = PyArray_DIM(a, nd - 2);
            b.rs = PyArray_STRIDE(a, nd - 2);
        }
        const npy_intp *dims = PyArray_DIMS(a);
        Ref out(reinterpret_cast<PyObject *>(new_array(nd - 1, dims, NPY_DOUBLE)));
        Ref statuses, marks;
        if (want_status) {
            statuses = Ref(reinterpret_cast<PyObject *>(new_array(nd - 1, dims, NPY_INT32)));
            std::vector<npy_intp> mdims(dims, dims + nd - 1);
            mdims.push_back(b.n + (b.has_param ? 1 : 0));
            marks = Ref(reinterpret_cast<PyObject *>(new_array(nd, mdims.data(), NPY_BOOL, true)));
        }
        qvh_tally tally{};
        Outcome o;
        if (PyArray_SIZE(reinterpret_cast<PyArrayObject *>(out.get())) > 0) {
            NoGil nogil;
            run_rows(a, b, data_of<double>(out), data_of<int32_t>(statuses), data_of<npy_bool>(marks), tally, o);
        }
        o.raise_if_failed(fi);
        Ref t(check(tally_tuple(tally)));
        return check(Py_BuildValue("(OOOO)", out.get(), t.get(), statuses ? statuses.get() : Py_None,
                                   marks ? marks.get() : Py_None));
    });
}

// percentiles(index, a, ps, want_status): the percentile function at index over the 1-D float64
// array a (any stride; no copy but the host's one of the present values) at every percentile of
// the 1-D float64 array ps, from one ordering of the values. Returns (results, tally, statuses,
// marked), each with one entry per percentile (marked: whether the call marked that percentile
// invalid); the last two None unless asked for.
PyObject *py_percentiles(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0;
        PyObject *arr = nullptr, *ps_obj = nullptr;
        int want_status = 0;
        if (!PyArg_ParseTuple(args, "nOOp", &index, &arr, &ps_obj, &want_status)) throw PyFail{};
        const std::size_t fi = function_index(index);
        PyArrayObject *a = as_array(arr, NPY_DOUBLE, function(fi).label.c_str());
        PyArrayObject *ps = as_array(ps_obj, NPY_DOUBLE, function(fi).label.c_str());
        if (PyArray_NDIM(a) != 1 || PyArray_NDIM(ps) != 1 || !PyArray_IS_C_CONTIGUOUS(ps))
            raise(PyExc_ValueError, function(fi).label + ": percentiles take one list and a contiguous 1-D array of percentiles");
        const npy_intp np_ = PyArray_DIM(ps, 0);
        qvh_call *call = thread_call(fi);
        const KeepWarm warm{call};
        Ref out(reinterpret_cast<PyObject *>(new_array(1, &np_, NPY_DOUBLE)));
        Ref statuses(reinterpret_cast<PyObject *>(new_array(1, &np_, NPY_INT32)));
        Ref marked(reinterpret_cast<PyObject *>(new_array(1, &np_, NPY_BOOL, true)));
        int rc = QVH_OK;
        {
            NoGil nogil;
            rc = qvh_call_percentiles(call, static_cast<const double *>(PyArray_DATA(ps)), static_cast<std::size_t>(np_),
                                      reinterpret_cast<const double *>(PyArray_BYTES(a)), static_cast<std::size_t>(PyArray_DIM(a, 0)),
                                      PyArray_STRIDE(a, 0), data_of<double>(out), data_of<int32_t>(statuses),
                                      reinterpret_cast<unsigned char *>(data_of<npy_bool>(marked)));
        }
        Outcome o;
        o.rc = rc;
        if (rc == QVH_E_NOMEM) o.asked = qvh_call_asked(call);
        o.raise_if_failed(fi);
        qvh_tally tally{};
        for (npy_intp k = 0; k < np_; ++k) qvh_tally_add(&tally, data_of<int32_t>(statuses)[k], data_of<npy_bool>(marked)[k] != 0);
        Ref t(check(tally_tuple(tally)));
        return check(Py_BuildValue("(OOOO)", out.get(), t.get(), want_status ? statuses.get() : Py_None,
                                   want_status ? marked.get() : Py_None));
    });
}

}  // namespace qvpy

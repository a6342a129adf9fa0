// The pieces the statistics over many lists share (see batch.hpp).
#include "batch.hpp"

#include <algorithm>
#include <cstring>

namespace qvpy {

void Outcome::raise_if_failed(std::size_t index) const {
    if (interrupted || rc == QVH_E_INTERRUPTED) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw PyFail{};
    }
    if (memory_status != QVH_STATUS_OK) raise_nomem(function(index).label.c_str(), asked, row, rows);
    if (rc == QVH_E_NOMEM) raise_nomem(function(index).label.c_str(), asked, row, rows);
    if (rc != QVH_OK) raise_host(rc);
}

Agg::Agg(std::size_t index, unsigned flags) {
    const Function &fn = function(index);
    // Until the aggregate exists its messages cannot carry the label, so it is put in front.
    if (const int rc = qvh_agg_new(package, fn.info->name, flags, &agg_); rc != QVH_OK) {
        if (rc == QVH_E_NOMEM) raise_nomem(fn.label.c_str(), 0, 0, 0);
        raise(PyExc_ValueError, fn.label + ": " + qvh_errmsg());
    }
    if (const int rc = qvh_agg_set_label(agg_, fn.label.c_str()); rc != QVH_OK) raise_host(rc);
    qvh_agg_set_interrupt(agg_, python_interrupted, nullptr);
}

double optional_param(PyObject *o, bool &has) {
    has = o != Py_None;
    if (!has) return 0.0;
    const double p = PyFloat_AsDouble(o);
    if (p == -1.0 && PyErr_Occurred()) throw PyFail{};
    return p;
}

PyArrayObject *new_array(int nd, const npy_intp *dims, int type, bool zeroed) {
    std::size_t bytes = type == NPY_DOUBLE ? sizeof(double) : type == NPY_INT32 ? sizeof(int32_t) : 1;
    for (int k = 0; k < nd; ++k) bytes *= static_cast<std::size_t>(dims[k]);
    note_request(bytes);
    auto *d = const_cast<npy_intp *>(dims);
    PyObject *a = check(zeroed ? PyArray_ZEROS(nd, d, type, 0) : PyArray_EMPTY(nd, d, type, 0));
    note_request(0);
    return reinterpret_cast<PyArrayObject *>(a);
}

Results::Results(npy_intp n, bool want_status) {
    const npy_intp dims[1] = {n};
    out = Ref(reinterpret_cast<PyObject *>(new_array(1, dims, NPY_DOUBLE)));
    if (want_status) statuses = Ref(reinterpret_cast<PyObject *>(new_array(1, dims, NPY_INT32, true)));
}

PyObject *Results::tuple(const qvh_tally &tally) const {
    Ref t(check(tally_tuple(tally)));
    return check(Py_BuildValue("(OOO)", out.get(), t.get(), statuses ? statuses.get() : Py_None));
}

bool call_one(qvh_call *call, bool has_param, double p, const double *xs, std::size_t n, npy_intp stride, double *out,
              int32_t *statuses, npy_bool *marks, qvh_tally &tally, Outcome &o) {
    const std::size_t nargs = n + (has_param ? 1 : 0);
    double r = 0.0;
    int32_t st = QVH_STATUS_OK;
    // A fold statistic or a deviation sum (no parameter, never marks) is read in place, with no
    // list of the whole laid out. Marks cost a pass over the list: unless asked for, they are read
    // only for a list that has an invalid argument, by calling it again.
    const bool fold = !has_param && qvh_fold_in_place(qvh_call_info(call));
    o.rc = fold ? qvh_call_fold(call, xs, n, stride, &r, &st)
                : qvh_call_over(call, &p, has_param ? 1 : 0, xs, n, stride, &r, &st, marks);
    if (qvh_status_is_memory(st) || o.rc == QVH_E_NOMEM) {
        o.memory_status = qvh_status_is_memory(st) ? st : QVH_STATUS_NO_MEMORY;
        o.rc = QVH_OK;
        o.asked = qvh_call_asked(call);
        return false;
    }
    if (o.rc != QVH_OK) return false;
    *out = r;
    if (statuses != nullptr) *statuses = st;
    bool any = false;
    if (st == QVH_STATUS_INVALID_ARG && marks == nullptr) {
        thread_local std::vector<unsigned char> marked;
        marked.resize(nargs);
        double again = 0.0;
        int32_t st2 = QVH_STATUS_OK;
        if (qvh_call_over(call, &p, has_param ? 1 : 0, xs, n, stride, &again, &st2, marked.data()) == QVH_OK)
            any = std::find(marked.begin(), marked.end(), 1) != marked.end();
    } else {
        for (std::size_t j = 0; marks != nullptr && st != QVH_STATUS_OK && j < nargs; ++j) any = any || marks[j] != 0;
    }
    qvh_tally_add(&tally, st, any);
    return true;
}

bool agg_result(qvh_agg *agg, double &out, int32_t *status, qvh_tally &tally, Outcome &o) {
    int32_t st = QVH_STATUS_OK;
    if ((o.rc = qvh_agg_result(agg, &out, &st)) != QVH_OK) {
        if (o.rc == QVH_E_NOMEM) o.asked = qvh_agg_asked(agg);
        return false;
    }
    if (qvh_status_is_memory(st)) {
        o.memory_status = st;
        o.asked = qvh_agg_asked(agg);
        return false;
    }
    if (status != nullptr) *status = st;
    qvh_tally_add(&tally, st, 0);
    return true;
}

namespace {

// The int64 group codes of rows rows: ValueError naming fn for another length.
const int64_t *codes_of(const Function &fn, PyObject *codes_obj, npy_intp rows) {
    PyArrayObject *codes = as_array(codes_obj, NPY_INT64, fn.label.c_str());
    if (PyArray_NDIM(codes) != 1 || PyArray_DIM(codes, 0) != rows)
        raise(PyExc_ValueError, fn.label + ": the groups are given for " + std::to_string(PyArray_SIZE(codes)) +
                                    " rows, the values have " + std::to_string(rows) + "; give one group per row");
    if (!PyArray_IS_C_CONTIGUOUS(codes)) raise(PyExc_ValueError, fn.label + ": the group codes must be contiguous");
    return static_cast<const int64_t *>(PyArray_DATA(codes));
}

// What the host library refused in ordering rows by group: ValueError naming fn and the first code
// out of range (a negative code is a row in no group).
[[noreturn]] void bad_codes(const Function &fn, int rc, const int64_t *c, npy_intp rows, npy_intp ngroups) {
    for (npy_intp i = 0; rc == QVH_E_RANGE && i < rows; ++i)
        if (c[i] >= ngroups)
            raise(PyExc_ValueError, fn.label + ": group code " + std::to_string(c[i]) + " of row " + std::to_string(i) +
                                        " is not one of the " + std::to_string(ngroups) + " groups");
    raise_host(rc);
}

}  // namespace

Groups group_rows(const Function &fn, PyObject *codes_obj, npy_intp rows, npy_intp ngroups) {
    const int64_t *c = codes_of(fn, codes_obj, rows);
    Groups g;
    note_request((static_cast<std::size_t>(ngroups) + static_cast<std::size_t>(rows)) * sizeof(std::size_t));
    g.start.resize(static_cast<std::size_t>(ngroups) + 1);
    g.order.resize(static_cast<std::size_t>(rows));
    note_request(0);
    const int rc = qvh_group_order(c, static_cast<std::size_t>(rows), static_cast<std::size_t>(ngroups), g.order.data(),
                                   g.start.data());
    if (rc != QVH_OK) bad_codes(fn, rc, c, rows, ngroups);
    g.order.resize(g.start.back());
    return g;
}

GroupedValues group_values(const Function &fn, PyObject *codes_obj, PyArrayObject *column, npy_intp ngroups) {
    const npy_intp rows = PyArray_DIM(column, 0);
    const int64_t *c = codes_of(fn, codes_obj, rows);
    GroupedValues g;
    note_request(static_cast<std::size_t>(ngroups) * sizeof(std::size_t));
    g.start.resize(static_cast<std::size_t>(ngroups) + 1);
    note_request(0);
    double *values = thread_values(static_cast<std::size_t>(rows));
    int rc = QVH_OK;
    {
        NoGil nogil;
        rc = qvh_group_values(c, static_cast<std::size_t>(rows), static_cast<std::size_t>(ngroups),
                              static_cast<const double *>(PyArray_DATA(column)), PyArray_STRIDE(column, 0), values,
                              g.start.data());
    }
    if (rc != QVH_OK) bad_codes(fn, rc, c, rows, ngroups);
    g.values = values;
    return g;
}

Groups one_group(npy_intp rows) {
    Groups g;
    g.start = {0, static_cast<std::size_t>(rows)};
    g.order.resize(static_cast<std::size_t>(rows));
    for (std::size_t i = 0; i < g.order.size(); ++i) g.order[i] = i;
    return g;
}

PyArrayObject *column(const Function &fn, PyObject *o, npy_intp rows) {
    PyArrayObject *a = as_array(o, NPY_DOUBLE, fn.label.c_str());
    if (PyArray_NDIM(a) != 1 || (rows >= 0 && PyArray_DIM(a, 0) != rows))
        raise(PyExc_ValueError, fn.label + ": the values must be one column" +
                                    (rows >= 0 ? " of " + std::to_string(rows) + " rows, one per group code" : ""));
    return a;
}

}  // namespace qvpy

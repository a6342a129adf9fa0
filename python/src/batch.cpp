// Statistics over many lists at once: along an axis of an array, per group of a table, over
// moving windows, and the aggregate states that carry a group's values between the partitions
// and processes of a distributed table. Each list is one call of the function over its values
// in order, or an aggregate with the same result; the loops run without the interpreter lock.
#include "qvpy.hpp"

#include <algorithm>
#include <cstring>

namespace qvpy {

namespace {

// Rows with at most this many values go through the host library's batch call; longer ones are
// called one at a time from their values in place.
constexpr npy_intp BATCH_MAX_ARGS = 64;

// What a loop without the interpreter lock ran into, raised once the lock is back.
struct Outcome {
    int rc = QVH_OK;
    int32_t memory_status = QVH_STATUS_OK;
    void raise_if_failed(std::size_t index) const {
        if (memory_status != QVH_STATUS_OK) raise_memory(index, memory_status);
        if (rc != QVH_OK) raise_host(rc);
    }
    bool failed() const { return rc != QVH_OK || memory_status != QVH_STATUS_OK; }
};

class Agg {
public:
    Agg(std::size_t index, unsigned flags) {
        const Function &fn = function(index);
        // Until the aggregate exists its messages cannot carry the label, so it is put in front.
        if (const int rc = qvh_agg_new(package, fn.info->name, flags, &agg_); rc != QVH_OK)
            raise(rc == QVH_E_NOMEM ? PyExc_MemoryError : PyExc_ValueError, fn.label + ": " + qvh_errmsg());
        if (const int rc = qvh_agg_set_label(agg_, fn.label.c_str()); rc != QVH_OK) raise_host(rc);
    }
    Agg(const Agg &) = delete;
    Agg &operator=(const Agg &) = delete;
    ~Agg() { qvh_agg_free(agg_); }
    qvh_agg *get() const { return agg_; }

private:
    qvh_agg *agg_ = nullptr;
};

double optional_param(PyObject *o, bool &has) {
    has = o != Py_None;
    if (!has) return 0.0;
    const double p = PyFloat_AsDouble(o);
    if (p == -1.0 && PyErr_Occurred()) throw PyFail{};
    return p;
}

// An array the caller fills in full (results, statuses) or, zeroed, in part (marks).
PyArrayObject *new_array(int nd, const npy_intp *dims, int type, bool zeroed = false) {
    std::size_t bytes = type == NPY_DOUBLE ? sizeof(double) : type == NPY_INT32 ? sizeof(int32_t) : 1;
    for (int k = 0; k < nd; ++k) bytes *= static_cast<std::size_t>(dims[k]);
    note_request(bytes);
    auto *d = const_cast<npy_intp *>(dims);
    return reinterpret_cast<PyArrayObject *>(check(zeroed ? PyArray_ZEROS(nd, d, type, 0) : PyArray_EMPTY(nd, d, type, 0)));
}

template <class T>
T *data_of(const Ref &r) {
    return r ? static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(r.get()))) : nullptr;
}

// One call over p (when given) and the n values at xs, stride bytes apart, read in place: its
// result, status and marks written for row i.
bool call_one(qvh_call *call, bool has_param, double p, const double *xs, std::size_t n, npy_intp stride, double *out,
              int32_t *statuses, npy_bool *marks, Tally &tally, Outcome &o) {
    thread_local std::vector<unsigned char> marked;
    const std::size_t nargs = n + (has_param ? 1 : 0);
    unsigned char *m = marks;
    if (m == nullptr) {
        marked.resize(nargs);
        m = marked.data();
    }
    double r = 0.0;
    int32_t st = QVH_STATUS_OK;
    o.rc = qvh_call_over(call, &p, has_param ? 1 : 0, xs, n, stride, &r, &st, m);
    if (qvh_status_is_memory(st)) {
        o.rc = QVH_OK;
        o.memory_status = st;
        return false;
    }
    if (o.rc != QVH_OK) return false;
    *out = r;
    if (statuses != nullptr) *statuses = st;
    bool any = false;
    for (std::size_t j = 0; st != QVH_STATUS_OK && j < nargs; ++j) any = any || m[j] != 0;
    tally.count(st, any);
    return true;
}

// One result a list, and when asked one status a list: the arrays a statistic over n lists fills.
struct Results {
    Ref out, statuses;
    Results(npy_intp n, bool want_status) {
        const npy_intp dims[1] = {n};
        out = Ref(reinterpret_cast<PyObject *>(new_array(1, dims, NPY_DOUBLE)));
        if (want_status) statuses = Ref(reinterpret_cast<PyObject *>(new_array(1, dims, NPY_INT32, true)));
    }
    double *values() const { return data_of<double>(out); }
    int32_t *status() const { return data_of<int32_t>(statuses); }
    // (results, tally, statuses or None)
    PyObject *tuple(const Tally &tally) const {
        Ref t(check(tally.to_tuple()));
        return check(Py_BuildValue("(OOO)", out.get(), t.get(), statuses ? statuses.get() : Py_None));
    }
};

// The result of an aggregate into out and, when asked, its status; false when the host failed or
// ran out of memory (o says which).
bool agg_result(qvh_agg *agg, double &out, int32_t *status, Tally &tally, Outcome &o) {
    int32_t st = QVH_STATUS_OK;
    if ((o.rc = qvh_agg_result(agg, &out, &st)) != QVH_OK) return false;
    if (qvh_status_is_memory(st)) {
        o.memory_status = st;
        return false;
    }
    if (status != nullptr) *status = st;
    tally.count(st, false);
    return true;
}

// Stable order of the rows by group: order[start[g] .. start[g + 1]) are the rows of group g in
// row order. Rows of group -1 belong to none.
struct Groups {
    std::vector<npy_intp> start, order;
};

Groups group_rows(const Function &fn, PyObject *codes_obj, npy_intp rows, npy_intp ngroups) {
    PyArrayObject *codes = as_array(codes_obj, NPY_INT64, fn.label.c_str());
    if (PyArray_NDIM(codes) != 1 || PyArray_DIM(codes, 0) != rows)
        raise(PyExc_ValueError, fn.label + ": the groups are given for " + std::to_string(PyArray_SIZE(codes)) +
                                    " rows, the values have " + std::to_string(rows) + "; give one group per row");
    const npy_intp n = rows, step = PyArray_STRIDE(codes, 0);
    const char *base = PyArray_BYTES(codes);
    Groups g;
    note_request((static_cast<std::size_t>(ngroups) + static_cast<std::size_t>(n)) * sizeof(npy_intp));
    g.start.assign(static_cast<std::size_t>(ngroups) + 1, 0);
    for (npy_intp i = 0; i < n; ++i) {
        int64_t c;
        std::memcpy(&c, base + i * step, sizeof c);
        if (c < -1 || c >= ngroups)
            raise(PyExc_ValueError, fn.label + ": group code " + std::to_string(c) + " of row " + std::to_string(i) +
                                        " is not one of the " + std::to_string(ngroups) + " groups");
        if (c >= 0) ++g.start[static_cast<std::size_t>(c) + 1];
    }
    for (std::size_t k = 1; k < g.start.size(); ++k) g.start[k] += g.start[k - 1];
    g.order.resize(static_cast<std::size_t>(g.start.back()));
    std::vector<npy_intp> next(g.start.begin(), g.start.end() - 1);
    for (npy_intp i = 0; i < n; ++i) {
        int64_t c;
        std::memcpy(&c, base + i * step, sizeof c);
        if (c >= 0) g.order[static_cast<std::size_t>(next[static_cast<std::size_t>(c)]++)] = i;
    }
    return g;
}

// The values in group order: the rows of each group side by side, each group's in row order.
std::vector<double> values_by_group(PyArrayObject *values, const Groups &g) {
    note_request(g.order.size() * sizeof(double));
    std::vector<double> v(g.order.size());
    const char *base = PyArray_BYTES(values);
    const npy_intp step = PyArray_STRIDE(values, 0);
    for (std::size_t k = 0; k < g.order.size(); ++k) std::memcpy(&v[k], base + g.order[k] * step, sizeof(double));
    return v;
}

// A 1-D float64 column of the values (rows < 0: any length).
PyArrayObject *column(const Function &fn, PyObject *o, npy_intp rows) {
    PyArrayObject *a = as_array(o, NPY_DOUBLE, fn.label.c_str());
    if (PyArray_NDIM(a) != 1 || (rows >= 0 && PyArray_DIM(a, 0) != rows))
        raise(PyExc_ValueError, fn.label + ": the values must be one column" +
                                    (rows >= 0 ? " of " + std::to_string(rows) + " rows, one per group code" : ""));
    return a;
}

// The saved form of an aggregate's state.
void save_state(const qvh_agg *agg, std::string &out) {
    out.resize(qvh_agg_save(agg, nullptr, 0));
    qvh_agg_save(agg, out.data(), out.size());
}

// A list of bytes objects, one per saved state.
PyObject *bytes_list(const std::vector<std::string> &saved) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(saved.size()))));
    for (std::size_t k = 0; k < saved.size(); ++k)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                        check(PyBytes_FromStringAndSize(saved[k].data(), static_cast<Py_ssize_t>(saved[k].size()))));
    return list.release();
}

const char *bytes_of(PyObject *o, std::size_t &len) {
    char *p = nullptr;
    Py_ssize_t n = 0;
    if (!PyBytes_Check(o) || PyBytes_AsStringAndSize(o, &p, &n) != 0)
        raise(PyExc_TypeError, "a partial state must be bytes made by qvewumth");
    len = static_cast<std::size_t>(n);
    return p;
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
        bool has_param = false;
        const double p = optional_param(param_obj, has_param);
        const npy_intp *dims = PyArray_DIMS(a), *strides = PyArray_STRIDES(a);
        const npy_intp n = dims[nd - 1], sn = strides[nd - 1];
        const std::size_t nargs = static_cast<std::size_t>(n) + (has_param ? 1 : 0);
        Ref out(reinterpret_cast<PyObject *>(new_array(nd - 1, dims, NPY_DOUBLE)));
        Ref statuses, marks;
        if (want_status) {
            statuses = Ref(reinterpret_cast<PyObject *>(new_array(nd - 1, dims, NPY_INT32)));
            std::vector<npy_intp> mdims(dims, dims + nd - 1);
            mdims.push_back(static_cast<npy_intp>(nargs));
            marks = Ref(reinterpret_cast<PyObject *>(new_array(nd, mdims.data(), NPY_BOOL, true)));
        }
        npy_intp total = 1;
        for (int k = 0; k < nd - 1; ++k) total *= dims[k];
        qvh_call *call = thread_call(fi);
        Tally tally;
        Outcome o;
        if (total > 0) {
            // Batches of rows along the second-to-last axis; the axes before it are walked one
            // index at a time.
            const npy_intp m = nd >= 2 ? dims[nd - 2] : 1, rs = nd >= 2 ? strides[nd - 2] : 0;
            const int outer_nd = std::max(nd - 2, 0);
            double *res = data_of<double>(out);
            int32_t *sts = data_of<int32_t>(statuses);
            npy_bool *mks = data_of<npy_bool>(marks);
            NoGil nogil;
            std::vector<npy_intp> idx(static_cast<std::size_t>(outer_nd), 0);
            std::vector<const double *> ptrs(nargs);
            std::vector<ptrdiff_t> steps(nargs, rs);
            std::vector<unsigned char> row_marks;
            for (npy_intp batch = 0; batch < total / m && !o.failed(); ++batch) {
                const char *base = PyArray_BYTES(a);
                for (int k = 0; k < outer_nd; ++k) base += idx[static_cast<std::size_t>(k)] * strides[k];
                const npy_intp first = batch * m;
                if (m > 1 && n <= BATCH_MAX_ARGS) {
                    std::size_t j = 0;
                    if (has_param) {
                        ptrs[j] = &p;
                        steps[j++] = 0;
                    }
                    for (npy_intp c = 0; c < n; ++c, ++j) ptrs[j] = reinterpret_cast<const double *>(base + c * sn);
                    o.rc = call_rows(call, static_cast<std::size_t>(m), nargs, ptrs.data(), steps.data(), res + first,
                                     sizeof(double), sts != nullptr ? sts + first : nullptr,
                                     mks != nullptr ? reinterpret_cast<unsigned char *>(mks) + first * nargs : nullptr, tally);
                } else {
                    for (npy_intp i = 0; i < m; ++i) {
                        const double *xs = reinterpret_cast<const double *>(base + i * rs);
                        const npy_intp r = first + i;
                        if (!call_one(call, has_param, p, xs, static_cast<std::size_t>(n), sn, res + r,
                                      sts != nullptr ? sts + r : nullptr, mks != nullptr ? mks + r * nargs : nullptr,
                                      tally, o))
                            break;
                    }
                }
                for (int k = outer_nd - 1; k >= 0; --k) {
                    if (++idx[static_cast<std::size_t>(k)] < dims[k]) break;
                    idx[static_cast<std::size_t>(k)] = 0;
                }
            }
        }
        o.raise_if_failed(fi);
        Ref t(check(tally.to_tuple()));
        return check(Py_BuildValue("(OOOO)", out.get(), t.get(), statuses ? statuses.get() : Py_None,
                                   marks ? marks.get() : Py_None));
    });
}

// group_stats(codes, ngroups, values, wanted, want_status): for each (index, param) of wanted, one
// call per group over the group's values in row order. codes give each row's group (0 to ngroups
// - 1, -1 for none). Returns [(results, tally, statuses or None)] in the order of wanted.
PyObject *py_group_stats(PyObject *, PyObject *args) {
    return guard([&] {
        PyObject *codes_obj = nullptr, *values_obj = nullptr, *specs_obj = nullptr;
        Py_ssize_t ngroups = 0;
        int want_status = 0;
        if (!PyArg_ParseTuple(args, "OnOOp", &codes_obj, &ngroups, &values_obj, &specs_obj, &want_status)) throw PyFail{};
        struct Spec {
            std::size_t fi;
            bool has_param;
            double p;
        };
        std::vector<Spec> specs;
        Ref wanted(check(PySequence_Fast(specs_obj, "wanted must be a sequence")));
        for (Py_ssize_t s = 0; s < PySequence_Fast_GET_SIZE(wanted.get()); ++s) {
            Py_ssize_t index = 0;
            PyObject *param_obj = nullptr;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(wanted.get(), s), "nO", &index, &param_obj)) throw PyFail{};
            Spec spec{function_index(index), false, 0.0};
            spec.p = optional_param(param_obj, spec.has_param);
            specs.push_back(spec);
        }
        Ref result(check(PyList_New(0)));
        if (specs.empty()) return result.release();
        const Function &first = function(specs[0].fi);
        PyArrayObject *values = column(first, values_obj, -1);
        const Groups g = group_rows(first, codes_obj, PyArray_DIM(values, 0), ngroups);
        std::vector<double> v;
        {
            NoGil nogil;
            v = values_by_group(values, g);
        }
        for (const Spec &spec : specs) {
            const Results results(ngroups, want_status);
            qvh_call *call = thread_call(spec.fi);
            Tally tally;
            Outcome o;
            {
                double *res = results.values();
                int32_t *sts = results.status();
                NoGil nogil;
                for (npy_intp k = 0; k < ngroups; ++k) {
                    const auto b = static_cast<std::size_t>(g.start[k]), e = static_cast<std::size_t>(g.start[k + 1]);
                    if (!call_one(call, spec.has_param, spec.p, v.data() + b, e - b, sizeof(double), res + k,
                                  sts != nullptr ? sts + k : nullptr, nullptr, tally, o))
                        break;
                }
            }
            o.raise_if_failed(spec.fi);
            Ref item(results.tuple(tally));
            if (PyList_Append(result.get(), item.get()) != 0) throw PyFail{};
        }
        return result.release();
    });
}

namespace {

// The windows of one group: position t of the group's rows (order[b + t]) gets the statistic over
// the rows from t + offset - window + 1 to t + offset (cut to the group), when at least
// min_periods of them hold a value that is present (not one of the missing values). offset is 0
// for a trailing window, (window - 1) / 2 for a centred one.
struct Windows {
    npy_intp window, min_periods, offset;
};

bool moving_group(qvh_agg *agg, const Windows &w, const npy_intp *order, npy_intp m, const char *base, npy_intp step,
                  double *res, int32_t *sts, Tally &tally, Outcome &o) {
    auto value = [&](npy_intp at) {
        double x;
        std::memcpy(&x, base + order[at] * step, sizeof x);
        return x;
    };
    npy_intp first = 0, end = 0, present = 0;
    for (npy_intp t = 0; t < m; ++t) {
        const npy_intp want_end = std::min(t + w.offset + 1, m), want_first = std::max<npy_intp>(t + w.offset + 1 - w.window, 0);
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
        const npy_intp r = order[t];
        if (!agg_result(agg, res[r], sts != nullptr ? &sts[r] : nullptr, tally, o)) return false;
    }
    return true;
}

}  // namespace

// moving(index, values, codes, ngroups, window, min_periods, center, param, want_status): for each
// row, the statistic over its group's window (codes None: one group) by an aggregate that adds the
// rows entering the window and drops those leaving it. Rows whose window holds fewer than
// min_periods present values, and rows of no group, give '.'. Returns (results, tally, statuses or
// None). The Python layer has checked window >= 1 and 0 <= min_periods <= window.
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
        w.offset = center ? (w.window - 1) / 2 : 0;
        PyArrayObject *values = column(function(fi), values_obj, -1);
        const npy_intp n = PyArray_DIM(values, 0);
        Groups g;
        if (codes_obj == Py_None) {
            g.start = {0, n};
            g.order.resize(static_cast<std::size_t>(n));
            for (npy_intp i = 0; i < n; ++i) g.order[static_cast<std::size_t>(i)] = i;
        } else {
            g = group_rows(function(fi), codes_obj, n, ngroups);
        }
        bool has_param = false;
        const double p = optional_param(param_obj, has_param);
        Agg agg(fi, QVH_AGG_KEEP_VALUES);
        const Results results(n, want_status);
        Tally tally;
        Outcome o;
        {
            double *res = results.values();
            int32_t *sts = results.status();
            NoGil nogil;
            std::fill(res, res + n, qvh_dot());
            for (std::size_t k = 0; k + 1 < g.start.size() && !o.failed(); ++k) {
                qvh_agg_reset(agg.get());
                if (has_param && (o.rc = qvh_agg_param(agg.get(), p)) != QVH_OK) break;
                moving_group(agg.get(), w, g.order.data() + g.start[k], g.start[k + 1] - g.start[k], PyArray_BYTES(values),
                             PyArray_STRIDE(values, 0), res, sts, tally, o);
            }
        }
        o.raise_if_failed(fi);
        return results.tuple(tally);
    });
}

// agg_states(index, param, codes, ngroups, values): one saved aggregate state per group, of its
// values in row order: the partial result of one partition of a distributed table.
PyObject *py_agg_states(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0, ngroups = 0;
        PyObject *param_obj = nullptr, *codes_obj = nullptr, *values_obj = nullptr;
        if (!PyArg_ParseTuple(args, "nOOnO", &index, &param_obj, &codes_obj, &ngroups, &values_obj)) throw PyFail{};
        const std::size_t fi = function_index(index);
        bool has_param = false;
        const double p = optional_param(param_obj, has_param);
        PyArrayObject *values = column(function(fi), values_obj, -1);
        Agg agg(fi, merge_flags(*function(fi).info));
        const Groups g = group_rows(function(fi), codes_obj, PyArray_DIM(values, 0), ngroups);
        std::vector<std::string> saved(static_cast<std::size_t>(ngroups));
        Outcome o;
        {
            NoGil nogil;
            const std::vector<double> v = values_by_group(values, g);
            for (npy_intp k = 0; k < ngroups; ++k) {
                qvh_agg_reset(agg.get());
                if (has_param && (o.rc = qvh_agg_param(agg.get(), p)) != QVH_OK) break;
                const auto b = static_cast<std::size_t>(g.start[k]), e = static_cast<std::size_t>(g.start[k + 1]);
                if ((o.rc = qvh_agg_add_n(agg.get(), v.data() + b, e - b)) != QVH_OK) break;
                save_state(agg.get(), saved[static_cast<std::size_t>(k)]);
            }
        }
        o.raise_if_failed(fi);
        return bytes_list(saved);
    });
}

// agg_merge(index, codes, ngroups, states): the saved states of each group (codes give the group of
// each state) merged in the order given, saved again.
PyObject *py_agg_merge(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0, ngroups = 0;
        PyObject *codes_obj = nullptr, *states_obj = nullptr;
        if (!PyArg_ParseTuple(args, "nOnO", &index, &codes_obj, &ngroups, &states_obj)) throw PyFail{};
        const std::size_t fi = function_index(index);
        PyArrayObject *states = as_array(states_obj, NPY_OBJECT, function(fi).label.c_str());
        if (PyArray_NDIM(states) != 1)
            raise(PyExc_ValueError, function(fi).label + ": the partial states must be one column");
        std::vector<std::pair<const char *, std::size_t>> bytes(static_cast<std::size_t>(PyArray_DIM(states, 0)));
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            PyObject *item = *static_cast<PyObject **>(PyArray_GETPTR1(states, static_cast<npy_intp>(i)));
            bytes[i].first = bytes_of(item == nullptr ? Py_None : item, bytes[i].second);
        }
        const unsigned flags = merge_flags(*function(fi).info);
        Agg into(fi, flags), part(fi, flags);
        const Groups g = group_rows(function(fi), codes_obj, PyArray_DIM(states, 0), ngroups);
        std::vector<std::string> saved(static_cast<std::size_t>(ngroups));
        Outcome o;
        {
            NoGil nogil;
            for (npy_intp k = 0; k < ngroups && !o.failed(); ++k) {
                qvh_agg_reset(into.get());
                for (npy_intp at = g.start[k]; at < g.start[k + 1]; ++at) {
                    const auto &b = bytes[static_cast<std::size_t>(g.order[static_cast<std::size_t>(at)])];
                    if ((o.rc = qvh_agg_load(part.get(), b.first, b.second)) != QVH_OK ||
                        (o.rc = qvh_agg_merge(into.get(), part.get())) != QVH_OK)
                        break;
                }
                save_state(into.get(), saved[static_cast<std::size_t>(k)]);
            }
        }
        o.raise_if_failed(fi);
        return bytes_list(saved);
    });
}

// agg_finish(index, states, want_status): the result of each saved state. Returns (results, tally,
// statuses or None).
PyObject *py_agg_finish(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0;
        PyObject *states_obj = nullptr;
        int want_status = 0;
        if (!PyArg_ParseTuple(args, "nOp", &index, &states_obj, &want_status)) throw PyFail{};
        const std::size_t fi = function_index(index);
        PyArrayObject *states = as_array(states_obj, NPY_OBJECT, function(fi).label.c_str());
        if (PyArray_NDIM(states) != 1)
            raise(PyExc_ValueError, function(fi).label + ": the partial states must be one column");
        const npy_intp n = PyArray_DIM(states, 0);
        std::vector<std::pair<const char *, std::size_t>> bytes(static_cast<std::size_t>(n));
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *item = *static_cast<PyObject **>(PyArray_GETPTR1(states, i));
            bytes[static_cast<std::size_t>(i)].first = bytes_of(item == nullptr ? Py_None : item, bytes[static_cast<std::size_t>(i)].second);
        }
        Agg agg(fi, merge_flags(*function(fi).info));
        const Results results(n, want_status);
        Tally tally;
        Outcome o;
        {
            double *res = results.values();
            int32_t *sts = results.status();
            NoGil nogil;
            for (npy_intp i = 0; i < n; ++i) {
                const auto &b = bytes[static_cast<std::size_t>(i)];
                if ((o.rc = qvh_agg_load(agg.get(), b.first, b.second)) != QVH_OK) break;
                if (!agg_result(agg.get(), res[i], sts != nullptr ? &sts[i] : nullptr, tally, o)) break;
            }
        }
        o.raise_if_failed(fi);
        return results.tuple(tally);
    });
}

}  // namespace qvpy

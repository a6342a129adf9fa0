// Statistics per group of a table, and the saved aggregate states that carry a group's values
// between the partitions and processes of a distributed table: each group's result is one call
// over its values in row order, or an aggregate with the same result.
#include "batch.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qvpy {

namespace {

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

// The saved states of a 1-D object array, each bytes made by qvewumth; TypeError naming the
// function for anything else.
std::vector<std::pair<const char *, std::size_t>> saved_states(std::size_t fi, PyObject *states_obj) {
    const Function &fn = function(fi);
    PyArrayObject *states = as_array(states_obj, NPY_OBJECT, fn.label.c_str());
    if (PyArray_NDIM(states) != 1) raise(PyExc_ValueError, fn.label + ": the partial states must be one column");
    std::vector<std::pair<const char *, std::size_t>> out(static_cast<std::size_t>(PyArray_DIM(states, 0)));
    for (std::size_t i = 0; i < out.size(); ++i) {
        PyObject *item = *static_cast<PyObject **>(PyArray_GETPTR1(states, static_cast<npy_intp>(i)));
        char *p = nullptr;
        Py_ssize_t n = 0;
        if (item == nullptr || !PyBytes_Check(item) || PyBytes_AsStringAndSize(item, &p, &n) != 0)
            raise(PyExc_TypeError, fn.label + ": partial state " + std::to_string(i) + " is not one qvewumth made");
        out[i] = {p, static_cast<std::size_t>(n)};
    }
    return out;
}

}  // namespace

namespace {

// Each row's group as int_group_codes gives it, for keys[0..n) of type K; None where they span
// too wide a range.
template <class K>
PyObject *int_codes(const K *k, npy_intp n) {
    K lo = k[0], hi = k[0];
    for (npy_intp i = 1; i < n; ++i) {
        lo = k[i] < lo ? k[i] : lo;
        hi = k[i] > hi ? k[i] : hi;
    }
    // A table of the range as long as the rows at most (or 2^16): no more memory than the codes.
    const std::uint64_t span = static_cast<std::uint64_t>(static_cast<std::int64_t>(hi)) -
                               static_cast<std::uint64_t>(static_cast<std::int64_t>(lo));
    if (span >= std::max<std::uint64_t>(static_cast<std::uint64_t>(n), std::uint64_t{1} << 16)) Py_RETURN_NONE;
    const auto at = [&](K key) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(key) - lo); };
    std::vector<std::int64_t> place(span + 1, 0);
    for (npy_intp i = 0; i < n; ++i) place[at(k[i])] = 1;
    std::int64_t groups = 0;
    for (std::int64_t &p : place) p = p != 0 ? groups++ : -1;
    const npy_intp dims[1] = {n}, gdims[1] = {static_cast<npy_intp>(groups)};
    Ref codes(reinterpret_cast<PyObject *>(new_array(1, dims, NPY_INT64)));
    Ref uniques(reinterpret_cast<PyObject *>(new_array(1, gdims, NPY_INT64)));
    auto *const c = static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(codes.get())));
    auto *const u = static_cast<std::int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(uniques.get())));
    for (npy_intp i = 0; i < n; ++i) c[i] = place[at(k[i])];
    for (std::uint64_t v = 0; v <= span; ++v)
        if (place[v] >= 0) u[place[v]] = static_cast<std::int64_t>(lo) + static_cast<std::int64_t>(v);
    return check(PyTuple_Pack(2, codes.get(), uniques.get()));
}

}  // namespace

// int_group_codes(keys): for a 1-D int64 or int32 array, each row's group, its key's place among
// the distinct keys in ascending order (as pandas' groupby numbers them), and the distinct keys;
// None where the keys span a range too wide to count them directly (pandas' hashing then does it).
PyObject *py_int_group_codes(PyObject *, PyObject *keys_obj) {
    return guard([&]() -> PyObject * {
        const bool narrow = PyArray_Check(keys_obj) && PyArray_TYPE(reinterpret_cast<PyArrayObject *>(keys_obj)) == NPY_INT32;
        PyArrayObject *keys = as_array(keys_obj, narrow ? NPY_INT32 : NPY_INT64, "groupby");
        if (PyArray_NDIM(keys) != 1) raise(PyExc_ValueError, "groupby: the keys must be one column");
        const npy_intp n = PyArray_DIM(keys, 0);
        if (n == 0) Py_RETURN_NONE;
        // The keys in one contiguous run (a copy where the column is strided).
        Ref copy;
        if (!PyArray_ISCONTIGUOUS(keys)) copy = Ref(check(PyArray_NewCopy(keys, NPY_CORDER)));
        const void *k = PyArray_DATA(copy ? reinterpret_cast<PyArrayObject *>(copy.get()) : keys);
        return narrow ? int_codes(static_cast<const std::int32_t *>(k), n) : int_codes(static_cast<const std::int64_t *>(k), n);
    });
}

// group_stats(codes, ngroups, values, wanted, want_status): for each (index, param) of wanted, one
// call per group over the group's values in row order. codes give each row's group (0 to ngroups
// - 1, -1 for none). Returns [(results, tally, statuses or None)] in the order of wanted.
PyObject *py_group_stats(PyObject *, PyObject *args) {
    return guard([&] {
        PyObject *codes_obj = nullptr, *values_obj = nullptr, *asked_obj = nullptr;
        Py_ssize_t ngroups = 0;
        int want_status = 0;
        if (!PyArg_ParseTuple(args, "OnOOp", &codes_obj, &ngroups, &values_obj, &asked_obj, &want_status)) throw PyFail{};
        struct Asked {
            std::size_t fi;
            bool has_param;
            double p;
        };
        std::vector<Asked> asked;
        Ref wanted(check(PySequence_Fast(asked_obj, "wanted must be a sequence")));
        for (Py_ssize_t s = 0; s < PySequence_Fast_GET_SIZE(wanted.get()); ++s) {
            Py_ssize_t index = 0;
            PyObject *param_obj = nullptr;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(wanted.get(), s), "nO", &index, &param_obj)) throw PyFail{};
            Asked one{function_index(index), false, 0.0};
            one.p = optional_param(param_obj, one.has_param);
            asked.push_back(one);
        }
        Ref result(check(PyList_New(0)));
        if (asked.empty()) return result.release();
        const Function &first = function(asked[0].fi);
        PyArrayObject *values = column(first, values_obj, -1);
        const KeepValues keep;
        const GroupedValues g = group_values(first, codes_obj, values, ngroups);
        for (const Asked &one : asked) {
            const Results results(ngroups, want_status);
            qvh_call *call = thread_call(one.fi);
            const KeepWarm warm{call};
            qvh_tally tally{};
            Outcome o;
            {
                double *res = results.values();
                int32_t *sts = results.status();
                NoGil nogil;
                for (npy_intp k = 0; k < ngroups; ++k) {
                    const std::size_t b = g.start[k], e = g.start[k + 1];
                    if (!o.go_on(e - b + 1)) break;
                    if (!call_one(call, one.has_param, one.p, g.values + b, e - b, sizeof(double), res + k,
                                  sts != nullptr ? sts + k : nullptr, nullptr, tally, o))
                        break;
                }
            }
            o.raise_if_failed(one.fi);
            Ref item(results.tuple(tally));
            if (PyList_Append(result.get(), item.get()) != 0) throw PyFail{};
        }
        return result.release();
    });
}

// The windows of one group: position t of the group's rows (order[b + t]) gets the statistic over


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
        const KeepValues keep;
        const GroupedValues g = group_values(function(fi), codes_obj, values, ngroups);
        std::vector<std::string> saved(static_cast<std::size_t>(ngroups));
        Outcome o;
        {
            NoGil nogil;
            for (npy_intp k = 0; k < ngroups; ++k) {
                qvh_agg_reset(agg.get());
                if (has_param && (o.rc = qvh_agg_param(agg.get(), p)) != QVH_OK) break;
                const std::size_t b = g.start[k], e = g.start[k + 1];
                if ((o.rc = qvh_agg_add_n(agg.get(), g.values + b, e - b)) != QVH_OK) break;
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
        const auto bytes = saved_states(fi, states_obj);
        const unsigned flags = merge_flags(*function(fi).info);
        Agg into(fi, flags), part(fi, flags);
        const Groups g = group_rows(function(fi), codes_obj, static_cast<npy_intp>(bytes.size()), ngroups);
        std::vector<std::string> saved(static_cast<std::size_t>(ngroups));
        Outcome o;
        {
            NoGil nogil;
            for (npy_intp k = 0; k < ngroups && !o.failed(); ++k) {
                qvh_agg_reset(into.get());
                for (std::size_t at = g.start[k]; at < g.start[k + 1]; ++at) {
                    const auto &b = bytes[g.order[at]];
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
        const auto bytes = saved_states(fi, states_obj);
        const auto n = static_cast<npy_intp>(bytes.size());
        Agg agg(fi, merge_flags(*function(fi).info));
        const Results results(n, want_status);
        qvh_tally tally{};
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

// qvewumth._core: the package opened through the host library, its catalogue, the missing values,
// and calls with any mix of numbers and text. The Python layer (qvewumth/__init__.py) makes the
// functions users call out of what this module reports.
#define QVPY_IMPORTS_NUMPY
#include "qvpy.hpp"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qvpy {

qvh_package *package = nullptr;

namespace {

std::vector<Function> catalogue;
// Objects that stand for a missing value besides None (pandas.NA), given by the Python layer.
PyObject *missing_objects = nullptr;

// ---- memory -------------------------------------------------------------------------------
// Everything the host library keeps for calls and aggregates comes from the C library's heap;
// a test can make it refuse after a number of further requests, to see how a surface reports a
// memory failure.
std::atomic<long long> refuse_after{-1};

// A refused request is noted for the MemoryError's message.
void *refused(std::size_t size) {
    note_request(size);
    return nullptr;
}
void *qv_alloc(void *, std::size_t size) {
    long long left = refuse_after.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) return refused(size);
        if (refuse_after.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) break;
    }
    void *p = std::malloc(size == 0 ? 1 : size);
    return p != nullptr ? p : refused(size);
}
void *qv_resize(void *, void *block, std::size_t, std::size_t new_size) {
    if (refuse_after.load(std::memory_order_relaxed) == 0) return refused(new_size);
    void *p = std::realloc(block, new_size == 0 ? 1 : new_size);
    return p != nullptr ? p : refused(new_size);
}
void qv_release(void *, void *block, std::size_t) { std::free(block); }

// Calls of this thread, by function, made on first use and freed when the thread ends.
struct ThreadCalls {
    std::vector<qvh_call *> calls;
    ~ThreadCalls() {
        for (qvh_call *c : calls) qvh_call_free(c);
    }
};
thread_local ThreadCalls thread_calls;

PyObject *exception_of(int rc) {
    switch (rc) {
        case QVH_E_ARITY:
        case QVH_E_KIND: return PyExc_TypeError;
        case QVH_E_LIMIT:
        case QVH_E_RANGE:
        case QVH_E_STATE: return PyExc_ValueError;
        case QVH_E_NOMEM: return PyExc_MemoryError;
        case QVH_E_UNKNOWN: return PyExc_LookupError;
        case QVH_E_UNAVAILABLE: return PyExc_NotImplementedError;
        default: return PyExc_RuntimeError;
    }
}

bool is_missing_object(PyObject *o) {
    if (o == Py_None) return true;
    if (missing_objects == nullptr) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(missing_objects);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(missing_objects, i) == o) return true;
    return false;
}

// A short, printable form of a user's value for a message.
std::string shown(PyObject *o) {
    Ref r(PyObject_Repr(o));
    Py_ssize_t n = 0;
    const char *s = r ? PyUnicode_AsUTF8AndSize(r.get(), &n) : nullptr;
    if (s == nullptr) {
        PyErr_Clear();
        return "?";
    }
    char buf[64];
    qvh_escape(s, static_cast<std::size_t>(n), 40, buf, sizeof buf);
    return buf;
}

// One argument of a call made from Python objects.
struct Arg {
    bool text = false;
    double x = 0.0;
    const char *s = nullptr;  // UTF-8 owned by the str object, alive while the row is called
    Py_ssize_t len = 0;
};

// o as an argument of the function: None and the missing objects are '.' (the empty string where
// only text is taken), str is text, anything with a number's interface is a number.
Arg to_arg(PyObject *o, const Function &f, int kind, const char *what) {
    Arg a;
    if (PyFloat_Check(o)) {
        a.x = PyFloat_AS_DOUBLE(o);
    } else if (is_missing_object(o)) {
        if (kind == QVH_KIND_CHR) {
            a.text = true;
            a.s = "";
        } else {
            a.x = qvh_dot();
        }
    } else if (PyUnicode_Check(o)) {
        a.text = true;
        a.s = PyUnicode_AsUTF8AndSize(o, &a.len);
        if (a.s == nullptr) {
            PyErr_Clear();
            raise(PyExc_ValueError, f.label + ": " + what + " holds text that is not valid Unicode");
        }
    } else if (PyNumber_Check(o) && !PyComplex_Check(o)) {
        Ref v(PyNumber_Float(o));
        if (!v) {
            PyErr_Clear();
            raise(PyExc_TypeError, f.label + ": " + what + " holds " + shown(o) + ", which is not a number");
        }
        a.x = PyFloat_AS_DOUBLE(v.get());
    } else {
        raise(PyExc_TypeError, f.label + ": " + what + " holds " + shown(o) + " of type " + Py_TYPE(o)->tp_name +
                                   ", not a number" + (kind == QVH_KIND_NUM ? "" : " or a str"));
    }
    return a;
}

std::string argument_name(std::size_t j) { return "argument " + std::to_string(j + 1); }

// ---- entry points -------------------------------------------------------------------------

PyObject *py_functions(PyObject *, PyObject *) {
    return guard([&] {
        Ref list(check(PyList_New(0)));
        for (std::size_t i = 0; i < catalogue.size(); ++i) {
            const Function &fn = catalogue[i];
            const qvh_info &f = *fn.info;
            char usage[256];
            qvh_usage(&f, fn.label.c_str(), usage, sizeof usage);
            const int fold = f.fold;
            Ref d(check(Py_BuildValue(
                "{s:n,s:s,s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:I,s:I,s:s,s:s,s:s,s:s,s:O}", "index",
                static_cast<Py_ssize_t>(i), "name", f.name, "label", fn.label.c_str(), "family", f.family, "form", f.form,
                "min_args", f.min_args, "max_args", f.max_args, "first_kind", f.first_kind, "rest_kind", f.rest_kind,
                "result_kind", f.result_kind, "aggregate", f.aggregate, "leading_param", f.leading_param, "fold", fold,
                "statuses", f.statuses, "marks", f.marks, "usage", usage, "catalogue_usage", f.usage, "summary", f.summary,
                "reference", f.reference, "available", qvh_package_has(package, &f) ? Py_True : Py_False)));
            if (PyList_Append(list.get(), d.get()) != 0) throw PyFail{};
        }
        return list.release();
    });
}

PyObject *py_package_path(PyObject *, PyObject *) {
    return guard([&] { return check(PyUnicode_DecodeFSDefault(qvh_package_path(package))); });
}

PyObject *py_status_name(PyObject *, PyObject *arg) {
    return guard([&] {
        const long code = PyLong_AsLong(arg);
        if (code == -1 && PyErr_Occurred()) throw PyFail{};
        return check(PyUnicode_FromString(qvh_status_name(static_cast<int32_t>(code))));
    });
}

PyObject *py_status_is_memory(PyObject *, PyObject *arg) {
    return guard([&] {
        const long code = PyLong_AsLong(arg);
        if (code == -1 && PyErr_Occurred()) throw PyFail{};
        return PyBool_FromLong(qvh_status_is_memory(static_cast<int32_t>(code)));
    });
}

// The missing value a letter names: ".", "_", "A".."Z" (either case), with or without the point.
PyObject *py_missing(PyObject *, PyObject *arg) {
    return guard([&] {
        Py_ssize_t n = 0;
        const char *s = PyUnicode_Check(arg) ? PyUnicode_AsUTF8AndSize(arg, &n) : nullptr;
        if (s == nullptr) {
            PyErr_Clear();
            raise(PyExc_TypeError, "qv.missing: the name of a missing value is a str such as 'A', '.A' or '_'");
        }
        double x = 0.0;
        const bool ok = n == 0 ? qvh_missing('.', &x) == QVH_OK
                        : n == 1 ? qvh_missing(s[0], &x) == QVH_OK && s[0] != ' '
                                 : qvh_parse_missing(s, static_cast<std::size_t>(n), &x) == 1;
        if (!ok) raise(PyExc_ValueError, "qv.missing: no missing value is named " + shown(arg) + " (., ._, .A to .Z)");
        return PyFloat_FromDouble(x);
    });
}

// Element by element over a float64 array (any shape, any strides): the letter of each missing value
// ('' for a number) as a str array, or whether each is missing as a bool array.
PyObject *missing_map(PyObject *arg, bool letters) {
    return guard([&] {
        PyArrayObject *a = as_array(arg, NPY_DOUBLE, "qv.is_missing");
        PyArray_Descr *descr = PyArray_DescrNewFromType(letters ? NPY_UNICODE : NPY_BOOL);
        if (descr == nullptr) throw PyFail{};
        if (letters) descr->elsize = 4;  // one character
        Ref out(check(PyArray_NewLikeArray(a, NPY_CORDER, descr, 0)));
        NpyIter *it = NpyIter_MultiNew(
            2, std::vector<PyArrayObject *>{a, reinterpret_cast<PyArrayObject *>(out.get())}.data(),
            NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK, NPY_KEEPORDER, NPY_NO_CASTING,
            std::vector<npy_uint32>{NPY_ITER_READONLY, NPY_ITER_WRITEONLY}.data(), nullptr);
        if (it == nullptr) throw PyFail{};
        if (NpyIter_GetIterSize(it) > 0) {
            NpyIter_IterNextFunc *next = NpyIter_GetIterNext(it, nullptr);
            char **data = NpyIter_GetDataPtrArray(it);
            npy_intp *strides = NpyIter_GetInnerStrideArray(it);
            npy_intp *size = NpyIter_GetInnerLoopSizePtr(it);
            do {
                char *in = data[0], *o = data[1];
                for (npy_intp i = 0; i < *size; ++i, in += strides[0], o += strides[1]) {
                    double x;
                    std::memcpy(&x, in, sizeof x);
                    if (x != x && !qvh_is_missing(x)) x = qvh_dot();  // NaN is '.'
                    if (letters) {
                        const uint32_t c = static_cast<unsigned char>(qvh_missing_letter(x));
                        std::memcpy(o, &c, sizeof c);
                    } else {
                        *reinterpret_cast<npy_bool *>(o) = qvh_is_missing(x) ? NPY_TRUE : NPY_FALSE;
                    }
                }
            } while (next(it));
        }
        NpyIter_Deallocate(it);
        return out.release();
    });
}
PyObject *py_missing_flags(PyObject *, PyObject *arg) { return missing_map(arg, false); }
PyObject *py_missing_letters(PyObject *, PyObject *arg) { return missing_map(arg, true); }

PyObject *py_format_value(PyObject *, PyObject *arg) {
    return guard([&] {
        double x = PyFloat_AsDouble(arg);
        if (x == -1.0 && PyErr_Occurred()) throw PyFail{};
        if (x != x && !qvh_is_missing(x)) x = qvh_dot();  // NaN is '.'
        char buf[QVH_FORMAT_MAX];
        qvh_format(x, buf, sizeof buf);
        return check(PyUnicode_FromString(buf));
    });
}

PyObject *py_set_missing_objects(PyObject *, PyObject *arg) {
    return guard([&] {
        if (!PyTuple_Check(arg)) raise(PyExc_TypeError, "set_missing_objects takes a tuple");
        Py_INCREF(arg);
        Py_XSETREF(missing_objects, arg);
        Py_RETURN_NONE;
    });
}

// Refuses memory to the host library after n more requests (n < 0: never).
PyObject *py_refuse_memory(PyObject *, PyObject *arg) {
    return guard([&] {
        const long long n = PyLong_AsLongLong(arg);
        if (n == -1 && PyErr_Occurred()) throw PyFail{};
        refuse_after.store(n < 0 ? -1 : n);
        Py_RETURN_NONE;
    });
}

// The arity and kinds check of a call with the given kinds (1 number, 2 text); raises TypeError
// with the host library's message, naming the function as Python does.
PyObject *py_check_args(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0;
        PyObject *kinds_obj = nullptr;
        if (!PyArg_ParseTuple(args, "nO", &index, &kinds_obj)) throw PyFail{};
        const Function &fn = function(function_index(index));
        Ref seq(check(PySequence_Fast(kinds_obj, "kinds must be a sequence")));
        std::vector<int> kinds;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            const long k = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (k == -1 && PyErr_Occurred()) throw PyFail{};
            kinds.push_back(static_cast<int>(k));
        }
        const int rc = qvh_check_args(fn.info, fn.label.c_str(), kinds.size(), kinds.data());
        if (rc != QVH_OK) raise_host(rc);
        Py_RETURN_NONE;
    });
}

// A float64 array of the same length from a 1-D array of objects; errors name the function as
// label and what holds the objects ("argument 1", "the data").
PyObject *py_objects_to_float(PyObject *, PyObject *args) {
    return guard([&] {
        const char *label = nullptr, *what = nullptr;
        PyObject *arr = nullptr;
        if (!PyArg_ParseTuple(args, "ssO", &label, &what, &arr)) throw PyFail{};
        const Function fn{nullptr, label};
        PyArrayObject *a = as_array(arr, NPY_OBJECT, label);
        if (PyArray_NDIM(a) != 1) raise(PyExc_ValueError, "objects_to_float takes a 1-D array");
        const npy_intp n = PyArray_DIM(a, 0);
        Ref out(check(PyArray_SimpleNew(1, &n, NPY_DOUBLE)));
        auto *o = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *item = *reinterpret_cast<PyObject **>(PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0));
            const Arg v = to_arg(item == nullptr ? Py_None : item, fn, QVH_KIND_NUM, what);
            if (v.text) {
                std::string text(v.s, static_cast<std::size_t>(v.len));
                char buf[64];
                qvh_escape(text.data(), text.size(), 40, buf, sizeof buf);
                raise(PyExc_TypeError, fn.label + ": " + what + " holds text ('" + buf + "'), not a number");
            }
            o[i] = v.x;
        }
        return out.release();
    });
}

// A float64 array of the same length from a 1-D array of objects, reading text as the command line
// reads a cell: a number, inf, a missing literal (".M"), or blank for '.'. Numbers and None pass as
// they are; other text is a ValueError naming it.
PyObject *py_parse_text(PyObject *, PyObject *arr) {
    return guard([&] {
        PyArrayObject *a = as_array(arr, NPY_OBJECT, "qv.parse");
        if (PyArray_NDIM(a) != 1) raise(PyExc_ValueError, "parse_text takes a 1-D array");
        const npy_intp n = PyArray_DIM(a, 0);
        Ref out(check(PyArray_SimpleNew(1, &n, NPY_DOUBLE)));
        auto *o = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
        const Function fn{nullptr, "qv.parse"};
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *item = *reinterpret_cast<PyObject **>(PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0));
            const Arg v = to_arg(item == nullptr ? Py_None : item, fn, QVH_KIND_ANY, "the values");
            o[i] = v.x != v.x && !qvh_is_missing(v.x) ? qvh_dot() : v.x;  // NaN is '.'
            if (!v.text) continue;
            std::string_view t(v.s, static_cast<std::size_t>(v.len));
            while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
            while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
            if (t.empty()) {
                o[i] = qvh_dot();
            } else if (qvh_parse_number(t.data(), t.size(), &o[i]) != 1) {
                char buf[64];
                qvh_escape(v.s, static_cast<std::size_t>(v.len), 40, buf, sizeof buf);
                raise(PyExc_ValueError, std::string("qv.parse: '") + buf + "' is neither a number nor a missing value");
            }
        }
        return out.release();
    });
}

// Calls the function once per row over columns of equal length (1-D arrays of float64 or of
// objects: numbers, str, None): row i passes element i of every column, in order. The way in for
// text and for values of any kind. Returns (results, tally, statuses, marks); the last two are None
// unless asked for. A result is a float, or a str for a function that gives text.
PyObject *py_call_table(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0;
        PyObject *cols_obj = nullptr;
        int want_status = 0;
        if (!PyArg_ParseTuple(args, "nOp", &index, &cols_obj, &want_status)) throw PyFail{};
        const std::size_t fi = function_index(index);
        const Function &fn = function(fi);
        const qvh_info &f = *fn.info;
        Ref seq(check(PySequence_Fast(cols_obj, "the columns must be a sequence")));
        const std::size_t nargs = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
        std::vector<PyArrayObject *> cols;
        npy_intp rows = -1;
        for (std::size_t j = 0; j < nargs; ++j) {
            PyObject *c = PySequence_Fast_GET_ITEM(seq.get(), j);
            const bool objects = PyArray_Check(c) && PyArray_TYPE(reinterpret_cast<PyArrayObject *>(c)) == NPY_OBJECT;
            PyArrayObject *a = as_array(c, objects ? NPY_OBJECT : NPY_DOUBLE, fn.label.c_str());
            if (PyArray_NDIM(a) != 1 || (rows >= 0 && PyArray_DIM(a, 0) != rows))
                raise(PyExc_ValueError, "call_table takes 1-D columns of one length");
            rows = PyArray_DIM(a, 0);
            cols.push_back(a);
        }
        if (rows < 0) raise(PyExc_ValueError, "call_table needs the number of rows: give at least one column");
        const bool text_result = f.result_kind == QVH_KIND_CHR;
        Ref out(check(PyArray_SimpleNew(1, &rows, text_result ? NPY_OBJECT : NPY_DOUBLE)));
        auto *oa = reinterpret_cast<PyArrayObject *>(out.get());
        Ref statuses, marks;
        if (want_status) {
            statuses = Ref(check(PyArray_SimpleNew(1, &rows, NPY_INT32)));
            npy_intp dims[2] = {rows, static_cast<npy_intp>(nargs)};
            marks = Ref(check(PyArray_ZEROS(2, dims, NPY_BOOL, 0)));
        }
        qvh_call *call = thread_call(fi);
        Tally tally;
        std::vector<Arg> row(nargs);
        for (npy_intp i = 0; i < rows; ++i) {
            // Every argument is read before the call is touched: reading one may run Python code.
            for (std::size_t j = 0; j < nargs; ++j) {
                PyArrayObject *a = cols[j];
                const char *p = PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0);
                const int kind = j == 0 ? f.first_kind : f.rest_kind;
                if (PyArray_TYPE(a) == NPY_DOUBLE) {
                    row[j] = Arg{};
                    std::memcpy(&row[j].x, p, sizeof(double));
                } else {
                    PyObject *item = *reinterpret_cast<PyObject *const *>(p);
                    row[j] = to_arg(item == nullptr ? Py_None : item, fn, kind, argument_name(j).c_str());
                }
            }
            qvh_call_clear(call);
            for (const Arg &a : row) {
                const int rc = a.text ? qvh_call_add_str(call, a.s, static_cast<std::size_t>(a.len)) : qvh_call_add_num(call, a.x);
                if (rc != QVH_OK) raise_host(rc);
            }
            if (const int rc = qvh_call_invoke(call); rc != QVH_OK) raise_host(rc);
            const int32_t st = qvh_call_status(call);
            if (qvh_status_is_memory(st)) raise_memory(fi, st);
            bool any_marked = false;
            for (std::size_t j = 0; st != QVH_STATUS_OK && j < nargs; ++j) {
                const bool m = qvh_call_marked(call, j) != 0;
                any_marked = any_marked || m;
                if (m && want_status)
                    *static_cast<npy_bool *>(PyArray_GETPTR2(reinterpret_cast<PyArrayObject *>(marks.get()), i, j)) = NPY_TRUE;
            }
            tally.count(st, any_marked);
            if (want_status) static_cast<int32_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(statuses.get())))[i] = st;
            if (text_result) {
                std::size_t len = 0;
                const char *s = qvh_call_result_str(call, &len);
                PyObject *str = check(PyUnicode_DecodeUTF8(s == nullptr ? "" : s, static_cast<Py_ssize_t>(len), "replace"));
                PyObject **slot = static_cast<PyObject **>(PyArray_GETPTR1(oa, i));
                Py_XSETREF(*slot, str);
            } else {
                static_cast<double *>(PyArray_DATA(oa))[i] = qvh_call_result(call);
            }
        }
        Ref t(check(tally.to_tuple()));
        return check(Py_BuildValue("(OOOO)", out.get(), t.get(), statuses ? statuses.get() : Py_None,
                                   marks ? marks.get() : Py_None));
    });
}

PyObject *py_dot(PyObject *, PyObject *) { return PyFloat_FromDouble(qvh_dot()); }

}  // namespace

// ---- shared with the other source files ---------------------------------------------------

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw PyFail{};
}

void raise_host(int rc) {
    const char *msg = qvh_errmsg();
    raise(exception_of(rc), msg != nullptr && *msg != '\0' ? msg : qvh_rc_name(rc));
}

thread_local MemoryNote memory_note;

void set_memory_error() noexcept {
    PyErr_Clear();
    if (memory_note.bytes > 0)
        PyErr_Format(PyExc_MemoryError, "%s: out of memory (asked for %zu bytes)", memory_note.label, memory_note.bytes);
    else
        PyErr_Format(PyExc_MemoryError, "%s: out of memory", memory_note.label);
}

void raise_memory(std::size_t index, int32_t) {
    memory_note.label = function(index).label.c_str();
    set_memory_error();
    throw PyFail{};
}

const Function &function(std::size_t index) { return catalogue[index]; }

std::size_t function_index(Py_ssize_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= catalogue.size())
        raise(PyExc_IndexError, "qvewumth has no function at index " + std::to_string(index));
    memory_note.label = catalogue[static_cast<std::size_t>(index)].label.c_str();
    return static_cast<std::size_t>(index);
}

qvh_call *thread_call(std::size_t index, int *rc) noexcept {
    try {
        std::vector<qvh_call *> &calls = thread_calls.calls;
        if (calls.size() <= index) calls.resize(catalogue.size(), nullptr);
        if (calls[index] == nullptr) {
            qvh_call *call = nullptr;
            *rc = qvh_call_new(package, catalogue[index].info->name, &call);
            if (*rc != QVH_OK) return nullptr;
            if ((*rc = qvh_call_set_label(call, catalogue[index].label.c_str())) != QVH_OK) {
                qvh_call_free(call);
                return nullptr;
            }
            calls[index] = call;
        }
        *rc = QVH_OK;
        return calls[index];
    } catch (const std::bad_alloc &) {
        *rc = QVH_E_NOMEM;
        return nullptr;
    }
}

qvh_call *thread_call(std::size_t index) {
    int rc = QVH_OK;
    qvh_call *call = thread_call(index, &rc);
    if (call == nullptr) raise_host(rc);
    return call;
}

void Tally::count(int32_t status, bool any_marked) {
    ++rows;
    switch (status) {
        case QVH_STATUS_OK: break;
        case QVH_STATUS_MISSING_ARG: ++missing; break;
        case QVH_STATUS_INVALID_ARG: ++invalid; break;
        case QVH_STATUS_NOT_A_NUMBER: ++nan; break;
        default: ++other; break;
    }
    if (any_marked) ++marked;
}

PyObject *Tally::to_tuple() const {
    return Py_BuildValue("(KKKKKK)", static_cast<unsigned long long>(rows), static_cast<unsigned long long>(missing),
                         static_cast<unsigned long long>(invalid), static_cast<unsigned long long>(nan),
                         static_cast<unsigned long long>(other), static_cast<unsigned long long>(marked));
}

int call_rows(qvh_call *call, std::size_t rows, std::size_t nargs, const double *const *args, const ptrdiff_t *strides,
              double *out, ptrdiff_t out_stride, int32_t *statuses, unsigned char *marks, Tally &tally) noexcept {
    qvh_tally t{};
    const int rc = qvh_call_rows(call, rows, nargs, args, strides, out, out_stride, statuses, marks, &t);
    tally.add(t);
    return rc;
}

unsigned merge_flags(const qvh_info &f) {
    return f.fold == QVH_FOLD_SUM || f.fold == QVH_FOLD_MEAN ? QVH_AGG_KEEP_VALUES : 0u;
}

PyArrayObject *as_array(PyObject *o, int type, const char *what) {
    if (!PyArray_Check(o) || PyArray_TYPE(reinterpret_cast<PyArrayObject *>(o)) != type ||
        !PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject *>(o)) || !PyArray_ISALIGNED(reinterpret_cast<PyArrayObject *>(o)))
        raise(PyExc_TypeError, std::string(what) + ": the values must be an array of " +
                                   (type == NPY_DOUBLE ? "float64" : type == NPY_OBJECT ? "objects" : "int64") +
                                   " in the machine's byte order, aligned");
    return reinterpret_cast<PyArrayObject *>(o);
}

// Defined in ufunc.cpp and batch.cpp.
PyObject *py_ufunc(PyObject *, PyObject *);
PyObject *py_loop_tally(PyObject *, PyObject *);
PyObject *py_reduce(PyObject *, PyObject *);
PyObject *py_group_stats(PyObject *, PyObject *);
PyObject *py_moving(PyObject *, PyObject *);
PyObject *py_agg_states(PyObject *, PyObject *);
PyObject *py_agg_merge(PyObject *, PyObject *);
PyObject *py_agg_finish(PyObject *, PyObject *);

}  // namespace qvpy

namespace {

using namespace qvpy;

PyMethodDef methods[] = {
    {"functions", py_functions, METH_NOARGS, "The catalogue: one dict per function, in the package's order."},
    {"package_path", py_package_path, METH_NOARGS, "The file the package was opened from."},
    {"status_name", py_status_name, METH_O, "The name of a status code."},
    {"status_is_memory", py_status_is_memory, METH_O, "Whether a status code says memory ran out."},
    {"dot", py_dot, METH_NOARGS, "The missing value '.'."},
    {"missing", py_missing, METH_O, "The missing value a letter names."},
    {"missing_flags", py_missing_flags, METH_O, "Whether each element of a float64 array is missing."},
    {"missing_letters", py_missing_letters, METH_O, "The letter of each missing element ('' for numbers)."},
    {"format_value", py_format_value, METH_O, "A number in its shortest form, or its missing literal."},
    {"set_missing_objects", py_set_missing_objects, METH_O, "Objects read as '.' besides None."},
    {"refuse_memory", py_refuse_memory, METH_O, "Refuse memory to the host library after n more requests (-1: never)."},
    {"check_args", py_check_args, METH_VARARGS, "Check a number and kinds of arguments against the catalogue."},
    {"objects_to_float", py_objects_to_float, METH_VARARGS, "A 1-D object array as float64, missing values as '.'."},
    {"parse_text", py_parse_text, METH_O, "A 1-D object array read as numbers, text as the command line reads it."},
    {"call_table", py_call_table, METH_VARARGS, "One call per row over columns of equal length."},
    {"ufunc", py_ufunc, METH_VARARGS, "The NumPy ufunc of an elementwise function."},
    {"loop_tally", py_loop_tally, METH_NOARGS, "This thread's running count of ufunc elements by status."},
    {"reduce", py_reduce, METH_VARARGS, "One call per row over the last axis of a float64 array."},
    {"group_stats", py_group_stats, METH_VARARGS, "One call per group over its values in row order."},
    {"moving", py_moving, METH_VARARGS, "Moving-window statistics over a series, per group."},
    {"agg_states", py_agg_states, METH_VARARGS, "Saved aggregate states, one per group."},
    {"agg_merge", py_agg_merge, METH_VARARGS, "Saved states merged per group in order."},
    {"agg_finish", py_agg_finish, METH_VARARGS, "The results of saved states."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "qvewumth._core",
                      "The function package through its host library (used by the qvewumth package).", -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
    import_array();
    import_umath();
    return guard([&]() -> PyObject * {
        Ref m(check(PyModule_Create(&module)));
        if (package == nullptr) {
            qvh_package *pkg = nullptr;
            if (qvh_open(nullptr, &pkg) != QVH_OK)
                raise(PyExc_ImportError, std::string("qvewumth: cannot open the function package: ") + qvh_errmsg() +
                                             " (set QV_LIB to the path of libqvewumth.so)");
            const qvh_allocator heap{qv_alloc, qv_resize, qv_release, nullptr};
            if (const int rc = qvh_set_allocator(pkg, &heap); rc != QVH_OK) {
                qvh_close(pkg);
                raise_host(rc);
            }
            for (std::size_t i = 0; i < qvh_function_count(); ++i) {
                const qvh_info *f = qvh_function_at(i);
                // qv.pctl3: the name after "qv_" in SQL, as Python spells it.
                catalogue.push_back({f, std::string("qv.") + (qvh_sql_name(f) + 3)});
            }
            package = pkg;
        }
        const struct {
            const char *name;
            long value;
        } constants[] = {{"OK", QVH_STATUS_OK},
                         {"MISSING_ARG", QVH_STATUS_MISSING_ARG},
                         {"INVALID_ARG", QVH_STATUS_INVALID_ARG},
                         {"NOT_A_NUMBER", QVH_STATUS_NOT_A_NUMBER},
                         {"NO_SCRATCH", QVH_STATUS_NO_SCRATCH},
                         {"NO_MEMORY", QVH_STATUS_NO_MEMORY},
                         {"UNSUPPORTED", QVH_STATUS_UNSUPPORTED},
                         {"KIND_NUM", QVH_KIND_NUM},
                         {"KIND_CHR", QVH_KIND_CHR},
                         {"KIND_ANY", QVH_KIND_ANY},
                         {"FORM_SCALAR", QVH_FORM_SCALAR},
                         {"FORM_LIST", QVH_FORM_LIST},
                         {"FORM_CHAR_LIST", QVH_FORM_CHAR_LIST},
                         {"AGG_NONE", QVH_AGG_NONE},
                         {"ANY_COUNT", QVH_ANY_COUNT}};
        for (const auto &c : constants)
            if (PyModule_AddIntConstant(m.get(), c.name, c.value) != 0) throw PyFail{};
        return m.release();
    });
}

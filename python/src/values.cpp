// Values between Python and the package: the missing values, objects read as numbers or text,
// text read as the command line reads it, and calls over columns of any kind of value, each value
// made an argument by the host library's rules of the edge.
#include "qvpy.hpp"

#include <cctype>
#include <cstring>
#include <string_view>

namespace qvpy {

namespace {

// Objects that stand for a missing value besides None (pandas.NA), given by the Python layer.
PyObject *missing_objects = nullptr;

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

// o as an engine's value: None and the missing objects are NULL, str is text, anything with a
// number's interface is a number. The host library's rules (qvh_edge_arg) then make it an
// argument. The text of a str stays owned by it.
qvh_value read_value(PyObject *o, const std::string &label, const char *what) {
    qvh_value v{QVH_VALUE_NUM, 0.0, nullptr, 0};
    if (PyFloat_Check(o)) {
        v.num = PyFloat_AS_DOUBLE(o);
    } else if (is_missing_object(o)) {
        v.kind = QVH_VALUE_NULL;
    } else if (PyUnicode_Check(o)) {
        Py_ssize_t len = 0;
        v.kind = QVH_VALUE_TEXT;
        v.text = PyUnicode_AsUTF8AndSize(o, &len);
        v.len = static_cast<std::size_t>(len);
        if (v.text == nullptr) {
            PyErr_Clear();
            raise(PyExc_ValueError, label + ": " + what + " holds text that is not valid Unicode");
        }
    } else if (PyNumber_Check(o) && !PyComplex_Check(o)) {
        Ref x(PyNumber_Float(o));
        if (!x) {
            PyErr_Clear();
            raise(PyExc_TypeError, label + ": " + what + " holds " + shown(o) + ", which is not a number");
        }
        v.num = PyFloat_AS_DOUBLE(x.get());
    } else {
        raise(PyExc_TypeError, label + ": " + what + " holds " + shown(o) + " of type " + Py_TYPE(o)->tp_name +
                                   ", not a number or a str");
    }
    return v;
}

PyObject *item_at(PyArrayObject *a, npy_intp i) {
    PyObject *item = *reinterpret_cast<PyObject **>(PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0));
    return item == nullptr ? Py_None : item;
}

// The missing value '.' for a NaN that names none, by the host library's rule.
double dot_for_nan(double x) { return qvh_edge_result(x, nullptr); }

// The columns of a table call: 1-D arrays of float64 or of objects, of one length.
struct Table {
    std::vector<PyArrayObject *> cols;
    npy_intp rows = -1;
};

Table table_of(const Function &fn, PyObject *cols_obj) {
    Ref seq(check(PySequence_Fast(cols_obj, "the columns must be a sequence")));
    Table t;
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.get()); ++j) {
        PyObject *c = PySequence_Fast_GET_ITEM(seq.get(), j);
        const bool objects = PyArray_Check(c) && PyArray_TYPE(reinterpret_cast<PyArrayObject *>(c)) == NPY_OBJECT;
        PyArrayObject *a = as_array(c, objects ? NPY_OBJECT : NPY_DOUBLE, fn.label.c_str());
        if (PyArray_NDIM(a) != 1 || (t.rows >= 0 && PyArray_DIM(a, 0) != t.rows))
            raise(PyExc_ValueError, fn.label + ": the arguments must be columns of one length");
        t.rows = PyArray_DIM(a, 0);
        t.cols.push_back(a);
    }
    if (t.rows < 0) raise(PyExc_ValueError, fn.label + ": give at least one argument");
    return t;
}

// Row i of the table as the call's arguments, each made by the host library's rules of the edge.
// Every argument is read before the call is touched: reading one may run Python code.
void read_row(const Function &fn, const Table &t, npy_intp i, std::vector<qvh_value> &row) {
    for (std::size_t j = 0; j < t.cols.size(); ++j) {
        PyArrayObject *a = t.cols[j];
        qvh_value v{QVH_VALUE_NUM, 0.0, nullptr, 0};
        if (PyArray_TYPE(a) == NPY_DOUBLE)
            std::memcpy(&v.num, PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0), sizeof(double));
        else
            v = read_value(item_at(a, i), fn.label, ("argument " + std::to_string(j + 1)).c_str());
        if (const int rc = qvh_edge_arg(fn.info, fn.label.c_str(), j, &v, &row[j]); rc != QVH_OK) raise_host(rc);
    }
}

// One call over row; its status, with the marks of row i written when asked.
int32_t call_row(std::size_t fi, qvh_call *call, const std::vector<qvh_value> &row, PyArrayObject *marks, npy_intp i,
                 qvh_tally &tally) {
    qvh_call_clear(call);
    for (const qvh_value &a : row) {
        const int rc = a.kind == QVH_VALUE_TEXT ? qvh_call_add_str(call, a.text, a.len) : qvh_call_add_num(call, a.num);
        if (rc != QVH_OK) raise_host(rc);
    }
    if (const int rc = qvh_call_invoke(call); rc != QVH_OK) raise_host(rc);
    const int32_t st = qvh_call_status(call);
    if (qvh_status_is_memory(st)) raise_nomem(function(fi).label.c_str(), qvh_call_asked(call), 0, 0);
    bool any_marked = false;
    for (std::size_t j = 0; st != QVH_STATUS_OK && j < row.size(); ++j) {
        const bool m = qvh_call_marked(call, j) != 0;
        any_marked = any_marked || m;
        if (m && marks != nullptr) *static_cast<npy_bool *>(PyArray_GETPTR2(marks, i, static_cast<npy_intp>(j))) = NPY_TRUE;
    }
    qvh_tally_add(&tally, st, any_marked);
    return st;
}

// The result of the call into element i of out: a str for a function that gives text.
void store_result(qvh_call *call, PyArrayObject *out, npy_intp i, bool text) {
    if (!text) {
        static_cast<double *>(PyArray_DATA(out))[i] = qvh_call_result(call);
        return;
    }
    std::size_t len = 0;
    const char *s = qvh_call_result_str(call, &len);
    PyObject *str = check(PyUnicode_DecodeUTF8(s == nullptr ? "" : s, static_cast<Py_ssize_t>(len), "replace"));
    PyObject **slot = static_cast<PyObject **>(PyArray_GETPTR1(out, i));
    Py_XSETREF(*slot, str);
}

}  // namespace

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
static PyObject *missing_map(PyObject *arg, bool letters) {
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
                    x = dot_for_nan(x);
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
        x = dot_for_nan(x);
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



// objects_to_float(index, argument, label, what, objects): a float64 array of the same length from a
// 1-D array of objects, as argument `argument` of the function at index takes numbers (argument < 0:
// its values after any leading parameter; index < 0: no function, text is an error). Text follows
// the host library's rules of the edge: a missing literal ('.A') is that missing value, other text a
// TypeError. Errors name the function as label and what holds the objects ("argument 1", "the data").
PyObject *py_objects_to_float(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = -1, argument = -1;
        const char *label_s = nullptr, *what = nullptr;
        PyObject *arr = nullptr;
        if (!PyArg_ParseTuple(args, "nnssO", &index, &argument, &label_s, &what, &arr)) throw PyFail{};
        const std::string label = label_s;
        const qvh_info *info = index < 0 ? nullptr : function(function_index(index)).info;
        if (info != nullptr && argument < 0) argument = info->leading_param ? 1 : 0;
        PyArrayObject *a = as_array(arr, NPY_OBJECT, label_s);
        if (PyArray_NDIM(a) != 1) raise(PyExc_ValueError, label + ": " + what + " must be one column of objects");
        const npy_intp n = PyArray_DIM(a, 0);
        Ref out(check(PyArray_SimpleNew(1, &n, NPY_DOUBLE)));
        auto *o = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
        for (npy_intp i = 0; i < n; ++i) {
            const qvh_value v = read_value(item_at(a, i), label, what);
            qvh_value arg{QVH_VALUE_NUM, v.kind == QVH_VALUE_NULL ? qvh_dot() : v.num, nullptr, 0};
            // The host decides which text is a number here; the message names the values as the
            // caller knows them (a column, the data).
            if (v.kind == QVH_VALUE_TEXT &&
                (info == nullptr || qvh_edge_arg(info, label_s, static_cast<std::size_t>(argument), &v, &arg) != QVH_OK)) {
                char buf[64];
                qvh_escape(v.text, v.len, 40, buf, sizeof buf);
                raise(PyExc_TypeError, label + ": " + what + " holds text ('" + buf + "'), not a number");
            }
            o[i] = arg.num;
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
        if (PyArray_NDIM(a) != 1) raise(PyExc_ValueError, "qv.parse: the text must be one column of objects");
        const npy_intp n = PyArray_DIM(a, 0);
        Ref out(check(PyArray_SimpleNew(1, &n, NPY_DOUBLE)));
        auto *o = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
        for (npy_intp i = 0; i < n; ++i) {
            const qvh_value v = read_value(item_at(a, i), "qv.parse", "the values");
            o[i] = v.kind == QVH_VALUE_NULL ? qvh_dot() : dot_for_nan(v.num);
            if (v.kind != QVH_VALUE_TEXT) continue;
            std::string_view t(v.text, v.len);
            while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
            while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
            if (t.empty()) {
                o[i] = qvh_dot();
            } else if (qvh_parse_number(t.data(), t.size(), &o[i]) != 1) {
                char buf[64];
                qvh_escape(v.text, v.len, 40, buf, sizeof buf);
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
        const Table t = table_of(fn, cols_obj);
        npy_intp rows = t.rows;
        const bool text_result = fn.info->result_kind == QVH_KIND_CHR;
        Ref out(check(PyArray_SimpleNew(1, &rows, text_result ? NPY_OBJECT : NPY_DOUBLE)));
        Ref statuses, marks;
        if (want_status) {
            statuses = Ref(check(PyArray_SimpleNew(1, &rows, NPY_INT32)));
            npy_intp dims[2] = {rows, static_cast<npy_intp>(t.cols.size())};
            marks = Ref(check(PyArray_ZEROS(2, dims, NPY_BOOL, 0)));
        }
        qvh_call *call = thread_call(fi);
        const KeepWarm warm{call};
        qvh_tally tally{};
        std::vector<qvh_value> row(t.cols.size());
        for (npy_intp i = 0; i < rows; ++i) {
            read_row(fn, t, i, row);
            const int32_t st = call_row(fi, call, row, reinterpret_cast<PyArrayObject *>(marks.get()), i, tally);
            if (want_status) static_cast<int32_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(statuses.get())))[i] = st;
            store_result(call, reinterpret_cast<PyArrayObject *>(out.get()), i, text_result);
        }
        Ref tt(check(tally_tuple(tally)));
        return check(Py_BuildValue("(OOOO)", out.get(), tt.get(), statuses ? statuses.get() : Py_None,
                                   marks ? marks.get() : Py_None));
    });
}

PyObject *py_dot(PyObject *, PyObject *) { return PyFloat_FromDouble(qvh_dot()); }

}  // namespace qvpy

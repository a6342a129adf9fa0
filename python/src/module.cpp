// qvewumth._core: the package opened through the host library, its catalogue, each thread's calls
// and the module's table of entry points (values.cpp, status.cpp, ufunc.cpp, rows.cpp, groups.cpp,
// windows.cpp hold them). The Python layer (qvewumth/__init__.py) makes the functions users call
// out of what this module reports.
#define QVPY_IMPORTS_NUMPY
#include "qvpy.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <new>
#include <sys/mman.h>

namespace qvpy {

qvh_package *package = nullptr;

namespace {

std::vector<Function> catalogue;

// ---- memory -------------------------------------------------------------------------------
// Everything the host library keeps for calls and aggregates comes from the C library's heap;
// a test can make it refuse after a number of further requests, to see how a surface reports a
// memory failure.
std::atomic<long long> refuse_after{-1};

// The bytes the host library holds for this thread (its calls' warm memory while no entry runs),
// and the most the calls may keep between entries.
thread_local long long held = 0;
std::atomic<long long> warm_limit{32LL << 20};

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
    if (p == nullptr) return refused(size);
    held += static_cast<long long>(size);
    return p;
}
void *qv_resize(void *, void *block, std::size_t old_size, std::size_t new_size) {
    if (refuse_after.load(std::memory_order_relaxed) == 0) return refused(new_size);
    void *p = std::realloc(block, new_size == 0 ? 1 : new_size);
    if (p == nullptr) return refused(new_size);
    held += static_cast<long long>(new_size) - static_cast<long long>(old_size);
    return p;
}
void qv_release(void *, void *block, std::size_t size) {
    held -= static_cast<long long>(size);
    std::free(block);
}

// Calls of this thread, by function, made on first use and freed when the thread ends.
struct ThreadCalls {
    std::vector<qvh_call *> calls;
    ~ThreadCalls() {
        for (qvh_call *c : calls) qvh_call_free(c);
    }
};
thread_local ThreadCalls thread_calls;

// This thread's block of values for the next entry (thread_values). Its doubles are not zeroed
// (every entry writes what it reads), and a large block is asked to be mapped in huge pages, as
// NumPy maps its arrays: its first writes, scattered over the block by group, then fault in 2 MiB
// at a time instead of 4 KiB.
class KeptValues {
public:
    ~KeptValues() { release(); }
    std::size_t size() const { return n_; }
    double *data() const { return data_; }
    void release() noexcept {
        std::free(data_);
        data_ = nullptr;
        n_ = 0;
    }
    // Room for n doubles, the block before it given back first; std::bad_alloc when refused.
    double *reserve(std::size_t n) {
        if (n <= n_) return data_;
        release();
        if (n > SIZE_MAX / sizeof(double) - HUGE_PAGE) throw std::bad_alloc();
        std::size_t bytes = std::max<std::size_t>(n, 1) * sizeof(double);
        void *p = nullptr;
        if (bytes >= 2 * HUGE_PAGE) {
            bytes = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
            p = std::aligned_alloc(HUGE_PAGE, bytes);
#ifdef MADV_HUGEPAGE
            if (p != nullptr) madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without it, small pages
#endif
        } else {
            p = std::malloc(bytes);
        }
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<double *>(p);
        n_ = n;
        return data_;
    }

private:
    static constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
    double *data_ = nullptr;
    std::size_t n_ = 0;
};
thread_local KeptValues kept_values;


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


// Gives back what this thread's calls keep between calls (argument lists, scratch blocks).
PyObject *py_release_memory(PyObject *, PyObject *) {
    kept_values.release();
    for (qvh_call *c : thread_calls.calls)
        if (c != nullptr) qvh_call_trim(c);
    Py_RETURN_NONE;
}

// set_warm_limit(bytes): the most this process's threads' calls keep between calls, each thread
// for itself (0: nothing); returns the bound before.
PyObject *py_set_warm_limit(PyObject *, PyObject *arg) {
    return guard([&] {
        const long long n = PyLong_AsLongLong(arg);
        if (n == -1 && PyErr_Occurred()) throw PyFail{};
        if (n < 0) raise(PyExc_ValueError, "qv.set_warm_limit: the bound is a number of bytes, 0 or more");
        return check(PyLong_FromLongLong(warm_limit.exchange(n)));
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

}  // namespace

// ---- shared with the other source files ---------------------------------------------------

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
            if ((*rc = qvh_call_set_label(call, catalogue[index].label.c_str())) != QVH_OK ||
                (*rc = qvh_call_set_interrupt(call, python_interrupted, nullptr)) != QVH_OK) {
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

void settle(qvh_call *used) noexcept {
    const long long limit = warm_limit.load(std::memory_order_relaxed);
    if (held <= limit) return;
    // The calls used before it give their memory back first: the one just used is the likeliest to
    // be used again (a loop over columns, a benchmark), and keeps its own while that is in bound.
    for (qvh_call *c : thread_calls.calls)
        if (held > limit && c != nullptr && c != used) qvh_call_trim(c);
    if (held > limit && used != nullptr) qvh_call_trim(used);
#ifdef __GLIBC__
    // Blocks under the C library's mapping threshold go back to its heap, not to the system.
    malloc_trim(0);
#endif
}

double *thread_values(std::size_t n) {
    if (kept_values.size() < n) {
        note_request(n * sizeof(double));
        kept_values.reserve(n);
        note_request(0);
    }
    return kept_values.data();
}

void settle_values() noexcept {
    if (static_cast<long long>(kept_values.size() * sizeof(double)) > warm_limit.load(std::memory_order_relaxed))
        kept_values.release();
}

qvh_call *thread_call(std::size_t index) {
    int rc = QVH_OK;
    qvh_call *call = thread_call(index, &rc);
    if (call == nullptr) raise_host(rc);
    return call;
}

PyArrayObject *as_array(PyObject *o, int type, const char *what) {
    if (!PyArray_Check(o) || PyArray_TYPE(reinterpret_cast<PyArrayObject *>(o)) != type ||
        !PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject *>(o)) || !PyArray_ISALIGNED(reinterpret_cast<PyArrayObject *>(o)))
        raise(PyExc_TypeError, std::string(what) + ": the values must be an array of " +
                                   (type == NPY_DOUBLE ? "float64" : type == NPY_OBJECT ? "objects" : "int64") +
                                   " in the machine's byte order, aligned");
    return reinterpret_cast<PyArrayObject *>(o);
}
// Defined in values.cpp, status.cpp, ufunc.cpp, rows.cpp, groups.cpp and windows.cpp.
PyObject *py_missing(PyObject *, PyObject *);
PyObject *py_missing_flags(PyObject *, PyObject *);
PyObject *py_missing_letters(PyObject *, PyObject *);
PyObject *py_format_value(PyObject *, PyObject *);
PyObject *py_set_missing_objects(PyObject *, PyObject *);
PyObject *py_objects_to_float(PyObject *, PyObject *);
PyObject *py_parse_text(PyObject *, PyObject *);
PyObject *py_call_table(PyObject *, PyObject *);
PyObject *py_dot(PyObject *, PyObject *);
PyObject *py_status_name(PyObject *, PyObject *);
PyObject *py_status_is_memory(PyObject *, PyObject *);
PyObject *py_describe_tally(PyObject *, PyObject *);
PyObject *py_ufunc(PyObject *, PyObject *);
PyObject *py_loop_tally(PyObject *, PyObject *);
PyObject *py_reduce(PyObject *, PyObject *);
PyObject *py_percentiles(PyObject *, PyObject *);
PyObject *py_group_stats(PyObject *, PyObject *);
PyObject *py_int_group_codes(PyObject *, PyObject *);
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
    {"describe_tally", py_describe_tally, METH_VARARGS, "The host library's summary of a tally."},
    {"dot", py_dot, METH_NOARGS, "The missing value '.'."},
    {"missing", py_missing, METH_O, "The missing value a letter names."},
    {"missing_flags", py_missing_flags, METH_O, "Whether each element of a float64 array is missing."},
    {"missing_letters", py_missing_letters, METH_O, "The letter of each missing element ('' for numbers)."},
    {"format_value", py_format_value, METH_O, "A number in its shortest form, or its missing literal."},
    {"set_missing_objects", py_set_missing_objects, METH_O, "Objects read as '.' besides None."},
    {"release_memory", py_release_memory, METH_NOARGS, "Give back what this thread's calls keep between calls."},
    {"set_warm_limit", py_set_warm_limit, METH_O, "Bound what each thread's calls keep between calls (bytes); returns the bound before."},
    {"refuse_memory", py_refuse_memory, METH_O, "Refuse memory to the host library after n more requests (-1: never)."},
    {"check_args", py_check_args, METH_VARARGS, "Check a number and kinds of arguments against the catalogue."},
    {"objects_to_float", py_objects_to_float, METH_VARARGS, "A 1-D object array as float64, missing values as '.'."},
    {"parse_text", py_parse_text, METH_O, "A 1-D object array read as numbers, text as the command line reads it."},
    {"call_table", py_call_table, METH_VARARGS, "One call per row over columns of equal length."},
    {"ufunc", py_ufunc, METH_VARARGS, "The NumPy ufunc of an elementwise function."},
    {"loop_tally", py_loop_tally, METH_NOARGS, "This thread's running count of ufunc elements by status."},
    {"reduce", py_reduce, METH_VARARGS, "One call per row over the last axis of a float64 array."},
    {"percentiles", py_percentiles, METH_VARARGS, "Several percentiles of one float64 list from one ordering."},
    {"group_stats", py_group_stats, METH_VARARGS, "One call per group over its values in row order."},
    {"int_group_codes", py_int_group_codes, METH_O, "Each row's group and the distinct keys of an int64 column."},
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
        note_main_thread();
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
                         {"FOLD_COUNT", QVH_FOLD_COUNT},
                         {"ANY_COUNT", QVH_ANY_COUNT}};
        for (const auto &c : constants)
            if (PyModule_AddIntConstant(m.get(), c.name, c.value) != 0) throw PyFail{};
        return m.release();
    });
}

// Statuses and failures as Python sees them: the exception of each host return code, the tally
// record, and out of memory in the host library's one wording.
#include "qvpy.hpp"

#include <atomic>

namespace qvpy {

namespace {

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

}  // namespace

thread_local MemoryNote memory_note;

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw PyFail{};
}

void raise_host(int rc) {
    if (rc == QVH_E_INTERRUPTED) {
        // The interrupt check ran Python's signal handlers: their exception (KeyboardInterrupt)
        // is the one to raise.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw PyFail{};
    }
    const char *msg = qvh_errmsg();
    raise(exception_of(rc), msg != nullptr && *msg != '\0' ? msg : qvh_rc_name(rc));
}

void set_memory_error() noexcept {
    char buf[256];
    qvh_nomem_message(memory_note.label, 0, 0, memory_note.bytes, buf, sizeof buf);
    PyErr_Clear();
    PyErr_SetString(PyExc_MemoryError, buf);
}

void raise_nomem(const char *label, std::size_t asked, uint64_t row, uint64_t rows) {
    char buf[256];
    qvh_nomem_message(label, row, rows, asked, buf, sizeof buf);
    PyErr_SetString(PyExc_MemoryError, buf);
    throw PyFail{};
}

namespace {
std::atomic<unsigned long> main_thread{0};
}  // namespace

void note_main_thread() {
    Ref threading(check(PyImport_ImportModule("threading")));
    Ref main(check(PyObject_CallMethod(threading.get(), "main_thread", nullptr)));
    Ref ident(check(PyObject_GetAttrString(main.get(), "ident")));
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PyFail{};
    main_thread.store(id);
}

int python_interrupted(void *) noexcept {
    // Signals reach Python's main thread only; another thread, a daemon one in particular, must not
    // take the lock while the interpreter exits (it would be ended on the spot).
    if (PyThread_get_thread_ident() != main_thread.load() || _Py_IsFinalizing()) return 0;
    const PyGILState_STATE state = PyGILState_Ensure();
    const int raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

PyObject *tally_tuple(const qvh_tally &t) {
    return Py_BuildValue("(KKKKKK)", static_cast<unsigned long long>(t.rows), static_cast<unsigned long long>(t.missing_arg),
                         static_cast<unsigned long long>(t.invalid_arg), static_cast<unsigned long long>(t.not_a_number),
                         static_cast<unsigned long long>(t.other), static_cast<unsigned long long>(t.marked));
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

// describe_tally(label, tally): the summary the host library words for a tally (the tuple of
// tally_tuple), as every surface shows it.
PyObject *py_describe_tally(PyObject *, PyObject *args) {
    return guard([&] {
        const char *label = nullptr;
        unsigned long long v[6] = {};
        if (!PyArg_ParseTuple(args, "s(KKKKKK)", &label, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5])) throw PyFail{};
        const qvh_tally t{v[0], v[1], v[2], v[3], v[4], v[5]};
        char buf[512];
        qvh_tally_describe(&t, label, buf, sizeof buf);
        return check(PyUnicode_FromString(buf));
    });
}

}  // namespace qvpy

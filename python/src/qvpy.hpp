// The Python extension module qvewumth._core: what its source files share.
//
// Every entry point Python calls goes through guard(), so no C++ exception ever reaches the
// interpreter: a Python error set on the way (PyFail) returns NULL, an allocation failure becomes
// MemoryError. Long loops run without the interpreter lock (NoGil) and touch no Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL qvewumth_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL qvewumth_UFUNC_API
#ifndef QVPY_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cxxabi.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qvhost.h"

namespace qvpy {

// A Python exception is set; the entry point returns NULL.
struct PyFail {};

// An owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *o) : o_(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&r) noexcept : o_(r.release()) {}
    Ref &operator=(Ref &&r) noexcept {
        PyObject *old = std::exchange(o_, r.release());
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    PyObject *get() const { return o_; }
    PyObject *release() { return std::exchange(o_, nullptr); }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject *o_ = nullptr;
};

// A new reference that must not be NULL (a Python error is set when it is).
inline PyObject *check(PyObject *o) {
    if (o == nullptr) throw PyFail{};
    return o;
}

// The interpreter lock released for the life of the object, taken back even when an exception
// leaves the scope. A thread that takes the lock back while the interpreter exits is ended there
// by the C library's thread exit, which unwinds through this destructor: it must let that pass.
class NoGil {
public:
    NoGil() : state_(PyEval_SaveThread()) {}
    NoGil(const NoGil &) = delete;
    NoGil &operator=(const NoGil &) = delete;
    ~NoGil() noexcept(false) { PyEval_RestoreThread(state_); }

private:
    PyThreadState *state_;
};

// What the running entry point works for and the last amount of memory it asked for, so that a
// MemoryError says which call ran out and how much it wanted.
struct MemoryNote {
    const char *label = "qvewumth";
    std::size_t bytes = 0;
};
extern thread_local MemoryNote memory_note;
// Records a request of bytes before it is made.
inline void note_request(std::size_t bytes) noexcept { memory_note.bytes = bytes; }
// Sets MemoryError with the note's text: "qv.median: out of memory asking for 80000000 bytes".
void set_memory_error() noexcept;

[[noreturn]] void raise(PyObject *type, const std::string &message);
// Raises the Python exception of a host library return code with the host's message.
[[noreturn]] void raise_host(int rc);
// MemoryError in the host library's wording: which call ran out, how much it asked for (0: not
// known), in which row of how many (0: not a batch).
[[noreturn]] void raise_nomem(const char *label, std::size_t asked, uint64_t row, uint64_t rows);

// Not noexcept: the unwinding that ends a thread at interpreter exit (see NoGil) passes through.
template <class F>
PyObject *guard(F &&f) {
    try {
        memory_note = MemoryNote{};
        PyObject *r = f();
        // NumPy and Python raise a bare MemoryError when they cannot allocate for us.
        if (r == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) set_memory_error();
        return r;
    } catch (const PyFail &) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) set_memory_error();
        return nullptr;
    } catch (const std::bad_alloc &) {
        set_memory_error();
        return nullptr;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "qvewumth: unexpected failure");
        return nullptr;
    }
}

// The package opened when the module was imported; it stays open for the life of the process.
extern qvh_package *package;

// A function of the catalogue as Python shows it: "qv.pctl" in every message.
struct Function {
    const qvh_info *info;
    std::string label;
};
const Function &function(std::size_t index);
// The function at index as given by Python; IndexError when there is none.
std::size_t function_index(Py_ssize_t index);

// This thread's call of the function at index (each thread has its own, made on first use); NULL
// with the host's return code in *rc when it cannot be made.
qvh_call *thread_call(std::size_t index, int *rc) noexcept;
// The same, raising the Python error.
qvh_call *thread_call(std::size_t index);

// What this thread's calls keep for the next call is bounded (qv.set_warm_limit): once an entry is
// done with its call and the thread holds more than the bound, the thread's other calls give back
// what they keep, and then the call itself if that is not enough.
void settle(qvh_call *used) noexcept;
// Settles the call when the entry is done with it, however the entry ends.
struct KeepWarm {
    qvh_call *call;
    explicit KeepWarm(qvh_call *c) : call(c) {}
    KeepWarm(const KeepWarm &) = delete;
    KeepWarm &operator=(const KeepWarm &) = delete;
    ~KeepWarm() { settle(call); }
};

// A block of n doubles that this thread keeps for its next entry while the block is within the warm
// limit (qv.set_warm_limit; qv.release_memory gives it back), so that a large block is not mapped
// and faulted in afresh by every entry: the values of a table in group order. One user at a time.
double *thread_values(std::size_t n);
// Gives the block back when it is over the warm limit.
void settle_values() noexcept;
// Settles the block when the entry is done with it, however the entry ends.
struct KeepValues {
    KeepValues() = default;
    KeepValues(const KeepValues &) = delete;
    KeepValues &operator=(const KeepValues &) = delete;
    ~KeepValues() { settle_values(); }
};

// An interrupt check for long work run without the interpreter lock: takes the lock back only to
// let Python run its signal handlers (Ctrl-C), and is non-zero when one raised (the exception,
// KeyboardInterrupt, is then set for when the lock is back). Never while the interpreter exits.
int python_interrupted(void *) noexcept;
// Notes which thread is Python's main thread: the only one that sees signals, so the only one the
// check takes the lock for.
void note_main_thread();

// A tally as Python reads it: (calls, missing argument, invalid argument, not a number, other,
// marked), the fields of qvewumth's Tally record.
PyObject *tally_tuple(const qvh_tally &t);

// The flags an aggregate of the function needs so that its partial states merge in order and a
// window can drop its first value.
inline unsigned merge_flags(const qvh_info &f) { return f.merge == QVH_MERGE_VALUES ? QVH_AGG_KEEP_VALUES : 0u; }

// The numeric array behind o: a NumPy array of float64 (any strides) or of objects, as asked;
// TypeError otherwise (the Python layer converts everything before it gets here).
PyArrayObject *as_array(PyObject *o, int type, const char *what);

}  // namespace qvpy

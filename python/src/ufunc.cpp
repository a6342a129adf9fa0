// NumPy ufuncs of the elementwise functions: NumPy broadcasts, casts to float64, honours out= and
// where=, and hands each inner loop to the host library's batch call, one call per element.
//
// A loop cannot raise, and may run without the interpreter lock, so it counts statuses and memory
// failures in a record of its thread; the Python layer reads the record before and after the
// ufunc and turns the difference into its warning or exception.
#include "qvpy.hpp"

#include <algorithm>
#include <cfenv>
#include <cstdio>
#include <cstring>
#include <deque>

namespace qvpy {

namespace {

constexpr int MAX_NIN = 8;
// Rows a loop with status outputs calls at once before copying the statuses and marks out.
constexpr std::size_t CHUNK = 1024;

struct UfuncData {
    std::size_t index = 0;
    int nin = 0;
    bool with_status = false;
    PyUFuncGenericFunction funcs[1] = {nullptr};
    void *data[1] = {nullptr};
    std::vector<char> types;
};
// NumPy keeps pointers into these for the life of the ufuncs, which is the life of the process.
std::deque<UfuncData> ufuncs;

struct LoopRecord {
    qvh_tally tally{};
    uint64_t failures = 0;
    char message[256] = "";
};
thread_local LoopRecord loop_record;

void fill_missing(char *out, npy_intp n, npy_intp step) noexcept {
    const double dot = qvh_dot();
    for (npy_intp i = 0; i < n; ++i) std::memcpy(out + i * step, &dot, sizeof dot);
}

// A loop that could not compute: its results are '.', and the Python layer raises with the
// message (out of memory in the host library's wording).
void fail_loop(char *out, npy_intp n, npy_intp step, int rc, const qvh_call *call, std::size_t index) noexcept {
    fill_missing(out, n, step);
    if (rc == QVH_E_NOMEM)
        qvh_nomem_message(function(index).label.c_str(), 0, 0, call != nullptr ? qvh_call_asked(call) : 0,
                          loop_record.message, sizeof loop_record.message);
    else
        std::snprintf(loop_record.message, sizeof loop_record.message, "%s", qvh_errmsg());
    ++loop_record.failures;
}

// The rows of a batch counted into this thread's record.
int call_rows(qvh_call *call, std::size_t rows, std::size_t nargs, const double *const *args, const ptrdiff_t *strides,
              double *out, ptrdiff_t out_stride, int32_t *statuses, unsigned char *marks) noexcept {
    qvh_tally t{};
    const int rc = qvh_call_rows(call, rows, nargs, args, strides, out, out_stride, statuses, marks, &t);
    qvh_tally_merge(&loop_record.tally, &t);
    return rc;
}

void run_loop(char **args, const npy_intp *dims, const npy_intp *steps, const UfuncData &u) noexcept {
    const npy_intp n = dims[0];
    const int nin = u.nin;
    char *out = args[nin];
    int rc = QVH_OK;
    qvh_call *call = thread_call(u.index, &rc);
    if (call == nullptr) return fail_loop(out, n, steps[nin], rc, nullptr, u.index);
    const double *in[MAX_NIN];
    ptrdiff_t stride[MAX_NIN];
    for (int j = 0; j < nin; ++j) {
        in[j] = reinterpret_cast<const double *>(args[j]);
        stride[j] = steps[j];
    }
    if (!u.with_status) {
        rc = call_rows(call, static_cast<std::size_t>(n), static_cast<std::size_t>(nin), in, stride,
                       reinterpret_cast<double *>(out), steps[nin], nullptr, nullptr);
        if (rc != QVH_OK) fail_loop(out, n, steps[nin], rc, call, u.index);
        return;
    }
    // Outputs: the result, the status (int32) and one mark (bool) per argument.
    int32_t statuses[CHUNK];
    unsigned char marks[CHUNK * MAX_NIN];
    for (npy_intp done = 0; done < n;) {
        const std::size_t m = static_cast<std::size_t>(std::min<npy_intp>(static_cast<npy_intp>(CHUNK), n - done));
        const double *at[MAX_NIN];
        for (int j = 0; j < nin; ++j) at[j] = reinterpret_cast<const double *>(args[j] + done * steps[j]);
        rc = call_rows(call, m, static_cast<std::size_t>(nin), at, stride,
                       reinterpret_cast<double *>(out + done * steps[nin]), steps[nin], statuses, marks);
        if (rc != QVH_OK) return fail_loop(out, n, steps[nin], rc, call, u.index);
        for (std::size_t i = 0; i < m; ++i) {
            const npy_intp row = done + static_cast<npy_intp>(i);
            std::memcpy(args[nin + 1] + row * steps[nin + 1], &statuses[i], sizeof(int32_t));
            for (int j = 0; j < nin; ++j)
                *reinterpret_cast<npy_bool *>(args[nin + 2 + j] + row * steps[nin + 2 + j]) =
                    marks[i * static_cast<std::size_t>(nin) + static_cast<std::size_t>(j)] ? NPY_TRUE : NPY_FALSE;
        }
        done += static_cast<npy_intp>(m);
    }
}

// The package's arithmetic leaves floating-point flags behind as any computation does; NumPy
// would report them as its own warnings after the loop. The flags are put back as they were, so
// only a loop that failed leaves one (FE_INVALID).
void loop(char **args, const npy_intp *dims, const npy_intp *steps, void *data) noexcept {
    std::fexcept_t flags;
    std::fegetexceptflag(&flags, FE_ALL_EXCEPT);
    const uint64_t failures = loop_record.failures;
    run_loop(args, dims, steps, *static_cast<const UfuncData *>(data));
    std::fesetexceptflag(&flags, FE_ALL_EXCEPT);
    if (loop_record.failures != failures) std::feraiseexcept(FE_INVALID);
}

}  // namespace

// ufunc(index, nin, with_status): the function of nin numbers as a ufunc giving float64, or with
// with_status its result, its int32 status and one bool mark per argument.
PyObject *py_ufunc(PyObject *, PyObject *args) {
    return guard([&] {
        Py_ssize_t index = 0;
        int nin = 0, with_status = 0;
        if (!PyArg_ParseTuple(args, "nip", &index, &nin, &with_status)) throw PyFail{};
        const std::size_t fi = function_index(index);
        const Function &fn = function(fi);
        if (nin < 1 || nin > MAX_NIN) raise(PyExc_ValueError, fn.label + ": a ufunc takes 1 to 8 arguments");
        if (const int rc = qvh_check_args(fn.info, fn.label.c_str(), static_cast<std::size_t>(nin), nullptr); rc != QVH_OK)
            raise_host(rc);
        UfuncData &u = ufuncs.emplace_back();
        u.index = fi;
        u.nin = nin;
        u.with_status = with_status != 0;
        u.funcs[0] = loop;
        u.data[0] = &u;
        u.types.assign(static_cast<std::size_t>(nin) + 1, static_cast<char>(NPY_DOUBLE));
        if (u.with_status) {
            u.types.push_back(static_cast<char>(NPY_INT32));
            u.types.insert(u.types.end(), static_cast<std::size_t>(nin), static_cast<char>(NPY_BOOL));
        }
        const int nout = u.with_status ? 2 + nin : 1;
        return check(PyUFunc_FromFuncAndData(u.funcs, u.data, u.types.data(), 1, nin, nout, PyUFunc_None,
                                             fn.label.c_str(), fn.info->summary, 0));
    });
}

// This thread's running counts: (tally, failures, the message of the last failure).
PyObject *py_loop_tally(PyObject *, PyObject *) {
    return guard([&] {
        Ref t(check(tally_tuple(loop_record.tally)));
        return check(Py_BuildValue("(OKs)", t.get(), static_cast<unsigned long long>(loop_record.failures),
                                   loop_record.message));
    });
}

}  // namespace qvpy

// What the statistics over many lists share (along an axis, per group, over moving windows, and
// the saved aggregate states of a distributed table): the result arrays, the outcome of a loop
// run without the interpreter lock, aggregates, and the order of rows by group.
#pragma once

#include "qvpy.hpp"

#include <string>

namespace qvpy {

// What a loop without the interpreter lock ran into, raised once the lock is back. asked is what
// the failing request wanted (0: not known), row and rows where it happened (0: not a batch).
struct Outcome {
    int rc = QVH_OK;
    int32_t memory_status = QVH_STATUS_OK;
    std::size_t asked = 0;
    uint64_t row = 0, rows = 0;
    bool interrupted = false;
    std::size_t work = 0;  // values of work since the last interrupt check
    // Counts n values of work; checks for an interrupt as often as the host library checks its
    // own loops (between many short calls it sees none). false: stop.
    bool go_on(std::size_t n) {
        if ((work += n) < QVH_CHECK_EVERY) return true;
        work = 0;
        interrupted = python_interrupted(nullptr) != 0;
        return !interrupted;
    }
    void raise_if_failed(std::size_t index) const;
    bool failed() const { return rc != QVH_OK || memory_status != QVH_STATUS_OK || interrupted; }
};

// An aggregate of the function at index, freed with the object.
class Agg {
public:
    Agg(std::size_t index, unsigned flags);
    Agg(const Agg &) = delete;
    Agg &operator=(const Agg &) = delete;
    ~Agg() { qvh_agg_free(agg_); }
    qvh_agg *get() const { return agg_; }

private:
    qvh_agg *agg_ = nullptr;
};

// A leading parameter given from Python: None is none.
double optional_param(PyObject *o, bool &has);

// An array the caller fills in full (results, statuses) or, zeroed, in part (marks).
PyArrayObject *new_array(int nd, const npy_intp *dims, int type, bool zeroed = false);

template <class T>
T *data_of(const Ref &r) {
    return r ? static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(r.get()))) : nullptr;
}

// One result a list, and when asked one status a list: the arrays a statistic over n lists fills.
struct Results {
    Ref out, statuses;
    Results(npy_intp n, bool want_status);
    double *values() const { return data_of<double>(out); }
    int32_t *status() const { return data_of<int32_t>(statuses); }
    // (results, tally, statuses or None)
    PyObject *tuple(const qvh_tally &tally) const;
};

// One call over p (when given) and the n values at xs, stride bytes apart, read in place: its
// result, status and marks written for one list. false when the host failed (o says why).
bool call_one(qvh_call *call, bool has_param, double p, const double *xs, std::size_t n, npy_intp stride, double *out,
              int32_t *statuses, npy_bool *marks, qvh_tally &tally, Outcome &o);

// The result of an aggregate into out and, when asked, its status; false when the host failed or
// ran out of memory (o says which).
bool agg_result(qvh_agg *agg, double &out, int32_t *status, qvh_tally &tally, Outcome &o);

// The rows of each group: order[start[g] .. start[g + 1]) are the rows of group g in row order.
// Rows of group -1 belong to none.
struct Groups {
    std::vector<std::size_t> start, order;
};
// The groups of rows from the int64 group codes (one per row, negative for none); ValueError naming
// fn for codes of another length or out of range.
Groups group_rows(const Function &fn, PyObject *codes_obj, npy_intp rows, npy_intp ngroups);
// The values of a 1-D float64 column side by side by group, each group's in row order: group g's
// are values[start[g] .. start[g + 1]), in the thread's block of values (thread_values): the entry
// holds a KeepValues while it uses them.
struct GroupedValues {
    std::vector<std::size_t> start;
    const double *values = nullptr;
};
GroupedValues group_values(const Function &fn, PyObject *codes_obj, PyArrayObject *values, npy_intp ngroups);
// Every row in one group.
Groups one_group(npy_intp rows);

// A 1-D float64 column of values (rows < 0: any length).
PyArrayObject *column(const Function &fn, PyObject *o, npy_intp rows);

}  // namespace qvpy

"""List functions along axes, as NumPy's reductions: qv.median(a, axis=1), qv.pctl(df, [10, 90]).

Each list (a row along the axis) is one call of the function over its values in order, after
the leading parameter where the function has one. Masked arrays give masked results where all
of a list is masked; a DataFrame gives one result per column (a Series, or a DataFrame for
several parameters, as DataFrame.quantile).
"""

import numbers

import numpy as np

from . import _core, _values
from ._status import NO_CALLS, QvResult, Tally, report

NO_PARAM = object()


class Binder:
    """The arguments of a list function: (a, [lead,] axis=None, keepdims=False, out=None,
    status=False), positional or by name, checked as Python checks a def's."""

    def __init__(self, label, lead_name):
        self.label, self.lead = label, lead_name
        self.names = ([lead_name] if lead_name else []) + ["axis", "keepdims", "out", "status"]

    def __call__(self, args, kwargs):
        if len(args) > len(self.names):
            raise TypeError(f"{self.label}() takes at most {len(self.names) + 1} arguments ({len(args) + 1} given)")
        got = dict(zip(self.names, args))
        for key, value in kwargs.items():
            if key not in self.names:
                raise TypeError(f"{self.label}() got an unexpected keyword argument {key!r}")
            if key in got:
                raise TypeError(f"{self.label}() got multiple values for argument {key!r}")
            got[key] = value
        if self.lead and self.lead not in got:
            raise TypeError(f"{self.label}() missing its argument {self.lead!r}")
        keepdims = _values.check_flag(got.get("keepdims", False), "keepdims", self.label)
        status = _values.check_flag(got.get("status", False), "status", self.label)
        return got.get(self.lead, NO_PARAM), got.get("axis"), keepdims, got.get("out"), status


def check_order(label, lead, args):
    """TypeError for a list statistic called with a single value first and more after it: the
    parameter before the data (qv.pctl(90, x)), or the values one by one (qv.mean(1, 2, 3))."""
    if lead and np.ndim(args[0]) > 0:
        raise TypeError(f"{label}: the data comes first, then {lead}: {label}(x, {lead}), as numpy.percentile(x, q) "
                        f"takes them; this call gave a single value, then an array")
    rest = args[1:] if lead else args
    if any(isinstance(v, (str, numbers.Number)) and not isinstance(v, (bool, np.bool_)) for v in rest):
        then = f", then {lead}" if lead else ""
        raise TypeError(f"{label} takes its values as one array{then}: {label}(x{', ' + lead if lead else ''}) with x "
                        "a list or an array (a 2-D array with axis=1 for one call per row), not the values one by one")


def calling(entry, lead_name):
    """The docstring's paragraph on calling a list function from Python."""
    label, name = entry["label"], entry["catalogue_usage"].split("(")[0]
    text = entry["first_kind"] == _core.KIND_CHR or entry["rest_kind"] == _core.KIND_CHR
    what = "strings" if text else "values"
    if lead_name:
        head = (f"In Python: {label}(a, {lead_name}, axis=None, keepdims=False) computes {name}({lead_name}, x1, ...) "
                f"over the {what} of a along axis, as numpy.percentile(a, q, axis) does: {lead_name} comes after "
                f"the data. axis=None takes every value, axis=1 each row. An array of {lead_name} gives one result "
                f"per {lead_name}, stacked in front.")
    else:
        head = (f"In Python: {label}(a, axis=None, keepdims=False) computes {name}(x1, ...) over the {what} of a "
                "along axis, as NumPy's reductions do: axis=None takes every value, axis=1 each row.")
    return head + (" The values of each list are passed in order. NaN, None and pandas.NA are '.', and so are "
                   "the masked entries of a masked array (the result is masked where a whole list is). A pandas "
                   "DataFrame gives one value per column, a Series indexed by the columns (axis=1: one per row; "
                   "several parameters: a DataFrame, as DataFrame.quantile). A status other than ok warns "
                   "(QvWarning) once per call; status=True returns QvResult(result, status, marks).")


def reduce(entry, a, p, axis, keepdims, out, status, stacklevel):
    """The list function of entry over a along axis (see the functions' docstrings)."""
    label = entry["label"]
    if _values.is_dask(a):
        return _values.dask_surface().reduction(entry, a, p, axis, keepdims)
    a, axis, wrap = _unwrap(entry, a, p, axis)
    mask = np.ma.getmaskarray(a) if isinstance(a, np.ma.MaskedArray) else None
    text = entry["first_kind"] == _core.KIND_CHR or entry["rest_kind"] == _core.KIND_CHR
    if text:
        a = _values.object_array(a)
    elif not (type(a) is np.ndarray and a.dtype == _values.F64 and a.flags.aligned):
        a = _values.number_array(a, entry, "the data")
    if a.ndim == 0:
        a, mask = a.reshape(1), None if mask is None else mask.reshape(1)
    axes = tuple(range(a.ndim)) if axis is None else _values.normalize_axes(axis, a.ndim, label)
    res, sts, mks, tally = _over_params(entry, _lists(a, axes), p, text, status)
    if keepdims:
        lead = res.ndim - (a.ndim - len(axes))
        res = np.expand_dims(res, tuple(lead + ax for ax in sorted(axes)))
    if mask is not None:
        res = _mask_result(res, mask, axes, keepdims)
    if out is not None:
        if np.shape(out) != np.shape(res):
            raise ValueError(f"{label}: out= has shape {np.shape(out)}, the result {np.shape(res)}")
        np.copyto(out, res)
        res = out
    elif res.ndim == 0:
        res = res[()]
    if status:
        return QvResult(wrap(res), sts, mks)
    report(label, tally, stacklevel + 1)  # stacklevel: frames up to the user
    return wrap(res)


def _unwrap(entry, a, p, axis):
    """a as an array, the axis to take for it, and what puts a result back into a's form."""
    pd = _values.pandas()
    several = p is not NO_PARAM and np.ndim(p) > 0
    if pd is not None and isinstance(a, pd.DataFrame):
        frame, axis = a, 0 if axis is None else axis
        a = _values.frame_values(frame, entry)
        ax = _values.normalize_axes(axis, 2, entry["label"])
        if len(ax) == 1:
            index = frame.index if ax[0] == 1 else frame.columns
            return a, axis, _frame_wrap(pd, index, list(np.ravel(p)) if several else None, entry)
        return a, axis, _values.identity
    if pd is not None and isinstance(a, (pd.Series, pd.Index)):
        name = getattr(a, "name", None)
        if several and np.ndim(p) == 1:
            return _values.pandas_values(a), axis, lambda r: pd.Series(r, index=list(p), name=name) if np.ndim(r) == 1 else r
        return _values.pandas_values(a), axis, _values.identity
    return a, axis, _values.identity


def _frame_wrap(pd, index, params, entry):
    if params is None:
        return lambda r: pd.Series(r, index=index, name=entry["name"].lower()) if np.ndim(r) == 1 else r
    return lambda r: pd.DataFrame(r, index=params, columns=index) if np.ndim(r) == 2 else r


def _lists(a, axes):
    """a with the values of each list along its last axis."""
    if axes == tuple(range(a.ndim)):
        return a.reshape(-1)
    lists = np.moveaxis(a, axes, tuple(range(-len(axes), 0)))
    return lists.reshape(lists.shape[:-len(axes)] + (-1,)) if len(axes) > 1 else lists


def _over_params(entry, lists, p, text, status):
    """One reduction for each parameter (or one without), stacked in front as p is shaped."""
    if p is NO_PARAM:
        params = [None]
    else:
        params = [_param(entry, q, text) for q in (np.asarray(p, dtype=object).ravel() if np.ndim(p) else [p])]
    if _several_percentiles(entry, lists, p, text):
        return _percentiles(entry, lists, params, np.shape(p), status)
    results, statuses, marks, tally = [], [], [], NO_CALLS
    for q in params:
        if text:
            res, t, sts, mks = _text_reduce(entry, lists, q, status)
        else:
            res, t, sts, mks = _core.reduce(entry["index"], lists, q, bool(status))
        results.append(res), statuses.append(sts), marks.append(mks)
        tally += Tally._make(t)
    if p is NO_PARAM or np.ndim(p) == 0:
        return results[0], statuses[0], marks[0], tally
    shape = np.shape(p)
    stack = lambda xs: np.stack(xs).reshape(shape + xs[0].shape) if xs[0] is not None else None  # noqa: E731
    return stack(results), stack(statuses), stack(marks), tally


PERCENTILES = {"PCTL", "PCTL1", "PCTL2", "PCTL3", "PCTL4", "PCTL5"}
# Lists longer than this are ordered once for several percentiles; shorter ones (a row of a wide
# table) go through one batch call per percentile.
LONG_LIST = 64


def _several_percentiles(entry, lists, p, text):
    """Several percentiles of long lists: the host orders each list's values once for all of them."""
    return (not text and np.ndim(p) > 0 and np.size(p) > 1 and entry["name"] in PERCENTILES
            and (lists.ndim == 1 or lists.shape[-1] > LONG_LIST))


def _percentiles(entry, lists, params, shape, status):
    """The percentiles of each list, stacked in front as p is shaped, each bit for bit one call."""
    ps, rows, n = np.asarray(params, dtype=np.float64), lists.shape[:-1], lists.shape[-1]
    res = np.empty((len(ps),) + rows)
    sts = np.empty((len(ps),) + rows, dtype=np.int32) if status else None
    marks = np.zeros((len(ps),) + rows + (n + 1,), dtype=bool) if status else None
    tally = NO_CALLS
    for idx in np.ndindex(rows):
        r, t, s, m = _core.percentiles(entry["index"], lists[idx], ps, bool(status))
        res[(slice(None),) + idx] = r
        tally += Tally._make(t)
        if status:
            sts[(slice(None),) + idx], marks[(slice(None),) + idx + (0,)] = s, m
    reshape = lambda x, tail=(): None if x is None else x.reshape(shape + rows + tail)  # noqa: E731
    return reshape(res), reshape(sts), reshape(marks, (n + 1,)), tally


def _mask_result(res, mask, axes, keepdims):
    """res masked where every value of the list was masked, as NumPy's masked reductions give."""
    all_masked = mask.all(axis=axes, keepdims=keepdims)
    all_masked = np.broadcast_to(all_masked, np.shape(res))
    if np.ndim(res) == 0:
        return np.ma.masked if all_masked else res
    return np.ma.masked_array(res, mask=all_masked)


def param_value(entry, q, label_name):
    """A leading parameter as the number a call takes: None and pandas.NA are '.'."""
    if type(q) is float:
        return q
    pd = _values.pandas()
    if q is None or (pd is not None and q is pd.NA):
        return _values.DOT
    if isinstance(q, str):
        _core.check_args(entry["index"], [_core.KIND_CHR, _core.KIND_NUM])
    try:
        return float(q)
    except (TypeError, ValueError):
        raise TypeError(f"{entry['label']}: {label_name} must be a number, not {q!r}") from None


def _param(entry, q, text):
    return q if text else param_value(entry, q, "the parameter")


def _text_reduce(entry, lists, q, status):
    _values.missing_objects()
    shape = lists.shape[:-1]
    rows = np.ascontiguousarray(lists).reshape(-1, lists.shape[-1])
    cols = [rows[:, j] for j in range(rows.shape[1])]
    if q is not None:
        cols.insert(0, np.full(rows.shape[0], q, dtype=object))
    if rows.shape[0] == 0:
        return np.empty(shape, dtype=object), NO_CALLS, None, None
    res, t, sts, mks = _core.call_table(entry["index"], cols, bool(status))
    reshape = lambda x: None if x is None else x.reshape(shape + x.shape[1:])  # noqa: E731
    return res.reshape(shape), t, reshape(sts), reshape(mks)

"""The functions of the package as Python callables, made from the host library's catalogue.

Every name, arity, kind and docstring comes from the catalogue (_core.functions()); nothing here
lists functions by name. Two shapes come out of it:

- elementwise functions (a fixed number of arguments) are NumPy ufuncs wrapped so that statuses
  become one warning per call, pandas Series keep their index and dask arrays stay lazy;
- list functions (any number of arguments) reduce along an axis as NumPy's reductions do, the
  values of each row being one call's arguments, after the leading parameter where there is one.
"""

import collections
import contextlib
import contextvars
import inspect
import keyword
import re
import sys
import warnings

import numpy as np

from . import _core

DOT = _core.dot()
_F64 = np.dtype(np.float64)
OK = _core.OK
MISSING_ARG = _core.MISSING_ARG
INVALID_ARG = _core.INVALID_ARG
NOT_A_NUMBER = _core.NOT_A_NUMBER
NO_SCRATCH = _core.NO_SCRATCH
NO_MEMORY = _core.NO_MEMORY


class QvWarning(RuntimeWarning):
    """A status other than ok from a function over some of the elements, rows or groups of a call."""


class QvError(ArithmeticError):
    """A status that qv.errstate(...="raise") turns into an exception."""


QvResult = collections.namedtuple("QvResult", "result status marks")
QvResult.__doc__ = """What a call with status=True gives: the results, the status of each (int32
codes, named by qv.status_name) and the marks (True where the function marked an argument
invalid; the last axis runs over the call's arguments, the leading parameter first)."""

# ---- statuses as NumPy's floating-point errors ---------------------------------------------

# The tally of a batch: (calls, missing argument, invalid argument, not a number, other, marked).
_CATEGORIES = (("missing", 1, "missing argument"), ("invalid", 2, "invalid argument"),
               ("nan", 3, "not a number"), ("other", 4, "another status"))
_MODES = ("ignore", "warn", "raise")
_DEFAULT_MODES = {"missing": "ignore", "invalid": "warn", "nan": "warn", "other": "warn"}
_modes = contextvars.ContextVar("qvewumth_errstate", default=_DEFAULT_MODES)


def geterr():
    """How each kind of status is treated: a dict of 'ignore', 'warn' or 'raise' for missing
    (a missing argument), invalid (an invalid argument), nan (a result that was not a number)
    and other (any other status)."""
    return dict(_modes.get())


def seterr(all=None, **modes):
    """Sets how statuses are treated (see geterr) in this thread or task; returns the old setting."""
    old = _modes.get()
    new = dict(old)
    for key in _DEFAULT_MODES if all is not None else ():
        new[key] = all
    for key, mode in modes.items():
        if key not in _DEFAULT_MODES:
            raise TypeError(f"seterr: unknown kind of status {key!r}; the kinds are {', '.join(_DEFAULT_MODES)}")
        new[key] = mode
    for key, mode in new.items():
        if mode not in _MODES:
            raise ValueError(f"seterr: {key}={mode!r}; a mode is one of {', '.join(_MODES)}")
    _modes.set(new)
    return dict(old)


class errstate(contextlib.ContextDecorator):
    """Within the block, statuses are treated as given: with qv.errstate(invalid="raise") an
    invalid argument raises QvError; "ignore" silences it; all= sets every kind."""

    def __init__(self, **modes):
        self._wanted = modes

    def __enter__(self):
        self._old = seterr(**self._wanted)

    def __exit__(self, *exc):
        _modes.set(self._old)


def report(label, tally, unit, stacklevel):
    """One warning (or QvError) for the statuses a call of label counted over its elements;
    stacklevel counts the frames from the caller of report to the user's line."""
    if not any(tally[1:5]):
        return
    modes = _modes.get()
    total = tally[0]
    raised, warned = [], []
    for key, i, name in _CATEGORIES:
        if tally[i] == 0 or modes[key] == "ignore":
            continue
        text = f"{name} in {label}" + ("" if total == 1 else f" on {tally[i]} of {total} {unit}")
        (raised if modes[key] == "raise" else warned).append(text)
    if raised:
        raise QvError("; ".join(raised + warned))
    if warned:
        warnings.warn("; ".join(warned), QvWarning, stacklevel=stacklevel + 1)


def status_name(code):
    """The name of a status code ('ok', 'invalid argument', ...); element by element for arrays."""
    if np.ndim(code) == 0:
        return _core.status_name(int(code))
    return np.vectorize(lambda c: _core.status_name(int(c)), otypes=[object])(code)


# ---- missing values ------------------------------------------------------------------------

def missing(letter="."):
    """The missing value a letter names: missing() or missing('.') is '.', missing('_') is '._',
    missing('A') (or '.A', 'a') is '.A'. Missing values are NaNs whose payload says which one they
    are; they keep their identity through NumPy arrays and pandas columns of float64. (The
    package's function MISSING, 1 for a missing value or blank text, is qv.function("missing").)"""
    return _core.missing(letter)


def is_missing(x):
    """Whether each value is one of the 28 missing values (NaN, None and pandas.NA are '.', as
    every function reads them)."""
    return _elementwise_map(x, _core.missing_flags)


def missing_letter(x):
    """The letter of each missing value ('.', '_', 'A' to 'Z'), '' for a number."""
    return _elementwise_map(x, _core.missing_letters)


def format(x):
    """Each value in its shortest form that reads back to the same double, or its missing literal
    ('.', '.M'), as the other surfaces write it."""
    a, wrap = _plain(x)
    a = _number_array(a, None, "the values")
    if a.ndim == 0:
        return _core.format_value(float(a))
    out = np.array([_core.format_value(v) for v in a.ravel().tolist()], dtype=object).reshape(a.shape)
    return (wrap or _identity)(out)


def parse(x):
    """Text read as numbers the way the command line reads a table's cells: numbers, inf, the
    missing literals ('.', '.M'), and blank or empty text as '.'; numbers and None pass as they are.
    For a pandas column read from a file: df["t12"] = qv.parse(df["t12"])."""
    a, wrap = _plain(x)
    _missing_objects()
    a = _object_array(a)
    out = _core.parse_text(a.reshape(-1)).reshape(a.shape)
    return (wrap or _identity)(out) if out.ndim else float(out)


def _elementwise_map(x, op):
    a, wrap = _plain(x)
    out = op(_number_array(a, None, "the values"))
    return (wrap or _identity)(out) if out.ndim else out[()]


# ---- conversion of arguments ---------------------------------------------------------------

def _missing_objects():
    """Objects read as '.' besides None: pandas.NA and NaT when pandas is loaded."""
    pd = sys.modules.get("pandas")
    objs = () if pd is None else (pd.NA, pd.NaT)
    _core.set_missing_objects(objs)


def is_dask(x):
    return type(x).__module__.startswith("dask.")


def _plain(x):
    """x as something NumPy takes (pandas objects as their values, missing entries as '.'), and for
    a pandas object a function that puts a result of the same length back into its form."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(x, (pd.Series, pd.Index)):
        values = pandas_values(x)
        index = x.index if isinstance(x, pd.Series) else None
        return values, lambda r: pd.Series(r, index=index, name=x.name) if np.shape(r) == values.shape else r
    if pd is not None and isinstance(x, pd.DataFrame):
        values = frame_values(x)
        return values, lambda r: pd.DataFrame(r, index=x.index, columns=x.columns) if np.shape(r) == values.shape else r
    return x, None


def pandas_values(x):
    """The values of a pandas Series or Index as a float64 array where they are numbers (the
    missing entries of nullable columns as '.'), or as objects otherwise."""
    dtype = x.dtype
    if isinstance(dtype, np.dtype):
        return x.to_numpy()
    if getattr(dtype, "kind", "O") in "biuf":
        return x.to_numpy(dtype=np.float64, na_value=DOT)
    return x.to_numpy(dtype=object)


def _number_array(x, info, what):
    """x as a float64 array (a view where it already is one), for a function taking numbers."""
    if type(x) is float:
        return np.array(x)
    a = x if isinstance(x, np.ndarray) else np.asarray(x)
    kind = a.dtype.kind
    if kind == "f":
        return a if a.dtype == _F64 and a.flags.aligned else a.astype(_F64)
    if kind in "biu":
        return a.astype(np.float64)
    if kind == "O":
        _missing_objects()
        flat = _core.objects_to_float(_label(info), what, a.reshape(-1))
        return flat.reshape(a.shape)
    if kind in "US":
        raise TypeError(f"{_label(info)}: {what} holds text, not numbers")
    raise TypeError(f"{_label(info)}: {what} is an array of {a.dtype}, not of numbers")


def _label(info):
    return "qv" if info is None else info["label"]


def _is_text(x):
    if isinstance(x, str):
        return True
    if isinstance(x, (list, tuple)):
        return any(_is_text(v) for v in x)
    return isinstance(x, np.ndarray) and (x.dtype.kind in "US" or (x.dtype.kind == "O" and
                                                                    any(isinstance(v, str) for v in x.flat)))


def _object_array(x):
    """x as an array of objects: str stay str (NumPy would turn numbers among them into text)."""
    if isinstance(x, np.ndarray):
        return x if x.dtype.kind == "O" else x.astype(object)
    a = np.empty(np.shape(x) if isinstance(x, (list, tuple)) else (), dtype=object)
    a[...] = x
    return a


# ---- the functions -------------------------------------------------------------------------

_functions = {}  # lower-case name -> callable


def function(name):
    """The function of the package called name, in any case: qv.function("pctl") is qv.pctl.
    Every function is reachable this way, also one whose name the module uses for something else."""
    try:
        return _functions[name.lower()]
    except (KeyError, AttributeError):
        raise AttributeError(f"qvewumth has no function {name!r}") from None


def info(name):
    """The catalogue entry of a function: its name, family, arguments, kinds and reference."""
    return dict(function(name).info)


def _python_name(entry):
    return entry["name"].lower()


def _doc(entry, calling):
    ref = entry["reference"].rstrip()
    return (f"{entry['summary'][:1].upper()}{entry['summary'][1:]}.\n\n{calling}\n\n{ref}\n\n"
            f"Family: {entry['family']}. In SQL and the command line: {entry['catalogue_usage']}.")


def _finish(fn, entry, signature, calling):
    name = _python_name(entry)
    fn.__name__ = fn.__qualname__ = name
    fn.__module__ = "qvewumth"
    fn.__signature__ = signature
    fn.__doc__ = _doc(entry, calling)
    fn.info = entry
    return fn


def _make_elementwise(entry):
    idx, label = entry["index"], entry["label"]
    lo, hi = max(entry["min_args"], 1), entry["max_args"]
    numeric_only = entry["first_kind"] == _core.KIND_NUM and entry["rest_kind"] == _core.KIND_NUM
    ufuncs = {n: _core.ufunc(idx, n, False) for n in range(lo, hi + 1)}
    status_ufuncs = {}

    def fn(*args, out=None, status=False, **kwargs):
        uf = ufuncs.get(len(args))
        if uf is None:
            _core.check_args(idx, [_core.KIND_NUM] * len(args))
        conv, wrap = [], None
        for j, a in enumerate(args):
            if type(a) is float or (type(a) is np.ndarray and a.dtype.kind == "f"):
                conv.append(a)  # NumPy's casting does the rest
                continue
            if is_dask(a):
                from . import dask as qd
                return qd.elementwise(fn, args, status=status, **kwargs)
            values, w = _plain(a)
            wrap = wrap or w
            if not numeric_only and _is_text(values):
                return _text_elementwise(entry, [_plain(b)[0] for b in args], status, wrap or _identity)
            conv.append(_number_array(values, entry, f"argument {j + 1}"))
        wrap = wrap or _identity
        if status:
            suf = status_ufuncs.get(len(args))
            if suf is None:
                suf = status_ufuncs[len(args)] = _core.ufunc(idx, len(args), True)
            res = _ufunc_call(suf, label, conv, kwargs, report_statuses=False)
            marks = np.stack([np.asarray(m) for m in res[2:]], axis=-1)
            return QvResult(wrap(res[0]), wrap(res[1]), marks)
        if out is not None:
            kwargs["out"] = out
        return wrap(_ufunc_call(uf, label, conv, kwargs, report_statuses=True))

    lead = _argument_names(entry)
    params = [inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY) for n in lead[:entry["min_args"]]]
    params += [inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY, default=None) for n in lead[entry["min_args"]:]]
    params += [inspect.Parameter("out", inspect.Parameter.KEYWORD_ONLY, default=None),
               inspect.Parameter("status", inspect.Parameter.KEYWORD_ONLY, default=False)]
    calling = (f"In Python: {label}({', '.join(lead)}) element by element, as a NumPy ufunc: arrays of any "
               "shape broadcast against each other, scalars give scalars, out= and where= work, the result is "
               "float64. Integers, booleans and float32 convert to float64; None and pandas.NA are '.'. "
               "A status other than ok warns (QvWarning) once per call, see qv.errstate; status=True "
               "returns QvResult(result, status, marks) instead. The ufunc itself (without the warnings) "
               f"is {label}.ufunc.")
    f = _finish(fn, entry, inspect.Signature(params), calling)
    f.ufunc = ufuncs[hi] if hi in ufuncs else next(iter(ufuncs.values()))
    f.ufuncs = dict(ufuncs)
    return f


def _identity(r):
    return r


def _ufunc_call(uf, label, args, kwargs, report_statuses):
    before = _core.loop_tally()
    result = uf(*args, **kwargs)
    after = _core.loop_tally()
    if after[1:7] != before[1:7]:  # a status other than ok, or a failed loop
        if after[6] != before[6]:
            raise MemoryError(f"{label}: {after[7]}")
        if report_statuses:
            report(label, tuple(a - b for a, b in zip(after[:6], before[:6])), "elements", 3)
    return result


def _text_elementwise(entry, args, status, wrap):
    """The elementwise path for text: one host call per element, arguments broadcast."""
    _missing_objects()
    arrays = np.broadcast_arrays(*[_object_array(a) for a in args])
    shape = arrays[0].shape
    cols = [np.ascontiguousarray(a).reshape(-1) for a in arrays]
    res, tally, sts, marks = _core.call_table(entry["index"], cols, bool(status))
    res = res.reshape(shape)
    res = res[()] if res.ndim == 0 else wrap(res)
    if status:
        return QvResult(res, sts.reshape(shape), marks.reshape(shape + (len(args),)))
    report(entry["label"], tally, "elements", 3)
    return res


def _argument_names(entry):
    """Names of the arguments from the catalogue's usage: "ROUND(x [, unit])" gives x, unit (a
    name Python cannot take becomes x1, x2, ...)."""
    inside = entry["catalogue_usage"].split("(", 1)[1].rsplit(")", 1)[0]
    names = re.findall(r"[A-Za-z_][A-Za-z_0-9]*", inside)
    return [n if not keyword.iskeyword(n) and n not in ("a", "axis", "keepdims", "out", "status") else f"x{i + 1}"
            for i, n in enumerate(names)]


_NO_PARAM = object()


def _make_reduction(entry):
    label = entry["label"]
    leading = entry["min_args"] >= 1
    # The parameter keeps its name from the catalogue's usage (p, k, v), so a real function is
    # made with it: qv.pctl(a, p=90) as well as qv.pctl(a, 90).
    lead_name = _argument_names(entry)[0] if leading else None
    head = f"a, {lead_name}" if leading else "a"
    pass_lead = lead_name if leading else "_NO_PARAM"
    scope = {"reduce": reduce, "entry": entry, "_NO_PARAM": _NO_PARAM}
    exec(f"def fn({head}, axis=None, keepdims=False, out=None, status=False):\n"
         f"    return reduce(entry, a, {pass_lead}, axis, keepdims, out, status, 2)\n", scope)
    fn = scope["fn"]
    sig = inspect.signature(fn)

    text = entry["first_kind"] == _core.KIND_CHR or entry["rest_kind"] == _core.KIND_CHR
    what = "strings" if text else "values"
    if leading:
        calling = (f"In Python: {label}(a, {lead_name}, axis=None, keepdims=False) computes "
                   f"{entry['catalogue_usage'].split('(')[0]}({lead_name}, x1, ...) over the {what} of a along axis, "
                   f"as numpy.percentile(a, q, axis) does: {lead_name} comes after the data. axis=None "
                   f"takes every value, axis=1 each row. An array of {lead_name} gives one result per "
                   f"{lead_name}, stacked in front.")
    else:
        calling = (f"In Python: {label}(a, axis=None, keepdims=False) computes "
                   f"{entry['catalogue_usage'].split('(')[0]}(x1, ...) over the {what} of a along axis, as "
                   "NumPy's reductions do: axis=None takes every value, axis=1 each row (a row-wise call).")
    calling += (" The values of each list are passed in order. NaN, None and pandas.NA are '.'. A pandas "
                "DataFrame gives a Series (axis=1: one value per row). A status other than ok warns "
                "(QvWarning) once per call; status=True returns QvResult(result, status, marks).")
    return _finish(fn, entry, sig, calling)


def _normalize_axes(axis, ndim):
    axes = (axis,) if np.ndim(axis) == 0 else tuple(axis)
    out = []
    for ax in axes:
        ax = int(ax)
        if not -ndim <= ax < ndim:
            raise np.AxisError(ax, ndim)
        out.append(ax % ndim)
    if len(set(out)) != len(out):
        raise ValueError("duplicate value in 'axis'")
    return tuple(out)


def reduce(entry, a, p, axis, keepdims, out, status, stacklevel):
    """The list function of entry over a along axis (see the functions' docstrings)."""
    label = entry["label"]
    if is_dask(a):
        from . import dask as qd
        return qd.reduction(function(entry["name"]), a, p, axis, keepdims)
    pd = sys.modules.get("pandas")
    wrap = lambda r: r
    if pd is not None and isinstance(a, pd.DataFrame):
        frame = a
        a = frame_values(frame)
        if axis is not None and np.ndim(axis) == 0 and int(axis) % 2 in (0, 1):
            index = frame.index if int(axis) % 2 == 1 else frame.columns
            wrap = lambda r: pd.Series(r, index=index, name=_python_name(entry)) if np.ndim(r) == 1 else r
    elif pd is not None and isinstance(a, (pd.Series, pd.Index)):
        a = pandas_values(a)
    text = entry["first_kind"] == _core.KIND_CHR or entry["rest_kind"] == _core.KIND_CHR
    if text:
        a = _object_array(a)
    elif not (type(a) is np.ndarray and a.dtype == _F64 and a.flags.aligned):
        a = _number_array(a, entry, "the data")
    if a.ndim == 0:
        a = a.reshape(1)
    if axis is None:
        axes = tuple(range(a.ndim))
        lists = a.reshape(-1)
    else:
        axes = _normalize_axes(axis, a.ndim)
        lists = np.moveaxis(a, axes, tuple(range(-len(axes), 0)))
        if len(axes) > 1:
            lists = lists.reshape(lists.shape[:-len(axes)] + (-1,))
    params = [None] if p is _NO_PARAM else None
    if params is None:
        if np.ndim(p) == 0:
            params = [_param(entry, p, text)]
        else:
            params = [_param(entry, q, text) for q in np.asarray(p, dtype=object).ravel()]
    results, statuses, marks, tallies = [], [], [], []
    for q in params:
        if text:
            res, t, sts, mks = _text_reduce(entry, lists, q, status)
        else:
            res, t, sts, mks = _core.reduce(entry["index"], lists, q, bool(status))
        results.append(res), statuses.append(sts), marks.append(mks), tallies.append(t)
    tally = tallies[0] if len(tallies) == 1 else tuple(int(v) for v in np.sum(tallies, axis=0))
    if p is _NO_PARAM or np.ndim(p) == 0:
        res, sts, mks = results[0], statuses[0], marks[0]
    else:
        pshape = np.shape(p)
        res = np.stack(results).reshape(pshape + results[0].shape)
        if status:
            sts = np.stack(statuses).reshape(pshape + statuses[0].shape)
            mks = np.stack(marks).reshape(pshape + marks[0].shape)
    if keepdims:
        lead = res.ndim - (a.ndim - len(axes))
        res = np.expand_dims(res, tuple(lead + ax for ax in sorted(axes)))
    if out is not None:
        np.copyto(out, res)
        res = out
    elif res.ndim == 0:
        res = res[()]
    if status:
        return QvResult(wrap(res), sts, mks)
    report(label, tally, "lists", stacklevel + 1)  # stacklevel: frames up to the user
    return wrap(res)


def _param(entry, q, text):
    if text:
        return q
    if type(q) is float:
        return q
    if q is None or (sys.modules.get("pandas") is not None and q is sys.modules["pandas"].NA):
        return DOT
    if isinstance(q, str):
        _core.check_args(entry["index"], [_core.KIND_CHR, _core.KIND_NUM])
    try:
        return float(q)
    except (TypeError, ValueError):
        raise TypeError(f"{entry['label']}: the {_argument_names(entry)[0]} must be a number, not {q!r}") from None


def _text_reduce(entry, lists, q, status):
    _missing_objects()
    shape = lists.shape[:-1]
    rows = np.ascontiguousarray(lists).reshape(-1, lists.shape[-1])
    cols = [rows[:, j] for j in range(rows.shape[1])]
    if q is not None:
        cols.insert(0, np.full(rows.shape[0], q, dtype=object))
    if rows.shape[0] == 0:
        return np.empty(shape, dtype=object), (0,) * 6, None, None
    res, t, sts, mks = _core.call_table(entry["index"], cols, bool(status))
    reshape = lambda x: None if x is None else x.reshape(shape + x.shape[1:])
    return res.reshape(shape), t, reshape(sts), reshape(mks)


def frame_values(frame):
    """The columns of a DataFrame side by side as one float64 array (rows x columns), the missing
    entries of nullable columns as '.'."""
    if all(isinstance(dt, np.dtype) and dt == np.float64 for dt in frame.dtypes):
        return frame.to_numpy()
    cols = [_number_array(pandas_values(frame[c]), None, f"column {c!r}") for c in frame.columns]
    return np.column_stack(cols) if cols else np.empty((len(frame), 0))


def build():
    """Makes every function the open package provides; returns {python name: callable}."""
    for entry in _core.functions():
        if not entry["available"]:
            continue
        elementwise = entry["max_args"] != _core.ANY_COUNT
        fn = _make_elementwise(entry) if elementwise else _make_reduction(entry)
        fn.elementwise = elementwise
        _functions[_python_name(entry)] = fn
    return dict(_functions)

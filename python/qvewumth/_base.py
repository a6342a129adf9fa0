"""The functions of the package as Python callables, made from the host library's catalogue.

Every name, arity, kind and docstring comes from the catalogue (_core.functions()); nothing here
lists functions by name. Two shapes come out of it:

- elementwise functions (a fixed number of arguments) are NumPy ufuncs wrapped so that statuses
  become one warning per call, pandas Series keep their index and dask arrays stay lazy;
- list functions (any number of arguments) reduce along an axis as NumPy's reductions do (see
  _reduce.py), the values of each row being one call's arguments, after the leading parameter
  where there is one.
"""

import inspect
import keyword
import re

import numpy as np

from . import _core, _reduce, _values
from ._status import QvResult, Tally, report

_functions = {}  # lower-case name -> callable


def function(name):
    """The function of the package called name, in any case: qv.function("pctl") is qv.pctl.
    Every function is reachable this way, also one whose name the module uses for something else."""
    try:
        return _functions[name.lower()]
    except (KeyError, AttributeError):
        raise AttributeError(f"qvewumth has no function {name!r}") from None


def list_functions():
    """The names of the functions that take lists (not element by element)."""
    return sorted(n for n, f in _functions.items() if not f.elementwise)


def info(name):
    """The catalogue entry of a function: its name, family, arguments, kinds and reference."""
    return dict(function(name).info)


def argument_names(entry):
    """Names of the arguments from the catalogue's usage: "ROUND(x [, unit])" gives x, unit (a
    name Python cannot take becomes x1, x2, ...)."""
    inside = entry["catalogue_usage"].split("(", 1)[1].rsplit(")", 1)[0]
    names = re.findall(r"[A-Za-z_][A-Za-z_0-9]*", inside)
    return [n if not keyword.iskeyword(n) and n not in ("a", "axis", "keepdims", "out", "status") else f"x{i + 1}"
            for i, n in enumerate(names)]


def _doc(entry, calling):
    ref = entry["reference"].rstrip()
    return (f"{entry['summary'][:1].upper()}{entry['summary'][1:]}.\n\n{calling}\n\n{ref}\n\n"
            f"Family: {entry['family']}. In SQL and the command line: {entry['catalogue_usage']}.")


def _finish(fn, entry, signature, calling):
    name = entry["name"].lower()
    fn.__name__ = fn.__qualname__ = name
    fn.__module__ = "qvewumth"
    fn.__signature__ = signature
    fn.__doc__ = _doc(entry, calling)
    fn.info = entry
    return fn


# ---- element by element --------------------------------------------------------------------

class _Elementwise:
    """The call of one elementwise function: its ufuncs by number of arguments."""

    def __init__(self, entry):
        self.entry, self.label = entry, entry["label"]
        lo, hi = max(entry["min_args"], 1), entry["max_args"]
        self.numeric_only = entry["first_kind"] == _core.KIND_NUM and entry["rest_kind"] == _core.KIND_NUM
        self.ufuncs = {n: _core.ufunc(entry["index"], n, False) for n in range(lo, hi + 1)}
        self.status_ufuncs = {}

    def __call__(self, fn, args, out, status, kwargs):
        uf = self.ufuncs.get(len(args))
        if uf is None:
            _core.check_args(self.entry["index"], [_core.KIND_NUM] * len(args))
        if any(_values.is_dask(a) for a in args):
            return _values.dask_surface().elementwise(fn, args, status=status, **kwargs)
        args = _values.align_series(args)
        conv, wrap, masks = [], _values.identity, []
        for j, a in enumerate(args):
            if type(a) is float or (type(a) is np.ndarray and a.dtype.kind == "f" and a.dtype.itemsize <= 8):
                conv.append(a)  # NumPy's casting does the rest
                continue
            if isinstance(a, np.ma.MaskedArray):
                masks.append(np.ma.getmaskarray(a))
            values, w = _values.plain(a, self.entry)
            wrap = w if wrap is _values.identity else wrap
            if not self.numeric_only and _values.is_text(values):
                plain = [_values.plain(b)[0] for b in args]
                return _masked(self.text(plain, status, wrap), masks, status)
            conv.append(_values.number_array(values, self.entry, f"argument {j + 1}", j))
        if status:
            suf = self.status_ufuncs.get(len(args))
            if suf is None:
                suf = self.status_ufuncs[len(args)] = _core.ufunc(self.entry["index"], len(args), True)
            res = self.loop(suf, conv, kwargs, report_statuses=False)
            marks = np.stack([np.asarray(m) for m in res[2:]], axis=-1)
            return _masked(QvResult(wrap(res[0]), wrap(res[1]), marks), masks, status)
        if out is not None:
            kwargs["out"] = out
        return _masked(wrap(self.loop(uf, conv, kwargs, report_statuses=True)), masks, status)

    def loop(self, uf, args, kwargs, report_statuses):
        (before, failures, _) = _core.loop_tally()
        result = uf(*args, **kwargs)
        (after, failed, message) = _core.loop_tally()
        if failed != failures:
            raise (MemoryError if "out of memory" in message else RuntimeError)(message)
        if report_statuses:
            report(self.label, Tally._make(after) - Tally._make(before), 4)
        return result

    def text(self, args, status, wrap):
        """The elementwise path for text: one host call per element, arguments broadcast."""
        _values.missing_objects()
        arrays = np.broadcast_arrays(*[_values.object_array(a) for a in args])
        shape = arrays[0].shape
        cols = [np.ascontiguousarray(a).reshape(-1) for a in arrays]
        res, tally, sts, marks = _core.call_table(self.entry["index"], cols, bool(status))
        res = res.reshape(shape)
        res = res[()] if res.ndim == 0 else wrap(res)
        if status:
            return QvResult(res, sts.reshape(shape), marks.reshape(shape + (len(args),)))
        report(self.label, tally, 4)
        return res


def _masked(res, masks, status):
    """The result masked where any masked argument was masked, as NumPy's ufuncs mask it."""
    if not masks:
        return res
    if status:
        return QvResult(_masked(res.result, masks, False), res.status, res.marks)
    mask = np.logical_or.reduce(np.broadcast_arrays(*masks)) if len(masks) > 1 else masks[0]
    return np.ma.masked_array(res, mask=np.broadcast_to(mask, np.shape(res)))


def _make_elementwise(entry):
    label = entry["label"]
    call = _Elementwise(entry)

    def fn(*args, out=None, status=False, **kwargs):
        return call(fn, args, out, _values.check_flag(status, "status", label), kwargs)

    lead = argument_names(entry)
    params = [inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY) for n in lead[:entry["min_args"]]]
    params += [inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY, default=None) for n in lead[entry["min_args"]:]]
    params += [inspect.Parameter("out", inspect.Parameter.KEYWORD_ONLY, default=None),
               inspect.Parameter("status", inspect.Parameter.KEYWORD_ONLY, default=False)]
    calling = (f"In Python: {label}({', '.join(lead)}) element by element, as a NumPy ufunc: arrays of any "
               "shape broadcast against each other, scalars give scalars, out= and where= work, the result is "
               "float64. Integers, booleans and float32 convert to float64; None and pandas.NA are '.'; "
               "the masked entries of a masked array are '.' and the result is masked where an argument "
               "is; pandas Series are aligned on their labels. "
               "A status other than ok warns (QvWarning) once per call, see qv.errstate; status=True "
               "returns QvResult(result, status, marks) instead. The ufunc itself (without the warnings) "
               f"is {label}.ufunc.")
    f = _finish(fn, entry, inspect.Signature(params), calling)
    hi = entry["max_args"]
    f.ufunc = call.ufuncs[hi] if hi in call.ufuncs else next(iter(call.ufuncs.values()))
    f.ufuncs = dict(call.ufuncs)
    return f


# ---- over lists ----------------------------------------------------------------------------

def _make_reduction(entry):
    label = entry["label"]
    lead_name = argument_names(entry)[0] if entry["min_args"] >= 1 else None
    bind = _reduce.Binder(label, lead_name)

    def fn(a, *args, **kwargs):
        if args and np.ndim(a) == 0:
            _reduce.check_order(label, lead_name, args)
        p, axis, keepdims, out, status = bind(args, kwargs)
        return _reduce.reduce(entry, a, p, axis, keepdims, out, status, 2)

    P = inspect.Parameter
    params = [P("a", P.POSITIONAL_OR_KEYWORD)] + ([P(lead_name, P.POSITIONAL_OR_KEYWORD)] if lead_name else [])
    params += [P(n, P.POSITIONAL_OR_KEYWORD, default=d) for n, d in
               (("axis", None), ("keepdims", False), ("out", None), ("status", False))]
    return _finish(fn, entry, inspect.Signature(params), _reduce.calling(entry, lead_name))


def build():
    """Makes every function the open package provides; returns {python name: callable}."""
    for entry in _core.functions():
        if not entry["available"]:
            continue
        elementwise = entry["max_args"] != _core.ANY_COUNT
        fn = _make_elementwise(entry) if elementwise else _make_reduction(entry)
        fn.elementwise = elementwise
        _functions[entry["name"].lower()] = fn
    return dict(_functions)

"""The values users hand in, as the extension takes them: float64 arrays (missing entries as '.'),
arrays of objects for text, and what NumPy, pandas and masked arrays expect back.

The functions, the pandas tables and the dask collections all convert through this module.
"""

import operator
import sys

import numpy as np

from . import _core

DOT = _core.dot()
F64 = np.dtype(np.float64)

# The module that takes dask collections (qvewumth.dask), loaded when the first one arrives; the
# package's __init__ sets it, so that this module needs no import of its own users.
dask_surface = None


def is_dask(x):
    return type(x).__module__.startswith("dask.")


def pandas():
    """pandas when it is loaded (the package never imports it for NumPy users)."""
    return sys.modules.get("pandas")


def label_of(info):
    return "qv" if info is None else info["label"]


def identity(r):
    return r


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


def format(x):  # noqa: A001  (qv.format)
    """Each value in its shortest form that reads back to the same double, or its missing literal
    ('.', '.M'), as the other surfaces write it."""
    a, wrap = plain(x)
    a = number_array(a, None, "the values")
    if a.ndim == 0:
        return _core.format_value(float(a))
    out = np.array([_core.format_value(v) for v in a.ravel().tolist()], dtype=object).reshape(a.shape)
    return wrap(out)


def parse(x):
    """Text read as numbers the way the command line reads a table's cells: numbers, inf, the
    missing literals ('.', '.M'), and blank or empty text as '.'; numbers and None pass as they are.
    For a pandas column read from a file: df["t12"] = qv.parse(df["t12"])."""
    a, wrap = plain(x)
    missing_objects()
    a = object_array(a)
    out = _core.parse_text(a.reshape(-1)).reshape(a.shape)
    return wrap(out) if out.ndim else float(out)


def _elementwise_map(x, op):
    a, wrap = plain(x)
    out = op(number_array(a, None, "the values"))
    return wrap(out) if out.ndim else out[()]


def missing_objects():
    """Tells the extension which objects read as '.' besides None: pandas.NA and NaT when pandas
    is loaded."""
    pd = pandas()
    _core.set_missing_objects(() if pd is None else (pd.NA, pd.NaT))


# ---- conversion ----------------------------------------------------------------------------

def plain(x, info=None):
    """x as something NumPy takes (pandas objects as their values, missing entries as '.'), and a
    function that puts a result of the same shape back into x's form (identity for other x); errors
    name the function of info."""
    pd = pandas()
    if pd is not None and isinstance(x, (pd.Series, pd.Index)):
        values = pandas_values(x)
        index = x.index if isinstance(x, pd.Series) else None
        return values, lambda r: pd.Series(r, index=index, name=x.name) if np.shape(r) == values.shape else r
    if pd is not None and isinstance(x, pd.DataFrame):
        values = frame_values(x, info)
        return values, lambda r: pd.DataFrame(r, index=x.index, columns=x.columns) if np.shape(r) == values.shape else r
    return x, identity


def pandas_values(x):
    """The values of a pandas Series or Index as a float64 array where they are numbers (the
    missing entries of nullable columns as '.'), or as objects otherwise."""
    dtype = x.dtype
    if isinstance(dtype, np.dtype):
        return x.to_numpy()
    if getattr(dtype, "kind", "O") in "biuf":
        return x.to_numpy(dtype=np.float64, na_value=DOT)
    return x.to_numpy(dtype=object)


def frame_values(frame, info=None):
    """The columns of a DataFrame side by side as one float64 array (rows x columns), the missing
    entries of nullable columns as '.'; errors name the function of info."""
    if all(isinstance(dt, np.dtype) and dt == np.float64 for dt in frame.dtypes):
        return frame.to_numpy()
    cols = [number_array(pandas_values(frame[c]), info, f"column {c!r}") for c in frame.columns]
    return np.column_stack(cols) if cols else np.empty((len(frame), 0))


def number_array(x, info, what, argument=-1):
    """x as a float64 array (a view where it already is one), for argument `argument` of a function
    taking numbers (-1: its values after any leading parameter); the masked entries of a masked
    array are '.', and text that is a missing literal ('.A') in an array of objects is that value."""
    if type(x) is float:
        return np.array(x)
    if isinstance(x, np.ma.MaskedArray):
        mask = np.ma.getmaskarray(x)
        a = number_array(np.ma.getdata(x), info, what, argument)
        return np.where(mask, DOT, a) if mask.any() else a
    a = x if isinstance(x, np.ndarray) else np.asarray(x)
    kind = a.dtype.kind
    if kind == "f":
        return a if a.dtype == F64 and a.flags.aligned else a.astype(F64)
    if kind in "biu":
        return a.astype(np.float64)
    if kind == "O":
        missing_objects()
        index = -1 if info is None else info["index"]
        flat = _core.objects_to_float(index, argument, label_of(info), what, a.reshape(-1))
        return flat.reshape(a.shape)
    if kind in "US":
        raise TypeError(f"{label_of(info)}: {what} holds text, not numbers")
    raise TypeError(f"{label_of(info)}: {what} is an array of {a.dtype}, not of numbers")


def is_text(x):
    if isinstance(x, str):
        return True
    if isinstance(x, (list, tuple)):
        return any(is_text(v) for v in x)
    return isinstance(x, np.ndarray) and (x.dtype.kind in "US" or (x.dtype.kind == "O" and
                                                                    any(isinstance(v, str) for v in x.flat)))


def object_array(x):
    """x as an array of objects: str stay str (NumPy would turn numbers among them into text)."""
    if isinstance(x, np.ma.MaskedArray):
        a = object_array(np.ma.getdata(x))
        return np.where(np.ma.getmaskarray(x), None, a)
    if isinstance(x, np.ndarray):
        return x if x.dtype.kind == "O" else x.astype(object)
    a = np.empty(np.shape(x) if isinstance(x, (list, tuple)) else (), dtype=object)
    a[...] = x
    return a


def align_series(args):
    """The pandas Series among args aligned on their labels as NumPy's ufuncs align them (the
    union of the labels; a label one of them lacks is '.' there); other arguments as they are."""
    pd = pandas()
    if pd is None:
        return args
    series = [a for a in args if isinstance(a, pd.Series)]
    if len(series) < 2 or all(s.index.equals(series[0].index) for s in series[1:]):
        return args
    first = series[0]
    for s in series[1:]:
        first, _ = first.align(s, join="outer")
    return [a.reindex(first.index) if isinstance(a, pd.Series) else a for a in args]


# ---- axes ----------------------------------------------------------------------------------

def normalize_axes(axis, ndim, label):
    """axis (an int or a tuple of ints, negative ones counting from the end) as a tuple of
    distinct axes from 0 to ndim - 1; TypeError and AxisError as NumPy gives them."""
    axes = tuple(axis) if isinstance(axis, (tuple, list)) else (axis,)
    out = []
    for ax in axes:
        try:
            ax = operator.index(ax)
        except TypeError:
            raise TypeError(f"{label}: axis must be an integer or a tuple of integers, not {ax!r}") from None
        if not -ndim <= ax < ndim:
            raise np.AxisError(ax, ndim)
        out.append(ax % ndim)
    if len(set(out)) != len(out):
        raise ValueError(f"{label}: duplicate value in axis={axis!r}")
    return tuple(out)


def check_flag(value, name, label):
    """A True/False option (keepdims=, status=): anything else is a TypeError."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{label}: {name} must be True or False, not {value!r}")

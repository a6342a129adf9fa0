"""The functions over pandas tables: row-wise over columns, per group, and over moving windows.

Everything is computed in the extension, in one pass over the rows: a group's statistic is one
call of the function over the group's values in row order, with the same bits as that call made
alone, and groups come in pandas' order. Importing qvewumth registers the accessor df.qv.
"""

import numpy as np
import pandas as pd

from . import _base, _core, _reduce, _values
from ._status import QvResult, report

__all__ = ["rowwise", "groupby", "moving", "GroupBy", "group_codes"]


def list_function(name):
    """The list function called name; TypeError for an elementwise one."""
    fn = _base.function(name)
    if fn.elementwise:
        raise TypeError(f"{fn.info['label']} works element by element; call it on the column itself "
                        f"({fn.info['label']}(df[col]))")
    return fn


def lead_name(fn):
    """The name of fn's leading parameter (p, k), None when it has none."""
    return _base.argument_names(fn.info)[0] if fn.info["min_args"] >= 1 else None


def param_of(fn, param):
    """The leading parameter of fn from keywords named as in its usage (p=90, k=2)."""
    lead = lead_name(fn)
    unknown = set(param) - {lead}
    if unknown:
        raise TypeError(f"{fn.info['label']}: unexpected keyword {sorted(unknown)[0]!r}"
                        + (f"; its parameter is {lead}=" if lead else "; it takes no parameter"))
    if lead is None:
        return None
    if lead not in param:
        raise TypeError(f"{fn.info['label']} needs its parameter by name: {lead}=...")
    return _reduce.param_value(fn.info, param[lead], f"{lead}=")


def column_values(series, fn=None):
    """A column as float64 (the missing entries of nullable columns as '.')."""
    entry = None if fn is None else fn.info
    return _values.number_array(_values.pandas_values(series), entry, f"column {series.name!r}")


def rowwise(df, func, *columns, **param):
    """func over the given columns of each row (all columns when none is named): the row-wise
    call of the SQL surfaces. rowwise(df, "mean", "t06", "t12", "t18"); a parameter by its name,
    rowwise(df, "pctl", "t06", "t12", "t18", p=90). Also df.qv.mean("t06", "t12", "t18")."""
    fn = list_function(func)
    lead = lead_name(fn)
    if lead and lead not in param and columns and not _is_column(columns[0], df.columns):
        named = ", ".join(repr(c) for c in columns[1:])
        raise TypeError(f"{fn.info['label']}: the parameter goes by name after the columns, "
                        f"df.qv.{fn.__name__}({named}{', ' if named else ''}{lead}={columns[0]!r})")
    p = param_of(fn, param)
    cols = list(columns) if columns else list(df.columns)
    values = _values.frame_values(df[cols], fn.info)
    lead = _reduce.NO_PARAM if lead_name(fn) is None else p
    res = _reduce.reduce(fn.info, values, lead, 1, False, None, False, 2)
    return pd.Series(res, index=df.index, name=fn.__name__)


@pd.api.extensions.register_dataframe_accessor("qv")
class QvFrameAccessor:
    """df.qv.mean("t06", "t12", "t18"): a list function over columns, row by row (see rowwise)."""

    def __init__(self, df):
        self._df = df

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        fn = list_function(name)

        def method(*columns, **param):
            return rowwise(self._df, name, *columns, **param)

        method.__name__ = fn.__name__
        method.__doc__ = fn.__doc__
        return method

    def __dir__(self):
        return _base.list_functions()


def group_codes(gb):
    """For a pandas GroupBy: each row's group (0 .. n-1 in pandas' order of the groups, -1 for a
    row in none) and the index of the groups."""
    # The grouper's own codes are what ngroup() returns, without its cost (half of a group
    # median's time over a million rows); pandas versions that name them otherwise take ngroup().
    grouper = getattr(gb, "_grouper", None) or getattr(gb, "grouper", None)
    try:
        codes, _, ngroups = grouper.group_info
        index = grouper.result_index
        if len(index) == ngroups and len(codes) == len(gb.obj):
            return np.asarray(codes, dtype=np.int64), index
    except AttributeError:
        pass
    codes = gb.ngroup().to_numpy(dtype=np.float64)
    return np.where(np.isnan(codes), -1, codes).astype(np.int64), gb.size().index


def _int_key_codes(df, by, kwargs):
    """group_codes of df.groupby(by, **kwargs) where the one key is a column of integers and the
    groups come sorted (pandas' default): counted directly from the keys, where pandas would hash
    them first; None otherwise."""
    if set(kwargs) - {"as_index", "sort", "dropna"} or kwargs.get("sort", True) is not True:
        return None
    if not _hashable(by) or not _is_column(by, df.columns):
        return None
    column = df[by]
    if not isinstance(column, pd.Series):  # a name that more than one column has
        return None
    dtype = column.dtype
    if not isinstance(dtype, np.dtype) or dtype.kind not in "iu" or (dtype.kind == "u" and dtype.itemsize == 8):
        return None
    keys = column.to_numpy()
    counted = _core.int_group_codes(keys if keys.dtype == np.int32 else keys.astype(np.int64, copy=False))
    if counted is None:
        return None
    codes, keys = counted
    return codes, pd.Index(keys.astype(dtype, copy=False), name=by)


def _hashable(x):
    try:
        hash(x)
    except TypeError:  # an array of keys, which names no column
        return False
    return True


def _is_column(label, columns):
    try:
        return label in columns
    except TypeError:  # a label no index can hold
        return False


def named_items(named, columns):
    """agg's name=(column, function[, parameter]), pandas' order, or name=(function, column[,
    parameter]), as [(name, function, column, (parameter,) or ())]: the column is the one of the
    two that names a column of the table (the first when both do)."""
    items = []
    for name, item in named.items():
        if not isinstance(item, tuple) or len(item) not in (2, 3):
            raise TypeError(f"agg: {name}= takes (column, function) or (column, function, parameter), not {item!r}")
        first, second = item[:2]
        if _is_column(first, columns):
            items.append((name, second, first, item[2:]))
        elif _is_column(second, columns):
            items.append((name, first, second, item[2:]))
        else:
            raise KeyError(f"agg: {name}={item!r} names no column of the table (columns: {list(columns)})")
    return items


def _named_stats(named, columns):
    """agg's named statistics (see named_items) as {column: [(name, fn, p)]}."""
    by_column = {}
    for name, func, column, extra in named_items(named, columns):
        fn = list_function(func)
        p = param_of(fn, {lead_name(fn) or "parameter": extra[0]} if extra else {})
        by_column.setdefault(column, []).append((name, fn, p))
    return by_column


class GroupBy:
    """Group statistics of a DataFrame, made by qvewumth.groupby(df, by, **pandas_groupby_options).
    As pandas' groupby: agg(...), a statistic by name (.median(), .pctl(p=90)) over every column
    but the keys, and [column] or [[columns]] to choose the columns."""

    def __init__(self, df, by, **kwargs):
        self._df = df
        self._as_index = _values.check_flag(kwargs.get("as_index", True), "as_index", "qv.groupby")
        known = _int_key_codes(df, by, kwargs)
        self._codes, self.index = known if known is not None else group_codes(df.groupby(by, **kwargs))
        # The columns a statistic by name covers: all but the keys (a key given as a column's
        # Series too, as pandas leaves it out).
        keys = [k.name if isinstance(k, pd.Series) else k for k in (by if isinstance(by, list) else [by])]
        keys = {k for k in keys if _hashable(k)}
        self._columns = [c for c in df.columns if c not in keys]

    def _keyed(self, frame):
        """The result indexed by the groups, or with them as leading columns (as_index=False)."""
        return frame if self._as_index else frame.reset_index()

    def agg(self, *wanted, **named):
        """Statistics per group, one column each: name=(column, function) or name=(column,
        function, parameter), as pandas' named aggregation (the function may also come first); or,
        as pandas, one dict {column: function or [functions]}, a list of functions, or one function
        for every column but the keys. Returns a DataFrame indexed by the groups."""
        if wanted:
            if named or len(wanted) != 1:
                raise TypeError("agg takes name=(column, function) keywords, or one dict {column: function}, list of "
                                "functions or function name")
            named = _named_from(wanted[0], self._columns)
        data = {}
        for column, items in _named_stats(named, self._df.columns).items():
            values = column_values(self._df[column], items[0][1])
            out = _core.group_stats(self._codes, len(self.index), values,
                                    [(fn.info["index"], p) for _, fn, p in items], False)
            for (name, fn, _), (res, tally, _) in zip(items, out):
                report(fn.info["label"], tally, 2)
                data[name] = _counts(fn, res)
        return self._keyed(pd.DataFrame({name: data[name] for name in named}, index=self.index))

    def __getitem__(self, columns):
        if isinstance(columns, list):
            chosen = object.__new__(GroupBy)
            chosen.__dict__.update(self.__dict__, _columns=columns)
            return chosen
        return GroupColumn(self, columns)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        fn = list_function(name)

        def method(**param):
            param_of(fn, param)
            extra = tuple(param.values())
            return self.agg(**{c: (c, name) + extra for c in self._columns})

        method.__name__ = fn.__name__
        return method

    def stat(self, func, column, status=False, **param):
        """One statistic per group as a Series: stat("pctl", "t12", p=90)."""
        fn = list_function(func)
        p = param_of(fn, param)
        values = column_values(self._df[column], fn)
        ((res, tally, sts),) = _core.group_stats(self._codes, len(self.index), values, [(fn.info["index"], p)],
                                                 _values.check_flag(status, "status", fn.info["label"]))
        res = pd.Series(_counts(fn, res), index=self.index, name=column)
        if not self._as_index:
            res = res.to_frame().reset_index()
        if status:
            return QvResult(res, sts, None)
        report(fn.info["label"], tally, 2)
        return res

    def moving(self, window, func, column, min_periods=None, center=False, status=False, **param):
        """func over a moving window of each group's rows in row order (see qvewumth.moving); a
        Series aligned with the table's rows."""
        return _moving(self._df[column], window, func, self._codes, len(self.index), min_periods, center, status,
                       param)


class GroupColumn:
    """qv.groupby(df, by)[column]: the statistics of one column per group, as pandas' groupby of a
    column: .median(), .pctl(p=90), .agg("max") or .agg(["min", "max"]), .moving(3, "median")."""

    def __init__(self, groups, column):
        self._groups, self._column = groups, column

    def agg(self, func, **param):
        if isinstance(func, list):
            return self._groups.agg(**{f: (self._column, f) for f in func})
        return self._groups.stat(func, self._column, **param)

    def moving(self, window, func, **options):
        return self._groups.moving(window, func, self._column, **options)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        fn = list_function(name)

        def method(**param):
            return self._groups.stat(name, self._column, **param)

        method.__name__ = fn.__name__
        return method


def _named_from(wanted, columns):
    """pandas' agg forms as named statistics: {column: function or [functions]}, [functions] or a
    function for every column (columns: those that are not keys). A column with a list of
    functions gives a column for each, labelled (column, function), as pandas labels them."""
    if isinstance(wanted, str):
        return {c: (c, wanted) for c in columns}
    if isinstance(wanted, list):
        wanted = {c: wanted for c in columns}
    if not isinstance(wanted, dict):
        raise TypeError(f"agg takes name=(column, function) keywords, or a dict, list or name of functions, not {wanted!r}")
    several = any(isinstance(f, list) for f in wanted.values())
    named = {}
    for column, funcs in wanted.items():
        for f in funcs if isinstance(funcs, list) else [funcs]:
            named[(column, f) if several else column] = (column, f)
    return named


def _counts(fn, res):
    """The results of a count as int64, as pandas gives counts, when each is a number."""
    if fn.info["fold"] == _core.FOLD_COUNT and np.isfinite(res).all():
        return res.astype(np.int64)
    return res


def groupby(df, by, **kwargs):
    """Group statistics computed in one pass: groupby(df, "station").agg(med=("t12", "median"),
    p90=("t12", "pctl", 90)). The groups and their order are pandas' (df.groupby(by, **kwargs),
    as_index= too); each result is one call of the function over the group's values in row order.
    A dask DataFrame goes to qvewumth.dask.groupby."""
    if _values.is_dask(df):
        return _values.dask_surface().groupby(df, by, **kwargs)
    return GroupBy(df, by, **kwargs)


def moving(s, window, func, min_periods=None, by=None, center=False, status=False, **param):
    """func over the window of the last `window` values up to each row, in row order, as
    pandas' s.rolling(window, min_periods, center).func() takes them: moving(s, 3, "median").
    Rows whose window holds fewer than min_periods present values (default: window; a missing
    value, '.' or '.A' alike, is not present) give '.'; center=True centres the window on the row.
    by= (labels, one per row) restarts the windows in every group. Each window's result is that
    of one call over the window's values in order. A dask Series gives a lazy one."""
    if _values.is_dask(s):
        if by is not None:
            raise TypeError("qv.moving: by= over a dask Series is not supported; group first, or compute the Series")
        return _values.dask_surface().moving(s, window, func, min_periods, center, param)
    codes, ngroups = None, 1
    if by is not None:
        if len(by) != len(s):
            raise ValueError(f"qv.moving: by= has {len(by)} labels for {len(s)} values; give one label per row")
        codes, uniques = pd.factorize(np.asarray(by) if not isinstance(by, pd.Series) else by)
        codes, ngroups = codes.astype(np.int64), len(uniques)
    return _moving(s, window, func, codes, ngroups, min_periods, center, status, param)


def window_options(window, min_periods, center):
    """window, min_periods and center checked as pandas' rolling checks them."""
    def integer(x):
        return isinstance(x, (int, np.integer)) and not isinstance(x, (bool, np.bool_))

    if not integer(window) or window < 1:
        raise ValueError(f"qv.moving: window must be a positive integer, not {window!r}")
    if min_periods is None:
        min_periods = window
    elif not integer(min_periods):
        raise ValueError(f"qv.moving: min_periods must be an integer, not {min_periods!r}")
    elif not 0 <= min_periods <= window:
        raise ValueError(f"qv.moving: min_periods {min_periods} must be from 0 to window {window}")
    return int(window), int(min_periods), _values.check_flag(center, "center", "qv.moving")


def _moving(s, window, func, codes, ngroups, min_periods, center, status, param):
    window, min_periods, center = window_options(window, min_periods, center)
    fn = list_function(func)
    p = param_of(fn, param)
    status = _values.check_flag(status, "status", "qv.moving")
    if isinstance(s, pd.Series):
        values, wrap = column_values(s, fn), lambda r: pd.Series(r, index=s.index, name=s.name)
    else:
        values, wrap = _values.number_array(s, fn.info, "the values"), _values.identity
    if values.ndim != 1:
        raise ValueError(f"qv.moving: the values must be one column (1-D), not of shape {values.shape}")
    res, tally, sts = _core.moving(fn.info["index"], values, codes, ngroups, window, min_periods, center, p, status)
    if status:
        return QvResult(wrap(res), sts, None)
    report(fn.info["label"], tally, 3)
    return wrap(res)

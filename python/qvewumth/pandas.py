"""The functions over pandas tables: row-wise over columns, per group, and over moving windows.

Everything is computed in the extension, in one pass over the rows: a group's statistic is one
call of the function over the group's values in row order, with the same bits as that call made
alone, and groups come in pandas' order. Importing qvewumth registers the accessor df.qv.
"""

import numpy as np
import pandas as pd

from . import _base, _core

__all__ = ["rowwise", "groupby", "moving", "GroupBy", "group_codes"]


def _list_function(name):
    fn = _base.function(name)
    if fn.elementwise:
        raise TypeError(f"{fn.info['label']} works element by element; call it on the column itself "
                        f"({fn.info['label']}(df[col]))")
    return fn


def _lead(fn):
    return _base._argument_names(fn.info)[0] if fn.info["min_args"] >= 1 else None


def _param(fn, param):
    """The leading parameter of fn from keywords named as in its usage (p=90, k=2)."""
    lead = _lead(fn)
    unknown = set(param) - {lead}
    if unknown:
        raise TypeError(f"{fn.info['label']}: unexpected keyword {sorted(unknown)[0]!r}"
                        + (f"; its parameter is {lead}=" if lead else "; it takes no parameter"))
    if lead is None:
        return None
    if lead not in param:
        raise TypeError(f"{fn.info['label']} needs its parameter: {lead}=... ({fn.info['usage']})")
    return _base._param(fn.info, param[lead], False)


def column_values(series, fn=None):
    """A column as float64 (the missing entries of nullable columns as '.')."""
    entry = None if fn is None else fn.info
    return _base._number_array(_base.pandas_values(series), entry, f"column {series.name!r}")


def rowwise(df, func, *columns, **param):
    """func over the given columns of each row (all columns when none is named): the row-wise
    call of the SQL surfaces. rowwise(df, "mean", "t06", "t12", "t18"); a parameter by its name,
    rowwise(df, "pctl", "t06", "t12", "t18", p=90). Also df.qv.mean("t06", "t12", "t18")."""
    fn = _list_function(func)
    p = _param(fn, param)
    cols = list(columns) if columns else list(df.columns)
    values = _base.frame_values(df[cols])
    res = _base.reduce(fn.info, values, _base._NO_PARAM if _lead(fn) is None else p, 1, False, None, False, 2)
    return pd.Series(res, index=df.index, name=fn.__name__)


@pd.api.extensions.register_dataframe_accessor("qv")
class QvFrameAccessor:
    """df.qv.mean("t06", "t12", "t18"): a list function over columns, row by row (see rowwise)."""

    def __init__(self, df):
        self._df = df

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        fn = _list_function(name)

        def method(*columns, **param):
            return rowwise(self._df, name, *columns, **param)

        method.__name__ = fn.__name__
        method.__doc__ = fn.__doc__
        return method

    def __dir__(self):
        return sorted(n for n, f in _base._functions.items() if not f.elementwise)


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


class GroupBy:
    """Group statistics of a DataFrame, made by qvewumth.groupby(df, by, **pandas_groupby_options)."""

    def __init__(self, df, by, **kwargs):
        self._df = df
        self._codes, self.index = group_codes(df.groupby(by, **kwargs))

    def agg(self, **named):
        """Statistics per group, one column each: name=(function, column) or name=(function,
        column, parameter). Returns a DataFrame indexed by the groups."""
        by_column = {}
        for name, item in named.items():
            if not isinstance(item, tuple) or len(item) not in (2, 3):
                raise TypeError(f"agg: {name}= takes (function, column) or (function, column, parameter), not {item!r}")
            fn = _list_function(item[0])
            p = _param(fn, {} if len(item) == 2 else {_lead(fn) or "parameter": item[2]})
            by_column.setdefault(item[1], []).append((name, fn, p))
        data = {}
        for column, items in by_column.items():
            values = column_values(self._df[column], items[0][1])
            out = _core.group_stats(self._codes, len(self.index), values,
                                    [(fn.info["index"], p) for _, fn, p in items], False)
            for (name, fn, _), (res, tally, _) in zip(items, out):
                _base.report(fn.info["label"], tally, "groups", 2)
                data[name] = res
        return pd.DataFrame({name: data[name] for name in named}, index=self.index)

    def stat(self, func, column, status=False, **param):
        """One statistic per group as a Series: stat("pctl", "t12", p=90)."""
        fn = _list_function(func)
        p = _param(fn, param)
        values = column_values(self._df[column], fn)
        ((res, tally, sts),) = _core.group_stats(self._codes, len(self.index), values, [(fn.info["index"], p)],
                                                 bool(status))
        res = pd.Series(res, index=self.index, name=column)
        if status:
            return _base.QvResult(res, sts, None)
        _base.report(fn.info["label"], tally, "groups", 2)
        return res

    def moving(self, window, func, column, min_periods=None, status=False, **param):
        """func over a moving window of each group's rows in row order (see qvewumth.moving); a
        Series aligned with the table's rows."""
        return _moving(self._df[column], window, func, self._codes, len(self.index), min_periods, status, param)


def groupby(df, by, **kwargs):
    """Group statistics computed in one pass: groupby(df, "station").agg(med=("median", "t12"),
    p90=("pctl", "t12", 90)). The groups and their order are pandas' (df.groupby(by, **kwargs));
    each result is one call of the function over the group's values in row order."""
    return GroupBy(df, by, **kwargs)


def moving(s, window, func, min_periods=None, by=None, status=False, **param):
    """func over the window of the last `window` values up to each row, in row order:
    moving(s, 3, "median"). by= (labels, one per row) restarts the windows in every group.
    Rows whose window holds fewer than min_periods values (default: window) give '.'. Each window
    is an aggregate that adds the new row and drops the one leaving, with the result of one call
    over the window's values."""
    codes, ngroups = None, 1
    if by is not None:
        codes, uniques = pd.factorize(np.asarray(by) if not isinstance(by, pd.Series) else by)
        codes, ngroups = codes.astype(np.int64), len(uniques)
    return _moving(s, window, func, codes, ngroups, min_periods, status, param)


def _moving(s, window, func, codes, ngroups, min_periods, status, param):
    fn = _list_function(func)
    p = _param(fn, param)
    if isinstance(s, pd.Series):
        values, wrap = column_values(s, fn), lambda r: pd.Series(r, index=s.index, name=s.name)
    else:
        values, wrap = _base._number_array(s, fn.info, "the values"), lambda r: r
    if values.ndim != 1:
        raise ValueError(f"{fn.info['label']}: moving windows run over one column (1-D values)")
    window = int(window)
    min_periods = window if min_periods is None else int(min_periods)
    res, tally, sts = _core.moving(fn.info["index"], values, codes, ngroups, window, min_periods, p, bool(status))
    if status:
        return _base.QvResult(wrap(res), sts, None)
    _base.report(fn.info["label"], tally, "windows", 3)
    return wrap(res)

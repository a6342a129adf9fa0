"""Dask: the functions over dask arrays and DataFrames, lazily, on any scheduler.

- Elementwise functions and row-wise statistics run block by block (map_blocks,
  map_partitions) with the right metadata; qv.lgamma(x) of a dask array is itself lazy.
- A statistic along an axis takes that axis into one chunk first: each list is one call.
- Group statistics are dask.dataframe.Aggregation objects whose partial states are the host
  library's aggregate states: each partition saves the state of each of its groups (its values,
  or a fixed state for counts and extremes), the states of a group are merged in partition order,
  and one result is made at the end. A group spread over partitions and workers thus gets the
  bits of one call over its values in partition order.

Every worker needs this package importable (the same version), with its libqvewumth.so.
"""

import functools

import numpy as np
import pandas as pd
import dask.array as da
import dask.dataframe as dd
from dask import delayed

from . import _base, _core, _reduce, _values
from . import pandas as qpd
from ._status import errstate, report

__all__ = ["aggregation", "groupby", "rowwise", "elementwise", "reduction", "moving", "GroupBy"]


def _result_dtype(fn):
    return np.dtype(object) if fn.info["result_kind"] == _core.KIND_CHR else np.dtype(np.float64)


def elementwise(fn, args, status=False, **kwargs):
    """fn over dask arrays (broadcast as NumPy does) or a dask Series, block by block."""
    if status:
        raise TypeError(f"{fn.info['label']}: status=True needs the values at hand; compute first")
    part = functools.partial(_block, fn)
    if isinstance(args[0], (dd.Series, dd.DataFrame)):
        return args[0].map_partitions(part, *args[1:], meta=(getattr(args[0], "name", None), _result_dtype(fn)))
    return da.core.elemwise(part, *args, dtype=_result_dtype(fn), **kwargs)


def _block(fn, *args, **kwargs):
    """fn over one block or partition. The functions a worker runs are called from this module, so
    that the warning of a status names its line here, not a line of dask's."""
    return fn(*args, **kwargs)


def reduction(entry, a, p, axis, keepdims):
    """The list function of entry along axis of a dask array (or DataFrame: axis=1 is row-wise)."""
    fn = _base.function(entry["name"])
    args = () if p is _reduce.NO_PARAM else (p,)
    if np.ndim(p) > 0:
        raise TypeError(f"{fn.info['label']}: over a dask array the parameter is one number")
    if isinstance(a, dd.DataFrame) and axis is not None and int(axis) % 2 == 1:
        return a.map_partitions(lambda df: fn(df, *args, axis=1), meta=pd.Series(dtype=_result_dtype(fn),
                                                                                  name=fn.__name__))
    if isinstance(a, (dd.Series, dd.DataFrame)):
        a = a.to_dask_array(lengths=True)
    dtype = _result_dtype(fn)
    if axis is None:
        flat = a.rechunk(-1).reshape(-1)
        r = flat.map_blocks(lambda b: np.asarray(fn(b, *args), dtype=dtype).reshape(1), chunks=(1,), dtype=dtype)
        return r.reshape((1,) * a.ndim) if keepdims else r.reshape(())
    axes = _values.normalize_axes(axis, a.ndim, fn.info["label"])
    a = a.rechunk({ax: -1 for ax in axes})
    if keepdims:
        chunks = tuple((1,) if i in axes else c for i, c in enumerate(a.chunks))
        return a.map_blocks(lambda b: fn(b, *args, axis=axes, keepdims=True), chunks=chunks, dtype=dtype)
    return a.map_blocks(lambda b: fn(b, *args, axis=axes), drop_axis=axes, dtype=dtype)


def rowwise(ddf, func, *columns, **param):
    """func over the given columns of each row of a dask DataFrame, partition by partition (see
    qvewumth.rowwise): a lazy dask Series of float64."""
    fn = qpd.list_function(func)
    qpd.param_of(fn, param)  # checked here, not on a worker
    return ddf.map_partitions(functools.partial(_block, qpd.rowwise), func, *columns, **param,
                              meta=pd.Series(dtype=_result_dtype(fn), name=fn.__name__))


def aggregation(func, p=None, name=None):
    """A dask.dataframe.Aggregation computing func per group, with p its parameter where it has
    one: ddf.groupby("station").agg({"t12": aggregation("pctl", 90)}).

    Partial states are the host library's saved aggregate states (bytes): 64 bytes and 8 more for
    every value an order statistic keeps (all of a group's values in that partition); counts,
    extremes and ranges keep a fixed state; sums and means keep their values so that they merge
    in order."""
    fn = qpd.list_function(func)
    entry = fn.info
    if entry["aggregate"] == _core.AGG_NONE:
        raise TypeError(f"{entry['label']} is not a statistic over rows; it has no aggregate form")
    lead = qpd.lead_name(fn)
    param = qpd.param_of(fn, {} if lead is None else {lead: p})
    index = entry["index"]

    def chunk(grouped):
        codes, keys = qpd.group_codes(grouped)
        states = _core.agg_states(index, param, codes, len(keys), qpd.column_values(grouped.obj, fn))
        return pd.Series(_objects(states), index=keys, dtype=object)

    def agg(grouped):
        codes, keys = qpd.group_codes(grouped)
        states = grouped.obj.to_numpy(dtype=object)
        if not _made_here(states):
            return pd.Series(np.full(len(keys), None, dtype=object), index=keys)
        merged = _core.agg_merge(index, codes, len(keys), states)
        return pd.Series(_objects(merged), index=keys, dtype=object)

    def finalize(states):
        if not _made_here(states.to_numpy(dtype=object)):
            return pd.Series(np.full(len(states), _values.DOT), index=states.index)
        res, tally, _ = _core.agg_finish(index, states.to_numpy(dtype=object), False)
        report(entry["label"], tally, 1)
        return pd.Series(res, index=states.index)

    return dd.Aggregation(name or (fn.__name__ if p is None else f"{fn.__name__}_{p}"), chunk, agg, finalize)


def _made_here(states):
    """Whether the partial states are ours: dask also calls the merge and the finish on made-up
    rows (to learn the result's type), which hold no states."""
    return all(type(x) is bytes for x in states)


def _objects(items):
    out = np.empty(len(items), dtype=object)
    out[:] = items
    return out


class GroupBy:
    """Group statistics of a dask DataFrame, made by qvewumth.dask.groupby(ddf, by, split_out=1,
    **options)."""

    def __init__(self, ddf, by, split_out=1, **kwargs):
        if kwargs.get("as_index", True) is not True:
            raise TypeError("qv.groupby: as_index=False is not supported over a dask DataFrame; "
                            "call reset_index() on the result")
        self._ddf, self._by, self._split_out, self._kwargs = ddf, by, split_out, kwargs

    def agg(self, **named):
        """name=(column, function[, parameter]) as pandas names them (or the function first): a lazy dask DataFrame
        indexed by the groups, one column per statistic. With one output partition (split_out=1)
        and sort (the default) the groups come in pandas' order, a categorical key's in the order
        of its categories; with several, each partition holds its groups in that order."""
        by_column, order = {}, []
        for name, func, column, extra in qpd.named_items(named, self._ddf.columns):
            by_column.setdefault(column, []).append(aggregation(func, *extra, name=name))
        for column, aggs in by_column.items():
            order += [a.__name__ for a in aggs]
        # Dask tries the functions on made-up rows to learn the result's columns; their statuses
        # are no one's concern.
        with errstate(all="ignore"):
            res = self._ddf.groupby(self._by, **self._kwargs).agg(by_column, split_out=self._split_out)
        res.columns = order
        res = res[list(named)]
        if not self._kwargs.get("sort", True):
            return res
        categories = self._categories()
        if categories is None:
            return res.map_partitions(lambda df: df.sort_index())
        return res.map_partitions(lambda df: df.set_axis(df.index.set_categories(categories)).sort_index())

    def _categories(self):
        """The categories of a single categorical key, as the table declares them (dask's
        merge of partitions may list them in another order)."""
        if not isinstance(self._by, str) or self._by not in self._ddf.columns:
            return None
        dtype = self._ddf[self._by].dtype
        if not isinstance(dtype, pd.CategoricalDtype) or dtype.categories is None:
            return None
        return dtype.categories


def groupby(ddf, by, **kwargs):
    """Group statistics of a dask DataFrame: groupby(ddf, "station").agg(med=("t12", "median"),
    p90=("t12", "pctl", 90)), equal bit for bit to qvewumth.groupby over the whole table."""
    return GroupBy(ddf, by, **kwargs)


def moving(s, window, func, min_periods=None, center=False, param=None):
    """qvewumth.moving over a dask Series, lazily: each partition with the rows of its neighbours
    that its windows reach, so every window is the one over the whole Series. The rows a window
    reaches before a partition are carried from partition to partition (and those after it from
    the next ones), so a window may be wider than a partition. The graph is made here rather than
    by dask's map_overlap, which names its overlapped partitions after the Series alone, so that
    two windows over one Series computed together would share them (dask issue 11963)."""
    window, min_periods, center = qpd.window_options(window, min_periods, center)
    fn = qpd.list_function(func)
    param = dict(param or {})
    qpd.param_of(fn, param)  # checked here, not on a worker
    after = (window - 1) // 2 if center else 0
    before = window - 1 - after
    parts, none = s.to_delayed(), s._meta
    tails, heads = [none], [none]
    for i in range(1, len(parts)):
        tails.append(delayed(_last_rows, pure=True)(tails[-1], parts[i - 1], before) if before else none)
        heads.append(delayed(_first_rows, pure=True)(parts[-i], heads[-1], after) if after else none)
    heads.reverse()
    out = [delayed(_window_part, pure=True)(tails[i], part, heads[i], window, func, min_periods, center, param)
           for i, part in enumerate(parts)]
    return dd.from_delayed(out, meta=pd.Series(dtype=np.float64, name=s.name), divisions=s.divisions)


def _last_rows(tail, part, n):
    """The last n rows of tail followed by part."""
    both = pd.concat([tail, part]) if len(tail) else part
    return both.iloc[max(len(both) - n, 0):]


def _first_rows(part, head, n):
    """The first n rows of part followed by head."""
    both = pd.concat([part, head]) if len(head) else part
    return both.iloc[:n]


def _window_part(tail, part, head, window, func, min_periods, center, param):
    """The windows of part's rows, over the rows before (tail) and after (head) that they reach."""
    whole = pd.concat([tail, part, head]) if len(tail) or len(head) else part
    res = qpd.moving(whole, window, func, min_periods=min_periods, center=center, **param)
    return res.iloc[len(tail):len(tail) + len(part)]

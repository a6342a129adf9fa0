"""The Dask path on a real cluster of two worker processes against the pandas and NumPy paths."""
import sys

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest
from conftest import bits
from distributed import Client, LocalCluster

import qvewumth as qv
import qvewumth.dask as qd

STATS = {"med": ("median", "x"), "p90": ("pctl", "x", 90), "mean": ("mean", "x"), "sum": ("sum", "x"), "n": ("n", "x"),
         "lo": ("min", "x"), "r": ("range", "y"), "sd": ("std", "x"), "k3": ("largest", "x", 3), "mad": ("mad", "y")}


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as c:
            yield c


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(11)
    n = 40000
    df = pd.DataFrame({"k": rng.integers(0, 30, n).astype(float), "x": rng.normal(size=n) * 1e3,
                       "y": rng.exponential(size=n)})
    df.loc[::97, "k"] = np.nan
    df.loc[::7, "x"] = qv.missing("M")
    df.loc[::11, "x"] = np.nan
    df.loc[5::13, "y"] = np.inf
    return df


def test_group_statistics_on_two_worker_processes_equal_the_pandas_path(client, table):
    ddf = dd.from_pandas(table, npartitions=9)  # every group spread over every partition
    lazy = qd.groupby(ddf, "k").agg(**STATS)
    assert isinstance(lazy, dd.DataFrame) and list(lazy.columns) == list(STATS)
    with qv.errstate(all="ignore"):
        got = lazy.compute()
        want = qv.groupby(table, "k").agg(**STATS)
    assert got.index.equals(want.index)
    assert np.array_equal(bits(got.to_numpy()), bits(want.to_numpy()))
    assert list(client.run(lambda: "qvewumth" in sys.modules).values()) == [True, True]


def test_row_calls_and_arrays_on_the_cluster(client, table):
    ddf = dd.from_pandas(table, npartitions=5)
    lazy = qd.rowwise(ddf, "pctl", "x", "y", p=50)
    assert lazy.dtype == np.float64 and lazy.name == "pctl"
    assert np.array_equal(bits(lazy.compute()), bits(qv.rowwise(table, "pctl", "x", "y", p=50)))
    a = table[["x", "y"]].to_numpy().reshape(-1, 8)
    chunked = da.from_array(a, chunks=(700, 3))  # the rows are split between chunks
    with qv.errstate(all="ignore"):
        for got, want in ((qv.median(chunked, axis=1), qv.median(a, axis=1)),
                          (qv.pctl(chunked, 90, axis=0, keepdims=True), qv.pctl(a, 90, axis=0, keepdims=True)),
                          (qv.lgamma(chunked), qv.lgamma(a)), (qv.mean(chunked), qv.mean(a))):
            assert isinstance(got, da.Array) and got.shape == np.shape(want)
            assert np.array_equal(bits(got.compute()), bits(want))


def test_pandas_idioms_hold_on_dask(client, table):
    ddf = dd.from_pandas(table, npartitions=6)
    with qv.errstate(all="ignore"):
        want = qv.groupby(table, "k").agg(m=("median", "x"))
        spread = qd.groupby(ddf, "k", split_out=3, sort=False).agg(m=("median", "x")).compute()
        assert bits(spread.m.sort_index()).tolist() == bits(want.m).tolist()
        assert bits(qv.groupby(ddf, "k").agg(m=("median", "x")).compute().m).tolist() == bits(want.m).tolist()
        cats = table.assign(k=pd.Categorical(table.k.map({1.0: "b", 2.0: "a"}).fillna("c"), ["c", "b", "a", "z"]))
        got = qd.groupby(dd.from_pandas(cats, npartitions=6), "k").agg(m=("median", "x")).compute()
        assert got.index.equals(cats.groupby("k").size().index)
        lazy = qv.moving(ddf.x, 101, "median", min_periods=40, center=True)
        assert isinstance(lazy, dd.Series)
        local = qv.moving(table.x, 101, "median", min_periods=40, center=True)
    computed = lazy.compute()
    assert computed.index.equals(table.index) and bits(computed).tolist() == bits(local).tolist()


@pytest.mark.parametrize("windows, npartitions", [
    ([(3, False), (101, True)], 5),  # two windows over one Series in one graph (dask issue 11963)
    ([(1000, False), (999, True), (1000, True)], 40),  # windows wider than a partition
])
def test_moving_windows_on_the_cluster_equal_the_pandas_path(client, table, windows, npartitions):
    ddf = dd.from_pandas(table, npartitions=npartitions)
    with qv.errstate(all="ignore"):
        lazy = [qv.moving(ddf.x, w, "max", min_periods=1, center=c) for w, c in windows]
        got = dask.compute(*lazy)
        want = [qv.moving(table.x, w, "max", min_periods=1, center=c) for w, c in windows]
    for g, w in zip(got, want):
        assert g.index.equals(table.index) and bits(g).tolist() == bits(w).tolist()


SMALL = pd.DataFrame({"k": [1, 1, 2, 2], "x": [-1.0, 2.0, -3.0, 4.0], "y": [1.0, -2.0, 3.0, 4.0]})


@pytest.mark.parametrize("call", [
    lambda d: qd.rowwise(d, "pctl", "x", "y", p=150),
    lambda d: qv.log(d.x),
    lambda d: qv.log(d.x.to_dask_array(lengths=True)),
    lambda d: qv.moving(d.x, 2, "pctl", p=150),
    lambda d: qd.groupby(d, "k").agg(p=("x", "pctl", 150)),
])
def test_a_status_on_a_worker_warns_from_this_package(call):
    # A worker has no user's line to name: the warning names the package's call, not dask's.
    with dask.config.set(scheduler="sync"), pytest.warns(qv.QvWarning) as caught:
        call(dd.from_pandas(SMALL, npartitions=2)).compute()
    assert {w.filename.replace("\\", "/").rsplit("/", 2)[-2:] == ["qvewumth", "dask.py"] for w in caught
            if w.category is qv.QvWarning} == {True}

#!/usr/bin/env python3
"""The Python package against its peers in the same run: NumPy's nan-reductions, pandas' group
statistics, SciPy's special functions, and the single-process path against a 2-worker Dask cluster.
Each timing is the best of a few runs; ratios are qvewumth's time over the peer's (below 1: faster).

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [--quick]
"""
import argparse
import time

import numpy as np
import pandas as pd
import scipy.special

import qvewumth as qv


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def row(name, ours, peer, repeat, n=None):
    a, b = best(ours, repeat), best(peer, repeat)
    per = f"  {a / n * 1e9:6.2f} ns/element" if n else ""
    print(f"{name:<58} {a * 1e3:9.1f} ms {b * 1e3:9.1f} ms {a / b:6.2f}x{per}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="a tenth of the sizes, for a smoke run")
    args = ap.parse_args()
    scale = 10 if args.quick else 1
    rng = np.random.default_rng(42)
    repeat = 3
    print(f"{'case (qvewumth vs peer)':<58} {'qvewumth':>12} {'peer':>12} {'ratio':>7}")

    a = rng.normal(size=(1_000_000 // scale, 10))
    a[rng.random(a.shape) < 0.05] = np.nan
    row("mean axis=1, 1e6 x 10 / np.nanmean", lambda: qv.mean(a, axis=1), lambda: np.nanmean(a, axis=1), repeat)
    row("median axis=1, 1e6 x 10 / np.nanmedian", lambda: qv.median(a, axis=1), lambda: np.nanmedian(a, axis=1), repeat)

    v = rng.normal(size=10_000_000 // scale)
    v[rng.random(v.size) < 0.01] = np.nan
    row("median of 1e7 / np.nanmedian", lambda: qv.median(v), lambda: np.nanmedian(v), repeat)
    row("pctl 90 of 1e7 / np.nanpercentile(averaged_inverted_cdf)", lambda: qv.pctl(v, 90),
        lambda: np.nanpercentile(v, 90, method="averaged_inverted_cdf"), repeat)

    n = 1_000_000 // scale
    df = pd.DataFrame({"k": rng.integers(0, 1000, n), "x": rng.normal(size=n)})
    df.loc[rng.random(n) < 0.02, "x"] = np.nan
    row("group median, 1e6 rows, 1000 groups / groupby().median()",
        lambda: qv.groupby(df, "k").agg(m=("median", "x")), lambda: df.groupby("k").x.median(), repeat)
    row("group pctl 90, 1e6 rows, 1000 groups / groupby().quantile(0.9)",
        lambda: qv.groupby(df, "k").agg(p=("pctl", "x", 90)), lambda: df.groupby("k").x.quantile(0.9), repeat)

    g = rng.uniform(0.1, 50, size=10_000_000 // scale)
    out = np.empty_like(g)
    row("lgamma of 1e7 / scipy.special.gammaln", lambda: qv.lgamma(g, out=out), lambda: scipy.special.gammaln(g, out=out),
        repeat, g.size)
    row("digamma of 1e7 / scipy.special.psi", lambda: qv.digamma(g, out=out), lambda: scipy.special.psi(g, out=out),
        repeat, g.size)
    row("sqrt of 1e7 / np.sqrt", lambda: qv.sqrt(g, out=out), lambda: np.sqrt(g, out=out), repeat, g.size)
    row("sqrt of 1e7 (the bare ufunc) / np.sqrt", lambda: qv.sqrt.ufunc(g, out=out), lambda: np.sqrt(g, out=out), repeat,
        g.size)

    dask_groups(rng, scale)


def dask_groups(rng, scale):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import qvewumth.dask as qd
    n = 10_000_000 // scale
    df = pd.DataFrame({"k": rng.integers(0, 1000, n), "x": rng.normal(size=n)})
    wanted = dict(m=("median", "x"), p=("pctl", "x", 90))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        ddf = client.persist(dd.from_pandas(df, npartitions=16))
        ddf.x.sum().compute()  # the partitions are on the workers before the clock starts
        row("group median+pctl 90, 1e7 rows: 2-worker Dask / pandas path",
            lambda: qd.groupby(ddf, "k").agg(**wanted).compute(), lambda: qv.groupby(df, "k").agg(**wanted), 1)
        state = sum(len(s) for s in qv._core.agg_states(qv.median.info["index"], None, df.k.to_numpy(), 1000,
                                                        df.x.to_numpy()))
        print(f"  (median's partial states of the whole table: {state / 1e6:.0f} MB, shipped between processes)")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The example weather table from Python: a row-wise mean, statistics per station and a 3-day
moving median with pandas, then the same statistics on a Dask cluster of two worker processes,
which must give the same bits. Run from the project root: python/examples/weather.py [CSV]."""
import sys

import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import qvewumth as qv
import qvewumth.dask as qd

READINGS = ["t06", "t12", "t18"]
STATS = dict(n=("n", "t12"), med=("median", "t12"), p90=("pctl", "t12", 90), sd=("std", "t12"))


def main(path):
    df = pd.read_csv(path, dtype={c: object for c in READINGS})
    for c in READINGS:
        df[c] = qv.parse(df[c])  # an empty cell is '.', '.M' a broken sensor
    df["mean"] = df.qv.mean(*READINGS)
    by = qv.groupby(df, "station")
    df["med3"] = by.moving(3, "median", "t12", min_periods=1)
    print("== pandas: each day's mean and the 3-day moving median of t12 per station")
    shown = df.assign(**{c: qv.format(df[c]) for c in [*READINGS, "mean", "med3"]})  # '.M' stays '.M'
    print(shown[["station", "date", *READINGS, "mean", "med3"]].to_string(index=False))
    local = by.agg(**STATS)
    print("== pandas: t12 by station")
    print(local.to_string())

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        ddf = dd.from_pandas(df, npartitions=3)  # every station spread over the partitions
        remote = qd.groupby(ddf, "station").agg(**STATS).compute()
    print("== Dask, 2 worker processes: t12 by station")
    print(remote.to_string())
    same = remote.index.equals(local.index) and np.array_equal(remote.to_numpy().view(np.uint64),
                                                               local.to_numpy().view(np.uint64))
    print("the same bits as pandas:", "yes" if same else "NO")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "examples/weather.csv"))

#!/usr/bin/env python3
"""The Python package against its peers in the same run. Each timing is the best of a few runs;
the ratio is qvewumth's time over the peer's (below 1: faster).

- qv.median against np.median at 10^5, 10^6 and 10^7 values, warm (repeated, each call keeping its
  memory for the next) and cold (after qv.release_memory(), so that the call lays out its argument
  list in fresh memory again); above 2^20 values also with the default bound of qv.set_warm_limit,
  under which such a call gives its memory back when it ends;
- qv.n, qv.mean and qv.median at 10^6 and 10^7 values against the package's own call from C++ over
  an argument list built once (engine_bench's BM_package_call, run by this script when it is built)
  and against the host library's qvh_call_over over the same array (through ctypes): the overhead
  of the surface and of the host library;
- moving median over 10^6 values, windows 101 and 1001, against pandas' rolling median and
  bottleneck's move_median;
- moving mean and std over 10^6 values, windows 11, 101 and 1001, against bottleneck's move_mean
  and move_std (a running sum, O(1) a row, whose bits are not the package's; ours is exact), in
  CPU time, the two taking turns (--moving runs only the moving windows);
- the peak memory above the data of qv.median over 10^7 values, in bytes a value (a child process
  reads its high-water mark);
- reductions of 10^7 values against NumPy and bottleneck and against the package's own call over
  a list built once (bulk_bench's table/NAME, run by this script when it is built): n, sum, mean,
  min and max (fold statistics, called over chunks), var and std; and five percentiles of one list
  against one median (--reductions runs only these);
- elementwise functions (abs, exp, log, sqrt, floor, round to a unit) of 10^6 and 10^7 values (1%
  missing) against NumPy's (--elementwise runs only these);
- statistics by group, 10^6 rows in 1000 groups (n, sum, mean, std, min, max and median), against
  pandas' groupby on the same frame (--groups runs only these).
The last two are timed in CPU time of the process (the best of several runs), as the machine may be
shared.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [--quick] [--reductions] [--moving] [--build build]

--matrix VALUES --keys KEYS is bench/matrix.py's Python part: the same cases over the values of a file.
"""
import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import qvewumth as qv


def best(fn, repeat, clock=time.perf_counter):
    times = []
    for _ in range(repeat):
        t = clock()
        fn()
        times.append(clock() - t)
    return min(times)


def row(name, ours, peer, repeat, clock=time.perf_counter):
    a, b = best(ours, repeat, clock), best(peer, repeat, clock)
    print(f"{name:<60} {a * 1e3:10.2f} ms {b * 1e3:10.2f} ms {a / b:7.2f}x", flush=True)


def cpu_row(name, ours, peer, repeat):
    """row timed in the process's CPU time."""
    row(name, ours, peer, repeat, time.process_time)


def alternating_row(name, ours, peer, repeat):
    """row timed in CPU time with the two sides taking turns, so that a load the shared machine
    takes on part way through weighs on both."""
    a = b = float("inf")
    for _ in range(repeat):
        a = min(a, best(ours, 1, time.process_time))
        b = min(b, best(peer, 1, time.process_time))
    print(f"{name:<60} {a * 1e3:10.2f} ms {b * 1e3:10.2f} ms {a / b:7.2f}x", flush=True)


def moving(rng, scale):
    """Moving median against pandas; moving mean, std and median against bottleneck."""
    s = pd.Series(rng.normal(size=10**6 // scale))
    for w in (101, 1001):
        row(f"moving median of {s.size:.0e}, window {w} / pandas rolling", lambda: qv.moving(s, w, "median"),
            lambda: s.rolling(w).median(), 1)
    for name, ours, peer, theirs in moving_cases(s.to_numpy()):
        alternating_row(f"moving {name} of {s.size:.0e} / {peer}", ours, theirs, 7)


def elementwise_cases(x):
    """(function, ours, peer, peer's call): the elementwise functions and the gamma family."""
    import scipy.special as sp
    return [("abs", lambda: qv.abs(x), "np.abs", lambda: np.abs(x)),
            ("exp", lambda: qv.exp(x), "np.exp", lambda: np.exp(x)),
            ("log", lambda: qv.log(x), "np.log", lambda: np.log(x)),
            ("sqrt", lambda: qv.sqrt(x), "np.sqrt", lambda: np.sqrt(x)),
            ("floor", lambda: qv.floor(x), "np.floor", lambda: np.floor(x)),
            ("round 0.01", lambda: qv.round(x, 0.01), "np.round(x, 2)", lambda: np.round(x, 2)),
            ("gamma", lambda: qv.gamma(x), "scipy gamma", lambda: sp.gamma(x)),
            ("lgamma", lambda: qv.lgamma(x), "scipy gammaln", lambda: sp.gammaln(x)),
            ("digamma", lambda: qv.digamma(x), "scipy digamma", lambda: sp.digamma(x))]


def elementwise(rng, scale):
    """qv's elementwise functions against NumPy's, 1% missing."""
    for n in (10**6 // scale, 10**7 // scale):
        x = rng.uniform(0.001, 100.0, size=n)
        x[99::100] = np.nan
        out = np.empty_like(x)
        for name, ours, peer, theirs in elementwise_cases(x)[:6] + [
                ("exp, out= given", lambda: qv.exp(x, out=out), "np.exp", lambda: np.exp(x, out=out))]:
            cpu_row(f"{name} of {n:.0e} / {peer}", ours, theirs, 5)


GROUP_STATS = (("n", "count"), ("sum", "sum"), ("mean", "mean"), ("std", "std"), ("min", "min"), ("max", "max"),
               ("median", "median"))


def group_cases(df):
    """(statistic, ours, peer, peer's call): qv.groupby(df, "k").agg(...) against pandas' groupby."""
    return [(ours, lambda ours=ours: qv.groupby(df, "k").agg(r=("x", ours)), "pandas groupby",
             lambda theirs=theirs: df.groupby("k").agg(r=("x", theirs))) for ours, theirs in GROUP_STATS]


def groups(rng, scale):
    """qv.groupby(df, key).agg(...) against pandas' groupby of the same frame, one statistic each."""
    n = 10**6 // scale
    df = pd.DataFrame({"k": rng.integers(0, 1000, size=n), "x": rng.normal(size=n)})
    df.loc[df.index[99::100], "x"] = np.nan
    for name, ours, _, theirs in group_cases(df):
        cpu_row(f"groupby {name} of {n:.0e} rows, 1000 groups / pandas", ours, theirs, 5)
    six = GROUP_STATS[:6]
    cpu_row(f"groupby n, sum, mean, std, min, max of {n:.0e} rows / pandas",
            lambda: qv.groupby(df, "k").agg(**{s: ("x", s) for s, _ in six}),
            lambda: df.groupby("k").agg(**{s: ("x", p) for s, p in six}), 5)


class HostCall:
    """The package's own call: qvh_call_over of the host library over an array in place."""

    def __init__(self, path, name):
        lib = self.lib = ctypes.CDLL(path)
        vp = ctypes.c_void_p
        lib.qvh_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(vp)]
        lib.qvh_call_new.argtypes = [vp, ctypes.c_char_p, ctypes.POINTER(vp)]
        lib.qvh_call_over.argtypes = [vp, vp, ctypes.c_size_t, vp, ctypes.c_size_t, ctypes.c_ssize_t,
                                      ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int32), vp]
        self.pkg, self.call = vp(), vp()
        assert lib.qvh_open(None, ctypes.byref(self.pkg)) == 0
        assert lib.qvh_call_new(self.pkg, name.encode(), ctypes.byref(self.call)) == 0
        self.r, self.st = ctypes.c_double(), ctypes.c_int32()

    def __call__(self, x):
        rc = self.lib.qvh_call_over(self.call, None, 0, x.ctypes.data, x.size, 8, ctypes.byref(self.r),
                                    ctypes.byref(self.st), None)
        assert rc == 0
        return self.r.value


def package_calls(build, values):
    """The package's own call from C++ in ms, by (function, values): engine_bench's BM_package_call,
    over the first values of the file `values` (the same values this script times)."""
    engine = os.path.join(build, "bench", "engine_bench")
    if not os.access(engine, os.X_OK):
        return {}
    env = dict(os.environ, QV_LIB=os.path.join(build, "libqvewumth.so"), QV_BENCH_VALUES=values)
    out = subprocess.run([engine, "--benchmark_filter=BM_package_call", "--benchmark_format=json"], env=env,
                         capture_output=True, text=True, check=True).stdout
    times = {}
    for b in json.loads(out)["benchmarks"]:
        _, name, n = b["name"].split("/")  # BM_package_call/median/1000000
        times[(name.upper(), int(n))] = b["cpu_time"] * {"ms": 1, "us": 1e-3, "ns": 1e-6}[b["time_unit"]]
    return times


def package_tables(build):
    """The package's own call over 10^7 values from a list built once, in ms by name (bulk_bench)."""
    bench = os.path.join(build, "bench", "bulk_bench")
    if not os.access(bench, os.X_OK):
        return {}
    env = dict(os.environ, QV_LIB=os.path.join(build, "libqvewumth.so"))
    out = subprocess.run([bench, "--benchmark_filter=table/|percentiles|over/MEDIAN", "--benchmark_format=json"],
                         env=env, capture_output=True, text=True, check=True).stdout
    return {b["name"]: b["real_time"] * {"ms": 1, "us": 1e-3, "ns": 1e-6}[b["time_unit"]]
            for b in json.loads(out)["benchmarks"]}


def reduction_cases(x):
    """(function, ours, peer, peer's call): the reductions of one array against bottleneck."""
    import bottleneck as bn
    return [("n", lambda: qv.n(x), "np.count_nonzero(~isnan)", lambda: np.count_nonzero(~np.isnan(x))),
            ("sum", lambda: qv.sum(x), "bn.nansum", lambda: bn.nansum(x)),
            ("mean", lambda: qv.mean(x), "bn.nanmean", lambda: bn.nanmean(x)),
            ("min", lambda: qv.min(x), "bn.nanmin", lambda: bn.nanmin(x)),
            ("max", lambda: qv.max(x), "bn.nanmax", lambda: bn.nanmax(x)),
            ("var", lambda: qv.var(x), "bn.nanvar(ddof=1)", lambda: bn.nanvar(x, ddof=1)),
            ("std", lambda: qv.std(x), "bn.nanstd(ddof=1)", lambda: bn.nanstd(x, ddof=1))]


FIVE = [5, 25, 50, 75, 95]


def percentile_cases(x):
    """Five percentiles of one list against one median, and the median against NumPy's."""
    return [("pctl 5", lambda: qv.pctl(x, FIVE), "qv.median", lambda: qv.median(x)),
            ("median", lambda: qv.median(x), "np.nanmedian", lambda: np.nanmedian(x))]


def axis_cases(x):
    """Row-wise statistics of x as rows of 10 values (axis=1) against bottleneck's."""
    import bottleneck as bn
    m = x.reshape(-1, 10)
    return [("sum", lambda: qv.sum(m, axis=1), "bn.nansum(axis=1)", lambda: bn.nansum(m, axis=1)),
            ("mean", lambda: qv.mean(m, axis=1), "bn.nanmean(axis=1)", lambda: bn.nanmean(m, axis=1)),
            ("std", lambda: qv.std(m, axis=1), "bn.nanstd(axis=1, ddof=1)", lambda: bn.nanstd(m, axis=1, ddof=1))]


def moving_cases(v):
    """Moving mean and std (windows 11, 101, 1001) and median (101, 1001) against bottleneck's, whose
    mean and std keep a running sum (O(1) a row, not the package's bits; ours is exact). Both give
    every window with a present value a result (min_periods=1, min_count=1): qv.moving's default,
    like pandas', gives a window that holds a missing value none, which would spare it the work."""
    import bottleneck as bn
    peers = {"mean": bn.move_mean, "std": lambda v, w, min_count: bn.move_std(v, w, min_count=min_count, ddof=1),
             "median": bn.move_median}
    return [(f"{stat} w={w}", lambda stat=stat, w=w: qv.moving(v, w, stat, min_periods=1), f"bn.move_{stat}",
             lambda stat=stat, w=w: peers[stat](v, w, min_count=1))
            for stat, windows in (("mean", (11, 101, 1001)), ("std", (11, 101, 1001)), ("median", (101, 1001)))
            for w in windows]


def reductions(rng, scale, build):
    """Reductions of one array against bottleneck and the package's own call from C++."""
    n = 10**7 // scale
    x = rng.normal(size=n)
    x[99::100] = np.nan  # 1% missing, as bulk_bench's list
    table = package_tables(build) if scale == 1 else {}
    qv.set_warm_limit(32 << 20)
    for name, ours_fn, peer, peer_fn in reduction_cases(x):
        ours, theirs = best(ours_fn, 5), best(peer_fn, 5)
        own = table.get(f"table/{name.upper()}")
        print(f"qv.{name} of {n:.0e} / {peer:<24} {ours * 1e3:9.2f} ms {theirs * 1e3:9.2f} ms {ours / theirs:6.2f}x; "
              + (f"the package's own call {own:.2f} ms ({ours * 1e3 / own:.2f}x)" if own else "own call not measured"),
              flush=True)
    for name, ours, peer, theirs in percentile_cases(x):
        row(f"{name} of {n:.0e} / {peer}", ours, theirs, 3)
    if table:
        print(f"from C++: five percentiles {table['percentiles/5']:.2f} ms, one median (qvh_call_over) "
              f"{table['over/MEDIAN']:.2f} ms ({table['percentiles/5'] / table['over/MEDIAN']:.2f}x)")


def matrix(args):
    """The benchmark matrix's Python part: the families named over the values of a file (the package's
    missing value where one is missing) and their group keys, one JSON line a case, CPU time in ms."""
    x = np.fromfile(args.matrix)
    x[np.isnan(x)] = np.nan
    df = pd.DataFrame({"k": np.fromfile(args.keys, dtype=np.int32), "x": x})
    families = {"elementwise": lambda: elementwise_cases(x)[:6], "gamma": lambda: elementwise_cases(x)[6:],
                "reductions": lambda: reduction_cases(x), "axis=1": lambda: axis_cases(x),
                "percentiles": lambda: percentile_cases(x), "groups": lambda: group_cases(df),
                "moving": lambda: moving_cases(x)}
    for family in args.families.split(","):
        for name, ours, peer, theirs in families[family]():
            a, b = best(ours, args.repeat, time.process_time), best(theirs, args.repeat, time.process_time)
            print(json.dumps({"family": family, "function": name, "ours_ms": a * 1e3, "peer": peer,
                              "peer_ms": b * 1e3}), flush=True)


PEAK = """
import sys, numpy as np, qvewumth as qv
x = np.random.default_rng(1).normal(size=int(sys.argv[1]))
qv.median(x[:1000])
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark starts again from here
base = status("VmRSS:")
qv.median(x)
print((status("VmHWM:") - base) / x.size)
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="a tenth of the sizes, for a smoke run")
    ap.add_argument("--reductions", action="store_true", help="only the reductions and the percentiles")
    ap.add_argument("--elementwise", action="store_true", help="only the elementwise functions")
    ap.add_argument("--groups", action="store_true", help="only the statistics by group")
    ap.add_argument("--moving", action="store_true", help="only the moving windows")
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--matrix", metavar="VALUES", help="the benchmark matrix's part over a file of doubles")
    ap.add_argument("--keys", help="with --matrix: a file of int32 group keys, one a value")
    ap.add_argument("--families", default="elementwise,gamma,reductions,axis=1,percentiles,groups,moving")
    ap.add_argument("--repeat", type=int, default=3, help="with --matrix: runs of each, the best counts")
    args = ap.parse_args()
    if args.matrix:
        return matrix(args)
    scale = 10 if args.quick else 1
    rng = np.random.default_rng(42)
    print(f"{'case (qvewumth vs peer)':<60} {'qvewumth':>13} {'peer':>13} {'ratio':>8}")
    if args.moving:
        return moving(rng, scale)
    if args.elementwise or args.groups:
        if args.elementwise:
            elementwise(rng, scale)
        if args.groups:
            groups(rng, scale)
        return
    if args.reductions:
        return reductions(rng, scale, args.build)

    bound = qv.set_warm_limit(1 << 62)  # warm: every call keeps its memory, whatever its size
    for n in (10**5 // scale, 10**6 // scale, 10**7 // scale):
        x = rng.normal(size=n)
        repeat = 5 if n <= 10**6 else 3
        row(f"median of {n:.0e}, warm / np.median", lambda: qv.median(x), lambda: np.median(x), repeat)
        row(f"median of {n:.0e}, cold / np.median", lambda: (qv.release_memory(), qv.median(x)),
            lambda: np.median(x), repeat)
        if n > 2**20:
            qv.set_warm_limit(bound)
            row(f"median of {n:.0e}, default warm bound / np.median", lambda: qv.median(x), lambda: np.median(x),
                repeat)
            qv.set_warm_limit(1 << 62)

    host = {name: HostCall(os.path.join(args.build, "libqvhost.so"), name) for name in ("N", "MEAN", "MEDIAN")}
    # The package's MEDIAN takes up to 2.5 times as long on one sample as on another of the same
    # distribution, so both sides time the same values: engine_bench reads them from a file.
    values = rng.uniform(-1e6, 1e6, size=10**7 // scale)
    with tempfile.NamedTemporaryFile(suffix=".f64") as f:
        values.tofile(f.name)
        package = package_calls(args.build, f.name) if scale == 1 else {}  # engine_bench times 10^7 values
    for n in (10**6 // scale, 10**7 // scale):
        x = values[:n]
        for name, fn in (("N", qv.n), ("MEAN", qv.mean), ("MEDIAN", qv.median)):
            ours, over = best(lambda: fn(x), 5), best(lambda: host[name](x), 5)
            own = package.get((name, n))
            print(f"qv.{name.lower()} of {n:.0e}: {ours * 1e3:.2f} ms; qvh_call_over {over * 1e3:.2f} ms "
                  f"({ours / over:.2f}x); the package's own call from C++ "
                  + (f"{own:.2f} ms ({ours * 1e3 / own:.2f}x)" if own else "not measured (build engine_bench)"),
                  flush=True)

    qv.set_warm_limit(bound)
    moving(rng, scale)

    reductions(rng, scale, args.build)
    elementwise(rng, scale)
    groups(rng, scale)
    n = 10**7 // scale
    peak = subprocess.run([sys.executable, "-c", PEAK, str(n)], capture_output=True, text=True, check=True)
    np_peak = subprocess.run([sys.executable, "-c", PEAK.replace("qv.median(x)", "np.median(x)"), str(n)],
                             capture_output=True, text=True, check=True)
    print(f"peak memory above the data, median of {n:.0e}: qv.median {float(peak.stdout):.1f} B/value, "
          f"np.median {float(np_peak.stdout):.1f} B/value")


if __name__ == "__main__":
    main()

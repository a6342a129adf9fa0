#!/usr/bin/env python3
"""The benchmark matrix: every function family on every surface in one run, each case timed against
its ecosystem's peer and against the package's own call loop from C, printed as markdown tables.

The values are uniform on (0.001, 100), 1% of them missing (every hundredth) or none, with group keys
0 to 999 drawn at random; the C loop (bench/bulk_bench, bench/engine_bench), Python and R read the
same files, the SQL engines draw alike. Each surface's part times its cases and its peers in one
process (bench/python_bench.py --matrix, bench/r_bench.sh --matrix, bench/duckdb_bench.js --cases,
bench/sqlite_bench.sh --cases, bench/pg_bench.sh with a generated script); this script only lays out
the data, runs the parts and joins their figures. The SQL cases are written once, below.

    /usr/bin/python3 bench/matrix.py [BUILD_DIR] [--quick] [--surfaces c,python,r,duckdb,sqlite,postgres]
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

HERE = os.path.dirname(os.path.abspath(__file__))
ORDER = ["elementwise", "gamma", "reductions", "axis=1", "percentiles", "groups", "moving"]
SURFACES = ["c", "python", "r", "duckdb", "sqlite", "postgres", "cli"]
NAMES = {"c": "C", "python": "Python", "r": "R", "duckdb": "DuckDB", "sqlite": "SQLite",
         "postgres": "PostgreSQL", "cli": "qvfnc (the command line)"}


def write_data(folder, n, missing, dot):
    """Files of n values (dot where missing) and of n int32 group keys; their paths."""
    rng = np.random.default_rng(n)
    x = rng.uniform(0.001, 100.0, size=n)
    if missing:
        x[99::100] = dot
    values, keys = os.path.join(folder, f"x{n}_{missing}.f64"), os.path.join(folder, f"k{n}.i32")
    x.tofile(values)
    rng.integers(0, 1000, size=n, dtype=np.int32).tofile(keys)
    return values, keys


def gbench(program, filt, env):
    """A Google Benchmark program's CPU times in ms (and ns an item), by name."""
    out = subprocess.run([program, f"--benchmark_filter={filt}", "--benchmark_format=json", "--benchmark_min_time=0.2"], env=env,
                         capture_output=True, text=True, check=True).stdout
    scale = {"ms": 1, "us": 1e-3, "ns": 1e-6, "s": 1e3}
    return {b["name"]: (b["cpu_time"] * scale[b["time_unit"]], 1e9 / b.get("items_per_second", float("nan")))
            for b in json.loads(out)["benchmarks"] if "error_message" not in b}


C_NAMES = {"loop": "elementwise", "table": "reductions", "rows": "axis=1", "groups": "groups"}
GAMMA = {"GAMMA", "LGAMMA", "DIGAMMA"}


def c_part(build, job, moving_values):
    """The package's own call loop from C: {(family, function): ms} at the job's size."""
    env = dict(os.environ, QV_LIB=os.path.join(build, "libqvewumth.so"), QV_BENCH_VALUES=job["values"],
               QV_BENCH_KEYS=job["keys"])
    times = {}
    for name, (ms, _) in gbench(os.path.join(build, "bench", "bulk_bench"), "^(loop|table|rows|groups)/", env).items():
        kind, fn = name.split("/")
        if fn == "RANGE":
            continue
        family = "gamma" if fn in GAMMA else C_NAMES[kind]
        if kind == "table" and fn in ("MEDIAN", "PCTL5"):
            family = "percentiles"
        times[(family, {"ROUND": "round 0.01", "PCTL5": "pctl 5"}.get(fn, fn.lower()))] = ms
    if "moving" in job["families"]:
        # One call of the package per window, its list laid out per row, at engine_bench's 10^6 rows:
        # the time a row, times the rows here.
        env["QV_BENCH_VALUES"] = moving_values
        for name, (_, ns) in gbench(os.path.join(build, "bench", "engine_bench"), "BM_package_per_window", env).items():
            _, stat, w = name.split("/")
            times[("moving", f"{stat} w={w}")] = ns * job["n"] / 1e6
    return times


def records(lines):
    return [json.loads(line) for line in lines.splitlines() if line.startswith("{")]


def python_part(build, job, repeat):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"), QV_LIB=os.path.join(build, "libqvewumth.so"))
    out = subprocess.run([sys.executable, os.path.join(HERE, "python_bench.py"), "--matrix", job["values"],
                          "--keys", job["keys"], "--families", ",".join(job["families"]), "--repeat", str(repeat)],
                         env=env, capture_output=True, text=True, check=True).stdout
    return records(out)


def r_part(build, job, repeat, installed):
    """R's cases through r_bench.sh, which installs the package into the build tree unless told it is."""
    env = dict(os.environ, QV_R_INSTALLED="1" if installed else "")
    return records(subprocess.run([os.path.join(HERE, "r_bench.sh"), build, "--matrix", str(repeat), job["values"],
                                   job["keys"], ",".join(job["families"])], env=env, capture_output=True, text=True,
                                  check=True).stdout)


# The SQL cases: (family, function, ours, peer's name, peer) over t(i, g, x) of n rows and w(a..j) of
# n / 10 rows; {D} is the dialect's table of names (DuckDB, SQLite, PostgreSQL), None: no peer.
DIALECTS = {
    "duckdb": {"ln": "ln", "gamma": "gamma", "lgamma": "lgamma", "var": "var_samp", "std": "stddev_samp",
               "median": "median(x)", "pctl5": "quantile_cont(x, [0.05, 0.25, 0.5, 0.75, 0.95])",
               "prow": "qv_p", "rowsum": "list_sum([{c}])", "rowmean": "list_avg([{c}])",
               "rowstd": "list_stddev_samp([{c}])", "round": "round(x, 2)"},
    "sqlite": {"ln": "ln", "gamma": None, "lgamma": None, "var": None, "std": None, "median": None, "pctl5": None,
               "prow": "qv_", "rowsum": None, "rowmean": None, "rowstd": None, "round": "round(x, 2)"},
    "postgres": {"ln": "ln", "gamma": None, "lgamma": None, "var": "var_samp", "std": "stddev_samp",
                 "median": "percentile_cont(0.5) WITHIN GROUP (ORDER BY x)",
                 "pctl5": "percentile_cont(ARRAY[0.05, 0.25, 0.5, 0.75, 0.95]) WITHIN GROUP (ORDER BY x)",
                 "prow": "qv_", "rowsum": None, "rowmean": None, "rowstd": None, "round": "round(x::numeric, 2)"},
}
COLS = "a, b, c, d, e, f, g, h, i, j"


def sql_cases(engine, families):
    d = DIALECTS[engine]
    whole = lambda f: f"SELECT {f} FROM t"
    summed = lambda f: f"SELECT sum({f}) FROM t"
    cases = []
    elementwise = [("abs", "abs(x)"), ("exp", "exp(x)"), ("log", f"{d['ln']}(x)"), ("sqrt", "sqrt(x)"),
                   ("floor", "floor(x)")]
    for fn, peer in elementwise:
        cases.append(("elementwise", fn, summed(f"qv_{fn}(x)"), peer, summed(peer)))
    cases.append(("elementwise", "round 0.01", summed("qv_round(x, 0.01)"), d["round"], summed(d["round"])))
    for fn in ("gamma", "lgamma", "digamma"):
        peer = d.get(fn) and f"{d[fn]}(x)"
        cases.append(("gamma", fn, summed(f"qv_{fn}(x)"), peer, peer and summed(peer)))
    for fn, peer in (("n", "count(x)"), ("sum", "sum(x)"), ("mean", "avg(x)"), ("min", "min(x)"), ("max", "max(x)"),
                     ("var", d["var"] and f"{d['var']}(x)"), ("std", d["std"] and f"{d['std']}(x)")):
        cases.append(("reductions", fn, whole(f"qv_{fn}(x)"), peer, peer and whole(peer)))
    for fn in ("sum", "mean", "std"):
        peer = d[f"row{fn}"] and d[f"row{fn}"].format(c=COLS)
        cases.append(("axis=1", fn, f"SELECT sum({d['prow']}{fn}({COLS})) FROM w", peer,
                      peer and f"SELECT sum({peer}) FROM w"))
    # PostgreSQL and DuckDB take the five in one array or list, as their own percentiles do; SQLite,
    # one aggregate each.
    five = {"postgres": "qv_pctl(ARRAY[5, 25, 50, 75, 95], x)", "duckdb": "qv_pctl([5, 25, 50, 75, 95], x)"}.get(
        engine, ", ".join(f"qv_pctl({p}, x)" for p in (5, 25, 50, 75, 95)))
    cases.append(("percentiles", "pctl 5", whole(five), d["pctl5"], d["pctl5"] and whole(d["pctl5"])))
    median = d["median"] and whole(d["median"])
    if engine == "sqlite":  # SQLite has no median: the middle row in order
        median = "SELECT x FROM t WHERE x IS NOT NULL ORDER BY x LIMIT 1 OFFSET (SELECT count(x) / 2 FROM t)"
    cases.append(("percentiles", "median", whole("qv_median(x)"), d["median"] or (median and "ORDER BY x LIMIT 1"),
                  median))
    grouped = lambda f: f"SELECT count(v) FROM (SELECT g, {f} AS v FROM t GROUP BY g) s"
    for fn, peer in (("n", "count(x)"), ("sum", "sum(x)"), ("mean", "avg(x)"), ("std", d["std"] and f"{d['std']}(x)"),
                     ("min", "min(x)"), ("max", "max(x)"), ("median", d["median"])):
        cases.append(("groups", fn, grouped(f"qv_{fn}(x)"), peer, peer and grouped(peer)))
    moving = lambda f, w: f"SELECT max(v) FROM (SELECT {f} OVER (ORDER BY i ROWS {w - 1} PRECEDING) AS v FROM t) s"
    for fn, peer, windows in (("mean", "avg(x)", (11, 101, 1001)), ("std", d["std"] and f"{d['std']}(x)", (11, 101, 1001)),
                              ("median", engine == "duckdb" and "median(x)", (101, 1001))):
        for w in windows:
            cases.append(("moving", f"{fn} w={w}", moving(f"qv_{fn}(x)", w), peer, peer and moving(peer, w)))
    # A moving statistic over 10^6 rows takes the engines seconds to minutes: one run each.
    return [dict(family=c[0], function=c[1], ours=c[2], peer=c[3] or "none", peer_sql=c[4],
                 **({"repeat": 1} if c[0] == "moving" else {})) for c in cases if c[0] in families]


def sql_tables(engine, n, missing):
    """The tables t(i, g, x) and w(a..j) of the SQL cases."""
    rand = {"duckdb": "random()", "postgres": "random()",
            "sqlite": "(random() / 18446744073709551616.0 + 0.5)"}[engine]
    series = {"duckdb": "range(0, {0}) r(i)", "postgres": "generate_series(0, {0} - 1) r(i)",
              "sqlite": "generate_series(0, {0} - 1) r"}[engine]
    i = "value" if engine == "sqlite" else "i"
    x = f"0.001 + 99.999 * {rand}"
    if missing:
        x = f"CASE WHEN {i} % 100 = 99 THEN NULL ELSE {x} END"
    g = f"CAST(1000 * {rand} AS INTEGER)" if engine != "sqlite" else "abs(random() % 1000)"
    cols = ", ".join(f"{x} AS {c}" for c in COLS.split(", "))
    return [f"CREATE TABLE t AS SELECT {i} AS i, {g} AS g, {x} AS x FROM {series.format(n)}",
            f"CREATE TABLE w AS SELECT {cols} FROM {series.format(n // 10)}"]


def sql_part(engine, build, job, repeat):
    """One engine's cases at the job's size, through its script; records."""
    cases = sql_cases(engine, job["families"])
    with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
        json.dump({"setup": sql_tables(engine, job["n"], job["missing"]), "cases": cases, "repeat": repeat}, f)
        f.flush()
        script = {"duckdb": ["node", os.path.join(HERE, "duckdb_bench.js"), build, "--cases", f.name],
                  "sqlite": [os.path.join(HERE, "sqlite_bench.sh"), build, "--cases", f.name],
                  "postgres": [os.path.join(HERE, "pg_bench.sh"), build, "--cases", f.name]}[engine]
        return records(subprocess.run(script, capture_output=True, text=True, check=True).stdout)


REDUCTIONS = ["n", "sum", "mean", "min", "max", "var", "std"]
GROUPS = ["n", "sum", "mean", "std", "min", "max", "median"]


def cli_part(build, job, folder):
    """qvfnc's summaries of a table of the job's values (x, then the key g; NA where missing), all
    statistics of a family in one run, against GNU datamash's; records."""
    import pandas as pd
    x = np.fromfile(job["values"])
    table = os.path.join(folder, "table.csv")
    pd.DataFrame({"x": np.where(np.isnan(x), np.nan, x), "g": np.fromfile(job["keys"], dtype=np.int32)}).to_csv(
        table, index=False, na_rep="NA")
    qvfnc = f"{build}/qvfnc --na NA --csv {table}"
    datamash = f"datamash -t, --header-in --narm"
    stats = lambda names: " ".join(f"'{s}={s.upper()}(x)'" for s in names)
    ops = {"n": "count", "sum": "sum", "mean": "mean", "min": "min", "max": "max", "var": "svar", "std": "sstdev",
           "median": "median"}
    five = (5, 25, 50, 75, 95)
    cases = [("reductions", REDUCTIONS, f"{qvfnc} --summary {stats(REDUCTIONS)}",
              f"{datamash} {' '.join(f'{ops[s]} 1' for s in REDUCTIONS)} < {table}"),
             ("percentiles", ["pctl 5"], f"{qvfnc} --summary " + " ".join(f"'p{p}=PCTL({p}, x)'" for p in five),
              f"{datamash} {' '.join(f'perc:{p} 1' for p in five)} < {table}"),
             ("percentiles", ["median"], f"{qvfnc} --summary 'm=MEDIAN(x)'", f"{datamash} median 1 < {table}"),
             ("groups", GROUPS, f"{qvfnc} --by g {stats(GROUPS)}",
              f"{datamash} -s -g 2 {' '.join(f'{ops[s]} 1' for s in GROUPS)} < {table}")]
    cases = [dict(family=f, function=", ".join(fns), ours=ours, peer="datamash", peer_sql=peer)
             for f, fns, ours, peer in cases if f in job["families"]]
    with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
        json.dump({"cases": cases}, f)
        f.flush()
        out = subprocess.run([os.path.join(HERE, "csv_bench.sh"), build, "--cases", f.name], capture_output=True,
                             text=True, check=True).stdout
    return records(out)


def cell(r, c_ms):
    """A surface's case: its time and its peer's in ms, the ratio to the peer, and to the C loop."""
    text = f"{r['ours_ms']:.3g}"
    if r.get("peer_ms"):
        text += f" / {r['peer_ms']:.3g}: **{r['ours_ms'] / r['peer_ms']:.2f}**"
    if c_ms:
        text += f", C {r['ours_ms'] / c_ms:.2f}"
    return text


def table(results, c_times, surfaces):
    """The matrix as one markdown table, and the peers of each family and surface."""
    rows = {}
    for s in surfaces:
        for r in results[s]:
            rows.setdefault((ORDER.index(r["family"]), r["n"], r["missing"], r["family"], r["function"]), {})[s] = r
    shown = [s for s in surfaces if s != "c"]
    print("| family | function | n | missing | C loop ms | " + " | ".join(NAMES[s] for s in shown) + " |")
    print("|---" * (5 + len(shown)) + "|")
    # Rows by family, size and missing share, the functions in the order the parts ran them.
    for (_, n, missing, family, function), by in sorted(rows.items(), key=lambda kv: kv[0][:3]):
        # A case of several statistics at once (the command line's) against the sum of their C loops.
        parts = [c_times.get((n, missing, family, fn)) for fn in function.split(", ")]
        c_ms = None if None in parts else sum(parts)
        print(f"| {family} | {function} | {n:.0e} | {missing:.0%} | {'' if c_ms is None else f'{c_ms:.3g}'} | "
              + " | ".join(cell(by[s], c_ms) if s in by else "" for s in shown) + " |")
    print("\n| family | " + " | ".join(NAMES[s] for s in shown) + " |")
    print("|---" * (1 + len(shown)) + "|")
    for family in ORDER:
        peers = [list(dict.fromkeys(r["peer"] for r in results[s] if r["family"] == family)) for s in shown]
        print(f"| {family} | " + " | ".join(", ".join(f"`{p.replace(COLS, 'a, ..., j')}`" for p in ps if p != "none")
                                           for ps in peers) + " |")


def run_parts(build, surfaces, sizes, repeat, out):
    """Runs every surface's part on every size and missing share, the smaller size first, each record
    written to out as it comes (so that a run cut short still leaves its figures)."""
    host = ctypes.CDLL(os.path.join(build, "libqvhost.so"))
    host.qvh_dot.restype = ctypes.c_double
    r_installed = False
    with tempfile.TemporaryDirectory() as folder:
        jobs = [dict(n=n, missing=missing, families=ORDER if n == sizes[0] else ORDER[:-1])
                for n in sizes for missing in (0, 0.01)]  # moving statistics at the smaller size only
        for job in jobs:
            job["values"], job["keys"] = write_data(folder, job["n"], job["missing"], host.qvh_dot())
        moving_values = {job["missing"]: job["values"] for job in jobs if job["n"] == 10**6}
        parts = {"c": lambda job: [dict(family=f, function=fn, ours_ms=ms, peer="none") for (f, fn), ms in
                                   c_part(build, job, moving_values[job["missing"]]).items()],
                 "python": lambda job: python_part(build, job, repeat),
                 "r": lambda job: r_part(build, job, repeat, r_installed),
                 "cli": lambda job: cli_part(build, job, folder)}
        for engine in ("duckdb", "sqlite", "postgres"):
            parts[engine] = lambda job, engine=engine: sql_part(engine, build, job, repeat)
        for job in jobs:
            for surface in surfaces:
                start = time.time()
                try:
                    for r in parts[surface](job):
                        out.write(json.dumps(dict(r, surface=surface, n=job["n"], missing=job["missing"])) + "\n")
                except subprocess.CalledProcessError as e:  # the other parts still run
                    print(f"{surface} failed: {e.stderr[-2000:]}", file=sys.stderr)
                out.flush()
                r_installed |= surface == "r"
                print(f"n = {job['n']:.0e}, missing {job['missing']:.0%}: {surface} {time.time() - start:.0f} s",
                      file=sys.stderr, flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--quick", action="store_true", help="10^5 and 10^6 values (moving: 10^5), 2 runs each")
    ap.add_argument("--surfaces", default=",".join(SURFACES))
    ap.add_argument("--records", help="keep every figure in this file, one JSON line each")
    ap.add_argument("--table", metavar="RECORDS", help="print the table of a records file, running nothing")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    surfaces = [s for s in SURFACES if s in args.surfaces.split(",")]
    records_file = args.table or args.records or os.path.join(build, "bench-data", "matrix.jsonl")
    if not args.table:
        os.makedirs(os.path.dirname(records_file), exist_ok=True)
        sizes, repeat = ((10**5, 10**6), 2) if args.quick else ((10**6, 10**7), 3)
        with open(records_file, "w") as out:
            run_parts(build, surfaces, sizes, repeat, out)
    with open(records_file) as f:
        rows = [json.loads(line) for line in f]
    results = {s: [r for r in rows if r["surface"] == s] for s in SURFACES}
    c_times = {(r["n"], r["missing"], r["family"], r["function"]): r["ours_ms"] for r in results["c"]}
    table(results, c_times, [s for s in SURFACES if results[s]])


if __name__ == "__main__":
    main()

#!/usr/bin/env bash
# The main job: builds the package and the qvfnc host, evaluates the example expressions, then
# adds the daily mean, high and count of readings to every row of the example weather table, and
# summarises the same table per station in SQLite and DuckDB through their extensions, in Python
# (pandas and a 2-worker Dask cluster), in a throwaway PostgreSQL server with the extension, when
# one can be started here, and in R. It installs only what it needs (scripts/deps.sh main) and
# builds only the targets it shows: no tests, no benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh main
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# 0 when the build folder's cache has the option switched off (-DNAME=OFF given once is kept).
switched_off() {
    local v
    v=$(sed -n "s/^$1:BOOL=//p" build/CMakeCache.txt | tr '[:lower:]' '[:upper:]')
    case "$v" in OFF | 0 | FALSE | NO | N | IGNORE | NOTFOUND) return 0 ;; *) return 1 ;; esac
}
targets=(qvfnc qvewumth)
switched_off QV_SQLITE || targets+=(qvsqlite)
cmake --build build -j "$(nproc)" --target "${targets[@]}"
echo "== examples/expressions.txt"
build/qvfnc < examples/expressions.txt
echo "== examples/weather.csv"
build/qvfnc --csv examples/weather.csv 'mean=MEAN(t06, t12, t18)' 'high=MAX(t06, t12, t18)' 'n=N(t06, t12, t18)'
echo "== examples/weather.csv by station"
build/qvfnc --csv examples/weather.csv --by station 'n=N(t12)' 'median=MEDIAN(t12)' 'p90=PCTL(90, t12)' \
    'spread=ROUND(MEAN(t18 - t06), 0.01)'
echo "== examples/weather.csv in SQLite, through build/libqvsqlite.so"
if switched_off QV_SQLITE; then
    echo "(the SQLite extension is left out of this build: QV_SQLITE is OFF)"
else
    sql/sqlite/weather.sh build
fi
echo "== examples/weather.csv in DuckDB, through build/qvewumth.duckdb_extension and the node client"
modules=build-deps/duckdb/node_modules
if switched_off QV_DUCKDB; then
    echo "(the DuckDB extension is left out of this build: QV_DUCKDB is OFF)"
elif ! cmake --build build --target help | grep '^qvduckdb_extension:' >/dev/null; then
    echo "(the DuckDB extension is not built here: no DuckDB headers in build-deps/duckdb)"
elif ! command -v node >/dev/null || [ ! -d "$modules/@duckdb/node-api" ]; then
    echo "(no node or no DuckDB node client in $modules: skipped)"
else
    cmake --build build -j "$(nproc)" --target qvduckdb_extension >/dev/null
    NODE_PATH=$modules node sql/duckdb/weather.js build/qvewumth.duckdb_extension examples/weather.csv
fi
echo "== examples/weather.csv in Python: pandas, then a 2-worker Dask cluster (python/examples/weather.py)"
if switched_off QV_PYTHON; then
    echo "(the Python package is left out of this build: QV_PYTHON is OFF)"
elif cmake --build build --target help | grep '^qvewumth_python:' >/dev/null; then
    cmake --build build -j "$(nproc)" --target qvewumth_python
    PYTHONPATH=build/python /usr/bin/python3 python/examples/weather.py examples/weather.csv
else
    echo "(the Python package is not built here: no /usr/bin/python3 or NumPy headers)"
fi
echo "== examples/weather.csv in PostgreSQL (sql/postgres/weather.sh)"
if switched_off QV_POSTGRES; then
    echo "(the PostgreSQL extension is left out of this build: QV_POSTGRES is OFF)"
elif cmake --build build -j "$(nproc)" --target qvewumth_pg >/dev/null 2>&1; then
    rc=0
    sql/postgres/weather.sh build || rc=$?
    [ $rc -ne 77 ] || echo "(no PostgreSQL server can be started here: skipped)"
    [ $rc -eq 0 ] || [ $rc -eq 77 ] || exit $rc
else
    echo "(the PostgreSQL extension is not built here: no pg_config or server headers)"
fi
echo "== examples/weather.csv in R (r/weather.sh)"
if command -v R >/dev/null; then
    cmake --build build -j "$(nproc)" --target qvhost qvewumth >/dev/null
    r/weather.sh build
else
    echo "(R is not installed here: skipped)"
fi

#!/usr/bin/env bash
# The main job: builds the package and the qvfnc host, evaluates the example expressions, then
# adds the daily mean, high and count of readings to every row of the example weather table,
# and summarises the same table per station in SQLite through the extension.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qvfnc qvewumth qvsqlite
echo "== examples/expressions.txt"
build/qvfnc < examples/expressions.txt
echo "== examples/weather.csv"
build/qvfnc --csv examples/weather.csv 'mean=MEAN(t06, t12, t18)' 'high=MAX(t06, t12, t18)' 'n=N(t06, t12, t18)'
echo "== examples/weather.csv in SQLite, through build/libqvsqlite.so"
sql/sqlite/weather.sh build

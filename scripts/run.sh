#!/usr/bin/env bash
# The main job: builds the package and the qvfnc host, evaluates the example expressions, then
# adds the daily mean, high and count of readings to every row of the example weather table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qvfnc qvewumth
echo "== examples/expressions.txt"
build/qvfnc < examples/expressions.txt
echo "== examples/weather.csv"
build/qvfnc --csv examples/weather.csv 'mean=MEAN(t06, t12, t18)' 'high=MAX(t06, t12, t18)' 'n=N(t06, t12, t18)'
echo "== examples/weather.csv by station"
build/qvfnc --csv examples/weather.csv --by station 'n=N(t12)' 'median=MEDIAN(t12)' 'p90=PCTL(90, t12)' \
    'spread=ROUND(MEAN(t18 - t06), 0.01)'

#!/usr/bin/env bash
# The extension against the server's own functions, in one connection of a throwaway server:
# qv_median and qv_pctl against percentile_cont (selection against sorting) and qv_mean against
# avg on 10^6 and 10^7 random and sorted rows, with 0 and 2 parallel workers; row-wise qv_mean of
# three columns against (a + b + c) / 3 on 10^6 rows; the plan of qv_median on 10^7 rows; the
# memory the qv_ functions hold per row of a median, and the backend's resident memory before and
# after parallel aggregates. It takes about a quarter of an hour.
#   bench/pg_bench.sh [BUILD_DIR]        (default: build; needs root or a writable server folder)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
pg_config=$(sed -n 's/^QV_PG_CONFIG:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -n "$pg_config" ] || pg_config=pg_config
[ -f "$build/postgres/qvewumth_pg.so" ] || { echo "no $build/postgres/qvewumth_pg.so: build first" >&2; exit 1; }
export QVPG_CONF="shared_buffers = '2GB'
max_wal_size = '8GB'
max_parallel_workers_per_gather = 2"
export QVPG_TIMEOUT=3600
exec sql/postgres/throwaway.sh "$("$pg_config" --bindir)" "$build" psql -X -f bench/pg_bench.sql

#!/usr/bin/env bash
# The extension against the server's own functions, in one connection of a throwaway server:
# qv_median and qv_pctl against percentile_cont (selection against sorting) and qv_mean against
# avg on 10^6 and 10^7 random and sorted rows, with 0 and 2 parallel workers; row-wise qv_mean of
# three columns against (a + b + c) / 3 on 10^6 rows; the plan of qv_median on 10^7 rows; the
# memory the qv_ functions hold per row of a median, and the backend's resident memory before and
# after parallel aggregates. It takes about a quarter of an hour.
#   bench/pg_bench.sh [BUILD_DIR]        (default: build; needs root or a writable server folder)
#   bench/pg_bench.sh BUILD_DIR --cases FILE   (bench/matrix.py's PostgreSQL part: the file's setup
#     statements, then each case's query and its peer's in turn, 2 parallel workers, one JSON line
#     a case, the fastest runs in ms)
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
script=bench/pg_bench.sql
if [ "${2:-}" = --cases ]; then
    script=$(mktemp --suffix=.sql)
    trap 'rm -f "$script"' EXIT
    { echo '\set ON_ERROR_STOP 1'; echo 'SET client_min_messages = warning;'; echo 'CREATE EXTENSION qvewumth;'
      echo "\\i $(pwd)/bench/pg_pair.sql"
      jq -r '.setup[] + ";"' "$3"; echo 'VACUUM ANALYZE;'
      jq -r --argjson r "$(jq .repeat "$3")" 'def q: "\u0027" + gsub("\u0027"; "\u0027\u0027") + "\u0027";
        .cases[] | "SELECT json_build_object(\u0027family\u0027, \(.family | q), \u0027function\u0027, \(.function | q), "
          + "\u0027peer\u0027, \(.peer | q), \u0027ours_ms\u0027, ours_ms, \u0027peer_ms\u0027, "
          + (if .peer_sql then "peer_ms" else "NULL" end) + ") FROM pg_temp.pair(\(.ours | q), "
          + "\((.peer_sql // "SELECT 1") | q), 2, \u00274MB\u0027, \(.repeat // $r));"' "$3"
    } >"$script"
    sql/postgres/throwaway.sh "$("$pg_config" --bindir)" "$build" psql -X -At -f "$script"
    exit
fi
exec sql/postgres/throwaway.sh "$("$pg_config" --bindir)" "$build" psql -X -f "$script"

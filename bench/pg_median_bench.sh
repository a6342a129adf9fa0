#!/usr/bin/env bash
# qv_median against percentile_cont(0.5) on 10^6 random rows, timed at the client (psql's \timing:
# the round trip of each statement, the client included), without workers and with two, the two
# queries taking turns $REPEAT times (default 5); prints the best time of each and the ratio
# (percentile_cont's time over qv_median's: above 1, qv_median is faster).
#   bench/pg_median_bench.sh [BUILD_DIR]        (default: build; needs root or writable server folders)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
repeat=${REPEAT:-5}
pg_config=$(sed -n 's/^QV_PG_CONFIG:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -n "$pg_config" ] || pg_config=pg_config
[ -f "$build/postgres/qvewumth_pg.so" ] || { echo "no $build/postgres/qvewumth_pg.so: build first" >&2; exit 1; }
script=$(mktemp)
trap 'rm -f "$script"' EXIT
cat >"$script" <<'SH'
set -euo pipefail
psql -X -q -v ON_ERROR_STOP=1 <<'SQL'
CREATE EXTENSION qvewumth;
SELECT setseed(0.5);
CREATE TABLE r6 AS SELECT random() AS x FROM generate_series(1, 1000000);
VACUUM ANALYZE r6;
SELECT count(*) FROM r6;
SQL
for workers in 0 2; do
    {
        echo "SET max_parallel_workers_per_gather = $workers; SET work_mem = '256MB';"
        echo '\timing on'
        for _ in $(seq "$REPEAT"); do
            echo "SELECT qv_median(x) FROM r6;"
            echo "SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY x) FROM r6;"
        done
    } | psql -X -q -v ON_ERROR_STOP=1 -o /dev/null | awk -v w="$workers" '
        /^Time:/ { i = k++ % 2; if (!(i in best) || $2 < best[i]) best[i] = $2 }
        END { printf "workers %d: qv_median %.1f ms, percentile_cont %.1f ms, ratio %.2f\n", w, best[0], best[1], best[1] / best[0] }'
done
SH
export REPEAT=$repeat QVPG_TIMEOUT=1800
exec sql/postgres/throwaway.sh "$("$pg_config" --bindir)" "$build" bash "$script"

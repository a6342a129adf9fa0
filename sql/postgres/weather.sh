#!/usr/bin/env bash
# Loads examples/weather.csv into a throwaway PostgreSQL server with the extension and summarises
# it: one row per station, then the 3-day moving median of the noon temperature.
#   sql/postgres/weather.sh [BUILD_DIR]        (default: build; exit 77 when no server can start)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
[ -f "$build/postgres/qvewumth_pg.so" ] || { echo "no $build/postgres/qvewumth_pg.so: build the qvewumth_pg target first" >&2; exit 1; }
pg_config=$(sed -n 's/^QV_PG_CONFIG:FILEPATH=//p' "$build/CMakeCache.txt")
exec sql/postgres/throwaway.sh "$("${pg_config:-pg_config}" --bindir)" "$build" \
    psql -X -q -v ON_ERROR_STOP=1 <<SQL
CREATE EXTENSION qvewumth;
CREATE TABLE cells(station text, date date, t06 text, t12 text, t18 text, rain_mm text);
\copy cells FROM '$PWD/examples/weather.csv' WITH (FORMAT csv, HEADER)
-- An empty cell or a missing literal such as .M is missing: NULL in a float8 column.
CREATE TABLE weather AS
SELECT station, date, CASE WHEN qv_missing(t06) = 0 THEN t06::float8 END AS t06,
       CASE WHEN qv_missing(t12) = 0 THEN t12::float8 END AS t12,
       CASE WHEN qv_missing(t18) = 0 THEN t18::float8 END AS t18,
       CASE WHEN qv_missing(rain_mm) = 0 THEN rain_mm::float8 END AS rain_mm
FROM cells;
SELECT station, qv_n(t12) AS days, qv_nmiss(t12) AS missing,
       qv_round(qv_mean(t12), 0.01) AS mean_t12, qv_median(t12) AS median_t12,
       qv_pctl(90, t12) AS p90_t12, qv_round(qv_std(t12), 0.01) AS std_t12,
       qv_min(t06) AS low_t06, qv_max(t18) AS high_t18, qv_round(qv_sum(rain_mm), 0.1) AS rain_mm
FROM weather GROUP BY station ORDER BY station;
SELECT station, date, t12, qv_round(qv_mean(t06, t12, t18), 0.1) AS mean_of_day,
       qv_median(t12) OVER (PARTITION BY station ORDER BY date
                            RANGE BETWEEN '2 days' PRECEDING AND CURRENT ROW) AS median_3_days
FROM weather ORDER BY station, date;
SQL

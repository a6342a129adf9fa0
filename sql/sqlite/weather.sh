#!/usr/bin/env bash
# Loads examples/weather.csv into an in-memory SQLite database and summarises it through the
# extension: one row per station, then the 3-day moving median of the noon temperature.
#   sql/sqlite/weather.sh [BUILD_DIR]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
[ -f "$build/libqvsqlite.so" ] || { echo "no $build/libqvsqlite.so: build the qvsqlite target first" >&2; exit 1; }
sqlite3 -bail :memory: <<SQL
.load $build/libqvsqlite
CREATE TABLE weather(station TEXT, date TEXT, t06 REAL, t12 REAL, t18 REAL, rain_mm REAL);
.import --csv --skip 1 examples/weather.csv weather
-- An empty cell arrives as '': it is the missing value NULL. '.M' stays the missing value .M.
UPDATE weather SET t06 = nullif(t06, ''), t12 = nullif(t12, ''), t18 = nullif(t18, ''),
                   rain_mm = nullif(rain_mm, '');
.mode table
SELECT station, qv_n(t12) AS days, qv_nmiss(t12) AS missing,
       qv_round(qv_mean(t12), 0.01) AS mean_t12, qv_median(t12) AS median_t12,
       qv_pctl(90, t12) AS p90_t12, qv_round(qv_std(t12), 0.01) AS std_t12,
       qv_min(t06) AS low_t06, qv_max(t18) AS high_t18, qv_round(qv_sum(rain_mm), 0.1) AS rain_mm
FROM weather GROUP BY station ORDER BY station;
SELECT station, date, t12,
       qv_median(t12) OVER (PARTITION BY station ORDER BY julianday(date)
                            RANGE BETWEEN 2 PRECEDING AND CURRENT ROW) AS median_3_days
FROM weather ORDER BY station, date;
SQL

#!/usr/bin/env bash
# The SQLite extension against SQLite's own SQL in the same run, on 10^6 rows of one REAL column
# (random order, then sorted): qv_median and qv_pctl over the whole table and over 1000 groups
# against avg() (the cost of the scan) and against the plain-SQL median (ORDER BY x LIMIT 1
# OFFSET n/2, per group with row_number()); row-wise qv_mean(a, b, c) against (a + b + c) / 3.0;
# a sliding median and mean over 101 rows against avg() over the same frame (SQLite's own window);
# peak memory of a whole-table median beyond that of avg(), per row, as the process's resident
# memory and as SQLite's count of its heap. Times are the best of $REPEAT runs (default 5), the
# queries of a comparison taking turns.
#   bench/sqlite_bench.sh [BUILD_DIR]        (default: build)
#   bench/sqlite_bench.sh BUILD_DIR --cases FILE   (bench/matrix.py's SQLite part)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
ext="$build/libqvsqlite"
data="$build/bench-data"
db="$data/sqlite-bench.db"
rows=1000000
repeat=${REPEAT:-5}
[ -f "$ext.so" ] || { echo "no $ext.so: build the qvsqlite target first" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
# Runs the queries round-robin $repeat times in one shell, so that load on the machine falls on
# all of them alike, and prints the best real time of each, in seconds, on one line.
best_of() {
    { echo ".load $ext"; echo ".timer on"; echo ".output /dev/null"
      for _ in $(seq "$repeat"); do for q in "$@"; do echo "$q;"; done; done; } |
        sqlite3 "$db" 2>&1 | awk -v n=$# '/^Run Time:/ { i = k++ % n; if (!(i in best) || $4 < best[i]) best[i] = $4 }
                                          /rror/ { print > "/dev/stderr"; exit 1 }
                                          END { for (i = 0; i < n; i++) printf "%s ", best[i]; print "" }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
line() { printf '  %-30s %7.3f s%s\n' "$1" "$2" "${3:-}"; }
against() { line "$1" "$2" "   $(ratio "$2" "$scan")x the scan, $(ratio "$plain" "$2")x faster than plain SQL"; }

# bench/matrix.py's SQLite part: a database made by the file's setup statements, then each case's
# query and its peer's taking turns, one JSON line a case, the best real times in ms.
if [ "${2:-}" = --cases ]; then
    db="$data/matrix.db"
    mkdir -p "$data"
    rm -f "$db"
    jq -r '.setup[] + ";"' "$3" | sqlite3 "$db"
    jq -c --argjson r "$(jq .repeat "$3")" '.cases[] | .repeat //= $r' "$3" | while read -r c; do
        repeat=$(jq .repeat <<<"$c")
        mapfile -t queries < <(jq -r '.ours, (.peer_sql // empty)' <<<"$c")
        jq -c --arg t "$(best_of "${queries[@]}")" '($t | split(" ") | map(select(. != "") | tonumber * 1000)) as $ms
            | {family, function, peer, ours_ms: $ms[0], peer_ms: $ms[1]}' <<<"$c"
    done
    exit
fi

mkdir -p "$data"
if [ ! -s "$db" ]; then
    rm -f "$db.tmp"
    sqlite3 "$db.tmp" <<SQL
CREATE TABLE r(g INTEGER, x REAL);
INSERT INTO r SELECT abs(random() % 1000), (random() / 9223372036854775808.0 + 1) * 500 FROM generate_series(1, $rows);
CREATE TABLE s(g INTEGER, x REAL);
INSERT INTO s SELECT g, x FROM r ORDER BY x;
CREATE TABLE abc(a REAL, b REAL, c REAL);
INSERT INTO abc SELECT random() / 1e15, random() / 1e15, random() / 1e15 FROM generate_series(1, $rows);
SQL
    mv "$db.tmp" "$db"
fi


half=$((rows / 2))
for table in r s; do
    [ "$table" = r ] && echo "== $rows rows, random order" || echo "== $rows rows, sorted"
    read -r scan plain median pctl < <(best_of "SELECT avg(x) FROM $table" \
        "SELECT x FROM $table ORDER BY x LIMIT 1 OFFSET $half" "SELECT qv_median(x) FROM $table" "SELECT qv_pctl(90, x) FROM $table")
    line "avg(x)" "$scan"
    line "plain-SQL median" "$plain"
    against "qv_median(x)" "$median"
    against "qv_pctl(90, x)" "$pctl"
    read -r scan plain median pctl < <(best_of "SELECT g, avg(x) FROM $table GROUP BY g" \
        "SELECT g, x FROM (SELECT g, x, row_number() OVER (PARTITION BY g ORDER BY x) AS k,
         count(*) OVER (PARTITION BY g) AS n FROM $table) WHERE k = n / 2 + 1" \
        "SELECT g, qv_median(x) FROM $table GROUP BY g" "SELECT g, qv_pctl(90, x) FROM $table GROUP BY g")
    line "1000 groups: avg(x)" "$scan"
    line "1000 groups: plain-SQL median" "$plain"
    against "1000 groups: qv_median(x)" "$median"
    against "1000 groups: qv_pctl(90, x)" "$pctl"
done

echo "== row-wise, $rows rows"
read -r plain mean < <(best_of "SELECT max((a + b + c) / 3.0) FROM abc" "SELECT max(qv_mean(a, b, c)) FROM abc")
line "max((a + b + c) / 3.0)" "$plain"
line "max(qv_mean(a, b, c))" "$mean" "   $(ratio "$mean" "$plain")x the plain expression"

echo "== sliding window of 101 rows, $rows rows"
frame="OVER (ORDER BY rowid ROWS 100 PRECEDING)"
read -r avg median mean < <(best_of "SELECT max(m) FROM (SELECT avg(x) $frame m FROM r)" \
    "SELECT max(m) FROM (SELECT qv_median(x) $frame m FROM r)" "SELECT max(m) FROM (SELECT qv_mean(x) $frame m FROM r)")
line "avg(x) over the frame" "$avg"
line "qv_median(x) over the frame" "$median" "   $(ratio "$median" "$avg")x avg()'s window"
line "qv_mean(x) over the frame" "$mean" "   $(ratio "$mean" "$avg")x avg()'s window"

echo "== peak memory beyond avg(x), per row"
peak() { /usr/bin/time -f %M sqlite3 "$db" ".load $ext" "$1" 2>&1 >/dev/null | tail -1; }
for table in r s; do
    base=$(peak "SELECT avg(x) FROM $table")
    med=$(peak "SELECT qv_median(x) FROM $table")
    printf '  %-30s %7d KiB, %.1f bytes per row\n' "qv_median(x) FROM $table" "$med" \
        "$(awk -v m="$med" -v b="$base" -v n="$rows" 'BEGIN { print (m - b) * 1024 / n }')"
done

# The extension's memory is SQLite's heap, so SQLite's own high-water mark (.stats) counts it.
echo "== SQLite's heap at its peak beyond avg(x), per row"
heap() { sqlite3 "$db" ".load $ext" ".stats on" "$1" 2>&1 | awk '/^Memory Used:/ { gsub(/[()]/, ""); print $5 }'; }
for table in r s; do
    base=$(heap "SELECT avg(x) FROM $table")
    med=$(heap "SELECT qv_median(x) FROM $table")
    printf '  %-30s %7d KiB, %.1f bytes per row\n' "qv_median(x) FROM $table" "$((med / 1024))" \
        "$(awk -v m="$med" -v b="$base" -v n="$rows" 'BEGIN { print (m - b) / n }')"
done

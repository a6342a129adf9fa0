#!/usr/bin/env bash
# Rows per second of qvfnc on a generated 10-column CSV, computing MEAN and PCTL(90) of the ten
# columns, beside awk computing the plain mean of the same columns on the same file, and peak
# memory of qvfnc at 10^5 and 10^6 rows.
#   bench/csv_bench.sh [BUILD_DIR]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
qvfnc="$build/qvfnc"
data="$build/bench-data"
mkdir -p "$data"
[ -x "$qvfnc" ] || { echo "no $qvfnc: build first" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

generate() {  # rows file
    [ -s "$2" ] && return
    awk -v rows="$1" 'BEGIN {
        srand(20261205)
        print "c1,c2,c3,c4,c5,c6,c7,c8,c9,c10"
        for (r = 0; r < rows; r++) {
            line = ""
            for (c = 1; c <= 10; c++) {
                x = rand() < 0.02 ? "" : sprintf("%.3f", rand() * 200 - 50)
                line = line (c > 1 ? "," : "") x
            }
            print line
        }
    }' > "$2.tmp" && mv "$2.tmp" "$2"
}

cols="c1, c2, c3, c4, c5, c6, c7, c8, c9, c10"
best_of_3() {  # command...; prints "seconds peak_kb" of the fastest run
    local best="" line
    for _ in 1 2 3; do
        line=$(/usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -1)
        if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then best=$line; fi
    done
    echo "$best"
}
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }'; }

have_functions=yes
"$qvfnc" 'MEAN(1, 2)' 'PCTL(90, 1, 2)' >/dev/null 2>&1 || have_functions=no

for rows in 100000 1000000; do
    file="$data/c10x$rows.csv"
    generate "$rows" "$file"
    read -r a_sec a_kb < <(best_of_3 awk -F, 'NR > 1 { s = 0; n = 0
        for (i = 1; i <= 10; i++) if ($i != "") { s += $i; n++ }
        print $0 "," (n ? s / n : ".") } NR == 1 { print $0 ",m" }' "$file")
    printf '%8d rows  awk mean            %6.2f s  %10s rows/s  peak %6d KiB\n' "$rows" "$a_sec" "$(rate "$rows" "$a_sec")" "$a_kb"
    if [ "$have_functions" = yes ]; then
        read -r q_sec q_kb < <(best_of_3 "$qvfnc" --csv "$file" "m=MEAN($cols)" "p=PCTL(90, $cols)")
        printf '%8d rows  qvfnc MEAN + PCTL   %6.2f s  %10s rows/s  peak %6d KiB\n' "$rows" "$q_sec" "$(rate "$rows" "$q_sec")" "$q_kb"
    else
        echo "qvfnc: MEAN or PCTL is not in this package yet; only awk was timed" >&2
    fi
done

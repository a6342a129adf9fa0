#!/usr/bin/env bash
# qvfnc on an analyst's jobs beside Miller (mlr) and GNU datamash, in the same run on the same
# generated table (ROWS rows: a group column of 1000 values and 10 numeric columns with 5% empty
# cells): wall time and peak memory of the fastest of three runs, and the ratios to qvfnc. Then
# the cost of --out (temporary file, flush to disk, rename) against standard output redirected
# to a file in the same folder.
#   bench/csv_bench.sh [BUILD_DIR] [ROWS]        (defaults: build, 1000000)
#   bench/csv_bench.sh BUILD_DIR --cases FILE   (bench/matrix.py's part for the command line: each
#     case's command and its peer's, shell commands, one JSON line a case, the fastest runs in ms)
# Miller and datamash come from Debian's packages miller and datamash; the script installs them
# (and GNU time) when they are missing and it may.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rows=${2:-1000000}
qvfnc="$build/qvfnc"
data="$build/bench-data"
mkdir -p "$data"
[ -x "$qvfnc" ] || { echo "no $qvfnc: build first" >&2; exit 1; }

need=()
command -v mlr >/dev/null || need+=(miller)
command -v datamash >/dev/null || need+=(datamash)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}" >&2
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get install -y -qq "${need[@]}" >/dev/null 2>&1 ||
        { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq "${need[@]}" >/dev/null; }
fi

# best COMMAND...: "seconds peak_kib" of the fastest of three runs, output to /dev/null.
best() {
    local t out b=""
    t=$(mktemp)
    for _ in 1 2 3; do
        /usr/bin/time -o "$t" -f "%e %M" "$@" >/dev/null 2>"$t.err" || { echo "failed: $* $(tail -1 "$t.err")" >&2; exit 1; }
        out=$(tail -1 "$t")
        if [ -z "$b" ] || awk -v a="${out%% *}" -v b="${b%% *}" 'BEGIN { exit !(a < b) }'; then b=$out; fi
    done
    rm -f "$t" "$t.err"
    echo "$b"
}
if [ "${2:-}" = --cases ]; then
    jq -c '.cases[]' "$3" | while read -r c; do
        read -r ours _ < <(best sh -c "$(jq -r .ours <<<"$c")")
        read -r peer _ < <(best sh -c "$(jq -r .peer_sql <<<"$c")")
        jq -c --argjson a "$ours" --argjson b "$peer" '{family, function, peer, ours_ms: ($a * 1000), peer_ms: ($b * 1000)}' <<<"$c"
    done
    exit
fi

report() {  # JOB TOOL SECONDS KIB BASE_SECONDS BASE_KIB
    awk -v job="$1" -v tool="$2" -v s="$3" -v k="$4" -v bs="$5" -v bk="$6" 'BEGIN {
        printf "%-34s %-9s %7.2f s %8.1f MiB   time x%-6.2f memory x%.2f\n", job, tool, s, k / 1024, s / bs, k / bk }'
}

table="$data/g1000x$rows.csv"
if [ ! -s "$table" ]; then
    awk -v rows="$rows" 'BEGIN {
        srand(20261205)
        printf "g"
        for (c = 1; c <= 10; c++) printf ",c%d", c
        print ""
        for (r = 0; r < rows; r++) {
            line = "g" int(rand() * 1000)
            for (c = 1; c <= 10; c++) line = line "," (rand() < 0.05 ? "" : sprintf("%.3f", rand() * 200 - 50))
            print line
        }
    }' >"$table.tmp" && mv "$table.tmp" "$table"
fi
# datamash reads no empty cells: the same table with NA in them.
na_table="$data/g1000x$rows-na.csv"
[ -s "$na_table" ] || sed -e 's/,,/,NA,/g; s/,,/,NA,/g; s/,$/,NA/' "$table" >"$na_table"

cols="c1, c2, c3, c4, c5, c6, c7, c8, c9, c10"
mlr_stats='n = 0; s = 0; h = 0;
    for (k, v in $*) { if (k != "g" && is_numeric(v)) { n += 1; s += v; if (n == 1 || v > h) { h = v } } }
    $mean = n > 0 ? s / n : ""; $high = n > 0 ? h : ""; $n = n'
mlr_p90='a = [];
    for (k, v in $*) { if (k != "g" && is_numeric(v)) { a = append(a, v) } }
    a = sort(a); n = length(a); np = n * 0.9; j = int(np);
    if (n == 0) { $p90 = "" } elif (np > j) { $p90 = a[j + 1] } else { $p90 = (a[j] + a[j + 1]) / 2 }'

echo "$rows rows x 10 numeric columns (5% empty) and a group column of 1000 values; fastest of 3 runs"
read -r qs qk < <(best "$qvfnc" --csv "$table" "mean=MEAN($cols)" "high=MAX($cols)" "n=N($cols)")
report "per row: mean, max, count" qvfnc "$qs" "$qk" "$qs" "$qk"
read -r ms mk < <(best mlr --icsv --ocsv put "$mlr_stats" "$table")
report "per row: mean, max, count" mlr "$ms" "$mk" "$qs" "$qk"

read -r qs qk < <(best "$qvfnc" --csv "$table" "p90=PCTL(90, $cols)")
report "per row: 90th percentile" qvfnc "$qs" "$qk" "$qs" "$qk"
read -r ms mk < <(best mlr --icsv --ocsv put "$mlr_p90" "$table")
report "per row: 90th percentile" mlr "$ms" "$mk" "$qs" "$qk"

read -r qs qk < <(best "$qvfnc" --csv "$table" --by g 'med=MEDIAN(c3)' 'p90=PCTL(90, c3)' 'sd=STD(c3)')
report "by g: median, p90, std of c3" qvfnc "$qs" "$qk" "$qs" "$qk"
read -r ms mk < <(best mlr --icsv --ocsv stats1 -a median,p90,stddev -f c3 -g g "$table")
report "by g: median, p90, std of c3" mlr "$ms" "$mk" "$qs" "$qk"
# datamash reads standard input only.
read -r ds dk < <(best sh -c 'datamash -s -t, --header-in --narm -g 1 median 4 perc:90 4 sstdev 4 < "$1"' _ "$na_table")
report "by g: median, p90, std of c3" datamash "$ds" "$dk" "$qs" "$qk"
# What the summary holds beyond the program itself, per value of c3.
head -2 "$table" >"$data/one-row.csv"
read -r _ base < <(best "$qvfnc" --csv "$data/one-row.csv" --by g 'med=MEDIAN(c3)' 'p90=PCTL(90, c3)' 'sd=STD(c3)')
awk -v k="$qk" -v b="$base" -v n="$rows" 'BEGIN { printf "by g: %.1f bytes of memory per value of c3 beyond the %.1f MiB of a one-row run\n", (k - b) * 1024 / n, b / 1024 }'

# --out against standard output, interleaved so that both see the same machine. Both replace
# the same earlier table, and the time of each includes releasing it: the shell's truncation for
# standard output, the rename for --out.
out="$data/out.csv"
job=(--csv "$table" "mean=MEAN($cols)" "high=MAX($cols)" "n=N($cols)")
"$qvfnc" "${job[@]}" >"$out"
s_best="" o_best=""
for _ in 1 2 3 4 5 6 7; do
    /usr/bin/time -o "$data/t" -f "%e" sh -c '"$@" > "$0"' "$out" "$qvfnc" "${job[@]}"
    s=$(tail -1 "$data/t")
    /usr/bin/time -o "$data/t" -f "%e" "$qvfnc" "${job[@]}" --out "$out"
    o=$(tail -1 "$data/t")
    if [ -z "$s_best" ] || awk -v a="$s" -v b="$s_best" 'BEGIN { exit !(a < b) }'; then s_best=$s; fi
    if [ -z "$o_best" ] || awk -v a="$o" -v b="$o_best" 'BEGIN { exit !(a < b) }'; then o_best=$o; fi
done
rm -f "$out"
awk -v s="$s_best" -v o="$o_best" 'BEGIN { printf "--out: %.2f s against %.2f s to standard output (a file in the same folder): %+.1f%%\n", o, s, (o / s - 1) * 100 }'

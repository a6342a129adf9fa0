#!/usr/bin/env bash
# The limits of qvfnc's tables: a field of 1 GB, a field of 100 MB passed through, a line of 10^6
# columns, a group of 10^7 rows. Each works in memory proportional to its input or stops with one
# line that names the limit; nothing crashes or runs out of memory. (The limits of one expression
# are in qvfnc_expr_test.)
#   tests/qvfnc_limits_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
qvfnc="$build/qvfnc"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

sanitized() { grep -q '^QV_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; }
# capped KB COMMAND...: runs the command with at most KB of address space. The sanitized build
# reserves its shadow memory up front, so there the ceiling is left out.
capped() {
    local kb=$1
    shift
    if sanitized; then "$@"; else (ulimit -v "$kb"; exec "$@"); fi
}
# one_line NAME STATUS PATTERN: the run ended with STATUS and one error line matching PATTERN.
one_line() {
    [ "$2" = 1 ] && [ "$(wc -l <"$tmp/err")" = 1 ] && grep -q "$3" "$tmp/err" ||
        fail "$1: status $2, stderr: $(head -c 300 "$tmp/err")"
}
bytes() { head -c "$1" /dev/zero | tr '\0' x; }

# A record longer than the reader holds: stopped at 256 MiB, not read to the end.
{ echo s; bytes 1073741824; echo; } | capped 1000000 "$qvfnc" --csv - 'n=N(1)' >"$tmp/out" 2>"$tmp/err"
one_line "1 GB field" "${PIPESTATUS[1]}" '^qvfnc: standard input: the record starting at line 2 is longer than 268435456 bytes, the longest record qvfnc reads$'

# A 100 MB field passes through untouched when no expression reads it.
{ echo 'a,s'; printf '1,"'; bytes 100000000; echo '"'; } | capped 1500000 "$qvfnc" --csv - 'b=a+1' >"$tmp/out" 2>"$tmp/err"
[ "${PIPESTATUS[1]}" = 0 ] && [ "$(wc -c <"$tmp/out")" = $((6 + 100000007)) ] && [ "$(tail -c 4 "$tmp/out")" = '",2' ] ||
    fail "100 MB field passed through: $(wc -c <"$tmp/out") bytes, $(head -c 300 "$tmp/err")"

# A line of 10^6 columns.
awk 'BEGIN { for (i = 1; i <= 1000000; i++) printf "%sc%d", (i > 1 ? "," : ""), i; print ""
             for (i = 1; i <= 1000000; i++) printf "%s%d", (i > 1 ? "," : ""), i; print "" }' >"$tmp/wide.csv"
capped 1000000 "$qvfnc" --csv "$tmp/wide.csv" --keep x 'x=c999998 + 1' >"$tmp/out" 2>"$tmp/err"
[ $? = 0 ] && [ "$(cat "$tmp/out")" = $'x\n999999' ] || fail "10^6 columns: $(head -c 300 "$tmp/out") $(head -c 300 "$tmp/err")"
capped 1000000 "$qvfnc" --csv "$tmp/wide.csv" 'x=c1 + c1000000' >"$tmp/out" 2>"$tmp/err"
[ $? = 0 ] && [ "$(tail -1 "$tmp/out" | cut -d, -f1000001)" = 1000001 ] || fail "10^6 columns, whole rows: $(head -c 300 "$tmp/err")"

# A group of 10^7 rows: two kept argument lists of 80 MB each, and one-pass statistics. The
# sanitized build has no memory ceiling to check; it looks for memory errors, which lists of
# 10^6 rows (8 MB each) meet in the same code at a tenth of the time.
rows=10000000 want=$'g,n,m,p,s\na,1e+07,1.5,3,1.5e+07'
sanitized && rows=1000000 want=$'g,n,m,p,s\na,1e+06,1.5,3,1500000'
{ echo g,x; yes 'a,1.5' | head -n "$rows"; } |
    capped 2000000 "$qvfnc" --csv - --by g 'n=N(x)' 'm=MEDIAN(x)' 'p=PCTL(90, x * 2)' 's=SUM(x)' >"$tmp/out" 2>"$tmp/err"
[ "${PIPESTATUS[1]}" = 0 ] && [ "$(cat "$tmp/out")" = "$want" ] ||
    fail "$rows-row group: $(cat "$tmp/out") $(head -c 300 "$tmp/err")"

[ "$failures" = 0 ] && echo "all qvfnc limit checks passed"
exit $((failures > 0))

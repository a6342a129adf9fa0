#!/usr/bin/env bash
# The limits of qvfnc: a field of 1 GB, a character value of 100 MB, a line of 10^6 columns, a
# group of 10^7 rows, expressions nested 20000 and 10^6 deep (the latter 5 MB long). Each works in memory proportional
# to its input or stops with one line that names the limit; nothing crashes or runs out of memory.
#   tests/qvfnc_limits_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
qvfnc="$build/qvfnc"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# capped KB COMMAND...: runs the command with at most KB of address space. The sanitized build
# reserves its shadow memory up front, so there the ceiling is left out.
capped() {
    local kb=$1
    shift
    if grep -q '^QV_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then "$@"; else (ulimit -v "$kb"; exec "$@"); fi
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

# A character value the package cannot hold: the limit and the row, never a silent cut.
{ echo s; bytes 100000000; echo; } | capped 1500000 "$qvfnc" --csv - 'c=COALESCEC(s)' >"$tmp/out" 2>"$tmp/err"
one_line "100 MB character value" "${PIPESTATUS[1]}" \
    '^qvfnc: standard input: line 2: expression 1: COALESCEC: argument 1 holds 100000000 characters; a character value holds at most 65535$'

# A line of 10^6 columns.
awk 'BEGIN { for (i = 1; i <= 1000000; i++) printf "%sc%d", (i > 1 ? "," : ""), i; print ""
             for (i = 1; i <= 1000000; i++) printf "%s%d", (i > 1 ? "," : ""), i; print "" }' >"$tmp/wide.csv"
capped 1000000 "$qvfnc" --csv "$tmp/wide.csv" --keep x 'x=c999998 + 1' >"$tmp/out" 2>"$tmp/err"
[ $? = 0 ] && [ "$(cat "$tmp/out")" = $'x\n999999' ] || fail "10^6 columns: $(head -c 300 "$tmp/out") $(head -c 300 "$tmp/err")"
capped 1000000 "$qvfnc" --csv "$tmp/wide.csv" 'x=c1 + c1000000' >"$tmp/out" 2>"$tmp/err"
[ $? = 0 ] && [ "$(tail -1 "$tmp/out" | cut -d, -f1000001)" = 1000001 ] || fail "10^6 columns, whole rows: $(head -c 300 "$tmp/err")"

# A group of 10^7 rows: two kept argument lists of 80 MB each, and one-pass statistics.
{ echo g,x; yes 'a,1.5' | head -n 10000000; } |
    capped 2000000 "$qvfnc" --csv - --by g 'n=N(x)' 'm=MEDIAN(x)' 'p=PCTL(90, x * 2)' 's=SUM(x)' >"$tmp/out" 2>"$tmp/err"
[ "${PIPESTATUS[1]}" = 0 ] && [ "$(cat "$tmp/out")" = $'g,n,m,p,s\na,1e+07,1.5,3,1.5e+07' ] ||
    fail "10^7-row group: $(cat "$tmp/out") $(head -c 300 "$tmp/err")"

# Nesting: beyond the limit one line names it, in line mode the next line still runs, and no
# depth of input can exhaust the stack.
nest() { awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "ABS("; printf "-1"; for (i = 0; i < n; i++) printf ")"; print "" }'; }
{ nest 20000; echo 'SQRT(4)'; nest 9999; } | "$qvfnc" >"$tmp/out" 2>"$tmp/err"
one_line "20000 nested calls" $? '^qvfnc: syntax error at character 40001 of line 1: expression nested deeper than 10000 levels$'
[ "$(cat "$tmp/out")" = $'2\n1' ] || fail "20000 nested calls: the later lines gave $(cat "$tmp/out")"
nest 1000000 | "$qvfnc" >"$tmp/out" 2>"$tmp/err"
one_line "10^6 nested calls" $? '^qvfnc: syntax error at character 1 of line 1: the expression has 5000002 bytes; one holds at most 1048576$'
printf 'a\n1\n' | "$qvfnc" --csv - "x=$(nest 10001)" >"$tmp/out" 2>"$tmp/err"
one_line "nested assignment" $? '^qvfnc: syntax error at character 40003 of expression 1: expression nested deeper than 10000 levels$'

[ "$failures" = 0 ] && echo "all qvfnc limit checks passed"
exit $((failures > 0))

#!/usr/bin/env bash
# qvfnc from the command line: results, line mode, tables, options, and one line on standard
# error with a non-zero exit status for every kind of error.
#   tests/qvfnc_cli_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
qvfnc="$build/qvfnc"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# expect NAME WANT_STATUS WANT_STDOUT WANT_STDERR -- command...
expect() {
    local name=$1 want_status=$2 want_out=$3 want_err=$4
    shift 5
    "$@" >"$tmp/out" 2>"$tmp/err"
    local status=$?
    if [ "$status" != "$want_status" ] || [ "$(cat "$tmp/out")" != "$want_out" ] || [ "$(cat "$tmp/err")" != "$want_err" ]; then
        echo "FAIL $name: status $status (want $want_status)"
        echo "  stdout: $(cat "$tmp/out")"; echo "  want:   $want_out"
        echo "  stderr: $(cat "$tmp/err")"; echo "  want:   $want_err"
        failures=$((failures + 1))
    fi
}

expect results 0 $'0.4636476090008061\n.  (invalid argument in EXP)\n2\n\'a\'\'b\'\n.  (missing argument in ABS)\n._\n.Q' \
    '' -- "$qvfnc" 'atan2(1, 2)' 'EXP(710)' 'ABS(SQRT(4))' "'a''b'" 'ABS(.)' '._' '.q'

# Each error is one line on standard error; the other expressions still run.
expect errors 1 $'1\n3' "qvfnc: unknown function SQRR at column 1 (did you mean SQRT?)
qvfnc: ATAN2 takes 2 arguments, got 1 (column 1): ATAN2(y, x): arc tangent of y/x in the right quadrant
qvfnc: ABS: argument 1 (column 5) must be numeric, not a character value
qvfnc: syntax error at column 9: ',' or ')' expected
qvfnc: unterminated string starting at column 5
qvfnc: unknown name x at column 5 (names stand for the columns of a --csv table)" -- \
    "$qvfnc" 'SQRR(4)' 'ATAN2(1)' "ABS('x')" 'ABS(1.5 2)' 'ABS(1)' "ABS('x" 'ABS(x)' 'LOG2(8)'

printf '# comment line\nABS(-1)  # trailing comment\n\nABS(\nSQRT(9)\n' >"$tmp/lines"
expect line-mode 1 $'1\n3' 'qvfnc: syntax error at column 5: expression expected, found end of input' -- \
    sh -c '"$1" < "$2"' _ "$qvfnc" "$tmp/lines"

# Tables.
expect csv 0 '' '' -- "$qvfnc" --csv "$src/examples/weather.csv" --out "$tmp/table.csv" 'r=SQRT(rain_mm)'
[ "$(wc -l <"$tmp/table.csv")" = 31 ] && [ "$(head -1 "$tmp/table.csv")" = 'station,date,t06,t12,t18,rain_mm,r' ] &&
    [ "$(sed -n 2p "$tmp/table.csv")" = 'Harbour,2026-03-01,3.3,7.0,6.9,3.2,1.7888543819998317' ] ||
    { echo "FAIL csv: table written to --out"; failures=$((failures + 1)); }
printf 'a,b\r\n4,"x"\r\n,y\r\n' >"$tmp/small.csv"
expect csv-stdin 0 $'a,b,r\n4,"x",2\n,y,.' 'qvfnc: note: r: missing argument in SQRT on 1 row (first on line 3)' -- \
    sh -c '"$1" --csv - "r=SQRT(a)" < "$2"' _ "$qvfnc" "$tmp/small.csv"
expect csv-column 1 '' 'qvfnc: r: unknown column name rain at column 6 (did you mean rain_mm?)' -- \
    "$qvfnc" --csv "$src/examples/weather.csv" 'r=SQRT(rain)'
expect csv-file 1 '' "qvfnc: cannot read $tmp/none.csv: No such file or directory" -- "$qvfnc" --csv "$tmp/none.csv" 'r=ABS(a)'

# The main job as the README shows it: every row it shows is a row of the real output.
"$qvfnc" --csv "$src/examples/weather.csv" 'mean=MEAN(t06, t12, t18)' 'high=MAX(t06, t12, t18)' \
    'n=N(t06, t12, t18)' >"$tmp/main.csv"
shown=$(sed -n '/^    station,date/,/^$/p' "$src/README.md" | sed -n 's/^    \([A-Za-z].*\)/\1/p')
[ -n "$shown" ] && [ "$(grep -cxFf <(echo "$shown") "$tmp/main.csv")" = "$(wc -l <<<"$shown")" ] ||
    { echo "FAIL readme: the rows shown are not what the main job gives"; failures=$((failures + 1)); }

# Options.
expect bad-option 2 '' 'qvfnc: unknown option --frobnicate (see qvfnc --help)' -- "$qvfnc" --frobnicate
expect no-assignment 2 '' 'qvfnc: --csv needs at least one NAME=EXPRESSION (see qvfnc --help)' -- "$qvfnc" --csv x.csv
expect no-library 2 '' "qvfnc: cannot load $tmp/none.so: No such file or directory" -- \
    "$qvfnc" --lib "$tmp/none.so" 'ABS(1)'
# Whole outputs first: grep -q stops reading early, which would break the pipe.
help=$("$qvfnc" --help) version=$("$qvfnc" --version) list=$("$qvfnc" --list)
grep -q '^examples:' <<<"$help" || { echo "FAIL help: no examples"; failures=$((failures + 1)); }
grep -q '^package  .*libqvewumth.so' <<<"$version" || { echo "FAIL version"; failures=$((failures + 1)); }
[ "$(wc -l <<<"$list")" = 76 ] && grep -q '^ATAN2(y, x) *arc tangent' <<<"$list" ||
    { echo "FAIL list"; failures=$((failures + 1)); }

[ "$failures" = 0 ] && echo "all qvfnc command-line checks passed"
exit $((failures > 0))

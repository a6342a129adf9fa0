#!/usr/bin/env bash
# qvfnc from the command line: line mode, tables and -f files, options, the package refused, exit
# statuses, and --out never losing the file it replaces.
#   tests/qvfnc_cli_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
qvfnc="$build/qvfnc" weather="$src/examples/weather.csv"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# expect NAME WANT_STATUS WANT_STDOUT WANT_STDERR -- command...
expect() {
    local name=$1 want_status=$2 want_out=$3 want_err=$4
    shift 5
    "$@" >"$tmp/out" 2>"$tmp/err"
    local status=$?
    if [ "$status" != "$want_status" ] || [ "$(cat "$tmp/out")" != "$want_out" ] || [ "$(cat "$tmp/err")" != "$want_err" ]; then
        fail "$name: status $status (want $want_status)"
        echo "  stdout: $(cat "$tmp/out")"; echo "  want:   $want_out"
        echo "  stderr: $(cat "$tmp/err")"; echo "  want:   $want_err"
    fi
}

# Line mode: comments and blank lines skipped, each error one line, the later lines still run.
printf '# comment line\nABS(-2)  # trailing comment\n\nNOSUCH(1)\nABS(\nLOG2(8)\n' >"$tmp/lines"
expect line-mode 1 $'2\n3' 'qvfnc: unknown function NOSUCH at character 1 of line 4
qvfnc: syntax error at character 5 of line 5: expression expected, found end of input' -- \
    sh -c '"$1" < "$2"' _ "$qvfnc" "$tmp/lines"
expect arguments 1 $'1\n3' "qvfnc: ABS: argument 1 must be a number, not a character value (character 5 of expression 2)" -- \
    "$qvfnc" 'ABS(1)' "ABS('x')" 'LOG2(8)'
expect strict-lines 3 $'2\n.  (not a number in KURTOSIS)' '' -- "$qvfnc" --strict 'SQRT(4)' 'KURTOSIS(1, 2, 3, 1e155)'
expect digits 0 $'0.333\nNA' '' -- "$qvfnc" --digits 3 --missing NA '1 / 3' '.B'

# Tables.
printf 'a,b\r\n4,"x"\r\n,y\r\n' >"$tmp/small.csv"
expect csv-strict 3 $'a,b,r\n4,"x",2\n,y,.' 'qvfnc: note: r: missing argument in SQRT on 1 row (first on line 3)' -- \
    sh -c '"$1" --strict --csv - "r=SQRT(a)" < "$2"' _ "$qvfnc" "$tmp/small.csv"
expect csv-file 1 '' "qvfnc: cannot read $tmp/none.csv: No such file or directory" -- "$qvfnc" --csv "$tmp/none.csv" 'r=ABS(a)'
# -f: NAME=EXPRESSION lines with comments and blank lines, in order with the arguments around them.
printf '# the day'"'"'s rise\n\nd = b - a   # degrees\r\n"f"=d * 1.5 # '"'#'"'\n' >"$tmp/defs"
printf 'a,b\n1,5\n2,4\n' >"$tmp/ab.csv"
expect file 0 $'a,b,n,d,f,g\n1,5,1,4,6,7\n2,4,1,2,3,4' '' -- "$qvfnc" --csv "$tmp/ab.csv" 'n=1' -f "$tmp/defs" 'g=f+n'
printf 'a=1\n\nb=ABS(\n' >"$tmp/bad"
expect file-line 1 '' "qvfnc: syntax error at character 7 of line 3 of $tmp/bad: expression expected, found end of input" -- \
    "$qvfnc" --csv "$weather" --file "$tmp/bad"
expect file-missing 1 '' "qvfnc: cannot read $tmp/none: No such file or directory" -- "$qvfnc" --csv "$weather" -f "$tmp/none"
: >"$tmp/empty" && expect file-empty 2 '' 'qvfnc: --csv needs at least one NAME=EXPRESSION (see qvfnc --help)' -- \
    "$qvfnc" --csv "$weather" -f "$tmp/empty"

# The main job as the README shows it: every row it shows is a row of the real output.
"$qvfnc" --csv "$weather" 'mean=MEAN(t06, t12, t18)' 'high=MAX(t06, t12, t18)' 'n=N(t06, t12, t18)' >"$tmp/main.csv"
shown=$(sed -n '/^    station,date/,/^$/p' "$src/README.md" | sed -n 's/^    \([A-Za-z].*\)/\1/p')
[ -n "$shown" ] && [ "$(grep -cxFf <(echo "$shown") "$tmp/main.csv")" = "$(wc -l <<<"$shown")" ] ||
    fail "readme: the rows shown are not what the main job gives"

# Options.
expect bad-option 2 '' 'qvfnc: unknown option --frobnicate (see qvfnc --help)' -- "$qvfnc" --frobnicate
expect no-assignment 2 '' 'qvfnc: --csv needs at least one NAME=EXPRESSION (see qvfnc --help)' -- "$qvfnc" --csv x.csv
expect table-only 2 '' 'qvfnc: -f goes with --csv (see qvfnc --help)' -- "$qvfnc" -f defs --by g 'N(1)'
expect bad-sep 2 '' "qvfnc: --sep takes one character (or tab), not ';;' (see qvfnc --help)" -- "$qvfnc" --sep ';;' --csv x 'a=1'
expect bad-digits 2 '' "qvfnc: --digits takes a number of significant digits from 1 to 17, not '0' (see qvfnc --help)" -- \
    "$qvfnc" --digits=0 '1'
expect flag-value 2 '' 'qvfnc: --tsv takes no value (see qvfnc --help)' -- "$qvfnc" --tsv=1 --csv x 'a=1'
expect value-missing 2 '' 'qvfnc: --out needs a value (see qvfnc --help)' -- "$qvfnc" --csv x --out

# A file that is not the package is refused with one line and status 2.
expect no-library 2 '' "qvfnc: cannot load $tmp/none.so: No such file or directory" -- "$qvfnc" --lib "$tmp/none.so" 'ABS(1)'

# Whole outputs first: grep -q stops reading early, which would break the pipe.
help=$("$qvfnc" -h) version=$("$qvfnc" --version) list=$("$qvfnc" --list)
grep -q '^  -f, --file FILE  ' <<<"$help" && grep -q '^examples:' <<<"$help" || fail "help: $help"
grep -q '^package  .*libqvewumth.so' <<<"$version" || fail "version"
[ "$(sed -n '/^Functions/,/^$/p' <<<"$list" | grep -c '^  [A-Z][A-Z0-9]*(')" = 76 ] && grep -q '^  ATAN2(y, x) *arc tangent' <<<"$list" &&
    grep -q '^  ORDINAL2(k, x1, ...) .*\[not in this package\]' <<<"$list" && grep -q '^  IFN(condition, then, else) ' <<<"$list" ||
    fail "list"
mean=$("$qvfnc" --help mean)
grep -q '^MEAN(x1, ...)$' <<<"$mean" && grep -q 'statuses:  ok, missing argument' <<<"$mean" && grep -q 'fixed size' <<<"$mean" &&
    grep -qx '  source:    package/fnc/qvfncsum.cpp' <<<"$mean" ||
    fail "help MEAN: $mean"
grep -q 'keeping the values' <<<"$("$qvfnc" --help=PCTL)" || fail "help PCTL"
grep -q 'evaluated by qvfnc itself' <<<"$("$qvfnc" --help '**')" || fail "help **"
expect help-unknown 2 '' 'qvfnc: --help: no function or operator AVG (did you mean MEAN?)' -- "$qvfnc" --help AVG

# --progress writes to a terminal only.
awk 'BEGIN { print "a,b"; for (i = 0; i < 200000; i++) print i "," i % 7 }' >"$tmp/big.csv"
expect progress-pipe 0 '' '' -- sh -c '"$1" --progress --csv "$2" "s=a+b" >/dev/null' _ "$qvfnc" "$tmp/big.csv"
if command -v script >/dev/null; then
    script -qec "$qvfnc --progress --csv $tmp/big.csv 's=a+b' >/dev/null" /dev/null >"$tmp/tty" 2>&1
    grep -q 'qvfnc: 200000 rows read, [0-9]* rows/s' "$tmp/tty" || fail "progress on a terminal: $(tr '\r' '\n' <"$tmp/tty" | tail -2)"
fi

# --out: the file read may be the file written; a failing run leaves the old file as it was,
# with no temporary file beside it; the new file keeps the old one's permissions; a symbolic
# link stays a link to the replaced file; a device is written, never replaced.
cp "$weather" "$tmp/w.csv"
chmod 640 "$tmp/w.csv"
expected=$("$qvfnc" --csv "$tmp/w.csv" 's=SUM(t06, t12)')
expect same-path 0 '' '' -- "$qvfnc" --csv "$tmp/w.csv" --out "$tmp/w.csv" 's=SUM(t06, t12)'
[ "$(cat "$tmp/w.csv")" = "$expected" ] && [ "$(stat -c %a "$tmp/w.csv")" = 640 ] || fail "same-path: content or mode"
before=$(cat "$tmp/w.csv")
expect failing-run 1 '' "qvfnc: $tmp/w.csv: line 2: column station: cannot read 'Harbour' as a number (--na Harbour reads it as missing, --lenient any cell that is no number)" -- \
    "$qvfnc" --csv "$tmp/w.csv" --out "$tmp/w.csv" 'x=station + 1'
[ "$(cat "$tmp/w.csv")" = "$before" ] && [ -z "$(ls -A "$tmp" | grep qvfnc-tmp)" ] || fail "failing-run: file changed or temporary left"
ln -s w.csv "$tmp/link.csv"
expect symlink 0 '' '' -- "$qvfnc" --csv "$tmp/w.csv" --out "$tmp/link.csv" 'y=1'
[ -L "$tmp/link.csv" ] && [ "$(head -1 "$tmp/w.csv")" = "station,date,t06,t12,t18,rain_mm,s,y" ] || fail "symlink"
expect dev-null 0 '' '' -- "$qvfnc" --csv "$tmp/w.csv" --out /dev/null 'z=1'
[ -c /dev/null ] || fail "dev-null: /dev/null is no device any more"
mkdir "$tmp/ro" && chmod 500 "$tmp/ro"
if [ "$(id -u)" != 0 ]; then
    "$qvfnc" --csv "$tmp/w.csv" --out "$tmp/ro/out.csv" 'y=1' 2>"$tmp/err"
    [ $? = 1 ] && grep -q "^qvfnc: cannot write $tmp/ro/out.csv (a temporary file in $tmp/ro): Permission denied" "$tmp/err" ||
        fail "read-only folder: $(cat "$tmp/err")"
fi
expect full-stdout 1 '' 'qvfnc: cannot write the output: No space left on device' -- \
    sh -c '"$1" --csv "$2" "z=1" > /dev/full' _ "$qvfnc" "$tmp/w.csv"

[ "$failures" = 0 ] && echo "all qvfnc command-line checks passed"
exit $((failures > 0))

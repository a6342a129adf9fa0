#!/usr/bin/env bash
# qvfnc in line mode: each bad line gets one error line on standard error, the following lines
# still run, and the exit status reports the failure.
set -u
build=$1
fail=0
out=$(printf '%s\n' 'ABS(-2)' 'NOSUCH(1)' 'ABS(1' 'ATAN2(1)' "ABS('x)" 'LOG2(8)' 'EXP(710)' \
      | "$build/qvfnc" 2>"$build/cli_lines.err")
status=$?
expect_out=$'2\n3\n.  (invalid argument in EXP)'
if [ "$out" != "$expect_out" ]; then echo "stdout was:"; echo "$out"; fail=1; fi
if [ "$status" -eq 0 ]; then echo "exit status 0 despite errors"; fail=1; fi
while IFS='|' read -r pattern; do
  grep -q -- "$pattern" "$build/cli_lines.err" || { echo "no error line matching: $pattern"; fail=1; }
done <<'ROWS'
unknown function NOSUCH at character 1 of line 2
syntax error at character 6 of line 3: ')' expected
ATAN2 takes 2 arguments, got 1: ATAN2(y, x) (character 1 of line 4)
syntax error at character 5 of line 5: unterminated character value
ROWS
lines=$(wc -l < "$build/cli_lines.err")
[ "$lines" -eq 4 ] || { echo "expected 4 error lines, got $lines"; cat "$build/cli_lines.err"; fail=1; }
"$build/qvfnc" 'SQRT(4)' >/dev/null || { echo "a good expression failed"; fail=1; }
exit $fail

#!/usr/bin/env bash
# The extension in the real sqlite3 shell: loaded from the build, from a copy beside a copy of the
# package (the installed layout), refused with one line when no package can be opened; the
# weather example through it.
set -u
build=$1
source=$2
fail=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset QV_LIB
# A sanitized extension needs the sanitizer runtime loaded before the (plain) shell: GCC's, which
# the extension names, or clang's, which it leaves to the program.
if ldd "$build/libqvsqlite.so" | grep -q libasan; then
  # The C++ runtime too, so that the sanitizer finds the exception routines it wraps.
  export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0
elif nm -D --undefined-only "$build/libqvsqlite.so" | grep -q __asan_; then
  export LD_PRELOAD="$(clang -print-file-name=libclang_rt.asan-$(uname -m).so) $(gcc -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0
fi
mkdir "$work/alone" "$work/pair"
cp "$build/libqvsqlite.so" "$work/alone/"
cp "$build/libqvsqlite.so" "$build/libqvewumth.so" "$work/pair/"

# extension ~ QV_LIB ~ SQL ~ expected standard output ~ expected standard error (a fixed string)
while IFS='~' read -r ext lib sql want_out want_err; do
  ext=${ext//@build/$build}; ext=${ext//@work/$work}; lib=${lib//@work/$work}; want_err=${want_err//@work/$work}
  out=$(env ${lib:+QV_LIB=$lib} sqlite3 :memory: ".load $ext" "$sql" 2>"$work/err")
  err=$(cat "$work/err")
  if [ "$out" != "$want_out" ]; then echo "[$ext $lib $sql] stdout: '$out', want '$want_out'"; fail=1; fi
  if [ -z "$want_err" ] && [ -n "$err" ]; then echo "[$ext $lib $sql] unexpected stderr: $err"; fail=1; fi
  if [ -n "$want_err" ]; then
    if ! grep -qF -- "$want_err" <<<"$err" || [ "$(wc -l <<<"$err")" -ne 1 ]; then
      echo "[$ext $lib $sql] stderr: '$err', want one line with '$want_err'"; fail=1
    fi
  fi
done <<'ROWS'
@build/libqvsqlite~~SELECT qv_median(1, 2, 3, 4), qv_pctl(90, x) FROM (SELECT 1 x UNION ALL SELECT 9)~2.5|9.0~
@build/libqvsqlite.so~~SELECT qv_sqrt(-1) IS NULL, qv_status()~1|invalid argument~
@work/pair/libqvsqlite~~SELECT qv_round(2.345, 0.01)~2.35~
@work/alone/libqvsqlite~@work/pair/libqvewumth.so~SELECT qv_mean(1, 2)~1.5~
@work/alone/libqvsqlite~~SELECT 1~~(and there is no libqvewumth.so beside @work/alone/libqvsqlite.so)
@build/libqvsqlite~~SELECT qv_mean(1, 'abc')~~qv_mean: argument 2 must be a number, not a character value ('abc')
ROWS

# Empty fields of an imported CSV file are the missing value '.'.
printf 'g,x\na,1\na,\nb,\na,5\n' >"$work/e.csv"
out=$(sqlite3 :memory: ".load $build/libqvsqlite" ".import --csv $work/e.csv e" "SELECT g, qv_n(x), qv_nmiss(x), qv_mean(x), qv_status() FROM e GROUP BY g" 2>&1)
[ "$out" = $'a|2.0|1.0|3.0|ok\nb|0.0|1.0||qv_mean: missing argument' ] || { echo "imported empty fields: $out"; fail=1; }

# The example: a summary line per station and a moving median per day.
out=$("$source/sql/sqlite/weather.sh" "$build" 2>&1)
grep -qE '^\| Valley +\| 10\.0 +\| 0\.0 +\| 7\.82 +\| 7\.65 ' <<<"$out" || { echo "weather summary:"; echo "$out"; fail=1; }
days=$(grep -cE '^\| (Harbour|Ridge|Valley) +\| 2026-03-' <<<"$out")
[ "$days" -eq 30 ] || { echo "moving median: $days day rows, want 30"; fail=1; }
grep -qE '^\| Ridge +\| 2026-03-04 \| 2\.4 +\| 3\.95 ' <<<"$out" || { echo "moving median row of Ridge 2026-03-04 missing"; fail=1; }
exit $fail

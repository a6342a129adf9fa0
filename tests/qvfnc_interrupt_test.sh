#!/usr/bin/env bash
# --out never loses data. Runs stopped by SIGINT, SIGTERM, SIGHUP and SIGQUIT at set points of a
# table (the input comes through a pipe the test feeds, and each point is a size the temporary
# file is seen to reach), and runs that hit a file size limit: afterwards the target is the old
# file, and no temporary file is left; a run that completes replaces it with the whole table.
#   tests/qvfnc_interrupt_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
qvfnc="$1/qvfnc"
tmp=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; rm -rf "$tmp"' EXIT
ulimit -c 0
failures=0 points=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

target="$tmp/out.csv"
rows() { awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "%d,%d,row %d of the table\n", i, i % 97, i }'; }
{ echo "a,b,c"; rows 100000; } >"$tmp/in.csv"
assignments=('x=a * 2' 'y=SUM(a, b)' 'z=IFN(b > 50, SQRT(a), -a)')
"$qvfnc" --csv "$tmp/in.csv" "${assignments[@]}" >"$tmp/new.csv" || fail "reference run"
printf 'the old file\n' >"$tmp/old.csv"

poll() {  # SECONDS COMMAND...: true once the command is, false after SECONDS
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do [ "$SECONDS" -ge "$deadline" ] && return 1; sleep 0.01; done
}
size_at_least() { local s; s=$(stat -c %s "$1" 2>/dev/null) && [ "$s" -ge "$2" ]; }
ended() { [ ! -e "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ]; }
finish() {  # PID: its exit status once it ends; a run that does not end within a minute fails
    poll 60 ended "$1" || { fail "process $1 did not end"; kill -s KILL "$1"; }
    wait "$1" 2>/dev/null
}
# Programs started by a script may inherit ignored signals; these runs must see every signal
# (env executes qvfnc in its own process, so $! is qvfnc's process).
run=(env --default-signal "$qvfnc")
temporaries() { find "$tmp" -maxdepth 1 -name '.out.csv.qvfnc-tmp.*' | wc -l; }
check() {  # NAME old|new: the target is that file, and no temporary file is left
    points=$((points + 1))
    cmp -s "$target" "$tmp/$2.csv" || fail "$1: the target is not the $2 file ($(wc -c <"$target") bytes)"
    [ "$(temporaries)" = 0 ] || fail "$1: a temporary file is left"
}
exec 2>>"$tmp/notices"  # the shell's own notices of jobs ended by signals are no test output

# Set points: the run waits for more input while the signal comes.
for sig in INT TERM HUP QUIT; do
    for blocks in 0 1 4; do
        cp "$tmp/old.csv" "$target"
        rm -f "$tmp/fifo" && mkfifo "$tmp/fifo"
        "${run[@]}" --csv "$tmp/fifo" --out "$target" "${assignments[@]}" &
        pid=$!
        exec 3>"$tmp/fifo"
        { echo "a,b,c"; rows $((blocks * 2000)); } >&3
        poll 120 size_at_least "$tmp/.out.csv.qvfnc-tmp.$pid" $((blocks * 65536)) || fail "$sig at $blocks blocks: no growth"
        kill -s "$sig" "$pid"
        finish "$pid"
        status=$?
        exec 3>&-
        [ "$status" = $((128 + $(kill -l "$sig"))) ] || fail "$sig at $blocks blocks: exit status $status"
        check "$sig at $blocks blocks" old
    done
done
"${run[@]}" --csv "$tmp/in.csv" --out "$target" "${assignments[@]}" || fail "complete run: exit status $?"
check "complete run" new

# A file size limit (a full disk to the program): an error, the old file kept, nothing left.
for limit_kb in 0 1 64 1024; do
    cp "$tmp/old.csv" "$target"
    # Messages go through a pipe: a file would be cut by the same limit.
    (ulimit -f $((limit_kb * 2)); exec "$qvfnc" --csv "$tmp/in.csv" --out "$target" "${assignments[@]}") 2>&1 | cat >"$tmp/err"
    status=${PIPESTATUS[0]}
    [ "$status" = 1 ] && grep -q 'File too large' "$tmp/err" && [ "$(wc -l <"$tmp/err")" = 1 ] ||
        fail "file size limit ${limit_kb} KiB: status $status, $(cat "$tmp/err")"
    check "file size limit ${limit_kb} KiB" old
done

[ "$failures" = 0 ] && echo "all $points runs left the old file or the complete new one: 12 stopped at set points," \
    "1 complete, 4 at a file size limit"
exit $((failures > 0))

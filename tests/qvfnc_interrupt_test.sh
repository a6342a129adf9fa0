#!/usr/bin/env bash
# --out never loses data. Runs stopped by SIGINT, SIGTERM, SIGHUP and SIGQUIT at set points of a
# table (the input comes through a pipe the test feeds, and each point is a size the temporary
# file is seen to reach), stopped by SIGTERM and SIGKILL at random sizes of a free-running table,
# and runs that hit a file size limit: afterwards the target is the old file or the complete new
# one, and no temporary file is left (SIGKILL excepted, which no program can clean up after).
#   tests/qvfnc_interrupt_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
qvfnc="$build/qvfnc"
tmp=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; rm -rf "$tmp"' EXIT
ulimit -c 0
failures=0 points=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

target="$tmp/out.csv"
rows() {  # COUNT FIRST: table rows
    awk -v n="$1" -v from="$2" 'BEGIN { for (i = from; i < from + n; i++) printf "%d,%d,row %d of the table\n", i, i % 97, i }'
}
{ echo "a,b,c"; rows 100000 0; } >"$tmp/in.csv"
assignments=('x=a * 2' 'y=SUM(a, b)' 'z=IFN(b > 50, SQRT(a), -a)')
"$qvfnc" --csv "$tmp/in.csv" "${assignments[@]}" >"$tmp/new.csv" || fail "reference run"
printf 'the old file\n' >"$tmp/old.csv"

# poll SECONDS COMMAND...: true once the command is, false after SECONDS.
poll() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.01
    done
}
size_at_least() { local s; s=$(stat -c %s "$1" 2>/dev/null) && [ "$s" -ge "$2" ]; }
ended() { [ ! -e "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ]; }
# finish PID: its exit status once it ends; a run that does not end within a minute fails.
finish() {
    poll 60 ended "$1" || { fail "process $1 did not end"; kill -s KILL "$1"; }
    wait "$1" 2>/dev/null
}
# Programs started by a script may inherit ignored signals; these runs must see every signal
# (env executes qvfnc in its own process, so $! is qvfnc's process).
run=(env --default-signal "$qvfnc")
temporaries() { find "$tmp" -maxdepth 1 -name '.out.csv.qvfnc-tmp.*' | wc -l; }

# The target after a run that may have been stopped: old or complete.
check() {  # NAME
    points=$((points + 1))
    if ! cmp -s "$target" "$tmp/old.csv" && ! cmp -s "$target" "$tmp/new.csv"; then
        fail "$1: the target is neither the old file nor the new one ($(wc -c <"$target") bytes)"
    fi
}

# The shell's own notices of jobs ended by signals are no test output.
exec 2>>"$tmp/notices"
stopped=0

# Set points: the run waits for more input while the signal comes.
for sig in INT TERM HUP QUIT; do
    for blocks in 0 1 4; do
        cp "$tmp/old.csv" "$target"
        rm -f "$tmp/fifo" && mkfifo "$tmp/fifo"
        "${run[@]}" --csv "$tmp/fifo" --out "$target" "${assignments[@]}" 2>"$tmp/err" &
        pid=$!
        exec 3>"$tmp/fifo"
        temp="$tmp/.out.csv.qvfnc-tmp.$pid"
        { echo "a,b,c"; rows $((blocks * 2000)) 0; } >&3
        poll 120 size_at_least "$temp" $((blocks * 65536)) || fail "$sig at $blocks blocks: the temporary file never grew"
        kill -s "$sig" "$pid"
        finish "$pid"
        status=$?
        exec 3>&-
        [ "$status" = $((128 + $(kill -l "$sig"))) ] || fail "$sig at $blocks blocks: exit status $status"
        cmp -s "$target" "$tmp/old.csv" || fail "$sig at $blocks blocks: the old file changed"
        [ "$(temporaries)" = 0 ] || fail "$sig at $blocks blocks: a temporary file is left"
        points=$((points + 1))
    done
done

# The same run given its whole input completes and replaces the file.
cp "$tmp/old.csv" "$target"
"${run[@]}" --csv "$tmp/fifo" --out "$target" "${assignments[@]}" &
pid=$!
exec 3>"$tmp/fifo"
cat "$tmp/in.csv" >&3
exec 3>&-
finish "$pid" || fail "complete run: exit status $?"
cmp -s "$target" "$tmp/new.csv" || fail "complete run: the new file differs from standard output's table"
[ "$(temporaries)" = 0 ] || fail "complete run: a temporary file is left"

# Random points of a free-running table.
total=$(wc -c <"$tmp/new.csv")
RANDOM=20261206
for sig in TERM KILL; do
    for k in 1 2 3 4 5 6 7 8; do
        cp "$tmp/old.csv" "$target"
        offset=$(((RANDOM * 32768 + RANDOM) % total))
        "${run[@]}" --csv "$tmp/in.csv" --out "$target" "${assignments[@]}" 2>/dev/null &
        pid=$!
        temp="$tmp/.out.csv.qvfnc-tmp.$pid"
        until size_at_least "$temp" "$offset" || ended "$pid"; do sleep 0.002; done
        kill -s "$sig" "$pid" 2>/dev/null
        finish "$pid"
        [ $? -gt 128 ] && stopped=$((stopped + 1))
        check "$sig at byte $offset"
        if [ "$sig" = TERM ]; then
            [ "$(temporaries)" = 0 ] || fail "TERM at byte $offset: a temporary file is left"
        fi
        rm -f "$tmp"/.out.csv.qvfnc-tmp.*
    done
done

# A file size limit (a full disk to the program): an error, the old file kept, nothing left.
for limit_kb in 0 1 64 1024; do
    cp "$tmp/old.csv" "$target"
    # Messages go through a pipe: a file would be cut by the same limit.
    (ulimit -f $((limit_kb * 2)); exec "$qvfnc" --csv "$tmp/in.csv" --out "$target" "${assignments[@]}") 2>&1 | cat >"$tmp/err"
    status=${PIPESTATUS[0]}
    [ "$status" = 1 ] && grep -q 'File too large' "$tmp/err" && [ "$(wc -l <"$tmp/err")" = 1 ] ||
        fail "file size limit ${limit_kb} KiB: status $status, $(cat "$tmp/err")"
    cmp -s "$target" "$tmp/old.csv" || fail "file size limit ${limit_kb} KiB: the old file changed"
    [ "$(temporaries)" = 0 ] || fail "file size limit ${limit_kb} KiB: a temporary file is left"
    points=$((points + 1))
done

[ "$failures" = 0 ] && echo "all $points runs left the old file or the complete new one: 12 stopped at set points, 16 at" \
    "random points ($stopped of them before the table was complete), 4 at a file size limit"
exit $((failures > 0))

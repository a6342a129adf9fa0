#!/usr/bin/env bash
# Builds and runs every test: once plain, once under AddressSanitizer and
# UndefinedBehaviorSanitizer (with every fuzz target replaying its committed corpus), and the
# concurrency test under ThreadSanitizer. The PostgreSQL tests start and stop their own throwaway
# server, the Dask tests their own 2-process cluster.
#
# The three build trees are independent, so they are built and tested side by side. The source
# packages' own builds and checks (R CMD build, install and check; the Python sdist built, installed
# and tested) are long chains of single steps that need no more of the plain tree than its two
# libraries: they start as soon as those are built, beside the rest of the compiling, rather than
# last. Each stage writes its log to build-logs/STAGE.log; a stage that fails has its log printed
# whole, one that passes its test summary. The long fuzzing runs are their own command:
# scripts/fuzz.sh (hours), scripts/fuzz_replay.sh (the corpora under libFuzzer, and a few seconds
# of fuzzing each).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
logs=build-logs
rm -rf "$logs" && mkdir -p "$logs"

# The tests of the source packages, run by the packages stage rather than with the plain tree's.
packaged='^(r_package_test|python_sdist_test)$'

plain() {
    # Optimised as shipped; line tables only, which compile a quarter faster than full debug
    # information and are all a failing test's backtrace needs.
    trap '[ -e "$logs/.libraries" ] || touch "$logs/.plain-failed"' EXIT
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DQV_WERROR=ON >/dev/null
    cmake --build build -j "$jobs" --target qvhost qvewumth
    touch "$logs/.libraries"
    cmake --build build -j "$jobs"
    (cd build && ctest --output-on-failure -j "$jobs" -E "$packaged")
}

packages() {
    # Waits for the plain tree's libraries (or its failure).
    until [ -e "$logs/.libraries" ]; do
        [ -e "$logs/.plain-failed" ] && { echo "the plain build failed before its libraries were built"; return 1; }
        sleep 1
    done
    (cd build && ctest --output-on-failure -j "$jobs" -R "$packaged")
}

sanitized() {
    # Assertions and the structures' audits on, as in any debug build, at -O1: the sanitizers see
    # the same faults, and the tests run two to three times faster than at -O0. Line tables are
    # all a sanitizer's report needs, and compile a quarter faster than full debug information.
    # Built by clang, which compiles instrumented code a third faster than GCC, and so builds the
    # code with a second compiler's warnings (the plain tree is GCC's), with the C++ library's
    # headers precompiled (the plain tree, without them, checks that each file includes what it
    # uses).
    cmake -S . -B build-san -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-g1 -O1" \
        -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" -DQV_SANITIZE=ON -DQV_WERROR=ON -DQV_BENCH=OFF -DQV_PCH=ON >/dev/null
    cmake --build build-san -j "$jobs"
    (cd build-san && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --output-on-failure -j "$jobs")
}

threads() {
    scripts/tsan.sh
}

stages=(plain packages sanitized threads)
for s in "${stages[@]}"; do
    ( set -e; "$s" ) >"$logs/$s.log" 2>&1 &
    eval "pid_$s=$!"
done

failed=()
for s in "${stages[@]}"; do
    pid_var="pid_$s"
    if wait "${!pid_var}"; then
        echo "== $s: passed"
        # The runner's report: every test's line and the closing summary.
        sed -n '/^Test project/,$p' "$logs/$s.log"
    else
        failed+=("$s")
    fi
done
for s in "${failed[@]}"; do
    echo "== $s: FAILED (its log, $logs/$s.log, follows)"
    cat "$logs/$s.log"
done
# Every stage's tests together, from ctest's summaries ("97% tests passed, 1 tests failed out of 37").
read -r ran bad < <(cat "$logs"/*.log | sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\2 \1/p' |
    awk '{ran += $1; bad += $2} END {print ran + 0, bad + 0}')
summary="all stages: $((ran - bad)) passed, $bad failed"
# A stage that failed before its tests ran (a build error) counts no test: name it.
[ ${#failed[@]} -eq 0 ] || summary="$summary; stages failed: ${failed[*]}"
echo "$summary"
[ ${#failed[@]} -eq 0 ]

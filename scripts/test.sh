#!/usr/bin/env bash
# Builds and runs every test: once plain, once under AddressSanitizer and
# UndefinedBehaviorSanitizer; then replays the fuzz corpora and runs the concurrency test under
# ThreadSanitizer. The PostgreSQL tests start and stop their own throwaway server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")
cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_WERROR=ON -DQV_BENCH=OFF >/dev/null
cmake --build build-san -j "$jobs"
(cd build-san && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j "$jobs")
# Every fuzz target over its corpus (earlier findings stay found), and the concurrency test under
# ThreadSanitizer.
scripts/fuzz_replay.sh
scripts/tsan.sh

#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] [TARGET...]: runs each fuzz target (all of them by default) for
# SECONDS (default 600), one after the other, one process each. Each target starts from its
# committed corpus fuzz/corpus/TARGET/ and from what earlier runs found, kept in
# build-fuzz/fuzz/runs/TARGET/; a crash is written to build-fuzz/fuzz/artifacts/. The last lines
# of each run's log (build-fuzz/fuzz/runs/TARGET.log) give its executions and coverage.
#
# A finding, once fixed, becomes a corpus entry so that every test run replays it:
#   build-fuzz/fuzz/TARGET -minimize_crash=1 -runs=100000 \
#     -exact_artifact_path=fuzz/corpus/TARGET/finding-WHAT build-fuzz/fuzz/artifacts/TARGET-crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
scripts/deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    [ -x "build-fuzz/fuzz/$name" ] && targets+=("$name")
  done
fi
export QV_LIB="$PWD/build-fuzz/libqvewumth.so"
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}"
status=0
for name in "${targets[@]}"; do
  runs="build-fuzz/fuzz/runs/$name"
  mkdir -p "$runs" build-fuzz/fuzz/artifacts
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=("-dict=fuzz/$name.dict")
  echo "== $name: $seconds s"
  if ! "build-fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/fuzz/artifacts/$name-" "${dict[@]}" "$runs" "fuzz/corpus/$name" \
      >"build-fuzz/fuzz/runs/$name.log" 2>&1; then
    status=1
    grep -E "FUZZ CHECK FAILED|ERROR: |SUMMARY|Test unit written" "build-fuzz/fuzz/runs/$name.log" || true
  fi
  grep -E "DONE|stat::number_of_executed_units" "build-fuzz/fuzz/runs/$name.log" | tail -2
done
exit $status

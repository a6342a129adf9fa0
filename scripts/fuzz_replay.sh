#!/usr/bin/env bash
# Replays every fuzz target over its committed corpus, then lets each fuzz a few seconds more
# (QV_FUZZ_REPLAY_SECONDS, default 4), in a clang build with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/. Every earlier finding is in a corpus, so a change
# that brings one back fails here. New inputs and crash artifacts stay in build-fuzz/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQV_FUZZ_REPLAY_SECONDS="${QV_FUZZ_REPLAY_SECONDS:-4}" >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz
(cd build-fuzz && ctest -L fuzz --output-on-failure -j "$(nproc)")

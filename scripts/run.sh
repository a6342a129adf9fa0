#!/usr/bin/env bash
# Builds the package and the qvfnc host, then evaluates the example expressions.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qvfnc qvewumth
build/qvfnc < examples/expressions.txt

#!/usr/bin/env bash
# The R package against R's own functions in the same R session (bench/r_bench.R): installs the
# package against the host library of a build tree, then runs the comparisons.
#   bench/r_bench.sh [BUILD_DIR] [REPEATS]      (defaults: build, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
cmake --build "$build" --target qvhost qvewumth >/dev/null
. r/tools/buildtree.sh
install_into_buildtree "$build" "$(pwd)"
R_LIBS=$build/r-lib Rscript bench/r_bench.R "${2:-5}"

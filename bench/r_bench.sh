#!/usr/bin/env bash
# The R package against R's own functions in the same R session (bench/r_bench.R): installs the
# package against the host library of a build tree, then runs the comparisons.
#   bench/r_bench.sh [BUILD_DIR] [REPEATS]      (defaults: build, 5)
#   bench/r_bench.sh BUILD_DIR --matrix REPEATS VALUES KEYS FAMILIES ...   (bench/matrix.py's R part)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
cmake --build "$build" --target qvhost qvewumth >/dev/null
. r/tools/buildtree.sh
# QV_R_INSTALLED=1: the package is installed in the build tree already (bench/matrix.py's later calls).
[ "${QV_R_INSTALLED:-}" = 1 ] || install_into_buildtree "$build" "$(pwd)"
if [ "${2:-}" = --matrix ]; then
    shift
    R_LIBS=$build/r-lib exec Rscript bench/r_bench.R "$@"
fi
# The package's own call from C++ over an argument list built once (engine_bench), in ms, for the
# surface's overhead: QV_PACKAGE_MS="N/1000000=0.75 MEAN/1000000=0.88 ...". Both sides time the
# same values (the package's MEDIAN takes up to 2.5 times as long on one sample as on another):
# R draws them into QV_BENCH_VALUES, engine_bench reads them from there.
if [ -x "$build/bench/engine_bench" ]; then
    QV_BENCH_VALUES=$(mktemp --suffix=.f64)
    trap 'rm -f "$QV_BENCH_VALUES"' EXIT
    export QV_BENCH_VALUES
    Rscript -e 'set.seed(7); writeBin(runif(1e7, -1e6, 1e6), Sys.getenv("QV_BENCH_VALUES"))'
    QV_PACKAGE_MS=$(QV_LIB=$build/libqvewumth.so "$build/bench/engine_bench" --benchmark_filter=BM_package_call \
        --benchmark_format=csv 2>/dev/null | awk -F, '/^"BM_package_call/ { gsub(/"/, "", $1); split($1, p, "/"); printf "%s/%s=%s ", toupper(p[2]), p[3], $4 }')
    export QV_PACKAGE_MS
fi
R_LIBS=$build/r-lib Rscript bench/r_bench.R "${2:-5}"

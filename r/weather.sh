#!/usr/bin/env bash
# Installs the R package against the host library of a build tree (into BUILD_DIR/r-lib) and runs
# the README's example on examples/weather.csv: medians by station, then a 3-day moving median.
#   r/weather.sh [BUILD_DIR]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
. r/tools/buildtree.sh
install_into_buildtree "$build" "$(pwd)"
R_LIBS=$build/r-lib Rscript r/inst/examples/weather.R examples/weather.csv

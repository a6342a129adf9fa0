#!/usr/bin/env bash
# Installs the R package against the host library of a build tree (into BUILD_DIR/r-lib) and runs
# the README's example on examples/weather.csv: medians by station, then a 3-day moving median.
#   r/weather.sh [BUILD_DIR]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
build=$(cd "${1:-build}" && pwd)
[ -f "$build/libqvhost.so" ] || { echo "no $build/libqvhost.so: build the qvhost and qvewumth targets first" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. r/tools/buildtree.sh
write_buildtree_pc "$tmp" "$build" "$src"
mkdir -p "$build/r-lib"
(cd "$tmp" && R CMD build --no-build-vignettes --no-manual "$src/r" >build.log 2>&1 &&
    PKG_CONFIG_PATH=$tmp R CMD INSTALL -l "$build/r-lib" qvewumth_*.tar.gz >install.log 2>&1) ||
    { cat "$tmp"/*.log; exit 1; }
R_LIBS=$build/r-lib Rscript r/inst/examples/weather.R examples/weather.csv

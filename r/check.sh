#!/usr/bin/env bash
# Builds the R package and runs R CMD check on it (its tests included) against the host library
# of a build tree; fails on any ERROR or WARNING and prints the NOTEs.
#   r/check.sh BUILD_DIR [SOURCE_DIR]
# Skipped (exit 0, saying so) when R or testthat is not installed, and for instrumented builds,
# whose libraries R cannot load without their sanitizer runtimes.
set -uo pipefail
build=$(cd "$1" && pwd)
src=$(cd "${2:-$(dirname "$0")/..}" && pwd)
if ! command -v R >/dev/null || ! Rscript -e 'quit(status = !requireNamespace("testthat", quietly = TRUE))' 2>/dev/null; then
    echo "R with testthat is not installed (scripts/deps.sh installs them): skipped"
    exit 0
fi
if grep -qE '^QV_(SANITIZE|TSAN|FUZZ):BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "instrumented build: the R package is checked against the plain build only"
    exit 0
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$src/r/tools/buildtree.sh"
write_buildtree_pc "$tmp" "$build" "$src"
export PKG_CONFIG_PATH=$tmp
# The suggested data.table and dplyr are used by the tests when they are installed.
export _R_CHECK_FORCE_SUGGESTS_=false
cd "$tmp"
R CMD build --no-build-vignettes --no-manual "$src/r" >build.log 2>&1 || { cat build.log; exit 1; }
R CMD check --no-manual qvewumth_*.tar.gz >check.log 2>&1
rc=$?
cat check.log
if [ $rc -ne 0 ] || grep -qE '^Status: .*(ERROR|WARNING)' check.log; then
    for f in qvewumth.Rcheck/00install.out qvewumth.Rcheck/tests/testthat.Rout.fail; do
        [ -f "$f" ] && { echo "== $f"; tail -n 60 "$f"; }
    done
    exit 1
fi

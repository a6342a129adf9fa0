#!/usr/bin/env bash
# Makes the release files of the Python and R packages into OUT_DIR: the Python source distribution
# and a wheel built from it, and the R source package (with its vignette), each carrying the
# package's and host library's sources; prints their sizes and how long each took.
#   scripts/dist.sh BUILD_DIR OUT_DIR     (BUILD_DIR: the qvhost and qvewumth targets built)
# Needs python3-build and R; the checkout is left as it was.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: scripts/dist.sh BUILD_DIR OUT_DIR}" && pwd)
mkdir -p "${2:?usage: scripts/dist.sh BUILD_DIR OUT_DIR}"
out=$(cd "$2" && pwd)
version=$(head -n 1 "$src/VERSION")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp" "$src/python/qvewumth.egg-info"' EXIT
timed() { local t0; t0=$(date +%s); "$@" >"$tmp/log" 2>&1 || { tail -n 40 "$tmp/log"; exit 1; }; echo $(($(date +%s) - t0)); }
report() { printf '%-55s %9s bytes  %4s s\n' "$(basename "$1")" "$(stat -c %s "$1")" "$2"; }

s=$(timed /usr/bin/python3 -m build --sdist --no-isolation -o "$out" "$src/python")
report "$out/qvewumth-$version.tar.gz" "$s"
s=$(timed /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps --no-index -w "$out" "$out/qvewumth-$version.tar.gz")
report "$(ls "$out"/qvewumth-"$version"-*.whl)" "$s"
"$src/scripts/copy_tree.sh" "$src" r "$tmp"
"$tmp/r/tools/prepare.sh" "$build" "$src" >/dev/null
s=$(cd "$out" && timed R CMD build "$tmp/r")
report "$out/qvewumth_$version.tar.gz" "$s"

#!/usr/bin/env bash
# Makes r/ a complete source package before `R CMD build r`: copies the function package's and the
# host library's sources into src/qv/ (R's own toolchain compiles them at install time), the
# weather table into inst/extdata/, sets DESCRIPTION's Version from VERSION, and makes the R
# functions and help pages from the catalogue of the build tree's host library.
#   r/tools/prepare.sh BUILD_DIR [SOURCE_DIR]      (BUILD_DIR: the qvhost and qvewumth targets built)
# Everything it writes is build output, ignored by git; `r/tools/prepare.sh --clean` removes it.
set -euo pipefail
r=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--clean" ]; then
    rm -rf "$r/src/qv" "$r/inst/extdata" "$r/R/functions.R" "$r"/man/fn-*.Rd "$r/tools/catalogue.R"
    exit 0
fi
build=$(cd "${1:?usage: r/tools/prepare.sh BUILD_DIR [SOURCE_DIR]}" && pwd)
src=$(cd "${2:-$r/..}" && pwd)
for f in "$build/libqvhost.so" "$build/libqvewumth.so"; do
    [ -f "$f" ] || { echo "prepare.sh: no $f: build the qvhost and qvewumth targets first" >&2; exit 1; }
done

# The sources, as the project's own build uses them (their own files, not what a build left
# beside them); nothing else of the project.
rm -rf "$r/src/qv"
for d in package/include package/src package/support package/fnc package/special host/include host/src; do
    "$src/scripts/copy_tree.sh" "$src" "$d" "$r/src/qv"
done
cp "$src/VERSION" "$r/src/qv/VERSION"
git -C "$src" rev-parse --abbrev-ref HEAD > "$r/src/qv/TRACK" 2>/dev/null || echo unknown > "$r/src/qv/TRACK"
mkdir -p "$r/inst/extdata"
cp "$src/examples/weather.csv" "$r/inst/extdata/"

version=$(head -n 1 "$src/VERSION")
grep -qx "Version: $version" "$r/DESCRIPTION" || sed -i "s/^Version: .*/Version: $version/" "$r/DESCRIPTION"

# The catalogue as R code, from the host library of the build tree and the package it opens.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
${CC:-cc} -I"$src/host/include" -o "$tmp/catalogue" "$r/tools/catalogue.c" -L"$build" -lqvhost -Wl,-rpath,"$build"
QV_LIB=$build/libqvewumth.so "$tmp/catalogue" > "$r/tools/catalogue.R"
(cd "$r" && Rscript --vanilla tools/generate.R)
rm -f "$r/tools/catalogue.R"
echo "prepare.sh: r/ carries the sources of version $version; now: R CMD build r"

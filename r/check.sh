#!/usr/bin/env bash
# Makes the self-contained source package once from r/'s own files (tools/prepare.sh, R CMD build
# with the vignette, which runs the vignette's code), installs it into a temporary library with
# nothing of the project on PKG_CONFIG_PATH, moves that library and the binary package made from it,
# loads the package from the new places and compares its results bit for bit with the build tree's
# package; then R CMD check --as-cran (the examples and the testthat suite included) of the same
# source package over that installation and its log. The package is compiled twice in all (for the
# vignette, and for the install: the second through a cache of the first where ccache is installed)
# and the vignette's code runs once. Fails on any ERROR or WARNING and prints the NOTEs and the
# seconds each stage took.
#   r/check.sh BUILD_DIR [SOURCE_DIR]
# Exits 77 (skipped) when R or testthat is not installed, and for instrumented builds, whose
# libraries R cannot load without their sanitizer runtimes.
set -uo pipefail
build=$(cd "$1" && pwd)
src=$(cd "${2:-$(dirname "$0")/..}" && pwd)
if ! command -v R >/dev/null || ! Rscript -e 'quit(status = !requireNamespace("testthat", quietly = TRUE))' 2>/dev/null; then
    echo "R with testthat is not installed (scripts/deps.sh installs them): skipped"
    exit 77
fi
if grep -qE '^QV_(SANITIZE|TSAN|FUZZ):BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "instrumented build: the R package is checked against the plain build only"
    exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset QV_LIB R_LIBS R_LIBS_USER
export PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR=$tmp/none
# R's make compiles the package's C++ files two at a time unless told otherwise.
export MAKEFLAGS=${MAKEFLAGS:--j2}
version=$(head -n 1 "$src/VERSION")
fail=0
now() { date +%s; }
step() { # name, log, command...: runs the command, shows the log's end when it fails
    local name=$1 log=$2; shift 2
    "$@" >"$log" 2>&1 || { echo "FAIL: $name"; tail -n 40 "$log"; exit 1; }
}

# The vignette is built with knitr and rmarkdown (and pandoc); without them it is left out.
vignettes=() ignore=()
if ! command -v pandoc >/dev/null || ! Rscript -e 'quit(status = !all(sapply(c("knitr", "rmarkdown"), requireNamespace, quietly = TRUE)))' 2>/dev/null; then
    echo "knitr, rmarkdown or pandoc is not installed: the vignette is not built or checked"
    vignettes=(--no-build-vignettes) ignore=(--ignore-vignettes)
fi
"$src/scripts/copy_tree.sh" "$src" r "$tmp"
# The C files call each other only downwards, in the layers src/qvr.h lists.
Rscript "$tmp/r/tools/layers.R" "$tmp/r/src" >"$tmp/layers.log" 2>&1 || { echo "FAIL: r/src's layers"; cat "$tmp/layers.log"; fail=1; }
step "tools/prepare.sh" "$tmp/prepare.log" "$tmp/r/tools/prepare.sh" "$build" "$src"
cd "$tmp"
t0=$(now)
# R CMD build installs the package into a library of its own only to run the vignette's code; the
# install below compiles the same files with the same flags. With ccache, in a cache of this run's
# own (compiled in another folder: the folder is left out of the key), the second compile is the
# first one's objects and compiler messages again, which R CMD check reads from the install's log.
if command -v ccache >/dev/null; then
    export CCACHE_DIR=$tmp/ccache CCACHE_NOHASHDIR=1 CCACHE_BASEDIR=$tmp
    printf 'CC = ccache %s\nCXX20 = ccache %s\n' "$(R CMD config CC)" "$(R CMD config CXX20)" >"$tmp/ccache.mk"
    export R_MAKEVARS_USER=$tmp/ccache.mk
fi
step "R CMD build" build.log R CMD build "${vignettes[@]}" "$tmp/r"
t1=$(now)
tarball=qvewumth_$version.tar.gz
mkdir lib
# The symbol tables of the objects, which R CMD check reads to judge the compiled code, as its own
# install would write them.
_R_SHLIB_BUILD_OBJECTS_SYMBOL_TABLES_=TRUE step "R CMD INSTALL" install.log R CMD INSTALL --build -l lib "$tarball"
t2=$(now)
binary=$(ls qvewumth_"$version"_R_*.tar.gz)
echo "source package $(stat -c %s "$tarball") bytes (R CMD build $((t1 - t0)) s, vignette included);" \
     "install $((t2 - t1)) s; binary package $(stat -c %s "$binary") bytes"
tar tzf "$tarball" > list
for f in src/qv/package/fnc/qvfncpctl.cpp src/qv/host/src/loader.cpp src/qv/host/include/qvhost.h \
         src/qv/VERSION R/functions.R ${vignettes[0]:+-}inst/doc/qvewumth.html; do
    [ "${f#-}" = "$f" ] || continue
    grep -qx "qvewumth/$f" list || { echo "FAIL: the source package lacks $f"; fail=1; }
done

# Moved: the library folder the source package went into, and one the binary package went into.
mv lib moved
mkdir binlib && step "installing the binary package" bin.log R CMD INSTALL -l binlib "$binary" && mv binlib binmoved
[ -f moved/qvewumth/lib/libqvewumth.so ] || { echo "FAIL: no lib/libqvewumth.so in the installed package"; fail=1; }
for f in moved/qvewumth/libs/*.so moved/qvewumth/lib/*.so; do
    readelf -d "$f" | grep -qE 'RPATH|RUNPATH' && { echo "FAIL: $f records a library path"; fail=1; }
done

# Results: the carried package (moved) against the build tree's, over every function of one
# vector (or a vector and a second argument), bit for bit.
cat > results.R <<'R'
library(qvewumth)
set.seed(3)
x <- c(rnorm(150, sd = 40), round(runif(40, -20, 20)), 0.5, -2.5, 1e-300, 171.2, 1e155, NA, qv_missing("M"))
second <- list(x = NULL, "x,p" = c(0, 12.5, 50, 90, 100), "x,y" = rev(x), "x,unit" = 0.1, "x,k" = 2)
out <- list()
for (f in ls("package:qvewumth", pattern = "^qv_")) {
  shape <- paste(setdiff(names(formals(get(f))), "na.rm"), collapse = ",")
  if (!shape %in% names(second)) next
  r <- tryCatch(suppressWarnings(if (shape == "x") get(f)(x) else get(f)(x, second[[shape]])), error = function(e) NULL)
  if (is.double(r)) out[[f]] <- r
}
saveRDS(out, commandArgs(TRUE)[1])
R
R_LIBS=$tmp/moved Rscript results.R carried.rds >results.log 2>&1 || { echo "FAIL: the moved library"; cat results.log; fail=1; }
QV_LIB=$build/libqvewumth.so R_LIBS=$tmp/moved Rscript results.R project.rds >>results.log 2>&1 || fail=1
R_LIBS=$tmp/binmoved Rscript -e 'library(qvewumth); stopifnot(qv_median(c(3, 1, 2)) == 2,
  qv_mean(c(1, NA, qv_missing("M"), 4)) == 2.5, qv_pctl(c(1, 2, 3, 4), 90) == 4)' \
  >binary.log 2>&1 || { echo "FAIL: the moved binary package"; cat binary.log; fail=1; }
Rscript -e 'a <- readRDS("carried.rds"); b <- readRDS("project.rds")
  same <- mapply(function(x, y) identical(writeBin(x, raw()), writeBin(y, raw())), a, b[names(a)])
  cat(sum(same), "of", length(a), "functions give the build tree package\x27s bits\n")
  if (length(a) < 40 || !all(same)) { print(names(a)[!same]); quit(status = 1) }' || fail=1

# R CMD check as a repository would run it, over the installation above and its log (the PDF manual
# needs LaTeX, left out; a check offline cannot ask CRAN about the package's name and links). The
# vignette was built and its code run by R CMD build; the check sees that its outputs are in place.
export _R_CHECK_FORCE_SUGGESTS_=false _R_CHECK_CRAN_INCOMING_REMOTE_=false
if ! command -v checkbashisms >/dev/null; then
    echo "checkbashisms (Debian: devscripts) is not installed: configure and cleanup are not checked for bashisms"
    export _R_CHECK_BASHISMS_=false
fi
command -v qpdf >/dev/null || echo "qpdf is not installed: R CMD check warns that it cannot check the vignette's size"
t3=$(now)
R CMD check --as-cran --no-manual --no-build-vignettes --no-vignettes "${ignore[@]}" \
    --install=check:"$tmp/install.log" --library="$tmp/moved" "$tarball" >check.log 2>&1
rc=$?
echo "R CMD check $(($(now) - t3)) s; all stages $(($(now) - t0)) s"
grep -E '^\* checking .*(NOTE|WARNING|ERROR)$|^Status:' check.log
# Any ERROR or WARNING fails.
count() { grep -m 1 '^Status:' check.log | grep -oE "[0-9]+ $1" | cut -d ' ' -f 1; }
errors=$(count ERROR) warnings=$(count WARNING)
if [ $rc -ne 0 ] || [ "${errors:-0}" -gt 0 ] || [ "${warnings:-0}" -gt 0 ]; then
    cat check.log
    for f in qvewumth.Rcheck/00install.out qvewumth.Rcheck/tests/testthat.Rout.fail; do
        [ -f "$f" ] && { echo "== $f"; tail -n 60 "$f"; }
    done
    fail=1
fi
exit $fail

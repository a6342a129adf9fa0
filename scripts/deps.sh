#!/usr/bin/env bash
# Checks the tools and installs what is missing from Debian's packages.
#   scripts/deps.sh main    what the main job (scripts/run.sh) needs: the compiler, CMake, Ninja,
#                           SQLite, and what each surface it shows needs (the PostgreSQL server,
#                           Python with pandas and Dask, R, node and DuckDB's node client)
#   scripts/deps.sh [test]  that, and what the tests, the fuzz targets and the benchmarks need
# Packages are installed without their recommendations: each one needed is named here.
set -euo pipefail
mode=${1:-test}
case $mode in main | test) ;; *) echo "usage: scripts/deps.sh [main|test]" >&2; exit 2 ;; esac
need=()
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# ---- the main job -------------------------------------------------------------------------
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v sqlite3 >/dev/null || need+=(sqlite3)
[ -f /usr/include/sqlite3ext.h ] || need+=(libsqlite3-dev)
# The PostgreSQL extension: the server (its example runs on a throwaway one) and its headers.
[ -x /usr/lib/postgresql/15/bin/initdb ] || need+=(postgresql-15)
[ -f /usr/include/postgresql/15/server/postgres.h ] || need+=(postgresql-server-dev-15)
# The Python package: NumPy's headers to build it, pandas and Dask for the example.
for p in python3-dev python3-numpy python3-pandas python3-dask python3-distributed; do
  installed "$p" || need+=("$p")
done
# The R package: R and its build tools (r-base-dev brings r-base-core), pkg-config for configure.
installed r-base-dev || need+=(r-base-dev)
command -v pkg-config >/dev/null || need+=(pkg-config)
# The DuckDB extension: node runs DuckDB's node client; npm fetches it and DuckDB's headers (below).
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)

# ---- the tests, fuzz targets and benchmarks -----------------------------------------------
if [ "$mode" = test ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  # libpq for the PostgreSQL test's client.
  [ -f /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
  # MPFR: the reference of the accuracy table (tools/accuracy.cpp, the test accuracy_md_current).
  [ -f /usr/include/mpfr.h ] || need+=(libmpfr-dev)
  # Boost.Math: the digamma and trigamma peers of the benchmarks (optional for the build).
  [ -f /usr/include/boost/math/special_functions/digamma.hpp ] || need+=(libboost-math-dev)
  # The sanitized builds and the fuzz targets: Debian's clang and its runtime (libFuzzer and the
  # sanitizers of clang).
  command -v clang >/dev/null && command -v clang++ >/dev/null || need+=(clang)
  compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-$(uname -m).a" >/dev/null ||
    need+=(libclang-rt-14-dev)
  # R CMD check of the R package: R's recommended packages, testthat for its tests, and dplyr and
  # data.table, inside which the tests use it too.
  installed r-recommended || need+=(r-recommended)
  for p in testthat dplyr data.table knitr rmarkdown; do
    [ -f /usr/lib/R/site-library/$p/DESCRIPTION ] || need+=(r-cran-$p)
  done
  # R CMD check --as-cran of the source package: pandoc for its vignette, qpdf for the vignette's
  # size, checkbashisms (devscripts) for its configure script.
  for p in pandoc qpdf devscripts; do installed "$p" || need+=("$p"); done
  # ccache: the R package's install test takes the objects R CMD build compiled for the vignette.
  command -v ccache >/dev/null || need+=(ccache)
  # The Python package's tests, pip, venv and build for installing it and making its sdist; SciPy,
  # bottleneck and zoo: the benchmarks' peers.
  for p in python3-pytest python3-hypothesis python3-pip python3-venv python3-setuptools python3-wheel \
           python3-build python3-scipy python3-bottleneck r-cran-zoo; do
    installed "$p" || need+=("$p")
  done
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# DuckDB's C extension headers from the npm package duckdb (packed, not installed: installing it
# builds DuckDB), and the prebuilt engine and node client the extension is loaded into, all pinned,
# into build-deps/duckdb (git-ignored). Without them the build leaves the DuckDB extension out, and
# its example and tests are skipped, each saying so.
duckdb_deps="$(cd "$(dirname "$0")/.." && pwd)/build-deps/duckdb"
if [ ! -f "$duckdb_deps/include/duckdb_extension.h" ]; then
  mkdir -p "$duckdb_deps/include"
  pack=$(mktemp -d)
  (cd "$pack" && npm pack --silent duckdb@1.4.4 >/dev/null &&
     tar xzf duckdb-1.4.4.tgz -C "$duckdb_deps/include" --strip-components=5 \
       package/src/duckdb/src/include/duckdb.h package/src/duckdb/src/include/duckdb_extension.h) ||
    echo "deps.sh: DuckDB's headers could not be fetched from npm: the DuckDB extension will not be built" >&2
  rm -rf "$pack"
fi
if [ ! -f "$duckdb_deps/node_modules/@duckdb/node-bindings-linux-x64/libduckdb.so" ] ||
   [ ! -d "$duckdb_deps/node_modules/@duckdb/node-api" ]; then
  npm install --silent --no-save --no-audit --no-fund --prefix "$duckdb_deps" \
    @duckdb/node-api@1.5.6-r.1 @duckdb/node-bindings-linux-x64@1.5.6-r.1 ||
    echo "deps.sh: DuckDB's engine and node client could not be fetched from npm: its example and tests will be skipped" >&2
fi

#!/usr/bin/env bash
# Checks the build and test tools and installs what is missing from Debian's packages.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
command -v sqlite3 >/dev/null || need+=(sqlite3)
[ -f /usr/include/sqlite3ext.h ] || need+=(libsqlite3-dev)
# The PostgreSQL extension: the server, its headers and libpq for the test's throwaway server.
[ -x /usr/lib/postgresql/15/bin/initdb ] || need+=(postgresql-15)
[ -f /usr/include/postgresql/15/server/postgres.h ] || need+=(postgresql-server-dev-15)
[ -f /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
# Boost.Math: the digamma and trigamma peers of the benchmarks (optional for the build).
[ -f /usr/include/boost/math/special_functions/digamma.hpp ] || need+=(libboost-math-dev)
# The fuzz targets: Debian's clang and its runtime (libFuzzer and the sanitizers of clang).
command -v clang >/dev/null && command -v clang++ >/dev/null || need+=(clang)
compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-$(uname -m).a" >/dev/null || need+=(libclang-rt-14-dev)
# The R package: R with its build tools and pkg-config, testthat for its tests, and dplyr and
# data.table, inside which the tests use it too.
dpkg-query -W -f='${Status}' r-base-dev 2>/dev/null | grep -q 'ok installed' || need+=(r-base-dev)
command -v pkg-config >/dev/null || need+=(pkg-config)
for p in testthat dplyr data.table; do
  [ -f /usr/lib/R/site-library/$p/DESCRIPTION ] || need+=(r-cran-$p)
done
# The Python package: Debian's Python with NumPy, pandas and Dask, the test tools, pip and venv for
# installing it, SciPy for the benchmark's peers.
for p in python3-dev python3-numpy python3-pandas python3-dask python3-distributed python3-pytest \
         python3-hypothesis python3-pip python3-venv python3-setuptools python3-wheel python3-scipy; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
# The DuckDB extension: node and npm from Debian; DuckDB's C extension headers taken from the npm
# package duckdb (packed, not installed: installing it builds DuckDB), and the prebuilt engine and
# node client the tests load the extension into, all pinned, into build-deps/duckdb (git-ignored).
duckdb_deps="$(cd "$(dirname "$0")/.." && pwd)/build-deps/duckdb"
if [ ! -f "$duckdb_deps/include/duckdb_extension.h" ] ||
   [ ! -f "$duckdb_deps/node_modules/@duckdb/node-bindings-linux-x64/libduckdb.so" ] ||
   [ ! -d "$duckdb_deps/node_modules/@duckdb/node-api" ]; then
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq nodejs npm
  fi
  # Without them the build leaves the DuckDB extension out (or its tests) and says so.
  mkdir -p "$duckdb_deps/include"
  pack=$(mktemp -d)
  (cd "$pack" && npm pack --silent duckdb@1.4.4 >/dev/null &&
     tar xzf duckdb-1.4.4.tgz -C "$duckdb_deps/include" --strip-components=5 \
       package/src/duckdb/src/include/duckdb.h package/src/duckdb/src/include/duckdb_extension.h) ||
    echo "deps.sh: DuckDB's headers could not be fetched from npm" >&2
  rm -rf "$pack"
  npm install --silent --no-save --no-audit --no-fund --prefix "$duckdb_deps" \
    @duckdb/node-api@1.5.6-r.1 @duckdb/node-bindings-linux-x64@1.5.6-r.1 ||
    echo "deps.sh: DuckDB's engine and node client could not be fetched from npm" >&2
fi

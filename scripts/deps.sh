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
# The DuckDB extension: node runs DuckDB's node client; curl fetches it and DuckDB's headers (below).
command -v node >/dev/null || need+=(nodejs)
command -v curl >/dev/null || need+=(curl)
[ -f /etc/ssl/certs/ca-certificates.crt ] || need+=(ca-certificates)

# ---- the tests, fuzz targets and benchmarks -----------------------------------------------
if [ "$mode" = test ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  # libpq for the PostgreSQL test's client.
  [ -f /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
  # Boost.Math: the digamma and trigamma peers of the benchmarks (optional for the build).
  [ -f /usr/include/boost/math/special_functions/digamma.hpp ] || need+=(libboost-math-dev)
  # The fuzz targets: Debian's clang and its runtime (libFuzzer and the sanitizers of clang).
  command -v clang >/dev/null && command -v clang++ >/dev/null || need+=(clang)
  compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-$(uname -m).a" >/dev/null ||
    need+=(libclang-rt-14-dev)
  # R CMD check of the R package: R's recommended packages, testthat for its tests, and dplyr and
  # data.table, inside which the tests use it too.
  installed r-recommended || need+=(r-recommended)
  for p in testthat dplyr data.table; do
    [ -f /usr/lib/R/site-library/$p/DESCRIPTION ] || need+=(r-cran-$p)
  done
  # The Python package's tests, pip and venv for installing it, SciPy for the benchmark's peers.
  for p in python3-pytest python3-hypothesis python3-pip python3-venv python3-setuptools python3-wheel \
           python3-scipy; do
    installed "$p" || need+=("$p")
  done
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# DuckDB's C extension headers from the npm package duckdb (its tarball unpacked, not installed:
# installing it builds DuckDB), and the prebuilt engine and node client the extension is loaded
# into, all pinned and checked against their SHA-512, into build-deps/duckdb (git-ignored). The
# tarballs come straight from the npm registry (QV_NPM_REGISTRY names another), so neither npm
# nor its few hundred Debian packages are needed.
duckdb_deps="$(cd "$(dirname "$0")/.." && pwd)/build-deps/duckdb"
registry=${QV_NPM_REGISTRY:-https://registry.npmjs.org}
# fetch_npm NAME VERSION SHA512 DIR: the package's tarball, checked, unpacked into DIR.
fetch_npm() {
  local tgz rc=0
  tgz=$(mktemp)
  if curl -fsSL "$registry/$1/-/${1##*/}-$2.tgz" -o "$tgz" &&
     [ "$(sha512sum <"$tgz" | cut -d' ' -f1)" = "$3" ]; then
    mkdir -p "$4" && tar xzf "$tgz" -C "$4" --strip-components=1 || rc=1
  else
    echo "deps.sh: $1@$2 could not be fetched from $registry, or it is not the expected file" >&2
    rc=1
  fi
  rm -f "$tgz"
  return $rc
}
if [ ! -f "$duckdb_deps/include/duckdb_extension.h" ]; then
  # Without them the build leaves the DuckDB extension out and says so.
  pack=$(mktemp -d)
  fetch_npm duckdb 1.4.4 844249e61c9517454b8f776638ba6c5ab411d1bddde1892ab72826ea25178c72430e74aa83f5122b171be6abcdace84560f824b5ac94e9d5c2b603ea7269a9a2 "$pack" &&
    mkdir -p "$duckdb_deps/include" &&
    cp "$pack/src/duckdb/src/include/duckdb.h" "$pack/src/duckdb/src/include/duckdb_extension.h" "$duckdb_deps/include/" ||
    echo "deps.sh: DuckDB's headers are not there: the DuckDB extension will not be built" >&2
  rm -rf "$pack"
fi
modules=$duckdb_deps/node_modules
if [ ! -f "$modules/@duckdb/node-bindings-linux-x64/libduckdb.so" ] || [ ! -f "$modules/@duckdb/node-api/package.json" ] ||
   [ ! -f "$modules/@duckdb/node-bindings/package.json" ] || [ ! -f "$modules/detect-libc/package.json" ]; then
  # Without them the DuckDB example and tests are skipped.
  fetch_npm @duckdb/node-api 1.5.6-r.1 c883e897a3f81109ac014b1bdbb7689c97fb8800eb337d448bf5a4be1919a52b1c8e1104ad8b2e175f65b09feacf99945b1b0a150a4b763beb9613d09cc4c1ab "$modules/@duckdb/node-api" &&
  fetch_npm @duckdb/node-bindings 1.5.6-r.1 fe95a54f2bca0b5775ea248c2420403f0966ce879746ce58f5ca86f93a4a77f6005ba29ed39149834f7dbff226d9b912f418339cdc8d7002b537103579085253 "$modules/@duckdb/node-bindings" &&
  fetch_npm @duckdb/node-bindings-linux-x64 1.5.6-r.1 21772b64913a904a8cd19e30c1d5671811d7fdface4b7dd53cd0300d743f43e16cf386f4e7c41ef78721ac208870d2651bc6375072145387817824315b998dd5 "$modules/@duckdb/node-bindings-linux-x64" &&
  fetch_npm detect-libc 2.1.2 06d8f604e38ef37a375b21f9f5ef0c817b3111055c6ab9143a9118aee6c1d2eaf09cdd74c90dfae2bb22072535d67665a966199b4e62fe87fb8a8e26ce2841b5 "$modules/detect-libc" ||
    echo "deps.sh: DuckDB's engine and node client are not there: its example and tests will be skipped" >&2
fi

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
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

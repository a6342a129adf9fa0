#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, then builds a C program with pkg-config and a
# C++ program with find_package against that prefix alone, runs them and checks what they print.
#   tests/consumer_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
if grep -q '^QV_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "sanitized build: the consumer programs are built against the plain build only"
    exit 0
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail=0
check() { if ! grep -qxF -- "$2" "$1"; then echo "FAIL: $1 lacks: $2"; cat "$1"; fail=1; fi; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }
libdir=$(dirname "$(find "$prefix" -name 'libqvhost.so.1' | head -n 1)")
for f in bin/qvfnc include/qvewumth/qvhost.h include/qvewumth/qvfnc.h share/man/man1/qvfnc.1 \
         share/doc/qvewumth/functions.md share/doc/qvewumth/LICENSE; do
    [ -e "$prefix/$f" ] || { echo "FAIL: not installed: $f"; fail=1; }
done
for f in libqvewumth.so libqvhost.so libqvhost.a pkgconfig/qvewumth.pc cmake/qvewumth/qvewumthConfig.cmake; do
    [ -e "$libdir/$f" ] || { echo "FAIL: not installed: $libdir/$f"; fail=1; }
done

# The host library names its major version and refers to nothing in the build tree; only the
# package's build record keeps the build root, as build identification (and so does the DuckDB
# extension, which carries the package inside it).
readelf -d "$libdir/libqvhost.so.1" | grep -q 'SONAME.*\[libqvhost.so.1\]' || { echo "FAIL: no SONAME libqvhost.so.1"; fail=1; }
readelf -d "$libdir/libqvhost.so.1" | grep -q 'NEEDED.*libstdc++' && { echo "FAIL: libqvhost needs the C++ runtime"; fail=1; }
others=$(nm -D --defined-only "$libdir/libqvhost.so.1" | awk '$3 !~ /^qvh_/ && $3 != "QVHOST_1"')
[ -z "$others" ] || { echo "FAIL: libqvhost exports more than qvh_*: $others" | head -3; fail=1; }
if grep -rlF -- "$build" "$prefix" | grep -vE '(libqvewumth.so|qvewumth.duckdb_extension)$'; then echo "FAIL: files above refer to the build tree"; fail=1; fi

# C with pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -o "$tmp/median_c" "$src/tests/consumer/median.c" $(pkg-config --cflags --libs qvewumth) -ldl -lm \
   -Wl,-rpath,"$libdir" || fail=1
env -u QV_LIB "$tmp/median_c" >"$tmp/c.out" || { echo "FAIL: the C program failed"; fail=1; }
check "$tmp/c.out" "MEDIAN(1, 2, ., 4) = 2 (ok)"
check "$tmp/c.out" "zgamma(5) = 24 (0)"
check "$tmp/c.out" "log2 is the C library's: yes"

# C++ with find_package.
cmake -S "$src/tests/consumer" -B "$tmp/cpp" -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/cpp.log" 2>&1 &&
    cmake --build "$tmp/cpp" >>"$tmp/cpp.log" 2>&1 || { echo "FAIL: find_package build"; cat "$tmp/cpp.log"; fail=1; }
env -u QV_LIB "$tmp/cpp/median_cpp" >"$tmp/cpp.out" || { echo "FAIL: the C++ program failed"; fail=1; }
check "$tmp/cpp.out" "PCTL(90, 1, 2, 3, 4) = 4 (ok)"

# The installed command line finds the installed package by itself.
env -u QV_LIB "$prefix/bin/qvfnc" 'MEDIAN(1, 2, ., 4)' >"$tmp/qvfnc.out" || fail=1
check "$tmp/qvfnc.out" "2"
# The installed SQLite extension, loaded from its installed place into the sqlite3 shell.
if [ -e "$libdir/libqvsqlite.so" ] && command -v sqlite3 >/dev/null; then
    env -u QV_LIB sqlite3 :memory: ".load $libdir/libqvsqlite" "select qv_median(1, 2, null, 4);" >"$tmp/sqlite.out" 2>&1 || fail=1
    check "$tmp/sqlite.out" "2.0"
fi
exit $fail

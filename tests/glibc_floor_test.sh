#!/usr/bin/env bash
# Every library and program the project ships loads on a system with glibc 2.34 (RHEL 9's) and the
# C++ runtime of GCC 11 (GLIBCXX_3.4.29, CXXABI_1.3.13): no symbol any of them imports asks for a
# newer version. Checks whichever of them the build tree holds; the package itself must be there.
#   tests/glibc_floor_test.sh BUILD_DIR
set -euo pipefail
build=$1
declare -A floor=([GLIBC]=2.34 [GLIBCXX]=3.4.29 [CXXABI]=1.3.13)

if grep -Eq '^QV_(SANITIZE|TSAN|FUZZ):BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "a sanitized build: its runtimes are never shipped"; exit 77
fi
command -v objdump >/dev/null || { echo "no objdump (binutils)"; exit 77; }
[ -f "$build/libqvewumth.so" ] || { echo "FAILED: no $build/libqvewumth.so"; exit 1; }

# The shipped files, as the build names them: the package, the host library, qvfnc, the SQLite,
# PostgreSQL and DuckDB extensions and the Python extension module.
mapfile -t files < <(find "$build" -maxdepth 3 -type f \( -name libqvewumth.so -o -name 'libqvhost.so*' \
  -o -name qvfnc -o -name libqvsqlite.so -o -name qvewumth_pg.so -o -name qvewumth.duckdb_extension \
  -o -name '_core*.so' \) | sort)

newer() { [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$2" ]; }
failed=0
for f in "${files[@]}"; do
  # objdump -T: "... DF *UND* ... (GLIBC_2.36) arc4random", with or without the parentheses.
  while read -r lib version symbol; do
    if newer "${floor[$lib]}" "$version"; then
      echo "FAILED: ${f#"$build"/} needs $symbol@${lib}_$version (at most ${lib}_${floor[$lib]})"
      failed=1
    fi
  done < <(objdump -T "$f" | sed -nE 's/.*[ (](GLIBC|GLIBCXX|CXXABI)_([0-9.]+)\)? +(\S+)$/\1 \2 \3/p')
done
echo "checked against GLIBC_${floor[GLIBC]}, GLIBCXX_${floor[GLIBCXX]}, CXXABI_${floor[CXXABI]}: ${files[*]#"$build"/}"
exit $failed

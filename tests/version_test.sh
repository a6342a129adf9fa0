#!/usr/bin/env bash
# Every place that states the project's version states the one in VERSION: the command line, the
# package's build record, the CMake package, the pkg-config file, the Debian package, the Python
# package (its metadata, __version__ and build_info()) and the R package.
#   tests/version_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
want=$(head -n 1 "$src/VERSION")
[[ $want =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "FAIL: VERSION holds '$want', not MAJOR.MINOR.PATCH"; exit 1; }
field() { sed -n "s/$2/\1/p" "$1" | head -n 1; }
py=/usr/bin/python3
{
    echo "qvfnc --version|$(env -u QV_LIB "$build/qvfnc" --version | sed -n 's/^qvfnc //p')"
    echo "build record|$(env -u QV_LIB "$build/qvfnc" --version | sed -n 's/^product  qvfnc //p')"
    echo "CMake package|$(field "$build/qvewumthConfigVersion.cmake" '^set(PACKAGE_VERSION "\(.*\)")$')"
    echo "pkg-config|$(field "$build/qvewumth.pc" '^Version: \(.*\)$')"
    echo "Debian package|$(field "$build/CPackConfig.cmake" '^set(CPACK_PACKAGE_VERSION "\(.*\)")$')"
    echo "R DESCRIPTION|$(field "$src/r/DESCRIPTION" '^Version: \(.*\)$')"
    echo "Python metadata|$(cd "$src/python" && $py setup.py --version 2>/dev/null | tail -n 1)"
    if [ -d "$build/python/qvewumth" ]; then
        echo "qvewumth.__version__|$(env -u QV_LIB PYTHONPATH="$build/python" $py -c 'import qvewumth; print(qvewumth.__version__)')"
        echo "qvewumth.build_info()|$(env -u QV_LIB PYTHONPATH="$build/python" $py -c 'import qvewumth; print(qvewumth.build_info()["version"])')"
    fi
} > "${TMPDIR:-/tmp}/qv-versions.$$"
fail=0
while IFS='|' read -r where got; do
    if [ "$got" = "$want" ]; then echo "ok   $where: $got"; else echo "FAIL $where: '$got', VERSION says $want"; fail=1; fi
done < "${TMPDIR:-/tmp}/qv-versions.$$"
rm -f "${TMPDIR:-/tmp}/qv-versions.$$"
exit $fail

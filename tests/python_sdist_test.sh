#!/usr/bin/env bash
# The Python source distribution installs on its own: built from the checkout with python3-build,
# installed with pip into a fresh venv from a folder outside the checkout (no build tree, no
# QV_LIB, no LD_LIBRARY_PATH), then imported and called; the project's Python tests then run
# against the installed package. A missing CMake or compiler is one sentence, not a traceback.
#   tests/python_sdist_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
src=$(cd "$2" && pwd)
py=/usr/bin/python3
skip() { echo "SKIP: $*"; exit 77; }
$py -c 'import build, venv, ensurepip, numpy' 2>/dev/null || skip "python3-build, python3-venv or NumPy is not installed"
command -v cmake >/dev/null || skip "cmake is not installed"
if grep -qE '^QV_(SANITIZE|TSAN|FUZZ):BOOL=ON' "$1/CMakeCache.txt" 2>/dev/null; then skip "instrumented build"; fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset QV_LIB LD_LIBRARY_PATH PYTHONPATH QV_BUILD_DIR QV_SOURCE_DIR
export PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
fail=0
now() { date +%s; }

$py -m build --sdist --no-isolation -o "$tmp/dist" "$src/python" >"$tmp/sdist.log" 2>&1 || { cat "$tmp/sdist.log"; exit 1; }
rm -rf "$src/python/qvewumth.egg-info"
# setuptools' notes on its own configuration or on the manifest are noise to a user: none is expected.
if grep -iE 'warn|beta' "$tmp/sdist.log"; then echo "FAIL: building the sdist warns (above)"; fail=1; fi
version=$(head -n 1 "$src/VERSION")
sdist=$tmp/dist/qvewumth-$version.tar.gz
[ -f "$sdist" ] || { echo "FAIL: no $sdist"; ls "$tmp/dist"; exit 1; }
tar tzf "$sdist" >"$tmp/sdist.list"
for f in vendor/VERSION vendor/package/CMakeLists.txt vendor/package/include/qvfnc.h vendor/host/qvhost.map \
         vendor/host/src/catalogue_functions.inc CMakeLists.txt src/module.cpp LICENSE; do
    grep -qx "qvewumth-$version/$f" "$tmp/sdist.list" || { echo "FAIL: the sdist lacks $f"; fail=1; }
done

# The venv sees the system's packages, Debian's pip among them, which installs into the venv when
# the venv's interpreter runs it (a pip of its own would take seconds to set up).
$py -m venv --system-site-packages --without-pip "$tmp/venv" || exit 1
pip=("$tmp/venv/bin/python" -m pip)
mkdir "$tmp/elsewhere" && cd "$tmp/elsewhere" && cp "$sdist" .
# Each row: what the machine lacks (an environment), and the one sentence pip must show.
while IFS='|' read -r what env sentence; do
    env $env "${pip[@]}" install --no-build-isolation "qvewumth-$version.tar.gz" >"$tmp/bad.log" 2>&1 &&
        { echo "FAIL: installed without $what"; fail=1; continue; }
    grep -qF "$sentence" "$tmp/bad.log" || { echo "FAIL: without $what pip does not say: $sentence"; tail -20 "$tmp/bad.log"; fail=1; }
    grep -q 'Traceback' "$tmp/bad.log" && { echo "FAIL: without $what the build shows a traceback"; fail=1; }
done <<ROWS
CMake|PATH=$tmp/venv/bin|qvewumth: CMake 3.20 or later is needed to build qvewumth and \`cmake\` is not on PATH
a C++ compiler|CXX=no-such-c++|qvewumth: a C++20 compiler is needed to build qvewumth and \`no-such-c++\` is not on PATH
ROWS

t1=$(now)
"${pip[@]}" wheel --no-build-isolation --no-deps -w "$tmp/wheel" "qvewumth-$version.tar.gz" >"$tmp/wheel.log" 2>&1 ||
    { tail -40 "$tmp/wheel.log"; exit 1; }
t2=$(now)
"${pip[@]}" install "$tmp"/wheel/qvewumth-*.whl >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
wheel=$(ls "$tmp"/wheel/qvewumth-*.whl)
printf 'sdist %s bytes; wheel %s bytes (%s); build from the sdist %s s\n' "$(stat -c %s "$sdist")" \
    "$(stat -c %s "$wheel")" "$(basename "$wheel")" "$((t2 - t1))"

"$tmp/venv/bin/python" - "$version" <<'PY' || fail=1
import importlib.metadata as md, os, sys
import qvewumth as qv
folder = os.path.dirname(qv.__file__)
checks = [
    ("imported from the venv", folder.startswith(sys.prefix), folder),
    ("the package beside the module", qv.package_path() == os.path.join(folder, "libqvewumth.so"), qv.package_path()),
    ("the shared host library beside it", os.path.exists(os.path.join(folder, "libqvhost.so")), folder),
    ("__version__", qv.__version__ == sys.argv[1], qv.__version__),
    ("metadata version", md.version("qvewumth") == sys.argv[1], md.version("qvewumth")),
    ("build record version", qv.build_info()["version"] == sys.argv[1], qv.build_info()),
    ("NumPy bounded both ways", any(r.startswith("numpy") and ">=" in r and "<" in r for r in md.requires("qvewumth")),
     md.requires("qvewumth")),
    ("median([3, 1, 2])", qv.median([3, 1, 2]) == 2, qv.median([3, 1, 2])),
    ("mean skips .M", qv.mean([1.0, qv.missing("M"), 4.0]) == 2.5, qv.mean([1.0, qv.missing("M"), 4.0])),
    ("n counts present values", qv.n([qv.missing("A"), 7.0, qv.missing("."), 8.0]) == 2, None),
]
bad = [f"FAIL: {name}: {got!r}" for name, ok, got in checks if not ok]
print("\n".join(bad) or f"the installed package works ({len(checks)} checks)")
sys.exit(1 if bad else 0)
PY
# Nothing of the module or the libraries it carries points at a build folder for loading.
for f in "$tmp"/venv/lib/python3*/site-packages/qvewumth/*.so; do
    readelf -d "$f" | grep -qE 'RPATH|RUNPATH' && { echo "FAIL: $f has an RPATH/RUNPATH"; fail=1; }
done

# The project's Python tests against the installed package (conftest finds its libqvhost.so).
if $py -c 'import pytest, hypothesis, pandas' 2>/dev/null; then
    "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider "$src/python/tests/test_functions.py" >"$tmp/pytest.log" 2>&1 ||
        { echo "FAIL: the Python tests against the installed package"; tail -30 "$tmp/pytest.log"; fail=1; }
    tail -n 1 "$tmp/pytest.log"
fi
exit $fail

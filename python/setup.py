"""Builds the extension module with CMake (the host library linked in) and puts the function package
(libqvewumth.so) and the shared host library (libqvhost.so) beside it in the package folder, where
the host library looks for the package first: the wheel needs nothing outside itself.

    python3 -m build --sdist --no-isolation python            # dist/qvewumth-VERSION.tar.gz
    python3 -m pip install --no-build-isolation qvewumth-VERSION.tar.gz
    python3 -m pip install --no-build-isolation ./python      # from the project checkout

The sources of the package and the host library come from the project checkout (the folder above
this one) or, in a source distribution, from its vendor/ folder, which `sdist` fills with them.
QV_BUILD_DIR=build builds the module in an existing build tree of the project instead.
"""
import glob
import os
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py
from setuptools.command.sdist import sdist

HERE = os.path.dirname(os.path.abspath(__file__))
VENDOR = os.path.join(HERE, "vendor")
# What a source distribution carries of the project: the package and the host library whole
# (sources, headers, the catalogue and the export map) and the version.
VENDORED = ["package", "host", "VERSION"]


def source_dir():
    """The folder with package/, host/ and VERSION: vendor/ in a source distribution, else the checkout."""
    for candidate in (os.environ.get("QV_SOURCE_DIR"), VENDOR, os.path.dirname(HERE)):
        if candidate and os.path.exists(os.path.join(candidate, "host", "include", "qvhost.h")):
            return candidate
    sys.exit("qvewumth: neither vendor/ nor the folder above holds the package's sources: build from a "
             "source distribution (qvewumth-VERSION.tar.gz) or from the project checkout")


def version():
    with open(os.path.join(source_dir(), "VERSION"), encoding="ascii") as f:
        return f.read().strip()


def numpy_requirement():
    """NumPy from the release the module is built against up to its next major release: the module
    uses the C API of the headers it is compiled with, which later 1.x releases keep."""
    try:
        import numpy
    except ImportError:
        return "numpy"
    major, minor = (int(p) for p in numpy.__version__.split(".")[:2])
    return f"numpy>={major}.{minor},<{major + 1}"


def missing_tools():
    """One sentence for the first thing the build lacks, or None."""
    if shutil.which("cmake") is None:
        return "CMake 3.20 or later is needed to build qvewumth and `cmake` is not on PATH (Debian: apt-get install cmake)"
    cxx = (os.environ.get("CXX") or "c++").split()[0]
    if shutil.which(cxx) is None:
        return f"a C++20 compiler is needed to build qvewumth and `{cxx}` is not on PATH (Debian: apt-get install g++)"
    include = sysconfig.get_paths().get("include") or ""
    if not os.path.exists(os.path.join(include, "Python.h")):
        return f"the Python headers are needed to build qvewumth and {include}/Python.h is missing (Debian: python3-dev)"
    try:
        import numpy
    except ImportError:
        return f"NumPy is needed to build qvewumth and {sys.executable} cannot import it (Debian: python3-numpy)"
    if not os.path.exists(os.path.join(numpy.get_include(), "numpy", "arrayobject.h")):
        return f"the NumPy C headers are needed to build qvewumth and {numpy.get_include()} lacks them"
    return None


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        why = missing_tools()
        if why:
            sys.exit(f"qvewumth: {why}.")
        build = os.environ.get("QV_BUILD_DIR")
        if not build:  # else the project's own build tree
            build = os.path.join(os.path.abspath(self.build_temp), "cmake")
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            # Optimised as the project builds it, without the debugging information the wheel would
            # leave out anyway (it makes the compile a quarter slower).
            optimised = "-O2 -DNDEBUG"
            self.run_quietly(["cmake", "-S", HERE, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                              f"-DCMAKE_C_FLAGS_RELEASE={optimised}", f"-DCMAKE_CXX_FLAGS_RELEASE={optimised}",
                              f"-DQV_SOURCE_DIR={source_dir()}", f"-DQV_PYTHON_EXECUTABLE={sys.executable}"])
        built = os.path.join(build, "python", "qvewumth")
        self.run_quietly(["cmake", "--build", build, "--target", "qvewumth_python", "qvhost",
                          "-j", os.environ.get("QV_JOBS") or str(min(os.cpu_count() or 1, 2))])
        modules = glob.glob(os.path.join(built, "_core.*.so"))
        if len(modules) != 1:
            sys.exit(f"qvewumth: the build made no extension module in {built} (is {sys.executable} the "
                     "interpreter the build found, with its headers and NumPy's?).")
        target = self.get_ext_fullpath(ext.name)
        folder = os.path.dirname(target)
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(modules[0], target)
        # The package and the shared host library beside the module; their own copies, not links.
        libs = os.path.dirname(os.path.realpath(os.path.join(built, "libqvewumth.so")))
        shutil.copyfile(os.path.join(libs, "libqvewumth.so"), os.path.join(folder, "libqvewumth.so"))
        shutil.copyfile(os.path.realpath(os.path.join(libs, "libqvhost.so")), os.path.join(folder, "libqvhost.so"))
        # The wheel keeps the code and leaves any debugging information out (the project's own build
        # tree, QV_BUILD_DIR, has it).
        if shutil.which("strip"):
            for name in (target, os.path.join(folder, "libqvewumth.so"), os.path.join(folder, "libqvhost.so")):
                subprocess.run(["strip", "--strip-debug", name], check=False)

    def run_quietly(self, command):
        """Runs a build step; on failure shows its output's end and stops with one sentence."""
        print(" ".join(command), flush=True)
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        print(done.stdout[-20000:] if done.returncode else done.stdout[-2000:], flush=True)
        if done.returncode:
            sys.exit(f"qvewumth: `{' '.join(command[:2])}` failed (its output is above).")


class BuildPy(build_py):
    """The Python files, and _version.py with the project's version."""

    def run(self):
        super().run()
        folder = os.path.join(self.build_lib, "qvewumth")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "_version.py"), "w", encoding="ascii") as f:
            f.write(f'__version__ = "{version()}"\n')


class Sdist(sdist):
    """A source distribution that builds on its own: the package's and host library's sources go
    into vendor/ of the release tree."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        src = source_dir()
        for name in VENDORED:
            origin, copy = os.path.join(src, name), os.path.join(base_dir, "vendor", name)
            if os.path.isdir(origin):
                shutil.copytree(origin, copy, ignore=shutil.ignore_patterns("__pycache__", "*.o", "*.so"))
            else:
                os.makedirs(os.path.dirname(copy), exist_ok=True)
                shutil.copyfile(origin, copy)
        shutil.copyfile(os.path.join(src, "LICENSE"), os.path.join(base_dir, "LICENSE"))


# The package is named here rather than in pyproject.toml, whose [tool.setuptools] table the
# setuptools of Debian 12 still calls beta, with a warning on every build.
setup(version=version(), install_requires=[numpy_requirement()], packages=["qvewumth"], include_package_data=False,
      ext_modules=[Extension("qvewumth._core", sources=[])],
      cmdclass={"build_ext": CMakeBuild, "build_py": BuildPy, "sdist": Sdist})

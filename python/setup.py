"""Builds the extension module with the project's own CMake build (the host library linked in) and
puts libqvewumth.so beside it in the package, where the host library looks for it first.

    python3 -m pip install --no-build-isolation ./python      # from the project checkout

QV_BUILD_DIR=build reuses an existing build tree of the project instead of making one.
"""
import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("QV_SOURCE_DIR") or os.path.dirname(HERE)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if not os.path.exists(os.path.join(SOURCE, "host", "include", "qvhost.h")):
            sys.exit(f"qvewumth: the project is not at {SOURCE}; install from the project checkout "
                     "(pip 21.3 and later build in place) or set QV_SOURCE_DIR")
        build = os.environ.get("QV_BUILD_DIR") or os.path.join(os.path.abspath(self.build_temp), "cmake")
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.check_call(["cmake", "-S", SOURCE, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                               f"-DQV_PYTHON_EXECUTABLE={sys.executable}", "-DQV_PYTHON=ON", "-DBUILD_TESTING=OFF",
                               "-DQV_BENCH=OFF", "-DQV_POSTGRES=OFF", "-DQV_SQLITE=OFF"])
        subprocess.check_call(["cmake", "--build", build, "--target", "qvewumth_python",
                               "-j", str(os.cpu_count() or 1)])
        built = os.path.join(build, "python", "qvewumth")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        (module,) = glob.glob(os.path.join(built, "_core.*.so"))
        shutil.copyfile(module, target)
        # The package itself, beside the module (a copy of the file the build tree links to).
        shutil.copyfile(os.path.realpath(os.path.join(built, "libqvewumth.so")),
                        os.path.join(os.path.dirname(target), "libqvewumth.so"))


setup(ext_modules=[Extension("qvewumth._core", sources=[])], cmdclass={"build_ext": CMakeBuild})

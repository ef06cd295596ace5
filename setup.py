"""Builds the extension tarvo._core with this repository's CMake build (the same compiler
flags and static libraries as the MEX module), then packages python/tarvo around it."""

import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        source = os.path.dirname(os.path.abspath(__file__))
        build = os.path.join(os.path.abspath(self.build_temp), "cmake")
        target_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        subprocess.run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DTARVO_BUILD_TESTS=OFF", "-DTARVO_BUILD_BENCH=OFF",
                        "-DTARVO_BUILD_OCTAVE=OFF", f"-DPython3_EXECUTABLE={sys.executable}",
                        f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={target_dir}"], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "tarvo_python", "-j",
                        str(os.cpu_count() or 1)], check=True)
        built = os.path.join(build, "python", "tarvo", os.path.basename(
            self.get_ext_fullpath(ext.name)))
        os.makedirs(target_dir, exist_ok=True)
        self.copy_file(built, self.get_ext_fullpath(ext.name))


setup(ext_modules=[Extension("tarvo._core", sources=[])], cmdclass={"build_ext": CMakeBuild})

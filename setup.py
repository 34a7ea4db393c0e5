"""Builds the extension tarvenloch._tarvenloch with the project's CMake build.

The solver then gets exactly the flags it gets everywhere else (no fused
multiply-add, no fast-math, the vector scans compiled once per instruction
set and chosen at run time), and none of the compiler flags setuptools
would add. The interpreter running this file is the one built for.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTARVENLOCH_PYTHON=ON",
            "-DTARVENLOCH_TESTS=OFF",
            "-DTARVENLOCH_MATLAB=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(min(os.cpu_count() or 1, 2)))
        subprocess.run(["cmake", "--build", str(build), "--config", "Release",
                        "--target", "_tarvenloch", "-j", jobs], check=True)
        name = "_tarvenloch" + sysconfig.get_config_var("EXT_SUFFIX")
        built = sorted((build / "python").rglob(name))
        if not built:
            sys.exit(f"setup.py: CMake did not make {name} under {build / 'python'}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    ext_modules=[Extension("tarvenloch._tarvenloch", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Beside the CMake build's own folders, not inside them.
    options={"build": {"build_base": "build-python/setuptools"}},
)

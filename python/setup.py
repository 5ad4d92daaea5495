"""Builds zeljbig._zeljbig against the library of this repository.

The library's sources are those cmake/sources.cmake lists, compiled into a
static library first; ZELJBIG_STATIC_LIBRARY names one already built (the
CMake build's libzeljbig.a) to link instead.
"""
import os
import re

from setuptools import Extension, setup
from setuptools.command.build_clib import build_clib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def library_sources():
    with open(os.path.join(ROOT, "cmake", "sources.cmake")) as f:
        text = re.sub(r"#[^\n]*", "", f.read())
    lists = dict(re.findall(r"set\((\w+)\s+([^)]*)\)", text))
    # Relative to this folder, as setuptools wants source paths.
    return ["../" + s for key in ("ZELJBIG_CORE", "ZELJBIG_PLATFORM") for s in lists[key].split()]


class build_library(build_clib):
    # setuptools wants relative source paths, but objects of sources outside
    # this folder must still land in the build folder: compile them by their
    # absolute names.
    def build_libraries(self, libraries):
        super().build_libraries([(name, dict(info, sources=[os.path.normpath(os.path.join(HERE, s))
                                                            for s in info["sources"]]))
                                 for name, info in libraries])


prebuilt = os.environ.get("ZELJBIG_STATIC_LIBRARY")
libraries = []
if not prebuilt:
    libraries = [("zeljbig_core", {
        "sources": library_sources(),
        "include_dirs": [os.path.join(ROOT, "include"), ROOT],
        "macros": [("ZELJBIG_BUILDING", None)],
        "cflags": ["-std=c++17", "-O2", "-fvisibility=hidden", "-fvisibility-inlines-hidden"],
    })]

setup(
    packages=["zeljbig"],
    cmdclass={"build_clib": build_library},
    libraries=libraries,
    ext_modules=[Extension(
        "zeljbig._zeljbig",
        sources=["src/_zeljbig.c"],
        include_dirs=[os.path.join(ROOT, "include")],
        extra_compile_args=["-Wall", "-Wextra"],
        extra_objects=[prebuilt] if prebuilt else [],
        language="c++",  # the library is C++ inside: link with the C++ runtime
    )],
)

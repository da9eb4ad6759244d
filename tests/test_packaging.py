"""The installed extension modules as a wheel ships them: one build for every CPython from
3.12 on, exporting their init function alone, and needing no newer C or C++ runtime than the
manylinux2014 tag promises."""

import importlib
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

MODULES = ["_ast2100", "_screen"]

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="ELF modules")


def module_file(name):
    return Path(importlib.import_module(f"quorvel.{name}").__file__)


def readelf(*args):
    if shutil.which("readelf") is None:
        pytest.skip("no readelf")
    return subprocess.run(["readelf", "-W", *args], capture_output=True, text=True, check=True).stdout


def instrumented(path):
    return re.search(r"NEEDED.*lib(asan|ubsan|tsan)", readelf("-d", str(path))) is not None


@pytest.mark.parametrize("name", MODULES)
def test_modules_are_built_for_the_stable_abi(name):
    # A module named for one CPython version (.cpython-312-...) in a wheel tagged abi3
    # installs everywhere and imports only on the version that built it.
    assert module_file(name).name == f"{name}.abi3.so"


@pytest.mark.parametrize("name", MODULES)
def test_modules_export_their_init_function_alone(name):
    path = module_file(name)
    if instrumented(path):
        pytest.skip("the sanitizers' runtime adds symbols of its own")
    defined = set()
    for line in readelf("--dyn-syms", str(path)).splitlines():
        f = line.split()
        if len(f) >= 8 and f[0][:-1].isdigit() and f[6] != "UND" and f[3] not in ("SECTION", "FILE"):
            defined.add(f[7].split("@")[0])
    assert defined == {f"PyInit_{name}"}


# The newest symbol versions manylinux2014 (glibc 2.17, GCC 4.8's C++ runtime) allows.
MANYLINUX2014 = {"GLIBC": (2, 17), "GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7)}


@pytest.mark.parametrize("name", MODULES)
def test_modules_need_no_newer_runtime_than_manylinux2014(name):
    path = module_file(name)
    if instrumented(path):
        pytest.skip("the sanitizers' runtime needs a newer C library")
    needed = re.findall(r"Name: (GLIBC|GLIBCXX|CXXABI)_([0-9.]+)", readelf("-V", str(path)))
    assert needed, "no versioned symbols found"
    too_new = [f"{lib}_{v}" for lib, v in needed if tuple(map(int, v.split("."))) > MANYLINUX2014[lib]]
    assert too_new == []

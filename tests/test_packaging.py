"""The installed extension modules as a wheel ships them: one build for every CPython from
3.12 on, exporting their init function alone, and needing no newer C or C++ runtime than the
manylinux2014 tag promises."""

import importlib
import re
import shutil
import subprocess
import tomllib
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
RUNTIMES = "|".join(MANYLINUX2014)
VERSION = r"[0-9]+(?:\.[0-9]+)*"
README = Path(__file__).resolve().parents[1] / "README.md"


def version(text):
    return tuple(map(int, text.split(".")))


def needed_versions(path):
    """The newest version of each runtime library that a module's symbols need."""
    newest = {}
    for lib, v in re.findall(rf"Name: ({RUNTIMES})_([0-9.]+)", readelf("-V", str(path))):
        newest[lib] = max(newest.get(lib, ()), version(v))
    return newest


def readme_runtime_claim():
    """The newest versions the README's library sentence says the modules need: for x86-64,
    and the GLIBC version it names for arm64 in parentheses."""
    if not README.exists():
        pytest.skip("not run from a source tree")
    text = " ".join(README.read_text().split())
    m = re.search(
        rf"need nothing of it or of glibc newer than ((?:(?:{RUNTIMES})_{VERSION}(?:, | and | ))+)"
        rf"\(GLIBC_({VERSION}) on arm64",
        text,
    )
    assert m, "the README's sentence on the C and C++ runtime is gone or reworded"
    stated = {lib: version(v) for lib, v in re.findall(rf"({RUNTIMES})_({VERSION})", m[1])}
    assert set(stated) == set(MANYLINUX2014)
    return {"x86_64": stated, "aarch64": stated | {"GLIBC": version(m[2])}}


@pytest.mark.parametrize("name", MODULES)
def test_modules_need_no_newer_runtime_than_manylinux2014(name):
    path = module_file(name)
    if instrumented(path):
        pytest.skip("the sanitizers' runtime needs a newer C library")
    needed = needed_versions(path)
    assert needed, "no versioned symbols found"
    too_new = [f"{lib}_{v}" for lib, v in needed.items() if v > MANYLINUX2014[lib]]
    assert too_new == []


def test_readme_states_the_runtime_the_modules_need():
    # The README says which versions the modules need, newest over both, and that the
    # manylinux2014 tag covers them: both halves are checked on the CPUs it names.
    claims = readme_runtime_claim()
    assert all(v <= MANYLINUX2014[lib] for claim in claims.values() for lib, v in claim.items())
    # The modules' own CPU, from their ELF header (the kernel's would call an i386 build x86-64).
    paths = [module_file(name) for name in MODULES]
    elf = re.search(r"Machine:\s+(.*)", readelf("-h", str(paths[0])))[1].strip()
    cpu = {"Advanced Micro Devices X86-64": "x86_64", "AArch64": "aarch64"}.get(elf)
    if cpu not in claims:
        pytest.skip(f"the README states the runtime for x86-64 and arm64 wheels, not {elf}")
    if any(instrumented(path) for path in paths):
        pytest.skip("the sanitizers' runtime needs a newer C library")
    newest = {}
    for path in paths:
        for lib, v in needed_versions(path).items():
            newest[lib] = max(newest.get(lib, ()), v)
    assert newest == claims[cpu]


def test_the_wheels_description_is_its_own_file_without_dev_commands():
    # The README starts with ./dev commands for a clone; the wheel's page must not.
    pyproject = README.parent / "pyproject.toml"
    if not pyproject.exists():
        pytest.skip("not run from a source tree")
    readme = tomllib.loads(pyproject.read_text())["project"]["readme"]
    text = (README.parent / readme).read_text()
    assert readme != "README.md" and "./dev" not in text
    assert "pip install" in text and "```python" in text

"""Concurrent calls from threads, and imports from sub-interpreters."""

import hashlib
import random
import re
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from importlib import resources

import numpy as np
import pytest

from helpers import END, H422, H444
from quorvel._ast2100 import decode_frame
from quorvel.encode import encode_frame

SAMPLE = resources.files("quorvel").joinpath("data", "sample-console-444.frame").read_bytes()


class YieldingIndex:
    """Lets other threads run in the middle of the argument conversion."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def random_frame(mode, seed, width, height):
    """A key frame of noise with flat areas: DCT and VQ records."""
    rng = np.random.default_rng(seed)
    picture = rng.integers(0, 256, size=(height, width, 3), dtype=np.uint8)
    picture[: height // 2, : width // 2] = (40, 200, 90)
    return encode_frame(picture, mode)


CASES = [
    (SAMPLE, 320, 200),
    (SAMPLE, YieldingIndex(320), YieldingIndex(200)),
    (random_frame(444, 1, 72, 56), 72, 56),
    (random_frame(422, 2, 100, 60), 100, 60),
    (random_frame(422, 3, 33, 47), YieldingIndex(33), 47),
    (H444[:2], 8, 8),
    (bytes(12), 8, 8),
    (H422 + END, 8, 8),
    (H444 + bytes([0, 0, 0, 0xA0]) + bytes(4), 64, 64),
    (H444 + bytes(8), 64, 64),
    (H444 + END * 2, 2**62, YieldingIndex(2)),
    (H444 + END * 2, 2**40, 2**10),
    (bytearray(12), 8, 8),
    (H444 + END * 2, YieldingIndex(-1), 8),
]


def outcome(data, width, height):
    try:
        return "ok", hashlib.sha256(decode_frame(data, width, height)).hexdigest()
    except BaseException as e:
        return type(e).__name__, str(e)


def test_concurrent_calls_match_serial_ones():
    threads, rounds = 8, 4
    serial = [outcome(*c) for c in CASES]
    assert {kind for kind, _ in serial} == {"ok", "ValueError", "PanicException", "MemoryError", "TypeError",
                                           "OverflowError"}
    barrier = threading.Barrier(threads)

    def worker(seed):
        order = [i for i in range(len(CASES)) for _ in range(rounds)]
        random.Random(seed).shuffle(order)
        barrier.wait()
        return [(i, outcome(*CASES[i])) for i in order]

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter can
    try:
        with ThreadPoolExecutor(threads) as pool:
            results = list(pool.map(worker, range(threads)))
    finally:
        sys.setswitchinterval(old)
    assert sum(len(r) for r in results) == threads * rounds * len(CASES)
    assert [(i, got) for r in results for i, got in r if got != serial[i]] == []


# Runs in a fresh interpreter process, in which nothing has imported the module.
SUB_FIRST = """
    import sys, textwrap, threading, time
    from pathlib import Path

    out = Path(sys.argv[1])
    attempt = textwrap.dedent(f'''
    try:
        import quorvel._ast2100
        result = 'imported'
    except ImportError as e:
        result = 'ImportError: ' + str(e)
    with open({str(out)!r}, 'a') as f:
        f.write(result + chr(10))
    ''')

    def in_sub_interpreter():
        if sys.argv[2] == 'legacy':  # shares the main interpreter's GIL
            import _testcapi
            assert _testcapi.run_in_subinterp(attempt) == 0
        else:  # its own GIL, and CPython's own check for single-phase modules
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, attempt)
            finally:
                interpreters.destroy(interp)

    in_sub_interpreter()  # before the main interpreter has imported the module
    from quorvel._ast2100 import decode_frame
    frame = bytes.fromhex('000001bc00000090') + bytes(4)
    assert decode_frame(frame, 2, 1) == bytes(6)

    # Again, in a thread of its own, while the main interpreter decodes. (The
    # pause lets a legacy sub-interpreter start: creating one waits for the GIL.)
    sub = threading.Thread(target=in_sub_interpreter)
    sub.start()
    while sub.is_alive():
        assert decode_frame(frame, 2, 1) == bytes(6)
        time.sleep(0.0005)
    sub.join()
    assert decode_frame(frame, 2, 1) == bytes(6)
    print('main interpreter decodes')
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_sub_interpreter_imports_never_take_the_module_from_the_main_interpreter(kind, tmp_path):
    if kind == "legacy":
        pytest.importorskip("_testcapi")
    elif sys.version_info < (3, 13):
        pytest.importorskip("_xxsubinterpreters")
    else:
        pytest.importorskip("_interpreters")
    out = tmp_path / "attempts"
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(SUB_FIRST), str(out), kind],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "main interpreter decodes"
    attempts = out.read_text().splitlines()
    assert len(attempts) == 2
    # The module's own refusal, or CPython's for a single-phase module it has seen before.
    assert all(re.match(r"ImportError: .*(sub-interpreters|subinterpreters)", a) for a in attempts), attempts

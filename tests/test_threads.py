"""Concurrent calls from threads, screens that draw on two threads, and imports
from sub-interpreters."""

import copy
import hashlib
import os
import pickle
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
from quorvel._screen import Screen, _restore
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
    assert {kind for kind, _ in serial} == {
        "ok",
        "ValueError",
        "PanicException",
        "MemoryError",
        "TypeError",
        "OverflowError",
    }
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
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SUB_FIRST), str(out), kind], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "main interpreter decodes"
    attempts = out.read_text().splitlines()
    assert len(attempts) == 2
    # The module's own refusal, or CPython's for a single-phase module it has seen before.
    assert all(re.match(r"ImportError: .*(sub-interpreters|subinterpreters)", a) for a in attempts), attempts


# Screens that draw one frame on two threads: against a screen on one thread.


def frame_run(mode, width, height, seed):
    """A key frame, delta frames that change parts of it, and failing frames
    (a delta without its last word, so without FRAME_END) among them."""
    rng = np.random.default_rng(seed)
    picture = rng.integers(0, 256, size=(height, width, 3), dtype=np.uint8)
    picture[: height // 3] = (20, 90, 200)
    frames = [encode_frame(picture, mode)]
    for k in range(5):
        after = picture.copy()
        y, x = int(rng.integers(0, height)), int(rng.integers(0, width))
        after[y:, x:] = 255 - after[y:, x:]
        delta = encode_frame(after, mode, previous=picture)
        frames.append(delta[:-4] if k % 2 else delta)
        if k % 2 == 0:
            picture = after
    return frames


def apply_all(screen, frames):
    """What each frame returned or raised, and the picture after it."""
    results = []
    for data in frames:
        try:
            got = screen.apply(data)
        except ValueError as e:
            got = str(e)
        results.append((got, screen.to_bytes()))
    return results


@pytest.mark.parametrize("mode, width, height", [(444, 200, 120), (422, 333, 97), (444, 1, 1), (422, 17, 300)])
@pytest.mark.parametrize("threads", [2, None])
def test_two_threads_draw_what_one_does(mode, width, height, threads):
    frames = frame_run(mode, width, height, seed=width)
    serial = apply_all(Screen(width, height, threads=1), frames)
    assert sum(isinstance(got, str) for got, _ in serial) == 2  # the failing frames failed...
    for (got, after), (_, before) in zip(serial[1:], serial):
        if isinstance(got, str):
            assert after == before  # ...and left the picture as it was
    assert apply_all(Screen(width, height, threads=threads), frames) == serial


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("pixel_format, scale", [("BGRX", 1), ("GRAY", 1), ("XBGR", 2), ("RGB", 8)])
def test_two_threads_draw_every_format_and_scale_as_one_does(mode, pixel_format, scale):
    frames = frame_run(mode, 150, 90, seed=scale)
    screens = [Screen(150, 90, pixel_format=pixel_format, scale=scale, threads=t) for t in (1, 2)]
    assert apply_all(screens[1], frames) == apply_all(screens[0], frames)


@pytest.mark.parametrize("threads", [None, 1, 2])
def test_threads_setting_is_kept_by_pickling_and_copying(threads):
    screen = Screen(24, 16, 444, threads=threads)
    screen.apply(random_frame(444, 5, 24, 16))
    for other in (pickle.loads(pickle.dumps(screen)), copy.copy(screen), copy.deepcopy(screen)):
        assert (other.threads, other.mode, other.to_bytes()) == (threads, 444, screen.to_bytes())
    version, state = screen.__reduce__()[1]
    assert state[5] == ({} if threads is None else {"threads": threads})  # defaults left out
    # A state saved before the setting existed restores as automatic.
    assert _restore(version, state[:5] + ({},)).threads is None


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((8, 8, None, 2), {}, TypeError, "takes from 2 to 3 positional arguments but 4 were given"),
        ((8, 8), {"threads": 0}, ValueError, "threads must be 1, 2 or None, not 0"),
        ((8, 8), {"threads": 2**70}, ValueError, "threads must be 1, 2 or None"),
        ((8, 8), {"threads": "2"}, TypeError, "argument 'threads'"),
    ],
)
def test_threads_argument_is_checked(args, kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Screen(*args, **kwargs)


def test_screens_on_two_threads_from_several_python_threads():
    frames = frame_run(444, 160, 96, seed=3)
    serial = apply_all(Screen(160, 96, threads=1), frames)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: apply_all(Screen(160, 96, threads=2), frames), range(8)))
    assert all(r == serial for r in results)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_draws_without_the_parents_worker():
    frames = frame_run(422, 64, 48, seed=9)
    screen = Screen(64, 48, threads=2)
    screen.apply(frames[0])  # the worker runs in the parent
    expected = apply_all(Screen(64, 48, threads=1), frames)[-1][1]
    pid = os.fork()
    if pid == 0:  # the child has no worker: the screen starts one of its own
        ok = apply_all(screen, frames[1:])[-1][1] == expected
        os._exit(0 if ok else 1)
    deadline = time.monotonic() + 30
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    assert done[0] == pid and os.waitstatus_to_exitcode(done[1]) == 0

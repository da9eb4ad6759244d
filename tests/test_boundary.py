"""What a caller meets at the package's edge: the panic by name, memory
failures that say what they asked for, Screen.apply on any bytes-like object,
and screens that pickle and copy."""

import array
import copy
import pickle
import random
import subprocess
import sys

import numpy as np
import pytest

from framewriter import FrameWriter
import quorvel
from quorvel import PanicException, Screen, _ast2100, decode_frame

END_ONLY = bytes.fromhex("000001bc") + bytes([0, 0, 0, 0x90]) + bytes(4)


def some_frame(seed, mode=444, records=12):
    rng, fw = random.Random(seed), FrameWriter(mode)
    for _ in range(records):
        fw.vq([(rng.randrange(4), rng.randrange(1 << 24))], at=(rng.randrange(5), rng.randrange(4)))
    return fw.end().to_bytes()


def test_panic_is_caught_by_name_and_pickles(capfd):
    with pytest.raises(PanicException) as raised:
        decode_frame(END_ONLY, 2**40, 2**40)
    assert type(raised.value) is quorvel.PanicException and PanicException.__bases__ == (BaseException,)
    assert (PanicException.__module__, PanicException.__qualname__) == ("quorvel", "PanicException")
    again = pickle.loads(pickle.dumps(raised.value))
    assert type(again) is PanicException and again.args == ("capacity overflow",)
    assert "capacity overflow" in capfd.readouterr().err
    assert "PanicException" not in vars(_ast2100) and "PanicException" in quorvel.__all__


def test_panic_crosses_a_process_boundary():
    # A worker's panic is pickled back to the parent, which catches it by name.
    code = (
        "import concurrent.futures as f, quorvel\n"
        "with f.ProcessPoolExecutor(1) as pool:\n"
        f"    job = pool.submit(quorvel.decode_frame, {END_ONLY!r}, 2**40, 2**40)\n"
        "    try:\n"
        "        job.result()\n"
        "    except quorvel.PanicException as e:\n"
        "        print(repr(e))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.stdout == "PanicException('capacity overflow')\n", result.stderr


def test_a_missing_panic_type_is_a_clear_import_error():
    # The decoder's exception renamed under the package: importing it again
    # fails, saying why, rather than with a bare StopIteration.
    code = (
        "import sys, quorvel._ast2100\n"
        "quorvel.PanicException.__qualname__ = 'Renamed'\n"
        "del sys.modules['quorvel']\n"
        "try:\n"
        "    import quorvel\n"
        "except ImportError as e:\n"
        "    print(e.__context__, e)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.stdout == (
        "None quorvel._ast2100 did not register quorvel.PanicException: "
        "the decoder module does not match this package (reinstall quorvel)\n"
    ), result.stderr


@pytest.mark.parametrize(
    "call, size",
    [
        (lambda: decode_frame(END_ONLY, 10**6, 10**6), 3 * 10**12),  # the allocator refuses
        (lambda: decode_frame(END_ONLY, (2**63 - 1) // 3, 1), 2**63 - 2),  # beyond any bytes object
        (lambda: Screen(10**6, 10**6), 3 * 10**12),
    ],
    ids=["decode", "decode, too large for bytes", "Screen"],
)
def test_memory_errors_name_the_size(call, size):
    with pytest.raises(MemoryError) as raised:
        call()
    assert str(raised.value) == f"memory allocation of {size} bytes failed"


def bytes_likes(data):
    padded = bytearray(b"\xff" * 5 + data + b"\xff" * 3)
    return {
        "bytes": data,
        "bytearray": bytearray(data),
        "memoryview slice": memoryview(padded)[5 : 5 + len(data)],
        "array": array.array("B", data),
        "numpy uint32": np.frombuffer(data + bytes(-len(data) % 4), np.uint32)[: len(data) // 4],
    }


@pytest.mark.parametrize("kind", list(bytes_likes(b"")))
def test_apply_takes_bytes_likes_and_lets_them_go(kind):
    data = some_frame(1)
    data += bytes(-len(data) % 4)  # whole words, so that every kind holds the same bytes
    reference = Screen(40, 32)
    expected = reference.apply(data)
    screen, frame = Screen(40, 32), bytes_likes(data)[kind]
    assert screen.apply(frame) == expected and screen.to_bytes() == reference.to_bytes()
    # A failing frame releases its buffer too.
    broken = bytes_likes(data[:4] + b"\0\0\0\x30" + bytes(4))[kind]  # block code 3
    with pytest.raises(ValueError, match="unknown block flag: 3"):
        screen.apply(broken)
    if kind == "bytearray":
        frame += b"\0"  # resizing would raise BufferError if a view were still held
        broken += b"\0"


def test_non_contiguous_numpy_array_is_a_buffer_error():
    with pytest.raises(BufferError):
        Screen(8, 8).apply(np.zeros((4, 8), np.uint8)[:, ::2])


def played_screen(mode=None):
    screen = Screen(40, 32, mode)
    for seed in range(3):
        screen.apply(some_frame(seed))
    return screen


@pytest.mark.parametrize(
    "duplicate", [lambda s: pickle.loads(pickle.dumps(s)), copy.copy, copy.deepcopy], ids=["pickle", "copy", "deepcopy"]
)
@pytest.mark.parametrize("mode", [None, 444])
def test_copies_are_whole_and_independent(duplicate, mode):
    original = played_screen(mode)
    twin = duplicate(original)
    assert type(twin) is Screen and twin is not original
    assert (twin.width, twin.height, twin.mode, twin.frames_applied) == (40, 32, mode, 3)
    assert twin.to_bytes() == original.to_bytes() != bytes(40 * 32 * 3)
    # The next frame draws the same onto both, and onto the twin alone changes only the twin.
    before = original.to_bytes()
    assert twin.apply(some_frame(7)) != []
    assert original.to_bytes() == before and original.frames_applied == 3
    assert original.apply(some_frame(7)) and original.to_bytes() == twin.to_bytes()


@pytest.mark.parametrize(
    "version, state, error, message",
    [
        (2, (), ValueError, "cannot restore a Screen saved in state format 2 (this version reads format 1)"),
        (1, (8, 8, None, bytes(192), 0), ValueError, "a Screen's state is a tuple"),
        (1, (8, 8, None, bytes(191), 0, {}), ValueError, "a 8x8 Screen has 192 bytes of pixels, not 191"),
        (1, (8, 8, 420, bytes(192), 0, {}), ValueError, "mode must be 422, 444 or None, not 420"),
        (1, (8, 8, None, bytes(192), 0, {"size": 1}), TypeError, "Screen() got an unexpected keyword argument 'size'"),
        (1, (8, 8, None, "pixels", 0, {}), TypeError, "argument 'pixels': a bytes-like object is required, not 'str'"),
    ],
)
def test_restore_checks_the_state(version, state, error, message):
    with pytest.raises(error) as raised:
        pickle.loads(pickle.dumps(_restore_call(version, state)))
    assert str(raised.value).startswith(message)


class _restore_call:
    """Pickles as a call of the reconstructor with the given arguments."""

    def __init__(self, version, state):
        self.args = version, state

    def __reduce__(self):
        return quorvel._screen._restore, self.args

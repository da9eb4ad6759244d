"""Repeated calls, successful and failing in every way, leak neither memory nor references."""

import gc
import os
import sys
import tracemalloc
from importlib import resources

import pytest

from framewriter import FrameWriter
from helpers import END, H444, Index, Int
from quorvel._ast2100 import decode_frame

SAMPLE = resources.files("quorvel").joinpath("data", "sample-console-444.frame").read_bytes()


def painted(records=64 * 48):
    """One-colour macroblocks over a whole 512 x 384 picture, so that every page of it is written."""
    fw = FrameWriter().vq([(0, 0x515AF0)])
    for _ in range(records - 1):
        fw.vq([(0, None)])
    return fw


def frame(data):
    return bytes(bytearray(data))  # a new object, never a shared constant


# name: (the arguments, made afresh for each test; the exception; calls). The
# pictures of the successes and of the failures that come after the picture's
# allocation are large and drawn all over, so that a picture not released shows
# in the process's memory (the untouched pages of a zeroed allocation would not).
CASES = {
    "sample frame": (lambda: (frame(SAMPLE), Index(320), Int(200)), None, 300),
    "large picture": (lambda: (painted().end().to_bytes(), Index(512), Int(384)), None, 200),
    "codec_data too short": (lambda: (frame(H444[:3]), Index(300), Int(8)), ValueError, 5000),
    "unknown mode": (lambda: (frame(bytes(12)), Index(300), Int(8)), ValueError, 5000),
    "too short for bitstream": (lambda: (frame(H444 + END), Index(300), Int(8)), ValueError, 5000),
    "unknown block flag": (lambda: (painted().raw(11, 4).to_bytes(), Index(512), Int(384)), ValueError, 200),
    "block limit": (lambda: (frame(H444 + bytes(8)), Index(512), Int(512)), ValueError, 40),
    "capacity overflow": (lambda: (frame(H444 + END * 2), Index(2**62), Int(2)), BaseException, 500),
    "MemoryError": (lambda: (frame(H444 + END * 2), Index(2**40), Int(2**10)), MemoryError, 2000),
    "codec_data not bytes": (lambda: (bytearray(H444 + END * 2), Index(300), Int(8)), TypeError, 5000),
    "width not an integer": (lambda: (frame(H444 + END * 2), float("8.5"), Int(8)), TypeError, 5000),
    "negative height": (lambda: (frame(H444 + END * 2), Index(300), Index(-1000)), OverflowError, 5000),
}


def call(args, expected, by_keyword=False):
    data, width, height = args
    try:
        if by_keyword:
            return decode_frame(height=height, codec_data=data, width=width)
        return decode_frame(data, width, height)
    except BaseException as e:
        assert expected is not None and isinstance(e, expected), repr(e)
        if expected is BaseException:
            assert type(e).__name__ == "PanicException"
        return None


@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("name", list(CASES))
def test_argument_references_are_returned(name, by_keyword):
    make, expected, _ = CASES[name]
    args = make()
    # The arguments, and the ints that __index__ hands over.
    objects = list(args) + [a.value for a in args if isinstance(a, Index)]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(100):
        call(args, expected, by_keyword)
    assert [sys.getrefcount(o) for o in objects] == before


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sanitized():
    """Under AddressSanitizer freed memory sits in quarantine, so RSS says nothing."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_hold_no_memory(name):
    make, expected, calls = CASES[name]
    args = make()
    for _ in range(10):  # warm up: first-use allocations of the interpreter and the module
        call(args, expected)
    gc.collect()

    if not sanitized():
        rss_before = resident_bytes()
        for _ in range(calls):
            call(args, expected)
        gc.collect()
        rss_after = resident_bytes()
        print(f"{name}: {calls} calls, RSS {rss_before / 2**20:.1f} -> {rss_after / 2**20:.1f} MiB")
        assert rss_after - rss_before < 8 << 20

    # Python objects (results, exceptions, messages) that outlive their call.
    tracemalloc.start()
    try:
        for _ in range(calls):
            call(args, expected)
        gc.collect()
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    print(f"{name}: {calls} calls, {held} bytes of Python objects still held")
    assert held < 16 << 10

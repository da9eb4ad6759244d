"""Hostile input: any bytes and any sizes give a picture of the right length or one known failure."""

import re

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

from framewriter import FrameWriter
from helpers import END, H422, H444, Int
from quorvel._ast2100 import decode_frame
from reference import check

MAX_BYTES = 2**63 - 1
UNALLOCATABLE = 2**48  # beyond the address space: malloc fails at once
STREAM_FAILURE = re.compile(r"unknown block flag: (1|2|3|10|11)|exceeded block limit without FRAME_END marker")


def outcome(data, width, height):
    try:
        return "ok", decode_frame(data, width, height)
    except ValueError as e:
        return "ValueError", str(e)
    except MemoryError:
        return ("MemoryError",)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return "PanicException", e.args


def set_up_verdict(data, width, height):
    """What the set-up alone decides, in the order of its checks; None leaves it to the stream."""
    if len(data) < 4:
        return "ValueError", "codec_data too short (< 4 bytes)"
    mode = data[2] << 8 | data[3]
    if mode not in (422, 444):
        return "ValueError", f"unknown mode {mode}"
    if width * height * 3 > MAX_BYTES:
        return "PanicException", ("capacity overflow",)
    if len(data) < 12:
        return "ValueError", "codec_data too short for bitstream init"
    if width * height * 3 >= UNALLOCATABLE:
        return ("MemoryError",)
    return None


small = st.integers(0, 70)
huge = st.sampled_from([2**32, 2**50, 2**61, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 3 * 2**61, (2**63 - 1) // 3 + 1])


@st.composite
def sizes(draw):
    kind = draw(st.integers(0, 7))  # mostly pictures that can be decoded
    width, height = draw(huge if kind == 5 else small), draw(huge if kind >= 6 else small)
    return (height, width) if kind == 7 and draw(st.booleans()) else (width, height)


@st.composite
def records(draw, fw):
    """A few well-formed DCT and VQ records, at running or explicit positions."""
    for _ in range(draw(st.integers(0, 6))):
        at = draw(st.none() | st.tuples(st.integers(0, 255), st.integers(0, 255)))
        if draw(st.booleans()):
            blocks, dc = [], list(fw.dc)
            nluma = 4 if fw.mode == 422 else 1
            for b in range(nluma + 2):
                comp = 0 if b < nluma else b - nluma + 1
                dc[comp] += draw(st.integers(-2047, 2047))
                block = [dc[comp]] + [0] * 63
                for pos, level in draw(st.lists(st.tuples(st.integers(1, 63), st.integers(-1023, 1023)), max_size=5)):
                    block[pos] = level
                blocks.append(block)
            fw.dct(blocks, alt=draw(st.booleans()), at=at)
        else:
            n = draw(st.sampled_from([1, 2, 4]))
            entries = draw(
                st.lists(st.tuples(st.integers(0, 3), st.none() | st.integers(0, 2**24 - 1)), min_size=n, max_size=n)
            )
            codes = draw(st.lists(st.integers(0, n - 1), min_size=64, max_size=64)) if n > 1 else []
            fw.vq(entries, codes, at=at)
    return fw


@st.composite
def frames(draw):
    """Real frames, then perhaps unended, overwritten, truncated or given a stray header."""
    fw = draw(records(FrameWriter(draw(st.sampled_from([444, 422])))))
    if draw(st.integers(0, 3)) < 3:
        fw.end()
    data = bytearray(fw.to_bytes())
    for _ in range(draw(st.integers(0, 2))):
        data[draw(st.integers(4, len(data) - 1))] = draw(st.integers(0, 255))
    if draw(st.integers(0, 4)) == 4:
        data[:4] = draw(st.binary(max_size=4))
    if draw(st.integers(0, 4)) == 4:
        del data[draw(st.integers(0, len(data))) :]
    return bytes(data)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    data=st.one_of(frames(), frames(), frames(), st.binary(max_size=64)),
    size=sizes(),
    prefix=st.binary(min_size=2, max_size=2),
)
@example(data=H444 + END * 2, size=(2**63 - 1, 0), prefix=b"\xff\xff")
@example(data=H422 + bytes(8), size=(0, 2**64 - 1), prefix=b"\0\1")
def test_any_input_gives_a_picture_or_a_known_failure(data, size, prefix):
    width, height = size
    assume(not (2**22 < width * height * 3 < UNALLOCATABLE))  # neither small nor hopeless
    got = outcome(data, width, height)
    verdict = set_up_verdict(data, width, height)
    if verdict is not None:
        assert got == verdict
    elif got[0] == "ok":
        assert type(got[1]) is bytes and len(got[1]) == width * height * 3
    else:
        assert got[0] == "ValueError" and STREAM_FAILURE.fullmatch(got[1]), got
    # Bytes 0 and 1 are never interpreted, and nothing is remembered between calls.
    if len(data) >= 2:
        assert outcome(prefix + data[2:], width, height) == got


@pytest.mark.parametrize(
    "width, height",
    [
        # Products whose wrapped 64-bit value is a small, valid-looking size: a
        # multiplication that wraps would return a few bytes instead of failing.
        (6148914691236517206, 1),  # x 3 = 2^64 + 2
        (1, 6148914691236517206),
        (2**63 + 1, 2),  # w x h = 2^64 + 2
        (2**32 + 1, 2**32 - 1),  # w x h = 2^64 - 1 fits, x 3 does not
    ],
)
def test_sizes_that_wrap_to_small_values_are_capacity_overflow(width, height):
    frame = H444 + END + bytes(4)
    assert outcome(frame, width, height) == ("PanicException", ("capacity overflow",))


def mixed_frame(mode):
    """DCT and VQ records at running and explicit positions, some off the picture."""
    fw, n = FrameWriter(mode), 6 if mode == 422 else 3
    fw.dct([[40, 3, -2] + [0] * 61] * n)
    fw.vq([(1, 0x515AF0), (2, 0x913622)], [k % 3 % 2 for k in range(64)])
    fw.dct([[-30] + [0] * 9 + [7] + [0] * 53] * n, alt=True, at=(1, 2))
    fw.vq([(3, 0x29F06E)], at=(0, 0))
    fw.vq([(0, None), (3, None), (1, None), (2, 0xEB8080)], [(7 * k) % 4 for k in range(64)], at=(2, 0))
    return fw.dct([[12] + [1] * 63] * n)


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize(
    "width, height",
    [
        (1, 1),
        (1, 37),
        (37, 1),
        (15, 9),
        (17, 33),
        (31, 17),
        (33, 15),
        (7, 8),
        (0, 40),
        (40, 0),
        (2**64 - 1, 0),
        (0, 2**64 - 1),
    ],
)
def test_degenerate_and_odd_sizes_match_the_model(mode, width, height):
    if width * height == 0:
        # Nothing to draw, but the stream is still read and checked.
        assert decode_frame(mixed_frame(mode).end().to_bytes(), width, height) == b""
        with pytest.raises(ValueError, match="^unknown block flag: 10$"):
            decode_frame(mixed_frame(mode).raw(10, 4).to_bytes(), width, height)
    else:
        check(mixed_frame(mode).end(), width, height)


@pytest.mark.parametrize(
    "width, height, size",
    [
        (np.uint64(4), np.int32(2), 24),
        (np.int64(3), np.uint8(1), 9),
        (Int(2), True, 6),
    ],
)
def test_integers_of_other_kinds(width, height, size):
    assert decode_frame(H444 + END * 2, width, height) == bytes(size)


@pytest.mark.parametrize("width", [np.int64(-1), np.int8(-128)])
def test_negative_numpy_integers_overflow(width):
    with pytest.raises(OverflowError):
        decode_frame(H444 + END * 2, width, 1)

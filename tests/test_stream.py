"""Frame set-up, the record loop, positions, limits and the bit packing."""

import tracemalloc

import pytest

from framewriter import FrameWriter
from helpers import END, H422, H444
from quorvel._ast2100 import decode_frame
from reference import as_image, check, render, ycbcr_to_rgb

WHITE = 0xFF8080
# Two VQ_1 records (white into cache entry 0, then entry 0 again), FRAME_END.
WORKED = bytes.fromhex("000001bc0001ff59000040a2")


def one_colour(fw, colour=None, index=0, at=None):
    return fw.vq([(index, colour)], at=at)


@pytest.mark.parametrize(
    "data, size, message",
    [
        (b"", (8, 8), "codec_data too short (< 4 bytes)"),
        (b"\0\0\x01", (8, 8), "codec_data too short (< 4 bytes)"),
        (bytes(4), (8, 8), "unknown mode 0"),
        (bytes(40), (2**40, 2**40), "unknown mode 0"),  # mode before size and length
        (b"\0\0\xa6\x01" + END * 2, (8, 8), "unknown mode 42497"),
        (b"\0\0\xbc\x01" + END * 2, (8, 8), "unknown mode 48129"),
        (H444, (8, 8), "codec_data too short for bitstream init"),
        (H422 + END + bytes(3), (8, 8), "codec_data too short for bitstream init"),
        (H444 + END + bytes(2), (100000, 100000), "codec_data too short for bitstream init"),
    ],
)
def test_setup_failures(data, size, message):
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as e:
            decode_frame(data, *size)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(e.value) == message
    assert peak < 1 << 20  # failed before the picture was allocated


@pytest.mark.parametrize("data", [H444, H444 + END * 2, H422 + END])
@pytest.mark.parametrize("size", [(2**62, 2), (2**32, 2**32), ((2**63 - 1) // 3 + 1, 1), (1, 2**64 - 1)])
def test_capacity_overflow_is_a_panic(data, size):
    with pytest.raises(BaseException) as e:
        decode_frame(data, *size)
    assert type(e.value).__name__ == "PanicException" and not isinstance(e.value, Exception)
    assert e.value.args == ("capacity overflow",)


@pytest.mark.parametrize("size", [(2**31, 2**30), ((2**63 - 1) // 3, 1)])
def test_unallocatable_picture_is_memory_error(size):
    with pytest.raises(MemoryError):
        decode_frame(H444 + END * 2, *size)


def test_worked_examples():
    assert FrameWriter().vq([(0, WHITE)]).vq([(0, None)]).end().to_bytes() == WORKED
    assert decode_frame(WORKED, 16, 8) == b"\xff" * 384
    at = bytes.fromhex("000001bcff0f10d000200101")
    assert FrameWriter().vq([(3, WHITE)], at=(1, 0)).end().to_bytes()[4:] == at[4:]
    assert decode_frame(at, 16, 8) == (bytes(24) + b"\xff" * 24) * 8


@pytest.mark.parametrize("prefix", [b"\xff\xff", b"\x12\x34", b"\x01\xbc"])
def test_header_bytes_0_1_ignored(prefix):
    assert decode_frame(prefix + WORKED[2:], 16, 8) == decode_frame(WORKED, 16, 8)


@pytest.mark.parametrize("tail", [b"", bytes(64), b"\xff" * 33, bytes(range(256))])
def test_frame_end_and_what_follows(tail):
    assert decode_frame(H444 + END + bytes(4) + tail, 5, 3) == bytes(45)
    assert decode_frame(H422 + END + bytes(4) + tail, 0, 0) == b""
    assert decode_frame(WORKED + tail, 16, 8) == b"\xff" * 384


@pytest.mark.parametrize("code", [1, 2, 3, 10, 11])
def test_unknown_block_codes(code):
    with pytest.raises(ValueError, match=f"^unknown block flag: {code}$"):
        decode_frame(H444 + bytes([0, 0, 0, code << 4]) + bytes(4), 8, 8)
    after_vq = one_colour(FrameWriter(422)).raw(code, 4).end().to_bytes()
    with pytest.raises(ValueError, match=f"^unknown block flag: {code}$"):
        decode_frame(after_vq, 32, 32)


LIMIT = "exceeded block limit without FRAME_END marker"


def test_zero_stream_runs_into_block_limit():
    with pytest.raises(ValueError, match=LIMIT):
        decode_frame(H444 + bytes(8), 8, 8)


@pytest.mark.parametrize(
    "mode, width, height, limit",
    [
        (444, 8, 8, 4096),
        (444, 8, 32776, 4097),  # (w * h) >> 6 above the floor
        (444, 1440, 900, 20340),  # 180 x 113 macroblocks: more than (w * h) >> 6 = 20250
        (422, 1440, 900, 20250),
    ],
)
def test_block_limit(mode, width, height, limit):
    def frame(records, last=9):
        fw = one_colour(FrameWriter(mode), WHITE)
        for _ in range(records - 1):
            one_colour(fw)
        return fw.raw(last, 4).to_bytes()

    ok = decode_frame(frame(limit), width, height)
    assert ok == b"\xff" * (width * height * 3)  # every macroblock drawn, edges clipped
    with pytest.raises(ValueError, match=LIMIT):
        decode_frame(frame(limit + 1), width, height)
    # When the record after the last allowed one is an unknown code, that failure wins.
    with pytest.raises(ValueError, match="unknown block flag: 10"):
        decode_frame(frame(limit, last=10), width, height)


# Distinct colours so that every macroblock can be identified.
COLOURS = [0x515AF0, 0x913622, 0x29F06E, 0xEB8080, 0x808080, 0xFF8000, 0x4080C0, 0xA0A0A0]


def rgb(colour):
    return tuple(ycbcr_to_rgb(colour >> 16, (colour >> 8) & 255, colour & 255).tolist())


def mb_colour(img, n, col, row):
    return tuple(img[n * row, n * col].tolist())


def test_running_position_wraps():
    fw = FrameWriter()
    for c in COLOURS[:5]:
        one_colour(fw, c)
    img = as_image(decode_frame(fw.end().to_bytes(), 16, 16), 16, 16)
    assert [mb_colour(img, 8, c, r) for r, c in [(0, 0), (0, 1), (1, 0), (1, 1)]] == [
        rgb(COLOURS[4]),
        rgb(COLOURS[1]),
        rgb(COLOURS[2]),
        rgb(COLOURS[3]),
    ]
    check(fw, 16, 16)


@pytest.mark.parametrize(
    "mode, size, at, following",
    [
        (444, (80, 80), (3, 5), [(4, 5), (5, 5)]),
        (444, (32, 56), (3, 5), [(0, 6), (1, 6)]),
        (444, (32, 48), (3, 5), [(0, 0), (1, 0)]),
        (444, (80, 40), (12, 1), [(0, 2), (1, 2)]),  # beyond the row: draws nothing
        (444, (80, 40), (255, 2), [(0, 3), (1, 3)]),
        (444, (80, 40), (255, 255), [(0, 0), (1, 0)]),
        (422, (48, 48), (1, 200), [(2, 200), (0, 0)]),  # beyond the rows: nothing drawn
        (422, (64, 32), (3, 1), [(0, 0), (1, 0)]),
    ],
)
@pytest.mark.parametrize("dct", [False, True])
def test_explicit_position_and_advance(mode, size, at, following, dct):
    fw = FrameWriter(mode)
    nblocks = 6 if mode == 422 else 3
    if dct:
        fw.dct([[5] + [0] * 63] * nblocks, alt=True, at=at)
    else:
        one_colour(fw, COLOURS[0], at=at)
    for c in COLOURS[1:3]:
        one_colour(fw, c)
    (w, h), n = size, 8 if mode == 444 else 16
    img = as_image(decode_frame(fw.end().to_bytes(), w, h), w, h)
    for (c, r), colour in zip(following, COLOURS[1:3]):
        if n * c < w and n * r < h:
            assert mb_colour(img, n, c, r) == rgb(colour)
    check(fw, w, h)  # and nothing drawn for positions off the picture


def test_right_edge_is_clipped():
    # Width 20: the third macroblock of a row covers columns 16..23, of which
    # only 16..19 lie inside the picture; nothing spills into the next row.
    fw = FrameWriter()
    for c in COLOURS[:6]:
        one_colour(fw, c)
    img = as_image(decode_frame(fw.end().to_bytes(), 20, 12), 20, 12)
    for r in range(12):
        mb_row = COLOURS[3 * (r // 8) :]
        assert [tuple(p) for p in img[r].tolist()] == [rgb(mb_row[0])] * 8 + [rgb(mb_row[1])] * 8 + [rgb(mb_row[2])] * 4


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("colours", [0, 1, 3])
def test_short_last_word_reads_zero_bits_first(mode, colours):
    # A VQ_4 record whose last pixel codes are 0 and FRAME_END come to lie in
    # the final word after 8, 16 or 24 zero bits; the word's top bytes are
    # zero, so dropping them from the data must not change the frame.
    entries = [(i, COLOURS[i] if i < colours else None) for i in range(4)]
    zeros = {0: 16, 1: 8, 3: 24}[colours]
    codes = [(7 * i + 1) % 4 for i in range(64 - zeros // 2)] + [0] * (zeros // 2)
    fw = FrameWriter(mode).vq(entries, codes).end()
    data = fw.to_bytes()
    assert data.endswith(bytes(zeros // 8)) and len(data) % 4 == 0
    n = 16 if mode == 422 else 8
    assert decode_frame(data[: -(zeros // 8)], n, n) == render(fw, n, n) == decode_frame(data, n, n)

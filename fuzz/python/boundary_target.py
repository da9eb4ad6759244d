"""Fuzzes the Python boundary: decode_frame and Screen.apply, under atheris.

Each fuzz input is a small program rather than a frame: its bytes choose a
picture size (small mostly, now and then larger, rarely one whose byte size
cannot be allocated or represented) and then either raw codec_data or a frame
built record by record with the tests' frame writer: DCT macroblocks with DC
differences, AC runs and levels, VQ macroblocks with colours and pixel codes,
explicit positions, stray bits and refused block codes, FRAME_END or not, a
header rewritten or the stream cut mid-record. Byte mutations of the program
so become record-level mutations of the frame, while raw inputs keep malformed
streams in reach.

What must hold for every input (a violation raises, and atheris saves it):
  - decode_frame returns exactly width * height * 3 bytes, or raises
    ValueError with one of the decoder's five messages, MemoryError, or
    PanicException "capacity overflow"; nothing else;
  - a Screen of that size that shows a picture of its own (a valid frame over
    every macroblock, in colours drawn from the input) either applies the frame
    or raises; after a failure its pixels and frame count are exactly as before;
    after a success every rectangle lies inside the picture on the macroblock
    grid, top to bottom, and the picture equals decode_frame's picture inside
    the rectangles and the old picture outside them;
  - the Screen fails exactly when decode_frame does, with the same message,
    unless its fixed mode refuses the frame's mode;
  - whatever its pixel format (any but grey, whose luma cannot be told from
    RGB) and thread setting, the Screen holds those RGB values rearranged, the
    padding byte 255.
The extensions are instrumented (AddressSanitizer, UndefinedBehaviorSanitizer,
edge coverage): libFuzzer follows their coverage, and the sanitizers catch
reads and writes out of bounds, also of the result bytes object when Python
allocates with malloc (PYTHONMALLOC=malloc).

    python boundary_target.py [libFuzzer options] [CORPUS DIR | INPUT FILE ...]
    python boundary_target.py --frames OUTDIR CORPUS...   (the frames, for ./dev coverage)
(`./dev pyfuzz` builds the instrumented extensions and runs this with the
sanitizer runtime preloaded.)
"""

import collections
import functools
import re
import sys
from pathlib import Path

import atheris

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))

# The writer is not instrumented: its branches would add little beyond the
# decoder's own coverage, and tracing them doubles the time of an input.
from framewriter import FrameWriter  # noqa: E402

import quorvel
from quorvel import PanicException
from quorvel._ast2100 import decode_frame
from quorvel._screen import Screen

DECODER_MESSAGES = re.compile(
    r"codec_data too short \(< 4 bytes\)|unknown mode \d+|codec_data too short for bitstream init"
    r"|unknown block flag: (1|2|3|10|11)|exceeded block limit without FRAME_END marker"
)
MODE_MISMATCH = re.compile(r"frame mode (422|444) does not match the screen's mode (422|444)")

# Pictures whose byte size is beyond what the sanitizer's allocator serves
# (MemoryError without touching memory) or beyond 63 bits (capacity overflow).
# Sizes between are left out: a picture of gigabytes would be allocated for real.
HUGE_SIZES = [
    (1 << 40, 1 << 10),
    (1 << 32, 1 << 32),
    (1 << 63, 3),
    ((1 << 64) - 1, 1),
    ((1 << 64) - 1, 0),
    (0, (1 << 64) - 1),
    (1 << 21, 1 << 21),
]

REFUSED_CODES = [1, 2, 3, 10, 11]


def picture_size(fdp):
    """Mostly a few macroblocks, odd sizes included; sometimes a larger picture."""
    kind = fdp.ConsumeIntInRange(0, 63)
    if kind < 52:
        # Counted down, so that an input too short to say is 48x48, not empty.
        return 48 - fdp.ConsumeIntInRange(0, 48), 48 - fdp.ConsumeIntInRange(0, 48)
    if kind < 61:
        return fdp.ConsumeIntInRange(0, 320), fdp.ConsumeIntInRange(0, 240)
    if kind < 62:
        return fdp.ConsumeIntInRange(0, 1280), fdp.ConsumeIntInRange(0, 1024)
    return HUGE_SIZES[fdp.ConsumeIntInRange(0, len(HUGE_SIZES) - 1)]


def coefficient_blocks(fdp, mode, dc):
    """The blocks of one DCT macroblock. DC levels follow the writer's predictors
    (`dc`, updated here) with differences of every size the code allows."""
    nluma = 4 if mode == 422 else 1
    blocks = []
    for i in range(nluma + 2):
        comp = 0 if i < nluma else i - nluma + 1
        block = [0] * 64
        size = fdp.ConsumeIntInRange(0, 11)
        diff = fdp.ConsumeIntInRange(-(1 << size) + 1, (1 << size) - 1) if size else 0
        dc[comp] += diff
        block[0] = dc[comp]
        # Coefficients at chosen positions: any run length (16 and more take
        # the writer's ZRL codes), any size up to 10 bits.
        for _ in range(fdp.ConsumeIntInRange(0, 8)):
            pos = fdp.ConsumeIntInRange(1, 63)
            size = fdp.ConsumeIntInRange(1, 10)
            value = fdp.ConsumeIntInRange(1 << (size - 1), (1 << size) - 1)
            block[pos] = -value if fdp.ConsumeBool() else value
        blocks.append(block)
    return blocks


def position(fdp, mode, width, height):
    """An explicit macroblock position, mostly inside the picture or just past it."""
    if not fdp.ConsumeBool():
        return None
    n = 16 if mode == 422 else 8
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return fdp.ConsumeIntInRange(0, 255), fdp.ConsumeIntInRange(0, 255)
    cols, rows = min(255, -(-width // n) + 1), min(255, -(-height // n) + 1)
    return fdp.ConsumeIntInRange(0, cols), fdp.ConsumeIntInRange(0, rows)


def built_frame(fdp, width, height):
    """A frame written record by record, as the input's bytes choose."""
    mode = 422 if fdp.ConsumeBool() else 444
    fw = FrameWriter(mode, prefix=fdp.ConsumeBytes(2).ljust(2, b"\0"))
    dc = list(fw.dc)
    for _ in range(fdp.ConsumeIntInRange(0, 24)):
        if fdp.remaining_bytes() == 0:
            break
        # Refused codes and stray bits are rare: either ends the frame's
        # meaning, and most frames should decode and draw.
        kind = fdp.ConsumeIntInRange(0, 63)
        at = position(fdp, mode, width, height)
        if kind < 31:
            fw.dct(coefficient_blocks(fdp, mode, dc), alt=fdp.ConsumeBool(), at=at)
        elif kind < 62:
            count = (1, 2, 4)[fdp.ConsumeIntInRange(0, 2)]
            entries = [
                (fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, (1 << 24) - 1) if fdp.ConsumeBool() else None)
                for _ in range(count)
            ]
            bits = count.bit_length() - 1
            codes = [fdp.ConsumeIntInRange(0, (1 << bits) - 1) for _ in range(64)] if bits else []
            fw.vq(entries, codes, at=at)
        elif kind == 62:
            fw.raw(REFUSED_CODES[fdp.ConsumeIntInRange(0, len(REFUSED_CODES) - 1)], 4)
        else:
            nbits = fdp.ConsumeIntInRange(1, 32)
            fw.raw(fdp.ConsumeIntInRange(0, (1 << nbits) - 1), nbits)
    # A stream without FRAME_END reads zero bits past its data, which decode as
    # DCT macroblocks up to the block limit (thousands): costly, so rare.
    ending = fdp.ConsumeIntInRange(0, 31)
    if ending < 29:
        fw.end()
    data = fw.to_bytes()
    if ending >= 30:  # cut mid-record (or mid-header)
        data = data[: fdp.ConsumeIntInRange(0, len(data))]
    if fdp.ConsumeIntInRange(0, 15) == 15:  # a header of another mode, maybe none
        data = data[:2] + fdp.ConsumeBytes(2).ljust(2, b"\0") + data[4:]
    return data


@functools.lru_cache(maxsize=512)
def backdrop(mode, width, height, shade):
    """A valid frame of one VQ colour per macroblock over the whole picture, so
    that a screen restored to black (or to anything else) shows. Kept: writing
    it costs more than decoding it."""
    n = 16 if mode == 422 else 8
    seed = 0x808080 | shade * 0x10101
    fw = FrameWriter(mode)
    for row in range(-(-height // n)):
        for col in range(-(-width // n)):
            fw.vq([(0, (seed * (row * 31 + col + 1)) & 0xFFFFFF)])
    return fw.end().to_bytes()


def check_decode(data, width, height):
    """decode_frame's outcome: ("ok", picture) or ("error", message)."""
    try:
        picture = decode_frame(data, width, height)
    except ValueError as e:
        message = str(e)
        assert DECODER_MESSAGES.fullmatch(message), f"unexpected ValueError: {message!r}"
        if message.startswith("unknown mode"):
            assert len(data) >= 4 and message == f"unknown mode {int.from_bytes(data[2:4], 'big')}", message
        return "error", message
    except MemoryError:
        # Only the pictures of terabytes are meant to be refused; a few
        # gigabytes would be allocated (and the fuzzer stopped for memory).
        assert width * height * 3 >= 1 << 32, f"MemoryError for a {width}x{height} picture"
        return "memory", None
    except PanicException as e:
        assert str(e) == "capacity overflow", f"unexpected PanicException: {e!r}"
        assert width * height * 3 >= 1 << 63, f"capacity overflow for a {width}x{height} picture"
        return "panic", None
    assert type(picture) is bytes and len(picture) == width * height * 3, (type(picture), len(picture))
    return "ok", picture


# Where R, G and B sit in a pixel of each format but grey, and its size.
LAYOUTS = {
    "RGB": (0, 1, 2, 3),
    "BGR": (2, 1, 0, 3),
    "RGBX": (0, 1, 2, 4),
    "BGRX": (2, 1, 0, 4),
    "XRGB": (1, 2, 3, 4),
    "XBGR": (3, 2, 1, 4),
}


def as_rgb(picture, pixel_format):
    """A picture in `pixel_format` as RGB bytes; asserts that padding bytes are 255."""
    r, g, b, size = LAYOUTS[pixel_format]
    if size == 4:
        padding = ({0, 1, 2, 3} - {r, g, b}).pop()
        assert picture[padding::4].count(255) == len(picture) // 4, f"{pixel_format}: padding other than 255"
    rgb = bytearray(len(picture) // size * 3)
    rgb[0::3], rgb[1::3], rgb[2::3] = picture[r::size], picture[g::size], picture[b::size]
    return bytes(rgb)


class Shown:
    """A Screen seen as RGB bytes, whatever its pixel format."""

    def __init__(self, screen):
        self.screen = screen

    def __getattr__(self, name):
        return getattr(self.screen, name)

    def to_bytes(self):
        return as_rgb(self.screen.to_bytes(), self.screen.pixel_format)


def check_screen(fdp, data, width, height, outcome):
    mode = (None, 422, 444)[fdp.ConsumeIntInRange(0, 2)]
    pixel_format = list(LAYOUTS)[fdp.ConsumeIntInRange(0, len(LAYOUTS) - 1)]
    threads = (None, 1, 2)[fdp.ConsumeIntInRange(0, 2)]
    screen = Shown(Screen(width, height, mode, pixel_format=pixel_format, threads=threads))
    backdrop_mode = mode or (422 if fdp.ConsumeBool() else 444)
    screen.apply(backdrop(backdrop_mode, width, height, fdp.ConsumeIntInRange(0, 7)))
    before, frames = screen.to_bytes(), screen.frames_applied
    wrap = (bytes, bytearray, memoryview)[fdp.ConsumeIntInRange(0, 2)]
    try:
        rects = screen.apply(wrap(data))
    except ValueError as e:
        message = str(e)
        assert screen.to_bytes() == before, f"failed apply ({message}) changed the picture"
        assert screen.frames_applied == frames, "failed apply counted as a frame"
        if outcome[0] == "error" and (mode is None or not MODE_MISMATCH.fullmatch(message)):
            assert message == outcome[1], f"Screen says {message!r}, decode_frame {outcome[1]!r}"
        else:
            assert mode is not None and MODE_MISMATCH.fullmatch(message), (
                f"Screen failed ({message!r}) where decode_frame did not"
            )
        return None
    assert outcome[0] == "ok", f"Screen applied a frame that decode_frame refused ({outcome[1]!r})"
    assert mode is None or int.from_bytes(data[2:4], "big") == mode, "a frame of the other mode applied"
    assert screen.frames_applied == frames + 1
    n = 16 if int.from_bytes(data[2:4], "big") == 422 else 8
    expected, picture, stride = bytearray(before), outcome[1], width * 3
    last = (-1, -1)
    for rect in rects:
        assert type(rect) is tuple and len(rect) == 4, rect
        x, y, w, h = rect
        assert w > 0 and h > 0 and x + w <= width and y + h <= height, (rect, width, height)
        assert x % n == 0 and y % n == 0 and (h == n or y + h == height), (rect, n)
        assert (y, x) > last, f"rectangles out of order: {rects}"
        last = (y, x + w - 1)
        for row in range(y, y + h):
            start = row * stride + x * 3
            expected[start : start + w * 3] = picture[start : start + w * 3]
    assert screen.to_bytes() == expected, "the picture is not the frame drawn over the old one"
    return rects


# What the inputs did, printed every TALLY_EVERY inputs: a run that mostly
# fails early, or draws nothing, tests little.
TALLY_EVERY = 5000
tally = collections.Counter()


def outcome_kind(outcome, rects):
    if outcome[0] != "error":
        if outcome[0] == "ok" and rects is None:
            return "screen of the other mode"
        return outcome[0] if outcome[0] != "ok" else "drew" if rects else "drew nothing"
    return re.sub(r"\d+", "N", outcome[1])


# An exhausted input reads as zeros: every choice whose zero is a failure
# (raw bytes, a rewritten header) is taken on its highest value instead.
def frame_of(fdp):
    """The picture size and codec_data an input chooses."""
    width, height = picture_size(fdp)
    if fdp.ConsumeIntInRange(0, 15) == 15:
        return width, height, fdp.ConsumeBytes(fdp.remaining_bytes())
    return width, height, built_frame(fdp, width, height)


def test_one_input(raw):
    fdp = atheris.FuzzedDataProvider(raw)
    width, height, data = frame_of(fdp)
    outcome = check_decode(data, width, height)
    # Screens are allocated for real (picture and journal): only sensible sizes.
    rects = []
    if width <= 1280 and height <= 1024:
        rects = check_screen(fdp, data, width, height, outcome)
    tally[outcome_kind(outcome, rects)] += 1
    if tally.total() % TALLY_EVERY == 0:
        print(
            "pyfuzz: %d inputs:" % tally.total(),
            ", ".join("%s %.1f%%" % (k, 100 * n / tally.total()) for k, n in tally.most_common()),
            file=sys.stderr,
            flush=True,
        )


def export_frames(outdir, paths):
    """Writes the frame of each input (files, or directories of them) in the
    input layout of the C++ fuzz target, as it is, so that the decoder core's
    coverage of a corpus of this target can be measured with its replay."""
    sys.path.insert(0, str(ROOT / "fuzz"))
    from make_seeds import fuzz_input

    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    files = [f for p in map(Path, paths) for f in (sorted(p.iterdir()) if p.is_dir() else [p])]
    for f in files:
        width, height, data = frame_of(atheris.FuzzedDataProvider(f.read_bytes()))
        (outdir / f.name).write_bytes(fuzz_input(data, width, height, compare=False, as_is=True))
    print(f"{len(files)} frames written to {outdir}")


def main():
    if sys.argv[1:2] == ["--frames"]:
        return export_frames(sys.argv[2], sys.argv[3:])
    assert quorvel.decode_frame is decode_frame
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

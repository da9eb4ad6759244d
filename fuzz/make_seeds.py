"""Writes the seed corpus of the frame fuzz target: real frames in both modes.

Every seed is a fuzz input: a control byte (bits 0..1 the mode, 0 = 444,
1 = 422, 3 = the header's own; bit 2 = 64-bit sizes; bit 3 = compare the SIMD
kernels with the scalar ones; bits 4..5 the largest picture, 0 = 4096 pixels,
2 = 65536, 3 = a megapixel; bits 6..7 = 3 and 0xFF in the frame's first byte:
the frame as it is, else FRAME_END is put where its data ends), the width and
height, and then the frame. The
frames come from the test suite's frame writer (every kind of record, explicit
positions, odd sizes, long coefficient runs, failures), the sample frame that
ships with the package, and the package's encoder when the Python that runs
this script has the package and numpy. Deterministic: the same files every run.

    python fuzz/make_seeds.py OUTDIR
"""

import random
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from framewriter import FrameWriter  # noqa: E402

SAMPLE = ROOT / "python" / "quorvel" / "data" / "sample-console-444.frame"
MODE_BITS = {444: 0, 422: 1, None: 3}


def fuzz_input(frame, width, height, mode=None, compare=True, as_is=False):
    """The frame with its sizes in front; mode None keeps the header's bytes.
    as_is: no end put after the data, so that a stream without FRAME_END runs
    into zero bits (the frame's first byte becomes 0xFF, which asks for that)."""
    pixels = width * height
    size_class = 0 if pixels <= 1 << 12 else 2 if pixels <= 1 << 16 else 3
    control = MODE_BITS[mode] | (8 if compare else 0) | size_class << 4 | (0xC0 if as_is else 0)
    if as_is:
        frame = b"\xff" + frame[1:]
    if width < 1 << 16 and height < 1 << 16:
        return bytes([control]) + struct.pack("<HH", width, height) + frame
    return bytes([control | 4]) + struct.pack("<QQ", width, height) + frame


def blocks(mode, rng, scale):
    n = 6 if mode == 422 else 3
    out = []
    for _ in range(n):
        b = [0] * 64
        b[0] = rng.randint(-scale, scale)
        for _ in range(rng.randint(0, 12)):
            b[rng.randrange(1, 64)] = rng.randint(-scale, scale) or 1
        out.append(b)
    return out


def mixed(mode, seed, records=24, end=True):
    """Every kind of record in turn, at running and explicit positions; end=False
    leaves the frame open for more records."""
    rng = random.Random(seed)
    fw = FrameWriter(mode, prefix=bytes([seed & 255, 0x5A]))
    dc = [0, 0, 0]
    for i in range(records):
        at = (rng.randrange(6), rng.randrange(6)) if i % 5 == 3 else None
        kind = i % 4
        if kind < 2:
            bl = blocks(mode, rng, 60 if kind == 0 else 500)
            # Keep DC differences within 11 bits.
            for j, b in enumerate(bl):
                comp = 0 if j < len(bl) - 2 else j - len(bl) + 3
                b[0] = max(dc[comp] - 2000, min(dc[comp] + 2000, b[0]))
                dc[comp] = b[0]
            fw.dct(bl, alt=kind == 1, at=at)
            dc = list(fw.dc)
        else:
            n = rng.choice([1, 2, 4])
            entries = [(rng.randrange(4), rng.randrange(1 << 24) if rng.random() < 0.5 else None) for _ in range(n)]
            codes = [rng.randrange(n) for _ in range(64)] if n > 1 else []
            fw.vq(entries, codes, at=at)
    return fw.end() if end else fw


def seeds():
    end = bytes.fromhex("000001bc") + bytes([0, 0, 0, 0x90]) + bytes(4)
    yield "end-only-1x1", fuzz_input(end, 1, 1, compare=False)
    yield "end-only-0x7", fuzz_input(end, 0, 7)
    yield "zero-stream-8x8", fuzz_input(bytes.fromhex("000001bc") + bytes(8), 8, 8, as_is=True)
    yield "unknown-code-3", fuzz_input(bytes.fromhex("000001bc") + bytes([0, 0, 0, 0x30]) + bytes(4), 16, 16)
    yield "unknown-mode", fuzz_input(bytes.fromhex("0000bc01") + bytes(8), 8, 8)
    yield "too-short", fuzz_input(bytes.fromhex("000001a6") + bytes(3), 8, 8, 422)
    yield "capacity-overflow", fuzz_input(end, 2**62, 2)
    yield "wide-zero-height", fuzz_input(end, 2**64 - 1, 0)
    yield "sample-320x200", fuzz_input(SAMPLE.read_bytes(), 320, 200, compare=False)
    yield "sample-as-422-97x61", fuzz_input(SAMPLE.read_bytes(), 97, 61, 422)
    for mode in (444, 422):
        for seed, (w, h) in enumerate([(48, 48), (17, 9), (33, 70), (1, 130)]):
            yield f"mixed-{mode}-{w}x{h}", fuzz_input(mixed(mode, seed).to_bytes(), w, h)
        fw = FrameWriter(mode)
        for col, row in [(0, 0), (255, 0), (3, 255), (254, 254)]:
            fw.vq([(1, 0x515AF0), (2, None)], [k & 1 for k in range(64)], at=(col, row))
            fw.dct([[50] + [0] * 63] * (6 if mode == 422 else 3), at=(col, row))
        yield f"explicit-{mode}", fuzz_input(fw.end().to_bytes(), 40, 24)
        full = FrameWriter(mode).dct(
            [[(k * 13 + b) % 7 - 3 or 2 for k in range(64)] for b in range(6 if mode == 422 else 3)]
        )
        yield f"full-blocks-{mode}", fuzz_input(full.end().to_bytes(), 16, 16)
        yield f"no-end-{mode}", fuzz_input(mixed(mode, 7, 8).to_bytes()[:-4], 64, 64, as_is=True)
    yield from option_seeds()
    yield from encoded()


# The option byte (the frame header's byte 1, which the decoder never reads).
BLOCKS, SCALAR_FIRST, SCREEN_MODE, OTHER_MODE, VARIANT = 1, 2, 4, 8, 0x80


def option_seeds():
    """Frames for the target's option byte: the coefficient lane over blocks of
    every kind (flat, small enough for the 16-bit transform, too large for it,
    and pairs of one of each), screens of the frame's mode and of the other one,
    and the scalar kernels first."""
    for mode in (444, 422):
        n = 6 if mode == 422 else 3
        flat = [40] + [0] * 63
        small = [(k * 5) % 9 - 4 if k < 20 else 0 for k in range(64)]
        large = [0] * 64
        large[0], large[1], large[9], large[63] = 700, -511, 480, 300
        fw = FrameWriter(mode, prefix=bytes([0, BLOCKS]))
        fw.dct([flat] * n)
        fw.dct([small if b % 2 else flat for b in range(n)], alt=True)
        fw.dct([large if b % 2 else small for b in range(n)], at=(1, 0))
        fw.dct([large] * n, alt=True, at=(0, 1))
        fw.dct([small] * n)
        yield f"blocks-{mode}", fuzz_input(fw.end().to_bytes(), 32, 32, mode)
        for options, name in [(SCREEN_MODE | SCALAR_FIRST, "screen-mode"), (OTHER_MODE, "other-mode")]:
            ok = mixed(mode, 11, 12)
            ok.prefix = bytes([0, options])
            yield f"{name}-{mode}", fuzz_input(ok.to_bytes(), 40, 24, mode)
            failing = mixed(mode, 12, 6, end=False)
            failing.prefix = bytes([0, options | BLOCKS])
            failing.raw(3, 4)  # a code that opens no record
            yield f"{name}-failing-{mode}", fuzz_input(failing.to_bytes(), 24, 40, mode)
    # A second screen in each pixel format (bits 4..6) at each scale (bits 0..1 of
    # the header's byte 0), on pictures whose sides are no multiple of a macroblock.
    for fmt in range(7):
        for mode in (444, 422):
            fw = mixed(mode, 20 + fmt, 14)
            fw.prefix = bytes([(fmt + (mode == 422)) % 4, VARIANT | fmt << 4 | (SCREEN_MODE if fmt % 2 else 0)])
            yield f"format-{fmt}-{mode}", fuzz_input(fw.to_bytes(), 37 + 8 * fmt, 21, mode)
    for short in (b"\x00\x01", b"\x00\x01\xff"):
        yield f"blocks-{len(short)}-bytes", fuzz_input(short, 8, 8)


def encoded():
    """Frames from the package's encoder (key and delta frames, both qualities), when
    the Python that runs this has the package and numpy."""
    try:
        import numpy as np
        from quorvel.encode import encode_frame
    except ImportError:
        return
    rng = np.random.default_rng(5)
    for mode, (w, h) in [(444, (40, 24)), (422, (50, 34))]:
        picture = rng.integers(0, 256, size=(h, w, 3), dtype=np.uint8)
        picture[: h // 2, : w // 2] = (200, 30, 90)  # flat areas become VQ records
        picture[h // 2 :, ::2] = (0, 0, 0)
        changed = picture.copy()
        changed[h // 3 : h // 2, 10:20] = 255
        yield f"encoded-{mode}-{w}x{h}", fuzz_input(encode_frame(picture, mode), w, h)
        yield f"encoded-{mode}-low-{w}x{h}", fuzz_input(encode_frame(picture, mode, quality="low"), w, h)
        yield f"encoded-{mode}-delta-{w}x{h}", fuzz_input(encode_frame(changed, mode, previous=picture), w, h)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: python fuzz/make_seeds.py OUTDIR")
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for name, data in seeds():
        (out / f"seed-{name}").write_bytes(data)
        count += 1
    print(f"make_seeds: {count} seeds in {out}")


if __name__ == "__main__":
    main()

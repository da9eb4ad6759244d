"""Small pieces the tests share: frame headers, the end marker, integers of other kinds, seeds
that replay, random and failing frames, the screens' pixel formats and a test picture."""

import random
import zlib

import numpy as np

from framewriter import FrameWriter

# The 4-byte headers of the two modes (bytes 2..3: 444 and 422, big-endian).
H444, H422 = bytes.fromhex("000001bc"), bytes.fromhex("000001a6")
# A stream word whose first four bits are FRAME_END (code 9): 0x90000000, little-endian.
END = bytes([0, 0, 0, 0x90])


class Int(int):
    """An int subclass. Instances are never shared, so their reference counts say what a call
    did; its __index__ is never consulted (an int is taken at its value)."""

    def __index__(self):
        return 99


class Index:
    """Not an int, but has __index__; a BaseException as value is raised from __index__.
    Values above 256 are not the interpreter's shared small ints: their counts show too."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def seed_of(*parts):
    """A seed for random.Random from a test's parameters: the same in every process and on every
    CPU, so that a failure replays (hash() of a str is salted per process, and a tuple's hash
    depends on the word size)."""
    return zlib.crc32(repr(parts).encode())


def drawn_cells(mode, positions, width, height):
    """The macroblocks (col, row) inside the picture that records at these
    positions (None: the running position) draw."""
    n = 16 if mode == 422 else 8
    cols, rows = -(-width // n), -(-height // n)
    col = row = 0
    cells = set()
    for at in positions:
        if at is not None:
            col, row = at
        if col * n < width and row * n < height:
            cells.add((col, row))
        col += 1
        if col >= cols:
            col, row = 0, row + 1
            if row >= rows:
                row = 0
    return cells


def random_frame(mode, width, height, rng, records=None, end=True):
    """Random DCT and VQ records, some at explicit positions (a few beyond the
    picture); returns the writer and the records' positions."""
    n = 16 if mode == 422 else 8
    fw, nblocks, positions = FrameWriter(mode), 6 if mode == 422 else 3, []
    for _ in range(records if records is not None else rng.randint(1, 40)):
        at = None
        if rng.random() < 0.4:
            at = (rng.randrange(-(-width // n) + 2), rng.randrange(-(-height // n) + 2))
        if rng.random() < 0.5:
            fw.dct(
                [
                    [rng.randint(-500, 500)] + [rng.choice([0, 0, 0, rng.randint(-60, 60)]) for _ in range(63)]
                    for _ in range(nblocks)
                ],
                alt=rng.random() < 0.3,
                at=at,
            )
        else:
            k = rng.choice([1, 2, 4])
            fw.vq(
                [(rng.randrange(4), rng.choice([None, rng.randrange(1 << 24)])) for _ in range(k)],
                [rng.randrange(k) for _ in range(64)] if k > 1 else (),
                at=at,
            )
        positions.append(at)
    return (fw.end() if end else fw), positions


def failing_frames(mode):
    """Frames that fail the way decode_frame fails, most after drawing."""
    header = bytes(2) + mode.to_bytes(2, "big")
    drawing, _ = random_frame(mode, 60, 44, random.Random(1), records=30, end=False)
    return {
        "too short": header[:3],
        "unknown mode": bytes(2) + (1234).to_bytes(2, "big") + bytes(8),
        "too short for bitstream": header + bytes(4),
        "unknown block flag": drawing.raw(10, 4).to_bytes(),
        "block limit": random_frame(mode, 60, 44, random.Random(2), records=50, end=False)[0].to_bytes(),
        "other mode": random_frame(866 - mode, 60, 44, random.Random(4))[0].to_bytes(),
    }


# The screens' pixel formats.
FORMATS = ["RGB", "BGR", "RGBX", "BGRX", "XRGB", "XBGR", "GRAY"]


def rearranged(rgb, name):
    """An RGB picture (h, w, 3) laid out as format `name` (not GRAY)."""
    planes = {"R": rgb[..., 0], "G": rgb[..., 1], "B": rgb[..., 2], "X": np.full(rgb.shape[:2], 255, np.uint8)}
    return np.stack([planes[c] for c in name], axis=-1)


def picture(width: int, height: int, seed: int = 3) -> np.ndarray:
    """Gradients, grain, bright specks and a dark rule: small and large
    coefficients, long zero runs and busy blocks alike."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    rgb = np.stack(
        [40 + xx * 170 // max(1, width - 1), 40 + yy * 170 // max(1, height - 1), 60 + (xx * 3 + yy * 2) % 128], axis=-1
    ) + rng.normal(0, 4, (height, width, 3))
    rgb[rng.random((height, width)) < 0.02] = (230, 230, 230)
    rgb[height // 3 : height // 3 + 3, :] = (20, 20, 20)
    return np.clip(rgb, 0, 255).astype(np.uint8)


def require_extras(*needs):
    """Skips the test, with the reason, when a module or program of an optional extra is
    missing (a path is a program, a name a module); with QUORVEL_REQUIRE_EXTRAS=1 (set by CI
    where the extras install) the same is a failure instead."""
    import importlib.util
    import os

    import pytest

    missing = [n for n in needs if not (os.path.exists(n) if "/" in n else importlib.util.find_spec(n))]
    if missing:
        reason = f"needs {', '.join(missing)} (optional extras: ./dev test installs them on x86-64)"
        if os.environ.get("QUORVEL_REQUIRE_EXTRAS") == "1":
            pytest.fail(f"QUORVEL_REQUIRE_EXTRAS=1: {reason}")
        pytest.skip(reason)


def flat_frame(mode, width, height, rng, records=40):
    """VQ records, and DCT records whose blocks have a DC term alone (each block flat)."""
    n = 16 if mode == 422 else 8
    fw = FrameWriter(mode)
    for _ in range(records):
        at = None if rng.random() < 0.6 else (rng.randrange(-(-width // n) + 1), rng.randrange(-(-height // n) + 1))
        if rng.random() < 0.3:
            fw.dct(
                [[rng.randint(-400, 400)] + [0] * 63 for _ in range(6 if mode == 422 else 3)],
                alt=rng.random() < 0.5,
                at=at,
            )
            continue
        k = rng.choice([1, 2, 4])
        fw.vq(
            [(rng.randrange(4), rng.choice([None, rng.randrange(1 << 24)])) for _ in range(k)],
            [rng.randrange(k) for _ in range(64)] if k > 1 else (),
            at=at,
        )
    return fw.end().to_bytes()

"""Screen pixel formats: each is the RGB picture's bytes rearranged (with a
padding byte of 255), and GRAY is the luma term alone, checked against the
independent model in reference.py."""

import copy
import pickle
import random
from importlib import resources

import numpy as np
import pytest

from helpers import FORMATS, drawn_cells, failing_frames, random_frame, rearranged, seed_of
from quorvel._screen import Screen, _restore
from quorvel.encode import encode
from quorvel.records import inspect_frame
from reference import render

SAMPLE = resources.files("quorvel").joinpath("data", "sample-console-444.frame").read_bytes()


class Records:
    """A decoded frame's records in the form the reference model replays."""

    def __init__(self, data, width, height):
        info = inspect_frame(data, width, height, keep=True)
        self.mode = info.mode
        self.records = [
            ("dct", r.blocks, bool(r.code & 4), (r.column, r.row))
            if r.blocks is not None
            else ("vq", r.entries, r.pixel_codes or [], (r.column, r.row))
            for r in info.records
        ]


def gray_after(before, writer, positions, width, height):
    """The GRAY picture after drawing the writer's frame over `before`."""
    n = 16 if writer.mode == 422 else 8
    mask = np.zeros((height, width), dtype=bool)
    for col, row in drawn_cells(writer.mode, positions, width, height):
        mask[row * n : (row + 1) * n, col * n : (col + 1) * n] = True
    drawn = np.frombuffer(render(writer, width, height, gray=True), np.uint8).reshape(height, width)
    return np.where(mask, drawn, before)


def check_pair(rgb_screen, screen, data, gray_expected=None):
    """Applies one frame to both screens and compares the pictures."""
    rects = rgb_screen.apply(data)
    assert screen.apply(data) == rects
    picture = np.asarray(screen)
    assert screen.to_bytes() == picture.tobytes()
    if screen.pixel_format == "GRAY":
        np.testing.assert_array_equal(picture, gray_expected)
    else:
        np.testing.assert_array_equal(picture, rearranged(np.asarray(rgb_screen), screen.pixel_format))


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("name", FORMATS)
def test_random_key_and_delta_frames(name, mode):
    """A key frame and delta frames at a size with clipped macroblocks, and
    failing frames between them that must leave every format untouched."""
    width, height = 61, 45
    rng = random.Random(seed_of(name, mode))
    rgb, screen = Screen(width, height), Screen(width, height, pixel_format=name)
    gray = np.zeros((height, width), np.uint8)
    bad = failing_frames(mode)
    for step in range(6):
        fw, positions = random_frame(mode, width, height, rng, records=200 if step == 0 else rng.randint(1, 30))
        if name == "GRAY":
            gray = gray_after(gray, fw, positions, width, height)
        check_pair(rgb, screen, fw.to_bytes(), gray)
        before = screen.to_bytes()
        with pytest.raises(ValueError):
            screen.apply(bad[("unknown block flag", "block limit")[step % 2]])
        assert screen.to_bytes() == before and screen.frames_applied == step + 1


def real_frames():
    """The sample console capture, and the encoder's key and delta frames of a
    photograph-like picture in both modes."""
    rng = np.random.default_rng(4)
    yy, xx = np.mgrid[0:72, 0:100]
    picture = np.stack([xx * 2, yy * 3, (xx + yy) % 200], axis=-1) + rng.normal(0, 6, (72, 100, 3))
    picture = np.clip(picture, 0, 255).astype(np.uint8)
    changed = picture.copy()
    changed[20:40, 30:70] = rng.integers(0, 256, (20, 40, 3))
    frames = [("sample", 320, 200, [SAMPLE])]
    for mode in (444, 422):
        key = encode(picture, mode).data
        frames.append((f"encoded {mode}", 100, 72, [key, encode(changed, mode, previous=picture).data]))
    return frames


@pytest.mark.parametrize("name", FORMATS)
@pytest.mark.parametrize("case", real_frames(), ids=lambda c: c[0])
def test_real_frames(name, case):
    _, width, height, frames = case
    rgb, screen = Screen(width, height), Screen(width, height, pixel_format=name)
    gray = np.zeros((height, width), np.uint8)
    for data in frames:
        if name == "GRAY":
            records = Records(data, width, height)
            gray = gray_after(gray, records, [at for *_, at in records.records], width, height)
        check_pair(rgb, screen, data, gray)
    assert np.asarray(screen).any()


@pytest.mark.parametrize(
    "name, shape", [("RGB", (5, 9, 3)), ("BGR", (5, 9, 3)), ("XBGR", (5, 9, 4)), ("BGRX", (5, 9, 4)), ("GRAY", (5, 9))]
)
def test_buffer_shape_black_start_and_copies(name, shape):
    screen = Screen(9, 5, 444, pixel_format=name)
    view = memoryview(screen)
    assert view.shape == shape and view.readonly and view.c_contiguous
    assert view.strides == tuple(int(np.prod(shape[i + 1 :])) for i in range(len(shape)))
    black = rearranged(np.zeros((5, 9, 3), np.uint8), name) if name != "GRAY" else np.zeros(shape, np.uint8)
    assert screen.to_bytes() == black.tobytes()
    screen.apply(random_frame(444, 9, 5, random.Random(1), records=2)[0].to_bytes())
    shown = repr(screen)
    assert shown == f"<quorvel.Screen 9x5 mode 444{'' if name == 'RGB' else ' ' + name}, 1 frames applied>"
    for twin in (pickle.loads(pickle.dumps(screen)), copy.copy(screen), copy.deepcopy(screen)):
        assert (twin.pixel_format, twin.to_bytes(), twin.frames_applied) == (name, screen.to_bytes(), 1)
        assert memoryview(twin).shape == shape and repr(twin) == shown
    # A state saved without the setting (as before formats existed) is RGB.
    old = _restore(1, (9, 5, 444, bytes(135), 3, {}))
    assert old.pixel_format == "RGB" and old.frames_applied == 3
    # The picture's size follows the format: an RGB-sized picture fits only the 3-byte formats.
    if len(shape) == 3 and shape[2] == 3:
        assert _restore(1, (9, 5, 444, bytes(135), 0, {"pixel_format": name})).pixel_format == name
    else:
        with pytest.raises(ValueError, match="bytes of pixels"):
            _restore(1, (9, 5, 444, bytes(135), 0, {"pixel_format": name}))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: Screen(8, 8, pixel_format="rgb"),
            ValueError,
            "pixel_format must be one of 'RGB', 'BGR', 'RGBX', 'BGRX', 'XRGB', 'XBGR', 'GRAY', 'I420' or 'I444', not 'rgb'",
        ),
        (lambda: Screen(8, 8, pixel_format="RGBA"), ValueError, None),
        (lambda: Screen(8, 8, pixel_format="GREY"), ValueError, None),
        (lambda: Screen(8, 8, pixel_format=b"RGB"), TypeError, "argument 'pixel_format': must be str, not 'bytes'"),
        (lambda: Screen(8, 8, pixel_format=None), TypeError, "argument 'pixel_format': must be str, not 'NoneType'"),
        (
            lambda: Screen(8, 8, None, "RGB"),
            TypeError,
            "Screen() takes from 2 to 3 positional arguments but 4 were given",
        ),
        # 3 * 2^61 bytes would fit in 63 bits, 4 * 2^61 do not.
        (
            lambda: Screen(2**61, 1, pixel_format="XRGB"),
            OverflowError,
            "a screen of 2305843009213693952x1 pixels is too large",
        ),
    ],
)
def test_bad_pixel_formats(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message is None or str(raised.value) == message


def test_pixel_format_is_read_only():
    screen = Screen(4, 4, pixel_format="GRAY")
    with pytest.raises(AttributeError):
        screen.pixel_format = "RGB"
    assert Screen(4, 4).pixel_format == "RGB"

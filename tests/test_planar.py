"""Screen(pixel_format="I420" or "I444"): the decoder's own Y, Cb and Cr samples, checked against
the independent model in reference.py and against screens of the converted formats fed the same
frames.

The relation that defines them, at every scale: the decoder's colour conversion of an I444 picture
is the RGB picture byte for byte (and GRAY its luma term); I420 is I444 with each chroma plane's
2x2 squares averaged, halves up, over the samples that exist at an odd edge.
"""

import copy
import pickle
import random

import numpy as np
import pytest

from helpers import drawn_cells, failing_frames, flat_frame, random_frame, seed_of
from quorvel._picture import box_filter
from quorvel._screen import Screen
from reference import luma_term, render, ycbcr_to_rgb

PLANAR = ["I420", "I444"]
SCALES = [1, 2, 4, 8]
SIZES = [(64, 48), (61, 45), (13, 9)]
BLACK = (16, 128, 128)


def planes(screen):
    return [np.asarray(p) for p in screen.planes()]


def check_relation(screens):
    """The planar screens against the RGB and GRAY ones, and their layout; returns I444's samples."""
    y, cb, cr = planes(screens["I444"])
    assert np.array_equal(ycbcr_to_rgb(y, cb, cr), np.asarray(screens["RGB"]))
    assert np.array_equal(luma_term(y), np.asarray(screens["GRAY"]))
    quarter = planes(screens["I420"])
    assert [p.shape for p in quarter] == [y.shape] + [(-(-y.shape[0] // 2), -(-y.shape[1] // 2))] * 2
    assert np.array_equal(quarter[0], y)
    assert np.array_equal(quarter[1], box_filter(cb, 2)) and np.array_equal(quarter[2], box_filter(cr, 2))
    for name in PLANAR:
        data = screens[name].to_bytes()
        assert data == bytes(memoryview(screens[name])) == b"".join(p.tobytes() for p in planes(screens[name]))
    return np.stack([y, cb, cr], -1)


def make_screens(width, height, mode, scale):
    # The planar screens draw on two threads (the worker keeps their journal), the others on one.
    return {
        name: Screen(width, height, mode, pixel_format=name, scale=scale, threads=2 if name in PLANAR else 1)
        for name in ["RGB", "GRAY", *PLANAR]
    }


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("size", SIZES, ids=lambda s: "%dx%d" % s)
def test_random_key_and_delta_frames(size, mode, scale):
    """A key frame, delta frames and failing frames between them. At full size the samples are
    the model's exactly; at every scale the relation holds and a failing frame changes nothing."""
    width, height = size
    rng = random.Random(seed_of(size, mode, scale))
    screens = make_screens(width, height, mode, scale)
    model = np.empty((height, width, 3), np.uint8)
    model[...] = BLACK
    samples = check_relation(screens)  # black before the first frame
    assert (samples == BLACK).all()
    for step in range(6):
        fw, positions = random_frame(mode, width, height, rng, records=200 if step == 0 else rng.randint(1, 30))
        rects = {name: screen.apply(fw.to_bytes()) for name, screen in screens.items()}
        assert all(r == rects["RGB"] for r in rects.values())
        samples = check_relation(screens)
        if scale == 1:
            mask = np.zeros((height, width, 1), bool)
            n = 16 if mode == 422 else 8
            for col, row in drawn_cells(mode, positions, width, height):
                mask[row * n : (row + 1) * n, col * n : (col + 1) * n] = True
            drawn = np.frombuffer(render(fw, width, height, samples=True), np.uint8).reshape(height, width, 3)
            model = np.where(mask, drawn, model)
            assert np.array_equal(samples, model)
        for data in rng.sample(list(failing_frames(mode).values()), 2):
            before = {name: screen.to_bytes() for name, screen in screens.items()}
            for screen in screens.values():
                with pytest.raises(ValueError):
                    screen.apply(data)
            assert all(screen.to_bytes() == before[name] for name, screen in screens.items())


@pytest.mark.parametrize("scale", SCALES[1:])
@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("size", SIZES, ids=lambda s: "%dx%d" % s)
def test_thumbnail_samples_are_the_means(size, mode, scale):
    """Over VQ records and flat DCT blocks a thumbnail's samples are exactly the means of the
    full picture's (so its RGB is their conversion), and I420 at 1/8 in mode 444, where a
    macroblock is one pixel, keeps each 2x2 exact however the frames split it."""
    rng = random.Random(seed_of(size, mode, scale, "means"))
    full = Screen(*size, mode, pixel_format="I444")
    screens = make_screens(*size, mode, scale)
    for _ in range(5):
        data = flat_frame(mode, *size, rng)
        full.apply(data)
        for screen in screens.values():
            screen.apply(data)
        samples = check_relation(screens)
        assert np.array_equal(samples, box_filter(np.stack(planes(full), -1), scale))


@pytest.mark.parametrize("name", PLANAR)
@pytest.mark.parametrize("scale", [1, 8])
def test_pickling_and_restoring_carry_on_exactly(name, scale):
    """A copy carries on as the original does, mode 444 at 1/8 in I420 too, whose full-resolution
    chroma is not in its picture; the state keeps the format and the scale."""
    width, height = 61, 45
    rng = random.Random(7)
    screen = Screen(width, height, pixel_format=name, scale=scale)
    screen.apply(random_frame(444, width, height, rng, records=200)[0].to_bytes())
    copies = [pickle.loads(pickle.dumps(screen)), copy.copy(screen), copy.deepcopy(screen)]
    for other in copies:
        assert (other.pixel_format, other.scale, other.to_bytes()) == (name, scale, screen.to_bytes())
    for _ in range(3):
        data = random_frame(444, width, height, rng)[0].to_bytes()
        screen.apply(data)
        for other in copies:
            other.apply(data)
            assert other.to_bytes() == screen.to_bytes()


@pytest.mark.parametrize(
    ("name", "shapes"),
    [("I420", [(5, 7), (3, 4), (3, 4)]), ("I444", [(5, 7)] * 3), ("RGB", [(5, 7, 3)]), ("GRAY", [(5, 7)])],
)
def test_planes_are_views_of_the_picture(name, shapes):
    screen = Screen(7, 5, pixel_format=name)
    views = screen.planes()
    assert [v.shape for v in views] == shapes
    assert all(v.readonly and v.format == "B" for v in views)
    whole = memoryview(screen)
    if len(views) == 3:
        assert whole.shape == (sum(a * b for a, b in shapes),)
        assert [np.asarray(v).tolist() for v in views] == [
            [[c] * b for _ in range(a)] for c, (a, b) in zip(BLACK, shapes)
        ]
        assert [v.nbytes for v in Screen(5, 0, pixel_format=name).planes()] == [0, 0, 0]  # no plane to shape
    else:
        assert whole.shape == views[0].shape
    # The views follow the picture: a frame drawn after they were taken shows in them.
    screen.apply(random_frame(444, 7, 5, random.Random(3), records=10)[0].to_bytes())
    assert b"".join(bytes(v) for v in views) == screen.to_bytes()
    del screen
    assert b"".join(bytes(v) for v in views)  # each view keeps the screen alive

"""Screen(scale=...): thumbnails, measured against the box filter of the full picture.

A full-size Screen fed the same frames is the model: a thumbnail's VQ areas
and flat DCT blocks must equal the conversion of the box filter of its Y, Cb and Cr samples
exactly, its DCT areas come close to its RGB box filter (means are taken
before the colour conversion, which clamps), and it must draw where and only
where the full picture draws, in thumbnail pixels.
"""

import copy
import pickle
import random

import numpy as np
import pytest

from helpers import FORMATS, failing_frames, flat_frame, picture, random_frame, rearranged, seed_of
from quorvel._picture import box_filter, desktop, psnr
from quorvel._screen import Screen
from quorvel.encode import encode_frame
from reference import luma_term, ycbcr_to_rgb

SCALES = [2, 4, 8]
MODES = [444, 422]


def scaled(rects, scale):
    """Rectangles of the full picture in thumbnail pixels (macroblock corners divide by the scale)."""
    return [
        (x // scale, y // scale, -(-(x + w) // scale) - x // scale, -(-(y + h) // scale) - y // scale)
        for x, y, w, h in rects
    ]


def apply_both(full, thumb, data):
    """Applies a frame to both screens; checks the rectangles agree and that the thumbnail
    changed nowhere outside them. Returns (model, thumbnail) as arrays."""
    before = np.array(thumb)
    rects = thumb.apply(data)
    assert rects == scaled(full.apply(data), thumb.scale)
    after = np.asarray(thumb)
    outside = np.ones(after.shape[:2], bool)
    for x, y, w, h in rects:
        outside[y : y + h, x : x + w] = False
    assert np.array_equal(after[outside], before[outside])
    return box_filter(np.asarray(full), thumb.scale), after


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("size", [(64, 48), (61, 45), (13, 9)], ids=lambda s: "%dx%d" % s)
def test_vq_and_flat_areas_are_the_box_filter_of_the_samples_exactly(mode, scale, size):
    rng = random.Random(seed_of(mode, scale, size))
    full, thumb = Screen(*size, mode), Screen(*size, mode, scale=scale)
    samples = Screen(*size, mode, pixel_format="I444")
    assert np.asarray(thumb).shape == (-(-size[1] // scale), -(-size[0] // scale), 3)
    for _ in range(5):  # a key frame, then frames drawn over it
        data = flat_frame(mode, *size, rng)
        _, got = apply_both(full, thumb, data)
        samples.apply(data)
        means = box_filter(np.stack([np.asarray(p) for p in samples.planes()], -1), scale)
        assert np.array_equal(got, ycbcr_to_rgb(means[..., 0], means[..., 1], means[..., 2]))


def pictures(width, height):
    rng = np.random.default_rng(4)
    photo, screen = picture(width, height), desktop(width, height)
    # The same pictures with a few areas changed, for delta frames.
    changed = []
    for rgb in (photo, screen):
        rgb = rgb.copy()
        for _ in range(3):
            x, y = rng.integers(0, width - 40), rng.integers(0, height - 30)
            rgb[y : y + 30, x : x + 40] = rng.integers(0, 256, 3, dtype=np.uint8)
        changed.append(rgb)
    noise = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    return {"photo": (photo, changed[0]), "screen": (screen, changed[1]), "noise": (noise, None)}


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("quality", ["high", "low"])
def test_dct_areas_come_close_to_the_box_filter(mode, scale, quality):
    width, height = 330, 250  # partial macroblocks on the right and bottom in both modes
    for name, (key, changed) in pictures(width, height).items():
        full, thumb = Screen(width, height, mode), Screen(width, height, mode, scale=scale)
        for rgb in (key, changed):  # a key frame, then a delta frame over what it showed
            if rgb is None:
                continue
            previous = np.array(full) if full.frames_applied else None
            model, got = apply_both(full, thumb, encode_frame(rgb, mode, quality=quality, previous=previous))
            error = np.abs(model.astype(int) - got)
            assert error.mean() <= 2 and psnr(model, got) >= 30, (name, error.mean(), psnr(model, got))


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("mode", MODES)
def test_any_records_draw_where_the_full_picture_draws(mode, scale):
    """Random DCT and VQ records, some at explicit positions, some beyond the picture."""
    rng = random.Random(seed_of(mode, scale))
    full, thumb = Screen(60, 44, mode), Screen(60, 44, mode, scale=scale)
    for _ in range(8):
        apply_both(full, thumb, random_frame(mode, 60, 44, rng)[0].to_bytes())
    assert thumb.frames_applied == full.frames_applied == 8


@pytest.mark.parametrize("name", ["RGB", "XRGB"])
@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("case", list(failing_frames(444)))
def test_failing_frame_leaves_the_thumbnail_as_it_was(mode, scale, case, name):
    """Whole and clipped macroblocks journalled in three- and four-byte pixels (rows of four
    of these fill the journal's 16-byte units), put back when the frame fails."""
    thumb = Screen(60, 44, mode, scale=scale, pixel_format=name)
    thumb.apply(random_frame(mode, 60, 44, random.Random(3), records=200)[0].to_bytes())
    before = thumb.to_bytes()
    with pytest.raises(ValueError):
        thumb.apply(failing_frames(mode)[case])
    assert thumb.to_bytes() == before
    assert thumb.frames_applied == 1


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("name", FORMATS)
def test_thumbnails_in_every_pixel_format(name, scale):
    """Each colour format is the RGB thumbnail rearranged; GRAY's VQ and flat areas are the luma
    term of the box filter of the full-size Y samples exactly."""
    rng = random.Random(seed_of(name, scale))
    size = (61, 45)
    for mode in MODES:
        rgb, thumb = Screen(*size, mode, scale=scale), Screen(*size, mode, scale=scale, pixel_format=name)
        full = Screen(*size, mode, pixel_format="I444" if name == "GRAY" else name)
        frames = [flat_frame(mode, *size, rng) for _ in range(3)] + [encode_frame(picture(*size), mode)]
        for i, data in enumerate(frames):
            assert thumb.apply(data) == rgb.apply(data) == scaled(full.apply(data), scale)
            if name != "GRAY":
                assert np.array_equal(np.asarray(thumb), rearranged(np.asarray(rgb), name))
            elif i < 3:
                luma = np.asarray(full.planes()[0])
                assert np.array_equal(np.asarray(thumb), luma_term(box_filter(luma, scale)))


@pytest.mark.parametrize(
    "scale, error, message",
    [
        (3, ValueError, "scale must be 1, 2, 4 or 8, not 3"),
        (0, ValueError, "scale must be 1, 2, 4 or 8, not 0"),
        (16, ValueError, "scale must be 1, 2, 4 or 8, not 16"),
        (-2, ValueError, "scale must be 1, 2, 4 or 8, not -2"),
        (2**70, ValueError, "scale must be 1, 2, 4 or 8, not 1180591620717411303424"),
        ("2", TypeError, "argument 'scale': "),
        (2.0, TypeError, "argument 'scale': "),
    ],
)
def test_bad_scales_are_refused(scale, error, message):
    with pytest.raises(error, match="^" + message.replace("(", r"\(")):
        Screen(8, 8, scale=scale)


def test_scale_is_keyword_only_and_kept():
    with pytest.raises(TypeError, match=r"takes from 2 to 3 positional arguments but 4 were given"):
        Screen(8, 8, 444, 2)
    screen = Screen(1921, 1080, 422, scale=8)
    assert (screen.width, screen.height, screen.scale, screen.mode) == (1921, 1080, 8, 422)
    assert memoryview(screen).shape == (135, 241, 3) and len(screen.to_bytes()) == 135 * 241 * 3
    assert repr(screen) == "<quorvel.Screen 1921x1080 at 1/8 mode 422, 0 frames applied>"
    assert Screen(8, 8).scale == 1
    # The full size must be representable even when the thumbnail is small.
    with pytest.raises(OverflowError):
        Screen(2**40, 2**40, scale=8)


@pytest.mark.parametrize("scale", [1, 4])
@pytest.mark.parametrize("clone", [pickle.loads, copy.copy, copy.deepcopy], ids=["pickle", "copy", "deepcopy"])
def test_pickle_and_copy_keep_the_scale(scale, clone):
    screen = Screen(61, 45, 444, scale=scale)
    screen.apply(flat_frame(444, 61, 45, random.Random(9)))
    other = clone(pickle.dumps(screen) if clone is pickle.loads else screen)
    assert (other.scale, other.width, other.height, other.frames_applied) == (scale, 61, 45, 1)
    assert other.to_bytes() == screen.to_bytes()
    settings = screen.__reduce__()[1][1][5]
    assert settings == ({} if scale == 1 else {"scale": scale})  # full-size screens save as before

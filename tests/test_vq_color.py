"""VQ macroblocks, the colour cache, and YCbCr to RGB conversion."""

import random

import numpy as np
import pytest

from framewriter import FrameWriter
from quorvel._ast2100 import decode_frame
from reference import as_image, check, ycbcr_to_rgb


def solid(mode, entries, codes=()):
    n = 16 if mode == 422 else 8
    fw = FrameWriter(mode).vq(entries, codes).end()
    return as_image(decode_frame(fw.to_bytes(), n, n), n, n)


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize(
    "ycbcr, rgb",
    [
        ((16, 128, 128), (0, 0, 0)),
        ((235, 128, 128), (255, 255, 255)),
        ((128, 128, 128), (130, 130, 130)),
        ((0, 128, 128), (0, 0, 0)),
        ((255, 128, 128), (255, 255, 255)),
        ((81, 90, 240), (255, 0, 0)),
        ((145, 54, 34), (0, 255, 1)),
        ((41, 240, 110), (0, 0, 255)),
        ((255, 128, 0), (74, 255, 255)),
        ((0, 0, 0), (0, 135, 0)),
        ((255, 255, 255), (255, 125, 255)),
    ],
)
def test_colour_conversion(mode, ycbcr, rgb):
    y, cb, cr = ycbcr
    img = solid(mode, [(random.Random(y).randrange(4), y << 16 | cb << 8 | cr)])
    assert (img == rgb).all()


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("index, rgb", [(0, (0, 0, 0)), (1, (74, 255, 255)), (2, (130, 130, 130)), (3, (1, 255, 205))])
def test_initial_colours_in_every_call(mode, index, rgb):
    # A previous call that rewrites the whole cache leaves no trace.
    solid(mode, [(i, 0xEB8080) for i in range(4)], [0] * 64)
    assert (solid(mode, [(index, None)]) == rgb).all()


RED, GREEN, BLUE, WHITE = 0x515AF0, 0x913622, 0x29F06E, 0xEB8080
RGB = {RED: (255, 0, 0), GREEN: (0, 255, 1), BLUE: (0, 0, 255), WHITE: (255, 255, 255), "grey": (130, 130, 130)}


def painted(rgbs, codes, n):
    """The n x n picture whose 2x2 groups (n = 16) or pixels (n = 8) take rgbs[code]."""
    k = np.array(codes).reshape(8, 8).repeat(n // 8, 0).repeat(n // 8, 1)
    return np.array(rgbs, dtype=np.uint8)[k]


@pytest.mark.parametrize("mode", [444, 422])
def test_vq_pixel_codes_slots_and_cache(mode):
    n = 16 if mode == 422 else 8
    rng = random.Random(mode)
    codes4 = [rng.randrange(4) for _ in range(64)]
    codes2 = [rng.randrange(2) for _ in range(64)]
    fw = FrameWriter(mode)
    # Four slots, two of them naming the same entry; entry 2 keeps its initial grey.
    fw.vq([(3, RED), (0, GREEN), (3, None), (2, None)], codes4)
    # Two entries writing the same cache entry: both slots show the later colour.
    fw.vq([(1, BLUE), (1, WHITE)], codes2)
    # Colours written by earlier headers persist.
    fw.vq([(0, None), (3, None)], codes2, at=(0, 1))
    fw.vq([(1, None)]).end()
    img = as_image(decode_frame(fw.to_bytes(), 2 * n, 2 * n), 2 * n, 2 * n)
    assert (img[:n, :n] == painted([RGB[RED], RGB[GREEN], RGB[RED], RGB["grey"]], codes4, n)).all()
    assert (img[:n, n:] == RGB[WHITE]).all()
    assert (img[n:, :n] == painted([RGB[GREEN], RGB[RED]], codes2, n)).all()
    assert (img[n:, n:] == RGB[WHITE]).all()
    check(fw, 2 * n, 2 * n)


def test_vq_in_16x16_mode_paints_2x2_groups_and_reads_64_codes():
    # Each code paints a 2x2 group with that colour's own Y, Cb and Cr; the
    # record reads exactly 64 codes, so a DCT macroblock can follow it.
    colours = [(0x10 + 37 * i) << 16 | (0x30 + 50 * i) << 8 | (0xE0 - 45 * i) for i in range(4)]
    codes = [(i * 5 + i // 8) % 4 for i in range(64)]
    fw = FrameWriter(422).vq([(i, c) for i, c in enumerate(colours)], codes)
    fw.vq([(0, RED), (1, BLUE)], [i % 2 for i in range(64)])
    fw.dct([[20 * b - 50] + [0] * 63 for b in range(6)]).end()
    img = as_image(decode_frame(fw.to_bytes(), 32, 32), 32, 32)
    singles = [ycbcr_to_rgb(c >> 16, (c >> 8) & 255, c & 255) for c in colours]
    assert (img[:16, :16] == painted(singles, codes, 16)).all()
    assert (img[:16, 16:] == painted([RGB[RED], RGB[BLUE]], [i % 2 for i in range(64)], 16)).all()
    check(fw, 32, 32)

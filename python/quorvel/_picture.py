"""Pictures as a client shows them, how close they come to the original, and the remote-console
picture that the benchmark and the tests code (numpy, Pillow)."""

from __future__ import annotations

import functools
from collections.abc import Iterable

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw

RGB = npt.NDArray[np.uint8]


def psnr(a: RGB, b: RGB) -> float:
    """Peak signal-to-noise ratio in dB over all channels; inf for equal pictures."""
    mse = float(np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))
    return float("inf") if mse == 0 else float(10 * np.log10(255.0**2 / mse))


def draw_over(shown: RGB, decoded: RGB, positions: Iterable[tuple[int, int]], n: int) -> RGB:
    """The picture a client shows: `shown` with the n x n macroblocks at `positions` taken from `decoded`."""
    out = shown.copy()
    for col, row in positions:
        out[row * n : (row + 1) * n, col * n : (col + 1) * n] = decoded[
            row * n : (row + 1) * n, col * n : (col + 1) * n
        ]
    return out


def box_filter(picture: npt.NDArray[np.uint8], scale: int) -> npt.NDArray[np.uint8]:
    """The picture at 1/scale: each pixel the mean of a scale x scale square (halves rounded up),
    squares on the right and bottom edges averaging only the pixels inside. What a thumbnail
    approximates; works on (h, w) and (h, w, c) arrays."""
    height, width = picture.shape[:2]
    h, w = -(-height // scale), -(-width // scale)
    pad = [(0, h * scale - height), (0, w * scale - width)] + [(0, 0)] * (picture.ndim - 2)
    sums = np.pad(picture.astype(np.uint32), pad).reshape(h, scale, w, scale, *picture.shape[2:]).sum(axis=(1, 3))
    rows = np.minimum(scale, height - np.arange(h) * scale)
    cols = np.minimum(scale, width - np.arange(w) * scale)
    counts = (rows[:, None] * cols[None, :]).reshape(h, w, *[1] * (picture.ndim - 2)).astype(np.uint32)
    means: npt.NDArray[np.uint8] = ((sums + counts // 2) // counts).astype(np.uint8)
    return means


@functools.lru_cache(maxsize=4)
def desktop(width: int, height: int, seed: int = 7) -> np.ndarray:
    """A remote-console picture: a photo wallpaper, a terminal full of text and
    an application window with flat controls and gradients."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float64)
    wall = np.zeros((height, width, 3))
    for c in range(3):
        acc = np.full_like(xx, 120.0)
        for _ in range(6):
            fx, fy = rng.uniform(0.003, 0.05, 2)
            acc += rng.uniform(10, 35) * np.sin(fx * xx + fy * yy + rng.uniform(0, 6.3))
        wall[..., c] = acc
    wall += rng.normal(0, 4, wall.shape)  # film grain: photographs are not smooth
    img = Image.fromarray(np.clip(wall, 0, 255).astype(np.uint8))
    draw = ImageDraw.Draw(img)
    draw.fontmode = "1"
    # A terminal in the left third.
    tw, th = width // 3, height * 2 // 3
    draw.rectangle((40, 40, 40 + tw, 40 + th), fill=(16, 16, 16), outline=(190, 190, 190))
    words = ["root@bmc:~#", "dmesg", "|", "tail", "ipmitool", "sel", "list", "fan", "ok", "0x1f", "power", "on"]
    for i, y in enumerate(range(48, 32 + th, 14)):
        line = " ".join(words[(i * 7 + j) % len(words)] for j in range(tw // 48))
        draw.text((48, y), line, fill=(200, 200, 200) if i % 5 else (90, 255, 90))
    # An application window on the right with a gradient header and buttons.
    x0, y0 = width // 2, height // 6
    x1, y1 = width - 60, height - 80
    draw.rectangle((x0, y0, x1, y1), fill=(236, 236, 236), outline=(80, 80, 80))
    for i in range(y0, y0 + 28):
        draw.line((x0, i, x1, i), fill=(40, 80 + (i - y0) * 3, 160 + (i - y0) * 2))
    for k in range(6):
        bx = x0 + 20 + k * 110
        if bx + 90 < x1:
            draw.rectangle((bx, y1 - 50, bx + 90, y1 - 20), fill=(210, 210, 215), outline=(120, 120, 120))
            draw.text((bx + 12, y1 - 42), f"Button {k}", fill=(0, 0, 0))
    for i, y in enumerate(range(y0 + 44, y1 - 70, 16)):
        draw.text((x0 + 16, y), f"Sensor {i:02d}   {20 + (i * 37) % 60} C   OK", fill=(20, 20, 20))
    picture = np.asarray(img).copy()
    picture.flags.writeable = False  # shared by every caller (cached)
    return picture

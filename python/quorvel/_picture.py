"""Pictures as a client shows them, and how close they come to the original (numpy)."""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import numpy.typing as npt

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

"""Pictures as a client shows them, and how close they come to the original (numpy)."""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import numpy.typing as npt

RGB = npt.NDArray[np.uint8]


def psnr(a: RGB, b: RGB) -> float:
    """Peak signal-to-noise ratio in dB over all channels; inf for equal pictures."""
    mse = float(np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))
    return float("inf") if mse == 0 else float(10 * np.log10(255.0 ** 2 / mse))


def draw_over(shown: RGB, decoded: RGB, positions: Iterable[tuple[int, int]], n: int) -> RGB:
    """The picture a client shows: `shown` with the n x n macroblocks at `positions` taken from `decoded`."""
    out = shown.copy()
    for col, row in positions:
        out[row * n:(row + 1) * n, col * n:(col + 1) * n] = decoded[row * n:(row + 1) * n, col * n:(col + 1) * n]
    return out

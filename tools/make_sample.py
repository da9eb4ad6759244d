"""Makes the sample frame that ships with the package (python/quorvel/data).

Renders a small remote-console scene with Pillow (a desktop, a terminal with
text, a window with a photo-like picture), then codes it as an 8x8-mode frame:
every macroblock with at most four colours as a VQ record, every other one as a
DCT record with the primary quantisation pair. Deterministic: running it again
gives the same bytes.

    python tools/make_sample.py [OUT]
"""

import math
import sys
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from framewriter import FrameWriter  # noqa: E402

WIDTH, HEIGHT = 320, 200
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "python" / "quorvel" / "data" / "sample-console-444.frame"

# T.81 Annex K Tables K.1 (luminance) and K.2 (chrominance), and the fractions
# that give the primary quantisation pair of the 8x8 mode.
K1 = np.array([
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]).reshape(8, 8)
K2 = np.full((8, 8), 99)
K2[:4, :4] = [[17, 18, 24, 47], [18, 21, 26, 66], [24, 26, 56, 99], [47, 66, 99, 99]]
LUMA_Q = K1 * 1 // 8
CHROMA_Q = K2 * 3 // 16

# The orthonormal 8-point DCT-II matrix; C @ block @ C.T is the T.81 forward DCT.
C = np.array([[(math.sqrt(0.5) if u == 0 else 1.0) / 2 * math.cos((2 * x + 1) * u * math.pi / 16)
               for x in range(8)] for u in range(8)])


def to_ycbcr(rgb: np.ndarray) -> np.ndarray:
    """BT.601 studio range, rounded to bytes."""
    r, g, b = (rgb[..., i].astype(np.float64) for i in range(3))
    y = 16 + (65.738 * r + 129.057 * g + 25.064 * b) / 256
    cb = 128 + (-37.945 * r - 74.494 * g + 112.439 * b) / 256
    cr = 128 + (112.439 * r - 94.154 * g - 18.285 * b) / 256
    return np.clip(np.rint(np.stack([y, cb, cr], axis=-1)), 0, 255).astype(np.int64)


def render_scene() -> Image.Image:
    img = Image.new("RGB", (WIDTH, HEIGHT), (0, 96, 128))
    draw = ImageDraw.Draw(img)
    draw.fontmode = "1"  # no antialiasing: text stays two-coloured

    # A terminal window.
    draw.rectangle((8, 8, 183, 191), fill=(24, 24, 24), outline=(200, 200, 200))
    draw.rectangle((8, 8, 183, 23), fill=(200, 200, 200))
    draw.text((14, 11), "root@bmc: ~", fill=(0, 0, 0))
    lines = ["$ ipmitool chassis status", "System Power    : on", "Power Overload  : false",
             "Main Power Fault: false", "Drive Fault     : false", "Cooling/Fan Fault: false",
             "$ uptime", " 12:04:17 up 41 days", "$ _"]
    for i, line in enumerate(lines):
        draw.text((14, 32 + 16 * i), line, fill=(80, 255, 80) if line.startswith("$") else (230, 230, 230))

    # A picture window: smooth colour gradients and soft rings, like a photo.
    x0, y0, x1, y1 = 192, 40, 311, 175
    draw.rectangle((x0, y0 - 16, x1, y0 - 1), fill=(200, 200, 200))
    draw.text((x0 + 6, y0 - 13), "photo.jpg", fill=(0, 0, 0))
    yy, xx = np.mgrid[y0:y1 + 1, x0:x1 + 1].astype(np.float64)
    ring = np.cos(np.hypot(xx - 250, yy - 110) / 6.0)
    photo = np.stack([
        110 + 90 * np.sin((xx - x0) / 37.0) + 30 * ring,
        100 + 80 * np.cos((yy - y0) / 29.0) + 20 * ring,
        150 + 60 * np.sin((xx + yy) / 45.0) - 25 * ring,
    ], axis=-1)
    img.paste(Image.fromarray(np.clip(photo, 0, 255).astype(np.uint8)), (x0, y0))
    return img


def encode(img: Image.Image) -> bytes:
    ycc = to_ycbcr(np.asarray(img))
    writer = FrameWriter(mode=444)
    cache = [None] * 4  # the colours our VQ records have put in the decoder's cache
    for my in range(HEIGHT // 8):
        for mx in range(WIDTH // 8):
            block = ycc[8 * my:8 * my + 8, 8 * mx:8 * mx + 8].reshape(64, 3)
            colours = sorted({tuple(p) for p in block})
            if len(colours) <= 4:
                packed = [y << 16 | cb << 8 | cr for y, cb, cr in colours]
                count = 1 if len(packed) == 1 else (2 if len(packed) == 2 else 4)
                packed += [packed[-1]] * (count - len(packed))
                # Slot k paints from cache index k; resend a colour only when it changed.
                entries = []
                for k, colour in enumerate(packed):
                    entries.append((k, None if cache[k] == colour else colour))
                    cache[k] = colour
                index = {colour: k for k, colour in reversed(list(enumerate(packed)))}
                codes = [] if count == 1 else [index[y << 16 | cb << 8 | cr] for y, cb, cr in block]
                writer.vq(entries, codes)
            else:
                planes = []
                for component, q in ((0, LUMA_Q), (1, CHROMA_Q), (2, CHROMA_Q)):
                    samples = block[:, component].reshape(8, 8) - 128.0
                    levels = np.rint(C @ samples @ C.T / q).astype(np.int64)
                    planes.append([int(v) for v in levels.reshape(64)])
                writer.dct(planes)
    writer.end()
    return writer.to_bytes()


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUT
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(encode(render_scene()))
    print(f"wrote {out}: {out.stat().st_size} bytes, {WIDTH}x{HEIGHT}, mode 444")


if __name__ == "__main__":
    main()

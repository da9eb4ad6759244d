"""Makes the sample frame that ships with the package (python/quorvel/data).

Renders a small remote-console scene with Pillow (a desktop, a terminal with
text, a window with a photo-like picture) and codes it with the package's
encoder as an 8x8-mode key frame with the primary quantisation pair: the
macroblocks of at most four colours as VQ records, the others as DCT records.
Deterministic: running it again with the same Pillow gives the same bytes.

    python tools/make_sample.py [OUT]     (needs: pip install '.[tools]')
"""

import sys
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

from quorvel.encode import encode

WIDTH, HEIGHT = 320, 200
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "python" / "quorvel" / "data" / "sample-console-444.frame"


def render_scene() -> Image.Image:
    img = Image.new("RGB", (WIDTH, HEIGHT), (0, 96, 128))
    draw = ImageDraw.Draw(img)
    draw.fontmode = "1"  # no antialiasing: text stays two-coloured

    # A terminal window.
    draw.rectangle((8, 8, 183, 191), fill=(24, 24, 24), outline=(200, 200, 200))
    draw.rectangle((8, 8, 183, 23), fill=(200, 200, 200))
    draw.text((14, 11), "root@bmc: ~", fill=(0, 0, 0))
    lines = [
        "$ ipmitool chassis status",
        "System Power    : on",
        "Power Overload  : false",
        "Main Power Fault: false",
        "Drive Fault     : false",
        "Cooling/Fan Fault: false",
        "$ uptime",
        " 12:04:17 up 41 days",
        "$ _",
    ]
    for i, line in enumerate(lines):
        draw.text((14, 32 + 16 * i), line, fill=(80, 255, 80) if line.startswith("$") else (230, 230, 230))

    # A picture window: smooth colour gradients and soft rings, like a photo.
    x0, y0, x1, y1 = 192, 40, 311, 175
    draw.rectangle((x0, y0 - 16, x1, y0 - 1), fill=(200, 200, 200))
    draw.text((x0 + 6, y0 - 13), "photo.jpg", fill=(0, 0, 0))
    yy, xx = np.mgrid[y0 : y1 + 1, x0 : x1 + 1].astype(np.float64)
    ring = np.cos(np.hypot(xx - 250, yy - 110) / 6.0)
    photo = np.stack(
        [
            110 + 90 * np.sin((xx - x0) / 37.0) + 30 * ring,
            100 + 80 * np.cos((yy - y0) / 29.0) + 20 * ring,
            150 + 60 * np.sin((xx + yy) / 45.0) - 25 * ring,
        ],
        axis=-1,
    )
    img.paste(Image.fromarray(np.clip(photo, 0, 255).astype(np.uint8)), (x0, y0))
    return img


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUT
    out.parent.mkdir(parents=True, exist_ok=True)
    frame = encode(render_scene(), 444)
    out.write_bytes(frame.data)
    records = ", ".join(f"{name} {count}" for name, count in sorted(frame.counts.items()))
    print(f"wrote {out}: {len(frame.data)} bytes, {WIDTH}x{HEIGHT}, mode 444 ({records})")


if __name__ == "__main__":
    main()

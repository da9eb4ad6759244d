"""`python -m quorvel`: decode one frame to a PNG.

With no frame given it decodes the sample frame that ships with the package.
"""

import argparse
import sys
import time
from importlib import resources
from pathlib import Path

from . import decode_frame, decoder_version
from ._png import encode_png

SAMPLE = "sample-console-444.frame"
SAMPLE_SIZE = (320, 200)
MODES = {422: "422: 16x16 macroblocks, 4:2:0", 444: "444: 8x8 macroblocks, 4:4:4"}


def parse_size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT, e.g. 1024x768, not {text!r}") from None
    if w < 0 or h < 0:
        raise argparse.ArgumentTypeError("width and height cannot be negative")
    return w, h


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvel", description=__doc__.splitlines()[0])
    parser.add_argument("frame", nargs="?", type=Path, help="a compressed frame (default: the bundled sample)")
    parser.add_argument("--size", type=parse_size, help="picture size WIDTHxHEIGHT (required with FRAME)")
    parser.add_argument("-o", "--output", type=Path, default=Path("quorvel-sample.png"), help="PNG to write")
    args = parser.parse_args(argv)

    if args.frame is None:
        name = f"sample {SAMPLE}"
        data = resources.files("quorvel").joinpath("data", SAMPLE).read_bytes()
        width, height = args.size or SAMPLE_SIZE
    else:
        if args.size is None:
            parser.error("--size WIDTHxHEIGHT is required with a frame")
        name = str(args.frame)
        try:
            data = args.frame.read_bytes()
        except OSError as e:
            print(f"quorvel: cannot read {args.frame}: {e.strerror}", file=sys.stderr)
            return 1
        width, height = args.size

    start = time.perf_counter()
    try:
        rgb = decode_frame(data, width, height)
    except (ValueError, MemoryError) as e:
        print(f"quorvel: {name}: {e or type(e).__name__}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - start

    args.output.write_bytes(encode_png(rgb, width, height))
    mode = int.from_bytes(data[2:4], "big")
    colours = len({rgb[i:i + 3] for i in range(0, len(rgb), 3)})
    print(f"{decoder_version()}")
    print(f"decoded   {name}: {len(data)} bytes, mode {MODES.get(mode, mode)}")
    print(f"picture   {width}x{height} RGB24, {len(rgb)} bytes, {colours} distinct colours")
    print(f"time      {elapsed * 1e3:.3f} ms")
    print(f"wrote     {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The `quorvel` command: decode, encode, inspect and demonstrate frames.

    quorvel demo                                   render, encode, decode and measure a console session
    quorvel decode FRAME... | - --size WxH [-o OUT.png | -o - | --outdir DIR] [--screen]
    quorvel encode IMAGE -o FRAME [--mode 444|422] [--quality high|low] [--previous IMAGE]
    quorvel info FRAME | - --size WxH [--records]
    quorvel pack FRAME... | DIR -o s.qvr --size WxH [--fps N | --times FILE]    frames into a recording
    quorvel pack --repair s.qvr
    quorvel decode s.qvr --at SECONDS -o OUT.png | --outdir DIR; info s.qvr; play s.qvr [--speed N] [--follow]
    quorvel export s.qvr | FRAME... | DIR -o OUT.mp4|.mkv|.webm [--codec C] [--lossless | --crf N] [...]
    quorvel play FRAME... | DIR --size WxH [--scale N] [--fps N] [--paused] [--exit-after SECONDS]
    quorvel play --wall CAPTURE CAPTURE... --size WxH [--scale N] [--columns N] [...]
    quorvel scan RECORDING... | DIR... --outdir OUT [--every S] [--jobs N | --scheduler ADDR] [--classify M:F]

decode, info and scan need only the standard library; encode and demo need numpy
and Pillow (the `tools` extra); play needs pygame-ce (the `play` extra); scan on a
cluster needs distributed (the `cluster` extra). Every
failure is one line on stderr, "quorvel: <what>: <why>"; the exit status is 0 on success, 1 when something
failed and 2 for a command line that makes no sense.
"""

from __future__ import annotations

import argparse
import os
import re
import stat
import sys
import time
from collections.abc import Callable, Sequence
from importlib import resources
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn

from . import _format as fmt
from . import __version__, decode_frame, decoder_version
from ._atomic import atomic_output
from ._screen import Screen

if TYPE_CHECKING:
    from PIL.Image import Image

    from .records import FrameInfo

SAMPLE = "sample-console-444.frame"
SAMPLE_SIZE = (320, 200)
FRAME_SUFFIX = ".frame"  # what a capture folder holds: its other files are not frames
STDIN_NAME = "standard input"  # how lines name a frame that came from there
TOOLS_HINT = "pip install 'quorvel[tools]' (in a clone: pip install '.[tools]')"
BLOCK_LIMIT = "exceeded block limit without FRAME_END marker"

# Screen sizes that consoles commonly announce. A frame decoded at a --size larger than its own
# draws as many macroblocks as its own size has: when that count is one of these sizes', the
# warning names it.
CONSOLE_SIZES = (
    (640, 480), (720, 400), (800, 600), (1024, 768), (1152, 864), (1280, 720), (1280, 800), (1280, 960),
    (1280, 1024), (1360, 768), (1366, 768), (1440, 900), (1600, 900), (1600, 1200), (1680, 1050),
    (1920, 1080), (1920, 1200), (2560, 1440), (2560, 1600), (3840, 2160),
)  # fmt: skip

# Frames up to this many bytes are walked for warnings without a cheaper test first.
SMALL_FRAME = 1024

# The largest width and height that decode, info and encode take: far beyond any
# console, and it keeps a mistyped size from asking for gigabytes.
MAX_SIDE = 16384


class Failure(Exception):
    """Something the command could not do: one line on stderr, exit status 1."""


class UsageError(Failure):
    """A command line that makes no sense: one line on stderr, exit status 2."""


class WriteFailure(Failure):
    """An output that could not be written (a full disk, a read-only folder, no permission): the
    next one would fail the same way, so a run of many frames stops at the first."""


def size_problem(width: int, height: int) -> str | None:
    """Why the command does not take a picture of this size, or None."""
    if width > MAX_SIDE or height > MAX_SIDE:
        return f"width and height go up to {MAX_SIDE}"
    return None


class StandardStream(Path):
    """A lone "-" on the command line: standard input for a frame, standard output for -o. Only
    the bare "-" is one; "./-" is a file of that name, although the two compare equal as paths."""


def path_or_stream(text: str) -> Path:
    return StandardStream(text) if text == "-" else Path(text)


def parse_size(text: str) -> tuple[int, int]:
    parts = text.lower().split("x")
    if len(parts) != 2 or not all(p.isascii() and p.isdigit() for p in parts):
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT, e.g. 1024x768, not {text!r}")
    width, height = int(parts[0]), int(parts[1])
    if width == 0 or height == 0:
        raise argparse.ArgumentTypeError(f"{text}: width and height are at least 1")
    problem = size_problem(width, height)
    if problem:
        raise argparse.ArgumentTypeError(f"{text}: {problem}")
    return width, height


def _read(path: Path, what: str = "frame") -> bytes:
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        if path.is_symlink():
            raise Failure(f"cannot read {what} {path}: a link to {os.readlink(path)}, which does not exist") from None
        raise Failure(f"cannot read {what} {path}: No such file or directory") from None
    except OSError as e:
        raise Failure(f"cannot read {what} {path}: {e.strerror or e}") from None
    # A pipe or a device in a capture folder would be read until it ends, maybe never.
    if not stat.S_ISREG(mode) and not stat.S_ISDIR(mode):
        raise Failure(f"cannot read {what} {path}: not a file")
    try:
        return path.read_bytes()
    except OSError as e:
        raise Failure(f"cannot read {what} {path}: {e.strerror or e}") from None


def _read_stdin() -> bytes:
    """A frame from standard input, which must not be a terminal: nobody types a frame."""
    if sys.stdin is None or sys.stdin.isatty():
        raise Failure(f"cannot read a frame from {STDIN_NAME}: it is a terminal; pipe a frame into it")
    try:
        return sys.stdin.buffer.read()
    except OSError as e:
        raise Failure(f"cannot read a frame from {STDIN_NAME}: {e.strerror or e}") from None


def _refuse_terminal_output() -> None:
    """-o - sends a picture to standard output: not to a terminal, where it would be noise."""
    if sys.stdout is None or sys.stdout.isatty():
        raise Failure("-o - writes the picture to standard output, which is a terminal: send it to a file or a pipe")


def _write_stdout(data: bytes) -> None:
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            # The reader has gone: point the descriptor at nothing, so that the flush at exit
            # does not report the same again.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        raise WriteFailure(f"cannot write the picture to standard output: {e.strerror or e}") from None


def _write(path: Path, data: bytes) -> None:
    """Writes `data` as the file `path`, whole or not at all."""
    try:
        with atomic_output(path) as file:
            file.write(data)
    except OSError as e:
        raise WriteFailure(f"cannot write {path}: {e.strerror or e}") from None


def make_folder(path: Path) -> None:
    """Creates a folder to write into (and its parents), or says why it cannot."""
    try:
        path.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        raise Failure(f"cannot write to {path}: it is a file, not a folder") from None
    except OSError as e:
        raise Failure(f"cannot write to {path}: {e.strerror or e}") from None


def _tools() -> None:
    """numpy and Pillow, or a Failure that says how to get them."""
    try:
        import numpy  # noqa: F401
        import PIL  # noqa: F401
    except ImportError:
        raise Failure(f"this command needs numpy and Pillow: {TOOLS_HINT}") from None


def _load_picture(path: Path) -> tuple[Image, int]:
    """The picture as RGB, and how many frames the file holds (its first is taken)."""
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(path) as img:
            return img.convert("RGB"), getattr(img, "n_frames", 1)
    except UnidentifiedImageError:
        raise Failure(f"cannot read picture {path}: not a picture format Pillow knows") from None
    except (OSError, SyntaxError, ValueError, EOFError, Image.DecompressionBombError) as e:
        # What Pillow said: "image file is truncated", "broken PNG file", ...
        why = e.strerror if isinstance(e, OSError) and e.strerror else str(e) or type(e).__name__
        raise Failure(f"cannot read picture {path}: {why}") from None


# --- decode ------------------------------------------------------------------


def natural_key(name: str) -> tuple[tuple[str | int, ...], str]:
    """Sorts names as people count: the digits in a name compare as numbers, so that frame-2
    comes before frame-10. Text and numbers alternate in the same places in every key (re.split
    puts the numbers at the odd places), so a number is never compared with text; names that
    differ only in leading zeros (f01, f1) keep a fixed order by the name itself."""
    parts = re.split(r"(\d+)", name)
    return tuple(int(p) if i % 2 else p for i, p in enumerate(parts)), name


def _frames(paths: list[Path]) -> list[Path]:
    """The frame files named; a folder (a capture) stands for its .frame files, in natural order.

    Every entry named *.frame there is a frame except a folder: a link that leads nowhere, or a
    file that cannot be read, comes along and fails when its turn comes, so that a capture with a
    hole in it is reported, not shown without the missing frame."""
    files = []
    for path in paths:
        if path.is_dir():
            try:
                entries = list(path.iterdir())
            except OSError as e:
                raise Failure(f"cannot read folder {path}: {e.strerror or e}") from None
            inside = [p for p in entries if p.suffix.lower() == FRAME_SUFFIX and not p.is_dir()]
            if not inside:
                raise Failure(f"no {FRAME_SUFFIX} files in {path}")
            files.extend(sorted(inside, key=lambda p: natural_key(p.name)))
        else:
            files.append(path)
    return files


def _picture_format(path: Path) -> str | None:
    """The Pillow format that `path`'s suffix names; None for PNG, which needs no Pillow."""
    suffix = path.suffix.lower()
    if suffix in ("", ".png"):
        return None
    try:
        from PIL import Image
    except ImportError:
        raise Failure(
            f"cannot write {path}: {suffix} pictures need Pillow ({TOOLS_HINT}); .png needs nothing"
        ) from None
    name = Image.registered_extensions().get(suffix)
    if name is None or name not in Image.SAVE:
        raise Failure(f"cannot write {path}: Pillow writes no picture format named {suffix}")
    return name


def _write_picture(path: Path, rgb: bytes, width: int, height: int, picture_format: str | None) -> None:
    """Writes the picture as PNG (None), or through Pillow in the format named."""
    if picture_format is None:
        from ._png import encode_png

        if isinstance(path, StandardStream):
            _write_stdout(encode_png(rgb, width, height))
        else:
            _write(path, encode_png(rgb, width, height))
        return
    from PIL import Image

    try:
        with atomic_output(path) as file:
            Image.frombytes("RGB", (width, height), rgb).save(file, format=picture_format)
    except OSError as e:
        raise WriteFailure(f"cannot write {path}: {e.strerror or e}") from None


def _decode_failure(name: str, message: str, data: bytes, width: int, height: int) -> Failure:
    """The decoder's message, and for a frame without end what the records say about the cause:
    the data ran out (a cut frame), or the records went on past the block limit (a wrong --size)."""
    if message == BLOCK_LIMIT:
        from .records import inspect_frame

        info = inspect_frame(data, width, height)
        if info.ran_out:
            message += f" (the frame is cut after {len(data)} bytes)"
        else:
            # The frame does not carry its size: a wrong --size is the usual cause.
            message += f" (the block limit for {width}x{height} is {info.block_limit} records; is --size right?)"
    return Failure(f"{name}: {message}")


def frame_warnings(info: FrameInfo, data: bytes, *, alone: bool) -> list[str]:
    """What a frame that decoded says about a wrong result, from the walk of its records: bytes
    after its end (a second frame in the file), and for a frame drawn alone onto black, one that
    names no position yet stops before the picture's last macroblock (a --size too large)."""
    warnings = []
    if info.ended and any(data[len(data) - info.trailing_bytes :]):
        warnings.append(f"{info.trailing_bytes} bytes follow the end of the frame: two frames in one file?")
    cols, rows = info.mb_cols, info.mb_rows
    drawn = {(c, r) for c, r in info.drawn() if c < cols and r < rows}
    # A frame of records that name their position (a delta frame) draws only what changed, and
    # one of no records (nothing changed) draws nothing.
    if (
        alone
        and info.ended
        and drawn
        and (cols - 1, rows - 1) not in drawn
        and not any(r.explicit for r in info.records)
    ):
        text = f"the frame drew {len(drawn)} of {cols * rows} macroblocks"
        sizes = [
            f"{w}x{h}"
            for w, h in CONSOLE_SIZES
            if (w, h) != (info.width, info.height) and _grid_count(info.mode, w, h) == len(drawn)
        ]
        if sizes:
            text += f" (as many as {' or '.join(sizes)} has)"
        warnings.append(text + "; is --size right?")
    return warnings


def _grid_count(mode: int, width: int, height: int) -> int:
    cols, rows = fmt.macroblock_grid(mode, width, height)
    return cols * rows


def _may_warn(data: bytes, width: int, height: int, alone: bytes | None) -> bool:
    """Whether the walk of the records (a hundred times the decoder's time for a whole frame) can
    find a warning for a frame that decoded; False is certain. `alone` is the picture of a frame
    drawn alone onto black, None for one drawn over a screen.

    A size too large: a frame that drew the picture's last macroblock cannot have stopped short.
    Where that macroblock is all black it may not have been drawn: a screen's rectangles say, and
    they say more. A frame that names no position draws macroblocks 0, 1, 2, ... in rows: full
    rows from the top, then the start of one. Other rectangles (a delta frame's) need no walk.
    Bytes after the end: take `data` up to the 32-bit word that holds its last non-zero byte. The
    decoder reads zeros past the end of the data, and zeros never make FRAME_END: the shorter data
    decodes only if FRAME_END came in an earlier word, so that non-zero bytes follow its word.
    """
    if alone is not None:
        n = fmt.macroblock_size(int.from_bytes(data[2:4], "big"))
        left, top = (width - 1) // n * n, (height - 1) // n * n
        corner = b"".join(alone[(y * width + left) * 3 : (y + 1) * width * 3] for y in range(top, height))
        try:
            drew = [] if any(corner) else sorted(Screen(width, height, threads=1).apply(data), key=lambda r: r[1])
        except MemoryError:  # a second picture of that size does not fit: no size warning then
            drew = []
        if drew:
            rows_from_top = all(x == 0 for x, _, _, _ in drew) and all(
                y == (drew[i - 1][1] + drew[i - 1][3] if i else 0) and (w == width or i == len(drew) - 1)
                for i, (_, y, w, _) in enumerate(drew)
            )
            if rows_from_top and not any(x + w >= width and y + h >= height for x, y, w, h in drew):
                return True
    last = len(data.rstrip(b"\0")) - 1
    if last < 8:  # no non-zero byte after the header's and the first word's
        return False
    # The shorter data that fails reads zeros up to the block limit (5 to 20 ms at 1024x768),
    # while the walk takes some 4 us a byte: a small frame, a delta frame, is walked at once.
    if len(data) <= SMALL_FRAME:
        return True
    cut = 4 + (last - 4) // 4 * 4
    try:
        # Padded with zeros, as the decoder reads past the end, to the twelve bytes it needs.
        decode_frame(data[:cut] + bytes(max(0, 12 - cut)), width, height)
    except (ValueError, MemoryError):
        return False
    return True


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, total: int):
        self.total, self.live = total, total > 1 and sys.stderr.isatty()

    def show(self, done: int, name: str) -> None:
        if self.live:
            filled = 30 * done // self.total
            sys.stderr.write(f"\r[{'#' * filled}{' ' * (30 - filled)}] {done}/{self.total} {name[:40]:<40}")
            sys.stderr.flush()

    def close(self) -> None:
        if self.live:
            sys.stderr.write("\r" + " " * 80 + "\r")
            sys.stderr.flush()


def _recording_given(paths: list[Path]) -> bool:
    from ._recordings_cli import is_recording

    return any(is_recording(p) for p in paths)


def cmd_decode(args: argparse.Namespace) -> int:
    if _recording_given(args.frames):
        from ._recordings_cli import cmd_decode as decode_recording

        return decode_recording(args)
    if args.at is not None:
        raise UsageError("--at is a time in a recording: it goes with a .qvr file, not with frames")
    # (name, the frame's data or file, or None for standard input, the picture to write)
    jobs: list[tuple[str, bytes | Path | None, Path]]
    if not args.frames:
        if args.size is not None and args.size != SAMPLE_SIZE:
            raise UsageError(
                f"--size goes with FRAME; the sample frame that ships with the package is "
                f"{SAMPLE_SIZE[0]}x{SAMPLE_SIZE[1]}"
            )
        data = resources.files("quorvel").joinpath("data", SAMPLE).read_bytes()
        jobs = [(f"sample {SAMPLE}", data, args.output or Path("quorvel-sample.png"))]
        width, height = SAMPLE_SIZE
    else:
        if args.size is None:
            raise UsageError("--size WIDTHxHEIGHT is required with a frame, which does not carry its size")
        width, height = args.size
        stdin = any(isinstance(f, StandardStream) for f in args.frames)
        if stdin:
            if len(args.frames) > 1:
                raise UsageError(f"- reads one frame from {STDIN_NAME}: it goes alone")
            if not args.output:
                raise UsageError(f"a frame from {STDIN_NAME} needs -o OUT.png (-o - for standard output)")
        files = [] if stdin else _frames(args.frames)
        if stdin:
            jobs = [(STDIN_NAME, None, args.output)]
        elif len(files) > 1 and args.output:
            raise Failure(f"{len(files)} frames: use --outdir DIR, not -o")
        else:
            if args.output:
                outputs = [args.output]
            else:
                outdir = args.outdir or Path(".")
                outputs = [outdir / (f.stem + ".png") for f in files]
                if len(set(outputs)) < len(outputs):
                    raise Failure("two frames have the same name; their PNGs would overwrite each other")
            jobs = [(str(f), f, out) for f, out in zip(files, outputs)]
    to_stdout = isinstance(args.output, StandardStream)
    if to_stdout:
        _refuse_terminal_output()
    # A suffix no writer knows is refused before anything is decoded.
    picture_format = _picture_format(args.output) if args.output and not to_stdout else None
    if args.outdir:
        make_folder(args.outdir)

    progress, failed, total_time, total_bytes = Progress(len(jobs)), 0, 0.0, 0
    decoded, written, stopped = 0, 0, False
    # With --screen every frame is drawn over what the frames before it left; a
    # frame that fails leaves the screen as it was.
    try:
        screen = Screen(width, height) if args.screen else None
    except MemoryError:
        raise Failure(f"cannot make a {width}x{height} screen: not enough memory") from None
    for done, (name, source, output) in enumerate(jobs):
        progress.show(done, name)
        try:
            data = source if isinstance(source, bytes) else _read_stdin() if source is None else _read(source)
            start = time.perf_counter()
            try:
                if screen is not None:
                    screen.apply(data)
                    rgb = screen.to_bytes()
                else:
                    rgb = decode_frame(data, width, height)
            except ValueError as e:
                raise _decode_failure(name, str(e), data, width, height) from None
            except MemoryError as e:
                raise Failure(f"{name}: {e or 'not enough memory for the picture'}") from None
            total_time += time.perf_counter() - start
            total_bytes += len(data)
            decoded += 1
            if _may_warn(data, width, height, None if screen is not None else rgb):
                from .records import inspect_frame

                for warning in frame_warnings(inspect_frame(data, width, height), data, alone=screen is None):
                    progress.close()
                    print(f"quorvel: warning: {name}: {warning}", file=sys.stderr)
            try:
                _write_picture(output, rgb, width, height, picture_format)
            except MemoryError:
                raise WriteFailure(
                    f"cannot write {output}: not enough memory to encode a {width}x{height} picture"
                ) from None
            written += 1
        except Failure as e:
            progress.close()
            print(f"quorvel: {e}", file=sys.stderr)
            failed += 1
            if isinstance(e, WriteFailure):
                # The next picture would meet the same full disk or read-only folder.
                stopped = True
                break
            continue
        if len(jobs) == 1 and not to_stdout:  # standard output carries the picture alone
            mode = int.from_bytes(data[2:4], "big")
            colours = len(set(rgb[i : i + 3] for i in range(0, len(rgb), 3)))
            print(f"decoded   {name}: {len(data)} bytes, mode {mode} ({fmt.MODE_TEXT[mode]})")
            print(f"picture   {width}x{height} RGB24, {len(rgb)} bytes, {colours} distinct colours")
            print(f"time      {total_time * 1e3:.3f} ms")
            print(f"wrote     {output}")
    progress.close()
    if len(jobs) > 1:
        print(
            f"decoded {decoded} of {len(jobs)} frames ({total_bytes} bytes) in {total_time * 1e3:.1f} ms; "
            f"wrote {written} PNG{'' if written == 1 else 's'} to {args.outdir or Path('.')}"
            + ("; stopped at the first picture that could not be written" if stopped else "")
        )
    return 1 if failed else 0


# --- encode ------------------------------------------------------------------


def cmd_encode(args: argparse.Namespace) -> int:
    _tools()
    import numpy as np

    from ._picture import draw_over, psnr
    from .encode import encode

    loaded, frames = _load_picture(args.image)
    picture = np.asarray(loaded)
    height, width = picture.shape[:2]
    problem = size_problem(width, height)
    if problem:
        raise Failure(f"cannot encode {args.image}: it is {width}x{height}; {problem}")
    previous = None
    if args.previous:
        before, _ = _load_picture(args.previous)
        previous = np.asarray(before)
        if previous.shape != picture.shape:
            raise Failure(
                f"{args.previous} is {previous.shape[1]}x{previous.shape[0]}, {args.image} is {width}x{height}"
            )
    start = time.perf_counter()
    frame = encode(picture, args.mode, quality=args.quality, previous=previous)
    elapsed = time.perf_counter() - start
    _write(args.output, frame.data)

    decoded = np.frombuffer(decode_frame(frame.data, width, height), dtype=np.uint8).reshape(height, width, 3)
    n = fmt.macroblock_size(args.mode)
    if previous is not None:
        decoded = draw_over(previous, decoded, zip(frame.columns.tolist(), frame.rows.tolist()), n)
    quality = psnr(picture, decoded)
    cols, rows = fmt.macroblock_grid(args.mode, width, height)
    records = ", ".join(f"{name} {count}" for name, count in sorted(frame.counts.items()))
    print(
        f"encoded   {args.image}: {width}x{height}, mode {args.mode} ({fmt.MODE_TEXT[args.mode]}), "
        f"quality {args.quality}"
    )
    if frames > 1:
        print(f"note      {args.image} holds {frames} frames; this is the first of them")
    sent = f"{len(frame.codes)} of {cols * rows} macroblocks"
    if previous is not None:
        sent += f", those that changed; {frame.explicit} name their position"
    print(f"records   {sent}")
    if records:
        print(f"kinds     {records}")
    print(f"frame     {len(frame.data)} bytes, {len(frame.data) * 8 / max(1, width * height):.3f} bits per pixel")
    against = (
        "the picture shown (decoded, drawn over the previous one)" if previous is not None else "the decoded picture"
    )
    if quality == float("inf"):
        print(f"PSNR      exact: {against} equals the original")
    else:
        print(f"PSNR      {quality:.2f} dB, {against} against the original")
    print(f"time      {elapsed * 1e3:.1f} ms")
    print(f"wrote     {args.output}")
    return 0


# --- info --------------------------------------------------------------------


def cmd_info(args: argparse.Namespace) -> int:
    from .records import inspect_frame

    if _recording_given([args.frame]):
        from ._recordings_cli import cmd_info as info_recording

        return info_recording(args)
    if args.size is None:
        raise UsageError("--size WIDTHxHEIGHT is required with a frame, which does not carry its size")
    data, name = (
        (_read_stdin(), STDIN_NAME) if isinstance(args.frame, StandardStream) else (_read(args.frame), str(args.frame))
    )
    width, height = args.size
    try:
        info = inspect_frame(data, width, height, keep=False)
    except ValueError as e:
        raise Failure(f"{name}: {e}") from None
    n = info.macroblock_size
    print(f"frame     {name}: {len(data)} bytes, {info.stream_bits} bits after the header")
    print(f"header    {info.header.hex(' ')}: mode {info.mode} ({fmt.MODE_TEXT[info.mode]})")
    print(
        f"picture   {width}x{height}: {info.mb_cols}x{info.mb_rows} macroblocks of {n}x{n}, "
        f"block limit {info.block_limit}"
    )
    records = info.records
    print(f"records   {len(records)} macroblocks" + (" before FRAME_END" if info.ended else ""))
    by_code: dict[int, list[int]] = {}
    for r in records:
        by_code.setdefault(r.code, []).append(r.bits)
    for code in sorted(by_code):
        bits = by_code[code]
        print(
            f"  {fmt.CODE_NAMES[code]:<11}{len(bits):>7}   {sum(bits) / len(bits):8.1f} bits each"
            f"   {sum(bits):>10} bits in all"
        )
    if records:
        total = sum(r.bits for r in records)
        print(f"  {'all':<11}{len(records):>7}   {total / len(records):8.1f} bits each   {total:>10} bits in all")
    explicit = [r for r in records if r.explicit]
    listed = ", ".join(f"({r.column},{r.row})" for r in explicit[:6]) + (", ..." if len(explicit) > 6 else "")
    print(f"explicit  {len(explicit)} records name their position" + (f": {listed}" if explicit else ""))
    vq = [r for r in records if r.code in fmt.VQ_CODES]
    if vq:
        new = sum(r.new_colours for r in vq)
        print(f"colours   {new} new colour{'' if new == 1 else 's'} into the VQ cache")
    inside = {(c, r) for c, r in info.drawn() if c < info.mb_cols and r < info.mb_rows}
    print(f"drawn     {len(inside)} of {info.mb_cols * info.mb_rows} macroblocks")
    if info.ended:
        print(
            f"end       FRAME_END at bit {info.end_offset - 4 if info.end_offset else 0}; "
            f"{info.trailing_bytes} bytes follow its word"
        )
    if args.records:
        print()
        print(f"{'record':>7} {'code':<11}{'column':>7}{'row':>5}{'bit':>10}{'bits':>7}")
        for i, r in enumerate(records):
            print(f"{i:>7} {r.name:<11}{r.column:>7}{r.row:>5}{r.offset:>10}{r.bits:>7}")
    if info.error:
        if info.ran_out:
            raise Failure(f"{name}: {info.error} (the frame is cut after {len(data)} bytes)")
        count = f"{len(records)} record{'' if len(records) == 1 else 's'}"
        raise Failure(f"{name}: {info.error} (the stream fails after {count})")
    for warning in frame_warnings(info, data, alone=True):
        print(f"quorvel: warning: {name}: {warning}", file=sys.stderr)
    return 0


# --- demo --------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    _tools()
    from . import demo

    if args.play:
        _play_toolkit()
    make_folder(args.outdir)
    try:
        status = demo.run(args.outdir)
    except OSError as e:
        raise Failure(f"cannot write to {args.outdir}: {e.strerror or e}") from None
    if args.play:
        # Slowly enough to see each step of the session.
        status |= _play([demo.frame_paths(args.outdir)], demo.WIDTH, demo.HEIGHT, fps=2.0)
    return status


# --- play --------------------------------------------------------------------


def _play_toolkit() -> None:
    from .play import PlayError, check_toolkit

    try:
        check_toolkit()
    except PlayError as e:
        raise Failure(f"play: {e}") from None


def _play(
    captures: list[list[Path]],
    width: int,
    height: int,
    *,
    fps: float,
    paused: bool = False,
    exit_after: float | None = None,
    scale: int = 1,
    columns: int | None = None,
) -> int:
    """Plays one capture (a list of frame files) onto a Screen, or several side by side."""
    import math

    from .play import Playback, PlayError, Wall, play

    def reader(path: Path) -> Callable[[], bytes]:
        def read() -> bytes:
            try:
                return path.read_bytes()
            except OSError as e:
                raise ValueError(f"cannot read it: {e.strerror or e}") from None

        return read

    def describe(name: str, message: str, data: bytes) -> str:
        return str(_decode_failure(name, message, data, width, height))

    playbacks = []
    for files in captures:
        try:
            screen = Screen(width, height, scale=scale)
        except MemoryError:
            raise Failure(f"play: cannot make a {width}x{height} screen: not enough memory") from None
        playbacks.append(Playback(screen, [(str(f), reader(f)) for f in files], describe))
    if columns is None:
        columns = math.ceil(math.sqrt(len(playbacks)))
    wall = Wall(playbacks, columns=columns, gap=4 if len(playbacks) > 1 else 0)
    try:
        return play(wall, fps=fps, paused=paused, exit_after=exit_after)
    except PlayError as e:
        raise Failure(f"play: {e}") from None


def cmd_play(args: argparse.Namespace) -> int:
    if _recording_given(args.frames):
        from ._recordings_cli import cmd_play as play_recording

        return play_recording(args)
    if args.speed != 1.0 or args.follow:
        raise UsageError("--speed and --follow play a recording (.qvr), not frames: use --fps")
    if args.size is None:
        raise UsageError("--size WIDTHxHEIGHT is required with frames, which do not carry their size")
    if args.fps is None:
        args.fps = 10.0
    # Written so that NaN fails them too: it would make the player's clock spin.
    if not 0 < args.fps <= 1000:
        raise UsageError(f"--fps is a number of frames a second above 0 and up to 1000, not {args.fps:g}")
    if args.exit_after is not None and not args.exit_after >= 0:
        raise UsageError(f"--exit-after is a number of seconds, 0 or more, not {args.exit_after:g}")
    if args.columns is not None and not args.wall:
        raise UsageError("--columns lays out a wall: it goes with --wall")
    if args.columns is not None and args.columns < 1:
        raise UsageError(f"--columns is a number of pictures a row, at least 1, not {args.columns}")
    width, height = args.size
    # With --wall each argument is a capture of its own: a folder, or a single frame.
    captures = [_frames([path]) for path in args.frames] if args.wall else [_frames(args.frames)]
    _play_toolkit()
    return _play(
        captures,
        width,
        height,
        fps=args.fps,
        paused=args.paused,
        exit_after=args.exit_after,
        scale=args.scale,
        columns=args.columns,
    )


# --- scan --------------------------------------------------------------------

CLUSTER_HINT = "pip install 'quorvel[cluster]'"


def cmd_scan(args: argparse.Namespace) -> int:
    from . import _scan

    address = args.scheduler
    if address is None and args.jobs is None:
        address = os.environ.get("DASK_SCHEDULER_ADDRESS") or None
    if address is not None and args.jobs is not None:
        raise UsageError("--jobs sets the local worker processes: it does not go with --scheduler")
    # The classifier's module may sit in the current folder, as with `python -m`.
    if args.classify:
        try:
            _scan.load_classifier(args.classify, os.getcwd())
        except _scan.ScanUsageError as e:
            raise UsageError(str(e)) from None
    client = None
    if address is not None:
        try:
            import distributed  # noqa: F401
        except ImportError:
            raise Failure(f"scan: --scheduler needs distributed: {CLUSTER_HINT}") from None
        try:
            client = _scan.connect(address)
        except (OSError, TimeoutError, ValueError) as e:
            why = " ".join(str(e).split()) or type(e).__name__
            raise Failure(f"scan: cannot reach the scheduler at {address}: {why}") from None
    bar: Progress | None = None

    scanned = 0

    def progress(done: int, total: int, name: str) -> None:
        nonlocal bar, scanned
        scanned += 1
        if bar is None:
            bar = Progress(total)
        bar.show(done, name)

    start = time.monotonic()
    try:
        entries = _scan.scan(
            args.recordings,
            args.outdir,
            client=client,
            jobs=args.jobs,
            every=args.every,
            classify=args.classify,
            force=args.force,
            progress=progress,
        )
    except _scan.ScanUsageError as e:
        raise UsageError(str(e)) from None
    except FileNotFoundError as e:
        raise Failure(f"scan: {e.args[0] if e.args else e}") from None
    except OSError as e:
        raise Failure(f"scan: cannot write to {args.outdir}: {e.strerror or e}") from None
    finally:
        if bar is not None:
            bar.close()
        if client is not None:
            client.close()
    elapsed = time.monotonic() - start
    failed = [e for e in entries if "error" in e]
    for entry in failed:
        print(f"quorvel: scan: {entry['path']}: {entry['error']}", file=sys.stderr)
    count = f"{len(entries)} recording{'' if len(entries) == 1 else 's'}"
    print(f"scanned   {count} in {elapsed:.1f} s: {len(entries) - len(failed)} read, {len(failed)} failed")
    if scanned < len(entries):
        print(
            f"skipped   {len(entries) - scanned} unchanged since the last scan into {args.outdir} (--force redoes them)"
        )
    print(f"wrote     {args.outdir / 'index.html'}, summary.json and summary.csv")
    return 1 if failed else 0


def _every(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, not {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"a number of seconds above 0, not {text}")
    return value


def _cmd_export(args: argparse.Namespace) -> int:
    from ._export_cli import cmd_export

    return cmd_export(args)


def _cmd_pack(args: argparse.Namespace) -> int:
    from ._recordings_cli import cmd_pack

    return cmd_pack(args)


# --- bench -------------------------------------------------------------------


def cmd_bench(args: argparse.Namespace) -> int:
    _tools()
    try:
        import simplejpeg  # noqa: F401
    except ImportError:
        raise Failure(
            "the benchmark needs simplejpeg: run ./dev bench in a clone, or pip install '.[bench]' there"
        ) from None
    from . import _bench

    return _bench.main(["--rounds", str(args.rounds)])


# --- main --------------------------------------------------------------------


class Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, with a pointer to --help, and exits with status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"quorvel: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="quorvel",
        description="Decode, encode and inspect the video that a family of baseboard management "
        "controllers (BMCs, the chips that give a server its remote console) sends to its clients.",
        epilog="Run 'quorvel COMMAND --help' for the options of a command. Exit status: 0 when all went "
        "well, 1 when something failed (one line on stderr says what), 2 for a usage error.",
    )
    parser.add_argument("--version", action="version", version=f"quorvel {__version__}, decoder {decoder_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)

    p = sub.add_parser(
        "demo",
        help="render a console session, encode, decode and measure it",
        description="Renders a remote-console session (a text console, a photo viewer, a mouse "
        "pointer), encodes a key frame and delta frames for typing, the pointer and a "
        "dragged window, decodes them and prints per-frame figures. Writes the frames, "
        "their PNGs and an animated PNG of the sequence.",
    )
    p.add_argument("--outdir", type=Path, default=Path("quorvel-demo"), help="where to write (default: %(default)s)")
    p.add_argument(
        "--play",
        action="store_true",
        help="then play the session in a window, two frames a second (needs the play extra)",
    )
    p.set_defaults(run=cmd_demo)

    p = sub.add_parser(
        "decode",
        help="decode frames to PNG",
        description="Decodes compressed frames to PNG pictures. A frame does not carry its size: "
        "--size is the one the connection that carried it announced. With no FRAME "
        "it decodes the sample frame that ships with the package (320x200).",
    )
    p.add_argument(
        "frames",
        nargs="*",
        type=path_or_stream,
        metavar="FRAME",
        help=f"a frame file, or a folder (a capture) standing for its *{FRAME_SUFFIX} files, decoded in natural "
        "order (frame-2 before frame-10); - reads one frame from standard input",
    )
    p.add_argument(
        "--size",
        type=parse_size,
        metavar="WxH",
        help="picture size, e.g. 1024x768 (required with FRAME, not with a recording)",
    )
    p.add_argument(
        "--at",
        type=float,
        metavar="SECONDS",
        help="with a recording (.qvr): the picture shown that many seconds in, written with -o",
    )
    out = p.add_mutually_exclusive_group()
    out.add_argument(
        "-o",
        "--output",
        type=path_or_stream,
        metavar="OUT.png",
        help="the picture to write, for one frame: PNG, or with Pillow installed any format "
        "it writes, as the suffix says (.jpg, .webp, ...); - writes the PNG to standard output",
    )
    out.add_argument(
        "--outdir",
        type=Path,
        metavar="DIR",
        help="folder for the PNGs, one per frame, named after it (default: the current folder)",
    )
    p.add_argument(
        "--screen",
        "--composite",
        dest="screen",
        action="store_true",
        help="apply the frames in order to one screen, each drawn over the picture the frames before "
        "it left, as a client shows a key frame and its delta frames; each PNG shows the screen "
        "after its frame",
    )
    p.set_defaults(run=cmd_decode)

    p = sub.add_parser(
        "encode",
        help="encode a picture as a frame",
        description="Encodes a picture (any format Pillow reads) as one compressed frame. "
        "Macroblocks of at most four colours become VQ records, the others DCT records.",
    )
    p.add_argument("image", type=Path, metavar="IMAGE", help="the picture to encode")
    p.add_argument("-o", "--output", type=Path, required=True, metavar="FRAME", help="the frame file to write")
    p.add_argument(
        "--mode",
        type=int,
        choices=fmt.MODES,
        default=444,
        help="444: 8x8 macroblocks, full colour (default); 422: 16x16 macroblocks, colour halved",
    )
    p.add_argument(
        "--quality",
        choices=("high", "low"),
        default="high",
        help="high: the primary quantisation pair (default); low: the coarser alternative pair",
    )
    p.add_argument(
        "--previous",
        type=Path,
        metavar="IMAGE",
        help="the picture the client shows now: send only the macroblocks that differ from it",
    )
    p.set_defaults(run=cmd_encode)

    p = sub.add_parser(
        "info",
        help="say what a frame or a recording holds",
        description="Walks the records of a frame without decoding pixels: header, mode, records "
        "by block code, bits per macroblock, explicit positions, the end marker.",
    )
    p.add_argument(
        "frame",
        type=path_or_stream,
        metavar="FRAME",
        help="the frame file (- reads it from standard input), or a recording (.qvr): its duration, frames, "
        "sizes, refused frames, metadata",
    )
    p.add_argument("--size", type=parse_size, metavar="WxH", help="picture size, e.g. 1024x768 (required with a frame)")
    p.add_argument("--records", action="store_true", help="also list every record")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser(
        "pack",
        help="make a recording of frames",
        description="Makes a recording (one .qvr file: each frame's bytes as they are, with its time and "
        "size) of frames in natural order; frames the decoder refuses are kept and counted. "
        "Recordings whose size changes come from the Python API (quorvel.Recording). "
        "With --repair, makes a recording whose writer died one file again.",
    )
    p.add_argument(
        "frames",
        nargs="*",
        type=Path,
        metavar="FRAME",
        help=f"a frame file, or a folder (a capture) standing for its *{FRAME_SUFFIX} files",
    )
    p.add_argument("-o", "--output", type=Path, metavar="RECORDING", help="the recording to write (never over a file)")
    p.add_argument("--size", type=parse_size, metavar="WxH", help="the frames' picture size, e.g. 1024x768")
    p.add_argument("--fps", type=float, metavar="N", help="the frames came N a second (default: 10), the first at 0 s")
    p.add_argument(
        "--times",
        type=Path,
        metavar="FILE",
        help="the frames' times: one number of seconds a line, in the frames' order, never decreasing",
    )
    p.add_argument("--repair", type=Path, metavar="FILE", help="make a recording whose writer died one file again")
    p.set_defaults(run=_cmd_pack)

    p = sub.add_parser(
        "export",
        help="write a recording or frames as a video (MP4, MKV, WebM)",
        description="Writes a recording (.qvr), or frames in natural order, as a standard video through "
        "FFmpeg: the container follows the suffix (.mp4: h264, vp9, av1; .mkv: those and ffv1; "
        ".webm: vp9, av1). The decoder's own Y, Cb and Cr samples go to the encoder with no RGB on "
        "the way, tagged BT.601 (smpte170m) limited range; each frame's time is its picture's time, "
        "and a frame that changes nothing adds no picture. A recording whose size changes is drawn "
        "on a canvas of its largest width by its largest height (even, for 4:2:0), each picture at "
        "the top left and black around it. The default (H.264 4:2:0, .mp4) plays in browsers; "
        "lossless and 4:4:4 H.264 do not. Needs PyAV: pip install 'quorvel[video]'.",
    )
    p.add_argument(
        "inputs",
        nargs="+",
        type=Path,
        metavar="INPUT",
        help=f"one recording (.qvr), or frame files, or a folder (a capture) standing for its *{FRAME_SUFFIX} files",
    )
    p.add_argument("-o", "--output", type=Path, metavar="OUT", help="the video to write: .mp4, .mkv or .webm")
    p.add_argument(
        "--codec",
        choices=("h264", "vp9", "av1", "ffv1"),
        metavar="CODEC",
        help="h264, vp9, av1 or ffv1 (default: h264; vp9 for .webm)",
    )
    p.add_argument(
        "--chroma",
        choices=("420", "444"),
        default="420",
        help="444 keeps every chroma sample (h264, vp9, ffv1; default: 420, the decoder's own in mode 422)",
    )
    p.add_argument(
        "--lossless", action="store_true", help="every sample kept: h264 at qp 0, vp9's lossless mode, or ffv1"
    )
    p.add_argument("--crf", type=int, metavar="N", help="a lossy codec's quality, lower is better (h264: 23)")
    p.add_argument("--start", type=float, metavar="T", help="begin T seconds in: the screen as it was then, from 0")
    p.add_argument("--end", type=float, metavar="T", help="end T seconds in (default: the last frame's time)")
    p.add_argument(
        "--scale",
        type=int,
        choices=(1, 2, 4, 8),
        default=1,
        metavar="N",
        help="a thumbnail video at 1/N, N = 2, 4 or 8",
    )
    p.add_argument("--size", type=parse_size, metavar="WxH", help="frames' picture size (frames only)")
    p.add_argument("--fps", type=float, metavar="N", help="frames a second, the first at 0 s (frames only)")
    p.set_defaults(run=_cmd_export)

    p = sub.add_parser(
        "play",
        help="play frames onto a screen in a window",
        description="Plays frames in order onto one screen in a window, each drawn over what the "
        "frames before it left, repainting only what each frame drew. The title shows "
        "the frame's number, size and decode time. Keys: space pauses, right arrow "
        "steps one frame, s saves the picture as PNG in the current folder, q (or "
        "closing the window) quits. A frame that fails is reported in one line and "
        "the picture stays as it was. With --scale the screen keeps a thumbnail; with "
        "--wall several captures play side by side, each onto a screen of its own "
        "(a wall of consoles). A recording (.qvr) plays at its own pace (--speed), "
        "its size from the file; there the arrow keys jump 10 s back and on. "
        "Needs pygame-ce: pip install 'quorvel[play]'.",
    )
    p.add_argument(
        "frames",
        nargs="+",
        type=Path,
        metavar="FRAME",
        help=f"a frame file, or a folder (a capture) standing for its *{FRAME_SUFFIX} files, played in natural "
        "order (frame-2 before frame-10); or one recording (.qvr)",
    )
    p.add_argument(
        "--size",
        type=parse_size,
        metavar="WxH",
        help="the frames' picture size, e.g. 1024x768 (every capture's, with --wall); not with a recording",
    )
    p.add_argument(
        "--scale",
        type=int,
        choices=(1, 2, 4, 8),
        default=1,
        metavar="N",
        help="show a thumbnail at 1/N of the size, N = 1, 2, 4 or 8: each pixel the mean of an "
        "N x N square; a frame takes about 0.87, 0.77 or 0.56 of the full size's CPU time at 1/2, 1/4 "
        "or 1/8 (the stream is decoded whole) (default: 1)",
    )
    p.add_argument(
        "--wall",
        action="store_true",
        help="each FRAME or folder is a capture of its own: play them side by side in one window, "
        "a frame of each at a time (best with --scale 4 or 8)",
    )
    p.add_argument(
        "--columns",
        type=int,
        metavar="N",
        help="pictures a row for --wall (default: as near a square as the count allows)",
    )
    p.add_argument("--fps", type=float, metavar="N", help="frames a second (default: 10); a recording keeps its own")
    p.add_argument(
        "--speed",
        type=float,
        default=1.0,
        metavar="N",
        help="a recording (.qvr): play it N times as fast as it was recorded (default: 1); idle "
        "stretches longer than 3 s are cut to 3 s, and the arrow keys jump 10 s",
    )
    p.add_argument(
        "--follow", action="store_true", help="a recording still being written: keep playing the frames that land"
    )
    p.add_argument("--paused", action="store_true", help="start paused: the right arrow steps, space plays")
    p.add_argument(
        "--exit-after",
        type=float,
        metavar="SECONDS",
        help="quit this many seconds after the last frame (default: stay until q), for scripts",
    )
    p.set_defaults(run=cmd_play)

    p = sub.add_parser(
        "scan",
        help="scan a fleet's recordings at once, into a page and summaries",
        description="Scans recordings, each on its own, on every usable core or on a Dask cluster: "
        "the picture at the end (PNG), a grid of thumbnails (one every --every seconds and one at "
        "each size change), and a summary (frames, refused frames, duration, size changes, "
        "metadata, frozen for the last minute, decoding CPU time, closed cleanly, label). Writes "
        "OUT/index.html (a page of every recording's last picture, failures first), "
        "OUT/summary.json and OUT/summary.csv. Run again on the same OUT, it skips the recordings "
        "that have not changed. Exit status 1 when any recording could not be scanned (the others "
        "are still done).",
    )
    p.add_argument(
        "recordings",
        nargs="+",
        type=Path,
        metavar="RECORDING|DIR",
        help="a recording, or a folder searched at any depth for *.qvr; outputs are named after "
        "each recording's path relative to its folder",
    )
    p.add_argument("--outdir", type=Path, required=True, metavar="OUT", help="where to write the page and summaries")
    p.add_argument(
        "--every",
        type=_every,
        default=10.0,
        metavar="SECONDS",
        help="a thumbnail every SECONDS of each recording (default: %(default)g; at most a few hundred a recording)",
    )
    p.add_argument("--jobs", type=int, metavar="N", help="local worker processes (default: one per usable core)")
    p.add_argument(
        "--scheduler",
        metavar="tcp://HOST:PORT",
        help="run on this Dask cluster instead (default: $DASK_SCHEDULER_ADDRESS, when set); its "
        f"workers must see the recordings at the same paths ({CLUSTER_HINT})",
    )
    p.add_argument(
        "--classify",
        metavar="MODULE:FUNCTION",
        help="call FUNCTION of MODULE (importable here and on the workers) with each recording's "
        "last picture, a quorvel.Screen; the short label it returns goes into the summaries and the page",
    )
    p.add_argument("--force", action="store_true", help="scan every recording again, changed or not")
    p.set_defaults(run=cmd_scan)

    p = sub.add_parser(
        "bench",
        help="time decoding against libjpeg-turbo and Pillow",
        description="Times decode_frame side by side with simplejpeg (libjpeg-turbo) and Pillow "
        "decoding a JPEG of the same picture with the same sampling and quantisation "
        "steps, at 1920x1080 and 1280x1024 in both modes; then a sparse delta frame "
        "against bytes() of the picture's size, and a lone FRAME_END frame.",
    )
    p.add_argument("--rounds", type=int, default=40, help="timed rounds per decoder (default: %(default)s)")
    p.set_defaults(run=cmd_bench)
    return parser


def _join_negative_sizes(argv: Sequence[str]) -> list[str]:
    """`--size -5x10` as `--size=-5x10`, so that the value reaches the size check rather than
    being taken for an option."""
    out: list[str] = []
    for arg in argv:
        if out and out[-1] == "--size" and arg[:1] == "-" and arg[1:2].isdigit():
            out[-1] = f"--size={arg}"
        else:
            out.append(arg)
    return out


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(_join_negative_sizes(sys.argv[1:] if argv is None else argv))
    try:
        return int(args.run(args))
    except UsageError as e:
        print(f"quorvel: {e} (see 'quorvel {args.command} --help')", file=sys.stderr)
        return 2
    except Failure as e:
        print(f"quorvel: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 1


if __name__ == "__main__":
    sys.exit(main())

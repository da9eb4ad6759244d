"""The `quorvel` command's side of recordings: pack, and decode, info and play given a recording.

    quorvel pack FRAME... | DIR -o s.qvr --size WxH [--fps N | --times FILE]
    quorvel pack --repair FILE
    quorvel decode s.qvr --at T -o shot.png | --outdir DIR
    quorvel info s.qvr
    quorvel play s.qvr [--speed N] [--follow]

cli.py hands a command line over here when its FRAME is a recording (an SQLite file, or a name
ending in .qvr); the failures are cli's (Failure: exit 1, UsageError: exit 2). A frame that the
decoder refuses is part of the session (a lost delta): these commands say how many there were and
exit 0.
"""

from __future__ import annotations

import argparse
import math
import os
import secrets
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

from ._screen import Screen
from .recording import Frame, Recording, RecordingError

SQLITE_MAGIC = b"SQLite format 3\0"
SUFFIX = ".qvr"
DEFAULT_FPS = 10.0


def is_recording(path: Path) -> bool:
    """Whether a FRAME argument names a recording: a .qvr name, or a file that is an SQLite database."""
    from .cli import StandardStream

    if isinstance(path, StandardStream):
        return False
    if path.suffix.lower() == SUFFIX and not path.is_dir():
        return True
    try:
        with open(path, "rb") as file:
            return file.read(len(SQLITE_MAGIC)) == SQLITE_MAGIC
    except OSError:
        return False


def _one_line_warnings() -> None:
    """A recording's warnings (a snapshot that does not fit its frames) as the command's own
    one-line warnings on stderr, not Python's two lines with a file name."""

    def show(message: Warning | str, category: type[Warning], *args: object, **kw: object) -> None:
        print(f"quorvel: warning: {message}", file=sys.stderr)

    warnings.showwarning = show


def _open(path: Path) -> Recording:
    from .cli import Failure

    _one_line_warnings()

    try:
        return Recording.open(path)
    except FileNotFoundError:
        raise Failure(f"cannot read recording {path}: No such file or directory") from None
    except RecordingError as e:
        raise Failure(str(e)) from None
    except OSError as e:
        raise Failure(f"cannot read recording {path}: {e.strerror or e}") from None


def _plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def _refused_line(refused: list[int]) -> str:
    if not refused:
        return "none: the decoder takes every frame"
    listed = ", ".join(map(str, refused[:10])) + (", ..." if len(refused) > 10 else "")
    return f"{_plural(len(refused), 'frame')} the decoder refuses, each a lost delta: {listed}"


# --- pack ----------------------------------------------------------------------------------


def _read_times(path: Path, count: int) -> list[float]:
    from .cli import Failure, UsageError

    try:
        lines = path.read_text().split()
    except OSError as e:
        raise Failure(f"cannot read times {path}: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise UsageError(f"--times {path}: not a text file of times in seconds") from None
    if len(lines) != count:
        raise UsageError(f"--times {path} holds {_plural(len(lines), 'time')} for {_plural(count, 'frame')}")
    times: list[float] = []
    for n, text in enumerate(lines, 1):
        try:
            t = float(text)
        except ValueError:
            t = math.nan
        if not math.isfinite(t) or t < 0:
            raise UsageError(f"--times {path}, line {n}: {text!r} is not a time in seconds, 0 or more")
        if times and t < times[-1]:
            raise UsageError(f"--times {path}, line {n}: {text} goes back (times never decrease)")
        times.append(t)
    return times


def write_recording(
    path: Path, frames: Iterable[tuple[bytes, int, int, float]], metadata: dict[str, Any], *, replace: bool
) -> Recording:
    """Writes a whole recording to `path`, all or nothing: it is made under a temporary name in the
    same folder, closed (one file) and only then renamed into place. Without `replace` an existing
    file is never written over (FileExistsError). Returns the recording, open for reading."""
    folder, name = path.parent, path.name
    temporary = folder / f".{name[:200]}.{secrets.token_hex(4)}.tmp"
    try:
        with Recording.create(temporary, metadata=metadata) as rec:
            for data, width, height, t in frames:
                rec.append(data, width, height, t=t)
        if replace:
            os.replace(temporary, path)
        else:
            os.link(temporary, path)
    finally:
        for leftover in (temporary, Path(f"{temporary}-wal"), Path(f"{temporary}-shm")):
            leftover.unlink(missing_ok=True)
    return Recording.open(path)


def cmd_pack(args: argparse.Namespace) -> int:
    from .cli import Failure, UsageError, _frames, _read

    if args.repair is not None:
        if args.frames or args.output or args.size or args.fps is not None or args.times:
            raise UsageError("--repair FILE goes alone")
        if not args.repair.exists():
            raise Failure(f"cannot repair {args.repair}: No such file or directory")
        try:
            Recording.repair(args.repair)
        except RecordingError as e:
            raise Failure(str(e)) from None
        except OSError as e:
            raise Failure(f"cannot repair {args.repair}: {e.strerror or e}") from None
        rec = _open(args.repair)
        state = "closed cleanly" if rec.closed_cleanly else "its writer had not closed it"
        print(f"repaired  {args.repair}: one file, {_plural(len(rec), 'frame')} over {rec.duration:.3f} s ({state})")
        return 0
    if not args.frames:
        raise UsageError("pack needs frames (files, or a folder of .frame files)")
    if args.output is None:
        raise UsageError("pack needs -o RECORDING.qvr, the recording to write")
    if args.size is None:
        raise UsageError("--size WIDTHxHEIGHT is required: frames do not carry their size")
    if args.fps is not None and args.times is not None:
        raise UsageError("--fps and --times both give the frames' times: one of them")
    if args.fps is not None and not 0 < args.fps <= 1000:
        raise UsageError(f"--fps is a number of frames a second above 0 and up to 1000, not {args.fps:g}")
    files = _frames(args.frames)
    times = (
        _read_times(args.times, len(files))
        if args.times
        else [i / (args.fps or DEFAULT_FPS) for i in range(len(files))]
    )
    if args.output.exists():
        raise Failure(f"cannot write {args.output}: it exists, and pack never writes over a file")
    width, height = args.size

    def frames() -> Iterator[tuple[bytes, int, int, float]]:
        for file, t in zip(files, times):
            yield _read(file), width, height, t

    source = args.frames[0].name if len(args.frames) == 1 else args.frames[0].parent.name
    try:
        rec = write_recording(args.output, frames(), {"source": source or None}, replace=False)
    except FileExistsError:
        raise Failure(f"cannot write {args.output}: it exists, and pack never writes over a file") from None
    except OSError as e:
        raise Failure(f"cannot write {args.output}: {e.strerror or e}") from None
    refused = rec.failures()
    total = sum(f.stat().st_size for f in files)
    print(
        f"packed    {_plural(len(files), 'frame')} ({total} bytes) of {width}x{height} over {rec.duration:.3f} s "
        f"into {args.output} ({args.output.stat().st_size} bytes)"
    )
    print(f"refused   {_refused_line(refused)}")
    return 0


# --- info ----------------------------------------------------------------------------------


def cmd_info(args: argparse.Namespace) -> int:
    from .cli import UsageError

    if args.size is not None:
        raise UsageError(f"{args.frame} is a recording, which carries its size: no --size")
    rec = _open(args.frame)
    try:
        count, duration, changes, meta = len(rec), rec.duration, rec.size_changes, rec.metadata
        refused, closed = rec.failures(), rec.closed_cleanly
    except RecordingError as e:
        from .cli import Failure

        raise Failure(str(e)) from None
    size = args.frame.stat().st_size
    print(f"recording {args.frame}: {size} bytes, {_plural(count, 'frame')} over {duration:.3f} s")
    if closed:
        print("closed    yes: its writer closed it")
    else:
        print(
            "closed    no: its writer stopped without closing it (or is still writing); "
            f"copy it only after 'quorvel pack --repair {args.frame}'"
        )
    sizes = "; ".join(f"{w}x{h} from {t:.3f} s" for t, w, h in changes) or "none (no frames)"
    print(f"sizes     {sizes}")
    print(f"refused   {_refused_line(refused)}")
    for key, value in meta.items():
        print(f"metadata  {key}: {value}")
    return 0


# --- decode --------------------------------------------------------------------------------


def cmd_decode(args: argparse.Namespace) -> int:
    from .cli import (
        Failure,
        Progress,
        StandardStream,
        UsageError,
        _picture_format,
        _refuse_terminal_output,
        _write_picture,
        make_folder,
    )

    if len(args.frames) != 1:
        raise UsageError("a recording is decoded on its own: one recording, no other frames")
    if args.size is not None:
        raise UsageError(f"{args.frames[0]} is a recording, which carries its size: no --size")
    path = args.frames[0]
    if args.at is not None and not args.at >= 0:
        raise UsageError(f"--at is a time in seconds, 0 or more, not {args.at:g}")
    if args.at is not None and args.outdir:
        raise UsageError("--at gives one picture: write it with -o OUT.png, not --outdir")
    if args.at is None and not args.outdir:
        raise UsageError(
            "a recording: --at SECONDS -o OUT.png for the picture at a time, or --outdir DIR for every frame"
        )
    rec = _open(path)
    try:
        if args.at is not None:
            output = args.output or Path(f"{path.stem}-{args.at:g}s.png")
            to_stdout = isinstance(output, StandardStream)
            if to_stdout:
                _refuse_terminal_output()
            picture_format = None if to_stdout else _picture_format(output)
            shown = rec.screen_at(args.at)
            if shown.width == 0 or shown.height == 0:
                raise Failure(
                    f"{path}: the picture at {args.at:g} s is {shown.width}x{shown.height}: no picture to write"
                )
            _write_picture(output, shown.to_bytes(), shown.width, shown.height, picture_format)
            if to_stdout:  # standard output carries the picture alone
                return 0
            refused = rec.failures(until=args.at)
            frames = rec._last_index(args.at) + 1
            print(
                f"decoded   {path} at {args.at:g} s: {_plural(frames, 'frame')} applied, {shown.width}x{shown.height}"
            )
            print(f"refused   {_refused_line(refused)}")
            print(f"wrote     {output}")
            return 0
        make_folder(args.outdir)
        progress = Progress(len(rec))
        refused, written = [], 0
        digits = max(4, len(str(len(rec) - 1)))
        screen: Screen | None = None
        for frame in rec:
            progress.show(frame.index, f"frame {frame.index}")
            if screen is None or (screen.width, screen.height) != (frame.width, frame.height):
                screen = _screen(frame)
            try:
                screen.apply(frame.data)
            except ValueError:
                refused.append(frame.index)
            if frame.width and frame.height:
                name = args.outdir / f"{path.stem}-{frame.index:0{digits}d}.png"
                _write_picture(name, screen.to_bytes(), frame.width, frame.height, None)
                written += 1
        progress.close()
    except RecordingError as e:
        raise Failure(str(e)) from None
    print(f"decoded   {path}: {_plural(len(rec), 'frame')} over {rec.duration:.3f} s, each as shown")
    print(f"refused   {_refused_line(refused)}")
    print(f"wrote     {_plural(written, 'PNG')} to {args.outdir}")
    return 0


def _screen(frame: Frame) -> Screen:
    from .cli import Failure

    try:
        return Screen(frame.width, frame.height)
    except MemoryError:
        raise Failure(f"cannot make a {frame.width}x{frame.height} screen: not enough memory") from None


# --- play ----------------------------------------------------------------------------------


def cmd_play(args: argparse.Namespace) -> int:
    from .cli import Failure, UsageError, _play_toolkit
    from .play import Playback, PlayError, play

    if args.wall or len(args.frames) != 1:
        raise UsageError("a recording plays on its own: one recording, no --wall")
    if args.size is not None:
        raise UsageError(f"{args.frames[0]} is a recording, which carries its size: no --size")
    if args.fps is not None:
        raise UsageError("a recording plays at its own pace: --speed N plays it N times as fast, not --fps")
    if not 0 < args.speed <= 1000:
        raise UsageError(f"--speed is a factor above 0 and up to 1000, not {args.speed:g}")
    path = args.frames[0]
    rec = _open(path)
    scale = args.scale

    def read(index: int) -> Callable[[], bytes]:
        def data() -> bytes:
            try:
                return rec._frame(index)
            except RecordingError as e:
                raise ValueError(str(e)) from None

        return data

    try:
        timeline = rec._timeline()
        if not timeline and not args.follow:
            raise Failure(f"{path}: the recording holds no frames")
        while not timeline:  # following: wait for the first frame, which gives the size
            time.sleep(0.25)
            timeline = rec._timeline()
        width, height = timeline[0][2], timeline[0][3]
        if width == 0 or height == 0:
            raise Failure(f"play: {path} starts with a {width}x{height} picture: no window of that size")
    except RecordingError as e:
        raise Failure(str(e)) from None

    # The playback's lists, which grow while a recording being written is followed.
    frames: list[tuple[str, Callable[[], bytes]]] = []
    times: list[float] = []
    sizes: list[tuple[int, int]] = []

    def add(rows: list[tuple[int, int, int, int]]) -> None:
        for index, t_ns, w, h in rows:
            frames.append((f"{path.name} at {t_ns / 1e9:.3f} s", read(index)))
            times.append(t_ns / 1e9)
            sizes.append((w, h))

    def seek(t: float) -> tuple[Screen, int]:
        return rec.screen_at(t, scale=scale), rec._last_index(t) + 1

    def refresh() -> bool:
        """The frames that landed since; False once the writer has closed and all are here."""
        closed = rec.closed_cleanly
        add(rec._timeline(len(frames)))
        return not closed

    add(timeline)
    playback = Playback(Screen(width, height, scale=scale), frames, times=times, sizes=sizes, seek=seek)
    _play_toolkit()
    try:
        return play(
            playback,
            speed=args.speed,
            refresh=refresh if args.follow else None,
            window_size=(-(-max(w for w, _ in sizes) // scale), -(-max(h for _, h in sizes) // scale)),
            paused=args.paused,
            exit_after=args.exit_after,
        )
    except PlayError as e:
        raise Failure(f"play: {e}") from None
    except RecordingError as e:
        raise Failure(str(e)) from None

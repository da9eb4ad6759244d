"""A session as a standard video (MP4, MKV, WebM) through FFmpeg, by way of PyAV (`quorvel[video]`).

    from quorvel import export
    summary = export("session.qvr", "session.mp4")             # H.264, 4:2:0, browsers play it
    export("session.qvr", "exact.mkv", lossless=True, chroma="444")

The decoder's DCT macroblocks are YCbCr already, 4:2:0 in mode 422, which is what H.264 and VP9
take: a Screen in I420 (or I444) hands its Y, Cb and Cr planes over and they are copied into the
encoder's frames as they are, with no RGB on the way. The stream is tagged as the decoder reads
its samples, BT.601 (smpte170m) in limited range, so that a player shows the colours it shows.

Timing is the recording's own: each frame's time is its picture's presentation time (variable
frame rate), in a time base that keeps those times exactly where the container can. A frame that
changes nothing, or that the decoder refuses (a lost delta: the picture holds), adds no picture;
the last picture is repeated at the end time, so that the video lasts as long as the session.

A recording whose size changes is drawn on one canvas: the largest width by the largest height
it has (rounded up to even for the 4:2:0 codecs, which need even sizes), each picture at the top
left and black (Y 16, Cb and Cr 128) around it.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final, Literal, cast

from ._atomic import atomic_path
from ._screen import Screen

if TYPE_CHECKING:
    from .recording import Recording

__all__ = ["CONTAINERS", "VIDEO_HINT", "ExportSummary", "check_options", "export"]

VIDEO_HINT: Final = "pip install 'quorvel[video]'"

# Suffix -> (FFmpeg's muxer, the codecs it takes, the default codec).
CONTAINERS: Final = {
    ".mp4": ("mp4", ("h264", "vp9", "av1"), "h264"),
    ".mkv": ("matroska", ("h264", "vp9", "av1", "ffv1"), "h264"),
    ".webm": ("webm", ("vp9", "av1"), "vp9"),
}
CODECS: Final = ("h264", "vp9", "av1", "ffv1")
# Our codec names -> FFmpeg's encoders (the ones PyAV's wheels carry).
_ENCODERS: Final = {"h264": "libx264", "vp9": "libvpx-vp9", "av1": "libsvtav1", "ffv1": "ffv1"}
CHROMA_444: Final = ("h264", "vp9", "ffv1")  # SVT-AV1 encodes 4:2:0 only
LOSSLESS: Final = ("h264", "vp9", "ffv1")
# Each codec's default quality (lower is better). H.264 at 22, one step below x264's usual 23: at
# 23 the sharpest text screen of the benchmark's hour came back at 39.98 dB, at 22 at 40.46, for
# 3.5% more bytes. libvpx's usual for VP9, SVT-AV1's own.
DEFAULT_CRF: Final = {"h264": 22, "vp9": 32, "av1": 35}
CRF_RANGE: Final = {"h264": (0, 51), "vp9": (0, 63), "av1": (1, 63)}
SCALES: Final = (1, 2, 4, 8)
COLOR_RANGE_TV: Final = 1  # FFmpeg's AVCOL_RANGE_MPEG: Y 16..235, Cb and Cr 16..240
SMPTE170M: Final = 6  # FFmpeg's number for SMPTE 170M (BT.601) as matrix, primaries and transfer

Chroma = Literal["420", "444"]


@dataclass(frozen=True, slots=True)
class ExportSummary:
    """What export wrote: pictures encoded (frames_written), frames the decoder refused (each a
    lost delta, the picture held), frames from --start on (frames_read), the video's duration in
    seconds, the file's size in bytes, and the codec, pixel format and canvas size."""

    path: Path
    frames_written: int
    frames_refused: int
    frames_read: int
    duration: float
    bytes: int
    codec: str
    pix_fmt: str
    width: int
    height: int
    sizes: tuple[tuple[int, int], ...]  # the picture sizes met, in order (more than one: a canvas)


def check_options(
    out_path: str | os.PathLike[str],
    codec: str | None = None,
    chroma: str = "420",
    lossless: bool = False,
    crf: int | None = None,
    scale: int = 1,
) -> str:
    """The codec an export with these options uses; ValueError naming what works otherwise."""
    suffix = Path(out_path).suffix.lower()
    if suffix not in CONTAINERS:
        raise ValueError(f"{out_path}: the container follows the suffix: .mp4, .mkv or .webm, not {suffix or 'none'}")
    _, allowed, default = CONTAINERS[suffix]
    if codec is None:
        codec = default
    if codec not in CODECS:
        raise ValueError(f"no codec {codec!r}: h264, vp9, av1 or ffv1")
    if codec not in allowed:
        raise ValueError(f"{suffix} takes {', '.join(allowed)}, not {codec} (.mkv takes all four)")
    if chroma not in ("420", "444"):
        raise ValueError(f"--chroma is 420 or 444, not {chroma}")
    if chroma == "444" and codec not in CHROMA_444:
        raise ValueError(f"--chroma 444 works with {', '.join(CHROMA_444)}, not {codec}")
    if lossless and codec not in LOSSLESS:
        raise ValueError(f"--lossless works with {', '.join(LOSSLESS)}, not {codec}")
    if crf is not None:
        if lossless:
            raise ValueError("--crf sets a lossy codec's quality: not with --lossless")
        if codec == "ffv1":
            raise ValueError("--crf sets a lossy codec's quality: ffv1 is lossless, it takes none (h264, vp9, av1 do)")
        low, high = CRF_RANGE[codec]
        if not low <= crf <= high:
            raise ValueError(f"--crf for {codec} is {low} to {high}, not {crf}")
    if scale not in SCALES:
        raise ValueError(f"--scale is 2, 4 or 8 (or 1, full size), not {scale}")
    return codec


def _import_av() -> Any:
    try:
        import av
    except ImportError:
        raise ImportError(f"exporting video needs PyAV: {VIDEO_HINT}") from None
    return av


def _codec_options(codec: str, lossless: bool, crf: int | None) -> dict[str, str]:
    if codec == "h264":
        if lossless:
            # qp 0 is x264's lossless mode (High 4:4:4 Predictive, whatever the chroma).
            return {"preset": "veryfast", "qp": "0"}
        return {"preset": "veryfast", "crf": str(DEFAULT_CRF[codec] if crf is None else crf)}
    if codec == "vp9":
        if lossless:
            return {"lossless": "1", "deadline": "good", "cpu-used": "4", "row-mt": "1"}
        # b 0: quality alone (libvpx's constant quality mode), not a bit rate.
        return {"crf": str(DEFAULT_CRF[codec] if crf is None else crf), "b": "0", "deadline": "good", "cpu-used": "4"}
    if codec == "av1":
        return {"crf": str(DEFAULT_CRF[codec] if crf is None else crf), "preset": "8"}
    return {"level": "3", "slicecrc": "1"}  # ffv1


# --- where the frames come from -------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Source:
    """Frames in order, (t_ns, width, height, data), read when asked for; how many; the picture
    sizes drawn from --start on; the end's time; the time base and a frame time's ticks in it."""

    frames: Callable[[], Iterator[tuple[int, int, int, bytes]]]
    count: int
    sizes: list[tuple[int, int]]
    end_ns: int
    time_base: Fraction
    ticks: Callable[[int], int]


def _coarsest(times_ns: Iterable[int]) -> Fraction:
    """The coarsest time base in which every time is a whole number of ticks: the largest
    divisor of a second, in nanoseconds, that divides them all (frames every 0.1 s give 1/10)."""
    g = 10**9
    for t in times_ns:
        g = math.gcd(g, t)
        if g == 1:
            break
    return Fraction(g, 10**9)


def _recording_source(rec: Recording, start_ns: int, end_ns: int | None) -> _Source:
    timeline = rec._timeline()
    if not timeline:
        raise ValueError(f"{rec.path}: the recording holds no frames")
    stop = timeline[-1][1] if end_ns is None else end_ns
    kept = [row for row in timeline if row[1] <= stop]
    if not kept:
        raise ValueError(
            f"{rec.path}: no frame before --end ({stop / 1e9:g} s): the first is at {timeline[0][1] / 1e9:g} s"
        )
    # The sizes shown: the one at --start (that of the last frame at or before it) and every later one.
    sizes: list[tuple[int, int]] = []
    for _, t_ns, w, h in kept:
        if t_ns <= start_ns or not sizes:
            sizes = [(w, h)]
        elif sizes[-1] != (w, h):
            sizes.append((w, h))
    time_base = _coarsest([start_ns, stop] + [t for _, t, _, _ in kept if t > start_ns])
    tick_ns = time_base * 10**9  # a whole number of nanoseconds

    def frames() -> Iterator[tuple[int, int, int, bytes]]:
        for frame in rec._rows(0, kept[-1][0]):
            yield frame.t_ns, frame.width, frame.height, frame.data

    return _Source(frames, len(kept), sizes, stop, time_base, lambda t: int(t // tick_ns))


def _folder_source(files: Sequence[Path], width: int, height: int, fps: float, end_ns: int | None) -> _Source:
    """Frame files, one every 1/fps seconds from 0: one tick a frame (times between two frames,
    as --start and --end give them, fall to the frame before)."""
    rate = Fraction(str(fps)).limit_denominator(1001)
    times = [round(i * 10**9 / rate) for i in range(len(files))]
    stop = times[-1] if end_ns is None else end_ns
    kept = [(t, f) for t, f in zip(times, files) if t <= stop]

    def frames() -> Iterator[tuple[int, int, int, bytes]]:
        for t, f in kept:
            yield t, width, height, f.read_bytes()

    return _Source(frames, len(kept), [(width, height)], stop, 1 / rate, lambda t: int(t * rate // 10**9))


# --- the canvas ------------------------------------------------------------------------------


def _even(n: int) -> int:
    return n + (n & 1)


class _Canvas:
    """Copies a Screen's planes into a new encoder frame of the canvas' size: the picture at the
    top left, black (Y 16, Cb and Cr 128) around it. The margins are filled only where the
    picture leaves some."""

    def __init__(self, av: Any, width: int, height: int, pix_fmt: str) -> None:
        import numpy as np

        self._np, self._av = np, av
        self.width, self.height, self.pix_fmt = width, height, pix_fmt
        sub = 2 if pix_fmt == "yuv420p" else 1
        self.plane_sizes = [(height, width), ((height + sub - 1) // sub, (width + sub - 1) // sub)]
        self.plane_sizes.append(self.plane_sizes[1])

    def frame(self, planes: Sequence[memoryview]) -> Any:
        np = self._np
        out = self._av.VideoFrame(self.width, self.height, self.pix_fmt)
        for plane, source, black, (rows, cols) in zip(out.planes, planes, (16, 128, 128), self.plane_sizes):
            # The plane's rows may be longer than the picture (FFmpeg aligns them): a view of the
            # part in use.
            target = np.frombuffer(plane, np.uint8).reshape(-1, plane.line_size)[:rows, :cols]
            src = np.asarray(source)
            h, w = src.shape
            target[:h, :w] = src
            if w < cols:
                target[:h, w:] = black
            if h < rows:
                target[h:] = black
        return out


# --- export ------------------------------------------------------------------------------------


def export(
    source: Recording | str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    out_path: str | os.PathLike[str],
    *,
    codec: str | None = None,
    chroma: Chroma = "420",
    lossless: bool = False,
    crf: int | None = None,
    start: float | None = None,
    end: float | None = None,
    scale: int = 1,
    size: tuple[int, int] | None = None,
    fps: float | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> ExportSummary:
    """Writes a recording (a Recording, or the path of a .qvr file), or frame files in order
    (with `size` and `fps`), as a video at `out_path`; the container follows its suffix (.mp4,
    .mkv, .webm). Returns what was written. The file appears whole or not at all.

    codec: h264 (default; vp9 for .webm), vp9, av1 or ffv1 (.mkv). chroma "444" keeps every
    chroma sample (h264, vp9, ffv1). lossless: h264 at qp 0, vp9's lossless mode, or ffv1. crf:
    the lossy codecs' quality. start, end: seconds; the first picture is the screen at `start`,
    shown from 0. scale: 2, 4 or 8 for a thumbnail video. progress(done, total) is called as
    frames are read.

    ValueError for options that do not go together (the message names what works), ImportError
    without PyAV, RecordingError for a recording that cannot be read, OSError for the output.
    """
    from .recording import Recording

    codec = check_options(out_path, codec, chroma, lossless, crf, scale)
    if start is not None and not (math.isfinite(start) and start >= 0):
        raise ValueError(f"--start is a time in seconds, 0 or more, not {start:g}")
    if end is not None and not (math.isfinite(end) and end > 0):
        raise ValueError(f"--end is a time in seconds above 0, not {end:g}")
    if start is not None and end is not None and end <= start:
        raise ValueError(f"--end ({end:g} s) is not after --start ({start:g} s)")
    start_ns = round((start or 0) * 1e9)
    end_ns = None if end is None else round(end * 1e9)

    rec: Recording | None = None
    owned = False
    if isinstance(source, Recording):
        rec = source
    elif isinstance(source, (str, os.PathLike)):
        rec, owned = Recording.open(source), True
    try:
        if rec is not None:
            if size is not None or fps is not None:
                raise ValueError("a recording carries its size and times: no --size, no --fps")
            src = _recording_source(rec, start_ns, end_ns)
        else:
            files = [Path(p) for p in cast("Sequence[str | os.PathLike[str]]", source)]
            if not files:
                raise ValueError("no frames to export")
            if size is None or fps is None:
                raise ValueError("frames carry neither their size nor their times: --size WxH and --fps N are needed")
            if not 0 < fps <= 1000:
                raise ValueError(f"--fps is a number of frames a second above 0 and up to 1000, not {fps:g}")
            src = _folder_source(files, size[0], size[1], fps, end_ns)
        if start_ns > 0 and start_ns >= src.end_ns:
            raise ValueError(f"--start ({start_ns / 1e9:g} s) is at or past the end ({src.end_ns / 1e9:g} s)")
        return _encode(src, Path(out_path), codec, chroma, lossless, crf, start_ns, scale, progress)
    finally:
        if owned and rec is not None:
            rec.close()


def _encode(
    src: _Source,
    out_path: Path,
    codec: str,
    chroma: str,
    lossless: bool,
    crf: int | None,
    start_ns: int,
    scale: int,
    progress: Callable[[int, int], None] | None,
) -> ExportSummary:
    av = _import_av()
    four_two_zero = chroma == "420"
    pix_fmt = "yuv420p" if four_two_zero else "yuv444p"
    screen_format: Literal["I420", "I444"] = "I420" if four_two_zero else "I444"

    def shrink(n: int) -> int:
        return -(-n // scale)

    width = max(shrink(w) for w, _ in src.sizes)
    height = max(shrink(h) for _, h in src.sizes)
    if four_two_zero:
        width, height = _even(width), _even(height)
    canvas = _Canvas(av, width, height, pix_fmt)
    muxer = CONTAINERS[out_path.suffix.lower()][0]
    time_base = src.time_base
    first = src.ticks(start_ns)
    end = src.ticks(src.end_ns) - first

    written = refused = read = done = 0
    with atomic_path(out_path) as temporary:
        # An MP4's index at its start, so that a browser plays it before it has it all.
        options = {"movflags": "+faststart"} if muxer == "mp4" else {}
        with av.open(temporary, "w", format=muxer, options=options) as container:
            stream = container.add_stream(_ENCODERS[codec], options=_codec_options(codec, lossless, crf))
            stream.width, stream.height, stream.pix_fmt = width, height, pix_fmt
            stream.time_base = time_base
            ctx = stream.codec_context
            ctx.time_base = time_base
            # The rate the stream declares: a picture a tick of the time base, at most 1000 a
            # second. Encoders want one; the pictures' own times are what players follow.
            ctx.framerate = min(1 / time_base, Fraction(1000))
            # The decoder reads its samples as BT.601 in limited range: say so, or players guess.
            ctx.color_range = COLOR_RANGE_TV
            ctx.colorspace = ctx.color_primaries = ctx.color_trc = SMPTE170M
            if codec == "h264" and not lossless and four_two_zero:
                ctx.profile = "High"

            last_pts = -1

            def emit(pts: int, duration: int = 0) -> None:
                nonlocal written, last_pts
                assert screen is not None
                picture = canvas.frame(screen.planes())
                picture.pts, picture.time_base = pts, time_base
                if duration:
                    picture.duration = duration
                picture.color_range, picture.colorspace = COLOR_RANGE_TV, SMPTE170M
                for packet in stream.encode(picture):
                    container.mux(packet)
                written += 1
                last_pts = pts

            screen: Screen | None = None
            pending: int | None = None  # a changed picture's time, sent when a later frame comes
            for t_ns, w, h, data in src.frames():
                if progress is not None:
                    progress(done, src.count)
                done += 1
                pts = src.ticks(t_ns) - first
                if pts >= 0:
                    read += 1  # a frame from --start on
                if screen is not None and last_pts < 0 and pending is None and pts > 0:
                    pending = 0  # the screen as it is at --start, shown from 0
                if pending is not None and pts > pending:
                    emit(pending)
                    pending = None
                if screen is None or (screen.width, screen.height) != (w, h):
                    screen = Screen(w, h, pixel_format=screen_format, scale=scale)
                    changed = True  # a new size: a new, black picture
                else:
                    changed = False
                try:
                    changed = bool(screen.apply(data)) or changed
                except ValueError:
                    if pts >= 0:
                        refused += 1  # a lost delta: the picture holds
                if pts >= 0 and (changed or not written):
                    pending = pts if written else 0  # the first picture shows from 0
            if screen is None:
                raise ValueError("no frames to export")
            if pending is not None or last_pts < 0:
                emit(pending or 0)
            # The last picture held to the end, so that the video lasts as long as the session;
            # it shows for one tick, the rate the stream declares.
            if end > last_pts:
                emit(end, 1)
            for packet in stream.encode(None):
                container.mux(packet)
        if progress is not None:
            progress(src.count, src.count)
    return ExportSummary(
        path=out_path,
        frames_written=written,
        frames_refused=refused,
        frames_read=read,
        duration=float(max(end, 0) * time_base),
        bytes=out_path.stat().st_size,
        codec=codec,
        pix_fmt=pix_fmt,
        width=width,
        height=height,
        sizes=tuple((shrink(w), shrink(h)) for w, h in src.sizes),
    )

"""`quorvel export`: a recording, or frames, as a video (cli.py hands the command line over here).

quorvel export s.qvr -o s.mp4 [--codec h264|vp9|av1|ffv1] [--chroma 444] [--lossless | --crf N]
               [--start T] [--end T] [--scale 2|4|8]
quorvel export FRAME... | DIR -o s.mp4 --size WxH --fps N [...]
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path


def cmd_export(args: argparse.Namespace) -> int:
    from ._recordings_cli import _plural, _refused_line, is_recording
    from .cli import Failure, Progress, UsageError, _frames
    from ._export import DEFAULT_CRF, VIDEO_HINT, check_options, export
    from .recording import RecordingError

    if args.output is None:
        raise UsageError("export needs -o OUT.mp4 (or .mkv, .webm), the video to write")
    try:
        codec = check_options(args.output, args.codec, args.chroma, args.lossless, args.crf, args.scale)
    except ValueError as e:
        raise UsageError(str(e)) from None
    recording = len(args.inputs) == 1 and is_recording(args.inputs[0])
    if recording:
        if args.size is not None or args.fps is not None:
            raise UsageError(f"{args.inputs[0]} is a recording, which carries its size and times: no --size, no --fps")
        source: Path | list[Path] = args.inputs[0]
        if not args.inputs[0].exists():
            raise Failure(f"cannot read recording {args.inputs[0]}: No such file or directory")
    else:
        if any(is_recording(p) for p in args.inputs):
            raise UsageError("a recording is exported on its own: one recording, no other frames")
        if args.size is None or args.fps is None:
            raise UsageError("frames carry neither their size nor their times: --size WxH and --fps N are needed")
        source = _frames(args.inputs)
    try:
        import av
    except ImportError:
        raise Failure(f"export needs PyAV: {VIDEO_HINT}") from None
    # SVT-AV1 prints its configuration and warnings to stderr unless told otherwise: errors only.
    os.environ.setdefault("SVT_LOG", "1")

    bar: list[Progress] = []  # made at the first call, which tells the count

    def show(done: int, count: int) -> None:
        if not bar:
            bar.append(Progress(count))
        bar[0].show(done, f"frame {done}")

    try:
        summary = export(
            source,
            args.output,
            codec=codec,
            chroma=args.chroma,
            lossless=args.lossless,
            crf=args.crf,
            start=args.start,
            end=args.end,
            scale=args.scale,
            size=args.size,
            fps=args.fps,
            progress=show,
        )
    except av.FFmpegError as e:
        # FFmpeg's own failures (some of them are also ValueError or OSError): the output's.
        raise Failure(f"cannot write {args.output}: {e}") from None
    except ValueError as e:
        # A recording that cannot be read is a failure; options that do not fit it are usage.
        if isinstance(e, RecordingError):
            raise Failure(str(e)) from None
        raise UsageError(str(e)) from None
    except OSError as e:
        # A frame file that cannot be read names itself; the rest is the output's.
        if e.filename is not None and not isinstance(source, Path) and Path(e.filename) in source:
            raise Failure(f"cannot read frame {e.filename}: {e.strerror or e}") from None
        raise Failure(f"cannot write {args.output}: {e.strerror or e}") from None
    finally:
        if bar:
            bar[0].close()
    mode = (
        "lossless"
        if args.lossless or codec == "ffv1"
        else f"crf {DEFAULT_CRF[codec] if args.crf is None else args.crf}"
    )
    print(
        f"exported  {_plural(summary.frames_read, 'frame')} as {_plural(summary.frames_written, 'picture')} "
        f"over {summary.duration:.3f} s: {codec} {summary.pix_fmt} ({mode}), {summary.width}x{summary.height}, "
        f"BT.601 limited range"
    )
    if len(set(summary.sizes)) > 1:
        sizes = ", ".join(f"{w}x{h}" for w, h in summary.sizes)
        print(
            f"canvas    the size changes ({sizes}): each picture at the top left of "
            f"{summary.width}x{summary.height}, black around it"
        )
    elif (summary.width, summary.height) != summary.sizes[0]:
        w, h = summary.sizes[0]
        print(
            f"canvas    {w}x{h} at the top left of {summary.width}x{summary.height} (4:2:0 needs even sizes), black around"
        )
    refused = summary.frames_refused
    if refused:
        print(f"refused   {_plural(refused, 'frame')} the decoder refuses, each a lost delta: the picture holds")
    else:
        print(f"refused   {_refused_line([])}")
    print(f"wrote     {args.output} ({summary.bytes} bytes)")
    return 0

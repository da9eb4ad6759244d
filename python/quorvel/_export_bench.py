"""`quorvel export` measured: quality, speed and size of the default video (H.264 4:2:0, x264's
`veryfast` at CRF 22, MP4) on the demo session and on the synthetic 1920x1080 session of the
recordings benchmark (quorvel._recording_bench; the whole hour by default).

- PSNR of every decoded picture against the RGB screen at its time. The decoded Y, Cb and Cr go
  through the decoder's own colour conversion, each Cb and Cr sample repeated over its 2x2 pixels;
  the worst picture and the mean are printed.
- Pictures a second, and quorvel's share of the CPU: the CPU time spent in Screen.apply and in
  copying the screen's planes into the encoder's frames (both on the calling thread, the screen
  held to one thread so that its thread's CPU time is all of it), over the CPU time of the whole
  process (the encoder's threads included).
- Bytes a minute, beside a folder of PNGs (what `quorvel decode --outdir` writes: one a frame),
  estimated from the PNGs of up to 40 of the pictures.

    python -m quorvel._export_bench [--minutes N] [--keep FOLDER]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from collections.abc import Buffer
from pathlib import Path
from typing import Any

import numpy as np

from . import _export as export_module
from ._png import encode_png
from ._screen import Screen
from .encode import _decoded_rgb
from .recording import Recording


class _Timed:
    """A Screen whose apply() and planes() are timed (CPU time of the calling thread)."""

    apply_cpu = 0.0

    def __init__(self, width: int, height: int, **kw: Any) -> None:
        self._screen = Screen(width, height, threads=1, **kw)
        self.width, self.height = width, height

    def apply(self, data: Buffer) -> list[tuple[int, int, int, int]]:
        begin = time.thread_time()
        try:
            return self._screen.apply(data)
        finally:
            _Timed.apply_cpu += time.thread_time() - begin

    def planes(self) -> Any:
        begin = time.thread_time()
        try:
            return self._screen.planes()
        finally:
            _Timed.apply_cpu += time.thread_time() - begin


def _timed_export(source: Path, out: Path) -> tuple[export_module.ExportSummary, float, float, float]:
    """Exports with the defaults; the summary, the process's CPU time, quorvel's part of it and
    the wall time."""
    frame = export_module._Canvas.frame
    copy_cpu = [0.0]

    def timed_frame(self: export_module._Canvas, planes: Any) -> Any:
        begin = time.thread_time()
        try:
            return frame(self, planes)
        finally:
            copy_cpu[0] += time.thread_time() - begin

    _Timed.apply_cpu = 0.0
    # The export's own Screen and canvas, timed for the while.
    saved = vars(export_module)["Screen"]
    setattr(export_module, "Screen", _Timed)
    export_module._Canvas.frame = timed_frame  # type: ignore[method-assign]
    try:
        cpu, wall = time.process_time(), time.perf_counter()
        summary = export_module.export(source, out)
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    finally:
        setattr(export_module, "Screen", saved)
        export_module._Canvas.frame = frame  # type: ignore[method-assign]
    return summary, cpu, _Timed.apply_cpu + copy_cpu[0], wall


def _rgb_of(frame: Any) -> np.ndarray:
    """A decoded yuv420p picture as the decoder would show its samples."""
    w, h = frame.width, frame.height
    y, cb, cr = (
        np.frombuffer(p, np.uint8).reshape(-1, p.line_size)[:rows, :cols]
        for p, rows, cols in zip(frame.planes, (h, (h + 1) // 2, (h + 1) // 2), (w, (w + 1) // 2, (w + 1) // 2))
    )
    cb = cb.repeat(2, 0).repeat(2, 1)[:h, :w]
    cr = cr.repeat(2, 0).repeat(2, 1)[:h, :w]
    r, g, b = _decoded_rgb(y.astype(np.int32), cb.astype(np.int32), cr.astype(np.int32))
    return np.stack([r, g, b], axis=-1).astype(np.uint8)


def _psnr(video: Path, rec: Recording) -> list[float]:
    """PSNR of each decoded picture against the RGB screen at its time (replayed alongside)."""
    import av

    frames = iter(rec)
    pending = next(frames, None)
    screen: Screen | None = None
    out = []
    with av.open(str(video)) as container:
        for decoded in container.decode(video=0):
            t_ns = round(float(decoded.time) * 1e3) * 10**6  # the MP4's clock, to the millisecond
            while pending is not None and pending.t_ns <= t_ns:
                if screen is None or (screen.width, screen.height) != (pending.width, pending.height):
                    screen = Screen(pending.width, pending.height)
                try:
                    screen.apply(pending.data)
                except ValueError:
                    pass
                pending = next(frames, None)
            assert screen is not None
            shown = np.asarray(screen)
            got = _rgb_of(decoded)[: shown.shape[0], : shown.shape[1]]
            mse = float(np.mean((got.astype(np.int32) - shown.astype(np.int32)) ** 2))
            out.append(99.0 if mse == 0 else 10 * np.log10(255**2 / mse))
    return out


def _png_bytes_a_frame(video: Path, limit: int = 40) -> float:
    """The mean size of a PNG of the pictures (up to `limit` of them, evenly spread)."""
    import av

    with av.open(str(video)) as container:
        count = container.streams.video[0].frames or 1
        step = max(1, count // limit)
        sizes: list[int] = []
        for i, decoded in enumerate(container.decode(video=0)):
            if i % step == 0 and len(sizes) < limit:
                rgb = _rgb_of(decoded)
                sizes.append(len(encode_png(rgb.tobytes(), rgb.shape[1], rgb.shape[0])))
    return statistics.fmean(sizes)


def measure(name: str, source: Path, folder: Path) -> None:
    out = folder / f"{source.stem}.mp4"
    summary, cpu, ours, wall = _timed_export(source, out)
    rec = Recording.open(source)
    minutes = max(summary.duration, 1e-9) / 60
    psnr = _psnr(out, rec)
    png = _png_bytes_a_frame(out)
    print(f"{name}: {len(rec)} frames over {summary.duration:.1f} s, {summary.width}x{summary.height}")
    print(
        f"  exported as {summary.frames_written} pictures in {wall:.1f} s: {summary.frames_written / wall:.1f} pictures/s, "
        f"{summary.frames_read / wall:.1f} frames/s"
    )
    print(
        f"  CPU {cpu:.1f} s in all; quorvel's share (apply {_Timed.apply_cpu:.2f} s + copying planes "
        f"{ours - _Timed.apply_cpu:.2f} s) {100 * ours / cpu:.1f}%"
    )
    print(
        f"  PSNR against the RGB screens, {len(psnr)} pictures: worst {min(psnr):.2f} dB, mean {statistics.fmean(psnr):.2f} dB"
    )
    print(
        f"  bytes a minute: {summary.bytes / minutes / 1e6:.3f} MB; PNGs, one a frame: "
        f"{png * len(rec) / minutes / 1e6:.1f} MB ({png / 1e3:.0f} kB a PNG), one a picture: "
        f"{png * summary.frames_written / minutes / 1e6:.1f} MB"
    )
    rec.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvel._export_bench", description=__doc__.splitlines()[0])
    parser.add_argument(
        "--minutes", type=int, default=60, help="of the synthetic session, a multiple of 5 (default: the hour)"
    )
    parser.add_argument("--keep", type=Path, metavar="FOLDER", help="write the recordings and videos here")
    args = parser.parse_args(argv)
    if args.minutes < 5 or args.minutes % 5:
        parser.error("--minutes is a multiple of 5 (the session changes its whole screen every five minutes)")
    from . import _recording_bench, demo

    with tempfile.TemporaryDirectory(prefix="quorvel-export-") as tmp:
        folder = args.keep or Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        demo.run(folder / "demo", out=lambda _: None)
        measure("demo session", folder / "demo" / "session.qvr", folder)
        frames = _recording_bench.encode_session()
        plan = _recording_bench.timeline(frames, seconds=60 * args.minutes)
        long = folder / "synthetic.qvr"
        long.unlink(missing_ok=True)
        fps = _recording_bench.FPS
        with Recording.create(long, metadata={"source": "synthetic"}) as rec:
            for i, (kind, index) in enumerate(plan):
                rec.append(frames[kind][index], _recording_bench.WIDTH, _recording_bench.HEIGHT, t=i / fps)
        measure(f"synthetic session ({args.minutes} min)", long, folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Decoding speed, side by side with libjpeg-turbo on the same pictures.

For each picture size and mode it codes one realistic remote-console picture as a
frame (with quorvel's encoder) and as a baseline JPEG with the same sampling and
the same quantisation steps (with Pillow), then times in one process, interleaved
round by round after a warm-up:
  - quorvel decode_frame,
  - simplejpeg (libjpeg-turbo) decoding the JPEG to RGB, with its defaults and with
    fastdct=True, fastupsample=True,
  - Pillow: open + load, and open + load + tobytes.
It also times a sparse delta frame (about 1% of the macroblocks) against
bytes(width * height * 3) alone, a lone FRAME_END frame at 16x16, and
Screen.apply in every pixel format for a whole frame and a 1% delta frame, each
beside RGB in the same rounds (--only-formats: that alone).

With --real DIR (made by bench/real_frames.py: real photographs and real screen
captures, each a JPEG and a frame that carries the JPEG's very coefficients) it
also races decode_frame against simplejpeg.decode_jpeg(jpeg, fastdct=True,
fastupsample=True) on every pair, and gives the geometric means of the ratios;
Screen.apply of each frame on one thread, on two (threads=2) and automatically
(threads=None) against the same simplejpeg call, with the process's CPU time of
each, and again with the other CPU kept busy by a spinning process; then times
Screen.apply at each thumbnail scale (1, 2, 4, 8) on every pair, whole and with
a 1% delta frame, and measures each thumbnail against the box filter of the
full picture.
Wall time on a shared machine is noisy: read the medians and the ratios.
"""

from __future__ import annotations

import argparse
import functools
import io
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
from PIL import Image

from . import decode_frame, decoder_version
from . import _format as fmt
from ._picture import desktop
from .encode import encode_frame

if TYPE_CHECKING:
    from ._screen import _PixelFormat

SIZES = ((1920, 1080), (1280, 1024))
MODES = (444, 422)


def jpeg_like(rgb: np.ndarray, mode: int) -> bytes:
    """The same picture as a baseline JPEG with the frame's primary quantisation
    steps and sampling (4:4:4 for mode 444, 4:2:0 for mode 422)."""
    luma, chroma = fmt.quant_steps(mode, False)
    out = io.BytesIO()
    Image.fromarray(rgb).save(out, "JPEG", qtables=[list(luma), list(chroma)], subsampling=0 if mode == 444 else 2)
    return out.getvalue()


def typed_line(rgb: np.ndarray, mode: int, fraction: float = 0.01) -> np.ndarray:
    """The picture with a run of macroblocks changed, about `fraction` of them, as
    when a line of text is typed: the next frame of a console."""
    n = fmt.macroblock_size(mode)
    h, w, _ = rgb.shape
    count = max(1, round(fraction * (w // n) * (h // n)))
    changed = rgb.copy()
    cols = w // n
    y = h // 2 // n * n
    for k in range(count):
        x = (k % cols) * n
        yk = y + (k // cols) * n
        block = changed[yk : yk + n, x : x + n]
        block[...] = 255 - block  # drawn differently, whatever it held
    return changed


@dataclass
class Timing:
    name: str
    samples: list[float]

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    def spread(self) -> tuple[float, float]:
        q = statistics.quantiles(self.samples, n=4)
        return q[0], q[2]


def race(
    contenders: dict[str, Callable[[], object]],
    rounds: int,
    warmup: int = 3,
    clock: Callable[[], float] = time.perf_counter,
) -> list[Timing]:
    """Times every contender once per round, round after round, so that drifts of
    the machine fall on all of them alike."""
    return race_clocks(contenders, rounds, warmup, (clock,))[0]


def race_clocks(
    contenders: dict[str, Callable[[], object]], rounds: int, warmup: int, clocks: tuple[Callable[[], float], ...]
) -> list[list[Timing]]:
    """race() read on several clocks at once (wall and CPU time, say): a list of
    Timings per clock."""
    for f in contenders.values():
        for _ in range(warmup):
            f()
    samples: list[dict[str, list[float]]] = [{name: [] for name in contenders} for _ in clocks]
    for _ in range(rounds):
        for name, f in contenders.items():
            before = [clock() for clock in clocks]
            f()
            for i, clock in enumerate(clocks):
                samples[i][name].append(clock() - before[i])
    return [[Timing(name, s) for name, s in per_clock.items()] for per_clock in samples]


def per_call(f: Callable[[], object], calls: int) -> float:
    """Median over 15 batches of the mean time of one call in a batch."""
    clock = time.perf_counter
    batches = []
    for _ in range(15):
        t = clock()
        for _ in range(calls):
            f()
        batches.append((clock() - t) / calls)
    return statistics.median(batches)


def full_frames(rounds: int) -> list[str]:
    import simplejpeg

    lines = [
        "| picture | mode | frame KiB | JPEG KiB | decoder | median ms | IQR ms | MP/s | quorvel / this |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for width, height in SIZES:
        rgb = desktop(width, height)
        for mode in MODES:
            frame = encode_frame(rgb, mode)
            jpg = jpeg_like(rgb, mode)
            contenders = {
                "quorvel decode_frame": lambda: decode_frame(frame, width, height),
                "simplejpeg fastdct+fastupsample": lambda: simplejpeg.decode_jpeg(jpg, fastdct=True, fastupsample=True),
                "simplejpeg default": lambda: simplejpeg.decode_jpeg(jpg),
                "Pillow open+load": lambda: Image.open(io.BytesIO(jpg)).load(),
                "Pillow open+load+tobytes": lambda: Image.open(io.BytesIO(jpg)).tobytes(),
            }
            timings = race(contenders, rounds)
            ours = timings[0].median
            for t in timings:
                lo, hi = t.spread()
                lines.append(
                    f"| {width}x{height} | {mode} | {len(frame) / 1024:.0f} | {len(jpg) / 1024:.0f} | {t.name} "
                    f"| {t.median * 1e3:.2f} | {lo * 1e3:.2f}-{hi * 1e3:.2f} | {width * height / t.median / 1e6:.0f} "
                    f"| {ours / t.median:.2f} |"
                )
    return lines


def small_frames(rounds: int) -> list[str]:
    lines = ["| case | median | baseline | ratio |", "|---|---|---|---|"]
    for width, height in SIZES[:1]:
        rgb = desktop(width, height)
        for mode in MODES:
            delta = encode_frame(typed_line(rgb, mode), mode, previous=rgb)
            size = width * height * 3
            t = race({"delta": lambda: decode_frame(delta, width, height), "bytes": lambda: bytes(size)}, rounds)
            lines.append(
                f"| {width}x{height} mode {mode}: 1% delta frame ({len(delta)} bytes) "
                f"| {t[0].median * 1e3:.3f} ms | bytes({size}): {t[1].median * 1e3:.3f} ms "
                f"| {t[0].median / t[1].median:.2f} |"
            )
    # Memory: the Python heap's peak during a full decode, beyond the result
    # itself (the decoder core allocates nothing; its scratch is on the stack).
    import tracemalloc

    rgb = desktop(*SIZES[0])
    for mode in MODES:
        frame = encode_frame(rgb, mode)
        tracemalloc.start()
        result = decode_frame(frame, *SIZES[0])
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        lines.append(
            f"| {SIZES[0][0]}x{SIZES[0][1]} mode {mode}: peak traced memory of one decode "
            f"| {peak} bytes | result: {len(result)} bytes | +{peak - len(result)} bytes |"
        )
        del result
    lone_end = bytes.fromhex("000001bc00000090") + bytes(4)
    tiny = per_call(lambda: decode_frame(lone_end, 16, 16), 20000)
    empty = per_call(lambda: bytes(768), 20000)
    lines.append(
        f"| 16x16 lone FRAME_END | {tiny * 1e6:.2f} µs | bytes(768): {empty * 1e6:.2f} µs | {tiny / empty:.1f} |"
    )
    return lines


PIXEL_FORMATS: tuple[_PixelFormat, ...] = ("RGB", "BGR", "RGBX", "BGRX", "XRGB", "XBGR", "GRAY", "I420", "I444")


def screen_formats(rounds: int) -> list[str]:
    """Screen.apply in every pixel format, for a whole frame and a 1% delta
    frame, each format timed beside RGB in the same rounds. The times are the
    thread's CPU time (apply decodes on the calling thread): what other
    processes take from it on a shared machine is not counted."""
    from ._screen import Screen

    width, height = 1920, 1072  # whole macroblocks in both modes
    rgb = desktop(width, height)
    lines = ["| mode | frame | pixel format | median CPU ms | IQR ms | this / RGB |", "|---|---|---|---|---|---|"]
    for mode in MODES:
        frames = {"whole": encode_frame(rgb, mode), "1% delta": encode_frame(typed_line(rgb, mode), mode, previous=rgb)}
        screens = {name: Screen(width, height, mode, pixel_format=name) for name in PIXEL_FORMATS}
        for screen in screens.values():
            screen.apply(frames["whole"])  # the picture and its journal touched
        for kind, data in frames.items():
            timings = race(
                {name: functools.partial(s.apply, data) for name, s in screens.items()}, rounds, clock=time.thread_time
            )
            base = timings[0].median
            for t in timings:
                lo, hi = t.spread()
                lines.append(
                    f"| {mode} | {kind} ({len(data)} bytes) | {t.name} | {t.median * 1e3:.3f} "
                    f"| {lo * 1e3:.3f}-{hi * 1e3:.3f} | {t.median / base:.3f} |"
                )
    return lines


@dataclass
class RealPair:
    """A picture of the real set: its frame and the JPEG with the same coefficients."""

    name: str
    kind: str  # "photograph" or "screen"
    mode: int
    width: int
    height: int
    frame: bytes
    jpeg: bytes
    blocks: int  # 8x8 blocks in the frame
    nonzero: int  # non-zero coefficients among them


def load_real(directory: Path) -> list[RealPair]:
    """The pairs listed in DIR/manifest.json (written by bench/real_frames.py)."""
    manifest = json.loads((directory / "manifest.json").read_text())
    return [
        RealPair(
            e["name"],
            e["kind"],
            int(e["mode"]),
            int(e["width"]),
            int(e["height"]),
            (directory / e["frame"]).read_bytes(),
            (directory / e["jpeg"]).read_bytes(),
            int(e["blocks"]),
            int(e["nonzero"]),
        )
        for e in manifest["frames"]
    ]


def geometric_mean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values))


def real_frames(pairs: list[RealPair], rounds: int, warmup: int = 5) -> list[str]:
    """decode_frame against simplejpeg-fast on every pair, in one process.

    Each round times every pair once, the two decoders back to back (which goes
    first alternates from round to round), so that a drift of the machine falls
    on both alike. Every call is timed twice over: by the wall clock, and by the
    CPU time of the calling thread, which leaves out the time the thread spends
    preempted when other processes want the cores. On a busy machine the CPU
    time is the steadier measure. Ratios are quorvel / simplejpeg: below 1 is
    faster.
    """
    import simplejpeg

    def ours(p: RealPair) -> Callable[[], object]:
        return lambda: decode_frame(p.frame, p.width, p.height)

    def theirs(p: RealPair) -> Callable[[], object]:
        return lambda: simplejpeg.decode_jpeg(p.jpeg, fastdct=True, fastupsample=True)

    calls = [(ours(p), theirs(p)) for p in pairs]
    for a, b in calls:
        for _ in range(warmup):
            a(), b()
    # samples[pair][decoder][clock]: 0 quorvel, 1 simplejpeg; 0 wall, 1 CPU.
    samples: list[list[tuple[list[float], list[float]]]] = [[([], []), ([], [])] for _ in pairs]
    wall, cpu = time.perf_counter, time.thread_time
    for r in range(rounds):
        for (a, b), (sa, sb) in zip(calls, samples):
            for f, (w, c) in ((a, sa), (b, sb)) if r % 2 == 0 else ((b, sb), (a, sa)):
                t, u = wall(), cpu()
                f()
                c.append(cpu() - u)
                w.append(wall() - t)

    lines = [
        "| picture | kind | size | mode | JPEG KiB | frame KiB | non-zero coefficients a block "
        "| quorvel CPU ms (median / best) | simplejpeg-fast CPU ms (median / best) "
        "| ratio: CPU median | CPU best | wall median |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    ratios: dict[tuple[str, int], list[tuple[float, float, float]]] = {}
    for p, ((qw, qc), (sw, sc)) in zip(pairs, samples):
        qm, sm = statistics.median(qc), statistics.median(sc)
        r3 = (qm / sm, min(qc) / min(sc), statistics.median(qw) / statistics.median(sw))
        lines.append(
            f"| {p.name} | {p.kind} | {p.width}x{p.height} | {p.mode} | {len(p.jpeg) / 1024:.0f} "
            f"| {len(p.frame) / 1024:.0f} | {p.nonzero / p.blocks:.1f} "
            f"| {qm * 1e3:.2f} / {min(qc) * 1e3:.2f} | {sm * 1e3:.2f} / {min(sc) * 1e3:.2f} "
            f"| {r3[0]:.3f} | {r3[1]:.3f} | {r3[2]:.3f} |"
        )
        if p.width >= 1024:
            ratios.setdefault((p.kind, p.mode), []).append(r3)
    lines += [
        "",
        "Geometric means of quorvel / simplejpeg-fast over the frames at least 1024 wide:",
        "",
        "| frames | count | CPU median | CPU best | wall median |",
        "|---|---|---|---|---|",
    ]
    groups: list[tuple[str, list[tuple[str, int]]]] = []
    for kind in ("photograph", "screen"):
        for mode in MODES:
            groups.append((f"{kind}s, mode {mode}", [(kind, mode)]))
        groups.append((f"{kind}s, both modes", [(kind, m) for m in MODES]))
    groups.append(("all", list(ratios)))
    for label, keys in groups:
        rs = [r for k in keys for r in ratios.get(k, [])]
        if rs:
            means = " | ".join(f"{geometric_mean([r[i] for r in rs]):.3f}" for i in range(3))
            lines.append(f"| {label} | {len(rs)} | {means} |")
    return lines


SCALES = (1, 2, 4, 8)


def delta_of(shown: np.ndarray, mode: int, fraction: float = 0.01) -> bytes:
    """A delta frame over `shown` that redraws `fraction` of its macroblocks, spread over the
    picture (every k-th macroblock, inverted), as the encoder sends it."""
    n = fmt.macroblock_size(mode)
    h, w, _ = shown.shape
    cols, rows = w // n, h // n
    changed = shown.copy()
    step = max(1, round(1 / fraction))
    for k in range(0, cols * rows, step):
        r, c = divmod(k, cols)
        changed[r * n : (r + 1) * n, c * n : (c + 1) * n] ^= 255
    return encode_frame(changed, mode, previous=shown)


def thumbnails(pairs: list[RealPair], rounds: int) -> list[str]:
    """Screen(scale=N) on the real set: apply time per scale, and the thumbnails' error.

    Time: the pair's frame applied whole, and a 1% delta frame over it, onto a
    Screen at each scale, the scales interleaved round by round; CPU time of the
    calling thread, median of the rounds, and its ratio to scale 1. Error: after
    the whole frame and after the delta, the thumbnail against the box filter of
    the full-size Screen (numpy): mean absolute error in levels, its largest
    value and PSNR over all channels.
    """
    from ._picture import box_filter, psnr
    from ._screen import Screen

    timing = [
        "| picture | mode | frame | "
        + " | ".join(f"scale {s} CPU ms" for s in SCALES)
        + " | "
        + " | ".join(f"{s} / 1" for s in SCALES[1:])
        + " |",
        "|---|---|---|" + "---|" * (2 * len(SCALES) - 1),
    ]
    errors = [
        "| picture | mode | frame | " + " | ".join(f"scale {s}: MAE / max / PSNR dB" for s in SCALES[1:]) + " |",
        "|---|---|---|" + "---|" * (len(SCALES) - 1),
    ]
    ratios: dict[tuple[int, str, int], list[float]] = {}
    worst = {s: (0.0, math.inf) for s in SCALES[1:]}
    cpu = time.thread_time
    for p in pairs:
        full = Screen(p.width, p.height, p.mode)
        full.apply(p.frame)
        delta = delta_of(np.asarray(full).copy(), p.mode)
        screens = {s: Screen(p.width, p.height, p.mode, scale=s) for s in SCALES}
        for what, data in (("whole", p.frame), ("1% delta", delta)):
            if what != "whole":
                full.apply(data)
            row = []
            for s in SCALES[1:]:
                screens[s].apply(data)
                model, got = box_filter(np.asarray(full), s), np.asarray(screens[s])
                mae = float(np.mean(np.abs(model.astype(np.int16) - got)))
                peak = int(np.max(np.abs(model.astype(np.int16) - got)))
                db = psnr(model, got)
                worst[s] = (max(worst[s][0], mae), min(worst[s][1], db))
                row.append(f"{mae:.3f} / {peak} / {db:.1f}")
            errors.append(f"| {p.name} | {p.mode} | {what} | " + " | ".join(row) + " |")
            for s in SCALES:
                for _ in range(3):  # warm-up: the journal's pages touched
                    screens[s].apply(data)
            samples: dict[int, list[float]] = {s: [] for s in SCALES}
            for _ in range(rounds):
                for s in SCALES:
                    t = cpu()
                    screens[s].apply(data)
                    samples[s].append(cpu() - t)
            med = {s: statistics.median(samples[s]) for s in SCALES}
            timing.append(
                f"| {p.name} | {p.mode} | {what} | "
                + " | ".join(f"{med[s] * 1e3:.3f}" for s in SCALES)
                + " | "
                + " | ".join(f"{med[s] / med[1]:.3f}" for s in SCALES[1:])
                + " |"
            )
            if p.width == 1920:
                for s in SCALES[1:]:
                    ratios.setdefault((p.mode, what, s), []).append(med[s] / med[1])
    lines = ["Apply time per scale (CPU ms, median of the rounds) and its ratio to scale 1:", ""] + timing
    lines += [
        "",
        "Geometric means over the 1920x1072 pictures, apply time at the scale / at scale 1:",
        "",
        "| mode | frame | " + " | ".join(f"scale {s}" for s in SCALES[1:]) + " |",
        "|---|---|" + "---|" * (len(SCALES) - 1),
    ]
    for mode in MODES:
        for what in ("whole", "1% delta"):
            if (mode, what, 2) in ratios:
                lines.append(
                    f"| {mode} | {what} | "
                    + " | ".join(f"{geometric_mean(ratios[(mode, what, s)]):.3f}" for s in SCALES[1:])
                    + " |"
                )
    lines += ["", "Thumbnail against the box-filtered full picture (levels; PSNR over all channels):", ""] + errors
    lines += [
        "",
        "Worst over the set: " + ", ".join(f"scale {s}: MAE {m:.3f}, PSNR {d:.1f} dB" for s, (m, d) in worst.items()),
    ]
    return lines


def thumbnail_floors(binary: Path, directory: Path, pairs: list[RealPair], rounds: int) -> dict[str, list[float]]:
    """Each scale's floor per frame, from bench/thumbnail_cpu_bench.cpp (built with -DQUORVEL_BENCH=ON):
    the record walk the scale needs with nothing drawn, as a share of a full-size apply on one
    thread, keyed by "name mode". The walk has no Python entry point: the C++ benchmark times it."""
    args = [str(binary), str(rounds)]
    for p in pairs:
        args += [str(directory / f"{p.name}-{p.mode}.frame"), str(p.width), str(p.height)]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    floors: dict[str, list[float]] = {}
    for line in out.splitlines():
        # "DIR/NAME-MODE.frame full T ms | 1/2 floor F thumb T | 1/4 ... | 1/8 ..."
        if " | 1/2 floor " not in line:
            continue
        stem = Path(line.split(" ", 1)[0]).stem
        name, mode = stem.rsplit("-", 1)
        floors[f"{name} {mode}"] = [float(part.split()[2]) for part in line.split(" | ")[1:]]
    return floors


def thumbnails_vs_jpeg(
    pairs: list[RealPair], rounds: int, floors: dict[str, list[float]], warmup: int = 3
) -> list[str]:
    """Thumbnails on one thread against libjpeg-turbo's scaled decode, frames of the real set at
    least 1024 wide. Per frame and scale: the floor (the walk alone, from the C++ benchmark, when
    built), Screen(scale=s).apply of the whole frame / a full-size apply, simplejpeg's decode to
    at least w // s x h // s / its own full-size decode (fastdct, fastupsample), and the
    thumbnail's CPU time / simplejpeg's scaled one. All eight raced in interleaved rounds on the
    calling thread's CPU time (medians); then the geometric means over the frames and the worst."""
    import simplejpeg

    from ._screen import Screen

    scales = SCALES[1:]
    header = "| picture | mode | " + " | ".join(
        f"1/{s} floor | 1/{s} / full | sj 1/{s} / sj full | 1/{s} / sj 1/{s}" for s in scales
    )
    lines = [header + " |", "|---|---|" + "---|" * (4 * len(scales))]
    columns: dict[tuple[int, int], list[tuple[float, str]]] = {}  # (scale, column) -> (value, frame)
    for p in pairs:
        if p.width < 1024:
            continue
        screens = {s: Screen(p.width, p.height, p.mode, scale=s, threads=1) for s in SCALES}
        contenders: dict[str, Callable[[], object]] = {}
        for s in SCALES:
            contenders[f"q{s}"] = functools.partial(screens[s].apply, p.frame)
            contenders[f"j{s}"] = functools.partial(
                simplejpeg.decode_jpeg,
                p.jpeg,
                fastdct=True,
                fastupsample=True,
                min_width=p.width // s,
                min_height=p.height // s,
            )
        med = {t.name: t.median for t in race(contenders, rounds, warmup, time.thread_time)}
        key = f"{p.name} {p.mode}"
        row = []
        for i, s in enumerate(scales):
            values = [
                floors[key][i] if key in floors else math.nan,
                med[f"q{s}"] / med["q1"],
                med[f"j{s}"] / med["j1"],
                med[f"q{s}"] / med[f"j{s}"],
            ]
            for c, v in enumerate(values):
                columns.setdefault((s, c), []).append((v, key))
            row += [f"{v:.3f}" for v in values]
        lines.append(f"| {p.name} | {p.mode} | " + " | ".join(row) + " |")
    if not columns:
        return lines
    names = ("floor / full", "thumbnail / full", "simplejpeg scaled / its full", "thumbnail / simplejpeg scaled")
    goals = {2: 0.7, 4: 0.55, 8: 0.4}
    lines += [
        "",
        "Geometric means over the frames (worst frame), one thread, CPU time; goal: thumbnail / full:",
        "",
        "| scale | goal | " + " | ".join(names) + " |",
        "|---|---|" + "---|" * len(names),
    ]
    for s in scales:
        cells = []
        for c in range(len(names)):
            present = [(v, f) for v, f in columns[(s, c)] if not math.isnan(v)]
            if not present:
                cells.append("n/a (build thumbnail_cpu_bench)")
                continue
            worst = max(present)
            cells.append(f"{geometric_mean([v for v, _ in present]):.3f} ({worst[0]:.3f} {worst[1]})")
        lines.append(f"| 1/{s} | {goals[s]} | " + " | ".join(cells) + " |")
    return lines


def mean_and_worst(label: str, values: list[tuple[float, str]]) -> str:
    """A table's last line: the geometric mean of its ratios over the frames, and the worst."""
    worst = max(values)
    return (
        f"{label} over {len(values)} frames: geometric mean {geometric_mean([r for r, _ in values]):.3f}, "
        f"worst {worst[0]:.3f} ({worst[1]})"
    )


def formats_beside_rgb(
    pairs: list[RealPair], rounds: int, formats: tuple[_PixelFormat, ...], warmup: int = 3
) -> list[str]:
    """Screen.apply on one thread in each of `formats` beside RGB, whole frames of the real set
    at least 1024 wide, each applied over and over. The formats of a frame are raced round by
    round on the calling thread's CPU time; each frame's ratio is of the medians, and the last
    lines give, per format, the geometric mean over the frames and the worst frame."""
    from ._screen import Screen

    named: tuple[_PixelFormat, ...] = ("RGB", *formats)
    lines = [
        "| picture | mode | "
        + " | ".join(f"{f} ms" for f in named)
        + " | "
        + " | ".join(f"{f} / RGB" for f in formats)
        + " |",
        "|---|---|" + "---|" * (2 * len(named) - 1),
    ]
    ratios: dict[str, list[tuple[float, str]]] = {name: [] for name in formats}
    for p in pairs:
        if p.width < 1024:
            continue
        screens = {name: Screen(p.width, p.height, pixel_format=name, threads=1) for name in named}
        timings = race(
            {name: functools.partial(s.apply, p.frame) for name, s in screens.items()}, rounds, warmup, time.thread_time
        )
        base = timings[0].median
        for t in timings[1:]:
            ratios[t.name].append((t.median / base, f"{p.name} {p.mode}"))
        lines.append(
            f"| {p.name} | {p.mode} | "
            + " | ".join(f"{t.median * 1e3:.2f}" for t in timings)
            + " | "
            + " | ".join(f"{t.median / base:.3f}" for t in timings[1:])
            + " |"
        )
    lines.append("")
    lines += [mean_and_worst(f"{name} / RGB", values) for name, values in ratios.items() if values]
    return lines


# The planar formats (no colour conversion) and the four-byte ones (the goal: at most 1.05 times RGB).
PLANAR: tuple[_PixelFormat, ...] = ("I420", "I444")
PADDED: tuple[_PixelFormat, ...] = ("RGBX", "BGRX", "XRGB", "XBGR")


def screen_against_decode(pairs: list[RealPair], rounds: int, warmup: int = 3) -> list[str]:
    """Screen.apply on one thread (RGB, each whole frame applied over the one before it, so
    journalled whole) beside decode_frame of the same frame, on the real frames at least 1024
    wide, both modes. The two are raced round by round on the calling thread's CPU time; each
    frame's ratio is of the medians, and the last line gives their geometric mean over the
    frames and the worst frame."""
    from ._screen import Screen

    lines = [
        "| picture | mode | decode_frame ms | Screen.apply ms | apply / decode_frame |",
        "|---|---|---|---|---|",
    ]
    ratios: list[tuple[float, str]] = []
    for p in pairs:
        if p.width < 1024:
            continue
        screen = Screen(p.width, p.height, threads=1)
        contenders: dict[str, Callable[[], object]] = {
            "decode_frame": functools.partial(decode_frame, p.frame, p.width, p.height),
            "apply": functools.partial(screen.apply, p.frame),
        }
        decode, apply = race(contenders, rounds, warmup, time.thread_time)
        ratio = apply.median / decode.median
        ratios.append((ratio, f"{p.name} {p.mode}"))
        lines.append(f"| {p.name} | {p.mode} | {decode.median * 1e3:.2f} | {apply.median * 1e3:.2f} | {ratio:.3f} |")
    if ratios:
        lines += ["", mean_and_worst("Screen.apply / decode_frame", ratios)]
    return lines


def screen_frames(pairs: list[RealPair], rounds: int, warmup: int = 3) -> list[str]:
    """Screen.apply on one thread, on two and automatically, against simplejpeg-fast.

    Each screen applies the same whole frame over and over (journalling all of
    it, as any full frame does). Wall times are raced round by round as in
    real_frames. CPU is the process's CPU time (every thread) of each call, read
    in the same rounds (a worker that has drawn the frame's last macroblock
    sleeps at once, so each call's CPU time is all its own). Ratios below 1
    are faster.
    """
    import simplejpeg

    from ._screen import Screen

    def contenders(p: RealPair) -> dict[str, Callable[[], object]]:
        screens = {name: Screen(p.width, p.height, threads=t) for name, t in (("one", 1), ("two", 2), ("auto", None))}
        calls: dict[str, Callable[[], object]] = {
            name: functools.partial(s.apply, p.frame) for name, s in screens.items()
        }
        calls["simplejpeg"] = lambda: simplejpeg.decode_jpeg(p.jpeg, fastdct=True, fastupsample=True)
        return calls

    lines = [
        "| picture | kind | size | mode | one thread ms | two threads ms | automatic ms | simplejpeg-fast ms "
        "| two / simplejpeg | automatic / simplejpeg | two / one | CPU: two / one | CPU: automatic / one |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    ratios: dict[str, list[tuple[float, ...]]] = {}
    for p in pairs:
        calls = contenders(p)
        wall, process = race_clocks(calls, rounds, warmup, (time.perf_counter, time.process_time))
        t = {x.name: x.median for x in wall}
        cpu = {x.name: x.median for x in process}
        r = (
            t["two"] / t["simplejpeg"],
            t["auto"] / t["simplejpeg"],
            t["two"] / t["one"],
            cpu["two"] / cpu["one"],
            cpu["auto"] / cpu["one"],
        )
        lines.append(
            f"| {p.name} | {p.kind} | {p.width}x{p.height} | {p.mode} | {t['one'] * 1e3:.2f} "
            f"| {t['two'] * 1e3:.2f} | {t['auto'] * 1e3:.2f} | {t['simplejpeg'] * 1e3:.2f} | "
            + " | ".join(f"{x:.3f}" for x in r)
            + " |"
        )
        if p.width >= 1024:
            ratios.setdefault(p.kind, []).append(r)
            ratios.setdefault("all", []).append(r)
    lines += [
        "",
        "Geometric means over the frames at least 1024 wide:",
        "",
        "| frames | count | two / simplejpeg | automatic / simplejpeg | two / one | CPU: two / one "
        "| CPU: automatic / one |",
        "|---|---|---|---|---|---|---|",
    ]
    for label in ("photograph", "screen", "all"):
        if rs := ratios.get(label):
            lines.append(
                f"| {label} | {len(rs)} | "
                + " | ".join(f"{geometric_mean([r[i] for r in rs]):.3f}" for i in range(5))
                + " |"
            )

    # The other CPU busy: a process that spins for the whole race.
    big = [p for p in pairs if p.width >= 1024]
    busy_rounds = max(15, rounds)
    lines += [
        "",
        f"With another process spinning on a CPU: medians of {busy_rounds} rounds, frames at least "
        "1024 wide, against one thread:",
        "",
        "| picture | one thread ms | automatic ms | two threads ms | automatic / one | two / one |",
        "|---|---|---|---|---|---|",
    ]
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        busy: list[tuple[float, float]] = []
        for p in big:
            calls = contenders(p)
            del calls["simplejpeg"]
            t = {x.name: x.median for x in race(calls, busy_rounds, warmup)}
            busy.append((t["auto"] / t["one"], t["two"] / t["one"]))
            lines.append(
                f"| {p.name} | {t['one'] * 1e3:.2f} | {t['auto'] * 1e3:.2f} | {t['two'] * 1e3:.2f} "
                f"| {busy[-1][0]:.3f} | {busy[-1][1]:.3f} |"
            )
    finally:
        spinner.kill()
        spinner.wait()
    if busy:
        lines.append(
            f"| geometric mean | | | | {geometric_mean([b[0] for b in busy]):.3f} "
            f"| {geometric_mean([b[1] for b in busy]):.3f} |"
        )
    return lines


def machine() -> str:
    """CPU model, CPUs the process may use, and the load average when asked."""
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "?"
    return f"{model}, {cpus} CPUs, load average {load}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quorvel bench", description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=40, help="timed rounds per contender (default 40)")
    parser.add_argument(
        "--real",
        type=Path,
        metavar="DIR",
        help="also race simplejpeg on the real photographs and screen captures in DIR (made by bench/real_frames.py)",
    )
    parser.add_argument("--only-real", action="store_true", help="skip the synthetic sections")
    parser.add_argument(
        "--only-thumbnails",
        action="store_true",
        help="with --real: only the thumbnails against a full-size apply and simplejpeg's scaled decode",
    )
    parser.add_argument(
        "--thumbnail-bench",
        type=Path,
        metavar="BINARY",
        default=Path("build/bench/thumbnail_cpu_bench"),
        help="the C++ benchmark that times each thumbnail scale's floor (default: %(default)s, "
        "built by cmake -DQUORVEL_BENCH=ON; without it the floors are left out)",
    )
    parser.add_argument(
        "--only-formats", action="store_true", help="only Screen.apply in every pixel format, beside RGB"
    )
    parser.add_argument(
        "--only-planar", action="store_true", help="with --real: only the planar formats beside RGB on the real frames"
    )
    parser.add_argument(
        "--only-padded",
        action="store_true",
        help="with --real: only the four-byte formats beside RGB on the real frames",
    )
    parser.add_argument(
        "--only-screen", action="store_true", help="with --real: only the Screen.apply section (implies --only-real)"
    )
    parser.add_argument(
        "--recording",
        action="store_true",
        help="only the recordings section: a one-hour 1920x1080 recording, its appends and seeks "
        "(also run alone: python -m quorvel._recording_bench)",
    )
    parser.add_argument(
        "--export",
        action="store_true",
        help="only the export section: quality, speed and size of the default video (also run alone: "
        "python -m quorvel._export_bench)",
    )
    args = parser.parse_args(argv)
    import simplejpeg

    print(
        f"{decoder_version()}, simplejpeg {simplejpeg.__version__}, Pillow {metadata.version('pillow')}, "
        f"numpy {np.__version__}, CPython {platform.python_version()}, {platform.machine()}"
    )
    print(machine())
    if args.recording:
        print()
        return recording_section()
    if args.export:
        print()
        return export_section()
    if args.only_formats:
        print()
        print("\n".join(screen_formats(args.rounds)))
        return 0
    if args.real is not None and args.only_planar:
        print()
        print("\n".join(formats_beside_rgb(load_real(args.real), args.rounds, PLANAR)))
        return 0
    if args.real is not None and args.only_padded:
        print()
        print("\n".join(formats_beside_rgb(load_real(args.real), args.rounds, PADDED)))
        print()
        print(machine())
        return 0
    if args.real is not None and args.only_thumbnails:
        print()
        print("\n".join(thumbnail_section(args.real, args.thumbnail_bench, args.rounds)))
        return 0
    if args.real is not None:
        pairs = load_real(args.real)
        if not args.only_screen:
            print()
            print(
                "Real photographs and screen captures: decode_frame vs "
                "simplejpeg.decode_jpeg(jpeg, fastdct=True, fastupsample=True)"
            )
            print()
            print("\n".join(real_frames(pairs, args.rounds)))
        print()
        print("Real frames at least 1024 wide: Screen.apply on one thread beside decode_frame (CPU time)")
        print()
        print("\n".join(screen_against_decode(pairs, args.rounds)))
        print()
        print(
            "Real photographs and screen captures: Screen.apply on one thread, on two and automatically, vs "
            "simplejpeg.decode_jpeg(jpeg, fastdct=True, fastupsample=True)"
        )
        print()
        print("\n".join(screen_frames(pairs, args.rounds)))
        print()
        print("Real frames at least 1024 wide: Screen.apply on one thread in the planar formats, beside RGB")
        print()
        print("\n".join(formats_beside_rgb(pairs, args.rounds, PLANAR)))
        print()
        print("Real frames at least 1024 wide: Screen.apply on one thread in the four-byte formats, beside RGB")
        print()
        print("\n".join(formats_beside_rgb(pairs, args.rounds, PADDED)))
        if not args.only_screen:
            print()
            print("Thumbnails: Screen(scale=N) on the same frames")
            print()
            print("\n".join(thumbnails(pairs, args.rounds)))
            print()
            print("\n".join(thumbnail_section(args.real, args.thumbnail_bench, args.rounds)))
    if not (args.only_real or args.only_screen):
        print()
        print("\n".join(full_frames(args.rounds)))
        print()
        print("\n".join(small_frames(args.rounds * 5)))
        print()
        print("Screen.apply in every pixel format, 1920x1072, beside RGB")
        print()
        print("\n".join(screen_formats(args.rounds)))
        print()
        recording_section()
        print()
        export_section()
    print()
    print(machine())
    return 0


def thumbnail_section(directory: Path, binary: Path, rounds: int) -> list[str]:
    """The thumbnails beside their floors and beside simplejpeg's scaled decode (thumbnails_vs_jpeg)."""
    pairs = [p for p in load_real(directory) if p.width >= 1024]
    floors = thumbnail_floors(binary, directory, pairs, rounds) if binary.exists() else {}
    head = [
        "Thumbnails on one thread: each scale's floor (its record walk with nothing drawn) and "
        "Screen(scale=N).apply against a full-size apply; simplejpeg.decode_jpeg(jpeg, fastdct=True, "
        "fastupsample=True, min_width=w // N, min_height=h // N) against its own full size",
        "",
    ]
    return head + thumbnails_vs_jpeg(pairs, rounds, floors)


def recording_section() -> int:
    from . import _recording_bench

    print("Recordings: a one-hour 1920x1080 session at 10 frames a second")
    print()
    return _recording_bench.main([])


def export_section() -> int:
    try:
        import av  # noqa: F401
    except ImportError:
        print("Export: skipped, it needs PyAV (pip install '.[video]')")
        return 0
    from . import _export_bench

    print("Export: the default video (H.264 4:2:0, veryfast, CRF 22) of the demo session and the hour")
    print()
    return _export_bench.main([])


if __name__ == "__main__":
    raise SystemExit(main())

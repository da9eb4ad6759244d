"""A one-hour 1920x1080 recording at 10 frames a second: what it holds, its size, the time
an append takes, and how long a seek (Recording.screen_at) takes at random times.

The session is synthetic. A few hundred frames are encoded once with quorvel's encoder and
repeated along an hour: a terminal where someone types and output scrolls, a desktop where a
window with a photograph is dragged about, a boot log that grows line by line, idle seconds
(frames that draw nothing), and a whole-screen change (one of the three screens, sent whole)
every five minutes. The recording is written with Recording.append at the session's own times
(as fast as it goes, not in real time), then read back: screen_at at 100 random times in RGB on
one thread, each checked against a replay from the start for a few of them, then a few seeks
in GRAY and at 1/8, which replay from the last size change.

    python -m quorvel._recording_bench [--keep FILE] [--seeks N]
"""

from __future__ import annotations

import argparse
import os
import random
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFont

from ._screen import Screen
from .demo import _font, _photo
from .encode import encode_frame
from .recording import Recording

WIDTH, HEIGHT, FPS, HOUR = 1920, 1080, 10, 3600
SCENE_SECONDS = 300  # a whole-screen change this often
CELL_W, CELL_H = 9, 18  # the text screens' character cells


def _text_screen(lines: list[str], background: tuple[int, int, int], ink: tuple[int, int, int]) -> np.ndarray:
    img = Image.new("RGB", (WIDTH, HEIGHT), background)
    draw = ImageDraw.Draw(img)
    draw.fontmode = "1"  # consoles draw without anti-aliasing
    font = _font(15)
    for row, text in enumerate(lines[-(HEIGHT // CELL_H - 1) :]):
        draw.text((8, 6 + row * CELL_H), text, font=font, fill=ink)
    return np.asarray(img)


def _terminal_lines(rng: random.Random, count: int) -> list[str]:
    words = "kernel eth0 link up systemd started session user root disk sda2 mounted ok fan temp".split()
    return [f"[{1000 + i * 7.31:10.4f}] " + " ".join(rng.choices(words, k=rng.randint(3, 12))) for i in range(count)]


def _desktop(window: tuple[int, int], photo: np.ndarray) -> np.ndarray:
    img = Image.new("RGB", (WIDTH, HEIGHT), (32, 72, 104))
    draw = ImageDraw.Draw(img)
    x, y = window
    h, w = photo.shape[:2]
    draw.rectangle((x - 1, y - 23, x + w, y + h), outline=(150, 150, 150), fill=(222, 222, 222))
    draw.text((x + 8, y - 19), "IMG_4471.jpg - Viewer", font=_font(13), fill=(16, 16, 16))
    img.paste(Image.fromarray(photo), (x, y))
    return np.asarray(img)


def encode_session() -> dict[str, list[bytes]]:
    """The encoded frames by kind: 'key' (three whole screens), 'typing', 'scroll', 'drag',
    'boot' (deltas, each over the picture before it) and 'idle' (a frame that draws nothing)."""
    rng = random.Random(2024)
    frames: dict[str, list[bytes]] = {}

    def deltas(pictures: list[np.ndarray]) -> list[bytes]:
        return [encode_frame(b, previous=a) for a, b in zip(pictures, pictures[1:])]

    # The terminal: a command typed a character a frame, then its output scrolling a line a frame.
    history = _terminal_lines(rng, 80)
    command = "journalctl -b -u ssh.service --since today | grep -i 'accepted publickey'"
    typing = [_text_screen(history + ["# " + command[:n]], (12, 12, 12), (204, 204, 204)) for n in range(73)]
    output = _terminal_lines(rng, 60)
    scroll = [_text_screen(history + ["# " + command] + output[:n], (12, 12, 12), (204, 204, 204)) for n in range(61)]
    # The desktop: a window with a photograph dragged 50 steps along a curve.
    photo = _photo(360, 240)  # the demo's picture viewer
    path = [(200 + 18 * i, 160 + int(240 * np.sin(i / 8))) for i in range(51)]
    desktop = [_desktop(p, photo) for p in path]
    # A boot log, a line a frame.
    boot_lines = [f"[  OK  ] Started {w}." for w in _terminal_lines(rng, 45)]
    boot = [_text_screen(boot_lines[:n], (0, 0, 0), (170, 170, 170)) for n in range(46)]

    frames["key"] = [encode_frame(typing[0]), encode_frame(desktop[0]), encode_frame(boot[0])]
    frames["typing"] = deltas(typing)
    frames["scroll"] = deltas([typing[-1]] + scroll[1:])
    frames["drag"] = deltas(desktop)
    frames["boot"] = deltas(boot)
    frames["idle"] = [encode_frame(boot[0], previous=boot[0])]
    return frames


def timeline(frames: dict[str, list[bytes]], seconds: int = HOUR) -> list[tuple[str, int]]:
    """(kind, index) for each tenth of a second of the session: every five minutes a whole
    screen, then bursts of what that screen does, with idle stretches between them."""
    rng = random.Random(17)
    activity = {0: ("typing", "scroll"), 1: ("drag",), 2: ("boot",)}
    out: list[tuple[str, int]] = []
    per_scene = SCENE_SECONDS * FPS
    for scene in range(seconds // SCENE_SECONDS):
        screen = scene % 3
        out.append(("key", screen))
        end = (scene + 1) * per_scene
        while len(out) < end:
            kind = rng.choice(activity[screen])
            run = len(frames[kind])
            start = rng.randrange(run)
            for i in range(rng.randint(5, run)):
                out.append((kind, (start + i) % run))
            out.extend([("idle", 0)] * rng.randint(10, 40 * FPS))
        del out[end:]
    return out


def run(path: Path, seeks: int) -> None:
    print(f"encoding the session's frames at {WIDTH}x{HEIGHT} ...", flush=True)
    start = time.perf_counter()
    frames = encode_session()
    plan = timeline(frames)
    encoded = sum(len(v) for v in frames.values())
    print(f"  {encoded} distinct frames encoded in {time.perf_counter() - start:.1f} s")

    appends: list[float] = []
    kinds: dict[str, int] = {}
    with Recording.create(path, metadata={"source": "synthetic", "fps": FPS}) as rec:
        for i, (kind, index) in enumerate(plan):
            data = frames[kind][index]
            begin = time.perf_counter()
            rec.append(data, WIDTH, HEIGHT, t=i / FPS)
            appends.append(time.perf_counter() - begin)
            kinds[kind] = kinds.get(kind, 0) + 1
        begin = time.perf_counter()
    closing = time.perf_counter() - begin

    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    frame_bytes = db.execute("SELECT sum(length(data)) FROM frames").fetchone()[0]
    snaps, snap_bytes = db.execute("SELECT count(*), coalesce(sum(length(pixels)), 0) FROM snapshots").fetchone()
    db.close()
    size = path.stat().st_size
    rec = Recording.open(path)
    print()
    print(
        f"recording {path.name}: {len(rec)} frames of {WIDTH}x{HEIGHT} over {rec.duration:.1f} s "
        f"({FPS} a second), {encoded} distinct"
    )
    print("  " + ", ".join(f"{k} {v}" for k, v in sorted(kinds.items(), key=lambda kv: -kv[1])))
    print(f"  frames' bytes {frame_bytes / 1e6:.1f} MB; file {size / 1e6:.1f} MB")
    print(
        f"  snapshots {snaps}, {snap_bytes / 1e6:.2f} MB: {100 * snap_bytes / size:.1f}% of the file "
        f"({100 * snap_bytes / max(1, size - snap_bytes):.1f}% added to it)"
    )
    ms = [a * 1e3 for a in appends]
    print(
        f"append: mean {statistics.fmean(ms):.3f} ms, median {statistics.median(ms):.3f} ms, "
        f"99th percentile {sorted(ms)[len(ms) * 99 // 100]:.2f} ms, worst {max(ms):.2f} ms; "
        f"close {closing * 1e3:.0f} ms"
    )

    # The same frames as bare INSERTs, each committed, into an SQLite file in WAL mode: what the
    # machine gives any writer, beside which the append figures read.
    bare_path = path.with_name(path.name + ".bare")
    bare = sqlite3.connect(bare_path, isolation_level=None)
    bare.execute("PRAGMA journal_mode = WAL")
    bare.execute("PRAGMA synchronous = NORMAL")
    bare.execute("CREATE TABLE frames (id INTEGER PRIMARY KEY, t_ns INTEGER, width INTEGER, height INTEGER, data BLOB)")
    inserts = []
    for i, (kind, index) in enumerate(plan):
        begin = time.perf_counter()
        bare.execute("BEGIN")
        bare.execute("INSERT INTO frames VALUES (?, ?, ?, ?, ?)", (i, i * 10**8, WIDTH, HEIGHT, frames[kind][index]))
        bare.execute("COMMIT")
        inserts.append((time.perf_counter() - begin) * 1e3)
    bare.close()
    for leftover in (
        bare_path,
        bare_path.with_name(bare_path.name + "-wal"),
        bare_path.with_name(bare_path.name + "-shm"),
    ):
        leftover.unlink(missing_ok=True)
    print(
        f"  beside it, a bare INSERT and COMMIT of the same frames (WAL): mean {statistics.fmean(inserts):.3f} ms, "
        f"99th percentile {sorted(inserts)[len(inserts) * 99 // 100]:.2f} ms, worst {max(inserts):.2f} ms"
    )

    rng = random.Random(5)
    times = [rng.uniform(0, rec.duration) for _ in range(seeks)]
    rec.screen_at(times[0], threads=1)  # a warm-up: the size changes read once
    took = []
    for t in times:
        begin = time.perf_counter()
        rec.screen_at(t, threads=1)
        took.append(time.perf_counter() - begin)
    print(
        f"screen_at, RGB, one thread, {seeks} random times: median {statistics.median(took) * 1e3:.0f} ms, "
        f"worst {max(took) * 1e3:.0f} ms"
    )
    # Exactness on a few of them: the same picture as a replay from the start.
    for t in times[:3]:
        screen = Screen(WIDTH, HEIGHT, threads=1)
        for frame in rec:
            if frame.t > t:
                break
            screen.apply(frame.data)
        assert rec.screen_at(t, threads=1).to_bytes() == screen.to_bytes(), t
    print("  3 of them checked against a replay from the start: the same picture")
    for kw in ({"pixel_format": "GRAY"}, {"scale": 8}):
        took = []
        for t in times[:5]:
            begin = time.perf_counter()
            rec.screen_at(t, threads=1, **kw)
            took.append(time.perf_counter() - begin)
        name = ", ".join(f"{k}={v}" for k, v in kw.items())
        print(
            f"screen_at, {name} (replayed from the last keyframe or size change), 5 times: median {statistics.median(took) * 1e3:.0f} ms, "
            f"worst {max(took) * 1e3:.0f} ms"
        )
    rec.close()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"(load average {load} on {os.cpu_count()} CPUs)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvel._recording_bench", description=__doc__.splitlines()[0])
    parser.add_argument("--keep", type=Path, metavar="FILE", help="write the recording here and keep it")
    parser.add_argument("--seeks", type=int, default=100, help="random times to seek to (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.keep:
        run(args.keep, args.seeks)
        return 0
    with tempfile.TemporaryDirectory(prefix="quorvel-recording-") as folder:
        run(Path(folder) / "hour.qvr", args.seeks)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""What a live screen costs: python bench/screen_bench.py [--rounds N] [--frames N].

1. A delta frame that changes 1% of the macroblocks of a 1920x1080 picture (at
   random places, so that nothing merges), applied to a Screen that shows the
   picture before, against decode_frame on the full frame of the picture after.
   Both are timed in one process, interleaved round by round; the ratio of the
   medians is the figure (target: at most 0.05).
2. Two threads applying full frames to two screens against one thread applying
   the same frames to both screens in turn, round after round (target: at
   least 1.7x as fast). Printed for the median round and the best round.

Needs numpy and the encoder (pip install 'quorvel[tools]'). Wall time on a
shared machine is noisy: read the medians and the ratios.
"""

from __future__ import annotations

import argparse
import os
import statistics
import threading
import time

import numpy as np

from quorvel._ast2100 import decode_frame
from quorvel._screen import Screen
from quorvel.encode import encode_frame

WIDTH, HEIGHT = 1920, 1080


def console(width: int, height: int, seed: int = 1) -> np.ndarray:
    """A console-like picture: smooth background, flat panels, and noisy 'text' areas."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    rgb = np.stack([(xx * 255 // width), (yy * 255 // height), np.full_like(xx, 96)], axis=-1).astype(np.uint8)
    for _ in range(12):
        x, y = int(rng.integers(0, width - 300)), int(rng.integers(0, height - 200))
        rgb[y : y + 200, x : x + 300] = rng.integers(0, 256, 3)
    for _ in range(8):
        x, y = int(rng.integers(0, width - 400)), int(rng.integers(0, height - 120))
        text = rng.random((120, 400)) < 0.3
        rgb[y : y + 120, x : x + 400][text] = (230, 230, 230)
    return rgb


def changed_picture(rgb: np.ndarray, mode: int, fraction: float, seed: int = 2) -> np.ndarray:
    """The picture with `fraction` of its macroblocks, picked at random, redrawn."""
    n = 16 if mode == 422 else 8
    rows, cols = rgb.shape[0] // n, rgb.shape[1] // n
    rng = np.random.default_rng(seed)
    out = rgb.copy()
    for k in rng.choice(rows * cols, max(1, round(fraction * rows * cols)), replace=False):
        r, c = divmod(int(k), cols)
        out[r * n : (r + 1) * n, c * n : (c + 1) * n] = 255 - out[r * n : (r + 1) * n, c * n : (c + 1) * n]
    return out


def race(contenders: dict, rounds: int, warmup: int = 3) -> dict[str, float]:
    """Median seconds per call of each contender, timed in turn round after round."""
    for f in contenders.values():
        for _ in range(warmup):
            f()
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, f in contenders.items():
            t = time.perf_counter()
            f()
            samples[name].append(time.perf_counter() - t)
    return {name: statistics.median(s) for name, s in samples.items()}


def delta_cost(rounds: int) -> None:
    print(f"1. a 1% delta frame on a {WIDTH}x{HEIGHT} Screen vs decode_frame of the full frame")
    rgb = console(WIDTH, HEIGHT)
    for mode in (444, 422):
        after = changed_picture(rgb, mode, 0.01)
        key, full, delta = encode_frame(rgb, mode), encode_frame(after, mode), encode_frame(after, mode, previous=rgb)
        screen = Screen(WIDTH, HEIGHT, mode)
        screen.apply(key)
        rects = screen.apply(delta)
        t = race(
            {
                "decode_frame(full)": lambda: decode_frame(full, WIDTH, HEIGHT),
                "Screen.apply(delta)": lambda: screen.apply(delta),
                "Screen.apply(full)": lambda: screen.apply(full),
            },
            rounds,
        )
        base = t["decode_frame(full)"]
        print(f"   mode {mode}: delta {len(delta)} bytes, {len(rects)} rectangles; full frame {len(full)} bytes")
        for name, seconds in t.items():
            print(f"     {name:<22} {seconds * 1e3:8.3f} ms   {seconds / base:6.3f} x decode_frame(full)")


def run_threads(jobs) -> tuple[float, float]:
    """Runs each job (a callable) on a thread of its own; wall seconds until all
    end, and the process's CPU seconds in that time."""
    start = threading.Barrier(len(jobs) + 1)

    def body(job):
        start.wait()
        job()

    threads = [threading.Thread(target=body, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    t0, c0 = time.perf_counter(), time.process_time()
    start.wait()
    for t in threads:
        t.join()
    return time.perf_counter() - t0, time.process_time() - c0


def two_threads(rounds: int, frames: int) -> None:
    print(
        f"2. {frames} full {WIDTH}x{HEIGHT} frames per screen on two screens: two threads vs one "
        f"({os.cpu_count()} CPUs)"
    )
    rgb = console(WIDTH, HEIGHT)
    for mode in (444, 422):
        data = [encode_frame(changed_picture(rgb, mode, 0.5, seed), mode) for seed in range(4)]
        a, b = Screen(WIDTH, HEIGHT), Screen(WIDTH, HEIGHT)

        def play(*screens):
            def job():
                for k in range(frames):
                    for s in screens:
                        s.apply(data[k % len(data)])

            return job

        one, two = [], []
        play(a, b)()  # warm-up: both pictures and journals touched
        for _ in range(rounds):
            one.append(run_threads([play(a, b)]))
            two.append(run_threads([play(a), play(b)]))
        # Other work on the machine takes cores away from both alike; the best
        # round of each is the one least disturbed. CPU / wall says how many
        # cores the process had.
        middle = lambda runs: sorted(runs)[len(runs) // 2]  # noqa: E731  (by wall time)
        for what, pick in (("median", middle), ("best", min)):
            (w1, c1), (w2, c2) = pick(one), pick(two)
            print(
                f"   mode {mode}, {what:<6} of {rounds}: one thread {w1 * 1e3:6.1f} ms "
                f"({w1 / (2 * frames) * 1e3:.2f} ms a frame, CPU/wall {c1 / w1:.2f}), two threads "
                f"{w2 * 1e3:6.1f} ms (CPU/wall {c2 / w2:.2f}): {w1 / w2:.2f}x"
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--frames", type=int, default=10, help="frames per screen in one round of part 2")
    args = parser.parse_args()
    delta_cost(args.rounds)
    two_threads(args.rounds, args.frames)


if __name__ == "__main__":
    main()

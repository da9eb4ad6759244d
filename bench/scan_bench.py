"""Recordings per second of `quorvel.scan`: one local worker, two local workers, and a Dask
cluster of two worker processes on this machine, run side by side in interleaved rounds.

    ./dev bench scan [--rounds 3] [--recordings 40]

The recordings (build/scan-bench/, made once and kept) are copies of one 1920x1080 session of
desktop key frames, long enough that one takes at least a second to scan on one core; the
first line says how long it takes. Each run scans all of them again (force) into a fresh
folder. The cluster is started before each of its runs and closed after it, untimed: an idle
cluster's heartbeats would otherwise take CPU from the local runs beside it. The load average is
printed before each run: on a busy machine two workers cannot reach twice one.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

from quorvel import Recording, scan
from quorvel._bench import desktop, machine
from quorvel._scan import scan_recording
from quorvel.encode import encode_frame

WIDTH, HEIGHT = 1920, 1080
FRAMES = 160  # at about 6.5 ms of CPU each (both screens) and the PNGs: over a second


def make_recordings(folder: Path, count: int) -> list[Path]:
    """The recordings a run scans: folder/hostNN/session.qvr for NN below count, copies of the
    first (made once). A run scans the whole folder, so copies beyond count are removed."""
    paths = [folder / f"host{n:02}" / "session.qvr" for n in range(count)]
    for host in folder.glob("host*"):
        if host / "session.qvr" not in paths[1:] and host != paths[0].parent:
            shutil.rmtree(host)
    first = paths[0]
    if not first.exists():
        first.parent.mkdir(parents=True, exist_ok=True)
        frames = [encode_frame(desktop(WIDTH, HEIGHT, seed), 422) for seed in (7, 8, 9)]
        with Recording.create(first, metadata={"source": "bench"}) as rec:
            for i in range(FRAMES):
                rec.append(frames[i % len(frames)], WIDTH, HEIGHT, t=i * 0.1)
    for p in paths[1:]:
        if not p.exists():
            p.parent.mkdir(exist_ok=True)
            shutil.copyfile(first, p)
    return paths


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="scan_bench", description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds (default %(default)s)")
    parser.add_argument("--recordings", type=int, default=40, help="recordings scanned a run (default %(default)s)")
    parser.add_argument("--folder", type=Path, default=Path("build/scan-bench"))
    args = parser.parse_args(argv)
    from distributed import Client, LocalCluster

    paths = make_recordings(args.folder, args.recordings)
    print(machine())
    start = time.process_time()
    result = scan_recording(str(paths[0]), 10.0)
    one = time.process_time() - start
    print(
        f"{len(paths)} recordings of {result['frames']} frames {WIDTH}x{HEIGHT}, "
        f"{paths[0].stat().st_size / 1e6:.1f} MB each; one takes {one:.2f} s of CPU to scan "
        f"({result['decode_cpu_seconds']:.2f} s decoding)"
    )
    runs: dict[str, list[float]] = {"1 local worker": [], "2 local workers": [], "cluster, 2 workers": []}
    for r in range(args.rounds):
        for name, rates in runs.items():
            with tempfile.TemporaryDirectory(dir=args.folder.parent) as out:
                if name.startswith("cluster"):
                    with (
                        LocalCluster(
                            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
                        ) as cluster,
                        Client(cluster) as client,
                    ):
                        before = load()
                        start = time.perf_counter()
                        entries = scan([args.folder], out, client=client, force=True)
                        elapsed = time.perf_counter() - start
                else:
                    before = load()
                    start = time.perf_counter()
                    entries = scan([args.folder], out, jobs=int(name[0]), force=True)
                    elapsed = time.perf_counter() - start
            assert len(entries) == len(paths) and not any("error" in e for e in entries)
            rates.append(len(paths) / elapsed)
            print(f"round {r + 1}  {name:<20} {len(paths) / elapsed:6.2f} recordings/s  (load before: {before})")
            sys.stdout.flush()
    print()
    base = statistics.median(runs["1 local worker"])
    for name, rates in runs.items():
        median = statistics.median(rates)
        print(f"{name:<20} median {median:6.2f} recordings/s   x{median / base:.2f} of one worker")
    print(machine())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

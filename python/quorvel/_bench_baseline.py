"""The speed tables beside a baseline build of an earlier commit, interleaved in one run.

    python -m quorvel._bench_baseline [--baseline REV] [--rounds N] [--calls N] [--real DIR]
    (what `./dev bench` runs, from the repository's root)

It builds REV's package once (`git archive REV` unpacked into build/baseline/HASH/src, then
`pip install --no-deps --target build/baseline/HASH/site`; kept by commit hash, so a second
run reuses it) and races it against the quorvel this interpreter imports (under ./dev bench,
the working tree's, just installed). Two builds of one package cannot share a process, their
modules having the same names, so each runs in a worker process of its own
(bench/bench_worker.py, JSON lines over pipes). Each round asks every case of a frame of
both workers, the current build first in even rounds and the baseline first in odd ones, so
that a drift of the machine falls on both alike; a worker measures its process's CPU time of
N calls. The first round sets the cases up and is not counted; each figure is the median of
the rounds, each ratio one of medians.

The tables, over the real set's frames at least 1024 wide (both modes, one thread), each
with its geometric mean and worst frame, current beside baseline:
  - decode_frame at full size in RGB: current / baseline, whether within 2%;
  - the Screen path: Screen(threads=1).apply of a whole frame over the picture before it
    (the same frame, already applied), against decode_frame of that frame;
  - thumbnails: Screen(scale=s).apply against a full-size apply, simplejpeg's scaled decode
    against its own full size, and the one against the other;
  - the 32-bit and planar pixel formats against RGB.
A case that the baseline lacks (a keyword it does not know) is n/a.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

from ._bench import geometric_mean, load_real, machine, thumbnail_floors

SCALES = (2, 4, 8)
FORMATS = ("RGBX", "BGRX", "XRGB", "XBGR", "I420", "I444")
# What makes a build: a baseline whose sources match the working tree's in these measures noise.
PACKAGE_PATHS = ("src", "python", "CMakeLists.txt", "cmake", "pyproject.toml")


def git(repo: Path, *args: str) -> str:
    return subprocess.run(["git", "-C", str(repo), *args], check=True, capture_output=True, text=True).stdout.strip()


def build_baseline(repo: Path, commit: str, python: str = sys.executable) -> Path:
    """The directory to put first on the path for COMMIT's package (a full hash): built by
    pip from `git archive COMMIT` the first time, found again afterwards. The directory is
    renamed into place only once pip has succeeded, so an interrupted build is redone."""
    root = repo / "build" / "baseline" / commit
    site = root / "site"
    if (site / "quorvel").is_dir():
        return site
    shutil.rmtree(root, ignore_errors=True)
    src, partial = root / "src", root / "site.partial"
    src.mkdir(parents=True)
    archive = subprocess.run(
        ["git", "-C", str(repo), "archive", "--format=tar", commit], check=True, capture_output=True
    )
    with tarfile.open(fileobj=io.BytesIO(archive.stdout)) as tar:
        tar.extractall(src, filter="data")
    pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-deps", "--target"]
    subprocess.run([*pip, str(partial), str(src)], check=True)
    partial.rename(site)
    return site


class Worker:
    """One build's worker process (bench/bench_worker.py) with PATH first on its path, or
    with this interpreter's own quorvel when PATH is None."""

    def __init__(self, script: Path, path: Path | None, python: str = sys.executable) -> None:
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        if path is not None:
            env["PYTHONPATH"] = str(path)
        self.process = subprocess.Popen(
            [python, str(script)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True
        )
        self.hello = self._read()
        if path is not None and not Path(self.hello["quorvel"]).resolve().is_relative_to(path.resolve()):
            self.close()
            raise RuntimeError(f"the worker for {path} imported another quorvel: {self.hello['quorvel']}")

    def _read(self) -> dict[str, Any]:
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the benchmark's worker ended (exit status {self.process.wait()})")
        reply: dict[str, Any] = json.loads(line)
        return reply

    def ask(self, request: dict[str, Any]) -> dict[str, Any]:
        stdin: IO[str] | None = self.process.stdin
        assert stdin is not None
        stdin.write(json.dumps(request) + "\n")
        stdin.flush()
        return self._read()

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        self.process.wait()


@dataclass
class Frame:
    """A frame of the real set with the paths the workers read."""

    label: str
    width: int
    height: int
    mode: int
    frame: str
    jpeg: str


def real_set(directory: Path, min_width: int = 1024) -> list[Frame]:
    manifest = json.loads((directory / "manifest.json").read_text())["frames"]
    return [
        Frame(f"{p.name} {p.mode}", p.width, p.height, p.mode, str(directory / e["frame"]), str(directory / e["jpeg"]))
        for p, e in zip(load_real(directory), manifest, strict=True)
        if p.width >= min_width
    ]


def cases(f: Frame) -> dict[str, tuple[dict[str, Any], bool]]:
    """Each case of a frame by name: the worker's request, and whether the baseline runs it too
    (simplejpeg is the same library in both workers: the current one alone times it)."""
    screen = {"call": "apply", "data": f.frame, "width": f.width, "height": f.height, "mode": f.mode}
    named: dict[str, tuple[dict[str, Any], bool]] = {
        "decode_frame": ({"call": "decode_frame", "data": f.frame, "width": f.width, "height": f.height}, True),
        "apply": (screen, True),
    }
    for s in SCALES:
        named[f"apply 1/{s}"] = ({**screen, "scale": s}, True)
    for name in FORMATS:
        named[f"apply {name}"] = ({**screen, "pixel_format": name}, True)
    for s in (1, *SCALES):
        jpeg = {"call": "decode_jpeg", "data": f.jpeg, "min_width": f.width // s, "min_height": f.height // s}
        named[f"simplejpeg 1/{s}"] = (jpeg, False)
    return named


@dataclass
class Results:
    """Per frame, case and build ("current", "baseline"): the seconds of one call in each round,
    or the reason the build could not run it; and the digest of what it drew."""

    frames: list[Frame]
    seconds: dict[tuple[str, str, str], list[float]] = field(default_factory=dict)
    errors: dict[tuple[str, str, str], str] = field(default_factory=dict)
    digests: dict[tuple[str, str, str], str] = field(default_factory=dict)

    def median(self, frame: str, case: str, build: str) -> float | None:
        s = self.seconds.get((frame, case, build))
        return statistics.median(s) if s and (frame, case, build) not in self.errors else None


def race(workers: dict[str, Worker], frames: list[Frame], rounds: int, calls: int) -> Results:
    results = Results(frames)
    order = list(workers)
    for f in frames:
        named = cases(f)
        for r in range(rounds + 1):  # round 0 sets up and warms up
            for case, (request, both) in named.items():
                for build in order if r % 2 == 0 else order[::-1]:
                    if not both and build != order[0]:
                        continue
                    key = (f.label, case, build)
                    if key in results.errors:
                        continue
                    reply = workers[build].ask({"op": "time", "case": request, "calls": calls})
                    if "error" in reply:
                        results.errors[key] = reply["error"]
                    elif r == 0:
                        results.digests[key] = reply["digest"]
                    else:
                        results.seconds.setdefault(key, []).append(reply["seconds"])
        for w in workers.values():
            w.ask({"op": "forget"})
    return results


@dataclass
class Row:
    """One line of a summary: a ratio per frame for each build (None: n/a)."""

    label: str
    per_build: dict[str, dict[str, float] | None]


def ratios(
    results: Results, numerator: str, denominator: str, build: str, over: str | None = None
) -> dict[str, float] | None:
    """numerator / denominator per frame, both of BUILD (or the denominator of build OVER)."""
    out = {}
    for f in results.frames:
        a = results.median(f.label, numerator, build)
        b = results.median(f.label, denominator, over or build)
        if a is None or b is None:
            return None
        out[f.label] = a / b
    return out


def summary(rows: list[Row], builds: tuple[str, ...]) -> Iterator[str]:
    yield "| ratio | " + " | ".join(f"{b}: geometric mean | {b}: worst frame" for b in builds) + " |"
    yield "|---|" + "---|---|" * len(builds)
    for row in rows:
        cells = []
        for b in builds:
            values = row.per_build.get(b)
            if values is None:
                cells.append("n/a | n/a" if b in row.per_build else " | ")
            else:
                worst = max(values, key=values.__getitem__)
                cells.append(f"{geometric_mean(list(values.values())):.3f} | {values[worst]:.3f} ({worst})")
        yield f"| {row.label} | " + " | ".join(cells) + " |"


def tables(results: Results, rev: str) -> Iterator[str]:
    builds = ("current", "baseline")
    yield "decode_frame at full size, RGB: CPU ms of one call (median of the rounds)"
    yield ""
    yield "| frame | size | current ms | baseline ms | current / baseline |"
    yield "|---|---|---|---|---|"
    for f in results.frames:
        c, b = (results.median(f.label, "decode_frame", x) for x in builds)
        if c is not None and b is not None:
            yield f"| {f.label} | {f.width}x{f.height} | {c * 1e3:.2f} | {b * 1e3:.2f} | {c / b:.3f} |"
    against = ratios(results, "decode_frame", "decode_frame", "current", "baseline")
    if against:
        mean = geometric_mean(list(against.values()))
        worst = max(against, key=against.__getitem__)
        verdict = "within 2% of the baseline" if mean <= 1.02 else "MORE than 2% slower than the baseline"
        yield ""
        yield (
            f"decode_frame, current / baseline ({rev}): geometric mean {mean:.3f}, worst {against[worst]:.3f} "
            f"({worst}): {verdict}"
        )
        # How far the run's own noise reaches: the two builds' calls of one round are neighbours
        # in time, so a round's ratio (a geometric mean over the frames) drifts little with the
        # machine; the spread of those ratios says how far a 2% verdict can be trusted.
        per_frame = [
            (
                results.seconds[(f.label, "decode_frame", "current")],
                results.seconds[(f.label, "decode_frame", "baseline")],
            )
            for f in results.frames
        ]
        per_round = sorted(geometric_mean([c[r] / b[r] for c, b in per_frame]) for r in range(len(per_frame[0][0])))
        yield (
            f"Round by round (each round's ratio, a geometric mean over the frames): median "
            f"{statistics.median(per_round):.3f}, from {per_round[0]:.3f} to {per_round[-1]:.3f} over "
            f"{len(per_round)} rounds"
        )

    yield ""
    yield "The Screen path: Screen(threads=1).apply of a whole frame over the picture before it"
    yield ""
    yield from summary(
        [
            Row("apply / decode_frame", {b: ratios(results, "apply", "decode_frame", b) for b in builds}),
            Row("apply, current / baseline", {"current": ratios(results, "apply", "apply", "current", "baseline")}),
        ],
        builds,
    )

    yield ""
    yield (
        "Thumbnails: Screen(scale=s, threads=1).apply, and simplejpeg.decode_jpeg(jpeg, fastdct=True, "
        "fastupsample=True, min_width=w // s, min_height=h // s)"
    )
    yield ""
    rows = []
    for s in SCALES:
        thumb, jpeg = f"apply 1/{s}", f"simplejpeg 1/{s}"
        rows += [
            Row(f"1/{s}: thumbnail / full-size apply", {b: ratios(results, thumb, "apply", b) for b in builds}),
            Row(
                f"1/{s}: simplejpeg scaled / its full size",
                {"current": ratios(results, jpeg, "simplejpeg 1/1", "current")},
            ),
            Row(
                f"1/{s}: thumbnail / simplejpeg scaled",
                {b: ratios(results, thumb, jpeg, b, "current") for b in builds},
            ),
        ]
    yield from summary(rows, builds)

    yield ""
    yield "Pixel formats: Screen(pixel_format=..., threads=1).apply of a whole frame against RGB"
    yield ""
    yield from summary(
        [Row(f"{name} / RGB", {b: ratios(results, f"apply {name}", "apply", b) for b in builds}) for name in FORMATS],
        builds,
    )

    yield ""
    for (frame, case, build), error in sorted(results.errors.items()):
        yield f"n/a: {case} on {frame}, {build} build: {error}"
    differ = sorted(
        {
            case
            for (frame, case, build), d in results.digests.items()
            if build == "current" and results.digests.get((frame, case, "baseline"), d) != d
        }
    )
    yield (
        "What the builds draw: "
        + ("the same in every case both ran" if not differ else "different in " + ", ".join(differ))
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvel._bench_baseline", description=__doc__.splitlines()[0])
    parser.add_argument(
        "--baseline", default="HEAD~1", metavar="REV", help="the commit to compare with (default HEAD~1)"
    )
    parser.add_argument("--rounds", type=int, default=20, help="timed rounds (default 20)")
    parser.add_argument("--calls", type=int, default=2, help="calls a worker times per round and case (default 2)")
    parser.add_argument(
        "--real", type=Path, default=Path("build/real-frames"), help="the real set (bench/real_frames.py)"
    )
    parser.add_argument("--repo", type=Path, default=Path("."), help="the repository (default: the current directory)")
    parser.add_argument(
        "--floors",
        type=Path,
        default=Path("build/bench/thumbnail_cpu_bench"),
        metavar="BINARY",
        help="the C++ benchmark whose walks give each scale's floor, for the current tree "
        "(default build/bench/thumbnail_cpu_bench, which ./dev bench builds; skipped when missing)",
    )
    args = parser.parse_args(argv)

    repo = args.repo.resolve()
    commit = git(repo, "rev-parse", "--verify", f"{args.baseline}^{{commit}}")
    rev = f'{args.baseline} = {commit[:12]} "{git(repo, "log", "-1", "--format=%s", commit)}"'
    same = (
        subprocess.run(
            ["git", "-C", str(repo), "diff", "--quiet", commit, "--", *PACKAGE_PATHS], check=False
        ).returncode
        == 0
    )
    print(f"Baseline: {rev}")
    if same:
        print("(the working tree's package sources are those of the baseline: the tables below measure noise)")
    print(f"Building the baseline into build/baseline/{commit} (once; reused afterwards)...", flush=True)
    site = build_baseline(repo, commit)
    script = repo / "bench" / "bench_worker.py"
    workers = {"current": Worker(script, None), "baseline": Worker(script, site)}
    try:
        for name, w in workers.items():
            print(f"{name}: {w.hello['version']}, {w.hello['quorvel']}")
        print(f"simplejpeg {workers['current'].hello['simplejpeg']}")
        frames = real_set(args.real)
        print(machine())
        print(
            f"{len(frames)} frames of {args.real} at least 1024 wide, {args.rounds} rounds of {args.calls} calls "
            "per case and build, CPU time"
        )
        print(flush=True)
        results = race(workers, frames, args.rounds, args.calls)
    finally:
        for w in workers.values():
            w.close()
    print("\n".join(tables(results, rev)))
    if args.floors.exists():
        print()
        print("\n".join(floor_table(args.floors, args.real, args.rounds)))
    print()
    print(machine())
    return 0


def floor_table(binary: Path, directory: Path, rounds: int) -> list[str]:
    """Each scale's floor for the current tree: the record walk that scale needs, nothing drawn,
    as a share of a full-size apply on one thread (the C++ benchmark times it; the walk has no
    Python entry point), geometric mean over the frames at least 1024 wide and the highest."""
    pairs = [p for p in load_real(directory) if p.width >= 1024]
    floors = thumbnail_floors(binary, directory, pairs, rounds)
    lines = ["Floors (current tree): the walk alone / a full-size apply", "", "| scale | geometric mean | highest |"]
    lines.append("|---|---|---|")
    for i, s in enumerate(SCALES):
        values = {frame: v[i] for frame, v in floors.items()}
        if values:
            worst = max(values, key=values.__getitem__)
            mean = geometric_mean(list(values.values()))
            lines.append(f"| 1/{s} | {mean:.3f} | {values[worst]:.3f} ({worst}) |")
    return lines


if __name__ == "__main__":
    raise SystemExit(main())

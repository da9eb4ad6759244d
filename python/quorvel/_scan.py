"""A fleet's recordings at once: `quorvel scan` and `quorvel.scan()`.

One task per recording, a pure function of its path (`scan_recording`): it replays the recording
once and returns plain data, the pictures as PNG bytes. The tasks run in a pool of local worker
processes (one per usable core) or, given a `distributed.Client`, on a Dask cluster; either way the
calling process alone writes the outputs, each file whole or not at all. The summaries are
built here, the page in quorvel._page.
"""

from __future__ import annotations

import csv
import importlib
import io
import json
import math
import os
import signal
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._atomic import atomic_output
from ._png import encode_png
from ._screen import Screen

if TYPE_CHECKING:
    from multiprocessing.connection import Connection
    from multiprocessing.context import SpawnProcess

    from distributed import Client

RECORDING_SUFFIX = ".qvr"
THUMBNAIL_SCALE = 8
# A grid of a few hundred thumbnails stays a picture a browser shows at once; a week-long
# recording at --every 10 would give 60,000.
MAX_THUMBNAILS = 300
# Size changes take at most this share of the grid; the rest goes to the regular ones.
MAX_SIZE_CHANGE_THUMBNAILS = MAX_THUMBNAILS // 3
GRID_COLUMNS = 8
GRID_GAP = 2
GRID_BACKGROUND = (48, 48, 48)
# "Frozen": the picture a minute before the end is the picture at the end.
FROZEN_WINDOW = 60.0
# While a scan runs, the page and the summaries are rewritten at most this often.
PAGE_INTERVAL = 3.0
WORKER_DIED = "the worker died"
Classifier = Callable[[Screen], object]


class ScanUsageError(ValueError):
    """Arguments that make no sense (the command's exit status 2)."""


# --- one recording, in a worker ---------------------------------------------------


def load_classifier(name: str, search_path: str | None = None) -> Classifier:
    """The function that MODULE:FUNCTION names (FUNCTION may be dotted). `search_path` (the
    caller's current folder) is where a module beside the user is found, as `python -m` does."""
    module_name, colon, attribute = name.partition(":")
    if not colon or not module_name or not attribute:
        raise ScanUsageError(f"--classify takes MODULE:FUNCTION, not {name!r}")
    if search_path is not None and search_path not in sys.path:
        sys.path.append(search_path)
    try:
        target: object = importlib.import_module(module_name)
    except Exception as e:  # an import runs the user's code: anything may come out of it
        raise ScanUsageError(f"--classify {name}: cannot import {module_name}: {type(e).__name__}: {e}") from None
    for part in attribute.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise ScanUsageError(f"--classify {name}: {module_name} has no {attribute}") from None
    if not callable(target):
        raise ScanUsageError(f"--classify {name}: {attribute} is not a function")
    return target


@dataclass
class _Thumbnail:
    t: float
    why: str  # "every", "size" (the first frame of a new size) or "end"
    width: int
    height: int
    rgb: bytes


def _thumbnail_times(duration: float, every: float, budget: int) -> tuple[list[float], float]:
    """The regular thumbnails' times (every, 2 every, ... up to the end) within `budget`,
    and the interval they are taken at: a multiple of `every` when the budget is short."""
    count = int(duration // every)
    stride = max(1, math.ceil(count / budget)) if budget > 0 else count + 1
    interval = every * stride
    return [interval * k for k in range(1, count // stride + 1)], interval


def _grid_png(thumbnails: list[_Thumbnail]) -> bytes:
    """The thumbnails in rows of GRID_COLUMNS cells, each cell as large as the largest one,
    on a dark background."""
    cell_w = max(t.width for t in thumbnails)
    cell_h = max(t.height for t in thumbnails)
    columns = min(GRID_COLUMNS, len(thumbnails))
    rows = math.ceil(len(thumbnails) / columns)
    width = columns * cell_w + (columns + 1) * GRID_GAP
    height = rows * cell_h + (rows + 1) * GRID_GAP
    canvas = bytearray(bytes(GRID_BACKGROUND) * (width * height))
    for n, thumb in enumerate(thumbnails):
        x = GRID_GAP + (n % columns) * (cell_w + GRID_GAP)
        y = GRID_GAP + (n // columns) * (cell_h + GRID_GAP)
        line = thumb.width * 3
        for row in range(thumb.height):
            at = ((y + row) * width + x) * 3
            canvas[at : at + line] = thumb.rgb[row * line : (row + 1) * line]
    return encode_png(bytes(canvas), width, height)


def _replay(rec: Any, every: float) -> dict[str, Any]:
    """Applies every frame of `rec` once, in order, onto a full screen and a thumbnail screen;
    on the way takes the thumbnails, the picture a minute before the end and the CPU time."""
    count, duration = len(rec), float(rec.duration)
    changes = [(float(t), int(w), int(h)) for t, w, h in rec.size_changes]
    # Each size change gets a thumbnail up to its share of the grid; the end gets one.
    size_budget = min(len(changes), MAX_SIZE_CHANGE_THUMBNAILS)
    times, interval = _thumbnail_times(duration, every, MAX_THUMBNAILS - size_budget - 1)
    pending = deque(times)
    thumbnails: list[_Thumbnail] = []
    frozen_at = duration - FROZEN_WINDOW if duration >= FROZEN_WINDOW else None
    before: tuple[int, int, bytes] | None = None
    screen: Screen | None = None
    thumb: Screen | None = None
    size = (0, 0)
    refused = applied = 0
    cpu = 0.0

    def take(t: float, why: str) -> None:
        assert thumb is not None
        if thumbnails and thumbnails[-1].t == t:  # the same picture: a size change on the interval
            return
        thumbnails.append(
            _Thumbnail(t, why, -(-size[0] // THUMBNAIL_SCALE), -(-size[1] // THUMBNAIL_SCALE), thumb.to_bytes())
        )

    for frame in rec:
        # A recording still being written grows while it is read: what counted at the start is
        # what this scan covers.
        if frame.index >= count:
            break
        t = float(frame.t)
        # The picture at time T holds every frame with a time up to T.
        while pending and pending[0] < t:
            if screen is None:  # before the first frame: nothing to show yet
                pending.popleft()
            else:
                take(pending.popleft(), "every")
        new_size = (int(frame.width), int(frame.height))
        if frozen_at is not None and before is None and t > frozen_at:
            # Before the first frame, the picture is the first size's black one.
            before = (
                (size[0], size[1], screen.to_bytes()) if screen else (*new_size, bytes(new_size[0] * new_size[1] * 3))
            )
        if screen is None or new_size != size:
            # A size change starts a new, black picture.
            size = new_size
            try:
                screen = Screen(size[0], size[1], threads=1)
                thumb = Screen(size[0], size[1], scale=THUMBNAIL_SCALE, threads=1)
            except MemoryError:
                raise ValueError(f"not enough memory for a {size[0]}x{size[1]} picture") from None
            changed = True
        else:
            changed = False
        assert thumb is not None
        start = time.process_time()
        try:
            screen.apply(frame.data)
        except ValueError:  # a refused frame is a lost delta: the picture stays as it was
            refused += 1
        try:
            thumb.apply(frame.data)
        except ValueError:
            pass
        cpu += time.process_time() - start
        applied += 1
        if changed and sum(t.why == "size" for t in thumbnails) < size_budget:
            take(t, "size")
    if screen is not None:
        while pending:
            take(pending.popleft(), "every")
        if not thumbnails or thumbnails[-1].t != duration:
            take(duration, "end")
    frozen = None
    if screen is not None and before is not None:
        frozen = before == (size[0], size[1], screen.to_bytes())
    return {
        "frames": applied,
        "refused": refused,
        "duration": duration,
        "width": size[0] if screen else None,
        "height": size[1] if screen else None,
        "size_changes": [list(c) for c in changes],
        "frozen": frozen,
        "decode_cpu_seconds": round(cpu, 6),
        "thumbnail_interval": interval,
        "thumbnails": [[round(t.t, 6), t.why] for t in thumbnails],
        "_screen": screen,
        "_thumbnails": thumbnails,
    }


def _json_safe(value: object) -> object:
    """Metadata as JSON: what json cannot write becomes its text."""
    return json.loads(json.dumps(value, default=str))


def scan_recording(path: str, every: float, classify: str | Classifier | None = None) -> dict[str, Any]:
    """One recording's task, run in a worker: its summary, with its last picture ("picture") and
    its thumbnail grid ("grid") as PNG bytes. A recording that cannot be read gives
    {"error": reason}; nothing here raises for a bad recording."""
    from .recording import Recording

    try:
        with Recording.open(path) as rec:
            summary: dict[str, Any] = {"metadata": _json_safe(rec.metadata), "closed_cleanly": rec.closed_cleanly}
            summary.update(_replay(rec, every))
    except FileNotFoundError:
        return {"error": "no such file"}
    except MemoryError:
        return {"error": "not enough memory"}
    except (ValueError, OSError) as e:  # RecordingError is a ValueError
        # The reason alone: the path, as the worker sees it, is the summary's already.
        reason = str(e).removeprefix(f"{path}: ")
        return {"error": reason or type(e).__name__}
    screen: Screen | None = summary.pop("_screen")
    thumbnails: list[_Thumbnail] = summary.pop("_thumbnails")
    if screen is not None:
        summary["picture"] = encode_png(screen.to_bytes(), screen.width, screen.height)
        summary["grid"] = _grid_png(thumbnails)
    summary["label"] = None
    if classify is not None and screen is not None:
        function = load_classifier(classify) if isinstance(classify, str) else classify
        try:
            label = function(screen)
        except Exception as e:  # the user's code
            summary["error"] = f"classify raised {type(e).__name__}: {e}"
        else:
            summary["label"] = None if label is None else " ".join(str(label).split())[:60]
    return summary


def _scan_task(path: str, every: float, classify: str | Classifier | None, search_path: str | None) -> dict[str, Any]:
    """scan_recording as shipped to a worker: the classifier's module may sit in the caller's
    folder, which the worker adds to its search path."""
    if isinstance(classify, str) and search_path is not None and search_path not in sys.path:
        sys.path.append(search_path)
    try:
        return scan_recording(path, every, classify)
    except ScanUsageError as e:  # the worker cannot import the classifier the caller could
        return {"error": str(e)}


# --- finding recordings -----------------------------------------------------------


@dataclass(frozen=True)
class Found:
    source: Path  # the recording, as the caller named it or found under a folder
    name: str  # its path relative to the folder given (its file name when named itself)


def find_recordings(paths: Iterable[str | os.PathLike[str]]) -> list[Found]:
    """Every recording named, and every *.qvr under each folder named, at any depth."""
    found: list[Found] = []
    for given in map(Path, paths):
        if given.is_dir():
            inside = sorted(p for p in given.rglob("*" + RECORDING_SUFFIX) if p.is_file())
            found.extend(Found(p, p.relative_to(given).as_posix()) for p in inside)
        elif given.exists():
            found.append(Found(given, given.name))
        else:
            raise FileNotFoundError(f"no such file or folder: {given}")
    seen: dict[str, Path] = {}
    for f in found:
        if f.name in seen:
            raise ScanUsageError(
                f"{seen[f.name]} and {f.source} would have the same outputs ({f.name}): scan them into two --outdir"
            )
        seen[f.name] = f.source
    return found


# --- writing outputs ------------------------------------------------------------


def write_atomic(path: Path, data: bytes) -> None:
    """Writes `path` whole or not at all (making its folder): a reader, the browser or another
    scan, sees the old file or the new one, never a part."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with atomic_output(path) as f:
        f.write(data)


OUTPUTS = {"picture": ".png", "grid": ".grid.png"}


def output_paths(name: str) -> dict[str, str]:
    """Where a recording's outputs go, relative to OUT: under recordings/, after its name."""
    return {kind: f"recordings/{name}{suffix}" for kind, suffix in OUTPUTS.items()}


CSV_COLUMNS = [
    "path",
    "error",
    "frames",
    "refused",
    "duration",
    "width",
    "height",
    "size_changes",
    "frozen",
    "closed_cleanly",
    "label",
    "decode_cpu_seconds",
    "picture",
    "grid",
    "metadata",
]


def summary_csv(entries: Sequence[dict[str, Any]]) -> bytes:
    out = io.StringIO()
    writer = csv.DictWriter(out, CSV_COLUMNS, extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    for entry in entries:
        row = dict(entry)
        if "size_changes" in row:
            row["size_changes"] = len(row["size_changes"]) - 1 if row["size_changes"] else 0
        if "metadata" in row:
            row["metadata"] = json.dumps(row["metadata"], sort_keys=True)
        writer.writerow({k: "" if row.get(k) is None else row[k] for k in CSV_COLUMNS})
    return out.getvalue().encode()


# --- where the tasks run -----------------------------------------------------------

Task = tuple[str, float, "str | Classifier | None", "str | None"]
OnResult = Callable[[int, dict[str, Any]], None]


def _worker_main(conn: Connection) -> None:
    """A local worker: takes (index, task) until None, returns (index, result). Ctrl-C is the
    parent's to handle: it ends the workers itself."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    while True:
        message = conn.recv()
        if message is None:
            return
        index, task = message
        conn.send((index, _scan_task(*task)))


@dataclass
class _Worker:
    process: SpawnProcess
    conn: Connection
    index: int | None = None  # the task it runs


def run_local(tasks: Sequence[Task], jobs: int, on_result: OnResult) -> None:
    """Runs the tasks on `jobs` worker processes of our own, one task at a time each, so that a
    worker that dies is known to have died on its task: that task is retried once on a new
    worker, and fails with WORKER_DIED if it kills that one too. (A ProcessPoolExecutor breaks
    as a whole when one worker dies, and cannot say on which task.)"""
    import multiprocessing
    from multiprocessing.connection import wait

    context = multiprocessing.get_context("spawn")
    queue = deque(range(len(tasks)))
    deaths = [0] * len(tasks)
    workers: list[_Worker] = []

    def start() -> _Worker:
        parent, child = context.Pipe()
        process = context.Process(target=_worker_main, args=(child,), daemon=True, name="quorvel-scan-worker")
        # Ctrl-C on a terminal reaches the whole process group; the workers leave it to this
        # process, which ends them. Started with SIGINT ignored, a new interpreter keeps it so
        # (it would otherwise print a KeyboardInterrupt of its own while it starts).
        main = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
        try:
            process.start()
        finally:
            if main:
                signal.signal(signal.SIGINT, previous)
        child.close()
        return _Worker(process, parent)

    def died(worker: _Worker) -> None:
        assert worker.index is not None
        index, worker.index = worker.index, None
        worker.conn.close()
        worker.process.join()
        workers.remove(worker)
        deaths[index] += 1
        if deaths[index] >= 2:
            on_result(index, {"error": WORKER_DIED})
        else:
            queue.appendleft(index)

    try:
        while queue or any(w.index is not None for w in workers):
            while len(workers) < min(jobs, len(queue) + sum(w.index is not None for w in workers)):
                workers.append(start())
            for worker in workers:
                if worker.index is None and queue:
                    worker.index = queue.popleft()
                    try:
                        worker.conn.send((worker.index, tasks[worker.index]))
                    except OSError:  # already dead: seen below through its sentinel
                        pass
            busy = [w for w in workers if w.index is not None]
            ready = set(wait([w.conn for w in busy] + [w.process.sentinel for w in busy]))
            for worker in busy:
                if worker.conn in ready or worker.process.sentinel in ready:
                    try:
                        # A worker that sent its result and then died still counts its result.
                        if not worker.conn.poll():
                            raise EOFError
                        index, result = worker.conn.recv()
                    except (EOFError, OSError):
                        died(worker)
                        continue
                    worker.index = None
                    on_result(index, result)
    finally:
        for worker in workers:
            if worker.index is None:
                try:
                    worker.conn.send(None)
                except OSError:
                    pass
            else:  # interrupted: its task is dropped
                worker.process.terminate()
        for worker in workers:
            worker.process.join(5)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            worker.conn.close()


def run_dask(tasks: Sequence[Task], client: Client, on_result: OnResult) -> None:
    """One Dask task per recording, results taken as they complete. A worker that dies mid-task
    is the scheduler's to retry (up to distributed.scheduler.allowed-failures); a task it gives
    up on fails with WORKER_DIED. Interrupted, the tasks not done are cancelled."""
    from distributed import as_completed
    from distributed.scheduler import KilledWorker

    token = os.urandom(6).hex()
    futures = [
        client.submit(_scan_task, *task, key=f"quorvel-scan-{token}-{i}", pure=False) for i, task in enumerate(tasks)
    ]
    index = {f.key: i for i, f in enumerate(futures)}
    try:
        for future in as_completed(futures, loop=client.loop):
            try:
                result = future.result()
            except KilledWorker:
                result = {"error": WORKER_DIED}
            except Exception as e:  # raised on the worker, outside the recording's own handling
                result = {"error": f"{type(e).__name__}: {e}"}
            on_result(index[future.key], result)
            future.release()
    finally:
        client.cancel([f for f in futures if not f.done()])


def connect(address: str, timeout: float = 5.0) -> Client:
    """A client of the scheduler at `address`. distributed waits 30 s for an unreachable one by
    default; this gives up after `timeout`: 5 s, so that with distributed's import (a few
    seconds on a busy machine) the command fails within 10 s."""
    import dask
    from distributed import Client

    with dask.config.set({"distributed.comm.timeouts.connect": f"{timeout}s"}):
        return Client(address, timeout=f"{timeout}s", set_as_default=False)


# --- the scan -----------------------------------------------------------------------


def _read_previous(outdir: Path) -> dict[str, dict[str, Any]]:
    """The last scan's summaries by path, or nothing when there is none or it is unreadable."""
    try:
        entries = json.loads((outdir / "summary.json").read_text())
        return {e["path"]: e for e in entries if isinstance(e, dict) and isinstance(e.get("path"), str)}
    except (OSError, ValueError, TypeError):
        return {}


def _classify_name(classify: str | Classifier | None) -> str | None:
    if classify is None or isinstance(classify, str):
        return classify
    return f"{getattr(classify, '__module__', '?')}:{getattr(classify, '__qualname__', repr(classify))}"


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def scan(
    paths: Iterable[str | os.PathLike[str]],
    outdir: str | os.PathLike[str],
    client: Client | None = None,
    jobs: int | None = None,
    every: float = 10.0,
    classify: str | Classifier | None = None,
    *,
    force: bool = False,
    progress: Callable[[int, int, str], None] | None = None,
) -> list[dict[str, Any]]:
    """Scans every recording in `paths` (files, or folders searched for *.qvr) into `outdir`
    and returns their summaries, one dict each, in the order of summary.json.

    Runs on `client` (a distributed.Client) when given, else on `jobs` local worker processes
    (default: every usable core). `classify`: a function of the last picture (a Screen) or
    "MODULE:FUNCTION"; its short label goes into the summary. Recordings scanned before into
    `outdir` with the same size, modification time, `every` and `classify` are not scanned
    again unless `force`. `progress(done, total, name)` is called as results come in."""
    if not every > 0 or math.isinf(every):
        raise ScanUsageError(f"--every is a number of seconds above 0, not {every:g}")
    if jobs is not None and jobs < 1:
        raise ScanUsageError(f"--jobs is a number of worker processes, at least 1, not {jobs}")
    if client is not None and jobs is not None:
        raise ScanUsageError("--jobs sets the local worker processes: it does not go with a cluster")
    search_path = os.getcwd()
    if isinstance(classify, str):
        load_classifier(classify, search_path)  # a bad name fails here, not in every worker
    elif classify is not None and client is None:
        import pickle

        # Local workers get the function by reference, as pickle names it (Dask's cloudpickle
        # takes lambdas and local functions too).
        try:
            pickle.dumps(classify)
        except (pickle.PicklingError, TypeError, AttributeError) as e:
            raise ScanUsageError(f"classify must be a function importable by its name: {e}") from None
    found = find_recordings(paths)
    if not found:
        raise FileNotFoundError("no recordings (*.qvr) found")
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    previous = {} if force else _read_previous(out)
    from . import _page

    entries: list[dict[str, Any] | None] = [None] * len(found)
    todo: list[int] = []
    for i, f in enumerate(found):
        st = f.source.stat()
        source = {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "every": every, "classify": _classify_name(classify)}
        old = previous.get(f.name)
        if (
            old is not None
            and old.get("source") == source
            and "error" not in old
            and all((out / p).is_file() for p in output_paths(f.name).values())
        ):
            entries[i] = old
        else:
            entries[i] = {"path": f.name, "source": source}
            todo.append(i)
    # Tasks name recordings by absolute path: what a worker elsewhere sees on a shared mount.
    tasks: list[Task] = [(str(found[i].source.resolve()), every, classify, search_path) for i in todo]
    done = len(found) - len(todo)
    last_page = 0.0

    def write_pages(running: bool) -> None:
        shown = [e for e in entries if e is not None]
        write_atomic(out / "index.html", _page.render(shown, running=running).encode())
        if not running:
            finished = [e for e in shown if "pending" not in e]
            write_atomic(out / "summary.json", (json.dumps(finished, indent=1) + "\n").encode())
            write_atomic(out / "summary.csv", summary_csv(finished))

    def on_result(n: int, result: dict[str, Any]) -> None:
        nonlocal done, last_page
        i = todo[n]
        entry = entries[i]
        assert entry is not None
        entry.pop("pending", None)
        pictures = {k: result.pop(k, None) for k in OUTPUTS}
        entry.update(result)
        if any(pictures.values()):
            for kind, relative in output_paths(entry["path"]).items():
                data = pictures[kind]
                if data is not None:
                    write_atomic(out / relative, data)
                    entry[kind] = relative
        done += 1
        if progress is not None:
            progress(done, len(found), entry["path"])
        if time.monotonic() - last_page >= PAGE_INTERVAL:
            write_pages(running=True)
            last_page = time.monotonic()

    for i in todo:
        entry = entries[i]
        assert entry is not None
        entry["pending"] = True
    try:
        if tasks:
            write_pages(running=True)
            last_page = time.monotonic()
            if client is not None:
                run_dask(tasks, client, on_result)
            else:
                run_local(tasks, min(jobs or _usable_cores(), len(tasks)), on_result)
    finally:
        # Interrupted or not, the page and the summaries say what was done (and stop reloading).
        for i in todo:
            entry = entries[i]
            if entry is not None and entry.get("pending"):
                entries[i] = None
        write_pages(running=False)
    return [e for e in entries if e is not None]

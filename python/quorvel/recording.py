"""Recordings: a console session kept whole in one SQLite file (suffix .qvr).

A recording holds every frame as it came, with its time (integer nanoseconds since the
recording began) and its picture size, which may change from frame to frame; free-form
metadata; and, as derived data that a reader may ignore, snapshots of the picture now and
then, so that a seek does not replay the whole session. The schema is small and open (the
README documents it), so that a collector in any language can write one:

    PRAGMA application_id = 0x51565231;   -- "QVR1"
    PRAGMA user_version = 1;              -- the schema's version
    session(id = 1, source, started, metadata JSON, closed 0|1)
    frames(id 0.., t_ns, width, height, data, crc32)  -- crc32 may be NULL
    snapshots(frame, width, height, pixel_format, scale, frames_applied, pixels zlib)

The writer keeps the file in WAL mode, commits each frame in a transaction of its own and
returns the file to rollback-journal mode when it closes, so that a closed recording is one
file that opens read-only anywhere. It decodes the frames on a thread of its own, onto a
Screen, and stores that picture (RGB, compressed) after enough work to replay has gone by.
Readers open the file read-only (`mode=ro`) and never change it.
"""

from __future__ import annotations

import json
import math
import operator
import os
import queue
import sqlite3
import threading
import time
import warnings
import zlib
from collections.abc import Buffer, Callable, Iterator
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from types import TracebackType
from typing import Any, Final, Self

from ._screen import Screen

__all__ = ["Frame", "Recording", "RecordingError", "RecordingWarning"]

APPLICATION_ID: Final = 0x51565231  # "QVR1" in ASCII, big-endian as SQLite stores it
SCHEMA_VERSION: Final = 1

_SCHEMA = """
CREATE TABLE session (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    source TEXT,
    started TEXT NOT NULL,
    metadata TEXT NOT NULL DEFAULT '{}',
    closed INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE frames (
    id INTEGER PRIMARY KEY,
    t_ns INTEGER NOT NULL CHECK (t_ns >= 0),
    width INTEGER NOT NULL CHECK (width >= 0),
    height INTEGER NOT NULL CHECK (height >= 0),
    data BLOB NOT NULL,
    crc32 INTEGER
);
CREATE INDEX frames_by_time ON frames (t_ns, width, height);
CREATE TABLE snapshots (
    frame INTEGER PRIMARY KEY,
    width INTEGER NOT NULL,
    height INTEGER NOT NULL,
    pixel_format TEXT NOT NULL,
    scale INTEGER NOT NULL,
    frames_applied INTEGER NOT NULL,
    pixels BLOB NOT NULL
);
"""

# When the writer stores a snapshot. A seek replays the frames after the snapshot before it, so
# a snapshot is due once replaying would cost about SNAPSHOT_WORK bytes of frames (each frame
# counted at least FRAME_OVERHEAD, what reading and applying even an empty delta costs), and no
# earlier than SNAPSHOT_MIN_SECONDS after the last, so that a short session holds none. The work
# is also at least SNAPSHOT_RATIO times the last snapshot's size, which keeps the snapshots
# within 1 / SNAPSHOT_RATIO of the file however well or badly the pictures compress.
# Replaying runs at about 6 MB of frames a second on one core (whole-frame DCT deltas; text is
# faster), plus some 30 microseconds a frame to read it: 1.5 MiB keeps a seek within a few
# tenths of a second.
SNAPSHOT_WORK = 3 << 19  # 1.5 MiB
FRAME_OVERHEAD = 200
SNAPSHOT_MIN_SECONDS = 5.0
SNAPSHOT_RATIO = 10
SNAPSHOT_LEVEL = 6  # zlib's default: a 1920x1080 screen compresses 15 to 100 times, in about 0.1 s
CHECKPOINT_SECONDS = 1.0
MAX_BACKLOG = 256 << 20  # bytes of frames waiting for the snapshot thread, at most

# The pixel formats whose bytes are the RGB picture's rearranged: (offsets of R, G, B in a pixel,
# bytes a pixel, offset of the padding byte 255 or None). They come from an RGB snapshot; every
# other format (GRAY, and any added later) and every thumbnail is replayed.
_FROM_RGB: Final = {
    "RGB": ((0, 1, 2), 3, None),
    "BGR": ((2, 1, 0), 3, None),
    "RGBX": ((0, 1, 2), 4, 3),
    "BGRX": ((2, 1, 0), 4, 3),
    "XRGB": ((1, 2, 3), 4, 0),
    "XBGR": ((3, 2, 1), 4, 0),
}

_BUSY_MS = 5000  # how long to wait for the writer's lock (a repair, a reader during a checkpoint)
_FOLLOW_POLL = 0.05  # seconds between looks for new frames in follow()


class RecordingError(ValueError):
    """A file that is not a readable recording, or a bad use of one: one line that says why."""


class RecordingWarning(UserWarning):
    """Something in a recording that a reader skips: a snapshot that does not fit its frames."""


@dataclass(frozen=True, slots=True)
class Frame:
    """One frame of a recording: its index from 0, its time in seconds since the recording
    began (t_ns in nanoseconds), its picture size and its bytes as they came."""

    index: int
    t_ns: int
    width: int
    height: int
    data: bytes

    @property
    def t(self) -> float:
        return self.t_ns / 1e9


def _seconds_to_ns(t: float, what: str) -> int:
    t = float(t)
    if not math.isfinite(t) or t < 0:
        raise ValueError(f"{what} is a number of seconds, 0 or more, not {t!r}")
    return round(t * 1e9)


def _uri(path: Path, options: str) -> str:
    """An SQLite URI for `path` (characters that a URI gives a meaning escaped)."""
    from urllib.parse import quote

    return "file:" + quote(str(path.absolute())) + "?" + options


def _connect_read_only(path: Path) -> sqlite3.Connection:
    """A read-only connection. A file left in WAL mode (its writer died, or a reader still had
    it open when the writer closed it) needs its -shm file, which a reader cannot make in a
    folder it cannot write; when no log holds frames, the file alone is the whole recording and
    is read as immutable (no locks, no side files)."""
    try:
        db = sqlite3.connect(_uri(path, "mode=ro"), uri=True, isolation_level=None, check_same_thread=False)
    except sqlite3.Error as e:
        raise RecordingError(f"{path}: cannot open it: {e}") from None
    try:
        db.execute("PRAGMA application_id").fetchone()
        return db
    except sqlite3.DatabaseError as e:
        if "unable to open" not in str(e) and "readonly" not in str(e):
            return db  # _check says what is wrong
        db.close()
    log = path.with_name(path.name + "-wal")
    if log.exists() and log.stat().st_size > 0:
        raise RecordingError(
            f"{path}: it was not closed, and its log ({log.name}) cannot be read from this folder; "
            "repair it (Recording.repair, quorvel pack --repair) where it can be written"
        )
    return sqlite3.connect(_uri(path, "mode=ro&immutable=1"), uri=True, isolation_level=None, check_same_thread=False)


class Recording:
    """A console session in one file. `Recording.create` writes one, `Recording.open` reads one."""

    def __init__(self, path: Path, connection: sqlite3.Connection, writer: _Writer | None) -> None:
        # Use create() or open().
        self._path = path
        self._db: sqlite3.Connection | None = connection
        self._writer = writer
        with _translate(path):
            self._has_snapshots = bool(
                connection.execute("SELECT count(*) FROM sqlite_schema WHERE name = 'snapshots'").fetchone()[0]
            )
        self._sizes: tuple[int, list[tuple[int, int, int, int]]] | None = None  # (frames seen, changes)

    # --- opening -------------------------------------------------------------------------

    @classmethod
    def create(cls, path: str | os.PathLike[str], metadata: dict[str, Any] | None = None) -> Recording:
        """A new, empty recording at `path` (FileExistsError if there is a file there), open for
        appending. `metadata` is any JSON object; "source" (the console's name) and "started"
        (the wall-clock start, ISO 8601; by default now) have columns of their own."""
        path = Path(path)
        meta = dict(metadata or {})
        source = meta.pop("source", None)
        started = meta.pop("started", None) or datetime.now(UTC).isoformat(timespec="microseconds")
        if source is not None and not isinstance(source, str):
            raise TypeError(f"metadata 'source' is a str, not {type(source).__name__}")
        if not isinstance(started, str):
            raise TypeError(f"metadata 'started' is a str, not {type(started).__name__}")
        extra = json.dumps(meta, ensure_ascii=False, allow_nan=False)  # TypeError/ValueError before any file
        if path.exists() or path.is_symlink():
            raise FileExistsError(f"{path} exists: a recording is never written over another file")

        # The empty recording is made under a temporary name in the same folder and linked into
        # place, so that a kill during create leaves no file or a whole empty recording, and a
        # file that appeared meanwhile is not written over.
        tmp = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}.tmp")
        # Made here first, so that a missing or read-only folder is the OSError that says so.
        with open(tmp, "xb"):
            pass
        try:
            db = sqlite3.connect(tmp, isolation_level=None)
            try:
                db.executescript(
                    f"PRAGMA application_id = {APPLICATION_ID}; PRAGMA user_version = {SCHEMA_VERSION};"
                    "BEGIN;" + _SCHEMA + "COMMIT;"
                )
                db.execute(
                    "INSERT INTO session (id, source, started, metadata, closed) VALUES (1, ?, ?, ?, 0)",
                    (source, started, extra),
                )
            finally:
                db.close()
            with open(tmp, "rb+") as file:
                os.fsync(file.fileno())
            try:
                os.link(tmp, path)
            except FileExistsError:
                raise FileExistsError(f"{path} exists: a recording is never written over another file") from None
            except OSError:  # a file system without hard links: rename (which replaces a file)
                if path.exists():
                    raise FileExistsError(f"{path} exists: a recording is never written over another file") from None
                os.replace(tmp, path)
            _fsync_folder(path.parent)
        finally:
            tmp.unlink(missing_ok=True)
            tmp.with_name(tmp.name + "-journal").unlink(missing_ok=True)

        db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        try:
            db.execute(f"PRAGMA busy_timeout = {_BUSY_MS}")
            # WAL: readers read while the writer appends. synchronous=NORMAL: a commit reaches the
            # operating system before append returns (a killed process loses nothing it
            # returned), and the disk at each checkpoint.
            db.execute("PRAGMA journal_mode = WAL")
            db.execute("PRAGMA synchronous = NORMAL")
            # Checkpoints (which copy the log into the file and wait for the disk) run on a
            # thread of their own, not in append; this is only the backstop (64 MiB of log).
            db.execute("PRAGMA wal_autocheckpoint = 16384")
            writer = _Writer(db, path)
        except BaseException:
            db.close()
            raise
        return cls(path, db, writer)

    @classmethod
    def open(cls, path: str | os.PathLike[str]) -> Recording:
        """A recording, read-only: nothing here ever changes the file. FileNotFoundError when
        there is none; RecordingError when the file is not a recording this version reads."""
        path = Path(path)
        if not path.exists():
            raise FileNotFoundError(2, "No such file or directory", str(path))
        if path.is_dir():
            raise RecordingError(f"{path}: a folder, not a recording")
        db = _connect_read_only(path)
        try:
            db.execute(f"PRAGMA busy_timeout = {_BUSY_MS}")
            _check(path, db)
        except BaseException:
            db.close()
            raise
        return cls(path, db, None)

    @staticmethod
    def repair(path: str | os.PathLike[str]) -> None:
        """Makes a recording whose writer stopped without closing it one file again: the
        frames its write-ahead log holds are moved into the file, and the log removed. A closed
        recording is left as it is. It stays marked as not closed cleanly."""
        path = Path(path)
        Recording.open(path).close()  # refuses a file that is not a recording before touching it
        try:
            db = sqlite3.connect(path, isolation_level=None)
        except sqlite3.Error as e:
            raise RecordingError(f"{path}: cannot open it for writing: {e}") from None
        try:
            db.execute("PRAGMA busy_timeout = 0")
            # Opening it for writing recovers the log; leaving WAL mode checkpoints every frame
            # into the file and deletes the log, which needs the file to ourselves.
            mode = db.execute("PRAGMA journal_mode = DELETE").fetchone()[0]
            if mode != "delete":
                raise RecordingError(f"{path}: a writer still has it open")
        except sqlite3.OperationalError as e:
            if "locked" in str(e) or "busy" in str(e):
                raise RecordingError(f"{path}: a writer still has it open") from None
            raise RecordingError(f"{path}: cannot repair it: {e}") from None
        except sqlite3.DatabaseError as e:
            raise RecordingError(f"{path}: cannot repair it: {e}") from None
        finally:
            db.close()

    # --- life cycle ----------------------------------------------------------------------

    def close(self) -> None:
        """For a writer: waits for its snapshots, marks the recording closed cleanly and leaves
        it as one file. Closing twice does nothing."""
        if self._db is None:
            return
        db, writer = self._db, self._writer
        try:
            if writer is not None:
                writer.finish()
                with _translate(self._path):
                    db.execute("BEGIN IMMEDIATE")
                    writer.store_snapshots()
                    db.execute("UPDATE session SET closed = 1 WHERE id = 1")
                    db.execute("COMMIT")
                    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
                # Back to a rollback journal: one file, readable from a read-only folder. That
                # needs the file to itself; while a reader still has it open it stays in WAL
                # mode, every frame in the file and the log empty, and readers cope.
                try:
                    db.execute("PRAGMA busy_timeout = 1000")
                    db.execute("PRAGMA journal_mode = DELETE")
                except sqlite3.OperationalError:
                    pass
        finally:
            self._db = None
            db.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    def __reduce__(self) -> tuple[Callable[[str], Recording], tuple[str]]:
        return (Recording.open, (str(self._path),))

    def __repr__(self) -> str:
        return f"<Recording {str(self._path)!r}{' (writing)' if self._writer else ''}>"

    @property
    def path(self) -> Path:
        return self._path

    def _conn(self) -> sqlite3.Connection:
        if self._db is None:
            raise ValueError(f"{self._path}: the recording is closed")
        return self._db

    # --- writing -------------------------------------------------------------------------

    def append(self, data: Buffer, width: int, height: int, t: float | None = None) -> int:
        """Adds a frame (any bytes-like object, stored as it is) of `width` x `height` pixels at
        `t` seconds since create (by default now on a monotonic clock, or the last frame's time if
        that is later); times never decrease.
        Returns the frame's index. The frame is in the file when append returns."""
        writer = self._writer
        if writer is None:
            raise ValueError(f"{self._path}: opened read-only; Recording.create makes one to append to")
        db = self._conn()
        if isinstance(data, str):
            raise TypeError("data is a bytes-like object, not 'str'")
        blob = bytes(memoryview(data))
        width, height = operator.index(width), operator.index(height)
        if width < 0 or height < 0:
            raise ValueError(f"width and height are 0 or more, not {width}x{height}")
        t_ns = round((time.monotonic() - writer.clock) * 1e9) if t is None else _seconds_to_ns(t, "t")
        if t is None:
            t_ns = max(t_ns, writer.last_t_ns)
        elif t_ns < writer.last_t_ns:
            raise ValueError(f"t goes back: {t_ns / 1e9:g} s after a frame at {writer.last_t_ns / 1e9:g} s")
        index = writer.count
        with _translate(self._path):
            db.execute("BEGIN IMMEDIATE")
            try:
                db.execute(
                    "INSERT INTO frames (id, t_ns, width, height, data, crc32) VALUES (?, ?, ?, ?, ?, ?)",
                    (index, t_ns, width, height, blob, zlib.crc32(blob)),
                )
                writer.store_snapshots()
                db.execute("COMMIT")
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                raise
        writer.count, writer.last_t_ns = index + 1, t_ns
        writer.submit(index, t_ns, blob, width, height)
        return index

    # --- reading -------------------------------------------------------------------------

    def __len__(self) -> int:
        with _translate(self._path):
            return int(self._conn().execute("SELECT count(*) FROM frames").fetchone()[0])

    @property
    def duration(self) -> float:
        """The time of the last frame, in seconds (0.0 for a recording without frames)."""
        with _translate(self._path):
            last = self._conn().execute("SELECT max(t_ns) FROM frames").fetchone()[0]
        return (last or 0) / 1e9

    @property
    def metadata(self) -> dict[str, Any]:
        """The metadata given to create: "source" and "started" and the rest of the JSON object."""
        with _translate(self._path):
            source, started, extra = (
                self._conn().execute("SELECT source, started, metadata FROM session WHERE id = 1").fetchone()
            )
        try:
            meta = json.loads(extra) if extra else {}
        except (TypeError, ValueError):
            raise RecordingError(f"{self._path}: its metadata is not JSON") from None
        if not isinstance(meta, dict):
            raise RecordingError(f"{self._path}: its metadata is not a JSON object")
        meta = {"started": started, **meta}
        if source is not None:
            meta = {"source": source, **meta}
        return meta

    @property
    def closed_cleanly(self) -> bool:
        """Whether the writer closed the recording (a writer that died leaves it False)."""
        with _translate(self._path):
            return bool(self._conn().execute("SELECT closed FROM session WHERE id = 1").fetchone()[0])

    def _changes(self) -> list[tuple[int, int, int, int]]:
        """(index, t_ns, width, height) of each frame whose size differs from the frame before,
        the first frame's included; every frame's size and time checked on the way."""
        db = self._conn()
        with _translate(self._path):
            count = db.execute("SELECT count(*) FROM frames").fetchone()[0]
            if self._sizes is not None and self._sizes[0] == count:
                return self._sizes[1]
            changes: list[tuple[int, int, int, int]] = []
            last_size: tuple[int, int] | None = None
            expected = 0
            # In the order of time, which is that of the index frames_by_time (it holds all four
            # columns, so the frames' data is not read); with times that never decrease it is
            # also the order of the frames' numbers.
            for index, t_ns, width, height in db.execute(
                "SELECT id, t_ns, width, height FROM frames ORDER BY t_ns, id"
            ):
                _check_row(self._path, index, t_ns, width, height)
                if index != expected:
                    raise RecordingError(
                        f"{self._path}: frames are not numbered 0, 1, 2, ... in the order of their times"
                    )
                if (width, height) != last_size:
                    changes.append((index, t_ns, width, height))
                last_size, expected = (width, height), expected + 1
            self._sizes = (expected, changes)
        return changes

    @property
    def size_changes(self) -> list[tuple[float, int, int]]:
        """(t, width, height) for the first frame and every frame whose size differs from the
        frame before it."""
        return [(t_ns / 1e9, w, h) for _, t_ns, w, h in self._changes()]

    def _rows(self, first: int, last: int | None = None) -> Iterator[Frame]:
        sql = "SELECT id, t_ns, width, height, data, crc32 FROM frames WHERE id >= ?"
        params: tuple[int, ...] = (first,)
        if last is not None:
            sql, params = sql + " AND id <= ?", (first, last)
        with _translate(self._path):
            for index, t_ns, width, height, data, crc in self._conn().execute(sql + " ORDER BY id", params):
                _check_row(self._path, index, t_ns, width, height)
                if not isinstance(data, bytes):
                    raise RecordingError(f"{self._path}: frame {index}: its data is missing (not a blob)")
                if crc is not None and zlib.crc32(data) != crc:
                    raise RecordingError(f"{self._path}: frame {index}: its data is damaged (checksum)")
                yield Frame(index, t_ns, width, height, data)

    def __iter__(self) -> Iterator[Frame]:
        return self._rows(0)

    def _timeline(self, first: int = 0) -> list[tuple[int, int, int, int]]:
        """(index, t_ns, width, height) of the frames from `first` on, without their data."""
        with _translate(self._path):
            rows = (
                self._conn()
                .execute("SELECT id, t_ns, width, height FROM frames WHERE id >= ? ORDER BY t_ns, id", (first,))
                .fetchall()
            )
        for index, t_ns, width, height in rows:
            _check_row(self._path, index, t_ns, width, height)
        return rows

    def _frame(self, index: int) -> bytes:
        """The data of frame `index`, checked as iteration checks it."""
        for frame in self._rows(index, index):
            return frame.data
        raise RecordingError(f"{self._path}: frame {index} is missing")

    def failures(self, until: float | None = None) -> list[int]:
        """The indexes of the frames (those at most `until` seconds in, or all) that the decoder
        refuses. Each is a lost delta: the picture stays as it was."""
        last = self._last_index(until) if until is not None else None
        if last == -1:
            return []
        refused = []
        screen: Screen | None = None
        for frame in self._rows(0, last):
            if screen is None or (screen.width, screen.height) != (frame.width, frame.height):
                # The decoder reads the whole stream at any scale; the smallest picture is cheapest.
                screen = Screen(frame.width, frame.height, pixel_format="GRAY", scale=8, threads=1)
            try:
                screen.apply(frame.data)
            except ValueError:
                refused.append(frame.index)
        return refused

    def _last_index(self, t: float) -> int:
        """The index of the last frame at most t seconds in; -1 if none is."""
        t_ns = _seconds_to_ns(t, "t")
        with _translate(self._path):
            row = self._conn().execute("SELECT max(id) FROM frames WHERE t_ns <= ?", (t_ns,)).fetchone()
        return -1 if row[0] is None else int(row[0])

    def screen_at(self, t: float, **kw: Any) -> Screen:
        """Exactly what `Screen(width, height, **kw)` shows after every frame at most `t` seconds
        in was applied to it in order: a refused frame leaves the picture as it was, and a size
        change starts a new, black picture. Past the end, the last picture; before the first
        frame, the first size's black picture."""
        last = self._last_index(t)
        changes = self._changes()
        if not changes:
            raise RecordingError(f"{self._path}: the recording holds no frames, hence no picture")
        if last == -1:
            return Screen(changes[0][2], changes[0][3], **kw)
        start, _, width, height = max((c for c in changes if c[0] <= last), key=lambda c: c[0])
        screen = Screen(width, height, **kw)
        first = start
        restored = self._from_snapshot(screen, start, last)
        if restored is not None:
            screen, first = restored
        for frame in self._rows(first, last):
            try:
                screen.apply(frame.data)
            except ValueError:
                pass  # a refused frame: a lost delta, the picture stays as it was
        return screen

    def _from_snapshot(self, screen: Screen, start: int, last: int) -> tuple[Screen, int] | None:
        """A screen like `screen` holding the latest snapshot between frames start and last, and
        the frame to replay from; None when no snapshot serves (its format or scale, a mode that
        may refuse frames the writer's screen took, no snapshot, none that fits)."""
        layout = _FROM_RGB.get(screen.pixel_format)
        if not self._has_snapshots or layout is None or screen.scale != 1 or screen.mode is not None:
            return None
        width, height = screen.width, screen.height
        with _translate(self._path):
            rows = self._conn().execute(
                "SELECT frame, width, height, frames_applied, pixels FROM snapshots "
                "WHERE frame >= ? AND frame <= ? AND pixel_format = 'RGB' AND scale = 1 ORDER BY frame DESC",
                (start, last),
            )
            for frame, w, h, applied, pixels in rows:
                rgb = None
                if (w, h) == (width, height) and isinstance(applied, int) and 0 <= applied <= frame - start + 1:
                    try:
                        rgb = zlib.decompress(pixels) if isinstance(pixels, bytes) else None
                    except zlib.error:
                        pass
                if rgb is None or len(rgb) != width * height * 3:
                    warnings.warn(
                        f"{self._path}: the snapshot after frame {frame} does not fit its frames; ignored",
                        RecordingWarning,
                        stacklevel=3,
                    )
                    continue
                rebuild, (version, state) = screen.__reduce__()
                state = (*state[:3], _rearrange(rgb, *layout), applied, *state[5:])
                return rebuild(version, state), frame + 1
        return None

    def follow(self, timeout: float | None = None) -> Iterator[Frame]:
        """Every frame, from the first, then new frames as the writer appends them. Ends when the
        writer has closed the recording and every frame was given, or after `timeout` seconds
        without a new frame. A recording whose writer died ends only by the timeout."""
        if timeout is not None and not timeout >= 0:
            raise ValueError(f"timeout is a number of seconds, 0 or more, not {timeout!r}")
        db = self._conn()
        following, quiet_since = 0, time.monotonic()
        while True:
            with _translate(self._path):
                # One read transaction: the frames and the closed mark as of one moment.
                db.execute("BEGIN")
                try:
                    closed = db.execute("SELECT closed FROM session WHERE id = 1").fetchone()[0]
                    frames = list(self._rows(following))
                finally:
                    db.execute("COMMIT")
            yield from frames
            if frames:
                following, quiet_since = frames[-1].index + 1, time.monotonic()
            elif closed or timeout is not None and time.monotonic() - quiet_since >= timeout:
                return
            else:
                time.sleep(_FOLLOW_POLL)


def _rearrange(rgb: bytes, order: tuple[int, int, int], size: int, pad: int | None) -> bytes:
    """RGB pixels in another layout of the same values: each channel moved by a slice."""
    if size == 3 and order == (0, 1, 2):
        return rgb
    n = len(rgb) // 3
    out = bytearray(b"\xff" * (n * size)) if pad is not None else bytearray(n * size)
    for channel, offset in enumerate(order):
        out[offset::size] = rgb[channel::3]
    return bytes(out)


class _Writer:
    """The writer's side: counts and the clock, and a thread that applies each frame to a
    Screen (the picture as shown) and compresses a snapshot of it when one is due. Snapshots
    come back to the appending thread, which stores them in the transaction of its next frame,
    so that the database is only ever touched from one thread and append never waits for a
    decode or a compression."""

    def __init__(self, db: sqlite3.Connection, path: Path) -> None:
        self.db = db
        self.clock = time.monotonic()
        self.count, self.last_t_ns = 0, 0
        self._queue: queue.SimpleQueue[tuple[int, int, bytes, int, int] | None] = queue.SimpleQueue()
        self._ready: list[tuple[int, int, int, int, bytes]] = []
        self._lock = threading.Lock()
        self._backlog = 0  # bytes of frames queued for the thread and not yet applied
        self._skipping: tuple[int, int] | None = None  # the size whose frames the thread no longer gets
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="quorvel-recording-snapshots", daemon=True)
        self._checkpointer = threading.Thread(
            target=self._checkpoints, args=(path,), name="quorvel-recording-checkpoints", daemon=True
        )
        self._thread.start()
        self._checkpointer.start()

    def submit(self, index: int, t_ns: int, data: bytes, width: int, height: int) -> None:
        if not self._thread.is_alive():  # no snapshots from here on, and no queue that grows
            return
        if self._skipping is not None:
            if self._skipping == (width, height):
                return
            self._skipping = None  # a new size: the thread starts a new picture, snapshots resume
        with self._lock:
            behind = self._backlog > MAX_BACKLOG
            if not behind:
                self._backlog += len(data)
        if behind:
            # Frames come faster than the thread decodes them (a backlog appended at once):
            # rather than hold them all in memory, no more snapshots until the size changes.
            # Seeks there replay from the last snapshot, as exactly, only longer.
            self._skipping = (width, height)
            self._queue.put((index, t_ns, b"", -1, -1))
            return
        self._queue.put((index, t_ns, data, width, height))

    def finish(self) -> None:
        self._queue.put(None)
        self._stop.set()
        self._thread.join()
        self._checkpointer.join()

    def _checkpoints(self, path: Path) -> None:
        """Every CHECKPOINT_SECONDS, the frames in the log copied into the file, beside the
        appends (a passive checkpoint never blocks the writer)."""
        try:
            db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        except sqlite3.Error:
            return  # the backstop in the writer's connection does it then
        try:
            while not self._stop.wait(CHECKPOINT_SECONDS):
                try:
                    db.execute("PRAGMA wal_checkpoint(PASSIVE)")
                except sqlite3.Error:
                    pass  # busy now: the next round, or the backstop
        finally:
            db.close()

    def store_snapshots(self) -> None:
        """Inserts the snapshots the thread has made; inside the caller's transaction."""
        with self._lock:
            ready, self._ready = self._ready, []
        for frame, width, height, applied, pixels in ready:
            self.db.execute(
                "INSERT INTO snapshots (frame, width, height, pixel_format, scale, frames_applied, pixels) "
                "VALUES (?, ?, ?, 'RGB', 1, ?, ?)",
                (frame, width, height, applied, pixels),
            )

    def _run(self) -> None:
        screen: Screen | None = None
        size: tuple[int, int] | None = None
        work, since_ns, last_size = 0, 0, 0
        while (item := self._queue.get()) is not None:
            index, t_ns, data, width, height = item
            with self._lock:
                self._backlog -= len(data)
            if width < 0:  # the appending thread stopped sending this size's frames
                screen = None
                continue
            if (width, height) != size:
                # A new size: a new, black picture, and nothing to replay before it.
                size, screen, work, since_ns = (width, height), None, 0, t_ns
                try:
                    screen = Screen(width, height, threads=1)
                except (MemoryError, ValueError):
                    screen = None  # a picture too large to keep: this size is replayed
            if screen is None:
                continue
            try:
                screen.apply(data)
            except ValueError:
                pass  # a refused frame: the picture stays, as it does for every reader
            except MemoryError:
                screen = None  # the snapshot would not fit its frames: this size is replayed
                continue
            work += max(len(data), FRAME_OVERHEAD)
            due = max(SNAPSHOT_WORK, SNAPSHOT_RATIO * last_size)
            if work >= due and (t_ns - since_ns) / 1e9 >= SNAPSHOT_MIN_SECONDS:
                try:
                    pixels = zlib.compress(screen.to_bytes(), SNAPSHOT_LEVEL)
                except MemoryError:
                    continue  # no snapshot this time; the next one is due after the next frame
                with self._lock:
                    self._ready.append((index, width, height, screen.frames_applied, pixels))
                work, since_ns, last_size = 0, t_ns, len(pixels)


def _fsync_folder(folder: Path) -> None:
    """Makes a rename or link in `folder` durable, where the system allows it."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _check_row(path: Path, index: int, t_ns: object, width: object, height: object) -> None:
    if not isinstance(t_ns, int) or t_ns < 0:
        raise RecordingError(f"{path}: frame {index}: its time is not a count of nanoseconds, 0 or more")
    if not isinstance(width, int) or not isinstance(height, int) or width < 0 or height < 0:
        raise RecordingError(f"{path}: frame {index}: its size {width}x{height} is not a picture size")


def _check(path: Path, db: sqlite3.Connection) -> None:
    """Raises RecordingError unless `db` is a recording this version reads."""
    with _translate(path):
        app = db.execute("PRAGMA application_id").fetchone()[0]
        version = db.execute("PRAGMA user_version").fetchone()[0]
        if app != APPLICATION_ID:
            raise RecordingError(f"{path}: not a recording (an SQLite database of another application)")
        if version > SCHEMA_VERSION:
            raise RecordingError(
                f"{path}: a recording of a newer schema (version {version}); this quorvel reads "
                f"version {SCHEMA_VERSION}: upgrade quorvel"
            )
        if version < 1:
            raise RecordingError(f"{path}: a recording without a schema version")
        tables = {name for (name,) in db.execute("SELECT name FROM sqlite_schema WHERE type = 'table'")}
        missing = {"session", "frames"} - tables
        if missing:
            raise RecordingError(f"{path}: not a whole recording: no table {', '.join(sorted(missing))}")
        if db.execute("SELECT count(*) FROM session WHERE id = 1").fetchone()[0] != 1:
            raise RecordingError(f"{path}: not a whole recording: its session row is missing")
        # A file cut short: SQLite reads the pages it still has and fails on the others later.
        journal = db.execute("PRAGMA journal_mode").fetchone()[0]
        pages, page_size = (db.execute(f"PRAGMA {p}").fetchone()[0] for p in ("page_count", "page_size"))
        if journal != "wal" and os.path.getsize(path) < pages * page_size:
            raise RecordingError(f"{path}: the file is truncated (damaged)")


class _translate:
    """SQLite's failures as RecordingError: one line that names the file."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: object) -> None:
        if isinstance(value, sqlite3.Error) and not isinstance(value, sqlite3.ProgrammingError):
            text = str(value)
            if "file is not a database" in text:
                raise RecordingError(f"{self.path}: not a recording (not an SQLite database)") from None
            if (
                "malformed" in text
                or "corrupt" in text
                or isinstance(value, sqlite3.DatabaseError)
                and ("disk I/O" in text)
            ):
                raise RecordingError(f"{self.path}: the file is damaged ({text})") from None
            if "no such table" in text or "no such column" in text:
                raise RecordingError(f"{self.path}: not a whole recording ({text})") from None
            raise RecordingError(f"{self.path}: {text}") from None

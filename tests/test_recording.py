"""Recordings: the file, the Recording API, seeking against a replay from the start, follow,
read-only use, repair and every kind of bad file."""

import hashlib
import os
import pickle
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path

import pytest

from quorvel import Recording, RecordingError, Screen
from quorvel import recording as recording_module

np = pytest.importorskip("numpy")
from quorvel.encode import encode_frame  # noqa: E402

A, B = (96, 64), (40, 24)  # two picture sizes: the session changes between them


def pictures(size, count, seed):
    """A key picture and pictures that each change a random rectangle of the one before."""
    w, h = size
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    pic = np.stack([(xx * 5) % 256, (yy * 7) % 256, (xx + 2 * yy) % 256], axis=-1).astype(np.uint8)
    out = [pic]
    for _ in range(count - 1):
        pic = pic.copy()
        x, y = rng.integers(0, w - 8), rng.integers(0, h - 8)
        pic[y : y + rng.integers(4, 24), x : x + rng.integers(4, 40)] = rng.integers(0, 256, 3)
        out.append(pic)
    return out


def frames_of(pics):
    return [encode_frame(pics[0])] + [encode_frame(p, previous=q) for q, p in zip(pics, pics[1:])]


def session():
    """(data, width, height, t) of a session: frames at size A with a refused one among them,
    a size change to B, and back to A with a delta alone (drawn over black). Some times repeat."""
    a, b = frames_of(pictures(A, 12, 1)), frames_of(pictures(B, 4, 2))
    seq = [(f, *A) for f in a[:6]] + [(b"not a frame", *A)] + [(f, *A) for f in a[6:]]
    seq += [(f, *B) for f in b] + [(a[3], *A)] + [(a[0][:40], *A)]  # a cut key frame: refused too
    times = [0.25 + 0.1 * i for i in range(len(seq))]
    times[3] = times[2]  # two frames at the same time
    return [(d, w, h, round(t, 6)) for (d, w, h), t in zip(seq, times)]


SESSION = session()
REFUSED = [6, len(SESSION) - 1]


@pytest.fixture
def often(monkeypatch):
    """Snapshots after nearly every frame, so that seeks start from them."""
    monkeypatch.setattr(recording_module, "SNAPSHOT_WORK", 1)
    monkeypatch.setattr(recording_module, "SNAPSHOT_MIN_SECONDS", 0.0)
    monkeypatch.setattr(recording_module, "SNAPSHOT_RATIO", 0)


@pytest.fixture
def rec_path(tmp_path, often):
    path = tmp_path / "s.qvr"
    with Recording.create(path, metadata={"source": "node17", "rack": [4, 2]}) as rec:
        for data, w, h, t in SESSION:
            rec.append(data, w, h, t=t)
    return path


def replay(frames, **kw):
    """What Screen(width, height, **kw) shows after the frames, a new screen at each size change."""
    screen = None
    for data, w, h, _ in frames:
        if screen is None or (screen.width, screen.height) != (w, h):
            screen = Screen(w, h, **kw)
        try:
            screen.apply(data)
        except ValueError:
            pass
    return screen


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def test_round_trip(rec_path):
    rec = Recording.open(rec_path)
    assert len(rec) == len(SESSION)
    got = [(f.index, bytes(f.data), f.width, f.height, f.t) for f in rec]
    assert got == [(i, d, w, h, t) for i, (d, w, h, t) in enumerate(SESSION)]
    assert rec.duration == SESSION[-1][3]
    assert rec.size_changes == [(0.25, *A), (SESSION[13][3], *B), (SESSION[17][3], *A)]
    assert rec.failures() == REFUSED
    assert rec.failures(until=SESSION[6][3] - 0.001) == []
    meta = rec.metadata
    assert meta["source"] == "node17" and meta["rack"] == [4, 2] and meta["started"].startswith("20")
    assert rec.closed_cleanly
    snapshots = sqlite3.connect(rec_path).execute("SELECT count(*) FROM snapshots").fetchone()[0]
    assert snapshots > 3
    again = pickle.loads(pickle.dumps(rec))
    assert again.path == rec.path and len(again) == len(rec)
    assert sorted(os.listdir(rec_path.parent)) == ["s.qvr"]  # one file: no log, no temporary


@pytest.mark.parametrize(
    "kw",
    [
        {},
        {"pixel_format": "BGR"},
        {"pixel_format": "RGBX"},
        {"pixel_format": "BGRX"},
        {"pixel_format": "XRGB"},
        {"pixel_format": "XBGR"},
        {"pixel_format": "GRAY"},
        {"scale": 2},
        {"scale": 8, "pixel_format": "BGRX"},
        {"mode": 444, "threads": 2},
    ],
    ids=lambda kw: ",".join(f"{k}={v}" for k, v in kw.items()) or "RGB",
)
def test_screen_at_is_a_replay_from_the_start(rec_path, kw):
    rec = Recording.open(rec_path)
    times = sorted({t for *_, t in SESSION} | {t + 0.05 for *_, t in SESSION} | {1e6})
    for t in times:
        screen = rec.screen_at(t, **kw)
        expected = replay([f for f in SESSION if f[3] <= t], **kw)
        assert (screen.width, screen.height, screen.pixel_format, screen.scale, screen.mode) == (
            expected.width,
            expected.height,
            expected.pixel_format,
            expected.scale,
            expected.mode,
        ), t
        assert screen.frames_applied == expected.frames_applied, t
        assert screen.to_bytes() == expected.to_bytes(), t
    # Before the first frame: the first size's black picture.
    early = rec.screen_at(0.1, **kw)
    assert (early.width, early.height, early.frames_applied) == (*A, 0)
    assert early.to_bytes() == Screen(*A, **kw).to_bytes()


def test_a_writer_behind_its_snapshot_thread_stops_snapshots_but_not_exactness(tmp_path, often, monkeypatch):
    monkeypatch.setattr(recording_module, "MAX_BACKLOG", 0)  # behind as soon as one frame waits
    path = tmp_path / "s.qvr"
    with Recording.create(path) as rec:
        for data, w, h, t in SESSION:
            rec.append(data, w, h, t=t)
    rec = Recording.open(path)
    for t in sorted({t for *_, t in SESSION}):
        assert rec.screen_at(t).to_bytes() == replay([f for f in SESSION if f[3] <= t]).to_bytes(), t


def test_a_snapshot_that_does_not_fit_is_ignored_with_a_warning(rec_path):
    db = sqlite3.connect(rec_path)
    frame = db.execute("SELECT max(frame) FROM snapshots WHERE frame < 12").fetchone()[0]
    db.execute("UPDATE snapshots SET pixels = ? WHERE frame = ?", (b"\x78\x9c" + b"\0" * 9, frame))
    db.commit()
    db.close()
    rec = Recording.open(rec_path)
    with pytest.warns(recording_module.RecordingWarning, match=f"snapshot after frame {frame} does not fit"):
        screen = rec.screen_at(SESSION[frame][3])
    assert screen.to_bytes() == replay(SESSION[: frame + 1]).to_bytes()


def test_a_recording_written_by_another_program(tmp_path):
    """The schema as the README documents it, without the optional snapshots and index."""
    path = tmp_path / "other.qvr"
    db = sqlite3.connect(path)
    db.executescript(
        """PRAGMA application_id = 1364611633; PRAGMA user_version = 1;
        CREATE TABLE session (id INTEGER PRIMARY KEY, source TEXT, started TEXT NOT NULL,
                              metadata TEXT NOT NULL, closed INTEGER NOT NULL);
        CREATE TABLE frames (id INTEGER PRIMARY KEY, t_ns INTEGER NOT NULL, width INTEGER NOT NULL,
                             height INTEGER NOT NULL, data BLOB NOT NULL, crc32 INTEGER);
        INSERT INTO session VALUES (1, NULL, '2026-01-01T00:00:00Z', '{}', 1);"""
    )
    db.executemany(
        "INSERT INTO frames VALUES (?, ?, ?, ?, ?, NULL)",
        [(i, round(t * 1e9), w, h, d) for i, (d, w, h, t) in enumerate(SESSION)],
    )
    db.commit()
    db.close()
    rec = Recording.open(path)
    assert rec.metadata == {"started": "2026-01-01T00:00:00Z"}
    assert rec.screen_at(1.0).to_bytes() == replay([f for f in SESSION if f[3] <= 1.0]).to_bytes()
    assert rec.failures() == REFUSED


def test_time_from_the_clock(tmp_path):
    with Recording.create(tmp_path / "c.qvr") as rec:
        rec.append(SESSION[0][0], *A)
        time.sleep(0.05)
        rec.append(SESSION[1][0], *A)
        rec.append(SESSION[2][0], *A, t=rec.duration + 2)
        assert len(rec) == 3
    times = [f.t for f in Recording.open(tmp_path / "c.qvr")]
    assert 0 <= times[0] < 1 and times[1] - times[0] >= 0.05 and times[2] == pytest.approx(times[1] + 2)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda rec: rec.append(SESSION[0][0], *A, t=0.1), ValueError, "t goes back"),
        (lambda rec: rec.append(SESSION[0][0], *A, t=-1), ValueError, "t is a number of seconds"),
        (lambda rec: rec.append(SESSION[0][0], *A, t=float("nan")), ValueError, "t is a number of seconds"),
        (lambda rec: rec.append(SESSION[0][0], -1, 5, t=9), ValueError, "width and height are 0 or more"),
        (lambda rec: rec.append("text", *A, t=9), TypeError, "not 'str'"),
        (lambda rec: rec.screen_at(-0.5), ValueError, "t is a number of seconds"),
        (lambda rec: Recording.create(rec.path), FileExistsError, "never written over"),
        (lambda rec: Recording.create(rec.path.parent / "no" / "s.qvr"), FileNotFoundError, "No such file"),
    ],
)
def test_bad_calls(tmp_path, call, error, message):
    with Recording.create(tmp_path / "s.qvr") as rec:
        rec.append(SESSION[0][0], *A, t=1.0)
        with pytest.raises(error, match=message):
            call(rec)
        assert len(rec) == 1


def test_reading_needs_a_recording(tmp_path):
    with pytest.raises(FileNotFoundError):
        Recording.open(tmp_path / "missing.qvr")
    with Recording.create(tmp_path / "empty.qvr"):
        pass
    empty = Recording.open(tmp_path / "empty.qvr")
    assert (len(empty), empty.duration, empty.size_changes, empty.failures()) == (0, 0.0, [], [])
    with pytest.raises(RecordingError, match="holds no frames"):
        empty.screen_at(0)
    with pytest.raises(ValueError, match="opened read-only"):
        empty.append(b"", 1, 1)
    with pytest.raises(TypeError):
        Recording.create(tmp_path / "x.qvr", metadata={"when": object()})
    assert not (tmp_path / "x.qvr").exists()


def test_follow_while_a_writer_appends(tmp_path):
    path = tmp_path / "live.qvr"
    writer = Recording.create(path)
    writer.append(SESSION[0][0], *A, t=0)
    seen = []

    def append_more():
        for i, (data, w, h, t) in enumerate(SESSION[1:10], 1):
            time.sleep(0.02)
            writer.append(data, w, h, t=t)
            if i == 5:
                time.sleep(0.4)  # a pause longer than the reader's poll
        writer.close()

    reader = Recording.open(path)
    thread = threading.Thread(target=append_more)
    thread.start()
    start = time.monotonic()
    for frame in reader.follow(timeout=10):
        seen.append((frame.index, bytes(frame.data)))
    thread.join()
    assert time.monotonic() - start < 5  # ended by the close, not by the timeout
    assert seen == [(i, SESSION[i][0]) for i in range(10)]


def test_follow_ends_by_timeout_when_the_writer_died(tmp_path):
    path = tmp_path / "dead.qvr"
    crash_writer(path, 3)
    start = time.monotonic()
    frames = list(Recording.open(path).follow(timeout=0.3))
    assert [f.index for f in frames] == [0, 1, 2]
    assert 0.3 <= time.monotonic() - start < 3


def crash_writer(path, count):
    """A writer that appends `count` frames and is killed before it closes the recording."""
    code = (
        "import os, signal, sys\n"
        "from quorvel import Recording\n"
        "rec = Recording.create(sys.argv[1])\n"
        f"for i in range({count}):\n"
        f"    rec.append({SESSION[0][0]!r}, {A[0]}, {A[1]}, t=i)\n"
        "os.kill(os.getpid(), signal.SIGKILL)\n"
    )
    result = subprocess.run([sys.executable, "-c", code, str(path)], timeout=60)
    assert result.returncode == -signal.SIGKILL


def test_repair(tmp_path):
    path = tmp_path / "crashed.qvr"
    crash_writer(path, 5)
    assert {p.name for p in tmp_path.iterdir()} == {"crashed.qvr", "crashed.qvr-wal", "crashed.qvr-shm"}
    rec = Recording.open(path)  # opens, and shows what was appended, before any repair
    assert len(rec) == 5 and not rec.closed_cleanly
    rec.close()
    Recording.repair(path)
    assert [p.name for p in tmp_path.iterdir()] == ["crashed.qvr"]
    copy = tmp_path / "copy" / "c.qvr"
    copy.parent.mkdir()
    shutil.copy(path, copy)  # the file alone is the whole recording now
    rec = Recording.open(copy)
    assert [bytes(f.data) for f in rec] == [SESSION[0][0]] * 5 and not rec.closed_cleanly
    before = digest(path)
    Recording.repair(path)  # nothing left to do: nothing changes
    assert digest(path) == before


def test_repair_refuses_a_file_that_is_not_a_recording(tmp_path):
    path = tmp_path / "other.db"
    sqlite3.connect(path).execute("CREATE TABLE t (x)").connection.close()
    before = digest(path)
    with pytest.raises(RecordingError, match="not a recording"):
        Recording.repair(path)
    assert digest(path) == before


def read_only_run(folder, code, *args):
    """Runs `code` in a new interpreter that cannot write to `folder`: as root, with the folder
    mounted read-only in a namespace of its own (root writes through permissions)."""
    command = [sys.executable, "-c", code, *map(str, args)]
    if os.geteuid() == 0:
        if not shutil.which("unshare"):
            pytest.skip("running as root without unshare: no folder is read-only to us")
        script = 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"'
        command = ["unshare", "-rm", "sh", "-c", script, "sh", str(folder), *command]
    else:
        folder.chmod(0o555)
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=60)
    finally:
        folder.chmod(0o755)


@pytest.mark.parametrize("reader_at_close", [False, True], ids=["closed", "read-while-closed"])
def test_a_closed_recording_opens_from_a_read_only_folder(tmp_path, often, reader_at_close):
    path = tmp_path / "s.qvr"
    with Recording.create(path) as rec:
        for data, w, h, t in SESSION:
            rec.append(data, w, h, t=t)
        # A reader that has the file open when the writer closes keeps it in WAL mode.
        reader = Recording.open(path) if reader_at_close else None
    if reader is not None:
        reader.close()
    folder = tmp_path / "ro"
    folder.mkdir()
    shutil.copy(path, folder / "s.qvr")  # the .qvr alone
    before = digest(folder / "s.qvr")
    code = (
        "import sys\nfrom quorvel import Recording\nrec = Recording.open(sys.argv[1])\n"
        "print(len(rec), rec.screen_at(99).frames_applied, rec.closed_cleanly)"
    )
    result = read_only_run(folder, code, folder / "s.qvr")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(len(SESSION)), str(replay(SESSION).frames_applied), "True"]
    assert os.listdir(folder) == ["s.qvr"] and digest(folder / "s.qvr") == before


def _sql(*statements):
    def change(path):
        db = sqlite3.connect(path)
        for s in statements:
            db.execute(s)
        db.commit()
        db.close()

    return change


def _truncate(path):
    size = path.stat().st_size
    with open(path, "r+b") as f:
        f.truncate(size // 2)


def _overwrite(path):
    with open(path, "r+b") as f:
        f.seek(4096)  # the pages after the first: the tables' roots
        f.write(bytes(range(256)) * 64)


def _overwrite_blob(path):
    db = sqlite3.connect(path)
    data = bytearray(db.execute("SELECT data FROM frames WHERE id = 0").fetchone()[0])
    data[100] ^= 0xFF  # the page itself stays sound: only the checksum can tell
    db.execute("UPDATE frames SET data = ? WHERE id = 0", (bytes(data),))
    db.commit()
    db.close()


def _text(path):
    path.write_text("frame,t\n1,2\n")


@pytest.mark.parametrize(
    "damage, message",
    [
        (_text, "not a recording"),
        (lambda p: p.write_bytes(b""), "not a recording"),
        (_sql("PRAGMA application_id = 7"), "not a recording"),
        (_sql("PRAGMA user_version = 2"), "newer schema"),
        (_sql("DROP TABLE frames"), "not a whole recording"),
        (_truncate, "truncated|damaged"),
        (_overwrite, "damaged|not a recording"),
        (_overwrite_blob, "frame 0: its data is damaged"),
        (_sql("PRAGMA ignore_check_constraints = 1", "UPDATE frames SET width = -4 WHERE id = 5"), "frame 5: its size"),
        (_sql("PRAGMA writable_schema = 1", "UPDATE sqlite_schema SET sql = replace(sql, 'NOT NULL', '')"), None),
    ],
    ids=["text", "empty", "other-app", "newer", "no-frames", "truncated", "overwritten", "blob", "negative", "null"],
)
def test_bad_recordings(rec_path, damage, message):
    damage(rec_path)
    if message is None:  # the schema loosened above; now a frame without its blob
        _sql("UPDATE frames SET data = NULL WHERE id = 3")(rec_path)
        message = "frame 3: its data is missing"
    before = digest(rec_path)
    with pytest.raises(RecordingError, match=message) as info:
        rec = Recording.open(rec_path)
        rec.size_changes
        list(rec)
        rec.screen_at(99)
    assert "\n" not in str(info.value) and str(rec_path) in str(info.value)
    assert digest(rec_path) == before

"""A writer killed at any moment leaves a recording that opens and holds a prefix of what was
appended, each frame whole. Starts a few dozen interpreters: kept out of the arm64 run under
emulation (see .ci/run), like test_cli.py."""

import pickle
import random
import signal
import subprocess
import sys
import time

import pytest

from quorvel import Recording, Screen

np = pytest.importorskip("numpy")
from quorvel.encode import encode_frame  # noqa: E402

CHILD = r"""
import os, pickle, sys, time
from quorvel import recording
from quorvel.recording import Recording

# Snapshots after nearly every frame, so that kills land while they are stored.
recording.SNAPSHOT_WORK, recording.SNAPSHOT_MIN_SECONDS, recording.SNAPSHOT_RATIO = 1, 0.0, 0
# create syncs its temporary file and the folder: each sync 20 ms slower, so that on any machine
# the kills aimed at create land inside it.
sync = os.fsync
os.fsync = lambda fd: (time.sleep(0.02), sync(fd))[1]
frames = pickle.load(open(sys.argv[2], "rb"))
out = sys.stdout
out.write("creating\n"); out.flush()
rec = Recording.create(sys.argv[1])
out.write("created\n"); out.flush()
i = 0
while True:
    data, w, h = frames[i % len(frames)]
    if rec._writer._ready:  # the next append stores a snapshot
        out.write("snapshot\n"); out.flush()
    rec.append(data, w, h, t=i / 100)
    out.write(f"{i} {time.monotonic()}\n"); out.flush()
    i += 1
"""


def session_frames():
    """Frames of two sizes: a key frame and deltas at 320x240, then at 160x128, then again."""
    rng = np.random.default_rng(7)
    out = []
    for w, h in ((320, 240), (160, 128), (320, 240)):
        pic = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
        pic[:, : w // 2] = 40
        out.append((encode_frame(pic), w, h))
        for _ in range(6):
            new = pic.copy()
            y, x = rng.integers(0, h - 32), rng.integers(0, w - 32)
            new[y : y + 32, x : x + 32] = rng.integers(0, 256, 3)
            out.append((encode_frame(new, previous=pic), w, h))
            pic = new
    out.append((b"refused", 320, 240))
    return out


# (what the kill waits for, the longest random delay after it in seconds, runs)
KILLS = [("creating", 0.06, 18), ("snapshot", 0.004, 18), ("created", 0.8, 24)]


def test_kill_the_writer_at_random_moments(tmp_path):
    frames = session_frames()
    frame_file = tmp_path / "frames.pickle"
    frame_file.write_bytes(pickle.dumps(frames))
    rng = random.Random(2024)
    kinds = {}
    for run, (event, longest) in enumerate((e, d) for e, d, n in KILLS for _ in range(n)):
        path = tmp_path / f"r{run}.qvr"
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(path), str(frame_file)], stdout=subprocess.PIPE, text=True, bufsize=1
        )
        lines = []
        try:
            while True:
                line = child.stdout.readline()
                assert line, f"run {run}: the writer ended before the kill"
                lines.append(line.strip())
                if lines[-1] == event and (event != "snapshot" or rng.random() < 0.5):
                    break
            time.sleep(rng.uniform(0, longest))
            child.send_signal(signal.SIGKILL)
            killed_at = time.monotonic()
        finally:
            child.kill()
            rest = child.stdout.read()
            child.wait()
        lines += rest.splitlines()
        returned = [float(x.split()[1]) for x in lines if x[:1].isdigit() and len(x.split()) == 2]
        created = "created" in lines
        if not path.exists():
            assert not created, f"run {run}: create returned, but there is no file"
            kinds["no file"] = kinds.get("no file", 0) + 1
            continue
        rec = Recording.open(path)
        got = [(bytes(f.data), f.width, f.height, f.t) for f in rec]
        # A prefix of what was appended, each frame whole...
        expected = [(*frames[i % len(frames)], i / 100) for i in range(len(got))]
        assert got == expected, f"run {run}"
        # ...holding every frame whose append returned (all of them, not just those 0.25 s
        # before the kill), and at most the one in flight beyond.
        assert len(returned) <= len(got) <= len(returned) + 1, f"run {run}"
        assert all(t < killed_at for t in returned)
        # The snapshots stored on the way fit their frames: a seek equals a replay.
        if got:
            screen = None
            for data, w, h, _ in got:
                if screen is None or (screen.width, screen.height) != (w, h):
                    screen = Screen(w, h)
                try:
                    screen.apply(data)
                except ValueError:
                    pass
            assert rec.screen_at(rec.duration).to_bytes() == screen.to_bytes(), f"run {run}"
        assert not rec.closed_cleanly
        rec.close()
        key = "empty" if not got else ("snapshots" if event == "snapshot" else "frames")
        kinds[key] = kinds.get(key, 0) + 1
    # The kills landed where they were aimed: during create and between frames and snapshots.
    assert kinds.get("no file", 0) + kinds.get("empty", 0) >= 5, kinds
    assert kinds.get("snapshots", 0) >= 10 and kinds.get("frames", 0) >= 10, kinds

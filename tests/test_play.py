"""`quorvel play` as a person sees it: a real window on an X server (Xvfb), driven by key presses
and grabbed from another process, compared with what a Screen holds after the same frames.

Needs Xvfb, ImageMagick's `import`, xwininfo and xdotool (Debian: xvfb imagemagick x11-utils
xdotool) and pygame-ce. Outside CI the window tests are skipped when these are missing; in CI
(CI=true) they must run.

    python tests/test_play.py OUT.png    takes the README's screenshot the same way
"""

import io
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quorvel import Screen

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")

from quorvel import demo  # noqa: E402
from quorvel.encode import encode  # noqa: E402

TOOLS = ("Xvfb", "import", "xwininfo", "xdotool")
IN_CI = os.environ.get("CI", "").lower() in ("1", "true", "yes")
SIZE = (256, 192)  # the demo session at a quarter of its size: small and quick, yet all of it
# A frame the decoder refuses (its block flag is not one it knows): the window keeps the picture.
BROKEN = bytes.fromhex("000001bc00000030") + bytes(4)


def x_env(display=None):
    """The environment for the X server and the X tools: they are not ours to run under the
    sanitizers that a sanitizer run preloads for the extension."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return env if display is None else {**env, "DISPLAY": display}


def unavailable(reason):
    if IN_CI:
        pytest.fail(f"{reason}; CI must run the window tests")
    pytest.skip(reason)


def start_xvfb():
    """An Xvfb on a free display number, with one screen of depth 24: (process, ":N"), or
    (None, None). It writes the number it took on its standard output once it is ready."""
    # -noreset: by default an X server resets when its last client leaves, and a
    # window opened during the reset fails ("x11 not available").
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", "1", "-noreset", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        env=x_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    number = proc.stdout.readline().strip()  # "" when it gave up
    # It says so once it listens; a client that connects then is served, but
    # on a loaded machine make sure before the player's one attempt.
    deadline = time.monotonic() + 20
    while (
        number.isdigit()
        and subprocess.run(["xwininfo", "-root"], env=x_env(f":{number}"), capture_output=True).returncode != 0
    ):
        if time.monotonic() > deadline or proc.poll() is not None:
            number = ""
        time.sleep(0.05)
    if not number.isdigit():
        proc.kill()
        proc.wait()
        return None, None
    return proc, f":{number}"


def stop_xvfb(proc):
    proc.terminate()
    proc.wait(10)
    proc.stdout.close()


@pytest.fixture  # a server of its own for each test: no key or window state carried over
def display():
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        unavailable(f"{', '.join(missing)} not installed (apt-get install xvfb imagemagick x11-utils xdotool)")
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
    try:
        import pygame  # noqa: F401
    except ImportError:
        unavailable("pygame-ce is not installed (pip install '.[play]')")
    proc, name = start_xvfb()
    if proc is None:
        unavailable("Xvfb could not start an X server")
    yield name
    stop_xvfb(proc)


class Window:
    """A `quorvel play` process and its window, seen only through the X server."""

    def __init__(self, display, args, cwd):
        self.display, self.cwd = display, cwd
        self.out, self.err = open(cwd / "out.txt", "w+"), open(cwd / "err.txt", "w+")
        env = {**os.environ, "DISPLAY": display}
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("SDL_VIDEODRIVER", None)
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "quorvel", "play", *map(str, args)],
            cwd=cwd,
            env=env,
            stdout=self.out,
            stderr=self.err,
            text=True,
        )
        self.id = None

    def x(self, *command, check=True):
        return subprocess.run(command, env=x_env(self.display), capture_output=True, check=check, timeout=30).stdout

    def wait_title(self, pattern, timeout=20):
        """Waits until the window's title matches; the window's id is learnt on the way."""
        deadline = time.monotonic() + timeout
        while True:
            # xwininfo walks the tree window by window, and fails (BadWindow) when
            # one goes away meanwhile, as the player's may while it changes: ask again.
            tree = self.x("xwininfo", "-root", "-tree", check=False).decode()
            for wid, title in re.findall(r'^\s*(0x[0-9a-f]+) "(quorvel play[^"]*)"', tree, re.M):
                if re.search(pattern, title):
                    self.id = wid
                    return title
            assert self.proc.poll() is None, f"play ended early: {self.stderr()}"
            assert time.monotonic() < deadline, f"no window titled {pattern!r} in:\n{tree}"
            time.sleep(0.05)

    def key(self, name):
        # A key that closes the window fails xdotool's key release: the process's status tells.
        self.x("xdotool", "key", "--window", self.id, name, check=name != "q")

    def grab(self):
        """The window's pixels as the X server has them."""
        with Image.open(io.BytesIO(self.x("import", "-window", self.id, "png:-"))) as png:
            return png.convert("RGB").tobytes()

    def stdout(self):
        return Path(self.out.name).read_text()

    def stderr(self):
        return Path(self.err.name).read_text()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        self.out.close()
        self.err.close()


def session(size=SIZE):
    """The demo's console session, scaled down: its key frame and delta frames."""
    pictures = [
        np.asarray(Image.fromarray(scene.render()).resize(size, Image.Resampling.BOX)) for _, scene in demo._sequence()
    ]
    frames, previous = [], None
    for picture in pictures:
        frames.append(encode(picture, previous=previous).data)
        previous = picture
    return frames


def pictures_after(frames, size=SIZE, scale=1):
    """What a Screen holds after each frame; the first entry is the black screen before any."""
    screen, shown = Screen(*size, scale=scale), []
    shown.append(screen.to_bytes())
    for data in frames:
        try:
            screen.apply(data)
        except ValueError:
            pass
        shown.append(screen.to_bytes())
    return shown


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    """A capture folder: the session with a broken frame third, and a file that is no frame."""
    frames = session()
    frames.insert(2, BROKEN)
    folder = tmp_path_factory.mktemp("play") / "capture"
    folder.mkdir()
    for i, data in enumerate(frames):
        (folder / f"{i:02}.frame").write_bytes(data)
    (folder / "notes.txt").write_text("not a frame")
    return folder, frames


def test_the_window_shows_what_the_screen_holds(display, capture, tmp_path):
    folder, frames = capture
    expected, n = pictures_after(frames), len(frames)
    assert expected[2] == expected[3] and expected[1] != expected[2]  # the broken frame draws nothing
    window = Window(display, [folder, "--size", "x".join(map(str, SIZE)), "--paused", "--fps", "30"], tmp_path)
    try:
        assert window.wait_title(rf"{n} frames, 256x192 \(paused\)")
        assert window.grab() == expected[0]
        # Stepping: each frame repaints only the rectangles it drew, and the window must
        # still show the whole picture, the broken frame's included.
        for i in (1, 2, 3):
            window.key("Right")
            title = window.wait_title(rf"frame {i} of {n}\b")
            assert window.grab() == expected[i], f"after frame {i}"
        assert "failed, picture kept" in title and "02.frame" in title
        window.key("space")
        title = window.wait_title(rf"frame {n} of {n}, {len(frames[-1])} bytes, \d+\.\d\d ms \(.*{n - 1:02}\.frame\)$")
        assert window.grab() == expected[-1]
        window.key("s")
        deadline = time.monotonic() + 10
        while "saved" not in window.stdout() and time.monotonic() < deadline:
            time.sleep(0.05)
        [line] = window.stdout().splitlines()
        saved = tmp_path / f"quorvel-play-{n}.png"
        assert line == f"saved {saved.name} (the picture after frame {n})"
        with Image.open(saved) as png:
            assert png.convert("RGB").tobytes() == expected[-1]
        window.key("q")
        assert window.proc.wait(10) == 1  # a frame failed
        assert window.stderr().splitlines() == [f"quorvel: {folder / '02.frame'}: unknown block flag: 3"]
    finally:
        window.close()


def test_it_plays_through_and_quits_when_asked(display, capture, tmp_path):
    folder, frames = capture
    good = [folder / f"{i:02}.frame" for i in range(len(frames)) if frames[i] != BROKEN]
    window = Window(display, [*good, "--size", "256x192", "--fps", "100", "--exit-after", "0"], tmp_path)
    try:
        assert window.proc.wait(20) == 0
        assert window.stderr() == "" and window.stdout() == ""
    finally:
        window.close()


@pytest.mark.parametrize("scale", [2, 8])
def test_a_wall_shows_each_screens_thumbnail(display, capture, tmp_path, scale):
    """Two captures side by side, the second shorter (it keeps its last picture), each onto a
    Screen at the scale; the window holds the thumbnails unscaled, a grey gap between."""
    folder, frames = capture
    short = tmp_path / "short"
    short.mkdir()
    for name in ("00.frame", "01.frame"):
        (short / name).write_bytes((folder / name).read_bytes())
    n = len(frames)
    window = Window(display, ["--wall", folder, short, "--size", "256x192", "--scale", scale, "--fps", "100"], tmp_path)
    try:
        title = window.wait_title(rf"wall of 2, frame {n} of {n}, ")
        w, h = 256 // scale, 192 // scale
        wall = np.full((h, 2 * w + 4, 3), 48, np.uint8)
        wall[:, :w] = np.frombuffer(pictures_after(frames, scale=scale)[-1], np.uint8).reshape(h, w, 3)
        wall[:, w + 4 :] = np.frombuffer(pictures_after(frames[:2], scale=scale)[-1], np.uint8).reshape(h, w, 3)
        assert window.grab() == wall.tobytes(), title
        window.key("q")
        assert window.proc.wait(10) == 1  # the broken frame of the first capture
        assert window.stderr().splitlines() == [f"quorvel: {folder / '02.frame'}: unknown block flag: 3"]
    finally:
        window.close()


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """A recording: the session at 256x192 a frame a second, then 20 s later the session at
    128x96 (a size change), with the broken frame among the first."""
    from quorvel import Recording

    big, small = session(), session((128, 96))
    big.insert(2, BROKEN)
    path = tmp_path_factory.mktemp("rec") / "s.qvr"
    with Recording.create(path) as rec:
        for i, data in enumerate(big):
            rec.append(data, *SIZE, t=i)
        for i, data in enumerate(small):
            rec.append(data, 128, 96, t=len(big) + 20 + 0.5 * i)
    return Recording.open(path)


def test_a_recording_jumps_10_s_with_the_arrow_keys(display, recording, tmp_path):
    n = len(recording)
    window = Window(display, [recording.path, "--paused"], tmp_path)
    try:
        window.wait_title(rf"{n} frames, 256x192 \(paused\)")
        assert window.grab() == bytes(256 * 192 * 3)
        shown = 0.0
        for key, t in (
            ("Right", 10.0),
            ("Right", 20.0),
            ("Right", 30.0),
            ("Right", recording.duration),
            ("Left", None),
        ):
            window.key(key)
            t = t if t is not None else recording.duration - 10
            window.wait_title(rf"play: {t:.1f} s, frame \d+ of {n}")
            expected = recording.screen_at(t)
            # The window keeps the largest size; a smaller picture at its top left, on grey.
            grabbed = np.frombuffer(window.grab(), np.uint8).reshape(192, 256, 3)
            w, h = expected.width, expected.height
            assert grabbed[:h, :w].tobytes() == expected.to_bytes(), (key, t, w)
            assert (grabbed[h:] == 48).all() and (grabbed[:, w:] == 48).all()
            shown = t
        assert shown > 20  # the last picture was of the second size
        window.key("q")
        assert window.proc.wait(10) == 0  # nothing was played: no frame failed
    finally:
        window.close()


def test_a_recording_plays_at_its_own_pace_with_idle_stretches_cut(display, recording, tmp_path):
    start = time.monotonic()
    window = Window(display, [recording.path, "--speed", "4", "--exit-after", "0"], tmp_path)
    try:
        assert window.proc.wait(60) == 1  # the broken frame
        took = time.monotonic() - start
    finally:
        window.close()
    # At four times the pace: 9 s of frames and 20 s of idle cut to 3 s, over 4, and 3.5 s of the
    # small session over 4: about 4 s, never the 8 s that the whole gap would take.
    assert 3 <= took < 8, took


def test_follow_plays_a_recording_being_written_until_it_is_closed(display, tmp_path):
    from quorvel import Recording

    frames, path = session(), tmp_path / "live.qvr"
    writer = Recording.create(path)
    writer.append(frames[0], *SIZE, t=0)
    window = Window(display, [path, "--follow", "--exit-after", "0"], tmp_path)
    try:
        window.wait_title(r"frame 1 of 1\b")
        for i, data in enumerate(frames[1:], 1):
            writer.append(data, *SIZE, t=0.1 * i)
        window.wait_title(rf"frame {len(frames)} of {len(frames)}\b")
        assert window.grab() == pictures_after(frames)[-1]
        assert window.proc.poll() is None  # still following
        writer.close()
        assert window.proc.wait(10) == 0
    finally:
        window.close()


@pytest.mark.parametrize(
    "display_env, says",
    [
        ({}, "quorvel: play: no display to open a window on: neither DISPLAY nor WAYLAND_DISPLAY is set"),
        ({"DISPLAY": ":8191"}, "quorvel: play: cannot open a 8x8 window on display :8191: "),
    ],
)
def test_without_a_display_one_line(tmp_path, display_env, says):
    pytest.importorskip("pygame")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    result = subprocess.run(
        [sys.executable, "-m", "quorvel", "play", "a.frame", "--size", "8x8"],
        cwd=tmp_path,
        env={**env, **display_env},
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 1
    [line] = result.stderr.splitlines()
    assert line.startswith(says)


@pytest.mark.parametrize(
    "option, says",
    [
        (["--fps", "0"], "--fps is a number of frames a second above 0 and up to 1000, not 0"),
        (["--fps", "nan"], "not nan"),
        (["--exit-after", "-1"], "--exit-after is a number of seconds, 0 or more, not -1"),
        (["--exit-after", "nan"], "not nan"),
        (["--scale", "3"], "invalid choice: 3"),
        (["--columns", "2"], "--columns lays out a wall: it goes with --wall"),
        (["--wall", "--columns", "0"], "--columns is a number of pictures a row, at least 1, not 0"),
    ],
)
def test_usage_errors(tmp_path, option, says):
    result = subprocess.run(
        [sys.executable, "-m", "quorvel", "play", "a.frame", "--size", "8x8", *option],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 2
    [line] = result.stderr.splitlines()
    assert line.startswith("quorvel: ") and says in line


@pytest.mark.parametrize("args", [["play", "a.frame", "--size", "8x8"], ["demo", "--play", "--outdir", "d"]])
def test_without_the_extra_one_line(tmp_path, args):
    blocker = tmp_path / "block"
    (blocker / "pygame").mkdir(parents=True)
    (blocker / "pygame" / "__init__.py").write_text("raise ImportError('blocked')")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(blocker), os.environ.get("PYTHONPATH")]))}
    result = subprocess.run(
        [sys.executable, "-m", "quorvel", *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        "quorvel: play: a window needs pygame-ce: pip install 'quorvel[play]' (in a clone: pip install '.[play]')"
    ]
    assert not (tmp_path / "d").exists()  # the demo said so before doing its work


def screenshot(path):
    """The README's picture: the demo session, full size, after its last frame, grabbed as above."""
    proc, name = start_xvfb()
    assert proc is not None, "Xvfb could not start"
    folder = Path(path).resolve().parent / "play-session"
    folder.mkdir(exist_ok=True)
    frames = session((demo.WIDTH, demo.HEIGHT))
    for i, data in enumerate(frames):
        (folder / f"{i:02}.frame").write_bytes(data)
    window = Window(name, [folder, "--size", f"{demo.WIDTH}x{demo.HEIGHT}"], folder)
    try:
        window.wait_title(rf"frame {len(frames)} of {len(frames)}")
        assert window.grab() == pictures_after(frames, (demo.WIDTH, demo.HEIGHT))[-1]
        window.x("import", "-window", window.id, str(path))
    finally:
        window.close()
        shutil.rmtree(folder)
        stop_xvfb(proc)


if __name__ == "__main__":
    screenshot(sys.argv[1])

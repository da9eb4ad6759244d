"""`quorvel play`: frames played onto a Screen in a real window.

    quorvel play FRAME... | DIR --size WxH [--scale N] [--fps N] [--paused] [--exit-after SECONDS]
    quorvel play --wall CAPTURE CAPTURE... --size WxH [--scale N] [--columns N] [...]

The window comes from SDL through pygame-ce, the `play` extra. SDL rather
than Qt: pygame-ce's wheel is a few megabytes against PySide6's hundreds,
`pygame.display.update(rects)` hands SDL exactly the rectangles a frame drew
(the partial repaint a console client wants, nothing more), and
`pygame.image.frombuffer` wraps the Screen's own pixels without copying them,
so the picture the window shows is read straight out of the decoder's buffer.

The playback itself (which frame comes next, what a failing frame does, the
title) is `Playback`, which knows nothing of windows; `Wall` lays several out
side by side (one alone fills the window); `play` adds the window, the clock
and the keys. With a scale each Screen keeps a thumbnail, and the window shows
its pixels as they are: the toolkit never scales.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from ._atomic import atomic_output
from ._png import encode_png
from ._screen import Screen

if TYPE_CHECKING:
    import pygame

PLAY_HINT = "pip install 'quorvel[play]' (in a clone: pip install '.[play]')"
# SDL's drivers that draw nowhere a person can see.
HEADLESS_DRIVERS = ("offscreen", "dummy", "evdev")

Rect = tuple[int, int, int, int]


class PlayError(Exception):
    """The window cannot be had: one line, exit status 1."""


@dataclass
class Playback:
    """Frames applied one by one to a Screen; a frame that fails leaves the picture as it was.

    `frames` are (name, read) pairs: read() returns the frame's bytes (so that a long capture
    is read a frame at a time) or raises ValueError with one line that says why it cannot.
    """

    screen: Screen
    frames: Sequence[tuple[str, Callable[[], bytes]]]
    describe_failure: Callable[[str, str, bytes], str] = lambda name, message, data: f"{name}: {message}"
    shown: int = 0  # frames taken so far, failed ones included
    failed: int = 0
    elapsed: float = 0.0  # seconds the last frame took to apply
    title: str = ""
    failure: str = ""  # why the last frame that failed did
    # A recording's: each frame's time in seconds and picture size (a size change starts a new,
    # black screen), and the screen at a time with the count of frames it holds (for jumps).
    times: list[float] | None = None
    sizes: list[tuple[int, int]] | None = None
    seek: Callable[[float], tuple[Screen, int]] | None = None
    t: float = 0.0  # where a recording is, in seconds: the last frame's time, or where a jump went

    @property
    def done(self) -> bool:
        return self.shown >= len(self.frames)

    def advance(self) -> list[Rect] | None:
        """Applies the next frame: the rectangles it drew, or None when it failed (`failure`
        then says why, in one line)."""
        name, read = self.frames[self.shown]
        if self.sizes is not None and self.sizes[self.shown] != (self.screen.width, self.screen.height):
            self.screen = Screen(*self.sizes[self.shown], scale=self.screen.scale)
        if self.times is not None:
            self.t = self.times[self.shown]
        self.shown += 1
        where = f"frame {self.shown} of {len(self.frames)}"
        data = b""
        try:
            data = read()
            start = time.perf_counter()
            rects = self.screen.apply(data)
            self.elapsed = elapsed = time.perf_counter() - start
        except (ValueError, MemoryError) as e:
            self.failed += 1
            self.failure = self.describe_failure(name, str(e) or "not enough memory", data)
            self.title = f"quorvel play: {where} failed, picture kept ({name})"
            return None
        self.title = f"quorvel play: {where}, {len(data)} bytes, {elapsed * 1e3:.2f} ms ({name})"
        return rects

    def gap(self, longest: float) -> float | None:
        """Seconds from the frame just shown to the next by the recording's clock, an idle
        stretch cut to `longest`; None without times (then frames come at a fixed rate)."""
        if self.times is None or self.shown == 0 or self.done:
            return None
        return min(self.times[self.shown] - self.times[self.shown - 1], longest)

    def jump(self, seconds: float) -> None:
        """Shows the picture `seconds` later (earlier when negative) in the recording."""
        if self.seek is None or not self.times:
            return
        target = min(max(self.t + seconds, 0.0), self.times[-1])
        self.screen, self.shown = self.seek(target)
        self.t = target
        self.title = f"quorvel play: {target:.1f} s, frame {self.shown} of {len(self.frames)}"

    @property
    def size(self) -> tuple[int, int]:
        """The picture's width and height in pixels: the thumbnail's at a scale."""
        scale = self.screen.scale
        return -(-self.screen.width // scale), -(-self.screen.height // scale)

    def save(self, folder: Path) -> Path:
        """Writes the picture shown as a PNG in `folder`, named after the frame, never over a file."""
        return _save_png(encode_png(self.screen.to_bytes(), *self.size), folder, f"quorvel-play-{self.shown}")


def _save_png(png: bytes, folder: Path, stem: str) -> Path:
    n = 1
    while True:
        path = folder / (f"{stem}.png" if n == 1 else f"{stem}-{n}.png")
        try:
            with atomic_output(path, exclusive=True) as file:
                file.write(png)
            return path
        except FileExistsError:
            n += 1


# Between the tiles of a wall: a dark grey that a black console does not hide.
GAP_COLOUR = (48, 48, 48)


@dataclass
class Wall:
    """Playbacks side by side in one picture, `columns` to a row, `gap` pixels apart: playback i
    at column i % columns and row i // columns. All advance together, one frame each a step;
    one that has run out of frames keeps its last picture. A wall of one is that playback alone."""

    playbacks: Sequence[Playback]
    columns: int = 1
    gap: int = 0
    steps: int = 0
    title: str = ""

    @property
    def tile(self) -> tuple[int, int]:
        return (max(p.size[0] for p in self.playbacks), max(p.size[1] for p in self.playbacks))

    @property
    def size(self) -> tuple[int, int]:
        (w, h), n = self.tile, len(self.playbacks)
        cols, rows = min(self.columns, n), -(-n // self.columns)
        return cols * w + (cols - 1) * self.gap, rows * h + (rows - 1) * self.gap

    def origin(self, i: int) -> tuple[int, int]:
        w, h = self.tile
        return (i % self.columns) * (w + self.gap), (i // self.columns) * (h + self.gap)

    @property
    def done(self) -> bool:
        return all(p.done for p in self.playbacks)

    @property
    def failed(self) -> int:
        return sum(p.failed for p in self.playbacks)

    def initial_title(self) -> str:
        w, h = self.size
        if len(self.playbacks) == 1:
            return f"quorvel play: {len(self.playbacks[0].frames)} frames, {w}x{h}"
        return f"quorvel play: wall of {len(self.playbacks)}, {w}x{h}"

    def advance(self) -> tuple[list[tuple[int, Rect]], list[str]]:
        """One frame for each playback that has frames left: the rectangles drawn, each with
        the index of its playback and in its picture's pixels, and one line for each frame
        that failed."""
        rects: list[tuple[int, Rect]] = []
        failures: list[str] = []
        self.steps += 1
        elapsed, failed = 0.0, 0
        for i, playback in enumerate(self.playbacks):
            if playback.done:
                continue
            drawn = playback.advance()
            if drawn is None:
                failures.append(playback.failure)
                failed += 1
                continue
            elapsed += playback.elapsed
            rects.extend((i, rect) for rect in drawn)
        if len(self.playbacks) == 1:
            self.title = self.playbacks[0].title
        else:
            longest = max(len(p.frames) for p in self.playbacks)
            kept = f", {failed} failed, pictures kept" if failed else ""
            self.title = (
                f"quorvel play: wall of {len(self.playbacks)}, frame {self.steps} of {longest}, "
                f"{elapsed * 1e3:.2f} ms{kept}"
            )
        return rects, failures

    def pixels(self) -> bytes:
        """The whole wall as RGB bytes, rows top to bottom: each picture, the gaps between."""
        width, height = self.size
        canvas = bytearray(bytes(GAP_COLOUR) * (width * height))
        for i, playback in enumerate(self.playbacks):
            (w, h), (x0, y0) = playback.size, self.origin(i)
            picture = playback.screen.to_bytes()
            for row in range(h):
                at = ((y0 + row) * width + x0) * 3
                canvas[at : at + w * 3] = picture[row * w * 3 : (row + 1) * w * 3]
        return bytes(canvas)

    def save(self, folder: Path) -> Path:
        if len(self.playbacks) == 1:
            return self.playbacks[0].save(folder)
        return _save_png(encode_png(self.pixels(), *self.size), folder, f"quorvel-wall-{self.steps}")


def check_toolkit() -> None:
    """Raises PlayError naming the install command when pygame-ce is missing."""
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")  # its greeting is not ours to print
    try:
        import pygame  # noqa: F401
    except ImportError:
        raise PlayError(f"a window needs pygame-ce: {PLAY_HINT}") from None


def _open_window(width: int, height: int) -> pygame.Surface:
    import pygame

    chosen = os.environ.get("SDL_VIDEODRIVER")
    if sys.platform.startswith("linux") and not chosen:
        x11, wayland = os.environ.get("DISPLAY"), os.environ.get("WAYLAND_DISPLAY")
        if not x11 and not wayland:
            raise PlayError("no display to open a window on: neither DISPLAY nor WAYLAND_DISPLAY is set")
        if x11 and not wayland:
            # Only X is on offer: SDL need not try the others (which write their own
            # complaints to stderr) when it cannot reach it.
            os.environ["SDL_VIDEODRIVER"] = "x11"
    try:
        pygame.display.init()
        driver = pygame.display.get_driver()
        # SDL falls back to drawing off screen when it finds no display; nobody would see
        # the window, so that counts as no display unless SDL_VIDEODRIVER asked for it.
        if driver in HEADLESS_DRIVERS and driver != chosen:
            pygame.display.quit()
            raise PlayError(f"no display to open a window on (SDL found only its '{driver}' driver)")
        return pygame.display.set_mode((width, height))
    except pygame.error as e:
        pygame.display.quit()
        where = f" on display {os.environ['DISPLAY']}" if os.environ.get("SDL_VIDEODRIVER") == "x11" else ""
        raise PlayError(f"cannot open a {width}x{height} window{where}: {e}") from None


# A recording's idle stretches longer than this are cut to it: nobody waits minutes for a change.
LONGEST_GAP = 3.0
JUMP_SECONDS = 10.0
FOLLOW_POLL = 0.25  # seconds between looks for new frames


def play(
    playback: Playback | Wall,
    *,
    fps: float = 10.0,
    speed: float = 1.0,
    refresh: Callable[[], bool] | None = None,
    window_size: tuple[int, int] | None = None,
    paused: bool = False,
    exit_after: float | None = None,
    save_folder: Path = Path("."),
    out: Callable[[str], object] = print,
    err: Callable[[str], object] = lambda line: print(line, file=sys.stderr),
) -> int:
    """Plays `playback` (or a wall of them) in a window at `fps` frames a second until q, the
    window's close button, or `exit_after` seconds after the last frame. Exit status: 1 when a
    frame failed, else 0.

    A recording (a playback with times) plays at its own pace times `speed`, idle stretches cut
    to LONGEST_GAP, and the arrow keys jump JUMP_SECONDS. With `refresh` (following a recording
    still being written) the last frame is not the end: refresh() adds the frames that landed
    since and says whether more may come. `window_size`: the window's least size (a recording's
    largest picture, so that a size change does not make a new window); a smaller picture is
    shown at its top left, on grey."""
    check_toolkit()
    import pygame

    wall = playback if isinstance(playback, Wall) else Wall([playback])
    width, height = wall.size
    if window_size is not None:
        width, height = max(width, window_size[0]), max(height, window_size[1])
    window = _open_window(width, height)
    # Each Screen's pixels as an SDL surface, without a copy: apply draws straight into what
    # the surface shows, and only the rectangles apply returns are copied to the window.
    pictures = [pygame.image.frombuffer(memoryview(p.screen), p.size, "RGB") for p in wall.playbacks]
    screens = [p.screen for p in wall.playbacks]
    recording = wall.playbacks[0] if len(wall.playbacks) == 1 and wall.playbacks[0].times is not None else None

    def new_screens() -> bool:
        """After a size change or a jump: surfaces over the new screens, a window of the new size."""
        nonlocal window, screens
        if screens == [p.screen for p in wall.playbacks]:
            return False
        screens = [p.screen for p in wall.playbacks]
        pictures[:] = [pygame.image.frombuffer(memoryview(p.screen), p.size, "RGB") for p in wall.playbacks]
        (w, h), (shown_w, shown_h) = wall.size, window.get_size()
        if w > shown_w or h > shown_h:
            window = pygame.display.set_mode((max(w, shown_w), max(h, shown_h)))
        repaint()
        return True

    def repaint() -> None:
        window.fill(GAP_COLOUR)
        for i, picture in enumerate(pictures):
            window.blit(picture, wall.origin(i))
        pygame.display.flip()

    def caption() -> str:
        title = wall.title or wall.initial_title()
        return f"{title} (paused)" if paused and not wall.done else title

    try:
        repaint()
        pygame.display.set_caption(caption())
        period = 1.0 / fps
        due = time.monotonic()
        quit_at = float("inf")  # set once the last frame is shown, with exit_after
        next_look = 0.0  # when to look for new frames, following a recording
        while True:
            step = False
            now = time.monotonic()
            if wall.done:
                wait = min(quit_at, next_look) - now if refresh is not None else quit_at - now
            else:
                wait = float("inf") if paused else due - now
            # Sleep until a key or the window wants attention, or the next thing is due.
            if wait > 0:
                first = pygame.event.wait(0 if wait == float("inf") else max(1, int(wait * 1000)))
                events = [] if first.type == pygame.NOEVENT else [first]
            else:
                events = []
            for event in events + pygame.event.get():
                if event.type == pygame.QUIT:
                    return 1 if wall.failed else 0
                if event.type == pygame.WINDOWEXPOSED:
                    repaint()
                elif event.type == pygame.KEYDOWN:
                    if event.key == pygame.K_q:
                        return 1 if wall.failed else 0
                    if event.key == pygame.K_SPACE:
                        paused = not paused
                        due = time.monotonic()
                        pygame.display.set_caption(caption())
                    elif event.key in (pygame.K_RIGHT, pygame.K_LEFT) and recording is not None:
                        recording.jump(JUMP_SECONDS if event.key == pygame.K_RIGHT else -JUMP_SECONDS)
                        wall.title = recording.title
                        if not new_screens():
                            repaint()
                        pygame.display.set_caption(caption())
                        due = time.monotonic()
                    elif event.key == pygame.K_RIGHT:
                        paused, step = True, True
                    elif event.key == pygame.K_s:
                        try:
                            path = wall.save(save_folder)
                        except OSError as e:
                            err(f"quorvel: play: cannot save the picture in {save_folder}: {e.strerror or e}")
                        else:
                            out(f"saved {path} (the picture after frame {wall.steps})")
            now = time.monotonic()
            if wall.done and refresh is not None and now >= next_look:
                # Following: the frames that landed since, until the writer closes.
                if not refresh():
                    refresh = None
                    if exit_after is not None:
                        quit_at = now + exit_after
                next_look = now + FOLLOW_POLL
                if not wall.done:
                    due = now
            if wall.done:
                if now >= quit_at:
                    return 1 if wall.failed else 0
                continue
            if step or (not paused and now >= due):
                drawn, failures = wall.advance()
                if new_screens():
                    drawn = []  # a size change: the window was repainted whole
                for failure in failures:
                    err(f"quorvel: {failure}")
                rects = []
                for i, (x, y, w, h) in drawn:
                    x0, y0 = wall.origin(i)
                    window.blit(pictures[i], (x0 + x, y0 + y), (x, y, w, h))
                    rects.append((x0 + x, y0 + y, w, h))
                if rects:
                    pygame.display.update(rects)
                pygame.display.set_caption(caption())
                gap = recording.gap(LONGEST_GAP) if recording is not None else None
                due = max(due + (period if gap is None else gap / speed), now)
                if wall.done and exit_after is not None and refresh is None:
                    quit_at = time.monotonic() + exit_after
    finally:
        pygame.display.quit()

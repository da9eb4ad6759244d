"""`quorvel play`: frames played onto a Screen in a real window.

    quorvel play FRAME... | DIR --size WxH [--fps N] [--paused] [--exit-after SECONDS]

The window comes from SDL through pygame-ce, the `play` extra. SDL rather
than Qt: pygame-ce's wheel is a few megabytes against PySide6's hundreds,
`pygame.display.update(rects)` hands SDL exactly the rectangles a frame drew
(the partial repaint a console client wants, nothing more), and
`pygame.image.frombuffer` wraps the Screen's own pixels without copying them,
so the picture the window shows is read straight out of the decoder's buffer.

The playback itself (which frame comes next, what a failing frame does, the
title) is `Playback`, which knows nothing of windows; `play` adds the window,
the clock and the keys.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

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
    title: str = ""
    failure: str = ""  # why the last frame that failed did

    @property
    def done(self) -> bool:
        return self.shown >= len(self.frames)

    def advance(self) -> list[Rect] | None:
        """Applies the next frame: the rectangles it drew, or None when it failed (`failure`
        then says why, in one line)."""
        name, read = self.frames[self.shown]
        self.shown += 1
        where = f"frame {self.shown} of {len(self.frames)}"
        data = b""
        try:
            data = read()
            start = time.perf_counter()
            rects = self.screen.apply(data)
            elapsed = time.perf_counter() - start
        except (ValueError, MemoryError) as e:
            self.failed += 1
            self.failure = self.describe_failure(name, str(e) or "not enough memory", data)
            self.title = f"quorvel play: {where} failed, picture kept ({name})"
            return None
        self.title = f"quorvel play: {where}, {len(data)} bytes, {elapsed * 1e3:.2f} ms ({name})"
        return rects

    def save(self, folder: Path) -> Path:
        """Writes the picture shown as a PNG in `folder`, named after the frame, never over a file."""
        png = encode_png(self.screen.to_bytes(), self.screen.width, self.screen.height)
        stem, n = f"quorvel-play-{self.shown}", 1
        while True:
            path = folder / (f"{stem}.png" if n == 1 else f"{stem}-{n}.png")
            try:
                with open(path, "xb") as file:
                    file.write(png)
                return path
            except FileExistsError:
                n += 1


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


def play(playback: Playback, *, fps: float = 10.0, paused: bool = False, exit_after: float | None = None,
         save_folder: Path = Path("."), out: Callable[[str], object] = print,
         err: Callable[[str], object] = lambda line: print(line, file=sys.stderr)) -> int:
    """Plays `playback` in a window at `fps` frames a second until q, the window's close button,
    or `exit_after` seconds after the last frame. Exit status: 1 when a frame failed, else 0."""
    check_toolkit()
    import pygame

    screen = playback.screen
    width, height = screen.width, screen.height
    window = _open_window(width, height)
    # The Screen's pixels as an SDL surface, without a copy: apply draws straight into what
    # the surface shows, and only the rectangles apply returns are copied to the window.
    picture = pygame.image.frombuffer(memoryview(screen), (width, height), "RGB")

    def caption() -> str:
        title = playback.title or f"quorvel play: {len(playback.frames)} frames, {width}x{height}"
        return f"{title} (paused)" if paused and not playback.done else title

    try:
        window.blit(picture, (0, 0))
        pygame.display.flip()
        pygame.display.set_caption(caption())
        period = 1.0 / fps
        due = time.monotonic()
        quit_at = float("inf")  # set once the last frame is shown, with exit_after
        while True:
            step = False
            now = time.monotonic()
            if playback.done:
                wait = quit_at - now
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
                    return 1 if playback.failed else 0
                if event.type == pygame.WINDOWEXPOSED:
                    window.blit(picture, (0, 0))
                    pygame.display.flip()
                elif event.type == pygame.KEYDOWN:
                    if event.key == pygame.K_q:
                        return 1 if playback.failed else 0
                    if event.key == pygame.K_SPACE:
                        paused = not paused
                        due = time.monotonic()
                        pygame.display.set_caption(caption())
                    elif event.key == pygame.K_RIGHT:
                        paused, step = True, True
                    elif event.key == pygame.K_s:
                        try:
                            path = playback.save(save_folder)
                        except OSError as e:
                            err(f"quorvel: play: cannot save the picture in {save_folder}: {e.strerror or e}")
                        else:
                            out(f"saved {path} (the picture after frame {playback.shown})")
            now = time.monotonic()
            if playback.done:
                if now >= quit_at:
                    return 1 if playback.failed else 0
                continue
            if step or (not paused and now >= due):
                rects = playback.advance()
                if rects is None:
                    err(f"quorvel: {playback.failure}")
                for x, y, w, h in rects or ():
                    window.blit(picture, (x, y), (x, y, w, h))
                if rects:
                    pygame.display.update(rects)
                pygame.display.set_caption(caption())
                due = max(due + period, now)
                if playback.done and exit_after is not None:
                    quit_at = time.monotonic() + exit_after
    finally:
        pygame.display.quit()

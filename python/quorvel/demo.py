"""`quorvel demo`: a remote-console session, encoded, decoded and measured.

Renders what a BMC's remote console typically shows (a desktop with a text
console in a real monospaced font, a picture viewer with a photograph-like
image, a mouse pointer), codes a key frame and delta frames for typing, the
pointer and a window being dragged, applies each frame to one Screen (the
delta frames drawn over the picture before them, as a client shows them), and
reports per frame what was sent and how faithful the result is.
"""

from __future__ import annotations

import os
import shutil
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFont

from . import _format as fmt
from ._atomic import atomic_output
from ._picture import psnr
from ._screen import Screen
from .encode import EncodedFrame, encode

WIDTH, HEIGHT = 1024, 768
MODE = fmt.MODE_444

DESKTOP = (32, 72, 104)
TERMINAL_BG, TERMINAL_FG, PROMPT = (12, 12, 12), (204, 204, 204), (98, 220, 98)
TITLE_BG, TITLE_FG, FRAME_EDGE = (222, 222, 222), (16, 16, 16), (150, 150, 150)

CONSOLE_LINES = [
    ("$ ", "ipmitool sensor | head -8"),
    ("", "CPU Temp         | 41.000     | degrees C  | ok"),
    ("", "System Temp      | 33.000     | degrees C  | ok"),
    ("", "FAN1             | 4200.000   | RPM        | ok"),
    ("", "FAN2             | 4100.000   | RPM        | ok"),
    ("", "VCCP             | 0.912      | Volts      | ok"),
    ("", "12V              | 12.064     | Volts      | ok"),
    ("", "5VSB             | 5.040      | Volts      | ok"),
    ("", "PS1 Status       | 0x1        | discrete   | 0x0100"),
    ("$ ", "uptime"),
    ("", " 09:41:07 up 213 days,  2:17,  1 user,  load average: 0.08, 0.11, 0.09"),
    ("$ ", "dmesg | tail -4"),
    ("", "[18403211.5120] e1000e 0000:00:19.0 eth0: NIC Link is Up 1000 Mbps"),
    ("", "[18403214.0031] IPv6: ADDRCONF(NETDEV_CHANGE): eth0: link ready"),
    ("", "[18403301.9932] EXT4-fs (sda2): re-mounted. Opts: errors=remount-ro"),
    ("", "[18403302.4410] systemd[1]: Started Daily apt upgrade and clean."),
]
TYPED = "systemctl status sshd"
PHOTO = (360, 240)


def _font(size: int) -> ImageFont.FreeTypeFont | ImageFont.ImageFont:
    """A monospaced TrueType font from the system, else Pillow's own."""
    for name in (
        "DejaVuSansMono.ttf",
        "LiberationMono-Regular.ttf",
        "NotoSansMono-Regular.ttf",
        "Menlo.ttc",
        "consola.ttf",
        "cour.ttf",
    ):
        try:
            return ImageFont.truetype(name, size)
        except OSError:
            continue
    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow before 10.1
        return ImageFont.load_default()


def _photo(width: int, height: int) -> np.ndarray:
    """A photograph-like picture: a sky gradient, hills, soft light and fine grain."""
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float64)
    u, v = xx / width, yy / height
    sky = np.stack([70 + 90 * v, 120 + 80 * v, 200 + 40 * v], axis=-1)
    ridge = 0.55 + 0.08 * np.sin(6.0 * u + 0.5) + 0.04 * np.sin(17.0 * u)
    land = np.stack(
        [60 + 40 * np.sin(9 * u) + 50 * (v - ridge), 110 + 30 * np.cos(7 * u + 3 * v), 50 + 20 * np.sin(5 * v)], axis=-1
    )
    hill = (v > ridge)[..., None]
    picture = np.where(hill, land, sky)
    sun = np.exp(-((u - 0.72) ** 2 + (v - 0.22) ** 2) / 0.004)[..., None] * np.array([150.0, 120.0, 40.0])
    grain = np.random.default_rng(1187).normal(0.0, 1.2, picture.shape)
    photo: np.ndarray = np.clip(picture + sun + grain, 0, 255).astype(np.uint8)
    return photo


@dataclass
class Scene:
    """The state of the screen; render() draws it."""

    typed: str = ""
    pointer: tuple[int, int] | None = None
    window: tuple[int, int] = (600, 170)

    def render(self) -> np.ndarray:
        img = Image.new("RGB", (WIDTH, HEIGHT), DESKTOP)
        draw = ImageDraw.Draw(img)
        font, title = _font(13), _font(13)
        cell_w, cell_h = 8, 17  # a text console's fixed character cells

        # The terminal: crisp text (consoles draw without anti-aliasing), so its
        # macroblocks hold two colours.
        x0, y0 = 16, 16
        draw.rectangle((x0, y0, x0 + 82 * cell_w, y0 + 22 + 24 * cell_h), fill=TERMINAL_BG, outline=FRAME_EDGE)
        draw.rectangle((x0 + 1, y0 + 1, x0 + 82 * cell_w - 1, y0 + 21), fill=TITLE_BG)
        draw.text((x0 + 8, y0 + 4), "root@bmc-host: ~", font=title, fill=TITLE_FG)
        draw.fontmode = "1"
        lines = CONSOLE_LINES + [("$ ", self.typed)]
        for i, (prompt, text) in enumerate(lines):
            y = y0 + 30 + i * cell_h
            for j, ch in enumerate(prompt + text):
                draw.text((x0 + 8 + j * cell_w, y), ch, font=font, fill=PROMPT if j < len(prompt) else TERMINAL_FG)
        cursor_x = x0 + 8 + (2 + len(self.typed)) * cell_w
        cursor_y = y0 + 30 + (len(lines) - 1) * cell_h
        draw.rectangle((cursor_x, cursor_y + 1, cursor_x + cell_w - 1, cursor_y + cell_h - 2), fill=TERMINAL_FG)
        draw.fontmode = "L"

        # The picture viewer: a photograph, which only DCT macroblocks can carry.
        wx, wy = self.window
        pw, ph = PHOTO
        draw.rectangle((wx - 1, wy - 23, wx + pw, wy + ph), outline=FRAME_EDGE, fill=TITLE_BG)
        draw.text((wx + 8, wy - 19), "IMG_4471.jpg - Viewer", font=title, fill=TITLE_FG)
        img.paste(Image.fromarray(_photo(pw, ph)), (wx, wy))

        # The mouse pointer: a black-edged white arrow.
        if self.pointer:
            px, py = self.pointer
            arrow = [(0, 0), (0, 17), (4, 13), (7, 20), (10, 19), (7, 12), (12, 12)]
            draw.polygon([(px + x, py + y) for x, y in arrow], fill=(255, 255, 255), outline=(0, 0, 0))
        return np.asarray(img)


def _sequence() -> list[tuple[str, Scene]]:
    steps = [("key frame", Scene())]
    for n in (6, 12, len(TYPED)):
        steps.append((f"typing '{TYPED[:n]}'", Scene(typed=TYPED[:n])))
    done = TYPED
    steps.append(("pointer appears", Scene(typed=done, pointer=(700, 520))))
    steps.append(("pointer moves", Scene(typed=done, pointer=(660, 190))))
    steps.append(("window dragged", Scene(typed=done, pointer=(612, 226), window=(552, 206))))
    steps.append(("window dragged", Scene(typed=done, pointer=(572, 268), window=(512, 248))))
    return steps


def frame_paths(outdir: Path) -> list[Path]:
    """The frame files run() writes into `outdir`, in the order they are played."""
    return [outdir / f"frame-{i}.frame" for i in range(len(_sequence()))]


def _key_frame_figures(
    picture: np.ndarray, shown: np.ndarray, frame: EncodedFrame, scene: Scene, n: int
) -> tuple[float, int, int]:
    """PSNR of the photograph, the number of VQ macroblocks and their largest error in levels."""
    wx, wy = scene.window
    photo = psnr(picture[wy : wy + PHOTO[1], wx : wx + PHOTO[0]], shown[wy : wy + PHOTO[1], wx : wx + PHOTO[0]])
    worst, count = 0, 0
    for code, col, row in zip(frame.codes.tolist(), frame.columns.tolist(), frame.rows.tolist()):
        if code in fmt.VQ_CODES:
            area = np.s_[row * n : (row + 1) * n, col * n : (col + 1) * n]
            worst = max(worst, int(np.abs(picture[area].astype(int) - shown[area]).max()))
            count += 1
    return photo, count, worst


def _command_hint() -> str:
    """How to get the `quorvel` command into a shell, when running it by name would not find this one."""
    bindir = Path(sys.executable).parent
    found = shutil.which("quorvel")
    if found and Path(found).parent == bindir:
        return ""
    if sys.prefix != sys.base_prefix:  # a virtual environment
        relative = os.path.relpath(bindir)
        where = str(bindir) if relative.startswith("..") else relative
        return f"\n      (the command is in {where}: run 'source {where}/activate' first, or pip install '.[tools]')"
    return "\n      (to get the command: pip install '.[tools]' in the clone)"


def run(outdir: Path, out: Callable[[str], object] = print) -> int:
    outdir.mkdir(parents=True, exist_ok=True)
    n = fmt.macroblock_size(MODE)
    out(
        f"quorvel demo: a {WIDTH}x{HEIGHT} remote console, mode {MODE} ({n}x{n} macroblocks), primary quantisation pair"
    )
    header = (
        f"{'frame':<6}{'what':<34}{'DCT':>6}{'VQ_1':>6}{'VQ_2':>6}{'VQ_4':>6}{'at':>5}"
        f"{'bytes':>9}{'PSNR':>10}{'apply':>10}"
    )
    out("")
    out(header)
    out("-" * len(header))
    screen, previous, frames = Screen(WIDTH, HEIGHT, MODE), None, []
    encoded: list[bytes] = []
    for i, (what, scene) in enumerate(_sequence()):
        picture = scene.render()
        frame = encode(picture, MODE, previous=previous)
        start = time.perf_counter()
        screen.apply(frame.data)
        elapsed = time.perf_counter() - start
        # A copy: the screen's own picture changes with the next frame.
        state = Image.frombytes("RGB", (WIDTH, HEIGHT), screen.to_bytes())
        shown = np.asarray(state)
        with atomic_output(outdir / f"frame-{i}.frame") as file:
            file.write(frame.data)
        with atomic_output(outdir / f"frame-{i}.png") as file:
            state.save(file, format="PNG")
        frames.append(state)
        encoded.append(frame.data)
        c = frame.counts
        dct = c.get("DCT", 0) + c.get("DCT_AT", 0)
        vq = [c.get(f"VQ_{k}", 0) + c.get(f"VQ_{k}_AT", 0) for k in (1, 2, 4)]
        quality = psnr(picture, shown)
        out(
            f"{i:<6}{what:<34}{dct:>6}{vq[0]:>6}{vq[1]:>6}{vq[2]:>6}{frame.explicit:>5}{len(frame.data):>9}"
            f"{'exact' if quality == float('inf') else f'{quality:.1f} dB':>10}{elapsed * 1e3:>7.2f} ms"
        )
        if i == 0:
            key = _key_frame_figures(picture, shown, frame, scene, n)
        previous = picture
    with atomic_output(outdir / "sequence.png") as file:
        frames[0].save(file, format="PNG", save_all=True, append_images=frames[1:], duration=700, loop=0)
    # The session as a recording too, a frame every 0.7 s as the animation shows them.
    from ._recordings_cli import write_recording

    write_recording(
        outdir / "session.qvr",
        ((data, WIDTH, HEIGHT, 0.7 * i) for i, data in enumerate(encoded)),
        {"source": "quorvel demo"},
        replace=True,
    ).close()
    out("")
    photo, count, worst = key
    out(f"key frame: the photograph in the viewer comes back at {photo:.1f} dB; the {count} macroblocks of at")
    out(f"most four colours (VQ) come back within {worst} level{'' if worst == 1 else 's'} per channel of the screen")
    out("")
    out("DCT, VQ_n: records of each kind (VQ_n: macroblocks painted with n cache colours); at: records")
    out("that name their position; PSNR: the picture as shown (delta frames drawn over the one before)")
    out("against the rendered screen; apply: time of Screen.apply, which draws the frame onto the screen.")
    out(f"wrote {outdir}/frame-0..{len(frames) - 1}.frame, their PNGs and {outdir}/sequence.png (animated)")
    out(f"      and the session as one recording, {outdir}/session.qvr")
    out(f"next: quorvel info {outdir}/frame-4.frame --size {WIDTH}x{HEIGHT}{_command_hint()}")
    return 0

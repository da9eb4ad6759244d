"""Real photographs and real screen captures as frames, for the benchmark.

    python bench/real_frames.py [OUTDIR] [--force]      (default OUTDIR: build/real-frames)

Writes OUTDIR/manifest.json and, for every picture, NAME.png, and for each mode
NAME-MODE.jpg (a baseline JPEG) and NAME-MODE.frame (a compressed frame that
carries the JPEG's very coefficients). Whatever is already there is reused
unless --force is given; nothing here is committed (build/ is ignored).

Photographs. scikit-image ships a few colour photographs inside its wheel (no
network): retina 1411x1411, hubble_deep_field 1000x872, rocket 640x427, coffee
600x400, astronaut and immunohistochemistry 512x512, chelsea 451x300. None is
1920 wide, and scaling one up would flatter a decoder (an upscaled picture is
smooth and has few coefficients), so each mosaic is tiled from crops at native
scale. MOSAICS below is the whole layout: for every tile the photograph, the
top-left corner of the crop in the photograph, its size, and where it lands.
The tiles of a mosaic cover its 1920x1072 pixels exactly once.

Screen captures. A real X server without a screen (Xvfb, at 1920x1072 or
1024x768, 24-bit) shows xterm windows with real fonts: DejaVu Sans Mono,
antialiased, through Xft, and the classic bitmap fonts 9x15 and 10x20; no window
manager, so windows have no title bars. Each window runs a command (`ls -l
/usr/bin`, `top -b -n1`, a man page, ...) and stays open (-hold); after the
text is drawn, imagemagick's `import -window root` captures the whole screen.
SCREENS below lists the windows. What the commands print depends on the
machine (installed programs, the time, running processes), so captures from two
machines differ in their text but not in kind.

Frames. Each picture is converted to YCbCr with the decoder's own colour
matrix (BT.601 studio range), saved by Pillow (libjpeg) as a baseline JPEG with
the format's primary quantisation steps (4:4:4 sampling for mode 444, 4:2:0 for
mode 422), the standard Huffman tables (optimize=False) and no restart markers.
The JPEG's scan is then parsed (markers, DQT, DHT, SOF0, SOS, the entropy-coded
segment with its byte stuffing) into each block's quantised coefficients, and
those are written again as a frame by the package's frame writer: one DCT
record per macroblock, in the JPEG's MCU order. The format uses the same
Huffman codes, but its records, block codes and 32-bit little-endian words
differ, so the scan cannot be copied byte for byte.

Check. A frame must show what the JPEG shows: decode_frame's output is
compared with Pillow's decode of the JPEG to YCbCr, turned into RGB with the
decoder's colour conversion. The two inverse DCTs round differently and, in
mode 422, libjpeg interpolates chroma where the frame repeats each chroma
sample over 2x2 pixels, so they agree closely, not exactly (PSNR in the
manifest; the generator fails below MIN_PSNR).

Needs numpy, Pillow, scikit-image and the package (pip install scikit-image
'quorvel[bench]'), and for the captures Xvfb, xterm, imagemagick and fonts
(Debian: xvfb xterm imagemagick xfonts-base fonts-dejavu-core), which it
installs with apt-get when run as root, or names when it cannot.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from PIL import Image

from quorvel import _format as fmt
from quorvel import decode_frame
from quorvel._picture import psnr
from quorvel.encode import _block_tokens, _decoded_rgb, _pack, _to_ycbcr

MODES = (fmt.MODE_444, fmt.MODE_422)
MIN_PSNR = {fmt.MODE_444: 40.0, fmt.MODE_422: 36.0}
MANIFEST_VERSION = 1

# --- photographs -------------------------------------------------------------

PHOTO_WIDTH, PHOTO_HEIGHT = 1920, 1072


@dataclass(frozen=True)
class Tile:
    photo: str  # a function of skimage.data
    sx: int  # crop: top-left corner in the photograph
    sy: int
    w: int  # crop size (native scale: no resampling)
    h: int
    x: int  # where the crop lands in the mosaic
    y: int


MOSAICS: dict[str, tuple[Tile, ...]] = {
    # The retina's left part beside the deep field, two strips below.
    "photos-a": (
        Tile("retina", 245, 170, 920, 1072, 0, 0),
        Tile("hubble_deep_field", 0, 0, 1000, 872, 920, 0),
        Tile("coffee", 0, 100, 600, 200, 920, 872),
        Tile("rocket", 120, 150, 400, 200, 1520, 872),
    ),
    # Four portraits in a band 400 high, the deep field and the retina under them.
    "photos-b": (
        Tile("astronaut", 0, 0, 512, 400, 0, 0),
        Tile("immunohistochemistry", 0, 0, 512, 400, 512, 0),
        Tile("coffee", 0, 0, 600, 400, 1024, 0),
        Tile("rocket", 344, 27, 296, 400, 1624, 0),
        Tile("hubble_deep_field", 0, 200, 1000, 672, 0, 400),
        Tile("retina", 491, 739, 920, 672, 1000, 400),
    ),
    # A band 300 high (the cat's full height), the retina's lower part and the
    # deep field's right edge under it.
    "photos-c": (
        Tile("chelsea", 0, 0, 451, 300, 0, 0),
        Tile("astronaut", 0, 212, 512, 300, 451, 0),
        Tile("immunohistochemistry", 0, 212, 512, 300, 963, 0),
        Tile("rocket", 0, 127, 445, 300, 1475, 0),
        Tile("retina", 0, 639, 1411, 772, 0, 300),
        Tile("hubble_deep_field", 491, 100, 509, 772, 1411, 300),
    ),
}


def photo_mosaic(name: str) -> np.ndarray:
    """The mosaic as a 1072 x 1920 x 3 uint8 array."""
    import skimage.data

    canvas = np.zeros((PHOTO_HEIGHT, PHOTO_WIDTH, 3), dtype=np.uint8)
    covered = np.zeros((PHOTO_HEIGHT, PHOTO_WIDTH), dtype=np.int32)
    for t in MOSAICS[name]:
        photo = np.asarray(getattr(skimage.data, t.photo)())[..., :3]
        crop = photo[t.sy : t.sy + t.h, t.sx : t.sx + t.w]
        if crop.shape != (t.h, t.w, 3) or crop.dtype != np.uint8:
            raise ValueError(f"{name}: {t.photo} has no {t.w}x{t.h} crop at ({t.sx}, {t.sy}): {photo.shape}")
        canvas[t.y : t.y + t.h, t.x : t.x + t.w] = crop
        covered[t.y : t.y + t.h, t.x : t.x + t.w] += 1
    if not (covered == 1).all():
        raise ValueError(f"{name}: the tiles do not cover the mosaic exactly once")
    return canvas


# --- screen captures ---------------------------------------------------------


@dataclass(frozen=True)
class Window:
    geometry: str  # xterm -geometry: columns x rows + x + y
    font: tuple[str, ...]  # xterm font options
    colours: tuple[str, ...]  # xterm colour options
    command: str  # run by sh -c; the window stays open after it ends


DEJAVU = ("-fa", "DejaVu Sans Mono", "-fs", "11")
DARK = ("-bg", "black", "-fg", "gray90")
LIGHT = ("-bg", "white", "-fg", "black")

SCREENS: dict[str, tuple[int, int, tuple[Window, ...]]] = {
    # Two dark terminals side by side: a coloured directory listing and a process table.
    "screen-ls-top": (
        1920,
        1072,
        (
            Window("104x57+0+0", DEJAVU, DARK, "ls -l --color=always /usr/bin"),
            Window("104x57+962+0", DEJAVU, DARK, "COLUMNS=104 top -b -n1 -w 104 | head -n 56"),
        ),
    ),
    # A man page in a light terminal with a bitmap font, and a dark one with system tables.
    "screen-man": (
        1920,
        1072,
        (
            Window("112x70+0+0", ("-fn", "9x15"), LIGHT, "MANWIDTH=108 man -P cat ls 2>/dev/null | head -n 69"),
            Window(
                "85x52+1012+0",
                ("-fn", "10x20"),
                DARK,
                "df -h /; echo; ps -eo pid,user,rss,vsz,stat,start,time,comm | head -n 30; echo; cat /etc/os-release",
            ),
        ),
    ),
    # The classic: one full-screen terminal with the bitmap font.
    "screen-ls-1024": (1024, 768, (Window("113x51+0+0", ("-fn", "9x15"), DARK, "ls -l /usr/bin"),)),
    # top in a light, antialiased terminal.
    "screen-top-1024": (1024, 768, (Window("112x40+0+0", DEJAVU, LIGHT, "top -b -n1 -w 112 | head -n 39"),)),
}

CAPTURE_TOOLS = ("Xvfb", "xterm", "import")
CAPTURE_FONTS = {  # a file of each font family the screens use
    "DejaVu Sans Mono": "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
    "the 9x15 and 10x20 bitmap fonts": "/usr/share/fonts/X11/misc/9x15.pcf.gz",
}
CAPTURE_PACKAGES = ("xvfb", "xterm", "imagemagick", "xfonts-base", "fonts-dejavu-core")


def _missing_capture_tools() -> list[str]:
    return [tool for tool in CAPTURE_TOOLS if shutil.which(tool) is None] + [
        font for font, path in CAPTURE_FONTS.items() if not Path(path).exists()
    ]


def ensure_capture_tools() -> None:
    """Installs the X server, terminal, capture tool and fonts with apt-get when
    they are missing and this runs as root; otherwise says what is missing."""
    missing = _missing_capture_tools()
    if not missing:
        return
    if os.geteuid() == 0 and shutil.which("apt-get"):
        print(f"installing {' '.join(CAPTURE_PACKAGES)} (apt-get)", file=sys.stderr)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env, stdout=subprocess.DEVNULL)
        subprocess.run(
            ["apt-get", "install", "-y", "-qq", *CAPTURE_PACKAGES],
            check=True,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
        )
        missing = _missing_capture_tools()
    if missing:
        packages = " ".join(CAPTURE_PACKAGES)
        raise SystemExit(f"screen captures need {', '.join(missing)}: apt-get install {packages}")


def capture_screen(name: str, settle: float = 3.0) -> np.ndarray:
    """Runs the screen's windows on a fresh Xvfb and captures it (height x width x 3)."""
    width, height, windows = SCREENS[name]
    ensure_capture_tools()
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-noreset", "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp"],
        pass_fds=(write_end,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    terminals: list[subprocess.Popen[bytes]] = []
    try:
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], 30)[0]:
                raise RuntimeError("Xvfb did not say its display number within 30 s")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
        env = dict(os.environ, DISPLAY=f":{number.decode().strip()}", LANG="C.UTF-8", TERM="xterm")
        for w in windows:
            terminals.append(
                subprocess.Popen(
                    [
                        "xterm",
                        "-geometry",
                        w.geometry,
                        *w.font,
                        *w.colours,
                        "+sb",
                        "-hold",
                        "-e",
                        "sh",
                        "-c",
                        w.command,
                    ],
                    env=env,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                )
            )
        time.sleep(settle)  # the terminals map their windows and draw the text
        with tempfile.TemporaryDirectory() as tmp:
            png = Path(tmp) / "screen.png"
            subprocess.run(["import", "-window", "root", str(png)], env=env, check=True)
            with Image.open(png) as im:
                picture = np.asarray(im.convert("RGB"))
    finally:
        os.close(read_end)
        for p in (*terminals, server):
            p.kill()
            p.wait()
    if picture.shape != (height, width, 3):
        raise RuntimeError(f"{name}: captured {picture.shape}, expected {height}x{width}")
    return picture


# --- JPEG to frame -----------------------------------------------------------


def ycbcr_of(rgb: np.ndarray) -> np.ndarray:
    """The picture in the decoder's YCbCr (studio range), rounded to 8 bits."""
    return np.clip(np.rint(_to_ycbcr(rgb)), 0, 255).astype(np.uint8)


def jpeg_of(rgb: np.ndarray, mode: int) -> bytes:
    """A baseline JPEG of the picture with the frame's primary quantisation steps:
    4:4:4 sampling for mode 444, 4:2:0 for mode 422, standard Huffman tables."""
    luma, chroma = fmt.quant_steps(mode, False)
    out = io.BytesIO()
    Image.fromarray(ycbcr_of(rgb), "YCbCr").save(
        out,
        "JPEG",
        qtables=[list(luma), list(chroma)],
        subsampling=0 if mode == fmt.MODE_444 else 2,
        optimize=False,
        progressive=False,
    )
    return out.getvalue()


@dataclass
class Scan:
    """The coefficients of a baseline JPEG, block by block in scan order."""

    width: int
    height: int
    mode: int  # 444 (all components 1x1) or 422 (luma 2x2, 4:2:0)
    levels: np.ndarray  # (blocks, 64) quantised coefficients, natural order
    component: np.ndarray  # (blocks,) 0 Y, 1 Cb, 2 Cr
    qtables: dict[int, tuple[int, ...]]  # table id -> 64 steps, natural order


def _segments(jpeg: bytes) -> tuple[list[tuple[int, bytes]], int]:
    """The marker segments up to and including SOS, and the offset where the scan's data begins."""
    if jpeg[:2] != b"\xff\xd8":
        raise ValueError("not a JPEG (no SOI)")
    pos, out = 2, []
    while True:
        if pos + 4 > len(jpeg) or jpeg[pos] != 0xFF:
            raise ValueError(f"no marker at offset {pos}")
        marker = jpeg[pos + 1]
        if marker == 0xFF:  # fill byte
            pos += 1
            continue
        length = int.from_bytes(jpeg[pos + 2 : pos + 4], "big")
        out.append((marker, jpeg[pos + 4 : pos + 2 + length]))
        pos += 2 + length
        if marker == 0xDA:
            return out, pos


def _huffman_lookup(counts: tuple[int, ...], symbols: tuple[int, ...]) -> list[int]:
    """65536 entries indexed by the next 16 bits: length << 8 | symbol of the code they begin
    with, 0 where none does."""
    lookup = [0] * 65536
    code, it = 0, iter(symbols)
    for length, count in enumerate(counts, 1):
        for _ in range(count):
            first = code << (16 - length)
            lookup[first : first + (1 << (16 - length))] = [length << 8 | next(it)] * (1 << (16 - length))
            code += 1
        code <<= 1
    return lookup


_STANDARD_TABLES = {
    (0, 0): fmt.LUMA_DC_TABLE,
    (0, 1): fmt.CHROMA_DC_TABLE,
    (1, 0): fmt.LUMA_AC_TABLE,
    (1, 1): fmt.CHROMA_AC_TABLE,
}


def parse_baseline(jpeg: bytes) -> Scan:
    """Parses a 3-component baseline JPEG with the standard Huffman tables, one
    interleaved scan and no restart markers, and decodes its coefficients."""
    segments, start = _segments(jpeg)
    qtables: dict[int, tuple[int, ...]] = {}
    frame: bytes | None = None
    for marker, body in segments:
        if marker == 0xDB:  # DQT: 8-bit tables, steps in zig-zag order
            i = 0
            while i < len(body):
                if body[i] >> 4:
                    raise ValueError("16-bit quantisation table")
                steps = [0] * 64
                for k in range(64):
                    steps[fmt.ZIGZAG[k]] = body[i + 1 + k]
                qtables[body[i] & 15] = tuple(steps)
                i += 65
        elif marker == 0xC4:  # DHT: must be the standard tables
            i = 0
            while i < len(body):
                cls, ident = body[i] >> 4, body[i] & 15
                counts = tuple(body[i + 1 : i + 17])
                symbols = tuple(body[i + 17 : i + 17 + sum(counts)])
                if _STANDARD_TABLES.get((cls, ident)) != (counts, symbols):
                    raise ValueError(f"Huffman table {cls}/{ident} is not the standard one (save with optimize=False)")
                i += 17 + sum(counts)
        elif marker == 0xDD and int.from_bytes(body[:2], "big"):
            raise ValueError("restart markers are not supported")
        elif 0xC1 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            raise ValueError(f"not a baseline JPEG (SOF{marker - 0xC0})")
        elif marker == 0xC0:
            frame = body
    if frame is None:
        raise ValueError("no SOF0")
    if frame[0] != 8 or frame[5] != 3:
        raise ValueError("need 8-bit samples and three components")
    height, width = int.from_bytes(frame[1:3], "big"), int.from_bytes(frame[3:5], "big")
    ids = [frame[6 + 3 * c] for c in range(3)]
    sampling = [frame[7 + 3 * c] for c in range(3)]
    tq = [frame[8 + 3 * c] for c in range(3)]
    if sampling == [0x11, 0x11, 0x11]:
        mode, nluma = fmt.MODE_444, 1
    elif sampling == [0x22, 0x11, 0x11]:
        mode, nluma = fmt.MODE_422, 4
    else:
        raise ValueError(f"sampling {sampling} is neither 4:4:4 nor 4:2:0")
    if tq != [0, 1, 1]:
        raise ValueError("luma must use quantisation table 0, chroma table 1")
    sos = segments[-1][1]
    if (
        sos[0] != 3
        or [sos[1 + 2 * c] for c in range(3)] != ids
        or [sos[2 + 2 * c] for c in range(3)] != [0x00, 0x11, 0x11]
        or tuple(sos[7:10]) != (0, 63, 0)
    ):
        raise ValueError("need one interleaved sequential scan: Y with tables 0, Cb and Cr with tables 1")

    # The entropy-coded segment ends at the first marker; a stuffed 0xFF 0x00 is a 0xFF data byte.
    end = re.compile(rb"\xff[^\x00]").search(jpeg, start)
    if end is None or jpeg[end.start() : end.start() + 2] != b"\xff\xd9":
        raise ValueError("the scan does not end with EOI")
    data = jpeg[start : end.start()].replace(b"\xff\x00", b"\xff")
    n = 16 if mode == fmt.MODE_422 else 8
    mcus = -(-width // n) * -(-height // n)
    levels, component = _decode_scan(data, mcus, nluma)
    return Scan(width, height, mode, levels, component, qtables)


def _decode_scan(data: bytes, mcus: int, nluma: int) -> tuple[np.ndarray, np.ndarray]:
    """Huffman-decodes `mcus` MCUs of nluma Y blocks, one Cb and one Cr block."""
    # windows[i]: the 40 bits from byte i on. A symbol (at most 16 bits) and its
    # magnitude bits (at most 11) always fit in one window from any bit offset.
    # Zero bytes follow the data, more than one block can read (64 x 27 bits),
    # so that a scan cut short is caught after the block that overruns it.
    b = np.frombuffer(data + bytes(264), dtype=np.uint8).astype(np.uint64)
    n = len(data) + 256
    end = 8 * len(data)
    windows: list[int] = (
        b[:n] << 32 | b[1 : n + 1] << 24 | b[2 : n + 2] << 16 | b[3 : n + 3] << 8 | b[4 : n + 4]
    ).tolist()
    dc_tables = [_huffman_lookup(*fmt.LUMA_DC_TABLE), _huffman_lookup(*fmt.CHROMA_DC_TABLE)]
    ac_tables = [_huffman_lookup(*fmt.LUMA_AC_TABLE), _huffman_lookup(*fmt.CHROMA_AC_TABLE)]
    zigzag = fmt.ZIGZAG
    component = np.tile(np.array([0] * nluma + [1, 2], dtype=np.int64), mcus)
    rows: list[list[int]] = []
    pred = [0, 0, 0]
    pos = 0
    for _ in range(mcus):
        for c in [0] * nluma + [1, 2]:
            dc_lookup, ac_lookup = dc_tables[c > 0], ac_tables[c > 0]
            row = [0] * 64
            # DC: size category, then the difference's bits.
            w, sh = windows[pos >> 3], pos & 7
            entry = dc_lookup[(w >> (24 - sh)) & 0xFFFF]
            if not entry:
                raise ValueError(f"invalid Huffman code at bit {pos}")
            length, s = entry >> 8, entry & 255
            diff = 0
            if s:
                bits = (w >> (40 - sh - length - s)) & ((1 << s) - 1)
                diff = bits if bits >> (s - 1) else bits - (1 << s) + 1
            pos += length + s
            pred[c] += diff
            row[0] = pred[c]
            k = 1
            while k < 64:
                w, sh = windows[pos >> 3], pos & 7
                entry = ac_lookup[(w >> (24 - sh)) & 0xFFFF]
                if not entry:
                    raise ValueError(f"invalid Huffman code at bit {pos}")
                length, rs = entry >> 8, entry & 255
                s = rs & 15
                if not s:
                    pos += length
                    if rs == 0xF0:
                        k += 16
                        continue
                    break  # end of block
                k += rs >> 4
                if k > 63:
                    raise ValueError(f"coefficient run past the block's end at bit {pos}")
                bits = (w >> (40 - sh - length - s)) & ((1 << s) - 1)
                row[zigzag[k]] = bits if bits >> (s - 1) else bits - (1 << s) + 1
                pos += length + s
                k += 1
            if pos > end:
                raise ValueError(f"the scan ends inside block {len(rows)}")
            rows.append(row)
    if end - pos > 7:
        raise ValueError(f"the scan holds {end} bits, its blocks {pos}")
    return np.array(rows, dtype=np.int64).reshape(-1, 64), component


def frame_of(scan: Scan) -> bytes:
    """The scan's coefficients as a frame: one DCT record per macroblock, in scan
    order, with the primary quantisation pair, then FRAME_END.

    The frame's primary pair must be the JPEG's own quantisation steps, or the
    frame would show another picture.
    """
    if (scan.qtables.get(0), scan.qtables.get(1)) != fmt.quant_steps(scan.mode, False):
        raise ValueError(f"the JPEG's quantisation tables are not the primary pair of mode {scan.mode}")
    if np.abs(scan.levels[:, 1:]).max(initial=0) > 1023:
        raise ValueError("an AC coefficient needs more than 10 bits")
    values, nbits, counts = _block_tokens(scan.levels, scan.component)
    per_mb = 6 if scan.mode == fmt.MODE_422 else 3
    tokens_per_mb = counts.reshape(-1, per_mb).sum(axis=1)
    # A 4-bit DCT code opens every macroblock's tokens, FRAME_END closes the stream.
    heads = np.concatenate(([0], np.cumsum(tokens_per_mb)[:-1]))
    values = np.insert(values, heads, np.uint64(fmt.DCT))
    nbits = np.insert(nbits, heads, 4)
    values = np.append(values, np.uint64(fmt.FRAME_END))
    nbits = np.append(nbits, 4)
    data = bytes(2) + scan.mode.to_bytes(2, "big") + _pack(values, nbits)
    return data + bytes(max(0, 12 - len(data)))


def transcode(jpeg: bytes) -> tuple[bytes, Scan]:
    scan = parse_baseline(jpeg)
    return frame_of(scan), scan


def reference_rgb(jpeg: bytes) -> np.ndarray:
    """Pillow's (libjpeg's) decode of the JPEG to YCbCr, shown with the decoder's colour conversion."""
    with Image.open(io.BytesIO(jpeg)) as im:
        im.draft("YCbCr", im.size)
        if im.mode != "YCbCr":
            raise RuntimeError("Pillow cannot decode to YCbCr here")
        ycc = np.asarray(im).astype(np.int64)
    return np.stack(_decoded_rgb(ycc[..., 0], ycc[..., 1], ycc[..., 2]), axis=-1).astype(np.uint8)


# --- the set -----------------------------------------------------------------


def pictures() -> dict[str, tuple[str, Any]]:
    """name -> (kind, maker of the picture)."""
    out: dict[str, tuple[str, Any]] = {}
    for name in MOSAICS:
        out[name] = ("photograph", lambda name=name: photo_mosaic(name))
    for name in SCREENS:
        out[name] = ("screen", lambda name=name: capture_screen(name))
    return out


def generate(outdir: Path, force: bool = False, log: Any = print) -> list[dict[str, Any]]:
    """Makes (or reuses) every picture, JPEG and frame; returns the manifest's entries."""
    outdir.mkdir(parents=True, exist_ok=True)
    manifest_path = outdir / "manifest.json"
    old: dict[str, dict[str, Any]] = {}
    if manifest_path.exists() and not force:
        saved = json.loads(manifest_path.read_text())
        if saved.get("version") == MANIFEST_VERSION:
            old = {f"{e['name']}-{e['mode']}": e for e in saved["frames"]}
    entries = []
    for name, (kind, make) in pictures().items():
        png = outdir / f"{name}.png"
        fresh = force or not png.exists()  # a new picture needs new frames
        if fresh:
            log(f"{name}: making the picture")
            Image.fromarray(make()).save(png)
        with Image.open(png) as im:
            rgb = np.asarray(im.convert("RGB"))
        for mode in MODES:
            key = f"{name}-{mode}"
            jpg, frm = outdir / f"{key}.jpg", outdir / f"{key}.frame"
            if not fresh and key in old and jpg.exists() and frm.exists():
                entries.append(old[key])
                continue
            t = time.perf_counter()
            jpeg = jpeg_of(rgb, mode)
            frame, scan = transcode(jpeg)
            height, width = rgb.shape[:2]
            shown = np.frombuffer(decode_frame(frame, width, height), dtype=np.uint8).reshape(height, width, 3)
            quality = psnr(shown, reference_rgb(jpeg))
            coded = int(np.count_nonzero(scan.levels))
            log(
                f"{key}: JPEG {len(jpeg)} bytes, frame {len(frame)} bytes, {coded} non-zero coefficients, "
                f"PSNR against the JPEG {quality:.2f} dB ({time.perf_counter() - t:.1f} s)"
            )
            if quality < MIN_PSNR[mode]:
                raise RuntimeError(f"{key}: the frame does not show the JPEG's picture (PSNR {quality:.2f} dB)")
            jpg.write_bytes(jpeg)
            frm.write_bytes(frame)
            entries.append(
                {
                    "name": name,
                    "kind": kind,
                    "mode": mode,
                    "width": width,
                    "height": height,
                    "jpeg": jpg.name,
                    "frame": frm.name,
                    "jpeg_bytes": len(jpeg),
                    "frame_bytes": len(frame),
                    "blocks": len(scan.levels),
                    "nonzero": coded,
                    "psnr_db": round(quality, 3),
                }
            )
    manifest_path.write_text(json.dumps({"version": MANIFEST_VERSION, "frames": entries}, indent=1) + "\n")
    return entries


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", nargs="?", default="build/real-frames", type=Path)
    parser.add_argument("--force", action="store_true", help="make everything again")
    args = parser.parse_args(argv)
    generate(args.outdir, args.force, log=lambda s: print(s, file=sys.stderr))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

"""quorvel._screen.Screen: frames drawn onto a kept picture.

The model of a screen is built from decode_frame: where a frame draws a
macroblock the screen must equal the frame's own decode, elsewhere it keeps
what it had. Which macroblocks a frame draws comes from the records the frame
writer (or the encoder) put in it.
"""

import ctypes
import gc
import os
import random
import subprocess
import sys
import threading

import numpy as np
import pytest
from PIL import Image

from framewriter import FrameWriter
from helpers import FORMATS, drawn_cells, failing_frames, random_frame, seed_of
import quorvel
from quorvel._ast2100 import decode_frame
from quorvel._screen import Screen
from quorvel.encode import encode


def expected_rects(mode, cells, width, height):
    """Runs of neighbouring macroblocks in each row, clipped, top to bottom."""
    n = 16 if mode == 422 else 8
    rects = []
    for col, row in sorted(cells, key=lambda c: (c[1], c[0])):
        x, y, w, h = col * n, row * n, min(n, width - col * n), min(n, height - row * n)
        if rects and rects[-1][1] == y and rects[-1][0] + rects[-1][2] == x:
            rects[-1] = (rects[-1][0], y, rects[-1][2] + w, h)
        else:
            rects.append((x, y, w, h))
    return rects


def compose(before, data, mode, cells, width, height):
    """The picture after drawing the frame over `before` (bytes)."""
    n = 16 if mode == 422 else 8
    mask = np.zeros((height, width, 1), dtype=bool)
    for col, row in cells:
        mask[row * n : (row + 1) * n, col * n : (col + 1) * n] = True
    decoded = np.frombuffer(decode_frame(data, width, height), np.uint8).reshape(height, width, 3)
    return np.where(mask, decoded, np.frombuffer(before, np.uint8).reshape(height, width, 3)).tobytes()


def apply_and_check(screen, data, mode, positions):
    """Applies one good frame and checks picture and rectangles against the model."""
    w, h = screen.width, screen.height
    cells = drawn_cells(mode, positions, w, h)
    expected = compose(screen.to_bytes(), data, mode, cells, w, h)
    count = screen.frames_applied
    assert screen.apply(data) == expected_rects(mode, cells, w, h)
    assert screen.to_bytes() == expected
    assert screen.frames_applied == count + 1


SIZES = [(64, 48), (60, 44), (33, 17), (200, 8)]


@pytest.mark.parametrize("mode", [444, 422, None])
@pytest.mark.parametrize("size", SIZES, ids=lambda s: "%dx%d" % s)
def test_frames_composite_over_the_picture(mode, size):
    rng = random.Random(seed_of(mode, size))
    screen = Screen(*size, mode=mode)
    assert screen.to_bytes() == bytes(size[0] * size[1] * 3)
    for i in range(12):
        frame_mode = mode or (444, 422)[i % 2]
        fw, positions = random_frame(frame_mode, *size, rng)
        apply_and_check(screen, fw.to_bytes(), frame_mode, positions)


# Frames at 20x12 in mode 444 (a 3x2 grid of macroblocks, the right column 4
# pixels wide, the bottom row 4 pixels high) and the rectangles they draw.
def vq_at(*positions):
    fw = FrameWriter(444)
    for at in positions:
        fw.vq([(0, 0x808080)], at=at)
    return fw.end().to_bytes()


@pytest.mark.parametrize(
    "data, rects",
    [
        (vq_at(None, None, None), [(0, 0, 20, 8)]),
        (vq_at((0, 0), (2, 0)), [(0, 0, 8, 8), (16, 0, 4, 8)]),
        (vq_at((2, 1), (0, 1), (1, 0)), [(8, 0, 8, 8), (0, 8, 8, 4), (16, 8, 4, 4)]),
        (vq_at((1, 1), (1, 1), None), [(8, 8, 12, 4)]),
        (vq_at((3, 0), (0, 2), (255, 255)), []),
        (vq_at(*[None] * 7), [(0, 0, 20, 8), (0, 8, 20, 4)]),
    ],
    ids=["row", "gap", "out of order", "twice", "outside", "wrapped"],
)
def test_rectangles_cover_the_drawn_macroblocks(data, rects):
    screen = Screen(20, 12)
    assert screen.apply(data) == rects
    assert screen.frames_applied == 1


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("case", list(failing_frames(444)))
def test_failing_frame_leaves_the_picture_as_it_was(mode, case):
    data = failing_frames(mode)[case]
    if case == "other mode":
        message = f"frame mode {866 - mode} does not match the screen's mode {mode}"
    else:
        with pytest.raises(ValueError) as model:
            decode_frame(data, 60, 44)
        message = str(model.value)
    rng = random.Random(3)
    screen = Screen(60, 44, mode)
    fw, positions = random_frame(mode, 60, 44, rng, records=200)
    apply_and_check(screen, fw.to_bytes(), mode, positions)
    before = screen.to_bytes()
    with pytest.raises(ValueError) as raised:
        screen.apply(data)
    assert str(raised.value) == message
    assert screen.to_bytes() == before
    assert screen.frames_applied == 1
    # Nothing of the failed frame lingers in the next one.
    fw, positions = random_frame(mode, 60, 44, rng)
    apply_and_check(screen, fw.to_bytes(), mode, positions)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name", FORMATS + ["I420", "I444"])
def test_failing_frames_of_both_modes_leave_every_format_as_it_was(name, threads):
    """A screen that takes both modes journals each frame by its own macroblock size, whole
    macroblocks with copies of a fixed size and the clipped ones at the edges otherwise: a frame
    of either mode that draws the whole picture and then fails, after frames of the other, puts
    back every byte, and the frames after it draw as on a screen that never saw it."""
    width, height = 61, 45  # whole 8x8 and 16x16 macroblocks, and clipped ones on two edges
    rng = random.Random(seed_of(name, threads))
    screen = Screen(width, height, pixel_format=name, threads=threads)
    twin = Screen(width, height, pixel_format=name, threads=1)
    for mode in (444, 422, 422, 444):
        data = random_frame(mode, width, height, rng, records=rng.choice([20, 200]))[0].to_bytes()
        assert screen.apply(data) == twin.apply(data)
        before = screen.to_bytes()
        with pytest.raises(ValueError, match="exceeded block limit"):
            screen.apply(failing_frames(866 - mode)["block limit"])
        assert screen.to_bytes() == before == twin.to_bytes()
    assert screen.frames_applied == 4


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Screen(-1, 8), OverflowError, None),
        (lambda: Screen(8.0, 8), TypeError, "argument 'width': "),
        (lambda: Screen(8, "8"), TypeError, "argument 'height': "),
        (lambda: Screen(8, 8, 420), ValueError, "mode must be 422, 444 or None, not 420"),
        (lambda: Screen(8, 8, "444"), TypeError, "argument 'mode': "),
        (lambda: Screen(2**40, 2**40), OverflowError, "a screen of 1099511627776x1099511627776 pixels is too large"),
        # Binding errors are worded as decode_frame's (and the interpreter's).
        (lambda: Screen(8), TypeError, "Screen() missing 1 required positional argument: 'height'"),
        (lambda: Screen(), TypeError, "Screen() missing 2 required positional arguments: 'width' and 'height'"),
        (lambda: Screen(8, 8, 444, 1), TypeError, "Screen() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: Screen(8, 8, size=1), TypeError, "Screen() got an unexpected keyword argument 'size'"),
        (lambda: Screen(8, 8, width=8), TypeError, "Screen() got multiple values for argument 'width'"),
        (
            lambda: Screen(8, 8).apply(),
            TypeError,
            "Screen.apply() missing 1 required positional argument: 'codec_data'",
        ),
        (
            lambda: Screen(8, 8).apply(b"", b""),
            TypeError,
            "Screen.apply() takes 1 positional argument but 2 were given",
        ),
        (lambda: Screen(8, 8).apply(data=b""), TypeError, "Screen.apply() got an unexpected keyword argument 'data'"),
        (
            lambda: Screen(8, 8).apply("frame"),
            TypeError,
            "argument 'codec_data': a bytes-like object is required, not 'str'",
        ),
        (
            lambda: Screen(8, 8).apply(None),
            TypeError,
            "argument 'codec_data': a bytes-like object is required, not 'NoneType'",
        ),
        (
            lambda: Screen(8, 8).apply(memoryview(bytes(24))[::2]),
            BufferError,
            "argument 'codec_data': the buffer is not C-contiguous",
        ),
    ],
)
def test_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call()
    if message is None or message.endswith(": "):
        assert str(raised.value).startswith(message or "")
    else:
        assert str(raised.value) == message


@pytest.mark.parametrize("width, height, mode", [(10, 6, 422), (0, 0, None)])
def test_attributes_and_keywords(width, height, mode):
    assert quorvel.Screen is Screen and "Screen" in quorvel.__all__
    screen = Screen(height=height, width=width, mode=mode)
    assert (screen.width, screen.height, screen.mode, screen.frames_applied) == (width, height, mode, 0)
    assert np.asarray(screen).shape == (height, width, 3) and screen.to_bytes() == bytes(width * height * 3)
    assert screen.apply(codec_data=bytes(2) + (422).to_bytes(2, "big") + bytes([0, 0, 0, 0x90]) * 2) == []
    assert screen.frames_applied == 1
    with pytest.raises(AttributeError):
        screen.frames_applied = 0


def test_picture_views_are_read_only_and_follow_the_picture():
    screen = Screen(20, 12)
    view = memoryview(screen)
    array = np.asarray(screen)
    assert view.readonly and view.format == "B" and view.shape == (12, 20, 3) and view.strides == (60, 3, 1)
    assert view.c_contiguous and view.nbytes == 720
    assert array.shape == (12, 20, 3) and array.dtype == np.uint8 and not array.flags.writeable
    with pytest.raises(TypeError):
        view[0, 0, 0] = 1
    with pytest.raises(ValueError):
        array.flags.writeable = True
    with pytest.raises((TypeError, BufferError)):
        (ctypes.c_char * 720).from_buffer(screen)

    # The views show the screen's picture itself, not a copy.
    screen.apply(vq_at(None, (2, 1)))
    assert view.tobytes() == array.tobytes() == screen.to_bytes() != bytes(720)
    image = Image.frombuffer("RGB", (20, 12), screen, "raw", "RGB", 0, 1)
    assert image.tobytes() == screen.to_bytes()
    # A view keeps its screen alive.
    picture = screen.to_bytes()
    del screen, image
    gc.collect()
    assert view.tobytes() == array.tobytes() == picture


def play(screen, frames, outcomes):
    """Applies the frames, noting each outcome."""
    for data in frames:
        try:
            outcomes.append(screen.apply(data))
        except ValueError as e:
            outcomes.append(str(e))
    return outcomes, screen.to_bytes()


def run_threads(*jobs):
    threads = [threading.Thread(target=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_threads_on_separate_screens_match_serial_runs():
    rng, bad = random.Random(6), failing_frames(444)["unknown block flag"]
    sequences = [
        [
            bad if i % 5 == 4 else random_frame(rng.choice([444, 422]), 48, 40, rng, records=60)[0].to_bytes()
            for i in range(20)
        ]
        for _ in range(6)
    ]
    serial = [play(Screen(48, 40), frames, []) for frames in sequences]
    results, barrier = [None] * len(sequences), threading.Barrier(len(sequences))

    def job(i):
        screen = Screen(48, 40)
        barrier.wait()
        results[i] = play(screen, sequences[i], [])

    run_threads(*[lambda i=i: job(i) for i in range(len(sequences))])
    assert results == serial


def test_concurrent_applies_on_one_screen_take_turns():
    # Every good frame paints the whole picture one colour; every bad one paints
    # it white and then fails. Calls that overlapped would leave a mix, and a
    # locked copy taken at any time must show one good frame whole.
    width, height = 160, 96
    colours = [0x51_5A_F0, 0x91_36_22, 0x29_F0_6E, 0x80_80_80]

    def painted(colour, fail):
        fw = FrameWriter(444).vq([(0, colour)])
        for _ in range(width * height // 64 - 1):
            fw.vq([(0, None)])
        return (fw.raw(10, 4) if fail else fw.end()).to_bytes()

    good = [painted(c, False) for c in colours]
    bad = painted(0xEB_80_80, True)
    pictures = {decode_frame(g, width, height) for g in good}
    screen = Screen(width, height)
    screen.apply(good[0])
    done, snapshots, outcomes = threading.Event(), [], []

    def reader():
        while not done.is_set():
            snapshots.append(screen.to_bytes())

    watcher = threading.Thread(target=reader)
    watcher.start()
    run_threads(
        *[
            lambda i=i: play(screen, [bad if k % 3 == 2 else good[(i + k) % 4] for k in range(40)], outcomes)
            for i in range(4)
        ]
    )
    done.set()
    watcher.join()
    whole = [(0, y, width, 8) for y in range(0, height, 8)]
    assert sorted(map(str, outcomes)) == sorted([str(whole)] * 4 * 27 + ["unknown block flag: 10"] * 4 * 13)
    assert screen.frames_applied == 1 + 4 * 27
    assert screen.to_bytes() in pictures
    assert all(s in pictures for s in snapshots)


def test_no_references_or_memory_kept():
    data = bytes(bytearray(vq_at(None, None)))
    bad = bytes(bytearray(failing_frames(444)["unknown block flag"]))
    refs = sys.getrefcount(data), sys.getrefcount(bad)
    screen = Screen(64, 48)
    for _ in range(200):
        screen.apply(data)
        with pytest.raises(ValueError):
            screen.apply(bad)
    assert (sys.getrefcount(data), sys.getrefcount(bad)) == refs

    # Screens whose picture and journal were touched throughout, made and dropped.
    whole = FrameWriter(444).vq([(0, 0x3C_66_99)])
    for _ in range(512 * 512 // 64 - 1):
        whole.vq([(0, None)])
    whole = whole.raw(11, 4).to_bytes()

    def churn(count):
        for _ in range(count):
            s = Screen(512, 512)
            view = memoryview(s)
            with pytest.raises(ValueError):
                s.apply(whole)
            del view, s
        gc.collect()

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    churn(5)
    before = resident()
    churn(100)
    with open("/proc/self/maps") as f:
        if "libasan" not in f.read():  # freed memory sits in quarantine there
            assert resident() - before < 32 << 20  # 100 leaked screens: 150 MiB


def test_encoder_deltas_composite():
    rng = np.random.default_rng(9)
    width, height = 96, 64
    picture = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    picture[:, :40] = (20, 30, 200)
    screen = Screen(width, height)
    for step in range(5):
        mode = (444, 422)[step % 2]
        if step:
            previous, picture = picture, picture.copy()
            for _ in range(3):
                x, y = rng.integers(0, width - 20), rng.integers(0, height - 12)
                picture[y : y + 12, x : x + 20] = (
                    rng.integers(0, 256, 3) if step % 2 else rng.integers(0, 256, (12, 20, 3))
                )
        frame = encode(picture, mode, previous=previous if step else None)
        apply_and_check(screen, frame.data, mode, zip(frame.columns.tolist(), frame.rows.tolist()))


def test_command_line_applies_a_folder_of_frames_in_order(tmp_path):
    rng, capture = random.Random(8), tmp_path / "capture"
    capture.mkdir()
    key, key_at = random_frame(444, 40, 24, rng, records=15)
    delta, delta_at = random_frame(422, 40, 24, rng, records=2)  # leaves some of the key frame showing
    for name, data in [
        ("1", key.to_bytes()),
        ("2", failing_frames(444)["unknown block flag"]),
        ("3", delta.to_bytes()),
    ]:
        (capture / f"{name}.frame").write_bytes(data)
    result = subprocess.run(
        [sys.executable, "-m", "quorvel", "decode", "capture", "--size", "40x24", "--outdir", "out", "--screen"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 1 and result.stderr == "quorvel: capture/2.frame: unknown block flag: 10\n"
    first = compose(bytes(2880), key.to_bytes(), 444, drawn_cells(444, key_at, 40, 24), 40, 24)
    last = compose(first, delta.to_bytes(), 422, drawn_cells(422, delta_at, 40, 24), 40, 24)
    for name, expected in [("1", first), ("3", last)]:
        with Image.open(tmp_path / "out" / f"{name}.png") as png:
            assert png.tobytes() == expected

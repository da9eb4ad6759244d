"""The `quorvel` command, run as a user runs it: in a subprocess, from files on disk."""

import contextlib
import ctypes
import importlib.util
import os
import re
import resource
import shlex
import sqlite3
import tomllib
import subprocess
import sys
from importlib import resources
from pathlib import Path

import pytest

import quorvel
from quorvel import decode_frame

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")

from quorvel.encode import encode_frame  # noqa: E402
from quorvel.records import inspect_frame  # noqa: E402


def run(*args, cwd, file_limit=None):
    """The command in a subprocess; file_limit caps the size of any file it writes, so that a write
    fails part-way as on a full disk ("File too large"; Python ignores SIGXFSZ)."""
    return subprocess.run(
        [sys.executable, "-m", "quorvel", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=(lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit)))
        if file_limit
        else None,
    )


def ok(result):
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def png_pixels(path):
    with Image.open(path) as png:
        assert png.mode == "RGB"
        return np.asarray(png)


def picture(h=48, w=64, seed=0):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    pic = np.stack([(xx * 4) % 256, (yy * 5) % 256, (xx + yy) % 256], axis=-1).astype(np.uint8)
    pic[: h // 2, : w // 2] = rng.integers(0, 256, 3)  # a flat corner
    return pic


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("quorvel")
    if not script.exists():
        pytest.skip("no console script next to this interpreter")
    result = subprocess.run([script, "--version"], capture_output=True, text=True)
    assert result.returncode == 0
    assert result.stdout == f"quorvel {quorvel.__version__}, decoder quorvel._ast2100 1.0.1\n"


def test_version_comes_from_the_project_file():
    project = Path(__file__).resolve().parents[1] / "pyproject.toml"
    if not project.exists():
        pytest.skip("not run from a source tree")
    assert quorvel.__version__ == tomllib.loads(project.read_text())["project"]["version"]


@pytest.mark.parametrize("command", [[], ["decode"], ["encode"], ["info"], ["demo"], ["scan"]])
def test_help(command, tmp_path):
    out = ok(run(*command, "--help", cwd=tmp_path))
    assert out.startswith("usage: quorvel")


def test_decode_sample(tmp_path):
    out = ok(run("decode", "-o", "out.png", cwd=tmp_path))
    assert out.startswith("decoded ") and "320x200" in out and "mode 444" in out
    sample = resources.files("quorvel").joinpath("data", "sample-console-444.frame").read_bytes()
    assert png_pixels(tmp_path / "out.png").tobytes() == decode_frame(sample, 320, 200)


def test_encode_info_decode(tmp_path):
    pic = picture()
    Image.fromarray(pic).save(tmp_path / "in.png")
    out = ok(run("encode", "in.png", "-o", "in.frame", "--mode", "422", "--quality", "low", cwd=tmp_path))
    data = (tmp_path / "in.frame").read_bytes()
    assert data == encode_frame(pic, 422, quality="low")
    assert re.search(r"PSNR\s+\d+\.\d+ dB", out)

    info = ok(run("info", "in.frame", "--size", "64x48", "--records", cwd=tmp_path))
    parsed = inspect_frame(data, 64, 48)
    assert "mode 422" in info and f"records   {len(parsed.records)} macroblocks before FRAME_END" in info
    for name, count in parsed.counts().items():
        assert re.search(rf"^  {name} +{count} ", info, re.M)
    listed = re.findall(r"^ +(\d+) (\w+) +(\d+) +(\d+) +(\d+) +(\d+)$", info, re.M)
    assert [(r.name, r.column, r.row, r.offset, r.bits) for r in parsed.records] == [
        (name, int(c), int(r), int(o), int(b)) for _, name, c, r, o, b in listed
    ]

    ok(run("decode", "in.frame", "--size", "64x48", "-o", "out.png", cwd=tmp_path))
    assert png_pixels(tmp_path / "out.png").tobytes() == decode_frame(data, 64, 48)
    # The suffix names the format that is written.
    ok(run("decode", "in.frame", "--size", "64x48", "-o", "out.jpg", cwd=tmp_path))
    with Image.open(tmp_path / "out.jpg") as jpeg:
        assert jpeg.format == "JPEG" and jpeg.size == (64, 48)


def test_delta_frames_of_a_capture(tmp_path):
    first = picture(seed=1)
    second = first.copy()
    second[40:44, 10:30] = 255
    Image.fromarray(first).save(tmp_path / "a.png")
    Image.fromarray(second).save(tmp_path / "b.png")
    (tmp_path / "capture").mkdir()
    (tmp_path / "capture/README.txt").write_text("not a frame")  # only .frame files are frames
    ok(run("encode", "a.png", "-o", "capture/0001.frame", cwd=tmp_path))
    out = ok(run("encode", "b.png", "--previous", "a.png", "-o", "capture/0002.frame", cwd=tmp_path))
    assert "1 name their position" in out

    out = ok(run("decode", "capture", "--size", "64x48", "--outdir", "plain", cwd=tmp_path))
    assert "decoded 2 of 2 frames" in out
    delta = (tmp_path / "capture/0002.frame").read_bytes()
    assert png_pixels(tmp_path / "plain/0002.png").tobytes() == decode_frame(delta, 64, 48)

    ok(run("decode", "capture", "--size", "64x48", "--outdir", "shown", "--composite", cwd=tmp_path))
    whole = decode_frame(encode_frame(second), 64, 48)
    assert png_pixels(tmp_path / "shown/0002.png").tobytes() == whole


def test_demo(tmp_path):
    out = ok(run("demo", "--outdir", "d", cwd=tmp_path))
    rows = re.findall(r"^(\d+) +(.+?) +(\d+) +(\d+) +(\d+) +(\d+) +(\d+) +(\d+) +(\d+\.\d) dB +\d+\.\d+ ms$", out, re.M)
    assert len(rows) >= 5 and rows[0][1] == "key frame"
    assert all(float(r[8]) >= 40 for r in rows)
    assert all(int(r[6]) == 0 for r in rows[:1]) and all(int(r[6]) > 0 for r in rows[1:])  # positions named
    for i, r in enumerate(rows):
        data = (tmp_path / f"d/frame-{i}.frame").read_bytes()
        assert len(data) == int(r[7])
        counts = inspect_frame(data, 1024, 768).counts()
        assert counts["DCT"] + counts["DCT_AT"] == int(r[2])
    with Image.open(tmp_path / "d/sequence.png") as anim:
        assert anim.n_frames == len(rows)
    photo, flat = re.search(r"comes back at (\d+\.\d) dB.*within (\d) level", out, re.S).groups()
    assert float(photo) >= 40 and int(flat) <= 2
    session = quorvel.Recording.open(tmp_path / "d/session.qvr")
    assert [f.data for f in session] == [(tmp_path / f"d/frame-{i}.frame").read_bytes() for i in range(len(rows))]
    assert session.closed_cleanly and session.size_changes == [(0.0, 1024, 768)]
    # Shorter than one snapshot interval: it holds none.
    assert sqlite3.connect(tmp_path / "d/session.qvr").execute("SELECT count(*) FROM snapshots").fetchone() == (0,)


def bad_frame(tmp_path):
    (tmp_path / "bad.frame").write_bytes(bytes.fromhex("000001bc00000030") + bytes(4))
    (tmp_path / "short.frame").write_bytes(bytes.fromhex("000001bc"))
    (tmp_path / "noend.frame").write_bytes(bytes.fromhex("000001bc") + bytes(8))
    (tmp_path / "end.frame").write_bytes(bytes.fromhex("000001bc00000090") + bytes(4))
    (tmp_path / "text.png").write_text("not a picture")
    (tmp_path / "empty").mkdir()
    Image.fromarray(picture(8, 8)).save(tmp_path / "small.png")
    Image.fromarray(picture(16, 8)).save(tmp_path / "other.png")
    png = (tmp_path / "small.png").read_bytes()
    (tmp_path / "cut.png").write_bytes(png[: len(png) // 2])
    Image.new("RGB", (16385, 1)).save(tmp_path / "wide.png")
    # More records than the block limit of an 8x8 picture (4096): a frame of another size.
    (tmp_path / "long.frame").write_bytes(encode_frame(np.full((8, 8 * 4097, 3), 50, dtype=np.uint8)))


@pytest.mark.parametrize(
    "args, message",
    [
        (["decode", "bad.frame", "--size", "4x2"], "quorvel: bad.frame: unknown block flag: 3"),
        (["decode", "short.frame", "--size", "4x2"], "quorvel: short.frame: codec_data too short for bitstream init"),
        (
            ["decode", "missing.frame", "--size", "4x2"],
            "quorvel: cannot read frame missing.frame: No such file or directory",
        ),
        (
            ["decode", "noend.frame", "--size", "4x2"],
            "quorvel: noend.frame: exceeded block limit without FRAME_END marker (the frame is cut after 12 bytes)",
        ),
        (
            ["decode", "long.frame", "--size", "8x8"],
            "quorvel: long.frame: exceeded block limit without FRAME_END "
            "marker (the block limit for 8x8 is 4096 records; is --size right?)",
        ),
        (
            ["decode", "end.frame", "--size", "4x2", "-o", "nodir/x.png"],
            "quorvel: cannot write nodir/x.png: No such file or directory",
        ),
        (["decode", "end.frame", "--size", "4x2", "-o", "empty"], "quorvel: cannot write empty: Is a directory"),
        (
            ["decode", "end.frame", "--size", "4x2", "--outdir", "end.frame"],
            "quorvel: cannot write to end.frame: it is a file, not a folder",
        ),
        (
            ["decode", "end.frame", "--size", "4x2", "-o", "x.frame"],
            "quorvel: cannot write x.frame: Pillow writes no picture format named .frame",
        ),
        (
            ["decode", "end.frame", "end.frame", "--size", "4x2", "-o", "x.png"],
            "quorvel: 2 frames: use --outdir DIR, not -o",
        ),
        (["decode", "empty", "--size", "4x2"], "quorvel: no .frame files in empty"),
        (
            ["info", "bad.frame", "--size", "4x2"],
            "quorvel: bad.frame: unknown block flag: 3 (the stream fails after 0 records)",
        ),
        (
            ["info", "noend.frame", "--size", "4x2"],
            "quorvel: noend.frame: exceeded block limit without FRAME_END marker (the frame is cut after 12 bytes)",
        ),
        (["info", "short.frame", "--size", "4x2"], "quorvel: short.frame: codec_data too short for bitstream init"),
        (
            ["encode", "text.png", "-o", "x.frame"],
            "quorvel: cannot read picture text.png: not a picture format Pillow knows",
        ),
        (
            ["encode", "missing.png", "-o", "x.frame"],
            "quorvel: cannot read picture missing.png: No such file or directory",
        ),
        (["encode", "cut.png", "-o", "x.frame"], "quorvel: cannot read picture cut.png: image file is truncated"),
        (
            ["encode", "wide.png", "-o", "x.frame"],
            "quorvel: cannot encode wide.png: it is 16385x1; width and height go up to 16384",
        ),
        (
            ["encode", "small.png", "--previous", "other.png", "-o", "x.frame"],
            "quorvel: other.png is 8x16, small.png is 8x8",
        ),
        (
            ["encode", "small.png", "-o", "nodir/x.frame"],
            "quorvel: cannot write nodir/x.frame: No such file or directory",
        ),
    ],
)
def test_errors_are_one_line(args, message, tmp_path):
    bad_frame(tmp_path)
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [message]


@pytest.mark.parametrize(
    "args, says",
    [
        (["decode", "end.frame", "--size", "4"], "'4'"),
        (["decode", "end.frame", "--size", "ax2"], "'ax2'"),
        (["decode", "end.frame", "--size", "-1x2"], "'-1x2'"),
        (["decode", "end.frame", "--size", "-5x10"], "'-5x10'"),
        (["decode", "end.frame"], "--size WIDTHxHEIGHT is required with a frame"),
        (["decode", "--size", "1024x768"], "the sample frame that ships with the package is 320x200"),
        (["info", "end.frame", "--size", "99999x2"], "width and height go up to 16384"),
        (["decode", "end.frame", "--size", "0x2"], "0x2: width and height are at least 1"),
        (["info", "end.frame", "--size", "4x0"], "4x0: width and height are at least 1"),
        (["decode", "-", "--size", "4x2"], "a frame from standard input needs -o OUT.png"),
        (["decode", "-", "end.frame", "--size", "4x2", "-o", "x.png"], "- reads one frame from standard input"),
        (["encode", "small.png", "-o", "x.frame", "--mode", "420"], "--mode"),
        (["encode", "small.png"], "-o/--output"),
        (["frobnicate"], "frobnicate"),
    ],
)
def test_usage_errors(args, says, tmp_path):
    bad_frame(tmp_path)
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    [line] = result.stderr.splitlines()
    assert line.startswith("quorvel: ") and says in line and line.endswith(" --help')")
    assert not (tmp_path / "quorvel-sample.png").exists()


def test_an_animated_picture_encodes_its_first_frame(tmp_path):
    first, second = picture(16, 16, seed=2), picture(16, 16, seed=3)
    Image.fromarray(first).save(tmp_path / "anim.png", save_all=True, append_images=[Image.fromarray(second)])
    out = ok(run("encode", "anim.png", "-o", "anim.frame", cwd=tmp_path))
    assert "anim.png holds 2 frames; this is the first of them" in out
    assert (tmp_path / "anim.frame").read_bytes() == encode_frame(first)


def test_many_frames_fail_one_by_one(tmp_path):
    bad_frame(tmp_path)
    result = run("decode", "end.frame", "bad.frame", "--size", "4x2", "--outdir", "out", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines() == ["quorvel: bad.frame: unknown block flag: 3"]
    assert "decoded 1 of 2 frames" in result.stdout
    assert png_pixels(tmp_path / "out/end.png").tobytes() == bytes(24)


@contextlib.contextmanager
def read_only_folder(folder):
    """An empty folder where nothing can be created: by its mode, or for root (whom modes do not
    stop) as a read-only mount."""
    folder.mkdir()
    if os.geteuid() != 0:
        folder.chmod(0o555)
        yield
        return
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_void_p]
    if libc.mount(b"quorvel-test", os.fsencode(folder), b"tmpfs", 1, None) != 0:  # 1: MS_RDONLY
        pytest.skip(f"root, and no read-only mount: {os.strerror(ctypes.get_errno())}")
    try:
        yield
    finally:
        libc.umount2(os.fsencode(folder), ctypes.c_int(0))


BIG = "cannot write out/{}: File too large"
STOPPED = "; stopped at the first picture that could not be written\n"


@pytest.mark.parametrize(
    "args, line, stdout",
    [
        (["decode", "capture", "--outdir", "out"], BIG.format("f3.png"), r"decoded 3 of 4 .*; wrote 2 PNGs to out"),
        (["decode", "capture", "--outdir", "ro"], "cannot write ro/f1.png: (Read-only file system|Permission denied)",
         r"decoded 1 of 4 .*; wrote 0 PNGs to ro"),
        (["decode", "capture/f3.frame", "-o", "out/x.png"], BIG.format("x.png"), ""),
        (["decode", "capture/f3.frame", "-o", "out/x.jpg"], BIG.format("x.jpg"), ""),  # Pillow's own writer
        (["encode", "noise.png", "-o", "out/x.frame"], BIG.format("x.frame"), ""),
    ],
)  # fmt: skip
def test_a_write_that_fails_stops_the_run_and_leaves_only_whole_files(args, line, stdout, tmp_path):
    # Four frames; the third's PNG (37 KB of noise) is far larger than the others and the limit.
    noise, flat = (
        np.random.default_rng(7).integers(0, 256, (96, 128, 3), dtype=np.uint8),
        np.full((96, 128, 3), 90, np.uint8),
    )
    (tmp_path / "capture").mkdir()
    for name, pic in [("f1", flat), ("f2", flat), ("f3", noise), ("f4", flat)]:
        (tmp_path / f"capture/{name}.frame").write_bytes(encode_frame(pic))
    Image.fromarray(noise).save(tmp_path / "noise.png")
    (tmp_path / "out").mkdir()
    for name in ("f3.png", "x.png", "x.jpg", "x.frame"):  # good files from before
        Image.fromarray(picture()).save(tmp_path / "out" / name, format="PNG")
    before = {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()}
    size = [] if args[0] == "encode" else ["--size", "128x96"]
    with read_only_folder(tmp_path / "ro") if "ro" in args else contextlib.nullcontext():
        result = run(*args, *size, cwd=tmp_path, file_limit=None if "ro" in args else 4096)
        assert not any(tmp_path.glob("ro/*"))
    assert result.returncode == 1
    assert re.fullmatch(f"quorvel: {line}\n", result.stderr)
    assert re.fullmatch(stdout + STOPPED if stdout else "", result.stdout)
    # What was there stays as it was; what is new is whole, and no temporary file is left.
    after = {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()}
    assert {name: after[name] for name in before} == before
    assert sorted(set(after) - set(before)) == (["f1.png", "f2.png"] if "wrote 2" in stdout else [])
    for name in set(after) - set(before):
        assert png_pixels(tmp_path / "out" / name).tobytes() == decode_frame(encode_frame(flat), 128, 96)


@pytest.mark.parametrize("hole", [False, True])
def test_a_capture_is_applied_in_natural_order(hole, tmp_path):
    # f0 a key frame, then f3 ... f21 each painting a stripe of its own: taken in text order
    # (f0, f12, ..., f21, f3, f6, f9), the picture after f21 would lack three stripes.
    shown = np.full((48, 64, 3), 30, dtype=np.uint8)
    screen = quorvel.Screen(64, 48)
    (tmp_path / "capture").mkdir()
    for k in range(8):
        before = shown.copy()
        shown[:, k * 8 : k * 8 + 8] = (k * 30, 255 - k * 30, 120)
        data = encode_frame(shown, previous=before if k else None)
        (tmp_path / f"capture/f{3 * k}.frame").write_bytes(data)
        screen.apply(data)
    if hole:  # reported in its turn, not skipped
        (tmp_path / "capture/f10.frame").symlink_to("gone.frame")
    result = run("decode", "capture", "--size", "64x48", "--screen", "--outdir", "out", cwd=tmp_path)
    assert png_pixels(tmp_path / "out/f21.png").tobytes() == screen.to_bytes()
    assert result.returncode == hole
    assert result.stderr == (
        "quorvel: cannot read frame capture/f10.frame: a link to gone.frame, which does not exist\n" if hole else ""
    )
    assert result.stdout.startswith(f"decoded 8 of {8 + hole} frames")


@pytest.mark.parametrize("command", ["decode", "info"])
@pytest.mark.parametrize("case", ["two frames", "zero padding", "cut", "size too large"])
def test_a_wrong_result_gets_a_line_that_names_the_cause(case, command, tmp_path):
    small = encode_frame(picture())  # fills its last word: what follows it are whole bytes
    data, size, line = {
        "two frames": (small + small, "64x48", f"warning: x.frame: {len(small)} bytes follow the end of the frame: "
                       "two frames in one file?"),
        "zero padding": (small + bytes(8), "64x48", None),
        "cut": (small[:400], "64x48", "x.frame: exceeded block limit without FRAME_END marker (the frame is cut "
                "after 400 bytes)"),
        "size too large": (encode_frame(np.full((480, 640, 3), 70, dtype=np.uint8)), "648x480",
                           "warning: x.frame: the frame drew 4800 of 4860 macroblocks (as many as 640x480 has); is "
                           "--size right?"),
    }[case]  # fmt: skip
    (tmp_path / "x.frame").write_bytes(data)
    result = run(command, "x.frame", "--size", size, *(["-o", "x.png"] if command == "decode" else []), cwd=tmp_path)
    assert result.stderr == (f"quorvel: {line}\n" if line else "")
    assert result.returncode == (case == "cut")
    if command == "decode" and case != "cut":
        assert png_pixels(tmp_path / "x.png").tobytes() == decode_frame(data, *map(int, size.split("x")))


@pytest.mark.parametrize(
    "args",
    [["decode", "-", "-o", "-"], ["decode", "-", "-o", "x.png"], ["decode", "x.frame", "-o", "-"], ["info", "-"]],
)
def test_a_dash_is_standard_input_or_output(args, tmp_path):
    import pty

    data = encode_frame(picture())
    (tmp_path / "x.frame").write_bytes(data)
    command = [sys.executable, "-m", "quorvel", *args, "--size", "64x48"]
    result = subprocess.run(command, cwd=tmp_path, input=data, capture_output=True, timeout=120)
    assert result.returncode == 0 and result.stderr == b""
    to_stdout = args[-2:] == ["-o", "-"]
    if to_stdout:
        (tmp_path / "x.png").write_bytes(result.stdout)
    else:
        assert f"standard input: {len(data)} bytes".encode() in result.stdout
    if args[0] == "decode":
        assert png_pixels(tmp_path / "x.png").tobytes() == decode_frame(data, 64, 48)
    assert not (tmp_path / "-").exists()
    if to_stdout:  # never onto a terminal
        terminal, tty = pty.openpty()
        with os.fdopen(terminal, "rb"), os.fdopen(tty, "wb") as stdout:
            result = subprocess.run(command, cwd=tmp_path, input=data, stdout=stdout, stderr=subprocess.PIPE)
        assert result.returncode == 1 and result.stderr.decode().startswith("quorvel: -o - writes the picture to")


def test_decode_and_info_need_no_numpy(tmp_path):
    # A python that cannot import numpy or PIL still decodes and inspects.
    bad_frame(tmp_path)
    blocker = tmp_path / "block"
    blocker.mkdir()
    for name in ("numpy", "PIL"):
        (blocker / name).mkdir()
        (blocker / name / "__init__.py").write_text("raise ImportError('blocked')")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(blocker), os.environ.get("PYTHONPATH")]))}
    for args in (["decode", "end.frame", "--size", "4x2", "-o", "e.png"], ["info", "end.frame", "--size", "4x2"]):
        result = subprocess.run(
            [sys.executable, "-m", "quorvel", *args], cwd=tmp_path, env=env, capture_output=True, text=True
        )
        assert result.returncode == 0, result.stderr
    # Other picture formats are written through Pillow: without it, a clear refusal.
    result = subprocess.run(
        [sys.executable, "-m", "quorvel", "decode", "end.frame", "--size", "4x2", "-o", "e.jpg"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1 and result.stderr.startswith("quorvel: cannot write e.jpg: .jpg pictures need Pillow")
    result = subprocess.run(
        [sys.executable, "-m", "quorvel", "encode", "small.png", "-o", "x.frame"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        "quorvel: this command needs numpy and Pillow: pip install 'quorvel[tools]' "
        "(in a clone: pip install '.[tools]')"
    ]


README = Path(__file__).resolve().parents[1] / "README.md"


@pytest.mark.skipif(not README.exists(), reason="not run from a source tree")
def test_readme_examples_run_as_written(tmp_path):
    """Every `$ quorvel ...` example, in order from a fresh folder, exits as shown and prints the
    lines shown (compared by their first word: figures and timings vary with fonts and machines);
    then the Python examples run, one after the other, on what the commands left."""
    text = README.read_text()
    # The video examples need the video extra (CI's x86-64 stages have it, and require it).
    video = importlib.util.find_spec("av") is not None or os.environ.get("QUORVEL_REQUIRE_EXTRAS") == "1"
    for block in re.findall(r"```\n(\$ quorvel .*?)```", text, re.S):
        for example in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, *shown = example.splitlines()
            if command.startswith("quorvel export") and not video:
                continue
            result = run(*shlex.split(command)[1:], cwd=tmp_path)
            printed = (result.stdout + result.stderr).splitlines()
            assert (result.returncode != 0) == any(line.startswith("quorvel: ") for line in shown), command

            def words(lines):
                return [line.split()[0] for line in lines if line.strip() and not line.lstrip().startswith("(")]

            assert words(printed) == words(shown), command
    code = "\n".join(b for b in re.findall(r"```python\n(.*?)```", text, re.S) if video or "import av" not in b)
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr


# --- recordings --------------------------------------------------------------------------


def recording_capture(tmp_path):
    """A capture folder of four frames, the third one the decoder refuses."""
    first, second = picture(), picture(seed=1)
    frames = [encode_frame(first), encode_frame(second, previous=first), b"\0\0\1\xbcnot a frame", encode_frame(first)]
    (tmp_path / "cap").mkdir()
    for i, data in enumerate(frames):
        (tmp_path / f"cap/{i}.frame").write_bytes(data)
    return frames


def test_pack_info_and_decode_a_recording(tmp_path):
    frames = recording_capture(tmp_path)
    (tmp_path / "times.txt").write_text("0\n0.5\n0.5\n2.25\n")
    out = ok(run("pack", "cap", "-o", "s.qvr", "--size", "64x48", "--times", "times.txt", cwd=tmp_path))
    assert "packed    4 frames" in out and "refused   1 frame the decoder refuses, each a lost delta: 2" in out
    rec = quorvel.Recording.open(tmp_path / "s.qvr")
    assert [(f.data, f.t) for f in rec] == list(zip(frames, [0, 0.5, 0.5, 2.25]))

    info = ok(run("info", "s.qvr", cwd=tmp_path))
    assert "4 frames over 2.250 s" in info and "closed    yes" in info and "sizes     64x48 from 0.000 s" in info
    assert "lost delta: 2" in info and "metadata  source: cap" in info

    at = ok(run("decode", "s.qvr", "--at", "1", "-o", "shot.png", cwd=tmp_path))
    assert "3 frames applied" in at and "lost delta: 2" in at
    assert png_pixels(tmp_path / "shot.png").tobytes() == rec.screen_at(1).to_bytes()

    every = ok(run("decode", "s.qvr", "--outdir", "shown", cwd=tmp_path))
    assert "wrote     4 PNGs to shown" in every
    for frame in rec:
        shown = png_pixels(tmp_path / f"shown/s-{frame.index:04d}.png").tobytes()
        assert shown == rec.screen_at(frame.t).to_bytes() or frame.index == 1  # 1 and 2 share a time
    assert png_pixels(tmp_path / "shown/s-0001.png").tobytes() == png_pixels(tmp_path / "shown/s-0002.png").tobytes()

    ok(run("pack", "cap", "-o", "fps.qvr", "--size", "64x48", "--fps", "4", cwd=tmp_path))
    assert [f.t for f in quorvel.Recording.open(tmp_path / "fps.qvr")] == [0, 0.25, 0.5, 0.75]


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["pack", "cap", "-o", "s.qvr", "--size", "64x48", "--times", "two.txt"], 2, "holds 2 times for 4 frames"),
        (["pack", "cap", "-o", "s.qvr", "--size", "64x48", "--times", "back.txt"], 2, "line 3: 0.5 goes back"),
        (["pack", "cap", "-o", "s.qvr"], 2, "--size WIDTHxHEIGHT is required"),
        (["pack", "cap", "-o", "old.qvr", "--size", "64x48"], 1, "pack never writes over a file"),
        (["pack", "cap", "-o", "nodir/s.qvr", "--size", "64x48"], 1, "cannot write nodir/s.qvr: No such file"),
        (["pack", "cap", "-o", "s.qvr", "--size", "64x48", "--fps", "0"], 2, "--fps is a number"),
        (["decode", "old.qvr", "--size", "64x48", "--at", "1"], 2, "carries its size"),
        (["decode", "old.qvr"], 2, "--at SECONDS -o OUT.png"),
        (["decode", "cap", "--size", "64x48", "--at", "1"], 2, "--at is a time in a recording"),
        (["info", "text.qvr"], 1, "text.qvr: not a recording"),
        (["info", "missing.qvr"], 1, "cannot read recording missing.qvr"),
        (["play", "old.qvr", "--fps", "5"], 2, "plays at its own pace"),
        (["pack", "--repair", "text.qvr"], 1, "not a recording"),
    ],
)
def test_recording_command_lines(tmp_path, args, status, message):
    recording_capture(tmp_path)
    (tmp_path / "two.txt").write_text("0\n1\n")
    (tmp_path / "back.txt").write_text("0\n1\n0.5\n2\n")
    (tmp_path / "text.qvr").write_text("not a recording\n" * 20)
    (tmp_path / "old.qvr").write_bytes(b"kept")
    result = run(*args, cwd=tmp_path)
    assert result.returncode == status, result.stderr
    assert result.stderr.startswith("quorvel: ") and message in result.stderr and result.stderr.count("\n") == 1
    assert (tmp_path / "old.qvr").read_bytes() == b"kept"
    assert not (tmp_path / "s.qvr").exists() and not any(p.name.endswith(".tmp") for p in tmp_path.iterdir())


def test_pack_repair_and_info_of_a_recording_whose_writer_died(tmp_path):
    code = (
        "import os, signal\nfrom quorvel import Recording\nrec = Recording.create('dead.qvr')\n"
        "rec.append(b'frame', 8, 8, t=0)\nos.kill(os.getpid(), signal.SIGKILL)\n"
    )
    subprocess.run([sys.executable, "-c", code], cwd=tmp_path)
    assert "closed    no: its writer stopped" in ok(run("info", "dead.qvr", cwd=tmp_path))
    out = ok(run("pack", "--repair", "dead.qvr", cwd=tmp_path))
    assert "repaired  dead.qvr: one file, 1 frame" in out and "writer had not closed it" in out
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dead.qvr"]

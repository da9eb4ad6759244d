"""`python -m quorvel`: the bundled sample decodes to a PNG that says what the decoder returned."""

import subprocess
import sys
from importlib import resources

import pytest

from quorvel import decode_frame

Image = pytest.importorskip("PIL.Image")


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "quorvel", *args], cwd=cwd, capture_output=True, text=True)


def test_sample_decodes_to_png(tmp_path):
    result = run("-o", "out.png", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "320x200" in result.stdout and "mode 444" in result.stdout
    sample = resources.files("quorvel").joinpath("data", "sample-console-444.frame").read_bytes()
    with Image.open(tmp_path / "out.png") as png:
        assert png.size == (320, 200) and png.mode == "RGB"
        assert png.tobytes() == decode_frame(sample, 320, 200)


def test_frame_file_and_errors(tmp_path):
    (tmp_path / "end.frame").write_bytes(bytes.fromhex("000001bc00000090") + bytes(4))
    (tmp_path / "bad.frame").write_bytes(bytes.fromhex("000001bc00000030") + bytes(4))
    ok = run("end.frame", "--size", "4x2", "-o", "end.png", cwd=tmp_path)
    assert ok.returncode == 0, ok.stderr
    with Image.open(tmp_path / "end.png") as png:
        assert png.tobytes() == bytes(24)

    bad = run("bad.frame", "--size", "4x2", cwd=tmp_path)
    assert bad.returncode == 1 and bad.stderr.strip() == "quorvel: bad.frame: unknown block flag: 3"
    missing = run("missing.frame", "--size", "4x2", cwd=tmp_path)
    assert missing.returncode == 1 and "cannot read missing.frame" in missing.stderr
    for size in ("4", "ax2", "-1x2"):
        usage = run("end.frame", "--size", size, cwd=tmp_path)
        assert usage.returncode == 2 and "Traceback" not in usage.stderr

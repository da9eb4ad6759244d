"""quorvel export: a recording as a video. The refusals need nothing; the rest needs PyAV (the
`video` extra) and Debian's ffprobe, and skips without them (fails with QUORVEL_REQUIRE_EXTRAS=1)."""

import json
import os
import subprocess
from fractions import Fraction

import pytest
from helpers import H422, picture, require_extras
from quorvel import Recording
from quorvel.cli import main

np = pytest.importorskip("numpy")
from quorvel.encode import encode_frame

FFPROBE = "/usr/bin/ffprobe"


def _moved(rgb, dx):
    return np.roll(rgb, dx, axis=1)


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """A recording of 3.0 s: 75x45 pictures (odd, so the 4:2:0 canvas is rounded up), an idle
    frame, a frame the decoder refuses, then the size changes to 98x61 and back down to 40x30;
    two frames share a time."""
    path = tmp_path_factory.mktemp("export") / "s.qvr"
    a = picture(75, 45, seed=1)
    b = picture(98, 61, seed=2)
    c = picture(40, 30, seed=3)
    with Recording.create(path) as rec:
        rec.append(encode_frame(a, mode=422), 75, 45, t=0.0)
        rec.append(encode_frame(_moved(a, 5), mode=422, previous=a), 75, 45, t=0.4)
        rec.append(encode_frame(_moved(a, 5), previous=_moved(a, 5)), 75, 45, t=0.5)  # changes nothing
        rec.append(H422 + bytes(4), 75, 45, t=0.7)  # refused: a lost delta
        rec.append(encode_frame(b, mode=444), 98, 61, t=1.2)
        rec.append(encode_frame(_moved(b, 9), mode=422, previous=b), 98, 61, t=1.2)
        rec.append(encode_frame(_moved(b, 3), mode=444, previous=_moved(b, 9)), 98, 61, t=1.9)
        rec.append(encode_frame(c, mode=422), 40, 30, t=2.6)
        rec.append(encode_frame(_moved(c, 7), mode=422, previous=c), 40, 30, t=3.0)
    return path


# --- refusals: usage errors (2) that name what works -----------------------------------------


@pytest.mark.parametrize(
    "args, says",
    [
        (["-o", "v.avi"], ".mp4, .mkv or .webm"),
        (["-o", "v.webm", "--codec", "h264"], ".webm takes vp9, av1, not h264"),
        (["-o", "v.mp4", "--codec", "ffv1"], ".mp4 takes h264, vp9, av1, not ffv1"),
        (["-o", "v.mp4", "--codec", "av1", "--chroma", "444"], "--chroma 444 works with h264, vp9, ffv1, not av1"),
        (["-o", "v.mkv", "--codec", "av1", "--lossless"], "--lossless works with h264, vp9, ffv1, not av1"),
        (["-o", "v.mp4", "--lossless", "--crf", "20"], "--crf sets a lossy codec's quality: not with --lossless"),
        (["-o", "v.mkv", "--codec", "ffv1", "--crf", "20"], "ffv1 is lossless, it takes none (h264, vp9, av1 do)"),
        (["-o", "v.mp4", "--crf", "52"], "--crf for h264 is 0 to 51, not 52"),
        (["-o", "v.mp4", "--start", "3", "--end", "2"], "--end (2 s) is not after --start (3 s)"),
        (["-o", "v.mp4", "--start", "5"], "--start (5 s) is at or past the end (3 s)"),
        (["-o", "v.mp4", "--size", "10x10"], "carries its size and times: no --size, no --fps"),
        ([], "export needs -o OUT.mp4"),
    ],
)
def test_refusals(session, tmp_path, capsys, args, says):
    if "--start" in args:
        require_extras("av")  # times are checked against the recording, after PyAV is found
    args = [str(tmp_path / a) if a.startswith("v.") else a for a in args]
    assert main(["export", str(session), *args]) == 2
    err = capsys.readouterr().err
    assert says in err and err.count("\n") == 1
    assert os.listdir(tmp_path) == []


def test_frames_need_size_and_rate_and_pyav_is_named(session, tmp_path, capsys, monkeypatch):
    frame = tmp_path / "f.frame"
    frame.write_bytes(encode_frame(picture(32, 16)))
    assert main(["export", str(frame), "-o", str(tmp_path / "v.mp4"), "--size", "32x16"]) == 2
    assert "--size WxH and --fps N are needed" in capsys.readouterr().err
    monkeypatch.setitem(__import__("sys").modules, "av", None)
    assert main(["export", str(session), "-o", str(tmp_path / "v.mp4")]) == 1
    assert capsys.readouterr().err == "quorvel: export needs PyAV: pip install 'quorvel[video]'\n"


# --- what a real client reads ------------------------------------------------------------------


def test_ffprobe_reads_the_default_mp4(session, tmp_path, capsys):
    require_extras("av", FFPROBE)
    out = tmp_path / "s.mp4"
    assert main(["export", str(session), "-o", str(out)]) == 0
    said = capsys.readouterr().out
    assert "canvas    the size changes (75x45, 98x61, 40x30)" in said and "1 frame the decoder refuses" in said
    # The sanitizer stage preloads its runtime; ffprobe is not built for it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    probe = subprocess.run(
        [FFPROBE, "-v", "error", "-print_format", "json", "-show_format", "-show_streams", str(out)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    info = json.loads(probe.stdout)
    (stream,) = info["streams"]
    assert "mp4" in info["format"]["format_name"]
    assert (stream["codec_name"], stream["profile"], stream["pix_fmt"]) == ("h264", "High", "yuv420p")
    assert (stream["color_range"], stream["color_space"]) == ("tv", "smpte170m")
    assert (stream["width"], stream["height"]) == (98, 62)  # 61 rounded up to even for 4:2:0
    # The declared rate is one picture a tick of the time base (frames on tenths: 10 a second).
    interval = 1 / Fraction(stream["r_frame_rate"])
    assert interval == Fraction(1, 10)
    duration = float(info["format"]["duration"])
    assert 3.0 <= duration <= 3.0 + interval + 1e-6
    # PyAV's demuxer, the second reader: the same stream, and a picture at each change.
    import av

    with av.open(str(out)) as container:
        (video,) = container.streams.video
        assert (video.codec_context.name, video.codec_context.pix_fmt) == ("h264", "yuv420p")
        times = [round(float(f.time), 3) for f in container.decode(video)]
    assert times == [0.0, 0.4, 1.2, 1.9, 2.6, 3.0]


# --- lossless is exact -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "chroma, start, scale", [("420", None, 1), ("444", None, 1), ("420", 1.0, 1), ("420", None, 8)]
)
def test_lossless_h264_gives_back_the_planar_screen(session, tmp_path, chroma, start, scale):
    require_extras("av")
    import av
    from quorvel import export

    out = tmp_path / "s.mkv"
    options = {} if start is None else {"start": start}
    summary = export(session, out, lossless=True, chroma=chroma, scale=scale, **options)
    begin = start or 0.0
    rec = Recording.open(session)
    fmt = "I420" if chroma == "420" else "I444"
    times = []
    with av.open(str(out)) as container:
        (stream,) = container.streams.video
        assert stream.codec_context.name == "h264"
        # The largest width by the largest height, even in 4:2:0 (at 1/8: 13x8, 98x61 shrunk).
        canvas = {1: (98, 62), 8: (14, 8)}[scale] if chroma == "420" else (98, 61)
        assert (stream.width, stream.height) == canvas
        for frame in container.decode(stream):
            t = round(float(frame.time), 3)
            times.append(t)
            want = rec.screen_at(begin + t, pixel_format=fmt, scale=scale).planes()
            for plane, expected, black in zip(_planes(frame, chroma), want, (16, 128, 128)):
                h, w = np.asarray(expected).shape
                assert np.array_equal(plane[:h, :w], np.asarray(expected)), (t, plane.shape)
                assert (plane[h:] == black).all() and (plane[:h, w:] == black).all(), t
    # Pictures where the screen changed (the idle and the refused frame add none, the two frames
    # at 1.2 s one), the first at 0, the last held to the end.
    expected_times = [t - begin for t in (0.0, 0.4, 1.2, 1.9, 2.6, 3.0) if t >= begin]
    if start:
        expected_times = [0.0] + [t for t in expected_times if t > 0]
    assert times == pytest.approx(expected_times)
    assert (summary.frames_written, summary.frames_refused) == (len(expected_times), 1 if begin < 0.7 else 0)
    assert summary.duration == pytest.approx(3.0 - begin)
    assert summary.bytes == out.stat().st_size


def _planes(frame, chroma):
    """A decoded frame's three planes as 2-D arrays, the rows' padding cut off."""
    out = []
    for i, plane in enumerate(frame.planes):
        rows = frame.height if i == 0 or chroma == "444" else (frame.height + 1) // 2
        cols = frame.width if i == 0 or chroma == "444" else (frame.width + 1) // 2
        out.append(np.frombuffer(plane, np.uint8).reshape(-1, plane.line_size)[:rows, :cols])
    return out


def test_a_failed_export_leaves_nothing(session, tmp_path):
    require_extras("av")
    from quorvel import export

    out = tmp_path / "s.mp4"
    out.write_bytes(b"earlier")

    def stop(done, total):
        if done == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        export(session, out, progress=stop)
    # No temporary file left beside it, and the earlier file unharmed.
    assert os.listdir(tmp_path) == ["s.mp4"] and out.read_bytes() == b"earlier"

"""The worker that `./dev bench` starts once per build: a case asked over its pipes must run
on that build's quorvel and draw what the same call draws in this process. No timing is
asserted (the machine is shared)."""

import hashlib
from pathlib import Path

import pytest

from helpers import picture
from quorvel import Screen, decode_frame
from quorvel._bench_baseline import Frame, Results, Worker, cases, tables
from quorvel.encode import encode_frame

SCRIPT = Path(__file__).resolve().parent.parent / "bench" / "bench_worker.py"
WIDTH, HEIGHT = 48, 32


@pytest.fixture(scope="module")
def frame_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("worker") / "tiny.frame"
    path.write_bytes(encode_frame(picture(WIDTH, HEIGHT), 444))
    return path


@pytest.fixture(scope="module")
def worker():
    w = Worker(SCRIPT, None)
    yield w
    w.close()


def drawn(case, data):
    if case["call"] == "decode_frame":
        return decode_frame(data, WIDTH, HEIGHT)
    options = {k: case[k] for k in ("scale", "pixel_format") if k in case}
    screen = Screen(WIDTH, HEIGHT, case["mode"], threads=1, **options)
    screen.apply(data)
    return screen.to_bytes()


@pytest.mark.parametrize(
    "extra",
    [None, {}, {"scale": 2}, {"scale": 8}, {"pixel_format": "BGRX"}, {"pixel_format": "I420"}],
    ids=["decode_frame", "apply", "scale 2", "scale 8", "BGRX", "I420"],
)
def test_case_round_trips(worker, frame_file, extra):
    case = {"data": str(frame_file), "width": WIDTH, "height": HEIGHT}
    case |= {"call": "decode_frame"} if extra is None else {"call": "apply", "mode": 444, **extra}
    first = worker.ask({"op": "time", "case": case, "calls": 3})
    assert first["digest"] == hashlib.sha256(drawn(case, frame_file.read_bytes())).hexdigest()
    assert first["seconds"] >= 0
    again = worker.ask({"op": "time", "case": case, "calls": 1})
    assert "digest" not in again and again["seconds"] >= 0  # set up once, timed again


def test_what_a_build_lacks_is_an_error_not_a_crash(worker, frame_file):
    lacking = {"call": "apply", "data": str(frame_file), "width": WIDTH, "height": HEIGHT, "mode": 444}
    reply = worker.ask({"op": "time", "case": lacking | {"pixel_format": "YUYV"}, "calls": 1})
    assert "error" in reply and "seconds" not in reply
    assert worker.ask({"op": "forget"}) == {}
    assert "digest" in worker.ask({"op": "time", "case": lacking, "calls": 1})  # set up anew after forget


def test_a_baseline_path_without_quorvel_is_refused(tmp_path):
    # The worker would fall back on this interpreter's quorvel and race a build against itself.
    with pytest.raises(RuntimeError, match="imported another quorvel"):
        Worker(SCRIPT, tmp_path)


def test_tables_from_known_times():
    """The summary's arithmetic on times set by hand, and a case the baseline lacks printed as
    n/a rather than ending a long run in a traceback."""
    frames = [Frame(label, 1920, 1072, 444, "f", "j") for label in ("a 444", "b 444")]
    results = Results(frames)
    for f, slow in zip(frames, (1.0, 3.0), strict=True):
        for case in cases(f):
            results.seconds[(f.label, case, "current")] = [2.0, 2.0, 2.0]
            results.seconds[(f.label, case, "baseline")] = [2.0, 2.0, 2.0]
        results.seconds[(f.label, "decode_frame", "current")] = [1.0, 1.0 * slow, 1.0 * slow]  # b: 3 times slower
        results.seconds[(f.label, "decode_frame", "baseline")] = [1.0, 1.0, 1.0]
        results.seconds[(f.label, "apply BGRX", "current")] = [slow, slow, slow]  # BGRX / RGB: 0.5 and 1.5
        results.errors[(f.label, "apply 1/2", "baseline")] = "TypeError: 'scale' is an invalid keyword argument"
        results.digests[(f.label, "apply", "current")] = "x"
        results.digests[(f.label, "apply", "baseline")] = "x" if f.label == "a 444" else "y"
    text = "\n".join(tables(results, "REV"))
    assert "geometric mean 1.732, worst 3.000 (b 444): MORE than 2% slower" in text  # sqrt(1 * 3)
    assert "median 1.732, from 1.000 to 1.732 over 3 rounds" in text
    assert "| BGRX / RGB | 0.866 | 1.500 (b 444) | 1.000 | 1.000 (a 444) |" in text
    assert "| 1/2: thumbnail / full-size apply | 1.000 | 1.000 (a 444) | n/a | n/a |" in text
    assert "n/a: apply 1/2 on a 444, baseline build: TypeError" in text
    assert text.endswith("different in apply")

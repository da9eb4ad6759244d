"""`quorvel scan` and `quorvel.scan()`: a fleet's recordings at once, on local worker processes,
on a real Dask cluster, and the page they leave, opened in a real browser."""

import csv
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import quorvel
from helpers import require_extras
from PIL import Image
from quorvel import Recording
from quorvel.encode import encode_frame

# The classifier of the tests. It labels a picture by its size, and it is how the tests kill a
# worker on a given recording: 72 pixels wide kills every worker that scans it, 80 wide the
# first one only (a marker file beside the module remembers).
CLASSIFIER = """
import os, pathlib, signal

def label(screen):
    if screen.width == 72:
        os.kill(os.getpid(), signal.SIGKILL)
    if screen.width == 80:
        try:
            os.close(os.open(pathlib.Path(__file__).with_name("killed-once"), os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return "retried"
        os.kill(os.getpid(), signal.SIGKILL)
    if os.environ.get("QUORVEL_TEST_SLOW"):
        import time
        time.sleep(float(os.environ["QUORVEL_TEST_SLOW"]))
    return f"{screen.width} wide"
"""


def picture(w, h, seed):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def record(path, frames, metadata=None, close=True):
    """A recording of `frames`: (t, width, height, seed), a seed of None being a frame the
    decoder refuses. Returns the recording, open for writing when close is False."""
    path.parent.mkdir(parents=True, exist_ok=True)
    rec = Recording.create(path, metadata=metadata or {"source": path.stem})
    for t, w, h, seed in frames:
        data = b"\0\0\1\xbc refused" if seed is None else encode_frame(picture(w, h, seed))
        rec.append(data, w, h, t=t)
    if close:
        rec.close()
    return rec


def steady(w=64, h=48, seconds=30, step=5, seed=0):
    """A picture that changes every `step` seconds for `seconds`."""
    return [(float(t), w, h, seed + t // step) for t in range(0, seconds + 1, step)]


def pixels(path):
    with Image.open(path) as img:
        return img.convert("RGB").tobytes()


def run(*args, cwd, env=None):
    return subprocess.run(
        [sys.executable, "-m", "quorvel", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )


def assert_ends_as_recorded(out, entries, where):
    """Every recording's PNG is, byte for byte, what `screen_at` shows at its end."""
    for entry in entries:
        rec = Recording.open(where / entry["path"])
        assert pixels(out / entry["picture"]) == rec.screen_at(rec.duration).to_bytes(), entry["path"]


@pytest.fixture
def fleet(tmp_path):
    """Two hosts with a session.qvr each, one of them changing size with a refused frame, a
    frozen console, a short one, and a file that is not a recording."""
    root = tmp_path / "fleet"
    record(root / "host-a/session.qvr", steady(seconds=30) + [(31.0, 64, 48, None)])
    record(
        root / "host-b/session.qvr",
        steady(seconds=20) + [(21.0, 96, 64, 7), (22.0, 96, 64, None), (25.5, 96, 64, 8)],
        metadata={"source": "node17", "rack": 4},
    )
    # Changes for a minute, then shows the same picture for 70 s: frozen.
    record(root / "frozen.qvr", steady(seconds=60, step=10) + [(130.0, 64, 48, 6)])
    # The last minute changes: not frozen.
    record(root / "busy.qvr", steady(seconds=120, step=10))
    (root / "broken.qvr").write_bytes(b"this is not a recording, " * 40)
    (root / "notes.txt").write_text("not a recording, and not named like one")
    return root


def test_scan_of_a_fleet(fleet, tmp_path):
    out = tmp_path / "out"
    result = run("scan", fleet, "--outdir", out, "--jobs", 2, cwd=tmp_path)
    # One recording could not be read: status 1, the others done.
    assert result.returncode == 1, result.stderr
    assert result.stderr.splitlines() == ["quorvel: scan: broken.qvr: not a recording (not an SQLite database)"]
    entries = json.loads((out / "summary.json").read_text())
    by_path = {e["path"]: e for e in entries}
    assert sorted(by_path) == ["broken.qvr", "busy.qvr", "frozen.qvr", "host-a/session.qvr", "host-b/session.qvr"]
    assert by_path["broken.qvr"]["error"] == "not a recording (not an SQLite database)"
    good = [e for e in entries if "error" not in e]
    assert_ends_as_recorded(out, good, fleet)

    a, b = by_path["host-a/session.qvr"], by_path["host-b/session.qvr"]
    assert (a["frames"], a["refused"], a["duration"], a["size_changes"]) == (8, 1, 31.0, [[0.0, 64, 48]])
    assert (b["frames"], b["refused"], b["duration"]) == (8, 1, 25.5)
    assert b["size_changes"] == [[0.0, 64, 48], [21.0, 96, 64]]
    assert b["metadata"]["source"] == "node17" and b["metadata"]["rack"] == 4
    assert (b["width"], b["height"]) == (96, 64)
    assert [e["frozen"] for e in (by_path["frozen.qvr"], by_path["busy.qvr"], a)] == [True, False, None]
    assert all(e["closed_cleanly"] is True and e["decode_cpu_seconds"] >= 0 for e in good)
    # A thumbnail every 10 s, one at the size change and one at the end, in a grid of cells of
    # the largest one's size (96x64 at scale 8 is 12x8) in rows of eight, 2 pixels apart.
    assert b["thumbnails"] == [[0.0, "size"], [10.0, "every"], [20.0, "every"], [21.0, "size"], [25.5, "end"]]
    with Image.open(out / b["grid"]) as grid:
        assert grid.size == (5 * 12 + 6 * 2, 8 + 2 * 2)

    with open(out / "summary.csv", newline="") as f:
        rows = {r["path"]: r for r in csv.DictReader(f)}
    assert rows.keys() == by_path.keys()
    assert rows["broken.qvr"]["error"] and rows["host-b/session.qvr"]["size_changes"] == "1"
    assert json.loads(rows["host-b/session.qvr"]["metadata"])["source"] == "node17"

    page = (out / "index.html").read_text()
    assert 'http-equiv="refresh"' not in page
    # Scripts off, the page lists every recording, failures first.
    order = [page.index(f'data-name="{p}"') for p in ("broken.qvr", "host-a/session.qvr", "busy.qvr")]
    assert order == sorted(order)
    assert page.count('loading="lazy"') == len(good)
    assert not list(out.rglob("*.tmp"))


def test_thumbnails_are_capped(tmp_path):
    # 3,000 s at one thumbnail a second would be 3,000 thumbnails; 200 size changes more.
    frames = [(float(t), 64 + 8 * (t % 2), 48, t % 3) for t in range(0, 3001, 15)]
    record(tmp_path / "long.qvr", frames)
    (entry,) = quorvel.scan([tmp_path / "long.qvr"], tmp_path / "out", jobs=1, every=1.0)
    times = [t for t, _ in entry["thumbnails"]]
    assert len(times) <= 300 and times == sorted(times) and times[-1] == 3000.0
    assert sum(why == "size" for _, why in entry["thumbnails"]) == 100
    assert entry["thumbnail_interval"] > 1.0 and entry["thumbnail_interval"] % 1.0 == 0


def test_a_recording_still_being_written(tmp_path):
    rec = record(tmp_path / "live.qvr", steady(seconds=20), close=False)
    try:
        (entry,) = quorvel.scan([tmp_path / "live.qvr"], tmp_path / "out", jobs=1)
    finally:
        rec.close()
    assert entry["closed_cleanly"] is False and entry["frames"] == 5 and "error" not in entry
    assert "not closed" in (tmp_path / "out/index.html").read_text()


def test_a_scan_again_skips_what_has_not_changed(fleet, tmp_path):
    out = tmp_path / "out"
    first = {e["path"]: e for e in quorvel.scan([fleet], out, jobs=2)}
    written = {p: p.stat().st_mtime_ns for p in out.rglob("*.png")}
    scanned = []

    def again(**kw):
        entries = quorvel.scan([fleet], out, jobs=2, progress=lambda done, total, name: scanned.append(name), **kw)
        return {e["path"]: e for e in entries}

    # Nothing changed: only the recording that could not be read is tried again.
    assert again() == first and scanned == ["broken.qvr"]
    assert {p: p.stat().st_mtime_ns for p in out.rglob("*.png")} == written
    scanned.clear()
    os.utime(fleet / "busy.qvr")
    assert again().keys() == first.keys() and sorted(scanned) == ["broken.qvr", "busy.qvr"]
    for kw in ({"every": 5.0}, {"force": True}):
        scanned.clear()
        again(**kw)
        assert sorted(scanned) == sorted(first), kw


def test_classify_labels_the_summary_the_csv_and_the_page(fleet, tmp_path):
    (tmp_path / "labels.py").write_text(CLASSIFIER)
    result = run(
        "scan", fleet / "host-b", fleet / "busy.qvr", "--outdir", "out", "--classify", "labels:label", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    labels = {e["path"]: e["label"] for e in json.loads((tmp_path / "out/summary.json").read_text())}
    assert labels == {"session.qvr": "96 wide", "busy.qvr": "64 wide"}
    assert "96 wide" in (tmp_path / "out/summary.csv").read_text()
    assert '<span class="label">96 wide</span>' in (tmp_path / "out/index.html").read_text()


def test_a_classifier_the_workers_cannot_import(tmp_path):
    record(tmp_path / "r.qvr", steady())
    # Local workers import the function by its name: a lambda would fail there, in every one.
    with pytest.raises(ValueError, match="classify must be a function importable by its name"):
        quorvel.scan([tmp_path / "r.qvr"], tmp_path / "out", jobs=1, classify=lambda screen: "x")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "args, says",
    [
        (["--every", "0"], "argument --every: a number of seconds above 0, not 0"),
        (["--every", "nan"], "argument --every: a number of seconds above 0, not nan"),
        (["--jobs", "0"], "--jobs is a number of worker processes, at least 1, not 0"),
        (["--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"], "--jobs sets the local worker processes"),
        (["--classify", "labels"], "--classify takes MODULE:FUNCTION, not 'labels'"),
        (["--classify", "no_such_module:f"], "--classify no_such_module:f: cannot import no_such_module"),
        (["--classify", "labels:nothing"], "--classify labels:nothing: labels has no nothing"),
        (["fleet/host-a"], "would have the same outputs (session.qvr)"),
    ],
)
def test_usage_errors(fleet, tmp_path, args, says):
    (tmp_path / "labels.py").write_text(CLASSIFIER)
    result = run("scan", "fleet/host-b", *args, "--outdir", "out", cwd=tmp_path)
    assert result.returncode == 2 and says in result.stderr and len(result.stderr.splitlines()) == 1
    assert not (tmp_path / "out/summary.json").exists()


@pytest.mark.parametrize(
    "paths, says",
    [(["missing"], "quorvel: scan: no such file or folder: missing"), (["empty"], "no recordings (*.qvr) found")],
)
def test_nothing_to_scan(tmp_path, paths, says):
    (tmp_path / "empty").mkdir()
    result = run("scan", *paths, "--outdir", "out", cwd=tmp_path)
    assert result.returncode == 1 and result.stderr.splitlines() == [
        says if says.startswith("quorvel") else f"quorvel: scan: {says}"
    ]


def test_a_dead_worker_of_the_local_pool(tmp_path):
    """The worker on the 80-wide recording dies once: it is retried on a new one. The 72-wide
    recording kills its worker every time: after the retry, "the worker died"."""
    (tmp_path / "labels.py").write_text(CLASSIFIER)
    for n, w in enumerate([64, 72, 80, 64, 64, 96]):
        record(tmp_path / f"fleet/r{n}.qvr", steady(w=w, seed=n))
    result = run("scan", "fleet", "--outdir", "out", "--jobs", 2, "--classify", "labels:label", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines() == ["quorvel: scan: r1.qvr: the worker died"]
    entries = {e["path"]: e for e in json.loads((tmp_path / "out/summary.json").read_text())}
    assert len(entries) == 6 and entries["r2.qvr"]["label"] == "retried"
    assert_ends_as_recorded(tmp_path / "out", [e for e in entries.values() if "error" not in e], tmp_path / "fleet")


def test_ctrl_c_leaves_whole_files(tmp_path):
    (tmp_path / "labels.py").write_text(CLASSIFIER)
    for n in range(6):
        record(tmp_path / f"fleet/r{n}.qvr", steady(seed=n))
    env = dict(os.environ, QUORVEL_TEST_SLOW="1.5")
    scan = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "quorvel",
            "scan",
            "fleet",
            "--outdir",
            "out",
            "--jobs",
            "1",
            "--classify",
            "labels:label",
        ],
        cwd=tmp_path,
        env=env,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    page = tmp_path / "out/index.html"
    deadline = time.monotonic() + 60
    # While it runs, the page reloads itself.
    while not (page.exists() and 'http-equiv="refresh"' in page.read_text()) and time.monotonic() < deadline:
        time.sleep(0.05)
    while not list((tmp_path / "out").rglob("*.grid.png")) and time.monotonic() < deadline:
        time.sleep(0.05)
    # As Ctrl-C on a terminal: to the whole process group, the workers too.
    os.killpg(scan.pid, signal.SIGINT)
    _, stderr = scan.communicate(timeout=30)
    assert scan.returncode == 130 and stderr == "quorvel: interrupted\n"
    entries = json.loads((tmp_path / "out/summary.json").read_text())
    assert 1 <= len(entries) < 6 and all("error" not in e for e in entries)
    assert 'http-equiv="refresh"' not in page.read_text()
    assert not list((tmp_path / "out").rglob("*.tmp"))
    assert_ends_as_recorded(tmp_path / "out", entries, tmp_path / "fleet")


# --- a real Dask cluster -----------------------------------------------------------


@pytest.fixture
def cluster():
    require_extras("distributed")
    from distributed import LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0") as c:
        yield c


def test_a_cluster_scan_with_a_worker_killed(cluster, tmp_path):
    """20 recordings through --scheduler; the worker on the 80-wide one is killed mid-scan and
    Dask retries its task on the other."""
    (tmp_path / "labels.py").write_text(CLASSIFIER)
    for n in range(20):
        record(tmp_path / f"fleet/rack{n % 3}/r{n}.qvr", steady(w=80 if n == 11 else 64 + 32 * (n % 2), seed=n))
    result = run(
        "scan",
        "fleet",
        "--outdir",
        "out",
        "--scheduler",
        cluster.scheduler_address,
        "--classify",
        "labels:label",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "killed-once").exists()
    entries = json.loads((tmp_path / "out/summary.json").read_text())
    assert sorted(e["path"] for e in entries) == sorted(f"rack{n % 3}/r{n}.qvr" for n in range(20))
    assert [e["label"] for e in entries if e["path"] == "rack2/r11.qvr"] == ["retried"]
    assert_ends_as_recorded(tmp_path / "out", entries, tmp_path / "fleet")


@pytest.mark.parametrize("how", ["--scheduler", "DASK_SCHEDULER_ADDRESS"])
def test_an_unreachable_scheduler_fails_in_one_line(tmp_path, how):
    require_extras("distributed")
    record(tmp_path / "r.qvr", steady())
    # Port 9 (discard) on the loopback: nothing listens.
    address = "tcp://127.0.0.1:9"
    args, env = (["--scheduler", address], None) if how == "--scheduler" else ([], dict(os.environ, **{how: address}))
    start = time.monotonic()
    result = run("scan", "r.qvr", "--outdir", "out", *args, cwd=tmp_path, env=env)
    assert time.monotonic() - start < 10
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
    assert result.stderr.startswith(f"quorvel: scan: cannot reach the scheduler at {address}: ")


# --- the page in a real browser -----------------------------------------------------


def browser(scripts=True):
    require_extras("selenium", "/usr/bin/chromium", "/usr/bin/chromedriver")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,900"):
        options.add_argument(arg)
    if not scripts:
        options.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2})
    # The sanitizer stage preloads its runtime into Python; chromium is not built for it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=env), options=options)


def test_the_page_in_a_browser(fleet, tmp_path):
    out = tmp_path / "out"
    quorvel.scan([fleet], out, jobs=2)
    driver = browser()
    try:
        driver.get((out / "index.html").as_uri())
        tiles = driver.find_elements("css selector", "article.tile")
        assert len(tiles) == 5
        # Lazy images load as they come into view: as a person scrolls, each one shows.
        for img in driver.find_elements("css selector", "article.tile img"):
            driver.execute_script("arguments[0].scrollIntoView()", img)
            deadline = time.monotonic() + 10
            while not driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth", img):
                assert time.monotonic() < deadline, img.get_attribute("src")
                time.sleep(0.05)
        assert len(driver.find_elements("css selector", "article.tile img")) == 4
        failed = driver.find_element("css selector", "article.tile.failed")
        assert "broken.qvr" in failed.text and "not a recording (not an SQLite database)" in failed.text
        assert failed.value_of_css_property("background-color") == "rgba(198, 40, 40, 1)"
        # The page's own sort: by name, then the longest first.
        names = lambda: [t.get_attribute("data-name") for t in driver.find_elements("css selector", "article.tile")]
        assert names()[0] == "broken.qvr"
        driver.find_element("css selector", "button[data-key=name]").click()
        assert names() == sorted(names())
        driver.find_element("css selector", "button[data-key=duration]").click()
        assert names()[:2] == ["frozen.qvr", "busy.qvr"]
        driver.save_screenshot(str(tmp_path / "page.png"))
    finally:
        driver.quit()
    with Image.open(tmp_path / "page.png") as shot:
        assert shot.size[0] > 0
    # Scripts off: every recording still listed, failures first, and no sort bar.
    driver = browser(scripts=False)
    try:
        driver.get((out / "index.html").as_uri())
        tiles = driver.find_elements("css selector", "article.tile")
        assert len(tiles) == 5 and tiles[0].get_attribute("data-name") == "broken.qvr"
        assert not driver.find_element("id", "sort").is_displayed()
    finally:
        driver.quit()

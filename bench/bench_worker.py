"""One build's side of `./dev bench`: times calls of whatever quorvel is on the path.

    python bench/bench_worker.py        (the driver, quorvel._bench_baseline, starts it)

The driver starts one worker per build, each with its own build first on the path: the
builds' modules share their import names, so a process each is the only way to hold two.
It speaks JSON lines over stdin and stdout. The worker first writes who it is:

    {"quorvel": "<path of the package>", "version": "<decoder_version()>", "simplejpeg": "<version or null>"}

then answers each request with one line:

    {"op": "time", "case": CASE, "calls": N}  ->  {"seconds": CPU seconds of one call, the mean of N}
                                                 or {"error": "why this build cannot run CASE"}
    {"op": "forget"}                          ->  {} (the cases set up so far are dropped)

A CASE is set up the first time it is asked for: its data read, its screen made and the
frame applied twice (a screen that already holds the picture before, its journal's pages
touched); that first answer also carries "digest", the SHA-256 of what the call draws, so
that the driver can tell two builds that disagree. CASE is one of

    {"call": "decode_frame", "data": PATH, "width": W, "height": H}
    {"call": "apply", "data": PATH, "width": W, "height": H, "mode": M, "scale": S, "pixel_format": F}
    {"call": "decode_jpeg", "data": PATH, "min_width": W, "min_height": H}

and "scale" and "pixel_format" are passed to Screen only when they are not the defaults
(1 and "RGB"), so a build without them still runs the other cases. Only the API that every
build since Screen had is used: decode_frame, Screen(threads=1) and Screen.apply. Time is
the process's CPU time (time.process_time), which leaves out what other processes take from
this one on a shared machine; every call runs on this thread.
"""

from __future__ import annotations

import hashlib
import json
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import quorvel

Call = Callable[[], object]


def _simplejpeg_version() -> str | None:
    try:
        import simplejpeg
    except ImportError:
        return None
    return str(simplejpeg.__version__)


def set_up(case: dict[str, Any], files: dict[str, bytes]) -> tuple[Call, str]:
    """The call that CASE times, ready to run, and the digest of what it draws."""
    path = case["data"]
    data = files.get(path)
    if data is None:
        data = files[path] = Path(path).read_bytes()
    call = case["call"]
    if call == "decode_frame":
        width, height = case["width"], case["height"]

        def decode() -> bytes:
            return quorvel.decode_frame(data, width, height)

        return decode, hashlib.sha256(decode()).hexdigest()
    if call == "apply":
        options: dict[str, Any] = {"threads": 1}
        if case.get("scale", 1) != 1:
            options["scale"] = case["scale"]
        if case.get("pixel_format", "RGB") != "RGB":
            options["pixel_format"] = case["pixel_format"]
        screen = quorvel.Screen(case["width"], case["height"], case.get("mode"), **options)
        screen.apply(data)  # the picture before: each timed apply goes over it
        screen.apply(data)

        def apply() -> object:
            return screen.apply(data)

        return apply, hashlib.sha256(screen.to_bytes()).hexdigest()
    if call == "decode_jpeg":
        import simplejpeg

        width, height = case["min_width"], case["min_height"]

        def decode_jpeg() -> object:
            return simplejpeg.decode_jpeg(data, fastdct=True, fastupsample=True, min_width=width, min_height=height)

        return decode_jpeg, hashlib.sha256(decode_jpeg().tobytes()).hexdigest()
    raise ValueError(f"unknown call {call!r}")


def serve(requests: Any, replies: Any) -> None:
    files: dict[str, bytes] = {}
    cases: dict[str, Call] = {}
    print(
        json.dumps(
            {"quorvel": quorvel.__file__, "version": quorvel.decoder_version(), "simplejpeg": _simplejpeg_version()}
        ),
        file=replies,
        flush=True,
    )
    for line in requests:
        request = json.loads(line)
        reply: dict[str, Any] = {}
        if request["op"] == "forget":
            files.clear()
            cases.clear()
        elif request["op"] == "time":
            key = json.dumps(request["case"], sort_keys=True)
            try:
                if key not in cases:
                    cases[key], reply["digest"] = set_up(request["case"], files)
                f, calls = cases[key], int(request["calls"])
                t = time.process_time()
                for _ in range(calls):
                    f()
                reply["seconds"] = (time.process_time() - t) / calls
            except Exception as e:  # a case this build lacks, or a frame it refuses: the driver prints n/a
                reply = {"error": f"{type(e).__name__}: {e}"}
        else:
            reply = {"error": f"unknown op {request['op']!r}"}
        print(json.dumps(reply), file=replies, flush=True)


if __name__ == "__main__":
    serve(sys.stdin, sys.stdout)

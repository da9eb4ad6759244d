"""Where a decode spends its instructions, stage by stage, counted by callgrind.

    python bench/callgrind_stages.py DECODE_BENCH DIR NAME...

DECODE_BENCH is the decode_bench executable (cmake -DQUORVEL_BENCH=ON, best
with -DCMAKE_CXX_FLAGS=-g), DIR a directory made by bench/real_frames.py, and
each NAME one of its frames without the extension (e.g. photos-a-444). For each
it runs decode_bench under callgrind twice, once decoding the frame and once
decoding the JPEG with libjpeg (fast DCT, no fancy upsampling; skipped when
decode_bench was built without it), and prints the instructions of one
decode: the frame's by stage, libjpeg's in total (the
distribution's libjpeg has no symbols to split it by). Instruction counts do
not depend on what else the machine runs, unlike times.
"""

from __future__ import annotations

import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROUNDS = 4  # decode_bench then decodes ROUNDS + 1 times

# Functions of the decoder core by stage, by their names without namespace,
# template arguments or parameters (the colour conversion is a template per
# pixel format, in an anonymous namespace); whatever else a decode runs (the
# record loop, the tables of the set-up, memset) is the rest.
STAGES = {
    "decode_macroblock_dequantised": "entropy decoding (decode_macroblock_dequantised)",
    "idct_blocks": "inverse DCT (idct_blocks)",
    "idct_blocks_avx2": "inverse DCT (idct_blocks)",
    "yuv_to_rgb": "colour conversion and store (yuv_to_rgb)",
    "yuv_to_rgb_avx2": "colour conversion and store (yuv_to_rgb)",
    "decompress_dct": "per-macroblock work in decompress_dct (zeroing, staging, calls)",
    "decode_dct": "per-macroblock work in decompress_dct (zeroing, staging, calls)",
    "draw_dct": "per-macroblock work in decompress_dct (zeroing, staging, calls)",
    "decode_vq": "VQ macroblocks (decode_vq, draw_vq)",
    "draw_vq": "VQ macroblocks (decode_vq, draw_vq)",
}


def function_name(where: str) -> str:
    """The bare name of a core function as callgrind_annotate prints it, e.g.
    `void ast2100::(anonymous namespace)::yuv_to_rgb_avx2<(ast2100::PixelFormat)0>(...)`
    gives yuv_to_rgb_avx2; empty for what is not the core's."""
    m = re.search(r"ast2100::(?:\(anonymous namespace\)::)?(\w+)", where)
    return m.group(1) if m else ""


def counts(out_file: Path, inclusive: bool) -> dict[str, int]:
    """Instructions per function, self or inclusive; inlined code counts to its caller."""
    text = subprocess.run(
        [
            "callgrind_annotate",
            f"--inclusive={'yes' if inclusive else 'no'}",
            "--threshold=100",
            "--auto=no",
            str(out_file),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    out: dict[str, int] = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \([\s\d.]+%\)\s+(.*)$", line)
        if not m or "PROGRAM TOTALS" in line or "=>" in line:
            continue
        where = m.group(2)
        name = where.split(":", 1)[1] if ":" in where and not where.startswith("???") else where
        out[name] = out.get(name, 0) + int(m.group(1).replace(",", ""))
    return out


def inclusive_of(table: dict[str, int], prefix: str) -> int:
    """The inclusive count of the harness function whose name starts with prefix."""
    found = [n for name, n in table.items() if name.startswith(prefix)]
    if not found:
        raise RuntimeError(f"no {prefix} in the profile: build decode_bench with -g")
    return max(found)


def profile(bench: str, directory: Path, name: str) -> None:
    entry = next(
        e for e in json.loads((directory / "manifest.json").read_text())["frames"] if e["frame"] == f"{name}.frame"
    )
    args = [
        str(directory / f"{name}.frame"),
        str(entry["width"]),
        str(entry["height"]),
        str(ROUNDS),
        "--jpeg",
        str(directory / f"{name}.jpg"),
    ]
    selfs: dict[str, dict[str, int]] = {}
    totals: dict[str, int] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for only, harness in (
            ("frame", "(anonymous namespace)::decode("),
            ("jpeg", "(anonymous namespace)::decode_jpeg("),
        ):
            out = Path(tmp) / f"callgrind.{only}"
            run = subprocess.run(
                ["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={out}", bench, *args, "--only", only],
                stdout=subprocess.DEVNULL,
            )
            if run.returncode != 0:
                if only == "jpeg":  # decode_bench was built without libjpeg
                    continue
                raise RuntimeError(f"decode_bench failed on {name}")
            selfs[only] = counts(out, inclusive=False)
            totals[only] = inclusive_of(counts(out, inclusive=True), harness)
    decodes = ROUNDS + 1
    stages = dict.fromkeys(STAGES.values(), 0)
    for function, n in selfs["frame"].items():
        if (label := STAGES.get(function_name(function))) is not None:
            stages[label] += n
    frame_total = totals["frame"]
    stages["records, set-up and the rest"] = frame_total - sum(stages.values())
    blocks = entry["blocks"]
    print(f"{name} ({entry['width']}x{entry['height']}, {entry['nonzero'] / blocks:.1f} non-zero coefficients a block)")
    for label, n in stages.items():
        print(f"  {label:<66} {n / decodes / 1e6:8.2f} M  {n / decodes / blocks:6.0f} a block  {n / frame_total:6.1%}")
    print(
        f"  {'decoder core, all':<66} {frame_total / decodes / 1e6:8.2f} M  {frame_total / decodes / blocks:6.0f} a block"
    )
    if "jpeg" in totals:
        jpeg_total = totals["jpeg"]
        print(
            f"  {'libjpeg, all (fast DCT, no fancy upsampling)':<66} {jpeg_total / decodes / 1e6:8.2f} M  "
            f"{jpeg_total / decodes / blocks:6.0f} a block"
        )
        print(f"  instructions, decoder / libjpeg: {frame_total / jpeg_total:.3f}")


def main(argv: list[str]) -> int:
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    for name in argv[2:]:
        profile(argv[0], Path(argv[1]), name)
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))

"""The benchmark's JPEG-to-frame transcoder: a frame must show what its JPEG shows,
and a JPEG it cannot carry over faithfully must be refused, not transcoded wrongly."""

import io
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from helpers import picture, require_extras
from quorvel import decode_frame

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import real_frames as rf  # noqa: E402


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("size", [(64, 48), (100, 70), (333, 17)])  # partial macroblocks on the right and bottom
def test_frame_shows_the_jpeg(mode, size):
    width, height = size
    rgb = picture(width, height)
    jpeg = rf.jpeg_of(rgb, mode)
    frame, scan = rf.transcode(jpeg)
    assert (scan.width, scan.height, scan.mode) == (width, height, mode)
    shown = np.frombuffer(decode_frame(frame, width, height), dtype=np.uint8).reshape(height, width, 3)
    # The two inverse DCTs round differently, and libjpeg interpolates 4:2:0
    # chroma where the frame repeats it: close, not equal (about 42 and 34 dB
    # on these small, busy pictures). Transposed blocks, one zig-zag slip or
    # lost AC coefficients give 13 to 23 dB.
    assert rf.psnr(shown, rf.reference_rgb(jpeg)) > (38 if mode == 444 else 30)


def test_coefficients_survive_exactly():
    """The frame carries exactly the parsed coefficients: it decodes like the frame
    that the test suite's bit-level writer makes of the same levels."""
    from framewriter import FrameWriter

    rgb = picture(48, 32)
    for mode in (444, 422):
        frame, scan = rf.transcode(rf.jpeg_of(rgb, mode))
        writer = FrameWriter(mode)
        per_mb = 6 if mode == 422 else 3
        for k in range(0, len(scan.levels), per_mb):
            writer.dct([list(map(int, b)) for b in scan.levels[k : k + per_mb]])
        assert decode_frame(frame, 48, 32) == decode_frame(writer.end().to_bytes(), 48, 32)


def _save(rgb: np.ndarray, **options) -> bytes:
    out = io.BytesIO()
    Image.fromarray(rf.ycbcr_of(rgb), "YCbCr").save(out, "JPEG", **options)
    return out.getvalue()


steps = [list(t) for t in rf.fmt.quant_steps(444, False)]


@pytest.mark.parametrize(
    "options, message",
    [
        ({"qtables": steps, "subsampling": 0, "optimize": True}, "not the standard one"),
        ({"qtables": steps, "subsampling": 0, "progressive": True}, "not a baseline JPEG"),
        ({"qtables": steps, "subsampling": 0, "restart_marker_blocks": 4}, "restart markers"),
        ({"qtables": steps, "subsampling": 1}, "neither 4:4:4 nor 4:2:0"),
        ({"quality": 75, "subsampling": 0}, "not the primary pair"),
    ],
)
def test_jpegs_it_cannot_carry_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        rf.transcode(_save(picture(40, 24), **options))


@pytest.mark.parametrize("keep", [0.3, 0.9, 0.999])
def test_a_scan_cut_short_is_refused(keep):
    jpeg = rf.jpeg_of(picture(96, 64), 444)
    start = rf._segments(jpeg)[1]
    cut = start + int((len(jpeg) - 2 - start) * keep)
    with pytest.raises(ValueError, match="scan"):
        rf.transcode(jpeg[:cut] + b"\xff\xd9")


@pytest.mark.parametrize("name", sorted(rf.MOSAICS))
def test_mosaic_layout_fits_the_shipped_photographs(name):
    require_extras("skimage")
    mosaic = rf.photo_mosaic(name)  # raises if a crop leaves its photograph or the tiles leave a gap
    assert mosaic.shape == (rf.PHOTO_HEIGHT, rf.PHOTO_WIDTH, 3)
    assert len(np.unique(mosaic.reshape(-1, 3)[::97], axis=0)) > 1000  # photographs, not a fill

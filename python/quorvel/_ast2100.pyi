"""The decoder: one compressed frame in, RGB24 pixels out.

The module's own docstrings are only the functions' signatures; this stub
documents them. The module keeps no state between calls and never releases
the GIL.
"""

from typing import SupportsIndex

__all__ = ["decoder_version", "decode_frame"]

def decoder_version() -> str:
    """The decoder's version text: "quorvel._ast2100 1.0.1"."""

def decode_frame(codec_data: bytes, width: SupportsIndex, height: SupportsIndex) -> bytes:
    """Decodes one frame onto a black picture of width x height pixels.

    Returns width * height * 3 bytes: rows top to bottom, pixels left to right,
    red, green, blue. `codec_data` must be `bytes` (or a subclass; it is read in
    place, never copied); `width` and `height` are non-negative integers that
    fit in 64 bits (anything with `__index__`). The frame does not carry its
    size: it comes from the connection that carried the frame.

    Raises:
        ValueError: the frame breaks the format: "codec_data too short (< 4
            bytes)", "unknown mode N", "codec_data too short for bitstream
            init", "unknown block flag: N", "exceeded block limit without
            FRAME_END marker".
        TypeError: an argument of the wrong type ("argument 'width': ...").
        OverflowError: a negative size, or one beyond 64 bits.
        MemoryError: "memory allocation of N bytes failed".
        quorvel.PanicException: an internal fault, such as a picture whose
            byte size cannot be represented ("capacity overflow"). It derives
            from BaseException, so `except Exception` does not catch it.
    """

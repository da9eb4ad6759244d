"""A minimal PNG writer for RGB24 pictures (standard library only)."""

import struct
import zlib


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encode_png(rgb: bytes, width: int, height: int) -> bytes:
    """Returns a PNG file holding `rgb` (width * height * 3 bytes, rows top to bottom)."""
    if len(rgb) != width * height * 3:
        raise ValueError(f"expected {width * height * 3} bytes of RGB, got {len(rgb)}")
    stride = width * 3
    # Each scanline is preceded by its filter type; 0 = no filter.
    raw = b"".join(b"\0" + rgb[y * stride : (y + 1) * stride] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    return (
        b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(raw, 6)) + _chunk(b"IEND", b"")
    )

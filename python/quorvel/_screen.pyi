from collections.abc import Buffer, Callable
from typing import Literal, SupportsIndex, TypeAlias, final

# Format 1: (width, height, mode, pixels, frames_applied, settings); for I420 the
# pixels are followed by the I444 picture they are derived from.
# settings: {"pixel_format": name, "scale": n}, each key left out at its default.
_State = tuple[int, int, int | None, bytes, int, dict[str, object]]
_PixelFormat: TypeAlias = Literal["RGB", "BGR", "RGBX", "BGRX", "XRGB", "XBGR", "GRAY", "I420", "I444"]

@final  # final, hence also a disjoint base
class Screen:
    """A picture kept across frames. Read-only buffer, format "B": shape
    (height, width, 3) for RGB and BGR, (height, width, 4) for the X formats
    (the padding byte X always 255), (height, width) for GRAY (the luma term).
    I420 and I444 hold the decoder's Y, Cb and Cr samples before the colour
    conversion (black: 16, 128, 128) as three planes, FFmpeg's yuv420p and
    yuv444p: the buffer is one-dimensional bytes, planes() shapes each plane.

    With scale 2, 4 or 8 the picture is a thumbnail of ceil(height / scale) rows
    and ceil(width / scale) columns in the same layout; width and height stay
    the frames' size.

    Screen(), apply() and the frames' failures follow decode_frame's rules and
    messages; an internal fault is RuntimeError. Screens pickle and copy,
    keeping their pixel format and scale.
    """

    def __new__(
        cls,
        width: SupportsIndex,
        height: SupportsIndex,
        mode: SupportsIndex | None = None,
        *,
        pixel_format: _PixelFormat = "RGB",
        scale: SupportsIndex = 1,
        threads: SupportsIndex | None = None,
    ) -> Screen:
        """threads: None (automatic: large frames on two threads where that pays), 1 or 2 (always)."""
    def apply(self, codec_data: Buffer) -> list[tuple[int, int, int, int]]:
        """Draws one frame; any C-contiguous bytes-like object, held without copying.

        The GIL is released while decoding: do not change `codec_data` during the
        call (the picture would get unspecified pixels; nothing worse).
        """
    def to_bytes(self) -> bytes: ...
    def planes(self) -> tuple[memoryview, ...]:
        """(Y, Cb, Cr) as read-only 2-D views for I420 and I444; the one usual view otherwise."""
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __reduce__(self) -> tuple[Callable[[int, _State], Screen], tuple[int, _State]]: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def mode(self) -> int | None: ...
    @property
    def pixel_format(self) -> _PixelFormat: ...
    @property
    def scale(self) -> int: ...
    @property
    def frames_applied(self) -> int: ...
    @property
    def threads(self) -> int | None: ...

def _restore(version: SupportsIndex, state: _State) -> Screen: ...

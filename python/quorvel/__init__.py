"""quorvel: the remote-console video that a family of server BMCs sends to its clients.

`decode_frame(codec_data, width, height)` turns one compressed frame into
width * height * 3 bytes of RGB24, rows top to bottom (C++, no dependencies).
`Screen(width, height)` keeps a picture across frames, as a client shows it.

With numpy and Pillow (the `tools` extra):
`encode_frame(rgb, mode=444, quality="high", previous=None)` (quorvel.encode)
codes an RGB picture as a frame; `inspect_frame(data, width, height)`
(quorvel.records, standard library only) says what a frame holds.
"""

from importlib import metadata as _metadata
from typing import TYPE_CHECKING, Any

from ._ast2100 import decode_frame, decoder_version
from ._screen import Screen

if TYPE_CHECKING:
    # For type checkers; at run time __getattr__ imports them on first use.
    from .encode import encode_frame
    from .records import inspect_frame

__all__ = ["decode_frame", "decoder_version", "Screen", "encode_frame", "inspect_frame", "__version__"]

try:
    # The package's version, written once in pyproject.toml. The decoder has a
    # version of its own: decoder_version().
    __version__: str = _metadata.version("quorvel")
except _metadata.PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"


def __getattr__(name: str) -> Any:
    # The encoder needs numpy: import it only when asked for.
    if name == "encode_frame":
        from .encode import encode_frame
        return encode_frame
    if name == "inspect_frame":
        from .records import inspect_frame
        return inspect_frame
    raise AttributeError(f"module 'quorvel' has no attribute {name!r}")

"""quorvel: the remote-console video that a family of server BMCs sends to its clients.

`decode_frame(codec_data, width, height)` turns one compressed frame into
width * height * 3 bytes of RGB24, rows top to bottom (C++, no dependencies).

With numpy and Pillow (pip install 'quorvel[tools]'):
`encode_frame(rgb, mode=444, quality="high", previous=None)` (quorvel.encode)
codes an RGB picture as a frame; `inspect_frame(data, width, height)`
(quorvel.records, standard library only) says what a frame holds.
"""

from ._ast2100 import decode_frame, decoder_version
from ._screen import Screen

__all__ = ["decode_frame", "decoder_version", "Screen"]


def __getattr__(name: str):
    # The encoder needs numpy: import it only when asked for.
    if name == "encode_frame":
        from .encode import encode_frame
        return encode_frame
    if name == "inspect_frame":
        from .records import inspect_frame
        return inspect_frame
    raise AttributeError(f"module 'quorvel' has no attribute {name!r}")

"""quorvel: the remote-console video of AST2100-family BMCs.

`decode_frame(codec_data, width, height)` turns one compressed frame into
width * height * 3 bytes of RGB24, rows top to bottom (C++, no dependencies).

With numpy and Pillow (pip install 'quorvel[tools]'):
`encode_frame(rgb, mode=444, quality="high", previous=None)` (quorvel.encode)
codes an RGB picture as a frame; `inspect_frame(data, width, height)`
(quorvel.records, standard library only) says what a frame holds.
"""

from ._ast2100 import decode_frame, decoder_version
from ._screen import Screen

# The decoder's internal-fault exception. The decoder module creates it when it
# is imported but keeps it out of its own attributes; it is registered under
# this name, so that a caught panic pickles.
PanicException: type[BaseException] = next(
    t for t in BaseException.__subclasses__() if t.__module__ == __name__ and t.__qualname__ == "PanicException")

__all__ = ["decode_frame", "decoder_version", "Screen", "PanicException"]


def __getattr__(name: str):
    # The encoder needs numpy: import it only when asked for.
    if name == "encode_frame":
        from .encode import encode_frame
        return encode_frame
    if name == "inspect_frame":
        from .records import inspect_frame
        return inspect_frame
    raise AttributeError(f"module 'quorvel' has no attribute {name!r}")

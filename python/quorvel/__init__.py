"""quorvel: a bit-exact decoder for the remote-console video of AST2100-family BMCs.

`decode_frame(codec_data, width, height)` turns one compressed frame into
width * height * 3 bytes of RGB24, rows top to bottom.
"""

from ._ast2100 import decode_frame, decoder_version

__all__ = ["decode_frame", "decoder_version"]

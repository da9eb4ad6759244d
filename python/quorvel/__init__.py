"""quorvel: the remote-console video that a family of server BMCs sends to its clients.

`decode_frame(codec_data, width, height)` turns one compressed frame into
width * height * 3 bytes of RGB24, rows top to bottom (C++, no dependencies).
`Screen(width, height)` keeps a picture across frames, as a client shows it.
`scan(paths, outdir, client=None, jobs=None, every=10.0, classify=None)` scans a fleet's
recordings at once, on local worker processes or a Dask cluster (quorvel._scan).

With numpy and Pillow (the `tools` extra):
`encode_frame(rgb, mode=444, quality="high", previous=None)` (quorvel.encode)
codes an RGB picture as a frame; `inspect_frame(data, width, height)`
(quorvel.records, standard library only) says what a frame holds.
`Recording` (quorvel.recording, standard library only) keeps a console session
in one file: each frame with its time and size, seekable with screen_at(t).
With PyAV (the `video` extra): `export(recording, "s.mp4", **options)` writes a
recording as a video (MP4, MKV, WebM) from the decoder's own Y, Cb and Cr samples.
"""

from typing import TYPE_CHECKING, Any

from ._ast2100 import decode_frame, decoder_version
from ._screen import Screen


def _panic_exception() -> type[BaseException]:
    """The decoder's internal-fault exception. The decoder module creates it when it
    is imported but keeps it out of its own attributes; it is registered under this
    package's name, so that a caught panic pickles."""
    for t in BaseException.__subclasses__():
        if t.__module__ == __name__ and t.__qualname__ == "PanicException":
            return t
    raise ImportError(
        f"quorvel._ast2100 did not register {__name__}.PanicException: "
        "the decoder module does not match this package (reinstall quorvel)"
    )


PanicException: type[BaseException] = _panic_exception()

if TYPE_CHECKING:
    # For type checkers; at run time __getattr__ finds them on first use.
    from .encode import encode_frame as encode_frame
    from .recording import Recording as Recording
    from ._export import ExportSummary as ExportSummary
    from ._export import export as export
    from .recording import RecordingError as RecordingError
    from ._scan import scan as scan
    from .records import inspect_frame as inspect_frame

    __version__: str

__all__ = [
    "decode_frame",
    "decoder_version",
    "Screen",
    "PanicException",
    "Recording",
    "RecordingError",
    "scan",
    "export",
    "ExportSummary",
]


def _version() -> str:
    """The package's version, written once in pyproject.toml. (The decoder has a version of
    its own: decoder_version().) Read on first use: importing importlib.metadata is not
    free, and it is not safe in every sub-interpreter of CPython 3.12."""
    from importlib import metadata

    try:
        return metadata.version("quorvel")
    except metadata.PackageNotFoundError:  # imported from a source tree, not installed
        return "0+unknown"


def __getattr__(name: str) -> Any:
    if name == "__version__":
        version = globals()["__version__"] = _version()
        return version
    # The encoder needs numpy: import it only when asked for.
    if name == "encode_frame":
        from .encode import encode_frame

        return encode_frame
    if name in ("Recording", "RecordingError"):
        # sqlite3 and the rest load when a recording is first used.
        from . import recording

        value = globals()[name] = getattr(recording, name)
        return value
    if name == "scan":
        from ._scan import scan

        return scan
    if name in ("export", "ExportSummary"):
        # PyAV and numpy load when a video is first written.
        from . import _export

        value = globals()[name] = getattr(_export, name)
        return value
    if name == "inspect_frame":
        from .records import inspect_frame

        return inspect_frame
    raise AttributeError(f"module 'quorvel' has no attribute {name!r}")

"""Files that appear whole or not at all: every file the package's commands write goes through here.

    from quorvel._atomic import atomic_output
    with atomic_output(path) as file:       # a binary file object
        file.write(png)                     # or: picture.save(file, format="JPEG")

The data goes to a temporary file in the target's own folder (so that the final rename stays on one
file system), is flushed and synced to the disk, and only then renamed over `path`. A reader sees the
earlier file or the new one, never a cut one: a full disk, a read-only folder or an exception in the
writer leaves the folder as it was, with no temporary file and the earlier file of that name unharmed.
"""

from __future__ import annotations

import errno
import io
import os
import secrets
import stat
from collections.abc import Iterator
from contextlib import contextmanager
from typing import BinaryIO

__all__ = ["atomic_output", "atomic_path"]


def _create_temporary(folder: str, name: str) -> tuple[int, str]:
    """A new empty file beside the target, open for writing: its descriptor and path.

    Created with mode 0o666 as open() does, so that the process's umask (and a folder's default
    ACL) decide its permissions, not the 0o600 that tempfile gives. The name starts with a dot and
    ends in ".tmp", so that a listing of `*.png` or `*.frame` never picks it up.
    """
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        # Cut so that the temporary name stays within the 255 bytes a name may have.
        stem = os.fsdecode(os.fsencode(name)[:200])
        temporary = os.path.join(folder, f".{stem}.{secrets.token_hex(4)}.tmp")
        try:
            return os.open(temporary, flags, 0o666), temporary
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", os.path.join(folder, f".{name}.*.tmp"))


class _Output(io.BufferedWriter):
    """The file atomic_output gives: a buffered writer with no fileno(), so that every byte goes
    through write(), which goes on after a short write and raises when the disk refuses one.

    A library that finds a descriptor writes to it itself; Pillow does, and takes a short write
    (the last bytes that fit on a full disk) for success, leaving a cut picture. Without one it
    writes through the file object, as it does to io.BytesIO.
    """

    def fileno(self) -> int:
        raise io.UnsupportedOperation("atomic_output's file takes its data through write()")


def _temporary_for(path: str | os.PathLike[str]) -> tuple[str, int, str]:
    """The file `path` names (links followed), and a new temporary file beside it, open for
    writing, with the permission bits open() would keep when it overwrites a file there."""
    target = os.path.realpath(os.fspath(path))
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    folder, name = os.path.split(target)
    fd, temporary = _create_temporary(folder, name)
    try:
        earlier = os.stat(target)
    except FileNotFoundError:
        pass
    except BaseException:
        os.close(fd)
        os.unlink(temporary)
        raise
    else:
        try:
            os.fchmod(fd, stat.S_IMODE(earlier.st_mode))
        except BaseException:
            os.close(fd)
            os.unlink(temporary)
            raise
    return target, fd, temporary


@contextmanager
def atomic_output(path: str | os.PathLike[str], *, exclusive: bool = False) -> Iterator[BinaryIO]:
    """Opens `path` for writing, all or nothing: a binary file whose contents replace `path` when
    the `with` block ends without an exception. The file has no fileno(): write to it through
    write() (Pillow's save() does so with it). With exclusive=True it never replaces a file: a
    file of that name, there already or made meanwhile, gives FileExistsError at the end, as
    open(path, "xb") would at the start.

    The file is a temporary one in `path`'s folder. On leaving the block it is flushed, synced
    (os.fsync) and renamed over `path`; on an exception (the writer's own, or an OSError from a
    write, the sync or the rename) it is removed and the exception goes on, so that nothing new is
    left and an earlier file of that name keeps its contents. Open failures come as open() gives
    them: FileNotFoundError for a missing folder, IsADirectoryError when `path` is a folder,
    PermissionError or "Read-only file system" for a folder that cannot be written.

    The new file gets the permissions open() would give: those of the file it replaces, or 0o666
    less the umask. A symbolic link at `path` is followed, as open() does: the file it names is
    replaced and the link stays. The folder itself is not synced: after a crash it may still hold
    the earlier file, but never a cut one.
    """
    target, fd, temporary = _temporary_for(path)
    try:
        raw = io.FileIO(fd, "wb")
        fd = -1  # the file object owns the descriptor now, and closes it
        with _Output(raw) as file:
            yield file
            file.flush()
            os.fsync(raw.fileno())
        if exclusive:
            # A second name for the finished file, refused where one exists; then the first goes.
            os.link(temporary, target)
            os.unlink(temporary)
        else:
            os.replace(temporary, target)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


@contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[str]:
    """atomic_output for a writer that wants a file name, not a file object (FFmpeg opens and
    writes its output itself): gives the path of a new empty temporary file beside `path`, named
    as atomic_output names its own. When the block ends without an exception the file is synced
    and renamed over `path` (keeping the permission bits of a file it replaces); on an exception
    it is removed and the exception goes on. The writer must have closed the file by then.
    """
    target, fd, temporary = _temporary_for(path)
    try:
        os.close(fd)
        fd = -1
        yield temporary
        fd = os.open(temporary, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        os.fsync(fd)
        os.close(fd)
        fd = -1
        os.replace(temporary, target)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise

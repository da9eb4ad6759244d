"""The helper every writer goes through: a file appears whole, or nothing changes."""

import os
import stat

import pytest

from quorvel._atomic import atomic_output


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir())


@pytest.mark.parametrize("earlier", [None, 0o640, 0o604])
def test_a_whole_file_with_the_permissions_open_gives(earlier, tmp_path):
    path = tmp_path / "out.png"
    if earlier is not None:
        path.write_bytes(b"old")
        path.chmod(earlier)
    umask = os.umask(0o027)
    try:
        with atomic_output(path) as file:
            file.write(b"new ")
            file.write(b"data")
    finally:
        os.umask(umask)
    assert path.read_bytes() == b"new data"
    assert stat.S_IMODE(path.stat().st_mode) == (0o640 if earlier is None else earlier)
    assert leftovers(tmp_path) == ["out.png"]


class Stop(Exception):
    pass


@pytest.mark.parametrize("exclusive", [False, True])
@pytest.mark.parametrize("earlier", [None, b"a good earlier file"])
def test_a_failing_writer_leaves_nothing_new(earlier, exclusive, tmp_path):
    path = tmp_path / "out.frame"
    if earlier is not None:
        path.write_bytes(earlier)
    with pytest.raises(Stop):
        with atomic_output(path, exclusive=exclusive) as file:
            file.write(b"half a file")
            file.flush()
            raise Stop
    assert leftovers(tmp_path) == ([] if earlier is None else ["out.frame"])
    if earlier is not None:
        assert path.read_bytes() == earlier


def test_exclusive_never_replaces_and_links_are_followed(tmp_path):
    path = tmp_path / "taken.png"
    path.write_bytes(b"first")
    with pytest.raises(FileExistsError):
        with atomic_output(path, exclusive=True) as file:
            file.write(b"second")
    assert path.read_bytes() == b"first" and leftovers(tmp_path) == ["taken.png"]
    # Written through a link, as open() writes: the link stays a link.
    (tmp_path / "link.png").symlink_to("taken.png")
    with atomic_output(tmp_path / "link.png") as file:
        file.write(b"third")
    assert (tmp_path / "link.png").is_symlink() and path.read_bytes() == b"third"
    assert leftovers(tmp_path) == ["link.png", "taken.png"]


@pytest.mark.parametrize(
    "target, error", [("missing/x.png", FileNotFoundError), (".", IsADirectoryError)], ids=["no folder", "a folder"]
)
def test_open_failures_come_as_open_gives_them(target, error, tmp_path):
    with pytest.raises(error):
        with atomic_output(tmp_path / target):
            pytest.fail("the block must not run")
    assert leftovers(tmp_path) == []

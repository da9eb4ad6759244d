"""Small pieces the tests share: frame headers, the end marker, integers of other kinds."""

# The 4-byte headers of the two modes (bytes 2..3: 444 and 422, big-endian).
H444, H422 = bytes.fromhex("000001bc"), bytes.fromhex("000001a6")
# A stream word whose first four bits are FRAME_END (code 9): 0x90000000, little-endian.
END = bytes([0, 0, 0, 0x90])


class Int(int):
    """An int subclass. Instances are never shared, so their reference counts say what a call
    did; its __index__ is never consulted (an int is taken at its value)."""

    def __index__(self):
        return 99


class Index:
    """Not an int, but has __index__; a BaseException as value is raised from __index__.
    Values above 256 are not the interpreter's shared small ints: their counts show too."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def require_extras(*needs):
    """Skips the test, with the reason, when a module or program of an optional extra is
    missing (a path is a program, a name a module); with QUORVEL_REQUIRE_EXTRAS=1 (set by CI
    where the extras install) the same is a failure instead."""
    import importlib.util
    import os

    import pytest

    missing = [n for n in needs if not (os.path.exists(n) if "/" in n else importlib.util.find_spec(n))]
    if missing:
        reason = f"needs {', '.join(missing)} (optional extras: ./dev test installs them on x86-64)"
        if os.environ.get("QUORVEL_REQUIRE_EXTRAS") == "1":
            pytest.fail(f"QUORVEL_REQUIRE_EXTRAS=1: {reason}")
        pytest.skip(reason)

"""Small pieces the tests share: frame headers, the end marker, integers of other kinds, seeds
that replay."""

import zlib

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


def seed_of(*parts):
    """A seed for random.Random from a test's parameters: the same in every process and on every
    CPU, so that a failure replays (hash() of a str is salted per process, and a tuple's hash
    depends on the word size)."""
    return zlib.crc32(repr(parts).encode())

"""Builds compressed frames bit by bit, for tests and tools.

The stream after the 4-byte header is a run of 32-bit words, each stored
little-endian and read from bit 31 down.  Records follow each other with no
alignment: a 4-bit block code, an optional 8-bit column and row, then a VQ
header and pixel codes or Huffman-coded 8x8 blocks (baseline JPEG, Annex K
tables).
"""

DCT, DCT_ALT, VQ_1, FRAME_END, AT = 0, 4, 5, 9, 8


class BitWriter:
    """Bits are written MSB first and flushed a 32-bit word at a time."""

    def __init__(self):
        self.words, self.acc, self.nacc = bytearray(), 0, 0

    def write(self, value: int, nbits: int) -> None:
        assert 0 <= value < 1 << nbits, (value, nbits)
        self.acc, self.nacc = self.acc << nbits | value, self.nacc + nbits
        while self.nacc >= 32:
            self.nacc -= 32
            self.words += (self.acc >> self.nacc).to_bytes(4, "little")
            self.acc &= (1 << self.nacc) - 1

    def to_bytes(self) -> bytes:
        tail = (self.acc << (32 - self.nacc)).to_bytes(4, "little") if self.nacc else b""
        return bytes(self.words) + tail


def _huffman(counts, symbols):
    """Canonical code assignment: symbol -> (code, length)."""
    assert sum(counts) == len(symbols) == len(set(symbols))
    table, code, it = {}, 0, iter(symbols)
    for length, n in enumerate(counts, 1):
        for _ in range(n):
            table[next(it)] = (code, length)
            code += 1
        code <<= 1
    return table


def _runs(*spans):
    """Expands (first, last) byte ranges into a symbol list."""
    return [s for a, b in spans for s in range(a, b + 1)]


LUMA_DC = _huffman([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0], list(range(12)))
CHROMA_DC = _huffman([0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0], list(range(12)))
LUMA_AC = _huffman(
    [0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125],
    [
        0x01,
        0x02,
        0x03,
        0x00,
        0x04,
        0x11,
        0x05,
        0x12,
        0x21,
        0x31,
        0x41,
        0x06,
        0x13,
        0x51,
        0x61,
        0x07,
        0x22,
        0x71,
        0x14,
        0x32,
        0x81,
        0x91,
        0xA1,
        0x08,
        0x23,
        0x42,
        0xB1,
        0xC1,
        0x15,
        0x52,
        0xD1,
        0xF0,
        0x24,
        0x33,
        0x62,
        0x72,
        0x82,
        0x09,
        0x0A,
        0x16,
        0x17,
        0x18,
        0x19,
        0x1A,
        0x25,
        0x26,
        0x27,
        0x28,
        0x29,
        0x2A,
    ]
    + _runs(
        (0x34, 0x3A),
        (0x43, 0x4A),
        (0x53, 0x5A),
        (0x63, 0x6A),
        (0x73, 0x7A),
        (0x83, 0x8A),
        (0x92, 0x9A),
        (0xA2, 0xAA),
        (0xB2, 0xBA),
        (0xC2, 0xCA),
        (0xD2, 0xDA),
        (0xE1, 0xEA),
        (0xF1, 0xFA),
    ),
)
CHROMA_AC = _huffman(
    [0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 119],
    [
        0x00,
        0x01,
        0x02,
        0x03,
        0x11,
        0x04,
        0x05,
        0x21,
        0x31,
        0x06,
        0x12,
        0x41,
        0x51,
        0x07,
        0x61,
        0x71,
        0x13,
        0x22,
        0x32,
        0x81,
        0x08,
        0x14,
        0x42,
        0x91,
        0xA1,
        0xB1,
        0xC1,
        0x09,
        0x23,
        0x33,
        0x52,
        0xF0,
        0x15,
        0x62,
        0x72,
        0xD1,
        0x0A,
        0x16,
        0x24,
        0x34,
        0xE1,
        0x25,
        0xF1,
        0x17,
        0x18,
        0x19,
        0x1A,
        0x26,
        0x27,
        0x28,
        0x29,
        0x2A,
    ]
    + _runs(
        (0x35, 0x3A),
        (0x43, 0x4A),
        (0x53, 0x5A),
        (0x63, 0x6A),
        (0x73, 0x7A),
        (0x82, 0x8A),
        (0x92, 0x9A),
        (0xA2, 0xAA),
        (0xB2, 0xBA),
        (0xC2, 0xCA),
        (0xD2, 0xDA),
        (0xE2, 0xEA),
        (0xF2, 0xFA),
    ),
)

# Zig-zag scan: anti-diagonals r + c in turn, odd ones walked downwards.
ZIGZAG = sorted(range(64), key=lambda p: (p // 8 + p % 8, p // 8 if (p // 8 + p % 8) % 2 else p % 8))


def magnitude(v: int):
    """(size, bits) of a coefficient value as JPEG codes it."""
    s = abs(v).bit_length()
    return s, (v if v >= 0 else v + (1 << s) - 1)


class FrameWriter:
    def __init__(self, mode: int = 444, prefix: bytes = b"\0\0"):
        assert mode in (422, 444) and len(prefix) == 2
        self.mode, self.prefix, self.bits = mode, prefix, BitWriter()
        self.dc = [0, 0, 0]
        self.records = []  # what was written, for the reference renderer

    def raw(self, value: int, nbits: int) -> "FrameWriter":
        self.bits.write(value, nbits)
        return self

    def _code(self, code, at):
        self.raw(code | (AT if at else 0), 4)
        if at:
            self.raw(at[0], 8).raw(at[1], 8)

    def _block(self, levels, comp, dc_table, ac_table):
        diff = levels[0] - self.dc[comp]
        self.dc[comp] = levels[0]
        s, bits = magnitude(diff)
        assert s <= 11, "DC difference out of range"
        self.raw(*dc_table[s]).raw(bits, s)
        run = 0
        for k in range(1, 64):
            v = levels[ZIGZAG[k]]
            if v == 0:
                run += 1
                continue
            while run > 15:
                self.raw(*ac_table[0xF0])
                run -= 16
            s, bits = magnitude(v)
            assert s <= 10, "AC level out of range"
            self.raw(*ac_table[run << 4 | s]).raw(bits, s)
            run = 0
        if run:
            self.raw(*ac_table[0x00])

    def dct(self, blocks, *, alt: bool = False, at=None) -> "FrameWriter":
        nluma = 4 if self.mode == 422 else 1
        assert len(blocks) == nluma + 2 and all(len(b) == 64 for b in blocks)
        self._code(DCT_ALT if alt else DCT, at)
        for i, b in enumerate(blocks):
            if i < nluma:
                self._block(b, 0, LUMA_DC, LUMA_AC)
            else:
                self._block(b, i - nluma + 1, CHROMA_DC, CHROMA_AC)
        self.records.append(("dct", [list(b) for b in blocks], alt, at))
        return self

    def vq(self, entries, codes=(), *, at=None) -> "FrameWriter":
        n = {1: 0, 2: 1, 4: 2}[len(entries)]
        assert len(codes) == (64 if n else 0)
        self._code(VQ_1 + n, at)
        for index, colour in entries:
            if colour is None:
                self.raw(index, 3)
            else:
                self.raw(4 | index, 3).raw(colour, 24)
        for c in codes:
            self.raw(c, n)
        self.records.append(("vq", list(entries), list(codes), at))
        return self

    def end(self) -> "FrameWriter":
        return self.raw(FRAME_END, 4)

    def to_bytes(self) -> bytes:
        data = self.prefix + self.mode.to_bytes(2, "big") + self.bits.to_bytes()
        return data + bytes(max(0, 12 - len(data)))

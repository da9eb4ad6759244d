"""A pure-Python walk over the records of a compressed frame, for `quorvel info`.

    from quorvel.records import inspect_frame
    info = inspect_frame(data, 1024, 768)
    info.counts()        # {"DCT": 9000, "VQ_1": 2000, ...}
    info.records[0]      # Record(code=0, column=0, row=0, offset=32, bits=311, ...)

It reads the stream the way the decoder does (the same bit order, Huffman
lookup, running position, block limit and failures) but draws nothing: it
says what the frame holds. It is independent of the C++ decoder and needs
nothing beyond the standard library.
"""

from __future__ import annotations

from array import array
from collections import Counter
from dataclasses import dataclass, field

from . import _format as fmt

__all__ = ["inspect_frame", "FrameInfo", "Record"]

# Zero bits appended after the data: past its end the stream reads as zeros,
# and no record read from the last real bits reaches further than this.
_ZERO_TAIL = 8192


def _lookup(huffman: fmt.HuffmanSpec) -> list[tuple[int, int]]:
    """(length, symbol) for every 16-bit prefix, as the decoder's tables give them.

    Bits that begin no code (the all-ones end of the DC codes) give symbol 0
    after as many bits as the longest code; sixteen 1 bits give symbol 0 and
    consume nothing.
    """
    codes = fmt.canonical_codes(huffman)
    longest = max(length for _, length in codes.values())
    lookup = [(longest, 0)] * 65536
    for symbol, (code, length) in codes.items():
        first = code << (16 - length)
        lookup[first : first + (1 << (16 - length))] = [(length, symbol)] * (1 << (16 - length))
    lookup[65535] = (0, 0)
    return lookup


_TABLES: dict[str, list[tuple[int, int]]] = {}


def _tables() -> dict[str, list[tuple[int, int]]]:
    if not _TABLES:
        _TABLES.update(
            luma_dc=_lookup(fmt.LUMA_DC_TABLE),
            luma_ac=_lookup(fmt.LUMA_AC_TABLE),
            chroma_dc=_lookup(fmt.CHROMA_DC_TABLE),
            chroma_ac=_lookup(fmt.CHROMA_AC_TABLE),
        )
    return _TABLES


@dataclass
class Record:
    """One macroblock record."""

    code: int
    column: int
    row: int
    offset: int  # first bit of the record, counted from the start of the stream (byte 4)
    bits: int  # its length in bits, block code included
    new_colours: int = 0  # VQ: colours its header put into the cache
    blocks: list[list[int]] | None = None  # DCT, when asked for: the levels of each 8x8 block, natural order
    entries: list[tuple[int, int | None]] | None = None  # VQ, when asked for: (cache index, colour or None)
    pixel_codes: list[int] | None = None  # VQ, when asked for: the 64 pixel codes

    @property
    def name(self) -> str:
        return fmt.CODE_NAMES[self.code]

    @property
    def explicit(self) -> bool:
        return bool(self.code & fmt.AT)


@dataclass
class FrameInfo:
    header: bytes
    mode: int
    width: int
    height: int
    mb_cols: int
    mb_rows: int
    block_limit: int
    stream_bits: int  # bits after the header in the data
    records: list[Record] = field(default_factory=list)
    ended: bool = False  # the stream reached FRAME_END
    end_offset: int | None = None  # first bit after the FRAME_END code
    error: str | None = None  # the decoder's message when the frame fails
    ran_out: bool = False  # the data ended before FRAME_END (the rest reads as zeros)

    @property
    def macroblock_size(self) -> int:
        return fmt.macroblock_size(self.mode)

    def counts(self) -> Counter[str]:
        """Records by block code name."""
        return Counter(r.name for r in self.records)

    def drawn(self) -> list[tuple[int, int]]:
        """Positions (column, row) of the macroblocks drawn, in stream order."""
        return [(r.column, r.row) for r in self.records]

    @property
    def trailing_bytes(self) -> int:
        """Bytes of data after the 32-bit word that holds FRAME_END (0 if it never came)."""
        if self.end_offset is None:
            return 0
        used = ((self.end_offset - 1) // 32 + 1) * 4
        return max(0, self.stream_bits // 8 - used)


def _stream_bits(data: bytes) -> str:
    """The stream after the header as '0'/'1' characters, in reading order.

    Each 32-bit little-endian word is read from bit 31 down; a short last word
    has its missing high bytes zero, so its zero bits come first.
    """
    body = data[4:]
    whole = len(body) // 4 * 4
    words = array("I")  # 4-byte items; byteswap turns every word around
    assert words.itemsize == 4
    words.frombytes(body[:whole])
    words.byteswap()
    swapped = words.tobytes()
    bits = bin(int.from_bytes(swapped, "big") | (1 << 8 * len(swapped)))[3:] if swapped else ""
    if whole < len(body):
        bits += format(int.from_bytes(body[whole:], "little"), "032b")
    return bits


def inspect_frame(data: bytes, width: int, height: int, *, keep: bool = False) -> FrameInfo:
    """Walks the records of a frame as the decoder would for a width x height picture.

    Raises ValueError with the decoder's message for a frame whose header it
    refuses. A stream that fails later (an unknown block code, no FRAME_END
    within the block limit) comes back with `error` set and the records read
    before the failure. keep=True also keeps every record's contents.
    """
    if len(data) < 4:
        raise ValueError("codec_data too short (< 4 bytes)")
    mode = int.from_bytes(data[2:4], "big")
    if mode not in fmt.MODES:
        raise ValueError(f"unknown mode {mode}")
    if len(data) < 12:
        raise ValueError("codec_data too short for bitstream init")
    mb_cols, mb_rows = fmt.macroblock_grid(mode, width, height)
    limit = fmt.block_limit(mode, width, height)
    real = _stream_bits(data)
    info = FrameInfo(bytes(data[:4]), mode, width, height, mb_cols, mb_rows, limit, 8 * (len(data) - 4))
    bits = real + "0" * _ZERO_TAIL
    luma_blocks = 4 if mode == fmt.MODE_422 else 1
    t = _tables()
    luma, chroma = (t["luma_dc"], t["luma_ac"]), (t["chroma_dc"], t["chroma_ac"])
    layout = [luma] * luma_blocks + [chroma, chroma]
    zigzag = fmt.ZIGZAG
    pos = col = row = 0
    dc = [0, 0, 0]
    for count in range(limit + 1):
        if pos >= len(real):
            # From here on the stream is zeros, which read as DCT records without
            # end: the decoder runs into its block limit.
            info.error, info.ran_out = "exceeded block limit without FRAME_END marker", True
            return info
        start = pos
        code = int(bits[pos : pos + 4], 2)
        if code == fmt.FRAME_END:
            info.ended, info.end_offset = True, pos + 4
            return info
        if code in fmt.REFUSED_CODES:
            info.error = f"unknown block flag: {code}"
            return info
        pos += 4
        if code & fmt.AT:
            col, row = int(bits[pos : pos + 8], 2), int(bits[pos + 8 : pos + 16], 2)
            pos += 16
        record = Record(code, col, row, start, 0)
        base = code & ~fmt.AT
        if code in fmt.DCT_CODES:
            blocks: list[list[int]] | None = [] if keep else None
            for b, (dc_table, ac_table) in enumerate(layout):
                comp = 0 if b < luma_blocks else b - luma_blocks + 1
                length, s = dc_table[int(bits[pos : pos + 16], 2)]
                pos += length
                if s:
                    v = int(bits[pos : pos + s], 2)
                    if v < 1 << (s - 1):
                        v -= (1 << s) - 1
                    pos += s
                    dc[comp] += v
                levels: list[int] | None = [0] * 64 if keep else None
                if levels is not None:
                    levels[0] = dc[comp]
                k = 1
                while k < 64:
                    length, rs = ac_table[int(bits[pos : pos + 16], 2)]
                    pos += length
                    s = rs & 15
                    if not s:
                        if rs != 0xF0:
                            break
                        k += 16
                        continue
                    k += rs >> 4
                    if k >= 64:
                        break
                    if levels is not None:
                        v = int(bits[pos : pos + s], 2)
                        levels[zigzag[k]] = v if v >= 1 << (s - 1) else v - (1 << s) + 1
                    pos += s
                    k += 1
                if blocks is not None and levels is not None:
                    blocks.append(levels)
            record.blocks = blocks
        else:
            index_bits = base - fmt.VQ_1
            entries = []
            for _ in range(1 << index_bits):
                flag, index = bits[pos] == "1", int(bits[pos + 1 : pos + 3], 2)
                colour = int(bits[pos + 3 : pos + 27], 2) if flag else None
                pos += 27 if flag else 3
                entries.append((index, colour))
            record.new_colours = sum(c is not None for _, c in entries)
            if keep:
                record.entries = entries
                record.pixel_codes = (
                    [int(bits[pos + i * index_bits : pos + (i + 1) * index_bits], 2) for i in range(64)]
                    if index_bits
                    else []
                )
            pos += 64 * index_bits
        record.bits = pos - start
        info.records.append(record)
        col += 1
        if col >= mb_cols:
            col, row = 0, row + 1
            if row >= mb_rows:
                row = 0
    info.error = "exceeded block limit without FRAME_END marker"
    return info

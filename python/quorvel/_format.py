"""Constants of the compressed frame format, shared by the encoder and the inspector.

Pure Python, no numpy: the inspector must run where only the decoder is installed.

A frame is a 4-byte header (bytes 2..3: the mode, big-endian) and a bit stream
of records. The stream is stored as 32-bit little-endian words whose bits are
read from bit 31 down. A record opens with a 4-bit block code; bit 3 of the code
adds an explicit macroblock position (8-bit column, 8-bit row).
"""

MODE_422 = 422  # 16x16 macroblocks: four Y blocks, one Cb and one Cr (4:2:0)
MODE_444 = 444  # 8x8 macroblocks: one block each of Y, Cb, Cr (4:4:4)
MODES = (MODE_422, MODE_444)
MODE_TEXT = {MODE_422: "16x16 macroblocks, 4:2:0", MODE_444: "8x8 macroblocks, 4:4:4"}


def macroblock_size(mode: int) -> int:
    """The side of a macroblock in pixels: 16 in mode 422, 8 in mode 444."""
    return 16 if mode == MODE_422 else 8


def macroblock_grid(mode: int, width: int, height: int) -> tuple[int, int]:
    """(columns, rows) of macroblocks that cover a width x height picture."""
    n = macroblock_size(mode)
    return -(-width // n), -(-height // n)


def block_limit(mode: int, width: int, height: int) -> int:
    """How many records the decoder reads before it gives up on a frame without FRAME_END.

    One per 64 pixels, at least 4096, and never fewer than the frame's own
    macroblocks, so that a complete frame of any size decodes.
    """
    cols, rows = macroblock_grid(mode, width, height)
    return max(width * height >> 6, 4096, cols * rows)


# Block codes.
DCT, DCT_ALT, VQ_1, VQ_2, VQ_4, FRAME_END = 0, 4, 5, 6, 7, 9
AT = 8  # added to DCT, DCT_ALT and the VQ codes for the explicit-position forms
DCT_AT, DCT_ALT_AT, VQ_1_AT, VQ_2_AT, VQ_4_AT = 8, 12, 13, 14, 15
CODE_NAMES = {
    DCT: "DCT",
    DCT_ALT: "DCT_ALT",
    VQ_1: "VQ_1",
    VQ_2: "VQ_2",
    VQ_4: "VQ_4",
    FRAME_END: "FRAME_END",
    DCT_AT: "DCT_AT",
    DCT_ALT_AT: "DCT_ALT_AT",
    VQ_1_AT: "VQ_1_AT",
    VQ_2_AT: "VQ_2_AT",
    VQ_4_AT: "VQ_4_AT",
}
REFUSED_CODES = (1, 2, 3, 10, 11)
DCT_CODES = (DCT, DCT_ALT, DCT_AT, DCT_ALT_AT)
VQ_CODES = (VQ_1, VQ_2, VQ_4, VQ_1_AT, VQ_2_AT, VQ_4_AT)
MAX_POSITION = 255  # explicit columns and rows are 8-bit fields

# The colour cache every frame starts with: packed Y << 16 | Cb << 8 | Cr.
INITIAL_CACHE = (0x008080, 0xFF8000, 0x808080, 0xC08000)

# ITU-T T.81 Annex K: Table K.1 (luminance) and K.2 (chrominance) quantisation,
# natural (row-major) order.
K1 = (
    16,
    11,
    10,
    16,
    24,
    40,
    51,
    61,
    12,
    12,
    14,
    19,
    26,
    58,
    60,
    55,
    14,
    13,
    16,
    24,
    40,
    57,
    69,
    56,
    14,
    17,
    22,
    29,
    51,
    87,
    80,
    62,
    18,
    22,
    37,
    56,
    68,
    109,
    103,
    77,
    24,
    35,
    55,
    64,
    81,
    104,
    113,
    92,
    49,
    64,
    78,
    87,
    103,
    121,
    120,
    101,
    72,
    92,
    95,
    98,
    112,
    100,
    103,
    99,
)
K2 = (
    17,
    18,
    24,
    47,
    99,
    99,
    99,
    99,
    18,
    21,
    26,
    66,
    99,
    99,
    99,
    99,
    24,
    26,
    56,
    99,
    99,
    99,
    99,
    99,
    47,
    66,
    99,
    99,
    99,
    99,
    99,
    99,
) + (99,) * 32


def quant_steps(mode: int, alternative: bool) -> tuple[tuple[int, ...], tuple[int, ...]]:
    """The (luma, chroma) quantisation steps of a pair, natural order.

    The frame's mode picks the primary luma table; the alternative pair is the
    same in both modes and much coarser. A level L of a coefficient with step q
    stands for the T.81 DCT coefficient L * q.
    """
    if alternative:
        return tuple(k * 5 // 4 for k in K1), tuple(k * 15 // 8 for k in K2)
    luma = tuple(k // 8 for k in K1) if mode == MODE_444 else tuple(k * 9 // 16 for k in K1)
    return luma, tuple(k * 3 // 16 for k in K2)


# Zig-zag scan (T.81 Figure A.6): ZIGZAG[k] is the natural position of the k-th
# coefficient in the stream. Anti-diagonals in turn, even ones walked upwards.
ZIGZAG = tuple(sorted(range(64), key=lambda p: (p // 8 + p % 8, (p // 8) if (p // 8 + p % 8) % 2 else (p % 8))))


def _spans(*ranges: tuple[int, int]) -> list[int]:
    return [s for first, last in ranges for s in range(first, last + 1)]


# A Huffman code as JPEG writes it: the number of codes of each length 1..16, and
# the symbols in code order.
HuffmanSpec = tuple[tuple[int, ...], tuple[int, ...]]

# The fixed Huffman codes, T.81 Annex K Tables K.3 to K.6: code counts for the
# lengths 1..16 and the symbols in code order. A DC symbol is the size of the
# DC difference; an AC symbol is run << 4 | size, 0x00 ends the block and 0xF0
# stands for sixteen zeros.
LUMA_DC_TABLE: HuffmanSpec = ((0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0), tuple(range(12)))
CHROMA_DC_TABLE: HuffmanSpec = ((0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0), tuple(range(12)))
LUMA_AC_TABLE: HuffmanSpec = (
    (0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125),
    tuple(
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
        + _spans(
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
        )
    ),
)
CHROMA_AC_TABLE: HuffmanSpec = (
    (0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 119),
    tuple(
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
        + _spans(
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
        )
    ),
)


def canonical_codes(table: HuffmanSpec) -> dict[int, tuple[int, int]]:
    """symbol -> (code, length) by the canonical assignment of T.81 Annex C."""
    counts, symbols = table
    codes: dict[int, tuple[int, int]] = {}
    code, it = 0, iter(symbols)
    for length, count in enumerate(counts, 1):
        for _ in range(count):
            codes[next(it)] = (code, length)
            code += 1
        code <<= 1
    return codes


# Colour conversion of the decoder: BT.601 studio range in 16.16 fixed point.
# R = Y' + Cr * CR_R, G = Y' + Cb * CB_G + Cr * CR_G, B = Y' + Cb * CB_B, with
# Y' = (Y - 16) * Y_GAIN and chroma centred on 128; each term is rounded on its
# own and each sum clamped to 0..255.
Y_GAIN, CR_R, CB_G, CR_G, CB_B = 76284, 104704, -25600, -53248, 132096


def colour_term(k: int, sample: int, centre: int) -> int:
    return ((sample - centre) * k + 32768) >> 16

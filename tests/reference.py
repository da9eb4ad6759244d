"""An independent model of the pixel pipeline, for checking whole frames.

Replays the records a FrameWriter wrote and renders the picture the decoder
must return: dequantisation and the integer AAN inverse DCT in wrapping 32-bit
arithmetic, the clamp table, the fixed-point BT.601 colour tables, the running
position, the VQ colour cache, and pixel stores clipped to the picture.
"""

import numpy as np

# The luminance and chrominance quantisation bases: ITU-T T.81 Annex K,
# Tables K.1 and K.2, natural order.
LUMA_QUANT_BASE = [
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
]
CHROMA_QUANT_BASE = [
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
] + [99] * 32
AAN = [1.0, 1.387039845, 1.306562965, 1.175875602, 1.0, 0.785694958, 0.541196100, 0.275899379]


def quant_table(table, num, den):
    q = [min(255, max(1, k * num // den)) for k in table]
    return np.array([int(q[p] * AAN[p // 8] * AAN[p % 8] * 65536.0) for p in range(64)], dtype=np.int64).reshape(8, 8)


def quant_tables(mode):
    """Slots 0..3: primary luma and chroma, alternative luma and chroma."""
    luma = (LUMA_QUANT_BASE, 1, 8) if mode == 444 else (LUMA_QUANT_BASE, 9, 16)
    return [
        quant_table(*luma),
        quant_table(CHROMA_QUANT_BASE, 3, 16),
        quant_table(LUMA_QUANT_BASE, 5, 4),
        quant_table(CHROMA_QUANT_BASE, 15, 8),
    ]


CLAMP = np.array([0] * 256 + list(range(256)) + [255] * 384 + [0] * 384 + list(range(128)), dtype=np.int32)


def _lut(k, centre):
    return np.array([((i - centre) * k + 32768) >> 16 for i in range(256)], dtype=np.int32)


CR_R, CB_B, CR_G, CB_G = (_lut(k, 128) for k in (104704, 132096, -53248, -25600))
Y_LEVEL = _lut(76284, 16)


def _m(x, k):
    return (x * np.int32(k)) >> 8


def _butterfly(d):
    t10, t11, t13 = d[0] + d[4], d[0] - d[4], d[2] + d[6]
    t12 = _m(d[2] - d[6], 362) - t13
    e0, e3, e1, e2 = t10 + t13, t10 - t13, t11 + t12, t11 - t12
    z13, z10, z11, z12 = d[5] + d[3], d[5] - d[3], d[1] + d[7], d[1] - d[7]
    o7 = z11 + z13
    z5 = _m(z10 + z12, 473)
    o6 = _m(z10, -669) + z5 - o7
    o5 = _m(z11 - z13, 362) - o6
    o4 = _m(z12, 277) - z5 + o5
    return [e0 + o7, e1 + o6, e2 + o5, e3 - o4, e3 + o4, e2 - o5, e1 - o6, e0 - o7]


def idct(levels, table):
    """64 quantised levels (natural order) -> 8x8 array of samples."""
    with np.errstate(over="ignore"):
        d = ((np.asarray(levels, dtype=np.int64).reshape(8, 8) * table) >> 16).astype(np.int32)
        cols = np.stack(_butterfly([d[k] for k in range(8)]))  # [y, v]
        rows = np.stack(_butterfly([cols[:, k] for k in range(8)]), axis=1)  # [y, x]
    return CLAMP[384 + ((rows >> 3) & 1023)].astype(np.uint8)


def ycbcr_to_rgb(y, cb, cr):
    """Arrays of 8-bit samples -> array of RGB triples (last axis)."""
    y, cb, cr = (np.asarray(a, dtype=np.int64) for a in (y, cb, cr))
    level = Y_LEVEL[y] + 256
    sums = [level + CR_R[cr], level + CB_G[cb] + CR_G[cr], level + CB_B[cb]]
    return np.stack([CLAMP[np.clip(s, 0, 1407)] for s in sums], axis=-1).astype(np.uint8)


def luma_term(y):
    """Arrays of 8-bit Y samples -> grey levels: the luma term alone, clamped to 0..255."""
    return np.clip(Y_LEVEL[np.asarray(y, dtype=np.int64)], 0, 255).astype(np.uint8)


INITIAL_COLOURS = [0x008080, 0xFF8000, 0x808080, 0xC08000]


def render(writer, width, height, gray=False, samples=False):
    """The picture that decoding writer.to_bytes() at width x height must give
    (gray: the grey levels of a GRAY picture, one byte a pixel; samples: the
    Y, Cb and Cr samples before the conversion, three bytes a pixel, 4:2:0
    chroma repeated over its 2x2 pixels)."""
    n = 16 if writer.mode == 422 else 8
    mb_cols, mb_rows = -(-width // n), -(-height // n)
    tables = quant_tables(writer.mode)
    frame = np.zeros((height, width) if gray else (height, width, 3), dtype=np.uint8)
    colours, slots = list(INITIAL_COLOURS), [0] * 4
    col = row = 0
    for kind, *rec in writer.records:
        at = rec[-1]
        if at:
            col, row = at
        if kind == "dct":
            blocks, alt = rec[0], rec[1]
            luma, chroma = tables[2 * alt], tables[2 * alt + 1]
            ys = [idct(b, luma) for b in blocks[:-2]]
            cb, cr = (idct(b, chroma) for b in blocks[-2:])
            if n == 16:
                y = np.block([[ys[0], ys[1]], [ys[2], ys[3]]])
                cb, cr = (np.repeat(np.repeat(c, 2, 0), 2, 1) for c in (cb, cr))
            else:
                y = ys[0]
            pixels = np.stack([y, cb, cr], -1) if samples else luma_term(y) if gray else ycbcr_to_rgb(y, cb, cr)
        else:
            entries, codes = rec[0], rec[1]
            for k, (index, colour) in enumerate(entries):
                slots[k] = index
                if colour is not None:
                    colours[index] = colour
            packed = np.array([colours[slots[c]] for c in (codes or [0] * 64)]).reshape(8, 8)
            if n == 16:  # one code per 2x2 group
                packed = np.repeat(np.repeat(packed, 2, 0), 2, 1)
            y, cb, cr = packed >> 16, (packed >> 8) & 255, packed & 255
            pixels = np.stack([y, cb, cr], -1) if samples else luma_term(y) if gray else ycbcr_to_rgb(y, cb, cr)
        x0, y0 = n * col, n * row
        if x0 < width and y0 < height:
            dst = frame[y0 : y0 + n, x0 : x0 + n]
            dst[...] = pixels[: dst.shape[0], : dst.shape[1]]
        col += 1
        if col >= mb_cols:
            col, row = 0, row + 1
            if row >= mb_rows:
                row = 0
    return frame.tobytes()


def as_image(data, width, height):
    return np.frombuffer(data, dtype=np.uint8).reshape(height, width, 3)


def check(writer, width, height):
    """Decodes the writer's frame and compares it with the model byte for byte."""
    from quorvel._ast2100 import decode_frame

    got = np.frombuffer(decode_frame(writer.to_bytes(), width, height), dtype=np.uint8)
    bad = np.flatnonzero(got != np.frombuffer(render(writer, width, height), dtype=np.uint8)) // 3
    assert not len(bad), f"{len(bad)} bytes differ, first at pixel ({bad[0] % width}, {bad[0] // width})"

"""The encoder: an RGB picture in, one compressed frame out.

    from quorvel.encode import encode_frame
    data = encode_frame(rgb)                         # key frame, 8x8 mode, primary pair
    delta = encode_frame(rgb2, previous=rgb)         # only the macroblocks that changed

Each macroblock becomes one record. A macroblock with at most four colours is
sent as a VQ record: its colours go through the decoder's four-entry colour
cache (a colour already there costs 3 bits instead of 27) and every pixel gets a
0-, 1- or 2-bit code. Any other macroblock is a DCT record: BT.601 studio-range
YCbCr, a forward DCT per 8x8 block, quantisation with the fixed tables of the
chosen pair, and the fixed JPEG Huffman codes, the DC values predicted from the
previous block of the same component anywhere earlier in the frame.

In the 16x16 mode the decoder paints a VQ pixel code over a 2x2 pixel group, so
there a macroblock is sent as VQ only when it is made of at most four colours in
whole 2x2 groups.

Everything per block is numpy-vectorised; the only Python loop walks the VQ
records to keep the colour cache, which depends on the order of the records.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Union

import numpy as np

from . import _format as fmt

if TYPE_CHECKING:
    from PIL.Image import Image

# What the encoder takes: a height x width x 3 uint8 array, or a Pillow image.
Picture = Union[np.ndarray, "Image"]

__all__ = ["encode_frame", "encode", "EncodedFrame", "nearest_ycbcr", "QUALITIES"]

QUALITIES = {"high": False, "low": True}  # quality -> uses the alternative (coarser) pair

# --- colour ------------------------------------------------------------------

# The decoder's YCbCr -> RGB matrix (before rounding and clamping), and its
# inverse, the forward conversion that the DCT path uses.
_TO_RGB = (
    np.array([[fmt.Y_GAIN, 0, fmt.CR_R], [fmt.Y_GAIN, fmt.CB_G, fmt.CR_G], [fmt.Y_GAIN, fmt.CB_B, 0]], dtype=np.float64)
    / 65536.0
)
_TO_YCC = np.linalg.inv(_TO_RGB)
_YCC_OFFSET = np.array([16.0, 128.0, 128.0])

_Y_LUT = np.array([fmt.colour_term(fmt.Y_GAIN, i, 16) for i in range(256)], dtype=np.int32)
_CR_R_LUT, _CB_G_LUT, _CR_G_LUT, _CB_B_LUT = (
    np.array([fmt.colour_term(k, i, 128) for i in range(256)], dtype=np.int32)
    for k in (fmt.CR_R, fmt.CB_G, fmt.CR_G, fmt.CB_B)
)


def _decoded_rgb(y: np.ndarray, cb: np.ndarray, cr: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """What the decoder shows for YCbCr samples (integer arrays): three int32 arrays."""
    level = _Y_LUT[y]
    return (
        np.clip(level + _CR_R_LUT[cr], 0, 255),
        np.clip(level + _CB_G_LUT[cb] + _CR_G_LUT[cr], 0, 255),
        np.clip(level + _CB_B_LUT[cb], 0, 255),
    )


def _to_ycbcr(rgb: np.ndarray) -> np.ndarray:
    """Float YCbCr (last axis) of RGB values: the exact inverse of the decoder's matrix."""
    ycc: np.ndarray = rgb.astype(np.float64) @ _TO_YCC.T + _YCC_OFFSET
    return ycc


_UNREACHABLE = np.uint32(0xFFFFFFFF)
_shown: np.ndarray | None = None


def _shown_table() -> np.ndarray:
    """For every packed RGB colour, a packed YCbCr triple the decoder shows as exactly that colour.

    Built once, on first use (16M entries, 64 MiB, under a second): every
    triple is converted as the decoder converts it. Only about 3 million of
    the 16.7 million RGB colours can be shown exactly; the others hold
    _UNREACHABLE. Each of them has one within 2 levels per channel.
    """
    global _shown
    if _shown is None:
        table = np.full(1 << 24, _UNREACHABLE, dtype=np.uint32)
        cb, cr = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
        cbcr = (cb << 8 | cr).astype(np.uint32)
        for y in range(256):
            r, g, b = _decoded_rgb(np.full_like(cb, y), cb, cr)
            table[(r << 16 | g << 8 | b)] = np.uint32(y << 16) | cbcr
        _shown = table
    return _shown


# RGB offsets within 3 levels per channel, nearest first. Every colour has one
# the decoder can show within 2 levels per channel (squared distance <= 12), so
# the nearest one lies within 3 levels per channel: among these.
_d = range(-3, 4)
_NEIGHBOURS = np.array(
    sorted(((a, b, c) for a in _d for b in _d for c in _d), key=lambda o: (o[0] ** 2 + o[1] ** 2 + o[2] ** 2, o)),
    dtype=np.int32,
)


def nearest_ycbcr(packed_rgb: np.ndarray) -> np.ndarray:
    """For packed 0xRRGGBB colours, the packed 0xYYCBCR that the decoder shows nearest to each.

    Nearest in squared RGB distance; of equally near colours, the first in a
    fixed order. The studio-range conversion with its rounding cannot show
    every RGB value, and the rounded inverse conversion is often a level off
    where an exact triple exists.
    """
    table = _shown_table()
    packed_rgb = np.asarray(packed_rgb, dtype=np.uint32).reshape(-1)
    rgb = np.stack([(packed_rgb >> 16) & 255, (packed_rgb >> 8) & 255, packed_rgb & 255], axis=-1).astype(np.int32)
    out = np.empty(len(rgb), dtype=np.uint32)
    todo = np.arange(len(rgb))
    # The exact colour, then the 3x3x3 cube around it, then the 7x7x7 cube: a
    # hit within the cube (squared distance <= 3) beats everything outside it.
    for count in (1, 27, len(_NEIGHBOURS)):
        offsets, missed = _NEIGHBOURS[:count], []
        for start in range(0, len(todo), 4096):
            which = todo[start : start + 4096]
            cand = rgb[which, None, :] + offsets[None, :, :]
            inside = ((cand >= 0) & (cand <= 255)).all(axis=2)
            found = table[(np.clip(cand, 0, 255) << np.array([16, 8, 0], dtype=np.int32)).sum(axis=2)]
            hit = inside & (found != _UNREACHABLE)
            first = hit.argmax(axis=1)
            ok = hit[np.arange(len(which)), first]
            out[which[ok]] = found[np.arange(len(which)), first][ok]
            missed.append(which[~ok])
        todo = np.concatenate(missed) if missed else todo[:0]
    assert not len(todo)
    return out


# --- DCT ---------------------------------------------------------------------

# The orthonormal 8-point DCT-II: _DCT @ X @ _DCT.T is the T.81 forward DCT of a
# block (its DC is 8 x the block mean).
_DCT = np.array(
    [
        [(math.sqrt(0.5) if u == 0 else 1.0) / 2 * math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)]
        for u in range(8)
    ]
)
_ZIGZAG = np.array(fmt.ZIGZAG)

# The decoder's inverse DCT divides by 8 with an arithmetic shift (and its
# fixed-point steps truncate too), so its samples come out about half a level
# low on average (0.45 measured over photographs). Lifting every block by as
# much cancels that.
_DC_LIFT = 0.45
_MAX_AC = 1023  # AC sizes go up to 10 bits
_MAX_DC = 1023  # keeps every DC difference within its 11 bits


def _huffman_arrays(table: fmt.HuffmanSpec) -> tuple[np.ndarray, np.ndarray]:
    """(codes, lengths), two 256-entry arrays indexed by symbol."""
    codes, lengths = np.zeros(256, dtype=np.uint64), np.zeros(256, dtype=np.int64)
    for symbol, (code, length) in fmt.canonical_codes(table).items():
        codes[symbol], lengths[symbol] = code, length
    return codes, lengths


# Per component (0 luma, 1 chroma): the DC and AC code arrays.
_DC_CODES = [_huffman_arrays(fmt.LUMA_DC_TABLE), _huffman_arrays(fmt.CHROMA_DC_TABLE)]
_AC_CODES = [_huffman_arrays(fmt.LUMA_AC_TABLE), _huffman_arrays(fmt.CHROMA_AC_TABLE)]


def _zrl_prefixes(codes: np.ndarray, lengths: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Value and length of 0, 1, 2 and 3 repetitions of the sixteen-zeros code."""
    code, length = int(codes[0xF0]), int(lengths[0xF0])
    values = [0, code, code << length | code, (code << length | code) << length | code]
    return np.array(values, dtype=np.uint64), np.array([0, length, 2 * length, 3 * length])


_ZRL = [_zrl_prefixes(*_AC_CODES[0]), _zrl_prefixes(*_AC_CODES[1])]


_SIZES = np.array([v.bit_length() for v in range(2048)], dtype=np.int64)


def _size(values: np.ndarray) -> np.ndarray:
    """JPEG size category: the number of bits of |v| (0 for 0); |v| < 2048."""
    sizes: np.ndarray = _SIZES[np.abs(values)]
    return sizes


def _magnitude_bits(values: np.ndarray, sizes: np.ndarray) -> np.ndarray:
    """The s low bits that code v: v itself when positive, v + 2^s - 1 when negative."""
    return np.where(values >= 0, values, values + (np.int64(1) << sizes) - 1).astype(np.uint64)


def _coefficients(blocks: np.ndarray) -> np.ndarray:
    """T.81 DCT coefficients of float sample blocks (N, 8, 8) centred on 0, lifted (see _DC_LIFT)."""
    coeffs = _DCT @ blocks @ _DCT.T
    coeffs[:, 0, 0] += 8 * _DC_LIFT
    flat: np.ndarray = coeffs.reshape(-1, 64)
    return flat


def _clip_levels(levels: np.ndarray) -> np.ndarray:
    np.clip(levels, -_MAX_AC, _MAX_AC, out=levels)
    np.clip(levels[..., 0], -_MAX_DC, _MAX_DC, out=levels[..., 0])
    return levels


def _levels(blocks: np.ndarray, steps: np.ndarray) -> np.ndarray:
    """Quantised levels (N, 64), natural order, of float sample blocks (N, 8, 8) centred on 0."""
    return _clip_levels(np.rint(_coefficients(blocks) / steps).astype(np.int64))


# Squared RGB error of a YCbCr error vector e is e @ _RGB_METRIC @ e. The three
# components of a pixel mix in RGB (a Cb error shows in blue and green, a Y
# error in all three), and the orthonormal DCT keeps that per frequency.
_RGB_METRIC = _TO_RGB.T @ _TO_RGB
_CORNERS = np.array([(a, b, c) for a in (0, 1) for b in (0, 1) for c in (0, 1)], dtype=np.float64)


def _levels_joint(blocks: np.ndarray, luma_steps: np.ndarray, chroma_steps: np.ndarray) -> np.ndarray:
    """Levels (N, 3, 64) of (Y, Cb, Cr) blocks (N, 3, 8, 8) of 8x8-mode macroblocks.

    Rounding each component on its own is best for each component but not for
    the picture: per frequency this picks, of the eight ways to round the
    three coefficients up or down, the one with the least RGB error. It gains
    about 0.2 dB on photographs.
    """
    steps = np.stack([luma_steps, chroma_steps, chroma_steps], axis=-1)  # (64, 3)
    coeffs = _coefficients(blocks.reshape(-1, 8, 8)).reshape(len(blocks), 3, 64).swapaxes(1, 2)
    low = np.floor(coeffs / steps)
    down = low * steps - coeffs  # (N, 64, 3), the error when all three round down
    # Rounding up the components t (0 or 1 each) adds t * steps to the error d:
    # the cost (d + t q) W (d + t q) is d W d (the same for every t), plus
    # 2 (t q) . (W d), plus (t q) W (t q), which depends only on the frequency.
    w = _RGB_METRIC
    steered = [
        (2 * steps[:, i] * (down[..., 0] * w[i, 0] + down[..., 1] * w[i, 1] + down[..., 2] * w[i, 2])).astype(
            np.float32
        )
        for i in range(3)
    ]
    least = np.full(down.shape[:2], np.inf, dtype=np.float32)
    best = np.zeros(down.shape[:2], dtype=np.intp)
    for k, corner in enumerate(_CORNERS):
        tq = corner * steps  # (64, 3)
        cost = np.einsum("fi,ij,fj->f", tq, w, tq).astype(np.float32) + sum(steered[i] for i in range(3) if corner[i])
        better = cost < least
        least = np.where(better, cost, least)
        best[better] = k
    levels = low + _CORNERS[best]
    return _clip_levels(levels.swapaxes(1, 2).astype(np.int64))


def _block_tokens(levels: np.ndarray, component: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Huffman tokens of blocks given in stream order.

    levels: (B, 64) natural order; component: (B,) 0 Y, 1 Cb, 2 Cr. Returns
    (values, nbits, counts): the tokens of all blocks one after the other, and
    the number of tokens of each block. Each coefficient's token carries the
    sixteen-zeros codes in front of it, its Huffman code and its magnitude bits
    (at most 3 x 11 + 16 + 10 bits).
    """
    nblocks = len(levels)
    zz = levels[:, _ZIGZAG]
    table = (component > 0).astype(np.int64)  # 0: luma codes, 1: chroma codes

    # DC differences, each component chained through the whole frame.
    diffs = np.empty(nblocks, dtype=np.int64)
    for comp in range(3):
        sel = np.flatnonzero(component == comp)
        dc = zz[sel, 0]
        diffs[sel] = np.diff(dc, prepend=0)
    dsize = _size(diffs)
    dc_values = np.empty(nblocks, dtype=np.uint64)
    dc_bits = np.empty(nblocks, dtype=np.int64)
    for t in (0, 1):
        sel = table == t
        codes, lengths = _DC_CODES[t]
        s = dsize[sel]
        dc_values[sel] = codes[s] << s.astype(np.uint64) | _magnitude_bits(diffs[sel], s)
        dc_bits[sel] = lengths[s] + s

    # AC coefficients: one token per non-zero level.
    ac = zz[:, 1:]
    bi, ki = np.nonzero(ac)
    v = ac[bi, ki]
    prev = np.empty_like(ki)
    prev[0:1] = -1
    prev[1:] = np.where(bi[1:] == bi[:-1], ki[:-1], -1)
    run = ki - prev - 1
    s = _size(v)
    symbol = (run & 15) << 4 | s
    ac_values = np.empty(len(v), dtype=np.uint64)
    ac_bits = np.empty(len(v), dtype=np.int64)
    tsel = table[bi]
    for t in (0, 1):
        sel = tsel == t
        codes, lengths = _AC_CODES[t]
        zrl_values, zrl_bits = _ZRL[t]
        z, sym, ss = run[sel] >> 4, symbol[sel], s[sel]
        nb = lengths[sym] + ss
        ac_values[sel] = (
            (zrl_values[z] << nb.astype(np.uint64)) | (codes[sym] << ss.astype(np.uint64)) | _magnitude_bits(v[sel], ss)
        )
        ac_bits[sel] = zrl_bits[z] + nb

    # End of block unless the last coefficient (zig-zag 63) is coded.
    eob = ac[:, 62] == 0
    eob_values = np.array([_AC_CODES[0][0][0], _AC_CODES[1][0][0]], dtype=np.uint64)[table]
    eob_bits = np.array([_AC_CODES[0][1][0], _AC_CODES[1][1][0]])[table]

    # Lay the tokens out per block: DC, the AC tokens, the end of block.
    nac = np.bincount(bi, minlength=nblocks)
    counts = 1 + nac + eob
    starts = np.concatenate(([0], np.cumsum(counts)[:-1]))
    total = int(counts.sum())
    values = np.empty(total, dtype=np.uint64)
    nbits = np.empty(total, dtype=np.int64)
    values[starts], nbits[starts] = dc_values, dc_bits
    ac_first = np.concatenate(([0], np.cumsum(nac)[:-1]))
    ac_pos = starts[bi] + 1 + (np.arange(len(v)) - ac_first[bi])
    values[ac_pos], nbits[ac_pos] = ac_values, ac_bits
    eob_pos = (starts + counts - 1)[eob]
    values[eob_pos], nbits[eob_pos] = eob_values[eob], eob_bits[eob]
    return values, nbits, counts


# --- bit packing -------------------------------------------------------------


def _pack(values: np.ndarray, nbits: np.ndarray) -> bytes:
    """Concatenates tokens (each at most 64 bits, first bit most significant) into stream bytes.

    The stream is stored as 32-bit words, little-endian, read from bit 31 down;
    the last word is padded with zero bits.
    """
    keep = nbits > 0
    values, nbits = values[keep], nbits[keep]
    if not len(values):
        return b""
    ends = np.cumsum(nbits)
    starts = ends - nbits
    total = int(ends[-1])
    word, offset = starts >> 6, starts & 63
    left = np.clip(64 - offset - nbits, 0, 63).astype(np.uint64)
    right = np.clip(offset + nbits - 64, 0, 63).astype(np.uint64)
    head = (values << left) >> right
    words = np.zeros((total + 63) // 64 + 1, dtype=np.uint64)
    first = np.concatenate(([0], np.flatnonzero(np.diff(word)) + 1))
    words[word[first]] = np.bitwise_or.reduceat(head, first)
    spill = offset + nbits > 64
    words[word[spill] + 1] |= values[spill] << (128 - offset[spill] - nbits[spill]).astype(np.uint64)
    stream = words.astype(">u8").view(np.uint8)[: (total + 31) // 32 * 4]
    return stream.reshape(-1, 4)[:, ::-1].tobytes()


# --- the frame ---------------------------------------------------------------


@dataclass
class EncodedFrame:
    """A compressed frame and what went into it, record by record in stream order."""

    data: bytes
    width: int
    height: int
    mode: int
    codes: np.ndarray  # block code of each macroblock record
    columns: np.ndarray  # its macroblock column
    rows: np.ndarray  # its macroblock row
    bits: np.ndarray  # its length in bits, block code included
    counts: dict[str, int] = field(init=False)  # records by block code name, e.g. {"DCT": 1231, "VQ_1": 9413}

    def __post_init__(self) -> None:
        names, n = np.unique(self.codes, return_counts=True)
        self.counts = {fmt.CODE_NAMES[int(c)]: int(k) for c, k in zip(names, n)}

    @property
    def explicit(self) -> int:
        """Records that carry their own position."""
        return int(np.count_nonzero(self.codes & fmt.AT))


def _as_rgb(picture: Picture) -> np.ndarray:
    if hasattr(picture, "convert") and hasattr(picture, "size"):  # a Pillow image
        picture = np.asarray(picture.convert("RGB"))
    array = np.asarray(picture)
    if array.ndim != 3 or array.shape[2] != 3 or array.dtype != np.uint8:
        raise ValueError(f"expected an RGB picture (height x width x 3 uint8), got {array.dtype} {array.shape}")
    return array


def _plan(send: np.ndarray, mb_cols: int) -> tuple[np.ndarray, np.ndarray]:
    """Which macroblocks go into the stream, in order, and which name their position.

    send: raster indices to send, ascending. A record whose macroblock is not
    the one after the previous record's (the running position) names its
    position, as long as the column and row fit in 8 bits. Where they do not,
    the stream gets there through running-position records from the latest
    position it can name (or from the running position, if that is nearer),
    re-sending the unchanged macroblocks in between.
    """
    if not len(send):
        return send, np.zeros(0, dtype=bool)
    running = np.concatenate(([0], send[:-1] + 1))
    jump = send != running
    far = jump & ((send % mb_cols > fmt.MAX_POSITION) | (send // mb_cols > fmt.MAX_POSITION))
    if not far.any():
        return send, jump
    order: list[int] = []
    named: list[bool] = []
    cur = 0
    for target in send.tolist():
        if target != cur:
            col, row = target % mb_cols, target // mb_cols
            if col <= fmt.MAX_POSITION and row <= fmt.MAX_POSITION:
                order.append(target)
                named.append(True)
                cur = target + 1
                continue
            if row <= fmt.MAX_POSITION:
                nearest = row * mb_cols + fmt.MAX_POSITION
            else:
                nearest = fmt.MAX_POSITION * mb_cols + min(mb_cols - 1, fmt.MAX_POSITION)
            if nearest > cur:
                order.append(nearest)
                named.append(True)
                cur = nearest + 1
            order.extend(range(cur, target))
            named.extend([False] * (target - cur))
        order.append(target)
        named.append(False)
        cur = target + 1
    return np.array(order, dtype=np.int64), np.array(named, dtype=bool)


def _macroblock_pixels(rgb: np.ndarray, n: int, mb_rows: int, mb_cols: int) -> np.ndarray:
    """(mb_rows * mb_cols, n, n, 3) pixels, the picture padded by repeating its last row and column."""
    h, w = rgb.shape[:2]
    padded = (
        np.pad(rgb, ((0, mb_rows * n - h), (0, mb_cols * n - w), (0, 0)), mode="edge")
        if h and w
        else np.zeros((mb_rows * n, mb_cols * n, 3), dtype=np.uint8)
    )
    return padded.reshape(mb_rows, n, mb_cols, n, 3).swapaxes(1, 2).reshape(-1, n, n, 3)


def _palettes(colours: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For rows of packed colours (M, 64): distinct count, the distinct colours (M, 4, sorted) and each pixel's rank."""
    order = np.argsort(colours, axis=1, kind="stable")
    ordered = np.take_along_axis(colours, order, axis=1)
    new = np.ones(ordered.shape, dtype=bool)
    new[:, 1:] = ordered[:, 1:] != ordered[:, :-1]
    run = np.cumsum(new, axis=1) - 1
    count = run[:, -1] + 1
    rank = np.empty_like(run)
    np.put_along_axis(rank, order, run, axis=1)
    distinct = np.zeros((len(colours), 4), dtype=colours.dtype)
    r, c = np.nonzero(new & (run < 4))
    distinct[r, run[r, c]] = ordered[r, c]
    return count, distinct, rank


def _vq_header(colours: list[int], cache: list[int], used: list[int], clock: int) -> list[tuple[int, int]]:
    """Header entries (value, nbits) of one VQ record; updates the cache model.

    Slot k paints colours[k]. A colour already in the cache is named by its
    index (3 bits); a new one replaces the least recently used entry that this
    macroblock does not need (27 bits).
    """
    pinned = {cache.index(c) for c in colours if c in cache}
    tokens: list[tuple[int, int]] = []
    first: int | None = None
    for colour in colours:
        if colour in cache:
            index = cache.index(colour)
            tokens.append((index, 3))
        else:
            index = min((i for i in range(4) if i not in pinned), key=lambda i: used[i])
            pinned.add(index)
            cache[index] = colour
            tokens.append(((4 | index) << 24 | colour, 27))
        used[index] = clock
        first = index if first is None else first
    # Three colours go out as VQ_4: the fourth slot is never painted, so it
    # just names a cache entry without a colour.
    if len(colours) == 3 and first is not None:
        tokens.append((first, 3))
    return tokens


def encode(
    picture: Picture, mode: int = fmt.MODE_444, *, quality: str = "high", previous: Picture | None = None
) -> EncodedFrame:
    """Encodes a picture; see encode_frame. Returns the frame with its records."""
    if mode not in fmt.MODES:
        raise ValueError(f"mode must be 422 or 444, not {mode!r}")
    if quality not in QUALITIES:
        raise ValueError(f"quality must be one of {', '.join(QUALITIES)}, not {quality!r}")
    rgb = _as_rgb(picture)
    height, width = rgb.shape[:2]
    n = fmt.macroblock_size(mode)
    mb_cols, mb_rows = fmt.macroblock_grid(mode, width, height)
    pixels = _macroblock_pixels(rgb, n, mb_rows, mb_cols)

    if previous is None:
        send = np.arange(mb_cols * mb_rows)
    else:
        before = _as_rgb(previous)
        if before.shape != rgb.shape:
            raise ValueError(f"previous picture is {before.shape[1]}x{before.shape[0]}, not {width}x{height}")
        changed = (
            (_macroblock_pixels(before, n, mb_rows, mb_cols) != pixels).reshape(len(pixels), n * n * 3).any(axis=1)
        )
        send = np.flatnonzero(changed)
    order, named = _plan(send, mb_cols)
    nrec = len(order)
    mbs = pixels[order]

    # Colours per pixel code: one per pixel, or one per 2x2 group in the 16x16 mode.
    packed = (mbs[..., 0].astype(np.uint32) << 16) | (mbs[..., 1].astype(np.uint32) << 8) | mbs[..., 2]
    if n == 16:
        groups = packed.reshape(nrec, 8, 2, 8, 2)
        whole = (groups == groups[:, :, :1, :, :1]).reshape(nrec, 256).all(axis=1)
        packed = groups[:, :, 0, :, 0]
    else:
        whole = np.ones(nrec, dtype=bool)
    packed = packed.reshape(nrec, 64)
    count, distinct, _ = _palettes(packed)
    is_vq = whole & (count <= 4)

    # VQ colours in YCbCr, each the one the decoder shows nearest to the original.
    vq_idx = np.flatnonzero(is_vq)
    if len(vq_idx):
        rgb_colours = np.unique(np.concatenate([distinct[vq_idx][count[vq_idx] > k, k] for k in range(4)]))
        ycc_colours = nearest_ycbcr(rgb_colours)
        vq_packed = ycc_colours[np.searchsorted(rgb_colours, packed[vq_idx])]
        vq_count, vq_distinct, vq_rank = _palettes(vq_packed)
    vq_codes: np.ndarray | list[int] = (
        np.where(vq_count == 1, fmt.VQ_1, np.where(vq_count == 2, fmt.VQ_2, fmt.VQ_4)) if len(vq_idx) else []
    )

    # Block codes and the first token of every record: code and position.
    alternative = QUALITIES[quality]
    codes = np.full(nrec, fmt.DCT_ALT if alternative else fmt.DCT, dtype=np.int64)
    codes[vq_idx] = vq_codes
    codes[named] |= fmt.AT
    head_values = codes.astype(np.uint64)
    head_values[named] = (head_values[named] << 16) | ((order[named] % mb_cols) << 8 | order[named] // mb_cols).astype(
        np.uint64
    )
    head_bits = np.where(named, 20, 4)

    # VQ records: header entries (the cache walk) and pixel codes.
    vq_tokens = []
    if len(vq_idx):
        cache, used = list(fmt.INITIAL_CACHE), [0, 0, 0, 0]
        for clock, (k, colours) in enumerate(zip(vq_count.tolist(), vq_distinct.tolist()), 1):
            vq_tokens.append(_vq_header(colours[:k], cache, used, clock))
        code_bits = np.where(vq_count == 1, 0, np.where(vq_count == 2, 1, 2))
        bits = ((vq_rank[:, :, None] >> np.array([1, 0])) & 1).astype(np.uint8)  # (V, 64, 2)
        one = np.packbits(bits[:, :, 1], axis=1).view(">u8")[:, 0]
        two = np.packbits(bits.reshape(len(vq_idx), 128), axis=1).view(">u8")

    # DCT records: blocks in stream order.
    dct_idx = np.flatnonzero(~is_vq)
    luma_steps, chroma_steps = (np.array(t, dtype=np.float64) for t in fmt.quant_steps(mode, alternative))
    if len(dct_idx):
        ycc = _to_ycbcr(mbs[dct_idx]) - 128.0  # (D, n, n, 3)
        if n == 16:
            luma = ycc[..., 0].reshape(-1, 2, 8, 2, 8).swapaxes(2, 3).reshape(-1, 4, 8, 8)
            chroma = ycc[..., 1:].reshape(-1, 8, 2, 8, 2, 2).mean(axis=(2, 4))
        else:
            luma = ycc[..., 0].reshape(-1, 1, 8, 8)
            chroma = ycc[..., 1:]
        nluma = luma.shape[1]
        chroma = np.moveaxis(chroma, -1, 1)  # (D, 2, 8, 8): Cb, Cr
        if n == 8:
            levels = _levels_joint(np.concatenate([luma, chroma], axis=1), luma_steps, chroma_steps)
        else:
            levels = np.concatenate(
                [
                    _levels(luma.reshape(-1, 8, 8), luma_steps).reshape(len(dct_idx), nluma, 64),
                    _levels(chroma.reshape(-1, 8, 8), chroma_steps).reshape(len(dct_idx), 2, 64),
                ],
                axis=1,
            )
        component = np.tile(np.array([0] * nluma + [1, 2]), len(dct_idx))
        blk_values, blk_bits, blk_counts = _block_tokens(levels.reshape(-1, 64), component)
        rec_counts = blk_counts.reshape(len(dct_idx), -1).sum(axis=1)

    # Token counts per record, then every token into its place.
    ntok = np.ones(nrec, dtype=np.int64)
    if len(vq_idx):
        ntok[vq_idx] += np.array([len(t) for t in vq_tokens]) + np.where(code_bits == 0, 0, code_bits)
    if len(dct_idx):
        ntok[dct_idx] += rec_counts
    first = np.concatenate(([0], np.cumsum(ntok)))
    total = int(first[-1]) + 1
    values = np.zeros(total, dtype=np.uint64)
    nbits = np.zeros(total, dtype=np.int64)
    values[first[:-1]], nbits[first[:-1]] = head_values, head_bits
    if len(vq_idx):
        pos: list[int] = []
        vals: list[int] = []
        lens: list[int] = []
        for start, tokens in zip((first[vq_idx] + 1).tolist(), vq_tokens):
            pos.extend(range(start, start + len(tokens)))
            vals.extend(t[0] for t in tokens)
            lens.extend(t[1] for t in tokens)
        values[pos], nbits[pos] = np.array(vals, dtype=np.uint64), lens
        after = first[vq_idx] + 1 + np.array([len(t) for t in vq_tokens])
        sel = code_bits == 1
        values[after[sel]], nbits[after[sel]] = one[sel], 64
        sel = code_bits == 2
        values[after[sel]], nbits[after[sel]] = two[sel, 0], 64
        values[after[sel] + 1], nbits[after[sel] + 1] = two[sel, 1], 64
    if len(dct_idx):
        rec_of_token = np.repeat(dct_idx, rec_counts)
        rec_start = np.concatenate(([0], np.cumsum(rec_counts)[:-1]))
        local = np.arange(len(blk_values)) - np.repeat(rec_start, rec_counts)
        where = first[rec_of_token] + 1 + local
        values[where], nbits[where] = blk_values, blk_bits
    values[-1], nbits[-1] = fmt.FRAME_END, 4

    header = bytes(2) + mode.to_bytes(2, "big")
    data = header + _pack(values, nbits)
    data += bytes(max(0, 12 - len(data)))
    record_bits = np.add.reduceat(nbits[:-1], first[:-1].astype(np.intp)) if nrec else np.zeros(0, dtype=np.int64)
    return EncodedFrame(
        data,
        width,
        height,
        mode,
        codes,
        order % mb_cols if nrec else order,
        order // mb_cols if nrec else order,
        record_bits,
    )


def encode_frame(
    picture: Picture, mode: int = fmt.MODE_444, *, quality: str = "high", previous: Picture | None = None
) -> bytes:
    """Encodes an RGB picture as one compressed frame.

    picture: a height x width x 3 uint8 array, or a Pillow image.
    mode: 444 (8x8 macroblocks, full chroma) or 422 (16x16 macroblocks, chroma
    halved both ways).
    quality: "high" codes DCT macroblocks with the primary quantisation pair,
    "low" with the coarser alternative pair.
    previous: the picture the client already shows (same size); only the
    macroblocks that differ from it are sent, so the frame decodes to those
    macroblocks on black and is meant to be drawn over the previous picture.
    """
    return encode(picture, mode, quality=quality, previous=previous).data

"""DCT macroblocks: coefficient coding, dequantisation, inverse DCT, DC prediction."""

import random

import pytest

from framewriter import CHROMA_AC, CHROMA_DC, LUMA_AC, LUMA_DC, ZIGZAG, FrameWriter
from quorvel._ast2100 import decode_frame
from reference import as_image, check, render, ycbcr_to_rgb

ZERO = [0] * 64


def levels(dc=0, ac=None, zz=None):
    """A block from its DC, {(u, v): level} and {zig-zag index: level}."""
    b = [dc] + [0] * 63
    for (u, v), x in (ac or {}).items():
        b[8 * u + v] = x
    for k, x in (zz or {}).items():
        b[ZIGZAG[k]] = x
    return b


def nblocks(mode):
    return 6 if mode == 422 else 3


def flat(v):
    return {r: [v] * 8 for r in range(8)}


@pytest.mark.parametrize(
    "mode, alt, y, rows",
    [
        (444, False, levels(8), flat(130)),
        (444, True, levels(8), flat(148)),
        (444, False, levels(100), flat(153)),
        (444, False, levels(-100), flat(103)),
        (444, False, levels(-101), flat(102)),  # -202 >> 3 rounds down
        (444, False, levels(1000), flat(255)),
        (444, False, levels(2048), flat(0)),  # 4096 >> 3 = 512 wraps in 10 bits
        (444, False, levels(50, {(0, 1): 10}), {r: [142, 141, 141, 140, 140, 139, 139, 138] for r in range(8)}),
        (
            444,
            False,
            levels(50, {(1, 0): -7}),
            {r: [[139, 139, 139, 140, 140, 141, 141, 141][r]] * 8 for r in range(8)},
        ),
        (
            422,
            False,
            levels(-20, {(0, 1): 3, (1, 0): 2, (1, 1): -1}),
            {0: [109, 108, 108, 108, 107, 106, 106, 106], 7: [108, 107, 106, 104, 102, 101, 99, 99]},
        ),
    ],
)
def test_inverse_dct_worked_examples(mode, alt, y, rows):
    fw = FrameWriter(mode)
    if abs(y[0]) > 2047:  # a DC difference has at most 11 bits: step there off-picture
        fw.dct([levels(y[0] // 2)] + [ZERO] * (nblocks(mode) - 1), at=(5, 0))
    fw.dct([y] + [levels(y[0])] * (nblocks(mode) - 3) + [ZERO, ZERO], alt=alt, at=(0, 0)).end()
    img = as_image(decode_frame(fw.to_bytes(), 8, 8), 8, 8)
    for r, samples in rows.items():
        assert img[r].tolist() == ycbcr_to_rgb(samples, 128, 128).tolist()


@pytest.mark.parametrize("mode", [444, 422])
def test_zero_macroblock_is_mid_grey(mode):
    n = 16 if mode == 422 else 8
    fw = FrameWriter(mode).dct([ZERO] * nblocks(mode)).end()
    assert decode_frame(fw.to_bytes(), n, n) == bytes([130]) * (3 * n * n)


def every_symbol(mode):
    """Every (run, size) of both AC codes, runs of sixteen, every DC size."""
    fw = FrameWriter(mode)
    for i, (run, size) in enumerate((r, s) for r in range(16) for s in range(1, 11)):
        v = 1 << (size - 1) if i % 2 else 1 - 2**size
        s = i % 12
        d = 0 if s == 0 else (1 << (s - 1) if i % 4 < 2 else 1 - 2**s)
        blocks = [levels(fw.dc[0] + d, zz={1 + run: v})] * (nblocks(mode) - 2)
        blocks += [levels(fw.dc[1] - d, zz={1 + run: -v}), levels(fw.dc[2] + d, zz={1 + run + 16 * (i % 3 == 0): v})]
        fw.dct(blocks, alt=i % 5 == 0)
    return fw.end()


def full_blocks(mode):
    fw = FrameWriter(mode)
    for m in range(3):  # 63 AC levels: no end-of-block code follows
        fw.dct([[m * 7 - 5] + [((k * 13 + m + b) % 7) - 3 or 2 for k in range(1, 64)] for b in range(nblocks(mode))])
    return fw.end()


def dc_chain(mode):
    # Luma DC differences +3, -1, 0, +2 within one 16x16 macroblock give 3, 2, 2, 4.
    y = [levels(3), levels(2), levels(2), levels(4)][: nblocks(mode) - 2]
    return FrameWriter(mode).dct(y + [levels(5), levels(-5)]).dct(y[::-1] + [levels(-7), levels(9)], alt=True).end()


def dc_across_vq_and_positions(mode):
    blocks = [levels(60)] * (nblocks(mode) - 2) + [levels(-30), levels(45)]
    fw = FrameWriter(mode).dct(blocks).vq([(1, 0x515AF0)]).dct(blocks, at=(2, 1))
    return fw.vq([(2, None), (3, None)], [k % 2 for k in range(64)], at=(0, 1)).dct(blocks).end()


def precision_sensitive(mode):
    # Levels at which steps computed in single rather than double precision
    # (one unit of 2^-16 off) change samples: alternative luma and chroma
    # tables, and the primary luma table of the 16x16 mode.
    if mode == 444:
        return FrameWriter().dct([levels(ac={(0, 2): 993}), ZERO, levels(ac={(0, 2): 684})], alt=True).end()
    return FrameWriter(422).dct([levels(ac={(5, 2): 374})] + [ZERO] * 5).end()


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize(
    "build", [every_symbol, full_blocks, dc_chain, dc_across_vq_and_positions, precision_sensitive]
)
def test_frames_match_reference(build, mode):
    check(build(mode), *((80, 72) if mode == 422 else (128, 80)))


def test_dc_prediction_carries_across_vq_and_positions():
    # The same absolute DC values draw the same macroblock wherever it lands.
    img = as_image(decode_frame(dc_across_vq_and_positions(444).to_bytes(), 32, 16), 32, 16)
    first = img[0:8, 0:8]
    assert (img[8:16, 16:24] == first).all() and (img[8:16, 8:16] == first).all()
    assert (first != 130).any()  # a predictor reset to 0 would give mid grey


def code(table, symbol):
    return [table[symbol]]


PRIMER = [levels(40), levels(-10), levels(20)]
CB3 = [(0b10, 2), (0b11, 2)] + code(CHROMA_AC, 0) + code(CHROMA_DC, 0) + code(CHROMA_AC, 0)  # Cb +3, Cr +0
RAW_CASES = {
    # Sixteen 1 bits decode as size 0 and end of block without consuming
    # anything, so the whole macroblock reads no bits and the ones become the
    # next record: VQ_4_AT at column 255, row 240, which draws nothing.
    "sixteen ones": ([(0xFFFF, 16), (0, 4 + 12 + 128)], PRIMER),
    # Nine (luma) and eleven (chroma) 1 bits: size 0 after consuming them.
    "nine and eleven ones": (
        [(0x1FF, 9)] + code(LUMA_AC, 0) + [(0x7FF, 11)] + code(CHROMA_AC, 0) + code(CHROMA_DC, 0) + code(CHROMA_AC, 0),
        PRIMER,
    ),
    # A run reaching past 63 ends the block; its magnitude bit (1) is left for Cb.
    "run past 63": (
        code(LUMA_DC, 0)
        + code(LUMA_AC, 0xF0) * 3
        + code(LUMA_AC, 0xA1)
        + [(0, 1)]
        + code(LUMA_AC, 0x51)
        + [(1, 1), (0, 1), (0b11, 2)]
        + code(CHROMA_AC, 0)
        + code(CHROMA_DC, 0)
        + code(CHROMA_AC, 0),
        [levels(40, zz={59: -1}), levels(-7), levels(20)],
    ),
    "four runs of sixteen": (code(LUMA_DC, 0) + code(LUMA_AC, 0xF0) * 4 + CB3, [levels(40), levels(-7), levels(20)]),
    "three runs of sixteen, end of block": (
        code(LUMA_DC, 0) + code(LUMA_AC, 0xF0) * 3 + code(LUMA_AC, 0) + CB3,
        [levels(40), levels(-7), levels(20)],
    ),
}


@pytest.mark.parametrize("case", RAW_CASES)
def test_unusual_coefficient_bits(case):
    bits, second = RAW_CASES[case]
    crafted = FrameWriter().dct(PRIMER).raw(0, 4)
    for value, n in bits:
        crafted.raw(value, n)
    expected = FrameWriter().dct(PRIMER).dct(second).end()
    assert decode_frame(crafted.end().to_bytes(), 16, 8) == render(expected, 16, 8)


def random_frame(rng, mode):
    fw, nluma = FrameWriter(mode), nblocks(mode) - 2
    for _ in range(rng.randint(5, 40)):
        at = (rng.randint(0, 12), rng.randint(0, 8)) if rng.random() < 0.2 else None
        if rng.random() < 0.3:
            n = rng.choice([1, 2, 4])
            entries = [(rng.randrange(4), rng.choice([None, rng.getrandbits(24)])) for _ in range(n)]
            fw.vq(entries, [rng.randrange(n) for _ in range(64)] if n > 1 else (), at=at)
            continue
        blocks = []
        for b in range(nluma + 2):
            pred = blocks[-1][0] if 0 < b < nluma else fw.dc[max(0, b - nluma + 1)]
            block = [pred + rng.choice([0, rng.randint(-15, 15), rng.randint(-2047, 2047)])] + [0] * 63
            dense = rng.random() < 0.1
            for k in range(1, 64):
                if dense or rng.random() < 0.08:
                    block[ZIGZAG[k]] = rng.choice([1, -1]) * rng.choice([rng.randint(1, 8), rng.randint(1, 1023)])
            blocks.append(block)
        fw.dct(blocks, alt=rng.random() < 0.5, at=at)
    return fw.end()


@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("seed", range(6))
def test_random_frames_match_reference(mode, seed):
    rng = random.Random(seed * 2 + (mode == 422))
    w, h = rng.randint(1, 100), rng.randint(1, 70)
    check(random_frame(rng, mode), w, h)

"""The encoder and the inspector, checked against the test-side frame writer and pixel model.

Every encoded frame is parsed back by quorvel.records, re-written record by
record with tests/framewriter.py (independent Huffman tables, zig-zag and bit
packing), and must come out byte for byte the same; the decoder must then agree
with tests/reference.py on it. Quality is measured on the decoded pictures.
"""

import math

import pytest

np = pytest.importorskip("numpy")

import framewriter as fw  # noqa: E402
import reference  # noqa: E402
from quorvel import decode_frame  # noqa: E402
from quorvel.encode import encode, encode_frame, nearest_ycbcr  # noqa: E402
from quorvel.records import inspect_frame  # noqa: E402


# --- pictures ------------------------------------------------------------------


def photo(h, w, seed=0, grain=1.0):
    """Smooth gradients, soft rings and fine grain, like a photograph on a screen."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(float)
    a, b, c = rng.uniform(20, 60, 3)
    ring = np.cos(np.hypot(xx - w * rng.random(), yy - h * rng.random()) / b)
    pic = np.stack(
        [
            120 + 80 * np.sin(xx / a) + 25 * ring,
            110 + 70 * np.cos(yy / c) + 20 * ring,
            140 + 60 * np.sin((xx + yy) / (a + c)) - 20 * ring,
        ],
        axis=-1,
    )
    return np.clip(pic + rng.normal(0, grain, pic.shape), 0, 255).astype(np.uint8)


def flat_ui(h, w, seed=0, cell=8):
    """Every cell x cell tile painted with at most four colours taken from anywhere in RGB."""
    rng = np.random.default_rng(seed)
    palette = rng.integers(0, 256, (12, 3), dtype=np.uint8)
    tiles_y, tiles_x = -(-h // cell), -(-w // cell)
    pick = rng.integers(0, 12, (tiles_y, tiles_x, 4))
    which = rng.integers(0, 4, (tiles_y * cell, tiles_x * cell))
    which[:, ::3] = 0  # runs of one colour, so some tiles have fewer
    tile_colours = palette[pick]  # (ty, tx, 4, 3)
    ty, tx = np.mgrid[0 : tiles_y * cell, 0 : tiles_x * cell] // cell
    return tile_colours[ty, tx, which][:h, :w]


def noise(h, w, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def basis(k, amplitude=60.0):
    """One 8x8 macroblock whose Y holds only DC and the coefficient at zig-zag position k."""
    u, v = divmod(fw.ZIGZAG[k], 8)
    x = np.arange(8)
    wave = np.outer(np.cos((2 * x + 1) * u * math.pi / 16), np.cos((2 * x + 1) * v * math.pi / 16))
    grey = np.clip(np.rint(128 + amplitude * wave), 0, 255).astype(np.uint8)
    return np.repeat(grey[:, :, None], 3, axis=2)


def psnr(a, b):
    mse = np.mean((a.astype(float) - b.astype(float)) ** 2)
    return math.inf if mse == 0 else 10 * math.log10(255**2 / mse)


def decoded(data, w, h):
    return np.frombuffer(decode_frame(data, w, h), dtype=np.uint8).reshape(h, w, 3)


def rewrite(data, w, h):
    """Parses a frame with the inspector and writes the same records with the test-side writer."""
    info = inspect_frame(data, w, h, keep=True)
    assert info.ended and info.error is None
    writer = fw.FrameWriter(info.mode)
    for r in info.records:
        at = (r.column, r.row) if r.explicit else None
        if r.blocks is not None:
            writer.dct(r.blocks, alt=bool(r.code & fw.DCT_ALT), at=at)
        else:
            writer.vq(r.entries, r.pixel_codes, at=at)
    writer.end()
    return info, writer


def check_stream(frame, w, h):
    """The frame is what the independent writer makes of the same records, and info agrees with the encoder."""
    info, writer = rewrite(frame.data, w, h)
    assert writer.to_bytes() == frame.data
    assert [(r.code, r.column, r.row, r.bits) for r in info.records] == list(
        zip(frame.codes.tolist(), frame.columns.tolist(), frame.rows.tolist(), frame.bits.tolist())
    )
    reference.check(writer, w, h)
    return info


# --- the stream --------------------------------------------------------------------

PICTURES = {
    "photo": lambda: photo(48, 64, seed=1),
    "flat-ui": lambda: flat_ui(40, 56, seed=2, cell=16),
    "noise": lambda: noise(24, 32, seed=3),
    "odd-size": lambda: np.concatenate([photo(21, 13, seed=4), flat_ui(21, 14, seed=4)], axis=1),
    "zig-zag runs": lambda: np.concatenate([basis(k) for k in (1, 17, 33, 48, 62, 63)], axis=1),
}


@pytest.mark.parametrize("quality", ["high", "low"])
@pytest.mark.parametrize("mode", [444, 422])
@pytest.mark.parametrize("kind", list(PICTURES))
def test_stream_is_what_the_independent_writer_makes(kind, mode, quality):
    pic = PICTURES[kind]()
    h, w = pic.shape[:2]
    frame = encode(pic, mode, quality=quality)
    info = check_stream(frame, w, h)
    n = 16 if mode == 422 else 8
    assert len(info.records) == -(-w // n) * -(-h // n)
    assert not any(r.explicit for r in info.records)
    dct = {"high": "DCT", "low": "DCT_ALT"}[quality]
    assert set(info.counts()) <= {dct, "VQ_1", "VQ_2", "VQ_4"}


def test_sixty_three_coefficients_need_no_end_of_block():
    # Zig-zag position 63 coded: the block has no end-of-block code after it.
    frame = encode(basis(63), 444)
    info, writer = rewrite(frame.data, 8, 8)
    assert info.records[0].blocks[0][63] != 0
    assert writer.to_bytes() == frame.data


@pytest.mark.parametrize("w, h", [(0, 0), (0, 5), (1, 1), (7, 9), (17, 33)])
@pytest.mark.parametrize("mode", [444, 422])
def test_any_size(w, h, mode):
    pic = photo(h, w, seed=w + h) if w and h else np.zeros((h, w, 3), np.uint8)
    frame = encode(pic, mode)
    check_stream(frame, w, h)
    if w and h:
        assert psnr(pic, decoded(frame.data, w, h)) > 30


def test_pillow_image_and_array_give_the_same_frame():
    Image = pytest.importorskip("PIL.Image")
    pic = photo(16, 24, seed=5)
    assert encode_frame(Image.fromarray(pic)) == encode_frame(pic)
    assert encode_frame(Image.fromarray(pic).convert("RGBA")) == encode_frame(pic)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: encode_frame(np.zeros((8, 8), np.uint8)), "RGB picture"),
        (lambda: encode_frame(np.zeros((8, 8, 3), np.float32)), "RGB picture"),
        (lambda: encode_frame(np.zeros((8, 8, 3), np.uint8), mode=420), "mode"),
        (lambda: encode_frame(np.zeros((8, 8, 3), np.uint8), quality="best"), "quality"),
        (lambda: encode_frame(np.zeros((8, 8, 3), np.uint8), previous=np.zeros((8, 16, 3), np.uint8)), "previous"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def hostile_frames():
    """(name, frame, width, height, the positions drawn or None when not checked)."""
    key = encode_frame(photo(24, 40, seed=7), 444)
    for cut in (5, 12, 40, len(key) // 2, len(key) - 5):
        yield f"cut at {cut}", key[:cut] + bytes(max(0, 12 - cut)), 40, 24, None
    yield "ones", bytes.fromhex("000001bc") + b"\xff" * 64, 16, 16, None
    w = fw.FrameWriter(444)
    for _ in range(7):  # more records than the 2x2 macroblocks: the position wraps
        w.vq([(1, None)])
    yield "wrap", w.end().to_bytes(), 16, 16, [(0, 0), (1, 0), (0, 1), (1, 1), (0, 0), (1, 0), (0, 1)]
    # Sixteen 1 bits at a block: no code, nothing consumed, so the DCT record
    # takes no bits and its 1 bits open the next record.
    w = (
        fw.FrameWriter(444)
        .raw(fw.DCT, 4)
        .raw(0xFFFF, 16)
        .raw(0, 4)
        .raw(0, 12)
        .raw(0x5555, 16)
        .raw(0, 32)
        .raw(0, 32)
        .raw(0, 32)
        .raw(0, 16)
    )
    yield "sixteen ones", w.end().to_bytes(), 16, 16, [(0, 0), (255, 240)]
    w = fw.FrameWriter(422).vq([(0, 0x808080)], at=(200, 3)).dct([[1] * 64] * 6, alt=True, at=(0, 255))
    yield "far positions", w.end().to_bytes(), 40, 40, [(200, 3), (0, 255)]
    yield "unknown code", fw.FrameWriter(444).vq([(2, None)]).raw(11, 4).to_bytes(), 8, 8, None
    for records in (4096, 4097):  # the block limit of a small picture is 4096
        w = fw.FrameWriter(444)
        for _ in range(records):
            w.vq([(2, None)])
        yield f"{records} records", w.end().to_bytes(), 8, 8, None


HOSTILE = list(hostile_frames())


@pytest.mark.parametrize("data, w, h, drawn", [f[1:] for f in HOSTILE], ids=[f[0] for f in HOSTILE])
def test_inspector_agrees_with_the_decoder(data, w, h, drawn):
    try:
        decode_frame(data, w, h)
        failure = None
    except ValueError as e:
        failure = str(e)
    try:
        info = inspect_frame(data, w, h)
    except ValueError as e:
        assert str(e) == failure
        return
    assert info.error == failure
    assert info.ended == (failure is None)
    if drawn is not None:
        assert info.drawn() == drawn


# --- quality ---------------------------------------------------------------------------


@pytest.mark.parametrize("seed, h, w", [(10, 120, 160), (11, 96, 200), (12, 200, 96)])
def test_photo_like_pictures_reach_40_db(seed, h, w):
    pic = photo(h, w, seed=seed)
    assert psnr(pic, decoded(encode_frame(pic, 444), w, h)) >= 40
    # The coarser settings lose detail but stay recognisable.
    assert psnr(pic, decoded(encode_frame(pic, 422), w, h)) >= 40
    assert psnr(pic, decoded(encode_frame(pic, 444, quality="low"), w, h)) >= 34


def test_no_drift_in_brightness():
    # The decoder's inverse DCT rounds down; the encoder compensates.
    pic = photo(64, 64, seed=13, grain=3.0)
    error = decoded(encode_frame(pic), 64, 64).astype(float) - pic
    assert np.abs(error.mean(axis=(0, 1))).max() < 0.3


@pytest.mark.parametrize("mode, cell", [(444, 8), (422, 16)])
def test_flat_macroblocks_within_two_levels(mode, cell):
    pic = flat_ui(64, 96, seed=20, cell=cell)
    if mode == 422:  # VQ paints 2x2 groups in this mode
        pic = np.repeat(np.repeat(pic[::2, ::2], 2, axis=0), 2, axis=1)
    frame = encode(pic, mode)
    assert "DCT" not in frame.counts
    assert np.abs(decoded(frame.data, 96, 64).astype(int) - pic).max() <= 2


def test_nearest_ycbcr_is_the_nearest():
    rng = np.random.default_rng(30)
    colours = np.concatenate(
        [rng.integers(0, 1 << 24, 300), [0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0x808080, 0x010101]]
    )
    chosen = nearest_ycbcr(colours)
    rgb = np.stack([(colours >> s) & 255 for s in (16, 8, 0)], axis=-1)
    got = reference.ycbcr_to_rgb(chosen >> 16, (chosen >> 8) & 255, chosen & 255).astype(int)
    got_err = ((got - rgb) ** 2).sum(axis=1)
    # Brute force around the textbook conversion, much wider than the encoder looks.
    r, g, b = (rgb[:, i].astype(float) for i in range(3))
    y = 16 + (65.738 * r + 129.057 * g + 25.064 * b) / 256
    cb = 128 + (-37.945 * r - 74.494 * g + 112.439 * b) / 256
    cr = 128 + (112.439 * r - 94.154 * g - 18.285 * b) / 256
    d = np.arange(-6, 7)
    off = np.stack(np.meshgrid(d, d, d, indexing="ij"), -1).reshape(-1, 3)
    cand = np.clip(np.rint(np.stack([y, cb, cr], -1))[:, None, :].astype(int) + off, 0, 255)
    shown = reference.ycbcr_to_rgb(cand[..., 0], cand[..., 1], cand[..., 2]).astype(int)
    best_err = ((shown - rgb[:, None, :]) ** 2).sum(axis=2).min(axis=1)
    assert (got_err <= best_err).all()
    assert np.abs(got - rgb).max() <= 2


def macroblocks(*colour_rows):
    """8x8 macroblocks side by side, each painted in horizontal bands of the colours given."""
    out = []
    for colours in colour_rows:
        bands = np.array(colours, np.uint8)[np.arange(8) * len(colours) // 8]
        out.append(np.repeat(bands[:, None, :], 8, axis=1))
    return np.concatenate(out, axis=1)


def test_cache_colours_are_sent_once_and_the_least_recently_used_goes():
    a, b, c, d, e = (20, 20, 20), (250, 10, 10), (10, 250, 10), (10, 10, 250), (240, 240, 240)
    pic = macroblocks([a, b, c, d], [a, b, c, d], [a], [e], [a], [b, c, d, e])
    info = check_stream(encode(pic), 48, 8)
    assert [r.name for r in info.records] == ["VQ_4", "VQ_4", "VQ_1", "VQ_1", "VQ_1", "VQ_4"]
    # e pushes out one of b, c, d, not a (used since); that one comes back in
    # the last macroblock, which needs all four entries and so pushes out a.
    assert [r.new_colours for r in info.records] == [4, 0, 0, 1, 0, 1]


def textbook_frame(pic):
    """8x8 mode, DCT only: textbook BT.601 conversion and plain rounding, with the test-side writer."""
    h, w = pic.shape[:2]
    rgb = pic.astype(float)
    ycc = np.stack(
        [
            16 + rgb @ np.array([65.738, 129.057, 25.064]) / 256,
            128 + rgb @ np.array([-37.945, -74.494, 112.439]) / 256,
            128 + rgb @ np.array([112.439, -94.154, -18.285]) / 256,
        ],
        axis=-1,
    )
    c = np.array(
        [
            [(math.sqrt(0.5) if u == 0 else 1) / 2 * math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)]
            for u in range(8)
        ]
    )
    steps = [
        np.array(reference.LUMA_QUANT_BASE) // 8,
        np.array(reference.CHROMA_QUANT_BASE) * 3 // 16,
        np.array(reference.CHROMA_QUANT_BASE) * 3 // 16,
    ]
    writer = fw.FrameWriter(444)
    for my in range(h // 8):
        for mx in range(w // 8):
            block = ycc[8 * my : 8 * my + 8, 8 * mx : 8 * mx + 8] - 128
            writer.dct(
                [np.rint((c @ block[..., k] @ c.T).reshape(64) / steps[k]).astype(int).tolist() for k in range(3)]
            )
    return writer.end().to_bytes()


@pytest.mark.parametrize("seed", [60, 61])
def test_better_than_textbook_rounding(seed):
    pic = photo(64, 96, seed=seed, grain=2.0)
    ours = psnr(pic, decoded(encode_frame(pic), 96, 64))
    assert ours > psnr(pic, decoded(textbook_frame(pic), 96, 64)) + 0.2


# --- delta frames ----------------------------------------------------------------------------


def changed_macroblocks(before, after, n):
    h, w = before.shape[:2]
    return [
        (c, r)
        for r in range(-(-h // n))
        for c in range(-(-w // n))
        if (before[r * n : (r + 1) * n, c * n : (c + 1) * n] != after[r * n : (r + 1) * n, c * n : (c + 1) * n]).any()
    ]


def shown_after(key_frame, delta, w, h):
    """The key frame's picture with the macroblocks of the delta frame drawn over it."""
    pic = decoded(key_frame, w, h).copy()
    info = inspect_frame(delta, w, h)
    n = info.macroblock_size
    new = decoded(delta, w, h)
    for c, r in info.drawn():
        pic[r * n : (r + 1) * n, c * n : (c + 1) * n] = new[r * n : (r + 1) * n, c * n : (c + 1) * n]
    return pic


@pytest.mark.parametrize("mode", [444, 422])
def test_delta_frame_sends_the_changed_macroblocks(mode):
    before = np.concatenate([flat_ui(64, 80, seed=40), photo(64, 80, seed=41)], axis=1)
    after = before.copy()
    after[3:5, 70:100] = 255  # a run of neighbours
    after[40, 5] = (1, 2, 3)  # a lone pixel
    after[60:64, 150:160] = 0  # the last macroblock column, bottom row
    h, w = before.shape[:2]
    n = 16 if mode == 422 else 8
    frame = encode(after, mode, previous=before)
    info = check_stream(frame, w, h)
    assert info.drawn() == changed_macroblocks(before, after, n)
    following = [False] + [(b.column, b.row) == (a.column + 1, a.row) for a, b in zip(info.records, info.records[1:])]
    assert [r.explicit for r in info.records] == [not f for f in following]
    # Drawn over the key frame, the delta gives what a key frame of the new picture gives.
    assert (shown_after(encode_frame(before, mode), frame.data, w, h) == decoded(encode_frame(after, mode), w, h)).all()


def test_unchanged_picture_gives_an_empty_frame():
    pic = photo(16, 16, seed=42)
    frame = encode(pic, previous=pic.copy())
    assert len(frame.codes) == 0
    assert inspect_frame(frame.data, 16, 16).ended
    assert decode_frame(frame.data, 16, 16) == bytes(16 * 16 * 3)


@pytest.mark.parametrize(
    "h, w, spot",
    [
        (8, 2200, (260, 0)),  # a column beyond 255
        (2120, 16, (1, 262)),  # a row beyond 255
        (2120, 16, (0, 100)),  # reachable, and then one beyond
    ],
)
def test_positions_beyond_255_are_reached_by_running(h, w, spot):
    before = flat_ui(h, w, seed=50)
    after = before.copy()
    col, row = spot
    after[row * 8, col * 8] ^= 0xFF
    after[-1, -1] ^= 0xFF  # and the very last macroblock
    frame = encode(after, previous=before)
    info = check_stream(frame, w, h)
    assert all(r.column <= 255 and r.row <= 255 for r in info.records if r.explicit)
    drawn = info.drawn()
    assert set(changed_macroblocks(before, after, 8)) <= set(drawn)
    assert len(drawn) < 300  # it re-sends only the way from the last position it could name
    assert (shown_after(encode_frame(before), frame.data, w, h) == decoded(encode_frame(after), w, h)).all()

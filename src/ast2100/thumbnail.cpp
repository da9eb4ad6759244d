// Drawing macroblocks into a thumbnail.
#include "thumbnail.hpp"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "clamp.hpp"
#include "color.hpp"
#include "huffman.hpp"

namespace ast2100 {
namespace {

// The squares of one macroblock: the full picture's part of it and the
// thumbnail's. The macroblock's corner is a multiple of the scale, so the
// thumbnail's part starts at the corner divided by it, and its last square
// holds the full picture's remainder.
struct Squares {
  PixelArea full;
  PixelArea thumb;
};

Squares squares_of(const FrameTarget& target, MacroblockPosition at) noexcept {
  return {macroblock_area(at.col, at.row, target.geometry.size_shift, target.full_width, target.full_height),
          target.area(at)};
}

// Calls f(out, r0, r1, c0, c1) for each thumbnail pixel of a macroblock: its
// address, and the rows r0..r1 - 1 and columns c0..c1 - 1 of the macroblock
// that its square covers inside the picture.
template <class F>
void for_each_square(const FrameView& frame, const Squares& sq, size_t scale, F f) noexcept {
  const uint64_t bpp = frame.pixel_bytes();
  for (size_t v = 0; v < sq.thumb.rows; ++v) {
    const size_t r0 = v * scale;
    const size_t r1 = r0 + scale < sq.full.rows ? r0 + scale : sq.full.rows;
    uint8_t* out = frame.origin(sq.thumb) + v * frame.stride();
    for (size_t u = 0; u < sq.thumb.cols; ++u, out += bpp) {
      const size_t c0 = u * scale;
      f(out, r0, r1, c0, c0 + scale < sq.full.cols ? c0 + scale : sq.full.cols);
    }
  }
}

// The rounded mean of `count` values that sum to `sum` (halves up).
constexpr uint8_t mean(uint32_t sum, uint32_t count) noexcept {
  return static_cast<uint8_t>((sum + count / 2) / count);
}

// The means of the four 4x4 quarters of a block (top-left, top-right,
// bottom-left, bottom-right) straight from its dequantised coefficients, as
// samples, with no transform. Over half a block the basis functions of even
// frequency (but the DC) sum to zero, and those of odd frequency k contribute
// g(k) times their coefficient on one half and -g(k) on the other, where g(k)
// is the mean of cos((2x + 1) k pi / 16) over x = 0..3 divided by
// cos(k pi / 16) (which undoes the transform's prescale): g(1) = -g(7) =
// sqrt(2 + sqrt 2) / sqrt 8 and g(3) = -g(5) = -sqrt(2 - sqrt 2) / sqrt 8. A
// quarter's mean is then the DC term, plus or minus the odd terms of the first
// row weighted by g(l) (left or right), plus or minus those of the first column
// weighted by g(k) (top or bottom), plus or minus the other odd terms weighted
// by g(k) g(l) (their signs' product): 25 coefficients, in which the products
// g(k) g(l) take three values, (2 + sqrt 2) / 8, -sqrt 2 / 8 and (2 - sqrt 2) / 8.
//
// Integers only, so that every compiler and CPU gives the same bytes (a
// compiler may fuse a float multiply and add, or not, and move a rounding).
// The weights are fixed-point with kMeanBits fraction bits, each rounded to the
// nearest; the sums are exact in 64 bits: a coefficient is below 2^31, and no
// weighted sum of one quarter exceeds 2^59 whatever the coefficients. The
// transform leaves 8 times the sample before the level shift, and rounds its
// samples down from eighths, 7/16 of a level below the exact value on
// average, so the mean of a quarter of them is the exact mean less 7/16
// rounded to the nearest: with y eight times the exact mean, the result is
// floor((y + 1/2) / 8), one arithmetic shift of the fixed-point sum plus a half
// (halves up), and then the transform's own clamp (values beyond the sample
// range wrap as there). A flat block's quarters are so its samples exactly.
constexpr int kMeanBits = 24;
constexpr int64_t kMeanOne = int64_t{1} << kMeanBits;
constexpr int64_t kG1 = 10960245;    // g(1) = 0.65328148...
constexpr int64_t kG3 = -4539882;    // g(3) = -0.27059805...
constexpr int64_t kG1G1 = 7160125;   // g(1) g(1) = (2 + sqrt 2) / 8 = 0.42677670...
constexpr int64_t kG1G3 = -2965821;  // g(1) g(3) = -sqrt 2 / 8 = -0.17677670...
constexpr int64_t kG3G3 = 1228483;   // g(3) g(3) = (2 - sqrt 2) / 8 = 0.07322330...
// Each product of weights is the rounded product of the rounded weights, to
// within a unit: the constants agree with one another.
constexpr bool near_product(int64_t p, int64_t a, int64_t b) {
  const int64_t exact = a * b / kMeanOne;
  return p - exact <= 1 && exact - p <= 1;
}
static_assert(near_product(kG1G1, kG1, kG1) && near_product(kG1G3, kG1, kG3) && near_product(kG3G3, kG3, kG3));

}  // namespace

std::array<uint8_t, 4> quarter_means(const int32_t* d) noexcept {
  auto at = [d](size_t k, size_t l) { return int64_t{d[8 * k + l]}; };
  // A row's (or column's) odd terms pair up as differences: g(7) = -g(1), g(5) = -g(3).
  auto odd_row = [&](size_t k) { return std::array<int64_t, 2>{at(k, 1) - at(k, 7), at(k, 3) - at(k, 5)}; };
  const int64_t dc = at(0, 0) * kMeanOne;
  const std::array<int64_t, 2> first_row = odd_row(0);
  const int64_t horizontal = kG1 * first_row[0] + kG3 * first_row[1];
  const int64_t vertical = kG1 * (at(1, 0) - at(7, 0)) + kG3 * (at(3, 0) - at(5, 0));
  const std::array<int64_t, 2> r1 = odd_row(1), r3 = odd_row(3), r5 = odd_row(5), r7 = odd_row(7);
  const int64_t both = kG1G1 * (r1[0] - r7[0]) + kG1G3 * (r1[1] - r7[1] + r3[0] - r5[0]) + kG3G3 * (r3[1] - r5[1]);
  // floor((y + 1/2) / 8) for the quarter's y: plus half a unit of y, then
  // the shift by kMeanBits (to eighths, rounded as said above) that clamp_idct
  // follows with its own shift by 3. The value fits 35 bits; clamp_idct reads
  // bits 3..12 of it, which the conversion to 32 bits keeps.
  auto sample = [](int64_t y) { return clamp_idct(static_cast<int32_t>((y + kMeanOne / 2) >> kMeanBits)); };
  return {sample(dc + horizontal + vertical + both), sample(dc - horizontal + vertical - both),
          sample(dc + horizontal - vertical - both), sample(dc - horizontal - vertical + both)};
}

void box_means_2x2(const uint8_t* block, uint8_t* out) noexcept {
  // Two rows of means at a time, from four rows of samples.
  for (unsigned v = 0; v < 4; v += 2) {
    const uint8_t* in = block + 16 * v;
#if defined(__SSE2__)
    // Each 16 bytes hold two rows. The even and odd bytes as 16-bit lanes,
    // added: the pairs' sums, four of the upper row then four of the lower.
    // The two rows' halves added: the four squares' sums of one row of means,
    // for two of them at once, then rounded and narrowed as `mean` does.
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
    const __m128i pairs_a = _mm_add_epi16(_mm_and_si128(a, low_bytes), _mm_srli_epi16(a, 8));
    const __m128i pairs_b = _mm_add_epi16(_mm_and_si128(b, low_bytes), _mm_srli_epi16(b, 8));
    const __m128i sums = _mm_add_epi16(_mm_unpacklo_epi64(pairs_a, pairs_b), _mm_unpackhi_epi64(pairs_a, pairs_b));
    const __m128i means = _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(2)), 2);
    alignas(8) uint8_t packed[8];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(packed), _mm_packus_epi16(means, means));
    std::memcpy(out + 8 * v, packed, 4);
    std::memcpy(out + 8 * (v + 1), packed + 4, 4);
#else
    for (unsigned w = 0; w < 2; ++w) {
      const uint8_t* top = in + 16 * w;
      for (unsigned u = 0; u < 4; ++u) {
        const uint32_t sum = uint32_t{top[2 * u]} + top[2 * u + 1] + top[8 + 2 * u] + top[8 + 2 * u + 1];
        out[8 * (v + w) + u] = mean(sum, 4);
      }
    }
#endif
  }
}

namespace {

// 1/8 of a whole macroblock: each 8x8 luma block is one pixel of its DC level.
// In the 8x8 mode the chroma blocks cover the same pixels and give their DC
// levels too. In the 16x16 mode a pixel covers a quarter of each chroma block,
// whose mean is not the DC term (the odd terms do not cancel over a half):
// quarter_means gives it.
template <PixelFormat F>
void draw_dc(const FrameTarget& target, const int32_t* c, const PixelArea& thumb) noexcept {
  const FrameView& frame = target.frame;
  uint8_t* origin = frame.origin_as<F>(thumb);
  if (!target.subsampled) {
    store_samples<F>(frame, origin, clamp_idct(c[0]), clamp_idct(c[target.geometry.cb_at]),
                     clamp_idct(c[target.geometry.cr_at]));
    return;
  }
  constexpr bool gray = F == PixelFormat::gray;
  std::array<uint8_t, 4> cb = {128, 128, 128, 128}, cr = cb;
  if (!gray) {
    cb = quarter_means(c + target.geometry.cb_at);
    cr = quarter_means(c + target.geometry.cr_at);
  }
  constexpr uint64_t bpp = bytes_per_pixel(F);
  // Thumbnails have 2x2 pixels per 16x16 macroblock where it is whole.
  for (size_t q = 0; q < 4; ++q) {
    store_samples<F>(frame, origin + (q >> 1) * frame.stride_as<F>() + (q & 1) * bpp, clamp_idct(c[64 * q]), cb[q],
                     cr[q]);
  }
}

// The rounded means of each S x S square of an 8x8 block, written as rows of
// 8 / S at `out` (stride 8).
template <unsigned S>
inline void box_means(const uint8_t* block, uint8_t* out) noexcept {
  if constexpr (S == 2) {
    box_means_2x2(block, out);
  } else {
    constexpr unsigned n = 8 / S;
    for (unsigned v = 0; v < n; ++v) {
      for (unsigned u = 0; u < n; ++u) {
        uint32_t sum = 0;
        for (unsigned r = 0; r < S; ++r) {
          for (unsigned c = 0; c < S; ++c) sum += block[8 * (S * v + r) + S * u + c];
        }
        out[8 * v + u] = mean(sum, S * S);
      }
    }
  }
}

// A whole macroblock at 1/S (S = 2 or 4) from its transformed samples. The
// means of each square are laid out as an 8x8-mode macroblock whose top-left
// side x side pixels are the thumbnail's (side = 16 / S or 8 / S), then
// converted. In the 16x16 mode a square covers (S / 2)^2 chroma samples, each
// standing for the same number of pixels, so their mean is the pixels' mean.
template <unsigned S, PixelFormat F>
void draw_whole(const FrameTarget& target, const int32_t* coefficients, const YuvMacroblock& staging,
                const PixelArea& thumb) noexcept {
  // The source's layout, and that of the means: an 8x8-mode macroblock.
  constexpr MacroblockGeometry k16 = macroblock_geometry(true), k8 = macroblock_geometry(false);
  const FrameView& frame = target.frame;
  constexpr bool gray = F == PixelFormat::gray;
  alignas(64) YuvMacroblock means;
  unsigned side = 8 / S;
  if (!target.subsampled) {
    for (size_t b = 0; b < (gray ? k8.luma_blocks : k8.blocks); ++b)
      box_means<S>(staging.data() + 64 * b, means.data() + 64 * b);
  } else {
    side = 16 / S;
    constexpr unsigned n = 8 / S;
    for (unsigned q = 0; q < 4; ++q) {
      uint8_t* out = means.data() + n * (q & 1) + 8 * n * (q >> 1);
      if constexpr (S == 4) {
        // The luma blocks were not transformed: their quarters from the coefficients.
        const std::array<uint8_t, 4> m = quarter_means(coefficients + 64 * q);
        out[0] = m[0], out[1] = m[1], out[8] = m[2], out[9] = m[3];
      } else {
        box_means<S>(staging.data() + 64 * q, out);
      }
    }
    if (!gray) {
      if constexpr (S == 2) {
        std::memcpy(means.data() + k8.cb_at, staging.data() + k16.cb_at, 128);  // one chroma sample a square
      } else {
        box_means<S / 2>(staging.data() + k16.cb_at, means.data() + k8.cb_at);
        box_means<S / 2>(staging.data() + k16.cr_at, means.data() + k8.cr_at);
      }
    }
  }

  // The kernels convert a macroblock with vector instructions, in any format:
  // a whole one where the thumbnail's macroblock is 8x8, its 4x4 corner where
  // it is 4x4 (the only other side here: the 8x8 mode's 1/4 is draw_quarters).
  if (side == 8) {
    target.yuv_to_rgb(means, thumb.x / 8, thumb.y / 8, frame, false);
    return;
  }
  if constexpr (is_planar(F)) {  // the samples themselves: nothing to convert
    uint8_t* origin = frame.origin_as<F>(thumb);
    for (unsigned v = 0; v < side; ++v) {
      for (unsigned u = 0; u < side; ++u)
        store_samples<F>(frame, origin + v * frame.stride_as<F>() + u, means[8 * v + u], means[k8.cb_at + 8 * v + u],
                         means[k8.cr_at + 8 * v + u]);
    }
  } else {
    target.kernels->quarter_to_rgb[static_cast<size_t>(F)](means, frame.origin_as<F>(thumb), frame.stride_as<F>());
  }
}

// 1/4 of a whole 8x8 macroblock: each block's quarter means, four pixels.
template <PixelFormat F>
void draw_quarters(const FrameTarget& target, const int32_t* c, const PixelArea& thumb) noexcept {
  const FrameView& frame = target.frame;
  constexpr bool gray = F == PixelFormat::gray;
  const std::array<uint8_t, 4> y = quarter_means(c);
  std::array<uint8_t, 4> cb = {128, 128, 128, 128}, cr = cb;
  if (!gray) {
    cb = quarter_means(c + target.geometry.cb_at);
    cr = quarter_means(c + target.geometry.cr_at);
  }
  uint8_t* origin = frame.origin_as<F>(thumb);
  constexpr uint64_t bpp = bytes_per_pixel(F);
  for (size_t q = 0; q < 4; ++q) {
    store_samples<F>(frame, origin + (q >> 1) * frame.stride_as<F>() + (q & 1) * bpp, y[q], cb[q], cr[q]);
  }
}

// The coefficients draw_dct_scaled reads of the macroblock at `at`, of its
// luma blocks and of its chroma blocks: the decoder need not dequantise or
// store the others.
struct ThumbnailNeeds {
  Kept luma;
  Kept chroma;
};

// Whether the macroblock at `at` lies inside the full picture on both sides
// (positions reach 255, so the sums stay small). Cheaper than the macroblock's
// squares, for every macroblock.
bool is_whole(const FrameTarget& target, MacroblockPosition at) noexcept {
  const unsigned shift = target.geometry.size_shift;
  return (at.col + 1) << shift <= target.full_width && (at.row + 1) << shift <= target.full_height;
}

ThumbnailNeeds thumbnail_needs(const FrameTarget& target, MacroblockPosition at) noexcept {
  const bool whole = is_whole(target, at);
  // Grey reads no chroma at all, but the blocks are decoded all the same.
  const bool gray = target.frame.format == PixelFormat::gray;
  ThumbnailNeeds needs{Kept::all, gray ? Kept::dc : Kept::all};
  if (!whole) return needs;  // transformed and averaged pixel by pixel
  if (target.scale == 8) {   // see draw_dc: the 16x16 mode's chroma quarters read more
    needs.luma = Kept::dc;
    if (!gray && !target.subsampled) needs.chroma = Kept::dc;
  }
  return needs;
}

void decode_dct_scaled(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair, StreamState& stream,
                       DctMacroblock& out) noexcept {
  // The blocks kept whole, zeroed: the decoder writes the coded entries it
  // keeps. Of a DC-only block the decoder writes entry 0 and the drawing reads
  // nothing else, so the rest may hold anything. The luma blocks come first.
  const ThumbnailNeeds needs = thumbnail_needs(target, at);
  const size_t luma_blocks = target.geometry.luma_blocks;
  const size_t first = needs.luma == Kept::all ? 0 : luma_blocks;
  const size_t end = needs.chroma == Kept::all ? luma_blocks + 2 : luma_blocks;
  if (first < end) std::memset(out.coefficients + 64 * first, 0, sizeof(int32_t) * 64 * (end - first));
  std::array<int32_t, 3> predictors = {stream.dc_y, stream.dc_cb, stream.dc_cr};
  decode_macroblock_kept(stream.reader, target.quant_tables->slot[quant_pair],
                         target.quant_tables->slot[quant_pair + 1], luma_blocks, predictors, out.coefficients,
                         needs.luma, needs.chroma);
  stream.dc_y = predictors[0];
  stream.dc_cb = predictors[1];
  stream.dc_cr = predictors[2];
}

template <PixelFormat F>
void draw_dct_scaled(const FrameTarget& target, MacroblockPosition at, const DctMacroblock& macroblock) noexcept {
  // A whole macroblock's thumbnail square is whole too; the full picture's
  // part of an edge one is asked for only there.
  const bool whole = is_whole(target, at);
  Squares sq{};
  if (whole) {
    sq.thumb = target.area(at);
  } else {
    sq = squares_of(target, at);
    if (sq.full.empty()) return;
  }
  const size_t scale = target.scale;
  const FrameView& frame = target.frame;
  if (whole && scale == 8) return draw_dc<F>(target, macroblock.coefficients, sq.thumb);
  if (whole && scale == 4 && !target.subsampled) return draw_quarters<F>(target, macroblock.coefficients, sq.thumb);

  // The blocks transformed as for the full picture; grey needs the luma alone.
  constexpr bool gray = F == PixelFormat::gray;
  const size_t luma_blocks = target.geometry.luma_blocks;
  alignas(64) YuvMacroblock staging;
  if (whole && scale == 4) {  // 16x16 mode: the chroma blocks alone need the transform
    if (!gray)
      target.kernels->idct_blocks(macroblock.coefficients + target.geometry.cb_at, 2,
                                  staging.data() + target.geometry.cb_at);
    return draw_whole<4, F>(target, macroblock.coefficients, staging, sq.thumb);
  }
  target.kernels->idct_blocks(macroblock.coefficients, gray ? luma_blocks : target.geometry.blocks, staging.data());
  if (whole) return draw_whole<2, F>(target, macroblock.coefficients, staging, sq.thumb);
  // A macroblock on the right or bottom edge: squares of any size.
  const size_t cb_at = target.geometry.cb_at;
  const size_t cr_at = target.geometry.cr_at;

  for_each_square(frame, sq, scale, [&](uint8_t* out, size_t r0, size_t r1, size_t c0, size_t c1) {
    uint32_t y = 0, cb = 0, cr = 0;
    for (size_t r = r0; r < r1; ++r) {
      for (size_t c = c0; c < c1; ++c) {
        if (target.subsampled) {
          y += staging[64 * ((c >> 3) + 2 * (r >> 3)) + 8 * (r & 7) + (c & 7)];
          const size_t chroma = 8 * (r >> 1) + (c >> 1);
          cb += staging[cb_at + chroma];
          cr += staging[cr_at + chroma];
        } else {
          y += staging[8 * r + c];
          cb += staging[cb_at + 8 * r + c];
          cr += staging[cr_at + 8 * r + c];
        }
      }
    }
    const auto n = static_cast<uint32_t>((r1 - r0) * (c1 - c0));
    store_samples<F>(frame, out, mean(y, n), gray ? 128 : mean(cb, n), gray ? 128 : mean(cr, n));
  });
}

template <PixelFormat F>
void draw_vq_scaled(const FrameTarget& target, MacroblockPosition at, const VqMacroblock& macroblock) noexcept {
  const Squares sq = squares_of(target, at);
  if (sq.full.empty()) return;
  const FrameView& frame = target.frame;
  // The cache holds Y in bits 16..23, Cb in 8..15, Cr in 0..7.
  const uint32_t colors = 1u << macroblock.index_bits;
  auto sample = [&](uint32_t k, unsigned channel) { return (macroblock.colors[k] >> (16 - 8 * channel)) & 0xFF; };

  if (colors == 1) {  // every square is the one colour
    const auto y = static_cast<uint8_t>(sample(0, 0)), cb = static_cast<uint8_t>(sample(0, 1)),
               cr = static_cast<uint8_t>(sample(0, 2));
    for (size_t v = 0; v < sq.thumb.rows; ++v) {
      uint8_t* out = frame.origin_as<F>(sq.thumb) + v * frame.stride_as<F>();
      for (size_t u = 0; u < sq.thumb.cols; ++u) store_samples<F>(frame, out + u * bytes_per_pixel(F), y, cb, cr);
    }
    return;
  }
  // As for DCT squares: the means of the samples its pixels take, then one
  // conversion (none for the planar formats).
  const uint32_t shift = target.subsampled ? 1 : 0;  // in the 16x16 mode each code paints 2x2 pixels
  for_each_square(frame, sq, target.scale, [&](uint8_t* out, size_t r0, size_t r1, size_t c0, size_t c1) {
    std::array<uint32_t, 4> count{};
    for (size_t r = r0; r < r1; ++r) {
      const uint8_t* row_codes = macroblock.codes.data() + 8 * (r >> shift);
      for (size_t c = c0; c < c1; ++c) ++count[row_codes[c >> shift]];
    }
    const uint32_t n = count[0] + count[1] + count[2] + count[3];
    std::array<uint8_t, 3> channel{};
    for (unsigned ch = 0; ch < 3; ++ch) {
      uint32_t sum = 0;
      for (uint32_t k = 0; k < colors; ++k) sum += count[k] * sample(k, ch);
      channel[ch] = mean(sum, n);
    }
    store_samples<F>(frame, out, channel[0], channel[1], channel[2]);
  });
}

template <PixelFormat F>
void decompress_dct_scaled(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair,
                           StreamState& stream) noexcept {
  DctMacroblock macroblock;
  decode_dct_scaled(target, at, quant_pair, stream, macroblock);
  draw_dct_scaled<F>(target, at, macroblock);
}

// The thumbnail drawing of each pixel format (set-up refuses i420 at a scale).
constexpr FormatTable<MacroblockDrawing> kThumbnailDrawings = per_format([](auto f) {
  return MacroblockDrawing{decode_dct_scaled, draw_dct_scaled<f()>, decompress_dct_scaled<f()>, draw_vq_scaled<f()>,
                           false};
});

}  // namespace

const MacroblockDrawing& thumbnail_drawing(PixelFormat format) noexcept {
  return kThumbnailDrawings[static_cast<size_t>(format)];
}

}  // namespace ast2100

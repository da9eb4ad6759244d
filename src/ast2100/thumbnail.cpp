// Drawing macroblocks into a thumbnail.
#include "thumbnail.hpp"

#include <array>

#include "clamp.hpp"
#include "color.hpp"

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

Squares squares_of(const MacroblockTarget& target) noexcept {
  const uint64_t size = macroblock_size(target.subsampled);
  return {macroblock_area(target.mb_col, target.mb_row, size, target.full_width, target.full_height),
          macroblock_area(target.mb_col, target.mb_row, size / target.scale, target.frame.width,
                          target.frame.height)};
}

// Stores a pixel given as R, G, B in a format that is not grey.
inline void store_rgb_as(PixelFormat format, uint8_t* out, uint8_t r, uint8_t g, uint8_t b) noexcept {
  switch (format) {
    case PixelFormat::rgb:
      out[0] = r, out[1] = g, out[2] = b;
      break;
    case PixelFormat::bgr:
      out[0] = b, out[1] = g, out[2] = r;
      break;
    case PixelFormat::rgbx:
      out[0] = r, out[1] = g, out[2] = b, out[3] = 255;
      break;
    case PixelFormat::bgrx:
      out[0] = b, out[1] = g, out[2] = r, out[3] = 255;
      break;
    case PixelFormat::xrgb:
      out[0] = 255, out[1] = r, out[2] = g, out[3] = b;
      break;
    case PixelFormat::xbgr:
      out[0] = 255, out[1] = b, out[2] = g, out[3] = r;
      break;
    case PixelFormat::gray:
      out[0] = r;  // callers pass the grey level as r
      break;
  }
}

// The rounded mean of `count` values that sum to `sum` (halves up).
constexpr uint8_t mean(uint32_t sum, uint32_t count) noexcept {
  return static_cast<uint8_t>((sum + count / 2) / count);
}

// 1/8 of a whole macroblock: each 8x8 luma block is one pixel of its DC level.
// In the 8x8 mode the chroma blocks cover the same pixels and give their DC
// levels too. In the 16x16 mode a pixel covers a quarter of each chroma block,
// whose mean is not the DC term (the block's odd terms do not cancel over a
// half): the two chroma blocks are transformed and averaged over each quarter.
void draw_dc(const MacroblockTarget& target, const int32_t* c, const PixelArea& thumb) noexcept {
  const FrameView& frame = target.frame;
  uint8_t* origin = frame.origin(thumb);
  if (!target.subsampled) {
    store_pixel_as(frame.format, origin, clamp_idct(c[0]), clamp_idct(c[64]), clamp_idct(c[128]));
    return;
  }
  const bool gray = frame.format == PixelFormat::gray;
  alignas(64) std::array<uint8_t, 128> chroma;
  if (!gray) target.kernels->idct_blocks(c + 256, 2, chroma.data());
  const uint64_t bpp = frame.pixel_bytes();
  for (uint64_t q = 0; q < 4; ++q) {
    const uint64_t row = q >> 1, col = q & 1;
    uint32_t cb = 16 * 128, cr = 16 * 128;
    if (!gray) {
      cb = cr = 0;
      for (size_t i = 0; i < 4; ++i) {
        const size_t at = 8 * (4 * row + i) + 4 * col;
        for (size_t j = 0; j < 4; ++j) {
          cb += chroma[at + j];
          cr += chroma[64 + at + j];
        }
      }
    }
    // Thumbnails have at least 2x2 pixels per 16x16 macroblock where it is whole.
    store_pixel_as(frame.format, origin + row * frame.stride() + col * bpp, clamp_idct(c[64 * q]), mean(cb, 16),
                   mean(cr, 16));
  }
}

}  // namespace

void draw_dct_scaled(const MacroblockTarget& target, const DctMacroblock& macroblock) noexcept {
  const Squares sq = squares_of(target);
  if (sq.full.empty()) return;
  const uint64_t size = macroblock_size(target.subsampled);
  const uint64_t scale = target.scale;
  const FrameView& frame = target.frame;
  if (scale == 8 && sq.full.cols == size && sq.full.rows == size) {
    draw_dc(target, macroblock.coefficients, sq.thumb);
    return;
  }

  // The blocks transformed as for the full picture; grey needs the luma alone.
  const bool gray = frame.format == PixelFormat::gray;
  const size_t luma_blocks = target.subsampled ? 4 : 1;
  alignas(64) YuvMacroblock staging;
  target.kernels->idct_blocks(macroblock.coefficients, gray ? luma_blocks : luma_blocks + 2, staging.data());
  const size_t cb_at = 64 * luma_blocks;
  const size_t cr_at = cb_at + 64;

  const uint64_t bpp = frame.pixel_bytes();
  for (uint64_t v = 0; v < sq.thumb.rows; ++v) {
    const uint64_t r0 = v * scale;
    const uint64_t r1 = r0 + scale < sq.full.rows ? r0 + scale : sq.full.rows;
    uint8_t* out = frame.origin(sq.thumb) + v * frame.stride();
    for (uint64_t u = 0; u < sq.thumb.cols; ++u, out += bpp) {
      const uint64_t c0 = u * scale;
      const uint64_t c1 = c0 + scale < sq.full.cols ? c0 + scale : sq.full.cols;
      uint32_t y = 0, cb = 0, cr = 0;
      for (uint64_t r = r0; r < r1; ++r) {
        for (uint64_t c = c0; c < c1; ++c) {
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
      store_pixel_as(frame.format, out, mean(y, n), gray ? 128 : mean(cb, n), gray ? 128 : mean(cr, n));
    }
  }
}

void draw_vq_scaled(const MacroblockTarget& target, const VqMacroblock& macroblock) noexcept {
  const Squares sq = squares_of(target);
  if (sq.full.empty()) return;
  const FrameView& frame = target.frame;
  const bool gray = frame.format == PixelFormat::gray;
  // Each colour converted once: its RGB, or its grey level in the first byte.
  const uint32_t colors = 1u << macroblock.index_bits;
  std::array<std::array<uint8_t, 3>, 4> rgb{};
  for (uint32_t k = 0; k < colors; ++k) {
    const uint32_t c = macroblock.colors[k];
    const auto y = static_cast<uint8_t>(c >> 16), cb = static_cast<uint8_t>(c >> 8), cr = static_cast<uint8_t>(c);
    if (gray) {
      store_pixel_as(PixelFormat::gray, rgb[k].data(), y, cb, cr);
    } else {
      store_pixel(rgb[k].data(), y, cb, cr);
    }
  }

  const uint64_t scale = target.scale;
  const uint32_t shift = target.subsampled ? 1 : 0;  // in the 16x16 mode each code paints 2x2 pixels
  const uint64_t bpp = frame.pixel_bytes();
  for (uint64_t v = 0; v < sq.thumb.rows; ++v) {
    const uint64_t r0 = v * scale;
    const uint64_t r1 = r0 + scale < sq.full.rows ? r0 + scale : sq.full.rows;
    uint8_t* out = frame.origin(sq.thumb) + v * frame.stride();
    for (uint64_t u = 0; u < sq.thumb.cols; ++u, out += bpp) {
      const uint64_t c0 = u * scale;
      const uint64_t c1 = c0 + scale < sq.full.cols ? c0 + scale : sq.full.cols;
      std::array<uint32_t, 4> count{};
      if (colors == 1) {
        count[0] = 1;
      } else {
        for (uint64_t r = r0; r < r1; ++r) {
          const uint8_t* row_codes = macroblock.codes.data() + 8 * (r >> shift);
          for (uint64_t c = c0; c < c1; ++c) ++count[row_codes[c >> shift]];
        }
      }
      const uint32_t n = count[0] + count[1] + count[2] + count[3];
      std::array<uint8_t, 3> channel{};
      for (size_t ch = 0; ch < (gray ? 1 : 3); ++ch) {
        uint32_t sum = 0;
        for (uint32_t k = 0; k < colors; ++k) sum += count[k] * rgb[k][ch];
        channel[ch] = mean(sum, n);
      }
      store_rgb_as(frame.format, out, channel[0], channel[1], channel[2]);
    }
  }
}

}  // namespace ast2100

// YCbCr to RGB: the fixed-point colour tables and the writing of a finished
// macroblock into the picture.
//
// The conversion is ITU-R BT.601 studio range (luma 16..235 stretched to 0..255,
// chroma centred on 128) with its five coefficients as 16.16 fixed-point
// integers, precomputed per sample value and rounded by adding 32768 before an
// arithmetic shift. The integer constants are the definition: outputs are
// bit-exact, so they are never derived from decimal coefficients.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ast2100 {

// 1408 entries in five runs: 0 x256, ramp 0..255, 255 x384, 0 x384, ramp 0..127.
// Colour sums index it at 256 + sum; the inverse DCT at 384 + ((s >> 3) & 1023),
// where the last two runs serve the negative 10-bit values.
using ClampTable = std::array<uint16_t, 1408>;

inline constexpr ClampTable kClampTable = [] {
  ClampTable t{};
  for (int i = 0; i < 256; ++i) t[256 + i] = static_cast<uint16_t>(i);
  for (int i = 512; i < 896; ++i) t[i] = 255;
  for (int i = 0; i < 128; ++i) t[1280 + i] = static_cast<uint16_t>(i);
  return t;
}();

// Inverse DCT output: bits 3..12 of s as a signed 10-bit value plus 128, limited
// to 0..255 (values of s >> 3 outside -512..511 wrap modulo 1024 first).
inline uint8_t clamp_idct(const ClampTable& clamp, int32_t s) noexcept {
  return static_cast<uint8_t>(clamp[384 + (static_cast<uint32_t>(s >> 3) & 1023u)]);
}

struct ColorLuts {
  std::array<int32_t, 256> cr_to_r;
  std::array<int32_t, 256> cb_to_b;
  std::array<int32_t, 256> cr_to_g;
  std::array<int32_t, 256> cb_to_g;
  std::array<int32_t, 256> y_level;
};

namespace detail {
// (x * k + 32768) >> 16 for x = i - offset: round to nearest, halves up.
constexpr std::array<int32_t, 256> color_term(int32_t k, int32_t offset) {
  std::array<int32_t, 256> t{};
  for (int32_t i = 0; i < 256; ++i) t[i] = ((i - offset) * k + 32768) >> 16;
  return t;
}
}  // namespace detail

inline constexpr ColorLuts kColorLuts = {
    detail::color_term(104704, 128),  // 1.59765625
    detail::color_term(132096, 128),  // 2.015625
    detail::color_term(-53248, 128),  // -0.8125
    detail::color_term(-25600, 128),  // -0.390625
    detail::color_term(76284, 16),    // 1.16400146484375
};
static_assert(kColorLuts.y_level[0] == -19 && kColorLuts.y_level[235] == 255 &&
              kColorLuts.y_level[255] == 278);
static_assert(kColorLuts.cr_to_g[127] == 1 && kColorLuts.cb_to_g[127] == 0 &&
              kColorLuts.cb_to_b[0] == -258 && kColorLuts.cr_to_r[255] == 203);

// The decoded samples of one macroblock, 8-bit, each 8x8 block in raster order.
// 16x16 mode: Y quarters (top-left, top-right, bottom-left, bottom-right) at 0,
// 64, 128, 192, then Cb at 256 and Cr at 320, one chroma sample per 2x2 pixels.
// 8x8 mode: Y at 0, Cb at 64, Cr at 128. Other bytes are not read.
using YuvMacroblock = std::array<uint8_t, 768>;

// The part of macroblock (mb_col, mb_row) of size x size pixels that lies inside
// the picture: its top-left pixel and its clipped width and height. Empty when
// the macroblock lies wholly outside. The position is tested against the picture
// before any pixel coordinate is formed, so nothing can wrap.
struct PixelArea {
  uint64_t x = 0, y = 0, cols = 0, rows = 0;
  bool empty() const noexcept { return cols == 0; }
};

inline PixelArea macroblock_area(uint64_t mb_col, uint64_t mb_row, uint64_t size, uint64_t width,
                                 uint64_t height) noexcept {
  if (width == 0 || height == 0 || mb_col > (width - 1) / size || mb_row > (height - 1) / size) return {};
  const uint64_t x = size * mb_col;  // < width
  const uint64_t y = size * mb_row;  // < height
  return {x, y, width - x < size ? width - x : size, height - y < size ? height - y : size};
}

// Byte offset of an area's top-left pixel in a picture `width` pixels wide. The
// area lies inside the picture, whose byte size fits in 63 bits: no wrap.
inline uint64_t area_offset(const PixelArea& area, uint64_t width) noexcept {
  return (area.y * width + area.x) * 3;
}

// Where a macroblock's pixels go: the picture (RGB, rows top to bottom, stride
// width * 3) and its size.
struct FrameView {
  std::span<uint8_t> pixels;
  uint64_t width;
  uint64_t height;

  uint64_t stride() const noexcept { return width * 3; }
  uint8_t* origin(const PixelArea& area) const noexcept { return pixels.data() + area_offset(area, width); }
};


// Converts one sample triple and stores it as 3 bytes of RGB at out.
void store_pixel(uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr, const ColorLuts& luts,
                 const ClampTable& clamp) noexcept;

// Converts the staging area and stores the macroblock at (mb_col, mb_row) of the
// current mode. Pixels outside the picture (column >= width or row >= height)
// are not stored.
void yuv_to_rgb(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                bool subsampled, const ColorLuts& luts, const ClampTable& clamp) noexcept;

}  // namespace ast2100

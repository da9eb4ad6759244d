// YCbCr to RGB: the fixed-point colour tables and the writing of a finished
// macroblock into the picture, in the picture's pixel format.
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

#include "picture.hpp"

namespace ast2100 {

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
static_assert(kColorLuts.y_level[0] == -19 && kColorLuts.y_level[235] == 255 && kColorLuts.y_level[255] == 278);
static_assert(kColorLuts.cr_to_g[127] == 1 && kColorLuts.cb_to_g[127] == 0 && kColorLuts.cb_to_b[0] == -258 &&
              kColorLuts.cr_to_r[255] == 203);

// The decoded samples of one macroblock, 8-bit, each 8x8 block in raster order.
// 16x16 mode: Y quarters (top-left, top-right, bottom-left, bottom-right) at 0,
// 64, 128, 192, then Cb at 256 and Cr at 320, one chroma sample per 2x2 pixels.
// 8x8 mode: Y at 0, Cb at 64, Cr at 128. Other bytes are not read.
using YuvMacroblock = std::array<uint8_t, 768>;

// Where a pixel format puts its channels: R, G and B at their places, and the
// padding byte of 255; grey is its one level, given as r. Every scalar store of
// a pixel, at full size and in thumbnails, goes through this. A template, so
// each format's loop has its own stores with no switch per pixel.
template <PixelFormat F>
inline void place_rgb(uint8_t* out, uint8_t r, uint8_t g, uint8_t b) noexcept {
  if constexpr (F == PixelFormat::gray) {
    *out = r;
  } else {
    // Byte positions of R and B; G is always between them.
    constexpr bool reversed = F == PixelFormat::bgr || F == PixelFormat::bgrx || F == PixelFormat::xbgr;
    constexpr size_t first = padding_index(F) == 0 ? 1 : 0;
    out[reversed ? first + 2 : first] = r;
    out[first + 1] = g;
    out[reversed ? first : first + 2] = b;
    if constexpr (padding_index(F) >= 0) out[padding_index(F)] = 255;
  }
}

// The same for a format known at run time.
void store_rgb_as(PixelFormat format, uint8_t* out, uint8_t r, uint8_t g, uint8_t b) noexcept;

// Converts one sample triple and stores it as 3 bytes of RGB at out.
void store_pixel(uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept;

// The same conversion stored in `format`: the three channels rearranged with a
// padding byte of 255, or for grey the luma term alone (the Y level that every
// channel starts from, clamped to 0..255; cb and cr are not used).
void store_pixel_as(PixelFormat format, uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept;

// Black in `format` (0, 0, 0 and a padding byte of 255, or grey 0) over the
// whole of `pixels`, a whole number of pixels of a packed format.
void fill_black(std::span<uint8_t> pixels, PixelFormat format) noexcept;

// Black in a planar picture whose Y plane is its first luma_bytes bytes: Y 16
// and Cb, Cr 128, which the conversion makes 0, 0, 0.
void fill_black_planar(std::span<uint8_t> pixels, uint64_t luma_bytes) noexcept;

// A macroblock's chroma, an 8x8 block each of Cb and Cr (raster order), into
// an i420 frame at the macroblock's (clipped) area: as they are in the 16x16
// mode, in the 8x8 mode each 2x2 averaged (the rounded mean, halves up, of
// those inside the picture).
void store_chroma_420(const uint8_t* cb, const uint8_t* cr, const FrameView& frame, const PixelArea& area,
                      bool subsampled) noexcept;

// A macroblock's luma samples (its staging area's Y blocks) into the Y plane.
void store_luma_plane(const uint8_t* staging, const MacroblockPixels& mb, bool subsampled) noexcept;

// One pixel's samples stored at `out` in the frame's format: converted for a
// packed format (as store_pixel_as), or for an i444 picture the samples
// themselves in its three planes.
inline void store_samples(const FrameView& frame, uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  if (is_planar(frame.format)) {
    const uint64_t plane = frame.plane_bytes();
    out[0] = y;
    out[plane] = cb;
    out[2 * plane] = cr;
    return;
  }
  store_pixel_as(frame.format, out, y, cb, cr);
}

// Converts the staging area and stores the macroblock at (mb_col, mb_row) of the
// current mode, in the frame's pixel format. Pixels outside the picture (column
// >= width or row >= height) are not stored. For grey only the Y bytes of the
// staging area are read: the chroma bytes may be left unwritten. An i444
// frame takes the samples as they are, each 4:2:0 chroma sample over its 2x2
// pixels.
void yuv_to_rgb(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                bool subsampled) noexcept;

}  // namespace ast2100

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

#include "clamp.hpp"
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

// One pixel stored in colour format F from its converted channels, each at
// the byte its layout gives (pixel_layout), with the padding byte of 255; in
// grey, the one level, given as r. Every scalar store of a converted pixel, at
// full size and in thumbnails, goes through this. A template, so each format's
// loop has its own stores with no switch per pixel.
template <PixelFormat F>
inline void place_rgb(uint8_t* out, uint8_t r, uint8_t g, uint8_t b) noexcept {
  constexpr PixelLayout layout = pixel_layout(F);
  static_assert(layout.kind != PixelLayout::Kind::planar, "the planar formats store samples, not colours");
  if constexpr (layout.kind == PixelLayout::Kind::gray) {
    out[0] = r;
  } else {
    out[layout.r] = r;
    out[layout.g] = g;
    out[layout.b] = b;
    if constexpr (layout.padding >= 0) out[layout.padding] = 255;
  }
}

namespace detail {
inline uint8_t clamp_sum(int32_t sum) noexcept {
  // With 8-bit samples every sum lies in -277..534; the clamp to the table keeps
  // the lookup in bounds whatever the tables hold.
  const int32_t i = sum <= 0 ? 0 : (sum >= 1407 ? 1407 : sum);
  return static_cast<uint8_t>(kClampTable[static_cast<size_t>(i)]);
}
}  // namespace detail

// One pixel converted and stored in colour format F; grey is the luma term
// alone (cb and cr are not used).
template <PixelFormat F>
inline void convert_pixel(uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  const int32_t level = kColorLuts.y_level[y] + 256;
  if constexpr (pixel_layout(F).kind == PixelLayout::Kind::gray) {
    place_rgb<F>(out, detail::clamp_sum(level), 0, 0);
  } else {
    place_rgb<F>(out, detail::clamp_sum(level + kColorLuts.cr_to_r[cr]),
                 detail::clamp_sum(level + kColorLuts.cb_to_g[cb] + kColorLuts.cr_to_g[cr]),
                 detail::clamp_sum(level + kColorLuts.cb_to_b[cb]));
  }
}

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
void fill_black_planar(std::span<uint8_t> pixels, size_t luma_bytes) noexcept;

// A macroblock's chroma, an 8x8 block each of Cb and Cr (raster order), into
// an i420 frame at the macroblock's (clipped) area: as they are in the 16x16
// mode, in the 8x8 mode each 2x2 averaged (the rounded mean, halves up, of
// those inside the picture).
void store_chroma_420(const uint8_t* cb, const uint8_t* cr, const FrameView& frame, const PixelArea& area,
                      bool subsampled) noexcept;

// A macroblock's luma samples (its staging area's Y blocks) into the Y plane.
void store_luma_plane(const uint8_t* staging, const MacroblockPixels& mb, bool subsampled) noexcept;

// One pixel's samples stored at `out` in format F, the frame's: converted for
// a packed format (as convert_pixel), or for an i444 picture the samples
// themselves in its three planes.
template <PixelFormat F>
inline void store_samples(const FrameView& frame, uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  if constexpr (is_planar(F)) {
    const uint64_t plane = frame.plane_bytes();
    out[0] = y;
    out[plane] = cb;
    out[2 * plane] = cr;
  } else {
    convert_pixel<F>(out, y, cb, cr);
  }
}

// Converts the staging area and stores the macroblock at (mb_col, mb_row) of the
// current mode, in the pixel format the function is chosen for, which must be
// the frame's: one function per format, picked once per frame (Kernels). Pixels
// outside the picture (column >= width or row >= height) are not stored. For
// grey only the Y bytes of the staging area are read: the chroma bytes may be
// left unwritten. An i444 frame takes the samples as they are, each 4:2:0
// chroma sample over its 2x2 pixels.
using YuvToRgb = void (*)(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                          bool subsampled) noexcept;

// The scalar conversion and store, one per pixel format.
extern const FormatTable<YuvToRgb> kScalarYuvToRgb;

// Converts the top-left 4x4 pixels of an 8x8-mode staging area and stores them
// at `out`, rows `stride` bytes apart, in the pixel format the function is
// chosen for: a thumbnail's macroblock of 4x4 pixels, whose means are laid out
// as the corner of a macroblock. Grey reads the Y bytes alone. Null for the
// planar formats, whose thumbnails store the samples themselves.
using QuarterToRgb = void (*)(const YuvMacroblock& staging, uint8_t* out, uint64_t stride) noexcept;

// The scalar conversion of a corner, one per pixel format.
extern const FormatTable<QuarterToRgb> kScalarQuarterToRgb;

}  // namespace ast2100

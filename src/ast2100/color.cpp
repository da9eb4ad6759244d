// Macroblock colour conversion and pixel output.
#include "color.hpp"

#include <cstddef>
#include <cstring>

#include "clamp.hpp"

namespace ast2100 {
namespace {

inline uint8_t clamp_sum(int32_t sum) noexcept {
  // With 8-bit samples every sum lies in -277..534; the clamp to the table keeps
  // the lookup in bounds whatever the tables hold.
  const int32_t i = sum <= 0 ? 0 : (sum >= 1407 ? 1407 : sum);
  return static_cast<uint8_t>(kClampTable[static_cast<size_t>(i)]);
}

// One pixel in format F: converted, then placed; grey is the luma term alone.
template <PixelFormat F>
inline void put(uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  const int32_t level = kColorLuts.y_level[y] + 256;
  if constexpr (F == PixelFormat::gray) {
    place_rgb<F>(out, clamp_sum(level), 0, 0);
  } else {
    place_rgb<F>(out, clamp_sum(level + kColorLuts.cr_to_r[cr]),
                 clamp_sum(level + kColorLuts.cb_to_g[cb] + kColorLuts.cr_to_g[cr]),
                 clamp_sum(level + kColorLuts.cb_to_b[cb]));
  }
}

template <PixelFormat F>
void store_macroblock(const YuvMacroblock& staging, const MacroblockPixels& mb, bool subsampled) noexcept {
  constexpr uint64_t size = bytes_per_pixel(F);
  for (uint64_t r = 0; r < mb.area.rows; ++r) {
    uint8_t* out = mb.origin + r * mb.stride;
    for (uint64_t c = 0; c < mb.area.cols; ++c, out += size) {
      if (subsampled) {
        const size_t quarter = (c >> 3) + 2 * (r >> 3);
        const size_t chroma = 8 * (r >> 1) + (c >> 1);
        const uint8_t y = staging[64 * quarter + 8 * (r & 7) + (c & 7)];
        if constexpr (F == PixelFormat::gray) {
          put<F>(out, y, 0, 0);
        } else {
          put<F>(out, y, staging[256 + chroma], staging[320 + chroma]);
        }
      } else {
        const size_t p = 8 * r + c;
        if constexpr (F == PixelFormat::gray) {
          put<F>(out, staging[p], 0, 0);
        } else {
          put<F>(out, staging[p], staging[64 + p], staging[128 + p]);
        }
      }
    }
  }
}

// A macroblock's samples into the three planes of an i444 picture, no
// conversion: luma rows copied from their blocks, each chroma sample of the
// 16x16 mode repeated over its 2x2 pixels.
void store_planar(const YuvMacroblock& staging, const MacroblockPixels& mb, uint64_t plane, bool subsampled) noexcept {
  const MacroblockGeometry g = macroblock_geometry(subsampled);
  for (uint64_t r = 0; r < mb.area.rows; ++r) {
    uint8_t* y = mb.origin + r * mb.stride;
    uint8_t* cb = y + plane;
    uint8_t* cr = cb + plane;
    if (!subsampled) {
      std::memcpy(y, staging.data() + 8 * r, mb.area.cols);
      std::memcpy(cb, staging.data() + g.cb_at + 8 * r, mb.area.cols);
      std::memcpy(cr, staging.data() + g.cr_at + 8 * r, mb.area.cols);
      continue;
    }
    const uint8_t* quarters = staging.data() + 128 * (r >> 3) + 8 * (r & 7);  // the left quarter's row
    const uint64_t left = mb.area.cols < 8 ? mb.area.cols : 8;
    std::memcpy(y, quarters, left);
    if (mb.area.cols > 8) std::memcpy(y + 8, quarters + 64, mb.area.cols - 8);
    const uint8_t* chroma_cb = staging.data() + g.cb_at + 8 * (r >> 1);
    const uint8_t* chroma_cr = staging.data() + g.cr_at + 8 * (r >> 1);
    for (uint64_t c = 0; c < mb.area.cols; ++c) {
      cb[c] = chroma_cb[c >> 1];
      cr[c] = chroma_cr[c >> 1];
    }
  }
}

}  // namespace

void store_pixel(uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept { put<PixelFormat::rgb>(out, y, cb, cr); }

void store_pixel_as(PixelFormat format, uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  with_format(format, [&](auto f) { put<f()>(out, y, cb, cr); });
}

void store_rgb_as(PixelFormat format, uint8_t* out, uint8_t r, uint8_t g, uint8_t b) noexcept {
  with_format(format, [&](auto f) { place_rgb<f()>(out, r, g, b); });
}

void fill_black(std::span<uint8_t> pixels, PixelFormat format) noexcept {
  if (pixels.empty()) return;
  std::memset(pixels.data(), 0, pixels.size());
  const int padding = padding_index(format);
  if (padding < 0) return;
  for (size_t i = static_cast<size_t>(padding); i < pixels.size(); i += 4) pixels[i] = 255;
}

void fill_black_planar(std::span<uint8_t> pixels, uint64_t luma_bytes) noexcept {
  if (pixels.empty()) return;
  std::memset(pixels.data(), 16, luma_bytes);
  std::memset(pixels.data() + luma_bytes, 128, pixels.size() - luma_bytes);
}

void yuv_to_rgb(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                bool subsampled) noexcept {
  const MacroblockPixels mb = frame.macroblock(mb_col, mb_row, subsampled);
  if (is_planar(frame.format)) return store_planar(staging, mb, frame.plane_bytes(), subsampled);
  with_format(frame.format, [&](auto f) { store_macroblock<f()>(staging, mb, subsampled); });
}

}  // namespace ast2100

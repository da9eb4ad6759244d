// Macroblock colour conversion and pixel output.
#include "color.hpp"

#include <cstddef>

#include "clamp.hpp"

namespace ast2100 {
namespace {

inline uint8_t clamp_sum(int32_t sum) noexcept {
  // With 8-bit samples every sum lies in -277..534; the clamp to the table keeps
  // the lookup in bounds whatever the tables hold.
  const int32_t i = sum <= 0 ? 0 : (sum >= 1407 ? 1407 : sum);
  return static_cast<uint8_t>(kClampTable[static_cast<size_t>(i)]);
}

}  // namespace

void store_pixel(uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  const int32_t level = kColorLuts.y_level[y] + 256;
  out[0] = clamp_sum(level + kColorLuts.cr_to_r[cr]);
  out[1] = clamp_sum(level + kColorLuts.cb_to_g[cb] + kColorLuts.cr_to_g[cr]);
  out[2] = clamp_sum(level + kColorLuts.cb_to_b[cb]);
}

void store_pixel_as(PixelFormat format, uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  if (format == PixelFormat::gray) {
    *out = clamp_sum(kColorLuts.y_level[y] + 256);
    return;
  }
  uint8_t rgb[3];
  store_pixel(rgb, y, cb, cr);
  switch (format) {
    case PixelFormat::rgb:
      out[0] = rgb[0], out[1] = rgb[1], out[2] = rgb[2];
      break;
    case PixelFormat::bgr:
      out[0] = rgb[2], out[1] = rgb[1], out[2] = rgb[0];
      break;
    case PixelFormat::rgbx:
      out[0] = rgb[0], out[1] = rgb[1], out[2] = rgb[2], out[3] = 255;
      break;
    case PixelFormat::bgrx:
      out[0] = rgb[2], out[1] = rgb[1], out[2] = rgb[0], out[3] = 255;
      break;
    case PixelFormat::xrgb:
      out[0] = 255, out[1] = rgb[0], out[2] = rgb[1], out[3] = rgb[2];
      break;
    case PixelFormat::xbgr:
      out[0] = 255, out[1] = rgb[2], out[2] = rgb[1], out[3] = rgb[0];
      break;
    case PixelFormat::gray:
      break;
  }
}

void yuv_to_rgb(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                bool subsampled) noexcept {
  const MacroblockPixels mb = frame.macroblock(mb_col, mb_row, subsampled);
  for (uint64_t r = 0; r < mb.area.rows; ++r) {
    uint8_t* out = mb.origin + r * mb.stride;
    for (uint64_t c = 0; c < mb.area.cols; ++c, out += 3) {
      if (subsampled) {
        const size_t quarter = (c >> 3) + 2 * (r >> 3);
        const size_t chroma = 8 * (r >> 1) + (c >> 1);
        store_pixel(out, staging[64 * quarter + 8 * (r & 7) + (c & 7)], staging[256 + chroma],
                    staging[320 + chroma]);
      } else {
        const size_t p = 8 * r + c;
        store_pixel(out, staging[p], staging[64 + p], staging[128 + p]);
      }
    }
  }
}

}  // namespace ast2100

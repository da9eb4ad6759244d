// Picture geometry: the size of a picture, the macroblock grid over it,
// and where a macroblock's pixels lie.
//
// A picture is width x height pixels, rows top to bottom with no padding; the
// decoder's own pixels are 3 bytes (R, G, B), a kept picture may use another
// pixel format (below). Its byte size must fit in 63 bits, so that every offset and
// product below is formed without wrap, and so that callers whose sizes are
// signed 64-bit values can hold it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

namespace ast2100 {

inline constexpr uint64_t kMaxPictureBytes = 0x7FFF'FFFF'FFFF'FFFFull;  // 2^63 - 1

// How a kept picture lays out its pixels in memory, byte by byte: the
// decoder's own RGB, its reverse, four-byte pixels whose padding byte (X) is
// always 255 (opaque where a toolkit reads it as alpha), or one grey level.
enum class PixelFormat : uint8_t { rgb, bgr, rgbx, bgrx, xrgb, xbgr, gray };

constexpr uint64_t bytes_per_pixel(PixelFormat format) noexcept {
  switch (format) {
    case PixelFormat::rgb:
    case PixelFormat::bgr:
      return 3;
    case PixelFormat::gray:
      return 1;
    default:
      return 4;
  }
}

// Calls f(std::integral_constant<PixelFormat, F>{}) for the format F that
// `format` holds: code templated on the format, one instance per format, picked
// once per call rather than per pixel.
template <class Fn>
void with_format(PixelFormat format, Fn&& f) {
  switch (format) {
    case PixelFormat::rgb:
      return f(std::integral_constant<PixelFormat, PixelFormat::rgb>{});
    case PixelFormat::bgr:
      return f(std::integral_constant<PixelFormat, PixelFormat::bgr>{});
    case PixelFormat::rgbx:
      return f(std::integral_constant<PixelFormat, PixelFormat::rgbx>{});
    case PixelFormat::bgrx:
      return f(std::integral_constant<PixelFormat, PixelFormat::bgrx>{});
    case PixelFormat::xrgb:
      return f(std::integral_constant<PixelFormat, PixelFormat::xrgb>{});
    case PixelFormat::xbgr:
      return f(std::integral_constant<PixelFormat, PixelFormat::xbgr>{});
    case PixelFormat::gray:
      return f(std::integral_constant<PixelFormat, PixelFormat::gray>{});
  }
}

// width * height * pixel_bytes, or nothing when that exceeds max_bytes or
// 2^63 - 1 (or does not even fit in 64 bits).
inline std::optional<uint64_t> picture_bytes(uint64_t width, uint64_t height, uint64_t max_bytes,
                                             uint64_t pixel_bytes = 3) noexcept {
  uint64_t pixels = 0;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(width, height, &pixels) || __builtin_mul_overflow(pixels, pixel_bytes, &bytes) ||
      bytes > kMaxPictureBytes || bytes > max_bytes) {
    return std::nullopt;
  }
  return bytes;
}

// Where the padding byte of a four-byte pixel lies (0 or 3), or -1 for the
// formats without one.
constexpr int padding_index(PixelFormat format) noexcept {
  switch (format) {
    case PixelFormat::rgbx:
    case PixelFormat::bgrx:
      return 3;
    case PixelFormat::xrgb:
    case PixelFormat::xbgr:
      return 0;
    default:
      return -1;
  }
}

// The ceiling of size / n (n > 0), without the wrap of (size + n - 1).
constexpr uint64_t ceil_div(uint64_t size, uint64_t n) noexcept { return size / n + (size % n != 0 ? 1 : 0); }

// Macroblocks are 16x16 pixels in the subsampled (4:2:0) mode, 8x8 otherwise.
constexpr uint64_t macroblock_size(bool subsampled) noexcept { return subsampled ? 16 : 8; }

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

// Byte offset of an area's top-left pixel in a picture `width` pixels wide, of
// `pixel_bytes` bytes a pixel. The area lies inside the picture, whose byte
// size fits in 63 bits: no wrap.
inline uint64_t area_offset(const PixelArea& area, uint64_t width, uint64_t pixel_bytes = 3) noexcept {
  return (area.y * width + area.x) * pixel_bytes;
}

// The pixels of one macroblock: the part inside the picture, the address of its
// top-left pixel (the picture's first when the part is empty) and the picture's
// stride, so row r of the macroblock starts at origin + r * stride.
struct MacroblockPixels {
  PixelArea area;
  uint8_t* origin;
  uint64_t stride;
};

// Where a macroblock's pixels go: the picture (rows top to bottom, no padding,
// so the stride is width times the format's pixel size), its size and format.
struct FrameView {
  std::span<uint8_t> pixels;
  uint64_t width;
  uint64_t height;
  PixelFormat format = PixelFormat::rgb;

  uint64_t pixel_bytes() const noexcept { return bytes_per_pixel(format); }
  uint64_t stride() const noexcept { return width * pixel_bytes(); }
  uint8_t* origin(const PixelArea& area) const noexcept {
    return pixels.data() + area_offset(area, width, pixel_bytes());
  }
  MacroblockPixels macroblock(uint64_t mb_col, uint64_t mb_row, bool subsampled) const noexcept {
    const PixelArea area = macroblock_area(mb_col, mb_row, macroblock_size(subsampled), width, height);
    return {area, origin(area), stride()};
  }
};

}  // namespace ast2100

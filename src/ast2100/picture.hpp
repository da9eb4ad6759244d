// Picture geometry: the size of a picture, the macroblock grid over it,
// and where a macroblock's pixels lie.
//
// A picture is width x height pixels, rows top to bottom with no padding; the
// decoder's own pixels are 3 bytes (R, G, B), a kept picture may use another
// pixel format (below). Its byte size must fit in 63 bits, so that every offset and
// product below is formed without wrap, and so that callers whose sizes are
// signed 64-bit values can hold it.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

namespace ast2100 {

inline constexpr uint64_t kMaxPictureBytes = 0x7FFF'FFFF'FFFF'FFFFull;  // 2^63 - 1

// How a kept picture lays out its pixels in memory, byte by byte: the
// decoder's own RGB, its reverse, four-byte pixels whose padding byte (X) is
// always 255 (opaque where a toolkit reads it as alpha), or one grey level.
// Or planar: the decoder's own Y, Cb and Cr samples before any colour
// conversion, as three planes one after another with no padding, a Y plane
// of width x height bytes, then Cb, then Cr, each width x height (i444) or
// ceil(width / 2) x ceil(height / 2) (i420, a chroma sample per 2x2 pixels).
enum class PixelFormat : uint8_t { rgb, bgr, rgbx, bgrx, xrgb, xbgr, gray, i420, i444 };

inline constexpr size_t kPixelFormats = 9;  // the enumerators above, 0..8
static_assert(static_cast<size_t>(PixelFormat::i444) + 1 == kPixelFormats);

// How one pixel of a format lies in memory, the single description that every
// store derives from (the scalar stores, the AVX2 shuffles, black, the byte
// sizes). A packed colour format converts to R, G and B and puts each at its
// byte, with a padding byte of 255 in the four-byte formats; grey stores one
// level (the luma term); the planar formats store the samples unconverted,
// one byte a pixel in each plane.
struct PixelLayout {
  enum class Kind : uint8_t { color, gray, planar };
  Kind kind;
  uint8_t bytes;   // a pixel's bytes: of the Y plane for the planar formats
  int8_t r, g, b;  // the byte of each channel in a colour pixel; -1 elsewhere
  int8_t padding;  // the byte that is always 255, or -1
};

constexpr PixelLayout pixel_layout(PixelFormat format) noexcept {
  using K = PixelLayout::Kind;
  switch (format) {
    case PixelFormat::rgb:
      return {K::color, 3, 0, 1, 2, -1};
    case PixelFormat::bgr:
      return {K::color, 3, 2, 1, 0, -1};
    case PixelFormat::rgbx:
      return {K::color, 4, 0, 1, 2, 3};
    case PixelFormat::bgrx:
      return {K::color, 4, 2, 1, 0, 3};
    case PixelFormat::xrgb:
      return {K::color, 4, 1, 2, 3, 0};
    case PixelFormat::xbgr:
      return {K::color, 4, 3, 2, 1, 0};
    case PixelFormat::gray:
      return {K::gray, 1, -1, -1, -1, -1};
    case PixelFormat::i420:
    case PixelFormat::i444:
      break;
  }
  return {K::planar, 1, -1, -1, -1, -1};
}

// Every byte of a colour pixel is R, G, B or the padding, each once.
constexpr bool covers_each_byte_once(const PixelLayout& l) noexcept {
  for (int byte = 0; byte < l.bytes; ++byte) {
    const int n = (l.r == byte) + (l.g == byte) + (l.b == byte) + (l.padding == byte);
    if (n != 1) return false;
  }
  return true;
}
static_assert([] {
  for (size_t f = 0; f < kPixelFormats; ++f) {
    const PixelLayout l = pixel_layout(static_cast<PixelFormat>(f));
    if (l.kind == PixelLayout::Kind::color && !covers_each_byte_once(l)) return false;
  }
  return true;
}());

constexpr bool is_planar(PixelFormat format) noexcept { return pixel_layout(format).kind == PixelLayout::Kind::planar; }

// Bytes per pixel of a packed format; for the planar ones, of the Y plane
// (a pixel's bytes in each plane of i444), which is where a picture's stride
// and a pixel's offset are measured. 1 to 4: a size on every CPU.
constexpr size_t bytes_per_pixel(PixelFormat format) noexcept { return pixel_layout(format).bytes; }

// Where the padding byte of a four-byte pixel lies (0 or 3), or -1 for the
// formats without one.
constexpr int padding_index(PixelFormat format) noexcept { return pixel_layout(format).padding; }

// A table with one entry per pixel format, indexed by it; per_format(make)
// fills it with make(std::integral_constant<PixelFormat, F>{}) for each F, so
// that code templated on the format is picked from it once (per frame, say).
template <class T>
using FormatTable = std::array<T, kPixelFormats>;

template <class Make>
constexpr auto per_format(Make make) {
  return [&]<size_t... F>(std::index_sequence<F...>) {
    return FormatTable<decltype(make(std::integral_constant<PixelFormat, PixelFormat::rgb>{}))>{
        make(std::integral_constant<PixelFormat, static_cast<PixelFormat>(F)>{})...};
  }
  (std::make_index_sequence<kPixelFormats>{});
}

// The same for a colour conversion kernel: make(f) for the packed formats,
// null for the planar ones, which store samples and convert nothing.
template <class Kernel, class Make>
constexpr FormatTable<Kernel> per_packed_format(Make make) {
  return per_format([&](auto f) -> Kernel {
    if constexpr (is_planar(f())) {
      return nullptr;
    } else {
      return make(f);
    }
  });
}

// Calls f(std::integral_constant<PixelFormat, F>{}) for the packed format F
// that `format` holds: code templated on the format, one instance per format,
// picked once per call rather than per pixel. Nothing for a planar format,
// which its callers handle before.
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
    case PixelFormat::i420:
    case PixelFormat::i444:
      return;
  }
}

// The ceiling of size / n (n > 0), without the wrap of (size + n - 1), in the
// type of `size`: a frame's 64-bit side, or a size_t that indexes memory.
template <std::unsigned_integral T>
constexpr T ceil_div(T size, std::type_identity_t<T> n) noexcept {
  return size / n + (size % n != 0 ? 1 : 0);
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

// The macroblock of a mode. In the subsampled (4:2:0) mode it is 16x16 pixels:
// four 8x8 luma blocks (top-left, top-right, bottom-left, bottom-right) and one
// block each of Cb and Cr, a chroma sample per 2x2 pixels. Otherwise it is 8x8
// pixels with one block of each component (4:4:4). The blocks come in that
// order everywhere: in the stream, among a macroblock's coefficients and among
// its staged samples, 64 entries a block.
struct MacroblockGeometry {
  unsigned size_shift;  // the side is 2^size_shift pixels
  uint64_t size;        // 16 or 8
  size_t luma_blocks;   // 4 or 1
  size_t blocks;        // 6 or 3
  size_t cb_at;         // where the Cb block starts: 256 or 64
  size_t cr_at;         // and the Cr block: 320 or 128
};

constexpr MacroblockGeometry macroblock_geometry(bool subsampled) noexcept {
  const size_t luma = subsampled ? 4 : 1;
  const unsigned shift = subsampled ? 4 : 3;
  return {shift, uint64_t{1} << shift, luma, luma + 2, 64 * luma, 64 * luma + 64};
}

constexpr uint64_t macroblock_size(bool subsampled) noexcept { return macroblock_geometry(subsampled).size; }

// The scales a picture can be drawn at: 1, or a thumbnail at 1/2, 1/4 or 1/8,
// a power of two no larger than the smallest macroblock, so that every
// macroblock covers whole squares of scale x scale pixels.
constexpr bool valid_scale(uint64_t scale) noexcept { return scale == 1 || scale == 2 || scale == 4 || scale == 8; }

// The byte size of a width x height picture in `format` (three planes for the
// planar formats), or nothing when it exceeds max_bytes or 2^63 - 1.
inline std::optional<uint64_t> format_picture_bytes(uint64_t width, uint64_t height, PixelFormat format,
                                                    uint64_t max_bytes) noexcept {
  if (format == PixelFormat::i444) return picture_bytes(width, height, max_bytes, 3);
  if (format != PixelFormat::i420) return picture_bytes(width, height, max_bytes, bytes_per_pixel(format));
  const std::optional<uint64_t> luma = picture_bytes(width, height, kMaxPictureBytes, 1);
  if (!luma) return std::nullopt;
  // Each chroma plane holds at most a quarter of the luma plane and a row and a column: no wrap.
  const uint64_t bytes = *luma + 2 * (ceil_div(width, 2) * ceil_div(height, 2));
  if (bytes < *luma || bytes > kMaxPictureBytes || bytes > max_bytes) return std::nullopt;
  return bytes;
}

// The byte size of the picture that frames of width x height draw at 1/scale
// (scale valid) in `format`: ceil(width / scale) x ceil(height / scale) pixels.
// Nothing when it exceeds max_bytes, or when the frames' full-size picture in
// that format would exceed 2^63 - 1 bytes (the decoder walks its macroblocks
// whatever the scale).
inline std::optional<uint64_t> drawn_picture_bytes(uint64_t width, uint64_t height, PixelFormat format, uint32_t scale,
                                                   uint64_t max_bytes) noexcept {
  if (!format_picture_bytes(width, height, format, kMaxPictureBytes)) return std::nullopt;
  return format_picture_bytes(ceil_div(width, scale), ceil_div(height, scale), format, max_bytes);
}

// The part of a square of 2^shift pixels at square column `col` and row `row`
// (a macroblock, or its part of a thumbnail) that lies inside the picture: its
// top-left pixel and its clipped width and height. Empty when the square lies
// wholly outside. The position is tested against the picture before any pixel
// coordinate is formed, so nothing can wrap; shifts, not divisions, as this
// runs for every macroblock. The corner is a pixel position of the frame
// (64-bit, as its sides are); the clipped sides are at most the square's (16),
// so they are sizes on every CPU, which index a macroblock's staged samples.
struct PixelArea {
  uint64_t x = 0, y = 0;
  size_t cols = 0, rows = 0;
  bool empty() const noexcept { return cols == 0; }
};

// The clipped side of a square of side `size` that starts `left` pixels before
// the picture's edge: at most `size`, so the conversion keeps its value.
constexpr size_t clipped_side(uint64_t left, uint64_t size) noexcept {
  return static_cast<size_t>(left < size ? left : size);
}

inline PixelArea macroblock_area(uint64_t col, uint64_t row, unsigned shift, uint64_t width, uint64_t height) noexcept {
  if (width == 0 || height == 0 || col > (width - 1) >> shift || row > (height - 1) >> shift) return {};
  const uint64_t size = uint64_t{1} << shift;
  const uint64_t x = col << shift;  // < width
  const uint64_t y = row << shift;  // < height
  return {x, y, clipped_side(width - x, size), clipped_side(height - y, size)};
}

// A byte count or offset within a picture (or other block) that exists in
// memory, formed from the frame's 64-bit geometry: it is at most the block's
// size, itself a size_t, so on a 32-bit CPU too the conversion keeps its value.
// Sizes not yet allocated stay 64-bit until checked against that limit.
constexpr size_t in_memory(uint64_t bytes) noexcept { return static_cast<size_t>(bytes); }

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
// In an i444 picture a pixel's Cb and Cr lie plane_bytes() and twice that
// after its Y; an i420 picture (drawn at full size only) has its chroma planes
// after the Y plane, chroma_width() samples a row.
struct FrameView {
  std::span<uint8_t> pixels;
  uint64_t width;
  uint64_t height;
  PixelFormat format = PixelFormat::rgb;

  uint64_t pixel_bytes() const noexcept { return bytes_per_pixel(format); }
  uint64_t stride() const noexcept { return width * pixel_bytes(); }
  uint64_t plane_bytes() const noexcept { return width * height; }
  // i420: the chroma planes' width and size.
  uint64_t chroma_width() const noexcept { return ceil_div(width, 2); }
  uint64_t chroma_plane_bytes() const noexcept { return chroma_width() * ceil_div(height, 2); }
  uint8_t* origin(const PixelArea& area) const noexcept {
    return pixels.data() + area_offset(area, width, pixel_bytes());
  }
  // The same for a frame known to be in format F, with its pixel size a
  // constant: for the drawings compiled per format.
  template <PixelFormat F>
  uint64_t stride_as() const noexcept {
    return width * bytes_per_pixel(F);
  }
  template <PixelFormat F>
  uint8_t* origin_as(const PixelArea& area) const noexcept {
    return pixels.data() + area_offset(area, width, bytes_per_pixel(F));
  }
  MacroblockPixels macroblock(uint64_t mb_col, uint64_t mb_row, bool subsampled) const noexcept {
    const PixelArea area = macroblock_area(mb_col, mb_row, macroblock_geometry(subsampled).size_shift, width, height);
    return {area, origin(area), stride()};
  }
};

}  // namespace ast2100

// Macroblock colour conversion and pixel output.
#include "color.hpp"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "clamp.hpp"

namespace ast2100 {
namespace {

// Where the staged chroma blocks start in each mode.
constexpr MacroblockGeometry k16 = macroblock_geometry(true), k8 = macroblock_geometry(false);

template <PixelFormat F>
void store_macroblock(const YuvMacroblock& staging, const MacroblockPixels& mb, bool subsampled) noexcept {
  constexpr uint64_t size = bytes_per_pixel(F);
  for (size_t r = 0; r < mb.area.rows; ++r) {
    uint8_t* out = mb.origin + r * mb.stride;
    for (size_t c = 0; c < mb.area.cols; ++c, out += size) {
      if (subsampled) {
        const size_t quarter = (c >> 3) + 2 * (r >> 3);
        const size_t chroma = 8 * (r >> 1) + (c >> 1);
        const uint8_t y = staging[64 * quarter + 8 * (r & 7) + (c & 7)];
        if constexpr (F == PixelFormat::gray) {
          convert_pixel<F>(out, y, 0, 0);
        } else {
          convert_pixel<F>(out, y, staging[k16.cb_at + chroma], staging[k16.cr_at + chroma]);
        }
      } else {
        const size_t p = 8 * r + c;
        if constexpr (F == PixelFormat::gray) {
          convert_pixel<F>(out, staging[p], 0, 0);
        } else {
          convert_pixel<F>(out, staging[p], staging[k8.cb_at + p], staging[k8.cr_at + p]);
        }
      }
    }
  }
}

// A macroblock's luma rows into the Y plane, copied from its blocks (in the
// 16x16 mode the left and right quarters' rows side by side). Whole rows are
// copies of a constant size.
void store_luma(const uint8_t* staging, const MacroblockPixels& mb, bool subsampled) noexcept {
  const size_t cols = mb.area.cols;
  for (size_t r = 0; r < mb.area.rows; ++r) {
    uint8_t* y = mb.origin + r * mb.stride;
    const uint8_t* row = subsampled ? staging + 128 * (r >> 3) + 8 * (r & 7) : staging + 8 * r;
    if (cols >= 8) {
      std::memcpy(y, row, 8);
      if (cols == 16) {
        std::memcpy(y + 8, row + 64, 8);
      } else if (cols > 8) {
        std::memcpy(y + 8, row + 64, cols - 8);
      }
    } else {
      std::memcpy(y, row, cols);
    }
  }
}

// The chroma blocks (8x8 each) of a macroblock into the Cb and Cr planes of
// an i444 picture, each 4:2:0 sample repeated over its 2x2 pixels.
void store_chroma_444(const uint8_t* cb, const uint8_t* cr, const MacroblockPixels& mb, uint64_t plane,
                      bool subsampled) noexcept {
  if (subsampled && mb.area.cols == 16 && mb.area.rows == 16) {
    // A whole macroblock: each row of 8 samples widened to 16 once, stored on two rows.
    for (uint64_t v = 0; v < 8; ++v) {
      uint8_t* out = mb.origin + 2 * v * mb.stride + plane;
#if defined(__SSE2__)
      // Each byte unpacked with itself: the scalar loop below, sixteen bytes at once.
      const __m128i wide_cb = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + 8 * v));
      const __m128i wide_cr = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + 8 * v));
      const __m128i row_cb = _mm_unpacklo_epi8(wide_cb, wide_cb), row_cr = _mm_unpacklo_epi8(wide_cr, wide_cr);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), row_cb);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + mb.stride), row_cb);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + plane), row_cr);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + plane + mb.stride), row_cr);
#else
      uint8_t wide[2][16];
      for (unsigned c = 0; c < 16; ++c) {
        wide[0][c] = cb[8 * v + c / 2];
        wide[1][c] = cr[8 * v + c / 2];
      }
      std::memcpy(out, wide[0], 16);
      std::memcpy(out + mb.stride, wide[0], 16);
      std::memcpy(out + plane, wide[1], 16);
      std::memcpy(out + plane + mb.stride, wide[1], 16);
#endif
    }
    return;
  }
  for (uint64_t r = 0; r < mb.area.rows; ++r) {
    uint8_t* out = mb.origin + r * mb.stride + plane;
    if (!subsampled) {
      std::memcpy(out, cb + 8 * r, mb.area.cols < 8 ? mb.area.cols : 8);
      std::memcpy(out + plane, cr + 8 * r, mb.area.cols < 8 ? mb.area.cols : 8);
      continue;
    }
    // A row of 16 built whole (a loop the compiler vectorises), then stored.
    uint8_t wide[2][16];
    for (unsigned c = 0; c < 16; ++c) {
      wide[0][c] = cb[8 * (r >> 1) + c / 2];
      wide[1][c] = cr[8 * (r >> 1) + c / 2];
    }
    if (mb.area.cols == 16) {
      std::memcpy(out, wide[0], 16);
      std::memcpy(out + plane, wide[1], 16);
    } else {
      std::memcpy(out, wide[0], mb.area.cols);
      std::memcpy(out + plane, wide[1], mb.area.cols);
    }
  }
}

// The 2x2 means (halves up) of a whole 8x8 block each of Cb and Cr, as the
// 4x4 samples of an i420 picture whose chroma rows are `stride` apart.
inline void chroma_means_8x8(const uint8_t* cb, const uint8_t* cr, uint8_t* out_cb, uint8_t* out_cr,
                             uint64_t stride) noexcept {
#if defined(__SSE2__)
  // A block's rows 2v and 2v + 1 lie side by side in one 16-byte load. As
  // 16-bit lanes, its bytes masked are the even columns and shifted the odd
  // ones: their sum is each row's four pair sums, and the second row's four
  // added to the first's are row v's 2x2 sums. Then (sum + 2) >> 2, as
  // below, all sixteen of a block at once.
  const __m128i low_bytes = _mm_set1_epi16(0x00ff), two = _mm_set1_epi16(2);
  auto means = [&](const uint8_t* block) {
    __m128i sums[4];
    for (size_t v = 0; v < 4; ++v) {
      const __m128i two_rows = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * v));
      const __m128i pairs = _mm_add_epi16(_mm_and_si128(two_rows, low_bytes), _mm_srli_epi16(two_rows, 8));
      sums[v] = _mm_add_epi16(pairs, _mm_srli_si128(pairs, 8));  // in lanes 0..3
    }
    const __m128i top = _mm_add_epi16(_mm_unpacklo_epi64(sums[0], sums[1]), two);
    const __m128i bottom = _mm_add_epi16(_mm_unpacklo_epi64(sums[2], sums[3]), two);
    return _mm_packus_epi16(_mm_srli_epi16(top, 2), _mm_srli_epi16(bottom, 2));  // 4 rows of 4
  };
  auto store = [&](uint8_t* out, __m128i samples) {
    for (uint64_t v = 0; v < 4; ++v, samples = _mm_srli_si128(samples, 4)) {
      const auto row = static_cast<uint32_t>(_mm_cvtsi128_si32(samples));
      std::memcpy(out + v * stride, &row, 4);
    }
  };
  store(out_cb, means(cb));
  store(out_cr, means(cr));
#else
  for (size_t v = 0; v < 4; ++v) {
    for (size_t u = 0; u < 4; ++u) {
      const size_t at = 16 * v + 2 * u;
      out_cb[v * stride + u] = static_cast<uint8_t>((cb[at] + cb[at + 1] + cb[at + 8] + cb[at + 9] + 2u) >> 2);
      out_cr[v * stride + u] = static_cast<uint8_t>((cr[at] + cr[at + 1] + cr[at + 8] + cr[at + 9] + 2u) >> 2);
    }
  }
#endif
}

}  // namespace

void store_chroma_420(const uint8_t* cb, const uint8_t* cr, const FrameView& frame, const PixelArea& area,
                      bool subsampled) noexcept {
  // The macroblock's corner is a multiple of 8: its chroma starts at half of it
  // and covers ceil(cols / 2) x ceil(rows / 2) samples of its own.
  const uint64_t cw = frame.chroma_width();
  uint8_t* out_cb = frame.pixels.data() + frame.plane_bytes() + (area.y / 2) * cw + area.x / 2;
  uint8_t* out_cr = out_cb + frame.chroma_plane_bytes();
  const size_t cols = ceil_div(area.cols, 2), rows = ceil_div(area.rows, 2);
  if (subsampled) {  // the samples as they are
    for (size_t v = 0; v < rows; ++v) {
      if (cols == 8) {
        std::memcpy(out_cb + v * cw, cb + 8 * v, 8);
        std::memcpy(out_cr + v * cw, cr + 8 * v, 8);
      } else {
        std::memcpy(out_cb + v * cw, cb + 8 * v, cols);
        std::memcpy(out_cr + v * cw, cr + 8 * v, cols);
      }
    }
    return;
  }
  // The rounded mean of each 2x2 (halves up), of the samples inside the
  // picture where a clipped macroblock has an odd width or height.
  if (area.cols == 8 && area.rows == 8) return chroma_means_8x8(cb, cr, out_cb, out_cr, cw);
  for (size_t v = 0; v < rows; ++v) {
    for (size_t u = 0; u < cols; ++u) {
      uint32_t sum_cb = 0, sum_cr = 0, n = 0;
      for (size_t r = 2 * v; r < 2 * v + 2 && r < area.rows; ++r) {
        for (size_t c = 2 * u; c < 2 * u + 2 && c < area.cols; ++c, ++n) {
          sum_cb += cb[8 * r + c];
          sum_cr += cr[8 * r + c];
        }
      }
      out_cb[v * cw + u] = static_cast<uint8_t>((sum_cb + n / 2) / n);
      out_cr[v * cw + u] = static_cast<uint8_t>((sum_cr + n / 2) / n);
    }
  }
}

void store_luma_plane(const uint8_t* staging, const MacroblockPixels& mb, bool subsampled) noexcept {
  store_luma(staging, mb, subsampled);
}

void store_pixel(uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  convert_pixel<PixelFormat::rgb>(out, y, cb, cr);
}

void store_pixel_as(PixelFormat format, uint8_t* out, uint8_t y, uint8_t cb, uint8_t cr) noexcept {
  with_format(format, [&](auto f) { convert_pixel<f()>(out, y, cb, cr); });
}

void fill_black(std::span<uint8_t> pixels, PixelFormat format) noexcept {
  if (pixels.empty()) return;
  std::memset(pixels.data(), 0, pixels.size());
  const int padding = padding_index(format);
  if (padding < 0) return;
  for (size_t i = static_cast<size_t>(padding); i < pixels.size(); i += 4) pixels[i] = 255;
}

void fill_black_planar(std::span<uint8_t> pixels, size_t luma_bytes) noexcept {
  if (pixels.empty()) return;
  std::memset(pixels.data(), 16, luma_bytes);
  std::memset(pixels.data() + luma_bytes, 128, pixels.size() - luma_bytes);
}

namespace {

// A whole macroblock into a planar picture, the bulk of a frame: whole when
// it ends inside the picture, which is tested before any coordinate is formed
// (as macroblock_area), and then nothing needs clipping. Rows are copied to
// their planes by copies of a fixed size: in the 16x16 mode a luma row joins
// its left and right blocks' rows, i420 takes the chroma as it is and i444
// repeats it over 2x2; in the 8x8 mode i420 takes the chroma's 2x2 means.
// False, with nothing stored, for a macroblock that is not whole.
template <PixelFormat F>
bool store_whole_planar(const uint8_t* staging, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                        bool subsampled) noexcept {
  const uint64_t width = frame.width, height = frame.height, plane = width * height;
  const unsigned shift = subsampled ? 4 : 3;
  if (mb_col >= width >> shift || mb_row >= height >> shift) return false;
  const uint64_t x = mb_col << shift, y = mb_row << shift;
  uint8_t* luma = frame.pixels.data() + y * width + x;
  const uint64_t cw = frame.chroma_width();
  uint8_t* out_cb = frame.pixels.data() + plane + (y / 2) * cw + x / 2;  // i420
  uint8_t* out_cr = out_cb + frame.chroma_plane_bytes();
  if (!subsampled) {
    for (uint64_t r = 0; r < 8; ++r) {
      std::memcpy(luma + r * width, staging + 8 * r, 8);
      if constexpr (F == PixelFormat::i444) {
        std::memcpy(luma + r * width + plane, staging + k8.cb_at + 8 * r, 8);
        std::memcpy(luma + r * width + 2 * plane, staging + k8.cr_at + 8 * r, 8);
      }
    }
    if constexpr (F == PixelFormat::i420) chroma_means_8x8(staging + k8.cb_at, staging + k8.cr_at, out_cb, out_cr, cw);
    return true;
  }
  for (uint64_t r = 0; r < 16; ++r) {
    const uint8_t* left = staging + 128 * (r >> 3) + 8 * (r & 7);
    std::memcpy(luma + r * width, left, 8);
    std::memcpy(luma + r * width + 8, left + 64, 8);
  }
  const uint8_t* cb = staging + k16.cb_at;
  const uint8_t* cr = staging + k16.cr_at;
  if constexpr (F == PixelFormat::i420) {
    for (uint64_t v = 0; v < 8; ++v) {
      std::memcpy(out_cb + v * cw, cb + 8 * v, 8);
      std::memcpy(out_cr + v * cw, cr + 8 * v, 8);
    }
  } else {
    store_chroma_444(cb, cr, {{x, y, 16, 16}, luma, width}, plane, true);
  }
  return true;
}

template <PixelFormat F>
void yuv_to_rgb(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                bool subsampled) noexcept {
  if constexpr (is_planar(F)) {
    if (store_whole_planar<F>(staging.data(), mb_col, mb_row, frame, subsampled)) return;
    const MacroblockPixels mb = frame.macroblock(mb_col, mb_row, subsampled);
    if (mb.area.empty()) return;
    const MacroblockGeometry g = macroblock_geometry(subsampled);
    store_luma(staging.data(), mb, subsampled);
    if constexpr (F == PixelFormat::i444) {
      store_chroma_444(staging.data() + g.cb_at, staging.data() + g.cr_at, mb, frame.plane_bytes(), subsampled);
    } else {
      store_chroma_420(staging.data() + g.cb_at, staging.data() + g.cr_at, frame, mb.area, subsampled);
    }
  } else {
    store_macroblock<F>(staging, frame.macroblock(mb_col, mb_row, subsampled), subsampled);
  }
}

}  // namespace

constinit const FormatTable<YuvToRgb> kScalarYuvToRgb = per_format([](auto f) -> YuvToRgb { return &yuv_to_rgb<f()>; });

namespace {
template <PixelFormat F>
void quarter_to_rgb(const YuvMacroblock& staging, uint8_t* out, uint64_t stride) noexcept {
  constexpr uint64_t size = bytes_per_pixel(F);
  for (size_t r = 0; r < 4; ++r) {
    uint8_t* pixel = out + r * stride;
    for (size_t c = 0; c < 4; ++c, pixel += size) {
      const size_t at = 8 * r + c;
      if constexpr (F == PixelFormat::gray) {
        convert_pixel<F>(pixel, staging[at], 0, 0);
      } else {
        convert_pixel<F>(pixel, staging[at], staging[k8.cb_at + at], staging[k8.cr_at + at]);
      }
    }
  }
}
}  // namespace

constinit const FormatTable<QuarterToRgb> kScalarQuarterToRgb =
    per_packed_format<QuarterToRgb>([](auto f) { return &quarter_to_rgb<f()>; });

}  // namespace ast2100

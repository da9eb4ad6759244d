// AVX2 twin of yuv_to_rgb in color.cpp, bit-exact with it in every pixel
// format, for macroblocks that lie wholly inside the picture (the scalar code
// does the edges).
//
// Each colour term is (x * K + 32768) >> 16 for a sample offset x. Writing
// K = a * 65536 + b with 0 <= b < 65536 and b even, the term is
//   a * x + ((x * b/2 + 16384) >> 15),
// and the second part is exactly what pmulhrsw computes. So sixteen pixels go
// through the conversion in 16-bit lanes with no table; packing to bytes with
// unsigned saturation is the clamp to 0..255. The constants below are the
// colour tables' constants split that way; a test compares every entry.
//
// The three planes are then interleaved into the format's byte order, which
// comes from its pixel_layout() like the scalar stores': pshufb with masks
// computed from the layout for three-byte pixels, two rounds of unpacking of
// the planes in the layout's byte order (with a plane of 255 for the padding)
// for four-byte pixels, which store 64 bytes per sixteen pixels. Grey is the
// luma term alone, one byte a pixel. Each format has its own function, picked
// once per frame from kAvx2YuvToRgb.
#include "simd_avx2.hpp"

#if QUORVEL_HAVE_AVX2

#include <immintrin.h>

#include <array>
#include <cstring>

#include "color.hpp"
#include "kernels.hpp"

namespace ast2100 {
namespace {

// Where the staged chroma blocks start in each mode.
constexpr MacroblockGeometry k16 = macroblock_geometry(true), k8 = macroblock_geometry(false);

// (a, b/2) for each constant K = a * 65536 + b.
constexpr int16_t kYHalf = 5374;     // 76284 = 1 * 65536 + 10748
constexpr int16_t kCrRHalf = 19584;  // 104704 = 1 * 65536 + 39168
constexpr int16_t kCbBHalf = 512;    // 132096 = 2 * 65536 + 1024
constexpr int16_t kCrGHalf = 6144;   // -53248 = -1 * 65536 + 12288
constexpr int16_t kCbGHalf = 19968;  // -25600 = -1 * 65536 + 39936
static_assert(1 * 65536 + 2 * kYHalf == 76284 && 1 * 65536 + 2 * kCrRHalf == 104704 &&
              2 * 65536 + 2 * kCbBHalf == 132096 && -1 * 65536 + 2 * kCrGHalf == -53248 &&
              -1 * 65536 + 2 * kCbGHalf == -25600);

QUORVEL_AVX2 inline __m256i widen(__m128i bytes, int16_t offset) {
  return _mm256_sub_epi16(_mm256_cvtepu8_epi16(bytes), _mm256_set1_epi16(offset));
}

QUORVEL_AVX2 inline __m256i round_term(__m256i x, int16_t half) {
  return _mm256_mulhrs_epi16(x, _mm256_set1_epi16(half));
}

QUORVEL_AVX2 inline __m128i to_bytes(__m256i v) {
  return _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// The pshufb masks of a three-byte format: mask [ch][j] places byte p of
// channel ch's plane (R, G, B) at byte 3p + (the channel's byte in a pixel) of
// the 48-byte run, in its 16-byte part j; 0x80 leaves a zero for the other
// planes to fill. The scalar store puts the same channel at the same byte.
using InterleaveMasks = std::array<std::array<std::array<uint8_t, 16>, 3>, 3>;

constexpr InterleaveMasks interleave_masks(const PixelLayout& layout) {
  InterleaveMasks m{};
  const int at[3] = {layout.r, layout.g, layout.b};
  for (int ch = 0; ch < 3; ++ch) {
    for (int j = 0; j < 3; ++j) {
      for (int t = 0; t < 16; ++t) {
        const int i = 16 * j + t;
        m[ch][j][t] = static_cast<uint8_t>(i % 3 == at[ch] ? i / 3 : 0x80);
      }
    }
  }
  return m;
}

template <PixelFormat F>
inline constexpr InterleaveMasks kInterleave = interleave_masks(pixel_layout(F));

// The channel (0 R, 1 G, 2 B, 3 the padding) at each byte of a four-byte pixel.
constexpr std::array<int, 4> channel_at_byte(const PixelLayout& layout) {
  std::array<int, 4> order{};
  order[layout.r] = 0;
  order[layout.g] = 1;
  order[layout.b] = 2;
  order[layout.padding] = 3;
  return order;
}

// The three channels of sixteen pixels, one byte each.
struct Planes {
  __m128i r, g, b;
};

QUORVEL_AVX2 inline __m256i luma_level(__m128i y8) {
  const __m256i y = widen(y8, 16);
  return _mm256_add_epi16(y, round_term(y, kYHalf));
}

// The grey level of sixteen pixels: the luma term alone, clamped.
QUORVEL_AVX2 inline __m128i gray16(__m128i y8) { return to_bytes(luma_level(y8)); }

QUORVEL_AVX2 inline Planes convert16(__m128i y8, __m128i cb8, __m128i cr8) {
  const __m256i level = luma_level(y8);
  const __m256i cb = widen(cb8, 128);
  const __m256i cr = widen(cr8, 128);
  const __m256i cr_r = _mm256_add_epi16(cr, round_term(cr, kCrRHalf));
  const __m256i cb_b = _mm256_add_epi16(_mm256_add_epi16(cb, cb), round_term(cb, kCbBHalf));
  const __m256i cr_g = _mm256_sub_epi16(round_term(cr, kCrGHalf), cr);
  const __m256i cb_g = _mm256_sub_epi16(round_term(cb, kCbGHalf), cb);
  return {to_bytes(_mm256_add_epi16(level, cr_r)), to_bytes(_mm256_add_epi16(level, _mm256_add_epi16(cb_g, cr_g))),
          to_bytes(_mm256_add_epi16(level, cb_b))};
}

template <PixelFormat F>
QUORVEL_AVX2 inline __m128i interleave_mask(int ch, int j) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kInterleave<F>[ch][j].data()));
}

// Sixteen three-byte pixels of format F as 48 bytes in out[0..2].
template <PixelFormat F>
QUORVEL_AVX2 inline void interleave3(const Planes& p, __m128i out[4]) {
  for (int j = 0; j < 3; ++j) {
    out[j] = _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(p.r, interleave_mask<F>(0, j)), _mm_shuffle_epi8(p.g, interleave_mask<F>(1, j))),
        _mm_shuffle_epi8(p.b, interleave_mask<F>(2, j)));
  }
}

// Sixteen four-byte pixels as 64 bytes in out[0..3], p0..p3 the planes in
// memory order: two rounds of unpacking, bytes then 16-bit pairs.
QUORVEL_AVX2 inline void interleave4(__m128i p0, __m128i p1, __m128i p2, __m128i p3, __m128i out[4]) {
  const __m128i lo01 = _mm_unpacklo_epi8(p0, p1), hi01 = _mm_unpackhi_epi8(p0, p1);
  const __m128i lo23 = _mm_unpacklo_epi8(p2, p3), hi23 = _mm_unpackhi_epi8(p2, p3);
  out[0] = _mm_unpacklo_epi16(lo01, lo23);
  out[1] = _mm_unpackhi_epi16(lo01, lo23);
  out[2] = _mm_unpacklo_epi16(hi01, hi23);
  out[3] = _mm_unpackhi_epi16(hi01, hi23);
}

// Sixteen pixels converted and laid out in format F: 16, 48 or 64 bytes in
// out[0..3]. For grey the chroma is not read.
template <PixelFormat F>
QUORVEL_AVX2 inline void pixels16(__m128i y8, __m128i cb8, __m128i cr8, __m128i out[4]) {
  constexpr PixelLayout layout = pixel_layout(F);
  if constexpr (layout.kind == PixelLayout::Kind::gray) {
    out[0] = gray16(y8);
  } else if constexpr (layout.bytes == 3) {
    interleave3<F>(convert16(y8, cb8, cr8), out);
  } else {
    const Planes p = convert16(y8, cb8, cr8);
    const __m128i planes[4] = {p.r, p.g, p.b, _mm_set1_epi8(static_cast<char>(0xFF))};
    constexpr std::array<int, 4> order = channel_at_byte(layout);
    interleave4(planes[order[0]], planes[order[1]], planes[order[2]], planes[order[3]], out);
  }
}

QUORVEL_AVX2 inline __m128i load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
QUORVEL_AVX2 inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
QUORVEL_AVX2 inline void store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
QUORVEL_AVX2 inline void store8(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// Stores a whole macroblock in format F (the caller has checked that it lies
// inside the picture).
template <PixelFormat F>
QUORVEL_AVX2 inline void store_macroblock(const uint8_t* s, uint8_t* origin, uint64_t stride, bool subsampled) {
  constexpr uint64_t size = bytes_per_pixel(F);
  constexpr bool gray = F == PixelFormat::gray;
  __m128i px[4];
  if (!subsampled) {
    // Two 8-pixel rows per conversion: the first half of the bytes to row r,
    // the rest to r + 1.
    for (size_t r = 0; r < 8; r += 2) {
      const __m128i y = load16(s + 8 * r);
      if constexpr (gray) {
        pixels16<F>(y, y, y, px);
      } else {
        pixels16<F>(y, load16(s + k8.cb_at + 8 * r), load16(s + k8.cr_at + 8 * r), px);
      }
      uint8_t* row = origin + r * stride;
      if constexpr (size == 1) {
        store8(row, px[0]);
        store8(row + stride, _mm_srli_si128(px[0], 8));
      } else if constexpr (size == 3) {
        store16(row, px[0]);
        store8(row + 16, px[1]);
        store8(row + stride, _mm_srli_si128(px[1], 8));
        store16(row + stride + 8, px[2]);
      } else {
        store16(row, px[0]);
        store16(row + 16, px[1]);
        store16(row + stride, px[2]);
        store16(row + stride + 16, px[3]);
      }
    }
    return;
  }
  for (size_t r = 0; r < 16; ++r) {
    // Y from the left and right quarters of this half; chroma repeated per 2x2 group.
    const uint8_t* y = s + 128 * (r >> 3) + 8 * (r & 7);
    const __m128i luma = _mm_unpacklo_epi64(load8(y), load8(y + 64));
    if constexpr (gray) {
      pixels16<F>(luma, luma, luma, px);
    } else {
      const __m128i cb = load8(s + k16.cb_at + 8 * (r >> 1));
      const __m128i cr = load8(s + k16.cr_at + 8 * (r >> 1));
      pixels16<F>(luma, _mm_unpacklo_epi8(cb, cb), _mm_unpacklo_epi8(cr, cr), px);
    }
    uint8_t* row = origin + r * stride;
    for (uint64_t k = 0; k < size; ++k) store16(row + 16 * k, px[k]);
  }
}

template <PixelFormat F>
QUORVEL_AVX2 void yuv_to_rgb_avx2(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row,
                                  const FrameView& frame, bool subsampled) noexcept {
  const uint64_t n = macroblock_size(subsampled);
  const MacroblockPixels mb = frame.macroblock(mb_col, mb_row, subsampled);
  if (mb.area.cols != n || mb.area.rows != n) {  // clipped or outside: the scalar code does the edges
    kScalarYuvToRgb[static_cast<size_t>(F)](staging, mb_col, mb_row, frame, subsampled);
    return;
  }
  store_macroblock<F>(staging.data(), mb.origin, mb.stride, subsampled);
}

// The first four bytes of four rows 8 apart (rows of a staging block) as
// sixteen lanes: each pair of rows loaded at once, its two first dwords kept.
QUORVEL_AVX2 inline __m128i corner4x4(const uint8_t* p) {
  const __m128i upper = _mm_shuffle_epi32(load16(p), _MM_SHUFFLE(3, 1, 2, 0));
  const __m128i lower = _mm_shuffle_epi32(load16(p + 16), _MM_SHUFFLE(3, 1, 2, 0));
  return _mm_unpacklo_epi64(upper, lower);
}

// The 4x4 corner of an 8x8-mode staging area as sixteen pixels of format F in
// one conversion, then stored row by row (4, 12 or 16 bytes each).
template <PixelFormat F>
QUORVEL_AVX2 void quarter_to_rgb_avx2(const YuvMacroblock& staging, uint8_t* out, uint64_t stride) noexcept {
  constexpr uint64_t size = bytes_per_pixel(F);
  const uint8_t* s = staging.data();
  const __m128i y = corner4x4(s);
  __m128i px[4];
  if constexpr (F == PixelFormat::gray) {
    pixels16<F>(y, y, y, px);
  } else {
    pixels16<F>(y, corner4x4(s + k8.cb_at), corner4x4(s + k8.cr_at), px);
  }
  alignas(16) uint8_t bytes[64];
  for (uint64_t k = 0; k < size; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(bytes + 16 * k), px[k]);
  for (uint64_t r = 0; r < 4; ++r) std::memcpy(out + r * stride, bytes + 4 * size * r, 4 * size);
}

}  // namespace

constinit const FormatTable<QuarterToRgb> kAvx2QuarterToRgb =
    per_packed_format<QuarterToRgb>([](auto f) { return &quarter_to_rgb_avx2<f()>; });

// Null for the planar formats, which have no conversion to vectorise: the
// kernels take the scalar copies for them.
constinit const FormatTable<YuvToRgb> kAvx2YuvToRgb =
    per_packed_format<YuvToRgb>([](auto f) { return &yuv_to_rgb_avx2<f()>; });

}  // namespace ast2100

#endif

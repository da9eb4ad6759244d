// AVX2 twin of yuv_to_rgb in color.cpp, bit-exact with it, for macroblocks that
// lie wholly inside the picture (the scalar code does the edges).
//
// Each colour term is (x * K + 32768) >> 16 for a sample offset x. Writing
// K = a * 65536 + b with 0 <= b < 65536 and b even, the term is
//   a * x + ((x * b/2 + 16384) >> 15),
// and the second part is exactly what pmulhrsw computes. So sixteen pixels go
// through the conversion in 16-bit lanes with no table; packing to bytes with
// unsigned saturation is the clamp to 0..255. The constants below are the
// colour tables' constants split that way; a test compares every entry.
#include "simd_avx2.hpp"

#if QUORVEL_HAVE_AVX2

#include <immintrin.h>

#include <array>

#include "color.hpp"

namespace ast2100 {
namespace {

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

QUORVEL_AVX2 inline __m256i round_term(__m256i x, int16_t half) { return _mm256_mulhrs_epi16(x, _mm256_set1_epi16(half)); }

QUORVEL_AVX2 inline __m128i to_bytes(__m256i v) {
  return _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// pshufb masks that place byte p of one colour plane at 3p + channel of the
// 48-byte RGB run (0x80 leaves a zero for the other planes to fill).
constexpr std::array<std::array<std::array<uint8_t, 16>, 3>, 3> kInterleave = [] {
  std::array<std::array<std::array<uint8_t, 16>, 3>, 3> m{};
  for (int ch = 0; ch < 3; ++ch) {
    for (int j = 0; j < 3; ++j) {
      for (int t = 0; t < 16; ++t) {
        const int i = 16 * j + t;
        m[ch][j][t] = static_cast<uint8_t>(i % 3 == ch ? i / 3 : 0x80);
      }
    }
  }
  return m;
}();

QUORVEL_AVX2 inline __m128i mask(int ch, int j) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kInterleave[ch][j].data())); }

// Converts sixteen pixels and writes them as 48 bytes of RGB to out[0..2].
QUORVEL_AVX2 inline void convert16(__m128i y8, __m128i cb8, __m128i cr8, __m128i out[3]) {
  const __m256i y = widen(y8, 16);
  const __m256i cb = widen(cb8, 128);
  const __m256i cr = widen(cr8, 128);
  const __m256i level = _mm256_add_epi16(y, round_term(y, kYHalf));
  const __m256i cr_r = _mm256_add_epi16(cr, round_term(cr, kCrRHalf));
  const __m256i cb_b = _mm256_add_epi16(_mm256_add_epi16(cb, cb), round_term(cb, kCbBHalf));
  const __m256i cr_g = _mm256_sub_epi16(round_term(cr, kCrGHalf), cr);
  const __m256i cb_g = _mm256_sub_epi16(round_term(cb, kCbGHalf), cb);
  const __m128i r = to_bytes(_mm256_add_epi16(level, cr_r));
  const __m128i g = to_bytes(_mm256_add_epi16(level, _mm256_add_epi16(cb_g, cr_g)));
  const __m128i b = to_bytes(_mm256_add_epi16(level, cb_b));
  for (int j = 0; j < 3; ++j) {
    out[j] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, mask(0, j)), _mm_shuffle_epi8(g, mask(1, j))),
                          _mm_shuffle_epi8(b, mask(2, j)));
  }
}

QUORVEL_AVX2 inline __m128i load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
QUORVEL_AVX2 inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
QUORVEL_AVX2 inline void store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
QUORVEL_AVX2 inline void store8(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

}  // namespace

QUORVEL_AVX2 void yuv_to_rgb_avx2(const YuvMacroblock& staging, uint64_t mb_col, uint64_t mb_row,
                                  const FrameView& frame, bool subsampled) noexcept {
  const uint64_t n = macroblock_size(subsampled);
  const MacroblockPixels mb = frame.macroblock(mb_col, mb_row, subsampled);
  if (mb.area.cols != n || mb.area.rows != n) {  // clipped or outside: the scalar code does the edges
    yuv_to_rgb(staging, mb_col, mb_row, frame, subsampled);
    return;
  }
  const uint64_t stride = mb.stride;
  uint8_t* origin = mb.origin;
  const uint8_t* s = staging.data();
  __m128i rgb[3];
  if (!subsampled) {
    // Two 8-pixel rows per conversion: the first 24 bytes to row r, the rest to r + 1.
    for (size_t r = 0; r < 8; r += 2) {
      convert16(load16(s + 8 * r), load16(s + 64 + 8 * r), load16(s + 128 + 8 * r), rgb);
      uint8_t* row = origin + r * stride;
      store16(row, rgb[0]);
      store8(row + 16, rgb[1]);
      store8(row + stride, _mm_srli_si128(rgb[1], 8));
      store16(row + stride + 8, rgb[2]);
    }
    return;
  }
  for (size_t r = 0; r < 16; ++r) {
    // Y from the left and right quarters of this half; chroma repeated per 2x2 group.
    const uint8_t* y = s + 128 * (r >> 3) + 8 * (r & 7);
    const __m128i luma = _mm_unpacklo_epi64(load8(y), load8(y + 64));
    const __m128i cb = load8(s + 256 + 8 * (r >> 1));
    const __m128i cr = load8(s + 320 + 8 * (r >> 1));
    convert16(luma, _mm_unpacklo_epi8(cb, cb), _mm_unpacklo_epi8(cr, cr), rgb);
    uint8_t* row = origin + r * stride;
    store16(row, rgb[0]);
    store16(row + 16, rgb[1]);
    store16(row + 32, rgb[2]);
  }
}

}  // namespace ast2100

#endif

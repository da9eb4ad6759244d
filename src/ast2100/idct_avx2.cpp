// AVX2 twin of the scalar inverse DCT in idct.cpp, bit-exact with it.
//
// One 8-lane vector holds a whole row of the block, so each butterfly of the
// scalar code runs on all eight columns at once: the column pass on the rows as
// they are, the row pass after a transpose. Lanes are 32-bit and the arithmetic
// wraps exactly as the scalar code's uint32_t helpers do; M(x, k) is a wrapping
// 32-bit multiply and an arithmetic shift by 8. Compiled for AVX2 through function
// attributes only, so nothing here runs unless the CPU has it.
#include "simd_avx2.hpp"

#if QUORVEL_HAVE_AVX2

#include <immintrin.h>

#include "clamp.hpp"
#include "idct.hpp"

namespace ast2100 {
namespace {

QUORVEL_AVX2 inline __m256i mul8(__m256i x, int32_t k) { return _mm256_srai_epi32(_mm256_mullo_epi32(x, _mm256_set1_epi32(k)), 8); }

// The AAN butterfly on eight vectors d[0..7], in place: d[k] becomes y[k].
QUORVEL_AVX2 inline void butterfly(__m256i d[8]) {
  const __m256i t10 = _mm256_add_epi32(d[0], d[4]);
  const __m256i t11 = _mm256_sub_epi32(d[0], d[4]);
  const __m256i t13 = _mm256_add_epi32(d[2], d[6]);
  const __m256i t12 = _mm256_sub_epi32(mul8(_mm256_sub_epi32(d[2], d[6]), kIdctSqrt2), t13);
  const __m256i e0 = _mm256_add_epi32(t10, t13);
  const __m256i e3 = _mm256_sub_epi32(t10, t13);
  const __m256i e1 = _mm256_add_epi32(t11, t12);
  const __m256i e2 = _mm256_sub_epi32(t11, t12);
  const __m256i z13 = _mm256_add_epi32(d[5], d[3]);
  const __m256i z10 = _mm256_sub_epi32(d[5], d[3]);
  const __m256i z11 = _mm256_add_epi32(d[1], d[7]);
  const __m256i z12 = _mm256_sub_epi32(d[1], d[7]);
  const __m256i o7 = _mm256_add_epi32(z11, z13);
  const __m256i z5 = mul8(_mm256_add_epi32(z10, z12), kIdct1_847);
  const __m256i o6 = _mm256_sub_epi32(_mm256_add_epi32(mul8(z10, kIdctNeg2_613), z5), o7);
  const __m256i o5 = _mm256_sub_epi32(mul8(_mm256_sub_epi32(z11, z13), kIdctSqrt2), o6);
  const __m256i o4 = _mm256_add_epi32(_mm256_sub_epi32(mul8(z12, kIdct1_082), z5), o5);
  d[0] = _mm256_add_epi32(e0, o7);
  d[7] = _mm256_sub_epi32(e0, o7);
  d[1] = _mm256_add_epi32(e1, o6);
  d[6] = _mm256_sub_epi32(e1, o6);
  d[2] = _mm256_add_epi32(e2, o5);
  d[5] = _mm256_sub_epi32(e2, o5);
  d[4] = _mm256_add_epi32(e3, o4);
  d[3] = _mm256_sub_epi32(e3, o4);
}

QUORVEL_AVX2 inline void transpose(__m256i r[8]) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// low32((int64(c) * q) >> 16) for one row: the 64-bit products keep bits 16..47
// exact; which shift fills the top does not matter for the low 32 bits.
QUORVEL_AVX2 inline __m256i dequantise(const int32_t* c, const int64_t* q) {
  const __m256i lo = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
  const __m256i hi = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 4)));
  const __m256i plo = _mm256_srli_epi64(_mm256_mul_epi32(lo, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q))), 16);
  const __m256i phi = _mm256_srli_epi64(_mm256_mul_epi32(hi, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 4))), 16);
  // Gather the low halves: [lo0 lo1 hi0 hi1 | lo2 lo3 hi2 hi3], then fix the order.
  const __m256i mixed = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(plo), _mm256_castsi256_ps(phi), _MM_SHUFFLE(2, 0, 2, 0)));
  return _mm256_permute4x64_epi64(mixed, _MM_SHUFFLE(3, 1, 2, 0));
}

// Bits 3..12 as a signed 10-bit value plus 128, saturated to a byte later:
// exactly the clamp table's mapping for the inverse DCT.
QUORVEL_AVX2 inline __m256i clamp_input(__m256i s) {
  const __m256i t = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_srai_epi32(s, 3), 22), 22);
  return _mm256_add_epi32(t, _mm256_set1_epi32(128));
}

// Both passes on eight dequantised rows, then the clamp, into out[0..63].
QUORVEL_AVX2 inline void transform_rows(__m256i d[8], uint8_t* out) {
  butterfly(d);   // columns: d[k] is now row k of the workspace
  transpose(d);   // d[k] is column k of the workspace
  butterfly(d);   // rows: d[x] holds output column x for rows 0..7
  transpose(d);   // d[y] is output row y
  for (size_t r = 0; r < 8; ++r) d[r] = clamp_input(d[r]);
  // Pack to bytes; packs/packus work within 128-bit halves, the permutes restore
  // row order. Values are -384..639, so the 16-bit step saturates nothing.
  const __m256i p01 = _mm256_permute4x64_epi64(_mm256_packs_epi32(d[0], d[1]), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i p23 = _mm256_permute4x64_epi64(_mm256_packs_epi32(d[2], d[3]), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i p45 = _mm256_permute4x64_epi64(_mm256_packs_epi32(d[4], d[5]), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i p67 = _mm256_permute4x64_epi64(_mm256_packs_epi32(d[6], d[7]), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i b0 = _mm256_permute4x64_epi64(_mm256_packus_epi16(p01, p23), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i b1 = _mm256_permute4x64_epi64(_mm256_packus_epi16(p45, p67), _MM_SHUFFLE(3, 1, 2, 0));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), b0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), b1);
}

// One row of eight just-stored entries, read as two 128-bit halves: a 256-bit
// load of data the coefficient decoder wrote a moment ago with 32-bit stores
// cannot be forwarded from the store buffer and waits for the stores to retire.
QUORVEL_AVX2 inline __m256i load_row(const int32_t* p) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// One dequantised block into out[0..63].
QUORVEL_AVX2 inline void transform_block32(const int32_t* in, uint8_t* out) {
  __m256i d[8];
  for (size_t r = 0; r < 8; ++r) d[r] = load_row(in + 8 * r);
  // A block with only its DC entry transforms to one value everywhere, as the
  // butterflies give for it.
  __m256i any = _mm256_blend_epi32(d[0], _mm256_setzero_si256(), 1);
  for (size_t r = 1; r < 8; ++r) any = _mm256_or_si256(any, d[r]);
  if (_mm256_testz_si256(any, any)) {
    const __m256i v = _mm256_set1_epi8(static_cast<char>(clamp_idct(in[0])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), v);
    return;
  }
  transform_rows(d, out);
}

}  // namespace

QUORVEL_AVX2 void idct_blocks_avx2(const int32_t* dequantised, size_t count, uint8_t* output) noexcept {
  for (size_t b = 0; b < count; ++b) transform_block32(dequantised + 64 * b, output + 64 * b);
}

QUORVEL_AVX2 void idct_transform_avx2(const int32_t* coefficients, size_t block_offset,
                                                         const QuantTable& quant_table, uint8_t* output,
                                                         size_t output_offset) noexcept {
  const int32_t* in = coefficients + block_offset;
  uint8_t* out = output + output_offset;

  // A block with only its DC coefficient transforms to one value everywhere, as
  // the butterflies give for it.
  __m256i any = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8));
  for (size_t r = 2; r < 8; ++r) any = _mm256_or_si256(any, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * r)));
  const __m256i row0_ac = _mm256_blend_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)), _mm256_setzero_si256(), 1);
  any = _mm256_or_si256(any, row0_ac);
  if (_mm256_testz_si256(any, any)) {
    const auto dc = static_cast<int32_t>((static_cast<int64_t>(in[0]) * quant_table[0]) >> 16);
    const __m256i v = _mm256_set1_epi8(static_cast<char>(clamp_idct(dc)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), v);
    return;
  }

  __m256i d[8];
  for (size_t r = 0; r < 8; ++r) d[r] = dequantise(in + 8 * r, quant_table.data() + 8 * r);
  transform_rows(d, out);
}

}  // namespace ast2100

#endif

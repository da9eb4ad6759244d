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

// The lane arithmetic of the two transforms: 32-bit lanes that wrap, whose
// products M(x, k) are a wrapping multiply and an arithmetic shift by 8, and
// 16-bit lanes (Lanes16, below) for blocks that provably never leave 16 bits.
struct Lanes32 {
  QUORVEL_AVX2 static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
  QUORVEL_AVX2 static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
  QUORVEL_AVX2 static __m256i mul8(__m256i x, int32_t k) {
    return _mm256_srai_epi32(_mm256_mullo_epi32(x, _mm256_set1_epi32(k)), 8);
  }
  QUORVEL_AVX2 static __m256i m362(__m256i x) { return mul8(x, kIdctSqrt2); }
  QUORVEL_AVX2 static __m256i m473(__m256i x) { return mul8(x, kIdct1_847); }
  QUORVEL_AVX2 static __m256i m277(__m256i x) { return mul8(x, kIdct1_082); }
  QUORVEL_AVX2 static __m256i m669n(__m256i x) { return mul8(x, kIdctNeg2_613); }
};

// The AAN butterfly on eight vectors d[0..7], in place: d[k] becomes y[k].
template <class L>
QUORVEL_AVX2 inline void butterfly(__m256i d[8]) {
  const __m256i t10 = L::add(d[0], d[4]);
  const __m256i t11 = L::sub(d[0], d[4]);
  const __m256i t13 = L::add(d[2], d[6]);
  const __m256i t12 = L::sub(L::m362(L::sub(d[2], d[6])), t13);
  const __m256i e0 = L::add(t10, t13);
  const __m256i e3 = L::sub(t10, t13);
  const __m256i e1 = L::add(t11, t12);
  const __m256i e2 = L::sub(t11, t12);
  const __m256i z13 = L::add(d[5], d[3]);
  const __m256i z10 = L::sub(d[5], d[3]);
  const __m256i z11 = L::add(d[1], d[7]);
  const __m256i z12 = L::sub(d[1], d[7]);
  const __m256i o7 = L::add(z11, z13);
  const __m256i z5 = L::m473(L::add(z10, z12));
  const __m256i o6 = L::sub(L::add(L::m669n(z10), z5), o7);
  const __m256i o5 = L::sub(L::m362(L::sub(z11, z13)), o6);
  const __m256i o4 = L::add(L::sub(L::m277(z12), z5), o5);
  d[0] = L::add(e0, o7);
  d[7] = L::sub(e0, o7);
  d[1] = L::add(e1, o6);
  d[6] = L::sub(e1, o6);
  d[2] = L::add(e2, o5);
  d[5] = L::sub(e2, o5);
  d[4] = L::add(e3, o4);
  d[3] = L::sub(e3, o4);
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
  const __m256i plo =
      _mm256_srli_epi64(_mm256_mul_epi32(lo, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q))), 16);
  const __m256i phi =
      _mm256_srli_epi64(_mm256_mul_epi32(hi, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 4))), 16);
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
  butterfly<Lanes32>(d);  // columns: d[k] is now row k of the workspace
  transpose(d);           // d[k] is column k of the workspace
  butterfly<Lanes32>(d);  // rows: d[x] holds output column x for rows 0..7
  transpose(d);           // d[y] is output row y
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

// ---------------------------------------------------------------------------
// The 16-bit transform, two blocks at once.
//
// For real pictures every value the butterflies compute is small, and then the
// 32-bit wrapping arithmetic never wraps and a 16-bit lane holds each value
// exactly; a 256-bit register then carries a row of two blocks (one per
// 128-bit half) instead of one. A product M(x, k) = floor(x * k / 256) is
// formed from the high half of a 16x16-bit product, mulhi(x, K) =
// floor(x * K / 65536), with k split so that K fits in 16 bits and no partial
// value exceeds |x| or the product itself:
//   M(x, 362)  = x + mulhi(x, 106 * 256)
//   M(x, 277)  = x + mulhi(x, 21 * 256)
//   M(x, 473)  = (x + mulhi(x, -39 * 256)) + x
//   M(x, -669) = ((mulhi(x, 99 * 256) - x) - x) - x
// Each is an identity on integers (k * x = 256 * m * x + r * x, and a multiple
// of 256 leaves the floor unchanged), so the results are the 32-bit ones
// whenever nothing leaves -32768..32767.
//
// Which blocks are safe. Every value the butterfly computes (sums, partial
// products, outputs) is a linear form of its eight inputs plus rounding, each
// floor adding an error in (-1, 0], at most 3 in all for any value. Over all
// those values the largest |coefficient| of input k is
//   g = 1, 473/256, 181/128, 669/256, 1, 669/256, 309/128, 1287/256
// and over the eight outputs alone
//   h = 1, 1, 1, 151/128, 1, 113/64, 309/128, 1287/256.
// So a column-pass value of column c is at most sum_j g[j] |d(j, c)| + 3, a
// column-pass output at most sum_j h[j] |d(j, c)| + 3, and a row-pass value of
// row r at most sum_c g[c] (sum_j h[j] |d(j, c)| + 3) + 3. With
// w(j, c) >= max(g[c] h[j], g[j]) every value is below
//   sum_{j,c} w(j, c) |d(j, c)| + 3 * sum(g) + 3 = sum w |d| + 56.8,
// and the block is safe when that is at most 32767. The weights below are
// 16 w rounded up, the limit 16 (32767 - 56.8) rounded down. Entries beyond
// 16 bits saturate to 32767 when packed, and 32767 times the least weight
// (16) is beyond the limit, so such a block always takes the 32-bit path. The
// weighted sum cannot overflow: 64 * 32767 * 405 < 2^31.
alignas(32) constexpr int16_t kRangeWeights[64] = {
    16, 30, 23, 42,  16, 42, 39, 81,  30, 30,  30, 42,  30, 42,  39,  81,  23, 30,  23,  42, 23, 42,
    39, 81, 42, 42,  42, 50, 42, 50,  46, 95,  16, 30,  23, 42,  16,  42,  39, 81,  42,  53, 42, 74,
    42, 74, 69, 143, 39, 72, 55, 101, 39, 101, 94, 195, 81, 149, 114, 211, 81, 211, 195, 405};
constexpr int32_t kRangeLimit = 523363;

struct Lanes16 {
  QUORVEL_AVX2 static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
  QUORVEL_AVX2 static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
  QUORVEL_AVX2 static __m256i mulhi(__m256i x, int16_t k) { return _mm256_mulhi_epi16(x, _mm256_set1_epi16(k)); }
  QUORVEL_AVX2 static __m256i m362(__m256i x) { return add(x, mulhi(x, 106 * 256)); }
  QUORVEL_AVX2 static __m256i m277(__m256i x) { return add(x, mulhi(x, 21 * 256)); }
  QUORVEL_AVX2 static __m256i m473(__m256i x) { return add(add(x, mulhi(x, -39 * 256)), x); }
  QUORVEL_AVX2 static __m256i m669n(__m256i x) { return sub(sub(sub(mulhi(x, 99 * 256), x), x), x); }
};

// Transposes the 8x8 16-bit block in each 128-bit half.
QUORVEL_AVX2 inline void transpose16(__m256i r[8]) {
  const __m256i a0 = _mm256_unpacklo_epi16(r[0], r[1]), a1 = _mm256_unpackhi_epi16(r[0], r[1]);
  const __m256i a2 = _mm256_unpacklo_epi16(r[2], r[3]), a3 = _mm256_unpackhi_epi16(r[2], r[3]);
  const __m256i a4 = _mm256_unpacklo_epi16(r[4], r[5]), a5 = _mm256_unpackhi_epi16(r[4], r[5]);
  const __m256i a6 = _mm256_unpacklo_epi16(r[6], r[7]), a7 = _mm256_unpackhi_epi16(r[6], r[7]);
  const __m256i b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
  const __m256i b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
  const __m256i b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
  const __m256i b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
  r[0] = _mm256_unpacklo_epi64(b0, b4);
  r[1] = _mm256_unpackhi_epi64(b0, b4);
  r[2] = _mm256_unpacklo_epi64(b1, b5);
  r[3] = _mm256_unpackhi_epi64(b1, b5);
  r[4] = _mm256_unpacklo_epi64(b2, b6);
  r[5] = _mm256_unpackhi_epi64(b2, b6);
  r[6] = _mm256_unpacklo_epi64(b3, b7);
  r[7] = _mm256_unpackhi_epi64(b3, b7);
}

// Row r of block a in the low half, of block b in the high half, packed to 16
// bits with saturation (each half from two 128-bit loads, see load_row).
QUORVEL_AVX2 inline __m256i load_row_pair(const int32_t* a, const int32_t* b) {
  const __m256i lo =
      _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1);
  const __m256i hi =
      _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4))),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4)), 1);
  return _mm256_packs_epi32(lo, hi);
}

// Bits 3..12 as a signed 10-bit value plus 128 (saturated to a byte by the
// pack), the clamp table's mapping, on 16-bit lanes.
QUORVEL_AVX2 inline __m256i clamp_input16(__m256i s) {
  const __m256i t = _mm256_srai_epi16(_mm256_slli_epi16(_mm256_srai_epi16(s, 3), 6), 6);
  return _mm256_add_epi16(t, _mm256_set1_epi16(128));
}

// Whether the 16-bit transform is exact for the rows (see kRangeWeights), for
// the low and the high block: bit 0 and bit 1 of the result.
QUORVEL_AVX2 inline int fits_16bit(const __m256i d[8]) {
  __m256i sum = _mm256_setzero_si256();
  for (size_t r = 0; r < 8; ++r) {
    // |d| with -32768 taken as 32767, so that it stays positive.
    const __m256i mag = _mm256_abs_epi16(_mm256_max_epi16(d[r], _mm256_set1_epi16(-32767)));
    const __m256i w =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kRangeWeights + 8 * r)));
    sum = _mm256_add_epi32(sum, _mm256_madd_epi16(mag, w));
  }
  // Four partial sums per block: add them within each 128-bit half.
  sum = _mm256_add_epi32(sum, _mm256_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
  sum = _mm256_add_epi32(sum, _mm256_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
  const __m256i over = _mm256_cmpgt_epi32(sum, _mm256_set1_epi32(kRangeLimit));
  // One sign bit per 32-bit lane; lanes 0 and 4 speak for the two blocks.
  const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(over));
  return ((mask & 1) == 0 ? 1 : 0) | ((mask & 16) == 0 ? 2 : 0);
}

// Both passes on the rows of two blocks, into out_a and out_b.
QUORVEL_AVX2 inline void transform_pair16(__m256i d[8], uint8_t* out_a, uint8_t* out_b) {
  butterfly<Lanes16>(d);
  transpose16(d);
  butterfly<Lanes16>(d);
  transpose16(d);
  for (size_t r = 0; r < 8; r += 2) {
    const __m256i bytes = _mm256_packus_epi16(clamp_input16(d[r]), clamp_input16(d[r + 1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_a + 8 * r), _mm256_castsi256_si128(bytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_b + 8 * r), _mm256_extracti128_si256(bytes, 1));
  }
}

// Two dequantised blocks: the 16-bit transform when both are safe, else each
// through the 32-bit one. With a == b, out_a == out_b, one block.
QUORVEL_AVX2 inline void transform_pair(const int32_t* a, const int32_t* b, uint8_t* out_a, uint8_t* out_b) {
  __m256i d[8];
  for (size_t r = 0; r < 8; ++r) d[r] = load_row_pair(a + 8 * r, b + 8 * r);
  // Flat blocks (only a DC entry; packing keeps a non-zero entry non-zero) are
  // common in screen content: when both are, each is one value everywhere.
  __m256i ac = _mm256_blend_epi16(d[0], _mm256_setzero_si256(), 1);
  for (size_t r = 1; r < 8; ++r) ac = _mm256_or_si256(ac, d[r]);
  if (_mm256_testz_si256(ac, ac)) {
    const __m256i va = _mm256_set1_epi8(static_cast<char>(clamp_idct(a[0])));
    const __m256i vb = _mm256_set1_epi8(static_cast<char>(clamp_idct(b[0])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out_a), va);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out_a + 32), va);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out_b), vb);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out_b + 32), vb);
    return;
  }
  if (fits_16bit(d) == 3) {
    transform_pair16(d, out_a, out_b);
    return;
  }
  transform_block32(a, out_a);
  if (b != a) transform_block32(b, out_b);
}

}  // namespace

QUORVEL_AVX2 void idct_blocks_avx2(const int32_t* dequantised, size_t count, uint8_t* output) noexcept {
  // Pairs from the end, so that the chroma blocks (the last two) go together:
  // in screen content they are often both flat while the luma is not.
  size_t b = count;
  for (; b >= 2; b -= 2) {
    transform_pair(dequantised + 64 * (b - 2), dequantised + 64 * (b - 1), output + 64 * (b - 2),
                   output + 64 * (b - 1));
  }
  if (b == 1) transform_block32(dequantised, output);
}

QUORVEL_AVX2 bool idct_fits_16bit_avx2(const int32_t* dequantised) noexcept {
  __m256i d[8];
  for (size_t r = 0; r < 8; ++r) d[r] = load_row_pair(dequantised + 8 * r, dequantised + 8 * r);
  return fits_16bit(d) == 3;
}

QUORVEL_AVX2 void idct_16bit_avx2(const int32_t* dequantised, uint8_t* out) noexcept {
  __m256i d[8];
  for (size_t r = 0; r < 8; ++r) d[r] = load_row_pair(dequantised + 8 * r, dequantised + 8 * r);
  transform_pair16(d, out, out);
}

QUORVEL_AVX2 void idct_transform_avx2(const int32_t* coefficients, size_t block_offset, const QuantTable& quant_table,
                                      uint8_t* output, size_t output_offset) noexcept {
  const int32_t* in = coefficients + block_offset;
  uint8_t* out = output + output_offset;

  // A block with only its DC coefficient transforms to one value everywhere, as
  // the butterflies give for it.
  __m256i any = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8));
  for (size_t r = 2; r < 8; ++r)
    any = _mm256_or_si256(any, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * r)));
  const __m256i row0_ac =
      _mm256_blend_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)), _mm256_setzero_si256(), 1);
  any = _mm256_or_si256(any, row0_ac);
  if (_mm256_testz_si256(any, any)) {
    const int32_t dc = ast2100::dequantise(in[0], quant_table[0]);
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

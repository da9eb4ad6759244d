// Scalar AAN inverse DCT, the reference for any faster variant.
#include "idct.hpp"

#include <array>

#include "arith.hpp"
#include "clamp.hpp"

namespace ast2100 {
namespace {

// x * k with 32-bit wrap, then an arithmetic shift by 8.
constexpr int32_t mul8(int32_t x, int32_t k) noexcept { return wrap_mul(x, k) >> 8; }

// The AAN butterfly on d[0..7] (stride `step`), results into y[0..7].
inline void butterfly(const int32_t* d, size_t step, int32_t* y) noexcept {
  const int32_t d0 = d[0], d1 = d[step], d2 = d[2 * step], d3 = d[3 * step];
  const int32_t d4 = d[4 * step], d5 = d[5 * step], d6 = d[6 * step], d7 = d[7 * step];
  // Even part.
  const int32_t t10 = wrap_add(d0, d4);
  const int32_t t11 = wrap_sub(d0, d4);
  const int32_t t13 = wrap_add(d2, d6);
  const int32_t t12 = wrap_sub(mul8(wrap_sub(d2, d6), kIdctSqrt2), t13);
  const int32_t e0 = wrap_add(t10, t13);
  const int32_t e3 = wrap_sub(t10, t13);
  const int32_t e1 = wrap_add(t11, t12);
  const int32_t e2 = wrap_sub(t11, t12);
  // Odd part.
  const int32_t z13 = wrap_add(d5, d3);
  const int32_t z10 = wrap_sub(d5, d3);
  const int32_t z11 = wrap_add(d1, d7);
  const int32_t z12 = wrap_sub(d1, d7);
  const int32_t o7 = wrap_add(z11, z13);
  const int32_t z5 = mul8(wrap_add(z10, z12), kIdct1_847);
  const int32_t o6 = wrap_sub(wrap_add(mul8(z10, kIdctNeg2_613), z5), o7);
  const int32_t o5 = wrap_sub(mul8(wrap_sub(z11, z13), kIdctSqrt2), o6);
  const int32_t o4 = wrap_add(wrap_sub(mul8(z12, kIdct1_082), z5), o5);
  y[0] = wrap_add(e0, o7);
  y[7] = wrap_sub(e0, o7);
  y[1] = wrap_add(e1, o6);
  y[6] = wrap_sub(e1, o6);
  y[2] = wrap_add(e2, o5);
  y[5] = wrap_sub(e2, o5);
  y[4] = wrap_add(e3, o4);
  y[3] = wrap_sub(e3, o4);
}

}  // namespace

void idct_dequantised(const int32_t* d, uint8_t* out) noexcept {
  // Pass 1, columns. A column whose rows 1..7 are all zero transforms to its DC
  // value in every row, which the butterfly would give too.
  std::array<int32_t, 64> ws;
  for (size_t v = 0; v < 8; ++v) {
    if (d[8 + v] == 0 && d[16 + v] == 0 && d[24 + v] == 0 && d[32 + v] == 0 && d[40 + v] == 0 && d[48 + v] == 0 &&
        d[56 + v] == 0) {
      for (size_t k = 0; k < 8; ++k) ws[8 * k + v] = d[v];
      continue;
    }
    int32_t y[8];
    butterfly(&d[v], 8, y);
    for (size_t k = 0; k < 8; ++k) ws[8 * k + v] = y[k];
  }

  // Pass 2, rows, straight into the output through the clamp table.
  for (size_t r = 0; r < 8; ++r) {
    int32_t y[8];
    butterfly(&ws[8 * r], 1, y);
    for (size_t x = 0; x < 8; ++x) out[8 * r + x] = clamp_idct(y[x]);
  }
}

void idct_blocks(const int32_t* dequantised, size_t count, uint8_t* output) noexcept {
  for (size_t b = 0; b < count; ++b) idct_dequantised(dequantised + 64 * b, output + 64 * b);
}

void idct_transform(const int32_t* coefficients, size_t block_offset, const QuantTable& quant_table, uint8_t* output,
                    size_t output_offset) noexcept {
  const int32_t* in = coefficients + block_offset;
  std::array<int32_t, 64> d;
  for (size_t p = 0; p < 64; ++p) d[p] = dequantise(in[p], quant_table[p]);
  idct_dequantised(d.data(), output + output_offset);
}

}  // namespace ast2100

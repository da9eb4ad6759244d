// Integer inverse DCT of one 8x8 block (Arai-Agui-Nakajima).
//
// Dequantisation and the AAN prescale are one 64-bit multiply and a 16-bit shift
// per coefficient (the factors are folded into the QuantTable). The two passes
// (columns, then rows) work on 32-bit two's-complement values that wrap, with
// arithmetic shifts; outputs go through the clamp table, which divides by 8,
// adds the level shift 128 and limits to 0..255. Bit-exact by construction: a
// float IDCT or different rounding gives other samples.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quant.hpp"

namespace ast2100 {

// The butterfly's multipliers in 8-bit fixed point: a product is x * k with
// 32-bit wrap, then an arithmetic shift by 8, so M(x, -669) is not -M(x, 669).
// Every variant of the transform uses these four and no others.
inline constexpr int32_t kIdctSqrt2 = 362;      // sqrt(2) * 256
inline constexpr int32_t kIdct1_847 = 473;      // 1.847759065 * 256
inline constexpr int32_t kIdct1_082 = 277;      // 1.082392200 * 256
inline constexpr int32_t kIdctNeg2_613 = -669;  // -2.613125930 * 256

// Transforms coefficients[block_offset .. +63] into 64 samples at
// output[output_offset .. +63] (row-major, stride 8). Touches nothing else.
void idct_transform(const int32_t* coefficients, size_t block_offset, const QuantTable& quant_table, uint8_t* output,
                    size_t output_offset) noexcept;

// The transform of one block whose 64 entries are already dequantised and
// prescaled (as decode_block_dequantised stores them), into out[0..63].
void idct_dequantised(const int32_t* dequantised, uint8_t* out) noexcept;

// `count` consecutive dequantised blocks into output[0 .. 64 * count - 1]: all the
// blocks of a macroblock in one call.
void idct_blocks(const int32_t* dequantised, size_t count, uint8_t* output) noexcept;

}  // namespace ast2100

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

#include "color.hpp"
#include "quant.hpp"

namespace ast2100 {

// Transforms coefficients[block_offset .. +63] into 64 samples at
// output[output_offset .. +63] (row-major, stride 8). Touches nothing else.
void idct_transform(const int32_t* coefficients, size_t block_offset, const QuantTable& quant_table,
                    uint8_t* output, size_t output_offset, const ClampTable& clamp) noexcept;

}  // namespace ast2100

// Thumbnails: a picture drawn at 1/2, 1/4 or 1/8 of its size, each pixel
// standing for a scale x scale square of the full picture, for a wall of
// consoles watched at once.
//
// The stream is decoded in full (the predictors and the colour cache must stay
// in step), but everything after the entropy decoding shrinks. A DCT block at
// 1/8 is its DC term alone: the transform of a block with only a DC
// coefficient is flat at that level, and the AC basis functions average to zero
// over the block, so the DC term is the block's mean. At 1/4 a block's four
// quarter means follow from its DC and odd-frequency coefficients, again with
// no transform (and so do the 4:2:0 chroma quarters at 1/8). At 1/2 the blocks
// are transformed as for the full picture and their samples averaged. Either
// way the means are taken before one colour conversion per thumbnail pixel. A
// VQ macroblock's square is the rounded mean of the RGB colours its pixels
// paint: exactly the box filter of the full picture. Squares on an edge of the
// picture average only the pixels inside it (a clipped macroblock is
// transformed and averaged pixel by pixel).
#pragma once

#include <array>
#include <cstdint>

#include "frame.hpp"
#include "huffman.hpp"

namespace ast2100 {

// The scales a thumbnail can have: a power of two no larger than the smallest
// macroblock, so every macroblock covers whole squares.
constexpr bool valid_scale(uint64_t scale) noexcept { return scale == 1 || scale == 2 || scale == 4 || scale == 8; }

// The DCT and VQ macroblock at the target's position, drawn into a thumbnail:
// target.frame is the thumbnail (ceil(width / scale) x ceil(height / scale)),
// target.width and target.height the full picture's size.
// The coefficients draw_dct_scaled reads of the macroblock at the target's
// position, for its luma blocks and its chroma blocks: the decoder need not
// dequantise or store the others.
struct ThumbnailNeeds {
  Kept luma;
  Kept chroma;
};
ThumbnailNeeds thumbnail_needs(const MacroblockTarget& target) noexcept;

// The means of the four 4x4 quarters of a block (top-left, top-right,
// bottom-left, bottom-right) as samples, from its 64 dequantised coefficients
// (as decode_block_dequantised stores them) with no transform, in integers.
std::array<uint8_t, 4> quarter_means(const int32_t* dequantised) noexcept;

void draw_dct_scaled(const MacroblockTarget& target, const DctMacroblock& macroblock) noexcept;
void draw_vq_scaled(const MacroblockTarget& target, const VqMacroblock& macroblock) noexcept;

}  // namespace ast2100

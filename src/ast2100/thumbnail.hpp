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
// way the means are taken before one colour conversion per thumbnail pixel,
// and so are a VQ macroblock's: a square is the conversion of the rounded means
// of the Y, Cb and Cr its pixels take (so a thumbnail in the planar formats
// holds the means, and converting it gives the RGB thumbnail byte for byte;
// a square of one colour is the box filter exactly). Squares on an edge of the
// picture average only the pixels inside it (a clipped macroblock is
// transformed and averaged pixel by pixel).
#pragma once

#include <array>
#include <cstdint>

#include "macroblock.hpp"

namespace ast2100 {

// The drawing of a thumbnail in `format` at the scale of its target (2, 4 or
// 8): the picture drawn is ceil(full_width / scale) x ceil(full_height /
// scale), and positions stay those of the full picture's macroblocks.
const MacroblockDrawing& thumbnail_drawing(PixelFormat format) noexcept;

// The means of the four 4x4 quarters of a block (top-left, top-right,
// bottom-left, bottom-right) as samples, from its 64 dequantised coefficients
// (as decode_block_dequantised stores them) with no transform, in integers.
std::array<uint8_t, 4> quarter_means(const int32_t* dequantised) noexcept;

// The rounded means (halves up) of the 16 squares of 2x2 samples of an 8x8
// block (raster order), as four rows of four at `out` with a stride of 8.
void box_means_2x2(const uint8_t* block, uint8_t* out) noexcept;

}  // namespace ast2100

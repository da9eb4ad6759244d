// Macroblocks between the record loop and the picture: the stream state that
// the loop hands on from one macroblock to the next, the frame a macroblock is
// drawn into (the same for all of a frame's) apart from its position, the
// decoded forms of a DCT and a VQ macroblock, and the drawing, chosen once per
// frame, that turns them into pixels: at full size (macroblock.cpp) or into a
// thumbnail (thumbnail.cpp). The record loop (frame.cpp) sees this header
// alone; the drawing is picked by macroblock_drawing().
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "bitreader.hpp"
#include "huffman.hpp"
#include "kernels.hpp"
#include "picture.hpp"
#include "quant.hpp"

namespace ast2100 {

// Four packed YCbCr colours (Y in bits 23..16, Cb 15..8, Cr 7..0), the cache
// index each pixel code paints with, and the pixel-code width of the current
// VQ macroblock.
struct VqColorCache {
  std::array<uint32_t, 4> colors = {0x008080, 0xFF8000, 0x808080, 0xC08000};
  std::array<uint32_t, 4> slots = {0, 1, 2, 3};
  uint32_t index_bits = 0;
};

// What the stream carries from one macroblock to the next: the bit reader, the
// DC predictors of the three components and the VQ colour cache. The
// macroblock decoders update it.
struct StreamState {
  BitReader reader;
  int32_t dc_y = 0;
  int32_t dc_cb = 0;
  int32_t dc_cr = 0;
  VqColorCache cache;
};

// A DCT macroblock as the stream codes it, entropy-decoded and dequantised for
// the transform: the mode's blocks (see MacroblockGeometry), 64 coefficients
// each in natural (not zigzag) order. Only the mode's blocks are written.
struct DctMacroblock {
  alignas(64) int32_t coefficients[6 * 64];
};

// A VQ macroblock as the stream codes it: the YCbCr colour (packed as in the
// cache) that each pixel code paints with, the code width (0, 1 or 2 bits) and
// the 64 pixel codes in raster order (all 0 for a one-colour macroblock).
struct VqMacroblock {
  std::array<uint32_t, 4> colors{};
  uint32_t index_bits = 0;
  std::array<uint8_t, 64> codes{};
};

// A macroblock's place in the frame's grid of macroblocks: the full picture's,
// whatever the scale. Positions read from the stream reach 255.
struct MacroblockPosition {
  uint64_t col = 0;
  uint64_t row = 0;
};

struct MacroblockDrawing;

// Where a frame's macroblocks are drawn and with what, the same for all of
// them: the picture (the frame's, or its thumbnail of
// ceil(full_width / scale) x ceil(full_height / scale) pixels), the mode's
// geometry and quantisation tables, the kernels, and what is chosen from the
// scale, the format and the kernels once per frame: the drawing and the
// kernels' colour conversion of the picture's format.
struct FrameTarget {
  FrameView frame;
  bool subsampled = false;
  MacroblockGeometry geometry = macroblock_geometry(false);
  const QuantTables* quant_tables = nullptr;
  const Kernels* kernels = nullptr;
  YuvToRgb yuv_to_rgb = nullptr;  // the kernels' conversion into frame.format
  const MacroblockDrawing* drawing = nullptr;
  uint32_t scale = 1;
  unsigned area_shift = 3;  // a macroblock's side in the picture drawn is 2^area_shift pixels
  uint64_t full_width = 0;
  uint64_t full_height = 0;

  // The pixels of the picture drawn that the macroblock at `at` covers.
  PixelArea area(MacroblockPosition at) const noexcept {
    return macroblock_area(at.col, at.row, area_shift, frame.width, frame.height);
  }
};

// How a frame's macroblocks are drawn, chosen once per frame: one drawing per
// scale (full size or thumbnail) and pixel format, each specialised for its
// format, so no macroblock asks which format it draws. Each kind of
// macroblock decoder has two halves. decode_* reads the stream (the record's
// data after its code and position) and updates the stream state; draw_*
// writes the macroblock's pixels at its position and reads nothing but its
// arguments. Between the two a macroblock is plain data, so the halves may run
// at different times or on different threads, as long as each kind of half
// runs in stream order. decompress_dct is decode_dct then draw_dct in one call.
struct MacroblockDrawing {
  // The DCT macroblock at `at`, with the quantisation pair whose luminance slot
  // is quant_pair (kPrimaryPair or kAlternativePair). A thumbnail's decoder
  // keeps only the coefficients its drawing reads.
  void (*decode_dct)(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair, StreamState& stream,
                     DctMacroblock& out) noexcept;
  void (*draw_dct)(const FrameTarget& target, MacroblockPosition at, const DctMacroblock& macroblock) noexcept;
  void (*decompress_dct)(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair,
                         StreamState& stream) noexcept;
  void (*draw_vq)(const FrameTarget& target, MacroblockPosition at, const VqMacroblock& macroblock) noexcept;
  // Full size: a DCT macroblock may travel between the halves as lists
  // (decode_dct_lists, draw_dct_lists), and the picture is drawn a
  // macroblock at a time in raster order, which a fresh picture can track. A
  // thumbnail is small: a fresh one is made black at once.
  bool full_size;
};

// The drawing of a picture at 1/scale (valid_scale(scale)) in `format`.
const MacroblockDrawing& macroblock_drawing(uint32_t scale, PixelFormat format) noexcept;

// The target of frames of width x height in the mode (subsampled or not), drawn
// at 1/scale (valid_scale(scale)) with `kernels` into `pixels`, the picture
// drawn in `format` (drawn_picture_bytes long).
FrameTarget frame_target(std::span<uint8_t> pixels, PixelFormat format, uint64_t width, uint64_t height,
                         bool subsampled, uint32_t scale, const Kernels& kernels) noexcept;

// A VQ macroblock's stream half, the same at every scale. The record's colour
// header must have been read into stream.cache already: 64 pixel codes of
// stream.cache.index_bits bits each (none for a one-colour macroblock).
void decode_vq(StreamState& stream, VqMacroblock& out) noexcept;

// The full-size DCT halves with the macroblock's coefficients as lists in
// between (see SparseBlocks in huffman.hpp), which are smaller to hand from one
// thread to another and quicker to read from the stream; the drawing half
// expands them into `scratch`, which must be all zero and is left so. The
// picture is the one the full-size drawing draws.
void decode_dct_lists(const FrameTarget& target, uint32_t quant_pair, StreamState& stream, SparseBlocks& out) noexcept;
void draw_dct_lists(const FrameTarget& target, MacroblockPosition at, const SparseBlocks& levels,
                    DctMacroblock& scratch) noexcept;

}  // namespace ast2100

// Drawing macroblocks at full size, the VQ stream half, and the choice of a
// frame's drawing: full size here, or a thumbnail's (thumbnail.hpp).
#include "macroblock.hpp"

#include <cstring>

#include "color.hpp"
#include "thumbnail.hpp"

namespace ast2100 {
namespace {

// The luma table of the quantisation pair and the chroma table after it.
struct PairTables {
  const QuantTable& luma;
  const QuantTable& chroma;
};
PairTables pair_tables(const FrameTarget& target, uint32_t quant_pair) noexcept {
  return {target.quant_tables->slot[quant_pair], target.quant_tables->slot[quant_pair + 1]};
}

void decode_dct(const FrameTarget& target, MacroblockPosition, uint32_t quant_pair, StreamState& stream,
                DctMacroblock& out) noexcept {
  const PairTables tables = pair_tables(target, quant_pair);
  // The coefficient decoder writes only the entries the stream codes, already
  // dequantised for the transform; the rest must be zero. Each mode zeroes a
  // size known at compile time (3 or 6 blocks), which compiles to plain stores.
  if (target.subsampled) {
    std::memset(out.coefficients, 0, sizeof(int32_t) * 64 * macroblock_geometry(true).blocks);
  } else {
    std::memset(out.coefficients, 0, sizeof(int32_t) * 64 * macroblock_geometry(false).blocks);
  }
  std::array<int32_t, 3> predictors = {stream.dc_y, stream.dc_cb, stream.dc_cr};
  decode_macroblock_dequantised(stream.reader, tables.luma, tables.chroma, target.geometry.luma_blocks, predictors,
                                out.coefficients);
  stream.dc_y = predictors[0];
  stream.dc_cb = predictors[1];
  stream.dc_cr = predictors[2];
}

template <PixelFormat F>
void draw_dct(const FrameTarget& target, MacroblockPosition at, const DctMacroblock& macroblock) noexcept {
  // Every byte that the conversion reads is written by the transform: one call
  // for all the macroblock's blocks, in the staging layout's order. Grey reads
  // the luma blocks alone, which come first: the chroma blocks, decoded to keep
  // the stream and the predictors in step, need no transform.
  constexpr bool gray = pixel_layout(F).kind == PixelLayout::Kind::gray;
  const size_t blocks = gray ? target.geometry.luma_blocks : target.geometry.blocks;
  alignas(64) YuvMacroblock staging;
  target.kernels->idct_blocks(macroblock.coefficients, blocks, staging.data());
  target.yuv_to_rgb(staging, at.col, at.row, target.frame, target.subsampled);
}

template <PixelFormat F>
void decompress_dct(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair,
                    StreamState& stream) noexcept {
  DctMacroblock macroblock;
  decode_dct(target, at, quant_pair, stream, macroblock);
  draw_dct<F>(target, at, macroblock);
}

// A VQ macroblock's pixels, each a copy of one of the converted colours (P
// bytes each, at the start of 4-byte slots). In the 16x16 mode each code
// paints a 2x2 group: pixel (r, c) takes code 8 * (r / 2) + c / 2.
template <size_t P>
void paint_vq(const MacroblockPixels& mb, const std::array<std::array<uint8_t, 4>, 4>& colors,
              const VqMacroblock& macroblock, uint32_t shift) noexcept {
  const size_t cols = mb.area.cols;
  const size_t rows = mb.area.rows;
  const uint64_t stride = mb.stride;
  uint8_t* origin = mb.origin;
  if (macroblock.index_bits == 0) {
    uint8_t line[16 * P];
    for (size_t c = 0; c < 16; ++c) std::memcpy(line + P * c, colors[0].data(), P);
    if (cols == 16) {
      for (size_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, 16 * P);
    } else if (cols == 8) {
      for (size_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, 8 * P);
    } else {
      for (size_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, cols * P);
    }
    return;
  }
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* row_codes = macroblock.codes.data() + 8 * (r >> shift);
    uint8_t* out = origin + r * stride;
    if constexpr (P == 3) {
      // Four bytes a pixel, each store's spare byte overwritten by the next
      // pixel; the row's last pixel gets exactly three.
      for (size_t c = 0; c + 1 < cols; ++c, out += 3) std::memcpy(out, colors[row_codes[c >> shift]].data(), 4);
      std::memcpy(out, colors[row_codes[(cols - 1) >> shift]].data(), 3);
    } else {
      for (size_t c = 0; c < cols; ++c, out += P) std::memcpy(out, colors[row_codes[c >> shift]].data(), P);
    }
  }
}

// The same into a planar picture: in i444 each plane painted with its own
// sample of the colours, as one-byte pixels.
template <PixelFormat F>
void paint_vq_planar(const FrameTarget& target, MacroblockPosition at, const VqMacroblock& macroblock) noexcept {
  MacroblockPixels mb = target.frame.macroblock(at.col, at.row, target.subsampled);
  if (mb.area.empty()) return;
  const uint64_t plane = target.frame.plane_bytes();
  if constexpr (F == PixelFormat::i420) {
    // The Y plane painted, the chroma as a DCT macroblock's 8x8 blocks would be.
    std::array<std::array<uint8_t, 4>, 4> luma{};
    std::array<uint8_t, 4> cb{}, cr{};
    for (uint32_t k = 0; k < 4; ++k) {
      luma[k][0] = static_cast<uint8_t>(macroblock.colors[k] >> 16);
      cb[k] = static_cast<uint8_t>(macroblock.colors[k] >> 8);
      cr[k] = static_cast<uint8_t>(macroblock.colors[k]);
    }
    paint_vq<1>(mb, luma, macroblock, target.subsampled ? 1 : 0);
    alignas(16) std::array<uint8_t, 64> block_cb, block_cr;
    for (size_t i = 0; i < 64; ++i) {
      const uint8_t code = macroblock.index_bits == 0 ? 0 : macroblock.codes[i];
      block_cb[i] = cb[code];
      block_cr[i] = cr[code];
    }
    store_chroma_420(block_cb.data(), block_cr.data(), target.frame, mb.area, target.subsampled);
  } else {
    for (unsigned p = 0; p < 3; ++p, mb.origin += plane) {
      std::array<std::array<uint8_t, 4>, 4> samples{};
      // The cache holds Y in bits 16..23, Cb in 8..15, Cr in 0..7.
      for (uint32_t k = 0; k < 4; ++k) samples[k][0] = static_cast<uint8_t>(macroblock.colors[k] >> (16 - 8 * p));
      paint_vq<1>(mb, samples, macroblock, target.subsampled ? 1 : 0);
    }
  }
}

template <PixelFormat F>
void draw_vq(const FrameTarget& target, MacroblockPosition at, const VqMacroblock& macroblock) noexcept {
  if constexpr (is_planar(F)) {
    paint_vq_planar<F>(target, at, macroblock);
  } else {
    // Every pixel of the macroblock has one of at most four colours, so each is
    // converted once and the pixels are copies of it: the same bytes as
    // converting the filled staging area pixel by pixel. All four are
    // converted, used or not: a fixed count, which the compiler unrolls.
    std::array<std::array<uint8_t, 4>, 4> colors{};  // a pixel and any spare bytes, for 4-byte stores
    for (uint32_t k = 0; k < 4; ++k) {
      const uint32_t c = macroblock.colors[k];
      convert_pixel<F>(colors[k].data(), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                       static_cast<uint8_t>(c));
    }
    // Only the pixels inside the picture.
    const MacroblockPixels mb = target.frame.macroblock(at.col, at.row, target.subsampled);
    if (mb.area.empty()) return;
    paint_vq<bytes_per_pixel(F)>(mb, colors, macroblock, target.subsampled ? 1 : 0);
  }
}

// The full-size drawing of each pixel format.
constexpr FormatTable<MacroblockDrawing> kFullSize = per_format([](auto f) {
  return MacroblockDrawing{decode_dct, draw_dct<f()>, decompress_dct<f()>, draw_vq<f()>, true};
});

}  // namespace

const MacroblockDrawing& macroblock_drawing(uint32_t scale, PixelFormat format) noexcept {
  return scale == 1 ? kFullSize[static_cast<size_t>(format)] : thumbnail_drawing(format);
}

FrameTarget frame_target(std::span<uint8_t> pixels, PixelFormat format, uint64_t width, uint64_t height,
                         bool subsampled, uint32_t scale, const Kernels& kernels) noexcept {
  const MacroblockGeometry geometry = macroblock_geometry(subsampled);
  // The scale is a power of two no larger than the macroblock.
  unsigned scale_shift = 0;
  while ((1u << scale_shift) < scale) ++scale_shift;
  return {.frame = {pixels, ceil_div(width, scale), ceil_div(height, scale), format},
          .subsampled = subsampled,
          .geometry = geometry,
          .quant_tables = subsampled ? &kQuantTables422 : &kQuantTables444,
          .kernels = &kernels,
          .yuv_to_rgb = kernels.yuv_to_rgb_for(format),
          .drawing = &macroblock_drawing(scale, format),
          .scale = scale,
          .area_shift = geometry.size_shift - scale_shift,
          .full_width = width,
          .full_height = height};
}

void decode_dct_lists(const FrameTarget& target, uint32_t quant_pair, StreamState& stream, SparseBlocks& out) noexcept {
  std::array<int32_t, 3> predictors = {stream.dc_y, stream.dc_cb, stream.dc_cr};
  // The lighter half dequantises: in the 8x8 mode a macroblock's three blocks
  // weigh on the stream more than its drawing does, in the 16x16 mode the
  // colour of four times the pixels weighs on the drawing.
  decode_macroblock_sparse(stream.reader, *target.quant_tables, quant_pair, target.subsampled,
                           target.geometry.luma_blocks, predictors, out);
  stream.dc_y = predictors[0];
  stream.dc_cb = predictors[1];
  stream.dc_cr = predictors[2];
}

void draw_dct_lists(const FrameTarget& target, MacroblockPosition at, const SparseBlocks& levels,
                    DctMacroblock& scratch) noexcept {
  const size_t luma_blocks = target.geometry.luma_blocks;
  expand_sparse(levels, *target.quant_tables, luma_blocks, scratch.coefficients);
  target.drawing->draw_dct(target, at, scratch);
  clear_sparse(levels, luma_blocks, scratch.coefficients);
}

void decode_vq(StreamState& stream, VqMacroblock& out) noexcept {
  const VqColorCache& cache = stream.cache;
  BitReader& reader = stream.reader;
  const uint32_t n = cache.index_bits;
  out.index_bits = n;
  for (uint32_t k = 0; k < 4; ++k) out.colors[k] = cache.colors[cache.slots[k]];
  // The 64 pixel codes, n bits each, read sixteen bits at a time (64 or 128
  // bits in all, a whole number of chunks).
  out.codes.fill(0);
  if (n == 0) return;
  const uint32_t per_chunk = 16 / n;
  for (uint32_t p = 0; p < 64; p += per_chunk) {
    const uint32_t chunk = reader.window() >> 16;
    reader.consume_bits(16);
    for (uint32_t i = 0; i < per_chunk; ++i) {
      out.codes[p + i] = static_cast<uint8_t>((chunk >> (16 - n * (i + 1))) & ((1u << n) - 1));
    }
  }
}

}  // namespace ast2100

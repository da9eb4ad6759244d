// Frame set-up, the record loop, and the DCT and VQ macroblock decoders.
#include "frame.hpp"

#include <cstdio>
#include <cstring>

#include "idct.hpp"

namespace ast2100 {
namespace {

constexpr uint64_t kMaxFrameBytes = 0x7FFF'FFFF'FFFF'FFFFull;  // 2^63 - 1
constexpr uint64_t kMinBlockLimit = 4096;
constexpr size_t kHeaderBytes = 4;
constexpr size_t kMinCodecData = 12;  // the header and the two words the reader loads

// The ceiling of size / n for n = 8 or 16, without the wrap of (size + n - 1).
constexpr uint64_t macroblocks(uint64_t size, uint64_t n) noexcept {
  return size / n + (size % n != 0 ? 1 : 0);
}

// Reads 2^index_bits header entries into the cache: per slot a new-colour flag,
// a 2-bit cache index, and after a set flag 24 bits of Y, Cb, Cr.
void read_vq_header(BitReader& reader, VqColorCache& cache) noexcept {
  const uint32_t entries = 1u << cache.index_bits;
  for (uint32_t k = 0; k < entries; ++k) {
    const uint32_t e = reader.window();
    const uint32_t index = (e >> 29) & 3u;
    cache.slots[k] = index;
    if ((e >> 31) != 0) {
      cache.colors[index] = (e >> 5) & 0xFFFFFFu;
      reader.consume_bits(27);
    } else {
      reader.consume_bits(3);
    }
  }
}

}  // namespace

size_t Status::message(std::span<char, 64> buf) const noexcept {
  int n = 0;
  switch (failure) {
    case Failure::none:
      n = std::snprintf(buf.data(), buf.size(), "ok");
      break;
    case Failure::codec_data_too_short:
      n = std::snprintf(buf.data(), buf.size(), "codec_data too short (< 4 bytes)");
      break;
    case Failure::unknown_mode:
      n = std::snprintf(buf.data(), buf.size(), "unknown mode %u", static_cast<unsigned>(value));
      break;
    case Failure::capacity_overflow:
      n = std::snprintf(buf.data(), buf.size(), "capacity overflow");
      break;
    case Failure::bitstream_too_short:
      n = std::snprintf(buf.data(), buf.size(), "codec_data too short for bitstream init");
      break;
    case Failure::unknown_block_flag:
      n = std::snprintf(buf.data(), buf.size(), "unknown block flag: %u", static_cast<unsigned>(value));
      break;
    case Failure::block_limit:
      n = std::snprintf(buf.data(), buf.size(), "exceeded block limit without FRAME_END marker");
      break;
  }
  return n > 0 ? static_cast<size_t>(n) : 0;
}

Status FrameDecoder::setup(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height,
                           uint64_t max_frame_bytes, FrameDecoder& out) noexcept {
  if (codec_data.size() < kHeaderBytes) return {Failure::codec_data_too_short};
  // Bytes 0 and 1 of the header are not interpreted.
  const uint32_t mode = static_cast<uint32_t>(codec_data[2]) << 8 | codec_data[3];
  bool subsampled = false;
  if (mode == kMode422) {
    subsampled = true;
  } else if (mode != kMode444) {
    return {Failure::unknown_mode, mode};
  }

  uint64_t pixels = 0;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(width, height, &pixels) || __builtin_mul_overflow(pixels, 3, &bytes) ||
      bytes > kMaxFrameBytes || bytes > max_frame_bytes) {
    return {Failure::capacity_overflow};
  }
  if (codec_data.size() < kMinCodecData) return {Failure::bitstream_too_short};

  const uint64_t n = subsampled ? 16 : 8;
  out = FrameDecoder{};
  out.width = width;
  out.height = height;
  out.subsampled = subsampled;
  out.mb_cols = macroblocks(width, n);
  out.mb_rows = macroblocks(height, n);
  out.quant_tables = subsampled ? &kQuantTables422 : &kQuantTables444;
  out.huffman_tables = &HuffmanTables::build();
  out.clamp = &kClampTable;
  out.luts = &kColorLuts;
  out.kernels = &best_kernels();
  out.reader = BitReader::make(codec_data.data(), codec_data.size(), kHeaderBytes);
  // One record per whole 8x8 area, at least 4096, and never fewer than the
  // frame's own macroblocks: a picture whose sides are not multiples of the
  // macroblock size has more macroblocks than whole 8x8 areas. The product
  // cannot wrap: both factors are about a side / 8 and pixels < 2^62.
  uint64_t limit = pixels >> 6;
  if (limit < kMinBlockLimit) limit = kMinBlockLimit;
  const uint64_t all_macroblocks = out.mb_cols * out.mb_rows;
  out.block_limit = limit > all_macroblocks ? limit : all_macroblocks;
  return {};
}

bool FrameDecoder::may_draw_every_macroblock(size_t codec_data_size) const noexcept {
  // Every record takes at least its 4-bit code, and a frame that ends holds all
  // its records within the data: past it the stream reads as DCT records for
  // ever. Only a choice of strategy rests on this; either gives the same picture.
  const uint64_t bits = (static_cast<uint64_t>(codec_data_size) - kHeaderBytes) * 8;
  return mb_rows == 0 || mb_cols <= bits / 4 / mb_rows;
}

// Zeroes the pixels of every macroblock from raster index `first` on.
void FrameDecoder::zero_from(std::span<uint8_t> frame, uint64_t first) const noexcept {
  if (mb_cols == 0 || first >= mb_cols * mb_rows) return;
  const uint64_t size = subsampled ? 16 : 8;
  const uint64_t stride = width * 3;
  const uint64_t y0 = first / mb_cols * size;  // < height
  const uint64_t x0 = first % mb_cols * size;  // < width
  const uint64_t y1 = height - y0 < size ? height : y0 + size;
  for (uint64_t y = y0; y < y1; ++y) std::memset(frame.data() + y * stride + x0 * 3, 0, (width - x0) * 3);
  std::memset(frame.data() + y1 * stride, 0, (height - y1) * stride);
}

Status FrameDecoder::run(std::span<uint8_t> frame) noexcept { return run_records(frame, false); }

Status FrameDecoder::run_fresh(std::span<uint8_t> frame) noexcept { return run_records(frame, true); }

Status FrameDecoder::run_records(std::span<uint8_t> frame, bool fresh) noexcept {
  const FrameView view{frame, width, height};
  const uint64_t size = subsampled ? 16 : 8;
  // On a fresh (unwritten) picture, `drawn` macroblocks have been drawn in raster
  // order from (0, 0), which covers their pixels. The rest of the picture is
  // zeroed when the frame ends, or as soon as a macroblock is drawn elsewhere;
  // from then on the picture is all defined and nothing more is tracked.
  bool tracking = fresh;
  uint64_t drawn = 0;
  auto before_draw = [&] {
    if (tracking) {
      if (mb_col < mb_cols && mb_row < mb_rows && mb_row * mb_cols + mb_col == drawn) {
        ++drawn;
      } else {
        zero_from(frame, drawn);
        tracking = false;
      }
    }
    if (observer == nullptr) return;
    const PixelArea area = macroblock_area(mb_col, mb_row, size, width, height);
    if (!area.empty()) observer->before_draw(area);
  };
  for (uint64_t i = 0;; ++i) {
    // The code and an explicit position are taken from one copy of the window.
    const uint32_t w = reader.window();
    const uint32_t code = w >> 28;
    switch (static_cast<BlockCode>(code)) {
      case BlockCode::DCT:
      case BlockCode::DCT_ALT:
        reader.consume_bits(4);
        before_draw();
        decompress_dct(reader, mb_col, mb_row, view, *quant_tables, code == 0 ? 0 : 2, *huffman_tables,
                       dc_y, dc_cb, dc_cr, subsampled, *luts, *clamp, *kernels);
        break;
      case BlockCode::DCT_AT:
      case BlockCode::DCT_ALT_AT:
        reader.consume_bits(20);
        mb_col = (w >> 20) & 0xFFu;
        mb_row = (w >> 12) & 0xFFu;
        before_draw();
        decompress_dct(reader, mb_col, mb_row, view, *quant_tables, code == 8 ? 0 : 2, *huffman_tables,
                       dc_y, dc_cb, dc_cr, subsampled, *luts, *clamp, *kernels);
        break;
      case BlockCode::VQ_1:
      case BlockCode::VQ_2:
      case BlockCode::VQ_4:
        reader.consume_bits(4);
        cache.index_bits = code - 5;
        read_vq_header(reader, cache);
        before_draw();
        vq_decompress(reader, cache, mb_col, mb_row, view, subsampled, *luts, *clamp);
        break;
      case BlockCode::VQ_1_AT:
      case BlockCode::VQ_2_AT:
      case BlockCode::VQ_4_AT:
        // The position bits precede the header entries in the stream.
        reader.consume_bits(20);
        cache.index_bits = code - 13;
        read_vq_header(reader, cache);
        mb_col = (w >> 20) & 0xFFu;
        mb_row = (w >> 12) & 0xFFu;
        before_draw();
        vq_decompress(reader, cache, mb_col, mb_row, view, subsampled, *luts, *clamp);
        break;
      case BlockCode::FRAME_END:
        if (tracking) zero_from(frame, drawn);
        return {};
      default:
        return {Failure::unknown_block_flag, code};
    }

    // Advance in raster order; past the last macroblock the position wraps to
    // (0, 0). From an explicit column beyond the row, the next row begins.
    if (++mb_col >= mb_cols) {
      mb_col = 0;
      if (++mb_row >= mb_rows) mb_row = 0;
    }
    if (i == block_limit) return {Failure::block_limit};
  }
}

void decompress_dct(BitReader& reader, uint64_t mb_col, uint64_t mb_row, const FrameView& frame,
                    const QuantTables& quant_tables, uint32_t quant_pair,
                    const HuffmanTables& huffman_tables, int32_t& dc_y, int32_t& dc_cb,
                    int32_t& dc_cr, bool subsampled, const ColorLuts& luts,
                    const ClampTable& clamp, const Kernels& kernels) noexcept {
  // decode_block writes only the coefficients the stream codes; only the blocks
  // of this mode are used.
  const size_t luma_blocks = subsampled ? 4 : 1;
  alignas(64) int32_t coefficients[384];
  std::memset(coefficients, 0, sizeof(int32_t) * 64 * (luma_blocks + 2));
  for (size_t b = 0; b < luma_blocks; ++b) {
    dc_y = decode_block(reader, huffman_tables.luma_dc, huffman_tables.luma_ac, dc_y, coefficients, 64 * b);
  }
  const size_t cb = 64 * luma_blocks;
  const size_t cr = cb + 64;
  dc_cb = decode_block(reader, huffman_tables.chroma_dc, huffman_tables.chroma_ac, dc_cb, coefficients, cb);
  dc_cr = decode_block(reader, huffman_tables.chroma_dc, huffman_tables.chroma_ac, dc_cr, coefficients, cr);

  // Every byte that yuv_to_rgb reads is written by one of the transforms below.
  alignas(64) YuvMacroblock staging;
  const QuantTable& luma_table = quant_tables.slot[quant_pair];
  const QuantTable& chroma_table = quant_tables.slot[quant_pair + 1];
  for (size_t b = 0; b < luma_blocks; ++b) {
    kernels.idct(coefficients, 64 * b, luma_table, staging.data(), 64 * b, clamp);
  }
  kernels.idct(coefficients, cb, chroma_table, staging.data(), cb, clamp);
  kernels.idct(coefficients, cr, chroma_table, staging.data(), cr, clamp);
  kernels.yuv_to_rgb(staging, mb_col, mb_row, frame, subsampled, luts, clamp);
}

void vq_decompress(BitReader& reader, const VqColorCache& cache, uint64_t mb_col, uint64_t mb_row,
                   const FrameView& frame, bool subsampled, const ColorLuts& luts,
                   const ClampTable& clamp) noexcept {
  // Every pixel of the macroblock has one of at most four colours, so each is
  // converted once and the pixels are copies of it: the same bytes as
  // converting the filled staging area pixel by pixel.
  const uint32_t n = cache.index_bits;
  std::array<std::array<uint8_t, 4>, 4> rgb{};  // RGB and a spare byte, for 4-byte stores
  for (uint32_t k = 0; k < (1u << n); ++k) {
    const uint32_t c = cache.colors[cache.slots[k]];
    store_pixel(rgb[k].data(), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c),
                luts, clamp);
  }
  // The 64 pixel codes, n bits each, read sixteen bits at a time (64 or 128
  // bits in all, a whole number of chunks).
  std::array<uint8_t, 64> codes{};
  if (n != 0) {
    const uint32_t per_chunk = 16 / n;
    for (uint32_t p = 0; p < 64; p += per_chunk) {
      const uint32_t chunk = reader.window() >> 16;
      reader.consume_bits(16);
      for (uint32_t i = 0; i < per_chunk; ++i) {
        codes[p + i] = static_cast<uint8_t>((chunk >> (16 - n * (i + 1))) & ((1u << n) - 1));
      }
    }
  }

  // Only the pixels inside the picture. In the 16x16 mode each code paints a 2x2 group: pixel (r, c)
  // takes code 8 * (r / 2) + c / 2.
  const PixelArea area = macroblock_area(mb_col, mb_row, subsampled ? 16 : 8, frame.width, frame.height);
  if (area.empty()) return;
  const uint64_t cols = area.cols;
  const uint64_t rows = area.rows;
  const uint64_t stride = frame.stride();
  uint8_t* origin = frame.origin(area);
  const uint32_t shift = subsampled ? 1 : 0;
  if (n == 0) {
    uint8_t line[48];
    for (size_t c = 0; c < 16; ++c) std::memcpy(line + 3 * c, rgb[0].data(), 3);
    if (cols == 16) {
      for (uint64_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, 48);
    } else if (cols == 8) {
      for (uint64_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, 24);
    } else {
      for (uint64_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, cols * 3);
    }
    return;
  }
  for (uint64_t r = 0; r < rows; ++r) {
    const uint8_t* row_codes = codes.data() + 8 * (r >> shift);
    uint8_t* out = origin + r * stride;
    // Four bytes a pixel, each store's spare byte overwritten by the next pixel;
    // the row's last pixel gets exactly three.
    for (uint64_t c = 0; c + 1 < cols; ++c, out += 3) std::memcpy(out, rgb[row_codes[c >> shift]].data(), 4);
    std::memcpy(out, rgb[row_codes[(cols - 1) >> shift]].data(), 3);
  }
}

}  // namespace ast2100

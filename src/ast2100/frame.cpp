// Frame set-up, the record loop, and the DCT and VQ macroblock decoders.
#include "frame.hpp"

#include <cstdio>
#include <cstring>

#include "color.hpp"
#include "huffman.hpp"
#include "thumbnail.hpp"

namespace ast2100 {
namespace {

constexpr uint64_t kMinBlockLimit = 4096;
constexpr size_t kHeaderBytes = 4;
constexpr size_t kMinCodecData = 12;  // the header and the two words the reader loads

// The quantisation pair a DCT record names.
constexpr uint32_t quant_pair_of(BlockCode code) noexcept {
  return code == BlockCode::DCT || code == BlockCode::DCT_AT ? kPrimaryPair : kAlternativePair;
}

// The pixel-code width of a VQ record: 0, 1 or 2 bits for 1, 2 or 4 colours.
constexpr uint32_t index_bits_of(BlockCode code) noexcept {
  const BlockCode first = code >= BlockCode::VQ_1_AT ? BlockCode::VQ_1_AT : BlockCode::VQ_1;
  return static_cast<uint32_t>(code) - static_cast<uint32_t>(first);
}
static_assert(index_bits_of(BlockCode::VQ_1) == 0 && index_bits_of(BlockCode::VQ_4) == 2 &&
              index_bits_of(BlockCode::VQ_2_AT) == 1 && index_bits_of(BlockCode::VQ_4_AT) == 2);

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
                           uint64_t max_frame_bytes, FrameDecoder& out, PixelFormat format) noexcept {
  if (codec_data.size() < kHeaderBytes) return {Failure::codec_data_too_short};
  // Bytes 0 and 1 of the header are not interpreted.
  const uint32_t mode = static_cast<uint32_t>(codec_data[2]) << 8 | codec_data[3];
  bool subsampled = false;
  if (mode == kMode422) {
    subsampled = true;
  } else if (mode != kMode444) {
    return {Failure::unknown_mode, mode};
  }

  const std::optional<uint64_t> bytes = picture_bytes(width, height, max_frame_bytes, bytes_per_pixel(format));
  if (!bytes) return {Failure::capacity_overflow};
  if (codec_data.size() < kMinCodecData) return {Failure::bitstream_too_short};

  const uint64_t n = macroblock_size(subsampled);
  out = FrameDecoder{};
  out.width = width;
  out.height = height;
  out.subsampled = subsampled;
  out.format = format;
  out.mb_cols = ceil_div(width, n);
  out.mb_rows = ceil_div(height, n);
  out.quant_tables = subsampled ? &kQuantTables422 : &kQuantTables444;
  out.kernels = &best_kernels();
  out.stream.reader = BitReader::make(codec_data.data(), codec_data.size(), kHeaderBytes);
  // One record per whole 8x8 area, at least 4096, and never fewer than the
  // frame's own macroblocks: a picture whose sides are not multiples of the
  // macroblock size has more macroblocks than whole 8x8 areas. The product
  // cannot wrap: both factors are about a side / 8 and pixels < 2^62.
  const uint64_t pixels = *bytes / bytes_per_pixel(format);
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

// Makes black the pixels of every macroblock from raster index `first` on.
void FrameDecoder::zero_from(std::span<uint8_t> frame, uint64_t first) const noexcept {
  if (mb_cols == 0 || first >= mb_cols * mb_rows) return;
  const uint64_t size = macroblock_size(subsampled);
  const uint64_t pixel = bytes_per_pixel(format);
  const uint64_t stride = width * pixel;
  const uint64_t y0 = first / mb_cols * size;  // < height
  const uint64_t x0 = first % mb_cols * size;  // < width
  const uint64_t y1 = height - y0 < size ? height : y0 + size;
  for (uint64_t y = y0; y < y1; ++y) fill_black(frame.subspan(y * stride + x0 * pixel, (width - x0) * pixel), format);
  fill_black(frame.subspan(y1 * stride), format);
}

Status FrameDecoder::run(std::span<uint8_t> frame) noexcept { return run_records(frame, false); }

Status FrameDecoder::run_fresh(std::span<uint8_t> frame) noexcept { return run_records(frame, true); }

Status FrameDecoder::run_records(std::span<uint8_t> frame, bool fresh) noexcept {
  // The running position starts at (0, 0) and lives in the target, which the
  // macroblock decoders read.
  MacroblockTarget target{.frame = {frame, out_width(), out_height(), format},
                          .subsampled = subsampled,
                          .quant_tables = quant_tables,
                          .kernels = kernels,
                          .scale = scale,
                          .full_width = width,
                          .full_height = height};
  uint64_t& mb_col = target.mb_col;
  uint64_t& mb_row = target.mb_row;
  BitReader& reader = stream.reader;
  // On a fresh (unwritten) picture, `drawn` macroblocks have been drawn in raster
  // order from (0, 0), which covers their pixels. The rest of the picture is
  // zeroed when the frame ends, or as soon as a macroblock is drawn elsewhere;
  // from then on the picture is all defined and nothing more is tracked.
  bool tracking = fresh;
  uint64_t drawn = 0;
  if (fresh && scale != 1) {
    // A thumbnail is small: make it black at once rather than track it.
    fill_black(frame, format);
    tracking = false;
  }
  const uint64_t area_size = macroblock_size(subsampled) / scale;
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
    const PixelArea area = macroblock_area(mb_col, mb_row, area_size, target.frame.width, target.frame.height);
    if (!area.empty()) observer->before_draw(area);
  };
  auto draw_dct_record = [&](uint32_t quant_pair) {
    if (sink != nullptr) {
      sink->dct(target, quant_pair, stream);
    } else {
      decompress_dct(target, quant_pair, stream);
    }
  };
  auto draw_vq_record = [&] {
    if (sink != nullptr) {
      sink->vq(target, stream);
    } else {
      vq_decompress(target, stream);
    }
  };
  for (uint64_t i = 0;; ++i) {
    // The code and an explicit position are taken from one copy of the window.
    const uint32_t w = reader.window();
    const auto code = static_cast<BlockCode>(w >> 28);
    switch (code) {
      case BlockCode::DCT:
      case BlockCode::DCT_ALT:
        reader.consume_bits(4);
        before_draw();
        draw_dct_record(quant_pair_of(code));
        break;
      case BlockCode::DCT_AT:
      case BlockCode::DCT_ALT_AT:
        reader.consume_bits(20);
        mb_col = (w >> 20) & 0xFFu;
        mb_row = (w >> 12) & 0xFFu;
        before_draw();
        draw_dct_record(quant_pair_of(code));
        break;
      case BlockCode::VQ_1:
      case BlockCode::VQ_2:
      case BlockCode::VQ_4:
        reader.consume_bits(4);
        stream.cache.index_bits = index_bits_of(code);
        read_vq_header(reader, stream.cache);
        before_draw();
        draw_vq_record();
        break;
      case BlockCode::VQ_1_AT:
      case BlockCode::VQ_2_AT:
      case BlockCode::VQ_4_AT:
        // The position bits precede the header entries in the stream.
        reader.consume_bits(20);
        stream.cache.index_bits = index_bits_of(code);
        read_vq_header(reader, stream.cache);
        mb_col = (w >> 20) & 0xFFu;
        mb_row = (w >> 12) & 0xFFu;
        before_draw();
        draw_vq_record();
        break;
      case BlockCode::FRAME_END:
        if (tracking) zero_from(frame, drawn);
        return {};
      default:
        return {Failure::unknown_block_flag, static_cast<uint32_t>(code)};
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

void decode_dct(const MacroblockTarget& target, uint32_t quant_pair, StreamState& stream, DctMacroblock& out) noexcept {
  const QuantTable& luma_table = target.quant_tables->slot[quant_pair];
  const QuantTable& chroma_table = target.quant_tables->slot[quant_pair + 1];
  // The coefficient decoder writes only the entries the stream codes, already
  // dequantised for the transform; the rest must be zero. Each mode zeroes a
  // size known at compile time (3 or 6 blocks), which compiles to plain stores.
  const size_t luma_blocks = target.subsampled ? 4 : 1;
  if (target.subsampled) {
    std::memset(out.coefficients, 0, sizeof(int32_t) * 6 * 64);
  } else {
    std::memset(out.coefficients, 0, sizeof(int32_t) * 3 * 64);
  }
  std::array<int32_t, 3> predictors = {stream.dc_y, stream.dc_cb, stream.dc_cr};
  if (target.scale == 1) {
    decode_macroblock_dequantised(stream.reader, luma_table, chroma_table, luma_blocks, predictors, out.coefficients);
  } else {
    const ThumbnailNeeds needs = thumbnail_needs(target);
    decode_macroblock_kept(stream.reader, luma_table, chroma_table, luma_blocks, predictors, out.coefficients,
                           needs.luma, needs.chroma);
  }
  stream.dc_y = predictors[0];
  stream.dc_cb = predictors[1];
  stream.dc_cr = predictors[2];
}

void decode_dct(const MacroblockTarget& target, uint32_t quant_pair, StreamState& stream, SparseBlocks& out) noexcept {
  std::array<int32_t, 3> predictors = {stream.dc_y, stream.dc_cb, stream.dc_cr};
  // The lighter half dequantises: in the 8x8 mode a macroblock's three blocks
  // weigh on the stream more than its drawing does, in the 16x16 mode the
  // colour of four times the pixels weighs on the drawing.
  decode_macroblock_sparse(stream.reader, *target.quant_tables, quant_pair, target.subsampled,
                           target.subsampled ? 4 : 1, predictors, out);
  stream.dc_y = predictors[0];
  stream.dc_cb = predictors[1];
  stream.dc_cr = predictors[2];
}

void draw_dct(const MacroblockTarget& target, const SparseBlocks& levels, DctMacroblock& scratch) noexcept {
  const size_t luma_blocks = target.subsampled ? 4 : 1;
  expand_sparse(levels, *target.quant_tables, luma_blocks, scratch.coefficients);
  draw_dct(target, scratch);
  clear_sparse(levels, luma_blocks, scratch.coefficients);
}

void draw_dct(const MacroblockTarget& target, const DctMacroblock& macroblock) noexcept {
  if (target.scale != 1) return draw_dct_scaled(target, macroblock);
  // Every byte that yuv_to_rgb reads is written by the transform: one call for
  // all the macroblock's blocks, in the staging layout's order. Grey reads the
  // luma blocks alone, which come first: the chroma blocks, decoded to keep the
  // stream and the predictors in step, need no transform.
  const size_t luma_blocks = target.subsampled ? 4 : 1;
  const size_t blocks = target.frame.format == PixelFormat::gray ? luma_blocks : luma_blocks + 2;
  alignas(64) YuvMacroblock staging;
  const Kernels& kernels = *target.kernels;
  kernels.idct_blocks(macroblock.coefficients, blocks, staging.data());
  kernels.yuv_to_rgb(staging, target.mb_col, target.mb_row, target.frame, target.subsampled);
}

void decompress_dct(const MacroblockTarget& target, uint32_t quant_pair, StreamState& stream) noexcept {
  DctMacroblock macroblock;
  decode_dct(target, quant_pair, stream, macroblock);
  draw_dct(target, macroblock);
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

namespace {

// A VQ macroblock's pixels, each a copy of one of the converted colours (P
// bytes each, at the start of 4-byte slots). In the 16x16 mode each code
// paints a 2x2 group: pixel (r, c) takes code 8 * (r / 2) + c / 2.
template <size_t P>
void paint_vq(const MacroblockPixels& mb, const std::array<std::array<uint8_t, 4>, 4>& colors,
              const VqMacroblock& macroblock, uint32_t shift) noexcept {
  const uint64_t cols = mb.area.cols;
  const uint64_t rows = mb.area.rows;
  const uint64_t stride = mb.stride;
  uint8_t* origin = mb.origin;
  if (macroblock.index_bits == 0) {
    uint8_t line[16 * P];
    for (size_t c = 0; c < 16; ++c) std::memcpy(line + P * c, colors[0].data(), P);
    if (cols == 16) {
      for (uint64_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, 16 * P);
    } else if (cols == 8) {
      for (uint64_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, 8 * P);
    } else {
      for (uint64_t r = 0; r < rows; ++r) std::memcpy(origin + r * stride, line, cols * P);
    }
    return;
  }
  for (uint64_t r = 0; r < rows; ++r) {
    const uint8_t* row_codes = macroblock.codes.data() + 8 * (r >> shift);
    uint8_t* out = origin + r * stride;
    if constexpr (P == 3) {
      // Four bytes a pixel, each store's spare byte overwritten by the next
      // pixel; the row's last pixel gets exactly three.
      for (uint64_t c = 0; c + 1 < cols; ++c, out += 3) std::memcpy(out, colors[row_codes[c >> shift]].data(), 4);
      std::memcpy(out, colors[row_codes[(cols - 1) >> shift]].data(), 3);
    } else {
      for (uint64_t c = 0; c < cols; ++c, out += P) std::memcpy(out, colors[row_codes[c >> shift]].data(), P);
    }
  }
}

}  // namespace

void draw_vq(const MacroblockTarget& target, const VqMacroblock& macroblock) noexcept {
  if (target.scale != 1) return draw_vq_scaled(target, macroblock);
  // Every pixel of the macroblock has one of at most four colours, so each is
  // converted once and the pixels are copies of it: the same bytes as
  // converting the filled staging area pixel by pixel.
  const PixelFormat format = target.frame.format;
  std::array<std::array<uint8_t, 4>, 4> colors{};  // a pixel and any spare bytes, for 4-byte stores
  for (uint32_t k = 0; k < (1u << macroblock.index_bits); ++k) {
    const uint32_t c = macroblock.colors[k];
    store_pixel_as(format, colors[k].data(), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                   static_cast<uint8_t>(c));
  }

  // Only the pixels inside the picture.
  const MacroblockPixels mb = target.frame.macroblock(target.mb_col, target.mb_row, target.subsampled);
  if (mb.area.empty()) return;
  const uint32_t shift = target.subsampled ? 1 : 0;
  switch (bytes_per_pixel(format)) {
    case 1:
      return paint_vq<1>(mb, colors, macroblock, shift);
    case 3:
      return paint_vq<3>(mb, colors, macroblock, shift);
    default:
      return paint_vq<4>(mb, colors, macroblock, shift);
  }
}

void vq_decompress(const MacroblockTarget& target, StreamState& stream) noexcept {
  VqMacroblock macroblock;
  decode_vq(stream, macroblock);
  draw_vq(target, macroblock);
}

}  // namespace ast2100

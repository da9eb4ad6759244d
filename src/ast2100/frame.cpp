// Frame set-up, the record reader, and the drawing of its macroblocks on the
// calling thread (or their hand-over to a sink).
#include "frame.hpp"

#include <cstdio>

#include "color.hpp"

namespace ast2100 {
namespace {

constexpr uint64_t kMinBlockLimit = 4096;
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
    case Failure::invalid_scale:
      n = std::snprintf(buf.data(), buf.size(), "invalid scale %u", static_cast<unsigned>(value));
      break;
  }
  return n > 0 ? static_cast<size_t>(n) : 0;
}

Status FrameDecoder::setup(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height,
                           uint64_t max_frame_bytes, FrameDecoder& out, PixelFormat format, uint32_t scale) noexcept {
  // A thumbnail's macroblock may cover part of a 4:2:0 chroma sample: i420
  // thumbnails are derived from an i444 one (screen.hpp), never drawn.
  if (!valid_scale(scale) || (format == PixelFormat::i420 && scale != 1)) return {Failure::invalid_scale, scale};
  if (codec_data.size() < kHeaderBytes) return {Failure::codec_data_too_short};
  // Bytes 0 and 1 of the header are not interpreted.
  const uint32_t mode = static_cast<uint32_t>(codec_data[2]) << 8 | codec_data[3];
  bool subsampled = false;
  if (mode == kMode422) {
    subsampled = true;
  } else if (mode != kMode444) {
    return {Failure::unknown_mode, mode};
  }

  const std::optional<uint64_t> bytes = drawn_picture_bytes(width, height, format, scale, max_frame_bytes);
  if (!bytes) return {Failure::capacity_overflow};
  if (codec_data.size() < kMinCodecData) return {Failure::bitstream_too_short};

  const uint64_t n = macroblock_size(subsampled);
  out = FrameDecoder{};
  out.width = width;
  out.height = height;
  out.subsampled = subsampled;
  out.format = format;
  out.scale_ = scale;
  out.picture_bytes_ = *bytes;
  out.mb_cols = ceil_div(width, n);
  out.mb_rows = ceil_div(height, n);
  out.kernels = &best_kernels();
  out.stream.reader = BitReader::make(codec_data.data(), codec_data.size(), kHeaderBytes);
  // One record per whole 8x8 area, at least 4096, and never fewer than the
  // frame's own macroblocks: a picture whose sides are not multiples of the
  // macroblock size has more macroblocks than whole 8x8 areas. The product
  // cannot wrap: both factors are about a side / 8 and pixels < 2^62 (the
  // full picture's byte size fits in 63 bits, whatever the scale).
  const uint64_t pixels = width * height;
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
  for (uint64_t y = y0; y < y1; ++y) {
    fill_black(frame.subspan(in_memory(y * stride + x0 * pixel), in_memory((width - x0) * pixel)), format);
  }
  fill_black(frame.subspan(in_memory(y1 * stride)), format);
}

FrameTarget FrameDecoder::target(std::span<uint8_t> frame) const noexcept {
  return frame_target(frame, format, width, height, subsampled, scale_, *kernels);
}

Status FrameDecoder::run(std::span<uint8_t> frame) noexcept { return run_records(frame, false); }

Status FrameDecoder::run_fresh(std::span<uint8_t> frame) noexcept { return run_records(frame, true); }

namespace {

// The drawing on the calling thread: each macroblock the record reader hands
// over is drawn with the frame's drawing, or passed on to the decoder's sink,
// after the observer has heard of its area. On a fresh (unwritten) picture,
// `drawn` macroblocks have been drawn in raster order from (0, 0), which covers
// their pixels; the rest of the picture is zeroed when the frame ends, or as
// soon as a macroblock is drawn elsewhere, and from then on the picture is all
// defined and nothing more is tracked.
class SerialDrawing final : public MacroblockSink {
 public:
  SerialDrawing(const FrameDecoder& decoder, std::span<uint8_t> frame, bool fresh) noexcept
      : decoder_(decoder), frame_(frame), tracking_(fresh) {}

  void dct(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair,
           StreamState& stream) noexcept override {
    before_draw(target, at);
    if (decoder_.sink != nullptr) return decoder_.sink->dct(target, at, quant_pair, stream);
    target.drawing->decompress_dct(target, at, quant_pair, stream);
  }

  void vq(const FrameTarget& target, MacroblockPosition at, StreamState& stream) noexcept override {
    before_draw(target, at);
    if (decoder_.sink != nullptr) return decoder_.sink->vq(target, at, stream);
    VqMacroblock macroblock;
    decode_vq(stream, macroblock);
    target.drawing->draw_vq(target, at, macroblock);
  }

  // Once the frame has ended: what a fresh picture has not had drawn is black.
  void finish() noexcept {
    if (tracking_) decoder_.zero_from(frame_, drawn_);
  }

 private:
  void before_draw(const FrameTarget& target, MacroblockPosition at) noexcept {
    if (tracking_) {
      if (at.col < decoder_.mb_cols && at.row < decoder_.mb_rows && at.row * decoder_.mb_cols + at.col == drawn_) {
        ++drawn_;
      } else {
        decoder_.zero_from(frame_, drawn_);
        tracking_ = false;
      }
    }
    if (decoder_.observer == nullptr) return;
    const PixelArea area = target.area(at);
    if (!area.empty()) decoder_.observer->before_draw(area);
  }

  const FrameDecoder& decoder_;
  std::span<uint8_t> frame_;
  bool tracking_;
  uint64_t drawn_ = 0;
};

}  // namespace

template <class Sink>
Status FrameDecoder::read_records(const FrameTarget& target, Sink& to) noexcept {
  // The running position starts at (0, 0).
  MacroblockPosition at;
  BitReader& reader = stream.reader;
  for (uint64_t i = 0;; ++i) {
    // The code and an explicit position are taken from one copy of the window.
    const uint32_t w = reader.window();
    const auto code = static_cast<BlockCode>(w >> 28);
    switch (code) {
      case BlockCode::DCT:
      case BlockCode::DCT_ALT:
        reader.consume_bits(4);
        to.dct(target, at, quant_pair_of(code), stream);
        break;
      case BlockCode::DCT_AT:
      case BlockCode::DCT_ALT_AT:
        reader.consume_bits(20);
        at = {(w >> 20) & 0xFFu, (w >> 12) & 0xFFu};
        to.dct(target, at, quant_pair_of(code), stream);
        break;
      case BlockCode::VQ_1:
      case BlockCode::VQ_2:
      case BlockCode::VQ_4:
        reader.consume_bits(4);
        stream.cache.index_bits = index_bits_of(code);
        read_vq_header(reader, stream.cache);
        to.vq(target, at, stream);
        break;
      case BlockCode::VQ_1_AT:
      case BlockCode::VQ_2_AT:
      case BlockCode::VQ_4_AT:
        // The position bits precede the header entries in the stream.
        reader.consume_bits(20);
        stream.cache.index_bits = index_bits_of(code);
        read_vq_header(reader, stream.cache);
        at = {(w >> 20) & 0xFFu, (w >> 12) & 0xFFu};
        to.vq(target, at, stream);
        break;
      case BlockCode::FRAME_END:
        return {};
      default:
        return {Failure::unknown_block_flag, static_cast<uint32_t>(code)};
    }

    // Advance in raster order; past the last macroblock the position wraps to
    // (0, 0). From an explicit column beyond the row, the next row begins.
    if (++at.col >= mb_cols) {
      at.col = 0;
      if (++at.row >= mb_rows) at.row = 0;
    }
    if (i == block_limit) return {Failure::block_limit};
  }
}

Status FrameDecoder::run_records(std::span<uint8_t> frame, bool fresh) noexcept {
  const FrameTarget frame_target = target(frame);
  if (fresh && !frame_target.drawing->full_size) {
    // A thumbnail is small: make it black at once rather than track it.
    fill_black(frame, format);
    fresh = false;
  }
  SerialDrawing drawing(*this, frame, fresh);
  const Status status = read_records(frame_target, drawing);
  if (status.ok()) drawing.finish();
  return status;
}

}  // namespace ast2100

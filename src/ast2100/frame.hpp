// One frame: the header, the per-call decoder state and the record loop, which
// reads each record's code and position and hands the macroblock on, to the
// frame's drawing (macroblock.hpp) or to a sink that draws it later.
//
// A frame is a 4-byte header (bytes 2..3: mode 422 or 444, big-endian) and one
// bit stream of records. Each record opens with a 4-bit block code: a DCT
// macroblock, a VQ macroblock painted from a four-colour cache, or FRAME_END.
// Codes with bit 3 set (but FRAME_END) carry an explicit 8-bit column and row;
// the others go to a running position that advances in raster order and wraps.
// DC predictors and the colour cache live for the whole frame.
//
// Use: FrameDecoder::setup() runs every check that can refuse the frame before
// any picture memory is needed; the caller then provides a picture of
// frame_bytes() bytes and calls run() (on a zero-filled or kept picture) or
// run_fresh() (on one not yet written), once per set-up. The core allocates
// nothing.
#pragma once

#include <cstdint>
#include <span>

#include "macroblock.hpp"
#include "picture.hpp"

namespace ast2100 {

enum class BlockCode : uint32_t {
  DCT = 0,
  DCT_ALT = 4,
  VQ_1 = 5,
  VQ_2 = 6,
  VQ_4 = 7,
  DCT_AT = 8,
  FRAME_END = 9,
  DCT_ALT_AT = 12,
  VQ_1_AT = 13,
  VQ_2_AT = 14,
  VQ_4_AT = 15,
};

inline constexpr uint32_t kMode422 = 422;  // 16x16 macroblocks, 4:2:0
inline constexpr uint32_t kMode444 = 444;  // 8x8 macroblocks, 4:4:4
// The header: bytes 0 and 1 are not interpreted, bytes 2 and 3 hold the mode.
inline constexpr size_t kHeaderBytes = 4;

// The outcome of a set-up or a decode. Failures of the format carry a fixed
// message; capacity_overflow is an internal fault, not a format failure.
enum class Failure : uint8_t {
  none,
  codec_data_too_short,  // "codec_data too short (< 4 bytes)"
  unknown_mode,          // "unknown mode N"
  capacity_overflow,     // the picture's byte size cannot be represented
  bitstream_too_short,   // "codec_data too short for bitstream init"
  unknown_block_flag,    // "unknown block flag: N"
  block_limit,           // "exceeded block limit without FRAME_END marker"
  invalid_scale,         // "invalid scale N": the caller's fault, not the frame's; decode_frame draws at scale 1
};

struct Status {
  Failure failure = Failure::none;
  uint32_t value = 0;  // the mode, block code or scale that a message names

  bool ok() const noexcept { return failure == Failure::none; }
  bool internal_fault() const noexcept {
    return failure == Failure::capacity_overflow || failure == Failure::invalid_scale;
  }
  // Writes the message, NUL-terminated, into buf; returns its length.
  size_t message(std::span<char, 64> buf) const noexcept;
};

// Told about each macroblock just before it is drawn, with the part of the
// picture it can write (never empty). A caller that draws onto a picture it
// keeps can journal that area first, to undo a frame that fails later.
class DrawObserver {
 public:
  virtual void before_draw(const PixelArea& area) noexcept = 0;

 protected:
  ~DrawObserver() = default;
};

// Takes each macroblock from the record loop once its code and position are
// read: decodes it from the stream and draws it, now or later (in stream
// order), with the frame's drawing. The target is the same for all of a
// frame's macroblocks. Without a sink the loop decodes and draws each
// macroblock itself.
class MacroblockSink {
 public:
  virtual void dct(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair,
                   StreamState& stream) noexcept = 0;
  virtual void vq(const FrameTarget& target, MacroblockPosition at, StreamState& stream) noexcept = 0;

 protected:
  ~MacroblockSink() = default;
};

class FrameDecoder {
 public:
  // The set-up checks, in order: the scale (1, or 2, 4 or 8 to draw a
  // thumbnail, in any format but i420; any other is invalid_scale, an internal fault that
  // decode_frame, which draws at scale 1, never meets), header length, mode,
  // the byte size of the picture drawn in `format` against max_frame_bytes (at
  // most 2^63 - 1; the full picture's must fit in 2^63 - 1 too), and the bit
  // reader's 12 bytes. At a scale the macroblock grid and the block limit stay
  // the full picture's; the picture run() draws into and the areas the
  // observer hears are in thumbnail pixels.
  static Status setup(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height, uint64_t max_frame_bytes,
                      FrameDecoder& out, PixelFormat format = PixelFormat::rgb, uint32_t scale = 1) noexcept;

  // The byte size of the picture drawn (see drawn_picture_bytes), known after
  // a successful set-up.
  uint64_t frame_bytes() const noexcept { return picture_bytes; }
  // The size of the picture drawn: the frame's, or its thumbnail's at a scale.
  uint64_t out_width() const noexcept { return ceil_div(width, scale); }
  uint64_t out_height() const noexcept { return ceil_div(height, scale); }

  // Decodes the records into `frame` (frame_bytes() long) until FRAME_END, an
  // unknown code or the block limit. Pixels that no macroblock draws keep what
  // `frame` held: pass a zero-filled picture for a frame of its own.
  Status run(std::span<uint8_t> frame) noexcept;

  // The same on a picture (of a packed format) whose bytes are not yet defined: on success every
  // pixel that no macroblock drew is black (zero, padding bytes 255), as if `frame` had been zero-filled,
  // but a frame that draws its macroblocks in raster order writes each byte
  // once. On failure the contents are undefined.
  Status run_fresh(std::span<uint8_t> frame) noexcept;

  // Whether codec_data of this size has bits enough to draw every macroblock;
  // when not, a zero-filled picture (whose zero pages cost nothing until
  // touched) and run() suit a sparse frame better than run_fresh().
  bool may_draw_every_macroblock(size_t codec_data_size) const noexcept;

  uint64_t width = 0;
  uint64_t height = 0;
  bool subsampled = false;
  PixelFormat format = PixelFormat::rgb;  // of the picture run() draws on
  uint32_t scale = 1;                     // of the picture run() draws on, as set up
  uint64_t picture_bytes = 0;             // of the picture run() draws on
  uint64_t mb_cols = 0;
  uint64_t mb_rows = 0;
  const Kernels* kernels = nullptr;  // scalar or SIMD; the output is the same
  DrawObserver* observer = nullptr;  // optional
  MacroblockSink* sink = nullptr;    // optional
  StreamState stream;
  uint64_t block_limit = 0;

  // Where run() draws the frame's macroblocks into `frame`, and with what.
  FrameTarget target(std::span<uint8_t> frame) const noexcept;
  // Makes black the pixels of every macroblock from raster index `first` on.
  void zero_from(std::span<uint8_t> frame, uint64_t first) const noexcept;

 private:
  // The record reader: hands each macroblock to `to` (a MacroblockSink, or
  // anything with its two functions) until FRAME_END, an unknown code or the
  // block limit.
  template <class Sink>
  Status read_records(const FrameTarget& target, Sink& to) noexcept;
  Status run_records(std::span<uint8_t> frame, bool fresh) noexcept;
};

}  // namespace ast2100

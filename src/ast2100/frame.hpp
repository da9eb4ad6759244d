// One frame: the header, the per-call decoder state and the record loop, with
// the two macroblock decoders it drives (DCT and VQ).
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

#include <array>
#include <cstdint>
#include <span>

#include "bitreader.hpp"
#include "kernels.hpp"
#include "picture.hpp"
#include "quant.hpp"

namespace ast2100 {

struct SparseBlocks;

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
};

struct Status {
  Failure failure = Failure::none;
  uint32_t value = 0;  // the mode or block code that a message names

  bool ok() const noexcept { return failure == Failure::none; }
  bool internal_fault() const noexcept { return failure == Failure::capacity_overflow; }
  // Writes the message, NUL-terminated, into buf; returns its length.
  size_t message(std::span<char, 64> buf) const noexcept;
};

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

// Where a macroblock is drawn and with what: the picture, the mode, the mode's
// quantisation tables, the kernels, and the macroblock's position. The
// macroblock decoders read it (and write the picture's pixels). With a scale
// above 1 the picture is a thumbnail of the full_width x full_height picture
// (see thumbnail.hpp); positions stay those of the full picture's macroblocks.
struct MacroblockTarget {
  FrameView frame;
  bool subsampled = false;
  const QuantTables* quant_tables = nullptr;
  const Kernels* kernels = nullptr;
  uint64_t mb_col = 0;
  uint64_t mb_row = 0;
  uint32_t scale = 1;
  uint64_t full_width = 0;
  uint64_t full_height = 0;
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
// order). Within a frame the target differs from call to call only in its
// position. Without a sink the loop decodes and draws each macroblock itself.
class MacroblockSink {
 public:
  virtual void dct(const MacroblockTarget& target, uint32_t quant_pair, StreamState& stream) noexcept = 0;
  virtual void vq(const MacroblockTarget& target, StreamState& stream) noexcept = 0;

 protected:
  ~MacroblockSink() = default;
};

class FrameDecoder {
 public:
  // The set-up checks, in order: header length, mode, the picture's byte size
  // in `format` against max_frame_bytes (at most 2^63 - 1), and the bit
  // reader's 12 bytes.
  static Status setup(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height, uint64_t max_frame_bytes,
                      FrameDecoder& out, PixelFormat format = PixelFormat::rgb) noexcept;

  // The picture's byte size (width * height, or the thumbnail's at a scale,
  // times the format's pixel size), known to fit after a successful set-up.
  uint64_t frame_bytes() const noexcept { return out_width() * out_height() * bytes_per_pixel(format); }
  // The size of the picture drawn: the frame's, or its thumbnail's at a scale.
  uint64_t out_width() const noexcept { return ceil_div(width, scale); }
  uint64_t out_height() const noexcept { return ceil_div(height, scale); }

  // Decodes the records into `frame` (frame_bytes() long) until FRAME_END, an
  // unknown code or the block limit. Pixels that no macroblock draws keep what
  // `frame` held: pass a zero-filled picture for a frame of its own.
  Status run(std::span<uint8_t> frame) noexcept;

  // The same on a picture whose bytes are not yet defined: on success every
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
  uint64_t mb_cols = 0;
  uint64_t mb_rows = 0;
  const QuantTables* quant_tables = nullptr;  // the mode's
  const Kernels* kernels = nullptr;           // scalar or SIMD; the output is the same
  DrawObserver* observer = nullptr;           // optional
  MacroblockSink* sink = nullptr;             // optional
  StreamState stream;
  uint64_t block_limit = 0;
  // 1, or 2, 4 or 8 to draw a thumbnail (set after set-up): the macroblock grid
  // and the block limit stay the full picture's; the picture run() draws into
  // and the areas the observer hears are in thumbnail pixels.
  uint32_t scale = 1;

 private:
  Status run_records(std::span<uint8_t> frame, bool fresh) noexcept;
  void zero_from(std::span<uint8_t> frame, uint64_t first) const noexcept;
};

// A DCT macroblock as the stream codes it, entropy-decoded and dequantised for
// the transform: 6 blocks (Y0..Y3, Cb, Cr) in the 16x16 mode, 3 (Y, Cb, Cr) in
// the 8x8 mode, 64 coefficients each in natural (not zigzag) order. Only the
// mode's blocks are written.
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

// The two halves of each macroblock decoder. decode_* reads the stream (the
// record's data after its code and position) and updates the stream state;
// draw_* writes the macroblock's pixels at the target's position and reads
// nothing but its argument and the target. Between the two a macroblock is
// plain data, so the halves may run at different times or on different threads,
// as long as each kind of half runs in stream order.
void decode_dct(const MacroblockTarget& target, uint32_t quant_pair, StreamState& stream, DctMacroblock& out) noexcept;
void draw_dct(const MacroblockTarget& target, const DctMacroblock& macroblock) noexcept;
// The VQ record's colour header must have been read into stream.cache already.
void decode_vq(StreamState& stream, VqMacroblock& out) noexcept;
void draw_vq(const MacroblockTarget& target, const VqMacroblock& macroblock) noexcept;

// The same halves with the macroblock's coefficients as lists in between (see
// SparseBlocks in huffman.hpp), which are smaller to hand from one thread to
// another and quicker to read from the stream; the drawing half expands them
// into `scratch`, which must be all zero and is left so. The picture is the
// one decode_dct and draw_dct draw. For the full-size picture only (scale 1).
void decode_dct(const MacroblockTarget& target, uint32_t quant_pair, StreamState& stream, SparseBlocks& out) noexcept;
void draw_dct(const MacroblockTarget& target, const SparseBlocks& levels, DctMacroblock& scratch) noexcept;

// One DCT macroblock at the target's position, with the quantisation pair whose
// luminance slot is quant_pair (kPrimaryPair or kAlternativePair): decode_dct,
// then draw_dct. Moves the reader on and updates the DC predictors.
void decompress_dct(const MacroblockTarget& target, uint32_t quant_pair, StreamState& stream) noexcept;

// One VQ macroblock at the target's position: 64 pixel codes of
// stream.cache.index_bits bits each (none for a one-colour macroblock), painted
// from the cache. In the 16x16 mode each code paints a 2x2 group of pixels.
// Moves the reader on.
void vq_decompress(const MacroblockTarget& target, StreamState& stream) noexcept;

}  // namespace ast2100

// libFuzzer target over the decoder core: set-up and record loop of one frame.
//
// Input layout (the sizes and the mode come first, so that small and odd
// picture sizes are explored along with the stream):
//
//   byte 0       control: bits 0..1 the mode (0: 444, 1: 422, 2 and 3: keep the
//                header's own bytes 2..3, so that unknown modes are reached);
//                bit 2: 64-bit sizes; bit 3: decode a second time with the scalar
//                kernels and compare (where the CPU runs SIMD ones; pictures of up to
//                kMaxComparedPixels); bits 4..5: the largest picture of the normal
//                layout (0 and 1: kSmallPixels, 2: kMaxComparedPixels, 3: kMaxPixels);
//                bits 6..7: 3, with 0xFF in the header's first byte: decode
//                codec_data as given; else the frame ends where its data ends
//                (end_after_data)
//   normal:      bytes 1..2 width, 3..4 height (little-endian 16-bit), then codec_data;
//                a picture above its size class is halved along its longer side
//                until it fits
//   64-bit:      bytes 1..8 width, 9..16 height (little-endian), then codec_data;
//                only pictures of at most kMaxPixels pixels are decoded, the others
//                go through the set-up alone
//   option byte: codec_data's byte 1, which the decoder never reads (see
//                kOptionBlocks and the others): the coefficient lane, which kernels
//                decode first, the screen's mode, and a second screen's pixel
//                format and scale (the scale from byte 0, which is not read either)
//
// Why the size classes and the end: past its end a stream reads as zero bits,
// which decode as DCT macroblocks until the block limit (at least 4096 records,
// each decoded several times here), and a megapixel picture costs megabytes of
// zero-filling per decode. Either makes one input take tens of milliseconds.
// Most inputs therefore go onto pictures of a few macroblocks and end with
// FRAME_END right after their data; the large pictures and the run into zero
// bits stay in reach through the control bits.
//
// What must hold for every input, checked here (a violation aborts):
//   - the set-up's outcome is the one the header, the length and the size
//     imply, checked in this order: header length, mode, picture size, then
//     the bit reader's bytes;
//   - after a successful set-up the picture is exactly width * height * 3 bytes
//     and the macroblock counts are the ceilings of width and height / 8 or 16;
//   - decoding ends in success or in one of the two record-loop failures, with
//     a code that really is unknown; every failure message is one of the five
//     fixed texts (or "capacity overflow" for an unrepresentable picture);
//   - the SIMD kernels give the scalar kernels' outcome and picture, byte for byte;
//   - the two coefficient decoders (levels, and dequantised for the transform)
//     read the same bits and agree, every transform of a block agrees, and a
//     block narrowed to 16 bits (where it fits) and widened is unchanged;
//   - the set-up takes a picture of exactly the caller's byte bound and refuses
//     one byte less; a Screen refuses what the set-up refuses, and a Screen of
//     the other mode refuses the frame, leaving its picture black;
//   - a frame that ends having drawn every macroblock had room for them by
//     may_draw_every_macroblock's reckoning;
//   - on pictures of up to kMaxComparedPixels: decoding onto an undefined picture
//     (run_fresh, as decode_frame does for frames that may cover the picture)
//     ends the same way with the same pixels; and a Screen that shows a picture
//     of its own (a valid frame over every macroblock) shows, after the fuzzed
//     frame, the frame's own pixels where it drew and its picture elsewhere,
//     with rectangles that cover exactly the drawn macroblocks, or, when the
//     frame fails, its picture as it was, byte for byte; restore() puts a
//     saved picture back and refuses one of another size.
// The sanitizers check the rest: the picture and codec_data are heap blocks of
// their exact sizes, so a read or write past either end is reported.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <span>
#include <string>
#include <vector>

#include "ast2100/frame.hpp"
#include "ast2100/huffman.hpp"
#include "ast2100/idct.hpp"
#include "ast2100/kernels.hpp"
#include "ast2100/picture.hpp"
#include "ast2100/pipeline.hpp"
#include "ast2100/screen.hpp"
#include "ast2100/simd_avx2.hpp"
#include "record_writer.hpp"

namespace {

constexpr uint64_t kMaxPixels = uint64_t{1} << 20;  // a megapixel: 3 MiB of picture
// The kernels work per macroblock, so comparing them needs no large picture, and
// a second decode of one costs the most of all inputs.
constexpr uint64_t kMaxComparedPixels = uint64_t{1} << 16;
constexpr uint64_t kSmallPixels = uint64_t{1} << 12;  // 64 macroblocks of 8x8
constexpr uint64_t kMaxFrameBytes = ast2100::kMaxPictureBytes;

[[noreturn]] void violated(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz invariant violated: %s (%s)\n", what, detail.c_str());
  std::abort();
}

#define REQUIRE(cond, detail)               \
  do {                                      \
    if (!(cond)) violated(#cond, (detail)); \
  } while (0)

uint64_t read_le(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

using Failure = ast2100::Failure;

std::string message_of(const ast2100::Status& status) {
  char buf[64];
  std::memset(buf, 0x55, sizeof buf);
  const size_t n = status.message(buf);
  REQUIRE(n < sizeof buf && buf[n] == '\0' && std::strlen(buf) == n, "message length " + std::to_string(n));
  return std::string(buf, n);
}

// The texts a failure may carry, spelled out independently of the decoder.
bool is_known_message(const std::string& m) {
  static const char* const fixed[] = {"codec_data too short (< 4 bytes)", "codec_data too short for bitstream init",
                                      "exceeded block limit without FRAME_END marker", "capacity overflow"};
  for (const char* f : fixed) {
    if (m == f) return true;
  }
  for (const char* prefix : {"unknown mode ", "unknown block flag: "}) {
    const size_t p = std::strlen(prefix);
    if (m.size() > p && m.compare(0, p, prefix) == 0) {
      const std::string digits = m.substr(p);
      if (digits.size() > 5 || (digits.size() > 1 && digits[0] == '0')) return false;
      for (char c : digits) {
        if (c < '0' || c > '9') return false;
      }
      return true;
    }
  }
  return false;
}

// 1, 2, 3, 10 and 11 are the codes that open no record.
bool is_unknown_code(uint32_t code) { return code == 1 || code == 2 || code == 3 || code == 10 || code == 11; }

uint64_t ceil_div(uint64_t size, unsigned n) { return size == 0 ? 0 : (size - 1) / n + 1; }

// Counts the macroblocks a decode draws (each one that reaches the picture)
// and, given a mask of one byte a pixel, marks the pixels they cover.
class DrawCounter final : public ast2100::DrawObserver {
 public:
  void before_draw(const ast2100::PixelArea& a) noexcept override {
    ++drawn;
    if (mask == nullptr) return;
    // The area lies in the picture, whose pixels the mask holds.
    for (uint64_t y = a.y; y < a.y + a.rows; ++y) {
      std::fill_n(mask->begin() + static_cast<std::ptrdiff_t>(y * width + a.x), a.cols, uint8_t{1});
    }
  }
  uint64_t drawn = 0;
  std::vector<uint8_t>* mask = nullptr;
  uint64_t width = 0;
};

// What the inputs did, printed when a fuzzing process exits: how many decoded
// (set-up passed, picture small enough), drew at least one macroblock, or ran
// on to the block limit.
struct Tally {
  uint64_t inputs = 0, decoded = 0, drew = 0, block_limit = 0;
#ifdef QUORVEL_FUZZ_TALLY
  ~Tally() {
    if (inputs == 0) return;  // the parent of -fork workers runs none itself
    auto share = [this](uint64_t n) { return 100.0 * static_cast<double>(n) / static_cast<double>(inputs); };
    std::fprintf(stderr,
                 "fuzz_frame tally: %llu inputs, %.1f%% decoded, %.1f%% drew at least one macroblock, "
                 "%.1f%% reached the block limit\n",
                 static_cast<unsigned long long>(inputs), share(decoded), share(drew), share(block_limit));
  }
#endif
};
Tally tally;

// A valid frame that draws every macroblock of a width x height picture (up to
// the block limit) in raster order, each one different: two-colour VQ
// macroblocks whose pattern and colours change from one to the next, and
// every fifth a DCT macroblock with a DC value and two AC levels of its own.
// Built once per mode and count, for the inputs that follow.
const std::vector<uint8_t>& base_frame(bool subsampled, uint64_t count) {
  static std::map<std::pair<bool, uint64_t>, std::vector<uint8_t>> built;
  if (built.size() > 256) built.clear();  // a few megabytes at most
  std::vector<uint8_t>& frame = built[{subsampled, count}];
  if (!frame.empty()) return frame;
  records::Frame f;
  f.subsampled = subsampled;
  uint32_t h = 0x2545F491u;
  for (uint64_t i = 0; i < count; ++i) {
    h = h * 1664525u + 1013904223u;
    records::Record r;
    if (i % 5 == 4) {
      r.code = 0;  // DCT: DC differences of +-size bits, and two AC levels
      for (unsigned b = 0; b < records::blocks_per_macroblock(subsampled); ++b) {
        records::Block block;
        block.dc_size = static_cast<uint8_t>(3 + (h >> (b + 3)) % 5);
        block.dc_bits = static_cast<uint16_t>(h >> (8 + b));
        block.ac = {{0x02, static_cast<uint16_t>(h >> 20)}, {0x11, 1}, {0x00, 0}};
        r.blocks.push_back(block);
      }
    } else {
      r.code = 6;  // VQ_2
      r.entries = {{true, 0, h & 0xFFFFFF}, {true, 1, (h >> 8) ^ 0x5A5A5A}};
      for (unsigned p = 0; p < 64; ++p) r.pixels.push_back(static_cast<uint8_t>(((p >> (i % 3)) ^ (h >> (p % 7))) & 1));
    }
    f.records.push_back(std::move(r));
  }
  f.records.push_back(records::marker(records::kFrameEnd));
  const std::vector<uint8_t> stream = records::write_stream(f);
  frame = {0, 0, 1, subsampled ? uint8_t{0xA6} : uint8_t{0xBC}};
  frame.insert(frame.end(), stream.begin(), stream.end());
  frame.resize(std::max<size_t>(frame.size(), 12));
  return frame;
}

// The option byte: the header's byte 1, which the decoder never reads.
//   bit 0: the coefficient lane (check_blocks) as well
//   bit 1: decode with the scalar kernels first, compare with the SIMD ones
//   bit 2: the screen takes only the frame's mode (else either mode)
//   bit 3: with bit 2 clear, a screen of the other mode refuses the frame too
//   bits 4..6: the pixel format of the second screen (the PixelFormat's value;
//              7: RGB)
//   bit 7: a second screen, in that format, at the scale that bits 0..1 of
//          the header's byte 0 give (1, 2, 4 or 8), drawing on the threads that
//          bits 2..3 of that byte give (automatic, one, two, automatic)
constexpr uint8_t kOptionBlocks = 1, kOptionScalarFirst = 2, kOptionScreenMode = 4, kOptionOtherMode = 8,
                  kOptionVariant = 0x80;
constexpr unsigned kOptionFormatShift = 4;

// The coefficient lane: the frame's leading DCT records decoded again block by
// block, each block twice, as levels and dequantised for the transform. The two
// decoders read the same bits and agree entry by entry; the transform of the
// levels with their table equals the transform of the dequantised block, in
// every kernel set; where the SIMD transform takes its 16-bit path for a block,
// that path alone gives the same bytes. The lane stops at the first record that
// is not a DCT macroblock, or where only zero bits are left.
void check_blocks(std::span<const uint8_t> codec_data) {
  // Any length: the reader takes missing bytes as zero, even the header's.
  ast2100::BitReader reader = ast2100::BitReader::make(codec_data.data(), codec_data.size(), 4);
  const bool subsampled = codec_data.size() >= 4 && codec_data[2] * 256u + codec_data[3] == ast2100::kMode422;
  const ast2100::QuantTables& tables = subsampled ? ast2100::kQuantTables422 : ast2100::kQuantTables444;
  const unsigned luma_blocks = subsampled ? 4 : 1;
  const ast2100::Kernels* simd = ast2100::avx2_kernels();
  const ast2100::HuffmanTables& huffman = ast2100::kHuffmanTables;
  int32_t predictors[3] = {0, 0, 0};
  for (unsigned record = 0; record < 8; ++record) {
    if (reader.pos() == codec_data.size() && reader.window() == 0) return;  // only zero bits left
    const uint32_t code = reader.window() >> 28;
    if (code != 0 && code != 4 && code != 8 && code != 12) return;
    reader.consume_bits(code >= 8 ? 20 : 4);
    const uint32_t pair = (code & 4) != 0 ? ast2100::kAlternativePair : ast2100::kPrimaryPair;
    for (unsigned b = 0; b < luma_blocks + 2; ++b) {
      const unsigned component = b < luma_blocks ? 0 : b - luma_blocks + 1;
      const ast2100::HuffTable& dc = component == 0 ? huffman.luma_dc : huffman.chroma_dc;
      const ast2100::HuffTable& ac = component == 0 ? huffman.luma_ac : huffman.chroma_ac;
      const ast2100::QuantTable& quant = tables.slot[pair + (component == 0 ? 0 : 1)];
      alignas(64) int32_t levels[64] = {};
      alignas(64) int32_t dequantised[64] = {};
      ast2100::BitReader as_levels = reader;
      auto where = [&] { return "record " + std::to_string(record) + ", block " + std::to_string(b); };
      const int32_t p1 = ast2100::decode_block(as_levels, dc, ac, predictors[component], levels, 0);
      const int32_t p2 = ast2100::decode_block_dequantised(reader, dc, ac, predictors[component], quant, dequantised);
      REQUIRE(p1 == p2 && as_levels.pos() == reader.pos() && as_levels.reserve_bits() == reader.reserve_bits() &&
                  as_levels.window() == reader.window(),
              "the two coefficient decoders part, " + where());
      predictors[component] = p1;
      for (size_t k = 0; k < 64; ++k) {
        const auto expected = static_cast<int32_t>(
            static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(levels[k]) * quant[k]) >> 16));
        REQUIRE(dequantised[k] == expected, where() + ", entry " + std::to_string(k));
      }
      // As the two-thread screen hands blocks to its worker: 16 bits where every
      // entry fits, the same with and without SIMD, and back unchanged.
      const bool fits = std::all_of(dequantised, dequantised + 64, [](int32_t v) { return v == int16_t(v); });
      alignas(64) int16_t narrow[2][64];
      REQUIRE(ast2100::narrow_coefficients(dequantised, 64, narrow[0], false) == fits &&
                  ast2100::narrow_coefficients(dequantised, 64, narrow[1], true) == fits,
              "a block said to fit 16 bits or not wrongly, " + where());
      if (fits) {
        for (int with_simd = 0; with_simd < 2; ++with_simd) {
          alignas(64) int32_t widened[64];
          ast2100::widen_coefficients(narrow[with_simd], 64, widened, with_simd != 0);
          REQUIRE(std::equal(widened, widened + 64, dequantised), "a block narrowed and widened differs, " + where());
        }
      }
      uint8_t reference[64], out[64];
      ast2100::idct_transform(levels, 0, quant, reference, 0);
      ast2100::idct_blocks(dequantised, 1, out);
      REQUIRE(std::equal(out, out + 64, reference), "the dequantised transform differs, " + where());
      if (simd == nullptr) continue;
      simd->idct(levels, 0, quant, out, 0);
      REQUIRE(std::equal(out, out + 64, reference), std::string(simd->name) + " block transform differs, " + where());
      simd->idct_blocks(dequantised, 1, out);
      REQUIRE(std::equal(out, out + 64, reference), std::string(simd->name) + " transform differs, " + where());
#if QUORVEL_HAVE_AVX2
      if (ast2100::idct_fits_16bit_avx2(dequantised)) {
        ast2100::idct_16bit_avx2(dequantised, out);
        REQUIRE(std::equal(out, out + 64, reference), "the 16-bit transform differs, " + where());
      }
#endif
    }
  }
}

// Shows the base frame on a screen that has just taken its memory. The frame is
// decoded once per mode, size, format and scale; later screens of the same kind
// have its picture put back with restore(), which costs a copy.
std::shared_ptr<const std::vector<uint8_t>> show_base(ast2100::Screen& screen, const ast2100::FrameDecoder& ready,
                                                      const std::string& sizes) {
  using Key = std::tuple<bool, uint64_t, uint64_t, ast2100::PixelFormat, uint32_t>;
  static std::map<Key, std::shared_ptr<const std::vector<uint8_t>>> pictures;
  if (pictures.size() > 64) pictures.clear();  // 16 MiB at most
  std::shared_ptr<const std::vector<uint8_t>>& kept =
      pictures[{ready.subsampled, ready.width, ready.height, screen.format(), screen.scale()}];
  if (kept == nullptr) {
    std::vector<ast2100::Rect> changed;
    const uint64_t count = std::min<uint64_t>(ready.mb_cols * ready.mb_rows, ready.block_limit);
    const ast2100::ApplyResult base = screen.apply(base_frame(ready.subsampled, count), changed);
    REQUIRE(base.ok(), "the base frame failed: " + message_of(base.status) + ", " + sizes);
    const std::span<const uint8_t> shown = screen.pixels();
    REQUIRE(shown.empty() || std::any_of(shown.begin(), shown.end(), [](uint8_t b) { return b != 0; }),
            "the base frame left the screen black, " + sizes);
    kept = std::make_shared<const std::vector<uint8_t>>(shown.begin(), shown.end());
  } else {
    REQUIRE(screen.restore(*kept, 1), "restore() refused a picture of the screen's size, " + sizes);
  }
  REQUIRE(screen.frames_applied() == 1 &&
              std::equal(screen.pixels().begin(), screen.pixels().end(), kept->begin(), kept->end()),
          sizes);
  return kept;
}

// An RGB picture in another layout of three or four bytes a pixel.
std::vector<uint8_t> rearranged(std::span<const uint8_t> rgb, ast2100::PixelFormat format) {
  // Per byte of the pixel: the RGB channel it takes, or -1 for padding (255).
  static constexpr int kLayouts[6][4] = {{0, 1, 2, 0},  {2, 1, 0, 0},  {0, 1, 2, -1},
                                         {2, 1, 0, -1}, {-1, 0, 1, 2}, {-1, 2, 1, 0}};
  const auto& layout = kLayouts[static_cast<size_t>(format)];
  const size_t n = ast2100::bytes_per_pixel(format);
  std::vector<uint8_t> out(rgb.size() / 3 * n);
  for (size_t p = 0; p < rgb.size() / 3; ++p) {
    for (size_t i = 0; i < n; ++i) out[p * n + i] = layout[i] < 0 ? 255 : rgb[3 * p + static_cast<size_t>(layout[i])];
  }
  return out;
}

// Rectangles inside a picture of width x height, none overlapping another:
// one byte a pixel, 1 inside a rectangle.
std::vector<uint8_t> rect_mask(const std::vector<ast2100::Rect>& rects, uint64_t width, uint64_t height,
                               const std::string& sizes) {
  std::vector<uint8_t> inside(static_cast<size_t>(width * height), 0);  // a picture the caller holds
  for (const ast2100::Rect& r : rects) {
    REQUIRE(r.w > 0 && r.h > 0 && r.x < width && r.y < height && r.w <= width - r.x && r.h <= height - r.y,
            "a rectangle outside the picture, " + sizes);
    for (uint64_t y = r.y; y < r.y + r.h; ++y) {
      for (uint64_t x = r.x; x < r.x + r.w; ++x) {
        const auto at = static_cast<size_t>(y * width + x);  // inside, as required
        REQUIRE(inside[at] == 0, "overlapping rectangles, " + sizes);
        inside[at] = 1;
      }
    }
  }
  return inside;
}

// A screen's picture after a frame that succeeded, of n bytes a pixel: where
// the frame drew (`drawn`, one byte a pixel) the frame's own pixels (`alone`,
// drawn onto a black picture: drawing a macroblock never reads the picture),
// elsewhere what it showed before.
void check_shown(std::span<const uint8_t> shown, std::span<const uint8_t> before, std::span<const uint8_t> alone,
                 const std::vector<uint8_t>& drawn, size_t n, const std::string& what) {
  for (size_t p = 0; p < drawn.size(); ++p) {
    const uint8_t* want = drawn[p] != 0 ? &alone[n * p] : &before[n * p];
    REQUIRE(std::equal(&shown[n * p], &shown[n * p] + n, want),
            "pixel " + std::to_string(p) + (drawn[p] != 0 ? " differs from the frame's" : " changed undrawn") + ", " +
                what);
  }
}

// A black picture in a format: zero bytes, but 255 in the padding byte.
std::vector<uint8_t> black_picture(size_t pixels, ast2100::PixelFormat format) {
  const size_t n = ast2100::bytes_per_pixel(format);
  std::vector<uint8_t> out(pixels * n, 0);
  const int pad = format == ast2100::PixelFormat::rgbx || format == ast2100::PixelFormat::bgrx   ? 3
                  : format == ast2100::PixelFormat::xrgb || format == ast2100::PixelFormat::xbgr ? 0
                                                                                                 : -1;
  if (pad >= 0) {
    for (size_t p = 0; p < pixels; ++p) out[p * n + static_cast<size_t>(pad)] = 255;
  }
  return out;
}

// A screen in another pixel format or at a thumbnail's scale takes the frame as
// the RGB screen did (`rgb_*`: its picture before and after, and its
// rectangles): the same outcome, and on failure its own picture untouched. On
// success its rectangles are the RGB ones in thumbnail pixels and cover exactly
// what the frame draws in that format and scale onto a black picture, those
// pixels are the ones it draws there and every other pixel is as it was; at
// full size every format but grey shows the RGB picture rearranged (grey is
// the luma term alone, which RGB does not give back). The frame drawn alone in
// that format and scale draws the same onto an undefined picture (run_fresh),
// and with the scalar kernels as with the SIMD ones when `compare_kernels`.
void check_variant_screen(std::span<const uint8_t> codec_data, const ast2100::FrameDecoder& ready,
                          const ast2100::Status& status, uint32_t screen_mode, ast2100::PixelFormat format,
                          uint32_t scale, ast2100::Threads threads, std::span<const uint8_t> rgb_before,
                          std::span<const uint8_t> rgb_after, const std::vector<ast2100::Rect>& rgb_changed,
                          bool compare_kernels, const std::string& sizes) {
  const std::string what =
      sizes + ", format " + std::to_string(static_cast<int>(format)) + ", scale " + std::to_string(scale);
  ast2100::Screen screen(ready.width, ready.height, screen_mode, format, scale);
  screen.set_threads(threads);
  REQUIRE(screen.threads() == threads && screen.allocate(kMaxFrameBytes), what);
  const uint64_t width = screen.picture_width(), height = screen.picture_height();
  const size_t n = ast2100::bytes_per_pixel(format);
  REQUIRE(width == ceil_div(ready.width, scale) && height == ceil_div(ready.height, scale) &&
              screen.pixels().size() == width * height * n,
          what);
  // No memory is taken for a scale that is none of 1, 2, 4 and 8, or for a
  // picture over the bound.
  REQUIRE(!ast2100::Screen(ready.width, ready.height, 0, format, scale * 2 + 1).allocate(kMaxFrameBytes),
          "a screen took a scale of " + std::to_string(scale * 2 + 1) + ", " + what);
  REQUIRE(width * height == 0 ||
              !ast2100::Screen(ready.width, ready.height, 0, format, scale).allocate(width * height * n - 1),
          "a screen took a picture over its bound, " + what);

  // The frame alone, in this format and scale.
  ast2100::FrameDecoder decoder;
  REQUIRE(
      ast2100::FrameDecoder::setup(codec_data, ready.width, ready.height, kMaxFrameBytes, decoder, format, scale).ok(),
      what);
  REQUIRE(decoder.frame_bytes() == width * height * n, what);
  ast2100::FrameDecoder fresh = decoder, scalar = decoder;
  const auto pixels = static_cast<size_t>(width * height);  // the screen holds them
  std::vector<uint8_t> drawn(pixels, 0);
  DrawCounter counter;
  counter.mask = &drawn;
  counter.width = width;
  decoder.observer = &counter;
  std::vector<uint8_t> alone = black_picture(pixels, format);
  const ast2100::Status alone_status = decoder.run(alone);
  REQUIRE(alone_status.failure == status.failure && alone_status.value == status.value, what);
  std::vector<uint8_t> undefined(alone.size(), 0xA5);
  const ast2100::Status fresh_status = fresh.run_fresh(undefined);
  REQUIRE(fresh_status.failure == status.failure && (!status.ok() || undefined == alone),
          "run_fresh differs from a black picture, " + what);
  if (compare_kernels && decoder.kernels != &ast2100::scalar_kernels()) {
    scalar.kernels = &ast2100::scalar_kernels();
    std::vector<uint8_t> reference = black_picture(pixels, format);
    REQUIRE(scalar.run(reference).failure == status.failure && reference == alone,
            std::string(decoder.kernels->name) + " kernels differ from scalar, " + what);
  }
  const bool full_colour = scale == 1 && format != ast2100::PixelFormat::gray;
  const std::shared_ptr<const std::vector<uint8_t>> base = show_base(screen, ready, what);
  const std::vector<uint8_t>& before = *base;
  if (full_colour) REQUIRE(before == rearranged(rgb_before, format), "the base picture differs from RGB's, " + what);

  std::vector<ast2100::Rect> changed;
  const ast2100::ApplyResult applied = screen.apply(codec_data, changed);
  REQUIRE(applied.ok() == status.ok() && applied.status.failure == status.failure &&
              applied.status.value == status.value && screen.frames_applied() == (status.ok() ? 2u : 1u),
          what);
  const std::span<const uint8_t> shown = screen.pixels();
  if (!status.ok()) {
    REQUIRE(changed.empty() && std::equal(shown.begin(), shown.end(), before.begin(), before.end()),
            "a failed frame left the screen changed, " + what);
    return;
  }
  REQUIRE(changed.size() == rgb_changed.size(), "other rectangles than RGB's, " + what);
  for (size_t i = 0; i < changed.size(); ++i) {
    const ast2100::Rect& r = rgb_changed[i];
    const ast2100::Rect scaled = {r.x / scale, r.y / scale, ceil_div(r.x + r.w, scale) - r.x / scale,
                                  ceil_div(r.y + r.h, scale) - r.y / scale};
    REQUIRE(changed[i] == scaled, "rectangle " + std::to_string(i) + " is not RGB's in thumbnail pixels, " + what);
  }
  REQUIRE(rect_mask(changed, width, height, what) == drawn, "the rectangles are not the drawn areas, " + what);
  check_shown(shown, before, alone, drawn, n, what);
  if (full_colour)
    REQUIRE(std::ranges::equal(shown, rearranged(rgb_after, format)), "the picture differs from RGB's, " + what);
}

// A Screen that shows the base frame takes the fuzzed one: on success the
// rectangles it reports cover exactly the pixels the frame drew (`drawn`, one
// byte a pixel), those pixels are the ones the frame drew onto a black picture
// (`alone`: drawing a macroblock never reads the picture) and every other pixel
// is as it was; on failure its picture is what it was. The
// screen takes either mode or, by the option byte, the frame's alone; a screen
// of the other mode refuses the frame before drawing anything. A saved picture
// put back with restore() is shown again, whatever the frame did. Half the
// inputs are drawn on two threads, whatever their size; the rest as the
// screen decides (small frames: one thread).
void check_screen(std::span<const uint8_t> codec_data, const ast2100::FrameDecoder& ready,
                  const ast2100::Status& status, std::span<const uint8_t> alone, const std::vector<uint8_t>& drawn,
                  uint8_t options, bool compare_kernels, const std::string& sizes) {
  const uint64_t width = ready.width, height = ready.height;
  const uint32_t frame_mode = ready.subsampled ? ast2100::kMode422 : ast2100::kMode444;
  const uint32_t screen_mode = (options & kOptionScreenMode) != 0 ? frame_mode : 0;
  ast2100::Screen screen(width, height, screen_mode);
  REQUIRE(screen.width() == width && screen.height() == height && screen.mode() == screen_mode, sizes);
  REQUIRE(!screen.restore({}, 0), "restore() on a screen without memory, " + sizes);
  screen.set_threads(codec_data.size() % 2 != 0 ? ast2100::Threads::two : ast2100::Threads::automatic);
  REQUIRE(screen.allocate(kMaxFrameBytes), sizes);
  std::vector<ast2100::Rect> changed;
  const std::shared_ptr<const std::vector<uint8_t>> base = show_base(screen, ready, sizes);
  const std::vector<uint8_t>& before = *base;

  const ast2100::ApplyResult applied = screen.apply(codec_data, changed);
  REQUIRE(applied.ok() == status.ok() && applied.status.failure == status.failure, sizes);
  REQUIRE(applied.ok() || applied.kind == ast2100::ApplyResult::Kind::frame_failed, sizes);
  REQUIRE(screen.frames_applied() == (status.ok() ? 2u : 1u), sizes);
  const std::span<const uint8_t> shown = screen.pixels();
  if (!status.ok()) {
    REQUIRE(changed.empty(), "a failed frame reported changes, " + sizes);
    REQUIRE(std::equal(shown.begin(), shown.end(), before.begin(), before.end()),
            "a failed frame left the screen changed, " + sizes);
  } else {
    REQUIRE(rect_mask(changed, width, height, sizes) == drawn,
            "the rectangles are not the drawn macroblocks, " + sizes);
    check_shown(shown, before, alone, drawn, 3, sizes);
  }

  // restore(): a picture of another size is refused and changes nothing; the
  // saved one comes back with its count.
  const std::vector<uint8_t> now(shown.begin(), shown.end());
  if ((options & kOptionVariant) != 0) {
    const unsigned format = (options >> kOptionFormatShift) & 7;
    const uint32_t scale = 1u << (codec_data[0] & 3);
    const unsigned thread_bits = (codec_data[0] >> 2) & 3;
    const auto threads = thread_bits == 3 ? ast2100::Threads::automatic : static_cast<ast2100::Threads>(thread_bits);
    check_variant_screen(codec_data, ready, status, screen_mode,
                         format <= static_cast<unsigned>(ast2100::PixelFormat::gray)
                             ? static_cast<ast2100::PixelFormat>(format)
                             : ast2100::PixelFormat::rgb,
                         scale, threads, before, now, changed, compare_kernels, sizes);
  }
  std::vector<uint8_t> wrong(before.size() + 3);
  REQUIRE(!screen.restore(wrong, 7) && std::equal(shown.begin(), shown.end(), now.begin(), now.end()) &&
              screen.frames_applied() == (status.ok() ? 2u : 1u),
          "restore() took a picture of another size, " + sizes);
  REQUIRE(screen.restore(before, 1) && screen.frames_applied() == 1 &&
              std::equal(shown.begin(), shown.end(), before.begin(), before.end()),
          "restore() did not put the saved picture back, " + sizes);

  if ((options & (kOptionScreenMode | kOptionOtherMode)) == kOptionOtherMode) {
    const uint32_t other = ready.subsampled ? ast2100::kMode444 : ast2100::kMode422;
    ast2100::Screen refusing(width, height, other);
    REQUIRE(refusing.allocate(kMaxFrameBytes), sizes);
    const ast2100::ApplyResult r = refusing.apply(codec_data, changed);
    const std::span<const uint8_t> black = refusing.pixels();
    REQUIRE(r.kind == ast2100::ApplyResult::Kind::wrong_mode && r.frame_mode == frame_mode &&
                refusing.frames_applied() == 0 &&
                std::all_of(black.begin(), black.end(), [](uint8_t b) { return b == 0; }),
            "a screen of the other mode took the frame, " + sizes);
  }
}

// A frame that the set-up refuses is refused by a Screen too, with the same
// failure, and leaves its picture black; a picture whose size does not fit is
// refused by the screen's allocate() before any memory is taken.
void check_refusing_screen(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height,
                           const ast2100::Status& setup, bool too_large) {
  ast2100::Screen screen(width, height, 0);
  if (too_large) {
    // Nor as a thumbnail: the frames' full size must be representable too (in
    // the screen's format: one byte a pixel might fit where three do not).
    REQUIRE(!screen.allocate(kMaxFrameBytes) &&
                !ast2100::Screen(width, height, 0, ast2100::PixelFormat::rgb, 8).allocate(kMaxFrameBytes),
            "allocate() took a picture too large to represent");
    return;
  }
  if (width * height > kMaxComparedPixels) return;
  REQUIRE(screen.allocate(kMaxFrameBytes), "allocate() failed");
  std::vector<ast2100::Rect> changed;
  const ast2100::ApplyResult r = screen.apply(codec_data, changed);
  const std::span<const uint8_t> shown = screen.pixels();
  REQUIRE(r.kind == ast2100::ApplyResult::Kind::frame_failed && r.status.failure == setup.failure &&
              r.status.value == setup.value && changed.empty() && screen.frames_applied() == 0 &&
              std::all_of(shown.begin(), shown.end(), [](uint8_t b) { return b == 0; }),
          "a screen took a frame the set-up refuses");
}

// all_checks: false for a frame that may run on to the block limit: decoding
// it once is what it is for, the other checks see the same records anyway in
// the inputs that end where their data ends.
void check_frame(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height, bool compare_kernels,
                 bool all_checks, uint8_t options) {
  // The outcome of the set-up: header length, mode, picture size, then the bit
  // reader's bytes, the first that fails deciding. 3 x width x height > 2^63 - 1
  // is decided without forming a product that could wrap; below that bound the
  // pixel count fits.
  const bool too_large = height != 0 && width > kMaxFrameBytes / 3 / height;
  const uint64_t pixels = too_large ? 0 : width * height;
  Failure expected = Failure::none;
  uint32_t mode = 0;
  if (codec_data.size() < 4) {
    expected = Failure::codec_data_too_short;
  } else {
    mode = static_cast<uint32_t>(codec_data[2]) * 256 + codec_data[3];
    if (mode != 422 && mode != 444) {
      expected = Failure::unknown_mode;
    } else if (too_large) {
      expected = Failure::capacity_overflow;
    } else if (codec_data.size() < 12) {
      expected = Failure::bitstream_too_short;
    }
  }
  const std::string sizes =
      std::to_string(width) + "x" + std::to_string(height) + ", " + std::to_string(codec_data.size()) + " bytes";

  ast2100::FrameDecoder decoder;
  const ast2100::Status setup = ast2100::FrameDecoder::setup(codec_data, width, height, kMaxFrameBytes, decoder);
  REQUIRE(setup.failure == expected, sizes);
  const std::string setup_message = message_of(setup);
  if (!setup.ok()) {
    REQUIRE(is_known_message(setup_message), setup_message);
    REQUIRE(setup.internal_fault() == (expected == Failure::capacity_overflow), setup_message);
    if (expected == Failure::unknown_mode) {
      REQUIRE(setup.value == mode && setup_message == "unknown mode " + std::to_string(mode), setup_message);
    }
    if (all_checks) check_refusing_screen(codec_data, width, height, setup, too_large);
    return;
  }

  // The picture's byte size against the caller's bound: exactly at it passes,
  // one byte over it is refused.
  ast2100::FrameDecoder bounded;
  REQUIRE(ast2100::FrameDecoder::setup(codec_data, width, height, pixels * 3, bounded).ok(), sizes);
  if (pixels != 0) {
    const ast2100::Status over = ast2100::FrameDecoder::setup(codec_data, width, height, pixels * 3 - 1, bounded);
    REQUIRE(over.failure == Failure::capacity_overflow, "a picture over the bound was taken, " + sizes);
  }

  REQUIRE(decoder.frame_bytes() == pixels * 3, sizes);
  const unsigned n = mode == 422 ? 16 : 8;
  REQUIRE(decoder.subsampled == (mode == 422), sizes);
  REQUIRE(decoder.mb_cols == ceil_div(width, n) && decoder.mb_rows == ceil_div(height, n), sizes);
  if (pixels > kMaxPixels) return;  // set-up only

  // An exact heap block, zero-filled, as the caller must provide.
  const size_t size = static_cast<size_t>(decoder.frame_bytes());
  std::vector<uint8_t> picture(size);
  // The kernels that decode first, and the others, for the comparison.
  const ast2100::Kernels& scalar_kernels = ast2100::scalar_kernels();
  const ast2100::Kernels& best = ast2100::best_kernels();
  const bool scalar_first = (options & kOptionScalarFirst) != 0;
  decoder.kernels = scalar_first ? &scalar_kernels : &best;
  ast2100::FrameDecoder other = decoder;  // the same state, before run() moves it on
  other.kernels = scalar_first ? &best : &scalar_kernels;
  ast2100::FrameDecoder fresh = decoder;
  const ast2100::FrameDecoder ready = decoder;
  DrawCounter counter;
  const bool checked = all_checks && pixels <= kMaxComparedPixels;
  std::vector<uint8_t> drawn;
  if (checked) {
    drawn.assign(static_cast<size_t>(pixels), 0);  // at most kMaxComparedPixels
    counter.mask = &drawn;
    counter.width = width;
  }
  decoder.observer = &counter;
  const ast2100::Status status = decoder.run(picture);
  REQUIRE(picture.size() == size, sizes);
  ++tally.decoded;
  if (counter.drawn != 0) ++tally.drew;
  if (status.failure == Failure::block_limit) ++tally.block_limit;
  // A frame that ends has all its records inside its data (past the data the
  // stream is zero bits, and FRAME_END is not), every record takes at least 7
  // bits (a one-colour VQ record that names a cached colour) and the data's
  // short last word adds at most 24 bits ahead of its bytes: so a frame that
  // ended after drawing as many macroblocks as the picture has had room for
  // them by the decoder's reckoning of 4 bits a record.
  const bool room = decoder.may_draw_every_macroblock(codec_data.size());
  REQUIRE(room || !status.ok() || counter.drawn < decoder.mb_cols * decoder.mb_rows,
          "a frame drew every macroblock from data said to be too short, " + sizes);
  if (checked) {
    // Decoding onto an undefined picture, as decode_frame does for frames that
    // may cover it, ends the same way and leaves a zero-filled picture's pixels.
    std::vector<uint8_t> undefined(size, 0xA5);
    const ast2100::Status fresh_status = fresh.run_fresh(undefined);
    REQUIRE(fresh_status.failure == status.failure && fresh_status.value == status.value,
            message_of(fresh_status) + " vs " + message_of(status));
    REQUIRE(!status.ok() || undefined == picture, "run_fresh differs from a zero-filled picture, " + sizes);
    check_screen(codec_data, ready, status, picture, drawn, options, compare_kernels, sizes);
  }
  if (all_checks && compare_kernels && pixels <= kMaxComparedPixels && &best != &scalar_kernels) {
    std::vector<uint8_t> reference(size);
    const ast2100::Status other_status = other.run(reference);
    REQUIRE(other_status.failure == status.failure && other_status.value == status.value,
            message_of(other_status) + " vs " + message_of(status));
    REQUIRE(reference == picture, std::string(best.name) + " kernels differ from scalar, " + sizes);
  }
  if (status.ok()) return;
  const std::string message = message_of(status);
  REQUIRE(is_known_message(message), message);
  REQUIRE(!status.internal_fault(), message);
  if (status.failure == Failure::unknown_block_flag) {
    REQUIRE(is_unknown_code(status.value) && message == "unknown block flag: " + std::to_string(status.value), message);
  } else {
    REQUIRE(status.failure == Failure::block_limit, message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ++tally.inputs;
  if (size < 1) return 0;
  const uint8_t control = data[0];
  const bool wide = (control & 4) != 0;
  const size_t prefix = wide ? 17 : 5;
  if (size < prefix) return 0;
  uint64_t width = 0;
  uint64_t height = 0;
  if (wide) {
    width = read_le(data + 1, 8);
    height = read_le(data + 9, 8);
  } else {
    width = read_le(data + 1, 2);
    height = read_le(data + 3, 2);
    static constexpr uint64_t limits[] = {kSmallPixels, kSmallPixels, kMaxComparedPixels, kMaxPixels};
    const uint64_t limit = limits[(control >> 4) & 3];
    while (width * height > limit) {
      if (width > height) {
        width >>= 1;
      } else {
        height >>= 1;
      }
    }
  }

  // codec_data in a heap block of its own exact size.
  std::vector<uint8_t> codec_data(data + prefix, data + size);
  const uint32_t mode_choice = control & 3;
  if (mode_choice < 2 && codec_data.size() >= 4) {
    const uint32_t mode = mode_choice == 0 ? ast2100::kMode444 : ast2100::kMode422;
    codec_data[2] = static_cast<uint8_t>(mode >> 8);
    codec_data[3] = static_cast<uint8_t>(mode);
  }
  // The run into zero bits costs a hundred times what most inputs do: it is
  // kept for inputs that ask for it twice, by the control bits and by the
  // header's first byte (which the decoder never reads).
  const bool as_given = (control >> 6) == 3 && !codec_data.empty() && codec_data[0] == 0xFF;
  if (!as_given) records::end_after_data(codec_data);
  const uint8_t options = codec_data.size() >= 2 ? codec_data[1] : 0;
  if ((options & kOptionBlocks) != 0) check_blocks(codec_data);
  check_frame(codec_data, width, height, (control & 8) != 0, !as_given, options);
  return 0;
}

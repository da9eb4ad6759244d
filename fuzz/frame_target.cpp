// libFuzzer target over the decoder core: set-up and record loop of one frame.
//
// Input layout (the sizes and the mode come first, so that small and odd
// picture sizes are explored along with the stream):
//
//   byte 0       control: bits 0..1 the mode (0: 444, 1: 422, 2 and 3: keep the
//                header's own bytes 2..3, so that unknown modes are reached);
//                bit 2: 64-bit sizes; bit 3: decode a second time with the scalar
//                kernels and compare (where the CPU runs SIMD ones; pictures of up to
//                kMaxComparedPixels)
//   normal:      bytes 1..2 width, 3..4 height (little-endian 16-bit), then codec_data;
//                a picture above kMaxPixels is cut down to fit
//   64-bit:      bytes 1..8 width, 9..16 height (little-endian), then codec_data;
//                only pictures of at most kMaxPixels pixels are decoded, the others
//                go through the set-up alone
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
//   - on pictures of up to kMaxComparedPixels: decoding onto an undefined picture
//     (run_fresh, as decode_frame does for frames that may cover the picture)
//     ends the same way with the same pixels, and a black Screen shows the
//     frame after applying it, or stays black when the frame fails.
// The sanitizers check the rest: the picture and codec_data are heap blocks of
// their exact sizes, so a read or write past either end is reported.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "ast2100/frame.hpp"
#include "ast2100/screen.hpp"
#include "ast2100/kernels.hpp"
#include "ast2100/picture.hpp"

namespace {

constexpr uint64_t kMaxPixels = uint64_t{1} << 20;  // a megapixel: 3 MiB of picture
// The kernels work per macroblock, so comparing them needs no large picture, and
// a second decode of one costs the most of all inputs.
constexpr uint64_t kMaxComparedPixels = uint64_t{1} << 16;
constexpr uint64_t kMaxFrameBytes = ast2100::kMaxPictureBytes;

[[noreturn]] void violated(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz invariant violated: %s (%s)\n", what, detail.c_str());
  std::abort();
}

#define REQUIRE(cond, detail) \
  do {                        \
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
  static const char* const fixed[] = {"codec_data too short (< 4 bytes)",
                                      "codec_data too short for bitstream init",
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

void check_frame(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height, bool compare_kernels) {
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
  const std::string sizes = std::to_string(width) + "x" + std::to_string(height) + ", " +
                            std::to_string(codec_data.size()) + " bytes";

  ast2100::FrameDecoder decoder;
  const ast2100::Status setup =
      ast2100::FrameDecoder::setup(codec_data, width, height, kMaxFrameBytes, decoder);
  REQUIRE(setup.failure == expected, sizes);
  const std::string setup_message = message_of(setup);
  if (!setup.ok()) {
    REQUIRE(is_known_message(setup_message), setup_message);
    REQUIRE(setup.internal_fault() == (expected == Failure::capacity_overflow), setup_message);
    if (expected == Failure::unknown_mode) {
      REQUIRE(setup.value == mode && setup_message == "unknown mode " + std::to_string(mode), setup_message);
    }
    return;
  }

  REQUIRE(decoder.frame_bytes() == pixels * 3, sizes);
  const unsigned n = mode == 422 ? 16 : 8;
  REQUIRE(decoder.subsampled == (mode == 422), sizes);
  REQUIRE(decoder.mb_cols == ceil_div(width, n) && decoder.mb_rows == ceil_div(height, n), sizes);
  if (pixels > kMaxPixels) return;  // set-up only

  // An exact heap block, zero-filled, as the caller must provide.
  const size_t size = static_cast<size_t>(decoder.frame_bytes());
  std::vector<uint8_t> picture(size);
  ast2100::FrameDecoder scalar = decoder;  // the same state, before run() moves it on
  ast2100::FrameDecoder fresh = decoder;
  const ast2100::Status status = decoder.run(picture);
  REQUIRE(picture.size() == size, sizes);
  if (pixels <= kMaxComparedPixels) {
    // Decoding onto an undefined picture, as decode_frame does for frames that
    // may cover it, ends the same way and leaves a zero-filled picture's pixels.
    std::vector<uint8_t> undefined(size, 0xA5);
    const ast2100::Status fresh_status = fresh.run_fresh(undefined);
    REQUIRE(fresh_status.failure == status.failure && fresh_status.value == status.value,
            message_of(fresh_status) + " vs " + message_of(status));
    REQUIRE(!status.ok() || undefined == picture, "run_fresh differs from a zero-filled picture, " + sizes);
    // A black screen shows the frame after applying it, or stays black when
    // the frame fails.
    ast2100::Screen screen(width, height, 0);
    REQUIRE(screen.allocate(kMaxFrameBytes), sizes);
    std::vector<ast2100::Rect> changed;
    const ast2100::ApplyResult applied = screen.apply(codec_data, changed);
    REQUIRE(applied.ok() == status.ok() && applied.status.failure == status.failure, sizes);
    const std::span<const uint8_t> shown = screen.pixels();
    if (status.ok()) {
      REQUIRE(std::equal(shown.begin(), shown.end(), picture.begin(), picture.end()), "screen differs, " + sizes);
    } else {
      REQUIRE(std::all_of(shown.begin(), shown.end(), [](uint8_t b) { return b == 0; }),
              "a failed frame left pixels on the screen, " + sizes);
    }
  }
  if (compare_kernels && pixels <= kMaxComparedPixels && decoder.kernels != &ast2100::scalar_kernels()) {
    scalar.kernels = &ast2100::scalar_kernels();
    std::vector<uint8_t> reference(size);
    const ast2100::Status expected_status = scalar.run(reference);
    REQUIRE(expected_status.failure == status.failure && expected_status.value == status.value,
            message_of(expected_status) + " vs " + message_of(status));
    REQUIRE(reference == picture, std::string(decoder.kernels->name) + " kernels differ from scalar, " + sizes);
  }
  if (status.ok()) return;
  const std::string message = message_of(status);
  REQUIRE(is_known_message(message), message);
  REQUIRE(!status.internal_fault(), message);
  if (status.failure == Failure::unknown_block_flag) {
    REQUIRE(is_unknown_code(status.value) && message == "unknown block flag: " + std::to_string(status.value),
            message);
  } else {
    REQUIRE(status.failure == Failure::block_limit, message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
    if (width * height > kMaxPixels) height = kMaxPixels / width;
  }

  // codec_data in a heap block of its own exact size.
  std::vector<uint8_t> codec_data(data + prefix, data + size);
  const uint32_t mode_choice = control & 3;
  if (mode_choice < 2 && codec_data.size() >= 4) {
    const uint32_t mode = mode_choice == 0 ? ast2100::kMode444 : ast2100::kMode422;
    codec_data[2] = static_cast<uint8_t>(mode >> 8);
    codec_data[3] = static_cast<uint8_t>(mode);
  }
  check_frame(codec_data, width, height, (control & 8) != 0);
  return 0;
}

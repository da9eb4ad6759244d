// Hashes of what the decoder core draws at every scale (1, 2, 4, 8) in every
// pixel format, over committed inputs: frames of the tests' writer from fixed
// seeds, and the fuzz corpus. Builds for other CPUs print the same lines when
// they draw the same bytes; `./dev cross` compares each CPU's lines with the
// x86-64 build's, and the x86-64 build's AVX2 kernels with its scalar ones.
//
//   thumbnail_hashes [--scalar] [--each] [--frame FILE WIDTH HEIGHT]... [CORPUS DIR...]
//
// One line per input set, scale and format: "set scale N FORMAT hash frames",
// the hash (64-bit FNV-1a) running over each frame's outcome and picture in
// turn. --each: one line per frame as well, to find the frames that differ.
// --scalar: the scalar kernels, where the CPU would run SIMD ones. --frame: a
// frame of that size from a file of its own (such as the benchmark's real
// frames, which are not committed), hashed as the set "files".
#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ast2100/color.hpp"
#include "ast2100/frame.hpp"
#include "ast2100/kernels.hpp"
#include "ast2100/picture.hpp"
#include "random_frame.hpp"
#include "record_writer.hpp"

namespace {

using ast2100::PixelFormat;

struct Input {
  std::string name;
  std::vector<uint8_t> codec_data;
  uint64_t width = 0, height = 0;
};

constexpr PixelFormat kFormats[] = {PixelFormat::rgb,  PixelFormat::bgr,  PixelFormat::rgbx, PixelFormat::bgrx,
                                    PixelFormat::xrgb, PixelFormat::xbgr, PixelFormat::gray};
constexpr const char* kFormatNames[] = {"RGB", "BGR", "RGBX", "BGRX", "XRGB", "XBGR", "GRAY"};
constexpr uint32_t kScales[] = {1, 2, 4, 8};

// Corpus pictures are halved along their longer side down to this many pixels:
// the kernels and the thumbnail arithmetic work per macroblock, and an emulated
// CPU pays for every pixel.
constexpr uint64_t kMaxCorpusPixels = uint64_t{1} << 16;

struct Fnv {
  uint64_t h = 0xCBF29CE484222325ull;
  void add(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  }
  void add(uint32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    add(b, 4);
  }
};

// Frames of the tests' writer (random levels, small, large and extreme, of
// every record kind), key frames over every macroblock and delta frames, at
// sizes that clip the macroblocks on the right and at the bottom. mt19937's
// sequence is the same on every CPU, and the writer uses it undistributed.
std::vector<Input> writer_frames() {
  std::vector<Input> out;
  std::mt19937 rng(2024);
  for (int i = 0; i < 24; ++i) {
    const bool sub = i % 2 == 1, key = i % 3 != 2;
    const uint64_t w = 1 + rng() % 480, h = 1 + rng() % 320, n = sub ? 16 : 8;
    const uint64_t mbs = ((w + n - 1) / n) * ((h + n - 1) / n);
    const auto records = static_cast<int>(key ? mbs : 1 + rng() % mbs);
    out.push_back({"writer " + std::to_string(i), ast2100_test::random_frame(rng, sub, records, key), w, h});
  }
  return out;
}

// Frames like photographs, whose thumbnails' means fall anywhere between two
// levels rather than at the clamps (the writer's frames above mostly saturate):
// DCT macroblocks in raster order whose DC levels wander slowly and whose AC
// levels are small and thin out towards the high frequencies. Written with the
// fuzzer's record writer.
std::vector<Input> smooth_frames() {
  std::vector<Input> out;
  std::mt19937 rng(444);
  auto magnitude = [](int32_t v, uint8_t& size, uint16_t& bits) {
    const auto m = static_cast<uint32_t>(v < 0 ? -v : v);
    size = static_cast<uint8_t>(std::bit_width(m));
    bits = static_cast<uint16_t>(v < 0 ? static_cast<uint32_t>(v) + (1u << size) - 1 : m);
  };
  for (int i = 0; i < 8; ++i) {
    const bool sub = i % 2 == 1;
    const uint64_t w = 200 + rng() % 240, h = 120 + rng() % 200, n = sub ? 16 : 8;
    records::Frame frame;
    frame.subsampled = sub;
    int32_t dc[3] = {0, 0, 0};
    for (uint64_t mb = 0; mb < ((w + n - 1) / n) * ((h + n - 1) / n); ++mb) {
      records::Record r;
      r.code = rng() % 8 == 0 ? 4 : 0;  // now and then the alternative quantisation pair
      for (unsigned b = 0; b < records::blocks_per_macroblock(sub); ++b) {
        const unsigned comp =
            b + 2 < records::blocks_per_macroblock(sub) ? 0 : b + 3 - records::blocks_per_macroblock(sub);
        records::Block block;
        const int32_t next = std::clamp(dc[comp] + static_cast<int32_t>(rng() % 9) - 4, -60, 60);
        magnitude(next - dc[comp], block.dc_size, block.dc_bits);
        dc[comp] = next;
        unsigned run = 0;
        for (unsigned k = 1; k < 64; ++k) {
          if (rng() % (2 + k) > 1) {  // coded ever more rarely
            ++run;
            continue;
          }
          for (; run > 15; run -= 16) block.ac.push_back({0xF0, 0});
          const auto level = static_cast<int32_t>(1 + rng() % 6);
          records::AcSymbol symbol;
          uint8_t size = 0;
          magnitude(rng() % 2 ? level : -level, size, symbol.bits);
          symbol.rs = static_cast<uint8_t>(run << 4 | size);
          block.ac.push_back(symbol);
          run = 0;
        }
        if (run != 0) block.ac.push_back({0x00, 0});  // end of block
        r.blocks.push_back(std::move(block));
      }
      frame.records.push_back(std::move(r));
    }
    frame.records.push_back(records::marker(records::kFrameEnd));
    std::vector<uint8_t> data = {0, 0, 1, static_cast<uint8_t>(sub ? 0xA6 : 0xBC)};
    const std::vector<uint8_t> stream = records::write_stream(frame);
    data.insert(data.end(), stream.begin(), stream.end());
    out.push_back({"smooth " + std::to_string(i), std::move(data), w, h});
  }
  return out;
}

uint64_t read_le(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

// The fuzz corpus read by the fuzz target's layout (fuzz/frame_target.cpp): a
// control byte (bits 0..1 the mode: 444, 422, or the header's own; bit 2
// 64-bit sizes), the width and height, then codec_data. Files in name order.
bool corpus_frames(const std::string& dir, std::vector<Input>& out) {
  std::error_code error;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  if (error) {
    std::fprintf(stderr, "thumbnail_hashes: cannot read %s: %s\n", dir.c_str(), error.message().c_str());
    return false;
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty()) continue;
    const bool wide = (data[0] & 4) != 0;
    const size_t prefix = wide ? 17 : 5, field = wide ? 8 : 2;
    if (data.size() < prefix) continue;
    Input input{path.filename().string(),
                {data.begin() + static_cast<std::ptrdiff_t>(prefix), data.end()},
                read_le(&data[1], field),
                read_le(&data[1 + field], field)};
    // Pictures too large for 63 bits are the set-up's business, and drawn by no
    // scale: left out.
    if (input.width > UINT32_MAX || input.height > UINT32_MAX) continue;
    while (input.width * input.height > kMaxCorpusPixels) {
      (input.width > input.height ? input.width : input.height) >>= 1;
    }
    const uint32_t mode_choice = data[0] & 3;
    if (mode_choice < 2 && input.codec_data.size() >= 4) {
      const uint32_t mode = mode_choice == 0 ? ast2100::kMode444 : ast2100::kMode422;
      input.codec_data[2] = static_cast<uint8_t>(mode >> 8);
      input.codec_data[3] = static_cast<uint8_t>(mode);
    }
    records::end_after_data(input.codec_data);
    out.push_back(std::move(input));
  }
  return true;
}

// Draws the frame at a scale and in a format onto a black picture, and hashes
// the outcome (failure and value) and the picture.
uint64_t draw_hash(const Input& input, uint32_t scale, PixelFormat format, const ast2100::Kernels* kernels) {
  Fnv fnv;
  ast2100::FrameDecoder decoder;
  ast2100::Status status = ast2100::FrameDecoder::setup(input.codec_data, input.width, input.height,
                                                        ast2100::kMaxPictureBytes, decoder, format, scale);
  std::vector<uint8_t> picture;
  if (status.ok()) {
    if (kernels != nullptr) decoder.kernels = kernels;
    picture.resize(static_cast<size_t>(decoder.frame_bytes()));  // the inputs are small pictures
    ast2100::fill_black(picture, format);
    status = decoder.run(picture);
  }
  fnv.add(static_cast<uint32_t>(status.failure));
  fnv.add(status.value);
  fnv.add(picture.data(), picture.size());
  return fnv.h;
}

void print_set(const char* set, const std::vector<Input>& inputs, const ast2100::Kernels* kernels, bool each) {
  for (const uint32_t scale : kScales) {
    for (size_t f = 0; f < std::size(kFormats); ++f) {
      Fnv all;
      for (const Input& input : inputs) {
        const uint64_t h = draw_hash(input, scale, kFormats[f], kernels);
        if (each) std::printf("%s %s scale %u %s %016" PRIx64 "\n", set, input.name.c_str(), scale, kFormatNames[f], h);
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(h >> (8 * i));
        all.add(bytes, 8);
      }
      std::printf("%s scale %u %s %016" PRIx64 " %zu\n", set, scale, kFormatNames[f], all.h, inputs.size());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const ast2100::Kernels* kernels = nullptr;  // the set-up's choice: the fastest this CPU runs
  bool each = false;
  std::vector<Input> corpus, files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--frame" && i + 3 < argc) {
      std::ifstream in(argv[i + 1], std::ios::binary);
      std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "thumbnail_hashes: cannot read %s\n", argv[i + 1]);
        return 2;
      }
      files.push_back({argv[i + 1], std::move(data), std::stoull(argv[i + 2]), std::stoull(argv[i + 3])});
      i += 3;
    } else if (arg == "--scalar") {
      kernels = &ast2100::scalar_kernels();
    } else if (arg == "--each") {
      each = true;
    } else if (!corpus_frames(arg, corpus)) {
      return 2;
    }
  }
  std::fprintf(stderr, "thumbnail_hashes: %s kernels, %zu corpus inputs\n",
               (kernels != nullptr ? *kernels : ast2100::best_kernels()).name, corpus.size());
  print_set("writer", writer_frames(), kernels, each);
  print_set("smooth", smooth_frames(), kernels, each);
  if (!corpus.empty()) print_set("corpus", corpus, kernels, each);
  if (!files.empty()) print_set("files", files, kernels, each);
  return 0;
}

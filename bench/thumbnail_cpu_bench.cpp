// Thumbnails against a full-size apply, with each scale's floor beside them,
// in thread CPU time: time that other processes take on a shared machine is
// not counted, as it is in wall time.
//
//   thumbnail_cpu_bench ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]
//
// For each frame, round after round and in turn: Screen::apply of the whole
// frame at full size and at 1/2, 1/4 and 1/8 (one thread), and each scale's
// floor: the record walk the scale needs (the thumbnail's decode halves, which
// decode or skip the symbols as its drawing needs them, and the VQ codes) with
// nothing drawn. The first round is untimed. Per frame it prints the medians in
// ms and their ratios to the full-size apply; then, per scale, the geometric
// mean of each ratio over the frames and the worst frame. With --walk=S it runs
// the floor walk of scale S alone (S = 1: the full-size decode half), ROUNDS
// times a frame, and times nothing (for callgrind).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ast2100/frame.hpp"
#include "ast2100/screen.hpp"
#include "cpu_time.hpp"

namespace {
using bench::median;
using bench::thread_ms;
constexpr uint32_t kScales[] = {2, 4, 8};

// Takes each macroblock from the record loop and runs the drawing's decode
// half alone: the stream is read as the scale reads it, and nothing is drawn.
class WalkOnly final : public ast2100::MacroblockSink {
 public:
  void dct(const ast2100::FrameTarget& target, ast2100::MacroblockPosition at, uint32_t quant_pair,
           ast2100::StreamState& stream) noexcept override {
    target.drawing->decode_dct(target, at, quant_pair, stream, dct_);
  }
  void vq(const ast2100::FrameTarget&, ast2100::MacroblockPosition, ast2100::StreamState& stream) noexcept override {
    ast2100::decode_vq(stream, vq_);
  }

 private:
  ast2100::DctMacroblock dct_;
  ast2100::VqMacroblock vq_;
};

// The floor of `scale`: false when the frame does not decode.
bool walk(const std::vector<uint8_t>& data, uint64_t width, uint64_t height, uint32_t scale,
          std::vector<uint8_t>& picture) {
  ast2100::FrameDecoder decoder;
  if (!ast2100::FrameDecoder::setup(data, width, height, UINT64_MAX >> 1, decoder, ast2100::PixelFormat::rgb, scale)
           .ok())
    return false;
  picture.resize(decoder.frame_bytes());
  WalkOnly sink;
  decoder.sink = &sink;
  return decoder.run(picture).ok();
}

struct Worst {
  double ratio = 0;
  std::string frame;
};

}  // namespace

int main(int argc, char** argv) {
  uint32_t walk_scale = 0;
  if (argc > 1 && std::strncmp(argv[1], "--walk=", 7) == 0) {
    walk_scale = static_cast<uint32_t>(std::atoi(argv[1] + 7));
    --argc, ++argv;
  }
  if (argc < 5 || (argc - 2) % 3 != 0) {
    std::fprintf(stderr, "usage: thumbnail_cpu_bench [--walk=S] ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  constexpr size_t kN = std::size(kScales);
  std::vector<double> log_floor(kN), log_thumb(kN);
  std::vector<Worst> worst_floor(kN), worst_thumb(kN);
  size_t frames = 0;
  std::vector<uint8_t> scratch;
  for (int a = 2; a + 2 < argc; a += 3) {
    std::ifstream in(argv[a], std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const uint64_t width = std::strtoull(argv[a + 1], nullptr, 10);
    const uint64_t height = std::strtoull(argv[a + 2], nullptr, 10);
    if (walk_scale != 0) {
      for (int r = 0; r < rounds; ++r) {
        if (!walk(data, width, height, walk_scale, scratch)) return 1;
      }
      continue;
    }
    // Screens at 1, 2, 4 and 8, on one thread.
    std::vector<std::unique_ptr<ast2100::Screen>> screens;
    for (uint32_t s : {1u, 2u, 4u, 8u}) {
      screens.push_back(std::make_unique<ast2100::Screen>(width, height, 0, ast2100::PixelFormat::rgb, s));
      screens.back()->set_threads(ast2100::Threads::one);
      if (!screens.back()->allocate(UINT64_MAX >> 1)) {
        std::fprintf(stderr, "no memory for a screen\n");
        return 1;
      }
    }
    std::vector<std::vector<double>> apply_ms(1 + kN), floor_ms(kN);
    std::vector<ast2100::Rect> rects;
    for (int r = -1; r < rounds; ++r) {
      for (size_t i = 0; i <= kN; ++i) {
        rects.clear();
        const double t = thread_ms();
        if (!screens[i]->apply(data, rects).ok()) {
          std::fprintf(stderr, "thumbnail_cpu_bench: %s does not decode\n", argv[a]);
          return 1;
        }
        if (r >= 0) apply_ms[i].push_back(thread_ms() - t);
        if (i == kN) break;
        const double w = thread_ms();
        if (!walk(data, width, height, kScales[i], scratch)) return 1;
        if (r >= 0) floor_ms[i].push_back(thread_ms() - w);
      }
    }
    const double full = median(apply_ms[0]);
    std::printf("%s full %.3f ms", argv[a], full);
    for (size_t i = 0; i < kN; ++i) {
      const double f = median(floor_ms[i]) / full, t = median(apply_ms[i + 1]) / full;
      std::printf(" | 1/%u floor %.3f thumb %.3f", kScales[i], f, t);
      log_floor[i] += std::log(f), log_thumb[i] += std::log(t);
      if (f > worst_floor[i].ratio) worst_floor[i] = {f, argv[a]};
      if (t > worst_thumb[i].ratio) worst_thumb[i] = {t, argv[a]};
    }
    std::printf("\n");
    ++frames;
  }
  if (frames == 0) return 0;
  std::printf("geometric means over %zu frames, against a full-size apply (worst frame):\n", frames);
  for (size_t i = 0; i < kN; ++i) {
    std::printf("1/%u  floor %.3f (%.3f %s)  thumbnail %.3f (%.3f %s)\n", kScales[i],
                std::exp(log_floor[i] / static_cast<double>(frames)), worst_floor[i].ratio,
                worst_floor[i].frame.c_str(), std::exp(log_thumb[i] / static_cast<double>(frames)),
                worst_thumb[i].ratio, worst_thumb[i].frame.c_str());
  }
  return 0;
}

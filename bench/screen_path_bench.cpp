// Thread CPU time of Screen::apply on one thread against a one-off decode of
// the same frame (FrameDecoder::run_fresh, as decode_frame draws), and of the
// planar formats against RGB, in interleaved rounds: what the screen adds (its
// journal, rectangles and set-up) without the Python boundary.
//
//   screen_path_bench ROUNDS [--only NAME] FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]
//
// NAME (decode, undrawn, rgb, i420 or i444) runs that contender alone, for a
// profiler. "undrawn" is the same one-off decode with its DCT macroblocks'
// colour conversion and store left out: decode less undrawn is what drawing
// RGB pixels costs, and an RGB screen less that is the floor of any format
// that stores its samples (the floor below, as a fraction of the RGB screen).
// Prints per frame the median CPU time of each contender in ms and the ratios
// screen / decode, planar / RGB and floor / RGB, then their geometric means
// and worst frame, in all and per mode.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ast2100/kernels.hpp"
#include "ast2100/screen.hpp"
#include "cpu_time.hpp"

namespace {
using bench::median;
using bench::thread_ms;
struct Contender {
  const char* name;
  ast2100::PixelFormat format;  // of the screen; decode has none
};
constexpr Contender kContenders[] = {{"decode", ast2100::PixelFormat::rgb},
                                     {"undrawn", ast2100::PixelFormat::rgb},
                                     {"rgb", ast2100::PixelFormat::rgb},
                                     {"i420", ast2100::PixelFormat::i420},
                                     {"i444", ast2100::PixelFormat::i444}};
constexpr size_t kCount = std::size(kContenders);

// A one-off decode whose DCT macroblocks are left undrawn: the kernels this
// CPU runs, with RGB's conversion and store a no-op. VQ macroblocks are still
// drawn (the real set has few), so the floor is, if anything, a little high.
const ast2100::Kernels& undrawn_kernels() {
  static const ast2100::Kernels kernels = [] {
    ast2100::Kernels k = ast2100::best_kernels();
    k.yuv_to_rgb[static_cast<size_t>(ast2100::PixelFormat::rgb)] = [](const ast2100::YuvMacroblock&, uint64_t, uint64_t,
                                                                      const ast2100::FrameView&, bool) noexcept {};
    return k;
  }();
  return kernels;
}

// Geometric means and the worst of a set of ratios, in all and per mode.
struct Ratios {
  const char* name;
  std::vector<double> logs[2];  // per mode: 0 for 444, 1 for 422
  double worst = 0;
  std::string worst_at;

  void add(double ratio, bool subsampled, const char* frame) {
    logs[subsampled ? 1 : 0].push_back(std::log(ratio));
    if (ratio > worst) worst = ratio, worst_at = frame;
  }
  void print() const {
    auto mean = [](const std::vector<double>& l) {
      double sum = 0;
      for (double x : l) sum += x;
      return l.empty() ? 0.0 : std::exp(sum / static_cast<double>(l.size()));
    };
    std::vector<double> all = logs[0];
    all.insert(all.end(), logs[1].begin(), logs[1].end());
    std::printf("%-20s geometric mean %.3f (mode 444 %.3f, mode 422 %.3f), worst %.3f (%s)\n", name, mean(all),
                mean(logs[0]), mean(logs[1]), worst, worst_at.c_str());
  }
};
}  // namespace

int main(int argc, char** argv) {
  int a = 2;
  std::string only;
  if (argc > 3 && std::strcmp(argv[2], "--only") == 0) only = argv[3], a = 4;
  if (argc < a + 3 || (argc - a) % 3 != 0) {
    std::fprintf(stderr, "usage: screen_path_bench ROUNDS [--only NAME] FRAME WIDTH HEIGHT [...]\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  Ratios ratios[4] = {{"screen rgb / decode", {}, 0, {}},
                      {"i420 / rgb", {}, 0, {}},
                      {"i444 / rgb", {}, 0, {}},
                      {"floor / rgb", {}, 0, {}}};
  for (; a + 2 < argc; a += 3) {
    std::ifstream in(argv[a], std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const uint64_t width = std::strtoull(argv[a + 1], nullptr, 10);
    const uint64_t height = std::strtoull(argv[a + 2], nullptr, 10);
    std::vector<uint8_t> picture(width * height * 3);
    std::vector<std::unique_ptr<ast2100::Screen>> screens;
    std::vector<std::function<bool()>> calls;
    std::vector<ast2100::Rect> rects;
    ast2100::FrameDecoder probe;
    if (!ast2100::FrameDecoder::setup(data, width, height, picture.size(), probe).ok()) {
      std::fprintf(stderr, "%s does not decode\n", argv[a]);
      return 1;
    }
    for (const Contender& c : kContenders) {
      const bool undrawn = std::strcmp(c.name, "undrawn") == 0;
      if (undrawn || std::strcmp(c.name, "decode") == 0) {
        calls.push_back([&, undrawn] {
          ast2100::FrameDecoder decoder;
          if (!ast2100::FrameDecoder::setup(data, width, height, picture.size(), decoder).ok()) return false;
          if (undrawn) decoder.kernels = &undrawn_kernels();
          return decoder.run_fresh(picture).ok();
        });
        continue;
      }
      screens.push_back(std::make_unique<ast2100::Screen>(width, height, 0, c.format));
      ast2100::Screen* s = screens.back().get();
      s->set_threads(ast2100::Threads::one);
      if (!s->allocate(UINT64_MAX >> 1)) return 1;
      calls.push_back([s, &data, &rects] {
        rects.clear();
        return s->apply(data, rects).ok();
      });
    }
    std::vector<double> ms[kCount];
    for (int r = -2; r < rounds; ++r) {
      for (size_t k = 0; k < kCount; ++k) {
        const size_t i = r % 2 == 0 ? k : kCount - 1 - k;  // the order alternates
        if (!only.empty() && only != kContenders[i].name) continue;
        const double t = thread_ms();
        if (!calls[i]()) {
          std::fprintf(stderr, "%s does not decode\n", argv[a]);
          return 1;
        }
        if (r >= 0) ms[i].push_back(thread_ms() - t);
      }
    }
    if (!only.empty()) continue;
    double m[kCount];
    for (size_t i = 0; i < kCount; ++i) m[i] = median(ms[i]);
    const double decode = m[0], undrawn = m[1], rgb = m[2];
    const double ratio[4] = {rgb / decode, m[3] / rgb, m[4] / rgb, (rgb - (decode - undrawn)) / rgb};
    std::printf(
        "%-40s decode %7.3f  undrawn %7.3f  rgb %7.3f  i420 %7.3f  i444 %7.3f ms | rgb/decode %.3f  i420/rgb %.3f  "
        "i444/rgb %.3f  floor/rgb %.3f\n",
        argv[a], decode, undrawn, rgb, m[3], m[4], ratio[0], ratio[1], ratio[2], ratio[3]);
    for (int j = 0; j < 4; ++j) ratios[j].add(ratio[j], probe.subsampled, argv[a]);
  }
  if (!only.empty()) return 0;
  for (const Ratios& r : ratios) r.print();
  return 0;
}

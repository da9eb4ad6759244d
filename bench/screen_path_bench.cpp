// Thread CPU time of Screen::apply on one thread against a one-off decode of
// the same frame (FrameDecoder::run_fresh, as decode_frame draws), and of the
// planar formats against RGB, in interleaved rounds: what the screen adds (its
// journal, rectangles and set-up) without the Python boundary.
//
//   screen_path_bench ROUNDS [--only NAME] FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]
//
// NAME (decode, rgb, i420 or i444) runs that contender alone, for a profiler.
// Prints per frame the median CPU time of each contender in ms and the ratios
// screen / decode and planar / RGB, then their geometric means and worst frame.
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

#include "ast2100/screen.hpp"

namespace {
double thread_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Contender {
  const char* name;
  ast2100::PixelFormat format;  // of the screen; decode has none
};
constexpr Contender kContenders[] = {{"decode", ast2100::PixelFormat::rgb},
                                     {"rgb", ast2100::PixelFormat::rgb},
                                     {"i420", ast2100::PixelFormat::i420},
                                     {"i444", ast2100::PixelFormat::i444}};
constexpr size_t kCount = std::size(kContenders);
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
  std::vector<double> logs[3];  // rgb / decode, i420 / rgb, i444 / rgb
  double worst[3] = {0, 0, 0};
  std::string worst_at[3];
  for (; a + 2 < argc; a += 3) {
    std::ifstream in(argv[a], std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const uint64_t width = std::strtoull(argv[a + 1], nullptr, 10);
    const uint64_t height = std::strtoull(argv[a + 2], nullptr, 10);
    std::vector<uint8_t> picture(width * height * 3);
    std::vector<std::unique_ptr<ast2100::Screen>> screens;
    std::vector<std::function<bool()>> calls;
    std::vector<ast2100::Rect> rects;
    for (const Contender& c : kContenders) {
      if (std::strcmp(c.name, "decode") == 0) {
        calls.push_back([&] {
          ast2100::FrameDecoder decoder;
          return ast2100::FrameDecoder::setup(data, width, height, picture.size(), decoder).ok() &&
                 decoder.run_fresh(picture).ok();
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
    const double ratio[3] = {m[1] / m[0], m[2] / m[1], m[3] / m[1]};
    std::printf(
        "%-40s decode %7.3f  rgb %7.3f  i420 %7.3f  i444 %7.3f ms | rgb/decode %.3f  i420/rgb %.3f  i444/rgb %.3f\n",
        argv[a], m[0], m[1], m[2], m[3], ratio[0], ratio[1], ratio[2]);
    for (int j = 0; j < 3; ++j) {
      logs[j].push_back(std::log(ratio[j]));
      if (ratio[j] > worst[j]) worst[j] = ratio[j], worst_at[j] = argv[a];
    }
  }
  if (!only.empty()) return 0;
  const char* names[3] = {"screen rgb / decode", "i420 / rgb", "i444 / rgb"};
  for (int j = 0; j < 3; ++j) {
    double sum = 0;
    for (double l : logs[j]) sum += l;
    std::printf("%-20s geometric mean %.3f, worst %.3f (%s)\n", names[j],
                std::exp(sum / static_cast<double>(logs[j].size())), worst[j], worst_at[j].c_str());
  }
  return 0;
}

// Thread CPU time of Screen::apply in every pixel format, each beside RGB in
// the same rounds: time that other processes take on a shared machine is not
// counted, as it is in wall time.
//
//   screen_cpu_bench ROUNDS FRAME WIDTH HEIGHT
//
// Makes one screen per format, applies the frame to each once untimed (the
// picture and its journal touched), then ROUNDS times in turn, and prints per
// format the least and the median CPU time of one apply in ms and their
// ratios to RGB's.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "ast2100/screen.hpp"
#include "cpu_time.hpp"

namespace {
using bench::thread_ms;
struct Named {
  const char* name;
  ast2100::PixelFormat format;
};
constexpr Named kFormats[] = {{"RGB", ast2100::PixelFormat::rgb},   {"BGR", ast2100::PixelFormat::bgr},
                              {"RGBX", ast2100::PixelFormat::rgbx}, {"BGRX", ast2100::PixelFormat::bgrx},
                              {"XRGB", ast2100::PixelFormat::xrgb}, {"XBGR", ast2100::PixelFormat::xbgr},
                              {"GRAY", ast2100::PixelFormat::gray}};
constexpr size_t kCount = std::size(kFormats);
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: screen_cpu_bench ROUNDS FRAME WIDTH HEIGHT\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  std::ifstream in(argv[2], std::ios::binary);
  const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const uint64_t width = std::strtoull(argv[3], nullptr, 10);
  const uint64_t height = std::strtoull(argv[4], nullptr, 10);
  std::vector<std::unique_ptr<ast2100::Screen>> screens;
  for (const Named& f : kFormats) {
    screens.push_back(std::make_unique<ast2100::Screen>(width, height, 0, f.format));
    if (!screens.back()->allocate(UINT64_MAX >> 1)) {
      std::fprintf(stderr, "no memory for a %s screen\n", f.name);
      return 1;
    }
  }
  std::vector<std::vector<double>> ms(kCount);
  std::vector<ast2100::Rect> rects;
  for (int r = -1; r < rounds; ++r) {
    for (size_t i = 0; i < kCount; ++i) {
      rects.clear();
      const double t = thread_ms();
      if (!screens[i]->apply(data, rects).ok()) {
        std::fprintf(stderr, "the frame fails\n");
        return 1;
      }
      if (r >= 0) ms[i].push_back(thread_ms() - t);
    }
  }
  double least_rgb = 0, median_rgb = 0;
  for (size_t i = 0; i < kCount; ++i) {
    std::sort(ms[i].begin(), ms[i].end());
    const double least = ms[i].front(), median = ms[i][ms[i].size() / 2];
    if (i == 0) least_rgb = least, median_rgb = median;
    std::printf("%-5s least %7.3f ms (%.3f x RGB)  median %7.3f ms (%.3f x RGB)\n", kFormats[i].name, least,
                least / least_rgb, median, median / median_rgb);
  }
  return 0;
}

// Screen::apply on one thread against two, without Python: wall time and the
// process's CPU time (both threads) of each, round by round in alternation.
//
//   screen_threads_bench ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]
//
// Each frame is applied over and over to two screens, one drawing on one
// thread and one on two (threads=2: always, so a busy machine shows as it
// is); per frame it prints the median wall ms of each, their ratio, and the
// ratio of their CPU times. To see what two free cores give on a machine that
// others share, run it at a real-time priority (chrt -f 10 ...), which also
// shows how far the figures are from the machine's state.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "ast2100/screen.hpp"

namespace {
double process_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 2) % 3 != 0) {
    std::fprintf(stderr, "usage: screen_threads_bench ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  std::printf("frame | one thread ms | two threads ms | two / one | CPU: two / one\n");
  for (int a = 2; a + 2 < argc; a += 3) {
    std::ifstream in(argv[a], std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const uint64_t width = std::strtoull(argv[a + 1], nullptr, 10);
    const uint64_t height = std::strtoull(argv[a + 2], nullptr, 10);
    ast2100::Screen screens[2] = {{width, height, 0}, {width, height, 0}};
    screens[0].set_threads(ast2100::Threads::one);
    screens[1].set_threads(ast2100::Threads::two);
    std::vector<double> wall[2], cpu[2];
    std::vector<ast2100::Rect> rects;
    for (int s = 0; s < 2; ++s) {
      if (!screens[s].allocate(UINT64_MAX >> 1)) return 1;
    }
    for (int r = 0; r <= rounds; ++r) {
      for (int s = 0; s < 2; ++s) {
        rects.clear();
        const double c0 = process_ms();
        const auto t0 = std::chrono::steady_clock::now();
        if (!screens[s].apply(data, rects).ok()) {
          std::fprintf(stderr, "screen_threads_bench: %s does not decode\n", argv[a]);
          return 1;
        }
        const auto t1 = std::chrono::steady_clock::now();
        // The worker may still spin for a moment after the frame: let it stop,
        // so that its CPU time counts for this frame.
        if (s == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (r > 0) {
          wall[s].push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
          cpu[s].push_back(process_ms() - c0);
        }
      }
    }
    const double w1 = median(wall[0]), w2 = median(wall[1]);
    std::printf("%s | %.3f | %.3f | %.3f | %.3f\n", argv[a], w1, w2, w2 / w1, median(cpu[1]) / median(cpu[0]));
  }
  return 0;
}

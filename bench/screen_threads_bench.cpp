// Screen::apply on one thread against two, without Python: wall time and the
// process's CPU time (both threads) of each, round by round in alternation.
//
//   screen_threads_bench ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]
//
// Each frame is applied over and over to two screens, one drawing on one
// thread and one on two (threads=2: always, so a busy machine shows as it
// is); per frame it prints the median wall ms of each, their ratio, and the
// ratio of their CPU times. Last, the bound of two threads: the thread CPU time
// of the stream half alone (the record loop and decode_dct_lists / decode_vq into
// macroblocks that nothing draws) over that of a whole serial decode. To see what two free cores give on a machine that
// others share, run it at a real-time priority (chrt -f 10 ...), which also
// shows how far the figures are from the machine's state. First, the time a
// cache line takes to go from one thread to the other and back, which on a
// virtual machine changes with where the host puts its CPUs, and which the
// hand-over pays for every line of every slot.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "ast2100/huffman.hpp"
#include "ast2100/screen.hpp"
#include "cpu_time.hpp"

namespace {
using bench::median;
using bench::thread_ms;
// Decodes each macroblock from the stream and draws nothing.
struct StreamHalf final : ast2100::MacroblockSink {
  ast2100::SparseBlocks dct_out;
  ast2100::VqMacroblock vq_out;
  void dct(const ast2100::FrameTarget& t, ast2100::MacroblockPosition, uint32_t pair,
           ast2100::StreamState& s) noexcept override {
    ast2100::decode_dct_lists(t, pair, s, dct_out);
  }
  void vq(const ast2100::FrameTarget&, ast2100::MacroblockPosition, ast2100::StreamState& s) noexcept override {
    ast2100::decode_vq(s, vq_out);
  }
};

// Median thread CPU ms of decoding the frame with `sink` (nullptr: drawing too).
double decode_ms(const std::vector<uint8_t>& data, uint64_t width, uint64_t height, ast2100::MacroblockSink* sink,
                 int rounds) {
  std::vector<uint8_t> picture(width * height * 3);
  std::vector<double> ms;
  for (int r = 0; r <= rounds; ++r) {
    ast2100::FrameDecoder decoder;
    if (!ast2100::FrameDecoder::setup(data, width, height, picture.size(), decoder).ok()) return 0;
    decoder.sink = sink;
    const double t0 = thread_ms();
    static_cast<void>(decoder.run(picture));
    if (r > 0) ms.push_back(thread_ms() - t0);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

double process_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Nanoseconds for a counter to go to another thread and back (the median of
// five runs of 20000 round trips).
double round_trip_ns() {
  std::vector<double> ns;
  for (int run = 0; run < 5; ++run) {
    constexpr int kTrips = 20000;
    alignas(64) std::atomic<int> turn{0};
    std::thread echo([&] {
      for (int i = 0; i < kTrips; ++i) {
        while (turn.load(std::memory_order_acquire) != 2 * i + 1) {}
        turn.store(2 * i + 2, std::memory_order_release);
      }
    });
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kTrips; ++i) {
      turn.store(2 * i + 1, std::memory_order_release);
      while (turn.load(std::memory_order_acquire) != 2 * i + 2) {}
    }
    ns.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / kTrips);
    echo.join();
  }
  return median(ns);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 2) % 3 != 0) {
    std::fprintf(stderr, "usage: screen_threads_bench ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  std::printf("a cache line between two threads and back: %.0f ns\n", round_trip_ns());
  std::printf("frame | one thread ms | two threads ms | two / one | CPU: two / one | stream half / serial\n");
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
    StreamHalf stream_half;
    const double half =
        decode_ms(data, width, height, &stream_half, rounds) / decode_ms(data, width, height, nullptr, rounds);
    std::printf("%s | %.3f | %.3f | %.3f | %.3f | %.3f\n", argv[a], w1, w2, w2 / w1, median(cpu[1]) / median(cpu[0]),
                half);
  }
  return 0;
}

// Screens that draw on two threads against screens that draw on one: the same
// pixels and the same rectangles after every frame, key and delta frames of
// both modes and odd sizes, full size and thumbnails in every pixel format; a
// failing frame leaves the picture as it was; the automatic setting gives the
// same results; several screens on several threads at once. Built with
// ThreadSanitizer as well (./dev tsan), where these runs are what it watches.
#include <atomic>
#include <cstdint>
#include <iostream>
#include <random>
#include <thread>
#include <vector>

#include "ast2100/pipeline.hpp"
#include "ast2100/screen.hpp"
#include "random_frame.hpp"

// The core's test hook: a screen whose worker is left part-way through every
// frame, as when it does not keep up.
namespace ast2100::testing {
struct PipelineHook {
  // Frames that the screen draws on two threads go on without the worker after
  // `macroblocks` macroblocks. Starts the screen's pipeline if it has none yet;
  // false when it cannot be had.
  static bool give_up_after(Screen& screen, uint32_t macroblocks) {
    if (!screen.pipeline_) screen.pipeline_ = DrawPipeline::start();
    if (!screen.pipeline_) return false;
    screen.pipeline_->producer_.give_up_after = macroblocks;
    return true;
  }
};
}  // namespace ast2100::testing

using namespace ast2100;
using namespace ast2100_test;
using ast2100::testing::PipelineHook;

namespace {
std::atomic<int> g_failed{0};
std::atomic<int> g_passed{0};

#define CHECK(c)                                                                          \
  do {                                                                                    \
    if (c) {                                                                              \
      ++g_passed;                                                                         \
    } else {                                                                              \
      ++g_failed;                                                                         \
      std::cerr << __FILE__ << ':' << __LINE__ << ": " #c " failed (" << g_what << ")\n"; \
      return false;                                                                       \
    }                                                                                     \
  } while (0)

thread_local std::string g_what;

// The frame without its last word: no FRAME_END, so it fails (at the block
// limit, or at an unknown code) after drawing what came before.
std::vector<uint8_t> failing(std::vector<uint8_t> frame) {
  frame.resize(frame.size() > 16 ? frame.size() - 4 : 12);
  if (frame.size() == 12) frame.assign({0, 0, 1, frame[3], 0, 0, 0, 0x10, 0, 0, 0, 0});  // code 1 first
  return frame;
}

// A run of frames on two screens of one size, format and scale, one drawing on
// one thread and the other with `threads`; after each frame both agree, and a
// failed frame left the picture as before. give_up: frames whose drawing
// leaves the worker part-way, at a random macroblock.
bool same_run(std::mt19937& rng, Threads threads, int frames, bool give_up = false,
              PixelFormat format = PixelFormat::rgb, uint32_t scale = 1) {
  const bool sub = rng() % 2;
  const uint64_t w = 1 + rng() % 260, h = 1 + rng() % 200;
  g_what = std::to_string(w) + "x" + std::to_string(h) + (sub ? " mode 422" : " mode 444") + " format " +
           std::to_string(static_cast<int>(format)) + " scale " + std::to_string(scale);
  Screen one(w, h, 0, format, scale), two(w, h, 0, format, scale);
  one.set_threads(Threads::one);
  two.set_threads(threads);
  CHECK(one.allocate(UINT64_MAX >> 1) && two.allocate(UINT64_MAX >> 1));
  const uint64_t n = sub ? 16 : 8, mbs = ((w + n - 1) / n) * ((h + n - 1) / n);
  for (int f = 0; f < frames; ++f) {
    // Key frames (raster, every macroblock and more) and delta frames that jump.
    const bool key = f % 3 == 0;
    std::vector<uint8_t> data =
        random_frame(rng, sub, static_cast<int>(key ? mbs + rng() % 8 : 1 + rng() % (mbs + 1)), key);
    const bool fail = f % 4 == 3;
    if (fail) data = failing(std::move(data));
    if (give_up) CHECK(PipelineHook::give_up_after(two, static_cast<uint32_t>(rng() % (mbs + 2))));
    const std::vector<uint8_t> before(two.pixels().begin(), two.pixels().end());
    std::vector<Rect> r1, r2;
    const ApplyResult a1 = one.apply(data, r1), a2 = two.apply(data, r2);
    CHECK(a1.ok() == !fail && a2.ok() == a1.ok());
    CHECK(a1.status.failure == a2.status.failure && a1.status.value == a2.status.value);
    CHECK(r1 == r2);
    CHECK(std::equal(one.pixels().begin(), one.pixels().end(), two.pixels().begin(), two.pixels().end()));
    if (fail) CHECK(std::equal(before.begin(), before.end(), two.pixels().begin(), two.pixels().end()));
    CHECK(one.frames_applied() == two.frames_applied());
  }
  return true;
}

void test_threaded_equals_serial() {
  std::mt19937 rng(7);
  for (int run = 0; run < 40; ++run) {
    if (!same_run(rng, Threads::two, 6)) return;
  }
  // The worker left part-way: the journal copies it was to make are made by
  // the filler, and a failing frame still comes back exactly.
  for (int run = 0; run < 30; ++run) {
    if (!same_run(rng, Threads::two, 6, true)) return;
  }
  // Thumbnails, in every pixel format: a DCT macroblock crosses as its
  // coefficients, 16-bit where they all fit and 32-bit where one does not
  // (the random levels reach both), and the worker draws it scaled.
  for (int run = 0; run < 42; ++run) {
    const auto format = static_cast<PixelFormat>(run % 7);
    if (!same_run(rng, Threads::two, 6, run % 2 == 1, format, 2u << (run % 3))) return;
  }
  // Automatically, large frames go to the worker and small ones do not: the
  // same pictures either way.
  for (int run = 0; run < 6; ++run) {
    if (!same_run(rng, Threads::automatic, 6)) return;
  }
}

// Frames large enough for many rounds of the ring, and a picture kept across
// them; the ring's slots are reused many times over in one frame.
void test_large_frames() {
  std::mt19937 rng(11);
  for (const bool sub : {false, true}) {
    g_what = sub ? "large, mode 422" : "large, mode 444";
    const uint64_t w = 640, h = 352, n = sub ? 16 : 8, mbs = (w / n) * (h / n);
    // Large enough for the automatic setting to try two threads too.
    Screen one(w, h, 0), two(w, h, 0), automatic(w, h, 0);
    one.set_threads(Threads::one);
    two.set_threads(Threads::two);
    auto check = [&]() -> bool {
      CHECK(one.allocate(UINT64_MAX >> 1) && two.allocate(UINT64_MAX >> 1) && automatic.allocate(UINT64_MAX >> 1));
      for (int f = 0; f < 6; ++f) {
        std::vector<uint8_t> data = random_frame(rng, sub, static_cast<int>(mbs), f % 2 == 0);
        if (f == 3) data = failing(std::move(data));
        std::vector<Rect> r1, r2, r3;
        const ApplyResult a1 = one.apply(data, r1), a2 = two.apply(data, r2), a3 = automatic.apply(data, r3);
        CHECK(a1.ok() == (f != 3) && a2.ok() == a1.ok() && a3.ok() == a1.ok() && r1 == r2 && r1 == r3);
        CHECK(std::equal(one.pixels().begin(), one.pixels().end(), two.pixels().begin(), two.pixels().end()));
        CHECK(
            std::equal(one.pixels().begin(), one.pixels().end(), automatic.pixels().begin(), automatic.pixels().end()));
      }
      return true;
    };
    if (!check()) return;
  }
}

// Screens on threads of their own, each with its worker: four at once on two
// CPUs, so that threads land on one core.
void test_screens_in_parallel() {
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &ok] {
      std::mt19937 rng(100 + static_cast<unsigned>(t));
      bool good = true;
      for (int run = 0; run < 4 && good; ++run) good = same_run(rng, Threads::two, 5);
      ok[t] = good;
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < 4; ++t) {
    if (ok[t] == 0) ++g_failed;
  }
}

// The 16-bit hand-over, with and without AVX2: values at and beyond the edges
// of the 16-bit range refuse it, the rest come back unchanged.
void test_narrowing() {
  std::mt19937 rng(5);
  const int32_t edges[] = {0, 1, -1, 32767, -32768, 32768, -32769, 65535, -65536, INT32_MAX, INT32_MIN};
  g_what = "narrowing";
  auto check = [&]() -> bool {
    for (int round = 0; round < 3000; ++round) {
      alignas(64) int32_t in[384], back[384];
      alignas(64) int16_t a[384], b[384];
      const size_t n = round % 2 ? 384 : 192;
      for (size_t i = 0; i < n; ++i) in[i] = static_cast<int32_t>(rng() % 2001) - 1000;
      const int wild = static_cast<int>(rng() % 4);  // how many values from the edges
      for (int k = 0; k < wild; ++k) in[rng() % n] = edges[rng() % std::size(edges)];
      bool fits = true;
      for (size_t i = 0; i < n; ++i) fits = fits && in[i] >= -32768 && in[i] <= 32767;
      CHECK(narrow_coefficients(in, n, a, false) == fits && narrow_coefficients(in, n, b, true) == fits);
      if (!fits) continue;
      CHECK(std::equal(a, a + n, b));
      widen_coefficients(a, n, back, false);
      CHECK(std::equal(in, in + n, back));
      widen_coefficients(b, n, back, true);
      CHECK(std::equal(in, in + n, back));
    }
    return true;
  };
  check();
}

}  // namespace

int main() {
  test_narrowing();
  test_threaded_equals_serial();
  test_large_frames();
  test_screens_in_parallel();
  std::cout << "pipeline tests: " << g_passed << " passed, " << g_failed << " failed\n";
  return g_failed == 0 ? 0 : 1;
}

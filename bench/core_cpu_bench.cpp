// Thread CPU time of the decoder core on frame files, for before/after
// comparisons on a shared machine: time the other processes take from this one
// is not counted, as it is in wall time.
//
//   core_cpu_bench ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]
//
// Decodes each frame ROUNDS times (after one untimed decode) as decode_frame
// does, and prints per frame the least and the median thread CPU time of one
// decode in ms. Build it from two trees (the baseline and the change) and run
// the two binaries in alternation; compare the least times.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

#include "ast2100/frame.hpp"
#include "cpu_time.hpp"

using bench::thread_ms;

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 2) % 3 != 0) {
    std::fprintf(stderr, "usage: core_cpu_bench ROUNDS FRAME WIDTH HEIGHT [FRAME WIDTH HEIGHT ...]\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  for (int a = 2; a + 2 < argc; a += 3) {
    std::ifstream in(argv[a], std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const uint64_t width = std::strtoull(argv[a + 1], nullptr, 10);
    const uint64_t height = std::strtoull(argv[a + 2], nullptr, 10);
    std::vector<uint8_t> picture(width * height * 3);
    std::vector<double> ms;
    for (int r = 0; r <= rounds; ++r) {
      const double t0 = thread_ms();
      ast2100::FrameDecoder decoder;
      if (!ast2100::FrameDecoder::setup(data, width, height, picture.size(), decoder).ok() ||
          !decoder.run_fresh(picture).ok()) {
        std::fprintf(stderr, "core_cpu_bench: %s does not decode\n", argv[a]);
        return 1;
      }
      if (r > 0) ms.push_back(thread_ms() - t0);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%s %.3f %.3f\n", argv[a], ms.front(), ms[ms.size() / 2]);
  }
  return 0;
}

// Times the decoder core alone, without Python, for profiling.
//
//   decode_bench FRAME WIDTH HEIGHT [ROUNDS] [--jpeg FILE]
//
// Decodes FRAME (a compressed frame file) ROUNDS times (default 200) as
// decode_frame does: the set-up with its tables on every call, then the
// records into a picture that is not zero-filled first (or is, for a frame
// too short to draw every macroblock). The picture is allocated once, so the
// figures leave out the allocator and Python. Prints the best and the median
// time of a decode, in CPU time of the thread and in wall time.
//
// With --jpeg, and when built against libjpeg (Debian: libjpeg62-turbo-dev),
// each round also decodes FILE to RGB with libjpeg's fast integer DCT and
// without fancy upsampling, the settings of simplejpeg's fastdct=True,
// fastupsample=True, back to back with the frame, and prints the ratio.
//
// Under perf or callgrind, `--only frame` or `--only jpeg` runs one of the two;
// either runs ROUNDS + 1 decodes in all (the first one checks the input).
#include <algorithm>
#include <chrono>
#include <cstdint>
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

#ifdef QUORVEL_BENCH_JPEG
#include <jpeglib.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "decode_bench: cannot read %s\n", path);
    std::exit(1);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint64_t parse_count(const char* text, const char* what) {
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || v == 0) {
    std::fprintf(stderr, "decode_bench: %s must be a positive number, not %s\n", what, text);
    std::exit(2);
  }
  return v;
}

// One decode as the extension module does it; false (after a message) if the frame fails.
[[gnu::noinline]] bool decode(const std::vector<uint8_t>& data, uint64_t width, uint64_t height,
                              std::span<uint8_t> picture) {
  ast2100::FrameDecoder decoder;
  ast2100::Status status = ast2100::FrameDecoder::setup(data, width, height, picture.size(), decoder);
  if (status.ok()) {
    if (decoder.may_draw_every_macroblock(data.size())) {
      status = decoder.run_fresh(picture);
    } else {
      std::fill(picture.begin(), picture.end(), uint8_t{0});
      status = decoder.run(picture);
    }
  }
  if (!status.ok()) {
    std::array<char, 64> message{};
    status.message(message);
    std::fprintf(stderr, "decode_bench: %s\n", message.data());
    return false;
  }
  return true;
}

#ifdef QUORVEL_BENCH_JPEG
// Decodes a JPEG to RGB into picture (width * height * 3 bytes, checked by the caller).
[[gnu::noinline]] void decode_jpeg(const std::vector<uint8_t>& jpeg, std::vector<uint8_t>& picture, uint64_t& width,
                                   uint64_t& height) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);  // a broken JPEG ends the process with libjpeg's message
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  cinfo.dct_method = JDCT_IFAST;
  cinfo.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&cinfo);
  width = cinfo.output_width;
  height = cinfo.output_height;
  const size_t stride = size_t{cinfo.output_width} * 3;
  picture.resize(stride * cinfo.output_height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = picture.data() + size_t{cinfo.output_scanline} * stride;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
}
#endif

struct Times {
  std::vector<double> ms;
  double best() const { return *std::min_element(ms.begin(), ms.end()); }
  double median() const {
    std::vector<double> s = ms;
    std::sort(s.begin(), s.end());
    return s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
  }
};

// The calling thread's CPU time in milliseconds: unlike the wall clock, it
// leaves out the time the thread spends preempted on a busy machine.
double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Runs f once; adds its wall and CPU milliseconds to the two series.
template <typename F>
void timed(F&& f, Times& wall, Times& cpu) {
  const auto t0 = Clock::now();
  const double c0 = cpu_ms();
  f();
  cpu.ms.push_back(cpu_ms() - c0);
  wall.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
}

void report(const char* what, const Times& wall, const Times& cpu, double megapixels) {
  std::printf("%s CPU best %.3f ms, median %.3f ms (%.0f MP/s); wall best %.3f ms, median %.3f ms\n", what, cpu.best(),
              cpu.median(), megapixels / cpu.median() * 1e3, wall.best(), wall.median());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> positional;
  const char* jpeg_path = nullptr;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--jpeg") == 0 && i + 1 < argc) {
      jpeg_path = argv[++i];
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() < 3 || positional.size() > 4 || (only != "" && only != "frame" && only != "jpeg") ||
      (only == "jpeg" && jpeg_path == nullptr)) {
    std::fprintf(stderr, "usage: decode_bench FRAME WIDTH HEIGHT [ROUNDS] [--jpeg FILE] [--only frame|jpeg]\n");
    return 2;
  }
  const std::vector<uint8_t> frame = read_file(positional[0]);
  const uint64_t width = parse_count(positional[1], "WIDTH");
  const uint64_t height = parse_count(positional[2], "HEIGHT");
  const uint64_t rounds = positional.size() > 3 ? parse_count(positional[3], "ROUNDS") : 200;
  if (width > (1u << 16) || height > (1u << 16)) {
    std::fprintf(stderr, "decode_bench: at most 65536 pixels a side\n");
    return 2;
  }
  std::unique_ptr<uint8_t[]> picture(new uint8_t[width * height * 3]);  // not zero-filled, as in the module
  const std::span<uint8_t> pixels{picture.get(), width * height * 3};

#ifdef QUORVEL_BENCH_JPEG
  std::vector<uint8_t> jpeg;
  std::vector<uint8_t> jpeg_picture;
  if (jpeg_path != nullptr && only != "frame") {
    jpeg = read_file(jpeg_path);
    uint64_t w = 0;
    uint64_t h = 0;
    decode_jpeg(jpeg, jpeg_picture, w, h);
    if (w != width || h != height) {
      std::fprintf(stderr, "decode_bench: the JPEG is %llux%llu, the frame %llux%llu\n",
                   static_cast<unsigned long long>(w), static_cast<unsigned long long>(h),
                   static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
      return 2;
    }
  }
#else
  if (only == "jpeg") {
    std::fprintf(stderr, "decode_bench: built without libjpeg (configure with libjpeg's headers installed)\n");
    return 2;
  }
  if (jpeg_path != nullptr) {
    std::fprintf(stderr, "decode_bench: built without libjpeg, so the frame alone is timed\n");
    jpeg_path = nullptr;
  }
#endif
  // Decided after the check above: a build without libjpeg has dropped jpeg_path.
  const bool run_frame = only != "jpeg";
  const bool run_jpeg = jpeg_path != nullptr && only != "frame";
  if (run_frame && !decode(frame, width, height, pixels)) return 1;

  Times ours;
  Times ours_cpu;
  Times theirs;
  Times theirs_cpu;
  for (uint64_t r = 0; r < rounds; ++r) {
    if (run_frame) timed([&] { decode(frame, width, height, pixels); }, ours, ours_cpu);
#ifdef QUORVEL_BENCH_JPEG
    if (run_jpeg) {
      uint64_t w = 0;
      uint64_t h = 0;
      timed([&] { decode_jpeg(jpeg, jpeg_picture, w, h); }, theirs, theirs_cpu);
    }
#endif
  }
  const double mp = static_cast<double>(width * height) / 1e6;
  std::printf("%llu rounds\n", static_cast<unsigned long long>(rounds));
  if (run_frame) report("frame:  ", ours, ours_cpu, mp);
  if (run_jpeg) report("libjpeg:", theirs, theirs_cpu, mp);
  if (run_frame && run_jpeg) {
    std::printf("frame / libjpeg (fast DCT, no fancy upsampling): CPU best %.3f, median %.3f; wall median %.3f\n",
                ours_cpu.best() / theirs_cpu.best(), ours_cpu.median() / theirs_cpu.median(),
                ours.median() / theirs.median());
  }
  return 0;
}

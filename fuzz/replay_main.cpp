// Runs the fuzz target over saved inputs without libFuzzer, so that ordinary
// builds (any compiler, with or without sanitizers) replay the seed corpus and
// every saved crash.
//
//   fuzz_replay PATH...   each PATH a file or a directory of files (not recursive)
//
// An input that breaks an invariant aborts inside the target; otherwise the
// driver prints how many inputs it ran and exits 0. Naming nothing that exists,
// or a directory without files, is an error: a replay that runs nothing proves
// nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static bool replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "fuzz_replay: cannot read %s\n", file.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A heap block of exactly the input's size, as libFuzzer hands it over.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return true;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_replay PATH...\n");
    return 2;
  }
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path path(argv[i]);
    std::error_code ec;
    std::vector<fs::path> files;
    if (fs::is_directory(path, ec)) {
      for (const auto& entry : fs::directory_iterator(path, ec)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(path, ec)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "fuzz_replay: no such file or directory: %s\n", argv[i]);
      return 1;
    }
    if (files.empty()) {
      std::fprintf(stderr, "fuzz_replay: no inputs in %s\n", argv[i]);
      return 1;
    }
    for (const auto& f : files) {
      if (!replay(f)) return 1;
      ++count;
    }
  }
  std::printf("fuzz_replay: %zu inputs replayed, every invariant held\n", count);
  return 0;
}

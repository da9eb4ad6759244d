// Random frames for the core's tests: a bit writer of the stream's 32-bit
// little-endian words, the canonical code words of the Huffman tables, and
// well-formed frames of every kind of record.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "ast2100/huffman.hpp"

namespace ast2100_test {
using namespace ast2100;

// A random but well-formed frame: records of every kind with Huffman-coded
// random levels (small, large and extreme), VQ headers and pixel codes, and
// explicit positions, ending in FRAME_END.
struct FrameBits {
  std::vector<uint8_t> bytes{0, 0, 0, 0};
  uint64_t acc = 0;
  int n = 0;
  void put(uint32_t v, int len) {
    for (int i = len - 1; i >= 0; --i) {
      acc = acc << 1 | ((v >> i) & 1u);
      if (++n == 32) flush();
    }
  }
  void flush() {
    const uint32_t w = static_cast<uint32_t>(acc << (32 - n));
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    acc = 0, n = 0;
  }
};

struct Coder {  // canonical code words of one table
  std::array<std::pair<uint32_t, int>, 256> word{};
  explicit Coder(const HuffmanCode& c) {
    uint32_t code = 0, i = 0;
    for (int len = 1; len <= 16; ++len, code <<= 1)
      for (int j = 0; j < c.counts[len - 1]; ++j) word[c.symbols[i++]] = {code++, len};
  }
};

inline void put_value(FrameBits& b, const Coder& c, int32_t v, uint32_t run) {
  const uint32_t mag = static_cast<uint32_t>(v < 0 ? -v : v);
  const int size = mag == 0 ? 0 : std::bit_width(mag);
  const auto [w, len] = c.word[run << 4 | static_cast<uint32_t>(size)];
  b.put(w, len);
  if (size) b.put(v < 0 ? static_cast<uint32_t>(v + (1 << size) - 1) : mag, size);
}

inline std::vector<uint8_t> random_frame(std::mt19937& gen, bool sub, int records, bool raster = false) {
  auto rng = [&gen] { return static_cast<uint32_t>(gen()); };
  static const Coder ldc(kLumaDcCode), lac(kLumaAcCode), cdc(kChromaDcCode), cac(kChromaAcCode);
  FrameBits b;
  b.bytes[2] = 1, b.bytes[3] = sub ? 0xA6 : 0xBC;
  int32_t dc[3] = {0, 0, 0};
  for (int i = 0; i < records; ++i) {
    const uint32_t kind = rng() % 4, at = raster ? 0 : rng() % 2;
    if (kind < 2) {  // DCT or DCT_ALT
      b.put((kind ? 4u : 0u) | (at ? 8u : 0u), 4);
      if (at) b.put(rng() % 24, 8), b.put(rng() % 24, 8);
      const int blocks = sub ? 6 : 3;
      for (int k = 0; k < blocks; ++k) {
        const int comp = k < blocks - 2 ? 0 : k - (blocks - 3);
        const int32_t next = std::clamp(dc[comp] + static_cast<int32_t>(rng() % 4001) - 2000, -2047, 2047);
        put_value(b, comp ? cdc : ldc, next - dc[comp], 0);
        dc[comp] = next;
        const Coder& ac = comp ? cac : lac;
        const int density = static_cast<int>(rng() % 4);  // empty, sparse, busy, full
        uint32_t run = 0;
        for (int z = 1; z < 64; ++z) {
          const bool coded = density == 3 || (density > 0 && rng() % (density == 1 ? 12 : 3) == 0);
          if (!coded) {
            ++run;
            continue;
          }
          for (; run > 15; run -= 16) put_value(b, ac, 0, 15);  // sixteen zeros
          const int32_t mag = static_cast<int32_t>(rng() % 8 ? 1 + rng() % 40 : 1 + rng() % 1023);
          put_value(b, ac, rng() % 2 ? mag : -mag, run);
          run = 0;
        }
        if (run) put_value(b, ac, 0, 0);  // end of block
      }
    } else {  // VQ_1, VQ_2 or VQ_4
      const uint32_t bits = rng() % 3;
      b.put((5 + bits) | (at ? 8u : 0u), 4);
      if (at) b.put(rng() % 24, 8), b.put(rng() % 24, 8);
      for (uint32_t e = 0; e < (1u << bits); ++e) {
        const bool fresh = rng() % 2;
        b.put((fresh ? 4u : 0u) | (rng() % 4), 3);
        if (fresh) b.put(rng() & 0xFFFFFF, 24);
      }
      if (bits)
        for (int p = 0; p < 64; ++p) b.put(rng() % (1u << bits), static_cast<int>(bits));
    }
  }
  b.put(9, 4);  // FRAME_END
  if (b.n) b.flush();
  if (b.bytes.size() < 12) b.bytes.resize(12);  // the reader's two words
  return b.bytes;
}

}  // namespace ast2100_test

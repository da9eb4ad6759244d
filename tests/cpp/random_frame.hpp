// Streams for the core's tests, written with the fuzzer's record writer
// (fuzz/record_writer.hpp): its bit packing and its canonical code words, which
// it builds from code counts of its own, so that a fault in the decoder's
// tables or reader is not copied into the streams that test them. Used by
// core_tests.cpp (code words and levels one at a time, and whole frames) and
// pipeline_tests.cpp (whole frames).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "record_writer.hpp"

namespace ast2100_test {

// A level as the stream codes it after `run` zeros: the symbol (run in the high
// nibble, the magnitude's bit count in the low one) and that many bits, the
// magnitude itself for a positive level, level - 1 in two's complement, cut to
// those bits, for a negative one. A DC difference is the same with run 0.
inline records::AcSymbol coded(uint32_t run, int32_t level) {
  const uint32_t u = static_cast<uint32_t>(level);
  const uint32_t size = static_cast<uint32_t>(std::bit_width(level < 0 ? 0u - u : u));
  const uint32_t bits = (level < 0 ? u - 1 : u) & static_cast<uint32_t>((uint64_t{1} << size) - 1);
  return {static_cast<uint8_t>(run << 4 | size), static_cast<uint16_t>(bits)};
}

// The symbol's code word, then its bits.
inline void put_coded(records::BitWriter& w, const records::HuffCode& code, records::AcSymbol s) {
  code.put(w, s.rs);
  w.put(s.bits, s.rs & 15u);
}

// A random but well-formed frame: `count` records of every kind, DCT blocks with
// random levels (small, large and extreme; empty, sparse, busy and full blocks),
// VQ headers and pixel codes, explicit positions (none when `raster`), ending in
// FRAME_END.
inline std::vector<uint8_t> random_frame(std::mt19937& gen, bool sub, int count, bool raster = false) {
  auto rng = [&gen] { return static_cast<uint32_t>(gen()); };
  records::Frame f;
  f.subsampled = sub;
  int32_t dc[3] = {0, 0, 0};
  for (int i = 0; i < count; ++i) {
    records::Record& r = f.records.emplace_back();
    const uint32_t kind = rng() % 4, at = raster ? 0 : rng() % 2;
    const auto position = [&] {
      if (!at) return;
      r.col = static_cast<uint8_t>(rng() % 24);
      r.row = static_cast<uint8_t>(rng() % 24);
    };
    if (kind < 2) {  // DCT or DCT_ALT
      r.code = (kind ? 4u : 0u) | (at ? 8u : 0u);
      position();
      const int blocks = sub ? 6 : 3;
      for (int k = 0; k < blocks; ++k) {
        records::Block& b = r.blocks.emplace_back();
        const int comp = k < blocks - 2 ? 0 : k - (blocks - 3);
        const int32_t next = std::clamp(dc[comp] + static_cast<int32_t>(rng() % 4001) - 2000, -2047, 2047);
        const records::AcSymbol diff = coded(0, next - dc[comp]);
        b.dc_size = diff.rs, b.dc_bits = diff.bits;
        dc[comp] = next;
        const int density = static_cast<int>(rng() % 4);  // empty, sparse, busy, full
        uint32_t run = 0;
        for (int z = 1; z < 64; ++z) {
          const bool is_coded = density == 3 || (density > 0 && rng() % (density == 1 ? 12 : 3) == 0);
          if (!is_coded) {
            ++run;
            continue;
          }
          for (; run > 15; run -= 16) b.ac.push_back({0xF0, 0});  // sixteen zeros
          const int32_t mag = static_cast<int32_t>(rng() % 8 ? 1 + rng() % 40 : 1 + rng() % 1023);
          b.ac.push_back(coded(run, rng() % 2 ? mag : -mag));
          run = 0;
        }
        if (run) b.ac.push_back({0x00, 0});  // end of block
      }
    } else {  // VQ_1, VQ_2 or VQ_4
      const uint32_t bits = rng() % 3;
      r.code = (5 + bits) | (at ? 8u : 0u);
      position();
      for (uint32_t e = 0; e < (1u << bits); ++e) {
        records::VqEntry& entry = r.entries.emplace_back();
        entry.has_colour = rng() % 2;
        entry.index = static_cast<uint8_t>(rng() % 4);
        if (entry.has_colour) entry.colour = rng() & 0xFFFFFF;
      }
      if (bits)
        for (int p = 0; p < 64; ++p) r.pixels.push_back(static_cast<uint8_t>(rng() % (1u << bits)));
    }
  }
  f.records.push_back(records::marker(records::kFrameEnd));
  std::vector<uint8_t> data = {0, 0, 1, static_cast<uint8_t>(sub ? 0xA6 : 0xBC)};
  const std::vector<uint8_t> stream = records::write_stream(f);
  data.insert(data.end(), stream.begin(), stream.end());
  if (data.size() < 12) data.resize(12);  // the reader's two words
  return data;
}

}  // namespace ast2100_test

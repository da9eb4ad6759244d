// The clamp table: one lookup limits a value to a sample 0..255, for the
// inverse DCT's outputs and for the colour sums.
#pragma once

#include <array>
#include <cstdint>

namespace ast2100 {

// 1408 entries in five runs: 0 x256, ramp 0..255, 255 x384, 0 x384, ramp 0..127.
// Colour sums index it at 256 + sum; the inverse DCT at 384 + ((s >> 3) & 1023),
// where the last two runs serve the negative 10-bit values.
using ClampTable = std::array<uint16_t, 1408>;

inline constexpr ClampTable kClampTable = [] {
  ClampTable t{};
  for (int i = 0; i < 256; ++i) t[256 + i] = static_cast<uint16_t>(i);
  for (int i = 512; i < 896; ++i) t[i] = 255;
  for (int i = 0; i < 128; ++i) t[1280 + i] = static_cast<uint16_t>(i);
  return t;
}();

// Inverse DCT output: bits 3..12 of s as a signed 10-bit value plus 128, limited
// to 0..255 (values of s >> 3 outside -512..511 wrap modulo 1024 first).
inline uint8_t clamp_idct(int32_t s) noexcept {
  return static_cast<uint8_t>(kClampTable[384 + (static_cast<uint32_t>(s >> 3) & 1023u)]);
}

}  // namespace ast2100

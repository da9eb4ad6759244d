// Wrapping 32-bit integer arithmetic.
//
// The inverse DCT and the DC prediction are defined on 32-bit two's-complement
// values that wrap on overflow. Signed overflow is undefined in C++, so every
// operation that input can push past the range is carried out on uint32_t and
// converted back (well defined since C++20).
#pragma once

#include <cstdint>

namespace ast2100 {

constexpr int32_t wrap_add(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrap_sub(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t wrap_mul(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

}  // namespace ast2100

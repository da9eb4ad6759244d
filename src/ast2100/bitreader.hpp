// Bit reader over the block stream of one frame.
//
// The stream after the 4-byte frame header is a sequence of 32-bit little-endian
// words whose bits are read from bit 31 down. A short last word is completed with
// zero high-order bytes (so its zero bits come first), and past the end of the data
// the stream goes on with zero bits for ever. `window` always holds the next 32
// stream bits, first bit in bit 31, so a peek is a shift and never needs an
// end-of-data test. No byte at or past the end of the data is ever read.
#pragma once

#include <array>
#include <cstdint>

namespace ast2100 {

class BitReader {
 public:
  // Loads bytes start..start+3 into `window` and start+4..start+7 into `reserve`
  // (missing bytes count as zero). Never fails.
  static BitReader make(const uint8_t* data, uint64_t len, uint64_t start) noexcept {
    BitReader r;
    r.data_ = data;
    r.len_ = len;
    r.pos_ = start < len ? start : len;
    r.window = r.load_word();
    r.reserve_ = r.load_word();
    r.reserve_bits_ = 32;
    return r;
  }

  // Drops the first n bits of `window` (n in 0..31); afterwards `window` again
  // holds the next 32 stream bits. At most one word is loaded per call.
  void consume_bits(uint32_t n) noexcept {
    if (n == 0) return;
    const auto have = static_cast<uint32_t>(reserve_bits_);
    if (n < have) {
      window = (window << n) | (reserve_ >> (32 - n));
      reserve_ <<= n;
      reserve_bits_ -= static_cast<int32_t>(n);
      return;
    }
    // The reserve cannot cover the drop (have <= n <= 31, so have < 32 and no
    // shift below reaches 32): splice in the next word behind the reserve.
    const uint32_t w = load_word();
    const uint32_t next = reserve_ | (w >> have);
    window = (window << n) | (next >> (32 - n));
    reserve_ = w << (n - have);
    reserve_bits_ = reserve_bits_ - static_cast<int32_t>(n) + 32;
  }

  // Reads s bits (1..15) as a JPEG magnitude (T.81 RECEIVE and EXTEND): a value
  // whose first bit is 0 is negative, v - (2^s - 1). Consumes the s bits.
  int32_t receive_extend(uint32_t s) noexcept {
    const uint32_t v = window >> (32 - s);
    int32_t result = static_cast<int32_t>(v);
    if (((v >> (s - 1)) & 1u) == 0) result += kExtendOffset[s];
    consume_bits(s);
    return result;
  }

  // The next 32 stream bits, first bit in bit 31. Callers read it directly.
  uint32_t window = 0;

  uint64_t pos() const noexcept { return pos_; }
  int32_t reserve_bits() const noexcept { return reserve_bits_; }

 private:
  // Entry k is -(2^k - 1): the offset that turns a k-bit magnitude whose first
  // bit is 0 into its negative value.
  static constexpr std::array<int32_t, 16> kExtendOffset = [] {
    std::array<int32_t, 16> t{};
    for (int k = 0; k < 16; ++k) t[k] = -((1 << k) - 1);
    return t;
  }();

  // Four bytes from pos_, little-endian; bytes at or past the end count as zero
  // and do not advance pos_.
  uint32_t load_word() noexcept {
    uint32_t w = 0;
    for (uint32_t i = 0; i < 4 && pos_ < len_; ++i, ++pos_) {
      w |= static_cast<uint32_t>(data_[pos_]) << (8 * i);
    }
    return w;
  }

  const uint8_t* data_ = nullptr;
  uint64_t len_ = 0;
  uint64_t pos_ = 0;
  uint32_t reserve_ = 0;      // bits after `window`, left-aligned; lower bits zero
  int32_t reserve_bits_ = 0;  // valid bits in reserve_, 1..32 between calls
};

}  // namespace ast2100

// Bit reader over the block stream of one frame.
//
// The stream after the 4-byte frame header is a sequence of 32-bit little-endian
// words whose bits are read from bit 31 down. A short last word is completed with
// zero high-order bytes (so its zero bits come first), and past the end of the data
// the stream goes on with zero bits for ever. window() always holds the next 32
// stream bits, first bit in bit 31, so a peek is a shift and never needs an
// end-of-data test. No byte at or past the end of the data is ever read.
//
// The bits live left-aligned in a 64-bit buffer that always holds 33 to 64 valid
// bits between calls: the 32 of the window and 1 to 32 behind it. A word is
// loaded exactly when a drop leaves 32 or fewer, that is when the bits behind
// the window run out, so the bytes loaded at any point are the same as for a
// reader that keeps the window and the bits behind it in two 32-bit words.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace ast2100 {

class BitReader {
 public:
  // Loads bytes start..start+7 (missing bytes count as zero). Never fails.
  static BitReader make(const uint8_t* data, uint64_t len, uint64_t start) noexcept {
    BitReader r;
    r.data_ = data;
    r.len_ = len;
    r.pos_ = start < len ? start : len;
    const uint64_t first = r.load_word();
    r.buffer_ = first << 32 | r.load_word();
    r.count_ = 64;
    return r;
  }

  // The next 32 stream bits, first bit in bit 31.
  uint32_t window() const noexcept { return static_cast<uint32_t>(buffer_ >> 32); }

  // The next n stream bits (1..32), first bit highest: window() >> (32 - n) in
  // one shift, for table lookups on the decoding chain.
  uint32_t peek(uint32_t n) const noexcept { return static_cast<uint32_t>(buffer_ >> (64 - n)); }

  // Drops the first n bits (n in 0..31); window() again holds the next 32 bits.
  void consume_bits(uint32_t n) noexcept {
    buffer_ <<= n;
    count_ -= n;
    refill();
  }

  // consume_bits(n & 15) for an n whose bits 4 and 5 are clear, as a packed
  // table entry with its bit count lowest: the shift takes n as it is (its
  // count is taken modulo 64), so nothing stands between the load of the
  // entry and the drop, which is what the next lookup waits for.
  void consume_low_bits(uint32_t n) noexcept {
    buffer_ <<= (n & 63u);
    count_ -= n & 15u;
    refill();
  }

  // True when a whole word is left to load: consume_low_bits_steady may then
  // be used for the next drop.
  bool word_ahead() const noexcept { return len_ - pos_ >= 4; }

  // consume_low_bits with no branch on the load, when word_ahead(): the word
  // is read every time and kept (and pos_ moved) only when the drop leaves 32
  // or fewer bits, which a branch would guess wrong at irregular intervals,
  // as variable-length codes make them. A drop of at most 15 bits leaves 18
  // or more, so the shift that puts the word behind them is 0..14.
  void consume_low_bits_steady(uint32_t n) noexcept {
    buffer_ <<= (n & 63u);
    count_ -= n & 15u;
    const uint32_t load = count_ <= 32 ? ~0u : 0u;
    buffer_ |= static_cast<uint64_t>(word_at(pos_) & load) << ((32u - count_) & 31u);
    count_ += load & 32u;
    pos_ += load & 4u;
  }

  // Reads s bits (1..15) as a JPEG magnitude (T.81 RECEIVE and EXTEND): a value
  // whose first bit is 0 is negative, v - (2^s - 1). Consumes the s bits.
  int32_t receive_extend(uint32_t s) noexcept {
    const auto v = static_cast<uint32_t>(buffer_ >> (64 - s));
    int32_t result = static_cast<int32_t>(v);
    if (((v >> (s - 1)) & 1u) == 0) result += kExtendOffset[s];
    consume_bits(s);
    return result;
  }

  // Index of the next byte not yet loaded.
  uint64_t pos() const noexcept { return pos_; }
  // Valid bits behind the window: 1..32 between calls.
  int32_t reserve_bits() const noexcept { return static_cast<int32_t>(count_) - 32; }

 private:
  // After a drop: a word is loaded when 32 or fewer bits are left.
  void refill() noexcept {
    if (count_ <= 32) {
      // 1 to 32 free bits at the bottom of the buffer: the next word goes right
      // behind the valid ones.
      buffer_ |= static_cast<uint64_t>(load_word()) << (32 - count_);
      count_ += 32;
    }
  }

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
    if (len_ - pos_ >= 4) {
      const uint32_t w = word_at(pos_);
      pos_ += 4;
      return w;
    }
    uint32_t w = 0;
    for (uint32_t i = 0; pos_ < len_; ++i, ++pos_) w |= static_cast<uint32_t>(data_[pos_]) << (8 * i);
    return w;
  }

  // The four bytes at `at` (all inside the data), little-endian.
  uint32_t word_at(uint64_t at) const noexcept {
    uint8_t b[4];
    std::memcpy(b, data_ + at, 4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  }

  const uint8_t* data_ = nullptr;
  uint64_t len_ = 0;
  uint64_t pos_ = 0;
  uint64_t buffer_ = 0;  // valid bits left-aligned, lower bits zero
  uint32_t count_ = 0;   // valid bits in buffer_: 33..64 between calls
};

}  // namespace ast2100

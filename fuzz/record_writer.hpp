// A frame as a list of records, with a bit writer to turn it into a stream and
// a parser to turn a stream back into records, for the fuzzer's structure-aware
// mutator and for frames the fuzz target needs (the picture a screen shows
// before the fuzzed frame). Independent of the decoder on purpose: it has its
// own bit packing and its own canonical Huffman codes built from code counts,
// so a fault in the decoder's tables or reader is not copied into the inputs
// that are meant to find it.
//
// The stream after the 4-byte header is a run of 32-bit words, each stored
// little-endian and read from bit 31 down; a short last word has its missing
// high-order bytes zero, and past the end the stream reads as zero bits.
// A record: a 4-bit block code, for codes 8 and 12..15 an 8-bit column and row,
// for VQ codes 1, 2 or 4 header entries (new-colour flag, 2-bit cache index,
// 24-bit colour when flagged) and 64 pixel codes of 0, 1 or 2 bits, for DCT
// codes 3 or 6 Huffman-coded 8x8 blocks (baseline JPEG, the typical tables).
//
// Blocks are kept as the symbols the stream codes (DC size and bits, then AC
// run/size symbols with their magnitude bits, zero runs and end-of-block
// included), so that writing a parsed frame gives back the same bits, and so
// that a mutation can change one symbol and leave the rest of the stream in
// step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

namespace records {

inline constexpr unsigned kFrameEnd = 9;
inline bool is_unknown_code(unsigned code) { return code == 1 || code == 2 || code == 3 || code == 10 || code == 11; }
inline bool is_vq_code(unsigned code) { return (code & 7) >= 5 && code != kFrameEnd; }
inline bool is_dct_code(unsigned code) { return code == 0 || code == 4 || code == 8 || code == 12; }
inline bool has_position(unsigned code) { return (code & 8) != 0 && code != kFrameEnd && !is_unknown_code(code); }
// Pixel-code width of a VQ code: VQ_1 0 bits, VQ_2 1 bit, VQ_4 2 bits.
inline unsigned vq_index_bits(unsigned code) { return (code & 7) - 5; }

// Bits written first-bit-first, flushed as little-endian 32-bit words.
class BitWriter {
 public:
  // The low nbits (at most 32) of value, most significant first.
  void put(uint32_t value, unsigned nbits) {
    if (nbits == 0) return;
    acc_ = acc_ << nbits | (value & (~uint64_t{0} >> (64 - nbits)));
    count_ += nbits;
    if (count_ >= 32) {
      count_ -= 32;
      const uint32_t word = static_cast<uint32_t>(acc_ >> count_);
      for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
  }
  void put_bit(unsigned bit) { put(bit, 1); }
  size_t bits() const { return out_.size() * 8 + count_; }
  // The stream, its last word padded with zero bits.
  std::vector<uint8_t> finish() {
    if (count_ != 0) put(0, 32 - count_);
    return std::move(out_);
  }

 private:
  std::vector<uint8_t> out_;
  uint64_t acc_ = 0;  // the low count_ bits are pending
  unsigned count_ = 0;
};

// Reads the stream, zero past the end; knows where the data ends.
class BitSource {
 public:
  // The words are assembled once (two zero words behind them, so that a peek
  // near the end needs no test): the parser peeks at every symbol.
  explicit BitSource(std::span<const uint8_t> stream) : end_((stream.size() + 3) / 4 * 32) {
    words_.assign(stream.size() / 4 + 3, 0);
    for (size_t i = 0; i < stream.size(); ++i) words_[i / 4] |= uint32_t{stream[i]} << (8 * (i % 4));
  }
  unsigned bit(size_t at) const { return peek(at, 1); }
  // The nbits (1..32) from bit `at` on.
  uint32_t peek(size_t at, unsigned nbits) const {
    const unsigned skip = static_cast<unsigned>(at % 32);
    const uint64_t two = uint64_t{word(at / 32)} << 32 | word(at / 32 + 1);
    return static_cast<uint32_t>((two << skip) >> (64 - nbits));
  }
  uint32_t take(unsigned nbits) {
    if (nbits == 0) return 0;
    const uint32_t v = peek(pos_, nbits);
    pos_ += nbits;
    return v;
  }
  size_t pos() const { return pos_; }
  void seek(size_t pos) { pos_ = pos; }
  size_t end() const { return end_; }  // bits the data holds, its short last word padded

 private:
  // Word j: bytes 4j..4j+3, the first the least significant; missing bytes are zero.
  uint32_t word(size_t j) const { return j < words_.size() ? words_[j] : 0; }

  std::vector<uint32_t> words_;
  size_t end_;
  size_t pos_ = 0;
};

// A canonical Huffman code from its counts per length (1..16) and its symbols
// in code order, as JPEG defines them.
class HuffCode {
 public:
  HuffCode(const std::array<uint8_t, 16>& counts, const std::vector<uint8_t>& symbols) : symbols_(symbols) {
    uint32_t code = 0;
    size_t k = 0;
    for (unsigned len = 1; len <= 16; ++len) {
      first_[len] = code;
      offset_[len] = static_cast<uint16_t>(k);
      count_[len] = counts[len - 1];
      for (unsigned i = 0; i < counts[len - 1]; ++i, ++k, ++code) {
        words_[symbols[k]] = static_cast<uint16_t>(code);
        lengths_[symbols[k]] = static_cast<uint8_t>(len);
      }
      code <<= 1;
    }
  }
  bool has(uint8_t symbol) const { return lengths_[symbol] != 0; }
  void put(BitWriter& w, uint8_t symbol) const { w.put(words_[symbol], lengths_[symbol]); }
  // The next symbol, or -1 when the bits are no code word. Leniently, as the
  // decoder's lookup reads them: sixteen 1 bits give symbol 0 and consume
  // nothing; other bits that are no code word (only in the DC codes, whose
  // longest word is shorter) give symbol 0 and consume the longest word's length.
  int get(BitSource& in, bool lenient = false) const {
    const uint32_t next = in.peek(in.pos(), 16);
    for (unsigned len = 1; len <= 16; ++len) {
      const uint32_t code = next >> (16 - len);
      if (code - first_[len] < count_[len]) {
        in.seek(in.pos() + len);
        return symbols_[offset_[len] + (code - first_[len])];
      }
    }
    if (!lenient) {
      in.seek(in.pos() + 16);
      return -1;
    }
    unsigned longest = 16;
    while (count_[longest] == 0) --longest;
    if (next != 0xFFFF) in.seek(in.pos() + longest);
    return 0;
  }
  const std::vector<uint8_t>& symbols() const { return symbols_; }

 private:
  std::vector<uint8_t> symbols_;
  std::array<uint32_t, 17> first_{};
  std::array<uint16_t, 17> offset_{};
  std::array<uint32_t, 17> count_{};
  std::array<uint16_t, 256> words_{};
  std::array<uint8_t, 256> lengths_{};
};

struct Codes {
  HuffCode luma_dc, luma_ac, chroma_dc, chroma_ac;
};

// The four typical tables of JPEG: DC sizes 0..11; AC run/size symbols.
inline const Codes& codes() {
  static const Codes c = [] {
    std::vector<uint8_t> dc(12);
    for (uint8_t i = 0; i < 12; ++i) dc[i] = i;
    // The AC symbol lists open irregularly, then run through (run, size) with
    // sizes from a table-dependent start up to 10 for each run.
    auto ac = [](std::initializer_list<uint8_t> head, std::initializer_list<std::pair<uint8_t, uint8_t>> spans) {
      std::vector<uint8_t> s(head);
      for (auto [a, b] : spans) {
        for (unsigned v = a; v <= b; ++v) s.push_back(static_cast<uint8_t>(v));
      }
      return s;
    };
    const std::vector<uint8_t> luma_ac =
        ac({0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22,
            0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0, 0x24, 0x33,
            0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A},
           {{0x34, 0x3A},
            {0x43, 0x4A},
            {0x53, 0x5A},
            {0x63, 0x6A},
            {0x73, 0x7A},
            {0x83, 0x8A},
            {0x92, 0x9A},
            {0xA2, 0xAA},
            {0xB2, 0xBA},
            {0xC2, 0xCA},
            {0xD2, 0xDA},
            {0xE1, 0xEA},
            {0xF1, 0xFA}});
    const std::vector<uint8_t> chroma_ac =
        ac({0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
            0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1,
            0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A},
           {{0x35, 0x3A},
            {0x43, 0x4A},
            {0x53, 0x5A},
            {0x63, 0x6A},
            {0x73, 0x7A},
            {0x82, 0x8A},
            {0x92, 0x9A},
            {0xA2, 0xAA},
            {0xB2, 0xBA},
            {0xC2, 0xCA},
            {0xD2, 0xDA},
            {0xE2, 0xEA},
            {0xF2, 0xFA}});
    return Codes{HuffCode({0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, dc),
                 HuffCode({0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125}, luma_ac),
                 HuffCode({0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, dc),
                 HuffCode({0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 119}, chroma_ac)};
  }();
  return c;
}

struct AcSymbol {
  uint8_t rs = 0;     // run in the high nibble, size in the low one; 0x00 end of block, 0xF0 sixteen zeros
  uint16_t bits = 0;  // the size's magnitude bits (T.81 sign-magnitude form)
};

struct Block {
  uint8_t dc_size = 0;  // 0..11
  uint16_t dc_bits = 0;
  std::vector<AcSymbol> ac;
};

struct VqEntry {
  bool has_colour = false;
  uint8_t index = 0;    // 0..3
  uint32_t colour = 0;  // Y << 16 | Cb << 8 | Cr
};

struct Record {
  unsigned code = 0;
  uint8_t col = 0, row = 0;      // codes with an explicit position
  std::vector<Block> blocks;     // DCT codes: 6 in the 16x16 mode, 3 in the 8x8 mode
  std::vector<VqEntry> entries;  // VQ codes: 1, 2 or 4
  std::vector<uint8_t> pixels;   // VQ_2 and VQ_4 codes: 64 pixel codes
};

// A record without fields: FRAME_END or an unknown code.
inline Record marker(unsigned code) {
  Record r;
  r.code = code;
  return r;
}

struct Frame {
  bool subsampled = false;
  std::vector<Record> records;  // up to FRAME_END or an unknown code, when the stream has one
  std::vector<uint8_t> tail;    // the stream's bits after the last record, one per byte
};

inline unsigned blocks_per_macroblock(bool subsampled) { return subsampled ? 6 : 3; }

// Walks a block's AC symbols as the decoder reads them: calls f(i, read_bits)
// for each symbol that belongs to the block and returns how many do; `closed`
// tells whether they end the block (an end of block, or coefficient 63
// reached) or the decoder would read on into what follows. A symbol whose run
// carries the coefficient number past 63 ends the block with its magnitude
// bits unread.
template <class F>
size_t walk_ac(const std::vector<AcSymbol>& ac, F&& f, bool& closed) {
  closed = true;
  unsigned k = 1;
  for (size_t i = 0; i < ac.size(); ++i) {
    const unsigned r = ac[i].rs >> 4, s = ac[i].rs & 15;
    if (s == 0) {
      f(i, false);
      if (ac[i].rs != 0xF0) return i + 1;
      k += 16;
    } else {
      k += r;
      f(i, k < 64);
      ++k;
    }
    if (k >= 64) return i + 1;
  }
  closed = false;
  return ac.size();
}

// Drops the AC symbols that the decoder would never reach, and closes a block
// that stops short with an end of block, so that the next record starts where
// the writer puts it. The magnitude bits of a symbol that ends the block by its run are unread:
// they are kept as zero, as parsing gives them.
inline void normalise(Block& b) {
  bool closed = false;
  b.ac.resize(walk_ac(
      b.ac,
      [&](size_t i, bool read_bits) {
        if (!read_bits) b.ac[i].bits = 0;
      },
      closed));
  if (!closed) b.ac.push_back(AcSymbol{});
}

inline void write_block(BitWriter& w, const Block& b, const HuffCode& dc, const HuffCode& ac) {
  dc.put(w, b.dc_size);
  w.put(b.dc_bits, b.dc_size);
  bool closed = false;
  walk_ac(
      b.ac,
      [&](size_t i, bool read_bits) {
        ac.put(w, b.ac[i].rs);
        if (read_bits) w.put(b.ac[i].bits, b.ac[i].rs & 15);
      },
      closed);
}

inline void write_record(BitWriter& w, const Record& r, bool subsampled) {
  w.put(r.code, 4);
  if (has_position(r.code)) {
    w.put(r.col, 8);
    w.put(r.row, 8);
  }
  if (is_vq_code(r.code)) {
    const unsigned n = vq_index_bits(r.code);
    for (size_t k = 0; k < (size_t{1} << n); ++k) {
      const VqEntry e = k < r.entries.size() ? r.entries[k] : VqEntry{};
      w.put(e.has_colour, 1);
      w.put(e.index & 3, 2);
      if (e.has_colour) w.put(e.colour & 0xFFFFFF, 24);
    }
    if (n != 0) {
      for (size_t p = 0; p < 64; ++p) w.put(p < r.pixels.size() ? r.pixels[p] : 0, n);
    }
  } else if (is_dct_code(r.code)) {
    const Codes& c = codes();
    const unsigned luma = subsampled ? 4 : 1;
    for (unsigned i = 0; i < blocks_per_macroblock(subsampled); ++i) {
      const Block b = i < r.blocks.size() ? r.blocks[i] : Block{};
      if (i < luma) {
        write_block(w, b, c.luma_dc, c.luma_ac);
      } else {
        write_block(w, b, c.chroma_dc, c.chroma_ac);
      }
    }
  }
}

// The stream of a frame: every record, then the tail's bits.
inline std::vector<uint8_t> write_stream(const Frame& f) {
  BitWriter w;
  for (const Record& r : f.records) write_record(w, r, f.subsampled);
  for (uint8_t bit : f.tail) w.put_bit(bit);
  return w.finish();
}

// One block; false when its bits hold no code word of the table (never when
// lenient).
inline bool read_block(BitSource& in, Block& b, const HuffCode& dc, const HuffCode& ac, bool lenient) {
  const int s = dc.get(in, lenient);
  if (s < 0) return false;
  b.dc_size = static_cast<uint8_t>(s);
  b.dc_bits = static_cast<uint16_t>(in.take(static_cast<unsigned>(s)));
  b.ac.clear();
  for (unsigned k = 1; k < 64;) {
    const int rs = ac.get(in, lenient);
    if (rs < 0) return false;
    AcSymbol sym{static_cast<uint8_t>(rs), 0};
    const unsigned r = sym.rs >> 4, size = sym.rs & 15;
    if (size == 0) {
      b.ac.push_back(sym);
      if (sym.rs != 0xF0) break;
      k += 16;
      continue;
    }
    k += r;
    if (k < 64) sym.bits = static_cast<uint16_t>(in.take(size));
    b.ac.push_back(sym);
    ++k;
  }
  return true;
}

// One record from its block code on; false when a block holds no code word.
// Reuses the memory of what `r` held before.
inline bool read_record(BitSource& in, Record& r, bool subsampled, bool lenient) {
  r.entries.clear();
  r.pixels.clear();
  r.code = in.take(4);
  if (!is_dct_code(r.code)) r.blocks.clear();
  if (has_position(r.code)) {
    r.col = static_cast<uint8_t>(in.take(8));
    r.row = static_cast<uint8_t>(in.take(8));
  }
  if (is_vq_code(r.code)) {
    const unsigned n = vq_index_bits(r.code);
    for (size_t k = 0; k < (size_t{1} << n); ++k) {
      VqEntry e;
      e.has_colour = in.take(1) != 0;
      e.index = static_cast<uint8_t>(in.take(2));
      if (e.has_colour) e.colour = in.take(24);
      r.entries.push_back(e);
    }
    if (n != 0) {
      for (int p = 0; p < 64; ++p) r.pixels.push_back(static_cast<uint8_t>(in.take(n)));
    }
  } else if (is_dct_code(r.code)) {
    const Codes& c = codes();
    const unsigned luma = subsampled ? 4 : 1;
    r.blocks.resize(blocks_per_macroblock(subsampled));
    for (unsigned i = 0; i < r.blocks.size(); ++i) {
      const bool whole = i < luma ? read_block(in, r.blocks[i], c.luma_dc, c.luma_ac, lenient)
                                  : read_block(in, r.blocks[i], c.chroma_dc, c.chroma_ac, lenient);
      if (!whole) return false;
    }
  }
  return true;
}

// Reads records until FRAME_END or an unknown code (both kept as records), the
// end of the data, or bits that are no code word; whatever follows the last
// whole record stays as the tail, bit for bit. A record that would run past the
// end of the data (into the zero bits that follow) is left in the tail too.
inline Frame parse_stream(std::span<const uint8_t> stream, bool subsampled) {
  Frame f;
  f.subsampled = subsampled;
  BitSource in(stream);
  while (in.pos() + 4 <= in.end()) {
    const size_t start = in.pos();
    Record r;
    if (!read_record(in, r, subsampled, false) || in.pos() > in.end()) {
      in.seek(start);
      break;
    }
    f.records.push_back(std::move(r));
    if (f.records.back().code == kFrameEnd || is_unknown_code(f.records.back().code)) break;
  }
  f.tail.reserve(in.end() - in.pos());
  for (size_t at = in.pos(); at < in.end(); ++at) f.tail.push_back(static_cast<uint8_t>(in.bit(at)));
  return f;
}

// Where the decoder reads its first block code after the data has run out:
// the end of the record that the end of the data cuts (completed by the zero
// bits that follow), or the end of the data when a record ends there. SIZE_MAX
// when the stream ends first, at FRAME_END or an unknown code.
inline size_t first_code_after_data(std::span<const uint8_t> stream, bool subsampled) {
  BitSource in(stream);
  Record r;
  while (in.pos() < in.end()) {
    read_record(in, r, subsampled, true);
    if (r.code == kFrameEnd || is_unknown_code(r.code)) return SIZE_MAX;
  }
  return in.pos();
}

// Puts FRAME_END where the decoder would read its first block code from the
// zero bits past the data, so that the frame ends there instead of running on
// as DCT macroblocks to the block limit. codec_data is a whole frame: the
// 4-byte header (mode 422 or 444 in bytes 2..3, big-endian), then the stream.
// The data's short last word is padded to a whole one first: its missing high
// bytes read as zero either way. Other modes are left alone.
inline void end_after_data(std::vector<uint8_t>& codec_data) {
  if (codec_data.size() < 12) return;
  const uint32_t mode = codec_data[2] * 256u + codec_data[3];
  if (mode != 422 && mode != 444) return;
  const std::span<const uint8_t> stream(codec_data.data() + 4, codec_data.size() - 4);
  const size_t at = first_code_after_data(stream, mode == 422);
  if (at == SIZE_MAX) return;
  codec_data.resize(4 + (at + 4 + 31) / 32 * 4);
  for (unsigned i = 0; i < 4; ++i) {
    const size_t bit = at + i;
    if ((kFrameEnd >> (3 - i)) & 1) {
      const unsigned shift = 31 - static_cast<unsigned>(bit % 32);  // bits of a word are read from bit 31 down
      codec_data[4 + bit / 32 * 4 + shift / 8] |= static_cast<uint8_t>(1u << (shift % 8));
    }
  }
}

}  // namespace records

// Huffman code definitions, table building and coefficient block decoding.
#include "huffman.hpp"

#include "arith.hpp"

namespace ast2100 {
namespace {

// T.81 Annex K: the DC codes share one symbol list, the size categories 0..11.
constexpr uint8_t kDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// Table K.5, luminance AC, symbols in code order.
constexpr uint8_t kLumaAcSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Table K.6, chrominance AC, symbols in code order.
constexpr uint8_t kChromaAcSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr size_t count_total(const std::array<uint8_t, 16>& counts) {
  size_t n = 0;
  for (uint8_t c : counts) n += c;
  return n;
}

constexpr std::array<uint8_t, 16> kLumaDcCounts = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 16> kChromaDcCounts = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 16> kLumaAcCounts = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::array<uint8_t, 16> kChromaAcCounts = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
static_assert(count_total(kLumaDcCounts) == 12 && count_total(kChromaDcCounts) == 12);
static_assert(count_total(kLumaAcCounts) == 162 && count_total(kChromaAcCounts) == 162);

}  // namespace

// Declared extern in the header: external linkage, usable here at compile time.
constexpr HuffmanCode kLumaDcCode = {kLumaDcCounts, kDcSymbols, 12};
constexpr HuffmanCode kChromaDcCode = {kChromaDcCounts, kDcSymbols, 12};
constexpr HuffmanCode kLumaAcCode = {kLumaAcCounts, kLumaAcSymbols, 162};
constexpr HuffmanCode kChromaAcCode = {kChromaAcCounts, kChromaAcSymbols, 162};

constexpr HuffmanTables kHuffmanTables = {
    build_huff_table(kLumaDcCode),
    build_huff_table(kLumaAcCode),
    build_huff_table(kChromaDcCode),
    build_huff_table(kChromaAcCode),
};

// Hand-checked entries of the built tables: the first code of some lengths
// (0xFFFF where a length has no codes) and each table's longest code.
static_assert(kHuffmanTables.luma_ac.min_code[1] == 0xFFFF && kHuffmanTables.luma_ac.min_code[13] == 0xFFFF &&
              kHuffmanTables.luma_ac.min_code[14] == 0xFFFF && kHuffmanTables.luma_ac.min_code[15] == 0x7FC0 &&
              kHuffmanTables.luma_ac.min_code[16] == 0xFF82);
static_assert(kHuffmanTables.chroma_dc.min_code[2] == 0 && kHuffmanTables.chroma_dc.min_code[11] == 0x7FE &&
              kHuffmanTables.chroma_dc.min_code[12] == 0xFFFF && kHuffmanTables.chroma_dc.min_code[16] == 0xFFFF);
// Luminance AC: "00 1" is a run of 0 and the value 1, twice within ten bits;
// "00 1 1010" is that value and end of block; "1010" leaves the block at once.
static_assert(kHuffmanTables.luma_ac.ac_pair[0b0010010000].packed == AcFast::make(1, 0, 5, 6, 1).packed);
static_assert(kHuffmanTables.luma_ac.ac_pair[0b0011010000].packed ==
              AcFast::make(0, HuffTable::kEndOfBlockRun, 7, 7, 1).packed);
static_assert(kHuffmanTables.luma_ac.ac_pair[0b1111111111].packed == AcFast::make(0, 0, 0, 0).packed);
// Luminance DC: "011 10" is size 2 and the difference 2; "00" is size 0.
static_assert(kHuffmanTables.luma_dc.ac_fast[0b0111000000].value() == 2 &&
              kHuffmanTables.luma_dc.ac_fast[0b0111000000].total() == 5 &&
              kHuffmanTables.luma_dc.ac_fast[0b0000000000].value() == 0 &&
              kHuffmanTables.luma_dc.ac_fast[0b0000000000].total() == 2);
static_assert(kHuffmanTables.luma_dc.max_length == 9 && kHuffmanTables.chroma_dc.max_length == 11 &&
              kHuffmanTables.luma_ac.max_length == 16 && kHuffmanTables.chroma_ac.max_length == 16);

// The bounds that let a dequantised AC coefficient travel in 23 bits (see
// SparseBlocks): no AC symbol has a magnitude of more than 10 bits, and no step
// reaches 2^26.
static_assert([] {
  for (const uint8_t* symbols : {kLumaAcSymbols, kChromaAcSymbols}) {
    for (size_t i = 0; i < 162; ++i) {
      if ((symbols[i] & 15u) > 10) return false;
    }
  }
  for (const QuantTables* tables : {&kQuantTables444, &kQuantTables422}) {
    for (const QuantTable& table : tables->slot) {
      for (const int64_t step : table) {
        if (step < 0 || step >= (int64_t{1} << 26)) return false;
      }
    }
  }
  return true;
}());

namespace {

// For the k-th coefficient in zigzag order of a macroblock's block b, its
// index among the macroblock's coefficients: 64 * b + its natural position.
constexpr std::array<std::array<uint16_t, 64>, SparseBlocks::kBlocks> kZigzagIndex = [] {
  std::array<std::array<uint16_t, 64>, SparseBlocks::kBlocks> t{};
  for (size_t b = 0; b < SparseBlocks::kBlocks; ++b) {
    for (size_t k = 0; k < 64; ++k) t[b][k] = static_cast<uint16_t>(64 * b + kZigzag[k]);
  }
  return t;
}();

// Where the coefficient decoder puts what it decodes: put() a coded level at
// the place that `zigzag` names for its zigzag position (the natural position,
// kZigzag, or a row of kZigzagIndex), put_dc() the block's DC value. Stores
// with kPairs take two symbols a lookup where they fit; the second comes
// through put_maybe(), with `real` 0 (and level 0) when the lookup held no
// second symbol, which such a store must absorb without a branch. A store with
// kDcOnly keeps the DC value alone (StoreDcOnly). decode_block_with is the one
// walk of a block's symbols, whatever the store; walk_macroblock the one walk
// of a macroblock's blocks.

// The levels themselves: what the coefficient decoder hands to tests and tools.
struct StoreLevel {
  static constexpr bool kPairs = false;
  static constexpr bool kDcOnly = false;
  int32_t* block;
  const uint8_t* zigzag = kZigzag.data();
  void put(size_t natural, int32_t level) const noexcept { block[natural] = level; }
  void put_dc(int32_t level) const noexcept { block[0] = level; }
  void put_maybe(size_t natural, int32_t level, uint32_t) const noexcept { put(natural, level); }
};

// Each level dequantised and prescaled where it is stored, as the inverse DCT
// wants its input: low32((int64(level) * step) >> 16). The transform then reads
// ready values and no pass over all 64 entries is needed. A missing second
// symbol writes 0 to a position the stream leaves uncoded: the caller zeroes
// the block first anyway.
struct StoreDequantised {
  static constexpr bool kPairs = true;
  static constexpr bool kDcOnly = false;
  int32_t* block;
  const int64_t* steps;
  const uint8_t* zigzag = kZigzag.data();
  void put(size_t natural, int32_t level) const noexcept { block[natural] = dequantise(level, steps[natural]); }
  void put_dc(int32_t level) const noexcept { put(0, level); }
  void put_maybe(size_t natural, int32_t level, uint32_t) const noexcept { put(natural, level); }
};

// The coded coefficients as a list (see SparseBlocks), dequantised or not: an
// entry is written at the list's end every time and counted only when real.
template <bool kDequantise>
struct StoreSparse {
  static constexpr bool kPairs = true;
  static constexpr bool kDcOnly = false;
  uint32_t* end;                     // of the list so far
  const uint16_t* zigzag = nullptr;  // the block's row of kZigzagIndex
  const int64_t* steps = nullptr;
  int32_t dc = 0;
  int32_t value(size_t index, int32_t level) const noexcept {
    if constexpr (kDequantise) return dequantise(level, steps[index & 63u]);
    return level;
  }
  void put(size_t index, int32_t level) noexcept { *end++ = SparseBlocks::entry(index, value(index, level)); }
  void put_dc(int32_t level) noexcept { dc = value(0, level); }
  void put_maybe(size_t index, int32_t level, uint32_t real) noexcept {
    *end = SparseBlocks::entry(index, value(index, level));
    end += real;
  }
};

// A block's DC value: the size category, then that many magnitude bits of the
// difference (both in one lookup when the lookahead holds them), added to the
// predictor.
[[gnu::always_inline]] inline int32_t decode_dc(BitReader& reader, const HuffTable& dc_table,
                                                int32_t predictor) noexcept {
  const AcFast d = dc_table.ac_fast[reader.peek(HuffTable::kAcFastBits)];
  if (d.total() != 0) {
    reader.consume_bits(d.total());
    return wrap_add(predictor, d.value());
  }
  const uint32_t dc_size = decode_symbol(reader, dc_table);
  return dc_size > 0 ? wrap_add(predictor, reader.receive_extend(dc_size)) : predictor;
}

// One AC symbol taken symbol by symbol, when the lookahead does not hold it
// whole: false when it ends the block (end of block, or a run past the block,
// whose magnitude bits stay unread). Else k has moved to the coefficient whose
// `size` magnitude bits follow, or past sixteen zeros (size 0).
[[gnu::always_inline]] inline bool slow_ac_symbol(BitReader& reader, const HuffTable& ac_table, uint32_t& k,
                                                  uint32_t& size) noexcept {
  const uint32_t rs = decode_symbol(reader, ac_table);
  size = rs & 15u;
  if (size == 0) {
    if (rs != 0xF0) return false;  // end of block
    k += 16;                       // sixteen zeros
    return true;
  }
  k += rs >> 4;
  return k < 64;
}

// Skipping a block's AC symbols, when a thumbnail reads nothing but the DC
// term. Nothing is stored, so only the bit count and the block position
// matter, and several symbols can go in one lookup: entry p, for the next
// kSkipBits stream bits p, sums up the symbols that p holds whole (code and
// magnitude) from its start, up to and including an end of block:
//   bits 0..3   bits they take; bits 4 and 5 are clear, so that the whole
//               entry is the count of the shift that drops them (a 64-bit
//               shift takes its count modulo 64): no extraction stands
//               between the lookup and the next one on the loop's chain
//   bit 6       the last of them is an end of block
//   bits 9..15  reach: the positions they need left in the block. A
//               coefficient takes run + 1 (sixteen zeros count as a stored
//               zero), and an end of block one more, which must still be
//               inside the block. kNoReach when p does not hold even the
//               first symbol, so that one comparison rejects the entry. At
//               the top, one shift extracts it.
// A symbol takes 3 to 6 bits on average, photographs the most, so a lookup
// often takes several. The two tables take 32 KiB each: on the real frames
// 12 to 15 bits ran alike in CPU time, and 14 took 6% fewer instructions
// than 12.
struct SkipEntry {
  uint16_t packed;
  static constexpr uint32_t kNoReach = 127;
  static constexpr SkipEntry make(uint32_t bits, uint32_t reach, uint32_t end_of_block) {
    return {static_cast<uint16_t>(reach << 9 | end_of_block << 6 | bits)};
  }
  // The shift count that drops the bits: bits() with the clear bits 4 and 5.
  constexpr uint32_t shift() const { return packed; }
  constexpr uint32_t bits() const { return packed & 15u; }
  constexpr uint32_t reach() const { return packed >> 9; }
  constexpr bool end_of_block() const { return (packed >> 6) & 1u; }
};
constexpr uint32_t kSkipBits = 14;
static_assert(kSkipBits <= 15, "a skip entry counts its bits in four");
using SkipTable = std::array<SkipEntry, 1u << kSkipBits>;

constexpr SkipTable build_skip_table(const HuffTable& ac) {
  SkipTable t{};
  constexpr uint32_t kMask = (1u << kSkipBits) - 1;
  for (uint32_t p = 0; p <= kMask; ++p) {
    uint32_t used = 0, reach = 0, eob = 0;
    while (used < kSkipBits) {
      // The bits after those taken, moved to the top; beyond p they read as
      // zeros, so a symbol counts only if it ends within p.
      const uint32_t rest = (p << used) & kMask;
      const AcFast e = ac.ac_fast[rest >> (kSkipBits - HuffTable::kAcFastBits)];
      if (e.run() == HuffTable::kEndOfBlockRun) {
        if (e.code_len() == 0 || used + e.code_len() > kSkipBits) break;
        used += e.code_len();
        reach += 1;
        eob = 1;
        break;
      }
      if (e.total() == 0 || used + e.total() > kSkipBits) break;
      // No more than a block's worth: the reach must fit its field, and
      // more would never be taken.
      if (reach + e.run() + 1 > 63) break;
      used += e.total();
      reach += e.run() + 1;
    }
    if (used == 0) reach = SkipEntry::kNoReach;
    t[p] = SkipEntry::make(used, reach, eob);
  }
  return t;
}

constexpr SkipTable kLumaSkip = build_skip_table(kHuffmanTables.luma_ac);
constexpr SkipTable kChromaSkip = build_skip_table(kHuffmanTables.chroma_ac);
// Luminance AC: "00 1" twice, then "1010" (end of block): ten bits, reaching
// three positions; "1010 ..." is an end of block at once; fourteen 1 bits
// hold nothing.
static_assert(kLumaSkip[0b001001101011u << (kSkipBits - 12)].packed == SkipEntry::make(10, 3, 1).packed);
static_assert(kLumaSkip[0b101000000000u << (kSkipBits - 12)].packed == SkipEntry::make(4, 1, 1).packed);
static_assert(kLumaSkip[(1u << kSkipBits) - 1].packed == SkipEntry::make(0, SkipEntry::kNoReach, 0).packed);
// Sixteen zeros (11111111001 and 1111111010) have codes beyond the fast
// lookups, which skip_ac relies on: there, a symbol of size 0 ends the block.
static_assert([] {
  for (const HuffTable* t : {&kHuffmanTables.luma_ac, &kHuffmanTables.chroma_ac}) {
    for (const uint16_t e : t->fast) {
      if (e != 0 && (e & 0xFFu) == 0xF0) return false;
    }
  }
  return true;
}());

// The DC value alone, dequantised as StoreDequantised stores it, when a
// thumbnail reads nothing but the block's DC term: the walk then skips the AC
// symbols several at a time (with `skip`), consuming exactly the bits the other
// stores' walk consumes (it stops at coefficient 63, or before the magnitude
// bits of a run past the block), and stores nothing else.
struct StoreDcOnly {
  static constexpr bool kPairs = false;
  static constexpr bool kDcOnly = true;
  int32_t* block;
  int64_t step;
  const SkipTable* skip;
  void put_dc(int32_t level) const noexcept { block[0] = dequantise(level, step); }
};

// The AC symbols of a block skipped with `skip`, from coefficient 1: whole
// symbols several a lookup while they stay inside the block, else one symbol
// as the walk takes it, its code and magnitude bits dropped at once.
[[gnu::always_inline]] inline void skip_ac(BitReader& reader, const HuffTable& ac_table,
                                           const SkipTable& skip) noexcept {
  uint32_t left = 63;  // positions of the block not yet passed: 64 - k
  for (;;) {
    const SkipEntry e = skip[reader.peek(kSkipBits)];
    if (e.reach() <= left) {
      if (reader.word_ahead()) {
        reader.consume_low_bits_steady(e.shift());
      } else {
        reader.consume_low_bits(e.shift());
      }
      left -= e.reach();
      if (e.end_of_block() || left == 0) return;
      continue;
    }
    // One symbol: a long code, a large magnitude, or the block's last
    // positions, which the entry would overrun.
    const uint16_t f = ac_table.fast[reader.peek(HuffTable::kFastBits)];
    if (f == 0) {  // a code longer than the fast lookup, or bits that begin none
      uint32_t k = 64 - left, size = 0;
      if (!slow_ac_symbol(reader, ac_table, k, size)) return;
      if (size != 0) {
        reader.consume_bits(size);
        ++k;
      }
      if (k >= 64) return;
      left = 64 - k;
      continue;
    }
    const uint32_t rs = f & 0xFFu, len = f >> 8u, size = rs & 15u;
    if (size == 0) {  // end of block: sixteen zeros have a code longer than the fast lookup
      reader.consume_bits(len);
      return;
    }
    const uint32_t run = rs >> 4;
    if (run >= left) {  // the coefficient past the block: magnitude bits unread
      reader.consume_bits(len);
      return;
    }
    reader.consume_bits(len + size);
    left -= run + 1;
    if (left == 0) return;
  }
}

template <class Store>
[[gnu::always_inline]] inline int32_t decode_block_with(BitReader& stream, const HuffTable& dc_table,
                                                        const HuffTable& ac_table, int32_t predictor,
                                                        Store& store) noexcept {
  // A local copy of the reader can live in registers: the coefficient stores
  // below could otherwise alias its fields and force a reload after each one.
  BitReader reader = stream;
  const int32_t dc = decode_dc(reader, dc_table, predictor);
  if constexpr (Store::kDcOnly) {
    skip_ac(reader, ac_table, *store.skip);
    stream = reader;
    // The one store after the walk, so that it cannot force the reader back to memory.
    store.put_dc(dc);
    return dc;
  } else {
    store.put_dc(dc);
    const auto* const zigzag = store.zigzag;

    // AC: (run, size) symbols until end of block or coefficient 63. DC symbols are
    // at most 11 and AC sizes at most 10, so every receive_extend stays in range.
    uint32_t k = 1;
    while (k < 64) {
      // Fast path: the code, and the magnitude bits of a coefficient, in one lookup.
      const uint32_t bits = reader.peek(HuffTable::kAcFastBits);
      const AcFast e = ac_table.ac_fast[bits];
      if (e.total() != 0) {
        k += e.run();
        if (k >= 64) {  // end of block, or a run past the block: magnitude bits unread
          reader.consume_bits(e.code_len());
          break;
        }
        store.put(zigzag[k], e.value());
        ++k;
        if constexpr (!Store::kPairs) {
          reader.consume_bits(e.total());
          continue;
        }
        // The next symbol too, when the same bits hold it. Without one, the pair
        // entry has run and value 0: it puts a 0 at position k that is not real,
        // and leaves k as it is, with no branch.
        const AcFast f = ac_table.ac_pair[bits];
        if (k >= 64) {
          reader.consume_bits(e.total());
          break;
        }
        k += f.run();
        if (k >= 64) {
          reader.consume_bits(f.code_len());
          break;
        }
        store.put_maybe(zigzag[k], f.value(), f.second());
        k += f.second();
        reader.consume_bits(f.total());
        continue;
      }
      uint32_t size = 0;
      if (!slow_ac_symbol(reader, ac_table, k, size)) break;
      if (size == 0) continue;
      store.put(zigzag[k], reader.receive_extend(size));
      ++k;
    }
    stream = reader;
    return dc;
  }
}

// A component of a macroblock's blocks as the walk hands it to the caller:
// its codes and, as a type, whether it is a chroma one (Cb or Cr).
template <bool kChroma>
struct Component {
  static constexpr bool chroma = kChroma;
  const HuffTable& dc;
  const HuffTable& ac;
};

// The one driver of a DCT macroblock's coefficients: its blocks in stream
// order (`luma_blocks` luminance blocks sharing predictors[0], then Cb and Cr
// with one each), with one copy of the reader kept in registers throughout.
// block(b, reader, component, predictor) walks block b with decode_block_with
// and the store of the caller's choice, and returns the next predictor.
template <class Block>
[[gnu::always_inline]] inline void walk_macroblock(BitReader& stream, size_t luma_blocks,
                                                   std::array<int32_t, 3>& predictors, Block&& block) noexcept {
  const HuffmanTables& t = kHuffmanTables;
  BitReader reader = stream;
  const Component<false> luma{t.luma_dc, t.luma_ac};
  const Component<true> chroma{t.chroma_dc, t.chroma_ac};
  for (size_t b = 0; b < luma_blocks; ++b) predictors[0] = block(b, reader, luma, predictors[0]);
  predictors[1] = block(luma_blocks, reader, chroma, predictors[1]);
  predictors[2] = block(luma_blocks + 1, reader, chroma, predictors[2]);
  stream = reader;
}

}  // namespace

int32_t decode_block(BitReader& stream, const HuffTable& dc_table, const HuffTable& ac_table, int32_t predictor,
                     int32_t* coefficients, size_t block_offset) noexcept {
  StoreLevel store{coefficients + block_offset};
  return decode_block_with(stream, dc_table, ac_table, predictor, store);
}

int32_t decode_block_dequantised(BitReader& stream, const HuffTable& dc_table, const HuffTable& ac_table,
                                 int32_t predictor, const QuantTable& quant_table, int32_t* block) noexcept {
  StoreDequantised store{block, quant_table.data()};
  return decode_block_with(stream, dc_table, ac_table, predictor, store);
}

void decode_macroblock_dequantised(BitReader& stream, const QuantTable& luma_table, const QuantTable& chroma_table,
                                   size_t luma_blocks, std::array<int32_t, 3>& predictors,
                                   int32_t* coefficients) noexcept {
  walk_macroblock(
      stream, luma_blocks, predictors,
      [&](size_t b, BitReader & reader, const auto& component, int32_t predictor) __attribute__((always_inline)) {
        StoreDequantised store{coefficients + 64 * b, (component.chroma ? chroma_table : luma_table).data()};
        return decode_block_with(reader, component.dc, component.ac, predictor, store);
      });
}

namespace {

template <bool kDequantise>
void decode_sparse(BitReader& stream, const QuantTable& luma_table, const QuantTable& chroma_table, size_t luma_blocks,
                   std::array<int32_t, 3>& predictors, SparseBlocks& out) noexcept {
  StoreSparse<kDequantise> store{out.entries};
  walk_macroblock(
      stream, luma_blocks, predictors,
      [&](size_t b, BitReader & reader, const auto& component, int32_t predictor) __attribute__((always_inline)) {
        store.steps = (component.chroma ? chroma_table : luma_table).data();
        store.zigzag = kZigzagIndex[b].data();
        const int32_t next = decode_block_with(reader, component.dc, component.ac, predictor, store);
        out.dc[b] = store.dc;
        return next;
      });
  out.count = static_cast<uint16_t>(store.end - out.entries);
}

}  // namespace

void decode_macroblock_sparse(BitReader& stream, const QuantTables& tables, uint32_t quant_pair, bool dequantise,
                              size_t luma_blocks, std::array<int32_t, 3>& predictors, SparseBlocks& out) noexcept {
  out.dequantised = dequantise;
  out.quant_pair = static_cast<uint8_t>(quant_pair);
  const QuantTable& luma = tables.slot[quant_pair];
  const QuantTable& chroma = tables.slot[quant_pair + 1];
  if (dequantise) return decode_sparse<true>(stream, luma, chroma, luma_blocks, predictors, out);
  decode_sparse<false>(stream, luma, chroma, luma_blocks, predictors, out);
}

void expand_sparse(const SparseBlocks& in, const QuantTables& tables, size_t luma_blocks,
                   int32_t* coefficients) noexcept {
  // Local copies: the stores could otherwise alias the list and force reloads.
  const uint32_t count = in.count;
  const uint32_t* entries = in.entries;
  if (in.dequantised) {
    for (size_t b = 0; b < luma_blocks + 2; ++b) coefficients[64 * b] = in.dc[b];
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t e = entries[i];
      coefficients[SparseBlocks::index(e)] = SparseBlocks::coefficient(e);
    }
    return;
  }
  // The steps of the luminance blocks, then of the chrominance ones, which
  // follow them in the table slots: entry 64 * block + position of `steps`.
  const QuantTable& luma = tables.slot[in.quant_pair];
  const QuantTable& chroma = tables.slot[in.quant_pair + 1];
  const size_t first_chroma = 64 * luma_blocks;
  for (size_t b = 0; b < luma_blocks + 2; ++b) {
    coefficients[64 * b] = dequantise(in.dc[b], (b < luma_blocks ? luma : chroma)[0]);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t e = entries[i];
    const uint32_t index = SparseBlocks::index(e);
    const int64_t step = (index < first_chroma ? luma : chroma)[index & 63u];
    coefficients[index] = dequantise(SparseBlocks::coefficient(e), step);
  }
}

void clear_sparse(const SparseBlocks& in, size_t luma_blocks, int32_t* coefficients) noexcept {
  const uint32_t count = in.count;
  const uint32_t* entries = in.entries;
  for (size_t b = 0; b < luma_blocks + 2; ++b) coefficients[64 * b] = 0;
  for (uint32_t i = 0; i < count; ++i) coefficients[SparseBlocks::index(entries[i])] = 0;
}

namespace {

// A DC-only block, out of line: inlined beside the decoding of whole blocks
// (the 16x16 mode's chroma at 1/8), the skipping loop cost that loop its
// registers (the reader's fields went back to memory, some 6% more
// instructions for a whole block's walk).
[[gnu::noinline]] int32_t decode_block_dc_only(BitReader& reader, const HuffTable& dc_table, const HuffTable& ac_table,
                                               int32_t predictor, int64_t step, const SkipTable& skip,
                                               int32_t* block) noexcept {
  StoreDcOnly store{block, step, &skip};
  return decode_block_with(reader, dc_table, ac_table, predictor, store);
}

}  // namespace

void decode_macroblock_kept(BitReader& stream, const QuantTable& luma_table, const QuantTable& chroma_table,
                            size_t luma_blocks, std::array<int32_t, 3>& predictors, int32_t* coefficients, Kept luma,
                            Kept chroma) noexcept {
  // Every block whole (1/2 and 1/4, edges, grey aside): the full decoder itself.
  if (luma == Kept::all && chroma == Kept::all)
    return decode_macroblock_dequantised(stream, luma_table, chroma_table, luma_blocks, predictors, coefficients);
  walk_macroblock(
      stream, luma_blocks, predictors,
      [&](size_t b, BitReader & reader, const auto& component, int32_t predictor) __attribute__((always_inline)) {
        const QuantTable& steps = component.chroma ? chroma_table : luma_table;
        int32_t* block = coefficients + 64 * b;
        if ((component.chroma ? chroma : luma) == Kept::dc) {
          return decode_block_dc_only(reader, component.dc, component.ac, predictor, steps[0],
                                      component.chroma ? kChromaSkip : kLumaSkip, block);
        }
        StoreDequantised store{block, steps.data()};
        return decode_block_with(reader, component.dc, component.ac, predictor, store);
      });
}

}  // namespace ast2100

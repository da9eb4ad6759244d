// The four fixed Huffman codes of the DCT macroblocks and the decoding of one 8x8
// block of quantised coefficients.
//
// The stream carries no tables: DCT data is always coded with the typical
// luminance and chrominance codes of ITU-T T.81 Annex K (K.3 to K.6). The tables
// are built at compile time. `decode_symbol` decodes one code: a 9-bit lookup
// answers every code of up to 9 bits, longer codes take a canonical-code search.
// Bit patterns that begin no code decode as the format defines (see
// `decode_symbol`), so every bit sequence yields a symbol.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bitreader.hpp"
#include "quant.hpp"

namespace ast2100 {

// A code as T.81 prints it: the number of codes of each length 1..16, and the
// symbols in code order.
struct HuffmanCode {
  std::array<uint8_t, 16> counts;
  const uint8_t* symbols;
  size_t symbol_count;
};

// The T.81 Annex K code definitions (Tables K.3, K.4, K.5 and K.6).
extern const HuffmanCode kLumaDcCode;
extern const HuffmanCode kChromaDcCode;
extern const HuffmanCode kLumaAcCode;
extern const HuffmanCode kChromaAcCode;

// One entry of the combined AC lookup: what the next kAcFastBits stream bits
// begin with, when that is a whole code and, for a coefficient, its magnitude
// bits too, packed in one word so that the hot loop keeps it in a register:
//   bits 0..5    total: code and magnitude bits; 0 when the lookahead does not
//                hold them all (the entry is then unused). Lowest, so that the
//                shift that drops them needs no extraction: a 64-bit shift
//                takes its count modulo 64, and the mask folds into it.
//   bit 6        set in an ac_pair entry that holds a second symbol
//   bits 8..11   code_len: bits of the Huffman code alone, all that a run out
//                of the block takes
//   bits 12..19  run: positions skipped before the value
//   bits 20..31  value: the coefficient, signed (|value| < 1024)
// All three kinds of symbol take one path: skip `run` positions, then store
// `value`. Sixteen zeros is a run of 15 and a stored 0 (the block is zero
// already); end of block is a run of 255, which always leaves the block.
struct AcFast {
  uint32_t packed;

  static constexpr AcFast make(int32_t value, uint32_t run, uint32_t code_len, uint32_t total, uint32_t second = 0) {
    return {static_cast<uint32_t>(value) << 20 | run << 12 | code_len << 8 | second << 6 | total};
  }
  constexpr uint32_t second() const { return (packed >> 6) & 1u; }
  constexpr uint32_t total() const { return packed & 63u; }
  constexpr uint32_t code_len() const { return (packed >> 8) & 15u; }
  constexpr uint32_t run() const { return (packed >> 12) & 0xFFu; }
  constexpr int32_t value() const { return static_cast<int32_t>(packed) >> 20; }
};

struct HuffTable {
  static constexpr uint32_t kFastBits = 9;
  static constexpr uint32_t kAcFastBits = 10;
  static constexpr uint8_t kEndOfBlockRun = 0xFF;

  // Entry p, for the next kFastBits stream bits p: (length << 8) | symbol of the
  // code that begins p, or 0 when that code is longer than kFastBits bits (or
  // when p begins no code at all).
  std::array<uint16_t, 1u << kFastBits> fast{};
  // min_code[L]: the first code of length L, 0xFFFF when there is none; entry 0 is 0.
  std::array<uint16_t, 17> min_code{};
  // end_code[L]: min_code[L] + number of codes of length L (0 when there are none).
  std::array<uint32_t, 17> end_code{};
  // first_symbol[L]: index in `symbols` of the first code of length L.
  std::array<uint16_t, 17> first_symbol{};
  std::array<uint8_t, 256> symbols{};
  uint8_t max_length = 0;  // the longest code length of the table
  // (run, size) symbol and magnitude in one lookup. A DC table's symbols are
  // sizes alone (run 0), so its entries give the difference and all its bits;
  // size 0 reads as end of block there, with value 0 and the code's length.
  std::array<AcFast, 1u << kAcFastBits> ac_fast{};
  // For AC tables, the symbol after the one ac_fast[p] gives, when the same
  // kAcFastBits bits p hold it whole (code and magnitude): its run and value,
  // flagged by second(), with code_len and total counted from the start of p
  // (first symbol's total plus the second's). Without a second symbol, run and
  // value are 0 and total is the first symbol's. These streams average about
  // 3.5 bits a symbol, so one lookup often answers two symbols, and the bits
  // of both are dropped with one shift.
  std::array<AcFast, 1u << kAcFastBits> ac_pair{};
};

// Builds the decoding tables of a code.
constexpr HuffTable build_huff_table(const HuffmanCode& definition) {
  const std::array<uint8_t, 16>& counts = definition.counts;
  const uint8_t* symbols = definition.symbols;
  HuffTable t{};
  for (size_t i = 0; i < definition.symbol_count; ++i) t.symbols[i] = symbols[i];
  // Canonical code assignment (T.81 Annex C): codes of each length are
  // consecutive, and the first code of the next length is (last + 1) * 2.
  uint32_t code = 0;
  uint32_t index = 0;
  for (uint32_t len = 1; len <= 16; ++len) {
    const uint32_t n = counts[len - 1];
    t.min_code[len] = n > 0 ? static_cast<uint16_t>(code) : 0xFFFF;
    t.end_code[len] = n > 0 ? code + n : 0;
    t.first_symbol[len] = static_cast<uint16_t>(index);
    if (n > 0) t.max_length = static_cast<uint8_t>(len);
    if (len <= HuffTable::kFastBits) {
      for (uint32_t j = 0; j < n; ++j) {
        // Every kFastBits-bit value that begins with this code.
        const uint32_t shift = HuffTable::kFastBits - len;
        const uint32_t first = (code + j) << shift;
        for (uint32_t p = first; p < first + (1u << shift); ++p) {
          t.fast[p] = static_cast<uint16_t>((len << 8) | symbols[index + j]);
        }
      }
    }
    if (len <= HuffTable::kAcFastBits) {
      for (uint32_t j = 0; j < n; ++j) {
        const uint8_t rs = symbols[index + j];
        const uint32_t size = rs & 15u;
        if (len + size > HuffTable::kAcFastBits) continue;  // magnitude beyond the lookahead
        const uint32_t shift = HuffTable::kAcFastBits - len;
        const uint32_t first = (code + j) << shift;
        for (uint32_t p = first; p < first + (1u << shift); ++p) {
          uint32_t run = rs >> 4;
          int32_t value = 0;
          if (size == 0) {
            // Only end of block (0x00) and sixteen zeros (0xF0) have size 0.
            run = rs == 0xF0 ? 15 : HuffTable::kEndOfBlockRun;
          } else {
            // The magnitude bits follow the code; a first bit of 0 means negative.
            const uint32_t bits = (p >> (shift - size)) & ((1u << size) - 1);
            const int32_t v = static_cast<int32_t>(bits);
            value = (bits >> (size - 1)) != 0 ? v : v - ((1 << size) - 1);
          }
          const AcFast e = AcFast::make(value, run, len, len + size);
          t.ac_fast[p] = e;
        }
      }
    }
    index += n;
    code = (code + n) * 2;
  }
  for (uint32_t p = 0; p < (1u << HuffTable::kAcFastBits); ++p) {
    const AcFast first = t.ac_fast[p];
    const uint32_t used = first.total();
    t.ac_pair[p] = AcFast::make(0, 0, used, used);
    if (used == 0) continue;
    // The bits after the first symbol, moved to the top; the lookahead's end
    // reads as zeros, so the second symbol counts only if it ends within it.
    const AcFast next = t.ac_fast[(p << used) & ((1u << HuffTable::kAcFastBits) - 1)];
    if (next.total() == 0 || used + next.total() > HuffTable::kAcFastBits) continue;
    t.ac_pair[p] = AcFast::make(next.value(), next.run(), used + next.code_len(), used + next.total(), 1);
  }
  return t;
}

struct HuffmanTables {
  HuffTable luma_dc;
  HuffTable luma_ac;
  HuffTable chroma_dc;
  HuffTable chroma_ac;
};

// The four tables of the format's codes, built at compile time.
extern const HuffmanTables kHuffmanTables;

// Decodes the next code with `table`, consumes its bits and returns its symbol.
// Bits that begin no code: sixteen 1 bits give symbol 0 and consume nothing; any
// other such pattern (the all-ones tail of a DC table) consumes the table's
// longest code length and gives symbol 0.
inline uint8_t decode_symbol(BitReader& reader, const HuffTable& table) noexcept {
  const uint32_t w = reader.window();
  const uint16_t e = table.fast[w >> (32 - HuffTable::kFastBits)];
  if (e != 0) {
    reader.consume_bits(e >> 8);
    return static_cast<uint8_t>(e);
  }
  for (uint32_t len = HuffTable::kFastBits + 1; len <= table.max_length; ++len) {
    const uint32_t c = w >> (32 - len);
    if (c < table.end_code[len]) {
      reader.consume_bits(len);
      return table.symbols[table.first_symbol[len] + (c - table.min_code[len])];
    }
  }
  if ((w >> 16) == 0xFFFF) return 0;
  reader.consume_bits(table.max_length);
  return 0;
}

// Natural (row-major) position of the k-th coefficient in zig-zag order (T.81
// Figure A.6).
inline constexpr std::array<uint8_t, 64> kZigzag = [] {
  std::array<uint8_t, 64> z{};
  int k = 0;
  for (int diag = 0; diag < 15; ++diag) {
    const int lo = diag < 8 ? 0 : diag - 7;
    const int hi = diag < 8 ? diag : 7;
    for (int i = 0; i <= hi - lo; ++i) {
      // Even diagonals run upwards (row falling), odd ones downwards.
      const int row = (diag % 2 == 0) ? hi - i : lo + i;
      z[k++] = static_cast<uint8_t>(8 * row + (diag - row));
    }
  }
  return z;
}();
static_assert(kZigzag[0] == 0 && kZigzag[1] == 1 && kZigzag[2] == 8 && kZigzag[3] == 16 && kZigzag[4] == 9 &&
              kZigzag[5] == 2 && kZigzag[63] == 63);

// Reads one block: the DC difference (added to `predictor` with 32-bit wrap),
// then the AC (run, size) symbols, storing the levels at their natural positions
// from `block_offset` on. Only coded entries are written; the caller zeroes the
// block first. Returns the block's DC value, the component's next predictor.
int32_t decode_block(BitReader& reader, const HuffTable& dc_table, const HuffTable& ac_table, int32_t predictor,
                     int32_t* coefficients, size_t block_offset) noexcept;

// The same, but each entry is stored ready for the inverse DCT: the level times
// its quant_table step, shifted right by 16 and cut to 32 bits (the DC value too;
// the returned predictor stays the level). `block` is the block's 64 entries,
// zeroed by the caller: uncoded entries stay 0 but may be written (with 0).
int32_t decode_block_dequantised(BitReader& reader, const HuffTable& dc_table, const HuffTable& ac_table,
                                 int32_t predictor, const QuantTable& quant_table, int32_t* block) noexcept;

// All the blocks of a DCT macroblock, dequantised: `luma_blocks` luminance blocks
// (1 or 4) with luma_table, then Cb and Cr with chroma_table, one after another
// from `coefficients` on. predictors holds the Y, Cb and Cr predictors, updated.
void decode_macroblock_dequantised(BitReader& reader, const QuantTable& luma_table, const QuantTable& chroma_table,
                                   size_t luma_blocks, std::array<int32_t, 3>& predictors,
                                   int32_t* coefficients) noexcept;

// A DCT macroblock's coded coefficients as a list rather than as 64 entries a
// block, for a macroblock that is drawn elsewhere: photographs code 7 to 11 of
// the 64, so the list takes a few cache lines where the blocks take 6 to 24,
// and the decoder need not zero them. The DC coefficient of each block, then
// the coded AC coefficients of all the blocks in stream order, as entries of
// (coefficient << 9) | (64 * block + natural position): either the levels, or
// the values dequantised as decode_macroblock_dequantised stores them, which
// moves that work from the side that draws to the side that reads. An AC
// coefficient fits the 23 bits: its level's magnitude is below 1024 and every
// step below 2^26, so the dequantised value's is at most 2^20. One list for
// the macroblock, rather than one a block, so that a loop over it ends once a
// macroblock: a loop whose count changes from block to block would be
// mispredicted at every end.
struct SparseBlocks {
  static constexpr size_t kBlocks = 6;
  std::array<int32_t, kBlocks> dc;
  uint16_t count;  // AC entries, at most 63 a block
  bool dequantised;
  uint8_t quant_pair;  // of the levels, when not dequantised
  // One more than the most the blocks can hold: the decoder may write one entry
  // past the list's end.
  uint32_t entries[kBlocks * 63 + 1];

  static constexpr uint32_t entry(size_t index, int32_t coefficient) noexcept {
    return static_cast<uint32_t>(coefficient) << 9 | static_cast<uint32_t>(index);
  }
  // The entry's place among the macroblock's coefficients (64 * block + position).
  static constexpr uint32_t index(uint32_t entry) noexcept { return entry & 511u; }
  static constexpr int32_t coefficient(uint32_t entry) noexcept { return static_cast<int32_t>(entry) >> 9; }
};

// decode_macroblock_dequantised's coefficients as a list, dequantised with the
// quant_pair's tables or not: the reader and the predictors end where it
// leaves them.
void decode_macroblock_sparse(BitReader& reader, const QuantTables& tables, uint32_t quant_pair, bool dequantise,
                              size_t luma_blocks, std::array<int32_t, 3>& predictors, SparseBlocks& out) noexcept;

// The coefficients decode_macroblock_dequantised stores for the same stream,
// from its lists, into blocks that are all zero: only the coded entries are
// written. clear_sparse() makes them zero again, for the next macroblock,
// which costs a store per coded entry rather than the macroblock's hundreds.
void expand_sparse(const SparseBlocks& in, const QuantTables& tables, size_t luma_blocks,
                   int32_t* coefficients) noexcept;
void clear_sparse(const SparseBlocks& in, size_t luma_blocks, int32_t* coefficients) noexcept;

// What a thumbnail reads of a block: its DC term alone (one pixel of a block
// at 1/8), or more (quarter means or a transform).
enum class Kept : uint8_t { dc, all };

// decode_macroblock_dequantised for a thumbnail: every symbol is decoded, so
// the reader and the predictors end exactly where the full decoder leaves
// them, and the blocks that `luma` and `chroma` keep whole are stored as it
// stores them. Of a DC-only block only entry 0 is written: the rest of it is
// left as the caller set it, and its AC symbols are skipped several
// at a time rather than decoded one by one.
void decode_macroblock_kept(BitReader& reader, const QuantTable& luma_table, const QuantTable& chroma_table,
                            size_t luma_blocks, std::array<int32_t, 3>& predictors, int32_t* coefficients, Kept luma,
                            Kept chroma) noexcept;

}  // namespace ast2100

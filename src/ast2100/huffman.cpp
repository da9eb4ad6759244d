// Huffman code definitions, table building and coefficient block decoding.
#include "huffman.hpp"

#include "arith.hpp"

namespace ast2100 {
namespace {

// T.81 Annex K: the DC codes share one symbol list, the size categories 0..11.
constexpr uint8_t kDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// Table K.5, luminance AC, symbols in code order.
constexpr uint8_t kLumaAcSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Table K.6, chrominance AC, symbols in code order.
constexpr uint8_t kChromaAcSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

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

namespace {

// The levels themselves: what the coefficient decoder hands to tests and tools.
struct StoreLevel {
  // Writes only the coded entries, one symbol a lookup.
  static constexpr bool kPairs = false;
  static int32_t at(int32_t level, size_t) noexcept { return level; }
};

// Each level dequantised and prescaled where it is stored, as the inverse DCT
// wants its input: low32((int64(level) * step) >> 16). The transform then reads
// ready values and no pass over all 64 entries is needed.
struct StoreDequantised {
  // Two symbols a lookup where they fit, writing 0 to a position the stream
  // leaves uncoded now and then: the caller zeroes the block first anyway.
  static constexpr bool kPairs = true;
  const int64_t* steps;
  int32_t at(int32_t level, size_t natural) const noexcept {
    return static_cast<int32_t>((static_cast<int64_t>(level) * steps[natural]) >> 16);
  }
};

template <class Store>
[[gnu::always_inline]] inline int32_t decode_block_with(BitReader& stream, const HuffTable& dc_table, const HuffTable& ac_table,
                                 int32_t predictor, int32_t* block, const Store store) noexcept {
  // A local copy of the reader can live in registers: the coefficient stores
  // below could otherwise alias its fields and force a reload after each one.
  BitReader reader = stream;
  // DC: the size category, then that many magnitude bits of the difference;
  // both in one lookup when the lookahead holds them.
  int32_t dc = predictor;
  const AcFast d = dc_table.ac_fast[reader.peek(HuffTable::kAcFastBits)];
  if (d.total() != 0) {
    reader.consume_bits(d.total());
    dc = wrap_add(predictor, d.value());
  } else {
    const uint32_t dc_size = decode_symbol(reader, dc_table);
    if (dc_size > 0) dc = wrap_add(predictor, reader.receive_extend(dc_size));
  }
  block[0] = store.at(dc, 0);

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
      const size_t z = kZigzag[k];
      block[z] = store.at(e.value(), z);
      ++k;
      if constexpr (!Store::kPairs) {
        reader.consume_bits(e.total());
        continue;
      }
      // The next symbol too, when the same bits hold it. Without one, the pair
      // entry has run and value 0: it stores 0 at position k, which is 0 already
      // (the caller zeroed the block), and leaves k as it is, with no branch.
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
      const size_t z2 = kZigzag[k];
      block[z2] = store.at(f.value(), z2);
      k += f.second();
      reader.consume_bits(f.total());
      continue;
    }
    const uint32_t rs = decode_symbol(reader, ac_table);
    const uint32_t run = rs >> 4;
    const uint32_t size = rs & 15u;
    if (size == 0) {
      if (rs != 0xF0) break;  // end of block
      k += 16;                // sixteen zeros
      continue;
    }
    k += run;
    if (k >= 64) break;  // a run past the block: its magnitude bits stay unread
    const size_t z = kZigzag[k];
    block[z] = store.at(reader.receive_extend(size), z);
    ++k;
  }
  stream = reader;
  return dc;
}

}  // namespace

int32_t decode_block(BitReader& stream, const HuffTable& dc_table, const HuffTable& ac_table,
                     int32_t predictor, int32_t* coefficients, size_t block_offset) noexcept {
  return decode_block_with(stream, dc_table, ac_table, predictor, coefficients + block_offset, StoreLevel{});
}

int32_t decode_block_dequantised(BitReader& stream, const HuffTable& dc_table, const HuffTable& ac_table,
                                 int32_t predictor, const QuantTable& quant_table, int32_t* block) noexcept {
  return decode_block_with(stream, dc_table, ac_table, predictor, block, StoreDequantised{quant_table.data()});
}

void decode_macroblock_dequantised(BitReader& stream, const QuantTable& luma_table, const QuantTable& chroma_table,
                                   size_t luma_blocks, std::array<int32_t, 3>& predictors,
                                   int32_t* coefficients) noexcept {
  const HuffmanTables& t = kHuffmanTables;
  // One copy of the reader for all the blocks, kept in registers throughout.
  BitReader reader = stream;
  for (size_t b = 0; b < luma_blocks; ++b) {
    predictors[0] = decode_block_with(reader, t.luma_dc, t.luma_ac, predictors[0], coefficients + 64 * b,
                                      StoreDequantised{luma_table.data()});
  }
  int32_t* chroma = coefficients + 64 * luma_blocks;
  for (size_t c = 0; c < 2; ++c) {
    predictors[1 + c] = decode_block_with(reader, t.chroma_dc, t.chroma_ac, predictors[1 + c], chroma + 64 * c,
                                          StoreDequantised{chroma_table.data()});
  }
  stream = reader;
}

namespace {

// One block for a thumbnail: as decode_block_with storing dequantised levels,
// but a level is dequantised and stored only where kMask has its position's
// bit. The loop is the full decoder's, step for step, so that the two consume
// the same bits; a DC-only block (kMask == 1) stores nothing inside it.
template <uint64_t kMask>
[[gnu::always_inline]] inline int32_t decode_block_kept(BitReader& stream, const HuffTable& dc_table,
                                                        const HuffTable& ac_table, int32_t predictor,
                                                        const int64_t* steps, int32_t* block) noexcept {
  BitReader reader = stream;
  auto keep = [&](size_t z, int32_t level) {
    if constexpr (kMask != 1) {
      if ((kMask >> z) & 1u) block[z] = static_cast<int32_t>((static_cast<int64_t>(level) * steps[z]) >> 16);
    }
  };
  int32_t dc = predictor;
  const AcFast d = dc_table.ac_fast[reader.peek(HuffTable::kAcFastBits)];
  if (d.total() != 0) {
    reader.consume_bits(d.total());
    dc = wrap_add(predictor, d.value());
  } else {
    const uint32_t dc_size = decode_symbol(reader, dc_table);
    if (dc_size > 0) dc = wrap_add(predictor, reader.receive_extend(dc_size));
  }
  block[0] = static_cast<int32_t>((static_cast<int64_t>(dc) * steps[0]) >> 16);

  uint32_t k = 1;
  while (k < 64) {
    const uint32_t bits = reader.peek(HuffTable::kAcFastBits);
    const AcFast e = ac_table.ac_fast[bits];
    if (e.total() != 0) {
      k += e.run();
      if (k >= 64) {
        reader.consume_bits(e.code_len());
        break;
      }
      keep(kZigzag[k], e.value());
      ++k;
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
      keep(kZigzag[k], f.value());
      k += f.second();
      reader.consume_bits(f.total());
      continue;
    }
    const uint32_t rs = decode_symbol(reader, ac_table);
    const uint32_t run = rs >> 4;
    const uint32_t size = rs & 15u;
    if (size == 0) {
      if (rs != 0xF0) break;
      k += 16;
      continue;
    }
    k += run;
    if (k >= 64) break;
    const int32_t level = reader.receive_extend(size);
    keep(kZigzag[k], level);
    ++k;
  }
  stream = reader;
  return dc;
}

template <uint64_t kMask>
void decode_blocks_kept(BitReader& reader, const HuffTable& dc_table, const HuffTable& ac_table,
                        const QuantTable& table, size_t blocks, int32_t* predictors, size_t predictor_step,
                        int32_t* coefficients) noexcept {
  for (size_t b = 0; b < blocks; ++b) {
    int32_t& p = predictors[b * predictor_step];
    p = decode_block_kept<kMask>(reader, dc_table, ac_table, p, table.data(), coefficients + 64 * b);
  }
}

// The luma blocks share one predictor; Cb and Cr have one each.
void decode_blocks(Kept kept, BitReader& reader, const HuffTable& dc_table, const HuffTable& ac_table,
                   const QuantTable& table, size_t blocks, int32_t* predictors, size_t predictor_step,
                   int32_t* coefficients) noexcept {
  switch (kept) {
    case Kept::dc:
      return decode_blocks_kept<kept_mask(Kept::dc)>(reader, dc_table, ac_table, table, blocks, predictors,
                                                     predictor_step, coefficients);
    case Kept::quarters:
      return decode_blocks_kept<kept_mask(Kept::quarters)>(reader, dc_table, ac_table, table, blocks, predictors,
                                                           predictor_step, coefficients);
    case Kept::all:
      for (size_t b = 0; b < blocks; ++b) {
        int32_t& p = predictors[b * predictor_step];
        p = decode_block_with(reader, dc_table, ac_table, p, coefficients + 64 * b, StoreDequantised{table.data()});
      }
      return;
  }
}

}  // namespace

void decode_macroblock_kept(BitReader& stream, const QuantTable& luma_table, const QuantTable& chroma_table,
                            size_t luma_blocks, std::array<int32_t, 3>& predictors, int32_t* coefficients, Kept luma,
                            Kept chroma) noexcept {
  const HuffmanTables& t = kHuffmanTables;
  BitReader reader = stream;
  decode_blocks(luma, reader, t.luma_dc, t.luma_ac, luma_table, luma_blocks, predictors.data(), 0, coefficients);
  decode_blocks(chroma, reader, t.chroma_dc, t.chroma_ac, chroma_table, 2, predictors.data() + 1, 1,
                coefficients + 64 * luma_blocks);
  stream = reader;
}

}  // namespace ast2100

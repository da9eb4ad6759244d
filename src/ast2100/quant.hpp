// Quantisation tables.
//
// The stream never carries quantisation tables: a frame uses four fixed tables,
// derived from the T.81 Annex K examples (Tables K.1 and K.2) by fixed fractions.
// The frame's mode picks the luminance table of the primary pair; each DCT record
// picks the primary pair (slots 0, 1) or the coarser alternative pair (slots 2, 3).
// Each QuantTable entry is the quantiser step times the row and column scale
// factors of the AAN inverse DCT, in 16.16 fixed point, so that dequantising and
// prescaling a coefficient is one multiplication and one shift.
#pragma once

#include <array>
#include <cstdint>

namespace ast2100 {

using BaseTable = std::array<int32_t, 64>;   // natural (row-major) order
using QuantTable = std::array<int64_t, 64>;  // natural order, 16 fractional bits

namespace detail {
// The bases every table is scaled from: the example luminance (T.81 Table K.1)
// and chrominance (Table K.2) quantisation tables, natural order.
inline constexpr BaseTable kLuminanceQuantBase = {
    16, 11,  10,  16, 24, 40, 51, 61, 12,  12,  14,  19,  26, 58, 60, 55,  14,  13,  16,  24, 40, 57,
    69, 56,  14,  17, 22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103, 77,  24,  35, 55, 64,
    81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99};
inline constexpr BaseTable kChrominanceQuantBase = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                                    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                                    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                                    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// floor(entry * num / den) for every entry (all products are positive).
constexpr BaseTable scaled(const BaseTable& t, int32_t num, int32_t den) {
  BaseTable out{};
  for (int i = 0; i < 64; ++i) out[i] = t[i] * num / den;
  return out;
}
}  // namespace detail

inline constexpr BaseTable LUMA_BASE_444 = detail::scaled(detail::kLuminanceQuantBase, 1, 8);
inline constexpr BaseTable LUMA_BASE_422 = detail::scaled(detail::kLuminanceQuantBase, 9, 16);
inline constexpr BaseTable CHROMA_BASE = detail::scaled(detail::kChrominanceQuantBase, 3, 16);
inline constexpr BaseTable LUMA_BASE_COARSE = detail::scaled(detail::kLuminanceQuantBase, 5, 4);
inline constexpr BaseTable CHROMA_BASE_COARSE = detail::scaled(detail::kChrominanceQuantBase, 15, 8);

static_assert(LUMA_BASE_444[0] == 2 && LUMA_BASE_444[7] == 7);
static_assert(LUMA_BASE_422[1] == 6 && LUMA_BASE_422[6] == 28);
static_assert(CHROMA_BASE[3] == 8 && CHROMA_BASE_COARSE[4] == 185 && LUMA_BASE_COARSE[7] == 76);

// The AAN scale factors sqrt(2) * cos(k * pi / 16), k = 1..7 (1.0 for k = 0),
// as nine-decimal literals: the tables are defined by these exact doubles.
inline constexpr std::array<double, 8> AAN_SCALE = {1.0, 1.387039845, 1.306562965, 1.175875602,
                                                    1.0, 0.785694958, 0.541196100, 0.275899379};

// Divides each base entry by scale/16 (truncating), clamps it to the baseline
// range 1..255 and folds in the AAN factors. The product is formed in double
// precision in exactly this order: single precision gives different entries.
constexpr QuantTable build_quant_table(const BaseTable& base, int32_t scale) {
  QuantTable out{};
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      int32_t q = base[8 * r + c] * 16 / scale;
      q = q < 1 ? 1 : (q > 255 ? 255 : q);
      const double v = ((static_cast<double>(q) * AAN_SCALE[r]) * AAN_SCALE[c]) * 65536.0;
      out[8 * r + c] = static_cast<int64_t>(v);  // truncation toward zero; v < 2^26
    }
  }
  return out;
}

// A level dequantised and prescaled for the transform with one entry of a
// table: the product of a 32-bit level and a step below 2^26 fits in 64 bits,
// and the result is cut to its low 32 bits.
constexpr int32_t dequantise(int32_t level, int64_t step) noexcept {
  return static_cast<int32_t>((static_cast<int64_t>(level) * step) >> 16);
}

// The four tables of a frame: slot 0 depends on the mode, slots 1..3 do not. A
// DCT record names its pair by the slot of its luminance table; the chrominance
// table is the next slot.
struct QuantTables {
  std::array<QuantTable, 4> slot;
};
inline constexpr uint32_t kPrimaryPair = 0;
inline constexpr uint32_t kAlternativePair = 2;

inline constexpr QuantTables kQuantTables444 = {
    {build_quant_table(LUMA_BASE_444, 16), build_quant_table(CHROMA_BASE, 16), build_quant_table(LUMA_BASE_COARSE, 16),
     build_quant_table(CHROMA_BASE_COARSE, 16)}};
inline constexpr QuantTables kQuantTables422 = {
    {build_quant_table(LUMA_BASE_422, 16), kQuantTables444.slot[1], kQuantTables444.slot[2], kQuantTables444.slot[3]}};

static_assert(kQuantTables444.slot[0][1] == 90901 && kQuantTables422.slot[0][5] == 1132808);
static_assert(kQuantTables444.slot[1][7] == 325464 && kQuantTables444.slot[3][63] == 922896);

}  // namespace ast2100

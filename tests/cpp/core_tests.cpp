// Unit tests of the decoder core: bit reader, Huffman decoding, coefficient
// blocks, quantisation tables, inverse DCT and colour output. Expected values are
// fixed known-good numbers or come from small independent models written here: a
// bit-by-bit stream, the 64K-entry Huffman lookup form, a plain butterfly without
// shortcuts, and a per-pixel colour store.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "ast2100/arith.hpp"
#include "ast2100/bitreader.hpp"
#include "ast2100/clamp.hpp"
#include "ast2100/color.hpp"
#include "ast2100/huffman.hpp"
#include "ast2100/frame.hpp"
#include "ast2100/idct.hpp"
#include "ast2100/kernels.hpp"
#include "ast2100/picture.hpp"
#include "ast2100/simd_avx2.hpp"
#include "ast2100/thumbnail.hpp"
#include "ast2100/quant.hpp"
#include "random_frame.hpp"

using namespace ast2100;
using namespace ast2100_test;

namespace {
int g_passed = 0, g_failed = 0;
const Kernels* g_kernels = &scalar_kernels();  // the kernels the idct and colour tests run
std::string g_ctx;                             // the current table case, printed with a failure
const char* g_sweep = nullptr;                 // the current sweep and its index, likewise
size_t g_sweep_i = 0;

template <class T>
void show(const T& v) {
  if constexpr (std::is_integral_v<T>) std::cerr << +v << " (0x" << std::hex << +v << std::dec << ')';
  else
    for (const auto& e : v) std::cerr << +e << ' ';
}

// Counts a pass (if `count`) or reports a failure; returns whether a == b.
template <class A, class B>
bool check_eq(const A& a, const B& b, const char* ea, const char* eb, int line, bool count = true) {
  bool eq = false;  // integers compare by value, whatever their types
  if constexpr (std::is_integral_v<A> && std::is_integral_v<B> && !std::is_same_v<A, bool>) eq = std::cmp_equal(a, b);
  else eq = a == b;
  if (eq) return count ? (++g_passed, true) : true;
  ++g_failed;
  std::cerr << __FILE__ << ':' << line << ": " << (g_ctx.empty() ? "" : "[" + g_ctx + "] ")
            << (g_sweep ? "[" + std::string(g_sweep) + " #" + std::to_string(g_sweep_i) + "] " : "") << ea
            << " == " << eb << " failed: ";
  show(a), std::cerr << " vs ", show(b), std::cerr << '\n';
  return false;
}
#define CHECK_EQ(a, b) check_eq((a), (b), #a, #b, __LINE__)
#define CHECK(c) check_eq(static_cast<bool>(c), true, #c, "true", __LINE__)
#define SAME(a, b) check_eq((a), (b), #a, #b, __LINE__, false)  // inside sweeps

// ok(i) for i < n up to the first i that fails (ok reports it through SAME);
// one pass when all hold.
template <class F>
void sweep(const char* what, size_t n, F ok) {
  g_sweep = what;
  for (g_sweep_i = 0; g_sweep_i < n && ok(g_sweep_i); ++g_sweep_i) {}
  if (g_sweep_i == n) ++g_passed;
  g_sweep = nullptr;
}

// The byte size of a test's own small picture, as the size of its buffer: it
// fits in size_t on every CPU, as a 32-bit build checks here.
size_t buffer_size(uint64_t bytes) {
  if (bytes > SIZE_MAX) {
    std::cerr << "a test picture of " << bytes << " bytes does not fit in memory\n";
    std::abort();
  }
  return static_cast<size_t>(bytes);
}

// The 32 stream bits from bit i of the stream that starts at byte `start`, taken
// one bit at a time: word i / 32 is little-endian, a missing byte reads as zero.
uint32_t stream_window(const std::vector<uint8_t>& d, size_t start, size_t i) {
  uint32_t w = 0;
  for (size_t k = i; k < i + 32; ++k) {
    const size_t bit = 31 - k % 32, byte = start + 4 * (k / 32) + bit / 8;
    w = (w << 1) | (byte < d.size() ? (d[byte] >> (bit % 8)) & 1u : 0u);
  }
  return w;
}

// A bit sequence, packed by the test streams' writer (random_frame.hpp) into
// 32-bit little-endian words read from bit 31 down; window_at reads it back bit
// by bit.
struct Bits {
  records::BitWriter writer;
  std::vector<uint8_t> bytes;  // filled by reader()
  Bits& put(uint32_t v, int n) {
    writer.put(v, static_cast<unsigned>(n));
    return *this;
  }
  Bits& put(const char* s) {  // '0' and '1', spaces ignored
    for (; *s; ++s) *s == ' ' ? void() : writer.put_bit(static_cast<unsigned>(*s - '0'));
    return *this;
  }
  Bits& sym(const records::HuffCode& code, uint8_t s) {  // a code word
    code.put(writer, s);
    return *this;
  }
  Bits& level(const records::HuffCode& code, uint32_t run, int32_t v) {  // (run, size) symbol, then the magnitude
    put_coded(writer, code, coded(run, v));
    return *this;
  }
  size_t size() const { return writer.bits(); }
  BitReader reader() {
    bytes = writer.finish();
    return BitReader::make(bytes.data(), bytes.size(), 0);
  }
  uint32_t window_at(size_t i) const { return stream_window(bytes, 0, i); }
};
}  // namespace

static void test_bitreader() {
  {  // 12 34 56 78 9A BC DE F0 after a 4-byte header, then zeros for ever
    const std::vector<uint8_t> d = {0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    auto r = BitReader::make(d.data(), d.size(), 4);
    CHECK_EQ(r.window(), 0x78563412u);
    const std::pair<uint32_t, uint32_t> steps[] = {{4, 0x8563412Fu}, {28, 0xF0DEBC9Au}, {16, 0xBC9A0000u},
                                                   {16, 0u},         {31, 0u},          {31, 0u}};
    for (auto [n, w] : steps) r.consume_bits(n), CHECK_EQ(r.window(), w);
    CHECK_EQ(r.pos(), d.size());
  }
  {  // a short last word: its missing high bytes come first, as zeros
    const std::vector<uint8_t> d = {0x12, 0x34, 0x56, 0x78, 0xAA, 0xBB};
    auto r = BitReader::make(d.data(), d.size(), 0);
    r.consume_bits(16), r.consume_bits(16);
    CHECK_EQ(r.window(), 0x0000BBAAu);
  }
  {  // two 16-bit drops: the second uses up the reserve and loads word 3;
     // then consume_bits(0) with one reserve bit left changes nothing
    const std::vector<uint8_t> d = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    auto r = BitReader::make(d.data(), d.size(), 0);
    r.consume_bits(16);
    CHECK_EQ(r.reserve_bits(), 16);
    r.consume_bits(16);
    CHECK(r.window() == 0x08070605u && r.reserve_bits() == 32 && r.pos() == 12);
    r.consume_bits(31);
    const uint32_t w = r.window();
    CHECK_EQ(r.reserve_bits(), 1);
    r.consume_bits(0);
    CHECK(r.window() == w && r.reserve_bits() == 1 && r.pos() == 12);
  }
  // Random drop sequences over exact-size heap buffers (short last words,
  // starts at or past the end) against the bit-by-bit model.
  std::mt19937 rng(1234);
  sweep("drops", 3000, [&](uint64_t) {
    std::vector<uint8_t> d(rng() % 41);
    for (auto& x : d) x = static_cast<uint8_t>(rng());
    const size_t start = rng() % (d.size() + 3);
    auto r = BitReader::make(d.data(), d.size(), start);
    for (size_t step = 0, at = 0; step < 60; ++step) {
      const uint32_t n = rng() % 4 == 0 ? (rng() % 2 ? 0u : 31u) : rng() % 32;
      r.consume_bits(n);
      at += n;
      if (!SAME(r.window(), stream_window(d, start, at)) || !SAME(r.pos() <= d.size(), true)) return false;
    }
    return true;
  });
  struct Extend {
    const char* bits;
    uint32_t s;
    int32_t value;
  };
  const Extend extends[] = {{"1", 1, 1},
                            {"0", 1, -1},
                            {"101", 3, 5},
                            {"010", 3, -5},
                            {"000", 3, -7},
                            {"111", 3, 7},
                            {"00000000000", 11, -2047},
                            {"10000000000", 11, 1024},
                            {"000000000000000", 15, -32767}};
  for (const auto& e : extends) {
    g_ctx = e.bits;
    Bits b;
    auto r = b.put(e.bits).put(0xC0FFEE11u, 32).reader();
    CHECK_EQ(r.receive_extend(e.s), e.value);
    CHECK_EQ(r.window(), 0xC0FFEE11u);
  }
  g_ctx.clear();
}

namespace {
// The lookup form: code length by the next 16 bits (the all-ones tail of a
// table takes its longest length, sixteen 1 bits take 0), and the symbol at
// (offset of the code within its length) * 256 + length.
struct RefHuffman {
  std::vector<uint8_t> code_lengths = std::vector<uint8_t>(65536), symbols = std::vector<uint8_t>(65536);
  std::array<uint16_t, 17> min_code{};

  explicit RefHuffman(const HuffmanCode& hc) {
    uint32_t code = 0, next = 0;
    uint8_t longest = 0;
    for (uint32_t len = 1; len <= 16; ++len, code *= 2) {
      const uint32_t n = hc.counts[len - 1];
      min_code[len] = n ? static_cast<uint16_t>(code) : 0xFFFF;
      for (uint32_t j = 0; j < n; ++j, ++code) {
        symbols[j * 256 + len] = hc.symbols[next++];
        for (uint32_t p = code << (16 - len); p < (code + 1) << (16 - len); ++p)
          code_lengths[p] = static_cast<uint8_t>(len);
      }
      if (n) longest = static_cast<uint8_t>(len);
    }
    for (auto& l : code_lengths)
      if (l == 0) l = longest;
    code_lengths[65535] = 0;
  }
  std::pair<uint8_t, uint32_t> decode(uint32_t p) const {  // (symbol, bits consumed)
    const uint32_t len = code_lengths[p], c = len ? p >> (16 - len) : 0;
    return {symbols[((c - min_code[len]) & 0xFFFFu) * 256 + len], len};
  }
};

// T.81 Figure A.6: the natural position of the k-th coefficient in zig-zag order.
constexpr uint8_t kNatural[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
}  // namespace

static void test_huffman() {
  const HuffmanTables& t = kHuffmanTables;
  struct Table {
    const char* name;
    const HuffmanCode& code;
    const HuffTable& table;
    std::array<uint8_t, 16> counts;
  };
  const Table tables[] = {
      // counts of T.81 Tables K.3, K.5, K.4, K.6
      {"luma_dc", kLumaDcCode, t.luma_dc, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"luma_ac", kLumaAcCode, t.luma_ac, {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d}},
      {"chroma_dc", kChromaDcCode, t.chroma_dc, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}},
      {"chroma_ac", kChromaAcCode, t.chroma_ac, {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77}}};
  for (const auto& [name, code, table, counts] : tables) {
    CHECK_EQ(code.counts, counts);
    const RefHuffman ref(code);
    const HuffTable loaded = build_huff_table(code);  // built at run time
    // Every 16-bit prefix, followed by prefix-dependent bits, in the shared and
    // in a freshly loaded table: same symbol, same number of bits consumed.
    for (const HuffTable* tab : {&table, &loaded})
      sweep(name, 65536, [&](uint64_t i) {
        const uint32_t p = static_cast<uint32_t>(i), w0 = p << 16 | ((p * 40503u) >> 3 & 0xFFFFu);
        const uint32_t w1 = p * 2654435761u;
        const uint8_t d[8] = {uint8_t(w0), uint8_t(w0 >> 8), uint8_t(w0 >> 16), uint8_t(w0 >> 24),
                              uint8_t(w1), uint8_t(w1 >> 8), uint8_t(w1 >> 16), uint8_t(w1 >> 24)};
        auto r = BitReader::make(d, 8, 0);
        const auto [sym, n] = ref.decode(p);
        return SAME(decode_symbol(r, *tab), sym) && SAME(r.window(), n ? w0 << n | w1 >> (32 - n) : w0);
      });
  }

  struct Word {
    const HuffTable& table;
    const char* bits;
    uint8_t sym;
    uint32_t n;
  };
  const Word words[] = {{t.luma_dc, "00", 0, 2},
                        {t.luma_dc, "010", 1, 3},
                        {t.luma_dc, "111111110", 11, 9},
                        {t.luma_dc, "111111111 0", 0, 9},
                        {t.luma_dc, "111111111 1111110", 0, 9},
                        {t.luma_dc, "1111111111111111", 0, 0},
                        {t.chroma_dc, "00", 0, 2},
                        {t.chroma_dc, "11111111110", 11, 11},
                        {t.chroma_dc, "11111111111 0", 0, 11},
                        {t.chroma_dc, "1111111111111111", 0, 0},
                        {t.luma_ac, "00", 0x01, 2},
                        {t.luma_ac, "1010", 0x00, 4},
                        {t.luma_ac, "11111111001", 0xF0, 11},
                        {t.luma_ac, "1111111111111110", 0xFA, 16},
                        {t.luma_ac, "1111111111111111", 0x00, 0},
                        {t.chroma_ac, "00", 0x00, 2},
                        {t.chroma_ac, "1010", 0x03, 4},
                        {t.chroma_ac, "1111111010", 0xF0, 10},
                        {t.chroma_ac, "1111111111111110", 0xFA, 16}};
  for (const auto& w : words) {
    g_ctx = w.bits;
    Bits b;
    auto r = b.put(w.bits).put(0x5A5A5A5Au, 32).reader();
    CHECK_EQ(decode_symbol(r, w.table), w.sym);
    CHECK_EQ(r.window(), b.window_at(w.n));
  }
  g_ctx.clear();
  const std::array<uint16_t, 5> ac_min = {t.luma_ac.min_code[1], t.luma_ac.min_code[13], t.luma_ac.min_code[14],
                                          t.luma_ac.min_code[15], t.luma_ac.min_code[16]};
  CHECK_EQ(ac_min, (std::array<uint16_t, 5>{0xFFFF, 0xFFFF, 0xFFFF, 0x7FC0, 0xFF82}));
  CHECK(t.chroma_dc.min_code[2] == 0 && t.chroma_dc.min_code[11] == 0x7FE);
  for (uint32_t len = 12; len <= 16; ++len) CHECK_EQ(t.chroma_dc.min_code[len], 0xFFFFu);
}

static void test_decode_block() {
  const HuffmanTables& t = kHuffmanTables;
  const records::Codes& codes = records::codes();
  struct Case {
    const char* name;
    Bits bits;
    int32_t predictor, dc;
    std::vector<std::pair<int, int32_t>> ac;  // (zig-zag number, value)
    size_t consumed = SIZE_MAX;               // SIZE_MAX: all of `bits`
    bool chroma = false;
  };
  auto bits = [](const char* s) { return Bits{}.put(s); };
  std::vector<Case> cases = {{"dc 0, eob", bits("00 1010"), 0, 0, {}},
                             {"dc size 2", bits("011 11 1010"), 5, 8, {}},
                             {"dc -1", bits("010 0 1010"), 0, -1, {}},
                             {"dc -1 again", bits("010 0 1010"), -1, -2, {}},
                             {"dc wraps", bits("010 1 1010"), INT32_MAX, INT32_MIN, {}},
                             {"first ac", bits("00 00 1 1010"), 0, 0, {{1, 1}}},
                             {"second ac", bits("00 00 0 00 1 1010"), 0, 0, {{1, -1}, {2, 1}}},
                             {"chroma", bits("00 00"), 3, 3, {}, SIZE_MAX, true},
                             {"3 zrl + eob", bits("00 11111111001 11111111001 11111111001 1010"), 7, 7, {}},
                             {"4 zrl, no eob", bits("00 11111111001 11111111001 11111111001 11111111001"), 7, 7, {}},
                             {"sixteen 1s", bits("1111111111111111"), 9, 9, {}, 0}};
  Case full{"63 coefficients, no eob", {}, 0, 0, {}};
  full.bits.level(codes.luma_dc, 0, 0);
  for (int k = 1; k < 64; ++k)
    full.ac.push_back({k, k % 3 ? k : -k}), full.bits.level(codes.luma_ac, 0, full.ac.back().second);
  Case past{"run past 63", {}, 0, 12, {{59, -1}}};  // its magnitude bit stays for the next block
  past.bits.level(codes.luma_dc, 0, 12);
  for (int i = 0; i < 3; ++i) past.bits.sym(codes.luma_ac, 0xF0);  // k = 49
  past.bits.level(codes.luma_ac, 10, -1);                          // k = 59
  past.bits.sym(codes.luma_ac, 0x51);                              // k = 60 + 5
  cases.insert(cases.end(), {full, past});

  for (size_t i = 0; i < cases.size(); ++i) {
    Case& c = cases[i];
    g_ctx = c.name;
    const size_t consumed = c.consumed == SIZE_MAX ? c.bits.size() : c.consumed;
    auto r = c.bits.put(0xB5C3E1F7u, 32).reader();                      // followed by the next block's bits
    std::vector<int32_t> coef(384, 0x5A5A5A5A), want(384, 0x5A5A5A5A);  // only coded entries are written
    const size_t at = 64 * (i % 6);
    const auto& [dc, ac] = c.chroma ? std::tie(t.chroma_dc, t.chroma_ac) : std::tie(t.luma_dc, t.luma_ac);
    CHECK_EQ(decode_block(r, dc, ac, c.predictor, coef.data(), at), c.dc);
    CHECK_EQ(r.window(), c.bits.window_at(consumed));
    want[at] = c.dc;
    for (auto [k, v] : c.ac) want[at + kNatural[k]] = v;
    for (size_t p = 0; p < 384 && SAME(coef[p], want[p]); ++p) {}
  }
  g_ctx.clear();
}

static void test_quant() {
  using Row = std::array<int64_t, 8>;
  auto row0 = [](const QuantTable& q) { return Row{q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7]}; };
  CHECK_EQ(row0(kQuantTables444.slot[0]), (Row{131072, 90901, 85626, 154124, 196608, 257456, 212806, 126569}));
  CHECK_EQ(row0(kQuantTables422.slot[0]), (Row{589824, 545406, 428134, 693559, 851968, 1132808, 993099, 614765}));
  CHECK_EQ(row0(kQuantTables444.slot[1]), (Row{196608, 272703, 342507, 616497, 1179648, 926843, 638420, 325464}));
  CHECK_EQ(kQuantTables444.slot[3][63], 922896);
  for (int s = 1; s < 4; ++s) CHECK(kQuantTables444.slot[s] == kQuantTables422.slot[s]);

  struct Base {
    const BaseTable& base;
    std::array<int32_t, 8> row0;
    const QuantTable& table;
  };
  const Base bases[] = {{LUMA_BASE_444, {2, 1, 1, 2, 3, 5, 6, 7}, kQuantTables444.slot[0]},
                        {LUMA_BASE_422, {9, 6, 5, 9, 13, 22, 28, 34}, kQuantTables422.slot[0]},
                        {CHROMA_BASE, {3, 3, 4, 8, 18, 18, 18, 18}, kQuantTables444.slot[1]},
                        {LUMA_BASE_COARSE, {20, 13, 12, 20, 30, 50, 63, 76}, kQuantTables444.slot[2]},
                        {CHROMA_BASE_COARSE, {31, 33, 45, 88, 185, 185, 185, 185}, kQuantTables444.slot[3]}};
  // The products formed at run time from laundered operands: the compile-time
  // double arithmetic must give what IEEE double gives at run time.
  volatile double aan[8] = {1.0, 1.387039845, 1.306562965, 1.175875602, 1.0, 0.785694958, 0.541196100, 0.275899379};
  volatile int32_t sixteen = 16;
  for (const auto& b : bases) {
    CHECK(std::equal(b.row0.begin(), b.row0.end(), b.base.begin()));
    CHECK_EQ(b.table[0], int64_t{b.base[0]} * 65536);
    QuantTable runtime{};
    for (int p = 0; p < 64; ++p)
      runtime[p] = static_cast<int64_t>(((b.base[p] * 16 / sixteen * aan[p / 8]) * aan[p % 8]) * 65536.0);
    CHECK(runtime == b.table);
    CHECK(build_quant_table(b.base, sixteen) == b.table);
  }
  // Other scales divide first, then clamp to 1..255 (factor 1.0 at 0, 4, 32, 36).
  BaseTable ones{}, big{};
  ones.fill(1), big.fill(185);
  const QuantTable q32 = build_quant_table(ones, 32), q8 = build_quant_table(big, 8);
  for (int p : {0, 4, 32, 36}) CHECK(q32[p] == 65536 && q8[p] == 255 * 65536);
}

namespace {
// The inverse DCT from its step list: every sum on uint32_t, every shift
// arithmetic, no zero-column shortcut, and the output limit written out.
uint32_t mul8(uint32_t x, int32_t k) {
  return static_cast<uint32_t>(static_cast<int32_t>(x * static_cast<uint32_t>(k)) >> 8);
}

void ref_butterfly(const uint32_t d[8], uint32_t y[8]) {
  const uint32_t t10 = d[0] + d[4], t11 = d[0] - d[4], t13 = d[2] + d[6], t12 = mul8(d[2] - d[6], 362) - t13;
  const uint32_t e0 = t10 + t13, e3 = t10 - t13, e1 = t11 + t12, e2 = t11 - t12;
  const uint32_t z13 = d[5] + d[3], z10 = d[5] - d[3], z11 = d[1] + d[7], z12 = d[1] - d[7];
  const uint32_t o7 = z11 + z13, z5 = mul8(z10 + z12, 473), o6 = mul8(z10, -669) + z5 - o7;
  const uint32_t o5 = mul8(z11 - z13, 362) - o6, o4 = mul8(z12, 277) - z5 + o5;
  const uint32_t out[8] = {e0 + o7, e1 + o6, e2 + o5, e3 - o4, e3 + o4, e2 - o5, e1 - o6, e0 - o7};
  std::copy(out, out + 8, y);
}

uint8_t ref_sample(uint32_t s) {  // bits 3..12 as a signed 10-bit t; t + 128 limited to 0..255
  const int32_t t = static_cast<int32_t>((s >> 3) & 1023u) - ((s >> 12 & 1u) ? 1024 : 0);
  return static_cast<uint8_t>(t < -128 ? 0 : (t > 127 ? 255 : t + 128));
}

using Px = std::array<uint8_t, 64>;
Px ref_idct(const int32_t* coef, const QuantTable& q) {
  uint32_t ws[64], col[8], y[8];
  for (int v = 0; v < 8; ++v) {
    for (int k = 0; k < 8; ++k) col[k] = static_cast<uint32_t>(int64_t{coef[8 * k + v]} * q[8 * k + v] >> 16);
    ref_butterfly(col, y);
    for (int k = 0; k < 8; ++k) ws[8 * k + v] = y[k];
  }
  Px px{};
  for (int r = 0; r < 8; ++r) {
    ref_butterfly(&ws[8 * r], y);
    for (int x = 0; x < 8; ++x) px[8 * r + x] = ref_sample(y[x]);
  }
  return px;
}

Px run_idct(const std::array<int32_t, 64>& block, const QuantTable& q) {  // as block 2 of a macroblock
  std::vector<int32_t> coef(384, 0x7EADBEEF);
  std::vector<uint8_t> out(768, 0xA5);
  std::copy(block.begin(), block.end(), coef.begin() + 128);
  g_kernels->idct(coef.data(), 128, q, out.data(), 128);
  Px px;
  std::copy(out.begin() + 128, out.begin() + 192, px.begin());
  return px;
}
}  // namespace

static void test_idct() {
  using Line = std::array<uint8_t, 8>;
  auto rows = [](Line r) {
    Px p;
    for (int i = 0; i < 64; ++i) p[i] = r[i % 8];
    return p;
  };
  auto cols = [](Line c) {
    Px p;
    for (int i = 0; i < 64; ++i) p[i] = c[i / 8];
    return p;
  };
  auto flat = [](uint8_t v) {
    Px p;
    p.fill(v);
    return p;
  };
  const QuantTable &q444 = kQuantTables444.slot[0], &q422 = kQuantTables422.slot[0];
  auto ends = [](Line r0, Line r7) {  // rows 0 and 7; the others compare as 0
    Px p{};
    std::copy(r0.begin(), r0.end(), p.begin()), std::copy(r7.begin(), r7.end(), p.begin() + 56);
    return p;
  };
  struct Case {
    const char* name;
    std::vector<std::pair<int, int32_t>> coefs;
    const QuantTable& q;
    Px want;
    bool ends_only = false;
  };
  const Case cases[] = {{"zero", {}, q444, flat(128)},
                        {"dc 100", {{0, 100}}, q444, flat(153)},
                        {"dc -100", {{0, -100}}, q444, flat(103)},
                        {"dc -101", {{0, -101}}, q444, flat(102)},
                        {"dc 1000", {{0, 1000}}, q444, flat(255)},
                        {"dc 2048 wraps", {{0, 2048}}, q444, flat(0)},
                        {"horizontal", {{0, 50}, {1, 10}}, q444, rows({142, 141, 141, 140, 140, 139, 139, 138})},
                        {"vertical", {{0, 50}, {8, -7}}, q444, cols({139, 139, 139, 140, 140, 141, 141, 141})},
                        {"mode 422, rows 0 and 7",
                         {{0, -20}, {1, 3}, {8, 2}, {9, -1}},
                         q422,
                         ends({109, 108, 108, 108, 107, 106, 106, 106}, {108, 107, 106, 104, 102, 101, 99, 99}),
                         true}};
  for (const auto& c : cases) {
    g_ctx = c.name;
    std::array<int32_t, 64> block{};
    for (auto [p, v] : c.coefs) block[p] = v;
    for (Px got : {run_idct(block, c.q), ref_idct(block.data(), c.q)}) {  // the reference must agree too
      if (c.ends_only) std::fill(got.begin() + 8, got.begin() + 56, 0);
      CHECK_EQ(got, c.want);
    }
  }
  g_ctx = "offset 320";  // writes bytes 320..383 and no others
  std::vector<int32_t> coef(384, 3);
  std::vector<uint8_t> out(768, 0xA5), want(768, 0xA5);
  g_kernels->idct(coef.data(), 320, q444, out.data(), 320);
  const Px block5 = ref_idct(coef.data() + 320, q444);
  std::copy(block5.begin(), block5.end(), want.begin() + 320);
  CHECK(out == want);
  g_ctx.clear();

  // Random blocks of several shapes, all five tables: typical sparse levels,
  // arbitrary 32-bit values, extremes, columns with only a DC (the shortcut)
  // next to columns with a single AC row, and levels that dequantise to 0.
  std::mt19937 rng(77);
  const QuantTable* tables[] = {&q444, &q422, &kQuantTables444.slot[1], &kQuantTables444.slot[2],
                                &kQuantTables444.slot[3]};
  const int32_t extremes[] = {0, 0, 0, 1, -1, INT32_MIN, INT32_MAX, INT32_MIN + 1, 1 << 30, -(1 << 30)};
  auto level = [&](uint32_t range) { return static_cast<int32_t>(rng() % range) - static_cast<int32_t>(range / 2); };
  sweep("random block", 25000, [&](uint64_t n) {
    std::array<int32_t, 64> b{};
    for (int p = 0; p < 64; ++p) {
      switch (n % 5) {
        case 0:
          b[p] = rng() % 6 ? 0 : level(2048);
          break;
        case 1:
          b[p] = static_cast<int32_t>(rng());
          break;
        case 2:
          b[p] = extremes[rng() % 10];
          break;
        case 3:
          b[p] = p < 8 ? level(4096) : 0;
          break;
        default:
          b[p] = rng() % 3 ? 0 : level(3);
          break;
      }
    }
    for (int v = 0; v < 8 && n % 5 == 3; ++v)
      if (rng() % 2) b[8 * (1 + rng() % 7) + v] = level(9);
    const QuantTable& q = *tables[rng() % 5];
    return SAME(run_idct(b, q), ref_idct(b.data(), q));
  });
}

namespace {
using Rgb = std::array<uint8_t, 3>;
Rgb ref_rgb(uint8_t y, uint8_t cb, uint8_t cr) {
  auto lim = [](int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
  const auto& l = kColorLuts;
  return {lim(l.y_level[y] + l.cr_to_r[cr]), lim(l.y_level[y] + l.cb_to_g[cb] + l.cr_to_g[cr]),
          lim(l.y_level[y] + l.cb_to_b[cb])};
}

// Each format's pixel, byte by byte: R, G, B, X (padding, 255) or Y (the
// luma term alone).
constexpr std::pair<PixelFormat, const char*> kLayouts[] = {
    {PixelFormat::rgb, "RGB"},   {PixelFormat::bgr, "BGR"},   {PixelFormat::rgbx, "RGBX"}, {PixelFormat::bgrx, "BGRX"},
    {PixelFormat::xrgb, "XRGB"}, {PixelFormat::xbgr, "XBGR"}, {PixelFormat::gray, "Y"}};

const char* layout_of(PixelFormat f) {
  for (const auto& [format, layout] : kLayouts)
    if (format == f) return layout;
  return "";
}

// One pixel in format f, from the per-pixel model.
std::vector<uint8_t> ref_pixel(PixelFormat f, uint8_t y, uint8_t cb, uint8_t cr) {
  const Rgb v = ref_rgb(y, cb, cr);
  const int32_t luma = kColorLuts.y_level[y];
  std::vector<uint8_t> out;
  for (const char* c = layout_of(f); *c; ++c) {
    switch (*c) {
      case 'R':
        out.push_back(v[0]);
        break;
      case 'G':
        out.push_back(v[1]);
        break;
      case 'B':
        out.push_back(v[2]);
        break;
      case 'X':
        out.push_back(255);
        break;
      default:
        out.push_back(static_cast<uint8_t>(luma < 0 ? 0 : (luma > 255 ? 255 : luma)));
    }
  }
  return out;
}

// Pixel (N * mb_col + c, N * mb_row + r), stored only when inside the picture.
std::vector<uint8_t> ref_store(const YuvMacroblock& s, uint64_t col, uint64_t row, size_t w, size_t h, bool sub,
                               PixelFormat f = PixelFormat::rgb) {
  const size_t size = bytes_per_pixel(f);
  std::vector<uint8_t> px(size * w * h, 0xEE);
  const size_t n = sub ? 16 : 8;
  for (size_t r = 0; r < n && col <= w && row <= h; ++r)
    for (size_t c = 0; c < n; ++c) {
      const uint64_t x = n * col + c, y = n * row + r;
      const size_t ys = sub ? 64 * (c / 8 + 2 * (r / 8)) + 8 * (r % 8) + c % 8 : 8 * r + c;
      const size_t cs = sub ? 256 + 8 * (r / 2) + c / 2 : 64 + 8 * r + c;
      const auto v = ref_pixel(f, s[ys], s[cs], s[cs + 64]);
      if (x < w && y < h) std::copy(v.begin(), v.end(), px.begin() + static_cast<std::ptrdiff_t>(size * (y * w + x)));
    }
  return px;
}

std::vector<uint8_t> store(const YuvMacroblock& s, uint64_t col, uint64_t row, size_t w, size_t h, bool sub,
                           PixelFormat f = PixelFormat::rgb) {
  std::vector<uint8_t> px(bytes_per_pixel(f) * w * h, 0xEE);  // exact size: ASan sees any stray write
  g_kernels->yuv_to_rgb_for(f)(s, col, row, FrameView{px, w, h, f}, sub);
  return px;
}
}  // namespace

static void test_color() {
  const auto& l = kColorLuts;
  using V = std::vector<int32_t>;
  auto at = [](const std::array<int32_t, 256>& t, V i) {
    for (auto& v : i) v = t[v];
    return i;
  };
  CHECK_EQ(at(l.y_level, {0, 1, 16, 128, 235, 254, 255}), (V{-19, -17, 0, 130, 255, 277, 278}));
  CHECK_EQ(at(l.cr_to_r, {0, 128, 129, 255}), (V{-204, 0, 2, 203}));
  CHECK_EQ(at(l.cb_to_b, {0, 1, 128, 255}), (V{-258, -256, 0, 256}));
  CHECK_EQ(at(l.cr_to_g, {0, 127, 128, 129, 255}), (V{104, 1, 0, -1, -103}));
  CHECK_EQ(at(l.cb_to_g, {0, 1, 127, 128, 129, 255}), (V{50, 50, 0, 0, 0, -50}));
  const std::pair<int, int> clamp_entries[] = {{255, 0}, {256, 0},  {511, 255}, {512, 255}, {895, 255},
                                               {896, 0}, {1279, 0}, {1280, 0},  {1407, 127}};
  for (auto [i, v] : clamp_entries) CHECK_EQ(kClampTable[i], v);
  const std::pair<int32_t, int> lookups[] = {{0, 128},  {127, 255}, {128, 255}, {511, 255},
                                             {-1, 127}, {-128, 0},  {-129, 0},  {-512, 0}};
  for (auto [s, v] : lookups) CHECK_EQ(kClampTable[384 + (s & 1023)], v);

  // Known conversions, one per pixel of an 8x8 macroblock.
  struct Conv {
    uint8_t y, cb, cr;
    Rgb rgb;
  };
  const Conv convs[] = {{16, 128, 128, {0, 0, 0}},  {235, 128, 128, {255, 255, 255}}, {128, 128, 128, {130, 130, 130}},
                        {0, 128, 128, {0, 0, 0}},   {255, 128, 128, {255, 255, 255}}, {81, 90, 240, {255, 0, 0}},
                        {145, 54, 34, {0, 255, 1}}, {41, 240, 110, {0, 0, 255}},      {255, 128, 0, {74, 255, 255}},
                        {0, 0, 0, {0, 135, 0}},     {255, 255, 255, {255, 125, 255}}};
  YuvMacroblock m{};
  for (size_t i = 0; i < std::size(convs); ++i) m[i] = convs[i].y, m[64 + i] = convs[i].cb, m[128 + i] = convs[i].cr;
  const auto px = store(m, 0, 0, 8, 8, false);
  for (size_t i = 0; i < std::size(convs); ++i) CHECK_EQ((Rgb{px[3 * i], px[3 * i + 1], px[3 * i + 2]}), convs[i].rgb);

  // 16x16: a 2x2 group shares its chroma; pixel (15, 15) reads bytes 255, 319, 383.
  m.fill(128);
  m[256] = 200, m[320] = 60, m[255] = 235, m[319] = 90, m[383] = 240;
  const auto p16 = store(m, 0, 0, 16, 16, true);
  auto pixel = [&](int r, int c) {
    const size_t o = 3 * (16 * r + c);
    return Rgb{p16[o], p16[o + 1], p16[o + 2]};
  };
  const Rgb grey = {130, 130, 130}, shared = ref_rgb(128, 200, 60);
  CHECK(pixel(0, 0) == shared && pixel(0, 1) == shared && pixel(1, 0) == shared && pixel(1, 1) == shared);
  CHECK(pixel(0, 2) == grey && pixel(2, 0) == grey);
  CHECK(pixel(15, 15) == ref_rgb(235, 90, 240) && pixel(14, 14) == ref_rgb(128, 90, 240));

  // Edges: only pixels inside the picture are stored; nothing wraps into the
  // next row. (mode, width, height, column, row, pixels stored)
  struct Edge {
    const char* name;
    bool sub;
    size_t w, h;
    uint64_t col, row;
    size_t stored;
  };
  const Edge edges[] = {{"right edge: columns 16..19", false, 20, 9, 2, 0, 4 * 8},
                        {"past the right edge", false, 20, 8, 3, 0, 0},
                        {"corner, last pixel", true, 20, 10, 1, 0, 4 * 10},
                        {"bottom partial", false, 9, 10, 1, 1, 1 * 2},
                        {"below the picture", false, 20, 10, 0, 2, 0},
                        {"far away", true, 20, 10, 1000, 1000, 0},
                        {"huge column", false, 20, 10, uint64_t{1} << 40, 0, 0},
                        {"column whose pixel x wraps", true, 20, 10, uint64_t{1} << 60, 0, 0},
                        {"row whose pixel y wraps", false, 20, 10, 0, (uint64_t{1} << 61) + 1, 0},
                        {"inside", true, 32, 32, 1, 1, 256}};
  std::mt19937 rng(5);
  for (const auto& e : edges) {
    g_ctx = e.name;
    for (auto& v : m) v = static_cast<uint8_t>(16 + rng() % 200);  // no pixel reads 0xEE 0xEE 0xEE
    const auto got = store(m, e.col, e.row, e.w, e.h, e.sub);
    CHECK(got == ref_store(m, e.col, e.row, e.w, e.h, e.sub));
    size_t stored = 0;
    for (size_t i = 0; i < got.size(); i += 3) stored += got[i] != 0xEE || got[i + 1] != 0xEE || got[i + 2] != 0xEE;
    CHECK_EQ(stored, e.stored);
  }
  g_ctx.clear();
  sweep("random macroblock", 3000, [&](uint64_t n) {
    const bool sub = n % 2;
    const size_t mb = sub ? 16 : 8, w = 1 + rng() % 40, h = 1 + rng() % 40;
    const uint64_t col = rng() % ((w + mb - 1) / mb + 2), row = rng() % ((h + mb - 1) / mb + 2);
    for (auto& v : m) v = static_cast<uint8_t>(rng());
    return SAME(store(m, col, row, w, h, sub) == ref_store(m, col, row, w, h, sub), true);
  });
  // Every format, whole and clipped macroblocks: each byte where the model
  // puts it, nothing stored outside the picture.
  sweep("random macroblock, every format", 3000, [&](uint64_t n) {
    const PixelFormat f = kLayouts[n % std::size(kLayouts)].first;
    const bool sub = n / 7 % 2;
    const size_t mb = sub ? 16 : 8, w = 1 + rng() % 40, h = 1 + rng() % 40;
    const uint64_t col = rng() % ((w + mb - 1) / mb + 1), row = rng() % ((h + mb - 1) / mb + 1);
    for (auto& v : m) v = static_cast<uint8_t>(rng());
    return SAME(store(m, col, row, w, h, sub, f) == ref_store(m, col, row, w, h, sub, f), true);
  });
  // The one-pixel store that VQ macroblocks use agrees with the model.
  sweep("one pixel, every format", 7 * 4096, [&](uint64_t n) {
    const PixelFormat f = kLayouts[n % std::size(kLayouts)].first;
    const uint32_t c = static_cast<uint32_t>(rng());
    const auto want =
        ref_pixel(f, static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c));
    std::vector<uint8_t> got(4, 0xEE);
    store_pixel_as(f, got.data(), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c));
    return SAME(std::vector<uint8_t>(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(want.size())), want) &&
           SAME(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(want.size()), got.end(),
                            [](uint8_t b) { return b == 0xEE; }),
                true);
  });
}

// Every (Y, Cb, Cr) triple, 64 to a macroblock, through the kernels' colour
// conversion against the per-pixel model.
static void test_all_colours() {
  YuvMacroblock m{};
  std::vector<uint8_t> px(3 * 64);
  sweep("every colour", 1 << 18, [&](uint64_t n) {
    for (uint32_t p = 0; p < 64; ++p) {
      const uint32_t c = static_cast<uint32_t>(n) << 6 | p;
      m[p] = static_cast<uint8_t>(c >> 16), m[64 + p] = static_cast<uint8_t>(c >> 8),
      m[128 + p] = static_cast<uint8_t>(c);
    }
    g_kernels->yuv_to_rgb_for(PixelFormat::rgb)(m, 0, 0, FrameView{px, 8, 8}, false);
    for (uint32_t p = 0; p < 64; ++p) {
      const Rgb want = ref_rgb(m[p], m[64 + p], m[128 + p]);
      if (!SAME((Rgb{px[3 * p], px[3 * p + 1], px[3 * p + 2]}), want)) return false;
    }
    return true;
  });
}

std::vector<uint8_t> decode_with(const std::vector<uint8_t>& data, uint64_t w, uint64_t h, const Kernels& k,
                                 PixelFormat f = PixelFormat::rgb) {
  FrameDecoder d;
  std::vector<uint8_t> px;
  if (!FrameDecoder::setup(data, w, h, UINT64_MAX >> 1, d, f).ok()) return px;
  px.assign(buffer_size(d.frame_bytes()), 0);
  fill_black(px, f);
  d.kernels = &k;
  if (!d.run(px).ok()) px.clear();
  return px;
}

// A frame decoded onto an undefined picture with run_fresh() equals the frame
// decoded onto a zeroed one: raster frames, frames that jump or wrap, partial
// frames, odd sizes.
static void test_fresh_pictures() {
  std::mt19937 rng(31);
  sweep("fresh picture", 600, [&](uint64_t n) {
    const bool sub = n % 2;
    const uint64_t w = 1 + rng() % 120, h = 1 + rng() % 120;
    const uint64_t mbs = ((w + (sub ? 15 : 7)) / (sub ? 16 : 8)) * ((h + (sub ? 15 : 7)) / (sub ? 16 : 8));
    // Mostly raster frames of about the picture's macroblock count, so that the
    // raster prefix, the wrap and the jumps all happen.
    const auto data = random_frame(rng, sub, static_cast<int>(mbs / 2 + rng() % (2 * mbs + 2)), n % 3 == 0);
    const auto zeroed = decode_with(data, w, h, scalar_kernels());
    FrameDecoder d;
    if (!SAME(FrameDecoder::setup(data, w, h, UINT64_MAX >> 1, d).ok(), true)) return false;
    std::vector<uint8_t> px(buffer_size(d.frame_bytes()));
    for (auto& b : px) b = static_cast<uint8_t>(rng());
    return SAME(d.run_fresh(px).ok(), true) && SAME(px == zeroed, true);
  });
}

// Whole frames in every format: the RGB decode's bytes rearranged, black
// (padding 255) where nothing drew, the same through either kernels and on a
// fresh picture. Grey equals both kernels and the fresh picture; its values
// are checked against an independent model by the Python tests.
static void test_formats() {
  // The one description of each layout, that every store derives from, against
  // the model's: R, G, B and the padding at their bytes, the pixel's size.
  for (const auto& [f, layout] : kLayouts) {
    g_ctx = layout;
    const PixelLayout l = pixel_layout(f);
    const std::string model = layout;
    auto at = [&](char c) { return model.find(c) == std::string::npos ? -1 : static_cast<int>(model.find(c)); };
    CHECK_EQ(bytes_per_pixel(f), model.size());
    CHECK_EQ(padding_index(f), at('X'));
    CHECK(!is_planar(f) && (l.kind == PixelLayout::Kind::gray) == (model == "Y"));
    if (l.kind == PixelLayout::Kind::color)
      CHECK((std::array{int{l.r}, int{l.g}, int{l.b}}) == (std::array{at('R'), at('G'), at('B')}));
  }
  g_ctx.clear();
  CHECK(is_planar(PixelFormat::i420) && is_planar(PixelFormat::i444) && bytes_per_pixel(PixelFormat::i444) == 1);
  std::mt19937 rng(77);
  sweep("frame in every format", 7 * 60, [&](uint64_t n) {
    const auto [f, layout] = kLayouts[n % std::size(kLayouts)];
    const bool sub = n / 7 % 2;
    const size_t w = 1 + rng() % 90, h = 1 + rng() % 90;
    const auto data = random_frame(rng, sub, 1 + static_cast<int>(rng() % 120), n % 3 == 0);
    const auto rgb = decode_with(data, w, h, scalar_kernels());
    const auto got = decode_with(data, w, h, scalar_kernels(), f);
    const size_t size = bytes_per_pixel(f);
    if (!SAME(got.size(), size * w * h)) return false;
    if (f != PixelFormat::gray) {
      for (size_t i = 0; i < w * h; ++i)
        for (size_t b = 0; b < size; ++b) {
          const char c = layout[b];
          const uint8_t want = c == 'X' ? 255 : rgb[3 * i + (c == 'R' ? 0 : c == 'G' ? 1 : 2)];
          if (!SAME(got[size * i + b], want)) return false;
        }
    }
    if (const Kernels* simd = avx2_kernels(); simd != nullptr && !SAME(decode_with(data, w, h, *simd, f) == got, true))
      return false;
    FrameDecoder d;
    if (!SAME(FrameDecoder::setup(data, w, h, UINT64_MAX >> 1, d, f).ok(), true)) return false;
    std::vector<uint8_t> px(buffer_size(d.frame_bytes()));
    for (auto& b : px) b = static_cast<uint8_t>(rng());
    return SAME(d.run_fresh(px).ok(), true) && SAME(px == got, true);
  });
  // The size check counts the format's bytes: 1, 3 or 4 a pixel.
  const std::vector<uint8_t> header = {0, 0, 1, 0xBC, 0, 0, 0, 0x90, 0, 0, 0, 0};
  FrameDecoder d;
  CHECK(FrameDecoder::setup(header, 10, 10, 100, d, PixelFormat::gray).ok() && d.frame_bytes() == 100);
  CHECK(!FrameDecoder::setup(header, 10, 10, 299, d).ok());
  CHECK(!FrameDecoder::setup(header, 10, 10, 399, d, PixelFormat::xbgr).ok());
  // At a scale it counts the thumbnail's bytes, but the full picture must fit
  // in 63 bits; a scale other than 1, 2, 4 or 8 is refused first, as the
  // caller's fault, and named.
  CHECK(FrameDecoder::setup(header, 10, 10, 75, d, PixelFormat::rgb, 2).ok() && d.frame_bytes() == 75);
  CHECK(FrameDecoder::setup(header, 17, 9, 18, d, PixelFormat::rgb, 8).ok() && d.frame_bytes() == 18 &&
        d.target({}).area({3, 0}).empty() && d.target({}).area({2, 1}).cols == 1);
  CHECK(!FrameDecoder::setup(header, 10, 10, 74, d, PixelFormat::rgb, 2).ok());
  CHECK(FrameDecoder::setup(header, uint64_t{1} << 32, uint64_t{1} << 31, UINT64_MAX, d, PixelFormat::rgb, 8).failure ==
        Failure::capacity_overflow);
  for (const uint32_t scale : {0u, 3u, 16u, 4096u}) {
    const Status s = FrameDecoder::setup({}, 10, 10, 1000, d, PixelFormat::rgb, scale);
    std::array<char, 64> text{};
    s.message(text);
    CHECK(s.failure == Failure::invalid_scale && s.internal_fault() &&
          std::string(text.data()) == "invalid scale " + std::to_string(scale));
  }
}

// Whole frames through the SIMD kernels equal the scalar decode.
static void test_frames() {
  const Kernels* simd = avx2_kernels();
  if (simd == nullptr) return;
  std::mt19937 rng(2024);
  sweep("random frame", 400, [&](uint64_t n) {
    const bool sub = n % 2;
    const uint64_t w = 1 + rng() % (sub ? 300 : 150), h = 1 + rng() % (sub ? 300 : 150);
    const auto data = random_frame(rng, sub, 1 + static_cast<int>(rng() % 300));
    const auto scalar = decode_with(data, w, h, scalar_kernels());
    return SAME(scalar.size(), 3 * w * h) && SAME(decode_with(data, w, h, *simd) == scalar, true);
  });
}

// The draw observer hears of every area before it is drawn: no pixel changes
// outside the announced areas, and each area lies inside the picture.
static void test_observer() {
  struct Recorder : DrawObserver {
    std::vector<PixelArea> areas;
    void before_draw(const PixelArea& a) noexcept override { areas.push_back(a); }
  };
  std::mt19937 rng(99);
  sweep("observed frame", 200, [&](uint64_t n) {
    const bool sub = n % 2;
    const size_t w = 1 + rng() % 200, h = 1 + rng() % 200;
    const auto data = random_frame(rng, sub, 1 + static_cast<int>(rng() % 60));
    FrameDecoder d;
    if (!SAME(FrameDecoder::setup(data, w, h, UINT64_MAX >> 1, d).ok(), true)) return false;
    std::vector<uint8_t> px(3 * w * h, 0xEE);
    Recorder rec;
    d.observer = &rec;
    if (!SAME(d.run(px).ok(), true)) return false;
    std::vector<bool> covered(w * h, false);
    for (const auto& a : rec.areas) {
      if (!SAME(a.cols > 0 && a.rows > 0 && a.x + a.cols <= w && a.y + a.rows <= h, true)) return false;
      const auto x0 = static_cast<size_t>(a.x), y0 = static_cast<size_t>(a.y);  // inside the picture, as checked
      for (size_t y = y0; y < y0 + a.rows; ++y)
        for (size_t x = x0; x < x0 + a.cols; ++x) covered[y * w + x] = true;
    }
    for (size_t i = 0; i < w * h; ++i) {
      const bool changed = px[3 * i] != 0xEE || px[3 * i + 1] != 0xEE || px[3 * i + 2] != 0xEE;
      if (changed && !SAME(static_cast<bool>(covered[i]), true)) return false;
    }
    return true;
  });
}

// The picture's byte size at the 2^63 - 1 bound and where a 64-bit product
// would wrap; the macroblock grid's ceilings up to the largest size; the pixels
// of a clipped and of an outside macroblock.
static void test_picture() {
  constexpr uint64_t kThird = 0x2AAA'AAAA'AAAA'AAAAull;  // floor((2^63 - 1) / 3)
  struct Size {
    uint64_t w, h, max;
    std::optional<uint64_t> bytes;
  };
  const Size sizes[] = {{0, 0, 0, 0},
                        {UINT64_MAX, 0, 0, 0},
                        {1, 1, 2, std::nullopt},
                        {1, 1, 3, 3},
                        {kThird, 1, UINT64_MAX, kThird * 3},
                        {1, kThird + 1, UINT64_MAX, std::nullopt},
                        {uint64_t{1} << 32, uint64_t{1} << 32, UINT64_MAX, std::nullopt},  // w * h wraps to 0
                        {0x5555'5555'5555'5556ull, 1, UINT64_MAX, std::nullopt},           // * 3 wraps to 2
                        {3, 5, 45, 45},
                        {3, 5, 44, std::nullopt}};
  for (const auto& [w, h, max, bytes] : sizes) {
    g_ctx = std::to_string(w) + "x" + std::to_string(h) + " max " + std::to_string(max);
    CHECK(picture_bytes(w, h, max) == bytes);
  }
  g_ctx.clear();
  const std::array<uint64_t, 6> ceilings = {ceil_div(uint64_t{0}, 8), ceil_div(uint64_t{1}, 8),
                                            ceil_div(uint64_t{8}, 8), ceil_div(uint64_t{17}, 16),
                                            ceil_div(UINT64_MAX, 8),  ceil_div(UINT64_MAX, 16)};
  CHECK_EQ(ceilings, (std::array<uint64_t, 6>{0, 1, 1, 2, uint64_t{1} << 61, uint64_t{1} << 60}));

  std::vector<uint8_t> px(20 * 10 * 3);
  const FrameView view{px, 20, 10};
  const MacroblockPixels edge = view.macroblock(1, 0, true);  // 16x16 at x 16: 4 x 10 inside
  CHECK(edge.area.x == 16 && edge.area.y == 0 && edge.area.cols == 4 && edge.area.rows == 10);
  CHECK(edge.origin == px.data() + 48 && edge.stride == 60);
  const MacroblockPixels low = view.macroblock(2, 1, false);  // 8x8 at (16, 8): 4 x 2 inside
  CHECK(low.area.cols == 4 && low.area.rows == 2 && low.origin == px.data() + (8 * 20 + 16) * 3);
  CHECK(view.macroblock(2, 0, true).area.empty() && view.macroblock(0, 2, false).area.empty());
}

// The dequantising decoder stores low32((level * step) >> 16) where the plain one
// stores the level, reads the same bits and returns the same predictor: random
// streams, so that every kind of symbol and the slow path occur.
static void test_decode_block_dequantised() {
  const HuffmanTables& t = kHuffmanTables;
  std::mt19937 rng(12);
  sweep("dequantised block", 4000, [&](uint64_t n) {
    Bits bits;
    for (int i = 0; i < 96; ++i) bits.put(static_cast<uint32_t>(rng() % 4 ? rng() % 2 : rng()), n % 3 ? 1 : 12);
    const bool chroma = n % 2;
    const auto& [dc, ac] = chroma ? std::tie(t.chroma_dc, t.chroma_ac) : std::tie(t.luma_dc, t.luma_ac);
    const QuantTable& q = kQuantTables444.slot[rng() % 4];
    const int32_t predictor =
        n % 7 == 0 ? INT32_MAX - static_cast<int32_t>(rng() % 2048) : static_cast<int32_t>(rng() % 2048) - 1024;
    BitReader a = bits.reader(), b = a;
    std::array<int32_t, 64> levels{}, got{};
    const int32_t pa = decode_block(a, dc, ac, predictor, levels.data(), 0);
    const int32_t pb = decode_block_dequantised(b, dc, ac, predictor, q, got.data());
    std::array<int32_t, 64> want{};
    for (int p = 0; p < 64; ++p) want[p] = static_cast<int32_t>(int64_t{levels[p]} * q[p] >> 16);
    return SAME(pb, pa) && SAME(b.window(), a.window()) && SAME(b.pos(), a.pos()) && SAME(got, want);
  });
}

// The thumbnail's coefficient decoder against the full one, macroblock after
// macroblock of one stream: well-formed blocks (empty to all 63 coefficients,
// runs of sixteen zeros, a run past the block, the largest levels and DC
// differences) and random bits (codes that begin nothing, sixteen 1s). Both
// must leave the reader and the predictors in the same place and store the
// same kept coefficients, as must the decoder to lists, whose expansion is
// the full decoder's macroblock; the rest stay as the caller set them. Noise makes
// every kind of symbol appear at every block position, so the skipping of
// several symbols at once meets the block's end in each way it can.
static void test_decode_macroblock_kept() {
  const records::Codes& codes = records::codes();
  std::mt19937 rng(13);
  auto block = [&](Bits& bits, bool chroma) {
    const records::HuffCode& dc = chroma ? codes.chroma_dc : codes.luma_dc;
    const records::HuffCode& ac = chroma ? codes.chroma_ac : codes.luma_ac;
    const auto dc_size = static_cast<uint32_t>(rng() % 12);
    const int32_t dc_mag =
        dc_size == 0 ? 0 : static_cast<int32_t>((1u << (dc_size - 1)) + rng() % (1u << (dc_size - 1)));
    bits.sym(dc, static_cast<uint8_t>(dc_size));
    bits.put(static_cast<uint32_t>(rng() % 2 ? dc_mag : dc_mag + (1 << dc_size) - 1), static_cast<int>(dc_size));
    const auto density = static_cast<uint32_t>(rng() % 5);  // empty, sparse, busy, full, run past the block
    uint32_t run = 0;
    for (uint32_t k = 1; k < 64; ++k) {
      if (!(density == 3 || (density > 0 && rng() % (density == 1 ? 12 : 3) == 0))) {
        ++run;
        continue;
      }
      for (; run > 15; run -= 16) bits.sym(ac, 0xF0);
      const auto mag = static_cast<int32_t>(rng() % 8 ? 1 + rng() % 40 : 1 + rng() % 1023);
      bits.level(ac, run, rng() % 2 ? mag : -mag);
      run = 0;
    }
    if (density == 4) bits.level(ac, 15, 1);  // past 63 (or a last coefficient), magnitude unread
    else if (run) bits.sym(ac, 0x00);
  };
  const std::array<Kept, 2> kinds = {Kept::dc, Kept::all};
  sweep("kept coefficients", 2000, [&](uint64_t n) {
    const bool sub = n % 2;
    const size_t luma_blocks = sub ? 4 : 1, blocks = luma_blocks + 2;
    const Kept luma = kinds[n / 2 % 2], chroma = kinds[n / 4 % 2];
    Bits bits;
    const bool noise = n % 5 == 4;
    for (int mb = 0; mb < 8; ++mb) {
      for (size_t b = 0; b < blocks; ++b) {
        if (noise) bits.put(static_cast<uint32_t>(rng() % 4 ? rng() : 0xFFFFFFFFu), 32);
        else block(bits, b >= luma_blocks);
      }
    }
    // A pair of the frame's tables, as the lists name them.
    const QuantTables& tables = n % 3 ? kQuantTables422 : kQuantTables444;
    const uint32_t pair = rng() % 2 ? kPrimaryPair : kAlternativePair;
    const QuantTable& lq = tables.slot[pair];
    const QuantTable& cq = tables.slot[pair + 1];
    BitReader a = bits.reader(), b = a, c0 = a, c1 = a;
    std::array<int32_t, 3> pa = {0, -5, 7}, pb = pa;
    if (n % 7 == 0) pa[0] = pb[0] = INT32_MAX - static_cast<int32_t>(rng() % 2048);
    std::array<int32_t, 3> pc0 = pa, pc1 = pa;
    for (int mb = 0; mb < 8; ++mb) {
      std::array<int32_t, 384> full{}, kept{}, expanded{};
      decode_macroblock_dequantised(a, lq, cq, luma_blocks, pa, full.data());
      decode_macroblock_kept(b, lq, cq, luma_blocks, pb, kept.data(), luma, chroma);
      if (!SAME(b.pos(), a.pos()) || !SAME(b.window(), a.window()) || !SAME(pb, pa)) return false;
      // The same macroblock as a list of levels or of dequantised values (on
      // two copies of the stream), and back.
      for (const bool dequantise : {false, true}) {
        BitReader c = c0;
        std::array<int32_t, 3> pc = pc0;
        SparseBlocks list;
        decode_macroblock_sparse(c, tables, pair, dequantise, luma_blocks, pc, list);
        expand_sparse(list, tables, luma_blocks, expanded.data());
        if (!SAME(c.pos(), a.pos()) || !SAME(c.window(), a.window()) || !SAME(pc, pa)) return false;
        if (!SAME(expanded, full)) return false;
        clear_sparse(list, luma_blocks, expanded.data());
        if (!SAME(expanded, (std::array<int32_t, 384>{}))) return false;
        c1 = c;
        pc1 = pc;
      }
      c0 = c1;
      pc0 = pc1;
      for (size_t p = 0; p < 64 * blocks; ++p) {
        const bool whole = (p < 64 * luma_blocks ? luma : chroma) == Kept::all;
        if (!SAME(kept[p], whole || p % 64 == 0 ? full[p] : 0)) return false;
      }
    }
    return true;
  });
}

// The ends of a block that the skipping of DC-only blocks must stop at
// exactly, in every kind of block and macroblock, after DC differences of
// every size (so that the 32-bit refills fall at every place): several symbols
// a lookup that would run over the last positions, a coefficient at 63 with no
// end of block, sixteen zeros up to 63, a run past the block whose magnitude
// stays unread, magnitudes and codes too long for one lookup. The thumbnail's
// decoder must leave the reader at the bit where the written macroblock ends,
// with the predictors and the DC terms of the full decoder.
static void test_skip_block_ends() {
  const records::Codes& codes = records::codes();
  // Runs above 15 do not exist: kZeros16 is the sixteen zeros symbol, kEnd the
  // end of block, kPast the code of the symbol given as the level (a run and
  // a size) without its magnitude bits, which a decoder past the block must
  // not read.
  enum : uint32_t { kZeros16 = 100, kEnd, kPast };
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, int32_t>> ac;  // (run, level), kZeros16 or kEnd
  };
  auto ones = [](uint32_t n, uint32_t run = 0) { return std::vector<std::pair<uint32_t, int32_t>>(n, {run, 1}); };
  std::vector<Case> cases = {
      {"empty", {{kEnd, 0}}},
      {"63 ones, no end of block", ones(63)},
      {"62 ones, end of block", ones(62)},
      {"sixteen zeros up to 63", {}},
      {"a run past the block", {}},
      {"a short run past the block", {}},
      {"long magnitudes", {}},
      {"runs of 15 with 10-bit levels", {}},
      {"pairs of runs of 1 up to 63", ones(31, 1)},
  };
  cases[0].ac = {{kEnd, 0}};
  cases[2].ac.push_back({kEnd, 0});
  cases[3].ac = {{kZeros16, 0}, {kZeros16, 0}, {14, -3}, {kZeros16, 0}};  // k = 47, then 48..63
  cases[4].ac = ones(60);
  cases[4].ac.push_back({kPast, 0xFA});  // from k = 61, lands past 63
  cases[5].ac = ones(60);
  cases[5].ac.push_back({kPast, 0x31});  // the same with a short code
  for (uint32_t k = 0; k < 20; ++k) cases[6].ac.push_back({k % 3, (k % 2 ? 1 : -1) * static_cast<int32_t>(1000 - k)});
  cases[6].ac.push_back({kEnd, 0});
  cases[7].ac = {{15, 1023}, {15, -1023}, {15, 512}, {13, -1}, {0, 1}};  // at 16, 32, 48, 62 and 63
  cases[8].ac.push_back({0, 1});                                         // 31 pairs reach 62, one more: 63
  std::mt19937 rng(29);
  // What follows the macroblock: none, one or four words. Near the end of the
  // data the skipping reader loads as the decoder does, with a branch; with
  // words ahead it loads without one, and must load the same bytes.
  constexpr int kTails[] = {4, 0, 1};
  sweep("skipped block ends", cases.size() * 12 * 2 * 3, [&](size_t n) {
    const Case& c = cases[n % cases.size()];
    const auto dc_size = static_cast<uint32_t>(n / cases.size() % 12);
    const bool sub = n / (cases.size() * 12) % 2;
    const int tail = kTails[n / (cases.size() * 12 * 2)];
    const size_t luma_blocks = sub ? 4 : 1;
    Bits bits;
    for (size_t b = 0; b < luma_blocks + 2; ++b) {
      const bool chroma = b >= luma_blocks;
      const records::HuffCode& ac = chroma ? codes.chroma_ac : codes.luma_ac;
      bits.sym(chroma ? codes.chroma_dc : codes.luma_dc, static_cast<uint8_t>(dc_size));
      bits.put(dc_size == 0 ? 0u : (1u << (dc_size - 1)) + static_cast<uint32_t>(b), static_cast<int>(dc_size));
      for (const auto& [run, level] : c.ac) {
        if (run == kEnd) bits.sym(ac, 0x00);
        else if (run == kZeros16) bits.sym(ac, 0xF0);
        else if (run == kPast) bits.sym(ac, static_cast<uint8_t>(level));
        else bits.level(ac, run, level);
      }
    }
    const size_t end = bits.size();
    for (int w = 0; w < tail; ++w) bits.put(static_cast<uint32_t>(rng()), 32);
    BitReader full = bits.reader(), kept = full;
    std::array<int32_t, 3> pf = {5, -5, 0}, pk = pf;
    std::array<int32_t, 384> fc{}, kc{};
    decode_macroblock_dequantised(full, kQuantTables444.slot[0], kQuantTables444.slot[1], luma_blocks, pf, fc.data());
    decode_macroblock_kept(kept, kQuantTables444.slot[0], kQuantTables444.slot[1], luma_blocks, pk, kc.data(), Kept::dc,
                           Kept::dc);
    if (!SAME(full.window(), bits.window_at(end)) || !SAME(kept.window(), full.window()) ||
        !SAME(kept.pos(), full.pos()) || !SAME(kept.reserve_bits(), full.reserve_bits()) || !SAME(pk, pf))
      return false;
    for (size_t b = 0; b < luma_blocks + 2; ++b) {
      if (!SAME(kc[64 * b], fc[64 * b])) return false;
    }
    return true;
  });
}

namespace {
// Dequantised input is the reference transform's input with a step of 1.0.
const QuantTable kUnitSteps = [] {
  QuantTable q;
  q.fill(65536);
  return q;
}();
}  // namespace

// Whole macroblocks of dequantised blocks through each kernel's idct_blocks:
// three and six blocks (pairs of flat and busy blocks, values within and far
// beyond 16 bits), each block as the reference transforms it.
static void test_idct_blocks() {
  std::mt19937 rng(5);
  const int32_t extremes[] = {0, 1, -1, 32767, -32768, 32768, INT32_MIN, INT32_MAX};
  sweep("macroblock transform", 6000, [&](uint64_t n) {
    const size_t count = n % 2 ? 6 : 3;
    std::vector<int32_t> d(64 * count);
    for (size_t b = 0; b < count; ++b) {
      const uint32_t shape = static_cast<uint32_t>(rng() % 5);
      for (size_t p = 0; p < 64; ++p) {
        int32_t v = 0;
        if (shape == 1) v = rng() % 4 ? 0 : static_cast<int32_t>(rng() % 601) - 300;    // typical
        if (shape == 2) v = rng() % 3 ? 0 : static_cast<int32_t>(rng() % 8193) - 4096;  // large
        if (shape == 3) v = extremes[rng() % 8];
        if (shape == 4) v = rng() % 2 ? 0 : static_cast<int32_t>(rng());
        if (p == 0 || shape != 0) d[64 * b + p] = p == 0 ? wrap_add(static_cast<int32_t>(rng() % 4097) - 2048, v) : v;
      }
    }
    std::vector<uint8_t> out(64 * count + 64, 0xA5);  // one spare block: nothing written past the end
    g_kernels->idct_blocks(d.data(), count, out.data());
    for (size_t b = 0; b < count; ++b) {
      const Px want = ref_idct(d.data() + 64 * b, kUnitSteps);
      if (!SAME(std::equal(want.begin(), want.end(), out.begin() + 64 * static_cast<long>(b)), true)) return false;
    }
    return SAME(std::count(out.end() - 64, out.end(), 0xA5), 64);
  });
}

// The 16-bit transform is taken only where it is exact. Patterns of one to
// four entries (a lone entry is the worst case of a bound that sums weighted
// magnitudes) and dense ones, scaled to the largest multiple the range check
// still accepts: at that bound the 16-bit transform must equal the 32-bit
// reference, one step beyond the check must refuse, and typical blocks
// (|DC| <= 1024, AC up to a few hundred) must be accepted.
static void test_idct_16bit() {
#if QUORVEL_HAVE_AVX2
  if (avx2_kernels() == nullptr) return;
  std::mt19937 rng(16);
  auto fits = [](const std::array<int32_t, 64>& b) { return idct_fits_16bit_avx2(b.data()); };
  int accepted = 0;
  sweep("16-bit bound", 20000, [&](uint64_t n) {
    std::array<int32_t, 64> pattern{};
    const int entries = n % 5 == 4 ? 64 : 1 + static_cast<int>(n % 4);
    for (int i = 0; i < entries; ++i) {
      const size_t p = n < 128 ? (n / 2) % 64 : rng() % 64;  // first every position alone, both signs
      pattern[p] = (n < 128 ? (n % 2 ? -1 : 1) : (rng() % 2 ? -1 : 1)) * static_cast<int32_t>(1 + rng() % 16);
    }
    auto scaled = [&](int32_t m) {
      std::array<int32_t, 64> b;
      for (int p = 0; p < 64; ++p) b[p] = pattern[p] * m;
      return b;
    };
    int32_t lo = 0, hi = 65536;  // fits(lo), !fits(hi)
    if (!SAME(fits(scaled(hi)), false)) return false;
    while (hi - lo > 1) (fits(scaled((lo + hi) / 2)) ? lo : hi) = (lo + hi) / 2;
    if (lo == 0) return true;
    ++accepted;
    const auto at = scaled(lo);
    Px got{};
    idct_16bit_avx2(at.data(), got.data());
    return SAME(got, ref_idct(at.data(), kUnitSteps)) && SAME(fits(scaled(hi)), false);
  });
  CHECK(accepted > 15000);
  sweep("typical blocks take 16 bits", 2000, [&](uint64_t) {
    std::array<int32_t, 64> b{};
    b[0] = static_cast<int32_t>(rng() % 2049) - 1024;
    for (int i = 0; i < 10; ++i) b[1 + rng() % 63] = static_cast<int32_t>(rng() % 401) - 200;
    return SAME(fits(b), true);
  });
#endif
}

// The 2x2 box means of a block that thumbnails take at 1/2, against sums
// taken here sample by sample: random blocks, blocks of one level from 0 to
// 255 (the largest sums, which must not wrap in 16 bits), and squares whose
// sums end in 2 (halves, which round up). The bytes outside the 4x4 means
// written must be left alone.
static void test_box_means_2x2() {
  std::mt19937 rng(29);
  sweep("2x2 box means", 600, [&](uint64_t n) {
    std::array<uint8_t, 64> block{};
    for (size_t i = 0; i < 64; ++i) {
      if (n < 256) block[i] = static_cast<uint8_t>(n);
      else if (n < 300) block[i] = static_cast<uint8_t>(i % 2 ? 255 : rng() % 128 * 2 + ((i >> 3) % 2 ? 1 : 0));
      else block[i] = static_cast<uint8_t>(rng());
    }
    std::array<uint8_t, 32> got;
    got.fill(0xA5);
    box_means_2x2(block.data(), got.data());
    std::array<uint8_t, 32> want;
    want.fill(0xA5);
    for (size_t v = 0; v < 4; ++v) {
      for (size_t u = 0; u < 4; ++u) {
        const uint32_t sum =
            block[16 * v + 2 * u] + block[16 * v + 2 * u + 1] + block[16 * v + 8 + 2 * u] + block[16 * v + 9 + 2 * u];
        want[8 * v + u] = static_cast<uint8_t>((sum + 2) / 4);
      }
    }
    return SAME(got, want);
  });
}

// A block's quarter means, as thumbnails take them at 1/4 from the
// coefficients alone, against the box means of the samples the full picture
// draws: exactly its samples for a flat block of any level (DC alone, wrapping
// as the transform's clamp does), and within a level for blocks of a few low
// frequencies whose samples all lie inside 1..254 (a wrong weight or sign is
// tens of levels off). Coefficients at the ends of the 32-bit range run too, for
// the sanitizers.
static void test_quarter_means() {
  std::mt19937 rng(23);
  const QuantTable& steps = kQuantTables444.slot[kPrimaryPair];
  uint64_t compared = 0;
  sweep("quarter means", 6000, [&](uint64_t n) {
    std::array<int32_t, 64> d{};
    const uint64_t kind = n % 3;
    if (kind == 0) {
      d[0] = static_cast<int32_t>(rng());
    } else if (kind == 1) {
      d[0] = dequantise(static_cast<int32_t>(rng() % 121) - 60, steps[0]);
      for (int i = 0; i < 6; ++i) {
        const size_t p = kZigzag[1 + rng() % 20];
        d[p] = dequantise(static_cast<int32_t>(rng() % 41) - 20, steps[p]);
      }
    } else {
      for (int32_t& c : d)
        c = rng() % 2 ? INT32_MIN + static_cast<int32_t>(rng() % 4) : INT32_MAX - static_cast<int32_t>(rng() % 4);
    }
    const std::array<uint8_t, 4> got = quarter_means(d.data());
    if (kind == 2) return true;
    std::array<uint8_t, 64> samples{};
    idct_dequantised(d.data(), samples.data());
    if (kind == 0) return SAME(got, (std::array<uint8_t, 4>{samples[0], samples[0], samples[0], samples[0]}));
    if (std::any_of(samples.begin(), samples.end(), [](uint8_t v) { return v == 0 || v == 255; })) return true;
    ++compared;
    for (size_t q = 0; q < 4; ++q) {
      uint32_t sum = 0;
      for (size_t r = 0; r < 4; ++r)
        for (size_t c = 0; c < 4; ++c) sum += samples[8 * (4 * (q >> 1) + r) + 4 * (q & 1) + c];
      const int box = static_cast<int>((sum + 8) / 16);
      if (!SAME(std::abs(box - got[q]) <= 1, true)) return false;
    }
    return true;
  });
  CHECK(compared > 1000);  // most blocks of a few low frequencies stay inside the range
}

// Thumbnails in every pixel format: a macroblock drawn at a scale in a
// colour format is the RGB thumbnail's pixels rearranged (padding 255); a
// one-colour VQ macroblock in grey is its grey level; every format writes only
// the macroblock's squares; in every format the SIMD kernels draw what the
// scalar ones draw.
static void test_thumbnail_formats() {
  constexpr PixelFormat kFormats[] = {PixelFormat::rgb,  PixelFormat::bgr,  PixelFormat::rgbx, PixelFormat::bgrx,
                                      PixelFormat::xrgb, PixelFormat::xbgr, PixelFormat::gray};
  // Where each format puts R, G and B, and its padding byte (-1: none).
  constexpr int kPlace[7][4] = {{0, 1, 2, -1}, {2, 1, 0, -1}, {0, 1, 2, 3}, {2, 1, 0, 3},
                                {1, 2, 3, 0},  {3, 2, 1, 0},  {0, 0, 0, -1}};
  std::mt19937 rng(77);
  sweep("thumbnail format", 600, [&](uint64_t n) {
    const bool sub = n % 2, vq = n % 3 == 0;
    const uint32_t scale = 2u << (n / 2 % 3);
    const uint64_t w = 1 + rng() % 70, h = 1 + rng() % 70;
    const uint64_t size = sub ? 16 : 8, tw = ceil_div(w, scale), th = ceil_div(h, scale);
    DctMacroblock dct;
    for (int32_t& c : dct.coefficients) c = rng() % 3 ? 0 : static_cast<int32_t>(rng() % 801) - 400;
    VqMacroblock vqm;
    vqm.index_bits = static_cast<uint32_t>(rng() % 3);
    for (auto& c : vqm.colors) c = rng() & 0xFFFFFF;
    for (auto& c : vqm.codes) c = static_cast<uint8_t>(rng() % (1u << vqm.index_bits));
    const uint64_t col = rng() % ceil_div(w, size), row = rng() % ceil_div(h, size);
    const PixelArea area = macroblock_area(col, row, static_cast<unsigned>(std::countr_zero(size / scale)), tw, th);
    auto draw = [&](PixelFormat format, const Kernels& k) {
      std::vector<uint8_t> px(buffer_size(*format_picture_bytes(tw, th, format, UINT64_MAX)), 0xEE);
      const FrameTarget t = frame_target(px, format, w, h, sub, scale, k);
      if (vq) {
        t.drawing->draw_vq(t, {col, row}, vqm);
      } else {
        t.drawing->draw_dct(t, {col, row}, dct);
      }
      return px;
    };
    // Each format's thumbnail (i444's too, which holds the means) has its own
    // drawing and conversion, chosen per frame: the SIMD ones draw its bytes.
    const Kernels* simd = avx2_kernels();
    if (simd != nullptr && !SAME(draw(PixelFormat::i444, *simd) == draw(PixelFormat::i444, scalar_kernels()), true))
      return false;
    const auto rgb = draw(PixelFormat::rgb, scalar_kernels());
    for (size_t f = 0; f < 7; ++f) {
      const auto px = draw(kFormats[f], scalar_kernels());
      if (simd != nullptr && !SAME(draw(kFormats[f], *simd) == px, true)) return false;
      const uint64_t bpp = bytes_per_pixel(kFormats[f]);
      for (uint64_t y = 0; y < th; ++y) {
        for (uint64_t x = 0; x < tw; ++x) {
          const uint8_t* p = px.data() + (y * tw + x) * bpp;
          const uint8_t* q = rgb.data() + (y * tw + x) * 3;
          const bool inside = x >= area.x && x < area.x + area.cols && y >= area.y && y < area.y + area.rows;
          if (!inside) {
            for (uint64_t b = 0; b < bpp; ++b)
              if (!SAME(p[b], uint8_t{0xEE})) return false;
            continue;
          }
          if (kFormats[f] == PixelFormat::gray) {
            // One colour: every square is that colour's grey level.
            if (vq && vqm.index_bits == 0) {
              uint8_t level = 0;
              const uint32_t c = vqm.colors[0];
              store_pixel_as(PixelFormat::gray, &level, static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                             static_cast<uint8_t>(c));
              if (!SAME(p[0], level)) return false;
            }
            continue;
          }
          if (!SAME((std::array<uint8_t, 3>{p[kPlace[f][0]], p[kPlace[f][1]], p[kPlace[f][2]]}),
                    (std::array<uint8_t, 3>{q[0], q[1], q[2]})))
            return false;
          if (kPlace[f][3] >= 0 && !SAME(p[kPlace[f][3]], uint8_t{255})) return false;
        }
      }
    }
    return true;
  });
}

int main() {
  test_bitreader();
  test_huffman();
  test_decode_block();
  test_decode_block_dequantised();
  test_decode_macroblock_kept();
  test_skip_block_ends();
  test_quant();
  test_picture();
  for (const Kernels* k : {&scalar_kernels(), avx2_kernels()}) {
    if (k == nullptr) continue;
    std::cout << "kernels: " << k->name << '\n';
    g_kernels = k;
    test_idct();
    test_idct_blocks();
    test_color();
    test_all_colours();
  }
  test_idct_16bit();
  test_frames();
  test_observer();
  test_fresh_pictures();
  test_formats();
  test_thumbnail_formats();
  test_quarter_means();
  test_box_means_2x2();
  std::cout << g_passed << " passed, " << g_failed << " failed\n";
  return g_failed == 0 ? 0 : 1;
}

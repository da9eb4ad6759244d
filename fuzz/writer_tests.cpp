// Checks of the fuzzer's record writer and parser: known streams byte for
// byte, random frames that the decoder must read record for record, and
// parsing that gives back what was written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ast2100/frame.hpp"
#include "record_writer.hpp"

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    ++failures;
  }
}

using records::Block;
using records::Frame;
using records::Record;

struct Lcg {
  uint32_t s;
  uint32_t next() { return s = s * 1664525u + 1013904223u; }
  uint32_t below(uint32_t n) { return (next() >> 8) % n; }
};

Block random_block(Lcg& g) {
  Block b;
  b.dc_size = static_cast<uint8_t>(g.below(12));
  b.dc_bits = static_cast<uint16_t>(g.next() & ((1u << b.dc_size) - 1));
  for (uint32_t n = g.below(g.below(4) == 0 ? 70 : 8); n > 0; --n) {
    const uint8_t size = static_cast<uint8_t>(g.below(11));  // 0: a run of sixteen zeros or an end of block
    const uint8_t rs = size == 0 ? (g.below(2) ? 0xF0 : 0x00) : static_cast<uint8_t>(g.below(16) << 4 | size);
    b.ac.push_back({rs, static_cast<uint16_t>(g.next() & ((1u << (rs & 15)) - 1))});
  }
  records::normalise(b);
  return b;
}

// Macroblock records (no end marker); with positions when `at`.
Frame random_frame(Lcg& g, bool subsampled, unsigned count, bool at) {
  static const unsigned codes[] = {0, 4, 5, 6, 7};
  Frame f;
  f.subsampled = subsampled;
  for (unsigned i = 0; i < count; ++i) {
    Record r;
    r.code = codes[g.below(5)] | (at && g.below(2) ? 8 : 0);
    r.col = static_cast<uint8_t>(g.next());
    r.row = static_cast<uint8_t>(g.next());
    if (records::is_dct_code(r.code)) {
      for (unsigned b = 0; b < records::blocks_per_macroblock(subsampled); ++b) r.blocks.push_back(random_block(g));
    } else {
      const unsigned n = records::vq_index_bits(r.code);
      for (unsigned k = 0; k < (1u << n); ++k) {
        const bool colour = g.below(2) != 0;
        r.entries.push_back({colour, static_cast<uint8_t>(g.below(4)), colour ? (g.next() & 0xFFFFFF) : 0});
      }
      for (unsigned p = 0; n != 0 && p < 64; ++p) r.pixels.push_back(static_cast<uint8_t>(g.below(1u << n)));
    }
    f.records.push_back(r);
  }
  return f;
}

bool same_records(const Record& a, const Record& b) {
  auto same_block = [](const Block& x, const Block& y) {
    if (x.dc_size != y.dc_size || x.dc_bits != y.dc_bits || x.ac.size() != y.ac.size()) return false;
    for (size_t i = 0; i < x.ac.size(); ++i) {
      if (x.ac[i].rs != y.ac[i].rs || x.ac[i].bits != y.ac[i].bits) return false;
    }
    return true;
  };
  if (a.code != b.code || a.blocks.size() != b.blocks.size() || a.pixels != b.pixels) return false;
  if (records::has_position(a.code) && (a.col != b.col || a.row != b.row)) return false;
  for (size_t i = 0; i < a.blocks.size(); ++i) {
    if (!same_block(a.blocks[i], b.blocks[i])) return false;
  }
  if (a.entries.size() != b.entries.size()) return false;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const auto &x = a.entries[i], &y = b.entries[i];
    if (x.has_colour != y.has_colour || x.index != y.index || x.colour != y.colour) return false;
  }
  return true;
}

class DrawCounter final : public ast2100::DrawObserver {
 public:
  void before_draw(const ast2100::PixelArea&) noexcept override { ++drawn; }
  uint64_t drawn = 0;
};

// Bytes of a stream that the format's own examples spell out.
void known_streams() {
  auto vq = [](unsigned code, uint8_t col, records::VqEntry entry) {
    Record r = records::marker(code);
    r.col = col;
    r.entries = {entry};
    return r;
  };
  const Record end = records::marker(records::kFrameEnd);
  Frame f;
  f.records = {vq(5, 0, {true, 0, 0xFF8080}), vq(5, 0, {false, 0, 0}), end};
  check(records::write_stream(f) == std::vector<uint8_t>{0x00, 0x01, 0xFF, 0x59, 0x00, 0x00, 0x40, 0xA2},
        "two one-colour VQ records and the end marker");
  f.records = {vq(13, 1, {true, 3, 0xFF8080}), end};
  check(records::write_stream(f) == std::vector<uint8_t>{0xFF, 0x0F, 0x10, 0xD0, 0x00, 0x20, 0x01, 0x01},
        "a positioned VQ record");
  // An all-zero DCT macroblock of the 8x8 mode: DC 00 and end of block 1010 for
  // luma, 00 and 00 for each chroma block, then FRAME_END.
  Record zero = records::marker(0);
  zero.blocks.assign(3, Block{0, 0, {{0x00, 0}}});
  f.records = {zero, end};
  check(records::write_stream(f) == std::vector<uint8_t>{0x00, 0x24, 0x80, 0x02}, "a zero DCT macroblock");
}

// The decoder reads each written record as one macroblock and ends at the
// marker: a field of the wrong width or a wrong code word would put it out of
// step with the records that follow.
void decoder_reads_written_frames() {
  Lcg g{7};
  for (int round = 0; round < 200; ++round) {
    const bool subsampled = round % 2 != 0;
    const unsigned count = 1 + g.below(40);
    Frame f = random_frame(g, subsampled, count, false);
    f.records.push_back(records::marker(records::kFrameEnd));
    std::vector<uint8_t> data = {0, 0, 1, subsampled ? uint8_t{0xA6} : uint8_t{0xBC}};
    const std::vector<uint8_t> stream = records::write_stream(f);
    data.insert(data.end(), stream.begin(), stream.end());
    data.resize(std::max<size_t>(data.size(), 12));
    const uint64_t side = subsampled ? 16 * 8 : 8 * 8;  // 64 macroblocks: each record draws its own
    ast2100::FrameDecoder d;
    check(ast2100::FrameDecoder::setup(data, side, side, UINT64_MAX >> 1, d).ok(), "set-up");
    std::vector<uint8_t> picture(d.frame_bytes());
    DrawCounter counter;
    d.observer = &counter;
    const ast2100::Status status = d.run(picture);
    check(status.ok() && counter.drawn == count,
          "round " + std::to_string(round) + ": " + std::to_string(counter.drawn) + " of " + std::to_string(count) +
              " macroblocks drawn, failure " + std::to_string(static_cast<int>(status.failure)));
  }
}

// Parsing gives back the records written, and what it cannot read as records
// (a stream cut inside one, bits that are no code word) as the tail, verbatim.
void parse_gives_back_records() {
  Lcg g{11};
  for (int round = 0; round < 200; ++round) {
    const bool subsampled = round % 2 != 0;
    Frame f = random_frame(g, subsampled, 1 + g.below(20), true);
    f.records.push_back(records::marker(records::kFrameEnd));
    const std::vector<uint8_t> stream = records::write_stream(f);
    const Frame back = records::parse_stream(stream, subsampled);
    bool same = back.records.size() == f.records.size();
    for (size_t i = 0; same && i < f.records.size(); ++i) same = same_records(f.records[i], back.records[i]);
    check(same, "round " + std::to_string(round) + ": records differ after parsing");
    check(records::write_stream(back) == stream, "round " + std::to_string(round) + ": rewritten stream differs");

    // Cut inside the last macroblock: the records before it parse back, and
    // writing the parse gives the cut stream (the zero bits that pad its last
    // word may complete the cut record, as they do for the decoder).
    f.records.pop_back();
    records::BitWriter w;
    for (size_t i = 0; i + 1 < f.records.size(); ++i) records::write_record(w, f.records[i], subsampled);
    const size_t start = w.bits();
    records::write_record(w, f.records.back(), subsampled);
    const size_t cut = start + 1 + (w.bits() - start - 1) / 2;
    const std::vector<uint8_t> whole = w.finish();
    records::BitSource in(whole);
    records::BitWriter cut_writer;
    for (size_t i = 0; i < cut; ++i) cut_writer.put_bit(in.bit(i));
    const std::vector<uint8_t> cut_stream = cut_writer.finish();
    const Frame part = records::parse_stream(cut_stream, subsampled);
    same = part.records.size() + 1 >= f.records.size() && records::write_stream(part) == cut_stream;
    for (size_t i = 0; same && i + 1 < f.records.size(); ++i) same = same_records(f.records[i], part.records[i]);
    check(same, "round " + std::to_string(round) + ": a cut stream parses back");
  }
  // Sixteen 1 bits where a luma DC code belongs are no code word: the parse stops there.
  const std::vector<uint8_t> no_code = {0x00, 0xF0, 0xFF, 0x0F};  // 0000, sixteen 1 bits, zeros
  const Frame f = records::parse_stream(no_code, false);
  check(f.records.empty() && f.tail.size() == 32 && records::write_stream(f) == no_code, "no code word");
}

// The parser's bit source at the data's end: a short last word has its missing
// high bytes read as zero ahead of the ones there, and everything past it reads
// as zero; the same bits as the decoder's reader, for data of every length.
void bit_source_edges() {
  const std::vector<uint8_t> data = {0x11, 0x22, 0x33, 0x44, 0xAB};
  const records::BitSource in(data);
  check(in.peek(0, 32) == 0x44332211u && in.peek(32, 32) == 0xABu && in.peek(56, 8) == 0xABu,
        "words of a stream with a short last word");
  check(in.peek(60, 8) == 0xB0u && in.peek(64, 32) == 0 && in.peek(1000, 32) == 0 && in.end() == 64,
        "zero bits past the data");
  Lcg g{7};
  for (size_t len = 0; len < 24; ++len) {
    std::vector<uint8_t> bytes(4 + len);
    for (auto& b : bytes) b = static_cast<uint8_t>(g.next() >> 24);
    const records::BitSource source(std::span<const uint8_t>(bytes).subspan(4));
    ast2100::BitReader reader = ast2100::BitReader::make(bytes.data(), bytes.size(), 4);
    for (size_t at = 0; at < len * 8 + 96; at += 7) {
      check(source.peek(at, 32) == reader.window(),
            "bit " + std::to_string(at) + " of " + std::to_string(len) + " bytes");
      reader.consume_bits(7);
    }
  }
}

}  // namespace

int main() {
  bit_source_edges();
  known_streams();
  decoder_reads_written_frames();
  parse_gives_back_records();
  if (failures != 0) {
    std::fprintf(stderr, "fuzz_writer_tests: %d failures\n", failures);
    return 1;
  }
  std::printf("fuzz_writer_tests: every check passed\n");
  return 0;
}

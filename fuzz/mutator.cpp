// Structure-aware mutation for the frame fuzz target (libFuzzer builds only).
//
// Random bytes rarely make a long run of valid records: one flipped bit in a
// Huffman code shifts every record after it. So for most inputs the mutator
// reads the frame as records (after the target's control and size bytes and
// the 4-byte header) and changes it as records: inserts, drops, duplicates or
// reorders whole records; changes a block code, an explicit position, a VQ
// colour, cache index or pixel code, a DC difference, or an AC run, size or
// value; or cuts the stream in the middle of a record. The result is written
// back through the record writer, so everything after the change stays in
// step. The rest of the time, and for inputs that do not parse as a frame of a
// known mode, libFuzzer's byte mutations run instead, so that malformed
// streams stay in reach.
//
// The control and size bytes are the target's (frame_target.cpp): byte 0 the
// control bits, then 2 + 2 or 8 + 8 bytes of width and height.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "record_writer.hpp"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

using records::Block;
using records::Frame;
using records::Record;

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {  // splitmix64
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }
  uint32_t bits(unsigned n) { return n == 0 ? 0 : static_cast<uint32_t>(next() >> (64 - n)); }
  bool one_in(size_t n) { return below(n) == 0; }
  // Small values much more often than large ones: 0..max.
  unsigned small(unsigned max) {
    const unsigned limit = 1u << below(5);
    return static_cast<unsigned>(below(std::min(max, limit) + 1));
  }

 private:
  uint64_t s_;
};

// The fuzz target's input layout (frame_target.cpp, whose opening comment is
// the full account): a control byte, the width and height, then codec_data,
// whose byte 1 is the target's option byte.
// The control byte:
constexpr uint8_t kControlMode = 0x03;        // 0: 444, 1: 422, 2 and 3: the header's own bytes
constexpr uint8_t kControlWideSizes = 0x04;   // 64-bit width and height, rather than 16-bit
constexpr uint8_t kControlSizeClass = 0x30;   // the largest picture of the 16-bit layout
constexpr uint8_t kControlLargeClass = 0x20;  // size classes 2 and 3: larger than a few macroblocks
constexpr unsigned kControlEndShift = 6;      // bits 6..7: 3 lets the stream run on past its data
constexpr unsigned kControlEndAsGiven = 3;
constexpr uint8_t kAsGivenMarker = 0xFF;  // codec_data's byte 0, with kControlEndAsGiven: run on
// The bytes before codec_data: the control byte and two sizes of 2 or 8 bytes.
constexpr size_t kNarrowPrefix = 1 + 2 * 2, kWidePrefix = 1 + 2 * 8;
// The option byte's low four bits are flags (the coefficient lane, which
// kernels run first, the screen's mode, a screen of the other mode); the high
// four choose a second screen and its pixel format.
constexpr unsigned kOptionFlags = 4;

// Where the frame starts in a fuzz input, and its mode; false when the input
// is too short to hold a header or the mode is neither 422 nor 444.
struct Layout {
  size_t prefix = 0;  // control and size bytes
  bool subsampled = false;
};

bool layout_of(std::span<const uint8_t> in, Layout& out) {
  if (in.empty()) return false;
  const uint8_t control = in[0];
  out.prefix = (control & kControlWideSizes) != 0 ? kWidePrefix : kNarrowPrefix;
  if (in.size() < out.prefix + 4) return false;
  switch (control & kControlMode) {
    case 0:
      out.subsampled = false;
      return true;
    case 1:
      out.subsampled = true;
      return true;
    default: {
      const unsigned mode = in[out.prefix + 2] * 256u + in[out.prefix + 3];
      out.subsampled = mode == 422;
      return mode == 422 || mode == 444;
    }
  }
}

// A magnitude of `size` bits: random, or one of the extremes (all ones is the
// largest positive value, all zeros the most negative).
uint16_t magnitude_bits(Rng& rng, unsigned size) {
  switch (rng.below(4)) {
    case 0:
      return static_cast<uint16_t>((1u << size) - 1);
    case 1:
      return 0;
    default:
      return static_cast<uint16_t>(rng.bits(size));
  }
}

records::AcSymbol random_ac(Rng& rng) {
  if (rng.one_in(12)) return {0xF0, 0};
  const unsigned size = 1 + rng.small(9);
  const unsigned run = rng.one_in(4) ? static_cast<unsigned>(rng.below(16)) : rng.small(3);
  return {static_cast<uint8_t>(run << 4 | size), magnitude_bits(rng, size)};
}

Block random_block(Rng& rng) {
  Block b;
  b.dc_size = static_cast<uint8_t>(rng.one_in(4) ? rng.below(12) : rng.small(5));
  b.dc_bits = magnitude_bits(rng, b.dc_size);
  const unsigned n = rng.one_in(16) ? 63 : rng.small(10);
  for (unsigned i = 0; i < n; ++i) b.ac.push_back(random_ac(rng));
  records::normalise(b);
  return b;
}

uint32_t random_colour(Rng& rng) {
  static const uint32_t picks[] = {0x000000, 0xFFFFFF, 0xFF8080, 0x008080, 0x00FF00, 0xFF0000, 0x0000FF};
  return rng.one_in(3) ? picks[rng.below(std::size(picks))] : rng.bits(24);
}

// Gives a record the payload its code asks for, keeping what fits.
void fit_payload(Rng& rng, Record& r, bool subsampled) {
  if (records::is_dct_code(r.code)) {
    r.entries.clear();
    r.pixels.clear();
    while (r.blocks.size() < records::blocks_per_macroblock(subsampled)) r.blocks.push_back(random_block(rng));
    r.blocks.resize(records::blocks_per_macroblock(subsampled));
  } else if (records::is_vq_code(r.code)) {
    r.blocks.clear();
    const unsigned n = records::vq_index_bits(r.code);
    while (r.entries.size() < (size_t{1} << n)) {
      const bool colour = rng.one_in(2);
      r.entries.push_back({colour, static_cast<uint8_t>(rng.below(4)), colour ? random_colour(rng) : 0});
    }
    r.entries.resize(size_t{1} << n);
    if (n == 0) {
      r.pixels.clear();
    } else {
      if (r.pixels.size() != 64) {
        r.pixels.resize(64);
        const bool flat = rng.one_in(2);
        for (auto& p : r.pixels) p = static_cast<uint8_t>(flat ? 0 : rng.bits(n));
      }
      for (auto& p : r.pixels) p = static_cast<uint8_t>(p & ((1u << n) - 1));
    }
  } else {
    r.blocks.clear();
    r.entries.clear();
    r.pixels.clear();
  }
}

constexpr unsigned kMacroblockCodes[] = {0, 4, 5, 6, 7, 8, 12, 13, 14, 15};

Record random_record(Rng& rng, bool subsampled) {
  Record r;
  r.code = kMacroblockCodes[rng.below(std::size(kMacroblockCodes))];
  r.col = static_cast<uint8_t>(rng.small(255));
  r.row = static_cast<uint8_t>(rng.small(255));
  fit_payload(rng, r, subsampled);
  return r;
}

uint8_t random_position(Rng& rng, uint8_t now) {
  switch (rng.below(5)) {
    case 0:
      return 0;
    case 1:
      return 255;
    case 2:
      return static_cast<uint8_t>(now + 1);
    case 3:
      return static_cast<uint8_t>(now - 1);
    default:
      return static_cast<uint8_t>(rng.small(255));
  }
}

// Indices of the records that are macroblocks of one kind.
template <class Pred>
std::vector<size_t> pick_records(const Frame& f, Pred pred) {
  std::vector<size_t> out;
  for (size_t i = 0; i < f.records.size(); ++i) {
    if (pred(f.records[i])) out.push_back(i);
  }
  return out;
}

void mutate_block(Rng& rng, Block& b) {
  switch (rng.below(7)) {
    case 0: {  // the DC difference
      b.dc_size = static_cast<uint8_t>(rng.one_in(3) ? 11 : rng.below(12));
      b.dc_bits = magnitude_bits(rng, b.dc_size);
      break;
    }
    case 1:  // insert an AC symbol
      b.ac.insert(b.ac.begin() + static_cast<std::ptrdiff_t>(rng.below(b.ac.size() + 1)), random_ac(rng));
      break;
    case 2:  // drop one (an end of block dropped lets the block run to 63)
      if (!b.ac.empty()) b.ac.erase(b.ac.begin() + static_cast<std::ptrdiff_t>(rng.below(b.ac.size())));
      break;
    case 3: {  // fill to the last coefficient, no end of block
      b.ac.clear();
      const uint8_t rs = static_cast<uint8_t>(1 + rng.small(9));
      for (int k = 1; k < 64; ++k) b.ac.push_back({rs, magnitude_bits(rng, rs)});
      break;
    }
    default: {  // a run, a size or a value
      if (b.ac.empty()) {
        b.ac.push_back(random_ac(rng));
        break;
      }
      auto& sym = b.ac[rng.below(b.ac.size())];
      unsigned run = sym.rs >> 4, size = sym.rs & 15;
      if (size == 0) {
        sym = random_ac(rng);
        break;
      }
      switch (rng.below(3)) {
        case 0:
          run = static_cast<unsigned>(rng.below(16));
          break;
        case 1:
          size = 1 + static_cast<unsigned>(rng.below(10));
          break;
        default:
          break;
      }
      sym.rs = static_cast<uint8_t>(run << 4 | size);
      sym.bits = magnitude_bits(rng, size);
    }
  }
  records::normalise(b);
}

void mutate_vq(Rng& rng, Record& r) {
  const unsigned n = records::vq_index_bits(r.code);
  auto& e = r.entries[rng.below(r.entries.size())];
  switch (rng.below(n == 0 ? 3 : 5)) {
    case 0:
      e.has_colour = !e.has_colour;
      e.colour = e.has_colour ? random_colour(rng) : 0;
      break;
    case 1:
      e.index = static_cast<uint8_t>(rng.below(4));
      break;
    case 2:
      e.has_colour = true;
      e.colour = random_colour(rng);
      break;
    case 3:
      r.pixels[rng.below(64)] = static_cast<uint8_t>(rng.bits(n));
      break;
    default: {
      const uint8_t v = static_cast<uint8_t>(rng.bits(n));
      for (auto& p : r.pixels) p = rng.one_in(2) ? v : p;
    }
  }
}

// One change to the records; the bit to cut the stream at, if it is cut.
void mutate_records(Rng& rng, Frame& f, size_t& cut_bits) {
  auto& recs = f.records;
  auto any = [&] { return rng.below(recs.size()); };
  switch (rng.below(recs.empty() ? 1 : 12)) {
    case 0:  // insert a new record
      recs.insert(recs.begin() + static_cast<std::ptrdiff_t>(rng.below(recs.size() + 1)),
                  random_record(rng, f.subsampled));
      break;
    case 1:
      recs.erase(recs.begin() + static_cast<std::ptrdiff_t>(any()));
      break;
    case 2: {  // duplicate, next to it or anywhere
      const Record copy = recs[any()];
      recs.insert(recs.begin() + static_cast<std::ptrdiff_t>(rng.below(recs.size() + 1)), copy);
      break;
    }
    case 3:
      std::swap(recs[any()], recs[any()]);
      break;
    case 4: {  // another block code
      Record& r = recs[any()];
      if (rng.one_in(2) && r.code != records::kFrameEnd && !records::is_unknown_code(r.code)) {
        r.code ^= 8;  // with or without a position: macroblock codes stay macroblock codes
      } else if (rng.one_in(8)) {
        static const unsigned ends[] = {1, 2, 3, 9, 10, 11};
        r.code = ends[rng.below(std::size(ends))];
      } else {
        r.code = kMacroblockCodes[rng.below(std::size(kMacroblockCodes))];
      }
      fit_payload(rng, r, f.subsampled);
      break;
    }
    case 5: {  // an explicit position
      const auto at = pick_records(f, [](const Record& r) { return records::has_position(r.code); });
      if (at.empty()) break;
      Record& r = recs[at[rng.below(at.size())]];
      if (rng.one_in(2)) r.col = random_position(rng, r.col);
      else r.row = random_position(rng, r.row);
      break;
    }
    case 6:
    case 7: {  // a VQ colour, cache index or pixel code
      const auto vq = pick_records(f, [](const Record& r) { return records::is_vq_code(r.code); });
      if (!vq.empty()) mutate_vq(rng, recs[vq[rng.below(vq.size())]]);
      break;
    }
    case 8:
    case 9:
    case 10: {  // a DC difference, an AC run, size or value
      const auto dct = pick_records(f, [](const Record& r) { return records::is_dct_code(r.code); });
      if (dct.empty()) break;
      Record& r = recs[dct[rng.below(dct.size())]];
      mutate_block(rng, r.blocks[rng.below(r.blocks.size())]);
      break;
    }
    default: {  // cut the stream inside a record
      records::BitWriter w;
      const size_t last = any();
      for (size_t i = 0; i < last; ++i) records::write_record(w, recs[i], f.subsampled);
      const size_t start = w.bits();
      records::write_record(w, recs[last], f.subsampled);
      cut_bits = start + rng.below(w.bits() - start);
      recs.resize(last + 1);
      f.tail.clear();
    }
  }
}

// The stream of a frame; when cut, only its first cut_bits bits.
std::vector<uint8_t> stream_of(const Frame& f, size_t cut_bits) {
  if (cut_bits == SIZE_MAX) return records::write_stream(f);
  records::BitWriter w;
  for (const Record& r : f.records) records::write_record(w, r, f.subsampled);
  std::vector<uint8_t> all = w.finish();
  records::BitSource in(all);
  records::BitWriter cut;
  for (size_t i = 0; i < cut_bits; ++i) cut.put_bit(in.bit(i));
  return cut.finish();
}

// Parsing a stream and writing the records back gives the same bits (the
// stream padded to whole words): the writer and the parser agree on every
// field, so the records a mutation changes are written where the decoder will
// look for them.
void check_round_trip(std::span<const uint8_t> stream, bool subsampled) {
  std::vector<uint8_t> padded(stream.begin(), stream.end());
  padded.resize((padded.size() + 3) / 4 * 4);
  if (records::write_stream(records::parse_stream(stream, subsampled)) != padded) {
    std::fprintf(stderr, "record writer: a stream of %zu bytes does not read back as written\n", stream.size());
    std::abort();
  }
}

// The control and size bytes: another size class, kernel comparison, mode
// source, end-tail choice, or another small width or height; or a bit of the
// target's option byte (the frame header's byte 1).
void mutate_prefix(Rng& rng, uint8_t* data, size_t prefix) {
  if (rng.one_in(3)) {
    data[prefix + 1] = static_cast<uint8_t>(data[prefix + 1] ^ (1u << rng.below(kOptionFlags)));
    return;
  }
  if (rng.one_in(2)) {
    // Any control bit but kControlWideSizes, which would move the frame: one
    // of the mode's two bits, or one of bits 3 to 7.
    const unsigned bit = rng.one_in(2) ? 3 + static_cast<unsigned>(rng.below(5)) : static_cast<unsigned>(rng.below(2));
    static_assert(kControlMode == 0x03 && kControlWideSizes == 0x04);
    data[0] = static_cast<uint8_t>(data[0] ^ (1u << bit));
    return;
  }
  const size_t field = prefix == kWidePrefix ? 8 : 2;
  const size_t at = 1 + field * rng.below(2);
  const unsigned unit = rng.one_in(2) ? 8 : 16;
  const uint64_t v = rng.one_in(2) ? rng.small(255) : unit * (1 + rng.small(15)) + rng.below(3) - 1;
  for (size_t i = 0; i < field; ++i) data[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

size_t mutate_structure(uint8_t* data, size_t size, size_t max_size, Rng& rng, const Layout& layout) {
  const size_t header_end = layout.prefix + 4;
  Frame f = records::parse_stream({data + header_end, size - header_end}, layout.subsampled);
  size_t cut_bits = SIZE_MAX;
  const size_t rounds = 1 + rng.small(3);
  for (size_t i = 0; i < rounds && cut_bits == SIZE_MAX; ++i) mutate_records(rng, f, cut_bits);
  if (cut_bits == SIZE_MAX && rng.one_in(12)) mutate_prefix(rng, data, layout.prefix);
  // Inputs that run on into zero bits (see the target) cost a hundred times
  // what others do, and those on larger pictures ten times: most of their
  // offspring end where their data ends, and go onto small pictures.
  if ((data[0] >> kControlEndShift) == kControlEndAsGiven && data[layout.prefix] == kAsGivenMarker && !rng.one_in(8)) {
    data[layout.prefix] = 0;
  }
  if (layout.prefix == kNarrowPrefix && (data[0] & kControlLargeClass) != 0 && !rng.one_in(4)) {
    data[0] = static_cast<uint8_t>(data[0] & ~kControlSizeClass);  // size class 0: small
  }
  // A frame without an end marker mostly gets one back.
  const bool ended = !f.records.empty() &&
                     (f.records.back().code == records::kFrameEnd || records::is_unknown_code(f.records.back().code));
  if (cut_bits == SIZE_MAX && !ended && f.tail.size() < 32 && !rng.one_in(4)) {
    f.tail.clear();
    f.records.push_back(records::marker(records::kFrameEnd));
  }
  std::vector<uint8_t> stream = stream_of(f, cut_bits);
  // Now and then a short last word (fewer than four bytes: its missing high
  // bytes read as zero bits ahead of the ones that are there).
  if (!stream.empty() && rng.one_in(8)) stream.resize(stream.size() - rng.below(4));
  if (header_end + stream.size() > max_size) return 0;
  if (!stream.empty()) std::memcpy(data + header_end, stream.data(), stream.size());
#ifdef NDEBUG
  if (rng.one_in(64)) check_round_trip(stream, layout.subsampled);
#else
  check_round_trip(stream, layout.subsampled);
#endif
  return header_end + stream.size();
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
  Rng rng(seed);
  Layout layout;
  if (layout_of({data, size}, layout) && !rng.one_in(3)) {
    const size_t n = mutate_structure(data, size, max_size, rng, layout);
    if (n != 0) return n;
  }
  return LLVMFuzzerMutate(data, size, max_size);
}

// Splices two frames at record boundaries: the first records of one, then
// records of the other, then the end marker.
extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1, const uint8_t* data2, size_t size2,
                                            uint8_t* out, size_t max_out_size, unsigned int seed) {
  Rng rng(seed);
  Layout l1, l2;
  if (!layout_of({data1, size1}, l1) || !layout_of({data2, size2}, l2) || l1.subsampled != l2.subsampled) {
    return 0;
  }
  const size_t h1 = l1.prefix + 4, h2 = l2.prefix + 4;
  Frame a = records::parse_stream({data1 + h1, size1 - h1}, l1.subsampled);
  const Frame b = records::parse_stream({data2 + h2, size2 - h2}, l2.subsampled);
  a.records.resize(rng.below(a.records.size() + 1));
  const size_t from = rng.below(b.records.size() + 1);
  const size_t to = from + rng.below(b.records.size() - from + 1);
  a.records.insert(a.records.end(), b.records.begin() + static_cast<std::ptrdiff_t>(from),
                   b.records.begin() + static_cast<std::ptrdiff_t>(to));
  a.records.push_back(records::marker(records::kFrameEnd));
  a.tail.clear();
  const std::vector<uint8_t> stream = records::write_stream(a);
  if (h1 + stream.size() > max_out_size) return 0;
  std::memcpy(out, data1, h1);
  if (!stream.empty()) std::memcpy(out + h1, stream.data(), stream.size());
  return h1 + stream.size();
}

// A picture kept across frames, with a journal that undoes a failed frame.
#include "screen.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "color.hpp"

namespace ast2100 {
namespace {

constexpr uint64_t kCell = macroblock_size(false);  // the smaller macroblock size

// Automatic threads: frames estimated to hold fewer macroblocks than this are
// drawn on one thread, as waking the worker (tens of microseconds) would cost
// more than it saves. A macroblock's record takes at least about 16 bits.
constexpr uint64_t kMinThreadedMacroblocks = 512;
constexpr uint64_t kMinRecordBits = 16;
// Large frames drawn on one thread after two threads did not pay (the worker
// lagged, or the frame took longer for its size than kThreadedAdvantage times
// what one thread takes lately), first and at most. Four frames on one thread
// renew the one-thread rate (kRecentWeight) under the conditions of the moment
// before two threads are tried again. The count doubles while two threads keep
// failing, so that a screen on a machine where they never pay tries them on
// one large frame in kMaxBackoff + 1 at most, and so loses at most that share
// of its frames to a bad try, while a core that comes free again is still
// found within kMaxBackoff large frames (a few seconds of video).
constexpr uint32_t kFirstBackoff = 4;
constexpr uint32_t kMaxBackoff = 64;
// Two threads cost more CPU time than one (the worker's, and the hand-over's
// on both sides): they are kept only while a frame takes clearly less time
// for its size than one thread lately, 5% less, a margin above the few percent
// by which similar frames' rates differ, so that noise alone does not keep
// them.
constexpr double kThreadedAdvantage = 0.95;
// The one-thread rate is a moving average in which each new large frame
// weighs a quarter: the last four frames carry about two thirds of it, so it
// follows a change of content or of machine load within a few frames, while
// one odd frame (a thread preempted, pages faulted in) moves it by a quarter
// of its deviation only.
constexpr double kRecentWeight = 0.25;

template <class T>
T* allocate_array(uint64_t count, bool zeroed) noexcept {
  if (count == 0) count = 1;  // a real pointer even for an empty picture
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  const auto n = static_cast<size_t>(count);  // fits: tested just above
  void* p = zeroed ? std::calloc(n, sizeof(T)) : std::malloc(n * sizeof(T));
  return static_cast<T*>(p);
}

// Bytes on 64-byte boundaries, for a picture of four-byte pixels: there a run
// of sixteen pixels, a macroblock's row, is one whole cache line, as are the
// rows of its journal copy (whose entries are whole macroblocks, so multiples
// of 64 bytes, but at the picture's clipped edges).
uint8_t* allocate_lines(uint64_t bytes) noexcept {
  constexpr size_t kLine = 64;
  if (bytes > SIZE_MAX - kLine) return nullptr;
  const auto fitting = static_cast<size_t>(bytes);  // fits: tested just above
  const size_t rounded = fitting == 0 ? kLine : (fitting + kLine - 1) / kLine * kLine;
  return static_cast<uint8_t*>(std::aligned_alloc(kLine, rounded));
}

#if defined(__SSE2__)
// Copies a macroblock into the journal with streaming stores, which write
// whole lines without first reading them into the cache: the journal is read
// back only to undo a frame that fails. (About a sixth less time for a
// whole frame of 16x16 macroblocks.) Rows of a multiple of 16 bytes at a
// 16-byte aligned journal position; false (nothing copied) otherwise.
bool stream_rows(uint8_t* dst, const uint8_t* src, size_t src_stride, size_t row_bytes, size_t rows) noexcept {
  if (row_bytes % 16 != 0 || reinterpret_cast<uintptr_t>(dst) % 16 != 0) return false;
  for (size_t r = 0; r < rows; ++r, src += src_stride) {
    // The same row of the macroblock four to the right, which a frame in raster
    // order journals next: a prefetch never faults, even past the picture.
    __builtin_prefetch(src + 4 * row_bytes);
    for (size_t i = 0; i < row_bytes; i += 16, dst += 16) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    }
  }
  return true;
}
#endif

// Sorts items into raster order of their areas and appends them to out as
// rectangles, joining areas of one macroblock row that touch side by side. The
// areas are distinct macroblocks of one size, so they never overlap.
template <class T, class Area>
void merge_sorted(std::span<T> items, Area area_of, std::vector<Rect>& out) {
  // A frame that follows the running position arrives in raster order already.
  auto raster = [&](const T& a, const T& b) {
    const PixelArea &p = area_of(a), &q = area_of(b);
    return p.y != q.y ? p.y < q.y : p.x < q.x;
  };
  if (!std::is_sorted(items.begin(), items.end(), raster)) std::sort(items.begin(), items.end(), raster);
  const size_t first = out.size();
  for (const T& item : items) {
    const PixelArea& a = area_of(item);
    if (out.size() > first) {
      Rect& last = out.back();
      // Same macroblock row (so the same height), touching on the left.
      if (last.y == a.y && last.x + last.w == a.x) {
        last.w += a.cols;
        continue;
      }
    }
    out.push_back({a.x, a.y, a.cols, a.rows});
  }
}

// Copies `rows` rows of row_bytes bytes. Whole macroblock rows (8 or 16
// pixels of 1, 3 or 4 bytes, or 4 or 8 chroma samples) get copies of a
// constant size.
inline void copy_rows(uint8_t* dst, size_t dst_stride, const uint8_t* src, size_t src_stride, size_t row_bytes,
                      size_t rows) noexcept {
  auto copy = [&](auto size) {
    for (size_t r = 0; r < rows; ++r, dst += dst_stride, src += src_stride) std::memcpy(dst, src, size);
  };
  switch (row_bytes) {
    case 4:  // a whole 8x8 macroblock's 4:2:0 chroma rows
      return copy(std::integral_constant<size_t, 4>{});
    case 8:
      return copy(std::integral_constant<size_t, 8>{});
    case 16:
      return copy(std::integral_constant<size_t, 16>{});
    case 24:
      return copy(std::integral_constant<size_t, 24>{});
    case 32:
      return copy(std::integral_constant<size_t, 32>{});
    case 48:
      return copy(std::integral_constant<size_t, 48>{});
    case 64:
      return copy(std::integral_constant<size_t, 64>{});
    default:
      return copy(row_bytes);
  }
}

// A whole macroblock's part of a plane, row by row, of sizes known when
// compiled: the bulk of a frame's journal, where the general copies' per-row
// size tests and per-plane geometry cost more instructions than the copies.
// Stream: with streaming stores (see stream_rows), from a 16-byte aligned
// journal position; rows of 8 or 4 bytes need only their own alignment.
template <uint64_t Bytes, bool Stream>
inline void save_row(uint8_t* to, const uint8_t* from) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
  if constexpr (Stream && Bytes % 16 == 0) {
    __builtin_prefetch(from + 4 * Bytes);  // as stream_rows: the macroblock four to the right
    for (uint64_t i = 0; i < Bytes; i += 16) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(to + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
    }
  } else if constexpr (Stream && Bytes == 8) {
    long long v;
    std::memcpy(&v, from, 8);
    _mm_stream_si64(reinterpret_cast<long long*>(to), v);
  } else if constexpr (Stream && Bytes == 4) {
    int v;
    std::memcpy(&v, from, 4);
    _mm_stream_si32(reinterpret_cast<int*>(to), v);
  } else {
    std::memcpy(to, from, Bytes);
  }
#else
  std::memcpy(to, from, Bytes);
#endif
}

// Rows rows of Bytes bytes, `stride` apart in the picture, packed at `to`;
// returns where the journal goes on.
template <uint64_t Rows, uint64_t Bytes, bool Stream>
inline uint8_t* save_rows(uint8_t* to, const uint8_t* from, uint64_t stride) noexcept {
  for (uint64_t r = 0; r < Rows; ++r, from += stride, to += Bytes) save_row<Bytes, Stream>(to, from);
  return to;
}

}  // namespace

Screen::~Screen() {
  // In a forked child the worker does not exist and cannot be joined: the
  // pipeline is left behind.
  if (pipeline_ && pipeline_->orphaned()) static_cast<void>(pipeline_.release());
}

bool Screen::allocate(uint64_t max_bytes) noexcept {
  if (!valid_scale(scale_)) return false;
  const std::optional<uint64_t> bytes = drawn_picture_bytes(width_, height_, drawn_format(), scale_, max_bytes);
  const std::optional<uint64_t> shown = drawn_picture_bytes(width_, height_, format_, scale_, max_bytes);
  if (!bytes || !shown) return false;
  // i420 keeps both pictures in one block, the 4:2:0 one first.
  const uint64_t all_bytes = *shown + (derives() ? *bytes : 0);  // both below 2^63
  // More than size_t counts (on a 32-bit CPU) is more than memory holds, as
  // the allocation would find: tested first, so that the sizes kept are sizes.
  if (all_bytes > max_bytes || all_bytes > SIZE_MAX) return false;
  bytes_ = static_cast<size_t>(*bytes);
  shown_bytes_ = static_cast<size_t>(*shown);
  cells_x_ = ceil_div(width_, kCell);
  picture_width_ = picture_width();
  plane_bytes_ = plane_bytes();
  chroma_420_ = drawn_format() == PixelFormat::i420;
  chroma_width_ = ceil_div(picture_width_, 2);
  chroma_at_[0] = plane_bytes_;
  chroma_at_[1] = plane_bytes_ + in_memory(chroma_width_ * ceil_div(picture_height(), 2));  // inside the picture
  // Fits: cells_x_ * ceil_div(height_, kCell) is at most the pixel count, or 1 per row
  // or column when a side is below 8.
  const uint64_t all_cells = cells_x_ * ceil_div(height_, kCell);
  // Black is all zero bytes, which calloc gives without touching a page, but
  // in the formats with a padding byte, where every pixel is written now.
  const bool padded = padding_index(format_) >= 0;
  pixels_.reset(padded ? allocate_lines(all_bytes) : allocate_array<uint8_t>(all_bytes, true));
  // A planar journal at full size keeps each plane's part on a 16-byte
  // boundary (see before_draw): whole macroblocks' parts are multiples of 16
  // bytes, and each clipped macroblock on an edge may need up to 15 bytes a
  // plane more.
  uint64_t journal_bytes = bytes_;
  if (streams_planes()) journal_bytes += 3 * kJournalAlign * (cells_x_ + ceil_div(height_, kCell) + 1);
  journal_.reset(padded || streams_planes() ? allocate_lines(journal_bytes)
                                            : allocate_array<uint8_t>(journal_bytes, false));
  saved_.reset(allocate_array<Saved>(all_cells, false));
  const uint64_t touched_words = all_cells / 64 + 1;
  touched_.reset(allocate_array<uint64_t>(touched_words, true));
  if (!(pixels_ && journal_ && saved_ && touched_)) return false;
  touched_words_ = in_memory(touched_words);
  if (padded) fill_black({pixels_.get(), bytes_}, format_);
  // The planar formats' black is not zero: Y 16, then Cb and Cr 128 (the
  // i420 picture's Y plane first, then the i444 one's after its chroma).
  if (format_ == PixelFormat::i444) fill_black_planar({pixels_.get(), bytes_}, plane_bytes());
  if (format_ == PixelFormat::i420) fill_black_planar({pixels_.get(), shown_bytes_}, plane_bytes());
  if (derives()) fill_black_planar({drawn(), bytes_}, plane_bytes());
  return true;
}

void Screen::save_area(const AreaCopy& copy) noexcept {
#if defined(__SSE2__)
  if (stream_rows(copy.to, copy.from, copy.from_stride, copy.row_bytes, copy.rows)) return;
#endif
  copy_rows(copy.to, copy.row_bytes, copy.from, copy.from_stride, copy.row_bytes, copy.rows);
}

void Screen::before_draw(const PixelArea& area) noexcept {
  // Areas are clipped macroblocks: their top-left corner is the macroblock's,
  // a multiple of the macroblock size, so it names one 8x8 cell of its own
  // (in a thumbnail, once multiplied back by the scale).
  const size_t key = cell_key(area);
  uint64_t& word = touched_[key / 64];
  const uint64_t bit = uint64_t{1} << (key % 64);
  if ((word & bit) != 0) return;
  word |= bit;
  // Each macroblock is saved once a frame and macroblocks do not overlap, so
  // the journal never holds more than the picture.
  saved_[saved_count_++] = {area, journal_used_};
  // A whole macroblock of a full-size picture (nearly every one of a whole
  // frame) takes the copies compiled for its size and format.
  if (save_whole_ != nullptr && area.cols == whole_size_ && area.rows == whole_size_) {
    (this->*save_whole_)(area);
    return;
  }
  // On two threads this runs on the worker, just before it draws there. The
  // planar formats save the area's part of each plane, one after another,
  // with ordinary stores: streaming some of a plane's rows and not the next
  // plane's, into the same cache lines, stalls every store that follows
  // (a third more time for a whole frame).
  if (planes() == 1) {
    const PlanePart part = plane_part(0, area);
    save_area({journal_.get() + journal_used_, drawn() + part.offset, part.stride, part.row_bytes, part.rows});
    journal_used_ += part.row_bytes * part.rows;
    return;
  }
  for (unsigned p = 0; p < planes(); ++p) {
    const PlanePart part = plane_part(p, area);
    const AreaCopy copy{journal_.get() + journal_used_, drawn() + part.offset, part.stride, part.row_bytes, part.rows};
    if (!streams_planes() || !stream_frame_) {
      copy_rows(copy.to, copy.row_bytes, copy.from, copy.from_stride, copy.row_bytes, copy.rows);
    } else {
      save_plane_part(copy);
    }
    journal_used_ += planar_entry_bytes(part);
  }
}

template <uint64_t N, uint64_t PixelBytes>
void Screen::save_whole_packed(const PixelArea& area) noexcept {
  constexpr uint64_t kRow = N * PixelBytes;
  uint8_t* to = journal_.get() + journal_used_;
  const uint8_t* from = drawn() + (area.y * picture_width_ + area.x) * PixelBytes;
  const uint64_t stride = picture_width_ * PixelBytes;
  // As save_area: streamed where the rows are whole 16-byte units and the
  // entry starts on one (an entry clipped at the edge before it may have
  // moved it).
  if constexpr (kRow % 16 == 0) {
    if (reinterpret_cast<uintptr_t>(to) % 16 == 0) {
      save_rows<N, kRow, true>(to, from, stride);
      journal_used_ += N * kRow;
      return;
    }
  }
  save_rows<N, kRow, false>(to, from, stride);
  journal_used_ += N * kRow;
}

template <uint64_t N>
void Screen::save_whole_planar(const PixelArea& area) noexcept {
  // As before_draw's planar copies: streamed in frames of 16x16 macroblocks,
  // whose whole parts are 16-byte multiples, so every part starts aligned.
  constexpr bool kStream = N == 16;
  constexpr uint64_t kHalf = N / 2;
  uint8_t* to = journal_.get() + journal_used_;
  const uint64_t w = picture_width_;
  const uint8_t* luma = drawn() + area.y * w + area.x;
  to = save_rows<N, N, kStream>(to, luma, w);
  if (chroma_420_) {
    // A full-size macroblock's corner is a multiple of 8: its chroma is its own.
    const uint64_t at = (area.y / 2) * chroma_width_ + area.x / 2;
    to = save_rows<kHalf, kHalf, kStream>(to, drawn() + chroma_at_[0] + at, chroma_width_);
    to = save_rows<kHalf, kHalf, kStream>(to, drawn() + chroma_at_[1] + at, chroma_width_);
  } else {
    to = save_rows<N, N, kStream>(to, luma + plane_bytes_, w);
    to = save_rows<N, N, kStream>(to, luma + 2 * plane_bytes_, w);
  }
  journal_used_ = static_cast<size_t>(to - journal_.get());
}

template <uint64_t N>
Screen::SaveWhole Screen::whole_saver_of() const noexcept {
  switch (drawn_format()) {
    case PixelFormat::i420:
    case PixelFormat::i444:
      return &Screen::save_whole_planar<N>;
    case PixelFormat::gray:
      return &Screen::save_whole_packed<N, 1>;
    case PixelFormat::rgb:
    case PixelFormat::bgr:
      return &Screen::save_whole_packed<N, 3>;
    default:
      return &Screen::save_whole_packed<N, 4>;
  }
}

Screen::SaveWhole Screen::whole_saver(bool subsampled) const noexcept {
  // A thumbnail's macroblocks are small (at 1/8, one or four pixels), so the
  // general copies' set-up would cost more than the copy: they take theirs
  // too. The drawn format's, as an i420 thumbnail journals its i444 picture.
  switch (macroblock_size(subsampled) / scale_) {
    case 16:
      return whole_saver_of<16>();
    case 8:
      return whole_saver_of<8>();
    case 4:
      return whole_saver_of<4>();
    case 2:
      return whole_saver_of<2>();
    case 1:
      return whole_saver_of<1>();
    default:
      return nullptr;
  }
}

void Screen::save_plane_part(const AreaCopy& copy) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
  if (stream_rows(copy.to, copy.from, copy.from_stride, copy.row_bytes, copy.rows)) return;
  // Rows of 8 or 4 bytes, streamed too: a plane's part and the next one's
  // share cache lines, and ordinary stores into a line that streaming
  // stores are filling stall every store that follows (a third more time
  // for a whole frame). The parts start on 16-byte boundaries. (Frames of
  // 8x8 macroblocks, whose rows are all 8 bytes or less, journal with
  // ordinary stores: streaming rows that short costs more than it saves.)
  const uint8_t* src = copy.from;
  if (copy.row_bytes == 8) {
    for (uint64_t r = 0; r < copy.rows; ++r, src += copy.from_stride) {
      long long v;
      std::memcpy(&v, src, 8);
      _mm_stream_si64(reinterpret_cast<long long*>(copy.to + 8 * r), v);
    }
    return;
  }
  if (copy.row_bytes == 4) {
    for (uint64_t r = 0; r < copy.rows; ++r, src += copy.from_stride) {
      int v;
      std::memcpy(&v, src, 4);
      _mm_stream_si32(reinterpret_cast<int*>(copy.to + 4 * r), v);
    }
    return;
  }
#endif
  copy_rows(copy.to, copy.row_bytes, copy.from, copy.from_stride, copy.row_bytes, copy.rows);
}

void Screen::finish(bool undo) noexcept {
#if defined(__SSE2__)
  _mm_sfence();  // the journal's streaming stores are done before it is read or reused
#endif
  // Every mark set in this frame belongs to a saved area, so clearing the
  // word of each clears them all; a frame that saved more areas than there
  // are words (a whole frame saves 16 to 64 areas a word) clears them
  // all at once instead.
  const bool by_area = saved_count_ < touched_words_;
  if (!by_area) std::memset(touched_.get(), 0, touched_words_ * sizeof(uint64_t));
  for (size_t i = 0; i < saved_count_ && (by_area || undo); ++i) {
    const PixelArea& area = saved_[i].area;
    if (by_area) touched_[cell_key(area) / 64] = 0;
    if (!undo) continue;
    const uint8_t* from = journal_.get() + saved_[i].offset;
    for (unsigned p = 0; p < planes(); ++p) {
      const PlanePart part = plane_part(p, area);
      copy_rows(drawn() + part.offset, part.stride, from, part.row_bytes, part.row_bytes, part.rows);
      from += planes() == 1 ? part.row_bytes * part.rows : planar_entry_bytes(part);
    }
  }
  saved_count_ = 0;
  journal_used_ = 0;
}

bool Screen::restore(std::span<const uint8_t> pixels, uint64_t frames_applied) noexcept {
  const uint64_t whole = shown_bytes_ + derived_from_bytes();
  if (!pixels_ || (pixels.size() != whole && pixels.size() != shown_bytes_)) return false;
  if (!pixels.empty()) std::memcpy(pixels_.get(), pixels.data(), pixels.size());
  if (pixels.size() != whole && derives()) {
    // An i420 picture alone: the i444 one repeats each chroma sample over its 2x2.
    const uint64_t w = picture_width(), h = picture_height(), cw = ceil_div(w, 2);
    const uint8_t* shown = pixels_.get();
    uint8_t* to = drawn();
    if (plane_bytes() != 0) std::memcpy(to, shown, plane_bytes());
    for (unsigned p = 1; p < 3; ++p) {
      const uint8_t* chroma = shown + plane_bytes() + (p - 1) * cw * ceil_div(h, 2);
      for (uint64_t y = 0; y < h; ++y) {
        for (uint64_t x = 0; x < w; ++x) to[p * plane_bytes() + y * w + x] = chroma[(y / 2) * cw + x / 2];
      }
    }
  }
  frames_applied_.store(frames_applied, std::memory_order_relaxed);
  return true;
}

void Screen::derive_420(std::span<const Rect> rects) noexcept {
  const uint64_t w = picture_width(), h = picture_height(), cw = ceil_div(w, 2), ch = ceil_div(h, 2);
  const uint8_t* from = drawn();
  uint8_t* to = pixels_.get();
  for (const Rect& r : rects) {
    // A rectangle of the picture, which is in memory: its width is a size.
    for (uint64_t y = r.y; y < r.y + r.h; ++y) std::memcpy(to + y * w + r.x, from + y * w + r.x, in_memory(r.w));
    // The chroma samples the rectangle touches; one with an odd edge covers a
    // pixel beside it, whose full-resolution chroma is there to read.
    const uint64_t x0 = r.x / 2, x1 = ceil_div(r.x + r.w, 2), y0 = r.y / 2, y1 = ceil_div(r.y + r.h, 2);
    for (uint64_t p = 1; p < 3; ++p) {
      const uint8_t* plane = from + p * w * h;
      uint8_t* out = to + w * h + (p - 1) * cw * ch;
      for (uint64_t v = y0; v < y1; ++v) {
        const uint8_t* top = plane + 2 * v * w;
        // At the bottom edge of an odd height the row below does not exist.
        const uint8_t* bottom = 2 * v + 1 < h ? top + w : nullptr;
        for (uint64_t u = x0; u < x1; ++u) {
          const uint64_t x = 2 * u;
          const bool right = x + 1 < w;
          uint32_t sum = top[x] + (right ? top[x + 1] : 0u);
          uint32_t n = right ? 2 : 1;
          if (bottom != nullptr) sum += bottom[x] + (right ? bottom[x + 1] : 0u), n *= 2;
          // The rounded mean, halves up: (sum + n / 2) / n for the 1, 2 or 4 samples there are.
          out[v * cw + u] = static_cast<uint8_t>((sum + n / 2) / n);
        }
      }
    }
  }
}

DrawPipeline* Screen::pipeline_for(const FrameDecoder& decoder, size_t codec_data_size, bool& timed) noexcept {
  timed = false;
  if (threads_ == Threads::one) return nullptr;
  if (pipeline_ && pipeline_->orphaned()) static_cast<void>(pipeline_.release());
  if (threads_ == Threads::automatic) {
    // The set-up has checked that the data holds the header and more.
    const uint64_t bits = (static_cast<uint64_t>(codec_data_size) - kHeaderBytes) * 8;
    const uint64_t all = decoder.mb_cols * decoder.mb_rows;
    const uint64_t estimate = all < bits / kMinRecordBits ? all : bits / kMinRecordBits;
    if (estimate < kMinThreadedMacroblocks || available_cpus() < 2) return nullptr;
    // A large frame: timed, whichever way it is drawn.
    timed = true;
    if (serial_frames_ > 0) {
      --serial_frames_;
      return nullptr;
    }
  }
  if (!pipeline_) pipeline_ = DrawPipeline::start();
  return pipeline_.get();
}

void Screen::learn(bool threaded, bool lagged, uint64_t nanoseconds, size_t codec_data_size) noexcept {
  // Time per byte of frame data, which roughly follows the work of a frame.
  const double rate = static_cast<double>(nanoseconds) / static_cast<double>(codec_data_size);
  if (!threaded) {
    serial_rate_ = serial_rate_ == 0 ? rate : (1 - kRecentWeight) * serial_rate_ + kRecentWeight * rate;
    return;
  }
  // Two threads must beat one clearly, or they are not worth their CPU time;
  // a frame whose worker lagged never does.
  if (lagged || (serial_rate_ != 0 && rate > kThreadedAdvantage * serial_rate_)) {
    serial_backoff_ = serial_backoff_ == 0 ? kFirstBackoff : std::min(2 * serial_backoff_, kMaxBackoff);
    serial_frames_ = serial_backoff_;
  } else {
    serial_backoff_ = 0;
  }
}

ApplyResult Screen::apply(std::span<const uint8_t> codec_data, std::vector<Rect>& changed) noexcept {
  FrameDecoder decoder;
  const Status setup = FrameDecoder::setup(codec_data, width_, height_, bytes_, decoder, drawn_format(), scale_);
  if (!setup.ok()) return {ApplyResult::Kind::frame_failed, setup};
  const uint32_t frame_mode = decoder.subsampled ? kMode422 : kMode444;
  if (mode_ != 0 && frame_mode != mode_) return {ApplyResult::Kind::wrong_mode, {}, frame_mode};

  stream_frame_ = decoder.subsampled;
  save_whole_ = whole_saver(decoder.subsampled);
  whole_size_ = macroblock_size(decoder.subsampled) / scale_;
  bool timed = false;
  DrawPipeline* pipeline = pipeline_for(decoder, codec_data.size(), timed);
  if (pipeline != nullptr) {
    // The journal hears from the thread that draws.
    pipeline->begin_frame(threads_ == Threads::automatic, this);
    decoder.sink = pipeline;
  } else {
    decoder.observer = this;
  }
  const auto start = timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  const Status status = decoder.run({drawn(), bytes_});
  // Every queued macroblock is drawn before the picture is kept or undone.
  if (pipeline != nullptr) pipeline->end_frame();
  if (timed && status.ok()) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    learn(pipeline != nullptr, pipeline != nullptr && pipeline->lagged(),
          static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()),
          codec_data.size());
  }
  if (!status.ok()) {
    finish(true);
    return {ApplyResult::Kind::frame_failed, status};
  }
  // Sorting the journal's entries does not disturb an undo: each carries its
  // own area and journal offset.
  const size_t before = changed.size();
  try {
    merge_sorted(
        std::span<Saved>(saved_.get(), saved_count_), [](const Saved& s) -> const PixelArea& { return s.area; },
        changed);
  } catch (const std::bad_alloc&) {
    changed.resize(before);
    finish(true);
    return {ApplyResult::Kind::no_memory, {}};
  }
  finish(false);
  if (derives()) derive_420(std::span<const Rect>(changed).subspan(before));
  frames_applied_.fetch_add(1, std::memory_order_relaxed);
  return {};
}

}  // namespace ast2100

// A picture that lives across frames: each frame is drawn over what the
// previous ones left, as a remote-console client shows delta frames, by the
// same record loop as a one-off decode (frame.hpp). A frame that fails
// part-way is undone, so the picture is either the old one or the new one.
// The planar formats hold the decoder's own Y, Cb, Cr samples; an i420
// thumbnail is derived from an i444 picture kept beside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "frame.hpp"
#include "picture.hpp"
#include "pipeline.hpp"

namespace ast2100 {

// x, y: the top-left pixel; w, h: the size in pixels. Never empty.
struct Rect {
  uint64_t x = 0, y = 0, w = 0, h = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct ApplyResult {
  enum class Kind : uint8_t {
    applied,
    frame_failed,  // `status` says why, exactly as a one-off decode reports it
    wrong_mode,    // the frame's mode (`frame_mode`) is not the screen's
    no_memory,     // the list of rectangles could not be made; nothing was drawn
  };
  Kind kind = Kind::applied;
  Status status;
  uint32_t frame_mode = 0;

  bool ok() const noexcept { return kind == Kind::applied; }
};

// How a screen draws its frames: automatic (two threads where that pays),
// one thread always, or two threads always, on every frame however small
// (for tests and measurements). On two threads the calling thread reads the
// stream and keeps the journal's book (which macroblocks are saved, and
// where), and the screen's worker copies each macroblock's old pixels into the
// journal just before it draws there (pipeline.hpp).
//
// Automatically, a frame is drawn on two threads when it is large (an
// estimate from its size and the picture's) and the process may run on two
// CPUs or more, unless a recent frame found two threads not paying: its worker
// did not keep up (another process on the other core, or both threads on
// one), or it took longer for its size than frames on one thread lately. Then
// the next large frames are drawn on one thread, a number that doubles while
// it goes on. The first large frame is drawn on one thread, to compare.
enum class Threads : uint8_t { automatic, one, two };

// A Screen is not thread-safe: callers serialise apply() and reads of the
// picture.

class Screen final : private DrawObserver {
 public:
  // mode: kMode422, kMode444, or 0 for a screen that takes frames of either;
  // format: how the picture lays out its pixels; scale: 1, 2, 4 or 8
  // (valid_scale()). With a scale of 2, 4 or 8 the picture kept is a
  // thumbnail (thumbnail.hpp), ceil(width / scale) x ceil(height / scale)
  // pixels; width and height stay the frames' size, and the journal and the
  // rectangles are in thumbnail pixels.
  Screen(uint64_t width, uint64_t height, uint32_t mode, PixelFormat format = PixelFormat::rgb,
         uint32_t scale = 1) noexcept
      : width_(width), height_(height), mode_(mode), format_(format), scale_(scale) {}
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  ~Screen();

  // Takes the memory: the picture, black, and a journal of the same size, whose
  // pages are only touched as frames use them. False when the picture's size
  // does not fit in max_bytes (or the frames' full size not in 2^63 - 1) or
  // memory runs out; the screen is then unusable. Nothing else allocates but
  // apply()'s list of rectangles and the first frame drawn on two threads,
  // which starts the screen's worker (with its ring) for the screen's life.
  bool allocate(uint64_t max_bytes) noexcept;

  // Decodes one frame onto the picture. On success the areas the frame drew
  // are appended to `changed`, clipped to the picture, top to bottom and left
  // to right, with neighbouring macroblocks of a row joined into one rectangle,
  // and frames_applied() goes up by one. On any failure the picture is as it
  // was before the call.
  //
  // The screen is its frames' draw observer: the first time a macroblock is
  // touched in a frame its pixels are copied to a journal, from which a
  // failed frame is undone, and whose entries are a successful frame's
  // rectangles. Either way the work is proportional to what the frame
  // touched: the journal, the touched-macroblock marks and the rectangles are
  // reset by walking the journal, never the whole picture. On two threads
  // apply() returns, or undoes a failed frame, only once the worker has drawn
  // everything queued.
  ApplyResult apply(std::span<const uint8_t> codec_data, std::vector<Rect>& changed) noexcept;

  // Puts back a picture and a frame count saved from a screen of the same size
  // (a checkpoint, or a copy). False, with nothing changed, when `pixels` is not
  // exactly the picture's size or the memory was not taken. Between frames only.
  // An i420 screen takes its state() (exact) or its pixels() (the full-resolution
  // chroma then repeats each 4:2:0 sample).
  bool restore(std::span<const uint8_t> pixels, uint64_t frames_applied) noexcept;

  // The picture in the screen's format.
  std::span<const uint8_t> pixels() const noexcept { return {pixels_.get(), shown_bytes_}; }
  // What restore() needs to carry on exactly: the picture, and for i420 the
  // i444 picture it is derived from after it.
  std::span<const uint8_t> state() const noexcept { return {pixels_.get(), shown_bytes_ + derived_from_bytes()}; }
  uint64_t width() const noexcept { return width_; }
  uint64_t height() const noexcept { return height_; }
  uint32_t mode() const noexcept { return mode_; }
  PixelFormat format() const noexcept { return format_; }
  uint32_t scale() const noexcept { return scale_; }
  // The size of the picture kept: the frames' size divided by the scale, rounded up.
  uint64_t picture_width() const noexcept { return ceil_div(width_, scale_); }
  uint64_t picture_height() const noexcept { return ceil_div(height_, scale_); }
  Threads threads() const noexcept { return threads_; }
  void set_threads(Threads threads) noexcept { threads_ = threads; }
  // Safe to read from any thread while another applies a frame.
  uint64_t frames_applied() const noexcept { return frames_applied_.load(std::memory_order_relaxed); }

 private:
  friend struct testing::PipelineHook;  // reaches pipeline_

  struct Saved {
    PixelArea area;
    size_t offset;  // where its rows start in the journal
  };
  struct Free {
    void operator()(void* p) const noexcept { std::free(p); }
  };

  void before_draw(const PixelArea& area) noexcept override;
  // Copies an area of the picture into the journal.
  static void save_area(const AreaCopy& copy) noexcept;
  // The mark of the macroblock whose (clipped) area this is: below the
  // frame's cell count, for which allocate() took a Saved each.
  size_t cell_key(const PixelArea& area) const noexcept {
    return in_memory((area.y * scale_ / kCellSize) * cells_x_ + area.x * scale_ / kCellSize);
  }
  static constexpr uint64_t kCellSize = macroblock_size(false);
  // Whether this is an i420 thumbnail, which draws an i444 picture and derives its own
  // 4:2:0 picture from it after each frame, over the rectangles drawn: where a macroblock
  // covers fewer than 2x2 thumbnail pixels (the 8x8 mode at 1/8) a chroma sample mixes
  // macroblocks, so the full-resolution chroma is kept for the frames that draw its
  // neighbours. At full size a macroblock's chroma is its own, and frames draw i420 directly.
  bool derives() const noexcept { return format_ == PixelFormat::i420 && scale_ != 1; }
  // The format frames are drawn in.
  PixelFormat drawn_format() const noexcept { return derives() ? PixelFormat::i444 : format_; }
  // The picture frames are drawn on and the journal keeps, bytes_ long.
  uint8_t* drawn() const noexcept { return pixels_.get() + (derives() ? shown_bytes_ : 0); }
  size_t derived_from_bytes() const noexcept { return derives() ? bytes_ : 0; }
  // The planes of the drawn picture, and where an area's part of plane p lies
  // in it: the offset of its first byte, its row bytes and rows, and the plane's stride.
  unsigned planes() const noexcept { return is_planar(format_) ? 3 : 1; }
  // Used once allocate() has found the picture to fit in memory: at most its bytes.
  size_t plane_bytes() const noexcept { return in_memory(picture_width() * picture_height()); }
  // The same, and the 4:2:0 planes drawn at full size, known after allocate().
  uint64_t picture_width_ = 0;
  size_t plane_bytes_ = 0;
  bool chroma_420_ = false;
  uint64_t chroma_width_ = 0;
  size_t chroma_at_[2] = {0, 0};
  struct PlanePart {
    size_t offset, row_bytes, rows, stride;
  };
  // A full-size planar journal streams its parts, each on a 16-byte
  // boundary; a planar thumbnail's parts are too small to.
  static constexpr size_t kJournalAlign = 16;
  bool streams_planes() const noexcept { return is_planar(format_) && scale_ == 1; }
  size_t planar_entry_bytes(const PlanePart& part) const noexcept {
    const size_t bytes = part.row_bytes * part.rows;
    return streams_planes() ? (bytes + kJournalAlign - 1) / kJournalAlign * kJournalAlign : bytes;
  }
  static void save_plane_part(const AreaCopy& copy) noexcept;
  bool stream_frame_ = false;  // this frame's planar journal streams (16x16 macroblocks)
  // Journals a whole macroblock of this frame (whole_size_ pixels a side in
  // the picture drawn, at full size or in a thumbnail), whose sizes and
  // format the function is compiled for: chosen once a frame. Clipped
  // macroblocks take the general copies. The entry's bytes are the same.
  using SaveWhole = void (Screen::*)(const PixelArea& area) noexcept;
  SaveWhole save_whole_ = nullptr;
  uint64_t whole_size_ = 0;  // of this frame's macroblocks, in the picture drawn
  SaveWhole whole_saver(bool subsampled) const noexcept;
  template <uint64_t N>
  SaveWhole whole_saver_of() const noexcept;
  template <uint64_t N, uint64_t PixelBytes>
  void save_whole_packed(const PixelArea& area) noexcept;
  template <uint64_t N>
  void save_whole_planar(const PixelArea& area) noexcept;
  // The area lies in the picture, whose rows and offsets are in memory.
  PlanePart plane_part(unsigned p, const PixelArea& area) const noexcept {
    if (p == 0 || !chroma_420_) {
      const size_t pixel = bytes_per_pixel(format_);
      return {p * plane_bytes_ + in_memory(area_offset(area, picture_width_, pixel)), area.cols * pixel, area.rows,
              in_memory(picture_width_ * pixel)};
    }
    // A full-size macroblock's corner is a multiple of 8: its chroma is its
    // own, half its size rounded up.
    return {chroma_at_[p - 1] + in_memory((area.y / 2) * chroma_width_ + area.x / 2), ceil_div(area.cols, 2),
            ceil_div(area.rows, 2), in_memory(chroma_width_)};
  }
  // i420: the 4:2:0 picture over `rects` (picture pixels) from the i444 one.
  void derive_420(std::span<const Rect> rects) noexcept;
  // Puts every saved area back (undo = true) or keeps the new pixels; either
  // way clears the marks and empties the journal.
  void finish(bool undo) noexcept;
  // The pipeline to draw this frame with, or nullptr for one thread; timed:
  // whether the automatic setting learns from the frame's time.
  DrawPipeline* pipeline_for(const FrameDecoder& decoder, size_t codec_data_size, bool& timed) noexcept;
  // Takes in the time a large frame took, on one thread or two.
  void learn(bool threaded, bool lagged, uint64_t nanoseconds, size_t codec_data_size) noexcept;

  uint64_t width_, height_;
  uint32_t mode_;
  PixelFormat format_;
  uint32_t scale_;
  // Sizes and counts of what allocate() took, which fits in memory.
  size_t bytes_ = 0;        // the drawn picture's
  size_t shown_bytes_ = 0;  // the picture's in the screen's format (bytes_ but for i420)
  uint64_t cells_x_ = 0;    // 8x8 cells of the frame per row: the key of a macroblock is its top-left cell
  std::unique_ptr<uint8_t[], Free> pixels_;
  std::unique_ptr<uint8_t[], Free> journal_;
  std::unique_ptr<Saved[], Free> saved_;       // one per macroblock touched in this frame
  std::unique_ptr<uint64_t[], Free> touched_;  // bit per cell: saved in this frame
  size_t touched_words_ = 0;
  size_t saved_count_ = 0;
  size_t journal_used_ = 0;
  std::atomic<uint64_t> frames_applied_{0};
  Threads threads_ = Threads::automatic;
  std::unique_ptr<DrawPipeline> pipeline_;  // started by the first frame drawn on two threads
  // The automatic setting. The first large frame is drawn on one thread, for
  // a time to compare the next, on two, with.
  uint32_t serial_frames_ = 1;   // large frames to draw on one thread before trying two again
  uint32_t serial_backoff_ = 0;  // what serial_frames_ becomes the next time two threads do not pay
  double serial_rate_ = 0;       // ns per byte of frame data on one thread, lately (0: not yet known)
};

}  // namespace ast2100

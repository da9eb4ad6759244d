// Drawing a frame's macroblocks on a second thread. The record loop on the
// calling thread reads each macroblock into the next slot of a ring; one worker
// thread draws the slots in the same order, so the picture is the one a single
// thread draws, byte for byte. A Screen (screen.hpp) owns a pipeline and hands
// it the frames it draws on two threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>

#include <new>

#include "frame.hpp"
#include "huffman.hpp"

namespace ast2100 {

namespace testing {
// What only tests may set, defined by the tests that use it
// (tests/cpp/pipeline_tests.cpp): not part of the core's interface.
struct PipelineHook;
}  // namespace testing

// The CPUs this process may run on: its affinity mask where the system has
// one, else the hardware's count (at least 1).
unsigned available_cpus() noexcept;

// A DCT macroblock's n coefficients (a multiple of 16, 64-byte aligned) as
// 16-bit values: false, with `out` undefined, when one does not fit. And back.
// simd: with AVX2 where the CPU has it; the results are the same.
bool narrow_coefficients(const int32_t* in, size_t n, int16_t* out, bool simd) noexcept;
void widen_coefficients(const int16_t* in, size_t n, int32_t* out, bool simd) noexcept;

// A copy of part of the picture into a journal, made just before a macroblock
// is drawn over it: `rows` rows of row_bytes bytes from `from` (rows
// from_stride apart) to `to` (packed).
struct AreaCopy {
  uint8_t* to = nullptr;
  const uint8_t* from = nullptr;
  size_t from_stride = 0;
  size_t row_bytes = 0;
  size_t rows = 0;
};
// Streaming stores (of such a copy) are weakly ordered: this orders them before
// the stores that follow, such as a release of a count.
void store_fence() noexcept;

// The hand-off: the filler (the thread that runs the record loop) and the
// worker share two counters, of slots filled and of slots drawn, each written
// by one side only. Slot i of the ring is slots_[i % kSlots]; the counters wrap
// at 2^32, so "filled - drawn" is the number of slots waiting, in wrapping
// arithmetic. A side that must wait for the other spins briefly, then sleeps
// with std::atomic wait (wait_drawn, wait_for_slots); a side notifies only
// when it sees the other's sleeping flag, so a running pair makes no system
// calls.
class DrawPipeline final : public MacroblockSink {
 public:
  // A power of two, so that i % kSlots is a mask and stays continuous where
  // the 32-bit counters wrap (2^32 is a multiple of it). Large enough that the
  // kWakeAt slots a sleeping worker leaves waiting, and the slots the filler
  // decodes while that worker wakes, fit with room to spare: otherwise the
  // filler would wait for room at every wake-up, and count it as a lag.
  static constexpr uint32_t kSlots = 1024;
  static_assert((kSlots & (kSlots - 1)) == 0);
  // Slots published at a time: one store of the shared count, and one cache
  // line crossing to the other core, per batch rather than per macroblock.
  static constexpr uint32_t kBatch = 16;
  static constexpr uint32_t kAhead = 2;  // slots ahead whose lines each side asks for
  // A worker that has drawn every published slot of a frame sleeps until this
  // many wait (or the frame ends, or the filler needs room): the drawing half
  // is the lighter one on photographs, and a worker that spun for each batch
  // would spend as much CPU time as the filler however little it draws, while
  // a few long sleeps a frame cost a system call or two.
  static constexpr uint32_t kWakeAt = 256;
  static_assert(kWakeAt % kBatch == 0 && kWakeAt < kSlots / 2);
  // A worker that does not keep up because it does not run (both threads on
  // one core, or the other core busy with another process) shows as the filler
  // sleeping on a full ring again and again: a running worker frees a slot
  // well within the filler's spin. After this many such sleeps in a frame
  // (the wait for the worker to wake at the start of a frame does not count)
  // the pipeline may give up on the worker: it waits for the ring to empty,
  // draws the rest of the frame itself, and says so (lagged()), so that its
  // owner can draw the next frames on one thread.
  static constexpr uint32_t kMaxSleeps = 2;

  // A pipeline with its worker running, or nullptr when the memory or the
  // thread cannot be had.
  static std::unique_ptr<DrawPipeline> start() noexcept;
  // Stops the worker (between frames) and joins it.
  ~DrawPipeline();
  DrawPipeline(const DrawPipeline&) = delete;
  DrawPipeline& operator=(const DrawPipeline&) = delete;
  // Over-aligned, and allocated by the C library on its alignment: the C++
  // runtime's aligned operator new is newer than the oldest runtime the
  // wheels support.
  static void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept;
  static void operator delete(void* p, std::align_val_t align) noexcept;

  // Before each frame; wakes the worker, which so is awake by the frame's
  // first batch. may_give_up: whether a worker that does not keep up may be
  // left for the rest of the frame; observer: told about each macroblock's
  // area (when not empty) just before it is drawn, on whichever thread draws
  // it, in stream order, in place of the frame decoder's observer (which must
  // be unset); its streaming stores are fenced by the time end_frame()
  // returns. The observer (a screen's journal, which copies each area before
  // it is drawn over) hears from the worker rather than the filler: the
  // copy's source lines are then in the cache of the core that draws there,
  // and no copies cross between the threads.
  void begin_frame(bool may_give_up, DrawObserver* observer = nullptr) noexcept;
  void dct(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair,
           StreamState& stream) noexcept override;
  void vq(const FrameTarget& target, MacroblockPosition at, StreamState& stream) noexcept override;
  // After the record loop, whatever its outcome: returns once every macroblock
  // of the frame is drawn, so the picture may be read or undone.
  void end_frame() noexcept;

  // About the frame just ended: whether the worker lagged (it was given up on,
  // or the filler slept kMaxSleeps times waiting for room), and how many times
  // the filler slept waiting for room once the worker had started.
  bool lagged() const noexcept { return producer_.serial || producer_.sleeps >= kMaxSleeps; }
  uint32_t sleeps() const noexcept { return producer_.sleeps; }
  // Whether this process is a fork of the one that started the worker, which
  // the child does not have: the pipeline is then unusable, and must not be
  // destroyed (its thread cannot be joined) but left behind.
  bool orphaned() const noexcept;

 private:
  friend struct testing::PipelineHook;

  // A slot is all that drawing its macroblock needs: everything that passes
  // from one macroblock to the next (the position, the DC predictors, the
  // colour cache) belongs to the stream half, on the filler.
  //
  // A DCT macroblock of the full-size picture travels as the list of its
  // coded coefficients (SparseBlocks: three or four cache lines for a
  // macroblock of a photograph; the stream side neither zeroes nor narrows,
  // and the drawing side, which has less work, dequantises);
  // one of a thumbnail, whose stream side reads only what the thumbnail needs,
  // as 16-bit coefficients when they all fit (nearly always), else as the
  // decoder's 32-bit ones; a VQ macroblock as it is. The header and the start of
  // the payload share the slot's first cache line.
  enum class Kind : uint8_t { sparse, dct16, dct32, vq, stop };
  union Payload {
    Payload() noexcept {}
    SparseBlocks sparse;
    VqMacroblock vq;
    int16_t narrow[6 * 64];
    int32_t wide[6 * 64];
  };
  struct alignas(64) Slot {
    Kind kind = Kind::sparse;
    uint64_t mb_col = 0;
    uint64_t mb_row = 0;
    Payload payload;
  };
  // The bytes of a slot, from its start, that hold a macroblock of this kind.
  static size_t used_bytes(const Slot& slot, bool subsampled) noexcept;

  DrawPipeline() noexcept = default;
  // The next slot to fill at the target's position, after waiting for room;
  // nullptr when the caller is to draw the macroblock itself.
  Slot* claim(const FrameTarget& target, MacroblockPosition at) noexcept;
  // Asks for the first `bytes` bytes of a slot, to be written or read. A
  // slot's lines go from the filler's core to the worker's and back every
  // time round the ring, among the slowest loads there are: each side asks
  // for a slot kAhead beyond the one it works on, so that the transfer
  // overlaps its work rather than stalling it.
  static void prefetch_slot(const Slot& slot, size_t bytes, bool write) noexcept;
  // Tells the observer about the macroblock at `at`.
  static void observe(DrawObserver* observer, const FrameTarget& target, MacroblockPosition at) noexcept;
  void commit() noexcept;
  // Publishes the slots filled; wakes a sleeping worker when kWakeAt slots
  // wait, or at once when `now`.
  void publish(bool now) noexcept;
  // Waits until the worker has drawn up to `count` slots (in wrapping
  // arithmetic: until filled - drawn <= filled - count); for_room: a wait for
  // a free slot, whose sleeps are counted. Spins first, as a running worker
  // frees a slot within a macroblock's drawing; then sleeps on drawn_.
  void wait_drawn(uint32_t count, bool for_room) noexcept;
  // The worker's wait for slots to draw: returns the count of slots published
  // once it is past `drawn`, having spun or slept as the hand-off prescribes;
  // woken: the last wake-up count the worker acted on (its own, kept across
  // calls).
  uint32_t wait_for_slots(uint32_t drawn, uint32_t& woken) noexcept;
  // The worker thread: waits for slots and draws them, until a stop slot.
  void work() noexcept;

  // The filler's private state, and the macroblock it decodes into.
  struct alignas(64) Producer {
    uint32_t filled = 0;      // slots filled (published or not)
    uint32_t drawn_seen = 0;  // the worker's count as last read
    uint32_t sleeps = 0;
    uint32_t frame_start = 0;  // `filled` when the frame began
    bool may_give_up = false;
    bool serial = false;  // drawing the rest of this frame itself
    bool have_target = false;
    // Set only through testing::PipelineHook: every frame goes on without the
    // worker after this many macroblocks, as if it lagged.
    uint32_t give_up_after = UINT32_MAX;
    size_t last_bytes = 64;  // of the slot filled last: the guess for the next one
    DrawObserver* observer = nullptr;
  } producer_;
  DctMacroblock decoded_;
  // The shared counters and flags, each on a cache line of its own (as is each
  // side's private state), so that a write by one side does not take a line
  // the other side is reading in a loop.
  alignas(64) std::atomic<uint32_t> filled_{0};  // published by the filler
  alignas(64) std::atomic<uint32_t> drawn_{0};   // published by the worker
  alignas(64) std::atomic<uint32_t> worker_sleeping_{0};
  // Changed by the filler to wake a sleeping worker: for a frame that begins,
  // or for slots published while it sleeps.
  std::atomic<uint32_t> wake_{0};
  alignas(64) std::atomic<uint32_t> producer_sleeping_{0};
  std::atomic<uint32_t> open_{0};  // a frame is in progress: the worker spins rather than sleeps
  // The frame's target and observer: written by the filler before the frame's
  // first slot is published, read by the worker.
  alignas(64) FrameTarget target_{};
  DrawObserver* observer_ = nullptr;
  Slot slots_[kSlots];
  // A POSIX thread rather than std::thread, whose start is newer than the
  // oldest C++ runtime the wheels support.
  pthread_t worker_{};
  bool started_ = false;
  long owner_pid_ = 0;
};

}  // namespace ast2100

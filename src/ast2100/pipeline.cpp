// The two-thread drawing pipeline: ring, hand-off and worker.
#include "pipeline.hpp"

#include "simd_avx2.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <cstdlib>
#include <thread>

#if QUORVEL_HAVE_AVX2
#include <immintrin.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__linux__)
#include <sched.h>
#endif

// The worker is a POSIX thread (std::thread's start, and the aligned operator
// new, are newer than the oldest C++ runtime the wheels support). Since glibc
// 2.34, pthread_create and pthread_join have a new symbol version, which a
// module linked against a newer glibc would then require; each keeps its old
// version too, the same function, so the link names that one and the module
// loads on every glibc the wheels support. Sanitizer builds skip this: their
// runtimes intercept the functions by their default names.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORVEL_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVEL_SANITIZED 1
#endif
#if defined(__GLIBC__) && !defined(QUORVEL_SANITIZED)
#if defined(__x86_64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.2.5");
#elif defined(__i386__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.1");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.0");
#elif defined(__aarch64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.17");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.17");
#elif defined(__s390x__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.2");
#endif
#endif

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace ast2100 {
namespace {

// How long a side spins before it sleeps. The filler waits for one slot, which
// a running worker frees within a macroblock's drawing (well under a
// microsecond); the worker waits for a batch. Longer than that means the other
// thread is not running, and sleeping hands its core over.
constexpr auto kFillerSpin = std::chrono::microseconds(30);
constexpr auto kWorkerSpin = std::chrono::microseconds(60);

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("isb" ::: "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Asks for the cache line at p, to be written (write) or read. Where a line
// crosses from one core to the other (a slot, each time round the ring) this
// takes some hundreds of nanoseconds on some machines: asked for a few
// macroblocks ahead, the wait overlaps other work rather than stalling the
// stores or loads of the macroblock at hand.
inline void prefetch_line(const void* p, bool write) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  // prefetchw is a no-op on the processors that lack it.
  if (write) {
    asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
    return;
  }
#endif
  if (write) {
    __builtin_prefetch(p, 1);
  } else {
    __builtin_prefetch(p, 0);
  }
}

// Spins until ready() or the budget is spent; the clock is read every 64 turns.
template <class Ready>
bool spin_until(Ready ready, std::chrono::microseconds budget) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return ready();
  }
}

// The n coefficients as 16-bit values; false (with `out` undefined) when one
// does not fit. v + 2^15 (wrapping) is below 2^16 exactly for v in int16_t's
// range, so or-ing the sums finds any that does not.
bool narrow_scalar(const int32_t* in, size_t n, int16_t* out) noexcept {
  uint32_t sums = 0;
  for (size_t i = 0; i < n; ++i) {
    sums |= static_cast<uint32_t>(in[i]) + 0x8000u;
    out[i] = static_cast<int16_t>(in[i]);
  }
  return (sums >> 16) == 0;
}

void widen_scalar(const int16_t* in, size_t n, int32_t* out) noexcept {
  for (size_t i = 0; i < n; ++i) out[i] = in[i];
}

#if QUORVEL_HAVE_AVX2
// The same, sixteen at a time. The decoder has just written the coefficients
// one by one: 128-bit loads keep store-to-load forwarding cheap where 256-bit
// ones would stall on it. packs saturates, so the range is checked apart.
QUORVEL_AVX2 inline __m256i load_halves(const int32_t* p) noexcept {
  const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(p + 4));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

QUORVEL_AVX2 bool narrow_avx2(const int32_t* in, size_t n, int16_t* out) noexcept {
  __m256i low = _mm256_setzero_si256();
  __m256i high = _mm256_setzero_si256();
  for (size_t i = 0; i < n; i += 16) {
    const __m256i a = load_halves(in + i), b = load_halves(in + i + 8);
    low = _mm256_min_epi32(low, _mm256_min_epi32(a, b));
    high = _mm256_max_epi32(high, _mm256_max_epi32(a, b));
    // packs works within 128-bit lanes: a0-3 b0-3 a4-7 b4-7, put in order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
  }
  const __m256i out_of_range = _mm256_or_si256(_mm256_cmpgt_epi32(high, _mm256_set1_epi32(INT16_MAX)),
                                               _mm256_cmpgt_epi32(_mm256_set1_epi32(INT16_MIN), low));
  return _mm256_testz_si256(out_of_range, out_of_range) != 0;
}

QUORVEL_AVX2 void widen_avx2(const int16_t* in, size_t n, int32_t* out) noexcept {
  for (size_t i = 0; i < n; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_cvtepi16_epi32(v));
  }
}

const bool g_avx2 = cpu_has_avx2();
#endif

bool narrow(const int32_t* in, size_t n, int16_t* out) noexcept { return narrow_coefficients(in, n, out, true); }

void widen(const int16_t* in, size_t n, int32_t* out) noexcept { widen_coefficients(in, n, out, true); }

// The coefficients a macroblock of the mode holds: 6 or 3 blocks of 64.
constexpr size_t coefficients_of(bool subsampled) noexcept { return 64 * macroblock_geometry(subsampled).blocks; }

long current_pid() noexcept {
#if defined(__unix__) || defined(__APPLE__)
  return static_cast<long>(::getpid());
#else
  return 0;
#endif
}

}  // namespace

bool narrow_coefficients(const int32_t* in, size_t n, int16_t* out, bool simd) noexcept {
#if QUORVEL_HAVE_AVX2
  if (simd && g_avx2) return narrow_avx2(in, n, out);
#endif
  static_cast<void>(simd);
  return narrow_scalar(in, n, out);
}

void widen_coefficients(const int16_t* in, size_t n, int32_t* out, bool simd) noexcept {
#if QUORVEL_HAVE_AVX2
  if (simd && g_avx2) return widen_avx2(in, n, out);
#endif
  static_cast<void>(simd);
  widen_scalar(in, n, out);
}

void store_fence() noexcept {
#if defined(__SSE2__)
  // Streaming stores are weakly ordered: without this a release of the count
  // does not make them visible with it.
  _mm_sfence();
#endif
}

unsigned available_cpus() noexcept {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

void* DrawPipeline::operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  void* p = nullptr;
  return posix_memalign(&p, static_cast<std::size_t>(align), size) == 0 ? p : nullptr;
}

void DrawPipeline::operator delete(void* p, std::align_val_t) noexcept { std::free(p); }

std::unique_ptr<DrawPipeline> DrawPipeline::start() noexcept {
  std::unique_ptr<DrawPipeline> pipeline(new (std::nothrow) DrawPipeline);
  if (!pipeline) return nullptr;
  auto run = [](void* p) -> void* {
    static_cast<DrawPipeline*>(p)->work();
    return nullptr;
  };
  if (pthread_create(&pipeline->worker_, nullptr, run, pipeline.get()) != 0) return nullptr;
  pipeline->started_ = true;
  pipeline->owner_pid_ = current_pid();
  return pipeline;
}

DrawPipeline::~DrawPipeline() {
  if (!started_) return;
  // A stop slot, drawn in turn after everything before it: the ring is empty
  // between frames, so it has room.
  slots_[producer_.filled % kSlots].kind = Kind::stop;
  ++producer_.filled;
  publish(true);
  pthread_join(worker_, nullptr);
}

bool DrawPipeline::orphaned() const noexcept { return owner_pid_ != current_pid(); }

void DrawPipeline::begin_frame(bool may_give_up, DrawObserver* observer, uint32_t give_up_after) noexcept {
  producer_.may_give_up = may_give_up;
  producer_.give_up_after = give_up_after;
  producer_.observer = observer;
  producer_.serial = false;
  producer_.have_target = false;
  producer_.sleeps = 0;
  producer_.frame_start = producer_.filled;
  open_.store(1, std::memory_order_relaxed);
  // Waking a sleeping thread takes tens of microseconds: started now, it
  // overlaps the decoding of the first batch rather than following it.
  wake_.fetch_add(1, std::memory_order_seq_cst);
  if (worker_sleeping_.load(std::memory_order_seq_cst) != 0) wake_.notify_one();
}

void DrawPipeline::publish(bool now) noexcept {
  filled_.store(producer_.filled, std::memory_order_seq_cst);
  // Ordered after the store: either the worker's check of the count sees it,
  // or this load sees the worker's flag. A sleeping worker has published every
  // slot it drew, and waits on wake_, which changes after it read it.
  if (worker_sleeping_.load(std::memory_order_seq_cst) != 0 &&
      (now || producer_.filled - drawn_.load(std::memory_order_seq_cst) >= kWakeAt)) {
    wake_.fetch_add(1, std::memory_order_seq_cst);
    wake_.notify_one();
  }
}

void DrawPipeline::wait_drawn(uint32_t count, bool for_room) noexcept {
  const uint32_t filled = producer_.filled;
  auto done = [&] {
    producer_.drawn_seen = drawn_.load(std::memory_order_acquire);
    return filled - producer_.drawn_seen <= filled - count;
  };
  if (done()) return;
  // The worker may be waiting for slots not yet published, or for more.
  publish(true);
  if (spin_until(done, kFillerSpin)) return;
  // Waking the worker at the start of a frame takes a while, and so may the
  // end of a frame; a sleep for room once the worker runs does not.
  if (for_room && producer_.drawn_seen != producer_.frame_start) ++producer_.sleeps;
  producer_sleeping_.store(1, std::memory_order_seq_cst);
  // The worker may have gone to sleep after publish() above looked for it, with
  // fewer than kWakeAt slots waiting. Ordered after the store: either this load
  // sees it asleep and wakes it, or its check of producer_sleeping_ sees this
  // thread waiting and it draws what waits (work() below).
  if (worker_sleeping_.load(std::memory_order_seq_cst) != 0) {
    wake_.fetch_add(1, std::memory_order_seq_cst);
    wake_.notify_one();
  }
  for (;;) {
    const uint32_t seen = drawn_.load(std::memory_order_seq_cst);
    producer_.drawn_seen = seen;
    if (filled - seen <= filled - count) break;
    drawn_.wait(seen, std::memory_order_acquire);
  }
  producer_sleeping_.store(0, std::memory_order_relaxed);
}

size_t DrawPipeline::used_bytes(const Slot& slot, bool subsampled) noexcept {
  const size_t payload = offsetof(Slot, payload);
  switch (slot.kind) {
    case Kind::sparse:
      return payload + offsetof(SparseBlocks, entries) + slot.payload.sparse.count * sizeof(uint32_t);
    case Kind::dct16:
      return payload + coefficients_of(subsampled) * sizeof(int16_t);
    case Kind::dct32:
      return payload + coefficients_of(subsampled) * sizeof(int32_t);
    case Kind::vq:
      return payload + sizeof(VqMacroblock);
    case Kind::stop:
      break;
  }
  return payload;
}

void DrawPipeline::prefetch_slot(const Slot& slot, size_t bytes, bool write) noexcept {
  const char* const first = reinterpret_cast<const char*>(&slot);
  for (const char* p = first; p < first + bytes; p += 64) prefetch_line(p, write);
}

void DrawPipeline::observe(DrawObserver* observer, const FrameTarget& target, MacroblockPosition at) noexcept {
  if (observer == nullptr) return;
  const PixelArea area = target.area(at);
  if (!area.empty()) observer->before_draw(area);
}

DrawPipeline::Slot* DrawPipeline::claim(const FrameTarget& target, MacroblockPosition at) noexcept {
  if (producer_.serial) {
    observe(producer_.observer, target, at);
    return nullptr;
  }
  if (producer_.filled - producer_.frame_start == producer_.give_up_after) {
    end_frame();
    producer_.serial = true;
    observe(producer_.observer, target, at);
    return nullptr;
  }
  if (producer_.filled - producer_.drawn_seen == kSlots) {
    wait_drawn(producer_.filled - kSlots + 1, true);
    if (producer_.may_give_up && producer_.sleeps >= kMaxSleeps) {
      // The worker is not keeping up: let it finish what it has, and draw
      // the rest of the frame here.
      end_frame();
      producer_.serial = true;
      observe(producer_.observer, target, at);
      return nullptr;
    }
  }
  if (!producer_.have_target) {
    // The worker reads the target only for slots published after this write,
    // and has drawn every slot of the frames before.
    target_ = target;
    observer_ = producer_.observer;
    producer_.have_target = true;
  }
  // The slot kAhead on, if free, for writing: the worker read it last.
  const uint32_t ahead = producer_.filled + kAhead;
  if (ahead - producer_.drawn_seen < kSlots) prefetch_slot(slots_[ahead % kSlots], producer_.last_bytes, true);
  Slot& slot = slots_[producer_.filled % kSlots];
  slot.mb_col = at.col;
  slot.mb_row = at.row;
  return &slot;
}

void DrawPipeline::commit() noexcept {
  if (++producer_.filled % kBatch == 0) publish(false);
}

void DrawPipeline::dct(const FrameTarget& target, MacroblockPosition at, uint32_t quant_pair,
                       StreamState& stream) noexcept {
  Slot* slot = claim(target, at);
  if (slot == nullptr) return target.drawing->decompress_dct(target, at, quant_pair, stream);
  if (target.drawing->full_size) {
    slot->kind = Kind::sparse;
    decode_dct_lists(target, quant_pair, stream, slot->payload.sparse);
  } else {
    // Decoded where only this thread writes, then handed over in as few
    // cache lines as the values allow.
    target.drawing->decode_dct(target, at, quant_pair, stream, decoded_);
    const size_t n = coefficients_of(target.subsampled);
    if (narrow(decoded_.coefficients, n, slot->payload.narrow)) {
      slot->kind = Kind::dct16;
    } else {
      slot->kind = Kind::dct32;
      std::memcpy(slot->payload.wide, decoded_.coefficients, n * sizeof(int32_t));
    }
  }
  producer_.last_bytes = used_bytes(*slot, target.subsampled);
  commit();
}

void DrawPipeline::vq(const FrameTarget& target, MacroblockPosition at, StreamState& stream) noexcept {
  Slot* slot = claim(target, at);
  if (slot == nullptr) {
    VqMacroblock macroblock;
    decode_vq(stream, macroblock);
    return target.drawing->draw_vq(target, at, macroblock);
  }
  slot->kind = Kind::vq;
  decode_vq(stream, slot->payload.vq);
  commit();
}

void DrawPipeline::end_frame() noexcept {
  wait_drawn(producer_.filled, false);
  open_.store(0, std::memory_order_relaxed);
}

void DrawPipeline::work() noexcept {
  uint32_t drawn = 0;
  uint32_t filled = 0;
  FrameTarget target{};
  DrawObserver* observer = nullptr;
  uint32_t woken = 0;       // the last value of wake_ acted on
  DctMacroblock widened;    // the worker's own, for thumbnails
  DctMacroblock scratch{};  // all zero between the sparse macroblocks
  size_t last_bytes = 64;   // of the slot drawn last: the guess for those ahead
  auto more = [&] {
    filled = filled_.load(std::memory_order_acquire);
    return filled != drawn;
  };
  // Woken as a frame begins, the worker spins for its first batch, which is
  // normally a few microseconds away, while waking a sleeping thread costs
  // tens of microseconds. Within a frame, once it has drawn every slot
  // published, it sleeps until kWakeAt slots wait; between frames until the
  // next begins.
  bool starting = false;
  auto more_or_closed = [&] { return more() || open_.load(std::memory_order_relaxed) == 0; };
  for (;;) {
    const bool spin = starting;
    starting = false;
    if (!more() && !(spin && spin_until(more_or_closed, kWorkerSpin) && more())) {
      worker_sleeping_.store(1, std::memory_order_seq_cst);
      for (;;) {
        // Read before the count: the filler changes wake_ after it publishes
        // slots and sees this thread sleeping, or when a frame begins.
        const uint32_t token = wake_.load(std::memory_order_seq_cst);
        filled = filled_.load(std::memory_order_seq_cst);
        const bool open = open_.load(std::memory_order_relaxed) != 0;
        if (token != woken) {
          woken = token;
          starting = filled == drawn;
          break;
        }
        // While this thread waits for kWakeAt slots, the filler may be waiting
        // for it to draw the few before them (the end of a frame, or room).
        const bool filler_waits = producer_sleeping_.load(std::memory_order_seq_cst) != 0;
        if (filled - drawn >= (open && !filler_waits ? kWakeAt : 1u)) break;
        wake_.wait(token, std::memory_order_acquire);
      }
      worker_sleeping_.store(0, std::memory_order_relaxed);
    }
    // The target is the same for every slot of a frame, and written before the
    // frame's first slot is published.
    if (drawn != filled) {
      target = target_;
      observer = observer_;
    }
    while (drawn != filled) {
      // The next slots, published already, on their way from the other core.
      if (filled - drawn > kAhead) prefetch_slot(slots_[(drawn + kAhead) % kSlots], last_bytes, false);
      const Slot& slot = slots_[drawn % kSlots];
      const MacroblockPosition at = {slot.mb_col, slot.mb_row};
      if (observer != nullptr) {
        const PixelArea area = target.area(at);
        if (!area.empty()) observer->before_draw(area);
      }
      switch (slot.kind) {
        case Kind::sparse:
          draw_dct_lists(target, at, slot.payload.sparse, scratch);
          break;
        case Kind::dct16:
          widen(slot.payload.narrow, coefficients_of(target.subsampled), widened.coefficients);
          target.drawing->draw_dct(target, at, widened);
          break;
        case Kind::dct32:
          std::memcpy(widened.coefficients, slot.payload.wide, coefficients_of(target.subsampled) * sizeof(int32_t));
          target.drawing->draw_dct(target, at, widened);
          break;
        case Kind::vq:
          target.drawing->draw_vq(target, at, slot.payload.vq);
          break;
        case Kind::stop:
          return;
      }
      last_bytes = used_bytes(slot, target.subsampled);
      ++drawn;
      if (drawn % kBatch == 0 || drawn == filled) {
        if (observer != nullptr) store_fence();
        drawn_.store(drawn, std::memory_order_seq_cst);
        if (producer_sleeping_.load(std::memory_order_seq_cst) != 0) drawn_.notify_one();
      }
    }
  }
}

}  // namespace ast2100

// Kernel selection.
#include "kernels.hpp"

#include "idct.hpp"
#include "simd_avx2.hpp"

namespace ast2100 {

const Kernels& scalar_kernels() noexcept {
  // The tables are constant-initialised: ready before any call.
  static const Kernels kScalar = {idct_transform, idct_blocks, kScalarYuvToRgb, kScalarQuarterToRgb, "scalar"};
  return kScalar;
}

bool cpu_has_avx2() noexcept {
#if QUORVEL_HAVE_AVX2
  // The answer cannot change while the process runs; computing it once is safe
  // from any thread (static initialisation is thread-safe).
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
#else
  return false;
#endif
}

const Kernels* avx2_kernels() noexcept {
#if QUORVEL_HAVE_AVX2
  static const Kernels kAvx2 = [] {
    Kernels k = {idct_transform_avx2, idct_blocks_avx2, kAvx2YuvToRgb, kAvx2QuarterToRgb, "avx2"};
    // The planar formats' samples are copied, not converted: the scalar copies.
    for (size_t f = 0; f < kPixelFormats; ++f) {
      if (k.yuv_to_rgb[f] == nullptr) k.yuv_to_rgb[f] = kScalarYuvToRgb[f];
    }
    return k;
  }();
  return cpu_has_avx2() ? &kAvx2 : nullptr;
#else
  return nullptr;
#endif
}

const Kernels& best_kernels() noexcept {
  const Kernels* avx2 = avx2_kernels();
  return avx2 != nullptr ? *avx2 : scalar_kernels();
}

}  // namespace ast2100

// Kernel selection.
#include "kernels.hpp"

#include "idct.hpp"
#include "simd_avx2.hpp"

namespace ast2100 {

const Kernels& scalar_kernels() noexcept {
  static constexpr Kernels kScalar = {idct_transform, idct_blocks, yuv_to_rgb, "scalar"};
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
  static constexpr Kernels kAvx2 = {idct_transform_avx2, idct_blocks_avx2, yuv_to_rgb_avx2, "avx2"};
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

// The per-block and per-macroblock kernels the decoder runs, chosen once per
// frame: the scalar reference, or its AVX2 twin on CPUs that have AVX2. Both
// give identical output; tests hold them to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "color.hpp"
#include "picture.hpp"
#include "quant.hpp"

namespace ast2100 {

struct Kernels {
  void (*idct)(const int32_t* coefficients, size_t block_offset, const QuantTable& quant_table, uint8_t* output,
               size_t output_offset) noexcept;
  // The blocks of one macroblock, dequantised already (see idct_blocks).
  void (*idct_blocks)(const int32_t* dequantised, size_t count, uint8_t* output) noexcept;
  // The colour conversion and store of a macroblock, one function per pixel
  // format: a frame's drawing takes its format's once (yuv_to_rgb_for).
  FormatTable<YuvToRgb> yuv_to_rgb;
  // The conversion of a thumbnail macroblock of 4x4 pixels (null for the
  // planar formats).
  FormatTable<QuarterToRgb> quarter_to_rgb;
  const char* name;

  YuvToRgb yuv_to_rgb_for(PixelFormat format) const noexcept { return yuv_to_rgb[static_cast<size_t>(format)]; }
};

// Whether this CPU runs AVX2 and the build has the AVX2 twins: asked once a
// process, here alone.
bool cpu_has_avx2() noexcept;

const Kernels& scalar_kernels() noexcept;
// The AVX2 kernels, or null where the CPU (or the build target) lacks AVX2.
const Kernels* avx2_kernels() noexcept;
// The fastest kernels this CPU runs.
const Kernels& best_kernels() noexcept;

void idct_transform_avx2(const int32_t* coefficients, size_t block_offset, const QuantTable& quant_table,
                         uint8_t* output, size_t output_offset) noexcept;
void idct_blocks_avx2(const int32_t* dequantised, size_t count, uint8_t* output) noexcept;
// The AVX2 transform's two paths, for tests: whether a dequantised block takes
// the 16-bit transform, and that transform alone (exact only where it is taken).
bool idct_fits_16bit_avx2(const int32_t* dequantised) noexcept;
void idct_16bit_avx2(const int32_t* dequantised, uint8_t* out) noexcept;
// The AVX2 conversions of the colour formats; null for the planar ones.
extern const FormatTable<YuvToRgb> kAvx2YuvToRgb;
extern const FormatTable<QuarterToRgb> kAvx2QuarterToRgb;

}  // namespace ast2100

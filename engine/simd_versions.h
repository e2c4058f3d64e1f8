// The hot loops (frame products, rate halving) come in one version per
// instruction set, each with vectors as wide as its registers: 4 floats with
// SSE, 8 with AVX2, 16 with AVX-512. A vector wider than the registers would
// be split by the compiler through the stack, element by element. Every lane
// takes the same operations in the same order in every version, so all of
// them give the same bits; the one for this processor is picked on first use.
#pragma once

#include <initializer_list>

namespace morvat::vexolin {

template <int Width>
struct LanesOf {
  typedef float type __attribute__((vector_size(Width * sizeof(float))));
};

#if defined(__x86_64__)
#define VEXOLIN_SIMD_VERSIONS 1
#define VEXOLIN_TARGET_AVX2 __attribute__((target("avx2")))
#define VEXOLIN_TARGET_AVX512 __attribute__((target("avx512f")))
#else
#define VEXOLIN_SIMD_VERSIONS 0
#define VEXOLIN_TARGET_AVX2
#define VEXOLIN_TARGET_AVX512
#endif

// The version with vectors of `width` floats (4, 8 or 16), or null where
// this processor cannot run it.
template <typename Fn>
Fn simd_version(int width, Fn sse, Fn avx2, Fn avx512) {
  if (width == 4) return sse;
#if VEXOLIN_SIMD_VERSIONS
  __builtin_cpu_init();
  if (width == 8 && __builtin_cpu_supports("avx2")) return avx2;
  if (width == 16 && __builtin_cpu_supports("avx512f")) return avx512;
#endif
  return nullptr;
}

// The widest version this processor runs.
template <typename Fn>
Fn widest_simd_version(Fn sse, Fn avx2, Fn avx512) {
  for (int width : {16, 8}) {
    if (Fn fn = simd_version(width, sse, avx2, avx512)) return fn;
  }
  return sse;
}

}  // namespace morvat::vexolin

#include "engine/fft_transform.h"

namespace morvat::vexolin {

#if defined(VEXOLIN_PFFFT_AVX2)
extern "C" void vexolin_avx2_pffft_transform(PFFFT_Setup* setup, const float* input, float* output, float* work,
                                             pffft_direction_t direction);
extern "C" void vexolin_avx2_pffft_zconvolve_accumulate(PFFFT_Setup* setup, const float* a, const float* b,
                                                        float* ab, float scaling);

namespace {
const bool processor_has_avx2 = __builtin_cpu_supports("avx2");

void transform(PFFFT_Setup* setup, const float* input, float* output, float* work, pffft_direction_t direction) {
  if (processor_has_avx2) {
    vexolin_avx2_pffft_transform(setup, input, output, work, direction);
  } else {
    pffft_transform(setup, input, output, work, direction);
  }
}
}  // namespace

bool fft_uses_avx2() { return processor_has_avx2; }

void fft_multiply_accumulate(PFFFT_Setup* setup, const float* a, const float* b, float* product) {
  if (processor_has_avx2) {
    vexolin_avx2_pffft_zconvolve_accumulate(setup, a, b, product, 1.0f);
  } else {
    pffft_zconvolve_accumulate(setup, a, b, product, 1.0f);
  }
}
#else
namespace {
void transform(PFFFT_Setup* setup, const float* input, float* output, float* work, pffft_direction_t direction) {
  pffft_transform(setup, input, output, work, direction);
}
}  // namespace

bool fft_uses_avx2() { return false; }

void fft_multiply_accumulate(PFFFT_Setup* setup, const float* a, const float* b, float* product) {
  pffft_zconvolve_accumulate(setup, a, b, product, 1.0f);
}
#endif

void fft_multiply(PFFFT_Setup* setup, bool real, int n_floats, const float* a, const float* b, float* product) {
  // The library's SIMD layout: groups of 4 real parts, then their 4
  // imaginary parts; a real transform's first group holds the bins 0 and
  // n / 2, both real, in its first lanes.
  constexpr int lanes = 4;
  if (pffft_simd_size() != lanes) {
    for (int i = 0; i < n_floats; ++i) product[i] = 0.0f;
    fft_multiply_accumulate(setup, a, b, product);
    return;
  }
  for (int i = 0; i < n_floats; i += 2 * lanes) {
    for (int l = 0; l < lanes; ++l) {
      const float ar = a[i + l], ai = a[i + lanes + l], br = b[i + l], bi = b[i + lanes + l];
      product[i + l] = ar * br - ai * bi;
      product[i + lanes + l] = ar * bi + ai * br;
    }
  }
  if (real) {
    product[0] = a[0] * b[0];
    product[lanes] = a[lanes] * b[lanes];
  }
}

void fft_forward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work) {
  transform(setup, input, output, work, PFFFT_FORWARD);
}

void fft_backward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work) {
  transform(setup, input, output, work, PFFFT_BACKWARD);
}

}  // namespace morvat::vexolin

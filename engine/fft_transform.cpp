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

void fft_forward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work) {
  transform(setup, input, output, work, PFFFT_FORWARD);
}

void fft_backward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work) {
  transform(setup, input, output, work, PFFFT_BACKWARD);
}

}  // namespace morvat::vexolin

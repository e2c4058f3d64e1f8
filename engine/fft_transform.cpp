#include "engine/fft_transform.h"

namespace morvat::vexolin {

#if defined(VEXOLIN_PFFFT_AVX2)
extern "C" void vexolin_avx2_pffft_transform(PFFFT_Setup* setup, const float* input, float* output, float* work,
                                             pffft_direction_t direction);

namespace {
const bool processor_has_avx2 = __builtin_cpu_supports("avx2");
}  // namespace

bool fft_uses_avx2() { return processor_has_avx2; }

void fft_forward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work) {
  if (processor_has_avx2) {
    vexolin_avx2_pffft_transform(setup, input, output, work, PFFFT_FORWARD);
  } else {
    pffft_transform(setup, input, output, work, PFFFT_FORWARD);
  }
}
#else
bool fft_uses_avx2() { return false; }

void fft_forward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work) {
  pffft_transform(setup, input, output, work, PFFFT_FORWARD);
}
#endif

}  // namespace morvat::vexolin

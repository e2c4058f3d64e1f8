// The forward real transform of the frames, in the FFT library's unordered
// layout, through the library's AVX2 build where the processor has AVX2 and
// the build has it (same results, a little faster), else its baseline build.
#pragma once

#include <pffft.h>

namespace morvat::vexolin {

void fft_forward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work);

// Whether fft_forward_unordered uses the AVX2 build.
bool fft_uses_avx2();

}  // namespace morvat::vexolin

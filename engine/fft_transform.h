// The FFT library's transforms in its unordered layout, through its AVX2
// build where the processor has AVX2 and the build has it (same results, a
// little faster), else its baseline build.
#pragma once

#include <pffft.h>

namespace morvat::vexolin {

// The forward real or complex transform of the frames, unordered.
void fft_forward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work);

// The inverse of an unordered spectrum, in time order, not scaled.
void fft_backward_unordered(PFFFT_Setup* setup, const float* input, float* output, float* work);

// product += a * b, bin by bin, of two unordered spectra.
void fft_multiply_accumulate(PFFFT_Setup* setup, const float* a, const float* b, float* product);

// product = a * b, bin by bin, of two unordered spectra of n floats of a
// real (`real`) or complex transform.
void fft_multiply(PFFFT_Setup* setup, bool real, int n_floats, const float* a, const float* b, float* product);

// Whether the transforms use the AVX2 build.
bool fft_uses_avx2();

}  // namespace morvat::vexolin

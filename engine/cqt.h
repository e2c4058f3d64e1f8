// Constant-Q transform of a mono float32 signal: the engine's public face.
// The functions touch no interpreter state and may run on any thread.
#pragma once

#include "engine/cancel.h"

#include <cstddef>
#include <vector>

namespace morvat::vexolin {

struct CqtParams {
  double sr;             // sample rate of the signal, Hz
  int hop;               // hop length in samples at rate sr
  double fmin;           // frequency of bin 0, Hz; not > 0 (or NaN) means C1
  int n_bins;            // number of bins
  int bins_per_octave;   // bins per octave
  double filter_scale;   // filter length scale (1.0 from the module)
  double sparsity;       // share of each kernel's L1 mass that may be dropped
};

// Complex coefficients in two planes, row-major by bin: element
// k * n_frames + t is bin k (ascending frequency), frame t.
struct CqtSpectrum {
  std::vector<float> re;
  std::vector<float> im;
  int n_bins = 0;
  int n_frames = 0;
};

// Magnitudes in the same layout; also the layout of a chroma matrix, with one
// row per pitch class.
struct CqtMagnitude {
  std::vector<float> mag;
  int n_bins = 0;
  int n_frames = 0;
};

// Both throw std::invalid_argument, naming the parameter, its value and the
// allowed range, before any work, for parameters without a sound result:
// n_bins < 2, bins_per_octave < 1, hop < 1, sr not finite and positive,
// len of 2^31 samples or more, a top bin at or above the Nyquist limit
// sr / 2, filters longer than the FFT supports or not finite, more than
// 2^31 - 1 frames. A call that would not fit in memory throws a
// std::bad_alloc before any work. When `cancel` is raised the call stops
// within a block of work and throws CallCancelled.
CqtSpectrum compute_cqt(const float* y, std::size_t len, const CqtParams& p, const CancelFlag& cancel = {});
CqtMagnitude compute_cqt_magnitude(const float* y, std::size_t len, const CqtParams& p,
                                   const CancelFlag& cancel = {});

}  // namespace morvat::vexolin

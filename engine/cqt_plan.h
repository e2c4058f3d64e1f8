// The plain data of one transform: its parameters, its plan, and where its
// values go. It lies below both the driver (engine/cqt.h) and the transform
// set that runs every plan (engine/transform_set.h), so the set needs
// nothing of the driver's.
#pragma once

#include "engine/octave_plan.h"

#include <cstddef>
#include <vector>

namespace morvat::vexolin {

struct CqtParams {
  double sr;                   // sample rate of the signal, Hz
  int hop;                     // hop length in samples at rate sr
  double fmin;                 // frequency of bin 0, Hz; not > 0 (or NaN) means C1
  int n_bins;                  // number of bins
  int bins_per_octave;         // bins per octave
  double filter_scale = 1.0;   // filter length scale
  double sparsity = 0.01;      // share of each kernel's L1 mass that may be dropped
  double gamma = 0.0;          // Hz added to every bin's bandwidth alpha * f (0: constant Q)
};

// A call on len samples, checked and planned before any work: the bin grid,
// every octave's rate, hop, length and FFT size, and the result's shape.
struct CqtPlan {
  CqtParams params{};
  std::size_t len = 0;
  int n_bins = 0;
  int n_frames = 0;
  std::vector<double> freqs;
  std::vector<double> alpha;
  std::vector<float> row_scale;  // 1 / sqrt(filter length at the reference rate), per bin
  OctavePlan octaves;
};

// Where run_cqt writes the plan's n_bins x n_frames values, row-major by bin
// (element (k, t) at k * n_frames + t): magnitudes into `mag`, or complex
// values with the real part of element i at re[i * stride] and the imaginary
// part at im[i * stride] (stride 1 for two planes; 2 with im = re + 1 for
// interleaved complex numbers). With `mag_row` set, the magnitude of bin k is
// added into row mag_row[k] of `mag` instead (skipped when negative), so
// bins can be folded as they are computed; `mag` must then start as zeros.
struct CqtTarget {
  float* re = nullptr;
  float* im = nullptr;
  std::size_t stride = 1;
  float* mag = nullptr;
  const int* mag_row = nullptr;
};

}  // namespace morvat::vexolin

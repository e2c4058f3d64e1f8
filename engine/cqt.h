// Constant-Q transform of a mono float32 signal: the engine's public face.
// The functions touch no interpreter state and may run on any thread.
#pragma once

#include "engine/cancel.h"
#include "engine/octave_plan.h"

#include <cstddef>
#include <stdexcept>
#include <string>
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

// The refusal of a top bin at or above the Nyquist limit, with both
// frequencies, so that a caller can add advice in its own terms.
class TopBinAtOrAboveNyquist : public std::invalid_argument {
 public:
  TopBinAtOrAboveNyquist(const std::string& message, double top_hz, double nyquist_hz)
      : std::invalid_argument(message), top_hz(top_hz), nyquist_hz(nyquist_hz) {}
  double top_hz;
  double nyquist_hz;
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

// Throws std::invalid_argument, naming the parameter, its value and the
// allowed range, for parameters without a sound result: n_bins < 2,
// bins_per_octave < 1, hop < 1, sr not finite and positive, len of 2^31
// samples or more, filter_scale not finite and positive, gamma not finite
// and >= 0, a top bin at or above the Nyquist limit sr / 2 once moved up by
// widening_reach (TopBinAtOrAboveNyquist), filters longer than the FFT
// supports, shorter than 2 samples (no kernel) or not finite, more than
// 2^31 - 1 frames.
// Throws a std::bad_alloc when the call would not fit in memory.
CqtPlan plan_cqt(std::size_t len, const CqtParams& p);

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

// Computes the planned transform of the plan's len samples at y into the
// target, on at most n_threads threads, the calling one included (the
// caller's whole budget; 1 or less keeps the call on the calling thread).
// The result is the same for every n_threads. When `cancel` is raised the
// call stops within a block of work and throws CallCancelled; the target is
// then partly written.
void run_cqt(const CqtPlan& plan, const float* y, const CqtTarget& target, int n_threads,
             const CancelFlag& cancel = {});

}  // namespace morvat::vexolin

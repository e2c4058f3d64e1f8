// Harmonic constant-Q transform: the transform from harmonics[i] * fmin for
// every harmonic, stacked as channels and computed together (one pyramid of
// halved signals, each frame transformed once per level and FFT size, the
// kernel products of each channel). Channel i equals the transform planned
// with fmin = harmonics[i] * fmin bit for bit, on the frames all channels
// have.
#pragma once

#include "engine/cqt.h"

#include <cstddef>
#include <string>
#include <vector>

namespace morvat::vexolin {

struct HcqtPlan {
  std::vector<double> harmonics;
  std::vector<CqtPlan> channels;  // channel i: fmin = harmonics[i] * the effective fmin
  int n_bins = 0;
  int n_frames = 0;  // the fewest frames any channel has
};

// The refusal of a harmonic whose top bin passes the Nyquist limit.
class HarmonicAboveNyquist : public TopBinAtOrAboveNyquist {
 public:
  HarmonicAboveNyquist(const std::string& message, double top_hz, double nyquist_hz, int index, double harmonic)
      : TopBinAtOrAboveNyquist(message, top_hz, nyquist_hz), index(index), harmonic(harmonic) {}
  int index;
  double harmonic;
};

// Throws std::invalid_argument for an empty list of harmonics, one that is
// not finite and > 0, and for anything plan_cqt refuses in a channel (the
// harmonic named); HarmonicAboveNyquist for the first harmonic whose top bin
// lies at or above the Nyquist limit.
HcqtPlan plan_hcqt(std::size_t len, const CqtParams& p, const std::vector<double>& harmonics);

// Computes the planned transform of len samples at y into the target, as
// run_cqt does, for harmonics.size() * n_bins rows: channel i's bin k is row
// i * n_bins + k. Same threads and cancellation as run_cqt.
void run_hcqt(const HcqtPlan& plan, const float* y, const CqtTarget& target, int n_threads,
              const CancelFlag& cancel = {});

}  // namespace morvat::vexolin

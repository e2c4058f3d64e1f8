// Constant-Q transform of a mono float32 signal: the engine's public face
// (its parameters, plan and target, engine/cqt_plan.h, come with it). The
// functions touch no interpreter state and may run on any thread.
#pragma once

#include "engine/cancel.h"
#include "engine/cqt_plan.h"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace morvat::vexolin {

// The refusal of a top bin at or above the Nyquist limit, with both
// frequencies, so that a caller can add advice in its own terms.
class TopBinAtOrAboveNyquist : public std::invalid_argument {
 public:
  TopBinAtOrAboveNyquist(const std::string& message, double top_hz, double nyquist_hz)
      : std::invalid_argument(message), top_hz(top_hz), nyquist_hz(nyquist_hz) {}
  double top_hz;
  double nyquist_hz;
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

// Computes the planned transform of the plan's len samples at y into the
// target, on at most n_threads threads, the calling one included (the
// caller's whole budget; 1 or less keeps the call on the calling thread).
// The result is the same for every n_threads. When `cancel` is raised the
// call stops within a block of work and throws CallCancelled; the target is
// then partly written.
void run_cqt(const CqtPlan& plan, const float* y, const CqtTarget& target, int n_threads,
             const CancelFlag& cancel = {});

}  // namespace morvat::vexolin

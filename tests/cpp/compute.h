// Test helper: plan_cqt and run_cqt into vectors, as the module runs them
// into its arrays.
#pragma once

#include "engine/cqt.h"

#include <cstddef>
#include <vector>

namespace morvat::vexolin {

// Complex values in two planes, or magnitudes, row-major by bin: element
// k * n_frames + t is bin k, frame t.
struct Computed {
  std::vector<float> re;
  std::vector<float> im;
  std::vector<float> mag;
  int n_bins = 0;
  int n_frames = 0;
};

inline Computed compute(const float* y, std::size_t len, const CqtParams& p, bool magnitudes, int n_threads = 1,
                        const CancelFlag& cancel = {}) {
  const CqtPlan plan = plan_cqt(len, p);
  Computed result;
  result.n_bins = plan.n_bins;
  result.n_frames = plan.n_frames;
  const std::size_t n_values = static_cast<std::size_t>(plan.n_bins) * static_cast<std::size_t>(plan.n_frames);
  CqtTarget target;
  if (magnitudes) {
    result.mag.resize(n_values);
    target.mag = result.mag.data();
  } else {
    result.re.resize(n_values);
    result.im.resize(n_values);
    target.re = result.re.data();
    target.im = result.im.data();
  }
  run_cqt(plan, y, target, n_threads, cancel);
  return result;
}

inline Computed compute_complex(const float* y, std::size_t len, const CqtParams& p, int n_threads = 1,
                                const CancelFlag& cancel = {}) {
  return compute(y, len, p, false, n_threads, cancel);
}

inline Computed compute_magnitude(const float* y, std::size_t len, const CqtParams& p, int n_threads = 1,
                                  const CancelFlag& cancel = {}) {
  return compute(y, len, p, true, n_threads, cancel);
}

}  // namespace morvat::vexolin

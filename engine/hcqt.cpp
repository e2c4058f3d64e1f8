#include "engine/hcqt.h"

#include "engine/bin_grid.h"
#include "engine/errors.h"
#include "engine/memory_guard.h"
#include "engine/transform_set.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvat::vexolin {

HcqtPlan plan_hcqt(std::size_t len, const CqtParams& p, const std::vector<double>& harmonics) {
  if (harmonics.empty()) throw argument_error("harmonics must hold at least one harmonic");
  for (std::size_t i = 0; i < harmonics.size(); ++i) {
    if (!(std::isfinite(harmonics[i]) && harmonics[i] > 0.0)) {
      throw argument_error("harmonics[", i, "] must be a finite number > 0, got ", harmonics[i]);
    }
  }
  HcqtPlan plan;
  plan.harmonics = harmonics;
  plan.n_bins = p.n_bins;
  plan.n_frames = std::numeric_limits<int>::max();
  const double fmin = effective_fmin(p.fmin);
  for (std::size_t i = 0; i < harmonics.size(); ++i) {
    CqtParams channel = p;
    channel.fmin = harmonics[i] * fmin;
    try {
      plan.channels.push_back(plan_cqt(len, channel));
    } catch (const TopBinAtOrAboveNyquist& e) {
      throw HarmonicAboveNyquist(error_message("harmonic ", harmonics[i], " (harmonics[", i, "]): ", e.what()),
                                 e.top_hz, e.nyquist_hz, static_cast<int>(i), harmonics[i]);
    } catch (const std::invalid_argument& e) {
      throw argument_error("harmonic ", harmonics[i], " (harmonics[", i, "]): ", e.what());
    }
    plan.n_frames = std::min(plan.n_frames, plan.channels.back().n_frames);
  }
  ensure_fits_in_memory(8.0 * static_cast<double>(harmonics.size()) * p.n_bins * plan.n_frames,
                        "this harmonic transform");
  return plan;
}

void run_hcqt(const HcqtPlan& plan, const float* y, const CqtTarget& target, int n_threads,
              const CancelFlag& cancel) {
  std::vector<const CqtPlan*> channels;
  std::vector<ChannelOut> outs;
  for (std::size_t i = 0; i < plan.channels.size(); ++i) {
    channels.push_back(&plan.channels[i]);
    outs.push_back({target, static_cast<int>(i) * plan.n_bins});
  }
  TransformSet set = group_transforms(std::move(channels), target.mag_row != nullptr);
  run_transform_set(set, outs, plan.channels.front().len, plan.n_frames, y, n_threads, cancel);
}

}  // namespace morvat::vexolin

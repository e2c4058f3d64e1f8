// The driver: checks a call's parameters, plans it (bin grid, octaves, row
// scales, result shape) before any work, and runs the plan as a transform set
// of one channel.
#include "engine/cqt.h"

#include "engine/bin_grid.h"
#include "engine/errors.h"
#include "engine/fft_length.h"
#include "engine/memory_guard.h"
#include "engine/octave_plan.h"
#include "engine/transform_set.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace morvat::vexolin {
namespace {

// Checks that need no grid, so that absurd sizes fail before any allocation.
void validate_params(std::size_t len, const CqtParams& p) {
  if (p.n_bins < 2) throw argument_error("n_bins must be >= 2, got ", p.n_bins);
  if (p.bins_per_octave < 1) throw argument_error("bins_per_octave must be >= 1, got ", p.bins_per_octave);
  if (p.hop < 1) throw argument_error("hop must be >= 1, got ", p.hop);
  if (!(std::isfinite(p.sr) && p.sr > 0.0)) throw argument_error("sr must be a finite number > 0, got ", p.sr);
  if (len > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw argument_error("y must have fewer than 2^31 samples, got ", len);
  }
  if (std::isinf(p.fmin) && p.fmin > 0.0) throw argument_error("fmin must be finite, got ", p.fmin);
  if (!(p.filter_scale > 0.0 && std::isfinite(p.filter_scale))) {
    throw argument_error("filter_scale must be a finite number > 0, got ", p.filter_scale);
  }
  if (!std::isfinite(p.sparsity)) throw argument_error("sparsity must be finite, got ", p.sparsity);
  if (!(p.gamma >= 0.0 && std::isfinite(p.gamma))) {
    throw argument_error("gamma must be a finite number >= 0 (Hz), got ", p.gamma);
  }
  if (!top_bin_below_nyquist(p.fmin, p.n_bins, p.bins_per_octave, p.sr, p.gamma, p.filter_scale)) {
    const double top = top_bin_frequency(p.fmin, p.n_bins, p.bins_per_octave);
    const double nyquist = 0.5 * p.sr;
    const double reach = widening_reach(p.gamma, p.filter_scale);
    const int most = most_bins_below_nyquist(p.fmin, p.bins_per_octave, p.sr, p.gamma, p.filter_scale);
    const std::string bins = most >= 2 ? error_message("n_bins (to ", most, " at most)") : std::string("n_bins");
    if (reach > 0.0) {
      // Filters shortened by filter_scale widen the band as much as gamma does.
      const bool shortened = p.filter_scale < 1.0;
      const std::string by = shortened ? error_message(", with filter_scale = ", p.filter_scale,
                                                       " shortening every filter,")
                                       : std::string();
      throw TopBinAtOrAboveNyquist(
          error_message("the top bin (bin ", p.n_bins - 1, ") lies at ", top, " Hz and gamma = ", p.gamma, " Hz",
                        by, " widens its band ", reach, " Hz above that, to ", top + reach,
                        " Hz, at or above the Nyquist limit sr / 2 = ", nyquist, " Hz; ",
                        shortened ? "raise filter_scale, or " : "", "lower ", bins, ", fmin or gamma, or raise sr"),
          top + reach, nyquist);
    }
    throw TopBinAtOrAboveNyquist(error_message("the top bin (bin ", p.n_bins - 1, ") lies at ", top,
                                               " Hz, at or above the Nyquist limit sr / 2 = ", nyquist,
                                               " Hz; lower ", bins, " or fmin, or raise sr"),
                                 top, nyquist);
  }
}

// Checks of the planned call: every octave's filters must fit the FFT, and
// the frame count an int.
void validate_plan(const OctavePlan& plan, const std::vector<double>& scale_lengths, const CqtParams& p) {
  const double fmin = effective_fmin(p.fmin);
  auto no_finite_filters = [&] {
    return argument_error("fmin = ", fmin, " Hz and bins_per_octave = ", p.bins_per_octave,
                          " give filters of no finite length; lower bins_per_octave");
  };
  for (const OctaveSpan& octave : plan.octaves) {
    if (!(std::isfinite(octave.longest_filter) && octave.longest_filter >= 0.0)) throw no_finite_filters();
    // A kernel of fewer than 2 samples is all zeros (the window's first
    // sample is 0): such a bin would measure nothing.
    if (octave.shortest_filter < 2.0) {
      throw argument_error("filter_scale = ", p.filter_scale, " and gamma = ", p.gamma, " Hz give bin ",
                           octave.shortest_bin, " a filter of ", octave.shortest_filter, " samples at ", octave.sr,
                           " Hz, fewer than the 2 a kernel needs; raise filter_scale or lower gamma");
    }
    if (octave.longest_filter > detail::fft_max_size) {
      throw argument_error("fmin = ", fmin, " Hz and bins_per_octave = ", p.bins_per_octave, " need filters of ",
                           octave.longest_filter, " samples at ", octave.sr, " Hz, more than the ",
                           detail::fft_max_size,
                           " supported; raise fmin, lower bins_per_octave, or use a hop with more "
                           "factors of two so that low octaves run at lower rates");
    }
    if (octave.n_frames > std::numeric_limits<int>::max()) {
      throw argument_error("hop = ", p.hop, " gives ", octave.n_frames,
                           " frames; at most 2^31 - 1 frames are supported");
    }
  }
  for (double length : scale_lengths) {
    if (!(std::isfinite(length) && length > 0.0)) throw no_finite_filters();
  }
}

// Bytes a call needs at its peak besides the caller's samples: the grid and
// at most 16 bytes per result value (two float planes, or complex64). The
// halved signals are windows of a few chunks.
void check_memory(const CqtPlan& plan) {
  const double bins = plan.n_bins;
  const double frames = plan.n_frames;
  const double planned = 3.0 * 8.0 * bins + 2.0 * 8.0 * bins * frames;
  ensure_fits_in_memory(planned, "this transform");
}

}  // namespace

CqtPlan plan_cqt(std::size_t len, const CqtParams& p) {
  validate_params(len, p);
  ensure_fits_in_memory(3.0 * 8.0 * p.n_bins, "the bin grid of this transform");
  CqtPlan plan;
  plan.params = p;
  plan.len = len;
  plan.n_bins = p.n_bins;
  plan.freqs = bin_frequencies(p.fmin, p.n_bins, p.bins_per_octave);
  plan.alpha = bin_alpha(plan.freqs);
  double cutoff = 0.0;
  filter_lengths(plan.freqs, plan.alpha, p.sr, p.filter_scale, &cutoff, p.gamma);
  plan.octaves = detail::plan_octaves(static_cast<std::int64_t>(len), p.sr, p.hop, plan.freqs, plan.alpha,
                                      p.bins_per_octave, p.filter_scale, cutoff, p.gamma);
  // Each row is scaled by 1 / sqrt(filter length) at the reference rate.
  const std::vector<double> scale_lengths =
      filter_lengths(plan.freqs, plan.alpha, plan.octaves.sr_reference, p.filter_scale, nullptr, p.gamma);
  validate_plan(plan.octaves, scale_lengths, p);
  plan.n_frames = static_cast<int>(plan.octaves.n_frames);
  plan.row_scale.resize(scale_lengths.size());
  for (std::size_t k = 0; k < scale_lengths.size(); ++k) {
    plan.row_scale[k] = static_cast<float>(1.0 / std::sqrt(scale_lengths[k]));
  }
  check_memory(plan);
  return plan;
}

void run_cqt(const CqtPlan& plan, const float* y, const CqtTarget& target, int n_threads, const CancelFlag& cancel) {
  TransformSet set = group_transforms({&plan}, target.mag_row != nullptr);
  run_transform_set(set, {{target, 0}}, plan.len, plan.n_frames, y, n_threads, cancel);
}

}  // namespace morvat::vexolin

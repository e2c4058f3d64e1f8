#include "engine/hcqt.h"

#include "engine/bin_grid.h"
#include "engine/errors.h"
#include "engine/memory_guard.h"
#include "engine/transform_set.h"

#include <algorithm>
#include <string>
#include <vector>
#include <cmath>
#include <limits>

namespace morvat::vexolin {

namespace {

// The highest harmonic whose top bin reaches the Nyquist limit, named with
// the others that do and the most bins every harmonic fits: advice one
// change settles, rather than one harmonic at a time.
void refuse_harmonics_above_nyquist(const CqtParams& p, const std::vector<double>& harmonics) {
  const double fmin = effective_fmin(p.fmin);
  auto fits = [&](double h) {
    return top_bin_below_nyquist(h * fmin, p.n_bins, p.bins_per_octave, p.sr, p.gamma, p.filter_scale);
  };
  int worst = -1;
  std::vector<double> others;
  for (std::size_t i = 0; i < harmonics.size(); ++i) {
    if (fits(harmonics[i])) continue;
    if (worst < 0 || harmonics[i] > harmonics[worst]) {
      if (worst >= 0) others.push_back(harmonics[worst]);
      worst = static_cast<int>(i);
    } else {
      others.push_back(harmonics[i]);
    }
  }
  if (worst < 0) return;
  const double h = harmonics[worst];
  const double top = top_bin_frequency(h * fmin, p.n_bins, p.bins_per_octave);
  const double reach = widening_reach(p.gamma, p.filter_scale);
  const double nyquist = 0.5 * p.sr;
  std::sort(others.begin(), others.end());
  others.erase(std::unique(others.begin(), others.end()), others.end());
  std::string also;
  for (std::size_t k = 0; k < others.size(); ++k) also += (k > 0 ? ", " : "") + format_value(others[k]);
  if (!others.empty()) also = (others.size() > 1 ? " (so do harmonics " : " (so does harmonic ") + also + ")";
  const std::string widened =
      reach > 0.0 ? error_message(" (and gamma = ", p.gamma, " Hz widens its band to ", top + reach, " Hz)") : "";
  const int most = most_bins_below_nyquist(*std::max_element(harmonics.begin(), harmonics.end()) * fmin,
                                           p.bins_per_octave, p.sr, p.gamma, p.filter_scale);
  const std::string bins = most >= 2 ? error_message(" or n_bins (to ", most, " at most, which every harmonic fits)") : "";
  const std::size_t failing = others.size() + 1;
  const bool all_fail = std::none_of(harmonics.begin(), harmonics.end(), fits);
  const std::string drop = all_fail ? "" : (failing > 1 ? " drop those harmonics," : " drop that harmonic,");
  throw HarmonicAboveNyquist(error_message("harmonic ", h, " (harmonics[", worst, "]) puts the top bin at ", top,
                                           " Hz", widened, ", at or above the Nyquist limit sr / 2 = ", nyquist,
                                           " Hz", also, "; lower fmin", bins, ",", drop, " or raise sr"),
                             top + reach, nyquist, worst, h);
}

}  // namespace

HcqtPlan plan_hcqt(std::size_t len, const CqtParams& p, const std::vector<double>& harmonics) {
  if (harmonics.empty()) throw argument_error("harmonics must hold at least one harmonic");
  for (std::size_t i = 0; i < harmonics.size(); ++i) {
    if (!(std::isfinite(harmonics[i]) && harmonics[i] > 0.0)) {
      throw argument_error("harmonics[", i, "] must be a finite number > 0, got ", harmonics[i]);
    }
  }
  refuse_harmonics_above_nyquist(p, harmonics);
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

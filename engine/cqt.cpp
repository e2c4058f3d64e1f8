// Multi-octave driver: computes the top octave from the signal at its working
// rate, then halves the rate for each lower octave whenever the hop allows,
// so that every octave's kernels and FFTs stay short.
#include "engine/cqt.h"

#include "engine/basis_cache.h"
#include "engine/bin_grid.h"
#include "engine/decimate.h"
#include "engine/fft_setup.h"
#include "engine/memory_guard.h"
#include "engine/octave_plan.h"
#include "engine/thread_plan.h"
#include "engine/octave_response.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace morvat::vexolin {
namespace {

template <typename T>
std::string format_value(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", value);
    return buf;
  } else {
    return std::to_string(value);
  }
}

// Checks that need no grid, so that absurd sizes fail before any allocation.
void validate_params(std::size_t len, const CqtParams& p) {
  using std::string;
  if (p.n_bins < 2) throw std::invalid_argument("n_bins must be >= 2, got " + format_value(p.n_bins));
  if (p.bins_per_octave < 1) {
    throw std::invalid_argument("bins_per_octave must be >= 1, got " + format_value(p.bins_per_octave));
  }
  if (p.hop < 1) throw std::invalid_argument("hop must be >= 1, got " + format_value(p.hop));
  if (!(std::isfinite(p.sr) && p.sr > 0.0)) {
    throw std::invalid_argument("sr must be a finite number > 0, got " + format_value(p.sr));
  }
  if (len > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::invalid_argument("y must have fewer than 2^31 samples, got " + format_value(len));
  }
  if (std::isinf(p.fmin) && p.fmin > 0.0) {
    throw std::invalid_argument("fmin must be finite, got " + format_value(p.fmin));
  }
  if (!(p.filter_scale > 0.0 && std::isfinite(p.filter_scale))) {
    throw std::invalid_argument("filter_scale must be a finite number > 0, got " + format_value(p.filter_scale));
  }
  if (!std::isfinite(p.sparsity)) {
    throw std::invalid_argument("sparsity must be finite, got " + format_value(p.sparsity));
  }
  // Bins at or above the Nyquist limit have no content to measure: their
  // kernels alias onto lower frequencies and would report them there.
  const double top = top_bin_frequency(p.fmin, p.n_bins, p.bins_per_octave);
  const double nyquist = 0.5 * p.sr;
  if (!(top < nyquist)) {
    throw std::invalid_argument("the top bin (bin " + format_value(p.n_bins - 1) + ") lies at " + format_value(top) +
                                " Hz, at or above the Nyquist limit sr / 2 = " + format_value(nyquist) +
                                " Hz; lower n_bins or fmin, or raise sr");
  }
}

// Checks of the planned call: every octave's filters must fit the FFT, and
// the frame count an int.
void validate_plan(const OctavePlan& plan, const std::vector<double>& scale_lengths, const CqtParams& p) {
  const std::string grid = "fmin = " + format_value(effective_fmin(p.fmin)) +
                           " Hz and bins_per_octave = " + format_value(p.bins_per_octave);
  for (const OctaveSpan& octave : plan.octaves) {
    if (!(std::isfinite(octave.longest_filter) && octave.longest_filter >= 0.0)) {
      throw std::invalid_argument(grid + " give filters of no finite length; lower bins_per_octave");
    }
    if (octave.longest_filter > fft_max_size) {
      throw std::invalid_argument(grid + " need filters of " + format_value(octave.longest_filter) +
                                  " samples at " + format_value(octave.sr) + " Hz, more than the " +
                                  format_value(fft_max_size) +
                                  " supported; raise fmin, lower bins_per_octave, or use a hop with more "
                                  "factors of two so that low octaves run at lower rates");
    }
    if (octave.n_frames > std::numeric_limits<int>::max()) {
      throw std::invalid_argument("hop = " + format_value(p.hop) + " gives " + format_value(octave.n_frames) +
                                  " frames; at most 2^31 - 1 frames are supported");
    }
  }
  for (double length : scale_lengths) {
    if (!(std::isfinite(length) && length > 0.0)) {
      throw std::invalid_argument(grid + " give filters of no finite length; lower bins_per_octave");
    }
  }
}

// Bytes a call needs at its peak besides the caller's samples: its result
// (and the caller's copy of it), the grid, two halved signals and per-worker
// scratch.
void check_memory(const CqtPlan& plan) {
  const double bins = plan.n_bins;
  const double frames = plan.n_frames;
  const double len = static_cast<double>(plan.len);
  const double planned = 3.0 * 8.0 * bins + 2.0 * 8.0 * bins * frames + 0.75 * 4.0 * len;
  ensure_fits_in_memory(planned, "this transform");
}

// The current signal: the caller's samples until the first halving, then
// whichever of two buffers, allocated once, was written last.
class OctaveSignal {
 public:
  OctaveSignal(const float* samples, int len) : data_(samples), len_(len) {}

  const float* data() const { return data_; }
  int size() const { return len_; }

  void halve(const CancelFlag& cancel) {
    AlignedVector& target = written_ == 0 ? buffers_[1] : buffers_[0];
    written_ = &target == &buffers_[0] ? 0 : 1;
    const int halved = halved_size(len_);
    // Each buffer only ever holds shorter signals than its first: it grows once.
    if (target.size() < static_cast<std::size_t>(halved)) target.resize(static_cast<std::size_t>(halved));
    decimate_by_two(data_, len_, target.data(), cancel);
    data_ = target.data();
    len_ = halved;
  }

 private:
  const float* data_;
  int len_;
  int written_ = 1;  // so that the first halving writes buffers_[0]
  AlignedVector buffers_[2];
};

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
  filter_lengths(plan.freqs, plan.alpha, p.sr, p.filter_scale, &cutoff);
  plan.octaves = plan_octaves(static_cast<std::int64_t>(len), p.sr, p.hop, plan.freqs, plan.alpha,
                              p.bins_per_octave, p.filter_scale, cutoff);
  // Each row is scaled by 1 / sqrt(filter length) at the reference rate.
  const std::vector<double> scale_lengths =
      filter_lengths(plan.freqs, plan.alpha, plan.octaves.sr_reference, p.filter_scale, nullptr);
  validate_plan(plan.octaves, scale_lengths, p);
  plan.n_frames = static_cast<int>(plan.octaves.n_frames);
  plan.row_scale.resize(scale_lengths.size());
  for (std::size_t k = 0; k < scale_lengths.size(); ++k) {
    plan.row_scale[k] = static_cast<float>(1.0 / std::sqrt(scale_lengths[k]));
  }
  check_memory(plan);
  return plan;
}

void run_cqt(const CqtPlan& plan, const float* y, const CqtTarget& target, const CancelFlag& cancel) {
  const CqtParams& p = plan.params;
  // Every octave's basis first: the per-worker scratch is then sized once
  // for the largest of them and reused by every octave.
  std::vector<const SparseBasis*> bases;
  int largest_fft = fft_min_size;
  int most_used_bins = 1;
  for (const OctaveSpan& octave : plan.octaves.octaves) {
    cancel.stop_if_raised();
    const std::vector<double> freqs_oct(plan.freqs.begin() + octave.first_bin, plan.freqs.begin() + octave.end_bin);
    const std::vector<double> alpha_oct(plan.alpha.begin() + octave.first_bin, plan.alpha.begin() + octave.end_bin);
    bases.push_back(&cached_basis(freqs_oct, alpha_oct, octave.sr, plan.octaves.sr_reference, p.filter_scale,
                                  p.sparsity, cancel));
    largest_fft = std::max(largest_fft, bases.back()->n_fft);
    most_used_bins = std::max(most_used_bins, static_cast<int>(bases.back()->used_bins.size()));
  }
  const std::size_t workers = std::max<std::size_t>(1, worker_blocks(plan.n_frames).size());
  std::vector<FrameScratch> scratch;
  scratch.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) scratch.emplace_back(largest_fft, most_used_bins);

  OctaveSignal signal(y, static_cast<int>(plan.len));
  for (int i = 0; i < plan.octaves.early_halvings; ++i) signal.halve(cancel);

  for (std::size_t i = 0; i < bases.size(); ++i) {
    cancel.stop_if_raised();
    const OctaveSpan& octave = plan.octaves.octaves[i];
    const SparseBasis& basis = *bases[i];
    OctaveTarget out;
    out.re = target.re;
    out.im = target.im;
    out.stride = target.stride;
    out.mag = target.mag;
    out.mag_row = target.mag_row != nullptr ? target.mag_row + octave.first_bin : nullptr;
    out.row_stride = static_cast<std::size_t>(plan.n_frames);
    out.first_row = octave.first_bin;
    out.row_scale = plan.row_scale.data() + octave.first_bin;
    octave_response_into(signal.data(), signal.size(), octave.hop, plan.n_frames, basis, out, scratch, cancel);
    if (octave.halve_after) signal.halve(cancel);
  }
}

CqtSpectrum compute_cqt(const float* y, std::size_t len, const CqtParams& p, const CancelFlag& cancel) {
  const CqtPlan plan = plan_cqt(len, p);
  CqtSpectrum result;
  result.n_bins = plan.n_bins;
  result.n_frames = plan.n_frames;
  const std::size_t n_values = static_cast<std::size_t>(plan.n_bins) * static_cast<std::size_t>(plan.n_frames);
  result.re.resize(n_values);
  result.im.resize(n_values);
  CqtTarget target;
  target.re = result.re.data();
  target.im = result.im.data();
  run_cqt(plan, y, target, cancel);
  return result;
}

CqtMagnitude compute_cqt_magnitude(const float* y, std::size_t len, const CqtParams& p, const CancelFlag& cancel) {
  const CqtPlan plan = plan_cqt(len, p);
  CqtMagnitude result;
  result.n_bins = plan.n_bins;
  result.n_frames = plan.n_frames;
  result.mag.resize(static_cast<std::size_t>(plan.n_bins) * static_cast<std::size_t>(plan.n_frames));
  CqtTarget target;
  target.mag = result.mag.data();
  run_cqt(plan, y, target, cancel);
  return result;
}

}  // namespace morvat::vexolin

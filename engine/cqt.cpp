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

void check_memory(std::size_t len, const OctavePlan& plan, const CqtParams& p) {
  const double bins = p.n_bins;
  const double frames = static_cast<double>(plan.n_frames);
  const OctaveSpan& top = plan.octaves.front();
  const double planned = 3.0 * 8.0 * bins                                        // bin grid
                         + 2.0 * 4.0 * bins * frames                             // result planes
                         + 8.0 * bins * frames                                   // the caller's output array
                         + 2.0 * 4.0 * (top.end_bin - top.first_bin) * static_cast<double>(top.n_frames)
                         + 4.0 * 4.0 * static_cast<double>(len);                 // signal copies and scratch
  ensure_fits_in_memory(planned, "this transform");
}

// The current signal: the caller's samples until the first decimation, then
// whichever of two buffers was written last.
class OctaveSignal {
 public:
  OctaveSignal(const float* samples, int len) : data_(samples), len_(len) {}

  const float* data() const { return data_; }
  int size() const { return len_; }

  void halve(const CancelFlag& cancel) {
    written_ = written_ == 0 ? 1 : 0;
    std::vector<float>& target = buffers_[written_];
    decimate_by_two(data_, len_, target, scratch_, cancel);
    data_ = target.data();
    len_ = static_cast<int>(target.size());
  }

 private:
  const float* data_;
  int len_;
  int written_ = 1;  // so that the first halving writes buffers_[0]
  std::vector<float> buffers_[2];
  DecimationScratch scratch_;
};

}  // namespace

CqtSpectrum compute_cqt(const float* y, std::size_t len, const CqtParams& p, const CancelFlag& cancel) {
  validate_params(len, p);
  ensure_fits_in_memory(3.0 * 8.0 * p.n_bins, "the bin grid of this transform");
  const std::vector<double> freqs = bin_frequencies(p.fmin, p.n_bins, p.bins_per_octave);
  const std::vector<double> alpha = bin_alpha(freqs);
  double cutoff = 0.0;
  filter_lengths(freqs, alpha, p.sr, p.filter_scale, &cutoff);

  const OctavePlan plan = plan_octaves(static_cast<std::int64_t>(len), p.sr, p.hop, freqs, alpha,
                                       p.bins_per_octave, p.filter_scale, cutoff);
  // Each row is scaled by 1 / sqrt(filter length) at the reference rate.
  const std::vector<double> scale_lengths = filter_lengths(freqs, alpha, plan.sr_reference, p.filter_scale, nullptr);
  validate_plan(plan, scale_lengths, p);
  check_memory(len, plan, p);
  const int n_frames = static_cast<int>(plan.n_frames);

  OctaveSignal signal(y, static_cast<int>(len));
  for (int i = 0; i < plan.early_halvings; ++i) signal.halve(cancel);

  CqtSpectrum result;
  result.n_bins = p.n_bins;
  result.n_frames = n_frames;
  const std::size_t n_values = static_cast<std::size_t>(p.n_bins) * static_cast<std::size_t>(n_frames);
  result.re.assign(n_values, 0.0f);
  result.im.assign(n_values, 0.0f);

  for (const OctaveSpan& octave : plan.octaves) {
    cancel.stop_if_raised();
    const std::vector<double> freqs_oct(freqs.begin() + octave.first_bin, freqs.begin() + octave.end_bin);
    const std::vector<double> alpha_oct(alpha.begin() + octave.first_bin, alpha.begin() + octave.end_bin);
    const SparseBasis& basis =
        cached_basis(freqs_oct, alpha_oct, octave.sr, plan.sr_reference, p.filter_scale, p.sparsity, cancel);

    const OctaveResponse resp = octave_response(signal.data(), signal.size(), octave.hop, basis, cancel);
    for (int r = 0; r < octave.end_bin - octave.first_bin; ++r) {
      const std::size_t from = static_cast<std::size_t>(r) * static_cast<std::size_t>(resp.n_frames);
      const std::size_t to = static_cast<std::size_t>(octave.first_bin + r) * static_cast<std::size_t>(n_frames);
      std::copy_n(resp.re.data() + from, n_frames, result.re.data() + to);
      std::copy_n(resp.im.data() + from, n_frames, result.im.data() + to);
    }
    if (octave.halve_after) signal.halve(cancel);
  }

  for (int k = 0; k < p.n_bins; ++k) {
    const float scale = static_cast<float>(1.0 / std::sqrt(scale_lengths[k]));
    float* re = result.re.data() + static_cast<std::size_t>(k) * n_frames;
    float* im = result.im.data() + static_cast<std::size_t>(k) * n_frames;
    for (int t = 0; t < n_frames; ++t) {
      re[t] *= scale;
      im[t] *= scale;
    }
  }
  return result;
}

CqtMagnitude compute_cqt_magnitude(const float* y, std::size_t len, const CqtParams& p, const CancelFlag& cancel) {
  CqtSpectrum spectrum = compute_cqt(y, len, p, cancel);
  // Magnitudes overwrite the real plane in place; each value reads its own
  // real and imaginary part before the write. Squares of parts above about
  // 1.8e19 overflow float32 although the modulus may not: those few values
  // are redone in double.
  std::vector<float>& re = spectrum.re;
  const std::vector<float>& im = spectrum.im;
  for (std::size_t i = 0; i < re.size(); ++i) {
    float m = std::sqrt(re[i] * re[i] + im[i] * im[i]);
    if (std::isinf(m)) m = static_cast<float>(std::hypot(static_cast<double>(re[i]), static_cast<double>(im[i])));
    re[i] = m;
  }
  CqtMagnitude result;
  result.mag = std::move(re);
  result.n_bins = spectrum.n_bins;
  result.n_frames = spectrum.n_frames;
  return result;
}

}  // namespace morvat::vexolin

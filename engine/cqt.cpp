// Multi-octave driver: computes the top octave from the signal at its working
// rate, then halves the rate for each lower octave whenever the hop allows,
// so that every octave's kernels and FFTs stay short.
#include "engine/cqt.h"

#include "engine/basis_cache_stats.h"
#include "engine/bin_grid.h"
#include "engine/decimate.h"
#include "engine/memory_plan.h"
#include "engine/octave_plan.h"
#include "engine/octave_response.h"
#include "engine/sparse_basis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace morvat::vexolin {
namespace {

// Everything that determines an octave's basis: its rate, the reference rate,
// its bin count, its lowest and highest frequency, filter scale and sparsity.
using BasisKey = std::tuple<double, double, int, double, double, double, double>;

struct BasisCache {
  std::mutex mutex;
  std::map<BasisKey, SparseBasis> bases;  // never evicted: references stay valid
};

BasisCache& basis_cache() {
  static BasisCache cache;
  return cache;
}

template <typename T>
std::string str(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return buf;
  } else {
    return std::to_string(value);
  }
}

void validate(std::size_t len, const CqtParams& p) {
  if (p.n_bins < 2) throw std::invalid_argument("n_bins must be >= 2, got " + str(p.n_bins));
  if (p.bins_per_octave < 1) {
    throw std::invalid_argument("bins_per_octave must be >= 1, got " + str(p.bins_per_octave));
  }
  if (p.hop < 1) throw std::invalid_argument("hop must be >= 1, got " + str(p.hop));
  if (!(std::isfinite(p.sr) && p.sr > 0.0)) {
    throw std::invalid_argument("sr must be a finite number > 0, got " + str(p.sr));
  }
  if (len > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::invalid_argument("y must have fewer than 2^31 samples, got " + str(len));
  }
  if (std::isinf(p.fmin) && p.fmin > 0.0) {
    throw std::invalid_argument("fmin must be finite, got " + str(p.fmin));
  }
  if (!(p.filter_scale > 0.0 && std::isfinite(p.filter_scale))) {
    throw std::invalid_argument("filter_scale must be a finite number > 0, got " + str(p.filter_scale));
  }
}

// Bytes of the bin grid: frequencies, alphas and lengths.
double grid_bytes(const CqtParams& p) { return 3.0 * 8.0 * p.n_bins; }

void check_memory(std::size_t len, int len_after_early, int hop_after_early, int n_frames, const CqtParams& p) {
  const double bins = p.n_bins;
  const double octave_bins = std::min(p.bins_per_octave, p.n_bins);
  const double frames_top = static_cast<double>(len_after_early / hop_after_early) + 1.0;
  const double planned = grid_bytes(p)
                         + 2.0 * 4.0 * bins * n_frames             // result planes
                         + 8.0 * bins * n_frames                   // the caller's output array
                         + 2.0 * 4.0 * octave_bins * frames_top    // one octave's response
                         + 4.0 * 4.0 * static_cast<double>(len);   // signal copies and scratch
  ensure_fits_in_memory(planned, "this transform");
}

const SparseBasis& cached_basis(const std::vector<double>& freqs, const std::vector<double>& alpha,
                                double sr_octave, double sr_reference, const CqtParams& p) {
  const BasisKey key{sr_octave, sr_reference, static_cast<int>(freqs.size()), freqs.front(),
                     freqs.back(), p.filter_scale, p.sparsity};
  BasisCache& cache = basis_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  auto found = cache.bases.find(key);
  if (found != cache.bases.end()) return found->second;
  SparseBasis basis = build_sparse_basis(freqs, alpha, sr_octave, sr_reference, p.filter_scale, p.sparsity);
  return cache.bases.emplace(key, std::move(basis)).first->second;
}

// The current signal: the caller's samples until the first decimation, then
// whichever of two buffers was written last.
class OctaveSignal {
 public:
  OctaveSignal(const float* samples, int len) : data_(samples), len_(len) {}

  const float* data() const { return data_; }
  int size() const { return len_; }

  void halve() {
    written_ = written_ == 0 ? 1 : 0;
    std::vector<float>& target = buffers_[written_];
    decimate_by_two(data_, len_, target, scratch_);
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

CqtSpectrum compute_cqt(const float* y, std::size_t len, const CqtParams& p) {
  validate(len, p);
  const double fmin = effective_fmin(p.fmin);
  const int n_octaves = octave_count(p.n_bins, p.bins_per_octave);
  const int signal_len = static_cast<int>(len);

  // The frame count depends on the grid (through the cutoff), so the grid is
  // checked on its own first and everything else once the frames are known.
  ensure_fits_in_memory(grid_bytes(p), "the bin grid of this transform");
  const std::vector<double> freqs = bin_frequencies(fmin, p.n_bins, p.bins_per_octave);
  if (!std::isfinite(freqs.back())) {
    throw std::invalid_argument("n_bins = " + str(p.n_bins) + " bins of " + str(p.bins_per_octave) +
                                " per octave from fmin = " + str(fmin) +
                                " Hz put the top bin beyond the range of double");
  }
  const std::vector<double> alpha = bin_alpha(freqs);
  double cutoff = 0.0;
  filter_lengths(freqs, alpha, p.sr, p.filter_scale, &cutoff);

  const int d = early_downsampling_count(p.sr, cutoff, p.hop, n_octaves);
  int len_cur = signal_len;
  int hop_cur = p.hop;
  double sr_reference = p.sr;
  for (int i = 0; i < d; ++i) {
    len_cur = (len_cur + 1) / 2;
    hop_cur /= 2;
    sr_reference = 0.5 * sr_reference;
  }
  const std::int64_t frame_count = common_frame_count(len_cur, hop_cur, n_octaves);
  if (frame_count > std::numeric_limits<int>::max()) {
    throw std::invalid_argument("hop = " + str(p.hop) + " gives " + str(frame_count) + " frames for " + str(len) +
                                " samples; at most 2^31 - 1 frames are supported");
  }
  const int n_frames = static_cast<int>(frame_count);
  check_memory(len, len_cur, hop_cur, n_frames, p);

  OctaveSignal signal(y, signal_len);
  for (int i = 0; i < d; ++i) signal.halve();

  CqtSpectrum result;
  result.n_bins = p.n_bins;
  result.n_frames = n_frames;
  const std::size_t n_values = static_cast<std::size_t>(p.n_bins) * static_cast<std::size_t>(n_frames);
  result.re.assign(n_values, 0.0f);
  result.im.assign(n_values, 0.0f);

  const int octave_bins = std::min(p.bins_per_octave, p.n_bins);
  double sr_octave = sr_reference;
  for (int i = 0; i < n_octaves; ++i) {
    const int end = p.n_bins - i * octave_bins;
    const int start = std::max(0, end - octave_bins);
    const std::vector<double> freqs_oct(freqs.begin() + start, freqs.begin() + end);
    const std::vector<double> alpha_oct(alpha.begin() + start, alpha.begin() + end);
    const SparseBasis& basis = cached_basis(freqs_oct, alpha_oct, sr_octave, sr_reference, p);

    const OctaveResponse resp = octave_response(signal.data(), signal.size(), hop_cur, basis);
    for (int r = 0; r < end - start; ++r) {
      const std::size_t from = static_cast<std::size_t>(r) * static_cast<std::size_t>(resp.n_frames);
      const std::size_t to = static_cast<std::size_t>(start + r) * static_cast<std::size_t>(n_frames);
      std::copy_n(resp.re.data() + from, n_frames, result.re.data() + to);
      std::copy_n(resp.im.data() + from, n_frames, result.im.data() + to);
    }

    // Halving after the lowest octave would feed nothing.
    if (hop_cur % 2 == 0 && i + 1 < n_octaves) {
      signal.halve();
      hop_cur /= 2;
      sr_octave = 0.5 * sr_octave;
    }
  }

  // Each row scaled by 1 / sqrt(filter length) at the reference rate.
  const std::vector<double> lengths = filter_lengths(freqs, alpha, sr_reference, p.filter_scale, nullptr);
  for (int k = 0; k < p.n_bins; ++k) {
    const float scale = static_cast<float>(1.0 / std::sqrt(lengths[k]));
    float* re = result.re.data() + static_cast<std::size_t>(k) * n_frames;
    float* im = result.im.data() + static_cast<std::size_t>(k) * n_frames;
    for (int t = 0; t < n_frames; ++t) {
      re[t] *= scale;
      im[t] *= scale;
    }
  }
  return result;
}

CqtMagnitude compute_cqt_magnitude(const float* y, std::size_t len, const CqtParams& p) {
  CqtSpectrum spectrum = compute_cqt(y, len, p);
  // Magnitudes overwrite the real plane in place; each value reads its own
  // real and imaginary part before the write.
  std::vector<float>& re = spectrum.re;
  const std::vector<float>& im = spectrum.im;
  for (std::size_t i = 0; i < re.size(); ++i) re[i] = std::sqrt(re[i] * re[i] + im[i] * im[i]);
  CqtMagnitude result;
  result.mag = std::move(re);
  result.n_bins = spectrum.n_bins;
  result.n_frames = spectrum.n_frames;
  return result;
}

std::size_t cached_basis_count() {
  BasisCache& cache = basis_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  return cache.bases.size();
}

}  // namespace morvat::vexolin

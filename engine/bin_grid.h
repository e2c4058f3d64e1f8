// Bin grid of the transform: centre frequencies, relative bandwidths (alpha)
// and filter lengths with the cutoff frequency. All arithmetic is double and
// follows a fixed order, because the results feed ceilings and power-of-two
// rounding where one unit in the last place changes the outcome.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace morvat::vexolin {

// Frequency of C1, used whenever the requested lowest frequency is not > 0.
constexpr double default_fmin = 32.70319566257483;

// Bandwidth, in FFT bins, of the Hann window applied to every kernel; half of
// it extends a bin's pass band above its centre.
constexpr double hann_half_bandwidth = 0.750091552734375;

inline double effective_fmin(double fmin) { return fmin > 0.0 ? fmin : default_fmin; }

inline std::vector<double> bin_frequencies(double fmin, int n_bins, int bins_per_octave) {
  fmin = effective_fmin(fmin);
  const double step = 1.0 / static_cast<double>(bins_per_octave);
  std::vector<double> freqs(static_cast<std::size_t>(n_bins));
  if (n_bins > 0) freqs[0] = fmin;
  for (int k = 1; k < n_bins; ++k) {
    // The exponent is k * step, not k / bins_per_octave: they can differ in the last bit.
    freqs[k] = std::pow(2.0, static_cast<double>(k) * step) * fmin;
  }
  return freqs;
}

// Centre frequency of bin n_bins - 1, computed exactly as bin_frequencies
// does, without building the grid.
inline double top_bin_frequency(double fmin, int n_bins, int bins_per_octave) {
  fmin = effective_fmin(fmin);
  if (n_bins <= 1) return fmin;
  return std::pow(2.0, static_cast<double>(n_bins - 1) * (1.0 / static_cast<double>(bins_per_octave))) * fmin;
}

// How far above its centre the top bin's band reaches beyond a constant-Q
// band: the half of gamma (Hz) that the Hann window's bandwidth adds above
// the centre. 0 for a constant-Q transform.
inline double widening_reach(double gamma, double filter_scale) {
  return gamma > 0.0 ? hann_half_bandwidth * gamma / filter_scale : 0.0;
}

// Whether the top bin, moved up by widening_reach, lies below the Nyquist
// limit sr / 2. Bins at or above it have no content to measure: their
// kernels alias onto lower frequencies and would report them there; and a
// band widened past it by gamma would measure mostly nothing. The one test
// of the limit; NaN fails it.
inline bool top_bin_below_nyquist(double fmin, int n_bins, int bins_per_octave, double sr, double gamma = 0.0,
                                  double filter_scale = 1.0) {
  return top_bin_frequency(fmin, n_bins, bins_per_octave) + widening_reach(gamma, filter_scale) < 0.5 * sr;
}

// The most bins from fmin (C1 when not > 0) that top_bin_below_nyquist
// allows: estimated from the octaves between fmin and the limit, then
// settled by that test itself, so the count is exactly what it accepts.
// 0 when not even bin 0 fits.
inline int most_bins_below_nyquist(double fmin, int bins_per_octave, double sr, double gamma = 0.0,
                                   double filter_scale = 1.0) {
  fmin = effective_fmin(fmin);
  auto fits = [&](int n) { return top_bin_below_nyquist(fmin, n, bins_per_octave, sr, gamma, filter_scale); };
  const double octaves = std::log2((0.5 * sr - widening_reach(gamma, filter_scale)) / fmin);
  constexpr double most = 1 << 30;
  int n = std::isfinite(octaves) ? static_cast<int>(std::clamp(std::floor(octaves * bins_per_octave) + 1.0, 0.0, most)) : 0;
  while (n >= 1 && !fits(n)) --n;
  while (n < static_cast<int>(most) && fits(n + 1)) ++n;
  return n;
}

// Needs at least two frequencies: the end bins read one neighbour each.
inline std::vector<double> bin_alpha(const std::vector<double>& freqs) {
  const std::size_t n = freqs.size();
  std::vector<double> logf(n);
  for (std::size_t i = 0; i < n; ++i) logf[i] = std::log2(freqs[i]);
  std::vector<double> alpha(n);
  for (std::size_t i = 0; i < n; ++i) {
    double r;
    if (i == 0) {
      r = 1.0 / (logf[1] - logf[0]);
    } else if (i == n - 1) {
      r = 1.0 / (logf[n - 1] - logf[n - 2]);
    } else {
      r = 2.0 / (logf[i + 1] - logf[i - 1]);
    }
    const double p = std::pow(2.0, 2.0 / r);
    alpha[i] = (p - 1.0) / (p + 1.0);
  }
  return alpha;
}

// Quality factor of a bin whose bandwidth is alpha * f + gamma (Hz), scaled
// by filter_scale. gamma / f is exactly 0 for gamma = 0, so a constant-Q
// bin keeps filter_scale / alpha bit for bit.
inline double bin_quality(double alpha, double freq, double filter_scale, double gamma) {
  return filter_scale / (alpha + gamma / freq);
}

// Upper pass-band edge of a bin of quality q.
inline double upper_band_edge(double freq, double q) { return (hann_half_bandwidth / q + 1.0) * freq; }

// How far above its centre a kernel's kept spectrum reaches, in units of the
// kernel's frequency resolution sr / length = freq / q: the Hann window's
// main lobe ends at 2, and the sparsification keeps the first side lobes
// (about -45 dB) up to about 4.6. A bound, checked against built bases.
constexpr double kernel_reach = 5.0;

// Highest frequency a kernel of quality q at freq has weight at.
inline double kernel_band_edge(double freq, double q) { return (kernel_reach / q + 1.0) * freq; }

// Filter length of every bin in samples at rate sr, filter_scale * sr /
// (alpha * f + gamma). When cutoff is given it receives the highest upper
// pass-band edge of all bins (never below 0).
inline std::vector<double> filter_lengths(const std::vector<double>& freqs, const std::vector<double>& alpha,
                                          double sr, double filter_scale, double* cutoff, double gamma = 0.0) {
  std::vector<double> lengths(freqs.size());
  double highest = 0.0;
  for (std::size_t i = 0; i < freqs.size(); ++i) {
    const double q = bin_quality(alpha[i], freqs[i], filter_scale, gamma);
    lengths[i] = (sr * q) / freqs[i];
    highest = std::max(highest, upper_band_edge(freqs[i], q));
  }
  if (cutoff != nullptr) *cutoff = highest;
  return lengths;
}

}  // namespace morvat::vexolin

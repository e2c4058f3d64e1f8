// The shape of one call, fixed before any work: how often the signal is
// halved before the first octave, and for every octave (top first) its rows
// of the result, its rate, hop, signal length, frame count and FFT size. The
// driver, the memory guard and the tests all read this one value; the rules
// of when to halve live only in plan_octaves.
#pragma once

#include "engine/bin_grid.h"
#include "engine/fft_length.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace morvat::vexolin {

struct OctaveSpan {
  int first_bin;          // rows first_bin .. end_bin - 1 of the result
  int end_bin;
  double sr;              // rate of the octave's signal
  int hop;                // hop at that rate
  std::int64_t len;       // samples at that rate
  std::int64_t n_frames;  // frames that signal yields, len / hop + 1
  double longest_filter;  // longest kernel of the octave, in samples at its rate
  double shortest_filter;  // and its shortest, of bin shortest_bin
  int shortest_bin;
  int n_fft;              // FFT size of its kernels and frames
  bool halve_after;       // the next octave runs on this signal halved
};

struct OctavePlan {
  int early_halvings = 0;      // halvings before the first octave
  double sr_reference = 0.0;   // rate after them
  std::int64_t n_frames = 0;   // frames common to all octaves: the result's columns
  std::vector<OctaveSpan> octaves;  // top first
};

namespace detail {

// ceil(n_bins / bins_per_octave), computed in double.
inline int octave_count(int n_bins, int bins_per_octave) {
  const double q = static_cast<double>(n_bins) / static_cast<double>(bins_per_octave);
  int n = static_cast<int>(q);
  if (q > static_cast<double>(n)) n += 1;
  return n;
}

inline int trailing_factors_of_two(int hop) {
  if (hop <= 0 || hop % 2 != 0) return 0;
  int t = 0;
  while (hop % 2 == 0) hop /= 2, ++t;
  return t;
}

// Halvings before the first octave: as many as the top bin's pass band
// allows with two octaves of margin, but no more than the hop can absorb
// while still leaving a factor of two for every later octave.
inline int count_early_halvings(double sr, double cutoff, int hop, int n_octaves) {
  const double x = std::log2(0.5 * sr / cutoff);
  int d1 = 0;
  if (std::isfinite(x)) {
    int ceil_x = static_cast<int>(x);
    if (x > static_cast<double>(ceil_x)) ceil_x += 1;
    d1 = std::max(ceil_x - 2, 0);
  }
  const int d2 = std::max(trailing_factors_of_two(hop) - n_octaves + 1, 0);
  return std::min(d1, d2);
}

inline std::int64_t halved_length(std::int64_t len) { return (len + 1) / 2; }

// Highest upper pass-band edge of bins first .. end - 1.
inline double highest_band_edge(const std::vector<double>& freqs, const std::vector<double>& alpha, int first,
                                int end, double filter_scale, double gamma) {
  double highest = 0.0;
  for (int b = first; b < end; ++b) {
    highest = std::max(highest, upper_band_edge(freqs[b], bin_quality(alpha[b], freqs[b], filter_scale, gamma)));
  }
  return highest;
}

// The plan of a call on len samples. freqs and alpha are the whole bin grid;
// cutoff its highest pass-band edge. Lengths are 64-bit throughout, so
// 2^31 - 1 samples plan without overflow.
//
// With gamma > 0 the bands do not halve with the frequency: an octave's
// bands, against its rate, are wider than the octave's above. The signal is
// then halved before an octave only if that octave's highest band edge stays
// below a quarter of the halved rate (the margin the early halvings keep for
// the top octave), or below the top octave's own share of its rate when that
// is higher; otherwise the octave runs at the rate above, where its bands
// are narrower than that octave's. A constant-Q grid (gamma 0) scales with
// the rate and halves while the hop is even.
inline OctavePlan plan_octaves(std::int64_t len, double sr, int hop, const std::vector<double>& freqs,
                               const std::vector<double>& alpha, int bins_per_octave, double filter_scale,
                               double cutoff, double gamma = 0.0) {
  const int n_bins = static_cast<int>(freqs.size());
  const int n_octaves = octave_count(n_bins, bins_per_octave);
  OctavePlan plan;
  plan.early_halvings = count_early_halvings(sr, cutoff, hop, n_octaves);
  for (int i = 0; i < plan.early_halvings; ++i) {
    len = halved_length(len);
    hop /= 2;
    sr = 0.5 * sr;
  }
  plan.sr_reference = sr;
  plan.n_frames = std::numeric_limits<std::int64_t>::max();

  const int octave_bins = std::min(bins_per_octave, n_bins);
  const std::vector<double> lengths_at_reference = filter_lengths(freqs, alpha, sr, filter_scale, nullptr, gamma);
  const double edge_share = std::max(0.25, cutoff / sr);  // highest band edge / rate an octave may have
  auto end_of = [&](int i) { return n_bins - i * octave_bins; };
  auto first_of = [&](int i) { return std::max(0, end_of(i) - octave_bins); };
  double rate_ratio = 1.0;  // octave rate / reference rate, a power of two
  for (int i = 0; i < n_octaves; ++i) {
    OctaveSpan octave;
    octave.end_bin = end_of(i);
    octave.first_bin = first_of(i);
    octave.sr = sr;
    octave.hop = hop;
    octave.len = len;
    octave.n_frames = len / hop + 1;
    // Lengths scale exactly with the rate (a power of two), so the
    // reference lengths give every octave's.
    double longest = 0.0;
    octave.shortest_filter = std::numeric_limits<double>::infinity();
    octave.shortest_bin = octave.first_bin;
    for (int b = octave.first_bin; b < octave.end_bin; ++b) {
      const double length = lengths_at_reference[b] * rate_ratio;
      if (length < octave.shortest_filter) {
        octave.shortest_filter = length;
        octave.shortest_bin = b;
      }
      longest = std::isnan(length) ? length : std::max(longest, length);
      if (std::isnan(longest)) break;
    }
    octave.longest_filter = longest;
    octave.n_fft = longest >= 0.0 && longest <= max_filter_length ? fft_length_for(longest) : 0;
    octave.halve_after = hop % 2 == 0 && i + 1 < n_octaves;
    if (octave.halve_after && gamma > 0.0) {
      const double edge = highest_band_edge(freqs, alpha, first_of(i + 1), end_of(i + 1), filter_scale, gamma);
      octave.halve_after = edge <= edge_share * (0.5 * sr);
    }
    plan.n_frames = std::min(plan.n_frames, octave.n_frames);
    plan.octaves.push_back(octave);
    if (octave.halve_after) {
      len = halved_length(len);
      hop /= 2;
      sr = 0.5 * sr;
      rate_ratio *= 0.5;
    }
  }
  return plan;
}

}  // namespace detail
}  // namespace morvat::vexolin

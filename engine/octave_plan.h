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

// Highest frequency any kernel of bins first .. end - 1 has weight at.
inline double highest_kernel_edge(const std::vector<double>& freqs, const std::vector<double>& alpha, int first,
                                  int end, double filter_scale, double gamma) {
  double highest = 0.0;
  for (int b = first; b < end; ++b) {
    highest = std::max(highest, kernel_band_edge(freqs[b], bin_quality(alpha[b], freqs[b], filter_scale, gamma)));
  }
  return highest;
}

// The halving filter passes up to 0.8 of the halved Nyquist limit flat
// (ripple under 1e-4) with aliases more than 80 dB down; above that it
// falls (-0.28 dB at 0.9, -6 dB at the limit) and lets aliases in.
constexpr double halving_flat_share = 0.8;

// The one rule of when a signal at rate sr may be halved for kernels that
// reach up to edge Hz: only when all of their kept weights stay where the
// halving filter is flat. Otherwise they run at the rate above, so a bin's
// value never depends on which other bins the call computes.
inline bool halving_keeps_band(double edge, double sr) { return edge <= halving_flat_share * (0.25 * sr); }

// The plan of a call on len samples. freqs and alpha are the whole bin grid;
// cutoff its highest pass-band edge. Lengths are 64-bit throughout, so
// 2^31 - 1 samples plan without overflow.
//
// Every halving, early or between octaves, follows halving_keeps_band for
// the kernels computed from the halved signal. A constant-Q grid whose top
// kernels stay within 0.8 of the Nyquist limit halves while the hop is even;
// a top octave nearer the limit keeps the next octave at its own rate, after
// which every lower octave fits the halved rate again. Bands widened by
// gamma do not halve with the frequency, so low octaves may stay at the rate
// above more than once.
inline OctavePlan plan_octaves(std::int64_t len, double sr, int hop, const std::vector<double>& freqs,
                               const std::vector<double>& alpha, int bins_per_octave, double filter_scale,
                               double cutoff, double gamma = 0.0) {
  const int n_bins = static_cast<int>(freqs.size());
  const int n_octaves = octave_count(n_bins, bins_per_octave);
  OctavePlan plan;
  const double top_edge = highest_kernel_edge(freqs, alpha, 0, n_bins, filter_scale, gamma);
  const int early = count_early_halvings(sr, cutoff, hop, n_octaves);
  while (plan.early_halvings < early && halving_keeps_band(top_edge, std::ldexp(sr, -plan.early_halvings))) {
    ++plan.early_halvings;
  }
  for (int i = 0; i < plan.early_halvings; ++i) {
    len = halved_length(len);
    hop /= 2;
    sr = 0.5 * sr;
  }
  plan.sr_reference = sr;
  plan.n_frames = std::numeric_limits<std::int64_t>::max();

  const int octave_bins = std::min(bins_per_octave, n_bins);
  const std::vector<double> lengths_at_reference = filter_lengths(freqs, alpha, sr, filter_scale, nullptr, gamma);
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
    octave.halve_after =
        hop % 2 == 0 && i + 1 < n_octaves &&
        halving_keeps_band(highest_kernel_edge(freqs, alpha, first_of(i + 1), end_of(i + 1), filter_scale, gamma), sr);
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

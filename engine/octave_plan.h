// Octave bookkeeping of the driver: how many octaves, how many decimations
// before the first one, and the frame count common to all of them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace morvat::vexolin {
namespace {

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

// Decimations before the first octave: as many as the top bin's pass band
// allows with two octaves of margin, but no more than the hop can absorb
// while still leaving a factor of two for every later octave.
inline int early_downsampling_count(double sr, double cutoff, int hop, int n_octaves) {
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

// Smallest frame count over all octaves, each octave halving length and hop
// while the hop is even. 64 bits: 2^31 - 1 samples at hop 1 give 2^31 frames.
inline std::int64_t common_frame_count(int len, int hop, int n_octaves) {
  std::int64_t n_frames = std::numeric_limits<std::int64_t>::max();
  for (int i = 0; i < n_octaves; ++i) {
    n_frames = std::min<std::int64_t>(n_frames, len / hop + std::int64_t{1});
    if (hop % 2 != 0) break;  // nothing changes for the later octaves
    len = (len + 1) / 2;
    hop /= 2;
  }
  return n_frames;
}

}  // namespace
}  // namespace morvat::vexolin

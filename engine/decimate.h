// Halves the sample rate of a float32 signal: a 65-tap half-band low-pass
// (Kaiser window, beta 8), every second output kept, scaled by sqrt(2).
// Only the centre tap and the 32 odd taps are non-zero, and the odd taps are
// symmetric, so each output costs 17 multiplications and 32 additions.
#pragma once

#include "engine/cancel.h"

#include <cstdint>

namespace morvat::vexolin {

// The non-zero taps of the filter h[0 .. 64]: centre = h[32] and
// odd_taps[j] = h[2j + 1]. The filter is symmetric, h[i] = h[64 - i].
struct HalfBandTaps {
  float centre;
  float odd_taps[32];
};

constexpr int half_band_length = 65;
constexpr int half_band_centre = 32;

// Output m of a halving reads input samples 2m - half_band_reach ..
// 2m + half_band_reach: the taps on either side of the centre.
constexpr std::int64_t half_band_reach = half_band_centre;

// The first input sample output m reads, and one past the last.
inline std::int64_t halving_input_begin(std::int64_t m) { return 2 * m - half_band_reach; }
inline std::int64_t halving_input_end(std::int64_t m) { return 2 * m + half_band_reach + 1; }

// Kaiser-windowed ideal half-band filter, normalised to unit gain at 0 Hz.
HalfBandTaps design_half_band_taps();

// The taps, designed once per process (in decimate.cpp).
const HalfBandTaps& half_band_taps();

constexpr float sqrt_two_f = 1.4142135381698608f;

// Outputs per block: the block's samples stay in the first-level cache, and
// the cancel flag is looked at between blocks.
constexpr int decimation_block = 2048;

// Outputs begin <= m < end of the halved signal of a signal of n samples.
// x holds the signal from sample x_first on, at least samples
// halving_input_begin(begin) .. halving_input_end(end - 1) - 1 of it where
// they exist; out receives output m at
// out[m - out_first]. Samples outside 0 .. n - 1 are zeros. In decimate.cpp.
void decimate_span(const float* x, std::int64_t x_first, std::int64_t n, float* out, std::int64_t out_first,
                   std::int64_t begin, std::int64_t end, const CancelFlag& cancel);

}  // namespace morvat::vexolin

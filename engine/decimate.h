// Halves the sample rate of a float32 signal: a 65-tap half-band low-pass
// (Kaiser window, beta 8), every second output kept, scaled by sqrt(2).
// Only the centre tap and the 32 odd taps are non-zero, and the odd taps are
// symmetric, so each output costs 17 multiplications and 32 additions.
#pragma once

#include "engine/cancel.h"
#include "engine/thread_plan.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvat::vexolin {

// The non-zero taps of the filter h[0 .. 64]: centre = h[32] and
// odd_taps[j] = h[2j + 1]. The filter is symmetric, h[i] = h[64 - i].
struct HalfBandTaps {
  float centre;
  float odd_taps[32];
};

constexpr int half_band_length = 65;
constexpr int half_band_centre = 32;

// Kaiser-windowed ideal half-band filter, normalised to unit gain at 0 Hz.
HalfBandTaps design_half_band_taps();

// The taps, designed once per process (in decimate.cpp).
const HalfBandTaps& half_band_taps();

constexpr float sqrt_two_f = 1.4142135381698608f;

// Outputs per block: the block's samples stay in the first-level cache, and
// the cancel flag is looked at between blocks.
constexpr int decimation_block = 2048;

// Outputs below this count are computed on the calling thread; above it,
// each worker thread gets at least half of it (a few hundred microseconds).
constexpr int min_threaded_outputs = 1 << 17;
constexpr int min_outputs_per_worker = 1 << 16;

// Outputs begin <= m < end of the halved signal of a signal of n samples.
// x holds the signal from sample x_first on, at least samples 2 * begin - 32
// .. 2 * (end - 1) + 32 of it where they exist; out receives output m at
// out[m - out_first]. Samples outside 0 .. n - 1 are zeros. In decimate.cpp.
void decimate_span(const float* x, std::int64_t x_first, std::int64_t n, float* out, std::int64_t out_first,
                   std::int64_t begin, std::int64_t end, const CancelFlag& cancel);

inline int halved_size(int n) { return static_cast<int>((static_cast<std::int64_t>(n) + 1) / 2); }

// out[m] = sqrt(2) * sum_i h[i] * x[2m + i - 32], x read as 0 outside
// 0 .. n - 1, for the halved_size(n) outputs. x and out must not overlap.
// Long signals are filtered on up to n_threads worker threads. Needs no
// memory beyond out.
inline void decimate_by_two(const float* x, int n, float* out, int n_threads, const CancelFlag& cancel = {}) {
  const int m_out = halved_size(n);
  const std::vector<WorkBlock> blocks =
      m_out < min_threaded_outputs
          ? std::vector<WorkBlock>{}
          : plan_blocks(m_out, n_threads, min_threaded_outputs, min_outputs_per_worker);
  if (blocks.empty()) {
    decimate_span(x, 0, n, out, 0, 0, m_out, cancel);
  } else {
    run_blocks_on_threads(blocks, [&](int begin, int end) { decimate_span(x, 0, n, out, 0, begin, end, cancel); });
  }
}

}  // namespace morvat::vexolin

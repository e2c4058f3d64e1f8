// Halves the sample rate of a float32 signal: a 65-tap half-band low-pass
// (Kaiser window, beta 8), every second output kept, scaled by sqrt(2).
// Only the centre tap and the 32 odd taps are non-zero, so each output costs
// 33 multiply-adds.
#pragma once

#include "engine/aligned_vector.h"
#include "engine/cancel.h"
#include "engine/thread_plan.h"

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

// Reused across the decimations of one driver call; allocations only grow.
struct DecimationScratch {
  AlignedVector even;    // x[0], x[2], x[4], ...
  AlignedVector padded;  // 16 zeros, x[1], x[3], ..., zeros to the end
};

constexpr float sqrt_two_f = 1.4142135381698608f;

// Four float32 lanes; GCC and Clang lower it to the target's SIMD registers.
typedef float Lanes4 __attribute__((vector_size(16)));

inline Lanes4 load_lanes(const float* p) {
  Lanes4 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// Outputs below this count are computed on the calling thread; above it,
// each worker thread gets at least half of it (a few hundred microseconds).
constexpr int min_threaded_outputs = 1 << 17;
constexpr int min_outputs_per_worker = 1 << 16;

// Odd-tap sums of the 16 outputs m .. m + 15, four outputs per vector: each
// tap is multiplied into four consecutive windows at once, so no horizontal
// sums are needed and the four accumulators run independently. Every lane
// adds its 32 products in tap order, exactly as odd_tap_sum does.
inline void odd_tap_sums_16(const HalfBandTaps& taps, const float* padded, int m, float* sums) {
  Lanes4 acc[4] = {};
  for (int j = 0; j < 32; ++j) {
    const Lanes4 tap = {taps.odd_taps[j], taps.odd_taps[j], taps.odd_taps[j], taps.odd_taps[j]};
    const float* window = padded + m + j;
    for (int v = 0; v < 4; ++v) acc[v] += tap * load_lanes(window + 4 * v);
  }
  __builtin_memcpy(sums, acc, sizeof acc);
}

inline float odd_tap_sum(const HalfBandTaps& taps, const float* padded, int m) {
  float acc = 0.0f;
  for (int j = 0; j < 32; ++j) acc += taps.odd_taps[j] * padded[m + j];
  return acc;
}

// Outputs begin <= m < end. Each output is computed by the same operations
// whichever path or thread computes it, so results do not depend on how the
// outputs are split.
inline void filter_outputs(const HalfBandTaps& taps, const float* even, const float* padded, float* out, int begin,
                           int end) {
  int m = begin;
  float sums[16];
  for (; m + 16 <= end; m += 16) {
    odd_tap_sums_16(taps, padded, m, sums);
    for (int k = 0; k < 16; ++k) out[m + k] = (taps.centre * even[m + k] + sums[k]) * sqrt_two_f;
  }
  for (; m < end; ++m) out[m] = (taps.centre * even[m] + odd_tap_sum(taps, padded, m)) * sqrt_two_f;
}

// Outputs filtered between two looks at the cancel flag.
constexpr int decimation_poll_interval = 1 << 15;

inline void filter_outputs(const HalfBandTaps& taps, const float* even, const float* padded, float* out, int begin,
                           int end, const CancelFlag& cancel) {
  for (int from = begin; from < end;) {
    cancel.stop_if_raised();
    const int to = end - from > decimation_poll_interval ? from + decimation_poll_interval : end;
    filter_outputs(taps, even, padded, out, from, to);
    from = to;
  }
}

// out[m] = sqrt(2) * sum_i h[i] * x[2m + i - 32], x read as 0 outside
// 0 .. n - 1; out has (n + 1) / 2 samples. x and out must not overlap.
// Long signals are filtered on worker threads (VEXOLIN_THREADS or the
// hardware count).
inline void decimate_by_two(const float* x, int n, std::vector<float>& out, DecimationScratch& scratch,
                            const CancelFlag& cancel = {}) {
  const HalfBandTaps& taps = half_band_taps();
  // 64 bits: n + 1 overflows an int at n = 2^31 - 1.
  const int m_out = static_cast<int>((static_cast<std::int64_t>(n) + 1) / 2);
  const int n_odd = n / 2;

  scratch.even.resize(static_cast<std::size_t>(m_out));
  scratch.padded.resize(static_cast<std::size_t>(m_out) + 31);
  float* even = scratch.even.data();
  float* padded = scratch.padded.data();

  // The odd samples go between 16 zeros in front and zeros behind, so that
  // the 32 odd-tap products of output m read padded[m .. m + 31] with no
  // bounds tests at either end.
  const std::size_t padded_size = scratch.padded.size();
  for (std::size_t i = 0; i < 16; ++i) padded[i] = 0.0f;
  for (int i = 0; i < n_odd; ++i) {
    even[i] = x[2 * static_cast<std::size_t>(i)];
    padded[16 + i] = x[2 * static_cast<std::size_t>(i) + 1];
  }
  if (n % 2 != 0) even[n_odd] = x[n - 1];
  for (std::size_t i = 16 + static_cast<std::size_t>(n_odd); i < padded_size; ++i) padded[i] = 0.0f;

  out.resize(static_cast<std::size_t>(m_out));
  float* y = out.data();
  const std::vector<FrameBlock> blocks =
      m_out < min_threaded_outputs
          ? std::vector<FrameBlock>{}
          : plan_blocks(m_out, requested_threads(), min_threaded_outputs, min_outputs_per_worker);
  if (blocks.empty()) {
    filter_outputs(taps, even, padded, y, 0, m_out, cancel);
  } else {
    run_blocks_on_threads(blocks,
                          [&](int begin, int end) { filter_outputs(taps, even, padded, y, begin, end, cancel); });
  }
}

}  // namespace morvat::vexolin

#include "engine/decimate.h"
#include "engine/simd_versions.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace morvat::vexolin {
// The ideal response already carries the window's 1 / I0(8), so the window
// is applied as the bare power series of I0.
HalfBandTaps design_half_band_taps() {
  double h[half_band_length];
  double total = 0.0;
  for (int i = 0; i < half_band_length; ++i) {
    const double t = i * 0.03125 - 1.0;
    const double q = t * t;
    double a = 0.0;
    if (i == half_band_centre || q < 1.0) {
      const double r = std::sqrt(1.0 - q) * 8.0;
      a = r * r * 0.25;
    }
    // I0(8 sqrt(1 - t^2)) by its power series, 40 terms.
    double term = 1.0;
    double window = term;
    for (int k = 1; k < 40; ++k) {
      term = term * (a / static_cast<double>(k * k));
      window += term;
    }
    double ideal;
    if (i == half_band_centre) {
      ideal = 0.0011694152563666634;  // 0.5 / I0(8)
    } else {
      const double d = static_cast<double>(i - half_band_centre);
      ideal = std::sin(1.5707963267948966 * d) * 0.3183098861837907 / d * 0.002338830512733327;
    }
    h[i] = window * ideal;
    total += h[i];
  }
  const double unit_gain = 1.0 / total;
  for (double& tap : h) tap *= unit_gain;

  HalfBandTaps taps;
  taps.centre = static_cast<float>(h[half_band_centre]);
  for (int j = 0; j < 32; ++j) taps.odd_taps[j] = static_cast<float>(h[2 * j + 1]);
  return taps;
}

namespace {

// Taps as the filter loop reads them: the centre, and the 16 distinct odd
// taps h[2j + 1] = h[63 - 2j], j = 0 .. 15.
struct FoldedTaps {
  float centre;
  float odd[16];
};

// Splits samples 2k, 2k + 1 for k = k0 .. k0 + count - 1 into even[] and
// odd[], zeros outside the signal; x holds the signal from x_first on.
// Inlined into each instruction-set version, whose vectors then split the pairs.
__attribute__((always_inline)) inline void deinterleave(const float* x, std::int64_t x_first, std::int64_t n,
                                                       std::int64_t k0, int count, float* even, float* odd) {
  int i = 0;
  if (k0 < 0) {
    for (; i < count && k0 + i < 0; ++i) even[i] = odd[i] = 0.0f;
  }
  // Pairs wholly inside the signal.
  const std::int64_t inside = std::min<std::int64_t>(count, n / 2 - k0);
  if (i < inside) {
    const float* pair = x + (2 * (k0 + i) - x_first);
    for (; i < inside; ++i, pair += 2) {
      even[i] = pair[0];
      odd[i] = pair[1];
    }
  }
  for (; i < count; ++i) {
    const std::int64_t t = 2 * (k0 + i);
    even[i] = t < n ? x[t - x_first] : 0.0f;
    odd[i] = t + 1 < n ? x[t + 1 - x_first] : 0.0f;
  }
}

// Outputs m0 .. m0 + count - 1 (count <= decimation_block) into out[0 ..
// count - 1]; x holds the signal from x_first on. Output m reads
// the even sample 2m and the odd samples 2m - 31 .. 2m + 31, that is odd
// samples m - 16 .. m + 15 of the block's deinterleaved window; the two
// samples under one odd tap are added before the multiplication. Outputs run
// as the lanes of vectors of Width floats, each adding its terms in the same
// order, so results depend neither on how the outputs are split nor on the
// width.
template <int Width>
__attribute__((always_inline)) inline void decimate_block_as(const FoldedTaps& taps, const float* x,
                                                             std::int64_t x_first, std::int64_t n, std::int64_t m0,
                                                             int count, float* out) {
  using V = typename LanesOf<Width>::type;
  alignas(64) float even[decimation_block + 32];
  alignas(64) float odd[decimation_block + 32];
  const int window = count + 31;  // pairs m0 - 16 .. m0 + count + 14
  deinterleave(x, x_first, n, m0 - 16, window, even, odd);
  const float* e = even + 16;
  int m = 0;
  for (; m + Width <= count; m += Width) {
    V acc;
    V a;
    V b;
    std::memcpy(&acc, e + m, sizeof acc);
    acc *= taps.centre;
    for (int j = 0; j < 16; ++j) {
      std::memcpy(&a, odd + m + j, sizeof a);
      std::memcpy(&b, odd + m + 31 - j, sizeof b);
      acc += (a + b) * taps.odd[j];
    }
    acc *= sqrt_two_f;
    std::memcpy(out + m, &acc, sizeof acc);
  }
  for (; m < count; ++m) {
    float acc = e[m] * taps.centre;
    for (int j = 0; j < 16; ++j) acc += (odd[m + j] + odd[m + 31 - j]) * taps.odd[j];
    out[m] = acc * sqrt_two_f;
  }
}

void decimate_block_sse(const FoldedTaps& taps, const float* x, std::int64_t x_first, std::int64_t n,
                        std::int64_t m0, int count, float* out) {
  decimate_block_as<4>(taps, x, x_first, n, m0, count, out);
}

VEXOLIN_TARGET_AVX2 void decimate_block_avx2(const FoldedTaps& taps, const float* x, std::int64_t x_first,
                                             std::int64_t n, std::int64_t m0, int count, float* out) {
  decimate_block_as<8>(taps, x, x_first, n, m0, count, out);
}

VEXOLIN_TARGET_AVX512 void decimate_block_avx512(const FoldedTaps& taps, const float* x, std::int64_t x_first,
                                                 std::int64_t n, std::int64_t m0, int count, float* out) {
  decimate_block_as<16>(taps, x, x_first, n, m0, count, out);
}

using DecimateBlock = void (*)(const FoldedTaps&, const float*, std::int64_t, std::int64_t, std::int64_t, int,
                               float*);

FoldedTaps fold(const HalfBandTaps& taps) {
  FoldedTaps folded;
  folded.centre = taps.centre;
  for (int j = 0; j < 16; ++j) folded.odd[j] = taps.odd_taps[j];
  return folded;
}

// Designed before main: no first-use guard that a fork could catch half-way.
const HalfBandTaps taps_of_the_process = design_half_band_taps();

const FoldedTaps folded_taps_of_the_process = fold(taps_of_the_process);

// Chosen before main too.
const DecimateBlock decimate_block =
    widest_simd_version<DecimateBlock>(decimate_block_sse, decimate_block_avx2, decimate_block_avx512);

}  // namespace

const HalfBandTaps& half_band_taps() { return taps_of_the_process; }

void decimate_span(const float* x, std::int64_t x_first, std::int64_t n, float* out, std::int64_t out_first,
                   std::int64_t begin, std::int64_t end, const CancelFlag& cancel) {
  for (std::int64_t m0 = begin; m0 < end; m0 += decimation_block) {
    cancel.stop_if_raised();
    const int count = static_cast<int>(std::min<std::int64_t>(decimation_block, end - m0));
    decimate_block(folded_taps_of_the_process, x, x_first, n, m0, count, out + (m0 - out_first));
  }
}

}  // namespace morvat::vexolin

#include "engine/decimate.h"

#include <cmath>

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

// Designed before main: no first-use guard that a fork could catch half-way.
const HalfBandTaps taps_of_the_process = design_half_band_taps();

}  // namespace

const HalfBandTaps& half_band_taps() { return taps_of_the_process; }

}  // namespace morvat::vexolin

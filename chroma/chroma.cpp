// Folds CQT magnitudes onto pitch classes and scales every frame so that its
// largest value is 1.
#include "chroma/chroma.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvat::vexolin {
namespace {

constexpr double log2_a440 = 8.78135971352466;
constexpr double one_twelfth = 0.08333333333333333;
constexpr double below_half = 0.49999999999999994;  // largest double below 0.5
constexpr float silence = 1e-20f;

void validate(int bins_per_octave, int n_chroma, double fmin) {
  if (bins_per_octave < 1) {
    throw std::invalid_argument("bins_per_octave must be >= 1, got " + std::to_string(bins_per_octave));
  }
  if (n_chroma < 1 || n_chroma > bins_per_octave) {
    throw std::invalid_argument("n_chroma must be between 1 and bins_per_octave = " +
                                std::to_string(bins_per_octave) + ", got " + std::to_string(n_chroma));
  }
  if (!(std::isfinite(fmin) && fmin > 0.0)) {
    throw std::invalid_argument("fmin must be a finite frequency > 0 Hz, got " + std::to_string(fmin));
  }
}

// Chroma steps from the pitch class C up to fmin, rounded to the nearest
// step (halves away from zero), in 0 .. n_chroma - 1.
int chroma_shift(double fmin, int n_chroma) {
  const double midi = (std::log2(fmin) - log2_a440) * 12.0 + 69.0;
  const double within_octave = std::fmod(midi, 12.0);
  const double steps = within_octave * (static_cast<double>(n_chroma) * one_twelfth);
  const long long rounded = static_cast<long long>(std::trunc(steps + std::copysign(below_half, steps)));
  return static_cast<int>(((rounded % n_chroma) + n_chroma) % n_chroma);
}

}  // namespace

CqtMagnitude chroma_from_magnitude(const CqtMagnitude& magnitude, int bins_per_octave, int n_chroma,
                                   double fmin) {
  validate(bins_per_octave, n_chroma, fmin);
  const int per_class = bins_per_octave / n_chroma;
  const int half_width = per_class / 2;
  const int shift = chroma_shift(fmin, n_chroma);
  const std::size_t n_frames = static_cast<std::size_t>(magnitude.n_frames);

  CqtMagnitude chroma;
  chroma.n_bins = n_chroma;
  chroma.n_frames = magnitude.n_frames;
  chroma.mag.assign(static_cast<std::size_t>(n_chroma) * n_frames, 0.0f);

  // Bin b belongs to class ((b mod B) + H) mod B / R and lands in row
  // (class + shift) mod N; every row sums its bins in ascending order.
  for (int b = 0; b < magnitude.n_bins; ++b) {
    const int pitch_class = ((b % bins_per_octave) + half_width) % bins_per_octave / per_class;
    if (pitch_class >= n_chroma) continue;  // bins left over when N does not divide B
    const int row = (pitch_class + shift) % n_chroma;
    const float* from = magnitude.mag.data() + static_cast<std::size_t>(b) * n_frames;
    float* to = chroma.mag.data() + static_cast<std::size_t>(row) * n_frames;
    for (std::size_t t = 0; t < n_frames; ++t) to[t] += from[t];
  }

  // Peak of every frame, taken over the rows in order; a NaN becomes the
  // running peak until the next comparable value replaces it.
  std::vector<float> peak(n_frames, 0.0f);
  for (int i = 0; i < n_chroma; ++i) {
    const float* row = chroma.mag.data() + static_cast<std::size_t>(i) * n_frames;
    for (std::size_t t = 0; t < n_frames; ++t) {
      const float a = std::fabs(row[t]);
      if (!(peak[t] > a)) peak[t] = a;
    }
  }
  // Frames at or below the silence level are left as they are.
  std::vector<float>& scale = peak;
  for (std::size_t t = 0; t < n_frames; ++t) scale[t] = 1.0f / (silence < peak[t] ? peak[t] : 1.0f);
  for (int i = 0; i < n_chroma; ++i) {
    float* row = chroma.mag.data() + static_cast<std::size_t>(i) * n_frames;
    for (std::size_t t = 0; t < n_frames; ++t) row[t] *= scale[t];
  }
  return chroma;
}

}  // namespace morvat::vexolin

// Folds CQT magnitudes onto pitch classes and scales every frame so that its
// largest value is 1.
#include "chroma/chroma.h"

#include "engine/bin_grid.h"
#include "engine/errors.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvat::vexolin {
namespace {

constexpr double log2_a440 = 8.78135971352466;
constexpr double one_twelfth = 0.08333333333333333;
constexpr double below_half = 0.49999999999999994;  // largest double below 0.5
constexpr float silence = 1e-20f;

void validate_layout(int bins_per_octave, int n_chroma) {
  if (bins_per_octave < 1) throw argument_error("bins_per_octave must be >= 1, got ", bins_per_octave);
  if (n_chroma < 1 || n_chroma > bins_per_octave) {
    throw argument_error("n_chroma must be between 1 and bins_per_octave = ", bins_per_octave, ", got ", n_chroma);
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

// The most whole octaves, at most `upper`, whose top bin lies below the
// Nyquist limit: estimated from the octaves between fmin and the limit, then
// settled by the engine's own test.
int largest_octave_count_below(double sr, double fmin, int bins_per_octave, int upper) {
  auto fits = [&](int n) { return top_bin_below_nyquist(fmin, n * bins_per_octave, bins_per_octave, sr); };
  // The top bin of n octaves lies n - 1 / B octaves above fmin.
  const double octaves = std::log2(0.5 * sr / effective_fmin(fmin)) + 1.0 / bins_per_octave;
  int n = std::isfinite(octaves) ? static_cast<int>(std::clamp(std::floor(octaves), 0.0, static_cast<double>(upper))) : 0;
  while (n >= 1 && !fits(n)) --n;
  while (n < upper && fits(n + 1)) ++n;
  return n;
}

}  // namespace

ChromaPlan plan_chroma(std::size_t len, double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma,
                       double fmin, double filter_scale) {
  validate_layout(bins_per_octave, n_chroma);
  if (n_octaves < 1) throw argument_error("n_octaves must be >= 1, got ", n_octaves);
  const std::int64_t n_bins = static_cast<std::int64_t>(n_octaves) * bins_per_octave;
  if (n_bins > std::numeric_limits<int>::max()) {
    throw argument_error("n_octaves * bins_per_octave must be at most 2147483647, got ", n_octaves, " * ",
                         bins_per_octave, " = ", n_bins);
  }
  if (n_bins < 2) {
    throw argument_error("n_octaves * bins_per_octave must be >= 2, got ", n_octaves, " * ", bins_per_octave);
  }
  // The pitch-class shift needs the frequency bin 0 really lies at.
  const double bin0_fmin = effective_fmin(fmin);
  ChromaPlan plan;
  try {
    plan.cqt = plan_cqt(len, {sr, hop, bin0_fmin, static_cast<int>(n_bins), bins_per_octave, filter_scale});
  } catch (const TopBinAtOrAboveNyquist& e) {
    const int fits = largest_octave_count_below(sr, bin0_fmin, bins_per_octave, n_octaves - 1);
    const std::string advice = fits >= 1 ? error_message("use n_octaves = ", fits, " or fewer, or raise sr")
                                         : error_message("no whole octave from fmin = ", bin0_fmin,
                                                         " Hz fits below it; lower fmin or raise sr");
    throw argument_error("n_octaves = ", n_octaves, " puts the top bin at ", e.top_hz,
                         " Hz, at or above the Nyquist limit sr / 2 = ", e.nyquist_hz, " Hz; ", advice);
  }
  plan.n_chroma = n_chroma;
  plan.rows = chroma_rows(plan.cqt.n_bins, bins_per_octave, n_chroma, bin0_fmin);
  return plan;
}

void run_chroma(const ChromaPlan& plan, const float* y, float* out, int n_threads, const CancelFlag& cancel) {
  fold_chroma(plan, y, out, n_threads, cancel);
  normalise_chroma(out, plan.n_chroma, plan.cqt.n_frames);
}

void fold_chroma(const ChromaPlan& plan, const float* y, float* out, int n_threads, const CancelFlag& cancel) {
  // Magnitudes are added into their pitch-class rows as they are computed.
  std::fill_n(out, static_cast<std::size_t>(plan.n_chroma) * static_cast<std::size_t>(plan.cqt.n_frames), 0.0f);
  CqtTarget target;
  target.mag = out;
  target.mag_row = plan.rows.data();
  run_cqt(plan.cqt, y, target, n_threads, cancel);
}

std::vector<int> chroma_rows(int n_bins, int bins_per_octave, int n_chroma, double fmin) {
  validate_layout(bins_per_octave, n_chroma);
  if (!(std::isfinite(fmin) && fmin > 0.0)) {
    throw argument_error("fmin must be a finite frequency > 0 Hz, got ", fmin);
  }
  const int per_class = bins_per_octave / n_chroma;
  const int half_width = per_class / 2;
  const int shift = chroma_shift(fmin, n_chroma);
  // Bin b belongs to class ((b mod B) + H) mod B / R and lands in row
  // (class + shift) mod N.
  std::vector<int> rows(static_cast<std::size_t>(std::max(n_bins, 0)));
  for (int b = 0; b < n_bins; ++b) {
    const int pitch_class = ((b % bins_per_octave) + half_width) % bins_per_octave / per_class;
    // Bins left over when N does not divide B belong to no row.
    rows[b] = pitch_class >= n_chroma ? -1 : (pitch_class + shift) % n_chroma;
  }
  return rows;
}

void normalise_chroma(float* chroma, int n_chroma, int n_frames) {
  normalise_chroma_columns(chroma, n_chroma, static_cast<std::size_t>(n_frames), n_frames);
}

void normalise_chroma_columns(float* chroma, int n_chroma, std::size_t row_stride, int n_frames) {
  const std::size_t frames = static_cast<std::size_t>(n_frames);
  // Peak of every frame, taken over the rows in order; a NaN becomes the
  // running peak until the next comparable value replaces it.
  std::vector<float> peak(frames, 0.0f);
  for (int i = 0; i < n_chroma; ++i) {
    const float* row = chroma + static_cast<std::size_t>(i) * row_stride;
    for (std::size_t t = 0; t < frames; ++t) {
      const float a = std::fabs(row[t]);
      if (!(peak[t] > a)) peak[t] = a;
    }
  }
  // Frames at or below the silence level are left as they are.
  std::vector<float>& scale = peak;
  for (std::size_t t = 0; t < frames; ++t) scale[t] = 1.0f / (silence < peak[t] ? peak[t] : 1.0f);
  for (int i = 0; i < n_chroma; ++i) {
    float* row = chroma + static_cast<std::size_t>(i) * row_stride;
    for (std::size_t t = 0; t < frames; ++t) row[t] *= scale[t];
  }
}

}  // namespace morvat::vexolin

// Test helpers shared by the C++ tests: signals, the engine's calls run into
// vectors as the module runs them into its arrays, and bitwise comparison.
#pragma once

#include "chroma/chroma.h"
#include "engine/bin_grid.h"
#include "engine/cqt.h"
#include "engine/hcqt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace morvat::vexolin {

constexpr double c1 = default_fmin;

inline std::vector<float> sine(double freq, double sr, std::size_t n) {
  std::vector<float> y(n);
  for (std::size_t i = 0; i < n; ++i) y[i] = static_cast<float>(std::sin(6.283185307179586 * freq * i / sr));
  return y;
}

// A slow sinusoid under Gaussian noise: every bin and every octave has content.
inline std::vector<float> noisy_signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::vector<float> y(n);
  for (std::size_t i = 0; i < n; ++i) y[i] = 0.5f * std::sin(0.031f * static_cast<float>(i)) + noise(rng);
  return y;
}

// A transform's layout, named for test messages.
struct Layout {
  double sr;
  int hop;
  double fmin;
  int n_bins;
  int bins_per_octave;
  const char* what;
  double gamma = 0.0;
  double filter_scale = 1.0;

  CqtParams params() const { return {sr, hop, fmin, n_bins, bins_per_octave, filter_scale, 0.01, gamma}; }
};

// Complex values in two planes, or magnitudes, row-major by bin: element
// k * n_frames + t is bin k, frame t.
struct Computed {
  std::vector<float> re;
  std::vector<float> im;
  std::vector<float> mag;
  int n_bins = 0;
  int n_frames = 0;
};

inline Computed compute(const float* y, std::size_t len, const CqtParams& p, bool magnitudes, int n_threads = 1,
                        const CancelFlag& cancel = {}) {
  const CqtPlan plan = plan_cqt(len, p);
  Computed result;
  result.n_bins = plan.n_bins;
  result.n_frames = plan.n_frames;
  const std::size_t n_values = static_cast<std::size_t>(plan.n_bins) * static_cast<std::size_t>(plan.n_frames);
  CqtTarget target;
  if (magnitudes) {
    result.mag.resize(n_values);
    target.mag = result.mag.data();
  } else {
    result.re.resize(n_values);
    result.im.resize(n_values);
    target.re = result.re.data();
    target.im = result.im.data();
  }
  run_cqt(plan, y, target, n_threads, cancel);
  return result;
}

inline Computed compute_complex(const float* y, std::size_t len, const CqtParams& p, int n_threads = 1,
                                const CancelFlag& cancel = {}) {
  return compute(y, len, p, false, n_threads, cancel);
}

inline Computed compute_magnitude(const float* y, std::size_t len, const CqtParams& p, int n_threads = 1,
                                  const CancelFlag& cancel = {}) {
  return compute(y, len, p, true, n_threads, cancel);
}

// The three outputs the module makes: interleaved complex values,
// magnitudes, or chroma of 12 pitch classes over the same bins.
enum class Output { complex, magnitude, chroma };

// A target of n_values values of the output kind in `out` (resized).
inline CqtTarget target_into(std::vector<float>& out, Output output, std::size_t n_values) {
  CqtTarget target;
  if (output == Output::complex) {
    out.resize(2 * n_values);
    target.re = out.data();
    target.im = out.data() + 1;
    target.stride = 2;
  } else {
    out.resize(n_values);
    target.mag = out.data();
  }
  return target;
}

// The planned call run into a vector, on n_threads threads.
inline std::vector<float> run_plan(const CqtPlan& plan, const std::vector<float>& y, Output output, int n_threads) {
  std::vector<float> out;
  if (output == Output::chroma) {
    const int bins_per_octave = plan.params.bins_per_octave;
    const ChromaPlan chroma = plan_chroma(y.size(), plan.params.sr, plan.params.hop, bins_per_octave,
                                          plan.n_bins / bins_per_octave, 12, plan.params.fmin,
                                          plan.params.filter_scale);
    out.resize(12 * static_cast<std::size_t>(chroma.cqt.n_frames));
    run_chroma(chroma, y.data(), out.data(), n_threads);
    return out;
  }
  const CqtTarget target =
      target_into(out, output, static_cast<std::size_t>(plan.n_bins) * static_cast<std::size_t>(plan.n_frames));
  run_cqt(plan, y.data(), target, n_threads);
  return out;
}

// The harmonic transform run into a vector (complex or magnitudes).
inline std::vector<float> run_hcqt_plan(const HcqtPlan& plan, const std::vector<float>& y, Output output,
                                        int n_threads) {
  std::vector<float> out;
  const CqtTarget target = target_into(out, output,
                                       plan.harmonics.size() * static_cast<std::size_t>(plan.n_bins) *
                                           static_cast<std::size_t>(plan.n_frames));
  run_hcqt(plan, y.data(), target, n_threads);
  return out;
}

// Columns 0 .. n_frames - 1 of a row-major matrix of `width` floats per value.
inline std::vector<float> first_frames(const std::vector<float>& values, int n_rows, int n_frames_in, int n_frames,
                                       int width) {
  std::vector<float> out;
  for (int r = 0; r < n_rows; ++r) {
    const auto row = values.begin() + static_cast<std::ptrdiff_t>(r) * n_frames_in * width;
    out.insert(out.end(), row, row + static_cast<std::ptrdiff_t>(n_frames) * width);
  }
  return out;
}

inline void expect_bitwise_equal(const std::vector<float>& a, const std::vector<float>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float))) << what;
}

// Block sizes of 0 .. largest samples that add up to n.
inline std::vector<std::size_t> random_sizes(std::size_t n, unsigned seed, std::size_t largest) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> size(0, largest);
  std::vector<std::size_t> sizes;
  std::size_t left = n;
  while (left > 0) {
    const std::size_t s = std::min(left, size(rng));
    sizes.push_back(s);
    left -= s;
  }
  return sizes;
}

}  // namespace morvat::vexolin

#include "engine/octave_response.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace morvat::vexolin {
namespace {

constexpr double pi = 3.141592653589793;

// Rows with 0 .. 9 and 33 entries, so that every remainder after the groups
// of four occurs; the columns include DC and Nyquist.
SparseBasis random_basis(int n_fft, std::mt19937& rng) {
  const int half = n_fft / 2;
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  SparseBasis basis;
  basis.n_fft = n_fft;
  basis.row_offsets.push_back(0);
  for (int count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, half + 1}) {
    std::vector<int> cols(half + 1);
    for (int j = 0; j <= half; ++j) cols[j] = j;
    std::shuffle(cols.begin(), cols.end(), rng);
    cols.resize(count);
    std::sort(cols.begin(), cols.end());
    for (int col : cols) {
      basis.fft_bins.push_back(col);
      basis.weights.emplace_back(uniform(rng), uniform(rng));
    }
    basis.row_offsets.push_back(static_cast<int>(basis.fft_bins.size()));
  }
  basis.n_bins = static_cast<int>(basis.row_offsets.size()) - 1;
  attach_frame_layout(basis);
  return basis;
}

std::vector<float> random_signal(int len, std::mt19937& rng) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(static_cast<std::size_t>(len));
  for (float& v : x) v = uniform(rng);
  return x;
}

// Bin b of frame f straight from the definition, in double: a direct DFT of
// the centred, zero-padded frame times the row's weights.
std::complex<double> reference_value(const std::vector<float>& x, int hop, const SparseBasis& basis, int b,
                                     int f, double* scale) {
  const int n = basis.n_fft;
  const long start = static_cast<long>(f) * hop - n / 2;
  std::vector<double> frame(n, 0.0);
  double frame_l1 = 0.0;
  for (int t = 0; t < n; ++t) {
    const long i = start + t;
    if (i >= 0 && i < static_cast<long>(x.size())) frame[t] = x[i];
    frame_l1 += std::abs(frame[t]);
  }
  std::complex<double> sum = 0.0;
  double weight_l1 = 0.0;
  for (int e = basis.row_offsets[b]; e < basis.row_offsets[b + 1]; ++e) {
    const int col = basis.fft_bins[e];
    std::complex<double> spectrum = 0.0;
    for (int t = 0; t < n; ++t) {
      spectrum += frame[t] * std::polar(1.0, -2.0 * pi * col * t / n);
    }
    const std::complex<double> w(basis.weights[e].real(), basis.weights[e].imag());
    sum += spectrum * w;
    weight_l1 += std::abs(w);
  }
  *scale = frame_l1 * weight_l1;
  return sum;
}

void expect_matches_reference(const OctaveResponse& r, const std::vector<float>& x, int hop,
                              const SparseBasis& basis, const std::vector<int>& frames) {
  for (int f : frames) {
    for (int b = 0; b < basis.n_bins; ++b) {
      double scale = 0.0;
      const std::complex<double> want = reference_value(x, hop, basis, b, f, &scale);
      const std::size_t at = static_cast<std::size_t>(b) * r.n_frames + f;
      const double tolerance = 1e-6 * scale + 1e-30;
      EXPECT_NEAR(r.re[at], want.real(), tolerance) << "bin " << b << " frame " << f;
      EXPECT_NEAR(r.im[at], want.imag(), tolerance) << "bin " << b << " frame " << f;
    }
  }
}

TEST(OctaveResponse, MatchesDirectDftOfCentredZeroPaddedFrames) {
  std::mt19937 rng(12345);
  const SparseBasis basis = random_basis(64, rng);
  // Overlapping frames, frames with gaps between them, a signal shorter than
  // one frame, and frames that miss lying wholly inside the signal by one
  // sample at the start (hop 31: frame 1 starts at -1) or at the end (len 290,
  // hop 37: frame 7 ends at sample 290).
  for (auto [len, hop] : {std::pair{300, 37}, std::pair{450, 100}, std::pair{20, 7}, std::pair{64, 32},
                          std::pair{300, 31}, std::pair{290, 37}}) {
    const std::vector<float> x = random_signal(len, rng);
    // Loud samples on both sides of the signal show any read past its ends.
    std::vector<float> guarded(static_cast<std::size_t>(len) + 2 * 64, 1000.0f);
    std::copy(x.begin(), x.end(), guarded.begin() + 64);
    const OctaveResponse r = octave_response(guarded.data() + 64, len, hop, basis, 1);
    ASSERT_EQ(r.n_bins, basis.n_bins);
    ASSERT_EQ(r.n_frames, len / hop + 1);
    ASSERT_EQ(r.re.size(), static_cast<std::size_t>(r.n_bins) * r.n_frames);
    ASSERT_EQ(r.im.size(), r.re.size());
    std::vector<int> all(r.n_frames);
    for (int f = 0; f < r.n_frames; ++f) all[f] = f;
    SCOPED_TRACE("len " + std::to_string(len) + " hop " + std::to_string(hop));
    expect_matches_reference(r, x, hop, basis, all);
  }
}

TEST(OctaveResponse, RowWithoutEntriesAndEmptySignalGiveExactZeros) {
  std::mt19937 rng(7);
  const SparseBasis basis = random_basis(64, rng);
  ASSERT_EQ(basis.row_offsets[0], basis.row_offsets[1]);  // row 0 has no entries

  const std::vector<float> x = random_signal(500, rng);
  const OctaveResponse r = octave_response(x.data(), 500, 50, basis, 1);
  for (int f = 0; f < r.n_frames; ++f) {
    EXPECT_EQ(r.re[f], 0.0f);
    EXPECT_EQ(r.im[f], 0.0f);
  }

  const float unused = 1.0f;
  const OctaveResponse empty = octave_response(&unused, 0, 16, basis, 1);
  ASSERT_EQ(empty.n_frames, 1);
  ASSERT_EQ(empty.re.size(), static_cast<std::size_t>(basis.n_bins));
  for (int b = 0; b < basis.n_bins; ++b) {
    EXPECT_EQ(empty.re[b], 0.0f) << b;
    EXPECT_EQ(empty.im[b], 0.0f) << b;
  }

  SparseBasis no_rows;
  no_rows.n_fft = 64;
  no_rows.row_offsets = {0};
  const OctaveResponse none = octave_response(x.data(), 500, 50, no_rows, 1);
  EXPECT_EQ(none.n_frames, 11);
  EXPECT_EQ(none.re.size(), 0u);
  EXPECT_EQ(none.im.size(), 0u);
}

TEST(OctaveResponse, ResultIsBitIdenticalForEveryThreadCount) {
  // The top octave of an 84-bin, 12-per-octave grid at 22050 Hz (n_fft 256).
  const auto all_freqs = bin_frequencies(32.70319566257483, 84, 12);
  const auto all_alpha = bin_alpha(all_freqs);
  const std::vector<double> freqs(all_freqs.begin() + 72, all_freqs.end());
  const std::vector<double> alpha(all_alpha.begin() + 72, all_alpha.end());
  const SparseBasis basis = build_sparse_basis(freqs, alpha, 22050.0, 22050.0, 1.0, 0.01);
  ASSERT_EQ(basis.n_fft, 256);

  std::mt19937 rng(99);
  const int hop = 64;
  const int len = 2100 * hop + 17;
  std::vector<float> x = random_signal(len, rng);
  for (int i = 0; i < len; ++i) x[i] += 0.5f * static_cast<float>(std::sin(2.0 * pi * 1500.0 * i / 22050.0));

  const OctaveResponse single = octave_response(x.data(), len, hop, basis, 1);
  ASSERT_EQ(single.n_frames, 2101);
  const std::size_t bytes = single.re.size() * sizeof(float);

  for (int threads : {2, 3, 8, 24}) {
    const OctaveResponse r = octave_response(x.data(), len, hop, basis, threads);
    ASSERT_EQ(r.n_frames, single.n_frames);
    ASSERT_EQ(r.re.size(), single.re.size());
    EXPECT_EQ(std::memcmp(r.re.data(), single.re.data(), bytes), 0) << threads << " threads";
    EXPECT_EQ(std::memcmp(r.im.data(), single.im.data(), bytes), 0) << threads << " threads";
    if (threads == 3) {
      // Both ends and the borders of the blocks [0, 701), [701, 1402), [1402, 2101).
      expect_matches_reference(r, x, hop, basis, {0, 1, 700, 701, 1401, 1402, 2099, 2100});
    }
  }
}

TEST(OctaveResponse, FailureInsideAWorkerReachesTheCaller) {
  // A raised cancel flag makes every worker end its block with CallCancelled.
  std::mt19937 rng(3);
  const SparseBasis basis = random_basis(64, rng);
  const std::vector<float> x = random_signal(4000 * 4, rng);
  const std::atomic<bool> raised{true};
  for (int threads : {1, 3, 24}) {
    EXPECT_THROW(octave_response(x.data(), static_cast<int>(x.size()), 4, basis, threads, CancelFlag(&raised)),
                 CallCancelled)
        << threads;
  }
}

#ifndef NDEBUG
TEST(OctaveResponseDeathTest, HopBelowOneIsCaughtInDebugBuilds) {
  SparseBasis basis;
  basis.n_fft = 64;
  basis.row_offsets = {0};
  const float x[4] = {};
  EXPECT_DEATH(octave_response(x, 4, 0, basis, 1), "hop >= 1");
}
#endif

}  // namespace
}  // namespace morvat::vexolin

#include "engine/sparse_basis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace morvat::vexolin {
namespace {

constexpr double c1_hz = default_fmin;

struct Octave {
  std::vector<double> freqs, alpha;
};

// Bins [first, last) of a full grid, with alphas computed on the full grid.
Octave slice(double fmin, int n_bins, int bins_per_octave, int first, int last) {
  const auto freqs = bin_frequencies(fmin, n_bins, bins_per_octave);
  const auto alpha = bin_alpha(freqs);
  return {{freqs.begin() + first, freqs.begin() + last}, {alpha.begin() + first, alpha.begin() + last}};
}

void expect_valid_layout(const SparseBasis& basis) {
  ASSERT_EQ(basis.row_offsets.size(), static_cast<std::size_t>(basis.n_bins) + 1);
  EXPECT_EQ(basis.row_offsets.front(), 0);
  EXPECT_EQ(static_cast<std::size_t>(basis.row_offsets.back()), basis.fft_bins.size());
  EXPECT_EQ(basis.fft_bins.size(), basis.weights.size());
  for (int b = 0; b < basis.n_bins; ++b) {
    EXPECT_LT(basis.row_offsets[b], basis.row_offsets[b + 1]) << "row " << b << " is empty";
    for (int e = basis.row_offsets[b]; e < basis.row_offsets[b + 1]; ++e) {
      EXPECT_GE(basis.fft_bins[e], 0);
      EXPECT_LE(basis.fft_bins[e], basis.n_fft / 2);
      if (e > basis.row_offsets[b]) {
        EXPECT_LT(basis.fft_bins[e - 1], basis.fft_bins[e]);
      }
    }
  }
}

TEST(SparseBasis, FftLengthIsSmallestPowerOfTwoNotBelowTheCeiling) {
  EXPECT_EQ(detail::fft_length_for(64.0), 64);
  EXPECT_EQ(detail::fft_length_for(64.0000001), 128);
  EXPECT_EQ(detail::fft_length_for(182.5899380399557), 256);
  // Short filters are raised to the smallest size the FFT library serves.
  EXPECT_EQ(detail::fft_length_for(0.5), 32);
  EXPECT_EQ(detail::fft_length_for(17.0), 32);
}

TEST(SparseBasis, TopOctaveOfWorkedExample) {
  const Octave o = slice(32.70319566257483, 84, 12, 72, 84);
  const auto lengths = filter_lengths(o.freqs, o.alpha, 22050.0, 1.0, nullptr);
  EXPECT_DOUBLE_EQ(lengths[0], 182.5899380399557);
  EXPECT_DOUBLE_EQ(lengths[11], 96.72365037734076);
  const SparseBasis basis = build_sparse_basis(o.freqs, o.alpha, 22050.0, 22050.0, 1.0, 0.01);
  EXPECT_EQ(basis.n_bins, 12);
  EXPECT_EQ(basis.n_fft, 256);
  expect_valid_layout(basis);
  // Each row's largest weight sits at the FFT bin nearest the bin's frequency.
  for (int b = 0; b < basis.n_bins; ++b) {
    int peak = -1;
    float best = -1.0f;
    for (int e = basis.row_offsets[b]; e < basis.row_offsets[b + 1]; ++e) {
      if (std::abs(basis.weights[e]) > best) best = std::abs(basis.weights[e]), peak = basis.fft_bins[e];
    }
    EXPECT_NEAR(peak, o.freqs[b] * 256.0 / 22050.0, 1.0) << b;
  }
}

// The sparse rows against the dense rows (sparsity 0 keeps every bin).
TEST(SparseBasis, RowsKeepExactlyTheEntriesAtOrAboveTheirThreshold) {
  const Octave o = slice(32.70319566257483, 84, 12, 60, 72);
  const SparseBasis dense = build_sparse_basis(o.freqs, o.alpha, 11025.0, 22050.0, 1.0, 0.0);
  const int k_bins = dense.n_fft / 2 + 1;
  for (int b = 0; b < dense.n_bins; ++b) ASSERT_EQ(dense.row_offsets[b + 1] - dense.row_offsets[b], k_bins);

  for (double sparsity : {0.01, 0.1, 0.5}) {
    const SparseBasis sparse = build_sparse_basis(o.freqs, o.alpha, 11025.0, 22050.0, 1.0, sparsity);
    expect_valid_layout(sparse);
    ASSERT_EQ(sparse.n_fft, dense.n_fft);
    for (int b = 0; b < sparse.n_bins; ++b) {
      std::vector<bool> kept(k_bins, false);
      float min_kept = INFINITY;
      for (int e = sparse.row_offsets[b]; e < sparse.row_offsets[b + 1]; ++e) {
        const int j = sparse.fft_bins[e];
        kept[j] = true;
        EXPECT_EQ(sparse.weights[e], dense.weights[dense.row_offsets[b] + j]);
        min_kept = std::min(min_kept, std::abs(sparse.weights[e]));
      }
      double total = 0.0, dropped = 0.0;
      float max_dropped = 0.0f;
      for (int j = 0; j < k_bins; ++j) {
        const float m = std::abs(dense.weights[dense.row_offsets[b] + j]);
        total += m;
        if (!kept[j]) dropped += m, max_dropped = std::max(max_dropped, m);
      }
      // Everything dropped is smaller than everything kept, and carries less
      // than `sparsity` of the row's mass.
      EXPECT_LT(max_dropped, min_kept) << "row " << b << " sparsity " << sparsity;
      EXPECT_LT(dropped, sparsity * total) << "row " << b << " sparsity " << sparsity;
      EXPECT_LT(sparse.row_offsets[b + 1] - sparse.row_offsets[b], k_bins);
    }
  }
}

TEST(SparseBasis, FullSparsityKeepsOnlyTheLargest) {
  const Octave o = slice(100.0, 24, 12, 12, 24);
  const SparseBasis basis = build_sparse_basis(o.freqs, o.alpha, 8000.0, 8000.0, 1.0, 1.0);
  const SparseBasis dense = build_sparse_basis(o.freqs, o.alpha, 8000.0, 8000.0, 1.0, 0.0);
  for (int b = 0; b < basis.n_bins; ++b) {
    float largest = 0.0f;
    for (int e = dense.row_offsets[b]; e < dense.row_offsets[b + 1]; ++e) largest = std::max(largest, std::abs(dense.weights[e]));
    for (int e = basis.row_offsets[b]; e < basis.row_offsets[b + 1]; ++e) EXPECT_EQ(std::abs(basis.weights[e]), largest);
  }
}

TEST(SparseBasis, WeightsScaleWithSquareRootOfRateRatio) {
  const Octave o = slice(100.0, 24, 12, 0, 12);
  const SparseBasis same = build_sparse_basis(o.freqs, o.alpha, 2000.0, 2000.0, 1.0, 0.01);
  const SparseBasis quad = build_sparse_basis(o.freqs, o.alpha, 2000.0, 8000.0, 1.0, 0.01);
  ASSERT_EQ(same.fft_bins, quad.fft_bins);
  for (std::size_t e = 0; e < same.weights.size(); ++e) EXPECT_EQ(quad.weights[e], 2.0f * same.weights[e]);
}

TEST(SparseBasis, TooShortKernelsKeepEveryBinWithZeroWeight) {
  // Filters of about one sample leave N <= 1, whose only window value is 0.
  const std::vector<double> freqs = {100.0, 400.0};
  const auto alpha = bin_alpha(freqs);
  const SparseBasis basis = build_sparse_basis(freqs, alpha, 100.0, 100.0, 1.0, 0.01);
  EXPECT_EQ(basis.n_fft, 32);
  expect_valid_layout(basis);
  EXPECT_EQ(basis.row_offsets, (std::vector<int>{0, 17, 34}));
  for (const auto& w : basis.weights) EXPECT_EQ(w, std::complex<float>(0.0f, 0.0f));
}

TEST(SparseBasis, SingleRowAndOrderOfRows) {
  const Octave o = slice(100.0, 24, 12, 10, 12);
  const SparseBasis one = build_sparse_basis({o.freqs[1]}, {o.alpha[1]}, 4000.0, 4000.0, 1.0, 0.01);
  ASSERT_EQ(one.row_offsets.size(), 2u);
  EXPECT_GE(one.row_offsets[1], 1);

  const SparseBasis fwd = build_sparse_basis(o.freqs, o.alpha, 4000.0, 4000.0, 1.0, 0.01);
  const SparseBasis rev = build_sparse_basis({o.freqs[1], o.freqs[0]}, {o.alpha[1], o.alpha[0]}, 4000.0, 4000.0, 1.0, 0.01);
  ASSERT_EQ(fwd.n_fft, rev.n_fft);
  const std::vector<int> fwd_row1(fwd.fft_bins.begin() + fwd.row_offsets[1], fwd.fft_bins.end());
  const std::vector<int> rev_row0(rev.fft_bins.begin(), rev.fft_bins.begin() + rev.row_offsets[1]);
  EXPECT_EQ(fwd_row1, rev_row0);
}

TEST(SparseBasis, SortInRunsMatchesOneSortAndStopsWhenCancelled) {
  // Three and a half runs, with repeated values, as a long kernel's magnitudes.
  std::mt19937 rng(5);
  std::vector<float> values(7 * kernel_poll_interval / 2);
  for (float& v : values) v = static_cast<float>(rng() % 50000) * 0.25f;
  std::vector<float> want = values;
  std::sort(want.begin(), want.end());
  sort_polled(values, {});
  EXPECT_EQ(values, want);
  const std::atomic<bool> raised{true};
  EXPECT_THROW(sort_polled(values, CancelFlag(&raised)), CallCancelled);
}

TEST(SparseBasis, RefusesEmptyAndOverlongInput) {
  EXPECT_THROW(build_sparse_basis({}, {}, 22050.0, 22050.0, 1.0, 0.01), std::invalid_argument);
  EXPECT_THROW(build_sparse_basis({1.0, 2.0}, {0.5, 0.5}, 1e12, 1e12, 1.0, 0.01), std::length_error);
  EXPECT_THROW(build_sparse_basis({1.0, 2.0}, {0.0, 0.0}, 100.0, 100.0, 1.0, 0.01), std::length_error);
}

// The octave plan halves a signal only when every kept weight of the
// kernels computed from it lies below a bound: it must hold for the kernels
// actually built, short and long, narrow and widened, at any rate.
TEST(SparseBasis, KeptWeightsStayWithinTheKernelBandEdge) {
  struct Case {
    double sr;
    int n_bins, bins_per_octave;
    double filter_scale, gamma;
  };
  const Case cases[] = {{22050.0, 84, 12, 1.0, 0.0},  {16000.0, 72, 12, 0.5, 0.0}, {44100.0, 84, 12, 2.0, 0.0},
                        {22050.0, 252, 36, 1.0, 0.0}, {48000.0, 360, 60, 1.0, 0.0}, {22050.0, 84, 12, 1.0, 13.6},
                        {22050.0, 84, 12, 0.7, 400.0}, {8000.0, 21, 3, 1.0, 0.0},  {22050.0, 7, 1, 1.0, 0.0}};
  int rows = 0;
  for (const Case& c : cases) {
    const auto freqs = bin_frequencies(c1_hz, c.n_bins, c.bins_per_octave);
    const auto alpha = bin_alpha(freqs);
    // One octave's kernels at a time, at rates from the full one down to where they are short.
    for (int first = 0; first < c.n_bins; first += c.bins_per_octave) {
      const int last = std::min(c.n_bins, first + c.bins_per_octave);
      const std::vector<double> f(freqs.begin() + first, freqs.begin() + last);
      const std::vector<double> a(alpha.begin() + first, alpha.begin() + last);
      for (double sr = c.sr; sr >= 4.0 * f.back() && sr >= c.sr / 64; sr *= 0.5) {
        const SparseBasis basis = build_sparse_basis(f, a, sr, sr, c.filter_scale, 0.01, c.gamma);
        for (int b = 0; b < basis.n_bins; ++b, ++rows) {
          const double edge = kernel_band_edge(f[b], bin_quality(a[b], f[b], c.filter_scale, c.gamma));
          const int highest = basis.fft_bins[basis.row_offsets[b + 1] - 1];
          EXPECT_LE(highest * sr / basis.n_fft, edge) << "sr " << sr << " bin " << first + b << " of " << c.n_bins;
        }
      }
    }
  }
  EXPECT_GT(rows, 1000);
}

}  // namespace
}  // namespace morvat::vexolin

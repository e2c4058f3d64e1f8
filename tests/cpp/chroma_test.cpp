#include "chroma/chroma.h"

#include "tests/cpp/compute.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <utility>
#include <limits>
#include <stdexcept>
#include <vector>

namespace morvat::vexolin {
namespace {

std::vector<int> rows_of_bins(int n_bins, int bins_per_octave, int n_chroma, double fmin) {
  return chroma_rows(n_bins, bins_per_octave, n_chroma, fmin);
}

TEST(Chroma, ShiftPutsFminOnItsPitchClass) {
  EXPECT_EQ(rows_of_bins(12, 12, 12, c1)[0], 0);      // C
  EXPECT_EQ(rows_of_bins(12, 12, 12, 55.0)[0], 9);    // A
  EXPECT_EQ(rows_of_bins(12, 12, 12, 440.0)[0], 9);   // A
  EXPECT_EQ(rows_of_bins(24, 24, 24, 440.0)[0], 18);  // A, in quarter tones
  EXPECT_EQ(rows_of_bins(24, 24, 24, 8.0)[0], 23);    // m about -0.376 rounds down to -1
  // Twelve bins from A: bin b is b semitones above A.
  const auto from_a = rows_of_bins(24, 12, 12, 110.0);
  for (int b = 0; b < 24; ++b) EXPECT_EQ(from_a[b], (b % 12 + 9) % 12) << b;
}

TEST(Chroma, GroupingOfBinsPerClass) {
  const auto b12 = rows_of_bins(36, 12, 12, c1);
  for (int b = 0; b < 36; ++b) EXPECT_EQ(b12[b], b % 12);

  // 24 per octave: row 0 takes bins 23 and 0, row j bins 2j - 1 and 2j.
  const auto b24 = rows_of_bins(48, 24, 12, c1);
  for (int b = 0; b < 48; ++b) EXPECT_EQ(b24[b], ((b % 24 + 1) % 24) / 2) << b;
  EXPECT_EQ(b24[23], 0);
  EXPECT_EQ(b24[1], 1);

  // 36 per octave: row 0 takes 35, 0 and 1 of every octave.
  const auto b36 = rows_of_bins(7 * 36, 36, 12, c1);
  for (int o = 0; o < 7; ++o) {
    EXPECT_EQ(b36[36 * o + 35], 0);
    EXPECT_EQ(b36[36 * o + 0], 0);
    EXPECT_EQ(b36[36 * o + 1], 0);
    EXPECT_EQ(b36[36 * o + 2], 1);
    EXPECT_EQ(b36[36 * o + 34], 11);
  }
  // Every row collects 21 bins: 3 in each of 7 octaves.
  std::vector<int> count(12, 0);
  for (int r : b36) ++count[r];
  for (int c : count) EXPECT_EQ(c, 21);

  // 48 per octave: row 0 takes 46, 47, 0 and 1.
  const auto b48 = rows_of_bins(48, 48, 12, c1);
  for (int b : {46, 47, 0, 1}) EXPECT_EQ(b48[b], 0) << b;
  EXPECT_EQ(b48[2], 1);

  // When N does not divide B, the bins of the classes beyond N feed no row.
  const auto b24n10 = rows_of_bins(24, 24, 10, c1);
  for (int b = 0; b < 24; ++b) EXPECT_EQ(b24n10[b] == -1, b >= 19 && b <= 22) << b;
}

// The driver adds each bin's magnitudes into its row as it computes them:
// octave by octave from the top, the bins of an octave in ascending order.
TEST(Chroma, FoldAddsMagnitudesInTheDriversOrder) {
  const double sr = 22050.0;
  std::vector<float> y(3 * 22050);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double t = static_cast<double>(i) / sr;
    y[i] = static_cast<float>(std::sin(6.283185307179586 * 261.63 * t) + 0.5 * std::sin(6.283185307179586 * 97.0 * t));
  }
  for (auto [bins_per_octave, n_chroma] : {std::pair{36, 12}, std::pair{24, 10}, std::pair{12, 12}}) {
    const int n_bins = 6 * bins_per_octave;
    const CqtPlan plan = plan_cqt(y.size(), {sr, 512, c1, n_bins, bins_per_octave, 1.0, 0.01});
    const std::size_t n_frames = static_cast<std::size_t>(plan.n_frames);
    std::vector<float> mag(static_cast<std::size_t>(n_bins) * n_frames);
    CqtTarget magnitudes;
    magnitudes.mag = mag.data();
    run_cqt(plan, y.data(), magnitudes, 1);

    const std::vector<int> rows = chroma_rows(n_bins, bins_per_octave, n_chroma, c1);
    std::vector<float> folded(static_cast<std::size_t>(n_chroma) * n_frames, 0.0f);
    CqtTarget fold;
    fold.mag = folded.data();
    fold.mag_row = rows.data();
    run_cqt(plan, y.data(), fold, 1);

    std::vector<float> want(folded.size(), 0.0f);
    for (const OctaveSpan& octave : plan.octaves.octaves) {  // top first
      for (int b = octave.first_bin; b < octave.end_bin; ++b) {
        if (rows[b] < 0) continue;
        for (std::size_t t = 0; t < n_frames; ++t) want[rows[b] * n_frames + t] += mag[b * n_frames + t];
      }
    }
    EXPECT_EQ(folded, want) << bins_per_octave << " bins per octave, " << n_chroma << " rows";
  }
}

TEST(Chroma, NormaliseScalesEachFrameToAPeakOfOne) {
  // Three frames: a loud frame, a silent one and one below the silence level.
  std::vector<float> chroma(12 * 3, 0.0f);
  for (int i = 0; i < 12; ++i) {
    chroma[i * 3 + 0] = 0.25f * static_cast<float>(i + 1) + 0.25f * static_cast<float>(i + 13);
    chroma[i * 3 + 2] = 2e-21f;
  }
  const std::vector<float> before = chroma;
  normalise_chroma(chroma.data(), 12, 3);
  const float peak = before[11 * 3];
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(chroma[i * 3 + 0], before[i * 3 + 0] * (1.0f / peak)) << i;
    EXPECT_EQ(chroma[i * 3 + 1], 0.0f);
    EXPECT_EQ(chroma[i * 3 + 2], 2e-21f);  // left unchanged
  }
  EXPECT_FLOAT_EQ(chroma[11 * 3], 1.0f);
}

TEST(Chroma, ZeroFramesAndInvalidLayouts) {
  normalise_chroma(nullptr, 12, 0);
  EXPECT_THROW(chroma_rows(84, 0, 1, c1), std::invalid_argument);
  EXPECT_THROW(chroma_rows(84, 12, 0, c1), std::invalid_argument);
  EXPECT_THROW(chroma_rows(84, 12, -3, c1), std::invalid_argument);
  EXPECT_THROW(chroma_rows(84, 12, 13, c1), std::invalid_argument);
  EXPECT_THROW(chroma_rows(84, 12, 12, std::numeric_limits<double>::infinity()), std::invalid_argument);
}

}  // namespace
}  // namespace morvat::vexolin

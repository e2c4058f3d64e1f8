#include "chroma/chroma.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace morvat::vexolin {
namespace {

constexpr double c1 = 32.70319566257483;

// A magnitude matrix with one frame per bin: frame t holds 1 in bin t only.
CqtMagnitude one_hot_frames(int n_bins) {
  CqtMagnitude m;
  m.n_bins = n_bins;
  m.n_frames = n_bins;
  m.mag.assign(static_cast<std::size_t>(n_bins) * n_bins, 0.0f);
  for (int b = 0; b < n_bins; ++b) m.mag[static_cast<std::size_t>(b) * n_bins + b] = 1.0f;
  return m;
}

// Row that bin b lands in: the row of frame b that holds a non-zero value,
// or -1 when the bin feeds no row.
std::vector<int> rows_of_bins(int n_bins, int bins_per_octave, int n_chroma, double fmin) {
  const CqtMagnitude chroma = chroma_from_magnitude(one_hot_frames(n_bins), bins_per_octave, n_chroma, fmin);
  EXPECT_EQ(chroma.n_bins, n_chroma);
  EXPECT_EQ(chroma.n_frames, n_bins);
  std::vector<int> rows(n_bins, -1);
  for (int b = 0; b < n_bins; ++b) {
    for (int i = 0; i < n_chroma; ++i) {
      if (chroma.mag[static_cast<std::size_t>(i) * n_bins + b] != 0.0f) {
        EXPECT_EQ(rows[b], -1) << "bin " << b << " feeds two rows";
        rows[b] = i;
      }
    }
  }
  return rows;
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

TEST(Chroma, FoldSumsInAscendingOrderAndNormalisesEachFrame) {
  // Two octaves of 12 bins, three frames: a loud frame, a silent one and one
  // below the silence level.
  CqtMagnitude m;
  m.n_bins = 24;
  m.n_frames = 3;
  m.mag.assign(24 * 3, 0.0f);
  for (int b = 0; b < 24; ++b) {
    m.mag[b * 3 + 0] = 0.25f * static_cast<float>(b + 1);
    m.mag[b * 3 + 2] = 1e-21f;
  }
  const CqtMagnitude chroma = chroma_from_magnitude(m, 12, 12, c1);
  float peak = 0.0f;
  for (int i = 0; i < 12; ++i) peak = std::max(peak, 0.25f * (i + 1) + 0.25f * (i + 13));
  for (int i = 0; i < 12; ++i) {
    const float sum = 0.25f * (i + 1) + 0.25f * (i + 13);
    EXPECT_EQ(chroma.mag[i * 3 + 0], sum * (1.0f / peak)) << i;
    EXPECT_EQ(chroma.mag[i * 3 + 1], 0.0f);
    EXPECT_EQ(chroma.mag[i * 3 + 2], 2e-21f);  // left unchanged
  }
  EXPECT_FLOAT_EQ(chroma.mag[11 * 3], 1.0f);
  // The input is left as it was.
  EXPECT_EQ(m.mag[23 * 3], 6.0f);
}

TEST(Chroma, ZeroFramesAndInvalidSizes) {
  CqtMagnitude empty;
  empty.n_bins = 84;
  empty.n_frames = 0;
  const CqtMagnitude chroma = chroma_from_magnitude(empty, 12, 12, c1);
  EXPECT_EQ(chroma.n_bins, 12);
  EXPECT_EQ(chroma.n_frames, 0);
  EXPECT_TRUE(chroma.mag.empty());

  EXPECT_THROW(chroma_from_magnitude(empty, 0, 1, c1), std::invalid_argument);
  EXPECT_THROW(chroma_from_magnitude(empty, 12, 0, c1), std::invalid_argument);
  EXPECT_THROW(chroma_from_magnitude(empty, 12, -3, c1), std::invalid_argument);
  EXPECT_THROW(chroma_from_magnitude(empty, 12, 13, c1), std::invalid_argument);
  EXPECT_THROW(chroma_from_magnitude(empty, 12, 12, std::numeric_limits<double>::infinity()), std::invalid_argument);
}

}  // namespace
}  // namespace morvat::vexolin

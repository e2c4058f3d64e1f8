#include "engine/bin_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace morvat::vexolin {
namespace {

TEST(BinGrid, WorkedExampleAt22050) {
  const auto freqs = bin_frequencies(32.70319566257483, 84, 12);
  ASSERT_EQ(freqs.size(), 84u);
  EXPECT_EQ(freqs[0], 32.70319566257483);
  EXPECT_DOUBLE_EQ(freqs[1], 34.64782887210901);
  EXPECT_DOUBLE_EQ(freqs[12], 65.40639132514966);
  EXPECT_DOUBLE_EQ(freqs[83], 3951.066410048991);

  const auto alpha = bin_alpha(freqs);
  EXPECT_DOUBLE_EQ(alpha[0], 0.05769810979985182);
  EXPECT_DOUBLE_EQ(alpha[1], 0.05769810979985182);
  EXPECT_DOUBLE_EQ(alpha[83], 0.05769810979985241);

  double cutoff = -1.0;
  const auto lengths = filter_lengths(freqs, alpha, 22050.0, 1.0, &cutoff);
  EXPECT_DOUBLE_EQ(lengths[0], 11685.756034557166);
  EXPECT_DOUBLE_EQ(lengths[83], 96.72365037734076);
  EXPECT_DOUBLE_EQ(cutoff, 4122.0640789052495);
}

TEST(BinGrid, NonPositiveOrNanFminBecomesC1) {
  for (double fmin : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
    const auto freqs = bin_frequencies(fmin, 3, 12);
    EXPECT_EQ(freqs[0], 32.70319566257483) << fmin;
    EXPECT_EQ(freqs[1], std::pow(2.0, 1.0 * (1.0 / 12.0)) * 32.70319566257483);
  }
}

TEST(BinGrid, ExponentIsIndexTimesStep) {
  // 1 / 7 rounded, times k, is not always k / 7 rounded; the grid uses the former.
  const auto freqs = bin_frequencies(100.0, 30, 7);
  const double step = 1.0 / 7.0;
  for (int k = 1; k < 30; ++k) EXPECT_EQ(freqs[k], std::pow(2.0, k * step) * 100.0) << k;
}

TEST(BinGrid, AlphaFromNeighbours) {
  const std::vector<double> two = {100.0, 200.0};
  const auto a2 = bin_alpha(two);
  EXPECT_EQ(a2[0], a2[1]);
  EXPECT_DOUBLE_EQ(a2[0], 3.0 / 5.0);  // r = 1: p = 4, alpha = 3 / 5

  // The middle bin of three uses the centred difference over both neighbours.
  const std::vector<double> three = {100.0, 200.0, 800.0};
  const auto a3 = bin_alpha(three);
  EXPECT_DOUBLE_EQ(a3[1], 7.0 / 9.0);  // r = 2 / 3, p = 8
  EXPECT_DOUBLE_EQ(a3[2], 15.0 / 17.0);  // r = 1 / 2, p = 16
  const double p_mid = std::pow(2.0, 2.0 / (2.0 / (std::log2(800.0) - std::log2(100.0))));
  EXPECT_EQ(a3[1], (p_mid - 1.0) / (p_mid + 1.0));
  const double p_last = std::pow(2.0, 2.0 * (std::log2(800.0) - std::log2(200.0)));
  EXPECT_DOUBLE_EQ(a3[2], (p_last - 1.0) / (p_last + 1.0));
}

TEST(BinGrid, LengthsScaleWithRateAndCutoffDoesNot) {
  const auto freqs = bin_frequencies(55.0, 40, 12);
  const auto alpha = bin_alpha(freqs);
  double cut1 = 0.0, cut2 = 0.0;
  const auto l1 = filter_lengths(freqs, alpha, 11025.0, 1.0, &cut1);
  const auto l2 = filter_lengths(freqs, alpha, 22050.0, 1.0, &cut2);
  for (std::size_t i = 0; i < l1.size(); ++i) EXPECT_EQ(l2[i], 2.0 * l1[i]) << i;
  EXPECT_EQ(cut1, cut2);
  // Equal alphas put the highest pass-band edge on the highest bin.
  const double q = 1.0 / alpha.back();
  EXPECT_EQ(cut1, (0.750091552734375 / q + 1.0) * freqs.back());
}

// Bin k's band is alpha_k f_k + gamma Hz, its filter filter_scale * sr / (alpha_k f_k + gamma)
// samples long; gamma 0 leaves the constant-Q lengths as they are, bit for bit.
TEST(BinGrid, GammaWidensEveryBandByTheSameHertz) {
  const auto freqs = bin_frequencies(32.70319566257483, 84, 12);
  const auto alpha = bin_alpha(freqs);
  double plain_cut = 0.0, zero_cut = 0.0;
  const auto plain = filter_lengths(freqs, alpha, 22050.0, 1.0, &plain_cut);
  const auto zero = filter_lengths(freqs, alpha, 22050.0, 1.0, &zero_cut, 0.0);
  EXPECT_EQ(zero, plain);
  EXPECT_EQ(zero_cut, plain_cut);
  for (double filter_scale : {0.5, 1.0, 2.0}) {
    for (double gamma : {1.5, 13.2, 400.0}) {
      double cutoff = 0.0;
      const auto lengths = filter_lengths(freqs, alpha, 22050.0, filter_scale, &cutoff, gamma);
      for (std::size_t k = 0; k < freqs.size(); ++k) {
        const double want = filter_scale * 22050.0 / (alpha[k] * freqs[k] + gamma);
        EXPECT_NEAR(lengths[k], want, 1e-13 * want) << k;
        EXPECT_LT(lengths[k], filter_scale * plain[k]) << k;
      }
      // The top band's upper edge, half a Hann bandwidth above its centre.
      const double band = (alpha.back() * freqs.back() + gamma) / filter_scale;
      EXPECT_NEAR(cutoff, freqs.back() + 0.750091552734375 * band, 1e-9);
    }
  }
}

TEST(BinGrid, EmptyInputsAndNullCutoff) {
  double cutoff = -1.0;
  EXPECT_TRUE(filter_lengths({}, {}, 22050.0, 1.0, &cutoff).empty());
  EXPECT_EQ(cutoff, 0.0);
  const auto lengths = filter_lengths({100.0}, {0.5}, 1000.0, 1.0, nullptr);
  ASSERT_EQ(lengths.size(), 1u);
  EXPECT_DOUBLE_EQ(lengths[0], 20.0);
}

}  // namespace
}  // namespace morvat::vexolin

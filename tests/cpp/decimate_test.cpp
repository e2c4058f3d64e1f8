#include "engine/decimate.h"
#include "engine/octave_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace morvat::vexolin {
namespace {

// The 65 taps in double from the textbook Kaiser design (beta 8), using the
// standard library's Bessel function rather than the power series.
std::vector<double> reference_taps() {
  std::vector<double> h(65);
  double total = 0.0;
  for (int i = 0; i < 65; ++i) {
    const double t = (i - 32) / 32.0;
    const double window = std::cyl_bessel_i(0.0, 8.0 * std::sqrt(1.0 - t * t)) / std::cyl_bessel_i(0.0, 8.0);
    const int d = i - 32;
    const double ideal = d == 0 ? 0.5 : std::sin(M_PI * d / 2.0) / (M_PI * d);
    h[i] = window * ideal;
    total += h[i];
  }
  for (double& v : h) v /= total;
  return h;
}

// The whole halved signal of x[0 .. n - 1].
std::vector<float> decimate(const float* x, int n) {
  const std::int64_t m_out = detail::halved_length(n);
  std::vector<float> out(static_cast<std::size_t>(m_out));
  decimate_span(x, 0, n, out.data(), 0, 0, m_out, {});
  return out;
}

std::vector<float> decimate(const std::vector<float>& x) { return decimate(x.data(), static_cast<int>(x.size())); }

TEST(HalfBandTaps, DesignedValuesAndSymmetry) {
  const HalfBandTaps& taps = half_band_taps();
  EXPECT_FLOAT_EQ(taps.centre, 0.50000858f);
  EXPECT_FLOAT_EQ(taps.odd_taps[15], 0.31715435f);
  EXPECT_FLOAT_EQ(taps.odd_taps[14], -0.10266627f);
  EXPECT_FLOAT_EQ(taps.odd_taps[0], -5.4150900e-05f);
  double sum = taps.centre;
  for (int j = 0; j < 32; ++j) {
    EXPECT_EQ(taps.odd_taps[j], taps.odd_taps[31 - j]) << j;
    sum += taps.odd_taps[j];
  }
  EXPECT_NEAR(sum, 1.0, 1e-6);
}

TEST(HalfBandTaps, AgreeWithKaiserDesignFromBesselFunction) {
  const std::vector<double> h = reference_taps();
  const HalfBandTaps& taps = half_band_taps();
  EXPECT_NEAR(taps.centre, h[32], 1e-7);
  for (int j = 0; j < 32; ++j) EXPECT_NEAR(taps.odd_taps[j], h[2 * j + 1], 1e-7) << j;
}

TEST(Decimate, OutputLengthHalvesRoundingUp) {
  std::vector<float> x(22050, 0.0f);
  std::vector<int> lengths;
  for (int step = 0; step < 6; ++step) {
    x = decimate(x);
    lengths.push_back(static_cast<int>(x.size()));
  }
  EXPECT_EQ(lengths, (std::vector<int>{11025, 5513, 2757, 1379, 690, 345}));
  EXPECT_EQ(detail::halved_length(2147483647), 1073741824);

  EXPECT_TRUE(decimate(x.data(), 0).empty());
  const float one = 2.0f;
  const std::vector<float> out = decimate(&one, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], half_band_taps().centre * 2.0f * sqrt_two_f);
  EXPECT_NEAR(out[0], 2.0f * 0.70711891f, 1e-6);
}

TEST(Decimate, ImpulseAtEvenIndexPassesOnlyTheCentreTap) {
  for (int n : {40, 41}) {
    for (int pos : {0, 20, n - 1 - (n - 1) % 2}) {
      std::vector<float> x(n, 0.0f);
      x[pos] = 1.0f;
      const std::vector<float> y = decimate(x);
      ASSERT_EQ(y.size(), static_cast<std::size_t>((n + 1) / 2));
      for (std::size_t m = 0; m < y.size(); ++m) {
        const float want = static_cast<int>(m) == pos / 2 ? half_band_taps().centre * sqrt_two_f : 0.0f;
        EXPECT_EQ(y[m], want) << "n " << n << " impulse " << pos << " output " << m;
      }
      EXPECT_NEAR(y[pos / 2], 0.70711891f, 1e-6);
    }
  }
}

TEST(Decimate, ImpulseAtOddIndexSpreadsOverTheOddTaps) {
  const int n = 100;
  const int m0 = 24;  // impulse at 2 * m0 + 1
  std::vector<float> x(n, 0.0f);
  x[2 * m0 + 1] = 1.0f;
  const std::vector<float> y = decimate(x);
  for (int m = 0; m < static_cast<int>(y.size()); ++m) {
    const int j = m0 + 16 - m;  // the odd tap that meets the impulse
    const float want = (j >= 0 && j < 32) ? half_band_taps().odd_taps[j] * sqrt_two_f : 0.0f;
    EXPECT_EQ(y[m], want) << m;
  }
  EXPECT_EQ(y[m0], y[m0 + 1]);
  EXPECT_NEAR(y[m0], 0.44852397f, 1e-6);
  EXPECT_NE(y[m0 - 15], 0.0f);
  EXPECT_NE(y[m0 + 16], 0.0f);
}

TEST(Decimate, ConstantSignal) {
  const std::vector<float> y = decimate(std::vector<float>(200, 1.0f));
  EXPECT_NEAR(y[0], 1.0606662f, 1e-6);
  EXPECT_NEAR(y[1], 1.5091903f, 1e-6);
  for (int m = 16; m < 84; ++m) EXPECT_NEAR(y[m], 1.4142135f, 1e-6) << m;
}

TEST(Decimate, MatchesDirectConvolution) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const std::vector<double> h = reference_taps();
  // Lengths across block borders (2048 outputs a block) and shorter than the filter.
  for (int n : {2 * decimation_block + 77, 1001, 300, 77, 2}) {
    std::vector<float> x(n);
    for (float& v : x) v = uniform(rng);
    const std::vector<float> out = decimate(x);
    ASSERT_EQ(out.size(), static_cast<std::size_t>((n + 1) / 2));
    for (int m = 0; m < static_cast<int>(out.size()); ++m) {
      double want = 0.0;
      for (int i = 0; i < 65; ++i) {
        const int k = 2 * m + i - 32;
        if (k >= 0 && k < n) want += h[i] * x[k];
      }
      EXPECT_NEAR(out[m], std::sqrt(2.0) * want, 2e-6) << "n " << n << " m " << m;
    }
  }
}

// The driver halves into windows: outputs begin .. end - 1 from a window of
// the signal that starts at x_first, into a window that starts at
// out_first. Every output equals the whole signal's, bit for bit, wherever
// the windows and the 16-output vectors and blocks of 2048 fall.
TEST(Decimate, WindowsGiveTheOutputsOfTheWholeSignal) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const int n = 3 * decimation_block * 2 + 37;
  std::vector<float> x(n);
  for (float& v : x) v = uniform(rng);
  const std::vector<float> whole = decimate(x);
  const std::int64_t m_out = detail::halved_length(n);
  for (auto [begin, end] : {std::pair<std::int64_t, std::int64_t>{0, 7}, {5, 2100}, {2047, 4097}, {17, m_out},
                            {m_out - 3, m_out}}) {
    // Only the samples the outputs read, with loud values around them.
    const std::int64_t first = std::max<std::int64_t>(0, 2 * begin - 32);
    const std::int64_t last = std::min<std::int64_t>(n, 2 * (end - 1) + 33);
    std::vector<float> window(static_cast<std::size_t>(last - first) + 64, 1000.0f);
    std::copy(x.begin() + first, x.begin() + last, window.begin() + 32);
    const std::int64_t out_first = begin - 3;
    std::vector<float> out(static_cast<std::size_t>(end - out_first), -7.0f);
    decimate_span(window.data() + 32, first, n, out.data(), out_first, begin, end, {});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], -7.0f);
    for (std::int64_t m = begin; m < end; ++m) {
      EXPECT_EQ(out[static_cast<std::size_t>(m - out_first)], whole[static_cast<std::size_t>(m)])
          << "outputs " << begin << ".." << end << ", output " << m;
    }
  }
}

}  // namespace
}  // namespace morvat::vexolin

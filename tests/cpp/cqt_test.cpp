#include "engine/basis_cache.h"
#include "engine/bin_grid.h"
#include "engine/cqt.h"
#include "tests/cpp/compute.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvat::vexolin {
namespace {

CqtParams params(double sr, int hop, int n_bins, int bins_per_octave, double fmin = c1) {
  return {sr, hop, fmin, n_bins, bins_per_octave, 1.0, 0.01};
}

TEST(Cqt, FrameCountsAndShapes) {
  const auto y44 = sine(440.0, 44100.0, 44100);
  const Computed s = compute_complex(y44.data(), y44.size(), params(44100.0, 512, 84, 12), 1);
  EXPECT_EQ(s.n_bins, 84);
  EXPECT_EQ(s.n_frames, 87);
  EXPECT_EQ(s.re.size(), 84u * 87u);
  EXPECT_EQ(s.im.size(), 84u * 87u);

  const auto y22 = sine(440.0, 22050.0, 220500);
  EXPECT_EQ(compute_magnitude(y22.data(), y22.size(), params(22050.0, 512, 84, 12), 1).n_frames, 431);
  EXPECT_EQ(compute_magnitude(y44.data(), y44.size(), params(44100.0, 441, 84, 12), 1).n_frames, 101);

  const auto short_signal = sine(440.0, 22050.0, 300);
  EXPECT_EQ(compute_magnitude(short_signal.data(), short_signal.size(), params(22050.0, 512, 84, 12), 1).n_frames, 1);
}

TEST(Cqt, EmptySignalGivesOneSilentFrame) {
  const Computed s = compute_complex(nullptr, 0, params(22050.0, 512, 84, 12), 1);
  EXPECT_EQ(s.n_frames, 1);
  for (std::size_t i = 0; i < s.re.size(); ++i) {
    EXPECT_EQ(s.re[i], 0.0f);
    EXPECT_EQ(s.im[i], 0.0f);
  }
}

// A sinusoid at a bin's centre frequency peaks in that bin's row, whichever
// octave (and so whichever decimated signal) the bin is computed from.
void expect_peaks_in_own_row(double sr, int hop, int n_bins, int bins_per_octave, int n_samples, int bin_in_octave,
                             double gamma = 0.0, double filter_scale = 1.0) {
  const auto freqs = bin_frequencies(c1, n_bins, bins_per_octave);
  for (int k = bin_in_octave; k < n_bins; k += bins_per_octave) {
    if (freqs[k] > 0.45 * sr) break;
    const auto y = sine(freqs[k], sr, n_samples);
    CqtParams p = params(sr, hop, n_bins, bins_per_octave);
    p.gamma = gamma;
    p.filter_scale = filter_scale;
    const Computed m = compute_magnitude(y.data(), y.size(), p, 1);
    const int t = m.n_frames / 2;
    int best = 0;
    for (int b = 1; b < m.n_bins; ++b) {
      if (m.mag[b * m.n_frames + t] > m.mag[best * m.n_frames + t]) best = b;
    }
    const std::string what = "sr " + std::to_string(sr) + " hop " + std::to_string(hop) + " bin " +
                             std::to_string(k) + " at " + std::to_string(freqs[k]) + " Hz, gamma " +
                             std::to_string(gamma);
    const double alpha_f = bin_alpha(freqs)[k] * freqs[k];
    if (gamma <= alpha_f) {
      EXPECT_EQ(best, k) << what;
    } else {
      // A band much wider than the bins' spacing: the tone lies within the
      // pass band of the bin that measures it most.
      EXPECT_LE(std::abs(freqs[best] - freqs[k]), 0.75 * (alpha_f + gamma) / filter_scale) << what;
    }
  }
}

TEST(Cqt, SinusoidPeaksInItsBinInEveryOctave) {
  expect_peaks_in_own_row(44100.0, 512, 84, 12, 3 * 44100, 5);   // early decimation
  expect_peaks_in_own_row(22050.0, 441, 84, 12, 3 * 22050, 7);   // odd hop: one rate for all
  expect_peaks_in_own_row(22050.0, 12, 84, 12, 3 * 22050, 2);    // decimation stops after two octaves
  expect_peaks_in_own_row(22050.0, 256, 90, 12, 3 * 22050, 3);   // partial lowest octave
  expect_peaks_in_own_row(22050.0, 256, 8, 12, 22050, 0);        // fewer bins than one octave
  expect_peaks_in_own_row(16000.0, 128, 70, 24, 2 * 16000, 11);  // 24 bins per octave
  expect_peaks_in_own_row(22050.0, 512, 84, 12, 3 * 22050, 4, 13.2, 1.5);  // ERB bands, longer filters
  expect_peaks_in_own_row(22050.0, 512, 84, 12, 3 * 22050, 9, 400.0, 0.7);  // low octaves stay at a high rate
}

TEST(Cqt, SecondCallBuildsNoBasisAndIsBitIdentical) {
  const auto y = sine(1000.0, 16000.0, 32000);
  const CqtParams p = params(16000.0, 256, 60, 12, 40.0);
  const Computed first = compute_complex(y.data(), y.size(), p, 1);
  const std::size_t built = cached_basis_count();
  const Computed second = compute_complex(y.data(), y.size(), p, 1);
  EXPECT_EQ(cached_basis_count(), built);
  EXPECT_EQ(first.re, second.re);
  EXPECT_EQ(first.im, second.im);
}

TEST(Cqt, ConcurrentCallsShareTheCachesAndMatchSerialResults) {
  // Parameter sets no other test uses, so that the threads race to build
  // the same bases and FFT setups.
  const auto y = sine(700.0, 12000.0, 24000);
  const std::vector<CqtParams> sets = {params(12000.0, 128, 50, 12, 41.0), params(12000.0, 96, 40, 10, 43.0),
                                       params(12000.0, 128, 50, 12, 41.0), params(12000.0, 96, 40, 10, 43.0)};
  std::vector<Computed> parallel(sets.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    threads.emplace_back([&, i] { parallel[i] = compute_complex(y.data(), y.size(), sets[i], 1); });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const Computed serial = compute_complex(y.data(), y.size(), sets[i], 1);
    EXPECT_EQ(parallel[i].re, serial.re) << i;
    EXPECT_EQ(parallel[i].im, serial.im) << i;
  }
}

TEST(Cqt, MagnitudeIsModulusOfSpectrum) {
  const auto y = sine(300.0, 8000.0, 8000);
  const CqtParams p = params(8000.0, 128, 48, 12);
  const Computed s = compute_complex(y.data(), y.size(), p, 1);
  const Computed m = compute_magnitude(y.data(), y.size(), p, 1);
  ASSERT_EQ(m.mag.size(), s.re.size());
  for (std::size_t i = 0; i < m.mag.size(); ++i) {
    EXPECT_EQ(m.mag[i], std::sqrt(s.re[i] * s.re[i] + s.im[i] * s.im[i]));
  }
}

TEST(Cqt, NonPositiveFminMeansC1) {
  const auto y = sine(200.0, 8000.0, 4000);
  const Computed ref = compute_magnitude(y.data(), y.size(), params(8000.0, 64, 36, 12, c1), 1);
  for (double fmin : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ(compute_magnitude(y.data(), y.size(), params(8000.0, 64, 36, 12, fmin), 1).mag, ref.mag);
  }
}

void expect_rejected(const CqtParams& p, std::size_t len, const std::string& name) {
  const float sample = 0.0f;
  try {
    compute_complex(&sample, len, p, 1);
    ADD_FAILURE() << "accepted " << name;
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
  }
}

TEST(Cqt, ParametersOutsideTheDomainAreRejected) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  expect_rejected(params(22050.0, 512, 1, 12), 1, "n_bins");
  expect_rejected(params(22050.0, 512, -5, 12), 1, "n_bins");
  expect_rejected(params(22050.0, 512, 84, 0), 1, "bins_per_octave");
  expect_rejected(params(22050.0, 0, 84, 12), 1, "hop");
  expect_rejected(params(22050.0, -512, 84, 12), 1, "hop");
  for (double sr : {0.0, -1.0, nan, inf}) expect_rejected(params(sr, 512, 84, 12), 1, "sr");
  expect_rejected(params(22050.0, 512, 84, 12), std::size_t{1} << 31, "y");
  expect_rejected(params(22050.0, 512, 84, 12, inf), 1, "fmin");
  // 2^31 - 1 samples at hop 1 would give 2^31 frames.
  expect_rejected(params(22050.0, 1, 84, 12), 2147483647, "hop");
  // 20000 octaves above C1 lie beyond the range of double.
  expect_rejected(params(22050.0, 512, 20000, 1), 1, "n_bins");
}

TEST(Cqt, TopBinAtOrAboveNyquistIsRejected) {
  // 108 bins from C1 end near 15.8 kHz; sr and hop swapped put 84 bins far above.
  expect_rejected(params(22050.0, 512, 108, 12), 1, "Nyquist");
  expect_rejected(params(512.0, 22050, 84, 12), 1, "Nyquist");
  // Filters longer than the FFT supports are refused before any work.
  expect_rejected(params(22050.0, 8, 12, 12, 1e-5), 1, "fmin");
  expect_rejected(params(22050.0, 8, 3, 1 << 30, 30.0), 1, "bins_per_octave");
}

TEST(Cqt, BandsThatCannotBeMeasuredAreRejected) {
  auto with = [](double gamma, double filter_scale, int n_bins = 84) {
    CqtParams p = params(22050.0, 512, n_bins, 12);
    p.gamma = gamma;
    p.filter_scale = filter_scale;
    return p;
  };
  for (double bad : {-1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    expect_rejected(with(bad, 1.0), 1, "gamma");
    expect_rejected(with(0.0, bad), 1, "filter_scale");
  }
  // 1/50 of the filters leaves the top bins less than 2 samples.
  expect_rejected(with(0.0, 0.02), 1, "filter_scale");
  // 107 bins from C1 end at 14.9 kHz, under the Nyquist limit of 44.1 kHz;
  // 10 kHz added to the bands reaches past it, and the message says so.
  CqtParams wide = params(44100.0, 512, 107, 12);
  const float sample = 0.0f;
  EXPECT_NO_THROW(compute_complex(&sample, 1, wide, 1));
  wide.gamma = 1e4;
  expect_rejected(wide, 1, "Nyquist");
  expect_rejected(wide, 1, "gamma = 10000 Hz widens");
}

TEST(Cqt, CancelDuringAThreadedCallStopsItAndLaterCallsAreUnaffected) {
  const CqtParams p = params(22050.0, 32, 84, 12);
  const auto second = sine(440.0, 22050.0, 22050);
  const Computed before = compute_complex(second.data(), second.size(), p, 2);
  // Ten minutes at hop 32 take seconds. Their bases (an fmin no other test
  // uses) enter the cache once the call has started: the flag goes up then.
  const CqtParams long_call = params(22050.0, 32, 84, 12, 33.25);
  std::vector<float> y;
  for (int i = 0; i < 600; ++i) y.insert(y.end(), second.begin(), second.end());
  const std::size_t cached = cached_basis_count();
  std::atomic<bool> raised{false};
  std::thread raiser([&raised, cached] {
    while (cached_basis_count() == cached) std::this_thread::yield();
    raised.store(true);
  });
  EXPECT_THROW(compute_complex(y.data(), y.size(), long_call, 2, CancelFlag(&raised)), CallCancelled);
  raiser.join();
  const Computed after = compute_complex(second.data(), second.size(), p, 2);
  EXPECT_EQ(after.re, before.re);
  EXPECT_EQ(after.im, before.im);
}

TEST(Cqt, OversizedResultIsRefusedBeforeAnyWork) {
  // 2^30 samples at hop 1 and 2^16 bins (four octaves) would need petabytes.
  const float sample = 0.0f;
  EXPECT_THROW(compute_complex(&sample, std::size_t{1} << 30, params(22050.0, 1, 1 << 16, 1 << 14), 1), std::bad_alloc);
}

}  // namespace
}  // namespace morvat::vexolin

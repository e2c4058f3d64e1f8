#include "engine/bin_grid.h"
#include "engine/octave_plan.h"

#include "tests/cpp/compute.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace morvat::vexolin {
namespace {

using detail::octave_count;
using detail::plan_octaves;

double cutoff_of(int n_bins, int bins_per_octave, double sr) {
  const auto freqs = bin_frequencies(c1, n_bins, bins_per_octave);
  double cutoff = 0.0;
  filter_lengths(freqs, bin_alpha(freqs), sr, 1.0, &cutoff);
  return cutoff;
}

OctavePlan plan_for(std::int64_t len, double sr, int hop, int n_bins = 84, int bins_per_octave = 12) {
  const auto freqs = bin_frequencies(c1, n_bins, bins_per_octave);
  const auto alpha = bin_alpha(freqs);
  double cutoff = 0.0;
  filter_lengths(freqs, alpha, sr, 1.0, &cutoff);
  return plan_octaves(len, sr, hop, freqs, alpha, bins_per_octave, 1.0, cutoff);
}

TEST(OctavePlan, WorkedCases) {
  EXPECT_EQ(octave_count(84, 12), 7);
  EXPECT_EQ(octave_count(90, 12), 8);
  EXPECT_EQ(octave_count(8, 12), 1);
  const double cutoff = cutoff_of(84, 12, 44100.0);
  EXPECT_NEAR(cutoff, 4122.06, 0.01);

  // 44100 Hz, hop 512: the top bin needs a quarter of the rate; one early
  // halving leaves hop 256 and 22050 samples, 87 frames in every octave.
  const OctavePlan p44 = plan_for(44100, 44100.0, 512);
  EXPECT_EQ(p44.early_halvings, 1);
  EXPECT_EQ(p44.sr_reference, 22050.0);
  EXPECT_EQ(p44.n_frames, 87);
  ASSERT_EQ(p44.octaves.size(), 7u);
  EXPECT_EQ(p44.octaves[0].first_bin, 72);
  EXPECT_EQ(p44.octaves[0].end_bin, 84);
  EXPECT_EQ(p44.octaves[0].n_fft, 256);
  EXPECT_EQ(p44.octaves[6].first_bin, 0);
  EXPECT_EQ(p44.octaves[6].sr, 22050.0 / 64);
  EXPECT_FALSE(p44.octaves[6].halve_after);

  const OctavePlan p22 = plan_for(220500, 22050.0, 512);
  EXPECT_EQ(p22.early_halvings, 0);
  EXPECT_EQ(p22.n_frames, 431);

  // An odd hop never halves; hop 12 halves twice and then stays at hop 3.
  const OctavePlan odd = plan_for(44100, 44100.0, 441);
  EXPECT_EQ(odd.n_frames, 101);
  for (const OctaveSpan& o : odd.octaves) EXPECT_EQ(o.sr, 44100.0);
  const OctavePlan p12 = plan_for(44100, 44100.0, 12);
  EXPECT_EQ(p12.early_halvings, 0);
  EXPECT_EQ(p12.n_frames, std::min({44100 / 12, 22050 / 6, 11025 / 3}) + 1);
  EXPECT_EQ(p12.octaves[2].hop, 3);
  EXPECT_EQ(p12.octaves[6].sr, 11025.0);
  EXPECT_EQ(p12.octaves[6].len, 11025);

  // A hop with many factors of two lets the cutoff decide.
  EXPECT_EQ(plan_for(88200, 88200.0, 1 << 12).early_halvings, 2);
  EXPECT_EQ(plan_for(0, 22050.0, 512).n_frames, 1);
  EXPECT_EQ(plan_for(100, 22050.0, 512).n_frames, 1);
  // 90 bins: a partial lowest octave of 6 bins.
  const OctavePlan p90 = plan_for(22050, 22050.0, 512, 90, 12);
  ASSERT_EQ(p90.octaves.size(), 8u);
  EXPECT_EQ(p90.octaves[7].end_bin, 6);
}

OctavePlan vqt_plan(std::int64_t len, double sr, int hop, double gamma, int n_bins = 84, int bins_per_octave = 12) {
  const auto freqs = bin_frequencies(c1, n_bins, bins_per_octave);
  const auto alpha = bin_alpha(freqs);
  double cutoff = 0.0;
  filter_lengths(freqs, alpha, sr, 1.0, &cutoff, gamma);
  return plan_octaves(len, sr, hop, freqs, alpha, bins_per_octave, 1.0, cutoff, gamma);
}

// Bands widened by gamma do not halve with the frequency: the low octaves
// stay at a higher rate once their bands would pass a quarter of the halved
// one (or the top octave's share, when higher), and halve again further
// down where the bands, against the rate, are narrow enough.
TEST(OctavePlan, WideBandsStopTheHalvings) {
  const auto freqs = bin_frequencies(c1, 84, 12);
  const auto alpha = bin_alpha(freqs);
  // The ERB gamma of 12 bins per octave changes nothing here.
  const OctavePlan erb = vqt_plan(220500, 22050.0, 512, 24.7 * alpha[40] / 0.108);
  const OctavePlan cqt = plan_for(220500, 22050.0, 512);
  for (std::size_t o = 0; o < cqt.octaves.size(); ++o) EXPECT_EQ(erb.octaves[o].sr, cqt.octaves[o].sr) << o;

  for (double gamma : {100.0, 400.0, 2000.0}) {
    const OctavePlan plan = vqt_plan(220500, 22050.0, 512, gamma);
    double cutoff = 0.0;
    filter_lengths(freqs, alpha, 22050.0, 1.0, &cutoff, gamma);
    const double share = std::max(0.25, cutoff / plan.sr_reference);
    int stays = 0;
    for (std::size_t o = 0; o < plan.octaves.size(); ++o) {
      const OctaveSpan& octave = plan.octaves[o];
      const double edge =
          detail::highest_band_edge(freqs, alpha, octave.first_bin, octave.end_bin, 1.0, gamma);
      EXPECT_LE(edge, share * octave.sr * (1.0 + 1e-12)) << "gamma " << gamma << " octave " << o;
      if (o > 0 && octave.sr == plan.octaves[o - 1].sr) {
        ++stays;
        // An octave that stays would not have fitted the halved rate.
        EXPECT_GT(edge, share * 0.5 * octave.sr) << o;
      }
    }
    EXPECT_GT(stays, 0) << gamma;
    std::int64_t fewest = plan.octaves.front().n_frames;
    for (const OctaveSpan& octave : plan.octaves) fewest = std::min(fewest, octave.n_frames);
    EXPECT_EQ(plan.n_frames, fewest);
  }
}

TEST(OctavePlan, LongestSignalPlansWithoutOverflow) {
  // 2^31 - 1 samples: halving rounds up to 2^30 without passing INT_MAX.
  const OctavePlan plan = plan_for(2147483647, 22050.0, 2);
  EXPECT_EQ(plan.octaves[0].n_frames, 1073741824);
  EXPECT_EQ(plan.octaves[1].len, 1073741824);
  EXPECT_EQ(plan.octaves[1].hop, 1);
  EXPECT_EQ(plan_for(2147483647, 22050.0, 1).n_frames, std::int64_t{2147483648});
}

}  // namespace
}  // namespace morvat::vexolin

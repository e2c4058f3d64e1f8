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

OctavePlan layout_plan(std::int64_t len, double sr, int hop, double fmin, int n_bins, int bins_per_octave,
                       double filter_scale, double gamma) {
  const auto freqs = bin_frequencies(fmin, n_bins, bins_per_octave);
  const auto alpha = bin_alpha(freqs);
  double cutoff = 0.0;
  filter_lengths(freqs, alpha, sr, filter_scale, &cutoff, gamma);
  return plan_octaves(len, sr, hop, freqs, alpha, bins_per_octave, filter_scale, cutoff, gamma);
}

// Every octave computed from a halved signal keeps its kernels where the
// halving filter is flat, and every octave that stays at the rate above
// would not have: over constant-Q and widened grids, fine and coarse
// filters, top bins far from and near the Nyquist limit.
TEST(OctavePlan, HalvesOnlyWhereTheKernelsStayInTheFlatBand) {
  struct Case {
    double sr, fmin;
    int n_bins, bins_per_octave;
    double filter_scale, gamma;
  };
  const double erb12 = 24.7 * 0.05946309435929526 / 0.108;
  const Case cases[] = {
      {22050.0, c1, 84, 12, 1.0, 0.0},   {22050.0, c1, 100, 12, 1.0, 0.0},     {22050.0, c1, 101, 12, 1.0, 0.0},
      {22050.0, c1, 301, 36, 1.0, 0.0},  {22050.0, 5 * c1, 360, 60, 1.0, 0.0}, {44100.0, c1, 84, 12, 1.0, 0.0},
      {16000.0, c1, 92, 12, 0.5, 0.0},   {48000.0, c1, 250, 24, 2.0, 0.0},     {22050.0, c1, 84, 12, 1.0, erb12},
      {22050.0, c1, 100, 12, 1.0, erb12}, {22050.0, c1, 84, 12, 1.0, 400.0},    {22050.0, c1, 30, 3, 0.5, 0.0},
  };
  int stayed = 0;
  for (const Case& c : cases) {
    const auto freqs = bin_frequencies(c.fmin, c.n_bins, c.bins_per_octave);
    const auto alpha = bin_alpha(freqs);
    const OctavePlan plan =
        layout_plan(220500, c.sr, 1 << 12, c.fmin, c.n_bins, c.bins_per_octave, c.filter_scale, c.gamma);
    const double top_edge = detail::highest_kernel_edge(freqs, alpha, 0, c.n_bins, c.filter_scale, c.gamma);
    for (int e = 0; e < plan.early_halvings; ++e) {
      EXPECT_TRUE(detail::halving_keeps_band(top_edge, std::ldexp(c.sr, -e))) << c.n_bins << " early " << e;
    }
    for (std::size_t o = 1; o < plan.octaves.size(); ++o) {
      const OctaveSpan& octave = plan.octaves[o];
      const double edge = detail::highest_kernel_edge(freqs, alpha, octave.first_bin, octave.end_bin,
                                                      c.filter_scale, c.gamma);
      const double above = plan.octaves[o - 1].sr;
      ASSERT_TRUE(octave.sr == above || octave.sr == 0.5 * above) << o;
      EXPECT_EQ(plan.octaves[o - 1].halve_after, octave.sr < above) << o;
      if (octave.sr < above) {
        EXPECT_LE(edge, 0.8 * octave.sr / 2) << c.n_bins << "/" << c.bins_per_octave << " octave " << o;
      } else {
        ++stayed;
        EXPECT_GT(edge, 0.8 * above / 4) << c.n_bins << "/" << c.bins_per_octave << " octave " << o;
      }
    }
  }
  EXPECT_GT(stayed, 0);
}

// Layouts whose top kernels stay clear of the limit keep every halving;
// with the top bin near it only the octave just below stays at the full
// rate, and the rest halve from there.
TEST(OctavePlan, ANearNyquistTopOctaveDelaysTheHalvingsByOne) {
  for (int n_bins : {84, 89}) {
    const OctavePlan plan = layout_plan(220500, 22050.0, 512, c1, n_bins, 12, 1.0, 0.0);
    for (std::size_t o = 0; o + 1 < plan.octaves.size(); ++o) EXPECT_TRUE(plan.octaves[o].halve_after) << o;
  }
  const OctavePlan near = layout_plan(220500, 22050.0, 512, c1, 101, 12, 1.0, 0.0);
  ASSERT_EQ(near.octaves.size(), 9u);
  EXPECT_FALSE(near.octaves[0].halve_after);
  for (std::size_t o = 1; o + 1 < near.octaves.size(); ++o) EXPECT_TRUE(near.octaves[o].halve_after) << o;
  EXPECT_EQ(near.octaves[8].sr, 22050.0 / 128);
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

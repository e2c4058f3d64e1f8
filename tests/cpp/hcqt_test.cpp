// The harmonic transform: every channel equals the transform from its own
// harmonic of fmin bit for bit (for any thread count, with widened bands, and
// where channels share whole octaves of values); the channels share the
// halved signals and frames they read alike; harmonics that pass the Nyquist
// limit or are not frequencies are refused by name.
#include "engine/hcqt.h"
#include "engine/transform_set.h"
#include "tests/cpp/compute.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvat::vexolin {
namespace {

struct HarmonicCase {
  Layout layout;
  std::vector<double> harmonics;
};

TEST(Hcqt, EveryChannelEqualsItsOwnTransform) {
  const HarmonicCase cases[] = {
      {{22050.0, 256, c1, 144, 36, "salience_like"}, {0.5, 1.0, 2.0, 3.0, 4.0, 5.0}},
      {{22050.0, 441, 55.0, 36, 12, "odd_hop_shared_octaves"}, {1.0, 2.0, 4.0}},
      {{16000.0, 128, 40.0, 48, 12, "wide_gamma", 300.0, 0.8}, {0.5, 1.0, 1.5, 2.0}},
  };
  for (const HarmonicCase& h : cases) {
    const Layout& l = h.layout;
    // 1100 frames: worker threads start at 1024.
    const std::vector<float> y = noisy_signal(static_cast<std::size_t>(l.hop) * 1100 - 3, 21);
    const HcqtPlan plan = plan_hcqt(y.size(), l.params(), h.harmonics);
    for (Output output : {Output::complex, Output::magnitude}) {
      const int width = output == Output::complex ? 2 : 1;
      const std::vector<float> serial = run_hcqt_plan(plan, y, output, 1);
      expect_bitwise_equal(run_hcqt_plan(plan, y, output, 3), serial, std::string(l.what) + " on 3 threads");
      const std::size_t channel_size = static_cast<std::size_t>(l.n_bins) * plan.n_frames * width;
      for (std::size_t i = 0; i < h.harmonics.size(); ++i) {
        CqtParams own = l.params();
        own.fmin = h.harmonics[i] * l.fmin;
        const CqtPlan alone = plan_cqt(y.size(), own);
        EXPECT_GE(alone.n_frames, plan.n_frames);
        const std::vector<float> channel(serial.begin() + i * channel_size, serial.begin() + (i + 1) * channel_size);
        expect_bitwise_equal(channel, first_frames(run_plan(alone, y, output, 1), l.n_bins, alone.n_frames,
                                                   plan.n_frames, width),
                             std::string(l.what) + " harmonic " + std::to_string(h.harmonics[i]));
      }
    }
  }
}

// The deep-salience layout: 36 octaves in six channels read only 14
// distinct frame streams (levels and FFT sizes), from one pyramid of 8
// signals. At an odd hop, channels an octave apart have octaves with the very
// same bins, which are computed once and copied.
TEST(Hcqt, ChannelsShareSignalsFramesAndEqualOctaves) {
  const HcqtPlan salience = plan_hcqt(22050 * 10, {22050.0, 256, c1, 360, 60}, {0.5, 1.0, 2.0, 3.0, 4.0, 5.0});
  std::vector<const CqtPlan*> channels;
  std::size_t octaves = 0;
  for (const CqtPlan& plan : salience.channels) {
    channels.push_back(&plan);
    octaves += plan.octaves.octaves.size();
  }
  const TransformSet set = group_transforms(channels, false);
  EXPECT_EQ(octaves, 36u);
  EXPECT_EQ(set.groups.size(), 14u);
  EXPECT_EQ(set.n_levels, 8);

  const HcqtPlan odd = plan_hcqt(22050 * 2, {22050.0, 441, 55.0, 36, 12}, {1.0, 2.0, 4.0});
  TransformSet shared = group_transforms({&odd.channels[0], &odd.channels[1], &odd.channels[2]}, false);
  resolve_bases(shared, 1, {});
  std::vector<float> out(3 * 36 * static_cast<std::size_t>(odd.n_frames));
  CqtTarget target;
  target.mag = out.data();
  std::size_t copies = 0;
  for (const GroupWork& w : bind_groups(shared, {{target, 0}, {target, 36}, {target, 72}}, odd.n_frames)) {
    copies += w.copies.size();
  }
  EXPECT_GE(copies, 1u);
}

TEST(Hcqt, HarmonicsThatCannotBeMeasuredAreRefusedByName) {
  const CqtParams p{22050.0, 512, c1, 84, 12};  // the top bin at 3951 Hz
  try {
    plan_hcqt(1000, p, {0.5, 1.0, 2.0, 3.0});
    ADD_FAILURE() << "harmonic 3 puts the top bin at 11853 Hz";
  } catch (const HarmonicAboveNyquist& e) {
    EXPECT_EQ(e.index, 3);
    EXPECT_EQ(e.harmonic, 3.0);
    EXPECT_NE(std::string(e.what()).find("harmonic 3 (harmonics[3])"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("Nyquist"), std::string::npos) << e.what();
  }
  for (double bad : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_THROW(plan_hcqt(1000, p, {1.0, bad}), std::invalid_argument) << bad;
  }
  EXPECT_THROW(plan_hcqt(1000, p, {}), std::invalid_argument);
}

}  // namespace
}  // namespace morvat::vexolin

// Streams against the whole-signal call: the frames of every partition of a
// signal into blocks (one sample at a time, empty blocks, random sizes, one
// block) equal run_cqt's and run_chroma's bit for bit, frames come out as
// soon as the latency says, and a stream's buffers stop growing.
#include "chroma/chroma_stream.h"
#include "engine/stream.h"
#include "tests/cpp/compute.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace morvat::vexolin {
namespace {

// Early halvings; an odd hop (no halving at all); a hop that stops halving
// after two octaves; a short low transform whose octaves end on one signal;
// a chroma grid; bands widened by gamma so far that the low octaves stay at
// a higher rate, and wider filters.
const Layout layouts[] = {
    {22050.0, 512, c1, 84, 12, "default_c1_12"},
    {22050.0, 1024, 110.0, 24, 12, "early_halvings"},
    {8000.0, 301, 65.0, 36, 12, "odd_hop"},
    {16000.0, 20, 60.0, 48, 12, "hop_stops_halving"},
    {22050.0, 256, c1, 252, 36, "chroma_grid"},
    {22050.0, 512, c1, 84, 12, "wide_gamma", 400.0},
    {22050.0, 256, 55.0, 72, 24, "erb_gamma_wider_filters", 24.7 * 0.028877 / 0.108, 0.7},
};

std::vector<float> whole(const Layout& l, const std::vector<float>& y, Output output, int* n_frames) {
  const CqtPlan plan = plan_cqt(y.size(), l.params());
  *n_frames = plan.n_frames;
  return run_plan(plan, y, output, 1);
}

// A stream of the layout (of its harmonic transform, given harmonics), fed
// blocks of the given sizes, then finished; the frames of every call laid
// side by side as the whole call lays them out.
struct Streamed {
  std::vector<float> values;  // row-major, n_frames columns
  int n_frames = 0;
};

Streamed streamed(const Layout& l, const std::vector<float>& y, Output output, const std::vector<std::size_t>& sizes,
                  int frames_at_once = 1, const std::vector<double>& harmonics = {}) {
  ChromaStream chroma;
  CqtStream plain;
  const StreamOutput kind = output == Output::complex ? StreamOutput::complex : StreamOutput::magnitude;
  if (output == Output::chroma) {
    chroma = open_chroma_stream(l.sr, l.hop, l.bins_per_octave, l.n_bins / l.bins_per_octave, 12, l.fmin,
                                frames_at_once, {}, l.filter_scale);
  } else if (harmonics.empty()) {
    plain = open_stream(l.params(), kind, frames_at_once);
  } else {
    plain = open_hcqt_stream(l.params(), harmonics, kind, frames_at_once);
  }
  CqtStream& s = output == Output::chroma ? chroma.cqt : plain;
  const std::size_t width = output == Output::complex ? 2 : 1;
  std::vector<std::vector<float>> pieces;
  std::vector<int> counts;
  auto take = [&] {
    std::vector<float> piece(static_cast<std::size_t>(s.n_rows) * pending_frames(s) * width);
    counts.push_back(pending_frames(s));
    if (output == Output::chroma) {
      take_chroma_frames(chroma, piece.data());
    } else {
      take_frames(s, piece.data());
    }
    pieces.push_back(std::move(piece));
  };
  std::size_t at = 0;
  for (std::size_t size : sizes) {
    push_samples(s, y.data() + at, size);
    at += size;
    take();
  }
  finish_stream(s);
  take();
  Streamed result;
  for (int c : counts) result.n_frames += c;
  result.values.resize(static_cast<std::size_t>(s.n_rows) * result.n_frames * width);
  std::size_t column = 0;
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    const std::size_t count = static_cast<std::size_t>(counts[p]) * width;
    for (int r = 0; r < s.n_rows; ++r) {
      std::copy_n(pieces[p].data() + r * count, count,
                  result.values.data() + r * static_cast<std::size_t>(result.n_frames) * width + column);
    }
    column += count;
  }
  return result;
}

class StreamPartitions : public ::testing::TestWithParam<Layout> {};

TEST_P(StreamPartitions, EveryPartitionEqualsTheWholeCall) {
  const Layout& l = GetParam();
  const std::vector<float> y = noisy_signal(static_cast<std::size_t>(l.hop) * 61 + 7, 3);
  for (Output output : {Output::complex, Output::magnitude, Output::chroma}) {
    if (output == Output::chroma && (l.n_bins % l.bins_per_octave != 0 || l.gamma > 0.0)) continue;
    int n_frames = 0;
    const std::vector<float> expected = whole(l, y, output, &n_frames);
    const std::string what = std::string(l.what) + " output " + std::to_string(static_cast<int>(output));
    const std::vector<std::vector<std::size_t>> partitions = {
        {y.size()},
        random_sizes(y.size(), 1, 5000),
        random_sizes(y.size(), 2, 700),
        {0, 1, 0, y.size() / 3, 0, y.size() - y.size() / 3 - 1, 0},
    };
    for (const std::vector<std::size_t>& sizes : partitions) {
      for (int frames_at_once : {1, frame_block}) {
        const Streamed got = streamed(l, y, output, sizes, frames_at_once);
        EXPECT_EQ(got.n_frames, n_frames) << what;
        expect_bitwise_equal(got.values, expected,
                             what + ", " + std::to_string(sizes.size()) + " blocks of " +
                                 std::to_string(frames_at_once) + " frames");
      }
    }
  }
}

TEST_P(StreamPartitions, OneSampleAtATime) {
  const Layout& l = GetParam();
  const std::vector<float> y = noisy_signal(static_cast<std::size_t>(l.hop) * 9 + 3, 4);
  int n_frames = 0;
  const std::vector<float> expected = whole(l, y, Output::magnitude, &n_frames);
  expect_bitwise_equal(streamed(l, y, Output::magnitude, std::vector<std::size_t>(y.size(), 1)).values, expected,
                       l.what);
}

// Lengths shorter than one frame, and on both sides of every length where the
// frame count changes (a multiple of the hop, and one more sample where a
// halving rounds the length up by a hop).
TEST_P(StreamPartitions, LengthsAroundFrameCountChanges) {
  const Layout& l = GetParam();
  std::vector<std::size_t> lengths = {1, 2, 5, static_cast<std::size_t>(l.hop) / 2};
  for (std::size_t k = 1; k <= 4; ++k) {
    for (std::size_t delta : {0, 1, 2}) lengths.push_back(k * static_cast<std::size_t>(l.hop) - 1 + delta);
  }
  const std::vector<float> y = noisy_signal(lengths.back() + 2, 5);
  for (std::size_t n : lengths) {
    const std::vector<float> part(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(n));
    int n_frames = 0;
    const std::vector<float> expected = whole(l, part, Output::complex, &n_frames);
    expect_bitwise_equal(streamed(l, part, Output::complex, random_sizes(n, static_cast<unsigned>(n), 97)).values,
                         expected, std::string(l.what) + " length " + std::to_string(n));
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, StreamPartitions, ::testing::ValuesIn(layouts),
                         [](const auto& info) { return std::string(info.param.what); });

// Harmonic transforms whose channels share halved signals and frames (and,
// at an odd hop, whole octaves of values): their streams too equal the
// whole call for any partition.
struct HarmonicLayout {
  Layout layout;
  std::vector<double> harmonics;
};

const HarmonicLayout harmonic_layouts[] = {
    {{22050.0, 256, c1, 108, 36, "salience_like"}, {0.5, 1.0, 2.0, 3.0, 5.0}},
    {{22050.0, 441, 55.0, 36, 12, "odd_hop_shared_octaves"}, {1.0, 2.0, 4.0}},
    {{16000.0, 128, 40.0, 48, 12, "wide_gamma", 300.0, 0.8}, {1.0, 1.5, 2.0}},
};

TEST(Stream, HarmonicStreamsEqualTheWholeCall) {
  for (const HarmonicLayout& h : harmonic_layouts) {
    const Layout& l = h.layout;
    const std::vector<float> y = noisy_signal(static_cast<std::size_t>(l.hop) * 53 + 11, 12);
    const HcqtPlan plan = plan_hcqt(y.size(), l.params(), h.harmonics);
    for (Output output : {Output::complex, Output::magnitude}) {
      const std::vector<float> expected = run_hcqt_plan(plan, y, output, 1);
      for (const std::vector<std::size_t>& sizes : {random_sizes(y.size(), 3, 3000), random_sizes(y.size(), 4, 400)}) {
        for (int frames_at_once : {1, frame_block}) {
          const Streamed got = streamed(l, y, output, sizes, frames_at_once, h.harmonics);
          EXPECT_EQ(got.n_frames, plan.n_frames) << l.what;
          expect_bitwise_equal(got.values, expected, std::string(l.what) + ", " + std::to_string(sizes.size()) +
                                                         " blocks of " + std::to_string(frames_at_once) + " frames");
        }
      }
    }
  }
}

// The first frames are out once latency samples are in, not one sample
// sooner, and every later group a group's hops after that; for harmonic
// streams as well.
TEST(Stream, LatencyIsWhenTheFirstFramesComeOut) {
  std::vector<std::pair<Layout, std::vector<double>>> cases;
  for (const Layout& l : layouts) cases.push_back({l, {}});
  for (const HarmonicLayout& h : harmonic_layouts) cases.push_back({h.layout, h.harmonics});
  for (const auto& [l, harmonics] : cases) {
    for (int group : {1, frame_block}) {
      CqtStream s = harmonics.empty() ? open_stream(l.params(), StreamOutput::magnitude, group)
                                      : open_hcqt_stream(l.params(), harmonics, StreamOutput::magnitude, group);
      const std::int64_t latency = stream_latency(s);
      const std::string what = std::string(l.what) + " in groups of " + std::to_string(group);
      EXPECT_EQ(ready_frames(s, latency - 1), 0) << what;
      EXPECT_EQ(ready_frames(s, latency), group) << what;
      EXPECT_EQ(ready_frames(s, latency + 3 * group * l.hop - 1), 3 * group) << what;
      EXPECT_EQ(ready_frames(s, latency + 3 * group * l.hop), 4 * group) << what;
      const std::vector<float> y = noisy_signal(static_cast<std::size_t>(latency), 6);
      push_samples(s, y.data(), y.size() - 1);
      EXPECT_EQ(pending_frames(s), 0) << what;
      push_samples(s, y.data() + y.size() - 1, 1);
      EXPECT_EQ(pending_frames(s), group) << what;
    }
  }
}

// After a warm-up, pushing more does not grow any window or the pending frames.
TEST(Stream, MemoryStopsGrowing) {
  const Layout& l = layouts[0];
  CqtStream s = open_stream({l.sr, l.hop, l.fmin, l.n_bins, l.bins_per_octave}, StreamOutput::complex, 1);
  const std::vector<float> y = noisy_signal(4096, 7);
  std::vector<float> out;
  auto sizes = [&] {
    std::vector<std::size_t> held;
    for (const StreamSignal& g : s.signals) held.push_back(g.window.capacity());
    held.push_back(s.pending.capacity());
    return held;
  };
  auto push_for = [&](int blocks) {
    for (int b = 0; b < blocks; ++b) {
      push_samples(s, y.data(), y.size());
      out.resize(static_cast<std::size_t>(s.n_rows) * pending_frames(s) * 2);
      take_frames(s, out.data());
    }
  };
  push_for(200);
  const std::vector<std::size_t> warm = sizes();
  push_for(2000);
  EXPECT_EQ(sizes(), warm);
  EXPECT_GT(s.pushed, std::int64_t{8'000'000});
}

TEST(Stream, PushAfterFinishIsRefusedAndFinishTwiceAddsNothing) {
  const Layout& l = layouts[0];
  CqtStream s = open_stream({l.sr, l.hop, l.fmin, l.n_bins, l.bins_per_octave}, StreamOutput::magnitude);
  const std::vector<float> y = noisy_signal(3000, 8);
  push_samples(s, y.data(), y.size());
  finish_stream(s);
  EXPECT_EQ(s.computed_end, 3000 / l.hop + 1);
  EXPECT_THROW(push_samples(s, y.data(), 1), std::logic_error);
  std::vector<float> out(static_cast<std::size_t>(s.n_rows) * pending_frames(s));
  take_frames(s, out.data());
  finish_stream(s);
  EXPECT_EQ(pending_frames(s), 0);
}

// A raised flag stops a push with every sample taken; the frames it did not
// compute come with the next push, and the result is still exact.
TEST(Stream, CancelledPushLosesNothing) {
  const Layout& l = layouts[4];
  const std::vector<float> y = noisy_signal(200000, 9);
  int n_frames = 0;
  const std::vector<float> expected = whole(l, y, Output::chroma, &n_frames);
  ChromaStream s = open_chroma_stream(l.sr, l.hop, l.bins_per_octave, l.n_bins / l.bins_per_octave, 12, l.fmin);
  std::atomic<bool> raised{true};
  EXPECT_THROW(push_samples(s.cqt, y.data(), 150000, CancelFlag(&raised)), CallCancelled);
  EXPECT_EQ(s.cqt.pushed, 150000);
  push_samples(s.cqt, y.data() + 150000, y.size() - 150000);
  finish_stream(s.cqt);
  std::vector<float> out(12 * static_cast<std::size_t>(pending_frames(s.cqt)));
  take_chroma_frames(s, out.data());
  expect_bitwise_equal(out, expected, "cancelled chroma");
}

}  // namespace
}  // namespace morvat::vexolin

#include "chroma/chord_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace morvat::vexolin {
namespace {

// Log-likelihoods (n_states x n_frames, row-major by state) and per-frame costs.
struct Model {
  int n_states;
  std::int64_t n_frames;
  std::vector<double> scores;
  std::vector<double> cost;

  double emission(int state, std::int64_t frame) const {
    return scores[static_cast<std::size_t>(state) * static_cast<std::size_t>(n_frames) + static_cast<std::size_t>(frame)];
  }
  // Frames [from, to) as a block of their own.
  std::vector<double> columns(std::int64_t from, std::int64_t to) const {
    std::vector<double> block;
    for (int j = 0; j < n_states; ++j) {
      for (std::int64_t t = from; t < to; ++t) block.push_back(emission(j, t));
    }
    return block;
  }
};

Model random_model(int n_states, std::int64_t n_frames, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> score(0.0, 2.0);
  std::uniform_real_distribution<double> cost(0.0, 6.0);
  Model m{n_states, n_frames, {}, {}};
  for (std::int64_t i = 0; i < n_states * n_frames; ++i) m.scores.push_back(score(rng));
  for (std::int64_t t = 0; t < n_frames; ++t) m.cost.push_back(cost(rng));
  return m;
}

std::vector<std::int32_t> whole_path(const Model& m, std::int64_t n_frames) {
  const Model prefix{m.n_states, n_frames, m.columns(0, n_frames), m.cost};
  std::vector<std::int32_t> path(static_cast<std::size_t>(n_frames), -1);
  best_state_path(prefix.scores.data(), m.n_states, n_frames, prefix.cost.data(), path.data());
  return path;
}

// Pushes the frames in runs cut at random, recording the states each push
// decides (by the frame count at which it decided them), then finishes.
struct PushedRuns {
  std::vector<std::int32_t> states;
  std::size_t decided_by_pushes = 0;  // the rest by finish
  std::int64_t most_pending = 0;
};

PushedRuns push_in_runs(const Model& m, std::int64_t lag, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::int64_t> length(0, 40);
  ChordDecoder decoder(m.n_states, lag);
  PushedRuns run;
  for (std::int64_t at = 0; at < m.n_frames;) {
    const std::int64_t to = std::min(m.n_frames, at + length(rng));
    const std::vector<double> block = m.columns(at, to);
    decoder.push(block.data(), to - at, m.cost.data() + at, run.states);
    // A frame is decided once lag frames after it are in, and not before.
    EXPECT_EQ(static_cast<std::int64_t>(run.states.size()), std::max<std::int64_t>(0, to - lag)) << to;
    run.most_pending = std::max(run.most_pending, decoder.pending());
    at = to;
  }
  run.decided_by_pushes = run.states.size();
  decoder.finish(run.states);
  return run;
}

// Every path, scored: stay for free, jump into frame t for cost[t].
std::vector<std::int32_t> best_by_enumeration(const Model& m) {
  std::vector<std::int32_t> path(static_cast<std::size_t>(m.n_frames), 0), best_path;
  double best = -std::numeric_limits<double>::infinity();
  for (;;) {
    double total = 0.0;
    for (std::int64_t t = 0; t < m.n_frames; ++t) {
      total += m.emission(path[static_cast<std::size_t>(t)], t);
      if (t > 0 && path[static_cast<std::size_t>(t)] != path[static_cast<std::size_t>(t - 1)]) total -= m.cost[static_cast<std::size_t>(t)];
    }
    if (total > best) best = total, best_path = path;
    std::size_t digit = 0;
    while (digit < path.size() && ++path[digit] == m.n_states) path[digit++] = 0;
    if (digit == path.size()) return best_path;
  }
}

TEST(ChordPath, IsTheMostLikelyPathOfAllPaths) {
  for (unsigned seed = 0; seed < 20; ++seed) {
    const Model m = random_model(3, 7, seed);
    EXPECT_EQ(whole_path(m, m.n_frames), best_by_enumeration(m)) << seed;
  }
}

TEST(ChordPath, TiesPreferStayingThenTheLowestState) {
  // Frame 1 is best in state 1; frame 0 gains 1 in state 0, and the jump
  // into frame 1 costs 1: the path stays in state 1.
  const Model m{2, 2, {1.0, 0.0, 0.0, 2.0}, {0.0, 1.0}};
  EXPECT_EQ(whole_path(m, 2), (std::vector<std::int32_t>{1, 1}));
  const Model equal{3, 1, {2.0, 2.0, 2.0}, {0.0}};
  EXPECT_EQ(whole_path(equal, 1), (std::vector<std::int32_t>{0}));
}

TEST(ChordDecoder, PushedInAnyRunsAndFinishedIsTheWholePath) {
  for (int n_states : {1, 2, 25, 61}) {
    const Model m = random_model(n_states, 300, static_cast<unsigned>(n_states));
    const std::vector<std::int32_t> whole = whole_path(m, m.n_frames);
    for (unsigned seed = 0; seed < 5; ++seed) {
      const PushedRuns run = push_in_runs(m, ChordDecoder::whole_signal, seed);
      EXPECT_EQ(run.states, whole) << n_states << " states, runs " << seed;
    }
    // A lag past the end decides every frame at the end, as the whole signal.
    EXPECT_EQ(push_in_runs(m, m.n_frames, 7).states, whole) << n_states;
  }
}

TEST(ChordDecoder, EachFrameIsDecidedByTracingBackFromTheNewest) {
  // The traceback from the best state of frame t is the best path of frames
  // 0..t: the state decided for frame t - lag is that path's.
  const Model m = random_model(25, 200, 11);
  for (std::int64_t lag : {0, 1, 5, 43}) {
    const PushedRuns run = push_in_runs(m, lag, static_cast<unsigned>(lag));
    ASSERT_EQ(static_cast<std::int64_t>(run.states.size()), m.n_frames) << lag;
    for (std::int64_t t = 0; t < m.n_frames; ++t) {
      const bool by_push = static_cast<std::size_t>(t) < run.decided_by_pushes;
      const std::int64_t newest = by_push ? t + lag + 1 : m.n_frames;
      EXPECT_EQ(run.states[static_cast<std::size_t>(t)], whole_path(m, newest)[static_cast<std::size_t>(t)])
          << "lag " << lag << ", frame " << t;
    }
    EXPECT_LE(run.most_pending, lag) << "memory grows beyond the lag";
  }
}

TEST(ChordDecoder, RefusesWhatItCannotDecode) {
  EXPECT_THROW(ChordDecoder(0, 1), std::invalid_argument);
  EXPECT_THROW(ChordDecoder(2, -1), std::invalid_argument);
  ChordDecoder decoder(2, 0);
  std::vector<std::int32_t> states;
  decoder.finish(states);
  EXPECT_TRUE(states.empty());
  const double scores[] = {0.0, 1.0};
  const double cost[] = {0.0};
  EXPECT_THROW(decoder.push(scores, 1, cost, states), std::logic_error);
}

}  // namespace
}  // namespace morvat::vexolin

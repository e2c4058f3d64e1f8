// The most likely state sequence of a hidden Markov model whose states either
// stay or jump: each keeps itself with one probability and passes to every
// other state with the same smaller one. The best predecessor of a state is
// then itself or the best state of the frame before, so a frame costs
// O(n_states) rather than O(n_states^2), and a decision is a bit per state.
//
// One decoder serves a whole signal and a stream: frames are pushed in runs
// of any length; a frame is decided once `lag` frames after it are in, by
// tracing back from the best state of the newest frame, and finishing traces
// back from the best state of the last frame. Without a lag (whole_signal)
// every frame waits for the end: that is the Viterbi path.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace morvat::vexolin {

class ChordDecoder {
 public:
  // No frame is decided before finish.
  static constexpr std::int64_t whole_signal = std::numeric_limits<std::int64_t>::max();

  // n_states >= 1, lag >= 0 (throws std::invalid_argument otherwise).
  ChordDecoder(int n_states, std::int64_t lag);

  // scores: n_states x n_frames log-likelihoods, row-major by state.
  // switch_cost: per frame, what a jump into it costs against staying
  // (log p(stay) - log p(jump to one other state)); not read for the
  // signal's first frame. Appends to `decided` the state of every frame that
  // now has `lag` frames after it, oldest first. Ties prefer staying, and
  // the lowest state among equal scores.
  //
  // The running scores are shifted so that each frame's best is 0, in this
  // order: next[j] = max(score[j], best - cost) + emission[j], then every
  // next[j] -= max(next). Throws std::logic_error after finish.
  void push(const double* scores, std::int64_t n_frames, const double* switch_cost,
            std::vector<std::int32_t>& decided);

  // Appends the state of every frame not yet decided; later pushes throw,
  // later finishes append nothing.
  void finish(std::vector<std::int32_t>& decided);

  int n_states() const { return n_states_; }
  std::int64_t lag() const { return lag_; }
  // Frames pushed and not yet decided: at most lag + 1 after a push.
  std::int64_t pending() const { return static_cast<std::int64_t>(leader_.size() - first_); }
  bool finished() const { return finished_; }

 private:
  void decide_oldest(std::vector<std::int32_t>& decided);
  void forget_decided();

  int n_states_;
  std::int64_t lag_;
  bool finished_ = false;
  // The newest frame's running scores (best 0); empty before the first frame.
  std::vector<double> score_;
  std::vector<double> next_;
  // Per pending frame from index first_, oldest first: the best state of
  // the frame before it, and whether each state stayed into it (n_states
  // bytes). Decided frames before first_ are dropped in batches.
  std::vector<std::int32_t> leader_;
  std::vector<std::uint8_t> stayed_;
  std::size_t first_ = 0;
};

// The whole signal's path: a decoder without lag, pushed every frame and
// finished. Writes the state of every frame into path; with n_frames = 0
// nothing is written.
void best_state_path(const double* scores, int n_states, std::int64_t n_frames, const double* switch_cost,
                     std::int32_t* path);

}  // namespace morvat::vexolin

// Viterbi decoding for stay-or-jump transitions (see chord_path.h).
#include "chroma/chord_path.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

namespace morvat::vexolin {
namespace {

std::size_t best_of(const std::vector<double>& v) {
  return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

void shift_best_to_zero(std::vector<double>& v) {
  const double top = v[best_of(v)];
  for (double& x : v) x -= top;
}

// Decided frames are dropped once they are this many and at least as many
// as those pending, so dropping costs O(1) per frame.
constexpr std::size_t forget_at_least = 256;

}  // namespace

ChordDecoder::ChordDecoder(int n_states, std::int64_t lag) : n_states_(n_states), lag_(lag) {
  if (n_states < 1) throw std::invalid_argument("n_states must be at least 1");
  if (lag < 0) throw std::invalid_argument("lag must be at least 0 frames");
}

void ChordDecoder::push(const double* scores, std::int64_t n_frames, const double* switch_cost,
                        std::vector<std::int32_t>& decided) {
  if (finished_) throw std::logic_error("the decoder is finished; make a new one for another signal");
  if (n_frames <= 0) return;
  const auto n = static_cast<std::size_t>(n_frames);
  const auto k = static_cast<std::size_t>(n_states_);
  auto emission = [&](std::size_t state, std::size_t frame) { return scores[state * n + frame]; };
  // Without a lag every frame stays pending: room for them all at once.
  if (lag_ == whole_signal) {
    leader_.reserve(leader_.size() + n);
    stayed_.reserve(stayed_.size() + n * k);
  }
  next_.resize(k);
  for (std::size_t t = 0; t < n; ++t) {
    if (score_.empty()) {
      score_.resize(k);
      for (std::size_t j = 0; j < k; ++j) score_[j] = emission(j, t);
      shift_best_to_zero(score_);
      leader_.push_back(0);
      stayed_.insert(stayed_.end(), k, 1);
    } else {
      const std::size_t best = best_of(score_);
      const double jump = score_[best] - switch_cost[t];
      leader_.push_back(static_cast<std::int32_t>(best));
      for (std::size_t j = 0; j < k; ++j) {
        const bool keep = score_[j] >= jump;
        stayed_.push_back(keep ? 1 : 0);
        next_[j] = (keep ? score_[j] : jump) + emission(j, t);
      }
      const double top = next_[best_of(next_)];
      for (std::size_t j = 0; j < k; ++j) score_[j] = next_[j] - top;
    }
    if (pending() > lag_) decide_oldest(decided);
  }
  forget_decided();
}

void ChordDecoder::decide_oldest(std::vector<std::int32_t>& decided) {
  const auto k = static_cast<std::size_t>(n_states_);
  std::size_t state = best_of(score_);
  for (std::size_t t = leader_.size() - 1; t > first_; --t) {
    if (!stayed_[t * k + state]) state = static_cast<std::size_t>(leader_[t]);
  }
  decided.push_back(static_cast<std::int32_t>(state));
  ++first_;
}

void ChordDecoder::forget_decided() {
  if (first_ < forget_at_least || first_ < leader_.size() - first_) return;
  const auto k = static_cast<std::size_t>(n_states_);
  leader_.erase(leader_.begin(), leader_.begin() + static_cast<std::ptrdiff_t>(first_));
  stayed_.erase(stayed_.begin(), stayed_.begin() + static_cast<std::ptrdiff_t>(first_ * k));
  first_ = 0;
}

void ChordDecoder::finish(std::vector<std::int32_t>& decided) {
  finished_ = true;
  if (score_.empty() || leader_.size() == first_) return;
  const auto k = static_cast<std::size_t>(n_states_);
  const std::size_t at = decided.size();
  decided.resize(at + (leader_.size() - first_));
  std::size_t state = best_of(score_);
  for (std::size_t t = leader_.size(); t-- > first_;) {
    decided[at + (t - first_)] = static_cast<std::int32_t>(state);
    if (t > first_ && !stayed_[t * k + state]) state = static_cast<std::size_t>(leader_[t]);
  }
  leader_.clear();
  stayed_.clear();
  first_ = 0;
}

void best_state_path(const double* scores, int n_states, std::int64_t n_frames, const double* switch_cost,
                     std::int32_t* path) {
  if (n_frames <= 0 || n_states <= 0) return;
  ChordDecoder decoder(n_states, ChordDecoder::whole_signal);
  std::vector<std::int32_t> states;
  states.reserve(static_cast<std::size_t>(n_frames));
  decoder.push(scores, n_frames, switch_cost, states);
  decoder.finish(states);
  std::copy(states.begin(), states.end(), path);
}

}  // namespace morvat::vexolin

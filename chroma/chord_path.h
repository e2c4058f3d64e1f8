// The most likely state sequence of a hidden Markov model whose states either
// stay or jump: each keeps itself with one probability and passes to every
// other state with the same smaller one. The best predecessor of a state is
// then itself or the best state of the frame before, so a frame costs
// O(n_states) rather than O(n_states^2), and a decision is a bit per state.
#pragma once

#include <cstdint>

namespace morvat::vexolin {

// scores: n_states x n_frames log-likelihoods, row-major by state.
// switch_cost: per frame, what a jump into that frame costs against staying
// (log p(stay) - log p(jump to one other state)); entry 0 is not read.
// Writes the state of every frame into path. Ties prefer staying, and the
// lowest state among equal scores. With n_frames = 0 nothing is written.
//
// The running scores are shifted so that each frame's best is 0, in this
// order: next[j] = max(score[j], best - cost) + emission[j], then every
// next[j] -= max(next); the package's online decoder does the same.
void best_state_path(const double* scores, int n_states, std::int64_t n_frames, const double* switch_cost,
                     std::int32_t* path);

}  // namespace morvat::vexolin

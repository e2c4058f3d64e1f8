// Viterbi decoding for stay-or-jump transitions (see chord_path.h).
#include "chroma/chord_path.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace morvat::vexolin {

void best_state_path(const double* scores, int n_states, std::int64_t n_frames, const double* switch_cost,
                     std::int32_t* path) {
  if (n_frames <= 0 || n_states <= 0) return;
  const auto n = static_cast<std::size_t>(n_frames);
  const auto k = static_cast<std::size_t>(n_states);
  auto emission = [&](std::size_t state, std::size_t frame) { return scores[state * n + frame]; };
  auto best_of = [&](const std::vector<double>& v) {
    return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
  };
  std::vector<double> current(k), next(k);
  // Per frame: the best state of the frame before, and whether each state stayed.
  std::vector<std::int32_t> leader(n, 0);
  std::vector<std::uint8_t> stayed(n * k, 1);
  for (std::size_t j = 0; j < k; ++j) current[j] = emission(j, 0);
  {
    const double top = current[best_of(current)];
    for (double& v : current) v -= top;
  }
  for (std::size_t t = 1; t < n; ++t) {
    const std::size_t best = best_of(current);
    const double jump = current[best] - switch_cost[t];
    leader[t] = static_cast<std::int32_t>(best);
    std::uint8_t* stay = &stayed[t * k];
    for (std::size_t j = 0; j < k; ++j) {
      const bool keep = current[j] >= jump;
      stay[j] = keep ? 1 : 0;
      next[j] = (keep ? current[j] : jump) + emission(j, t);
    }
    const double top = next[best_of(next)];
    for (std::size_t j = 0; j < k; ++j) current[j] = next[j] - top;
  }
  std::size_t state = best_of(current);
  for (std::size_t t = n; t-- > 0;) {
    path[t] = static_cast<std::int32_t>(state);
    if (t > 0 && !stayed[t * k + state]) state = static_cast<std::size_t>(leader[t]);
  }
}

}  // namespace morvat::vexolin

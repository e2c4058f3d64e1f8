// Chroma features: CQT magnitudes of all octaves folded onto pitch classes,
// every frame scaled so that its largest value is 1.
#pragma once

#include "engine/cqt.h"

#include <cstddef>
#include <vector>

namespace morvat::vexolin {

// A chroma call on len samples, checked and planned before any work: the
// transform of n_octaves * bins_per_octave bins from fmin (C1 when not > 0)
// and the pitch-class row of every bin.
struct ChromaPlan {
  CqtPlan cqt;
  int n_chroma = 0;
  std::vector<int> rows;  // per bin; -1 for none
};

// Throws std::invalid_argument naming the parameter when the layout does not
// fold (1 <= n_chroma <= bins_per_octave), n_octaves < 1,
// n_octaves * bins_per_octave is not an int of at least 2, or for anything
// plan_cqt refuses; a top bin at or above the Nyquist limit sr / 2 gets the
// largest n_octaves below it as advice.
ChromaPlan plan_chroma(std::size_t len, double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma,
                       double fmin, double filter_scale = 1.0);

// Computes the planned chroma of the plan's len samples at y into out, n_chroma
// x cqt.n_frames values row-major by pitch class (row 0 is C for n_chroma =
// 12), each frame scaled to a largest value of 1; on at most n_threads
// threads, with the same result for every count. Cancelled as run_cqt is.
void run_chroma(const ChromaPlan& plan, const float* y, float* out, int n_threads, const CancelFlag& cancel = {});

// run_chroma without the scaling: each value the sum of its pitch class's
// magnitudes, the same sums run_chroma scales. The package's other norms
// and threshold start from these.
void fold_chroma(const ChromaPlan& plan, const float* y, float* out, int n_threads, const CancelFlag& cancel = {});

// The chroma row each of n_bins bins folds into (-1: none), for bins from
// the effective fmin at bins_per_octave. Throws std::invalid_argument when
// the layout does not fold or fmin is not a finite frequency > 0.
std::vector<int> chroma_rows(int n_bins, int bins_per_octave, int n_chroma, double fmin);

// Scales every frame (column) of an n_chroma x n_frames matrix so that its
// largest absolute value is 1; frames at or below 1e-20 stay as they are.
void normalise_chroma(float* chroma, int n_chroma, int n_frames);

// The same for n_frames frames of a matrix whose rows lie row_stride values apart.
void normalise_chroma_columns(float* chroma, int n_chroma, std::size_t row_stride, int n_frames);

}  // namespace morvat::vexolin

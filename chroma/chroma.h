// Chroma features: CQT magnitudes of all octaves folded onto pitch classes,
// every frame scaled so that its largest value is 1.
#pragma once

#include "engine/cqt.h"

#include <vector>

namespace morvat::vexolin {

// The bin count of a chroma transform over n_octaves whole octaves, checked
// before any work: the layout must fold (1 <= n_chroma <= bins_per_octave),
// n_octaves * bins_per_octave must be an int of at least 2, and the top bin
// must lie below the Nyquist limit sr / 2 (the message names the largest
// n_octaves that does). Throws std::invalid_argument naming the parameter.
// fmin is the effective frequency of bin 0.
int chroma_bin_count(double sr, double fmin, int bins_per_octave, int n_octaves, int n_chroma);

// The chroma row each of n_bins bins folds into (-1: none), for bins from
// the effective fmin at bins_per_octave. Throws std::invalid_argument when
// the layout does not fold or fmin is not a finite frequency > 0.
std::vector<int> chroma_rows(int n_bins, int bins_per_octave, int n_chroma, double fmin);

// Scales every frame (column) of an n_chroma x n_frames matrix so that its
// largest absolute value is 1; frames at or below 1e-20 stay as they are.
void normalise_chroma(float* chroma, int n_chroma, int n_frames);

}  // namespace morvat::vexolin

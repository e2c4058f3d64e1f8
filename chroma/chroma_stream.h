// Chroma of a signal that arrives in blocks: a stream of CQT magnitudes
// folded onto pitch classes as they are computed, each frame scaled once it
// is complete. Equal bit for bit to run_chroma on the whole signal.
#pragma once

#include "chroma/chroma.h"
#include "engine/stream.h"

#include <cstdint>

namespace morvat::vexolin {

struct ChromaStream {
  CqtStream cqt;
  std::int64_t normalised_end = 0;  // frames before it are scaled
};

// Checks as plan_chroma does; frames_at_once as for open_stream.
ChromaStream open_chroma_stream(double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma, double fmin,
                                int frames_at_once = frame_block, const CancelFlag& cancel = {},
                                double filter_scale = 1.0);

// Scales the frames computed since the last call (an interrupted push or
// finish may have left some unscaled), then copies the pending frames to
// out as take_frames does.
void take_chroma_frames(ChromaStream& s, float* out);

}  // namespace morvat::vexolin

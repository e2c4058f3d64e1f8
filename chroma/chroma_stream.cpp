#include "chroma/chroma_stream.h"

#include <cstddef>
#include <utility>

namespace morvat::vexolin {

ChromaStream open_chroma_stream(double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma, double fmin,
                                int frames_at_once, const CancelFlag& cancel, double filter_scale) {
  ChromaPlan plan = plan_chroma(0, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, filter_scale);
  ChromaStream s;
  s.cqt = open_stream(plan.cqt.params, StreamOutput::folded, frames_at_once, std::move(plan.rows), plan.n_chroma,
                      cancel);
  return s;
}

void take_chroma_frames(ChromaStream& s, float* out) {
  CqtStream& c = s.cqt;
  if (s.normalised_end < c.computed_end) {
    float* first = c.pending.data() + (s.normalised_end - c.pending_first);
    normalise_chroma_columns(first, c.n_rows, static_cast<std::size_t>(c.pending_capacity),
                             static_cast<int>(c.computed_end - s.normalised_end));
    s.normalised_end = c.computed_end;
  }
  take_frames(c, out);
}

}  // namespace morvat::vexolin

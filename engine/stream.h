// The transform of a signal that arrives in blocks. A stream holds the part
// of a call's plan that does not depend on the signal's length, every halved
// signal as a sliding window with absolute sample positions, and the frames
// computed but not yet taken. A frame is computed once every sample it
// reads, at every octave's rate, is known: pushed, or past the end once the
// stream is finished. Each frame is computed by the same steps as in
// run_cqt, so the frames of any partition of a signal into blocks equal the
// whole-signal result bit for bit, and a stream's memory does not grow with
// what has been pushed.
#pragma once

#include "engine/aligned_vector.h"
#include "engine/cancel.h"
#include "engine/cqt.h"
#include "engine/frames.h"
#include "engine/sparse_basis.h"
#include "engine/transform_set.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace morvat::vexolin {

enum class StreamOutput {
  complex,    // two floats per value, real part first
  magnitude,  // one float per value
  folded,     // magnitudes added into rows[bin] (none when negative)
};

struct StreamSignal {
  std::int64_t first = 0;  // the window holds samples first .. done - 1
  std::int64_t done = 0;
  AlignedVector window;
};

struct CqtStream {
  // Frames are computed frame_block at a time, in the whole-signal call's
  // groups (f / frame_block), or each as soon as it is complete (1): the
  // products cost as much for one frame as for a group.
  int frames_at_once = frame_block;
  // Planned for no samples: n_frames and octave lengths are not the stream's.
  // One channel, or a harmonic transform's channels (rows channel by channel).
  std::vector<CqtPlan> channels;
  TransformSet set;  // over `channels`, bases resolved
  StreamOutput output = StreamOutput::magnitude;
  std::vector<int> rows;  // folded: the row of every bin
  int n_rows = 0;         // rows of the output
  std::vector<StreamSignal> signals;  // per level; signal 0 is the input, i + 1 is i halved
  std::unique_ptr<FrameScratch> scratch;
  std::int64_t pushed = 0;
  bool finished = false;
  std::int64_t n_frames = -1;  // known once finished
  std::int64_t computed_end = 0;  // frames before it are computed
  // Frames pending_first .. computed_end - 1 wait to be taken, column
  // f - pending_first of a row-major n_rows x pending_capacity matrix.
  std::int64_t pending_first = 0;
  std::int64_t pending_capacity = 0;
  std::vector<float> pending;
  // The frame groups' work, bound to the pending matrix at bound_to with
  // rows bound_stride values apart: bound again only when the matrix moves,
  // not at every push.
  std::vector<GroupWork> work;
  const float* bound_to = nullptr;
  std::int64_t bound_stride = 0;
};

// A stream of the transform with parameters p, computing frames_at_once (1
// or frame_block) frames at a time. For folded output, rows holds the output
// row of every bin (-1: none) and n_rows the output's rows. Throws what
// plan_cqt throws; builds missing kernel bases (cancellable).
CqtStream open_stream(const CqtParams& p, StreamOutput output, int frames_at_once = frame_block,
                      std::vector<int> rows = {}, int n_rows = 0, const CancelFlag& cancel = {});

// A stream of the harmonic transform (complex or magnitude output), equal
// to run_hcqt on the whole signal. Throws what plan_hcqt throws.
CqtStream open_hcqt_stream(const CqtParams& p, const std::vector<double>& harmonics, StreamOutput output,
                           int frames_at_once = frame_block, const CancelFlag& cancel = {});

// Input samples after which the first frames come out. Frame f, in the
// group ending with frame g, comes out once g * hop + latency0 samples are
// pushed, where latency0 is set by the frame group whose FFT, scaled to the
// input rate, reaches furthest, and the halvings' reach: the largest over
// groups of 2^d (n_fft - n_fft / 2) + 31 (2^d - 1), d the group's level. The
// result is latency0 + (frames_at_once - 1) * hop.
std::int64_t stream_latency(const CqtStream& s);

// Frames computed once `pushed` samples are known (before the end is).
std::int64_t ready_frames(const CqtStream& s, std::int64_t pushed);

// Takes the n samples at y and computes every frame they complete. Throws
// std::logic_error after finish_stream, std::invalid_argument when the
// stream would pass 2^31 - 1 frames (taking none of the samples). When
// `cancel` is raised it throws CallCancelled with every sample taken; frames
// computed so far stay pending, and the rest follow with the next push or
// finish (an empty push computes them).
void push_samples(CqtStream& s, const float* y, std::size_t n, const CancelFlag& cancel = {});

// Ends the signal: pads it as run_cqt does and computes the remaining frames.
// A second call does nothing. Cancelled as push_samples is.
void finish_stream(CqtStream& s, const CancelFlag& cancel = {});

// Frames computed and not yet taken.
int pending_frames(const CqtStream& s);

// Copies the pending frames, row-major (n_rows x pending_frames(s) values,
// two floats each for complex output), to out, and forgets them.
void take_frames(CqtStream& s, float* out);

}  // namespace morvat::vexolin

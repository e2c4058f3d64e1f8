// Several transforms of one signal computed together (the channels of a
// harmonic CQT, or one transform alone). They share one pyramid of halved
// signals, level j being the input halved j times, and every frame that two
// octaves read alike (same level, hop and FFT size) is transformed once: the
// octaves of such a frame group differ only in their kernel products. Each
// octave's values are computed by the same steps as in a call of its own, so
// every channel equals its own transform bit for bit. The set is planned and
// run here; the driver (engine/cqt.h) and the harmonic transform
// (engine/hcqt.h) hand it their plans.
#pragma once

#include "engine/cancel.h"
#include "engine/cqt_plan.h"
#include "engine/frames.h"
#include "engine/sparse_basis.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace morvat::vexolin {

struct OctaveRef {
  int channel;
  int octave;  // in the channel's plan, top first
};

struct FrameGroup {
  int level;  // its signal: the input halved `level` times
  int hop;    // at that rate
  int n_fft;
  std::vector<OctaveRef> octaves;  // channel by channel, top octave first
};

struct TransformSet {
  std::vector<const CqtPlan*> channels;
  int n_levels = 1;  // signals 0 .. n_levels - 1
  std::vector<FrameGroup> groups;
  std::vector<std::vector<const SparseBasis*>> bases;  // per channel and octave, once resolved
};

// The level of every octave of a plan: its early halvings and the halvings
// between the octaves above it.
std::vector<int> octave_levels(const CqtPlan& plan);

// The frame groups of the channels' octaves, in the order of their first
// octave. With `folded` set, octaves of one channel never share a group: a
// folded target adds bins into common rows, in the order of the octaves.
TransformSet group_transforms(std::vector<const CqtPlan*> channels, bool folded);

// Finds every octave's basis in the process-wide cache, building the missing
// ones on as many threads as `n_threads` allows (cancellable).
void resolve_bases(TransformSet& set, int n_threads, const CancelFlag& cancel);

// Where a channel's values go: its bins at rows first_row onward of target.
struct ChannelOut {
  CqtTarget target;
  int first_row = 0;
};

// The union of a frame group's used FFT bins (gathered once per frame) and,
// per job, the union slot of each of its entries.
struct GroupLayout {
  std::vector<int> re_at;
  std::vector<int> im_at;
  std::vector<std::vector<int>> entry_slot;
};

// The work of one frame group: a job per octave whose products are needed,
// reading the spectrum gathered at `layout`, and the octaves that copy
// another's values. The jobs' signal (x, x_first, len) is set by whoever runs
// them. The jobs point into `tables` (shared by copies of the work).
struct GroupWork {
  std::vector<OctaveJob> jobs;
  std::vector<CopiedJob> copies;
  GatherLayout layout{};
  std::shared_ptr<const GroupLayout> tables;  // null for a group of one job, which keeps its basis's
};

// The work of every group of a resolved set, writing channel c's bins into
// outs[c] with rows row_stride values apart. An octave copies another of its
// group when both have the same basis and row scales and neither is folded.
std::vector<GroupWork> bind_groups(const TransformSet& set, const std::vector<ChannelOut>& outs,
                                   std::size_t row_stride);

// Points the group's jobs at its signal: len samples, held from sample
// x_first on at x.
inline void set_signal(GroupWork& work, const float* x, std::int64_t x_first, std::int64_t len) {
  for (OctaveJob& job : work.jobs) {
    job.x = x;
    job.x_first = x_first;
    job.len = len;
  }
}

// The FFT size and slab rows a scratch needs for every group of the work.
struct ScratchSize {
  int n_fft;
  int used_bins;
};
ScratchSize scratch_size(const std::vector<GroupWork>& work);

// Highest hop of the groups: the hop at the highest rate a set reads.
int highest_hop(const TransformSet& set);

// Computes frames 0 .. n_frames - 1 of every channel of the set (grouped, not
// yet resolved) from the len samples at y into outs, rows n_frames values
// apart, on at most n_threads threads; the same result for every count.
// Each worker holds a few chunks of every halved signal, never the whole of
// one. Cancelled as run_cqt is.
void run_transform_set(TransformSet& set, const std::vector<ChannelOut>& outs, std::size_t len, int n_frames,
                       const float* y, int n_threads, const CancelFlag& cancel);

}  // namespace morvat::vexolin

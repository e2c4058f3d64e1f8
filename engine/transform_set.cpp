#include "engine/transform_set.h"

#include "engine/basis_cache.h"
#include "engine/decimate.h"
#include "engine/fft_length.h"
#include "engine/octave_plan.h"
#include "engine/thread_plan.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace morvat::vexolin {

std::vector<int> octave_levels(const CqtPlan& plan) {
  std::vector<int> levels;
  int level = plan.octaves.early_halvings;
  for (const OctaveSpan& octave : plan.octaves.octaves) {
    levels.push_back(level);
    if (octave.halve_after) ++level;
  }
  return levels;
}

TransformSet group_transforms(std::vector<const CqtPlan*> channels, bool folded) {
  TransformSet set;
  set.channels = std::move(channels);
  std::vector<int> group_channel;  // the one channel of a group when folded
  for (std::size_t c = 0; c < set.channels.size(); ++c) {
    const CqtPlan& plan = *set.channels[c];
    const std::vector<int> levels = octave_levels(plan);
    for (std::size_t o = 0; o < levels.size(); ++o) {
      const OctaveSpan& octave = plan.octaves.octaves[o];
      set.n_levels = std::max(set.n_levels, levels[o] + 1);
      const OctaveRef ref{static_cast<int>(c), static_cast<int>(o)};
      auto same_frames = [&](std::size_t g) {
        const FrameGroup& group = set.groups[g];
        return group.level == levels[o] && group.hop == octave.hop && group.n_fft == octave.n_fft &&
               (!folded || group_channel[g] == ref.channel);
      };
      std::size_t g = 0;
      while (g < set.groups.size() && !same_frames(g)) ++g;
      if (g == set.groups.size()) {
        set.groups.push_back({levels[o], octave.hop, octave.n_fft, {}});
        group_channel.push_back(ref.channel);
      }
      set.groups[g].octaves.push_back(ref);
    }
  }
  return set;
}

namespace {

std::vector<double> slice(const std::vector<double>& grid, const OctaveSpan& octave) {
  return std::vector<double>(grid.begin() + octave.first_bin, grid.begin() + octave.end_bin);
}

}  // namespace

void resolve_bases(TransformSet& set, int n_threads, const CancelFlag& cancel) {
  set.bases.assign(set.channels.size(), {});
  std::vector<OctaveRef> missing;
  for (std::size_t c = 0; c < set.channels.size(); ++c) {
    const CqtPlan& plan = *set.channels[c];
    const CqtParams& p = plan.params;
    for (std::size_t o = 0; o < plan.octaves.octaves.size(); ++o) {
      const OctaveSpan& octave = plan.octaves.octaves[o];
      set.bases[c].push_back(find_cached_basis(slice(plan.freqs, octave), octave.sr, plan.octaves.sr_reference,
                                               p.filter_scale, p.sparsity, p.gamma));
      if (set.bases[c].back() == nullptr) missing.push_back({static_cast<int>(c), static_cast<int>(o)});
    }
  }
  // The first call with new parameters builds the missing bases, on as many
  // threads as its frames get.
  auto build = [&](int begin, int end) {
    for (int m = begin; m < end; ++m) {
      const OctaveRef ref = missing[static_cast<std::size_t>(m)];
      const CqtPlan& plan = *set.channels[static_cast<std::size_t>(ref.channel)];
      const CqtParams& p = plan.params;
      const OctaveSpan& octave = plan.octaves.octaves[static_cast<std::size_t>(ref.octave)];
      set.bases[static_cast<std::size_t>(ref.channel)][static_cast<std::size_t>(ref.octave)] =
          &cached_basis(slice(plan.freqs, octave), slice(plan.alpha, octave), octave.sr, plan.octaves.sr_reference,
                        p.filter_scale, p.sparsity, p.gamma, cancel);
    }
  };
  const std::vector<WorkBlock> builders = plan_blocks(static_cast<int>(missing.size()), n_threads, 2, 1);
  if (builders.empty()) {
    build(0, static_cast<int>(missing.size()));
  } else {
    run_blocks_on_threads(builders, build);
  }
}

namespace {

// Gathers the group's spectrum once, at the union of its jobs' used bins.
void share_layout(GroupWork& w, const std::vector<const SparseBasis*>& bases, int n_fft) {
  if (w.jobs.size() == 1) {
    const OctaveJob& job = w.jobs.front();
    w.layout = {job.n_used, job.re_at, job.im_at};
    return;
  }
  const int half = n_fft / 2;
  std::vector<int> slot_of(static_cast<std::size_t>(half) + 1, -1);
  std::vector<int> re_of(slot_of.size()), im_of(slot_of.size());
  for (const SparseBasis* basis : bases) {
    for (std::size_t u = 0; u < basis->used_bins.size(); ++u) {
      const int bin = basis->used_bins[u];
      slot_of[bin] = 0;
      re_of[bin] = basis->re_at[u];
      im_of[bin] = basis->im_at[u];
    }
  }
  auto tables = std::make_shared<GroupLayout>();
  for (int bin = 0; bin <= half; ++bin) {
    if (slot_of[bin] < 0) continue;
    slot_of[bin] = static_cast<int>(tables->re_at.size());
    tables->re_at.push_back(re_of[bin]);
    tables->im_at.push_back(im_of[bin]);
  }
  for (const SparseBasis* basis : bases) {
    std::vector<int> slots(basis->fft_bins.size());
    for (std::size_t e = 0; e < slots.size(); ++e) slots[e] = slot_of[basis->fft_bins[e]];
    tables->entry_slot.push_back(std::move(slots));
  }
  for (std::size_t j = 0; j < w.jobs.size(); ++j) {
    w.jobs[j].entry_slot = tables->entry_slot[j].data();
    w.jobs[j].n_used = static_cast<int>(tables->re_at.size());
    w.jobs[j].re_at = tables->re_at.data();
    w.jobs[j].im_at = tables->im_at.data();
  }
  w.layout = {static_cast<int>(tables->re_at.size()), tables->re_at.data(), tables->im_at.data()};
  w.tables = std::move(tables);
}

}  // namespace

std::vector<GroupWork> bind_groups(const TransformSet& set, const std::vector<ChannelOut>& outs,
                                   std::size_t row_stride) {
  std::vector<GroupWork> work;
  work.reserve(set.groups.size());
  for (const FrameGroup& group : set.groups) {
    GroupWork w;
    std::vector<const SparseBasis*> bases;  // of the jobs
    for (const OctaveRef& ref : group.octaves) {
      const std::size_t c = static_cast<std::size_t>(ref.channel);
      const CqtPlan& plan = *set.channels[c];
      const OctaveSpan& octave = plan.octaves.octaves[static_cast<std::size_t>(ref.octave)];
      const SparseBasis& basis = *set.bases[c][static_cast<std::size_t>(ref.octave)];
      assert(basis.n_fft == group.n_fft);
      const CqtTarget& out = outs[c].target;
      OctaveTarget t;
      t.re = out.re;
      t.im = out.im;
      t.stride = out.stride;
      t.mag = out.mag;
      t.mag_row = out.mag_row != nullptr ? out.mag_row + octave.first_bin : nullptr;
      t.row_stride = row_stride;
      t.first_row = outs[c].first_row + octave.first_bin;
      t.row_scale = plan.row_scale.data() + octave.first_bin;

      // The very same bins as an octave already in the group: copy its values.
      auto same_values = [&](const OctaveJob& job) {
        return job.row_offsets == basis.row_offsets.data() && job.target.mag_row == nullptr &&
               t.mag_row == nullptr && (job.target.mag == nullptr) == (t.mag == nullptr) &&
               std::memcmp(job.target.row_scale, t.row_scale, static_cast<std::size_t>(basis.n_bins) * sizeof(float)) ==
                   0;
      };
      const auto same = std::find_if(w.jobs.begin(), w.jobs.end(), same_values);
      if (same != w.jobs.end()) {
        w.copies.push_back({static_cast<int>(same - w.jobs.begin()), t});
        continue;
      }
      w.jobs.push_back(octave_job(nullptr, 0, 0, octave.hop, basis, t));
      bases.push_back(&basis);
    }
    share_layout(w, bases, group.n_fft);
    work.push_back(std::move(w));
  }
  return work;
}

ScratchSize scratch_size(const std::vector<GroupWork>& work) {
  ScratchSize size{detail::fft_min_size, 1};
  for (const GroupWork& w : work) {
    size.n_fft = std::max(size.n_fft, w.jobs.front().n_fft);
    size.used_bins = std::max(size.used_bins, w.layout.n_used * blocks_held(static_cast<int>(w.jobs.size())));
  }
  return size;
}

int highest_hop(const TransformSet& set) {
  int hop = 1;
  for (const FrameGroup& group : set.groups) hop = std::max(hop, group.hop);
  return hop;
}

namespace {

// Samples of the highest-rate signal one chunk of frames spans: the chunk's
// signals, at every rate, stay in cache while its halvings and frames are
// computed.
constexpr std::int64_t chunk_samples = 1 << 15;

// One worker's part of a call: frames first_frame .. end_frame - 1 of every
// frame group, taken through all groups chunk by chunk. Each halved signal is
// a window that the worker extends just ahead of the frames (and the halving
// beneath) that read it, and slides forward once they no longer need its
// oldest samples, so a call holds a few chunks of every signal, not the
// signal. Windows of neighbouring workers overlap by a few samples that both
// compute: every halved sample is a function of the input alone, so they
// agree and the result does not depend on the number of workers.
class SegmentPipeline {
 public:
  SegmentPipeline(const TransformSet& set, std::vector<GroupWork> work, std::size_t len, const float* y,
                  FrameScratch& scratch, int first_frame, int end_frame)
      : set_(set), work_(std::move(work)), scratch_(scratch), first_frame_(first_frame), end_frame_(end_frame) {
    // Signal 0 is the input; signal i + 1 is signal i halved.
    signals_.resize(static_cast<std::size_t>(set.n_levels));
    signals_[0].len = static_cast<std::int64_t>(len);
    signals_[0].end = signals_[0].done = signals_[0].len;
    signals_[0].data = y;
    for (std::size_t i = 1; i < signals_.size(); ++i) signals_[i].len = detail::halved_length(signals_[i - 1].len);

    // The samples each signal must reach: what its groups' frames read, and
    // what the halving into the next signal reads.
    std::vector<std::int64_t> need_first(signals_.size(), std::numeric_limits<std::int64_t>::max());
    std::vector<std::int64_t> need_end(signals_.size(), std::numeric_limits<std::int64_t>::min());
    for (const FrameGroup& g : set.groups) {
      const std::size_t i = static_cast<std::size_t>(g.level);
      const std::int64_t half = g.n_fft / 2;
      need_first[i] = std::min(need_first[i], static_cast<std::int64_t>(first_frame) * g.hop - half);
      need_end[i] = std::max(need_end[i], static_cast<std::int64_t>(end_frame - 1) * g.hop - half + g.n_fft);
    }
    for (std::size_t i = signals_.size() - 1; i >= 1; --i) {
      Signal& s = signals_[i];
      s.first = std::max<std::int64_t>(need_first[i], 0);
      s.end = std::min(need_end[i], s.len);
      if (s.end <= s.first) s.first = s.end = 0;
      s.done = s.first;
      if (s.end > s.first) {
        need_first[i - 1] = std::min(need_first[i - 1], halving_input_begin(s.first));
        need_end[i - 1] = std::max(need_end[i - 1], halving_input_end(s.end - 1));
      }
    }
  }

  void run(const CancelFlag& cancel) {
    const std::int64_t top_hop = highest_hop(set_);
    const int chunk =
        static_cast<int>(std::max<std::int64_t>(frame_block, chunk_samples / top_hop / frame_block * frame_block));
    for (chunk_first_ = first_frame_; chunk_first_ < end_frame_; chunk_first_ += chunk) {
      cancel.stop_if_raised();
      const int f_end = std::min(end_frame_, chunk_first_ + chunk);
      for (std::size_t g = 0; g < set_.groups.size(); ++g) {
        const FrameGroup& group = set_.groups[g];
        const std::size_t i = static_cast<std::size_t>(group.level);
        extend(i, static_cast<std::int64_t>(f_end - 1) * group.hop - group.n_fft / 2 + group.n_fft, cancel);
        const Signal& s = signals_[i];
        GroupWork& w = work_[g];
        set_signal(w, s.data, s.first, s.len);
        compute_group_frames(w.jobs.data(), static_cast<int>(w.jobs.size()), w.layout, w.copies, scratch_, chunk_first_,
                             f_end, cancel);
      }
    }
  }

 private:
  struct Signal {
    std::int64_t len = 0;    // samples of the whole signal
    std::int64_t end = 0;    // the worker needs none from here on
    std::int64_t first = 0;  // the window holds first .. done - 1
    std::int64_t done = 0;
    const float* data = nullptr;  // sample first
    AlignedVector window;
  };

  // The oldest sample of signal i that the current chunk's frames, or the
  // halving into signal i + 1, will still read.
  std::int64_t oldest_needed(std::size_t i) const {
    std::int64_t oldest = signals_[i].done;
    for (const FrameGroup& g : set_.groups) {
      if (static_cast<std::size_t>(g.level) != i) continue;
      oldest = std::min(oldest, static_cast<std::int64_t>(chunk_first_) * g.hop - g.n_fft / 2);
    }
    if (i + 1 < signals_.size()) oldest = std::min(oldest, halving_input_begin(signals_[i + 1].done));
    return std::max(oldest, signals_[i].first);
  }

  // Computes signal i up to sample `until` (no further than it is needed).
  void extend(std::size_t i, std::int64_t until, const CancelFlag& cancel) {
    if (i == 0) return;
    Signal& s = signals_[i];
    until = std::min(until, s.end);
    if (until <= s.done) return;
    extend(i - 1, halving_input_end(until - 1), cancel);

    const std::size_t wanted = static_cast<std::size_t>(until - s.first);
    if (wanted > s.window.size()) {
      // Slide: drop what nothing reads any more, then grow if still short.
      const std::int64_t keep = oldest_needed(i);
      const std::size_t kept = static_cast<std::size_t>(s.done - keep);
      if (keep > s.first) {
        std::memmove(s.window.data(), s.window.data() + (keep - s.first), kept * sizeof(float));
        s.first = keep;
      }
      const std::size_t size = static_cast<std::size_t>(until - s.first);
      if (size > s.window.size()) s.window.resize(std::max(size, s.window.size() + s.window.size() / 2));
      s.data = s.window.data();
    }
    const Signal& from = signals_[i - 1];
    decimate_span(from.data, from.first, from.len, s.window.data(), s.first, s.done, until, cancel);
    s.done = until;
  }

  const TransformSet& set_;
  std::vector<GroupWork> work_;
  FrameScratch& scratch_;
  int first_frame_;
  int end_frame_;
  int chunk_first_ = 0;  // first frame of the chunk being computed
  std::vector<Signal> signals_;
};

}  // namespace

void run_transform_set(TransformSet& set, const std::vector<ChannelOut>& outs, std::size_t len, int n_frames,
                       const float* y, int n_threads, const CancelFlag& cancel) {
  // Long calls are cut into runs of frames, one per worker thread.
  std::vector<WorkBlock> blocks = plan_frame_blocks(n_frames, n_threads);
  if (blocks.empty()) blocks.push_back({0, n_frames});
  align_to_frame_blocks(blocks);

  resolve_bases(set, static_cast<int>(blocks.size()), cancel);
  const std::vector<GroupWork> work = bind_groups(set, outs, static_cast<std::size_t>(n_frames));
  const ScratchSize size = scratch_size(work);

  std::vector<FrameScratch> scratch;
  scratch.reserve(blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) scratch.emplace_back(size.n_fft, size.used_bins);
  std::vector<SegmentPipeline> segments;
  segments.reserve(blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    segments.emplace_back(set, work, len, y, scratch[i], blocks[i].begin, blocks[i].end);
  }
  if (segments.size() == 1) {
    segments.front().run(cancel);
    return;
  }
  run_blocks_on_threads(blocks, [&](int begin, int) { segments[block_index(blocks, begin)].run(cancel); });
}

}  // namespace morvat::vexolin

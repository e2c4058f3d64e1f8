#include "engine/transform_set.h"

#include "engine/basis_cache.h"
#include "engine/fft_length.h"
#include "engine/thread_plan.h"

#include <algorithm>
#include <cassert>
#include <cstring>
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

}  // namespace morvat::vexolin

// Multi-octave driver: computes the top octave from the signal at its working
// rate, then halves the rate for each lower octave whenever the hop allows,
// so that every octave's kernels and FFTs stay short.
#include "engine/cqt.h"

#include "engine/basis_cache.h"
#include "engine/bin_grid.h"
#include "engine/decimate.h"
#include "engine/errors.h"
#include "engine/fft_setup.h"
#include "engine/frames.h"
#include "engine/memory_guard.h"
#include "engine/octave_plan.h"
#include "engine/thread_plan.h"
#include "engine/transform_set.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace morvat::vexolin {
namespace {

// Checks that need no grid, so that absurd sizes fail before any allocation.
void validate_params(std::size_t len, const CqtParams& p) {
  if (p.n_bins < 2) throw argument_error("n_bins must be >= 2, got ", p.n_bins);
  if (p.bins_per_octave < 1) throw argument_error("bins_per_octave must be >= 1, got ", p.bins_per_octave);
  if (p.hop < 1) throw argument_error("hop must be >= 1, got ", p.hop);
  if (!(std::isfinite(p.sr) && p.sr > 0.0)) throw argument_error("sr must be a finite number > 0, got ", p.sr);
  if (len > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw argument_error("y must have fewer than 2^31 samples, got ", len);
  }
  if (std::isinf(p.fmin) && p.fmin > 0.0) throw argument_error("fmin must be finite, got ", p.fmin);
  if (!(p.filter_scale > 0.0 && std::isfinite(p.filter_scale))) {
    throw argument_error("filter_scale must be a finite number > 0, got ", p.filter_scale);
  }
  if (!std::isfinite(p.sparsity)) throw argument_error("sparsity must be finite, got ", p.sparsity);
  if (!(p.gamma >= 0.0 && std::isfinite(p.gamma))) {
    throw argument_error("gamma must be a finite number >= 0 (Hz), got ", p.gamma);
  }
  if (!top_bin_below_nyquist(p.fmin, p.n_bins, p.bins_per_octave, p.sr, p.gamma, p.filter_scale)) {
    const double top = top_bin_frequency(p.fmin, p.n_bins, p.bins_per_octave);
    const double nyquist = 0.5 * p.sr;
    const double reach = widening_reach(p.gamma, p.filter_scale);
    const int most = most_bins_below_nyquist(p.fmin, p.bins_per_octave, p.sr, p.gamma, p.filter_scale);
    const std::string bins = most >= 2 ? error_message("n_bins (to ", most, " at most)") : std::string("n_bins");
    if (reach > 0.0) {
      // Filters shortened by filter_scale widen the band as much as gamma does.
      const bool shortened = p.filter_scale < 1.0;
      const std::string by = shortened ? error_message(", with filter_scale = ", p.filter_scale,
                                                       " shortening every filter,")
                                       : std::string();
      throw TopBinAtOrAboveNyquist(
          error_message("the top bin (bin ", p.n_bins - 1, ") lies at ", top, " Hz and gamma = ", p.gamma, " Hz",
                        by, " widens its band ", reach, " Hz above that, to ", top + reach,
                        " Hz, at or above the Nyquist limit sr / 2 = ", nyquist, " Hz; ",
                        shortened ? "raise filter_scale, or " : "", "lower ", bins, ", fmin or gamma, or raise sr"),
          top + reach, nyquist);
    }
    throw TopBinAtOrAboveNyquist(error_message("the top bin (bin ", p.n_bins - 1, ") lies at ", top,
                                               " Hz, at or above the Nyquist limit sr / 2 = ", nyquist,
                                               " Hz; lower ", bins, " or fmin, or raise sr"),
                                 top, nyquist);
  }
}

// Checks of the planned call: every octave's filters must fit the FFT, and
// the frame count an int.
void validate_plan(const OctavePlan& plan, const std::vector<double>& scale_lengths, const CqtParams& p) {
  const double fmin = effective_fmin(p.fmin);
  auto no_finite_filters = [&] {
    return argument_error("fmin = ", fmin, " Hz and bins_per_octave = ", p.bins_per_octave,
                          " give filters of no finite length; lower bins_per_octave");
  };
  for (const OctaveSpan& octave : plan.octaves) {
    if (!(std::isfinite(octave.longest_filter) && octave.longest_filter >= 0.0)) throw no_finite_filters();
    // A kernel of fewer than 2 samples is all zeros (the window's first
    // sample is 0): such a bin would measure nothing.
    if (octave.shortest_filter < 2.0) {
      throw argument_error("filter_scale = ", p.filter_scale, " and gamma = ", p.gamma, " Hz give bin ",
                           octave.shortest_bin, " a filter of ", octave.shortest_filter, " samples at ", octave.sr,
                           " Hz, fewer than the 2 a kernel needs; raise filter_scale or lower gamma");
    }
    if (octave.longest_filter > detail::fft_max_size) {
      throw argument_error("fmin = ", fmin, " Hz and bins_per_octave = ", p.bins_per_octave, " need filters of ",
                           octave.longest_filter, " samples at ", octave.sr, " Hz, more than the ",
                           detail::fft_max_size,
                           " supported; raise fmin, lower bins_per_octave, or use a hop with more "
                           "factors of two so that low octaves run at lower rates");
    }
    if (octave.n_frames > std::numeric_limits<int>::max()) {
      throw argument_error("hop = ", p.hop, " gives ", octave.n_frames,
                           " frames; at most 2^31 - 1 frames are supported");
    }
  }
  for (double length : scale_lengths) {
    if (!(std::isfinite(length) && length > 0.0)) throw no_finite_filters();
  }
}

// Bytes a call needs at its peak besides the caller's samples: the grid and
// at most 16 bytes per result value (two float planes, or complex64). The
// halved signals are windows of a few chunks.
void check_memory(const CqtPlan& plan) {
  const double bins = plan.n_bins;
  const double frames = plan.n_frames;
  const double planned = 3.0 * 8.0 * bins + 2.0 * 8.0 * bins * frames;
  ensure_fits_in_memory(planned, "this transform");
}

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

CqtPlan plan_cqt(std::size_t len, const CqtParams& p) {
  validate_params(len, p);
  ensure_fits_in_memory(3.0 * 8.0 * p.n_bins, "the bin grid of this transform");
  CqtPlan plan;
  plan.params = p;
  plan.len = len;
  plan.n_bins = p.n_bins;
  plan.freqs = bin_frequencies(p.fmin, p.n_bins, p.bins_per_octave);
  plan.alpha = bin_alpha(plan.freqs);
  double cutoff = 0.0;
  filter_lengths(plan.freqs, plan.alpha, p.sr, p.filter_scale, &cutoff, p.gamma);
  plan.octaves = detail::plan_octaves(static_cast<std::int64_t>(len), p.sr, p.hop, plan.freqs, plan.alpha,
                                      p.bins_per_octave, p.filter_scale, cutoff, p.gamma);
  // Each row is scaled by 1 / sqrt(filter length) at the reference rate.
  const std::vector<double> scale_lengths =
      filter_lengths(plan.freqs, plan.alpha, plan.octaves.sr_reference, p.filter_scale, nullptr, p.gamma);
  validate_plan(plan.octaves, scale_lengths, p);
  plan.n_frames = static_cast<int>(plan.octaves.n_frames);
  plan.row_scale.resize(scale_lengths.size());
  for (std::size_t k = 0; k < scale_lengths.size(); ++k) {
    plan.row_scale[k] = static_cast<float>(1.0 / std::sqrt(scale_lengths[k]));
  }
  check_memory(plan);
  return plan;
}

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

void run_cqt(const CqtPlan& plan, const float* y, const CqtTarget& target, int n_threads, const CancelFlag& cancel) {
  TransformSet set = group_transforms({&plan}, target.mag_row != nullptr);
  run_transform_set(set, {{target, 0}}, plan.len, plan.n_frames, y, n_threads, cancel);
}

}  // namespace morvat::vexolin

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

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
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
  if (!top_bin_below_nyquist(p.fmin, p.n_bins, p.bins_per_octave, p.sr)) {
    const double top = top_bin_frequency(p.fmin, p.n_bins, p.bins_per_octave);
    const double nyquist = 0.5 * p.sr;
    throw TopBinAtOrAboveNyquist(error_message("the top bin (bin ", p.n_bins - 1, ") lies at ", top,
                                               " Hz, at or above the Nyquist limit sr / 2 = ", nyquist,
                                               " Hz; lower n_bins or fmin, or raise sr"),
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

// Samples of the top octave's signal one chunk of frames spans: the chunk's
// signals, at every rate, stay in cache while its halvings and frames are
// computed.
constexpr std::int64_t chunk_samples = 1 << 15;

// One worker's part of a call: frames first_frame .. end_frame - 1 of every
// octave, taken through all octaves chunk by chunk. Each halved signal is a
// window that the worker extends just ahead of the frames (and the halving
// beneath) that read it, and slides forward once they no longer need its
// oldest samples, so a call holds a few chunks of every signal, not the
// signal. Windows of neighbouring workers overlap by a few samples that both
// compute: every halved sample is a function of the input alone, so they
// agree and the result does not depend on the number of workers.
class SegmentPipeline {
 public:
  SegmentPipeline(const CqtPlan& plan, const float* y, const std::vector<const SparseBasis*>& bases,
                  const std::vector<OctaveTarget>& targets, FrameScratch& scratch, int first_frame, int end_frame)
      : plan_(plan), bases_(bases), targets_(targets), scratch_(scratch), first_frame_(first_frame),
        end_frame_(end_frame) {
    // Signal 0 is the input; signal i + 1 is signal i halved.
    const std::vector<OctaveSpan>& octaves = plan.octaves.octaves;
    int n_signals = 1 + plan.octaves.early_halvings;
    for (const OctaveSpan& octave : octaves) {
      signal_of_.push_back(n_signals - 1);
      if (octave.halve_after) ++n_signals;
    }
    signals_.resize(static_cast<std::size_t>(n_signals));
    signals_[0].len = static_cast<std::int64_t>(plan.len);
    signals_[0].end = signals_[0].done = signals_[0].len;
    signals_[0].data = y;
    for (std::size_t i = 1; i < signals_.size(); ++i) signals_[i].len = detail::halved_length(signals_[i - 1].len);

    // The samples each signal must reach: what its octaves' frames read, and
    // what the halving into the next signal reads.
    std::vector<std::int64_t> need_first(signals_.size(), std::numeric_limits<std::int64_t>::max());
    std::vector<std::int64_t> need_end(signals_.size(), std::numeric_limits<std::int64_t>::min());
    for (std::size_t o = 0; o < octaves.size(); ++o) {
      const std::size_t i = static_cast<std::size_t>(signal_of_[o]);
      const std::int64_t half = bases[o]->n_fft / 2;
      need_first[i] = std::min(need_first[i], static_cast<std::int64_t>(first_frame) * octaves[o].hop - half);
      need_end[i] = std::max(need_end[i], static_cast<std::int64_t>(end_frame - 1) * octaves[o].hop - half +
                                              bases[o]->n_fft);
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
    const std::vector<OctaveSpan>& octaves = plan_.octaves.octaves;
    const std::int64_t top_hop = octaves.front().hop;
    const int chunk =
        static_cast<int>(std::max<std::int64_t>(frame_block, chunk_samples / top_hop / frame_block * frame_block));
    for (chunk_first_ = first_frame_; chunk_first_ < end_frame_; chunk_first_ += chunk) {
      cancel.stop_if_raised();
      const int f_end = std::min(end_frame_, chunk_first_ + chunk);
      for (std::size_t o = 0; o < octaves.size(); ++o) {
        const std::size_t i = static_cast<std::size_t>(signal_of_[o]);
        const SparseBasis& basis = *bases_[o];
        extend(i, static_cast<std::int64_t>(f_end - 1) * octaves[o].hop - basis.n_fft / 2 + basis.n_fft, cancel);
        const Signal& s = signals_[i];
        const OctaveJob job = octave_job(s.data, s.first, s.len, octaves[o].hop, basis, targets_[o]);
        compute_frames(job, scratch_, chunk_first_, f_end, cancel);
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
    const std::vector<OctaveSpan>& octaves = plan_.octaves.octaves;
    for (std::size_t o = 0; o < octaves.size(); ++o) {
      if (static_cast<std::size_t>(signal_of_[o]) != i) continue;
      oldest = std::min(oldest, static_cast<std::int64_t>(chunk_first_) * octaves[o].hop - bases_[o]->n_fft / 2);
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

  const CqtPlan& plan_;
  const std::vector<const SparseBasis*>& bases_;
  const std::vector<OctaveTarget>& targets_;
  FrameScratch& scratch_;
  int first_frame_;
  int end_frame_;
  int chunk_first_ = 0;         // first frame of the chunk being computed
  std::vector<int> signal_of_;  // per octave
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
  filter_lengths(plan.freqs, plan.alpha, p.sr, p.filter_scale, &cutoff);
  plan.octaves = detail::plan_octaves(static_cast<std::int64_t>(len), p.sr, p.hop, plan.freqs, plan.alpha,
                              p.bins_per_octave, p.filter_scale, cutoff);
  // Each row is scaled by 1 / sqrt(filter length) at the reference rate.
  const std::vector<double> scale_lengths =
      filter_lengths(plan.freqs, plan.alpha, plan.octaves.sr_reference, p.filter_scale, nullptr);
  validate_plan(plan.octaves, scale_lengths, p);
  plan.n_frames = static_cast<int>(plan.octaves.n_frames);
  plan.row_scale.resize(scale_lengths.size());
  for (std::size_t k = 0; k < scale_lengths.size(); ++k) {
    plan.row_scale[k] = static_cast<float>(1.0 / std::sqrt(scale_lengths[k]));
  }
  check_memory(plan);
  return plan;
}

void run_cqt(const CqtPlan& plan, const float* y, const CqtTarget& target, int n_threads, const CancelFlag& cancel) {
  const CqtParams& p = plan.params;
  const std::vector<OctaveSpan>& octaves = plan.octaves.octaves;
  // Long calls are cut into runs of frames, one per worker thread.
  std::vector<WorkBlock> blocks = plan_frame_blocks(plan.n_frames, n_threads);
  if (blocks.empty()) blocks.push_back({0, plan.n_frames});
  align_to_frame_blocks(blocks);

  // Every octave's basis first, from the cache; the first call with new
  // parameters builds the missing ones, on as many threads as its frames get.
  std::vector<const SparseBasis*> bases(octaves.size(), nullptr);
  std::vector<std::size_t> missing;
  auto octave_freqs = [&](const std::vector<double>& grid, const OctaveSpan& octave) {
    return std::vector<double>(grid.begin() + octave.first_bin, grid.begin() + octave.end_bin);
  };
  for (std::size_t o = 0; o < octaves.size(); ++o) {
    bases[o] = find_cached_basis(octave_freqs(plan.freqs, octaves[o]), octaves[o].sr, plan.octaves.sr_reference,
                                 p.filter_scale, p.sparsity);
    if (bases[o] == nullptr) missing.push_back(o);
  }
  auto build = [&](int begin, int end) {
    for (int m = begin; m < end; ++m) {
      const OctaveSpan& octave = octaves[missing[static_cast<std::size_t>(m)]];
      bases[missing[static_cast<std::size_t>(m)]] =
          &cached_basis(octave_freqs(plan.freqs, octave), octave_freqs(plan.alpha, octave), octave.sr,
                        plan.octaves.sr_reference, p.filter_scale, p.sparsity, cancel);
    }
  };
  const std::vector<WorkBlock> builders =
      plan_blocks(static_cast<int>(missing.size()), static_cast<int>(blocks.size()), 2, 1);
  if (builders.empty()) {
    build(0, static_cast<int>(missing.size()));
  } else {
    run_blocks_on_threads(builders, build);
  }

  // The per-worker scratch is sized once for the largest basis.
  std::vector<OctaveTarget> targets;
  int largest_fft = detail::fft_min_size;
  int most_used_bins = 1;
  for (std::size_t o = 0; o < octaves.size(); ++o) {
    const OctaveSpan& octave = octaves[o];
    largest_fft = std::max(largest_fft, bases[o]->n_fft);
    most_used_bins = std::max(most_used_bins, static_cast<int>(bases[o]->used_bins.size()));
    OctaveTarget out;
    out.re = target.re;
    out.im = target.im;
    out.stride = target.stride;
    out.mag = target.mag;
    out.mag_row = target.mag_row != nullptr ? target.mag_row + octave.first_bin : nullptr;
    out.row_stride = static_cast<std::size_t>(plan.n_frames);
    out.first_row = octave.first_bin;
    out.row_scale = plan.row_scale.data() + octave.first_bin;
    targets.push_back(out);
  }

  std::vector<FrameScratch> scratch;
  scratch.reserve(blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) scratch.emplace_back(largest_fft, most_used_bins);
  std::vector<SegmentPipeline> segments;
  segments.reserve(blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    segments.emplace_back(plan, y, bases, targets, scratch[i], blocks[i].begin, blocks[i].end);
  }
  if (segments.size() == 1) {
    segments.front().run(cancel);
    return;
  }
  run_blocks_on_threads(blocks, [&](int begin, int) { segments[block_index(blocks, begin)].run(cancel); });
}

}  // namespace morvat::vexolin

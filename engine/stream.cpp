// Streams: the halvings and frames of run_cqt's pipeline, advanced as
// samples arrive instead of over a whole signal.
#include "engine/stream.h"

#include "engine/basis_cache.h"
#include "engine/decimate.h"
#include "engine/errors.h"
#include "engine/fft_length.h"
#include "engine/hcqt.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace morvat::vexolin {
namespace {

// Input samples taken at a time: the halvings and frames they complete are
// computed before the next ones are copied in, so a long block needs no
// window longer than this plus the frames' reach.
constexpr std::int64_t input_piece = 1 << 15;

int values_per_entry(const CqtStream& s) { return s.output == StreamOutput::complex ? 2 : 1; }

// Samples of signal i that can be computed now: all of it once the stream
// is finished; before, those whose every tap reads a pushed sample.
std::int64_t available_of(std::int64_t pushed, bool finished, std::size_t i) {
  std::int64_t known = pushed;
  for (std::size_t h = 0; h < i; ++h) {
    if (finished) {
      known = detail::halved_length(known);
    } else {
      known = known >= halving_input_end(0) ? (known - halving_input_end(0)) / 2 + 1 : 0;
    }
  }
  return known;
}

std::int64_t available(const CqtStream& s, std::size_t i) { return available_of(s.pushed, s.finished, i); }

int input_hop(const CqtStream& s) { return s.channels.front().params.hop; }

// Frames of a group whose samples are all within the first `known` of its signal.
std::int64_t frames_within(const FrameGroup& g, std::int64_t known) {
  const std::int64_t reach = g.n_fft - g.n_fft / 2;
  return known >= reach ? (known - reach) / g.hop + 1 : 0;
}

// The oldest sample of signal i that a frame not yet computed, or the
// halving into signal i + 1, will still read.
std::int64_t oldest_needed(const CqtStream& s, std::size_t i) {
  std::int64_t oldest = s.signals[i].done;
  for (const FrameGroup& g : s.set.groups) {
    if (static_cast<std::size_t>(g.level) != i) continue;
    oldest = std::min(oldest, s.computed_end * g.hop - g.n_fft / 2);
  }
  if (i + 1 < s.signals.size()) oldest = std::min(oldest, halving_input_begin(s.signals[i + 1].done));
  return std::max(oldest, s.signals[i].first);
}

// Makes room in signal i's window for samples up to `until`: drops what
// nothing reads any more, then grows to twice what it then holds, so that
// the next slide comes only once as many samples again have arrived. The
// frames in flight keep a stream's latency of samples, which a window just
// large enough would move at every push; so each sample moves about once.
void make_room(CqtStream& s, std::size_t i, std::int64_t until) {
  StreamSignal& g = s.signals[i];
  if (static_cast<std::size_t>(until - g.first) <= g.window.size()) return;
  const std::int64_t keep = oldest_needed(s, i);
  if (keep > g.first) {
    const std::size_t kept = static_cast<std::size_t>(g.done - keep);
    if (kept > 0) std::memmove(g.window.data(), g.window.data() + (keep - g.first), kept * sizeof(float));
    g.first = keep;
  }
  const std::size_t size = static_cast<std::size_t>(until - g.first);
  if (2 * size > g.window.size()) g.window.resize(2 * size);
}

// Computes halved signal i up to sample `until` (no further than available).
void extend(CqtStream& s, std::size_t i, std::int64_t until, const CancelFlag& cancel) {
  if (i == 0) return;
  until = std::min(until, available(s, i));
  StreamSignal& g = s.signals[i];
  if (until <= g.done) return;
  extend(s, i - 1, halving_input_end(until - 1), cancel);
  make_room(s, i, until);
  const StreamSignal& from = s.signals[i - 1];
  decimate_span(from.window.data(), from.first, available(s, i - 1), g.window.data(), g.first, g.done, until,
                cancel);
  g.done = until;
}

// Room in the pending matrix for frames up to `end`; new folded columns start at zero.
void reserve_pending(CqtStream& s, std::int64_t end) {
  const std::size_t width = static_cast<std::size_t>(values_per_entry(s));
  const std::size_t rows = static_cast<std::size_t>(s.n_rows);
  const std::int64_t wanted = end - s.pending_first;
  const std::size_t filled = static_cast<std::size_t>(s.computed_end - s.pending_first) * width;
  if (wanted > s.pending_capacity) {
    const std::int64_t capacity = std::max(wanted, s.pending_capacity + s.pending_capacity / 2);
    std::vector<float> grown(rows * static_cast<std::size_t>(capacity) * width);
    for (std::size_t r = 0; r < rows && filled > 0; ++r) {
      std::memcpy(grown.data() + r * static_cast<std::size_t>(capacity) * width,
                  s.pending.data() + r * static_cast<std::size_t>(s.pending_capacity) * width,
                  filled * sizeof(float));
    }
    s.pending.swap(grown);
    s.pending_capacity = capacity;
  }
  if (s.output == StreamOutput::folded) {
    const std::size_t stride = static_cast<std::size_t>(s.pending_capacity);
    for (std::size_t r = 0; r < rows; ++r) {
      std::fill(s.pending.begin() + static_cast<std::ptrdiff_t>(r * stride + filled),
                s.pending.begin() + static_cast<std::ptrdiff_t>(r * stride) + wanted, 0.0f);
    }
  }
}

void check_frame_count(const CqtStream& s, std::int64_t end) {
  if (end > std::numeric_limits<int>::max()) {
    throw argument_error("hop = ", input_hop(s), " gives a stream of more than 2^31 - 1 frames");
  }
}

// Where each channel's values go in a pending matrix starting at `values`.
std::vector<ChannelOut> channel_outs(const CqtStream& s, float* values) {
  std::vector<ChannelOut> outs;
  for (std::size_t c = 0; c < s.channels.size(); ++c) {
    ChannelOut out;
    if (s.output == StreamOutput::complex) {
      out.target.re = values;
      out.target.im = values + 1;
      out.target.stride = 2;
    } else {
      out.target.mag = values;
      if (s.output == StreamOutput::folded) out.target.mag_row = s.rows.data();
    }
    out.first_row = static_cast<int>(c) * s.channels[c].n_bins;
    outs.push_back(out);
  }
  return outs;
}

// Computes frames computed_end .. end - 1 of every frame group, in the order
// of run_cqt's (which for folded output is the octaves', top first).
void compute_until(CqtStream& s, std::int64_t end, const CancelFlag& cancel) {
  if (end <= s.computed_end) return;
  check_frame_count(s, end);
  reserve_pending(s, end);
  if (s.work.empty() || s.bound_to != s.pending.data() || s.bound_stride != s.pending_capacity) {
    s.work = bind_groups(s.set, channel_outs(s, s.pending.data()), static_cast<std::size_t>(s.pending_capacity));
    s.bound_to = s.pending.data();
    s.bound_stride = s.pending_capacity;
  }
  const int begin = static_cast<int>(s.computed_end);
  for (std::size_t g = 0; g < s.set.groups.size(); ++g) {
    const FrameGroup& group = s.set.groups[g];
    const std::size_t i = static_cast<std::size_t>(group.level);
    extend(s, i, (end - 1) * group.hop - group.n_fft / 2 + group.n_fft, cancel);
    const StreamSignal& signal = s.signals[i];
    GroupWork& w = s.work[g];
    set_signal(w, signal.window.data(), signal.first, available(s, i));
    compute_group_frames(w.jobs.data(), static_cast<int>(w.jobs.size()), w.layout, w.copies, *s.scratch, begin,
                         static_cast<int>(end), cancel, static_cast<int>(s.pending_first));
  }
  s.computed_end = end;
}

// Frames of the whole signal once its length is known, as the plans count them.
std::int64_t final_frames(const CqtStream& s) {
  std::int64_t frames = std::numeric_limits<std::int64_t>::max();
  for (const FrameGroup& g : s.set.groups) {
    frames = std::min(frames, available(s, static_cast<std::size_t>(g.level)) / g.hop + 1);
  }
  return frames;
}

void check_open(const CqtStream& s) {
  if (s.finished) throw std::logic_error("the stream is finished; open a new one for more samples");
}

}  // namespace

namespace {

// A stream over the planned channels: groups, bases, signals and scratch.
CqtStream open_channels(std::vector<CqtPlan> channels, StreamOutput output, int frames_at_once,
                        std::vector<int> rows, int n_rows, const CancelFlag& cancel) {
  if (frames_at_once != 1 && frames_at_once != frame_block) {
    throw argument_error("frames_at_once must be 1 or ", frame_block, ", got ", frames_at_once);
  }
  CqtStream s;
  s.frames_at_once = frames_at_once;
  s.channels = std::move(channels);
  s.output = output;
  s.rows = std::move(rows);
  int n_bins = 0;
  std::vector<const CqtPlan*> plans;
  for (const CqtPlan& plan : s.channels) {
    plans.push_back(&plan);
    n_bins += plan.n_bins;
  }
  s.n_rows = output == StreamOutput::folded ? n_rows : n_bins;
  if (output == StreamOutput::folded && static_cast<int>(s.rows.size()) != n_bins) {
    throw std::invalid_argument("a folded stream needs a row for every bin");
  }
  s.set = group_transforms(std::move(plans), output == StreamOutput::folded);
  resolve_bases(s.set, 1, cancel);
  s.signals.resize(static_cast<std::size_t>(s.set.n_levels));
  const ScratchSize size = scratch_size(bind_groups(s.set, channel_outs(s, nullptr), 0));
  s.scratch = std::make_unique<FrameScratch>(size.n_fft, size.used_bins);
  return s;
}

}  // namespace

CqtStream open_stream(const CqtParams& p, StreamOutput output, int frames_at_once, std::vector<int> rows,
                      int n_rows, const CancelFlag& cancel) {
  std::vector<CqtPlan> channels;
  channels.push_back(plan_cqt(0, p));
  return open_channels(std::move(channels), output, frames_at_once, std::move(rows), n_rows, cancel);
}

CqtStream open_hcqt_stream(const CqtParams& p, const std::vector<double>& harmonics, StreamOutput output,
                           int frames_at_once, const CancelFlag& cancel) {
  if (output == StreamOutput::folded) throw std::invalid_argument("a harmonic stream is not folded");
  HcqtPlan plan = plan_hcqt(0, p, harmonics);
  return open_channels(std::move(plan.channels), output, frames_at_once, {}, 0, cancel);
}

std::int64_t stream_latency(const CqtStream& s) {
  std::int64_t latency = 0;
  for (const FrameGroup& g : s.set.groups) {
    const std::int64_t scale = std::int64_t{1} << g.level;
    const std::int64_t reach = g.n_fft - g.n_fft / 2;
    latency = std::max(latency, scale * reach + (halving_input_end(0) - 2) * (scale - 1));
  }
  return latency + std::int64_t{s.frames_at_once - 1} * input_hop(s);
}

std::int64_t ready_frames(const CqtStream& s, std::int64_t pushed) {
  std::int64_t frames = std::numeric_limits<std::int64_t>::max();
  for (const FrameGroup& g : s.set.groups) {
    frames = std::min(frames, frames_within(g, available_of(pushed, false, static_cast<std::size_t>(g.level))));
  }
  return frames / s.frames_at_once * s.frames_at_once;
}

void push_samples(CqtStream& s, const float* y, std::size_t n, const CancelFlag& cancel) {
  check_open(s);
  // Refused before any sample is taken, so that only an interruption leaves
  // a block part computed (and then taken whole).
  check_frame_count(s, ready_frames(s, s.pushed + static_cast<std::int64_t>(n)));
  StreamSignal& input = s.signals[0];
  std::size_t taken = 0;
  try {
    while (taken < n) {
      const std::int64_t piece = std::min<std::int64_t>(input_piece, static_cast<std::int64_t>(n - taken));
      make_room(s, 0, input.done + piece);
      std::memcpy(input.window.data() + (input.done - input.first), y + taken,
                  static_cast<std::size_t>(piece) * sizeof(float));
      input.done += piece;
      s.pushed = input.done;
      taken += static_cast<std::size_t>(piece);
      compute_until(s, ready_frames(s, s.pushed), cancel);
    }
    // An empty block, or the same block again after an interruption that
    // left frames to compute.
    compute_until(s, ready_frames(s, s.pushed), cancel);
  } catch (const CallCancelled&) {
    // The rest of the block is taken without computing, so that the stream
    // stays whole; its frames come with the next call.
    if (taken < n) {
      const std::int64_t rest = static_cast<std::int64_t>(n - taken);
      make_room(s, 0, input.done + rest);
      std::memcpy(input.window.data() + (input.done - input.first), y + taken,
                  static_cast<std::size_t>(rest) * sizeof(float));
      input.done += rest;
      s.pushed = input.done;
    }
    throw;
  }
}

void finish_stream(CqtStream& s, const CancelFlag& cancel) {
  if (!s.finished) {
    s.finished = true;
    s.n_frames = final_frames(s);
  }
  compute_until(s, s.n_frames, cancel);
}

int pending_frames(const CqtStream& s) { return static_cast<int>(s.computed_end - s.pending_first); }

void take_frames(CqtStream& s, float* out) {
  const std::size_t width = static_cast<std::size_t>(values_per_entry(s));
  const std::size_t count = static_cast<std::size_t>(pending_frames(s)) * width;
  const std::size_t stride = static_cast<std::size_t>(s.pending_capacity) * width;
  if (count == 0) {
    // Nothing pending: `out` may be null (an empty array) and so may the buffer.
  } else if (count == stride) {
    // Every column pending: the rows lie end to end, as in `out` (the usual
    // case, each push taking the frames its block completes).
    std::memcpy(out, s.pending.data(), static_cast<std::size_t>(s.n_rows) * count * sizeof(float));
  } else {
    for (std::size_t r = 0; r < static_cast<std::size_t>(s.n_rows); ++r) {
      std::memcpy(out + r * count, s.pending.data() + r * stride, count * sizeof(float));
    }
  }
  s.pending_first = s.computed_end;
}

}  // namespace morvat::vexolin

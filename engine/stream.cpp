// Streams: the halvings and frames of run_cqt's pipeline, advanced as
// samples arrive instead of over a whole signal.
#include "engine/stream.h"

#include "engine/basis_cache.h"
#include "engine/decimate.h"
#include "engine/errors.h"
#include "engine/fft_length.h"

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

// Frames of octave o whose samples are all within the first `known` of its signal.
std::int64_t frames_within(const CqtStream& s, std::size_t o, std::int64_t known) {
  const std::int64_t reach = s.bases[o]->n_fft - s.bases[o]->n_fft / 2;
  return known >= reach ? (known - reach) / s.plan.octaves.octaves[o].hop + 1 : 0;
}

// The oldest sample of signal i that a frame not yet computed, or the
// halving into signal i + 1, will still read.
std::int64_t oldest_needed(const CqtStream& s, std::size_t i) {
  std::int64_t oldest = s.signals[i].done;
  const std::vector<OctaveSpan>& octaves = s.plan.octaves.octaves;
  for (std::size_t o = 0; o < octaves.size(); ++o) {
    if (static_cast<std::size_t>(s.signal_of[o]) != i) continue;
    oldest = std::min(oldest, s.computed_end * octaves[o].hop - s.bases[o]->n_fft / 2);
  }
  if (i + 1 < s.signals.size()) oldest = std::min(oldest, halving_input_begin(s.signals[i + 1].done));
  return std::max(oldest, s.signals[i].first);
}

// Makes room in signal i's window for samples up to `until`: drops what
// nothing reads any more, then grows if still short.
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
  if (size > g.window.size()) g.window.resize(std::max(size, g.window.size() + g.window.size() / 2));
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
    throw argument_error("hop = ", s.plan.params.hop, " gives a stream of more than 2^31 - 1 frames");
  }
}

// Computes frames computed_end .. end - 1 of every octave, top first (the
// order in which run_cqt folds them).
void compute_until(CqtStream& s, std::int64_t end, const CancelFlag& cancel) {
  if (end <= s.computed_end) return;
  check_frame_count(s, end);
  reserve_pending(s, end);
  const std::vector<OctaveSpan>& octaves = s.plan.octaves.octaves;
  const int begin = static_cast<int>(s.computed_end);
  for (std::size_t o = 0; o < octaves.size(); ++o) {
    const std::size_t i = static_cast<std::size_t>(s.signal_of[o]);
    const SparseBasis& basis = *s.bases[o];
    extend(s, i, (end - 1) * octaves[o].hop - basis.n_fft / 2 + basis.n_fft, cancel);
    OctaveTarget target;
    float* values = s.pending.data();
    if (s.output == StreamOutput::complex) {
      target.re = values;
      target.im = values + 1;
      target.stride = 2;
    } else {
      target.mag = values;
      if (s.output == StreamOutput::folded) target.mag_row = s.rows.data() + octaves[o].first_bin;
    }
    target.row_stride = static_cast<std::size_t>(s.pending_capacity);
    target.first_row = octaves[o].first_bin;
    target.row_scale = s.plan.row_scale.data() + octaves[o].first_bin;
    const StreamSignal& g = s.signals[i];
    const OctaveJob job = octave_job(g.window.data(), g.first, available(s, i), octaves[o].hop, basis, target);
    compute_frames(job, *s.scratch, begin, static_cast<int>(end), cancel, static_cast<int>(s.pending_first));
  }
  s.computed_end = end;
}

// Frames of the whole signal once its length is known, as plan_octaves counts them.
std::int64_t final_frames(const CqtStream& s) {
  std::int64_t frames = std::numeric_limits<std::int64_t>::max();
  for (std::size_t o = 0; o < s.signal_of.size(); ++o) {
    frames = std::min(frames, available(s, static_cast<std::size_t>(s.signal_of[o])) /
                                  s.plan.octaves.octaves[o].hop + 1);
  }
  return frames;
}

void check_open(const CqtStream& s) {
  if (s.finished) throw std::logic_error("the stream is finished; open a new one for more samples");
}

}  // namespace

CqtStream open_stream(const CqtParams& p, StreamOutput output, int frames_at_once, std::vector<int> rows,
                      int n_rows, const CancelFlag& cancel) {
  if (frames_at_once != 1 && frames_at_once != frame_block) {
    throw argument_error("frames_at_once must be 1 or ", frame_block, ", got ", frames_at_once);
  }
  CqtStream s;
  s.frames_at_once = frames_at_once;
  s.plan = plan_cqt(0, p);
  s.output = output;
  s.rows = std::move(rows);
  s.n_rows = output == StreamOutput::folded ? n_rows : s.plan.n_bins;
  if (output == StreamOutput::folded && static_cast<int>(s.rows.size()) != s.plan.n_bins) {
    throw std::invalid_argument("a folded stream needs a row for every bin");
  }
  const std::vector<OctaveSpan>& octaves = s.plan.octaves.octaves;
  int n_signals = 1 + s.plan.octaves.early_halvings;
  int largest_fft = detail::fft_min_size;
  int most_used_bins = 1;
  for (const OctaveSpan& octave : octaves) {
    s.signal_of.push_back(n_signals - 1);
    if (octave.halve_after) ++n_signals;
    auto span = [&](const std::vector<double>& grid) {
      return std::vector<double>(grid.begin() + octave.first_bin, grid.begin() + octave.end_bin);
    };
    const SparseBasis& basis = cached_basis(span(s.plan.freqs), span(s.plan.alpha), octave.sr,
                                            s.plan.octaves.sr_reference, p.filter_scale, p.sparsity, cancel);
    s.bases.push_back(&basis);
    largest_fft = std::max(largest_fft, basis.n_fft);
    most_used_bins = std::max(most_used_bins, static_cast<int>(basis.used_bins.size()));
  }
  s.signals.resize(static_cast<std::size_t>(n_signals));
  s.scratch = std::make_unique<FrameScratch>(largest_fft, most_used_bins);
  return s;
}

std::int64_t stream_latency(const CqtStream& s) {
  std::int64_t latency = 0;
  for (std::size_t o = 0; o < s.bases.size(); ++o) {
    const std::int64_t scale = std::int64_t{1} << s.signal_of[o];
    const std::int64_t reach = s.bases[o]->n_fft - s.bases[o]->n_fft / 2;
    latency = std::max(latency, scale * reach + (halving_input_end(0) - 2) * (scale - 1));
  }
  return latency + std::int64_t{s.frames_at_once - 1} * s.plan.params.hop;
}

std::int64_t ready_frames(const CqtStream& s, std::int64_t pushed) {
  std::int64_t frames = std::numeric_limits<std::int64_t>::max();
  for (std::size_t o = 0; o < s.signal_of.size(); ++o) {
    const std::size_t i = static_cast<std::size_t>(s.signal_of[o]);
    frames = std::min(frames, frames_within(s, o, available_of(pushed, false, i)));
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
  for (std::size_t r = 0; r < static_cast<std::size_t>(s.n_rows) && count > 0; ++r) {
    std::memcpy(out + r * count, s.pending.data() + r * stride, count * sizeof(float));
  }
  s.pending_first = s.computed_end;
}

}  // namespace morvat::vexolin

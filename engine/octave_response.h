// Constant-Q coefficients of every frame of one octave: centred, zero-padded
// frames, a real FFT of each and the product of the spectrum with the sparse
// kernel rows. Frames are taken sixteen at a time: their spectra are laid out
// bin by bin with the sixteen frames side by side, so every kernel entry is one
// multiply-add over sixteen frames (one vector, no gathers) and every bin's
// result is written as sixteen consecutive values of its row. Long octaves are
// spread over worker threads in contiguous runs of frames; every frame is
// computed by the same steps whichever thread runs it, so the result does
// not depend on the thread count.
#pragma once

#include "engine/aligned_vector.h"
#include "engine/cancel.h"
#include "engine/fft_buffer.h"
#include "engine/fft_setup.h"
#include "engine/fft_transform.h"
#include "engine/sparse_basis.h"
#include "engine/thread_plan.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace morvat::vexolin {

// Frames per product block: the lanes of one vector (one AVX-512 register,
// two or four narrower ones).
constexpr int frame_block = 16;
typedef float FrameLanes __attribute__((vector_size(64)));

// Where an octave's values go. Element (b, f) of the octave (bin b of the
// octave, frame f) lands in row first_row + b of the destination at column
// f, rows row_stride elements apart. With `mag` set the magnitude is
// written, or with `mag_row` set added into row mag_row[b] (none when
// negative); otherwise the real and imaginary parts, `stride` floats apart
// along a row (1 for separate planes, 2 for interleaved complex numbers,
// with im = re + 1). Every value is multiplied by its row's scale first.
struct OctaveTarget {
  float* re = nullptr;
  float* im = nullptr;
  float* mag = nullptr;
  const int* mag_row = nullptr;  // one per bin of the octave
  std::size_t stride = 1;
  std::size_t row_stride = 0;
  int first_row = 0;
  const float* row_scale = nullptr;  // one per bin of the octave
};

// A worker's buffers, sized for the largest FFT and the most used bins of a
// call, and reused by every octave and every frame block of it.
struct FrameScratch {
  FrameScratch(int max_n_fft, int max_used_bins)
      : n_fft(max_n_fft),
        used_bins(max_used_bins),
        input(static_cast<std::size_t>(max_n_fft)),
        spectrum(static_cast<std::size_t>(max_n_fft) + 4),
        work(static_cast<std::size_t>(max_n_fft)) {
    const std::size_t block = static_cast<std::size_t>(max_used_bins) * frame_block;
    block_re.resize(block);
    block_im.resize(block);
    // Lanes of a partial last block are computed but never stored; zeros
    // keep them defined.
    std::fill_n(block_re.data(), block, 0.0f);
    std::fill_n(block_im.data(), block, 0.0f);
  }

  int n_fft;
  int used_bins;
  FftBuffer input;
  FftBuffer spectrum;  // one more slot than the transform writes, held at zero
  FftBuffer work;
  AlignedVector block_re;  // used bin j of the block's frame i at j * frame_block + i
  AlignedVector block_im;
};

// Everything a frame-range worker reads, shared by reference. The signal
// has len samples; x holds those from sample x_first on, at least every
// sample the job's frames reach.
struct OctaveJob {
  const float* x;
  std::int64_t x_first;
  std::int64_t len;
  int hop;
  int n_fft;
  int half;
  int n_bins;
  int n_used;
  const int* row_offsets;
  const int* entry_slot;
  const int* re_at;
  const int* im_at;
  const float* weights;  // interleaved (re, im) per entry
  OctaveTarget target;
};

// Frame f, centred on sample f * hop: in place when it lies inside the
// signal at an address the transform can read (16-byte aligned), else copied
// into the aligned input buffer, with zeros for samples outside the signal.
inline const float* load_frame(const OctaveJob& job, FrameScratch& scratch, int f) {
  const std::int64_t start = static_cast<std::int64_t>(f) * job.hop - job.half;
  if (start >= 0 && start + job.n_fft <= job.len) {
    const float* in_place = job.x + (start - job.x_first);
    if (reinterpret_cast<std::uintptr_t>(in_place) % 16 == 0) return in_place;
    std::memcpy(scratch.input.data(), in_place, static_cast<std::size_t>(job.n_fft) * sizeof(float));
    return scratch.input.data();
  }
  float* frame = scratch.input.data();
  for (int i = 0; i < job.n_fft; ++i) {
    const std::int64_t t = start + i;
    frame[i] = (t >= 0 && t < job.len) ? job.x[t - job.x_first] : 0.0f;
  }
  return frame;
}

// The used bins of the spectrum of lane i of the block, straight from the
// library's unordered layout.
inline void gather_spectrum(const OctaveJob& job, FrameScratch& scratch, int lane) {
  const float* s = scratch.spectrum.data();
  float* re = scratch.block_re.data() + lane;
  float* im = scratch.block_im.data() + lane;
  for (int j = 0; j < job.n_used; ++j) {
    re[j * frame_block] = s[job.re_at[j]];
    im[j * frame_block] = s[job.im_at[j]];
  }
}

// Products of every kernel row with the block's spectra, scaled and stored
// for frames f0 .. f0 + count - 1 (in octave_response.cpp).
void store_block(const OctaveJob& job, const FrameScratch& scratch, int f0, int count);

// The job of one octave: its signal (len samples, held from sample x_first
// on at x), hop and basis (with its frame layout) into the target.
inline OctaveJob octave_job(const float* x, std::int64_t x_first, std::int64_t len, int hop, const SparseBasis& basis,
                            const OctaveTarget& target) {
  return OctaveJob{x,
                   x_first,
                   len,
                   hop,
                   basis.n_fft,
                   basis.n_fft / 2,
                   basis.n_bins,
                   static_cast<int>(basis.used_bins.size()),
                   basis.row_offsets.data(),
                   basis.entry_slot.data(),
                   basis.re_at.data(),
                   basis.im_at.data(),
                   reinterpret_cast<const float*>(basis.weights.data()),
                   target};
}

// Computes frames begin <= f < end into the job's target.
inline void compute_frames(const OctaveJob& job, FrameScratch& scratch, int begin, int end,
                           const CancelFlag& cancel) {
  assert(job.n_fft <= scratch.n_fft && job.n_used <= scratch.used_bins);
  PFFFT_Setup* setup = fft_setup(job.n_fft, PFFFT_REAL);
  scratch.spectrum.data()[job.n_fft] = 0.0f;  // the imaginary part of DC and Nyquist
  for (int f0 = begin; f0 < end; f0 += frame_block) {
    cancel.stop_if_raised();
    const int count = std::min(frame_block, end - f0);
    for (int lane = 0; lane < count; ++lane) {
      const float* frame = load_frame(job, scratch, f0 + lane);
      // Unordered output: the frame layout knows where every used bin lies,
      // so the library's reordering pass is not needed.
      fft_forward_unordered(setup, frame, scratch.spectrum.data(), scratch.work.data());
      gather_spectrum(job, scratch, lane);
    }
    store_block(job, scratch, f0, count);
  }
}

// Moves the borders between workers' runs of frames down to multiples of the
// frame block, so that no two threads share a product block.
inline void align_to_frame_blocks(std::vector<WorkBlock>& blocks) {
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    const int border = blocks[i].end / frame_block * frame_block;
    blocks[i].end = border;
    blocks[i + 1].begin = border;
  }
}

// Computes frames 0 .. n_frames - 1 of the octave's signal x (len samples,
// hop >= 1) with the basis (its frame layout attached) into the target. Long octaves run on worker
// threads, one scratch each; `scratch` must hold at least as many as the
// thread rule can ask for (max_worker_threads) or the work stays on the
// calling thread. At most n_threads threads share the work. A raised cancel
// flag stops every thread at its next block of frames; the call then ends
// with CallCancelled.
inline void octave_response_into(const float* x, std::int64_t len, int hop, int n_frames, const SparseBasis& basis,
                                 const OctaveTarget& target, std::vector<FrameScratch>& scratch, int n_threads,
                                 const CancelFlag& cancel = {}) {
  assert(hop >= 1);
  if (basis.n_bins == 0 || n_frames <= 0) return;
  const OctaveJob job = octave_job(x, 0, len, hop, basis, target);
  std::vector<WorkBlock> blocks = plan_frame_blocks(n_frames, n_threads);
  if (blocks.size() > scratch.size()) blocks.clear();
  if (blocks.empty()) {
    compute_frames(job, scratch.front(), 0, n_frames, cancel);
    return;
  }
  align_to_frame_blocks(blocks);
  run_blocks_on_threads(blocks,
                        [&](int begin, int end) { compute_frames(job, scratch[block_index(blocks, begin)], begin, end, cancel); });
}

// One octave's coefficients in two planes of n_bins x n_frames values,
// row-major by bin: element b * n_frames + f is bin b of frame f.
struct OctaveResponse {
  AlignedVector re;
  AlignedVector im;
  int n_bins = 0;
  int n_frames = 0;
};

// Every frame of the signal, len / hop + 1 of them, unscaled, with scratch
// of its own: the octave on its own, as the tests look at it.
inline OctaveResponse octave_response(const float* x, int len, int hop, const SparseBasis& basis, int n_threads,
                                      const CancelFlag& cancel = {}) {
  assert(hop >= 1);
  OctaveResponse result;
  result.n_bins = basis.n_bins;
  result.n_frames = len / hop + 1;
  const std::size_t n_values = static_cast<std::size_t>(result.n_bins) * static_cast<std::size_t>(result.n_frames);
  if (n_values == 0) return result;
  result.re.resize(n_values);  // left unset: every element is written
  result.im.resize(n_values);
  const std::vector<float> unit_scale(static_cast<std::size_t>(basis.n_bins), 1.0f);
  OctaveTarget target;
  target.re = result.re.data();
  target.im = result.im.data();
  target.row_stride = static_cast<std::size_t>(result.n_frames);
  target.row_scale = unit_scale.data();
  std::vector<FrameScratch> scratch;
  const int workers = std::max<int>(1, static_cast<int>(plan_frame_blocks(result.n_frames, n_threads).size()));
  for (int i = 0; i < workers; ++i) {
    scratch.emplace_back(std::max(basis.n_fft, fft_min_size), static_cast<int>(basis.used_bins.size()));
  }
  octave_response_into(x, len, hop, result.n_frames, basis, target, scratch, n_threads, cancel);
  return result;
}

}  // namespace morvat::vexolin

// Constant-Q coefficients of a run of frames of one octave: centred,
// zero-padded frames, a real FFT of each and the product of the spectrum with
// the sparse kernel rows. Frames are taken sixteen at a time: their spectra
// are laid out bin by bin with the sixteen frames side by side, so every
// kernel entry is one multiply-add over sixteen frames (vectors, no
// gathers) and every bin's result is written as sixteen consecutive values of
// its row. Every frame is computed by the same steps whichever worker runs
// it, so the driver's result does not depend on the thread count.
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
#include <initializer_list>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace morvat::vexolin {

// Frames per product block: sixteen lanes, as one vector or several narrower
// ones (engine/simd_versions.h).
constexpr int frame_block = 16;

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

// Frames transformed one after the other before their used bins are
// gathered together, four values of one bin at a time; for FFTs up to
// gathered_fft_limit, so that their spectra stay in cache.
constexpr int gathered_frames = 4;
constexpr int gathered_fft_limit = 1 << 14;

// A worker's buffers, sized for the largest FFT and the most used bins of a
// call, and reused by every octave and every frame block of it.
struct FrameScratch {
  FrameScratch(int max_n_fft, int max_used_bins)
      : n_fft(max_n_fft),
        used_bins(max_used_bins),
        input(static_cast<std::size_t>(max_n_fft)),
        work(static_cast<std::size_t>(max_n_fft)) {
    const int n_spectra = max_n_fft <= gathered_fft_limit ? gathered_frames : 1;
    spectra.reserve(static_cast<std::size_t>(n_spectra));
    for (int k = 0; k < n_spectra; ++k) spectra.emplace_back(static_cast<std::size_t>(max_n_fft) + 4);
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
  // Spectra of consecutive frames (one for FFTs above gathered_fft_limit),
  // each with one more slot than the transform writes, held at zero.
  std::vector<FftBuffer> spectra;
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

// The FFT bins a frame's spectrum is gathered at, for one job or for all
// jobs of a frame group (the union of their used bins, each job's entries
// then pointing at slots of that union): n_used slots, and where each one's
// real and imaginary parts sit in the unordered FFT output.
struct GatherLayout {
  int n_used;
  const int* re_at;
  const int* im_at;
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
inline void gather_spectrum(const GatherLayout& layout, FrameScratch& scratch, int lane, std::size_t offset = 0) {
  const float* s = scratch.spectra.front().data();
  float* re = scratch.block_re.data() + offset + lane;
  float* im = scratch.block_im.data() + offset + lane;
  for (int j = 0; j < layout.n_used; ++j) {
    re[j * frame_block] = s[layout.re_at[j]];
    im[j * frame_block] = s[layout.im_at[j]];
  }
}

// How four consecutive used bins from the j-th lie in the unordered layout:
// +1 when their real parts, and their imaginary parts, are side by side in
// ascending order, -1 when in descending order (the library keeps four
// bins together so, in one direction or the other), 0 otherwise.
inline int side_by_side(const GatherLayout& layout, int j) {
  const int re = layout.re_at[j];
  const int im = layout.im_at[j];
  for (int step : {1, -1}) {
    bool run = true;
    for (int k = 1; k < 4 && run; ++k) run = layout.re_at[j + k] == re + step * k && layout.im_at[j + k] == im + step * k;
    if (run) return step;
  }
  return 0;
}

// The used bins of the spectra of lanes lane .. lane + 3 (lane a multiple
// of four), the scratch's four spectra, as four calls of gather_spectrum
// would store them: four bins side by side are read as one vector per
// frame and transposed, so that each bin's four frames are stored at once.
inline void gather_four_spectra(const GatherLayout& layout, FrameScratch& scratch, int lane, std::size_t offset) {
  const float* s[gathered_frames];
  for (int k = 0; k < gathered_frames; ++k) s[k] = scratch.spectra[static_cast<std::size_t>(k)].data();
  float* re = scratch.block_re.data() + offset + lane;
  float* im = scratch.block_im.data() + offset + lane;
  auto one_slot = [&](int j) {
    for (int k = 0; k < gathered_frames; ++k) {
      re[j * frame_block + k] = s[k][layout.re_at[j]];
      im[j * frame_block + k] = s[k][layout.im_at[j]];
    }
  };
  int j = 0;
#if defined(__SSE__)
  // The four bins from position `at` on (down to at - 3 when descending),
  // in the order of their slots, of each frame; transposed into frames.
  auto transpose_store = [&](int at, int step, float* to) {
    const int first = step > 0 ? at : at - 3;
    __m128 v[gathered_frames];
    for (int k = 0; k < gathered_frames; ++k) {
      v[k] = _mm_loadu_ps(s[k] + first);
      if (step < 0) v[k] = _mm_shuffle_ps(v[k], v[k], _MM_SHUFFLE(0, 1, 2, 3));
    }
    _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);
    for (int k = 0; k < gathered_frames; ++k) _mm_storeu_ps(to + k * frame_block, v[k]);
  };
  while (j + 4 <= layout.n_used) {
    if (const int step = side_by_side(layout, j)) {
      transpose_store(layout.re_at[j], step, re + j * frame_block);
      transpose_store(layout.im_at[j], step, im + j * frame_block);
      j += 4;
    } else {
      one_slot(j++);
    }
  }
#endif
  for (; j < layout.n_used; ++j) one_slot(j);
}

// Products of every kernel row with the spectra of the scratch's first
// n_blocks blocks (frames f0 + 16 k onward for block k), scaled and stored
// for frames f0 .. f0 + count - 1, row by row (in frames.cpp).
void store_block(const OctaveJob& job, const FrameScratch& scratch, int f0, int count, int n_blocks = 1);

namespace detail {
// store_block as computed with vectors of `width` floats (4, 8 or 16), for
// the tests that compare the instruction-set versions; false where this
// processor or build has no such version.
bool store_block_in_lanes(int width, const OctaveJob& job, const FrameScratch& scratch, int f0, int count);
}  // namespace detail

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

// A job whose values equal another's: same basis, signal, hop and row
// scales (two channels' octaves with the very same bins). The values stored
// for job `from` are copied into `target` instead of computed again.
struct CopiedJob {
  int from;
  OctaveTarget target;
};

// Copies the values of frames f0 .. f0 + count - 1 (columns) that `from`
// stored into `to`, row by row; both complex or both plain magnitudes.
inline void copy_block(const OctaveJob& from, const OctaveTarget& to, int f0, int count) {
  const OctaveTarget& t = from.target;
  for (int b = 0; b < from.n_bins; ++b) {
    const std::size_t src = static_cast<std::size_t>(t.first_row + b) * t.row_stride + f0;
    const std::size_t dst = static_cast<std::size_t>(to.first_row + b) * to.row_stride + f0;
    if (t.mag != nullptr) {
      std::memcpy(to.mag + dst, t.mag + src, static_cast<std::size_t>(count) * sizeof(float));
      continue;
    }
    for (int i = 0; i < count; ++i) {
      to.re[(dst + i) * to.stride] = t.re[(src + i) * t.stride];
      to.im[(dst + i) * to.stride] = t.im[(src + i) * t.stride];
    }
  }
}

// Blocks of frames whose spectra a frame group of several jobs holds at
// once: each job then stores that many blocks of every row in one run, so
// that the rows being written stay few (one job's) however many jobs share
// the frames.
constexpr int group_blocks = 4;

// Blocks of spectra a scratch holds for a group of n_jobs jobs.
inline int blocks_held(int n_jobs) { return n_jobs > 1 ? group_blocks : 1; }

// Computes frames begin <= f < end of every job of one frame group into the
// jobs' targets, frame f at column f - first_column (a stream keeps only the
// frames not yet taken). The jobs read the same frames (one signal, hop and
// FFT size), so each frame is transformed once and its spectrum gathered
// once, at the layout's bins; the products are each job's own.
inline void compute_group_frames(const OctaveJob* jobs, int n_jobs, const GatherLayout& layout,
                                 const std::vector<CopiedJob>& copies, FrameScratch& scratch, int begin, int end,
                                 const CancelFlag& cancel, int first_column = 0) {
  const OctaveJob& first = jobs[0];
  const int held = blocks_held(n_jobs);
  assert(first.n_fft <= scratch.n_fft && layout.n_used * held <= scratch.used_bins);
  PFFFT_Setup* setup = fft_setup(first.n_fft, PFFFT_REAL);
  for (FftBuffer& spectrum : scratch.spectra) spectrum.data()[first.n_fft] = 0.0f;  // the imaginary part of DC and Nyquist
  const bool four_at_once = scratch.spectra.size() == gathered_frames;
  // Every frame: one FFT of the longest filters takes tens of milliseconds.
  // Unordered output: the frame layout knows where every used bin lies, so
  // the library's reordering pass is not needed.
  auto transform = [&](int f, int k) {
    cancel.stop_if_raised();
    const float* frame = load_frame(first, scratch, f);
    fft_forward_unordered(setup, frame, scratch.spectra[static_cast<std::size_t>(k)].data(), scratch.work.data());
  };
  const std::size_t part_size = static_cast<std::size_t>(layout.n_used) * frame_block;
  for (int g0 = begin; g0 < end; g0 += held * frame_block) {
    const int parts = std::min(held, (end - g0 + frame_block - 1) / frame_block);
    for (int part = 0; part < parts; ++part) {
      const int f0 = g0 + part * frame_block;
      const int count = std::min(frame_block, end - f0);
      int lane = 0;
      if (four_at_once) {
        for (; lane + gathered_frames <= count; lane += gathered_frames) {
          for (int k = 0; k < gathered_frames; ++k) transform(f0 + lane + k, k);
          gather_four_spectra(layout, scratch, lane, part * part_size);
        }
      }
      for (; lane < count; ++lane) {
        transform(f0 + lane, 0);
        gather_spectrum(layout, scratch, lane, part * part_size);
      }
    }
    for (int j = 0; j < n_jobs; ++j) {
      store_block(jobs[j], scratch, g0 - first_column, std::min(parts * frame_block, end - g0), parts);
    }
    for (const CopiedJob& c : copies) {
      copy_block(jobs[c.from], c.target, g0 - first_column, std::min(held * frame_block, end - g0));
    }
  }
}

// compute_group_frames of one job, at its own layout.
inline void compute_frames(const OctaveJob& job, FrameScratch& scratch, int begin, int end,
                           const CancelFlag& cancel, int first_column = 0) {
  compute_group_frames(&job, 1, {job.n_used, job.re_at, job.im_at}, {}, scratch, begin, end, cancel, first_column);
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

}  // namespace morvat::vexolin

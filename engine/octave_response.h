// Constant-Q coefficients of every frame of one octave: centred, zero-padded
// frames, a real FFT of each and the product of the spectrum with the sparse
// kernel rows. Long octaves are spread over worker threads in contiguous
// blocks of frames; every frame is computed by the same steps whichever
// thread runs it, so the result does not depend on the thread count.
#pragma once

#include "engine/aligned_vector.h"
#include "engine/cancel.h"
#include "engine/fft_buffer.h"
#include "engine/fft_setup.h"
#include "engine/sparse_basis.h"
#include "engine/thread_plan.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace morvat::vexolin {

// Planes of n_bins x n_frames values, row-major by bin: element
// b * n_frames + f is bin b of frame f.
struct OctaveResponse {
  AlignedVector re;
  AlignedVector im;
  int n_bins = 0;
  int n_frames = 0;
};

// Everything a frame-range worker reads or writes, shared by reference.
struct OctaveJob {
  const float* x;
  int len;
  int hop;
  int n_fft;
  int half;
  int n_freq;
  int n_bins;
  int n_frames;
  const int* row_offsets;
  const int* fft_bins;
  const float* weights;  // interleaved (re, im) per entry
  float* re;
  float* im;
};

// Sum over one row of X[col] * weight (no conjugation). Entry k of the row
// feeds lane k mod 4; the lanes are combined as (0 + 2) + (1 + 3) and the
// last one to three entries are added one by one.
inline void sparse_row_product(const OctaveJob& job, const float* spec_re, const float* spec_im, int first,
                               int last, float& out_re, float& out_im) {
  float acc_re[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  float acc_im[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  int e = first;
  for (; last - e >= 4; e += 4) {
    for (int lane = 0; lane < 4; ++lane) {
      const int col = job.fft_bins[e + lane];
      const float vr = job.weights[2 * static_cast<std::size_t>(e + lane)];
      const float vi = job.weights[2 * static_cast<std::size_t>(e + lane) + 1];
      const float r = spec_re[col];
      const float i = spec_im[col];
      acc_re[lane] += r * vr - i * vi;
      acc_im[lane] += r * vi + i * vr;
    }
  }
  float sum_re = (acc_re[0] + acc_re[2]) + (acc_re[1] + acc_re[3]);
  float sum_im = (acc_im[0] + acc_im[2]) + (acc_im[1] + acc_im[3]);
  for (; e < last; ++e) {
    const int col = job.fft_bins[e];
    const float vr = job.weights[2 * static_cast<std::size_t>(e)];
    const float vi = job.weights[2 * static_cast<std::size_t>(e) + 1];
    sum_re += spec_re[col] * vr - spec_im[col] * vi;
    sum_im += spec_re[col] * vi + spec_im[col] * vr;
  }
  out_re = sum_re;
  out_im = sum_im;
}

// Computes frames begin <= f < end into the job's planes. Frame f is
// centred on sample f * hop; samples outside the signal are zeros.
inline void compute_frames(const OctaveJob& job, int begin, int end, const CancelFlag& cancel) {
  PFFFT_Setup* setup = fft_setup(job.n_fft, PFFFT_REAL);
  const std::size_t n_fft = static_cast<std::size_t>(job.n_fft);
  FftBuffer input(n_fft);
  FftBuffer spectrum(n_fft);
  FftBuffer work(n_fft);
  std::vector<float> spec_re(static_cast<std::size_t>(job.n_freq), 0.0f);
  std::vector<float> spec_im(static_cast<std::size_t>(job.n_freq), 0.0f);
  std::vector<float> padding(n_fft, 0.0f);
  if (begin >= end) return;

  const std::size_t row_stride = static_cast<std::size_t>(job.n_frames);
  for (int f = begin; f < end; ++f) {
    cancel.stop_if_raised();
    const std::int64_t start = static_cast<std::int64_t>(f) * job.hop - job.half;
    const float* frame;
    if (start >= 0 && start + job.n_fft <= job.len) {
      frame = job.x + start;
    } else {
      for (int i = 0; i < job.n_fft; ++i) {
        const std::int64_t t = start + i;
        padding[i] = (t >= 0 && t < job.len) ? job.x[t] : 0.0f;
      }
      frame = padding.data();
    }
    // The transform reads only from the aligned buffer.
    std::memcpy(input.data(), frame, n_fft * sizeof(float));
    pffft_transform_ordered(setup, input.data(), spectrum.data(), work.data(), PFFFT_FORWARD);

    // Ordered real layout: DC, Nyquist, then (re, im) of bins 1 .. half - 1.
    const float* s = spectrum.data();
    spec_re[0] = s[0];
    spec_im[0] = 0.0f;
    spec_re[job.half] = s[1];
    spec_im[job.half] = 0.0f;
    for (int k = 1; k < job.half; ++k) {
      spec_re[k] = s[2 * k];
      spec_im[k] = s[2 * k + 1];
    }

    for (int b = 0; b < job.n_bins; ++b) {
      float value_re = 0.0f;
      float value_im = 0.0f;
      const int first = job.row_offsets[b];
      const int last = job.row_offsets[b + 1];
      if (first < last) {
        sparse_row_product(job, spec_re.data(), spec_im.data(), first, last, value_re, value_im);
      }
      const std::size_t at = static_cast<std::size_t>(b) * row_stride + static_cast<std::size_t>(f);
      job.re[at] = value_re;
      job.im[at] = value_im;
    }
  }
}

// Needs hop >= 1, len >= 0 and fft_bins within 0 .. n_fft / 2.
// A raised cancel flag stops every thread at its next frame; the call then
// ends with CallCancelled and no result.
inline OctaveResponse octave_response(const float* x, int len, int hop, const SparseBasis& basis,
                                      const CancelFlag& cancel = {}) {
  assert(hop >= 1);
  const int n_fft = basis.n_fft;
  const int half = n_fft / 2;
  OctaveResponse result;
  result.n_bins = basis.n_bins;
  result.n_frames = len / hop + 1;

  const std::size_t n_values =
      static_cast<std::size_t>(static_cast<std::int64_t>(result.n_bins) * result.n_frames);
  if (n_values != 0) {
    result.re.resize(n_values);  // left unset: every element is written below
    result.im.resize(n_values);
  }

  const OctaveJob job{x,
                      len,
                      hop,
                      n_fft,
                      half,
                      half + 1,
                      result.n_bins,
                      result.n_frames,
                      basis.row_offsets.data(),
                      basis.fft_bins.data(),
                      reinterpret_cast<const float*>(basis.weights.data()),
                      result.re.data(),
                      result.im.data()};

  const std::vector<FrameBlock> blocks = worker_blocks(result.n_frames);
  if (blocks.empty()) {
    compute_frames(job, 0, result.n_frames, cancel);
  } else {
    run_blocks_on_threads(blocks, [&](int begin, int end) { compute_frames(job, begin, end, cancel); });
  }
  return result;
}

}  // namespace morvat::vexolin

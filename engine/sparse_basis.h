// Sparse kernel basis of one octave: row b is the spectrum of bin b's
// Hann-windowed complex exponential, with the smallest entries that together
// carry less than `sparsity` of the row's L1 mass removed.
#pragma once

#include "engine/bin_grid.h"
#include "engine/cancel.h"
#include "engine/errors.h"
#include "engine/fft_buffer.h"
#include "engine/fft_length.h"
#include "engine/fft_setup.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvat::vexolin {

// Compressed-row matrix of kernel spectra; immutable once built.
struct SparseBasis {
  int n_bins = 0;
  int n_fft = 0;
  std::vector<int> row_offsets;  // n_bins + 1 entries
  std::vector<int> fft_bins;     // FFT bin of each kept entry, 0 .. n_fft / 2
  std::vector<std::complex<float>> weights;

  // Frame layout, set by attach_frame_layout: the FFT bins the rows use, in
  // ascending order; for each entry the index of its bin in that list; and
  // where each used bin's real and imaginary parts sit in the output of the
  // library's unordered real transform of size n_fft (n_fft itself for an
  // imaginary part that is zero: DC and Nyquist).
  std::vector<int> used_bins;
  std::vector<int> entry_slot;
  std::vector<int> re_at;
  std::vector<int> im_at;
};

// Positions in the unordered output of a real transform of size n: element
// p of the ordered layout (DC, Nyquist, then re, im of bins 1 .. n/2 - 1)
// is element unordered_position[p] of the unordered one. The library's own
// reordering is a pure permutation; running it on the positions themselves,
// 12 bits at a time so that every value is exact in float, reads it off.
inline std::vector<int> unordered_positions(int n, const CancelFlag& cancel = {}) {
  PFFFT_Setup* setup = fft_setup(n, PFFFT_REAL);
  FftBuffer positions(static_cast<std::size_t>(n));
  FftBuffer ordered(static_cast<std::size_t>(n));
  std::vector<int> result(static_cast<std::size_t>(n), 0);
  for (int shift : {0, 12, 24}) {
    cancel.stop_if_raised();
    for (int q = 0; q < n; ++q) positions.data()[q] = static_cast<float>((q >> shift) & 0xFFF);
    pffft_zreorder(setup, positions.data(), ordered.data(), PFFFT_FORWARD);
    for (int p = 0; p < n; ++p) result[p] |= static_cast<int>(ordered.data()[p]) << shift;
  }
  return result;
}

// Fills the frame layout of a basis whose rows are set.
inline void attach_frame_layout(SparseBasis& basis, const CancelFlag& cancel = {}) {
  const int half = basis.n_fft / 2;
  std::vector<int> slot_of(static_cast<std::size_t>(half) + 1, -1);
  for (int col : basis.fft_bins) slot_of[col] = 0;
  basis.used_bins.clear();
  for (int col = 0; col <= half; ++col) {
    if (slot_of[col] < 0) continue;
    slot_of[col] = static_cast<int>(basis.used_bins.size());
    basis.used_bins.push_back(col);
  }
  basis.entry_slot.resize(basis.fft_bins.size());
  for (std::size_t e = 0; e < basis.fft_bins.size(); ++e) basis.entry_slot[e] = slot_of[basis.fft_bins[e]];

  const std::vector<int> position = unordered_positions(basis.n_fft, cancel);
  basis.re_at.clear();
  basis.im_at.clear();
  for (int col : basis.used_bins) {
    if (col == 0 || col == half) {
      basis.re_at.push_back(position[col == 0 ? 0 : 1]);
      basis.im_at.push_back(basis.n_fft);
    } else {
      basis.re_at.push_back(position[2 * col]);
      basis.im_at.push_back(position[2 * col + 1]);
    }
  }
}

constexpr double two_pi = 6.283185307179586;

// Kernel samples computed, or magnitudes sorted, between two looks at the
// cancel flag.
constexpr int kernel_poll_interval = 1 << 16;

// Sorts ascending in runs of kernel_poll_interval merged pairwise, looking
// at the flag between steps: one sort of the millions of magnitudes of the
// longest kernels takes a good part of a second. The order is std::sort's.
inline void sort_polled(std::vector<float>& v, const CancelFlag& cancel) {
  const std::size_t n = v.size();
  const std::size_t run = kernel_poll_interval;
  for (std::size_t i = 0; i < n; i += run) {
    cancel.stop_if_raised();
    std::sort(v.begin() + i, v.begin() + std::min(n, i + run));
  }
  for (std::size_t width = run; width < n; width *= 2) {
    for (std::size_t i = 0; i + width < n; i += 2 * width) {
      cancel.stop_if_raised();
      std::inplace_merge(v.begin() + i, v.begin() + i + width, v.begin() + std::min(n, i + 2 * width));
    }
  }
}

// Threshold of one row: walking the magnitudes from the smallest, the first
// one at which the running share of the row's mass reaches `sparsity`.
// Entries below it are dropped, so less than `sparsity` of the mass goes.
inline float sparsity_threshold(std::vector<float> sorted, double total, double sparsity,
                                const CancelFlag& cancel = {}) {
  sort_polled(sorted, cancel);
  const float largest = sorted.back();
  if (!(total > 0.0)) return largest;
  const double inv = 1.0 / total;
  double acc = 0.0;
  for (float v : sorted) {
    acc = acc + static_cast<double>(v) * inv;
    if (acc >= sparsity) return v;
  }
  return largest;  // rounding left the full sum just below 1
}

inline SparseBasis build_sparse_basis(const std::vector<double>& freqs, const std::vector<double>& alpha,
                                      double sr_octave, double sr_reference, double filter_scale,
                                      double sparsity, double gamma = 0.0, const CancelFlag& cancel = {}) {
  if (freqs.empty()) throw argument_error("sparse basis: the frequency list is empty");
  if (alpha.size() < freqs.size()) throw argument_error("sparse basis: fewer alphas than frequencies");
  const std::vector<double> lengths = filter_lengths(freqs, alpha, sr_octave, filter_scale, nullptr, gamma);
  double longest = 0.0;
  for (double length : lengths) {
    if (!std::isfinite(length) || length < 0.0 || length > detail::max_filter_length) {
      throw std::length_error("sparse basis: filter length " + format_value(length) +
                              " samples is outside the supported range 0 .. 2^30");
    }
    longest = std::max(longest, length);
  }

  const int n_fft = detail::fft_length_for(longest);
  const int half = n_fft / 2;
  const int n_kept = half + 1;
  const int n_bins = static_cast<int>(freqs.size());

  SparseBasis basis;
  basis.n_bins = n_bins;
  basis.n_fft = n_fft;
  basis.row_offsets.assign(static_cast<std::size_t>(n_bins) + 1, 0);

  const float weight_scale = static_cast<float>(std::sqrt(sr_reference / sr_octave));
  const double inv_sr = 1.0 / sr_octave;

  PFFFT_Setup* setup = fft_setup(n_fft, PFFFT_COMPLEX);
  FftBuffer input(2 * static_cast<std::size_t>(n_fft));
  FftBuffer output(2 * static_cast<std::size_t>(n_fft));
  FftBuffer work(2 * static_cast<std::size_t>(n_fft));

  std::vector<std::complex<float>> kernel;
  std::vector<float> mag(static_cast<std::size_t>(n_kept));

  for (int b = 0; b < n_bins; ++b) {
    cancel.stop_if_raised();
    const double length = lengths[b];
    const std::int64_t start = static_cast<std::int64_t>(std::floor(-0.5 * length));
    const int n = static_cast<int>(static_cast<std::int64_t>(std::floor(0.5 * length)) - start);
    const int offset = (n_fft - n) / 2;

    float* frame = input.data();
    std::fill(frame, frame + 2 * static_cast<std::size_t>(n_fft), 0.0f);
    if (n > 0) {
      const double omega = (two_pi * freqs[b]) * inv_sr;
      const double step = two_pi / static_cast<double>(n);
      kernel.resize(static_cast<std::size_t>(n));
      double norm = 0.0;
      for (int k = 0; k < n; ++k) {
        if (k % kernel_poll_interval == 0) cancel.stop_if_raised();  // long kernels take seconds
        const double w = (1.0 - std::cos(static_cast<double>(k) * step)) * 0.5;  // periodic Hann
        const double theta = static_cast<double>(start + k) * omega;
        const float re = static_cast<float>(std::cos(theta) * w);
        const float im = static_cast<float>(w * std::sin(theta));
        kernel[k] = {re, im};
        norm += static_cast<double>(std::sqrt(im * im + re * re));
      }
      // The fractional length, not the sample count, sets the gain.
      const float gain =
          norm > 0.0 ? static_cast<float>(length / (static_cast<double>(n_fft) * norm)) : 1.0f;
      for (int k = 0; k < n; ++k) {
        frame[2 * (offset + k)] = kernel[k].real() * gain;
        frame[2 * (offset + k) + 1] = kernel[k].imag() * gain;
      }
    }

    // Each step below is linear or one FFT of the kernel's length: a look
    // at the flag between them keeps the longest kernels answering.
    cancel.stop_if_raised();
    pffft_transform_ordered(setup, input.data(), output.data(), work.data(), PFFFT_FORWARD);
    cancel.stop_if_raised();
    const float* spectrum = output.data();
    double total = 0.0;
    for (int j = 0; j < n_kept; ++j) {
      const float re = spectrum[2 * j];
      const float im = spectrum[2 * j + 1];
      mag[j] = std::sqrt(im * im + re * re);
      total += static_cast<double>(mag[j]);
    }

    const float threshold = sparsity_threshold(mag, total, sparsity, cancel);
    cancel.stop_if_raised();
    int kept = 0;
    for (int j = 0; j < n_kept; ++j) {
      if (threshold > mag[j]) continue;
      basis.fft_bins.push_back(j);
      basis.weights.emplace_back(spectrum[2 * j] * weight_scale, spectrum[2 * j + 1] * weight_scale);
      ++kept;
    }
    basis.row_offsets[b + 1] = basis.row_offsets[b] + kept;
  }
  attach_frame_layout(basis, cancel);
  return basis;
}

}  // namespace morvat::vexolin

#include "engine/frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace morvat::vexolin {
namespace {

constexpr double pi = 3.141592653589793;

// Rows with 0 .. 9 and 33 entries, so that every remainder after the groups
// of four occurs; the columns include DC and Nyquist.
SparseBasis random_basis(int n_fft, std::mt19937& rng) {
  const int half = n_fft / 2;
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  SparseBasis basis;
  basis.n_fft = n_fft;
  basis.row_offsets.push_back(0);
  for (int count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, half + 1}) {
    std::vector<int> cols(half + 1);
    for (int j = 0; j <= half; ++j) cols[j] = j;
    std::shuffle(cols.begin(), cols.end(), rng);
    cols.resize(count);
    std::sort(cols.begin(), cols.end());
    for (int col : cols) {
      basis.fft_bins.push_back(col);
      basis.weights.emplace_back(uniform(rng), uniform(rng));
    }
    basis.row_offsets.push_back(static_cast<int>(basis.fft_bins.size()));
  }
  basis.n_bins = static_cast<int>(basis.row_offsets.size()) - 1;
  attach_frame_layout(basis);
  return basis;
}

std::vector<float> random_signal(int len, std::mt19937& rng) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(static_cast<std::size_t>(len));
  for (float& v : x) v = uniform(rng);
  return x;
}

// Bin b of frame f straight from the definition, in double: a direct DFT of
// the centred, zero-padded frame times the row's weights.
std::complex<double> reference_value(const std::vector<float>& x, int hop, const SparseBasis& basis, int b,
                                     int f, double* scale) {
  const int n = basis.n_fft;
  const long start = static_cast<long>(f) * hop - n / 2;
  std::vector<double> frame(n, 0.0);
  double frame_l1 = 0.0;
  for (int t = 0; t < n; ++t) {
    const long i = start + t;
    if (i >= 0 && i < static_cast<long>(x.size())) frame[t] = x[i];
    frame_l1 += std::abs(frame[t]);
  }
  std::complex<double> sum = 0.0;
  double weight_l1 = 0.0;
  for (int e = basis.row_offsets[b]; e < basis.row_offsets[b + 1]; ++e) {
    const int col = basis.fft_bins[e];
    std::complex<double> spectrum = 0.0;
    for (int t = 0; t < n; ++t) {
      spectrum += frame[t] * std::polar(1.0, -2.0 * pi * col * t / n);
    }
    const std::complex<double> w(basis.weights[e].real(), basis.weights[e].imag());
    sum += spectrum * w;
    weight_l1 += std::abs(w);
  }
  *scale = frame_l1 * weight_l1;
  return sum;
}

// Frames 0 .. len / hop of a signal of len samples through the driver's frame
// path, unscaled, in two planes row-major by bin. x holds the signal from
// sample x_first on; frames [begin, end) are computed (all by default).
struct Planes {
  std::vector<float> re;
  std::vector<float> im;
  int n_frames = 0;
};

Planes frames_of(const float* x, std::int64_t x_first, std::int64_t len, int hop, const SparseBasis& basis,
                 int begin = 0, int end = -1) {
  Planes r;
  r.n_frames = static_cast<int>(len / hop + 1);
  if (end < 0) end = r.n_frames;
  const std::size_t n_values = static_cast<std::size_t>(basis.n_bins) * static_cast<std::size_t>(r.n_frames);
  r.re.assign(n_values, -7.0f);  // any value left unwritten shows
  r.im.assign(n_values, -7.0f);
  const std::vector<float> unit_scale(static_cast<std::size_t>(basis.n_bins), 1.0f);
  OctaveTarget target;
  target.re = r.re.data();
  target.im = r.im.data();
  target.row_stride = static_cast<std::size_t>(r.n_frames);
  target.row_scale = unit_scale.data();
  FrameScratch scratch(std::max(basis.n_fft, detail::fft_min_size), static_cast<int>(basis.used_bins.size()));
  compute_frames(octave_job(x, x_first, len, hop, basis, target), scratch, begin, end, {});
  return r;
}

Planes frames_of(const std::vector<float>& x, int hop, const SparseBasis& basis) {
  return frames_of(x.data(), 0, static_cast<std::int64_t>(x.size()), hop, basis);
}

void expect_matches_reference(const Planes& r, const std::vector<float>& x, int hop,
                              const SparseBasis& basis, const std::vector<int>& frames) {
  for (int f : frames) {
    for (int b = 0; b < basis.n_bins; ++b) {
      double scale = 0.0;
      const std::complex<double> want = reference_value(x, hop, basis, b, f, &scale);
      const std::size_t at = static_cast<std::size_t>(b) * r.n_frames + f;
      const double tolerance = 1e-6 * scale + 1e-30;
      EXPECT_NEAR(r.re[at], want.real(), tolerance) << "bin " << b << " frame " << f;
      EXPECT_NEAR(r.im[at], want.imag(), tolerance) << "bin " << b << " frame " << f;
    }
  }
}

TEST(Frames, MatchDirectDftOfCentredZeroPaddedFrames) {
  std::mt19937 rng(12345);
  const SparseBasis basis = random_basis(64, rng);
  // Overlapping frames, frames with gaps between them, a signal shorter than
  // one frame, and frames that miss lying wholly inside the signal by one
  // sample at the start (hop 31: frame 1 starts at -1) or at the end (len 290,
  // hop 37: frame 7 ends at sample 290).
  for (auto [len, hop] : {std::pair{300, 37}, std::pair{450, 100}, std::pair{20, 7}, std::pair{64, 32},
                          std::pair{300, 31}, std::pair{290, 37}}) {
    const std::vector<float> x = random_signal(len, rng);
    // Loud samples on both sides of the signal show any read past its ends.
    std::vector<float> guarded(static_cast<std::size_t>(len) + 2 * 64, 1000.0f);
    std::copy(x.begin(), x.end(), guarded.begin() + 64);
    const Planes r = frames_of(guarded.data() + 64, 0, len, hop, basis);
    ASSERT_EQ(r.n_frames, len / hop + 1);
    std::vector<int> all(r.n_frames);
    for (int f = 0; f < r.n_frames; ++f) all[f] = f;
    SCOPED_TRACE("len " + std::to_string(len) + " hop " + std::to_string(hop));
    expect_matches_reference(r, x, hop, basis, all);
  }
}

TEST(Frames, RowWithoutEntriesAndEmptySignalGiveExactZeros) {
  std::mt19937 rng(7);
  const SparseBasis basis = random_basis(64, rng);
  ASSERT_EQ(basis.row_offsets[0], basis.row_offsets[1]);  // row 0 has no entries

  const std::vector<float> x = random_signal(500, rng);
  const Planes r = frames_of(x, 50, basis);
  for (int f = 0; f < r.n_frames; ++f) {
    EXPECT_EQ(r.re[f], 0.0f);
    EXPECT_EQ(r.im[f], 0.0f);
  }

  const float unused = 1.0f;
  const Planes empty = frames_of(&unused, 0, 0, 16, basis);
  ASSERT_EQ(empty.n_frames, 1);
  ASSERT_EQ(empty.re.size(), static_cast<std::size_t>(basis.n_bins));
  for (int b = 0; b < basis.n_bins; ++b) {
    EXPECT_EQ(empty.re[b], 0.0f) << b;
    EXPECT_EQ(empty.im[b], 0.0f) << b;
  }

}


// The driver hands each worker a window of the signal that starts at some
// sample x_first: the frames it computes from it are the frames of the whole
// signal, bit for bit, whether read in place or copied.
TEST(Frames, WindowOfTheSignalGivesTheFramesOfTheWholeSignal) {
  std::mt19937 rng(21);
  const SparseBasis basis = random_basis(64, rng);
  const int len = 3000;
  const int hop = 37;
  const std::vector<float> x = random_signal(len, rng);
  const Planes whole = frames_of(x, hop, basis);
  for (auto [begin, end] : {std::pair{10, 40}, std::pair{33, 82}, std::pair{0, 5}, std::pair{81, 82}}) {
    const std::int64_t first = std::max(0, begin * hop - 32);
    const std::int64_t last = std::min(len, (end - 1) * hop + 32);
    for (int shift : {0, 1, 3}) {  // moves the window across alignments
      std::vector<float> window(static_cast<std::size_t>(last - first) + 2 * 16 + shift, 1000.0f);
      std::copy(x.begin() + first, x.begin() + last, window.begin() + 16 + shift);
      const Planes part = frames_of(window.data() + 16 + shift, first, len, hop, basis, begin, end);
      for (int b = 0; b < basis.n_bins; ++b) {
        for (int f = 0; f < whole.n_frames; ++f) {
          const std::size_t at = static_cast<std::size_t>(b) * whole.n_frames + f;
          const bool inside = f >= begin && f < end;
          const std::string where = std::to_string(begin) + ".." + std::to_string(end) + ", bin " +
                                    std::to_string(b) + ", frame " + std::to_string(f);
          EXPECT_EQ(part.re[at], inside ? whole.re[at] : -7.0f) << where;
          EXPECT_EQ(part.im[at], inside ? whole.im[at] : -7.0f) << where;
        }
      }
    }
  }
}

// Frames transformed four at a time are gathered as four single frames
// would be, for layouts of every size with runs of bins in both directions
// of the library's layout, bins on their own, DC and Nyquist.
TEST(Frames, FourFramesGatherAsFourSingleFrames) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (int n_fft : {32, 256, 1024}) {
    const int half = n_fft / 2;
    std::vector<std::vector<int>> bin_sets(2);
    for (int b = 0; b <= half; ++b) bin_sets[0].push_back(b);  // all, with DC and Nyquist
    for (int b = 5; b < 3 * half / 4; ++b) bin_sets[1].push_back(b);  // a run from an odd bin
    for (int b : {3 * half / 4 + 2, half - 1}) bin_sets[1].push_back(b);  // and two on their own
    for (const std::vector<int>& bins : bin_sets) {
      SparseBasis basis;
      basis.n_fft = n_fft;
      basis.n_bins = 1;
      basis.row_offsets = {0, static_cast<int>(bins.size())};
      basis.fft_bins = bins;
      basis.weights.assign(bins.size(), {1.0f, 0.0f});
      attach_frame_layout(basis);
      const GatherLayout layout{static_cast<int>(basis.used_bins.size()), basis.re_at.data(), basis.im_at.data()};
      bool ascending = false, descending = false;
      for (int j = 0; j + 4 <= layout.n_used; ++j) {
        ascending |= side_by_side(layout, j) > 0;
        descending |= side_by_side(layout, j) < 0;
      }
      if (n_fft == 1024) {
        EXPECT_TRUE(ascending && descending);
      }

      FrameScratch four(n_fft, layout.n_used);
      FrameScratch one(n_fft, layout.n_used);
      ASSERT_EQ(four.spectra.size(), static_cast<std::size_t>(gathered_frames));
      const int lane = 4;
      for (int k = 0; k < gathered_frames; ++k) {
        float* spectrum = four.spectra[static_cast<std::size_t>(k)].data();
        for (int i = 0; i < n_fft; ++i) spectrum[i] = uniform(rng);
        spectrum[n_fft] = 0.0f;
        std::copy(spectrum, spectrum + n_fft + 1, one.spectra.front().data());
        gather_spectrum(layout, one, lane + k);
      }
      gather_four_spectra(layout, four, lane, 0);
      const std::size_t n = static_cast<std::size_t>(layout.n_used) * frame_block;
      EXPECT_TRUE(std::equal(four.block_re.data(), four.block_re.data() + n, one.block_re.data())) << n_fft;
      EXPECT_TRUE(std::equal(four.block_im.data(), four.block_im.data() + n, one.block_im.data())) << n_fft;
    }
  }
}

// The products run as vectors of 4, 8 or 16 floats depending on the
// processor; every version must give the same bits, for complex values,
// magnitudes and magnitudes folded into rows, full and partial blocks.
TEST(Frames, EveryInstructionSetVersionGivesTheSameBits) {
  std::mt19937 rng(99);
  const SparseBasis basis = random_basis(64, rng);
  const int n_used = static_cast<int>(basis.used_bins.size());
  FrameScratch scratch(64, n_used);
  std::uniform_real_distribution<float> uniform(-3.0f, 3.0f);
  for (std::size_t i = 0; i < static_cast<std::size_t>(n_used) * frame_block; ++i) {
    scratch.block_re.data()[i] = uniform(rng);
    scratch.block_im.data()[i] = uniform(rng);
  }
  std::vector<float> scale(static_cast<std::size_t>(basis.n_bins));
  for (float& s : scale) s = uniform(rng);
  std::vector<int> rows(static_cast<std::size_t>(basis.n_bins));
  for (int b = 0; b < basis.n_bins; ++b) rows[static_cast<std::size_t>(b)] = b % 3 == 2 ? -1 : b % 4;

  enum Kind { complex_planes, interleaved, magnitude, folded };
  auto run = [&](int width, Kind kind, int count, std::vector<float>& out) {
    const std::size_t row_stride = frame_block;
    out.assign(static_cast<std::size_t>(basis.n_bins) * row_stride * 2, 0.5f);
    OctaveTarget target;
    target.row_stride = row_stride;
    target.row_scale = scale.data();
    if (kind == complex_planes) {
      target.re = out.data();
      target.im = out.data() + out.size() / 2;
    } else if (kind == interleaved) {
      target.re = out.data();
      target.im = out.data() + 1;
      target.stride = 2;
    } else {
      target.mag = out.data();
      if (kind == folded) target.mag_row = rows.data();
    }
    const float unused = 0.0f;
    return detail::store_block_in_lanes(width, octave_job(&unused, 0, 0, 1, basis, target), scratch, 0, count);
  };
  for (Kind kind : {complex_planes, interleaved, magnitude, folded}) {
    for (int count : {frame_block, 5}) {
      std::vector<float> want;
      ASSERT_TRUE(run(4, kind, count, want));
      for (int width : {8, 16}) {
        std::vector<float> got;
        if (!run(width, kind, count, got)) continue;  // not on this processor
        EXPECT_EQ(got, want) << "width " << width << " kind " << kind << " count " << count;
      }
    }
  }

  // Lanes 1 and 4 loud enough that the squares of their parts overflow
  // float32 while the moduli do not: those moduli are finite, and the same
  // in every version.
  for (std::size_t slot = 0; slot < static_cast<std::size_t>(n_used); ++slot) {
    for (std::size_t lane : {1u, 4u}) {
      scratch.block_re.data()[slot * frame_block + lane] *= 3e19f;
      scratch.block_im.data()[slot * frame_block + lane] *= 3e19f;
    }
  }
  std::vector<float> loud;
  ASSERT_TRUE(run(4, magnitude, 5, loud));
  bool overflowing_square = false;
  for (int b = 0; b < basis.n_bins; ++b) {
    const float m = loud[static_cast<std::size_t>(b) * frame_block + 1];
    EXPECT_TRUE(std::isfinite(m)) << "row " << b;
    overflowing_square |= m * m > std::numeric_limits<float>::max();
  }
  EXPECT_TRUE(overflowing_square);
  for (int width : {8, 16}) {
    std::vector<float> got;
    if (run(width, magnitude, 5, got)) {
      EXPECT_EQ(got, loud) << "width " << width;
    }
  }
}

}  // namespace
}  // namespace morvat::vexolin

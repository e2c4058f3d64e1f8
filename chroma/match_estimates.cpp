#include "chroma/match_estimates.h"

#include "engine/errors.h"
#include "engine/fft_length.h"
#include "engine/fft_setup.h"
#include "engine/fft_transform.h"
#include "engine/simd_versions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <utility>

namespace morvat::vexolin {
namespace {

constexpr int pitch_classes = 12;
// Pitch-class frequencies kept: 0 and 6 are real, 1 to 5 complex; 7 to 11
// are the conjugates of 5 to 1.
constexpr int complex_rows = 5;
// Rows of the combination per time sample: 0, 6, then 1 to 5 real and imaginary.
constexpr int parts = 2 + 2 * complex_rows;
// Positions combined at once, their rows in L1.
constexpr int tile = 64;

// Where frequency k's row starts in a buffer of 12 * size floats: 0 and 6 a
// real row of size floats each, 1 to 5 a complex row of 2 * size.
std::size_t row_offset(int k, int size) {
  const auto n = static_cast<std::size_t>(size);
  if (k == 0) return 0;
  if (k == 6) return n;
  return 2 * n + static_cast<std::size_t>(k - 1) * 2 * n;
}

struct PitchTable {
  float cos_of[pitch_classes][pitch_classes];
  float sin_of[pitch_classes][pitch_classes];
  PitchTable() {
    for (int k = 0; k < pitch_classes; ++k) {
      for (int d = 0; d < pitch_classes; ++d) {
        // k * d mod 12 exactly, so the angles of equal residues agree.
        const double angle = 2.0 * M_PI * ((k * d) % pitch_classes) / pitch_classes;
        cos_of[k][d] = static_cast<float>(std::cos(angle));
        sin_of[k][d] = static_cast<float>(std::sin(angle));
      }
    }
  }
};

const PitchTable& pitch_table() {
  static const PitchTable table;
  return table;
}

// The pitch-class transform of one frame, written at time t of the rows:
// sum_d frame[d] * exp(sign * 2 pi i k d / 12) for k = 0 to 6.
void pitch_transform(const float frame[pitch_classes], float sign, std::size_t t, int size, float* rows) {
  const PitchTable& table = pitch_table();
  float sum0 = 0.0f;
  float sum6 = 0.0f;
  for (int d = 0; d < pitch_classes; ++d) {
    sum0 += frame[d];
    sum6 += (d % 2 == 0) ? frame[d] : -frame[d];
  }
  rows[row_offset(0, size) + t] = sum0;
  rows[row_offset(6, size) + t] = sum6;
  for (int k = 1; k <= complex_rows; ++k) {
    float re = 0.0f;
    float im = 0.0f;
    for (int d = 0; d < pitch_classes; ++d) {
      re += frame[d] * table.cos_of[k][d];
      im += frame[d] * table.sin_of[k][d];
    }
    rows[row_offset(k, size) + 2 * t] = re;
    rows[row_offset(k, size) + 2 * t + 1] = sign * im;
  }
}

// pitch_transform of up to `tile` rows of the index at once (times t0 on),
// with the data's sign (-1), a pitch class's values along time in a vector.
void pitch_transform_tile(const std::int16_t* x, int span, std::size_t t0, int size, float* rows) {
  const PitchTable& table = pitch_table();
  alignas(64) float column[pitch_classes][tile];
  for (int t = 0; t < span; ++t) {
    for (int d = 0; d < pitch_classes; ++d) column[d][t] = static_cast<float>(x[t * pitch_classes + d]);
  }
  alignas(64) float sum[tile];
  for (int t = 0; t < tile; ++t) sum[t] = 0.0f;
  for (int d = 0; d < pitch_classes; ++d) {
    for (int t = 0; t < span; ++t) sum[t] += column[d][t];
  }
  std::copy(sum, sum + span, rows + row_offset(0, size) + t0);
  for (int t = 0; t < tile; ++t) sum[t] = 0.0f;
  for (int d = 0; d < pitch_classes; ++d) {
    const float sign = d % 2 == 0 ? 1.0f : -1.0f;
    for (int t = 0; t < span; ++t) sum[t] += sign * column[d][t];
  }
  std::copy(sum, sum + span, rows + row_offset(6, size) + t0);
  for (int k = 1; k <= complex_rows; ++k) {
    alignas(64) float re[tile];
    alignas(64) float im[tile];
    for (int t = 0; t < tile; ++t) re[t] = im[t] = 0.0f;
    for (int d = 0; d < pitch_classes; ++d) {
      const float c = table.cos_of[k][d];
      const float si = -table.sin_of[k][d];
      for (int t = 0; t < span; ++t) {
        re[t] += c * column[d][t];
        im[t] += si * column[d][t];
      }
    }
    float* out = rows + row_offset(k, size) + 2 * t0;
    for (int t = 0; t < span; ++t) {
      out[2 * t] = re[t];
      out[2 * t + 1] = im[t];
    }
  }
}

// Forward transforms of the 7 rows, time to frequency.
void forward_rows(const float* rows, float* spectra, float* work, int size) {
  PFFFT_Setup* real = fft_setup(size, PFFFT_REAL);
  PFFFT_Setup* complex = fft_setup(size, PFFFT_COMPLEX);
  for (int k = 0; k <= 6; ++k) {
    const std::size_t at = row_offset(k, size);
    fft_forward_unordered(k == 0 || k == 6 ? real : complex, rows + at, spectra + at, work);
  }
}

// Pairs of shifts r and r + 6 (r = 0 to 5) share their parts: with w =
// exp(2 pi i / 12), c(r) = e(r) + o(r) and c(r + 6) = e(r) - o(r), where
// e(r) = g0 + (-1)^r g6 + 2 Re(w^(2r) g2 + w^(4r) g4) and o(r) = 2 Re(w^r g1
// + w^(3r) g3 + w^(5r) g5). The parts' rows: g0, g6, g2, g4, then g1, g3,
// g5, each complex one as its real and imaginary rows.
struct ShiftPairs {
  int count = 0;
  float even[6][6];
  float odd[6][6];
  bool plus[6];   // shift r asked
  bool minus[6];  // shift r + 6 asked
};

template <int Width>
__attribute__((always_inline)) inline void best_of_shifts(const float (*part)[tile], const ShiftPairs& pairs,
                                                          float* best) {
  using Lanes = typename LanesOf<Width>::type;
  for (int t = 0; t < tile; t += Width) {
    Lanes p[parts];
    for (int i = 0; i < parts; ++i) std::memcpy(&p[i], &part[i][t], sizeof(Lanes));
    Lanes top = p[0] - p[0] - std::numeric_limits<float>::infinity();
    for (int j = 0; j < pairs.count; ++j) {
      const float* we = pairs.even[j];
      const float* wo = pairs.odd[j];
      Lanes e = we[0] * p[0] + we[1] * p[1] + we[2] * p[2] + we[3] * p[3] + we[4] * p[4] + we[5] * p[5];
      Lanes o = wo[0] * p[6] + wo[1] * p[7] + wo[2] * p[8] + wo[3] * p[9] + wo[4] * p[10] + wo[5] * p[11];
      if (pairs.plus[j]) {
        const Lanes c = e + o;
        top = c > top ? c : top;
      }
      if (pairs.minus[j]) {
        const Lanes c = e - o;
        top = c > top ? c : top;
      }
    }
    std::memcpy(best + t, &top, sizeof(Lanes));
  }
}

using BestOfShifts = void (*)(const float (*)[tile], const ShiftPairs&, float*);

void best_of_shifts_sse(const float (*part)[tile], const ShiftPairs& pairs, float* best) {
  best_of_shifts<4>(part, pairs, best);
}
VEXOLIN_TARGET_AVX2 void best_of_shifts_avx2(const float (*part)[tile], const ShiftPairs& pairs, float* best) {
  best_of_shifts<8>(part, pairs, best);
}
VEXOLIN_TARGET_AVX512 void best_of_shifts_avx512(const float (*part)[tile], const ShiftPairs& pairs, float* best) {
  best_of_shifts<16>(part, pairs, best);
}

ShiftPairs shift_pairs(const std::vector<int>& shifts) {
  const PitchTable& table = pitch_table();
  bool asked[pitch_classes] = {};
  for (int s : shifts) asked[((s % pitch_classes) + pitch_classes) % pitch_classes] = true;
  ShiftPairs pairs;
  for (int r = 0; r < 6; ++r) {
    if (!asked[r] && !asked[r + 6]) continue;
    const int j = pairs.count++;
    pairs.plus[j] = asked[r];
    pairs.minus[j] = asked[r + 6];
    const float even[6] = {1.0f, r % 2 == 0 ? 1.0f : -1.0f, 2.0f * table.cos_of[2][r], -2.0f * table.sin_of[2][r],
                           2.0f * table.cos_of[4][r], -2.0f * table.sin_of[4][r]};
    const float odd[6] = {2.0f * table.cos_of[1][r], -2.0f * table.sin_of[1][r], 2.0f * table.cos_of[3][r],
                          -2.0f * table.sin_of[3][r], 2.0f * table.cos_of[5][r], -2.0f * table.sin_of[5][r]};
    std::copy(even, even + 6, pairs.even[j]);
    std::copy(odd, odd + 6, pairs.odd[j]);
  }
  return pairs;
}

int power_of_two_at_least(std::int64_t n) {
  std::int64_t p = 1;
  while (p < n) p *= 2;
  return static_cast<int>(std::min<std::int64_t>(p, std::int64_t{1} << 30));
}

}  // namespace

struct MatchSpectra {
  // Per variant, 12 * size floats: the transform over time of the
  // conjugated pitch-class transform of its frames, time reversed (a
  // correlation as a convolution).
  std::vector<FftBuffer> of_variant;
};

MatchEstimator::MatchEstimator(std::vector<MatchVariant> variants, std::vector<int> shifts, double unit, int block)
    : variants_(std::move(variants)), shifts_(std::move(shifts)), unit_(unit), block_(block) {
  if (variants_.empty()) throw argument_error("variants must hold at least one query variant");
  longest_ = 0;
  shortest_ = std::numeric_limits<int>::max();
  for (std::size_t v = 0; v < variants_.size(); ++v) {
    const MatchVariant& variant = variants_[v];
    if (variant.length < 1 || variant.frames.size() != static_cast<std::size_t>(variant.length) * pitch_classes) {
      throw argument_error("variants[", static_cast<long long>(v), "] must be frames x 12 with at least one frame");
    }
    for (float value : variant.frames) {
      if (!std::isfinite(value)) throw argument_error("variants[", static_cast<long long>(v), "] must be finite");
    }
    longest_ = std::max(longest_, variant.length);
    shortest_ = std::min(shortest_, variant.length);
  }
  if (2 * static_cast<std::int64_t>(longest_) > detail::fft_max_size) {
    throw argument_error("variants must be at most ", detail::fft_max_size / 2, " frames long, got ", longest_);
  }
  if (shifts_.empty() || shifts_.size() > pitch_classes) {
    throw argument_error("shifts must hold 1 to 12 semitone shifts, got ", static_cast<long long>(shifts_.size()));
  }
  std::set<int> residues;
  for (int s : shifts_) {
    if (s < -11 || s > 11) throw argument_error("shifts must be semitones from -11 to 11, got ", s);
    if (!residues.insert(((s % pitch_classes) + pitch_classes) % pitch_classes).second) {
      throw argument_error("shifts must differ modulo 12, got ", s, " twice");
    }
  }
  if (!(std::isfinite(unit_) && unit_ > 0.0)) throw argument_error("unit must be a finite number > 0, got ", unit_);
  if (block_ < detail::fft_min_size || block_ > detail::fft_max_size || (block_ & (block_ - 1)) != 0) {
    throw argument_error("block must be a power of two from ", detail::fft_min_size, " to ", detail::fft_max_size,
                         ", got ", block_);
  }
}

MatchEstimator::~MatchEstimator() = default;

int MatchEstimator::size_for(std::int64_t n) const {
  // Blocks of at least 4 times the longest variant keep 3/4 of each
  // transform's positions; smaller ones stay in cache.
  const std::int64_t longest = longest_;
  const int block = std::max(block_, power_of_two_at_least(4 * longest));
  const int fits = std::min(block, power_of_two_at_least(n));
  return std::max({fits, power_of_two_at_least(2 * longest), detail::fft_min_size});
}

const MatchSpectra& MatchEstimator::spectra(int size) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& slot = spectra_[size];
  if (slot) return *slot;
  auto made = std::make_unique<MatchSpectra>();
  const std::size_t floats = 12 * static_cast<std::size_t>(size);
  FftBuffer rows(floats);
  FftBuffer work(2 * static_cast<std::size_t>(size));
  for (const MatchVariant& variant : variants_) {
    std::memset(rows.data(), 0, floats * sizeof(float));
    for (int i = 0; i < variant.length; ++i) {
      // Frame i at time -i: the convolution with it is the correlation.
      const auto t = static_cast<std::size_t>((size - i) % size);
      pitch_transform(&variant.frames[static_cast<std::size_t>(i) * pitch_classes], 1.0f, t, size, rows.data());
    }
    FftBuffer& spectrum = made->of_variant.emplace_back(floats);
    forward_rows(rows.data(), spectrum.data(), work.data(), size);
  }
  slot = std::move(made);
  return *slot;
}

void MatchEstimator::estimate(const std::int16_t* x, std::int64_t n, float* out, const CancelFlag& cancel) const {
  // The blocks write every position a variant fits at; -inf after them.
  for (std::size_t v = 0; v < variants_.size(); ++v) {
    const std::int64_t fits = std::max<std::int64_t>(0, n - variants_[v].length + 1);
    std::fill(out + v * static_cast<std::size_t>(n) + fits, out + (v + 1) * static_cast<std::size_t>(n),
              -std::numeric_limits<float>::infinity());
  }
  if (n < shortest_) return;
  const int size = size_for(n);
  const MatchSpectra& query = spectra(size);
  const std::size_t floats = 12 * static_cast<std::size_t>(size);
  FftBuffer rows(floats);
  FftBuffer spectrum(floats);
  FftBuffer product(floats);
  FftBuffer work(2 * static_cast<std::size_t>(size));
  PFFFT_Setup* real = fft_setup(size, PFFFT_REAL);
  PFFFT_Setup* complex = fft_setup(size, PFFFT_COMPLEX);

  const ShiftPairs pairs = shift_pairs(shifts_);
  static const BestOfShifts best_of = widest_simd_version(best_of_shifts_sse, best_of_shifts_avx2,
                                                          best_of_shifts_avx512);

  const std::int64_t valid = size - longest_ + 1;
  for (std::int64_t a = 0; a < n - shortest_ + 1; a += valid) {
    cancel.stop_if_raised();
    const std::int64_t filled = std::min<std::int64_t>(size, n - a);
    float* r = rows.data();
    for (std::int64_t t0 = 0; t0 < filled; t0 += tile) {
      pitch_transform_tile(x + (a + t0) * pitch_classes, static_cast<int>(std::min<std::int64_t>(tile, filled - t0)),
                           static_cast<std::size_t>(t0), size, r);
    }
    for (int k = 0; k <= 6; ++k) {
      const int width = (k == 0 || k == 6) ? 1 : 2;
      float* row = r + row_offset(k, size);
      std::fill(row + width * filled, row + width * static_cast<std::int64_t>(size), 0.0f);
    }
    forward_rows(r, spectrum.data(), work.data(), size);

    for (std::size_t v = 0; v < variants_.size(); ++v) {
      const int m = variants_[v].length;
      const std::int64_t count = std::min<std::int64_t>(valid, n - m + 1 - a);
      if (count <= 0) continue;
      const float* h = query.of_variant[v].data();
      for (int k = 0; k <= 6; ++k) {
        const std::size_t at = row_offset(k, size);
        const bool is_real = k == 0 || k == 6;
        PFFFT_Setup* setup = is_real ? real : complex;
        fft_multiply(setup, is_real, is_real ? size : 2 * size, spectrum.data() + at, h + at, product.data() + at);
        // The rows' time domain is free again: the inverse goes there.
        fft_backward_unordered(setup, product.data() + at, r + at, work.data());
      }
      // Transforms are not scaled: forward then inverse is size times.
      const auto scale = static_cast<float>(1.0 / (12.0 * size * m * unit_));
      const float* g0 = r + row_offset(0, size);
      const float* g6 = r + row_offset(6, size);
      float* best_out = out + v * static_cast<std::size_t>(n) + a;
      for (std::int64_t t0 = 0; t0 < count; t0 += tile) {
        const int span = static_cast<int>(std::min<std::int64_t>(tile, count - t0));
        alignas(64) float part[parts][tile];
        // Rows in the order of ShiftPairs: g0, g6, g2, g4, g1, g3, g5.
        static constexpr int row_of_k[complex_rows + 1] = {0, 6, 2, 8, 4, 10};
        for (int t = 0; t < span; ++t) {
          part[0][t] = g0[t0 + t];
          part[1][t] = g6[t0 + t];
        }
        for (int k = 1; k <= complex_rows; ++k) {
          const float* g = r + row_offset(k, size) + 2 * t0;
          float* re = part[row_of_k[k]];
          float* im = part[row_of_k[k] + 1];
          for (int t = 0; t < span; ++t) {
            re[t] = g[2 * t];
            im[t] = g[2 * t + 1];
          }
        }
        for (int i = 0; i < parts; ++i) std::fill(part[i] + span, part[i] + tile, 0.0f);
        alignas(64) float best[tile];
        best_of(part, pairs, best);
        for (int t = 0; t < span; ++t) best_out[t0 + t] = best[t] * scale;
      }
    }
  }
}

}  // namespace morvat::vexolin

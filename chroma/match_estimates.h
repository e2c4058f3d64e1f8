// The matching's estimates: at every position of a file's rows of 12 pitch
// classes, each query variant's best score over a set of shifts, through
// FFT correlations over time and pitch class (overlap-save, blocks of a
// power of two rows). The package scores exactly only the positions whose
// estimate may reach a threshold; the estimates' error is a float32 FFT's.
#pragma once

#include "engine/cancel.h"
#include "engine/fft_buffer.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace morvat::vexolin {

// One variant of the query: `length` frames of 12 pitch classes, row-major
// (frame by frame), unshifted.
struct MatchVariant {
  std::vector<float> frames;
  int length = 0;
};

// The query variants' spectra for one block size.
struct MatchSpectra;

class MatchEstimator {
 public:
  // `shifts`: semitones the variants are moved by (each -11 to 11, at most
  // 12 distinct); a position's estimate is the best over them.
  // `unit`: the scores' scale (a correlation of `length` frames is divided
  // by length * unit). `block`: rows per transform, a power of two.
  MatchEstimator(std::vector<MatchVariant> variants, std::vector<int> shifts, double unit, int block);
  ~MatchEstimator();
  MatchEstimator(const MatchEstimator&) = delete;
  MatchEstimator& operator=(const MatchEstimator&) = delete;

  // out[v * n + p]: variant v's estimate at position p of the n rows of
  // `rows` (n x 12, row-major), -infinity where it does not fit. Threads
  // may call it at once.
  void estimate(const std::int16_t* rows, std::int64_t n, float* out, const CancelFlag& cancel = CancelFlag()) const;

  std::size_t variant_count() const { return variants_.size(); }
  int longest() const { return longest_; }
  int shortest() const { return shortest_; }

  // The transform size for n rows: the block (or the power of two of 4
  // times the longest variant, when more), or the power of two that holds a
  // shorter file, but twice the longest variant at least.
  int size_for(std::int64_t n) const;

 private:
  const MatchSpectra& spectra(int size) const;

  std::vector<MatchVariant> variants_;
  std::vector<int> shifts_;
  double unit_;
  int block_;
  int longest_ = 0;
  int shortest_ = 0;
  mutable std::mutex mutex_;
  mutable std::map<int, std::unique_ptr<MatchSpectra>> spectra_;
};

}  // namespace morvat::vexolin

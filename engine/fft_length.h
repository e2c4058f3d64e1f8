// The FFT lengths a call plans with: the sizes the FFT library serves and
// the power of two a filter needs. Apart from the library's header, so that
// the plan, and the engine's public header with it, does not pull that in.
#pragma once

#include <algorithm>

namespace morvat::vexolin::detail {

// The library transforms correctly only complex sizes that are multiples of
// 16 and real sizes that are multiples of 32; 32 serves both kinds. Above
// 2^26 its factor table no longer holds a power-of-two size.
constexpr int fft_min_size = 32;
constexpr int fft_max_size = 1 << 26;

// Longest filter the engine accepts, in samples.
constexpr double max_filter_length = 1073741824.0;  // 2^30

// The smallest power of two at or above the filter's length rounded up, and
// no smaller than the library serves.
inline int fft_length_for(double longest) {
  int ceil_len = static_cast<int>(longest);
  if (longest > static_cast<double>(ceil_len)) ceil_len += 1;
  int n_fft = 2;
  while (n_fft < ceil_len) n_fft *= 2;
  return std::max(n_fft, fft_min_size);
}

}  // namespace morvat::vexolin::detail

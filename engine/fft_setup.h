// Process-wide cache of FFT setups, one per (size, kind). A setup costs far
// more to compute than to look up, and one setup can serve any number of
// threads at once, so each is created once on first demand and kept until the
// process ends. The cache itself is defined once, in fft_setup.cpp.
#pragma once

#include <pffft.h>

#include <cstddef>
#include <mutex>

namespace morvat::vexolin {

// The library transforms correctly only complex sizes that are multiples of
// 16 and real sizes that are multiples of 32; 32 serves both kinds. Above
// 2^26 its factor table no longer holds a power-of-two size.
constexpr int fft_min_size = 32;
constexpr int fft_max_size = 1 << 26;

inline bool fft_size_supported(int n, pffft_transform_t kind) {
  if (n < fft_min_size || n > fft_max_size) return false;
  return n % (kind == PFFFT_REAL ? 32 : 16) == 0;
}

// Returns the shared setup for a transform of size n and the given kind.
// Sizes the library cannot transform correctly are refused with
// std::invalid_argument before it is called; nothing is cached for a size
// that fails.
PFFFT_Setup* fft_setup(int n, pffft_transform_t kind);

// Number of setups held; lets tests observe that a key is created only once.
std::size_t fft_setup_count();

// The cache's lock, for the fork handlers.
std::mutex& fft_setup_mutex();

}  // namespace morvat::vexolin

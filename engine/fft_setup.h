// Process-wide cache of FFT setups, one per (size, kind). A setup costs far
// more to compute than to look up, and one setup can serve any number of
// threads at once, so each is created once on first demand and kept until the
// process ends. The cache itself is defined once, in fft_setup.cpp.
#pragma once

#include "engine/fft_length.h"

#include <pffft.h>

#include <cstddef>
#include <mutex>

namespace morvat::vexolin {

// The sizes of fft_length.h, of the kind's multiple.
inline bool fft_size_supported(int n, pffft_transform_t kind) {
  if (n < detail::fft_min_size || n > detail::fft_max_size) return false;
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

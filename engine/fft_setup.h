// Process-wide cache of FFT setups, one per (size, kind). A setup costs far
// more to compute than to look up, and one setup can serve any number of
// threads at once, so each is created once on first demand and kept until the
// process ends.
#pragma once

#include <pffft.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace morvat::vexolin {
namespace {

// The library transforms correctly only complex sizes that are multiples of
// 16 and real sizes that are multiples of 32; 32 serves both kinds. Above
// 2^26 its factor table no longer holds a power-of-two size.
constexpr int fft_min_size = 32;
constexpr int fft_max_size = 1 << 26;

using FftSetupTable = std::unordered_map<std::uint64_t, PFFFT_Setup*>;

inline std::mutex& fft_setup_mutex() {
  static std::mutex mutex;  // constant-initialised
  return mutex;
}

inline FftSetupTable& fft_setup_table() {
  // Destroyed at exit; the setups it points to are left to process teardown.
  static FftSetupTable table(1);
  return table;
}

inline bool fft_size_supported(int n, pffft_transform_t kind) {
  if (n < fft_min_size || n > fft_max_size) return false;
  return n % (kind == PFFFT_REAL ? 32 : 16) == 0;
}

// Returns the shared setup for a transform of size n and the given kind.
// Sizes the library cannot transform correctly are refused before it is
// called; nothing is cached for a size that fails.
inline PFFFT_Setup* fft_setup(int n, pffft_transform_t kind) {
  if (!fft_size_supported(n, kind)) {
    throw std::invalid_argument("FFT size " + std::to_string(n) + " is not supported for a " +
                                (kind == PFFFT_REAL ? "real" : "complex") +
                                " transform (need a multiple of " + (kind == PFFFT_REAL ? "32" : "16") +
                                " between " + std::to_string(fft_min_size) + " and " +
                                std::to_string(fft_max_size) + ")");
  }
  FftSetupTable& table = fft_setup_table();
  std::lock_guard<std::mutex> lock(fft_setup_mutex());
  const std::uint64_t key = 2 * static_cast<std::uint64_t>(static_cast<std::int64_t>(n)) + kind;
  auto [slot, inserted] = table.try_emplace(key, nullptr);
  if (!inserted) return slot->second;
  PFFFT_Setup* setup = pffft_new_setup(n, kind);
  if (setup == nullptr) {
    table.erase(slot);
    throw std::runtime_error("the FFT library could not create a setup of size " + std::to_string(n));
  }
  slot->second = setup;
  return setup;
}

// Number of setups held; lets tests observe that a key is created only once.
inline std::size_t fft_setup_count() {
  FftSetupTable& table = fft_setup_table();
  std::lock_guard<std::mutex> lock(fft_setup_mutex());
  return table.size();
}

}  // namespace
}  // namespace morvat::vexolin

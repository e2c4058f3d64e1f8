#include "engine/fft_setup.h"

#include "engine/errors.h"
#include "engine/fork_guard.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace morvat::vexolin {
namespace {

// Namespace-scope objects, built before main: no first-use guard that a fork
// could catch half-way. The table is destroyed at exit; the setups it points
// to are left to process teardown.
std::mutex setup_mutex;
std::unordered_map<std::uint64_t, PFFFT_Setup*> setup_table(1);

}  // namespace

std::mutex& fft_setup_mutex() { return setup_mutex; }

PFFFT_Setup* fft_setup(int n, pffft_transform_t kind) {
  if (!fft_size_supported(n, kind)) {
    throw argument_error("FFT size ", n, " is not supported for a ", kind == PFFFT_REAL ? "real" : "complex",
                         " transform (need a multiple of ", kind == PFFFT_REAL ? 32 : 16, " between ",
                         detail::fft_min_size, " and ", detail::fft_max_size, ")");
  }
  install_fork_handlers();
  std::lock_guard<std::mutex> lock(setup_mutex);
  const std::uint64_t key = 2 * static_cast<std::uint64_t>(static_cast<std::int64_t>(n)) + kind;
  auto [slot, inserted] = setup_table.try_emplace(key, nullptr);
  if (!inserted) return slot->second;
  PFFFT_Setup* setup = pffft_new_setup(n, kind);
  if (setup == nullptr) {
    setup_table.erase(slot);
    throw std::runtime_error("the FFT library could not create a setup of size " + format_value(n));
  }
  slot->second = setup;
  return setup;
}

std::size_t fft_setup_count() {
  std::lock_guard<std::mutex> lock(setup_mutex);
  return setup_table.size();
}

}  // namespace morvat::vexolin

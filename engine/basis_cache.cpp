#include "engine/basis_cache.h"

#include "engine/fork_guard.h"

#include <map>
#include <tuple>
#include <utility>

namespace morvat::vexolin {
namespace {

// Rate of the octave, reference rate, bin count, lowest and highest
// frequency, filter scale, sparsity and gamma.
using BasisKey = std::tuple<double, double, int, double, double, double, double, double>;

// Namespace-scope objects, built before main: no first-use guard that a fork
// could catch half-way.
std::mutex cache_mutex;
std::map<BasisKey, SparseBasis> bases;

}  // namespace

std::mutex& basis_cache_mutex() { return cache_mutex; }

namespace {

BasisKey key_of(const std::vector<double>& freqs, double sr_octave, double sr_reference, double filter_scale,
                double sparsity, double gamma) {
  return {sr_octave, sr_reference, static_cast<int>(freqs.size()), freqs.front(), freqs.back(), filter_scale,
          sparsity, gamma};
}

}  // namespace

const SparseBasis* find_cached_basis(const std::vector<double>& freqs, double sr_octave, double sr_reference,
                                     double filter_scale, double sparsity, double gamma) {
  install_fork_handlers();
  const BasisKey key = key_of(freqs, sr_octave, sr_reference, filter_scale, sparsity, gamma);
  std::lock_guard<std::mutex> lock(cache_mutex);
  auto found = bases.find(key);
  return found == bases.end() ? nullptr : &found->second;
}

const SparseBasis& cached_basis(const std::vector<double>& freqs, const std::vector<double>& alpha,
                                double sr_octave, double sr_reference, double filter_scale, double sparsity,
                                double gamma, const CancelFlag& cancel) {
  if (const SparseBasis* cached = find_cached_basis(freqs, sr_octave, sr_reference, filter_scale, sparsity, gamma)) {
    return *cached;
  }
  const BasisKey key = key_of(freqs, sr_octave, sr_reference, filter_scale, sparsity, gamma);
  SparseBasis basis =
      build_sparse_basis(freqs, alpha, sr_octave, sr_reference, filter_scale, sparsity, gamma, cancel);
  std::lock_guard<std::mutex> lock(cache_mutex);
  return bases.emplace(key, std::move(basis)).first->second;
}

std::size_t cached_basis_count() {
  std::lock_guard<std::mutex> lock(cache_mutex);
  return bases.size();
}

}  // namespace morvat::vexolin

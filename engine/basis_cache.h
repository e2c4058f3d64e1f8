// Process-wide cache of octave kernel bases, keyed by everything that
// determines one. Entries are never evicted, so references stay valid until
// the process ends. The cache itself is defined once, in basis_cache.cpp.
#pragma once

#include "engine/cancel.h"
#include "engine/sparse_basis.h"

#include <cstddef>
#include <mutex>
#include <vector>

namespace morvat::vexolin {

// The basis of one octave: found in the cache, or built and inserted. The
// build runs without the cache lock, so it can be cancelled and a fork never
// waits for it; when two calls race to build the same key, the first insert
// wins and both use it (the builds are identical).
const SparseBasis& cached_basis(const std::vector<double>& freqs, const std::vector<double>& alpha,
                                double sr_octave, double sr_reference, double filter_scale, double sparsity,
                                double gamma, const CancelFlag& cancel);

// The cached basis for these arguments, or null when none is built yet.
const SparseBasis* find_cached_basis(const std::vector<double>& freqs, double sr_octave, double sr_reference,
                                     double filter_scale, double sparsity, double gamma);

// Number of octave bases built and kept so far in this process.
std::size_t cached_basis_count();

// The cache's lock, for the fork handlers.
std::mutex& basis_cache_mutex();

}  // namespace morvat::vexolin

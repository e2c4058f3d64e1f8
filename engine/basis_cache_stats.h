// Introspection of the driver's process-wide basis cache, for tests.
#pragma once

#include <cstddef>

namespace morvat::vexolin {

// Number of octave bases built and kept so far in this process.
std::size_t cached_basis_count();

}  // namespace morvat::vexolin

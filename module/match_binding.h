// `vexolin._native.MatchEstimator`: the matching's estimates over a file's
// rows (chroma/match_estimates.h), for `vexolin.match`.
#pragma once

#include <pybind11/pybind11.h>

namespace morvat::vexolin {

void register_match(pybind11::module_& m);

}  // namespace morvat::vexolin

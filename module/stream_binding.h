// `vexolin._native.Stream`: one channel's stream of the transform or of
// chroma, for the package's `vexolin.Stream`.
#pragma once

#include <pybind11/pybind11.h>

namespace morvat::vexolin {

void register_stream(pybind11::module_& m);

}  // namespace morvat::vexolin

// `vexolin._native.chord_path`: the best state sequence of the package's
// chord model (chroma/chord_path.h), for `vexolin.estimate_chords`.
#pragma once

#include <pybind11/pybind11.h>

namespace morvat::vexolin {

void register_chord_path(pybind11::module_& m);

}  // namespace morvat::vexolin

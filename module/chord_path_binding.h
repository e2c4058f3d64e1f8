// `vexolin._native.chord_path` and `vexolin._native.ChordDecoder`: the best
// state sequence of the package's chord model (chroma/chord_path.h), for a
// whole signal (`vexolin.estimate_chords`) and for one arriving in runs of
// frames (`vexolin.ChordStream`).
#pragma once

#include <pybind11/pybind11.h>

namespace morvat::vexolin {

void register_chord_path(pybind11::module_& m);

}  // namespace morvat::vexolin
